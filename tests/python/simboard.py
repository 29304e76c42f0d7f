#!/usr/bin/python3
"""A simulated board behind a serial console, for the labgrid tests.

    simboard.py serve DIR --kxshell "CMD"    the board (runs until killed)
    simboard.py power DIR on|off             its power switch
    simboard.py login                        (inside) the login program

`serve` joins two pseudo-terminals like a serial cable: the PC's end (path
in DIR/console; it stays across power cycles) and the board's end, where
power on prints boot lines and runs `login` (user "root", no password),
then /bin/sh with the prompt PROMPT and DIR/bin/kxshell (runs CMD) on its
PATH. Power off kills all that. Power commands go through the FIFO DIR/ctl;
`power` returns once DIR/state says the new state.
"""

from __future__ import annotations

import argparse
import fcntl
import os
import pty
import select
import signal
import subprocess
import sys
import termios
import time
import tty
from pathlib import Path

PROMPT = "root@simboard:~# "
LOGIN_PROMPT = "simboard login: "
BOOT = [b"[    0.000000] Booting Linux on physical CPU 0x0 (simulated board)",
        b"[    0.125000] Serial: 8250/16550 driver, 1 port",
        b"[    1.500000] eth0: link up, 100Mbps, full-duplex",
        b"", b"Simulated Board 1.0 simboard ttyS0", b""]


class Board:
    """The cable's two ends and the power state."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self.pc_master, pc_slave = pty.openpty()
        tty.setraw(pc_slave)  # the PC's end carries bytes as they are
        self.pc_slave = pc_slave  # held open: the PC's end stays while clients come and go
        os.set_blocking(self.pc_master, False)
        self.board_master: int | None = None
        self.proc: subprocess.Popen | None = None
        os.mkfifo(folder / "ctl")
        self.ctl = os.open(folder / "ctl", os.O_RDWR | os.O_NONBLOCK)
        (folder / "console").write_text(os.ttyname(pc_slave))
        self._state("off")

    def _state(self, state: str) -> None:
        tmp = self.folder / "state.tmp"
        tmp.write_text(state)
        tmp.rename(self.folder / "state")

    def power_on(self) -> None:
        if self.proc is not None:
            return
        master, slave = pty.openpty()
        os.set_blocking(master, False)
        self.board_master = master
        env = dict(os.environ, PS1=PROMPT, HOME=str(self.folder), TERM="vt100",
                   PATH=f"{self.folder / 'bin'}:/usr/bin:/bin")
        self.proc = subprocess.Popen(
            [sys.executable, __file__, "login"], stdin=slave, stdout=slave, stderr=slave,
            env=env, cwd=self.folder, start_new_session=True,
            preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(slave)
        self._state("on")

    def power_off(self) -> None:
        if self.proc is not None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()
            self.proc = None
        if self.board_master is not None:
            os.close(self.board_master)
            self.board_master = None
        self._state("off")

    def serve(self) -> None:
        """Carries bytes between the ends and obeys the power switch."""
        ctl_buf = b""
        while True:
            fds = [self.pc_master, self.ctl] + ([self.board_master] if self.board_master else [])
            ready, _, _ = select.select(fds, [], [], 1.0)
            if self.ctl in ready:
                ctl_buf += os.read(self.ctl, 256)
                *commands, ctl_buf = ctl_buf.split(b"\n")
                for c in commands:
                    self.power_on() if c == b"on" else self.power_off()
                continue
            if self.pc_master in ready:
                data = _read(self.pc_master)
                if data and self.board_master is not None:
                    _write(self.board_master, data)
            if self.board_master is not None and self.board_master in ready:
                data = _read(self.board_master)
                if data:
                    _write(self.pc_master, data)


def _read(fd: int) -> bytes:
    try:
        return os.read(fd, 65536)
    except (BlockingIOError, OSError):  # EIO: the far end has no one on it just now
        return b""


def _write(fd: int, data: bytes) -> None:
    """Writes what the other end takes; a UART with no one reading drops the rest."""
    deadline = time.monotonic() + 0.2
    while data and time.monotonic() < deadline:
        try:
            data = data[os.write(fd, data):]
        except BlockingIOError:
            select.select([], [fd], [], 0.05)
        except OSError:
            return


def login() -> None:
    """Boot lines, then a login prompt until "root" is typed; then the shell."""
    out = sys.stdout.buffer
    for line in BOOT:
        out.write(line + b"\r\n")
        out.flush()
        time.sleep(0.02)
    while True:
        out.write(LOGIN_PROMPT.encode())
        out.flush()
        user = sys.stdin.buffer.readline()
        if not user:
            return
        if user.strip() == b"root":
            os.execv("/bin/sh", ["sh", "-i"])
        out.write(b"\r\nLogin incorrect\r\n")


def power(folder: Path, state: str) -> None:
    with open(folder / "ctl", "w") as ctl:
        ctl.write(state + "\n")
    deadline = time.monotonic() + 10
    while (folder / "state").read_text() != state:
        if time.monotonic() > deadline:
            raise SystemExit(f"simboard: the board did not turn {state}")
        time.sleep(0.01)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="what", required=True)
    s = sub.add_parser("serve")
    s.add_argument("folder", type=Path)
    s.add_argument("--kxshell", required=True, help="the example shell's command")
    p = sub.add_parser("power")
    p.add_argument("folder", type=Path)
    p.add_argument("state", choices=["on", "off"])
    sub.add_parser("login")
    args = ap.parse_args()
    if args.what == "login":
        login()
    elif args.what == "power":
        power(args.folder, args.state)
    else:
        bin_dir = args.folder / "bin"
        bin_dir.mkdir(parents=True, exist_ok=True)
        wrapper = bin_dir / "kxshell"
        wrapper.write_text(f'#!/bin/sh\nexec {args.kxshell} "$@"\n')
        wrapper.chmod(0o755)
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
        board = Board(args.folder)
        try:
            board.serve()
        finally:
            board.power_off()


if __name__ == "__main__":
    main()

"""A rack of four simulated boards on this machine, and its board map.

Two boards spawn the shell per session (``spawn:``), one is a shell
listening on loopback TCP with a token, one is a shell serving a
pseudo-terminal that the client opens as a serial port. The TCP board is of
another type. Also used by benchmarks/bench_boards.py.
"""

from __future__ import annotations

import json
import os
import pty
import re
import select
import shlex
import subprocess
import time
import tty
from pathlib import Path

MAP_TEMPLATE = """\
boards:
  stb1:
    target: {stb1}
    type: stb-a
    labels: [tuner]
  stb2:
    target: {stb2}
    type: stb-a
    labels: [tuner, usb]
  net1:
    target: {net1}
    token_file: net1.token
    type: stb-b
    labels: [network]
  uart1:
    target: {uart1}
    type: stb-a
    labels: [console]
"""


def _stop(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class TcpBoard:
    """`kxshell --listen 127.0.0.1:0 --token-file F`: the port it reports."""

    def __init__(self, shell_argv: list[str], token_file: Path) -> None:
        self.proc = subprocess.Popen(shell_argv + ["--listen", "127.0.0.1:0", "--token-file",
                                                   str(token_file)],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        line = self.proc.stderr.readline()  # "kxshell: listening on 127.0.0.1:PORT"
        m = re.search(r"listening on (\S+):(\d+)", line)
        if m is None:
            _stop(self.proc)
            raise RuntimeError(f"kxshell --listen did not say its port: {line!r}")
        self.target = f"tcp:{m.group(1)}:{m.group(2)}"

    def close(self) -> None:
        _stop(self.proc)


class PtyBoard:
    """A served shell on one end of a pseudo-terminal; the other end stands
    for the board's serial console."""

    def __init__(self, serve_argv: list[str]) -> None:
        master, self.slave = pty.openpty()
        tty.setraw(self.slave)  # a serial line carries bytes as they are
        self.proc = subprocess.Popen(serve_argv, stdin=master, stdout=master, close_fds=True)
        os.close(master)
        self.device = os.ttyname(self.slave)
        self._await_greeting()
        self.target = f"serial:{self.device}"

    def _await_greeting(self) -> None:
        seen = b""
        deadline = time.monotonic() + 30
        while b"#KX G" not in seen or not seen.endswith(b"\n"):
            left = deadline - time.monotonic()
            ready = select.select([self.slave], [], [], max(0, left))[0] if left > 0 else []
            if not ready:
                self.close()
                raise RuntimeError("the served shell on the pseudo-terminal sent no greeting")
            seen += os.read(self.slave, 4096)

    def close(self) -> None:
        _stop(self.proc)
        if self.slave >= 0:
            os.close(self.slave)
            self.slave = -1


class SimRack:
    """The four boards; ``map`` is the board map's path."""

    def __init__(self, shell_argv: list[str], folder: Path) -> None:
        self.folder = folder
        serve = shell_argv + ["--serve"]
        token = folder / "net1.token"
        token.write_text("rack-token\n")
        token.chmod(0o600)
        self.parts: list = []
        try:
            self.net1 = self._keep(TcpBoard(shell_argv, token))
            self.uart1 = self._keep(PtyBoard(serve))
        except BaseException:
            self.close()
            raise
        # Each spawned board names itself in its environment: one command, one board.
        targets = {name: "spawn:" + shlex.join(["env", f"KX_SIM_BOARD={folder}/{name}"] + serve)
                   for name in ("stb1", "stb2")}
        targets.update(net1=self.net1.target, uart1=self.uart1.target)
        # JSON strings are YAML strings: any command or path reads back as written.
        self.text = MAP_TEMPLATE.format(**{k: json.dumps(v) for k, v in targets.items()})
        self.map = folder / "boards.yaml"
        self.map.write_text(self.text)

    def _keep(self, part):
        self.parts.append(part)
        return part

    def close(self) -> None:
        for part in reversed(self.parts):
            part.close()
        self.parts = []

    def __enter__(self) -> "SimRack":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

#!/usr/bin/python3
"""What a lab rig sees of a board on a serial console (a pseudo-terminal
here): 100 commands through labgrid's KxMUtiDriver against Client.serial on
the same console, and how long a dead board takes to be reported.

    bench_rig.py --shell build/default/examples/kxshell [--emulator "qemu-mipsel -L ..."]

Prints Markdown tables.
"""

from __future__ import annotations

import argparse
import os
import pty
import select
import shlex
import signal
import subprocess
import sys
import tempfile
import time
import tty
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "clients" / "python"))

import kxmuti  # noqa: E402
from kxmuti import Client  # noqa: E402

ENV = """
targets:
  main:
    resources:
      RawSerialPort: {{port: {port}, speed: 115200}}
    drivers:
      SerialDriver: {{}}
      KxMUtiDriver: {{}}
imports: [kxmuti.labgrid]
"""
COMMANDS = {"md": "md 80100000 4", "echo x": "echo x"}


class Console:
    """A server on one end of a pseudo-terminal; ``path`` is the other end."""

    def __init__(self, argv: list[str]) -> None:
        master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        self.proc = subprocess.Popen(argv, stdin=master, stdout=master)
        os.close(master)
        self.path = os.ttyname(self.slave)
        seen = b""
        while b"#KX G" not in seen and select.select([self.slave], [], [], 30)[0]:
            seen += os.read(self.slave, 4096)

    def close(self) -> None:
        os.close(self.slave)
        self.proc.kill()
        self.proc.wait()


def hundred(run, line: str) -> float:
    for _ in range(10):
        run(line)
    start = time.perf_counter()
    for _ in range(100):
        run(line)
    return time.perf_counter() - start


def bench_commands(argv: list[str], rounds: int) -> list[tuple[str, float, float]]:
    import labgrid

    console = Console(argv)
    rows = []
    try:
        with tempfile.TemporaryDirectory() as folder:
            config = Path(folder) / "env.yaml"
            config.write_text(ENV.format(port=console.path))
            target = labgrid.Environment(str(config)).get_target("main")
            driver = target.get_driver("KxMUtiDriver")
            for name, line in COMMANDS.items():
                via_driver = min(hundred(driver.run, line) for _ in range(rounds))
                target.deactivate(driver)
                with Client.serial(console.path) as kx:
                    via_serial = min(hundred(kx.run, line) for _ in range(rounds))
                target.activate(driver)
                rows.append((name, via_driver, via_serial))
            target.deactivate(driver)
    finally:
        console.close()
    return rows


def frozen(argv: list[str], what: str) -> float:
    """Seconds from the board's freeze (SIGSTOP) to ServerGone."""
    console = Console(argv)
    try:
        kx = Client.serial(console.path)
        if what == "during run()":
            kx.start("msleep 20000")
            time.sleep(0.2)
        console.proc.send_signal(signal.SIGSTOP)
        start = time.monotonic()
        try:
            if what == "during run()":
                kx.run("echo x")
            elif what == "run(timeout=2)":
                kx.run("msleep 20000", timeout=2)
            else:
                kx.run("echo x")
        except kxmuti.ServerGone:
            return time.monotonic() - start
        raise SystemExit(f"{what}: no ServerGone")
    finally:
        console.proc.send_signal(signal.SIGCONT)
        console.close()


def killed(argv: list[str]) -> float:
    """Seconds from the server's end (SIGKILL) during a running line to ServerGone."""
    console = Console(argv)
    try:
        kx = Client.serial(console.path)
        running = kx.start("msleep 20000")
        time.sleep(0.2)
        console.proc.kill()
        start = time.monotonic()
        try:
            running.wait()
        except kxmuti.ServerGone:
            return time.monotonic() - start
        raise SystemExit("killed: no ServerGone")
    finally:
        console.close()


def no_server() -> tuple[float, str]:
    master, slave = pty.openpty()
    try:
        start = time.monotonic()
        try:
            Client.serial(os.ttyname(slave))
        except kxmuti.NoGreeting as e:
            return time.monotonic() - start, str(e)
        raise SystemExit("a greeting from nowhere")
    finally:
        os.close(master)
        os.close(slave)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--shell", required=True, help="the example shell")
    ap.add_argument("--emulator", default="", help="command put in front of it")
    ap.add_argument("--rounds", type=int, default=5, help="runs of 100; the fastest counts")
    args = ap.parse_args()
    argv = shlex.split(args.emulator) + [args.shell, "--serve"]
    print("| 100 commands on one pty | KxMUtiDriver (s) | Client.serial (s) | ratio |")
    print("|---|---:|---:|---:|")
    for name, via_driver, via_serial in bench_commands(argv, args.rounds):
        print(f"| `{name}` | {via_driver:.3f} | {via_serial:.3f} | {via_driver / via_serial:.2f} |")
    print()
    print("| dead board | seconds to ServerGone |")
    print("|---|---:|")
    for what in ("during run()", "run() on a dead board", "run(timeout=2)"):
        print(f"| frozen, {what} | {frozen(argv, what):.2f} |")
    print(f"| killed during run() | {killed(argv):.3f} |")
    seconds, message = no_server()
    print(f"| opening a port with no server | {seconds:.2f} (`{message}`) |")
    return 0


if __name__ == "__main__":
    sys.exit(main())

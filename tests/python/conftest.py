"""Fixtures of the client's tests: the shell to serve (with the cross build's
emulator in front of it), and sessions with it over each transport."""

from __future__ import annotations

import os
import pty
import re
import select
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time
import tty
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CLIENT_DIR = ROOT / "clients" / "python"
sys.path.insert(0, str(CLIENT_DIR))

from kxmuti import Client  # noqa: E402

pytest_plugins = ["pytester"]


def pytest_addoption(parser):
    parser.addoption("--kxshell", default=os.environ.get("KXSHELL", "kxshell"),
                     help="the example shell to serve")
    parser.addoption("--kx-emulator", default=os.environ.get("KX_EMULATOR", ""),
                     help="command put in front of the shell (qemu-mipsel -L ...)")


@pytest.fixture(scope="session")
def shell_argv(pytestconfig) -> list[str]:
    """The shell's command, emulator first, without arguments."""
    return shlex.split(pytestconfig.getoption("kx_emulator")) + [pytestconfig.getoption("kxshell")]


@pytest.fixture(scope="session")
def serve_argv(shell_argv) -> list[str]:
    return shell_argv + ["--serve"]


@pytest.fixture(scope="session")
def python_env() -> dict[str, str]:
    """Environment for a child /usr/bin/python3 that imports the client from the tree."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(CLIENT_DIR), env.get("PYTHONPATH")]))
    return env


class Listener:
    """A `kxshell --listen` on a free loopback port."""

    def __init__(self, shell_argv: list[str], extra: list[str]) -> None:
        self.proc = subprocess.Popen(shell_argv + ["--listen", "127.0.0.1:0"] + extra,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.port = 0
        seen = []
        for raw in self.proc.stdout:  # the shell says where it listens before it serves
            line = raw.decode(errors="replace")
            seen.append(line)
            m = re.search(r"listening on \S+:(\d+)", line)
            if m:
                self.port = int(m.group(1))
                break
        if not self.port:
            self.close()
            raise RuntimeError("kxshell --listen did not say its port: " + "".join(seen))

    def close(self) -> None:
        stop(self.proc)


def stop(proc: subprocess.Popen) -> None:
    """Terminates proc, killing it if it lingers."""
    proc.terminate()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def interrupt(proc: subprocess.Popen) -> tuple[int, float]:
    """Ctrl-C to proc, once its running line is on its way: its exit status
    and how long it took to exit. Kills it if it did not."""
    try:
        time.sleep(0.3)
        start = time.monotonic()
        proc.send_signal(signal.SIGINT)
        return proc.wait(timeout=30), time.monotonic() - start
    finally:
        proc.kill()
        proc.wait()


def assert_board_free(path: str) -> None:
    """The board answers at once: the line Ctrl-C stopped was cancelled."""
    with Client.serial(path) as kx:
        assert kx.run("echo free", timeout=5).out == b"free\n"


def labgrid_env(console: str) -> str:
    """A labgrid environment whose target main has the resource ``console``
    (YAML flow style) under the serial and kxMUti drivers."""
    return (f"targets:\n  main:\n    resources:\n      {console}\n    drivers:\n"
            "      SerialDriver: {}\n      KxMUtiDriver: {}\nimports:\n  - kxmuti.labgrid\n")


@pytest.fixture
def listener(shell_argv):
    server = Listener(shell_argv, [])
    yield server
    server.close()


class PtyServer:
    """A command serving on one end of a pseudo-terminal, standing in for a
    board's serial console; ``path`` is the other end, ``proc`` the server.
    The test holds the console's end open, as a UART's stays."""

    def __init__(self, argv: list[str], greeted: bool = True) -> None:
        master, self.slave = pty.openpty()
        tty.setraw(self.slave)  # a serial line carries bytes as they are
        self.proc = subprocess.Popen(argv, stdin=master, stdout=master, close_fds=True)
        os.close(master)
        self.path = os.ttyname(self.slave)
        if greeted:
            self.wait_for(b"#KX G")

    def wait_for(self, marker: bytes, seconds: float = 30) -> bytes:
        """Reads the console until a line with ``marker`` has come; a board's
        server has long been up when a client comes."""
        seen = b""
        deadline = time.monotonic() + seconds
        while marker not in seen or not seen.endswith(b"\n"):
            ready, _, _ = select.select([self.slave], [], [], max(0, deadline - time.monotonic()))
            if not ready:
                raise RuntimeError(f"the console showed no {marker!r}: {seen[-200:]!r}")
            seen += os.read(self.slave, 4096)
        return seen

    def __enter__(self) -> PtyServer:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        os.close(self.slave)
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=10)


@pytest.fixture
def pty_board(serve_argv):
    board = PtyServer(serve_argv)
    yield board
    board.close()


@pytest.fixture
def pty_server(pty_board):
    """The path of a served shell's console on a pseudo-terminal."""
    return pty_board.path


@pytest.fixture(params=["spawn", "tcp", "serial"])
def kx(request, serve_argv):
    """A session over each transport the client has."""
    if request.param == "spawn":
        client = Client.spawn(serve_argv)
    elif request.param == "tcp":
        server = request.getfixturevalue("listener")
        client = Client.tcp("127.0.0.1", server.port)
    else:
        client = Client.serial(request.getfixturevalue("pty_server"))
    with client:
        yield client


class Ser2net:
    """Debian's ser2net exporting a console on two free loopback ports: raw
    TCP (``raw``) and RFC 2217 (``rfc2217``). Its own configuration, no
    system service; started here and stopped at the end."""

    def __init__(self, program: str, device: str, folder: Path) -> None:
        self.raw, self.rfc2217 = free_port(), free_port()
        config = folder / "ser2net.yaml"
        # nodelay and no chardelay: each frame goes out at once, not after
        # a character time or behind a delayed acknowledgement.
        config.write_text("".join(
            f"connection: &{name}\n  accepter: {accepter}tcp(nodelay),127.0.0.1,{port}\n"
            f"  connector: serialdev,{device},115200n81,local\n"
            "  options:\n    kickolduser: true\n    chardelay: false\n"
            for name, accepter, port in (("raw", "", self.raw),
                                         ("rfc", "telnet(rfc2217),", self.rfc2217))))
        self.proc = subprocess.Popen([program, "-n", "-u", "-c", str(config),
                                      "-P", str(folder / "ser2net.pid")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not all(listens(p) for p in (self.raw, self.rfc2217)):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.close()
                raise RuntimeError("ser2net did not listen")
            time.sleep(0.05)

    def close(self) -> None:
        stop(self.proc)


def ser2net_program() -> str | None:
    return shutil.which("ser2net") or shutil.which("ser2net", path="/usr/sbin:/sbin")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listens(port: int) -> bool:
    """Whether a socket listens on 127.0.0.1:port (read from /proc: a test
    connection would make ser2net open the console and busy it)."""
    with open("/proc/net/tcp") as f:
        return any(f" 0100007F:{port:04X} 00000000:0000 0A " in line for line in f)


@pytest.fixture
def ser2net(pty_board, tmp_path):
    """ser2net exporting the served shell's console (skipped without ser2net)."""
    program = ser2net_program()
    if program is None:
        pytest.skip("ser2net is not installed (Debian package ser2net)")
    server = Ser2net(program, pty_board.path, tmp_path)
    yield server
    server.close()

"""Byte links the client speaks over: file descriptors (pipes, sockets,
serial lines), a child process, a TCP connection, a serial port (a device
or a pyserial URL such as rfc2217://HOST:PORT), a labgrid console.

A transport has ``name`` (what it is connected to, for messages),
``recv(timeout)`` (bytes; b"" when nothing came in time; ServerGone at the
end of the stream), ``send(data)`` and ``close(hurry=False)``.
"""

from __future__ import annotations

import errno
import os
import select
import shlex
import socket
import subprocess
import time
from typing import Sequence

from .errors import ServerGone, TransportError

_READ_SIZE = 65536
_WRITE_TIMEOUT = 30.0  # seconds a write may wait for the peer to read


class FdTransport:
    """Reads one descriptor and writes another (they may be the same)."""

    def __init__(self, rfd: int, wfd: int, name: str = "") -> None:
        self.name = name or f"fds:{rfd},{wfd}"
        self.rfd = rfd
        self.wfd = wfd
        self._rpoll = select.poll()
        self._rpoll.register(rfd, select.POLLIN)
        self._wpoll = select.poll()
        self._wpoll.register(wfd, select.POLLOUT)

    def recv(self, timeout: float | None) -> bytes:
        ms = None if timeout is None else max(0, int(timeout * 1000 + 0.999))
        try:
            if not self._rpoll.poll(ms):
                return b""
            data = os.read(self.rfd, _READ_SIZE)
        except BlockingIOError:
            return b""
        except OSError as e:
            if e.errno == errno.EIO:  # the far side of a terminal closed
                raise ServerGone("the link was closed") from e
            raise TransportError(f"read: {e}") from e
        if not data:
            raise ServerGone("the server closed the link")
        return data

    def send(self, data: bytes) -> None:
        try:
            n = os.write(self.wfd, data)
            if n == len(data):
                return  # the usual case: a frame fits the pipe or socket buffer
            view = memoryview(data)[n:]
        except (BlockingIOError, InterruptedError):
            view = memoryview(data)
        except BrokenPipeError as e:
            raise ServerGone("the server closed the link") from e
        except OSError as e:
            raise TransportError(f"write: {e}") from e
        self._send_rest(view)

    def _send_rest(self, view: memoryview) -> None:
        deadline = time.monotonic() + _WRITE_TIMEOUT
        while view:
            try:
                n = os.write(self.wfd, view)
            except BlockingIOError:
                n = 0
            except BrokenPipeError as e:
                raise ServerGone("the server closed the link") from e
            except OSError as e:
                raise TransportError(f"write: {e}") from e
            view = view[n:]
            if view:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TransportError("write: the peer does not read")
                self._wpoll.poll(int(left * 1000) + 1)

    def close(self, hurry: bool = False) -> None:
        for fd in {self.rfd, self.wfd}:
            try:
                os.close(fd)
            except OSError:
                pass


class SpawnTransport(FdTransport):
    """A child process whose standard input and output carry the protocol."""

    def __init__(self, argv: Sequence[str] | str, stderr: int | None = None, **popen) -> None:
        if isinstance(argv, str):
            argv = shlex.split(argv)
        try:
            self.proc = subprocess.Popen(
                list(argv), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr,
                bufsize=0, **popen)
        except OSError as e:
            raise TransportError(f"cannot start {argv[0]}: {e}") from e
        super().__init__(self.proc.stdout.fileno(), self.proc.stdin.fileno(),
                         "spawn:" + shlex.join(argv))

    def close(self, hurry: bool = False) -> None:
        """Closes the child's streams and waits for it to end (5 s, or
        0.2 s in a hurry, as after Ctrl-C), then kills it."""
        for pipe in (self.proc.stdin, self.proc.stdout):
            try:
                pipe.close()
            except OSError:
                pass
        try:
            self.proc.wait(timeout=0.2 if hurry else 5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class SocketTransport(FdTransport):
    """A connected stream socket."""

    def __init__(self, sock: socket.socket, name: str = "") -> None:
        self.sock = sock
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        super().__init__(sock.fileno(), sock.fileno(), name)

    @classmethod
    def connect(cls, host: str, port: int, timeout: float = 10.0) -> "SocketTransport":
        try:
            sock = socket.create_connection((host, port), timeout=timeout)
        except OSError as e:
            raise TransportError(f"cannot connect to {host}:{port}: {e}") from e
        sock.settimeout(None)
        return cls(sock, f"tcp:{host}:{port}")

    def close(self, hurry: bool = False) -> None:
        self.sock.close()


def is_url(device: str) -> bool:
    """Whether a serial port is named by a pyserial URL (rfc2217://, socket://, ...)."""
    return "://" in device


class SerialTransport(FdTransport):
    """A local serial port, opened raw through pyserial and read through its
    descriptor (poll wakes the client at the first byte)."""

    def __init__(self, device: str, baud: int = 115200) -> None:
        import serial  # Debian's python3-serial; needed only here

        try:
            self.port = serial.Serial(device, baud, timeout=0)
        except (serial.SerialException, OSError, ValueError) as e:
            raise TransportError(f"cannot open {device}: {e}") from e
        super().__init__(self.port.fileno(), self.port.fileno(), f"serial:{device}@{baud}")

    def close(self, hurry: bool = False) -> None:
        self.port.close()


class SerialUrlTransport:
    """A serial port named by a pyserial URL: rfc2217://HOST:PORT (a console
    exported by ser2net or labgrid), socket://HOST:PORT (raw TCP), with
    pyserial's options (``?ign_set_control`` for a port without modem lines).

    The port's read timeout is set once, when it opens: pyserial reconfigures
    an RFC 2217 port (a network round trip) whenever it changes. A read
    returns at its first byte, so the slice bounds only how late a timeout
    is noticed.
    """

    SLICE = 0.05  # seconds one read waits at most

    def __init__(self, url: str, baud: int = 115200) -> None:
        import serial

        self.name = f"serial:{url}@{baud}"
        try:
            self.port = serial.serial_for_url(url, baudrate=baud, timeout=self.SLICE)
        except (serial.SerialException, OSError, ValueError) as e:
            raise TransportError(f"cannot open {url}: {e}") from e
        self._error = serial.SerialException

    def recv(self, timeout: float | None) -> bytes:
        deadline = None if timeout is None else time.monotonic() + max(0.0, timeout)
        while True:
            try:
                waiting = self.port.in_waiting
                if not waiting and deadline is not None and time.monotonic() >= deadline:
                    return b""
                data = self.port.read(max(1, waiting))
            except (self._error, OSError) as e:
                raise ServerGone(f"{self.name}: {e}") from e
            if data or (deadline is not None and time.monotonic() >= deadline):
                return data

    def send(self, data: bytes) -> None:
        try:
            self.port.write(data)
        except (self._error, OSError) as e:
            raise TransportError(f"{self.name}: write: {e}") from e

    def close(self, hurry: bool = False) -> None:
        self.port.close()


class ConsoleTransport:
    """A console of labgrid's (its ConsoleProtocol: read and write).

    When the console reads a local port or a raw socket through pyserial
    (labgrid's SerialDriver does), the client reads and writes that
    descriptor itself: what is waiting, at once. labgrid's own read would
    set the port's timeout (two terminal calls) and log a step for each
    piece, which costs more than a command's round trip. Other consoles
    (RFC 2217, ...) are read through their ``_read`` where they have it,
    else ``read``, asking for one byte: labgrid's serial driver then
    returns that and all that waits, where asking for more would wait
    until that many came or the timeout ran out. Either way the session's
    readable part is in the client's board log.
    """

    #: What a wait without end asks the console for (labgrid needs a number).
    LONG = 60.0

    def __init__(self, console) -> None:
        self.console = console
        self.name = f"console:{console}"
        fd = _descriptor(getattr(console, "serial", None))
        self._fd = FdTransport(fd, fd, self.name) if fd is not None else None
        self._read = getattr(console, "_read", None) or console.read
        self._write = getattr(console, "_write", None) or console.write

    def recv(self, timeout: float | None) -> bytes:
        if self._fd is not None:
            return self._fd.recv(timeout)
        from pexpect import TIMEOUT

        wait = self.LONG if timeout is None else max(0.0, timeout)
        try:
            return self._read(size=1, timeout=wait)
        except TIMEOUT:
            return b""
        except Exception as e:  # serial, socket and labgrid errors alike: the link failed
            raise TransportError(f"{self.name}: read: {e}") from e

    def send(self, data: bytes) -> None:
        if self._fd is not None:
            self._fd.send(data)
            return
        try:
            self._write(data)
        except Exception as e:
            raise TransportError(f"{self.name}: write: {e}") from e

    def close(self, hurry: bool = False) -> None:
        pass  # the console is labgrid's: it stays open


def _descriptor(port) -> int | None:
    """The descriptor of a pyserial port that reads one (a device, a raw
    socket), else None (RFC 2217 reads through a thread of its own)."""
    try:
        fd = port.fileno()
    except Exception:  # no port, not open, or no descriptor of its own
        return None
    return fd if isinstance(fd, int) and fd >= 0 else None


def open_serial(device: str, baud: int = 115200, timeout: float = 10.0):
    """A local serial device or a pyserial URL. A plain socket://HOST:PORT
    is a TCP connection: this client's own socket reads it faster than
    pyserial's, which takes a byte per call."""
    if device.startswith("socket://") and "?" not in device:
        host, _, port = device[len("socket://"):].rstrip("/").rpartition(":")
        if host and port.isdigit():
            t = SocketTransport.connect(host.strip("[]"), int(port), timeout)
            t.name = f"serial:{device}@{baud}"
            return t
    return SerialUrlTransport(device, baud) if is_url(device) else SerialTransport(device, baud)

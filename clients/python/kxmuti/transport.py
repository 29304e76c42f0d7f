"""Byte links the client speaks over: file descriptors (pipes, sockets,
serial lines), a child process, a TCP connection, a serial port.

A transport has ``recv(timeout)`` (bytes; b"" when nothing came in time;
ServerGone at the end of the stream), ``send(data)`` and ``close()``.
"""

from __future__ import annotations

import errno
import os
import select
import socket
import subprocess
import time
from typing import Sequence

from .errors import ServerGone, TransportError

_READ_SIZE = 65536
_WRITE_TIMEOUT = 30.0  # seconds a write may wait for the peer to read


class FdTransport:
    """Reads one descriptor and writes another (they may be the same)."""

    def __init__(self, rfd: int, wfd: int) -> None:
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

    def close(self) -> None:
        for fd in {self.rfd, self.wfd}:
            try:
                os.close(fd)
            except OSError:
                pass


class SpawnTransport(FdTransport):
    """A child process whose standard input and output carry the protocol."""

    def __init__(self, argv: Sequence[str] | str, stderr: int | None = None, **popen) -> None:
        if isinstance(argv, str):
            import shlex
            argv = shlex.split(argv)
        try:
            self.proc = subprocess.Popen(
                list(argv), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr,
                bufsize=0, **popen)
        except OSError as e:
            raise TransportError(f"cannot start {argv[0]}: {e}") from e
        super().__init__(self.proc.stdout.fileno(), self.proc.stdin.fileno())

    def close(self) -> None:
        for pipe in (self.proc.stdin, self.proc.stdout):
            try:
                pipe.close()
            except OSError:
                pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class SocketTransport(FdTransport):
    """A connected stream socket."""

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        super().__init__(sock.fileno(), sock.fileno())

    @classmethod
    def connect(cls, host: str, port: int, timeout: float = 10.0) -> "SocketTransport":
        try:
            sock = socket.create_connection((host, port), timeout=timeout)
        except OSError as e:
            raise TransportError(f"cannot connect to {host}:{port}: {e}") from e
        sock.settimeout(None)
        return cls(sock)

    def close(self) -> None:
        self.sock.close()


class SerialTransport(FdTransport):
    """A serial port, opened raw through pyserial."""

    def __init__(self, device: str, baud: int = 115200) -> None:
        import serial  # Debian's python3-serial; needed only here

        try:
            self.port = serial.Serial(device, baud, timeout=0)
        except (serial.SerialException, OSError) as e:
            raise TransportError(f"cannot open {device}: {e}") from e
        super().__init__(self.port.fileno(), self.port.fileno())

    def close(self) -> None:
        self.port.close()


class ConsoleTransport:
    """A console of labgrid's (its ConsoleProtocol: read and write)."""

    def __init__(self, console) -> None:
        self.console = console

    def recv(self, timeout: float | None) -> bytes:
        from pexpect import TIMEOUT

        try:
            return self.console.read(size=_READ_SIZE, timeout=60.0 if timeout is None else timeout)
        except TIMEOUT:
            return b""

    def send(self, data: bytes) -> None:
        self.console.write(data)

    def close(self) -> None:
        pass

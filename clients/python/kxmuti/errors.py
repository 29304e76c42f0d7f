"""The exceptions of the client, all under Error.

Each names one way a call can end without a result; none is raised with
a result that might be wrong.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .client import Result


class Error(Exception):
    """Base of every exception the client raises."""


class TransportError(Error):
    """The link failed: a connect, read or write raised an operating-system error."""


class ServerGone(Error):
    """The server ended the session, went silent, or started a new one."""


class ProtocolError(Error):
    """The server answered in a way this client does not expect (version, error code)."""


class AuthError(Error):
    """The server wants a token and none was given, or it refused the one given."""


class LineRejected(Error):
    """The server did not run the line: too long, or it holds a NUL byte."""

    def __init__(self, line: bytes, message: str) -> None:
        super().__init__(f"{line!r}: {message}")
        self.line = line


class OutputLost(Error):
    """A frame of the result was corrupted and the server no longer holds it.

    The command ran (once); its status is known when ``status`` is not None,
    but its output cannot be given back complete, so none of it is.
    """

    def __init__(self, line: bytes, status: int | None, message: str) -> None:
        super().__init__(f"{line!r}: {message}")
        self.line = line
        self.status = status


class Timeout(Error):
    """The request did not end in time; it was cancelled.

    ``result`` is the result of the cancelled run (``cancelled`` true), or
    None when the server never started it or did not end it in time.
    """

    def __init__(self, line: bytes, seconds: float, result: "Result | None") -> None:
        super().__init__(f"{line!r}: no result within {seconds:g} s")
        self.line = line
        self.result = result


class CommandFailed(Error):
    """check() ran a line whose result the server counts as failed."""

    def __init__(self, result: "Result") -> None:
        self.result = result
        self.status = result.status
        self.line = result.line
        self.output = result.out + result.err
        super().__init__(
            f"{result.line.decode('utf-8', 'replace')!r} failed with status "
            f"{result.status} (0x{result.status:08X})"
            + (f":\n{self.output.decode('utf-8', 'replace')}" if self.output else "")
        )

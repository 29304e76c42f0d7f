"""The exceptions of the client, all under Error.

Each names one way a call can end without a result; none is raised with
a result that might be wrong.
"""

from __future__ import annotations

from .results import Result, as_text


class Error(Exception):
    """Base of every exception the client raises."""


class TransportError(Error):
    """The link failed: a connect, read or write raised an operating-system error."""


class ServerGone(Error):
    """The server ended the session, went silent, or started a new one."""


class NoGreeting(ServerGone):
    """Opening a target found no server: nothing, or something else, answered.

    ``target`` names what was opened; ``heard`` holds the first bytes that
    came instead of a greeting (empty when nothing came).
    """

    def __init__(self, target: str, seconds: float, heard: bytes) -> None:
        what = f"heard {len(heard)} bytes: {_sample(heard)}" if heard else "heard nothing"
        super().__init__(f"{target}: no greeting within {seconds:g} s; {what}")
        self.target = target
        self.heard = heard


def _sample(data: bytes, keep: int = 60) -> str:
    """The start of some bytes, as a reader can see them on one line."""
    text = repr(data[:keep])[2:-1]
    return f"'{text}'" + ("..." if len(data) > keep else "")


class ProtocolError(Error):
    """The server answered in a way this client does not expect (version, error code)."""


class AuthError(Error):
    """The server wants a token and none was given, or it refused the one given."""


class LineRejected(Error):
    """The server did not run the line: too long, or it holds a NUL byte."""

    def __init__(self, line: str | bytes, message: str) -> None:
        super().__init__(f"{as_text(line)}: {message}")
        self.line = line


class OutputLost(Error):
    """A frame of the result was corrupted and the server no longer holds it.

    The command ran (once); its status is known when ``status`` is not None,
    but its output cannot be given back complete, so none of it is.
    """

    def __init__(self, line: str | bytes, status: int | None, message: str) -> None:
        super().__init__(f"{as_text(line)}: {message}")
        self.line = line
        self.status = status


class Timeout(Error):
    """The request did not end in time; it was cancelled.

    ``result`` is the result of the cancelled run (``cancelled`` true), or
    None when the server never started it or did not end it in time.
    ``why`` says which: "cancelled", "not ended" (the cancel did not end it
    in time), "never ran" (the request was lost on the way), or "not run"
    (the request before it still ran, so this one was never sent).
    """

    def __init__(self, line: str | bytes, seconds: float, result: Result | None,
                 why: str = "cancelled") -> None:
        super().__init__(f"{as_text(line)}: no result within {seconds:g} s ({why})")
        self.line = line
        self.result = result
        self.why = why


class CommandFailed(Error):
    """check() ran a line whose result the server counts as failed."""

    def __init__(self, result: "Result") -> None:
        self.result = result
        self.status = result.status
        self.line = result.line
        self.output = result.out + result.err
        super().__init__(
            f"{as_text(result.line)}: {result.reason} (status 0x{result.status:08X})"
            + (f":\n{self.output.decode('utf-8', 'replace')}" if self.output else "")
        )

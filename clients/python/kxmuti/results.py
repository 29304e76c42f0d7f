"""What the client hands back: a command's Result, completion candidates,
log frames and the link's counters. Plain records, no I/O."""

from __future__ import annotations

from dataclasses import dataclass

# Interpreter statuses (kxMUtiCmd.h) and what the script runner calls them.
STATUS_NO_WORDS = 0xFFFFFF01
STATUS_UNKNOWN = 0xFFFFFF02
STATUS_REASONS = {
    STATUS_UNKNOWN: "unknown or ambiguous command",
    0xFFFFFF03: "too many parameters",
    0xFFFFFF04: "insufficient arguments",
    0xFFFFFF05: "argument is not a number",
    0xFFFFFF06: "bad invoke format",
    0xFFFFFF10: "script not run",
}


def as_text(line: str | bytes) -> str:
    """A command line for people: str as is, bytes as UTF-8 with bad bytes escaped."""
    return line if isinstance(line, str) else line.decode("utf-8", "backslashreplace")


@dataclass
class Result:
    """What one command line did on the board."""

    line: str | bytes      #: the line as it was given (str or bytes)
    status: int            #: the 32-bit status
    out: bytes             #: standard output, exact bytes
    err: bytes             #: standard error, exact bytes
    seconds: float         #: run time on the board
    failed: bool           #: the server's judgement of the status
    cancelled: bool = False
    replay: bool = False   #: the result came from the server's store

    @property
    def ok(self) -> bool:
        return not self.failed

    @property
    def text(self) -> str:
        """Standard output as text (UTF-8, bad bytes replaced)."""
        return self.out.decode("utf-8", "replace")

    @property
    def reason(self) -> str:
        """Why the line failed, in the script runner's words ("failed" for a
        handler's own status), or "ok"."""
        if not self.failed:
            return "ok"
        return STATUS_REASONS.get(self.status, "failed")


@dataclass
class LogFrame:
    """Output written while no request ran (an L frame)."""

    time: float      #: time.time() when it arrived
    stream: int      #: 1 standard output, 2 standard error
    data: bytes
    after: int       #: id of the last request sent before it (0: none)


class Completion(list):
    """Candidates for a completion; ``start`` is where they replace the line."""

    start: int = 0


@dataclass
class Stats:
    """What the client had to do to get its results."""

    requests: int = 0
    resent: int = 0        #: requests sent again (their K did not come)
    fetched: int = 0       #: F sent for a result with a gap or no end
    bad_frames: int = 0    #: markers whose line was not a valid frame
    lost: int = 0          #: results reported as OutputLost
    timeouts: int = 0
    probes: int = 0        #: questions asked only to learn whether the server is there

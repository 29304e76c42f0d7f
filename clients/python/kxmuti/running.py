"""A started request: its output watched as it comes.

    link = kx.start("source watch-link.kx")
    link.expect(b"link up", timeout=10)   # the match, or Timeout
    result = link.cancel()                # or link.wait()

Client.start() makes one; it waits through the client that started it.
"""

from __future__ import annotations

import re
import time
from typing import TYPE_CHECKING

from .errors import Timeout
from .results import Result

if TYPE_CHECKING:
    from .client import Client
    from .protocol import Request


def _regex(pattern: bytes | str | re.Pattern) -> re.Pattern:
    """A pattern as a bytes regular expression (str is taken as UTF-8)."""
    if isinstance(pattern, re.Pattern):
        if isinstance(pattern.pattern, str):
            return re.compile(pattern.pattern.encode(), pattern.flags & ~re.UNICODE)
        return pattern
    return re.compile(pattern.encode() if isinstance(pattern, str) else pattern)


class Running:
    """A request that runs on the board while the caller watches it.

    ``output`` and ``errors`` are the bytes so far; ``history`` lists what
    was done with it, as (time, what) pairs, for reports.
    """

    def __init__(self, client: "Client", request: "Request") -> None:
        self._client = client
        self._req = request
        self._pos = 0  # expect() searches from the end of the last match
        self.started = time.time()
        self.history: list[tuple[float, str]] = []
        self.result: Result | None = None

    @property
    def line(self) -> str | bytes:
        return self._req.line

    @property
    def output(self) -> bytes:
        """Standard output so far."""
        return bytes(self._req.out.data)

    @property
    def errors(self) -> bytes:
        """Standard error so far."""
        return bytes(self._req.err.data)

    @property
    def done(self) -> bool:
        return self._req.done

    def expect(self, pattern: bytes | str | re.Pattern, timeout: float | None = None) -> re.Match:
        """Waits until standard output, from the end of the previous match
        on, matches ``pattern`` (a regular expression: bytes, str or
        compiled) and returns the match. Raises Timeout when ``timeout``
        seconds pass first, or the request ends without a match (its
        ``result`` then set); the request goes on running in the first case."""
        regex = _regex(pattern)
        until = None if timeout is None else time.monotonic() + timeout
        out = self._req.out.data
        while True:
            m = regex.search(out, self._pos)
            if m is not None:
                self._pos = m.end()
                self.history.append((time.time(), f"expect {regex.pattern!r}: matched "
                                     f"{m.group(0)!r}"))
                return m
            if self._req.done:
                self._ended()
                self.history.append((time.time(), f"expect {regex.pattern!r}: ended without it"))
                raise Timeout(self.line, timeout or 0, self.result, "ended without a match")
            seen = len(out)
            if not self._client._await(lambda: self._req.done or len(out) > seen, until):
                self.history.append((time.time(), f"expect {regex.pattern!r}: no match in "
                                     f"{timeout:g} s"))
                raise Timeout(self.line, timeout or 0, None, "no match yet; still running")

    def wait(self, timeout: float | None = None) -> Result:
        """Waits for the request to end and returns its result; past
        ``timeout`` it is cancelled and Timeout raised, as run() does."""
        since = time.monotonic()
        try:
            self.result = self._client._wait_result(self._req, timeout, since)
        except Timeout as e:
            self.result = e.result
            self.history.append((time.time(), f"wait: {e}"))
            raise
        self.history.append((time.time(), "ended"))
        return self.result

    def cancel(self) -> Result:
        """Cancels the request and returns its result (``cancelled`` true
        when it still ran). Timeout when it does not end within 5 s."""
        if self._req.done:
            return self._ended()
        self.history.append((time.time(), "cancel"))
        try:
            self._client._cancel(self._req, None, time.monotonic())
        except Timeout as e:
            if e.result is None:
                raise
            self.result = e.result
        return self.result

    def _ended(self) -> Result:
        if self.result is None:
            self.result = self._client._result(self._req)
        return self.result

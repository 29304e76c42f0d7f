"""The board log: everything a board sent outside requests, kept in order.

Bytes between frames (boot and kernel messages, a login shell's echo) are
split into lines; L frames (output written while no request ran) are kept
as they came. Each entry carries when it arrived, so that a test's report
can show what the board said while the test ran.
"""

from __future__ import annotations

import collections
import time
from dataclasses import dataclass
from typing import Iterator

#: Longest console line kept whole; a longer one is cut into pieces this long.
LINE_MAX = 4096


@dataclass(frozen=True)
class Entry:
    """One thing the board said outside requests."""

    time: float   #: when it arrived (seconds since the epoch)
    kind: str     #: "console" (bytes outside frames), "stdout" or "stderr" (an L frame)
    text: bytes   #: a console line without its line end, or an L frame's bytes


class BoardLog:
    """A bounded sequence of Entry, oldest first (at most ``keep``).

    ``count`` is how many entries were ever added; ``since(t)`` gives those
    that arrived at or after ``t``.
    """

    def __init__(self, keep: int = 10000) -> None:
        self._entries: collections.deque[Entry] = collections.deque(maxlen=keep)
        self._partial = bytearray()
        self._partial_time = 0.0
        self.count = 0

    def __len__(self) -> int:
        return len(self._entries)

    def __iter__(self) -> Iterator[Entry]:
        return iter(self._entries)

    def __getitem__(self, index: int) -> Entry:
        return self._entries[index]

    def since(self, start: float, end: float | None = None) -> list[Entry]:
        """The entries that arrived from ``start`` on (up to ``end``)."""
        return [e for e in self._entries if e.time >= start and (end is None or e.time <= end)]

    def console(self, data: bytes, now: float | None = None) -> None:
        """Takes bytes that came outside frames; whole lines become entries."""
        if not data:
            return
        now = time.time() if now is None else now
        if not self._partial:
            self._partial_time = now
        self._partial += data
        while True:
            nl = self._partial.find(b"\n")
            if nl < 0:
                break
            self._add_console(bytes(self._partial[:nl]))
            del self._partial[:nl + 1]
            self._partial_time = now
        while len(self._partial) >= LINE_MAX:
            self._add_console(bytes(self._partial[:LINE_MAX]))
            del self._partial[:LINE_MAX]

    def frame(self, stream: int, data: bytes, now: float | None = None) -> None:
        """Takes an L frame's bytes (stream 1 standard output, 2 error)."""
        self.flush()
        self._add(Entry(time.time() if now is None else now,
                        "stdout" if stream == 1 else "stderr", data))

    def flush(self) -> None:
        """Ends a console line that has no line end yet (a prompt, say)."""
        if self._partial:
            text = bytes(self._partial)
            self._partial.clear()
            self._add_console(text)

    def _add_console(self, text: bytes) -> None:
        text = text.rstrip(b"\r")  # a terminal's line end, doubled by one that adds its own
        self._add(Entry(self._partial_time, "console", text))

    def _add(self, entry: Entry) -> None:
        self._entries.append(entry)
        self.count += 1

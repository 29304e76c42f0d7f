"""A board of a board map, as a test run drives it: a Board whose session
is opened again when it ended, held under the board's lock, and recorded
dead for the whole run when it cannot be opened again.

A labgrid board (``labgrid:`` and ``role:`` in the map) is opened through
its environment's KxMUtiDriver instead of a target string.
"""

from __future__ import annotations

import time
from pathlib import Path
from typing import Any

from .board import Board
from .boardlock import BoardLock
from .boards import BoardEntry
from .client import Client
from .errors import Error
from .rackrun import RunState, describe_death

HEARD_SHOWN = 120  # characters of what a board said last, in messages


class BoardDead(Exception):
    """The board stopped answering earlier in this run.

    The run's verdict on a board, not a failed call: not an Error, so that
    the kx fixture lets it through as it is and pytest names it, with its
    message, on the test's ERROR line.
    """


class RackBoard(Board):
    """One board of the map in this process: its lock, its session, what it said last."""

    def __init__(self, mapped: BoardEntry, state: RunState, **options: Any) -> None:
        if mapped.token_file is not None:
            options.setdefault("token", mapped.token_file.read_bytes().partition(b"\n")[0].strip())
        super().__init__(mapped.target or mapped.identity, name=mapped.name, type=mapped.type,
                         labels=mapped.labels, entry=mapped.entry, **options)
        self.mapped = mapped
        self.state = state
        self.lock = BoardLock(mapped.identity)
        self.test = ""                            #: the test now using the board
        self.lost_in: tuple[str, str] | None = None  #: (test, why) a test lost the link
        self.heard: tuple[float, str] = (0.0, "")    #: the last result seen, and when
        self._labgrid: tuple[Any, Any] | None = None  # labgrid's target and driver

    def log_dir(self, base: Path) -> Path:
        return base / self.name

    # ------------------------------------------------------------ the session

    def take(self, wait: float) -> float:
        """Takes the board's lock (LockTimeout after ``wait`` seconds)."""
        return self.lock.acquire(wait, self.name)

    def release(self) -> None:
        try:
            self.close()
        except (Error, OSError):
            pass  # a dead board's session has nothing left to end
        self.lock.release()

    def client(self) -> Client:
        """A session that answers, as Board.client(); BoardDead, recording
        the board dead for the run, when opening it again fails."""
        previous = self._client
        try:
            client = super().client()
        except (Error, OSError) as e:
            raise self._died(previous, e) from None
        self.lost_in = None
        return client

    def _died(self, previous: Client | None, e: BaseException) -> BoardDead:
        test, why = self.lost_in or (self.test, "")
        if not why and previous is not None and previous.gone:
            why = previous.gone
        reason = (f"{why}; then " if why else "") + \
            f"cannot open {self.mapped.identity}: {type(e).__name__}: {e}"
        info = self.state.mark_dead(self.name, reason, self.heard_text(previous), test)
        return BoardDead(describe_death(info))

    def _connect(self) -> Client:
        if self.mapped.labgrid is None:
            return super()._connect()
        if self._labgrid is None:
            from labgrid import Environment

            target = Environment(str(self.mapped.labgrid)).get_target(self.mapped.role)
            self._labgrid = (target, None)
        target = self._labgrid[0]
        driver = target.get_driver("KxMUtiDriver")  # activating it opens the session
        self._labgrid = (target, driver)
        return driver.client

    def _drop(self) -> None:
        if self._labgrid is None or self._labgrid[1] is None:
            super()._drop()
            return
        target, driver = self._labgrid
        self._client, self._labgrid = None, (target, None)
        target.deactivate(driver)  # the driver closes its client

    # ------------------------------------------------------ what it said last

    def note(self, when: float, result: Any) -> None:
        """A result the board gave (from a test's transcript)."""
        if when >= self.heard[0]:
            line = result.line if isinstance(result.line, str) else \
                result.line.decode("utf-8", "replace")
            out = result.out + result.err
            self.heard = (when, f"{line!r}: status {result.status}"
                          + (f", {_shorten(out)}" if out else ""))

    def heard_text(self, client: Client | None) -> str:
        """What the board said last: the latest result or board log entry."""
        when, text = self.heard
        log = getattr(client, "board_log", None)
        if log is not None:
            log.flush()  # a console line without its line end yet
        if log:
            last = log[-1]
            if last.time > when:
                when, text = last.time, f"{last.kind} {_shorten(last.text)}"
        if not text:
            return ""
        return f"{text} at {time.strftime('%H:%M:%S', time.localtime(when))}"


def _shorten(data: bytes) -> str:
    text = data.decode("utf-8", "replace").strip()
    return repr(text if len(text) <= HEARD_SHOWN else "..." + text[-HEARD_SHOWN:])

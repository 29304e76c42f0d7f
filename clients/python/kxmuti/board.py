"""One board's session across many uses (the tests of a run): opened on
first use, checked before each later one, opened again when it ended.

A Board is made from a target string and the client's options, nothing
global, so a run that drives several boards holds one Board for each.
"""

from __future__ import annotations

from typing import Any

from .client import Client


class Board:
    """The session with one target, kept open between uses."""

    def __init__(self, target: str, **options: Any) -> None:
        self.target = target
        self.options = options
        self._client: Client | None = None
        self.opened = 0  #: sessions opened so far

    def open(self) -> Client:
        """A new session (Client.open with this board's target and options)."""
        self.opened += 1
        return Client.open(self.target, **self.options)

    def client(self) -> Client:
        """A session that answers: the current one while it does (a probe
        of a few bytes says so), else a new one. Raises what opening
        raises (NoGreeting, TransportError, ...) when the board cannot be
        reached."""
        current = self._client
        if current is not None and current.alive():
            return current
        self._drop()
        self._client = self.open()
        return self._client

    def reopen(self) -> Client:
        """Closes the current session and opens a new one."""
        self._drop()
        self._client = self.open()
        return self._client

    def close(self) -> None:
        self._drop()

    def _drop(self) -> None:
        current, self._client = self._client, None
        if current is not None:
            current.close()

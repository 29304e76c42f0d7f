"""One board's session across many uses (the tests of a run): opened on
first use, checked before each later one, opened again when it ended.

A Board is made from a target string and the client's options, nothing
global, so a run that drives several boards holds one Board for each. It
also describes the board: its name, type and labels (from a board map, see
boards.py) and the build manifest its greeting told.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, Sequence

from .client import Client


class Board:
    """The session with one target, kept open between uses.

    ``name`` (the target when not given), ``type``, ``labels`` and ``entry``
    (the board's entry in a board map) describe the board.
    """

    def __init__(self, target: str, *, name: str | None = None, type: str = "",
                 labels: Sequence[str] = (), entry: dict | None = None, **options: Any) -> None:
        self.target = target
        self.name = name or target
        self.type = type
        self.labels = tuple(labels)
        self.entry = dict(entry) if entry is not None else {"target": target}
        self.options = options
        self._client: Client | None = None
        self._manifest: dict[str, str] = {}
        self.opened = 0  #: sessions opened so far

    @property
    def manifest(self) -> dict[str, str]:
        """The build manifest of the last greeting ({} before a session opened)."""
        return self._manifest

    def log_dir(self, base: Path) -> Path:
        """Where the logs of this board's tests go under --kx-log-dir's folder."""
        return base

    def open(self) -> Client:
        """A new session (Client.open with this board's target and options)."""
        self.opened += 1
        client = self._connect()
        self._manifest = dict(client.greeting.get("manifest") or {})
        return client

    def _connect(self) -> Client:
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

"""What the processes of one test run share about its boards: which died.

A folder made by the run's first process (pytest's, or xdist's controller)
and handed to its workers; a board found dead gets a record there, so every
worker turns that board's remaining tests into errors while the others go
on. A new run starts with no record: a board is tried again next time.
"""

from __future__ import annotations

import json
import os
import shutil
import tempfile
import time
from pathlib import Path


class RunState:
    """The folder shared by the processes of one run."""

    def __init__(self, directory: str | os.PathLike) -> None:
        self.dir = Path(directory)

    @classmethod
    def create(cls) -> "RunState":
        return cls(tempfile.mkdtemp(prefix="kxmuti-run-"))

    def remove(self) -> None:
        shutil.rmtree(self.dir, ignore_errors=True)

    def _record(self, board: str) -> Path:
        return self.dir / f"dead-{board}.json"

    def mark_dead(self, board: str, reason: str, heard: str, test: str) -> dict:
        """Records that ``board`` died; the first record stays. Returns the one kept."""
        info = {"board": board, "reason": reason, "heard": heard, "test": test,
                "time": time.time()}
        fd, tmp = tempfile.mkstemp(dir=self.dir, prefix=".dead-")
        with os.fdopen(fd, "w") as f:
            json.dump(info, f)
        try:
            os.link(tmp, self._record(board))  # atomic, and fails when a record exists
        except FileExistsError:
            pass
        finally:
            os.unlink(tmp)
        return self.dead(board) or info

    def dead(self, board: str) -> dict | None:
        """The record of a dead board, or None while it is not known dead."""
        try:
            return json.loads(self._record(board).read_text())
        except FileNotFoundError:
            return None


def describe_death(info: dict) -> str:
    """One line: the board, where it died, why, and what it said last."""
    heard = info.get("heard") or "nothing"
    return (f"board {info['board']} is dead since {info['test']}: {info['reason']}; "
            f"last heard: {heard}")

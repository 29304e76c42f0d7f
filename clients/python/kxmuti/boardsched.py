"""pytest-xdist scheduling by board: all the tests of one board go to one worker.

A board is driven by one test at a time, so two workers given tests of the
same board would only wait for each other's lock. Whole boards are handed
out instead, as xdist's own loadscope hands out modules; with as many
workers as boards each worker drives one board from start to end. Tests
that use no board are grouped by module, as loadscope does.
"""

from __future__ import annotations

from typing import Iterable

from xdist.scheduler import LoadScopeScheduling


def board_of(nodeid: str, names: Iterable[str]) -> str | None:
    """The board a test id names: the last part of its parameter id, since
    the board is the last parameter given (``test_mem[stb1]``, ``test_f[474000-stb1]``)."""
    name = nodeid.rpartition("::")[2]
    if not name.endswith("]") or "[" not in name:
        return None
    params = name[name.index("[") + 1:-1]
    found = [n for n in names if params == n or params.endswith("-" + n)]
    return max(found, key=len) if found else None


class BoardScheduling(LoadScopeScheduling):
    """LoadScopeScheduling whose unit of work is a board's tests."""

    def __init__(self, config, log=None, names: Iterable[str] = ()) -> None:
        super().__init__(config, log)
        self.board_names = tuple(names)

    def _split_scope(self, nodeid: str) -> str:
        board = board_of(nodeid, self.board_names)
        return f"kx board {board}" if board else super()._split_scope(nodeid)

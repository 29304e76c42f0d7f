"""pytest over a rack of boards: ``--kx-boards FILE`` runs every test that
uses ``kx`` once on each board of the map (``test_mem[stb1]``).

- ``@pytest.mark.kx_boards(type=..., labels=...)`` narrows a test to some boards;
- with ``-n N`` (pytest-xdist) whole boards are handed to workers, and a lock
  per board keeps any two tests, of this run or another, off one board at once;
- each test's report carries its board (``kx_board``) and the board's manifest
  as properties, and the summary ends with a line per board;
- a board that stops answering turns its remaining tests into errors naming
  it and what it said last, while the other boards go on.

Loaded by kxmuti.pytest_plugin, whose ``kx_board`` fixture asks rack_board()
for a board of the map.
"""

from __future__ import annotations

import collections
import itertools
from typing import Any, Iterator

import pytest

from . import boards as bm
from .errors import ServerGone, TransportError
from .pytest_plugin import board_options, transcript_of
from .rackboard import BoardDead, RackBoard
from .rackrun import RunState, describe_death
from .results import Result

DEFAULT_LOCK_WAIT = 600.0  # seconds: a board may be busy with another run's whole suite
_LINK_ERRORS = (ServerGone, TransportError, OSError, EOFError)


class Rack:
    """The boards of this run and this process's sessions with them."""

    def __init__(self, boards: list[bm.BoardEntry], state: RunState, owner: bool,
                 lock_wait: float) -> None:
        self.boards = boards
        self.by_name = {b.name: b for b in boards}
        self.state = state
        self.owner = owner  # made the run's folder, so removes it
        self.lock_wait = lock_wait
        self.open_boards: dict[str, RackBoard] = {}  # the boards this process holds
        self.current_test = ""  # the test being set up or run in this process


_rack_key = pytest.StashKey[Rack]()


def rack_of(config: pytest.Config) -> Rack | None:
    return config.stash.get(_rack_key, None)


# ------------------------------------------------------------- configuring


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("kxmuti", "kxMUti board (automation protocol)")
    group.addoption("--kx-boards", metavar="FILE",
                    help="a board map (YAML): run each test that uses kx on every board in it")
    group.addoption("--kx-lock-wait", metavar="SECONDS", type=float, default=DEFAULT_LOCK_WAIT,
                    help="how long a test waits for a board another process drives "
                         f"(default {DEFAULT_LOCK_WAIT:g})")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "kx_boards(type=None, labels=None): run only on the map's boards of one of "
                   "the types that carry all the labels")
    path = config.getoption("kx_boards")
    if not path:
        return
    others = [o for o in ("kx_spawn", "kx_tcp", "kx_serial", "kx_target")
              if config.getoption(o, None)]
    if others:
        raise pytest.UsageError("--kx-boards names the boards: leave out "
                                + ", ".join("--" + o.replace("_", "-") for o in others))
    try:
        boards = bm.load(path)
    except bm.BoardMapError as e:
        raise pytest.UsageError(str(e)) from None
    worker = getattr(config, "workerinput", None)
    if worker is not None and "kx_run_dir" in worker:
        state, owner = RunState(worker["kx_run_dir"]), False
    else:
        state, owner = RunState.create(), True
    rack = Rack(boards, state, owner, config.getoption("kx_lock_wait"))
    config.stash[_rack_key] = rack
    if worker is None:
        config.pluginmanager.register(BoardSummary(rack), "kxmuti-board-summary")


def pytest_unconfigure(config: pytest.Config) -> None:
    rack = rack_of(config)
    if rack is not None and rack.owner:
        rack.state.remove()


@pytest.hookimpl(optionalhook=True)
def pytest_configure_node(node) -> None:
    """xdist's controller: tells each worker the run's shared folder."""
    rack = rack_of(node.config)
    if rack is not None:
        node.workerinput["kx_run_dir"] = str(rack.state.dir)


@pytest.hookimpl(optionalhook=True, tryfirst=True)
def pytest_xdist_make_scheduler(config: pytest.Config, log) -> Any:
    """Whole boards to workers, for xdist's load distributions."""
    rack = rack_of(config)
    if rack is None or config.getvalue("dist") not in ("load", "loadgroup", "loadscope"):
        return None
    from .boardsched import BoardScheduling

    return BoardScheduling(config, log, rack.by_name)


# ---------------------------------------------------- one test per board


@pytest.hookimpl(trylast=True)  # after @parametrize: the board is the id's last part
def pytest_generate_tests(metafunc: pytest.Metafunc) -> None:
    rack = rack_of(metafunc.config)
    if rack is None or "kx_board" not in metafunc.fixturenames:
        return
    marker = metafunc.definition.get_closest_marker("kx_boards")
    chosen = rack.boards
    if marker is not None:
        if marker.args or set(marker.kwargs) - {"type", "labels"}:
            raise pytest.UsageError(f"{metafunc.definition.nodeid}: kx_boards takes type= and "
                                    "labels= only")
        chosen = bm.select(rack.boards, **marker.kwargs)
    # Session scope: a board's session (and lock) serves its tests one after
    # another; kx_board makes a RackBoard of the entry.
    metafunc.parametrize("kx_board", chosen, ids=[b.name for b in chosen], indirect=True,
                         scope="session")


_collected_key = pytest.StashKey[int]()


def pytest_itemcollected(item: pytest.Item) -> None:
    """Notes the order the tests were written in, before pytest groups them."""
    item.stash[_collected_key] = next(_collected)


_collected = itertools.count()


@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    """Runs each board's tests in one stretch, boards in map order and tests
    in the order written: a board's session and lock are then taken once.
    Tests without a board come first."""
    rack = rack_of(config)
    if rack is None:
        return
    order = {name: i for i, name in enumerate(rack.by_name)}

    def key(item: pytest.Item) -> tuple[int, int]:
        board = entry_of_item(item)
        return (-1 if board is None else order[board.name], item.stash.get(_collected_key, 0))
    items.sort(key=key)


def entry_of_item(item: pytest.Item) -> bm.BoardEntry | None:
    """The map's entry of the board a test runs on (None: no board)."""
    callspec = getattr(item, "callspec", None)
    return None if callspec is None else callspec.params.get("kx_board")


# ------------------------------------------------------------- sessions


def rack_board(config: pytest.Config, entry: bm.BoardEntry) -> Iterator[RackBoard]:
    """The kx_board fixture's body for a board of the map: lock, share, close."""
    rack = rack_of(config)
    options = board_options(config)
    options.pop("token", None)  # each board's own comes from its token_file
    board = RackBoard(entry, rack.state, **options)
    board.test = rack.current_test
    board.take(rack.lock_wait)
    rack.open_boards[entry.name] = board
    try:
        yield board
    finally:
        rack.open_boards.pop(entry.name, None)
        board.release()


# ------------------------------------------------------------- each test


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_setup(item: pytest.Item) -> None:
    """Names the board in the report; a dead board's test stops here."""
    entry = entry_of_item(item)
    rack = rack_of(item.config)
    if entry is None or rack is None:
        return
    rack.current_test = item.nodeid
    if ("kx_board", entry.name) not in item.user_properties:
        item.user_properties.append(("kx_board", entry.name))
    dead = rack.state.dead(entry.name)
    if dead is not None:
        raise BoardDead(describe_death(dead))
    board = rack.open_boards.get(entry.name)
    if board is not None:
        board.test = item.nodeid


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_call(item: pytest.Item) -> None:
    board = item.funcargs.get("kx_board")
    if isinstance(board, RackBoard):
        item.user_properties.extend((f"kx_manifest.{k}", v) for k, v in board.manifest.items())


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo):
    """Notes what the board said last, and whether the test lost the link."""
    yield
    entry = entry_of_item(item)
    rack = rack_of(item.config)
    if entry is None or rack is None or call.when != "call":
        return
    board = rack.open_boards.get(entry.name)
    if board is None:
        return
    transcript = transcript_of(item)
    for when, kind, what in transcript.events if transcript is not None else ():
        if kind == "cmd" and isinstance(what[1], Result):
            board.note(when, what[1])
    if call.excinfo is not None and isinstance(call.excinfo.value, _LINK_ERRORS):
        e = call.excinfo.value
        board.lost_in = (item.nodeid, f"{type(e).__name__}: {e}")


# ------------------------------------------------------------- the summary


class BoardSummary:
    """Counts each board's outcomes from the reports (on xdist's controller,
    the workers' reports) and ends the terminal summary with them."""

    def __init__(self, rack: Rack) -> None:
        self.rack = rack
        self.counts: dict[str, collections.Counter] = {}

    def pytest_runtest_logreport(self, report: pytest.TestReport) -> None:
        name = dict(report.user_properties).get("kx_board")
        if name is None:
            return
        counts = self.counts.setdefault(name, collections.Counter())
        if report.when == "call":
            counts["passed" if report.passed else "failed" if report.failed else "skipped"] += 1
        elif report.failed:
            counts["errors"] += 1
        elif report.skipped:
            counts["skipped"] += 1

    @pytest.hookimpl(hookwrapper=True, tryfirst=True)  # outermost: after pytest's own lines
    def pytest_terminal_summary(self, terminalreporter):
        yield
        if not self.counts:
            return
        terminalreporter.write_sep("=", "kx boards")
        for board in self.rack.boards:
            counts = self.counts.get(board.name)
            if counts is not None:
                bad = counts["failed"] or counts["errors"]
                terminalreporter.write_line(self.line(board, counts), red=bool(bad), green=not bad)

    def line(self, board: bm.BoardEntry, counts: collections.Counter) -> str:
        text = (f"kx board {board.name} ({board.type}): {counts['passed']} passed, "
                f"{counts['failed']} failed, {counts['errors']} errors")
        if counts["skipped"]:
            text += f", {counts['skipped']} skipped"
        dead = self.rack.state.dead(board.name)
        return text if dead is None else f"{text}; {describe_death(dead)}"

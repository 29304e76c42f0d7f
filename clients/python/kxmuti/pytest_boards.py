"""pytest over a rack of boards: ``--kx-boards FILE`` runs every test that
uses ``kx`` once on each board of the map (``test_mem[stb1]``).

- ``@pytest.mark.kx_boards(type=..., labels=...)`` narrows a test to some boards;
- with ``-n N`` (pytest-xdist) whole boards are handed to workers, and a lock
  per board keeps any two tests, of this run or another, off one board at once;
- each test's report carries its board (``kx_board``) and the board's manifest
  as properties, and the summary ends with a line per board;
- a board that stops answering turns its remaining tests into errors naming
  it and what it said last, while the other boards go on.

Loaded by kxmuti.pytest_plugin; the ``kx_client`` fixture asks board_client()
for a board's session.
"""

from __future__ import annotations

import collections
import itertools
import time
from typing import Any, Iterator

import pytest

from . import boards as bm
from .boardlock import BoardLock
from .errors import Error, ServerGone, TransportError
from .rackrun import RunState, describe_death

DEFAULT_LOCK_WAIT = 600.0  # seconds: a board may be busy with another run's whole suite
_LINK_ERRORS = (ServerGone, TransportError, OSError, EOFError)
_HEARD_SHOWN = 120  # characters of what a board said last, in messages


class BoardDead(Error):
    """The board stopped answering earlier in this run."""


class Rack:
    """The boards of this run and this process's sessions with them."""

    def __init__(self, boards: list[bm.Board], state: RunState, owner: bool,
                 lock_wait: float) -> None:
        self.boards = boards
        self.by_name = {b.name: b for b in boards}
        self.state = state
        self.owner = owner  # made the run's folder, so removes it
        self.lock_wait = lock_wait
        self.sessions: dict[str, BoardSession] = {}
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
    others = [o for o in ("kx_spawn", "kx_tcp", "kx_serial") if config.getoption(o, None)]
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
    # another, and pytest orders the tests board by board.
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
        board = board_of_item(item)
        return (-1 if board is None else order[board.name], item.stash.get(_collected_key, 0))
    items.sort(key=key)


@pytest.fixture(scope="session")
def kx_board(request: pytest.FixtureRequest) -> bm.Board | None:
    """The board of this test, from the map; None when no map is given."""
    return getattr(request, "param", None)


def board_of_item(item: pytest.Item) -> bm.Board | None:
    callspec = getattr(item, "callspec", None)
    return None if callspec is None else callspec.params.get("kx_board")


# ------------------------------------------------------------- sessions


class LiveClient:
    """Stands for the board's current client: a board's tests share it, and
    it moves to a new session when the board had to be reopened. Notes every
    result, for saying what a board said last."""

    def __init__(self, session: "BoardSession") -> None:
        self._session = session

    @property
    def board(self) -> bm.Board:
        return self._session.board

    def __getattr__(self, name: str) -> Any:
        attr = getattr(self._session.client, name)
        if name not in ("run", "check", "run_many"):
            return attr

        def noted(*args, **kw):
            result = attr(*args, **kw)
            self._session.note(result)
            return result
        return noted


class BoardSession:
    """This process's hold on one board: its lock and its current client."""

    def __init__(self, board: bm.Board, rack: Rack) -> None:
        self.board = board
        self.rack = rack
        self.lock = BoardLock(board.identity)
        self.client: Any = None
        self._close = None
        self.lost: tuple[str, str] | None = None  # (test, what ended the link)
        self.heard: tuple[float, str] = (0.0, "")

    def start(self, test: str) -> None:
        self.lock.acquire(self.rack.lock_wait, self.board.name)
        self.open(test, "")

    def open(self, test: str, before: str) -> None:
        """Opens the session; a board that cannot be reached is recorded dead."""
        try:
            self.client, self._close = bm.open_client(self.board)
        except (Error, OSError) as e:
            reason = f"{before}; then " if before else ""
            info = self.rack.state.mark_dead(self.board.name, f"{reason}cannot open "
                                             f"{self.board.identity}: {type(e).__name__}: {e}",
                                             self.heard_text(), test)
            raise BoardDead(describe_death(info)) from None
        self.board.manifest = dict(self.client.greeting.get("manifest", {}))
        self.lost = None

    def reopen_if_lost(self) -> None:
        if self.lost is None:
            return
        test, why = self.lost
        self.close_client()
        self.open(test, why)

    def note(self, result: Any) -> None:
        items = result if isinstance(result, list) else [result]
        if items:
            self.heard = (time.time(), _describe_result(items[-1]))

    def heard_text(self) -> str:
        """What the board said last: the latest result or log frame."""
        when, text = self.heard
        logs = getattr(self.client, "logs", None)
        if logs:
            last = logs[-1]
            if last.time > when:
                when, text = last.time, f"log {_shorten(last.data)}"
        if not text:
            return ""
        return f"{text} at {time.strftime('%H:%M:%S', time.localtime(when))}"

    def close_client(self) -> None:
        close, self._close = self._close, None
        if close is not None:
            try:
                close()
            except (Error, OSError):
                pass  # the board is gone; nothing left to end

    def stop(self) -> None:
        self.close_client()
        self.lock.release()


def _shorten(data: bytes) -> str:
    text = data.decode("utf-8", "replace").strip()
    return repr(text if len(text) <= _HEARD_SHOWN else "..." + text[-_HEARD_SHOWN:])


def _describe_result(r: Any) -> str:
    line = r.line.decode("utf-8", "replace")
    out = r.out + r.err
    return f"{line!r}: status {r.status}" + (f", {_shorten(out)}" if out else "")


def board_client(config: pytest.Config, board: bm.Board) -> Iterator[LiveClient]:
    """The session fixture's body for one board: lock, open, share, close."""
    rack = rack_of(config)
    session = BoardSession(board, rack)
    rack.sessions[board.name] = session
    try:
        session.start(rack.current_test)
        yield LiveClient(session)
    finally:
        rack.sessions.pop(board.name, None)
        session.stop()


# ------------------------------------------------------------- each test


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_setup(item: pytest.Item) -> None:
    """Names the board in the report; a dead board's test stops here."""
    board = board_of_item(item)
    rack = rack_of(item.config)
    if board is None or rack is None:
        return
    rack.current_test = item.nodeid
    if ("kx_board", board.name) not in item.user_properties:
        item.user_properties.append(("kx_board", board.name))
    dead = rack.state.dead(board.name)
    if dead is not None:
        raise BoardDead(describe_death(dead))
    session = rack.sessions.get(board.name)
    if session is not None:
        session.reopen_if_lost()


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_call(item: pytest.Item) -> None:
    board = board_of_item(item)
    if board is not None:
        item.user_properties.extend((f"kx_manifest.{k}", v) for k, v in board.manifest.items())


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo):
    """A test that lost the link has its board reopened before the next one."""
    yield
    board = board_of_item(item)
    rack = rack_of(item.config)
    if board is None or rack is None or call.excinfo is None or call.when != "call":
        return
    session = rack.sessions.get(board.name)
    if session is not None and isinstance(call.excinfo.value, _LINK_ERRORS):
        e = call.excinfo.value
        session.lost = (item.nodeid, f"{type(e).__name__}: {e}")


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

    def line(self, board: bm.Board, counts: collections.Counter) -> str:
        text = (f"kx board {board.name} ({board.type}): {counts['passed']} passed, "
                f"{counts['failed']} failed, {counts['errors']} errors")
        if counts["skipped"]:
            text += f", {counts['skipped']} skipped"
        dead = self.rack.state.dead(board.name)
        return text if dead is None else f"{text}; {describe_death(dead)}"

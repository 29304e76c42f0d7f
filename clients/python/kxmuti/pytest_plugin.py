"""pytest plugin: a ``kx`` fixture connected to a kxMUti board.

Load it with ``-p kxmuti.pytest_plugin`` (an installed package registers it
itself) and name the board with one of --kx-spawn, --kx-tcp, --kx-serial
or --kx-target, or a rack of boards with --kx-boards (pytest_boards.py).
Each test gets a session that answers: the one of the test before while it
does, else a new one (after quit, a reboot, an idle timeout or a dead
board). A failing test that used ``kx`` gets a "kx session" section in its
report (every command of the test with its status and output) and a "kx
board log" section (what the board said meanwhile); --kx-log-dir writes
both, interleaved, to one file per test.
"""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from . import targets
from .board import Board
from .client import Client
from .errors import Error
from .results import Result
from .running import Running
from .transcript import Transcript

# Board maps (--kx-boards): every test on every board, in parallel.
pytest_plugins = ["kxmuti.pytest_boards"]

SECTION = "kx session"
BOARD_SECTION = "kx board log"


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("kxmuti", "kxMUti board (automation protocol)")
    group.addoption("--kx-spawn", metavar="CMD",
                    help='start the server and speak over its standard streams, e.g. "kxshell --serve"')
    group.addoption("--kx-tcp", metavar="HOST:PORT", help="connect to kxshell --listen")
    group.addoption("--kx-serial", metavar="DEV[@BAUD]",
                    help="a serial console: a device or a pyserial URL such as "
                         "rfc2217://HOST:PORT (default 115200 baud)")
    group.addoption("--kx-target", metavar="TARGET",
                    help="the board as a target string: spawn:CMD, tcp:HOST:PORT or serial:DEV[@BAUD]")
    group.addoption("--kx-token-file", metavar="FILE", help="token for --kx-tcp: the file's first line")
    group.addoption("--kx-timeout", metavar="SECONDS", type=float, default=None,
                    help="default timeout of each command run through kx (none by default)")
    group.addoption("--kx-connect-timeout", metavar="SECONDS", type=float, default=None,
                    help="how long opening a session waits for the greeting "
                         "(default 5, 10 for --kx-spawn)")
    group.addoption("--kx-gone-after", metavar="SECONDS", type=float, default=3.0,
                    help="how long a board that answers nothing is given before ServerGone (default 3)")
    group.addoption("--kx-log-dir", metavar="DIR",
                    help="write one file per test that used kx: commands, results and board log")


def target_of(config: pytest.Config) -> str:
    """The target string the options name (exactly one of them)."""
    named = {"kx_spawn": "spawn:", "kx_tcp": "tcp:", "kx_serial": "serial:", "kx_target": ""}
    given = [(prefix, config.getoption(o)) for o, prefix in named.items()
             if config.getoption(o) is not None]
    if len(given) != 1:
        raise pytest.UsageError("the kx fixture needs exactly one of --kx-spawn, --kx-tcp, "
                                "--kx-serial, --kx-target")
    target = given[0][0] + given[0][1]
    try:
        targets.parse(target)
    except ValueError as e:
        raise pytest.UsageError(str(e)) from None
    return target


def board_options(config: pytest.Config) -> dict:
    """The client's options the command line gives."""
    options = {"gone_after": config.getoption("kx_gone_after")}
    if config.getoption("kx_connect_timeout") is not None:
        options["connect_timeout"] = config.getoption("kx_connect_timeout")
    token_file = config.getoption("kx_token_file")
    if token_file:
        with open(token_file, "rb") as f:
            options["token"] = f.readline().strip()
    return options


class KxFixture:
    """The ``kx`` fixture: the board's Client, with every command recorded.

    ``run``, ``check``, ``run_many`` and ``start`` take the default timeout
    of --kx-timeout; ``reopen()`` starts a new session; anything else is the
    client's (``commands()``, ``board_log``, ``greeting``, ...).
    """

    def __init__(self, board: Board, client: Client, timeout: float | None) -> None:
        self.board = board
        self.client = client
        self.timeout = timeout
        self.transcript = Transcript(client)
        self.started: list[Running] = []

    def _t(self, timeout):
        return self.timeout if timeout is None else timeout

    def run(self, line, timeout=None) -> Result:
        return self.transcript.record(line, lambda: self.client.run(line, self._t(timeout)))

    def check(self, line, timeout=None) -> Result:
        return self.transcript.record(line, lambda: self.client.check(line, self._t(timeout)))

    def run_many(self, lines, timeout=None, window=None) -> list[Result]:
        lines = list(lines)
        return self.transcript.record_many(
            lines, lambda: self.client.run_many(lines, self._t(timeout), window))

    def start(self, line) -> Running:
        running = self.client.start(line)
        self.started.append(running)
        return self.transcript.started(running)

    def end_started(self) -> None:
        """Cancels the lines the test started and left running: the next
        test would otherwise wait behind them."""
        for running in self.started:
            if not running.done and not self.client.closed:
                try:
                    running.cancel()
                except Error:
                    pass

    def reopen(self) -> Client:
        """Closes the session and opens a new one with the board."""
        self.client = self.board.reopen()
        self.transcript.use(self.client)
        return self.client

    def __getattr__(self, name):
        return getattr(self.client, name)


@pytest.fixture(scope="session")
def kx_board(pytestconfig: pytest.Config, request: pytest.FixtureRequest):
    """The board of this run, its session kept between tests; with a board
    map, the board of the map this test runs on."""
    if hasattr(request, "param"):  # the tests are parametrized over the map's boards
        from .pytest_boards import rack_board

        yield from rack_board(pytestconfig, request.param)
        return
    board = Board(target_of(pytestconfig), **board_options(pytestconfig))
    yield board
    board.close()


@pytest.fixture
def kx(kx_board: Board, request: pytest.FixtureRequest):
    """Runs commands on the board: kx.run(line), kx.check(line), kx.start(line), ..."""
    try:
        client = kx_board.client()
    except Error as e:
        pytest.fail(f"kx: cannot reach the board: {e}", pytrace=False)
    fixture = KxFixture(kx_board, client, request.config.getoption("kx_timeout"))
    request.node.stash[_transcript_key] = fixture.transcript
    yield fixture
    fixture.end_started()
    log_dir = request.config.getoption("kx_log_dir")
    if log_dir:
        fixture.transcript.finish()
        path = kx_board.log_dir(Path(log_dir))
        path.mkdir(parents=True, exist_ok=True)
        fixture.transcript.write(path / (re.sub(r"[^\w.-]+", "_", request.node.nodeid) + ".log"))


_transcript_key = pytest.StashKey[Transcript]()


def transcript_of(item: pytest.Item) -> Transcript | None:
    """What a test did through ``kx`` (None when it did not use it)."""
    return item.stash.get(_transcript_key, None)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo):
    outcome = yield
    report = outcome.get_result()
    transcript = item.stash.get(_transcript_key, None)
    if transcript is None or not report.failed or call.when != "call":
        return
    transcript.finish()
    for title, text in ((SECTION, transcript.render_commands() or "(no commands)"),
                        (BOARD_SECTION, transcript.render_board_log() or "(nothing)")):
        if hasattr(report.longrepr, "addsection"):
            report.longrepr.addsection(title, text)
        else:
            report.sections.append((title, text))

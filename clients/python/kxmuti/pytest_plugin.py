"""pytest plugin: a ``kx`` fixture connected to a kxMUti board.

Load it with ``-p kxmuti.pytest_plugin`` (an installed package registers it
itself) and name the board with one of --kx-spawn, --kx-tcp or --kx-serial.
A failing test that used ``kx`` gets a "kx session" section in its report:
every command of the test with its status and output, and the log frames
that arrived between them.
"""

from __future__ import annotations

import shlex

import pytest

from .client import Client, LogFrame, Result
from .errors import Error

# Board maps (--kx-boards): every test on every board, in parallel.
pytest_plugins = ["kxmuti.pytest_boards"]

_SECTION = "kx session"
_OUTPUT_SHOWN = 2000  # bytes of each command's output in a report


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("kxmuti", "kxMUti board (automation protocol)")
    group.addoption("--kx-spawn", metavar="CMD",
                    help='start the server and speak over its standard streams, e.g. "kxshell --serve"')
    group.addoption("--kx-tcp", metavar="HOST:PORT", help="connect to kxshell --listen")
    group.addoption("--kx-serial", metavar="DEV[@BAUD]", help="a serial console (default 115200 baud)")
    group.addoption("--kx-token-file", metavar="FILE", help="token for --kx-tcp: the file's first line")
    group.addoption("--kx-timeout", metavar="SECONDS", type=float, default=None,
                    help="default timeout of each command run through kx (none by default)")


def _open(config: pytest.Config) -> Client:
    spawn, tcp, serial = (config.getoption(o) for o in ("kx_spawn", "kx_tcp", "kx_serial"))
    if sum(x is not None for x in (spawn, tcp, serial)) != 1:
        raise pytest.UsageError("the kx fixture needs exactly one of --kx-spawn, --kx-tcp, --kx-serial")
    token = None
    if config.getoption("kx_token_file"):
        with open(config.getoption("kx_token_file"), "rb") as f:
            token = f.readline().strip()
    if spawn is not None:
        return Client.spawn(shlex.split(spawn))
    if tcp is not None:
        host, _, port = tcp.rpartition(":")
        return Client.tcp(host, int(port), token=token)
    dev, _, baud = serial.partition("@")
    return Client.serial(dev, int(baud) if baud else 115200)


class Transcript:
    """What one test did through ``kx``, in order: commands and log frames."""

    def __init__(self, client: Client) -> None:
        self.client = client
        self.events: list[tuple[str, object]] = []
        self._logs_seen = client.log_count

    def take_logs(self) -> None:
        new = self.client.log_count - self._logs_seen
        self._logs_seen = self.client.log_count
        if new:
            for log in list(self.client.logs)[-new:]:
                self.events.append(("log", log))

    def render(self) -> str:
        lines = []
        for kind, what in self.events:
            if kind == "log":
                log: LogFrame = what  # type: ignore[assignment]
                name = "stdout" if log.stream == 1 else "stderr"
                lines.append(f"  log ({name}): {log.data.decode('utf-8', 'replace').rstrip()}")
                continue
            line, outcome = what  # type: ignore[misc]
            lines.append(f"> {line}")
            if isinstance(outcome, Result):
                state = "ok" if outcome.ok else "FAILED"
                lines.append(f"  status {outcome.status} (0x{outcome.status:08X}), {state}, "
                             f"{outcome.seconds * 1000:.3f} ms")
                for name, data in (("stdout", outcome.out), ("stderr", outcome.err)):
                    if data:
                        text = data[:_OUTPUT_SHOWN].decode("utf-8", "replace")
                        more = f"\n  ... {len(data) - _OUTPUT_SHOWN} more bytes" \
                            if len(data) > _OUTPUT_SHOWN else ""
                        lines.append(f"  {name}:\n" + "".join(
                            f"    {t}\n" for t in text.splitlines()).rstrip("\n") + more)
            else:
                lines.append(f"  raised {type(outcome).__name__}: {outcome}")
        return "\n".join(lines)


class KxFixture:
    """The ``kx`` fixture: the session's Client, with every command recorded."""

    def __init__(self, client: Client, timeout: float | None) -> None:
        self.client = client
        self.timeout = timeout
        self.transcript = Transcript(client)

    def _record(self, line, call):
        shown = line if isinstance(line, str) else line.decode("utf-8", "replace")
        self.transcript.take_logs()
        try:
            result = call()
        except Error as e:
            self.transcript.take_logs()
            self.transcript.events.append(("cmd", (shown, getattr(e, "result", None) or e)))
            raise
        self.transcript.take_logs()
        self.transcript.events.append(("cmd", (shown, result)))
        return result

    def run(self, line, timeout=None) -> Result:
        t = self.timeout if timeout is None else timeout
        return self._record(line, lambda: self.client.run(line, t))

    def check(self, line, timeout=None) -> Result:
        t = self.timeout if timeout is None else timeout
        return self._record(line, lambda: self.client.check(line, t))

    def __getattr__(self, name):
        return getattr(self.client, name)


@pytest.fixture(scope="session")
def kx_client(pytestconfig: pytest.Config, kx_board):
    """The one session with the board that every test shares."""
    if kx_board is not None:  # one per board of the map
        from .pytest_boards import board_client

        yield from board_client(pytestconfig, kx_board)
        return
    try:
        client = _open(pytestconfig)
    except Error as e:
        pytest.fail(f"kx: cannot reach the board: {e}", pytrace=False)
    with client:
        yield client


@pytest.fixture
def kx(kx_client: Client, request: pytest.FixtureRequest) -> KxFixture:
    """Runs commands on the board: kx.run(line), kx.check(line), kx.commands(), ..."""
    fixture = KxFixture(kx_client, request.config.getoption("kx_timeout"))
    request.node.stash[_transcript_key] = fixture.transcript
    return fixture


_transcript_key = pytest.StashKey[Transcript]()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo):
    outcome = yield
    report = outcome.get_result()
    transcript = item.stash.get(_transcript_key, None)
    if transcript is None or not report.failed or call.when != "call":
        return
    transcript.take_logs()
    text = transcript.render() or "(no commands)"
    if hasattr(report.longrepr, "addsection"):
        report.longrepr.addsection(_SECTION, text)
    else:
        report.sections.append((_SECTION, text))

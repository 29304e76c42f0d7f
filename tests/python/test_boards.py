"""Board maps: reading and checking them, the per-board lock, and whole pytest
runs over a rack of four simulated boards (pytest-xdist, loopback only)."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from collections import defaultdict
from pathlib import Path
from xml.etree import ElementTree

import pytest

from conftest import CLIENT_DIR, PtyServer, labgrid_env
from kxmuti import boards as bm
from kxmuti.boardlock import BoardLock, LockTimeout
from kxmuti.boardsched import board_of
from simrack import SimRack

PY = "/usr/bin/python3"
RUN_TIMEOUT = 180  # seconds for one inner pytest run

# ------------------------------------------------------------ reading maps

GOOD = "{target: 'spawn:kxshell --serve', type: a}"
BAD_MAPS = [
    # (what is wrong, map text, words the one message must hold)
    ("no boards key", f"stb1: {GOOD}\n", ["boards:"]),
    ("empty boards", "boards: {}\n", ["boards:"]),
    ("not YAML", "boards: [\n", ["not valid YAML"]),
    ("name with a space", f"boards:\n  stb 1: {GOOD}\n", ["'stb 1'", "name"]),
    ("entry is a string", "boards:\n  stb1: spawn:x\n", ["'stb1'", "entry"]),
    ("misspelt field", "boards:\n  stb1: {target: 'spawn:x', type: a, lables: [x]}\n",
     ["'stb1'", "lables", "unknown field"]),
    ("no type", "boards:\n  stb1: {target: 'spawn:x'}\n", ["'stb1'", "type", "missing"]),
    ("type is a number", "boards:\n  stb1: {target: 'spawn:x', type: 3}\n", ["'stb1'", "type"]),
    ("labels not a list", "boards:\n  stb1: {target: 'spawn:x', type: a, labels: tuner}\n",
     ["'stb1'", "labels"]),
    ("no target", "boards:\n  stb1: {type: a}\n", ["'stb1'", "target"]),
    ("target and labgrid", "boards:\n  stb1: {target: 'spawn:x', labgrid: env.yaml, type: a}\n",
     ["'stb1'", "target"]),
    ("unknown target kind", "boards:\n  stb1: {target: 'ssh:stb1', type: a}\n",
     ["'stb1'", "target", "ssh:stb1"]),
    ("tcp without port", "boards:\n  stb1: {target: 'tcp:stb1', type: a}\n", ["'stb1'", "target"]),
    ("role with a target", "boards:\n  stb1: {target: 'spawn:x', role: main, type: a}\n",
     ["'stb1'", "role"]),
    ("labgrid without role", "boards:\n  stb1: {labgrid: env.yaml, type: a}\n", ["'stb1'", "role"]),
    ("labgrid file missing", "boards:\n  stb1: {labgrid: nope.yaml, role: main, type: a}\n",
     ["'stb1'", "labgrid", "no such file"]),
    ("token file missing", "boards:\n  stb1: {target: 'tcp:h:1', token_file: nope, type: a}\n",
     ["'stb1'", "token_file", "no such file"]),
    ("name given twice", f"boards:\n  stb1: {GOOD}\n  stb2: {{target: 'spawn:y', type: a}}\n"
     f"  stb1: {{target: 'spawn:z', type: a}}\n", ["'stb1'", "twice"]),
    ("two names, one board", f"boards:\n  stb1: {GOOD}\n  stb2: {GOOD}\n",
     ["'stb2'", "target", "'stb1'"]),
]


@pytest.mark.parametrize("what,text,words", BAD_MAPS, ids=[c[0] for c in BAD_MAPS])
def test_a_bad_map_gets_one_message_naming_board_and_field(tmp_path, what, text, words):
    (tmp_path / "env.yaml").write_text("targets: {}\n")
    path = tmp_path / "boards.yaml"
    path.write_text(text)
    with pytest.raises(bm.BoardMapError) as e:
        bm.load(path)
    message = str(e.value)
    assert "\n" not in message and message.startswith(str(path))
    for word in words:
        assert word in message


def test_a_good_map_gives_boards_in_order_with_paths_from_its_folder(tmp_path):
    (tmp_path / "lab").mkdir()
    (tmp_path / "lab" / "stb3.yaml").write_text("targets: {}\n")
    (tmp_path / "stb2.token").write_text("s3cret\n")
    os.symlink("/dev/null", tmp_path / "by-id")
    path = tmp_path / "boards.yaml"
    path.write_text(f"""boards:
  stb1: {{target: 'serial:{tmp_path}/by-id@9600', type: stb-a, labels: [tuner, rev-b]}}
  stb2: {{target: 'tcp:127.0.0.1:5025', token_file: stb2.token, type: stb-b}}
  stb3: {{labgrid: lab/stb3.yaml, role: main, type: stb-a, labels: [tuner]}}
""")
    stb1, stb2, stb3 = bm.load(path)
    assert [b.name for b in (stb1, stb2, stb3)] == ["stb1", "stb2", "stb3"]
    assert stb1.identity == "serial:/dev/null@9600"  # a device by its real name
    assert stb1.labels == ("tuner", "rev-b") and stb1.entry["type"] == "stb-a"
    assert stb2.token_file == tmp_path / "stb2.token" and stb2.labels == ()
    assert (stb3.labgrid, stb3.role, stb3.target) == (tmp_path / "lab" / "stb3.yaml", "main", None)
    selections = [({"type": "stb-a"}, ["stb1", "stb3"]), ({"type": ["stb-b", "x"]}, ["stb2"]),
                  ({"labels": ["tuner", "rev-b"]}, ["stb1"]),
                  ({"labels": "tuner"}, ["stb1", "stb3"]),
                  ({"type": "stb-b", "labels": ["tuner"]}, []), ({}, ["stb1", "stb2", "stb3"])]
    for how, names in selections:
        assert [b.name for b in bm.select((stb1, stb2, stb3), **how)] == names, how


IDS = [
    # (test id, the board it names)
    ("t.py::test_mem[stb1]", "stb1"),
    ("t.py::test_f[474000-stb-a1]", "stb-a1"),  # not a1, which merely ends it
    ("t.py::C::test_f[1-a1]", "a1"),
    ("t.py::test_mem[stb9]", None),
    ("t.py::test_mem", None),
    ("t.py::test_f[stb1-0]", None),       # the board is always the last parameter
]


def test_the_scheduler_reads_the_board_from_the_test_id():
    names = ["a1", "stb1", "stb-a1"]
    assert [board_of(nodeid, names) for nodeid, _ in IDS] == [b for _, b in IDS]


# ------------------------------------------------------------------ locks


def test_a_held_board_lock_makes_others_wait_a_bounded_time_and_names_its_holder(tmp_path):
    first = BoardLock("tcp:127.0.0.1:5025", tmp_path)
    other_board = BoardLock("tcp:127.0.0.1:5026", tmp_path)
    assert first.acquire(1.0, "stb1") < 1.0
    assert other_board.acquire(0.0, "stb2") < 1.0  # another board is free
    second = BoardLock("tcp:127.0.0.1:5025", tmp_path)
    holder = rf"board stb1: still in use after [\d.]+ s by pid {os.getpid()}"
    with pytest.raises(LockTimeout, match=holder):
        second.acquire(0.3, "stb1")
    first.release()
    second.acquire(1.0, "stb1")
    assert second.held and "pid" in second.holder()
    second.release()
    assert second.holder() == ""  # released: nobody named


# ------------------------------------------------------ runs over a rack


@pytest.fixture
def rack(shell_argv, tmp_path):
    with SimRack(shell_argv, tmp_path) as r:
        yield r


def pytest_run(rack: SimRack, suite: str, *extra: str, env: dict | None = None,
               wait: bool = True):
    """Runs a suite over the rack's map with the plugin; returns the process."""
    folder = rack.folder
    (folder / "test_rack.py").write_text(suite)
    argv = [PY, "-m", "pytest", "-p", "kxmuti.pytest_plugin", "-p", "no:cacheprovider",
            "-p", "no:labgrid", "-rfE", "--kx-boards", str(rack.map), *extra, "test_rack.py"]
    # A wide terminal: the short summary keeps each error message whole.
    full_env = dict(os.environ, PYTHONPATH=str(CLIENT_DIR), PYTHONDONTWRITEBYTECODE="1",
                    KX_RECORD=str(folder / "record.txt"), COLUMNS="4000", **(env or {}))
    proc = subprocess.Popen(argv, cwd=folder, env=full_env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if wait:
        proc.out = proc.communicate(timeout=RUN_TIMEOUT)[0]
        sys.stdout.write(proc.out)  # kept in the test's log: what a person sees
    return proc


RECORDER = '''
import os
import time

import pytest


@pytest.fixture(autouse=True)
def record(request):
    """One line per test that drove a board: board, run, worker, start, end."""
    start = time.time()
    yield
    kx = request.node.funcargs.get("kx")
    if kx is not None:
        with open(os.environ["KX_RECORD"], "a") as f:
            f.write(f"{kx.board.name} {os.environ.get('KX_RUN', '-')} "
                    f"{os.environ.get('PYTEST_XDIST_WORKER', '-')} {start} {time.time()}\\n")
'''

RACK_SUITE = RECORDER + '''

def test_mem(kx):
    kx.check("mw 80100000 cafe")
    assert kx.run("md 80100000 1").out == b"80100000: 0000CAFE\\n"


def test_waits_on_the_board(kx):
    kx.check("msleep 200")


@pytest.mark.kx_boards(type="stb-b")
def test_only_stb_b(kx):
    assert kx.board.type == "stb-b" and kx.board.entry["type"] == "stb-b"


@pytest.mark.kx_boards(labels=["tuner"])
def test_tuner_boards(kx):
    assert "tuner" in kx.board.labels
    assert kx.board.manifest["productversion"]


def test_without_a_board():
    pass
'''


def junit_cases(path: Path) -> dict[str, dict[str, str]]:
    """Each case's name and its properties."""
    cases = {}
    for case in ElementTree.parse(path).iter("testcase"):
        props = {p.get("name"): p.get("value") for p in case.iter("property")}
        cases[case.get("name")] = props
    return cases


def summary_lines(out: str) -> list[str]:
    """The per-board lines at the end of the terminal summary."""
    lines = out.splitlines()
    return [ln for ln in lines[-6:] if ln.startswith("kx board ")]


def records(folder: Path) -> list[tuple[str, str, str, float, float]]:
    rows = (line.split() for line in (folder / "record.txt").read_text().splitlines())
    return [(board, run, worker, float(start), float(end))
            for board, run, worker, start, end in rows]


def test_every_test_runs_on_every_board_it_selects_in_parallel(rack):
    junit, logs = rack.folder / "report.xml", rack.folder / "logs"
    proc = pytest_run(rack, RACK_SUITE, "-n", "4", f"--junitxml={junit}", f"--kx-log-dir={logs}")
    assert proc.returncode == 0
    everywhere = ["stb1", "stb2", "net1", "uart1"]
    expected = ({f"test_mem[{b}]" for b in everywhere}
                | {f"test_waits_on_the_board[{b}]" for b in everywhere}
                | {"test_only_stb_b[net1]", "test_tuner_boards[stb1]", "test_tuner_boards[stb2]",
                   "test_without_a_board"})
    cases = junit_cases(junit)
    assert set(cases) == expected
    for name, props in cases.items():
        board = re.search(r"\[(\w+)\]$", name)
        assert props.get("kx_board") == (board.group(1) if board else None), name
        assert bool(props.get("kx_manifest.productversion")) == bool(board), name
    # --kx-log-dir: a folder per board, holding a log of each of its tests
    by_folder = {d.name: sorted(f.name for f in d.iterdir()) for d in logs.iterdir()}
    assert by_folder == {b: sorted(f"test_rack.py_{n.replace('[', '_').replace(']', '_')}.log"
                                   for n in cases if n.endswith(f"[{b}]"))
                         for b in everywhere}
    assert summary_lines(proc.out) == [
        "kx board stb1 (stb-a): 3 passed, 0 failed, 0 errors",
        "kx board stb2 (stb-a): 3 passed, 0 failed, 0 errors",
        "kx board net1 (stb-b): 3 passed, 0 failed, 0 errors",
        "kx board uart1 (stb-a): 2 passed, 0 failed, 0 errors",
    ]
    workers = defaultdict(set)
    for board, _, worker, _, _ in records(rack.folder):
        workers[board].add(worker)
    assert all(len(w) == 1 for w in workers.values()), workers  # a board stays on its worker
    assert len(set().union(*workers.values())) == 4              # and each has its own


LOCK_SUITE = RECORDER + '''

@pytest.mark.parametrize("n", range(4))
def test_waits_on_the_board(kx, n):
    kx.check("msleep 250")
'''


def test_two_runs_on_one_map_never_drive_a_board_at_once(rack):
    runs = [pytest_run(rack, LOCK_SUITE, "-n", "2", env={"KX_RUN": name}, wait=False)
            for name in ("A", "B")]
    for proc in runs:
        out = proc.communicate(timeout=RUN_TIMEOUT)[0]
        sys.stdout.write(out)
        assert proc.returncode == 0
    rows = records(rack.folder)
    by_board = defaultdict(list)
    for board, run, _, start, end in rows:
        by_board[board].append((start, end, run))
    assert sorted(by_board) == ["net1", "stb1", "stb2", "uart1"]
    for board, spans in by_board.items():
        spans.sort()
        assert [run for *_, run in spans].count("A") == 4 == [run for *_, run in spans].count("B")
        for (_, end, run), (start, _, next_run) in zip(spans, spans[1:]):
            assert end <= start, f"{board}: run {run} and run {next_run} drove it at once"
    # The check means something only when the two runs overlapped in time.
    span = {run: (min(r[3] for r in rows if r[1] == run), max(r[4] for r in rows if r[1] == run))
            for run in "AB"}
    assert max(s for s, _ in span.values()) < min(e for _, e in span.values())


KILL_SUITE = RECORDER + '''
import signal


def test_a(kx):
    kx.check("echo before")


@pytest.mark.kx_boards(labels=["network"])
def test_b_board_dies(kx):
    kx.check("echo last words")
    os.kill(int(os.environ["KX_VICTIM_PID"]), signal.SIGKILL)
    kx.run("echo anyone there", timeout=10)


def test_c(kx):
    kx.check("msleep 50")


def test_d(kx):
    kx.check("echo after")
'''


def test_a_board_killed_mid_run_fails_its_remaining_tests_and_no_other(rack):
    proc = pytest_run(rack, KILL_SUITE, "-n", "4",
                      env={"KX_VICTIM_PID": str(rack.net1.proc.pid)})
    assert proc.returncode == 1
    lines = summary_lines(proc.out)
    assert lines[:2] + lines[3:] == [f"kx board {b} (stb-a): 3 passed, 0 failed, 0 errors"
                                     for b in ("stb1", "stb2", "uart1")]
    assert lines[2].startswith("kx board net1 (stb-b): 1 passed, 1 failed, 2 errors; "
                               "board net1 is dead since test_rack.py::test_b_board_dies[net1]: ")
    assert "'echo last words': status 11, 'last words'" in lines[2]
    for test in ("test_c", "test_d"):
        error = re.search(rf"^ERROR test_rack.py::{test}\[net1\] - (.*)$", proc.out, re.M)
        assert error and "board net1 is dead" in error.group(1) and "last words" in error.group(1)


def test_a_board_locked_elsewhere_errors_after_the_wait_naming_its_holder(rack):
    stb2 = next(b for b in bm.load(rack.map) if b.name == "stb2")
    with BoardLock(stb2.identity) as lock:
        lock.acquire(1.0, "stb2")
        proc = pytest_run(rack, RACK_SUITE, "--kx-lock-wait", "0.5")
    assert proc.returncode == 1
    lines = summary_lines(proc.out)
    assert lines[1] == "kx board stb2 (stb-a): 0 passed, 0 failed, 3 errors"
    assert all(line.endswith(" 0 failed, 0 errors") for line in lines if "stb2" not in line)
    assert re.search(rf"^ERROR test_rack.py::test_mem\[stb2\] - .*board stb2: still in use after "
                     rf"[\d.]+ s by pid {os.getpid()}", proc.out, re.M)


def test_mistakes_in_the_map_or_marker_stop_the_run_with_their_message(rack):
    rack.map.write_text(rack.text.replace("type: stb-b", "type: [stb-b]"))
    proc = pytest_run(rack, RACK_SUITE)
    assert proc.returncode == 4 and "board 'net1': type: expected text" in proc.out
    rack.map.write_text(rack.text)
    proc = pytest_run(rack, "import pytest\n\n@pytest.mark.kx_boards(typ='stb-a')\n"
                            "def test_x(kx):\n    pass\n")
    assert proc.returncode != 0 and "kx_boards takes type= and labels= only" in proc.out


def test_a_labgrid_board_runs_through_its_environment(serve_argv, tmp_path):
    pytest.importorskip("labgrid")
    with PtyServer(serve_argv) as board:
        (tmp_path / "env.yaml").write_text(
            labgrid_env(f"RawSerialPort: {{port: {board.path}, speed: 115200}}"))
        (tmp_path / "boards.yaml").write_text(
            "boards:\n  lab1: {labgrid: env.yaml, role: main, type: stb-a}\n")
        (tmp_path / "test_lab.py").write_text(
            "def test_echo(kx):\n"
            "    assert kx.board.entry == {'labgrid': 'env.yaml', 'role': 'main',\n"
            "                              'type': 'stb-a'}\n"
            "    assert kx.run('echo hi').out == b'hi\\n'\n")
        proc = subprocess.run([PY, "-m", "pytest", "-p", "kxmuti.pytest_plugin", "-p",
                               "no:cacheprovider", "--kx-boards", "boards.yaml", "test_lab.py"],
                              cwd=tmp_path, env=dict(os.environ, PYTHONPATH=str(CLIENT_DIR)),
                              capture_output=True, text=True, timeout=RUN_TIMEOUT)
    sys.stdout.write(proc.stdout)
    assert proc.returncode == 0
    assert "kx board lab1 (stb-a): 1 passed, 0 failed, 0 errors" in proc.stdout

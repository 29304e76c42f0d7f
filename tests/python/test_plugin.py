"""The pytest plugin, run as a user runs it: the documentation's example,
a failing test's report (commands, started lines, board log), the log
files, sessions that survive quit and a dead board, and Ctrl-C."""

import re
import shlex
import subprocess
import sys
from pathlib import Path
from xml.etree import ElementTree

import pytest

from conftest import ROOT, PtyServer, assert_board_free, interrupt

CHATTY = ["/usr/bin/python3", str(Path(__file__).with_name("chatty_board.py"))]


def documented_test() -> str:
    """The pytest example of docs/automation.md, exactly as printed there."""
    text = (ROOT / "docs" / "automation.md").read_text()
    section = text.split("### The pytest plugin", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


@pytest.fixture
def run_pytest(pytester, python_env, monkeypatch, serve_argv):
    """Runs pytest with the plugin on one test file against a board
    (default: the served shell; ``board`` other --kx-... options)."""
    monkeypatch.setenv("PYTHONPATH", python_env["PYTHONPATH"])

    def run(source, *extra, board=None):
        pytester.makepyfile(test_board=source)
        board = ["--kx-spawn", shlex.join(serve_argv)] if board is None else board
        return pytester.runpytest_subprocess("-p", "kxmuti.pytest_plugin", "-p",
                                             "no:cacheprovider", *board, *extra)
    return run


def test_documented_example_passes(run_pytest):
    run_pytest(documented_test()).assert_outcomes(passed=2)


FAILING = '''
def test_tuner_frequency(kx):
    kx.check("mw 80100000 1")
    kx.run("echo tuning")
    kx.run_many(["mw 80100004 2", "md 80100004 1"])
    link = kx.start("echo link up")
    link.expect("link up")
    r = kx.run("md 80100000 1")
    assert r.out == b"80100000: 00000002\\n"
'''


def test_failing_test_report_shows_commands_and_the_board_log(run_pytest, pytester, serve_argv):
    junit = pytester.path / "report.xml"
    result = run_pytest(FAILING, f"--junitxml={junit}",
                        board=["--kx-spawn", shlex.join(CHATTY + serve_argv)])
    result.assert_outcomes(failed=1)
    out = result.stdout.str()
    sys.stdout.write(out)  # kept in the test log: what a person sees
    session = out.split("kx session", 1)[1].split("kx board log", 1)[0]
    for expect in ("> mw 80100000 1", "> echo tuning", "status 7 (0x00000007), ok",
                   "> mw 80100004 2", "> md 80100004 1", "80100004: 00000002",
                   "> echo link up   (started)", "expect b'link up': matched b'link up'",
                   "> md 80100000 1", "80100000: 00000001"):
        assert expect in session
    board_log = out.split("kx board log", 1)[1]
    assert re.search(r"\] console \| \[ +\d+\.000000\] kernel: tick \d+", board_log)
    assert re.search(r"\] stderr  \| late output \d+", board_log)
    failure = ElementTree.parse(junit).find(".//failure")
    assert "> md 80100000 1" in failure.text and "kernel: tick" in failure.text


def test_log_dir_gets_one_file_per_test_in_time_order(run_pytest, pytester, serve_argv):
    logs = pytester.path / "logs"
    source = ("def test_a(kx):\n    kx.run('echo a')\n\n\n"
              "def test_b(kx):\n    kx.run('echo b')\n    kx.run('echo c')\n")
    run_pytest(source, f"--kx-log-dir={logs}",
               board=["--kx-spawn", shlex.join(CHATTY + serve_argv)]).assert_outcomes(passed=2)
    assert sorted(p.name for p in logs.iterdir()) == ["test_board.py_test_a.log",
                                                    "test_board.py_test_b.log"]
    text = (logs / "test_board.py_test_b.log").read_text()
    lines = [ln for ln in text.splitlines() if not ln.startswith("#")]
    assert lines[0] == "> echo b" and "stdout:" in text and "    b" in text
    between = text.split("> echo b", 1)[1].split("> echo c", 1)[0]
    assert "kernel: tick" in between and "late output" in between  # what came after echo b
    stamps = [float(m) for m in re.findall(r"^\[ *([\d.]+)\]", text, re.M)]
    assert stamps == sorted(stamps)


SURVIVORS = '''
import os, signal, time


def test_1_quits(kx):
    kx.run("quit")


def test_2_gets_a_working_session(kx):
    assert kx.run("echo alive").out == b"alive\\n"
    os.kill(kx.client._t.proc.pid, signal.SIGKILL)  # the board dies


def test_3_after_a_dead_board(kx):
    assert kx.run("echo again").ok
    old = kx.client
    kx.reopen()
    assert kx.client is not old and old.closed and kx.run("echo fresh").ok


def test_4_leaves_a_line_running(kx_board, kx):
    assert kx_board.opened == 4
    kx.start("msleep 60000")
    # Into its sleep before the fixture cancels it: a cancel signal that
    # lands before the sleep begins is missed (seen under an emulator).
    time.sleep(0.5)


def test_5_is_not_kept_waiting_behind_it(kx):
    assert kx.run("echo next", timeout=10).ok
'''


TIMED = '''
import pytest, kxmuti


def test_run_many_takes_the_default_timeout(kx):
    with pytest.raises(kxmuti.Timeout):
        kx.run_many(["echo a", "msleep 20000"])
    assert kx.transcript.events[-1][2][0] == "msleep 20000"
'''


def test_connect_timeout_option_bounds_opening_and_names_the_port(run_pytest):
    with PtyServer(["sleep", "60"], greeted=False) as board:
        result = run_pytest("def test_x(kx):\n    pass\n", "--kx-connect-timeout", "0.5",
                            board=["--kx-serial", board.path])
    result.assert_outcomes(errors=1)
    assert "no greeting within 0.5 s; heard nothing" in result.stdout.str()


FROZEN = '''
import os, signal, time, pytest, kxmuti


def test_frozen(kx):
    os.kill(kx.client._t.proc.pid, signal.SIGSTOP)
    start = time.monotonic()
    with pytest.raises(kxmuti.ServerGone, match="no answer for 1 s"):
        kx.run("echo x")
    assert time.monotonic() - start < 2.5
    os.kill(kx.client._t.proc.pid, signal.SIGCONT)
'''


# (what the suite shows, its source, options, how many pass)
SUITES = [
    ("the fixture reopens a session that ended", SURVIVORS, [], 5),
    ("run_many goes through the fixture and its timeout", TIMED, ["--kx-timeout", "0.3"], 1),
    ("--kx-gone-after sets how long silence is given", FROZEN, ["--kx-gone-after", "1"], 1),
]


@pytest.mark.parametrize("name,source,options,passed", SUITES, ids=[s[0] for s in SUITES])
def test_suites_pass(run_pytest, name, source, options, passed):
    run_pytest(source, *options).assert_outcomes(passed=passed)


def test_plugin_without_a_board_option_is_a_usage_error(run_pytest):
    result = run_pytest("def test_x(kx):\n    pass\n", board=[])
    assert result.ret != 0 and "--kx-spawn" in result.stdout.str() + result.stderr.str()


def test_ctrl_c_cancels_the_running_line_and_pytest_exits_within_a_second(pty_board, python_env,
                                                                          tmp_path):
    (tmp_path / "test_long.py").write_text(
        "def test_long(kx):\n    print('running', flush=True)\n    kx.run('msleep 20000')\n")
    run = subprocess.Popen(["/usr/bin/python3", "-m", "pytest", "-s", "-q", "-p", "no:cacheprovider",
                            "-p", "kxmuti.pytest_plugin", "--kx-serial", pty_board.path,
                            str(tmp_path / "test_long.py")], cwd=tmp_path, env=python_env,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    for line in run.stdout:
        if b"running" in line:
            break
    _, took = interrupt(run)
    assert took < 1.0 and b"KeyboardInterrupt" in run.stdout.read(), took
    assert_board_free(pty_board.path)

"""Sessions meet lab life: a board that stops answering, one that restarts,
a port with no server, console output between frames, and a running
command watched as its output comes."""

import os
import re
import shlex
import signal
import time

import pytest

import kxmuti
from conftest import PtyServer
from kxmuti import Client

EMULATED = bool(os.environ.get("KX_EMULATOR"))
GONE_BOUND = 4.5  # the default 3 s, and room for a loaded machine


def children(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        return [int(p) for p in f.read().split()]


@pytest.fixture
def stopped(pty_board):
    """A session with a board that then freezes: its console stays, nothing answers."""
    kx = Client.serial(pty_board.path)
    yield kx, pty_board.proc
    pty_board.proc.send_signal(signal.SIGCONT)
    kx.close()


# What a frozen board does to each call: it is ServerGone within 3 s, also
# when the call's own timeout is shorter (the cancel meets the same silence).
FROZEN = [
    ("run() while a line runs", lambda kx, stop: (kx.start("msleep 20000"), stop(),
                                                  kx.run("echo x"))),
    ("a running line's wait()", lambda kx, stop: (stop(), kx.start("msleep 20000").wait())),
    ("run() on a dead board", lambda kx, stop: (stop(), kx.run("echo x"))),
    ("run(timeout=2)", lambda kx, stop: (stop(), kx.run("msleep 20000", timeout=2))),
]


@pytest.mark.parametrize("name,call", FROZEN, ids=[f[0] for f in FROZEN])
def test_a_frozen_board_is_server_gone_within_3_s(stopped, name, call):
    kx, proc = stopped
    marks = {}

    def stop():
        time.sleep(0.2)
        proc.send_signal(signal.SIGSTOP)
        marks["t"] = time.monotonic()

    with pytest.raises(kxmuti.ServerGone, match="no answer for 3 s"):
        call(kx, stop)
    assert time.monotonic() - marks["t"] < GONE_BOUND
    assert kx.gone and not kx.alive()


def test_a_long_line_on_a_live_board_is_probed_not_given_up(pty_board):
    with Client.serial(pty_board.path, gone_after=2.0 if EMULATED else 1.0) as kx:
        r = kx.run("msleep 3000")
        assert r.status == 0 and kx.stats.fetched >= 2  # F after silence, answered by K


def test_a_killed_server_ends_the_running_line_at_once(pty_board):
    kx = Client.serial(pty_board.path)
    running = kx.start("msleep 20000")
    time.sleep(0.2)
    pty_board.proc.kill()
    start = time.monotonic()
    with pytest.raises(kxmuti.ServerGone):
        running.wait()
    assert time.monotonic() - start < GONE_BOUND
    kx.close()


def test_a_restarted_server_fails_the_running_line_naming_the_new_session(serve_argv, tmp_path):
    twice = "{0}; exec {0}".format(shlex.join(serve_argv))
    with Client.spawn(["sh", "-c", twice]) as kx:
        running = kx.start("msleep 20000")
        time.sleep(0.2)
        os.kill(children(kx._t.proc.pid)[0], signal.SIGKILL)
        with pytest.raises(kxmuti.ServerGone, match="new session"):
            running.wait(timeout=30)


# A port where no server answers: nothing on it, or a login prompt (a
# getty prints it again for each line it reads, the client's H among them).
NO_SERVER = [
    ("silent", ["sleep", "60"], "heard nothing"),
    ("login prompt", ["sh", "-c", "while read -r x; do printf 'board login: '; done"],
     r"heard (13|26) bytes: 'board login: (board login: )?'"),
]


@pytest.mark.parametrize("name,argv,heard", NO_SERVER, ids=[n[0] for n in NO_SERVER])
def test_opening_a_port_without_server_names_it_and_what_was_heard(name, argv, heard):
    with PtyServer(argv, greeted=False) as board:
        start = time.monotonic()
        with pytest.raises(kxmuti.NoGreeting) as e:
            Client.serial(board.path, connect_timeout=1.5)
        assert time.monotonic() - start < 1.5 + 1.0
        assert re.fullmatch(f"serial:{board.path}@115200: no greeting within 1.5 s; {heard}",
                            str(e.value)), str(e.value)


def test_console_lines_between_frames_go_to_the_board_log(serve_argv):
    # The board boots once the client is there (opening a port drops what waited).
    boot = ("sleep 0.5; printf '[    0.000000] Booting\\r\\n[    1.250000] eth0: link up\\r\\n'; "
            "exec \"$@\"")
    with PtyServer(["sh", "-c", boot, "sh"] + serve_argv, greeted=False) as board:
        before = time.time()
        with Client.serial(board.path) as kx:
            assert kx.run("echo hi").out == b"hi\n"
            log = [(e.kind, e.text) for e in kx.board_log]
            assert log[:2] == [("console", b"[    0.000000] Booting"),
                               ("console", b"[    1.250000] eth0: link up")]
            assert all(before <= e.time <= time.time() for e in kx.board_log)


WATCH = "echo link down\nmsleep 300\necho link up\nmsleep 20000\necho never\n"


def test_started_line_is_watched_as_it_comes_then_cancelled(kx, tmp_path):
    script = tmp_path / "watch.kx"
    script.write_text(WATCH)
    link = kx.start(f"source {script}")
    m = link.expect(rb"link (\w+)", timeout=30)
    assert m.group(1) == b"down"
    assert link.expect("link up", timeout=30).group(0) == b"link up"
    with pytest.raises(kxmuti.Timeout, match="no match yet"):
        link.expect(rb"link (\w+)", timeout=0.3)  # each search starts after the last match
    with pytest.raises(kxmuti.Timeout, match="no match yet"):
        link.expect("never", timeout=0.3)
    assert not link.done and link.output.startswith(b"link down\n")
    r = link.cancel()
    assert r.cancelled and not r.ok and b"never" not in r.out
    assert kx.run("echo after").out == b"after\n"


def test_started_line_waits_for_its_result_and_expect_after_the_end_fails(kx):
    link = kx.start("echo ready")
    assert link.wait(timeout=30).out == b"ready\n" and link.done
    with pytest.raises(kxmuti.Timeout, match="ended without a match") as e:
        link.expect("other")
    assert e.value.result.out == b"ready\n"


def test_a_run_after_a_start_waits_for_the_started_line(kx):
    link = kx.start("msleep 300")
    assert kx.run("echo next").out == b"next\n"
    assert link.done and link.wait().status == 0


def test_wait_past_its_timeout_cancels_as_run_does(kx):
    link = kx.start("msleep 20000")
    with pytest.raises(kxmuti.Timeout) as e:
        link.wait(timeout=0.3)
    assert e.value.result.cancelled

"""The command line against the real shell and a stubborn stand-in: its
notes, every exit status it documents, Ctrl-C, and frames by hand."""

import re
import shlex
import subprocess
from pathlib import Path

import pytest

from conftest import PtyServer, assert_board_free, interrupt

PY = "/usr/bin/python3"
STUBBORN = [PY, str(Path(__file__).with_name("stubborn_server.py"))]


def kxmuti_cli(args, env, **kw):
    return subprocess.run([PY, "-m", "kxmuti"] + args, env=env, capture_output=True,
                          timeout=120, **kw)


def run_script(tmp_path, env, target, text, *options):
    script = tmp_path / "s.kx"
    script.write_text(text)
    p = kxmuti_cli(["run", target, str(script), *options], env)
    notes = p.stderr.decode().replace(str(script), "s.kx").splitlines()
    return p.returncode, p.stdout, notes


def test_run_notes_failing_lines_with_line_and_reason(serve_argv, python_env, tmp_path):
    code, out, notes = run_script(tmp_path, python_env, "spawn:" + shlex.join(serve_argv),
                                  "echo one\nmd 80100002\n# a comment\nno-such-command\n"
                                  "msleep 20000\necho two\n", "--timeout", "0.3")
    assert code == 1 and out.startswith(b"one\n") and out.endswith(b"two\n")
    assert [n for n in notes if n.startswith("s.kx")] == [
        "s.kx:2: md 80100002: failed (status 0x00000001)",
        "s.kx:4: no-such-command: unknown or ambiguous command (status 0xFFFFFF02)",
        "s.kx:5: msleep 20000: no result within 0.3 s (cancelled)"]


def test_a_line_whose_cancel_is_slow_is_noted_and_the_next_still_runs(python_env, tmp_path):
    code, out, notes = run_script(tmp_path, python_env, "spawn:" + shlex.join(STUBBORN),
                                  "stubborn 7000\necho next\n", "--timeout", "0.3")
    assert notes == ["s.kx:1: stubborn 7000: no result within 0.3 s (not ended by the cancel)"]
    assert code == 1 and out == b"echo next\n"


# Each documented exit status, and what makes it.
EXITS = [
    ("0 every line passed", "spawn", "echo fine\n", 0, "^$"),
    ("1 a line failed", "spawn", "md 80100002\n", 1, r"^s.kx:1: md 80100002: failed"),
    ("2 a malformed target", "bogus:x", "echo x\n", 2, r"target 'bogus:x': expected"),
    ("3 no script", "spawn", None, 3, r"^kxmuti: .*missing.kx: No such file"),
    ("4 refused connection", "tcp:127.0.0.1:1", "echo x\n", 4, "Connection refused"),
    ("4 no server on the port", "no server", "echo x\n", 4,
     r"^kxmuti: serial:\S+: no greeting within 1 s; heard nothing$"),
    ("4 the server went away", "stubborn", "echo a\nexit\necho b\n", 4, r"^s.kx:2: .*closed"),
]


@pytest.mark.parametrize("name,target,text,code,note", EXITS, ids=[e[0] for e in EXITS])
def test_exit_status(serve_argv, python_env, tmp_path, name, target, text, code, note):
    board = None
    if target == "spawn":
        target = "spawn:" + shlex.join(serve_argv)
    elif target == "stubborn":
        target = "spawn:" + shlex.join(STUBBORN)
    elif target == "no server":
        board = PtyServer(["sleep", "60"], greeted=False)
        target = f"serial:{board.path}"
    try:
        script = tmp_path / ("missing.kx" if text is None else "s.kx")
        if text is not None:
            script.write_text(text)
        p = kxmuti_cli(["run", target, str(script), "--connect-timeout", "1"], python_env)
    finally:
        if board is not None:
            board.close()
    stderr = p.stderr.decode().replace(str(tmp_path / "s.kx"), "s.kx")
    assert p.returncode == code and re.search(note, stderr, re.M), stderr


def test_help_lists_every_exit_status(python_env):
    shown = kxmuti_cli(["run", "--help"], python_env).stdout.decode()
    for code in ("0", "1", "2", "3", "4", "130"):
        assert re.search(rf"^  {code} +\S", shown, re.M), shown


def test_ctrl_c_cancels_the_running_line_and_exits_within_a_second(pty_board, python_env,
                                                                    tmp_path):
    script = tmp_path / "s.kx"
    script.write_text("echo started\nmsleep 20000\necho never\n")
    cli = subprocess.Popen([PY, "-m", "kxmuti", "run", f"serial:{pty_board.path}", str(script)],
                           env=python_env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert cli.stdout.readline() == b"started\n"
    code, took = interrupt(cli)
    assert code == 130 and took < 1.0, (code, took)
    assert b"s.kx:2: interrupted; the line was cancelled" in cli.stderr.read()
    assert_board_free(pty_board.path)


def test_by_hand_frame_and_decode(serve_argv, python_env):
    frame = kxmuti_cli(["frame", "Q", "1", "echo hello"], python_env).stdout
    assert frame == b"#KX Q1 0 echo hello 573f596e\n"
    served = subprocess.run(serve_argv, input=frame, capture_output=True, timeout=60).stdout
    shown = kxmuti_cli(["decode"], python_env, input=served).stdout.decode().splitlines()
    # A K comes first when the run outlasts the server's short hold (a busy machine).
    shown = [line for line in shown if line.split()[:2] != ["K", "1"]]
    assert shown[0].startswith("G 0 2,1 {")
    assert len(shown) == 2 and re.fullmatch(r"R 1 6,6,\d+ hello\\n", shown[1]), shown

"""The client against the real served shell, over every transport: results
as exact bytes, the failure rule, cancel on timeout, describe, completion,
and the ends of a session."""

import base64
import os
import re
import subprocess
import time
import zlib

import pytest

import kxmuti
from kxmuti import Client
from kxmuti import frame as fr

UNKNOWN = 0xFFFFFF02
NO_WORDS = 0xFFFFFF01


@pytest.mark.parametrize("line,status,out,failed", [
    ("echo hello", 6, b"hello\n", False),
    ("md 80100000 2", 0, b"80100000: 00000000 00000000\n", False),
    ("md 80100001", 1, b"md: address 0x80100001 is not word-aligned\n", True),  # the shell's rule
    ("", NO_WORDS, b"", False),
    ("dev nope", UNKNOWN, b'"nope": unknown or ambiguous command\n', True),  # a chip command
])
def test_run_gives_status_output_and_the_servers_judgement(kx, line, status, out, failed):
    r = kx.run(line)
    assert (r.status, r.out, r.failed, r.ok) == (status, out, failed, not failed)
    assert 0 <= r.seconds < 5


def test_unknown_command_fails_and_says_so(kx):
    r = kx.run("no-such-command x")
    assert r.status == UNKNOWN and not r.ok
    assert b"no-such-command" in r.out + r.err


def test_state_carries_across_lines_and_odd_bytes_come_back_exact(kx):
    kx.check("mw 80100008 cafe 1234")
    assert kx.run("d 80100008 2").out == b"80100008: 0000CAFE 00001234\n"
    odd = bytes([0xE9, 0xFF, 0x80, 0x09]) + b"\"'\\"
    assert kx.run(b"echo " + odd).out == odd + b"\n"


@pytest.mark.parametrize("line", ["mw 80200000 1", b"mw 80200000 1"])
def test_check_raises_command_failed_with_status_line_as_given_and_output(kx, line):
    with pytest.raises(kxmuti.CommandFailed) as e:
        kx.check(line)
    assert e.value.status == 1 and e.value.line == line and type(e.value.line) is type(line)
    assert b"outside" in e.value.output
    assert str(e.value).startswith("mw 80200000 1: failed (status 0x00000001):\n")
    assert isinstance(e.value, kxmuti.Error)


def test_timeout_cancels_and_the_session_goes_on(kx):
    start = time.monotonic()
    with pytest.raises(kxmuti.Timeout) as e:
        kx.run("msleep 20000", timeout=0.3)
    assert time.monotonic() - start < 10
    assert e.value.result is not None and e.value.result.cancelled and not e.value.result.ok
    assert kx.run("echo next").out == b"next\n"


def test_a_sourced_script_names_its_failures_and_a_cancel_ends_it(kx, tmp_path):
    bad = tmp_path / "bad.kx"
    bad.write_text("echo in\nehco x\n")
    r = kx.run(f"source {bad}")
    assert not r.ok and r.status == 0
    assert r.err == f"{bad}:2: ehco: unknown or ambiguous command (status 0xFFFFFF02)\n".encode()
    slow = tmp_path / "slow.kx"
    slow.write_text("msleep 20000\nmw 80100010 5\n")
    kx.check("mw 80100010 0")
    with pytest.raises(kxmuti.Timeout):
        kx.run(f"source {slow}", timeout=0.3)
    assert kx.run("md 80100010 1").out == b"80100010: 00000000\n"  # the line after it never ran


def test_describe_lists_the_shells_commands_with_their_help(kx):
    levels = kx.commands()["levels"]
    names = {c["name"]: c for c in levels[0]["commands"]}
    assert {"help", "echo", "md", "mw", "dev", "msleep"} <= names.keys()
    assert names["md"]["alias"] == "d" and names["md"]["format"] == "%x%u?"
    assert levels[0]["prompt"] == ":) "


def test_complete_gives_candidates_and_where_they_go(kx):
    c = kx.complete(" ec")
    assert list(c) == ["echo"] and c.start == 1
    c = kx.complete("mw 1", cursor=1)
    assert list(c) == ["md", "msleep", "mw"] and c.start == 0


def test_quit_ends_the_session_and_the_next_call_says_server_gone(serve_argv):
    with Client.spawn(serve_argv) as kx:
        kx.run("quit")
        with pytest.raises(kxmuti.ServerGone):
            kx.run("echo x")


def test_fds_transport_and_greeting(serve_argv):
    proc = subprocess.Popen(serve_argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    with Client.fds(os.dup(proc.stdout.fileno()), os.dup(proc.stdin.fileno())) as kx:
        assert kx.greeting["protocol"] == 2 and kx.greeting["limits"]["line"] == 1023
        assert kx.hello()["product"] == "kxMUti"
        assert kx.run("echo fd").ok
    proc.stdin.close()
    proc.stdout.close()
    assert proc.wait(timeout=10) == 0


def v1_frame(ftype, fid, n, payload):
    """A frame of protocol version 1: id, n, length and the payload in base64."""
    head = b"#KX %s %d %d %d %s " % (ftype.encode(), fid, n, len(payload),
                                     base64.b64encode(payload) or b"-")
    return head + b"%08x\n" % zlib.crc32(head)


def v1_frames(data):
    """The version-1 frames in data, as (type, id, n, payload)."""
    found = []
    for m in re.finditer(rb"#KX ([A-Z]) (\d+) (\d+) (\d+) (\S+) ([0-9a-f]{8})\n", data):
        payload = b"" if m[5] == b"-" else base64.b64decode(m[5])
        found.append((m[1].decode(), int(m[2]), int(m[3]), payload))
    return found


def test_the_server_answers_a_version_1_peer_in_its_own_frames(serve_argv, tmp_path):
    """Nothing a version-1 frame asks for is done; the answer, X 13 naming
    both versions, is a frame the old peer reads."""
    marker = tmp_path / "ran"
    sent = v1_frame("Q", 1, 0, b"echo run > " + str(marker).encode())
    done = subprocess.run(serve_argv, input=sent, capture_output=True, timeout=60)
    assert v1_frames(done.stdout) == [
        ("X", 0, 13, b"peer speaks protocol version 1; this server speaks version 2")]
    assert [f.type for f in fr.Reader().feed(done.stdout)] == ["G"] and not marker.exists()


V1_SERVERS = [
    ("version-1 frames", v1_frame("G", 0, 1, b'{"protocol":1}')),
    ("version 1 in the greeting", fr.encode("G", 0, 1, b'{"protocol":1}')),
]


@pytest.mark.parametrize("name,greeting", V1_SERVERS, ids=[c[0] for c in V1_SERVERS])
def test_a_version_1_server_is_an_error_naming_both_versions(name, greeting):
    rfd, wfd = os.pipe()
    os.write(wfd, greeting)
    with pytest.raises(kxmuti.ProtocolError, match="version 1.*version 2"):
        Client.fds(rfd, os.open(os.devnull, os.O_WRONLY), connect_timeout=3)
    os.close(wfd)


def test_overlong_line_is_rejected_not_run(kx):
    with pytest.raises(kxmuti.LineRejected):
        kx.run("echo " + "y" * 1100)
    assert kx.run("echo ok").out == b"ok\n"


def test_tcp_token_is_required_and_checked(shell_argv, tmp_path):
    from conftest import Listener

    token = tmp_path / "token"
    token.write_text("s3cret-s3cret-s3cret\n")
    token.chmod(0o600)
    server = Listener(shell_argv, ["--token-file", str(token)])
    try:
        with pytest.raises(kxmuti.AuthError):
            Client.tcp("127.0.0.1", server.port)
        with Client.tcp("127.0.0.1", server.port, token="s3cret-s3cret-s3cret") as kx:
            assert kx.run("echo in").out == b"in\n"
        with pytest.raises(kxmuti.AuthError):
            Client.tcp("127.0.0.1", server.port, token="wrong")
    finally:
        server.close()


def test_a_serial_session_outlives_its_client(pty_server):
    with Client.serial(pty_server) as kx:
        kx.check("mw 80100010 77")
    with Client.serial(pty_server) as kx:  # new ids, same session and memory
        assert kx.run("md 80100010 1").out == b"80100010: 00000077\n"


def test_run_many_keeps_order_state_and_exact_results_beyond_its_window(kx):
    lines = []
    for i in range(40):  # more than the window (the server's queue)
        lines += [f"mw 80100020 {i:x}", "md 80100020 1", "no-such-command"]
    lines[7] = b"echo " + bytes([0xE9, 0xFF, 0x00 + 0x80])
    results = kx.run_many(lines, window=8)
    assert [r.line for r in results] == lines
    for i in range(40):
        if i != 2:
            assert results[3 * i + 1].out == b"80100020: %08X\n" % i
        assert results[3 * i + 2].status == UNKNOWN and not results[3 * i + 2].ok
    assert results[7].out == bytes([0xE9, 0xFF, 0x80]) + b"\n"


def test_run_many_runs_nothing_when_a_line_would_be_refused(kx):
    with pytest.raises(kxmuti.LineRejected) as e:
        kx.run_many(["mw 80100040 5", "echo " + "y" * 1100, "echo c"])
    assert e.value.index == 1 and e.value.results == [None, None, None]
    assert kx.run("md 80100040 1").out == b"80100040: 00000000\n"


def test_run_many_timeout_cancels_the_line_and_those_behind_it(kx):
    with pytest.raises(kxmuti.Timeout) as e:
        kx.run_many(["mw 80100030 1", "msleep 20000", "mw 80100030 2"], timeout=0.3)
    assert e.value.index == 1 and e.value.results[0].ok
    assert kx.run("md 80100030 1").out == b"80100030: 00000001\n"


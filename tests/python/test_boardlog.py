"""The board log: console bytes that come in any pieces become lines with
their arrival time, L frames stay whole, and the log stays bounded."""

import pytest

from kxmuti import BoardLog


def texts(log):
    return [(e.kind, e.text) for e in log]


@pytest.mark.parametrize("pieces,lines", [
    ([b"U-Boot 2026.01\r\n", b"[ 1.5] eth0: link up\n"],
     [b"U-Boot 2026.01", b"[ 1.5] eth0: link up"]),
    ([b"Star", b"ting ker", b"nel\r", b"\nlogin: "], [b"Starting kernel"]),
    ([b"a\nb\n\nc"], [b"a", b"b", b""]),
    ([b"tty\r\r\n"], [b"tty"]),  # a line end a terminal doubled
])
def test_console_bytes_become_lines_whatever_the_pieces(pieces, lines):
    log = BoardLog()
    for p in pieces:
        log.console(p)
    assert texts(log) == [("console", t) for t in lines]


def test_a_line_without_end_is_kept_until_flushed_or_a_frame_comes():
    log = BoardLog()
    log.console(b"login: ", now=10.0)
    assert len(log) == 0
    log.frame(2, b"oops\n", now=11.0)
    assert texts(log) == [("console", b"login: "), ("stderr", b"oops\n")]
    log.console(b"# ", now=12.0)
    log.flush()
    assert log[-1].text == b"# " and log[-1].time == 12.0


def test_each_line_carries_the_time_it_began_to_arrive():
    log = BoardLog()
    log.console(b"first ha", now=1.0)
    log.console(b"lf\nsecond\n", now=2.0)
    assert [(e.text, e.time) for e in log] == [(b"first half", 1.0), (b"second", 2.0)]
    assert [e.text for e in log.since(1.5)] == [b"second"]
    assert [e.text for e in log.since(0.0, 1.5)] == [b"first half"]


def test_the_log_is_bounded_and_counts_everything():
    log = BoardLog(keep=3)
    for i in range(10):
        log.frame(1, b"%d" % i)
    assert [e.text for e in log] == [b"7", b"8", b"9"] and log.count == 10
    assert log[0].kind == "stdout"


def test_an_endless_line_is_cut_not_held_forever():
    log = BoardLog()
    log.console(b"x" * 10000)
    assert [len(e.text) for e in log] == [4096, 4096]

"""The protocol state machine on scripted frame sequences: what it sends
after each loss (a K, an R, a piece), refusal (X 1, X 12) and replay, and
how a session's end shows; no process, no clock."""

import pytest

from kxmuti import LineRejected, OutputLost, ProtocolError
from kxmuti import frame as fr
from kxmuti import protocol as pr

FIRST = 100  # the first request id of every machine here


def R(rid, status=0, out=b"", err=b"", *, tail=b"", kept=True, replay=False, cancelled=False,
      failed=False, totals=None, us=5):
    """The R frame a server sends for a request that wrote ``out`` and
    ``err``, carrying ``tail``, the last of ``out``."""
    n_out, n_err = totals or (len(out), len(err))
    flags = (failed * pr.F_FAILED | cancelled * pr.F_CANCELLED | replay * pr.F_REPLAY
             | (not kept) * pr.F_NOT_KEPT)
    more = (n_out, us, n_err, flags)
    while len(more) > 2 and more[-1] == 0:
        more = more[:-1]
    return fr.Frame("R", rid, status, tail, more)


def K(rid):
    return fr.Frame("K", rid, 0)


def O(rid, offset, data):  # noqa: E743 - the frame's letter
    return fr.Frame("O", rid, offset, data)


def X(rid, code, text=b"x"):
    return fr.Frame("X", rid, code, text)


def sent(proto):
    """The frames the machine wants sent, as (type, id, n) and payload-free."""
    return [(f.type, f.id, f.n) for f in fr.Reader().feed(proto.data_to_send())]


def kinds(events):
    return [type(e).__name__ for e in events]


@pytest.fixture
def proto():
    return pr.Protocol(first_id=FIRST)


# (frames answering one request, the events they give, status, output):
# a K and pieces, or one R alone for a quick request; the tail in R goes
# after the pieces, at out minus its length.
ANSWERS = [
    ("K, piece, R", [K(FIRST), O(FIRST, 0, b"hi\n"), R(FIRST, 3, b"hi\n")],
     ["Accepted", "Piece", "Ended"], 3, b"hi\n"),
    ("quick: one R, no K", [R(FIRST, 0, b"00000000: 1\n", tail=b"00000000: 1\n")],
     ["Accepted", "Piece", "Ended"], 0, b"00000000: 1\n"),
    ("tail in R after pieces", [K(FIRST), O(FIRST, 0, b"abcd"), R(FIRST, 0, b"abcdef", tail=b"ef")],
     ["Accepted", "Piece", "Piece", "Ended"], 0, b"abcdef"),
]


@pytest.mark.parametrize("name,frames,events,status,out", ANSWERS, ids=[a[0] for a in ANSWERS])
def test_a_request_is_one_q_and_its_answer_ends_it(proto, name, frames, events, status, out):
    req = proto.request("Q", 0, b"cmd", "cmd")
    assert sent(proto) == [("Q", FIRST, 0)]
    assert kinds(proto.receive(frames)) == events
    assert req.done and req.reply.status == status and bytes(req.out.data) == out
    assert sent(proto) == [] and not proto.flight


# Each row: frames after the request, then silence (ask_again), then what
# the machine sends. A lost K is a lost request as far as the client knows:
# the same Q again, same id (the server never runs an id twice); once the
# server has it, the smallest question is F, answered by K while it runs.
SILENCE = [
    ("K lost", [], [("Q", FIRST, 0)]),
    ("R lost", [K(FIRST), O(FIRST, 0, b"a")], [("F", FIRST, 0)]),
    ("still running", [K(FIRST)], [("F", FIRST, 0)]),
]


@pytest.mark.parametrize("name,before,asks", SILENCE, ids=[r[0] for r in SILENCE])
def test_silence_asks_for_what_is_missing(proto, name, before, asks):
    proto.request("Q", 0, b"md 0", "md 0")
    proto.data_to_send()
    proto.receive(before)
    proto.ask_again()
    assert sent(proto) == asks


# (the piece before the R was lost, the whole output, the tail in R, the
# replay's events): the lost R is fetched by F; a piece held adds nothing.
LOST_R = [
    ("whole output in pieces", b"ab", b"ab", b"", ["Ended"]),
    ("tail in R", b"abcd", b"abcdef", b"ef", ["Piece", "Ended"]),
]


@pytest.mark.parametrize("name,piece,whole,tail,events", LOST_R, ids=[r[0] for r in LOST_R])
def test_a_lost_r_is_fetched_and_the_replay_completes_the_result(proto, name, piece, whole, tail,
                                                                 events):
    req = proto.request("Q", 0, b"md 0", "md 0")
    proto.receive([K(FIRST), O(FIRST, 0, piece)])
    proto.data_to_send()
    proto.ask_again()
    assert sent(proto) == [("F", FIRST, 0)]
    replay = R(FIRST, 0, whole, tail=tail, replay=True)
    assert kinds(proto.receive([O(FIRST, 0, piece), replay])) == events
    assert req.reply.replay and bytes(req.out.data) == whole
    assert proto.stats.fetched == 1 and proto.stats.resent == 0


def test_a_gap_in_the_offsets_is_fetched_again_and_filled(proto):
    req = proto.request("Q", 0, b"md 0", "md 0")
    proto.data_to_send()
    events = proto.receive([K(FIRST), O(FIRST, 3, b"def"), R(FIRST, 0, b"abcdef")])
    assert "Ended" not in kinds(events) and sent(proto) == [("F", FIRST, 0)]
    events = proto.receive([O(FIRST, 0, b"abc"), O(FIRST, 3, b"def"),
                            R(FIRST, 0, b"abcdef", replay=True)])
    assert kinds(events) == ["Piece", "Ended"]
    assert bytes(req.out.data) == b"abcdef" and req.error is None


def test_output_not_kept_is_reported_lost_never_returned_short(proto):
    req = proto.request("Q", 0, b"big", "big")
    proto.receive([K(FIRST), O(FIRST, 4, b"tail"), R(FIRST, 0, totals=(8, 0))])
    assert sent(proto)[-1] == ("F", FIRST, 0)
    proto.receive([R(FIRST, 0, totals=(8, 0), kept=False, replay=True)])
    assert isinstance(req.error, OutputLost) and req.error.status == 0
    assert proto.stats.lost == 1


def test_more_output_than_the_totals_is_a_protocol_error(proto):
    req = proto.request("Q", 0, b"x", "x")
    proto.receive([O(FIRST, 0, b"abc"), R(FIRST, 0, totals=(2, 0))])
    assert isinstance(req.error, ProtocolError)


# R's numbers: status, out, us, then err and flags only when not 0; its
# payload is the last of the output, so never more than ``out``.
BAD_R = [
    ("two numbers", fr.Frame("R", FIRST, 0, b"", (0,))),
    ("six numbers", fr.Frame("R", FIRST, 0, b"", (0, 5, 0, 0, 0))),
    ("tail over out", fr.Frame("R", FIRST, 0, b"abc", (2, 5))),
]


@pytest.mark.parametrize("name,frame", BAD_R, ids=[r[0] for r in BAD_R])
def test_a_result_that_does_not_decode_is_a_protocol_error(proto, name, frame):
    req = proto.request("Q", 0, b"x", "x")
    proto.receive([frame])
    assert isinstance(req.error, ProtocolError)


# (numbers after status, what the reply says): err and flags left out
# mean none; each bit is the unusual case; a run of 4295 s or more is in
# milliseconds.
FLAGS = [
    ((3, 7), dict(out=3, err=0, failed=False, cancelled=False, replay=False, kept=True, us=7)),
    ((3, 7, 2), dict(out=3, err=2, failed=False, us=7)),
    ((0, 7, 0, 1), dict(failed=True, cancelled=False, replay=False, kept=True)),
    ((0, 7, 0, 2), dict(failed=False, cancelled=True)),
    ((0, 7, 0, 4), dict(replay=True, kept=True)),
    ((0, 7, 0, 8), dict(replay=False, kept=False)),
    ((0, 5000000, 0, 16), dict(us=5000000000, failed=False)),
]


@pytest.mark.parametrize("more,want", FLAGS)
def test_r_numbers_and_flags_decode(more, want):
    reply = pr.decode_result(fr.Frame("R", 1, 0xFFFFFF02, b"", more))
    assert reply.status == 0xFFFFFF02
    assert {k: getattr(reply, k) for k in want} == want


def test_a_lost_quick_r_is_asked_for_by_the_same_q_and_its_replay_ends_it(proto):
    """No K comes for a quick request, so a lost R looks like a lost request:
    the same Q again; the server answers it from its store, never runs it."""
    req = proto.request("Q", 0, b"mw 0 1", "mw 0 1")
    proto.data_to_send()
    proto.ask_again()
    assert sent(proto) == [("Q", FIRST, 0)] and proto.stats.resent == 1
    events = proto.receive([R(FIRST, 0, b"ok\n", tail=b"ok\n", replay=True)])
    assert kinds(events) == ["Accepted", "Piece", "Ended"]
    assert req.reply.replay and bytes(req.out.data) == b"ok\n"


def test_pipelined_requests_name_their_predecessor_and_x12_resends_in_order(proto):
    a = proto.request("Q", 0, b"a", "a", after=True)
    b = proto.request("Q", 0, b"b", "b", after=True)
    c = proto.request("Q", 0, b"c", "c", after=True)
    assert sent(proto) == [("Q", a.id, 0), ("Q", b.id, a.id), ("Q", c.id, b.id)]
    # a was lost on the way; b and c arrived and were refused, unrun.
    events = proto.receive([X(b.id, pr.X_NOT_AFTER), X(c.id, pr.X_NOT_AFTER)])
    assert kinds(events) == ["Refused", "Refused"]
    assert sent(proto) == [("Q", a.id, 0), ("Q", b.id, a.id), ("Q", c.id, b.id)]
    assert proto.stats.resent == 3


def test_x1_after_some_were_accepted_resends_the_rest_and_fetches_the_first(proto):
    a = proto.request("Q", 0, b"a", "a", after=True)
    b = proto.request("Q", 0, b"b", "b", after=True)
    proto.data_to_send()
    proto.receive([K(a.id), X(0, pr.X_BAD_FRAME)])
    assert sent(proto) == [("F", a.id, 0), ("Q", b.id, a.id)]


def test_a_request_refused_again_and_again_fails(proto):
    a = proto.request("Q", 0, b"a", "a")
    for _ in range(pr.MAX_FETCHES + 1):
        proto.receive([X(a.id, pr.X_NOT_AFTER)])
    assert isinstance(a.error, ProtocolError)


@pytest.mark.parametrize("code,error", [(pr.X_BAD_LINE, LineRejected),
                                        (pr.X_NOT_KEPT, OutputLost),
                                        (pr.X_UNKNOWN_TYPE, ProtocolError),
                                        (pr.X_UNKNOWN_ID, ProtocolError)])
def test_x_codes_that_end_a_request(proto, code, error):
    req = proto.request("Q", 0, b"x", "x")
    events = proto.receive([X(FIRST, code)])
    assert isinstance(req.error, error) and kinds(events) == ["Ended"]


def test_x5_queued_leaves_the_request_waiting(proto):
    req = proto.request("Q", 0, b"x", "x")
    assert proto.receive([X(FIRST, pr.X_QUEUED)]) == [] and not req.done


def test_a_cancelled_request_is_never_sent_again_and_x6_means_it_never_ran(proto):
    req = proto.request("Q", 0, b"msleep 9000", "msleep 9000")
    proto.data_to_send()
    proto.cancel(req)
    assert sent(proto) == [("C", FIRST, 0)]
    proto.ask_again()  # silence: the cancel again, never the Q (it would run)
    assert sent(proto) == [("C", FIRST, 0)]
    proto.receive([X(FIRST, pr.X_UNKNOWN_ID)])
    assert req.done and req.never_ran and req.error is None


def test_a_cancelled_running_request_gets_f_and_c_again(proto):
    req = proto.request("Q", 0, b"msleep 9000", "msleep 9000")
    proto.receive([K(FIRST)])
    proto.cancel(req)
    proto.data_to_send()
    proto.ask_again()
    assert sent(proto) == [("F", FIRST, 0), ("C", FIRST, 0)]
    proto.receive([R(FIRST, 0xFFFFFFFF, cancelled=True, failed=True)])
    assert req.reply.cancelled


def test_with_nothing_in_flight_the_probe_is_f_for_no_request(proto):
    proto.ask_again()
    assert sent(proto) == [("F", 0, 0)] and proto.stats.probes == 1
    assert proto.receive([X(0, pr.X_UNKNOWN_ID)]) == []  # the answer: the server is there


def test_greetings_answer_h_and_an_unasked_one_is_a_new_session(proto):
    g = fr.Frame("G", 0, 2, b'{"protocol":2}', (1,))
    proto.hello()
    assert sent(proto) == [("H", 0, 0)]
    assert kinds(proto.receive([g])) == ["Greeting"]
    assert kinds(proto.receive([g])) == ["NewSession"]


def test_a_greeting_of_version_1_is_an_error_naming_both_versions(proto):
    proto.hello()
    with pytest.raises(ProtocolError, match="version 1.*version 2"):
        proto.receive([fr.Frame("G", 0, 1, b'{"protocol":1}')])


# (G's numbers, ids before, the next id the client uses): ids go on from
# the greeting's, never back, so a client taking over a console's session
# is never answered from an earlier client's results.
NEXT = [((2,), 1, 1), ((2, 1), 1, 1), ((2, 57), 1, 57), ((2, 3), 9, 9)]


@pytest.mark.parametrize("nums,before,after", NEXT)
def test_ids_go_on_from_the_greetings_next_id(nums, before, after):
    proto = pr.Protocol(first_id=before)
    proto.hello()
    proto.receive([fr.Frame("G", 0, nums[0], b"{}", nums[1:])])
    assert proto.request("Q", 0, b"x", "x").id == after


@pytest.mark.parametrize("code", sorted(pr.CLOSING))
def test_closing_codes_end_the_session(proto, code):
    assert kinds(proto.receive([X(0, code)])) == ["Closed"]


def test_logs_late_answers_and_answers_of_others_are_kept_apart(proto):
    a = proto.request("Q", 0, b"a", "a")
    events = proto.receive([fr.Frame("L", 0, 2, b"oops\n"), R(FIRST - 1, 0), O(FIRST, 0, b"x")])
    assert kinds(events) == ["Log", "Accepted", "Piece"]
    assert events[0].stream == 2 and events[0].data == b"oops\n"
    proto.receive([R(FIRST, 0, b"x")])
    assert proto.receive([R(FIRST, 0, b"x", replay=True)]) == []  # asked twice: dropped
    assert a.reply.replay is False


def test_ids_count_up_and_wrap_past_32_bits():
    ids = pr.Ids(fr.U32_MAX - 1)
    assert [ids.new() for _ in range(3)] == [fr.U32_MAX - 1, fr.U32_MAX, 1]

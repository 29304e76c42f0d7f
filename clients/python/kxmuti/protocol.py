"""The client's side of a protocol session as a state machine: frames in,
events and frames to send out. No clock, no I/O: the blocking layer
(client.py) reads the link, feeds the frames here, sends what this says,
and decides when silence has lasted long enough to ask again.

What the link loses is repaired from here: a request of which nothing
came back (no K, no piece, no R: a quick request gets no K, its R says it
ran) is sent again with the same id (the server never runs an id twice,
it answers from its store), a result with a gap, totals that do not add
up or no R is asked for with F, and requests the server refused for a
damaged frame or a lost predecessor (X 1, X 12) are sent again in order.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any, Iterable

from . import frame as fr
from .errors import Error, LineRejected, OutputLost, ProtocolError
from .results import Stats

PROTOCOL = 2

# Error codes of X frames (the protocol's table).
X_BAD_FRAME, X_TOO_BIG, X_BAD_LINE, X_UNKNOWN_TYPE, X_QUEUED = 1, 2, 3, 4, 5
X_UNKNOWN_ID, X_NOT_KEPT, X_AUTH, X_SESSIONS, X_IDLE, X_NOT_READ = 6, 7, 8, 9, 10, 11
X_NOT_AFTER = 12  # a pipelined Q whose predecessor the server did not receive: not run
CLOSING = {X_SESSIONS: "too many sessions", X_IDLE: "idle timeout",
           X_NOT_READ: "the client did not read in time"}
MAX_FETCHES = 20  # F for one result, or refusals of one request, before giving up

_JSON = json.JSONDecoder()


# ---------------------------------------------------------------- payloads
# What R and G carry is decoded here and nowhere else.

@dataclass
class Reply:
    """The R frame of a request: how it ended and how much it wrote."""

    status: int
    failed: bool
    us: int
    out: int          #: bytes of standard output in all
    err: int          #: bytes of standard error in all
    cancelled: bool
    replay: bool
    kept: bool
    tail: bytes = b""  #: the last bytes of standard output, carried in R itself


# R's flag bits (its fifth number, left out when 0).
F_FAILED, F_CANCELLED, F_REPLAY, F_NOT_KEPT, F_MS = 1, 2, 4, 8, 16


def decode_result(f: fr.Frame) -> Reply:
    """R's numbers (status, out, us[, err[, flags]], the last two left out
    when 0) and the last piece of output it carries; ValueError when they
    are not what version 2 sends."""
    nums = f.nums
    if not 3 <= len(nums) <= 5:
        raise ValueError(f"{len(nums)} numbers, not 3 to 5")
    status, out, us, err, flags = nums + (0,) * (5 - len(nums))
    if len(f.data) > out:
        raise ValueError(f"{len(f.data)} bytes of output in R, {out} in all")
    return Reply(status=status, failed=bool(flags & F_FAILED),
                 us=us * 1000 if flags & F_MS else us, out=out, err=err,
                 cancelled=bool(flags & F_CANCELLED), replay=bool(flags & F_REPLAY),
                 kept=not flags & F_NOT_KEPT, tail=f.data)


def _old_version(theirs: int) -> ProtocolError:
    return ProtocolError(f"the server speaks protocol version {theirs}; this client speaks "
                         f"version {PROTOCOL}: use a client of that version, or update the "
                         "board's server")


def old_server() -> ProtocolError:
    """What meeting frames of version 1 (base64 payloads) means."""
    return _old_version(1)


def decode_greeting(f: fr.Frame) -> dict[str, Any]:
    """The G frame's payload; ProtocolError for another version or bad JSON.
    ``"next"`` is added: the first request id this session has not seen."""
    if f.n != PROTOCOL:
        raise _old_version(f.n)
    try:
        greeting = json.loads(f.data)
    except ValueError as e:
        raise ProtocolError(f"greeting: {e}") from e
    if not isinstance(greeting, dict):
        raise ProtocolError("greeting: not a JSON object")
    greeting["next"] = f.more[0] if f.more and f.more[0] > 0 else 1
    return greeting


class Ids:
    """Request ids of one session, numbered from the one the greeting names
    (1 in a new session): short on the wire, and never one the session has
    taken, so a client that takes over a console's session from an earlier
    client goes on after that one's ids instead of being answered from its
    store."""

    def __init__(self, first: int | None = None) -> None:
        self._next = first if first is not None else 1

    def start_at(self, first: int) -> None:
        """Numbers on from ``first`` (from a greeting), never back."""
        self._next = max(self._next, first)

    def new(self) -> int:
        rid = self._next
        self._next = rid + 1 if rid < fr.U32_MAX else 1
        return rid


# ---------------------------------------------------------------- requests

class Pieces:
    """One output stream put together from pieces that carry their offset."""

    __slots__ = ("data", "pending")

    def __init__(self) -> None:
        self.data = bytearray()
        self.pending: dict[int, bytes] = {}

    def add(self, offset: int, piece: bytes) -> int:
        """Takes a piece; returns how many bytes the stream grew by."""
        before = end = len(self.data)
        if offset > end:
            self.pending[offset] = piece
            return 0
        if offset + len(piece) > end:
            self.data += piece[end - offset:]
        while self.pending:
            end = len(self.data)
            ready = [o for o in self.pending if o <= end]
            if not ready:
                break
            for o in ready:
                p = self.pending.pop(o)
                if o + len(p) > len(self.data):
                    self.data += p[len(self.data) - o:]
        return len(self.data) - before


class Request:
    """One request and what has come back for it so far."""

    __slots__ = ("id", "frame", "line", "accepted", "out", "err", "reply", "error", "fetches",
                 "refused", "cancelled", "never_ran")

    def __init__(self, rid: int, frame: bytes, line: str | bytes) -> None:
        self.id = rid
        self.frame = frame
        self.line = line
        self.accepted = False      #: the server has it (K, a piece or R came)
        self.out = Pieces()
        self.err = Pieces()
        self.reply: Reply | None = None
        self.error: Error | None = None
        self.fetches = 0
        self.refused = 0
        self.cancelled = False     #: C was sent for it
        self.never_ran = False     #: cancelled, and the server never had it

    @property
    def done(self) -> bool:
        return self.reply is not None or self.error is not None or self.never_ran


# ---------------------------------------------------------------- events

@dataclass
class Accepted:
    request: Request


@dataclass
class Piece:
    """New bytes at the end of a request's output (stream 1) or error (2)."""

    request: Request
    stream: int
    data: bytes


@dataclass
class Ended:
    """The request is done: its reply is complete, or it failed (``error``)."""

    request: Request


@dataclass
class Refused:
    """The server refused frames (X 1 or X 12); they are sent again."""

    code: int
    request: Request | None


@dataclass
class Log:
    stream: int
    data: bytes


@dataclass
class Greeting:
    """A greeting that answers H."""

    greeting: dict[str, Any]


@dataclass
class NewSession:
    """A greeting nobody asked for: the server started a new session."""


@dataclass
class Closed:
    """The server closed the session (X 9, 10 or 11)."""

    code: int
    text: str


@dataclass
class AuthRefused:
    text: str


class Protocol:
    """One client's view of a session: the requests in flight, in the order
    they were sent, and what to send next.

    ``receive(frames)`` takes the frames of one read and returns events;
    ``data_to_send()`` hands over the frames that are due (requests, F, C,
    resends). ``ask_again()`` is what to do after silence.
    """

    def __init__(self, first_id: int | None = None) -> None:
        self.ids = Ids(first_id)
        self.flight: dict[int, Request] = {}   # sent, not done; in the order sent
        self.h_pending = 0                     # H sent whose G has not come
        self.last_id = 0                       # the last request id sent
        self.stats = Stats()
        self._out = bytearray()
        self._resend = False

    # ---------------------------------------------------------- to send

    def data_to_send(self) -> bytes:
        data, self._out = bytes(self._out), bytearray()
        return data

    def request(self, ftype: str, n: int, payload: bytes, line: str | bytes,
                after: bool = False) -> Request:
        """A new request (Q, D or P), queued to send. With ``after`` a Q
        names in its n the request sent just before it, if that one is still
        in flight, so that the server runs it only after that one."""
        rid = self.ids.new()
        if after and self.flight:
            n = next(reversed(self.flight))
        req = Request(rid, fr.encode(ftype, rid, n, payload), line)
        self.flight[rid] = req
        self.last_id = rid
        self.stats.requests += 1
        self._out += req.frame
        return req

    def cancel(self, req: Request) -> None:
        if not req.done:
            req.cancelled = True
            self._out += fr.encode("C", req.id, 0)

    def hello(self) -> None:
        self.h_pending += 1
        self._out += fr.encode("H", 0, 0)

    def authenticate(self, token: bytes) -> None:
        self._out += fr.encode("A", 0, 0, token)

    def end(self) -> None:
        self._out += fr.encode("B", 0, 0)

    def forget(self, req: Request) -> None:
        """Stops waiting for a request (its answers are dropped when they come)."""
        self.flight.pop(req.id, None)

    def ask_again(self) -> None:
        """After silence: asks for what is missing, the smallest way.

        Each request in flight that the server may not have is sent again,
        in order (or, once cancelled, its C); the first one the server has
        gets F, which a running request answers with K and an ended one
        with its result. With nothing in flight, F for id 0, which no
        request has, draws a short X 6: the server is there.
        """
        frames = bytearray()
        fetched = False
        for req in self.flight.values():
            if req.accepted:
                if not fetched:
                    fetched = True
                    self.stats.fetched += 1
                    frames += fr.encode("F", req.id, 0)
                if req.cancelled:
                    frames += fr.encode("C", req.id, 0)
            elif req.cancelled:
                frames += fr.encode("C", req.id, 0)
            else:
                self.stats.resent += 1
                frames += req.frame
        if not self.flight:
            self.stats.probes += 1
            frames += fr.encode("F", 0, 0)
        self._out += frames

    # ---------------------------------------------------------- received

    def receive(self, frames: Iterable[fr.Frame]) -> list[Any]:
        """Takes the frames of one read; returns what happened, in order."""
        events: list[Any] = []
        for f in frames:
            self._frame(f, events)
        if self._resend:
            self._resend = False
            self._resend_refused()
        return events

    def _frame(self, f: fr.Frame, events: list[Any]) -> None:
        t = f.type
        if t == "L":
            events.append(Log(f.n, f.data))
        elif t == "G":
            self._greeting(f, events)
        elif t == "X":
            self._x(f, events)
        else:
            req = self.flight.get(f.id)
            if req is not None and not req.done and t in "KOER":
                self._answer(req, f, events)

    def _greeting(self, f: fr.Frame, events: list[Any]) -> None:
        if not self.h_pending:
            events.append(NewSession())
            return
        self.h_pending -= 1
        greeting = decode_greeting(f)
        self.ids.start_at(greeting["next"])
        events.append(Greeting(greeting))

    def _answer(self, req: Request, f: fr.Frame, events: list[Any]) -> None:
        if not req.accepted:
            req.accepted = True
            events.append(Accepted(req))
        t = f.type
        if t == "O" or t == "E":
            grew = (req.out if t == "O" else req.err).add(f.n, f.data)
            if grew:
                data = req.out.data if t == "O" else req.err.data
                events.append(Piece(req, 1 if t == "O" else 2, bytes(data[-grew:])))
        elif t == "R":
            self._result(req, f, events)

    def _result(self, req: Request, f: fr.Frame, events: list[Any]) -> None:
        try:
            reply = decode_result(f)
        except ValueError as e:
            self._fail(req, ProtocolError(f"result of {req.line!r}: {e}"), events)
            return
        out, err = req.out, req.err
        if reply.tail:
            grew = out.add(reply.out - len(reply.tail), reply.tail)
            if grew:
                events.append(Piece(req, 1, bytes(out.data[-grew:])))
        if len(out.data) == reply.out and len(err.data) == reply.err and not out.pending \
                and not err.pending:
            req.reply = reply
            self._end(req, events)
            return
        if len(out.data) > reply.out or len(err.data) > reply.err:
            self._fail(req, ProtocolError(f"result of {req.line!r}: more output than its totals"),
                       events)
            return
        if not reply.kept or req.fetches >= MAX_FETCHES:
            self.stats.lost += 1
            why = ("output damaged on the link and not kept by the server" if not reply.kept
                   else "output damaged on every fetch")
            self._fail(req, OutputLost(req.line, reply.status, why), events)
            return
        req.fetches += 1
        self.stats.fetched += 1
        self._out += fr.encode("F", req.id, 0)

    def _x(self, f: fr.Frame, events: list[Any]) -> None:
        code, text = f.n, f.data.decode("utf-8", "replace")
        if code in CLOSING:
            events.append(Closed(code, text))
            return
        if code == X_AUTH:
            events.append(AuthRefused(text))
            return
        req = self.flight.get(f.id)
        if code == X_BAD_FRAME or code == X_NOT_AFTER:
            self._refused(code, req, events)
            return
        if req is None or req.done:
            return  # the probe's answer, or about a request already ended
        if code == X_BAD_LINE and not req.accepted:
            self._fail(req, LineRejected(req.line, text), events)
        elif code == X_NOT_KEPT:
            self.stats.lost += 1
            self._fail(req, OutputLost(req.line, None, f"result no longer kept: {text}"), events)
        elif code == X_UNKNOWN_ID and req.cancelled and not req.accepted:
            req.never_ran = True  # the request itself was lost on the way
            self._end(req, events)
        elif code == X_UNKNOWN_ID:
            self._fail(req, ProtocolError(f"the server does not know request {req.id}: {text}"),
                       events)
        elif code in (X_TOO_BIG, X_UNKNOWN_TYPE):
            self._fail(req, ProtocolError(f"the server refused a frame (X {code}): {text}"), events)
        # X 5: the request waits behind another one; its K comes when it starts.

    def _refused(self, code: int, req: Request | None, events: list[Any]) -> None:
        if code == X_NOT_AFTER and req is not None and not req.done:
            req.refused += 1
            if req.refused > MAX_FETCHES:
                self._fail(req, ProtocolError(f"{req.line!r}: refused again and again"), events)
        self._resend = True
        events.append(Refused(code, req))

    def _resend_refused(self) -> None:
        """After X 1 or X 12: the requests the server has not accepted, again
        and in order, and F for the first one it has but has not answered."""
        frames = bytearray()
        fetched = False
        for req in self.flight.values():
            if req.done:
                continue
            if not req.accepted:
                self.stats.resent += 1
                frames += fr.encode("C", req.id, 0) if req.cancelled else req.frame
            elif not fetched:
                fetched = True
                self.stats.fetched += 1
                frames += fr.encode("F", req.id, 0)
        self._out += frames

    def _fail(self, req: Request, error: Error, events: list[Any]) -> None:
        req.error = error
        self._end(req, events)

    def _end(self, req: Request, events: list[Any]) -> None:
        self.flight.pop(req.id, None)
        events.append(Ended(req))

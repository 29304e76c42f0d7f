"""The client: one session with a server of the automation protocol.

A request is sent as Q, D or P with a new id, and its answer (K, the O and
E pieces, R) is put together by offset. What the link loses is fetched
again: a request whose K never came is sent again with the same id (the
server never runs an id twice), and a result with a gap, totals that do
not add up, or no R at all is asked for with F. A result is returned only
when every byte of it arrived in a frame with a good checksum.
"""

from __future__ import annotations

import collections
import json
import secrets
import time
from dataclasses import dataclass, field
from typing import Any, Sequence

from . import frame as fr
from .errors import (AuthError, CommandFailed, Error, LineRejected, OutputLost, ProtocolError,
                     ServerGone, Timeout)
from .transport import ConsoleTransport, FdTransport, SerialTransport, SocketTransport, SpawnTransport

PROTOCOL = 1

# Error codes of X frames (the protocol's table).
X_BAD_FRAME, X_TOO_BIG, X_BAD_LINE, X_UNKNOWN_TYPE, X_QUEUED = 1, 2, 3, 4, 5
X_UNKNOWN_ID, X_NOT_KEPT, X_AUTH, X_SESSIONS, X_IDLE, X_NOT_READ = 6, 7, 8, 9, 10, 11
X_NOT_AFTER = 12  # a pipelined Q whose predecessor the server did not receive: not run
_JSON = json.JSONDecoder()
_MAX_FETCHES = 20  # F for one result before its output is reported lost
_CLOSING = {X_SESSIONS: "too many sessions", X_IDLE: "idle timeout",
            X_NOT_READ: "the client did not read in time"}


@dataclass
class Result:
    """What one command line did on the board."""

    line: bytes
    status: int            #: the 32-bit status
    out: bytes             #: standard output, exact bytes
    err: bytes             #: standard error, exact bytes
    seconds: float         #: run time on the board
    failed: bool           #: the server's judgement of the status
    cancelled: bool = False
    replay: bool = False   #: the result came from the server's store

    @property
    def ok(self) -> bool:
        return not self.failed

    @property
    def text(self) -> str:
        """Standard output as text (UTF-8, bad bytes replaced)."""
        return self.out.decode("utf-8", "replace")


@dataclass
class LogFrame:
    """Output written while no request ran (an L frame)."""

    time: float      #: time.time() when it arrived
    stream: int      #: 1 standard output, 2 standard error
    data: bytes
    after: int       #: id of the last request sent before it (0: none)


class Completion(list):
    """Candidates for a completion; ``start`` is where they replace the line."""

    start: int = 0


@dataclass
class Stats:
    """What the client had to do to get its results."""

    requests: int = 0
    resent: int = 0        #: requests sent again (their K did not come)
    fetched: int = 0       #: F sent for a result with a gap or no end
    bad_frames: int = 0    #: markers whose line was not a valid frame
    lost: int = 0          #: results reported as OutputLost
    timeouts: int = 0


class _Pieces:
    """One output stream put together from pieces that carry their offset."""

    __slots__ = ("data", "pending")

    def __init__(self) -> None:
        self.data = bytearray()
        self.pending: dict[int, bytes] = {}

    def add(self, offset: int, piece: bytes) -> None:
        end = len(self.data)
        if offset > end:
            self.pending[offset] = piece
            return
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


class _Request:
    __slots__ = ("id", "frame", "line", "accepted", "out", "err", "result", "error", "fetches",
                 "refused")

    def __init__(self, rid: int, frame: bytes, line: bytes) -> None:
        self.id = rid
        self.frame = frame
        self.line = line
        self.accepted = False
        self.out = _Pieces()
        self.err = _Pieces()
        self.result: dict | None = None
        self.error: Error | None = None
        self.fetches = 0
        self.refused = 0


def _parse_target(target: str):
    """Opens a transport for 'spawn:CMD', 'tcp:HOST:PORT' or 'serial:DEV[@BAUD]'."""
    kind, _, rest = target.partition(":")
    if kind == "spawn" and rest:
        return SpawnTransport(rest), False
    if kind == "tcp" and rest:
        host, _, port = rest.rpartition(":")
        if host and port.isdigit():
            return SocketTransport.connect(host.strip("[]"), int(port)), False
    if kind == "serial" and rest:
        dev, _, baud = rest.partition("@")
        if not baud or baud.isdigit():
            return SerialTransport(dev, int(baud) if baud else 115200), True
    raise ValueError(f"target {target!r}: expected spawn:CMD, tcp:HOST:PORT or serial:DEV[@BAUD]")


class Client:
    """A session with a kxMUti protocol server.

    Build one with spawn(), tcp(), serial(), fds() or open(), or give the
    constructor any transport. ``poll`` is how long the client waits in
    silence before it asks again; ``gone_after`` how long a silent server
    is given before ServerGone.
    """

    def __init__(self, transport, *, token: str | bytes | None = None, hello: bool = False,
                 connect_timeout: float = 10.0, poll: float = 0.5, gone_after: float = 15.0,
                 log_keep: int = 1000, end_on_close: bool = True) -> None:
        self._t = transport
        self._end_on_close = end_on_close
        self._reader = fr.Reader()
        self._queue: collections.deque[fr.Frame] = collections.deque()
        self.poll = poll
        self.gone_after = gone_after
        self.logs: collections.deque[LogFrame] = collections.deque(maxlen=log_keep)
        self.log_count = 0  #: L frames received so far (logs keeps the last log_keep)
        self.stats = Stats()
        self.greeting: dict[str, Any] = {}
        self._h_pending = 0
        self._busy: _Request | None = None
        self._last_id = 0
        # Ids start at random: a serial session outlives the client, and
        # the server answers a repeated id from its store.
        self._next_id = 1 + secrets.randbelow(0xFFFF0000)
        self._closed = False
        try:
            self._handshake(token, hello, connect_timeout)
        except BaseException:
            self._t.close()
            raise

    # ---------------------------------------------------------------- opening

    @classmethod
    def spawn(cls, argv: Sequence[str] | str, *, stderr: int | None = None, **kw) -> "Client":
        """Starts a server (``["kxshell", "--serve"]``) and talks over its standard streams."""
        return cls(SpawnTransport(argv, stderr=stderr), **kw)

    @classmethod
    def tcp(cls, host: str, port: int, token: str | bytes | None = None, **kw) -> "Client":
        return cls(SocketTransport.connect(host, port), token=token, **kw)

    @classmethod
    def serial(cls, device: str, baud: int = 115200, **kw) -> "Client":
        """A serial console; the session may be older than the client, so it says H first."""
        kw.setdefault("hello", True)
        kw.setdefault("end_on_close", False)
        return cls(SerialTransport(device, baud), **kw)

    @classmethod
    def fds(cls, rfd: int, wfd: int, **kw) -> "Client":
        """Two open descriptors (the client closes them)."""
        return cls(FdTransport(rfd, wfd), **kw)

    @classmethod
    def console(cls, console, **kw) -> "Client":
        """A labgrid ConsoleProtocol driver."""
        kw.setdefault("hello", True)
        kw.setdefault("end_on_close", False)
        return cls(ConsoleTransport(console), **kw)

    @classmethod
    def open(cls, target: str, **kw) -> "Client":
        """Opens 'spawn:CMD', 'tcp:HOST:PORT' or 'serial:DEV[@BAUD]'."""
        transport, hello = _parse_target(target)
        kw.setdefault("hello", hello)
        kw.setdefault("end_on_close", not hello)
        return cls(transport, **kw)

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self, end_session: bool | None = None) -> None:
        """Ends the session (B) and closes the link.

        With ``end_session`` false the server is not told: a server on a
        console then keeps its session for the next client. The default is
        false for serial() and console(), true otherwise.
        """
        if end_session is None:
            end_session = self._end_on_close
        if self._closed:
            return
        self._closed = True
        try:
            if end_session:
                self._t.send(fr.encode("B", 0, 0))
        except Error:
            pass
        self._t.close()

    # ------------------------------------------------------------ the frames

    def _send(self, data: bytes) -> None:
        if self._closed:
            raise Error("the client is closed")
        self._t.send(data)

    def _next(self, until: float | None) -> fr.Frame | None:
        """The next frame not meant for everybody, or None at ``until``."""
        while True:
            while self._queue:
                f = self._queue.popleft()
                if f.type == "L" or (f.type == "G" and self._h_pending):
                    self._unasked(f)
                    continue
                return f
            left = None if until is None else until - time.monotonic()
            if left is not None and left <= 0:
                return None
            data = self._t.recv(left)
            if data:
                bad = self._reader.bad
                self._queue.extend(self._reader.feed(data))
                self.stats.bad_frames += self._reader.bad - bad

    def _unasked(self, f: fr.Frame) -> None:
        """Takes a log frame, or a greeting: one answering H, else a new session's."""
        if f.type == "L":
            self.logs.append(LogFrame(time.time(), f.n, f.data, self._last_id))
            self.log_count += 1
        elif self._h_pending:
            self._h_pending -= 1
            self._take_greeting(f)
        else:
            raise ServerGone("the server started a new session")

    def _take_greeting(self, f: fr.Frame) -> None:
        if f.n != PROTOCOL:
            raise ProtocolError(f"the server speaks protocol {f.n}, this client {PROTOCOL}")
        try:
            self.greeting = json.loads(f.data)
        except ValueError as e:
            raise ProtocolError(f"greeting: {e}") from e

    def _handshake(self, token, hello: bool, connect_timeout: float) -> None:
        deadline = time.monotonic() + connect_timeout
        greeting = self._await_greeting(hello, deadline)
        self._take_greeting(greeting)
        if hello:
            # A server that started just now sends its own greeting as well as
            # the answer to H: take a second one that follows at once.
            self._h_pending = 1
            self._next(time.monotonic() + 0.1)
            self._h_pending = 0
        limits = self.greeting.get("limits", {})
        if "chunk" in limits:
            self._reader.line_limit = max(fr.DEFAULT_LINE_LIMIT, 4 * (int(limits["chunk"]) // 3 + 1) + 64)
        if self.greeting.get("auth") != "token":
            return
        if token is None:
            raise AuthError("the server wants a token")
        if isinstance(token, str):
            token = token.encode()
        self._send(fr.encode("A", 0, 0, token.strip()))
        while True:
            f = self._next(deadline)
            if f is None:
                raise ServerGone("no greeting after the token")
            if f.type == "G":
                self._take_greeting(f)
                return
            if f.type == "X":
                if f.n == X_AUTH:
                    raise AuthError(f"token refused: {f.data.decode('utf-8', 'replace')}")
                self._x_closing(f)

    def _await_greeting(self, hello: bool, deadline: float) -> fr.Frame:
        next_hello = time.monotonic() + (0 if hello else 1.0)
        while True:
            now = time.monotonic()
            if now >= next_hello:
                self._send(fr.encode("H", 0, 0))
                next_hello = now + 1.0
            f = self._next(min(next_hello, deadline))
            if f is not None:
                if f.type == "G":
                    return f
                if f.type == "X":
                    self._x_closing(f)
            elif time.monotonic() >= deadline:
                raise ServerGone("no greeting from the server")

    @staticmethod
    def _x_closing(f: fr.Frame) -> None:
        text = f.data.decode("utf-8", "replace")
        if f.n in _CLOSING:
            raise ServerGone(f"the server closed the session: {_CLOSING[f.n]} ({text})")
        if f.n == X_AUTH:
            raise AuthError(f"not authenticated: {text}")

    # -------------------------------------------------------------- requests

    def _new_id(self) -> int:
        rid = self._next_id
        self._next_id = rid + 1 if rid < fr.U32_MAX else 1
        return rid

    def _request(self, ftype: str, n: int, payload: bytes, timeout: float | None) -> _Request:
        if self._busy is not None:
            self._finish_busy()
        rid = self._new_id()
        req = _Request(rid, fr.encode(ftype, rid, n, payload), payload)
        self.stats.requests += 1
        self._last_id = rid
        self._send(req.frame)
        until = None if timeout is None else time.monotonic() + timeout
        if not self._wait(req, until):
            self._cancel(req, timeout)
        if req.error is not None:
            raise req.error
        return req

    def _wait(self, req: _Request, until: float | None,
              others: dict[int, _Request] | None = None) -> bool:
        """Waits for the request's result; False when ``until`` came first.

        ``others`` are requests sent after it (pipelined): their frames are
        taken as they come, and those not yet accepted are sent again, in
        order, when the server saw a damaged frame or refused one of them
        because the request before it had not arrived.
        """
        quiet = self.poll                  # silence before asking again
        heard = asked = time.monotonic()   # last frame for this session, last question
        bad = self.stats.bad_frames
        queue = self._queue
        resend = False
        while req.result is None and req.error is None:
            if resend and not queue:
                self._resend_flight(req, others)
                resend = False
            if not queue:
                # A bad marker may have been this request's K or R: ask soon.
                wait = quiet if self.stats.bad_frames == bad else min(quiet, 0.02)
                ask_at = max(heard, asked) + wait
                self._fill(ask_at if until is None else min(ask_at, until))
                now = time.monotonic()
                if not queue:
                    if until is not None and now >= until:
                        return False
                    if now < ask_at:
                        continue
                    if now - heard > self.gone_after:
                        raise ServerGone(f"no answer for {self.gone_after:g} s")
                    if others:
                        self._resend_flight(req, others)
                    else:
                        self._ask_again(req)
                    asked, bad = now, self.stats.bad_frames
                    quiet = min(quiet * 2, 4.0)
                    continue
                heard = now
            f = queue.popleft()
            t = f.type
            if f.id == req.id and t in "OER":  # the common case, handled here
                req.accepted = True
                quiet = self.poll
                if t == "R":
                    self._take_result(req, f)
                else:
                    (req.out if t == "O" else req.err).add(f.n, f.data)
            elif t == "L" or t == "G":
                self._unasked(f)
            elif others is not None and t == "X" and f.n in (X_BAD_FRAME, X_NOT_AFTER):
                refused = others.get(f.id, req if f.id == req.id else None)
                if f.n == X_NOT_AFTER and refused is not None:
                    refused.refused += 1
                    if refused.refused > _MAX_FETCHES:
                        refused.error = ProtocolError(f"{refused.line!r}: refused again and again")
                resend = True
            elif others and f.id in others:
                quiet = self.poll
                self._handle(others[f.id], f)
            else:
                self._handle(req, f)
        return True

    def _resend_flight(self, req: _Request, others: dict[int, _Request]) -> None:
        """Sends again, in order, the requests the server has not accepted."""
        frames = []
        for r in (req, *others.values()):
            if r.result is None and r.error is None and not r.accepted:
                self.stats.resent += 1
                frames.append(r.frame)
        if req.accepted and req.result is None and req.error is None:
            self.stats.fetched += 1
            frames.append(fr.encode("F", req.id, 0))
        if frames:
            self._send(b"".join(frames))

    def _fill(self, until: float) -> None:
        """Reads what arrives until ``until`` (or the first piece) into the queue."""
        data = self._t.recv(until - time.monotonic())
        if data:
            bad = self._reader.bad
            self._queue.extend(self._reader.feed(data))
            self.stats.bad_frames += self._reader.bad - bad

    def _ask_again(self, req: _Request) -> None:
        if req.accepted:
            self.stats.fetched += 1
            self._send(fr.encode("F", req.id, 0))
        else:
            self.stats.resent += 1
            self._send(req.frame)

    def _handle(self, req: _Request, f: fr.Frame) -> None:
        t = f.type
        if t == "G":
            raise ServerGone("the server started a new session")
        if t == "X":
            self._handle_x(req, f)
            return
        if f.id != req.id:
            return  # an answer to an earlier request, asked for twice
        if t == "K":
            req.accepted = True
        elif t == "O" or t == "E":
            req.accepted = True
            (req.out if t == "O" else req.err).add(f.n, f.data)
        elif t == "R":
            req.accepted = True
            self._take_result(req, f)

    def _take_result(self, req: _Request, f: fr.Frame) -> None:
        try:
            text = f.data.decode()
            res, end = _JSON.raw_decode(text)
            if end != len(text):
                raise ValueError("data after the JSON object")
            total_out, total_err = int(res["out"]), int(res["err"])
            status = int(res["status"])
        except (ValueError, KeyError, TypeError) as e:
            req.error = ProtocolError(f"result of {req.line!r}: {e}")
            return
        if status != f.n:
            req.error = ProtocolError(f"result of {req.line!r}: status {status} in JSON, {f.n} in frame")
            return
        if (len(req.out.data) == total_out and len(req.err.data) == total_err
                and not req.out.pending and not req.err.pending):
            req.result = res
            return
        if len(req.out.data) > total_out or len(req.err.data) > total_err:
            req.error = ProtocolError(f"result of {req.line!r}: more output than its totals")
            return
        if not res.get("kept", True) or req.fetches >= _MAX_FETCHES:
            self.stats.lost += 1
            req.error = OutputLost(req.line, status, "output damaged on the link and not kept by the server"
                                   if not res.get("kept", True) else "output damaged on every fetch")
            return
        req.fetches += 1
        self.stats.fetched += 1
        self._send(fr.encode("F", req.id, 0))

    def _handle_x(self, req: _Request, f: fr.Frame) -> None:
        text = f.data.decode("utf-8", "replace")
        if f.id not in (0, req.id):
            return
        code = f.n
        if code == X_BAD_FRAME:
            # One of the frames sent may have been damaged on the way: send
            # again what is outstanding (both are safe to repeat).
            self._ask_again(req)
        elif code == X_BAD_LINE and not req.accepted:
            req.error = LineRejected(req.line, text)
        elif code == X_NOT_KEPT and f.id == req.id:
            self.stats.lost += 1
            req.error = OutputLost(req.line, None, f"result no longer kept: {text}")
        elif code == X_UNKNOWN_ID and f.id == req.id:
            req.error = ProtocolError(f"the server does not know request {req.id}: {text}")
        elif code == X_QUEUED:
            pass  # the request waits behind another one: its K comes when it starts
        elif code in _CLOSING or code == X_AUTH:
            self._x_closing(f)
        elif code in (X_TOO_BIG, X_UNKNOWN_TYPE):
            req.error = ProtocolError(f"the server refused a frame (X {code}): {text}")

    def _cancel(self, req: _Request, timeout: float) -> None:
        """Cancels a request past its time; raises Timeout once it ended."""
        self.stats.timeouts += 1
        grace = time.monotonic() + max(5.0, self.poll * 4)
        cancel = fr.encode("C", req.id, 0)
        never_ran = False
        while req.result is None and req.error is None and time.monotonic() < grace:
            self._send(cancel)
            until = min(grace, time.monotonic() + self.poll)
            while req.result is None and req.error is None:
                f = self._next(until)
                if f is None:
                    break
                if f.type == "X" and f.n == X_UNKNOWN_ID and f.id == req.id and not req.accepted:
                    never_ran = True  # the request itself was lost on the way
                    break
                self._handle(req, f)
            if never_ran:
                break
            if req.result is None and req.error is None and req.accepted:
                self._send(fr.encode("F", req.id, 0))
        if req.error is not None:
            raise req.error
        if req.result is None and not never_ran:
            self._busy = req  # still running: the next request waits for it first
        result = self._make_result(req) if req.result is not None else None
        raise Timeout(req.line, timeout, result)

    def _finish_busy(self) -> None:
        req, self._busy = self._busy, None
        if not self._wait(req, time.monotonic() + self.gone_after):
            self._busy = req
            raise Timeout(req.line, self.gone_after, None)

    @staticmethod
    def _make_result(req: _Request) -> Result:
        r = req.result
        return Result(line=req.line, status=int(r["status"]), out=bytes(req.out.data),
                      err=bytes(req.err.data), seconds=int(r.get("us", 0)) / 1e6,
                      failed=bool(r.get("failed")), cancelled=bool(r.get("cancelled")),
                      replay=bool(r.get("replay")))

    # ------------------------------------------------------------ public API

    def run(self, line: str | bytes, timeout: float | None = None) -> Result:
        """Runs one command line and returns its result.

        With a timeout, a line still running after that many seconds is
        cancelled and Timeout is raised once it ended; the session stays usable.
        """
        data = line.encode() if isinstance(line, str) else bytes(line)
        if b"\n" in data:
            raise ValueError("a command line holds no line end")
        return self._make_result(self._request("Q", 0, data, timeout))

    def run_many(self, lines: Sequence[str | bytes], timeout: float | None = None,
                 window: int | None = None) -> list[Result]:
        """Runs command lines one after the other, with several in flight.

        Up to ``window`` requests (default: the greeting's ``limits.queue``,
        so the server never has to stop reading) are sent before their
        results come back; the server still runs them one at a time, in
        order, and each result is put together and checked as run() does.
        Returns the results in the order of the lines.

        Each request names the one sent before it, so the server runs it
        only once that one arrived: a request lost on the link is sent
        again and still runs before those behind it. A server that does not
        say ``"after": true`` in its greeting gets one request at a time.

        A line the server would refuse (longer than ``limits.line``, or
        holding a NUL byte) raises LineRejected before anything is sent.
        ``timeout`` bounds each line's run (counted from the end of the one
        before it). A line past it is cancelled, and so are the lines sent
        behind it, and Timeout is raised. When a line ends in another error
        (OutputLost, ...), no further line is sent, the ones in flight end,
        and that error is raised. Each of these exceptions carries ``index``
        (the position of the line) and ``results`` (one per line: the
        Result, or None for a line that gave none).
        """
        datas = [ln.encode() if isinstance(ln, str) else bytes(ln) for ln in lines]
        if any(b"\n" in d for d in datas):
            raise ValueError("a command line holds no line end")
        longest = int(self.greeting.get("limits", {}).get("line", 1023))
        for index, d in enumerate(datas):
            if len(d) > longest or b"\0" in d:
                e = LineRejected(d, f"longer than {longest} bytes or holds a NUL byte; nothing was sent")
                e.index, e.results = index, [None] * len(datas)
                raise e
        if self._busy is not None:
            self._finish_busy()
        if window is None:
            window = int(self.greeting.get("limits", {}).get("queue", 1))
        if not self.greeting.get("after"):
            window = 1  # the server cannot keep pipelined requests in order on a lossy link
        window = max(1, window)
        results: list[Result | None] = [None] * len(datas)
        flight: collections.deque[tuple[int, _Request]] = collections.deque()
        by_id: dict[int, _Request] = {}
        first_error: tuple[int, Error] | None = None
        sent = 0
        started = time.monotonic()
        while flight or (sent < len(datas) and first_error is None):
            frames = []
            # Refill once half the window has ended: one write then carries
            # several requests, and the server takes them in one read.
            refill = len(flight) <= window // 2
            while refill and sent < len(datas) and len(flight) < window and first_error is None:
                rid = self._new_id()
                # n names the request this one follows, while that may still
                # be on its way: the server then runs this one only after it.
                after = flight[-1][1].id if flight else 0
                req = _Request(rid, fr.encode("Q", rid, after, datas[sent]), datas[sent])
                flight.append((sent, req))
                by_id[rid] = req
                frames.append(req.frame)
                sent += 1
            if frames:
                self.stats.requests += len(frames)
                self._last_id = flight[-1][1].id
                self._send(b"".join(frames))
            index, head = flight[0]
            del by_id[head.id]
            until = None if timeout is None else started + timeout
            if not self._wait(head, until, by_id):
                for _, later in flight:
                    if later is not head:
                        self._send(fr.encode("C", later.id, 0))
                try:
                    self._cancel(head, timeout)
                except Error as e:
                    e.index, e.results = index, results
                    raise
            flight.popleft()
            started = time.monotonic()
            if head.error is not None:
                if first_error is None:
                    first_error = (index, head.error)
            else:
                results[index] = self._make_result(head)
        if first_error is not None:
            index, error = first_error
            error.index, error.results = index, results
            raise error
        return results  # type: ignore[return-value]

    def check(self, line: str | bytes, timeout: float | None = None) -> Result:
        """Like run(), but raises CommandFailed when the result is a failure."""
        r = self.run(line, timeout)
        if r.failed:
            raise CommandFailed(r)
        return r

    def commands(self, timeout: float | None = 30.0) -> dict[str, Any]:
        """What describe says: {"levels": [{"dots", "prompt", "commands": [...]}, ...]}."""
        return self._json("D", 0, b"", timeout)

    def complete(self, line: str | bytes, cursor: int | None = None,
                 timeout: float | None = 30.0) -> Completion:
        """Candidates for the word at ``cursor`` (default: the line's end)."""
        data = line.encode() if isinstance(line, str) else bytes(line)
        obj = self._json("P", len(data) if cursor is None else cursor, data, timeout)
        c = Completion(obj.get("candidates", []))
        c.start = int(obj.get("start", 0))
        return c

    def _json(self, ftype: str, n: int, payload: bytes, timeout: float | None) -> Any:
        req = self._request(ftype, n, payload, timeout)
        try:
            return json.loads(bytes(req.out.data))
        except ValueError as e:
            raise ProtocolError(f"{ftype} answer: {e}") from e

    def hello(self, timeout: float = 10.0) -> dict[str, Any]:
        """Asks for the greeting again and returns it."""
        self._h_pending += 1
        self._send(fr.encode("H", 0, 0))
        deadline = time.monotonic() + timeout
        while self._h_pending and time.monotonic() < deadline:
            if not self._queue:
                self._fill(deadline)
            elif self._queue[0].type in "LG":
                self._unasked(self._queue.popleft())
            else:
                self._queue.popleft()  # a late answer to an earlier request
        if self._h_pending:
            raise ServerGone("no greeting")
        return self.greeting

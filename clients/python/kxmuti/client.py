"""The client: one session with a server of the automation protocol, as
blocking calls with timeouts.

The layers: a transport moves bytes (transport.py), the frame codec finds
frames in them (frame.py), the protocol state machine turns frames into
events and says what to send (protocol.py), and this module waits: it
reads until a request is done, asks again after silence, cancels a line
past its timeout, and calls a server gone that answers nothing for
``gone_after`` seconds. Bytes outside frames and L frames go to the board
log (boardlog.py).
"""

from __future__ import annotations

import collections
import json
import time
from typing import Any, Callable, Sequence

from . import frame as fr
from . import protocol as pr
from . import targets
from .boardlog import BoardLog
from .errors import AuthError, Error, LineRejected, NoGreeting, ProtocolError, ServerGone, Timeout
from .results import Completion, LogFrame, Result
from .running import Running
from .transport import ConsoleTransport, FdTransport, SocketTransport, SpawnTransport, open_serial

#: Seconds a request gets to end after Ctrl-C cancelled it, before the
#: interrupt goes on up (the whole exit must take under a second).
INTERRUPT_GRACE = 0.5
#: Seconds a cancelled request gets to end before Timeout says "not ended".
CANCEL_GRACE = 5.0
#: Seconds a started server gets for its greeting (a port gets 5).
SPAWN_CONNECT_TIMEOUT = 10.0
#: Seconds greetings are still taken after the first, when H was sent.
HELLO_SETTLE = 0.2
#: Bytes of what came instead of a greeting that NoGreeting shows.
HEARD_KEEP = 200


class Client:
    """A session with a kxMUti protocol server.

    Build one with spawn(), tcp(), serial(), fds(), console() or open(), or
    give the constructor any transport. ``poll`` is how long the client
    waits in silence before it asks again; ``gone_after`` how long a server
    that answers nothing is given before ServerGone; ``connect_timeout``
    how long opening waits for the greeting.
    """

    def __init__(self, transport, *, token: str | bytes | None = None, hello: bool = False,
                 connect_timeout: float = 5.0, poll: float = 0.5, gone_after: float = 3.0,
                 log_keep: int = 1000, board_log_keep: int = 10000,
                 end_on_close: bool = True) -> None:
        self._t = transport
        self.target: str = getattr(transport, "name", "") or type(transport).__name__
        self._end_on_close = end_on_close
        self._reader = fr.Reader()
        self._reader.keep_noise()
        self._proto = pr.Protocol()
        self.poll = poll
        self.gone_after = gone_after
        self.stats = self._proto.stats
        self.board_log = BoardLog(board_log_keep)
        self.logs: collections.deque[LogFrame] = collections.deque(maxlen=log_keep)
        self.log_count = 0  #: L frames received so far (logs keeps the last log_keep)
        self.greeting: dict[str, Any] = {}
        self.gone: str | None = None  #: why the session ended, once it has
        self._closed = False
        self._hurry = False           # Ctrl-C came: close without waiting
        self._interrupting = False
        self._heard = 0.0             # time.monotonic() of the last frame
        self._frames = 0              # frames received so far
        self._progress = 0            # requests' events so far (K, pieces, ends)
        try:
            self._handshake(token, hello, connect_timeout)
        except BaseException:
            self._t.close(hurry=True)
            raise

    # ---------------------------------------------------------------- opening

    @classmethod
    def spawn(cls, argv: Sequence[str] | str, *, stderr: int | None = None, **kw) -> "Client":
        """Starts a server (``["kxshell", "--serve"]``) and talks over its
        standard streams. The greeting is waited for 10 s by default: a
        program may take a while to start (under an emulator, say)."""
        kw.setdefault("connect_timeout", SPAWN_CONNECT_TIMEOUT)
        return cls(SpawnTransport(argv, stderr=stderr), **kw)

    @classmethod
    def tcp(cls, host: str, port: int, token: str | bytes | None = None, **kw) -> "Client":
        return cls(SocketTransport.connect(host, port, kw.get("connect_timeout", 10.0)),
                   token=token, **kw)

    @classmethod
    def serial(cls, device: str, baud: int = 115200, **kw) -> "Client":
        """A serial console: a device, or a pyserial URL (``rfc2217://HOST:PORT``,
        ``socket://HOST:PORT``). The session may be older than the client, so
        it says H first and leaves the session open when it closes."""
        kw.setdefault("hello", True)
        kw.setdefault("end_on_close", False)
        return cls(open_serial(device, baud, kw.get("connect_timeout", 10.0)), **kw)

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
        """Opens 'spawn:CMD', 'tcp:HOST:PORT' or 'serial:DEV[@BAUD]' (DEV a
        device or a pyserial URL)."""
        where = targets.parse(target)
        if where.kind == "spawn":
            kw.setdefault("connect_timeout", SPAWN_CONNECT_TIMEOUT)
        kw.setdefault("hello", where.on_console)
        kw.setdefault("end_on_close", not where.on_console)
        return cls(targets.connect(where, kw.get("connect_timeout", 10.0)), **kw)

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self, end_session: bool | None = None) -> None:
        """Ends the session (B) and closes the link.

        With ``end_session`` false the server is not told: a server on a
        console then keeps its session for the next client. The default is
        false for serial() and console(), true otherwise.
        """
        if self._closed:
            return
        if end_session is None:
            end_session = self._end_on_close
        self.board_log.flush()
        try:
            if end_session and self.gone is None:
                self._proto.end()
                self._flush()
        except Error:
            pass
        self._closed = True
        self._t.close(hurry=self._hurry or self.gone is not None)

    # ------------------------------------------------------------ reading

    def _flush(self) -> None:
        data = self._proto.data_to_send()
        if data:
            if self._closed:
                raise Error("the client is closed")
            self._t.send(data)

    def _pump(self, until: float | None) -> int:
        """Reads once (waiting up to ``until``) and handles what came; returns
        how many bytes came."""
        left = None if until is None else max(0.0, until - time.monotonic())
        try:
            data = self._t.recv(left)
        except ServerGone as e:
            self.gone = str(e)
            raise
        if not data:
            return 0
        reader = self._reader
        bad = reader.bad
        frames = reader.feed(data)
        if reader.bad != bad:
            self.stats.bad_frames += reader.bad - bad
        if reader.noise:
            self.board_log.console(bytes(reader.noise))
            del reader.noise[:]
        if frames:
            self._heard = time.monotonic()
            self._frames += len(frames)
            events = self._proto.receive(frames)
            self._flush()
            self._handle(events)
        return len(data)

    def _handle(self, events: list) -> None:
        fatal: Error | None = None
        for e in events:
            kind = type(e)
            if kind is pr.Piece or kind is pr.Ended or kind is pr.Accepted:
                self._progress += 1
            elif kind is pr.Log:
                self._log(e.stream, e.data)
            elif kind is pr.Greeting:
                self.greeting = e.greeting
            elif kind is pr.NewSession:
                fatal = fatal or ServerGone(f"{self.target}: a new session began (a new "
                                            "greeting): the board or its server restarted")
            elif kind is pr.Closed:
                fatal = fatal or ServerGone(f"{self.target}: the server closed the session: "
                                            f"{pr.CLOSING[e.code]} ({e.text})")
            elif kind is pr.AuthRefused:
                fatal = fatal or AuthError(f"not authenticated: {e.text}")
        if fatal is not None:
            if isinstance(fatal, ServerGone):
                self.gone = str(fatal)
            raise fatal

    def _log(self, stream: int, data: bytes) -> None:
        now = time.time()
        self.logs.append(LogFrame(now, stream, data, self._proto.last_id))
        self.log_count += 1
        self.board_log.frame(stream, data, now)

    def _await(self, done: Callable[[], bool], until: float | None,
               since: float | None = None) -> bool:
        """Reads until ``done()``; False when ``until`` came first.

        After ``poll`` seconds of silence it asks again (protocol.ask_again:
        the request again, F, or a bare probe), doubling the wait up to a
        third of ``gone_after``; a server silent for ``gone_after`` seconds
        (counted from ``since`` at the earliest) is gone. Ctrl-C cancels
        what runs before it goes on up.
        """
        try:
            return self._await_loop(done, until, since)
        except KeyboardInterrupt:
            self._interrupted()
            raise

    def _await_loop(self, done, until, since) -> bool:
        start = time.monotonic()
        interval, cap = self.poll, max(self.poll, self.gone_after / 3)
        asked = start
        bad = self.stats.bad_frames
        while not done():
            if until is not None and time.monotonic() >= until:
                return False  # also while output streams in without end
            heard = max(self._heard, start if since is None else since)
            # A bad marker may have been the K or R awaited: ask soon.
            wait = interval if self.stats.bad_frames == bad else min(interval, 0.02)
            ask_at = max(heard, asked) + wait
            gone_at = heard + self.gone_after
            wake = min(ask_at, gone_at) if until is None else min(ask_at, gone_at, until)
            progress = self._progress
            frames = self._frames
            self._pump(wake)
            if self._frames != frames:
                if self._progress != progress:
                    interval = self.poll  # it moves: a loss from here on is repaired soon
                continue
            now = time.monotonic()
            if until is not None and now >= until:
                continue  # done() decides first, then the loop's top returns
            if now >= gone_at:
                self.gone = f"{self.target}: no answer for {self.gone_after:g} s"
                raise ServerGone(self.gone)
            if now >= ask_at:
                self._proto.ask_again()
                self._flush()
                asked, bad = now, self.stats.bad_frames
                interval = min(interval * 2, cap)
        return True

    def _interrupted(self) -> None:
        """Ctrl-C: cancels every request in flight and gives them a moment
        to end, so the board is not left running them."""
        if self._interrupting:
            return  # a second Ctrl-C while the first one's cancel runs
        self._hurry = self._interrupting = True
        try:
            for req in list(self._proto.flight.values()):
                self._proto.cancel(req)
            self._flush()
            until = time.monotonic() + INTERRUPT_GRACE
            while self._proto.flight and time.monotonic() < until:
                self._pump(until)
        except (Error, KeyboardInterrupt):
            pass
        finally:
            self._interrupting = False

    def drain(self) -> None:
        """Takes what has already come, without waiting (board log, a new
        greeting, the end of the session)."""
        for _ in range(64):
            if not self._pump(time.monotonic()):
                break

    # ------------------------------------------------------------ opening

    def _handshake(self, token, hello: bool, connect_timeout: float) -> None:
        deadline = time.monotonic() + connect_timeout
        self.greeting = self._first_greeting(hello, deadline, connect_timeout)
        limits = self.greeting.get("limits", {})
        if "chunk" in limits:
            self._reader.line_limit = max(fr.DEFAULT_LINE_LIMIT, 4 * int(limits["chunk"]) + 128)
        if self.greeting.get("auth") != "token":
            return
        if token is None:
            raise AuthError("the server wants a token")
        if isinstance(token, str):
            token = token.encode()
        self._proto.authenticate(token.strip())
        self._proto.h_pending += 1  # the server greets again once the token is right
        self._flush()
        if not self._await(lambda: self._proto.h_pending == 0, deadline):
            raise ServerGone(f"{self.target}: no greeting after the token")

    def _first_greeting(self, hello: bool, deadline: float, seconds: float) -> dict[str, Any]:
        """Waits for a greeting, asking with H (at once with ``hello``, else
        after a second of silence, then every second).

        A server that starts just then sends its own greeting besides the
        answer to H, so greetings that follow within HELLO_SETTLE are taken
        too, and those still owed for the H sent are expected later: none
        of them is taken for a new session.
        """
        sent = got = 0
        greeting = None
        heard = bytearray()
        next_hello = time.monotonic() + (0 if hello else 1.0)
        settle = deadline
        while time.monotonic() < settle:
            now = time.monotonic()
            if greeting is None and now >= next_hello:
                self._t.send(fr.encode("H", 0, 0))
                sent += 1
                next_hello = now + 1.0
            until = settle if greeting is not None else min(next_hello, deadline)
            for f in self._read_frames(until, heard):
                if f.type == "G":
                    got += 1
                    if greeting is None:
                        greeting = pr.decode_greeting(f)
                        self._proto.ids.start_at(greeting["next"])
                        settle = time.monotonic() + HELLO_SETTLE if sent else 0
                elif f.type == "X":
                    self._handle(self._proto.receive([f]))
                elif f.type == "L":
                    self._log(f.n, f.data)
        if greeting is None:
            self.board_log.flush()
            raise NoGreeting(self.target, seconds, bytes(heard))
        self._proto.h_pending = max(0, sent - got)
        return greeting

    def _read_frames(self, until: float, heard: bytearray) -> list[fr.Frame]:
        left = max(0.0, until - time.monotonic())
        data = self._t.recv(left)
        if not data:
            return []
        if len(heard) < HEARD_KEEP:
            heard += data[:HEARD_KEEP - len(heard)]
        frames = self._reader.feed(data)
        if self._reader.old:
            raise pr.old_server()  # its frames would be taken for noise: say why
        if self._reader.noise:
            self.board_log.console(bytes(self._reader.noise))
            del self._reader.noise[:]
        if frames:
            self._heard = time.monotonic()
        return frames

    # ------------------------------------------------------------ requests

    def _send(self, ftype: str, n: int, payload: bytes, line: str | bytes,
              after: bool = False) -> pr.Request:
        if self._closed:
            raise Error("the client is closed")
        if self.gone is not None:
            raise ServerGone(self.gone)
        req = self._proto.request(ftype, n, payload, line, after)
        self._flush()
        return req

    def _settle(self, line: str | bytes, until: float | None, timeout: float | None) -> None:
        """Waits for requests of earlier calls still in flight (a cancelled
        line that had not ended, a started one): the server runs one line
        at a time, so the next would only wait behind them."""
        if not self._proto.flight:
            return
        if not self._await(lambda: not self._proto.flight, until):
            raise Timeout(line, timeout or 0, None, "not run: the line before it still runs")

    def settle(self) -> None:
        """Waits until no line of an earlier call runs (one whose cancel
        did not end it in time, or a started one), for as long as the
        server answers."""
        self._settle("", None, None)

    def _result(self, req: pr.Request) -> Result:
        if req.error is not None:
            raise req.error
        r = req.reply
        return Result(line=req.line, status=r.status, out=bytes(req.out.data),
                      err=bytes(req.err.data), seconds=r.us / 1e6, failed=r.failed,
                      cancelled=r.cancelled, replay=r.replay)

    def _cancel(self, req: pr.Request, timeout: float | None, since: float,
                grace: float = CANCEL_GRACE) -> None:
        """Cancels a request (past its time, when ``timeout`` is given);
        raises Timeout once it ended (or the grace ran out: the next call
        then waits for it)."""
        if timeout is not None:
            self.stats.timeouts += 1
        self._proto.cancel(req)
        self._flush()
        self._await(lambda: req.done, time.monotonic() + max(grace, self.poll * 4), since)
        if req.error is not None:
            raise req.error
        if req.never_ran:
            raise Timeout(req.line, timeout or 0, None, "never ran: the request was lost")
        if req.reply is None:
            raise Timeout(req.line, timeout or 0, None, "not ended by the cancel")
        raise Timeout(req.line, timeout or 0, self._result(req))

    def _wait_result(self, req: pr.Request, timeout: float | None, since: float,
                     until: float | None = None) -> Result:
        """Waits for a request's result; past ``until`` (default: ``since``
        plus ``timeout``) cancels it and raises Timeout."""
        if until is None and timeout is not None:
            until = since + timeout
        if not self._await(lambda: req.done, until, since):
            self._cancel(req, timeout, since)
        return self._result(req)

    @staticmethod
    def _line_bytes(line: str | bytes) -> bytes:
        data = line.encode() if isinstance(line, str) else bytes(line)
        if b"\n" in data:
            raise ValueError("a command line holds no line end")
        return data

    # ------------------------------------------------------------ public API

    def run(self, line: str | bytes, timeout: float | None = None) -> Result:
        """Runs one command line and returns its result.

        With a timeout, a line still running after that many seconds is
        cancelled and Timeout is raised once it ended; the session stays
        usable. A line started earlier (start()) and still running ends
        first; the timeout counts that wait too.
        """
        data = self._line_bytes(line)
        since = time.monotonic()
        until = None if timeout is None else since + timeout
        self._settle(line, until, timeout)
        req = self._send("Q", 0, data, line)
        return self._wait_result(req, timeout, time.monotonic(), until)

    def check(self, line: str | bytes, timeout: float | None = None) -> Result:
        """Like run(), but raises CommandFailed when the result is a failure."""
        from .errors import CommandFailed

        r = self.run(line, timeout)
        if r.failed:
            raise CommandFailed(r)
        return r

    def start(self, line: str | bytes) -> Running:
        """Starts a line and returns at once: the Running request's
        ``expect()`` watches its output as it comes, ``cancel()`` and
        ``wait()`` end it."""
        data = self._line_bytes(line)
        self._settle(line, None, None)
        return Running(self, self._send("Q", 0, data, line))

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
        datas = [self._line_bytes(ln) for ln in lines]
        limits = self.greeting.get("limits", {})
        longest = int(limits.get("line", 1023))
        for index, d in enumerate(datas):
            if len(d) > longest or b"\0" in d:
                e = LineRejected(lines[index], f"longer than {longest} bytes or holds a NUL "
                                 "byte; nothing was sent")
                e.index, e.results = index, [None] * len(datas)
                raise e
        if not datas:
            return []
        self._settle(lines[0], None, None)
        if window is None:
            window = int(limits.get("queue", 1))
        if not self.greeting.get("after"):
            window = 1  # the server cannot keep pipelined requests in order on a lossy link
        return _Batch(self, lines, datas, timeout, max(1, window)).run()

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
        self._settle(payload, None, None)
        since = time.monotonic()
        req = self._send(ftype, n, payload, payload)
        result = self._wait_result(req, timeout, since)
        try:
            return json.loads(result.out)
        except ValueError as e:
            raise ProtocolError(f"{ftype} answer: {e}") from e

    def hello(self, timeout: float = 10.0) -> dict[str, Any]:
        """Asks for the greeting again and returns it."""
        owed = self._proto.h_pending
        self._proto.hello()
        self._flush()
        if not self._await(lambda: self._proto.h_pending <= owed, time.monotonic() + timeout):
            raise ServerGone(f"{self.target}: no greeting")
        return self.greeting

    def alive(self) -> bool:
        """Whether the session still answers: takes what has come (a new
        greeting, an idle timeout, the end of the link), then asks the
        smallest question that draws an answer and waits up to
        ``gone_after`` for it. False once the session has ended."""
        if self._closed or self.gone is not None:
            return False
        try:
            self.drain()
            frames = self._frames
            self._proto.ask_again()
            self._flush()
            self._await(lambda: self._frames != frames, None)
            return True
        except Error:
            return False


class _Batch:
    """One run_many(): a window of pipelined requests, ended in order."""

    def __init__(self, client: Client, lines, datas: list[bytes], timeout: float | None,
                 window: int) -> None:
        self.client = client
        self.lines, self.datas = lines, datas
        self.timeout, self.window = timeout, window
        self.results: list[Result | None] = [None] * len(datas)
        self.flight: collections.deque[tuple[int, pr.Request]] = collections.deque()
        self.sent = 0
        self.first_error: tuple[int, Error] | None = None

    def run(self) -> list[Result]:
        client = self.client
        started = time.monotonic()
        while self.flight or (self.sent < len(self.datas) and self.first_error is None):
            self._refill()
            index, head = self.flight[0]
            until = None if self.timeout is None else started + self.timeout
            if not client._await(lambda: head.done, until, started):
                self._time_out(index, head, started)
            self.flight.popleft()
            started = time.monotonic()
            if head.error is not None:
                if self.first_error is None:
                    self.first_error = (index, head.error)
            else:
                self.results[index] = client._result(head)
        if self.first_error is not None:
            index, error = self.first_error
            error.index, error.results = index, self.results
            raise error
        return self.results  # type: ignore[return-value]

    def _refill(self) -> None:
        """Refills once half the window has ended: one write then carries
        several requests, and the server takes them in one read."""
        if len(self.flight) > self.window // 2:
            return
        proto = self.client._proto
        while self.sent < len(self.datas) and len(self.flight) < self.window \
                and self.first_error is None:
            i = self.sent
            self.flight.append((i, proto.request("Q", 0, self.datas[i], self.lines[i], True)))
            self.sent += 1
        self.client._flush()

    def _time_out(self, index: int, head: pr.Request, since: float) -> None:
        for _, later in self.flight:
            if later is not head:
                self.client._proto.cancel(later)
        try:
            self.client._cancel(head, self.timeout, since)
        except Error as e:
            e.index, e.results = index, self.results
            raise

#!/usr/bin/python3
"""The example shell's server against hostile peers on loopback: floods
that never read (held to the memory bound, a polite client still answered),
the login grace, per-source penalties, sessions ending mid-run (audited,
interpreter freed), accepting short of descriptors, bad token files.

usage: hostile_test.py <kxshell> [--no-rss-bound]   (PYTHONPATH holds clients/python)
--no-rss-bound: a sanitizer build, whose resident size says nothing; the bound is not checked.
"""
import json
import os
import resource
import select
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from kxmuti import frame as fr

SHELL = None
RSS_BOUND = True       # check the resident size against the bound
WAIT = 20.0            # the longest any one step may take
FLOOD_S = 1.0          # how long each flood lasts
BUFFER = 1048576       # the greeting's buffer
KEPT_TOTAL = 262144    # the greeting's keptTotal
SESSION_KIB = 128      # per session beyond those: its fixed record and slack
TOKEN = b"hostile-test-token-0123456789abcdef"


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise AssertionError(f"no {key} for {pid}")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Conn:
    """One TCP session, read frame by frame."""

    def __init__(self, port, src="127.0.0.1"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT,
                                             source_address=(src, 0))
        self.reader = fr.Reader()
        self.frames = []
        self.closed = False

    def send(self, ftype, fid=0, n=0, data=b""):
        self.sock.sendall(fr.encode(ftype, fid, n, data))

    def next(self, timeout=WAIT):
        """The next frame, or None when the server closed the session."""
        end = time.monotonic() + timeout
        while not self.frames and not self.closed and time.monotonic() < end:
            self.sock.settimeout(max(0.01, end - time.monotonic()))
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                break
            except ConnectionError:
                data = b""
            self.closed = not data
            self.frames += self.reader.feed(data)
        return self.frames.pop(0) if self.frames else None

    def expect(self, ftype, fid=None, timeout=WAIT):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            f = self.next(max(0.01, end - time.monotonic()))
            if f is None or (f.type == ftype and (fid is None or f.id == fid)):
                return f
        return None

    def login(self, token=TOKEN):
        self.expect("G")
        self.send("A", 0, 0, token)
        return self.expect("G")

    def reset(self):
        """Closes with a reset (RST), as a peer that vanished."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    def close(self):
        self.sock.close()


class Listener:
    def __init__(self, tmp, *args, token=True, audit=None):
        argv = [SHELL, "--listen", "0"]
        if token:
            path = os.path.join(tmp, "token")
            with open(path, "wb", opener=lambda p, fl: os.open(p, fl, 0o600)) as f:
                f.write(TOKEN + b"\n")
            argv += ["--token-file", path]
        if audit:
            argv += ["--audit", audit]
        self.token = token
        self.proc = subprocess.Popen(argv + list(args), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        line = self.proc.stderr.readline().decode()
        assert "listening on 127.0.0.1:" in line, line
        self.port = int(line.rsplit(":", 1)[1])

    def session(self, src="127.0.0.1"):
        c = Conn(self.port, src)
        if self.token:
            assert c.login() is not None
        else:
            c.expect("G")
        return c

    def polite(self, rid=1):
        """A well-behaved client's echo, in seconds (None: not answered)."""
        start = time.monotonic()
        c = self.session()
        c.send("Q", rid, 0, b"echo polite")
        r = c.expect("R", rid)
        c.close()
        return time.monotonic() - start if r is not None and r.n == 7 else None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.kill()
        self.proc.wait(WAIT)
        self.proc.stderr.close()


def flood(stream, data, seconds):
    """Sends data over and over for seconds to a socket or pipe, never
    reading, never blocking."""
    fd = stream.fileno()
    os.set_blocking(fd, False)
    block = memoryview(data * max(1, 65536 // len(data)))
    pending = block
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if select.select([], [fd], [], 0.05)[1]:
            try:
                pending = pending[os.write(fd, pending):] or block
            except BlockingIOError:
                pass
            except OSError:
                return


def read_until(stream, marker):
    """Reads a pipe until marker was seen; False after WAIT seconds."""
    seen = b""
    end = time.monotonic() + WAIT
    while marker not in seen and time.monotonic() < end:
        if select.select([stream], [], [], 0.1)[0]:
            data = os.read(stream.fileno(), 65536)
            if not data:
                break
            seen += data
    return marker in seen


def reset_peak(pid):
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")


class Served(subprocess.Popen):
    """`kxshell --serve` over pipes, killed if still running at the end."""

    def __init__(self):
        super().__init__([SHELL, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def __exit__(self, *exc):
        if self.poll() is None:
            self.kill()
            self.wait(WAIT)
        super().__exit__(*exc)


class TmpCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def script(self, name, text):
        """A script file in the test's folder; its path as bytes."""
        path = os.path.join(self.tmp.name, name)
        with open(path, "w") as f:
            f.write(text)
        return path.encode()

    def echoes(self, name, count):
        """A script printing count lines of 1 KiB."""
        return self.script(name, ("echo " + "k" * 1018 + "\n") * count)


class Floods(TmpCase):
    """Each flood from a peer that never reads: the server's peak resident
    size stays within its size at start plus what the greeting's limits
    allow the flooding session, and a polite client is answered meanwhile."""

    def assert_peak(self, pid, start, sessions):
        """The peak resident size since reset_peak is within the bound."""
        peak = status_kib(pid, "VmHWM")
        if RSS_BOUND:
            bound = start + (BUFFER + KEPT_TOTAL) // 1024 + sessions * SESSION_KIB
            self.assertLessEqual(peak, bound, f"from {start} KiB")

    def test_tcp_floods(self):
        with Listener(self.tmp.name) as srv:
            self.assertIsNotNone(srv.polite())
            start = status_kib(srv.proc.pid, "VmRSS")
            source = b"source " + self.echoes("kept.kx", 60)  # 60 KiB printed: kept
            for name, authed, data in (
                    ("H before the token", False, fr.encode("H", 0, 0)),
                    ("Q before the token", False, fr.encode("Q", 1, 0, b"echo x")),
                    ("bad markers", False, b"#KX \n"),
                    ("H", True, fr.encode("H", 0, 0)),
                    ("F of a kept result", True, fr.encode("F", 1, 0)),
                    ("a repeated id", True, fr.encode("Q", 1, 0, source))):
                with self.subTest(name):
                    reset_peak(srv.proc.pid)
                    c = Conn(srv.port)
                    if authed:
                        c.login()
                        c.send("Q", 1, 0, source)
                        self.assertEqual(c.expect("R", 1).n, 0)
                    flood(c.sock, data, FLOOD_S)
                    self.assertIsNotNone(srv.polite(2), "the polite client was not answered")
                    self.assert_peak(srv.proc.pid, start, 2)
                    c.close()

    def test_serve_floods_that_never_read(self):
        small = self.echoes("small.kx", 6)
        loud = self.echoes("loud.kx", 8192)  # 8 MiB printed
        for name, data in (("H", fr.encode("H", 0, 0)),
                           ("F of a kept result", fr.encode("F", 1, 0)),
                           ("bad markers", b"#KX \n"),
                           ("a repeated id", None),
                           ("a command's own output", fr.encode("Q", 2, 0, b"source " + loud))):
            with self.subTest(name), Served() as p:
                # A 6 KiB result: each F still draws 350 times its size,
                # and what waits once the peer reads again drains fast.
                source = fr.encode("Q", 1, 0, b"source " + small)
                p.stdin.write(source)
                p.stdin.flush()
                self.assertTrue(read_until(p.stdout, b"#KX R1 "), "no result to keep")
                start = status_kib(p.pid, "VmRSS")
                reset_peak(p.pid)
                flood(p.stdin, data or source, FLOOD_S)
                self.assert_peak(p.pid, start, 1)
                # Once its peer reads again, the session is heard again.
                tail = []
                drain = threading.Thread(target=lambda: tail.append(p.stdout.read()))
                drain.start()
                os.set_blocking(p.stdin.fileno(), True)
                p.stdin.write(fr.encode("Q", 77, 0, b"echo back"))
                p.stdin.close()
                drain.join(WAIT)
                self.assertFalse(drain.is_alive(), "the server never ended")
                ends = [f for f in fr.Reader().feed(tail[0]) if f.type == "R" and f.id == 77]
                self.assertEqual([(f.n, f.data) for f in ends], [(5, b"back\n")])
                self.assertEqual(p.wait(WAIT), 0)

    def test_serve_peer_that_stops_reading_is_closed(self):
        """Over descriptors too, output that moves not a byte within the write
        deadline ends the session, and with it the serving."""
        loud = self.echoes("loud.kx", 8192)  # 8 MiB printed
        with Served() as p:
            start = time.monotonic()
            p.stdin.write(fr.encode("Q", 1, 0, b"source " + loud))
            p.stdin.flush()
            self.assertEqual(p.wait(WAIT), 0)
            self.assertGreaterEqual(time.monotonic() - start, 9.5, "closed before the deadline")


class Authentication(TmpCase):
    def test_grace_counts_from_the_start(self):
        with Listener(self.tmp.name, "--idle", "2") as srv:  # the grace: 2 s
            c = Conn(srv.port)
            c.expect("G")
            start = time.monotonic()
            for _ in range(12):  # an H every 0.4 s: input all along
                c.send("H")
                x = c.expect("X", timeout=0.4)
                if x is not None:
                    break
            self.assertIsNotNone(x, "never closed")
            self.assertEqual(x.n, 10)
            self.assertLess(time.monotonic() - start, 3.0)
            self.assertIsNone(c.next())

    def test_slow_peers_without_token_give_their_places_up(self):
        with Listener(self.tmp.name, "--sessions", "2") as srv:
            slow = [Conn(srv.port) for _ in range(2)]
            for c in slow:
                c.expect("G")
            rig = Conn(srv.port)
            self.assertIsNotNone(rig.login(), "the rig was refused")
            self.assertEqual(slow[0].expect("X").n, 9)  # the oldest gave its place
            rig.send("Q", 1, 0, b"echo rig")
            self.assertEqual(rig.expect("R", 1).n, 4)
            full = Conn(srv.port)  # every place with a token: refused
            self.assertIsNotNone(full.login())
            third = Conn(srv.port)
            self.assertEqual(third.expect("X").n, 9)

    def test_right_tokens_never_count(self):
        with Listener(self.tmp.name) as srv:
            for i in range(12):  # more than the 5 failures a minute allowed
                c = Conn(srv.port)
                self.assertIsNotNone(c.login(), f"login {i} refused")
                c.close()

    def test_one_sources_failures_lock_out_only_that_source(self):
        with Listener(self.tmp.name) as srv:
            for _ in range(5):  # five wrong tokens from 127.0.0.2, not waiting for the answer
                c = Conn(srv.port, "127.0.0.2")
                c.expect("G")
                c.send("A", 0, 0, b"wrong-token-guess-0000")
                time.sleep(0.02)
                c.close()
            locked = Conn(srv.port, "127.0.0.2")
            locked.expect("G")
            start = time.monotonic()
            locked.send("A", 0, 0, TOKEN)
            self.assertEqual(locked.expect("X").n, 8)
            self.assertLess(time.monotonic() - start, 0.2, "refused after a delay, not at once")
            rig = Conn(srv.port, "127.0.0.1")
            self.assertIsNotNone(rig.login(), "another address was locked out")

    def test_token_files_refused_at_start(self):
        path = os.path.join(self.tmp.name, "token")
        for why, data, mode, says in (
                ("too short", b"0123456789abcde\n", 0o600, b"--make-token"),
                ("a NUL byte", b"0123456789\0abcdefgh\n", 0o600, b"--make-token"),
                ("group-readable", TOKEN + b"\n", 0o640, b"chmod 600"),
                ("others-readable", TOKEN + b"\n", 0o604, b"chmod 600")):
            with self.subTest(why):
                with open(path, "wb") as f:
                    f.write(data)
                os.chmod(path, mode)
                p = subprocess.run([SHELL, "--listen", "0", "--token-file", path],
                                   capture_output=True, timeout=WAIT)
                self.assertEqual(p.returncode, 2, p.stderr)
                self.assertIn(says, p.stderr)
        os.unlink(path)
        made = []
        for _ in range(2):
            self.assertEqual(subprocess.run([SHELL, "--make-token", path], timeout=WAIT).returncode, 0)
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
            made.append(open(path, "rb").read())
        self.assertRegex(made[0], rb"^[0-9a-f]{64}\n$")
        self.assertNotEqual(made[0], made[1])
        with Listener(self.tmp.name, "--token-file", path, token=False):
            pass  # started with the made token: it says where it listens


class SessionEnds(TmpCase):
    """However a session ends while its request runs, the request is
    cancelled, the ones waiting are dropped, and every one is audited."""

    def setUp(self):
        super().setUp()
        self.audit = os.path.join(self.tmp.name, "audit")
        sidefx = self.script("sidefx.kx", "mw 80100000 1234\necho written\nmsleep 20000\n"
                             "mw 80100000 9999\n")
        self.srv = self.enterContext(Listener(self.tmp.name, token=False, audit=self.audit))
        self.c = self.srv.session()
        self.c.send("Q", 1, 0, b"source " + sidefx)
        self.c.send("Q", 2, 0, b"echo waiting")

    def records(self, want):
        """The audit's records, as (event, id, how, why), once it holds want
        of them (bounded wait)."""
        end = time.monotonic() + WAIT
        while True:
            with open(self.audit) as f:
                lines = [json.loads(line) for line in f]
            if len(lines) >= want or time.monotonic() > end:
                return [(a["event"], a.get("id"), a.get("how"), a.get("why")) for a in lines]

    def expected(self, how, why):
        return [("start", 1, None, None), ("end", 2, "dropped", None), ("end", 1, how, None),
                ("close", None, None, why)]

    def check_end(self, why, end_session):
        self.assertTrue(self.c.expect("O", 1).data.startswith(b"written\n"))  # in its msleep now
        ended = time.monotonic()
        end_session(self.c)
        self.assertIsNotNone(self.srv.polite(5), "the interpreter was not freed")
        self.assertLess(time.monotonic() - ended, 0.5)
        other = self.srv.session()
        other.send("Q", 6, 0, b"md 80100000 1")
        self.assertEqual(other.expect("R", 6).data, b"80100000: 00001234\n")  # stopped there
        other.close()
        self.assertEqual(self.records(8)[:4], self.expected("closed", why))

    def test_bye(self):
        self.check_end("bye", lambda c: c.send("B"))

    def test_reset(self):
        self.check_end("reset", lambda c: c.reset())

    def test_write_deadline(self):
        self.c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        start = time.monotonic()
        flood(self.c.sock, fr.encode("F", 1, 0), 1.0)  # answers it never reads
        lines = []
        # The deadline is 10 s from when the output stopped moving; a
        # slow (sanitizer) build takes a while to fill the buffers first.
        while time.monotonic() - start < 10 + WAIT and not any(a[0] == "close" for a in lines):
            time.sleep(0.2)
            lines = self.records(0)
        self.assertGreaterEqual(time.monotonic() - start, 9.5)
        self.assertEqual(lines, self.expected("deadline", "deadline"))
        self.assertIsNotNone(self.srv.polite(5))
        self.c.close()


class Accepting(TmpCase):
    def test_out_of_descriptors_backs_off(self):
        with Listener(self.tmp.name, token=False) as srv:
            self.assertIsNotNone(srv.polite())  # set up and serving
            pid = srv.proc.pid
            fds = sorted(int(n) for n in os.listdir(f"/proc/{pid}/fd"))
            lowest = next(i for i in range(len(fds) + 1) if i not in fds)
            old = resource.prlimit(pid, resource.RLIMIT_NOFILE)
            resource.prlimit(pid, resource.RLIMIT_NOFILE, (lowest, old[1]))
            waiting = socket.create_connection(("127.0.0.1", srv.port), timeout=WAIT)
            time.sleep(0.2)
            before = cpu_seconds(pid)
            time.sleep(1.0)
            self.assertLess(cpu_seconds(pid) - before, 0.3, "accept spun")
            resource.prlimit(pid, resource.RLIMIT_NOFILE, old)
            waiting.settimeout(WAIT)
            self.assertTrue(waiting.recv(65536).startswith(b"#KX G"))
            waiting.close()


if __name__ == "__main__":
    SHELL = sys.argv.pop(1)
    for flag in ("--rss-bound", "--no-rss-bound"):
        if flag in sys.argv:
            sys.argv.remove(flag)
            RSS_BOUND = flag == "--rss-bound"
    signal.alarm(300)
    unittest.main(verbosity=2)

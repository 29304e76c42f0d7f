#!/usr/bin/python3
"""The example shell's serving modes, each wait bounded: `--serve` on a
terminal, and the TCP guards of `--listen` on loopback (native runs only).

usage: shell_test.py <kxshell> [<emulator>...]   (PYTHONPATH holds clients/python)
"""
import json
import os
import pty
import select
import socket
import subprocess
import sys
import tempfile
import termios
import time
import unittest

from kxmuti import frame as fr

SHELL = None
EMULATOR = []  # the command that runs target programs (cross builds)
WAIT = 30.0  # the longest any one step may take


class Conn:
    """One TCP session, read frame by frame."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        self.reader = fr.Reader()
        self.frames = []
        self.closed = False

    def send(self, ftype, fid=0, n=0, data=b""):
        self.sock.sendall(fr.encode(ftype, fid, n, data))

    def next(self, timeout=WAIT):
        """The next frame, or None when the server closed the session."""
        end = time.monotonic() + timeout
        while not self.frames and not self.closed:
            self.sock.settimeout(max(0.01, end - time.monotonic()))
            data = self.sock.recv(65536)
            self.closed = not data
            self.frames += self.reader.feed(data)
        return self.frames.pop(0) if self.frames else None

    def expect(self, ftype, fid=None):
        while True:
            f = self.next()
            if f is None or (f.type == ftype and (fid is None or f.id == fid)):
                return f

    def close(self):
        self.sock.close()


def greeted(port, count=1):
    """count sessions, each past its greeting."""
    conns = [Conn(port) for _ in range(count)]
    for c in conns:
        c.expect("G")
    return conns


class Server:
    def __init__(self, *args):
        self.proc = subprocess.Popen([SHELL, "--listen", "0", *args], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        line = self.proc.stderr.readline().decode()
        assert "listening on 127.0.0.1:" in line, line
        self.port = int(line.rsplit(":", 1)[1])

    def stop(self):
        self.proc.kill()
        self.proc.wait(WAIT)
        self.proc.stderr.close()


class Terminal(unittest.TestCase):
    def test_serve_on_a_terminal(self):
        master, slave = pty.openpty()
        before = termios.tcgetattr(slave)
        p = subprocess.Popen([*EMULATOR, SHELL, "--serve"], stdin=slave, stdout=slave,
                             stderr=subprocess.DEVNULL)
        reader, frames, seen = fr.Reader(), [], b""

        def until(ftype):
            end = time.monotonic() + WAIT
            nonlocal seen
            while time.monotonic() < end:
                for f in frames:
                    if f.type == ftype:
                        return f
                if select.select([master], [], [], 0.1)[0]:
                    data = os.read(master, 65536)
                    seen += data
                    frames.extend(reader.feed(data))
            return None

        try:
            self.assertIsNotNone(until("G"))
            during = termios.tcgetattr(slave)
            self.assertEqual(during[3] & (termios.ECHO | termios.ICANON), 0)
            request = fr.encode("Q", 1, 0, b"echo raw")
            os.write(master, request)
            self.assertEqual(until("R").n, 4)
            self.assertNotIn(request.strip(), seen)       # not echoed back
            os.write(master, fr.encode("B", 0, 0))
            self.assertEqual(p.wait(WAIT), 0)
            self.assertEqual(termios.tcgetattr(slave), before)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait(WAIT)
            os.close(master)
            os.close(slave)


class Guards(unittest.TestCase):
    def setUp(self):
        if EMULATOR:
            self.skipTest("TCP is tested natively")
        self.tmp = tempfile.TemporaryDirectory()
        self.token = os.path.join(self.tmp.name, "token")
        with open(os.path.join(self.token), "w") as f:
            f.write("s3cret-token-0123456789\n")
        os.chmod(self.token, 0o600)

    def tearDown(self):
        self.tmp.cleanup()

    def test_other_address_needs_a_token(self):
        for addr in ("0.0.0.0:0", "[::]:0"):
            p = subprocess.run([SHELL, "--listen", addr], capture_output=True, timeout=WAIT)
            self.assertEqual(p.returncode, 2, addr)
            self.assertIn(b"--token-file", p.stderr)

    def test_wrong_token_is_answered_late(self):
        audit = os.path.join(self.tmp.name, "audit")
        srv = Server("--token-file", self.token, "--audit", audit)
        try:
            c = Conn(srv.port)
            g = json.loads(c.expect("G").data)
            self.assertEqual((g["auth"], g["manifest"]), ("token", {}))  # nothing told before the token
            c.send("Q", 1, 0, b"echo no")             # before the token: refused, session stays
            self.assertEqual(c.expect("X").n, 8)
            c.send("H")
            self.assertIsNotNone(c.expect("G"))
            for delay in (0.25, 0.5):                 # doubles per failure from this address
                start = time.monotonic()
                c.send("A", 0, 0, b"s3cret-token-012345678x")
                x = c.expect("X")
                self.assertEqual(x.n, 8)
                self.assertGreaterEqual(time.monotonic() - start, delay * 0.95)
                self.assertIsNone(c.next())           # and the session is closed
                c.close()
                c, = greeted(srv.port)
            c.send("A", 0, 0, b"s3cret-token-0123456789")
            self.assertIn("productversion", json.loads(c.expect("G").data)["manifest"])
            c.send("Q", 7, 0, b"echo hi")
            r = c.expect("R", 7)  # quick: its output travels in R
            self.assertEqual((r.n, r.data), (3, b"hi\n"))
            c.send("B")
            self.assertIsNone(c.next())
        finally:
            srv.stop()
        lines = [json.loads(line) for line in open(audit)]
        self.assertEqual([(a["event"], a.get("line"), a.get("status")) for a in lines],
                         [("close", None, None), ("close", None, None),  # the two wrong tokens
                          ("start", "echo hi", None), ("end", "echo hi", 3), ("close", None, None)])
        self.assertEqual([a["why"] for a in lines if a["event"] == "close"], ["token", "token", "bye"])
        self.assertTrue(lines[2]["peer"].startswith("127.0.0.1:") and "us" in lines[3])

    def test_session_limit(self):
        srv = Server("--sessions", "2")
        try:
            a, b = greeted(srv.port, 2)
            c = Conn(srv.port)
            self.assertEqual(c.next().n, 9)
            self.assertIsNone(c.next())
            a.send("B")
            self.assertIsNone(a.next())
            d = Conn(srv.port)                        # a place is free again
            self.assertEqual(d.next().type, "G")
            b.close(), d.close()
        finally:
            srv.stop()

    def test_idle_timeout(self):
        srv = Server("--idle", "1")
        try:
            busy, idle = greeted(srv.port, 2)
            for _ in range(5):                        # 2 s of greetings keep it alive
                busy.send("H")
                self.assertEqual(busy.expect("G").type, "G")
                time.sleep(0.4)
            x = idle.expect("X")
            self.assertEqual(x.n, 10)
            self.assertIsNone(idle.next())
            busy.send("Q", 1, 0, b"echo alive")
            self.assertEqual(busy.expect("R", 1).n, 6)
        finally:
            srv.stop()

    def test_peer_that_stops_reading_does_not_stall_others(self):
        script = os.path.join(self.tmp.name, "loud")
        with open(script, "w") as f:
            f.write(("echo " + "x" * 1000 + "\n") * 40000)
        srv = Server()
        try:
            stuck = Conn(srv.port)
            stuck.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            stuck.expect("G")
            stuck.send("Q", 1, 0, b"source " + script.encode())
            other, = greeted(srv.port)
            start = time.monotonic()
            other.send("Q", 2, 0, b"echo served")
            r = other.expect("R", 2)
            # Served at all: the stuck session, which held the interpreter
            # with its output, was closed (its kernel buffers would take
            # minutes to drain through the small window, so they are not).
            self.assertIsNotNone(r, "the other session was not served")
            self.assertEqual(r.n, 7)
            self.assertLess(time.monotonic() - start, WAIT)
            stuck.close()
        finally:
            srv.stop()


if __name__ == "__main__":
    SHELL = sys.argv.pop(1)
    EMULATOR = sys.argv[1:]
    del sys.argv[1:]
    unittest.main(verbosity=2)

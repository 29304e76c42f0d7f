#!/usr/bin/python3
"""What hostile peers cost the serve companion: the example shell's peak
resident size under each attack, and whether a polite client on another
session is still answered.  Loopback only; every attack is bounded in time.

usage: bench_attacks.py <kxshell> [seconds-per-attack]   (PYTHONPATH holds clients/python)

Attacks (each against a fresh `kxshell --listen` with a token file, the
last against `kxshell --serve`):

  h-flood      H frames from a peer that never sent a token and never reads
  bad-markers  `#KX ` lines (each draws X 1), same peer
  f-flood      F for a kept 60 KiB result, after the token, never reading
  repeat-id    the same Q id again and again, after the token, never reading
  slow-reader  F flood from a peer that reads about 12 KB/s
  serve-h      H frames into `kxshell --serve` whose standard output nobody reads

Prints one Markdown row per attack: the resident size at the start, the
peak (VmHWM) and the polite client's answer time after the attack.
"""
import os
import select
import socket
import subprocess
import sys
import tempfile
import time

from kxmuti import frame as fr

TOKEN = b"bench-attack-token-0123456789abcdef"


def status_kib(pid, key):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class Peer:
    def __init__(self, port, src="127.0.0.1"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(src, 0))
        self.reader = fr.Reader()
        self.frames = []

    def expect(self, ftype, fid=None, timeout=10.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            while self.frames:
                f = self.frames.pop(0)
                if f.type == ftype and (fid is None or f.id == fid):
                    return f
            self.sock.settimeout(max(0.01, end - time.monotonic()))
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                break
            if not data:
                break
            self.frames += self.reader.feed(data)
        return None

    def login(self):
        self.expect("G")
        self.sock.sendall(fr.encode("A", 0, 0, TOKEN))
        return self.expect("G") is not None


def flood(sock, data, seconds, read_rate=0):
    """Sends data over and over for seconds without blocking; reads
    read_rate bytes a second when given (else nothing)."""
    sock.setblocking(False)
    end = time.monotonic() + seconds
    pending = memoryview(b"")
    block = data * max(1, 65536 // len(data))
    budget, last = 0.0, time.monotonic()
    while time.monotonic() < end:
        if not pending:
            pending = memoryview(block)
        want_read = read_rate > 0
        r, w, _ = select.select([sock] if want_read else [], [sock], [], 0.05)
        if w:
            try:
                pending = pending[sock.send(pending):]
            except BlockingIOError:
                pass
            except OSError:
                return
        if want_read:
            now = time.monotonic()
            budget += (now - last) * read_rate
            last = now
            if r and budget >= 1:
                try:
                    budget -= len(sock.recv(int(min(budget, 65536))))
                except (BlockingIOError, OSError):
                    pass
            time.sleep(0.01)


class Listener:
    def __init__(self, shell, tmp):
        token = os.path.join(tmp, "token")
        with open(token, "wb", opener=lambda p, fl: os.open(p, fl, 0o600)) as f:
            f.write(TOKEN + b"\n")
        self.proc = subprocess.Popen([shell, "--listen", "0", "--token-file", token],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        line = self.proc.stderr.readline().decode()
        assert "listening on" in line, line
        self.port = int(line.rsplit(":", 1)[1])

    def polite(self):
        """Seconds a polite client takes to log in and run echo (None: not served)."""
        start = time.monotonic()
        try:
            p = Peer(self.port)
            if not p.login():
                return None
            p.sock.sendall(fr.encode("Q", 1, 0, b"echo polite"))
            r = p.expect("R", 1, timeout=20)
            p.sock.close()
            return time.monotonic() - start if r is not None else None
        except OSError:
            return None

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        self.proc.stderr.close()


def tcp_attack(shell, tmp, name, seconds):
    srv = Listener(shell, tmp)
    try:
        srv.polite()
        start = status_kib(srv.proc.pid, "VmRSS")
        p = Peer(srv.port)
        if name == "h-flood":
            flood(p.sock, fr.encode("H", 0, 0), seconds)
        elif name == "bad-markers":
            flood(p.sock, b"#KX \n", seconds)
        else:
            p.login()
            script = os.path.join(tmp, "kept.kx")
            with open(script, "w") as f:
                f.write(("echo " + "k" * 1018 + "\n") * 60)  # 60 KiB printed, kept
            p.sock.sendall(fr.encode("Q", 1, 0, b"source " + script.encode()))
            p.expect("R", 1)
            if name == "repeat-id":
                flood(p.sock, fr.encode("Q", 1, 0, b"source " + script.encode()), seconds)
            else:
                flood(p.sock, fr.encode("F", 1, 0), seconds, 12000 if name == "slow-reader" else 0)
        peak = status_kib(srv.proc.pid, "VmHWM")
        answer = srv.polite()
        p.sock.close()
        return start, peak, answer
    finally:
        srv.stop()


def serve_attack(shell, seconds):
    proc = subprocess.Popen([shell, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        time.sleep(0.2)
        start = status_kib(proc.pid, "VmRSS")
        os.set_blocking(proc.stdin.fileno(), False)
        data = fr.encode("H", 0, 0) * 2000
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            select.select([], [proc.stdin], [], 0.05)
            try:
                os.write(proc.stdin.fileno(), data)
            except BlockingIOError:
                pass
        return start, status_kib(proc.pid, "VmHWM"), None
    finally:
        proc.kill()
        proc.wait()


def main():
    shell = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
    print(f"| attack ({seconds:g} s) | start RSS (KiB) | peak RSS (KiB) | polite client after |")
    print("|---|---:|---:|---|")
    with tempfile.TemporaryDirectory() as tmp:
        for name in ("h-flood", "bad-markers", "f-flood", "repeat-id", "slow-reader"):
            start, peak, answer = tcp_attack(shell, tmp, name, seconds)
            told = "not answered" if answer is None else f"answered in {answer * 1e3:.0f} ms"
            print(f"| {name} | {start} | {peak} | {told} |", flush=True)
        start, peak, _ = serve_attack(shell, seconds)
        print(f"| serve-h | {start} | {peak} | - |", flush=True)


if __name__ == "__main__":
    main()

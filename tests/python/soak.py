#!/usr/bin/python3
"""Soak test of the client and the served shell through a damaging link.

A proxy sits between the client and `kxshell --serve`: it puts log lines
between frames and corrupts one frame in N (default 1,000) in each
direction. Mixed requests (passing, failing, unknown, odd bytes, a memory
counter, 1 MiB outputs, cancelled sleeps; some pipelined) are checked against the answers of
an undamaged session. It passes with zero wrong results, zero commands run
twice and every request ended: right, or reported. Prints its counts.

With --rate the proxy also paces each direction as a serial line does
(that many bytes a second, back to back): a 115,200-baud console is
--rate 11520, where a shorter run (a few thousand requests, no 1 MiB
outputs: --big-every 0) takes minutes.

    soak.py --server "build/default/examples/kxshell --serve" --requests 100000
    soak.py --server "..." --requests 5000 --rate 11520 --big-every 0
"""

from __future__ import annotations

import argparse
import collections
import os
import random
import shlex
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "clients" / "python"))

import kxmuti  # noqa: E402
from kxmuti import frame as fr  # noqa: E402
from kxmuti import protocol as pr  # noqa: E402

MEM = 0x80100000
LOGS = [b"[  %d.%06d] usb 1-1: new high-speed USB device number 3\n",
        b"[  %d.%06d] eth0: link up, 100Mbps, full-duplex #KX O 1 0 4 bm9pc2U= 00000000\n",
        b"[  %d.%06d] #KX \n",
        b"[  %d.%06d] \x1b[31mwatchdog: \xff\xfe kicked\x1b[0m\r\n"]
PRINTABLE = bytes(range(0x21, 0x7F))
PIECE = 16  # bytes a paced direction hands over at a time


class Pump(threading.Thread):
    """Copies one direction line by line, adding log lines and corrupting frames."""

    def __init__(self, rfd: int, wfd: int, rng: random.Random, corrupt: int, log_every: int,
                 watch: dict | None, rate: float | None = None) -> None:
        super().__init__(daemon=True)
        self.rfd, self.wfd, self.rng, self.rate = rfd, wfd, rng, rate
        self.free = 0.0  # paced: when the line has sent what it was given
        self.corrupt, self.log_every = corrupt, log_every
        self.frames = self.corrupted = self.logs = 0
        self.by_type: collections.Counter[str] = collections.Counter()
        self.watch = watch  # id -> how many R frames of a run (not a replay) the server sent

    def run(self) -> None:
        buf = b""
        try:
            while True:
                data = os.read(self.rfd, 65536)
                if not data:
                    break
                buf += data
                *lines, buf = buf.split(b"\n")
                out = []
                for line in lines:
                    out.append(self.line(line + b"\n"))
                if out:
                    self.send(b"".join(out))
        except OSError:
            pass
        finally:
            os.close(self.wfd)

    def send(self, data: bytes) -> None:
        """Writes data on, paced when a rate is set: back to back from when
        it came, a piece at a time."""
        if self.rate is None:
            self.write(data)
            return
        came = time.monotonic()
        for at in range(0, len(data), PIECE):
            piece = data[at:at + PIECE]
            self.free = max(self.free, came) + len(piece) / self.rate
            delay = self.free - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            self.write(piece)

    def write(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            view = view[os.write(self.wfd, view):]

    def line(self, line: bytes) -> bytes:
        prefix = b""
        if self.rng.randrange(self.log_every) == 0:
            t = time.monotonic()
            prefix = self.rng.choice(LOGS) % (int(t), int(t * 1e6) % 1000000)
            self.logs += 1
        if not line.startswith(fr.MARKER):
            return prefix + line
        self.frames += 1
        f = fr.parse_line(line)
        if self.watch is not None and f is not None and f.type == "R":
            if not pr.decode_result(f).replay:
                self.watch[f.id] = self.watch.get(f.id, 0) + 1
        if self.rng.randrange(self.corrupt) == 0:
            self.corrupted += 1
            self.by_type[f.type if f else "?"] += 1
            pos = self.rng.randrange(len(line) - 1)
            new = self.rng.choice([b for b in PRINTABLE if b != line[pos]])
            line = line[:pos] + bytes([new]) + line[pos + 1:]
        return prefix + line


def expected_answers(argv: list[str], lines: list[bytes]) -> dict[bytes, tuple]:
    """Each line's answer from a session over a clean pipe."""
    with kxmuti.Client.spawn(argv) as ref:
        return {line: (r.status, r.out, r.err, r.failed)
                for line in lines for r in [ref.run(line)]}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--server", required=True, help="command of the server, e.g. 'kxshell --serve'")
    ap.add_argument("--requests", type=int, default=100000)
    ap.add_argument("--corrupt", type=int, default=1000, help="corrupt one frame in N each way")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--big-every", type=int, default=2000,
                    help="a 1 MiB output every N requests (0: none)")
    ap.add_argument("--rate", type=float, help="pace each way at this many bytes a second")
    ap.add_argument("--sleep-every", type=int, default=1000, help="a cancelled sleep every N requests")
    args = ap.parse_args()
    argv = shlex.split(args.server)
    rng = random.Random(args.seed)

    tmp = tempfile.TemporaryDirectory()
    big = Path(tmp.name) / "big.kx"
    big.write_text(("echo " + "x" * 126 + "\n") * 8192)  # echo keeps the line end: 1 MiB
    big_line = f"source {big}".encode()
    pool = [b"echo hello", b"echo " + bytes(range(0x80, 0x100, 7)) + b" \t'\"\\ end",
            b"echo " + b"w" * 900, b"help", b"md 80100002", b"mw 90000000 1", b"no-such-command 1",
            b"sum 1 2 3 -4", b"sum x", b"args a 'b c' \"d\"", b"tuner FREQ", b"", b"dev status"]
    expect = expected_answers(argv, pool)
    weights = [30, 8, 4, 3, 8, 4, 8, 5, 3, 5, 3, 2, 3]

    server = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    c_read, down_w = os.pipe()  # proxy -> client
    up_r, c_write = os.pipe()   # client -> proxy
    ran: dict[int, int] = {}
    down = Pump(server.stdout.fileno(), down_w, random.Random(rng.random()), args.corrupt, 20, ran,
                args.rate)
    up = Pump(up_r, server.stdin.fileno(), random.Random(rng.random()), args.corrupt, 50, None,
              args.rate)
    down.start()
    up.start()

    counts = collections.Counter()
    wrong: list[str] = []
    start = time.monotonic()
    counter = 0
    # On a paced line an answer of a few KiB takes a good part of a second.
    poll = 0.1 if args.rate is None else 0.5
    with kxmuti.Client.fds(c_read, c_write, poll=poll, gone_after=30) as kx:
        n = 0
        next_big = args.big_every or args.requests + 1  # batches step n by more than 1
        next_sleep = args.sleep_every
        while n < args.requests:
            n += 1
            big = False
            try:
                if n >= next_big:
                    next_big += args.big_every
                    big = True
                    r = kx.run(big_line)
                    ok = r.out == (b"x" * 126 + b"\n\n") * 8192
                    counts["big"] += 1
                elif n >= next_sleep:
                    next_sleep += args.sleep_every
                    try:
                        kx.run("msleep 10000", timeout=0.05)
                        ok = False
                    except kxmuti.Timeout as e:
                        ok = e.result is None or e.result.cancelled
                    counts["cancelled"] += 1
                elif rng.randrange(5) == 0:  # the counter: write, then read back, pipelined
                    counter += 1
                    n += 1
                    w, r = kx.run_many([f"mw {MEM:x} {counter:x}", f"md {MEM:x} 1"])
                    ok = w.ok and r.out == b"%08X: %08X\n" % (MEM, counter)
                    counts["counter"] += 2
                elif rng.randrange(10) == 0:  # a batch, pipelined
                    batch = rng.choices(pool, weights, k=8)
                    n += len(batch) - 1
                    got = kx.run_many(batch)
                    ok = all((r.status, r.out, r.err, r.failed) == expect[line]
                             for line, r in zip(batch, got))
                    counts["batched"] += len(batch)
                else:
                    line = rng.choices(pool, weights)[0]
                    r = kx.run(line)
                    ok = (r.status, r.out, r.err, r.failed) == expect[line]
                    counts["failing" if r.failed else "passing"] += 1
                if not ok:
                    wrong.append(f"request {n}: {r!r}"[:300])
            except kxmuti.OutputLost as e:
                counts["big, reported lost" if big else "reported lost"] += 1
            except kxmuti.Error as e:
                counts["other errors"] += 1
                wrong.append(f"request {n}: {type(e).__name__}: {e}"[:300])
                if isinstance(e, kxmuti.ServerGone):
                    break
        stats = kx.stats
    server.wait(timeout=30)
    seconds = time.monotonic() - start
    twice = sorted(i for i, k in ran.items() if k > 1)

    print(f"requests        {n} in {seconds:.1f} s ({n / seconds:.0f}/s)")
    print("kinds           " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    print(f"frames          to server {up.frames}, to client {down.frames}; "
          f"log lines added {up.logs} / {down.logs}")
    print(f"corrupted       to server {up.corrupted} {dict(up.by_type)}, "
          f"to client {down.corrupted} {dict(down.by_type)}")
    print(f"client          resent {stats.resent}, fetched again {stats.fetched}, "
          f"bad markers {stats.bad_frames}, reported lost {stats.lost}, timeouts {stats.timeouts}")
    print(f"results         wrong {len(wrong)}, run twice {len(twice)}")
    for w in wrong[:10]:
        print("  " + w)
    if twice:
        print(f"  ids run twice: {twice[:10]}")
    return 1 if wrong or twice or counts["other errors"] else 0


if __name__ == "__main__":
    sys.exit(main())

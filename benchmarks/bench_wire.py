#!/usr/bin/python3
"""Bytes on the wire, and time on a link paced like a 115,200-baud serial
console: the protocol client against the same lines typed at the prompt.

    bench_wire.py build/default/examples/kxshell
    bench_wire.py --client OTHER/clients/python OTHER/build/examples/kxshell

Bytes. A relay between the client and `kxshell --serve` counts every byte
each way once the greeting has arrived, for `md 80100000 1`,
`mw 80100000 1`, the lab mix (LAB_MIX below: 200 lines of memory reads and
writes, short sleeps, `help`, 64-word dumps and failing lines) and a
64,768-byte hex dump (`source` of a script of 88 `md 80100000 64`). The
same lines are typed at the shell's prompt on a pseudo-terminal through
pexpect, over the same counting relay: the line and its CR, the echo, the
output with CR-LF, the next prompt. The typed figure is also computed from
the client's results (line + 1, line + 2, output with CR-LF, 3 for the
prompt) as a cross-check; both are printed.

Paced. The relay delivers at most --rate bytes a second each way (11,520:
115,200 baud, 8N1), back to back as a line sends what it holds. The lab
mix runs through the client, one run() after the other and in one
run_many() (requests sent ahead, in order), and through pexpect at the
prompt, each line followed by an `echo` of a marker whose output ends the
line's wait. The client's time is also set against the time its own bytes
need at that rate (both ways added for run(), which waits for each result
before the next request goes out; the longer way for run_many()).

Prints Markdown tables. The client comes from this tree unless --client
names another tree's clients/python (to measure an older protocol).
"""

from __future__ import annotations

import argparse
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pexpect
from pexpect import fdpexpect

BAUD_RATE = 11520  # bytes a second each way: 115,200 baud, 8N1
PIECE = 16         # bytes a paced relay hands over at a time (1.4 ms of the line)
PROMPT = b":) "


def lab_mix() -> list[str]:
    """The lab mix: ten rounds of the same 20 kinds of line on a moving block."""
    lines = []
    for k in range(10):
        a = 0x80100000 + 0x10 * k
        lines += [f"mw {a + 4 * i:x} {0x1111 * k + i:x}" for i in range(5)]
        lines += [f"md {a + 4 * i:x} 1" for i in range(6)]
        lines += [f"md {a:x} 4", f"md {a + 0x10:x} 4"]
        lines += ["msleep 2", "msleep 5", "md 80100000 64", "md 80100000 64", "help"]
        lines += [f"md {a + 2:x}", "nosuch 1"]  # not word-aligned; no such command
    return lines


LAB_MIX = lab_mix()
assert len(LAB_MIX) == 200


class Pump(threading.Thread):
    """Copies one direction, counting bytes as it hands them over; with a
    rate, no faster than that, as a serial line delivers them."""

    def __init__(self, rfd: int, wfd: int, rate: float | None) -> None:
        super().__init__(daemon=True)
        self.rfd, self.wfd, self.rate = rfd, wfd, rate
        self.count = 0

    def run(self) -> None:
        free = 0.0  # when the paced line has sent what it was given
        try:
            while data := os.read(self.rfd, 65536):
                if self.rate is None:
                    self.hand_over(data)
                    continue
                # A line sends the bytes it holds back to back: each piece
                # leaves when the one before it has, or when it came if the
                # line was idle by then. A late wake-up delays the piece it
                # hands over, never the line's schedule.
                came = time.monotonic()
                for at in range(0, len(data), PIECE):
                    piece = data[at:at + PIECE]
                    free = max(free, came) + len(piece) / self.rate
                    delay = free - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
                    self.hand_over(piece)
        except OSError:
            pass  # the far side went away: the measurement is over

    def hand_over(self, data: bytes) -> None:
        self.count += len(data)  # before the write: the reader never sees uncounted bytes
        view = memoryview(data)
        while view:
            view = view[os.write(self.wfd, view):]


class Link:
    """A socket pair whose far end is relayed to a server's descriptors."""

    def __init__(self, server_r: int, server_w: int, rate: float | None) -> None:
        near, self._far = socket.socketpair()
        self.fd = near.detach()  # the client's end; whoever uses it closes it
        far = self._far.fileno()
        self.up = Pump(far, server_w, rate)
        self.down = Pump(server_r, far, rate)
        self.up.start()
        self.down.start()

    def counts(self) -> tuple[int, int]:
        return self.up.count, self.down.count

    def close(self) -> None:
        self._far.close()


def spawn_served(shell: str, rate: float | None):
    """kxshell --serve behind a link; returns (process, link, client)."""
    from kxmuti import Client

    proc = subprocess.Popen([shell, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            bufsize=0)
    link = Link(proc.stdout.fileno(), proc.stdin.fileno(), rate)
    return proc, link, Client.fds(link.fd, link.fd, gone_after=60)


def through_client(shell: str, lines: list[str], rate: float | None = None, many: bool = False):
    """Runs lines through the client, one run() after the other or (many)
    in one run_many(); returns (up, down, seconds, results)."""
    proc, link, kx = spawn_served(shell, rate)
    with kx:
        up0, down0 = link.counts()
        start = time.perf_counter()
        results = kx.run_many(lines) if many else [kx.run(line) for line in lines]
        seconds = time.perf_counter() - start
        up, down = link.counts()
    proc.wait(timeout=30)
    proc.stdin.close()
    proc.stdout.close()
    link.close()
    return up - up0, down - down0, seconds, results


class Prompt:
    """The shell at its prompt on a pseudo-terminal, reached over a link."""

    def __init__(self, shell: str, rate: float | None) -> None:
        self.shell = pexpect.spawn(shell, ["--no-history"], timeout=60)
        self.link = Link(self.shell.child_fd, self.shell.child_fd, rate)
        self.tty = fdpexpect.fdspawn(self.link.fd, timeout=60)
        self.tty.delaybeforesend = None  # pexpect waits 50 ms before each send unless told not to
        self.tty.expect_exact(PROMPT)

    def close(self) -> None:
        self.tty.send(b"quit\r")
        self.shell.wait()  # the relay, not pexpect, reads what the shell writes
        self.shell.close()
        self.tty.close()
        self.link.close()


def typed(shell: str, lines: list[str]) -> tuple[int, int]:
    """Each line typed after the prompt it waits for; bytes (up, down) after the first prompt."""
    p = Prompt(shell, None)
    up0, down0 = p.link.counts()
    for line in lines:
        p.tty.send(line.encode() + b"\r")
        p.tty.expect_exact(b"\r\n" + PROMPT)
    up, down = p.link.counts()
    p.close()
    return up - up0, down - down0


def typed_with_marker(shell: str, lines: list[str], rate: float) -> tuple[float, int, int]:
    """Prompt scraping as rigs do it: each line, then an echo of a marker
    whose output says where the line's output ends. Returns (seconds, up, down)."""
    p = Prompt(shell, rate)
    up0, down0 = p.link.counts()
    start = time.perf_counter()
    for i, line in enumerate(lines):
        marker = f"M{i}K"
        p.tty.send(f"{line}\recho {marker}\r".encode())
        p.tty.expect(rf"\n{marker}\r\n(\r\n)?:\) ".encode())  # typeahead adds a CR-LF
    seconds = time.perf_counter() - start
    up, down = p.link.counts()
    p.close()
    return seconds, up - up0, down - down0


def typed_from_results(lines: list[str], results) -> int:
    """What typing these lines costs, computed from the client's results."""
    total = 0
    for line, r in zip(lines, results):
        shown = (r.out + r.err).replace(b"\n", b"\r\n")
        total += (len(line) + 1) + (len(line) + 2) + len(shown) + len(PROMPT)
    return total


def byte_rows(shell: str, dump_script: Path) -> list[str]:
    rows = []
    cases = [("`md 80100000 1`", ["md 80100000 1"]), ("`mw 80100000 1`", ["mw 80100000 1"]),
             ("lab mix, 200 lines", LAB_MIX)]
    for label, lines in cases:
        up, down, _, results = through_client(shell, lines)
        t_up, t_down = typed(shell, lines)
        computed = typed_from_results(lines, results)
        proto = up + down
        rows.append(f"| {label} | {up:,} + {down:,} = {proto:,} | {t_up + t_down:,} "
                    f"(computed {computed:,}) | {proto / (t_up + t_down):.2f}x |")
    up, down, _, results = through_client(shell, [f"source {dump_script}"])
    size = len(results[0].out)
    if size != 64768 or results[0].failed:
        raise SystemExit(f"the dump printed {size} bytes, status {results[0].status:#x}")
    rows.append(f"| hex dump of {size:,} bytes | {up:,} + {down:,} = {up + down:,} | - | "
                f"{(up + down) / size:.3f}x its size |")
    return rows


def paced_rows(shell: str, rate: float, runs: int) -> list[str]:
    client, many, scraped = [], [], []
    for _ in range(runs):
        up, down, seconds, _ = through_client(shell, LAB_MIX, rate)
        client.append((seconds, up, down))
        up, down, seconds, _ = through_client(shell, LAB_MIX, rate, many=True)
        many.append((seconds, up, down))
        scraped.append(typed_with_marker(shell, LAB_MIX, rate))

    def span(values: list[float]) -> str:
        return f"{statistics.median(values):.2f} s ({min(values):.2f}-{max(values):.2f})"

    c_median = statistics.median(s for s, _, _ in client)
    p_median = statistics.median(s for s, _, _ in scraped)
    _, up, down = client[0]
    need = (up + down) / rate
    _, p_up, p_down = scraped[0]
    m_median = statistics.median(s for s, _, _ in many)
    _, m_up, m_down = many[0]
    m_need = max(m_up, m_down) / rate  # both ways at once
    return [
        f"| client, run() one after the other | {span([s for s, _, _ in client])} | "
        f"{up:,} + {down:,} | {need:.2f} s; took {c_median / need:.2f}x that |",
        f"| client, one run_many() | {span([s for s, _, _ in many])} | "
        f"{m_up:,} + {m_down:,} | {m_need:.2f} s (the longer way); took "
        f"{m_median / m_need:.2f}x that |",
        f"| pexpect at the prompt + end marker | {span([s for s, _, _ in scraped])} | "
        f"{p_up:,} + {p_down:,} | {(p_up + p_down) / rate:.2f} s |",
        f"| client against pexpect | run(): {c_median / p_median:.2f}x the time, "
        f"run_many(): {m_median / p_median:.2f}x | | |",
    ]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("shell", help="the kxshell program")
    ap.add_argument("--client", type=Path,
                    default=Path(__file__).resolve().parents[1] / "clients" / "python",
                    help="folder holding the kxmuti package (default: this tree's)")
    ap.add_argument("--rate", type=float, default=BAUD_RATE, help="paced bytes per second each way")
    ap.add_argument("--runs", type=int, default=3, help="paced runs of each kind (median shown)")
    ap.add_argument("--no-paced", action="store_true", help="count bytes only")
    args = ap.parse_args()
    sys.path.insert(0, str(args.client))
    shell = str(Path(args.shell).resolve())

    with tempfile.TemporaryDirectory() as tmp:
        script = Path(tmp) / "dump.kx"
        script.write_text("md 80100000 64\n" * 88)
        print("| exchange | protocol bytes, up + down | typed at the prompt | ratio |")
        print("|---|---:|---:|---:|")
        for row in byte_rows(shell, script):
            print(row, flush=True)
    if args.no_paced:
        return 0
    print(f"\n| lab mix at {args.rate:,.0f} bytes/s each way | time, median (range) of "
          f"{args.runs} | bytes up + down | their time at that rate |")
    print("|---|---:|---:|---:|")
    for row in paced_rows(shell, args.rate, args.runs):
        print(row, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

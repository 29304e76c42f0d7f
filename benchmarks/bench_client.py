#!/usr/bin/python3
"""Round trips of `echo x`: the protocol client over a pipe against the
conventional way on the same shell (pexpect at the `:) ` prompt, `rc` for the
status and a marker echo to know where the output ends).

    bench_client.py --shell native:build/default/examples/kxshell \
        --shell "qemu:qemu-mipsel -L /usr/mipsel-linux-gnu build/mipsel/examples/kxshell"

Prints a Markdown table: commands per second and the median round trip, for
run() (one request at a time) and run_many() (requests pipelined up to the
server's queue; its "round trip" is a batch's time over its size).
"""

from __future__ import annotations

import argparse
import re
import shlex
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "clients" / "python"))

from kxmuti import Client  # noqa: E402


def bench_client(argv: list[str], n: int) -> list[float]:
    with Client.spawn(argv + ["--serve"]) as kx:
        for _ in range(50):
            kx.run("echo x")
        times = []
        for _ in range(n):
            t = time.perf_counter()
            r = kx.run("echo x")
            times.append(time.perf_counter() - t)
            if r.out != b"x\n" or not r.ok:
                raise SystemExit(f"wrong result: {r}")
    return times


def bench_pipelined(argv: list[str], n: int, batch: int = 500) -> list[float]:
    """run_many() in batches: per batch, its time over its size (one entry per line)."""
    with Client.spawn(argv + ["--serve"]) as kx:
        kx.run_many(["echo x"] * 50)
        times = []
        for _ in range(max(1, n // batch)):
            t = time.perf_counter()
            results = kx.run_many(["echo x"] * batch)
            times += [(time.perf_counter() - t) / batch] * batch
            if any(r.out != b"x\n" or not r.ok for r in results):
                raise SystemExit("wrong result in a batch")
    return times


def bench_pexpect(argv: list[str], n: int) -> list[float]:
    import pexpect

    shell = pexpect.spawn(argv[0], argv[1:] + ["--no-history"], timeout=30, echo=False)
    shell.delaybeforesend = None  # pexpect waits 50 ms before each send unless told not to
    shell.expect_exact(":) ")
    status = re.compile(rb"status 0x([0-9A-F]{8})")
    times = []
    for i in range(n + 20):
        t = time.perf_counter()
        marker = f"M{i}K"
        shell.sendline("rc echo x")
        shell.sendline("echo " + marker)
        shell.expect(r"\n" + marker + r"\r\n(\r\n)?:\) ")
        m = status.search(shell.before)
        if m is None or int(m.group(1), 16) & 0x80000000 or b"x\r\n" not in shell.before:
            raise SystemExit(f"conventional run went wrong: {shell.before!r}")
        if i >= 20:
            times.append(time.perf_counter() - t)
    shell.sendline("quit")
    shell.expect(pexpect.EOF)
    return times


def row(label: str, times: list[float]) -> tuple[str, float, float]:
    return label, len(times) / sum(times), statistics.median(times) * 1e3


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--shell", action="append", required=True, metavar="LABEL:CMD",
                    help="a label and the shell's command (emulator first); repeatable")
    ap.add_argument("-n", type=int, default=5000, help="round trips through the client")
    ap.add_argument("--conventional", type=int, default=500, help="round trips through pexpect")
    args = ap.parse_args()
    rows = []
    for shell in args.shell:
        label, _, cmd = shell.partition(":")
        argv = shlex.split(cmd)
        client = row(f"client run(), {label}", bench_client(argv, args.n))
        many = row(f"client run_many(), {label}", bench_pipelined(argv, args.n))
        plain = row(f"pexpect + marker, {label}", bench_pexpect(argv, args.conventional))
        rows += [client, many, plain,
                 (f"ratio run(), {label}", client[1] / plain[1], plain[2] / client[2]),
                 (f"ratio run_many(), {label}", many[1] / plain[1], plain[2] / many[2])]
    print("| `echo x` round trips | commands/s | median round trip (ms) |")
    print("|---|---:|---:|")
    for label, rate, median in rows:
        if label.startswith("ratio"):
            print(f"| {label} | {rate:.1f}x | {median:.1f}x shorter |")
        else:
            print(f"| {label} | {rate:,.0f} | {median:.3f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())

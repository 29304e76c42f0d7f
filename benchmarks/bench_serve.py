#!/usr/bin/python3
"""The serve companion's cost, measured through the example shell.

usage: bench_serve.py <kxshell> [requests] [repeats]

1. Per-request overhead: <requests> `echo x` requests (default 100000) as
   Q frames in a file, streamed into `kxshell --serve` with its frames
   written to /dev/null, against the same lines run as a script
   (kxMUtiCmd_ExecFile, output to /dev/null).  Best of <repeats> (5) runs
   each; the difference over the request count is the server's cost.
2. Round trip: <requests> / 20 `echo x` requests one at a time over a
   pipe, each sent once the R of the one before has come (frames read
   raw, no client); the median and the best, of <repeats> runs.
3. Peak memory: the largest resident size of `kxshell --serve` over a
   session whose one request prints 16 MiB, against a session whose one
   request prints a line (the start), once with the frames going to
   /dev/null and once through a pipe read slowly, which fills the server's
   output buffer.  The start session is held open a moment (a line that
   sleeps), so that its peak is read while it runs.

Runs natively; under qemu the first figures measure the emulator.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "clients" / "python"))

from kxmuti.frame import encode  # noqa: E402


def frame(ftype, fid, data):
    return encode(ftype, fid, 0, data)


def best(argv, stdin_path, repeats):
    times = []
    for _ in range(repeats):
        with open(stdin_path, "rb") as fin, open(os.devnull, "wb") as fout:
            start = time.perf_counter()
            subprocess.run(argv, stdin=fin, stdout=fout, check=True)
            times.append(time.perf_counter() - start)
    return min(times)


def round_trips(argv, n):
    """Seconds of each `echo x` round trip through `--serve` over pipes."""
    p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    out = p.stdout.fileno()
    seen = b""

    def until(marker):
        nonlocal seen
        while marker not in seen:
            data = os.read(out, 65536)
            if not data:
                raise SystemExit("the server ended")
            seen += data
        seen = seen[seen.index(marker) + len(marker):]

    until(b"#KX G ")
    times = []
    for i in range(1, n + 1):
        request = frame("Q", i, b"echo x")
        start = time.perf_counter()
        os.write(p.stdin.fileno(), request)
        until(b"#KX R %d " % i)
        times.append(time.perf_counter() - start)
    p.stdin.close()
    p.wait()
    p.stdout.close()
    return times


def peak_rss_kib(argv, stdin_path, slow_reader):
    """The server's peak resident size (VmHWM, KiB), read from /proc while
    it runs (the value only grows; the last one read before it ends)."""
    with open(stdin_path, "rb") as fin:
        p = subprocess.Popen(argv, stdin=fin, stdout=subprocess.PIPE if slow_reader else subprocess.DEVNULL)
    peak = 0

    def sample():
        nonlocal peak
        try:
            with open(f"/proc/{p.pid}/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass

    if slow_reader:
        while True:
            sample()
            if not os.read(p.stdout.fileno(), 65536):
                break
            time.sleep(0.002)
    while p.poll() is None:
        sample()
        time.sleep(0.001)
    return peak


def main():
    shell = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    with tempfile.TemporaryDirectory() as tmp:
        script = os.path.join(tmp, "script")
        frames = os.path.join(tmp, "frames")
        with open(script, "wb") as f:
            f.write(b"echo x\n" * n)
        with open(frames, "wb") as f:
            f.write(b"".join(frame("Q", i, b"echo x") for i in range(1, n + 1)))
        t_file = best([shell, script], script, repeats)
        t_serve = best([shell, "--serve"], frames, repeats)
        print(f"{n} requests: script {t_file * 1e3:.1f} ms, served {t_serve * 1e3:.1f} ms")
        print(f"  per line: script {t_file / n * 1e6:.2f} us, served {t_serve / n * 1e6:.2f} us")
        print(f"  server overhead per request: {(t_serve - t_file) / n * 1e6:.2f} us")
        trips = [round_trips([shell, "--serve"], max(100, n // 20)) for _ in range(repeats)]
        medians = sorted(statistics.median(t) for t in trips)
        print(f"echo round trip over pipes: median {medians[len(medians) // 2] * 1e6:.1f} us "
              f"(runs' medians {medians[0] * 1e6:.1f}-{medians[-1] * 1e6:.1f} us), "
              f"best {min(min(t) for t in trips) * 1e6:.1f} us")

        loud = os.path.join(tmp, "loud")
        with open(loud, "wb") as f:
            f.write(("echo " + "x" * 1017 + "\n").encode() * 16384)  # 16 MiB printed
        one = os.path.join(tmp, "one")
        big = os.path.join(tmp, "big")
        with open(one, "wb") as f:
            f.write(frame("Q", 1, b"echo x") + frame("Q", 2, b"msleep 300"))
        with open(big, "wb") as f:
            f.write(frame("Q", 1, b"source " + loud.encode()))
        for slow in (False, True):
            base = peak_rss_kib([shell, "--serve"], one, slow)
            peak = peak_rss_kib([shell, "--serve"], big, slow)
            how = "a slow pipe" if slow else "/dev/null"
            print(f"16 MiB output to {how}: peak RSS {peak} KiB, one echo {base} KiB, "
                  f"difference {peak - base} KiB")


if __name__ == "__main__":
    main()

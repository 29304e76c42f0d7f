#!/usr/bin/python3
"""A rack run in parallel: one suite on four simulated boards with
``pytest -n 4``, against the ideal of its board time divided by four.

    bench_boards.py --shell build/default/examples/kxshell [--tests 20 40] [--ms 250] [--spawned]

The suite is dominated by board time, as real suites are: each test waits
on its board (``msleep``). Board time is what the boards report for their
commands (the results' run times); elapsed is the whole pytest process,
from start to exit, worker start-up and collection included. Prints a
Markdown table; the target is elapsed <= 1.4 x ideal.
"""

from __future__ import annotations

import argparse
import json
import os
import shlex
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))

from simrack import SimRack  # noqa: E402

SUITE = '''
import os

import pytest


@pytest.mark.parametrize("i", range({tests}))
def test_waits_on_the_board(kx, i):
    r = kx.check("msleep {ms}")
    with open(os.environ["KX_BENCH_RECORD"], "a") as f:
        f.write(f"{{kx.board.name}} {{r.seconds}}\\n")
'''


def spawned_map(shell_argv: list[str], folder: Path) -> Path:
    """Four spawned shells, each naming itself in its environment."""
    path = folder / "spawned.yaml"
    lines = ["boards:"]
    for i in range(1, 5):
        command = ["env", f"KX_SIM_BOARD={folder}/sim{i}"] + shell_argv + ["--serve"]
        target = json.dumps("spawn:" + shlex.join(command))  # a JSON string is a YAML one
        lines.append(f"  sim{i}: {{target: {target}, type: sim}}")
    path.write_text("\n".join(lines) + "\n")
    return path


def run(shell_argv: list[str], tests: int, ms: int, workers: int,
        spawned: bool) -> dict[str, float]:
    with tempfile.TemporaryDirectory(prefix="kx-bench-boards-") as tmp, \
            SimRack(shell_argv, Path(tmp)) as rack:
        folder = Path(tmp)
        board_map = spawned_map(shell_argv, folder) if spawned else rack.map
        (folder / "test_bench.py").write_text(SUITE.format(tests=tests, ms=ms))
        record = folder / "record.txt"
        env = dict(os.environ, PYTHONPATH=str(ROOT / "clients" / "python"),
                   PYTHONDONTWRITEBYTECODE="1", KX_BENCH_RECORD=str(record))
        argv = ["/usr/bin/python3", "-m", "pytest", "-q", "-p", "kxmuti.pytest_plugin",
                "-p", "no:cacheprovider", "-p", "no:labgrid", "--kx-boards", str(board_map),
                "-n", str(workers), "test_bench.py"]
        start = time.perf_counter()
        proc = subprocess.run(argv, cwd=folder, env=env, capture_output=True, text=True,
                              timeout=600)
        elapsed = time.perf_counter() - start
        if proc.returncode != 0:
            raise SystemExit(f"the suite failed:\n{proc.stdout[-3000:]}{proc.stderr}")
        rows = [line.split() for line in record.read_text().splitlines()]
    if len(rows) != 4 * tests:
        raise SystemExit(f"{len(rows)} results recorded, {4 * tests} expected")
    board_time = sum(float(seconds) for _, seconds in rows)
    return {"elapsed": elapsed, "board": board_time, "ideal": board_time / 4}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--shell", required=True,
                    help="the example shell's command, emulator first")
    ap.add_argument("--tests", type=int, nargs="+", default=[20, 40], help="tests per board")
    ap.add_argument("--ms", type=int, default=250, help="board time of each test, in ms")
    ap.add_argument("--workers", type=int, default=4, help="pytest-xdist workers (-n)")
    ap.add_argument("--repeat", type=int, default=2, help="runs of each size; each is a row")
    ap.add_argument("--spawned", action="store_true", help="four spawned shells as the rack")
    args = ap.parse_args()
    argv = shlex.split(args.shell)
    # The suite runs in a scratch folder: a relative path to the shell must not break.
    argv = [os.path.abspath(a) if os.path.exists(a) else a for a in argv]
    rack = "4 spawned boards" if args.spawned else "the tests' 4 boards"
    print(f"| {rack}, msleep {args.ms} per test, -n {args.workers} | board time (s) "
          "| ideal = board time / 4 (s) | elapsed (s) | elapsed / ideal |")
    print("|---|---:|---:|---:|---:|")
    for tests in args.tests:
        for i in range(args.repeat):
            r = run(argv, tests, args.ms, args.workers, args.spawned)
            print(f"| {tests} tests per board, run {i + 1} | {r['board']:.2f} | {r['ideal']:.2f} "
                  f"| {r['elapsed']:.2f} | {r['elapsed'] / r['ideal']:.2f} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

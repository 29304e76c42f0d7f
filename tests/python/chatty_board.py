#!/usr/bin/python3
"""A board that talks besides serving: runs a server command (its standard
streams the protocol's) and, after each result it sends, adds a kernel
line between frames and an L frame on standard error, as a busy board's
console would carry.

    chatty_board.py kxshell --serve
"""

import os
import subprocess
import sys
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "clients" / "python"))

from kxmuti import frame as fr  # noqa: E402


def copy_input(proc):
    while True:
        data = os.read(0, 65536)
        if not data:
            break
        proc.stdin.write(data)
        proc.stdin.flush()
    proc.stdin.close()


def main():
    proc = subprocess.Popen(sys.argv[1:], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    threading.Thread(target=copy_input, args=(proc,), daemon=True).start()
    buf, count = b"", 0
    while True:
        data = proc.stdout.read1(65536) if hasattr(proc.stdout, "read1") else os.read(
            proc.stdout.fileno(), 65536)
        if not data:
            break
        buf += data
        *lines, buf = buf.split(b"\n")
        out = []
        for line in lines:
            out.append(line + b"\n")
            if line.startswith(b"#KX R"):
                count += 1
                out.append(b"[   %d.000000] kernel: tick %d\r\n" % (count, count))
                out.append(fr.encode("L", 0, 2, b"late output %d\n" % count))
        os.write(1, b"".join(out))
    sys.exit(proc.wait())


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""A protocol server on standard input and output whose one command,
``stubborn MS``, ignores a cancel and ends only after MS milliseconds (as
a host command that never looks at the cancelled flag does). Any other
line is echoed back with status 0, except ``exit``, which ends the server
without an answer. F is answered as the real server
answers it (K while running, the result again once ended).
"""

import json
import os
import select
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "clients" / "python"))

from kxmuti import frame as fr  # noqa: E402

GREETING = {"protocol": 2, "product": "kxMUti", "after": True, "manifest": {}, "auth": "none",
            "limits": {"line": 1023, "chunk": 4096, "queue": 16}}


def result(rid, status, out=b"", cancelled=False, replay=False):
    """R: status, out, us, then err and flags (failed 1, cancelled 2,
    replay 4) when any, the output as its payload."""
    flags = (3 if cancelled else 0) | (4 if replay else 0)
    return fr.encode("R", rid, status, out, (len(out), 1) + ((0, flags) if flags else ()))


def main():
    send = sys.stdout.buffer
    send.write(fr.encode("G", 0, 2, json.dumps(GREETING).encode(), (1,)))
    send.flush()
    reader = fr.Reader()
    running = None  # (id, end time)
    done = {}
    while True:
        wait = None if running is None else max(0, running[1] - time.monotonic())
        ready, _, _ = select.select([0], [], [], wait)
        out = b""
        if running is not None and time.monotonic() >= running[1]:
            done[running[0]] = result(running[0], 0xFFFFFFFF, cancelled=True)
            out += done[running[0]]
            running = None
        if ready:
            data = os.read(0, 65536)
            if not data:
                return
            for f in reader.feed(data):
                if f.type == "Q" and f.data.startswith(b"stubborn "):
                    running = (f.id, time.monotonic() + int(f.data.split()[1]) / 1000)
                    out += fr.encode("K", f.id, 0)
                elif f.type == "Q" and f.data == b"exit":
                    return  # the board went away
                elif f.type == "Q":
                    done[f.id] = result(f.id, 0, f.data + b"\n")
                    out += done[f.id]  # quick: no K
                elif f.type == "F" and running and f.id == running[0]:
                    out += fr.encode("K", f.id, 0)
                elif f.type == "F":
                    out += done.get(f.id, fr.encode("X", f.id, 6, b"no such request"))
                elif f.type == "B":
                    return
        if out:
            send.write(out)
            send.flush()


if __name__ == "__main__":
    main()

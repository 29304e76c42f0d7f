"""Command line of the client.

    python3 -m kxmuti run TARGET script.kx     run a script line by line
    python3 -m kxmuti frame TYPE ID [TEXT]     print one frame
    python3 -m kxmuti decode [FILE]            show the frames in a stream

TARGET is spawn:CMD, tcp:HOST:PORT or serial:DEV[@BAUD].
"""

from __future__ import annotations

import argparse
import os
import sys

from . import frame as fr
from .client import Client
from .errors import Error, LineRejected, OutputLost, Timeout


def _show(data: bytes) -> str:
    """Bytes as a reader sees them: printable ASCII as is, the rest escaped."""
    return repr(data)[2:-1]


def cmd_run(args: argparse.Namespace) -> int:
    token = None
    if args.token_file:
        with open(args.token_file, "rb") as f:
            token = f.readline().strip()
    try:
        with open(args.script, "rb") as f:
            lines = f.read().split(b"\n")
    except OSError as e:
        print(f"kxmuti: {e}", file=sys.stderr)
        return 2
    if lines and lines[-1] == b"":
        lines.pop()
    failures = 0
    out = sys.stdout.buffer
    try:
        kx = Client.open(args.target, token=token)
    except (Error, ValueError) as e:
        print(f"kxmuti: {args.target}: {e}", file=sys.stderr)
        return 2
    with kx:
        for number, raw in enumerate(lines, 1):
            line = raw[:-1] if raw.endswith(b"\r") else raw
            where = f"{args.script}:{number}"
            try:
                r = kx.run(line, timeout=args.timeout)
            except (Timeout, LineRejected, OutputLost) as e:
                failures += 1
                out.flush()
                print(f"{where}: {e}", file=sys.stderr)
                if args.stop:
                    break
                continue
            except Error as e:
                out.flush()
                print(f"{where}: {e}", file=sys.stderr)
                return 2
            out.write(r.out)
            out.flush()
            if r.err:
                sys.stderr.buffer.write(r.err)
                sys.stderr.flush()
            if r.failed:
                failures += 1
                print(f"{where}: {_show(line)}: status {r.status} (0x{r.status:08X})",
                      file=sys.stderr)
                if args.stop:
                    break
            if line.split(None, 1)[:1] == [b"quit"]:
                break
    return 1 if failures else 0


def cmd_frame(args: argparse.Namespace) -> int:
    data = os.fsencode(args.text)
    n = args.n if args.n is not None else (len(data) if args.type == "P" else 0)
    sys.stdout.buffer.write(fr.encode(args.type, args.id, n, data))
    return 0


def cmd_decode(args: argparse.Namespace) -> int:
    src = open(args.file, "rb") if args.file else sys.stdin.buffer
    reader = fr.Reader()
    with src:
        while True:
            chunk = src.read1(65536) if hasattr(src, "read1") else src.read(65536)
            if not chunk:
                break
            for f in reader.feed(chunk):
                print(f"{f.type} {f.id} {f.n} {_show(f.data)}", flush=True)
    if reader.bad:
        print(f"({reader.bad} marker(s) without a valid frame)", file=sys.stderr)
    return 0


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(prog="python3 -m kxmuti",
                                description="Client of the kxMUti automation protocol")
    sub = p.add_subparsers(dest="what", required=True)
    r = sub.add_parser("run", help="run a script line by line; failing lines as FILE:LINE: ...")
    r.add_argument("target", help="spawn:CMD, tcp:HOST:PORT or serial:DEV[@BAUD]")
    r.add_argument("script")
    r.add_argument("--token-file", help="TCP token: the file's first line")
    r.add_argument("--timeout", type=float, default=None, help="seconds per line")
    r.add_argument("--stop", action="store_true", help="stop at the first failing line")
    r.set_defaults(func=cmd_run)
    f = sub.add_parser("frame", help="print one frame")
    f.add_argument("type")
    f.add_argument("id", type=int)
    f.add_argument("text", nargs="?", default="")
    f.add_argument("-n", type=int, default=None, help="the n field (default: 0; P: the text's length)")
    f.set_defaults(func=cmd_frame)
    d = sub.add_parser("decode", help="show the frames in a stream (standard input or FILE)")
    d.add_argument("file", nargs="?")
    d.set_defaults(func=cmd_decode)
    args = p.parse_args(argv)
    try:
        return args.func(args)
    except ValueError as e:
        print(f"kxmuti: {e}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        return 1


if __name__ == "__main__":
    sys.exit(main())

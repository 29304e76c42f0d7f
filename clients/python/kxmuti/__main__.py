"""Command line of the client.

    python3 -m kxmuti run TARGET script.kx     run a script line by line
    python3 -m kxmuti frame TYPE ID [TEXT]     print one frame
    python3 -m kxmuti decode [FILE]            show the frames in a stream

TARGET is spawn:CMD, tcp:HOST:PORT or serial:DEV[@BAUD] (DEV a device or a
pyserial URL such as rfc2217://HOST:PORT).
"""

from __future__ import annotations

import argparse
import os
import sys

from . import frame as fr
from . import targets
from .client import Client
from .errors import Error, LineRejected, OutputLost, ServerGone, Timeout, TransportError
from .results import as_text

# Exit statuses of "run" (listed by --help).
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_NO_SCRIPT, EXIT_NO_TARGET = 0, 1, 2, 3, 4
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports it
EXIT_STATUSES = f"""exit status:
  {EXIT_OK}    every line passed
  {EXIT_FAILED}    a line failed, timed out or was refused
  {EXIT_USAGE}    wrong arguments
  {EXIT_NO_SCRIPT}    the script could not be read
  {EXIT_NO_TARGET}    the target could not be reached, or the session ended before the script
  {EXIT_INTERRUPTED}  Ctrl-C: the running line was cancelled on the board"""


def _show(data: bytes) -> str:
    """Bytes as a reader sees them: printable ASCII as is, the rest escaped."""
    return repr(data)[2:-1]


def _read_script(path: str) -> list[bytes]:
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return [raw[:-1] if raw.endswith(b"\r") else raw for raw in lines]


def _open(args: argparse.Namespace) -> Client:
    token = None
    if args.token_file:
        with open(args.token_file, "rb") as f:
            token = f.readline().strip()
    options = {"gone_after": args.gone_after}
    if args.connect_timeout is not None:
        options["connect_timeout"] = args.connect_timeout
    return Client.open(args.target, token=token, **options)


def cmd_run(args: argparse.Namespace) -> int:
    targets.parse(args.target)  # a malformed target is wrong usage (ValueError)
    try:
        lines = _read_script(args.script)
    except OSError as e:
        print(f"kxmuti: {args.script}: {e.strerror or e}", file=sys.stderr)
        return EXIT_NO_SCRIPT
    try:
        kx = _open(args)
    except (Error, ValueError, OSError) as e:
        print(f"kxmuti: {e}" if isinstance(e, ServerGone) else f"kxmuti: {args.target}: {e}",
              file=sys.stderr)
        return EXIT_NO_TARGET
    with kx:
        return _run_lines(kx, args, lines)


def _run_lines(kx: Client, args: argparse.Namespace, lines: list[bytes]) -> int:
    """Sends the lines one by one; notes each failing one as FILE:LINE: LINE: WHY."""
    failures = 0
    out = sys.stdout.buffer
    where = args.script
    try:
        for number, line in enumerate(lines, 1):
            where = f"{args.script}:{number}"
            note = _run_line(kx, args, line, out)
            if note:
                failures += 1
                print(f"{where}: {note}", file=sys.stderr)
                if args.stop:
                    break
            if line.split(None, 1)[:1] == [b"quit"]:
                break
    except KeyboardInterrupt:
        out.flush()
        print(f"{where}: interrupted; the line was cancelled on the board", file=sys.stderr)
        return EXIT_INTERRUPTED
    except (ServerGone, TransportError) as e:
        out.flush()
        print(f"{where}: {e}", file=sys.stderr)
        return EXIT_NO_TARGET
    return EXIT_FAILED if failures else EXIT_OK


def _run_line(kx: Client, args: argparse.Namespace, line: bytes, out) -> str:
    """Runs one line and writes its output; returns why it failed, or ""."""
    kx.settle()  # a line before it that its cancel did not end yet: the board is busy
    try:
        r = kx.run(line, timeout=args.timeout)
    except (Timeout, LineRejected, OutputLost) as e:
        out.flush()
        return str(e)
    out.write(r.out)
    out.flush()
    if r.err:
        sys.stderr.buffer.write(r.err)
        sys.stderr.flush()
    if r.failed:
        return f"{as_text(line)}: {r.reason} (status 0x{r.status:08X})"
    return ""


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
                nums = ",".join(str(v) for v in f.nums)
                print(f"{f.type} {f.id} {nums} {_show(f.data)}", flush=True)
    if reader.bad:
        print(f"({reader.bad} marker(s) without a valid frame)", file=sys.stderr)
    if reader.old:
        print(f"({reader.old} frame(s) of protocol version 1, not shown)", file=sys.stderr)
    return 0


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(prog="python3 -m kxmuti",
                                description="Client of the kxMUti automation protocol",
                                epilog="run's " + EXIT_STATUSES,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="what", required=True)
    r = sub.add_parser("run", help="run a script line by line; failing lines as FILE:LINE: ...",
                       description="Runs a script's lines one by one on the target, writes "
                       "their output, and notes each failing line on standard error as "
                       "FILE:LINE: LINE: WHY.", epilog=EXIT_STATUSES,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    r.add_argument("target", help="spawn:CMD, tcp:HOST:PORT or serial:DEV[@BAUD] "
                   "(DEV a device or a pyserial URL)")
    r.add_argument("script")
    r.add_argument("--token-file", help="TCP token: the file's first line")
    r.add_argument("--timeout", type=float, default=None, help="seconds per line")
    r.add_argument("--stop", action="store_true", help="stop at the first failing line")
    r.add_argument("--connect-timeout", type=float, default=None, metavar="S",
                   help="seconds to wait for the server's greeting (default 5, 10 for spawn:)")
    r.add_argument("--gone-after", type=float, default=3.0, metavar="S",
                   help="seconds a silent server is given before it counts as gone (default 3)")
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
        return EXIT_USAGE
    except BrokenPipeError:
        return EXIT_FAILED
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())

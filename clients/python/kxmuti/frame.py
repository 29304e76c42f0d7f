"""Frames of the automation protocol, version 1: making them and finding them.

A frame is one line of printable ASCII, ``#KX <type> <id> <n> <len> <data> <crc>``,
with the payload in base64 and a CRC-32 over everything before the checksum.
The reader finds frames in a byte stream that also carries logs and noise,
and counts the markers whose line was not a valid frame, so that the client
knows it lost something.
"""

from __future__ import annotations

import base64
import binascii
import zlib
from typing import NamedTuple

_crc32 = zlib.crc32
_a2b_base64 = binascii.a2b_base64

MARKER = b"#KX "
U32_MAX = 0xFFFFFFFF
#: Longest line the reader takes before it gives up on a marker: enough for
#: a 64 KiB payload, far more than a version-1 server sends in one frame.
DEFAULT_LINE_LIMIT = 4 * (65536 // 3 + 1) + 64


class Frame(NamedTuple):
    """One valid frame: its type letter, request id, number and payload."""

    type: str
    id: int
    n: int
    data: bytes = b""

    def encode(self) -> bytes:
        return encode(self.type, self.id, self.n, self.data)


def encode(self) -> bytes:
        return encode(self.type, self.id, self.n, self.data)


def encode(ftype: str, fid: int, n: int, data: bytes = b"") -> bytes:
    """Returns the frame as the bytes of one line, ``\\n`` included."""
    if len(ftype) != 1 or not ("A" <= ftype <= "Z"):
        raise ValueError(f"frame type must be one upper-case letter, not {ftype!r}")
    if not (0 <= fid <= U32_MAX and 0 <= n <= U32_MAX):
        raise ValueError("id and n must fit in 32 bits")
    text = base64.b64encode(data) if data else b"-"
    head = b"#KX %s %d %d %d %s " % (ftype.encode(), fid, n, len(data), text)
    return head + b"%08x\n" % zlib.crc32(head)


def parse_line(line: bytes) -> Frame | None:
    """Parses one line that starts at a marker and ends with ``\\n``.

    Returns the frame, or None when the line is not a valid frame (fields,
    sizes, base64 or checksum wrong).
    """
    # The checksum first: it rejects damage and noise in one step, and its
    # field must read exactly as the encoder writes it (8 lower-case digits).
    head, _, tail = line.rpartition(b" ")
    if tail[:8] != b"%08x" % _crc32(line[:len(head) + 1]) or (tail[8:] != b"\n" and tail[8:] != b"\r\n"):
        return None
    fields = head.split(b" ")
    if len(fields) != 6 or fields[0] != b"#KX":
        return None
    _, ftype, sid, sn, slen, text = fields
    # One upper-case letter; numbers decimal, no sign, no leading zero, 32 bits.
    if (len(ftype) != 1 or not 65 <= ftype[0] <= 90
            or len(sid) > 10 or len(sn) > 10 or len(slen) > 10
            or not (sid.isdigit() and sn.isdigit() and slen.isdigit())
            or (sid[0] == 48 and len(sid) > 1) or (sn[0] == 48 and len(sn) > 1)
            or (slen[0] == 48 and len(slen) > 1)):
        return None
    fid, n, size = int(sid), int(sn), int(slen)
    if fid > U32_MAX or n > U32_MAX:
        return None
    if text == b"-":
        return None if size else Frame(ftype.decode(), fid, n, b"")
    try:
        data = _a2b_base64(text, strict_mode=True)
    except binascii.Error:
        return None
    if len(data) != size or not size:
        return None
    return Frame(ftype.decode(), fid, n, data)


class Reader:
    """Finds frames in a byte stream fed piece by piece.

    ``bad`` counts markers whose line was not a valid frame; ``skipped``
    counts bytes outside frames (logs, echo, noise).
    """

    def __init__(self, line_limit: int = DEFAULT_LINE_LIMIT) -> None:
        self.line_limit = line_limit
        self.bad = 0
        self.skipped = 0
        self._buf = b""
        self._keep_noise = False
        self.noise = bytearray()

    def feed(self, data: bytes) -> list[Frame]:
        """Adds bytes and returns every frame that is complete in them."""
        frames: list[Frame] = []
        buf = self._buf + data if self._buf else bytes(data)
        find = buf.find
        limit = self.line_limit
        pos = 0
        end = len(buf)
        while True:
            mark = find(MARKER, pos)
            if mark < 0:
                # Keep a tail that may be the start of a marker.
                keep = max(pos, end - (len(MARKER) - 1))
                if keep > pos:
                    self._outside(buf, pos, keep)
                pos = keep
                break
            if mark > pos:
                self._outside(buf, pos, mark)
            nl = find(b"\n", mark, mark + limit + 1)
            if nl < 0:
                if end - mark <= limit:
                    pos = mark  # the line is not complete yet
                    break
                frame = None  # a marker with no line end in reach
            else:
                frame = parse_line(buf[mark:nl + 1])
            if frame is None:
                self.bad += 1
                self._outside(buf, mark, mark + 1)
                pos = mark + 1
                continue
            pos = nl + 1
            frames.append(frame)
        self._buf = buf[pos:] if pos < end else b""
        return frames

    def _outside(self, buf: bytes, start: int, stop: int) -> None:
        if stop > start:
            self.skipped += stop - start
            if self._keep_noise:
                self.noise += buf[start:stop]

    def keep_noise(self, on: bool = True) -> None:
        """Keeps the bytes outside frames in ``noise`` (for ``decode``)."""
        self._keep_noise = on

    @property
    def pending(self) -> int:
        """Bytes held back: a line not complete yet, or a possible marker."""
        return len(self._buf)

"""Frames of the automation protocol: making them and finding them.

A frame is one line of printable ASCII, ``#KX <type><id> <n>[,<n>...][ <payload>] <crc>``:
the payload as text, with ``\\``, ``#`` and every byte that is not printable
escaped (``\\n``, ``\\r``, ``\\t``, ``\\\\``, ``\\xHH``), and a CRC-32 over
everything before the checksum. The reader finds frames in a byte stream
that also carries logs and noise, and counts the markers whose line was
not a valid frame, so that the client knows it lost something, and the
version-1 frames (``#KX <type> <id> ...``), so that it can say whom it met.
"""

from __future__ import annotations

import re
import zlib
from typing import NamedTuple

_crc32 = zlib.crc32

MARKER = b"#KX "
U32_MAX = 0xFFFFFFFF
#: Numbers a frame carries after its id, at most (the server has the same bound).
NUMS_MAX = 6
#: Longest line the reader takes before it gives up on a marker: enough for
#: a 64 KiB payload with every byte escaped, far more than a server sends in
#: one frame.
DEFAULT_LINE_LIMIT = 4 * 65536 + 128

# Bytes that travel as they are: the printable ones but "#" (so that a frame
# never holds the marker) and "\" (which starts an escape).
_RAW = bytes(c for c in range(0x20, 0x7F) if c not in b"#\\")
_PRINTABLE_BUT_HASH = bytes(c for c in range(0x20, 0x7F) if c != 0x23)
_SHORT = {0x0A: b"\\n", 0x0D: b"\\r", 0x09: b"\\t", 0x5C: b"\\\\"}
_ESCAPE = [bytes([c]) if c in _RAW else _SHORT.get(c, b"\\x%02x" % c) for c in range(256)]
_NOT_RAW = re.compile(b"[^" + re.escape(_RAW) + b"]+")
# What follows a backslash, and the byte it stands for: each byte has one spelling.
_UNESCAPE = {e[1:]: bytes([c]) for c, e in enumerate(_ESCAPE) if e[:1] == b"\\"}
_OLD = object()  # what _parse returns for a version-1 frame


class Frame(NamedTuple):
    """One valid frame: its type letter, request id, number, payload and the
    numbers after the first (``nums`` gives them all)."""

    type: str
    id: int
    n: int
    data: bytes = b""
    more: tuple[int, ...] = ()

    @property
    def nums(self) -> tuple[int, ...]:
        return (self.n, *self.more)

    def encode(self) -> bytes:
        return encode(self.type, self.id, self.n, self.data, self.more)


def escape(data: bytes) -> bytes:
    """The payload as a frame carries it."""
    if not data.translate(None, _RAW):
        return data  # the common case: a command line, plain text
    return _NOT_RAW.sub(lambda m: b"".join(_ESCAPE[c] for c in m.group()), data)


def unescape(text: bytes) -> bytes | None:
    """The bytes of a payload text; None when the encoder would not have written it."""
    if text.translate(None, _PRINTABLE_BUT_HASH):
        return None  # a byte that never travels raw
    if b"\\" not in text:
        return text
    pieces = []
    pos = 0
    find = text.find
    while (at := find(b"\\", pos)) >= 0:
        pieces.append(text[pos:at])
        size = 4 if text[at + 1:at + 2] == b"x" else 2
        byte = _UNESCAPE.get(text[at + 1:at + size])
        if byte is None:
            return None
        pieces.append(byte)
        pos = at + size
    pieces.append(text[pos:])
    return b"".join(pieces)


def encode(ftype: str, fid: int, n: int, data: bytes = b"", more: tuple[int, ...] = ()) -> bytes:
    """Returns the frame as the bytes of one line, ``\\n`` included; ``more``
    are the numbers after ``n``."""
    if len(ftype) != 1 or not ("A" <= ftype <= "Z"):
        raise ValueError(f"frame type must be one upper-case letter, not {ftype!r}")
    nums = (n, *more)
    if len(nums) > NUMS_MAX or not all(0 <= v <= U32_MAX for v in (fid, *nums)):
        raise ValueError(f"id and at most {NUMS_MAX} numbers, each fitting in 32 bits")
    head = b"#KX %s%d %s " % (ftype.encode(), fid, b",".join(b"%d" % v for v in nums))
    if data:
        head += escape(data) + b" "
    return head + b"%08x\n" % _crc32(head)


def _number(text: bytes) -> int | None:
    """A decimal number: no sign, no leading zero, 32 bits."""
    if not text.isdigit() or len(text) > 10 or (text[0] == 48 and len(text) > 1):
        return None
    value = int(text)
    return value if value <= U32_MAX else None


def _parse(line: bytes):
    """A frame, None, or _OLD for a version-1 frame; see parse_line."""
    # The checksum first: it rejects damage and noise in one step, and its
    # field must read exactly as the encoder writes it (8 lower-case digits).
    end = len(line) - (2 if line.endswith(b"\r\n") else 1)
    if (line[end:] not in (b"\n", b"\r\n") or end < 17 or line[end - 9] != 32
            or line[end - 8:end] != b"%08x" % _crc32(line[:end - 8]) or not line.startswith(MARKER)):
        return None
    ftype = line[4]
    if not 65 <= ftype <= 90:
        return None
    if line[5] == 32:
        return _OLD
    fields = line[5:end - 9].split(b" ", 2)
    if len(fields) < 2:
        return None
    fid = _number(fields[0])
    nums = [_number(v) for v in fields[1].split(b",", NUMS_MAX)]
    if len(fields) == 2:
        data = b""
    else:  # after a blank, at least one byte of payload
        data = unescape(fields[2]) if fields[2] else None
    if fid is None or None in nums or len(nums) > NUMS_MAX or data is None:
        return None
    return Frame(chr(ftype), fid, nums[0], data, tuple(nums[1:]))


def parse_line(line: bytes) -> Frame | None:
    """Parses one line that starts at a marker and ends with ``\\n``.

    Returns the frame, or None when the line is not a valid frame (fields,
    escapes or checksum wrong, or a version-1 frame).
    """
    frame = _parse(line)
    return None if frame is _OLD else frame


class Reader:
    """Finds frames in a byte stream fed piece by piece.

    ``bad`` counts markers whose line was not a valid frame; ``old`` counts
    version-1 frames (taken whole, checksum right, not returned); ``skipped``
    counts bytes outside frames (logs, echo, noise).
    """

    def __init__(self, line_limit: int = DEFAULT_LINE_LIMIT) -> None:
        self.line_limit = line_limit
        self.bad = 0
        self.old = 0
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
                frame = _parse(buf[mark:nl + 1])
            if frame is None:
                self.bad += 1
                self._outside(buf, mark, mark + 1)
                pos = mark + 1
                continue
            pos = nl + 1
            if frame is _OLD:
                self.old += 1
            else:
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

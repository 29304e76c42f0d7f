"""The frame codec: the shared vectors (tests/vectors/frames.txt), single
flipped bits, and a reader that takes only valid frames out of a stream that
also holds logs and damage."""

import os
import random
import re
import zlib
from pathlib import Path

import pytest

from conftest import ROOT
from kxmuti import frame as fr

# CTest names the file; run by hand, the tree's.
VECTORS = Path(os.environ.get("KX_FRAME_VECTORS", ROOT / "tests" / "vectors" / "frames.txt"))


def expand(text: str) -> bytes:
    """The file's notation: {crc} the CRC-32 of what comes before, {HH} a byte, {HH*N} N of them."""
    out = bytearray()
    for literal, what in re.findall(r"([^{]*)(?:\{([^}]*)\})?", text):
        out += literal.encode()
        if what == "crc":
            out += b"%08x" % zlib.crc32(out)
        elif what:
            byte, _, count = what.partition("*")
            out += bytes([int(byte, 16)]) * int(count or 1)
    return bytes(out)


def load(*kinds: str) -> list:
    """(kind, fields, line) of each vector of these kinds, named by its line in the file."""
    vectors = []
    for number, text in enumerate(VECTORS.read_text().splitlines(), 1):
        kind = text.split(" ", 1)[0]
        if kind in kinds:
            parts = text.split(" ", 5 if kind == "frame" else 1)
            vectors.append(pytest.param(kind, parts[1:-1], expand(parts[-1]), id=f"line {number}"))
    return vectors


FRAMES = load("frame")


@pytest.mark.parametrize("kind,fields,line", FRAMES)
def test_frames_read_and_encode_back(kind, fields, line):
    ftype, fid, nums, payload = fields
    n, *more = (int(v) for v in nums.split(","))
    frame = fr.Frame(ftype, int(fid), n, b"" if payload == "-" else bytes.fromhex(payload), tuple(more))
    assert fr.parse_line(line + b"\n") == frame
    assert fr.parse_line(line + b"\r\n") == frame
    assert frame.encode() == line + b"\n"


@pytest.mark.parametrize("kind,fields,line", load("bad", "huge", "old"))
def test_rejects_read_as_what_they_are(kind, fields, line):
    reader = fr.Reader()
    frames = reader.feed(line + b"\n")
    if kind == "huge":  # a frame the server refuses; the client has no such limit
        assert [len(f.data) > 4096 for f in frames] == [True] and reader.bad == 0
    elif kind == "old":
        assert (frames, reader.old, reader.bad) == ([], 1, 0)
        assert fr.parse_line(line + b"\n") is None
    else:
        assert (frames, reader.old) == ([], 0) and reader.bad >= 1
        assert fr.parse_line(line + b"\n") is None


@pytest.mark.parametrize("kind,fields,line", FRAMES)
def test_no_flipped_bit_is_a_frame(kind, fields, line):
    good = line + b"\n"
    for bit in range(8 * len(good)):
        bad = bytearray(good)
        bad[bit // 8] ^= 1 << bit % 8
        reader = fr.Reader()
        assert (reader.feed(bytes(bad)), reader.old) == ([], 0), bit


def test_any_payload_and_numbers_round_trip_as_printable_lines():
    rng = random.Random(7)
    for size in list(range(300)) + [4096, 65536]:
        data = bytes(rng.choice((rng.randrange(256), 0x23, 0x5C, 0x0A, 0x20)) for _ in range(size))
        nums = tuple(rng.choice((0, 1, fr.U32_MAX, rng.randrange(1 << 32))) for _ in range(rng.randint(1, 6)))
        frame = fr.Frame(rng.choice("QORXG"), rng.randrange(1 << 32), nums[0], data, nums[1:])
        line = frame.encode()
        assert fr.parse_line(line) == frame
        assert b"#" not in line[1:] and all(0x20 <= c <= 0x7E for c in line[:-1]), line


def test_encode_refuses_what_no_frame_can_carry():
    for args in (("q", 1, 0), ("R", 1 << 32, 0), ("R", 1, -1), ("R", 1, 0, b"", (1,) * 6),
                 ("R", 1, 0, b"", (1 << 32,))):
        with pytest.raises(ValueError):
            fr.encode(*args)


def test_reader_takes_frames_out_of_noise_fed_in_any_pieces():
    frames = [fr.Frame("O", i, i * 3, bytes([i, 0x23, 0x0A]) * i, (i,) * (i % 6)) for i in range(1, 40)]
    stream = bytearray(b"U-Boot 2026.01\r\n#KX \n")
    for f in frames:
        stream += b"[ 1.5] log line #KX O1 2 junk\n" + f.encode()
    stream += b"#KX Q 1 0 10 ZWNobyBoZWxsbw== 2e9a3d8a\n"  # version 1
    stream += b"#KX R1"  # a frame cut off by a reset
    rng = random.Random(1)
    for _ in range(20):
        reader, got, pos = fr.Reader(), [], 0
        while pos < len(stream):
            step = rng.randint(1, 97)
            got += reader.feed(bytes(stream[pos:pos + step]))
            pos += step
        assert got == frames
        assert reader.bad == 1 + len(frames)  # the bare marker and one per log line
        assert reader.old == 1


def test_truncated_frame_loses_only_itself():
    good1, good2 = fr.encode("O", 1, 0, b"a" * 50), fr.encode("R", 1, 50, b"{}")
    reader = fr.Reader()
    got = reader.feed(good1[:30] + good2 + good1)
    assert got == [fr.parse_line(good2), fr.parse_line(good1)]
    assert reader.bad == 1


def test_reader_gives_up_on_a_marker_without_line_end_in_its_limit():
    reader = fr.Reader(line_limit=64)
    good = fr.encode("K", 9, 0)
    assert reader.feed(b"#KX " + b"x" * 100) == []
    assert reader.feed(b"\n" + good) == [fr.parse_line(good)]
    assert reader.bad == 1 and reader.pending == 0

"""The frame codec: the protocol document's frames, and a reader that takes
only valid frames out of a stream that also holds logs and damage."""

import random

import pytest

from kxmuti import frame as fr

# Frames printed in the protocol document, each valid.
DOC_FRAMES = [
    (b"#KX Q 1 0 10 ZWNobyBoZWxsbw== 2e9a3d8a\n", fr.Frame("Q", 1, 0, b"echo hello")),
    (b"#KX K 1 0 0 - f2f951ad\n", fr.Frame("K", 1, 0)),
    (b"#KX O 1 0 6 aGVsbG8K 46a50bda\n", fr.Frame("O", 1, 0, b"hello\n")),
    (b"#KX Q 2 0 10 bXNsZWVwIGFiYw== 88f1c3cb\n", fr.Frame("Q", 2, 0, b"msleep abc")),
    (b"#KX Q 3 0 11 bXNsZWVwIDUwMDA= 154633d6\n", fr.Frame("Q", 3, 0, b"msleep 5000")),
    (b"#KX C 3 0 0 - a30b1624\n", fr.Frame("C", 3, 0)),
    (b"#KX F 1 0 0 - 0707da1d\n", fr.Frame("F", 1, 0)),
    (b"#KX D 4 0 0 - 4b120444\n", fr.Frame("D", 4, 0)),
    (b"#KX P 5 4 4 aGVscA== e27a7db1\n", fr.Frame("P", 5, 4, b"help")),
    (b"#KX H 0 0 0 - d564ea30\n", fr.Frame("H", 0, 0)),
]


@pytest.mark.parametrize("line,frame", DOC_FRAMES)
def test_document_frames_encode_and_parse(line, frame):
    assert frame.encode() == line
    assert fr.parse_line(line) == frame
    assert fr.parse_line(line.replace(b"\n", b"\r\n")) == frame


def corrupt_variants():
    good = fr.encode("O", 7, 4096, b"data\x00\xff")
    head, crc = good.rsplit(b" ", 1)
    yield "bad crc", head + b" " + (b"%08x\n" % (int(crc, 16) ^ 1))
    yield "leading zero", fr.encode("O", 7, 4096, b"x").replace(b" 7 ", b" 07 ")
    yield "id over 32 bits", fr.encode("O", 0, 0, b"x").replace(b" 0 0 ", b" 4294967296 0 ", 1)
    yield "len too big", fr.encode("K", 1, 0).replace(b" 0 - ", b" 1 - ")
    yield "empty payload as base64", fr.encode("O", 1, 0, b"").replace(b" - ", b" AA== ")
    yield "two blanks", good.replace(b" ", b"  ", 1)
    yield "lower-case type", good.replace(b"#KX O", b"#KX o")
    yield "no line end", good[:-1] + b" "
    # Damage that keeps the checksum right cannot happen by chance; these
    # prove that each field is checked, not only the checksum.
    for name, bad in (("len mismatch", b"#KX O 1 0 5 aGVsbG8K "),
                      ("bad base64", b"#KX O 1 0 6 aGVs*G8K ")):
        yield name, bad + b"%08x\n" % fr.zlib.crc32(bad)


@pytest.mark.parametrize("name,line", list(corrupt_variants()))
def test_invalid_lines_are_not_frames(name, line):
    assert fr.parse_line(line) is None


def test_numbers_reach_32_bits_and_payload_bytes_are_exact():
    data = bytes(range(256))
    f = fr.parse_line(fr.encode("R", 0xFFFFFFFF, 0xFFFFFF01, data))
    assert (f.id, f.n, f.data) == (0xFFFFFFFF, 0xFFFFFF01, data)
    with pytest.raises(ValueError):
        fr.encode("R", 1 << 32, 0)


def test_reader_takes_frames_out_of_noise_fed_in_any_pieces():
    frames = [fr.Frame("O", i, i * 3, bytes([i]) * i) for i in range(1, 40)]
    stream = bytearray(b"U-Boot 2026.01\r\n#KX \n")
    for f in frames:
        stream += b"[ 1.5] log line #KX O 1 2 junk\n" + f.encode()
    stream += b"#KX R 1"  # a frame cut off by a reset
    rng = random.Random(1)
    for _ in range(20):
        reader, got, pos = fr.Reader(), [], 0
        while pos < len(stream):
            step = rng.randint(1, 97)
            got += reader.feed(bytes(stream[pos:pos + step]))
            pos += step
        assert got == frames
        assert reader.bad == 1 + len(frames)  # the bare marker and one per log line


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

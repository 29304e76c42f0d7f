// Fuzz target: the serve companion's frame codec.  Byte 0 picks the mode.
// Reading (bit 7 clear): the rest is fed to the reader at once and in
// pieces; every frame it takes is well-formed and re-encodes to a frame read
// back the same, and the pieces give the same frames and errors as the
// whole.  Encoding (bit 7 set): the rest makes a frame (type, id, numbers,
// a bit to flip, payload); its line is printable ASCII with the marker only
// at its start, reads back exactly, and with that one bit flipped is no
// frame at all; its version-1 encoding reads as one.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "FuzzCheck.h"
#include "SrvFrame.h"

namespace {

SrvReader gReader;
SrvFrame gFrame, gAgain, gWant;
char gEncoded[SrvFrame_Size(KXSRV_FRAME_MAX)];

constexpr size_t kMaxEvents = 4096;
struct Event {
    int kind;     // SrvReadResult
    uint32_t crc; // of the frame's fields, for comparing runs
};

uint32_t FrameCrc(const SrvFrame &f)
{
    uint32_t crc = Srv_Crc32(0, &f.type, 1);
    crc = Srv_Crc32(crc, &f.id, sizeof f.id);
    crc = Srv_Crc32(crc, f.nums, f.nNums * sizeof f.nums[0]);
    return Srv_Crc32(crc, f.payload, f.len);
}

bool SameFrame(const SrvFrame &a, const SrvFrame &b)
{
    return a.type == b.type && a.id == b.id && a.n == b.n && a.nNums == b.nNums &&
           memcmp(a.nums, b.nums, a.nNums * sizeof a.nums[0]) == 0 && a.len == b.len &&
           memcmp(a.payload, b.payload, a.len) == 0;
}

// The encoded line's shape: printable ASCII, one "\n" at its end, no "#"
// but the marker's, so neither XON/XOFF nor a marker can occur inside.
void CheckLine(const char *pLine, uint32_t n, uint32_t len)
{
    CHECK(n <= SrvFrame_Size(len) && memcmp(pLine, SRV_MARKER, SRV_MARKER_LEN) == 0);
    CHECK(pLine[n - 1] == '\n');
    for (uint32_t i = 1; i + 1 < n; i++)
        CHECK(pLine[i] >= 0x20 && pLine[i] <= 0x7E && pLine[i] != '#');
}

void CheckFrame(const SrvFrame &f)
{
    CHECK(f.type >= 'A' && f.type <= 'Z');
    CHECK(f.nNums >= 1 && f.nNums <= KXSRV_FRAME_NUMS && f.n == f.nums[0]);
    CHECK(f.len <= KXSRV_FRAME_MAX);
    CHECK(f.payload[f.len] == '\0');
    const uint32_t n =
        SrvFrame_EncodeNums(gEncoded, f.type, f.id, f.nums, f.nNums, f.payload, f.len);
    CheckLine(gEncoded, n, f.len);
    CHECK(SrvFrame_Parse(reinterpret_cast<unsigned char *>(gEncoded), n - 1, &gAgain) ==
          SRV_READ_FRAME);
    CHECK(SameFrame(gAgain, f));
}

// Reads data in pieces of step bytes (0: as much as fits); records events.
size_t Run(const uint8_t *data, size_t size, size_t step, Event *pEvents)
{
    size_t nEvents = 0, at = 0;
    SrvReader_Init(&gReader);
    for (;;) {
        const bool eof = at == size;
        for (;;) {
            const SrvReadResult r = SrvReader_Next(&gReader, &gFrame, eof);
            CHECK(gReader.head <= gReader.tail && gReader.tail <= SRV_READER_SIZE);
            if (r == SRV_READ_NONE)
                break;
            CHECK(r == SRV_READ_FRAME || r == SRV_READ_BAD || r == SRV_READ_HUGE ||
                  r == SRV_READ_OLD);
            if (r == SRV_READ_FRAME)
                CheckFrame(gFrame);
            if (nEvents < kMaxEvents)
                pEvents[nEvents++] = {r, r == SRV_READ_FRAME ? FrameCrc(gFrame) : 0u};
        }
        if (eof)
            return nEvents;
        unsigned char *pDst;
        const uint32_t room = SrvReader_Space(&gReader, &pDst);
        CHECK(room > 0); // after the reader reports NONE there is always room
        size_t n = size - at < room ? size - at : room;
        if (step != 0 && n > step)
            n = step;
        memcpy(pDst, data + at, n);
        SrvReader_Commit(&gReader, static_cast<uint32_t>(n));
        at += n;
    }
}

Event gWhole[kMaxEvents], gPieces[kMaxEvents];

void FuzzReader(const uint8_t *data, size_t size, size_t step)
{
    const size_t nWhole = Run(data, size, 0, gWhole);
    const size_t nPieces = Run(data, size, step, gPieces);
    CHECK(nWhole == nPieces);
    for (size_t i = 0; i < nWhole; i++)
        CHECK(gWhole[i].kind == gPieces[i].kind && gWhole[i].crc == gPieces[i].crc);
}

// Takes n bytes from the input as a little-endian number (zeros past its end).
uint32_t Take(const uint8_t **pp, const uint8_t *pEnd, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; i++, (*pp)++)
        v |= static_cast<uint32_t>(*pp < pEnd ? **pp : 0u) << (8 * i);
    return v;
}

void FuzzEncoder(const uint8_t *p, const uint8_t *pEnd)
{
    SrvFrame &want = gWant;
    want.type = static_cast<char>('A' + Take(&p, pEnd, 1) % 26u);
    want.id = Take(&p, pEnd, 4);
    want.nNums = 1u + Take(&p, pEnd, 1) % KXSRV_FRAME_NUMS;
    for (uint32_t i = 0; i < want.nNums; i++)
        want.nums[i] = Take(&p, pEnd, 4);
    want.n = want.nums[0];
    const uint32_t flip = Take(&p, pEnd, 2);
    const size_t rest = p < pEnd ? static_cast<size_t>(pEnd - p) : 0;
    want.len = static_cast<uint32_t>(rest < KXSRV_FRAME_MAX ? rest : KXSRV_FRAME_MAX);
    if (want.len > 0)
        memcpy(want.payload, p, want.len);
    want.payload[want.len] = '\0';

    const uint8_t *pLine = reinterpret_cast<const uint8_t *>(gEncoded);
    const uint32_t nV1 =
        SrvFrame_EncodeV1(gEncoded, want.type, want.id, want.n, want.payload, want.len);
    CHECK(nV1 <= SrvFrame_SizeV1(want.len));
    CHECK(Run(pLine, nV1, 0, gWhole) == 1 && gWhole[0].kind == SRV_READ_OLD);

    const uint32_t n = SrvFrame_EncodeNums(gEncoded, want.type, want.id, want.nums, want.nNums,
                                           want.payload, want.len);
    CheckLine(gEncoded, n, want.len);
    CHECK(Run(pLine, n, 0, gWhole) == 1 && gWhole[0].kind == SRV_READ_FRAME);
    CHECK(SameFrame(gFrame, want));

    gEncoded[flip % n] = static_cast<char>(gEncoded[flip % n] ^ (1 << (flip >> 13)));
    const size_t nEvents = Run(pLine, n, 0, gWhole);
    for (size_t i = 0; i < nEvents; i++)
        CHECK(gWhole[i].kind == SRV_READ_BAD);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    if ((data[0] & 0x80) != 0)
        FuzzEncoder(data + 1, data + size);
    else
        FuzzReader(data + 1, size - 1, 1u + data[0] % 61u); // odd pieces split lines anywhere
    return 0;
}

// Fuzz target: the serve companion's frame reader.  Checks that whatever
// the bytes, every frame it takes is well-formed and re-encodes to a frame
// it reads back the same, and that feeding the input in pieces gives the
// same frames and errors as feeding it at once.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "SrvFrame.h"

namespace {

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "fuzz check failed: %s (line %d)\n", #cond, __LINE__);                 \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

SrvReader gReader;
SrvFrame gFrame, gAgain;
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
    crc = Srv_Crc32(crc, &f.n, sizeof f.n);
    return Srv_Crc32(crc, f.payload, f.len);
}

void CheckFrame(const SrvFrame &f)
{
    CHECK(f.type >= 'A' && f.type <= 'Z');
    CHECK(f.len <= KXSRV_FRAME_MAX);
    CHECK(f.payload[f.len] == '\0');
    const uint32_t n = SrvFrame_Encode(gEncoded, f.type, f.id, f.n, f.payload, f.len);
    CHECK(n <= sizeof gEncoded && gEncoded[n - 1] == '\n');
    CHECK(SrvFrame_Parse(reinterpret_cast<unsigned char *>(gEncoded), n - 1, &gAgain) ==
          SRV_READ_FRAME);
    CHECK(gAgain.type == f.type && gAgain.id == f.id && gAgain.n == f.n && gAgain.len == f.len &&
          memcmp(gAgain.payload, f.payload, f.len) == 0);
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
            CHECK(r == SRV_READ_FRAME || r == SRV_READ_BAD || r == SRV_READ_HUGE);
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t step = 1u + data[0] % 61u; // odd piece sizes split lines anywhere
    const size_t nWhole = Run(data + 1, size - 1, 0, gWhole);
    const size_t nPieces = Run(data + 1, size - 1, step, gPieces);
    CHECK(nWhole == nPieces);
    for (size_t i = 0; i < nWhole; i++)
        CHECK(gWhole[i].kind == gPieces[i].kind && gWhole[i].crc == gPieces[i].crc);
    return 0;
}

// Fuzz target: the serve companion's session core.  The input is a script:
// byte 0 sets the session up (token, TCP or descriptors, timers), then each
// step feeds bytes, a well-formed frame or one of version 1, moves the
// clock, runs the interpreter's side (start, output, the hold's end, finish
// with the last output), lets the peer read, logs, ends the input or
// closes.  Checked: what the session holds never passes the buffer,
// everything it sends is a valid frame (or, to a version-1 frame, an X of
// that version), no request id starts twice, every request that starts
// ends (audited once each way), no K follows a request's R, and the cancel
// hook is called at most once per running request.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "FuzzCheck.h"
#include "SrvSession.h"

namespace {

const char kToken[] = "fuzz-token-0123456789";

struct Harness {
    const uint8_t *p;
    size_t left;
    uint64_t now = 1000;
    SrvSession *s = nullptr;
    SrvReader peer; // what the peer read, checked frame by frame
    SrvFrame frame;
    uint8_t started[65536 / 8]; // ids started (the fuzzer's ids fit 16 bits)
    int runs = 0;               // started and not yet ended
    int cancels = 0;            // cancel hook calls for the running request
    int starts = 0, ends = 0;
    uint32_t runId = 0;   // the request started last
    bool runEnded = true; // and whether its end was audited
    int64_t lastR = -1;   // the id of the last R the peer read; a K for it must not follow

    uint8_t Byte() { return left > 0 ? (left--, *p++) : 0; }
};

Harness *gpH;
SrvBuf gGreeting, gAnon;
SrvAuth gAuth;
char gOut[KXSRV_CHUNK_MAX];
char gEncoded[SrvFrame_Size(5 * KXSRV_FRAME_MAX)];
unsigned char gPayload[5 * KXSRV_FRAME_MAX];

void OnCancel(void *, SrvSession *)
{
    CHECK(gpH->runs == 1);
    gpH->cancels++;
    CHECK(gpH->cancels == 1);
}

void OnAudit(void *, const SrvSession *, const SrvAuditRec &rec)
{
    if (rec.kind == SrvAuditRec::kStart) {
        const uint32_t id = rec.pJob->id & 0xFFFFu;
        CHECK((gpH->started[id / 8] & (1u << id % 8)) == 0); // no id runs twice
        gpH->started[id / 8] |= static_cast<uint8_t>(1u << id % 8);
        CHECK(gpH->runEnded);
        gpH->starts++;
        gpH->runId = rec.pJob->id;
        gpH->runEnded = false;
    } else if (rec.kind == SrvAuditRec::kEnd && rec.pJob->id == gpH->runId && !gpH->runEnded) {
        CHECK(rec.how != SrvHow::kDropped); // a running request is never dropped
        gpH->runEnded = true;
        gpH->ends++;
    }
}

void Feed(Harness &h, const void *p, uint32_t n)
{
    (void)SrvSession_Feed(h.s, p, n, h.now);
}

// A frame of the protocol's types with small ids, so that they repeat.
void FeedFrame(Harness &h)
{
    static const char kTypes[] = "HABQDPFCZQQF";
    const char type = kTypes[h.Byte() % (sizeof kTypes - 1)];
    const uint32_t id = h.Byte() % 24u;
    const uint32_t n = h.Byte() % 24u;
    uint32_t len = h.Byte();
    if (type == 'A' && (len & 1u) != 0) {
        len = sizeof kToken - 1;
        memcpy(gPayload, kToken, len);
    } else {
        len = len * 5u % (KXSRV_LINE_MAX + 8u);
        for (uint32_t i = 0; i < len; i++)
            gPayload[i] = static_cast<unsigned char>('a' + (h.Byte() % 26u));
    }
    Feed(h, gEncoded, SrvFrame_Encode(gEncoded, type, id, n, gPayload, len));
}

// A frame of version 1, as an old peer sends it.
void FeedOld(Harness &h)
{
    static const char kTypes[] = "QHFCB";
    const uint32_t len = h.Byte() % 64u;
    memset(gPayload, 'v', len);
    char frame[SrvFrame_SizeV1(64)];
    Feed(h, frame,
         SrvFrame_EncodeV1(frame, kTypes[h.Byte() % 5u], h.Byte() % 24u, 0, gPayload, len));
}

// A marker line over the size limit, its CRC right or wrong.
void FeedHuge(Harness &h)
{
    const uint32_t len = KXSRV_FRAME_MAX + 1u + h.Byte() * 61u; /* < sizeof gPayload */
    static_assert(KXSRV_FRAME_MAX + 1u + 255u * 61u <= sizeof gPayload, "room for the largest");
    memset(gPayload, 'h', len);
    uint32_t n = SrvFrame_Encode(gEncoded, 'Q', 1, 0, gPayload, len);
    if ((h.Byte() & 1u) != 0)
        gEncoded[n - 2] = gEncoded[n - 2] == '0' ? '1' : '0';
    Feed(h, gEncoded, n);
}

void PeerReads(Harness &h, uint32_t want, bool blocked)
{
    const char *pOut;
    const uint32_t have = SrvSession_Pending(h.s, &pOut);
    const uint32_t n = want < have ? want : have;
    for (uint32_t at = 0; at < n;) {
        unsigned char *pDst;
        const uint32_t room = SrvReader_Space(&h.peer, &pDst);
        const uint32_t take = room < n - at ? room : n - at;
        memcpy(pDst, pOut + at, take);
        SrvReader_Commit(&h.peer, take);
        at += take;
        for (SrvReadResult r; (r = SrvReader_Next(&h.peer, &h.frame, false)) != SRV_READ_NONE;) {
            // Nothing but frames; of version 1 only the error that says so.
            CHECK(r == SRV_READ_FRAME || (r == SRV_READ_OLD && h.frame.type == 'X'));
            if (r == SRV_READ_FRAME && h.frame.type == 'R')
                h.lastR = h.frame.id;
            if (r == SRV_READ_FRAME && h.frame.type == 'K') // a K says it runs
                CHECK(h.frame.id != h.lastR || h.s->running);
        }
    }
    SrvSession_Sent(h.s, n, blocked, h.now);
}

void Interpreter(Harness &h, uint8_t op)
{
    if (!h.s->running) {
        if (SrvSession_CanStart(h.s)) {
            SrvSession_Start(h.s, h.now);
            h.runs++;
            h.cancels = 0;
        }
        return;
    }
    if ((op & 0x10u) == 0) {
        // The loop drains output only while there is room.
        if (!SrvSession_Full(h.s) || SrvSession_Ended(h.s)) {
            const uint32_t n = 1u + h.Byte() * 17u % KXSRV_CHUNK_MAX;
            memset(gOut, 'o', n);
            SrvSession_Output(h.s, 1 + (op >> 5 & 1), gOut, n);
        }
        return;
    }
    if ((op & 0x80u) != 0) {
        SrvSession_Announce(h.s); // the hold is over
        return;
    }
    // The last output of each stream, up to a chunk, drained while there
    // was room.
    SrvTails tails{};
    if (!SrvSession_Full(h.s) || SrvSession_Ended(h.s)) {
        for (int i = 0; i < 2; i++) {
            tails.n[i] = h.Byte() * 17u % (KXSRV_CHUNK_MAX + 1u);
            tails.p[i] = gOut;
        }
        memset(gOut, 't', KXSRV_CHUNK_MAX);
    }
    SrvSession_Finish(h.s, {h.Byte() * 0x01010101u, (op & 0x40u) != 0, (op & 0x60u) == 0x60u, 7},
                      tails, h.now);
    h.runs--;
}

void Step(Harness &h)
{
    const uint8_t op = h.Byte();
    switch (op & 0x0Fu) {
    case 0:
    case 1: {
        const uint32_t n = h.Byte() % 64u;
        const uint32_t take = n < h.left ? n : static_cast<uint32_t>(h.left);
        Feed(h, h.p, take);
        h.p += take;
        h.left -= take;
        break;
    }
    case 2:
    case 3:
    case 4:
        FeedFrame(h);
        break;
    case 5:
        h.now += uint64_t{h.Byte()} * 37u;
        (void)SrvSession_Tick(h.s, h.now);
        break;
    case 6:
    case 7:
        Interpreter(h, op);
        break;
    case 8:
        PeerReads(h, h.Byte() * 613u, (op & 0x10u) != 0);
        break;
    case 9:
        if (!SrvSession_Full(h.s) || h.s->pCfg->net) {
            memset(gOut, 'l', 100);
            (void)SrvSession_Log(h.s, 1, gOut, 100);
        }
        break;
    case 10:
        SrvSession_InputEnded(h.s, (op & 0x10u) != 0, h.now);
        break;
    case 11:
        SrvSession_Close(
            h.s, static_cast<SrvEnd>(1 + h.Byte() % (static_cast<int>(SrvEnd::kCount) - 1)), h.now);
        break;
    case 12:
        FeedHuge(h);
        break;
    case 13:
        FeedOld(h);
        break;
    default:
        FeedFrame(h);
        break;
    }
    const char *pOut;
    CHECK(SrvSession_Pending(h.s, &pOut) <= KXSRV_BUFFER_MAX);
    CHECK(h.runs == (h.s->running ? 1 : 0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static bool ready = false;
    if (!ready) {
        const SrvHello hello = {true, 4, 300};
        ready = SrvWire_Greeting(&gGreeting, hello, true) && SrvWire_Greeting(&gAnon, hello, false);
        CHECK(ready);
    }
    Harness h;
    memset(h.started, 0, sizeof h.started);
    h.p = data + 1;
    h.left = size - 1;
    gpH = &h;
    gAuth = SrvAuth{};
    CHECK(SrvAuth_ParseToken(&gAuth, reinterpret_cast<const unsigned char *>(kToken),
                             sizeof kToken - 1) == SrvTokenProblem::kNone);
    const uint8_t setup = data[0];
    const bool token = (setup & 1u) != 0;
    const bool net = (setup & 2u) != 0;
    const SrvSessionCfg cfg = {&gGreeting,
                               &gAnon,
                               token ? &gAuth : nullptr,
                               (setup & 4u) != 0 ? 2000u : 0u,
                               (setup & 8u) != 0 ? 1500u : 0u,
                               (setup & 16u) != 0 ? 3000u : 0u,
                               (setup & 32u) != 0 ? 1u : KXSRV_WRITE_PROGRESS_MIN,
                               net,
                               {nullptr, OnCancel, OnAudit}};
    h.s = static_cast<SrvSession *>(malloc(sizeof(SrvSession)));
    SrvSession_Init(h.s, &cfg, "fuzz", SrvSource{});
    SrvReader_Init(&h.peer);
    SrvSession_Open(h.s, h.now);
    for (int steps = 0; h.left > 0 && steps < 512; steps++)
        Step(h);
    // The end: a request still running ends; every start had its end.
    if (h.s->running) {
        SrvSession_Finish(h.s, {0, false, false, 1}, SrvTails{}, h.now);
        h.runs--;
    }
    CHECK(h.starts == h.ends);
    SrvSession_Close(h.s, SrvEnd::kStop, h.now);
    CHECK(SrvSession_Gone(h.s));
    SrvSession_Free(h.s);
    free(h.s);
    return 0;
}

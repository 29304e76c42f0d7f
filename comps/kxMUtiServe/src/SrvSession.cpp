/*
 * SrvSession.cpp - the life of one session: its greeting and token, the
 * input taken as frames (and oversize lines judged), what it holds for
 * its peer and the high-water mark, its timers and its end.  The requests
 * themselves are SrvRequests.cpp's.  Everything it says goes through
 * SrvWire; everything it queues counts against its buffer.
 */
#include "SrvSessionIn.h"

#include <stdlib.h>
#include <string.h>

namespace {

bool IsOpen(const SrvSession *s)
{
    return s->phase == SrvState::kToken || s->phase == SrvState::kIdle;
}

/* Whether the session takes frames now. */
bool Taking(const SrvSession *s)
{
    return IsOpen(s) && s->penaltyMs == 0 && !SrvSession_Full(s) && s->qCount < KXSRV_QUEUE_MAX;
}

void Greet(SrvSession *s)
{
    /* What the board runs is told only to a peer that has the token. */
    const uint32_t next = s->topId == UINT32_MAX ? 1u : s->topId + 1u;
    (void)SrvWire_Hello(&s->out,
                        SrvSession_Authed(s) ? *s->pCfg->pGreeting : *s->pCfg->pGreetingAnon, next);
}

/* The error a session's end sends, if any. */
bool EndError(SrvEnd why, SrvErr *pErr)
{
    static constexpr struct {
        SrvEnd why;
        SrvErr err;
    } kSent[] = {
        {SrvEnd::kIdle, SrvErr::kIdle},      {SrvEnd::kGrace, SrvErr::kGrace},
        {SrvEnd::kDeadline, SrvErr::kStuck}, {SrvEnd::kToken, SrvErr::kWrongToken},
        {SrvEnd::kLocked, SrvErr::kLocked},  {SrvEnd::kEvicted, SrvErr::kTooMany},
    };
    for (const auto &e : kSent) {
        if (e.why == why) {
            *pErr = e.err;
            return true;
        }
    }
    return false; /* bye, quit, eof, reset, stop: nothing to tell, or nobody to tell it */
}

/* Ended: the end record comes once nothing of it runs. */
void Finalize(SrvSession *s)
{
    s->phase = SrvState::kClosed;
    s->penaltyMs = 0;
    if (!s->running)
        SrvSess_AuditClose(s);
}

void Authenticate(SrvSession *s, const SrvFrame &f, uint64_t now)
{
    uint32_t delayMs = 0;
    switch (SrvAuth_Check(s->pCfg->pAuth, s->source, f.payload, f.len, now, &delayMs)) {
    case SrvVerdict::kRight:
        s->authed = true;
        s->phase = SrvState::kIdle;
        Greet(s);
        return;
    case SrvVerdict::kWrong:
        /* Answered only after the delay; the session reads nothing
         * meanwhile. */
        s->penaltyMs = now + delayMs;
        return;
    case SrvVerdict::kLocked:
        SrvSession_Close(s, SrvEnd::kLocked, now);
        return;
    }
}

} // namespace

void SrvSess_Audit(const SrvSession *s, const SrvAuditRec &rec)
{
    if (s->pCfg->hooks.audit != nullptr)
        s->pCfg->hooks.audit(s->pCfg->hooks.pUser, s, rec);
}

void SrvSess_AuditEnd(const SrvSession *s, const SrvJob &job, SrvHow how, uint32_t status,
                      uint64_t us, uint32_t nOut, uint32_t nErr)
{
    SrvAuditRec rec{};
    rec.kind = SrvAuditRec::kEnd;
    rec.pJob = &job;
    rec.how = how;
    rec.status = status;
    rec.us = us;
    rec.nOut = nOut;
    rec.nErr = nErr;
    SrvSess_Audit(s, rec);
}

void SrvSess_AuditClose(const SrvSession *s)
{
    SrvAuditRec rec{};
    rec.kind = SrvAuditRec::kClose;
    rec.why = s->end;
    SrvSess_Audit(s, rec);
}

/* Out of memory: the frame is lost, as any other; the client sees a gap
 * or a silence and asks again. */
void SrvSess_SendError(SrvSession *s, uint32_t id, SrvErr err)
{
    (void)SrvWire_Error(&s->out, id, err);
}

void SrvSess_Settle(SrvSession *s)
{
    if (s->phase == SrvState::kClosing && !s->running && s->qCount == 0 &&
        SrvBuf_Used(&s->out) == 0)
        Finalize(s);
}

void SrvSess_Drain(SrvSession *s, SrvEnd why)
{
    if (why == SrvEnd::kQuit)
        SrvSess_DropQueued(s);
    s->phase = SrvState::kClosing;
    s->end = why;
    s->penaltyMs = 0;
    SrvSess_Settle(s);
}

void SrvSession_Init(SrvSession *s, const SrvSessionCfg *pCfg, const char *pPeer,
                     const SrvSource &source)
{
    memset(static_cast<void *>(s), 0, sizeof *s);
    s->pCfg = pCfg;
    s->phase = SrvState::kNew;
    s->dry = true;
    s->source = source;
    size_t n = strlen(pPeer);
    n = n < sizeof s->peer ? n : sizeof s->peer - 1;
    memcpy(s->peer, pPeer, n);
    SrvReader_Init(&s->reader);
}

void SrvSession_Free(SrvSession *s)
{
    SrvSess_FreeRunKept(s);
    SrvBuf_Free(&s->out);
    SrvStore_Free(&s->store);
}

void SrvSession_Open(SrvSession *s, uint64_t now)
{
    if (s->phase != SrvState::kNew)
        return;
    s->startMs = s->lastInMs = now;
    s->authed = s->pCfg->pAuth == nullptr;
    s->phase = s->authed ? SrvState::kIdle : SrvState::kToken;
    Greet(s);
}

bool SrvSession_Authed(const SrvSession *s)
{
    return s->authed;
}

/* ---- Input ---------------------------------------------------------------- */

uint32_t SrvSession_ReadRoom(SrvSession *s, unsigned char **ppDst)
{
    if (!SrvSession_WantsInput(s))
        return 0;
    return SrvReader_Space(&s->reader, ppDst);
}

bool SrvSession_WantsInput(const SrvSession *s)
{
    return Taking(s) && !s->inEnded;
}

bool SrvSession_HasFrames(const SrvSession *s)
{
    return !s->dry && Taking(s);
}

void SrvSession_Received(SrvSession *s, uint32_t n, uint64_t now)
{
    if (n == 0)
        return;
    SrvReader_Commit(&s->reader, n);
    s->lastInMs = now;
    SrvSession_Pump(s, now);
}

uint32_t SrvSession_Feed(SrvSession *s, const void *p, uint32_t n, uint64_t now)
{
    uint32_t taken = 0;
    while (taken < n) {
        unsigned char *pDst;
        uint32_t room = SrvSession_ReadRoom(s, &pDst);
        if (room == 0)
            break;
        room = room < n - taken ? room : n - taken;
        memcpy(pDst, static_cast<const unsigned char *>(p) + taken, room);
        SrvSession_Received(s, room, now);
        taken += room;
    }
    return taken;
}

void SrvSession_InputEnded(SrvSession *s, bool reset, uint64_t now)
{
    if (s->inEnded || s->phase == SrvState::kClosed)
        return;
    s->inEnded = true;
    if (reset || s->pCfg->net) {
        SrvSession_Close(s, reset ? SrvEnd::kReset : SrvEnd::kEof, now);
        return;
    }
    SrvSession_Pump(s, now);
}

bool SrvSession_Pump(SrvSession *s, uint64_t now)
{
    while (Taking(s)) {
        const SrvReadResult r = SrvReader_Next(&s->reader, &s->frame, s->inEnded);
        s->dry = r == SRV_READ_NONE;
        if (r == SRV_READ_NONE)
            break;
        /* The reader judges a line over the size limit by its checksum
         * first: HUGE is a real frame, never line noise.  A peer of the
         * version before is told in a frame it reads; what it asked for
         * is not done. */
        if (r == SRV_READ_BAD)
            SrvSess_SendError(s, 0, SrvErr::kBadFrame);
        else if (r == SRV_READ_OLD)
            (void)SrvWire_ErrorV1(&s->out, SrvErr::kOldVersion);
        else if (r == SRV_READ_HUGE)
            SrvSess_SendError(s, 0, SrvErr::kHuge);
        else
            SrvSession_Frame(s, s->frame, now);
    }
    if (s->inEnded && s->dry && IsOpen(s))
        SrvSess_Drain(s, SrvEnd::kEof); /* over descriptors: what was read still runs */
    return !s->dry;
}

void SrvSession_Frame(SrvSession *s, const SrvFrame &f, uint64_t now)
{
    if (!IsOpen(s))
        return;
    switch (f.type) {
    case 'H':
        Greet(s);
        return;
    case 'B':
        SrvSession_Close(s, SrvEnd::kBye, now);
        return;
    case 'A':
        if (s->phase == SrvState::kToken)
            Authenticate(s, f, now);
        else
            Greet(s);
        return;
    default:
        break;
    }
    if (s->phase == SrvState::kToken) {
        SrvSess_SendError(s, f.id, SrvErr::kNotAuthed);
        return;
    }
    switch (f.type) {
    case 'Q':
    case 'D':
    case 'P':
        SrvSess_Request(s, f);
        return;
    case 'F':
        if (!SrvSess_AnswerKnown(s, f.id))
            SrvSess_SendError(s, f.id, SrvErr::kUnknownId);
        return;
    case 'C':
        SrvSess_Cancel(s, f.id);
        return;
    default:
        SrvSess_SendError(s, f.id, SrvErr::kUnknownType);
        return;
    }
}

/* ---- Output --------------------------------------------------------------- */

uint32_t SrvSession_Pending(const SrvSession *s, const char **pp)
{
    *pp = s->out.p + s->out.head;
    return SrvBuf_Used(&s->out);
}

void SrvSession_Sent(SrvSession *s, uint32_t n, bool blocked, uint64_t now)
{
    SrvBuf_Take(&s->out, n);
    s->movedBytes += n;
    if (SrvBuf_Used(&s->out) == 0) {
        s->stallMs = 0;
        s->movedBytes = 0;
        SrvSess_Settle(s);
        return;
    }
    if (s->stallMs != 0 && s->movedBytes >= s->pCfg->progressMin) {
        s->stallMs = now + 1u; /* moving: a new window */
        s->movedBytes = 0;
    }
    if (blocked && s->stallMs == 0) {
        s->stallMs = now + 1u; /* +1: 0 means none */
        s->movedBytes = 0;
    }
}

bool SrvSession_Full(const SrvSession *s)
{
    return SrvBuf_Used(&s->out) >= kSrvHighWater;
}

bool SrvSession_Log(SrvSession *s, int stream, const void *p, uint32_t n)
{
    if (s->phase != SrvState::kIdle || SrvSession_Full(s))
        return false;
    return SrvWire_Log(&s->out, stream, p, n);
}

/* ---- Time and ending ------------------------------------------------------ */

uint64_t SrvSession_Tick(SrvSession *s, uint64_t now)
{
    if (s->phase == SrvState::kNew || s->phase == SrvState::kClosed)
        return UINT64_MAX;
    const SrvSessionCfg &cfg = *s->pCfg;
    uint64_t next = UINT64_MAX;
    const auto due = [&](uint64_t at) {
        if (now >= at)
            return true;
        next = at < next ? at : next;
        return false;
    };
    SrvEnd why = SrvEnd::kNone;
    if (s->penaltyMs != 0 && due(s->penaltyMs))
        why = SrvEnd::kToken;
    else if (cfg.deadlineMs != 0 && s->stallMs != 0 && due(s->stallMs - 1u + cfg.deadlineMs))
        why = SrvEnd::kDeadline;
    else if (s->phase == SrvState::kToken && cfg.graceMs != 0 && due(s->startMs + cfg.graceMs))
        why = SrvEnd::kGrace;
    else if (s->phase == SrvState::kIdle && cfg.idleMs != 0 && !s->running && s->qCount == 0 &&
             due(s->lastInMs + cfg.idleMs))
        why = SrvEnd::kIdle;
    if (why == SrvEnd::kNone)
        return next;
    SrvSession_Close(s, why, now);
    return UINT64_MAX;
}

void SrvSession_Close(SrvSession *s, SrvEnd why, uint64_t now)
{
    (void)now;
    if (s->phase == SrvState::kClosed)
        return;
    SrvSess_DropQueued(s);
    if (s->running && !s->cancelSent) {
        s->cancelSent = true;
        if (s->pCfg->hooks.cancel != nullptr)
            s->pCfg->hooks.cancel(s->pCfg->hooks.pUser, s);
    }
    SrvErr err;
    if (s->phase != SrvState::kNew && EndError(why, &err))
        SrvSess_SendError(s, 0, err);
    s->end = why;
    Finalize(s);
}

SrvState SrvSession_State(const SrvSession *s)
{
    if (s->phase != SrvState::kIdle)
        return s->phase;
    if (s->running)
        return s->cancelSent ? SrvState::kCancelling : SrvState::kRunning;
    return s->qCount > 0 ? SrvState::kQueued : SrvState::kIdle;
}

bool SrvSession_Ended(const SrvSession *s)
{
    return s->phase == SrvState::kClosed;
}

bool SrvSession_Gone(const SrvSession *s)
{
    return s->phase == SrvState::kClosed && !s->running;
}

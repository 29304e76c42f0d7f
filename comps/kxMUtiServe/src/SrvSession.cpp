/*
 * SrvSession.cpp - the protocol state machine of one session: greeting,
 * token, requests and their queue, answers from the store, cancels, the
 * running request's frames, timers and the session's end.  Everything it
 * says goes through SrvWire; everything it queues counts against its
 * buffer.
 */
#include "SrvSession.h"

#include <stdlib.h>
#include <string.h>

namespace {

constexpr uint32_t kStatusCancelled = 0xFFFFFFFFu; /* a cancelled request that never ran */

bool IsOpen(const SrvSession *s)
{
    return s->phase == SrvState::kToken || s->phase == SrvState::kIdle;
}

/* Whether the session takes frames now. */
bool Taking(const SrvSession *s)
{
    return IsOpen(s) && s->penaltyMs == 0 && !SrvSession_Full(s) && s->qCount < KXSRV_QUEUE_MAX;
}

void Audit(const SrvSession *s, const SrvAuditRec &rec)
{
    if (s->pCfg->hooks.audit != nullptr)
        s->pCfg->hooks.audit(s->pCfg->hooks.pUser, s, rec);
}

void AuditEnd(const SrvSession *s, const SrvJob &job, SrvHow how, uint32_t status, uint64_t us,
              uint32_t nOut, uint32_t nErr)
{
    SrvAuditRec rec{};
    rec.kind = SrvAuditRec::kEnd;
    rec.pJob = &job;
    rec.how = how;
    rec.status = status;
    rec.us = us;
    rec.nOut = nOut;
    rec.nErr = nErr;
    Audit(s, rec);
}

void AuditClose(const SrvSession *s)
{
    SrvAuditRec rec{};
    rec.kind = SrvAuditRec::kClose;
    rec.why = s->end;
    Audit(s, rec);
}

/* Queues an error.  Out of memory: the frame is lost, as any other; the
 * client sees a gap or a silence and asks again. */
void SendError(SrvSession *s, uint32_t id, SrvErr err)
{
    (void)SrvWire_Error(&s->out, id, err);
}

void Greet(SrvSession *s)
{
    /* What the board runs is told only to a peer that has the token. */
    (void)SrvWire_Hello(&s->out,
                        SrvSession_Authed(s) ? *s->pCfg->pGreeting : *s->pCfg->pGreetingAnon);
}

SrvJob &Queued(SrvSession *s, uint32_t i)
{
    return s->queue[(s->qHead + i) % KXSRV_QUEUE_MAX];
}

int QueuedAt(SrvSession *s, uint32_t id)
{
    for (uint32_t i = 0; i < s->qCount; i++)
        if (Queued(s, i).id == id)
            return static_cast<int>(i);
    return -1;
}

void FreeRunKept(SrvSession *s)
{
    SrvBuf_Free(&s->runKept[0]);
    SrvBuf_Free(&s->runKept[1]);
}

/* Drops the waiting requests, each audited: they never ran. */
void DropQueued(SrvSession *s)
{
    for (uint32_t i = 0; i < s->qCount; i++)
        AuditEnd(s, Queued(s, i), SrvHow::kDropped, 0, 0, 0, 0);
    s->qCount = 0;
}

/* The error a session's end sends, if any. */
bool EndError(SrvEnd why, SrvErr *pErr)
{
    switch (why) {
    case SrvEnd::kIdle:
        return *pErr = SrvErr::kIdle, true;
    case SrvEnd::kGrace:
        return *pErr = SrvErr::kGrace, true;
    case SrvEnd::kDeadline:
        return *pErr = SrvErr::kStuck, true;
    case SrvEnd::kToken:
        return *pErr = SrvErr::kWrongToken, true;
    case SrvEnd::kLocked:
        return *pErr = SrvErr::kLocked, true;
    case SrvEnd::kEvicted:
        return *pErr = SrvErr::kTooMany, true;
    default:
        return false;
    }
}

/* Ended: the end record comes once nothing of it runs. */
void Finalize(SrvSession *s)
{
    s->phase = SrvState::kClosed;
    s->penaltyMs = 0;
    if (!s->running)
        AuditClose(s);
}

/* A closing session whose requests ran and whose output left ends. */
void Settle(SrvSession *s)
{
    if (s->phase == SrvState::kClosing && !s->running && s->qCount == 0 &&
        SrvBuf_Used(&s->out) == 0)
        Finalize(s);
}

/* Ends after what it holds is sent: quit (the waiting requests dropped)
 * or the end of input over descriptors (they still run). */
void Drain(SrvSession *s, SrvEnd why)
{
    if (why == SrvEnd::kQuit)
        DropQueued(s);
    s->phase = SrvState::kClosing;
    s->end = why;
    s->penaltyMs = 0;
    Settle(s);
}

void Replay(SrvSession *s, const SrvKept &k)
{
    if (k.r.kept) {
        (void)SrvWire_Pieces(&s->out, 1, k.r.id, k.pData, k.r.nOut);
        (void)SrvWire_Pieces(&s->out, 2, k.r.id, k.pData + k.r.nOut, k.r.nErr);
    }
    (void)SrvWire_Result(&s->out, k.r, true);
}

/* Answers F, or a repeated request, for an id the session knows: true
 * when it did. */
bool AnswerKnown(SrvSession *s, uint32_t id)
{
    if (s->running && s->run.id == id) {
        (void)SrvWire_Started(&s->out, id);
        return true;
    }
    if (QueuedAt(s, id) >= 0) {
        SendError(s, id, SrvErr::kQueued);
        return true;
    }
    if (const SrvKept *pKept = SrvStore_Find(&s->store, id)) {
        Replay(s, *pKept);
        return true;
    }
    if (SrvStore_Seen(&s->store, id)) {
        SendError(s, id, SrvErr::kForgotten);
        return true;
    }
    return false;
}

void Request(SrvSession *s, const SrvFrame &f)
{
    if (AnswerKnown(s, f.id))
        return;
    if (f.len > KXSRV_LINE_MAX || memchr(f.payload, '\0', f.len) != nullptr) {
        SendError(s, f.id, SrvErr::kBadLine); /* its id is not used */
        return;
    }
    /* A Q sent behind another without waiting names it in n: it runs only
     * after that one, so a request lost on the way cannot be overtaken by
     * those behind it.  Refused, its id is not used: the client sends it
     * again behind the lost one. */
    if (f.type == 'Q' && f.n != 0 && !SrvStore_Seen(&s->store, f.n)) {
        SendError(s, f.id, SrvErr::kNotAfter);
        return;
    }
    SrvJob &job = Queued(s, s->qCount);
    s->qCount++;
    job.type = f.type;
    job.id = f.id;
    job.cursor = f.n;
    job.len = f.type == 'D' ? 0 : f.len;
    memcpy(job.line, f.payload, job.len);
    job.line[job.len] = '\0';
    SrvStore_Remember(&s->store, f.id);
}

void Cancel(SrvSession *s, uint32_t id)
{
    if (s->running && s->run.id == id) {
        if (!s->cancelSent) {
            s->cancelSent = true;
            s->cancelledByC = true;
            if (s->pCfg->hooks.cancel != nullptr)
                s->pCfg->hooks.cancel(s->pCfg->hooks.pUser, s);
        }
        return;
    }
    const int at = QueuedAt(s, id);
    if (at < 0) {
        if (!SrvStore_Seen(&s->store, id))
            SendError(s, id, SrvErr::kUnknownId);
        return; /* finished: nothing to do */
    }
    /* It never runs: K, then its result. */
    const SrvJob job = Queued(s, static_cast<uint32_t>(at));
    for (uint32_t i = static_cast<uint32_t>(at); i + 1 < s->qCount; i++)
        Queued(s, i) = Queued(s, i + 1);
    s->qCount--;
    SrvResult r{};
    r.id = id;
    r.status = kStatusCancelled;
    r.failed = true;
    r.cancelled = true;
    r.kept = true;
    (void)SrvWire_Started(&s->out, id);
    (void)SrvWire_Result(&s->out, r, false);
    SrvStore_Put(&s->store, r, nullptr);
    AuditEnd(s, job, SrvHow::kCancelled, r.status, 0, 0, 0);
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

/* A marker line the reader found over the size limit: X 2 only when its
 * CRC is right (the line may end later), X 1 when it is noise. */
void Huge(SrvSession *s)
{
    unsigned char *pDst;
    const uint32_t waiting = SRV_READER_SIZE - SrvReader_Space(&s->reader, &pDst);
    const uint64_t at = s->inTotal - waiting - 1u; /* the reader is one past its '#' */
    if (s->hugeAt != 0)
        SendError(s, 0, SrvErr::kBadFrame); /* an earlier one never ended */
    s->hugeAt = 0;
    const int verdict = SrvLineCheck_Verdict(&s->check, at);
    if (verdict < 0)
        s->hugeAt = at + 1u;
    else
        SendError(s, 0, verdict > 0 ? SrvErr::kHuge : SrvErr::kBadFrame);
}

void JudgeHuge(SrvSession *s)
{
    if (s->hugeAt == 0)
        return;
    const int verdict = SrvLineCheck_Verdict(&s->check, s->hugeAt - 1u);
    if (verdict < 0)
        return;
    s->hugeAt = 0;
    SendError(s, 0, verdict > 0 ? SrvErr::kHuge : SrvErr::kBadFrame);
}

/* The running request's output, out then err, in one block; null when not
 * kept or empty (*pKept says which). */
char *TakeKept(SrvSession *s, bool *pKept)
{
    const uint32_t n = s->runOut + s->runErr;
    *pKept = s->keep;
    if (!s->keep || n == 0)
        return nullptr;
    char *p = static_cast<char *>(malloc(n));
    if (p == nullptr) {
        *pKept = false;
        return nullptr;
    }
    if (s->runOut > 0)
        memcpy(p, s->runKept[0].p + s->runKept[0].head, s->runOut);
    if (s->runErr > 0)
        memcpy(p + s->runOut, s->runKept[1].p + s->runKept[1].head, s->runErr);
    return p;
}

} // namespace

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
    FreeRunKept(s);
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
    unsigned char *pDst;
    (void)SrvReader_Space(&s->reader, &pDst);
    SrvLineCheck_Feed(&s->check, pDst, n);
    SrvReader_Commit(&s->reader, n);
    s->inTotal += n;
    s->lastInMs = now;
    JudgeHuge(s);
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
        if (r == SRV_READ_BAD)
            SendError(s, 0, SrvErr::kBadFrame);
        else if (r == SRV_READ_HUGE)
            Huge(s);
        else
            SrvSession_Frame(s, s->frame, now);
    }
    if (s->inEnded && s->dry && IsOpen(s))
        Drain(s, SrvEnd::kEof); /* over descriptors: what was read still runs */
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
        SendError(s, f.id, SrvErr::kNotAuthed);
        return;
    }
    switch (f.type) {
    case 'Q':
    case 'D':
    case 'P':
        Request(s, f);
        return;
    case 'F':
        if (!AnswerKnown(s, f.id))
            SendError(s, f.id, SrvErr::kUnknownId);
        return;
    case 'C':
        Cancel(s, f.id);
        return;
    default:
        SendError(s, f.id, SrvErr::kUnknownType);
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
        Settle(s);
        return;
    }
    if (s->stallMs != 0 && s->movedBytes >= KXSRV_WRITE_PROGRESS_MIN) {
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

/* ---- Requests ------------------------------------------------------------- */

bool SrvSession_CanStart(const SrvSession *s)
{
    const bool runs =
        s->phase == SrvState::kIdle || (s->phase == SrvState::kClosing && s->end == SrvEnd::kEof);
    return runs && !s->running && s->qCount > 0 && !SrvSession_Full(s);
}

const SrvJob *SrvSession_Start(SrvSession *s, uint64_t now)
{
    (void)now;
    s->run = s->queue[s->qHead];
    s->qHead = (s->qHead + 1) % KXSRV_QUEUE_MAX;
    s->qCount--;
    s->running = true;
    s->cancelSent = false;
    s->cancelledByC = false;
    s->keep = true;
    s->runOut = s->runErr = 0;
    FreeRunKept(s);
    (void)SrvWire_Started(&s->out, s->run.id);
    SrvAuditRec rec{};
    rec.kind = SrvAuditRec::kStart;
    rec.pJob = &s->run;
    Audit(s, rec);
    return &s->run;
}

void SrvSession_Output(SrvSession *s, int stream, const char *p, uint32_t n)
{
    uint32_t &offset = stream == 1 ? s->runOut : s->runErr;
    if (s->phase != SrvState::kClosed)
        (void)SrvWire_Piece(&s->out, stream, s->run.id, offset, p, n);
    offset += n;
    if (!s->keep)
        return;
    s->keep =
        s->runOut + s->runErr <= KXSRV_KEPT_BYTES && SrvBuf_Add(&s->runKept[stream - 1], p, n);
    if (!s->keep)
        FreeRunKept(s);
}

void SrvSession_Finish(SrvSession *s, const SrvRunEnd &end, uint64_t now)
{
    if (!s->running)
        return;
    s->running = false;
    /* The idle time counts from here: a long request is no silence. */
    s->lastInMs = now > s->lastInMs ? now : s->lastInMs;
    if (s->phase == SrvState::kClosed) {
        const SrvHow how = s->end == SrvEnd::kDeadline ? SrvHow::kDeadline : SrvHow::kClosed;
        AuditEnd(s, s->run, how, end.status, end.us, s->runOut, s->runErr);
        FreeRunKept(s);
        AuditClose(s);
        return;
    }
    SrvResult r{};
    r.id = s->run.id;
    r.status = end.status;
    r.failed = end.failed;
    r.cancelled = s->cancelledByC;
    r.us = end.us;
    r.nOut = s->runOut;
    r.nErr = s->runErr;
    char *pData = TakeKept(s, &r.kept);
    FreeRunKept(s);
    (void)SrvWire_Result(&s->out, r, false);
    SrvStore_Put(&s->store, r, pData);
    AuditEnd(s, s->run, s->cancelledByC ? SrvHow::kCancelled : SrvHow::kFinished, r.status, r.us,
             r.nOut, r.nErr);
    if (end.quit && s->phase != SrvState::kClosing)
        Drain(s, SrvEnd::kQuit);
    Settle(s);
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
    DropQueued(s);
    if (s->running && !s->cancelSent) {
        s->cancelSent = true;
        if (s->pCfg->hooks.cancel != nullptr)
            s->pCfg->hooks.cancel(s->pCfg->hooks.pUser, s);
    }
    SrvErr err;
    if (s->phase != SrvState::kNew && EndError(why, &err))
        SendError(s, 0, err);
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

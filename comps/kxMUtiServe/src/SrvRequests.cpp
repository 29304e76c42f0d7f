/*
 * SrvRequests.cpp - the requests of a session: the queue, answers from
 * the store (F and repeated ids), cancels, and the running request's K
 * (only when it runs longer than a moment or sends output before its
 * end), output pieces and R.  Part of the session core (no I/O).
 */
#include <stdlib.h>
#include <string.h>

#include "SrvSessionIn.h"

namespace {

constexpr uint32_t kStatusCancelled = 0xFFFFFFFFu; /* a cancelled request that never ran */

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

/* Standard output but its last piece as O frames, that piece's length
 * in *pTail: it travels in R, so a short result is one frame. */
void PiecesBeforeTail(SrvSession *s, uint32_t id, const char *p, uint32_t n, uint32_t *pTail)
{
    *pTail = n == 0 ? 0u : n - (n - 1u) / KXSRV_CHUNK_MAX * KXSRV_CHUNK_MAX;
    (void)SrvWire_Pieces(&s->out, 1, id, p, n - *pTail);
}

void Replay(SrvSession *s, const SrvKept &k)
{
    if (!k.r.kept) {
        (void)SrvWire_Result(&s->out, k.r, true, nullptr, 0);
        return;
    }
    uint32_t tail;
    PiecesBeforeTail(s, k.r.id, k.pData, k.r.nOut, &tail);
    (void)SrvWire_Pieces(&s->out, 2, k.r.id, k.pData + k.r.nOut, k.r.nErr);
    (void)SrvWire_Result(&s->out, k.r, true, k.pData + k.r.nOut - tail, tail);
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

/* Counts and keeps a piece of the running request's output; send says
 * whether it goes out as its own frame. */
void TakePiece(SrvSession *s, int stream, const char *p, uint32_t n, bool send)
{
    uint32_t &offset = stream == 1 ? s->runOut : s->runErr;
    if (send && s->phase != SrvState::kClosed)
        (void)SrvWire_Piece(&s->out, stream, s->run.id, offset, p, n);
    offset += n;
    if (!s->keep)
        return;
    s->keep =
        s->runOut + s->runErr <= KXSRV_KEPT_BYTES && SrvBuf_Add(&s->runKept[stream - 1], p, n);
    if (!s->keep)
        SrvSess_FreeRunKept(s);
}

} // namespace

void SrvSess_DropQueued(SrvSession *s)
{
    for (uint32_t i = 0; i < s->qCount; i++)
        SrvSess_AuditEnd(s, Queued(s, i), SrvHow::kDropped, 0, 0, 0, 0);
    s->qCount = 0;
}

void SrvSess_FreeRunKept(SrvSession *s)
{
    SrvBuf_Free(&s->runKept[0]);
    SrvBuf_Free(&s->runKept[1]);
}

/* Answers F, or a repeated request, for an id the session knows: true
 * when it did. */
bool SrvSess_AnswerKnown(SrvSession *s, uint32_t id)
{
    if (s->running && s->run.id == id) {
        s->kOwed = false;
        (void)SrvWire_Started(&s->out, id);
        return true;
    }
    if (QueuedAt(s, id) >= 0) {
        SrvSess_SendError(s, id, SrvErr::kQueued);
        return true;
    }
    if (const SrvKept *pKept = SrvStore_Find(&s->store, id)) {
        Replay(s, *pKept);
        return true;
    }
    if (SrvStore_Seen(&s->store, id)) {
        SrvSess_SendError(s, id, SrvErr::kForgotten);
        return true;
    }
    return false;
}

void SrvSess_Request(SrvSession *s, const SrvFrame &f)
{
    if (SrvSess_AnswerKnown(s, f.id))
        return;
    if (f.len > KXSRV_LINE_MAX || memchr(f.payload, '\0', f.len) != nullptr) {
        SrvSess_SendError(s, f.id, SrvErr::kBadLine); /* its id is not used */
        return;
    }
    /* A Q sent behind another without waiting names it in n: it runs only
     * after that one, so a request lost on the way cannot be overtaken by
     * those behind it.  Refused, its id is not used: the client sends it
     * again behind the lost one. */
    if (f.type == 'Q' && f.n != 0 && !SrvStore_Seen(&s->store, f.n)) {
        SrvSess_SendError(s, f.id, SrvErr::kNotAfter);
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
    s->topId = f.id > s->topId ? f.id : s->topId;
}

void SrvSess_Cancel(SrvSession *s, uint32_t id)
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
            SrvSess_SendError(s, id, SrvErr::kUnknownId);
        return; /* finished: nothing to do */
    }
    /* It never runs: its result says so. */
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
    (void)SrvWire_Result(&s->out, r, false, nullptr, 0);
    SrvStore_Put(&s->store, r, nullptr);
    SrvSess_AuditEnd(s, job, SrvHow::kCancelled, r.status, 0, 0, 0);
}

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
    s->kOwed = true;
    SrvSess_FreeRunKept(s);
    SrvAuditRec rec{};
    rec.kind = SrvAuditRec::kStart;
    rec.pJob = &s->run;
    SrvSess_Audit(s, rec);
    return &s->run;
}

void SrvSession_Announce(SrvSession *s)
{
    if (!s->running || !s->kOwed)
        return;
    s->kOwed = false;
    if (s->phase != SrvState::kClosed)
        (void)SrvWire_Started(&s->out, s->run.id);
}

void SrvSession_Output(SrvSession *s, int stream, const char *p, uint32_t n)
{
    SrvSession_Announce(s);
    TakePiece(s, stream, p, n, true);
}

void SrvSession_Finish(SrvSession *s, const SrvRunEnd &end, const SrvTails &tails, uint64_t now)
{
    if (!s->running)
        return;
    if (tails.n[1] > 0)
        TakePiece(s, 2, tails.p[1], tails.n[1], true);
    if (tails.n[0] > 0)
        TakePiece(s, 1, tails.p[0], tails.n[0], false);
    s->running = false;
    s->kOwed = false;
    /* The idle time counts from here: a long request is no silence. */
    s->lastInMs = now > s->lastInMs ? now : s->lastInMs;
    if (s->phase == SrvState::kClosed) {
        const SrvHow how = s->end == SrvEnd::kDeadline ? SrvHow::kDeadline : SrvHow::kClosed;
        SrvSess_AuditEnd(s, s->run, how, end.status, end.us, s->runOut, s->runErr);
        SrvSess_FreeRunKept(s);
        SrvSess_AuditClose(s);
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
    SrvSess_FreeRunKept(s);
    (void)SrvWire_Result(&s->out, r, false, tails.p[0], tails.n[0]);
    SrvStore_Put(&s->store, r, pData);
    SrvSess_AuditEnd(s, s->run, s->cancelledByC ? SrvHow::kCancelled : SrvHow::kFinished, r.status,
                     r.us, r.nOut, r.nErr);
    if (end.quit && s->phase != SrvState::kClosing)
        SrvSess_Drain(s, SrvEnd::kQuit);
    SrvSess_Settle(s);
}

/*
 * SrvServer.cpp - the steps both threads take on a running server, under
 * its lock: adding and ending sessions, sending their frames, framing the
 * captured output, handing a request to the interpreter and finishing it.
 */
#include "SrvServer.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "SrvAudit.h"

namespace {

void CloseFds(SrvSlot &slot)
{
    if (slot.inFd >= 0)
        close(slot.inFd);
    if (slot.outFd >= 0 && slot.outFd != slot.inFd)
        close(slot.outFd);
    slot.inFd = slot.outFd = -1;
}

SrvSlot *SlotOf(SrvServer *pSrv, const SrvSession *s)
{
    for (uint32_t i = 0; i < pSrv->nSlots; i++)
        if (pSrv->slots[i].s == s)
            return &pSrv->slots[i];
    return nullptr;
}

/* Sends a session's bytes; false when the peer is gone. */
bool Send(SrvServer *pSrv, SrvSlot &slot, uint64_t now)
{
    const char *p;
    uint32_t n;
    while ((n = SrvSession_Pending(slot.s, &p)) > 0) {
        const ssize_t sent = pSrv->net ? send(slot.outFd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT)
                                       : write(slot.outFd, p, n);
        if (sent > 0) {
            SrvSession_Sent(slot.s, static_cast<uint32_t>(sent), false, now);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            SrvSession_Sent(slot.s, 0, true, now);
            return true;
        }
        return false;
    }
    return true;
}

/* Routes captured bytes: to the running request, else as log frames. */
void Route(SrvServer *pSrv, int stream, const char *p, uint32_t n)
{
    if (pSrv->running) {
        SrvSession_Output(pSrv->pRun, stream, p, n);
        return;
    }
    /* Over TCP a peer that does not read loses log frames, rather than
     * stall the others; the write deadline then closes it. */
    for (uint32_t i = 0; i < pSrv->nSlots; i++)
        if (pSrv->slots[i].outFd >= 0)
            (void)SrvSession_Log(pSrv->slots[i].s, stream, p, n);
}

/* Emits one stream's pending bytes when its chunk is full. */
void EmitFull(SrvServer *pSrv, int stream)
{
    if (pSrv->cap.pendLen[stream - 1] < KXSRV_CHUNK_MAX)
        return;
    const char *p;
    const uint32_t n = SrvCapture_Take(&pSrv->cap, stream, &p);
    Route(pSrv, stream, p, n);
}

} // namespace

uint64_t Srv_NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t Srv_NowUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void Srv_Post(int fd, char byte)
{
    std::atomic_thread_fence(std::memory_order_release);
    while (write(fd, &byte, 1) < 0 && errno == EINTR) {
    }
}

bool Srv_AddSession(SrvServer *pSrv, int inFd, int outFd, const char *pPeer,
                    const SrvSource &source, uint64_t now)
{
    if (pSrv->nSlots >= kSrvSlots)
        return false;
    SrvSession *s = static_cast<SrvSession *>(malloc(sizeof(SrvSession)));
    if (s == nullptr)
        return false;
    SrvSession_Init(s, &pSrv->sessionCfg, pPeer, source);
    SrvSession_Open(s, now);
    pSrv->slots[pSrv->nSlots++] = SrvSlot{s, inFd, outFd, false};
    return true;
}

void Srv_Flush(SrvServer *pSrv, SrvSlot &slot, uint64_t now)
{
    if (slot.outFd < 0 || Send(pSrv, slot, now))
        return;
    SrvSession_InputEnded(slot.s, true, now); /* the peer is gone */
}

bool Srv_Reap(SrvServer *pSrv, uint32_t i, uint64_t now)
{
    SrvSlot &slot = pSrv->slots[i];
    if (!SrvSession_Ended(slot.s))
        return false;
    if (slot.outFd >= 0) {
        (void)Send(pSrv, slot, now); /* its last error, if the peer still takes it */
        CloseFds(slot);
    }
    if (!SrvSession_Gone(slot.s) || slot.s == pSrv->pRun)
        return false;
    SrvSession_Free(slot.s);
    free(slot.s);
    pSrv->slots[i] = pSrv->slots[--pSrv->nSlots];
    if (!pSrv->net)
        pSrv->finish = true;
    return true;
}

bool Srv_CaptureRoom(const SrvServer *pSrv)
{
    if (pSrv->running)
        return SrvSession_Ended(pSrv->pRun) || !SrvSession_Full(pSrv->pRun);
    if (pSrv->net)
        return true;
    /* Over descriptors the one session's peer sets the pace, also for
     * log frames: a thread that prints waits in write. */
    return pSrv->nSlots == 0 || SrvSession_Ended(pSrv->slots[0].s) ||
           !SrvSession_Full(pSrv->slots[0].s);
}

void Srv_EmitPending(SrvServer *pSrv)
{
    for (int stream = 1; stream <= 2; stream++) {
        const char *p;
        const uint32_t n = SrvCapture_Take(&pSrv->cap, stream, &p);
        if (n > 0)
            Route(pSrv, stream, p, n);
    }
}

bool Srv_DrainOne(SrvServer *pSrv, int stream, uint64_t nowUs)
{
    while (Srv_CaptureRoom(pSrv)) {
        const bool more = SrvCapture_Read(&pSrv->cap, stream, nowUs);
        EmitFull(pSrv, stream);
        if (!more)
            return true;
        /* A command that prints fast: its output goes on as it comes. */
        SrvSlot *pSlot = pSrv->running ? SlotOf(pSrv, pSrv->pRun) : nullptr;
        const char *p;
        if (pSlot != nullptr && SrvSession_Pending(pSlot->s, &p) >= kSrvFlushAt)
            Srv_Flush(pSrv, *pSlot, nowUs / 1000u);
    }
    return false;
}

bool Srv_DrainAll(SrvServer *pSrv, uint64_t nowUs)
{
    pollfd fds[2] = {{SrvCapture_Fd(&pSrv->cap, 1), POLLIN, 0},
                     {SrvCapture_Fd(&pSrv->cap, 2), POLLIN, 0}};
    int ready;
    while ((ready = poll(fds, 2, 0)) < 0 && errno == EINTR) {
    }
    if (ready <= 0)
        return true;
    for (int i = 0; i < 2; i++)
        if (fds[i].revents != 0 && !Srv_DrainOne(pSrv, i + 1, nowUs))
            return false;
    return true;
}

bool Srv_Dispatch(SrvServer *pSrv, bool self, uint64_t nowUs)
{
    for (uint32_t k = 0; k < pSrv->nSlots; k++) {
        const uint32_t at = (pSrv->rr + k) % pSrv->nSlots;
        SrvSlot &slot = pSrv->slots[at];
        if (slot.outFd < 0 || !SrvSession_CanStart(slot.s))
            continue;
        /* What other threads printed while nothing ran is a log, also
         * what the pipes still hold: it must not open this result.  The
         * interpreter itself has just drained them (self). */
        if (!self && !Srv_DrainAll(pSrv, nowUs))
            return false;
        Srv_EmitPending(pSrv);
        pSrv->rr = (at + 1) % pSrv->nSlots;
        const uint64_t now = nowUs / 1000u;
        if (self) {
            pSrv->holdUntilUs = 0; /* its K leaves with the R before it, unheld */
        } else {
            /* From idle: what the session holds leaves now, and only this
             * request's own frames wait a moment for its end (most end at
             * once, and K, output and R then leave in one write). */
            Srv_Flush(pSrv, slot, now);
            if (!SrvSession_CanStart(slot.s))
                return false;
            pSrv->holdUntilUs = nowUs + kSrvHoldUs;
        }
        SrvInterp_Arm();
        pSrv->pJob = SrvSession_Start(slot.s, now);
        if (self)
            SrvSession_Announce(slot.s); /* nothing watches its time: K at once */
        pSrv->running = true;
        pSrv->doneSeen = false;
        pSrv->pRun = slot.s;
        pSrv->cancelled = false;
        if (!self)
            Srv_Post(pSrv->jobPipe[1], 'J');
        return true;
    }
    return false;
}

void Srv_FinishRun(SrvServer *pSrv, uint64_t nowUs)
{
    /* The last of the output goes with the R: of standard output in it. */
    SrvTails tails;
    for (int stream = 1; stream <= 2; stream++)
        tails.n[stream - 1] = SrvCapture_Take(&pSrv->cap, stream, &tails.p[stream - 1]);
    SrvSession_Finish(pSrv->pRun, pSrv->done, tails, nowUs / 1000u);
    pSrv->running = false;
    pSrv->doneSeen = false;
    pSrv->pRun = nullptr;
    pSrv->holdUntilUs = 0;
}

void Srv_HookCancel(void *pUser, SrvSession *s)
{
    SrvServer *pSrv = static_cast<SrvServer *>(pUser);
    if (!pSrv->running || pSrv->pRun != s || pSrv->doneSeen || pSrv->cancelled)
        return;
    pSrv->cancelled = true;
    pSrv->lastSignalMs = Srv_NowMs();
    SrvInterp_Cancel(pSrv->interp);
}

void Srv_HookAudit(void *pUser, const SrvSession *s, const SrvAuditRec &rec)
{
    const SrvServer *pSrv = static_cast<const SrvServer *>(pUser);
    SrvAudit_Write(pSrv->auditFd, s->peer, rec);
}

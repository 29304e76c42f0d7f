/*
 * SrvLoop.cpp - the I/O thread's poll loop and timers, accepting TCP
 * peers, and the interpreter's loop, which finishes each request itself
 * and takes the next, so that a quick request costs no extra wake-up of
 * either thread.  All state is the server's, under its lock, which the
 * I/O thread holds except while it waits in poll.
 */
#include "SrvLoop.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "SrvNet.h"

namespace {

constexpr nfds_t kFixedFds = 4; /* wake-up pipe, two capture pipes, listener */
constexpr nfds_t kMaxFds = kFixedFds + nfds_t{2} * kSrvSlots;

uint64_t Min(uint64_t a, uint64_t b)
{
    return a < b ? a : b;
}

/* After a request, on the interpreter's thread: whether the I/O thread
 * must look at the state again.  Output it must send, a session that
 * ended, bytes to frame later, a request it must finish, the end of
 * serving, or input to take: frames the reader holds or input left
 * unwatched behind a full queue, once the queue is half empty (so that a
 * stream of requests wakes it once per half queue). */
bool NeedsIo(const SrvServer *pSrv)
{
    if (pSrv->finish || pSrv->cap.pendSinceUs != 0 || (pSrv->running && pSrv->doneSeen))
        return true;
    for (uint32_t i = 0; i < pSrv->nSlots; i++) {
        const SrvSlot &slot = pSrv->slots[i];
        const char *p;
        if (SrvSession_Ended(slot.s) || SrvSession_Pending(slot.s, &p) > 0)
            return true;
        const bool more =
            SrvSession_HasFrames(slot.s) || (!slot.watched && SrvSession_WantsInput(slot.s));
        if (more && slot.s->qCount <= KXSRV_QUEUE_MAX / 2u)
            return true;
    }
    return false;
}

/* After a request, on the interpreter's thread: finishes it (the last
 * output and the R, sent at once) and takes the next waiting request.
 * True when there is one to run.  A request whose output has no room yet
 * is left to the I/O thread. */
bool FinishHere(SrvServer *pSrv, const SrvRunEnd &end)
{
    pthread_mutex_lock(&pSrv->lock);
    const uint64_t nowUs = Srv_NowUs();
    pSrv->done = end;
    bool next = false;
    if (Srv_DrainAll(pSrv, nowUs)) {
        Srv_FinishRun(pSrv, nowUs);
        next = !pSrv->finish && Srv_Dispatch(pSrv, true, nowUs);
        for (uint32_t i = 0; i < pSrv->nSlots; i++)
            Srv_Flush(pSrv, pSrv->slots[i], nowUs / 1000u);
    } else {
        pSrv->doneSeen = true;
    }
    if (NeedsIo(pSrv))
        Srv_Post(pSrv->wake[1], 'D');
    pthread_mutex_unlock(&pSrv->lock);
    return next;
}

uint32_t OpenSessions(const SrvServer *pSrv)
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < pSrv->nSlots; i++)
        n += !SrvSession_Ended(pSrv->slots[i].s);
    return n;
}

void ReapAll(SrvServer *pSrv, uint64_t now)
{
    for (uint32_t i = 0; i < pSrv->nSlots;)
        i += Srv_Reap(pSrv, i, now) ? 0u : 1u;
}

/* Makes room for a new peer: the oldest session still without its token
 * gives its place up.  False when every place is taken by one that has
 * it. */
bool Evict(SrvServer *pSrv, uint64_t now)
{
    SrvSession *pOldest = nullptr;
    for (uint32_t i = 0; i < pSrv->nSlots; i++) {
        SrvSession *s = pSrv->slots[i].s;
        if (SrvSession_State(s) == SrvState::kToken &&
            (pOldest == nullptr || s->startMs < pOldest->startMs))
            pOldest = s;
    }
    if (pOldest == nullptr)
        return false;
    SrvSession_Close(pOldest, SrvEnd::kEvicted, now);
    ReapAll(pSrv, now);
    return true;
}

void Refuse(int fd)
{
    char frame[kSrvErrorFrameMax];
    const uint32_t n = SrvWire_ErrorNow(frame, SrvErr::kTooMany);
    (void)!send(fd, frame, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    close(fd);
}

void Accept(SrvServer *pSrv, uint64_t now)
{
    SrvPeer peer;
    const SrvAccept r = SrvNet_Accept(pSrv->listenFd, &peer);
    if (r == SrvAccept::kBackoff)
        pSrv->listenIdleUntilMs = now + KXSRV_ACCEPT_BACKOFF_MS;
    if (r != SrvAccept::kPeer)
        return;
    ReapAll(pSrv, now);
    if (OpenSessions(pSrv) >= pSrv->maxSessions && !Evict(pSrv, now)) {
        Refuse(peer.fd);
        return;
    }
    if (!Srv_AddSession(pSrv, peer.fd, peer.fd, peer.name, peer.source, now))
        Refuse(peer.fd);
}

void ReadInput(SrvSlot &slot, uint64_t now)
{
    unsigned char *pDst;
    const uint32_t room = SrvSession_ReadRoom(slot.s, &pDst);
    if (room == 0)
        return;
    const ssize_t n = read(slot.inFd, pDst, room);
    if (n > 0) {
        SrvSession_Received(slot.s, static_cast<uint32_t>(n), now);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    SrvSession_InputEnded(slot.s, n < 0, now);
}

/* What is due without waiting: a request to finish, bytes to frame,
 * frames to take, sessions to end, a request to hand over, output to
 * send.  Returns whether the running request's frames are held. */
bool Step(SrvServer *pSrv, uint64_t nowUs)
{
    const uint64_t now = nowUs / 1000u;
    if (pSrv->running && pSrv->doneSeen && Srv_DrainAll(pSrv, nowUs))
        Srv_FinishRun(pSrv, nowUs);
    if (pSrv->cap.pendSinceUs != 0 && nowUs - pSrv->cap.pendSinceUs >= kSrvHoldUs)
        Srv_EmitPending(pSrv);
    for (uint32_t i = 0; i < pSrv->nSlots; i++)
        if (pSrv->slots[i].inFd >= 0 && SrvSession_HasFrames(pSrv->slots[i].s))
            (void)SrvSession_Pump(pSrv->slots[i].s, now);
    ReapAll(pSrv, now);
    if (!pSrv->running && !pSrv->finish)
        (void)Srv_Dispatch(pSrv, false, nowUs);
    /* A request that started a moment ago holds its frames back a little,
     * in case it ends at once (most do). */
    const bool hold = pSrv->running && nowUs < pSrv->holdUntilUs;
    if (pSrv->running && !hold)
        SrvSession_Announce(pSrv->pRun); /* it runs longer than a moment: its K */
    for (uint32_t i = 0; i < pSrv->nSlots; i++) {
        SrvSlot &slot = pSrv->slots[i];
        const char *p;
        if (!hold || slot.s != pSrv->pRun || SrvSession_Pending(slot.s, &p) >= kSrvFlushAt)
            Srv_Flush(pSrv, slot, now);
    }
    ReapAll(pSrv, now);
    return hold;
}

/* The timers: sessions' (wrong tokens answered, grace, idle, write
 * deadline), a host's repeated cancel signal, the listener's rest.
 * Returns the milliseconds until the next is due (at most a second). */
int Timers(SrvServer *pSrv, uint64_t now)
{
    uint64_t next = now + 1000u;
    const uint32_t every = SrvInterp_RepeatMs();
    if (every != 0 && pSrv->running && pSrv->cancelled && !pSrv->doneSeen) {
        if (now - pSrv->lastSignalMs >= every) {
            SrvInterp_Signal(pSrv->interp);
            pSrv->lastSignalMs = now;
        }
        next = Min(next, pSrv->lastSignalMs + every);
    }
    for (uint32_t i = 0; i < pSrv->nSlots; i++)
        next = Min(next, SrvSession_Tick(pSrv->slots[i].s, now));
    ReapAll(pSrv, now);
    if (pSrv->listenIdleUntilMs > now)
        next = Min(next, pSrv->listenIdleUntilMs);
    return static_cast<int>(next > now ? next - now : 0);
}

struct PollSet {
    pollfd fds[kMaxFds];
    SrvSession *who[kMaxFds]; /* the session of each descriptor past the fixed ones */
    nfds_t n;
};

void Watch(PollSet &set, int fd, short events, SrvSession *s)
{
    set.fds[set.n] = {fd, events, 0};
    set.who[set.n++] = s;
}

void WatchSessions(SrvServer *pSrv, PollSet &set, bool hold)
{
    for (uint32_t i = 0; i < pSrv->nSlots; i++) {
        SrvSlot &slot = pSrv->slots[i];
        if (slot.inFd < 0)
            continue;
        const char *p;
        const uint32_t pending = SrvSession_Pending(slot.s, &p);
        slot.watched = SrvSession_WantsInput(slot.s);
        const bool held = hold && slot.s == pSrv->pRun && pending < kSrvFlushAt;
        const bool wantOut = pending > 0 && !held;
        if (slot.inFd == slot.outFd) {
            /* A socket: its peer's end is seen also while its input is not
             * read (POLLRDHUP), so that the session ends at once. */
            const short ev = static_cast<short>((slot.watched ? POLLIN : 0) |
                                                (wantOut ? POLLOUT : 0) | POLLRDHUP);
            Watch(set, slot.inFd, ev, slot.s);
            continue;
        }
        /* Pipes: one with nothing wanted is left out, so that a hung-up
         * input behind a full queue does not wake the loop. */
        Watch(set, slot.watched ? slot.inFd : -1, POLLIN, slot.s);
        Watch(set, wantOut ? slot.outFd : -1, POLLOUT, slot.s);
    }
}

void HandleSessions(SrvServer *pSrv, const PollSet &set, uint64_t now)
{
    for (nfds_t k = kFixedFds; k < set.n; k++) {
        const short ev = set.fds[k].revents;
        SrvSlot *pSlot = nullptr;
        for (uint32_t i = 0; i < pSrv->nSlots; i++)
            if (pSrv->slots[i].s == set.who[k])
                pSlot = &pSrv->slots[i];
        if (ev == 0 || pSlot == nullptr || pSlot->inFd < 0 || set.fds[k].fd != pSlot->inFd)
            continue;
        if (SrvSession_WantsInput(pSlot->s) && (ev & (POLLIN | POLLHUP | POLLERR | POLLRDHUP)) != 0)
            ReadInput(*pSlot, now);
        else if (pSlot->inFd == pSlot->outFd && (ev & (POLLHUP | POLLERR | POLLRDHUP)) != 0)
            SrvSession_InputEnded(pSlot->s, (ev & POLLERR) != 0, now);
    }
}

/* One wait in poll and what it found.  False when poll failed. */
bool Wait(SrvServer *pSrv, bool hold, int timeout)
{
    const uint64_t nowUs = Srv_NowUs();
    const auto dueIn = [&](uint64_t atUs) {
        const int ms = atUs > nowUs ? static_cast<int>((atUs - nowUs + 999u) / 1000u) : 0;
        timeout = ms < timeout ? ms : timeout;
    };
    if (hold)
        dueIn(pSrv->holdUntilUs);
    if (pSrv->cap.pendSinceUs != 0)
        dueIn(pSrv->cap.pendSinceUs + kSrvHoldUs);
    PollSet set;
    set.n = 0;
    /* While a request's frames are held, its output may wait in the pipe
     * too: it is read at its end or when the hold is over. */
    const bool room = Srv_CaptureRoom(pSrv) && !hold;
    Watch(set, pSrv->wake[0], POLLIN, nullptr);
    Watch(set, room ? SrvCapture_Fd(&pSrv->cap, 1) : -1, POLLIN, nullptr);
    Watch(set, room ? SrvCapture_Fd(&pSrv->cap, 2) : -1, POLLIN, nullptr);
    const bool listen = pSrv->listenFd >= 0 && nowUs / 1000u >= pSrv->listenIdleUntilMs;
    Watch(set, listen ? pSrv->listenFd : -1, POLLIN, nullptr);
    WatchSessions(pSrv, set, hold);
    if (pSrv->running && pSrv->doneSeen && room)
        timeout = 0; /* the pipes still hold some of the output */

    pthread_mutex_unlock(&pSrv->lock);
    const int ready = poll(set.fds, set.n, timeout);
    pthread_mutex_lock(&pSrv->lock);
    if (ready < 0)
        return errno == EINTR;
    if (ready == 0)
        return true;
    const uint64_t now = Srv_NowMs();
    if ((set.fds[0].revents & POLLIN) != 0) {
        char bytes[16]; /* a word from the interpreter: look again */
        (void)!read(pSrv->wake[0], bytes, sizeof bytes);
    }
    for (int stream = 1; stream <= 2 && !pSrv->doneSeen; stream++)
        if (set.fds[stream].revents != 0)
            (void)Srv_DrainOne(pSrv, stream, Srv_NowUs());
    if ((set.fds[3].revents & POLLIN) != 0)
        Accept(pSrv, now);
    HandleSessions(pSrv, set, now);
    return true;
}

} // namespace

void *SrvLoop_Io(void *pArg)
{
    SrvServer *pSrv = static_cast<SrvServer *>(pArg);
    /* The cancel signal is for the interpreter's thread alone. */
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, KXSRV_CANCEL_SIGNAL);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);

    pthread_mutex_lock(&pSrv->lock);
    for (;;) {
        const bool hold = Step(pSrv, Srv_NowUs());
        if (pSrv->finish && !pSrv->running)
            break;
        if (!Wait(pSrv, hold, Timers(pSrv, Srv_NowMs()))) {
            pSrv->finish = true; /* poll failed: the interpreter stops after its request */
            break;
        }
    }
    pthread_mutex_unlock(&pSrv->lock);
    Srv_Post(pSrv->jobPipe[1], 'S');
    return nullptr;
}

void SrvLoop_Interpreter(SrvServer *pSrv)
{
    for (;;) {
        char word = 0;
        const ssize_t n = read(pSrv->jobPipe[0], &word, 1);
        if (n < 0 && errno == EINTR)
            continue; /* a late cancel signal */
        if (n != 1 || word != 'J')
            return;
        std::atomic_thread_fence(std::memory_order_acquire);
        SrvRunEnd end;
        do
            SrvInterp_Run(pSrv->cfg, pSrv->pExec, *pSrv->pJob, &end); /* its alone now */
        while (FinishHere(pSrv, end));
    }
}

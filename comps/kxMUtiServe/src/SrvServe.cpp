/*
 * SrvServe.cpp - the server: sessions, the request queue, capture of what
 * commands print, the result store, and the TCP listener with its guards.
 *
 * Two threads.  The caller's thread is the interpreter's: it waits for a
 * job, runs it (kxMUtiCmd_ExecLine, describe or complete) and flushes
 * stdio.  The I/O thread does the rest: it reads frames, answers F, C, H
 * and A at once, queues requests, hands them over one at a time, drains
 * the pipes that descriptors 1 and 2 lead into while serving, and writes
 * frames.  All of the server's state is under one lock, which the I/O
 * thread holds except while it waits in poll, and the interpreter takes
 * after a job: it then finishes the job itself (the last output, the R)
 * and hands itself the next waiting one, so that a quick request costs no
 * extra wake-up of either thread.  When it cannot finish (the session's
 * buffer is full) or the I/O thread has more to do, it writes a byte into
 * a wake-up pipe.  A job handed over by the I/O thread comes as a byte
 * into the interpreter's pipe.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "Srv.h"
#include "kxMUtiConsole.h"
#include "kxMUtiServe.h"

namespace {

/* ======================================================================
 * Records
 * ====================================================================== */

constexpr uint32_t kStatusCancelled = 0xFFFFFFFFu; /* a cancelled request that never ran */
constexpr uint32_t kFlushAt = 64u * 1024u;         /* output written while a drain goes on */
/*
 * How long captured bytes may wait for more before they are framed, and
 * how long the K of a request handed over from idle waits for the request
 * to end.  A command that prints line by line then costs one frame per
 * chunk, not one per line, and a quick one's K, output and R leave in one
 * write; a slow one's output is late by at most this much.  An R never
 * waits.
 */
constexpr uint64_t kHoldUs = 1000u;

/* Messages of X frames: for people; clients go by the code. */
constexpr const char *kMsgBadFrame = "not a valid frame";
constexpr const char *kMsgHuge = "payload over the frame limit";
constexpr const char *kMsgBadLine = "line too long or holds a NUL byte";
constexpr const char *kMsgUnknownType = "unknown frame type";
constexpr const char *kMsgQueued = "request waits in the queue";
constexpr const char *kMsgUnknownId = "no such request";
constexpr const char *kMsgForgotten = "request ran; its result is no longer kept";
constexpr const char *kMsgNotAuthed = "not authenticated";
constexpr const char *kMsgWrongToken = "wrong token";
constexpr const char *kMsgTooManyAttempts = "too many attempts; try later";
constexpr const char *kMsgTooMany = "too many sessions";
constexpr const char *kMsgIdle = "idle timeout";
constexpr const char *kMsgStuck = "output could not be sent in time";
constexpr const char *kMsgNotAfter = "the request this one follows was not received";

/* Error codes of X frames (docs/protocol.md section 6). */
enum : uint32_t {
    kErrBadFrame = 1,
    kErrHuge = 2,
    kErrBadLine = 3,
    kErrUnknownType = 4,
    kErrQueued = 5,
    kErrUnknownId = 6,
    kErrForgotten = 7,
    kErrAuth = 8,
    kErrTooMany = 9,
    kErrIdle = 10,
    kErrStuck = 11,
    kErrNotAfter = 12
};

/* One request waiting to run, or running. */
struct Job {
    char type;                     /* 'Q', 'D' or 'P' */
    uint32_t id;                   /* the client's request id */
    uint32_t cursor;               /* P: byte offset of the cursor */
    uint32_t len;                  /* bytes of line */
    char line[KXSRV_LINE_MAX + 1]; /* line[len] == '\0' */
};

/* A finished request, kept for F and repeats. */
struct Result {
    bool used;       /* the slot holds a result */
    uint32_t id;     /* its request id */
    uint32_t status; /* 32-bit status */
    bool failed;     /* the failure rule's verdict */
    bool cancelled;  /* a C reached it */
    bool kept;       /* pData holds the output */
    uint64_t us;     /* run time */
    uint32_t nOut;   /* bytes written to standard output */
    uint32_t nErr;   /* bytes written to standard error */
    char *pData;     /* nOut bytes of output then nErr of error; null unless kept */
};

struct Session {
    int inFd;                   /* frames come from here */
    int outFd;                  /* frames go here; may equal inFd */
    bool authed;                /* may run requests */
    bool inEof;                 /* no more input */
    bool readerDry;             /* the reader held no further frame */
    bool inWatched;             /* the I/O thread's last poll watched the input */
    bool closing;               /* close once the output is sent */
    uint32_t qHead, qCount;     /* queue: qCount jobs from qHead on (ring) */
    uint32_t nIds, idsNext;     /* ids: nIds remembered, next slot */
    uint32_t keptNext;          /* next slot of kept */
    uint64_t lastInMs;          /* when input last came */
    uint64_t stallSinceMs;      /* output not moving since; 0: none waits */
    uint32_t sentSinceStall;    /* bytes taken by the peer since stallSinceMs */
    uint64_t penaltyAtMs;       /* a wrong token is answered then; 0: none */
    uint64_t createdMs;         /* when the session started */
    char peer[64];              /* "address:port", or "-" */
    char addr[48];              /* the peer's address alone */
    SrvBuf out;                 /* encoded frames not yet written */
    Job queue[KXSRV_QUEUE_MAX]; /* requests waiting */
    uint32_t ids[KXSRV_IDS];    /* request ids seen (ring) */
    Result kept[KXSRV_KEPT];    /* finished requests (ring) */
    SrvFrame frame;             /* the frame being handled */
    SrvReader reader;           /* input not yet taken */
};

/* A peer address's record of token attempts. */
struct Peer {
    char addr[48];                              /* "" when the slot is free */
    uint32_t failures;                          /* wrong tokens since the last right one */
    uint64_t lastMs;                            /* last attempt */
    uint64_t attemptsMs[KXSRV_AUTH_PER_MINUTE]; /* times of the latest attempts (ring) */
    uint32_t nextAttempt;                       /* next slot of attemptsMs */
};

struct Server {
    kxMUtiSrv_Config_t cfg;
    kxMUtiCmd_Exec_t *pExec;     /* where lines run; never null */
    bool net;                    /* TCP (else one session on fds) */
    int listenFd;                /* TCP listener, or -1 */
    uint32_t maxSessions;        /* TCP session limit */
    uint32_t idleMs;             /* TCP idle timeout */
    char token[KXSRV_TOKEN_MAX]; /* the shared secret */
    uint32_t tokenLen;           /* 0: no token needed */
    int auditFd;                 /* audit file, or -1 */
    int outPipe[2];              /* descriptor 1 leads into outPipe[1] */
    int errPipe[2];              /* descriptor 2 leads into errPipe[1] */
    int wake[2];                 /* the interpreter's "done" to the I/O thread */
    SrvBuf greeting;             /* JSON of the G frame */
    SrvBuf greetingAnon;         /* the same before a token was sent: no manifest */
    Session *sessions[KXSRV_SESSIONS_MAX > 1 ? KXSRV_SESSIONS_MAX : 1];
    uint32_t nSessions;
    uint32_t rr; /* where the next job search starts */
    Peer peers[KXSRV_PEERS];
    bool finish; /* fds: the session ended; stop when idle */

    /* The running request. */
    bool running;            /* a job is with the interpreter */
    bool doneSeen;           /* the interpreter finished it */
    Session *pRun;           /* its session; null once that closed */
    uint32_t runOut, runErr; /* bytes of output and error so far */
    bool runCancelled;       /* a C reached it */
    uint64_t lastSignalMs;   /* when the cancel signal was last sent */
    bool keptOk;             /* output still small enough to keep */
    SrvBuf keptOut, keptErr; /* output kept for the store */
    uint64_t holdUntilUs;    /* the running request's frames wait until then; 0: none */

    /* Captured bytes not yet framed ([0] output, [1] error): a frame is
     * made when a chunk is full, when the request ends or starts, or
     * kHoldUs after the oldest of them was read. */
    char pend[2][KXSRV_CHUNK_MAX];
    uint32_t pendLen[2];
    uint64_t pendSinceUs; /* when the oldest pending byte was read; 0: none */
    pthread_mutex_t lock; /* over all of the above, but while a job runs */

    /* The job, handed to the interpreter through jobPipe (a 'J' byte: run
     * job; 'S': return) or taken by it after its last one, and what it
     * gave; the interpreter's thread reads the job while it runs, alone. */
    int jobPipe[2]; /* the I/O thread's word to the interpreter */
    Job job;        /* the job handed over */
    uint32_t doneStatus;
    bool doneFailed;
    bool doneQuit;
    uint64_t doneUs;
    pthread_t interp; /* the interpreter's thread */
};

std::atomic<int> gCancelled{0};
std::atomic<Server *> gpServer{nullptr};

uint64_t NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t NowUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

/* Writes one byte into a wake-up pipe, after a release fence: what the
 * writer stored before is seen by the reader after it reads the byte. */
void Post(int fd, char byte)
{
    std::atomic_thread_fence(std::memory_order_release);
    while (write(fd, &byte, 1) < 0 && errno == EINTR) {
    }
}

/* ======================================================================
 * Sending
 * ====================================================================== */

void Send(Session *s, char type, uint32_t id, uint32_t n, const void *p, uint32_t len)
{
    /* Out of memory: the frame is lost; the client sees a gap or a
     * silence and asks again (F). */
    (void)SrvBuf_AddFrame(&s->out, type, id, n, p, len);
}

void SendX(Session *s, uint32_t id, uint32_t code, const char *pMsg)
{
    Send(s, 'X', id, code, pMsg, static_cast<uint32_t>(strlen(pMsg)));
}

void SendGreeting(Server *pSrv, Session *s)
{
    /* What the board runs is told only to a peer that has the token. */
    const SrvBuf &g = s->authed ? pSrv->greeting : pSrv->greetingAnon;
    Send(s, 'G', 0, 1, g.p, SrvBuf_Used(&g));
}

/* Sends chunks of a stream: frames of type with offsets from 0. */
void SendPieces(Session *s, char type, uint32_t id, const char *p, uint32_t len)
{
    for (uint32_t off = 0; off < len; off += KXSRV_CHUNK_MAX) {
        const uint32_t n = len - off < KXSRV_CHUNK_MAX ? len - off : KXSRV_CHUNK_MAX;
        Send(s, type, id, off, p + off, n);
    }
}

/* The R frame of a result. */
void SendResult(Session *s, const Result &r, bool replay)
{
    char json[256];
    const int n =
        snprintf(json, sizeof json,
                 "{\"status\":%u,\"failed\":%s,\"us\":%llu,\"out\":%u,\"err\":%u,"
                 "\"cancelled\":%s,\"replay\":%s,\"kept\":%s}",
                 r.status, r.failed ? "true" : "false", static_cast<unsigned long long>(r.us),
                 r.nOut, r.nErr, r.cancelled ? "true" : "false", replay ? "true" : "false",
                 r.kept ? "true" : "false");
    Send(s, 'R', r.id, r.status, json, static_cast<uint32_t>(n));
}

/* Writes what the session's buffer holds, as far as the peer takes it.
 * False when the peer is gone. */
bool Flush(Server *pSrv, Session *s, uint64_t now)
{
    while (SrvBuf_Used(&s->out) > 0) {
        const ssize_t n = pSrv->net ? send(s->outFd, s->out.p + s->out.head, SrvBuf_Used(&s->out),
                                           MSG_NOSIGNAL | MSG_DONTWAIT)
                                    : write(s->outFd, s->out.p + s->out.head, SrvBuf_Used(&s->out));
        if (n > 0) {
            SrvBuf_Take(&s->out, static_cast<uint32_t>(n));
            s->sentSinceStall += static_cast<uint32_t>(n);
            if (s->sentSinceStall >= KXSRV_WRITE_PROGRESS_MIN) { /* moving: start again */
                s->stallSinceMs = now;
                s->sentSinceStall = 0;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (s->stallSinceMs == 0)
                s->stallSinceMs = now;
            return true;
        }
        return false;
    }
    s->stallSinceMs = 0;
    s->sentSinceStall = 0;
    return true;
}

/* ======================================================================
 * Sessions
 * ====================================================================== */

Session *SessionNew(Server *pSrv, int inFd, int outFd, const char *pPeer, const char *pAddr)
{
    Session *s = static_cast<Session *>(calloc(1, sizeof(Session)));
    if (s == nullptr)
        return nullptr;
    s->inFd = inFd;
    s->outFd = outFd;
    s->authed = pSrv->tokenLen == 0;
    s->createdMs = s->lastInMs = NowMs();
    snprintf(s->peer, sizeof s->peer, "%s", pPeer);
    snprintf(s->addr, sizeof s->addr, "%s", pAddr);
    SrvReader_Init(&s->reader);
    pSrv->sessions[pSrv->nSessions++] = s;
    SendGreeting(pSrv, s);
    return s;
}

void SessionClose(Server *pSrv, Session *s)
{
    if (pSrv->pRun == s)
        pSrv->pRun = nullptr;
    close(s->inFd);
    if (s->outFd != s->inFd)
        close(s->outFd);
    for (Result &r : s->kept)
        free(r.pData);
    SrvBuf_Free(&s->out);
    for (uint32_t i = 0; i < pSrv->nSessions; i++) {
        if (pSrv->sessions[i] == s) {
            pSrv->sessions[i] = pSrv->sessions[--pSrv->nSessions];
            break;
        }
    }
    free(s);
    if (!pSrv->net)
        pSrv->finish = true;
}

/* Sends an error, tries once to deliver it, and closes the session. */
void CloseWith(Server *pSrv, Session *s, uint32_t code, const char *pMsg)
{
    SendX(s, 0, code, pMsg);
    (void)Flush(pSrv, s, NowMs());
    SessionClose(pSrv, s);
}

bool IsRunning(const Server *pSrv, const Session *s, uint32_t id)
{
    return pSrv->running && pSrv->pRun == s && pSrv->job.id == id;
}

int QueuedAt(const Session *s, uint32_t id)
{
    for (uint32_t i = 0; i < s->qCount; i++)
        if (s->queue[(s->qHead + i) % KXSRV_QUEUE_MAX].id == id)
            return static_cast<int>(i);
    return -1;
}

Result *KeptResult(Session *s, uint32_t id)
{
    for (Result &r : s->kept)
        if (r.used && r.id == id)
            return &r;
    return nullptr;
}

bool IdSeen(const Session *s, uint32_t id)
{
    for (uint32_t i = 0; i < s->nIds; i++)
        if (s->ids[i] == id)
            return true;
    return false;
}

void RememberId(Session *s, uint32_t id)
{
    s->ids[s->idsNext] = id;
    s->idsNext = (s->idsNext + 1) % KXSRV_IDS;
    if (s->nIds < KXSRV_IDS)
        s->nIds++;
}

void Replay(Session *s, const Result &r)
{
    if (r.kept) {
        SendPieces(s, 'O', r.id, r.pData, r.nOut);
        SendPieces(s, 'E', r.id, r.pData + r.nOut, r.nErr);
    }
    SendResult(s, r, true);
}

/* Answers F, or a repeated request, for an id the session knows: true
 * when it did. */
bool AnswerKnown(Server *pSrv, Session *s, uint32_t id)
{
    if (IsRunning(pSrv, s, id)) {
        Send(s, 'K', id, 0, nullptr, 0);
        return true;
    }
    if (QueuedAt(s, id) >= 0) {
        SendX(s, id, kErrQueued, kMsgQueued);
        return true;
    }
    if (const Result *pR = KeptResult(s, id)) {
        Replay(s, *pR);
        return true;
    }
    if (IdSeen(s, id)) {
        SendX(s, id, kErrForgotten, kMsgForgotten);
        return true;
    }
    return false;
}

/* Puts a finished request into the store, taking pData. */
Result *Store(Session *s, const Result &r)
{
    Result &slot = s->kept[s->keptNext];
    s->keptNext = (s->keptNext + 1) % KXSRV_KEPT;
    free(slot.pData);
    slot = r;
    slot.used = true;
    return &slot;
}

/* ======================================================================
 * Audit
 * ====================================================================== */

void Audit(Server *pSrv, const Session *s, const Job &job, uint32_t status, uint64_t us)
{
    if (pSrv->auditFd < 0)
        return;
    SrvBuf line{};
    char stamp[32];
    const time_t t = time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    const char type[2] = {job.type, '\0'};
    const bool ok =
        SrvBuf_AddStr(&line, "{\"time\":\"") && SrvBuf_AddStr(&line, stamp) &&
        SrvBuf_AddStr(&line, "\",\"peer\":") && SrvBuf_AddJson(&line, s->peer, strlen(s->peer)) &&
        SrvBuf_AddStr(&line, ",\"type\":\"") && SrvBuf_AddStr(&line, type) &&
        SrvBuf_AddStr(&line, "\",\"line\":") && SrvBuf_AddJson(&line, job.line, job.len) &&
        SrvBuf_AddStr(&line, ",\"status\":") && SrvBuf_AddNum(&line, status) &&
        SrvBuf_AddStr(&line, ",\"us\":") && SrvBuf_AddNum(&line, us) && SrvBuf_AddStr(&line, "}\n");
    if (ok) { /* O_APPEND: one write, one line, whoever else appends */
        while (write(pSrv->auditFd, line.p, line.len) < 0 && errno == EINTR) {
        }
    }
    SrvBuf_Free(&line);
}

/* ======================================================================
 * Tokens and peers
 * ====================================================================== */

/* Compares in time that depends on the lengths only, never on where the
 * texts differ. */
bool TokenEqual(const char *pA, uint32_t lenA, const unsigned char *pB, uint32_t lenB)
{
    if (lenA == 0)
        return false;
    volatile unsigned char diff = lenA != lenB;
    for (uint32_t i = 0; i < lenB; i++)
        diff = diff | static_cast<unsigned char>(pB[i] ^ static_cast<unsigned char>(pA[i % lenA]));
    return diff == 0;
}

Peer *PeerFind(Server *pSrv, const char *pAddr, uint64_t now)
{
    Peer *pOldest = &pSrv->peers[0];
    for (Peer &p : pSrv->peers) {
        if (p.addr[0] != '\0' && strcmp(p.addr, pAddr) == 0)
            return &p;
        if (p.lastMs < pOldest->lastMs)
            pOldest = &p;
    }
    *pOldest = Peer{};
    snprintf(pOldest->addr, sizeof pOldest->addr, "%s", pAddr);
    pOldest->lastMs = now;
    return pOldest;
}

void Authenticate(Server *pSrv, Session *s, const SrvFrame &f, uint64_t now)
{
    Peer *pPeer = PeerFind(pSrv, s->addr, now);
    const uint64_t oldest = pPeer->attemptsMs[pPeer->nextAttempt];
    if (oldest != 0 && now - oldest < 60000u) {
        CloseWith(pSrv, s, kErrAuth, kMsgTooManyAttempts);
        return;
    }
    pPeer->attemptsMs[pPeer->nextAttempt] = now;
    pPeer->nextAttempt = (pPeer->nextAttempt + 1) % KXSRV_AUTH_PER_MINUTE;
    pPeer->lastMs = now;
    if (TokenEqual(pSrv->token, pSrv->tokenLen, f.payload, f.len)) {
        pPeer->failures = 0;
        s->authed = true;
        SendGreeting(pSrv, s);
        return;
    }
    /* Answered only after the delay; the session reads nothing meanwhile. */
    uint64_t delay = KXSRV_AUTH_DELAY_MS;
    for (uint32_t i = 0; i < pPeer->failures && delay < KXSRV_AUTH_DELAY_MAX_MS; i++)
        delay *= 2u;
    if (delay > KXSRV_AUTH_DELAY_MAX_MS)
        delay = KXSRV_AUTH_DELAY_MAX_MS;
    pPeer->failures++;
    s->penaltyAtMs = now + delay;
}

/* ======================================================================
 * Requests
 * ====================================================================== */

void CancelHooks()
{
    /* A script that source runs in the request (through the console's
     * runner) ends after its current line. */
    kxMUtiCon_Cancel();
}

void Cancel(Server *pSrv, Session *s, uint32_t id, uint64_t now)
{
    if (IsRunning(pSrv, s, id)) {
        if (!pSrv->runCancelled) {
            pSrv->runCancelled = true;
            gCancelled.store(1);
            CancelHooks();
            pthread_kill(pSrv->interp, KXSRV_CANCEL_SIGNAL);
            pSrv->lastSignalMs = now;
        }
        return;
    }
    const int at = QueuedAt(s, id);
    if (at >= 0) { /* never runs: K, then its result */
        for (uint32_t i = static_cast<uint32_t>(at); i + 1 < s->qCount; i++)
            s->queue[(s->qHead + i) % KXSRV_QUEUE_MAX] =
                s->queue[(s->qHead + i + 1) % KXSRV_QUEUE_MAX];
        s->qCount--;
        Result r{};
        r.id = id;
        r.status = kStatusCancelled;
        r.failed = true;
        r.cancelled = true;
        r.kept = true;
        Send(s, 'K', id, 0, nullptr, 0);
        SendResult(s, *Store(s, r), false);
        return;
    }
    if (!IdSeen(s, id))
        SendX(s, id, kErrUnknownId, kMsgUnknownId);
}

void Request(Server *pSrv, Session *s, const SrvFrame &f)
{
    if (AnswerKnown(pSrv, s, f.id))
        return;
    if (f.len > KXSRV_LINE_MAX || memchr(f.payload, '\0', f.len) != nullptr) {
        SendX(s, f.id, kErrBadLine, kMsgBadLine);
        return;
    }
    /* A Q sent behind another without waiting names it in n: it runs only
     * after that one, so a request lost on the way cannot be overtaken by
     * the ones behind it.  Refused, its id is not used: the client sends
     * it again behind the lost one. */
    if (f.type == 'Q' && f.n != 0 && !IdSeen(s, f.n)) {
        SendX(s, f.id, kErrNotAfter, kMsgNotAfter);
        return;
    }
    Job &job = s->queue[(s->qHead + s->qCount) % KXSRV_QUEUE_MAX];
    s->qCount++;
    job.type = f.type;
    job.id = f.id;
    job.cursor = f.n;
    job.len = f.type == 'D' ? 0 : f.len;
    memcpy(job.line, f.payload, job.len);
    job.line[job.len] = '\0';
    RememberId(s, f.id);
}

void HandleFrame(Server *pSrv, Session *s, const SrvFrame &f, uint64_t now)
{
    switch (f.type) {
    case 'H':
        SendGreeting(pSrv, s);
        return;
    case 'B':
        SessionClose(pSrv, s);
        return;
    case 'A':
        if (s->authed)
            SendGreeting(pSrv, s);
        else
            Authenticate(pSrv, s, f, now);
        return;
    default:
        break;
    }
    if (!s->authed) {
        SendX(s, f.id, kErrAuth, kMsgNotAuthed);
        return;
    }
    switch (f.type) {
    case 'Q':
    case 'D':
    case 'P':
        Request(pSrv, s, f);
        return;
    case 'F':
        if (!AnswerKnown(pSrv, s, f.id))
            SendX(s, f.id, kErrUnknownId, kMsgUnknownId);
        return;
    case 'C':
        Cancel(pSrv, s, f.id, now);
        return;
    default:
        SendX(s, f.id, kErrUnknownType, kMsgUnknownType);
        return;
    }
}

/* Takes frames from the session's input while its queue has room.
 * Returns false when the session was closed. */
bool TakeFrames(Server *pSrv, Session *s, uint64_t now)
{
    while (s->qCount < KXSRV_QUEUE_MAX && !s->closing && s->penaltyAtMs == 0) {
        const SrvReadResult r = SrvReader_Next(&s->reader, &s->frame, s->inEof);
        s->readerDry = r == SRV_READ_NONE;
        if (r == SRV_READ_NONE)
            break;
        if (r == SRV_READ_BAD || r == SRV_READ_OLD) { /* never run what is not read right */
            SendX(s, 0, kErrBadFrame, kMsgBadFrame);
        } else if (r == SRV_READ_HUGE) {
            SendX(s, 0, kErrHuge, kMsgHuge);
        } else {
            const uint32_t nBefore = pSrv->nSessions;
            HandleFrame(pSrv, s, s->frame, now);
            if (pSrv->nSessions != nBefore || (!pSrv->net && pSrv->finish))
                return false; /* s was closed (B, or refused) */
        }
    }
    return true;
}

/* Reads what the peer sent.  Returns false when the session was closed. */
bool ReadInput(Server *pSrv, Session *s, uint64_t now)
{
    unsigned char *pDst;
    const uint32_t room = SrvReader_Space(&s->reader, &pDst);
    if (room > 0) {
        const ssize_t n = read(s->inFd, pDst, room);
        if (n > 0) {
            SrvReader_Commit(&s->reader, static_cast<uint32_t>(n));
            s->lastInMs = now;
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            s->inEof = true;
        }
    }
    return TakeFrames(pSrv, s, now);
}

/* ======================================================================
 * The running request
 * ====================================================================== */

void EmitAll(Server *pSrv);

/* Takes the next waiting job (round robin over the sessions) for the
 * interpreter: from the I/O thread (self false), which hands it over with
 * a byte, or from the interpreter itself after its last job (self true).
 * True when there was one. */
bool Dispatch(Server *pSrv, bool self)
{
    for (uint32_t k = 0; k < pSrv->nSessions; k++) {
        Session *s = pSrv->sessions[(pSrv->rr + k) % pSrv->nSessions];
        if (s->qCount == 0 || s->closing || !s->authed)
            continue;
        pSrv->rr = (pSrv->rr + k + 1) % pSrv->nSessions;
        const Job &job = s->queue[s->qHead];
        /* What was printed while nothing ran is a log. */
        EmitAll(pSrv);
        if (self) {
            /* The request behind another: its K goes with the R before it. */
            pSrv->holdUntilUs = 0;
        } else {
            /* From idle: what the session holds leaves now, and only this
             * request's own frames wait a moment for its end (most end at
             * once, and K, output and R then leave in one write). */
            (void)Flush(pSrv, s, NowMs());
            pSrv->holdUntilUs = NowUs() + kHoldUs;
        }
        pSrv->running = true;
        pSrv->doneSeen = false;
        pSrv->pRun = s;
        pSrv->runOut = pSrv->runErr = 0;
        pSrv->runCancelled = false;
        pSrv->keptOk = true;
        gCancelled.store(0);
        kxMUtiCon_CancelClear(); /* an earlier request's cancel is not this one's */
        Send(s, 'K', job.id, 0, nullptr, 0);
        pSrv->job = job;
        if (!self)
            Post(pSrv->jobPipe[1], 'J');
        s->qHead = (s->qHead + 1) % KXSRV_QUEUE_MAX;
        s->qCount--;
        return true;
    }
    return false;
}

/* Frames captured bytes: for the running request's session, or (when none
 * runs) L frames to every session that may have them. */
void Route(Server *pSrv, int stream, const char *p, uint32_t n)
{
    if (pSrv->running) {
        uint32_t *pOff = stream == 1 ? &pSrv->runOut : &pSrv->runErr;
        if (pSrv->pRun != nullptr)
            Send(pSrv->pRun, stream == 1 ? 'O' : 'E', pSrv->job.id, *pOff, p, n);
        *pOff += n;
        if (pSrv->keptOk && pSrv->runOut + pSrv->runErr <= KXSRV_KEPT_BYTES) {
            if (!SrvBuf_Add(stream == 1 ? &pSrv->keptOut : &pSrv->keptErr, p, n))
                pSrv->keptOk = false;
        } else {
            pSrv->keptOk = false;
        }
        if (!pSrv->keptOk) {
            SrvBuf_Free(&pSrv->keptOut);
            SrvBuf_Free(&pSrv->keptErr);
        }
        return;
    }
    for (uint32_t i = 0; i < pSrv->nSessions; i++) {
        Session *s = pSrv->sessions[i];
        /* Over TCP a peer that does not read loses log frames, rather
         * than stall the others; the write deadline then closes it. */
        if (s->authed && !s->closing && SrvBuf_Used(&s->out) < KXSRV_BUFFER_MAX)
            Send(s, 'L', 0, static_cast<uint32_t>(stream), p, n);
    }
}

/* Frames the bytes of a stream that wait in pend. */
void EmitPending(Server *pSrv, int stream)
{
    uint32_t &len = pSrv->pendLen[stream - 1];
    if (len > 0) {
        Route(pSrv, stream, pSrv->pend[stream - 1], len);
        len = 0;
    }
    if (pSrv->pendLen[0] == 0 && pSrv->pendLen[1] == 0)
        pSrv->pendSinceUs = 0;
}

void EmitAll(Server *pSrv)
{
    EmitPending(pSrv, 1);
    EmitPending(pSrv, 2);
}

/* Whether the capture pipes may be drained now: the bytes have somewhere
 * to go without passing the buffer limit. */
bool CaptureRoom(const Server *pSrv)
{
    if (pSrv->running)
        return pSrv->pRun == nullptr || SrvBuf_Used(&pSrv->pRun->out) < KXSRV_BUFFER_MAX;
    if (pSrv->net)
        return true;
    return pSrv->nSessions == 0 || SrvBuf_Used(&pSrv->sessions[0]->out) < KXSRV_BUFFER_MAX;
}

/* Reads one capture pipe until a read comes back short (the pipe was
 * empty then) or the room runs out.  True when it was emptied. */
bool DrainOne(Server *pSrv, int stream)
{
    const int fd = stream == 1 ? pSrv->outPipe[0] : pSrv->errPipe[0];
    char *pPend = pSrv->pend[stream - 1];
    uint32_t &len = pSrv->pendLen[stream - 1];
    while (CaptureRoom(pSrv)) {
        const uint32_t want = KXSRV_CHUNK_MAX - len;
        const ssize_t n = read(fd, pPend + len, want);
        if (n > 0) {
            if (pSrv->pendSinceUs == 0)
                pSrv->pendSinceUs = NowUs();
            len += static_cast<uint32_t>(n);
            if (len == KXSRV_CHUNK_MAX)
                EmitPending(pSrv, stream);
            if (static_cast<uint32_t>(n) < want)
                return true;
            /* A command that prints fast: pass its output on as it comes,
             * so the buffer fills only when the peer is slow. */
            Session *s = pSrv->pRun;
            if (s != nullptr && SrvBuf_Used(&s->out) >= kFlushAt && !Flush(pSrv, s, NowMs()))
                SessionClose(pSrv, s);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return true;
    }
    return false;
}

/* Once the interpreter has flushed and said so: reads the capture pipes
 * until both are empty (true) or the room runs out (false).  The
 * interpreter writes nothing more, so a short read proves a pipe empty and
 * one poll finds those that still hold bytes. */
bool DrainAll(Server *pSrv)
{
    pollfd fds[2] = {{pSrv->outPipe[0], POLLIN, 0}, {pSrv->errPipe[0], POLLIN, 0}};
    int ready;
    while ((ready = poll(fds, 2, 0)) < 0 && errno == EINTR) {
    }
    if (ready <= 0)
        return true;
    for (int i = 0; i < 2; i++)
        if (fds[i].revents != 0 && !DrainOne(pSrv, i + 1))
            return false;
    return true;
}

void FinishRun(Server *pSrv)
{
    EmitAll(pSrv); /* the last of the output, before its R */
    Result r{};
    r.id = pSrv->job.id;
    r.status = pSrv->doneStatus;
    r.failed = pSrv->doneFailed;
    r.us = pSrv->doneUs;
    const bool quit = pSrv->doneQuit;
    r.nOut = pSrv->runOut;
    r.nErr = pSrv->runErr;
    r.cancelled = pSrv->runCancelled;
    r.kept = pSrv->keptOk;
    if (r.kept && r.nOut + r.nErr > 0) {
        r.pData = static_cast<char *>(malloc(r.nOut + r.nErr));
        if (r.pData == nullptr) {
            r.kept = false;
        } else {
            if (r.nOut > 0)
                memcpy(r.pData, pSrv->keptOut.p, r.nOut);
            if (r.nErr > 0)
                memcpy(r.pData + r.nOut, pSrv->keptErr.p, r.nErr);
        }
    }
    SrvBuf_Free(&pSrv->keptOut);
    SrvBuf_Free(&pSrv->keptErr);
    Session *s = pSrv->pRun;
    pSrv->running = false;
    pSrv->doneSeen = false;
    pSrv->pRun = nullptr;
    pSrv->holdUntilUs = 0;
    if (s == nullptr) {
        free(r.pData);
        return;
    }
    SendResult(s, *Store(s, r), false);
    Audit(pSrv, s, pSrv->job, r.status, r.us);
    if (quit)
        s->closing = true;
}

/* ======================================================================
 * The interpreter's side
 * ====================================================================== */

void RunDescribe(kxMUtiCmd_Exec_t *pExec, SrvBuf *pOut)
{
    bool ok = SrvBuf_AddStr(pOut, "{\"levels\":[");
    kxMUtiCmd_Exec_t *pCtx = pExec;
    for (uint32_t dots = 0; ok && pCtx != nullptr && dots < KXSRV_CHAIN_MAX; dots++) {
        const kxMUtiCmd_Defs_t *pDefs =
            pCtx->pDefs != nullptr ? pCtx->pDefs : gpkxMUtiCmd_DefsGlobal;
        ok = (dots == 0 || SrvBuf_AddStr(pOut, ",")) && SrvBuf_AddStr(pOut, "{\"dots\":") &&
             SrvBuf_AddNum(pOut, dots) && SrvBuf_AddStr(pOut, ",\"prompt\":") &&
             (pCtx->pPrompt != nullptr ? SrvBuf_AddJson(pOut, pCtx->pPrompt, strlen(pCtx->pPrompt))
                                       : SrvBuf_AddStr(pOut, "null")) &&
             SrvBuf_AddStr(pOut, ",\"commands\":[");
        for (uint32_t i = 0; ok && pDefs != nullptr && i < pDefs->pDefVec->used; i++) {
            const kxMUtiCmd_Def_t *pDef =
                static_cast<const kxMUtiCmd_Def_t *>(pDefs->pDefVec->pEntries[i]);
            auto text = [&](const char *p) {
                return p != nullptr ? SrvBuf_AddJson(pOut, p, strlen(p))
                                    : SrvBuf_AddStr(pOut, "null");
            };
            ok = (i == 0 || SrvBuf_AddStr(pOut, ",")) && SrvBuf_AddStr(pOut, "{\"name\":") &&
                 text(pDef->pName) && SrvBuf_AddStr(pOut, ",\"alias\":") && text(pDef->pAlias) &&
                 SrvBuf_AddStr(pOut, ",\"format\":") && text(pDef->invokeFormat) &&
                 SrvBuf_AddStr(pOut, ",\"help\":") && text(pDef->pHelp) && SrvBuf_AddStr(pOut, "}");
        }
        ok = ok && SrvBuf_AddStr(pOut, "]}");
        pCtx = pCtx->pParent;
    }
    ok = ok && SrvBuf_AddStr(pOut, "]}");
    if (!ok)
        fputs("describe: out of memory\n", stderr);
}

uint32_t RunComplete(kxMUtiCmd_Exec_t *pExec, const Job &job, SrvBuf *pOut)
{
    kxMUtiCon_Completion_t done;
    const uint32_t rc = kxMUtiCon_Complete(pExec, job.line, job.cursor, &done);
    bool ok = rc == KX_OK && SrvBuf_AddStr(pOut, "{\"start\":") &&
              SrvBuf_AddNum(pOut, done.start) && SrvBuf_AddStr(pOut, ",\"candidates\":[");
    for (uint32_t i = 0; ok && i < done.candidates.used; i++) {
        const char *p = static_cast<const char *>(done.candidates.pEntries[i]);
        ok = (i == 0 || SrvBuf_AddStr(pOut, ",")) && SrvBuf_AddJson(pOut, p, strlen(p));
    }
    ok = ok && SrvBuf_AddStr(pOut, "]}");
    kxMUtiCon_CompletionDeInit(&done);
    if (!ok)
        fputs("complete: out of memory\n", stderr);
    return ok ? KX_OK : KX_ERR_NOMEM;
}

void RunJob(Server *pSrv, const Job &job)
{
    uint32_t status = KX_OK;
    bool failed = false;
    bool quit = false;
    const uint64_t start = NowUs();
    if (job.type == 'Q') {
        status = kxMUtiCon_RunLine(pSrv->pExec, job.line); /* source through the runner */
        const int hostFailed =
            pSrv->cfg.failed != nullptr ? pSrv->cfg.failed(status, pSrv->cfg.pFailedUser) : 0;
        failed = kxMUtiSrv_StatusFailed(status) || hostFailed != 0;
        quit = (pSrv->pExec->flags & kxMUtiCmd_ExecFlagQuit) != 0;
        pSrv->pExec->flags &= ~static_cast<uint32_t>(kxMUtiCmd_ExecFlagQuit);
    } else {
        SrvBuf json{};
        if (job.type == 'D')
            RunDescribe(pSrv->pExec, &json);
        else
            status = RunComplete(pSrv->pExec, job, &json);
        if (json.len > 0)
            fwrite(json.p, 1, json.len, stdout);
        SrvBuf_Free(&json);
    }
    const uint64_t us = NowUs() - start;
    fflush(stdout);
    fflush(stderr);
    clearerr(stdout); /* a cancel signal may have cut a write short */
    clearerr(stderr);

    pSrv->doneStatus = status;
    pSrv->doneFailed = failed;
    pSrv->doneQuit = quit;
    pSrv->doneUs = us;
}

/* Whether the I/O thread must look at the state again: output it must
 * write, a session that closed or is to close, bytes to frame later, a job
 * to finish, the end of serving, or input to take: frames the reader holds
 * or input left unwatched behind a full queue, once the queue is half
 * empty (so that a stream of requests wakes it once per half queue). */
bool NeedsIo(const Server *pSrv, uint32_t nSessionsBefore)
{
    if (pSrv->finish || pSrv->nSessions != nSessionsBefore || pSrv->pendSinceUs != 0 ||
        (pSrv->running && pSrv->doneSeen))
        return true;
    for (uint32_t i = 0; i < pSrv->nSessions; i++) {
        const Session *s = pSrv->sessions[i];
        if (SrvBuf_Used(&s->out) > 0 || s->closing || s->penaltyAtMs != 0 ||
            (s->inEof && s->qCount == 0))
            return true;
        if ((!s->readerDry || !s->inWatched) && s->qCount <= KXSRV_QUEUE_MAX / 2)
            return true;
    }
    return false;
}

/* After a job, on the interpreter's thread: finishes it (the last output
 * and the R, written at once) and takes the next waiting job.  True when
 * there is one to run.  A job whose output has no room yet is left to the
 * I/O thread. */
bool FinishHere(Server *pSrv)
{
    pthread_mutex_lock(&pSrv->lock);
    const uint32_t nSessions = pSrv->nSessions;
    bool next = false;
    if (DrainAll(pSrv)) {
        FinishRun(pSrv);
        if (!pSrv->finish)
            next = Dispatch(pSrv, true);
        const uint64_t now = NowMs();
        for (uint32_t i = 0; i < pSrv->nSessions; i++)
            if (SrvBuf_Used(&pSrv->sessions[i]->out) > 0)
                (void)Flush(pSrv, pSrv->sessions[i], now); /* a failure is the I/O thread's */
    } else {
        pSrv->doneSeen = true;
    }
    if (NeedsIo(pSrv, nSessions))
        Post(pSrv->wake[1], 'D');
    pthread_mutex_unlock(&pSrv->lock);
    return next;
}

void InterpreterLoop(Server *pSrv)
{
    for (;;) {
        char word = 0;
        const ssize_t n = read(pSrv->jobPipe[0], &word, 1);
        if (n < 0 && errno == EINTR)
            continue; /* a late cancel signal */
        if (n != 1 || word != 'J')
            return;
        std::atomic_thread_fence(std::memory_order_acquire);
        do
            RunJob(pSrv, pSrv->job); /* nobody else touches it while it runs */
        while (FinishHere(pSrv));
    }
}

/* ======================================================================
 * The I/O thread
 * ====================================================================== */

void Accept(Server *pSrv, uint64_t now)
{
    sockaddr_storage sa;
    socklen_t saLen = sizeof sa;
    const int fd = accept4(pSrv->listenFd, reinterpret_cast<sockaddr *>(&sa), &saLen,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    char addr[48] = "?";
    char peer[64];
    unsigned port = 0;
    if (sa.ss_family == AF_INET) {
        const sockaddr_in *p4 = reinterpret_cast<const sockaddr_in *>(&sa);
        inet_ntop(AF_INET, &p4->sin_addr, addr, sizeof addr);
        port = ntohs(p4->sin_port);
        snprintf(peer, sizeof peer, "%s:%u", addr, port);
    } else if (sa.ss_family == AF_INET6) {
        const sockaddr_in6 *p6 = reinterpret_cast<const sockaddr_in6 *>(&sa);
        inet_ntop(AF_INET6, &p6->sin6_addr, addr, sizeof addr);
        port = ntohs(p6->sin6_port);
        snprintf(peer, sizeof peer, "[%s]:%u", addr, port);
    } else {
        snprintf(peer, sizeof peer, "?");
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (pSrv->nSessions >= pSrv->maxSessions) {
        char frame[SrvFrame_Size(64)];
        const uint32_t n = SrvFrame_Encode(frame, 'X', 0, kErrTooMany, kMsgTooMany,
                                           static_cast<uint32_t>(strlen(kMsgTooMany)));
        (void)!send(fd, frame, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        close(fd);
        return;
    }
    if (SessionNew(pSrv, fd, fd, peer, addr) == nullptr)
        close(fd);
    (void)now;
}

/* Timeouts: wrong tokens answered, idle sessions and stuck peers closed,
 * the cancel signal sent again.  Returns the milliseconds until the next
 * one is due (capped). */
int Timers(Server *pSrv, uint64_t now)
{
    uint64_t next = 1000;
    if (pSrv->running && pSrv->runCancelled && !pSrv->doneSeen) {
        if (now - pSrv->lastSignalMs >= KXSRV_CANCEL_RESEND_MS) {
            pthread_kill(pSrv->interp, KXSRV_CANCEL_SIGNAL);
            pSrv->lastSignalMs = now;
        }
        next = KXSRV_CANCEL_RESEND_MS;
    }
    if (!pSrv->net)
        return static_cast<int>(next);
    for (uint32_t i = 0; i < pSrv->nSessions; i++) {
        Session *s = pSrv->sessions[i];
        const bool busy = s->qCount > 0 || (pSrv->running && pSrv->pRun == s);
        const uint64_t idleMs =
            s->authed ? pSrv->idleMs
                      : (pSrv->idleMs < KXSRV_AUTH_GRACE_S * 1000u ? pSrv->idleMs
                                                                   : KXSRV_AUTH_GRACE_S * 1000u);
        uint64_t due = UINT64_MAX;
        if (s->penaltyAtMs != 0) {
            if (now >= s->penaltyAtMs) {
                CloseWith(pSrv, s, kErrAuth, kMsgWrongToken);
                i--;
                continue;
            }
            due = s->penaltyAtMs;
        } else if (s->stallSinceMs != 0 && now - s->stallSinceMs >= KXSRV_WRITE_DEADLINE_MS) {
            CloseWith(pSrv, s, kErrStuck, kMsgStuck);
            i--;
            continue;
        } else if (!busy && now - s->lastInMs >= idleMs) {
            CloseWith(pSrv, s, kErrIdle, kMsgIdle);
            i--;
            continue;
        } else {
            due = busy ? now + 1000u : s->lastInMs + idleMs;
            if (s->stallSinceMs != 0 && s->stallSinceMs + KXSRV_WRITE_DEADLINE_MS < due)
                due = s->stallSinceMs + KXSRV_WRITE_DEADLINE_MS;
        }
        if (due - now < next)
            next = due - now;
    }
    return static_cast<int>(next);
}

void *IoThread(void *pArg)
{
    Server *pSrv = static_cast<Server *>(pArg);
    /* The cancel signal is for the interpreter's thread alone. */
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, KXSRV_CANCEL_SIGNAL);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);

    enum { kMaxFds = 4 + 2 * (KXSRV_SESSIONS_MAX > 1 ? KXSRV_SESSIONS_MAX : 1) };
    pollfd fds[kMaxFds];
    Session *who[kMaxFds];

    pthread_mutex_lock(&pSrv->lock);
    for (;;) {
        uint64_t nowUs = NowUs();
        uint64_t now = nowUs / 1000u;
        if (pSrv->running && pSrv->doneSeen && DrainAll(pSrv))
            FinishRun(pSrv);
        if (pSrv->pendSinceUs != 0 && nowUs - pSrv->pendSinceUs >= kHoldUs)
            EmitAll(pSrv);
        /* Sessions whose queue gained room take frames they already hold;
         * ended ones close. */
        for (uint32_t i = 0; i < pSrv->nSessions; i++) {
            Session *s = pSrv->sessions[i];
            const bool runsHere = pSrv->running && pSrv->pRun == s;
            if (!TakeFrames(pSrv, s, now)) {
                i = static_cast<uint32_t>(-1); /* the list changed: start again */
                if (!pSrv->net)
                    break;
                continue;
            }
            if (!s->closing && s->inEof && s->readerDry && s->qCount == 0 && !runsHere)
                s->closing = true;
            if (s->closing && SrvBuf_Used(&s->out) == 0 && !runsHere) {
                SessionClose(pSrv, s);
                i = static_cast<uint32_t>(-1);
            }
        }
        if (!pSrv->running) {
            if (pSrv->finish && !pSrv->net)
                break;
            (void)Dispatch(pSrv, false);
        }
        /* A request that started a moment ago holds its frames back a
         * little, in case it ends at once (most do). */
        const bool hold = pSrv->running && nowUs < pSrv->holdUntilUs;
        for (uint32_t i = 0; i < pSrv->nSessions; i++) {
            Session *s = pSrv->sessions[i];
            const bool runsHere = pSrv->running && pSrv->pRun == s;
            if (hold && runsHere && SrvBuf_Used(&s->out) < kFlushAt)
                continue;
            if (!Flush(pSrv, s, now) || (s->closing && SrvBuf_Used(&s->out) == 0 && !runsHere)) {
                SessionClose(pSrv, s);
                i--;
            }
        }
        if (!pSrv->net && pSrv->finish && !pSrv->running)
            break;

        int timeout = Timers(pSrv, now);
        /* Wake up when held frames or pending bytes are due. */
        nowUs = NowUs();
        const auto dueIn = [&](uint64_t atUs) {
            const int ms = atUs > nowUs ? static_cast<int>((atUs - nowUs + 999u) / 1000u) : 0;
            if (ms < timeout)
                timeout = ms;
        };
        if (hold)
            dueIn(pSrv->holdUntilUs);
        if (pSrv->pendSinceUs != 0)
            dueIn(pSrv->pendSinceUs + kHoldUs);
        nfds_t n = 0;
        fds[n] = {pSrv->wake[0], POLLIN, 0};
        who[n++] = nullptr;
        /* While a request's frames are held, its output may wait in the
         * pipe too: it is read at its end or when the hold is over. */
        const bool room = CaptureRoom(pSrv) && !hold;
        fds[n] = {room ? pSrv->outPipe[0] : -1, POLLIN, 0};
        who[n++] = nullptr;
        fds[n] = {room ? pSrv->errPipe[0] : -1, POLLIN, 0};
        who[n++] = nullptr;
        if (pSrv->listenFd >= 0) {
            fds[n] = {pSrv->listenFd, POLLIN, 0};
            who[n++] = nullptr;
        }
        for (uint32_t i = 0; i < pSrv->nSessions; i++) {
            Session *s = pSrv->sessions[i];
            const bool wantIn =
                !s->inEof && !s->closing && s->penaltyAtMs == 0 && s->qCount < KXSRV_QUEUE_MAX;
            s->inWatched = wantIn;
            const bool held = hold && pSrv->pRun == s && SrvBuf_Used(&s->out) < kFlushAt;
            const bool wantOut = SrvBuf_Used(&s->out) > 0 && !held;
            /* A descriptor with nothing wanted is left out (negative), so a
             * hung-up input behind a full queue does not wake the loop. */
            if (s->inFd == s->outFd) {
                const short ev =
                    static_cast<short>((wantIn ? POLLIN : 0) | (wantOut ? POLLOUT : 0));
                fds[n] = {ev != 0 ? s->inFd : -1, ev, 0};
                who[n++] = s;
            } else {
                fds[n] = {wantIn ? s->inFd : -1, POLLIN, 0};
                who[n++] = s;
                fds[n] = {wantOut ? s->outFd : -1, POLLOUT, 0};
                who[n++] = s;
            }
        }
        if (pSrv->running && pSrv->doneSeen && room)
            timeout = 0; /* the pipes still hold some of the output */
        pthread_mutex_unlock(&pSrv->lock);
        const int ready = poll(fds, n, timeout);
        pthread_mutex_lock(&pSrv->lock);
        if (ready < 0 && errno != EINTR)
            break;
        now = NowMs();
        if (ready <= 0)
            continue;

        if ((fds[0].revents & POLLIN) != 0) {
            char bytes[16]; /* a word from the interpreter: look again */
            (void)!read(pSrv->wake[0], bytes, sizeof bytes);
        }
        for (int stream = 1; stream <= 2 && !pSrv->doneSeen; stream++)
            if (fds[stream].revents != 0)
                (void)DrainOne(pSrv, stream);
        if (pSrv->listenFd >= 0 && (fds[3].revents & POLLIN) != 0)
            Accept(pSrv, now);
        /* Session input; sessions may close on the way, so each is
         * looked up again. */
        for (nfds_t k = pSrv->listenFd >= 0 ? 4 : 3; k < n; k++) {
            Session *s = who[k];
            bool alive = false;
            for (uint32_t i = 0; i < pSrv->nSessions; i++)
                alive = alive || pSrv->sessions[i] == s;
            if (!alive || fds[k].fd != s->inFd)
                continue;
            if ((fds[k].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !s->inEof)
                (void)ReadInput(pSrv, s, now);
        }
    }

    pthread_mutex_unlock(&pSrv->lock);
    Post(pSrv->jobPipe[1], 'S');
    return nullptr;
}

/* ======================================================================
 * Setting up and putting back
 * ====================================================================== */

void OnCancelSignal(int)
{
    /* Nothing: its arrival alone ends a sleep (no SA_RESTART). */
}

bool BuildGreeting(Server *pSrv, SrvBuf *pG, bool manifest)
{
    return SrvBuf_AddStr(pG,
                         "{\"protocol\":1,\"product\":\"kxMUti\",\"after\":true,\"manifest\":") &&
           (manifest ? Srv_ManifestJson(pG) : SrvBuf_AddStr(pG, "{}")) &&
           SrvBuf_AddStr(pG, ",\"auth\":\"") &&
           SrvBuf_AddStr(pG, pSrv->tokenLen > 0 ? "token" : "none") &&
           SrvBuf_AddStr(pG, "\",\"limits\":{\"line\":") && SrvBuf_AddNum(pG, KXSRV_LINE_MAX) &&
           SrvBuf_AddStr(pG, ",\"frame\":") && SrvBuf_AddNum(pG, KXSRV_FRAME_MAX) &&
           SrvBuf_AddStr(pG, ",\"chunk\":") && SrvBuf_AddNum(pG, KXSRV_CHUNK_MAX) &&
           SrvBuf_AddStr(pG, ",\"buffer\":") && SrvBuf_AddNum(pG, KXSRV_BUFFER_MAX) &&
           SrvBuf_AddStr(pG, ",\"kept\":") && SrvBuf_AddNum(pG, KXSRV_KEPT) &&
           SrvBuf_AddStr(pG, ",\"keptBytes\":") && SrvBuf_AddNum(pG, KXSRV_KEPT_BYTES) &&
           SrvBuf_AddStr(pG, ",\"ids\":") && SrvBuf_AddNum(pG, KXSRV_IDS) &&
           SrvBuf_AddStr(pG, ",\"queue\":") && SrvBuf_AddNum(pG, KXSRV_QUEUE_MAX) &&
           SrvBuf_AddStr(pG, ",\"sessions\":") && SrvBuf_AddNum(pG, pSrv->maxSessions) &&
           SrvBuf_AddStr(pG, ",\"idle\":") && SrvBuf_AddNum(pG, pSrv->idleMs / 1000u) &&
           SrvBuf_AddStr(pG, "}}");
}

/* Descriptors 0, 1 and 2 as they were, and what serving changed. */
struct Saved {
    int fd[3];                  /* copies of 0, 1 and 2 */
    struct sigaction cancelAct; /* the cancel signal's action */
    struct sigaction pipeAct;   /* SIGPIPE's action */
};

int Pipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    return fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
}

/* Creates the pipes and points 0, 1 and 2 at /dev/null and the pipes. */
bool CaptureStart(Server *pSrv, Saved *pSaved)
{
    pSrv->outPipe[0] = pSrv->outPipe[1] = pSrv->errPipe[0] = pSrv->errPipe[1] = -1;
    pSrv->wake[0] = pSrv->wake[1] = pSrv->jobPipe[0] = pSrv->jobPipe[1] = -1;
    for (int &fd : pSaved->fd)
        fd = -1;
    if (Pipe(pSrv->outPipe) != 0 || Pipe(pSrv->errPipe) != 0 || Pipe(pSrv->wake) != 0 ||
        pipe2(pSrv->jobPipe, O_CLOEXEC) != 0)
        return false;
    /* The interpreter writes its word while it holds the lock: it must
     * never wait on a full pipe (a full one wakes the I/O thread anyway). */
    if (fcntl(pSrv->wake[1], F_SETFL, fcntl(pSrv->wake[1], F_GETFL) | O_NONBLOCK) != 0)
        return false;
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0)
        return false;
    for (int i = 0; i < 3; i++)
        pSaved->fd[i] = fcntl(i, F_DUPFD_CLOEXEC, 3);
    fflush(stdout);
    fflush(stderr);
    const bool ok =
        dup2(null, 0) == 0 && dup2(pSrv->outPipe[1], 1) == 1 && dup2(pSrv->errPipe[1], 2) == 2;
    close(null);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    struct sigaction sa = {};
    sa.sa_handler = OnCancelSignal; /* no SA_RESTART: sleeps end early */
    sigemptyset(&sa.sa_mask);
    sigaction(KXSRV_CANCEL_SIGNAL, &sa, &pSaved->cancelAct);
    sa.sa_handler = SIG_IGN; /* a vanished peer is an error from write, not a signal */
    sigaction(SIGPIPE, &sa, &pSaved->pipeAct);
    return ok;
}

void CaptureEnd(Server *pSrv, Saved *pSaved)
{
    fflush(stdout);
    fflush(stderr);
    for (int i = 0; i < 3; i++) {
        if (pSaved->fd[i] >= 0) {
            dup2(pSaved->fd[i], i);
            close(pSaved->fd[i]);
        }
    }
    clearerr(stdout);
    clearerr(stderr);
    for (int fd : {pSrv->outPipe[0], pSrv->outPipe[1], pSrv->errPipe[0], pSrv->errPipe[1],
                   pSrv->wake[0], pSrv->wake[1], pSrv->jobPipe[0], pSrv->jobPipe[1]})
        if (fd >= 0)
            close(fd);
    sigaction(KXSRV_CANCEL_SIGNAL, &pSaved->cancelAct, nullptr);
    sigaction(SIGPIPE, &pSaved->pipeAct, nullptr);
}

Server *ServerNew(const kxMUtiSrv_Config_t *pConfig, bool net)
{
    Server *pSrv = static_cast<Server *>(calloc(1, sizeof(Server)));
    if (pSrv == nullptr)
        return nullptr;
    if (pConfig != nullptr)
        pSrv->cfg = *pConfig;
    else
        kxMUtiSrv_ConfigInit(&pSrv->cfg);
    pSrv->pExec = pSrv->cfg.pExec != nullptr ? pSrv->cfg.pExec : kxMUtiCmd_ExecGlobal();
    pSrv->net = net;
    pthread_mutex_init(&pSrv->lock, nullptr);
    pSrv->listenFd = -1;
    pSrv->auditFd = -1;
    pSrv->maxSessions = 1;
    pSrv->idleMs = 0;
    if (net) {
        pSrv->maxSessions = pSrv->cfg.maxSessions == 0 ? KXSRV_SESSIONS_MAX : pSrv->cfg.maxSessions;
        if (pSrv->maxSessions > KXSRV_SESSIONS_MAX)
            pSrv->maxSessions = KXSRV_SESSIONS_MAX;
        pSrv->idleMs = (pSrv->cfg.idleSeconds == 0 ? KXSRV_IDLE_S : pSrv->cfg.idleSeconds) * 1000u;
    }
    return pSrv;
}

void ServerFree(Server *pSrv)
{
    while (pSrv->nSessions > 0)
        SessionClose(pSrv, pSrv->sessions[0]);
    SrvBuf_Free(&pSrv->greeting);
    SrvBuf_Free(&pSrv->greetingAnon);
    SrvBuf_Free(&pSrv->keptOut);
    SrvBuf_Free(&pSrv->keptErr);
    if (pSrv->listenFd >= 0)
        close(pSrv->listenFd);
    if (pSrv->auditFd >= 0)
        close(pSrv->auditFd);
    explicit_bzero(pSrv->token, sizeof pSrv->token);
    pthread_mutex_destroy(&pSrv->lock);
    free(pSrv);
}

/* Runs the two threads until the I/O thread ends.  inFd/outFd >= 0: the
 * one session on descriptors (already private copies). */
uint32_t Run(Server *pSrv, int inFd, int outFd)
{
    if (!BuildGreeting(pSrv, &pSrv->greeting, true) ||
        !BuildGreeting(pSrv, &pSrv->greetingAnon, false))
        return KX_ERR_NOMEM;
    Saved saved;
    if (!CaptureStart(pSrv, &saved)) {
        CaptureEnd(pSrv, &saved);
        return kxMUtiSrv_ErrSystem;
    }
    uint32_t rc = KX_OK;
    if (inFd >= 0 && SessionNew(pSrv, inFd, outFd, "-", "-") == nullptr) {
        close(inFd);
        if (outFd != inFd)
            close(outFd);
        CaptureEnd(pSrv, &saved);
        return KX_ERR_NOMEM;
    }
    /* The cancel signal must reach this thread. */
    sigset_t cancelSet, oldMask;
    sigemptyset(&cancelSet);
    sigaddset(&cancelSet, KXSRV_CANCEL_SIGNAL);
    pthread_sigmask(SIG_UNBLOCK, &cancelSet, &oldMask);
    pSrv->interp = pthread_self();
    pthread_t io;
    if (pthread_create(&io, nullptr, IoThread, pSrv) != 0) {
        rc = kxMUtiSrv_ErrSystem;
    } else {
        InterpreterLoop(pSrv);
        pthread_join(io, nullptr);
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    CaptureEnd(pSrv, &saved);
    return rc;
}

bool Claim(Server *pSrv)
{
    Server *pNone = nullptr;
    return gpServer.compare_exchange_strong(pNone, pSrv);
}

/* ======================================================================
 * TCP set-up
 * ====================================================================== */

/* Parses "[ADDR:]PORT"; ADDR is IPv4 or "[IPv6]". */
bool ParseAddress(const char *pText, sockaddr_storage *pSa, socklen_t *pLen, bool *pLoopback)
{
    char host[64] = "127.0.0.1";
    const char *pPort = pText;
    const char *pColon = strrchr(pText, ':');
    if (pColon != nullptr) {
        size_t n = static_cast<size_t>(pColon - pText);
        const char *pHost = pText;
        if (n >= 2 && pText[0] == '[' && pText[n - 1] == ']') {
            pHost++;
            n -= 2;
        }
        if (n == 0 || n >= sizeof host)
            return false;
        memcpy(host, pHost, n);
        host[n] = '\0';
        pPort = pColon + 1;
    }
    char *pEnd;
    const long port = strtol(pPort, &pEnd, 10);
    if (*pPort < '0' || *pPort > '9' || *pEnd != '\0' || port < 0 || port > 65535)
        return false;
    memset(pSa, 0, sizeof *pSa);
    sockaddr_in *p4 = reinterpret_cast<sockaddr_in *>(pSa);
    sockaddr_in6 *p6 = reinterpret_cast<sockaddr_in6 *>(pSa);
    if (inet_pton(AF_INET, host, &p4->sin_addr) == 1) {
        p4->sin_family = AF_INET;
        p4->sin_port = htons(static_cast<uint16_t>(port));
        *pLen = sizeof *p4;
        *pLoopback = (ntohl(p4->sin_addr.s_addr) >> 24) == 127;
        return true;
    }
    if (inet_pton(AF_INET6, host, &p6->sin6_addr) == 1) {
        p6->sin6_family = AF_INET6;
        p6->sin6_port = htons(static_cast<uint16_t>(port));
        *pLen = sizeof *p6;
        *pLoopback = IN6_IS_ADDR_LOOPBACK(&p6->sin6_addr);
        return true;
    }
    return false;
}

/* Reads the token: the file's first line, without its line end. */
bool ReadToken(Server *pSrv, const char *pPath)
{
    const int fd = open(pPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[KXSRV_TOKEN_MAX + 2];
    const ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    if (n <= 0)
        return false;
    const size_t len = strcspn(buf, "\r\n") < static_cast<size_t>(n) ? strcspn(buf, "\r\n")
                                                                     : static_cast<size_t>(n);
    const bool ok = len > 0 && len <= KXSRV_TOKEN_MAX && memchr(buf, '\0', len) == nullptr;
    if (ok) {
        memcpy(pSrv->token, buf, len);
        pSrv->tokenLen = static_cast<uint32_t>(len);
    }
    explicit_bzero(buf, sizeof buf);
    return ok;
}

uint32_t ListenOn(Server *pSrv, const char *pAddrPort)
{
    sockaddr_storage sa;
    socklen_t len;
    bool loopback;
    if (pAddrPort == nullptr || !ParseAddress(pAddrPort, &sa, &len, &loopback))
        return kxMUtiSrv_ErrAddress;
    if (!loopback && pSrv->cfg.pTokenFile == nullptr)
        return kxMUtiSrv_ErrNoToken;
    if (pSrv->cfg.pTokenFile != nullptr && !ReadToken(pSrv, pSrv->cfg.pTokenFile))
        return kxMUtiSrv_ErrToken;
    if (pSrv->cfg.pAuditFile != nullptr) {
        pSrv->auditFd = open(pSrv->cfg.pAuditFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (pSrv->auditFd < 0)
            return kxMUtiSrv_ErrSystem;
    }
    pSrv->listenFd = socket(sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (pSrv->listenFd < 0)
        return kxMUtiSrv_ErrSystem;
    const int one = 1;
    setsockopt(pSrv->listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(pSrv->listenFd, reinterpret_cast<sockaddr *>(&sa), len) != 0 ||
        listen(pSrv->listenFd, 16) != 0 ||
        getsockname(pSrv->listenFd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        return kxMUtiSrv_ErrSystem;
    if (pSrv->cfg.ready != nullptr) {
        char host[48];
        char text[64];
        if (sa.ss_family == AF_INET) {
            const sockaddr_in *p4 = reinterpret_cast<const sockaddr_in *>(&sa);
            inet_ntop(AF_INET, &p4->sin_addr, host, sizeof host);
            snprintf(text, sizeof text, "%s:%u", host, ntohs(p4->sin_port));
        } else {
            const sockaddr_in6 *p6 = reinterpret_cast<const sockaddr_in6 *>(&sa);
            inet_ntop(AF_INET6, &p6->sin6_addr, host, sizeof host);
            snprintf(text, sizeof text, "[%s]:%u", host, ntohs(p6->sin6_port));
        }
        pSrv->cfg.ready(text, pSrv->cfg.pReadyUser);
    }
    return KX_OK;
}

} // namespace

/* ======================================================================
 * Public entry points
 * ====================================================================== */

KX_API void kxMUtiSrv_ConfigInit(kxMUtiSrv_Config_t *pConfig)
{
    memset(pConfig, 0, sizeof *pConfig);
}

KX_API int kxMUtiSrv_Cancelled(void)
{
    return gCancelled.load();
}

KX_API int kxMUtiSrv_StatusFailed(uint32_t status)
{
    return kxMUtiCon_StatusFailed(status); /* one rule for scripts and requests */
}

KX_API uint32_t kxMUtiSrv_ServeFds(const kxMUtiSrv_Config_t *pConfig, int inFd, int outFd)
{
    Server *pSrv = ServerNew(pConfig, false);
    if (pSrv == nullptr)
        return KX_ERR_NOMEM;
    if (!Claim(pSrv)) {
        ServerFree(pSrv);
        return kxMUtiSrv_ErrBusy;
    }
    /* Private copies above 2, so that 0, 1 and 2 can be redirected; the
     * session closes them. */
    const int in = fcntl(inFd, F_DUPFD_CLOEXEC, 3);
    const int out = fcntl(outFd, F_DUPFD_CLOEXEC, 3);
    uint32_t rc = kxMUtiSrv_ErrSystem;
    if (in >= 0 && out >= 0) {
        /* The flags and the terminal mode belong to the file descriptions
         * the caller's descriptors share: put back through those. */
        const int outFlags = fcntl(out, F_GETFL);
        termios oldTerm;
        const bool term = isatty(in) && tcgetattr(in, &oldTerm) == 0;
        if (term) {
            termios raw = oldTerm;
            cfmakeraw(&raw);
            tcsetattr(in, TCSANOW, &raw);
        }
        if (outFlags >= 0)
            fcntl(out, F_SETFL, outFlags | O_NONBLOCK);
        rc = Run(pSrv, in, out);
        if (outFlags >= 0)
            fcntl(outFd, F_SETFL, outFlags);
        if (term)
            tcsetattr(inFd, TCSADRAIN, &oldTerm);
    } else {
        if (in >= 0)
            close(in);
        if (out >= 0)
            close(out);
    }
    ServerFree(pSrv);
    gpServer.store(nullptr);
    return rc;
}

KX_API uint32_t kxMUtiSrv_Listen(const kxMUtiSrv_Config_t *pConfig, const char *pAddrPort)
{
    Server *pSrv = ServerNew(pConfig, true);
    if (pSrv == nullptr)
        return KX_ERR_NOMEM;
    if (!Claim(pSrv)) {
        ServerFree(pSrv);
        return kxMUtiSrv_ErrBusy;
    }
    uint32_t rc = ListenOn(pSrv, pAddrPort);
    if (rc == KX_OK)
        rc = Run(pSrv, -1, -1);
    if (rc == KX_OK)
        rc = kxMUtiSrv_ErrSystem; /* the listener failed */
    ServerFree(pSrv);
    gpServer.store(nullptr);
    return rc;
}

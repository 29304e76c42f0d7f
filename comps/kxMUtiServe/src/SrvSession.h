/*
 * SrvSession.h - one session of the automation protocol, without I/O.
 * Bytes from the peer go in; frames for the peer, requests to run and
 * cancels come out; the time is an argument.  No threads, sockets or
 * clocks: the loop around it (SrvLoop.cpp) moves the bytes, runs the
 * requests and reads the clock, and the tests and the fuzz target drive
 * it with scripted input.
 *
 * Every byte queued for the peer counts against the session's buffer:
 * past a high-water mark the session takes no more input, so that what it
 * holds stays within KXSRV_BUFFER_MAX whatever the peer sends or fails to
 * read.  Every request that starts ends, and both are audited (hooks).
 */
#ifndef SRV_SESSION_H
#define SRV_SESSION_H

#include <stdint.h>

#include "Srv.h"
#include "SrvAuth.h"
#include "SrvStore.h"
#include "SrvWire.h"

/* One request waiting to run, or running. */
struct SrvJob {
    char type;                     /* 'Q', 'D' or 'P' */
    uint32_t id;                   /* the client's request id */
    uint32_t cursor;               /* P: byte offset of the cursor */
    uint32_t len;                  /* bytes of line */
    char line[KXSRV_LINE_MAX + 1]; /* line[len] == '\0' */
};

/* Why a session ended.  ORDER: kSrvEndName in SrvAudit.cpp. */
enum class SrvEnd : uint8_t {
    kNone,     /* still open */
    kBye,      /* B */
    kQuit,     /* a line ran quit */
    kEof,      /* the peer's input ended */
    kReset,    /* reading or writing failed */
    kIdle,     /* nothing sent for the idle time */
    kGrace,    /* no token within the grace */
    kDeadline, /* the peer took too little of its output in time */
    kToken,    /* a wrong token */
    kLocked,   /* too many wrong tokens from its source */
    kEvicted,  /* unauthenticated, its place given to a new session */
    kStop,     /* the server stopped */
    kCount
};

/* How a request ended.  ORDER: kSrvHowName in SrvAudit.cpp. */
enum class SrvHow : uint8_t {
    kFinished,  /* ran to its end */
    kCancelled, /* a C reached it */
    kClosed,    /* its session ended while it ran (the cancel cut it) */
    kDeadline,  /* its session was closed for the write deadline while it ran */
    kDropped,   /* it waited in the queue when its session ended: never ran */
    kCount
};

/* What the audit hook is told. */
struct SrvAuditRec {
    enum Kind : uint8_t { kStart, kEnd, kClose } kind;
    const SrvJob *pJob; /* kStart, kEnd: the request */
    SrvHow how;         /* kEnd */
    SrvEnd why;         /* kClose: why the session ended */
    uint32_t status;    /* kEnd: its status (0 when dropped) */
    uint64_t us;        /* kEnd: run time */
    uint32_t nOut;      /* kEnd: bytes of output and of error */
    uint32_t nErr;
};

struct SrvSession;

/* Calls out of a session; pUser is the hooks' own. */
struct SrvSessionHooks {
    void *pUser;
    /* Stop the running request: called once per request, by C or by the
     * session's end.  The request still ends through SrvSession_Finish. */
    void (*cancel)(void *pUser, SrvSession *s);
    /* One record: a request started or ended, or the session ended. */
    void (*audit)(void *pUser, const SrvSession *s, const SrvAuditRec &rec);
};

/* What all sessions of a server share. */
struct SrvSessionCfg {
    const SrvBuf *pGreeting;     /* G's JSON for a peer with the token (or when none is wanted) */
    const SrvBuf *pGreetingAnon; /* before the token: no manifest */
    SrvAuth *pAuth;              /* token and penalties; null: no token wanted */
    uint32_t idleMs;             /* 0: no idle timeout */
    uint32_t graceMs;            /* time to send the token; 0: none */
    uint32_t deadlineMs;         /* write deadline; 0: none */
    uint32_t progressMin;        /* bytes the peer must take per deadline to count as moving */
    bool net;                    /* TCP: the end of input ends the session at once, and log
                                    frames are dropped while the buffer is above high water */
    SrvSessionHooks hooks;
};

/* A session's state, as the tests name them. */
enum class SrvState : uint8_t {
    kNew,        /* before the greeting */
    kToken,      /* greeted, waiting for the token */
    kIdle,       /* nothing queued or running */
    kQueued,     /* requests wait for the interpreter, none of them runs */
    kRunning,    /* one of its requests runs */
    kCancelling, /* its running request was cancelled and has not ended */
    kClosing,    /* ending: sends what it holds (quit, end of input over descriptors) */
    kClosed      /* ended; a request of it may still be running out its cancel */
};

/* High-water mark: above it the session takes no input and the loop
 * drains no output into it.  Below the buffer by what may still come:
 * the answer to one frame (a replay of a kept result at most), two pieces
 * of output, one result and one error. */
constexpr uint32_t kSrvAnswerMax = (KXSRV_KEPT_BYTES / KXSRV_CHUNK_MAX + 1u) * kSrvPieceFrameMax +
                                   kSrvResultFrameMax + kSrvStartedFrameMax;
constexpr uint32_t kSrvHighWater = KXSRV_BUFFER_MAX - kSrvAnswerMax - 2u * kSrvPieceFrameMax -
                                   kSrvResultFrameMax - 2u * kSrvErrorFrameMax;
static_assert(kSrvHighWater >= KXSRV_BUFFER_MAX / 2u, "the buffer is large enough for its reserve");
static_assert(SrvFrame_Size(kSrvGreetingMax) <= kSrvAnswerMax, "a greeting fits the reserve");

struct SrvSession {
    const SrvSessionCfg *pCfg;
    SrvState phase;                /* kNew, kToken, kIdle (open), kClosing or kClosed */
    SrvEnd end;                    /* why it ends; kNone while open */
    bool authed;                   /* has the token, or needs none */
    bool inEnded;                  /* no more input comes */
    bool dry;                      /* the reader held no further frame when last asked */
    bool running;                  /* run holds a request that runs */
    bool cancelSent;               /* the cancel hook was called for it */
    bool cancelledByC;             /* a C reached it */
    bool keep;                     /* its output is still small enough to keep */
    bool kOwed;                    /* it started and its K is not sent yet */
    uint32_t topId;                /* the highest request id taken; G tells the next one */
    char peer[64];                 /* "address:port", or "-": for the audit */
    SrvSource source;              /* for the penalties */
    uint64_t startMs;              /* when the session opened */
    uint64_t lastInMs;             /* when input last came */
    uint64_t stallMs;              /* since when output waits without moving, +1; 0: it moves */
    uint32_t movedBytes;           /* bytes the peer took since stallMs */
    uint64_t penaltyMs;            /* a wrong token is answered then; 0: none */
    uint32_t qHead, qCount;        /* queue: qCount jobs from qHead on (ring) */
    uint32_t runOut, runErr;       /* the running request's output so far */
    SrvJob run;                    /* the running request */
    SrvBuf runKept[2];             /* its output and error, kept while small */
    SrvBuf out;                    /* encoded frames not yet sent */
    SrvStore store;                /* ids taken, finished results */
    SrvJob queue[KXSRV_QUEUE_MAX]; /* requests waiting */
    SrvFrame frame;                /* the frame being handled */
    SrvReader reader;              /* input not yet taken */
};

/* Sets s up (zeroed first) in state kNew.  pPeer is copied; source
 * selects its penalties.  Cannot fail. */
void SrvSession_Init(SrvSession *s, const SrvSessionCfg *pCfg, const char *pPeer,
                     const SrvSource &source);

/* Frees what s holds.  Call once it is closed and runs nothing. */
void SrvSession_Free(SrvSession *s);

/* Greets the peer and starts the clocks: kNew to kToken or kIdle. */
void SrvSession_Open(SrvSession *s, uint64_t now);

/* ---- Input ---------------------------------------------------------------- */

/* Where the next read may put bytes: the room at *ppDst, 0 when the
 * session takes no input now (full, queue full, a wrong token pending,
 * ending). */
uint32_t SrvSession_ReadRoom(SrvSession *s, unsigned char **ppDst);

/* Whether it takes input now (what SrvSession_ReadRoom asks, without
 * touching the reader). */
bool SrvSession_WantsInput(const SrvSession *s);

/* Whether the reader may hold frames not taken yet, and the session could
 * take them now (SrvSession_Pump would do something). */
bool SrvSession_HasFrames(const SrvSession *s);

/* n bytes were read into where SrvSession_ReadRoom said: takes frames. */
void SrvSession_Received(SrvSession *s, uint32_t n, uint64_t now);

/* Copies up to n bytes in and takes frames; returns how many it took (all
 * of them unless it takes no input now). */
uint32_t SrvSession_Feed(SrvSession *s, const void *p, uint32_t n, uint64_t now);

/* The input ended (reset: with an error).  Over TCP, or on an error, the
 * session ends at once; over descriptors, requests already read still
 * run and their results are sent first. */
void SrvSession_InputEnded(SrvSession *s, bool reset, uint64_t now);

/* Takes the frames the reader still holds, as far as it may now (after
 * room came back).  True when it may hold more. */
bool SrvSession_Pump(SrvSession *s, uint64_t now);

/* Handles one frame, as if read. */
void SrvSession_Frame(SrvSession *s, const SrvFrame &f, uint64_t now);

/* ---- Output --------------------------------------------------------------- */

/* The bytes waiting to be sent, at *pp; 0 when none. */
uint32_t SrvSession_Pending(const SrvSession *s, const char **pp);

/* n of them were sent; blocked: the peer would take no more now. */
void SrvSession_Sent(SrvSession *s, uint32_t n, bool blocked, uint64_t now);

/* Above the high-water mark: no input taken, no output drained into it. */
bool SrvSession_Full(const SrvSession *s);

/* A log piece (output while no request runs), n <= KXSRV_CHUNK_MAX; false
 * when the session does not take it (not authenticated, ending, or over
 * TCP above the high-water mark). */
bool SrvSession_Log(SrvSession *s, int stream, const void *p, uint32_t n);

/* ---- Requests ------------------------------------------------------------- */

/* Whether a waiting request may start now. */
bool SrvSession_CanStart(const SrvSession *s);

/* Starts the next waiting request (SrvSession_CanStart must be true):
 * audits its start and returns it (valid until it ends).  Its K is owed,
 * not sent: a request that ends at once needs none, its R says it ran. */
const SrvJob *SrvSession_Start(SrvSession *s, uint64_t now);

/* Sends the running request's K if it is owed: it runs longer than a
 * moment, or it is about to send output before its R. */
void SrvSession_Announce(SrvSession *s);

/* A piece of the running request's output (stream 1) or error (2),
 * n <= KXSRV_CHUNK_MAX; its K goes first if owed. */
void SrvSession_Output(SrvSession *s, int stream, const char *p, uint32_t n);

/* How a run ended, from the interpreter. */
struct SrvRunEnd {
    uint32_t status; /* what the line gave */
    bool failed;     /* the failure rule's verdict */
    bool quit;       /* the line ran quit */
    uint64_t us;     /* run time */
};

/* The last output of a run, not yet sent: at most KXSRV_CHUNK_MAX bytes of
 * each stream. */
struct SrvTails {
    const char *p[2]; /* [stream - 1] */
    uint32_t n[2];
};

/* The running request ended: queues the last of its error as E and its R
 * carrying the last of its output (unless the session ended), keeps its
 * result and audits its end.  No K goes out for it here. */
void SrvSession_Finish(SrvSession *s, const SrvRunEnd &end, const SrvTails &tails, uint64_t now);

/* ---- Time and ending ------------------------------------------------------ */

/* Applies the timers due at now (a wrong token's answer, the grace, the
 * idle time, the write deadline); returns when the next is due
 * (UINT64_MAX: none). */
uint64_t SrvSession_Tick(SrvSession *s, uint64_t now);

/* Ends the session for why: cancels its running request, drops and
 * audits its queued ones, queues the error that why sends (if any) and
 * takes no more input.  Nothing happens when it has ended already. */
void SrvSession_Close(SrvSession *s, SrvEnd why, uint64_t now);

SrvState SrvSession_State(const SrvSession *s);

/* Ended (SrvSession_State is kClosed): its descriptors may close. */
bool SrvSession_Ended(const SrvSession *s);

/* Ended and runs nothing: it may be freed. */
bool SrvSession_Gone(const SrvSession *s);

/* Whether it has the token (or needs none). */
bool SrvSession_Authed(const SrvSession *s);

#endif /* SRV_SESSION_H */

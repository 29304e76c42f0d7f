/*
 * SrvServer.h - a running server: its sessions and their descriptors, the
 * one request the interpreter runs, the capture of what it prints, and
 * the steps both threads take on them under the server's lock (hand a
 * request over, frame captured bytes, finish a request, send, end).
 */
#ifndef SRV_SERVER_H
#define SRV_SERVER_H

#include <pthread.h>

#include "SrvCapture.h"
#include "SrvInterp.h"
#include "SrvSession.h"

/*
 * How long captured bytes may wait for more before they are framed, and
 * how long the K of a request handed over from idle waits for the request
 * to end.  A command that prints line by line then costs one frame per
 * chunk, not one per line, and a quick one's K, output and R leave in one
 * write; a slow one's output is late by at most this much.  An R never
 * waits.
 */
constexpr uint64_t kSrvHoldUs = 1000u;

/* Output a running request's session holds before it is sent on even
 * while held or while the capture is drained: the buffer fills only when
 * the peer is slow. */
constexpr uint32_t kSrvFlushAt = 64u * 1024u;

/* A session and its descriptors. */
struct SrvSlot {
    SrvSession *s; /* calloc'ed */
    int inFd;      /* -1 once closed */
    int outFd;     /* may equal inFd; -1 once closed */
    bool watched;  /* the I/O thread's last poll watched its input */
};

/* Sessions a server holds: its limit, and one ended session whose
 * request still runs out its cancel. */
constexpr uint32_t kSrvSlots = (KXSRV_SESSIONS_MAX > 1u ? KXSRV_SESSIONS_MAX : 1u) + 1u;

struct SrvServer {
    kxMUtiSrv_Config_t cfg;
    kxMUtiCmd_Exec_t *pExec;    /* where lines run; never null */
    bool net;                   /* TCP (else one session on descriptors) */
    uint32_t maxSessions;       /* open sessions at most */
    bool hasToken;              /* auth holds a token */
    SrvAuth auth;               /* token and penalties */
    int auditFd;                /* audit file, or -1 */
    int listenFd;               /* TCP listener, or -1 */
    uint64_t listenIdleUntilMs; /* accepting failed for want of resources: not before */
    SrvBuf greeting;            /* G's JSON */
    SrvBuf greetingAnon;        /* the same before the token: no manifest */
    SrvSessionCfg sessionCfg;
    SrvCapture cap; /* descriptors 1 and 2 lead here */
    int wake[2];    /* the interpreter's word to the I/O thread */
    int jobPipe[2]; /* the I/O thread's word to the interpreter ('J' run, 'S' stop) */
    SrvSlot slots[kSrvSlots];
    uint32_t nSlots;
    uint32_t rr; /* where the next search for a request starts */
    bool finish; /* over descriptors: the session is gone; stop */

    /* The running request. */
    bool running;          /* a job is with the interpreter */
    bool doneSeen;         /* it ended, but its output could not all be taken yet */
    SrvSession *pRun;      /* its session (kept until the request ends) */
    bool cancelled;        /* the cancel signal went */
    uint64_t lastSignalMs; /* when it last went */
    uint64_t holdUntilUs;  /* its frames wait until then; 0: none */
    const SrvJob *pJob;    /* the job handed over (its session's): read by the interpreter
                              alone while it runs, left alone by the session meanwhile */
    SrvRunEnd done;        /* what the interpreter gave */
    pthread_t interp;      /* the interpreter's thread */
    pthread_mutex_t lock;  /* over all of the above, but job while it runs */
};

/* A server for TCP (net) or descriptors, configured (null: the defaults);
 * null when memory ran out.  Opens nothing. */
SrvServer *Srv_New(const kxMUtiSrv_Config_t *pConfig, bool net);

/* What both threads need: the greetings, the wake-up pipes, the capture,
 * and over descriptors the one session on inFd/outFd (private copies,
 * taken over in every case).  KX_OK, KX_ERR_NOMEM or kxMUtiSrv_ErrSystem;
 * on failure every step is undone. */
uint32_t Srv_SetUp(SrvServer *pSrv, int inFd, int outFd);

/* Undoes Srv_SetUp but the sessions (the capture first). */
void Srv_TearDown(SrvServer *pSrv);

/* Ends and frees the sessions (audited), then the server. */
void Srv_Free(SrvServer *pSrv);

uint64_t Srv_NowMs();
uint64_t Srv_NowUs();

/* Writes one byte into a wake-up pipe, after a release fence. */
void Srv_Post(int fd, char byte);

/* A new session on descriptors it takes over; false (nothing taken) when
 * memory ran out or no slot is left. */
bool Srv_AddSession(SrvServer *pSrv, int inFd, int outFd, const char *pPeer,
                    const SrvSource &source, uint64_t now);

/* Sends what a session holds, as far as its peer takes it; ends the
 * session when the peer is gone. */
void Srv_Flush(SrvServer *pSrv, SrvSlot &slot, uint64_t now);

/* Once ended: one last send, then its descriptors close; once gone, it
 * is freed (the slot moves: restart a walk over the slots). */
bool Srv_Reap(SrvServer *pSrv, uint32_t i, uint64_t now);

/* Whether captured bytes may be drained now. */
bool Srv_CaptureRoom(const SrvServer *pSrv);

/* Frames the captured bytes waiting: for the running request, or log
 * frames for every session that takes them. */
void Srv_EmitPending(SrvServer *pSrv);

/* Reads one capture pipe while there is room; true when it was emptied. */
bool Srv_DrainOne(SrvServer *pSrv, int stream, uint64_t nowUs);

/* Reads both pipes until empty (true) or out of room (false). */
bool Srv_DrainAll(SrvServer *pSrv, uint64_t nowUs);

/* Starts the next waiting request of the sessions in turn: from the I/O
 * thread (self false; what other threads printed before goes out as log
 * frames first, and the job goes over the job pipe) or from the
 * interpreter after its last job (self true).  True when one started. */
bool Srv_Dispatch(SrvServer *pSrv, bool self, uint64_t nowUs);

/* The running request ended (pSrv->done): its last output and its end. */
void Srv_FinishRun(SrvServer *pSrv, uint64_t nowUs);

/* The session hooks: the running request's cancel, and the audit. */
void Srv_HookCancel(void *pUser, SrvSession *s);
void Srv_HookAudit(void *pUser, const SrvSession *s, const SrvAuditRec &rec);

#endif /* SRV_SERVER_H */

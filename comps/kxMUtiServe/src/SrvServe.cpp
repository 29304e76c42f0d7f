/*
 * SrvServe.cpp - the serve companion's entry points: a server is made,
 * set up (greetings, token, audit, listener, wake-up pipes, capture),
 * run on two threads (SrvLoop.cpp) and taken down, every step put back
 * in reverse when a later one fails.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#include "SrvAudit.h"
#include "SrvLoop.h"
#include "SrvNet.h"
#include "kxMUtiConsole.h"

namespace {

std::atomic<SrvServer *> gpServer{nullptr};

void CloseIf(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

bool Claim(SrvServer *pSrv)
{
    SrvServer *pNone = nullptr;
    return gpServer.compare_exchange_strong(pNone, pSrv);
}

/* The greetings and what every session shares. */
bool Prepare(SrvServer *pSrv)
{
    const uint32_t idleMs =
        pSrv->net ? (pSrv->cfg.idleSeconds == 0 ? KXSRV_IDLE_S : pSrv->cfg.idleSeconds) * 1000u : 0;
    const SrvHello hello = {pSrv->hasToken, pSrv->maxSessions, idleMs / 1000u};
    SrvSessionCfg &sc = pSrv->sessionCfg;
    sc.pGreeting = &pSrv->greeting;
    sc.pGreetingAnon = &pSrv->greetingAnon;
    sc.pAuth = pSrv->hasToken ? &pSrv->auth : nullptr;
    sc.idleMs = idleMs;
    sc.graceMs = idleMs < KXSRV_AUTH_GRACE_S * 1000u ? idleMs : KXSRV_AUTH_GRACE_S * 1000u;
    /* A stuck peer is closed on descriptors too: a pipe or a serial line
     * takes nothing at all when its reader stops, so any byte is progress
     * there, while TCP trickles into the peer's receive window. */
    sc.deadlineMs = KXSRV_WRITE_DEADLINE_MS;
    sc.progressMin = pSrv->net ? KXSRV_WRITE_PROGRESS_MIN : 1u;
    sc.net = pSrv->net;
    sc.hooks = {pSrv, Srv_HookCancel, Srv_HookAudit};
    return SrvWire_Greeting(&pSrv->greeting, hello, true) &&
           SrvWire_Greeting(&pSrv->greetingAnon, hello, false);
}

/* A pipe whose ends are above 2 (see SrvCapture_Lift). */
bool Pipe(int fds[2], int flags)
{
    if (pipe2(fds, flags) != 0)
        return false;
    fds[0] = SrvCapture_Lift(fds[0]);
    fds[1] = SrvCapture_Lift(fds[1]);
    return fds[0] >= 0 && fds[1] >= 0;
}

bool WakePipes(SrvServer *pSrv)
{
    /* The interpreter writes its word while it holds the lock: it must
     * never wait on a full pipe (a full one wakes the I/O thread anyway).
     * Its job pipe it reads blocking. */
    return Pipe(pSrv->wake, O_CLOEXEC | O_NONBLOCK) && Pipe(pSrv->jobPipe, O_CLOEXEC);
}

void ClosePipes(SrvServer *pSrv)
{
    for (int *p : {pSrv->wake, pSrv->jobPipe}) {
        CloseIf(p[0]);
        CloseIf(p[1]);
    }
}

void CloseGiven(int inFd, int outFd)
{
    if (inFd < 0)
        return;
    close(inFd);
    if (outFd != inFd)
        close(outFd);
}

} // namespace

SrvServer *Srv_New(const kxMUtiSrv_Config_t *pConfig, bool net)
{
    SrvServer *pSrv = static_cast<SrvServer *>(calloc(1, sizeof(SrvServer)));
    if (pSrv == nullptr)
        return nullptr;
    if (pConfig != nullptr)
        pSrv->cfg = *pConfig;
    else
        kxMUtiSrv_ConfigInit(&pSrv->cfg);
    pSrv->pExec = pSrv->cfg.pExec != nullptr ? pSrv->cfg.pExec : kxMUtiCmd_ExecGlobal();
    pSrv->net = net;
    pSrv->listenFd = pSrv->auditFd = -1;
    pSrv->wake[0] = pSrv->wake[1] = pSrv->jobPipe[0] = pSrv->jobPipe[1] = -1;
    pthread_mutex_init(&pSrv->lock, nullptr);
    pSrv->maxSessions = 1;
    if (!net)
        return pSrv;
    const uint32_t want = pSrv->cfg.maxSessions == 0 ? KXSRV_SESSIONS_MAX : pSrv->cfg.maxSessions;
    pSrv->maxSessions = want < KXSRV_SESSIONS_MAX ? want : KXSRV_SESSIONS_MAX;
    return pSrv;
}

void Srv_Free(SrvServer *pSrv)
{
    for (uint32_t i = 0; i < pSrv->nSlots; i++) {
        SrvSlot &slot = pSrv->slots[i];
        SrvSession_Close(slot.s, SrvEnd::kStop, Srv_NowMs());
        if (slot.outFd != slot.inFd)
            CloseIf(slot.outFd);
        CloseIf(slot.inFd);
        SrvSession_Free(slot.s);
        free(slot.s);
    }
    SrvBuf_Free(&pSrv->greeting);
    SrvBuf_Free(&pSrv->greetingAnon);
    CloseIf(pSrv->listenFd);
    CloseIf(pSrv->auditFd);
    SrvAuth_Clear(&pSrv->auth);
    pthread_mutex_destroy(&pSrv->lock);
    free(pSrv);
}

/* Sets up what both threads need; every step undone when a later one
 * fails.  inFd/outFd >= 0: the one session on descriptors (private
 * copies, taken over in every case). */
uint32_t Srv_SetUp(SrvServer *pSrv, int inFd, int outFd)
{
    if (!Prepare(pSrv)) {
        CloseGiven(inFd, outFd);
        return KX_ERR_NOMEM;
    }
    if (!WakePipes(pSrv) || !SrvCapture_Start(&pSrv->cap)) {
        ClosePipes(pSrv);
        CloseGiven(inFd, outFd);
        return kxMUtiSrv_ErrSystem;
    }
    if (inFd >= 0 && !Srv_AddSession(pSrv, inFd, outFd, "-", SrvSource{}, Srv_NowMs())) {
        SrvCapture_End(&pSrv->cap);
        ClosePipes(pSrv);
        CloseGiven(inFd, outFd);
        return KX_ERR_NOMEM;
    }
    return KX_OK;
}

void Srv_TearDown(SrvServer *pSrv)
{
    SrvCapture_End(&pSrv->cap);
    ClosePipes(pSrv);
}

namespace {

/* Runs the two threads until the I/O thread ends. */
uint32_t Run(SrvServer *pSrv, int inFd, int outFd)
{
    uint32_t rc = Srv_SetUp(pSrv, inFd, outFd);
    if (rc != KX_OK)
        return rc;
    pSrv->interp = pthread_self();
    pthread_t io;
    if (pthread_create(&io, nullptr, SrvLoop_Io, pSrv) != 0) {
        rc = kxMUtiSrv_ErrSystem;
    } else {
        SrvLoop_Interpreter(pSrv);
        pthread_join(io, nullptr);
    }
    Srv_TearDown(pSrv);
    return rc;
}

uint32_t TokenStatus(SrvTokenProblem problem)
{
    switch (problem) {
    case SrvTokenProblem::kNone:
        return KX_OK;
    case SrvTokenProblem::kExposed:
        return kxMUtiSrv_ErrTokenExposed;
    case SrvTokenProblem::kNotText:
        return kxMUtiSrv_ErrTokenText;
    case SrvTokenProblem::kShort:
        return kxMUtiSrv_ErrTokenShort;
    default:
        return kxMUtiSrv_ErrToken;
    }
}

/* Everything TCP needs before serving, in the order that opens nothing
 * while a check can still fail. */
uint32_t ListenOn(SrvServer *pSrv, const char *pAddrPort)
{
    sockaddr_storage sa;
    socklen_t len;
    bool loopback;
    if (!SrvNet_Parse(pAddrPort, &sa, &len, &loopback))
        return kxMUtiSrv_ErrAddress;
    if (!loopback && pSrv->cfg.pTokenFile == nullptr)
        return kxMUtiSrv_ErrNoToken;
    if (pSrv->cfg.pTokenFile != nullptr) {
        const uint32_t rc = TokenStatus(SrvAuth_LoadToken(&pSrv->auth, pSrv->cfg.pTokenFile));
        if (rc != KX_OK)
            return rc;
        pSrv->hasToken = true;
    }
    if (pSrv->cfg.pAuditFile != nullptr &&
        (pSrv->auditFd = SrvCapture_Lift(SrvAudit_Open(pSrv->cfg.pAuditFile))) < 0)
        return kxMUtiSrv_ErrSystem;
    char name[64];
    pSrv->listenFd = SrvCapture_Lift(SrvNet_Listen(sa, len, name, sizeof name));
    if (pSrv->listenFd < 0)
        return kxMUtiSrv_ErrSystem;
    if (pSrv->cfg.ready != nullptr)
        pSrv->cfg.ready(name, pSrv->cfg.pReadyUser);
    return KX_OK;
}

/* Serves descriptors that are private copies: the terminal in raw mode,
 * the output non-blocking, both put back after through the caller's
 * descriptors (whose file descriptions the copies share). */
uint32_t ServeCopies(SrvServer *pSrv, int inFd, int outFd, int in, int out)
{
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
    const uint32_t rc = Run(pSrv, in, out);
    if (outFlags >= 0)
        fcntl(outFd, F_SETFL, outFlags);
    if (term)
        tcsetattr(inFd, TCSADRAIN, &oldTerm);
    return rc;
}

} // namespace

KX_API void kxMUtiSrv_ConfigInit(kxMUtiSrv_Config_t *pConfig)
{
    memset(pConfig, 0, sizeof *pConfig);
}

KX_API int kxMUtiSrv_StatusFailed(uint32_t status)
{
    return kxMUtiCon_StatusFailed(status); /* one rule for scripts and requests */
}

KX_API uint32_t kxMUtiSrv_ServeFds(const kxMUtiSrv_Config_t *pConfig, int inFd, int outFd)
{
    SrvServer *pSrv = Srv_New(pConfig, false);
    if (pSrv == nullptr)
        return KX_ERR_NOMEM;
    if (!Claim(pSrv)) {
        Srv_Free(pSrv);
        return kxMUtiSrv_ErrBusy;
    }
    /* Private copies above 2, so that 0, 1 and 2 can be redirected; the
     * session closes them. */
    const int in = fcntl(inFd, F_DUPFD_CLOEXEC, 3);
    const int out = in < 0 ? -1 : fcntl(outFd, F_DUPFD_CLOEXEC, 3);
    uint32_t rc = kxMUtiSrv_ErrSystem;
    if (out >= 0) {
        rc = ServeCopies(pSrv, inFd, outFd, in, out);
    } else if (in >= 0) {
        const int err = errno;
        close(in);
        errno = err;
    }
    Srv_Free(pSrv);
    gpServer.store(nullptr);
    return rc;
}

KX_API uint32_t kxMUtiSrv_Listen(const kxMUtiSrv_Config_t *pConfig, const char *pAddrPort)
{
    SrvServer *pSrv = Srv_New(pConfig, true);
    if (pSrv == nullptr)
        return KX_ERR_NOMEM;
    if (!Claim(pSrv)) {
        Srv_Free(pSrv);
        return kxMUtiSrv_ErrBusy;
    }
    uint32_t rc = ListenOn(pSrv, pAddrPort);
    if (rc == KX_OK)
        rc = Run(pSrv, -1, -1);
    if (rc == KX_OK)
        rc = kxMUtiSrv_ErrSystem; /* the listener failed */
    Srv_Free(pSrv);
    gpServer.store(nullptr);
    return rc;
}

/*
 * SrvCapture.cpp - redirecting descriptors 0, 1 and 2 and the signal
 * state for serving, and putting them back; reading the capture pipes.
 */
#include "SrvCapture.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

namespace {

void OnCancelSignal(int)
{
    /* Nothing: its arrival alone ends a sleep (no SA_RESTART). */
}

bool AddFlags(int fd, int flags)
{
    const int old = fcntl(fd, F_GETFL);
    return old >= 0 && fcntl(fd, F_SETFL, old | flags) == 0;
}

bool MakePipes(SrvCapture *pCap)
{
    for (auto &p : pCap->pipes) {
        if (pipe2(p, O_CLOEXEC) != 0)
            return false;
        p[0] = SrvCapture_Lift(p[0]);
        p[1] = SrvCapture_Lift(p[1]);
        if (p[0] < 0 || p[1] < 0 || !AddFlags(p[0], O_NONBLOCK))
            return false;
    }
    return true;
}

/* Keeps a copy of descriptor i above 2, or notes that it was closed. */
bool Save(SrvCapture *pCap, int i)
{
    pCap->saved[i] = fcntl(i, F_DUPFD_CLOEXEC, 3);
    if (pCap->saved[i] >= 0)
        return true;
    pCap->wasClosed[i] = errno == EBADF;
    return pCap->wasClosed[i];
}

bool Redirect(SrvCapture *pCap)
{
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0)
        return false;
    const int to[3] = {null, pCap->pipes[0][1], pCap->pipes[1][1]};
    bool ok = true;
    for (int i = 0; ok && i < 3; i++) {
        ok = Save(pCap, i) && dup2(to[i], i) == i;
        pCap->moved[i] = ok;
    }
    close(null);
    return ok;
}

bool Signals(SrvCapture *pCap)
{
    struct sigaction sa = {};
    sa.sa_handler = OnCancelSignal; /* no SA_RESTART: sleeps end early */
    sigemptyset(&sa.sa_mask);
    pCap->savedCancel = sigaction(KXSRV_CANCEL_SIGNAL, &sa, &pCap->cancelAct) == 0;
    if (!pCap->savedCancel)
        return false;
    sa.sa_handler = SIG_IGN; /* a vanished peer is an error from write, not a signal */
    pCap->savedPipe = sigaction(SIGPIPE, &sa, &pCap->pipeAct) == 0;
    if (!pCap->savedPipe)
        return false;
    sigset_t cancel;
    sigemptyset(&cancel);
    sigaddset(&cancel, KXSRV_CANCEL_SIGNAL);
    const int rc = pthread_sigmask(SIG_UNBLOCK, &cancel, &pCap->mask);
    pCap->savedMask = rc == 0;
    if (rc != 0)
        errno = rc;
    return pCap->savedMask;
}

void Restore(SrvCapture *pCap, int i)
{
    if (pCap->saved[i] >= 0) {
        dup2(pCap->saved[i], i);
        close(pCap->saved[i]);
    } else if (pCap->moved[i] && pCap->wasClosed[i]) {
        close(i);
    }
    pCap->saved[i] = -1;
    pCap->moved[i] = pCap->wasClosed[i] = false;
}

} // namespace

bool SrvCapture_Start(SrvCapture *pCap)
{
    *pCap = SrvCapture{};
    for (auto &p : pCap->pipes)
        p[0] = p[1] = -1;
    for (int &fd : pCap->saved)
        fd = -1;
    fflush(stdout);
    fflush(stderr);
    if (!MakePipes(pCap) || !Redirect(pCap) || !Signals(pCap)) {
        const int err = errno;
        SrvCapture_End(pCap);
        errno = err;
        return false;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return true;
}

void SrvCapture_End(SrvCapture *pCap)
{
    /* What stdio still holds goes into the pipes, never blocking on a
     * full one: nobody reads them any more. */
    for (auto &p : pCap->pipes)
        if (p[1] >= 0)
            (void)AddFlags(p[1], O_NONBLOCK);
    fflush(stdout);
    fflush(stderr);
    for (int i = 0; i < 3; i++)
        Restore(pCap, i);
    clearerr(stdout);
    clearerr(stderr);
    for (auto &p : pCap->pipes) {
        for (int &fd : p) {
            if (fd >= 0)
                close(fd);
            fd = -1;
        }
    }
    if (pCap->savedCancel)
        sigaction(KXSRV_CANCEL_SIGNAL, &pCap->cancelAct, nullptr);
    if (pCap->savedPipe)
        sigaction(SIGPIPE, &pCap->pipeAct, nullptr);
    if (pCap->savedMask)
        pthread_sigmask(SIG_SETMASK, &pCap->mask, nullptr);
    pCap->savedCancel = pCap->savedPipe = pCap->savedMask = false;
}

int SrvCapture_Lift(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int above = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int err = errno;
    close(fd);
    errno = err;
    return above;
}

int SrvCapture_Fd(const SrvCapture *pCap, int stream)
{
    return pCap->pipes[stream - 1][0];
}

bool SrvCapture_Read(SrvCapture *pCap, int stream, uint64_t nowUs)
{
    uint32_t &len = pCap->pendLen[stream - 1];
    while (len < KXSRV_CHUNK_MAX) {
        const uint32_t want = KXSRV_CHUNK_MAX - len;
        const ssize_t n = read(pCap->pipes[stream - 1][0], pCap->pend[stream - 1] + len, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        if (pCap->pendSinceUs == 0)
            pCap->pendSinceUs = nowUs;
        len += static_cast<uint32_t>(n);
        if (static_cast<uint32_t>(n) < want)
            return false;
    }
    return true;
}

uint32_t SrvCapture_Take(SrvCapture *pCap, int stream, const char **pp)
{
    const uint32_t n = pCap->pendLen[stream - 1];
    *pp = pCap->pend[stream - 1];
    pCap->pendLen[stream - 1] = 0;
    if (pCap->pendLen[0] == 0 && pCap->pendLen[1] == 0)
        pCap->pendSinceUs = 0;
    return n;
}

/*
 * SrvCapture.h - what commands print while serving: descriptors 1 and 2
 * lead into pipes, 0 reads /dev/null, the cancel signal gets its handler
 * and SIGPIPE is ignored.  All of it is saved and put back as one unit,
 * and only what was changed is put back, also when starting fails half
 * way.  The bytes read from the pipes wait here, a chunk per stream,
 * until the loop frames them.
 */
#ifndef SRV_CAPTURE_H
#define SRV_CAPTURE_H

#include <signal.h>
#include <stdint.h>

#include "SrvLimits.h"

struct SrvCapture {
    int pipes[2][2];               /* [stream - 1]: [0] read end (non-blocking), [1] write end */
    int saved[3];                  /* copies of the caller's 0, 1, 2; -1: none */
    bool moved[3];                 /* descriptor i was pointed elsewhere */
    bool wasClosed[3];             /* descriptor i was closed when serving started */
    bool savedCancel;              /* cancelAct holds the caller's action */
    bool savedPipe;                /* pipeAct holds the caller's action */
    bool savedMask;                /* mask holds the calling thread's mask */
    struct sigaction cancelAct;    /* the cancel signal's action before */
    struct sigaction pipeAct;      /* SIGPIPE's action before */
    sigset_t mask;                 /* the calling thread's signal mask before */
    char pend[2][KXSRV_CHUNK_MAX]; /* bytes read, not yet framed */
    uint32_t pendLen[2];           /* <= KXSRV_CHUNK_MAX */
    uint64_t pendSinceUs;          /* when the oldest pending byte was read; 0: none */
};

/*
 * Points 0, 1 and 2 at /dev/null and the pipes, installs the cancel
 * signal's handler (no SA_RESTART, so a sleep it reaches ends), ignores
 * SIGPIPE and unblocks the cancel signal on the calling thread.  Standard
 * output is left line-buffered.  False when a step failed (errno tells):
 * every step done before is undone, so the caller's state is as it was.
 */
bool SrvCapture_Start(SrvCapture *pCap);

/* Puts back exactly what SrvCapture_Start changed and closes the pipes;
 * what commands wrote and nobody read is lost.  Safe after a failed
 * start, and only once. */
void SrvCapture_End(SrvCapture *pCap);

/* fd itself when above 2, else a copy above 2 (close-on-exec) in its
 * place; -1 (fd closed) when none can be made.  Descriptors the server
 * opens before the capture starts go through this: with a caller's 0, 1
 * or 2 closed they could land there, where the capture puts its own. */
int SrvCapture_Lift(int fd);

/* The read end of a stream's pipe (1 output, 2 error). */
int SrvCapture_Fd(const SrvCapture *pCap, int stream);

/* Reads the pipe of stream into its pending bytes while they have room:
 * returns false once a read came back short (the pipe was empty at that
 * moment), true when the pending chunk filled first. */
bool SrvCapture_Read(SrvCapture *pCap, int stream, uint64_t nowUs);

/* Takes the pending bytes of stream: returns their count, *pp their
 * start (valid until the next read); the stream's pending count is 0
 * after. */
uint32_t SrvCapture_Take(SrvCapture *pCap, int stream, const char **pp);

#endif /* SRV_CAPTURE_H */

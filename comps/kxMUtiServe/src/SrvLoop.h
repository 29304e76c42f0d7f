/*
 * SrvLoop.h - the two threads of a running server.  The I/O thread polls
 * the sessions, the capture pipes, the listener and the interpreter's
 * wake-up pipe, and runs the timers.  The interpreter's thread (the
 * caller's) runs the requests it is handed and finishes each itself.
 */
#ifndef SRV_LOOP_H
#define SRV_LOOP_H

#include "SrvServer.h"

/* The I/O thread's body (pthread start routine); pArg is the server.
 * Returns once serving ends, after telling the interpreter to stop. */
void *SrvLoop_Io(void *pArg);

/* The interpreter's loop: runs handed-over requests until told to stop. */
void SrvLoop_Interpreter(SrvServer *pSrv);

#endif /* SRV_LOOP_H */

/*
 * SrvInterp.h - the interpreter's side of serving: running a request
 * (a line, describe or complete) on the interpreter's thread, and
 * cancelling it from any thread.
 */
#ifndef SRV_INTERP_H
#define SRV_INTERP_H

#include <pthread.h>

#include "SrvSession.h"
#include "kxMUtiServe.h"

/* Runs job on pExec and flushes stdio; what it prints goes to descriptors
 * 1 and 2 (captured).  On the interpreter's thread only.  Afterwards no
 * cancel of the console's is left pending, nor its notice. */
void SrvInterp_Run(const kxMUtiSrv_Config_t &cfg, kxMUtiCmd_Exec_t *pExec, const SrvJob &job,
                   SrvRunEnd *pEnd);

/* A new request starts: its cancel flag is clear.  Before it is handed
 * over, under the server's lock. */
void SrvInterp_Arm();

/* Cancels the running request: sets the flag kxMUtiSrv_Cancelled reports,
 * asks the console's runner to stop a sourced script after its current
 * line, and sends the cancel signal to interp once.  Any thread. */
void SrvInterp_Cancel(pthread_t interp);

/* Sends the cancel signal again (a host asked for repeats). */
void SrvInterp_Signal(pthread_t interp);

/* The period of repeated cancel signals in ms; 0: once. */
uint32_t SrvInterp_RepeatMs();

#endif /* SRV_INTERP_H */

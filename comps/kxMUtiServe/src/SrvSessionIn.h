/*
 * SrvSessionIn.h - what the session core's two files share: its life
 * (SrvSession.cpp: input, token, timers, its end) and its requests
 * (SrvRequests.cpp: the queue, answers from the store, cancels, the
 * running request).  Not for the loop around the core.
 */
#ifndef SRV_SESSION_IN_H
#define SRV_SESSION_IN_H

#include "SrvSession.h"

/* The audit hook, if any; a request's end; the session's end. */
void SrvSess_Audit(const SrvSession *s, const SrvAuditRec &rec);
void SrvSess_AuditEnd(const SrvSession *s, const SrvJob &job, SrvHow how, uint32_t status,
                      uint64_t us, uint32_t nOut, uint32_t nErr);
void SrvSess_AuditClose(const SrvSession *s);

/* Queues an X frame. */
void SrvSess_SendError(SrvSession *s, uint32_t id, SrvErr err);

/* A closing session whose requests ran and whose output left ends. */
void SrvSess_Settle(SrvSession *s);

/* Ends after what it holds is sent: quit (the waiting requests dropped)
 * or the end of input over descriptors (they still run). */
void SrvSess_Drain(SrvSession *s, SrvEnd why);

/* Drops the waiting requests, each audited: they never ran. */
void SrvSess_DropQueued(SrvSession *s);

/* Frees the running request's kept output. */
void SrvSess_FreeRunKept(SrvSession *s);

/* The frames about requests, once the session has its token: Q, D and P;
 * F (false when the id is unknown); C. */
void SrvSess_Request(SrvSession *s, const SrvFrame &f);
bool SrvSess_AnswerKnown(SrvSession *s, uint32_t id);
void SrvSess_Cancel(SrvSession *s, uint32_t id);

#endif /* SRV_SESSION_IN_H */

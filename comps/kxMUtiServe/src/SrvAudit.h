/*
 * SrvAudit.h - the audit file: one JSON line when a request starts, one
 * when it ends (with how), and one when a session ends (with why), each
 * appended with a single write.
 */
#ifndef SRV_AUDIT_H
#define SRV_AUDIT_H

#include "SrvSession.h"

/* The words the audit writes for how a request ended and why a session
 * did, indexed by SrvHow and SrvEnd. */
extern const char *const kSrvHowName[static_cast<int>(SrvHow::kCount)];
extern const char *const kSrvEndName[static_cast<int>(SrvEnd::kCount)];

/* The record as one JSON line, "\n" included; false when memory ran out.
 * pStamp: the UTC time, "2026-12-06T16:30:00Z". */
bool SrvAudit_Format(SrvBuf *pLine, const char *pStamp, const char *pPeer, const SrvAuditRec &rec);

/* Opens pPath for appending (created with mode 0600): the descriptor, or
 * -1 (errno tells). */
int SrvAudit_Open(const char *pPath);

/* Appends the record to fd (nothing when fd < 0), stamped with the time
 * now.  A line that cannot be made or written is lost. */
void SrvAudit_Write(int fd, const char *pPeer, const SrvAuditRec &rec);

#endif /* SRV_AUDIT_H */

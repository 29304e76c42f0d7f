/*
 * SrvAudit.cpp - audit records as JSON lines, appended with O_APPEND and
 * one write each, so that lines from several writers never mix.
 */
#include "SrvAudit.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* ORDER: SrvHow. */
const char *const kSrvHowName[static_cast<int>(SrvHow::kCount)] = {"finished", "cancelled",
                                                                   "closed", "deadline", "dropped"};

/* ORDER: SrvEnd. */
const char *const kSrvEndName[static_cast<int>(SrvEnd::kCount)] = {
    "open",  "bye",      "quit",  "eof",    "reset",   "idle",
    "grace", "deadline", "token", "locked", "evicted", "stop"};

namespace {

constexpr const char *kEventName[] = {"start", "end", "close"}; /* ORDER: SrvAuditRec::Kind */

bool AddKey(SrvBuf *pLine, const char *pKey)
{
    return SrvBuf_AddStr(pLine, ",\"") && SrvBuf_AddStr(pLine, pKey) && SrvBuf_AddStr(pLine, "\":");
}

bool AddWord(SrvBuf *pLine, const char *pKey, const char *pWord)
{
    return AddKey(pLine, pKey) && SrvBuf_AddJson(pLine, pWord, strlen(pWord));
}

bool AddNum(SrvBuf *pLine, const char *pKey, uint64_t value)
{
    return AddKey(pLine, pKey) && SrvBuf_AddNum(pLine, value);
}

bool AddJob(SrvBuf *pLine, const SrvJob &job)
{
    const char type[2] = {job.type, '\0'};
    return AddNum(pLine, "id", job.id) && AddWord(pLine, "type", type) && AddKey(pLine, "line") &&
           SrvBuf_AddJson(pLine, job.line, job.len);
}

bool AddEnd(SrvBuf *pLine, const SrvAuditRec &rec)
{
    return AddNum(pLine, "status", rec.status) && AddNum(pLine, "us", rec.us) &&
           AddNum(pLine, "out", rec.nOut) && AddNum(pLine, "err", rec.nErr) &&
           AddWord(pLine, "how", kSrvHowName[static_cast<int>(rec.how)]);
}

} // namespace

bool SrvAudit_Format(SrvBuf *pLine, const char *pStamp, const char *pPeer, const SrvAuditRec &rec)
{
    bool ok = SrvBuf_AddStr(pLine, "{\"time\":\"") && SrvBuf_AddStr(pLine, pStamp) &&
              SrvBuf_AddStr(pLine, "\"") && AddWord(pLine, "peer", pPeer) &&
              AddWord(pLine, "event", kEventName[rec.kind]);
    if (rec.kind == SrvAuditRec::kClose)
        ok = ok && AddWord(pLine, "why", kSrvEndName[static_cast<int>(rec.why)]);
    else
        ok = ok && AddJob(pLine, *rec.pJob);
    if (rec.kind == SrvAuditRec::kEnd)
        ok = ok && AddEnd(pLine, rec);
    return ok && SrvBuf_AddStr(pLine, "}\n");
}

int SrvAudit_Open(const char *pPath)
{
    return open(pPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
}

void SrvAudit_Write(int fd, const char *pPeer, const SrvAuditRec &rec)
{
    if (fd < 0)
        return;
    char stamp[32];
    const time_t t = time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    SrvBuf line{};
    if (SrvAudit_Format(&line, stamp, pPeer, rec)) {
        while (write(fd, line.p, line.len) < 0 && errno == EINTR) {
        }
    }
    SrvBuf_Free(&line);
}

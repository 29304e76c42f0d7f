/*
 * SrvInterp.cpp - requests on the interpreter's thread (a line through
 * the console's runner, describe, complete) and the cancel: a flag for
 * handlers, the runner's cancel for sourced scripts, and one signal that
 * cuts the sleep or read the thread is in.
 */
#include "SrvInterp.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "kxMUtiConsole.h"

namespace {

std::atomic<int> gCancelled{0};
std::atomic<uint32_t> gRepeatMs{KXSRV_CANCEL_RESEND_MS};

uint64_t NowUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

bool AddText(SrvBuf *pOut, const char *p)
{
    return p != nullptr ? SrvBuf_AddJson(pOut, p, strlen(p)) : SrvBuf_AddStr(pOut, "null");
}

bool AddCommand(SrvBuf *pOut, const kxMUtiCmd_Def_t *pDef, bool first)
{
    return (first || SrvBuf_AddStr(pOut, ",")) && SrvBuf_AddStr(pOut, "{\"name\":") &&
           AddText(pOut, pDef->pName) && SrvBuf_AddStr(pOut, ",\"alias\":") &&
           AddText(pOut, pDef->pAlias) && SrvBuf_AddStr(pOut, ",\"format\":") &&
           AddText(pOut, pDef->invokeFormat) && SrvBuf_AddStr(pOut, ",\"help\":") &&
           AddText(pOut, pDef->pHelp) && SrvBuf_AddStr(pOut, "}");
}

/* One level of describe: a context's prompt and commands. */
bool AddLevel(SrvBuf *pOut, const kxMUtiCmd_Exec_t *pCtx, uint32_t dots)
{
    const kxMUtiCmd_Defs_t *pDefs = pCtx->pDefs != nullptr ? pCtx->pDefs : gpkxMUtiCmd_DefsGlobal;
    bool ok = (dots == 0 || SrvBuf_AddStr(pOut, ",")) && SrvBuf_AddStr(pOut, "{\"dots\":") &&
              SrvBuf_AddNum(pOut, dots) && SrvBuf_AddStr(pOut, ",\"prompt\":") &&
              AddText(pOut, pCtx->pPrompt) && SrvBuf_AddStr(pOut, ",\"commands\":[");
    for (uint32_t i = 0; ok && pDefs != nullptr && i < pDefs->pDefVec->used; i++)
        ok = AddCommand(pOut, static_cast<const kxMUtiCmd_Def_t *>(pDefs->pDefVec->pEntries[i]),
                        i == 0);
    return ok && SrvBuf_AddStr(pOut, "]}");
}

uint32_t Describe(kxMUtiCmd_Exec_t *pExec, SrvBuf *pOut)
{
    bool ok = SrvBuf_AddStr(pOut, "{\"levels\":[");
    const kxMUtiCmd_Exec_t *pCtx = pExec;
    for (uint32_t dots = 0; ok && pCtx != nullptr && dots < KXSRV_CHAIN_MAX; dots++) {
        ok = AddLevel(pOut, pCtx, dots);
        pCtx = pCtx->pParent;
    }
    ok = ok && SrvBuf_AddStr(pOut, "]}");
    if (!ok)
        fputs("describe: out of memory\n", stderr);
    return KX_OK;
}

uint32_t Complete(kxMUtiCmd_Exec_t *pExec, const SrvJob &job, SrvBuf *pOut)
{
    kxMUtiCon_Completion_t done;
    const uint32_t rc = kxMUtiCon_Complete(pExec, job.line, job.cursor, &done);
    bool ok = rc == KX_OK && SrvBuf_AddStr(pOut, "{\"start\":") &&
              SrvBuf_AddNum(pOut, done.start) && SrvBuf_AddStr(pOut, ",\"candidates\":[");
    for (uint32_t i = 0; ok && i < done.candidates.used; i++) {
        const char *p = static_cast<const char *>(done.candidates.pEntries[i]);
        ok = (i == 0 || SrvBuf_AddStr(pOut, ",")) && SrvBuf_AddJson(pOut, p, strlen(p));
    }
    ok = ok && SrvBuf_AddStr(pOut, "]}");
    kxMUtiCon_CompletionDeInit(&done);
    if (!ok)
        fputs("complete: out of memory\n", stderr);
    return ok ? KX_OK : KX_ERR_NOMEM;
}

/* A line through the console's runner (so that source reports and
 * stops); the failure rule and the quit bit after it. */
void RunLine(const kxMUtiSrv_Config_t &cfg, kxMUtiCmd_Exec_t *pExec, const SrvJob &job,
             SrvRunEnd *pEnd)
{
    pEnd->status = kxMUtiCon_RunLine(pExec, job.line);
    const int hostFailed = cfg.failed != nullptr ? cfg.failed(pEnd->status, cfg.pFailedUser) : 0;
    pEnd->failed = kxMUtiSrv_StatusFailed(pEnd->status) || hostFailed != 0;
    pEnd->quit = (pExec->flags & kxMUtiCmd_ExecFlagQuit) != 0;
    pExec->flags &= ~static_cast<uint32_t>(kxMUtiCmd_ExecFlagQuit);
}

} // namespace

void SrvInterp_Run(const kxMUtiSrv_Config_t &cfg, kxMUtiCmd_Exec_t *pExec, const SrvJob &job,
                   SrvRunEnd *pEnd)
{
    *pEnd = SrvRunEnd{};
    const uint64_t start = NowUs();
    if (job.type == 'Q') {
        RunLine(cfg, pExec, job, pEnd);
    } else {
        SrvBuf json{};
        pEnd->status = job.type == 'D' ? Describe(pExec, &json) : Complete(pExec, job, &json);
        if (json.len > 0)
            fwrite(json.p, 1, json.len, stdout);
        SrvBuf_Free(&json);
    }
    pEnd->us = NowUs() - start;
    fflush(stdout);
    fflush(stderr);
    clearerr(stdout); /* a cancel signal may have cut a write short */
    clearerr(stderr);
    /* A cancel meant for this request ends with it: the console's loop, if
     * the host runs one later, finds no cancel and no notice of one. */
    kxMUtiCon_CancelClear();
}

void SrvInterp_Arm()
{
    gCancelled.store(0);
    kxMUtiCon_CancelClear();
}

void SrvInterp_Cancel(pthread_t interp)
{
    gCancelled.store(1);
    kxMUtiCon_Cancel(); /* a script that source runs ends after its current line */
    SrvInterp_Signal(interp);
}

void SrvInterp_Signal(pthread_t interp)
{
    pthread_kill(interp, KXSRV_CANCEL_SIGNAL);
}

uint32_t SrvInterp_RepeatMs()
{
    return gRepeatMs.load();
}

KX_API int kxMUtiSrv_Cancelled(void)
{
    return gCancelled.load();
}

KX_API void kxMUtiSrv_CancelRepeat(uint32_t ms)
{
    gRepeatMs.store(ms);
}

/*
 * ConRun.cpp - the script runner: runs a file or a stream exactly as the
 * interpreter's own kxMUtiCmd_ExecFile and kxMUtiCmd_ExecFP do, and counts
 * and names the lines that fail.
 *
 * The interpreter's source command would run a nested script with
 * kxMUtiCmd_ExecFile, out of the runner's sight.  While a run (or a line of
 * the console's loop) is in progress, the built-in source definitions that
 * the run can reach point at a handler of the runner instead (routing); the
 * interpreter still splits, converts, echoes and sleeps for the source line
 * itself, so nothing on standard output changes.  Routing ends with the
 * outermost run.  One thread, like the interpreter.
 */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Con.h"
#include "MUtiCmd.h" /* the interpreter's inline helpers only: nothing that links */
#include "MUtiLimits.h"

namespace {

/* The interpreter's messages for a script that is not run, byte for byte. */
constexpr const char *kMsgCannotOpen = "ERROR: Cannot open \"%s\" for read.\n";
constexpr const char *kMsgTooDeep = "ERROR: \"%s\" not run: scripts nested more than %d deep.\n";

/* A read takes MUTI_LINE_READ_MAX characters and the NUL, into a buffer
 * with one spare byte, as the interpreter's own stream runs do. */
constexpr uint32_t kLineBufBytes = MUTI_LINE_READ_MAX + 2;
constexpr int kReadSize = MUTI_LINE_READ_MAX + 1; /* size passed to fgets */
constexpr int kDepthMax = MUTI_SCRIPT_DEPTH_MAX;  /* deepest nesting of scripts */

constexpr uint32_t kQuit = kxMUtiCmd_ExecFlagQuit;
constexpr uint32_t kInteractive = kxMUtiCmd_ExecFlagInteractive;

/* One run started by a host (or by source at the console's prompt); the
 * scripts it sources run inside it and share it. */
struct Run {
    kxMUtiCon_RunOpts_t opts;     /* the host's options, or zeros */
    kxMUtiCon_RunSummary_t *pSum; /* never null: the host's or a local one */
    bool stop;                    /* a line failed with kxMUtiCon_RunStopOnError */
    bool cancelled;               /* a cancel was met */
    bool notRun;                  /* the file that the running line sourced was not run */
    Run *pOuter;                  /* the run this one was started inside, or null */
};

Run *gpRun;                      /* innermost run in progress, or null */
int gDepth;                      /* scripts being run by the runner, all runs and contexts */
kxMUtiCon_RunOpts_t gSourceOpts; /* for source typed at the console's loops */

/* Where the last cancelled run stopped, until the console tells the user. */
char *gpNoticeFile;
uint32_t gNoticeLine;

/* ==== Routing source ===================================================== */

kxMUtiCmd_Handler_t gBuiltinSource; /* the interpreter's source handler, once seen */
kxMUtiVec_t gRouted;                /* definitions now pointing at RouteSource */
uint32_t gRouteDepth;               /* nested Route scopes */

uint32_t RouteSource(kxWord_t exec, kxWord_t path, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                     kxWord_t, kxWord_t, kxWord_t);
bool RunFileIn(Run &run, kxMUtiCmd_Exec_t *pExec, const char *pPath);

/* True when both addresses lie in one loaded object. */
bool SameObject(const void *pA, const void *pB)
{
    Dl_info a = {};
    Dl_info b = {};
    return dladdr(pA, &a) != 0 && dladdr(pB, &b) != 0 && a.dli_fbase == b.dli_fbase;
}

/* Learns the built-in source handler from the global table: the command
 * named source, with the built-in's format, whose handler lies in the
 * interpreter's library.  A host that redefined source before any run
 * replaced it, and its own command then runs as it is. */
void LearnBuiltinSource()
{
    if (gBuiltinSource != nullptr || gpkxMUtiCmd_DefsGlobal == nullptr)
        return;
    uint32_t kind = kxMUtiCmd_MatchNone;
    const kxMUtiCmd_Def_t *pDef = kxMUtiCmd_DefsLookup(nullptr, "source", &kind);
    if (pDef == nullptr || kind != kxMUtiCmd_MatchExact || strcmp(pDef->invokeFormat, "%E%s") != 0)
        return;
    if (SameObject(reinterpret_cast<const void *>(pDef->handler),
                   reinterpret_cast<const void *>(&kxMUtiCmd_ExecFile)))
        gBuiltinSource = pDef->handler;
}

/* Points the built-in source definitions of pDefs (null: the global
 * table) at RouteSource.  One that cannot be remembered is left alone: its
 * scripts then run as kxMUtiCmd_ExecFile runs them. */
void RouteTable(const kxMUtiCmd_Defs_t *pDefs)
{
    if (pDefs == nullptr)
        pDefs = gpkxMUtiCmd_DefsGlobal;
    if (pDefs == nullptr || pDefs->pDefVec == nullptr)
        return;
    for (uint32_t i = 0; i < pDefs->pDefVec->used; i++) {
        auto *pDef = static_cast<kxMUtiCmd_Def_t *>(pDefs->pDefVec->pEntries[i]);
        if (pDef->handler != gBuiltinSource || kxMUtiVec_Append(&gRouted, pDef) != KX_OK)
            continue;
        pDef->handler = RouteSource;
    }
}

/* Routes every table that a line run on pExec can reach. */
void RouteBegin(const kxMUtiCmd_Exec_t *pExec)
{
    gRouteDepth++;
    LearnBuiltinSource();
    if (gBuiltinSource == nullptr)
        return;
    RouteTable(gpkxMUtiCmd_DefsGlobal);
    for (uint32_t n = 0; pExec != nullptr && n < MUTI_CHAIN_MAX; n++, pExec = pExec->pParent)
        RouteTable(pExec->pDefs);
}

/* Puts the built-in handler back when the outermost scope ends; a
 * definition the host redefined meanwhile keeps the host's handler. */
void RouteEnd()
{
    if (--gRouteDepth != 0)
        return;
    for (uint32_t i = 0; i < gRouted.used; i++) {
        auto *pDef = static_cast<kxMUtiCmd_Def_t *>(gRouted.pEntries[i]);
        if (pDef->handler == RouteSource)
            pDef->handler = gBuiltinSource;
    }
    kxMUtiVec_DeInit(&gRouted);
    gRouted = kxMUtiVec_t{};
}

/* ==== Failures =========================================================== */

/* The summary's copy of a failure: record and both strings in one block. */
kxMUtiCon_RunFailure_t *NewFailure(const kxMUtiCon_RunFailure_t &f)
{
    const size_t nFile = strlen(f.pFile) + 1;
    const size_t nText = strlen(f.pText) + 1;
    auto *pNew = static_cast<kxMUtiCon_RunFailure_t *>(
        malloc(sizeof(kxMUtiCon_RunFailure_t) + nFile + nText));
    if (pNew == nullptr) [[unlikely]]
        return nullptr;
    char *pFile = reinterpret_cast<char *>(pNew + 1);
    memcpy(pFile, f.pFile, nFile);
    memcpy(pFile + nFile, f.pText, nText);
    *pNew = f;
    pNew->pFile = pFile;
    pNew->pText = pFile + nFile;
    return pNew;
}

/* Remembers where a stopped run stopped (the first place only). */
void NoteEnd(kxMUtiCon_RunSummary_t *pSum, const char *pName, uint32_t line)
{
    if (pSum->endLine != 0 || line == 0)
        return;
    pSum->pEndFile = strdup(pName);
    if (pSum->pEndFile != nullptr)
        pSum->endLine = line;
}

/* Counts a line that ran; when it failed, tells the host and keeps it. */
void Account(Run &run, kxMUtiCmd_Exec_t *pExec, const char *pName, uint32_t line, const char *pLine,
             uint32_t status)
{
    kxMUtiCon_RunSummary_t *pSum = run.pSum;
    pSum->nLines++;
    const kxMUtiCon_RunOpts_t &o = run.opts;
    bool failed = o.failed != nullptr ? o.failed(pExec, status, o.pUser) != 0
                                      : kxMUtiCon_StatusFailed(status) != 0;
    uint32_t recorded = status;
    if (!failed && run.notRun) {
        failed = true;
        recorded = kxMUtiCon_StatusNotRun;
    }
    if (!failed)
        return;
    pSum->nFailed++;

    char text[kLineBufBytes]; /* the line without its line end */
    size_t n = strlen(pLine);
    while (n > 0 && (pLine[n - 1] == '\n' || pLine[n - 1] == '\r'))
        n--;
    memcpy(text, pLine, n);
    text[n] = '\0';
    const kxMUtiCon_RunFailure_t f = {pName, line, recorded, text};
    if (o.onFailure != nullptr)
        o.onFailure(&f, o.pUser);
    kxMUtiCon_RunFailure_t *pKept = NewFailure(f);
    if (pKept != nullptr && kxMUtiVec_Append(&pSum->failures, pKept) != KX_OK) [[unlikely]]
        free(pKept);
    if ((o.flags & kxMUtiCon_RunStopOnError) != 0) {
        run.stop = true;
        NoteEnd(pSum, pName, line);
    }
}

/* ==== Streams and files ================================================== */

/* True when the piece that fgets just read ends its line.  The buffer was
 * filled with 1 before the read, so the last NUL is the one fgets wrote,
 * even when the line holds NUL bytes of its own. */
bool EndsLine(const char *pBuf)
{
    for (int i = kReadSize - 1; i >= 0; i--)
        if (pBuf[i] == '\0')
            return i > 0 && pBuf[i - 1] == '\n';
    return false;
}

/* True when the run must end before the next line: a failure stopped it
 * or a cancel came.  lastLine: this stream's last line run, 0 for none. */
bool Stopping(Run &run, const char *pName, uint32_t lastLine)
{
    if (!run.stop && kxMUtiCon_Cancelled())
        run.cancelled = true;
    if (!run.stop && !run.cancelled)
        return false;
    NoteEnd(run.pSum, pName, lastLine);
    return true;
}

/* kxMUtiCmd_ExecFP, counting: reads pieces of at most MUTI_LINE_READ_MAX
 * characters, runs each as it was read, ends at end of input or quit (the
 * quit bit is cleared first and left set), prints the prompt when the
 * context is interactive; and between lines, ends a stopped run. */
void RunStream(Run &run, kxMUtiCmd_Exec_t *pExec, FILE *pFile, const char *pName)
{
    auto *pBuf = static_cast<char *>(kxMUtiCmd_Malloc(kLineBufBytes));
    if (pBuf == nullptr) [[unlikely]]
        return; /* reported by kxMUtiCmd_Malloc; nothing is read */
    pExec->flags &= ~kQuit;
    uint32_t line = 1;     /* line number of the next piece */
    uint32_t lastLine = 0; /* line number of the last piece run */
    for (;;) {
        if (Stopping(run, pName, lastLine))
            break;
        if ((pExec->flags & kInteractive) != 0 && pExec->pPrompt != nullptr) {
            fputs(pExec->pPrompt, stdout);
            fflush(stdout);
        }
        memset(pBuf, 1, kReadSize);
        if (fgets(pBuf, kReadSize, pFile) == nullptr)
            break;
        const bool ends = EndsLine(pBuf);
        if (run.opts.before != nullptr)
            run.opts.before(pExec, run.opts.pUser);
        run.notRun = false;
        const uint32_t status = kxMUtiCmd_ExecLine(pExec, pBuf);
        lastLine = line;
        Account(run, pExec, pName, line, pBuf, status);
        line += ends ? 1 : 0;
        if ((pExec->flags & kQuit) != 0)
            break;
    }
    free(pBuf);
}

/* kxMUtiCmd_ExecFile inside run: the nesting bound, the name kept in
 * pFileName (a copy when it is a word of the context's line, which the
 * script's first line overwrites; null afterwards, also inside an outer
 * script), no prompt while the file runs.  False when the file was not
 * run (the interpreter's message is printed). */
bool RunFileIn(Run &run, kxMUtiCmd_Exec_t *pExec, const char *pPath)
{
    const uint32_t entryFlags = pExec->flags;
    if (gDepth >= kDepthMax) [[unlikely]] {
        printf(kMsgTooDeep, pPath, kDepthMax);
        return false;
    }
    char *pCopy = nullptr; /* the run's own copy of the name, if needed */
    if (MUtiCmd_InWorkingCopy(pExec, pPath)) {
        pCopy = strdup(pPath);
        if (pCopy == nullptr) [[unlikely]] {
            printf(kMsgCannotOpen, pPath);
            return false;
        }
        pPath = pCopy;
    }
    FILE *pFile = fopen(pPath, "r");
    if (pFile == nullptr) {
        printf(kMsgCannotOpen, pPath);
        free(pCopy);
        return false;
    }
    pExec->flags &= ~kInteractive;
    pExec->pFileName = pPath;
    gDepth++;
    RunStream(run, pExec, pFile, pPath);
    gDepth--;
    pExec->pFileName = nullptr;
    fclose(pFile);
    free(pCopy);
    if ((entryFlags & kInteractive) != 0)
        pExec->flags |= kInteractive;
    return true;
}

/* The handler that routed source definitions point at: the script runs
 * inside the run in progress, or, for a source line typed at the console's
 * loop, as a run of its own with the console's options.  KX_OK either way,
 * as the built-in gives. */
uint32_t RouteSource(kxWord_t exec, kxWord_t path, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                     kxWord_t, kxWord_t, kxWord_t)
{
    auto *pExec = reinterpret_cast<kxMUtiCmd_Exec_t *>(exec);
    const auto *pPath = reinterpret_cast<const char *>(path);
    if (gpRun == nullptr) {
        kxMUtiCon_RunFile(pExec, pPath, &gSourceOpts, nullptr);
        return KX_OK;
    }
    Run &run = *gpRun;
    run.notRun = !RunFileIn(run, pExec, pPath);
    return KX_OK;
}

/* Sets up a run and its summary, runs it with routing on, and says how it
 * ended.  file: RunFileIn on pPath, else RunStream on pFile. */
uint32_t Start(kxMUtiCmd_Exec_t *pExec, const char *pPath, FILE *pFile, const char *pName,
               const kxMUtiCon_RunOpts_t *pOpts, kxMUtiCon_RunSummary_t *pSum)
{
    kxMUtiCon_RunSummary_t local;
    if (pSum == nullptr)
        pSum = &local;
    *pSum = kxMUtiCon_RunSummary_t{};
    if (pExec == nullptr)
        pExec = kxMUtiCmd_ExecGlobal();
    if (pExec == nullptr || (pPath == nullptr && pFile == nullptr)) [[unlikely]] {
        pSum->end = kxMUtiCon_RunNotRun;
        return kxMUtiCon_StatusNotRun;
    }

    Run run = {};
    if (pOpts != nullptr)
        run.opts = *pOpts;
    run.pSum = pSum;
    run.pOuter = gpRun;
    gpRun = &run;
    RouteBegin(pExec);
    bool ran = true;
    if (pPath != nullptr)
        ran = RunFileIn(run, pExec, pPath);
    else
        RunStream(run, pExec, pFile, pName != nullptr ? pName : "-");
    RouteEnd();
    gpRun = run.pOuter;

    if (!ran)
        pSum->end = kxMUtiCon_RunNotRun;
    else if (run.cancelled)
        pSum->end = kxMUtiCon_RunCancelled;
    else if (run.stop)
        pSum->end = kxMUtiCon_RunStopped;
    else if ((pExec->flags & kQuit) != 0)
        pSum->end = kxMUtiCon_RunQuit;
    else
        pSum->end = kxMUtiCon_RunEndOfInput;
    if (run.cancelled && pSum->pEndFile != nullptr) {
        free(gpNoticeFile);
        gpNoticeFile = strdup(pSum->pEndFile);
        gNoticeLine = pSum->endLine;
    }
    if (pSum == &local)
        kxMUtiCon_RunSummaryDeInit(&local);
    return ran ? KX_OK : kxMUtiCon_StatusNotRun;
}

/* What a failing status means, for the notes. */
const char *What(uint32_t status)
{
    switch (status) {
    case kxMUtiCmd_StatusUnknown:
        return "unknown or ambiguous command";
    case kxMUtiCmd_StatusTooMany:
        return "too many parameters";
    case kxMUtiCmd_StatusTooFew:
        return "insufficient arguments";
    case kxMUtiCmd_StatusBadInteger:
        return "argument is not a number";
    case kxMUtiCmd_StatusListNotFinal:
        return "bad invoke format";
    case kxMUtiCon_StatusNotRun:
        return "script not run";
    default:
        return "failed";
    }
}

} // namespace

/* ==== Shared with the loops ============================================== */

KX_API uint32_t kxMUtiCon_RunLine(kxMUtiCmd_Exec_t *pExec, const char *pLine)
{
    RouteBegin(pExec != nullptr ? pExec : kxMUtiCmd_ExecGlobal());
    const uint32_t status = kxMUtiCmd_ExecLine(pExec, pLine);
    RouteEnd();
    return status;
}

void ConRun_Loop(kxMUtiCmd_Exec_t *pExec)
{
    RouteBegin(pExec != nullptr ? pExec : kxMUtiCmd_ExecGlobal());
    kxMUtiCmd_ExecLoop(pExec);
    RouteEnd();
}

void ConRun_NoticeDrop()
{
    free(gpNoticeFile);
    gpNoticeFile = nullptr;
}

void ConRun_CancelNotice()
{
    if (gpNoticeFile == nullptr)
        return;
    fflush(stdout);
    fprintf(stderr, "%s:%u: script stopped by Ctrl-C; the lines after it did not run\n",
            gpNoticeFile, static_cast<unsigned>(gNoticeLine));
    free(gpNoticeFile);
    gpNoticeFile = nullptr;
}

/* ==== Public interface =================================================== */

extern "C" {

KX_API int kxMUtiCon_StatusFailed(uint32_t status)
{
    return (status & 0x80000000u) != 0 && status != kxMUtiCmd_StatusNoWords;
}

KX_API uint32_t kxMUtiCon_RunFile(kxMUtiCmd_Exec_t *pExec, const char *pPath,
                                  const kxMUtiCon_RunOpts_t *pOpts, kxMUtiCon_RunSummary_t *pSum)
{
    return Start(pExec, pPath, nullptr, nullptr, pOpts, pSum);
}

KX_API uint32_t kxMUtiCon_RunFP(kxMUtiCmd_Exec_t *pExec, FILE *pFile, const char *pName,
                                const kxMUtiCon_RunOpts_t *pOpts, kxMUtiCon_RunSummary_t *pSum)
{
    return Start(pExec, nullptr, pFile, pName, pOpts, pSum);
}

KX_API void kxMUtiCon_RunSummaryDeInit(kxMUtiCon_RunSummary_t *pSum)
{
    for (uint32_t i = 0; pSum->failures.pEntries != nullptr && i < pSum->failures.used; i++)
        free(pSum->failures.pEntries[i]);
    kxMUtiVec_DeInit(&pSum->failures);
    free(pSum->pEndFile);
    *pSum = kxMUtiCon_RunSummary_t{};
}

KX_API void kxMUtiCon_RunReport(const kxMUtiCon_RunFailure_t *pFailure, void *pUser)
{
    FILE *pOut = pUser != nullptr ? static_cast<FILE *>(pUser) : stderr;
    const char *pWord = pFailure->pText + strspn(pFailure->pText, " \t\v\f\r\n");
    size_t n = strcspn(pWord, " \t\v\f\r\n");
    if (*pWord == '"' || *pWord == '\'') { /* a quoted command word */
        const char quote[2] = {*pWord, '\0'};
        pWord++;
        n = strcspn(pWord, quote);
    }
    fflush(stdout);
    fprintf(pOut, "%s:%u: %.*s: %s (status 0x%08X)\n", pFailure->pFile,
            static_cast<unsigned>(pFailure->line), static_cast<int>(n), pWord,
            What(pFailure->status), static_cast<unsigned>(pFailure->status));
}

KX_API void kxMUtiCon_SourceOptsSet(const kxMUtiCon_RunOpts_t *pOpts)
{
    gSourceOpts = pOpts != nullptr ? *pOpts : kxMUtiCon_RunOpts_t{};
}

} // extern "C"

/*
 * MUtiCmdSource.cpp - where lines come from: an open stream, a script file,
 * standard input with a prompt, or one line for a nested environment.
 *
 * Each stream run owns a line buffer and reads at most MUTI_LINE_READ_MAX
 * (1023) characters at a time; a longer line arrives as several pieces, each run as
 * a line.  Runs nest through handlers (source inside a script inside an
 * interactive loop) and share the context's line state; the quit bit set by
 * a nested run also ends the runs around it on the same context.
 */
#include <stdio.h>

#include "MUtiAlloc.h"
#include "MUtiCmd.h"
#include "MUtiDbg.h"
#include "MUtiLimits.h"
#include "kxMUtiStr.h"

namespace {

constexpr const char *kMsgCannotOpen = "ERROR: Cannot open \"%s\" for read.\n";
constexpr const char *kMsgTooDeep = "ERROR: \"%s\" not run: scripts nested more than %d deep.\n";

constexpr uint32_t kLineBufBytes = MUTI_LINE_READ_MAX + 2; /* a read, NUL, one spare */
constexpr int kReadSize = MUTI_LINE_READ_MAX + 1;          /* size passed to fgets */

/* Deepest nesting of script runs (MUtiLimits.h). */
constexpr int kFileDepthMax = MUTI_SCRIPT_DEPTH_MAX;
int gMUtiCmd_FileDepth; /* script runs in progress, all contexts */

} // namespace

void kxMUtiCmd_ExecFP(kxMUtiCmd_Exec_t *pExec, FILE *pFile)
{
    pExec = MUtiCmd_ExecSelect(pExec);
    if (pExec == nullptr) [[unlikely]]
        return;
    /* Without a buffer there is nowhere to read into: the run ends at once
     * (kxMUtiCmd_Malloc has reported the failure). */
    auto *pBuf = static_cast<char *>(kxMUtiCmd_Malloc(kLineBufBytes));
    if (pBuf == nullptr) [[unlikely]]
        return;

    pExec->flags &= ~static_cast<uint32_t>(kxMUtiCmd_ExecFlagQuit);
    for (;;) {
        /* The interactive bit first: a script run never has it, and then
         * the prompt pointer is not even read. */
        if ((pExec->flags & kxMUtiCmd_ExecFlagInteractive) && pExec->pPrompt != nullptr) {
            fputs(pExec->pPrompt, stdout);
            fflush(stdout);
        }
        if (fgets(pBuf, kReadSize, pFile) == nullptr)
            break;
        kxMUtiCmd_ExecLine(pExec, pBuf);
        if (pExec->flags & kxMUtiCmd_ExecFlagQuit)
            break;
    }
    MUti_Free(pBuf);
}

/*
 * Runs a script.  The name is kept in pFileName for the whole run; when
 * the path is a word of the context's own line (the source command), the
 * script's first line would overwrite it, so the run keeps its own copy.
 */
void kxMUtiCmd_ExecFile(kxMUtiCmd_Exec_t *pExec, const char *pPath)
{
    pExec = MUtiCmd_ExecSelect(pExec);
    if (pExec == nullptr) [[unlikely]]
        return;
    const uint32_t entryFlags = pExec->flags;
    if (gMUtiCmd_FileDepth >= kFileDepthMax) [[unlikely]] {
        printf(kMsgTooDeep, pPath, kFileDepthMax);
        return;
    }

    char *pCopy = nullptr; /* the run's own copy of the name, if needed */
    if (MUtiCmd_InWorkingCopy(pExec, pPath)) {
        pCopy = kxMUtiStr_Dup(pPath, gkxMUtiCmd_MemSpace);
        if (pCopy == nullptr) [[unlikely]] {
            MUTI_PRINT(kMUtiDbgError, "kxMUtiCmd_ExecFile: no memory for the name \"%s\"", pPath);
            printf(kMsgCannotOpen, pPath);
            return;
        }
        pPath = pCopy;
    }

    FILE *pFile = fopen(pPath, "r");
    if (pFile == nullptr) {
        printf(kMsgCannotOpen, pPath);
        MUti_Free(pCopy);
        return;
    }
    pExec->flags &= ~static_cast<uint32_t>(kxMUtiCmd_ExecFlagInteractive);
    pExec->pFileName = pPath;
    gMUtiCmd_FileDepth++;
    kxMUtiCmd_ExecFP(pExec, pFile);
    gMUtiCmd_FileDepth--;
    pExec->pFileName = nullptr;
    fclose(pFile);
    MUti_Free(pCopy);
    if (entryFlags & kxMUtiCmd_ExecFlagInteractive)
        pExec->flags |= kxMUtiCmd_ExecFlagInteractive;
}

void kxMUtiCmd_ExecLoop(kxMUtiCmd_Exec_t *pExec)
{
    pExec = MUtiCmd_ExecSelect(pExec);
    if (pExec == nullptr) [[unlikely]]
        return;
    pExec->flags |= kxMUtiCmd_ExecFlagInteractive;
    kxMUtiCmd_ExecFP(pExec, stdin);
}

void kxMUtiCmd_ExecSubLoop(kxMUtiCmd_Exec_t *pExec, const char *pText)
{
    pExec = MUtiCmd_ExecSelect(pExec);
    if (pExec == nullptr) [[unlikely]]
        return;
    if (pText != nullptr)
        while (MUti_IsSpace(*pText))
            pText++;
    if (pText == nullptr || *pText == '\0') {
        kxMUtiCmd_ExecLoop(pExec);
        return;
    }
    kxMUtiCmd_ExecLine(pExec, pText);
}

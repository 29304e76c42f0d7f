/*
 * kxMUtiCmd.cpp - interpreter records and start-up.
 *
 * Owns the module's globals, the constructors of command tables and
 * execution contexts, the small accessors and kxMUtiCmd_Init.  Tables,
 * definitions and contexts live until the process ends: there is no
 * shut-down, so nothing made here is ever freed once handed out.
 */
#include <stddef.h>

#include "MUtiAlloc.h"
#include "MUtiCmd.h"
#include "MUtiDbg.h"
#include "MUtiLimits.h"
#include "kxMUtiStrx.h"
#include "kxMUtiVec.h"

/* The records are read by host programs and the debug tools of the board,
 * so their layout is fixed: word-sized fields in declaration order. */
static_assert(offsetof(kxMUtiCmd_Defs_t, pDefVec) == sizeof(void *));
static_assert(sizeof(kxMUtiCmd_Defs_t) == 2 * sizeof(void *));
static_assert(offsetof(kxMUtiCmd_Def_t, userData) == sizeof(void *));
static_assert(offsetof(kxMUtiCmd_Def_t, pName) == 6 * sizeof(void *));
static_assert(sizeof(kxMUtiCmd_Def_t) == 7 * sizeof(void *));
static_assert(offsetof(kxMUtiCmd_Exec_t, nWords) == 7 * sizeof(void *));
static_assert(offsetof(kxMUtiCmd_Exec_t, pTempVec) == 8 * sizeof(void *));
static_assert(offsetof(kxMUtiCmd_Exec_t, autoSleepMs) == 9 * sizeof(void *));
static_assert(offsetof(kxMUtiCmd_Exec_t, flags) == 9 * sizeof(void *) + 4);
static_assert(offsetof(kxMUtiCmd_Exec_t, pFileName) ==
              10 * sizeof(void *) + (sizeof(void *) == 4 ? 4 : 0));
#if UINTPTR_MAX == 0xFFFFFFFFu
/* The board: every field one 4-byte word. */
static_assert(sizeof(kxMUtiCmd_Defs_t) == 8 && sizeof(kxMUtiCmd_Def_t) == 28);
static_assert(sizeof(kxMUtiCmd_Exec_t) == 48);
#endif

kxMUtiCmd_Defs_t *gpkxMUtiCmd_DefsGlobal;
kxMUtiCmd_Exec_t *gpkxMUtiCmd_ExecGlobal;
const char *gkxMUtiCmd_Prompt = ":) ";
char gkxMUtiCmd_CommentChar = '#';
kxWord_t gkxMUtiCmd_MemSpace;
kxDbg_Unit_t gkxMUtiCmd_DbgUnit;
char gMUtiCmd_CommentStr[2];

namespace {

/* Lines of the start-up checks, as reported to the debug service. */
constexpr int kLineDefsGlobal = 1153;
constexpr int kLineExecGlobal = 1157;

/* Containers of a new context (sizes in MUtiLimits.h): the working copy
 * grows in fixed steps of its first size. */
constexpr uint32_t kLineBufSize = MUTI_LINE_COPY_SIZE;
constexpr uint32_t kLineBufPolicy = kxMUtiStrx_GrowFixed | MUTI_LINE_COPY_SIZE;
constexpr uint32_t kWordsSize = MUTI_WORDS_SIZE;
constexpr uint32_t kTempSize = MUTI_LIST_SIZE;
constexpr uint32_t kDefsSize = MUTI_DEFS_SIZE;

/* Frees a context whose containers could not all be made. */
void MUtiCmd_ExecDiscard(kxMUtiCmd_Exec_t *pExec)
{
    kxMUtiStrx_Free(pExec->pLineBuf);
    kxMUtiVec_Free(pExec->pWords);
    kxMUtiVec_Free(pExec->pTempVec);
    MUti_Free(pExec);
}

} // namespace

void *kxMUtiCmd_Malloc(uint32_t size)
{
    void *p = MUti_Calloc(size, 1);
    if (p == nullptr) [[unlikely]]
        MUTI_PRINT(kMUtiDbgError, "kxMUtiCmd_Malloc: alloc %d bytes failed => 0x%x",
                   static_cast<int>(size), 0xFFFFFFFFu);
    return p;
}

/*
 * A table without its definition vector could hold nothing, so it is not
 * handed out: the constructor fails as a whole and frees what it made.
 */
kxMUtiCmd_Defs_t *kxMUtiCmd_DefsNew(void)
{
    auto *pDefs = static_cast<kxMUtiCmd_Defs_t *>(kxMUtiCmd_Malloc(sizeof(kxMUtiCmd_Defs_t)));
    if (pDefs == nullptr)
        return nullptr;
    pDefs->nDefs = 0;
    pDefs->pDefVec = kxMUtiVec_New(gkxMUtiCmd_MemSpace, kDefsSize);
    if (pDefs->pDefVec == nullptr) [[unlikely]] {
        MUti_Free(pDefs);
        return nullptr;
    }
    return pDefs;
}

/*
 * A new context starts with the global context as its parent (none before
 * start-up) and the current default prompt.  A context missing one of its
 * containers could not run a line, so the constructor fails as a whole.
 */
kxMUtiCmd_Exec_t *kxMUtiCmd_ExecNew(kxMUtiCmd_Defs_t *pDefs)
{
    auto *pExec = static_cast<kxMUtiCmd_Exec_t *>(kxMUtiCmd_Malloc(sizeof(kxMUtiCmd_Exec_t)));
    if (pExec == nullptr)
        return nullptr;
    pExec->pPrompt = gkxMUtiCmd_Prompt;
    pExec->pDefs = pDefs;
    pExec->pParent = gpkxMUtiCmd_ExecGlobal;
    pExec->autoSleepMs = 0;
    pExec->pLineBuf = kxMUtiStrx_New(kLineBufSize, gkxMUtiCmd_MemSpace, kLineBufPolicy);
    pExec->pWords = kxMUtiVec_New(gkxMUtiCmd_MemSpace, kWordsSize);
    pExec->pTempVec = kxMUtiVec_New(gkxMUtiCmd_MemSpace, kTempSize);
    if (pExec->pLineBuf == nullptr || pExec->pWords == nullptr || pExec->pTempVec == nullptr)
        [[unlikely]] {
        MUtiCmd_ExecDiscard(pExec);
        return nullptr;
    }
    return pExec;
}

void kxMUtiCmd_PromptSet(kxMUtiCmd_Exec_t *pExec, const char *pPrompt)
{
    pExec = MUtiCmd_ExecSelect(pExec);
    if (pExec == nullptr) /* before start-up there is no global context */
        return;
    pExec->pPrompt = pPrompt;
}

void kxMUtiCmd_ParentSet(kxMUtiCmd_Exec_t *pExec, kxMUtiCmd_Exec_t *pParent)
{
    pExec->pParent = pParent;
}

kxMUtiCmd_Exec_t *kxMUtiCmd_ExecGlobal(void)
{
    return gpkxMUtiCmd_ExecGlobal;
}

const char *kxMUtiCmd_ExecCurrentFileNameGet(const kxMUtiCmd_Exec_t *pExec)
{
    return pExec->pFileName != nullptr ? pExec->pFileName : "";
}

/*
 * Starts the interpreter.  A second call starts afresh: a new global table
 * with the built-ins only, and a new global context whose parent is the old
 * one, which stays allocated.
 */
uint32_t kxMUtiCmd_Init(kxWord_t memSpace)
{
    kxDbg_RegisterModule(&gkxMUtiCmd_DbgUnit, "MUtiCmd");
    if (gkxMUtiCmd_DbgUnit != nullptr)
        *gkxMUtiCmd_DbgUnit |= kMUtiDbgError; /* errors print by default */
    MUTI_PRINT(kMUtiDbgTrace, "kxMUtiCmd_Init");

    gkxMUtiCmd_MemSpace = memSpace;
    gMUtiCmd_CommentStr[0] = gkxMUtiCmd_CommentChar;
    gMUtiCmd_CommentStr[1] = '\0';

    gpkxMUtiCmd_DefsGlobal = kxMUtiCmd_DefsNew();
    if (gpkxMUtiCmd_DefsGlobal == nullptr) [[unlikely]]
        MUti_AssertFail("gpkxMUtiCmd_DefsGlobal != Null", kMUtiCmdPath, kLineDefsGlobal);
    else
        MUtiCmd_InbuiltRegister(gpkxMUtiCmd_DefsGlobal);

    gpkxMUtiCmd_ExecGlobal = kxMUtiCmd_ExecNew(gpkxMUtiCmd_DefsGlobal);
    if (gpkxMUtiCmd_ExecGlobal == nullptr) [[unlikely]]
        MUti_AssertFail("gpkxMUtiCmd_ExecGlobal != Null", kMUtiCmdPath, kLineExecGlobal);
    return KX_OK;
}

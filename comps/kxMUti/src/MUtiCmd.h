/*
 * MUtiCmd.h - what the interpreter's source files share and nothing else
 * sees.  The interpreter is split by the stages of a line's road:
 *
 *   kxMUtiCmd.cpp       records, globals, constructors, start-up
 *   MUtiCmdLookup.cpp   registration and lookup of commands
 *   MUtiCmdLine.cpp     comment check, splitting, search along the chain
 *   MUtiCmdFormat.cpp   invoke formats, conversions, the handler call
 *   MUtiCmdSource.cpp   streams, files, standard input, nested loops
 *   MUtiCmdInbuilt.cpp  the eight built-in commands
 */
#ifndef MUTI_CMD_H
#define MUTI_CMD_H

#include <stdint.h>

#include "MUtiText.h"
#include "kxMUtiCmd.h"

/* Source path named in this module's assertion reports. */
inline constexpr const char *kMUtiCmdPath = "comps/kxMUti/src/kxMUtiCmd";

/* Name of the comment command: the comment character at start-up and NUL. */
extern char gMUtiCmd_CommentStr[2];

/* The context a null argument stands for. */
inline kxMUtiCmd_Exec_t *MUtiCmd_ExecSelect(kxMUtiCmd_Exec_t *pExec)
{
    return pExec != nullptr ? pExec : gpkxMUtiCmd_ExecGlobal;
}

/* The table a null argument stands for (itself null before start-up). */
inline kxMUtiCmd_Defs_t *MUtiCmd_DefsSelect(kxMUtiCmd_Defs_t *pDefs)
{
    return pDefs != nullptr ? pDefs : gpkxMUtiCmd_DefsGlobal;
}

/*
 * Whether p points into the context's working copy, the buffer the words
 * of the running line live in (which the next line overwrites).
 */
inline bool MUtiCmd_InWorkingCopy(const kxMUtiCmd_Exec_t *pExec, const char *p)
{
    const kxMUtiStrx_t *pCopy = pExec->pLineBuf;
    if (pCopy == nullptr || pCopy->pBuf == nullptr)
        return false;
    /* Compared as addresses: p usually belongs to another object. */
    const auto begin = reinterpret_cast<uintptr_t>(pCopy->pBuf);
    const auto at = reinterpret_cast<uintptr_t>(p);
    return at >= begin && at - begin <= pCopy->spare + pCopy->len;
}

/*
 * kxMUtiCmd_DefsLookup without the call through the exported symbol: the
 * interpreter's own lookups (registration, the search along the chain) use
 * this.  Same arguments, same result, same match kind stored.
 */
kxMUtiCmd_Def_t *MUtiCmd_Lookup(kxMUtiCmd_Defs_t *pDefs, const char *pWord, uint32_t *pMatchKind);

/* Registers the built-in commands in pDefs, in help-listing order. */
void MUtiCmd_InbuiltRegister(kxMUtiCmd_Defs_t *pDefs);

/*
 * Converts one word as the integer conversions d, u and x do: the word must
 * hold one number and nothing after it.  Gives what the board's sscanf
 * (32-bit long) gives with "%d%c", "%u%c" or "%x%c", on every platform:
 * out of 32-bit range, d saturates at its sign's limit, u and x at
 * 0xFFFFFFFF.  Returns false when the word does not convert; *pValue is
 * then untouched.
 */
bool MUtiCmd_ParseInt(const char *pWord, char conv, uint32_t *pValue);

/*
 * Sleeps ms milliseconds (the microsecond count wraps at 2^32, as on the
 * board).  One call: a signal cuts the sleep short.  Returns 0 when the
 * sleep completed, 0xFFFFFFFF when it was interrupted.
 */
uint32_t MUtiCmd_SleepMs(uint32_t ms);

#endif /* MUTI_CMD_H */

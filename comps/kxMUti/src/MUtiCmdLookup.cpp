/*
 * MUtiCmdLookup.cpp - registration and lookup of commands.
 *
 * A table is an unsorted list in registration order; every lookup walks it.
 * A typed word selects a command by full name (or by first character for
 * commands that ask for that), else by a unique alias, else by a unique
 * prefix of the name.  Comparisons are byte-wise and case-sensitive.
 */
#include <string.h>

#include "MUtiAlloc.h"
#include "MUtiCmd.h"
#include "MUtiDbg.h"

namespace {

constexpr int kLineDefAlloc = 412; /* reported line of the definition check */

/* Entry i of a table; i < pDefs->nDefs. */
inline kxMUtiCmd_Def_t *MUtiCmd_DefAt(const kxMUtiCmd_Defs_t *pDefs, uint32_t i)
{
    return static_cast<kxMUtiCmd_Def_t *>(pDefs->pDefVec->pEntries[i]);
}

/* Whether word equals name: the first bytes are compared before the rest. */
inline bool MUtiCmd_NameIs(const char *pName, const char *pWord)
{
    return pName[0] == pWord[0] && strcmp(pName, pWord) == 0;
}

/* Warns about every existing command whose alias is the new command's name. */
void MUtiCmd_AliasClashWarn(const kxMUtiCmd_Defs_t *pDefs, const char *pName)
{
    for (uint32_t i = 0; i < pDefs->nDefs; i++) {
        const kxMUtiCmd_Def_t *pDef = MUtiCmd_DefAt(pDefs, i);
        if (pDef->pAlias != nullptr && strcmp(pDef->pAlias, pName) == 0)
            MUTI_PRINT(kMUtiDbgWarn,
                       "kxMUtiCmd_Add: new command \"%s\" has same alias \"%s\" as existing "
                       "command \"%s\"",
                       pName, pDef->pAlias, pDef->pName);
    }
}

/*
 * Makes a new, empty definition and appends it to the table.  On failure
 * the table is left exactly as it was (nDefs still equals the entries).
 */
kxMUtiCmd_Def_t *MUtiCmd_DefAppend(kxMUtiCmd_Defs_t *pDefs, const char *pName)
{
    auto *pCmdDef = static_cast<kxMUtiCmd_Def_t *>(kxMUtiCmd_Malloc(sizeof(kxMUtiCmd_Def_t)));
    if (pCmdDef == nullptr) [[unlikely]] {
        MUti_AssertFail("pCmdDef != Null", kMUtiCmdPath, kLineDefAlloc);
        return nullptr;
    }
    if (kxMUtiVec_Append(pDefs->pDefVec, pCmdDef) != KX_OK) [[unlikely]] {
        MUTI_PRINT(kMUtiDbgError, "kxMUtiCmd_Add: no room to register \"%s\"", pName);
        MUti_Free(pCmdDef);
        return nullptr;
    }
    pDefs->nDefs++;
    return pCmdDef;
}

} // namespace

kxMUtiCmd_Def_t *kxMUtiCmd_DefsLookup(kxMUtiCmd_Defs_t *pDefs, const char *pName,
                                      uint32_t *pMatchKind)
{
    pDefs = MUtiCmd_DefsSelect(pDefs);
    *pMatchKind = kxMUtiCmd_MatchNone;
    if (pDefs == nullptr || pDefs->nDefs == 0) /* no table before start-up */
        return nullptr;

    const size_t len = strlen(pName);
    uint32_t nAlias = 0;                  /* definitions whose alias is the word */
    uint32_t nPrefix = 0;                 /* definitions whose name starts with it */
    kxMUtiCmd_Def_t *pAliasDef = nullptr; /* the last of each */
    kxMUtiCmd_Def_t *pPrefixDef = nullptr;

    for (uint32_t i = 0; i < pDefs->nDefs; i++) {
        kxMUtiCmd_Def_t *pDef = MUtiCmd_DefAt(pDefs, i);
        const char *pDefName = pDef->pName;
        if (MUtiCmd_NameIs(pDefName, pName) ||
            ((pDef->flags & kxMUtiCmd_DefFlagFirstChar) && pDefName[0] == pName[0])) {
            *pMatchKind = kxMUtiCmd_MatchExact;
            return pDef;
        }
        if (pDef->pAlias != nullptr && MUtiCmd_NameIs(pDef->pAlias, pName)) {
            nAlias++;
            pAliasDef = pDef;
        }
        /* An empty word is a prefix of every name; otherwise the first
         * bytes decide most names without a call. */
        if (len == 0 || (pDefName[0] == pName[0] && strncmp(pDefName, pName, len) == 0)) {
            nPrefix++;
            pPrefixDef = pDef;
        }
    }
    if (nAlias == 1) {
        *pMatchKind = kxMUtiCmd_MatchAlias;
        return pAliasDef;
    }
    if (nPrefix == 1) {
        *pMatchKind = kxMUtiCmd_MatchPrefix;
        return pPrefixDef;
    }
    return nullptr;
}

uint32_t kxMUtiCmd_Match(kxMUtiCmd_Defs_t *pDefs, const char *pName)
{
    uint32_t kind;
    kxMUtiCmd_DefsLookup(pDefs, pName, &kind);
    return kind;
}

/*
 * A name that already selects a command exactly in this table redefines it
 * in place: the definition keeps its place and every field is replaced.
 */
kxMUtiCmd_Def_t *kxMUtiCmd_Add(kxMUtiCmd_Defs_t *pDefs, kxMUtiCmd_Handler_t handler,
                               const char *pName, const char *pAlias, uint32_t flags,
                               const char *invokeFormat, kxWord_t userData, const char *pHelp)
{
    pDefs = MUtiCmd_DefsSelect(pDefs);
    if (pDefs == nullptr) /* before start-up there is no global table */
        return nullptr;
    if (invokeFormat == nullptr)
        invokeFormat = "";

    uint32_t kind;
    kxMUtiCmd_Def_t *pCmdDef = kxMUtiCmd_DefsLookup(pDefs, pName, &kind);
    if (kind == kxMUtiCmd_MatchExact) {
        MUTI_PRINT(kMUtiDbgWarn, "kxMUtiCmd_Add: existing command \"%s\" redefined", pName);
    } else {
        MUtiCmd_AliasClashWarn(pDefs, pName);
        pCmdDef = MUtiCmd_DefAppend(pDefs, pName);
        if (pCmdDef == nullptr) [[unlikely]]
            return nullptr;
    }
    pCmdDef->pName = pName;
    pCmdDef->pAlias = pAlias;
    pCmdDef->invokeFormat = invokeFormat;
    pCmdDef->flags = flags;
    pCmdDef->pHelp = pHelp;
    pCmdDef->userData = userData;
    pCmdDef->handler = handler;
    return pCmdDef;
}

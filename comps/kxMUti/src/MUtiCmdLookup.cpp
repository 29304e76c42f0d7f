/*
 * MUtiCmdLookup.cpp - registration and lookup of commands.
 *
 * A table is an unsorted list in registration order; every lookup walks it.
 * A typed word selects a command by full name (or by first character for
 * commands that ask for that), else by a unique alias, else by a unique
 * prefix of the name.  Comparisons are byte-wise and case-sensitive.  The
 * first walk looks for a full name only; a word that is none is walked
 * again for aliases and prefixes.
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

/* How a name stands to the typed word. */
enum class NameFit : uint8_t {
    Other,  /* the word is not a prefix of the name */
    Prefix, /* the word is a prefix of the name, shorter than it */
    Equal   /* the word is the name */
};

/*
 * Compares in one pass what strcmp(pName, pWord) == 0 and
 * strncmp(pName, pWord, strlen(pWord)) == 0 would each tell: the bytes
 * agree up to the end of the word, and the name ends there too or not.
 */
inline NameFit MUtiCmd_Fit(const char *pName, const char *pWord)
{
    size_t i = 0;
    while (pWord[i] != '\0' && pWord[i] == pName[i])
        i++;
    if (pWord[i] != '\0')
        return NameFit::Other;
    return pName[i] == '\0' ? NameFit::Equal : NameFit::Prefix;
}

/* MUtiCmd_Fit for a name whose first byte is known to equal the word's. */
inline NameFit MUtiCmd_FitRest(const char *pName, const char *pWord)
{
    return pWord[0] == '\0' ? NameFit::Equal : MUtiCmd_Fit(pName + 1, pWord + 1);
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

/*
 * The first definition that the word selects exactly: by its full name, or
 * by the first byte of a name whose definition asks for that.  Null when
 * there is none.  A definition whose name starts with another byte costs
 * two loads and a compare.
 */
kxMUtiCmd_Def_t *MUtiCmd_FindExact(kxMUtiCmd_Def_t *const *ppDefs, uint32_t nDefs,
                                   const char *pWord)
{
    const char first = pWord[0];
    /* Indexed from -nDefs up to 0, so one addition both steps and tests: one
     * instruction per definition passed (6.9 to 5.9), 7 % of a line that names
     * one of 210 commands (1552 to 1444; benchmarks/callgrind.sh, names). */
    kxMUtiCmd_Def_t *const *const ppEnd = ppDefs + nDefs;
    for (ptrdiff_t i = -static_cast<ptrdiff_t>(nDefs); i != 0; i++) {
        kxMUtiCmd_Def_t *pDef = ppEnd[i];
        if (pDef->pName[0] == first && ((pDef->flags & kxMUtiCmd_DefFlagFirstChar) ||
                                        MUtiCmd_FitRest(pDef->pName, pWord) == NameFit::Equal))
            return pDef;
    }
    return nullptr;
}

/*
 * A word that selects nothing exactly: the definition whose alias it is,
 * if exactly one has that alias, else the one whose name it is a prefix
 * of, if exactly one is; the kind of match is stored.  Both counts take the
 * whole table.
 */
kxMUtiCmd_Def_t *MUtiCmd_FindLoose(kxMUtiCmd_Def_t *const *ppDefs, uint32_t nDefs,
                                   const char *pWord, uint32_t *pMatchKind)
{
    const char first = pWord[0];
    uint32_t nAlias = 0;                  /* definitions whose alias is the word */
    uint32_t nPrefix = 0;                 /* definitions whose name starts with it */
    kxMUtiCmd_Def_t *pAliasDef = nullptr; /* the last of each */
    kxMUtiCmd_Def_t *pPrefixDef = nullptr;
    kxMUtiCmd_Def_t *const *const ppEnd = ppDefs + nDefs;
    for (ptrdiff_t i = -static_cast<ptrdiff_t>(nDefs); i != 0; i++) { /* as in FindExact */
        kxMUtiCmd_Def_t *pDef = ppEnd[i];
        if (pDef->pName[0] == first && MUtiCmd_FitRest(pDef->pName, pWord) == NameFit::Prefix) {
            nPrefix++;
            pPrefixDef = pDef;
        }
        if (pDef->pAlias != nullptr && pDef->pAlias[0] == first &&
            MUtiCmd_FitRest(pDef->pAlias, pWord) == NameFit::Equal) {
            nAlias++;
            pAliasDef = pDef;
        }
    }
    /* An empty word is a prefix of every name.  (A definition with an empty
     * name would have matched it exactly.) */
    if (first == '\0') {
        nPrefix = nDefs;
        pPrefixDef = ppEnd[-1];
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

} // namespace

/*
 * Two walks, in the order of the rules of precedence: the first looks for an
 * exact match only, and stops at it, as one walk checking every rule would;
 * only a word without one is walked again for aliases and prefixes, which
 * must be counted over the whole table.  Each walk decides a name by one
 * pass over the word (MUtiCmd_Fit) instead of strcmp, strncmp and strlen.
 */
kxMUtiCmd_Def_t *MUtiCmd_Lookup(kxMUtiCmd_Defs_t *pDefs, const char *pWord, uint32_t *pMatchKind)
{
    pDefs = MUtiCmd_DefsSelect(pDefs);
    *pMatchKind = kxMUtiCmd_MatchNone;
    if (pDefs == nullptr || pDefs->nDefs == 0) /* no table before start-up */
        return nullptr;

    auto *const *const ppDefs =
        reinterpret_cast<kxMUtiCmd_Def_t *const *>(pDefs->pDefVec->pEntries);
    kxMUtiCmd_Def_t *pExact = MUtiCmd_FindExact(ppDefs, pDefs->nDefs, pWord);
    if (pExact == nullptr)
        return MUtiCmd_FindLoose(ppDefs, pDefs->nDefs, pWord, pMatchKind);
    *pMatchKind = kxMUtiCmd_MatchExact;
    return pExact;
}

kxMUtiCmd_Def_t *kxMUtiCmd_DefsLookup(kxMUtiCmd_Defs_t *pDefs, const char *pName,
                                      uint32_t *pMatchKind)
{
    return MUtiCmd_Lookup(pDefs, pName, pMatchKind);
}

uint32_t kxMUtiCmd_Match(kxMUtiCmd_Defs_t *pDefs, const char *pName)
{
    uint32_t kind;
    MUtiCmd_Lookup(pDefs, pName, &kind);
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
    kxMUtiCmd_Def_t *pCmdDef = MUtiCmd_Lookup(pDefs, pName, &kind);
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

/*
 * ConComplete.cpp - completion candidates for a partly typed line.
 *
 * Splits the line up to the cursor as the interpreter would (its own blank
 * class, not the locale's), then offers command names and aliases along the
 * context chain for the first word, or asks the completer attached to the
 * selected command, found with the interpreter's lookup, for an argument.
 * Needs no terminal: the editor's Tab key and the tests both call it.
 */
#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <utility>

#include "Con.h"

namespace {

/* One attached completer; definitions are never freed, so the pointer is
 * a lasting key. */
struct Completer {
    const kxMUtiCmd_Def_t *pDef;        /* the command */
    kxMUtiCon_ArgCompleter_t completer; /* never null while attached */
    void *pUser;                        /* handed back to completer */
};

kxMUtiVec_t gCompleters; /* Completer * entries; zero until the first Set */

/* The call of kxMUtiCon_Complete under way, for a completer that needs the
 * line around its word (kxMUtiCon_CompleteCommandLine).  Each call saves the
 * one before and puts it back, so a nested completion sees its own line. */
struct Request {
    const char *pLine; /* the line being completed */
    size_t cursor;     /* where its completed word ends; <= strlen(pLine) */
    size_t argsStart;  /* where its first argument starts, an opening quote included */
};

const Request *gpRequest; /* null outside kxMUtiCon_Complete */

/* Blanks are the interpreter's: a locale whose isspace says more (0xA0 in
 * some single-byte locales) must not part words the interpreter keeps. */
bool IsBlank(char ch)
{
    return MUti_IsSpace(ch);
}

bool IsQuote(char ch)
{
    return ch == '"' || ch == '\'';
}

bool StartsWith(const char *pText, const char *pPrefix, size_t n)
{
    return strncmp(pText, pPrefix, n) == 0;
}

/* A copy of the first nA bytes of pA, then pB and pC, joined; null when
 * memory runs out. */
char *Join(const char *pA, size_t nA, const char *pB, const char *pC)
{
    size_t nB = strlen(pB);
    size_t nC = strlen(pC);
    char *pOut = static_cast<char *>(malloc(nA + nB + nC + 1));
    if (pOut == nullptr) [[unlikely]]
        return nullptr;
    char *p = pOut;
    for (const auto &[pPart, n] : {std::pair{pA, nA}, std::pair{pB, nB}, std::pair{pC, nC}}) {
        memcpy(p, pPart, n);
        p += n;
    }
    *p = '\0';
    return pOut;
}

uint32_t AddOwned(kxMUtiCon_Completion_t *pOut, char *pCandidate)
{
    if (pCandidate == nullptr) [[unlikely]]
        return KX_ERR_NOMEM;
    if (kxMUtiVec_Append(&pOut->candidates, pCandidate) != KX_OK) [[unlikely]] {
        free(pCandidate);
        return KX_ERR_NOMEM;
    }
    return KX_OK;
}

int CompareText(const void *pA, const void *pB)
{
    return strcmp(*static_cast<char *const *>(pA), *static_cast<char *const *>(pB));
}

/* Sorts the candidates and drops repeats: a name shadowed by a nearer
 * table, or an alias equal to some name, is offered once. */
void SortUnique(kxMUtiCon_Completion_t *pOut)
{
    kxMUtiVec_t *pVec = &pOut->candidates;
    kxMUtiVec_Sort(pVec, CompareText);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < pVec->used; i++) {
        if (kept > 0 && strcmp(static_cast<char *>(pVec->pEntries[kept - 1]),
                               static_cast<char *>(pVec->pEntries[i])) == 0) {
            free(pVec->pEntries[i]);
            continue;
        }
        pVec->pEntries[kept++] = pVec->pEntries[i];
    }
    pVec->used = kept;
}

kxMUtiCmd_Defs_t *TableOf(const kxMUtiCmd_Exec_t *pExec)
{
    return pExec->pDefs != nullptr ? pExec->pDefs : gpkxMUtiCmd_DefsGlobal;
}

/* The command word: names and aliases from the context that the leading
 * dots select up to the end of the chain. */
uint32_t CompleteCommand(kxMUtiCmd_Exec_t *pExec, const char *pWord, size_t nWord,
                         kxMUtiCon_Completion_t *pOut)
{
    size_t nDots = 0;
    while (nDots < nWord && pWord[nDots] == '.')
        nDots++;
    const char *pPrefix = pWord + nDots;
    size_t nPrefix = nWord - nDots;

    uint32_t walked = 0;
    for (size_t i = 0; i < nDots && pExec != nullptr; i++, walked++)
        pExec = pExec->pParent;
    for (; pExec != nullptr && walked < MUTI_CHAIN_MAX; pExec = pExec->pParent, walked++) {
        kxMUtiCmd_Defs_t *pDefs = TableOf(pExec);
        if (pDefs == nullptr || pDefs->pDefVec == nullptr)
            continue;
        for (uint32_t i = 0; i < pDefs->nDefs; i++) {
            auto *pDef = static_cast<const kxMUtiCmd_Def_t *>(pDefs->pDefVec->pEntries[i]);
            /* The comment command matches by its first character: no name
             * to complete. */
            if ((pDef->flags & kxMUtiCmd_DefFlagFirstChar) != 0)
                continue;
            if (StartsWith(pDef->pName, pPrefix, nPrefix) &&
                AddOwned(pOut, Join(pWord, nDots, pDef->pName, "")) != KX_OK)
                return KX_ERR_NOMEM;
            if (pDef->pAlias != nullptr && pDef->pAlias[0] != '\0' &&
                StartsWith(pDef->pAlias, pPrefix, nPrefix) &&
                AddOwned(pOut, Join(pWord, nDots, pDef->pAlias, "")) != KX_OK)
                return KX_ERR_NOMEM;
        }
    }
    return KX_OK;
}

/* The definition the command word selects, searched as line execution
 * searches: each leading dot moves one context up, an ambiguous or unknown
 * word is looked for in the parent. */
const kxMUtiCmd_Def_t *Resolve(kxMUtiCmd_Exec_t *pExec, const char *pName)
{
    for (uint32_t walked = 0; pExec != nullptr && walked < MUTI_CHAIN_MAX;
         pExec = pExec->pParent, walked++) {
        if (pName[0] == '.') {
            pName++;
            continue;
        }
        uint32_t kind = kxMUtiCmd_MatchNone;
        kxMUtiCmd_Def_t *pDef = kxMUtiCmd_DefsLookup(pExec->pDefs, pName, &kind);
        if (kind != kxMUtiCmd_MatchNone)
            return pDef;
    }
    return nullptr;
}

const Completer *FindCompleter(const kxMUtiCmd_Def_t *pDef)
{
    for (uint32_t i = 0; i < gCompleters.used; i++) {
        auto *pEntry = static_cast<const Completer *>(gCompleters.pEntries[i]);
        if (pEntry->pDef == pDef)
            return pEntry;
    }
    return nullptr;
}

/* The built-in source: whatever definition the global table holds under
 * that exact name (a host's redefinition keeps the record). */
bool IsSource(const kxMUtiCmd_Def_t *pDef)
{
    uint32_t kind = kxMUtiCmd_MatchNone;
    return pDef == kxMUtiCmd_DefsLookup(nullptr, "source", &kind) && kind == kxMUtiCmd_MatchExact;
}

/* Where the words of pLine[0 .. cursor) lie, split by the interpreter's
 * rules: blanks part words, a quote opens a word that runs to the same
 * quote.  Gives the start of the word at the cursor (after its opening
 * quote), its index, the first word's extent and where the second begins. */
struct Split {
    size_t start;      /* start of the word at the cursor */
    uint32_t index;    /* its index, 0 for the command word */
    size_t firstStart; /* the command word: pLine[firstStart .. firstEnd) */
    size_t firstEnd;
    size_t argsStart; /* the second word's first byte, its quote included; cursor if none */
};

Split SplitToCursor(const char *pLine, size_t cursor)
{
    Split s = {cursor, 0, 0, 0, cursor};
    bool inWord = false;
    char quote = 0;
    uint32_t nWords = 0;
    for (size_t i = 0; i < cursor; i++) {
        char ch = pLine[i];
        if (!inWord) {
            if (IsBlank(ch))
                continue;
            inWord = true;
            quote = IsQuote(ch) ? ch : '\0';
            s.start = quote != 0 ? i + 1 : i;
            if (nWords == 1)
                s.argsStart = i;
            if (nWords++ == 0)
                s.firstStart = s.firstEnd = s.start;
            continue;
        }
        if ((quote != 0 && ch == quote) || (quote == 0 && IsBlank(ch))) {
            inWord = false;
            if (nWords == 1 && s.firstEnd == s.firstStart)
                s.firstEnd = i;
        }
    }
    if (inWord) {
        s.index = nWords - 1;
        if (nWords == 1)
            s.firstEnd = cursor;
    } else {
        s.start = cursor;
        s.index = nWords;
    }
    return s;
}

} // namespace

extern "C" {

KX_API uint32_t kxMUtiCon_CompletionAdd(kxMUtiCon_Completion_t *pOut, const char *pCandidate)
{
    return AddOwned(pOut, Join(pCandidate, strlen(pCandidate), "", ""));
}

KX_API void kxMUtiCon_CompletionDeInit(kxMUtiCon_Completion_t *pOut)
{
    for (uint32_t i = 0; pOut->candidates.pEntries != nullptr && i < pOut->candidates.used; i++)
        free(pOut->candidates.pEntries[i]);
    kxMUtiVec_DeInit(&pOut->candidates);
    pOut->candidates.used = 0;
}

KX_API uint32_t kxMUtiCon_CompleterSet(const kxMUtiCmd_Def_t *pDef,
                                       kxMUtiCon_ArgCompleter_t completer, void *pUser)
{
    for (uint32_t i = 0; i < gCompleters.used; i++) {
        auto *pEntry = static_cast<Completer *>(gCompleters.pEntries[i]);
        if (pEntry->pDef != pDef)
            continue;
        if (completer == nullptr) {
            kxMUtiVec_Remove(&gCompleters, i);
            free(pEntry);
            return KX_OK;
        }
        pEntry->completer = completer;
        pEntry->pUser = pUser;
        return KX_OK;
    }
    if (completer == nullptr)
        return KX_OK;
    if (gCompleters.pEntries == nullptr &&
        kxMUtiVec_Init(&gCompleters, gkxMUtiCmd_MemSpace, KXCON_COMPLETERS_INITIAL) != KX_OK)
        return KX_ERR_NOMEM;
    auto *pEntry = static_cast<Completer *>(malloc(sizeof(Completer)));
    if (pEntry == nullptr) [[unlikely]]
        return KX_ERR_NOMEM;
    *pEntry = {pDef, completer, pUser};
    if (kxMUtiVec_Append(&gCompleters, pEntry) != KX_OK) [[unlikely]] {
        free(pEntry);
        return KX_ERR_NOMEM;
    }
    return KX_OK;
}

KX_API uint32_t kxMUtiCon_CompleteFileName(kxMUtiCon_Completion_t *pOut, kxMUtiCmd_Exec_t *,
                                           const kxMUtiCmd_Def_t *, uint32_t, const char *pWord,
                                           void *)
{
    const char *pSlash = strrchr(pWord, '/');
    size_t nFolder = pSlash != nullptr ? static_cast<size_t>(pSlash - pWord) + 1 : 0;
    const char *pBase = pWord + nFolder;
    size_t nBase = strlen(pBase);

    char *pFolder = Join(pWord, nFolder, nFolder == 0 ? "." : "", "");
    if (pFolder == nullptr) [[unlikely]]
        return KX_ERR_NOMEM;
    DIR *pDir = opendir(pFolder);
    free(pFolder);
    if (pDir == nullptr)
        return KX_OK; /* nothing to offer */

    uint32_t rc = KX_OK;
    for (const dirent *pEntry = readdir(pDir); pEntry != nullptr && rc == KX_OK;
         pEntry = readdir(pDir)) {
        const char *pName = pEntry->d_name;
        if (strcmp(pName, ".") == 0 || strcmp(pName, "..") == 0)
            continue;
        if ((pName[0] == '.' && pBase[0] != '.') || !StartsWith(pName, pBase, nBase))
            continue;
        char *pPath = Join(pWord, nFolder, pName, "");
        if (pPath == nullptr) [[unlikely]] {
            rc = KX_ERR_NOMEM;
            break;
        }
        struct stat st;
        bool isFolder = stat(pPath, &st) == 0 && S_ISDIR(st.st_mode);
        free(pPath);
        rc = AddOwned(pOut, Join(pWord, nFolder, pName, isFolder ? "/" : ""));
    }
    closedir(pDir);
    return rc;
}

KX_API uint32_t kxMUtiCon_CompleteCommandLine(kxMUtiCon_Completion_t *pOut, kxMUtiCmd_Exec_t *pExec,
                                              const kxMUtiCmd_Def_t *, uint32_t, const char *pWord,
                                              void *pUser)
{
    /* The command line: from the first argument to the cursor, or the word
     * alone when no completion is under way.  wordAt: where in it the word
     * being completed starts. */
    const char *pText = pWord;
    size_t nText = strlen(pWord);
    size_t wordAt = 0;
    if (gpRequest != nullptr && gpRequest->argsStart <= pOut->start) {
        pText = gpRequest->pLine + gpRequest->argsStart;
        nText = gpRequest->cursor - gpRequest->argsStart;
        wordAt = pOut->start - gpRequest->argsStart;
    }
    char *pInnerLine = Join(pText, nText, "", "");
    if (pInnerLine == nullptr) [[unlikely]]
        return KX_ERR_NOMEM;
    auto *pTarget = pUser != nullptr ? static_cast<kxMUtiCmd_Exec_t *>(pUser) : pExec;
    kxMUtiCon_Completion_t inner;
    uint32_t rc = kxMUtiCon_Complete(pTarget, pInnerLine, static_cast<uint32_t>(nText), &inner);
    /* Both splits part the same text at the same places, so the inner word
     * starts where the outer one does; should they differ, the candidates
     * are moved to the outer word's start. */
    for (uint32_t i = 0; rc == KX_OK && i < inner.candidates.used; i++) {
        const char *pCand = static_cast<const char *>(inner.candidates.pEntries[i]);
        if (inner.start >= wordAt) {
            rc = AddOwned(pOut, Join(pText + wordAt, inner.start - wordAt, pCand, ""));
        } else if (StartsWith(pCand, pText + inner.start, wordAt - inner.start)) {
            const char *pRest = pCand + (wordAt - inner.start);
            rc = AddOwned(pOut, Join(pRest, strlen(pRest), "", ""));
        }
    }
    kxMUtiCon_CompletionDeInit(&inner);
    free(pInnerLine);
    return rc;
}

KX_API uint32_t kxMUtiCon_Complete(kxMUtiCmd_Exec_t *pExec, const char *pLine, uint32_t cursor,
                                   kxMUtiCon_Completion_t *pOut)
{
    size_t nLine = strlen(pLine);
    size_t at = cursor < nLine ? cursor : nLine;
    Split s = SplitToCursor(pLine, at);

    pOut->start = static_cast<uint32_t>(s.start);
    pOut->wordIndex = s.index;
    pOut->candidates = {};
    if (kxMUtiVec_Init(&pOut->candidates, gkxMUtiCmd_MemSpace, 16) != KX_OK) [[unlikely]]
        return KX_ERR_NOMEM;
    if (pExec == nullptr)
        pExec = gpkxMUtiCmd_ExecGlobal;
    size_t nFirstLead = 0; /* a comment line has nothing to complete */
    while (IsBlank(pLine[nFirstLead]))
        nFirstLead++;
    if (pExec == nullptr ||
        (pLine[nFirstLead] != '\0' && pLine[nFirstLead] == gkxMUtiCmd_CommentChar))
        return KX_OK;

    uint32_t rc = KX_OK;
    if (s.index == 0) {
        rc = CompleteCommand(pExec, pLine + s.start, at - s.start, pOut);
    } else {
        char *pName = Join(pLine + s.firstStart, s.firstEnd - s.firstStart, "", "");
        char *pWord = Join(pLine + s.start, at - s.start, "", "");
        if (pName == nullptr || pWord == nullptr) [[unlikely]] {
            rc = KX_ERR_NOMEM;
        } else if (const kxMUtiCmd_Def_t *pDef = Resolve(pExec, pName); pDef != nullptr) {
            if (const Completer *pEntry = FindCompleter(pDef); pEntry != nullptr) {
                const Request request = {pLine, at, s.argsStart};
                const Request *pOuter = gpRequest;
                gpRequest = &request;
                rc = pEntry->completer(pOut, pExec, pDef, s.index, pWord, pEntry->pUser);
                gpRequest = pOuter;
            } else if (IsSource(pDef))
                rc = kxMUtiCon_CompleteFileName(pOut, pExec, pDef, s.index, pWord, nullptr);
        }
        free(pName);
        free(pWord);
    }
    if (rc != KX_OK) {
        for (uint32_t i = 0; i < pOut->candidates.used; i++)
            free(pOut->candidates.pEntries[i]);
        pOut->candidates.used = 0;
        return rc;
    }
    SortUnique(pOut);
    return KX_OK;
}

} // extern "C"

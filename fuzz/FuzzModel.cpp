/*
 * FuzzModel.cpp - the reference models of FuzzModel.h.  Each function
 * follows the documented steps in their order, so it can be read side by
 * side with the rules it stands for.
 */
#include "FuzzModel.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace kxfuzz {

namespace {

/* Byte loops rather than strcmp/strncmp: the fuzzer's interceptors trace
 * every call of those, and the model's own comparisons are no guide. */
bool Equal(const char *pA, const char *pB)
{
    for (; *pA == *pB; pA++, pB++)
        if (*pA == '\0')
            return true;
    return false;
}

/* Whether the first n bytes of pName equal pWord (of length n). */
bool StartsWith(const char *pName, const char *pWord, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (pName[i] != pWord[i])
            return false;
    return true;
}

size_t Length(const char *p)
{
    size_t n = 0;
    while (p[n] != '\0')
        n++;
    return n;
}

} // namespace

void Fail(const char *pCond, const char *pFile, int line, const char *pDetail)
{
    fprintf(stderr, "\n*** kxMUti fuzz check failed: %s\n    at %s:%d\n", pCond, pFile, line);
    if (pDetail != nullptr)
        fprintf(stderr, "    %s\n", pDetail);
    fflush(stderr);
    abort();
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* ---- Line splitting ---------------------------------------------------- */

SplitLine Split(const char *pLine, char commentChar)
{
    SplitLine out;
    const char *p = pLine;
    while (IsBlank(*p))
        p++;
    if (*p != '\0' && *p == commentChar) {
        out.comment = true;
        return out;
    }

    const size_t len = Length(pLine);
    bool inWord = false; /* inside a word */
    char quote = '\0';   /* the current word's quote, or none */
    size_t start = 0;    /* first byte of the current word */
    for (size_t i = 0; i < len; i++) {
        const char ch = pLine[i];
        if (inWord) {
            if (quote != '\0' ? ch == quote : IsBlank(ch)) {
                out.words.emplace_back(pLine + start, i - start);
                inWord = false;
            }
            continue;
        }
        if (IsBlank(ch))
            continue;
        inWord = true;
        if (ch == '"' || ch == '\'') {
            quote = ch;
            start = i + 1;
        } else {
            quote = '\0';
            start = i;
        }
        out.offsets.push_back(start);
    }
    if (inWord)
        out.words.emplace_back(pLine + start, len > start ? len - start : 0);

    if (out.words.size() >= 2) {
        out.argsOffset = out.offsets[1];
        const char before = pLine[out.argsOffset - 1];
        if (before == '"' || before == '\'')
            out.argsOffset--;
    }
    return out;
}

/* ---- Lookup ------------------------------------------------------------- */

const kxMUtiCmd_Def_t *LookupModel(const kxMUtiCmd_Defs_t *pDefs, const char *pWord,
                                   uint32_t *pKind)
{
    if (pDefs == nullptr)
        pDefs = gpkxMUtiCmd_DefsGlobal;
    *pKind = kxMUtiCmd_MatchNone;
    if (pDefs == nullptr || pDefs->nDefs == 0)
        return nullptr;
    const size_t len = Length(pWord);
    unsigned nAlias = 0, nPrefix = 0;
    const kxMUtiCmd_Def_t *pAliasDef = nullptr, *pPrefixDef = nullptr;
    for (uint32_t i = 0; i < pDefs->nDefs; i++) {
        const auto *pDef = static_cast<const kxMUtiCmd_Def_t *>(pDefs->pDefVec->pEntries[i]);
        if (Equal(pDef->pName, pWord)) {
            *pKind = kxMUtiCmd_MatchExact;
            return pDef;
        }
        if ((pDef->flags & kxMUtiCmd_DefFlagFirstChar) && pDef->pName[0] == pWord[0]) {
            *pKind = kxMUtiCmd_MatchExact;
            return pDef;
        }
        if (pDef->pAlias != nullptr && Equal(pDef->pAlias, pWord)) {
            nAlias++;
            pAliasDef = pDef;
        }
        if (StartsWith(pDef->pName, pWord, len)) {
            nPrefix++;
            pPrefixDef = pDef;
        }
    }
    if (nAlias == 1) {
        *pKind = kxMUtiCmd_MatchAlias;
        return pAliasDef;
    }
    if (nPrefix == 1) {
        *pKind = kxMUtiCmd_MatchPrefix;
        return pPrefixDef;
    }
    return nullptr;
}

const kxMUtiCmd_Def_t *ChainModel(const kxMUtiCmd_Exec_t *pExec, const char *pWord)
{
    for (const kxMUtiCmd_Exec_t *pCur = pExec; pCur != nullptr;) {
        if (*pWord == '.') {
            pWord++;
            pCur = pCur->pParent;
            continue;
        }
        uint32_t kind;
        const kxMUtiCmd_Def_t *pDef = LookupModel(pCur->pDefs, pWord, &kind);
        if (kind != kxMUtiCmd_MatchNone)
            return pDef;
        pCur = pCur->pParent;
    }
    return nullptr;
}

/* ---- Invoke formats ----------------------------------------------------- */

namespace {

bool IsListModifier(char m)
{
    return m == '+' || m == '*';
}

bool IsWordConv(char c)
{
    return c == 'd' || c == 'u' || c == 'x' || c == 's';
}

bool IsPlainConv(char c)
{
    return strchr("CcELlNnVvX", c) != nullptr && c != '\0';
}

/* One word's value for a word conversion; false when it does not convert. */
bool WordValue(char conv, const std::vector<std::string> &words, size_t i, const Env &env,
               kxWord_t *pValue)
{
    if (conv == 's') {
        *pValue = reinterpret_cast<kxWord_t>(env.ppWords[i]);
        return true;
    }
    uint32_t value;
    if (!RefParse(words[i].c_str(), conv, &value))
        return false;
    *pValue = value;
    return true;
}

/* Places one value, or gives the too-many status when all ten are taken. */
bool Place(WalkResult &r, kxWord_t value, bool any)
{
    if (r.nSlots == 10) {
        r.status = kxMUtiCmd_StatusTooMany;
        return false;
    }
    r.any[r.nSlots] = any;
    r.slots[r.nSlots++] = any ? 0 : value;
    return true;
}

} // namespace

bool HasLonePercent(const char *pFormat)
{
    /* Walk item by item as the interpreter does, so "%%" is not taken for
     * a lone '%'. */
    const char *p = pFormat;
    for (;;) {
        while (*p == ' ')
            p++;
        if (*p == '\0')
            return false;
        if (*p == '%') {
            if (p[1] == '\0')
                return true;
            p += 2;
        } else {
            p++;
        }
        if (*p == '?' || *p == '+' || *p == '*')
            p++;
    }
}

WalkResult WalkModel(const char *pFormat, const std::vector<std::string> &words, const Env &env,
                     bool loneIsItem)
{
    WalkResult r;
    const size_t nWords = words.size();
    size_t next = 1;     /* next word to take */
    char prevMod = '\0'; /* modifier of the previous item */
    const char *p = pFormat;

    for (;;) {
        while (*p == ' ')
            p++;
        if (*p == '\0')
            break;
        if (IsListModifier(prevMod)) {
            r.status = kxMUtiCmd_StatusListNotFinal;
            return r;
        }
        char letter;
        if (*p == '%') {
            letter = p[1];
            if (letter == '\0') {
                if (!loneIsItem)
                    break;
                p += 1;
            } else {
                p += 2;
            }
        } else {
            letter = *p++;
        }
        char mod = '\0';
        if (*p == '?' || *p == '+' || *p == '*')
            mod = *p++;
        prevMod = mod;

        if (IsWordConv(letter) && IsListModifier(mod)) {
            size_t nElems = 0;
            for (; next < nWords; next++, nElems++) {
                kxWord_t value;
                if (!WordValue(letter, words, next, env, &value)) {
                    r.status = kxMUtiCmd_StatusBadInteger;
                    return r;
                }
                r.elements.push_back(value);
            }
            if (mod == '+' && nElems == 0) {
                r.status = kxMUtiCmd_StatusTooFew;
                return r;
            }
            if (r.nSlots + 2 > 10) {
                r.status = kxMUtiCmd_StatusTooMany;
                return r;
            }
            r.hasList = true;
            r.slots[r.nSlots++] = r.elements.size();
            r.slots[r.nSlots++] = env.list;
            continue;
        }
        if (IsWordConv(letter)) {
            const bool optional = mod == '?';
            if (next >= nWords) {
                if (optional)
                    continue;
                r.status = kxMUtiCmd_StatusTooFew;
                return r;
            }
            kxWord_t value;
            if (!WordValue(letter, words, next, env, &value)) {
                if (optional)
                    continue;
                r.status = kxMUtiCmd_StatusBadInteger;
                return r;
            }
            next++;
            if (!Place(r, value, false))
                return r;
            continue;
        }
        if (!IsPlainConv(letter)) {
            if (!Place(r, 0, true))
                return r;
            continue;
        }
        kxWord_t value = 0;
        switch (letter) {
        case 'C':
            value = nWords;
            break;
        case 'c':
            value = nWords - 1;
            break;
        case 'E':
            value = env.exec;
            break;
        case 'L':
            value = env.line;
            next = nWords;
            break;
        case 'l':
            value = env.args;
            next = nWords;
            break;
        case 'N':
            value = env.name;
            break;
        case 'n':
            value = reinterpret_cast<kxWord_t>(env.ppWords[0]);
            break;
        case 'V':
            value = reinterpret_cast<kxWord_t>(env.ppWords);
            break;
        case 'v':
            value = reinterpret_cast<kxWord_t>(env.ppWords + 1);
            break;
        case 'X':
            value = env.userData;
            break;
        }
        if (!Place(r, value, false))
            return r;
    }
    if (next < nWords)
        r.status = kxMUtiCmd_StatusTooMany;
    return r;
}

bool SlotsMatch(const WalkResult &expect, const kxWord_t got[10], const kxMUtiVec_t *pList)
{
    for (unsigned i = 0; i < 10; i++) {
        if (i < expect.nSlots && expect.any[i])
            continue;
        const kxWord_t want = i < expect.nSlots ? expect.slots[i] : 0;
        if (got[i] != want)
            return false;
    }
    if (!expect.hasList)
        return true;
    if (pList->used != expect.elements.size())
        return false;
    for (size_t i = 0; i < expect.elements.size(); i++)
        if (reinterpret_cast<kxWord_t>(pList->pEntries[i]) != expect.elements[i])
            return false;
    return true;
}

void CheckSlots(const WalkResult &expect, const kxWord_t got[10], const kxMUtiVec_t *pList)
{
    if (SlotsMatch(expect, got, pList))
        return;
    char detail[640];
    int n = snprintf(detail, sizeof(detail), "expected:");
    for (unsigned i = 0; i < 10 && n < 600; i++) {
        if (i < expect.nSlots && expect.any[i])
            n += snprintf(detail + n, sizeof(detail) - n, " *");
        else
            n += snprintf(detail + n, sizeof(detail) - n, " %#lx",
                          static_cast<unsigned long>(i < expect.nSlots ? expect.slots[i] : 0));
    }
    n += snprintf(detail + n, sizeof(detail) - n, "\n    got:     ");
    for (unsigned i = 0; i < 10 && n < 620; i++)
        n += snprintf(detail + n, sizeof(detail) - n, " %#lx", static_cast<unsigned long>(got[i]));
    Fail("handler arguments match the format", __FILE__, __LINE__, detail);
}

void CheckExecInvariants(const kxMUtiCmd_Exec_t *pExec)
{
    const kxMUtiStrx_t *pCopy = pExec->pLineBuf;
    FUZZ_CHECK(pCopy->pBuf != nullptr);
    FUZZ_CHECK(pCopy->pBuf[pCopy->len] == '\0');
    FUZZ_CHECK(pExec->pWords->used <= pExec->pWords->allocated);
    FUZZ_CHECK(pExec->pTempVec->used <= pExec->pTempVec->allocated);
    FUZZ_CHECK(pExec->nWords <= pExec->pWords->used);
}

} // namespace kxfuzz

/*
 * fuzz_complete.cpp - kxMUtiCon_Complete on any line at any cursor, in a context with a
 * parent.  Input: byte 0 picks the context, byte 1 the cursor (255: past the end); the rest
 * up to a NUL is the line.  Argument completers are the fuzzer's own: they offer the typed
 * word and that word with "!" behind it, or run out of memory when the word holds a '%'.
 * Properties: a status of KX_OK, or KX_ERR_NOMEM only from a completer and then no
 * candidate; start at or before the cursor; candidates sorted, each once; a command word's
 * candidates each begin with the typed word; an argument's are what its completer offered;
 * the same call gives the same answer; no sanitizer report, no leak.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "kxMUtiConsole.h"

#define FUZZ_CHECK(c)                                                                              \
    ((c) ? (void)0 : (fprintf(stderr, "*** kxMUti fuzz check failed: %s\n", #c), abort()))

namespace {

kxMUtiCmd_Exec_t *gpChild; /* own table, the global one as parent */
std::string gOffered;      /* the word the last completer call got; '\1' when none was made */
bool gFailed;              /* the last completer call ran out of memory on purpose */

uint32_t Nop(kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
             kxWord_t, kxWord_t)
{
    return KX_OK;
}

uint32_t Offer(kxMUtiCon_Completion_t *pOut, kxMUtiCmd_Exec_t *, const kxMUtiCmd_Def_t *,
               uint32_t argIndex, const char *pWord, void *)
{
    FUZZ_CHECK(argIndex == pOut->wordIndex && argIndex >= 1);
    gOffered = pWord;
    gFailed = strchr(pWord, '%') != nullptr;
    if (gFailed)
        return KX_ERR_NOMEM;
    const std::string more = gOffered + "!";
    FUZZ_CHECK(kxMUtiCon_CompletionAdd(pOut, pWord) == KX_OK);
    FUZZ_CHECK(kxMUtiCon_CompletionAdd(pOut, more.c_str()) == KX_OK);
    FUZZ_CHECK(kxMUtiCon_CompletionAdd(pOut, pWord) == KX_OK); /* a duplicate */
    return KX_OK;
}

struct Result {
    uint32_t status, start, wordIndex;
    std::vector<std::string> candidates;
    bool operator==(const Result &) const = default;
};

Result Complete(kxMUtiCmd_Exec_t *pExec, const char *pLine, uint32_t cursor)
{
    kxMUtiCon_Completion_t comp;
    gOffered = "\1", gFailed = false;
    Result r{kxMUtiCon_Complete(pExec, pLine, cursor, &comp), comp.start, comp.wordIndex, {}};
    for (uint32_t i = 0; i < comp.candidates.used; i++)
        r.candidates.emplace_back(static_cast<const char *>(comp.candidates.pEntries[i]));
    kxMUtiCon_CompletionDeInit(&comp);
    return r;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    kxMUtiCmd_Init(0);
    for (const char *pName : {"md", "mw", "demod", "dev", "d", "m.x"})
        kxMUtiCmd_Add(nullptr, Nop, pName, pName[0] == 'm' ? "w" : nullptr, 0, "%l", 0, nullptr);
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    kxMUtiCmd_Add(pDefs, Nop, "md", nullptr, 0, "%l", 0, nullptr);
    kxMUtiCmd_Add(pDefs, Nop, "status", "st", 0, "%l", 0, nullptr);
    gpChild = kxMUtiCmd_ExecNew(pDefs);
    /* Every command completes through Offer: source too, so no folder is ever read. */
    for (kxMUtiCmd_Defs_t *pTable : {gpkxMUtiCmd_DefsGlobal, pDefs})
        for (uint32_t i = 0; i < pTable->nDefs; i++)
            kxMUtiCon_CompleterSet(static_cast<kxMUtiCmd_Def_t *>(pTable->pDefVec->pEntries[i]),
                                   Offer, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t size)
{
    if (size < 2)
        return 0;
    const std::string line(reinterpret_cast<const char *>(pData + 2), size - 2);
    const char *pLine = line.c_str(); /* up to the first NUL */
    const uint32_t length = static_cast<uint32_t>(strlen(pLine));
    const uint32_t cursor = pData[1] == 255 ? UINT32_MAX : pData[1];
    const uint32_t end = cursor < length ? cursor : length;
    kxMUtiCmd_Exec_t *pExec = pData[0] % 2 ? gpChild : nullptr;

    const Result r = Complete(pExec, pLine, cursor);
    FUZZ_CHECK(r.status == KX_OK || (r.status == KX_ERR_NOMEM && gFailed));
    FUZZ_CHECK(r.status == KX_OK || r.candidates.empty());
    FUZZ_CHECK(r.start <= end);
    for (size_t i = 1; i < r.candidates.size(); i++)
        FUZZ_CHECK(r.candidates[i - 1] < r.candidates[i]);
    const std::string typed(pLine + r.start, end - r.start);
    if (r.status == KX_OK && r.wordIndex == 0)
        for (const std::string &c : r.candidates)
            FUZZ_CHECK(c.compare(0, typed.size(), typed) == 0);
    if (r.status == KX_OK && gOffered != "\1")
        FUZZ_CHECK(r.candidates == (std::vector<std::string>{gOffered, gOffered + "!"}));
    FUZZ_CHECK(Complete(pExec, pLine, cursor) == r);
    return 0;
}

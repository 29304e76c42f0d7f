/*
 * fuzz_complete.cpp - kxMUtiCon_Complete on any line (after a context byte and a cursor byte,
 * 255: past the end).  Every command completes through Offer.  Checked: statuses, start at or
 * before the cursor, candidates sorted and unique, a command word's begin with the typed word,
 * an argument's are Offer's, the same call gives the same answer.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "kxMUtiConsole.h"

#define FUZZ_CHECK(c)                                                                              \
    ((c) ? (void)0 : (fprintf(stderr, "*** kxMUti fuzz check failed: %s\n", #c), abort()))

static kxMUtiCmd_Exec_t *gpChild; /* own table, the global one as parent */
static std::string gOffered;      /* the word Offer last got, '\1' when none; with '%': no memory */

using W = kxWord_t;
static auto Nop = [](W, W, W, W, W, W, W, W, W, W) -> uint32_t { return KX_OK; };

static uint32_t Offer(kxMUtiCon_Completion_t *pOut, kxMUtiCmd_Exec_t *, const kxMUtiCmd_Def_t *,
                      uint32_t argIndex, const char *pWord, void *)
{
    gOffered = pWord;
    for (const std::string &c : {gOffered, gOffered + "!", gOffered}) /* a duplicate too */
        FUZZ_CHECK(argIndex == pOut->wordIndex && argIndex >= 1 &&
                   (strchr(pWord, '%') || kxMUtiCon_CompletionAdd(pOut, c.c_str()) == KX_OK));
    return strchr(pWord, '%') ? KX_ERR_NOMEM : KX_OK;
}

using Result = std::tuple<uint32_t, uint32_t, uint32_t, std::vector<std::string>>;

static Result Complete(kxMUtiCmd_Exec_t *pExec, const char *pLine, uint32_t cursor)
{
    kxMUtiCon_Completion_t comp;
    gOffered = "\1";
    Result r{kxMUtiCon_Complete(pExec, pLine, cursor, &comp), comp.start, comp.wordIndex, {}};
    for (uint32_t i = 0; i < comp.candidates.used; i++)
        std::get<3>(r).emplace_back(static_cast<const char *>(comp.candidates.pEntries[i]));
    kxMUtiCon_CompletionDeInit(&comp);
    return r;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    kxMUtiCmd_Init(0);
    for (const char *pName : {"md", "mw", "demod", "dev", "d", "m.x"})
        kxMUtiCmd_Add(nullptr, Nop, pName, pName[0] == 'm' ? "w" : nullptr, 0, "%l", 0, nullptr);
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    for (const char *pName : {"md", "status"})
        kxMUtiCmd_Add(pDefs, Nop, pName, pName[0] == 's' ? "st" : nullptr, 0, "%l", 0, nullptr);
    gpChild = kxMUtiCmd_ExecNew(pDefs);
    for (kxMUtiCmd_Defs_t *pTable : {gpkxMUtiCmd_DefsGlobal, pDefs}) /* source too: no folder */
        for (uint32_t i = 0; i < pTable->nDefs; i++)
            kxMUtiCon_CompleterSet(static_cast<kxMUtiCmd_Def_t *>(pTable->pDefVec->pEntries[i]),
                                   Offer, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t size)
{
    if (size < 2)
        return 0;
    const std::string line(reinterpret_cast<const char *>(pData + 2), size - 2); /* to a NUL */
    const uint32_t cursor = pData[1] == 255 ? UINT32_MAX : pData[1],
                   end = std::min<uint32_t>(cursor, strlen(line.c_str()));
    const Result r = Complete(pData[0] % 2 ? gpChild : nullptr, line.c_str(), cursor);
    const auto &[status, start, wordIndex, candidates] = r;
    FUZZ_CHECK(start <= end && (status == KX_OK || (status == KX_ERR_NOMEM && candidates.empty() &&
                                                    strchr(gOffered.c_str(), '%'))));
    const std::string_view typed(line.c_str() + start, end - start);
    for (size_t i = 0; i < candidates.size(); i++) /* sorted, each once, fitting the word */
        FUZZ_CHECK((i == 0 || candidates[i - 1] < candidates[i]) &&
                   (status != KX_OK || wordIndex != 0 || candidates[i].starts_with(typed)));
    FUZZ_CHECK(status != KX_OK || gOffered == "\1" ||
               candidates == (std::vector<std::string>{gOffered, gOffered + "!"}));
    FUZZ_CHECK(Complete(pData[0] % 2 ? gpChild : nullptr, line.c_str(), cursor) == r);
    return 0;
}

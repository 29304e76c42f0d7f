/*
 * fuzz_line.cpp - any invoke format against any text, through the whole road of a line:
 * splitting, lookup along a chain with leading dots, the format walk, the handler call,
 * nested lines and the stream reader.  Input: byte 0 picks the context; the format of "f" up
 * to the first NUL; then lines, each run twice, then the whole text as a stream.  Properties,
 * no second implementation: statuses within the defined set; every word a handler gets is
 * a NUL-terminated piece of the line at its own offset; a list's count and entries are the
 * line's last words, as text or converted; a line's second run allocates nothing and calls
 * the same handlers with the same arguments; no sanitizer report.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <string>
#include <vector>

#include "MUtiAlloc.h"
#include "MUtiCmd.h"
#include "qvStbDbgTest.h"

/* A broken property: reported, then abort, so libFuzzer keeps the input. */
#define FUZZ_CHECK(c)                                                                              \
    ((c) ? (void)0 : (fprintf(stderr, "*** kxMUti fuzz check failed: %s\n", #c), abort()))

namespace {

using Call = std::array<kxWord_t, 11>;    /* the handler's status, then its ten arguments */
constexpr uint32_t kRan = 0x4B580000u;    /* a handler's status: this plus its index */
std::string gFormat;                      /* the definition of "f" keeps a pointer to it */
kxMUtiCmd_Exec_t *gCtx[3];                /* global; own table, parent global; bare */
std::vector<kxMUtiCmd_Exec_t *> gRunning; /* contexts running a line, innermost last */
std::vector<Call> gCalls;

uint32_t Run(kxMUtiCmd_Exec_t *pArg, const char *pLine)
{
    gRunning.push_back(pArg != nullptr ? pArg : gpkxMUtiCmd_ExecGlobal);
    const uint32_t status = kxMUtiCmd_ExecLine(pArg, pLine);
    gRunning.pop_back();
    /* Built-ins give 0, echo the count puts returns; ours kRan on; else the interpreter's. */
    FUZZ_CHECK(status < 0x10000 || (status >= kRan && status <= kRan + 3) ||
               (status >= kxMUtiCmd_StatusNoWords && status <= kxMUtiCmd_StatusListNotFinal));
    return status;
}

/* The words are NUL-terminated pieces of the line; a list holds the last of them. */
void CheckArgs(const kxMUtiCmd_Exec_t *pExec, const kxWord_t *pSlots)
{
    const char *pCopy = pExec->pLineBuf->pBuf;
    const auto *const *ppWords = reinterpret_cast<const char *const *>(pExec->pWords->pEntries);
    FUZZ_CHECK(pExec->nWords >= 1 && pExec->nWords == pExec->pWords->used);
    for (uint32_t k = 0; k < pExec->nWords; k++) {
        const size_t at = static_cast<size_t>(ppWords[k] - pCopy), n = strlen(ppWords[k]);
        FUZZ_CHECK(ppWords[k] >= pCopy && at + n <= pExec->pLineBuf->len);
        FUZZ_CHECK(memcmp(pExec->pLine + at, ppWords[k], n) == 0);
    }
    const kxMUtiVec_t *pList = pExec->pTempVec;
    bool placed = pList->used == 0; /* count and entries in two neighbouring slots */
    for (int i = 1; i < 10; i++)
        placed = placed || (pSlots[i] == reinterpret_cast<kxWord_t>(pList->pEntries) &&
                            pSlots[i - 1] == pList->used);
    FUZZ_CHECK(placed && pList->used < pExec->nWords);
    for (uint32_t j = 0; j < pList->used; j++) {
        const char *pWord = ppWords[pExec->nWords - pList->used + j];
        const auto entry = reinterpret_cast<kxWord_t>(pList->pEntries[j]);
        bool same = entry == reinterpret_cast<kxWord_t>(pWord);
        uint32_t value;
        for (char conv : {'d', 'u', 'x'})
            same = same || (MUtiCmd_ParseInt(pWord, conv, &value) && value == entry);
        FUZZ_CHECK(same);
    }
}

/* Handler 1 ("%E%l") runs its text on the next context; the others only record. */
template <uint32_t kIndex>
uint32_t Handler(kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3, kxWord_t a4, kxWord_t a5,
                 kxWord_t a6, kxWord_t a7, kxWord_t a8, kxWord_t a9)
{
    const Call call = {kRan + kIndex, a0, a1, a2, a3, a4, a5, a6, a7, a8, a9};
    CheckArgs(gRunning.back(), &call[1]);
    gCalls.push_back(call);
    if (kIndex == 1 && gRunning.size() < 5) {
        const auto *pExec = reinterpret_cast<kxMUtiCmd_Exec_t *>(a0);
        const int next = pExec == gCtx[0] ? 1 : pExec == gCtx[1] ? 2 : 0;
        Run(gCtx[next], reinterpret_cast<const char *>(a1));
    }
    return kRan + kIndex;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    qvStbDbg_TestQuiet(1);
    qvStbDbg_TestPlatformFlagsSet(0xFF00u); /* every message formats its arguments */
    kxMUtiCmd_Init(0);
    kxMUtiCmd_Defs_t *pSub = kxMUtiCmd_DefsNew();
    gCtx[0] = gpkxMUtiCmd_ExecGlobal;
    gCtx[1] = kxMUtiCmd_ExecNew(pSub);
    gCtx[2] = kxMUtiCmd_ExecNew(nullptr);
    kxMUtiCmd_ParentSet(gCtx[2], nullptr);
    /* Built-ins that would open files or sleep give way to harmless commands. */
    for (const char *pName : {"source", "msleep", "autosleep"})
        kxMUtiCmd_Add(nullptr, Handler<2>, pName, nullptr, 0, "%s*", 0, nullptr);
    kxMUtiCmd_Add(nullptr, Handler<1>, "nest", "n", 0, "%E%l", 0, nullptr);
    kxMUtiCmd_Add(pSub, Handler<3>, "f", nullptr, 0, "%x*", 0, nullptr); /* .f: the global f */
    kxMUtiCmd_Add(pSub, Handler<1>, "nesting", nullptr, 0, "%E%l", 0, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t size)
{
    if (size == 0)
        return 0;
    const std::string rest(reinterpret_cast<const char *>(pData + 1), size - 1);
    const size_t nul = rest.find('\0');
    gFormat = rest.substr(0, nul);
    const std::string text = nul == std::string::npos ? "" : rest.substr(nul + 1);
    kxMUtiCmd_Add(nullptr, Handler<0>, "f", nullptr, 0, gFormat.c_str(), 0x5A, nullptr);
    kxMUtiCmd_Exec_t *pExec = pData[0] % 4 == 3 ? nullptr : gCtx[pData[0] % 4];

    for (size_t begin = 0; begin <= text.size();) {
        const size_t end = std::min(text.find('\n', begin), text.size());
        const std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        gCalls.clear();
        const uint32_t status = Run(pExec, line.c_str());
        const std::vector<Call> first = gCalls;
        gCalls.clear();
        const unsigned long nAllocs = MUti_AllocCount();
        FUZZ_CHECK(Run(pExec, line.c_str()) == status);
        FUZZ_CHECK(MUti_AllocCount() == nAllocs && gCalls == first);
    }
    if (FILE *pFile = fmemopen(const_cast<char *>(text.data()), text.size(), "r")) {
        gRunning.push_back(pExec != nullptr ? pExec : gpkxMUtiCmd_ExecGlobal);
        kxMUtiCmd_ExecFP(pExec, pFile);
        gRunning.pop_back();
        fclose(pFile);
    }
    return 0;
}

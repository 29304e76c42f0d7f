/*
 * fuzz_format.cpp - arbitrary invoke formats against arbitrary words.
 *
 * Input: byte 0 selects the road (bit 0: a line through kxMUtiCmd_ExecLine,
 * or words set straight into the context and kxMUtiCmd_Exec; bit 1: verbose
 * echo on), then the format up to the first NUL, then the argument text (a
 * line) or NUL-separated words.  The command "f" is redefined with the new
 * format for every input.  The status must be exactly the model's: the
 * handler's own when the words fit, else one of 0xFFFFFF03..06, and the
 * handler's ten arguments and the list storage must be what the model
 * computed.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "FuzzModel.h"
#include "kxMUtiCmd.h"
#include "qvStbDbgTest.h"

namespace {

using kxfuzz::Env;
using kxfuzz::WalkResult;

constexpr uint32_t kHandlerStatus = 0x600D0001u;
constexpr kxWord_t kUserData = 0xC0FFEE;
constexpr size_t kFormatMax = 64; /* format bytes kept */
constexpr size_t kWordsMax = 48;  /* words set on the direct road */

kxMUtiCmd_Defs_t *gpTable;
kxMUtiCmd_Exec_t *gpExec;
std::string gFormat; /* the definition keeps a pointer to it */
bool gCalled;
kxWord_t gSlots[10];

uint32_t Handler(kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3, kxWord_t a4, kxWord_t a5,
                 kxWord_t a6, kxWord_t a7, kxWord_t a8, kxWord_t a9)
{
    FUZZ_CHECK(!gCalled);
    const kxWord_t slots[10] = {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9};
    memcpy(gSlots, slots, sizeof(gSlots));
    gCalled = true;
    return kHandlerStatus;
}

void Start()
{
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    qvStbDbg_TestQuiet(1);
    kxMUtiCmd_Init(0);
    gpTable = kxMUtiCmd_DefsNew();
    gpExec = kxMUtiCmd_ExecNew(gpTable);
    FUZZ_CHECK(gpTable != nullptr && gpExec != nullptr);
    kxMUtiCmd_ParentSet(gpExec, nullptr);
}

/* The model's verdict against what happened, by either reading of a lone
 * '%' at the end of the format. */
void Compare(const kxMUtiCmd_Def_t *pDef, const std::vector<std::string> &words, const Env &env,
             uint32_t status)
{
    const WalkResult item = kxfuzz::WalkModel(pDef->invokeFormat, words, env, true);
    auto matches = [&](const WalkResult &walk) {
        if (walk.status != KX_OK)
            return status == walk.status && !gCalled;
        return gCalled && status == kHandlerStatus &&
               kxfuzz::SlotsMatch(walk, gSlots, gpExec->pTempVec);
    };
    if (matches(item))
        return;
    if (kxfuzz::HasLonePercent(pDef->invokeFormat) &&
        matches(kxfuzz::WalkModel(pDef->invokeFormat, words, env, false)))
        return;

    char detail[160];
    snprintf(detail, sizeof(detail), "format \"%s\": status 0x%x, model 0x%x, handler %s",
             pDef->invokeFormat, status, item.status, gCalled ? "ran" : "did not run");
    if (item.status == KX_OK && gCalled && status == kHandlerStatus)
        kxfuzz::CheckSlots(item, gSlots, gpExec->pTempVec);
    kxfuzz::Fail("status and arguments match the model", __FILE__, __LINE__, detail);
}

Env MakeEnv(const kxMUtiCmd_Def_t *pDef)
{
    Env env;
    env.exec = reinterpret_cast<kxWord_t>(gpExec);
    env.line = reinterpret_cast<kxWord_t>(gpExec->pLine);
    env.args = reinterpret_cast<kxWord_t>(gpExec->pArgs);
    env.name = reinterpret_cast<kxWord_t>(pDef->pName);
    env.userData = pDef->userData;
    env.ppWords = reinterpret_cast<const char *const *>(gpExec->pWords->pEntries);
    env.list = reinterpret_cast<kxWord_t>(gpExec->pTempVec->pEntries);
    return env;
}

/* The line road: "f " and the argument text, split by the interpreter. */
void RunLine(const kxMUtiCmd_Def_t *pDef, const std::string &args)
{
    const std::string line = "f " + args;
    const kxfuzz::SplitLine split = kxfuzz::Split(line.c_str(), gkxMUtiCmd_CommentChar);
    const uint32_t status = kxMUtiCmd_ExecLine(gpExec, line.c_str());
    FUZZ_CHECK(gpExec->nWords == split.words.size());
    if (split.words.size() >= 2)
        FUZZ_CHECK(gpExec->pArgs == line.c_str() + split.argsOffset);
    Compare(pDef, split.words, MakeEnv(pDef), status);
}

/* The direct road: any bytes but NUL in a word, blanks and line ends too. */
void RunWords(kxMUtiCmd_Def_t *pDef, const std::string &text)
{
    std::vector<std::string> words{"f"};
    size_t begin = 0;
    while (begin < text.size() && words.size() < kWordsMax) {
        size_t end = text.find('\0', begin);
        if (end == std::string::npos)
            end = text.size();
        words.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    kxMUtiVec_Empty(gpExec->pWords);
    for (std::string &word : words)
        FUZZ_CHECK(kxMUtiVec_Append(gpExec->pWords, word.data()) == KX_OK);
    gpExec->nWords = gpExec->pWords->used;
    gpExec->pLine = text.c_str();
    gpExec->pArgs = words.size() > 1 ? words[1].c_str() : "";
    const uint32_t status = kxMUtiCmd_Exec(gpExec, pDef);
    Compare(pDef, words, MakeEnv(pDef), status);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*pArgc*/, char *** /*pArgv*/)
{
    Start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t mode = pData[0];
    const std::string rest(reinterpret_cast<const char *>(pData + 1), size - 1);
    const size_t nul = rest.find('\0');
    gFormat = rest.substr(0, nul < kFormatMax ? nul : kFormatMax);
    const std::string args = nul == std::string::npos ? std::string() : rest.substr(nul + 1);

    kxMUtiCmd_Def_t *pDef =
        kxMUtiCmd_Add(gpTable, Handler, "f", nullptr, 0, gFormat.c_str(), kUserData, nullptr);
    FUZZ_CHECK(pDef != nullptr && gpTable->nDefs == 1);
    gpExec->flags = (mode & 2) ? kxMUtiCmd_ExecFlagVerbose : 0;
    gCalled = false;
    memset(gSlots, 0xA5, sizeof(gSlots));

    if (mode & 1)
        RunWords(pDef, args);
    else
        RunLine(pDef, args.substr(0, args.find('\0')));
    kxfuzz::CheckExecInvariants(gpExec);
    return 0;
}

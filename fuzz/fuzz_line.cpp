/*
 * fuzz_line.cpp - arbitrary text through the whole road of a line: comment
 * check, splitting, lookup along a chain of contexts, invoke formats and
 * the handler call, nested runs, and the stream reader.
 *
 * The interpreter starts once.  Commands in three tables use every
 * conversion and modifier, and a set of deliberately bad formats.  Every
 * handler compares what it received with the reference models (words,
 * argument text, which command the word selects, every slot and the list
 * storage); every line run here has its status compared with the model's.
 * Input: byte 0 picks contexts, the rest is text run line by line, then the
 * whole text once more as a stream.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "FuzzModel.h"
#include "kxMUtiCmd.h"
#include "qvStbDbgTest.h"

namespace {

using kxfuzz::Env;
using kxfuzz::SplitLine;
using kxfuzz::WalkResult;

/* Handler statuses: this base plus the command's index; never an
 * interpreter status. */
constexpr uint32_t kStatusBase = 0x4B580000u;

/* Deepest nesting of lines run by handlers, and of scripts (a script that
 * runs itself would otherwise go as deep as the library allows, which
 * costs a file open per level on every such line). */
constexpr int kNestMax = 6;
constexpr int kScriptMax = 4;

/* What a handler does after checking its arguments. */
enum class Role { Check, Nest, Renest, NestWord, RenestWord, SubLoop, Source, FileName };

struct Cmd {
    int table; /* 0 global, 1 table A, 2 table B */
    const char *pName;
    const char *pAlias;
    uint32_t flags;
    const char *pFormat; /* may be null: no parameters */
    kxWord_t userData;
    Role role;
};

constexpr uint32_t kFirst = kxMUtiCmd_DefFlagFirstChar;

/* Every conversion (C c E L l N n V v X d u x s) and modifier (? + *)
 * appears; the second group holds formats that are wrong on purpose. */
constexpr Cmd kCmds[] = {
    {0, "add", nullptr, 0, "%u%u", 0, Role::Check},
    {0, "sub", "-", 0, "%d%d", 0, Role::Check},
    {0, "hex", nullptr, 0, "%x?%x?", 0, Role::Check},
    {0, "say", nullptr, 0, "%s%s?", 0, Role::Check},
    {0, "sum", nullptr, 0, "%u+", 0, Role::Check},
    {0, "cat", nullptr, 0, "%s*", 0, Role::Check},
    {0, "neg", nullptr, 0, "%d*", 0, Role::Check},
    {0, "hexes", nullptr, 0, "%x+", 0, Role::Check},
    {0, "all", nullptr, 0, "%C%c%E%N%n%V%v%X%l", 0x5A5A, Role::Check},
    {0, "line", nullptr, 0, "%L", 0, Role::Check},
    {0, "opts", nullptr, 0, "%d?%s?%u?%x?%L", 0, Role::Check},
    {0, "ten", nullptr, 0, "%C%c%E%N%n%V%v%X%d?%s?", 0, Role::Check},
    {0, "plain", nullptr, 0, "", 0, Role::Check},
    {0, "nullfmt", nullptr, 0, nullptr, 0, Role::Check},
    {0, "elist", nullptr, 0, "%E+", 0, Role::Check},
    {0, "counts", nullptr, 0, "%c%v%l", 0, Role::Check},
    {0, "spaced", nullptr, 0, "  %E   %s?  ", 0, Role::Check},
    {0, "listsp", nullptr, 0, "%x*   ", 0, Role::Check},
    {0, "eightlist", nullptr, 0, "%C%C%C%C%C%C%C%C%u*", 0, Role::Check},
    {0, "elevenopt", nullptr, 0, "%C%C%C%C%C%C%C%C%C%C%s?", 0, Role::Check},
    /* wrong on purpose */
    {0, "nopct", nullptr, 0, "d%s?", 0, Role::Check},
    {0, "unknown", nullptr, 0, "%q%u?", 0, Role::Check},
    {0, "notfinal", nullptr, 0, "%s+%d", 0, Role::Check},
    {0, "elistnf", nullptr, 0, "%E*%C", 0, Role::Check},
    {0, "eleven", nullptr, 0, "%C%C%C%C%C%C%C%C%C%C%C", 0, Role::Check},
    {0, "ninelist", nullptr, 0, "%C%C%C%C%C%C%C%C%C%s*", 0, Role::Check},
    {0, "lone", nullptr, 0, "%s?%", 0, Role::Check},
    {0, "tab", nullptr, 0, "%s\t%u", 0, Role::Check},
    {0, "pctpct", nullptr, 0, "%%%d?", 0, Role::Check},
    {0, "modonly", nullptr, 0, "%u?+", 0, Role::Check},
    /* lookup: first character, shared alias, prefixes */
    {0, "!bang", nullptr, kFirst, "%n%l", 0, Role::Check},
    {0, "list", "ls", 0, "%s*", 0, Role::Check},
    {0, "load", "ls", 0, "%s?", 0, Role::Check},
    {0, "stat", nullptr, 0, "%u?", 0, Role::Check},
    {0, "status", nullptr, 0, "%E", 0, Role::Check},
    {0, "start", nullptr, 0, "%x", 0, Role::Check},
    /* nesting, sources; built-ins that would sleep or open any file are
     * replaced by harmless ones */
    {0, "nest", nullptr, 0, "%E%l", 0, Role::Nest},
    {0, "renest", nullptr, 0, "%E%l", 0, Role::Renest},
    {0, "nestw", nullptr, 0, "%E%s", 0, Role::NestWord},
    {0, "renestw", nullptr, 0, "%E%s", 0, Role::RenestWord},
    {0, "subloop", nullptr, 0, "%E%l", 0, Role::SubLoop},
    {0, "source", nullptr, 0, "%E%s", 0, Role::Source},
    {0, "msleep", nullptr, 0, "%u", 0, Role::Check},
    {0, "autosleep", nullptr, 0, "%E%u", 0, Role::Check},
    {0, "fname", nullptr, 0, "%E", 0, Role::FileName},
    /* table A: shadows and ambiguities against the global table */
    {1, "help", nullptr, 0, "%E%s?", 0, Role::Check},
    {1, "stat", "st", 0, "%d+", 0, Role::Check},
    {1, "alpha", nullptr, 0, "%s", 0, Role::Check},
    {1, "alps", nullptr, 0, "%u", 0, Role::Check},
    {1, "add", nullptr, 0, "%d*", 0, Role::Check},
    {1, "ls", nullptr, 0, "%V%C", 0, Role::Check},
    /* table B */
    {2, "beta", "b", 0, "%N%X", 7, Role::Check},
    {2, "stats", nullptr, 0, "%c", 0, Role::Check},
    {2, "nest", nullptr, 0, "%E%l", 0, Role::Nest},
    {2, "echo", nullptr, 0, "%l", 0, Role::Check},
};
constexpr size_t kNumCmds = sizeof(kCmds) / sizeof(kCmds[0]);

/* Scripts the source command may run, by name, in the scratch directory. */
constexpr const char *kScripts[][2] = {
    {"s1", "add 1 2\nfname\nsay 'in s1'\nsource s2\nsum 1 2 3\n"},
    {"s2", "fname\nhex 0x10\nquit\nadd 9 9\n"},
    {"s3", "fname\nsource s3\n"},
};

/* One run in progress: the context, and the line when it is known. */
struct Frame {
    kxMUtiCmd_Exec_t *pExec;
    const char *pLine; /* null: lines come from a stream */
    bool called;       /* one of our handlers ran for this line */
    uint32_t status;   /* and returned this */
};

kxMUtiCmd_Def_t *gDefs[kNumCmds];
kxMUtiCmd_Exec_t *gCtx[4]; /* global, A, B (parent A), N (global table) */
std::vector<Frame> gFrames;
int gNestDepth;
int gScriptDepth;
std::string gScratch; /* the scripts' directory */

bool IsOurs(const kxMUtiCmd_Def_t *pDef)
{
    for (const kxMUtiCmd_Def_t *p : gDefs)
        if (p == pDef)
            return true;
    return false;
}

kxMUtiCmd_Exec_t *NextCtx(const kxMUtiCmd_Exec_t *pExec)
{
    for (size_t i = 0; i < 4; i++)
        if (gCtx[i] == pExec)
            return gCtx[(i + 1) % 4];
    return gCtx[0];
}

bool HasNonBlank(const char *p)
{
    for (; *p != '\0'; p++)
        if (!kxfuzz::IsBlank(*p))
            return true;
    return false;
}

uint32_t RunLine(kxMUtiCmd_Exec_t *pExec, const char *pLine);

/* Compares the words a context holds with the model's split of its line. */
void CheckWords(const kxMUtiCmd_Exec_t *pExec, const SplitLine &split)
{
    FUZZ_CHECK(!split.comment);
    FUZZ_CHECK(pExec->nWords == split.words.size());
    FUZZ_CHECK(pExec->pWords->used == pExec->nWords);
    const char *pBegin = pExec->pLineBuf->pBuf;
    const char *pEnd = pBegin + pExec->pLineBuf->len + 1;
    const auto *ppWords = reinterpret_cast<const char *const *>(pExec->pWords->pEntries);
    for (size_t k = 0; k < split.words.size(); k++) {
        const std::string &want = split.words[k];
        FUZZ_CHECK(ppWords[k] >= pBegin && ppWords[k] + want.size() < pEnd);
        FUZZ_CHECK(memcmp(ppWords[k], want.data(), want.size()) == 0);
        FUZZ_CHECK(ppWords[k][want.size()] == '\0');
    }
    if (split.words.size() == 1)
        FUZZ_CHECK(pExec->pArgs != nullptr && pExec->pArgs[0] == '\0');
    else
        FUZZ_CHECK(pExec->pArgs == pExec->pLine + split.argsOffset);
}

/* The walk the model makes of a line, by either reading of a lone '%'. */
bool WalkMatches(const kxMUtiCmd_Def_t *pDef, const SplitLine &split, const Env &env,
                 const kxWord_t slots[10], const kxMUtiVec_t *pList)
{
    const WalkResult item = kxfuzz::WalkModel(pDef->invokeFormat, split.words, env, true);
    if (item.status == KX_OK && kxfuzz::SlotsMatch(item, slots, pList))
        return true;
    if (!kxfuzz::HasLonePercent(pDef->invokeFormat))
        return false;
    const WalkResult ignored = kxfuzz::WalkModel(pDef->invokeFormat, split.words, env, false);
    return ignored.status == KX_OK && kxfuzz::SlotsMatch(ignored, slots, pList);
}

/* Every handler: check, then act by role. */
uint32_t OnCall(size_t index, const kxWord_t slots[10])
{
    FUZZ_CHECK(!gFrames.empty());
    const size_t iFrame = gFrames.size() - 1;
    kxMUtiCmd_Exec_t *pExec = gFrames[iFrame].pExec;
    const kxMUtiCmd_Def_t *pDef = gDefs[index];

    FUZZ_CHECK(pExec->pLine != nullptr);
    if (gFrames[iFrame].pLine != nullptr)
        FUZZ_CHECK(pExec->pLine == gFrames[iFrame].pLine);
    const SplitLine split = kxfuzz::Split(pExec->pLine, gkxMUtiCmd_CommentChar);
    CheckWords(pExec, split);
    FUZZ_CHECK_MSG(kxfuzz::ChainModel(pExec, split.words[0].c_str()) == pDef,
                   "the command word selected another command");

    Env env;
    env.exec = reinterpret_cast<kxWord_t>(pExec);
    env.line = reinterpret_cast<kxWord_t>(pExec->pLine);
    env.args = reinterpret_cast<kxWord_t>(pExec->pArgs);
    env.name = reinterpret_cast<kxWord_t>(pDef->pName);
    env.userData = pDef->userData;
    env.ppWords = reinterpret_cast<const char *const *>(pExec->pWords->pEntries);
    env.list = reinterpret_cast<kxWord_t>(pExec->pTempVec->pEntries);
    if (!WalkMatches(pDef, split, env, slots, pExec->pTempVec))
        kxfuzz::CheckSlots(kxfuzz::WalkModel(pDef->invokeFormat, split.words, env, true), slots,
                           pExec->pTempVec);

    const uint32_t status = kStatusBase + static_cast<uint32_t>(index);
    gFrames[iFrame].called = true;
    gFrames[iFrame].status = status;

    auto *pCtx = reinterpret_cast<kxMUtiCmd_Exec_t *>(slots[0]);
    const auto *pText = reinterpret_cast<const char *>(slots[1]);
    switch (kCmds[index].role) {
    case Role::Check:
        break;
    case Role::Nest:
    case Role::Renest:
        if (gNestDepth < kNestMax) {
            gNestDepth++;
            RunLine(kCmds[index].role == Role::Nest ? NextCtx(pCtx) : pCtx, pText);
            gNestDepth--;
        }
        break;
    case Role::NestWord:
    case Role::RenestWord:
        /* The word lies in this context's working copy: another context
         * runs it as its line, or this one, from a copy of its own. */
        if (gNestDepth < kNestMax) {
            gNestDepth++;
            RunLine(kCmds[index].role == Role::NestWord ? NextCtx(pCtx) : pCtx, pText);
            gNestDepth--;
        }
        break;
    case Role::SubLoop:
        /* Blank text would enter the interactive loop on standard input. */
        if (gNestDepth < kNestMax && HasNonBlank(pText)) {
            kxMUtiCmd_Exec_t *pTarget = NextCtx(pCtx);
            gNestDepth++;
            gFrames.push_back({pTarget, nullptr, false, 0});
            kxMUtiCmd_ExecSubLoop(pTarget, pText);
            gFrames.pop_back();
            gNestDepth--;
        }
        break;
    case Role::Source:
        /* Only the scratch directory's scripts, by their bare names, run
         * from inside it; the fuzzer's own working directory is put back
         * after (it reads its corpus by relative paths).  The word itself
         * is passed: it lies in the context's working copy, which the
         * script's first line overwrites. */
        for (const auto &script : kScripts) {
            if (strcmp(pText, script[0]) != 0 || gScriptDepth >= kScriptMax)
                continue;
            gScriptDepth++;
            const int cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            FUZZ_CHECK(cwd >= 0 && chdir(gScratch.c_str()) == 0);
            const char *pOuterFile = pCtx->pFileName;
            gFrames.push_back({pCtx, nullptr, false, 0});
            kxMUtiCmd_ExecFile(pCtx, pText);
            gFrames.pop_back();
            FUZZ_CHECK(fchdir(cwd) == 0 && close(cwd) == 0);
            /* A run clears the name; a run that did not start (scripts
             * nested too deep) leaves the outer run's. */
            FUZZ_CHECK(pCtx->pFileName == nullptr || pCtx->pFileName == pOuterFile);
            gScriptDepth--;
            FUZZ_CHECK(!(pCtx->flags & kxMUtiCmd_ExecFlagInteractive));
            break;
        }
        break;
    case Role::FileName: {
        const char *pFile = kxMUtiCmd_ExecCurrentFileNameGet(pCtx);
        FUZZ_CHECK(pFile != nullptr);
        bool known = pFile[0] == '\0';
        for (const auto &script : kScripts)
            known = known || strcmp(pFile, script[0]) == 0;
        FUZZ_CHECK_MSG(known, pFile);
        break;
    }
    }
    return status;
}

template <size_t I>
uint32_t Handler(kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3, kxWord_t a4, kxWord_t a5,
                 kxWord_t a6, kxWord_t a7, kxWord_t a8, kxWord_t a9)
{
    const kxWord_t slots[10] = {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9};
    return OnCall(I, slots);
}

template <size_t... I>
constexpr std::array<kxMUtiCmd_Handler_t, kNumCmds> MakeHandlers(std::index_sequence<I...>)
{
    return {Handler<I>...};
}
constexpr auto kHandlers = MakeHandlers(std::make_index_sequence<kNumCmds>());

/*
 * Runs one line and compares the status with the model: a comment gives
 * KX_OK, no words 0xFFFFFF01, no command 0xFFFFFF02, a format the words do
 * not fit its own status without any handler running, and otherwise our
 * handler's status (a built-in's status is its own business, but never an
 * interpreter status).
 */
uint32_t RunLine(kxMUtiCmd_Exec_t *pArg, const char *pLine)
{
    kxMUtiCmd_Exec_t *pExec = pArg != nullptr ? pArg : gpkxMUtiCmd_ExecGlobal;
    /* A line from the context's own working copy (a word of the line now
     * running) is run from a private copy, so pLine will not be the
     * pointer passed. */
    const kxMUtiStrx_t *pCopy = pExec->pLineBuf;
    const auto at = reinterpret_cast<uintptr_t>(pLine);
    const auto begin = reinterpret_cast<uintptr_t>(pCopy->pBuf);
    const bool ownWord = at >= begin && at <= begin + pCopy->len + pCopy->spare;
    const SplitLine split = kxfuzz::Split(pLine, gkxMUtiCmd_CommentChar);
    const void *pOldLine = pExec->pLine;

    gFrames.push_back({pExec, ownWord ? nullptr : pLine, false, 0});
    const uint32_t status = kxMUtiCmd_ExecLine(pArg, pLine);
    const Frame frame = gFrames.back();
    gFrames.pop_back();
    kxfuzz::CheckExecInvariants(pExec);

    if (split.comment) {
        FUZZ_CHECK(status == KX_OK && !frame.called);
        FUZZ_CHECK(pExec->pLine == pOldLine);
        return status;
    }
    if (split.words.empty()) {
        FUZZ_CHECK(status == kxMUtiCmd_StatusNoWords);
        return status;
    }
    const kxMUtiCmd_Def_t *pDef = kxfuzz::ChainModel(pExec, split.words[0].c_str());
    if (pDef == nullptr) {
        FUZZ_CHECK(status == kxMUtiCmd_StatusUnknown && !frame.called);
        return status;
    }

    /* Only the status matters here: the words stand in for their pointers. */
    std::vector<const char *> words;
    for (const std::string &word : split.words)
        words.push_back(word.c_str());
    Env env;
    env.ppWords = words.data();
    WalkResult walk = kxfuzz::WalkModel(pDef->invokeFormat, split.words, env, true);
    if (walk.status != KX_OK && kxfuzz::HasLonePercent(pDef->invokeFormat)) {
        const WalkResult ignored = kxfuzz::WalkModel(pDef->invokeFormat, split.words, env, false);
        if (ignored.status == status || (ignored.status == KX_OK && frame.called))
            walk = ignored;
    }
    if (walk.status != KX_OK) {
        FUZZ_CHECK_MSG(status == walk.status && !frame.called, pDef->pName);
        return status;
    }
    if (IsOurs(pDef)) {
        FUZZ_CHECK_MSG(frame.called && status == frame.status, pDef->pName);
        return status;
    }
    FUZZ_CHECK_MSG(!frame.called, pDef->pName);
    FUZZ_CHECK_MSG(status < kxMUtiCmd_StatusNoWords || status > kxMUtiCmd_StatusListNotFinal,
                   pDef->pName);
    return status;
}

std::string ScratchPath(const char *pName)
{
    return gScratch + "/" + pName;
}

void RemoveScratch()
{
    for (const auto &script : kScripts)
        unlink(ScratchPath(script[0]).c_str());
    rmdir(gScratch.c_str());
}

/*
 * A scratch directory holding only the scripts source may run, under
 * $TMPDIR (run.sh points it at its own work directory, which it removes:
 * a run that ends on its time limit skips the exit handlers).
 */
void MakeScratch()
{
    const char *pTmp = getenv("TMPDIR");
    std::string path =
        std::string(pTmp != nullptr && *pTmp != '\0' ? pTmp : "/tmp") + "/kxfuzz_line.XXXXXX";
    if (mkdtemp(path.data()) == nullptr) {
        perror("fuzz_line: scratch directory");
        abort();
    }
    gScratch = path;
    for (const auto &script : kScripts) {
        FILE *pFile = fopen(ScratchPath(script[0]).c_str(), "w");
        if (pFile == nullptr || fputs(script[1], pFile) < 0 || fclose(pFile) != 0) {
            perror("fuzz_line: script");
            abort();
        }
    }
    atexit(RemoveScratch);
}

void Start()
{
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    qvStbDbg_TestQuiet(1);
    /* Every debug level on: each message's arguments are then formatted,
     * so a bad pointer handed to a message shows too. */
    qvStbDbg_TestPlatformFlagsSet(0xFF00u);
    MakeScratch();

    kxMUtiCmd_Init(0);
    kxMUtiCmd_Defs_t *pTables[3] = {gpkxMUtiCmd_DefsGlobal, kxMUtiCmd_DefsNew(),
                                    kxMUtiCmd_DefsNew()};
    FUZZ_CHECK(pTables[1] != nullptr && pTables[2] != nullptr);
    for (size_t i = 0; i < kNumCmds; i++) {
        const Cmd &cmd = kCmds[i];
        gDefs[i] = kxMUtiCmd_Add(cmd.table == 0 ? nullptr : pTables[cmd.table], kHandlers[i],
                                 cmd.pName, cmd.pAlias, cmd.flags, cmd.pFormat, cmd.userData,
                                 "fuzz command\nsecond line");
        FUZZ_CHECK(gDefs[i] != nullptr);
    }
    gCtx[0] = gpkxMUtiCmd_ExecGlobal;
    gCtx[1] = kxMUtiCmd_ExecNew(pTables[1]);
    gCtx[2] = kxMUtiCmd_ExecNew(pTables[2]);
    gCtx[3] = kxMUtiCmd_ExecNew(nullptr);
    FUZZ_CHECK(gCtx[0] != nullptr && gCtx[1] != nullptr && gCtx[2] != nullptr &&
               gCtx[3] != nullptr);
    kxMUtiCmd_ParentSet(gCtx[2], gCtx[1]);
    kxMUtiCmd_PromptSet(gCtx[1], "A> ");
    gFrames.reserve(64);
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

    for (kxMUtiCmd_Exec_t *pExec : gCtx) {
        pExec->flags = 0;
        pExec->autoSleepMs = 0;
    }
    gNestDepth = 0;
    gScriptDepth = 0;

    /* Byte 0: context of the single lines (bits 0-1), of the stream (bits
     * 2-3); bit 4 passes null for the global context. */
    const uint8_t select = pData[0];
    auto pick = [select](unsigned i) -> kxMUtiCmd_Exec_t * {
        if (i == 0 && (select & 0x10))
            return nullptr;
        return gCtx[i];
    };
    const std::string text(reinterpret_cast<const char *>(pData + 1), size - 1);

    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(begin, end - begin);
        RunLine(pick(select & 3), line.c_str());
        begin = end + 1;
    }

    if (!text.empty()) {
        std::string stream = text;
        FILE *pFile = fmemopen(stream.data(), stream.size(), "r");
        FUZZ_CHECK(pFile != nullptr);
        kxMUtiCmd_Exec_t *pArg = pick((select >> 2) & 3);
        gFrames.push_back({pArg != nullptr ? pArg : gpkxMUtiCmd_ExecGlobal, nullptr, false, 0});
        kxMUtiCmd_ExecFP(pArg, pFile);
        gFrames.pop_back();
        fclose(pFile);
    }
    return 0;
}

/* The interpreter: start-up, lookup, splitting, the search chain, invoke
 * formats, and the paths only a unit test reaches (debug reports, memory
 * running out, allocation counts).  The end-to-end cases cover the rest. */
#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureStdout.h"
#include "DbgRecorder.h"
#include "FaultInjection.h"
#include "kxMUtiCmd.h"
#include "qvStbDbgTest.h"

namespace {

using Slots = std::array<kxWord_t, 10>;
constexpr uint32_t kRan = 0x1234; /* the recording handler's status */
std::vector<Slots> gCalls;        /* every call of Rec, oldest first */

uint32_t Rec(kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3, kxWord_t a4, kxWord_t a5,
             kxWord_t a6, kxWord_t a7, kxWord_t a8, kxWord_t a9)
{
    gCalls.push_back({a0, a1, a2, a3, a4, a5, a6, a7, a8, a9});
    return kRan;
}

const char *Text(kxWord_t w)
{
    return reinterpret_cast<const char *>(w);
}
kxWord_t Word(const void *p)
{
    return reinterpret_cast<kxWord_t>(p);
}

kxMUtiCmd_Def_t *Add(const char *pName, const char *pFormat, kxMUtiCmd_Defs_t *pDefs = nullptr,
                     const char *pAlias = nullptr, uint32_t flags = 0)
{
    return kxMUtiCmd_Add(pDefs, Rec, pName, pAlias, flags, pFormat, 0, nullptr);
}

std::vector<std::string> Words(const kxMUtiCmd_Exec_t *pExec)
{
    std::vector<std::string> words;
    for (uint32_t i = 0; i < pExec->nWords; i++)
        words.emplace_back(static_cast<const char *>(pExec->pWords->pEntries[i]));
    return words;
}

/* Every test starts from a first start-up.  The interpreter has no
 * shut-down; earlier records stay allocated by design. */
class Cmd : public ::testing::Test {
  protected:
    void SetUp() override
    {
        gpkxMUtiCmd_DefsGlobal = nullptr;
        gpkxMUtiCmd_ExecGlobal = nullptr;
        gkxMUtiCmd_Prompt = ":) ";
        gkxMUtiCmd_CommentChar = '#';
        qvStbDbg_TestPlatformFlagsSet(0);
        qvStbDbg_TestQuiet(1);
        if (gkxMUtiCmd_DbgUnit != nullptr)
            *gkxMUtiCmd_DbgUnit = 0;
        gCalls.clear();
        ASSERT_EQ(kxMUtiCmd_Init(0), KX_OK);
    }
    kxMUtiCmd_Exec_t *G() { return gpkxMUtiCmd_ExecGlobal; }
};

TEST_F(Cmd, StartupMakesTheGlobalTableAndContext)
{
    ASSERT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, 8u); /* names and order: the help case */
    EXPECT_EQ(G()->pParent, nullptr);
    EXPECT_EQ(G()->pDefs, gpkxMUtiCmd_DefsGlobal);
    EXPECT_EQ(G()->pLineBuf->growPolicy, 0x02000400u);
    EXPECT_EQ(G()->pTempVec->allocated, 100u);
    EXPECT_NE(*gkxMUtiCmd_DbgUnit & 0x8000u, 0u) << "errors print by default";
    EXPECT_EQ(kxMUtiCmd_ExecNew(nullptr)->pParent, G());
    EXPECT_STREQ(kxMUtiCmd_ExecCurrentFileNameGet(G()), "");
}

TEST_F(Cmd, PromptAndCommentCharacterAreTakenWhenThingsAreMade)
{
    gkxMUtiCmd_Prompt = "dev> ";
    EXPECT_STREQ(kxMUtiCmd_ExecNew(nullptr)->pPrompt, "dev> ");
    EXPECT_STREQ(G()->pPrompt, ":) ");
    gkxMUtiCmd_CommentChar = ';';
    gpkxMUtiCmd_ExecGlobal = nullptr; /* a first start-up again */
    kxMUtiCmd_Init(0);
    EXPECT_EQ(kxMUtiCmd_Match(nullptr, ";x"), 3u);
    EXPECT_EQ(kxMUtiCmd_Match(nullptr, "#"), 0u);
}

TEST_F(Cmd, StartupWithoutMemoryReportsAndStaysSafe)
{
    DbgRecorder dbg;
    gpkxMUtiCmd_ExecGlobal = nullptr;
    FaultGuard guard;
    MUti_FaultArm(0, true);
    EXPECT_EQ(kxMUtiCmd_Init(0), KX_OK);
    MUti_FaultDisarm();
    const auto asserts = dbg.Asserts();
    ASSERT_EQ(asserts.size(), 2u);
    EXPECT_EQ(asserts[0].cond, "gpkxMUtiCmd_DefsGlobal != Null");
    EXPECT_EQ(asserts[0].file, "comps/kxMUti/src/kxMUtiCmd");
    EXPECT_EQ(asserts[0].line, 1153);
    EXPECT_EQ(asserts[1].cond, "gpkxMUtiCmd_ExecGlobal != Null");
    EXPECT_EQ(asserts[1].line, 1157);
    EXPECT_EQ(dbg.PrintsAt(0x8000).at(0), "kxMUtiCmd_Malloc: alloc " +
                                              std::to_string(sizeof(kxMUtiCmd_Defs_t)) +
                                              " bytes failed => 0xffffffff");
    EXPECT_EQ(Add("x", ""), nullptr);
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "help"), kxMUtiCmd_StatusNoWords);
}

TEST_F(Cmd, EveryAllocationFailureDuringStartupLeavesConsistentRecords)
{
    DbgRecorder dbg;
    ForEachAllocFailure([] {
        gpkxMUtiCmd_DefsGlobal = nullptr;
        gpkxMUtiCmd_ExecGlobal = nullptr;
        kxMUtiCmd_Init(0);
        if (gpkxMUtiCmd_DefsGlobal != nullptr) {
            EXPECT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, gpkxMUtiCmd_DefsGlobal->pDefVec->used);
        }
        if (gpkxMUtiCmd_ExecGlobal != nullptr) { /* a context is whole or absent */
            EXPECT_NE(gpkxMUtiCmd_ExecGlobal->pTempVec, nullptr);
        }
    });
    EXPECT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, 8u);
}

TEST_F(Cmd, LookupByNameFirstCharacterAliasAndUniquePrefix)
{
    Add("status", "");
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    Add("read", "", pDefs, "r");
    Add("reset", "", pDefs);
    Add("write", "", pDefs, "wr");
    Add("wrap", "", pDefs, "wr");
    Add("!", "", pDefs, nullptr, kxMUtiCmd_DefFlagFirstChar);
    struct Case {
        kxMUtiCmd_Defs_t *pDefs;
        const char *word;
        uint32_t kind;
        const char *found;
    };
    const Case cases[] = {
        {nullptr, "help", 3, "help"},  {nullptr, "?", 2, "help"},  {nullptr, "he", 1, "help"},
        {nullptr, "q", 1, "quit"},     {nullptr, "s", 0, nullptr}, {nullptr, "so", 1, "source"},
        {nullptr, "st", 1, "status"},  {nullptr, "#!", 3, "#"},    {nullptr, "helpme", 0, nullptr},
        {nullptr, "Help", 0, nullptr}, {nullptr, "", 0, nullptr},  {pDefs, "r", 2, "read"},
        {pDefs, "wr", 0, nullptr},     {pDefs, "wri", 1, "write"}, {pDefs, "!x", 3, "!"},
    };
    for (const Case &c : cases) {
        uint32_t kind = 99;
        const kxMUtiCmd_Def_t *pDef = kxMUtiCmd_DefsLookup(c.pDefs, c.word, &kind);
        EXPECT_EQ(kind, c.kind) << c.word;
        EXPECT_STREQ(pDef ? pDef->pName : nullptr, c.found) << c.word;
    }
}

TEST_F(Cmd, RegistrationRedefinesInPlaceAndWarnsAboutAliases)
{
    DbgRecorder dbg;
    uint32_t kind;
    kxMUtiCmd_Def_t *pHelp = kxMUtiCmd_DefsLookup(nullptr, "help", &kind);
    EXPECT_EQ(Add("help", nullptr), pHelp);
    EXPECT_EQ(pHelp->pAlias, nullptr) << "every field is replaced";
    EXPECT_STREQ(pHelp->invokeFormat, "");
    EXPECT_EQ(Add("#include", "%s"), gpkxMUtiCmd_DefsGlobal->pDefVec->pEntries[7]);
    Add("dump", "", nullptr, "d");
    Add("display", "", nullptr, "d");
    Add("d", "");
    EXPECT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, 11u);
    EXPECT_EQ(dbg.PrintsAt(0x8100),
              (std::vector<std::string>{
                  "kxMUtiCmd_Add: existing command \"help\" redefined",
                  "kxMUtiCmd_Add: existing command \"#include\" redefined",
                  "kxMUtiCmd_Add: new command \"d\" has same alias \"d\" as existing command "
                  "\"dump\"",
                  "kxMUtiCmd_Add: new command \"d\" has same alias \"d\" as existing command "
                  "\"display\""}));
}

TEST_F(Cmd, FailedRegistrationLeavesTheTableAsItWas)
{
    DbgRecorder dbg;
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    static const char *names[] = {"c0", "c1", "c2", "c3", "c4", "c5", "c6", "c7", "c8", "c9"};
    for (const char *pName : names) /* a full vector: the next add must grow it */
        Add(pName, "", pDefs);
    const unsigned runs = ForEachAllocFailure([&] {
        const uint32_t before = pDefs->nDefs;
        const bool added = Add("new", "", pDefs) != nullptr;
        EXPECT_EQ(pDefs->nDefs, pDefs->pDefVec->used);
        EXPECT_EQ(pDefs->nDefs, before + (added ? 1 : 0));
    });
    EXPECT_EQ(runs, 3u); /* the definition, then the vector's growth */
    EXPECT_EQ(dbg.Asserts().at(0).cond, "pCmdDef != Null");
    EXPECT_EQ(dbg.Asserts().at(0).line, 412);
}

TEST_F(Cmd, CommentAndEmptyLinesLeaveTheContextAlone)
{
    DbgRecorder dbg;
    *gkxMUtiCmd_DbgUnit |= 0x400;
    Add("cmd", "%s");
    const char *pPrev = "cmd one";
    kxMUtiCmd_ExecLine(nullptr, pPrev);
    for (const char *line : {"#", "   #x y", "\t#\n"})
        EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, line), KX_OK);
    EXPECT_EQ(G()->pLine, pPrev);
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, " \t\n"), kxMUtiCmd_StatusNoWords);
    EXPECT_EQ(dbg.PrintsAt(0x400),
              (std::vector<std::string>{"kxMUtiCmd_Exec nArgs=2", "kxMUtiCmd_Exec nArgs=0"}));
}

TEST_F(Cmd, SearchClimbsTheChainAndHandlersGetTheCallingContext)
{
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    kxMUtiCmd_Exec_t *pSub = kxMUtiCmd_ExecNew(pDefs);
    kxMUtiCmd_Exec_t *pBare = kxMUtiCmd_ExecNew(nullptr); /* searches the global table */
    for (const char *pName : {"peek", "stat", "step"})    /* user data 1: the sub table */
        kxMUtiCmd_Add(pDefs, Rec, pName, nullptr, 0, "%E%X", 1, nullptr);
    for (const char *pName : {"peek", "status"}) /* user data 2: the global table */
        kxMUtiCmd_Add(nullptr, Rec, pName, nullptr, 0, "%E%X", 2, nullptr);
    struct Case {
        kxMUtiCmd_Exec_t *pExec;
        const char *line;
        kxWord_t table; /* whose command ran; 0: none */
    };
    const Case cases[] = {
        {pSub, "peek", 1},     {pSub, "st", 2}, /* ambiguous below, unique above */
        {pSub, ".peek", 2},    {pSub, ".ste", 0},  {pSub, "..peek", 0},
        {nullptr, ".peek", 0}, {pBare, "peek", 2},
    };
    CaptureStdout out;
    for (const Case &c : cases) {
        gCalls.clear();
        const uint32_t status = kxMUtiCmd_ExecLine(c.pExec, c.line);
        EXPECT_EQ(status, c.table ? kRan : kxMUtiCmd_StatusUnknown) << c.line;
        if (c.table != 0 && !gCalls.empty()) {
            EXPECT_EQ(gCalls[0][0], Word(c.pExec)) << c.line;
            EXPECT_EQ(gCalls[0][1], c.table) << c.line;
        }
    }
    kxMUtiCmd_ParentSet(G(), pSub); /* a cycle, a host's mistake: the search gives up */
    EXPECT_EQ(kxMUtiCmd_ExecLine(pSub, "nothing"), kxMUtiCmd_StatusUnknown);
    EXPECT_EQ(out.Stop(), "\".ste\": unknown or ambiguous command\n"
                          "\"..peek\": unknown or ambiguous command\n"
                          "\".peek\": unknown or ambiguous command\n"
                          "\"nothing\": unknown or ambiguous command\n");
}

TEST_F(Cmd, WarmContextAllocatesNothingPerLine)
{
    Add("add", "%u%u");
    Add("sum", "%d+");
    const char *lines[] = {"add 1 2", "sum 1 2 3 4 5 6 7 8 9 10 11 12", "a 5 6", "# x", "", "ad x"};
    CaptureStdout out;
    for (const char *line : lines)
        kxMUtiCmd_ExecLine(nullptr, line);
    const unsigned long before = MUti_AllocCount();
    for (int i = 0; i < 1000; i++)
        kxMUtiCmd_ExecLine(nullptr, lines[i % 6]);
    const unsigned long after = MUti_AllocCount();
    out.Stop();
    EXPECT_EQ(after, before);
    EXPECT_EQ(gCalls.size(), 2u + 2 * 167) << "add and sum ran every time";
}

TEST_F(Cmd, MemoryRunningOutDuringALineNeverBreaksTheContext)
{
    std::string line = "cmd";
    for (int i = 0; i < 150; i++)
        line += " w";
    Add("cmd", "%s*");
    DbgRecorder dbg;
    ForEachAllocFailure([&] {
        kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(nullptr);
        if (pExec == nullptr)
            return;
        const uint32_t status = kxMUtiCmd_ExecLine(pExec, line.c_str());
        EXPECT_TRUE(status == kRan || (MUti_FaultInjected() != 0 &&
                                       (status == KX_ERR_NOMEM || status == 0xFFFFFF01u)))
            << std::hex << status;
        EXPECT_LE(pExec->nWords, pExec->pWords->used);
    });
    /* A lost word pointer is reported with its line (216 unquoted, 210
     * quoted) and the line is refused rather than run short. */
    for (const char *quoted : {"", "'"}) {
        dbg.Clear();
        kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(nullptr);
        FaultGuard guard;
        MUti_FaultArm(0, false);
        const std::string ten = std::string("cmd 1 2 3 4 5 6 7 8 9 ") + quoted + "10";
        EXPECT_EQ(kxMUtiCmd_ExecLine(pExec, ten.c_str()), KX_ERR_NOMEM);
        const DbgAssert a = dbg.Asserts().at(0);
        EXPECT_EQ(a.cond + " " + std::to_string(a.line) + " " + a.detail,
                  std::string("(rc == KX_OK) ") + (*quoted ? "210" : "216") + " rc=0xffffffff");
    }
}

/* again <word>: runs a word of its own line as a line on the same context. */
uint32_t Again(kxWord_t exec, kxWord_t word, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
               kxWord_t, kxWord_t, kxWord_t)
{
    return kxMUtiCmd_ExecLine(reinterpret_cast<kxMUtiCmd_Exec_t *>(exec), Text(word));
}

TEST_F(Cmd, AWordOfTheRunningLineRunsAsALineOfItsOwn)
{
    kxMUtiCmd_Add(nullptr, Again, "again", nullptr, 0, "%E%s", 0, nullptr);
    Add("cmd", "%l");
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "again 'cmd a  b'"), kRan);
    EXPECT_EQ(Words(G()), (std::vector<std::string>{"cmd", "a", "b"}));
    FaultGuard guard;
    MUti_FaultArm(0, false);
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "again 'cmd c'"), KX_ERR_NOMEM);
}

/* What one slot must hold: an integer, a word's text, or the context. */
struct Want {
    char kind; /* 'i', 's', 'E' */
    uint32_t value;
    const char *text;
};
Want I(uint32_t v)
{
    return {'i', v, nullptr};
}
Want S(const char *t)
{
    return {'s', 0, t};
}
const Want Z{'i', 0, nullptr};
const Want E{'E', 0, nullptr};

TEST_F(Cmd, InvokeFormatsFillTheTenSlots)
{
    struct Case {
        const char *format, *line;
        uint32_t status;
        const char *out;
        std::vector<Want> slots = {}; /* leading slots; the rest must be 0 */
    };
    /* Conversions and their messages are covered end to end; these are the
     * corners a test host registering real commands does not reach. */
    const Case cases[] = {
        {"%d%u%x%s", "c -7 -1 0x1F 'a b'", kRan, "", {I(0xFFFFFFF9), I(~0u), I(0x1F), S("a b")}},
        {"%d?%E", "c", kRan, "", {E}}, /* nothing placed: the context moves up */
        {"%C%c%n%X", "c", kRan, "", {I(1), I(0), S("c"), I(0)}},
        {"%E+", "c", kRan, "", {E}},
        {"%d%", "c 1", kRan, "", {I(1), Z}}, /* a lone % at the end: a slot, no overrun */
        {"%", "c", kRan, "", {Z}},
        {"%L%s", "c a", 0xFFFFFF04, "\"c\": insufficient arguments\n"},
        {"%c%v", "c a b", 0xFFFFFF03, "\"c\": 2 too many command parameters supplied\n"},
    };
    for (const Case &c : cases) {
        gCalls.clear();
        Add("c", c.format);
        CaptureStdout out;
        const uint32_t status = kxMUtiCmd_ExecLine(nullptr, c.line);
        const std::string text = out.Stop();
        SCOPED_TRACE(std::string(c.format) + " with " + c.line);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(text, c.out);
        ASSERT_EQ(gCalls.size(), c.status == kRan ? 1u : 0u);
        for (size_t i = 0; i < gCalls.size() * 10; i++) {
            const Want w = i < c.slots.size() ? c.slots[i] : Z;
            if (w.kind == 'i')
                EXPECT_EQ(gCalls[0][i], w.value) << "slot " << i;
            else if (w.kind == 's')
                EXPECT_STREQ(Text(gCalls[0][i]), w.text) << "slot " << i;
            else
                EXPECT_EQ(gCalls[0][i], Word(G())) << "slot " << i;
        }
    }
}

TEST_F(Cmd, ListsPassCountAndStorageAndWordArraysPointIntoTheLine)
{
    Add("hex", "%u%x+");
    Add("args", "%V%v%s*");
    ASSERT_EQ(kxMUtiCmd_ExecLine(nullptr, "hex 9 a 0x10"), kRan);
    EXPECT_EQ(gCalls[0][1], 2u);
    EXPECT_EQ(reinterpret_cast<kxWord_t *>(gCalls[0][2])[1], 0x10u);
    EXPECT_EQ(gCalls[0][2], Word(G()->pTempVec->pEntries));
    ASSERT_EQ(kxMUtiCmd_ExecLine(nullptr, "args a b"), kRan);
    EXPECT_EQ(gCalls[1][1], gCalls[1][0] + sizeof(char *));
    EXPECT_STREQ(reinterpret_cast<const char **>(gCalls[1][3])[1], "b");
}

TEST_F(Cmd, DebugReportsOfTheHandlerCall)
{
    DbgRecorder dbg;
    *gkxMUtiCmd_DbgUnit |= 0x300;
    Add("c", "%q");
    kxMUtiCmd_ExecLine(nullptr, "c");
    EXPECT_EQ(dbg.PrintsAt(0x200), std::vector<std::string>{"MUtiCmd_Exec: \"c\": executing..."});
    EXPECT_EQ(dbg.PrintsAt(0x8000),
              std::vector<std::string>{"MUtiCmd_Exec: \"c\": unknown invoke format %q"});
    EXPECT_EQ(dbg.PrintsAt(0x100), std::vector<std::string>{"\"c\" => 0x1234"});

    /* A list element that cannot be stored is reported; the walk goes on. */
    const int lines[] = {663, 690, 717, 739};
    const char *formats[] = {"%d*", "%u*", "%x*", "%s*"};
    std::string line = "c";
    for (int i = 0; i < 101; i++) /* one more element than the list storage holds */
        line += " 1";
    for (int i = 0; i < 4; i++) {
        Add("c", formats[i]);
        kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(nullptr);
        Add("wide", "%l");
        kxMUtiCmd_ExecLine(pExec, ("wide" + line.substr(1)).c_str()); /* grow the words only */
        dbg.Clear();
        gCalls.clear();
        FaultGuard guard;
        MUti_FaultArm(0, false);
        EXPECT_EQ(kxMUtiCmd_ExecLine(pExec, line.c_str()), kRan);
        MUti_FaultDisarm();
        const DbgAssert a = dbg.Asserts().at(0);
        EXPECT_EQ(a.cond + " " + std::to_string(a.line) + " " + a.detail,
                  "(err == KX_OK) " + std::to_string(lines[i]) + " err=0xffffffff");
        EXPECT_EQ(gCalls.at(0)[0], 100u) << "the list lacks the one element";
    }
}

TEST_F(Cmd, StreamRunWithoutALineBufferReadsNothing)
{
    char text[] = "c\n";
    FILE *pFile = fmemopen(text, 2, "r");
    Add("c", "");
    {
        DbgRecorder dbg;
        FaultGuard guard;
        MUti_FaultArm(0, false);
        kxMUtiCmd_ExecFP(nullptr, pFile);
    }
    EXPECT_EQ(ftell(pFile), 0);
    kxMUtiCmd_ExecSubLoop(nullptr, " \t c");
    EXPECT_EQ(gCalls.size(), 1u);
    EXPECT_STREQ(G()->pLine, "c") << "runs from the first non-blank character";
    fclose(pFile);
}

} // namespace

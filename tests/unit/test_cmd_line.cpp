/* Line execution: comments, splitting, argument text, the search chain. */
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureStdout.h"
#include "DbgRecorder.h"
#include "FaultInjection.h"
#include "InterpFixture.h"
#include "kxMUtiCmd.h"

namespace {

using LineTest = InterpTest;

std::vector<std::string> Words(const kxMUtiCmd_Exec_t *pExec)
{
    std::vector<std::string> words;
    for (uint32_t i = 0; i < pExec->nWords; i++)
        words.emplace_back(static_cast<const char *>(pExec->pWords->pEntries[i]));
    return words;
}

TEST_F(LineTest, SplitsWordsAndKeepsTheArgumentTextAsTyped)
{
    struct Case {
        const char *line;
        std::vector<std::string> words;
        const char *args;
    };
    const Case cases[] = {
        {"cmd", {"cmd"}, ""},
        {"cmd   a  b", {"cmd", "a", "b"}, "a  b"},
        {"  cmd\ta\n", {"cmd", "a"}, "a\n"},
        {"cmd 'a b' c", {"cmd", "a b", "c"}, "'a b' c"},
        {"cmd \"a b\" c", {"cmd", "a b", "c"}, "\"a b\" c"},
        {"x'y z'", {"x'y", "z'"}, "z'"},
        {"cmd ''", {"cmd", ""}, "''"},
        {"cmd 'abc\n", {"cmd", "abc\n"}, "'abc\n"},
        {"cmd \"it's\" 'say \"hi\"'", {"cmd", "it's", "say \"hi\""}, "\"it's\" 'say \"hi\"'"},
        {"cmd 'a'b", {"cmd", "a", "b"}, "'a'b"},
        {"cmd a'", {"cmd", "a'"}, "a'"},
        {"cmd '", {"cmd", ""}, "'"},
        {"cmd a # b", {"cmd", "a", "#", "b"}, "a # b"},
        {"\"cmd\" x", {"cmd", "x"}, "x"},
        {"cmd \xff\xa0 \x80", {"cmd", "\xff\xa0", "\x80"}, "\xff\xa0 \x80"},
        {"cmd\r\n", {"cmd"}, ""},
    };
    AddRec("cmd", "%l");
    AddRec("x'y", "%l");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        Recorder::Reset();
        const std::string line = c.line; /* the caller's copy, checked unchanged */
        EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, line.c_str()), Recorder::status);
        EXPECT_EQ(Words(gpkxMUtiCmd_ExecGlobal), c.words);
        EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->pLine, line.c_str());
        EXPECT_STREQ(gpkxMUtiCmd_ExecGlobal->pArgs, c.args);
        EXPECT_EQ(line, c.line);
        ASSERT_EQ(Recorder::calls.size(), 1u);
        EXPECT_STREQ(AsText(Recorder::calls[0][0]), c.args);
    }
}

TEST_F(LineTest, CommentLinesReturnAtOnceWithoutTouchingTheContext)
{
    kxMUtiCmd_Exec_t *pExec = gpkxMUtiCmd_ExecGlobal;
    AddRec("cmd", "%s");
    const char *pPrev = "cmd one";
    ASSERT_EQ(kxMUtiCmd_ExecLine(pExec, pPrev), Recorder::status);
    for (const char *line : {"#", "# text", "   #x y", "\t#\n", "#include 'x"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, line), KX_OK);
        EXPECT_EQ(pExec->pLine, pPrev);
        EXPECT_EQ(pExec->nWords, 2u);
        EXPECT_STREQ(static_cast<const char *>(pExec->pWords->pEntries[1]), "one");
    }
    EXPECT_EQ(Recorder::calls.size(), 1u);
}

TEST_F(LineTest, CommentCharacterIsReadAtEveryLine)
{
    gkxMUtiCmd_CommentChar = ';';
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, " ; anything"), KX_OK);
    CaptureStdout out;
    /* '#' is now an ordinary first character: the comment command named
     * '#' at start-up takes it, and refuses the surplus words. */
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "# two words"), kxMUtiCmd_StatusTooMany);
    EXPECT_EQ(out.Stop(), "\"#\": 2 too many command parameters supplied\n");
}

TEST_F(LineTest, QuotedCommentWordReachesTheCommentCommand)
{
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "'#'"), KX_OK);
    EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->nWords, 1u);
}

TEST_F(LineTest, LinesWithoutWordsReportTheirCount)
{
    DbgRecorder dbg;
    *gkxMUtiCmd_DbgUnit |= 0x400;
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, ""), kxMUtiCmd_StatusNoWords);
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "   \t \n"), kxMUtiCmd_StatusNoWords);
    EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->nWords, 0u);
    EXPECT_EQ(dbg.PrintsAt(0x400),
              (std::vector<std::string>{"kxMUtiCmd_Exec nArgs=0", "kxMUtiCmd_Exec nArgs=0"}));
}

TEST_F(LineTest, UnknownCommandIsNamedAsTypedAndKeepsThePreviousArgs)
{
    AddRec("cmd", "%l");
    kxMUtiCmd_ExecLine(nullptr, "cmd a b");
    const char *pArgs = gpkxMUtiCmd_ExecGlobal->pArgs;
    CaptureStdout out;
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "'no such' x"), kxMUtiCmd_StatusUnknown);
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "..deep"), kxMUtiCmd_StatusUnknown);
    EXPECT_EQ(out.Stop(), "\"no such\": unknown or ambiguous command\n"
                          "\"..deep\": unknown or ambiguous command\n");
    EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->pArgs, pArgs);
}

/* A nested environment: its own table and context below the global one. */
class ChainTest : public InterpTest {
  protected:
    void SetUp() override
    {
        InterpTest::SetUp();
        pDefs = kxMUtiCmd_DefsNew();
        pExec = kxMUtiCmd_ExecNew(pDefs);
        pLocal = kxMUtiCmd_Add(pDefs, Recorder::Handler, "help", nullptr, 0, "%E%N", 1, nullptr);
        kxMUtiCmd_Add(pDefs, Recorder::Handler, "stat", nullptr, 0, "%E%N", 1, nullptr);
        kxMUtiCmd_Add(pDefs, Recorder::Handler, "step", nullptr, 0, "%E%N", 1, nullptr);
        pGlobal =
            kxMUtiCmd_Add(nullptr, Recorder::Handler, "status", nullptr, 0, "%E%N%X", 2, nullptr);
        kxMUtiCmd_Add(nullptr, Recorder::Handler, "sync", nullptr, 0, "%E%N%X", 2, nullptr);
    }
    kxMUtiCmd_Defs_t *pDefs = nullptr;
    kxMUtiCmd_Exec_t *pExec = nullptr;
    kxMUtiCmd_Def_t *pLocal = nullptr;
    kxMUtiCmd_Def_t *pGlobal = nullptr;
};

TEST_F(ChainTest, SearchClimbsTheChainAndHandlersGetTheCallingContext)
{
    struct Case {
        const char *line;
        uint32_t status;
        const char *ran; /* name the handler received, null when none ran */
    };
    const Case cases[] = {
        {"help", Recorder::status, "help"}, /* own table first */
        {"stat", Recorder::status, "stat"},
        {"st", Recorder::status, "status"}, /* ambiguous here, unique above */
        {"stat", Recorder::status, "stat"},
        {"sy", Recorder::status, "sync"},      /* only above */
        {"q", KX_OK, nullptr},                 /* builtin quit, not recorded */
        {".stat", Recorder::status, "status"}, /* dot skips the own table */
        {"..help", kxMUtiCmd_StatusUnknown, nullptr},
        {".", kxMUtiCmd_StatusUnknown, nullptr},
    };
    CaptureStdout out;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        Recorder::Reset();
        pExec->flags = 0;
        EXPECT_EQ(kxMUtiCmd_ExecLine(pExec, c.line), c.status);
        if (c.ran == nullptr) {
            EXPECT_TRUE(Recorder::calls.empty());
            continue;
        }
        ASSERT_EQ(Recorder::calls.size(), 1u);
        EXPECT_EQ(Recorder::calls[0][0], reinterpret_cast<kxWord_t>(pExec));
        EXPECT_STREQ(AsText(Recorder::calls[0][1]), c.ran);
    }
    EXPECT_EQ(out.Stop(), "\"..help\": unknown or ambiguous command\n"
                          "\".\": unknown or ambiguous command\n");
}

TEST_F(ChainTest, LeadingDotOnTheGlobalContextFindsNothing)
{
    CaptureStdout out;
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, ".help"), kxMUtiCmd_StatusUnknown);
    EXPECT_EQ(kxMUtiCmd_ExecLine(gpkxMUtiCmd_ExecGlobal, ".#"), kxMUtiCmd_StatusUnknown);
    EXPECT_EQ(out.Stop(), "\".help\": unknown or ambiguous command\n"
                          "\".#\": unknown or ambiguous command\n");
}

TEST_F(ChainTest, DotCommentWordIsSearchedFromTheParent)
{
    EXPECT_EQ(kxMUtiCmd_ExecLine(pExec, ".#"), KX_OK); /* the global comment command */
}

TEST_F(ChainTest, ContextWithoutTableSearchesTheGlobalOne)
{
    kxMUtiCmd_Exec_t *pBare = kxMUtiCmd_ExecNew(nullptr);
    Recorder::Reset();
    EXPECT_EQ(kxMUtiCmd_ExecLine(pBare, "status"), Recorder::status);
    ASSERT_EQ(Recorder::calls.size(), 1u);
    EXPECT_EQ(Recorder::calls[0][0], reinterpret_cast<kxWord_t>(pBare));
}

TEST_F(ChainTest, CycleInTheChainEndsTheSearch)
{
    kxMUtiCmd_ParentSet(gpkxMUtiCmd_ExecGlobal, pExec); /* a host mistake */
    CaptureStdout out;
    EXPECT_EQ(kxMUtiCmd_ExecLine(pExec, "nothing"), kxMUtiCmd_StatusUnknown);
    kxMUtiCmd_ParentSet(gpkxMUtiCmd_ExecGlobal, nullptr);
}

TEST_F(LineTest, WarmContextAllocatesNothingPerLine)
{
    AddRec("add", "%u%u");
    AddRec("sum", "%d+");
    kxMUtiCmd_Exec_t *pExec = gpkxMUtiCmd_ExecGlobal;
    const char *lines[] = {"add 1 2", "sum 1 2 3 4 5 6 7 8 9 10 11 12", "a 5 6", "# note", "",
                           "ad 'x' 1"};
    CaptureStdout out;
    for (const char *line : lines) /* warm up: let the containers grow */
        kxMUtiCmd_ExecLine(pExec, line);
    const unsigned long before = MUti_AllocCount();
    for (int i = 0; i < 1000; i++)
        kxMUtiCmd_ExecLine(pExec, lines[i % 6]);
    const unsigned long after = MUti_AllocCount();
    out.Stop();
    EXPECT_EQ(after, before);
    EXPECT_EQ(Recorder::calls.size(), 2u + 2 * 167) << "add and sum ran every time";
}

TEST_F(LineTest, LongLinesAndManyWordsGrowTheContext)
{
    AddRec("cmd", "%s*");
    std::string line = "cmd";
    for (int i = 0; i < 2000; i++)
        line += " w" + std::to_string(i);
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, line.c_str()), Recorder::status);
    ASSERT_EQ(Recorder::calls.size(), 1u);
    EXPECT_EQ(Recorder::calls[0][0], 2000u);
    auto **ppList = reinterpret_cast<const char **>(Recorder::calls[0][1]);
    EXPECT_STREQ(ppList[1999], "w1999");
    EXPECT_GE(gpkxMUtiCmd_ExecGlobal->pLineBuf->spare + gpkxMUtiCmd_ExecGlobal->pLineBuf->len,
              line.size());
}

TEST_F(LineTest, CopyThatCannotGrowReadsAsAnEmptyLine)
{
    AddRec("cmd", "%l");
    std::string line = "cmd " + std::string(3000, 'x');
    FaultGuard guard;
    MUti_FaultArm(0, false);
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, line.c_str()), kxMUtiCmd_StatusNoWords);
    EXPECT_EQ(MUti_FaultDisarm(), 1u);
    EXPECT_TRUE(Recorder::calls.empty());
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, line.c_str()), Recorder::status) << "and recovers";
}

TEST_F(LineTest, LostWordPointerIsReportedAndTheLineRefused)
{
    AddRec("cmd", "%s*");
    struct Case {
        const char *line;
        int assertLine;
    };
    /* The eleventh word needs the word vector to grow; make that fail. */
    const Case cases[] = {{"cmd 1 2 3 4 5 6 7 8 9 10", 216}, {"cmd 1 2 3 4 5 6 7 8 9 '10'", 210}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        ParkGlobals();
        kxMUtiCmd_Init(0);
        AddRec("cmd", "%s*");
        DbgRecorder dbg;
        Recorder::Reset();
        FaultGuard guard;
        MUti_FaultArm(0, false);
        EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, c.line), KX_ERR_NOMEM);
        MUti_FaultDisarm();
        EXPECT_TRUE(Recorder::calls.empty());
        EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->nWords, gpkxMUtiCmd_ExecGlobal->pWords->used);
        auto asserts = dbg.Asserts();
        ASSERT_EQ(asserts.size(), 1u);
        EXPECT_EQ(asserts[0].cond, "(rc == KX_OK)");
        EXPECT_EQ(asserts[0].file, "comps/kxMUti/src/kxMUtiCmd");
        EXPECT_EQ(asserts[0].line, c.assertLine);
        EXPECT_EQ(asserts[0].detail, "rc=0xffffffff");
    }
}

TEST_F(LineTest, EveryAllocationFailureOnAColdContextEndsCleanly)
{
    AddRec("cmd", "%s*");
    std::string line = "cmd";
    for (int i = 0; i < 150; i++)
        line += " w" + std::to_string(i);
    DbgRecorder dbg;
    unsigned runs = ForEachAllocFailure([&] {
        kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(nullptr);
        if (pExec == nullptr)
            return;
        Recorder::Reset();
        const uint32_t status = kxMUtiCmd_ExecLine(pExec, line.c_str());
        if (MUti_FaultInjected() == 0) {
            EXPECT_EQ(status, Recorder::status);
        } else {
            EXPECT_TRUE(status == Recorder::status || status == KX_ERR_NOMEM ||
                        status == kxMUtiCmd_StatusNoWords)
                << std::hex << status;
        }
        EXPECT_LE(pExec->nWords, pExec->pWords->used);
        EXPECT_EQ(pExec->pLineBuf->pBuf[pExec->pLineBuf->len], '\0');
        static std::vector<kxMUtiCmd_Exec_t *> keep; /* contexts are never freed */
        keep.push_back(pExec);
    });
    EXPECT_GT(runs, 8u);
}

} // namespace

namespace {

/* again <line>: runs its argument as a line on the same context. */
uint32_t Again(kxWord_t exec, kxWord_t line, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
               kxWord_t, kxWord_t, kxWord_t)
{
    return kxMUtiCmd_ExecLine(reinterpret_cast<kxMUtiCmd_Exec_t *>(exec), AsText(line));
}

TEST_F(LineTest, AWordOfTheRunningLineRunsAsALineOfItsOwn)
{
    kxMUtiCmd_Add(nullptr, Again, "again", nullptr, 0, "%E%s", 0, nullptr);
    AddRec("cmd", "%l");
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "again 'cmd a  b' tail"), kxMUtiCmd_StatusTooMany);
    CaptureStdout out;
    const unsigned long before = MUti_AllocCount();
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "again 'cmd a  b'"), Recorder::status);
    EXPECT_EQ(MUti_AllocCount(), before + 1) << "one private copy of the word";
    out.Stop();
    ASSERT_EQ(Recorder::calls.size(), 1u);
    EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->nWords, 3u);
    FaultGuard guard;
    MUti_FaultArm(0, false);
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "again 'cmd c'"), KX_ERR_NOMEM);
}

} // namespace

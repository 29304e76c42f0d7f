/* Command sources: streams, script files, standard input, nested loops. */
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CaptureStdout.h"
#include "DbgRecorder.h"
#include "FaultInjection.h"
#include "InterpFixture.h"
#include "kxMUtiCmd.h"

namespace {

/* A scratch directory of script files, removed afterwards. */
class SourceTest : public InterpTest {
  protected:
    void SetUp() override
    {
        InterpTest::SetUp();
        char dir[] = "/tmp/kxsrcXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        texts.clear();
        kxMUtiCmd_Add(nullptr, TextRec, "rec", nullptr, 0, "%E%l", 0, nullptr);
        kxMUtiCmd_Add(nullptr, FileName, "fname", nullptr, 0, "%E", 0, nullptr);
    }
    void TearDown() override
    {
        for (const std::string &path : files_)
            unlink(path.c_str());
        rmdir(dir_.c_str());
    }
    /* Writes a script and returns its path. */
    std::string Script(const std::string &name, const std::string &text)
    {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        files_.push_back(path);
        return path;
    }
    /* Runs text as a stream on pExec (null: global) and returns the output. */
    static std::string RunStream(kxMUtiCmd_Exec_t *pExec, const std::string &text)
    {
        FILE *pFile = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
        CaptureStdout out;
        kxMUtiCmd_ExecFP(pExec, pFile);
        fclose(pFile);
        return out.Stop();
    }
    /* rec: records the context and keeps a copy of the argument text, which
     * lives in the run's line buffer only while the line runs. */
    static uint32_t TextRec(kxWord_t exec, kxWord_t args, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                            kxWord_t, kxWord_t, kxWord_t, kxWord_t)
    {
        texts.emplace_back(AsText(args));
        return Recorder::Handler(exec, args, 0, 0, 0, 0, 0, 0, 0, 0);
    }
    static std::vector<std::string> texts;
    /* fname: prints the file the context is running. */
    static uint32_t FileName(kxWord_t exec, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                             kxWord_t, kxWord_t, kxWord_t, kxWord_t)
    {
        printf("file=[%s]\n",
               kxMUtiCmd_ExecCurrentFileNameGet(reinterpret_cast<kxMUtiCmd_Exec_t *>(exec)));
        return KX_OK;
    }
    std::string dir_;
    std::vector<std::string> files_;
};

std::vector<std::string> SourceTest::texts;

TEST_F(SourceTest, StreamRunsEveryLineAndDropsStatuses)
{
    const std::string out = RunStream(nullptr, "rec a\n\nnope\n# note\nrec 'b\n  rec c");
    EXPECT_EQ(out, "\"nope\": unknown or ambiguous command\n");
    ASSERT_EQ(Recorder::calls.size(), 3u);
    EXPECT_EQ(Recorder::calls[2][0], reinterpret_cast<kxWord_t>(gpkxMUtiCmd_ExecGlobal));
    EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->flags, 0u);
}

TEST_F(SourceTest, LinesKeepTheirTerminator)
{
    const std::string out = RunStream(nullptr, "echo hello world\necho 'x\necho last");
    EXPECT_EQ(out, "hello world\n\n'x\n\nlast\n");
}

TEST_F(SourceTest, LongLinesArriveInPiecesOf1023)
{
    const std::string exact = "rec " + std::string(1019, 'x'); /* 1023 characters */
    const std::string longer = "rec " + std::string(1500, 'y');
    DbgRecorder dbg;
    *gkxMUtiCmd_DbgUnit |= 0x400;
    const std::string out = RunStream(nullptr, exact + "\n" + longer + "\n");
    ASSERT_EQ(Recorder::calls.size(), 2u);
    /* The newline after the exact line came as a line of its own. */
    EXPECT_EQ(dbg.PrintsAt(0x400),
              (std::vector<std::string>{"kxMUtiCmd_Exec nArgs=2", "kxMUtiCmd_Exec nArgs=0",
                                        "kxMUtiCmd_Exec nArgs=2", "kxMUtiCmd_Exec nArgs=1"}));
    EXPECT_EQ(texts.at(1), std::string(1019, 'y'));
    EXPECT_EQ(out, "\"" + std::string(481, 'y') + "\": unknown or ambiguous command\n");
}

TEST_F(SourceTest, QuitEndsTheRunAndANewRunStartsCleared)
{
    EXPECT_EQ(RunStream(nullptr, "rec 1\nquit\nrec 2\n"), "");
    EXPECT_EQ(Recorder::calls.size(), 1u);
    EXPECT_NE(gpkxMUtiCmd_ExecGlobal->flags & kxMUtiCmd_ExecFlagQuit, 0u) << "left set";
    RunStream(nullptr, "rec 3\n");
    EXPECT_EQ(Recorder::calls.size(), 2u);
    EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->flags & kxMUtiCmd_ExecFlagQuit, 0u);
}

TEST_F(SourceTest, PromptBeforeEveryInteractiveReadOnly)
{
    kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(nullptr);
    kxMUtiCmd_PromptSet(pExec, "> ");
    EXPECT_EQ(RunStream(pExec, "rec 1\n"), "") << "not interactive: no prompt";
    pExec->flags |= kxMUtiCmd_ExecFlagInteractive;
    EXPECT_EQ(RunStream(pExec, ""), "> ") << "the read that meets the end prompts too";
    EXPECT_EQ(RunStream(pExec, "echo a\n\necho b\n"), "> a\n\n> > b\n\n> ");
    kxMUtiCmd_PromptSet(pExec, nullptr);
    EXPECT_EQ(RunStream(pExec, "echo a\n"), "a\n\n");
}

TEST_F(SourceTest, MissingFileIsReportedAndChangesNothing)
{
    gpkxMUtiCmd_ExecGlobal->flags = kxMUtiCmd_ExecFlagInteractive | kxMUtiCmd_ExecFlagVerbose;
    CaptureStdout out;
    kxMUtiCmd_ExecFile(nullptr, "no/such file");
    EXPECT_EQ(out.Stop(), "ERROR: Cannot open \"no/such file\" for read.\n");
    EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->flags,
              (uint32_t)(kxMUtiCmd_ExecFlagInteractive | kxMUtiCmd_ExecFlagVerbose));
    EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->pFileName, nullptr);
}

TEST_F(SourceTest, FileRunsWithoutPromptAndNamesItselfThroughout)
{
    const std::string inner = Script("inner.kx", "fname\nrec in\n");
    const std::string outer =
        Script("outer.kx", "fname\nsource '" + inner + "'\nfname\nrec after\n");
    kxMUtiCmd_Exec_t *pExec = gpkxMUtiCmd_ExecGlobal;
    pExec->flags |= kxMUtiCmd_ExecFlagInteractive;
    CaptureStdout out;
    kxMUtiCmd_ExecFile(nullptr, outer.c_str());
    /* The inner run clears the name; it is not put back for the outer rest. */
    EXPECT_EQ(out.Stop(), "file=[" + outer + "]\nfile=[" + inner + "]\nfile=[]\n");
    EXPECT_EQ(Recorder::calls.size(), 2u);
    EXPECT_NE(pExec->flags & kxMUtiCmd_ExecFlagInteractive, 0u) << "restored";
    EXPECT_EQ(pExec->pFileName, nullptr);
}

TEST_F(SourceTest, SourcedNameSurvivesTheLinesThatOverwriteTheCopy)
{
    const std::string script = Script("s.kx", "rec a b c d e f g h i j k l m n o p\nfname\n");
    CaptureStdout out;
    kxMUtiCmd_ExecLine(nullptr, ("source " + script).c_str());
    EXPECT_EQ(out.Stop(), "file=[" + script + "]\n");
}

TEST_F(SourceTest, QuitInASourcedFileEndsTheOuterRunToo)
{
    const std::string inner = Script("q.kx", "rec 1\nquit\nrec 2\n");
    const std::string text = "source " + inner + "\nrec 3\n";
    RunStream(nullptr, text);
    EXPECT_EQ(Recorder::calls.size(), 1u);
}

TEST_F(SourceTest, QuitOnAnotherContextEndsOnlyThatRun)
{
    kxMUtiCmd_Exec_t *pSub = kxMUtiCmd_ExecNew(nullptr);
    const std::string inner = Script("sub.kx", "quit\n");
    kxMUtiCmd_ExecFile(pSub, inner.c_str());
    RunStream(nullptr, "rec 1\nrec 2\n");
    EXPECT_EQ(Recorder::calls.size(), 2u);
}

TEST_F(SourceTest, SelfSourcingScriptStopsAtTheDepthLimit)
{
    const std::string self = dir_ + "/self.kx";
    Script("self.kx", "rec x\nsource " + self + "\n");
    CaptureStdout out;
    kxMUtiCmd_ExecFile(nullptr, self.c_str());
    EXPECT_EQ(out.Stop(), "ERROR: \"" + self + "\" not run: scripts nested more than 64 deep.\n");
    EXPECT_EQ(Recorder::calls.size(), 64u);
    /* The limit counts live runs only: a later run starts from zero. */
    Recorder::Reset();
    CaptureStdout again;
    kxMUtiCmd_ExecFile(nullptr, self.c_str());
    EXPECT_EQ(Recorder::calls.size(), 64u);
}

TEST_F(SourceTest, ScriptsWithOddBytesRunToTheirEnd)
{
    std::string text = "rec a\r\n";
    text += std::string("rec b\0hidden\n", 13);
    text += "\x01\x02\xff garbage\n";
    text += "rec c"; /* no final newline */
    CaptureStdout out;
    kxMUtiCmd_ExecFile(nullptr, Script("odd.kx", text).c_str());
    out.Stop();
    ASSERT_EQ(Recorder::calls.size(), 3u);
    EXPECT_EQ(texts, (std::vector<std::string>{"a\r\n", "b", "c"}));
}

TEST_F(SourceTest, RunWithoutALineBufferReadsNothing)
{
    DbgRecorder dbg;
    const std::string text = "rec 1\n";
    FILE *pFile = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    FaultGuard guard;
    MUti_FaultArm(0, false);
    kxMUtiCmd_ExecFP(nullptr, pFile);
    MUti_FaultDisarm();
    EXPECT_EQ(ftell(pFile), 0);
    EXPECT_TRUE(Recorder::calls.empty());
    fclose(pFile);
}

TEST_F(SourceTest, SubLoopRunsTextFromItsFirstNonBlank)
{
    kxMUtiCmd_Exec_t *pSub = kxMUtiCmd_ExecNew(nullptr);
    const char *pText = " \t rec  x y";
    kxMUtiCmd_ExecSubLoop(pSub, pText);
    ASSERT_EQ(Recorder::calls.size(), 1u);
    EXPECT_EQ(pSub->pLine, pText + 3);
    EXPECT_EQ(texts.at(0), "x y");
}

TEST_F(SourceTest, SubLoopWithoutTextReadsStandardInput)
{
    const std::string input = Script("stdin.txt", "rec 1\n.rec 2\nquit\nrec 3\n");
    ASSERT_NE(freopen(input.c_str(), "r", stdin), nullptr);
    kxMUtiCmd_Exec_t *pSub = kxMUtiCmd_ExecNew(kxMUtiCmd_DefsNew());
    kxMUtiCmd_PromptSet(pSub, "sub> ");
    CaptureStdout out;
    kxMUtiCmd_ExecSubLoop(pSub, "  \n");
    EXPECT_EQ(out.Stop(), "sub> sub> sub> ");
    EXPECT_EQ(Recorder::calls.size(), 2u);
    EXPECT_NE(pSub->flags & kxMUtiCmd_ExecFlagInteractive, 0u);
    EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->flags & kxMUtiCmd_ExecFlagQuit, 0u);
    /* The loop after quit goes on reading where the sub-loop stopped. */
    CaptureStdout rest;
    kxMUtiCmd_ExecLoop(nullptr);
    EXPECT_EQ(rest.Stop(), ":) :) ");
    EXPECT_EQ(Recorder::calls.size(), 3u);
}

} // namespace

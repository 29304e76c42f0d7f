/* The built-in commands, the help listing above all. */
#include <string>

#include <gtest/gtest.h>

#include "CaptureStdout.h"
#include "InterpFixture.h"
#include "kxMUtiCmd.h"

namespace {

using InbuiltTest = InterpTest;

const std::string kHead = "Command Name     {alias} (args...)\n"
                          "---------------- " +
                          std::string(64, '-') + "\n";
const std::string kBlank17(17, ' ');

/* Runs one line on pExec (null: global) and returns its output. */
std::string RunLine(const char *pLine, kxMUtiCmd_Exec_t *pExec = nullptr)
{
    CaptureStdout out;
    kxMUtiCmd_ExecLine(pExec, pLine);
    return out.Stop();
}

TEST_F(InbuiltTest, HelpListsTheGlobalTable)
{
    const std::string want = kHead + "help             {?} ([<substring>]) Prints commands.\n" +
                             kBlank17 +
                             "Optional substring used for matching commands.\n"
                             "quit             Quits command loop\n"
                             "msleep           (<n>) Sleeps for <n> milliseconds\n"
                             "autosleep        (<n>) Sleeps for <n> milliseconds after every "
                             "command\n"
                             "verbose          (<0|1>) Prints commands as they are executed\n"
                             "echo             (...) prints its arguments\n"
                             "source           ([<path>]) Executes commands from a file.\n"
                             "#                Comment line - ignored\n";
    EXPECT_EQ(RunLine("help"), want);
    EXPECT_EQ(RunLine("?"), want);
}

TEST_F(InbuiltTest, HelpFiltersOnNameAliasAndHelpText)
{
    struct Case {
        const char *line;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"help sleep", {"msleep", "autosleep"}},
        {"help Prints", {"help", "verbose"}}, /* case matters: echo says "prints" */
        {"help ?", {"help"}},
        {"help zzz", {}},
        {"help 'Comment line'", {"#"}},
        {"help ''", {"help", "quit", "msleep", "autosleep", "verbose", "echo", "source", "#"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        const std::string out = RunLine(c.line);
        ASSERT_EQ(out.compare(0, kHead.size(), kHead), 0);
        std::vector<std::string> names;
        for (size_t pos = kHead.size(); pos < out.size();) {
            size_t end = out.find('\n', pos);
            std::string row = out.substr(pos, end - pos);
            if (row.compare(0, 17, kBlank17) != 0)
                names.push_back(row.substr(0, row.find(' ')));
            pos = end + 1;
        }
        EXPECT_EQ(names, c.names);
    }
}

TEST_F(InbuiltTest, HelpOfANestedContextListsItsOwnTableAndThenThePointer)
{
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(pDefs);
    kxMUtiCmd_Add(pDefs, Recorder::Handler, "peek", "pk", 0, "%x", 0, "(<addr>) Reads a word");
    kxMUtiCmd_Add(pDefs, Recorder::Handler, "bare", "", 0, "", 0, nullptr);
    EXPECT_EQ(RunLine("help", pExec),
              kHead + "peek             {pk} (<addr>) Reads a word\n"
                      "bare             \n"
                      "Commands are also available from the parent environment.\n"
                      "Use .<name> to start a command search in the parent environment.\n");
    /* Found in the parent's table, help still lists the calling context. */
    EXPECT_EQ(RunLine(".help", pExec), RunLine("help", pExec));
}

TEST_F(InbuiltTest, HelpOfAContextWithoutTableListsTheGlobalOne)
{
    kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(nullptr);
    const std::string out = RunLine("help", pExec);
    EXPECT_NE(out.find("\nsource "), std::string::npos);
    EXPECT_NE(out.find("parent environment"), std::string::npos);
}

TEST_F(InbuiltTest, HelpContinuationLinesAndVeryLongEntries)
{
    const std::string longName(300, 'n');
    const std::string longAlias(300, 'a');
    const std::string longHelp(600, 'h');
    const std::string multi = "one\n\ntwo\n" + longHelp + "\n\n";
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(pDefs);
    kxMUtiCmd_Add(pDefs, Recorder::Handler, "multi", nullptr, 0, "", 0, multi.c_str());
    kxMUtiCmd_Add(pDefs, Recorder::Handler, longName.c_str(), longAlias.c_str(), 0, "", 0,
                  longHelp.c_str());
    EXPECT_EQ(RunLine("help", pExec),
              kHead + "multi            one\n" + kBlank17 + "\n" + kBlank17 + "two\n" + kBlank17 +
                  longHelp + "\n" + kBlank17 + "\n" + longName + " {" + longAlias + "} " +
                  longHelp + "\n" +
                  "Commands are also available from the parent environment.\n"
                  "Use .<name> to start a command search in the parent "
                  "environment.\n");
}

TEST_F(InbuiltTest, EchoPrintsTheRestOfTheLineAsTyped)
{
    EXPECT_EQ(RunLine("echo hello world"), "hello world\n");
    EXPECT_EQ(RunLine("echo"), "\n");
    EXPECT_EQ(RunLine("  e   'a  b'  \"c\"  "), "'a  b'  \"c\"  \n");
    EXPECT_EQ(RunLine("echo line\n"), "line\n\n");
    CaptureStdout out;
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "echo x") & 0x80000000u, 0u) << "puts succeeded";
}

TEST_F(InbuiltTest, VerboseEchoesTheLinesBetweenOnAndOff)
{
    EXPECT_EQ(RunLine("verbose 2"), "") << "the line that turns it on is not echoed";
    EXPECT_NE(gpkxMUtiCmd_ExecGlobal->flags & kxMUtiCmd_ExecFlagVerbose, 0u);
    EXPECT_EQ(RunLine("echo hi"), "echo hi\nhi\n");
    EXPECT_EQ(RunLine("msleep x"),
              "msleep x\n\"msleep\": expecting unsigned integer argument: \"x\"\n");
    EXPECT_EQ(RunLine("verbose 0"), "verbose 0\n") << "the line that turns it off is";
    EXPECT_EQ(RunLine("echo hi"), "hi\n");
    EXPECT_EQ(RunLine("verbose"), "\"verbose\": insufficient arguments\n");
    EXPECT_EQ(RunLine("verbose -1"), "");
    EXPECT_NE(gpkxMUtiCmd_ExecGlobal->flags & kxMUtiCmd_ExecFlagVerbose, 0u);
}

TEST_F(InbuiltTest, AutoSleepAndMilliSleepTakeUnsignedNumbers)
{
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "autosleep 1"), KX_OK);
    EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->autoSleepMs, 1u);
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "autosleep 0"), KX_OK);
    EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->autoSleepMs, 0u);
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "msleep 0"), KX_OK);
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "msleep 1"), KX_OK);
    EXPECT_EQ(RunLine("autosleep 1 2"), "\"autosleep\": 1 too many command parameters supplied\n");
    EXPECT_EQ(RunLine("msleep"), "\"msleep\": insufficient arguments\n");
}

TEST_F(InbuiltTest, QuitSetsTheBitOfTheCallingContext)
{
    kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(kxMUtiCmd_DefsNew());
    EXPECT_EQ(kxMUtiCmd_ExecLine(pExec, ".quit"), KX_OK);
    EXPECT_EQ(pExec->flags, (uint32_t)kxMUtiCmd_ExecFlagQuit);
    EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->flags, 0u);
}

TEST_F(InbuiltTest, SourceNeedsAPath)
{
    EXPECT_EQ(RunLine("source"), "\"source\": insufficient arguments\n");
    EXPECT_EQ(RunLine("so /nonexistent/x"), "ERROR: Cannot open \"/nonexistent/x\" for read.\n");
    CaptureStdout out;
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "source"), kxMUtiCmd_StatusTooFew);
}

TEST_F(InbuiltTest, RedefinedBuiltinRunsTheHostHandler)
{
    AddRec("echo", "%s");
    EXPECT_EQ(RunLine("echo word"), "");
    ASSERT_EQ(Recorder::calls.size(), 1u);
}

} // namespace

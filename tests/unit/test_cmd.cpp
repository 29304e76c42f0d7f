/* The interpreter where the end-to-end cases cannot look: lookup kinds, registration, a
 * cyclic chain, nested loops on piped input, sleeping, allocations per line and memory
 * running out.  Dots, formats and slots are end-to-end cases. */
#include <array>
#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "CaptureStdout.h"
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

kxMUtiCmd_Def_t *Add(const char *pName, const char *pFormat, kxMUtiCmd_Defs_t *pDefs = nullptr,
                     const char *pAlias = nullptr, kxWord_t userData = 0)
{
    return kxMUtiCmd_Add(pDefs, Rec, pName, pAlias, 0, pFormat, userData, nullptr);
}

/* Every test starts from a first start-up; earlier records stay allocated by design. */
class Cmd : public ::testing::Test {
  protected:
    void SetUp() override
    {
        gpkxMUtiCmd_DefsGlobal = nullptr;
        gpkxMUtiCmd_ExecGlobal = nullptr;
        gCalls.clear();
        qvStbDbg_TestQuiet(1); /* reports are expected: memory runs out on purpose */
        ASSERT_EQ(kxMUtiCmd_Init(0), KX_OK);
    }
    CaptureStdout out_; /* keeps the messages out of the test log */
};

} // namespace

TEST_F(Cmd, LookupByNameFirstCharacterAliasAndUniquePrefix)
{
    Add("status", "");
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    const std::pair<const char *, const char *> names[] = {
        {"read", "x"}, {"reset", nullptr}, {"xray", nullptr}, {"write", "wr"}, {"wrap", "wr"}};
    for (auto [pName, pAlias] : names)
        Add(pName, "", pDefs, pAlias);
    kxMUtiCmd_Add(pDefs, Rec, "!", nullptr, kxMUtiCmd_DefFlagFirstChar, "", 0, nullptr);
    // clang-format off
    const std::tuple<kxMUtiCmd_Defs_t *, const char *, uint32_t, std::string> cases[] = {
        {nullptr, "help", 3, "help"}, {nullptr, "?", 2, "help"}, {nullptr, "he", 1, "help"},
        {nullptr, "s", 0, "-"}, {nullptr, "st", 1, "status"}, {nullptr, "#!", 3, "#"},
        {nullptr, "helpme", 0, "-"}, {nullptr, "Help", 0, "-"}, {nullptr, "", 0, "-"},
        {pDefs, "x", 2, "read"}, /* an alias beats a unique prefix */
        {pDefs, "wr", 0, "-"}, {pDefs, "wri", 1, "write"}, {pDefs, "!x", 3, "!"}};
    // clang-format on
    for (const auto &[pTable, pWord, kind, found] : cases) {
        uint32_t got = 99;
        const kxMUtiCmd_Def_t *pDef = kxMUtiCmd_DefsLookup(pTable, pWord, &got);
        EXPECT_EQ(std::tuple(got, std::string(pDef ? pDef->pName : "-")), std::tuple(kind, found))
            << pWord;
    }
    const uint32_t nDefs = pDefs->nDefs; /* a full name redefines in place */
    EXPECT_EQ(Add("read", "%s", pDefs), pDefs->pDefVec->pEntries[0]);
    EXPECT_EQ(pDefs->nDefs, nDefs);
}

TEST_F(Cmd, OnlyAnExactNameRedefinesACommand)
{
    Add("status", "%u", nullptr, "st");
    const uint32_t nDefs = gpkxMUtiCmd_DefsGlobal->nDefs;
    /* A prefix of its name and its alias are new commands: status keeps its name and format. */
    for (const char *pName : {"stat", "st"}) {
        ASSERT_NE(Add(pName, "%s"), nullptr);
        EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "status 5"), kRan) << "after adding " << pName;
    }
    EXPECT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, nDefs + 2);
    EXPECT_EQ(gCalls.size(), 2u);
}

TEST_F(Cmd, SubLoopOnBlankTextReadsTheInputUntilQuit)
{
    Add("rec", "%s");
    char path[] = "/tmp/kxsubloopXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string input = "rec a\nquit\nrec b\n"; /* the line after quit stays unread */
    ASSERT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(fd);
    for (const char *pText : {static_cast<const char *>(nullptr), "", " \t\r\n"}) {
        ASSERT_NE(freopen(path, "r", stdin), nullptr);
        kxMUtiCmd_ExecSubLoop(nullptr, pText);
        EXPECT_EQ(gCalls.size(), 1u) << "text \"" << (pText ? pText : "(null)") << '"';
        gCalls.clear();
    }
    unlink(path);
    kxMUtiCmd_ExecSubLoop(nullptr, " rec c"); /* a word: one line, no input read */
    EXPECT_STREQ(reinterpret_cast<const char *>(gCalls.at(0)[0]), "c");
}

TEST_F(Cmd, MsleepSleepsAtLeastAsLongAsAsked)
{
    /* Past a second, so both the seconds and the nanoseconds of the request count. */
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "msleep 1001"), KX_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1001));
}

TEST_F(Cmd, SearchClimbsTheChainUnlessItIsACycle)
{
    kxMUtiCmd_Exec_t *pSub = kxMUtiCmd_ExecNew(kxMUtiCmd_DefsNew());
    Add("peek", "%E");
    EXPECT_EQ(std::tuple(kxMUtiCmd_ExecLine(pSub, "pe"), kxMUtiCmd_ExecLine(pSub, "..pe")),
              std::tuple(kRan, kxMUtiCmd_StatusUnknown));
    EXPECT_EQ(gCalls.at(0)[0], reinterpret_cast<kxWord_t>(pSub)) << "the calling context";
    kxMUtiCmd_ParentSet(gpkxMUtiCmd_ExecGlobal, pSub); /* a host's mistake: the search gives up */
    EXPECT_EQ(kxMUtiCmd_ExecLine(pSub, "nothing"), kxMUtiCmd_StatusUnknown);
}

TEST_F(Cmd, WarmContextAllocatesNothingPerLine)
{
    Add("add", "%u%u");
    Add("sum", "%d+");
    const char *lines[] = {"add 1 2", "sum 1 2 3 4 5 6 7 8 9 10 11 12", "a 5 6", "# x", "", "ad x"};
    for (const char *line : lines)
        kxMUtiCmd_ExecLine(nullptr, line);
    const unsigned long before = MUti_AllocCount();
    for (int i = 0; i < 600; i++)
        kxMUtiCmd_ExecLine(nullptr, lines[i % 6]);
    EXPECT_EQ(MUti_AllocCount(), before);
    EXPECT_EQ(gCalls.size(), 2u + 2 * 100) << "add and sum ran every time";
}

/* again <word>: runs a word of its own line as a line on the same context. */
uint32_t Again(kxWord_t exec, kxWord_t word, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
               kxWord_t, kxWord_t, kxWord_t)
{
    return kxMUtiCmd_ExecLine(reinterpret_cast<kxMUtiCmd_Exec_t *>(exec),
                              reinterpret_cast<const char *>(word));
}

TEST_F(Cmd, MemoryRunningOutNeverBreaksTablesOrContexts)
{
    /* Start-up: the records are whole or absent. */
    ForEachAllocFailure([] {
        gpkxMUtiCmd_DefsGlobal = nullptr;
        gpkxMUtiCmd_ExecGlobal = nullptr;
        kxMUtiCmd_Init(0);
        const kxMUtiCmd_Defs_t *pDefs = gpkxMUtiCmd_DefsGlobal;
        EXPECT_TRUE(!pDefs || pDefs->nDefs == pDefs->pDefVec->used);
        EXPECT_TRUE(!gpkxMUtiCmd_ExecGlobal || gpkxMUtiCmd_ExecGlobal->pTempVec);
    });
    ASSERT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, 8u);
    EXPECT_EQ(kxMUtiCmd_Add(nullptr, Again, "again", nullptr, 0, "%E%s", 0, nullptr)->pName,
              std::string("again"));
    Add("cmd", "%s*");
    std::string line = "cmd"; /* past the first word vector and list storage */
    for (int i = 0; i < 150; i++)
        line += " w";
    /* A table that must grow, a new context, a line that grows it (or runs a word of its
     * own): each run ends whole, with the handler's status or an out-of-memory one. */
    static std::deque<std::string> names; /* the table keeps names by pointer */
    auto body = [&](const std::string &text) {
        kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(nullptr);
        const uint32_t nDefs = gpkxMUtiCmd_DefsGlobal->nDefs;
        const bool added = Add(names.emplace_back("n" + std::to_string(nDefs)).c_str(), "");
        EXPECT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, nDefs + added);
        const uint32_t status = pExec ? kxMUtiCmd_ExecLine(pExec, text.c_str()) : kRan;
        EXPECT_TRUE(status == kRan || (MUti_FaultInjected() != 0 &&
                                       (status == KX_ERR_NOMEM || status == 0xFFFFFF01u)))
            << std::hex << status;
        EXPECT_TRUE(!pExec || pExec->nWords <= pExec->pWords->used);
    };
    ForEachAllocFailure([&] { body(line); });
    ForEachAllocFailure([&] { body("again 'cmd a  b'"); });
}

// Completion candidates through kxMUtiCon_Complete, without a terminal:
// the parent chain, leading dots, aliases, shadowing, ambiguity, argument
// completers and file names.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "kxMUtiConsole.h"

namespace {

uint32_t Nop(kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
             kxWord_t, kxWord_t)
{
    return KX_OK;
}

kxMUtiCmd_Exec_t *gpChild; // table: md {d}, tune, status {st}; parent: global
kxMUtiCmd_Def_t *gpTune;   // gets a completer in one test

// Global: the built-ins and md {d}, mw, demod, dev.
void Start()
{
    if (gpChild != nullptr)
        return;
    kxMUtiCmd_Init(0);
    kxMUtiCmd_Add(nullptr, Nop, "md", "d", 0, "%l", 0, nullptr);
    kxMUtiCmd_Add(nullptr, Nop, "mw", nullptr, 0, "%l", 0, nullptr);
    kxMUtiCmd_Add(nullptr, Nop, "demod", nullptr, 0, "%l", 0, nullptr);
    kxMUtiCmd_Add(nullptr, Nop, "dev", nullptr, 0, "%l", 0, nullptr);
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    kxMUtiCmd_Add(pDefs, Nop, "md", nullptr, 0, "%l", 0, nullptr);
    gpTune = kxMUtiCmd_Add(pDefs, Nop, "tune", nullptr, 0, "%l", 0, nullptr);
    kxMUtiCmd_Add(pDefs, Nop, "status", "st", 0, "%l", 0, nullptr);
    gpChild = kxMUtiCmd_ExecNew(pDefs);
}

// The candidates joined by blanks, and where the completed word starts.
std::string Complete(kxMUtiCmd_Exec_t *pExec, const char *pLine, uint32_t cursor = 9999,
                     uint32_t *pStart = nullptr)
{
    kxMUtiCon_Completion_t comp;
    EXPECT_EQ(kxMUtiCon_Complete(pExec, pLine, cursor, &comp), KX_OK);
    std::string all;
    for (uint32_t i = 0; i < comp.candidates.used; i++)
        all += (i ? " " : "") + std::string(static_cast<char *>(comp.candidates.pEntries[i]));
    if (pStart != nullptr)
        *pStart = comp.start;
    kxMUtiCon_CompletionDeInit(&comp);
    return all;
}

struct Case {
    bool child;          // complete in the child context, else the global one
    const char *pLine;   // text before the cursor
    const char *pExpect; // candidates, sorted, blank-separated
    const char *pWhy;
};

constexpr Case kCommandCases[] = {
    {false, "m", "md msleep mw", "prefix over the global table"},
    {false, "d", "d demod dev", "an alias is a candidate beside the names"},
    {false, "ec", "echo", "a unique prefix"},
    {false, "zz", "", "nothing matches"},
    {false, ".m", "", "the global context has no parent"},
    {false, "#", "", "a comment line has nothing to complete"},
    {true, "m", "md msleep mw", "child and parent, md shadowed and offered once"},
    {true, "s", "source st status", "ambiguous across the chain: all listed"},
    {true, "t", "tune", "the child's own command"},
    {true, ".m", ".md .msleep .mw", "a dot starts at the parent and is kept"},
    {true, ".t", "", "the dot skips the child's table"},
    {true, "..m", "", "two dots run past the end of the chain"},
    {true, "  st", "st status", "leading blanks"},
    {true, "'st", "st status", "a quoted command word"},
    {true, "tune 4", "", "arguments of a command without a completer"},
};

TEST(ConsoleComplete, CommandWordsAlongTheChain)
{
    Start();
    for (const Case &c : kCommandCases)
        EXPECT_EQ(Complete(c.child ? gpChild : nullptr, c.pLine), c.pExpect)
            << c.pWhy << ": \"" << c.pLine << "\"";
}

TEST(ConsoleComplete, WordAtTheCursor)
{
    Start();
    uint32_t start = 0;
    EXPECT_EQ(Complete(nullptr, "mw 80", 1, &start), "md msleep mw") << "cursor inside the line";
    EXPECT_EQ((Complete(nullptr, "so \"x", 9999, &start), start), 4u) << "after the quote";
}

uint32_t Bands(kxMUtiCon_Completion_t *pOut, kxMUtiCmd_Exec_t *, const kxMUtiCmd_Def_t *pDef,
               uint32_t argIndex, const char *pWord, void *pUser)
{
    EXPECT_EQ(pDef, gpTune);
    EXPECT_STREQ(static_cast<const char *>(pUser), "user");
    if (argIndex != 1)
        return KX_OK;
    for (const char *p : {"474000", "482000", "858000", "474000"})
        if (strncmp(p, pWord, strlen(pWord)) == 0 && kxMUtiCon_CompletionAdd(pOut, p) != KX_OK)
            return KX_ERR_NOMEM;
    return KX_OK;
}

TEST(ConsoleComplete, HostCompleterForArguments)
{
    Start();
    static char user[] = "user";
    ASSERT_EQ(kxMUtiCon_CompleterSet(gpTune, Bands, user), KX_OK);
    EXPECT_EQ(Complete(gpChild, "tune 4"), "474000 482000") << "sorted, repeats dropped";
    EXPECT_EQ(Complete(gpChild, "tu 8"), "858000") << "found through an abbreviation";
    EXPECT_EQ(Complete(gpChild, "tune 474000 "), "") << "second argument: none offered";
    EXPECT_EQ(Complete(nullptr, "tune "), "") << "not reachable from the global context";
    ASSERT_EQ(kxMUtiCon_CompleterSet(gpTune, nullptr, nullptr), KX_OK);
    EXPECT_EQ(Complete(gpChild, "tune 4"), "") << "detached";
}

TEST(ConsoleComplete, SourceCompletesFileNames)
{
    Start();
    char folder[] = "/tmp/kxconXXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string root = folder;
    ASSERT_EQ(mkdir((root + "/scripts").c_str(), 0700), 0);
    for (const char *pName : {"/scripts/boot.kx", "/scripts/burn.kx", "/scan.kx", "/.hidden"})
        fclose(fopen((root + pName).c_str(), "w"));

    struct Row {
        std::string line, expect;
    } rows[] = {
        {"source " + root + "/s", root + "/scan.kx " + root + "/scripts/"},
        {"source " + root + "/scripts/b", root + "/scripts/boot.kx " + root + "/scripts/burn.kx"},
        {"so " + root + "/scripts/bo", root + "/scripts/boot.kx"},
        {"source " + root + "/.h", root + "/.hidden"},
        {"source " + root + "/nothing/", ""},
    };
    for (const Row &r : rows)
        EXPECT_EQ(Complete(gpChild, r.line.c_str()), r.expect) << r.line;
    for (const char *pName : {"/scripts/boot.kx", "/scripts/burn.kx", "/scan.kx", "/.hidden"})
        unlink((root + pName).c_str());
    rmdir((root + "/scripts").c_str());
    rmdir(folder);
}

} // namespace

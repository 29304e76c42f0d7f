// Completion candidates through kxMUtiCon_Complete, without a terminal:
// the parent chain, leading dots, aliases, shadowing, ambiguity, argument
// completers and file names; and the caller's signal state around a loop
// run on a pseudo-terminal.
#include <ctype.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
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
    {true, ".d", ".d .demod .dev", "an alias behind a dot"},
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
        {"source ", "scan.kx scripts/"},
        {"source .", ".hidden"},
        {"source scripts/", "scripts/boot.kx scripts/burn.kx"},
    };
    char *pHere = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(folder), 0);
    for (const Row &r : rows)
        EXPECT_EQ(Complete(gpChild, r.line.c_str()), r.expect) << r.line;
    EXPECT_EQ(chdir(pHere), 0);
    free(pHere);
    std::filesystem::remove_all(root);
}

TEST(ConsoleComplete, ArgumentThatIsACommandLine)
{
    Start();
    uint32_t kind = kxMUtiCmd_MatchNone;
    const kxMUtiCmd_Def_t *pDev = kxMUtiCmd_DefsLookup(nullptr, "dev", &kind);
    const kxMUtiCmd_Def_t *pEcho = kxMUtiCmd_DefsLookup(nullptr, "echo", &kind);
    ASSERT_EQ(kxMUtiCon_CompleterSet(pDev, kxMUtiCon_CompleteCommandLine, gpChild), KX_OK);
    ASSERT_EQ(kxMUtiCon_CompleterSet(pEcho, kxMUtiCon_CompleteCommandLine, nullptr), KX_OK);
    ASSERT_EQ(kxMUtiCon_CompleterSet(gpTune, Bands, const_cast<char *>("user")), KX_OK);
    uint32_t start = 0;
    EXPECT_EQ(Complete(nullptr, "dev tu", 9999, &start), "tune") << "the other context's table";
    EXPECT_EQ(start, 4u);
    EXPECT_EQ(Complete(nullptr, "dev tune 4"), "474000 482000") << "its argument completer";
    EXPECT_EQ(Complete(nullptr, "dev .m"), ".md .msleep .mw") << "dots from the other context";
    EXPECT_EQ((Complete(nullptr, "dev  'st", 9999, &start), start), 6u) << "a quoted word";
    EXPECT_EQ(Complete(nullptr, "dev  'st"), "st status");
    EXPECT_EQ(Complete(nullptr, "echo echo dev tu"), "tune") << "nested, null: the same context";
    EXPECT_EQ(Complete(gpChild, "echo tu"), "tune") << "null: the context typed in";
    EXPECT_EQ(Complete(nullptr, "echo tu"), "");
    for (const kxMUtiCmd_Def_t *pDef : {pDev, pEcho, const_cast<const kxMUtiCmd_Def_t *>(gpTune)})
        ASSERT_EQ(kxMUtiCon_CompleterSet(pDef, nullptr, nullptr), KX_OK);
}

// Words part where the interpreter parts them, whatever the locale's
// isspace says: a locale whose space class holds byte 0xA0 is made here.
TEST(ConsoleComplete, BlanksAreTheInterpretersInAnyLocale)
{
    Start();
    char folder[] = "/tmp/kxlocXXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string root = folder;
    FILE *pSrc = fopen((root + "/nbsp.src").c_str(), "w");
    ASSERT_NE(pSrc, nullptr);
    fputs("LC_CTYPE\nspace <U0020>;<U000C>;<U000A>;<U000D>;<U0009>;<U000B>;<U00A0>\n"
          "END LC_CTYPE\n",
          pSrc);
    fclose(pSrc);
    const std::string make =
        "localedef -c -i " + root + "/nbsp.src -f ISO-8859-1 " + root + "/nbsp >/dev/null 2>&1";
    int made = system(make.c_str()); /* warnings of a partial locale give status 1 */
    (void)made;
    setenv("LOCPATH", folder, 1);
    bool set = setlocale(LC_CTYPE, "nbsp") != nullptr && isspace(0xA0);
    if (set) {
        ASSERT_EQ(kxMUtiCon_CompleterSet(gpTune, Bands, const_cast<char *>("user")), KX_OK);
        uint32_t start = 9;
        // \x34 is the digit 4.
        EXPECT_EQ(Complete(gpChild, "tune\xA0\x34", 9999, &start), "") << "one word, no command";
        EXPECT_EQ(start, 0u);
        EXPECT_EQ(Complete(gpChild, "tune \xA0\x34"), "") << "an argument \\xA04";
        ASSERT_EQ(kxMUtiCon_CompleterSet(gpTune, nullptr, nullptr), KX_OK);
        setlocale(LC_CTYPE, "C");
    }
    unsetenv("LOCPATH");
    EXPECT_EQ(system(("rm -rf " + root).c_str()), 0);
    if (!set)
        GTEST_SKIP() << "localedef cannot make a test locale here";
}

// A loop on a terminal: afterwards the caller's signal mask and its
// SIGINT and SIGWINCH actions are exactly what they were.
void CallerHandler(int) {}

bool SameAction(const struct sigaction &a, const struct sigaction &b)
{
    if (a.sa_handler != b.sa_handler || a.sa_flags != b.sa_flags)
        return false;
    for (int sig = 1; sig < 32; sig++)
        if (sigismember(&a.sa_mask, sig) != sigismember(&b.sa_mask, sig))
            return false;
    return true;
}

TEST(ConsoleLoop, CallerSignalStateKeptOnATerminal)
{
    Start();
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        GTEST_SKIP() << "no pseudo-terminal";
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(write(master, "quit\r", 5), 5);

    sigset_t block, before, after;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGUSR1);
    sigprocmask(SIG_BLOCK, &block, &before);
    struct sigaction mine = {}, oldInt, oldWinch, wantInt, wantWinch, gotInt, gotWinch;
    mine.sa_handler = CallerHandler;
    mine.sa_flags = SA_RESTART;
    sigaddset(&mine.sa_mask, SIGUSR2);
    sigaction(SIGINT, &mine, &oldInt);
    mine.sa_flags = 0;
    sigaction(SIGWINCH, &mine, &oldWinch);
    sigaction(SIGINT, nullptr, &wantInt);
    sigaction(SIGWINCH, nullptr, &wantWinch);
    sigprocmask(SIG_SETMASK, nullptr, &before);

    fflush(stdout);
    int savedIn = dup(STDIN_FILENO), savedOut = dup(STDOUT_FILENO);
    dup2(slave, STDIN_FILENO);
    dup2(slave, STDOUT_FILENO);
    kxMUtiCon_Loop(nullptr);
    fflush(stdout);
    dup2(savedIn, STDIN_FILENO);
    dup2(savedOut, STDOUT_FILENO);
    for (int fd : {savedIn, savedOut, slave, master})
        close(fd);

    sigprocmask(SIG_SETMASK, nullptr, &after);
    sigaction(SIGINT, &oldInt, &gotInt);
    sigaction(SIGWINCH, &oldWinch, &gotWinch);
    sigprocmask(SIG_UNBLOCK, &block, nullptr);
    for (int sig = 1; sig < 32; sig++)
        EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig)) << "signal " << sig;
    EXPECT_TRUE(SameAction(gotInt, wantInt)) << "SIGINT action";
    EXPECT_TRUE(SameAction(gotWinch, wantWinch)) << "SIGWINCH action";
}

} // namespace

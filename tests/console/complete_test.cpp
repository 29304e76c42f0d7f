// Completion through kxMUtiCon_Complete, no terminal needed; and the
// caller's signal state around a loop run on a pseudo-terminal.
#include <ctype.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "kxMUtiConsole.h"

namespace {

#define KX_W kxWord_t
constexpr kxMUtiCmd_Handler_t Nop = [](KX_W, KX_W, KX_W, KX_W, KX_W, KX_W, KX_W, KX_W, KX_W,
                                       KX_W) -> uint32_t { return KX_OK; };

kxMUtiCmd_Exec_t *gpChild; // table: md {d}, tune, status {st}; parent: global
kxMUtiCmd_Def_t *gpTune;   // its arguments complete to bands

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

// A scratch folder, the working folder of the whole run: scripts/boot.kx,
// scripts/burn.kx, scan.kx and .hidden.
struct Scratch {
    std::filesystem::path root;
    ~Scratch() { std::filesystem::remove_all(root); }
} gScratch;

// Global: the built-ins and md {d}, mw, demod, dev; dev's arguments are a
// command line of the child, echo's one of the context typed in.
void Start()
{
    if (gpChild != nullptr)
        return;
    char folder[] = "/tmp/kxconXXXXXX";
    gScratch.root = mkdtemp(folder);
    std::filesystem::create_directory(gScratch.root / "scripts");
    for (const char *pName : {"scripts/boot.kx", "scripts/burn.kx", "scan.kx", ".hidden"})
        fclose(fopen((gScratch.root / pName).c_str(), "w"));
    std::filesystem::current_path(gScratch.root);
    kxMUtiCmd_Init(0);
    kxMUtiCmd_Add(nullptr, Nop, "md", "d", 0, "%l", 0, nullptr);
    kxMUtiCmd_Add(nullptr, Nop, "mw", nullptr, 0, "%l", 0, nullptr);
    kxMUtiCmd_Add(nullptr, Nop, "demod", nullptr, 0, "%l", 0, nullptr);
    kxMUtiCmd_Def_t *pDev = kxMUtiCmd_Add(nullptr, Nop, "dev", nullptr, 0, "%l", 0, nullptr);
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    kxMUtiCmd_Add(pDefs, Nop, "md", nullptr, 0, "%l", 0, nullptr);
    gpTune = kxMUtiCmd_Add(pDefs, Nop, "tune", nullptr, 0, "%l", 0, nullptr);
    kxMUtiCmd_Add(pDefs, Nop, "status", "st", 0, "%l", 0, nullptr);
    gpChild = kxMUtiCmd_ExecNew(pDefs);
    uint32_t kind = kxMUtiCmd_MatchNone;
    kxMUtiCon_CompleterSet(gpTune, Bands, const_cast<char *>("user"));
    kxMUtiCon_CompleterSet(pDev, kxMUtiCon_CompleteCommandLine, gpChild);
    kxMUtiCon_CompleterSet(kxMUtiCmd_DefsLookup(nullptr, "echo", &kind),
                           kxMUtiCon_CompleteCommandLine, nullptr);
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
    const char *pLine;   // the line
    const char *pExpect; // candidates, sorted, blank-separated
    const char *pWhy;
    uint32_t cursor = 9999; // where the cursor is
    int start = -1;         // where the completed word starts; -1: not checked
};

const Case kCases[] = {
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
    {true, "md 4", "", "arguments of a command without a completer"},
    {false, "mw 80", "md msleep mw", "cursor inside the line", 1, 0},
    {false, "so \"x", "", "a file name starts after the quote", 9999, 4},
    {true, "tune 4", "474000 482000", "host completer: sorted, repeats dropped"},
    {true, "tu 8", "858000", "host completer found through an abbreviation"},
    {true, "tune 474000 ", "", "host completer: no second argument offered"},
    {false, "tune ", "", "host completer not reachable from the global context"},
    {false, "dev tu", "tune", "dev: the other context's table", 9999, 4},
    {false, "dev tune 4", "474000 482000", "dev: the other context's argument completer"},
    {false, "dev .m", ".md .msleep .mw", "dev: dots from the other context"},
    {false, "dev  'st", "st status", "dev: a quoted word", 9999, 6},
    {false, "echo echo dev tu", "tune", "nested; echo's null: the same context"},
    {true, "echo tu", "tune", "echo's null: the context typed in"},
    {false, "echo tu", "", "echo's null: the global context"},
    {true, "source s", "scan.kx scripts/", "a folder takes a slash, no blank"},
    {true, "source ", "scan.kx scripts/", "the working folder, hidden entries left out"},
    {true, "source .", ".hidden", "a dot asks for hidden entries"},
    {true, "source scripts/", "scripts/boot.kx scripts/burn.kx", "inside a folder"},
    {true, "so scripts/bo", "scripts/boot.kx", "source by its prefix"},
    {true, "source nothing/", "", "no such folder"},
};

TEST(ConsoleComplete, CandidatesAndWhereTheWordStarts)
{
    Start();
    for (const Case &c : kCases) {
        uint32_t start = 0;
        EXPECT_EQ(Complete(c.child ? gpChild : nullptr, c.pLine, c.cursor, &start), c.pExpect)
            << c.pWhy << ": \"" << c.pLine << "\"";
        EXPECT_EQ(start, c.start < 0 ? start : static_cast<uint32_t>(c.start)) << c.pWhy;
    }
    const std::string root = gScratch.root.string();
    EXPECT_EQ(Complete(gpChild, ("so " + root + "/s").c_str()),
              root + "/scan.kx " + root + "/scripts/");
    EXPECT_EQ(Complete(gpChild, ("so " + root + "/.h").c_str()), root + "/.hidden") << "absolute";
    ASSERT_EQ(kxMUtiCon_CompleterSet(gpTune, nullptr, nullptr), KX_OK);
    EXPECT_EQ(Complete(gpChild, "tune 4"), "") << "completer detached";
    ASSERT_EQ(kxMUtiCon_CompleterSet(gpTune, Bands, const_cast<char *>("user")), KX_OK);
}

// Words part where the interpreter parts them, whatever the locale's
// isspace says: a locale whose space class holds byte 0xA0 is made here.
TEST(ConsoleComplete, BlanksAreTheInterpretersInAnyLocale)
{
    Start();
    std::ofstream("nbsp.src") << "LC_CTYPE\nspace <U0020>;<U000C>;<U000A>;<U000D>;<U0009>;"
                                 "<U000B>;<U00A0>\nEND LC_CTYPE\n";
    // Warnings of a partial locale give status 1: the locale is tried anyway.
    (void)!system("localedef -c -i nbsp.src -f ISO-8859-1 ./nbsp >/dev/null 2>&1");
    setenv("LOCPATH", gScratch.root.c_str(), 1);
    if (setlocale(LC_CTYPE, "nbsp") == nullptr || !isspace(0xA0))
        GTEST_SKIP() << "localedef cannot make a test locale here";
    uint32_t start = 9; // \x34 is the digit 4.
    EXPECT_EQ(Complete(gpChild, "tune\xA0\x34", 9999, &start), "") << "one word, no command";
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(Complete(gpChild, "tune \xA0\x34"), "") << "an argument \\xA04";
    setlocale(LC_CTYPE, "C");
}

// The signal mask and the SIGINT and SIGWINCH actions, as text.
void CallerHandler(int) {}

std::string SignalState()
{
    auto members = [](const sigset_t &set, std::string s) {
        for (int sig = 1; sig < 32; sig++)
            s += sigismember(&set, sig) ? " " + std::to_string(sig) : "";
        return s;
    };
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    std::string s = members(mask, "blocked");
    for (int sig : {SIGINT, SIGWINCH}) {
        struct sigaction a;
        sigaction(sig, nullptr, &a);
        s += members(a.sa_mask, "; " + std::to_string(sig) +
                                    (a.sa_handler == CallerHandler ? " caller's" : " other") +
                                    " flags " + std::to_string(a.sa_flags) + " mask");
    }
    return s;
}

// A loop on a terminal leaves the caller's blocked signals and handlers,
// SIGINT's among them, as they were.
TEST(ConsoleLoop, CallerSignalStateKeptOnATerminal)
{
    Start();
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        GTEST_SKIP() << "no pseudo-terminal";
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(write(master, "quit\r", 5), 5);
    struct sigaction mine = {}; // its mask, SIGINT and SIGUSR1, is also the one blocked
    mine.sa_handler = CallerHandler;
    sigaddset(&mine.sa_mask, SIGINT), sigaddset(&mine.sa_mask, SIGUSR1);
    sigprocmask(SIG_BLOCK, &mine.sa_mask, nullptr);
    sigaction(SIGWINCH, &mine, nullptr);
    mine.sa_flags = SA_RESTART;
    sigaction(SIGINT, &mine, nullptr);
    const std::string want = SignalState();

    fflush(stdout);
    int savedIn = dup(STDIN_FILENO), savedOut = dup(STDOUT_FILENO);
    dup2(slave, STDIN_FILENO), dup2(slave, STDOUT_FILENO);
    kxMUtiCon_Loop(nullptr);
    fflush(stdout);
    dup2(savedIn, STDIN_FILENO), dup2(savedOut, STDOUT_FILENO);
    for (int fd : {savedIn, savedOut, slave, master})
        close(fd);
    EXPECT_EQ(SignalState(), want);
    signal(SIGINT, SIG_DFL), signal(SIGWINCH, SIG_DFL);
    sigprocmask(SIG_UNBLOCK, &mine.sa_mask, nullptr);
}

} // namespace

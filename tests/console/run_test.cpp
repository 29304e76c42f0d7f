// The script runner: it must run a script exactly as kxMUtiCmd_ExecFile
// does (a differential test over the end-to-end scripts and generated
// ones), and count, name and stop at failing lines as its summary says.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "kxMUtiConsole.h"

namespace {

// fail <n>: returns n.  note ...: prints the running file's name and the
// line.  cancel: asks the running script to stop.
uint32_t Fail(kxWord_t n, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
              kxWord_t, kxWord_t)
{
    return static_cast<uint32_t>(n);
}

uint32_t Note(kxWord_t exec, kxWord_t line, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
              kxWord_t, kxWord_t, kxWord_t)
{
    const auto *pExec = reinterpret_cast<const kxMUtiCmd_Exec_t *>(exec);
    printf("[%s] %s", kxMUtiCmd_ExecCurrentFileNameGet(pExec), reinterpret_cast<char *>(line));
    return KX_OK;
}

uint32_t Cancel(kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                kxWord_t, kxWord_t)
{
    kxMUtiCon_Cancel();
    return KX_OK;
}

void Start()
{
    if (kxMUtiCmd_ExecGlobal() != nullptr)
        return;
    kxMUtiCmd_Init(0);
    kxMUtiCmd_Add(nullptr, Fail, "fail", nullptr, 0, "%u", 0, nullptr);
    kxMUtiCmd_Add(nullptr, Note, "note", nullptr, 0, "%E%L", 0, nullptr);
    kxMUtiCmd_Add(nullptr, Cancel, "cancel", nullptr, 0, "", 0, nullptr);
}

// A scratch folder that the test works in; removed with its files.
class Folder {
  public:
    Folder()
    {
        char path[] = "/tmp/kxrunXXXXXX";
        path_ = mkdtemp(path);
        getcwd(old_, sizeof old_);
        chdir(path_.c_str());
    }
    ~Folder()
    {
        for (const auto &name : files_)
            unlink(name.c_str());
        chdir(old_);
        rmdir(path_.c_str());
    }
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;
    void Write(const std::string &name, const std::string &text)
    {
        FILE *pFile = fopen(name.c_str(), "wb");
        fwrite(text.data(), 1, text.size(), pFile);
        fclose(pFile);
        files_.push_back(name);
    }

  private:
    std::string path_;
    char old_[4096] = {};
    std::vector<std::string> files_;
};

// ==== The differential test ================================================

// What a run leaves behind on its context, as far as it can be compared
// between two contexts: the flags, the automatic sleep, the file name and
// the last line's words and working copy.
std::string State(const kxMUtiCmd_Exec_t *pExec)
{
    std::string s = "flags=" + std::to_string(pExec->flags) +
                    " sleep=" + std::to_string(pExec->autoSleepMs) +
                    " file=" + (pExec->pFileName != nullptr ? pExec->pFileName : "(null)") +
                    " words=" + std::to_string(pExec->nWords);
    for (uint32_t i = 0; i < pExec->nWords; i++)
        s += std::string(" [") + static_cast<const char *>(pExec->pWords->pEntries[i]) + "]";
    return s + " copy=" + std::string(pExec->pLineBuf->pBuf, pExec->pLineBuf->len);
}

struct Size {
    unsigned scripts = 0, lines = 0;
    size_t bytes = 0;
};

// Runs pPath once through kxMUtiCmd_ExecFile and once through the runner,
// each on its own context with the given flags at entry; standard output
// and the final state must be the same.  Also a stream run of the same
// file (kxMUtiCmd_ExecFP against kxMUtiCon_RunFP).  Contexts are never
// freed, so the two are made once; each comparison leaves them in equal
// states, so the next one starts them equal.
void Compare(const char *pPath, uint32_t entryFlags, Size &size)
{
    static kxMUtiCmd_Exec_t *const pPlain = kxMUtiCmd_ExecNew(nullptr);
    static kxMUtiCmd_Exec_t *const pRun = kxMUtiCmd_ExecNew(nullptr);
    pPlain->flags = pRun->flags = entryFlags;
    std::string plain, ran;
    kxMUtiCon_RunSummary_t sum;
    {
        CaptureStdout out;
        kxMUtiCmd_ExecFile(pPlain, pPath);
        plain = out.Stop();
    }
    {
        CaptureStdout out;
        kxMUtiCon_RunFile(pRun, pPath, nullptr, &sum);
        ran = out.Stop();
    }
    ASSERT_EQ(plain, ran) << pPath << " flags " << entryFlags;
    ASSERT_EQ(State(pPlain), State(pRun)) << pPath;
    size.scripts++, size.lines += sum.nLines, size.bytes += ran.size();
    kxMUtiCon_RunSummaryDeInit(&sum);

    FILE *pA = fopen(pPath, "r");
    FILE *pB = fopen(pPath, "r");
    if (pA == nullptr || pB == nullptr) {
        ASSERT_TRUE(pA == nullptr && pB == nullptr);
        return;
    }
    {
        CaptureStdout out;
        kxMUtiCmd_ExecFP(pPlain, pA);
        plain = out.Stop();
    }
    {
        CaptureStdout out;
        kxMUtiCon_RunFP(pRun, pB, pPath, nullptr, &sum);
        ran = out.Stop();
    }
    fclose(pA), fclose(pB);
    ASSERT_EQ(plain, ran) << pPath << " as a stream";
    ASSERT_EQ(State(pPlain), State(pRun)) << pPath << " as a stream";
    size.lines += sum.nLines, size.bytes += ran.size();
    kxMUtiCon_RunSummaryDeInit(&sum);
}

// Random scripts: text of every kind a script meets (blank, comment,
// quoted, unknown, prefix and bad-argument lines, long lines and lines of
// exactly 1023 characters, NUL bytes, CR-LF, verbose on and off, no final
// line end), sourcing one another.  File i sources only files after it, at
// most once, so the runs stay short; self.kx sources itself and quits.kx
// quits from inside a nested file.
class Generator {
  public:
    explicit Generator(unsigned seed) : rng_(seed) {}

    std::string Script(int index, int nFiles)
    {
        std::string text;
        const bool crlf = Pick(5) == 0;
        const int nLines = 3 + Pick(30);
        bool sourced = false;
        for (int i = 0; i < nLines; i++) {
            std::string line = Line();
            if (!sourced && Pick(6) == 0) {
                sourced = true;
                const int target = index + 1 + Pick(4);
                const char *pHow[] = {"source", "so", "sou", "  source", "\"source\""};
                const char *pCommand = pHow[Pick(5)];
                line = std::string(pCommand) + " " +
                       (target < nFiles ? "f" + std::to_string(target) + ".kx" : "missing.kx");
            }
            text += line + (crlf ? "\r\n" : "\n");
        }
        if (Pick(4) == 0) // no line end on the last line
            text += "echo last " + Word();
        return text;
    }

  private:
    int Pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }

    std::string Word()
    {
        static const char kChars[] = "abcxyz019 '\"#.\t";
        std::string w;
        for (int n = 1 + Pick(8); n > 0; n--)
            w += kChars[Pick(static_cast<int>(sizeof kChars) - 1)];
        return w;
    }

    std::string Line()
    {
        switch (Pick(24)) {
        case 0:
            return "";
        case 1:
            return "   \t";
        case 2:
            return "# comment " + Word();
        case 3:
            return "nosuch " + Word();
        case 4:
            return "msleep " + Word();
        case 5:
            return "fail " + std::to_string(Pick(3) == 0 ? 0x80000000u + Pick(9) : Pick(4));
        case 6:
            return "note " + Word();
        case 7:
            return std::string("verbose ") + (Pick(2) != 0 ? "1" : "0");
        case 8: { // a long line, cut in pieces
            const int length = 1000 + Pick(2500);
            return "echo " + std::string(length, static_cast<char>('a' + Pick(26)));
        }
        case 9: // exactly 1023 characters before the line end
            return "echo " + std::string(1018, 'q');
        case 10:
            return std::string("echo nul\0hidden", 15);
        case 11:
            return "source";
        case 12:
            return "source a b";
        case 13:
            return "autosleep 0";
        case 14:
            return "e " + Word();
        case 15:
            return ".echo " + Word();
        case 16:
            return "'echo' " + Word();
        case 17:
            return "help " + Word();
        default: {
            const std::string first = Word(); // each Pick in a fixed order
            return "echo " + first + " " + Word();
        }
        }
    }

    std::mt19937 rng_;
};

// The end-to-end scripts (run from their folder, where their sourced files
// are), then generated files in a scratch folder, each with the context's
// flags at entry clear, verbose, and interactive.
TEST(RunDifferential, SameOutputAndStateAsExecFile)
{
    Start();
    Size size;
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(KX_E2E_CASES), 0);
    static const char *const kE2e[] = {"shell/cannot_open.kx", "shell/comments.kx",
                                       "shell/convert.kx",     "shell/devices.kx",
                                       "shell/echo.kx",        "shell/help.kx",
                                       "shell/line_1023.kx",   "shell/long_line.kx",
                                       "shell/lookup.kx",      "shell/memory.kx",
                                       "shell/nested.kx",      "shell/no_final_newline.kx",
                                       "shell/odd_bytes.kx",   "shell/quit_in_source.kx",
                                       "shell/self_source.kx", "shell/sleep.kx",
                                       "shell/source.kx",      "shell/verbose.kx",
                                       "shell/words.kx",       "inc/fails.kx",
                                       "no/such/file.kx"};
    for (const char *pPath : kE2e) {
        Compare(pPath, 0, size);
        if (HasFatalFailure())
            break;
    }
    ASSERT_EQ(chdir(here), 0);

    Folder folder;
    folder.Write("self.kx", "note deeper\nsource self.kx\necho up\n");
    folder.Write("quits.kx", "echo q\nsource quitter.kx\necho never\n");
    folder.Write("quitter.kx", "echo bye\nquit\necho never\n");
    constexpr int kFiles = 60;
    Generator gen(20240611u);
    for (int i = 0; i < kFiles; i++)
        folder.Write("f" + std::to_string(i) + ".kx", gen.Script(i, kFiles));
    const uint32_t kEntry[] = {0, kxMUtiCmd_ExecFlagVerbose, kxMUtiCmd_ExecFlagInteractive};
    for (uint32_t flags : kEntry) {
        Compare("self.kx", flags, size);
        Compare("quits.kx", flags, size);
        for (int i = 0; i < kFiles && !HasFatalFailure(); i++)
            Compare(("f" + std::to_string(i) + ".kx").c_str(), flags, size);
    }
    printf("differential: %u script runs, %u lines, %zu bytes of output compared\n", size.scripts,
           size.lines, size.bytes);
}

// ==== Summaries ===========================================================

// The summary as one line: counts, how it ended and where, every failure.
std::string Describe(const kxMUtiCon_RunSummary_t &s)
{
    static const char *const kEnd[] = {"end", "quit", "stopped", "cancelled", "not run"};
    std::string d = std::to_string(s.nLines) + " lines, " + std::to_string(s.nFailed) +
                    " failed, " + kEnd[s.end];
    if (s.endLine != 0)
        d += std::string(" at ") + s.pEndFile + ":" + std::to_string(s.endLine);
    for (uint32_t i = 0; i < s.failures.used; i++) {
        const auto *pF = static_cast<const kxMUtiCon_RunFailure_t *>(s.failures.pEntries[i]);
        char status[16];
        snprintf(status, sizeof status, "%X", pF->status);
        d += std::string("; ") + pF->pFile + ":" + std::to_string(pF->line) + " " + status + " '" +
             pF->pText + "'";
    }
    return d;
}

struct SummaryCase {
    const char *pName; // the test's name
    const char *pWhat;
    std::map<std::string, std::string> files; // a.kx is run
    uint32_t flags;                           // kxMUtiCon_Run... bits
    const char *pWant;                        // Describe() of the summary
};

// "echo " and this make two pieces: 1023 characters, then "xxx" and the line end.
const std::string kLong(1021, 'x');

const SummaryCase kSummaryCases[] = {
    {"Passing",
     "passing lines: blank, comment, echo's count",
     {{"a.kx", "echo a\n\n# c\n  \t\necho\n"}},
     0,
     "5 lines, 0 failed, end"},
    {"EveryKind",
     "every kind of failure, counted and named in order",
     {{"a.kx", "nosuch x\nmsleep abc\nfail 2147483649\nfail 3\nsource\nsource a b\necho ok\n"}},
     0,
     "7 lines, 5 failed, end; a.kx:1 FFFFFF02 'nosuch x'; a.kx:2 FFFFFF05 'msleep abc'; "
     "a.kx:3 80000001 'fail 2147483649'; a.kx:5 FFFFFF04 'source'; a.kx:6 FFFFFF03 'source a b'"},
    {"Nested",
     "a failure in a nested file is named by that file and its line",
     {{"a.kx", "echo\nsource b.kx\nnosuch\n"}, {"b.kx", "# b\n\nnope\n"}},
     0,
     "6 lines, 2 failed, end; b.kx:3 FFFFFF02 'nope'; a.kx:3 FFFFFF02 'nosuch'"},
    {"Prefix",
     "a prefix of source goes through the runner too",
     {{"a.kx", "so b.kx\n"}, {"b.kx", "nope\n"}},
     0,
     "2 lines, 1 failed, end; b.kx:1 FFFFFF02 'nope'"},
    {"StopNested",
     "stop on error inside a nested file ends the outer file too",
     {{"a.kx", "source b.kx\necho never\n"}, {"b.kx", "echo\nnope\necho never\n"}},
     kxMUtiCon_RunStopOnError,
     "3 lines, 1 failed, stopped at b.kx:2; b.kx:2 FFFFFF02 'nope'"},
    {"NoStop",
     "without the stop, the same files run to their ends",
     {{"a.kx", "source b.kx\necho\n"}, {"b.kx", "echo\nnope\necho\n"}},
     0,
     "5 lines, 1 failed, end; b.kx:2 FFFFFF02 'nope'"},
    {"QuitNested",
     "quit in a nested file ends the caller's run",
     {{"a.kx", "source q.kx\necho never\n"}, {"q.kx", "quit\necho never\n"}},
     0,
     "2 lines, 0 failed, quit"},
    {"NotOpened",
     "a sourced file that cannot be opened fails its source line",
     {{"a.kx", "source nofile.kx\necho\n"}},
     0,
     "2 lines, 1 failed, end; a.kx:1 FFFFFF10 'source nofile.kx'"},
    {"Pieces",
     "pieces of a long line share its number; CR-LF and NUL end the text",
     {{"a.kx", "echo " + kLong + "\r\nnope\r\n" + std::string("bad\0tail\n", 9)}},
     0,
     "4 lines, 3 failed, end; a.kx:1 FFFFFF02 'xxx'; a.kx:2 FFFFFF02 'nope'; "
     "a.kx:3 FFFFFF02 'bad'"},
    {"SelfSource",
     "a self-sourcing file stops at the nesting bound, once",
     {{"a.kx", "source a.kx\n"}},
     0,
     "64 lines, 1 failed, end; a.kx:1 FFFFFF10 'source a.kx'"},
    {"Cancel",
     "a cancel ends the run after the current line, nested files included",
     {{"a.kx", "source b.kx\necho never\n"}, {"b.kx", "echo\ncancel\necho never\n"}},
     0,
     "3 lines, 0 failed, cancelled at b.kx:2"},
};

class RunSummary : public ::testing::TestWithParam<SummaryCase> {};

TEST_P(RunSummary, CountsAndNames)
{
    Start();
    const SummaryCase &c = GetParam();
    Folder folder;
    for (const auto &[name, text] : c.files)
        folder.Write(name, text);
    kxMUtiCon_RunOpts_t opts = {};
    opts.flags = c.flags;
    kxMUtiCon_RunSummary_t sum;
    {
        CaptureStdout out;
        EXPECT_EQ(kxMUtiCon_RunFile(nullptr, "a.kx", &opts, &sum), KX_OK);
    }
    EXPECT_EQ(Describe(sum), c.pWant) << c.pWhat;
    kxMUtiCon_RunSummaryDeInit(&sum);
    kxMUtiCon_CancelClear();
}

void PrintTo(const SummaryCase &c, std::ostream *pOut)
{
    *pOut << c.pName;
}

INSTANTIATE_TEST_SUITE_P(Table, RunSummary, ::testing::ValuesIn(kSummaryCases),
                         [](const auto &info) { return std::string(info.param.pName); });

// ==== Callbacks, rules and the routing ====================================

struct Seen {
    std::vector<std::string> notes; // "file:line:status" per onFailure call
    int before = 0;                 // calls of before
};

TEST(RunOptions, HostRuleAndCallbacks)
{
    Start();
    Folder folder;
    folder.Write("a.kx", "fail 7\nfail 8\nnosuch\nsource b.kx\n");
    folder.Write("b.kx", "fail 7\n");
    Seen seen;
    kxMUtiCon_RunOpts_t opts = {};
    opts.failed = [](kxMUtiCmd_Exec_t *, uint32_t status, void *) { return status == 7 ? 1 : 0; };
    opts.before = [](kxMUtiCmd_Exec_t *, void *pUser) { static_cast<Seen *>(pUser)->before++; };
    opts.onFailure = [](const kxMUtiCon_RunFailure_t *pF, void *pUser) {
        static_cast<Seen *>(pUser)->notes.push_back(std::string(pF->pFile) + ":" +
                                                    std::to_string(pF->line) + ":" +
                                                    std::to_string(pF->status));
    };
    opts.pUser = &seen;
    {
        CaptureStdout out;
        EXPECT_EQ(kxMUtiCon_RunFile(nullptr, "a.kx", &opts, nullptr), KX_OK);
    }
    // The host's rule replaces the default one: nosuch passes, 7 fails.
    EXPECT_EQ(seen.notes, (std::vector<std::string>{"a.kx:1:7", "b.kx:1:7"}));
    EXPECT_EQ(seen.before, 5);
}

TEST(RunOptions, FailureRule)
{
    const struct {
        uint32_t status;
        int failed;
    } kCases[] = {{KX_OK, 0},        {1, 0},
                  {0x7FFFFFFFu, 0},  {0xFFFFFF01u, 0},
                  {0xFFFFFF02u, 1},  {0xFFFFFF03u, 1},
                  {0xFFFFFF06u, 1},  {0x80000000u, 1},
                  {KX_ERR_NOMEM, 1}, {kxMUtiCon_StatusNotRun, 1}};
    for (const auto &c : kCases)
        EXPECT_EQ(kxMUtiCon_StatusFailed(c.status), c.failed) << std::hex << c.status;
}

TEST(RunOptions, MissingFileAndNotes)
{
    Start();
    Folder folder;
    folder.Write("a.kx", "  'nosuch' x\nmd\n");
    kxMUtiCon_RunSummary_t sum;
    std::string out;
    {
        CaptureStdout capture;
        EXPECT_EQ(kxMUtiCon_RunFile(nullptr, "none.kx", nullptr, &sum), kxMUtiCon_StatusNotRun);
        out = capture.Stop();
    }
    EXPECT_EQ(out, "ERROR: Cannot open \"none.kx\" for read.\n");
    EXPECT_EQ(sum.end, static_cast<uint32_t>(kxMUtiCon_RunNotRun));
    kxMUtiCon_RunSummaryDeInit(&sum);

    // The ready reporter writes one note per failure, in the compiler
    // convention, the command word unquoted.
    FILE *pNotes = tmpfile();
    kxMUtiCon_RunOpts_t opts = {};
    opts.onFailure = kxMUtiCon_RunReport;
    opts.pUser = pNotes;
    {
        CaptureStdout capture;
        kxMUtiCon_RunFile(nullptr, "a.kx", &opts, nullptr);
    }
    rewind(pNotes);
    char text[256] = {};
    fread(text, 1, sizeof text - 1, pNotes);
    fclose(pNotes);
    EXPECT_STREQ(text, "a.kx:1: nosuch: unknown or ambiguous command (status 0xFFFFFF02)\n"
                       "a.kx:2: md: unknown or ambiguous command (status 0xFFFFFF02)\n");
}

// Routing is undone when the run ends: the built-in source is back, and
// plain kxMUtiCmd_ExecFile reports nothing to the runner's options.
TEST(RunRouting, RestoredAfterTheRun)
{
    Start();
    uint32_t kind = 0;
    kxMUtiCmd_Def_t *pSource = kxMUtiCmd_DefsLookup(nullptr, "source", &kind);
    const kxMUtiCmd_Handler_t builtin = pSource->handler;
    Folder folder;
    folder.Write("a.kx", "source b.kx\n");
    folder.Write("b.kx", "nosuch\n");
    kxMUtiCon_RunSummary_t sum;
    {
        CaptureStdout out;
        kxMUtiCon_RunFile(nullptr, "a.kx", nullptr, &sum);
    }
    EXPECT_EQ(sum.nFailed, 1u);
    kxMUtiCon_RunSummaryDeInit(&sum);
    EXPECT_EQ(pSource->handler, builtin);
}

// A host that redefines source keeps its own command: the runner does not
// take it over.
TEST(RunRouting, HostSourceIsLeftAlone)
{
    Start();
    kxMUtiCmd_Add(nullptr, Fail, "source", nullptr, 0, "%u", 0, nullptr);
    Folder folder;
    folder.Write("a.kx", "source 2147483650\n");
    kxMUtiCon_RunSummary_t sum;
    {
        CaptureStdout out;
        kxMUtiCon_RunFile(nullptr, "a.kx", nullptr, &sum);
    }
    EXPECT_EQ(Describe(sum), "1 lines, 1 failed, end; a.kx:1 80000002 'source 2147483650'");
    kxMUtiCon_RunSummaryDeInit(&sum);
}

} // namespace

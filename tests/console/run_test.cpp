// The script runner: it must run a script exactly as kxMUtiCmd_ExecFile
// does (a differential test over the end-to-end scripts and generated
// ones), and count, name and stop at failing lines as its summary says.
#include <glob.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "CaptureStdout.h"
#include "kxMUtiConsole.h"

namespace {

// Commands of the scripts: fail <n> returns n; note ... prints the running
// file's name and the line; cancel asks the running script to stop.
#define KX_REST kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t
struct Commands {
    static uint32_t Fail(kxWord_t n, kxWord_t, KX_REST) { return static_cast<uint32_t>(n); }
    static uint32_t Note(kxWord_t exec, kxWord_t line, KX_REST)
    {
        const auto *pExec = reinterpret_cast<const kxMUtiCmd_Exec_t *>(exec);
        printf("[%s] %s", kxMUtiCmd_ExecCurrentFileNameGet(pExec), reinterpret_cast<char *>(line));
        return KX_OK;
    }
    static uint32_t Cancel(kxWord_t, kxWord_t, KX_REST) { return kxMUtiCon_Cancel(), KX_OK; }
};

void Start()
{
    if (kxMUtiCmd_ExecGlobal() != nullptr)
        return;
    kxMUtiCmd_Init(0);
    kxMUtiCmd_Add(nullptr, Commands::Fail, "fail", nullptr, 0, "%u", 0, nullptr);
    kxMUtiCmd_Add(nullptr, Commands::Note, "note", nullptr, 0, "%E%L", 0, nullptr);
    kxMUtiCmd_Add(nullptr, Commands::Cancel, "cancel", nullptr, 0, "", 0, nullptr);
}

using Files = std::map<std::string, std::string>;

// A scratch folder holding files, the working folder while it lives.
class Folder {
  public:
    explicit Folder(const Files &files = {}) : old_(std::filesystem::current_path())
    {
        char path[] = "/tmp/kxrunXXXXXX";
        std::filesystem::current_path(path_ = mkdtemp(path));
        for (const auto &[name, text] : files)
            Write(name, text);
    }
    ~Folder() { std::filesystem::current_path(old_), std::filesystem::remove_all(path_); }
    static void Write(const std::string &name, const std::string &text)
    {
        std::ofstream(name, std::ios::binary) << text;
    }

  private:
    std::filesystem::path old_, path_;
};

// What run() writes to standard output.
template <class F> std::string Captured(F run)
{
    CaptureStdout out;
    run();
    return out.Stop();
}

// What a run leaves on its context that two contexts can compare: flags,
// automatic sleep, file name, the last line's words and working copy.
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

unsigned gScripts, gLines; // compared so far
size_t gBytes;

// Runs pPath through kxMUtiCmd_ExecFile and the runner, then kxMUtiCmd_ExecFP
// and kxMUtiCon_RunFP, on two contexts made once, with the given flags at
// entry: output and state must match, so the contexts stay equal.
void Compare(const char *pPath, uint32_t entryFlags)
{
    static kxMUtiCmd_Exec_t *const pPlain = kxMUtiCmd_ExecNew(nullptr);
    static kxMUtiCmd_Exec_t *const pRun = kxMUtiCmd_ExecNew(nullptr);
    pPlain->flags = pRun->flags = entryFlags;
    for (const bool stream : {false, true}) {
        FILE *pA = stream ? fopen(pPath, "r") : nullptr, *pB = stream ? fopen(pPath, "r") : nullptr;
        ASSERT_EQ(pA == nullptr, pB == nullptr);
        if (stream && pA == nullptr)
            return; // no stream to read: the file runs compared the failure to open
        kxMUtiCon_RunSummary_t sum;
        const std::string plain = Captured(
            [&] { stream ? kxMUtiCmd_ExecFP(pPlain, pA) : kxMUtiCmd_ExecFile(pPlain, pPath); });
        const std::string ran = Captured([&] {
            stream ? kxMUtiCon_RunFP(pRun, pB, pPath, nullptr, &sum)
                   : kxMUtiCon_RunFile(pRun, pPath, nullptr, &sum);
        });
        if (stream)
            fclose(pA), fclose(pB);
        ASSERT_EQ(plain + "\n" + State(pPlain), ran + "\n" + State(pRun))
            << pPath << (stream ? " as a stream" : "") << " flags " << entryFlags;
        gScripts += stream ? 0 : 1, gLines += sum.nLines, gBytes += ran.size();
        kxMUtiCon_RunSummaryDeInit(&sum);
    }
}

// Random scripts: text of every kind a script meets (blank, comment,
// quoted, unknown, prefix and bad-argument lines, long lines and lines of
// exactly 1023 characters, NUL bytes, CR-LF, verbose on and off, no final
// line end), sourcing one another.  File i sources only files after it, at
// most once, so the runs stay short.
struct Generator {
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
                line = std::string(pHow[Pick(5)]) + " " +
                       (target < nFiles ? "f" + std::to_string(target) + ".kx" : "missing.kx");
            }
            text += line + (crlf ? "\r\n" : "\n");
        }
        if (Pick(4) == 0) // no line end on the last line
            text += "echo last " + Word();
        return text;
    }

    int Pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }

    std::string Word()
    {
        static const char kChars[] = "abcxyz019 '\"#.\t";
        std::string w;
        for (int n = 1 + Pick(8); n > 0; n--)
            w += kChars[Pick(static_cast<int>(sizeof kChars) - 1)];
        return w;
    }

    // One of 24 kinds, the random draws in a fixed order; a text ending in
    // a blank takes a random word.
    std::string Line()
    {
        static const char *const kKinds[] = {
            "",   "   \t",  "# comment ", "nosuch ", "msleep ", "",           "note ",
            "",   "",       "",           "",        "source",  "source a b", "autosleep 0",
            "e ", ".echo ", "'echo' ",    "help "};
        const int kind = Pick(24);
        if (kind == 5)
            return "fail " + std::to_string(Pick(3) == 0 ? 0x80000000u + Pick(9) : Pick(4));
        if (kind == 7)
            return std::string("verbose ") + (Pick(2) != 0 ? "1" : "0");
        if (kind == 8) { // a long line, cut in pieces
            const int length = 1000 + Pick(2500);
            return "echo " + std::string(length, static_cast<char>('a' + Pick(26)));
        }
        if (kind == 9 || kind == 10) // 1023 characters; a NUL
            return kind == 9 ? "echo " + std::string(1018, 'q')
                             : std::string("echo nul\0hidden", 15);
        if (kind >= 18) {
            const std::string first = Word();
            return "echo " + first + " " + Word();
        }
        const std::string text = kKinds[kind];
        return !text.empty() && text.back() == ' ' ? text + Word() : text;
    }

    std::mt19937 rng_;
};

// The end-to-end scripts (from their folder, where their sourced files
// are), then generated files, each with the context's flags at entry
// clear, verbose, and interactive; self.kx sources itself and quits.kx
// quits from inside a nested file.
TEST(RunDifferential, SameOutputAndStateAsExecFile)
{
    Start();
    const auto here = std::filesystem::current_path();
    ASSERT_EQ(chdir(KX_E2E_CASES), 0);
    glob_t found;
    ASSERT_EQ(glob("shell/*.kx", 0, nullptr, &found), 0);
    for (size_t i = 0; i < found.gl_pathc && !HasFatalFailure(); i++)
        Compare(found.gl_pathv[i], 0);
    globfree(&found);
    for (const char *pPath : {"inc/fails.kx", "no/such/file.kx"})
        Compare(pPath, 0);
    std::filesystem::current_path(here);

    Folder folder({{"self.kx", "note deeper\nsource self.kx\necho up\n"},
                   {"quits.kx", "echo q\nsource quitter.kx\necho never\n"},
                   {"quitter.kx", "echo bye\nquit\necho never\n"}});
    constexpr int kFiles = 60;
    Generator gen(20240611u);
    for (int i = 0; i < kFiles; i++)
        folder.Write("f" + std::to_string(i) + ".kx", gen.Script(i, kFiles));
    for (int flags : {0, +kxMUtiCmd_ExecFlagVerbose, +kxMUtiCmd_ExecFlagInteractive}) {
        for (const char *pPath : {"self.kx", "quits.kx"})
            Compare(pPath, flags);
        for (int i = 0; i < kFiles && !HasFatalFailure(); i++)
            Compare(("f" + std::to_string(i) + ".kx").c_str(), flags);
    }
    printf("differential: %u script runs, %u lines, %zu bytes of output compared\n", gScripts,
           gLines, gBytes);
}

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
        char where[32];
        snprintf(where, sizeof where, ":%u %X '", pF->line, pF->status);
        d += std::string("; ") + pF->pFile + where + pF->pText + "'";
    }
    return d;
}

// Runs a.kx among files, output dropped, status to *pStatus; the summary
// described.  Every run must leave the source command's handler as it was.
uint32_t gStatus;
std::string RunA(const Files &files, const kxMUtiCon_RunOpts_t *pOpts = nullptr,
                 uint32_t *pStatus = &gStatus)
{
    Start();
    uint32_t kind = 0;
    kxMUtiCmd_Def_t *pSource = kxMUtiCmd_DefsLookup(nullptr, "source", &kind);
    const kxMUtiCmd_Handler_t handler = pSource->handler;
    Folder folder(files);
    kxMUtiCon_RunSummary_t sum;
    Captured([&] { *pStatus = kxMUtiCon_RunFile(nullptr, "a.kx", pOpts, &sum); });
    EXPECT_EQ(pSource->handler, handler) << "source routed back after the run";
    const std::string d = Describe(sum);
    kxMUtiCon_RunSummaryDeInit(&sum);
    kxMUtiCon_CancelClear();
    return d;
}

// a.kx is run, b.kx is there to be sourced; flags are kxMUtiCon_Run... bits.
struct SummaryCase {
    const char *pName;
    std::string a, b;
    const char *pWant;
    uint32_t flags = 0;
};

const SummaryCase kSummaryCases[] = {
    // Blank, comment and echo lines pass and count.
    {"Passing", "echo a\n\n# c\n  \t\necho\n", "", "5 lines, 0 failed, end"},
    {"EveryKind", "nosuch x\nmsleep abc\nfail 2147483649\nfail 3\nsource\nsource a b\necho ok\n",
     "",
     "7 lines, 5 failed, end; a.kx:1 FFFFFF02 'nosuch x'; a.kx:2 FFFFFF05 'msleep abc'; "
     "a.kx:3 80000001 'fail 2147483649'; a.kx:5 FFFFFF04 'source'; a.kx:6 FFFFFF03 'source a b'"},
    // A nested failure is named by its own file and line; the run goes on.
    {"Nested", "echo\nsource b.kx\nnosuch\n", "# b\n\nnope\n",
     "6 lines, 2 failed, end; b.kx:3 FFFFFF02 'nope'; a.kx:3 FFFFFF02 'nosuch'"},
    {"Prefix", "so b.kx\n", "nope\n", "2 lines, 1 failed, end; b.kx:1 FFFFFF02 'nope'"},
    // Stop on error inside a nested file ends the outer file too.
    {"StopNested", "source b.kx\necho never\n", "echo\nnope\necho never\n",
     "3 lines, 1 failed, stopped at b.kx:2; b.kx:2 FFFFFF02 'nope'", kxMUtiCon_RunStopOnError},
    {"QuitNested", "source b.kx\necho never\n", "quit\necho never\n", "2 lines, 0 failed, quit"},
    {"NotOpened", "source nofile.kx\necho\n", "",
     "2 lines, 1 failed, end; a.kx:1 FFFFFF10 'source nofile.kx'"},
    // Pieces of a long line (1023 characters, then "xxx") share its number;
    // CR-LF and NUL end the text.
    {"Pieces", "echo " + std::string(1021, 'x') + "\r\nnope\r\n" + std::string("bad\0tail\n", 9),
     "",
     "4 lines, 3 failed, end; a.kx:1 FFFFFF02 'xxx'; a.kx:2 FFFFFF02 'nope'; a.kx:3 FFFFFF02 "
     "'bad'"},
    // A self-sourcing file stops at the nesting bound, reported once.
    {"SelfSource", "source a.kx\n", "", "64 lines, 1 failed, end; a.kx:1 FFFFFF10 'source a.kx'"},
    // A cancel ends the run after the current line, nested files included.
    {"Cancel", "source b.kx\necho never\n", "echo\ncancel\necho never\n",
     "3 lines, 0 failed, cancelled at b.kx:2"},
};

TEST(RunSummary, CountsAndNames)
{
    for (const SummaryCase &c : kSummaryCases) {
        kxMUtiCon_RunOpts_t opts = {};
        opts.flags = c.flags;
        uint32_t status = 1;
        EXPECT_EQ(RunA({{"a.kx", c.a}, {"b.kx", c.b}}, &opts, &status), c.pWant) << c.pName;
        EXPECT_EQ(status, KX_OK) << c.pName;
    }
}

// The host's rule replaces the default one: nosuch passes, 7 fails.
TEST(RunOptions, HostRuleAndCallbacks)
{
    struct {
        std::string notes; // "file:line:status " per onFailure call
        int before = 0;
    } seen;
    kxMUtiCon_RunOpts_t opts = {};
    opts.failed = [](kxMUtiCmd_Exec_t *, uint32_t status, void *) { return status == 7 ? 1 : 0; };
    opts.before = [](kxMUtiCmd_Exec_t *, void *pUser) {
        static_cast<decltype(seen) *>(pUser)->before++;
    };
    opts.onFailure = [](const kxMUtiCon_RunFailure_t *pF, void *pUser) {
        char note[64];
        snprintf(note, sizeof note, "%s:%u:%u ", pF->pFile, pF->line, pF->status);
        static_cast<decltype(seen) *>(pUser)->notes += note;
    };
    opts.pUser = &seen;
    uint32_t status = 1;
    RunA({{"a.kx", "fail 7\nfail 8\nnosuch\nsource b.kx\n"}, {"b.kx", "fail 7\n"}}, &opts, &status);
    EXPECT_EQ(status, KX_OK);
    EXPECT_EQ(seen.notes, "a.kx:1:7 b.kx:1:7 ");
    EXPECT_EQ(seen.before, 5);
}

TEST(RunOptions, FailureRule)
{
    for (uint32_t s : {KX_OK, 1u, 0x7FFFFFFFu, 0xFFFFFF01u})
        EXPECT_EQ(kxMUtiCon_StatusFailed(s), 0) << std::hex << s;
    for (uint32_t s :
         {0xFFFFFF02u, 0xFFFFFF03u, 0xFFFFFF06u, 0x80000000u, KX_ERR_NOMEM, kxMUtiCon_StatusNotRun})
        EXPECT_EQ(kxMUtiCon_StatusFailed(s), 1) << std::hex << s;
}

// A file that cannot be opened is not run; the ready reporter writes one
// note per failure, in the compiler convention, the command word unquoted.
TEST(RunOptions, MissingFileAndReport)
{
    uint32_t status = 0;
    EXPECT_EQ(RunA({}, nullptr, &status), "0 lines, 0 failed, not run");
    EXPECT_EQ(status, kxMUtiCon_StatusNotRun);
    char *pText = nullptr;
    size_t size = 0;
    kxMUtiCon_RunOpts_t opts = {};
    opts.onFailure = kxMUtiCon_RunReport;
    opts.pUser = open_memstream(&pText, &size);
    RunA({{"a.kx", "  'nosuch' x\nmd\n"}}, &opts);
    fclose(static_cast<FILE *>(opts.pUser));
    EXPECT_STREQ(pText, "a.kx:1: nosuch: unknown or ambiguous command (status 0xFFFFFF02)\n"
                        "a.kx:2: md: unknown or ambiguous command (status 0xFFFFFF02)\n");
    free(pText);
}

// A host that redefines source keeps its own command.
TEST(RunRouting, HostSourceIsLeftAlone)
{
    Start();
    kxMUtiCmd_Add(nullptr, Commands::Fail, "source", nullptr, 0, "%u", 0, nullptr);
    EXPECT_EQ(RunA({{"a.kx", "source 2147483650\n"}}),
              "1 lines, 1 failed, end; a.kx:1 80000002 'source 2147483650'");
}

} // namespace

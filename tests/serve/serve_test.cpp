// A host of the serve companion, served over pipes from a child process:
// exact bytes, log frames, cancel, the result store, the queue and
// bounded output.  The child is forked so that its descriptors 0-2, which
// serving redirects, are not the test's own.
#include <gtest/gtest.h>

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "SrvFrame.h"
#include "kxMUtiCmd.h"
#include "kxMUtiServe.h"

namespace {

#define HANDLER_ARGS                                                                               \
    kxWord_t a0, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,   \
        kxWord_t

// bytes: output no line-oriented tool would pass unharmed.
const std::string kAwkward = std::string("a\0b\xff\xfe\r\n", 7) + "#KX R 1 0 0 - 00000000\n";

uint32_t CmdAwkward(HANDLER_ARGS)
{
    (void)a0;
    fwrite(kAwkward.data(), 1, kAwkward.size(), stdout);
    fputs("to stderr\n", stderr);
    return 7;
}

// big <n>: prints n bytes of text in lines.
uint32_t CmdBig(HANDLER_ARGS)
{
    static char line[1024];
    memset(line, 'x', sizeof line - 1);
    line[sizeof line - 1] = '\n';
    for (uint32_t left = static_cast<uint32_t>(a0); left > 0;) {
        const uint32_t n = left < sizeof line ? left : sizeof line;
        fwrite(line, 1, n, stdout);
        left -= n;
    }
    return 0;
}

// spin: works until cancelled (at most 20 s), as a long host handler would.
uint32_t CmdSpin(HANDLER_ARGS)
{
    (void)a0;
    for (int i = 0; i < 20000 && !kxMUtiSrv_Cancelled(); i++)
        usleep(1000);
    return kxMUtiSrv_Cancelled() ? 0xFFFFFFF0u : 0;
}

// lines <n>: n lines of 64 bytes, each written on its own a moment
// after the one before, as a command reporting progress would.
uint32_t CmdLines(HANDLER_ARGS)
{
    for (uint32_t i = 0; i < static_cast<uint32_t>(a0); i++) {
        printf("%063u\n", i);
        fflush(stdout);
        usleep(50);
    }
    return 0;
}

int gCount;
uint32_t CmdCount(HANDLER_ARGS)
{
    (void)a0;
    printf("%d\n", ++gCount);
    return 0;
}

void *LateWriter(void *)
{
    usleep(100000);
    fputs("late\n", stdout);
    fflush(stdout);
    return nullptr;
}

// later: a thread prints after the request has ended.
uint32_t CmdLater(HANDLER_ARGS)
{
    (void)a0;
    pthread_t t;
    pthread_create(&t, nullptr, LateWriter, nullptr);
    pthread_detach(t);
    return 0;
}

struct Reply {
    std::string out, err;
    std::string result; // the R frame's JSON; empty when none came
    uint32_t status = 0;
    bool gap = false; // offsets did not follow on
    std::vector<char> types;
};

class Served : public ::testing::Test {
  protected:
    void SetUp() override
    {
        int toChild[2], fromChild[2];
        ASSERT_EQ(pipe(toChild), 0);
        ASSERT_EQ(pipe(fromChild), 0);
        mPid = fork();
        ASSERT_GE(mPid, 0);
        if (mPid == 0) {
            close(toChild[1]);
            close(fromChild[0]);
            kxMUtiCmd_Init(0);
            kxMUtiCmd_Add(nullptr, CmdAwkward, "awkward", nullptr, 0, "", 0, "");
            kxMUtiCmd_Add(nullptr, CmdBig, "big", nullptr, 0, "%u", 0, "");
            kxMUtiCmd_Add(nullptr, CmdSpin, "spin", nullptr, 0, "", 0, "");
            kxMUtiCmd_Add(nullptr, CmdCount, "count", nullptr, 0, "", 0, "");
            kxMUtiCmd_Add(nullptr, CmdLater, "later", nullptr, 0, "", 0, "");
            kxMUtiCmd_Add(nullptr, CmdLines, "lines", nullptr, 0, "%u", 0, "");
            _exit(kxMUtiSrv_ServeFds(nullptr, toChild[0], fromChild[1]) == KX_OK ? 0 : 1);
        }
        close(toChild[0]);
        close(fromChild[1]);
        mTo = toChild[1];
        mFrom = fromChild[0];
        SrvReader_Init(&mReader);
        ASSERT_TRUE(Next('G', 0));
    }

    void TearDown() override
    {
        if (mTo >= 0)
            close(mTo);
        int status = 0;
        for (int i = 0; i < 100 && waitpid(mPid, &status, WNOHANG) == 0; i++)
            usleep(50000);
        if (waitpid(mPid, &status, WNOHANG) == 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, &status, 0);
            ADD_FAILURE() << "the server did not end with its input";
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "server status " << status;
        }
        close(mFrom);
    }

    void Send(char type, uint32_t id, uint32_t n = 0, const std::string &payload = "")
    {
        std::string f(SrvFrame_Size(static_cast<uint32_t>(payload.size())), '\0');
        f.resize(SrvFrame_Encode(f.data(), type, id, n, payload.data(),
                                 static_cast<uint32_t>(payload.size())));
        ASSERT_EQ(write(mTo, f.data(), f.size()), static_cast<ssize_t>(f.size()));
    }

    // The next frame, within 20 s; false at the end of the output.
    bool Next(char wantType = 0, int wantId = -1)
    {
        for (;;) {
            SrvReadResult r = SrvReader_Next(&mReader, &mFrame, false);
            if (r == SRV_READ_FRAME &&
                (wantType == 0 || (mFrame.type == wantType &&
                                   (wantId < 0 || mFrame.id == static_cast<uint32_t>(wantId)))))
                return true;
            if (r != SRV_READ_NONE)
                continue;
            pollfd p = {mFrom, POLLIN, 0};
            if (poll(&p, 1, 20000) != 1)
                return false;
            unsigned char *pDst;
            const uint32_t room = SrvReader_Space(&mReader, &pDst);
            const ssize_t n = read(mFrom, pDst, room);
            if (n <= 0)
                return false;
            SrvReader_Commit(&mReader, static_cast<uint32_t>(n));
        }
    }

    std::string Payload() const
    {
        return std::string(reinterpret_cast<const char *>(mFrame.payload), mFrame.len);
    }

    // Everything for request id up to its R (or an X).
    Reply Collect(uint32_t id)
    {
        Reply r;
        while (Next()) {
            if (mFrame.id != id)
                continue;
            r.types.push_back(mFrame.type);
            std::string &stream = mFrame.type == 'O' ? r.out : r.err;
            if (mFrame.type == 'O' || mFrame.type == 'E') {
                r.gap = r.gap || mFrame.n != stream.size();
                stream += Payload();
            } else if (mFrame.type == 'R' || mFrame.type == 'X') {
                r.result = Payload();
                r.status = mFrame.n;
                return r;
            }
        }
        return r;
    }

    Reply Run(uint32_t id, const std::string &line)
    {
        Send('Q', id, 0, line);
        return Collect(id);
    }

    pid_t mPid = -1;
    int mTo = -1, mFrom = -1;
    SrvReader mReader;
    SrvFrame mFrame;
};

bool Has(const std::string &json, const char *pText)
{
    return json.find(pText) != std::string::npos;
}

// Output arrives as the exact bytes, each stream apart, totals that match.
TEST_F(Served, OutputIsExactBytes)
{
    Reply r = Run(1, "awkward");
    EXPECT_EQ(r.out, kAwkward);
    EXPECT_EQ(r.err, "to stderr\n");
    EXPECT_EQ(r.status, 7u);
    EXPECT_TRUE(
        Has(r.result, ("\"out\":" + std::to_string(kAwkward.size()) + ",\"err\":10").c_str()))
        << r.result;
    EXPECT_EQ(r.types.front(), 'K');
}

// What a thread prints after the result comes as a log frame.
TEST_F(Served, LateOutputIsALogFrame)
{
    EXPECT_EQ(Run(1, "later").out, "");
    ASSERT_TRUE(Next('L'));
    EXPECT_EQ(mFrame.n, 1u);
    EXPECT_EQ(Payload(), "late\n");
}

// Cancel ends a built-in sleep and a handler that polls the flag; the
// flag is clear again for the next request.
TEST_F(Served, CancelStopsSleepsAndHandlers)
{
    for (const char *line : {"msleep 20000", "spin"}) {
        Send('Q', 1, 0, line);
        ASSERT_TRUE(Next('K', 1));
        Send('C', 1);
        Reply r = Collect(1);
        EXPECT_TRUE(Has(r.result, "\"cancelled\":true")) << line << r.result;
        EXPECT_EQ(r.status, std::string(line) == "spin" ? 0xFFFFFFF0u : 0xFFFFFFFFu);
        r = Run(2, "spin 1"); // words left over: refused at once, not cancelled
        EXPECT_TRUE(Has(r.result, "\"cancelled\":false")) << r.result;
        Send('B', 0);
        TearDown();
        SetUp();
    }
}

// A repeated id is answered from the store, never run again; once the
// store has moved on, the id is refused; unknown ids are errors.
TEST_F(Served, RepeatsComeFromTheStore)
{
    EXPECT_EQ(Run(1, "count").out, "1\n");
    Reply again = Run(1, "count");
    EXPECT_EQ(again.out, "1\n");
    EXPECT_TRUE(Has(again.result, "\"replay\":true"));
    Send('F', 1);
    EXPECT_EQ(Collect(1).out, "1\n");
    for (uint32_t id = 2; id < 2 + KXSRV_KEPT; id++)
        Run(id, "count");
    Reply gone = Run(1, "count");
    EXPECT_EQ(gone.types, std::vector<char>{'X'});
    EXPECT_EQ(gone.status, 7u);
    Send('F', 4444);
    EXPECT_EQ(Collect(4444).status, 6u);
}

// Requests sent without waiting run in order, each once.
TEST_F(Served, PipelinedRequestsQueue)
{
    std::string all;
    for (uint32_t id = 1; id <= 3 * KXSRV_QUEUE_MAX; id++) {
        std::string f(SrvFrame_Size(5), '\0');
        f.resize(SrvFrame_Encode(f.data(), 'Q', id, 0, "count", 5));
        all += f;
    }
    ASSERT_EQ(write(mTo, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    for (uint32_t id = 1; id <= 3 * KXSRV_QUEUE_MAX; id++)
        EXPECT_EQ(Collect(id).out, std::to_string(id) + "\n");
}

// A request that names the one it follows (n) is refused, and not run,
// while that one has not arrived; sent again behind it, it runs after it.
TEST_F(Served, RequestsNamingAnEarlierOneKeepTheirOrder)
{
    Send('Q', 11, 10, "count"); // 10 was lost on the way
    Reply refused = Collect(11);
    EXPECT_EQ(refused.types, std::vector<char>{'X'});
    EXPECT_EQ(refused.status, 12u);
    Send('Q', 10, 0, "count");
    Send('Q', 11, 10, "count");
    Send('Q', 12, 11, "count");
    EXPECT_EQ(Collect(10).out, "1\n");
    EXPECT_EQ(Collect(11).out, "2\n");
    EXPECT_EQ(Collect(12).out, "3\n");
}

// Output written a line at a time leaves in pieces of up to a chunk (or
// what came within a millisecond), not one frame per write.
TEST_F(Served, SmallWritesAreSentInChunks)
{
    const uint32_t lines = 400;
    Reply r = Run(1, "lines " + std::to_string(lines));
    ASSERT_EQ(r.out.size(), lines * 64u);
    EXPECT_FALSE(r.gap);
    const size_t frames = std::count(r.types.begin(), r.types.end(), 'O');
    EXPECT_LT(frames, lines / 2) << "about one frame per write";
}

// Output far over the buffer streams in order; it is too big to keep, and
// a replay says so rather than return a part.
TEST_F(Served, BigOutputStreams)
{
    const uint32_t size = 16u * 1024u * 1024u;
    Reply r = Run(1, "big " + std::to_string(size));
    EXPECT_FALSE(r.gap);
    EXPECT_EQ(r.out.size(), size);
    EXPECT_TRUE(Has(r.result, "\"kept\":false")) << r.result;
    Send('F', 1);
    Reply replay = Collect(1);
    EXPECT_EQ(replay.out, "");
    EXPECT_TRUE(Has(replay.result, "\"kept\":false") && Has(replay.result, "\"out\":16777216"));
}

// quit ends the session after its result; so does the end of input, after
// the requests already sent.
TEST_F(Served, QuitAndEndOfInputEndServing)
{
    EXPECT_TRUE(Has(Run(1, "quit").result, "\"status\":0"));
    EXPECT_FALSE(Next());
    TearDown();
    SetUp();
    Send('Q', 1, 0, "count");
    close(mTo);
    mTo = -1;
    EXPECT_EQ(Collect(1).out, "1\n");
    EXPECT_FALSE(Next());
}

} // namespace

// The server's side of serving a host, over pipes to a forked child (whose
// descriptors 0-2, which serving redirects, are not the test's own).  What
// a client sees of the served shell is tested with the client.
#include <gtest/gtest.h>

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "SrvFrame.h"
#include "SrvWire.h"
#include "kxMUtiCmd.h"
#include "kxMUtiServe.h"

namespace {

#define HANDLER_ARGS                                                                               \
    [[maybe_unused]] kxWord_t a0, [[maybe_unused]] kxWord_t a1, kxWord_t, kxWord_t, kxWord_t,      \
        kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t

// Output no line-oriented tool would pass unharmed, a frame line included.
const std::string kAwkward = std::string("a\0b\xff\xfe\r\n", 7) + "#KX R 1 0 0 - 00000000\n";

// The child's commands.  lines <n> [<us>]: n lines of 64 bytes, with a pause
// each written on its own as a command reporting progress would.  spin: works
// until cancelled (at most 20 s).  later: a thread prints after the request.
const struct {
    const char *name, *args;
    kxMUtiCmd_Handler_t handler;
} kCommands[] = {
    {"awkward", "",
     [](HANDLER_ARGS) -> uint32_t {
         fwrite(kAwkward.data(), 1, kAwkward.size(), stdout);
         fputs("to stderr\n", stderr);
         return 7;
     }},
    {"lines", "%u%u?",
     [](HANDLER_ARGS) -> uint32_t {
         for (uint32_t i = 0; i < static_cast<uint32_t>(a0); i++)
             if (printf("%063u\n", i) > 0 && a1 != 0 && fflush(stdout) == 0)
                 usleep(static_cast<useconds_t>(a1));
         return 0;
     }},
    {"spin", "",
     [](HANDLER_ARGS) -> uint32_t {
         for (int i = 0; i < 20000 && !kxMUtiSrv_Cancelled(); i++)
             usleep(1000);
         return kxMUtiSrv_Cancelled() ? 0xFFFFFFF0u : 0;
     }},
    {"count", "",
     [](HANDLER_ARGS) -> uint32_t {
         static int count;
         return printf("%d\n", ++count) > 0 ? 0 : 1;
     }},
    {"later", "",
     [](HANDLER_ARGS) -> uint32_t {
         std::thread([] { usleep(100000), fputs("late\n", stdout), fflush(stdout); }).detach();
         return 0;
     }},
    // logs <n>: a thread prints n lines of 64 bytes after the request.
    {"logs", "%u",
     [](HANDLER_ARGS) -> uint32_t {
         const uint32_t n = static_cast<uint32_t>(a0);
         std::thread([n] {
             for (uint32_t i = 0; i < n; i++)
                 printf("%063u\n", i);
             fflush(stdout);
         }).detach();
         return 0;
     }},
    // 300 sleeps of a millisecond, the cancel flag ignored: prints how many
    // a signal cut short.
    {"eintrs", "",
     [](HANDLER_ARGS) -> uint32_t {
         int cut = 0;
         for (int i = 0; i < 300; i++)
             cut += usleep(1000) != 0 && errno == EINTR;
         return printf("%d\n", cut) > 0 ? 0 : 1;
     }},
    {"repeat", "%u",
     [](HANDLER_ARGS) -> uint32_t {
         kxMUtiSrv_CancelRepeat(static_cast<uint32_t>(a0));
         return 0;
     }},
};

struct Reply {
    std::string out, err, result; // result: the last frame's payload, R's or X's at the end
    std::string types;            // of the frames, in order
    uint32_t status = 0;          // R's status, or X's code
    uint32_t nOut = 0, nErr = 0;  // R's totals
    uint32_t flags = 0;           // R's flags
    bool gap = false;             // offsets did not follow on
    bool Flag(uint32_t bit) const { return (flags & bit) != 0; }
};

std::string Frame(char type, uint32_t id, uint32_t n, const std::string &payload)
{
    std::string f(SrvFrame_Size(static_cast<uint32_t>(payload.size())), '\0');
    f.resize(SrvFrame_Encode(f.data(), type, id, n, payload.data(),
                             static_cast<uint32_t>(payload.size())));
    return f;
}

class Served : public ::testing::Test {
  protected:
    void SetUp() override
    {
        int toChild[2], fromChild[2];
        ASSERT_EQ(pipe(toChild) | pipe(fromChild), 0);
        if ((mPid = fork()) == 0) {
            close(toChild[1]);
            close(fromChild[0]);
            alarm(120);
            kxMUtiCmd_Init(0);
            for (const auto &c : kCommands)
                kxMUtiCmd_Add(nullptr, c.handler, c.name, nullptr, 0, c.args, 0, "");
            _exit(kxMUtiSrv_ServeFds(nullptr, toChild[0], fromChild[1]) == KX_OK ? 0 : 1);
        }
        ASSERT_GT(mPid, 0);
        close(toChild[0]);
        close(fromChild[1]);
        mTo = toChild[1];
        mFrom = fromChild[0];
        SrvReader_Init(&mReader);
        ASSERT_TRUE(Next('G'));
    }

    // The server ends with its input; the alarm set in the child bounds the wait.
    void TearDown() override
    {
        if (mTo >= 0)
            close(mTo);
        int status = 0;
        EXPECT_EQ(waitpid(mPid, &status, 0), mPid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "server status " << status;
        close(mFrom);
    }

    void Send(char type, uint32_t id, uint32_t n = 0, const std::string &payload = "")
    {
        const std::string f = Frame(type, id, n, payload);
        ASSERT_EQ(write(mTo, f.data(), f.size()), ssize_t(f.size()));
    }

    // The next frame of that type (any when 0), within 20 s; false at the end of the output.
    bool Next(char wantType = 0)
    {
        for (SrvReadResult r;;) {
            while ((r = SrvReader_Next(&mReader, &mFrame, false)) != SRV_READ_NONE)
                if (r == SRV_READ_FRAME && (wantType == 0 || mFrame.type == wantType))
                    return true;
            pollfd p = {mFrom, POLLIN, 0};
            unsigned char *pDst;
            const uint32_t room = SrvReader_Space(&mReader, &pDst);
            const ssize_t n = poll(&p, 1, 20000) == 1 ? read(mFrom, pDst, room) : 0;
            if (n <= 0)
                return false;
            SrvReader_Commit(&mReader, static_cast<uint32_t>(n));
        }
    }

    std::string Payload() const
    {
        return {reinterpret_cast<const char *>(mFrame.payload), mFrame.len};
    }

    // Everything for request id up to its R (or an X).
    Reply Collect(uint32_t id)
    {
        Reply r;
        while (Next()) {
            if (mFrame.id != id)
                continue;
            r.types += mFrame.type;
            r.status = mFrame.n;
            r.result = Payload();
            if (mFrame.type == 'X')
                break;
            if (mFrame.type == 'R') {
                r.nOut = mFrame.nums[kSrvROut];
                r.nErr = mFrame.nNums > kSrvRErr ? mFrame.nums[kSrvRErr] : 0;
                r.flags = mFrame.nNums > kSrvRFlags ? mFrame.nums[kSrvRFlags] : 0;
                r.gap = r.gap || r.nOut - mFrame.len != r.out.size(); // the tail's offset
                r.out += r.result;
                break;
            }
            std::string &stream = mFrame.type == 'E' ? r.err : r.out;
            r.gap = r.gap || mFrame.n != stream.size();
            stream += r.result;
        }
        return r;
    }

    Reply Run(uint32_t id, const std::string &line) { return Send('Q', id, 0, line), Collect(id); }
    Reply Fetch(uint32_t id) { return Send('F', id), Collect(id); }

    pid_t mPid = -1;
    int mTo = -1, mFrom = -1;
    SrvReader mReader;
    SrvFrame mFrame;
};

// Output arrives as the exact bytes, each stream apart, totals that match;
// what a thread prints after the result comes as a log frame.
TEST_F(Served, OutputIsExactBytesAndLateOutputALogFrame)
{
    Reply r = Run(1, "awkward");
    EXPECT_EQ(r.out, kAwkward);
    EXPECT_EQ(r.err, "to stderr\n");
    EXPECT_EQ(r.status, 7u);
    EXPECT_EQ(r.nOut, kAwkward.size());
    EXPECT_EQ(r.nErr, 10u);
    EXPECT_FALSE(r.gap);
    // Quick: no K, the error as E, the output in R (unless slowed past the hold).
    EXPECT_TRUE(r.types == "ER" || r.types.front() == 'K') << r.types;
    EXPECT_EQ(Run(2, "later").out, "");
    ASSERT_TRUE(Next('L'));
    EXPECT_EQ(mFrame.n, 1u);
    EXPECT_EQ(Payload(), "late\n");
}

// Cancel ends a handler that polls the flag (the client's timeout test
// cancels a built-in sleep); the flag is clear again for the next request.
TEST_F(Served, CancelStopsAHandler)
{
    Send('Q', 1, 0, "spin");
    ASSERT_TRUE(Next('K'));
    Send('C', 1);
    Reply r = Collect(1);
    EXPECT_TRUE(r.Flag(kSrvFlagCancelled)) << r.flags;
    EXPECT_EQ(r.status, 0xFFFFFFF0u);
    r = Run(2, "spin 1"); // words left over: refused at once, not cancelled
    EXPECT_FALSE(r.Flag(kSrvFlagCancelled)) << r.flags;
}

// A repeated id is answered from the store, never run again (the session
// core's tests cover the refusals once the store has moved on).
TEST_F(Served, RepeatsComeFromTheStore)
{
    EXPECT_EQ(Run(1, "count").out, "1\n");
    Reply again = Run(1, "count");
    EXPECT_EQ(again.out, "1\n");
    EXPECT_TRUE(again.Flag(kSrvFlagReplay));
    EXPECT_EQ(Fetch(1).out, "1\n");
}

// A request that names the one it follows (n) is refused, and not run,
// while that one has not arrived.  Sent without waiting, far more than the
// queue holds, each naming the one before, they run in order, each once.
// The end of input ends serving, after the requests already sent.
TEST_F(Served, PipelinedRequestsKeepTheirOrder)
{
    Reply refused = (Send('Q', 11, 10, "count"), Collect(11)); // 10 was lost
    EXPECT_EQ(refused.types, "X");
    EXPECT_EQ(refused.status, 12u);
    std::string all;
    for (uint32_t id = 10; id < 10 + 3 * KXSRV_QUEUE_MAX; id++)
        all += Frame('Q', id, id == 10 ? 0 : id - 1, "count");
    ASSERT_EQ(write(mTo, all.data(), all.size()), ssize_t(all.size()));
    for (uint32_t id = 10; id < 10 + 3 * KXSRV_QUEUE_MAX; id++)
        EXPECT_EQ(Collect(id).out, std::to_string(id - 9) + "\n");
    Send('Q', 1, 0, "count");
    close(mTo);
    mTo = -1;
    EXPECT_EQ(Collect(1).out, std::to_string(3 * KXSRV_QUEUE_MAX + 1) + "\n");
    EXPECT_FALSE(Next());
}

// A cancel signals the interpreter's thread once: at most one sleep of a
// handler that ignores the flag is cut (none when the signal lands between
// two sleeps, as it may on a loaded machine), not every one after it.  A
// host that asks for repeats gets one every so often.
TEST_F(Served, CancelSignalsOnceUnlessRepeatsAsked)
{
    const struct {
        const char *setting;
        int few, many; // signals that cut a sleep
    } kCases[] = {{"", 0, 1}, {"repeat 20", 2, 20}, {"repeat 0", 0, 1}};
    uint32_t id = 1;
    for (const auto &c : kCases) {
        if (*c.setting != '\0') // the first runs with the default
            Run(id++, c.setting);
        Send('Q', id, 0, "eintrs");
        ASSERT_TRUE(Next('K'));
        usleep(30000);
        Send('C', id);
        Reply r = Collect(id++);
        EXPECT_TRUE(r.Flag(kSrvFlagCancelled)) << c.setting << ": " << r.flags;
        const int cut = atoi(r.out.c_str());
        EXPECT_GE(cut, c.few) << c.setting;
        EXPECT_LE(cut, c.many) << c.setting;
    }
}

// Over descriptors the peer sets the pace for log output too: a thread that
// prints far more than the buffer while the peer does not read waits in its
// writes, and every line arrives once the peer reads.
TEST_F(Served, LogsWaitForASlowPeer)
{
    constexpr uint32_t kLines = 40000; // 2.5 MiB
    // The thread may start printing before the request's result: its first
    // lines then belong to the request, the rest are logs.
    std::string logs = Run(1, "logs " + std::to_string(kLines)).out;
    usleep(300000); // the peer reads nothing meanwhile
    while (logs.size() < size_t{kLines} * 64 && Next('L'))
        logs += Payload();
    EXPECT_EQ(logs.size(), size_t{kLines} * 64);
    EXPECT_EQ(logs.substr(logs.size() - 64), std::string(58, '0') + "39999\n");
}

// B while a request runs: it is cancelled, the session ends at once, and
// serving returns with the interpreter free (the alarm bounds the wait).
TEST_F(Served, ByeCancelsTheRunningRequest)
{
    Send('Q', 1, 0, "msleep 20000");
    ASSERT_TRUE(Next('K'));
    usleep(20000);
    const auto start = std::chrono::steady_clock::now();
    Send('B', 0);
    EXPECT_FALSE(Next('R')) << "a result after B";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

// Output written a line at a time leaves in pieces of up to a chunk (or
// what came within a millisecond), not one frame per write.  Output far
// over the buffer streams in order; too big to keep, a replay says so
// rather than return a part.
TEST_F(Served, OutputLeavesInChunksAndStreams)
{
    Reply r = Run(1, "lines 400 50");
    ASSERT_EQ(r.out.size(), 400u * 64u);
    EXPECT_FALSE(r.gap);
    EXPECT_LT(std::count(r.types.begin(), r.types.end(), 'O'), 200) << "one frame per write";
    r = Run(2, "lines " + std::to_string(1u << 18)); // 16 MiB
    EXPECT_FALSE(r.gap);
    EXPECT_EQ(r.out.size(), 16u << 20);
    EXPECT_TRUE(r.Flag(kSrvFlagNotKept)) << r.flags;
    r = Fetch(2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.Flag(kSrvFlagNotKept) && r.Flag(kSrvFlagReplay)) << r.flags;
    EXPECT_EQ(r.nOut, 16u << 20);
}

} // namespace

// The session core without I/O, driven by scripted frames and a clock that
// only moves when told: its states (before greeting, before token, idle,
// queued, running, cancelling, closing, closed) and the transitions
// between them, what each sends, what it audits and cancels, and the bound
// on what it holds whatever the peer sends or fails to read.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "SrvAudit.h"
#include "SrvSession.h"

namespace {

const std::string kToken = "0123456789abcdef-token";

struct Out {
    char type;
    uint32_t id, n;
    std::string data;
    std::vector<uint32_t> nums; // all of them, n first
};

std::string Frame(char type, uint32_t id, uint32_t n, const std::string &payload)
{
    std::string f(SrvFrame_Size(static_cast<uint32_t>(payload.size())), '\0');
    f.resize(SrvFrame_Encode(f.data(), type, id, n, payload.data(),
                             static_cast<uint32_t>(payload.size())));
    return f;
}

// Frames as the tests name them, blank between: "G+" a greeting with the
// manifest, "G-" without; X and R with their number; K with its id.
std::string Names(const std::vector<Out> &frames)
{
    std::string names;
    for (const Out &o : frames) {
        names += names.empty() ? "" : " ";
        if (o.type == 'G')
            names += o.data.find("\"manifest\":{}") == std::string::npos ? "G+" : "G-";
        else if (o.type == 'X' || o.type == 'R')
            names += o.type + std::to_string(o.n);
        else
            names += o.type == 'K' ? "K" + std::to_string(o.id) : std::string(1, o.type);
    }
    return names;
}

class Core : public ::testing::Test {
  public:
    struct Setup {
        bool token = false, net = true;
        uint32_t idleMs = 0, graceMs = 0, deadlineMs = 0, progressMin = KXSRV_WRITE_PROGRESS_MIN;
    };

    void SetUp() override { Make({}); }

    void TearDown() override { Drop(); }

    void Make(const Setup &setup)
    {
        Drop();
        const SrvHello hello = {setup.token, 4, setup.idleMs / 1000u};
        ASSERT_TRUE(SrvWire_Greeting(&mGreeting, hello, true));
        ASSERT_TRUE(SrvWire_Greeting(&mAnon, hello, false));
        ASSERT_EQ(SrvAuth_ParseToken(&mAuth, reinterpret_cast<const unsigned char *>(kToken.data()),
                                     static_cast<uint32_t>(kToken.size())),
                  SrvTokenProblem::kNone);
        mCfg = {&mGreeting,        &mAnon,        setup.token ? &mAuth : nullptr,
                setup.idleMs,      setup.graceMs, setup.deadlineMs,
                setup.progressMin, setup.net,     {this, OnCancel, OnAudit}};
        s = static_cast<SrvSession *>(malloc(sizeof(SrvSession)));
        SrvSession_Init(s, &mCfg, "peer", SrvSource{});
        SrvReader_Init(&mReader);
    }

    void Drop()
    {
        if (s != nullptr) {
            SrvSession_Free(s);
            free(s);
        }
        s = nullptr;
        SrvBuf_Free(&mGreeting);
        SrvBuf_Free(&mAnon);
        audit.clear();
        cancels = 0;
    }

    static void OnCancel(void *pUser, SrvSession *) { static_cast<Core *>(pUser)->cancels++; }

    static void OnAudit(void *pUser, const SrvSession *, const SrvAuditRec &rec)
    {
        std::string &line = static_cast<Core *>(pUser)->audit.emplace_back();
        if (rec.kind == SrvAuditRec::kClose) {
            line = std::string("close ") + kSrvEndName[static_cast<int>(rec.why)];
            return;
        }
        line = (rec.kind == SrvAuditRec::kStart ? "start " : "end ") + std::to_string(rec.pJob->id);
        if (rec.kind == SrvAuditRec::kEnd)
            line += std::string(" ") + kSrvHowName[static_cast<int>(rec.how)];
    }

    // Feeds bytes; returns how many the session took.
    uint32_t Feed(const std::string &bytes)
    {
        return SrvSession_Feed(s, bytes.data(), static_cast<uint32_t>(bytes.size()), now);
    }

    uint32_t Send(char type, uint32_t id = 0, uint32_t n = 0, const std::string &payload = "")
    {
        return Feed(Frame(type, id, n, payload));
    }

    // Everything the session holds, as frames; the peer takes it all.
    std::vector<Out> Read()
    {
        const char *p;
        const uint32_t n = SrvSession_Pending(s, &p);
        std::vector<Out> frames;
        for (uint32_t at = 0; at < n;) {
            unsigned char *pDst;
            const uint32_t room = SrvReader_Space(&mReader, &pDst);
            const uint32_t take = room < n - at ? room : n - at;
            memcpy(pDst, p + at, take);
            SrvReader_Commit(&mReader, take);
            at += take;
            for (SrvReadResult r;
                 (r = SrvReader_Next(&mReader, &mFrame, false)) != SRV_READ_NONE;) {
                EXPECT_EQ(r, SRV_READ_FRAME) << "the session sent something not a frame";
                frames.push_back({mFrame.type, mFrame.id, mFrame.n,
                                  std::string(reinterpret_cast<char *>(mFrame.payload), mFrame.len),
                                  std::vector<uint32_t>(mFrame.nums, mFrame.nums + mFrame.nNums)});
            }
        }
        SrvSession_Sent(s, n, false, now);
        return frames;
    }

    // The names of what the session sent since the last look.
    std::string Said() { return Names(Read()); }

    // Opens the session; the greeting is taken.
    void Open()
    {
        SrvSession_Open(s, now);
        Said();
    }

    // Queues request id and starts it.
    void Begin(uint32_t id, const std::string &line = "q")
    {
        Send('Q', id, 0, line);
        SrvSession_Start(s, now);
    }

    uint32_t Pending() const
    {
        const char *p;
        return SrvSession_Pending(s, &p);
    }

    std::string Audited()
    {
        std::string all;
        for (const std::string &a : audit)
            all += (all.empty() ? "" : ", ") + a;
        audit.clear();
        return all;
    }

    void Wait(uint64_t ms)
    {
        now += ms;
        SrvSession_Tick(s, now);
    }

    SrvState State() const { return SrvSession_State(s); }

    // Starts the next request; runs it to its end with output and status,
    // as the loop does: whole chunks as they fill, the last of each stream
    // at the end.  Ending within a moment, it gets no K.
    void Run(const std::string &out = "", const std::string &err = "", uint32_t status = 0,
             bool quit = false)
    {
        ASSERT_TRUE(SrvSession_CanStart(s));
        SrvSession_Start(s, now);
        Finish(out, err, status, quit);
    }

    // The running request ends, having printed out and err.
    void Finish(const std::string &out = "", const std::string &err = "", uint32_t status = 0,
                bool quit = false, bool failed = false)
    {
        SrvTails tails{};
        const std::string *texts[2] = {&out, &err};
        for (int i = 0; i < 2; i++) {
            const size_t whole = texts[i]->empty() ? 0 : (texts[i]->size() - 1) / KXSRV_CHUNK_MAX;
            Print(i + 1, texts[i]->substr(0, whole * KXSRV_CHUNK_MAX));
            tails.p[i] = texts[i]->data() + whole * KXSRV_CHUNK_MAX;
            tails.n[i] = static_cast<uint32_t>(texts[i]->size() - whole * KXSRV_CHUNK_MAX);
        }
        SrvSession_Finish(s, {status, failed, quit, 5}, tails, now);
    }

    // The running request prints text on stream, a chunk at a time.
    void Print(int stream, const std::string &text)
    {
        for (size_t at = 0; at < text.size(); at += KXSRV_CHUNK_MAX) {
            const size_t n = std::min<size_t>(KXSRV_CHUNK_MAX, text.size() - at);
            SrvSession_Output(s, stream, text.data() + at, static_cast<uint32_t>(n));
        }
    }

    uint64_t now = 1000;
    int cancels = 0;
    std::vector<std::string> audit;
    SrvSession *s = nullptr;

  private:
    SrvBuf mGreeting{}, mAnon{};
    SrvAuth mAuth{};
    SrvSessionCfg mCfg{};
    SrvReader mReader;
    SrvFrame mFrame;
};

// Before the greeting nothing is said; the greeting tells the board's
// manifest only where no token is wanted.  Before the token only H, A and
// B are taken; anything else draws X 8 and the session goes on.  A right
// token opens it (the full greeting again).
TEST_F(Core, GreetingThenOnlyHABBeforeTheToken)
{
    EXPECT_EQ(State(), SrvState::kNew);
    EXPECT_EQ(Said(), "");
    EXPECT_EQ(Send('H'), 0u) << "input before the greeting";
    SrvSession_Open(s, now);
    EXPECT_EQ((State()), SrvState::kIdle);
    EXPECT_EQ(Said(), "G+");
    Make({.token = true});
    SrvSession_Open(s, now);
    EXPECT_EQ(State(), SrvState::kToken);
    EXPECT_EQ(Said(), "G-");
    Send('H');
    Send('Q', 1, 0, "echo x");
    Send('D', 2);
    Send('F', 1);
    Send('C', 1);
    Send('Z', 3);
    EXPECT_EQ(Said(), "G- X8 X8 X8 X8 X8");
    EXPECT_EQ(State(), SrvState::kToken);
    Send('A', 0, 0, kToken);
    EXPECT_EQ(Said(), "G+");
    Send('Q', 1, 0, "echo x");
    EXPECT_EQ(State(), SrvState::kQueued);
    Send('A', 0, 0, "anything");
    EXPECT_EQ(Said(), "G+") << "A once in: the greeting again";
}

// A wrong token: nothing read until the delay is over, then X 8 and the end.
TEST_F(Core, WrongTokenAnsweredAfterItsDelay)
{
    Make({.token = true});
    Open();
    Send('A', 0, 0, kToken + "x");
    EXPECT_EQ(Send('H'), 0u) << "input read during the delay";
    Wait(KXSRV_AUTH_DELAY_MS - 1);
    EXPECT_EQ(Said(), "");
    EXPECT_EQ(State(), SrvState::kToken);
    Wait(1);
    EXPECT_EQ(Said(), "X8");
    EXPECT_EQ(State(), SrvState::kClosed);
    EXPECT_EQ(Audited(), "close token");
}

// The grace counts from the start: input all along does not extend it.
TEST_F(Core, GraceCountsFromTheStart)
{
    Make({.token = true, .idleMs = 10000, .graceMs = 3000});
    Open();
    for (int i = 0; i < 5; i++) {
        Send('H');
        Wait(500);
    }
    EXPECT_EQ(State(), SrvState::kToken);
    Wait(499);
    EXPECT_EQ(State(), SrvState::kToken);
    Wait(1);
    EXPECT_EQ(Said(), "G- G- G- G- G- X10");
    EXPECT_EQ(State(), SrvState::kClosed);
    EXPECT_EQ(Audited(), "close grace");
}

// A request's life: queued, running, its output and error as pieces with
// offsets (its K before the first), its R with the totals and the flag
// failed, and the last of the output; audited at its start and end.
TEST_F(Core, RequestQueuedRunningFinished)
{
    Open();
    Send('Q', 7, 0, "echo x");
    EXPECT_EQ(State(), SrvState::kQueued);
    SrvSession_Start(s, now);
    EXPECT_EQ(State(), SrvState::kRunning);
    SrvSession_Output(s, 1, "ab", 2);
    SrvSession_Output(s, 2, "err", 3);
    SrvSession_Output(s, 1, "cd", 2);
    SrvSession_Finish(s, {9, true, false, 12}, SrvTails{{"ef", "rr"}, {2, 2}}, now);
    EXPECT_EQ(State(), SrvState::kIdle);
    const std::vector<Out> f = Read();
    ASSERT_EQ(Names(f), "K7 O E O E R9");
    EXPECT_EQ(f[3].n, 2u) << "offset of the second output piece";
    EXPECT_EQ(f[4].n, 3u) << "the last of the error, at its offset";
    EXPECT_EQ(f[5].nums, (std::vector<uint32_t>{9, 6, 12, 5, kSrvFlagFailed}));
    EXPECT_EQ(f[5].data, "ef") << "the last of the output, at 6 - 2";
    EXPECT_EQ(Audited(), "start 7, end 7 finished");
}

// K: owed from the start, sent once, and only when the request runs past
// the loop's moment (Announce), is asked for (F, a repeat), or sends
// output before its end; R alone says a quick request ran.
TEST_F(Core, KOnlyForARequestThatRunsOnOrSpeaksFirst)
{
    const struct {
        const char *name;
        void (*run)(Core &);
        const char *said;
    } kCases[] = {
        {"ends at once", [](Core &t) { t.Finish("out", "err"); }, "E R0"},
        {"runs on past the moment",
         [](Core &t) { SrvSession_Announce(t.s), SrvSession_Announce(t.s), t.Finish(); }, "K1 R0"},
        {"output before its end", [](Core &t) { t.Print(1, "x"), t.Print(1, "y"), t.Finish("z"); },
         "K1 O O R0"},
        {"F while it runs", [](Core &t) { t.Send('F', 1), SrvSession_Announce(t.s), t.Finish(); },
         "K1 R0"},
        {"repeat while it runs",
         [](Core &t) { t.Send('Q', 1, 0, "q"), t.Print(2, "e"), t.Finish(); }, "K1 E R0"},
        {"session ends first",
         [](Core &t) { t.Send('B'), SrvSession_Announce(t.s), t.Finish("o"); }, ""},
    };
    for (const auto &c : kCases) {
        SetUp();
        Open();
        Begin(1);
        c.run(*this);
        EXPECT_EQ(Said(), c.said) << c.name;
    }
}

// G's numbers: the version, then the first id the session has not taken,
// so that a client that takes a session over numbers on after it.
TEST_F(Core, GreetingTellsVersionAndNextId)
{
    SrvSession_Open(s, now);
    EXPECT_EQ(Read()[0].nums, (std::vector<uint32_t>{kSrvProtocol, 1}));
    Send('Q', 40, 0, "q");
    Send('Q', 3, 0, "q");
    Send('Q', 41, 0, std::string(KXSRV_LINE_MAX + 1, 'y')); // refused: not taken
    Send('H');
    const std::vector<Out> f = Read();
    ASSERT_EQ(f.back().type, 'G');
    EXPECT_EQ(f.back().nums, (std::vector<uint32_t>{kSrvProtocol, 41}));
}

// A frame of version 1 is answered in a frame of version 1, an error that
// names both versions; nothing runs, and the session goes on.
TEST_F(Core, Version1FrameAnsweredInItsOwnFrames)
{
    Open();
    char v1[SrvFrame_SizeV1(16)];
    const uint32_t n = SrvFrame_EncodeV1(v1, 'Q', 1, 0, "echo hello", 10);
    Feed(std::string(v1, n));
    const char *p;
    const uint32_t pending = SrvSession_Pending(s, &p);
    char want[SrvFrame_SizeV1(64)];
    const char *pMessage = kSrvErrors[static_cast<int>(SrvErr::kOldVersion)].pMessage;
    const uint32_t wantLen =
        SrvFrame_EncodeV1(want, 'X', 0, 13, pMessage, static_cast<uint32_t>(strlen(pMessage)));
    EXPECT_EQ(std::string(p, pending), std::string(want, wantLen));
    EXPECT_NE(std::string(pMessage).find("version 1"), std::string::npos);
    EXPECT_NE(std::string(pMessage).find("version 2"), std::string::npos);
    SrvSession_Sent(s, pending, false, now);
    EXPECT_FALSE(SrvSession_CanStart(s));
    Send('Q', 1, 0, "echo");
    EXPECT_TRUE(SrvSession_CanStart(s));
}

// What a request frame draws, by what the session knows of its id: the
// store's answers, and the refusals that leave the id unused.
TEST_F(Core, RequestAnswersByWhatTheIdIs)
{
    const std::string atLimit(KXSRV_LINE_MAX, 'y');
    const struct {
        const char *name;
        char type;
        uint32_t id, n;
        std::string payload;
        const char *said;
    } kCases[] = {
        {"F of the running request", 'F', 2, 0, "", "K2"},
        {"repeat of the running request", 'Q', 2, 0, "echo", "K2"},
        {"F of a waiting request", 'F', 3, 0, "", "X5"},
        {"F of a kept result, output and error", 'F', 1, 0, "", "E R0"},
        {"repeat of a kept result", 'Q', 1, 0, "other", "E R0"},
        {"F of an id never seen", 'F', 99, 0, "", "X6"},
        {"C of an id never seen", 'C', 99, 0, "", "X6"},
        {"C of a finished request", 'C', 1, 0, "", ""},
        {"Q behind an id not received", 'Q', 5, 4, "echo", "X12"},
        {"Q behind one received", 'Q', 5, 1, "echo", ""},
        {"line at the limit", 'Q', 5, 0, atLimit, ""},
        {"line over the limit", 'Q', 5, 0, atLimit + "y", "X3"},
        {"line with a NUL", 'Q', 5, 0, std::string("a\0b", 3), "X3"},
        {"unknown type", 'Z', 5, 0, "", "X4"},
    };
    for (const auto &c : kCases) {
        SetUp();
        Open();
        Send('Q', 1, 0, "echo");
        Run("out", "err");
        Begin(2, "slow");
        Send('Q', 3, 0, "next");
        Said();
        Send(c.type, c.id, c.n, c.payload);
        EXPECT_EQ(Said(), c.said) << c.name;
        if (std::string(c.said) == "E R0") {
            Send('F', 1);
            const std::vector<Out> f = Read();
            EXPECT_TRUE(f[0].data == "err" && f[1].data == "out" && f[1].nums.size() == 5 &&
                        f[1].nums[kSrvRFlags] == kSrvFlagReplay)
                << c.name;
        }
    }
}

// Refused ids stay free; taken ones are never run twice, and once the
// store has moved on a repeat is refused (X 7), never run.
TEST_F(Core, AnIdRunsOnce)
{
    Open();
    Send('Q', 1, 0, std::string(KXSRV_LINE_MAX + 1, 'y'));
    Send('Q', 1, 0, "echo");
    EXPECT_TRUE(SrvSession_CanStart(s)) << "a refused id was used";
    Run();
    for (uint32_t id = 2; id < 2 + KXSRV_KEPT; id++) {
        Send('Q', id, 0, "echo");
        Run();
    }
    Said();
    Send('Q', 1, 0, "echo");
    EXPECT_EQ(Said(), "X7");
    EXPECT_FALSE(SrvSession_CanStart(s));
}

// C: the running request is cancelled once (the hook), and its result
// says so; a waiting one never runs: a cancelled R at once, no K.
TEST_F(Core, CancelRunningOnceAndWaiting)
{
    Open();
    Begin(1, "msleep 5000");
    Send('Q', 2, 0, "echo");
    Send('C', 1);
    Send('C', 1);
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(State(), SrvState::kCancelling);
    Send('C', 2);
    EXPECT_EQ(Said(), "R4294967295");
    SrvSession_Finish(s, {0xFFFFFFFFu, true, false, 3}, SrvTails{}, now);
    const std::vector<Out> f = Read();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].nums,
              (std::vector<uint32_t>{0xFFFFFFFFu, 0, 3, 0, kSrvFlagFailed | kSrvFlagCancelled}));
    EXPECT_EQ(State(), SrvState::kIdle);
    EXPECT_EQ(Audited(), "start 1, end 2 cancelled, end 1 cancelled");
}

// However a session ends while a request runs and others wait: the
// running one is cancelled once and ends audited, how by the end's kind;
// the waiting ones are dropped, each audited; the session's end record
// comes after its last request's, with why; no R goes out.
TEST_F(Core, EndWhileRunningCancelsAndAuditsAll)
{
    const struct {
        const char *why;
        const char *error; // what it says
        const char *how;   // the running request's end
        void (*end)(Core &);
    } kCases[] = {
        {"bye", "", "closed", [](Core &t) { t.Send('B'); }},
        {"eof", "", "closed", [](Core &t) { SrvSession_InputEnded(t.s, false, t.now); }},
        {"reset", "", "closed", [](Core &t) { SrvSession_InputEnded(t.s, true, t.now); }},
        {"deadline", "K1 O X11", "deadline",
         [](Core &t) {
             SrvSession_Output(t.s, 1, "x", 1);
             SrvSession_Sent(t.s, 0, true, t.now);
             t.Wait(3000);
         }},
    };
    for (const auto &c : kCases) {
        Make({.deadlineMs = 3000});
        Open();
        Begin(1, "source sidefx.kx");
        Send('Q', 2, 0, "echo");
        Send('Q', 3, 0, "echo");
        Audited();
        c.end(*this);
        EXPECT_EQ(cancels, 1) << c.why;
        EXPECT_EQ(State(), SrvState::kClosed) << c.why;
        EXPECT_EQ(Said(), c.error) << c.why;
        EXPECT_FALSE(SrvSession_Gone(s)) << c.why << ": freed while its request runs";
        SrvSession_Finish(s, {0xFFFFFFFFu, true, false, 40}, SrvTails{}, now);
        EXPECT_EQ(Said(), "") << c.why;
        EXPECT_TRUE(SrvSession_Gone(s)) << c.why;
        EXPECT_EQ(Audited(),
                  std::string("end 2 dropped, end 3 dropped, end 1 ") + c.how + ", close " + c.why);
    }
}

// Idle and write deadline need an idle session or waiting output; a
// running or waiting request keeps a quiet session open.
TEST_F(Core, TimersOfAnOpenSession)
{
    Make({.idleMs = 2000, .deadlineMs = 3000});
    Open();
    Begin(1, "msleep 9000");
    Wait(5000);
    EXPECT_EQ(State(), SrvState::kRunning) << "idle while running";
    SrvSession_Finish(s, {0, false, false, 5}, SrvTails{}, now);
    Said();
    Wait(1999);
    EXPECT_EQ(State(), SrvState::kIdle);
    Wait(1);
    EXPECT_EQ(Said(), "X10");
    EXPECT_EQ(Audited(), "start 1, end 1 finished, close idle");

    // Output that moves (64 KiB per deadline) is never stuck.
    Make({.deadlineMs = 3000});
    SrvSession_Open(s, now);
    Begin(1, "lines");
    const std::string piece(KXSRV_CHUNK_MAX, 'x');
    for (int i = 0; i < 40; i++) {
        for (int k = 0; k < 8; k++)
            SrvSession_Output(s, 1, piece.data(), KXSRV_CHUNK_MAX);
        SrvSession_Sent(s, Pending() - 1, true, now); // all but a byte, then blocked
        Wait(1000);
    }
    EXPECT_EQ(State(), SrvState::kRunning);

    // Over descriptors any byte taken is progress: a slow line taking a
    // byte a second is never stuck; one that takes nothing is closed.
    Make({.deadlineMs = 3000, .progressMin = 1});
    SrvSession_Open(s, now);
    Begin(1, "lines");
    SrvSession_Output(s, 1, piece.data(), KXSRV_CHUNK_MAX);
    Said();
    for (int i = 0; i < 10; i++) {
        SrvSession_Sent(s, 1, true, now);
        Wait(1000);
    }
    EXPECT_EQ(State(), SrvState::kRunning) << "a slow line taken for a stuck one";
    Wait(3000);
    EXPECT_EQ(State(), SrvState::kClosed);
}

// quit: its R goes out, the waiting requests are dropped, and the session
// ends once its output has left.  The end of input over descriptors runs
// what was read first.
TEST_F(Core, QuitAndEndOfInputDrain)
{
    SrvSession_Open(s, now);
    Send('Q', 1, 0, "quit");
    Send('Q', 2, 0, "echo");
    Run("", "", 0, true);
    EXPECT_EQ(State(), SrvState::kClosing);
    EXPECT_EQ(Send('Q', 3, 0, "echo"), 0u);
    EXPECT_EQ(Said(), "G+ R0");
    EXPECT_EQ(State(), SrvState::kClosed);
    EXPECT_EQ(Audited(), "start 1, end 1 finished, end 2 dropped, close quit");

    Make({.net = false});
    SrvSession_Open(s, now);
    Send('Q', 1, 0, "echo");
    Send('Q', 2, 0, "echo");
    SrvSession_InputEnded(s, false, now);
    EXPECT_EQ(State(), SrvState::kClosing);
    Run();
    Run();
    EXPECT_EQ(Said(), "G+ R0 R0");
    EXPECT_EQ(State(), SrvState::kClosed);
    EXPECT_EQ(Audited(), "start 1, end 1 finished, start 2, end 2 finished, close eof");
}

// Whatever a peer that never reads sends, the session holds at most the
// buffer: past the high-water mark it takes no more input.  Once the peer
// reads, it takes input again.
TEST_F(Core, NothingAPeerSendsOutgrowsTheBuffer)
{
    const std::string kept(KXSRV_KEPT_BYTES / 2, 'k'), err(KXSRV_KEPT_BYTES / 2, 'e');
    const struct {
        const char *name;
        bool token;
        std::string frame;
    } kCases[] = {
        {"H before the token", true, Frame('H', 0, 0, "")},
        {"Q before the token", true, Frame('Q', 1, 0, "echo")},
        {"bad markers", true, "#KX \n"},
        {"H", false, Frame('H', 0, 0, "")},
        {"F of a kept result", false, Frame('F', 1, 0, "")},
        {"a repeated id", false, Frame('Q', 1, 0, "echo")},
        {"unknown ids", false, Frame('F', 9, 0, "")},
    };
    for (const auto &c : kCases) {
        Make({.token = c.token});
        SrvSession_Open(s, now);
        if (!c.token) {
            Send('Q', 1, 0, "big");
            Run(kept, err);
        }
        std::string flood;
        while (flood.size() < size_t{64} * 1024)
            flood += c.frame;
        uint64_t offered = 0, taken = 0;
        for (int i = 0; i < 100 && taken == offered; i++) {
            offered += flood.size();
            taken += Feed(flood);
            ASSERT_LE(Pending(), KXSRV_BUFFER_MAX) << c.name;
        }
        EXPECT_LT(taken, offered) << c.name << ": never stopped reading";
        EXPECT_TRUE(SrvSession_Full(s)) << c.name;
        Read();
        EXPECT_EQ(Feed(c.frame), c.frame.size()) << c.name << ": deaf after the peer read";
    }
}

// Output of the running request and logs stop at the high-water mark too
// (the loop then stops draining); logs go only to open sessions that have
// the token.
TEST_F(Core, OutputAndLogsWithinTheBuffer)
{
    SrvSession_Open(s, now);
    const std::string piece(KXSRV_CHUNK_MAX, 'x');
    uint32_t logs = 0;
    while (SrvSession_Log(s, 1, piece.data(), KXSRV_CHUNK_MAX))
        logs++;
    EXPECT_LE(Pending(), KXSRV_BUFFER_MAX);
    EXPECT_GT(logs, 100u);
    Make({.token = true});
    SrvSession_Open(s, now);
    EXPECT_FALSE(SrvSession_Log(s, 2, "x", 1)) << "a log before the token";
    Send('A', 0, 0, kToken);
    EXPECT_TRUE(SrvSession_Log(s, 2, "x", 1));
    Send('B');
    EXPECT_FALSE(SrvSession_Log(s, 2, "x", 1)) << "a log after the end";
}

// A marker line over the size limit draws X 2 only when its CRC is right;
// the same with a wrong CRC is noise (X 1).  Lines far longer than the
// reader holds are judged when they end, fed in pieces.
TEST_F(Core, OversizeJudgedAfterTheCrc)
{
    const auto bad = [](std::string f) {
        f[f.size() - 2] = f[f.size() - 2] == '0' ? '1' : '0';
        return f;
    };
    const std::string huge = Frame('Q', 1, 0, std::string(KXSRV_FRAME_MAX + 1, 'h'));
    const std::string longer = Frame('Q', 1, 0, std::string(size_t{5} * KXSRV_FRAME_MAX, 'h'));
    const struct {
        const char *name;
        std::string line;
        const char *said;
    } kCases[] = {
        {"one byte over, CRC right", huge, "X2"},
        {"one byte over, CRC wrong", bad(huge), "X1"},
        {"far over, CRC right", longer, "X2"},
        {"far over, CRC wrong", bad(longer), "X1"},
    };
    for (const auto &c : kCases) {
        for (size_t piece : {size_t{0}, size_t{7}, size_t{1000}}) {
            SetUp();
            Open();
            const std::string all = c.line + Frame('H', 0, 0, "");
            for (size_t at = 0; at < all.size(); at += piece != 0 ? piece : all.size())
                Feed(all.substr(at, piece != 0 ? piece : all.size()));
            EXPECT_EQ(Said(), std::string(c.said) + " G+") << c.name << ", pieces of " << piece;
        }
    }
}

// The store keeps at most keptTotal bytes of output: the oldest outputs go
// first, their results stay (not kept), and no replay returns a part.
TEST_F(Core, KeptOutputsWithinTheirTotal)
{
    Open();
    const std::string out(KXSRV_KEPT_BYTES, 'o');
    const uint32_t n = KXSRV_KEPT_TOTAL / KXSRV_KEPT_BYTES + 2;
    for (uint32_t id = 1; id <= n; id++) {
        Send('Q', id, 0, "big");
        Run(out);
        EXPECT_LE(s->store.keptBytes, KXSRV_KEPT_TOTAL);
    }
    Said();
    Send('F', 1);
    EXPECT_EQ(Said(), "R0");
    Send('F', n);
    const std::vector<Out> f = Read();
    ASSERT_EQ(f.size(), KXSRV_KEPT_BYTES / KXSRV_CHUNK_MAX) << "the last piece travels in R";
    EXPECT_EQ(f.back().nums[kSrvRFlags], kSrvFlagReplay) << "kept";
    EXPECT_EQ(f.back().data.size(), KXSRV_CHUNK_MAX);
}

// The ids a session remembers are the last KXSRV_IDS taken, whatever they
// are: ids that share the store's quick filter, old ones forgotten.
TEST(Store, RemembersTheLastIds)
{
    for (uint32_t stride : {1u, kSrvIdBuckets, 3u * kSrvIdBuckets + 1u}) {
        SrvStore *pStore = new SrvStore{};
        const uint32_t n = KXSRV_IDS + KXSRV_IDS / 2;
        for (uint32_t i = 0; i < n; i++)
            SrvStore_Remember(pStore, 5 + i * stride);
        for (uint32_t i = 0; i < n; i++)
            ASSERT_EQ(SrvStore_Seen(pStore, 5 + i * stride), i >= n - KXSRV_IDS)
                << "stride " << stride << ", id " << i;
        EXPECT_FALSE(SrvStore_Seen(pStore, 4)) << "stride " << stride;
        delete pStore;
    }
}

} // namespace

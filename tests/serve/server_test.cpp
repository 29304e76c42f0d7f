// The server's own steps, each in a forked child (serving takes over its
// descriptors 0-2): a start that fails at any step puts the caller's
// descriptors and signal state back exactly; what another thread wrote
// before a request is handed over leaves as a log frame before its K; and
// a cancel over the protocol leaves the console no notice to print.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

#include "SrvServer.h"
#include "kxMUtiConsole.h"

namespace {

// Runs body in a child; returns what it returned (or why it died).
std::string InChild(const std::function<std::string()> &body)
{
    int result[2];
    if (pipe(result) != 0)
        return "no pipe";
    const pid_t pid = fork();
    if (pid == 0) {
        close(result[0]);
        alarm(60);
        const std::string text = body();
        (void)!write(result[1], text.data(), text.size());
        _exit(0);
    }
    close(result[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(result[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    close(result[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        text += " [child status " + std::to_string(status) + "]";
    return text;
}

void OddHandler(int) {}

// Descriptors (what each is, its flags), the two signals' actions and the
// thread's mask, as text.
std::string ProcessState()
{
    std::string state;
    for (int fd = 0; fd < 64; fd++) {
        const int fdFlags = fcntl(fd, F_GETFD);
        struct stat st;
        if (fdFlags < 0 || fstat(fd, &st) != 0)
            continue;
        state += std::to_string(fd) + ":" + std::to_string(fdFlags) + "/" +
                 std::to_string(fcntl(fd, F_GETFL)) + "/" + std::to_string(st.st_dev) + "/" +
                 std::to_string(st.st_ino) + " ";
    }
    for (int sig : {KXSRV_CANCEL_SIGNAL, SIGPIPE}) {
        struct sigaction sa;
        sigaction(sig, nullptr, &sa);
        state += "sig" + std::to_string(sig) + ":" +
                 std::to_string(reinterpret_cast<uintptr_t>(sa.sa_handler)) + "/" +
                 std::to_string(sa.sa_flags) + "/";
        for (int s = 1; s < 32; s++)
            state += sigismember(&sa.sa_mask, s) ? "1" : "0";
        state += " ";
    }
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    state += "mask:";
    for (int s = 1; s < 32; s++)
        state += sigismember(&mask, s) ? "1" : "0";
    return state;
}

// Signal state no default would give, so that putting back anything but
// what was there shows.
void OddSignals()
{
    struct sigaction sa = {};
    sa.sa_handler = OddHandler;
    sa.sa_flags = SA_RESTART | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGUSR2);
    sigaction(SIGPIPE, &sa, nullptr);
    sa.sa_flags = SA_RESETHAND;
    sigaction(KXSRV_CANCEL_SIGNAL, &sa, nullptr);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigaddset(&block, KXSRV_CANCEL_SIGNAL);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);
}

int LowestFree()
{
    int fd = 0;
    while (fcntl(fd, F_GETFD) >= 0)
        fd++;
    return fd;
}

// Serving from a start short of descriptors at every step in turn: each
// call fails cleanly or serves, and the process is as it was after.  Also
// with descriptor 0 closed, which must be closed again after.
TEST(StartUp, EveryFailurePutsBackWhatItChanged)
{
    for (bool closedIn : {false, true}) {
        const std::string report = InChild([closedIn] {
            kxMUtiCmd_Init(0);
            OddSignals();
            if (closedIn)
                close(0);
            int in[2], out[2];
            if (pipe(in) != 0 || pipe(out) != 0)
                return std::string("no pipes");
            in[0] = fcntl(in[0], F_DUPFD, 10); // above the holes the sweep opens
            out[1] = fcntl(out[1], F_DUPFD, 11);
            close(in[1]); // the session meets the end of its input at once
            const std::string before = ProcessState();
            rlimit old;
            getrlimit(RLIMIT_NOFILE, &old);
            std::string failures;
            int served = 0, failed = 0;
            for (int extra = 0; extra < 24 && served < 2; extra++) {
                rlimit low = {static_cast<rlim_t>(LowestFree() + extra), old.rlim_max};
                setrlimit(RLIMIT_NOFILE, &low);
                const uint32_t rc = kxMUtiSrv_ServeFds(nullptr, in[0], out[1]);
                setrlimit(RLIMIT_NOFILE, &old);
                served += rc == KX_OK;
                failed += rc == kxMUtiSrv_ErrSystem;
                if (rc != KX_OK && rc != kxMUtiSrv_ErrSystem)
                    failures += "status " + std::to_string(rc) + "; ";
                const std::string after = ProcessState();
                if (after != before)
                    failures += "after " + std::to_string(extra) + " more: " + after + "; ";
            }
            if (served == 0 || failed < 4)
                failures +=
                    "sweep served " + std::to_string(served) + ", failed " + std::to_string(failed);
            if (failures.empty())
                return std::string("same");
            std::string report = before;
            report += " -> ";
            report += failures;
            return report;
        });
        EXPECT_EQ(report, "same") << (closedIn ? "descriptor 0 closed" : "descriptors open");
    }
}

// Frames of a buffer, by type, blank between.
std::string Types(const std::string &bytes)
{
    SrvReader reader;
    SrvReader_Init(&reader);
    SrvFrame f;
    std::string types;
    for (size_t at = 0; at < bytes.size();) {
        unsigned char *pDst;
        const uint32_t room = SrvReader_Space(&reader, &pDst);
        const size_t n = std::min<size_t>(room, bytes.size() - at);
        std::copy_n(bytes.data() + at, n, pDst);
        SrvReader_Commit(&reader, static_cast<uint32_t>(n));
        at += n;
        for (SrvReadResult r; (r = SrvReader_Next(&reader, &f, false)) != SRV_READ_NONE;)
            types += r == SRV_READ_FRAME ? std::string(1, f.type) + " " : "? ";
    }
    return types;
}

// Bytes another thread wrote while nothing ran, still in the capture pipe
// when a request is handed over: they leave as a log frame, before the
// request's K (sent once it runs past the hold), not as its output.
TEST(Dispatch, EarlierOutputLeavesAsALogFirst)
{
    const std::string report = InChild([] {
        kxMUtiCmd_Init(0);
        int in[2], out[2];
        if (pipe(in) != 0 || pipe2(out, O_NONBLOCK) != 0)
            return std::string("no pipes");
        SrvServer *pSrv = Srv_New(nullptr, false);
        if (Srv_SetUp(pSrv, fcntl(in[0], F_DUPFD_CLOEXEC, 3), fcntl(out[1], F_DUPFD_CLOEXEC, 3)) !=
            KX_OK)
            return std::string("no set-up");
        pSrv->interp = pthread_self();
        (void)!write(1, "from a thread\n", 14); // into the capture pipe
        std::string q(SrvFrame_Size(4), '\0');
        q.resize(SrvFrame_Encode(q.data(), 'Q', 1, 0, "echo", 4));
        SrvSession_Feed(pSrv->slots[0].s, q.data(), static_cast<uint32_t>(q.size()), Srv_NowMs());
        const bool started = Srv_Dispatch(pSrv, false, Srv_NowUs());
        SrvSession_Announce(pSrv->slots[0].s); /* as when the hold ends: its K */
        std::string sent(1 << 16, '\0');
        const ssize_t n = read(out[0], sent.data(), sent.size());
        sent.resize(n > 0 ? static_cast<size_t>(n) : 0);
        const char *p;
        const uint32_t pending = SrvSession_Pending(pSrv->slots[0].s, &p);
        sent.append(p, pending);
        Srv_TearDown(pSrv);
        Srv_Free(pSrv);
        return (started ? "" : "not started: ") + Types(sent);
    });
    EXPECT_EQ(report, "G L K ");
}

// A script cancelled over the protocol leaves the console nothing behind:
// no cancel pending once serving returns (a script the host runs then
// would stop at once), and no "stopped" notice for its console loop.
TEST(Console, ProtocolCancelLeavesNoNotice)
{
    char dir[] = "/tmp/kxnoticeXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string script = std::string(dir) + "/slow.kx";
    FILE *pFile = fopen(script.c_str(), "w");
    ASSERT_NE(pFile, nullptr);
    fputs("echo started\nmsleep 20000\necho never\n", pFile);
    fclose(pFile);
    int master, slave;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    int toChild[2], fromChild[2];
    ASSERT_EQ(pipe(toChild) | pipe(fromChild), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        close(master);
        close(toChild[1]);
        close(fromChild[0]);
        kxMUtiCmd_Init(0);
        kxMUtiSrv_ServeFds(nullptr, toChild[0], fromChild[1]);
        setenv("TERM", "dumb", 1);
        for (int fd = 0; fd < 3; fd++)
            dup2(slave, fd);
        printf("pending %d\n", kxMUtiCon_Cancelled());
        kxMUtiCon_Loop(nullptr);
        _exit(0);
    }
    close(slave);
    close(toChild[0]);
    close(fromChild[1]);
    SrvReader reader;
    SrvReader_Init(&reader);
    SrvFrame f;
    const auto send = [&](char type, uint32_t id, const std::string &text) {
        std::string frame(SrvFrame_Size(static_cast<uint32_t>(text.size())), '\0');
        frame.resize(SrvFrame_Encode(frame.data(), type, id, 0, text.data(),
                                     static_cast<uint32_t>(text.size())));
        (void)!write(toChild[1], frame.data(), frame.size());
    };
    const auto until = [&](char type) {
        for (;;) {
            for (SrvReadResult r; (r = SrvReader_Next(&reader, &f, false)) != SRV_READ_NONE;)
                if (r == SRV_READ_FRAME && f.type == type)
                    return true;
            pollfd p = {fromChild[0], POLLIN, 0};
            unsigned char *pDst;
            const uint32_t room = SrvReader_Space(&reader, &pDst);
            const ssize_t n = poll(&p, 1, 20000) == 1 ? read(fromChild[0], pDst, room) : 0;
            if (n <= 0)
                return false;
            SrvReader_Commit(&reader, static_cast<uint32_t>(n));
        }
    };
    send('Q', 1, "source " + script);
    ASSERT_TRUE(until('O')); // started: the msleep runs now
    send('C', 1, "");
    ASSERT_TRUE(until('R'));
    send('B', 0, "");
    close(toChild[1]);
    close(fromChild[0]);
    const std::string typed = "echo after\rquit\r";
    ASSERT_EQ(write(master, typed.data(), typed.size()), ssize_t(typed.size()));
    std::string seen;
    char buf[4096];
    for (pollfd p = {master, POLLIN, 0}; poll(&p, 1, 20000) == 1;) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        seen.append(buf, static_cast<size_t>(n));
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_NE(seen.find("pending 0"), std::string::npos) << seen;
    EXPECT_NE(seen.find("after"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("stopped"), std::string::npos) << seen;
    unlink(script.c_str());
    rmdir(dir);
}

} // namespace

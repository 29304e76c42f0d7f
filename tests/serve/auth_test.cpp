// Tokens and penalties: what a token file must hold, and how attempts are
// judged per source (an IPv4 address, an IPv6 /64), with the clock an
// argument.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "SrvAuth.h"

namespace {

const std::string kToken = "0123456789abcdef"; // the shortest taken

SrvTokenProblem Parse(SrvAuth *pAuth, const std::string &bytes)
{
    // A copy of exactly the bytes, so that a read past them is caught by
    // the sanitizer build.
    unsigned char *p = static_cast<unsigned char *>(malloc(bytes.size() + 1));
    std::copy(bytes.begin(), bytes.end(), p);
    const SrvTokenProblem r = SrvAuth_ParseToken(pAuth, p, static_cast<uint32_t>(bytes.size()));
    free(p);
    return r;
}

// The token is the first line, exactly: lengths at and around the bounds,
// line ends, and bytes that make it no text.
TEST(Token, FirstLineWithinItsBounds)
{
    const std::string max(KXSRV_TOKEN_MAX, 't');
    const struct {
        std::string file;
        SrvTokenProblem problem;
        std::string token; // when taken
    } kCases[] = {
        {kToken + "\n", SrvTokenProblem::kNone, kToken},
        {kToken, SrvTokenProblem::kNone, kToken},
        {kToken + "\r\nsecond line", SrvTokenProblem::kNone, kToken},
        {kToken.substr(1) + "\n", SrvTokenProblem::kShort, ""},
        {"", SrvTokenProblem::kShort, ""},
        {"\n" + kToken, SrvTokenProblem::kShort, ""},
        {max + "\n", SrvTokenProblem::kNone, max},
        {max + "\r\n", SrvTokenProblem::kNone, max},
        {max, SrvTokenProblem::kNone, max},
        {max + "t\n", SrvTokenProblem::kNotText, ""},
        {max + "tt", SrvTokenProblem::kNotText, ""},
        {kToken + std::string("\0x", 2) + "\n", SrvTokenProblem::kNotText, ""},
        {std::string("\0", 1) + kToken, SrvTokenProblem::kNotText, ""},
    };
    for (const auto &c : kCases) {
        SrvAuth auth{};
        EXPECT_EQ(Parse(&auth, c.file), c.problem) << c.file;
        EXPECT_EQ(std::string(auth.token, auth.tokenLen), c.token) << c.file;
    }
}

// Loading: the file's mode first (group or others may not read it), then
// its first line; a file too long is read in part and refused, not cut.
TEST(Token, FileModeAndLength)
{
    char dir[] = "/tmp/kxauthXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/token";
    const struct {
        mode_t mode;
        std::string text;
        SrvTokenProblem problem;
    } kCases[] = {
        {0600, kToken + "\n", SrvTokenProblem::kNone},
        {0400, kToken + "\n", SrvTokenProblem::kNone},
        {0640, kToken + "\n", SrvTokenProblem::kExposed},
        {0604, kToken + "\n", SrvTokenProblem::kExposed},
        {0620, kToken + "\n", SrvTokenProblem::kNone}, // writable by the group: not read
        {0600, std::string(size_t{4} * KXSRV_TOKEN_MAX, 'x'), SrvTokenProblem::kNotText},
        {0600, "short\n", SrvTokenProblem::kShort},
    };
    for (const auto &c : kCases) {
        unlink(path.c_str());
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, c.text.data(), c.text.size()), ssize_t(c.text.size()));
        close(fd);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        SrvAuth auth{};
        EXPECT_EQ(SrvAuth_LoadToken(&auth, path.c_str()), c.problem) << std::oct << c.mode;
    }
    unlink(path.c_str());
    SrvAuth auth{};
    EXPECT_EQ(SrvAuth_LoadToken(&auth, path.c_str()), SrvTokenProblem::kUnreadable);
    rmdir(dir);
}

SrvSource Source(const char *pText)
{
    sockaddr_storage sa{};
    if (inet_pton(AF_INET, pText, &reinterpret_cast<sockaddr_in &>(sa).sin_addr) == 1) {
        sa.ss_family = AF_INET;
    } else {
        sa.ss_family = AF_INET6;
        EXPECT_EQ(inet_pton(AF_INET6, pText, &reinterpret_cast<sockaddr_in6 &>(sa).sin6_addr), 1);
    }
    return SrvAuth_Source(sa);
}

class Attempts : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(SrvAuth_ParseToken(&auth, reinterpret_cast<const unsigned char *>(kToken.data()),
                                     static_cast<uint32_t>(kToken.size())),
                  SrvTokenProblem::kNone);
    }

    // An attempt; its delay is left in delay.
    SrvVerdict Try(const char *pSource, const std::string &token)
    {
        return SrvAuth_Check(&auth, Source(pSource),
                             reinterpret_cast<const unsigned char *>(token.data()),
                             static_cast<uint32_t>(token.size()), now, &delay);
    }

    // As many wrong tokens from pSource as lock it.
    void Lock(const char *pSource)
    {
        for (uint32_t i = 0; i < KXSRV_AUTH_PER_MINUTE; i++)
            Try(pSource, "wrong");
    }

    SrvAuth auth{};
    uint64_t now = 5000;
    uint32_t delay = 0;
};

// Right tokens never count: a rig that logs in for every test is let in
// every time, however often.
TEST_F(Attempts, RightTokensNeverCount)
{
    for (int i = 0; i < 100; i++, now += 10)
        ASSERT_EQ(Try("127.0.0.1", kToken), SrvVerdict::kRight) << "login " << i;
}

// Wrong tokens: answered after a delay that doubles per failure up to its
// cap; the fifth failure within a minute locks the source (even a right
// token is refused unread) until the oldest is a minute old.
TEST_F(Attempts, FailuresDelayThenLockTheSource)
{
    for (uint32_t i = 0; i < KXSRV_AUTH_PER_MINUTE; i++, now += 1000) {
        ASSERT_EQ(Try("10.0.0.5", "wrong"), SrvVerdict::kWrong);
        EXPECT_EQ(delay, std::min<uint32_t>(KXSRV_AUTH_DELAY_MS << i, KXSRV_AUTH_DELAY_MAX_MS));
    }
    EXPECT_EQ(Try("10.0.0.5", kToken), SrvVerdict::kLocked);
    EXPECT_EQ(Try("10.0.0.6", kToken), SrvVerdict::kRight) << "another address locked out";
    now += 60000 - 1000 * KXSRV_AUTH_PER_MINUTE - 1; // the oldest failure 1 ms short of a minute
    EXPECT_EQ(Try("10.0.0.5", kToken), SrvVerdict::kLocked) << "unlocked before a minute";
    now += 1;
    EXPECT_EQ(Try("10.0.0.5", kToken), SrvVerdict::kRight);
    // The right token ended the streak: the next failure waits the least.
    EXPECT_EQ(Try("10.0.0.5", "wrong"), SrvVerdict::kWrong);
    EXPECT_EQ(delay, KXSRV_AUTH_DELAY_MS);
}

// The delay doubles up to its cap and stays there.
TEST_F(Attempts, DelayCapped)
{
    for (int i = 0; i < 40; i++, now += 61000)
        ASSERT_EQ(Try("10.0.0.7", "wrong"), SrvVerdict::kWrong);
    EXPECT_EQ(delay, KXSRV_AUTH_DELAY_MAX_MS);
}

// Sources: an IPv6 /64 is one source, the next /64 another; an IPv4 peer
// of a dual-stack listener is its IPv4 address.
TEST_F(Attempts, SourcesByAddressAndSlash64)
{
    Lock("2001:db8:1:2::1");
    EXPECT_EQ(Try("2001:db8:1:2:ffff::9", kToken), SrvVerdict::kLocked) << "same /64";
    EXPECT_EQ(Try("2001:db8:1:3::1", kToken), SrvVerdict::kRight) << "next /64";
    Lock("192.0.2.1");
    EXPECT_EQ(Try("::ffff:192.0.2.1", kToken), SrvVerdict::kLocked) << "mapped IPv4";
    EXPECT_EQ(Try("::ffff:192.0.2.2", kToken), SrvVerdict::kRight);
}

// More sources than the table holds: the stalest is forgotten, not the
// one that keeps guessing.
TEST_F(Attempts, TableKeepsTheBusySource)
{
    Lock("10.1.0.1");
    char addr[32];
    for (uint32_t i = 0; i < 2 * KXSRV_PEERS; i++, now++) {
        snprintf(addr, sizeof addr, "10.2.%u.%u", i / 250, i % 250 + 1);
        Try(addr, "wrong");
        if (i % 8 == 0) {
            EXPECT_EQ(Try("10.1.0.1", kToken), SrvVerdict::kLocked) << i;
        }
    }
}

} // namespace

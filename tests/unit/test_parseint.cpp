/* The interpreter's integer parse against the sscanf reference: the same verdict and
 * 32-bit value for d, u and x, and the result left alone when a word is rejected. */
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "MUtiCmd.h"
#include "RefParse.h"

namespace {

/* Empty when both parses agree on word, else (conv, word, each verdict and value). */
std::string Disagreement(const std::string &word, char conv)
{
    uint32_t want = 0xDEADBEEF, got = 0xDEADBEEF; /* a rejection must not write */
    const bool wantOk = RefParse(word.c_str(), conv, &want);
    const bool gotOk = MUtiCmd_ParseInt(word.c_str(), conv, &got);
    if (wantOk == gotOk && want == got)
        return {};
    return testing::PrintToString(std::tuple(conv, word, wantOk, want, gotOk, got));
}

} // namespace

TEST(ParseInt, AgreesWithSscanfOnAwkwardWordsAndASeededSweep)
{
    // Signs, blanks, zeros, 9/10 decimal and 7/8 hex digits, 2^31 and 2^32, prefixes, junk.
    // clang-format off
    std::vector<std::string> words = {
        "", " ", "+", "-", "+-1", "--1", " 12", "\t12", "12 ", "12\n", "0", "-0", "+0", "007",
        "000000000012", "999999999", "1000000000", "2147483647", "2147483648", "-2147483648",
        "-2147483649", "4294967295", "4294967296", "-4294967296", "4999999999", "1a", "1F",
        "99999999999999999999", "fffffff", "ffffffff", "1ffffffff", "0x", "0X", "0x1f", "0xg",
        "0xFFFFFFFF", "0x100000000", "-0x1f", "0x-1", "00x1", "x1", "12x", "1e3", "1.5", "1 2",
        "\xff", "1\xff"};
    // clang-format on
    static constexpr char kBytes[] = "0123456789000aAfFxX+- \t\ng"; /* digits weigh most */
    std::mt19937 rng(0x6B784D55u);
    for (unsigned i = 0; i < 100000; i++)
        for (char &c : words.emplace_back(rng() % 14, ' '))
            c = kBytes[rng() % (sizeof(kBytes) - 1)];
    unsigned nFailures = 0;
    for (const std::string &word : words)
        for (char conv : {'d', 'u', 'x'})
            if (const std::string why = Disagreement(word, conv); !why.empty() && ++nFailures <= 10)
                ADD_FAILURE() << why;
    EXPECT_EQ(nFailures, 0u);
}

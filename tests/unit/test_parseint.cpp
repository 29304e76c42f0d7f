/* The d, u and x conversions read every word as the 32-bit board does: literal values taken
 * from its runtime (sscanf "%d%c", "%u%c", "%x%c" under qemu-mipsel), checked everywhere; on
 * a target whose long is 32 bits, also against that runtime's sscanf itself. */
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <optional>
#include <random>
#include <string>

#include "MUtiCmd.h"

namespace {

using Want = std::optional<uint32_t>; /* nullopt: the word does not convert */
constexpr Want NO = std::nullopt;

/* What the parse makes of a word; a rejection must leave the result alone. */
Want Parse(const char *pWord, char conv)
{
    uint32_t value = 0xDEADBEEF;
    const bool ok = MUtiCmd_ParseInt(pWord, conv, &value);
    EXPECT_TRUE(ok || value == 0xDEADBEEF) << pWord;
    return ok ? Want(value) : NO;
}

} // namespace

TEST(ParseInt, ReadsWordsAsTheBoardDoes)
{
    struct Case {
        const char *word;
        Want d, u, x;
    };
    // clang-format off
    const Case cases[] = {
        {"2147483647", 0x7FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF}, {"2147483648", 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF},
        {"-2147483648", 0x80000000, 0x80000000, 0xFFFFFFFF}, {"-2147483649", 0x80000000, 0x7FFFFFFF, 0xFFFFFFFF},
        {"4294967295", 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, {"4294967296", 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},
        {"-4294967295", 0x80000000, 0x1, 0xFFFFFFFF}, {"-4294967296", 0x80000000, 0xFFFFFFFF, 0xFFFFFFFF},
        {"99999999999", 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, {"429496729", 0x19999999, 0x19999999, 0xFFFFFFFF},
        {"429496730", 0x1999999A, 0x1999999A, 0xFFFFFFFF}, {"4294967290", 0x7FFFFFFF, 0xFFFFFFFA, 0xFFFFFFFF},
        {"42949672950", 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, {"00004294967295", 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},
        {"100000000", 0x5F5E100, 0x5F5E100, 0xFFFFFFFF}, {"ffffffff", NO, NO, 0xFFFFFFFF},
        {"0xFFFFFFFF", NO, NO, 0xFFFFFFFF}, {"0x0ffffffff", NO, NO, 0xFFFFFFFF},
        {"0x100000000", NO, NO, 0xFFFFFFFF}, {"fffffff0", NO, NO, 0xFFFFFFF0},
        {"FFFFFFFFF", NO, NO, 0xFFFFFFFF}, {"-1", 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},
        {"-0", 0x0, 0x0, 0x0}, {"+7", 0x7, 0x7, 0x7}, {" \t\v\f\r\n12", 0xC, 0xC, 0x12},
        {"-0x1f", NO, NO, 0xFFFFFFE1}, {"0x", NO, NO, 0x0}, {"-0x", NO, NO, 0x0},
        {"0X1a", NO, NO, 0x1A}, {"1e3", NO, NO, 0x1E3}, {"7fffffff", NO, NO, 0x7FFFFFFF},
        {"80000000", 0x4C4B400, 0x4C4B400, 0x80000000}, {"-80000000", 0xFB3B4C00, 0xFB3B4C00, 0x80000000},
        {"-ffffffff", NO, NO, 0x1}, {"", NO, NO, NO}, {"  ", NO, NO, NO}, {"+", NO, NO, NO},
        {"-", NO, NO, NO}, {"+-1", NO, NO, NO}, {"12 ", NO, NO, NO}, {"12\n", NO, NO, NO},
        {"0xg", NO, NO, NO}, {"0x-1", NO, NO, NO}, {"00x1", NO, NO, NO}, {"x1", NO, NO, NO},
        {"1.5", NO, NO, NO}, {"\xff", NO, NO, NO}};
    // clang-format on
    for (const Case &c : cases)
        EXPECT_EQ(std::tuple(Parse(c.word, 'd'), Parse(c.word, 'u'), Parse(c.word, 'x')),
                  std::tuple(c.d, c.u, c.x))
            << '"' << c.word << '"';
}

#if LONG_MAX == 0x7FFFFFFFL
/* The board's runtime itself: awkward words and a seeded sweep of short ones. */
TEST(ParseInt, AgreesWithTheTargetsSscanf)
{
    static constexpr char kBytes[] = "0123456789000aAfFxX+- \tg"; /* digits weigh most */
    std::mt19937 rng(0x6B784D55u);
    unsigned nFailures = 0;
    for (unsigned i = 0; i < 30000 && nFailures < 10; i++) {
        std::string word(rng() % 14, ' ');
        for (char &c : word)
            c = kBytes[rng() % (sizeof(kBytes) - 1)];
        for (const char conv : {'d', 'u', 'x'}) {
            const char format[] = {'%', conv, '%', 'c', '\0'};
            uint32_t value;
            char trailing;
            const bool ok = sscanf(word.c_str(), format, &value, &trailing) == 1;
            const Want want = ok ? Want(value) : NO;
            if (Parse(word.c_str(), conv) != want)
                ADD_FAILURE() << conv << " \"" << word << "\"" << ++nFailures;
        }
    }
}
#endif

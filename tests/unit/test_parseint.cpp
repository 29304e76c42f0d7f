/* The d, u and x conversions read words as the 32-bit board does.  Literal values from its
 * runtime (sscanf "%d%c", "%u%c", "%x%c" under qemu-mipsel) everywhere, here and in the
 * end-to-end case formats/numbers; on a target whose long is 32 bits, against its sscanf. */
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

TEST(ParseInt, OutOfRangeWordsSaturateAsOnTheBoard)
{
    // clang-format off
    const std::tuple<const char *, Want, Want, Want> cases[] = {
        {"2147483647", 0x7FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF}, {"2147483648", 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF},
        {"-2147483648", 0x80000000, 0x80000000, 0xFFFFFFFF}, {"-2147483649", 0x80000000, 0x7FFFFFFF, 0xFFFFFFFF},
        {"4294967295", 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, {"4294967296", 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},
        {"-4294967295", 0x80000000, 0x1, 0xFFFFFFFF}, {"-4294967296", 0x80000000, 0xFFFFFFFF, 0xFFFFFFFF},
        {"99999999999", 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, {"429496730", 0x1999999A, 0x1999999A, 0xFFFFFFFF},
        {"100000000", 0x5F5E100, 0x5F5E100, 0xFFFFFFFF}, {"-ffffffff", NO, NO, 0x1},
        {"0x100000000", NO, NO, 0xFFFFFFFF}, {"\t-1", ~0u, ~0u, ~0u}, {"0x", NO, NO, 0x0}, {"12 ", NO, NO, NO}};
    // clang-format on
    for (const auto &[pWord, d, u, x] : cases)
        EXPECT_EQ(std::tuple(Parse(pWord, 'd'), Parse(pWord, 'u'), Parse(pWord, 'x')),
                  std::tuple(d, u, x))
            << '"' << pWord << '"';
}

#if LONG_MAX == 0x7FFFFFFFL
/* The board's runtime itself, over a seeded sweep of short words of digits, signs, blanks. */
TEST(ParseInt, AgreesWithTheTargetsSscanf)
{
    static constexpr char kBytes[] = "0123456789000aAfFxX+- \tg"; /* digits weigh most */
    std::mt19937 rng(0x6B784D55u);
    unsigned nFailures = 0;
    for (unsigned i = 0; i < 30000 && nFailures < 10; i++) {
        std::string word(rng() % 14, ' ');
        for (char &c : word)
            c = kBytes[rng() % (sizeof(kBytes) - 1)];
        for (const char *pFormat : {"%d%c", "%u%c", "%x%c"}) {
            uint32_t value;
            char trailing;
            const bool ok = sscanf(word.c_str(), pFormat, &value, &trailing) == 1;
            if (Parse(word.c_str(), pFormat[1]) != (ok ? Want(value) : NO))
                ADD_FAILURE() << pFormat << " \"" << word << "\"" << ++nFailures;
        }
    }
}
#endif

/* The interpreter's own integer parse against sscanf, the reference it must
 * match exactly: for d, u and x the same verdict (sscanf returning 1) and
 * the same 32-bit value, for awkward words and for a large seeded sweep. */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "MUtiCmd.h"

namespace {

constexpr uint32_t kUntouched = 0xDEADBEEFu; /* the result must stay this on rejection */
constexpr char kConvs[] = {'d', 'u', 'x'};

/* What the conversion letters d, u and x are defined to do. */
bool Reference(const char *pWord, char conv, uint32_t *pValue)
{
    char trailing;
    if (conv == 'd') {
        int value;
        if (sscanf(pWord, "%d%c", &value, &trailing) != 1)
            return false;
        *pValue = static_cast<uint32_t>(value);
        return true;
    }
    unsigned value;
    if (sscanf(pWord, conv == 'u' ? "%u%c" : "%x%c", &value, &trailing) != 1)
        return false;
    *pValue = value;
    return true;
}

/* Empty when the parse agrees with sscanf, else a line saying how not. */
std::string Disagreement(const std::string &word, char conv)
{
    uint32_t want = kUntouched;
    uint32_t got = kUntouched;
    const bool wantOk = Reference(word.c_str(), conv, &want);
    const bool gotOk = MUtiCmd_ParseInt(word.c_str(), conv, &got);
    if (wantOk == gotOk && want == got)
        return {};
    char text[160];
    snprintf(text, sizeof(text), "%%%c on \"%s\": sscanf %s 0x%x, ParseInt %s 0x%x", conv,
             word.c_str(), wantOk ? "accepts" : "rejects", want, gotOk ? "accepts" : "rejects",
             got);
    return text;
}

} // namespace

TEST(ParseInt, AgreesWithSscanfOnAwkwardWords)
{
    const char *const words[] = {
        /* empty, blanks only, signs alone */
        "",
        " ",
        "\t",
        "+",
        "-",
        "+-1",
        "-+1",
        "--1",
        "++1",
        /* leading blanks are skipped, trailing ones are a trailing character */
        " 12",
        "\t12",
        "\n12",
        " \v\f\r7",
        "12 ",
        "12\n",
        " 12 ",
        /* zeros and leading zeros */
        "0",
        "-0",
        "+0",
        "00",
        "000000000",
        "0000000000",
        "00000000012",
        "0000000000000000001",
        /* short words the fast path takes, and one digit more */
        "1",
        "-1",
        "+1",
        "9",
        "123456789",
        "999999999",
        "1234567890",
        "1000000000",
        /* 32-bit boundaries */
        "2147483647",
        "2147483648",
        "2147483649",
        "-2147483647",
        "-2147483648",
        "-2147483649",
        "4294967295",
        "4294967296",
        "4294967297",
        "-4294967295",
        "-4294967296",
        "99999999999999999999",
        "-99999999999999999999",
        "18446744073709551615",
        "18446744073709551616",
        /* hex digits, prefixes and their near misses */
        "f",
        "F",
        "ff",
        "1f",
        "1F",
        "abcdef",
        "ABCDEF",
        "fffffff",
        "ffffffff",
        "fffffffff",
        "7fffffff",
        "80000000",
        "100000000",
        "0x",
        "0X",
        "0x0",
        "0x1f",
        "0X1F",
        "0x7FFFFFFF",
        "0x80000000",
        "0xFFFFFFFF",
        "0x100000000",
        "-0x1f",
        "+0x1f",
        "0x-1",
        "0xg",
        "0x 1",
        "00x1",
        "x1",
        "x",
        "0xx1",
        /* trailing and leading junk */
        "12x",
        "12abc",
        "x12",
        "abc",
        "1e3",
        "1.5",
        "1,5",
        "12-",
        "1 2",
        "0b101",
        "\xff",
        "1\xff",
    };
    for (const char *pWord : words)
        for (char conv : kConvs)
            EXPECT_EQ(Disagreement(pWord, conv), "");
}

TEST(ParseInt, AgreesWithSscanfNearThe32BitLimits)
{
    /* Values around 2^31 and 2^32 written in decimal and hex, with and
     * without signs, prefixes and leading zeros. */
    const uint64_t centres[] = {0, 1u << 28, 1u << 31, 1ull << 32, 1000000000, 10000000000ull};
    unsigned nChecked = 0;
    for (uint64_t centre : centres) {
        for (int64_t delta = -40; delta <= 40; delta++) {
            const int64_t v = static_cast<int64_t>(centre) + delta;
            if (v < 0)
                continue;
            char buf[64];
            const char *const forms[] = {"%lld", "-%lld",  "+%lld",   "00%lld",
                                         "%llx", "0x%llx", "-0x%llX", "0%llx"};
            for (const char *pForm : forms) {
                snprintf(buf, sizeof(buf), pForm, static_cast<long long>(v));
                for (char conv : kConvs) {
                    EXPECT_EQ(Disagreement(buf, conv), "");
                    nChecked++;
                }
            }
        }
    }
    EXPECT_GT(nChecked, 10000u);
}

TEST(ParseInt, AgreesWithSscanfOnASeededSweep)
{
    /* Words drawn mostly from digits, with the bytes that matter to sscanf
     * (signs, blanks, x, hex letters) and some that end a number. */
    static constexpr char kAlphabet[] = "0123456789012345678900000aAfFxX+- \t\ng.";
    std::mt19937 rng(0x6B784D55u);
    std::uniform_int_distribution<size_t> pick(0, sizeof(kAlphabet) - 2);
    std::uniform_int_distribution<int> length(0, 13);

    unsigned nFailures = 0;
    for (unsigned i = 0; i < 300000; i++) {
        std::string word;
        const int n = length(rng);
        for (int k = 0; k < n; k++)
            word += kAlphabet[pick(rng)];
        const std::string why = Disagreement(word, kConvs[i % 3]);
        if (!why.empty() && ++nFailures <= 20)
            ADD_FAILURE() << why;
    }
    EXPECT_EQ(nFailures, 0u);
}

TEST(ParseInt, LeavesTheResultAloneWhenTheWordIsRejected)
{
    for (const char *pWord : {"", "12x", "0x", "-", " 1 "}) {
        for (char conv : kConvs) {
            uint32_t want = kUntouched;
            if (Reference(pWord, conv, &want))
                continue; /* accepted by sscanf: nothing to check here */
            uint32_t got = kUntouched;
            EXPECT_FALSE(MUtiCmd_ParseInt(pWord, conv, &got)) << pWord << " %" << conv;
            EXPECT_EQ(got, kUntouched) << pWord << " %" << conv;
        }
    }
}

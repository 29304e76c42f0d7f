/* String helpers: the in-place whitespace splitter and the duplicators. */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "CaptureStdout.h"
#include "FaultInjection.h"
#include "MUtiAlloc.h"
#include "kxMUtiStr.h"

using namespace std::string_view_literals;

namespace {

struct SplitCase {
    std::string_view input;
    uint32_t maxWords;
    std::vector<std::string> words;
    std::string_view after;  /* the text afterwards, NULs included */
    std::string_view output; /* what went to standard output */
};

} // namespace

TEST(StrToWords, SplitsInPlaceTouchingOnlyTheByteAfterEachWord)
{
    const SplitCase cases[] = {
        {""sv, 4, {}, ""sv, ""sv},
        {" \t \t"sv, 4, {}, " \t \t"sv, ""sv},
        {"  ab  cd\n"sv, 4, {"ab", "cd"}, "  ab\0 cd\0"sv, ""sv},
        {"ab cd ef"sv,
         2,
         {"ab", "cd"},
         "ab\0cd\0ef"sv,
         "** WARNING: Words after first 2 in line ignored.\n"sv},
        {"ab cd  ef gh"sv,
         2,
         {"ab", "cd"},
         "ab\0cd\0 ef gh"sv,
         "** WARNING: Words after first 2 in line ignored.\n"sv},
        {"ab cd   "sv, 2, {"ab", "cd"}, "ab\0cd\0  "sv, ""sv},
        {"ab"sv, 0, {}, "ab"sv, "** WARNING: Words after first 0 in line ignored.\n"sv},
        {"\"a b\""sv, 4, {"\"a", "b\""}, "\"a\0b\""sv, ""sv}, // no quoting
        {"a\tb\nc\vd\fe\rf g"sv,
         8,
         {"a", "b", "c", "d", "e", "f", "g"},
         "a\0b\0c\0d\0e\0f\0g"sv,
         ""sv}, // the whole space class
        // Bytes other locales call blank (NBSP, NEL, separators) are word bytes.
        {"x\xa0y\x85z\x1c!"sv, 4, {"x\xa0y\x85z\x1c!"}, "x\xa0y\x85z\x1c!"sv, ""sv},
    };
    for (const SplitCase &c : cases) {
        SCOPED_TRACE(testing::Message() << "input \"" << c.input << "\" max " << c.maxWords);
        std::string text(c.input); // with its NUL, writable
        char *words[8] = {};
        CaptureStdout out;
        const uint32_t n = kxMUtiStr_ToWords(text.data(), c.maxWords, words);
        EXPECT_EQ(out.Stop(), c.output);
        ASSERT_EQ(n, c.words.size());
        for (uint32_t i = 0; i < n; i++) {
            EXPECT_EQ(words[i], c.words[i]) << i;
            EXPECT_TRUE(words[i] >= text.data() && words[i] < text.data() + text.size())
                << "word " << i << " points outside the text";
        }
        EXPECT_EQ(words[n], nullptr); // nothing stored beyond the count
        EXPECT_EQ(std::string_view(text), c.after);
    }
}

TEST(StrDup, CopiesBoundedAndPadsWithNuls)
{
    struct Case {
        const char *pText;
        uint32_t n;
        std::string_view want; /* all n + 1 bytes */
    };
    const Case cases[] = {
        {"ab", 5, "ab\0\0\0\0"sv}, // longer n: padded, and n + 1 bytes readable
        {"hello", 3, "hel\0"sv},   // shorter n: cut and terminated
        {"hello", 0, "\0"sv},
        {"", 2, "\0\0\0"sv},
    };
    for (const Case &c : cases) {
        char *pCopy = kxMUtiStr_NDup(c.pText, c.n, 0);
        ASSERT_NE(pCopy, nullptr);
        EXPECT_NE(pCopy, c.pText);
        EXPECT_EQ(std::string_view(pCopy, c.n + 1), c.want) << c.pText << " " << c.n;
        free(pCopy); // the documented way to release it
    }
    char *pCopy = kxMUtiStr_Dup("some text", 0);
    EXPECT_STREQ(pCopy, "some text");
    free(pCopy);
    pCopy = kxMUtiStr_Dup("", 0);
    ASSERT_NE(pCopy, nullptr); // a new empty string, not null
    EXPECT_STREQ(pCopy, "");
    free(pCopy);
}

TEST(StrDup, NullTextOrWrappingCountGivesNull)
{
    const unsigned long nAllocs = MUti_AllocCount();
    EXPECT_EQ(kxMUtiStr_NDup(nullptr, 4, 0), nullptr);
    EXPECT_EQ(kxMUtiStr_Dup(nullptr, 0), nullptr);
    EXPECT_EQ(MUti_AllocCount(), nAllocs); // null text: no allocation tried
    // Where size_t is 32-bit, n + 1 wraps to 0 and the guard must stop it
    // before the allocator; elsewhere the (injected) allocation fails.
    FaultGuard guard;
    MUti_FaultArm(0, true);
    EXPECT_EQ(kxMUtiStr_NDup("abc", UINT32_MAX, 0), nullptr);
    if (sizeof(size_t) == 4) {
        EXPECT_EQ(MUti_AllocCount(), nAllocs) << "a wrapped size reached the allocator";
    }
}

TEST(StrDup, OutOfMemoryGivesNull)
{
    const unsigned runs = ForEachAllocFailure([] {
        char *pCopy = kxMUtiStr_Dup("abc", 0);
        if (MUti_FaultInjected() != 0) {
            EXPECT_EQ(pCopy, nullptr);
            return;
        }
        EXPECT_STREQ(pCopy, "abc");
        free(pCopy);
    });
    EXPECT_EQ(runs, 2u); // one allocation, one clean run
}

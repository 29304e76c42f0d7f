/* Extensible string: growth by policy, length setting, the appending
 * operations (embedded NULs included), and out-of-memory atomicity. */
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "DbgRecorder.h"
#include "FaultInjection.h"
#include "MUtiAlloc.h"
#include "kxMUtiStrx.h"

namespace {

constexpr uint32_t kLinePolicy = 0x2000400; /* the interpreter's: steps of 1024 */

/* The whole observable state: fields, buffer address and bytes 0..len. */
struct Snapshot {
    uint32_t spare, len, growPolicy;
    const char *pBuf;
    std::string bytes;
    bool operator==(const Snapshot &) const = default;
};

Snapshot Take(const kxMUtiStrx_t &s)
{
    return {s.spare, s.len, s.growPolicy, s.pBuf, std::string(s.pBuf, s.len + 1)};
}

/* The text by len, NULs included, checking the terminator on the way. */
std::string Text(const kxMUtiStrx_t &s)
{
    EXPECT_EQ(s.pBuf[s.len], '\0') << "terminator missing";
    return std::string(s.pBuf, s.len);
}

} // namespace

TEST(StrxLineBuffer, Holds1024BytesThenGrowsByStepOrShortfall)
{
    struct Case {
        uint32_t lineLen, capacity;
    };
    const Case cases[] = {{1024, 1024}, {1500, 2048}, {3000, 3000}};
    for (const Case &c : cases) {
        kxMUtiStrx_t *pStrx = kxMUtiStrx_New(1024, 0, kLinePolicy);
        const unsigned long nAllocs = MUti_AllocCount();
        const std::string line(c.lineLen, 'x');
        ASSERT_EQ(kxMUtiStrx_Cat(pStrx, line.c_str()), KX_OK);
        EXPECT_EQ(Text(*pStrx), line);
        EXPECT_EQ(pStrx->spare + pStrx->len, c.capacity) << c.lineLen;
        EXPECT_EQ(MUti_AllocCount() - nAllocs, c.lineLen > 1024 ? 1u : 0u);
        ASSERT_EQ(kxMUtiStrx_LenSet(pStrx, 0), KX_OK); // reset keeps the grown buffer
        EXPECT_EQ(pStrx->spare, c.capacity);
        kxMUtiStrx_Free(pStrx);
    }
}

TEST(StrxGrowth, PolicyDecidesTheStepButNeverBelowTheShortfall)
{
    struct Case {
        uint32_t policy, capacity, need, growth;
        bool reported; /* the unknown-rule check fires */
    };
    const Case cases[] = {
        {kxMUtiStrx_GrowExact | 500, 10, 3, 3, false}, // parameter ignored
        {kxMUtiStrx_GrowFixed | 1024, 1024, 1, 1024, false},
        {kxMUtiStrx_GrowFixed | 2, 10, 5, 5, false}, // raised to the shortfall
        {kxMUtiStrx_GrowPercent | 50, 10, 1, 5, false},
        {kxMUtiStrx_GrowPercent | 50, 999, 1, 499, false},  // multiplies first below 1000
        {kxMUtiStrx_GrowPercent | 10, 1049, 1, 100, false}, // divides first from 1000
        {kxMUtiStrx_GrowPercent | 10, 1050, 1, 100, false},
        {kxMUtiStrx_GrowMultiple | 1, 20, 1, 20, false},
        {kxMUtiStrx_GrowMultiple | 1, 0, 4, 4, false}, // nothing to multiply
        {0, 10, 3, 3, true},
        {0x03000000 | 100, 10, 3, 3, true}, // two rules at once are unknown
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.policy << std::dec << " " << c.capacity);
        kxMUtiStrx_t strx; // a full string: no spare
        ASSERT_EQ(kxMUtiStrx_Init(&strx, c.capacity, 0, c.policy), KX_OK);
        ASSERT_EQ(kxMUtiStrx_LenSet(&strx, c.capacity), KX_OK);
        DbgRecorder rec;
        ASSERT_EQ(kxMUtiStrx_EnsureSpare(&strx, c.need), KX_OK);
        EXPECT_EQ(strx.spare, c.growth);
        const auto asserts = rec.Asserts();
        ASSERT_EQ(asserts.size(), c.reported ? 1u : 0u);
        if (c.reported) {
            EXPECT_EQ(asserts[0].cond, "False");
            EXPECT_EQ(asserts[0].file, "comps/kxMUti/src/kxMUtiStrx");
            EXPECT_EQ(asserts[0].line, 258);
            EXPECT_FALSE(asserts[0].hasDetail);
        }
        kxMUtiStrx_DeInit(&strx);
    }
}

TEST(StrxGrowth, EnoughSpareChangesNothing)
{
    kxMUtiStrx_t strx;
    ASSERT_EQ(kxMUtiStrx_Init(&strx, 8, 0, 0), KX_OK); // unknown rule: growth would report
    DbgRecorder rec;
    const Snapshot before = Take(strx);
    const unsigned long nAllocs = MUti_AllocCount();
    EXPECT_EQ(kxMUtiStrx_EnsureSpare(&strx, 8), KX_OK);
    EXPECT_EQ(Take(strx), before);
    EXPECT_EQ(MUti_AllocCount(), nAllocs);
    EXPECT_TRUE(rec.Asserts().empty());
    kxMUtiStrx_DeInit(&strx);
}

TEST(StrxGrowth, SizesBeyond32BitsOrTheAddressSpaceAreOutOfMemory)
{
    // A GrowBy sum past 32 bits and a policy step past 32 bits must stop
    // before the allocator.  2^32 - 1 bytes plus the NUL wraps a 32-bit
    // size_t; where size_t is wider the (injected) allocation fails instead.
    char buf[4] = "abc";
    kxMUtiStrx_t wrap{0xFFFFFFF0u, 3, kxMUtiStrx_GrowExact, buf};
    kxMUtiStrx_t huge{0, 0xF0000000u, kxMUtiStrx_GrowMultiple | 2, buf};
    kxMUtiStrx_t fresh{5, 6, 7, buf};
    FaultGuard guard;
    MUti_FaultArm(0, true);
    const unsigned long nAllocs = MUti_AllocCount();
    EXPECT_EQ(kxMUtiStrx_GrowBy(&wrap, 0x20), KX_ERR_NOMEM);
    EXPECT_EQ(kxMUtiStrx_EnsureSpare(&huge, 1), KX_ERR_NOMEM);
    EXPECT_EQ(MUti_AllocCount(), nAllocs);
    EXPECT_EQ(kxMUtiStrx_Init(&fresh, UINT32_MAX, 0, 0), KX_ERR_NOMEM);
    if (sizeof(size_t) == 4) {
        EXPECT_EQ(MUti_AllocCount(), nAllocs) << "a wrapped size reached the allocator";
    }
    EXPECT_EQ(wrap.spare, 0xFFFFFFF0u);
    EXPECT_EQ(huge.pBuf, buf);
    EXPECT_EQ(fresh.pBuf, nullptr);
    EXPECT_EQ(fresh.spare, 5u);
}

TEST(StrxLenSet, BeyondCapacityGrowsByExactlyTheDifferenceAndKeepsOldBytes)
{
    for (uint32_t policy : {kxMUtiStrx_GrowFixed | 1000, 0u}) {
        DbgRecorder rec;
        kxMUtiStrx_t strx;
        ASSERT_EQ(kxMUtiStrx_Init(&strx, 2, 0, policy), KX_OK);
        ASSERT_EQ(kxMUtiStrx_Cat(&strx, "ab"), KX_OK);
        ASSERT_EQ(kxMUtiStrx_LenSet(&strx, 7), KX_OK);
        EXPECT_EQ(strx.spare, 0u);                                  // grew by 5, not by the policy
        EXPECT_EQ(Text(strx).substr(0, 3), std::string("ab\0", 3)); // not filled
        EXPECT_TRUE(rec.Asserts().empty());                         // policy not consulted
        ASSERT_EQ(kxMUtiStrx_LenSet(&strx, 1), KX_OK);
        EXPECT_EQ(Text(strx), "a");
        EXPECT_EQ(strx.spare, 6u);
        kxMUtiStrx_DeInit(&strx);
    }
}

TEST(StrxAppend, LengthCountsEmbeddedNuls)
{
    kxMUtiStrx_t strx;
    ASSERT_EQ(kxMUtiStrx_Init(&strx, 0, 0, kxMUtiStrx_GrowExact), KX_OK); // no room at all
    ASSERT_EQ(kxMUtiStrx_NCat(&strx, "ab", 5), KX_OK);                    // padded with NULs to 5
    ASSERT_EQ(kxMUtiStrx_Chr(&strx, '\0'), KX_OK);                        // a NUL byte still counts
    ASSERT_EQ(kxMUtiStrx_NCat(&strx, "hello", 3), KX_OK);                 // cut at n
    ASSERT_EQ(kxMUtiStrx_Chr(&strx, 'Z'), KX_OK);
    ASSERT_EQ(kxMUtiStrx_Cat(&strx, "!?"), KX_OK);
    EXPECT_EQ(Text(strx), std::string("ab\0\0\0\0helZ!?", 12));
    EXPECT_EQ(strx.spare, 0u); // exact growth every time
    kxMUtiStrx_DeInit(&strx);
}

TEST(StrxAppend, JoinPutsSeparatorsOnlyBetweenTextsAfterWhatIsThere)
{
    struct Case {
        uint32_t count;
        const char *pSep, *pWant;
    };
    const char *const texts[] = {"one", "", "three"};
    const Case cases[] = {{3, ", ", "pre:one, , three"},
                          {3, nullptr, "pre:onethree"},
                          {1, ", ", "pre:one"},
                          {0, ", ", "pre:"}};
    for (const Case &c : cases) {
        kxMUtiStrx_t strx;
        ASSERT_EQ(kxMUtiStrx_Init(&strx, 4, 0, kxMUtiStrx_GrowExact), KX_OK);
        ASSERT_EQ(kxMUtiStrx_Cat(&strx, "pre:"), KX_OK);
        EXPECT_EQ(kxMUtiStrx_Join(&strx, c.count, texts, c.pSep), KX_OK);
        EXPECT_EQ(Text(strx), c.pWant);
        kxMUtiStrx_DeInit(&strx);
    }
}

TEST(StrxLifeCycle, DeInitNullsTheBufferAndKeepsTheFields)
{
    kxMUtiStrx_t strx;
    ASSERT_EQ(kxMUtiStrx_Init(&strx, 10, 0, kLinePolicy), KX_OK);
    ASSERT_EQ(kxMUtiStrx_Cat(&strx, "abc"), KX_OK);
    kxMUtiStrx_DeInit(&strx);
    EXPECT_EQ(strx.pBuf, nullptr);
    EXPECT_EQ(strx.len, 3u);
    EXPECT_EQ(strx.spare, 7u);
    EXPECT_EQ(strx.growPolicy, kLinePolicy);
    kxMUtiStrx_Free(nullptr); // harmless
}

TEST(StrxOutOfMemory, ConstructorsFailCleanly)
{
    // New gives null and (by the leak check) frees its record.
    ForEachAllocFailure([] {
        kxMUtiStrx_t *pStrx = kxMUtiStrx_New(16, 0, kLinePolicy);
        EXPECT_EQ(pStrx == nullptr, MUti_FaultInjected() != 0);
        kxMUtiStrx_Free(pStrx);
    });
    // Init nulls the buffer and leaves the other fields alone.
    kxMUtiStrx_t strx{5, 6, 7, nullptr};
    ForEachAllocFailure([&] {
        if (kxMUtiStrx_Init(&strx, 16, 0, 0) == KX_OK) {
            kxMUtiStrx_DeInit(&strx);
            return;
        }
        EXPECT_EQ(strx.pBuf, nullptr);
        EXPECT_EQ(strx.spare, 5u);
        EXPECT_EQ(strx.len, 6u);
        EXPECT_EQ(strx.growPolicy, 7u);
    });
}

TEST(StrxOutOfMemory, EveryGrowingOperationIsAllOrNothing)
{
    struct Case {
        const char *pName;
        std::function<uint32_t(kxMUtiStrx_t *)> op;
        std::string want; /* text on success, starting from "abc" */
    };
    const Case cases[] = {
        {"Cat", [](kxMUtiStrx_t *p) { return kxMUtiStrx_Cat(p, "defg"); }, "abcdefg"},
        {"NCat", [](kxMUtiStrx_t *p) { return kxMUtiStrx_NCat(p, "d", 3); },
         std::string("abcd\0\0", 6)},
        {"Chr", [](kxMUtiStrx_t *p) { return kxMUtiStrx_Chr(p, 'd'); }, "abcd"},
        {"LenSet", [](kxMUtiStrx_t *p) { return kxMUtiStrx_LenSet(p, 4); },
         std::string("abc\0", 4)},
        {"EnsureSpare", [](kxMUtiStrx_t *p) { return kxMUtiStrx_EnsureSpare(p, 9); }, "abc"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pName);
        kxMUtiStrx_t strx;
        ASSERT_EQ(kxMUtiStrx_Init(&strx, 3, 0, kxMUtiStrx_GrowFixed | 8), KX_OK);
        ASSERT_EQ(kxMUtiStrx_Cat(&strx, "abc"), KX_OK); // full: every case must grow
        const Snapshot before = Take(strx);
        const unsigned runs = ForEachAllocFailure([&] {
            const uint32_t status = c.op(&strx);
            if (status == KX_OK) {
                EXPECT_EQ(Text(strx), c.want);
                return;
            }
            EXPECT_EQ(status, KX_ERR_NOMEM);
            EXPECT_EQ(Take(strx), before);
        });
        EXPECT_EQ(runs, 2u); // one failed growth, then success
        kxMUtiStrx_DeInit(&strx);
    }
}

TEST(StrxOutOfMemory, JoinKeepsWhatWasAppendedBeforeTheFailure)
{
    const char *const texts[] = {"ab", "cd", "ef"};
    // Exact growth from no room: every append allocates once, so failing
    // allocation n stops Join after n - 1 pieces (n = 0 fails the buffer).
    const std::string stops[] = {"", "ab", "ab--", "ab--cd", "ab--cd--"};
    unsigned nextRun = 0;
    ForEachAllocFailure([&] {
        const unsigned n = nextRun++;
        kxMUtiStrx_t strx;
        if (kxMUtiStrx_Init(&strx, 0, 0, kxMUtiStrx_GrowExact) != KX_OK)
            return;
        const uint32_t status = kxMUtiStrx_Join(&strx, 3, texts, "--");
        const std::string text = Text(strx);
        if (status == KX_OK) {
            EXPECT_EQ(text, "ab--cd--ef");
        } else if (n >= 1 && n <= 5) {
            EXPECT_EQ(text, stops[n - 1]);
        } else {
            ADD_FAILURE() << "Join failed on allocation " << n;
        }
        kxMUtiStrx_DeInit(&strx);
    });
}

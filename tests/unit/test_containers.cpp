/* Vector, extensible string and string helpers: growth, order, search, splitting,
 * sizes past 32 bits, and allocation failure in every growing call. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "CaptureStdout.h"
#include "FaultInjection.h"
#include "kxMUtiStr.h"
#include "kxMUtiStrx.h"
#include "kxMUtiVec.h"
#include "qvStbDbgTest.h"

using namespace std::string_literals;
using Nums = std::vector<uintptr_t>;

namespace {

/* Entries are plain numbers: the vector stores pointers and never reads them. */
auto Item = [](uintptr_t n) { return reinterpret_cast<void *>(n); };
auto Ids = [](const kxMUtiVec_t &v) {
    auto *p = reinterpret_cast<uintptr_t *>(v.pEntries);
    return p ? Nums(p, p + v.used) : Nums{};
};
/* A key against a slot, as BSearch calls it. */
auto Cmp = [](const void *pKey, const void *pSlot) {
    const auto a = reinterpret_cast<uintptr_t>(pKey), b = *static_cast<const uintptr_t *>(pSlot);
    return (a > b) - (a < b);
};
/* The text by len and its terminator: a missing NUL shows as a mismatch. */
auto Text = [](const kxMUtiStrx_t &s) { return s.pBuf ? std::string(s.pBuf, s.len + 1) : ""; };
/* Frees a block of n bytes full of 'X', which glibc hands out again for the next block of
 * that size: a byte a copy leaves unwritten then shows.  (The sanitizer build fills new
 * blocks itself; memcheck reports reading bytes never written.) */
auto Dirty = [](size_t n) {
    char *p = static_cast<char *>(malloc(n));
    memset(p, 'X', n);
    asm volatile("" : : "r"(p) : "memory"); /* the stores are not dead */
    free(p);
};
auto Filled = [](uint32_t initialSize, const Nums &ids) {
    kxMUtiVec_t *pVec = kxMUtiVec_New(0, initialSize);
    for (uintptr_t n : ids)
        EXPECT_EQ(kxMUtiVec_Append(pVec, Item(n)), KX_OK);
    return pVec;
};

} // namespace

TEST(Vec, TriplesWhenFullKeepingTheEntriesInOrder)
{
    const uint32_t cases[][3] = {{1, 1, 1},   {1, 2, 3},    {1, 4, 9},
                                 {1, 10, 27}, {10, 31, 90}, {100, 101, 300}};
    for (const auto [initialSize, nAppends, allocated] : cases) {
        Nums ids(nAppends);
        std::iota(ids.begin(), ids.end(), 1);
        kxMUtiVec_t *pVec = Filled(initialSize, ids);
        EXPECT_EQ(std::tuple(pVec->allocated, Ids(*pVec)), std::tuple(allocated, ids));
        kxMUtiVec_Free(pVec);
    }
}

TEST(Vec, RemoveSearchSortAndBSearch)
{
    kxMUtiVec_t *pVec = Filled(3, {42, 7, 19, 3, 88, 7, 51});
    kxMUtiVec_Remove(pVec, 6), kxMUtiVec_Remove(pVec, 0); // the last, then the first
    EXPECT_EQ(std::tuple(Ids(*pVec), pVec->pEntries[6]),
              std::tuple(Nums{7, 19, 3, 88, 7}, Item(51)));
    EXPECT_EQ(std::tuple(kxMUtiVec_Search(pVec, Item(7)), kxMUtiVec_Search(pVec, Item(51))),
              std::tuple(0, -1));
    kxMUtiVec_Sort(pVec, [](const void *pA, const void *pB) {
        return Cmp(*static_cast<void *const *>(pA), pB);
    });
    EXPECT_EQ(Ids(*pVec), (Nums{3, 7, 7, 19, 88}));
    for (auto [key, at] :
         {std::pair<uintptr_t, int32_t>{3, 0}, {88, 4}, {2, -1}, {20, -1}, {99, -1}})
        EXPECT_EQ(kxMUtiVec_BSearch(pVec, Item(key), Cmp), at) << key;
    kxMUtiVec_Empty(pVec); // a null key is a valid entry; bsearch declares its key never null
    kxMUtiVec_Append(pVec, nullptr), kxMUtiVec_Append(pVec, Item(3));
    EXPECT_EQ(kxMUtiVec_BSearch(pVec, nullptr, Cmp), 0);
    kxMUtiVec_Free(pVec);
}

TEST(Strx, GrowsByThePolicyButNeverBelowTheShortfall)
{
    constexpr uint32_t Ex = kxMUtiStrx_GrowExact, Fix = kxMUtiStrx_GrowFixed,
                       Pct = kxMUtiStrx_GrowPercent, Mul = kxMUtiStrx_GrowMultiple;
    /* policy, capacity, len, need, capacity after, asserts (no rule, or two at once) */
    // clang-format off
    const uint32_t cases[][6] = {
        {Fix | 1024, 1024, 0, 1024, 1024, 0}, {Fix | 1024, 1024, 0, 1500, 2048, 0},
        {Fix | 1024, 1024, 0, 3000, 3000, 0}, {Ex | 500, 10, 10, 3, 13, 0},
        {Pct | 50, 999, 999, 1, 1498, 0},     {Pct | 10, 1049, 1049, 1, 1149, 0},
        {Mul | 1, 20, 20, 1, 40, 0},          {Mul | 1, 0, 0, 4, 4, 0},
        {0, 10, 10, 3, 13, 1},                {Ex | Fix | 100, 10, 10, 3, 13, 1}};
    // clang-format on
    for (const auto [policy, capacity, len, need, grown, reported] : cases) {
        kxMUtiStrx_t strx;
        ASSERT_EQ(kxMUtiStrx_Init(&strx, capacity, 0, policy), KX_OK);
        ASSERT_EQ(kxMUtiStrx_NCat(&strx, "", len), KX_OK); // pads with NULs
        qvStbDbg_TestQuiet(1), qvStbDbg_TestClear();       /* then count the failed checks */
        ASSERT_EQ(kxMUtiStrx_Cat(&strx, std::string(need, 'x').c_str()), KX_OK);
        EXPECT_EQ(
            std::tuple(strx.len + strx.spare, Text(strx), qvStbDbg_TestCount()),
            std::tuple(grown, std::string(len, '\0') + std::string(need, 'x') + '\0', reported))
            << std::hex << policy << std::dec << " " << capacity;
        kxMUtiStrx_DeInit(&strx);
    }
}

TEST(Str, ToWordsSplitsInPlaceCuttingOnlyTheByteAfterEachWord)
{
    // Text, max words, text afterwards (NULs included), offset of each word stored, warned.
    // 0xA0 and 0x85 are blanks in some locales, never here.
    // clang-format off
    const std::tuple<std::string, uint32_t, std::string, std::vector<size_t>, bool> cases[] = {
        {" \t \t", 4, " \t \t", {}, false}, {"  ab  cd\n", 4, "  ab\0 cd\0"s, {2, 6}, false},
        {"ab cd  ef gh", 2, "ab\0cd\0 ef gh"s, {0, 3}, true}, {"ab", 0, "ab", {}, true},
        {"\"a b\"", 4, "\"a\0b\""s, {0, 3}, false}, {"x\xa0y\x85z", 4, "x\xa0y\x85z", {0}, false},
        {"a\tb\nc\vd\fe\rf", 8, "a\0b\0c\0d\0e\0f"s, {0, 2, 4, 6, 8, 10}, false}};
    // clang-format on
    for (auto [text, maxWords, after, at, warned] : cases) {
        char *words[8] = {};
        CaptureStdout out;
        std::vector<size_t> got(kxMUtiStr_ToWords(text.data(), maxWords, words));
        for (size_t i = 0; i < got.size(); i++)
            got[i] = words[i] - text.data();
        const std::string warning =
            "** WARNING: Words after first " + std::to_string(maxWords) + " in line ignored.\n";
        EXPECT_EQ(std::tuple(text, got, out.Stop()), std::tuple(after, at, warned ? warning : ""));
    }
}

TEST(Str, CopiesAreNulPaddedAndEndedOnMemoryThatHeldOtherBytes)
{
    /* NDup: text shorter than n (padded), longer (cut), empty.  NCat: onto a buffer that held
     * a longer text, and past its end. */
    const std::tuple<const char *, uint32_t, std::string, std::string> cases[] = {
        {"ab", 5, "ab\0\0\0\0"s, "01ab\0\0\0\0"s},
        {"abcdef", 3, "abc\0"s, "01abc\0"s},
        {"", 0, "\0"s, "01\0"s},
        {"x", 20, "x" + std::string(20, '\0'), "01x" + std::string(20, '\0')}};
    for (const auto &[pText, n, dup, cat] : cases) {
        Dirty(n + 1);
        char *pCopy = kxMUtiStr_NDup(pText, n, 0);
        EXPECT_EQ(std::string(pCopy, n + 1), dup) << pText << " " << n;
        free(pCopy);
        kxMUtiStrx_t strx;
        ASSERT_EQ(kxMUtiStrx_Init(&strx, 16, 0, kxMUtiStrx_GrowExact), KX_OK);
        kxMUtiStrx_Cat(&strx, "0123456789abcdef"), kxMUtiStrx_LenSet(&strx, 2);
        ASSERT_EQ(kxMUtiStrx_NCat(&strx, pText, n), KX_OK);
        EXPECT_EQ(Text(strx), cat) << pText << " " << n;
        kxMUtiStrx_DeInit(&strx);
    }
}

/* Out-of-memory subjects: a full vector and string, so each operation must allocate; bare
 * records for Init; slots for what the constructors return. */
struct Objects {
    kxMUtiVec_t *pV = Filled(1, {1}), *pNewV = nullptr, bareV{7, 5, nullptr};
    kxMUtiStrx_t *pS = kxMUtiStrx_New(3, 0, kxMUtiStrx_GrowFixed | 8), *pNewS = nullptr;
    kxMUtiStrx_t bareS{5, 6, 7, nullptr};
    char *pText = nullptr;
    Objects() { kxMUtiStrx_Cat(pS, "abc"); }
    ~Objects()
    {
        kxMUtiVec_Free(pV), kxMUtiVec_Free(pNewV), kxMUtiVec_DeInit(&bareV);
        kxMUtiStrx_Free(pS), kxMUtiStrx_Free(pNewS), kxMUtiStrx_DeInit(&bareS), free(pText);
    }
    auto State() const
    {
        auto vec = [](const kxMUtiVec_t &v) { return std::tuple(v.allocated, v.used, Ids(v)); };
        auto strx = [](const kxMUtiStrx_t &s) { return std::tuple(s.spare, s.len, Text(s)); };
        return std::tuple(vec(*pV), vec(bareV), strx(*pS), strx(bareS), pNewV, pNewS, pText);
    }
};

TEST(OutOfMemory, EachOperationSucceedsOrFailsLeavingEverythingAsItWas)
{
    static const char *const t[] = {"d", "e"};
    // clang-format off
#define STATUS(call) {#call, [](Objects &o) { return (call) == KX_OK; }}
#define RESULT(lhs, call) {#call, [](Objects &o) { return ((lhs) = (call)) != nullptr; }}
    const struct { const char *pCall; bool (*op)(Objects &); } cases[] = {
        RESULT(o.pNewV, kxMUtiVec_New(0, 4)), STATUS(kxMUtiVec_Init(&o.bareV, 0, 3)),
        RESULT(o.pNewS, kxMUtiStrx_New(8, 0, 0)), STATUS(kxMUtiStrx_Init(&o.bareS, 8, 0, 0)),
        STATUS(kxMUtiVec_Append(o.pV, Item(3))), STATUS(kxMUtiStrx_Cat(o.pS, "defg")),
        STATUS(kxMUtiStrx_NCat(o.pS, "d", 3)), STATUS(kxMUtiStrx_Chr(o.pS, 'd')),
        STATUS(kxMUtiStrx_LenSet(o.pS, 4)), STATUS(kxMUtiStrx_EnsureSpare(o.pS, 9)),
        STATUS(kxMUtiStrx_GrowBy(o.pS, 1)), STATUS(kxMUtiStrx_Join(o.pS, 2, t, "-")),
        RESULT(o.pText, kxMUtiStr_NDup("ab", 5, 0)), RESULT(o.pText, kxMUtiStr_Dup("ab", 0))};
    // clang-format on
    for (const auto &c : cases) {
        Objects o;
        const auto before = o.State();
        const unsigned runs = ForEachAllocFailure(
            [&] { EXPECT_TRUE(c.op(o) ? o.State() != before : o.State() == before) << c.pCall; });
        EXPECT_GT(runs, 1u) << c.pCall << " allocates";
    }
}

TEST(Sizes, Past32BitsAreOutOfMemoryBeforeTheAllocator)
{
    void *slots[1] = {Item(1)};
    char buf[4] = "abc";
    kxMUtiVec_t vWrap{0x55555556u, 1, slots}, vBytes{0x40000001u, 1, slots}, vInit{7, 5, slots};
    kxMUtiStrx_t sSum{0xFFFFFFF0u, 3, kxMUtiStrx_GrowExact, buf};
    kxMUtiStrx_t sStep{0, 0xF0000000u, kxMUtiStrx_GrowMultiple | 2, buf}, sInit{5, 6, 7, buf};
    FaultGuard guard;
    MUti_FaultArm(0, true);
    const unsigned long nAllocs = MUti_AllocCount();
    // 32-bit counts wrap: these must not reach the allocator anywhere.
    EXPECT_EQ(std::tuple(kxMUtiVec_Grow(&vWrap, 0), kxMUtiStrx_GrowBy(&sSum, 0x20),
                         kxMUtiStrx_EnsureSpare(&sStep, 1)),
              std::tuple(KX_ERR_NOMEM, KX_ERR_NOMEM, KX_ERR_NOMEM));
    EXPECT_EQ(MUti_AllocCount(), nAllocs);
    EXPECT_EQ(std::tuple(vWrap.allocated, sSum.spare, sStep.pBuf),
              std::tuple(0x55555556u, 0xFFFFFFF0u, buf));
    // Only a 32-bit size_t wraps; where it is wider, injection fails them.
    EXPECT_EQ(std::tuple(kxMUtiVec_Grow(&vBytes, 0), kxMUtiVec_Init(&vInit, 0, 0x40000001u),
                         kxMUtiStrx_Init(&sInit, UINT32_MAX, 0, 0),
                         kxMUtiStr_NDup("abc", UINT32_MAX, 0)),
              std::tuple(KX_ERR_NOMEM, KX_ERR_NOMEM, KX_ERR_NOMEM, nullptr));
    EXPECT_EQ(MUti_AllocCount() - nAllocs, sizeof(size_t) == 4 ? 0u : 4u);
}

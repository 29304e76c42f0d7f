/* Vector, extensible string and string helpers: growth, order, search, lengths, splitting,
 * sizes past 32 bits, and allocation failure in every growing call. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "CaptureStdout.h"
#include "DbgRecorder.h"
#include "FaultInjection.h"
#include "kxMUtiStr.h"
#include "kxMUtiStrx.h"
#include "kxMUtiVec.h"

using namespace std::string_literals;
using Nums = std::vector<uintptr_t>;

namespace {

/* Entries are plain numbers: the vector stores pointers and never reads them. */
auto Item = [](uintptr_t n) { return reinterpret_cast<void *>(n); };
auto Num = [](const void *pSlot) { return *static_cast<const uintptr_t *>(pSlot); };
auto Cmp = [](uintptr_t a, uintptr_t b) { return (a > b) - (a < b); };
auto Ids = [](const kxMUtiVec_t &v) {
    return Nums(reinterpret_cast<uintptr_t *>(v.pEntries),
                reinterpret_cast<uintptr_t *>(v.pEntries + v.used));
};
/* The text by len and its terminator: a missing NUL shows as a mismatch. */
auto Text = [](const kxMUtiStrx_t &s) { return std::string(s.pBuf, s.len + 1); };

auto Filled = [](uint32_t initialSize, const Nums &ids) {
    kxMUtiVec_t *pVec = kxMUtiVec_New(0, initialSize);
    for (uintptr_t n : ids)
        EXPECT_EQ(kxMUtiVec_Append(pVec, Item(n)), KX_OK);
    return pVec;
};

/* Out-of-memory subjects: a full vector and string, so each operation must
 * allocate; bare records for Init; slots for what the constructors return. */
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
};
auto VecState = [](const kxMUtiVec_t &v) {
    return std::tuple(v.allocated, v.used, v.pEntries, v.pEntries ? Ids(v) : Nums{});
};
auto StrxState = [](const kxMUtiStrx_t &s) {
    return std::tuple(s.spare, s.len, s.growPolicy, (void *)s.pBuf, s.pBuf ? Text(s) : "");
};
auto State = [](const Objects &o) {
    return std::tuple(VecState(*o.pV), VecState(o.bareV), StrxState(*o.pS), StrxState(o.bareS),
                      o.pNewV, o.pNewS, (void *)o.pText);
};

} // namespace

TEST(Vec, TriplesWhenFullKeepingTheEntriesInOrder)
{
    const uint32_t cases[][3] = {{1, 1, 1},    {1, 2, 3},    {1, 4, 9},      {1, 10, 27},
                                 {10, 11, 30}, {10, 31, 90}, {100, 101, 300}};
    for (const auto [initialSize, nAppends, allocated] : cases) {
        Nums ids(nAppends);
        for (uint32_t i = 0; i < nAppends; i++)
            ids[i] = i + 1;
        kxMUtiVec_t *pVec = Filled(initialSize, ids);
        EXPECT_EQ(VecState(*pVec), std::tuple(allocated, nAppends, pVec->pEntries, ids));
        kxMUtiVec_Free(pVec);
    }
    kxMUtiVec_t zero{}; // never set up: tripling 0 would make no room
    ASSERT_EQ(kxMUtiVec_Append(&zero, Item(3)), KX_OK);
    EXPECT_EQ(VecState(zero), std::tuple(1u, 1u, zero.pEntries, Nums{3}));
    kxMUtiVec_DeInit(&zero);
}

TEST(Vec, RemoveSearchSortAndBSearch)
{
    kxMUtiVec_t *pVec = Filled(3, {42, 7, 19, 3, 88, 7, 51});
    kxMUtiVec_Remove(pVec, 6), kxMUtiVec_Remove(pVec, 0); // the last, then the first
    // Slots past used keep what they held: nothing was read or written beyond it.
    EXPECT_EQ(std::tuple(Ids(*pVec), pVec->pEntries[5], pVec->pEntries[6]),
              std::tuple(Nums{7, 19, 3, 88, 7}, Item(7), Item(51)));
    EXPECT_EQ(std::tuple(kxMUtiVec_Search(pVec, Item(7)), kxMUtiVec_Search(pVec, Item(51))),
              std::tuple(0, -1));
    kxMUtiVec_Sort(pVec, [](const void *pA, const void *pB) { return Cmp(Num(pA), Num(pB)); });
    EXPECT_EQ(Ids(*pVec), (Nums{3, 7, 7, 19, 88}));
    auto byKey = [](const void *pKey, const void *pB) { return Cmp((uintptr_t)pKey, Num(pB)); };
    const std::pair<uintptr_t, int32_t> finds[] = {{3, 0}, {88, 4}, {2, -1}, {20, -1}, {100, -1}};
    for (auto [key, at] : finds)
        EXPECT_EQ(kxMUtiVec_BSearch(pVec, Item(key), byKey), at) << key;
    // A null key is a valid entry; bsearch declares its key never null (UBSan).
    kxMUtiVec_Empty(pVec);
    EXPECT_EQ(kxMUtiVec_BSearch(pVec, Item(3), byKey), -1);
    kxMUtiVec_Append(pVec, nullptr), kxMUtiVec_Append(pVec, Item(3));
    EXPECT_EQ(kxMUtiVec_BSearch(pVec, nullptr, byKey), 0);
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
        {Fix | 2, 10, 10, 5, 15, 0},          {Pct | 50, 10, 10, 1, 15, 0},
        {Pct | 50, 999, 999, 1, 1498, 0},     {Pct | 10, 1049, 1049, 1, 1149, 0},
        {Pct | 10, 1050, 1050, 1, 1150, 0},   {Mul | 1, 20, 20, 1, 40, 0},
        {Mul | 1, 0, 0, 4, 4, 0},             {0, 10, 10, 3, 13, 1},
        {Ex | Fix | 100, 10, 10, 3, 13, 1}};
    // clang-format on
    for (const auto [policy, capacity, len, need, grown, reported] : cases) {
        kxMUtiStrx_t strx;
        ASSERT_EQ(kxMUtiStrx_Init(&strx, capacity, 0, policy), KX_OK);
        ASSERT_EQ(kxMUtiStrx_NCat(&strx, "", len), KX_OK);
        DbgRecorder rec;
        ASSERT_EQ(kxMUtiStrx_Cat(&strx, std::string(need, 'x').c_str()), KX_OK);
        EXPECT_EQ(std::tuple(strx.len + strx.spare, Text(strx), rec.Asserts().size()),
                  std::tuple(grown, std::string(len, '\0') + std::string(need, 'x') + '\0',
                             size_t{reported}))
            << std::hex << policy << std::dec << " " << capacity;
        kxMUtiStrx_DeInit(&strx);
    }
}

TEST(Strx, LengthAndAppendsCountEveryByteNulsIncluded)
{
    kxMUtiStrx_t strx;
    ASSERT_EQ(kxMUtiStrx_Init(&strx, 12, 0, kxMUtiStrx_GrowFixed | 1000), KX_OK);
    ASSERT_EQ(kxMUtiStrx_Cat(&strx, "XXXXXXXXXXXX"), KX_OK); // padding must overwrite these
    ASSERT_EQ(kxMUtiStrx_LenSet(&strx, 0), KX_OK);
    ASSERT_EQ(kxMUtiStrx_NCat(&strx, "ab", 5), KX_OK);
    ASSERT_EQ(kxMUtiStrx_NCat(&strx, "hello", 3), KX_OK);
    ASSERT_EQ(kxMUtiStrx_LenSet(&strx, 15), KX_OK); // grows by 3, not by the policy's 1000
    EXPECT_EQ(std::tuple(strx.spare, Text(strx).substr(0, 9), strx.pBuf[15]),
              std::tuple(0u, "ab\0\0\0hel\0"s, '\0'));
    const char *const texts[] = {"one", "", "three"};
    const std::tuple<uint32_t, const char *, std::string> joins[] = {
        {3, ", ", ":one, , three"}, {3, nullptr, ":onethree"}, {1, ", ", ":one"}, {0, ", ", ":"}};
    for (const auto &[count, pSep, want] : joins) {
        ASSERT_EQ(kxMUtiStrx_LenSet(&strx, 0), KX_OK);
        ASSERT_EQ(kxMUtiStrx_Chr(&strx, ':'), KX_OK);
        EXPECT_EQ(kxMUtiStrx_Join(&strx, count, texts, pSep), KX_OK);
        EXPECT_EQ(Text(strx), want + '\0');
    }
    kxMUtiStrx_DeInit(&strx);
}

TEST(Str, ToWordsSplitsInPlaceCuttingOnlyTheByteAfterEachWord)
{
    // Text, max words, text afterwards (NULs included), offset of each word stored, warned.
    // 0xA0 and 0x85 are blanks in some locales, never here.
    // clang-format off
    const std::tuple<std::string, uint32_t, std::string, std::vector<size_t>, bool> cases[] = {
        {" \t \t", 4, " \t \t", {}, false}, {"  ab  cd\n", 4, "  ab\0 cd\0"s, {2, 6}, false},
        {"ab cd  ef gh", 2, "ab\0cd\0 ef gh"s, {0, 3}, true},
        {"ab cd   ", 2, "ab\0cd\0  "s, {0, 3}, false}, {"ab", 0, "ab", {}, true},
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

TEST(OutOfMemory, EachOperationSucceedsOrFailsLeavingEverythingAsItWas)
{
    static const char *const t[] = {"d", "e"};
    // Rows: allocations the call makes, the call as its name, whether it succeeded.
    // clang-format off
#define STATUS(n, call) {n, #call, [](Objects &o) { return call == KX_OK; }}
#define RESULT(n, lhs, call) {n, #call, [](Objects &o) { return (lhs = call) != nullptr; }}
    const struct { unsigned nAllocs; const char *pCall; bool (*op)(Objects &); } cases[] = {
        RESULT(2, o.pNewV, kxMUtiVec_New(0, 4)), STATUS(1, kxMUtiVec_Init(&o.bareV, 0, 3)),
        RESULT(2, o.pNewS, kxMUtiStrx_New(8, 0, 0)), STATUS(1, kxMUtiStrx_Init(&o.bareS, 8, 0, 0)),
        STATUS(1, kxMUtiVec_Append(o.pV, Item(3))), STATUS(1, kxMUtiStrx_Cat(o.pS, "defg")),
        STATUS(1, kxMUtiStrx_NCat(o.pS, "d", 3)), STATUS(1, kxMUtiStrx_Chr(o.pS, 'd')),
        STATUS(1, kxMUtiStrx_LenSet(o.pS, 4)), STATUS(1, kxMUtiStrx_EnsureSpare(o.pS, 9)),
        STATUS(1, kxMUtiStrx_GrowBy(o.pS, 1)), STATUS(1, kxMUtiStrx_Join(o.pS, 2, t, "-")),
        RESULT(1, o.pText, kxMUtiStr_NDup("ab", 5, 0)), RESULT(1, o.pText, kxMUtiStr_Dup("ab", 0))};
    // clang-format on
    for (const auto &c : cases) {
        Objects o;
        const auto before = State(o);
        const unsigned runs = ForEachAllocFailure(
            [&] { EXPECT_TRUE(c.op(o) ? State(o) != before : State(o) == before) << c.pCall; });
        EXPECT_EQ(runs, c.nAllocs + 1) << c.pCall;
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

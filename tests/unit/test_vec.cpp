/* Pointer vector: growth by tripling, order-keeping removal, search, the
 * checks on sizes and indexes, and out-of-memory atomicity. */
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "DbgRecorder.h"
#include "FaultInjection.h"
#include "MUtiAlloc.h"
#include "kxMUtiVec.h"

namespace {

constexpr const char *kPath = "comps/kxMUti/src/kxMUtiVec";

/* Distinct entries: the vector stores them by identity and never reads them. */
void *Item(uintptr_t i)
{
    return reinterpret_cast<void *>(0x1000 + i * sizeof(void *));
}

/* The used entries, for whole-vector comparisons. */
std::vector<void *> Entries(const kxMUtiVec_t &vec)
{
    return std::vector<void *>(vec.pEntries, vec.pEntries + vec.used);
}

/* Orders slots by the int each entry points at (Sort passes slot pointers). */
int CompareSlots(const void *pA, const void *pB)
{
    const int a = **static_cast<int *const *>(pA);
    const int b = **static_cast<int *const *>(pB);
    return (a > b) - (a < b);
}

/* BSearch passes the key as given (an int *) first and a slot second. */
int CompareKeyToSlot(const void *pKey, const void *pSlot)
{
    const int a = *static_cast<const int *>(pKey);
    const int b = **static_cast<int *const *>(pSlot);
    return (a > b) - (a < b);
}

struct GrowthCase {
    uint32_t initialSize;
    uint32_t nAppends;
    uint32_t allocated; /* capacity after the appends */
};

} // namespace

TEST(VecGrowth, TriplesExactlyWhenTheAppendFindsTheVectorFull)
{
    const GrowthCase cases[] = {
        {1, 1, 1},    {1, 2, 3},    {1, 3, 3},    {1, 4, 9},    {1, 9, 9},       {1, 10, 27},
        {10, 10, 10}, {10, 11, 30}, {10, 30, 30}, {10, 31, 90}, {100, 100, 100}, {100, 101, 300},
    };
    for (const GrowthCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.initialSize << " + " << c.nAppends);
        kxMUtiVec_t *pVec = kxMUtiVec_New(0, c.initialSize);
        ASSERT_NE(pVec, nullptr);
        for (uint32_t i = 0; i < c.nAppends; i++)
            ASSERT_EQ(kxMUtiVec_Append(pVec, Item(i)), KX_OK);
        EXPECT_EQ(pVec->allocated, c.allocated);
        EXPECT_EQ(pVec->used, c.nAppends);
        // Growth copies every old slot: entries are all there, in order.
        for (uint32_t i = 0; i < c.nAppends; i++)
            ASSERT_EQ(pVec->pEntries[i], Item(i)) << i;
        kxMUtiVec_Free(pVec);
    }
}

TEST(VecGrowth, EmptyKeepsTheArrayAndRefillsFromSlotZero)
{
    kxMUtiVec_t *pVec = kxMUtiVec_New(0, 2);
    for (int i = 0; i < 5; i++)
        kxMUtiVec_Append(pVec, Item(i));
    void **pArray = pVec->pEntries;
    kxMUtiVec_Empty(pVec);
    EXPECT_EQ(pVec->used, 0u);
    ASSERT_EQ(kxMUtiVec_Append(pVec, Item(9)), KX_OK);
    EXPECT_EQ(pVec->pEntries, pArray); // no new array
    EXPECT_EQ(pVec->allocated, 6u);    // capacity kept
    EXPECT_EQ(pVec->pEntries[0], Item(9));
    kxMUtiVec_Free(pVec);
}

TEST(VecGrowth, NonZeroSkipChangesNothing)
{
    kxMUtiVec_t vec;
    ASSERT_EQ(kxMUtiVec_Init(&vec, 0, 4), KX_OK);
    const kxMUtiVec_t before = vec;
    const unsigned long nAllocs = MUti_AllocCount();
    EXPECT_EQ(kxMUtiVec_Grow(&vec, 1), KX_OK);
    EXPECT_EQ(MUti_AllocCount(), nAllocs);
    EXPECT_EQ(vec.allocated, before.allocated);
    EXPECT_EQ(vec.pEntries, before.pEntries);
    kxMUtiVec_DeInit(&vec);
}

TEST(VecGrowth, CapacityBeyond32BitsIsOutOfMemoryWithoutAllocating)
{
    void *slots[2] = {Item(0), Item(1)};
    kxMUtiVec_t vec{0x55555556u, 0x55555556u, slots}; // 3x wraps a uint32
    const unsigned long nAllocs = MUti_AllocCount();
    EXPECT_EQ(kxMUtiVec_Grow(&vec, 0), KX_ERR_NOMEM);
    EXPECT_EQ(MUti_AllocCount(), nAllocs);
    EXPECT_EQ(vec.allocated, 0x55555556u);
    EXPECT_EQ(vec.pEntries, slots);
}

TEST(VecGrowth, ZeroFilledRecordGrowsToOneSlotOnFirstAppend)
{
    kxMUtiVec_t vec{};
    ASSERT_EQ(kxMUtiVec_Append(&vec, Item(3)), KX_OK);
    EXPECT_EQ(vec.allocated, 1u);
    EXPECT_EQ(Entries(vec), std::vector<void *>{Item(3)});
    kxMUtiVec_DeInit(&vec);
}

TEST(VecChecks, ZeroSizeIsReportedByNewAndInitThenUsableAsOne)
{
    DbgRecorder rec;
    kxMUtiVec_t *pVec = kxMUtiVec_New(0, 0);
    ASSERT_NE(pVec, nullptr);
    const auto asserts = rec.Asserts();
    ASSERT_EQ(asserts.size(), 2u); // once by New, once by the Init it calls
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(asserts[i].cond, "initialSize > 0");
        EXPECT_EQ(asserts[i].file, kPath);
        EXPECT_FALSE(asserts[i].hasDetail);
    }
    EXPECT_EQ(asserts[0].line, 109);
    EXPECT_EQ(asserts[1].line, 138);
    // Treated as 1: a second append triples into real room.
    EXPECT_EQ(pVec->allocated, 1u);
    EXPECT_EQ(kxMUtiVec_Append(pVec, Item(0)), KX_OK);
    EXPECT_EQ(kxMUtiVec_Append(pVec, Item(1)), KX_OK);
    EXPECT_EQ(pVec->allocated, 3u);
    kxMUtiVec_Free(pVec);
}

TEST(VecChecks, ZeroSizeGivenToInitIsReportedOnce)
{
    DbgRecorder rec;
    kxMUtiVec_t vec;
    ASSERT_EQ(kxMUtiVec_Init(&vec, 0, 0), KX_OK);
    const auto asserts = rec.Asserts();
    ASSERT_EQ(asserts.size(), 1u);
    EXPECT_EQ(asserts[0].line, 138);
    EXPECT_EQ(vec.allocated, 1u);
    kxMUtiVec_DeInit(&vec);
}

TEST(VecChecks, RemoveBeyondUsedIsReportedAndDropsNothing)
{
    DbgRecorder rec;
    kxMUtiVec_t *pVec = kxMUtiVec_New(0, 4);
    kxMUtiVec_Remove(pVec, 0); // empty: used must not wrap below 0
    EXPECT_EQ(pVec->used, 0u);
    kxMUtiVec_Append(pVec, Item(0));
    kxMUtiVec_Append(pVec, Item(1));
    kxMUtiVec_Remove(pVec, 2); // a stale slot, not an entry
    EXPECT_EQ(Entries(*pVec), (std::vector<void *>{Item(0), Item(1)}));
    const auto asserts = rec.Asserts();
    ASSERT_EQ(asserts.size(), 2u);
    for (const DbgAssert &a : asserts) {
        EXPECT_EQ(a.cond, "entryIndex < pVec->used");
        EXPECT_EQ(a.file, kPath);
        EXPECT_EQ(a.line, 236);
        EXPECT_FALSE(a.hasDetail);
    }
    kxMUtiVec_Free(pVec);
}

TEST(VecRemove, KeepsTheOrderOfTheRestAndTheCapacity)
{
    struct Case {
        uint32_t index;
        std::vector<int> left; /* item numbers remaining */
    };
    const Case cases[] = {{0, {1, 2}}, {1, {0, 2}}, {2, {0, 1}}};
    for (const Case &c : cases) {
        kxMUtiVec_t *pVec = kxMUtiVec_New(0, 5);
        for (int i = 0; i < 3; i++)
            kxMUtiVec_Append(pVec, Item(i));
        kxMUtiVec_Remove(pVec, c.index);
        std::vector<void *> want;
        for (int i : c.left)
            want.push_back(Item(i));
        EXPECT_EQ(Entries(*pVec), want) << "index " << c.index;
        EXPECT_EQ(pVec->allocated, 5u);
        kxMUtiVec_Free(pVec);
    }
}

TEST(VecSearch, FindsTheFirstIdenticalPointerOrMinusOne)
{
    kxMUtiVec_t *pVec = kxMUtiVec_New(0, 10);
    EXPECT_EQ(kxMUtiVec_Search(pVec, Item(7)), -1); // empty vector
    for (int i : {0, 1, 7, 3, 4, 7, 6})
        kxMUtiVec_Append(pVec, Item(i));
    EXPECT_EQ(kxMUtiVec_Search(pVec, Item(7)), 2);
    EXPECT_EQ(kxMUtiVec_Search(pVec, Item(6)), 6); // the last used slot counts
    EXPECT_EQ(kxMUtiVec_Search(pVec, Item(9)), -1);
    kxMUtiVec_Remove(pVec, 6);
    EXPECT_EQ(kxMUtiVec_Search(pVec, Item(6)), -1); // a stale slot does not
    kxMUtiVec_Free(pVec);
}

TEST(VecSearch, SortThenBinarySearchByValue)
{
    int values[] = {42, 7, 19, 3, 88, 7, 51};
    kxMUtiVec_t *pVec = kxMUtiVec_New(0, 3);
    for (int &v : values)
        kxMUtiVec_Append(pVec, &v);
    kxMUtiVec_Sort(pVec, CompareSlots);
    std::vector<int> sorted;
    for (void *p : Entries(*pVec))
        sorted.push_back(*static_cast<int *>(p));
    EXPECT_EQ(sorted, (std::vector<int>{3, 7, 7, 19, 42, 51, 88}));

    for (int key : {3, 19, 88, 7}) {
        const int32_t index = kxMUtiVec_BSearch(pVec, &key, CompareKeyToSlot);
        ASSERT_GE(index, 0) << key;
        EXPECT_EQ(*static_cast<int *>(pVec->pEntries[index]), key);
    }
    const int absent = 20;
    EXPECT_EQ(kxMUtiVec_BSearch(pVec, &absent, CompareKeyToSlot), -1);
    kxMUtiVec_Empty(pVec);
    EXPECT_EQ(kxMUtiVec_BSearch(pVec, &absent, CompareKeyToSlot), -1);
    kxMUtiVec_Free(pVec);
}

TEST(VecLifeCycle, DeInitNullsTheArrayAndKeepsTheCounts)
{
    kxMUtiVec_t vec;
    ASSERT_EQ(kxMUtiVec_Init(&vec, 0, 4), KX_OK);
    kxMUtiVec_Append(&vec, Item(0));
    kxMUtiVec_DeInit(&vec);
    EXPECT_EQ(vec.pEntries, nullptr);
    EXPECT_EQ(vec.allocated, 4u);
    EXPECT_EQ(vec.used, 1u);
    kxMUtiVec_Free(nullptr); // harmless
}

TEST(VecOutOfMemory, NewEitherSucceedsOrLeavesNothing)
{
    const unsigned runs = ForEachAllocFailure([] {
        kxMUtiVec_t *pVec = kxMUtiVec_New(0, 10);
        if (MUti_FaultInjected() != 0) {
            EXPECT_EQ(pVec, nullptr); // the leak check proves the record went back
            return;
        }
        ASSERT_NE(pVec, nullptr);
        EXPECT_EQ(pVec->allocated, 10u);
        EXPECT_EQ(pVec->used, 0u);
        kxMUtiVec_Free(pVec);
    });
    EXPECT_EQ(runs, 3u); // record, array, then a clean run
}

TEST(VecOutOfMemory, FailedInitNullsTheArrayAndKeepsTheCounts)
{
    kxMUtiVec_t vec{7, 5, nullptr};
    ForEachAllocFailure([&] {
        if (kxMUtiVec_Init(&vec, 0, 3) == KX_OK) {
            EXPECT_EQ(vec.allocated, 3u);
            kxMUtiVec_DeInit(&vec);
            return;
        }
        EXPECT_EQ(vec.pEntries, nullptr);
        EXPECT_EQ(vec.allocated, 7u);
        EXPECT_EQ(vec.used, 5u);
    });
}

TEST(VecOutOfMemory, FailedGrowthLeavesTheVectorAsItWas)
{
    kxMUtiVec_t *pVec = kxMUtiVec_New(0, 2);
    ASSERT_NE(pVec, nullptr);
    kxMUtiVec_Append(pVec, Item(0));
    kxMUtiVec_Append(pVec, Item(1));
    ForEachAllocFailure([&] {
        const kxMUtiVec_t before = *pVec;
        const std::vector<void *> entries = Entries(*pVec);
        const uint32_t status = kxMUtiVec_Append(pVec, Item(2));
        if (status == KX_OK) {
            EXPECT_EQ(pVec->used, 3u);
            EXPECT_EQ(pVec->pEntries[2], Item(2));
            return;
        }
        EXPECT_EQ(status, KX_ERR_NOMEM);
        EXPECT_EQ(pVec->allocated, before.allocated);
        EXPECT_EQ(pVec->used, before.used);
        EXPECT_EQ(pVec->pEntries, before.pEntries);
        EXPECT_EQ(Entries(*pVec), entries);
    });
    EXPECT_EQ(pVec->allocated, 6u);
    kxMUtiVec_Free(pVec);
}

/* Pointer vector: tripling growth, order-keeping removal, search, the checks
 * on sizes and indexes, and out-of-memory atomicity. */
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "DbgRecorder.h"
#include "FaultInjection.h"
#include "MUtiAlloc.h"
#include "kxMUtiVec.h"

namespace {

/* Distinct entries: the vector stores them by identity and never reads them. */
void *Item(uintptr_t i)
{
    return reinterpret_cast<void *>(0x1000 + i * sizeof(void *));
}

std::vector<void *> Items(std::initializer_list<int> ids)
{
    std::vector<void *> items;
    for (int i : ids)
        items.push_back(Item(i));
    return items;
}

std::vector<void *> Entries(const kxMUtiVec_t &vec)
{
    return std::vector<void *>(vec.pEntries, vec.pEntries + vec.used);
}

void ExpectReport(const DbgAssert &a, const char *pCond, int line)
{
    EXPECT_EQ(a.cond, pCond);
    EXPECT_EQ(a.file, "comps/kxMUti/src/kxMUtiVec");
    EXPECT_EQ(a.line, line);
    EXPECT_FALSE(a.hasDetail);
}

/* Sort hands the comparison two slot pointers; BSearch the key, then a slot. */
int Value(const void *pSlot)
{
    return **static_cast<int *const *>(pSlot);
}
int CompareSlots(const void *pA, const void *pB)
{
    return Value(pA) - Value(pB);
}
int CompareKey(const void *pKey, const void *pB)
{
    return *static_cast<const int *>(pKey) - Value(pB);
}

} // namespace

TEST(VecGrowth, TriplesWhenAnAppendFindsTheVectorFull)
{
    struct Case {
        uint32_t initialSize, nAppends, allocated;
    };
    const Case cases[] = {{1, 1, 1},    {1, 2, 3},    {1, 4, 9},    {1, 9, 9},      {1, 10, 27},
                          {10, 10, 10}, {10, 11, 30}, {10, 31, 90}, {100, 101, 300}};
    for (const Case &c : cases) {
        kxMUtiVec_t *pVec = kxMUtiVec_New(0, c.initialSize);
        for (uint32_t i = 0; i < c.nAppends; i++)
            ASSERT_EQ(kxMUtiVec_Append(pVec, Item(i)), KX_OK);
        EXPECT_EQ(pVec->allocated, c.allocated) << c.initialSize << " + " << c.nAppends;
        for (uint32_t i = 0; i < c.nAppends; i++) // growth copied every entry, in order
            ASSERT_EQ(pVec->pEntries[i], Item(i)) << i;
        kxMUtiVec_Free(pVec);
    }
}

TEST(VecGrowth, EmptyAndSkippedGrowthKeepTheArray)
{
    kxMUtiVec_t *pVec = kxMUtiVec_New(0, 2);
    for (int i = 0; i < 5; i++)
        kxMUtiVec_Append(pVec, Item(i));
    void **pArray = pVec->pEntries;
    EXPECT_EQ(kxMUtiVec_Grow(pVec, 1), KX_OK); // non-zero skip: a no-op
    kxMUtiVec_Empty(pVec);
    ASSERT_EQ(kxMUtiVec_Append(pVec, Item(9)), KX_OK);
    EXPECT_EQ(pVec->pEntries, pArray);
    EXPECT_EQ(pVec->allocated, 6u);
    EXPECT_EQ(Entries(*pVec), Items({9})); // refilled from slot 0
    kxMUtiVec_Free(pVec);
}

TEST(VecGrowth, SizesBeyond32BitsOrTheAddressSpaceAreOutOfMemory)
{
    // 3 x 0x55555556 wraps a uint32; 0x40000001 slots wrap a 32-bit size_t to
    // a few bytes.  The guards must stop both before the allocator; where
    // size_t is wider, the (injected) allocation failure stops the second.
    void *slots[1] = {Item(0)};
    kxMUtiVec_t wrap32{0x55555556u, 1, slots};
    kxMUtiVec_t wrapBytes{0x40000001u, 1, slots};
    kxMUtiVec_t fresh{7, 5, slots};
    FaultGuard guard;
    MUti_FaultArm(0, true);
    const unsigned long nAllocs = MUti_AllocCount();
    EXPECT_EQ(kxMUtiVec_Grow(&wrap32, 0), KX_ERR_NOMEM);
    EXPECT_EQ(MUti_AllocCount(), nAllocs);
    EXPECT_EQ(kxMUtiVec_Grow(&wrapBytes, 0), KX_ERR_NOMEM);
    EXPECT_EQ(kxMUtiVec_Init(&fresh, 0, 0x40000001u), KX_ERR_NOMEM);
    if (sizeof(size_t) == 4) {
        EXPECT_EQ(MUti_AllocCount(), nAllocs) << "a wrapped size reached the allocator";
    }
    EXPECT_EQ(wrap32.allocated, 0x55555556u);
    EXPECT_EQ(wrapBytes.pEntries, slots);
    EXPECT_EQ(fresh.allocated, 7u);
}

TEST(VecGrowth, ZeroFilledRecordGrowsToOneSlot)
{
    kxMUtiVec_t vec{};
    ASSERT_EQ(kxMUtiVec_Append(&vec, Item(3)), KX_OK);
    EXPECT_EQ(vec.allocated, 1u);
    EXPECT_EQ(Entries(vec), Items({3}));
    kxMUtiVec_DeInit(&vec);
}

TEST(VecChecks, ZeroSizeIsReportedByNewAndInitThenActsAsOne)
{
    DbgRecorder rec;
    kxMUtiVec_t *pVec = kxMUtiVec_New(0, 0);
    const auto asserts = rec.Asserts();
    ASSERT_EQ(asserts.size(), 2u); // New reports, then the Init it calls
    ExpectReport(asserts[0], "initialSize > 0", 109);
    ExpectReport(asserts[1], "initialSize > 0", 138);
    ASSERT_EQ(pVec->allocated, 1u); // tripling then makes real room
    EXPECT_EQ(kxMUtiVec_Append(pVec, Item(0)), KX_OK);
    EXPECT_EQ(kxMUtiVec_Append(pVec, Item(1)), KX_OK);
    EXPECT_EQ(pVec->allocated, 3u);
    kxMUtiVec_Free(pVec);

    rec.Clear();
    kxMUtiVec_t vec;
    ASSERT_EQ(kxMUtiVec_Init(&vec, 0, 0), KX_OK);
    ASSERT_EQ(rec.Asserts().size(), 1u);
    EXPECT_EQ(rec.Asserts()[0].line, 138);
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
    EXPECT_EQ(Entries(*pVec), Items({0, 1}));
    const auto asserts = rec.Asserts();
    ASSERT_EQ(asserts.size(), 2u);
    for (const DbgAssert &a : asserts)
        ExpectReport(a, "entryIndex < pVec->used", 236);
    kxMUtiVec_Free(pVec);
}

TEST(VecRemove, KeepsTheOrderOfTheRestAndTheCapacity)
{
    const std::vector<void *> left[] = {Items({1, 2}), Items({0, 2}), Items({0, 1})};
    for (uint32_t index = 0; index < 3; index++) {
        kxMUtiVec_t *pVec = kxMUtiVec_New(0, 5);
        for (int i = 0; i < 3; i++)
            kxMUtiVec_Append(pVec, Item(i));
        kxMUtiVec_Remove(pVec, index);
        EXPECT_EQ(Entries(*pVec), left[index]) << "index " << index;
        EXPECT_EQ(pVec->allocated, 5u);
        kxMUtiVec_Free(pVec);
    }
}

TEST(VecSearch, FindsTheFirstIdenticalPointerAmongTheUsedSlots)
{
    kxMUtiVec_t *pVec = kxMUtiVec_New(0, 10);
    EXPECT_EQ(kxMUtiVec_Search(pVec, Item(7)), -1); // empty vector
    for (int i : {0, 1, 7, 3, 4, 7, 6})
        kxMUtiVec_Append(pVec, Item(i));
    EXPECT_EQ(kxMUtiVec_Search(pVec, Item(7)), 2);
    EXPECT_EQ(kxMUtiVec_Search(pVec, Item(6)), 6);
    EXPECT_EQ(kxMUtiVec_Search(pVec, Item(9)), -1);
    kxMUtiVec_Remove(pVec, 6);
    EXPECT_EQ(kxMUtiVec_Search(pVec, Item(6)), -1); // stale slots are not searched
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
    for (uint32_t i = 0; i < pVec->used; i++)
        sorted.push_back(*static_cast<int *>(pVec->pEntries[i]));
    EXPECT_EQ(sorted, (std::vector<int>{3, 7, 7, 19, 42, 51, 88}));
    for (int key : {3, 7, 19, 88}) {
        const int32_t index = kxMUtiVec_BSearch(pVec, &key, CompareKey);
        ASSERT_GE(index, 0) << key;
        EXPECT_EQ(*static_cast<int *>(pVec->pEntries[index]), key);
    }
    const int absent = 20;
    EXPECT_EQ(kxMUtiVec_BSearch(pVec, &absent, CompareKey), -1);
    kxMUtiVec_Empty(pVec);
    EXPECT_EQ(kxMUtiVec_BSearch(pVec, &absent, CompareKey), -1);
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

TEST(VecOutOfMemory, ConstructorsFailCleanly)
{
    // New gives null and (by the leak check) frees its record.
    ForEachAllocFailure([] {
        kxMUtiVec_t *pVec = kxMUtiVec_New(0, 10);
        EXPECT_EQ(pVec == nullptr, MUti_FaultInjected() != 0);
        kxMUtiVec_Free(pVec);
    });
    // Init nulls the array and leaves the counts alone.
    kxMUtiVec_t vec{7, 5, nullptr};
    ForEachAllocFailure([&] {
        if (kxMUtiVec_Init(&vec, 0, 3) == KX_OK) {
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
    kxMUtiVec_Append(pVec, Item(0));
    kxMUtiVec_Append(pVec, Item(1));
    void **pArray = pVec->pEntries;
    ForEachAllocFailure([&] {
        const uint32_t status = kxMUtiVec_Append(pVec, Item(2));
        if (status == KX_OK)
            return;
        EXPECT_EQ(status, KX_ERR_NOMEM);
        EXPECT_EQ(pVec->allocated, 2u);
        EXPECT_EQ(pVec->pEntries, pArray);
        EXPECT_EQ(Entries(*pVec), Items({0, 1}));
    });
    EXPECT_EQ(Entries(*pVec), Items({0, 1, 2}));
    kxMUtiVec_Free(pVec);
}

/* Inputs the fuzz targets found, each reduced to the calls that matter.
 * Each test names its corpus file under fuzz/corpus/ and the rule it
 * holds the library to. */
#include <gtest/gtest.h>

#include <cstdint>

#include "kxMUtiVec.h"

namespace {

/* Orders entries as plain numbers; BSearch passes the key first, as given. */
int CompareKeyToSlot(const void *pKey, const void *pSlot)
{
    const auto key = reinterpret_cast<uintptr_t>(pKey);
    const auto entry = reinterpret_cast<uintptr_t>(*static_cast<void *const *>(pSlot));
    return (key > entry) - (key < entry);
}

} // namespace

/*
 * fuzz_containers, corpus file regress_bsearch_null_key: a null key is an
 * untyped pointer like any other (a vector may hold null entries, and the
 * key goes to the caller's compare function as passed), but the C library's
 * bsearch declares its key argument never null.  Handing the key straight
 * to bsearch is undefined behaviour, reported by UBSan as "null pointer
 * passed as argument 1, which is declared to never be null".  The search
 * must work without it: find the null entry, or report -1 when there is
 * none.  Fixed by a binary search of the library's own; this aborted in the
 * sanitizer build while BSearch handed its key to bsearch.
 */
TEST(FuzzRegressions, BSearchTakesANullKey)
{
    kxMUtiVec_t *pVec = kxMUtiVec_New(0, 4);
    ASSERT_NE(pVec, nullptr);
    ASSERT_EQ(kxMUtiVec_Append(pVec, reinterpret_cast<void *>(1)), KX_OK);
    ASSERT_EQ(kxMUtiVec_Append(pVec, reinterpret_cast<void *>(2)), KX_OK);
    EXPECT_EQ(kxMUtiVec_BSearch(pVec, nullptr, CompareKeyToSlot), -1);

    kxMUtiVec_Empty(pVec);
    ASSERT_EQ(kxMUtiVec_Append(pVec, nullptr), KX_OK);
    ASSERT_EQ(kxMUtiVec_Append(pVec, reinterpret_cast<void *>(3)), KX_OK);
    EXPECT_EQ(kxMUtiVec_BSearch(pVec, nullptr, CompareKeyToSlot), 0);
    kxMUtiVec_Free(pVec);
}

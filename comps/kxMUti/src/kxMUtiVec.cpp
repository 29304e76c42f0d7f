/*
 * kxMUtiVec.cpp - the growable vector of untyped pointers.
 *
 * The interpreter keeps its command definitions, the words of a line and the
 * per-call temporaries in these vectors; host programs may use them too.  A
 * vector owns its entry array and never what the entries point to.  A full
 * vector triples its capacity into a fresh array; the capacity never shrinks.
 */
#include "kxMUtiVec.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "MUtiAlloc.h"
#include "MUtiDbg.h"

/* The record is read field by field by the interpreter and by hosts built
 * against the 32-bit board headers: two counts, then the array pointer. */
static_assert(offsetof(kxMUtiVec_t, allocated) == 0);
static_assert(offsetof(kxMUtiVec_t, used) == 4);
static_assert(offsetof(kxMUtiVec_t, pEntries) == 8);
static_assert(sizeof(kxMUtiVec_t) == 2 * sizeof(uint32_t) + sizeof(void *));

namespace {

/* Failed checks are reported under this path and these fixed line numbers,
 * which board logs and tests rely on; they do not follow edits to this file. */
constexpr const char *kMUtiVecPath = "comps/kxMUti/src/kxMUtiVec";
constexpr int kMUtiVecLineNewSize = 109;   /* zero initialSize given to New */
constexpr int kMUtiVecLineInitSize = 138;  /* zero initialSize given to Init */
constexpr int kMUtiVecLineRemoveIdx = 236; /* Remove beyond the used slots */

constexpr const char *kMUtiVecCondSize = "initialSize > 0";
constexpr const char *kMUtiVecCondIndex = "entryIndex < pVec->used";

constexpr uint32_t kMUtiVecGrowFactor = 3; /* a full vector triples */

/* Bytes for nSlots entries, or 0 when that does not fit in size_t (a 32-bit
 * size_t wraps beyond 2^30 slots).  nSlots is never 0 here. */
size_t MUtiVec_SlotBytes(uint64_t nSlots)
{
    if (nSlots > SIZE_MAX / sizeof(void *)) [[unlikely]]
        return 0;
    return static_cast<size_t>(nSlots) * sizeof(void *);
}

} // namespace

/*
 * Allocates a record zero-filled and sets it up.  Returns null, with nothing
 * left allocated, when either the record or its array cannot be had.
 */
kxMUtiVec_t *kxMUtiVec_New(kxWord_t memSpace, uint32_t initialSize)
{
    if (initialSize == 0) [[unlikely]]
        MUti_AssertFail(kMUtiVecCondSize, kMUtiVecPath, kMUtiVecLineNewSize);

    auto *pVec = static_cast<kxMUtiVec_t *>(MUti_Calloc(1, sizeof(kxMUtiVec_t)));
    if (pVec == nullptr) [[unlikely]]
        return nullptr;
    if (kxMUtiVec_Init(pVec, memSpace, initialSize) != KX_OK) [[unlikely]] {
        MUti_Free(pVec);
        return nullptr;
    }
    return pVec;
}

/*
 * Gives the record an empty array of initialSize slots.  A zero size is
 * reported and then treated as 1, so a later append always finds room after
 * one growth.  Out of memory: pEntries is null, allocated and used are kept.
 */
uint32_t kxMUtiVec_Init(kxMUtiVec_t *pVec, kxWord_t memSpace, uint32_t initialSize)
{
    (void)memSpace; /* accepted for the board's interface; all memory is heap */
    if (initialSize == 0) [[unlikely]] {
        MUti_AssertFail(kMUtiVecCondSize, kMUtiVecPath, kMUtiVecLineInitSize);
        initialSize = 1;
    }

    const size_t nBytes = MUtiVec_SlotBytes(initialSize);
    pVec->pEntries = nBytes ? static_cast<void **>(MUti_Malloc(nBytes)) : nullptr;
    if (pVec->pEntries == nullptr) [[unlikely]]
        return KX_ERR_NOMEM;
    pVec->allocated = initialSize;
    pVec->used = 0;
    return KX_OK;
}

/* Frees the array and nulls pEntries; the counts keep their values. */
void kxMUtiVec_DeInit(kxMUtiVec_t *pVec)
{
    MUti_Free(pVec->pEntries);
    pVec->pEntries = nullptr;
}

/* Releases a record made by kxMUtiVec_New.  A null pVec does nothing. */
void kxMUtiVec_Free(kxMUtiVec_t *pVec)
{
    if (pVec == nullptr)
        return;
    kxMUtiVec_DeInit(pVec);
    MUti_Free(pVec);
}

/*
 * Stores pEntry after the last entry, growing a full vector first.  If the
 * growth fails the entry is not stored and the vector is as it was.
 */
uint32_t kxMUtiVec_Append(kxMUtiVec_t *pVec, void *pEntry)
{
    if (pVec->used >= pVec->allocated) {
        const uint32_t status = kxMUtiVec_Grow(pVec, 0);
        if (status != KX_OK) [[unlikely]]
            return status;
    }
    pVec->pEntries[pVec->used++] = pEntry;
    return KX_OK;
}

/*
 * Moves the entries into a fresh array three times as large.  A fresh array
 * (not realloc) keeps the old one intact until the copy is done, so on
 * failure nothing changes.  A capacity of 0 (a zero-filled record that was
 * never set up) grows to 1, since tripling it would make no room.  A new
 * capacity beyond 32 bits, or an array beyond the address space, is out of
 * memory.
 */
uint32_t kxMUtiVec_Grow(kxMUtiVec_t *pVec, kxWord_t skip)
{
    if (skip != 0)
        return KX_OK;

    const uint64_t nNew =
        pVec->allocated ? uint64_t{pVec->allocated} * kMUtiVecGrowFactor : uint64_t{1};
    if (nNew > UINT32_MAX) [[unlikely]]
        return KX_ERR_NOMEM;
    const size_t nBytes = MUtiVec_SlotBytes(nNew);
    if (nBytes == 0) [[unlikely]]
        return KX_ERR_NOMEM;
    auto *pNew = static_cast<void **>(MUti_Malloc(nBytes));
    if (pNew == nullptr) [[unlikely]]
        return KX_ERR_NOMEM;

    if (pVec->allocated > 0) /* keeps memcpy off a null array */
        memcpy(pNew, pVec->pEntries, size_t{pVec->allocated} * sizeof(void *));
    MUti_Free(pVec->pEntries);
    pVec->pEntries = pNew;
    pVec->allocated = static_cast<uint32_t>(nNew);
    return KX_OK;
}

/*
 * Drops slot entryIndex and closes the gap, keeping the order of the rest.
 * An index at or beyond used is reported and ignored: nothing is dropped.
 */
void kxMUtiVec_Remove(kxMUtiVec_t *pVec, uint32_t entryIndex)
{
    if (entryIndex >= pVec->used) [[unlikely]] {
        MUti_AssertFail(kMUtiVecCondIndex, kMUtiVecPath, kMUtiVecLineRemoveIdx);
        return;
    }
    for (uint32_t i = entryIndex + 1; i < pVec->used; i++) /* lowest first */
        pVec->pEntries[i - 1] = pVec->pEntries[i];
    pVec->used--;
}

/* Forgets all entries; the array and capacity stay for reuse. */
void kxMUtiVec_Empty(kxMUtiVec_t *pVec)
{
    pVec->used = 0;
}

/* Finds the first slot holding exactly pEntry (pointer identity). */
int32_t kxMUtiVec_Search(const kxMUtiVec_t *pVec, const void *pEntry)
{
    for (uint32_t i = 0; i < pVec->used; i++)
        if (pVec->pEntries[i] == pEntry)
            return static_cast<int32_t>(i);
    return -1;
}

/* Orders the used slots with qsort; compare gets pointers to slots. */
void kxMUtiVec_Sort(kxMUtiVec_t *pVec, kxMUtiVec_Compare_t compare)
{
    if (pVec->used < 2) /* already sorted; also keeps qsort off a null array */
        return;
    qsort(pVec->pEntries, pVec->used, sizeof(void *), compare);
}

/*
 * Binary search of the used slots; compare gets pKey as passed and a slot
 * pointer, as bsearch() would give them.  Written out rather than handed to
 * bsearch(): the C library declares bsearch's key never null, yet a null
 * key is an ordinary entry value here.
 */
int32_t kxMUtiVec_BSearch(const kxMUtiVec_t *pVec, const void *pKey, kxMUtiVec_Compare_t compare)
{
    uint32_t lo = 0;          /* first slot that may match */
    uint32_t hi = pVec->used; /* one past the last that may */
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        const int order = compare(pKey, &pVec->pEntries[mid]);
        if (order == 0)
            return static_cast<int32_t>(mid);
        if (order < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return -1;
}

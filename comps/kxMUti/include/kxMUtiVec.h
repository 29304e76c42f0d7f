/*
 * kxMUtiVec.h - growable vector of untyped pointers.
 *
 * The vector owns its entry array, never what the entries point to.  A full
 * vector triples its capacity; the capacity never shrinks.  The record layout
 * is part of the interface: callers may read pEntries[0 .. used-1] directly.
 * No function checks pVec for null.
 */
#ifndef KX_MUTI_VEC_H
#define KX_MUTI_VEC_H

#include "kxCommon.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kxMUtiVec_s {
    uint32_t allocated; /* slots in pEntries (capacity); used <= allocated */
    uint32_t used;      /* slots in use: 0 .. used-1; the rest are stale */
    void **pEntries;    /* entry array; null after DeInit or a failed Init */
} kxMUtiVec_t;

/* qsort/bsearch style comparison; see Sort and BSearch for what it gets. */
typedef int (*kxMUtiVec_Compare_t)(const void *pA, const void *pB);

/*
 * Allocates a vector with room for initialSize entries.  memSpace is accepted
 * and not used.  An initialSize of 0 is reported as a failed check and then
 * treated as 1.  Returns null when memory runs out; nothing stays allocated.
 * Release with kxMUtiVec_Free.
 */
KX_API kxMUtiVec_t *kxMUtiVec_New(kxWord_t memSpace, uint32_t initialSize);

/*
 * Sets up a vector that lives inside another structure (note: memSpace is
 * the second argument here, the first in New).  A size of 0 is reported and
 * treated as 1.  Returns KX_OK, or KX_ERR_NOMEM with pEntries null and
 * allocated/used untouched.  Release with kxMUtiVec_DeInit.
 */
KX_API uint32_t kxMUtiVec_Init(kxMUtiVec_t *pVec, kxWord_t memSpace, uint32_t initialSize);

/* Frees the entry array and nulls pEntries; allocated and used are kept. */
KX_API void kxMUtiVec_DeInit(kxMUtiVec_t *pVec);

/* DeInit, then frees the record itself.  A null pVec does nothing. */
KX_API void kxMUtiVec_Free(kxMUtiVec_t *pVec);

/*
 * Stores pEntry in slot used, growing a full vector first.  Returns KX_OK, or
 * KX_ERR_NOMEM with the vector unchanged.  May move pEntries: earlier
 * pointers into the array are stale after a successful call.
 */
KX_API uint32_t kxMUtiVec_Append(kxMUtiVec_t *pVec, void *pEntry);

/*
 * Triples the capacity into a new array (malloc, copy, free).  A non-zero
 * skip returns KX_OK and changes nothing.  A capacity of 0 (a zero-filled
 * record never set up) grows to 1.  Returns KX_ERR_NOMEM, with the old array,
 * capacity and entries kept, when memory runs out or the new capacity would
 * not fit in 32 bits.
 */
KX_API uint32_t kxMUtiVec_Grow(kxMUtiVec_t *pVec, kxWord_t skip);

/*
 * Removes slot entryIndex, moving the later entries down so order is kept.
 * An index at or beyond used is reported as a failed check and ignored.
 * Cannot fail otherwise; the capacity is kept.
 */
KX_API void kxMUtiVec_Remove(kxMUtiVec_t *pVec, uint32_t entryIndex);

/* Sets used to 0; the array and capacity are kept.  Cannot fail. */
KX_API void kxMUtiVec_Empty(kxMUtiVec_t *pVec);

/* Index of the first slot equal (as a pointer value) to pEntry, or -1. */
KX_API int32_t kxMUtiVec_Search(const kxMUtiVec_t *pVec, const void *pEntry);

/*
 * Sorts the used slots with qsort.  compare receives pointers to two slots
 * (each a pointer to an entry).  Equal entries end in no defined order.
 */
KX_API void kxMUtiVec_Sort(kxMUtiVec_t *pVec, kxMUtiVec_Compare_t compare);

/*
 * bsearch over the used slots, which must be sorted consistently with
 * compare.  compare receives pKey exactly as passed and a pointer to a slot.
 * Returns the index of a matching slot (any one of several), or -1.
 */
KX_API int32_t kxMUtiVec_BSearch(const kxMUtiVec_t *pVec, const void *pKey,
                                 kxMUtiVec_Compare_t compare);

#ifdef __cplusplus
}
#endif

#endif /* KX_MUTI_VEC_H */

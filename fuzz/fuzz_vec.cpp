/*
 * fuzz_vec.cpp - any sequence of vector operations, checked against a std::vector of the same
 * entries.  Input: byte 0 is the initial size; then one operation per byte, its operand in
 * the next (an entry value, an index, a count of allocations to let through).  An armed
 * allocation failure must leave the vector exactly as it was.  Properties after every
 * operation: the used slots equal the model; used <= allocated; the capacity only grows, and
 * only by tripling; Search finds the first equal slot; after Sort, BSearch finds every entry
 * and only those.
 */
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "MUtiAlloc.h"
#include "kxMUtiVec.h"
#include "qvStbDbgTest.h"

#define FUZZ_CHECK(c)                                                                              \
    ((c) ? (void)0 : (fprintf(stderr, "*** kxMUti fuzz check failed: %s\n", #c), abort()))

namespace {

using Model = std::vector<void *>;

void *Entry(uint8_t b)
{
    return reinterpret_cast<void *>(uintptr_t{b} % 16); /* few values, so duplicates; 0 too */
}

int Order(const void *pA, const void *pB)
{
    const auto a = reinterpret_cast<uintptr_t>(pA), b = reinterpret_cast<uintptr_t>(pB);
    return (a > b) - (a < b);
}

/* qsort's comparison: two slots.  BSearch's: the key as passed, then a slot. */
int SlotOrder(const void *pA, const void *pB)
{
    return Order(*static_cast<void *const *>(pA), *static_cast<void *const *>(pB));
}
int KeyOrder(const void *pKey, const void *pSlot)
{
    return Order(pKey, *static_cast<void *const *>(pSlot));
}

bool Same(const kxMUtiVec_t &v, const Model &model)
{
    return v.used == model.size() && std::equal(model.begin(), model.end(), v.pEntries);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qvStbDbg_TestQuiet(1); /* a bad index and a zero size are reported on purpose */
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t size)
{
    if (size == 0)
        return 0;
    kxMUtiVec_t *pVec = kxMUtiVec_New(0, pData[0] % 8); /* 0: reported, then 1 */
    if (pVec == nullptr)
        return 0;
    FUZZ_CHECK(pVec->allocated == (pData[0] % 8 ? pData[0] % 8 : 1u) && pVec->used == 0);
    Model model;
    for (size_t i = 1; i + 1 < size && i < 2048; i += 2) {
        const uint8_t op = pData[i], arg = pData[i + 1];
        const uint32_t allocated = pVec->allocated;
        const Model before = model;
        uint32_t status = KX_OK;
        switch (op % 8) {
        case 0:
        case 1: /* most operations append, so vectors grow past a few growths */
            status = kxMUtiVec_Append(pVec, Entry(arg));
            model.push_back(Entry(arg));
            break;
        case 2:
            kxMUtiVec_Remove(pVec, arg % 32); /* past used: reported, nothing dropped */
            if (arg % 32 < model.size())
                model.erase(model.begin() + arg % 32);
            break;
        case 3: {
            const auto at = std::find(model.begin(), model.end(), Entry(arg));
            FUZZ_CHECK(kxMUtiVec_Search(pVec, Entry(arg)) ==
                       (at == model.end() ? -1 : static_cast<int32_t>(at - model.begin())));
            break;
        }
        case 4:
            kxMUtiVec_Sort(pVec, SlotOrder);
            std::sort(model.begin(), model.end(), [](void *a, void *b) { return Order(a, b) < 0; });
            for (unsigned k = 0; k < 16; k++) {
                const int32_t at = kxMUtiVec_BSearch(pVec, Entry(uint8_t(k)), KeyOrder);
                const bool in =
                    std::binary_search(model.begin(), model.end(), Entry(uint8_t(k)),
                                       [](void *a, void *b) { return Order(a, b) < 0; });
                FUZZ_CHECK(in ? at >= 0 && pVec->pEntries[at] == Entry(uint8_t(k)) : at == -1);
            }
            break;
        case 5: { /* a non-zero skip changes nothing; past 2^12 slots, grow no more */
            const bool skip = (arg & 1) || allocated > 4096;
            status = kxMUtiVec_Grow(pVec, skip);
            FUZZ_CHECK(pVec->allocated == (skip || status != KX_OK ? allocated : allocated * 3));
            break;
        }
        case 6:
            kxMUtiVec_Empty(pVec);
            model.clear();
            break;
        default: /* the next operation meets a failing allocation after arg % 2 good ones */
            MUti_FaultArm(arg % 2, false);
            continue;
        }
        const bool injected = MUti_FaultDisarm() != 0;
        FUZZ_CHECK(status == KX_OK || (status == KX_ERR_NOMEM && injected));
        if (status != KX_OK) {
            FUZZ_CHECK(pVec->allocated == allocated);
            model = before;
        }
        FUZZ_CHECK(Same(*pVec, model) && pVec->used <= pVec->allocated);
        FUZZ_CHECK(pVec->allocated == allocated || pVec->allocated == allocated * 3);
    }
    MUti_FaultDisarm();
    kxMUtiVec_Free(pVec);
    return 0;
}

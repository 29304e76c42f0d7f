/*
 * fuzz_vec.cpp - any sequence of vector operations, checked against a std::vector of the same
 * entries: an initial size, then opcode and operand pairs (bit 7 of an opcode: an allocation
 * fails after operand % 2 good ones).  Checked: the slots, used <= allocated, the capacity
 * never shrinks, a failure changes nothing, Search finds the first equal slot, BSearch after
 * Sort finds every entry and only those.
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

/* Few values, so duplicates; 0 too.  Slots compare as the numbers they hold. */
static auto Entry = [](unsigned b) { return reinterpret_cast<void *>(uintptr_t{b} % 16); };
static auto Order = [](uintptr_t a, uintptr_t b) { return (a > b) - (a < b); };
static auto Slot = [](const void *p) { return *static_cast<const uintptr_t *>(p); };
static auto KeyOrder = [](const void *pK, const void *pS) {
    return Order(uintptr_t(pK), Slot(pS));
};

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qvStbDbg_TestQuiet(1); /* a bad index and a zero size are reported on purpose */
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t size)
{
    kxMUtiVec_t *pVec = size == 0 ? nullptr : kxMUtiVec_New(0, pData[0] % 8); /* 0: then 1 */
    if (pVec == nullptr)
        return 0;
    std::vector<void *> expected;
    for (size_t i = 1; i + 1 < size && i < 2048; i += 2) {
        const uint8_t op = pData[i], arg = pData[i + 1];
        const uint32_t allocated = pVec->allocated, skip = (arg & 1) || allocated > 4096;
        const size_t first =
            std::find(expected.begin(), expected.end(), Entry(arg)) - expected.begin();
        const std::vector<void *> before = expected;
        uint32_t status = KX_OK;
        MUti_FaultArm(op & 0x80 ? arg % 2 : ~0ul, false);
        switch (op % 8) {
        default: /* most operations append, so vectors grow past a few growths */
            status = kxMUtiVec_Append(pVec, Entry(arg)), expected.push_back(Entry(arg));
            break;
        case 2:
            kxMUtiVec_Remove(pVec, arg % 32); /* past used: reported, nothing dropped */
            if (arg % 32 < expected.size())
                expected.erase(expected.begin() + arg % 32);
            break;
        case 3:
            FUZZ_CHECK(kxMUtiVec_Search(pVec, Entry(arg)) ==
                       (first == expected.size() ? -1 : int32_t(first)));
            break;
        case 4:
            kxMUtiVec_Sort(
                pVec, [](const void *pA, const void *pB) { return Order(Slot(pA), Slot(pB)); });
            std::sort(expected.begin(), expected.end(), std::less<>());
            for (unsigned k = 0; k < 16; k++) {
                const int32_t at = kxMUtiVec_BSearch(pVec, Entry(k), KeyOrder);
                FUZZ_CHECK(std::count(expected.begin(), expected.end(), Entry(k))
                               ? at >= 0 && pVec->pEntries[at] == Entry(k)
                               : at == -1);
            }
            break;
        case 5: /* a non-zero skip changes nothing; past 2^12 slots, grow no more */
            status = kxMUtiVec_Grow(pVec, skip);
            FUZZ_CHECK(!skip || pVec->allocated == allocated);
            break;
        case 6:
            kxMUtiVec_Empty(pVec), expected.clear();
        }
        const bool injected = MUti_FaultDisarm() != 0;
        if (status != KX_OK)
            expected = before;
        FUZZ_CHECK(pVec->used == expected.size() &&
                   std::equal(expected.begin(), expected.end(), pVec->pEntries));
        FUZZ_CHECK(pVec->used <= pVec->allocated && pVec->allocated >= allocated &&
                   (status == KX_OK ||
                    (status == KX_ERR_NOMEM && injected && pVec->allocated == allocated)));
    }
    kxMUtiVec_Free(pVec);
    return 0;
}

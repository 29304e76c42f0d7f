/*
 * fuzz_containers.cpp - random operation sequences on the pointer vector,
 * the extensible string and the string helpers, each step checked against a
 * plain model (std::vector, std::string and a capacity computed by the
 * growth rules).
 *
 * After every step: used <= allocated, entries equal; pBuf[len] is NUL,
 * spare + len equals the model's capacity, text equal.  Some steps make
 * their first allocation fail (the fault-injection hook); those must return
 * -1 and leave the object exactly as it was (Join keeps what it appended
 * before the failure).  Sizes stay small so a run is quick.
 */
#include <fuzzer/FuzzedDataProvider.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FuzzModel.h"
#include "MUtiAlloc.h"
#include "kxMUtiStr.h"
#include "kxMUtiStrx.h"
#include "kxMUtiVec.h"
#include "qvStbDbgTest.h"

namespace {

constexpr int kStepsMax = 256;
constexpr uint64_t kCapacityMax = 1u << 20; /* steps that would grow beyond are skipped */

/* Entries are small numbers stored as pointers; the vector never reads them. */
void *Entry(uintptr_t v)
{
    return reinterpret_cast<void *>(v);
}

int CompareSlots(const void *pA, const void *pB)
{
    const auto a = reinterpret_cast<uintptr_t>(*static_cast<void *const *>(pA));
    const auto b = reinterpret_cast<uintptr_t>(*static_cast<void *const *>(pB));
    return (a > b) - (a < b);
}

int CompareKeySlot(const void *pKey, const void *pSlot)
{
    const auto a = reinterpret_cast<uintptr_t>(pKey);
    const auto b = reinterpret_cast<uintptr_t>(*static_cast<void *const *>(pSlot));
    return (a > b) - (a < b);
}

/* ---- Pointer vector ----------------------------------------------------- */

struct VecModel {
    kxMUtiVec_t *pVec = nullptr; /* from New, or &embedded */
    kxMUtiVec_t embedded{};
    std::vector<uintptr_t> entries;
    uint32_t capacity = 0;

    void Check() const
    {
        FUZZ_CHECK(pVec->used <= pVec->allocated);
        FUZZ_CHECK(pVec->used == entries.size());
        FUZZ_CHECK(pVec->allocated == capacity);
        for (size_t i = 0; i < entries.size(); i++)
            FUZZ_CHECK(reinterpret_cast<uintptr_t>(pVec->pEntries[i]) == entries[i]);
    }

    void Release()
    {
        if (pVec == &embedded)
            kxMUtiVec_DeInit(pVec);
        else
            kxMUtiVec_Free(pVec);
        pVec = nullptr;
    }

    /* A size of 0 is reported and treated as 1. */
    void Make(bool embed, uint32_t size)
    {
        if (embed) {
            FUZZ_CHECK(kxMUtiVec_Init(&embedded, 0, size) == KX_OK);
            pVec = &embedded;
        } else {
            pVec = kxMUtiVec_New(0, size);
            FUZZ_CHECK(pVec != nullptr);
        }
        entries.clear();
        capacity = size != 0 ? size : 1;
    }

    void Append(uintptr_t v, bool inject)
    {
        const bool grows = entries.size() == capacity;
        if (inject)
            MUti_FaultArm(0, false);
        const uint32_t status = kxMUtiVec_Append(pVec, Entry(v));
        const unsigned long nFailed = inject ? MUti_FaultDisarm() : 0;
        if (nFailed != 0) {
            FUZZ_CHECK(grows);
            FUZZ_CHECK(status == KX_ERR_NOMEM);
            return;
        }
        FUZZ_CHECK(status == KX_OK);
        if (grows)
            capacity *= 3;
        entries.push_back(v);
    }

    void Step(FuzzedDataProvider &in)
    {
        switch (in.ConsumeIntegralInRange(0, 8)) {
        case 0:
        case 1:
            if (entries.size() < 2000)
                Append(in.ConsumeIntegralInRange<uintptr_t>(1, 40),
                       in.ConsumeIntegral<uint8_t>() < 32);
            break;
        case 2: { /* in range, or beyond it (reported, nothing dropped) */
            const uint32_t index = in.ConsumeIntegralInRange<uint32_t>(0, entries.size() + 2);
            kxMUtiVec_Remove(pVec, index);
            if (index < entries.size())
                entries.erase(entries.begin() + index);
            break;
        }
        case 3:
            kxMUtiVec_Empty(pVec);
            entries.clear();
            break;
        case 4: {
            const uintptr_t v = in.ConsumeIntegralInRange<uintptr_t>(0, 41);
            const auto it = std::find(entries.begin(), entries.end(), v);
            const int32_t want =
                it == entries.end() ? -1 : static_cast<int32_t>(it - entries.begin());
            FUZZ_CHECK(kxMUtiVec_Search(pVec, Entry(v)) == want);
            break;
        }
        case 5:
            kxMUtiVec_Sort(pVec, CompareSlots);
            std::sort(entries.begin(), entries.end());
            break;
        case 6: {
            if (!std::is_sorted(entries.begin(), entries.end()))
                break;
            /* 0 is a null key: a valid entry value (regress_bsearch_null_key). */
            const uintptr_t v = in.ConsumeIntegralInRange<uintptr_t>(0, 41);
            const int32_t index = kxMUtiVec_BSearch(pVec, Entry(v), CompareKeySlot);
            if (std::binary_search(entries.begin(), entries.end(), v))
                FUZZ_CHECK(index >= 0 && static_cast<size_t>(index) < entries.size() &&
                           entries[index] == v);
            else
                FUZZ_CHECK(index == -1);
            break;
        }
        case 7: {
            const bool skip = in.ConsumeBool();
            if (!skip && capacity > 50000)
                break;
            FUZZ_CHECK(kxMUtiVec_Grow(pVec, skip ? 1 : 0) == KX_OK);
            if (!skip)
                capacity *= 3;
            break;
        }
        case 8: {
            const bool embed = in.ConsumeBool();
            const uint32_t size = in.ConsumeIntegralInRange<uint32_t>(0, 12);
            Release();
            Make(embed, size);
            break;
        }
        }
        Check();
    }
};

/* ---- Extensible string -------------------------------------------------- */

struct StrxModel {
    kxMUtiStrx_t *pStrx = nullptr; /* from New, or &embedded */
    kxMUtiStrx_t embedded{};
    std::string text;
    uint64_t capacity = 0;
    bool faultPending = false; /* the next growth fails (an armed transient fault) */

    void Check() const
    {
        FUZZ_CHECK(pStrx->pBuf != nullptr);
        FUZZ_CHECK(pStrx->len == text.size());
        FUZZ_CHECK(uint64_t{pStrx->spare} + pStrx->len == capacity);
        FUZZ_CHECK(pStrx->pBuf[pStrx->len] == '\0');
        FUZZ_CHECK(memcmp(pStrx->pBuf, text.data(), text.size()) == 0);
    }

    void Release()
    {
        if (pStrx == &embedded)
            kxMUtiStrx_DeInit(pStrx);
        else
            kxMUtiStrx_Free(pStrx);
        pStrx = nullptr;
    }

    void Make(bool embed, uint32_t size, uint32_t policy)
    {
        if (embed) {
            FUZZ_CHECK(kxMUtiStrx_Init(&embedded, size, 0, policy) == KX_OK);
            pStrx = &embedded;
        } else {
            pStrx = kxMUtiStrx_New(size, 0, policy);
            FUZZ_CHECK(pStrx != nullptr);
        }
        FUZZ_CHECK(pStrx->growPolicy == policy);
        text.clear();
        capacity = size;
    }

    /* The capacity after making room for need more bytes, by the rules. */
    uint64_t CapacityFor(uint64_t need) const
    {
        const uint64_t spare = capacity - text.size();
        if (spare >= need)
            return capacity;
        const uint64_t shortfall = need - spare;
        const uint32_t policy = pStrx->growPolicy;
        const uint64_t param = policy & 0x00FFFFFFu;
        uint64_t growth = 0;
        switch (policy & 0xFF000000u) {
        case kxMUtiStrx_GrowExact:
            growth = shortfall;
            break;
        case kxMUtiStrx_GrowFixed:
            growth = param;
            break;
        case kxMUtiStrx_GrowPercent:
            growth = capacity < 1000 ? capacity * param / 100 : capacity / 100 * param;
            break;
        case kxMUtiStrx_GrowMultiple:
            growth = capacity * param;
            break;
        default:
            growth = 0;
            break;
        }
        if (growth + spare < need)
            growth = shortfall;
        return capacity + growth;
    }

    /* Model of one room-making step; false when the step's growth fails. */
    bool Room(uint64_t need)
    {
        const uint64_t newCapacity = CapacityFor(need);
        if (newCapacity == capacity)
            return true;
        if (faultPending) {
            faultPending = false;
            return false;
        }
        capacity = newCapacity;
        return true;
    }

    /* Runs op with the first allocation failing when inject is set, and
     * returns its status; the model's own steps mirror the fault. */
    template <class Op> uint32_t Run(bool inject, Op op)
    {
        faultPending = inject;
        if (inject)
            MUti_FaultArm(0, false);
        const uint32_t status = op();
        const unsigned long nFailed = inject ? MUti_FaultDisarm() : 0;
        /* The model predicted the fault exactly when the library met it. */
        FUZZ_CHECK((nFailed != 0) == (inject && !faultPending));
        faultPending = false;
        return status;
    }

    static std::string Text(FuzzedDataProvider &in, size_t max)
    {
        std::string s = in.ConsumeRandomLengthString(max);
        return s.substr(0, s.find('\0'));
    }

    void Cat(FuzzedDataProvider &in, bool inject)
    {
        const std::string s = Text(in, 40);
        if (CapacityFor(s.size()) > kCapacityMax)
            return;
        bool ok = true;
        const uint32_t status = Run(inject, [&] {
            ok = Room(s.size());
            return kxMUtiStrx_Cat(pStrx, s.c_str());
        });
        FUZZ_CHECK(status == (ok ? KX_OK : KX_ERR_NOMEM));
        if (ok)
            text += s;
    }

    void NCat(FuzzedDataProvider &in, bool inject)
    {
        const std::string s = Text(in, 40);
        const uint32_t n = in.ConsumeIntegralInRange<uint32_t>(0, 60);
        if (CapacityFor(n) > kCapacityMax)
            return;
        bool ok = true;
        const uint32_t status = Run(inject, [&] {
            ok = Room(n);
            return kxMUtiStrx_NCat(pStrx, s.c_str(), n);
        });
        FUZZ_CHECK(status == (ok ? KX_OK : KX_ERR_NOMEM));
        if (ok) {
            std::string add = s.substr(0, n);
            add.resize(n, '\0');
            text += add;
        }
    }

    void Chr(FuzzedDataProvider &in, bool inject)
    {
        const char c = static_cast<char>(in.ConsumeIntegral<uint8_t>());
        if (CapacityFor(1) > kCapacityMax)
            return;
        bool ok = true;
        const uint32_t status = Run(inject, [&] {
            ok = Room(1);
            return kxMUtiStrx_Chr(pStrx, c);
        });
        FUZZ_CHECK(status == (ok ? KX_OK : KX_ERR_NOMEM));
        if (ok)
            text += c;
    }

    void Join(FuzzedDataProvider &in, bool inject)
    {
        const uint32_t count = in.ConsumeIntegralInRange<uint32_t>(0, 5);
        std::vector<std::string> texts;
        for (uint32_t i = 0; i < count; i++)
            texts.push_back(Text(in, 12));
        const bool withSep = in.ConsumeBool();
        const std::string sep = Text(in, 4);
        std::vector<const char *> pointers;
        for (const std::string &s : texts)
            pointers.push_back(s.c_str());
        if (capacity + 16 * (count + 1) + 64 > kCapacityMax / 4)
            return;

        /* The model appends piece by piece; a failing piece ends it. */
        uint32_t want = KX_OK;
        std::string joined = text;
        const uint32_t status = Run(inject, [&] {
            for (uint32_t i = 0; i < count && want == KX_OK; i++) {
                if (withSep && i > 0) {
                    if (!Room(sep.size())) {
                        want = KX_ERR_NOMEM;
                        break;
                    }
                    joined += sep;
                    text = joined; /* CapacityFor reads the length so far */
                }
                if (!Room(texts[i].size())) {
                    want = KX_ERR_NOMEM;
                    break;
                }
                joined += texts[i];
                text = joined;
            }
            return kxMUtiStrx_Join(pStrx, count, pointers.data(), withSep ? sep.c_str() : nullptr);
        });
        FUZZ_CHECK(status == want);
    }

    void LenSet(FuzzedDataProvider &in, bool inject)
    {
        const uint32_t len = in.ConsumeIntegralInRange<uint32_t>(0, capacity + 100);
        const size_t oldLen = text.size();
        bool ok = true;
        const uint32_t status = Run(inject, [&] {
            if (len > capacity) {
                if (faultPending) {
                    faultPending = false;
                    ok = false;
                } else {
                    capacity = len;
                }
            }
            return kxMUtiStrx_LenSet(pStrx, len);
        });
        FUZZ_CHECK(status == (ok ? KX_OK : KX_ERR_NOMEM));
        if (!ok)
            return;
        if (len > oldLen) {
            /* The new bytes keep what the buffer held: the old NUL first. */
            FUZZ_CHECK(pStrx->pBuf[oldLen] == '\0');
            text.append(pStrx->pBuf + oldLen, len - oldLen);
        } else {
            text.resize(len);
        }
    }

    void EnsureSpare(FuzzedDataProvider &in, bool inject)
    {
        const uint32_t need = in.ConsumeIntegralInRange<uint32_t>(0, 400);
        if (CapacityFor(need) > kCapacityMax)
            return;
        bool ok = true;
        const uint32_t status = Run(inject, [&] {
            ok = Room(need);
            return kxMUtiStrx_EnsureSpare(pStrx, need);
        });
        FUZZ_CHECK(status == (ok ? KX_OK : KX_ERR_NOMEM));
        FUZZ_CHECK(!ok || pStrx->spare >= need);
    }

    void GrowBy(FuzzedDataProvider &in, bool inject)
    {
        const uint32_t n = in.ConsumeIntegralInRange<uint32_t>(0, 300);
        if (capacity + n > kCapacityMax)
            return;
        bool ok = true;
        const uint32_t status = Run(inject, [&] {
            if (faultPending) {
                faultPending = false;
                ok = false;
            } else {
                capacity += n;
            }
            return kxMUtiStrx_GrowBy(pStrx, n);
        });
        FUZZ_CHECK(status == (ok ? KX_OK : KX_ERR_NOMEM));
    }

    /* Growth that would take the capacity past 32 bits is refused whole,
     * without allocating. */
    void Huge(FuzzedDataProvider &in)
    {
        const uint32_t k = in.ConsumeIntegralInRange<uint32_t>(0, 64);
        if (capacity <= k)
            return;
        const uint32_t n = UINT32_MAX - k;
        const unsigned long nAllocs = MUti_AllocCount();
        if (in.ConsumeBool())
            FUZZ_CHECK(kxMUtiStrx_GrowBy(pStrx, n) == KX_ERR_NOMEM);
        else if (text.size() > k) /* room for n more cannot fit beside the text */
            FUZZ_CHECK(kxMUtiStrx_EnsureSpare(pStrx, n) == KX_ERR_NOMEM);
        FUZZ_CHECK(MUti_AllocCount() == nAllocs);
    }

    static uint32_t Policy(FuzzedDataProvider &in)
    {
        switch (in.ConsumeIntegralInRange(0, 6)) {
        case 0:
            return kxMUtiStrx_GrowExact | in.ConsumeIntegralInRange<uint32_t>(0, 50);
        case 1:
            return kxMUtiStrx_GrowFixed | in.ConsumeIntegralInRange<uint32_t>(0, 300);
        case 2:
            return kxMUtiStrx_GrowPercent | in.ConsumeIntegralInRange<uint32_t>(0, 200);
        case 3:
            return kxMUtiStrx_GrowMultiple | in.ConsumeIntegralInRange<uint32_t>(0, 3);
        case 4:
            return 0; /* no rule: reported, then the shortfall */
        case 5:
            return 0x03000000u | 16; /* two rules at once: unknown */
        default:
            return in.ConsumeIntegral<uint32_t>() & 0xFF0000FFu;
        }
    }

    void Step(FuzzedDataProvider &in)
    {
        const bool inject = in.ConsumeIntegral<uint8_t>() < 40;
        switch (in.ConsumeIntegralInRange(0, 9)) {
        case 0:
            Cat(in, inject);
            break;
        case 1:
            NCat(in, inject);
            break;
        case 2:
            Chr(in, inject);
            break;
        case 3:
            Join(in, inject);
            break;
        case 4:
            LenSet(in, inject);
            break;
        case 5:
            EnsureSpare(in, inject);
            break;
        case 6:
            GrowBy(in, inject);
            break;
        case 7:
            Huge(in);
            break;
        case 8: {
            const bool embed = in.ConsumeBool();
            const uint32_t size = in.ConsumeIntegralInRange<uint32_t>(0, 64);
            const uint32_t policy = Policy(in);
            Release();
            Make(embed, size, policy);
            break;
        }
        case 9: /* a failed set-up leaves pBuf null and the rest alone */
            if (pStrx == &embedded) {
                kxMUtiStrx_DeInit(pStrx);
                const kxMUtiStrx_t before = *pStrx;
                MUti_FaultArm(0, false);
                FUZZ_CHECK(kxMUtiStrx_Init(pStrx, 8, 0, kxMUtiStrx_GrowExact) == KX_ERR_NOMEM);
                FUZZ_CHECK(MUti_FaultDisarm() == 1);
                FUZZ_CHECK(pStrx->pBuf == nullptr && pStrx->spare == before.spare &&
                           pStrx->len == before.len && pStrx->growPolicy == before.growPolicy);
                Make(true, 8, kxMUtiStrx_GrowExact);
            }
            break;
        }
        Check();
    }
};

/* ---- String helpers ----------------------------------------------------- */

/* ToWords on a text, compared with the documented walk on a copy. */
void ToWordsStep(FuzzedDataProvider &in)
{
    std::string text = in.ConsumeRandomLengthString(48);
    text = text.substr(0, text.find('\0'));
    const uint32_t maxWords = in.ConsumeIntegralInRange<uint32_t>(0, 8);

    std::string model = text;
    std::vector<size_t> offsets;
    bool inWord = false;
    for (size_t i = 0; i < model.size(); i++) {
        const bool blank = kxfuzz::IsBlank(model[i]);
        if (!inWord) {
            if (blank)
                continue;
            if (offsets.size() == maxWords)
                break;
            offsets.push_back(i);
            inWord = true;
        } else if (blank) {
            model[i] = '\0';
            inWord = false;
        }
    }

    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    std::vector<char *> words(maxWords + 1, nullptr);
    const uint32_t n = kxMUtiStr_ToWords(buf.data(), maxWords, words.data());
    FUZZ_CHECK(n == offsets.size());
    for (uint32_t i = 0; i < n; i++)
        FUZZ_CHECK(words[i] == buf.data() + offsets[i]);
    FUZZ_CHECK(memcmp(buf.data(), model.data(), model.size()) == 0);
}

void DupStep(FuzzedDataProvider &in)
{
    const std::string s = StrxModel::Text(in, 32);
    const uint32_t n = in.ConsumeIntegralInRange<uint32_t>(0, 48);
    char *pCopy = kxMUtiStr_NDup(s.c_str(), n, 0);
    FUZZ_CHECK(pCopy != nullptr);
    std::string want = s.substr(0, n);
    want.resize(n, '\0');
    FUZZ_CHECK(memcmp(pCopy, want.data(), n) == 0 && pCopy[n] == '\0');
    free(pCopy);
    pCopy = kxMUtiStr_Dup(s.c_str(), 0);
    FUZZ_CHECK(pCopy != nullptr && strcmp(pCopy, s.c_str()) == 0);
    free(pCopy);
    FUZZ_CHECK(kxMUtiStr_Dup(nullptr, 0) == nullptr && kxMUtiStr_NDup(nullptr, 3, 0) == nullptr);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*pArgc*/, char *** /*pArgv*/)
{
    if (freopen("/dev/null", "w", stdout) == nullptr) /* ToWords' warnings */
        abort();
    qvStbDbg_TestQuiet(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t size)
{
    FuzzedDataProvider in(pData, size);
    VecModel vec;
    StrxModel strx;
    vec.Make(in.ConsumeBool(), in.ConsumeIntegralInRange<uint32_t>(0, 12));
    strx.Make(in.ConsumeBool(), in.ConsumeIntegralInRange<uint32_t>(0, 64), StrxModel::Policy(in));
    vec.Check();
    strx.Check();

    for (int step = 0; step < kStepsMax && in.remaining_bytes() > 0; step++) {
        switch (in.ConsumeIntegralInRange(0, 9)) {
        case 0:
        case 1:
        case 2:
        case 3:
            vec.Step(in);
            break;
        case 8:
            ToWordsStep(in);
            break;
        case 9:
            DupStep(in);
            break;
        default:
            strx.Step(in);
            break;
        }
    }
    vec.Release();
    strx.Release();
    return 0;
}

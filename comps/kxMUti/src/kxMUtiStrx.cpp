/*
 * kxMUtiStrx.cpp - the extensible NUL-terminated string.
 *
 * The interpreter copies each line it runs into one of these and splits the
 * copy in place; host programs may build texts with it too.  The string owns
 * its buffer of spare + len + 1 bytes, keeps pBuf[len] NUL and grows by the
 * rule in its policy word, never shrinking.
 */
#include "kxMUtiStrx.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "MUtiAlloc.h"
#include "MUtiDbg.h"
#include "MUtiText.h"

/* The record is read field by field by the interpreter and by hosts built
 * against the 32-bit board headers: three counts, then the buffer pointer
 * (after padding where pointers are 8 bytes). */
static_assert(offsetof(kxMUtiStrx_t, spare) == 0);
static_assert(offsetof(kxMUtiStrx_t, len) == 4);
static_assert(offsetof(kxMUtiStrx_t, growPolicy) == 8);
static_assert(offsetof(kxMUtiStrx_t, pBuf) == (sizeof(void *) == 4 ? 12 : 16));
static_assert(sizeof(kxMUtiStrx_t) == offsetof(kxMUtiStrx_t, pBuf) + sizeof(char *));

namespace {

/* Failed checks are reported under this path and this fixed line number,
 * which board logs and tests rely on; it does not follow edits to this file. */
constexpr const char *kMUtiStrxPath = "comps/kxMUti/src/kxMUtiStrx";
constexpr int kMUtiStrxLineRule = 258; /* unknown growth rule */
constexpr const char *kMUtiStrxCondRule = "False";

/* The percentage rule multiplies first below this capacity and divides
 * first from it on, so large strings grow by whole hundredths (at 10%,
 * capacities 1049 and 1050 both grow by 100). */
constexpr uint32_t kMUtiStrxPercentSplit = 1000;

/* Buffer bytes for a capacity (text bytes) plus its NUL, or 0 when the
 * capacity does not fit the 32-bit fields or the buffer the address space. */
size_t MUtiStrx_BufBytes(uint64_t capacity)
{
    if (!MUti_Fits32(capacity) || capacity >= SIZE_MAX) [[unlikely]]
        return 0;
    return static_cast<size_t>(capacity) + 1;
}

/* The growth the policy asks for, given the current capacity and the
 * shortfall.  Unknown rules are reported and ask for nothing. */
uint64_t MUtiStrx_PolicyGrowth(uint32_t policy, uint32_t capacity, uint32_t shortfall)
{
    const uint64_t param = policy & kxMUtiStrx_GrowParamMask;
    switch (policy & kxMUtiStrx_GrowRuleMask) {
    case kxMUtiStrx_GrowExact:
        return shortfall;
    case kxMUtiStrx_GrowFixed:
        return param;
    case kxMUtiStrx_GrowPercent:
        if (capacity < kMUtiStrxPercentSplit)
            return capacity * param / 100;
        return capacity / 100 * param;
    case kxMUtiStrx_GrowMultiple:
        return capacity * param;
    default:
        MUti_AssertFail(kMUtiStrxCondRule, kMUtiStrxPath, kMUtiStrxLineRule);
        return 0;
    }
}

} // namespace

/*
 * Allocates a record and sets it up.  Returns null, with nothing left
 * allocated, when either the record or its buffer cannot be had.
 */
kxMUtiStrx_t *kxMUtiStrx_New(uint32_t initialSize, kxWord_t memSpace, uint32_t growPolicy)
{
    auto *pStrx = static_cast<kxMUtiStrx_t *>(MUti_Calloc(1, sizeof(kxMUtiStrx_t)));
    if (pStrx == nullptr) [[unlikely]]
        return nullptr;
    if (kxMUtiStrx_Init(pStrx, initialSize, memSpace, growPolicy) != KX_OK) [[unlikely]] {
        MUti_Free(pStrx);
        return nullptr;
    }
    return pStrx;
}

/*
 * Gives the record an empty text with room for initialSize bytes.  Out of
 * memory: pBuf is null and the other fields are kept.
 */
uint32_t kxMUtiStrx_Init(kxMUtiStrx_t *pStrx, uint32_t initialSize, kxWord_t memSpace,
                         uint32_t growPolicy)
{
    (void)memSpace; /* accepted for the board's interface; all memory is heap */
    const size_t nBytes = MUtiStrx_BufBytes(initialSize);
    pStrx->pBuf = nBytes ? static_cast<char *>(MUti_Malloc(nBytes)) : nullptr;
    if (pStrx->pBuf == nullptr) [[unlikely]]
        return KX_ERR_NOMEM;
    pStrx->growPolicy = growPolicy;
    pStrx->spare = initialSize;
    pStrx->pBuf[0] = '\0';
    pStrx->len = 0;
    return KX_OK;
}

/* Frees the buffer and nulls pBuf; the counts and policy keep their values. */
void kxMUtiStrx_DeInit(kxMUtiStrx_t *pStrx)
{
    MUti_Free(pStrx->pBuf);
    pStrx->pBuf = nullptr;
}

/* Releases a record made by kxMUtiStrx_New.  A null pStrx does nothing. */
void kxMUtiStrx_Free(kxMUtiStrx_t *pStrx)
{
    if (pStrx == nullptr)
        return;
    kxMUtiStrx_DeInit(pStrx);
    MUti_Free(pStrx);
}

/*
 * Adds n bytes of spare room by reallocating.  Out of memory, or a capacity
 * that would pass 32 bits: the string keeps its old buffer and fields.
 */
uint32_t kxMUtiStrx_GrowBy(kxMUtiStrx_t *pStrx, uint32_t n)
{
    const uint64_t capacity = uint64_t{pStrx->spare} + pStrx->len + n;
    const size_t nBytes = MUtiStrx_BufBytes(capacity);
    if (nBytes == 0) [[unlikely]]
        return KX_ERR_NOMEM;
    auto *pNew = static_cast<char *>(MUti_Realloc(pStrx->pBuf, nBytes));
    if (pNew == nullptr) [[unlikely]]
        return KX_ERR_NOMEM;
    pStrx->pBuf = pNew;
    pStrx->spare += n;
    return KX_OK;
}

/*
 * Makes room for need more text bytes, growing by the policy but never by
 * less than the shortfall, so one step always suffices.  A growth too large
 * for 32 bits is out of memory like any other.  Out of memory leaves the
 * string as it was.
 */
uint32_t kxMUtiStrx_EnsureSpare(kxMUtiStrx_t *pStrx, uint32_t need)
{
    if (pStrx->spare >= need)
        return KX_OK;

    const uint32_t shortfall = need - pStrx->spare;
    const uint32_t capacity = pStrx->spare + pStrx->len;
    uint64_t growth = MUtiStrx_PolicyGrowth(pStrx->growPolicy, capacity, shortfall);
    if (growth + pStrx->spare < need)
        growth = shortfall;
    if (!MUti_Fits32(growth)) [[unlikely]]
        return KX_ERR_NOMEM;
    return kxMUtiStrx_GrowBy(pStrx, static_cast<uint32_t>(growth));
}

/*
 * Sets the length to len, growing by exactly the missing bytes whatever the
 * policy.  Bytes between the old and new end are not filled.  Out of memory
 * leaves the string as it was.
 */
uint32_t kxMUtiStrx_LenSet(kxMUtiStrx_t *pStrx, uint32_t len)
{
    const uint32_t capacity = pStrx->spare + pStrx->len;
    if (len > capacity) {
        const uint32_t status = kxMUtiStrx_GrowBy(pStrx, len - capacity);
        if (status != KX_OK) [[unlikely]]
            return status;
    }
    pStrx->spare = pStrx->spare + pStrx->len - len;
    pStrx->len = len;
    pStrx->pBuf[len] = '\0';
    return KX_OK;
}

/* Appends a NUL-terminated text.  Out of memory leaves the string as it was. */
uint32_t kxMUtiStrx_Cat(kxMUtiStrx_t *pStrx, const char *pText)
{
    const size_t n = strlen(pText);
    if (!MUti_Fits32(n)) [[unlikely]] /* only where size_t is wider */
        return KX_ERR_NOMEM;
    const uint32_t status = kxMUtiStrx_EnsureSpare(pStrx, static_cast<uint32_t>(n));
    if (status != KX_OK) [[unlikely]]
        return status;
    memcpy(pStrx->pBuf + pStrx->len, pText, n + 1);
    pStrx->spare -= static_cast<uint32_t>(n);
    pStrx->len += static_cast<uint32_t>(n);
    return KX_OK;
}

/*
 * Appends exactly n bytes: pText up to its NUL, then NUL bytes up to n (the
 * strncpy padding).  Out of memory leaves the string as it was.
 */
uint32_t kxMUtiStrx_NCat(kxMUtiStrx_t *pStrx, const char *pText, uint32_t n)
{
    const uint32_t status = kxMUtiStrx_EnsureSpare(pStrx, n);
    if (status != KX_OK) [[unlikely]]
        return status;
    strncpy(pStrx->pBuf + pStrx->len, pText, n);
    pStrx->len += n;
    pStrx->spare -= n;
    pStrx->pBuf[pStrx->len] = '\0';
    return KX_OK;
}

/* Appends one byte, NUL included.  Out of memory leaves the string as it was. */
uint32_t kxMUtiStrx_Chr(kxMUtiStrx_t *pStrx, char c)
{
    const uint32_t status = kxMUtiStrx_EnsureSpare(pStrx, 1);
    if (status != KX_OK) [[unlikely]]
        return status;
    pStrx->pBuf[pStrx->len++] = c;
    pStrx->spare--;
    pStrx->pBuf[pStrx->len] = '\0';
    return KX_OK;
}

/*
 * Appends count texts with pSep (when not null) between them.  A failure
 * part-way returns its status and keeps what was appended before it; each
 * single append is itself all or nothing.
 */
uint32_t kxMUtiStrx_Join(kxMUtiStrx_t *pStrx, uint32_t count, const char *const *ppTexts,
                         const char *pSep)
{
    for (uint32_t i = 0; i < count; i++) {
        if (pSep != nullptr && i > 0) {
            const uint32_t status = kxMUtiStrx_Cat(pStrx, pSep);
            if (status != KX_OK) [[unlikely]]
                return status;
        }
        const uint32_t status = kxMUtiStrx_Cat(pStrx, ppTexts[i]);
        if (status != KX_OK) [[unlikely]]
            return status;
    }
    return KX_OK;
}

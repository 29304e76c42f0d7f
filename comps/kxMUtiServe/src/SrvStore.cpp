/*
 * SrvStore.cpp - a session's memory of its requests: ids taken, and the
 * last results with their output, bounded in count and in bytes.
 */
#include "SrvStore.h"

#include <stdlib.h>

namespace {

/* Lets the output of one kept result go; its result stays. */
void DropData(SrvStore *pStore, SrvKept &k)
{
    if (k.pData == nullptr)
        return;
    pStore->keptBytes -= k.r.nOut + k.r.nErr;
    free(k.pData);
    k.pData = nullptr;
    k.r.kept = false;
}

/* Frees outputs, oldest first, until n more bytes fit the total. */
void MakeRoom(SrvStore *pStore, uint32_t n)
{
    for (uint32_t i = 0; i < KXSRV_KEPT && pStore->keptBytes + n > KXSRV_KEPT_TOTAL; i++)
        DropData(pStore, pStore->kept[(pStore->keptNext + i) % KXSRV_KEPT]);
}

} // namespace

bool SrvStore_Seen(const SrvStore *pStore, uint32_t id)
{
    if (pStore->idCount[id % kSrvIdBuckets] == 0)
        return false; /* the usual answer for a new request, without a scan */
    for (uint32_t i = 0; i < pStore->nIds; i++)
        if (pStore->ids[i] == id)
            return true;
    return false;
}

void SrvStore_Remember(SrvStore *pStore, uint32_t id)
{
    if (pStore->nIds == KXSRV_IDS) /* the oldest is forgotten */
        pStore->idCount[pStore->ids[pStore->idsNext] % kSrvIdBuckets]--;
    pStore->idCount[id % kSrvIdBuckets]++;
    pStore->ids[pStore->idsNext] = id;
    pStore->idsNext = (pStore->idsNext + 1) % KXSRV_IDS;
    if (pStore->nIds < KXSRV_IDS)
        pStore->nIds++;
}

const SrvKept *SrvStore_Find(const SrvStore *pStore, uint32_t id)
{
    for (const SrvKept &k : pStore->kept)
        if (k.used && k.r.id == id)
            return &k;
    return nullptr;
}

void SrvStore_Put(SrvStore *pStore, const SrvResult &r, char *pData)
{
    SrvKept &slot = pStore->kept[pStore->keptNext];
    pStore->keptNext = (pStore->keptNext + 1) % KXSRV_KEPT;
    DropData(pStore, slot);
    slot.used = true;
    slot.r = r;
    slot.pData = nullptr;
    const uint32_t n = r.nOut + r.nErr;
    if (!r.kept || n == 0 || n > KXSRV_KEPT_BYTES) {
        free(pData);
        slot.r.kept = r.kept && n == 0;
        return;
    }
    MakeRoom(pStore, n);
    slot.pData = pData;
    pStore->keptBytes += n;
}

void SrvStore_Free(SrvStore *pStore)
{
    for (SrvKept &k : pStore->kept)
        free(k.pData);
    *pStore = SrvStore{};
}

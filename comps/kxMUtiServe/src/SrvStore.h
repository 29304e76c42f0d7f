/*
 * SrvStore.h - what a session remembers of its requests: the ids it has
 * taken (so that none runs twice) and its last results, with their output
 * while that is small (for F and repeated requests).  Bounded in count
 * and bytes; no I/O.
 */
#ifndef SRV_STORE_H
#define SRV_STORE_H

#include <stdint.h>

#include "SrvWire.h"

/* A finished request kept for F and repeats. */
struct SrvKept {
    bool used;   /* the slot holds a result */
    SrvResult r; /* r.kept: pData holds the output */
    char *pData; /* r.nOut bytes of output then r.nErr of error; null unless r.kept */
};

/* Buckets of the filter before the list of ids: a power of two, four per
 * id, so that most ids never taken are told apart without a scan. */
constexpr uint32_t kSrvIdBuckets = 4u * KXSRV_IDS;
static_assert((kSrvIdBuckets & (kSrvIdBuckets - 1u)) == 0, "a power of two");
static_assert(KXSRV_IDS <= 0xFFFFu, "a bucket counts at most every id");

struct SrvStore {
    uint32_t ids[KXSRV_IDS];         /* ids taken (ring) */
    uint16_t idCount[kSrvIdBuckets]; /* of those, how many fall in each bucket (id mod it) */
    uint32_t nIds;                   /* ids remembered; <= KXSRV_IDS */
    uint32_t idsNext;                /* next slot of ids */
    SrvKept kept[KXSRV_KEPT];        /* finished requests (ring) */
    uint32_t keptNext;               /* next slot of kept */
    uint32_t keptBytes;              /* output held over all of kept; <= KXSRV_KEPT_TOTAL */
};

/* Whether id was taken in this session (within the last KXSRV_IDS). */
bool SrvStore_Seen(const SrvStore *pStore, uint32_t id);

/* Remembers id as taken; the oldest is forgotten past KXSRV_IDS. */
void SrvStore_Remember(SrvStore *pStore, uint32_t id);

/* The kept result of id, or null. */
const SrvKept *SrvStore_Find(const SrvStore *pStore, uint32_t id);

/*
 * Keeps r, taking pData (malloc'ed, r.nOut + r.nErr bytes; null when not
 * kept).  The oldest result leaves past KXSRV_KEPT; the oldest outputs are
 * let go (their results marked not kept) while the total would pass
 * KXSRV_KEPT_TOTAL.  Cannot fail.
 */
void SrvStore_Put(SrvStore *pStore, const SrvResult &r, char *pData);

/* Frees what the store holds; it is empty and usable again. */
void SrvStore_Free(SrvStore *pStore);

#endif /* SRV_STORE_H */

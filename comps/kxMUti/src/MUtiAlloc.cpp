/*
 * MUtiAlloc.cpp - heap access for the whole library, with a fault-injection
 * countdown modelled on a test allocator: arm it with n, and allocation n+1
 * fails (once, or from then on).  Tests drive it with n = 0, 1, 2, ... until
 * a run injects nothing.
 */
#include "MUtiAlloc.h"

#include <stdlib.h>

namespace {

struct FaultState {
    bool armed;            /* countdown active */
    bool persistent;       /* keep failing after the first fault */
    unsigned long nGood;   /* allocations still allowed to succeed */
    unsigned long nFailed; /* allocations failed since the last arm */
    unsigned long nAllocs; /* allocations attempted, ever */
};

FaultState gFault;

/* An empty function to put a breakpoint on: called at every injected fault. */
[[gnu::noinline]] void MUti_FaultBreak()
{
    asm volatile("");
}

/* Counts one allocation attempt and says whether it must fail. */
bool MUti_FaultHit()
{
    gFault.nAllocs++;
    if (!gFault.armed) [[likely]]
        return false;
    if (gFault.nGood > 0) {
        gFault.nGood--;
        return false;
    }
    if (!gFault.persistent)
        gFault.armed = false;
    gFault.nFailed++;
    MUti_FaultBreak();
    return true;
}

} // namespace

void *MUti_Malloc(size_t size)
{
    if (MUti_FaultHit()) [[unlikely]]
        return nullptr;
    return malloc(size);
}

void *MUti_Calloc(size_t count, size_t size)
{
    if (MUti_FaultHit()) [[unlikely]]
        return nullptr;
    return calloc(count, size);
}

void *MUti_Realloc(void *pOld, size_t size)
{
    if (MUti_FaultHit()) [[unlikely]]
        return nullptr;
    return realloc(pOld, size);
}

void MUti_Free(void *p)
{
    free(p);
}

void MUti_FaultArm(unsigned long nGood, bool persistent)
{
    gFault.armed = true;
    gFault.persistent = persistent;
    gFault.nGood = nGood;
    gFault.nFailed = 0;
}

unsigned long MUti_FaultDisarm(void)
{
    gFault.armed = false;
    return gFault.nFailed;
}

unsigned long MUti_FaultInjected(void)
{
    return gFault.nFailed;
}

unsigned long MUti_AllocCount(void)
{
    return gFault.nAllocs;
}

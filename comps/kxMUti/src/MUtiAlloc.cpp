/*
 * MUtiAlloc.cpp - heap access for the whole library.
 *
 * Compiled twice.  The shipped library gets the plain door: each call is
 * the C allocator's, nothing more.  The static twin that tests and fuzzers
 * link is compiled with KX_MUTI_TEST_HOOKS and adds a fault-injection
 * countdown modelled on a test allocator (arm it with n, and allocation n+1
 * fails, once or from then on) and an allocation counter.  The hooks are
 * plain globals: the test programs drive the library from one thread.
 */
#include "MUtiAlloc.h"

#include <stdlib.h>

#ifdef KX_MUTI_TEST_HOOKS

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
    if (!gFault.armed)
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

/* In an allocating call: return null when the countdown says this one fails. */
#define MUTI_FAULT_POINT()                                                                         \
    do {                                                                                           \
        if (MUti_FaultHit())                                                                       \
            return nullptr;                                                                        \
    } while (0)

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

#else
#define MUTI_FAULT_POINT() /* the shipped library: nothing before the call */
#endif                     /* KX_MUTI_TEST_HOOKS */

void *MUti_Malloc(size_t size)
{
    MUTI_FAULT_POINT();
    return malloc(size);
}

void *MUti_Calloc(size_t count, size_t size)
{
    MUTI_FAULT_POINT();
    return calloc(count, size);
}

void *MUti_Realloc(void *pOld, size_t size)
{
    MUTI_FAULT_POINT();
    return realloc(pOld, size);
}

void MUti_Free(void *p)
{
    free(p);
}

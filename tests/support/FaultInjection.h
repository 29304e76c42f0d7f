/*
 * FaultInjection.h - drives code through every allocation failure it can meet, with the
 * hooks of the static twin (MUtiAlloc.h, KX_MUTI_TEST_HOOKS).  ForEachAllocFailure(body)
 * runs body once per n = 0, 1, 2, ... with allocation n + 1 made to fail (and every later
 * one, when persistent), and stops after the first run that injected nothing; body checks
 * its own result against the documented out-of-memory outcome.  Returns the runs made.
 */
#ifndef KX_TEST_FAULT_INJECTION_H
#define KX_TEST_FAULT_INJECTION_H

#include "MUtiAlloc.h"

/* Disarms injection on scope exit, so a failing ASSERT cannot leave it armed. */
struct FaultGuard {
    ~FaultGuard() { MUti_FaultDisarm(); }
};

template <class Body> unsigned ForEachAllocFailure(Body body, bool persistent = false)
{
    FaultGuard guard;
    unsigned long n = 0;
    do
        MUti_FaultArm(n++, persistent), body();
    while (MUti_FaultDisarm() != 0 && n <= 100000);
    return static_cast<unsigned>(n);
}

#endif

/*
 * FaultInjection.h - drives a piece of code through every allocation
 * failure it can meet.
 *
 * ForEachAllocFailure(body) runs body once per n = 0, 1, 2, ... with
 * allocation n + 1 made to fail (from then on, when persistent), and stops
 * after the first run in which nothing was injected: that run saw every
 * allocation succeed.  body receives whether a fault was injected during it
 * only after it returns, so it checks its own result against the documented
 * out-of-memory outcome; the helper returns the number of runs.
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
    for (unsigned long n = 0;; n++) {
        MUti_FaultArm(n, persistent);
        body();
        if (MUti_FaultDisarm() == 0)
            return static_cast<unsigned>(n + 1);
        if (n > 100000)
            return static_cast<unsigned>(n + 1);
    }
}

#endif

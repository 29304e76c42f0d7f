/*
 * ConCancel.cpp - the cancel flag that stops a running script.
 *
 * Set from a signal handler (the console's Ctrl-C) or another thread (a
 * remote client), read by the script runner between lines.  A lone
 * sig_atomic_t, stored and loaded with relaxed atomics: safe in a signal
 * handler, and across threads without a lock.
 */
#include <signal.h>

#include "Con.h"

namespace {

volatile sig_atomic_t gCancel; /* 1 while a cancel is pending */

} // namespace

extern "C" {

KX_API void kxMUtiCon_Cancel(void)
{
    __atomic_store_n(&gCancel, 1, __ATOMIC_RELAXED);
}

KX_API int kxMUtiCon_Cancelled(void)
{
    return __atomic_load_n(&gCancel, __ATOMIC_RELAXED) != 0;
}

KX_API void kxMUtiCon_CancelClear(void)
{
    __atomic_store_n(&gCancel, 0, __ATOMIC_RELAXED);
    ConRun_NoticeDrop(); /* a cancel cleared leaves nothing to tell */
}

} // extern "C"

/*
 * kxMUtiTst.cpp - the global test error counter and its verbosity flag,
 * exported for test programs built on the interpreter.  The library never
 * counts errors itself; it only resets the counter on request.
 */
#include "kxMUtiTst.h"

#include <stdio.h>

namespace {

/* Announced by kxMUtiTst_Reset when gkxMUtiTst_Verbose is set. */
constexpr const char *kMUtiTstResetMsg = "kxMUtiTst_Reset: resetting gkxMUtiTst_Errors counter.";

} // namespace

int32_t gkxMUtiTst_Errors = 0;
uint8_t gkxMUtiTst_Verbose = 0;

/* Nothing to set up: both globals start at 0.  Kept as a uniform start-up call. */
void kxMUtiTst_Init(void) {}

/* Zeroes the counter, then announces it when verbose (puts adds the newline). */
void kxMUtiTst_Reset(void)
{
    gkxMUtiTst_Errors = 0;
    if (gkxMUtiTst_Verbose != 0)
        puts(kMUtiTstResetMsg);
}

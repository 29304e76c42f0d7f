/*
 * FuzzCheck.h - the fuzz targets' assertion: a property that does not hold
 * prints itself and aborts, so libFuzzer keeps the input that broke it.
 */
#ifndef FUZZ_CHECK_H
#define FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "fuzz check failed: %s (line %d)\n", #cond, __LINE__);                 \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

#endif /* FUZZ_CHECK_H */

/*
 * MUtiAlloc.h - the one door through which kxMUti takes heap memory.
 *
 * Every allocation of the library goes through MUti_Malloc, MUti_Calloc,
 * MUti_Realloc and MUti_Free, so the test build can make a chosen allocation
 * fail (fault injection) and count allocations.  In the shipped library
 * each is the C allocator's call alone; the hooks below exist only in the
 * static twin built with KX_MUTI_TEST_HOOKS.  Blocks come from the C heap,
 * so callers may release them with free().
 */
#ifndef MUTI_ALLOC_H
#define MUTI_ALLOC_H

#include <stddef.h>

void *MUti_Malloc(size_t size);
void *MUti_Calloc(size_t count, size_t size);
void *MUti_Realloc(void *pOld, size_t size);
void MUti_Free(void *p);

#ifdef KX_MUTI_TEST_HOOKS
/*
 * Fault injection, for tests.  MUti_FaultArm(n, persistent) lets n more
 * allocations succeed, then fails the next one, and every later one too when
 * persistent.  MUti_FaultDisarm stops injecting and returns how many
 * allocations were failed since the last arm.
 */
void MUti_FaultArm(unsigned long nGood, bool persistent);
unsigned long MUti_FaultDisarm(void);
unsigned long MUti_FaultInjected(void);

/* Allocations attempted (malloc, calloc, realloc) since the process began. */
unsigned long MUti_AllocCount(void);
#endif

#endif /* MUTI_ALLOC_H */

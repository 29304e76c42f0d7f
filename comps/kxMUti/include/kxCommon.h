/*
 * kxCommon.h - types and constants shared by every kxMUti module.
 *
 * Status words are 32-bit: KX_OK (0) is success, the containers report
 * KX_ERR_NOMEM (all bits set) when memory runs out.  kxWord_t is the machine
 * word: wide enough for a pointer, used for memory-space words and for the
 * ten arguments every command handler receives.
 */
#ifndef KX_COMMON_H
#define KX_COMMON_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Marks a declaration as part of the exported interface; all else is hidden. */
#if defined(__GNUC__)
#define KX_API __attribute__((visibility("default")))
#else
#define KX_API
#endif

#define KX_OK 0u                    /* success */
#define KX_ERR_NOMEM 0xFFFFFFFFu    /* containers: memory ran out (-1) */

typedef uintptr_t kxWord_t;         /* one machine word */

#ifdef __cplusplus
}
#endif

#endif /* KX_COMMON_H */

/*
 * kxMUtiTst.h - a global error counter for test programs.  The library never
 * counts; programs increment gkxMUtiTst_Errors themselves.
 */
#ifndef KX_MUTI_TST_H
#define KX_MUTI_TST_H

#include "kxCommon.h"

#ifdef __cplusplus
extern "C" {
#endif

extern KX_API int32_t gkxMUtiTst_Errors; /* test errors counted so far; starts at 0 */
extern KX_API uint8_t gkxMUtiTst_Verbose; /* non-zero: kxMUtiTst_Reset announces itself */

/* Does nothing; kept so test programs have a uniform start-up call. */
KX_API void kxMUtiTst_Init(void);

/*
 * Sets gkxMUtiTst_Errors to 0, then, when gkxMUtiTst_Verbose is non-zero,
 * prints "kxMUtiTst_Reset: resetting gkxMUtiTst_Errors counter." to
 * standard output.
 */
KX_API void kxMUtiTst_Reset(void);

#ifdef __cplusplus
}
#endif

#endif /* KX_MUTI_TST_H */

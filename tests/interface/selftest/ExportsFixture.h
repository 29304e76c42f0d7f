/*
 * ExportsFixture.h - the declared interface of a small library used to show
 * that the export check reads every shape of KX_API declaration the public
 * headers may use: plain and multi-line functions, variables, arrays and
 * pointers to functions.
 */
#ifndef KX_EXPORTS_FIXTURE_H
#define KX_EXPORTS_FIXTURE_H

#include "kxCommon.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*kxFixture_Hook_t)(int value); /* a type, exports nothing */

extern KX_API int gkxFixture_Count;         /* plain variable */
extern KX_API const char *gkxFixture_Names[3]; /* array */
extern KX_API kxFixture_Hook_t gpkxFixture_Hook; /* pointer through a typedef */
extern KX_API int (*gpkxFixture_Raw)(int);  /* pointer to function, spelt out */

/* A one-line function. */
KX_API int kxFixture_Get(void);

/* A function whose declaration spans lines. */
KX_API uint32_t kxFixture_Sum(uint32_t a, uint32_t b,
                              uint32_t c);

#ifdef __cplusplus
}
#endif

#endif /* KX_EXPORTS_FIXTURE_H */

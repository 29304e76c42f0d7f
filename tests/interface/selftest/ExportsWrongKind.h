/*
 * ExportsWrongKind.h - ExportsFixture.h with one entry of the wrong kind
 * (a variable declared where the library has a function): the export check
 * must report it.
 */
#ifndef KX_EXPORTS_WRONG_KIND_H
#define KX_EXPORTS_WRONG_KIND_H

#include "kxCommon.h"

extern KX_API int gkxFixture_Count;
extern KX_API const char *gkxFixture_Names[3];
extern KX_API void *gpkxFixture_Hook;
extern KX_API void *gpkxFixture_Raw;
extern KX_API int kxFixture_Get; /* really a function */
KX_API uint32_t kxFixture_Sum(uint32_t a, uint32_t b, uint32_t c);

#endif /* KX_EXPORTS_WRONG_KIND_H */

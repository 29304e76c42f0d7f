/*
 * ExportsFixture.c - defines exactly what ExportsFixture.h declares, plus a
 * hidden helper; built with hidden visibility like libkxMUti.so.  With
 * KX_FIXTURE_EXTRA it also exports a function no header declares.
 */
#include "ExportsFixture.h"

#include <stdlib.h>

int gkxFixture_Count = 1;
const char *gkxFixture_Names[3] = {"a", "b", "c"};
kxFixture_Hook_t gpkxFixture_Hook;
int (*gpkxFixture_Raw)(int);

/* Not marked for export: must stay out of the dynamic symbol table. */
int kxFixture_Hidden(void)
{
    return gkxFixture_Count;
}

int kxFixture_Get(void)
{
    /* Uses the C library, as every real library does. */
    return kxFixture_Hidden() + (getenv("KX_FIXTURE") != NULL);
}

uint32_t kxFixture_Sum(uint32_t a, uint32_t b, uint32_t c)
{
    return a + b + c;
}

#ifdef KX_FIXTURE_EXTRA
KX_API int kxFixture_Undeclared(void);
int kxFixture_Undeclared(void)
{
    return 2;
}
#endif

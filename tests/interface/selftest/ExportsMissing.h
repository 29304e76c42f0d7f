/*
 * ExportsMissing.h - declares a function the fixture library does not
 * define: the export check must report it.
 */
#ifndef KX_EXPORTS_MISSING_H
#define KX_EXPORTS_MISSING_H

#include "kxCommon.h"

KX_API void kxFixture_Missing(void);

#endif /* KX_EXPORTS_MISSING_H */

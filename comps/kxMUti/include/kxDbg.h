/*
 * kxDbg.h - the calls kxMUti makes into the platform debug service
 * (libqvStbDbg.so).  The platform library provides them; kxMUti never
 * reaches the service any other way, so the board's own library can stand
 * in for the one built with this tree.
 */
#ifndef KX_DBG_H
#define KX_DBG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KX_DBG_API __attribute__((visibility("default")))
#define KX_DBG_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define KX_DBG_API
#define KX_DBG_PRINTF(f, a)
#endif

/* A module's handle: points at the module's writable 32-bit flag word. */
typedef uint32_t *kxDbg_Unit_t;

/*
 * Registers module pName.  *pUnit receives the module's unit, or stays as it
 * was (null) when the service cannot register it.  The result is advisory.
 */
KX_DBG_API int kxDbg_RegisterModule(kxDbg_Unit_t *pUnit, const char *pName);

/* The platform-wide flag word; never null. */
KX_DBG_API uint32_t *qvStbDbg_DbgUnit(void);

/*
 * Outputs one message for unit (may be null) at the given level mask.  The
 * service does not gate: callers decide beforehand whether a level is on.
 * Formats carry no line end.
 */
KX_DBG_API int kxDbg_Print(kxDbg_Unit_t unit, uint32_t level, const char *pFormat, ...)
    KX_DBG_PRINTF(3, 4);

/*
 * Formats one 32-bit value into a detail text for kxDbg_AssertError.  The
 * text stays valid until the next call; callers never free it.
 */
KX_DBG_API const char *kxDbg_StrAssertFormat(const char *pFormat, uint32_t value);

/*
 * Reports a failed check: the condition's text, the source path from comps/
 * on, the line of the check and a detail text or null.  Returns; the caller
 * carries on.
 */
KX_DBG_API void kxDbg_AssertError(const char *pCond, const char *pFile, int line,
                                  const char *pDetail);

#ifdef __cplusplus
}
#endif

#endif /* KX_DBG_H */

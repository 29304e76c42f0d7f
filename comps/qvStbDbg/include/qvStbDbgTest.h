/*
 * qvStbDbgTest.h - controls of the debug service stand-in, for tests and
 * for engineers on a PC.  The platform's own service has none of these.
 *
 * Flag words: the platform word and one word per registered module.  At
 * first use the stand-in reads QVSTBDBG_FLAGS (platform word) and
 * QVSTBDBG_FLAGS_<module> (that module's word, applied when it registers),
 * each a number in C syntax (0x8400, 1024).  Output goes to standard error
 * as "[module] message" lines and "ASSERT: ..." reports.
 *
 * The recorder keeps the last events (prints with their level and text,
 * assertion reports with their parts) so a test can show a check fired.
 */
#ifndef QV_STB_DBG_TEST_H
#define QV_STB_DBG_TEST_H

#include <stdint.h>

#include "kxDbg.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { qvStbDbg_EventPrint = 1, qvStbDbg_EventAssert = 2 };

#define QVSTBDBG_TEXT_MAX 512

typedef struct qvStbDbg_Event_s {
    int kind;                        /* qvStbDbg_EventPrint or qvStbDbg_EventAssert */
    uint32_t level;                  /* print: level mask */
    int line;                        /* assert: line of the check */
    int hasDetail;                   /* assert: detail was not null */
    char text[QVSTBDBG_TEXT_MAX];    /* print: formatted text; assert: condition */
    char file[128];                  /* assert: source path */
    char detail[128];                /* assert: detail text, "" when null */
} qvStbDbg_Event_t;

/* Sets the platform-wide flag word. */
KX_DBG_API void qvStbDbg_TestPlatformFlagsSet(uint32_t flags);

/* Sets the flag word of a registered module; returns 0, or -1 if unknown. */
KX_DBG_API int qvStbDbg_TestModuleFlagsSet(const char *pName, uint32_t flags);

/* Silences (non-zero) or restores standard-error output; recording goes on. */
KX_DBG_API void qvStbDbg_TestQuiet(int quiet);

/* Forgets all recorded events. */
KX_DBG_API void qvStbDbg_TestClear(void);

/* Number of events recorded since the last clear (at most the ring size). */
KX_DBG_API uint32_t qvStbDbg_TestCount(void);

/* Event i (0 = oldest kept), or null when out of range. */
KX_DBG_API const qvStbDbg_Event_t *qvStbDbg_TestEvent(uint32_t i);

/* Makes the next registration of any module fail (unit left null). */
KX_DBG_API void qvStbDbg_TestFailNextRegistration(void);

#ifdef __cplusplus
}
#endif

#endif /* QV_STB_DBG_TEST_H */

/*
 * MUtiDbg.h - the print gate and assertion report shared by all modules.
 *
 * A message is printed when the module has no debug unit (the service then
 * decides), or when (platform word | module word) & level is non-zero; both
 * words are read afresh for every message.  The gate is a macro so that the
 * arguments of a message that is not printed are never evaluated and no
 * formatting work is done for it.
 */
#ifndef MUTI_DBG_H
#define MUTI_DBG_H

#include <stdint.h>

#include "kxDbg.h"
#include "kxMUtiCmd.h"

/* Whether a message at level would be printed now. */
inline bool MUti_DbgOn(uint32_t level)
{
    const kxDbg_Unit_t unit = gkxMUtiCmd_DbgUnit;
    if (unit == nullptr)
        return true;
    return ((*qvStbDbg_DbgUnit() | *unit) & level) != 0;
}

#define MUTI_PRINT(level, ...)                                                                     \
    do {                                                                                           \
        if (MUti_DbgOn(level)) [[unlikely]]                                                        \
            kxDbg_Print(gkxMUtiCmd_DbgUnit, (level), __VA_ARGS__);                                 \
    } while (0)

/* Debug levels of this library's messages. */
inline constexpr uint32_t kMUtiDbgTrace = 0x100;  /* start-up, handler results */
inline constexpr uint32_t kMUtiDbgExec = 0x200;   /* a command about to run */
inline constexpr uint32_t kMUtiDbgWords = 0x400;  /* word count of a line */
inline constexpr uint32_t kMUtiDbgError = 0x8000; /* errors */
inline constexpr uint32_t kMUtiDbgWarn = 0x8100;  /* registration warnings */

/*
 * Reports a failed check.  The line numbers passed are fixed identifiers of
 * each check, relied on by board logs and tests; they do not follow edits to
 * the source file.  Execution goes on after the report.
 */
inline void MUti_AssertFail(const char *pCond, const char *pPath, int line,
                            const char *pDetail = nullptr)
{
    kxDbg_AssertError(pCond, pPath, line, pDetail);
}

#endif /* MUTI_DBG_H */

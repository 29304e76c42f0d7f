/*
 * qvStbDbg.c - a stand-in for the platform debug service, for builds off
 * the board.  It gives each registered module a flag word, keeps one
 * platform word, prints to standard error and records recent events for
 * tests.  It does no level gating: callers gate before they print.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qvStbDbgTest.h"

#define MODULES_MAX 32    /* modules that can register */
#define EVENTS_MAX 256    /* recorder ring size */

typedef struct Module_s {
    char name[32];
    uint32_t flags;
} Module_t;

static Module_t gModules[MODULES_MAX];
static unsigned gnModules;
static uint32_t gPlatformFlags;
static int gStarted;
static int gQuiet;
static int gFailNextRegistration;

static qvStbDbg_Event_t gEvents[EVENTS_MAX];
static uint32_t gnEvents;     /* events recorded since the last clear */
static char gAssertDetail[128];

/* Parses an environment number; 0 when absent or malformed. */
static uint32_t EnvFlags(const char *pName)
{
    const char *pValue = getenv(pName);
    char *pEnd = NULL;
    unsigned long value;

    if (pValue == NULL || *pValue == '\0')
        return 0;
    value = strtoul(pValue, &pEnd, 0);
    if (*pEnd != '\0')
        return 0;
    return (uint32_t)value;
}

/* Reads the platform word from the environment once, at first use. */
static void StartOnce(void)
{
    if (gStarted)
        return;
    gStarted = 1;
    gPlatformFlags = EnvFlags("QVSTBDBG_FLAGS");
}

static qvStbDbg_Event_t *EventNew(int kind)
{
    qvStbDbg_Event_t *pEvent = &gEvents[gnEvents % EVENTS_MAX];

    gnEvents++;
    memset(pEvent, 0, sizeof(*pEvent));
    pEvent->kind = kind;
    return pEvent;
}

static const char *ModuleName(kxDbg_Unit_t unit)
{
    unsigned i;

    for (i = 0; i < gnModules; i++)
        if (&gModules[i].flags == unit)
            return gModules[i].name;
    return "?";
}

int kxDbg_RegisterModule(kxDbg_Unit_t *pUnit, const char *pName)
{
    char envName[64];
    unsigned i;

    StartOnce();
    if (gFailNextRegistration) {
        gFailNextRegistration = 0;
        return -1;
    }
    for (i = 0; i < gnModules; i++) {
        if (strcmp(gModules[i].name, pName) == 0) {
            *pUnit = &gModules[i].flags;
            return 0;
        }
    }
    if (gnModules == MODULES_MAX)
        return -1;
    Module_t *pModule = &gModules[gnModules++];
    snprintf(pModule->name, sizeof(pModule->name), "%s", pName);
    snprintf(envName, sizeof(envName), "QVSTBDBG_FLAGS_%s", pName);
    pModule->flags = EnvFlags(envName);
    *pUnit = &pModule->flags;
    return 0;
}

uint32_t *qvStbDbg_DbgUnit(void)
{
    StartOnce();
    return &gPlatformFlags;
}

int kxDbg_Print(kxDbg_Unit_t unit, uint32_t level, const char *pFormat, ...)
{
    qvStbDbg_Event_t *pEvent = EventNew(qvStbDbg_EventPrint);
    va_list args;
    int n;

    StartOnce();
    pEvent->level = level;
    va_start(args, pFormat);
    n = vsnprintf(pEvent->text, sizeof(pEvent->text), pFormat, args);
    va_end(args);
    if (!gQuiet)
        fprintf(stderr, "[%s] %s\n", unit ? ModuleName(unit) : "-", pEvent->text);
    return n;
}

const char *kxDbg_StrAssertFormat(const char *pFormat, uint32_t value)
{
    snprintf(gAssertDetail, sizeof(gAssertDetail), pFormat, value);
    return gAssertDetail;
}

void kxDbg_AssertError(const char *pCond, const char *pFile, int line, const char *pDetail)
{
    qvStbDbg_Event_t *pEvent = EventNew(qvStbDbg_EventAssert);

    snprintf(pEvent->text, sizeof(pEvent->text), "%s", pCond ? pCond : "");
    snprintf(pEvent->file, sizeof(pEvent->file), "%s", pFile ? pFile : "");
    snprintf(pEvent->detail, sizeof(pEvent->detail), "%s", pDetail ? pDetail : "");
    pEvent->line = line;
    pEvent->hasDetail = pDetail != NULL;
    if (!gQuiet)
        fprintf(stderr, "ASSERT: (%s) failed at %s:%d%s%s\n", pEvent->text, pEvent->file, line,
                pDetail ? " " : "", pDetail ? pDetail : "");
}

void qvStbDbg_TestPlatformFlagsSet(uint32_t flags)
{
    StartOnce();
    gPlatformFlags = flags;
}

int qvStbDbg_TestModuleFlagsSet(const char *pName, uint32_t flags)
{
    unsigned i;

    for (i = 0; i < gnModules; i++) {
        if (strcmp(gModules[i].name, pName) == 0) {
            gModules[i].flags = flags;
            return 0;
        }
    }
    return -1;
}

void qvStbDbg_TestQuiet(int quiet) { gQuiet = quiet; }

void qvStbDbg_TestClear(void) { gnEvents = 0; }

uint32_t qvStbDbg_TestCount(void) { return gnEvents < EVENTS_MAX ? gnEvents : EVENTS_MAX; }

const qvStbDbg_Event_t *qvStbDbg_TestEvent(uint32_t i)
{
    uint32_t n = qvStbDbg_TestCount();

    if (i >= n)
        return NULL;
    return &gEvents[(gnEvents - n + i) % EVENTS_MAX];
}

void qvStbDbg_TestFailNextRegistration(void) { gFailNextRegistration = 1; }

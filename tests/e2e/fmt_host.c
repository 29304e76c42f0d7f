/*
 * fmt_host.c - a host for the end-to-end tests of invoke formats that no
 * real program would register: more than ten slots, a list that is not the
 * last item, a missing '%', unknown conversion letters.  Keeping them here
 * keeps the example shell an example.
 *
 * Usage: kxfmthost <script>.  Every test command shares one handler, which
 * prints its ten slots as the command's slot description (its userData)
 * says, then checks that the slots after them are zero.
 */
#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "kxMUtiCmd.h"
#include "qvStbDbgTest.h"

/* Slot description letters, one per slot (two for a list):
 *   u unsigned   d signed   x hex   s string or null   E the global context
 *   - a slot whose content is not defined (unknown conversion): not shown
 *   L list of integers (count, elements)   S list of strings (count, words) */
typedef struct Cmd_s {
    const char *pName;
    const char *pFormat;
    const char *pSlots;
    const char *pAlias; /* for the help listing cases; mostly null */
    const char *pHelp;
} Cmd_t;

static const Cmd_t gCmds[] = {
    {"ten", "%u%u%u%u%u%u%u%u%u%u", "uuuuuuuuuu", NULL, NULL},
    {"eleven", "%u%u%u%u%u%u%u%u%u%u%u", "uuuuuuuuuu", NULL, NULL},
    {"elevenopt", "%u%u%u%u%u%u%u%u%u%u%u?", "uuuuuuuuuu", NULL, NULL},
    {"eightlist", "%u%u%u%u%u%u%u%u%u*", "uuuuuuuuL", NULL, NULL},
    {"ninelist", "%u%u%u%u%u%u%u%u%u%u*", "uuuuuuuuuL", NULL, NULL},
    {"tenlist", "%u%u%u%u%u%u%u%u%u%u%u+", "uuuuuuuuuuL", NULL, NULL},
    {"notfinal", "%s+%d", "S", NULL, NULL},
    {"ctxlist", "%E+", "E", NULL, NULL},
    {"ctxlistint", "%E+%d", "E", NULL, NULL},
    {"spaced", " %s  %x+  ", "sL", NULL, NULL},
    {"nopct", "d", "d", NULL, NULL},
    {"unknown", "%q%u", "-u", NULL, NULL},
    {"percent", "%%%u", "-u", NULL, NULL},
    {"tab", "%u\t%u", "u-u", NULL, NULL},
    {"num", "%d%u%x", "dux", NULL, NULL},
    {"optnum", "%d?", "d", NULL, NULL},
    {"optstr", "%s?%d", "sd", NULL, NULL},
    {"all", "%L%s", "ss", NULL, NULL},
    {"words", "%c%v", "u-", NULL, NULL},
    /* Help listing cases: an empty line inside a help text, an empty alias
     * (shown without braces) and a name longer than its column. */
    {"blankline", "", "", NULL, "first line\n\nthird line\n"},
    {"averyveryverylongname", "", "", "", "names are not cut"},
};

#define NSLOTS 10

/* The definition of the command now running: the global context's first
 * word, looked up as the interpreter looked it up. */
static const kxMUtiCmd_Def_t *RunningDef(void)
{
    const kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecGlobal();
    uint32_t kind;

    return kxMUtiCmd_DefsLookup(NULL, (const char *)pExec->pWords->pEntries[0], &kind);
}

/* Prints one list: its count and elements, integers or strings. */
static void PrintList(char kind, kxWord_t count, kxWord_t entries)
{
    void *const *pList = (void *const *)entries;
    uint32_t i;

    printf(" [%" PRIu32 ":", (uint32_t)count);
    for (i = 0; i < (uint32_t)count; i++) {
        if (kind == 'S')
            printf(" \"%s\"", (const char *)pList[i]);
        else
            printf(" %" PRIu32, (uint32_t)(kxWord_t)pList[i]);
    }
    putchar(']');
}

/* Prints slot[*pi] (and the next, for a list) as kind says; moves *pi on. */
static void PrintSlot(char kind, const kxWord_t *pSlots, int *pi)
{
    kxWord_t v = pSlots[*pi];

    if (kind == 'L' || kind == 'S') {
        PrintList(kind, v, *pi + 1 < NSLOTS ? pSlots[*pi + 1] : 0);
        *pi += 2;
        return;
    }
    if (kind == 'u')
        printf(" %" PRIu32, (uint32_t)v);
    else if (kind == 'd')
        printf(" %" PRId32, (int32_t)(uint32_t)v);
    else if (kind == 'x')
        printf(" 0x%" PRIX32, (uint32_t)v);
    else if (kind == 's' && v == 0)
        printf(" null");
    else if (kind == 's')
        printf(" \"%s\"", (const char *)v);
    else if (kind == 'E')
        printf(" %s", v == (kxWord_t)kxMUtiCmd_ExecGlobal() ? "context" : "not-the-context");
    else
        printf(" ?");
    *pi += 1;
}

static uint32_t ShowSlots(kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3, kxWord_t a4,
                          kxWord_t a5, kxWord_t a6, kxWord_t a7, kxWord_t a8, kxWord_t a9)
{
    const kxWord_t slots[NSLOTS] = {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9};
    const kxMUtiCmd_Def_t *pDef = RunningDef();
    const char *pKind = (const char *)pDef->userData;
    int i = 0;

    printf("%s:", pDef->pName);
    for (; *pKind != '\0' && i < NSLOTS; pKind++)
        PrintSlot(*pKind, slots, &i);
    for (; i < NSLOTS; i++)
        if (slots[i] != 0)
            printf(" (slot %d not zero)", i);
    putchar('\n');
    return KX_OK;
}

/* rc <line>   "%E%l": runs the rest of the line, prints its status. */
static uint32_t CmdRc(kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3, kxWord_t a4, kxWord_t a5,
                      kxWord_t a6, kxWord_t a7, kxWord_t a8, kxWord_t a9)
{
    uint32_t status = kxMUtiCmd_ExecLine((kxMUtiCmd_Exec_t *)a0, (const char *)a1);

    (void)a2, (void)a3, (void)a4, (void)a5, (void)a6, (void)a7, (void)a8, (void)a9;
    printf("status 0x%08" PRIX32 "\n", status);
    return KX_OK;
}

/* dbg   "": prints the error-level debug messages since the last dbg. */
static uint32_t CmdDbg(kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3, kxWord_t a4, kxWord_t a5,
                       kxWord_t a6, kxWord_t a7, kxWord_t a8, kxWord_t a9)
{
    uint32_t i;

    (void)a0, (void)a1, (void)a2, (void)a3, (void)a4, (void)a5, (void)a6, (void)a7, (void)a8;
    (void)a9;
    for (i = 0; i < qvStbDbg_TestCount(); i++) {
        const qvStbDbg_Event_t *pEvent = qvStbDbg_TestEvent(i);
        if (pEvent->kind == qvStbDbg_EventPrint && (pEvent->level & 0x8000u) != 0)
            printf("debug 0x%" PRIX32 ": %s\n", pEvent->level, pEvent->text);
    }
    qvStbDbg_TestClear();
    return KX_OK;
}

int main(int argc, char **argv)
{
    size_t i;

    if (argc != 2) {
        fputs("usage: kxfmthost <script>\n", stderr);
        return 2;
    }
    kxMUtiCmd_Init(0);
    for (i = 0; i < sizeof gCmds / sizeof gCmds[0]; i++)
        kxMUtiCmd_Add(NULL, ShowSlots, gCmds[i].pName, gCmds[i].pAlias, 0, gCmds[i].pFormat,
                      (kxWord_t)gCmds[i].pSlots, gCmds[i].pHelp);
    kxMUtiCmd_Add(NULL, CmdRc, "rc", NULL, 0, "%E%l", 0, NULL);
    kxMUtiCmd_Add(NULL, CmdDbg, "dbg", NULL, 0, "", 0, NULL);
    qvStbDbg_TestClear();
    kxMUtiCmd_ExecFile(NULL, argv[1]);
    return 0;
}

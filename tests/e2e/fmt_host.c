/* kxfmthost <script>: runs the script against commands whose invoke formats no real
 * program would register (eleven slots, a list not last, a missing '%', unknown letters). */
#include <inttypes.h>
#include <stdio.h>

#include "kxMUtiCmd.h"
#include "qvStbDbgTest.h"

/* name, format, slot kinds, alias, help.  Kinds: u unsigned, d signed, x hex, s string or
 * null, E the global context, L a list of integers (count, entries), else not shown. */
static const char *const gCmds[][5] = {
    {"ten", "%u%u%u%u%u%u%u%u%u%u", "uuuuuuuuuu"},
    {"eleven", "%u%u%u%u%u%u%u%u%u%u%u", "uuuuuuuuuu"},
    {"elevenopt", "%u%u%u%u%u%u%u%u%u%u%u?", "uuuuuuuuuu"},
    {"eightlist", "%u%u%u%u%u%u%u%u%u*", "uuuuuuuuL"},
    {"ninelist", "%u%u%u%u%u%u%u%u%u%u*", "uuuuuuuuuL"},
    {"tenlist", "%u%u%u%u%u%u%u%u%u%u%u+", "uuuuuuuuuuL"},
    {"notfinal", "%s+%d", "-"},
    {"ctxlist", "%E+", "E"},
    {"ctxlistint", "%E+%d", "E"},
    {"spaced", " %s  %x+  ", "sL"},
    {"nopct", "d", "d"},
    {"unknown", "%q%u", "-u"},
    {"percent", "%%%u", "-u"},
    {"tab", "%u\t%u", "u-u"},
    {"num", "%d%u%x", "dux"},
    {"optnum", "%d?", "d"},
    {"optctx", "%d?%E", "E"},
    {"lone", "%u%", "u"},
    {"optstr", "%s?%d", "sd"},
    {"all", "%L%s", "ss"},
    {"words", "%c%v", "u-"},
    /* For help: an empty line in a help text, an empty alias, a long name. */
    {"blankline", "", "", NULL, "first line\n\nthird line\n"},
    {"averyveryverylongname", "", "", "", "names are not cut"},
};

/* Prints the command's name and its slots as its kinds (user data) say, then any other
 * slot that is not zero. */
static uint32_t ShowSlots(kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3, kxWord_t a4,
                          kxWord_t a5, kxWord_t a6, kxWord_t a7, kxWord_t a8, kxWord_t a9)
{
    const kxWord_t s[11] = {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, 0}; /* s[10]: list guard */
    kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecGlobal();
    uint32_t i, n, match;
    const kxMUtiCmd_Def_t *pDef =
        kxMUtiCmd_DefsLookup(NULL, (const char *)pExec->pWords->pEntries[0], &match);
    const char *pKind = (const char *)pDef->userData;

    printf("%s:", pDef->pName);
    for (i = 0; *pKind != '\0' && i < 10; pKind++, i++) {
        if (*pKind == 'u')
            printf(" %" PRIu32, (uint32_t)s[i]);
        else if (*pKind == 'd')
            printf(" %" PRId32, (int32_t)(uint32_t)s[i]);
        else if (*pKind == 'x')
            printf(" 0x%" PRIX32, (uint32_t)s[i]);
        else if (*pKind == 's' && s[i] == 0)
            printf(" null");
        else if (*pKind == 's')
            printf(" \"%s\"", (const char *)s[i]);
        else if (*pKind == 'E')
            printf(" %s", s[i] == (kxWord_t)pExec ? "context" : "not-the-context");
        else if (*pKind != 'L')
            printf(" ?");
        else {
            printf(" [%" PRIu32 ":", (uint32_t)s[i]);
            for (n = 0; n < (uint32_t)s[i]; n++)
                printf(" %" PRIu32, (uint32_t)(kxWord_t)((void *const *)s[i + 1])[n]);
            printf("]");
            i++;
        }
    }
    for (; i < 10; i++)
        if (s[i] != 0)
            printf(" (slot %" PRIu32 " not zero)", i);
    printf("\n");
    return KX_OK;
}

/* rc <line>: runs the rest of the line, prints its status and its error-level reports. */
static uint32_t CmdRc(kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3, kxWord_t a4, kxWord_t a5,
                      kxWord_t a6, kxWord_t a7, kxWord_t a8, kxWord_t a9)
{
    uint32_t i;

    (void)(a2 + a3 + a4 + a5 + a6 + a7 + a8 + a9);
    qvStbDbg_TestClear();
    printf("status 0x%08" PRIX32 "\n",
           kxMUtiCmd_ExecLine((kxMUtiCmd_Exec_t *)a0, (const char *)a1));
    for (i = 0; i < qvStbDbg_TestCount(); i++) {
        const qvStbDbg_Event_t *pEvent = qvStbDbg_TestEvent(i);
        if (pEvent->kind == qvStbDbg_EventPrint && (pEvent->level & 0x8000u) != 0)
            printf("debug 0x%" PRIX32 ": %s\n", pEvent->level, pEvent->text);
    }
    return KX_OK;
}

int main(int argc, char **argv)
{
    size_t i;

    if (argc != 2)
        return 2;
    kxMUtiCmd_Init(0);
    for (i = 0; i < sizeof gCmds / sizeof gCmds[0]; i++)
        kxMUtiCmd_Add(NULL, ShowSlots, gCmds[i][0], gCmds[i][3], 0, gCmds[i][1],
                      (kxWord_t)gCmds[i][2], gCmds[i][4]);
    kxMUtiCmd_Add(NULL, CmdRc, "rc", NULL, 0, "%E%l", 0, NULL);
    kxMUtiCmd_ExecFile(NULL, argv[1]);
    return 0;
}

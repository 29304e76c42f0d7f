/*
 * kxshell.c - the start of a bring-up shell built on the kxMUti command
 * interpreter, and a worked example for host programmers.
 *
 * It registers commands for a simulated board: a window of memory read and
 * written in hex words, two register blocks served by one handler, a few
 * tools, and a nested environment for a front-end chip with its own command
 * table, context and prompt.  Between them the commands use every letter
 * and modifier of the invoke-format language.  Plain C99, public headers
 * only; every handler prints its results to standard output.  On a terminal
 * the prompt edits lines (the console library); elsewhere it reads plainly.
 */
/* The feature-test macro that declares mkstemp, fchmod and fsync. */
#define _DEFAULT_SOURCE /* NOLINT(bugprone-reserved-identifier) */

#include <errno.h>
#include <inttypes.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kxMUtiCmd.h"
#include "kxMUtiConsole.h"
#include "kxMUtiServe.h"

/* ======================================================================
 * Handler plumbing
 * ======================================================================
 * Every handler has the type kxMUtiCmd_Handler_t: ten word-sized
 * arguments, of which the invoke format fills the leading ones (slot 0
 * first) and the interpreter sets the rest to zero.  Each handler below
 * copies the slots it uses into named locals, with the format item that
 * fills them as a comment, and marks the others unused.
 */
#define HANDLER_PARAMS                                                                             \
    kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3, kxWord_t a4, kxWord_t a5, kxWord_t a6,     \
        kxWord_t a7, kxWord_t a8, kxWord_t a9

/* clang-format off */
#define UNUSED_FROM_9 (void)a9
#define UNUSED_FROM_8 (void)a8; UNUSED_FROM_9
#define UNUSED_FROM_7 (void)a7; UNUSED_FROM_8
#define UNUSED_FROM_6 (void)a6; UNUSED_FROM_7
#define UNUSED_FROM_5 (void)a5; UNUSED_FROM_6
#define UNUSED_FROM_4 (void)a4; UNUSED_FROM_5
#define UNUSED_FROM_3 (void)a3; UNUSED_FROM_4
#define UNUSED_FROM_2 (void)a2; UNUSED_FROM_3
#define UNUSED_FROM_1 (void)a1; UNUSED_FROM_2
#define UNUSED_FROM_0 (void)a0; UNUSED_FROM_1
/* clang-format on */

/* A list item (%d*, %x+, ...) fills two slots: the element count, then a
 * pointer to the elements, one word each.  Integers sit in the low 32 bits. */
#define LIST_INT(pList, i) ((uint32_t)(kxWord_t)(pList)[i])

/* Statuses of this shell's handlers.  The interpreter hands a handler's
 * status back unchanged; its own statuses are 0xFFFFFF01..0xFFFFFF06. */
enum {
    SHELL_ERR_RANGE = 1,       /* an address, register or value out of range */
    SHELL_ERR_NO_REGISTER = 2, /* a register name that the block lacks */
    SHELL_ERR_USAGE = 3        /* a command refused where it was typed */
};

/* Set when one of this shell's handlers reports an error: small statuses
 * such as these cannot tell failure from echo's character count, so the
 * exit status of -c asks this flag instead (see ExitStatus). */
static int gShellFailed;

static uint32_t Failed(uint32_t rc)
{
    gShellFailed = 1;
    return rc;
}

/* Prints a text between double quotes, line ends and other control bytes
 * spelled as escapes, so that what a handler received is plain to see. */
static void PrintQuoted(const char *pText)
{
    const unsigned char *p;

    putchar('"');
    for (p = (const unsigned char *)pText; *p != '\0'; p++) {
        if (*p == '\n')
            fputs("\\n", stdout);
        else if (*p == '\r')
            fputs("\\r", stdout);
        else if (*p == '\t')
            fputs("\\t", stdout);
        else if (*p == '\\')
            fputs("\\\\", stdout);
        else if (*p < 0x20 || *p == 0x7F)
            printf("\\x%02X", *p);
        else
            putchar(*p);
    }
    putchar('"');
}

/* ======================================================================
 * Memory window: md, mw
 * ======================================================================
 * A stand-in for a stretch of the board's memory: 64 words seen at bus
 * address 0x80100000, all zero at start.
 */
#define MEM_BASE 0x80100000u /* bus address of word 0 */
#define MEM_WORDS 64u        /* size of the window, in 32-bit words */
#define MD_PER_LINE 4u       /* words per line of a dump; also md's default */

static uint32_t gMem[MEM_WORDS];

/* Finds the index of the word at addr and checks that nWords words from it
 * lie in the window.  Returns 0, or prints why not and returns an error. */
static uint32_t MemIndex(const char *pCmd, uint32_t addr, uint32_t nWords, uint32_t *pIndex)
{
    uint32_t offset = addr - MEM_BASE; /* bytes from the window's start */

    if (addr % 4u != 0) {
        printf("%s: address 0x%08" PRIX32 " is not word-aligned\n", pCmd, addr);
        return Failed(SHELL_ERR_RANGE);
    }
    if (addr < MEM_BASE || offset / 4u >= MEM_WORDS || nWords > MEM_WORDS - offset / 4u) {
        printf("%s: %" PRIu32 " word(s) at 0x%08" PRIX32 " outside 0x%08" PRIX32 "..0x%08" PRIX32
               "\n",
               pCmd, nWords, addr, MEM_BASE, MEM_BASE + MEM_WORDS * 4u - 1u);
        return Failed(SHELL_ERR_RANGE);
    }
    *pIndex = offset / 4u;
    return KX_OK;
}

/* md <addr> [<count>]   format "%x%u?"
 * A missing count leaves its slot zero, so 0 and "none" both mean 4. */
static uint32_t CmdMemDump(HANDLER_PARAMS)
{
    uint32_t addr = (uint32_t)a0;  /* %x  */
    uint32_t count = (uint32_t)a1; /* %u? */
    uint32_t index;
    uint32_t i;
    uint32_t rc;
    UNUSED_FROM_2;

    if (count == 0)
        count = MD_PER_LINE;
    rc = MemIndex("md", addr, count, &index);
    if (rc != KX_OK)
        return rc;
    for (i = 0; i < count; i++) {
        if (i % MD_PER_LINE == 0)
            printf("%08" PRIX32 ":", addr + i * 4u);
        printf(" %08" PRIX32, gMem[index + i]);
        if (i % MD_PER_LINE == MD_PER_LINE - 1 || i == count - 1)
            putchar('\n');
    }
    return KX_OK;
}

/* mw <addr> <value>+   format "%x%x+": one or more hex words, stored at
 * consecutive addresses.  Nothing is written unless all of them fit. */
static uint32_t CmdMemWrite(HANDLER_PARAMS)
{
    uint32_t addr = (uint32_t)a0;       /* %x            */
    uint32_t nValues = (uint32_t)a1;    /* %x+ : count   */
    void *const *pValues = (void **)a2; /* %x+ : values  */
    uint32_t index;
    uint32_t i;
    uint32_t rc;
    UNUSED_FROM_3;

    rc = MemIndex("mw", addr, nValues, &index);
    if (rc != KX_OK)
        return rc;
    for (i = 0; i < nValues; i++)
        gMem[index + i] = LIST_INT(pValues, i);
    return KX_OK;
}

/* ======================================================================
 * Register blocks: tuner, demod
 * ======================================================================
 * One handler serves both blocks: each registration hands it its own block
 * description as userData, which the handler receives through %X.
 */
typedef struct Reg_s {
    const char *pName; /* register name, as typed after the command */
    uint32_t offset;   /* bytes from the block's base */
    uint32_t value;    /* simulated contents */
} Reg_t;

typedef struct Block_s {
    uint32_t base;      /* bus address of the block */
    const Reg_t *pRegs; /* its registers, in address order */
    uint32_t nRegs;     /* entries in pRegs */
} Block_t;

static const Reg_t gTunerRegs[] = {
    {"CTRL", 0x00, 0x00000001},
    {"FREQ", 0x04, 0x00073B90}, /* 474000 kHz */
    {"STATUS", 0x08, 0x00000003},
    {"AGC", 0x0C, 0x000000A0},
};
static const Reg_t gDemodRegs[] = {
    {"CTRL", 0x00, 0x00000011},
    {"MODE", 0x04, 0x00000004},
    {"SNR", 0x08, 0x00000123},
    {"BER", 0x0C, 0x00000000},
};
static const Block_t gTuner = {0xB0040000u, gTunerRegs, sizeof gTunerRegs / sizeof gTunerRegs[0]};
static const Block_t gDemod = {0xB0041000u, gDemodRegs, sizeof gDemodRegs / sizeof gDemodRegs[0]};

static void PrintReg(const Block_t *pBlock, const Reg_t *pReg)
{
    printf("  %-6s 0x%08" PRIX32 " = 0x%08" PRIX32 "\n", pReg->pName, pBlock->base + pReg->offset,
           pReg->value);
}

/* tuner [<reg>], demod [<reg>]   format "%X%N%s?": the block, the name the
 * command was registered under (whatever abbreviation was typed), and an
 * optional register name (null when left out). */
static uint32_t CmdBlockRegs(HANDLER_PARAMS)
{
    const Block_t *pBlock = (const Block_t *)a0; /* %X  */
    const char *pBlockName = (const char *)a1;   /* %N  */
    const char *pRegName = (const char *)a2;     /* %s? */
    const Reg_t *pFound = NULL;
    uint32_t i;
    UNUSED_FROM_3;

    for (i = 0; pRegName != NULL && i < pBlock->nRegs; i++)
        if (strcmp(pBlock->pRegs[i].pName, pRegName) == 0)
            pFound = &pBlock->pRegs[i];
    if (pRegName != NULL && pFound == NULL) {
        printf("%s: no register \"%s\"\n", pBlockName, pRegName);
        return Failed(SHELL_ERR_NO_REGISTER);
    }
    printf("%s block at 0x%08" PRIX32 "\n", pBlockName, pBlock->base);
    if (pFound != NULL) {
        PrintReg(pBlock, pFound);
        return KX_OK;
    }
    for (i = 0; i < pBlock->nRegs; i++)
        PrintReg(pBlock, &pBlock->pRegs[i]);
    return KX_OK;
}

/* ======================================================================
 * Tools: sum, args, note, rc
 * ====================================================================== */

/* sum <n>*   format "%d*": zero or more signed decimal integers. */
static uint32_t CmdSum(HANDLER_PARAMS)
{
    uint32_t n = (uint32_t)a0;        /* %d* : count   */
    void *const *pList = (void **)a1; /* %d* : values  */
    int64_t total = 0;
    uint32_t i;
    UNUSED_FROM_2;

    for (i = 0; i < n; i++)
        total += (int32_t)LIST_INT(pList, i);
    printf("sum = %" PRId64 "\n", total);
    return KX_OK;
}

/* args ...   format "%C%c%n%N%V%v%l": shows what the interpreter made of
 * the line, each value under its format letter.  %V and %v take no words
 * of their own, so %l is there to accept them (without it, any argument
 * would be refused as one too many). */
static uint32_t CmdArgs(HANDLER_PARAMS)
{
    uint32_t nWords = (uint32_t)a0;        /* %C: words, command included */
    uint32_t nArgs = (uint32_t)a1;         /* %c: argument words */
    const char *pTyped = (const char *)a2; /* %n: command word as typed */
    const char *pName = (const char *)a3;  /* %N: command name */
    char *const *pWords = (char **)a4;     /* %V: nWords words */
    char *const *pArgWords = (char **)a5;  /* %v: nArgs words, pWords + 1 */
    const char *pText = (const char *)a6;  /* %l: the line after the command */
    uint32_t i;
    UNUSED_FROM_7;

    printf("args: typed \"%s\" for \"%s\", C=%" PRIu32 " c=%" PRIu32 "\n", pTyped, pName, nWords,
           nArgs);
    printf("  V[0] ");
    PrintQuoted(pWords[0]);
    putchar('\n');
    for (i = 0; i < nArgs; i++) {
        printf("  v[%" PRIu32 "] ", i);
        PrintQuoted(pArgWords[i]);
        putchar('\n');
    }
    printf("  l ");
    PrintQuoted(pText);
    putchar('\n');
    return KX_OK;
}

/* note ...   format "%E%L": prints the whole line, command word included,
 * after the name of the script that runs it ("-" when none). */
static uint32_t CmdNote(HANDLER_PARAMS)
{
    const kxMUtiCmd_Exec_t *pExec = (const kxMUtiCmd_Exec_t *)a0; /* %E */
    const char *pLine = (const char *)a1;                         /* %L */
    const char *pFile = kxMUtiCmd_ExecCurrentFileNameGet(pExec);
    UNUSED_FROM_2;

    printf("%s: %.*s\n", *pFile != '\0' ? pFile : "-", (int)strcspn(pLine, "\r\n"), pLine);
    return KX_OK;
}

/* rc <line>   format "%E%l": runs the rest of the line as a command line in
 * the same context and prints the status it gives.  The text lies in the
 * caller's line, not in the context's working copy, so it may be run there;
 * the words of the rc line itself are stale afterwards. */
static uint32_t CmdRc(HANDLER_PARAMS)
{
    kxMUtiCmd_Exec_t *pExec = (kxMUtiCmd_Exec_t *)a0; /* %E */
    const char *pText = (const char *)a1;             /* %l */
    uint32_t status;
    UNUSED_FROM_2;

    status = kxMUtiCmd_ExecLine(pExec, pText);
    printf("status 0x%08" PRIX32 "\n", status);
    gShellFailed = 0; /* rc reports the status; rc itself succeeded */
    return KX_OK;
}

/* ======================================================================
 * The front-end chip: a nested environment
 * ======================================================================
 * Sixteen 8-bit registers reached over a serial bus.  Its commands live in
 * a table of their own, run in a context of their own (prompt "dev> "),
 * whose parent is the global context: global commands stay reachable, and
 * a leading dot (".md") skips the chip's table and starts the search at
 * the parent.  quit there ends the nested loop only.
 */
#define FE_NREGS 16u      /* registers 0x00..0x0F */
#define FE_PER_LINE 8u    /* registers per line of a dump; also md's default */
#define FE_MIN_KHZ 47000u /* tuning range */
#define FE_MAX_KHZ 862000u

enum {
    FE_ID = 0x00,      /* chip identity, 0x5A */
    FE_STATUS = 0x01,  /* bit 0: locked */
    FE_FREQ_HI = 0x02, /* tuned frequency in kHz, 24 bits, high byte first */
    FE_FREQ_MID = 0x03,
    FE_FREQ_LO = 0x04,
    FE_AGC = 0x08 /* gain, 0x80 at power-on */
};
#define FE_LOCKED 0x01u

static const uint8_t gFeDefaults[FE_NREGS] = {0x5A, 0, 0, 0, 0, 0, 0, 0, 0x80};
static uint8_t gFeRegs[FE_NREGS];

static kxMUtiCmd_Exec_t *gpFeExec; /* the chip's context, made at start-up */

/* Checks that n registers from reg exist; prints why not. */
static uint32_t FeCheck(const char *pCmd, uint32_t reg, uint32_t n)
{
    if (reg < FE_NREGS && n <= FE_NREGS - reg)
        return KX_OK;
    printf("%s: %" PRIu32 " register(s) at 0x%02" PRIX32 " outside 0x00..0x%02X\n", pCmd, n, reg,
           FE_NREGS - 1u);
    return Failed(SHELL_ERR_RANGE);
}

/* md <reg> [<count>] in the chip's table   format "%x%u?" */
static uint32_t CmdFeDump(HANDLER_PARAMS)
{
    uint32_t reg = (uint32_t)a0;   /* %x  */
    uint32_t count = (uint32_t)a1; /* %u? : 0 when left out */
    uint32_t i;
    uint32_t rc;
    UNUSED_FROM_2;

    if (count == 0)
        count = FE_PER_LINE;
    rc = FeCheck("md", reg, count);
    if (rc != KX_OK)
        return rc;
    for (i = 0; i < count; i++) {
        if (i % FE_PER_LINE == 0)
            printf("%02" PRIX32 ":", reg + i);
        printf(" %02X", gFeRegs[reg + i]);
        if (i % FE_PER_LINE == FE_PER_LINE - 1 || i == count - 1)
            putchar('\n');
    }
    return KX_OK;
}

/* mw <reg> <byte>+ in the chip's table   format "%x%x+" */
static uint32_t CmdFeWrite(HANDLER_PARAMS)
{
    uint32_t reg = (uint32_t)a0;        /* %x           */
    uint32_t nValues = (uint32_t)a1;    /* %x+ : count  */
    void *const *pValues = (void **)a2; /* %x+ : values */
    uint32_t i;
    uint32_t rc;
    UNUSED_FROM_3;

    rc = FeCheck("mw", reg, nValues);
    if (rc != KX_OK)
        return rc;
    for (i = 0; i < nValues; i++) {
        if (LIST_INT(pValues, i) > 0xFFu) {
            printf("mw: 0x%" PRIX32 " does not fit a register\n", LIST_INT(pValues, i));
            return Failed(SHELL_ERR_RANGE);
        }
    }
    for (i = 0; i < nValues; i++)
        gFeRegs[reg + i] = (uint8_t)LIST_INT(pValues, i);
    return KX_OK;
}

/* tune <kHz>   format "%u": sets the frequency registers; the chip locks. */
static uint32_t CmdFeTune(HANDLER_PARAMS)
{
    uint32_t kHz = (uint32_t)a0; /* %u */
    UNUSED_FROM_1;

    if (kHz < FE_MIN_KHZ || kHz > FE_MAX_KHZ) {
        printf("tune: %" PRIu32 " kHz is outside %u..%u\n", kHz, FE_MIN_KHZ, FE_MAX_KHZ);
        return Failed(SHELL_ERR_RANGE);
    }
    gFeRegs[FE_FREQ_HI] = (uint8_t)(kHz >> 16);
    gFeRegs[FE_FREQ_MID] = (uint8_t)(kHz >> 8);
    gFeRegs[FE_FREQ_LO] = (uint8_t)kHz;
    gFeRegs[FE_STATUS] |= FE_LOCKED;
    printf("tuned to %" PRIu32 " kHz\n", kHz);
    return KX_OK;
}

/* status   format "": no arguments; any word after it is refused. */
static uint32_t CmdFeStatus(HANDLER_PARAMS)
{
    uint32_t kHz = (uint32_t)gFeRegs[FE_FREQ_HI] << 16 | (uint32_t)gFeRegs[FE_FREQ_MID] << 8 |
                   gFeRegs[FE_FREQ_LO];
    UNUSED_FROM_0;

    printf("status 0x%02X: %s, %" PRIu32 " kHz\n", gFeRegs[FE_STATUS],
           (gFeRegs[FE_STATUS] & FE_LOCKED) != 0 ? "locked" : "not locked", kHz);
    return KX_OK;
}

/* reset   format "": back to the power-on register values. */
static uint32_t CmdFeReset(HANDLER_PARAMS)
{
    UNUSED_FROM_0;

    memcpy(gFeRegs, gFeDefaults, sizeof gFeRegs);
    puts("device reset");
    return KX_OK;
}

static const char gDevNested[] = "dev: already in the dev environment (quit leaves it)";
static const char gDevInScript[] = "dev: a script must name the command: dev <command>";

/* dev [<command line>]   format "%E%l": with text, runs it once in the
 * chip's context and returns its status, so a mistyped sub-command fails
 * the dev line; without, holds an interactive loop there (with editing
 * on a terminal) until quit or end of input, after which the loop that read
 * the dev line goes on.  The loop is refused inside the chip's own context,
 * where it would nest on itself, and in a script (a context whose lines do
 * not come from a person: its interactive bit is clear), where it would
 * silently wait for the keyboard. */
static uint32_t CmdDev(HANDLER_PARAMS)
{
    kxMUtiCmd_Exec_t *pExec = (kxMUtiCmd_Exec_t *)a0; /* %E */
    const char *pText = (const char *)a1;             /* %l */
    UNUSED_FROM_2;

    if (pText[strspn(pText, " \t\n\v\f\r")] != '\0')
        return kxMUtiCon_RunLine(gpFeExec, pText);
    if (pExec == gpFeExec) {
        puts(gDevNested);
        return Failed(SHELL_ERR_USAGE);
    }
    if ((pExec->flags & kxMUtiCmd_ExecFlagInteractive) == 0) {
        puts(gDevInScript);
        return Failed(SHELL_ERR_USAGE);
    }
    kxMUtiCon_SubLoop(gpFeExec, pText);
    return KX_OK;
}

/* ======================================================================
 * Registration
 * ====================================================================== */

/* Adds one command with no flags.  The interpreter keeps the string
 * pointers, so they must live as long as the table: literals do.
 * Returns 1, or 0 when memory ran out. */
static int Add(kxMUtiCmd_Defs_t *pDefs, const char *pName, const char *pAlias,
               kxMUtiCmd_Handler_t handler, const char *pFormat, kxWord_t userData,
               const char *pHelp)
{
    return kxMUtiCmd_Add(pDefs, handler, pName, pAlias, 0, pFormat, userData, pHelp) != NULL;
}

/* The global table, after the built-ins; help lists them in this order. */
static int RegisterGlobalCommands(void)
{
    int ok = 1;

    ok &= Add(NULL, "md", "d", CmdMemDump, "%x%u?", 0,
              "(<addr> [<count>]) Dumps <count> words (default 4) of memory");
    ok &= Add(NULL, "mw", "w", CmdMemWrite, "%x%x+", 0,
              "(<addr> <value>...) Writes hex words to memory from <addr> on");
    ok &= Add(NULL, "tuner", NULL, CmdBlockRegs, "%X%N%s?", (kxWord_t)&gTuner,
              "([<reg>]) Dumps the tuner registers");
    ok &= Add(NULL, "demod", NULL, CmdBlockRegs, "%X%N%s?", (kxWord_t)&gDemod,
              "([<reg>]) Dumps the demodulator registers");
    ok &= Add(NULL, "dev", NULL, CmdDev, "%E%l", 0,
              "([<command>]) Runs one command on the front-end chip,\n"
              "or enters its environment (prompt dev>) until quit");
    ok &= Add(NULL, "sum", NULL, CmdSum, "%d*", 0, "(<n>...) Adds signed decimal integers");
    ok &= Add(NULL, "args", NULL, CmdArgs, "%C%c%n%N%V%v%l", 0,
              "(...) Shows the words and counts a command receives");
    ok &= Add(NULL, "note", NULL, CmdNote, "%E%L", 0,
              "(...) Prints the line with the name of its script");
    ok &= Add(NULL, "rc", NULL, CmdRc, "%E%l", 0, "(<command>...) Runs a line, prints its status");
    return ok;
}

/* The chip's table and context.  A context made after kxMUtiCmd_Init
 * already has the global context as parent; ParentSet says so explicitly,
 * since that link is what makes global commands and ".name" work there. */
static int RegisterFrontEnd(void)
{
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    int ok = 1;

    if (pDefs == NULL)
        return 0;
    ok &= Add(pDefs, "md", "d", CmdFeDump, "%x%u?", 0,
              "(<reg> [<count>]) Dumps chip registers (default 8)");
    ok &= Add(pDefs, "mw", "w", CmdFeWrite, "%x%x+", 0,
              "(<reg> <byte>...) Writes chip registers from <reg> on");
    ok &= Add(pDefs, "tune", NULL, CmdFeTune, "%u", 0, "(<kHz>) Tunes and locks");
    ok &= Add(pDefs, "status", NULL, CmdFeStatus, "", 0, "Shows lock state and frequency");
    ok &= Add(pDefs, "reset", NULL, CmdFeReset, "", 0, "Restores power-on register values");

    gpFeExec = kxMUtiCmd_ExecNew(pDefs);
    if (gpFeExec == NULL)
        return 0;
    kxMUtiCmd_ParentSet(gpFeExec, kxMUtiCmd_ExecGlobal());
    kxMUtiCmd_PromptSet(gpFeExec, "dev> ");
    memcpy(gFeRegs, gFeDefaults, sizeof gFeRegs);
    return ok;
}

/* dev and rc take a command line for another context (the chip's) or for
 * their own: Tab completes its words there, command names and arguments
 * alike.  Returns 1, or 0 when memory ran out. */
static int AttachCompleters(void)
{
    uint32_t kind;
    const kxMUtiCmd_Def_t *pDev = kxMUtiCmd_DefsLookup(NULL, "dev", &kind);
    const kxMUtiCmd_Def_t *pRc = kxMUtiCmd_DefsLookup(NULL, "rc", &kind);

    return pDev != NULL && pRc != NULL &&
           kxMUtiCon_CompleterSet(pDev, kxMUtiCon_CompleteCommandLine, gpFeExec) == KX_OK &&
           kxMUtiCon_CompleterSet(pRc, kxMUtiCon_CompleteCommandLine, NULL) == KX_OK;
}

/* ======================================================================
 * Serving the automation protocol: --serve, --listen
 * ======================================================================
 * The same commands, the dev environment included, for a program on a
 * PC (docs/protocol.md).  --serve speaks the protocol on standard input
 * and output (ssh, adb, a serial console); --listen on TCP, loopback
 * unless given another address, which then needs a token file.
 */
static const char gServeUsage[] =
    "usage: kxshell --serve\n"
    "       kxshell --listen [ADDR:]PORT [--token-file FILE] [--audit FILE]\n"
    "                        [--sessions N] [--idle SECONDS]\n"
    "       kxshell --make-token FILE\n";

static kxMUtiCon_RunOpts_t ScriptOpts(int stopOnError);
static int ServeTokenRefused(uint32_t rc, const char *pFile);

/* Set when a line of a script that a served source line runs failed. */
static int gServeScriptFailed;

/* A failing line of a served source line's script: its note goes to
 * standard error (the result's err) and the source line fails too. */
static void ServeScriptFailure(const kxMUtiCon_RunFailure_t *pFailure, void *pUser)
{
    (void)pUser;
    gServeScriptFailed = 1;
    kxMUtiCon_RunReport(pFailure, NULL);
}

/* The shell's own failure rule for results: its handlers' reported
 * errors, and failing lines of a script that source ran.  Read and reset
 * after every line. */
static int ServeFailed(uint32_t status, void *pUser)
{
    int failed = gShellFailed || gServeScriptFailed;

    (void)status;
    (void)pUser;
    gShellFailed = 0;
    gServeScriptFailed = 0;
    return failed;
}

static void ServeReady(const char *pAddress, void *pUser)
{
    (void)pUser;
    fprintf(stderr, "kxshell: listening on %s\n", pAddress);
    fflush(stderr);
}

/* Reads a count option's value; 0 when it is not a positive number. */
static uint32_t ServeCount(const char *pText)
{
    char *pEnd;
    unsigned long value = strtoul(pText, &pEnd, 10);

    return *pText >= '0' && *pText <= '9' && *pEnd == '\0' && value <= 0xFFFFFFFFul
               ? (uint32_t)value
               : 0;
}

/* Runs --serve or --listen (argv[0] is that option); the exit status:
 * 0, 2 for a wrong command line or a non-loopback address without a
 * token, 1 when serving failed. */
static int RunServe(int argc, char **argv)
{
    kxMUtiSrv_Config_t config;
    kxMUtiCon_RunOpts_t opts;
    const char *pListen = NULL;
    uint32_t rc;
    int i;

    kxMUtiSrv_ConfigInit(&config);
    config.failed = ServeFailed;
    config.ready = ServeReady;
    if (strcmp(argv[0], "--listen") == 0) {
        if (argc < 2) {
            fputs(gServeUsage, stderr);
            return 2;
        }
        pListen = argv[1];
        for (i = 2; i + 1 < argc; i += 2) {
            if (strcmp(argv[i], "--token-file") == 0)
                config.pTokenFile = argv[i + 1];
            else if (strcmp(argv[i], "--audit") == 0)
                config.pAuditFile = argv[i + 1];
            else if (strcmp(argv[i], "--sessions") == 0 && ServeCount(argv[i + 1]) != 0)
                config.maxSessions = ServeCount(argv[i + 1]);
            else if (strcmp(argv[i], "--idle") == 0 && ServeCount(argv[i + 1]) != 0)
                config.idleSeconds = ServeCount(argv[i + 1]);
            else
                break;
        }
        if (i != argc) {
            fputs(gServeUsage, stderr);
            return 2;
        }
    } else if (argc != 1) {
        fputs(gServeUsage, stderr);
        return 2;
    }
    opts = ScriptOpts(0);
    opts.onFailure = ServeScriptFailure;
    kxMUtiCon_SourceOptsSet(&opts); /* copied */
    if (pListen == NULL)
        return kxMUtiSrv_ServeFds(&config, 0, 1) == KX_OK ? 0 : 1;

    rc = kxMUtiSrv_Listen(&config, pListen);
    if (rc == kxMUtiSrv_ErrNoToken) {
        fprintf(stderr,
                "kxshell: %s is not a loopback address: --listen there needs "
                "--token-file\n",
                pListen);
        return 2;
    }
    if (rc == kxMUtiSrv_ErrAddress) {
        fprintf(stderr, "kxshell: cannot read the address \"%s\"\n", pListen);
        return 2;
    }
    if (ServeTokenRefused(rc, config.pTokenFile))
        return 2;
    perror("kxshell: --listen");
    return 1;
}

/* Says why a token file was refused and how to put it right; 0 when rc
 * is not about the token file. */
static int ServeTokenRefused(uint32_t rc, const char *pFile)
{
    if (rc == kxMUtiSrv_ErrToken)
        fprintf(stderr, "kxshell: cannot read the token file \"%s\": %s\n", pFile, strerror(errno));
    else if (rc == kxMUtiSrv_ErrTokenExposed)
        fprintf(stderr,
                "kxshell: the token file \"%s\" is readable by group or others; "
                "make it its owner's alone: chmod 600 %s\n",
                pFile, pFile);
    else if (rc == kxMUtiSrv_ErrTokenShort)
        fprintf(stderr,
                "kxshell: the token in \"%s\" is shorter than 16 bytes, too easy to "
                "guess; make a strong one: kxshell --make-token %s\n",
                pFile, pFile);
    else if (rc == kxMUtiSrv_ErrTokenText)
        fprintf(stderr,
                "kxshell: the first line of \"%s\" holds a NUL byte or is longer than "
                "256 bytes, so it is no text token; make one: kxshell --make-token %s\n",
                pFile, pFile);
    else
        return 0;
    return 1;
}

/* --make-token FILE: 32 random bytes as 64 hex digits and a line end, in
 * a new file only its owner may read that then takes FILE's place.
 * 0, or 1 with the reason on standard error. */
static int MakeToken(const char *pPath)
{
    static const char kHex[] = "0123456789abcdef";
    unsigned char raw[32];
    char text[2 * sizeof raw + 1];
    size_t have = 0;
    size_t i;
    char *pTmp = malloc(strlen(pPath) + sizeof ".XXXXXX");
    int fd;
    int ok;

    while (have < sizeof raw) {
        ssize_t n = getrandom(raw + have, sizeof raw - have, 0);
        if (n < 0 && errno != EINTR)
            break;
        have += n > 0 ? (size_t)n : 0;
    }
    if (have < sizeof raw || pTmp == NULL) {
        perror("kxshell: --make-token");
        free(pTmp);
        return 1;
    }
    for (i = 0; i < sizeof raw; i++) {
        text[2 * i] = kHex[raw[i] >> 4];
        text[2 * i + 1] = kHex[raw[i] & 15];
    }
    text[sizeof text - 1] = '\n';
    strcpy(pTmp, pPath);
    strcat(pTmp, ".XXXXXX");
    fd = mkstemp(pTmp); /* mode 0600 */
    ok = fd >= 0 && fchmod(fd, 0600) == 0 && write(fd, text, sizeof text) == (ssize_t)sizeof text &&
         fsync(fd) == 0;
    if (fd >= 0 && close(fd) != 0)
        ok = 0;
    ok = ok && rename(pTmp, pPath) == 0;
    if (!ok) {
        fprintf(stderr, "kxshell: --make-token: cannot write \"%s\": %s\n", pPath, strerror(errno));
        if (fd >= 0)
            unlink(pTmp);
    }
    memset(raw, 0, sizeof raw);
    memset(text, 0, sizeof text);
    free(pTmp);
    return ok ? 0 : 1;
}

/* ======================================================================
 * Command line
 * ====================================================================== */

static const char gUsage[] =
    "usage: kxshell [--no-history] [-e] [<script> | -c <line> | --help]\n"
    "  (none)        read commands from standard input, with a prompt; on a\n"
    "                terminal with line editing, history and Tab completion\n"
    "  <script>      run the commands of a file; every line that fails is\n"
    "                named on standard error: FILE:LINE: command: what (status)\n"
    "  -c <line>     run one command line\n"
    "  -e, --stop-on-error\n"
    "                stop a script at its first failing line, also inside a\n"
    "                file it sources; at the prompt, scripts run by source\n"
    "  --no-history  keep no history file (default: $HOME/.kxshell_history)\n"
    "  --serve       serve the automation protocol on standard input and output\n"
    "  --listen [ADDR:]PORT [--token-file FILE] [--audit FILE]\n"
    "           [--sessions N] [--idle SECONDS]\n"
    "                serve it on TCP (loopback unless ADDR; others need a token;\n"
    "                at most N sessions, default 4; idle ones closed, 300 s)\n"
    "  --make-token FILE\n"
    "                write a new random token into FILE, readable by you alone\n"
    "  --help        print this text\n"
    "A script run by source, also at the prompt, gets the same notes; on a\n"
    "terminal, Ctrl-C ends it after its current line.\n"
    "exit status: 0, or 2 for a wrong command line; with -c: 127 unknown\n"
    "  command, 2 bad arguments, 1 the command failed; with <script>: 1 when\n"
    "  a line failed, 2 when it cannot be opened\n";

static const char gHistoryName[] = "/.kxshell_history"; /* in $HOME */

enum { MODE_LOOP, MODE_FILE, MODE_LINE, MODE_HELP, MODE_BAD, MODE_SERVE, MODE_TOKEN };

/* Works out what to do from the arguments; *ppText gets the script path
 * or the line, *pHistory whether to keep a history file, *pStop whether
 * scripts stop at their first failing line.  The options come first, in
 * any order. */
static int ParseArgs(int argc, char **argv, const char **ppText, int *pHistory, int *pStop)
{
    *ppText = NULL;
    *pHistory = 1;
    *pStop = 0;
    for (; argc > 1; argc--, argv++) {
        if (strcmp(argv[1], "--no-history") == 0)
            *pHistory = 0;
        else if (strcmp(argv[1], "-e") == 0 || strcmp(argv[1], "--stop-on-error") == 0)
            *pStop = 1;
        else
            break;
    }
    if (argc == 1)
        return MODE_LOOP;
    if (strcmp(argv[1], "--serve") == 0 || strcmp(argv[1], "--listen") == 0)
        return MODE_SERVE; /* RunServe reads the rest */
    if (argc == 2 && strcmp(argv[1], "--help") == 0)
        return MODE_HELP;
    if (argc == 3 && strcmp(argv[1], "--make-token") == 0) {
        *ppText = argv[2];
        return MODE_TOKEN;
    }
    if (argc == 3 && strcmp(argv[1], "-c") == 0) {
        *ppText = argv[2];
        return MODE_LINE;
    }
    if (argc == 2 && argv[1][0] != '-') {
        *ppText = argv[1];
        return MODE_FILE;
    }
    return MODE_BAD;
}

/*
 * The exit status of -c, from the status of its line:
 *   127  unknown or ambiguous command (0xFFFFFF02)
 *   2    the words do not fit the command (0xFFFFFF03..0xFFFFFF06)
 *   1    the command failed: a status with the top bit set (the library's
 *        own failures, such as -1 from an msleep cut short), or one of this
 *        shell's commands reported an error (also inside dev)
 *   0    anything else: success (echo returns the count that puts gives),
 *        a comment, or an empty line
 */
static int ExitStatus(uint32_t status)
{
    if (status == kxMUtiCmd_StatusUnknown)
        return 127;
    if (status >= kxMUtiCmd_StatusTooMany && status <= kxMUtiCmd_StatusListNotFinal)
        return 2;
    if (status == kxMUtiCmd_StatusNoWords)
        return 0;
    if ((status & 0x80000000u) != 0 || gShellFailed)
        return 1;
    return 0;
}

/* A script line failed when its status says so, or when one of this
 * shell's handlers reported an error while it ran (as for -c).  The flag
 * is taken: a source line must not fail for an error that a line of the
 * sourced file reported (that line was named already). */
static int ScriptLineFailed(kxMUtiCmd_Exec_t *pExec, uint32_t status, void *pUser)
{
    int failed = kxMUtiCon_StatusFailed(status) || gShellFailed;

    (void)pExec;
    (void)pUser;
    gShellFailed = 0;
    return failed;
}

/* Before each script line: no error reported yet. */
static void ScriptLineStart(kxMUtiCmd_Exec_t *pExec, void *pUser)
{
    (void)pExec;
    (void)pUser;
    gShellFailed = 0;
}

/* How scripts run, here and by source at the prompt: the shell's rule for
 * a failed line, one note per failure on standard error, and -e. */
static kxMUtiCon_RunOpts_t ScriptOpts(int stopOnError)
{
    kxMUtiCon_RunOpts_t opts;

    memset(&opts, 0, sizeof opts);
    opts.flags = stopOnError ? kxMUtiCon_RunStopOnError : 0;
    opts.failed = ScriptLineFailed;
    opts.before = ScriptLineStart;
    opts.onFailure = kxMUtiCon_RunReport; /* pUser null: standard error */
    return opts;
}

/* Runs a script through the runner, which reports each failing line.
 * 0 when none failed, 1 when one did, 2 when the file cannot be opened
 * (the interpreter says so). */
static int RunScript(const char *pPath, int stopOnError)
{
    kxMUtiCon_RunOpts_t opts = ScriptOpts(stopOnError);
    kxMUtiCon_RunSummary_t sum;
    int status;

    /* a null context means the global one */
    if (kxMUtiCon_RunFile(NULL, pPath, &opts, &sum) != KX_OK)
        status = 2;
    else
        status = sum.nFailed != 0 ? 1 : 0;
    kxMUtiCon_RunSummaryDeInit(&sum);
    return status;
}

/* The interactive loop, with the history in $HOME unless switched off;
 * scripts that source runs are reported as scripts given on the command
 * line are. */
static int RunLoop(int history, int stopOnError)
{
    const char *pHome = getenv("HOME");
    char *pPath = NULL;
    kxMUtiCon_RunOpts_t opts = ScriptOpts(stopOnError);

    if (history && pHome != NULL && *pHome != '\0') {
        pPath = malloc(strlen(pHome) + sizeof gHistoryName);
        if (pPath != NULL) {
            strcpy(pPath, pHome);
            strcat(pPath, gHistoryName);
            kxMUtiCon_HistorySet(pPath, 0); /* copies the path */
            free(pPath);
        }
    }
    /* source at the prompt reports as a script does (the options are copied) */
    kxMUtiCon_SourceOptsSet(&opts);

    kxMUtiCon_Loop(NULL);          /* plain reads when not on a terminal */
    kxMUtiCon_HistorySet(NULL, 0); /* each line is in the file already; drop its name */
    return 0;
}

int main(int argc, char **argv)
{
    const char *pText;
    int history;
    int stopOnError;
    int mode = ParseArgs(argc, argv, &pText, &history, &stopOnError);

    /* The terminal's character set (UTF-8, say) for the line editor; the
     * interpreter reads words and numbers the same in every locale. */
    setlocale(LC_ALL, "");
    if (mode == MODE_HELP) {
        fputs(gUsage, stdout);
        return 0;
    }
    if (mode == MODE_BAD) {
        fputs(gUsage, stderr);
        return 2;
    }
    if (mode == MODE_TOKEN)
        return MakeToken(pText);

    kxMUtiCmd_Init(0); /* memory-space word: the process heap */
    if (!RegisterGlobalCommands() || !RegisterFrontEnd() || !AttachCompleters()) {
        fputs("kxshell: out of memory while registering commands\n", stderr);
        return 1;
    }

    if (mode == MODE_SERVE)
        return RunServe(argc - 1 - !history, argv + 1 + !history);
    if (mode == MODE_FILE)
        return RunScript(pText, stopOnError);
    if (mode == MODE_LOOP)
        return RunLoop(history, stopOnError);
    /* A -c line is typed by a person, as at the prompt: dev may enter its
     * loop.  The bit only tells handlers so; ExecLine prints no prompt. */
    kxMUtiCmd_ExecGlobal()->flags |= kxMUtiCmd_ExecFlagInteractive;
    return ExitStatus(kxMUtiCmd_ExecLine(NULL, pText));
}

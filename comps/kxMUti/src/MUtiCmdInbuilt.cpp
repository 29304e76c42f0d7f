/*
 * MUtiCmdInbuilt.cpp - the eight commands every table starts with: help,
 * quit, msleep, autosleep, verbose, echo, source and the comment command.
 *
 * Handlers get their arguments from the invoke formats in kInbuilts, so
 * each one trusts its slots: "%E" is a context, "%u" a number, "%s" a word.
 */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "MUtiCmd.h"

namespace {

constexpr const char *kHelpHeadFormat = "%-16s %s";
constexpr const char *kMsgParent1 = "Commands are also available from the parent environment.";
constexpr const char *kMsgParent2 =
    "Use .<name> to start a command search in the parent environment.";
constexpr int kHelpNameWidth = 16; /* names are padded to this, then one blank */

inline kxMUtiCmd_Exec_t *MUtiCmd_Ctx(kxWord_t word)
{
    return reinterpret_cast<kxMUtiCmd_Exec_t *>(word);
}

inline const char *MUtiCmd_Text(kxWord_t word)
{
    return reinterpret_cast<const char *>(word);
}

/* Whether the help listing shows a definition for this substring. */
bool MUtiCmd_HelpListed(const kxMUtiCmd_Def_t *pDef, const char *pSub)
{
    if (pSub == nullptr)
        return true;
    if (strstr(pDef->pName, pSub) != nullptr)
        return true;
    if (pDef->pAlias != nullptr && strstr(pDef->pAlias, pSub) != nullptr)
        return true;
    return pDef->pHelp != nullptr && strstr(pDef->pHelp, pSub) != nullptr;
}

/*
 * Prints one definition: the padded name, the alias in braces, then the
 * help text, whose inner line breaks continue under the help column.  The
 * pieces are written straight to standard output, so no name, alias or help
 * line is ever too long for a buffer.
 */
void MUtiCmd_HelpEntry(const kxMUtiCmd_Def_t *pDef)
{
    printf("%-*s ", kHelpNameWidth, pDef->pName);
    if (pDef->pAlias != nullptr && pDef->pAlias[0] != '\0')
        printf("{%s} ", pDef->pAlias);
    const char *pText = pDef->pHelp != nullptr ? pDef->pHelp : "";
    for (;;) {
        const char *pBreak = strchr(pText, '\n');
        if (pBreak == nullptr || pBreak[1] == '\0') {
            const size_t n =
                pBreak != nullptr ? static_cast<size_t>(pBreak - pText) : strlen(pText);
            fwrite(pText, 1, n, stdout);
            putchar('\n');
            return;
        }
        fwrite(pText, 1, static_cast<size_t>(pBreak - pText), stdout);
        printf("\n%-*s ", kHelpNameWidth, "");
        pText = pBreak + 1;
    }
}

/* help [substring]: lists the commands of the context's own table. */
uint32_t MUtiCmd_InbuiltHelp(kxWord_t exec, kxWord_t sub, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                             kxWord_t, kxWord_t, kxWord_t, kxWord_t)
{
    const kxMUtiCmd_Exec_t *pExec = MUtiCmd_Ctx(exec);
    const char *pSub = MUtiCmd_Text(sub);
    printf(kHelpHeadFormat, "Command Name", "{alias} (args...)\n");
    printf(kHelpHeadFormat, "----------------",
           "----------------------------------------------------------------\n");
    /* A context without a table of its own searches the global one. */
    const kxMUtiCmd_Defs_t *pDefs = MUtiCmd_DefsSelect(pExec->pDefs);
    for (uint32_t i = 0; pDefs != nullptr && i < pDefs->nDefs; i++) {
        const auto *pDef = static_cast<const kxMUtiCmd_Def_t *>(pDefs->pDefVec->pEntries[i]);
        if (MUtiCmd_HelpListed(pDef, pSub))
            MUtiCmd_HelpEntry(pDef);
    }
    if (pExec->pParent != nullptr) {
        puts(kMsgParent1);
        puts(kMsgParent2);
    }
    return KX_OK;
}

/* quit: ends the loop running in this context after this line. */
uint32_t MUtiCmd_InbuiltQuit(kxWord_t exec, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                             kxWord_t, kxWord_t, kxWord_t, kxWord_t)
{
    MUtiCmd_Ctx(exec)->flags |= kxMUtiCmd_ExecFlagQuit;
    return KX_OK;
}

/* msleep n: sleeps n ms; 0, or 0xFFFFFFFF when a signal cut it short. */
uint32_t MUtiCmd_InbuiltMilliSleep(kxWord_t ms, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                                   kxWord_t, kxWord_t, kxWord_t, kxWord_t)
{
    return MUtiCmd_SleepMs(static_cast<uint32_t>(ms));
}

/* autosleep n: sleep n ms after every command from this one on; 0 stops it. */
uint32_t MUtiCmd_InbuiltAutoSleep(kxWord_t exec, kxWord_t ms, kxWord_t, kxWord_t, kxWord_t,
                                  kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t)
{
    MUtiCmd_Ctx(exec)->autoSleepMs = static_cast<uint32_t>(ms);
    return KX_OK;
}

/* verbose n: any n but 0 echoes each line before it runs. */
uint32_t MUtiCmd_InbuiltVerbose(kxWord_t exec, kxWord_t on, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                                kxWord_t, kxWord_t, kxWord_t, kxWord_t)
{
    kxMUtiCmd_Exec_t *pExec = MUtiCmd_Ctx(exec);
    if (static_cast<uint32_t>(on) != 0)
        pExec->flags |= kxMUtiCmd_ExecFlagVerbose;
    else
        pExec->flags &= ~static_cast<uint32_t>(kxMUtiCmd_ExecFlagVerbose);
    return KX_OK;
}

/* echo ...: prints the rest of the line as typed, line end included. */
uint32_t MUtiCmd_InbuiltEcho(kxWord_t text, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                             kxWord_t, kxWord_t, kxWord_t, kxWord_t)
{
    return static_cast<uint32_t>(puts(MUtiCmd_Text(text)));
}

/*
 * source path: runs a script on the calling context.  kxMUtiCmd_ExecFile
 * does the work; this gives it the handler's ten-word shape, so the call
 * through the table is a call of the right type.
 */
uint32_t MUtiCmd_InbuiltSource(kxWord_t exec, kxWord_t path, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                               kxWord_t, kxWord_t, kxWord_t, kxWord_t)
{
    kxMUtiCmd_ExecFile(MUtiCmd_Ctx(exec), MUtiCmd_Text(path));
    return KX_OK;
}

/* The comment command: lines that reach it do nothing. */
uint32_t MUtiCmd_InbuiltComment(kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                                kxWord_t, kxWord_t, kxWord_t, kxWord_t)
{
    return KX_OK;
}

struct Inbuilt {
    const char *pName; /* null: the comment command, named at start-up */
    const char *pAlias;
    uint32_t flags;
    const char *pFormat;
    kxMUtiCmd_Handler_t handler;
    const char *pHelp;
};

/* ORDER: registration order is the order of the help listing. */
constexpr std::array<Inbuilt, 8> kInbuilts{{
    {"help", "?", 0, "%E%s?", MUtiCmd_InbuiltHelp,
     "([<substring>]) Prints commands.\nOptional substring used for matching commands.\n"},
    {"quit", nullptr, 0, "%E", MUtiCmd_InbuiltQuit, "Quits command loop"},
    {"msleep", nullptr, 0, "%u", MUtiCmd_InbuiltMilliSleep, "(<n>) Sleeps for <n> milliseconds"},
    {"autosleep", nullptr, 0, "%E%u", MUtiCmd_InbuiltAutoSleep,
     "(<n>) Sleeps for <n> milliseconds after every command"},
    {"verbose", nullptr, 0, "%E%u", MUtiCmd_InbuiltVerbose,
     "(<0|1>) Prints commands as they are executed"},
    {"echo", nullptr, 0, "%l", MUtiCmd_InbuiltEcho, "(...) prints its arguments"},
    {"source", nullptr, 0, "%E%s", MUtiCmd_InbuiltSource,
     "([<path>]) Executes commands from a file."},
    {nullptr, nullptr, kxMUtiCmd_DefFlagFirstChar, "", MUtiCmd_InbuiltComment,
     "Comment line - ignored"},
}};

} // namespace

uint32_t MUtiCmd_SleepMs(uint32_t ms)
{
    const uint32_t us = ms * 1000u; /* wraps at 2^32 */
    const timespec ts{static_cast<time_t>(us / 1000000u), static_cast<long>(us % 1000000u) * 1000};
    /* No retry on EINTR: an interrupted sleep ends, so a host's signal
     * handler can stop a long msleep. */
    return nanosleep(&ts, nullptr) == 0 ? KX_OK : 0xFFFFFFFFu;
}

void MUtiCmd_InbuiltRegister(kxMUtiCmd_Defs_t *pDefs)
{
    for (const Inbuilt &cmd : kInbuilts) {
        const char *pName = cmd.pName != nullptr ? cmd.pName : gMUtiCmd_CommentStr;
        kxMUtiCmd_Add(pDefs, cmd.handler, pName, cmd.pAlias, cmd.flags, cmd.pFormat, 0, cmd.pHelp);
    }
}

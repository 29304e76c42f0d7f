/*
 * ConPlain.cpp - the console's loops in a build without libedit.
 *
 * Such a build (a machine without libedit's development files) has no line
 * editing: the loops are the interpreter's own, exactly what an editing
 * build runs when standard input or output is not a terminal.  Completion
 * (ConComplete.cpp) needs no libedit and is the same in both builds.
 */
#include <ctype.h>

#include "Con.h"

extern "C" {

/* No history is kept without an editor: nothing to name or bound. */
KX_API uint32_t kxMUtiCon_HistorySet(const char *, uint32_t)
{
    return KX_OK;
}

/* source typed here runs through the script runner, as in the editing
 * build. */
KX_API void kxMUtiCon_Loop(kxMUtiCmd_Exec_t *pExec)
{
    ConRun_Loop(pExec);
}

KX_API void kxMUtiCon_SubLoop(kxMUtiCmd_Exec_t *pExec, const char *pText)
{
    const char *p = pText;
    while (p != nullptr && *p != '\0' && isspace(static_cast<unsigned char>(*p)))
        p++;
    if (p != nullptr && *p != '\0')
        kxMUtiCon_RunLine(pExec, p);
    else
        ConRun_Loop(pExec);
}

} // extern "C"

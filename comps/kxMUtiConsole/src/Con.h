/*
 * Con.h - what the console's two halves share: its bounds, and the
 * completion core that the editor's Tab key calls.
 */
#ifndef KX_CON_H
#define KX_CON_H

#include "kxMUtiConsole.h"

/* Contexts walked up a parent chain before giving up.  The interpreter
 * leaves cycles to the host; completion must still end.  Real chains are
 * two or three contexts long. */
#if !defined(KXCON_MAX_CHAIN)
#define KXCON_MAX_CHAIN 64u
#endif

/* History length when the host gives none: a few days of bring-up work,
 * and a file of a few tens of kilobytes at most. */
#if !defined(KXCON_HISTORY_DEFAULT)
#define KXCON_HISTORY_DEFAULT 500u
#endif

/* Characters handed to the interpreter per call, as its own loop reads
 * them (1023 and a NUL in a 1024-byte read). */
#if !defined(KXCON_LINE_PIECE)
#define KXCON_LINE_PIECE 1023u
#endif

/* Attached completers are few (one per command at most). */
#if !defined(KXCON_COMPLETERS_INITIAL)
#define KXCON_COMPLETERS_INITIAL 8u
#endif

/* The script runner's side of the loops (ConRun.cpp): a line, or the plain
 * interactive loop, run so that source goes through the runner; and the
 * one-line notice, on standard error, of a script that a cancel stopped
 * (nothing when none did). */
uint32_t ConRun_Line(kxMUtiCmd_Exec_t *pExec, const char *pLine);
void ConRun_Loop(kxMUtiCmd_Exec_t *pExec);
void ConRun_CancelNotice();

#endif /* KX_CON_H */

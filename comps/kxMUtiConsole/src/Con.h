/*
 * Con.h - what the console's two halves share: its bounds, and the
 * completion core that the editor's Tab key calls.
 *
 * The bounds it shares with the interpreter (the parent-chain walk, the
 * piece of a line handed over at a time) and the interpreter's blank class
 * come from the interpreter's own private headers, reached through a
 * private include path, so the two cannot drift apart.  Including them adds
 * nothing to libkxMUti.so: they hold macros and constexpr tables only.
 */
#ifndef KX_CON_H
#define KX_CON_H

#include "MUtiLimits.h"
#include "MUtiText.h"
#include "kxMUtiConsole.h"

/* History length when the host gives none: a few days of bring-up work,
 * and a file of a few tens of kilobytes at most. */
#if !defined(KXCON_HISTORY_DEFAULT)
#define KXCON_HISTORY_DEFAULT 500u
#endif

/* Attached completers are few (one per command at most). */
#if !defined(KXCON_COMPLETERS_INITIAL)
#define KXCON_COMPLETERS_INITIAL 8u
#endif

/* The script runner's side of the loops (ConRun.cpp): a line, or the plain
 * interactive loop, run so that source goes through the runner; and the
 * one-line notice, on standard error, of a script that a cancel stopped
 * (nothing when none did). */
void ConRun_Loop(kxMUtiCmd_Exec_t *pExec);
void ConRun_CancelNotice();

/* Drops the notice of a cancelled script without printing it. */
void ConRun_NoticeDrop();

#endif /* KX_CON_H */

/*
 * kxMUtiConsole.h - line editing, history and completion for the command
 * interpreter's interactive loop.
 *
 * A companion of libkxMUti.so built on libedit: kxMUtiCon_Loop and
 * kxMUtiCon_SubLoop are drop-in replacements for kxMUtiCmd_ExecLoop and
 * kxMUtiCmd_ExecSubLoop that edit the line when standard input and output
 * are terminals, and are exactly those functions otherwise.  Completion is
 * available on its own (kxMUtiCon_Complete) to any front end, with or
 * without a terminal.  Uses only the interpreter's public interface.
 * Like the interpreter: one thread, no locks.
 */
#ifndef KX_MUTI_CONSOLE_H
#define KX_MUTI_CONSOLE_H

#include "kxCommon.h"
#include "kxMUtiCmd.h"
#include "kxMUtiVec.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Loops --------------------------------------------------------------- */

/*
 * The interactive loop of pExec (null: the global context).  When standard
 * input and output are both terminals, lines are read with editing,
 * history and Tab completion; every rule of kxMUtiCmd_ExecLoop about the
 * context holds: the interactive bit is set and stays set, the quit bit is
 * cleared at entry and ends the loop (also when a sourced file set it), the
 * prompt is read from the context before every line, each line is handed to
 * kxMUtiCmd_ExecLine with its line end, at most 1023 characters at a time.
 * End of input (Ctrl-D on an empty line) ends the loop.
 *
 * Ctrl-C at the prompt abandons the line.  While a command runs, Ctrl-C
 * interrupts the built-in sleeps (msleep, autosleep), what the command
 * prints next starts a new line, and the loop goes on at the next prompt;
 * the process is never ended by it.  Nothing else interrupts a command: the
 * console's SIGWINCH handler (window resizes) is in place only while a line
 * is read, the caller's action while a command runs.  When the outermost
 * loop returns, the caller's signal mask and SIGINT and SIGWINCH actions
 * are exactly what they were.
 *
 * Characters beyond ASCII are decoded and shown by the C library's current
 * locale, so a host calls setlocale(LC_ALL, "") (LC_CTYPE at least) before
 * the loop; in the default "C" locale such bytes are not characters, and
 * the editor drops them with a bell.  Words are parted as the interpreter
 * parts them whatever the locale.
 *
 * Otherwise (not a terminal, or the editor cannot start) this is exactly
 * kxMUtiCmd_ExecLoop.
 */
KX_API void kxMUtiCon_Loop(kxMUtiCmd_Exec_t *pExec);

/*
 * kxMUtiCmd_ExecSubLoop with editing: text that holds a non-blank character
 * runs as one line on pExec (exactly kxMUtiCmd_ExecSubLoop); null, empty or
 * blank text holds kxMUtiCon_Loop on pExec until quit or end of input, after
 * which the caller's loop goes on.  Nested loops share one editor and one
 * history.
 */
KX_API void kxMUtiCon_SubLoop(kxMUtiCmd_Exec_t *pExec, const char *pText);

/*
 * Names the history file and bounds the history (0: 500 entries).  The file
 * is read when the outermost loop starts editing; each line entered is
 * appended to it at once (blank lines and a line equal to the one before
 * are not), so a hangup or SIGTERM loses nothing and several shells on one
 * file merge their lines.  Appends and the rewrites below take an advisory
 * lock (flock) on the file.  The file is cut back to its newest maxEntries
 * lines when a loop starts with a longer one, and after every maxEntries
 * lines the process appended.  A null path keeps the history in memory only
 * and releases the copy of an earlier path (a host may call
 * kxMUtiCon_HistorySet(NULL, 0) after its loop to leave nothing allocated).
 * The path is copied.  Returns KX_OK, or KX_ERR_NOMEM with the previous
 * setting kept.
 */
KX_API uint32_t kxMUtiCon_HistorySet(const char *pPath, uint32_t maxEntries);

/* ---- Completion ------------------------------------------------------------ */

/*
 * Completion candidates for the word that ends at a cursor: each candidate
 * is the whole replacement of pLine[start .. cursor), owned by the record.
 */
typedef struct kxMUtiCon_Completion_s {
    uint32_t start;         /* offset of the word being completed; <= cursor */
    uint32_t wordIndex;     /* 0: the command word, 1: its first argument, ... */
    kxMUtiVec_t candidates; /* char * entries, malloc'ed; sorted, no duplicates */
} kxMUtiCon_Completion_t;

/*
 * A host's completer for the arguments of one command.  pWord is the part
 * of argument number argIndex (1 = first) typed so far; add every
 * candidate with kxMUtiCon_CompletionAdd (order and duplicates do not
 * matter).  Returns KX_OK, or KX_ERR_NOMEM to abandon the completion.
 */
typedef uint32_t (*kxMUtiCon_ArgCompleter_t)(kxMUtiCon_Completion_t *pOut, kxMUtiCmd_Exec_t *pExec,
                                             const kxMUtiCmd_Def_t *pDef, uint32_t argIndex,
                                             const char *pWord, void *pUser);

/*
 * Fills *pOut (its previous contents are not looked at) with the candidates
 * for the word of pLine that ends at byte offset cursor (clamped to the
 * line's length), for a line run on pExec (null: the global context).
 * Words are parted as the interpreter parts them: by its fixed blanks
 * (space, tab, line ends, vertical tab, form feed), whatever the locale:
 *  - the command word: names and aliases of the context's table and of
 *    every table up the parent chain, each text once; leading dots are kept
 *    and skip one context each (".m" completes from the parent on); the
 *    comment command is not offered;
 *  - an argument: what the completer attached to the command the line
 *    selects (found as kxMUtiCmd_ExecLine finds it) gives; the built-in
 *    source completes file names unless a completer is attached to it;
 *    other commands give none.
 * A comment line gives none.  A front end completes a single candidate and
 * adds a blank unless it ends in '/', and lists several.  Returns KX_OK, or
 * KX_ERR_NOMEM with *pOut empty; release *pOut with
 * kxMUtiCon_CompletionDeInit either way.
 */
KX_API uint32_t kxMUtiCon_Complete(kxMUtiCmd_Exec_t *pExec, const char *pLine, uint32_t cursor,
                                   kxMUtiCon_Completion_t *pOut);

/* Adds a copy of pCandidate.  Returns KX_OK or KX_ERR_NOMEM (not added). */
KX_API uint32_t kxMUtiCon_CompletionAdd(kxMUtiCon_Completion_t *pOut, const char *pCandidate);

/* Frees the candidates and their vector.  Cannot fail. */
KX_API void kxMUtiCon_CompletionDeInit(kxMUtiCon_Completion_t *pOut);

/*
 * Attaches completer (with pUser) to the arguments of pDef, replacing one
 * attached before; a null completer detaches.  Definitions are never freed,
 * so the pointer identifies the command for good, also after it is
 * redefined.  Returns KX_OK, or KX_ERR_NOMEM with nothing changed.
 */
KX_API uint32_t kxMUtiCon_CompleterSet(const kxMUtiCmd_Def_t *pDef,
                                       kxMUtiCon_ArgCompleter_t completer, void *pUser);

/*
 * A ready completer for arguments that are paths: the entries of the
 * folder named by pWord up to its last '/' (the working folder when there
 * is none) that begin with the rest of pWord, folders with a trailing '/'.
 * Names beginning with '.' only when the typed part does.  pUser unused.
 */
KX_API uint32_t kxMUtiCon_CompleteFileName(kxMUtiCon_Completion_t *pOut, kxMUtiCmd_Exec_t *pExec,
                                           const kxMUtiCmd_Def_t *pDef, uint32_t argIndex,
                                           const char *pWord, void *pUser);

/*
 * A ready completer for commands whose arguments are a command line run in
 * another context (a host's "dev <command>" runs it on a chip's context) or
 * in the same one ("rc <command>"): the text from the first argument to
 * the cursor is completed as a line of its own on the context pUser
 * (kxMUtiCmd_Exec_t *; null: pExec, the context the line is typed in), so
 * its command word comes from that context's chain and its arguments from
 * the completers attached there.  Attach it with kxMUtiCon_CompleterSet;
 * commands that take it may nest ("rc dev tu" completes "tune").  Called
 * outside kxMUtiCon_Complete, pWord alone is taken as the line.
 */
KX_API uint32_t kxMUtiCon_CompleteCommandLine(kxMUtiCon_Completion_t *pOut, kxMUtiCmd_Exec_t *pExec,
                                              const kxMUtiCmd_Def_t *pDef, uint32_t argIndex,
                                              const char *pWord, void *pUser);

#ifdef __cplusplus
}
#endif

#endif /* KX_MUTI_CONSOLE_H */

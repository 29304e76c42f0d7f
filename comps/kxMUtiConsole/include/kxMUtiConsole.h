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
 * interrupts the built-in sleeps (msleep, autosleep), ends a script that
 * source runs after its current line (kxMUtiCon_Cancel; one notice names
 * where it stopped, on standard error), what the command prints next
 * starts a new line, and the loop goes on at the next prompt; the process
 * is never ended by it.  Nothing else interrupts a command: the console's
 * SIGWINCH handler (window resizes) is in place only while a line is read,
 * the caller's action while a command runs.  When the outermost loop
 * returns, the caller's signal mask and SIGINT and SIGWINCH actions are
 * exactly what they were.
 *
 * Characters beyond ASCII are decoded and shown by the C library's current
 * locale, so a host calls setlocale(LC_ALL, "") (LC_CTYPE at least) before
 * the loop; in the default "C" locale such bytes are not characters, and
 * the editor drops them with a bell.  Words are parted as the interpreter
 * parts them whatever the locale.
 *
 * Otherwise (not a terminal, or the editor cannot start) this is
 * kxMUtiCmd_ExecLoop, the same bytes on standard output.
 *
 * Either way, source runs its script through the runner below with the
 * options of kxMUtiCon_SourceOptsSet.
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

/* ---- Cancelling ------------------------------------------------------------ */

/*
 * Asks the script running now to stop: a script run by the runner below
 * (kxMUtiCon_RunFile, kxMUtiCon_RunFP, or source through the console's
 * loop) ends after its current line, nested scripts and the scripts around
 * them included.  Only sets a flag, so it may be called from a signal
 * handler or another thread.  The flag stays set until
 * kxMUtiCon_CancelClear: every run that meets it stops at its next line.
 * The console's loop sets it on Ctrl-C while a command runs and clears it
 * before each line it runs.
 */
KX_API void kxMUtiCon_Cancel(void);

/* Non-zero while a cancel is pending; a long handler may poll it. */
KX_API int kxMUtiCon_Cancelled(void);

/* Drops a pending cancel, and the console loop's notice of a script one
 * stopped ("script stopped by Ctrl-C") if it is not printed yet.  Call it
 * before work a cancel should stop.  Not for signal handlers. */
KX_API void kxMUtiCon_CancelClear(void);

/* ---- Scripts ----------------------------------------------------------------- */

/*
 * A script runner that reports.  It runs a file or a stream exactly as
 * kxMUtiCmd_ExecFile and kxMUtiCmd_ExecFP do (the same bytes on standard
 * output, the same 1023-character pieces, the same quit, verbose,
 * interactive-bit, nesting-bound and file-name rules; a source line in the
 * script is run by the runner too) and counts the lines run and the lines
 * that failed, naming each failure by its file and line number.
 */

/* Recorded for a source line whose file was not run (it cannot be opened,
 * or scripts nest too deep); the line's own status was KX_OK.  Never a
 * status of the interpreter. */
#define kxMUtiCon_StatusNotRun 0xFFFFFF10u

/*
 * The rule for a failed line: 1 when status has its top bit set and is not
 * kxMUtiCmd_StatusNoWords (an empty line), else 0.  So an unknown or
 * ambiguous command, the argument statuses 0xFFFFFF03..0xFFFFFF06 and a
 * handler's status with the top bit set (-1 from an msleep cut short) fail;
 * KX_OK, a comment and small statuses (echo's character count) do not.
 */
KX_API int kxMUtiCon_StatusFailed(uint32_t status);

/* One failing line.  The strings belong to the record. */
typedef struct kxMUtiCon_RunFailure_s {
    const char *pFile; /* the script as named (the source word, the path given), "-" for none */
    uint32_t line;     /* line number in that file, from 1; pieces of a long line share it */
    uint32_t status;   /* what kxMUtiCmd_ExecLine returned, or kxMUtiCon_StatusNotRun */
    const char *pText; /* the line as read, without its line end; up to a NUL byte */
} kxMUtiCon_RunFailure_t;

/*
 * A host's own rule: non-zero when the line that just ran on pExec with
 * status failed.  Called after every line; a host whose handlers report
 * errors otherwise (a flag) combines that with kxMUtiCon_StatusFailed.
 */
typedef int (*kxMUtiCon_FailedFn_t)(kxMUtiCmd_Exec_t *pExec, uint32_t status, void *pUser);

/* Called before every line (a host clears its error flag here). */
typedef void (*kxMUtiCon_LineFn_t)(kxMUtiCmd_Exec_t *pExec, void *pUser);

/* Called for each failing line as it happens; pFailure lives for the call. */
typedef void (*kxMUtiCon_FailureFn_t)(const kxMUtiCon_RunFailure_t *pFailure, void *pUser);

/* Bits of kxMUtiCon_RunOpts_t.flags. */
enum {
    kxMUtiCon_RunStopOnError = 1 /* end the run after the first failing line, nested or not */
};

/* How a run goes; a null options pointer means all zero. */
typedef struct kxMUtiCon_RunOpts_s {
    uint32_t flags;                  /* kxMUtiCon_Run... bits */
    kxMUtiCon_FailedFn_t failed;     /* the failure rule; null: kxMUtiCon_StatusFailed */
    kxMUtiCon_LineFn_t before;       /* called before each line; may be null */
    kxMUtiCon_FailureFn_t onFailure; /* called for each failing line; may be null */
    void *pUser;                     /* handed to the three callbacks */
} kxMUtiCon_RunOpts_t;

/* How a run ended (kxMUtiCon_RunSummary_t.end). */
enum {
    kxMUtiCon_RunEndOfInput = 0, /* the last line ran */
    kxMUtiCon_RunQuit = 1,       /* quit ended it (the quit bit stays set, as ever) */
    kxMUtiCon_RunStopped = 2,    /* stopped at a failing line (kxMUtiCon_RunStopOnError) */
    kxMUtiCon_RunCancelled = 3,  /* stopped by kxMUtiCon_Cancel */
    kxMUtiCon_RunNotRun = 4      /* the file could not be opened; nothing ran */
};

/* What a run did; nested scripts included. */
typedef struct kxMUtiCon_RunSummary_s {
    uint32_t nLines;      /* lines run (kxMUtiCmd_ExecLine calls: a long line counts per piece) */
    uint32_t nFailed;     /* of those, lines that failed; >= failures.used */
    uint32_t end;         /* kxMUtiCon_Run... end */
    uint32_t endLine;     /* stopped or cancelled: line number of the last line run, else 0 */
    char *pEndFile;       /* its file, malloc'ed; null unless endLine != 0 */
    kxMUtiVec_t failures; /* kxMUtiCon_RunFailure_t * entries, in order; one whose storage
                             could not be had is counted in nFailed but not kept */
} kxMUtiCon_RunSummary_t;

/*
 * Runs the script pPath on pExec (null: the global context) as
 * kxMUtiCmd_ExecFile does, with pOpts (null: defaults), and fills *pSum
 * (may be null; its previous contents are not looked at).  A file that
 * cannot be opened gets the interpreter's message on standard output.
 * Returns KX_OK when the file ran (whatever its lines did), or
 * kxMUtiCon_StatusNotRun.  Release *pSum with kxMUtiCon_RunSummaryDeInit
 * either way.  Runs may nest (a handler may call the runner); one thread.
 */
KX_API uint32_t kxMUtiCon_RunFile(kxMUtiCmd_Exec_t *pExec, const char *pPath,
                                  const kxMUtiCon_RunOpts_t *pOpts, kxMUtiCon_RunSummary_t *pSum);

/*
 * Runs the lines of an open stream on pExec as kxMUtiCmd_ExecFP does
 * (prompt when the context's interactive bit is set; pFileName untouched);
 * failures are named pName (null: "-").  Returns KX_OK (a null stream:
 * kxMUtiCon_StatusNotRun, nothing run).  *pSum as above.
 */
KX_API uint32_t kxMUtiCon_RunFP(kxMUtiCmd_Exec_t *pExec, FILE *pFile, const char *pName,
                                const kxMUtiCon_RunOpts_t *pOpts, kxMUtiCon_RunSummary_t *pSum);

/*
 * Runs one line on pExec (null: the global context) exactly as
 * kxMUtiCmd_ExecLine does and returns its status, except that a source in
 * it runs its script through the runner, with the options of
 * kxMUtiCon_SourceOptsSet: kxMUtiCon_Cancel then ends that script after
 * its current line, and its failures are reported.  The console's loops run
 * every typed line so; a host that runs lines of its own (a server, a test
 * rig) calls it instead of kxMUtiCmd_ExecLine to get the same.
 */
KX_API uint32_t kxMUtiCon_RunLine(kxMUtiCmd_Exec_t *pExec, const char *pLine);

/* Frees what a summary holds and zeroes it.  Cannot fail. */
KX_API void kxMUtiCon_RunSummaryDeInit(kxMUtiCon_RunSummary_t *pSum);

/*
 * A ready onFailure callback: prints one note per failing line to pUser
 * (a FILE *; null: standard error) in the compiler convention,
 *   FILE:LINE: WORD: WHAT (status 0xXXXXXXXX)
 * where WORD is the line's command word and WHAT names the status.
 * Standard output is flushed first, so the note follows the interpreter's
 * own message when both go to one place.
 */
KX_API void kxMUtiCon_RunReport(const kxMUtiCon_RunFailure_t *pFailure, void *pUser);

/*
 * The options for scripts that source runs from the console's loops
 * (kxMUtiCon_Loop and kxMUtiCon_SubLoop, editing or not): such a script
 * goes through the runner, so Ctrl-C ends it after the current line and
 * these options report its failures.  Copied; null restores the defaults
 * (no callbacks, no stop).
 */
KX_API void kxMUtiCon_SourceOptsSet(const kxMUtiCon_RunOpts_t *pOpts);

#ifdef __cplusplus
}
#endif

#endif /* KX_MUTI_CONSOLE_H */

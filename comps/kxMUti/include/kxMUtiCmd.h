/*
 * kxMUtiCmd.h - the line-oriented command interpreter.
 *
 * A host calls kxMUtiCmd_Init once, registers commands with kxMUtiCmd_Add and
 * feeds text through kxMUtiCmd_ExecLine (one line), kxMUtiCmd_ExecFP (a
 * stream), kxMUtiCmd_ExecFile (a path), kxMUtiCmd_ExecLoop (standard input
 * with a prompt) or kxMUtiCmd_ExecSubLoop (a nested environment).
 *
 * Ownership: tables, definitions and contexts are never freed.  Every string
 * handed to the interpreter (names, aliases, formats, help texts, prompts) is
 * kept by pointer and must outlive the table or context that holds it.
 * A null table means the global table and a null context the global context
 * wherever a function says so.  There are no threads and no locks.
 */
#ifndef KX_MUTI_CMD_H
#define KX_MUTI_CMD_H

#include <stdio.h>

#include "kxCommon.h"
#include "kxDbg.h"
#include "kxMUtiStrx.h"
#include "kxMUtiVec.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Interpreter statuses.  Anything else from kxMUtiCmd_Exec or
 * kxMUtiCmd_ExecLine is the handler's own status, passed through. */
#define kxMUtiCmd_StatusNoWords 0xFFFFFF01u      /* the line holds no word */
#define kxMUtiCmd_StatusUnknown 0xFFFFFF02u      /* unknown or ambiguous command */
#define kxMUtiCmd_StatusTooMany 0xFFFFFF03u      /* more than ten slots, or words left over */
#define kxMUtiCmd_StatusTooFew 0xFFFFFF04u       /* a required word is missing */
#define kxMUtiCmd_StatusBadInteger 0xFFFFFF05u   /* a word does not convert */
#define kxMUtiCmd_StatusListNotFinal 0xFFFFFF06u /* + or * not on the last item */

/* Match kinds reported by kxMUtiCmd_DefsLookup and kxMUtiCmd_Match. */
enum {
    kxMUtiCmd_MatchNone = 0,   /* no command, or no unambiguous one */
    kxMUtiCmd_MatchPrefix = 1, /* the word is a prefix of exactly one name */
    kxMUtiCmd_MatchAlias = 2,  /* the word is the alias of exactly one command */
    kxMUtiCmd_MatchExact = 3   /* full name, or first character (FlagFirstChar) */
};

/* Bits of kxMUtiCmd_Def_t.flags. */
enum { kxMUtiCmd_DefFlagFirstChar = 1 }; /* any word starting with pName[0] matches */

/* Bits of kxMUtiCmd_Exec_t.flags. */
enum {
    kxMUtiCmd_ExecFlagVerbose = 1,    /* echo each line before it runs */
    kxMUtiCmd_ExecFlagQuit = 2,       /* stop the loop running in this context */
    kxMUtiCmd_ExecFlagInteractive = 4 /* print the prompt before each read */
};

/*
 * Every handler: ten word-sized arguments, filled from slot 0 as the
 * command's invoke format says, the rest zero; returns a 32-bit status.
 */
typedef uint32_t (*kxMUtiCmd_Handler_t)(kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3,
                                        kxWord_t a4, kxWord_t a5, kxWord_t a6, kxWord_t a7,
                                        kxWord_t a8, kxWord_t a9);

/* A command table. */
typedef struct kxMUtiCmd_Defs_s {
    uint32_t nDefs;       /* definitions held; == pDefVec->used */
    kxMUtiVec_t *pDefVec; /* kxMUtiCmd_Def_t pointers, in registration order */
} kxMUtiCmd_Defs_t;

/* One command definition; filled only by kxMUtiCmd_Add, never freed. */
typedef struct kxMUtiCmd_Def_s {
    uint32_t flags;              /* kxMUtiCmd_DefFlag... bits */
    kxWord_t userData;           /* opaque; handed over by conversion X */
    kxMUtiCmd_Handler_t handler; /* never null for a runnable command */
    const char *invokeFormat;    /* never null: "" for no parameters */
    const char *pHelp;           /* help text, may hold newlines; may be null */
    const char *pAlias;          /* second name typed in full; may be null */
    const char *pName;           /* the command's name */
} kxMUtiCmd_Def_t;

/*
 * An execution context.  Lines run on it share pLine, pArgs, pLineBuf,
 * pWords, nWords and pTempVec: a handler that runs further lines on the same
 * context (source does) replaces them, so it must be done with its own words
 * first.  The three containers belong to the context and are never replaced.
 */
typedef struct kxMUtiCmd_Exec_s {
    kxMUtiCmd_Defs_t *pDefs;           /* table searched first; null: the global one */
    struct kxMUtiCmd_Exec_s *pParent;  /* next context searched; null ends the chain */
    const char *pPrompt;               /* printed before interactive reads; may be null */
    const char *pLine;                 /* line being executed, the caller's pointer */
    const char *pArgs;                 /* the caller's line from the second word on */
    kxMUtiStrx_t *pLineBuf;            /* working copy, split into words in place */
    kxMUtiVec_t *pWords;               /* word pointers into pLineBuf->pBuf */
    uint32_t nWords;                   /* words on the line, command word included */
    kxMUtiVec_t *pTempVec;             /* list elements of the running command */
    uint32_t autoSleepMs;              /* sleep after every command; 0: none */
    uint32_t flags;                    /* kxMUtiCmd_ExecFlag... bits */
    const char *pFileName;             /* file being run by kxMUtiCmd_ExecFile, or null */
} kxMUtiCmd_Exec_t;

extern KX_API kxMUtiCmd_Defs_t *gpkxMUtiCmd_DefsGlobal; /* global table; set by Init */
extern KX_API kxMUtiCmd_Exec_t *gpkxMUtiCmd_ExecGlobal; /* global context; set by Init */
extern KX_API const char *gkxMUtiCmd_Prompt;  /* prompt given to new contexts; ":) " */
extern KX_API char gkxMUtiCmd_CommentChar;    /* comment character; '#' */
extern KX_API kxWord_t gkxMUtiCmd_MemSpace;   /* memSpace given to Init */
extern KX_API kxDbg_Unit_t gkxMUtiCmd_DbgUnit; /* debug unit of module "MUtiCmd" */

/* ---- Records and start-up ---------------------------------------------- */

/*
 * Starts the interpreter: registers module "MUtiCmd" with the debug service
 * (switching its error level 0x8000 on), creates the global table with the
 * eight built-in commands and the global context.  Call once, before any
 * other interpreter function.  Always returns KX_OK; failures are reported
 * through the debug service.
 */
KX_API uint32_t kxMUtiCmd_Init(kxWord_t memSpace);

/* A new empty table, or null when memory runs out.  Never freed. */
KX_API kxMUtiCmd_Defs_t *kxMUtiCmd_DefsNew(void);

/*
 * A new context searching pDefs (may be null: the global table), with the
 * global context as parent and gkxMUtiCmd_Prompt as prompt.  Null when
 * memory runs out.  Never freed.
 */
KX_API kxMUtiCmd_Exec_t *kxMUtiCmd_ExecNew(kxMUtiCmd_Defs_t *pDefs);

/* size zero-filled bytes from the heap, or null (reported at level 0x8000). */
KX_API void *kxMUtiCmd_Malloc(uint32_t size);

/* Sets the prompt of pExec (null: the global context); kept by pointer. */
KX_API void kxMUtiCmd_PromptSet(kxMUtiCmd_Exec_t *pExec, const char *pPrompt);

/* Sets the parent of pExec (not null).  The caller keeps the chain acyclic. */
KX_API void kxMUtiCmd_ParentSet(kxMUtiCmd_Exec_t *pExec, kxMUtiCmd_Exec_t *pParent);

/* The global context; null before kxMUtiCmd_Init. */
KX_API kxMUtiCmd_Exec_t *kxMUtiCmd_ExecGlobal(void);

/* The file kxMUtiCmd_ExecFile is running on pExec (not null), or "". */
KX_API const char *kxMUtiCmd_ExecCurrentFileNameGet(const kxMUtiCmd_Exec_t *pExec);

/* ---- Registration and lookup ------------------------------------------- */

/*
 * Registers a command in pDefs (null: the global table) or, when a command
 * already matches pName exactly, overwrites that definition in place.  All
 * strings are kept by pointer.  A null invokeFormat means "".  Returns the
 * definition, or null when memory runs out (the table is then unchanged).
 */
KX_API kxMUtiCmd_Def_t *kxMUtiCmd_Add(kxMUtiCmd_Defs_t *pDefs, kxMUtiCmd_Handler_t handler,
                                      const char *pName, const char *pAlias, uint32_t flags,
                                      const char *invokeFormat, kxWord_t userData,
                                      const char *pHelp);

/*
 * Finds the command a typed word selects in pDefs (null: the global table):
 * exact name or first character, else a unique alias, else a unique prefix.
 * Always stores the match kind in *pMatchKind; returns null for kind 0.
 */
KX_API kxMUtiCmd_Def_t *kxMUtiCmd_DefsLookup(kxMUtiCmd_Defs_t *pDefs, const char *pName,
                                             uint32_t *pMatchKind);

/* The match kind alone of kxMUtiCmd_DefsLookup. */
KX_API uint32_t kxMUtiCmd_Match(kxMUtiCmd_Defs_t *pDefs, const char *pName);

/* ---- Execution --------------------------------------------------------- */

/*
 * Executes one line on pExec (null: the global context).  The line is never
 * written to.  A line that lies inside pExec's own working copy (a word of
 * the line now running) is first copied aside, which allocates.  Returns
 * KX_OK for a comment line, kxMUtiCmd_StatusNoWords, kxMUtiCmd_StatusUnknown,
 * or what kxMUtiCmd_Exec returns.  Words from the previous line on pExec are
 * stale afterwards.
 */
KX_API uint32_t kxMUtiCmd_ExecLine(kxMUtiCmd_Exec_t *pExec, const char *pLine);

/*
 * Runs pCmdDef on the words kxMUtiCmd_ExecLine left in pExec: converts them
 * by the invoke format, calls the handler with ten words and returns its
 * status, or an interpreter status when the words do not fit.  Neither
 * argument may be null.
 */
KX_API uint32_t kxMUtiCmd_Exec(kxMUtiCmd_Exec_t *pExec, kxMUtiCmd_Def_t *pCmdDef);

/* Runs the lines of an open stream until end of input or quit. */
KX_API void kxMUtiCmd_ExecFP(kxMUtiCmd_Exec_t *pExec, FILE *pFile);

/* Opens pPath, runs its lines without a prompt, closes it. */
KX_API void kxMUtiCmd_ExecFile(kxMUtiCmd_Exec_t *pExec, const char *pPath);

/* Interactive run of standard input with the context's prompt. */
KX_API void kxMUtiCmd_ExecLoop(kxMUtiCmd_Exec_t *pExec);

/*
 * Runs pText as one line on pExec, or, when pText is null or holds only
 * whitespace, an interactive loop on pExec until quit or end of input.
 */
KX_API void kxMUtiCmd_ExecSubLoop(kxMUtiCmd_Exec_t *pExec, const char *pText);

#ifdef __cplusplus
}
#endif

#endif /* KX_MUTI_CMD_H */

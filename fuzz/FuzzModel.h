/*
 * FuzzModel.h - plain reference models the fuzz targets compare the library
 * against: how a line splits into words, which command a word selects, and
 * what an invoke format makes of a line's words.
 *
 * The models are written from the documented rules, as directly as
 * possible and with no concern for speed, so that a disagreement points at
 * the library (or at a rule misread here, which the report must rule out).
 * Integers are read with sscanf itself (RefParse.h), the reference the
 * library's own parse has to match.
 */
#ifndef KX_FUZZ_MODEL_H
#define KX_FUZZ_MODEL_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "RefParse.h"
#include "kxMUtiCmd.h"

namespace kxfuzz {

/* Reports a broken rule on standard error and aborts, so libFuzzer keeps the
 * input and prints the stack. */
[[noreturn]] void Fail(const char *pCond, const char *pFile, int line, const char *pDetail);

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) [[unlikely]]                                                                  \
            kxfuzz::Fail(#cond, __FILE__, __LINE__, nullptr);                                      \
    } while (0)

#define FUZZ_CHECK_MSG(cond, detail)                                                               \
    do {                                                                                           \
        if (!(cond)) [[unlikely]]                                                                  \
            kxfuzz::Fail(#cond, __FILE__, __LINE__, (detail));                                     \
    } while (0)

/* Space, tab, newline, vertical tab, form feed, carriage return. */
bool IsBlank(char c);

/* A line as the interpreter must see it. */
struct SplitLine {
    bool comment = false;           /* first non-blank byte is the comment character */
    std::vector<std::string> words; /* words in line order, quotes removed */
    std::vector<size_t> offsets;    /* offset of each word's first byte in the line */
    size_t argsOffset = 0;          /* where pArgs must point (meaningful for 2+ words) */
};

/* Splits pLine by the interpreter's rules (comment check, blanks, quotes). */
SplitLine Split(const char *pLine, char commentChar);

/* The reference integer parse, shared with the unit tests (tests/support). */
using ::RefParse;

/* The command a word selects in one table (null: the global table). */
const kxMUtiCmd_Def_t *LookupModel(const kxMUtiCmd_Defs_t *pDefs, const char *pWord,
                                   uint32_t *pKind);

/* The command a word selects along the chain from pExec, leading dots
 * starting the search further up; null when the chain runs out. */
const kxMUtiCmd_Def_t *ChainModel(const kxMUtiCmd_Exec_t *pExec, const char *pWord);

/* The values the handler call knows besides the words themselves. */
struct Env {
    kxWord_t exec = 0;                    /* E */
    kxWord_t line = 0;                    /* L */
    kxWord_t args = 0;                    /* l */
    kxWord_t name = 0;                    /* N */
    kxWord_t userData = 0;                /* X */
    const char *const *ppWords = nullptr; /* the real word array: n, V, v and s values */
    kxWord_t list = 0;                    /* the list storage's entry array at call time */
};

/* What a format makes of a line. */
struct WalkResult {
    uint32_t status = KX_OK;        /* KX_OK: the handler runs; else the interpreter status */
    unsigned nSlots = 0;            /* slots filled; the rest must be zero */
    kxWord_t slots[10] = {};        /* expected values */
    bool any[10] = {};              /* slot content left open (unknown conversion) */
    bool hasList = false;           /* a list item completed */
    std::vector<kxWord_t> elements; /* its elements, in line order */
};

/*
 * Walks pFormat over words (word 0 is the command word).  A lone '%' at the
 * end of a format is an unknown conversion when loneIsItem, else ignored:
 * either reading is allowed, so callers accept a match with either.
 */
WalkResult WalkModel(const char *pFormat, const std::vector<std::string> &words, const Env &env,
                     bool loneIsItem);

/* Whether a format ends in a lone '%' (so the two readings may differ). */
bool HasLonePercent(const char *pFormat);

/* Compares a handler's ten arguments and the list storage with a walk. */
void CheckSlots(const WalkResult &expect, const kxWord_t got[10], const kxMUtiVec_t *pList);

/* Whether ten arguments and the list storage match a walk (no abort). */
bool SlotsMatch(const WalkResult &expect, const kxWord_t got[10], const kxMUtiVec_t *pList);

/* Checks the containers of a context keep their invariants. */
void CheckExecInvariants(const kxMUtiCmd_Exec_t *pExec);

} // namespace kxfuzz

#endif /* KX_FUZZ_MODEL_H */

/*
 * MUtiCmdLine.cpp - the road of one line: comment check, working copy,
 * splitting into words in place, search along the chain of contexts, and
 * hand-over to the handler call.
 *
 * A warm context allocates nothing here: the working copy and the word
 * vector are reset and reused, and grow only for a longer line or more
 * words than any before.
 */
#include <stdio.h>

#include "MUtiAlloc.h"

#include "MUtiCmd.h"
#include "MUtiDbg.h"
#include "MUtiLimits.h"
#include "kxMUtiStr.h"
#include "kxMUtiStrx.h"
#include "kxMUtiVec.h"

namespace {

constexpr const char *kMsgUnknown = "\"%s\": unknown or ambiguous command\n";

constexpr int kLineQuotedWord = 210;   /* reported line: word pointer lost, quoted */
constexpr int kLineUnquotedWord = 216; /* reported line: word pointer lost, unquoted */

/* Longest parent chain walked: a longer one is a cycle (MUtiLimits.h). */
constexpr unsigned kChainMax = MUTI_CHAIN_MAX;

/* The static text pArgs points at when a line has no argument words. */
constexpr char kNoArgs[] = "";

/* Whether the first non-blank character of the line makes it a comment. */
inline bool MUtiCmd_IsComment(const char *pLine)
{
    while (MUti_IsSpace(*pLine))
        pLine++;
    /* A NUL comment character cannot mark a comment: the line is empty. */
    return *pLine != '\0' && *pLine == gkxMUtiCmd_CommentChar;
}

/* Appends one word pointer, reporting a failure at the given line. */
inline uint32_t MUtiCmd_WordAdd(kxMUtiVec_t *pWords, char *pWord, int line)
{
    uint32_t rc = kxMUtiVec_Append(pWords, pWord);
    if (rc != KX_OK) [[unlikely]]
        MUti_AssertFail("(rc == KX_OK)", kMUtiCmdPath, line, kxDbg_StrAssertFormat("rc=0x%x", rc));
    return rc;
}

/*
 * Splits len bytes of pBuf into words in place and returns how many words
 * were found.  Blanks separate words; a word that opens with a single or a
 * double quote runs to the same quote (or the end of the line) and may hold
 * blanks and the other quote.  Each word is ended by overwriting the byte
 * after it with NUL; the opening quote stays in front of its word.
 */
uint32_t MUtiCmd_SplitWords(char *pBuf, uint32_t len, kxMUtiVec_t *pWords)
{
    bool inWord = false; /* the walk is inside a word */
    char quote = '\0';   /* quote character of the current word, or NUL */
    uint32_t nWords = 0; /* words found, stored or not */

    for (uint32_t i = 0; i < len; i++) {
        const char ch = pBuf[i];
        if (inWord) {
            if (ch == '\0' || (quote != '\0' ? ch == quote : MUti_IsSpace(ch))) {
                pBuf[i] = '\0';
                inWord = false;
            }
            continue;
        }
        if (MUti_IsSpace(ch))
            continue;
        inWord = true;
        nWords++;
        if (ch == '"' || ch == '\'') {
            quote = ch;
            MUtiCmd_WordAdd(pWords, &pBuf[i + 1], kLineQuotedWord);
        } else {
            quote = '\0';
            MUtiCmd_WordAdd(pWords, &pBuf[i], kLineUnquotedWord);
        }
    }
    return nWords;
}

/*
 * Finds the definition a command word selects, starting at pExec and
 * climbing the chain.  Each leading dot starts the search one context
 * further up.  Null when no context of the chain has a match.
 */
kxMUtiCmd_Def_t *MUtiCmd_ChainLookup(kxMUtiCmd_Exec_t *pExec, const char *pName)
{
    kxMUtiCmd_Exec_t *pCur = pExec;
    for (unsigned depth = 0; pCur != nullptr && depth < kChainMax; depth++) {
        if (*pName == '.') {
            pName++;
            pCur = pCur->pParent;
            continue;
        }
        uint32_t kind;
        kxMUtiCmd_Def_t *pDef = kxMUtiCmd_DefsLookup(pCur->pDefs, pName, &kind);
        if (kind != kxMUtiCmd_MatchNone)
            return pDef;
        pCur = pCur->pParent;
    }
    return nullptr;
}

/*
 * The caller's line from the second word on.  The copy and the caller's
 * line have the same offsets; a quote in front of the second word is kept.
 */
const char *MUtiCmd_ArgsText(const kxMUtiCmd_Exec_t *pExec, const char *pLine)
{
    if (pExec->nWords < 2)
        return kNoArgs;
    const char *pSecond = static_cast<const char *>(pExec->pWords->pEntries[1]);
    const size_t offset = static_cast<size_t>(pSecond - pExec->pLineBuf->pBuf);
    const char *pArgs = pLine + offset;
    if (pArgs[-1] == '"' || pArgs[-1] == '\'')
        pArgs--;
    return pArgs;
}

/*
 * Runs a line that lies inside the context's own working copy (a handler
 * handing one of its words back as a line, on the same context).  Refilling
 * the copy from itself would overwrite the text being copied, so the line
 * runs from a private copy that lives as long as the call.
 */
uint32_t MUtiCmd_ExecOwnWord(kxMUtiCmd_Exec_t *pExec, const char *pLine)
{
    char *pText = kxMUtiStr_Dup(pLine, gkxMUtiCmd_MemSpace);
    if (pText == nullptr) [[unlikely]]
        return KX_ERR_NOMEM;
    const uint32_t status = kxMUtiCmd_ExecLine(pExec, pText);
    MUti_Free(pText);
    return status;
}

} // namespace

uint32_t kxMUtiCmd_ExecLine(kxMUtiCmd_Exec_t *pExec, const char *pLine)
{
    if (MUtiCmd_IsComment(pLine))
        return KX_OK;
    pExec = MUtiCmd_ExecSelect(pExec);
    if (pExec == nullptr) [[unlikely]] /* no global context: start-up failed or never ran */
        return kxMUtiCmd_StatusNoWords;

    /* Refill the working copy.  If it cannot grow, it stays empty and the
     * line reads as holding no word. */
    kxMUtiStrx_t *pCopy = pExec->pLineBuf;
    if (MUtiCmd_InWorkingCopy(pExec, pLine)) [[unlikely]]
        return MUtiCmd_ExecOwnWord(pExec, pLine);
    kxMUtiStrx_LenSet(pCopy, 0);
    pExec->pLine = pLine;
    kxMUtiStrx_Cat(pCopy, pLine);
    kxMUtiVec_Empty(pExec->pWords);

    const uint32_t nFound = MUtiCmd_SplitWords(pCopy->pBuf, pCopy->len, pExec->pWords);
    /* A word whose pointer could not be stored is lost: hand on only the
     * words that are there, so no one reads a slot that was never set. */
    pExec->nWords = pExec->pWords->used;
    MUTI_PRINT(kMUtiDbgWords, "kxMUtiCmd_Exec nArgs=%d", static_cast<int>(pExec->nWords));
    if (pExec->nWords == 0)
        return kxMUtiCmd_StatusNoWords;
    if (pExec->nWords != nFound) [[unlikely]]
        return KX_ERR_NOMEM; /* the line cannot run as typed; reported above */

    const char *pName = static_cast<const char *>(pExec->pWords->pEntries[0]);
    kxMUtiCmd_Def_t *pDef = MUtiCmd_ChainLookup(pExec, pName);
    if (pDef == nullptr) {
        printf(kMsgUnknown, pName);
        return kxMUtiCmd_StatusUnknown;
    }
    pExec->pArgs = MUtiCmd_ArgsText(pExec, pLine);
    return kxMUtiCmd_Exec(pExec, pDef);
}

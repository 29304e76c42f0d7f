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
#include <string.h>

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

/*
 * The word vector while the splitter fills it.  Its counts are kept here:
 * read back from the vector, they would have to be reloaded after every NUL
 * the splitter writes (a byte store may alias anything).  While there is
 * room this is kxMUtiVec_Append's own store; a full vector grows through
 * kxMUtiVec_Append, and a failure is reported at the given line.  Against
 * storing through the vector's own counts it saves 2.4 % of a line of three
 * words (673 instructions against 689 with add), against a call of
 * kxMUtiVec_Append per word 8 % (729; benchmarks/callgrind.sh).
 */
struct WordSink {
    kxMUtiVec_t *pVec;
    void **ppEntries;   /* pVec's entries */
    uint32_t used;      /* entries stored; pVec->used once Flush has run */
    uint32_t allocated; /* entries there is room for */

    explicit WordSink(kxMUtiVec_t *pWords)
        : pVec(pWords), ppEntries(pWords->pEntries), used(0), allocated(pWords->allocated)
    {
    }

    void Add(char *pWord, int line)
    {
        if (used < allocated) [[likely]] {
            ppEntries[used++] = pWord;
            return;
        }
        pVec->used = used;
        const uint32_t rc = kxMUtiVec_Append(pVec, pWord);
        if (rc != KX_OK) [[unlikely]]
            MUti_AssertFail("(rc == KX_OK)", kMUtiCmdPath, line,
                            kxDbg_StrAssertFormat("rc=0x%x", rc));
        ppEntries = pVec->pEntries;
        used = pVec->used;
        allocated = pVec->allocated;
    }

    void Flush() { pVec->used = used; }
};

/*
 * Refills the working copy with the line: what kxMUtiStrx_LenSet(pCopy, 0)
 * and kxMUtiStrx_Cat(pCopy, pLine) do, with the calls left out while the
 * copy has room (those two calls cost 7.5 % more per line: 729 instructions
 * against 678 with add, benchmarks/callgrind.sh).  A copy that cannot grow
 * stays empty.
 */
inline void MUtiCmd_CopyLine(kxMUtiStrx_t *pCopy, const char *pLine)
{
    pCopy->spare += pCopy->len;
    pCopy->len = 0;
    pCopy->pBuf[0] = '\0';
    const size_t n = strlen(pLine);
    if (!MUti_Fits32(n)) [[unlikely]] /* only where size_t is wider */
        return;
    if (n > pCopy->spare && kxMUtiStrx_EnsureSpare(pCopy, static_cast<uint32_t>(n)) != KX_OK)
        [[unlikely]]
        return;
    memcpy(pCopy->pBuf, pLine, n + 1);
    pCopy->spare -= static_cast<uint32_t>(n);
    pCopy->len = static_cast<uint32_t>(n);
}

/* What a byte outside a word is to the splitter. */
enum class Lead : uint8_t {
    Word,  /* starts an unquoted word */
    Blank, /* separates words */
    Quote, /* opens a quoted word */
    End    /* the NUL that ends the text */
};

constexpr std::array<Lead, 256> kLeadTable = [] {
    std::array<Lead, 256> table{};
    for (unsigned c = 0; c < 256; c++)
        if (kMUtiSpace[c])
            table[c] = Lead::Blank;
    table['"'] = Lead::Quote;
    table['\''] = Lead::Quote;
    table['\0'] = Lead::End;
    return table;
}();
static_assert(kLeadTable['a'] == Lead::Word && kLeadTable['#'] == Lead::Word &&
              kLeadTable['\r'] == Lead::Blank && kLeadTable[0xA0] == Lead::Word);

inline Lead MUtiCmd_LeadOf(char c)
{
    return kLeadTable[static_cast<unsigned char>(c)];
}

/*
 * Splits the text in pBuf (up to its NUL, the copy's length) into words in
 * place, with pWords emptied and then holding their pointers, and returns
 * how many words were found.  Blanks separate words; a word that opens with
 * a single or a double quote runs to the same quote (or the end of the line)
 * and may hold blanks and the other quote.  Each word is ended by
 * overwriting the byte after it with NUL; the opening quote stays in front
 * of its word.
 */
uint32_t MUtiCmd_SplitWords(char *pBuf, kxMUtiVec_t *pWords)
{
    WordSink words(pWords);
    uint32_t nWords = 0; /* words found, stored or not */
    char *p = pBuf;      /* the next byte to look at */

    for (;;) {
        const Lead lead = MUtiCmd_LeadOf(*p);
        if (lead == Lead::Blank) {
            p++;
            continue;
        }
        if (lead == Lead::End)
            break;
        nWords++;
        if (lead == Lead::Quote) {
            const char quote = *p++;
            words.Add(p, kLineQuotedWord);
            while (*p != quote && *p != '\0')
                p++;
        } else {
            words.Add(p, kLineUnquotedWord);
            do /* past the first byte, known to be neither blank nor NUL */
                p++;
            while (!MUti_EndsWord(*p));
        }
        if (*p == '\0')
            break;
        *p++ = '\0';
    }
    words.Flush();
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
        kxMUtiCmd_Def_t *pDef = MUtiCmd_Lookup(pCur->pDefs, pName, &kind);
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
    pExec->pLine = pLine;
    MUtiCmd_CopyLine(pCopy, pLine);

    const uint32_t nFound = MUtiCmd_SplitWords(pCopy->pBuf, pExec->pWords);
    /* A word whose pointer could not be stored is lost: hand on only the
     * words that are there, so no one reads a slot that was never set. */
    const uint32_t nWords = pExec->pWords->used;
    pExec->nWords = nWords;
    MUTI_PRINT(kMUtiDbgWords, "kxMUtiCmd_Exec nArgs=%d", static_cast<int>(nWords));
    if (nWords == 0)
        return kxMUtiCmd_StatusNoWords;
    if (nWords != nFound) [[unlikely]]
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

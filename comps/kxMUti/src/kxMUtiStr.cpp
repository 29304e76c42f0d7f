/*
 * kxMUtiStr.cpp - string helpers for host programs: a whitespace splitter
 * that cuts a line into words in place (no quoting, no allocation) and two
 * heap duplicators.  The interpreter splits its own lines by its own rules;
 * these serve programs built on it.
 */
#include "kxMUtiStr.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "MUtiAlloc.h"
#include "MUtiText.h"

namespace {

/* Printed when a line holds more words than the caller has room for. */
constexpr const char *kMUtiStrTooManyWords = "** WARNING: Words after first %d in line ignored.\n";

/* Whether n + 1 bytes can be asked for without size_t wrapping to 0 (it
 * does for n = 2^32 - 1 where size_t is 32-bit).  A function, so the check
 * compiles without a constant-range warning where size_t is wider. */
constexpr bool MUtiStr_FitsWithNul(uint64_t n)
{
    return n < SIZE_MAX;
}

} // namespace

/*
 * Splits pText into words in one pass.  Only the first whitespace byte after
 * each word becomes NUL; once maxWords words are stored, a further word
 * stops the walk with a warning and the rest of the text stays as it was.
 */
uint32_t kxMUtiStr_ToWords(char *pText, uint32_t maxWords, char **ppWordArray)
{
    uint32_t nWords = 0; /* words stored so far */
    bool inWord = false; /* the previous byte belongs to a word */
    for (char *p = pText; *p != '\0'; p++) {
        const bool isSpace = MUti_IsSpace(*p);
        if (inWord) {
            if (isSpace) {
                *p = '\0';
                inWord = false;
            }
            continue;
        }
        if (isSpace)
            continue;
        if (nWords == maxWords) {
            printf(kMUtiStrTooManyWords, static_cast<int>(maxWords));
            return maxWords;
        }
        ppWordArray[nWords++] = p;
        inWord = true;
    }
    return nWords;
}

/*
 * Copies pText's first n bytes (NUL-padded when pText is shorter, as strncpy
 * pads) into a new n + 1 byte string.  Returns null for a null pText or when
 * memory runs out; the caller frees the copy with free().
 */
char *kxMUtiStr_NDup(const char *pText, uint32_t n, kxWord_t memSpace)
{
    (void)memSpace; /* accepted for the board's interface; all memory is heap */
    if (pText == nullptr || !MUtiStr_FitsWithNul(n)) [[unlikely]]
        return nullptr;
    auto *pCopy = static_cast<char *>(MUti_Malloc(size_t{n} + 1));
    if (pCopy == nullptr) [[unlikely]]
        return nullptr;
    /* strncpy's copy and padding, written out: Dup bounds the copy by the
     * text's own length, which compilers flag as a truncating strncpy. */
    const size_t nText = strnlen(pText, n); /* bytes taken from pText */
    memcpy(pCopy, pText, nText);
    memset(pCopy + nText, 0, size_t{n} + 1 - nText);
    return pCopy;
}

/*
 * Copies the whole of pText into a new string.  Returns null for a null
 * pText, for a text longer than a 32-bit count, or when memory runs out.
 */
char *kxMUtiStr_Dup(const char *pText, kxWord_t memSpace)
{
    if (pText == nullptr)
        return nullptr;
    const size_t n = strlen(pText);
    if (!MUti_Fits32(n)) [[unlikely]]
        return nullptr;
    return kxMUtiStr_NDup(pText, static_cast<uint32_t>(n), memSpace);
}

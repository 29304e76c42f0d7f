/*
 * kxMUtiStr.h - string helpers for host programs: an in-place splitter on
 * whitespace (no quoting) and two heap duplicators.
 */
#ifndef KX_MUTI_STR_H
#define KX_MUTI_STR_H

#include "kxCommon.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Splits pText in place into whitespace-separated words, storing at most
 * maxWords word pointers (into pText) in ppWordArray.  Only the first
 * whitespace byte after each word is overwritten with NUL.  Returns the
 * number of words stored.  When a further word is found the warning
 * "** WARNING: Words after first <maxWords> in line ignored." goes to
 * standard output and the rest of the text is left untouched.  pText must
 * not be null.
 */
KX_API uint32_t kxMUtiStr_ToWords(char *pText, uint32_t maxWords, char **ppWordArray);

/*
 * Returns a new n + 1 byte string: pText's first n characters (NUL-padded
 * when pText is shorter) and a NUL.  Null pText, or memory running out,
 * returns null.  The caller releases the copy with free().
 */
KX_API char *kxMUtiStr_NDup(const char *pText, uint32_t n, kxWord_t memSpace);

/* kxMUtiStr_NDup of the whole of pText; null for a null pText or when memory
 * runs out. */
KX_API char *kxMUtiStr_Dup(const char *pText, kxWord_t memSpace);

#ifdef __cplusplus
}
#endif

#endif /* KX_MUTI_STR_H */

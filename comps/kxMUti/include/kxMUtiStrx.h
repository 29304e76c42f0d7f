/*
 * kxMUtiStrx.h - extensible NUL-terminated string.
 *
 * The buffer holds spare + len + 1 bytes and pBuf[len] is always NUL; the
 * text may itself hold NUL bytes (len, not the first NUL, is its length).
 * The buffer grows by the rule in growPolicy and never shrinks.  Operations
 * that can grow the buffer may move pBuf: pointers into it are stale after
 * they return KX_OK.  No function checks its arguments for null.
 */
#ifndef KX_MUTI_STRX_H
#define KX_MUTI_STRX_H

#include "kxCommon.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Growth rules: the whole top byte of growPolicy; the low 24 bits are the
 * rule's parameter.  Any other top byte is reported as a failed check and the
 * string then grows by exactly the shortfall. */
#define kxMUtiStrx_GrowExact 0x01000000u    /* exactly the shortfall */
#define kxMUtiStrx_GrowFixed 0x02000000u    /* parameter bytes */
#define kxMUtiStrx_GrowPercent 0x04000000u  /* parameter percent of capacity */
#define kxMUtiStrx_GrowMultiple 0x08000000u /* capacity times parameter */
#define kxMUtiStrx_GrowRuleMask 0xFF000000u
#define kxMUtiStrx_GrowParamMask 0x00FFFFFFu

typedef struct kxMUtiStrx_s {
    uint32_t spare;      /* bytes free beyond the text and its NUL */
    uint32_t len;        /* text length in bytes, NUL excluded; pBuf[len] == 0 */
    uint32_t growPolicy; /* rule (top byte) | parameter (low 24 bits) */
    char *pBuf;          /* spare + len + 1 bytes; null after DeInit */
} kxMUtiStrx_t;

/*
 * Allocates a string with room for initialSize bytes of text (note: the size
 * comes first here, the memory space second).  memSpace is not used.
 * Returns null when memory runs out; nothing stays allocated.
 */
KX_API kxMUtiStrx_t *kxMUtiStrx_New(uint32_t initialSize, kxWord_t memSpace,
                                    uint32_t growPolicy);

/*
 * Sets up a string inside another structure: empty text, spare initialSize
 * (0 is allowed).  Returns KX_OK, or KX_ERR_NOMEM with pBuf null and the
 * other fields untouched.
 */
KX_API uint32_t kxMUtiStrx_Init(kxMUtiStrx_t *pStrx, uint32_t initialSize, kxWord_t memSpace,
                                uint32_t growPolicy);

/* Frees pBuf and nulls it; spare, len and growPolicy are kept. */
KX_API void kxMUtiStrx_DeInit(kxMUtiStrx_t *pStrx);

/* DeInit, then frees the record.  A null pStrx does nothing. */
KX_API void kxMUtiStrx_Free(kxMUtiStrx_t *pStrx);

/*
 * Sets the length to len.  Beyond the capacity the buffer grows by exactly
 * the difference, whatever the policy.  New bytes are not filled, except the
 * NUL at pBuf[len].  Returns KX_OK, or KX_ERR_NOMEM with nothing changed.
 */
KX_API uint32_t kxMUtiStrx_LenSet(kxMUtiStrx_t *pStrx, uint32_t len);

/*
 * Appends a NUL-terminated text.  KX_ERR_NOMEM leaves the string as it was.
 * pText must not point into the string's own buffer: growth may move it.
 */
KX_API uint32_t kxMUtiStrx_Cat(kxMUtiStrx_t *pStrx, const char *pText);

/*
 * Appends exactly n bytes: pText's characters up to its NUL, then NUL bytes
 * up to n (strncpy).  len always grows by n.  KX_ERR_NOMEM leaves the string
 * as it was.
 */
KX_API uint32_t kxMUtiStrx_NCat(kxMUtiStrx_t *pStrx, const char *pText, uint32_t n);

/* Appends one byte (NUL included).  KX_ERR_NOMEM leaves the string as it was. */
KX_API uint32_t kxMUtiStrx_Chr(kxMUtiStrx_t *pStrx, char c);

/*
 * Appends count texts, with pSep (if not null) between them, never before
 * the first or after the last.  Does not empty the string first.  Stops at
 * the first failure and returns it; what was appended before stays.
 */
KX_API uint32_t kxMUtiStrx_Join(kxMUtiStrx_t *pStrx, uint32_t count, const char *const *ppTexts,
                                const char *pSep);

/*
 * Makes room for need more bytes of text (the NUL is provided for on top),
 * growing by the policy but at least by the shortfall.  Returns KX_OK at once
 * when spare >= need; KX_ERR_NOMEM leaves the string as it was.
 */
KX_API uint32_t kxMUtiStrx_EnsureSpare(kxMUtiStrx_t *pStrx, uint32_t need);

/*
 * Adds n bytes of spare room (realloc).  KX_ERR_NOMEM, when memory runs out
 * or the capacity would pass 32 bits, leaves all as it was.
 */
KX_API uint32_t kxMUtiStrx_GrowBy(kxMUtiStrx_t *pStrx, uint32_t n);

#ifdef __cplusplus
}
#endif

#endif /* KX_MUTI_STRX_H */

/*
 * Srv.h - what the serve companion's files share: a growable byte buffer
 * for frames and JSON, the manifest reader and the failure rule.
 */
#ifndef SRV_H
#define SRV_H

#include <stddef.h>
#include <stdint.h>

#include "SrvFrame.h"
#include "SrvLimits.h"

/* Bytes p[head..len) waiting; grows by doubling, compacts on demand. */
struct SrvBuf {
    char *p;       /* malloc'ed, or null while cap == 0 */
    uint32_t head; /* first byte not yet taken; head <= len */
    uint32_t len;  /* end of the bytes held; len <= cap */
    uint32_t cap;  /* bytes allocated */
};

inline uint32_t SrvBuf_Used(const SrvBuf *pBuf)
{
    return pBuf->len - pBuf->head;
}

/* Room for n more bytes at p + len; false when memory ran out (unchanged).
 * Moves p: older pointers into it are stale. */
bool SrvBuf_Reserve(SrvBuf *pBuf, uint32_t n);
bool SrvBuf_Add(SrvBuf *pBuf, const void *p, size_t n);
bool SrvBuf_AddStr(SrvBuf *pBuf, const char *pText);
bool SrvBuf_AddNum(SrvBuf *pBuf, uint64_t value);
/* A JSON string of n bytes: bytes 0x80-0xFF become U+0080-U+00FF. */
bool SrvBuf_AddJson(SrvBuf *pBuf, const char *p, size_t n);
/* A frame with the payload p[0..n), n <= KXSRV_FRAME_MAX. */
bool SrvBuf_AddFrame(SrvBuf *pBuf, char type, uint32_t id, uint32_t num, const void *p, uint32_t n);
/* The same with the numbers pNums[0..nNums), 1 <= nNums <= KXSRV_FRAME_NUMS. */
bool SrvBuf_AddFrameNums(SrvBuf *pBuf, char type, uint32_t id, const uint32_t *pNums,
                         uint32_t nNums, const void *p, uint32_t n);
/* Drops n bytes from the front. */
void SrvBuf_Take(SrvBuf *pBuf, uint32_t n);
/* Frees the memory; the buffer is empty and usable again. */
void SrvBuf_Free(SrvBuf *pBuf);

/* Appends the manifest of the loaded libkxMUti.so as a JSON object (an
 * empty one when its .modinfo section cannot be read). */
bool Srv_ManifestJson(SrvBuf *pOut);

#endif /* SRV_H */

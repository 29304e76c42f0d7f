/*
 * SrvBuf.cpp - the byte buffer frames and JSON texts are built in.
 */
#include <stdlib.h>
#include <string.h>

#include "Srv.h"

bool SrvBuf_Reserve(SrvBuf *pBuf, uint32_t n)
{
    if (pBuf->cap - pBuf->len >= n)
        return true;
    if (pBuf->head > 0) { /* move the waiting bytes to the front first */
        memmove(pBuf->p, pBuf->p + pBuf->head, pBuf->len - pBuf->head);
        pBuf->len -= pBuf->head;
        pBuf->head = 0;
        if (pBuf->cap - pBuf->len >= n)
            return true;
    }
    const uint64_t need = static_cast<uint64_t>(pBuf->len) + n;
    if (need > 0x7FFFFFFFu) [[unlikely]]
        return false;
    /* Doubling up to 64 KiB; a buffer that outgrows that is a session's
     * output under load, and goes at once to the size it may reach, so
     * that memory never holds a run of ever larger copies. */
    constexpr uint64_t kSmall = 65536u;
    constexpr uint64_t kFull = KXSRV_BUFFER_MAX + 2u * SrvFrame_Size(KXSRV_CHUNK_MAX);
    uint64_t cap = pBuf->cap < 256u ? 256u : pBuf->cap;
    while (cap < need)
        cap *= 2u;
    if (cap > kSmall && need <= kFull)
        cap = kFull;
    char *p = static_cast<char *>(realloc(pBuf->p, cap));
    if (p == nullptr) [[unlikely]]
        return false;
    pBuf->p = p;
    pBuf->cap = static_cast<uint32_t>(cap);
    return true;
}

bool SrvBuf_Add(SrvBuf *pBuf, const void *p, size_t n)
{
    if (n > 0x7FFFFFFFu || !SrvBuf_Reserve(pBuf, static_cast<uint32_t>(n)))
        return false;
    if (n > 0)
        memcpy(pBuf->p + pBuf->len, p, n);
    pBuf->len += static_cast<uint32_t>(n);
    return true;
}

bool SrvBuf_AddStr(SrvBuf *pBuf, const char *pText)
{
    return SrvBuf_Add(pBuf, pText, strlen(pText));
}

bool SrvBuf_AddNum(SrvBuf *pBuf, uint64_t value)
{
    char digits[20];
    int n = 0;
    do {
        digits[sizeof digits - 1 - n++] = static_cast<char>('0' + value % 10u);
        value /= 10u;
    } while (value != 0);
    return SrvBuf_Add(pBuf, digits + sizeof digits - n, static_cast<size_t>(n));
}

bool SrvBuf_AddJson(SrvBuf *pBuf, const char *p, size_t n)
{
    static const char kHex[] = "0123456789abcdef";
    /* At most six bytes per input byte (\u00XX). */
    if (n > 0x7FFFFFFFu / 6u || !SrvBuf_Reserve(pBuf, static_cast<uint32_t>(n * 6u + 2u)))
        return false;
    char *pOut = pBuf->p + pBuf->len;
    *pOut++ = '"';
    for (size_t i = 0; i < n; i++) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '"' || c == '\\') {
            *pOut++ = '\\';
            *pOut++ = static_cast<char>(c);
        } else if (c == '\n') {
            *pOut++ = '\\';
            *pOut++ = 'n';
        } else if (c < 0x20 || c == 0x7F) {
            *pOut++ = '\\';
            *pOut++ = 'u';
            *pOut++ = '0';
            *pOut++ = '0';
            *pOut++ = kHex[c >> 4];
            *pOut++ = kHex[c & 15u];
        } else if (c >= 0x80) { /* the byte as code point U+0080..U+00FF */
            *pOut++ = static_cast<char>(0xC0u | c >> 6);
            *pOut++ = static_cast<char>(0x80u | (c & 0x3Fu));
        } else {
            *pOut++ = static_cast<char>(c);
        }
    }
    *pOut++ = '"';
    pBuf->len = static_cast<uint32_t>(pOut - pBuf->p);
    return true;
}

bool SrvBuf_AddFrameNums(SrvBuf *pBuf, char type, uint32_t id, const uint32_t *pNums,
                         uint32_t nNums, const void *p, uint32_t n)
{
    if (n > 0x10000000u || !SrvBuf_Reserve(pBuf, SrvFrame_Size(n)))
        return false;
    pBuf->len += SrvFrame_EncodeNums(pBuf->p + pBuf->len, type, id, pNums, nNums, p, n);
    return true;
}

bool SrvBuf_AddFrame(SrvBuf *pBuf, char type, uint32_t id, uint32_t num, const void *p, uint32_t n)
{
    return SrvBuf_AddFrameNums(pBuf, type, id, &num, 1, p, n);
}

void SrvBuf_Take(SrvBuf *pBuf, uint32_t n)
{
    pBuf->head += n;
    if (pBuf->head == pBuf->len)
        pBuf->head = pBuf->len = 0;
}

void SrvBuf_Free(SrvBuf *pBuf)
{
    free(pBuf->p);
    *pBuf = SrvBuf{};
}

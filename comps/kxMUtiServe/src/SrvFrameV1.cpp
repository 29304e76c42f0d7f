/*
 * SrvFrameV1.cpp - the version-1 frame, "#KX T id n len base64 crc\n": the
 * encoder that lets this side tell a version-1 peer, in frames it can read,
 * which version it speaks.
 */
#include "SrvFrame.h"

#include <string.h>

namespace {

constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHex[] = "0123456789abcdef";

/* A number and the blank after it. */
char *PutNumber(char *p, uint32_t value)
{
    p = SrvFrame_PutNumber(p, value);
    *p++ = ' ';
    return p;
}

/* Base64 (RFC 4648, "=" padding) of len > 0 bytes. */
char *PutBase64(char *p, const unsigned char *pIn, uint32_t len)
{
    for (uint32_t i = 0; i < len; i += 3) {
        const uint32_t left = len - i;
        const uint32_t v = static_cast<uint32_t>(pIn[i]) << 16 |
                           (left > 1 ? static_cast<uint32_t>(pIn[i + 1]) << 8 : 0u) |
                           (left > 2 ? pIn[i + 2] : 0u);
        p[0] = kB64[v >> 18];
        p[1] = kB64[(v >> 12) & 63u];
        p[2] = left > 1 ? kB64[(v >> 6) & 63u] : '=';
        p[3] = left > 2 ? kB64[v & 63u] : '=';
        p += 4;
    }
    return p;
}

} // namespace

uint32_t SrvFrame_EncodeV1(char *pDst, char type, uint32_t id, uint32_t n, const void *pPayload,
                           uint32_t len)
{
    char *p = pDst;
    // A frame is bytes with a length, not a C string: no NUL is written.
    memcpy(p, SRV_MARKER, SRV_MARKER_LEN); // NOLINT(bugprone-not-null-terminated-result)
    p += SRV_MARKER_LEN;
    *p++ = type;
    *p++ = ' ';
    p = PutNumber(PutNumber(PutNumber(p, id), n), len);
    if (len == 0)
        *p++ = '-';
    else
        p = PutBase64(p, static_cast<const unsigned char *>(pPayload), len);
    *p++ = ' ';
    const uint32_t crc = Srv_Crc32(0, pDst, static_cast<size_t>(p - pDst));
    for (int shift = 28; shift >= 0; shift -= 4)
        *p++ = kHex[(crc >> shift) & 15u];
    *p++ = '\n';
    return static_cast<uint32_t>(p - pDst);
}

/*
 * SrvFrame.cpp - encoding and reading frames: "#KX T id n len data crc\n",
 * data in base64 ("-" when empty), crc the CRC-32 of everything before it.
 */
#include "SrvFrame.h"

#include <string.h>

#include <array>

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/* Base64 digit values; 0xFF for every byte that is not a digit. */
constexpr std::array<uint8_t, 256> MakeB64Table()
{
    std::array<uint8_t, 256> table{};
    for (auto &v : table)
        v = 0xFF;
    for (uint8_t i = 0; i < 64; i++)
        table[static_cast<uint8_t>(kB64[i])] = i;
    return table;
}
constexpr std::array<uint8_t, 256> kB64Value = MakeB64Table();
static_assert(kB64Value['A'] == 0 && kB64Value['/'] == 63 && kB64Value['='] == 0xFF);

constexpr char kHex[] = "0123456789abcdef";

/* Reads a decimal number ending in a blank: no sign, no leading zero, at
 * most 2^32-1.  Advances *pp past the blank; false when it is not one. */
bool ParseNumber(const unsigned char **pp, const unsigned char *pEnd, uint32_t *pValue)
{
    const unsigned char *p = *pp;
    uint64_t value = 0;
    const unsigned char *pStart = p;

    while (p < pEnd && *p >= '0' && *p <= '9') {
        value = value * 10u + (*p - '0');
        if (value > 0xFFFFFFFFu) [[unlikely]]
            return false;
        p++;
    }
    if (p == pStart || p == pEnd || *p != ' ' || (*pStart == '0' && p - pStart > 1))
        return false;
    *pValue = static_cast<uint32_t>(value);
    *pp = p + 1;
    return true;
}

/* Decodes exactly 4*ceil(len/3) base64 digits at p into len bytes. */
bool DecodeB64(const unsigned char *p, uint32_t nDigits, unsigned char *pOut, uint32_t len)
{
    if (nDigits != 4u * ((len + 2u) / 3u))
        return false;
    const uint32_t nPad = (3u - len % 3u) % 3u;
    for (uint32_t i = 0; i < nDigits; i += 4) {
        uint32_t quad = 0;
        for (uint32_t k = 0; k < 4; k++) {
            const bool padSlot = i + 4u == nDigits && k >= 4u - nPad;
            if (padSlot) {
                if (p[i + k] != '=')
                    return false;
                quad <<= 6;
                continue;
            }
            const uint8_t v = kB64Value[p[i + k]];
            if (v == 0xFF)
                return false;
            quad = quad << 6 | v;
        }
        const uint32_t at = i / 4u * 3u;
        pOut[at] = static_cast<unsigned char>(quad >> 16);
        if (at + 1 < len)
            pOut[at + 1] = static_cast<unsigned char>(quad >> 8);
        if (at + 2 < len)
            pOut[at + 2] = static_cast<unsigned char>(quad);
    }
    return true;
}

char *PutNumber(char *p, uint32_t value)
{
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10u);
        value /= 10u;
    } while (value != 0);
    while (n > 0)
        *p++ = digits[--n];
    return p;
}

} // namespace

uint32_t Srv_Crc32(uint32_t crc, const void *p, size_t len)
{
    const unsigned char *pByte = static_cast<const unsigned char *>(p);
    crc = ~crc;
    for (size_t i = 0; i < len; i++)
        crc = kCrcTable[(crc ^ pByte[i]) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

uint32_t SrvFrame_Encode(char *pDst, char type, uint32_t id, uint32_t n, const void *pPayload,
                         uint32_t len)
{
    char *p = pDst;
    // A frame is bytes with a length, not a C string: no NUL is written.
    memcpy(p, SRV_MARKER, SRV_MARKER_LEN); // NOLINT(bugprone-not-null-terminated-result)
    p += SRV_MARKER_LEN;
    *p++ = type;
    *p++ = ' ';
    p = PutNumber(p, id);
    *p++ = ' ';
    p = PutNumber(p, n);
    *p++ = ' ';
    p = PutNumber(p, len);
    *p++ = ' ';
    if (len == 0) {
        *p++ = '-';
    } else {
        const unsigned char *pIn = static_cast<const unsigned char *>(pPayload);
        uint32_t i = 0;
        for (; i + 3 <= len; i += 3) {
            const uint32_t v = static_cast<uint32_t>(pIn[i]) << 16 | pIn[i + 1] << 8 | pIn[i + 2];
            p[0] = kB64[v >> 18];
            p[1] = kB64[(v >> 12) & 63u];
            p[2] = kB64[(v >> 6) & 63u];
            p[3] = kB64[v & 63u];
            p += 4;
        }
        if (i < len) {
            const uint32_t v = static_cast<uint32_t>(pIn[i]) << 16 |
                               (i + 1 < len ? static_cast<uint32_t>(pIn[i + 1]) << 8 : 0u);
            p[0] = kB64[v >> 18];
            p[1] = kB64[(v >> 12) & 63u];
            p[2] = i + 1 < len ? kB64[(v >> 6) & 63u] : '=';
            p[3] = '=';
            p += 4;
        }
    }
    *p++ = ' ';
    uint32_t crc = Srv_Crc32(0, pDst, static_cast<size_t>(p - pDst));
    for (int shift = 28; shift >= 0; shift -= 4)
        *p++ = kHex[(crc >> shift) & 15u];
    *p++ = '\n';
    return static_cast<uint32_t>(p - pDst);
}

SrvReadResult SrvFrame_Parse(const unsigned char *pLine, uint32_t len, SrvFrame *pOut)
{
    const unsigned char *pEnd = pLine + len;
    if (len > 0 && pEnd[-1] == '\r')
        pEnd--;
    if (pEnd - pLine < static_cast<long>(SRV_MARKER_LEN + 2) ||
        memcmp(pLine, SRV_MARKER, SRV_MARKER_LEN) != 0)
        return SRV_READ_BAD;
    const unsigned char *p = pLine + SRV_MARKER_LEN;
    const char type = static_cast<char>(*p++);
    if (type < 'A' || type > 'Z' || *p++ != ' ')
        return SRV_READ_BAD;
    uint32_t id, n, size;
    if (!ParseNumber(&p, pEnd, &id) || !ParseNumber(&p, pEnd, &n) || !ParseNumber(&p, pEnd, &size))
        return SRV_READ_BAD;
    if (size > KXSRV_FRAME_MAX)
        return SRV_READ_HUGE;
    const unsigned char *pData = p;
    while (p < pEnd && *p != ' ')
        p++;
    const uint32_t nDigits = static_cast<uint32_t>(p - pData);
    /* The CRC: a blank, eight lower-case hex digits, the end. */
    if (p == pEnd || pEnd - p != 9)
        return SRV_READ_BAD;
    uint32_t crc = 0;
    for (const unsigned char *q = p + 1; q < pEnd; q++) {
        const char *pDigit = strchr(kHex, *q);
        if (*q == '\0' || pDigit == nullptr)
            return SRV_READ_BAD;
        crc = crc << 4 | static_cast<uint32_t>(pDigit - kHex);
    }
    if (Srv_Crc32(0, pLine, static_cast<size_t>(p + 1 - pLine)) != crc)
        return SRV_READ_BAD;
    if (size == 0) {
        if (nDigits != 1 || *pData != '-')
            return SRV_READ_BAD;
    } else if (!DecodeB64(pData, nDigits, pOut->payload, size)) {
        return SRV_READ_BAD;
    }
    pOut->type = type;
    pOut->id = id;
    pOut->n = n;
    pOut->len = size;
    pOut->payload[size] = '\0';
    return SRV_READ_FRAME;
}

void SrvReader_Init(SrvReader *pReader)
{
    pReader->head = 0;
    pReader->tail = 0;
}

uint32_t SrvReader_Space(SrvReader *pReader, unsigned char **ppDst)
{
    if (pReader->head > 0) {
        memmove(pReader->buf, pReader->buf + pReader->head, pReader->tail - pReader->head);
        pReader->tail -= pReader->head;
        pReader->head = 0;
    }
    *ppDst = pReader->buf + pReader->tail;
    return SRV_READER_SIZE - pReader->tail;
}

void SrvReader_Commit(SrvReader *pReader, uint32_t n)
{
    pReader->tail += n;
}

SrvReadResult SrvReader_Next(SrvReader *pReader, SrvFrame *pOut, bool eof)
{
    unsigned char *pBuf = pReader->buf;
    const uint32_t tail = pReader->tail;
    uint32_t head = pReader->head;

    /* Find the marker; keep a tail that may be its start. */
    const void *pHit = nullptr;
    while (head < tail) {
        const unsigned char *pHash =
            static_cast<const unsigned char *>(memchr(pBuf + head, '#', tail - head));
        if (pHash == nullptr) {
            head = tail;
            break;
        }
        head = static_cast<uint32_t>(pHash - pBuf);
        const uint32_t have = tail - head < SRV_MARKER_LEN ? tail - head : SRV_MARKER_LEN;
        if (memcmp(pHash, SRV_MARKER, have) != 0) {
            head++;
            continue;
        }
        if (have == SRV_MARKER_LEN)
            pHit = pHash;
        break;
    }
    pReader->head = head;
    if (pHit == nullptr)
        return SRV_READ_NONE;

    const uint32_t window = tail - head < KXSRV_FRAME_LINE_MAX ? tail - head : KXSRV_FRAME_LINE_MAX;
    const unsigned char *pNl =
        static_cast<const unsigned char *>(memchr(pBuf + head, '\n', window));
    if (pNl == nullptr) {
        if (window < KXSRV_FRAME_LINE_MAX && !eof)
            return SRV_READ_NONE;
        /* Too long for a frame, or cut off by the end of input. */
        SrvReadResult r = SrvFrame_Parse(pBuf + head, window, pOut);
        pReader->head = head + 1;
        return r == SRV_READ_HUGE ? SRV_READ_HUGE : SRV_READ_BAD;
    }
    const uint32_t lineLen = static_cast<uint32_t>(pNl - (pBuf + head));
    const SrvReadResult r = SrvFrame_Parse(pBuf + head, lineLen, pOut);
    pReader->head = r == SRV_READ_FRAME ? head + lineLen + 1 : head + 1;
    return r;
}

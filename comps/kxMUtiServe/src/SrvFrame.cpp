/*
 * SrvFrame.cpp - encoding and reading frames: "#KX Tid n,n.. payload crc\n",
 * the payload printable ASCII with "\\", "#" and every other byte escaped
 * ("\n", "\r", "\t", "\\", "\xHH"), the crc the CRC-32 of everything before it.
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

constexpr char kHex[] = "0123456789abcdef";

/* How the encoder writes each byte: 0 raw, else the letter after the
 * backslash ('x' for "\xHH").  Raw are the printable bytes but the two that
 * would break a frame: "\" starts an escape, and without "#" the marker
 * can never occur inside a frame. */
constexpr std::array<char, 256> MakeEscapeTable()
{
    std::array<char, 256> table{};
    for (int c = 0; c < 256; c++)
        table[c] = c >= 0x20 && c <= 0x7E ? 0 : 'x';
    table['#'] = 'x';
    table['\\'] = '\\';
    table['\n'] = 'n';
    table['\r'] = 'r';
    table['\t'] = 't';
    return table;
}
constexpr std::array<char, 256> kEscape = MakeEscapeTable();
static_assert(kEscape['a'] == 0 && kEscape[' '] == 0 && kEscape['~'] == 0 && kEscape[0x7F] == 'x' &&
              kEscape[0x11] == 'x' && kEscape[0x13] == 'x' && kEscape['#'] == 'x');

/* The byte a letter after a backslash stands for; 0 for 'x' and for every
 * letter the encoder never writes there. */
constexpr std::array<uint8_t, 256> MakeShortTable()
{
    std::array<uint8_t, 256> table{};
    table['n'] = '\n';
    table['r'] = '\r';
    table['t'] = '\t';
    table['\\'] = '\\';
    return table;
}
constexpr std::array<uint8_t, 256> kShort = MakeShortTable();

/* Lower-case hex digit values; 0xFF for every other byte. */
constexpr std::array<uint8_t, 256> MakeHexTable()
{
    std::array<uint8_t, 256> table{};
    for (auto &v : table)
        v = 0xFF;
    for (uint8_t i = 0; i < 16; i++)
        table[static_cast<uint8_t>(kHex[i])] = i;
    return table;
}
constexpr std::array<uint8_t, 256> kHexValue = MakeHexTable();

/* The shortest line that can be a frame: "#KX A0 0 " and the CRC. */
constexpr uint32_t kMinLine = SRV_MARKER_LEN + 5u + 8u;

/* A blank and the CRC's eight digits end every frame line ("\r" aside). */
constexpr uint32_t kCrcTail = 9u;

/* Reads a decimal number at *pp, up to pEnd: no sign, no leading zero, at
 * most 2^32-1.  Advances *pp past its digits. */
bool ParseNumber(const unsigned char **pp, const unsigned char *pEnd, uint32_t *pValue)
{
    const unsigned char *p = *pp;
    uint64_t value = 0;

    while (p < pEnd && *p >= '0' && *p <= '9') {
        value = value * 10u + (*p - '0');
        if (value > 0xFFFFFFFFu) [[unlikely]]
            return false;
        p++;
    }
    if (p == *pp || (**pp == '0' && p - *pp > 1))
        return false;
    *pValue = static_cast<uint32_t>(value);
    *pp = p;
    return true;
}

/* True when the line [pLine, pEnd), its line end taken off, ends in a blank
 * and the lower-case hex CRC-32 of every byte before its digits. */
bool CrcMatches(uint32_t crcBefore, const unsigned char *pLine, const unsigned char *pEnd)
{
    const unsigned char *pDigits = pEnd - 8;
    if (pDigits[-1] != ' ')
        return false;
    uint32_t crc = 0;
    for (const unsigned char *q = pDigits; q < pEnd; q++) {
        const uint8_t v = kHexValue[*q];
        if (v == 0xFF)
            return false;
        crc = crc << 4 | v;
    }
    return Srv_Crc32(crcBefore, pLine, static_cast<size_t>(pDigits - pLine)) == crc;
}

/*
 * Decodes the payload text [p, pEnd) into pOut, which has room for
 * KXSRV_FRAME_MAX bytes; *pLen gets the decoded size, which may be larger
 * (nothing is written past the room).  False for any byte or escape the
 * encoder would not have written, so each payload has one spelling.
 */
bool DecodePayload(const unsigned char *p, const unsigned char *pEnd, unsigned char *pOut,
                   uint32_t *pLen)
{
    uint32_t n = 0;
    while (p < pEnd) {
        unsigned char c = *p++;
        if (c == '\\') {
            if (p == pEnd)
                return false;
            const unsigned char letter = *p++;
            c = kShort[letter];
            if (letter == 'x') {
                if (pEnd - p < 2 || kHexValue[p[0]] == 0xFF || kHexValue[p[1]] == 0xFF)
                    return false;
                c = static_cast<unsigned char>(kHexValue[p[0]] << 4 | kHexValue[p[1]]);
                p += 2;
                if (kEscape[c] != 'x')
                    return false; /* a byte with a shorter spelling */
            } else if (c == 0) {
                return false;
            }
        } else if (kEscape[c] != 0) {
            return false; /* a byte that travels escaped */
        }
        if (n < KXSRV_FRAME_MAX)
            pOut[n] = c;
        n++;
    }
    *pLen = n;
    return true;
}

char *PutPayload(char *p, const unsigned char *pIn, uint32_t len)
{
    for (uint32_t i = 0; i < len; i++) {
        const unsigned char c = pIn[i];
        const char letter = kEscape[c];
        if (letter == 0) {
            *p++ = static_cast<char>(c);
            continue;
        }
        *p++ = '\\';
        *p++ = letter;
        if (letter == 'x') {
            *p++ = kHex[c >> 4];
            *p++ = kHex[c & 15u];
        }
    }
    return p;
}

/* Parses what follows the type letter of a checked line: "id n,n.. [payload]",
 * up to pBody, the blank before the CRC. */
SrvReadResult ParseBody(const unsigned char *p, const unsigned char *pBody, SrvFrame *pOut)
{
    if (!ParseNumber(&p, pBody, &pOut->id) || *p++ != ' ')
        return SRV_READ_BAD;
    uint32_t nNums = 0;
    for (;;) {
        if (nNums == KXSRV_FRAME_NUMS || !ParseNumber(&p, pBody, &pOut->nums[nNums++]))
            return SRV_READ_BAD;
        if (*p != ',')
            break;
        p++;
    }
    if (*p != ' ')
        return SRV_READ_BAD;
    /* Nothing, or one blank and at least one byte of payload. */
    uint32_t len = 0;
    if (p < pBody && (p + 1 == pBody || !DecodePayload(p + 1, pBody, pOut->payload, &len)))
        return SRV_READ_BAD;
    if (len > KXSRV_FRAME_MAX)
        return SRV_READ_HUGE;
    pOut->nNums = nNums;
    pOut->n = pOut->nums[0];
    pOut->len = len;
    pOut->payload[len] = '\0';
    return SRV_READ_FRAME;
}

/* What a line is that starts "#KX " and the type letter, its CRC right:
 * a blank after the letter is version 1's syntax. */
SrvReadResult Judge(unsigned char afterType)
{
    if (afterType == ' ')
        return SRV_READ_OLD;
    return afterType >= '0' && afterType <= '9' ? SRV_READ_FRAME : SRV_READ_BAD;
}

/* Keeps this many bytes of a long line held, so that its end ("\r" and
 * the blank and CRC digits) is still there when the line end comes. */
constexpr uint32_t kLongHold = kCrcTail + 1u;

/* Follows a line too long to hold.  A "#" in it means it is no frame: the
 * reader goes on from there.  At its end the CRC decides. */
SrvReadResult LongLine(SrvReader *pReader, bool eof)
{
    unsigned char *pBuf = pReader->buf;
    const uint32_t tail = pReader->tail;
    const uint32_t head = pReader->head;
    uint32_t at = head;
    while (at < tail && pBuf[at] != '\n' && pBuf[at] != '#')
        at++;
    if (at == tail && !eof) {
        if (tail - head > kLongHold) {
            const uint32_t n = tail - head - kLongHold;
            pReader->longCrc = Srv_Crc32(pReader->longCrc, pBuf + head, n);
            pReader->head = head + n;
        }
        return SRV_READ_NONE;
    }
    const uint8_t kind = pReader->longLine;
    pReader->longLine = 0;
    if (at == tail || pBuf[at] == '#') {
        pReader->head = at;
        return SRV_READ_BAD;
    }
    pReader->head = at + 1;
    const unsigned char *pEnd = pBuf + at;
    if (pEnd[-1] == '\r')
        pEnd--;
    if (!CrcMatches(pReader->longCrc, pBuf + head, pEnd))
        return SRV_READ_BAD;
    return kind == 2 ? SRV_READ_OLD : SRV_READ_HUGE;
}

/* A marker at head with no line end in the longest line's reach: starts
 * following the line when it can still be a frame, else reports it bad. */
SrvReadResult StartLongLine(SrvReader *pReader, bool eof)
{
    const unsigned char *pLine = pReader->buf + pReader->head;
    const unsigned char type = pLine[SRV_MARKER_LEN];
    const SrvReadResult kind = Judge(pLine[SRV_MARKER_LEN + 1]);
    if (type < 'A' || type > 'Z' || kind == SRV_READ_BAD ||
        memchr(pLine + 1, '#', KXSRV_FRAME_LINE_MAX - 1) != nullptr) {
        pReader->head++;
        return SRV_READ_BAD;
    }
    /* The bytes checked so far go into the CRC but for the last few. */
    const uint32_t n = KXSRV_FRAME_LINE_MAX - kLongHold;
    pReader->longLine = kind == SRV_READ_OLD ? 2 : 1;
    pReader->longCrc = Srv_Crc32(0, pLine, n);
    pReader->head += n;
    return LongLine(pReader, eof);
}

} // namespace

char *SrvFrame_PutNumber(char *p, uint32_t value)
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

uint32_t Srv_Crc32(uint32_t crc, const void *p, size_t len)
{
    const unsigned char *pByte = static_cast<const unsigned char *>(p);
    crc = ~crc;
    for (size_t i = 0; i < len; i++)
        crc = kCrcTable[(crc ^ pByte[i]) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

uint32_t SrvFrame_EncodeNums(char *pDst, char type, uint32_t id, const uint32_t *pNums,
                             uint32_t nNums, const void *pPayload, uint32_t len)
{
    char *p = pDst;
    // A frame is bytes with a length, not a C string: no NUL is written.
    memcpy(p, SRV_MARKER, SRV_MARKER_LEN); // NOLINT(bugprone-not-null-terminated-result)
    p += SRV_MARKER_LEN;
    *p++ = type;
    p = SrvFrame_PutNumber(p, id);
    for (uint32_t i = 0; i < nNums; i++) {
        *p++ = i == 0 ? ' ' : ',';
        p = SrvFrame_PutNumber(p, pNums[i]);
    }
    *p++ = ' ';
    if (len > 0) {
        p = PutPayload(p, static_cast<const unsigned char *>(pPayload), len);
        *p++ = ' ';
    }
    const uint32_t crc = Srv_Crc32(0, pDst, static_cast<size_t>(p - pDst));
    for (int shift = 28; shift >= 0; shift -= 4)
        *p++ = kHex[(crc >> shift) & 15u];
    *p++ = '\n';
    return static_cast<uint32_t>(p - pDst);
}

uint32_t SrvFrame_Encode(char *pDst, char type, uint32_t id, uint32_t n, const void *pPayload,
                         uint32_t len)
{
    return SrvFrame_EncodeNums(pDst, type, id, &n, 1, pPayload, len);
}

SrvReadResult SrvFrame_Parse(const unsigned char *pLine, uint32_t len, SrvFrame *pOut)
{
    const unsigned char *pEnd = pLine + len;
    if (len > 0 && pEnd[-1] == '\r')
        pEnd--;
    if (pEnd - pLine < static_cast<long>(kMinLine) ||
        memcmp(pLine, SRV_MARKER, SRV_MARKER_LEN) != 0 || !CrcMatches(0, pLine, pEnd))
        return SRV_READ_BAD;
    const unsigned char type = pLine[SRV_MARKER_LEN];
    const SrvReadResult kind = Judge(pLine[SRV_MARKER_LEN + 1]);
    if (type < 'A' || type > 'Z' || kind == SRV_READ_BAD)
        return SRV_READ_BAD;
    pOut->type = static_cast<char>(type);
    if (kind == SRV_READ_OLD) {
        pOut->id = pOut->n = pOut->nums[0] = pOut->len = 0;
        pOut->nNums = 1;
        pOut->payload[0] = '\0';
        return SRV_READ_OLD;
    }
    return ParseBody(pLine + SRV_MARKER_LEN + 1, pEnd - kCrcTail, pOut);
}

void SrvReader_Init(SrvReader *pReader)
{
    pReader->head = 0;
    pReader->tail = 0;
    pReader->longCrc = 0;
    pReader->longLine = 0;
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
    if (pReader->longLine != 0)
        return LongLine(pReader, eof);
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
        if (window == KXSRV_FRAME_LINE_MAX)
            return StartLongLine(pReader, eof);
        if (!eof)
            return SRV_READ_NONE;
        pReader->head = head + 1; /* cut off by the end of input */
        return SRV_READ_BAD;
    }
    const uint32_t lineLen = static_cast<uint32_t>(pNl - (pBuf + head));
    const SrvReadResult r = SrvFrame_Parse(pBuf + head, lineLen, pOut);
    pReader->head = r == SRV_READ_BAD ? head + 1 : head + lineLen + 1;
    return r;
}

/*
 * SrvLineCheck.cpp - the CRC of each marker line, computed as its bytes
 * arrive: everything from the marker up to and including the blank before
 * the last eight hex digits, compared with them at the line's end.
 */
#include "SrvLineCheck.h"

#include <string.h>

#include "SrvFrame.h"

namespace {

int HexValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

/* The line ended: its last bytes (in lag) must be a blank and eight
 * lower-case hex digits, with an optional "\r" after them. */
bool LineOk(const SrvLineCheck *pCheck)
{
    uint32_t k = pCheck->nLag;
    if (k > 0 && pCheck->lag[k - 1] == '\r')
        k--;
    if (k < 9 || pCheck->lag[k - 9] != ' ')
        return false;
    uint32_t want = 0;
    for (uint32_t i = k - 8; i < k; i++) {
        const int v = HexValue(pCheck->lag[i]);
        if (v < 0)
            return false;
        want = want << 4 | static_cast<uint32_t>(v);
    }
    return Srv_Crc32(pCheck->crc, pCheck->lag, k - 8) == want;
}

void EndLine(SrvLineCheck *pCheck)
{
    auto &slot = pCheck->done[pCheck->nDone % kSrvLineVerdicts];
    slot.start = pCheck->start;
    slot.ok = LineOk(pCheck);
    pCheck->nDone++;
    pCheck->inLine = false;
    pCheck->matched = 0;
}

/* Adds a piece of the current line: all but its last kSrvLineLag bytes
 * go into the CRC. */
void AddToLine(SrvLineCheck *pCheck, const unsigned char *p, uint32_t n)
{
    const uint32_t total = pCheck->nLag + n;
    if (total <= kSrvLineLag) {
        memcpy(pCheck->lag + pCheck->nLag, p, n);
        pCheck->nLag = static_cast<uint8_t>(total);
        return;
    }
    uint32_t out = total - kSrvLineLag; /* bytes that leave the lag, oldest first */
    const uint32_t fromLag = out < pCheck->nLag ? out : pCheck->nLag;
    pCheck->crc = Srv_Crc32(pCheck->crc, pCheck->lag, fromLag);
    out -= fromLag;
    pCheck->crc = Srv_Crc32(pCheck->crc, p, out);
    unsigned char keep[kSrvLineLag];
    const uint32_t keepLag = pCheck->nLag - fromLag;
    memcpy(keep, pCheck->lag + fromLag, keepLag);
    memcpy(keep + keepLag, p + out, n - out);
    memcpy(pCheck->lag, keep, kSrvLineLag);
    pCheck->nLag = kSrvLineLag;
}

/* Matches the marker byte by byte outside lines; returns the bytes used. */
uint32_t SeekMarker(SrvLineCheck *pCheck, const unsigned char *p, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++) {
        const unsigned char c = p[i];
        if (c == static_cast<unsigned char>(SRV_MARKER[pCheck->matched])) {
            pCheck->matched++;
        } else {
            pCheck->matched = c == '#' ? 1 : 0;
        }
        if (pCheck->matched == SRV_MARKER_LEN) {
            pCheck->inLine = true;
            pCheck->start = pCheck->at + i + 1 - SRV_MARKER_LEN;
            pCheck->crc = Srv_Crc32(0, SRV_MARKER, SRV_MARKER_LEN);
            pCheck->nLag = 0;
            return i + 1;
        }
    }
    return n;
}

} // namespace

void SrvLineCheck_Feed(SrvLineCheck *pCheck, const unsigned char *p, uint32_t n)
{
    while (n > 0) {
        uint32_t used;
        if (!pCheck->inLine) {
            used = SeekMarker(pCheck, p, n);
        } else {
            const void *pNl = memchr(p, '\n', n);
            const uint32_t seg =
                pNl != nullptr ? static_cast<uint32_t>(static_cast<const unsigned char *>(pNl) - p)
                               : n;
            AddToLine(pCheck, p, seg);
            used = seg;
            if (pNl != nullptr) {
                EndLine(pCheck);
                used++;
            }
        }
        pCheck->at += used;
        p += used;
        n -= used;
    }
}

int SrvLineCheck_Verdict(const SrvLineCheck *pCheck, uint64_t start)
{
    const uint32_t n = pCheck->nDone < kSrvLineVerdicts ? pCheck->nDone : kSrvLineVerdicts;
    for (uint32_t i = 0; i < n; i++)
        if (pCheck->done[i].start == start)
            return pCheck->done[i].ok ? 1 : 0;
    return pCheck->inLine && pCheck->start == start ? -1 : 0;
}

/*
 * SrvLineCheck.h - follows the marker lines of a session's input as it
 * arrives and tells whether a line's CRC was right, also for lines far
 * longer than the frame reader holds.  The session asks it about a frame
 * the reader found over the size limit: only one whose CRC is right was
 * meant as a frame (X 2); line noise gets X 1.  No I/O, constant memory.
 */
#ifndef SRV_LINE_CHECK_H
#define SRV_LINE_CHECK_H

#include <stdint.h>

constexpr uint32_t kSrvLineLag = 10u; /* " " + 8 hex digits + "\r" */
constexpr uint32_t kSrvLineVerdicts = 4u;

struct SrvLineCheck {
    uint64_t at;                    /* stream offset of the next byte fed */
    bool inLine;                    /* within a line that starts with the marker */
    uint8_t matched;                /* marker bytes matched so far, outside a line */
    uint64_t start;                 /* offset of the current line's marker */
    uint32_t crc;                   /* CRC-32 of the line but its last nLag bytes */
    uint8_t nLag;                   /* bytes in lag; <= kSrvLineLag */
    unsigned char lag[kSrvLineLag]; /* the line's last bytes, not yet in crc */
    struct {
        uint64_t start;       /* a finished line's marker offset */
        bool ok;              /* its CRC was right */
    } done[kSrvLineVerdicts]; /* the latest finished lines (ring) */
    uint32_t nDone;           /* lines finished */
};

/* Follows n more bytes of the stream. */
void SrvLineCheck_Feed(SrvLineCheck *pCheck, const unsigned char *p, uint32_t n);

/* The verdict on the line whose marker is at offset start: 1 its CRC was
 * right, 0 it was not (or no line the check followed starts there), -1
 * the line has not ended yet. */
int SrvLineCheck_Verdict(const SrvLineCheck *pCheck, uint64_t start);

#endif /* SRV_LINE_CHECK_H */

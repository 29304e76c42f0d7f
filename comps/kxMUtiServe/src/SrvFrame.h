/*
 * SrvFrame.h - the frames of the automation protocol: CRC-32, the payload's
 * escapes, the encoder and the resynchronising reader.  Pure byte work, no
 * I/O and no allocation, so the fuzz target and the tests drive it directly.
 */
#ifndef SRV_FRAME_H
#define SRV_FRAME_H

#include <stddef.h>
#include <stdint.h>

#include "SrvLimits.h"

/* The four bytes every frame starts with. */
#define SRV_MARKER "#KX "
#define SRV_MARKER_LEN 4u

/* One decoded frame. */
struct SrvFrame {
    char type;                                  /* 'A'..'Z' */
    uint32_t id;                                /* request id, 0 when none */
    uint32_t n;                                 /* the type's number: nums[0] */
    uint32_t nNums;                             /* numbers carried; 1..KXSRV_FRAME_NUMS */
    uint32_t nums[KXSRV_FRAME_NUMS];            /* nums[0..nNums) as sent */
    uint32_t len;                               /* payload bytes; <= KXSRV_FRAME_MAX */
    unsigned char payload[KXSRV_FRAME_MAX + 1]; /* payload[len] == '\0' */
};

/* What SrvReader_Next found. */
enum SrvReadResult {
    SRV_READ_NONE = 0,  /* no complete frame yet: read more input */
    SRV_READ_FRAME = 1, /* *pOut holds a valid frame */
    SRV_READ_BAD = 2,   /* a marker without a valid frame (error 1); skipped */
    SRV_READ_HUGE = 3,  /* a frame, checksum right, whose payload is over the limit (error 2) */
    SRV_READ_OLD = 4    /* a version-1 frame, checksum right; skipped; pOut->type is its type */
};

/* Bytes the reader holds: one longest frame line and one read's worth. */
#define SRV_READER_SIZE (KXSRV_FRAME_LINE_MAX + KXSRV_READ_CHUNK)

/* The input side of a session: bytes read, not yet taken as frames. */
struct SrvReader {
    uint32_t head;                      /* first byte not yet looked at */
    uint32_t tail;                      /* end of the bytes held; head <= tail */
    uint32_t longCrc;                   /* CRC-32 of the long line's bytes before head */
    uint8_t longLine;                   /* 0, or within a line too long to hold: 1, 2 (version 1) */
    unsigned char buf[SRV_READER_SIZE]; /* bytes buf[head..tail) wait */
};

void SrvReader_Init(SrvReader *pReader);

/* Where the next read may put its bytes: returns the room at *ppDst, 0
 * when the reader is full (take frames out first). */
uint32_t SrvReader_Space(SrvReader *pReader, unsigned char **ppDst);

/* Says that n bytes were put where SrvReader_Space said. */
void SrvReader_Commit(SrvReader *pReader, uint32_t n);

/*
 * Takes the next frame, or reports a bad, oversized or version-1 one, from
 * the bytes held.  Bytes outside frames are dropped; after a bad frame only
 * the marker's first byte is, so a good frame right behind a truncated one
 * is found.  A line too long to hold is followed to its end without keeping
 * it, so that its checksum still decides between HUGE (or OLD) and BAD.
 * With eof set no more input will come: a partial line at the end is bad.
 */
SrvReadResult SrvReader_Next(SrvReader *pReader, SrvFrame *pOut, bool eof);

/* Parses one line (without its "\n"; a "\r" before it is allowed) as a
 * frame: SRV_READ_FRAME, SRV_READ_BAD, SRV_READ_HUGE or SRV_READ_OLD.  The
 * checksum is judged first: a line with a wrong one is BAD, whatever else. */
SrvReadResult SrvFrame_Parse(const unsigned char *pLine, uint32_t len, SrvFrame *pOut);

/* CRC-32 (the reflected 0xEDB88320 one) of p[0..len), continuing crc (0 to
 * start). */
uint32_t Srv_Crc32(uint32_t crc, const void *p, size_t len);

/* Most bytes SrvFrame_Encode or SrvFrame_EncodeNums writes for a payload of
 * len bytes (every byte escaped, every number ten digits). */
constexpr uint32_t SrvFrame_Size(uint32_t len)
{
    return SRV_MARKER_LEN + 1u + 10u + 1u + KXSRV_FRAME_NUMS * 11u + 4u * len + 1u + 8u + 1u;
}

/* Writes the frame with the numbers pNums[0..nNums), 1 <= nNums <=
 * KXSRV_FRAME_NUMS, into pDst (room for SrvFrame_Size(len)); returns the
 * bytes written.  A null pPayload with len 0 is the empty payload. */
uint32_t SrvFrame_EncodeNums(char *pDst, char type, uint32_t id, const uint32_t *pNums,
                             uint32_t nNums, const void *pPayload, uint32_t len);

/* Writes value in decimal, no sign and no leading zero, at p; returns the
 * end (at most 10 bytes are written). */
char *SrvFrame_PutNumber(char *p, uint32_t value);

/* SrvFrame_EncodeNums with the one number n. */
uint32_t SrvFrame_Encode(char *pDst, char type, uint32_t id, uint32_t n, const void *pPayload,
                         uint32_t len);

/* Most bytes SrvFrame_EncodeV1 writes for a payload of len bytes. */
constexpr uint32_t SrvFrame_SizeV1(uint32_t len)
{
    return SRV_MARKER_LEN + 2u + 3u * 11u + 4u * ((len + 2u) / 3u) + 1u + 9u;
}

/* Writes a version-1 frame ("#KX T id n len base64 crc"), the one thing a
 * version-1 peer can read: what to tell it that this side speaks another
 * version.  Room for SrvFrame_SizeV1(len); returns the bytes written. */
uint32_t SrvFrame_EncodeV1(char *pDst, char type, uint32_t id, uint32_t n, const void *pPayload,
                           uint32_t len);

#endif /* SRV_FRAME_H */

/*
 * SrvWire.h - what a session puts on the wire, in one place: the
 * protocol's version, the errors (code and message), the greeting, the
 * result's numbers and flags, K, and the frames that carry output.  The
 * session core and the loop call these and nothing else to make frames;
 * docs/protocol.md's tables are tested against the tables here.
 */
#ifndef SRV_WIRE_H
#define SRV_WIRE_H

#include <stdint.h>

#include "Srv.h"

/* The protocol's version: G's first number and the greeting's "protocol". */
constexpr uint32_t kSrvProtocol = 2u;

/* The version before it, whose frames the reader still recognises: its
 * peers are told in its own frames that this side speaks another one. */
constexpr uint32_t kSrvProtocolOld = 1u;

/* Every error the server sends, each with its code (X's n) and message.
 * ORDER: kSrvErrors in SrvWire.cpp. */
enum class SrvErr : uint8_t {
    kBadFrame,    /* 1: a marker without a valid frame */
    kHuge,        /* 2: a payload over the frame limit, its CRC right */
    kBadLine,     /* 3: a line too long, or holding a NUL byte */
    kUnknownType, /* 4 */
    kQueued,      /* 5: F or a repeat for a request that waits */
    kUnknownId,   /* 6: F or C for an id never seen */
    kForgotten,   /* 7: a repeated id whose result is gone */
    kNotAuthed,   /* 8: anything but H, A, B before the token */
    kWrongToken,  /* 8: the session then closes */
    kLocked,      /* 8: too many failures from the source; closes */
    kTooMany,     /* 9: no place for the session; closes */
    kIdle,        /* 10: nothing sent for the idle time; closes */
    kGrace,       /* 10: no token within the grace; closes */
    kStuck,       /* 11: the peer took too little within the deadline; closes */
    kNotAfter,    /* 12: Q's n names a request not received */
    kOldVersion,  /* 13: a frame of version 1; sent as a version-1 frame */
    kCount
};

struct SrvErrorText {
    uint32_t code;        /* X's n */
    const char *pMessage; /* X's payload, for people */
};

/* Indexed by SrvErr.  ORDER: SrvErr. */
inline constexpr SrvErrorText kSrvErrors[static_cast<int>(SrvErr::kCount)] = {
    {1, "not a valid frame"},
    {2, "payload over the frame limit"},
    {3, "line too long or holds a NUL byte"},
    {4, "unknown frame type"},
    {5, "request waits in the queue"},
    {6, "no such request"},
    {7, "request ran; its result is no longer kept"},
    {8, "not authenticated"},
    {8, "wrong token"},
    {8, "too many failed attempts; try later"},
    {9, "too many sessions"},
    {10, "idle timeout"},
    {10, "no token within the grace time"},
    {11, "output could not be sent in time"},
    {12, "the request this one follows was not received"},
    {13, "peer speaks protocol version 1; this server speaks version 2"},
};

constexpr bool SrvWire_MessagesFit()
{
    for (const SrvErrorText &e : kSrvErrors) {
        uint32_t n = 0;
        while (e.pMessage[n] != '\0')
            n++;
        if (n == 0 || n > 64u)
            return false;
    }
    return true;
}
static_assert(SrvWire_MessagesFit(), "every error has a message of 1 to 64 bytes");

/* A finished request, as its R frame tells it. */
struct SrvResult {
    uint32_t id;     /* request id */
    uint32_t status; /* 32-bit status */
    bool failed;     /* the failure rule's verdict */
    bool cancelled;  /* a C reached it */
    bool kept;       /* the store holds its output */
    uint64_t us;     /* run time */
    uint32_t nOut;   /* bytes written to standard output */
    uint32_t nErr;   /* bytes written to standard error */
};

/* R's numbers, in their order: status, out and us always, then err and
 * flags, which are 0 in the usual case and then left out from the end.
 * ORDER: kSrvResultNum, SrvWire_Result. */
enum SrvResultNum : uint8_t { kSrvRStatus, kSrvROut, kSrvRUs, kSrvRErr, kSrvRFlags, kSrvRNums };
inline constexpr const char *kSrvResultNum[kSrvRNums] = {"status", "out", "us", "err", "flags"};

/* R's flag bits: each one is the unusual case, so that a result that
 * needs none (the usual one) leaves the number out. */
constexpr uint32_t kSrvFlagFailed = 1u;    /* the failure rule says it failed */
constexpr uint32_t kSrvFlagCancelled = 2u; /* a C reached it */
constexpr uint32_t kSrvFlagReplay = 4u;    /* sent from the store */
constexpr uint32_t kSrvFlagNotKept = 8u;   /* the store does not hold its output */
constexpr uint32_t kSrvFlagMs = 16u;       /* us is in milliseconds (a run of 4295 s or more) */
inline constexpr struct {
    uint32_t bit;
    const char *pName;
} kSrvResultFlags[] = {{kSrvFlagFailed, "failed"},
                       {kSrvFlagCancelled, "cancelled"},
                       {kSrvFlagReplay, "replay"},
                       {kSrvFlagNotKept, "not kept"},
                       {kSrvFlagMs, "milliseconds"}};

/* What the greeting says beyond the build's limits. */
struct SrvHello {
    bool token;        /* a token is wanted ("auth":"token") */
    uint32_t sessions; /* session limit (1 over descriptors) */
    uint32_t idleS;    /* idle timeout in seconds, 0: none */
};

/* Builds the greeting's JSON; with manifest the interpreter library's
 * manifest, else {} (for a peer without the token yet).  False when
 * memory ran out. */
bool SrvWire_Greeting(SrvBuf *pJson, const SrvHello &hello, bool manifest);

/* The most bytes of each frame the session sends, for its budget.  R may
 * carry the last piece of standard output. */
constexpr uint32_t kSrvErrorFrameMax = SrvFrame_Size(64u);
static_assert(SrvFrame_SizeV1(64u) <= kSrvErrorFrameMax, "an error to a version-1 peer fits");
constexpr uint32_t kSrvResultFrameMax = SrvFrame_Size(KXSRV_CHUNK_MAX);
constexpr uint32_t kSrvStartedFrameMax = SrvFrame_Size(0u);
constexpr uint32_t kSrvPieceFrameMax = SrvFrame_Size(KXSRV_CHUNK_MAX);
constexpr uint32_t kSrvGreetingMax = KXSRV_FRAME_MAX; /* JSON; checked when built */

/* Each appends one frame (or a run of pieces) to pOut; false when memory
 * ran out (pOut may then hold part of a run). */
/* G: the version, then the first id the client may use in this session. */
bool SrvWire_Hello(SrvBuf *pOut, const SrvBuf &json, uint32_t nextId);
bool SrvWire_Started(SrvBuf *pOut, uint32_t id);
bool SrvWire_Piece(SrvBuf *pOut, int stream, uint32_t id, uint32_t offset, const void *p,
                   uint32_t n);
bool SrvWire_Pieces(SrvBuf *pOut, int stream, uint32_t id, const char *p, uint32_t n);
bool SrvWire_Log(SrvBuf *pOut, int stream, const void *p, uint32_t n);
/* R, carrying the last nTail bytes of standard output (nTail <= r.nOut and
 * KXSRV_CHUNK_MAX) as its payload. */
bool SrvWire_Result(SrvBuf *pOut, const SrvResult &r, bool replay, const void *pTail,
                    uint32_t nTail);
bool SrvWire_Error(SrvBuf *pOut, uint32_t id, SrvErr err);

/* The X frame of err as a version-1 frame, for a peer of that version. */
bool SrvWire_ErrorV1(SrvBuf *pOut, SrvErr err);

/* Writes the X frame of err into pDst (room for kSrvErrorFrameMax) for a
 * peer that gets no session; returns its length. */
uint32_t SrvWire_ErrorNow(char *pDst, SrvErr err);

#endif /* SRV_WIRE_H */

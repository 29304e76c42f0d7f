/*
 * SrvAuth.h - the token and the penalties for wrong ones.  The token file
 * is read once and refused when weak; attempts are judged against a table
 * of sources (an IPv4 address, an IPv6 /64), where only failures count.
 * Time comes in as an argument.
 */
#ifndef SRV_AUTH_H
#define SRV_AUTH_H

#include <stdint.h>
#include <sys/socket.h>

#include "SrvLimits.h"

/* Where an attempt comes from: IPv4 as ::ffff:a.b.c.d, IPv6 cut to /64. */
struct SrvSource {
    uint8_t key[16];
};

/* A source's record of failed attempts. */
struct SrvPenalty {
    SrvSource source;
    bool used;                              /* the slot holds a source */
    uint32_t streak;                        /* failures since its last right token */
    uint64_t lastMs;                        /* last attempt, for replacing the stalest */
    uint64_t failMs[KXSRV_AUTH_PER_MINUTE]; /* times of the latest failures (ring); 0: none */
    uint32_t nextFail;                      /* next slot of failMs */
};

struct SrvAuth {
    char token[KXSRV_TOKEN_MAX]; /* the shared secret */
    uint32_t tokenLen;           /* KXSRV_TOKEN_MIN..KXSRV_TOKEN_MAX once loaded */
    SrvPenalty peers[KXSRV_PEERS];
};

/* Why a token file was refused. */
enum class SrvTokenProblem : uint8_t {
    kNone,       /* taken */
    kUnreadable, /* cannot be opened or read (errno tells) */
    kExposed,    /* readable by group or others */
    kNotText,    /* the first line holds a NUL byte, or is longer than KXSRV_TOKEN_MAX */
    kShort       /* the first line is shorter than KXSRV_TOKEN_MIN */
};

/* Takes the token from the bytes of a token file (its first line, without
 * "\n" or "\r\n"); sets pAuth's token only when the result is kNone.
 * Looks at no byte past p[n - 1]. */
SrvTokenProblem SrvAuth_ParseToken(SrvAuth *pAuth, const unsigned char *p, uint32_t n);

/* Opens and checks the token file, then parses it. */
SrvTokenProblem SrvAuth_LoadToken(SrvAuth *pAuth, const char *pPath);

/* The source of a peer's address. */
SrvSource SrvAuth_Source(const sockaddr_storage &sa);

enum class SrvVerdict : uint8_t {
    kRight, /* the token: in */
    kWrong, /* answer after *pDelayMs, then close */
    kLocked /* too many failures from the source this minute: refused unread */
};

/*
 * Judges an attempt from source at now (ms, monotonic).  A source with
 * KXSRV_AUTH_PER_MINUTE failures in the last minute is refused without a
 * look at the token.  Otherwise the token is compared in constant time;
 * a wrong one counts as a failure, to be answered after
 * KXSRV_AUTH_DELAY_MS doubled per failure since the source's last right
 * token (up to KXSRV_AUTH_DELAY_MAX_MS).  A right one ends that streak;
 * right tokens never count.
 */
SrvVerdict SrvAuth_Check(SrvAuth *pAuth, const SrvSource &source, const unsigned char *p,
                         uint32_t n, uint64_t now, uint32_t *pDelayMs);

/* Forgets the token (zeroes it). */
void SrvAuth_Clear(SrvAuth *pAuth);

#endif /* SRV_AUTH_H */

/*
 * SrvLimits.h - every bound the serve companion enforces, in one place.
 * Each can be set at build time (-DKXSRV_SESSIONS_MAX=8, say); the greeting
 * tells a client the values this build uses.
 */
#ifndef SRV_LIMITS_H
#define SRV_LIMITS_H

#include <signal.h>

/*
 * Longest command line a request may carry, in bytes.  The interpreter's
 * stream runs read lines in pieces of 1023 characters; a longer line from a
 * client would run as something a script never could, so it is refused.
 */
#ifndef KXSRV_LINE_MAX
#define KXSRV_LINE_MAX 1023u
#endif

/*
 * Largest payload the server reads in one frame.  A command line or a token
 * is far smaller; bounding it bounds the reader's buffer.
 */
#ifndef KXSRV_FRAME_MAX
#define KXSRV_FRAME_MAX 4096u
#endif

/*
 * Largest payload of the server's O, E and L frames.  A pipe delivers at
 * most a page per read on most systems; one page per frame keeps frames
 * short enough that a corrupted one loses little.
 */
#ifndef KXSRV_CHUNK_MAX
#define KXSRV_CHUNK_MAX 4096u
#endif

/*
 * Encoded frames the server holds for one session at any time: output
 * pieces, results, replays, greetings and errors alike.  Past a high-water
 * mark a little below it (room for the answer to one more frame), the
 * server reads no more of that session's input and stops draining the
 * command's output, so the command waits in write: memory stays bounded
 * whatever a peer sends or fails to read.  1 MiB is several seconds of a
 * fast link and little on the board.
 */
#ifndef KXSRV_BUFFER_MAX
#define KXSRV_BUFFER_MAX 1048576u /* 1 MiB */
#endif

/*
 * Results a session keeps for F and repeated requests, and the most output
 * kept with one.  A client retries the last request or two; 32 covers a
 * burst of pipelined requests, 64 KiB covers what a command usually prints.
 */
#ifndef KXSRV_KEPT
#define KXSRV_KEPT 32u
#endif
#ifndef KXSRV_KEPT_BYTES
#define KXSRV_KEPT_BYTES 65536u /* 64 KiB */
#endif

/*
 * Request ids a session remembers, so that a repeated request is never run
 * twice.  Far more than any client has in flight; 4 KiB of memory.
 */
#ifndef KXSRV_IDS
#define KXSRV_IDS 1024u
#endif

/*
 * Requests a session may have waiting behind the running one.  Enough to
 * keep the interpreter busy while a client streams requests; the server
 * reads no more of a session's input while its queue is full.
 */
#ifndef KXSRV_QUEUE_MAX
#define KXSRV_QUEUE_MAX 16u
#endif

/* TCP: sessions served at once; each holds up to KXSRV_BUFFER_MAX. */
#ifndef KXSRV_SESSIONS_MAX
#define KXSRV_SESSIONS_MAX 4u
#endif

/* TCP: seconds a session may send nothing while nothing of it runs. */
#ifndef KXSRV_IDLE_S
#define KXSRV_IDLE_S 300u
#endif

/* TCP: seconds a session with a token may take to authenticate. */
#ifndef KXSRV_AUTH_GRACE_S
#define KXSRV_AUTH_GRACE_S 30u
#endif

/*
 * Milliseconds a session's output may wait without the peer taking a
 * byte, before the session is closed (X 11); over TCP and descriptors.  Long enough for a slow link
 * to catch up, short enough that a stuck peer does not hold the
 * interpreter for long.
 */
#ifndef KXSRV_WRITE_DEADLINE_MS
#define KXSRV_WRITE_DEADLINE_MS 10000u
#endif

/*
 * TCP: bytes a peer must take within each write deadline for its output
 * to count as moving.  A peer that does not read still lets the system
 * trickle a few bytes into its small receive window now and then; 64 KiB
 * per 10 s (6.4 KB/s) is far below any real link, far above a trickle.
 */
#ifndef KXSRV_WRITE_PROGRESS_MIN
#define KXSRV_WRITE_PROGRESS_MIN 65536u /* 64 KiB */
#endif

/*
 * TCP: the delay before a wrong token is answered, doubled per failure
 * from the same source up to the cap, and the failed attempts a source may
 * make in a minute (more are refused unread until the oldest is a minute
 * old).  Only failures count: a rig that logs in for every test is never
 * refused.  Guessing a strong token at 5 a minute is hopeless; a person
 * who mistyped waits a quarter of a second.
 */
#ifndef KXSRV_AUTH_DELAY_MS
#define KXSRV_AUTH_DELAY_MS 250u
#endif
#ifndef KXSRV_AUTH_DELAY_MAX_MS
#define KXSRV_AUTH_DELAY_MAX_MS 30000u
#endif
#ifndef KXSRV_AUTH_PER_MINUTE
#define KXSRV_AUTH_PER_MINUTE 5u
#endif

/* TCP: sources (an IPv4 address, an IPv6 /64) whose failures are
 * remembered; the one least recently seen is dropped. */
#ifndef KXSRV_PEERS
#define KXSRV_PEERS 64u
#endif

/* TCP: longest token, in bytes (the first line of the token file). */
#ifndef KXSRV_TOKEN_MAX
#define KXSRV_TOKEN_MAX 256u
#endif

/*
 * TCP: shortest token a token file may hold, in bytes.  The penalties
 * above slow guessing down; only a long random token makes it hopeless
 * (kxshell --make-token writes 64 hex digits, 256 bits).
 */
#ifndef KXSRV_TOKEN_MIN
#define KXSRV_TOKEN_MIN 16u
#endif

/*
 * Output bytes a session keeps over all its kept results.  Each result
 * keeps up to KXSRV_KEPT_BYTES; past this total the oldest outputs are let
 * go first (their results stay, marked not kept), so the store of a
 * session costs at most this much whatever its requests print.
 */
#ifndef KXSRV_KEPT_TOTAL
#define KXSRV_KEPT_TOTAL 262144u /* 256 KiB */
#endif

/*
 * TCP: milliseconds the listener is left alone after accepting failed for
 * want of descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM).  The
 * waiting connection keeps the listener readable: retried at once, it
 * would keep the I/O thread busy until a descriptor frees.
 */
#ifndef KXSRV_ACCEPT_BACKOFF_MS
#define KXSRV_ACCEPT_BACKOFF_MS 100u
#endif

/*
 * The signal sent to the interpreter's thread to cut a built-in sleep
 * short on cancel.  Its default action is to ignore it, so one that
 * arrives after serving ends harms nothing.  Sent once per cancelled
 * request: every further one would cut another sleep or read of a
 * handler that does not poll kxMUtiSrv_Cancelled().  A host that wants it
 * again every so often says so (kxMUtiSrv_CancelRepeat); this is the
 * period it starts with, 0 for once.
 */
#ifndef KXSRV_CANCEL_SIGNAL
#define KXSRV_CANCEL_SIGNAL SIGURG
#endif
#ifndef KXSRV_CANCEL_RESEND_MS
#define KXSRV_CANCEL_RESEND_MS 0u
#endif

/* Contexts a describe walks up the parent chain; chains are a few deep. */
#ifndef KXSRV_CHAIN_MAX
#define KXSRV_CHAIN_MAX 64u
#endif

/* Bytes read from a peer at a time. */
#ifndef KXSRV_READ_CHUNK
#define KXSRV_READ_CHUNK 16384u
#endif

/*
 * Numbers a frame carries after its id, at most.  Part of the frame syntax,
 * not a tunable: the Python client reads frames with the same bound.
 */
#define KXSRV_FRAME_NUMS 6u

/* The longest valid frame line: marker, type, a 10-digit id and
 * KXSRV_FRAME_NUMS 10-digit numbers with their commas and blanks, the
 * largest payload with every byte escaped as \xHH, the blank, the CRC and
 * "\r\n". */
#define KXSRV_FRAME_LINE_MAX                                                                       \
    (4u + 1u + 10u + 1u + KXSRV_FRAME_NUMS * 11u + 4u * KXSRV_FRAME_MAX + 1u + 8u + 2u)

static_assert(KXSRV_LINE_MAX < KXSRV_FRAME_MAX, "a command line must fit a frame");
static_assert(KXSRV_TOKEN_MAX <= KXSRV_FRAME_MAX, "a token must fit a frame");
static_assert(KXSRV_TOKEN_MIN >= 1u && KXSRV_TOKEN_MIN <= KXSRV_TOKEN_MAX,
              "a token fits its bounds");
static_assert(KXSRV_KEPT_BYTES <= KXSRV_KEPT_TOTAL, "a kept result fits the store");
static_assert(KXSRV_CHUNK_MAX * 2u < KXSRV_BUFFER_MAX, "the buffer must hold a few frames");
static_assert(KXSRV_QUEUE_MAX >= 1u && KXSRV_KEPT >= 1u && KXSRV_IDS >= KXSRV_KEPT,
              "a session keeps at least one of each");

#endif /* SRV_LIMITS_H */

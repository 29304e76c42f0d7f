/*
 * kxMUtiServe.h - serves the command interpreter to a program on another
 * machine over the automation protocol (docs/protocol.md): each request's
 * output, status and run time as exact bytes, over any pair of file
 * descriptors (pipes, an ssh session, a serial console) or TCP.
 *
 * A companion of libkxMUti.so that uses only its public interface.  The
 * lines run on the calling thread, one at a time; a second thread moves
 * the bytes.  While serving, file descriptors 1 and 2 lead into the server
 * (what commands print becomes O, E and L frames) and 0 reads /dev/null;
 * all three are put back before the call returns.  One server at a time.
 */
#ifndef KX_MUTI_SERVE_H
#define KX_MUTI_SERVE_H

#include "kxCommon.h"
#include "kxMUtiCmd.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Statuses of kxMUtiSrv_ServeFds and kxMUtiSrv_Listen besides KX_OK and
 * KX_ERR_NOMEM. */
#define kxMUtiSrv_ErrSystem 0xFFFFFE01u       /* a system call failed (errno tells) */
#define kxMUtiSrv_ErrAddress 0xFFFFFE02u      /* the address does not parse */
#define kxMUtiSrv_ErrNoToken 0xFFFFFE03u      /* a non-loopback address without a token */
#define kxMUtiSrv_ErrToken 0xFFFFFE04u        /* the token file cannot be read (errno tells) */
#define kxMUtiSrv_ErrBusy 0xFFFFFE05u         /* a server already runs in this process */
#define kxMUtiSrv_ErrTokenExposed 0xFFFFFE06u /* the token file is readable by group or others */
#define kxMUtiSrv_ErrTokenShort 0xFFFFFE07u   /* its token (first line) is under 16 bytes */
#define kxMUtiSrv_ErrTokenText 0xFFFFFE08u    /* its token holds a NUL byte or is over 256 bytes */

/*
 * The host's own failure rule: non-zero when status (what the line gave)
 * means the command failed.  Called on the serving thread right after each
 * line, so it may read and reset the host's own error flags.  The server
 * also counts as failed any status with the top bit set except
 * kxMUtiCmd_StatusNoWords.
 */
typedef int (*kxMUtiSrv_FailedFn_t)(uint32_t status, void *pUser);

/* Called once the TCP server listens, with "ADDRESS:PORT" (the port the
 * system chose when 0 was asked for). */
typedef void (*kxMUtiSrv_ReadyFn_t)(const char *pAddress, void *pUser);

/* How to serve; kxMUtiSrv_ConfigInit gives the defaults. */
typedef struct kxMUtiSrv_Config_s {
    kxMUtiCmd_Exec_t *pExec;     /* context the lines run on; null: the global one */
    kxMUtiSrv_FailedFn_t failed; /* the host's failure rule; may be null */
    void *pFailedUser;           /* handed to failed */
    const char *pTokenFile;      /* TCP: file whose first line is the token; null: none */
    const char *pAuditFile;      /* TCP: JSON lines appended per request and session; null: none */
    uint32_t maxSessions;        /* TCP: sessions at once; 0: the default (4) */
    uint32_t idleSeconds;        /* TCP: idle timeout; 0: the default (300) */
    kxMUtiSrv_ReadyFn_t ready;   /* TCP: told the address once listening; may be null */
    void *pReadyUser;            /* handed to ready */
} kxMUtiSrv_Config_t;

/* Fills *pConfig with the defaults: the global context, no rule of the
 * host's, no token, no audit, default limits.  Cannot fail. */
KX_API void kxMUtiSrv_ConfigInit(kxMUtiSrv_Config_t *pConfig);

/*
 * Serves one session on inFd (requests) and outFd (frames), which may be
 * the same descriptor, until the client sends B, a line runs quit, or the
 * input ends (requests already read still run).  A terminal is put in raw
 * mode without echo and restored after.  Standard output is left
 * line-buffered.  pConfig null: the defaults; its TCP fields are ignored.
 * Returns KX_OK, KX_ERR_NOMEM, kxMUtiSrv_ErrSystem or kxMUtiSrv_ErrBusy.
 */
KX_API uint32_t kxMUtiSrv_ServeFds(const kxMUtiSrv_Config_t *pConfig, int inFd, int outFd);

/*
 * Serves TCP on pAddrPort, "[ADDRESS:]PORT" (ADDRESS a numeric IPv4
 * address or a bracketed IPv6 one; 127.0.0.1 when left out), until the
 * process ends.  An address other than loopback needs pConfig->pTokenFile:
 * without it nothing is opened and kxMUtiSrv_ErrNoToken is returned.  A
 * token file is refused, before anything is opened, when it cannot be read
 * (kxMUtiSrv_ErrToken), is readable by group or others
 * (kxMUtiSrv_ErrTokenExposed), or its first line, the token, is shorter
 * than 16 bytes (kxMUtiSrv_ErrTokenShort) or holds a NUL byte or more than
 * 256 bytes (kxMUtiSrv_ErrTokenText).  Returns only on failure: those,
 * kxMUtiSrv_ErrAddress, kxMUtiSrv_ErrNoToken, kxMUtiSrv_ErrSystem,
 * kxMUtiSrv_ErrBusy or KX_ERR_NOMEM.
 */
KX_API uint32_t kxMUtiSrv_Listen(const kxMUtiSrv_Config_t *pConfig, const char *pAddrPort);

/*
 * Non-zero while the request now running has been cancelled: by its
 * client (C), or because its session ended (B, the peer gone, a timeout).
 * Cleared when the next request starts.  Safe from any thread.
 *
 * What a cancel does to a running handler, exactly: it sets this flag;
 * it sets the console's cancel flag (kxMUtiCon_Cancel), so that a script
 * that source runs ends after its current line; and it sends the cancel
 * signal (SIGURG unless built otherwise) once to the interpreter's thread.
 * That signal's handler does nothing and is installed without SA_RESTART:
 * a sleep the thread is in at that moment (msleep, autosleep, nanosleep,
 * usleep, sleep) ends early, and a read, write, poll or wait on a slow
 * device, pipe or socket returns -1 with errno EINTR (or a short count if
 * it had moved bytes already).  A sleep or read that starts after the
 * signal is not cut.  So a handler that works for long, or sleeps in
 * steps, polls this flag and returns early; one that retries on EINTR
 * should stop when the flag is set.
 */
KX_API int kxMUtiSrv_Cancelled(void);

/*
 * For handlers that sleep in steps and poll nothing: sends the cancel
 * signal again every ms milliseconds while a cancelled request still runs
 * (0, the default: once).  Every signal cuts the sleep or read the thread
 * is in at the time.  Takes effect from the next cancel; any thread.
 */
KX_API void kxMUtiSrv_CancelRepeat(uint32_t ms);

/* Whether the server's own rule counts status as a failure: the top bit
 * set, except kxMUtiCmd_StatusNoWords. */
KX_API int kxMUtiSrv_StatusFailed(uint32_t status);

#ifdef __cplusplus
}
#endif

#endif /* KX_MUTI_SERVE_H */

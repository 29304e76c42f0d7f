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
#define kxMUtiSrv_ErrSystem 0xFFFFFE01u  /* a system call failed (errno tells) */
#define kxMUtiSrv_ErrAddress 0xFFFFFE02u /* the address does not parse */
#define kxMUtiSrv_ErrNoToken 0xFFFFFE03u /* a non-loopback address without a token */
#define kxMUtiSrv_ErrToken 0xFFFFFE04u   /* the token file cannot be read, or is empty */
#define kxMUtiSrv_ErrBusy 0xFFFFFE05u    /* a server already runs in this process */

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
    const char *pAuditFile;      /* TCP: one JSON line per request appended; null: none */
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
 * without it nothing is opened and kxMUtiSrv_ErrNoToken is returned.
 * Returns only on failure: kxMUtiSrv_ErrAddress, kxMUtiSrv_ErrNoToken,
 * kxMUtiSrv_ErrToken, kxMUtiSrv_ErrSystem, kxMUtiSrv_ErrBusy or
 * KX_ERR_NOMEM.
 */
KX_API uint32_t kxMUtiSrv_Listen(const kxMUtiSrv_Config_t *pConfig, const char *pAddrPort);

/*
 * Non-zero while the request now running has been cancelled by its client.
 * A handler that works for long polls it and returns early; the built-in
 * sleeps end by themselves.  Cleared when the next request starts.  Safe
 * from any thread.
 */
KX_API int kxMUtiSrv_Cancelled(void);

/* Whether the server's own rule counts status as a failure: the top bit
 * set, except kxMUtiCmd_StatusNoWords. */
KX_API int kxMUtiSrv_StatusFailed(uint32_t status);

#ifdef __cplusplus
}
#endif

#endif /* KX_MUTI_SERVE_H */

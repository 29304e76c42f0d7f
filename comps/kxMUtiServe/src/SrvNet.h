/*
 * SrvNet.h - TCP set-up: reading "[ADDR:]PORT", the listening socket, and
 * accepting a peer with its name (for the audit) and source (for the
 * penalties).
 */
#ifndef SRV_NET_H
#define SRV_NET_H

#include <stddef.h>
#include <sys/socket.h>

#include "SrvAuth.h"

/* Parses "[ADDR:]PORT": ADDR numeric IPv4 or "[IPv6]", 127.0.0.1 when
 * left out.  *pLoopback: the address is 127.0.0.0/8 or ::1. */
bool SrvNet_Parse(const char *pText, sockaddr_storage *pSa, socklen_t *pLen, bool *pLoopback);

/* Binds and listens (non-blocking, close-on-exec); writes the bound
 * "ADDRESS:PORT" into pName.  The descriptor, or -1 (errno tells). */
int SrvNet_Listen(const sockaddr_storage &sa, socklen_t len, char *pName, size_t nameSize);

/* A peer just accepted. */
struct SrvPeer {
    int fd;           /* non-blocking, close-on-exec, no Nagle delay */
    char name[64];    /* "address:port", "[v6]:port" */
    SrvSource source; /* what its penalties are kept under */
};

/* What SrvNet_Accept did. */
enum class SrvAccept : unsigned char {
    kPeer,   /* *pPeer holds a new peer */
    kNone,   /* nothing to take (or the peer left first) */
    kBackoff /* out of descriptors or memory: leave the listener for a while */
};

SrvAccept SrvNet_Accept(int listenFd, SrvPeer *pPeer);

#endif /* SRV_NET_H */

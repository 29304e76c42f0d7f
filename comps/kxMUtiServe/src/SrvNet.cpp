/*
 * SrvNet.cpp - TCP set-up for the serve companion: address parsing, the
 * listener, and accept with the peer's name and source.
 */
#include "SrvNet.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

/* "address:port" or "[address]:port" of a socket address. */
void Name(const sockaddr_storage &sa, char *pName, size_t size)
{
    char host[INET6_ADDRSTRLEN] = "?";
    if (sa.ss_family == AF_INET) {
        const sockaddr_in &a4 = reinterpret_cast<const sockaddr_in &>(sa);
        inet_ntop(AF_INET, &a4.sin_addr, host, sizeof host);
        snprintf(pName, size, "%s:%u", host, ntohs(a4.sin_port));
    } else if (sa.ss_family == AF_INET6) {
        const sockaddr_in6 &a6 = reinterpret_cast<const sockaddr_in6 &>(sa);
        inet_ntop(AF_INET6, &a6.sin6_addr, host, sizeof host);
        snprintf(pName, size, "[%s]:%u", host, ntohs(a6.sin6_port));
    } else {
        snprintf(pName, size, "?");
    }
}

/* Splits "[ADDR:]PORT" into host text and port; false when malformed. */
bool Split(const char *pText, char *pHost, size_t hostSize, long *pPort)
{
    const char *pDigits = pText;
    const char *pColon = strrchr(pText, ':');
    if (pColon != nullptr) {
        size_t n = static_cast<size_t>(pColon - pText);
        const char *pH = pText;
        if (n >= 2 && pText[0] == '[' && pText[n - 1] == ']') {
            pH++;
            n -= 2;
        }
        if (n == 0 || n >= hostSize)
            return false;
        memcpy(pHost, pH, n);
        pHost[n] = '\0';
        pDigits = pColon + 1;
    }
    char *pEnd;
    *pPort = strtol(pDigits, &pEnd, 10);
    return *pDigits >= '0' && *pDigits <= '9' && *pEnd == '\0' && *pPort >= 0 && *pPort <= 65535;
}

} // namespace

bool SrvNet_Parse(const char *pText, sockaddr_storage *pSa, socklen_t *pLen, bool *pLoopback)
{
    char host[64] = "127.0.0.1";
    long port;
    if (pText == nullptr || !Split(pText, host, sizeof host, &port))
        return false;
    memset(pSa, 0, sizeof *pSa);
    sockaddr_in *p4 = reinterpret_cast<sockaddr_in *>(pSa);
    sockaddr_in6 *p6 = reinterpret_cast<sockaddr_in6 *>(pSa);
    if (inet_pton(AF_INET, host, &p4->sin_addr) == 1) {
        p4->sin_family = AF_INET;
        p4->sin_port = htons(static_cast<uint16_t>(port));
        *pLen = sizeof *p4;
        *pLoopback = (ntohl(p4->sin_addr.s_addr) >> 24) == 127;
        return true;
    }
    if (inet_pton(AF_INET6, host, &p6->sin6_addr) == 1) {
        p6->sin6_family = AF_INET6;
        p6->sin6_port = htons(static_cast<uint16_t>(port));
        *pLen = sizeof *p6;
        *pLoopback = IN6_IS_ADDR_LOOPBACK(&p6->sin6_addr);
        return true;
    }
    return false;
}

int SrvNet_Listen(const sockaddr_storage &sa, socklen_t len, char *pName, size_t nameSize)
{
    const int fd = socket(sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage bound = sa;
    socklen_t boundLen = len;
    if (bind(fd, reinterpret_cast<const sockaddr *>(&sa), len) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &boundLen) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    Name(bound, pName, nameSize);
    return fd;
}

SrvAccept SrvNet_Accept(int listenFd, SrvPeer *pPeer)
{
    sockaddr_storage sa;
    socklen_t saLen = sizeof sa;
    pPeer->fd =
        accept4(listenFd, reinterpret_cast<sockaddr *>(&sa), &saLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (pPeer->fd < 0) {
        const bool starved =
            errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
        return starved ? SrvAccept::kBackoff : SrvAccept::kNone;
    }
    const int one = 1;
    setsockopt(pPeer->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Name(sa, pPeer->name, sizeof pPeer->name);
    pPeer->source = SrvAuth_Source(sa);
    return SrvAccept::kPeer;
}

/*
 * SrvAuth.cpp - the token file, constant-time comparison, and the
 * penalties per source: doubling delays for wrong tokens and a cap on
 * failures a minute.
 */
#include "SrvAuth.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint64_t kMinuteMs = 60000u;

/* Compares in time that depends on the lengths only, never on where the
 * texts differ. */
bool TokenEqual(const char *pA, uint32_t lenA, const unsigned char *pB, uint32_t lenB)
{
    if (lenA == 0)
        return false;
    volatile unsigned char diff = lenA != lenB;
    for (uint32_t i = 0; i < lenB; i++)
        diff = diff | static_cast<unsigned char>(pB[i] ^ static_cast<unsigned char>(pA[i % lenA]));
    return diff == 0;
}

/* The record of source, or a fresh one in place of the stalest. */
SrvPenalty &Record(SrvAuth *pAuth, const SrvSource &source)
{
    SrvPenalty *pStalest = &pAuth->peers[0];
    for (SrvPenalty &p : pAuth->peers) {
        if (p.used && memcmp(p.source.key, source.key, sizeof source.key) == 0)
            return p;
        if (!p.used || (pStalest->used && p.lastMs < pStalest->lastMs))
            pStalest = &p;
    }
    *pStalest = SrvPenalty{};
    pStalest->source = source;
    pStalest->used = true;
    return *pStalest;
}

/* Failures of the record within the minute before now. */
uint32_t RecentFailures(const SrvPenalty &p, uint64_t now)
{
    uint32_t n = 0;
    for (uint64_t at : p.failMs)
        n += at != 0 && now - at < kMinuteMs;
    return n;
}

uint32_t Delay(uint32_t streak)
{
    uint64_t delay = KXSRV_AUTH_DELAY_MS;
    for (uint32_t i = 1; i < streak && delay < KXSRV_AUTH_DELAY_MAX_MS; i++)
        delay *= 2u;
    return static_cast<uint32_t>(delay < KXSRV_AUTH_DELAY_MAX_MS ? delay : KXSRV_AUTH_DELAY_MAX_MS);
}

/* Reads up to cap bytes of fd; -1 on an error. */
ssize_t ReadAll(int fd, unsigned char *p, size_t cap)
{
    size_t n = 0;
    while (n < cap) {
        const ssize_t got = read(fd, p + n, cap - n);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        n += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(n);
}

} // namespace

SrvTokenProblem SrvAuth_ParseToken(SrvAuth *pAuth, const unsigned char *p, uint32_t n)
{
    const unsigned char *pNl = static_cast<const unsigned char *>(memchr(p, '\n', n));
    uint32_t len = pNl != nullptr ? static_cast<uint32_t>(pNl - p) : n;
    if (pNl != nullptr && len > 0 && p[len - 1] == '\r')
        len--;
    if (len > KXSRV_TOKEN_MAX || memchr(p, '\0', len) != nullptr)
        return SrvTokenProblem::kNotText;
    if (len < KXSRV_TOKEN_MIN)
        return SrvTokenProblem::kShort;
    memcpy(pAuth->token, p, len);
    pAuth->tokenLen = len;
    return SrvTokenProblem::kNone;
}

SrvTokenProblem SrvAuth_LoadToken(SrvAuth *pAuth, const char *pPath)
{
    const int fd = open(pPath, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return SrvTokenProblem::kUnreadable;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return SrvTokenProblem::kUnreadable;
    }
    if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        close(fd);
        return SrvTokenProblem::kExposed;
    }
    /* One byte more than a token and its "\r\n": a longer first line is
     * seen as too long, never cut. */
    unsigned char buf[KXSRV_TOKEN_MAX + 3];
    const ssize_t n = ReadAll(fd, buf, sizeof buf);
    const int err = errno;
    close(fd);
    if (n < 0) {
        errno = err;
        return SrvTokenProblem::kUnreadable;
    }
    const SrvTokenProblem problem = SrvAuth_ParseToken(pAuth, buf, static_cast<uint32_t>(n));
    explicit_bzero(buf, sizeof buf);
    return problem;
}

SrvSource SrvAuth_Source(const sockaddr_storage &sa)
{
    SrvSource source{};
    if (sa.ss_family == AF_INET) {
        const sockaddr_in &a4 = reinterpret_cast<const sockaddr_in &>(sa);
        source.key[10] = source.key[11] = 0xFF;
        memcpy(source.key + 12, &a4.sin_addr, 4);
    } else if (sa.ss_family == AF_INET6) {
        const sockaddr_in6 &a6 = reinterpret_cast<const sockaddr_in6 &>(sa);
        /* An IPv4 peer of a dual-stack listener is its whole address. */
        const bool mapped = IN6_IS_ADDR_V4MAPPED(&a6.sin6_addr);
        memcpy(source.key, &a6.sin6_addr, mapped ? 16 : 8);
    }
    return source;
}

SrvVerdict SrvAuth_Check(SrvAuth *pAuth, const SrvSource &source, const unsigned char *p,
                         uint32_t n, uint64_t now, uint32_t *pDelayMs)
{
    SrvPenalty &rec = Record(pAuth, source);
    rec.lastMs = now;
    *pDelayMs = 0;
    if (RecentFailures(rec, now) >= KXSRV_AUTH_PER_MINUTE)
        return SrvVerdict::kLocked;
    if (TokenEqual(pAuth->token, pAuth->tokenLen, p, n)) {
        rec.streak = 0;
        return SrvVerdict::kRight;
    }
    rec.streak++;
    rec.failMs[rec.nextFail] = now != 0 ? now : 1;
    rec.nextFail = (rec.nextFail + 1) % KXSRV_AUTH_PER_MINUTE;
    *pDelayMs = Delay(rec.streak);
    return SrvVerdict::kWrong;
}

void SrvAuth_Clear(SrvAuth *pAuth)
{
    explicit_bzero(pAuth->token, sizeof pAuth->token);
    pAuth->tokenLen = 0;
}

/*
 * fuzz_parseint.cpp - the integer parse against the board's rules stated on a number, not on
 * text.  Bytes 0-8 build a word (blanks, sign, 0x for x, zeros, a 64-bit magnitude in the
 * base, maybe a stray byte); the value follows from magnitude and sign alone: d saturates at
 * its sign's limit, u and x at 0xFFFFFFFF, a minus sign wraps what fits.  The rest is a raw
 * word: no crash, a rejection writes nothing, blanks in front change nothing.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "MUtiCmd.h"

#define FUZZ_CHECK(cond, pWord)                                                                    \
    ((cond) ? (void)0 : (fprintf(stderr, "*** kxMUti fuzz check failed: %s\n", pWord), abort()))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t size)
{
    if (size < 9)
        return 0;
    const uint8_t flags = pData[0];
    const char conv = "dux"[flags % 3];
    const bool neg = flags & 4, stray = (flags & 0x18) == 0x18;
    uint64_t mag;
    memcpy(&mag, pData + 1, sizeof(mag));
    mag >>= (pData[1] & 0x3F); /* small numbers as often as large ones */
    char digits[32];
    snprintf(digits, sizeof(digits), conv == 'x' ? "%llx" : "%llu",
             static_cast<unsigned long long>(mag));
    const std::string word = std::string((flags >> 5) & 1, ' ') +
                             (neg              ? "-"
                              : (flags & 0x40) ? "+"
                                               : "") +
                             (conv == 'x' && (flags & 0x80) ? "0x" : "") +
                             std::string(flags & 0x18 ? 3 : 0, '0') + digits + (stray ? "g" : "");
    uint32_t want = neg ? 0u - static_cast<uint32_t>(mag) : static_cast<uint32_t>(mag);
    if (mag > UINT32_MAX)
        want = UINT32_MAX;
    if (conv == 'd' && mag > 0x7FFFFFFFu + neg)
        want = neg ? 0x80000000u : 0x7FFFFFFFu;
    uint32_t got = 0xDEADBEEF;
    const bool ok = MUtiCmd_ParseInt(word.c_str(), conv, &got);
    FUZZ_CHECK(stray ? !ok && got == 0xDEADBEEF : ok && got == want, word.c_str());

    const std::string raw(reinterpret_cast<const char *>(pData + 9), size - 9);
    uint32_t plain = 0xDEADBEEF, blanked = 0xDEADBEEF;
    const bool rawOk = MUtiCmd_ParseInt(raw.c_str(), conv, &plain);
    FUZZ_CHECK(rawOk || plain == 0xDEADBEEF, raw.c_str());
    FUZZ_CHECK(MUtiCmd_ParseInt((" \t" + raw).c_str(), conv, &blanked) == rawOk && blanked == plain,
               raw.c_str());
    return 0;
}

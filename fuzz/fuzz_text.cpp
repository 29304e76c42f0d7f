/*
 * fuzz_text.cpp - the text helpers on any bytes.  Input: a growth rule, its parameter, then
 * operations (Cat, NCat, Join): opcode, operand, text up to a NUL, which ToWords and NDup also
 * get.  Checked: words are whole blank-separated pieces of the text; NDup copies then pads
 * with NULs; an append leaves the old text then what it appended, NUL-ended; an injected
 * allocation failure changes nothing (Join keeps part); the same input gives the same text.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "MUtiAlloc.h"
#include "kxMUtiStr.h"
#include "kxMUtiStrx.h"
#include "qvStbDbgTest.h"

#define FUZZ_CHECK(c)                                                                              \
    ((c) ? (void)0 : (fprintf(stderr, "*** kxMUti fuzz check failed: %s\n", #c), abort()))

static auto IsBlank = [](char c) { return c != '\0' && strchr(" \t\n\v\f\r", c) != nullptr; };

static std::string Run(const uint8_t *pData, size_t size)
{
    /* A rule (none, one, or two at once) and a parameter below 256, so growth stays small. */
    const uint32_t policy = (pData[0] << 24 & kxMUtiStrx_GrowRuleMask & 0x0F000000u) | pData[1];
    kxMUtiStrx_t strx;
    if (kxMUtiStrx_Init(&strx, pData[0] >> 4, 0, policy) != KX_OK)
        return "";
    const std::string in(reinterpret_cast<const char *>(pData + 2), size - 2);
    for (size_t pos = 0; pos + 2 <= in.size();) {
        const uint8_t op = static_cast<uint8_t>(in[pos]), arg = static_cast<uint8_t>(in[pos + 1]);
        const size_t nul = std::min(in.find('\0', pos + 2), in.size());
        const std::string text = in.substr(pos + 2, nul - pos - 2), before(strx.pBuf, strx.len);
        pos = nul + 1;
        std::string cut = text;
        char *words[8];
        const uint32_t maxWords = arg % 8, n = kxMUtiStr_ToWords(cut.data(), maxWords, words);
        size_t end = 0; /* past the previous word and the NUL written behind it */
        for (uint32_t k = 0; k < n; k++) {
            const size_t at = static_cast<size_t>(words[k] - cut.data()), len = strlen(words[k]);
            FUZZ_CHECK(at >= end && len > 0 && text.compare(at, len, words[k]) == 0 &&
                       std::all_of(&text[end], &text[at], IsBlank) && /* no word skipped */
                       std::none_of(words[k], words[k] + len, IsBlank) &&
                       (at + len == text.size() || IsBlank(text[at + len])));
            end = std::min(at + len + 1, text.size());
        }
        FUZZ_CHECK(n == maxWords ||
                   (n < maxWords && std::all_of(&text[end], text.data() + text.size(), IsBlank)));
        const uint32_t nDup = arg % 64; /* the text's first bytes, then NULs to nDup + 1 */
        char *pCopy = kxMUtiStr_NDup(text.c_str(), nDup, 0);
        FUZZ_CHECK(pCopy != nullptr &&
                   std::string(pCopy, nDup + 1) ==
                       (text.substr(0, nDup) + std::string(64, '\0')).substr(0, nDup + 1));
        free(pCopy);
        const uint32_t kind = op % 3, nCat = arg % 32, capacity = strx.spare + strx.len;
        const char *ppTexts[2] = {text.c_str(), text.c_str()}, sep[2] = {char(arg)};
        /* An append's text: NCat's up to n, then NULs; Join's twice, the operand between */
        const std::string added = kind == 1   ? (text + std::string(32, '\0')).substr(0, nCat)
                                  : kind == 2 ? text + (arg % 2 ? sep : "") + text
                                              : text;
        MUti_FaultArm(op & 0x80 ? 0 : ~0ul, false); /* some operations meet a failure */
        const uint32_t status = kind == 0 ? kxMUtiStrx_Cat(&strx, text.c_str())
                                : kind == 1
                                    ? kxMUtiStrx_NCat(&strx, text.c_str(), nCat)
                                    : kxMUtiStrx_Join(&strx, 2, ppTexts, arg % 2 ? sep : nullptr);
        const bool injected = MUti_FaultDisarm() != 0;
        const std::string now(strx.pBuf, strx.len), want = before + added;
        FUZZ_CHECK(strx.pBuf[strx.len] == '\0' && strx.spare + strx.len >= capacity);
        FUZZ_CHECK(status == KX_OK /* a failure is all or nothing; Join keeps what it appended */
                       ? now == want
                       : status == KX_ERR_NOMEM && injected &&
                             (kind == 2 ? now.size() >= before.size() && want.starts_with(now)
                                        : now == before));
    }
    std::string result(strx.pBuf, strx.len);
    kxMUtiStrx_DeInit(&strx);
    return result;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (freopen("/dev/null", "w", stdout) == nullptr) /* ToWords' warning */
        abort();
    qvStbDbg_TestQuiet(1); /* an unknown growth rule is reported on purpose */
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t size)
{
    if (size >= 2)
        FUZZ_CHECK(Run(pData, size) == Run(pData, size));
    return 0;
}

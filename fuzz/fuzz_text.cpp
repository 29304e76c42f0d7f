/*
 * fuzz_text.cpp - the text helpers hosts call with any bytes.  Input: byte 0 picks a growth
 * rule and byte 1 its parameter; then operations, each an opcode byte, an operand byte and
 * the text up to the next NUL.  Each operation's text then goes through kxMUtiStr_ToWords
 * and kxMUtiStr_NDup too.  Properties:
 *  - extensible string: its text equals a std::string built by the documented effect of each
 *    call (appends, padding, cuts), pBuf[len] is NUL, the capacity never shrinks and covers
 *    what EnsureSpare asked for; an injected allocation failure leaves it as it was;
 *  - ToWords: at most maxWords words, each a whole run of non-blank bytes of the text in
 *    order; only the blank right after a word became NUL, every other byte is as it was; a
 *    count below maxWords leaves no word behind the last;
 *  - NDup: n + 1 bytes, the text's first bytes then NULs.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "MUtiAlloc.h"
#include "kxMUtiStr.h"
#include "kxMUtiStrx.h"
#include "qvStbDbgTest.h"

#define FUZZ_CHECK(c)                                                                              \
    ((c) ? (void)0 : (fprintf(stderr, "*** kxMUti fuzz check failed: %s\n", #c), abort()))

namespace {

bool IsBlank(char c)
{
    return c != '\0' && strchr(" \t\n\v\f\r", c) != nullptr;
}

void CheckWords(const std::string &text, uint8_t arg)
{
    const uint32_t maxWords = arg % 8;
    std::string cut = text; /* text holds no NUL */
    char *words[8];
    const uint32_t n = kxMUtiStr_ToWords(cut.data(), maxWords, words);
    FUZZ_CHECK(n <= maxWords);
    size_t end = 0; /* where the previous word ended */
    for (uint32_t k = 0; k < n; k++) {
        const size_t at = static_cast<size_t>(words[k] - cut.data());
        const size_t len = strlen(words[k]);
        FUZZ_CHECK(at >= end && at < text.size() && len > 0);
        FUZZ_CHECK(at == 0 || IsBlank(text[at - 1]));
        for (size_t j = at; j < at + len; j++)
            FUZZ_CHECK(!IsBlank(text[j]));
        FUZZ_CHECK(at + len == text.size() || IsBlank(text[at + len]));
        for (size_t j = end; j < at; j++) /* between words: untouched blanks */
            FUZZ_CHECK(IsBlank(text[j]) && cut[j] == text[j]);
        end = at + len + (at + len < text.size()); /* past the NUL written, if any */
    }
    for (size_t j = end; j < text.size(); j++) /* after the last word: as it was */
        FUZZ_CHECK(cut[j] == text[j] && (n == maxWords || IsBlank(text[j])));
}

void CheckDup(const std::string &text, uint8_t arg)
{
    const uint32_t n = arg % 64;
    char *pCopy = kxMUtiStr_NDup(text.c_str(), n, 0);
    FUZZ_CHECK(pCopy != nullptr);
    const size_t nText = std::min<size_t>(text.size(), n);
    FUZZ_CHECK(memcmp(pCopy, text.data(), nText) == 0);
    for (size_t j = nText; j <= n; j++)
        FUZZ_CHECK(pCopy[j] == '\0');
    free(pCopy);
}

uint32_t Capacity(const kxMUtiStrx_t &s)
{
    return s.spare + s.len;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (freopen("/dev/null", "w", stdout) == nullptr) /* ToWords' warning */
        abort();
    qvStbDbg_TestQuiet(1); /* an unknown growth rule is reported on purpose */
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t size)
{
    if (size < 2)
        return 0;
    /* A rule (none, one, or two at once) and a parameter below 256, so growth stays small. */
    const uint32_t policy =
        (uint32_t{pData[0]} << 24 & kxMUtiStrx_GrowRuleMask & 0x0F000000u) | pData[1];
    kxMUtiStrx_t strx;
    if (kxMUtiStrx_Init(&strx, pData[0] >> 4, 0, policy) != KX_OK)
        return 0;
    std::string model;
    const std::string in(reinterpret_cast<const char *>(pData + 2), size - 2);
    for (size_t pos = 0; pos + 2 <= in.size();) {
        const uint8_t op = static_cast<uint8_t>(in[pos]), arg = static_cast<uint8_t>(in[pos + 1]);
        const size_t nul = std::min(in.find('\0', pos + 2), in.size());
        const std::string text = in.substr(pos + 2, nul - pos - 2);
        pos = nul + 1;
        CheckWords(text, arg);
        CheckDup(text, arg);

        const std::string before = model;
        const uint32_t capacity = Capacity(strx);
        uint32_t status = KX_OK;
        if (op & 0x80) /* this operation meets a failing allocation */
            MUti_FaultArm(0, false);
        switch (op % 8) {
        case 0:
            status = kxMUtiStrx_Cat(&strx, text.c_str());
            model += text;
            break;
        case 1: /* the text's bytes up to n, then NULs up to n */
            status = kxMUtiStrx_NCat(&strx, text.c_str(), arg % 32);
            model += text.substr(0, arg % 32);
            model.resize(before.size() + arg % 32, '\0');
            break;
        case 2:
            status = kxMUtiStrx_Chr(&strx, static_cast<char>(arg));
            model += static_cast<char>(arg);
            break;
        case 3: { /* new bytes past the old end are not filled: the model takes them */
            const uint32_t len = arg % 2 ? model.size() / (arg % 4 + 1) : model.size() + arg / 8;
            status = kxMUtiStrx_LenSet(&strx, len);
            if (status == KX_OK && len > model.size())
                model.append(strx.pBuf + model.size(), len - model.size());
            else
                model.resize(len);
            break;
        }
        case 4:
            status = kxMUtiStrx_EnsureSpare(&strx, arg);
            FUZZ_CHECK(status != KX_OK || strx.spare >= arg);
            break;
        case 5:
            status = kxMUtiStrx_GrowBy(&strx, arg);
            FUZZ_CHECK(status != KX_OK || Capacity(strx) == capacity + arg);
            break;
        default: { /* Join: the text's halves with the operand byte between them */
            const std::string half[2] = {text.substr(0, text.size() / 2),
                                         text.substr(text.size() / 2)};
            const char *ppTexts[2] = {half[0].c_str(), half[1].c_str()};
            const char sep[2] = {static_cast<char>(arg), '\0'};
            status = kxMUtiStrx_Join(&strx, 2, ppTexts, arg % 2 ? sep : nullptr);
            model += half[0] + (arg % 2 ? sep : "") + half[1];
            break;
        }
        }
        const bool injected = MUti_FaultDisarm() != 0;
        FUZZ_CHECK(status == KX_OK || (status == KX_ERR_NOMEM && injected));
        const bool join = op % 8 >= 6; /* Join keeps what it appended before failing */
        if (status != KX_OK)           /* the others are all or nothing */
            join ? model.resize(strx.len) : (void)(model = before);
        FUZZ_CHECK(strx.len == model.size() && memcmp(strx.pBuf, model.data(), strx.len) == 0);
        FUZZ_CHECK(strx.pBuf[strx.len] == '\0' && Capacity(strx) >= capacity);
        if (strx.len > 8192) /* keeps runs fast; the text restarts empty */
            kxMUtiStrx_LenSet(&strx, 0), model.clear();
    }
    kxMUtiStrx_DeInit(&strx);
    return 0;
}

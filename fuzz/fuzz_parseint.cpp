/*
 * fuzz_parseint.cpp - the interpreter's integer parse against sscanf.
 *
 * MUtiCmd_ParseInt reads the common short words itself and must give, for
 * every word, exactly what sscanf with "%d%c", "%u%c" or "%x%c" gives: the
 * same verdict (sscanf returning 1) and the same 32-bit value, and no write
 * to the result when the word is rejected.  Input: byte 0 picks the
 * conversion, the rest up to the first NUL is the word.
 */
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "FuzzModel.h"
#include "MUtiCmd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t size)
{
    if (size == 0)
        return 0;
    static constexpr char kConvs[] = {'d', 'u', 'x'};
    const char conv = kConvs[pData[0] % 3];
    const std::string word(reinterpret_cast<const char *>(pData + 1), size - 1);

    constexpr uint32_t kUntouched = 0xDEADBEEFu;
    uint32_t want = kUntouched;
    uint32_t got = kUntouched;
    const bool wantOk = kxfuzz::RefParse(word.c_str(), conv, &want);
    const bool gotOk = MUtiCmd_ParseInt(word.c_str(), conv, &got);

    char detail[96];
    snprintf(detail, sizeof(detail), "%%%c: sscanf %d 0x%x, ParseInt %d 0x%x", conv, wantOk, want,
             gotOk, got);
    FUZZ_CHECK_MSG(gotOk == wantOk, detail);
    FUZZ_CHECK_MSG(got == want, detail);
    return 0;
}

/*
 * RefParse.h - the reference reading of an integer word: sscanf with
 * "%d%c", "%u%c" or "%x%c", accepting the word only when sscanf returns
 * exactly 1 (a number and nothing after it).  The interpreter's own parse
 * must agree with it on every word; the unit tests and the fuzz target both
 * compare against this one definition.
 */
#ifndef KX_TEST_REF_PARSE_H
#define KX_TEST_REF_PARSE_H

#include <stdint.h>
#include <stdio.h>

/* True, with the 32-bit value in *pValue, when sscanf accepts pWord under
 * conv ('d', 'u' or 'x'); false with *pValue untouched otherwise. */
inline bool RefParse(const char *pWord, char conv, uint32_t *pValue)
{
    char trailing;
    if (conv == 'd') {
        int value;
        if (sscanf(pWord, "%d%c", &value, &trailing) != 1)
            return false;
        *pValue = static_cast<uint32_t>(value);
        return true;
    }
    unsigned value;
    if (sscanf(pWord, conv == 'u' ? "%u%c" : "%x%c", &value, &trailing) != 1)
        return false;
    *pValue = value;
    return true;
}

#endif

/*
 * MUtiText.h - byte classes and size checks shared by the modules that cut
 * and copy text: the line splitter, kxMUtiStr_ToWords and the containers.
 */
#ifndef MUTI_TEXT_H
#define MUTI_TEXT_H

#include <array>
#include <stdint.h>

/*
 * Whitespace: space, tab, newline, vertical tab, form feed and carriage
 * return, the space class of the default locale.  A fixed table rather than
 * isspace(), so text splits the same way whatever locale the host selected
 * and bytes of 0x80 and above are word characters whatever the sign of char.
 */
inline constexpr std::array<bool, 256> kMUtiSpace = [] {
    std::array<bool, 256> table{};
    for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'})
        table[c] = true;
    return table;
}();
static_assert(!kMUtiSpace['\0'] && !kMUtiSpace[0x85] && !kMUtiSpace[0xA0]);

inline bool MUti_IsSpace(char c)
{
    return kMUtiSpace[static_cast<unsigned char>(c)];
}

/* What ends an unquoted word: whitespace, or the NUL that ends the text. */
inline constexpr std::array<bool, 256> kMUtiWordEnd = [] {
    std::array<bool, 256> table = kMUtiSpace;
    table['\0'] = true;
    return table;
}();
static_assert(kMUtiWordEnd['\0'] && kMUtiWordEnd[' '] && !kMUtiWordEnd['"']);

inline bool MUti_EndsWord(char c)
{
    return kMUtiWordEnd[static_cast<unsigned char>(c)];
}

/* Whether a byte count fits the 32-bit length fields.  A function, so the
 * check compiles without a constant-range warning where size_t is 32-bit. */
constexpr bool MUti_Fits32(uint64_t n)
{
    return n <= UINT32_MAX;
}

#endif /* MUTI_TEXT_H */

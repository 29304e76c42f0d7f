/*
 * MUtiCmdFormat.cpp - invoke formats and the handler call.
 *
 * A command's invoke format ("%E%u", "%s+", ...) says how the words after
 * the command become the handler's arguments.  Each item is '%', one
 * conversion letter and an optional modifier ('?' optional, '+' one or
 * more, '*' zero or more); items fill ten word-sized slots from slot 0 and
 * the handler is always called with all ten.  Formats are not checked at
 * registration: their errors show when the command runs, as far as the walk
 * gets on that line.
 */
#include <stdio.h>

#include "MUtiCmd.h"
#include "MUtiDbg.h"
#include "kxMUtiVec.h"

namespace {

constexpr const char *kMsgNoSupport = "\"%s\": kxMUti does not support %d command parameters\n";
constexpr const char *kMsgTooMany = "\"%s\": %d too many command parameters supplied\n";
constexpr const char *kMsgTooFew = "\"%s\": insufficient arguments\n";
constexpr const char *kMsgNotInt = "\"%s\": expecting integer argument: \"%s\"\n";
constexpr const char *kMsgNotUnsigned = "\"%s\": expecting unsigned integer argument: \"%s\"\n";
constexpr const char *kMsgNotHex = "\"%s\": expecting hex integer argument: \"%s\"\n";
constexpr const char *kMsgListFinal =
    "\"%s\": list operator (+ or *) must be final item in invokeFormat\n";
constexpr const char *kMsgNoPercent = "missing %% in invokeFormat for \"%s\"\n";

constexpr unsigned kSlots = 10; /* handler arguments */

/* What a conversion letter does.  ORDER: the word conversions come last,
 * so that MUtiCmd_IsWordConv is one comparison. */
enum class Conv : uint8_t {
    Invalid,  /* not a conversion letter */
    Count,    /* C: words on the line, command word included */
    ArgCount, /* c: argument words */
    Exec,     /* E: the execution context */
    Line,     /* L: the whole line; takes every word */
    Args,     /* l: the text after the command word; takes every word */
    Name,     /* N: the definition's name */
    Typed,    /* n: the command word as typed */
    Words,    /* V: the word array from word 0 */
    ArgWords, /* v: the word array from word 1 */
    UserData, /* X: the definition's user data */
    Int,      /* d: signed decimal word */
    Unsigned, /* u: unsigned decimal word */
    Hex,      /* x: hexadecimal word */
    String    /* s: the word's text */
};

/* ORDER: the letters and their kinds, one row each. */
constexpr std::array<Conv, 256> kConvTable = [] {
    std::array<Conv, 256> table{};
    table['C'] = Conv::Count;
    table['c'] = Conv::ArgCount;
    table['E'] = Conv::Exec;
    table['L'] = Conv::Line;
    table['l'] = Conv::Args;
    table['N'] = Conv::Name;
    table['n'] = Conv::Typed;
    table['V'] = Conv::Words;
    table['v'] = Conv::ArgWords;
    table['X'] = Conv::UserData;
    table['d'] = Conv::Int;
    table['u'] = Conv::Unsigned;
    table['x'] = Conv::Hex;
    table['s'] = Conv::String;
    return table;
}();

constexpr unsigned MUtiCmd_ConvCount()
{
    unsigned n = 0;
    for (Conv conv : kConvTable)
        n += conv != Conv::Invalid ? 1 : 0;
    return n;
}
static_assert(MUtiCmd_ConvCount() == 14, "fourteen conversion letters");
static_assert(kConvTable['%'] == Conv::Invalid && kConvTable['\0'] == Conv::Invalid &&
              kConvTable['D'] == Conv::Invalid && kConvTable['S'] == Conv::Invalid);

inline Conv MUtiCmd_ConvOf(char c)
{
    return kConvTable[static_cast<unsigned char>(c)];
}

/* d, u, x and s: the conversions that take words of the line. */
inline bool MUtiCmd_IsWordConv(Conv conv)
{
    return conv >= Conv::Int;
}
static_assert(Conv::String > Conv::Hex && Conv::Hex > Conv::Unsigned &&
              Conv::Unsigned > Conv::Int && Conv::Int > Conv::UserData &&
              Conv::UserData > Conv::Invalid);

/* The modifier a byte of a format is: '?', '+' or '*', else NUL (none). */
constexpr std::array<char, 256> kModifierTable = [] {
    std::array<char, 256> table{};
    for (unsigned char c : {'?', '+', '*'})
        table[c] = static_cast<char>(c);
    return table;
}();

inline char MUtiCmd_ModifierOf(char c)
{
    return kModifierTable[static_cast<unsigned char>(c)];
}

inline bool MUtiCmd_IsList(char modifier)
{
    return modifier == '+' || modifier == '*';
}

/* Reported lines of a lost list element, by conversion. */
inline int MUtiCmd_ListAssertLine(Conv conv)
{
    switch (conv) {
    case Conv::Int:
        return 663;
    case Conv::Unsigned:
        return 690;
    case Conv::Hex:
        return 717;
    default:
        return 739;
    }
}

inline const char *MUtiCmd_RejectMsg(Conv conv)
{
    if (conv == Conv::Int)
        return kMsgNotInt;
    return conv == Conv::Unsigned ? kMsgNotUnsigned : kMsgNotHex;
}

/*
 * The state of one walk through a format.  The slots are the caller's
 * array: inside the record, an array indexed by the slot count keeps the
 * whole record in memory, 12 more instructions per line (1.8 %; 690
 * against 678 with add, benchmarks/callgrind.sh).  Kept for that, because
 * the plain forms taken elsewhere on this path already spend most of the 3 %
 * the path may give up.
 */
struct Walk {
    kxMUtiCmd_Exec_t *pExec;
    const kxMUtiCmd_Def_t *pDef;
    const char *const *ppWords; /* the line's words, command word first */
    uint32_t nWords;            /* words on the line */
    uint32_t nAvail;            /* words that can be taken: nWords, or fewer stored */
    uint32_t next;              /* next word to take */
    unsigned nSlots;            /* slots filled */
    kxWord_t *pSlots;           /* the handler's arguments, kSlots of them */
};

/*
 * Converts one word by its format letter (d, u, x or s, the letters the
 * integer parse takes too); false when it does not convert.
 */
inline bool MUtiCmd_WordValue(char letter, const char *pWord, kxWord_t *pValue)
{
    if (letter == 's') {
        *pValue = reinterpret_cast<kxWord_t>(pWord);
        return true;
    }
    uint32_t value;
    if (!MUtiCmd_ParseInt(pWord, letter, &value))
        return false;
    *pValue = value;
    return true;
}

/* Places one value in the next slot; false (with the message) when full. */
inline bool MUtiCmd_Place(Walk &walk, kxWord_t value)
{
    if (walk.nSlots == kSlots) [[unlikely]] {
        printf(kMsgNoSupport, walk.pDef->pName, static_cast<int>(kSlots + 1));
        return false;
    }
    walk.pSlots[walk.nSlots++] = value;
    return true;
}

/* The value of a conversion that takes no word of its own. */
kxWord_t MUtiCmd_PlainValue(Walk &walk, Conv conv)
{
    kxMUtiCmd_Exec_t *pExec = walk.pExec;
    const auto words = reinterpret_cast<kxWord_t>(walk.ppWords);
    switch (conv) {
    case Conv::Count:
        return walk.nWords;
    case Conv::ArgCount:
        return walk.nWords - 1;
    case Conv::Exec:
        return reinterpret_cast<kxWord_t>(pExec);
    case Conv::Line:
        walk.next = walk.nAvail;
        return reinterpret_cast<kxWord_t>(pExec->pLine);
    case Conv::Args:
        walk.next = walk.nAvail;
        return reinterpret_cast<kxWord_t>(pExec->pArgs);
    case Conv::Name:
        return reinterpret_cast<kxWord_t>(walk.pDef->pName);
    case Conv::Typed:
        return walk.nAvail > 0 ? reinterpret_cast<kxWord_t>(walk.ppWords[0]) : 0;
    case Conv::Words:
        return words;
    case Conv::ArgWords:
        return words + sizeof(char *);
    case Conv::UserData:
        return walk.pDef->userData;
    default:
        return 0;
    }
}

/*
 * A word conversion without a modifier or with '?'.  Returns KX_OK, or the
 * status that ends the call.
 */
uint32_t MUtiCmd_ConvWord(Walk &walk, Conv conv, char letter, char modifier)
{
    const bool optional = modifier == '?';
    kxWord_t value = 0;

    if (walk.next >= walk.nAvail) [[unlikely]] {
        if (optional)
            return KX_OK;
        printf(kMsgTooFew, walk.pDef->pName);
        return kxMUtiCmd_StatusTooFew;
    }
    const char *pWord = walk.ppWords[walk.next];
    if (!MUtiCmd_WordValue(letter, pWord, &value)) [[unlikely]] {
        if (optional) /* the word stays for the items after this one */
            return KX_OK;
        printf(MUtiCmd_RejectMsg(conv), walk.pDef->pName, pWord);
        return kxMUtiCmd_StatusBadInteger;
    }
    walk.next++;
    return MUtiCmd_Place(walk, value) ? KX_OK : kxMUtiCmd_StatusTooMany;
}

/*
 * A word conversion with '+' or '*': every remaining word goes into the
 * context's list storage; the handler gets its count and its entries.
 */
uint32_t MUtiCmd_ConvList(Walk &walk, Conv conv, char letter, char modifier)
{
    const char *pName = walk.pDef->pName;
    kxMUtiVec_t *pList = walk.pExec->pTempVec;
    const uint32_t first = walk.next;

    for (; walk.next < walk.nAvail; walk.next++) {
        const char *pWord = walk.ppWords[walk.next];
        kxWord_t value;
        if (!MUtiCmd_WordValue(letter, pWord, &value)) {
            printf(MUtiCmd_RejectMsg(conv), pName, pWord);
            return kxMUtiCmd_StatusBadInteger;
        }
        uint32_t err = kxMUtiVec_Append(pList, reinterpret_cast<void *>(value));
        if (err != KX_OK) [[unlikely]]
            MUti_AssertFail("(err == KX_OK)", kMUtiCmdPath, MUtiCmd_ListAssertLine(conv),
                            kxDbg_StrAssertFormat("err=0x%x", err));
    }
    if (modifier == '+' && walk.next == first) {
        printf(kMsgTooFew, pName);
        return kxMUtiCmd_StatusTooFew;
    }
    if (walk.nSlots + 2 > kSlots) [[unlikely]] {
        printf(kMsgNoSupport, pName, static_cast<int>(walk.nSlots));
        return kxMUtiCmd_StatusTooMany;
    }
    walk.pSlots[walk.nSlots++] = pList->used;
    walk.pSlots[walk.nSlots++] = reinterpret_cast<kxWord_t>(pList->pEntries);
    return KX_OK;
}

/* Converts one item; returns KX_OK or the status that ends the call. */
uint32_t MUtiCmd_Item(Walk &walk, char letter, char modifier)
{
    const Conv conv = MUtiCmd_ConvOf(letter);
    if (MUtiCmd_IsWordConv(conv)) {
        if (MUtiCmd_IsList(modifier))
            return MUtiCmd_ConvList(walk, conv, letter, modifier);
        return MUtiCmd_ConvWord(walk, conv, letter, modifier);
    }
    if (conv == Conv::Invalid) [[unlikely]] {
        /* The slot is taken and holds 0, so the items after it keep the
         * slots the format's author counted on. */
        MUTI_PRINT(kMUtiDbgError, "MUtiCmd_Exec: \"%s\": unknown invoke format %%%c",
                   walk.pDef->pName, letter);
        return MUtiCmd_Place(walk, 0) ? KX_OK : kxMUtiCmd_StatusTooMany;
    }
    return MUtiCmd_Place(walk, MUtiCmd_PlainValue(walk, conv)) ? KX_OK : kxMUtiCmd_StatusTooMany;
}

/* Walks the whole format; returns KX_OK or the status that ends the call. */
uint32_t MUtiCmd_WalkFormat(Walk &walk)
{
    const char *pName = walk.pDef->pName;
    const char *pFmt = walk.pDef->invokeFormat;
    char prevModifier = '\0';

    for (;;) {
        while (*pFmt == ' ')
            pFmt++;
        if (*pFmt == '\0')
            return KX_OK;
        char letter;
        if (*pFmt == '%') {
            if (MUtiCmd_IsList(prevModifier)) {
                printf(kMsgListFinal, pName);
                return kxMUtiCmd_StatusListNotFinal;
            }
            letter = pFmt[1];
            /* A lone '%' at the end has no letter: an unknown conversion,
             * and the walk must not step over the terminating NUL. */
            pFmt += letter != '\0' ? 2 : 1;
        } else {
            printf(kMsgNoPercent, pName);
            if (MUtiCmd_IsList(prevModifier)) {
                printf(kMsgListFinal, pName);
                return kxMUtiCmd_StatusListNotFinal;
            }
            letter = *pFmt++;
        }
        const char modifier = MUtiCmd_ModifierOf(*pFmt);
        if (modifier != '\0')
            pFmt++;
        prevModifier = modifier;
        uint32_t status = MUtiCmd_Item(walk, letter, modifier);
        if (status != KX_OK)
            return status;
    }
}

/*
 * Digit values: 0-9 for '0'-'9', 10-15 for 'a'-'f' and 'A'-'F', 0xFF for
 * every other byte, so one compare against the base accepts a digit.
 */
constexpr std::array<uint8_t, 256> kDigitTable = [] {
    std::array<uint8_t, 256> table{};
    table.fill(0xFF);
    for (unsigned i = 0; i < 10; i++)
        table['0' + i] = static_cast<uint8_t>(i);
    for (unsigned i = 0; i < 6; i++) {
        table['a' + i] = static_cast<uint8_t>(10 + i);
        table['A' + i] = static_cast<uint8_t>(10 + i);
    }
    return table;
}();
static_assert(kDigitTable['9'] == 9 && kDigitTable['F'] == 15 && kDigitTable['g'] == 0xFF &&
              kDigitTable['\0'] == 0xFF && kDigitTable['x'] == 0xFF);

/*
 * The rest of a word whose magnitude passed 32 bits: the board's reading
 * saturates, d at the limit of its sign, u and x at 0xFFFFFFFF (a minus
 * sign no longer matters).  Nothing but digits may follow.
 */
bool MUtiCmd_ParseSaturated(const unsigned char *p, uint32_t base, bool isD, bool neg,
                            uint32_t *pValue)
{
    while (kDigitTable[*p] < base)
        p++;
    if (*p != '\0')
        return false;
    *pValue = !isD ? 0xFFFFFFFFu : neg ? 0x80000000u : 0x7FFFFFFFu;
    return true;
}

/*
 * The digits of a word in base kBase, from its first digit to its end, for
 * d when kIsD.  The magnitude is built in 32 bits and overflow is decided
 * before it happens, as sqlite3GetUInt32 does, so no wider type or width of
 * long is involved.
 */
template <uint32_t kBase, bool kIsD>
bool MUtiCmd_ParseDigits(const unsigned char *p, bool neg, uint32_t *pValue)
{
    constexpr uint32_t kMaxBy = UINT32_MAX / kBase;   /* largest value that may take a digit */
    constexpr uint32_t kMaxLast = UINT32_MAX % kBase; /* largest digit it may take then */
    uint32_t value = 0;
    for (uint32_t digit; (digit = kDigitTable[*p]) < kBase; p++) {
        if (value >= kMaxBy && (value > kMaxBy || digit > kMaxLast)) [[unlikely]]
            return MUtiCmd_ParseSaturated(p, kBase, kIsD, neg, pValue);
        value = value * kBase + digit;
    }
    if (*p != '\0') [[unlikely]]
        return false;
    if (kIsD && value > 0x7FFFFFFFu + neg) [[unlikely]]
        value = 0x7FFFFFFFu + neg; /* past the signed range: the limit of its sign */
    *pValue = neg ? 0u - value : value;
    return true;
}

} // namespace

/*
 * Reads the word as the board's C library reads "%d%c", "%u%c" and "%x%c"
 * (32-bit long): blanks, an optional sign, for x an optional 0x, then
 * digits up to the end of the word.
 */
bool MUtiCmd_ParseInt(const char *pWord, char conv, uint32_t *pValue)
{
    const auto *p = reinterpret_cast<const unsigned char *>(pWord);
    bool neg = false;
    if (kDigitTable[*p] >= 10) { /* most words start with a digit: none of this */
        while (kMUtiSpace[*p])
            p++;
        neg = *p == '-';
        if (*p == '-' || *p == '+')
            p++;
        if (kDigitTable[*p] >= (conv == 'x' ? 16u : 10u)) [[unlikely]]
            return false; /* no digit at all */
    }
    if (conv == 'd')
        return MUtiCmd_ParseDigits<10, true>(p, neg, pValue);
    if (conv == 'u')
        return MUtiCmd_ParseDigits<10, false>(p, neg, pValue);
    if (p[0] == '0' && (p[1] | 0x20) == 'x') /* the 0 of 0x is the digit: "0x" reads as 0 */
        p += 2;
    return MUtiCmd_ParseDigits<16, false>(p, neg, pValue);
}

/*
 * Flattened: every function of this file that the call reaches is inlined
 * into it, the integer parse included.  With the parse out of line, the
 * walk's state is saved and restored around every word it converts: 3 % more
 * instructions per line of two numbers (694 against 673 with add;
 * benchmarks/callgrind.sh).
 */
[[gnu::flatten]] uint32_t kxMUtiCmd_Exec(kxMUtiCmd_Exec_t *pExec, kxMUtiCmd_Def_t *pCmdDef)
{
    MUTI_PRINT(kMUtiDbgExec, "MUtiCmd_Exec: \"%s\": executing...", pCmdDef->pName);
    pExec->pTempVec->used = 0; /* kxMUtiVec_Empty */
    /* Echo before converting, so a line that then fails is shown too. */
    if ((pExec->flags & kxMUtiCmd_ExecFlagVerbose) && pExec->pLine != nullptr)
        puts(pExec->pLine);

    const kxMUtiVec_t *pWords = pExec->pWords;
    Walk walk;
    walk.pExec = pExec;
    walk.pDef = pCmdDef;
    walk.ppWords = reinterpret_cast<const char *const *>(pWords->pEntries);
    walk.nWords = pExec->nWords;
    walk.nAvail = pExec->nWords < pWords->used ? pExec->nWords : pWords->used;
    walk.next = 1;
    walk.nSlots = 0;
    kxWord_t slots[kSlots] = {}; /* slots no item fills stay zero */
    walk.pSlots = slots;
    uint32_t status = MUtiCmd_WalkFormat(walk);
    if (status != KX_OK)
        return status;
    if (walk.next < pExec->pWords->used) {
        printf(kMsgTooMany, pCmdDef->pName, static_cast<int>(pExec->pWords->used - walk.next));
        return kxMUtiCmd_StatusTooMany;
    }
    /* Slots past the last filled one are already zero. */
    if (pCmdDef->handler == nullptr) [[unlikely]] /* a table entry without code does nothing */
        return KX_OK;
    const kxWord_t *s = slots;
    status = pCmdDef->handler(s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8], s[9]);
    MUTI_PRINT(kMUtiDbgTrace, "\"%s\" => 0x%x", pCmdDef->pName, status);
    if (pExec->autoSleepMs != 0)
        MUtiCmd_SleepMs(pExec->autoSleepMs);
    return status;
}

/*
 * kxcpp.cpp - a host program in C++: the same interpreter, with every
 * command registered through the typed layer (kxMUti.hpp).  Each handler
 * takes real parameter types; kx::add derives the invoke format from them
 * and refuses, at compile time, a shape the interpreter would misread.
 *
 *   kxcpp              prompt on standard input
 *   kxcpp -c 'LINE'    run one line
 *   kxcpp FILE         run a script
 */
#include <cinttypes>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "kxMUti.hpp"

namespace {

/* A window of 64 memory words at 0x80100000, as in the C example shell. */
constexpr uint32_t kMemBase = 0x80100000u;
constexpr uint32_t kMemWords = 64;
uint32_t gMem[kMemWords];

/* Index of the word at addr, or kMemWords (with a message) when outside. */
uint32_t MemIndex(uint32_t addr, uint32_t count)
{
    const uint32_t index = (addr - kMemBase) / 4;
    if (addr % 4 != 0 || addr < kMemBase || index >= kMemWords || count > kMemWords - index) {
        printf("0x%08" PRIX32 ": outside the memory window\n", addr);
        return kMemWords;
    }
    return index;
}

/* md <addr> [<count>]: "%x%u?" behind the scenes. */
uint32_t MemDump(kx::Hex addr, std::optional<uint32_t> count)
{
    const uint32_t n = count.value_or(4);
    const uint32_t index = MemIndex(addr, n);
    if (index == kMemWords)
        return 1;
    printf("%08" PRIX32 ":", uint32_t(addr));
    for (uint32_t i = 0; i < n; i++)
        printf(" %08" PRIX32, gMem[index + i]);
    printf("\n");
    return KX_OK;
}

/* Length of a line's text without the line end the interpreter keeps. */
int Len(const char *pText)
{
    return static_cast<int>(strcspn(pText, "\r\n"));
}

/* A register block, served by one capturing lambda per block. */
struct Block {
    const char *name;
    uint32_t regs[4];
};
Block gTuner{"tuner", {0x10, 0x20, 0x30, 0x40}};
Block gDemod{"demod", {0xA0, 0xB0, 0xC0, 0xD0}};

bool RegisterBlock(Block &block)
{
    auto show = [&block](std::optional<uint32_t> reg) -> uint32_t {
        if (reg && *reg >= 4)
            return printf("%s: no register %" PRIu32 "\n", block.name, *reg), 1;
        for (uint32_t i = reg.value_or(0); i <= reg.value_or(3); i++)
            printf("%s[%" PRIu32 "] = 0x%02" PRIX32 "\n", block.name, i, block.regs[i]);
        return KX_OK;
    };
    return kx::add(nullptr, block.name, show, "([<reg>]) Shows registers") != nullptr;
}

bool RegisterCommands()
{
    bool ok = kx::add(nullptr, "md", MemDump, "(<addr> [<count>]) Dumps memory words", "d");
    ok = ok && kx::add(
                   nullptr, "mw",
                   [](kx::Hex addr, kx::OneOrMore<kx::Hex> values) -> uint32_t {
                       const uint32_t index = MemIndex(addr, values.size());
                       if (index == kMemWords)
                           return 1;
                       for (uint32_t i = 0; i < values.size(); i++)
                           gMem[index + i] = values[i];
                       return KX_OK;
                   },
                   "(<addr> <value>...) Writes hex words", "w");
    ok = ok && kx::add(
                   nullptr, "sum",
                   [](kx::List<int32_t> xs) {
                       /* 64 bits: the sum of 32-bit words cannot overflow it
                        * (at most 2^32 words of 2^31 each). */
                       int64_t total = 0;
                       for (int32_t x : xs)
                           total += x;
                       printf("%" PRId64 "\n", total);
                   },
                   "(<n>...) Adds signed integers");
    ok = ok && kx::add(
                   nullptr, "args",
                   [](kx::Name name, kx::Typed typed, kx::Words words, kx::Rest rest) {
                       printf("%s as \"%s\", %" PRIu32 " word(s), rest \"%.*s\"\n", name.text,
                              typed.text, words.size(), Len(rest), rest.text);
                       for (const char *w : words)
                           printf("  [%s]\n", w);
                   },
                   "... Shows the words a command receives");
    ok = ok &&
         kx::add(
             nullptr, "note",
             [](kxMUtiCmd_Exec_t *pExec, kx::Line line) {
                 const char *pFile = kxMUtiCmd_ExecCurrentFileNameGet(pExec);
                 printf("%s: %.*s\n", *pFile != '\0' ? pFile : "(typed)", Len(line), line.text);
             },
             "... Prints the line and the script it is in");
    return ok && RegisterBlock(gTuner) && RegisterBlock(gDemod);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 3 || (argc == 3 && strcmp(argv[1], "-c") != 0) || (argc == 2 && argv[1][0] == '-')) {
        fputs("usage: kxcpp [-c LINE | FILE]\n", stderr);
        return 2;
    }
    /* Text beyond ASCII in the terminal's character set; the interpreter
     * itself reads words and numbers the same in every locale. */
    setlocale(LC_ALL, "");
    kxMUtiCmd_Init(0);
    if (!RegisterCommands()) {
        fputs("kxcpp: out of memory while registering commands\n", stderr);
        return 1;
    }
    if (argc == 3)
        return kxMUtiCmd_ExecLine(nullptr, argv[2]) == KX_OK ? 0 : 1;
    if (argc == 2)
        kxMUtiCmd_ExecFile(nullptr, argv[1]);
    else
        kxMUtiCmd_ExecLoop(nullptr);
    return 0;
}

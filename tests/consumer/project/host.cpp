// host.cpp - a C++ host built against an installed kxMUti: the C headers
// under a C++ compiler, one command, one line.
#include <cstdio>
#include <string>

#include "kxMUtiCmd.h"

namespace {
std::string gKept; // the text the last keep command received

// keep <text>: stores the text after the command word, as typed.
uint32_t CmdKeep(kxWord_t text, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                 kxWord_t, kxWord_t, kxWord_t)
{
    gKept = reinterpret_cast<const char *>(text);
    return 7;
}
} // namespace

int main()
{
    kxMUtiCmd_Init(0);
    kxMUtiCmd_Add(nullptr, CmdKeep, "keep", "k", 0, "%l", 0, "(<text>) Keeps it");
    const uint32_t status = kxMUtiCmd_ExecLine(nullptr, "k 'two words' 3");
    std::printf("status %u, kept [%s]\n", static_cast<unsigned>(status), gKept.c_str());
    return status == 7 && gKept == "'two words' 3" ? 0 : 1;
}

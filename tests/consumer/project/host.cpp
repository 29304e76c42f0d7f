// host.cpp - a C++ host built against an installed kxMUti: one command
// registered through the typed layer, one line.
#include <cstdio>
#include <string>

#include "kxMUti.hpp"

int main()
{
    kxMUtiCmd_Init(0);
    std::string kept; // the text the keep command received
    kx::add(
        nullptr, "keep",
        [&kept](kx::Rest text) {
            kept = text.text;
            return 7u;
        },
        "(<text>) Keeps it", "k");
    const uint32_t status = kxMUtiCmd_ExecLine(nullptr, "k 'two words' 3");
    std::printf("status %u, kept [%s]\n", static_cast<unsigned>(status), kept.c_str());
    return status == 7 && kept == "'two words' 3" ? 0 : 1;
}

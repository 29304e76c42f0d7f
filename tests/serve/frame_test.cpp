// The frame codec and reader: frames, what is not one, and resynchronisation.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "SrvFrame.h"

namespace {

SrvFrame gFrame; // the last one ReadAll took out

std::string Encode(char type, uint32_t id, uint32_t n, const std::string &payload)
{
    std::string out(SrvFrame_Size(static_cast<uint32_t>(payload.size())), '\0');
    out.resize(SrvFrame_Encode(out.data(), type, id, n, payload.data(),
                               static_cast<uint32_t>(payload.size())));
    return out;
}

std::string Payload()
{
    return {reinterpret_cast<const char *>(gFrame.payload), gFrame.len};
}

// Feeds text to a reader, at most step bytes at a time, and collects what it
// reports: frames as "T id n payload", else BAD or HUGE.
std::vector<std::string> ReadAll(const std::string &input, size_t step = std::string::npos)
{
    static SrvReader reader;
    std::vector<std::string> seen;
    SrvReader_Init(&reader);
    for (size_t at = 0, n = 0;; at += n) {
        const bool eof = at == input.size();
        for (SrvReadResult r; (r = SrvReader_Next(&reader, &gFrame, eof)) != SRV_READ_NONE;)
            seen.push_back(r == SRV_READ_HUGE ? "HUGE"
                           : r != SRV_READ_FRAME
                               ? "BAD"
                               : std::string(1, gFrame.type) + " " + std::to_string(gFrame.id) +
                                     " " + std::to_string(gFrame.n) + " " + Payload());
        if (eof)
            return seen;
        unsigned char *pDst;
        n = std::min({input.size() - at, step, size_t{SrvReader_Space(&reader, &pDst)}});
        std::copy_n(input.data() + at, n, pDst);
        SrvReader_Commit(&reader, static_cast<uint32_t>(n));
    }
}

// Single lines: the frames of docs/protocol.md, which encode back byte for
// byte; every byte value, the largest numbers and payload; lines that are not
// frames, each for one reason.
TEST(Frame, ParsesAndEncodes)
{
    std::string every(256, '\0');
    for (int i = 0; i < 256; i++)
        every[i] = static_cast<char>(i);
    const std::string big(KXSRV_FRAME_MAX, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {"#KX Q 1 0 10 ZWNobyBoZWxsbw== 2e9a3d8a\n", "Q 1 0 echo hello"},
        {"#KX K 1 0 0 - f2f951ad\n", "K 1 0 "},
        {"#KX O 1 0 6 aGVsbG8K 46a50bda\n", "O 1 0 hello\n"},
        {"#KX Q 3 0 11 bXNsZWVwIDUwMDA= 154633d6\n", "Q 3 0 msleep 5000"},
        {"#KX P 5 4 4 aGVscA== e27a7db1\n", "P 5 4 help"},
        {"#KX H 0 0 0 - d564ea30\n", "H 0 0 "},
        {Encode('O', 0xFFFFFFFFu, 0xFFFFFFFFu, every), "O 4294967295 4294967295 " + every},
        {Encode('Q', 1, 0, big), "Q 1 0 " + big},
        {Encode('Q', 1, 0, big + "x"), "HUGE"},
        {"#KX Q 1 0 4097 AAAA 00000000", "HUGE"},
        {"#KX Q 1 0 10 ZWNobyBoZWxsbw== 2e9a3d8b", "BAD"},  // CRC off by one
        {"#KX Q 1 0 10 ZWNobyBoZWxsbw== 2E9A3D8A", "BAD"},  // upper-case CRC
        {"#KX Q 01 0 10 ZWNobyBoZWxsbw== 2e9a3d8a", "BAD"}, // leading zero
        {"#KX Q 1 0 9 ZWNobyBoZWxsbw== 2e9a3d8a", "BAD"},   // length does not match the data
        {"#KX Q 1 0 9 ZWNobyBoZWxsbw== 38624105", "BAD"},   // nor with the CRC of this line
        {"#KX Q 1 0 10 ZWNobyBoZWxsbw 2e9a3d8a", "BAD"},    // padding missing
        {"#KX Q 1  0 10 ZWNobyBoZWxsbw== 2e9a3d8a", "BAD"}, // two blanks
        {"#KX q 1 0 10 ZWNobyBoZWxsbw== 2e9a3d8a", "BAD"},  // lower-case type
        {"#KX Q 4294967296 0 0 - 00000000", "BAD"},         // id over 32 bits
        {"#KX K 1 0 3 - 00000000", "BAD"},                  // "-" with a length
        {"#KX K 1 0 0 - f2f951ad trailing", "BAD"},         // text after the CRC
        {"#KX K 1 0 0", "BAD"},                             // cut short
    };
    for (const auto &[text, expect] : cases) {
        const std::string line = text.back() == '\n' ? text : text + "\n";
        EXPECT_EQ(ReadAll(line), std::vector<std::string>{expect}) << text;
        if (expect != "BAD" && expect != "HUGE") {
            EXPECT_EQ(Encode(gFrame.type, gFrame.id, gFrame.n, Payload()), line);
        }
    }
}

// The reader finds frames among a boot log, after a truncated frame, after
// an oversized length, with CR LF, fed a byte at a time or all at once.
TEST(FrameReader, Resynchronises)
{
    const std::string q1 = Encode('Q', 1, 0, "echo hello");
    const std::string q2 = Encode('Q', 2, 0, "md 80100000 2");
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"U-Boot 2023.01\r\n#KX\n# login: " + q1, {"Q 1 0 echo hello"}},
        {q1.substr(0, 20) + q2, {"BAD", "Q 2 0 md 80100000 2"}},
        {"#KX Q 7 0 99999999 AAAAAAAA" + q1, {"HUGE", "Q 1 0 echo hello"}},
        {q2.substr(0, q2.size() - 1) + "\r\n" + q1, {"Q 2 0 md 80100000 2", "Q 1 0 echo hello"}},
        {q1 + q1.substr(0, q1.size() - 3), {"Q 1 0 echo hello", "BAD"}},
        {"##KX #K#KX " + q1 + "#KX", {"BAD", "BAD", "Q 1 0 echo hello"}},
        {std::string(30000, 'z') + q1, {"Q 1 0 echo hello"}},
        {"#KX Q 1 0 1 " + std::string(20000, 'A') + "\n" + q2, {"BAD", "Q 2 0 md 80100000 2"}},
    };
    for (const auto &[input, expect] : cases) {
        EXPECT_EQ(ReadAll(input), expect) << input.substr(0, 80);
        EXPECT_EQ(ReadAll(input, 1), expect) << "byte at a time: " << input.substr(0, 80);
    }
}

// A flipped bit anywhere in a frame is never taken as a frame.
TEST(FrameReader, NoFlippedBitPasses)
{
    const std::string q = Encode('R', 9, 6, "{\"status\":6}");
    for (size_t bit = 0; bit < 8 * (q.size() - 1); bit++) {
        std::string bad = q;
        bad[bit / 8] = static_cast<char>(bad[bit / 8] ^ (1 << bit % 8));
        for (const std::string &seen : ReadAll(bad))
            EXPECT_TRUE(seen == "BAD" || seen == "HUGE") << bit << " " << seen;
    }
}

} // namespace

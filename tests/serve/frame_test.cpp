// The frame codec and reader: the documented frames, what is not a frame,
// and resynchronisation after garbage, truncation and oversized lengths.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "SrvFrame.h"

namespace {

std::string Encode(char type, uint32_t id, uint32_t n, const std::string &payload)
{
    std::string out(SrvFrame_Size(static_cast<uint32_t>(payload.size())), '\0');
    out.resize(SrvFrame_Encode(out.data(), type, id, n, payload.data(),
                               static_cast<uint32_t>(payload.size())));
    return out;
}

SrvReadResult Parse(const std::string &line, SrvFrame *pOut)
{
    std::string body = line;
    if (!body.empty() && body.back() == '\n')
        body.pop_back();
    return SrvFrame_Parse(reinterpret_cast<const unsigned char *>(body.data()),
                          static_cast<uint32_t>(body.size()), pOut);
}

// Feeds text to a reader and collects what it reports, frames as "T id n payload".
std::vector<std::string> ReadAll(const std::string &input, size_t step = 0)
{
    static SrvReader reader;
    static SrvFrame frame;
    std::vector<std::string> seen;
    SrvReader_Init(&reader);
    size_t at = 0;
    for (;;) {
        const bool eof = at == input.size();
        for (;;) {
            const SrvReadResult r = SrvReader_Next(&reader, &frame, eof);
            if (r == SRV_READ_NONE)
                break;
            if (r == SRV_READ_FRAME)
                seen.push_back(std::string(1, frame.type) + " " + std::to_string(frame.id) + " " +
                               std::to_string(frame.n) + " " +
                               std::string(reinterpret_cast<char *>(frame.payload), frame.len));
            else
                seen.emplace_back(r == SRV_READ_HUGE ? "HUGE" : "BAD");
        }
        if (eof)
            return seen;
        unsigned char *pDst;
        const uint32_t room = SrvReader_Space(&reader, &pDst);
        size_t n = input.size() - at;
        n = std::min<size_t>(n, room);
        if (step != 0)
            n = std::min(n, step);
        memcpy(pDst, input.data() + at, n); // NOLINT(bugprone-not-null-terminated-result)
        SrvReader_Commit(&reader, static_cast<uint32_t>(n));
        at += n;
    }
}

// The frames of docs/protocol.md, byte for byte.
TEST(Frame, EncodesTheDocumentedFrames)
{
    const struct {
        char type;
        uint32_t id, n;
        const char *payload;
        const char *line;
    } cases[] = {
        {'Q', 1, 0, "echo hello", "#KX Q 1 0 10 ZWNobyBoZWxsbw== 2e9a3d8a\n"},
        {'K', 1, 0, "", "#KX K 1 0 0 - f2f951ad\n"},
        {'O', 1, 0, "hello\n", "#KX O 1 0 6 aGVsbG8K 46a50bda\n"},
        {'Q', 3, 0, "msleep 5000", "#KX Q 3 0 11 bXNsZWVwIDUwMDA= 154633d6\n"},
        {'P', 5, 4, "help", "#KX P 5 4 4 aGVscA== e27a7db1\n"},
        {'H', 0, 0, "", "#KX H 0 0 0 - d564ea30\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Encode(c.type, c.id, c.n, c.payload), c.line);
        SrvFrame f;
        ASSERT_EQ(Parse(c.line, &f), SRV_READ_FRAME) << c.line;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(f.payload), f.len), c.payload);
    }
}

// Every byte value and every length up to a few base64 groups survives.
TEST(Frame, RoundTripsAnyBytes)
{
    static SrvFrame f;
    for (uint32_t len = 0; len < 300; len += 7) {
        std::string payload(len, '\0');
        for (uint32_t i = 0; i < len; i++)
            payload[i] = static_cast<char>((i * 37u + len) & 0xFFu);
        const std::string line = Encode('O', len, 0xFFFFFFFFu, payload);
        ASSERT_EQ(Parse(line, &f), SRV_READ_FRAME) << len;
        EXPECT_EQ(f.id, len);
        EXPECT_EQ(f.n, 0xFFFFFFFFu);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(f.payload), f.len), payload);
    }
    std::string big(KXSRV_FRAME_MAX, 'x');
    EXPECT_EQ(Parse(Encode('Q', 1, 0, big), &f), SRV_READ_FRAME);
    EXPECT_EQ(Parse(Encode('Q', 1, 0, big + "x"), &f), SRV_READ_HUGE);
}

// Lines that are not frames, each for one reason.
TEST(Frame, RejectsWhatIsNotAFrame)
{
    const char *bad[] = {
        "#KX Q 1 0 10 ZWNobyBoZWxsbw== 2e9a3d8b",  // CRC off by one
        "#KX Q 1 0 10 ZWNobyBoZWxsbw== 2E9A3D8A",  // upper-case CRC
        "#KX Q 01 0 10 ZWNobyBoZWxsbw== 2e9a3d8a", // leading zero
        "#KX Q 1 0 9 ZWNobyBoZWxsbw== 2e9a3d8a",   // length does not match the data
        "#KX Q 1 0 10 ZWNobyBoZWxsbw 2e9a3d8a",    // padding missing
        "#KX Q 1  0 10 ZWNobyBoZWxsbw== 2e9a3d8a", // two blanks
        "#KX q 1 0 10 ZWNobyBoZWxsbw== 2e9a3d8a",  // lower-case type
        "#KX Q 4294967296 0 0 - 00000000",         // id over 32 bits
        "#KX K 1 0 3 - 00000000",                  // "-" with a length
        "#KX K 1 0 0 - f2f951ad trailing",         // text after the CRC
        "#KX K 1 0 0",                             // cut short
    };
    SrvFrame f;
    for (const char *line : bad)
        EXPECT_EQ(Parse(line, &f), SRV_READ_BAD) << line;
    // A re-computed CRC does not rescue a wrong length: the data decides.
    std::string line = "#KX Q 1 0 9 ZWNobyBoZWxsbw== ";
    char crc[9];
    snprintf(crc, sizeof crc, "%08x", Srv_Crc32(0, line.data(), line.size()));
    EXPECT_EQ(Parse(line + crc, &f), SRV_READ_BAD);
    EXPECT_EQ(Parse("#KX Q 1 0 4097 AAAA 00000000", &f), SRV_READ_HUGE);
}

// The reader finds frames among a boot log, after a truncated frame, after
// an oversized length, with CR LF, fed a byte at a time or all at once.
TEST(FrameReader, Resynchronises)
{
    const std::string q1 = Encode('Q', 1, 0, "echo hello");
    const std::string q2 = Encode('Q', 2, 0, "md 80100000 2");
    std::string crlf = q2;
    crlf.insert(crlf.size() - 1, "\r");
    const struct {
        std::string input;
        std::vector<std::string> expect;
    } cases[] = {
        {"U-Boot 2023.01\r\n#KX\n# login: " + q1, {"Q 1 0 echo hello"}},
        {q1.substr(0, 20) + q2, {"BAD", "Q 2 0 md 80100000 2"}},
        {"#KX Q 7 0 99999999 AAAAAAAA" + q1, {"HUGE", "Q 1 0 echo hello"}},
        {crlf + q1, {"Q 2 0 md 80100000 2", "Q 1 0 echo hello"}},
        {q1 + q1.substr(0, q1.size() - 3), {"Q 1 0 echo hello", "BAD"}},
        {"##KX #K#KX " + q1 + "#KX", {"BAD", "BAD", "Q 1 0 echo hello"}},
        {std::string(30000, 'z') + q1, {"Q 1 0 echo hello"}},
        {"#KX Q 1 0 1 " + std::string(20000, 'A') + "\n" + q2, {"BAD", "Q 2 0 md 80100000 2"}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ReadAll(c.input), c.expect) << c.input.substr(0, 80);
        EXPECT_EQ(ReadAll(c.input, 1), c.expect) << "byte at a time: " << c.input.substr(0, 80);
    }
}

// A flipped bit anywhere in a frame is never taken as a frame.
TEST(FrameReader, NoFlippedBitPasses)
{
    const std::string q = Encode('R', 9, 6, "{\"status\":6}");
    for (size_t i = 0; i + 1 < q.size(); i++) {
        for (int bit = 0; bit < 8; bit++) {
            std::string bad = q;
            bad[i] = static_cast<char>(bad[i] ^ (1 << bit));
            for (const std::string &seen : ReadAll(bad))
                EXPECT_TRUE(seen == "BAD" || seen == "HUGE") << i << " " << bit << " " << seen;
        }
    }
}

} // namespace

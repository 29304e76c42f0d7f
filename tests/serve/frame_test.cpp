// The frame codec and reader: the shared vectors (tests/vectors/frames.txt),
// single flipped bits, resynchronisation and the version-1 encoder.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "SrvFrame.h"

namespace {

SrvFrame gFrame; // the last one ReadAll took out

std::string Encode(char type, uint32_t id, const std::vector<uint32_t> &nums,
                   const std::string &payload)
{
    std::string out(SrvFrame_Size(static_cast<uint32_t>(payload.size())), '\0');
    out.resize(SrvFrame_EncodeNums(out.data(), type, id, nums.data(),
                                   static_cast<uint32_t>(nums.size()), payload.data(),
                                   static_cast<uint32_t>(payload.size())));
    return out;
}

std::string Shown(char type, uint32_t id, const std::string &nums, const std::string &payload)
{
    return std::string(1, type) + " " + std::to_string(id) + " " + nums + " " + payload;
}

// The frame ReadAll took, as "T id n,n payload".
std::string ShownFrame()
{
    std::string nums;
    for (uint32_t i = 0; i < gFrame.nNums; i++)
        nums += (i > 0 ? "," : "") + std::to_string(gFrame.nums[i]);
    EXPECT_EQ(gFrame.n, gFrame.nums[0]);
    return Shown(gFrame.type, gFrame.id, nums,
                 {reinterpret_cast<const char *>(gFrame.payload), gFrame.len});
}

// Feeds text to a reader, at most step bytes at a time, and collects what it
// reports: frames as ShownFrame() gives them, else BAD, HUGE or OLD.
std::vector<std::string> ReadAll(const std::string &input, size_t step = std::string::npos)
{
    static SrvReader reader;
    static const char *const kNames[] = {"NONE", "FRAME", "BAD", "HUGE", "OLD"};
    std::vector<std::string> seen;
    SrvReader_Init(&reader);
    for (size_t at = 0, n = 0;; at += n) {
        const bool eof = at == input.size();
        for (SrvReadResult r; (r = SrvReader_Next(&reader, &gFrame, eof)) != SRV_READ_NONE;)
            seen.push_back(r == SRV_READ_FRAME ? ShownFrame() : kNames[r]);
        if (eof)
            return seen;
        unsigned char *pDst;
        n = std::min({input.size() - at, step, size_t{SrvReader_Space(&reader, &pDst)}});
        std::copy_n(input.data() + at, n, pDst);
        SrvReader_Commit(&reader, static_cast<uint32_t>(n));
    }
}

// One line of tests/vectors/frames.txt.
struct Vector {
    int lineNo;
    std::string kind;
    std::vector<std::string> fields; // frame: type, id, numbers, payload in hex
    std::string line;                // as it travels, without its "\n"
};

// The file's notation: {crc} the CRC-32 of what comes before, {HH} a byte,
// {HH*N} N of them.
std::string Expand(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] != '{') {
            out += text[i++];
            continue;
        }
        const size_t close = text.find('}', i);
        const std::string what = text.substr(i + 1, close - i - 1);
        i = close + 1;
        if (what == "crc") {
            char crc[9];
            snprintf(crc, sizeof crc, "%08x", Srv_Crc32(0, out.data(), out.size()));
            out += crc;
            continue;
        }
        const size_t star = what.find('*');
        const long count =
            star == std::string::npos ? 1 : strtol(what.c_str() + star + 1, nullptr, 10);
        out.append(static_cast<size_t>(count),
                   static_cast<char>(strtoul(what.substr(0, 2).c_str(), nullptr, 16)));
    }
    return out;
}

std::string Unhex(const std::string &hex)
{
    std::string out;
    for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2)
        out += static_cast<char>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

const std::vector<Vector> &Vectors()
{
    static std::vector<Vector> all;
    if (!all.empty())
        return all;
    std::ifstream in(KX_FRAME_VECTORS);
    EXPECT_TRUE(in.good()) << KX_FRAME_VECTORS;
    std::string text;
    for (int lineNo = 1; std::getline(in, text); lineNo++) {
        if (text.empty() || text[0] == '#')
            continue;
        Vector v{lineNo, text.substr(0, text.find(' ')), {}, {}};
        size_t at = v.kind.size() + 1;
        for (int i = v.kind == "frame" ? 4 : 0; i > 0; i--) {
            const size_t blank = text.find(' ', at);
            v.fields.push_back(text.substr(at, blank - at));
            at = blank + 1;
        }
        v.line = Expand(text.substr(at));
        all.push_back(v);
    }
    EXPECT_GT(all.size(), 50u);
    return all;
}

// Valid frames read as their fields, with "\n" or "\r\n", whole or a byte at
// a time, and encode back byte for byte.  A flipped bit anywhere in one, its
// line end included, leaves no frame.
TEST(FrameVectors, FramesReadEncodeBackAndNoFlippedBitIsOne)
{
    for (const Vector &v : Vectors()) {
        if (v.kind != "frame")
            continue;
        const std::string payload = Unhex(v.fields[3]);
        const uint32_t id = static_cast<uint32_t>(strtoul(v.fields[1].c_str(), nullptr, 10));
        const std::vector<std::string> expect{Shown(v.fields[0][0], id, v.fields[2], payload)};
        EXPECT_EQ(ReadAll(v.line + "\n"), expect) << "frames.txt:" << v.lineNo;
        EXPECT_EQ(ReadAll(v.line + "\r\n", 1), expect) << "frames.txt:" << v.lineNo;
        std::vector<uint32_t> nums;
        std::string csv = v.fields[2];
        for (char *pEnd = csv.data();; pEnd++) {
            nums.push_back(static_cast<uint32_t>(strtoul(pEnd, &pEnd, 10)));
            if (*pEnd != ',')
                break;
        }
        const std::string good = v.line + "\n";
        EXPECT_EQ(Encode(v.fields[0][0], id, nums, payload), good) << "frames.txt:" << v.lineNo;
        for (size_t bit = 0; bit < 8 * good.size(); bit++) {
            std::string bad = good;
            bad[bit / 8] = static_cast<char>(bad[bit / 8] ^ (1 << bit % 8));
            for (const std::string &seen : ReadAll(bad))
                ASSERT_EQ(seen, "BAD") << "frames.txt:" << v.lineNo << " bit " << bit;
        }
    }
}

// What is not a frame of this version is reported as what it is, and only once.
TEST(FrameVectors, RejectsReadAsWhatTheyAre)
{
    for (const Vector &v : Vectors()) {
        if (v.kind == "frame")
            continue;
        const std::vector<std::string> seen = ReadAll(v.line + "\n");
        if (v.kind == "bad") {
            EXPECT_FALSE(seen.empty()) << "frames.txt:" << v.lineNo;
            for (const std::string &s : seen)
                EXPECT_EQ(s, "BAD") << "frames.txt:" << v.lineNo;
        } else {
            const std::vector<std::string> expect{v.kind == "huge" ? "HUGE" : "OLD"};
            EXPECT_EQ(seen, expect) << "frames.txt:" << v.lineNo;
            EXPECT_EQ(ReadAll(v.line + "\r\n", 7), expect) << "frames.txt:" << v.lineNo;
        }
    }
}

// The reader finds frames among a boot log, after a truncated frame, after
// an oversized one, after lines too long to hold, with CR LF, fed a byte at
// a time or all at once.
TEST(FrameReader, Resynchronises)
{
    const std::string q1 = Encode('Q', 1, {0}, "echo hello");
    const std::string q2 = Encode('Q', 2, {0}, "md 80100000 2");
    const std::string e1 = "Q 1 0 echo hello", e2 = "Q 2 0 md 80100000 2";
    const std::string big = Encode('O', 3, {0}, std::string(KXSRV_FRAME_MAX + 1, '\x11'));
    const std::string longer =
        Encode('O', 3, {0}, std::string(size_t{2} * KXSRV_FRAME_LINE_MAX, 'x'));
    const std::string v1 = "#KX Q 1 0 " + std::to_string(3 * KXSRV_FRAME_LINE_MAX) + " " +
                           std::string(size_t{4} * KXSRV_FRAME_LINE_MAX, 'A') + " ";
    char crc[10];
    snprintf(crc, sizeof crc, "%08x\n", Srv_Crc32(0, v1.data(), v1.size()));
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"U-Boot 2023.01\r\n#KX\n# login: " + q1, {e1}},
        {q1.substr(0, 20) + q2, {"BAD", e2}},
        {"#KX Q7 0 99999999 AAAAAAAA" + q1, {"BAD", e1}},
        {q2.substr(0, q2.size() - 1) + "\r\n" + q1, {e2, e1}},
        {q1 + q1.substr(0, q1.size() - 3), {e1, "BAD"}},
        {"##KX #K#KX " + q1 + "#KX", {"BAD", "BAD", e1}},
        {std::string(30000, 'z') + q1, {e1}},
        {big + q1, {"HUGE", e1}},
        {longer + q2 + longer.substr(0, longer.size() - 2) + "\n" + q1, {"HUGE", e2, "BAD", e1}},
        {longer.substr(0, KXSRV_FRAME_LINE_MAX + 100) + q1, {"BAD", e1}},
        {v1 + crc + q2, {"OLD", e2}},
        {longer.substr(0, KXSRV_FRAME_LINE_MAX + 100), {"BAD"}},
    };
    for (const auto &[input, expect] : cases) {
        EXPECT_EQ(ReadAll(input), expect) << input.substr(0, 80);
        EXPECT_EQ(ReadAll(input, 1), expect) << "byte at a time: " << input.substr(0, 80);
    }
}

// Version-1 frames, to tell a version-1 peer which version this side speaks:
// the frames of that version's documentation, each base64 padding.
TEST(Frame, EncodesVersion1)
{
    const std::pair<std::string, std::string> cases[] = {
        {"echo hello", "#KX Q 1 0 10 ZWNobyBoZWxsbw== 2e9a3d8a\n"},
        {"msleep 5000", "#KX Q 1 0 11 bXNsZWVwIDUwMDA= cc7dffd9\n"},
        {"hello\n", "#KX Q 1 0 6 aGVsbG8K 10d06a31\n"},
        {"", "#KX Q 1 0 0 - c275408c\n"},
    };
    for (const auto &[payload, line] : cases) {
        std::string out(SrvFrame_SizeV1(static_cast<uint32_t>(payload.size())), '\0');
        out.resize(SrvFrame_EncodeV1(out.data(), 'Q', 1, 0, payload.data(),
                                     static_cast<uint32_t>(payload.size())));
        EXPECT_EQ(out, line);
        EXPECT_EQ(ReadAll(out), std::vector<std::string>{"OLD"}) << line;
    }
}

} // namespace

// docs/protocol.md against the server's own tables: the error codes and
// their messages, R's numbers in their order and its flags, the greeting's limits,
// and the audit's words for how a request and why a session ended.
#include <gtest/gtest.h>

#include <string.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "SrvAudit.h"
#include "SrvWire.h"

namespace {

std::string Page()
{
    std::ifstream in(KX_PROTOCOL_MD);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The rows of the table after the comment <!-- name -->, as cells.
std::vector<std::vector<std::string>> Table(const std::string &page, const std::string &name)
{
    std::vector<std::vector<std::string>> rows;
    const size_t at = page.find("<!-- " + name + " -->");
    if (at == std::string::npos)
        return rows;
    std::istringstream in(page.substr(at));
    std::string line;
    std::getline(in, line); // the comment
    while (std::getline(in, line)) {
        line = std::regex_replace(line, std::regex("^\\s+"), "");
        if (line.empty() || line[0] != '|')
            break;
        std::vector<std::string> cells;
        std::stringstream row(line.substr(1));
        for (std::string cell; std::getline(row, cell, '|');)
            cells.push_back(std::regex_replace(cell, std::regex("^\\s+|\\s+$"), ""));
        if (cells[0] != "---")
            rows.push_back(cells);
    }
    if (!rows.empty())
        rows.erase(rows.begin()); // the header
    return rows;
}

// The first group of each match of pattern in text.
std::vector<std::string> Matches(const std::string &text, const char *pPattern)
{
    std::vector<std::string> found;
    const std::regex re(pPattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it)
        found.push_back((*it)[1]);
    return found;
}

// The `quoted` spans of a cell.
std::set<std::string> Quoted(const std::string &cell)
{
    const std::vector<std::string> spans = Matches(cell, "`([^`]*)`");
    return {spans.begin(), spans.end()};
}

TEST(ProtocolPage, ErrorTableMatchesTheServers)
{
    std::map<uint32_t, std::set<std::string>> server, page;
    for (const SrvErrorText &e : kSrvErrors)
        server[e.code].insert(e.pMessage);
    for (const auto &row : Table(Page(), "error codes")) {
        ASSERT_GE(row.size(), 3u);
        page[static_cast<uint32_t>(std::stoul(row[0]))] = Quoted(row[2]);
    }
    EXPECT_EQ(page, server);
}

// R as written for r, read back as a peer reads it.
SrvFrame Written(const SrvResult &r, bool replay, const char *pTail, uint32_t tailLen)
{
    SrvBuf frame{};
    EXPECT_TRUE(SrvWire_Result(&frame, r, replay, pTail, tailLen));
    SrvReader reader;
    SrvReader_Init(&reader);
    unsigned char *pDst;
    SrvReader_Space(&reader, &pDst);
    memcpy(pDst, frame.p, frame.len);
    SrvReader_Commit(&reader, frame.len);
    SrvBuf_Free(&frame);
    SrvFrame f{};
    EXPECT_EQ(SrvReader_Next(&reader, &f, true), SRV_READ_FRAME);
    return f;
}

TEST(ProtocolPage, ResultNumbersInTheirOrder)
{
    std::vector<std::string> page, server(kSrvResultNum, kSrvResultNum + kSrvRNums);
    for (const auto &row : Table(Page(), "result numbers"))
        page.push_back(*Quoted(row[0]).begin());
    EXPECT_EQ(page, server);
    // And R writes them so: err and flags only when not 0, the tail as payload.
    SrvResult r{};
    r.status = 7;
    r.nOut = 5;
    r.nErr = 2;
    r.us = 9;
    r.kept = true;
    const SrvFrame f = Written(r, false, "abc", 3);
    EXPECT_EQ(std::vector<uint32_t>(f.nums, f.nums + f.nNums), (std::vector<uint32_t>{7, 5, 9, 2}));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(f.payload), f.len), "abc");
    r.nErr = 0;
    EXPECT_EQ(Written(r, false, "abc", 3).nNums, 3u) << "no err, no flags: left out";
    r.failed = r.cancelled = true;
    r.kept = false;
    r.us = 5000000000u;
    const SrvFrame g = Written(r, true, nullptr, 0);
    ASSERT_EQ(g.nNums, 5u);
    EXPECT_EQ(g.nums[kSrvRUs], 5000000u);
    EXPECT_EQ(g.nums[kSrvRFlags], 31u);
}

TEST(ProtocolPage, ResultFlagsAsTabled)
{
    std::map<uint32_t, std::string> page, server;
    for (const auto &flag : kSrvResultFlags)
        server[flag.bit] = flag.pName;
    for (const auto &row : Table(Page(), "result flags")) {
        ASSERT_GE(row.size(), 2u);
        page[static_cast<uint32_t>(std::stoul(row[0]))] = row[1];
    }
    EXPECT_EQ(page, server);
}

TEST(ProtocolPage, GreetingLimitsAsShown)
{
    const std::string page = Page();
    const size_t at = page.find("\"limits\":{");
    ASSERT_NE(at, std::string::npos);
    const std::string shown = page.substr(at, page.find('}', at) - at);
    SrvBuf json{};
    ASSERT_TRUE(SrvWire_Greeting(&json, {false, 4, 300}, false));
    const std::string made(json.p, json.len);
    const std::string limits = made.substr(made.find("\"limits\":{"));
    SrvBuf_Free(&json);
    EXPECT_EQ(Matches(shown, "\"(\\w+)\":"), Matches(limits, "\"(\\w+)\":"));
}

TEST(ProtocolPage, AuditWordsAsTabled)
{
    const std::string page = Page();
    const std::set<std::string> hows(std::begin(kSrvHowName), std::end(kSrvHowName));
    // kNone is never written.
    const std::set<std::string> whys(kSrvEndName + 1,
                                     kSrvEndName + static_cast<int>(SrvEnd::kCount));
    std::set<std::string> pageHows, pageWhys;
    for (const auto &row : Table(page, "audit how"))
        pageHows.insert(*Quoted(row[0]).begin());
    for (const auto &row : Table(page, "audit why"))
        pageWhys.insert(*Quoted(row[0]).begin());
    EXPECT_EQ(pageHows, hows);
    EXPECT_EQ(pageWhys, whys);
}

} // namespace

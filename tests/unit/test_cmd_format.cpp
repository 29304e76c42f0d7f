/* Invoke formats: conversions, modifiers, slots and every refusal. */
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureStdout.h"
#include "DbgRecorder.h"
#include "FaultInjection.h"
#include "InterpFixture.h"
#include "kxMUtiCmd.h"

namespace {

/* What one slot must hold. */
struct Want {
    enum Kind { Zero, Int, Str, Ctx } kind = Zero;
    uint32_t value = 0;
    const char *text = nullptr;
};
Want I(uint32_t v)
{
    return {Want::Int, v, nullptr};
}
Want S(const char *t)
{
    return {Want::Str, 0, t};
}
const Want Z{};
const Want CTX{Want::Ctx, 0, nullptr};

constexpr uint32_t kRan = 0x1234; /* the recording handler's status */

struct FormatCase {
    const char *format;
    const char *line;
    uint32_t status;
    const char *out;              /* standard output, exactly */
    std::vector<Want> slots = {}; /* leading slots; the rest must be zero */
};

void CheckSlots(const Slots &got, const std::vector<Want> &want, kxMUtiCmd_Exec_t *pExec)
{
    for (size_t i = 0; i < got.size(); i++) {
        SCOPED_TRACE("slot " + std::to_string(i));
        const Want w = i < want.size() ? want[i] : Z;
        switch (w.kind) {
        case Want::Zero:
            EXPECT_EQ(got[i], 0u);
            break;
        case Want::Int:
            EXPECT_EQ(got[i], w.value);
            break;
        case Want::Str:
            ASSERT_NE(got[i], 0u);
            EXPECT_STREQ(AsText(got[i]), w.text);
            break;
        case Want::Ctx:
            EXPECT_EQ(got[i], reinterpret_cast<kxWord_t>(pExec));
            break;
        }
    }
}

class FormatTest : public InterpTest {
  protected:
    /* Registers "cmd" with the case's format, runs the line, checks all. */
    void Run(const FormatCase &c)
    {
        SCOPED_TRACE(std::string("format '") + c.format + "', line '" + c.line + "'");
        Recorder::Reset();
        AddRec("cmd", c.format);
        CaptureStdout out;
        const uint32_t status = kxMUtiCmd_ExecLine(nullptr, c.line);
        const std::string text = out.Stop();
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(text, c.out);
        if (c.status != kRan) {
            EXPECT_TRUE(Recorder::calls.empty()) << "the handler must not run";
            return;
        }
        ASSERT_EQ(Recorder::calls.size(), 1u);
        CheckSlots(Recorder::calls[0], c.slots, gpkxMUtiCmd_ExecGlobal);
    }
};

TEST_F(FormatTest, WordConversions)
{
    const FormatCase cases[] = {
        {"%d", "cmd -7", kRan, "", {I(0xFFFFFFF9)}},
        {"%d", "cmd +12", kRan, "", {I(12)}},
        {"%d", "cmd 2147483647", kRan, "", {I(0x7FFFFFFF)}},
        {"%u", "cmd 4294967295", kRan, "", {I(0xFFFFFFFF)}},
        {"%u", "cmd -1", kRan, "", {I(0xFFFFFFFF)}},
        {"%u", "cmd 007", kRan, "", {I(7)}},
        {"%x", "cmd 1f", kRan, "", {I(0x1F)}},
        {"%x", "cmd 0x1F", kRan, "", {I(0x1F)}},
        {"%x", "cmd DEADbeef", kRan, "", {I(0xDEADBEEF)}},
        {"%u", "cmd ' 42'", kRan, "", {I(42)}}, /* blanks inside quotes are skipped */
        {"%s", "cmd 'a b'", kRan, "", {S("a b")}},
        {"%s", "cmd ''", kRan, "", {S("")}},
        {"%d%u%x%s", "cmd -1 2 a z", kRan, "", {I(0xFFFFFFFF), I(2), I(10), S("z")}},
    };
    for (const FormatCase &c : cases)
        Run(c);
}

TEST_F(FormatTest, RejectedWordsNameTheWord)
{
    const FormatCase cases[] = {
        {"%u", "cmd 12abc", 0xFFFFFF05,
         "\"cmd\": expecting unsigned integer argument: \"12abc\"\n"},
        {"%u", "cmd 0x10", 0xFFFFFF05, "\"cmd\": expecting unsigned integer argument: \"0x10\"\n"},
        {"%d", "cmd ''", 0xFFFFFF05, "\"cmd\": expecting integer argument: \"\"\n"},
        {"%d", "cmd '5 '", 0xFFFFFF05, "\"cmd\": expecting integer argument: \"5 \"\n"},
        {"%d", "cmd x", 0xFFFFFF05, "\"cmd\": expecting integer argument: \"x\"\n"},
        {"%x", "cmd g", 0xFFFFFF05, "\"cmd\": expecting hex integer argument: \"g\"\n"},
        {"%u%x", "cmd 1 1g", 0xFFFFFF05, "\"cmd\": expecting hex integer argument: \"1g\"\n"},
        {"%d", "cmd", 0xFFFFFF04, "\"cmd\": insufficient arguments\n"},
        {"%s%s", "cmd a", 0xFFFFFF04, "\"cmd\": insufficient arguments\n"},
        {"", "cmd 1", 0xFFFFFF03, "\"cmd\": 1 too many command parameters supplied\n"},
        {"%d", "cmd 1 2 3", 0xFFFFFF03, "\"cmd\": 2 too many command parameters supplied\n"},
        {"%c%v", "cmd a", 0xFFFFFF03, "\"cmd\": 1 too many command parameters supplied\n"},
        {"%L%s", "cmd a", 0xFFFFFF04, "\"cmd\": insufficient arguments\n"},
        {"%s?%d", "cmd 5", 0xFFFFFF04, "\"cmd\": insufficient arguments\n"},
        {"%d?", "cmd abc", 0xFFFFFF03, "\"cmd\": 1 too many command parameters supplied\n"},
    };
    for (const FormatCase &c : cases)
        Run(c);
}

TEST_F(FormatTest, ConversionsWithoutWords)
{
    Recorder::Reset();
    kxMUtiCmd_Def_t *pDef = AddRec("command", "%C%c%n%N%V%v%X%E%l", nullptr, 0xBEEF);
    ASSERT_EQ(kxMUtiCmd_ExecLine(nullptr, "  comm 'one' two\n"), kRan);
    ASSERT_EQ(Recorder::calls.size(), 1u);
    const Slots &s = Recorder::calls[0];
    EXPECT_EQ(s[0], 3u);
    EXPECT_EQ(s[1], 2u);
    EXPECT_STREQ(AsText(s[2]), "comm");
    EXPECT_EQ(AsText(s[3]), pDef->pName);
    auto **ppWords = reinterpret_cast<const char **>(s[4]);
    EXPECT_STREQ(ppWords[0], "comm");
    EXPECT_STREQ(ppWords[2], "two");
    EXPECT_EQ(s[5], s[4] + sizeof(char *)); /* the same array, one entry on */
    EXPECT_EQ(s[6], 0xBEEFu);
    EXPECT_EQ(s[7], reinterpret_cast<kxWord_t>(gpkxMUtiCmd_ExecGlobal));
    EXPECT_STREQ(AsText(s[8]), "'one' two\n");
    EXPECT_EQ(s[9], 0u);

    Recorder::Reset();
    AddRec("lines", "%L%l%c%v");
    const char *pLine = "lines  'a b'  c\n";
    ASSERT_EQ(kxMUtiCmd_ExecLine(nullptr, pLine), kRan);
    const Slots &t = Recorder::calls[0];
    EXPECT_EQ(AsText(t[0]), pLine);
    EXPECT_STREQ(AsText(t[1]), "'a b'  c\n");
    EXPECT_EQ(t[2], 2u);
}

TEST_F(FormatTest, OptionalItems)
{
    const FormatCase cases[] = {
        {"%E%s?", "cmd", kRan, "", {CTX, Z}},
        {"%E%s?", "cmd abc", kRan, "", {CTX, S("abc")}},
        {"%d?%E", "cmd", kRan, "", {CTX}}, /* nothing placed: the context moves up */
        {"%d?%s", "cmd abc", kRan, "", {S("abc")}},
        {"%d?%s", "cmd 5 abc", kRan, "", {I(5), S("abc")}},
        {"%u?%u?%u?", "cmd 1 2", kRan, "", {I(1), I(2)}},
        {"%E?%C?", "cmd", kRan, "", {CTX, I(1)}}, /* no effect on wordless letters */
    };
    for (const FormatCase &c : cases)
        Run(c);
}

TEST_F(FormatTest, ListsFillCountAndStorage)
{
    const FormatCase cases[] = {
        {"%E%d+", "cmd", 0xFFFFFF04, "\"cmd\": insufficient arguments\n"},
        {"%d+", "cmd 1 2 x", 0xFFFFFF05, "\"cmd\": expecting integer argument: \"x\"\n"},
        {"%s+%d", "cmd a b", 0xFFFFFF06,
         "\"cmd\": list operator (+ or *) must be final item in invokeFormat\n"},
        {"%s+%d", "cmd", 0xFFFFFF04, "\"cmd\": insufficient arguments\n"},
        {"%E+%d", "cmd 1", 0xFFFFFF06,
         "\"cmd\": list operator (+ or *) must be final item in invokeFormat\n"},
        {"%E+", "cmd", kRan, "", {CTX}},
        {"%s*d", "cmd", 0xFFFFFF06,
         "missing % in invokeFormat for \"cmd\"\n"
         "\"cmd\": list operator (+ or *) must be final item in invokeFormat\n"},
    };
    for (const FormatCase &c : cases)
        Run(c);

    Recorder::Reset();
    AddRec("sum", "%E%d*   ");
    ASSERT_EQ(kxMUtiCmd_ExecLine(nullptr, "sum"), kRan);
    EXPECT_EQ(Recorder::calls[0][1], 0u);
    EXPECT_EQ(Recorder::calls[0][2],
              reinterpret_cast<kxWord_t>(gpkxMUtiCmd_ExecGlobal->pTempVec->pEntries));

    Recorder::Reset();
    AddRec("hex", "%u%x+");
    ASSERT_EQ(kxMUtiCmd_ExecLine(nullptr, "hex 9 a 0x10 ff"), kRan);
    EXPECT_EQ(Recorder::calls[0][0], 9u);
    EXPECT_EQ(Recorder::calls[0][1], 3u);
    auto *pList = reinterpret_cast<const kxWord_t *>(Recorder::calls[0][2]);
    EXPECT_EQ(pList[0], 0xAu);
    EXPECT_EQ(pList[1], 0x10u);
    EXPECT_EQ(pList[2], 0xFFu);

    Recorder::Reset();
    AddRec("strs", "%s+");
    ASSERT_EQ(kxMUtiCmd_ExecLine(nullptr, "strs a 'b c' d"), kRan);
    EXPECT_EQ(Recorder::calls[0][0], 3u);
    auto **ppStrs = reinterpret_cast<const char **>(Recorder::calls[0][1]);
    EXPECT_STREQ(ppStrs[0], "a");
    EXPECT_STREQ(ppStrs[1], "b c");
    EXPECT_STREQ(ppStrs[2], "d");
}

TEST_F(FormatTest, TenSlotsAndNoMore)
{
    std::vector<Want> ten(10, I(1));
    const FormatCase cases[] = {
        {"%C%C%C%C%C%C%C%C%C%C", "cmd", kRan, "", ten},
        {"%C%C%C%C%C%C%C%C%C%C%C", "cmd", 0xFFFFFF03,
         "\"cmd\": kxMUti does not support 11 command parameters\n"},
        {"%C%C%C%C%C%C%C%C%C%C%d?", "cmd", kRan, "", ten}, /* places nothing: harmless */
        {"%C%C%C%C%C%C%C%C%s*",
         "cmd a",
         kRan,
         "",
         {I(1), I(1), I(1), I(1), I(1), I(1), I(1), I(1), I(1), Want{Want::Int, 0, nullptr}}},
        {"%C%C%C%C%C%C%C%C%C%s*", "cmd a", 0xFFFFFF03,
         "\"cmd\": kxMUti does not support 9 command parameters\n"},
        {"%C%C%C%C%C%C%C%C%C%C%s*", "cmd", 0xFFFFFF03,
         "\"cmd\": kxMUti does not support 10 command parameters\n"},
        {"%C%C%C%C%C%C%C%C%C%C%q", "cmd", 0xFFFFFF03,
         "\"cmd\": kxMUti does not support 11 command parameters\n"},
    };
    /* The list pointer in slot 9 is checked apart; give it its value here. */
    for (const FormatCase &c : cases) {
        if (std::string(c.format) == "%C%C%C%C%C%C%C%C%s*") {
            Recorder::Reset();
            AddRec("cmd", c.format);
            ASSERT_EQ(kxMUtiCmd_ExecLine(nullptr, c.line), kRan);
            EXPECT_EQ(Recorder::calls[0][8], 1u);
            EXPECT_EQ(Recorder::calls[0][9],
                      reinterpret_cast<kxWord_t>(gpkxMUtiCmd_ExecGlobal->pTempVec->pEntries));
            continue;
        }
        Run(c);
    }
}

TEST_F(FormatTest, BrokenFormatsRunAsFarAsTheyGo)
{
    DbgRecorder dbg;
    const FormatCase cases[] = {
        {"d", "cmd 4", kRan, "missing % in invokeFormat for \"cmd\"\n", {I(4)}},
        {"%q%d", "cmd 4", kRan, "", {Z, I(4)}},
        {"%%", "cmd", kRan, "", {Z}},
        {"%d\t%d", "cmd 1 2", kRan, "missing % in invokeFormat for \"cmd\"\n", {I(1), Z, I(2)}},
        {"%d%", "cmd 1", kRan, "", {I(1), Z}}, /* a lone % at the end */
        {"%", "cmd", kRan, "", {Z}},
        {"  %d  %s  ", "cmd 1 x", kRan, "", {I(1), S("x")}},
    };
    for (const FormatCase &c : cases)
        Run(c);
    const auto errors = dbg.PrintsAt(0x8000);
    ASSERT_EQ(errors.size(), 5u); /* %q, %%, the tab, and the two lone % */
    EXPECT_EQ(errors[0], "MUtiCmd_Exec: \"cmd\": unknown invoke format %q");
    EXPECT_EQ(errors[1], "MUtiCmd_Exec: \"cmd\": unknown invoke format %%");
    EXPECT_EQ(errors[2], "MUtiCmd_Exec: \"cmd\": unknown invoke format %\t");
}

TEST_F(FormatTest, VerboseEchoesBeforeConvertingAndTracesTheResult)
{
    DbgRecorder dbg;
    *gkxMUtiCmd_DbgUnit |= 0x300;
    AddRec("cmd", "%u");
    gpkxMUtiCmd_ExecGlobal->flags |= kxMUtiCmd_ExecFlagVerbose;
    CaptureStdout out;
    kxMUtiCmd_ExecLine(nullptr, "cmd x");
    kxMUtiCmd_ExecLine(nullptr, "cmd 1");
    EXPECT_EQ(out.Stop(), "cmd x\n\"cmd\": expecting unsigned integer argument: \"x\"\ncmd 1\n");
    EXPECT_EQ(dbg.PrintsAt(0x200),
              (std::vector<std::string>{"MUtiCmd_Exec: \"cmd\": executing...",
                                        "MUtiCmd_Exec: \"cmd\": executing..."}));
    EXPECT_EQ(dbg.PrintsAt(0x100), std::vector<std::string>{"\"cmd\" => 0x1234"});
}

TEST_F(FormatTest, HandlerStatusPassesThroughUnchanged)
{
    AddRec("cmd", "");
    for (uint32_t status : {0u, 1u, 0xFFFFFF02u, 0xFFFFFFFFu}) {
        Recorder::status = status;
        EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "cmd"), status);
    }
}

TEST_F(FormatTest, FailedListAppendIsReportedAndTheWalkGoesOn)
{
    struct Case {
        const char *format;
        int line;
    };
    const Case cases[] = {{"%d*", 663}, {"%u*", 690}, {"%x*", 717}, {"%s*", 739}};
    std::string line = "cmd";
    for (int i = 0; i < 101; i++) /* one more than the list storage holds */
        line += " 1";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.format);
        AddRec("cmd", c.format);
        kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(nullptr);
        AddRec("wide", "%l");
        /* Let the word vector grow first, but not the list storage. */
        kxMUtiCmd_ExecLine(pExec, ("wide" + line.substr(3)).c_str());
        Recorder::Reset();
        DbgRecorder dbg;
        FaultGuard guard;
        MUti_FaultArm(0, false);
        EXPECT_EQ(kxMUtiCmd_ExecLine(pExec, line.c_str()), kRan);
        MUti_FaultDisarm();
        auto asserts = dbg.Asserts();
        ASSERT_EQ(asserts.size(), 1u);
        EXPECT_EQ(asserts[0].cond, "(err == KX_OK)");
        EXPECT_EQ(asserts[0].file, "comps/kxMUti/src/kxMUtiCmd");
        EXPECT_EQ(asserts[0].line, c.line);
        EXPECT_EQ(asserts[0].detail, "err=0xffffffff");
        EXPECT_EQ(Recorder::calls[0][0], 100u) << "the list lacks the one element";
    }
}

TEST_F(FormatTest, AutoSleepFollowsOnlyCommandsWhoseHandlerRan)
{
    /* The sleep itself is not timed here; the handler call reads the field
     * after the handler, so a handler that sets it applies it at once. */
    AddRec("cmd", "%u");
    gpkxMUtiCmd_ExecGlobal->autoSleepMs = 1;
    CaptureStdout out;
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "cmd 1"), kRan);
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "cmd x"), 0xFFFFFF05u);
}

} // namespace

/* The typed C++ layer: commands of every parameter kind registered with
 * kx::add, run line by line; each row gives the values the callable got (as
 * it renders them), the status and what the interpreter printed.  Built
 * without exceptions and RTTI, as C++17 and as C++20; no test framework. */
#include <cstdio>
#include <string>

#include "CaptureStdout.h"
#include "kxMUti.hpp"

namespace {

std::string gGot; /* what the last callable received, one " value" each */
int gFailures = 0;

/* Renders each kind of parameter value, " value" each. */
struct Render {
    static void Put(const char *p) { gGot += std::string(" ") + (p != nullptr ? p : "(null)"); }
    static void Put(std::string_view v) { Put(std::string(v).c_str()); }
    static void Put(uint32_t v) { Put(std::to_string(v).c_str()); }
    static void Put(int32_t v) { Put(std::to_string(v).c_str()); }
    static void Put(kx::Hex v)
    {
        char b[12];
        snprintf(b, sizeof b, "%x", v.value), Put(b);
    }
    template <char L> static void Put(kx::Text<L> v)
    {
        Put(("|" + std::string(v.text) + "|").c_str());
    }
    static void Put(kxMUtiCmd_Exec_t *pExec) { Put(pExec == kxMUtiCmd_ExecGlobal() ? "E" : "?"); }
    template <class T> static void Put(const std::optional<T> &v) { v ? Put(*v) : Put("-"); }
    template <class T> static void Put(const kx::List<T> &xs)
    {
        Put(("[" + std::to_string(xs.size()) + "]").c_str());
        for (T x : xs)
            Put(x);
    }
};
template <class... T> void Show(const char *name, const T &...v)
{
    gGot = name;
    (Render::Put(v), ...);
}

uint32_t Num(int32_t d, uint32_t u, kx::Hex x)
{
    return Show("num", d, u, x), 7;
}
uint32_t Num2(int32_t d, uint32_t u, kx::Hex x)
{
    return Show("num2", d, u, x), 8;
}
/* Two functions of one signature with optional words: in the c++20 build the second finds
 * itself in userData (%X), ahead of the argument count the optionals are placed by. */
template <int N>
uint32_t Om(kx::Hex a, std::optional<uint32_t> n, std::optional<uint32_t> w, kxMUtiCmd_Exec_t *e)
{
    return Show(N == 1 ? "om" : "om2", a, n, w, e), N;
}
/* The c++20 build has one handler per signature: the second callable of a
 * signature travels in userData (%X). */
constexpr bool kOneThunk = KX_HPP_THUNKS == 1;
using Sv = std::string_view;

struct Counter { /* a function object with state, copied once */
    int calls = 0;
    void operator()(kxMUtiCmd_Exec_t *pExec, std::string_view s) { Show("cnt", ++calls, pExec, s); }
};

struct Reg {
    const char *name;
    kxMUtiCmd_Def_t *def;
    const char *format;
};

struct Row { /* a line, what it returns, what the callable got, what was printed */
    const char *line;
    uint32_t status;
    const char *got; /* "" when the callable must not run */
    const char *out;
};

constexpr uint32_t kBad = kxMUtiCmd_StatusBadInteger, kFew = kxMUtiCmd_StatusTooFew,
                   kMany = kxMUtiCmd_StatusTooMany;

const Row kRows[] = {
    {"num -7 -1 0x1F", 7, "num -7 4294967295 1f", ""},
    {"num 12abc 1 1", kBad, "", "\"num\": expecting integer argument: \"12abc\"\n"},
    {"num 1 x 1", kBad, "", "\"num\": expecting unsigned integer argument: \"x\"\n"},
    {"num 1 1 g", kBad, "", "\"num\": expecting hex integer argument: \"g\"\n"},
    {"num 1 1", kFew, "", "\"num\": insufficient arguments\n"},
    {"num 1 2 3 4", kMany, "", "\"num\": 1 too many command parameters supplied\n"},
    {"num2 -1 2 3", 8, "num2 -1 2 3", ""},
    {"num3 -2 2 3", 7, "num -2 2 3", ""},
    {"str a 'b c'", 0, "str a b c", ""},
    {"md 80", 0, "md 80 - - E", ""},
    {"d 80 0", 0, "md 80 0 - E", ""},
    {"md 80 0 5", 0, "md 80 0 5 E", ""},
    {"md 80 x", kMany, "", "\"md\": 1 too many command parameters supplied\n"},
    {"ostr", 0, "ostr - |ostr|", ""},
    {"ost ''", 0, "ostr  |ostr|", ""},
    {"lst 3", 0, "lst 3 [0]", ""},
    {"lst 3 a 0x10", 0, "lst 3 [2] a 10", ""},
    {"lst 3 a z", kBad, "", "\"lst\": expecting hex integer argument: \"z\"\n"},
    {"more", kFew, "", "\"more\": insufficient arguments\n"},
    {"more a 'b c'", 0, "more [2] a b c", ""},
    {"olst", 0, "olst - [0]", ""},
    {"olst 0 1 2", 0, "olst 0 [2] 1 2", ""},
    {"olst q", kBad, "", "\"olst\": expecting unsigned integer argument: \"q\"\n"},
    {"te  a  \"b\" ", 0, "text |text| |te| |a  \"b\" |", ""},
    {"line a 'b' ", 0, "line |line a 'b' |", ""},
    {"words x 'y z'", 0, "words [3] words x y z |x 'y z'|", ""},
    {"om 80 1", 1, "om 80 1 - E", ""},
    {"om2 80", 2, "om2 80 - - E", ""},
    {"om2 80 1", 2, "om2 80 1 - E", ""},
    {"om2 80 1 2", 2, "om2 80 1 2 E", ""},
    {"om2 80 1 2 0", kMany, "", "\"om2\": 1 too many command parameters supplied\n"},
    {"cnt a", 0, "cnt 1 E a", ""},
    {"cnt b", 0, "cnt 2 E b", ""},
    {"cnt2 c", 0, "cnt 1 E c", ""},
};

int Check(bool ok, const char *what, const char *line, const std::string &seen)
{
    if (!ok) {
        fprintf(stderr, "FAIL %s for \"%s\": got \"%s\"\n", what, line, seen.c_str());
        gFailures++;
    }
    return ok;
}

} // namespace

int main()
{
    kxMUtiCmd_Init(0);
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    using Opt = std::optional<uint32_t>;
    // clang-format off
    const Reg regs[] = { /* name, what kx::add returned, the format it should derive */
        {"num", kx::add(nullptr, "num", Num), "%d%u%x"},
        {"num2", kx::add(nullptr, "num2", &Num2), kOneThunk ? "%X%d%u%x" : "%d%u%x"},
        {"num3", kx::add(nullptr, "num3", Num), "%d%u%x"},
        {"str", kx::add(nullptr, "str", [](const char *a, Sv b) { Show("str", a, b); }), "%s%s"},
        {"md", kx::add(nullptr, "md", [](kx::Hex a, Opt n, Opt w, kxMUtiCmd_Exec_t *e) {
             Show("md", a, n, w, e); }, "(<addr> [<n> [<width>]])", "d"), "%c%x%u?%u?%E"},
        {"ostr", kx::add(nullptr, "ostr", [](std::optional<const char *> s, kx::Name n) {
             Show("ostr", s, n); }), "%c%s?%N"},
        {"lst", kx::add(nullptr, "lst", [](uint32_t n, const kx::List<kx::Hex> &xs) {
             Show("lst", n, xs); }), "%u%x*"},
        {"more", kx::add(nullptr, "more", [](kx::OneOrMore<const char *> xs) { Show("more", xs); }),
         "%s+"},
        {"olst", kx::add(nullptr, "olst", [](Opt a, kx::List<uint32_t> xs) {
             Show("olst", a, xs); }), "%c%u?%u*"},
        {"text", kx::add(nullptr, "text", [](kx::Name n, kx::Typed t, kx::Rest r) {
             Show("text", n, t, r); }), "%N%n%l"},
        {"line", kx::add(nullptr, "line", [](kx::Line l) { Show("line", l); }), "%L"},
        {"words", kx::add(nullptr, "words", [](kx::Words w, kx::Rest r) { Show("words", w, r); }),
         "%C%V%l"},
        {"om", kx::add(nullptr, "om", Om<1>), "%c%x%u?%u?%E"},
        {"om2", kx::add(nullptr, "om2", Om<2>), kOneThunk ? "%X%c%x%u?%u?%E" : "%c%x%u?%u?%E"},
        {"cnt", kx::add(nullptr, "cnt", Counter{}), "%E%s"},
        {"cnt2", kx::add(nullptr, "cnt2", Counter{}), kOneThunk ? "%X%E%s" : "%E%s"},
        {"other", kx::add(pDefs, "other", +[]() -> uint32_t { return 1; }), ""},
    };
    // clang-format on
    for (const Reg &r : regs)
        Check(r.def != nullptr && Sv(r.def->pName) == r.name && Sv(r.def->invokeFormat) == r.format,
              "derived format", r.name, r.def ? r.def->invokeFormat : "(null)");
    Check(Sv(regs[4].def->pAlias) == "d" && Sv(regs[4].def->pHelp) == "(<addr> [<n> [<width>]])",
          "alias and help", "md", "");
    for (const Row &row : kRows) {
        gGot.clear();
        CaptureStdout out;
        const uint32_t status = kxMUtiCmd_ExecLine(nullptr, row.line);
        const std::string text = out.Stop();
        Check(status == row.status, "status", row.line, std::to_string(status));
        Check(gGot == row.got, "received", row.line, gGot);
        Check(text == row.out, "output", row.line, text);
    }
    /* A table of its own, run through a context of its own. */
    static kxMUtiCmd_Exec_t *const pExec = kxMUtiCmd_ExecNew(pDefs); /* kept, as by hosts */
    Check(kxMUtiCmd_ExecLine(pExec, "other") == 1, "status", "other", "");
    printf("%s: %d failure(s)\n", gFailures ? "FAIL" : "PASS", gFailures);
    return gFailures != 0;
}

/* Raw formats, checked by the interpreter's rules at compile time. */
// clang-format off
struct FormatCase { const char *format; bool valid; };
constexpr FormatCase kFormats[] = {
    {"", true}, {nullptr, true}, {"%E%s?", true}, {" %x  %u? ", true}, {"%s+ ", true},
    {"%E+", true}, {"%u%u%u%u%u%u%u%u%d*", true}, {"%u%u%u%u%u%u%u%u%u%u%s?", false},
    {"%u%u%u%u%u%u%u%u%u%d*", false}, {"%q", false}, {"%%", false}, {"d", false},
    {"%u\t%u", false}, {"%s+%d", false}, {"%E*%d", false}, {"%u%", false},
};
// clang-format on
constexpr bool FormatsAgree()
{
    for (const FormatCase &c : kFormats)
        if (kx::valid_format(c.format) != c.valid)
            return false;
    return true;
}
static_assert(FormatsAgree(), "kx::valid_format disagrees with the format rules");

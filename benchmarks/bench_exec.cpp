/*
 * bench_exec.cpp - the cost of one line on the interpreter's common road,
 * for four workloads, against libkxMUti.so and (when built with it) Tcl 8.6.
 *
 * Both systems register the same commands: add ("%u%u"), set ("%s%s") and
 * 200 commands named the way a bring-up shell names them, <unit>_<action>,
 * 20 units times 10 actions, registered unit by unit after add and set
 * ("%u").  kxMUti adds its 8 built-ins in front, so its global table holds
 * 210 commands, walked in that order.  The workloads:
 *
 *   add    add <a> <b>, both 1 to 4 digits
 *   set    set name<k> "hello world <m>"
 *   file   a script file of add lines, through kxMUtiCmd_ExecFile (Tcl:
 *          Tcl_EvalFile of the same file)
 *   names  <unit>_<action> <n>, the 200 commands by full name
 *
 * Each workload cycles through 1024 lines made once at start-up by a fixed
 * pseudo-random sequence.  Handlers do almost nothing (count the call, add
 * two integers), so the figures are the interpreter's own.
 *
 * Ways to run it:
 *
 *   kx_bench_exec [Google Benchmark flags]        ns per line, every workload
 *   kx_bench_exec --lines <workload> <system> <n> [<script>]
 *   kx_bench_exec --script <path> <n>
 *   kx_bench_exec --lookup <word> <n>
 *
 * --lines runs n lines of one workload (system kxmuti or tcl) and exits;
 * run under callgrind with two values of n, the difference of the counts
 * divided by the difference of n is the instruction count of one line,
 * start-up and loading excluded.  The file workload runs <script>, which
 * --script writes with n add lines.  --lookup looks word up n times in the
 * kxMUti global table: clk_test, the last command, against tuner_init, the
 * first unit command, gives the cost of walking past 199 definitions.
 * benchmarks/callgrind.sh does all this and prints the table.
 */
#include <benchmark/benchmark.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kxMUtiCmd.h"

#if defined(KX_BENCH_TCL)
#include <tcl.h>
#endif

namespace {

constexpr const char *kUnits[] = {"tuner", "demux", "video", "audio", "hdmi", "gpio", "i2c",
                                  "spi",   "nand",  "nor",   "usb",   "eth",  "wifi", "ir",
                                  "fp",    "smc",   "uart",  "dma",   "otp",  "clk"};
constexpr const char *kActions[] = {"init", "status", "start", "stop",   "reset",
                                    "read", "write",  "dump",  "config", "test"};

constexpr unsigned kLinesPerSet = 1024; /* lines cycled through by every workload */

unsigned long gCalls; /* handler calls, both systems: checks that every line ran */

/* ---- The workloads' lines --------------------------------------------- */

/* A fixed pseudo-random sequence, so every run types the same lines. */
struct Lcg {
    uint32_t state = 12345;
    uint32_t Next(uint32_t bound)
    {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % bound;
    }
};

/* A number of 1 to 4 digits, the digit count itself drawn first. */
uint32_t SmallNumber(Lcg &rng)
{
    static constexpr uint32_t kLimit[] = {10, 100, 1000, 10000};
    return rng.Next(kLimit[rng.Next(4)]);
}

std::vector<std::string> &UnitNames()
{
    static std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const char *pUnit : kUnits)
            for (const char *pAction : kActions)
                all.push_back(std::string(pUnit) + "_" + pAction);
        return all;
    }();
    return names;
}

/* The 1024 lines of a workload ("file" uses the add lines). */
std::vector<std::string> MakeLines(const std::string &workload)
{
    Lcg rng;
    std::vector<std::string> lines;
    char text[128];
    for (unsigned i = 0; i < kLinesPerSet; i++) {
        if (workload == "set")
            snprintf(text, sizeof text, "set name%u \"hello world %u\"", rng.Next(1000),
                     rng.Next(100000));
        else if (workload == "names")
            snprintf(text, sizeof text, "%s %u", UnitNames()[rng.Next(200)].c_str(),
                     SmallNumber(rng));
        else
            snprintf(text, sizeof text, "add %u %u", SmallNumber(rng), SmallNumber(rng));
        lines.push_back(text);
    }
    return lines;
}

/* Writes n add lines to path; false when the file cannot be written. */
bool WriteScript(const char *pPath, unsigned long n)
{
    const std::vector<std::string> lines = MakeLines("add");
    FILE *pFile = fopen(pPath, "w");
    if (pFile == nullptr)
        return false;
    for (unsigned long i = 0; i < n; i++)
        fprintf(pFile, "%s\n", lines[i % kLinesPerSet].c_str());
    return fclose(pFile) == 0;
}

/* ---- kxMUti ------------------------------------------------------------ */

uint32_t KxAdd(kxWord_t a, kxWord_t b, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
               kxWord_t, kxWord_t)
{
    gCalls++;
    return static_cast<uint32_t>(a + b);
}

uint32_t KxSet(kxWord_t name, kxWord_t value, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
               kxWord_t, kxWord_t, kxWord_t)
{
    gCalls++;
    return static_cast<uint32_t>(*reinterpret_cast<const char *>(name) +
                                 *reinterpret_cast<const char *>(value));
}

uint32_t KxUnit(kxWord_t n, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                kxWord_t, kxWord_t)
{
    gCalls++;
    return static_cast<uint32_t>(n);
}

void KxSetup()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    kxMUtiCmd_Init(0);
    bool ok = kxMUtiCmd_Add(nullptr, KxAdd, "add", nullptr, 0, "%u%u", 0, "(<a> <b>)") &&
              kxMUtiCmd_Add(nullptr, KxSet, "set", nullptr, 0, "%s%s", 0, "(<name> <value>)");
    for (const std::string &name : UnitNames()) /* the table keeps these pointers */
        ok = ok && kxMUtiCmd_Add(nullptr, KxUnit, name.c_str(), nullptr, 0, "%u", 0, "(<n>)");
    if (!ok)
        abort();
}

void KxRunLines(const std::vector<std::string> &lines, unsigned long n)
{
    for (unsigned long i = 0; i < n; i++)
        kxMUtiCmd_ExecLine(nullptr, lines[i % kLinesPerSet].c_str());
}

/* ---- Tcl 8.6 ----------------------------------------------------------- */

#if defined(KX_BENCH_TCL)
int TclAdd(ClientData, Tcl_Interp *pInterp, int objc, Tcl_Obj *const objv[])
{
    int a, b;
    if (objc != 3 || Tcl_GetIntFromObj(pInterp, objv[1], &a) != TCL_OK ||
        Tcl_GetIntFromObj(pInterp, objv[2], &b) != TCL_OK)
        return TCL_ERROR;
    gCalls++;
    return TCL_OK;
}

int TclSet(ClientData, Tcl_Interp *, int objc, Tcl_Obj *const objv[])
{
    if (objc != 3 || Tcl_GetString(objv[1])[0] == '\0')
        return TCL_ERROR;
    gCalls++;
    return TCL_OK;
}

int TclUnit(ClientData, Tcl_Interp *pInterp, int objc, Tcl_Obj *const objv[])
{
    int n;
    if (objc != 2 || Tcl_GetIntFromObj(pInterp, objv[1], &n) != TCL_OK)
        return TCL_ERROR;
    gCalls++;
    return TCL_OK;
}

/* One interpreter for the process; its own "set" is replaced by ours. */
Tcl_Interp *TclSetup()
{
    static Tcl_Interp *pInterp = nullptr;
    if (pInterp != nullptr)
        return pInterp;
    pInterp = Tcl_CreateInterp();
    Tcl_CreateObjCommand(pInterp, "add", TclAdd, nullptr, nullptr);
    Tcl_CreateObjCommand(pInterp, "set", TclSet, nullptr, nullptr);
    for (const std::string &name : UnitNames())
        Tcl_CreateObjCommand(pInterp, name.c_str(), TclUnit, nullptr, nullptr);
    return pInterp;
}

void TclRunLines(const std::vector<std::string> &lines, unsigned long n)
{
    Tcl_Interp *pInterp = TclSetup();
    for (unsigned long i = 0; i < n; i++)
        if (Tcl_EvalEx(pInterp, lines[i % kLinesPerSet].c_str(), -1, 0) != TCL_OK)
            abort();
}

void TclRunFile(const char *pPath)
{
    if (Tcl_EvalFile(TclSetup(), pPath) != TCL_OK)
        abort();
}
#endif

/* ---- Counting mode (for callgrind) ------------------------------------- */

int RunCount(int argc, char **argv)
{
    if (argc < 5)
        return 2;
    const std::string workload = argv[2];
    const std::string system = argv[3];
    const unsigned long n = strtoul(argv[4], nullptr, 10);
    const bool file = workload == "file";
    if (file && argc < 6)
        return 2;
    const std::vector<std::string> lines = MakeLines(workload);

    if (system == "kxmuti") {
        KxSetup();
        if (file)
            kxMUtiCmd_ExecFile(nullptr, argv[5]);
        else
            KxRunLines(lines, n);
#if defined(KX_BENCH_TCL)
    } else if (system == "tcl") {
        TclSetup();
        if (file)
            TclRunFile(argv[5]);
        else
            TclRunLines(lines, n);
#endif
    } else {
        return 2;
    }
    if (gCalls != n) {
        fprintf(stderr, "%s/%s: %lu handler calls for %lu lines\n", workload.c_str(),
                system.c_str(), gCalls, n);
        return 1;
    }
    return 0;
}

/* n lookups of one word in the global table; 0 when every one finds it. */
int RunLookups(const char *pWord, unsigned long n)
{
    KxSetup();
    unsigned long found = 0;
    for (unsigned long i = 0; i < n; i++) {
        uint32_t kind;
        found += kxMUtiCmd_DefsLookup(nullptr, pWord, &kind) != nullptr;
    }
    return found == n ? 0 : 1;
}

/* ---- Google Benchmark: ns per line ------------------------------------- */

/* Items are lines, so items_per_second is lines per second. */
void LinesDone(benchmark::State &state, unsigned long perIteration)
{
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * perIteration));
    state.counters["ns_per_line"] = benchmark::Counter(
        static_cast<double>(perIteration),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Kx(benchmark::State &state, const char *pWorkload)
{
    KxSetup();
    const std::vector<std::string> lines = MakeLines(pWorkload);
    for (auto _ : state)
        KxRunLines(lines, kLinesPerSet);
    LinesDone(state, kLinesPerSet);
}

/* The script for the file workloads, written once per process. */
const char *ScriptPath()
{
    static std::string path;
    if (path.empty()) {
        path = "/tmp/kx_bench_exec." + std::to_string(getpid()) + ".kx";
        if (!WriteScript(path.c_str(), kLinesPerSet))
            abort();
        atexit([] { unlink(ScriptPath()); });
    }
    return path.c_str();
}

void BM_KxFile(benchmark::State &state)
{
    KxSetup();
    const char *pPath = ScriptPath();
    for (auto _ : state)
        kxMUtiCmd_ExecFile(nullptr, pPath);
    LinesDone(state, kLinesPerSet);
}

#if defined(KX_BENCH_TCL)
void BM_Tcl(benchmark::State &state, const char *pWorkload)
{
    const std::vector<std::string> lines = MakeLines(pWorkload);
    TclSetup();
    for (auto _ : state)
        TclRunLines(lines, kLinesPerSet);
    LinesDone(state, kLinesPerSet);
}

void BM_TclFile(benchmark::State &state)
{
    TclSetup();
    const char *pPath = ScriptPath();
    for (auto _ : state)
        TclRunFile(pPath);
    LinesDone(state, kLinesPerSet);
}
#endif

} // namespace

BENCHMARK_CAPTURE(BM_Kx, add, "add");
BENCHMARK_CAPTURE(BM_Kx, set, "set");
BENCHMARK(BM_KxFile);
BENCHMARK_CAPTURE(BM_Kx, names, "names");
#if defined(KX_BENCH_TCL)
BENCHMARK_CAPTURE(BM_Tcl, add, "add");
BENCHMARK_CAPTURE(BM_Tcl, set, "set");
BENCHMARK(BM_TclFile);
BENCHMARK_CAPTURE(BM_Tcl, names, "names");
#endif

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "--lines") == 0)
        return RunCount(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "--script") == 0)
        return argc == 4 && WriteScript(argv[2], strtoul(argv[3], nullptr, 10)) ? 0 : 2;
    if (argc == 4 && strcmp(argv[1], "--lookup") == 0)
        return RunLookups(argv[2], strtoul(argv[3], nullptr, 10));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

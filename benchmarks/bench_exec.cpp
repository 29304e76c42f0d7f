/*
 * bench_exec.cpp - nanoseconds per line through kxMUtiCmd_ExecLine on a
 * warm context, and the cost of a command lookup alone.
 *
 * The global table holds the built-ins and the commands of the short lines
 * (add, sum, say).  A second table holds 200 commands named the way a
 * bring-up shell names them, <unit>_<action>: 20 units (tuner, demux, ...,
 * clk) times 10 actions (init, status, start, stop, reset, read, write,
 * dump, config, test), registered unit by unit.  They are typed by a unique
 * abbreviation (clk_te for clk_test), so every lookup walks the whole table:
 * only an exact name ends the walk early.  That context's parent is the
 * global context, as for any context a host creates.
 */
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "kxMUtiCmd.h"

namespace {

constexpr const char *kUnits[] = {"tuner", "demux", "video", "audio", "hdmi", "gpio", "i2c",
                                  "spi",   "nand",  "nor",   "usb",   "eth",  "wifi", "ir",
                                  "fp",    "smc",   "uart",  "dma",   "otp",  "clk"};
constexpr const char *kActions[] = {"init", "status", "start", "stop",   "reset",
                                    "read", "write",  "dump",  "config", "test"};

uint32_t AddHandler(kxWord_t a, kxWord_t b, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                    kxWord_t, kxWord_t, kxWord_t)
{
    return static_cast<uint32_t>(a + b);
}

/* %u+: the count and the elements. */
uint32_t SumHandler(kxWord_t n, kxWord_t list, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                    kxWord_t, kxWord_t, kxWord_t)
{
    const auto *pValues = reinterpret_cast<void *const *>(list);
    uint32_t sum = 0;
    for (kxWord_t i = 0; i < n; i++)
        sum += static_cast<uint32_t>(reinterpret_cast<kxWord_t>(pValues[i]));
    return sum;
}

/* %s%s%s: the first bytes of the three words. */
uint32_t SayHandler(kxWord_t a, kxWord_t b, kxWord_t c, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                    kxWord_t, kxWord_t, kxWord_t)
{
    return static_cast<uint32_t>(*reinterpret_cast<const char *>(a) +
                                 *reinterpret_cast<const char *>(b) +
                                 *reinterpret_cast<const char *>(c));
}

/* The unit commands: %u? and nothing done. */
uint32_t UnitHandler(kxWord_t n, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                     kxWord_t, kxWord_t, kxWord_t)
{
    return static_cast<uint32_t>(n);
}

struct Setup {
    kxMUtiCmd_Defs_t *pUnits = nullptr; /* the 200-command table */
    kxMUtiCmd_Exec_t *pUnitExec = nullptr;
    std::vector<std::string> names; /* the table keeps pointers to these */

    Setup()
    {
        kxMUtiCmd_Init(0);
        kxMUtiCmd_Add(nullptr, AddHandler, "add", nullptr, 0, "%u%u", 0, "(<a> <b>) adds");
        kxMUtiCmd_Add(nullptr, SumHandler, "sum", nullptr, 0, "%u+", 0, "(<n>...) sums");
        kxMUtiCmd_Add(nullptr, SayHandler, "say", nullptr, 0, "%s%s%s", 0, "(<a> <b> <c>)");

        pUnits = kxMUtiCmd_DefsNew();
        pUnitExec = kxMUtiCmd_ExecNew(pUnits);
        if (pUnits == nullptr || pUnitExec == nullptr)
            abort();
        names.reserve(200);
        for (const char *pUnit : kUnits)
            for (const char *pAction : kActions)
                names.push_back(std::string(pUnit) + "_" + pAction);
        for (const std::string &name : names)
            if (kxMUtiCmd_Add(pUnits, UnitHandler, name.c_str(), nullptr, 0, "%u?", 0,
                              "(<n>) unit command") == nullptr)
                abort();
    }
};

Setup &Tables()
{
    static Setup setup;
    return setup;
}

/* Runs one line repeatedly and stops the run if it does not give want. */
void RunLine(benchmark::State &state, kxMUtiCmd_Exec_t *pExec, const char *pLine, uint32_t want)
{
    if (kxMUtiCmd_ExecLine(pExec, pLine) != want) { /* also warms the context */
        state.SkipWithError("unexpected status");
        return;
    }
    for (auto _ : state) {
        uint32_t status = kxMUtiCmd_ExecLine(pExec, pLine);
        benchmark::DoNotOptimize(status);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Line_Add(benchmark::State &state)
{
    Tables();
    RunLine(state, nullptr, "add 1 2", 3);
}

void BM_Line_Abbrev200(benchmark::State &state)
{
    RunLine(state, Tables().pUnitExec, "clk_te 5", 5);
}

void BM_Line_FullName200(benchmark::State &state)
{
    RunLine(state, Tables().pUnitExec, "clk_test 5", 5);
}

void BM_Line_List10(benchmark::State &state)
{
    Tables();
    RunLine(state, nullptr, "sum 1 2 3 4 5 6 7 8 9 10", 55);
}

void BM_Line_Quoted(benchmark::State &state)
{
    Tables();
    RunLine(state, nullptr, "say \"hello world\" 'and more' \"x\"", 'h' + 'a' + 'x');
}

void BM_Lookup_Abbrev200(benchmark::State &state)
{
    kxMUtiCmd_Defs_t *pDefs = Tables().pUnits;
    for (auto _ : state) {
        uint32_t kind;
        kxMUtiCmd_Def_t *pDef = kxMUtiCmd_DefsLookup(pDefs, "clk_te", &kind);
        benchmark::DoNotOptimize(pDef);
        benchmark::DoNotOptimize(kind);
    }
    uint32_t kind;
    if (kxMUtiCmd_DefsLookup(pDefs, "clk_te", &kind) == nullptr || kind != kxMUtiCmd_MatchPrefix)
        state.SkipWithError("clk_te is not a unique prefix");
}

void BM_Lookup_ExactGlobal(benchmark::State &state)
{
    Tables();
    for (auto _ : state) {
        uint32_t kind;
        kxMUtiCmd_Def_t *pDef = kxMUtiCmd_DefsLookup(nullptr, "add", &kind);
        benchmark::DoNotOptimize(pDef);
        benchmark::DoNotOptimize(kind);
    }
}

} // namespace

BENCHMARK(BM_Line_Add);
BENCHMARK(BM_Line_Abbrev200);
BENCHMARK(BM_Line_FullName200);
BENCHMARK(BM_Line_List10);
BENCHMARK(BM_Line_Quoted);
BENCHMARK(BM_Lookup_Abbrev200);
BENCHMARK(BM_Lookup_ExactGlobal);

BENCHMARK_MAIN();

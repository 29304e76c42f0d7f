/*
 * bench_cpp.cpp - the cost of the typed C++ layer per line: `add 1 2` run
 * on a warm context against a command registered with kx::add (a function
 * taking two uint32_t, the same as a lambda, and as a lambda with a
 * capture, which travels in userData, one format item more) and against the same
 * command written for the C interface ("%u%u").  Each command sits alone in
 * a table of its own, so lookup costs the same for all three.
 *
 *   kx_bench_cpp [Google Benchmark options]   nanoseconds per line
 *   kx_bench_cpp --lines N raw|typed|lambda|capture   N lines and nothing else, for
 *                                             counting instructions:
 *
 *   valgrind --tool=callgrind --callgrind-out-file=f1 kx_bench_cpp --lines 1000 typed
 *   valgrind --tool=callgrind --callgrind-out-file=f2 kx_bench_cpp --lines 11000 typed
 *
 * and take (total of f2 - total of f1) / 10000, so start-up cancels out.
 */
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kxMUti.hpp"

namespace {

constexpr const char *kLine = "add 1 2";

uint32_t RawAdd(kxWord_t a, kxWord_t b, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t, kxWord_t,
                kxWord_t, kxWord_t)
{
    return static_cast<uint32_t>(a + b);
}

uint32_t TypedAdd(uint32_t a, uint32_t b)
{
    return a + b;
}

/* One context per way of registering, each over a table holding only add. */
struct Setup {
    kxMUtiCmd_Exec_t *pRaw, *pTyped, *pLambda, *pCapture;

    static kxMUtiCmd_Exec_t *Context(kxMUtiCmd_Defs_t *pDefs, kxMUtiCmd_Def_t *pDef)
    {
        kxMUtiCmd_Exec_t *pExec = pDefs != nullptr ? kxMUtiCmd_ExecNew(pDefs) : nullptr;
        if (pDef == nullptr || pExec == nullptr || kxMUtiCmd_ExecLine(pExec, kLine) != 3) {
            fputs("bench_cpp: set-up failed\n", stderr);
            abort();
        }
        return pExec;
    }

    Setup()
    {
        kxMUtiCmd_Init(0);
        kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
        pRaw = Context(pDefs, kxMUtiCmd_Add(pDefs, RawAdd, "add", nullptr, 0, "%u%u", 0, ""));
        pDefs = kxMUtiCmd_DefsNew();
        pTyped = Context(pDefs, kx::add(pDefs, "add", TypedAdd, ""));
        pDefs = kxMUtiCmd_DefsNew();
        pLambda =
            Context(pDefs, kx::add(pDefs, "add", [](uint32_t a, uint32_t b) { return a + b; }));
        pDefs = kxMUtiCmd_DefsNew();
        const uint32_t zero = static_cast<uint32_t>(rand() % 1); /* a capture, kept by value */
        pCapture = Context(
            pDefs, kx::add(pDefs, "add", [zero](uint32_t a, uint32_t b) { return a + b + zero; }));
    }
};

Setup &Get()
{
    static Setup setup;
    return setup;
}

void Run(benchmark::State &state, kxMUtiCmd_Exec_t *pExec)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(kxMUtiCmd_ExecLine(pExec, kLine));
}

void BM_AddRaw(benchmark::State &state)
{
    Run(state, Get().pRaw);
}
void BM_AddTyped(benchmark::State &state)
{
    Run(state, Get().pTyped);
}
void BM_AddTypedLambda(benchmark::State &state)
{
    Run(state, Get().pLambda);
}
BENCHMARK(BM_AddRaw);
BENCHMARK(BM_AddTyped);
void BM_AddTypedCapture(benchmark::State &state)
{
    Run(state, Get().pCapture);
}
BENCHMARK(BM_AddTypedLambda);
BENCHMARK(BM_AddTypedCapture);

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "--lines") == 0) {
        const long n = strtol(argv[2], nullptr, 10);
        Setup &s = Get();
        kxMUtiCmd_Exec_t *pExec = strcmp(argv[3], "raw") == 0      ? s.pRaw
                                  : strcmp(argv[3], "typed") == 0  ? s.pTyped
                                  : strcmp(argv[3], "lambda") == 0 ? s.pLambda
                                                                   : s.pCapture;
        uint32_t sum = 0;
        for (long i = 0; i < n; i++)
            sum += kxMUtiCmd_ExecLine(pExec, kLine);
        return sum == 3u * static_cast<uint32_t>(n) ? 0 : 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

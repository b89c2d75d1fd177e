// Boolean undercut of a 200k-triangle sphere sunk into a 200k-triangle slab
// (a box of 129 x 129 squares a face), with one and with two threads: time of the whole operation, its
// result code, the triangles of both results and the memory the operation adds at its peak
// (above the two inputs).
#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include <chrono>
#include <cmath>

#include "MStlBaseOperatorBooleanUndercut.h"
#include "bench/BenchSupport.h"
#include "host/MStlBase.h"
#include "host/MStlGenerate.h"

namespace {

constexpr double kRadius = 1e6;

void BM_BooleanUndercut(benchmark::State& state) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, size_t(state.range(1)));
    MStlBase lower, upper;
    const int squares = int(std::lround(std::sqrt(double(state.range(0)) / 12.0)));
    GenerateBox(lower, {-2000000, -2000000, -1000000}, {2000000, 2000000, 0}, squares);
    GenerateSphere(upper, 0.6 * kRadius, uint64_t(state.range(0)), {0.0123 * kRadius, -0.0071 * kRadius, 0.1 * kRadius});
    lower.Update();
    upper.Update();
    const double before = StartPeakMeasure();
    double seconds = 0.0;
    int code = 0;
    uint64_t upperTriangles = 0, lowerTriangles = 0;
    for (auto _ : state) {
        MStlBase u, l;
        u.Copy(upper);
        l.Copy(lower);
        MStlBaseOperatorBooleanUndercut op;
        op.SetUpperStl(&u);
        op.SetLowerStl(&l);
        const auto start = std::chrono::steady_clock::now();
        code = op.Operate(nullptr);
        seconds += SecondsSince(start);
        upperTriangles = u.GetNumberOfTriangles();
        lowerTriangles = l.GetNumberOfTriangles();
    }
    const double n = double(state.iterations());
    state.counters["threads"] = double(state.range(1));
    state.counters["input_triangles"] = double(upper.GetNumberOfTriangles() + lower.GetNumberOfTriangles());
    state.counters["ms"] = 1e3 * seconds / n;
    state.counters["code"] = code;
    state.counters["upper_result_triangles"] = double(upperTriangles);
    state.counters["lower_result_triangles"] = double(lowerTriangles);
    state.counters["added_peak_MB"] = PeakMegabytes() - before;
}

BENCHMARK(BM_BooleanUndercut)
    ->Args({200000, 1})
    ->Args({200000, 2})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// Undercut removal of a 1M-triangle rough sphere of radius 30 units seen
// from above, at grid steps of 0.1 and 0.05 units with the default draft
// angle, and the angulated mode at 0.1; and the build of the triangle tree
// over the same mesh with one and with two threads.  Reports times, output
// sizes and the memory each case adds at its peak.
#include <benchmark/benchmark.h>

#include <tbb/global_control.h>

#include <algorithm>
#include <chrono>
#include <random>

#include "MUserOperatorUndercutRemover.h"
#include "bench/BenchSupport.h"
#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MStlGenerate.h"
#include "host/MStlTriangleTree.h"

namespace {

using Remover = MUserOperatorUndercutRemover;

// A sphere with every point moved by up to 20 steps: a stand-in for a
// scanned part.
const MStlBase& Part() {
    static MStlBase mesh;
    if (mesh.GetNumberOfTriangles() == 0) {
        GenerateSphere(mesh, 30.0 * QelSDK::Common::MInternalUnits::Get(), 1000000);
        std::mt19937 random(11);
        std::uniform_int_distribution<int> jitter(-20, 20);
        MStlBaseOperatorHelperDirectPointChange change(mesh, true);
        for (auto it = mesh.BeginPoint(); it != mesh.EndPoint(); ++it)
            it->SetCoordinatesFast(it->GetX() + jitter(random), it->GetY() + jitter(random), it->GetZ() + jitter(random));
    }
    return mesh;
}

// range(0): grid step in thousandths of a unit; range(1): 1 for the
// angulated mode; range(2): threads.
void BM_UndercutRemover(benchmark::State& state) {
    const MStlBase& part = Part();
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, size_t(state.range(2)));
    const double before = StartPeakMeasure();
    Remover::MParams params;
    params.CellSize = int32_t(state.range(0) * QelSDK::Common::MInternalUnits::Get() / 1000.0);
    if (state.range(1)) {
        params.Angulated.Enabled = true;
        params.Angulated.TopZ = part.GetZMax() + 1000;
        params.Angulated.BottomZ = part.GetZMin() - 1000;
        params.Angulated.OffsetX = 2000.0;
        params.Angulated.ExtensionSteps = 2;
    }
    uint64_t triangles = 0;
    int code = 0;
    for (auto _ : state) {
        MStlBase solid;
        Remover remover;
        remover.SetInputModel(&part);
        remover.SetOutputSurface(solid.AddSurface());
        remover.SetOutputBottomSurface(solid.AddSurface());
        remover.SetDirection({0.0, 0.0, -1.0});
        remover.SetParams(params);
        const auto start = std::chrono::steady_clock::now();
        code = remover.Operate();
        state.SetIterationTime(SecondsSince(start));
        triangles = solid.GetNumberOfTriangles();
    }
    state.counters["input_triangles"] = double(part.GetNumberOfTriangles());
    state.counters["output_triangles"] = double(triangles);
    state.counters["code"] = code;
    state.counters["threads"] = double(state.range(2));
    state.counters["added_peak_MB"] = PeakMegabytes() - before;
}

// Best of three builds with one thread, then with two: wall time, the
// process's CPU time, and the calling thread's CPU time, which stands for
// the critical path when other processes share the cores (the estimated
// speedup is the one-thread CPU time over the two-thread caller's).
void BM_TriangleTreeBuild(benchmark::State& state) {
    const MStlBase& part = Part();
    double best[2] = {1e9, 1e9}, cpu[2] = {1e9, 1e9}, caller[2] = {1e9, 1e9};
    for (auto _ : state) {
        for (int threads : {1, 2}) {
            tbb::global_control limit(tbb::global_control::max_allowed_parallelism, size_t(threads));
            for (int k = 0; k < 3; ++k) {
                const auto start = std::chrono::steady_clock::now();
                const double cpuStart = ProcessCpuSeconds(), callerStart = ThreadCpuSeconds();
                const MStlTriangleTree tree(part);
                best[threads - 1] = std::min(best[threads - 1], SecondsSince(start));
                cpu[threads - 1] = std::min(cpu[threads - 1], ProcessCpuSeconds() - cpuStart);
                caller[threads - 1] = std::min(caller[threads - 1], ThreadCpuSeconds() - callerStart);
                benchmark::DoNotOptimize(tree.GetNumberOfNodes());
            }
        }
        state.SetIterationTime(best[1]);
    }
    state.counters["triangles"] = double(part.GetNumberOfTriangles());
    state.counters["ms_1_thread"] = 1e3 * best[0];
    state.counters["ms_2_threads"] = 1e3 * best[1];
    state.counters["speedup"] = best[0] / best[1];
    state.counters["cpu_ms_1_thread"] = 1e3 * cpu[0];
    state.counters["cpu_ms_2_threads"] = 1e3 * cpu[1];
    state.counters["caller_cpu_ms_2_threads"] = 1e3 * caller[1];
    state.counters["cpu_speedup"] = cpu[0] / caller[1];
    state.counters["peak_MB"] = PeakMegabytes();
}

}  // namespace

BENCHMARK(BM_UndercutRemover)
    ->Args({100, 0, 1})
    ->Args({100, 0, 2})
    ->Args({50, 0, 1})
    ->Args({50, 0, 2})
    ->Args({100, 1, 1})
    ->Args({100, 1, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(BM_TriangleTreeBuild)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK_MAIN();

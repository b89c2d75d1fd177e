// Self-trim of two spheres of equal triangle count merged into one mesh, the
// second one radius off the first: every triangle is selected and every
// crossing pair is cut.  Reports the time, the triangles cut and made, the
// time of merely copying the mesh for scale, and the peak resident memory.
// The trim runs on one thread: its processor time is shown beside the wall
// time, which a busy machine stretches.
#include <benchmark/benchmark.h>

#include <ctime>
#include <chrono>

#include "MStlBaseOperatorTrimTriangles.h"
#include "bench/BenchSupport.h"
#include "host/MStlBase.h"
#include "host/MStlGenerate.h"

namespace {

constexpr double kRadius = 1e6;

double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

void BM_SelfTrimSpheres(benchmark::State& state) {
    const uint64_t perSphere = uint64_t(state.range(0));
    MStlBase spheres;
    GenerateSphere(spheres, kRadius, perSphere);
    // Slightly off the axis so that no vertex meets the other sphere by symmetry.
    GenerateSphere(spheres, kRadius, perSphere, {kRadius, 0.0123 * kRadius, -0.0071 * kRadius});

    double trim = 0.0, cpu = 0.0, copy = 0.0, peak = 0.0;
    uint64_t cut = 0, pieces = 0;
    for (auto _ : state) {
        MStlBase mesh;
        auto start = std::chrono::steady_clock::now();
        mesh.Copy(spheres);
        copy += SecondsSince(start);
        MDataMaskBits<MStlTriangle> all(mesh);
        for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) all.Set(*it);
        start = std::chrono::steady_clock::now();
        const double cpuStart = ThreadSeconds();
        QelSDK::MStlBaseOperatorTrimTriangles op;
        op.SetStl(mesh, all);
        if (op.Operate() != QelSDK::MStlBaseOperatorTrimTriangles::eDone) state.SkipWithError("the trim failed");
        const double seconds = SecondsSince(start);
        cpu += ThreadSeconds() - cpuStart;
        trim += seconds;
        peak = PeakMegabytes();
        cut = op.GetNumberOfTrimmedTriangles();
        pieces = op.GetNumberOfNewTriangles();
        state.SetIterationTime(seconds);
    }
    const double n = double(state.iterations());
    state.counters["triangles"] = double(spheres.GetNumberOfTriangles());
    state.counters["cut"] = double(cut);
    state.counters["pieces"] = double(pieces);
    state.counters["trim_ms"] = 1e3 * trim / n;
    state.counters["trim_cpu_ms"] = 1e3 * cpu / n;
    state.counters["copy_ms"] = 1e3 * copy / n;
    state.counters["peak_MB"] = peak;
}

}  // namespace

BENCHMARK(BM_SelfTrimSpheres)->Arg(100000)->Arg(500000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

BENCHMARK_MAIN();

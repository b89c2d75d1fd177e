// Halves of a closed sphere by a plane through the free cutting function,
// against the plane-cut operator alone on the same mesh in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>

#include "MCutFunctions.h"
#include "MStlBaseOperatorPlaneCut.h"
#include "bench/BenchSupport.h"
#include "host/MInternalUnits.h"
#include "host/MStlGenerate.h"

namespace {

const MStlBase& Sphere(int64_t triangles) {
    static std::unique_ptr<MStlBase> mesh;
    static int64_t size = 0;
    if (!mesh || size != triangles) {
        mesh.reset();
        mesh = std::make_unique<MStlBase>();
        GenerateSphere(*mesh, 1e6, uint64_t(triangles));
        size = triangles;
    }
    return *mesh;
}

double SecondsOfPlaneCut(const MStlBase& sphere, const MMPlaneEq<double>& eq) {
    double best = 1e30;
    for (int i = 0; i < 3; ++i) {
        MStlBase below, above;
        const auto start = std::chrono::steady_clock::now();
        MStlBaseOperatorPlaneCut cut;
        cut.SetStl(const_cast<MStlBase*>(&sphere));
        cut.SetPlane(eq);
        cut.SetOutputStl(&below, &above);
        cut.Operate();
        best = std::min(best, SecondsSince(start));
    }
    return best;
}

void BM_HalvesByPlane(benchmark::State& state) {
    MStlBase& sphere = const_cast<MStlBase&>(Sphere(state.range(0)));
    const MMPlane plane({0.0, 0.0, 1234.0 / QelSDK::Common::MInternalUnits::Get()}, {0.0, 0.0, 1.0});
    MMPlane internal = plane;
    internal.SetOrigin(plane.GetOrigin() * QelSDK::Common::MInternalUnits::Get());
    const double alone = SecondsOfPlaneCut(sphere, internal.GetPlaneEqDouble());
    double seconds = 0.0, best = 1e30;
    for (auto _ : state) {
        auto below = std::make_unique<MStlBase>(), above = std::make_unique<MStlBase>();
        const auto start = std::chrono::steady_clock::now();
        if (AU::CutWithPlane(*below, *above, sphere, plane) != 0) state.SkipWithError("cut failed");
        const double taken = SecondsSince(start);
        seconds += taken;
        best = std::min(best, taken);
        state.PauseTiming();
        below.reset();
        above.reset();
        state.ResumeTiming();
    }
    // Best against best: the first cuts into fresh memory pay for its page
    // faults, which would otherwise weigh on whichever side runs first.
    state.counters["mean_ms"] = seconds / double(state.iterations()) * 1e3;
    state.counters["plane_cut_alone_ms"] = alone * 1e3;
    state.counters["ratio_to_plane_cut"] = best / alone;
    state.counters["peak_MB"] = PeakMegabytes();
}

}  // namespace

BENCHMARK(BM_HalvesByPlane)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();

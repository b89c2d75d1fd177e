// Plane cut with fill of closed spheres, copy mode, both outputs.  Reports
// the time per cut, its ratio to a plain MStlBase::Copy of the same mesh,
// the peak resident memory and the input mesh's own footprint.
#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include <sys/resource.h>

#include <chrono>
#include <map>
#include <memory>

#include "MStlBaseOperatorPlaneCut.h"
#include "host/MStlGenerate.h"

namespace {

const MStlBase& Sphere(int64_t triangles) {
    static std::map<int64_t, std::unique_ptr<MStlBase>> cache;
    auto& mesh = cache[triangles];
    if (!mesh) {
        cache.clear();  // keep one mesh at a time so the peak stays honest
        auto fresh = std::make_unique<MStlBase>();
        GenerateSphere(*fresh, 1e6, uint64_t(triangles));
        return *(cache[triangles] = std::move(fresh));
    }
    return *mesh;
}

double SecondsOfCopy(const MStlBase& mesh) {
    double best = 1e30;
    for (int i = 0; i < 3; ++i) {
        MStlBase copy;
        const auto start = std::chrono::steady_clock::now();
        copy.Copy(mesh);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

void BM_PlaneCutSphere(benchmark::State& state) {
    const MStlBase& sphere = Sphere(state.range(0));
    const double copySeconds = SecondsOfCopy(sphere);
    double cutSeconds = 0.0;
    uint64_t below = 0, above = 0;
    for (auto _ : state) {
        auto lower = std::make_unique<MStlBase>(), upper = std::make_unique<MStlBase>();
        const auto start = std::chrono::steady_clock::now();
        MStlBaseOperatorPlaneCut cut;
        cut.SetStl(const_cast<MStlBase*>(&sphere));
        cut.SetPlane({0.0, 0.0, 1.0, -1234.0});
        cut.SetOutputStl(lower.get(), upper.get());
        if (!cut.Operate() || cut.GetErrorCode() != 0) state.SkipWithError("cut failed");
        cutSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        below = lower->GetNumberOfTriangles();
        above = upper->GetNumberOfTriangles();
        state.PauseTiming();  // releasing the outputs is not part of the cut
        lower.reset();
        upper.reset();
        state.ResumeTiming();
    }
    state.counters["triangles"] = double(sphere.GetNumberOfTriangles());
    state.counters["x_copy"] = cutSeconds / double(state.iterations()) / copySeconds;
    state.counters["copy_ms"] = copySeconds * 1e3;
    state.counters["peak_MB"] = PeakMegabytes();
    state.counters["input_MB"] = double(sphere.MemoryFootprint()) / (1024.0 * 1024.0);
    state.counters["out_tris"] = double(below + above);
}

}  // namespace

BENCHMARK(BM_PlaneCutSphere)->Arg(10000)->Arg(100000)->Arg(1000000)->Arg(2000000)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();

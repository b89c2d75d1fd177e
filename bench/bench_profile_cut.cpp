// Profile cut (mode 3, filled) of closed spheres by a 256-point circle of half
// the sphere's radius around the sphere's axis.  Reports the median time per
// cut, its ratio to the median plane cut with fill of the same mesh (run
// alternately with it), and the peak resident memory.
#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "MCutter.h"
#include "MStlBaseOperatorPlaneCut.h"
#include "host/MStlGenerate.h"

namespace {

constexpr double kRadius = 1e6;
constexpr int kCirclePoints = 256;

void AddCircle(MCutter& cutter, double radius) {
    cutter.AddNewCutContour();
    for (int i = 0; i < kCirclePoints; ++i) {
        const double angle = 2.0 * std::numbers::pi * i / kCirclePoints;
        cutter.AddNewCutPoint(std::lround(radius * std::cos(angle)), std::lround(radius * std::sin(angle)), false);
    }
}

// One plane cut through the middle, both halves filled; NaN when it fails.
double SecondsOfPlaneCut(MStlBase& mesh) {
    MStlBase below, above;
    const auto start = std::chrono::steady_clock::now();
    MStlBaseOperatorPlaneCut cut;
    cut.SetStl(&mesh);
    cut.SetPlane({0.0, 0.0, 1.0, -1234.0});
    cut.SetOutputStl(&below, &above);
    if (!cut.Operate() || cut.GetErrorCode() != 0) return std::nan("");
    return SecondsSince(start);
}

double Median(std::vector<double> v) {
    if (v.empty()) return std::nan("");
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// Each iteration runs the plane cut and then the profile cut of the same
// mesh, so that both see the same state of the machine; the ratio is that
// of the medians.
void BM_ProfileCutSphere(benchmark::State& state) {
    MStlBase sphere;
    GenerateSphere(sphere, kRadius, uint64_t(state.range(0)));
    std::vector<double> planeSeconds, cutSeconds;
    uint64_t resultTriangles = 0;
    for (auto _ : state) {
        state.PauseTiming();  // the plane cut and the cutter's copy of the mesh are not part of the cut
        planeSeconds.push_back(SecondsOfPlaneCut(sphere));
        auto cutter = std::make_unique<MCutter>();
        cutter->SetCutStl(sphere, false);
        AddCircle(*cutter, kRadius / 2.0);
        cutter->SET_CUT_MODE(3, 0);
        state.ResumeTiming();

        const auto start = std::chrono::steady_clock::now();
        const char code = cutter->MAKE_CUT();
        std::unique_ptr<MStlBase> inside(cutter->GetInsideResult(true)), outside(cutter->GetOutsideResult(true));
        cutSeconds.push_back(SecondsSince(start));
        if (code != MCutter::kDone || !inside || !outside) {
            state.SkipWithError("the profile cut failed");
            break;
        }
        resultTriangles = inside->GetNumberOfTriangles() + outside->GetNumberOfTriangles();

        state.PauseTiming();  // releasing the cutter and the results is not part of the cut
        inside.reset();
        outside.reset();
        cutter.reset();
        state.ResumeTiming();
    }
    const double plane = Median(planeSeconds), cut = Median(cutSeconds);
    state.counters["triangles"] = double(sphere.GetNumberOfTriangles());
    state.counters["profile_ms"] = cut * 1e3;
    state.counters["plane_ms"] = plane * 1e3;
    state.counters["x_plane"] = cut / plane;
    state.counters["peak_MB"] = PeakMegabytes();
    state.counters["out_tris"] = double(resultTriangles);
}

}  // namespace

BENCHMARK(BM_ProfileCutSphere)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();

// Polyline cut with both clearances (1 model unit each) of a closed sphere by
// a 256-point circle of half the sphere's radius around its axis.  Reports the
// time per cut, its ratio to a plain profile cut (mode 3, filled) along the
// same circle, and the peak resident memory.
#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "MCutter.h"
#include "MStlBaseOperatorPolylineCut.h"
#include "host/MInternalUnits.h"
#include "host/MStlGenerate.h"

namespace {

constexpr double kRadius = 1e6;
constexpr int kCirclePoints = 256;

std::vector<MMVector<double, 2>> Circle(double radius) {
    std::vector<MMVector<double, 2>> points;
    for (int i = 0; i < kCirclePoints; ++i) {
        const double angle = 2.0 * std::numbers::pi * i / kCirclePoints;
        points.emplace_back(double(std::lround(radius * std::cos(angle))), double(std::lround(radius * std::sin(angle))));
    }
    return points;
}

// One profile cut along the circle; the cutter's copy of the mesh is made
// before the clock starts.
double SecondsOfProfileCut(MStlBase& sphere, const std::vector<MMVector<double, 2>>& circle) {
    auto cutter = std::make_unique<MCutter>();
    cutter->SetCutStl(sphere, false);
    cutter->AddNewCutContour();
    for (const auto& p : circle) cutter->AddNewCutPoint(long(p[0]), long(p[1]), false);
    cutter->SET_CUT_MODE(3, 0);
    const auto start = std::chrono::steady_clock::now();
    const char code = cutter->MAKE_CUT();
    std::unique_ptr<MStlBase> inside(cutter->GetInsideResult(true)), outside(cutter->GetOutsideResult(true));
    const double seconds = SecondsSince(start);
    return code == MCutter::kDone && inside && outside ? seconds : std::nan("");
}

void BM_PolylineCutSphere(benchmark::State& state) {
    MStlBase sphere;
    GenerateSphere(sphere, kRadius, uint64_t(state.range(0)));
    const std::vector<MMVector<double, 2>> circle = Circle(kRadius / 2.0);
    const int32_t clearance = int32_t(QelSDK::Common::MInternalUnits::Get());

    double polylineSeconds = 0.0, profileSeconds = 0.0;
    uint64_t resultTriangles = 0;
    for (auto _ : state) {
        state.PauseTiming();  // the operator cuts its model in place: a fresh copy each time
        profileSeconds += SecondsOfProfileCut(sphere, circle);
        auto model = std::make_unique<MStlBase>();
        model->Copy(sphere);
        state.ResumeTiming();

        const auto start = std::chrono::steady_clock::now();
        MStlBaseOperatorPolylineCut cut;
        cut.SetModelToCut(model.get());
        cut.SetCutPolyline(circle);
        cut.SetParameters({0, clearance, clearance, false});
        const auto code = cut.Operate();
        std::vector<std::unique_ptr<MStlBase>> outputs = cut.GetOutputStls();
        polylineSeconds += SecondsSince(start);
        if (code != MStlBaseOperatorPolylineCut::eCutDone || outputs.size() != 2) {
            state.SkipWithError("the polyline cut failed");
            break;
        }
        resultTriangles = outputs[0]->GetNumberOfTriangles() + outputs[1]->GetNumberOfTriangles();

        state.PauseTiming();  // releasing the meshes is not part of the cut
        outputs.clear();
        model.reset();
        state.ResumeTiming();
    }
    const double n = state.iterations() ? double(state.iterations()) : 1.0;
    state.counters["triangles"] = double(sphere.GetNumberOfTriangles());
    state.counters["polyline_ms"] = polylineSeconds / n * 1e3;
    state.counters["profile_ms"] = profileSeconds / n * 1e3;
    state.counters["ratio"] = polylineSeconds / profileSeconds;
    state.counters["peak_MB"] = PeakMegabytes();
    state.counters["out_tris"] = double(resultTriangles);
}

}  // namespace

BENCHMARK(BM_PolylineCutSphere)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();

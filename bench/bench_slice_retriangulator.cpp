// Inserting a 10,000-point curve (a plane section of a sphere, with interior
// points between the edge crossings) into spheres of two sizes: the time
// should follow the curve, not the mesh.
#include <benchmark/benchmark.h>

#include <chrono>
#include <list>

#include "BenchSupport.h"
#include "MSliceRetriangulator.h"
#include "host/MStlGenerate.h"

namespace {

using MSliceInfo = MNbhdSlicerBase::MSliceInfo;
constexpr size_t kCurvePoints = 10000;

std::list<MSliceInfo> Curve(const MStlBase& mesh) {
    const MMVector3d n(0.3, 0.5, 0.81);
    const size_t crossings = MNbhdSlicerUtilities::TracePlaneSection(mesh, n, 1234.5, 0).size();
    const int inside = int((kCurvePoints + crossings - 1) / crossings) - 1;
    std::list<MSliceInfo> curve = MNbhdSlicerUtilities::TracePlaneSection(mesh, n, 1234.5, inside);
    curve.resize(std::min(curve.size(), kCurvePoints));
    return curve;
}

void BM_SliceRetriangulator(benchmark::State& state) {
    const uint64_t triangles = uint64_t(state.range(0));
    double seconds = 0.0;
    uint64_t added = 0;
    size_t points = 0;
    for (auto _ : state) {
        state.PauseTiming();
        MStlBase mesh;
        GenerateSphere(mesh, 200000, triangles);
        std::list<MSliceInfo> curve = Curve(mesh);
        points = curve.size();
        const uint64_t before = mesh.GetNumberOfTriangles();
        MSliceRetriangulator<MStlBaseContainer> retriangulator;
        retriangulator.Init(MStlBaseContainer(mesh), 2);
        MStlSurfaceBorderContour contour;
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(retriangulator.Operate(&contour, curve, nullptr));
        seconds += SecondsSince(start);
        state.PauseTiming();
        added = mesh.GetNumberOfTriangles() - before;
        state.ResumeTiming();
    }
    state.counters["curve_points"] = double(points);
    state.counters["mesh_triangles"] = double(triangles);
    state.counters["new_triangles"] = double(added);
    state.counters["seconds_per_insert"] = seconds / double(state.iterations());
    state.counters["peak_MB"] = PeakMegabytes();
}

}  // namespace

BENCHMARK(BM_SliceRetriangulator)->Arg(250000)->Arg(1000000)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

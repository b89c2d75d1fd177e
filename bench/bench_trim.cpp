// Mesh-to-mesh trim of two spheres of equal triangle count whose centres lie
// one radius apart: sphere A keeps its surface inside sphere B.  Measured in
// the same run: our trim and CGAL's clip (corefinement, clip_volume false)
// of the same integer meshes, converted before the clocks start.  Reports
// both times, their ratio, the cut segments (about one per crossing pair of
// triangles) and the peak resident memory after our trim.
#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include <sys/resource.h>

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Polygon_mesh_processing/clip.h>
#include <CGAL/Surface_mesh.h>

#include <chrono>
#include <vector>

#include "MStlBaseOperatorTrimStlToStl.h"
#include "host/MStlBase.h"
#include "tests/CgalMesh.h"
#include "host/MStlGenerate.h"

namespace {

using Kernel = CgalKernel;
using Mesh = CgalMesh;
namespace PMP = CGAL::Polygon_mesh_processing;

constexpr double kRadius = 1e6;


void BM_TrimSpheres(benchmark::State& state) {
    const uint64_t triangles = uint64_t(state.range(0));
    MStlBase a, b;
    GenerateSphere(a, kRadius, triangles);
    // Slightly off the axis so that no vertex of one sphere meets the other
    // by symmetry.
    GenerateSphere(b, kRadius, triangles, {kRadius, 0.0123 * kRadius, -0.0071 * kRadius});

    double ours = 0.0, cgal = 0.0, peak = 0.0;
    uint64_t segments = 0, kept = 0;
    for (auto _ : state) {
        MStlBase trimmed, tool;
        trimmed.Copy(a);
        tool.Copy(b);
        auto start = std::chrono::steady_clock::now();
        MStlBaseOperatorTrimStlToStl trim;
        trim.SetStl(0, &trimmed, true, true);
        trim.SetStl(1, &tool, false, false);
        if (!trim.Operate()) state.SkipWithError("the trim failed");
        const double seconds = SecondsSince(start);
        ours += seconds;
        peak = PeakMegabytes();
        kept = trimmed.GetNumberOfTriangles();
        segments = 0;
        if (const MStlSurfaceBorder* border = trim.GetIntersectionBorder(0))
            for (const MStlSurfaceBorderContour& c : border->contours)
                segments += c.points.size() - (c.closed || c.points.empty() ? 0 : 1);

        Mesh clipped = ToSurfaceMesh(a), clipper = ToSurfaceMesh(b);
        start = std::chrono::steady_clock::now();
        if (!PMP::clip(clipped, clipper, CGAL::parameters::clip_volume(false))) state.SkipWithError("CGAL failed");
        cgal += SecondsSince(start);
        state.SetIterationTime(seconds);
    }
    const double n = double(state.iterations());
    state.counters["triangles"] = double(a.GetNumberOfTriangles());
    state.counters["kept"] = double(kept);
    state.counters["cut_segments"] = double(segments);
    state.counters["ours_ms"] = 1e3 * ours / n;
    state.counters["cgal_ms"] = 1e3 * cgal / n;
    state.counters["ratio"] = ours / cgal;
    state.counters["peak_MB"] = peak;
}

}  // namespace

BENCHMARK(BM_TrimSpheres)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

BENCHMARK_MAIN();

// Cut of a 1M-triangle sphere by a 200k-triangle sphere through
// MrtOperatorCut (both parts, conversions, rounding check and write-back
// included) against CGAL's corefine_and_compute_difference of the same
// integer meshes over exact points, converted before its clock starts.
// Reports both times, wall clock and processor time of all threads (the
// machine is shared, so the processor time is the steadier figure), their
// ratios, our result code and the peak resident memory.  A second CGAL figure does our whole job inside CGAL (both
// parts, self-intersection guard), to show what the conversions and the
// rounding cost.
#include <benchmark/benchmark.h>

#include <CGAL/Exact_predicates_exact_constructions_kernel.h>
#include <CGAL/Polygon_mesh_processing/corefinement.h>
#include <CGAL/Surface_mesh.h>

#include <array>
#include <chrono>

#include "bench/BenchSupport.h"
#include "host/MBoolean.h"
#include "host/MCgalMesh.h"
#include "host/MStlBase.h"
#include "host/MStlGenerate.h"

namespace {

using EK = CGAL::Exact_predicates_exact_constructions_kernel;
using EMesh = CGAL::Surface_mesh<EK::Point_3>;
namespace PMP = CGAL::Polygon_mesh_processing;
using namespace QelSDK::Triangles::Boolean;

constexpr double kRadius = 1e6;

void BM_CutSpheres(benchmark::State& state) {
    MStlBase a, b;
    GenerateSphere(a, kRadius, uint64_t(state.range(0)));
    GenerateSphere(b, 0.6 * kRadius, uint64_t(state.range(1)), {0.9 * kRadius, 0.0123 * kRadius, -0.0071 * kRadius});
    double ours = 0.0, cgal = 0.0, sameWork = 0.0, peakOurs = 0.0, oursCpu = 0.0, cgalCpu = 0.0;
    int code = 0;
    for (auto _ : state) {
        MStlBase work;
        work.Copy(a);
        MStlFeature* in = work.AddFeature(L"Insides");
        MStlFeature* out = work.AddFeature(L"Outsides");
        auto start = std::chrono::steady_clock::now();
        double cpu = ProcessCpuSeconds();
        MrtGroupManager groups;
        MrtOperatorCut cut;
        cut.SetGroupManager(&groups);
        MrtOperatorCut::MrtOperatorCutParams params;
        params.mesh = &work;
        params.cutter = &b;
        params.inside = in;
        params.outside = out;
        cut.SetParams(params);
        // A refused rounding (code 5) has done all the work but the
        // write-back; its time is reported with its code.
        code = cut.Operate();
        const double seconds = SecondsSince(start);
        oursCpu += ProcessCpuSeconds() - cpu;
        ours += seconds;
        peakOurs = PeakMegabytes();

        EMesh ma = QelSDK::Cgal::ToSurfaceMesh<EK::Point_3>(a), mb = QelSDK::Cgal::ToSurfaceMesh<EK::Point_3>(b), diff;
        start = std::chrono::steady_clock::now();
        cpu = ProcessCpuSeconds();
        if (!PMP::corefine_and_compute_difference(ma, mb, diff)) state.SkipWithError("CGAL failed");
        cgalCpu += ProcessCpuSeconds() - cpu;
        cgal += SecondsSince(start);

        // The same work as ours inside CGAL: both parts from one
        // corefinement, with the self-intersection guard near the cut.
        EMesh sa = QelSDK::Cgal::ToSurfaceMesh<EK::Point_3>(a), sb = QelSDK::Cgal::ToSurfaceMesh<EK::Point_3>(b);
        EMesh inter, rest;
        std::array<boost::optional<EMesh*>, 4> outputs;
        outputs[PMP::Corefinement::INTERSECTION] = &inter;
        outputs[PMP::Corefinement::TM1_MINUS_TM2] = &rest;
        start = std::chrono::steady_clock::now();
        PMP::corefine_and_compute_boolean_operations(sa, sb, outputs,
                                                     CGAL::parameters::throw_on_self_intersection(true),
                                                     CGAL::parameters::throw_on_self_intersection(true));
        sameWork += SecondsSince(start);
        state.SetIterationTime(seconds);
    }
    const double n = double(state.iterations());
    state.counters["mesh_triangles"] = double(a.GetNumberOfTriangles());
    state.counters["cutter_triangles"] = double(b.GetNumberOfTriangles());
    state.counters["ours_ms"] = 1e3 * ours / n;
    state.counters["cgal_difference_ms"] = 1e3 * cgal / n;
    state.counters["ratio"] = ours / cgal;
    state.counters["ours_cpu_ms"] = 1e3 * oursCpu / n;
    state.counters["cgal_difference_cpu_ms"] = 1e3 * cgalCpu / n;
    state.counters["ratio_cpu"] = oursCpu / cgalCpu;
    state.counters["cgal_both_parts_guarded_ms"] = 1e3 * sameWork / n;
    state.counters["ratio_same_work"] = ours / sameWork;
    state.counters["ours_code"] = code;
    state.counters["peak_MB_after_ours"] = peakOurs;
    state.counters["peak_MB_after_both"] = PeakMegabytes();
}

}  // namespace

BENCHMARK(BM_CutSpheres)
    ->Args({100000, 20000})
    ->Args({1000000, 200000})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK_MAIN();

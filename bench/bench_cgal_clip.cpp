// Reference figures for the plane cut benchmark: CGAL's clip of the same
// generated spheres into two closed halves (clip_volume), one copy per half.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Polygon_mesh_processing/clip.h>
#include <CGAL/Surface_mesh.h>

#include <vector>

#include "host/MStlBase.h"
#include "tests/CgalMesh.h"
#include "host/MStlGenerate.h"

namespace {

using Kernel = CgalKernel;
using Mesh = CgalMesh;
namespace PMP = CGAL::Polygon_mesh_processing;


void BM_CgalClipSphere(benchmark::State& state) {
    MStlBase sphere;
    GenerateSphere(sphere, 1e6, uint64_t(state.range(0)));
    const Mesh input = ToSurfaceMesh(sphere);
    for (auto _ : state) {
        state.PauseTiming();
        Mesh below = input, above = input;
        state.ResumeTiming();
        PMP::clip(below, Kernel::Plane_3(0, 0, 1, -1234), CGAL::parameters::clip_volume(true));
        PMP::clip(above, Kernel::Plane_3(0, 0, -1, 1234), CGAL::parameters::clip_volume(true));
        benchmark::DoNotOptimize(below.number_of_faces() + above.number_of_faces());
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["triangles"] = double(sphere.GetNumberOfTriangles());
    state.counters["peak_MB"] = double(usage.ru_maxrss) / 1024.0;
}

}  // namespace

BENCHMARK(BM_CgalClipSphere)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();

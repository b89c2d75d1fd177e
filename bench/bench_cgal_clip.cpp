// Reference figures for the plane cut benchmark: CGAL's clip of the same
// generated spheres into two closed halves (clip_volume), one copy per half.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Polygon_mesh_processing/clip.h>
#include <CGAL/Surface_mesh.h>

#include <vector>

#include "host/MStlBase.h"
#include "host/MStlGenerate.h"

namespace {

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using Mesh = CGAL::Surface_mesh<Kernel::Point_3>;
namespace PMP = CGAL::Polygon_mesh_processing;

Mesh ToSurfaceMesh(const MStlBase& m) {
    Mesh out;
    std::vector<Mesh::Vertex_index> vertex(m.GetNumberOfPointSlots());
    for (auto it = m.BeginPoint(); it != m.EndPoint(); ++it)
        vertex[it->GetIndex()] = out.add_vertex(Kernel::Point_3(it->GetX(), it->GetY(), it->GetZ()));
    for (auto it = m.BeginTriangle(); it != m.EndTriangle(); ++it)
        out.add_face(vertex[it->GetPoint(0)->GetIndex()], vertex[it->GetPoint(1)->GetIndex()],
                     vertex[it->GetPoint(2)->GetIndex()]);
    return out;
}

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

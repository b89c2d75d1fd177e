// Closed halves of one generated sphere cut by the plane z = 1234, side by
// side in one run:
//   Ours   the plane cut with filled cut surfaces, both halves in one call;
//   CGAL   Polygon_mesh_processing::clip with clip_volume, one copy per half;
//   VTK    vtkClipClosedSurface, one run per half (built when VTK is found).
// Each reports wall and CPU time, the resident memory it added at its peak
// (the kernel's peak is reset before it starts, so the figure is the
// operation's own: working memory plus both halves) and the input's own
// footprint in that library's mesh format.
#include <benchmark/benchmark.h>

#include <CGAL/Polygon_mesh_processing/clip.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>

#include "MStlBaseOperatorPlaneCut.h"
#include "bench/BenchSupport.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "tests/CgalMesh.h"

#ifdef MESHCUT_HAVE_VTK
#include <vtkCellArray.h>
#include <vtkClipClosedSurface.h>
#include <vtkNew.h>
#include <vtkPlane.h>
#include <vtkPlaneCollection.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkSmartPointer.h>
#endif

namespace {

constexpr double kRadius = 1e6;
constexpr double kPlaneZ = 1234.0;

const MStlBase& Sphere(int64_t triangles) {
    static std::map<int64_t, std::unique_ptr<MStlBase>> cache;
    auto& mesh = cache[triangles];
    if (!mesh) {
        mesh = std::make_unique<MStlBase>();
        GenerateSphere(*mesh, kRadius, uint64_t(triangles));
    }
    return *mesh;
}

struct Measure {
    double wall = 0.0, cpu = 0.0, addedPeakMB = 0.0;
};

// Runs `cut` once, measuring its time and the memory it added at its peak.
// `release` frees what it made, outside the measurement.
Measure MeasureOnce(const std::function<void()>& cut, const std::function<void()>& release) {
    Measure m;
    const double before = StartPeakMeasure();
    const auto start = std::chrono::steady_clock::now();
    const double cpu = ProcessCpuSeconds();
    cut();
    m.cpu = ProcessCpuSeconds() - cpu;
    m.wall = SecondsSince(start);
    m.addedPeakMB = PeakMegabytes() - before;
    release();
    return m;
}

void Report(benchmark::State& state, const std::vector<Measure>& runs, double inputMB) {
    Measure best = runs.front();
    for (const Measure& r : runs) {
        best.wall = std::min(best.wall, r.wall);
        best.cpu = std::min(best.cpu, r.cpu);
    }
    state.counters["wall_ms"] = 1e3 * best.wall;
    state.counters["cpu_ms"] = 1e3 * best.cpu;
    state.counters["added_peak_MB"] = runs.front().addedPeakMB;
    state.counters["input_MB"] = inputMB;
}

void BM_Ours(benchmark::State& state) {
    const MStlBase& sphere = Sphere(state.range(0));
    std::vector<Measure> runs;
    std::unique_ptr<MStlBase> below, above;
    bool closed = true;
    for (auto _ : state) {
        const Measure m = MeasureOnce(
            [&] {
                below = std::make_unique<MStlBase>();
                above = std::make_unique<MStlBase>();
                MStlBaseOperatorPlaneCut cut;
                cut.SetStl(const_cast<MStlBase*>(&sphere));
                cut.SetPlane({0.0, 0.0, 1.0, -kPlaneZ});
                cut.SetOutputStl(below.get(), above.get());
                if (!cut.Operate() || cut.GetErrorCode() != 0) state.SkipWithError("cut failed");
            },
            [&] {
                for (const MStlBase* half : {below.get(), above.get()}) {
                    const MeshReport report = CheckMesh(*half);
                    closed = closed && report.closed && report.oriented;
                }
                state.counters["out_triangles"] = double(below->GetNumberOfTriangles() + above->GetNumberOfTriangles());
                below.reset();
                above.reset();
            });
        runs.push_back(m);
        state.SetIterationTime(m.wall);
    }
    if (!closed) state.SkipWithError("a half is not closed");
    Report(state, runs, double(sphere.MemoryFootprint()) / (1024.0 * 1024.0));
}

void BM_Cgal(benchmark::State& state) {
    const MStlBase& sphere = Sphere(state.range(0));
    ReleaseFreeMemory();
    const double resident = ResidentMegabytes();
    auto input = std::make_unique<CgalMesh>(ToSurfaceMesh(sphere));
    const double inputMB = ResidentMegabytes() - resident;
    std::vector<Measure> runs;
    std::unique_ptr<CgalMesh> below, above;
    for (auto _ : state) {
        const Measure m = MeasureOnce(
            [&] {
                below = std::make_unique<CgalMesh>(*input);
                above = std::make_unique<CgalMesh>(*input);
                namespace PMP = CGAL::Polygon_mesh_processing;
                PMP::clip(*below, CgalKernel::Plane_3(0, 0, 1, -kPlaneZ), CGAL::parameters::clip_volume(true));
                PMP::clip(*above, CgalKernel::Plane_3(0, 0, -1, kPlaneZ), CGAL::parameters::clip_volume(true));
            },
            [&] {
                state.counters["out_triangles"] = double(below->number_of_faces() + above->number_of_faces());
                below.reset();
                above.reset();
            });
        runs.push_back(m);
        state.SetIterationTime(m.wall);
    }
    Report(state, runs, inputMB);
}

#ifdef MESHCUT_HAVE_VTK
vtkSmartPointer<vtkPolyData> ToPolyData(const MStlBase& mesh) {
    vtkNew<vtkPoints> points;
    points->SetDataTypeToDouble();
    points->SetNumberOfPoints(vtkIdType(mesh.GetNumberOfPoints()));
    std::vector<vtkIdType> id(mesh.GetNumberOfPointSlots());
    vtkIdType next = 0;
    for (auto it = mesh.BeginPoint(); it != mesh.EndPoint(); ++it) {
        points->SetPoint(next, it->GetX(), it->GetY(), it->GetZ());
        id[it->GetIndex()] = next++;
    }
    vtkNew<vtkCellArray> polys;
    polys->AllocateExact(vtkIdType(mesh.GetNumberOfTriangles()), vtkIdType(3 * mesh.GetNumberOfTriangles()));
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        const vtkIdType corners[3] = {id[it->GetPoint(0)->GetIndex()], id[it->GetPoint(1)->GetIndex()],
                                      id[it->GetPoint(2)->GetIndex()]};
        polys->InsertNextCell(3, corners);
    }
    auto data = vtkSmartPointer<vtkPolyData>::New();
    data->SetPoints(points);
    data->SetPolys(polys);
    return data;
}

// The part of `input` on the side the plane's normal points to.
vtkSmartPointer<vtkPolyData> VtkClip(vtkPolyData* input, double normalZ) {
    vtkNew<vtkPlane> plane;
    plane->SetOrigin(0.0, 0.0, kPlaneZ);
    plane->SetNormal(0.0, 0.0, normalZ);
    vtkNew<vtkPlaneCollection> planes;
    planes->AddItem(plane);
    vtkNew<vtkClipClosedSurface> clip;
    clip->SetInputData(input);
    clip->SetClippingPlanes(planes);
    clip->Update();
    vtkSmartPointer<vtkPolyData> out = clip->GetOutput();
    return out;
}

void BM_Vtk(benchmark::State& state) {
    const MStlBase& sphere = Sphere(state.range(0));
    ReleaseFreeMemory();
    const double resident = ResidentMegabytes();
    vtkSmartPointer<vtkPolyData> input = ToPolyData(sphere);
    const double inputMB = ResidentMegabytes() - resident;
    std::vector<Measure> runs;
    vtkSmartPointer<vtkPolyData> below, above;
    for (auto _ : state) {
        const Measure m = MeasureOnce(
            [&] {
                below = VtkClip(input, -1.0);
                above = VtkClip(input, 1.0);
            },
            [&] {
                state.counters["out_triangles"] = double(below->GetNumberOfCells() + above->GetNumberOfCells());
                below = nullptr;
                above = nullptr;
            });
        runs.push_back(m);
        state.SetIterationTime(m.wall);
    }
    Report(state, runs, inputMB);
}
BENCHMARK(BM_Vtk)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
#endif

BENCHMARK(BM_Ours)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_Cgal)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();

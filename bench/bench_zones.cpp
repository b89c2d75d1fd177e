// Shell zone functions on a surface of 1,000 spheres of 500 triangles each
// (500k triangles) on a 10 x 10 x 10 grid, against a wavy zone sheet of 20k
// triangles through the middle of the grid: split_shells_by_zone, and
// classify_shells_by_zones against two such sheets.  Also the zone cut
// (multi_cut_and_split_shells, which cuts the crossing spheres along the
// sheet) on the first 100 spheres.  Reports time, output sizes and peak
// resident memory (for the split also what it adds to the resident memory
// at its peak).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>

#include "MGeometryFunctions.h"
#include "bench/BenchSupport.h"
#include "host/MStlBase.h"
#include "host/MStlGenerate.h"

namespace {

using namespace QelSDK::Geometry;

// `count` spheres of radius 3 units, 10 units apart, in rows of ten.
triangle_surface Spheres(int count) {
    MStlBase mesh;
    for (int k = 0; k < count; ++k)
        GenerateSphere(mesh, 3000.0, 500, {(k % 10) * 10000.0, (k / 10 % 10) * 10000.0, (k / 100) * 10000.0});
    return convert(mesh);
}

const triangle_surface& Surface() {
    static const triangle_surface surface = Spheres(1000);
    return surface;
}

// z = height + 4 sin(x / 7) cos(y / 9) over [-10, 100]^2, facing up,
// on 100 x 100 squares.
triangle_surface WavySheet(double height) {
    triangle_surface sheet;
    const int n = 100;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) {
            const double x = -10.0 + 110.0 * i / n, y = -10.0 + 110.0 * j / n;
            sheet.vertices.push_back({x, y, height + 4.0 * std::sin(x / 7.0) * std::cos(y / 9.0)});
        }
    for (uint64_t j = 0; j < n; ++j)
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t a = j * (n + 1) + i, b = a + 1, c = a + n + 2, d = a + n + 1;
            sheet.triangles.push_back({a, b, c});
            sheet.triangles.push_back({a, c, d});
        }
    return sheet;
}

void BM_SplitShellsByZone(benchmark::State& state) {
    const triangle_surface& surface = Surface();
    const triangle_surface zone = WavySheet(47.0);
    size_t front = 0, back = 0;
    const double resident = StartPeakMeasure();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto [first, second] = split_shells_by_zone(surface, zone);
        state.SetIterationTime(SecondsSince(start));
        front = first.triangles.size();
        back = second.triangles.size();
    }
    state.counters["triangles"] = double(surface.triangles.size());
    state.counters["zone_triangles"] = double(zone.triangles.size());
    state.counters["front"] = double(front);
    state.counters["back"] = double(back);
    state.counters["added_peak_MB"] = PeakMegabytes() - resident;
    state.counters["peak_MB"] = PeakMegabytes();
}

void BM_ClassifyShellsByZones(benchmark::State& state) {
    const triangle_surface& surface = Surface();
    triangle_surface zones = WavySheet(27.0);
    const triangle_surface upper = WavySheet(67.0);
    const uint64_t offset = zones.vertices.size();
    zones.vertices.insert(zones.vertices.end(), upper.vertices.begin(), upper.vertices.end());
    for (const triangle& t : upper.triangles) zones.triangles.push_back({t[0] + offset, t[1] + offset, t[2] + offset});
    std::vector<unsigned short> labels(zones.triangles.size(), 1);
    std::fill(labels.begin() + long(upper.triangles.size()), labels.end(), 2);
    size_t claimed = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const std::vector<unsigned short> zoneOf = classify_shells_by_zones(surface, zones, labels, nullptr);
        state.SetIterationTime(SecondsSince(start));
        claimed = size_t(std::count_if(zoneOf.begin(), zoneOf.end(), [](unsigned short z) { return z != no_zone; }));
    }
    state.counters["claimed"] = double(claimed);
    state.counters["peak_MB"] = PeakMegabytes();
}

void BM_MultiCutAndSplitShells(benchmark::State& state) {
    static const triangle_surface surface = Spheres(100);
    // Through the middle of the first row: every sphere is cut.
    const triangle_surface zone = WavySheet(0.5);
    const std::vector<unsigned short> labels(zone.triangles.size(), 1);
    size_t outputs = 0, triangles = 0;
    int code = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const std::vector<triangle_surface> parts = multi_cut_and_split_shells(surface, zone, labels, &code);
        state.SetIterationTime(SecondsSince(start));
        outputs = parts.size();
        triangles = 0;
        for (const triangle_surface& p : parts) triangles += p.triangles.size();
    }
    state.counters["input_triangles"] = double(surface.triangles.size());
    state.counters["output_triangles"] = double(triangles);
    state.counters["outputs"] = double(outputs);
    state.counters["code"] = code;
    state.counters["peak_MB"] = PeakMegabytes();
}

}  // namespace

BENCHMARK(BM_SplitShellsByZone)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_ClassifyShellsByZones)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_MultiCutAndSplitShells)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK_MAIN();

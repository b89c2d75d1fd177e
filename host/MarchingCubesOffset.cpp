// The volume work is OpenVDB's: its headers stay in this file.
#include "host/MarchingCubesOffset.h"

#include <openvdb/openvdb.h>
#include <openvdb/tools/MeshToVolume.h>
#include <openvdb/tools/VolumeToMesh.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "host/MStlBaseOperatorFixer.h"
#include "host/MStlChecker.h"
#include "host/MStlOperatorSmallTrianglesFilter.h"

using QelSDK::Common::BaseProgressReporter;
using QelSDK::Common::IncrementalProgressReporter;
using QelSDK::Common::ProgressPtr;

namespace {

// Bytes a voxel of the band costs while the distance field is built: its
// value, the closest-face index the conversion keeps beside it, and the
// tree's share of partly filled leaves.
constexpr double kBytesPerVoxel = 32.0;

// Asked by OpenVDB's worker threads; only the calling thread asks the
// progress delegate, the others read what it found.
class Interrupter {
public:
    explicit Interrupter(const BaseProgressReporter& reporter)
        : m_reporter(reporter), m_caller(std::this_thread::get_id()) {}
    void start(const char* = nullptr) {}
    void end() {}
    bool wasInterrupted(int = -1) {
        if (!m_stop.load(std::memory_order_relaxed) && std::this_thread::get_id() == m_caller &&
            m_reporter.IsCancelled())
            m_stop.store(true, std::memory_order_relaxed);
        return m_stop.load(std::memory_order_relaxed);
    }
    bool Stopped() const { return m_stop.load(std::memory_order_relaxed); }

private:
    const BaseProgressReporter& m_reporter;
    std::thread::id m_caller;
    std::atomic<bool> m_stop{false};
};

struct Box {
    double lo[3] = {std::numeric_limits<double>::max(), std::numeric_limits<double>::max(),
                    std::numeric_limits<double>::max()};
    double hi[3] = {-std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
                    -std::numeric_limits<double>::max()};
};

Box BoundingBox(const MStlBase& mesh) {
    Box box;
    for (auto it = mesh.BeginPoint(); it != mesh.EndPoint(); ++it)
        for (int a = 0; a < 3; ++a) {
            box.lo[a] = std::min(box.lo[a], double(it->Get(a)));
            box.hi[a] = std::max(box.hi[a], double(it->Get(a)));
        }
    return box;
}

// The mesh's points in grid index space and its triangles over them.
void ToIndexSpace(const MStlBase& mesh, const double origin[3], double voxel, std::vector<openvdb::Vec3s>& points,
                  std::vector<openvdb::Vec3I>& triangles) {
    std::vector<uint32_t> slot(mesh.GetNumberOfPointSlots(), 0);
    points.reserve(mesh.GetNumberOfPoints());
    for (auto it = mesh.BeginPoint(); it != mesh.EndPoint(); ++it) {
        slot[it->GetIndex()] = uint32_t(points.size());
        points.emplace_back(float((it->GetX() - origin[0]) / voxel), float((it->GetY() - origin[1]) / voxel),
                            float((it->GetZ() - origin[2]) / voxel));
    }
    triangles.reserve(mesh.GetNumberOfTriangles());
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        triangles.emplace_back(slot[it->GetPoint(0)->GetIndex()], slot[it->GetPoint(1)->GetIndex()],
                               slot[it->GetPoint(2)->GetIndex()]);
}

// The meshed surface on the integer grid: points rounded to the nearest
// grid point (points that meet are one), quads split along their shorter
// diagonal, faces that lose a corner dropped.  False when a point leaves
// the 32-bit range.
bool FromIndexSpace(const std::vector<openvdb::Vec3s>& points, const std::vector<openvdb::Vec3I>& triangles,
                    const std::vector<openvdb::Vec4I>& quads, const double origin[3], double voxel, MStlBase& out) {
    std::vector<MStlPoint*> mapped(points.size(), nullptr);
    for (size_t i = 0; i < points.size(); ++i) {
        int32_t c[3];
        for (int a = 0; a < 3; ++a) {
            const double v = std::nearbyint(origin[a] + double(points[i][a]) * voxel);
            if (!(v >= -2147483648.0 && v <= 2147483647.0)) return false;
            c[a] = int32_t(v);
        }
        mapped[i] = out.AddPoint(c[0], c[1], c[2]);
    }
    MStlSurface* surface = out.AddSurface(nullptr);
    for (const openvdb::Vec3I& t : triangles) out.AddTriangle(mapped[t[0]], mapped[t[1]], mapped[t[2]], surface);
    for (const openvdb::Vec4I& q : quads) {
        MStlPoint* p[4] = {mapped[q[0]], mapped[q[1]], mapped[q[2]], mapped[q[3]]};
        const double d02 = (p[2]->GetVector() - p[0]->GetVector()).SquaredLength();
        const double d13 = (p[3]->GetVector() - p[1]->GetVector()).SquaredLength();
        const int s = d02 <= d13 ? 0 : 1;
        out.AddTriangle(p[s], p[s + 1], p[(s + 2) % 4], surface);
        out.AddTriangle(p[s], p[(s + 2) % 4], p[(s + 3) % 4], surface);
    }
    out.Update();
    return true;
}

}  // namespace

MarchingCubesOffset::EResult MarchingCubesOffset::Operate(ProgressPtr progress) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { openvdb::initialize(); });
    m_voxel = 0.0;
    m_voxels = 0;
    const Parameters& p = m_params;
    if (!p.Source || !p.Target || p.Source == p.Target || p.Source->GetNumberOfTriangles() == 0) return eInvalidInput;
    if (!std::isfinite(p.Offset) || !std::isfinite(p.VoxelSize) || !std::isfinite(p.MinimumVoxelSize) ||
        p.BandVoxels < 1 || p.MaximumVoxelsPerAxis < 1 || !(p.Adaptivity >= 0.0 && p.Adaptivity <= 1.0))
        return eInvalidInput;
    const double voxel = std::max({p.VoxelSize, p.MinimumVoxelSize, 1.0});
    if (!std::isfinite(voxel)) return eInvalidInput;
    const MeshReport report = CheckMesh(*p.Source);
    if (!report.closed || !report.oriented || report.volume <= 0.0) return eInvalidInput;

    IncrementalProgressReporter reporter(progress, "MarchingCubesOffset.Operate", 4);
    // The band reaches the offset surface and BandVoxels beyond it on
    // either side; the grid holds the part and that reach.
    const double outside = std::max(p.Offset, 0.0) / voxel + p.BandVoxels;
    const double inside = std::max(-p.Offset, 0.0) / voxel + p.BandVoxels;
    const Box box = BoundingBox(*p.Source);
    double origin[3];
    double most = 0.0;
    for (int a = 0; a < 3; ++a) {
        origin[a] = box.lo[a] - (outside + 1.0) * voxel;
        most = std::max(most, std::ceil((box.hi[a] - box.lo[a]) / voxel + 2.0 * (outside + 1.0)) + 1.0);
    }
    m_voxel = voxel;
    m_voxels = int64_t(std::min(most, 9e18));
    // Band voxels: the surface's area in voxel faces times the band's
    // thickness, bounded by the whole grid.
    const double thickness = std::ceil(outside) + std::ceil(inside) + 2.0;
    const double band = std::min(p.Source->Area() / (voxel * voxel) * thickness, most * most * most);
    if (most > double(p.MaximumVoxelsPerAxis) || band * kBytesPerVoxel / 1024.0 > double(p.MaximumKilobytes))
        return eGridTooLarge;
    if (reporter.IsCancelled()) return eCancelled;

    std::vector<openvdb::Vec3s> points;
    std::vector<openvdb::Vec3I> triangles;
    std::vector<openvdb::Vec4I> quads;
    ToIndexSpace(*p.Source, origin, voxel, points, triangles);
    Interrupter interrupter(reporter);
    openvdb::FloatGrid::Ptr grid;
    try {
        const openvdb::math::Transform::Ptr index = openvdb::math::Transform::createLinearTransform(1.0);
        openvdb::tools::QuadAndTriangleDataAdapter<openvdb::Vec3s, openvdb::Vec3I> adapter(points, triangles);
        grid = openvdb::tools::meshToVolume<openvdb::FloatGrid>(interrupter, adapter, *index, float(outside),
                                                                float(inside));
        if (interrupter.Stopped() || reporter.IsCancelled()) return eCancelled;
        ++reporter;
        points.clear();
        triangles.clear();
        openvdb::tools::volumeToMesh(*grid, points, triangles, quads, p.Offset / voxel, p.Adaptivity, true);
    } catch (const std::exception&) {
        return eFailure;
    }
    grid.reset();
    ++reporter;
    if (reporter.IsCancelled()) return eCancelled;
    if (triangles.empty() && quads.empty()) return eEmptyResult;

    MStlBase result;
    if (!FromIndexSpace(points, triangles, quads, origin, voxel, result)) return eFailure;
    // The mesher's faces turn either way; the solid's volume says which.
    if (result.Volume() < 0.0) result.Invert();
    // The clean-up may move the surface by the collapse length, and at
    // least by the rounding that made the slivers.
    const double diagonal = std::hypot(double(result.GetXMax()) - result.GetXMin(),
                                       double(result.GetYMax()) - result.GetYMin(),
                                       double(result.GetZMax()) - result.GetZMin());
    MStlOperatorSmallTrianglesFilter filter;
    filter.SetAllParameters(p.CollapseRatio * voxel, 0.1 * p.CollapseRatio * voxel, diagonal / std::max(p.CollapseRatio * voxel, 1.0),
                            p.CleanupPasses, true);
    filter.SetStlItem(MStlItem(&result));
    if (filter.Operate(reporter.CreateNestedDelegate(0.25)) == MStlOperatorSmallTrianglesFilter::eCancelled)
        return eCancelled;
    if (p.RemoveNoiseShells) {
        MStlBaseOperatorFixer fixer;
        fixer.SetStl(&result);
        fixer.DoNoiseShellRemoval();
    }
    ++reporter;
    if (reporter.IsCancelled()) return eCancelled;
    if (result.GetNumberOfTriangles() == 0) return eEmptyResult;
    const MeshReport made = CheckMesh(result);
    if (!made.closed || !made.oriented || made.degenerateTriangles != 0 || !(made.volume > 0.0)) return eFailure;
    if (p.FaceSource && p.Offset > 0.0) result.Invert();
    p.Target->ClearStl();
    p.Target->AddStl(result, false);
    p.Target->Update();
    ++reporter;
    return eSuccess;
}

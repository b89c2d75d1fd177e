#include "host/MStlOperatorSmallTrianglesFilter.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "host/MStlEdgeCollapse.h"

using QelSDK::Common::BaseProgressReporter;
using QelSDK::Common::IncrementalProgressReporter;
using QelSDK::Common::ProgressPtr;

namespace {

constexpr int32_t kMostPasses = 16;
constexpr uint64_t kPollEvery = 4096;
// Folds are refused: no new triangle turns by more than this (radians).
constexpr double kNormalChange = 0.5;

struct Cancelled {};

double Length(const MStlPoint* p, const MStlPoint* q) { return (q->GetVector() - p->GetVector()).Length(); }

}  // namespace

MStlOperatorSmallTrianglesFilter::EResult MStlOperatorSmallTrianglesFilter::Operate(ProgressPtr progress) {
    m_removed = 0;
    MStlBase* mesh = m_item.GetStl();
    if (!mesh) return eNoMesh;
    const int32_t passes = m_params.Passes > 0 ? std::min(m_params.Passes, kMostPasses) : kMostPasses;
    IncrementalProgressReporter reporter(progress, "MStlOperatorSmallTrianglesFilter.Operate", uint64_t(passes));
    const uint64_t before = mesh->GetNumberOfTriangles();
    mesh->UpdateExtremes();
    const double diagonal = std::hypot(double(mesh->GetXMax()) - mesh->GetXMin(), double(mesh->GetYMax()) - mesh->GetYMin(),
                                       double(mesh->GetZMax()) - mesh->GetZMin());
    const double deviation = m_params.RelativePrecision > 0.0 ? diagonal / m_params.RelativePrecision : 0.0;
    EResult result = eSuccess;
    try {
        for (int32_t pass = 0; pass < passes; ++pass) {
            const uint64_t changes = _Sweep(*mesh, deviation, reporter);
            ++reporter;
            if (changes == 0) break;
        }
    } catch (const Cancelled&) {
        result = eCancelled;
    }
    mesh->RemoveFreePoints();
    mesh->Update();
    m_removed = before - mesh->GetNumberOfTriangles();
    return result;
}

uint64_t MStlOperatorSmallTrianglesFilter::_Sweep(MStlBase& mesh, double deviation, BaseProgressReporter& reporter) {
    const double shortest = m_params.MinimumEdgeLength;
    const MStlSurface* surface = m_item.GetSurface();
    MStlEdgeCollapse collapse(mesh, {deviation, kNormalChange}, surface, m_params.KeepSurfaceBorders);
    std::vector<MStlTriangleElement*> triangles;
    triangles.reserve(mesh.GetNumberOfTriangles());
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        if (!surface || it->GetSurface() == surface) triangles.push_back(*it);
    // A slot freed by a change may be taken by a new triangle: that one is
    // simply looked at in its turn, like any other.
    uint64_t changes = 0, seen = 0;
    for (MStlTriangleElement* t : triangles) {
        if (++seen % kPollEvery == 0 && reporter.IsCancelled()) throw Cancelled{};
        if (!t->IsAlive()) continue;
        double length[3];
        for (int e = 0; e < 3; ++e) length[e] = Length(t->GetPoint(e), t->GetPoint((e + 1) % 3));
        const int small = int(std::min_element(length, length + 3) - length);
        const int large = int(std::max_element(length, length + 3) - length);
        const double height = t->GetAreaVector().Length() / length[large];
        if (length[small] < shortest) {
            // A tiny edge goes, whichever end can move.
            // Of the two ends, the one whose move changes the surface least.
            MStlPoint* p = t->GetPoint(small);
            MStlPoint* q = t->GetPoint((small + 1) % 3);
            if (collapse.Deviation(q, p) < collapse.Deviation(p, q)) std::swap(p, q);
            changes += collapse.Collapse(p, q);
        } else if (height < m_params.MinimumHeight) {
            // Cap: the corner lies next to the long edge.
            if (collapse.Flip(t, large)) {
                ++changes;
                continue;
            }
            MStlPoint* apex = t->GetPoint((large + 2) % 3);
            MStlPoint* a = t->GetPoint(large);
            MStlPoint* b = t->GetPoint((large + 1) % 3);
            if (collapse.Deviation(apex, b) < collapse.Deviation(apex, a)) std::swap(a, b);
            changes += collapse.Collapse(apex, a);
        }
    }
    return changes;
}

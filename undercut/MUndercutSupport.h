// The working state of one undercut removal: the height grid, progress and
// cancellation, and the record of what was written so that a cancelled run
// can take it back.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <string>
#include <vector>

#include "MUserOperatorUndercutRemover.h"
#include "host/MInternalUnits.h"
#include "host/MProgress.h"
#include "host/MStlBase.h"

namespace UndercutRemoverUtils {

// Marks a grid point that no surface was seen at.
constexpr double kEmpty = std::numeric_limits<double>::max();

inline double Unit() { return QelSDK::Common::MInternalUnits::Get(); }
inline double InverseUnit() { return QelSDK::Common::MInternalUnits::GetInverse(); }

// One progress step of 1000 units, shared out among the phases.
class Progress {
public:
    explicit Progress(QelSDK::Common::ProgressPtr delegate)
        : m_reporter(std::move(delegate), "QelStlCutting.MUserOperatorUndercutRemover.Operate", 1000) {}
    // The next phase: `span` of the 1000 units for `total` units of work.
    void Phase(uint64_t span, uint64_t total) {
        Finish();
        m_span = span;
        m_total = std::max<uint64_t>(total, 1);
        m_done = 0;
        m_reported = 0;
    }
    // `n` more units of the phase are done; false once cancelled.
    bool Step(uint64_t n) {
        m_done = std::min(m_total, m_done + n);
        const uint64_t target = m_span * m_done / m_total;
        if (target > m_reported) m_reporter += target - m_reported, m_reported = target;
        return Poll();
    }
    // False once the caller asked to stop (and from then on).
    bool Poll() {
        if (!m_cancelled && m_reporter.IsCancelled()) m_cancelled = true;
        return !m_cancelled;
    }

private:
    void Finish() {
        if (m_span > m_reported) m_reporter += m_span - m_reported;
        m_reported = m_span;
    }
    QelSDK::Common::IncrementalProgressReporter m_reporter;
    uint64_t m_span = 0, m_total = 1, m_done = 0, m_reported = 0;
    bool m_cancelled = false;
};

// What a run added to the output meshes, newest last.
class OutputLog {
public:
    MStlTriangleElement* Triangle(MStlSurface* s, MStlPoint* a, MStlPoint* b, MStlPoint* c) {
        MStlTriangleElement* t = s->AddTriangle(a, b, c);
        if (t) m_triangles.push_back(t);
        return t;
    }
    // The mesh's point at `v` (truncated), noting it when it is new.
    MStlPoint* Point(MStlBase& mesh, const MMVector3d& v) {
        const uint64_t before = mesh.GetNumberOfPoints();
        MStlPoint* p = mesh.AddPoint(v, false);
        if (p && mesh.GetNumberOfPoints() != before) m_points.push_back({&mesh, p});
        return p;
    }
    const std::vector<MStlTriangleElement*>& Triangles() const { return m_triangles; }
    // Removes the run's triangles for which `drop(triangle)` answers true.
    template <class Predicate>
    void RemoveTrianglesIf(Predicate&& drop) {
        std::erase_if(m_triangles, [&](MStlTriangleElement* t) {
            if (!drop(*t)) return false;
            t->GetStl()->RemoveTriangle(t);
            return true;
        });
    }
    // Removes the run's points that no triangle uses.
    void RemoveFreePoints() {
        std::erase_if(m_points, [](const std::pair<MStlBase*, MStlPoint*>& e) {
            if (e.second->GetNumberOfNeighbourTriangles() != 0) return false;
            e.first->RemovePoint(e.second);
            return true;
        });
    }
    // Removes everything the run added.
    void Undo() {
        for (auto it = m_triangles.rbegin(); it != m_triangles.rend(); ++it) (*it)->GetStl()->RemoveTriangle(*it);
        for (auto& [mesh, p] : m_points)
            if (p->IsAlive() && p->GetNumberOfNeighbourTriangles() == 0) mesh->RemovePoint(p);
        m_triangles.clear();
        m_points.clear();
    }

private:
    std::vector<MStlTriangleElement*> m_triangles;
    std::vector<std::pair<MStlBase*, MStlPoint*>> m_points;
};

struct Grid {
    MMVector3d AxisU, AxisV, AxisW;
    int32_t CellSize = 0;
    double OriginU = 0.0, OriginV = 0.0;
    double MaxW = 0.0;
    // Depth of the flat bottom sheet, behind the model.
    double BottomW = 0.0;
    uint64_t CountU = 0, CountV = 0;
    std::vector<std::vector<double>> Heights;
    // Nearest depth of the surface within each cell [i, i+1] x [j, j+1],
    // row-major over CountU x CountV cells; only while rasterising.
    std::vector<double> CellMin;

    // tan of the draft angle; 0 without widening.
    double k = 0.0;
    bool widen = false;
    Progress* progress = nullptr;
    OutputLog* log = nullptr;

    bool Filled(uint64_t i, uint64_t j) const { return Heights[i][j] != kEmpty; }
};

// A double to a 32-bit integer by truncation, saturating at the limits.
inline int32_t ToInt32(double v) {
    if (!(v == v)) return 0;
    return int32_t(std::clamp(std::trunc(v), -2147483648.0, 2147483647.0));
}
// Rounded half away from zero, then to 32 bits.
inline int32_t Round32(double v) { return ToInt32(std::round(v)); }

// 1 at BottomZ, 0 at TopZ; 0 when the two are equal.
inline double HeightFraction(const MUserOperatorUndercutRemover::MAngulatedParams& a, double z) {
    if (a.TopZ == a.BottomZ) return 0.0;
    return 1.0 - (z - a.BottomZ) / (double(a.TopZ) - double(a.BottomZ));
}

// The sideways offset of the leaned view at fraction t for a coordinate
// `fromCentre` away from the centre.
inline int32_t Offset(double t, double offset, double spread, double fromCentre) {
    double v = t * offset;
    if (spread != 0.0) v += t * spread * fromCentre * InverseUnit();
    return Round32(v);
}

// The grid offset of a model point (the inverse of Offset); the spread term
// is left out where its denominator vanishes.
inline int32_t InverseOffset(double f, double offset, double spread, double fromCentre) {
    double v = f * offset;
    if (spread != 0.0) {
        const double denominator = f * spread + Unit();
        if (denominator != 0.0) v += f * spread * fromCentre / denominator;
    }
    return Round32(v);
}

}  // namespace UndercutRemoverUtils

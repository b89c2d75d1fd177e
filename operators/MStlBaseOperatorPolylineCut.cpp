#include "MStlBaseOperatorPolylineCut.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>

#include "MCutter.h"
#include "host/M2dBoolean.h"
#include "host/MInternalUnits.h"
#include "host/MStlChecker.h"

using QelSDK::Common::IncrementalProgressReporter;
using QelSDK::Common::ProgressPtr;

// --- section filter -----------------------------------------------------------

void MCutTriangleFilterSections::AddFilterPlane(const MMVector<double, 3>& point, const MMVector<double, 3>& normal) {
    MMPlaneEq<double> plane;
    plane.Set(normal, point);
    m_planes.push_back(plane);
}

void MCutTriangleFilterSections::AddFilterPlane(double offset, const MMVector<double, 3>& normal) {
    AddFilterPlane(normal * offset, normal);
}

namespace {
int PositiveCorners(const MMPlaneEq<double>& plane, const MStlTriangle& t) {
    int count = 0;
    for (int i = 0; i < 3; ++i) count += plane.Distance(t.GetPoint(i)->GetVector()) > 0.0;
    return count;
}

double Orientation2d(const MMVector<double, 2>& a, const MMVector<double, 2>& b, double x, double y) {
    return (b[0] - a[0]) * (y - a[1]) - (b[1] - a[1]) * (x - a[0]);
}
}  // namespace

bool MCutTriangleFilterSections::operator()(MStlTriangle* triangle) const {
    for (const MMPlaneEq<double>& plane : m_planes)
        if (PositiveCorners(plane, *triangle) == 0) return true;
    return false;
}

bool MCutTriangleFilterSections::CanCutFilteredPart(const MStlBase* mesh,
                                                    const std::vector<MMVector<double, 2>>& polyline) const {
    if (m_planes.empty() || !mesh) return true;
    const size_t n = polyline.size();
    for (auto it = mesh->BeginTriangle(); it != mesh->EndTriangle(); ++it) {
        bool ignored = false, clipped = false;
        for (const MMPlaneEq<double>& plane : m_planes) {
            const int positive = PositiveCorners(plane, **it);
            ignored = ignored || positive == 0;
            clipped = clipped || positive == 1 || positive == 2;
        }
        if (ignored || !clipped) continue;
        for (size_t i = 0; i < n; ++i) {
            const MMVector<double, 2>& a = polyline[i];
            const MMVector<double, 2>& b = polyline[(i + 1) % n];
            if (a[0] == b[0] && a[1] == b[1]) continue;
            for (int k = 0; k < 3; ++k) {
                const MStlPoint* p = it->GetPoint(k);
                const MStlPoint* q = it->GetPoint((k + 1) % 3);
                const MMVector<double, 2> pp(double(p->GetX()), double(p->GetY())), qq(double(q->GetX()), double(q->GetY()));
                if (Orientation2d(a, b, pp[0], pp[1]) * Orientation2d(a, b, qq[0], qq[1]) <= 0 &&
                    Orientation2d(pp, qq, a[0], a[1]) * Orientation2d(pp, qq, b[0], b[1]) <= 0)
                    return false;
            }
        }
    }
    return true;
}

// --- operator -------------------------------------------------------------------

MStlBaseOperatorPolylineCut::MStlBaseOperatorPolylineCut() = default;
MStlBaseOperatorPolylineCut::~MStlBaseOperatorPolylineCut() = default;

std::vector<std::unique_ptr<MStlBase>> MStlBaseOperatorPolylineCut::GetOutputStls() {
    std::vector<std::unique_ptr<MStlBase>> out = std::move(m_outputs);
    m_outputs.clear();
    return out;
}

void MStlBaseOperatorPolylineCut::_SetUpCutter(MCutter& cutter) const {
    if (m_params.depth >= 1) cutter.SET_CUT_MODE(5, m_params.depth);
    else cutter.SET_CUT_MODE(3, 0);
}

namespace {
bool HoldsTriangles(const MStlBase* mesh) { return mesh && mesh->GetNumberOfTriangles() > 0; }

// The mesh's X-Y box grown by a model unit on every side, within the
// finite coordinate range; none for a mesh without points.
std::optional<std::array<long, 4>> WindowAround(const MStlBase* mesh) {
    if (!mesh || mesh->GetNumberOfPoints() == 0) return std::nullopt;
    int64_t lo[2] = {INT64_MAX, INT64_MAX}, hi[2] = {INT64_MIN, INT64_MIN};
    for (auto it = mesh->BeginPoint(); it != mesh->EndPoint(); ++it)
        for (int k = 0; k < 2; ++k) {
            lo[k] = std::min<int64_t>(lo[k], (*it)->Get(k));
            hi[k] = std::max<int64_t>(hi[k], (*it)->Get(k));
        }
    const int64_t margin = std::max<int64_t>(2, int64_t(QelSDK::Common::MInternalUnits::Get()));
    auto clamp = [](int64_t v) { return long(std::clamp<int64_t>(v, INT32_MIN + 1, INT32_MAX - 1)); };
    return std::array<long, 4>{clamp(lo[0] - margin), clamp(lo[1] - margin), clamp(hi[0] + margin), clamp(hi[1] + margin)};
}

// Polyline points must stay finite and clear of the two values that stand
// for infinity.
bool ValidPoint(const MMVector<double, 2>& p) {
    for (int k = 0; k < 2; ++k)
        if (!std::isfinite(p[k]) || !(p[k] > -2147483647.0) || !(p[k] < 2147483647.0)) return false;
    return true;
}
}  // namespace

MStlBaseOperatorPolylineCut::ERCode MStlBaseOperatorPolylineCut::Operate(ProgressPtr progress) {
    try {
        return _Operate(std::move(progress));
    } catch (const std::bad_alloc&) {
        m_outputs.clear();
        return eOutOfMemory;
    }
}

MStlBaseOperatorPolylineCut::ERCode MStlBaseOperatorPolylineCut::_Operate(ProgressPtr progress) {
    if (m_polyline.size() < 3 || !m_model) return eBadInput;
    if (m_params.insideClearance < 0 || m_params.outsideClearance < 0) return eBadInput;
    for (const auto& p : m_polyline)
        if (!ValidPoint(p)) return eBadInput;
    m_openings = false;
    const int parts = 1 + (m_params.insideClearance != 0) + (m_params.outsideClearance != 0);
    IncrementalProgressReporter reporter(progress, kProgressName, 1000, true);

    MCutter cutter;
    cutter.AddNewCutContour();
    for (const auto& p : m_polyline) cutter.AddNewCutPoint(long(std::trunc(p[0])), long(std::trunc(p[1])), false);
    cutter.GetProfile().GetLastContour()->SetClosed(true);
    // The engine divides the model in place, as the operator is meant to.
    cutter.SetCutStl(const_cast<MStlBase&>(*m_model), true);
    _SetUpCutter(cutter);
    if (m_params.useFilterPlanes) {
        if (!m_filter.CanCutFilteredPart(m_model, m_polyline)) return eFilteredPartNotCuttable;
        cutter.SetCustomTriangleIgnoreFunction(m_filter);
    }
    // With clearances the first cut's parts are cut again, and the gap
    // between the cuts goes: what counts is whether the delivered parts of a
    // closed model are closed.
    m_modelSound = parts > 1 && IsSound(CheckMesh(*m_model));
    const char code = cutter.MAKE_CUT(reporter.CreateNestedDelegate(1.0 / parts));
    if (code == MCutter::kCancelled) return eCancelled;
    if (code == MCutter::kOutOfMemory) return eOutOfMemory;
    m_openings = code == MCutter::kOpeningsNotClosed;
    if (HoldsTriangles(cutter.GetInsideResult(false)) && HoldsTriangles(cutter.GetOutsideResult(false))) {
        if (parts > 1) return _CutWithClearance(cutter, reporter.CreateNestedDelegate(double(parts - 1) / parts));
        m_outputs.emplace_back(cutter.GetInsideResult(true));
        m_outputs.emplace_back(cutter.GetOutsideResult(true));
        return m_openings ? eOpeningsNotClosed : eCutDone;
    }
    if (HoldsTriangles(cutter.GetInsideResult(false))) m_outputs.emplace_back(cutter.GetInsideResult(true));
    if (HoldsTriangles(cutter.GetOutsideResult(false))) m_outputs.emplace_back(cutter.GetOutsideResult(true));
    return m_openings ? eOpeningsNotClosed : eNotDivided;
}

bool MStlBaseOperatorPolylineCut::IsSound(const MeshReport& report) { return IsClosedAndOriented(report); }

bool MStlBaseOperatorPolylineCut::_FilterClearanceCut(const MStlBase* part, MCutter& cutter) const {
    std::vector<MMVector<double, 2>> points;
    const MCutProfile& profile = cutter.GetProfile();
    for (auto* c = profile.GetFirstContour(); c; c = MCutProfile::Next(c)) {
        auto* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext())
            points.emplace_back(double(p->GetX()), double(p->GetY()));
    }
    if (points.empty()) return false;
    points.push_back(points.front());
    if (!m_filter.CanCutFilteredPart(part, points)) return false;
    cutter.SetCustomTriangleIgnoreFunction(m_filter);
    return true;
}

MStlBaseOperatorPolylineCut::ERCode MStlBaseOperatorPolylineCut::_CutWithClearance(MCutter& first,
                                                                                     ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "MStlBaseOperatorPolylineCut._CutWithClearance", 1000, true);
    MCutter inner, outer;
    const bool useInner = m_params.insideClearance != 0, useOuter = m_params.outsideClearance != 0;
    // Each part is cut again along the polyline moved into it by its
    // clearance, which cuts the gap away from that part.
    auto offset = [&](MCutter& target, long distance, const MStlBase* part) {
        const MCutProfile& profile = first.GetProfile();
        if (!profile.GetFirstContour() || profile.GetFirstContour()->IsEmpty()) return true;
        M2dOffsetter offsetter;
        offsetter.SetInputBorder(&profile);
        offsetter.SetOutputBorder(&target.GetProfile());
        offsetter.SetArcTolerance(0.01 * QelSDK::Common::MInternalUnits::Get());
        // Only the offset near the part can cut it: the rest, as far off as
        // the clearance reaches, is left out.
        if (const auto window = WindowAround(part)) offsetter.SetClipWindow((*window)[0], (*window)[1], (*window)[2], (*window)[3]);
        offsetter.CreateOffset(distance);
        return !m_params.useFilterPlanes || _FilterClearanceCut(part, target);
    };
    if (useInner && !offset(inner, m_params.insideClearance, first.GetInsideResult(false))) return eFilteredPartNotCuttable;
    if (useOuter && !offset(outer, -long(m_params.outsideClearance), first.GetOutsideResult(false)))
        return eFilteredPartNotCuttable;
    // The parts are the first cut's own results, so they are cut in place:
    // dividing their triangles leaves the same closed surfaces, which stay
    // deliverable, and saves copying them.
    if (useInner) inner.SetCutStl(*first.GetInsideResult(false), true);
    if (useOuter) outer.SetCutStl(*first.GetOutsideResult(false), true);
    _SetUpCutter(inner);
    _SetUpCutter(outer);
    const int n = int(useInner) + int(useOuter);
    for (auto [use, cutter] : {std::pair{useInner, &inner}, std::pair{useOuter, &outer}}) {
        if (!use) continue;
        const char code = cutter->MAKE_CUT(reporter.CreateNestedDelegate(1.0 / n));
        if (code == MCutter::kCancelled) return eCancelled;
        if (code == MCutter::kOutOfMemory) return eOutOfMemory;
    }
    MStlBase* inside = useInner ? inner.GetInsideResult(false) : first.GetInsideResult(false);
    MStlBase* outside = useOuter ? outer.GetOutsideResult(false) : first.GetOutsideResult(false);
    if (useInner && useOuter && !HoldsTriangles(inside) && !HoldsTriangles(outside)) {
        inside = first.GetInsideResult(false);
        outside = first.GetOutsideResult(false);
    }
    auto take = [](MCutter& a, MCutter& b, MStlBase* mesh) {
        for (MCutter* c : {&a, &b}) {
            if (c->GetInsideResult(false) == mesh) return c->GetInsideResult(true);
            if (c->GetOutsideResult(false) == mesh) return c->GetOutsideResult(true);
        }
        return static_cast<MStlBase*>(nullptr);
    };
    // A clearance can take a whole part away: only parts holding triangles
    // are delivered, and fewer than two is no division.
    std::unique_ptr<MStlBase> takenInside(take(inner, first, inside)), takenOutside(take(outer, first, outside));
    int delivered = 0;
    for (std::unique_ptr<MStlBase>* part : {&takenInside, &takenOutside})
        if (HoldsTriangles(part->get())) m_outputs.push_back(std::move(*part)), ++delivered;
    m_openings = false;
    if (m_modelSound)
        for (const std::unique_ptr<MStlBase>& part : m_outputs) m_openings = m_openings || !IsSound(CheckMesh(*part));
    if (m_openings) return eOpeningsNotClosed;
    return delivered < 2 ? eNotDivided : eCutDone;
}

#include "MCutFunctions.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include "MStlBaseOperatorPlaneCut.h"
#include "host/M2dBoolean.h"
#include "host/MStlBaseOperatorExtrude.h"
#include "host/MInternalUnits.h"
#include "host/MZeroTrianglesFilter.h"

using QelSDK::Common::MInternalUnits;
using namespace QelSDK::Triangles::Boolean;

namespace {

// Places a cutter by a 4x4 row-major transform of 16 doubles (none: left
// as it is) for the lifetime of this object.
class CutterPlacement {
public:
    CutterPlacement(MStlBase& cutter, const double* transform) : m_cutter(cutter) {
        if (!transform) return;
        for (int r = 0; r < 4; ++r)
            for (int k = 0; k < 4; ++k) m_matrix(r, k) = transform[r * 4 + k];
        m_placed = cutter.Transform(m_matrix);
        m_failed = !m_placed;
    }
    ~CutterPlacement() {
        if (m_placed) m_cutter.InverseTransform(m_matrix);
    }
    CutterPlacement(const CutterPlacement&) = delete;
    CutterPlacement& operator=(const CutterPlacement&) = delete;
    // The transform would move a point off the 32-bit grid.
    bool Failed() const { return m_failed; }

private:
    MStlBase& m_cutter;
    MMTransformMatrix m_matrix;
    bool m_placed = false;
    bool m_failed = false;
};

// The boolean cut of `mesh` by `cutter` into the two features, without its
// zero-area triangles; on success the replaced originals are removed.
EReturnCode CutIntoFeatures(MStlBase& mesh, MStlBase& cutter, MStlFeature* inside, MStlFeature* outside,
                            MStlFeature* unidentified, double dx, double dy, double dz) {
    ZeroTrianglesFilter::RemoveZeroTriangles(mesh);
    ZeroTrianglesFilter::RemoveZeroTriangles(cutter);
    MrtGroupManager groups;
    MrtOperatorCut cut;
    cut.SetGroupManager(&groups);
    MrtOperatorCut::MrtOperatorCutParams params;
    params.mesh = &mesh;
    params.cutter = &cutter;
    params.outside = outside;
    params.inside = inside;
    params.unidentified = unidentified;
    params.dx = dx, params.dy = dy, params.dz = dz;
    cut.SetParams(params);
    const EReturnCode result = cut.Operate(nullptr);
    if (result == eSuccess)
        mesh.RemoveTrianglesIf([&](const MStlTriangle& t) { return MTriangleGroupManager::GetGroup(groups, &t) == 2; });
    return result;
}

// Moves the triangles of `feature` out of `from` into the empty mesh `to`,
// one surface of `to` for each surface of the feature, keeping its name.
void MoveFeature(MStlBase& from, MStlFeature* feature, MStlBase& to) {
    std::vector<uint8_t> take(from.GetNumberOfTriangleSlots(), 0);
    std::vector<MStlSurface*> surfaces(from.GetNumberOfSurfaces(), nullptr);
    for (uint32_t i = 0; i < from.GetNumberOfSurfaces(); ++i) {
        MStlSurface* s = from.GetSurface(i);
        if (s->GetFeature() != feature) continue;
        surfaces[i] = to.AddSurface();
        surfaces[i]->SetName(s->GetName());
    }
    for (auto it = from.BeginTriangle(); it != from.EndTriangle(); ++it)
        if (it->GetSurface() && it->GetSurface()->GetFeature() == feature) take[it->GetIndex()] = 1;
    to.AppendSelected(from, take, surfaces);
    from.RemoveTrianglesIf([&](const MStlTriangle& t) { return take[t.GetIndex()] != 0; });
}

}  // namespace

namespace AU {

void CreateCuttingStl(MStlBase& result, const MStlBase& source, const MMPlane& plane) {
    const MMVector3d n = plane.GetNormal();
    if (!(n.Length() > 0.0) || !std::isfinite(n.Length()) || source.GetNumberOfPoints() == 0) return;
    MMVector3d u;
    if (std::fabs(n[0]) > std::fabs(n[1]) && std::fabs(n[0]) > std::fabs(n[2])) u = MMVector3d(-n[2] / n[0], 0.0, 1.0);
    else if (std::fabs(n[1]) > std::fabs(n[2])) u = MMVector3d(1.0, -n[0] / n[1], 0.0);
    else u = MMVector3d(0.0, 1.0, -n[1] / n[2]);
    MMVector3d v = n.Cross(u);
    u = u * (1.0 / u.Length());
    v = v * (1.0 / v.Length());
    const MMVector3d o = plane.GetOrigin();
    double a0 = DBL_MAX, a1 = -DBL_MAX, b0 = DBL_MAX, b1 = -DBL_MAX;
    for (auto it = source.BeginPoint(); it != source.EndPoint(); ++it) {
        const MMVector3d r = it->GetVector() - o;
        a0 = std::min(a0, r.Dot(u));
        a1 = std::max(a1, r.Dot(u));
        b0 = std::min(b0, r.Dot(v));
        b1 = std::max(b1, r.Dot(v));
    }
    if (a0 == a1) a0 -= MInternalUnits::Get(), a1 += MInternalUnits::Get();
    if (b0 == b1) b0 -= MInternalUnits::Get(), b1 += MInternalUnits::Get();
    MMVector3d c[4] = {o + u * a0 + v * b0, o + u * a0 + v * b1, o + u * a1 + v * b0, o + u * a1 + v * b1};
    const MMVector3d m = (c[0] + c[1] + c[2] + c[3]) * 0.25;
    MMPlaneEq<double> eq = plane.GetPlaneEqDouble();
    MStlPoint* p[4];
    for (int i = 0; i < 4; ++i) {
        const double d = (c[i] - m).Length();
        c[i] = m + (c[i] - m) * (d > 0.0 ? 100.0 / d + 1.0 : 1.0);
        MMVector3d projected;
        eq.Project(projected, c[i]);
        p[i] = result.AddPoint(projected, false);
        if (!p[i]) {  // beyond the 32-bit grid: no quad rather than a wrong one
            result.ClearStl(true);
            return;
        }
    }
    MStlSurface* surface = result.AddSurface(nullptr);
    surface->AddTriangle(p[0], p[1], p[2]);
    surface->AddTriangle(p[2], p[1], p[3]);
    MStlTriangleElement* first = result.GetFirstTriangle();
    if (first && first->GetNormal().Dot(n) < 0.0) result.Invert();
}

void CreateCuttingStl(MStlBase& result, const MStlBase& source, const std::vector<MMVector3d>& polygon,
                      const MMVector3d& direction) {
    const double length = direction.Length();
    if (polygon.size() < 3 || !(length > 0.0) || !std::isfinite(length) || source.GetNumberOfPoints() == 0) return;
    const MMVector3d d = direction * (1.0 / length);
    double lo[3], hi[3];
    for (int k = 0; k < 3; ++k) {
        lo[k] = DBL_MAX;
        hi[k] = -DBL_MAX;
    }
    for (auto it = source.BeginPoint(); it != source.EndPoint(); ++it)
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], double(it->Get(k)));
            hi[k] = std::max(hi[k], double(it->Get(k)));
        }
    for (int k = 0; k < 3; ++k) {
        const double half = (hi[k] - lo[k]) / 2.0;
        lo[k] -= half;
        hi[k] += half;
    }
    // The farthest reach of the enlarged box along d and against it, from
    // any polygon vertex.
    double forward = DBL_MIN, backward = DBL_MIN;
    for (const MMVector3d& p : polygon) {
        double most = -DBL_MAX, least = DBL_MAX;
        for (int corner = 0; corner < 8; ++corner) {
            const MMVector3d c(corner & 1 ? hi[0] : lo[0], corner & 2 ? hi[1] : lo[1], corner & 4 ? hi[2] : lo[2]);
            most = std::max(most, d.Dot(c - p));
            least = std::min(least, d.Dot(c - p));
        }
        forward = std::max(forward, most);
        backward = std::max(backward, -least);
    }
    MStlBaseOperatorExtrude extrude;
    extrude.SetStl(result);
    extrude.AddContour(polygon);
    extrude.SetExtrudeDirection(d);
    extrude.SetLengths(std::trunc(forward) / MInternalUnits::Get(), std::trunc(backward) / MInternalUnits::Get());
    if (!extrude.Operate()) result.ClearStl(true);
}

void CreateCuttingStl(MStlBase& result, const MStlBase& source, const std::vector<MMVector<long, 2>>& polyline,
                      const MMTransformMatrix& transform) {
    const MMTransform place(transform);
    MMVector3d origin(0.0, 0.0, 0.0), tip(0.0, 0.0, 1.0);
    if (!place.Transform(origin) || !place.Transform(tip)) return;
    const double units = MInternalUnits::Get();
    std::vector<MMVector3d> points;
    for (const auto& p : polyline) {
        MMVector3d v(double(p[0]) / units, double(p[1]) / units, 0.0);
        if (!place.Transform(v)) return;
        points.push_back(v * units);
    }
    CreateCuttingStl(result, source, points, tip - origin);
    if (result.Volume() < 0.0) result.Invert();
}

bool PolylineIntersectsItself(const std::vector<MMVector<long, 2>>& polyline) {
    AU::M2dIntegerBorder border;
    auto* contour = border.AddContour();
    for (const auto& p : polyline) contour->AddPoint(p[0], p[1]);
    contour->SetClosed(true);
    M2dBoolean boolean;
    boolean.ADD_BORDER(border);
    return boolean.HasIntersections(nullptr);
}

EReturnCode CutAndLeaveInModel(MStlBase& model, MStlBase& cutter, const double* transform, MStlBase& other,
                               double dx, double dy, double dz, bool leaveUnidentifiedFeatures, bool swapSides) {
    if (model.GetNumberOfTriangles() == 0 || cutter.GetNumberOfTriangles() == 0) return eEmptyMesh;
    if (&other == &model || &other == &cutter || &model == &cutter) return eEmptyMesh;
    other.ClearStl(true);
    const CutterPlacement placement(cutter, transform);
    if (placement.Failed()) return eInvalidInput;
    MStlFeature* kept = model.GetMainFeature();
    MStlFeature* moved = model.AddFeature(L"");
    const EReturnCode result = CutIntoFeatures(model, cutter, swapSides ? moved : kept, swapSides ? kept : moved,
                                               leaveUnidentifiedFeatures ? kept : nullptr, dx, dy, dz);
    if (result == eSuccess) {
        MoveFeature(model, moved, other);
        model.RemoveFreePoints();
        model.Update();
        other.Update();
    }
    return result;
}

EReturnCode CutInSourceNoTransform(MStlFeature* inside, MStlFeature* outside, MStlBase& source, MStlBase& cutter,
                                   double dx, double dy, double dz, bool leaveUnidentifiedFeatures) {
    if (source.GetNumberOfTriangles() == 0 || cutter.GetNumberOfTriangles() == 0 || &source == &cutter) return eEmptyMesh;
    const EReturnCode result = CutIntoFeatures(source, cutter, inside, outside,
                                               leaveUnidentifiedFeatures ? inside : nullptr, dx, dy, dz);
    if (result != eSuccess) return result;
    source.RemoveEmptySurfaces();
    source.RemoveFeaturesIf([&](const MStlFeature& f) { return &f != inside && &f != outside; });
    source.RemoveFreePoints();
    source.Update();
    return eSuccess;
}

EReturnCode CutInSource(MStlFeature*& inside, MStlFeature*& outside, MStlBase& source, MStlBase& cutter,
                        const double* transform, double dx, double dy, double dz, bool leaveUnidentifiedFeatures) {
    if (source.GetNumberOfTriangles() == 0 || cutter.GetNumberOfTriangles() == 0 || &source == &cutter) return eEmptyMesh;
    const CutterPlacement placement(cutter, transform);
    if (placement.Failed()) return eInvalidInput;
    inside = source.AddFeature(L"Insides");
    outside = source.AddFeature(L"Outsides");
    return CutInSourceNoTransform(inside, outside, source, cutter, dx, dy, dz, leaveUnidentifiedFeatures);
}

EReturnCode CutWithPlane(MStlFeature*& inside, MStlFeature*& outside, MStlBase& source, MMPlane plane) {
    if (source.GetNumberOfTriangles() == 0) return eEmptyPlaneSource;
    plane.SetOrigin(plane.GetOrigin() * MInternalUnits::Get());
    MStlBase quad;
    CreateCuttingStl(quad, source, plane);
    if (quad.GetNumberOfTriangles() == 0) return eEmptyPlaneSource;
    const MMVector3d n = plane.GetNormal();
    return CutInSource(inside, outside, source, quad, nullptr, n[0], n[1], n[2], false);
}

EReturnCode CutWithPlane(MStlBase& below, MStlBase& above, MStlBase& source, MMPlane plane,
                         QelSDK::Common::ProgressPtr progress) {
    if (source.GetNumberOfTriangles() == 0) return eEmptyPlaneSource;
    if (&below == &source || &above == &source || &below == &above) return eEmptyPlaneSource;
    QelSDK::Common::IncrementalProgressReporter reporter(progress, "QelStlCutting.AU.CutWithPlane", 1000, false);
    plane.SetOrigin(plane.GetOrigin() * MInternalUnits::Get());
    const MMPlaneEq<double> equation = plane.GetPlaneEqDouble();
    if (!equation.IsPlane()) return eInvalidInput;
    // Cut and close the section; a section with an open contour (an open
    // source) cannot be closed, and is then divided without filling.  Trying
    // the filled cut first spares the closed case a separate trial slice.
    bool done = false;
    for (const bool fill : {true, false}) {
        below.ClearStl(true);
        above.ClearStl(true);
        MStlBaseOperatorPlaneCut planeCut;
        planeCut.SetStl(&source);
        planeCut.SetPlane(equation);
        planeCut.SetOutputStl(&below, &above);
        planeCut.SetCutInputStl(false);
        planeCut.SetFillSection(fill);
        done = planeCut.Operate(reporter.CreateNestedDelegate(fill ? 0.5 : 1.0));
        if (reporter.IsCancelled()) return eCancelled;
        if (done || planeCut.GetErrorCode() != MStlBaseOperatorPlaneCut::eOpenCutContour) break;
    }
    return done ? eSuccess : eCorefinementFailed;
}

}  // namespace AU

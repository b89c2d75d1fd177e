#include "MUserOperatorStlCutWithFrame.h"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <numeric>
#include <vector>

#include "host/MNewSlicer.h"
#include "host/MPointInsideModelChecker.h"
#include "host/MStlBorderFiller.h"
#include "host/MStlChecker.h"
#include "host/MUnionFind.h"

namespace {

const char* const kProgressName = "QelStlOperations.MStlOperatorCutByFrame.Operate";
constexpr double kFrameTolerance = 3.140185e-16;

// Length that neither overflows nor underflows: the largest component times
// the root of one plus the squares of the others over it.
double ScaledNorm(const MMVector3d& v) {
    const double m = std::max({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])});
    if (m == 0.0 || !std::isfinite(m)) return m == 0.0 ? 0.0 : std::numeric_limits<double>::infinity();
    const double floor = std::max(m, std::numeric_limits<double>::denorm_min());
    double s = 1.0;
    for (int i = 0; i < 3; ++i) {
        const double r = v[i] / floor;
        s += r * r;
    }
    return floor * std::sqrt(s - 1.0);
}

// The frame's rectangle and cutting plane.  A frame without a usable normal
// or with parallel edge vectors cuts nothing.
class FrameGeometry {
public:
    explicit FrameGeometry(const MFrame<double>& frame) {
        const MMVector3d axes[3] = {frame.GetU(), frame.GetV(), frame.GetW()};
        MMVector3d unit[3];
        for (int i = 0; i < 3; ++i) {
            m_length[i] = ScaledNorm(axes[i]);
            unit[i] = m_length[i] > 0.0 && std::isfinite(m_length[i]) ? axes[i] / m_length[i] : MMVector3d();
        }
        m_plane.Set(unit[2], frame.GetOrigin());
        const MMVector3d spanNormal = unit[0].Cross(unit[1]);
        MMTransformMatrix toFrame;
        m_valid = m_plane.IsPlane() && (spanNormal[0] != 0.0 || spanNormal[1] != 0.0 || spanNormal[2] != 0.0) &&
                  toFrame.MakeTransformation(frame.GetOrigin(), unit[0], unit[1], unit[2]);
        m_toFrame.SetMatrix(toFrame);
    }
    bool IsValid() const { return m_valid; }
    const MMPlaneEq<double>& GetPlane() const { return m_plane; }
    // A point whose mapping fails counts as outside.
    bool Contains(const MMVector3d& point) const {
        MMVector3d local = point;
        if (!m_valid || !m_toFrame.Transform(local, true)) return false;
        return local[0] > -kFrameTolerance && local[0] < m_length[0] + kFrameTolerance &&
               local[1] > -kFrameTolerance && local[1] < m_length[1] + kFrameTolerance;
    }

private:
    double m_length[3] = {0.0, 0.0, 0.0};
    MMPlaneEq<double> m_plane;
    MMTransform m_toFrame;
    bool m_valid = false;
};

uint64_t EdgeKey(const MStlPoint* a, const MStlPoint* b) {
    uint32_t i = a->GetIndex(), j = b->GetIndex();
    if (i > j) std::swap(i, j);
    return uint64_t(i) << 32 | j;
}

// Finds the section contours that lie wholly inside the frame and marks the
// triangles along them.  A contour is followed through the points the plane
// touches: the points on it and both ends of every edge it crosses.  Points
// of one triangle belong to one contour, so every triangle along a contour
// gets marked and no crossed edge is shared with an unmarked triangle.
class FrameSection {
public:
    FrameSection(MStlBase& mesh, const FrameGeometry& frame) : m_mesh(mesh), m_frame(frame) {}

    // Marks the triangles to divide; true when some contour reaching into
    // the frame has to stay uncut.
    bool Mark(MDataMaskBits<MStlTriangle>& mask) {
        if (!m_frame.IsValid()) return false;
        const uint32_t slots = m_mesh.GetNumberOfPointSlots();
        m_side.assign(slots, 0);
        m_touched.assign(slots, 0);
        for (uint32_t s = 0; s < slots; ++s)
            if (const MStlPoint* p = m_mesh.GetPointBySlot(s))
                m_side[s] = int8_t(m_frame.GetPlane().Side(p->GetX(), p->GetY(), p->GetZ()));
        MUnionFind contours(slots);
        for (auto it = m_mesh.BeginTriangle(); it != m_mesh.EndTriangle(); ++it) JoinTouchedCorners(*it, contours);
        Inspect(contours);
        bool partial = false;
        for (uint32_t s = 0; s < slots; ++s) {
            if (!m_touched[s] || contours.Find(s) != s || !m_crossed[s]) continue;
            partial |= m_anyInside[s] && !m_allInside[s];
        }
        for (auto it = m_mesh.BeginTriangle(); it != m_mesh.EndTriangle(); ++it) {
            const uint32_t corner = TouchedCorner(*it);
            if (corner == kNone) continue;
            const uint32_t root = contours.Find(corner);
            if (m_crossed[root] && m_allInside[root]) mask.Set(*it, 0, true);
        }
        return partial;
    }

private:
    static constexpr uint32_t kNone = ~0u;

    int8_t Side(const MStlPoint* p) const { return m_side[p->GetIndex()]; }
    uint32_t TouchedCorner(const MStlTriangle* t) const {
        for (int k = 0; k < 3; ++k)
            if (m_touched[t->GetPoint(k)->GetIndex()]) return t->GetPoint(k)->GetIndex();
        return kNone;
    }
    void JoinTouchedCorners(const MStlTriangle* t, MUnionFind& contours) {
        uint32_t first = kNone;
        for (int k = 0; k < 3; ++k) {
            const MStlPoint* a = t->GetPoint(k);
            const MStlPoint* b = t->GetPoint((k + 1) % 3);
            const bool crossed = Side(a) * Side(b) < 0;
            for (const MStlPoint* p : {a, b}) {
                if (Side(p) != 0 && !crossed) continue;
                m_touched[p->GetIndex()] = 1;
                if (first == kNone) first = p->GetIndex();
                else contours.Join(p->GetIndex(), first);
            }
        }
    }
    // Where each contour meets the mesh: the points on the plane and the
    // crossings of the edges, tested against the frame.
    void Inspect(MUnionFind& contours) {
        const uint32_t slots = m_mesh.GetNumberOfPointSlots();
        m_crossed.assign(slots, 0);
        m_anyInside.assign(slots, 0);
        m_allInside.assign(slots, 1);
        auto record = [&](uint32_t root, const MMVector3d& point) {
            const bool inside = m_frame.Contains(point);
            m_anyInside[root] |= inside;
            m_allInside[root] &= inside;
        };
        // An edge lying in the plane is crossed by the section when the
        // solid is on both sides of it: bit 1 below, bit 2 above.
        absl::flat_hash_map<uint64_t, uint8_t> planeEdges;
        for (auto it = m_mesh.BeginTriangle(); it != m_mesh.EndTriangle(); ++it) {
            for (int k = 0; k < 3; ++k) {
                const MStlPoint* a = it->GetPoint(k);
                const MStlPoint* b = it->GetPoint((k + 1) % 3);
                if (Side(a) == 0) record(contours.Find(a->GetIndex()), a->GetVector());
                if (Side(a) == 0 && Side(b) == 0) {
                    const int8_t third = Side(it->GetPoint((k + 2) % 3));
                    uint8_t& sides = planeEdges[EdgeKey(a, b)];
                    sides |= third < 0 ? 1 : third > 0 ? 2 : 0;
                    if (sides == 3) m_crossed[contours.Find(a->GetIndex())] = 1;
                }
                if (Side(a) * Side(b) >= 0) continue;
                const uint32_t root = contours.Find(a->GetIndex());
                m_crossed[root] = 1;
                const MMVector3d pa = a->GetVector(), pb = b->GetVector();
                const double ea = m_frame.GetPlane().Evaluate(pa[0], pa[1], pa[2]);
                const double eb = m_frame.GetPlane().Evaluate(pb[0], pb[1], pb[2]);
                record(root, pa + (pb - pa) * (ea / (ea - eb)));
            }
        }
    }

    MStlBase& m_mesh;
    const FrameGeometry& m_frame;
    std::vector<int8_t> m_side;
    std::vector<uint8_t> m_touched, m_crossed, m_anyInside, m_allInside;
};

// Drops every point equal to its successor (the same mesh point, or the
// same coordinates), keeping at least two points.
void RemoveRepeatedPoints(MStlCutContour& contour) {
    auto same = [](const MStlCutBorderPoint* a, const MStlCutBorderPoint* b) {
        const MStlPoint* p = a->GetData();
        const MStlPoint* q = b->GetData();
        return p == q || (p && q && *p == *q);
    };
    MStlCutBorderPoint* p = contour.GetFirstPoint();
    for (uint32_t steps = contour.GetNumberOfPoints(); p && steps > 0 && contour.GetNumberOfPoints() > 2; --steps) {
        MStlCutBorderPoint* next = p->GetNext();
        if (same(p, next)) contour.RemovePoint(next);
        else p = next;
    }
}

// A contour in the plane, seen along the plane's normal: its points in the
// filler's view of the plane, and its area, positive when it turns
// counter-clockwise.
struct SeenContour {
    MStlCutContour* contour;
    std::vector<std::array<double, 2>> points;
    double area = 0.0;
};

SeenContour See(MStlCutContour* c, const MFillView& view) {
    SeenContour seen{c, {}, 0.0};
    const MStlCutBorderPoint* p = c->GetFirstPoint();
    for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext()) seen.points.push_back(view(p->GetData()->GetVector()));
    for (size_t i = 0; i < seen.points.size(); ++i) {
        const auto& a = seen.points[i];
        const auto& b = seen.points[(i + 1) % seen.points.size()];
        seen.area += 0.5 * (a[0] * b[1] - b[0] * a[1]);
    }
    return seen;
}

// Whether point q lies inside the contour, by the crossing number.
bool Encloses(const SeenContour& c, const std::array<double, 2>& q) {
    bool odd = false;
    for (size_t i = 0, n = c.points.size(); i < n; ++i) {
        const auto& a = c.points[i];
        const auto& b = c.points[(i + 1) % n];
        if ((a[1] > q[1]) != (b[1] > q[1]) && q[0] < a[0] + (q[1] - a[1]) * (b[0] - a[0]) / (b[1] - a[1])) odd = !odd;
    }
    return odd;
}

// Keeps the contours that can be filled: closed, with at least three
// points, and bounding solid.  The contours run round the solid clockwise
// seen along the normal and round its holes counter-clockwise; a hole
// whose outer contour reaches past the frame (and so stays uncut) bounds
// nothing to fill.  True when one had to be dropped.
bool KeepFillableContours(MStlCutBorder& border, const MMVector3d& normal) {
    bool dropped = false;
    for (MStlCutContour* c = border.GetFirstContour(); c;) {
        RemoveRepeatedPoints(*c);
        if (c->IsClosed() && c->GetNumberOfPoints() >= 3) {
            c = MStlCutBorder::Next(c);
            continue;
        }
        dropped |= !c->IsEmpty();
        c = border.RemoveContour(c);
    }
    const MFillView view(normal);
    std::vector<SeenContour> seen;
    for (MStlCutContour* c = border.GetFirstContour(); c; c = MStlCutBorder::Next(c)) seen.push_back(See(c, view));
    for (const SeenContour& hole : seen) {
        if (hole.area <= 0.0) continue;
        bool held = false;
        for (const SeenContour& outer : seen)
            held = held || (outer.area < 0.0 && -outer.area > hole.area && Encloses(outer, hole.points.front()));
        if (held) continue;
        border.RemoveContour(hole.contour);
        dropped = true;
    }
    return dropped;
}

struct ShellRecord {
    std::unique_ptr<MStlBase> mesh;
    double volume = 0.0;
    int enclosing = -1;
    bool above = false;
    bool below = false;
};

// Splits the cut mesh into shells by a breadth-first walk over consistently
// oriented neighbours.  A cut edge is crossed only between a mesh triangle
// and an interface triangle, and that crossing tells from which side the
// shell reaches the cut.
class ShellClassifier {
public:
    ShellClassifier(const MStlBase& mesh, const MMPlaneEq<double>& plane, const MStlCutBorder& cut,
                    const MStlSurface* interfaces[2])
        : m_mesh(mesh), m_plane(plane), m_interfaces{interfaces[0], interfaces[1]} {
        for (const MStlCutContour* c = cut.GetFirstContour(); c; c = MStlCutBorder::Next(c)) {
            const MStlCutBorderPoint* p = c->GetFirstPoint();
            for (uint32_t i = 0; p && i < c->GetNumberOfPoints(); ++i, p = p->GetNext()) {
                const MStlPoint* a = p->GetData();
                const MStlPoint* b = p->GetNext()->GetData();
                if (a && b && a != b) m_cutEdges.insert(EdgeKey(a, b));
            }
        }
    }

    std::vector<ShellRecord> Split() {
        std::vector<ShellRecord> shells;
        const uint32_t slots = m_mesh.GetNumberOfTriangleSlots();
        m_shellOf.assign(slots, kNone);
        for (const MStlTriangleElement* seed : TrianglesBySurface()) {
            if (m_shellOf[seed->GetIndex()] != kNone) continue;
            shells.emplace_back();
            Flood(seed, uint32_t(shells.size() - 1), shells.back());
        }
        Build(shells);
        return shells;
    }

private:
    static constexpr uint32_t kNone = ~0u;

    // Triangles in the order of the mesh's surface list.
    std::vector<const MStlTriangleElement*> TrianglesBySurface() const {
        std::vector<std::vector<const MStlTriangleElement*>> bySurface(m_mesh.GetNumberOfSurfaces() + 1);
        for (auto it = m_mesh.BeginTriangle(); it != m_mesh.EndTriangle(); ++it) {
            const MStlSurface* s = it->GetSurface();
            bySurface[s ? std::min<size_t>(s->GetIndex(), bySurface.size() - 1) : bySurface.size() - 1].push_back(*it);
        }
        std::vector<const MStlTriangleElement*> order;
        order.reserve(m_mesh.GetNumberOfTriangles());
        for (const auto& list : bySurface) order.insert(order.end(), list.begin(), list.end());
        return order;
    }
    bool IsInterface(const MStlTriangle* t) const {
        return t->GetSurface() == m_interfaces[0] || t->GetSurface() == m_interfaces[1];
    }
    static bool HoldsAll(const MStlTriangle* n, const MStlTriangle* t) {
        return n->IndexOfPoint(t->GetPoint(0)) >= 0 && n->IndexOfPoint(t->GetPoint(1)) >= 0 &&
               n->IndexOfPoint(t->GetPoint(2)) >= 0;
    }
    void Classify(const MStlTriangle* t, ShellRecord& shell) const {
        const MMVector3d c = (t->GetPoint(0)->GetVector() + t->GetPoint(1)->GetVector() + t->GetPoint(2)->GetVector()) / 3.0;
        (m_plane.Evaluate(c[0], c[1], c[2]) < 0.0 ? shell.below : shell.above) = true;
    }
    void Flood(const MStlTriangleElement* seed, uint32_t id, ShellRecord& shell) {
        std::vector<const MStlTriangleElement*> queue{seed};
        m_shellOf[seed->GetIndex()] = id;
        for (size_t head = 0; head < queue.size(); ++head) {
            const MStlTriangleElement* t = queue[head];
            for (int k = 0; k < 3; ++k) {
                const MStlPoint* p = t->GetPoint(k);
                const MStlPoint* q = t->GetPoint((k + 1) % 3);
                const bool cut = m_cutEdges.contains(EdgeKey(p, q));
                const MStlPoint* hub = p->GetNumberOfNeighbourTriangles() <= q->GetNumberOfNeighbourTriangles() ? p : q;
                for (uint32_t i = 0; i < hub->GetNumberOfNeighbourTriangles(); ++i) {
                    const MStlTriangleElement* n = hub->GetNeighbourTriangle(i);
                    if (m_shellOf[n->GetIndex()] != kNone || HoldsAll(n, t)) continue;
                    const int np = n->IndexOfPoint(p);
                    if (np < 0 || n->GetPoint((np + 2) % 3) != q) continue;  // must run q -> p
                    if (cut) {
                        const bool ni = IsInterface(n), ti = IsInterface(t);
                        if (!ni && !ti) continue;
                        Classify(ni ? t : n, shell);
                    }
                    m_shellOf[n->GetIndex()] = id;
                    queue.push_back(n);
                }
            }
        }
    }
    // Copies every shell's triangles into its own mesh, points merged by
    // coordinates.
    void Build(std::vector<ShellRecord>& shells) const {
        for (ShellRecord& s : shells) s.mesh = std::make_unique<MStlBase>();
        for (auto it = m_mesh.BeginTriangle(); it != m_mesh.EndTriangle(); ++it) {
            MStlBase& target = *shells[m_shellOf[it->GetIndex()]].mesh;
            MStlPoint* p[3];
            for (int k = 0; k < 3; ++k) p[k] = target.AddPoint(it->GetPoint(k), false);
            if (MStlTriangleElement* e = target.AddTriangle(p)) e->CopyStateFrom(**it, true, true, false, false, true, true);
        }
        for (ShellRecord& s : shells) s.volume = s.mesh->Volume();
    }

    const MStlBase& m_mesh;
    const MMPlaneEq<double>& m_plane;
    const MStlSurface* m_interfaces[2];
    absl::flat_hash_set<uint64_t> m_cutEdges;
    std::vector<uint32_t> m_shellOf;
};

// Appends every cavity (a shell of non-positive volume) to the smallest
// positive shell that contains it, and drops its record.
void NestCavities(std::vector<ShellRecord>& shells) {
    std::vector<size_t> order(shells.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return std::fabs(shells[a].volume) < std::fabs(shells[b].volume); });
    for (size_t r : order) {
        if (shells[r].volume <= 0.0) continue;
        MPointInsideModelChecker checker;
        bool prepared = false;
        for (size_t s : order) {
            ShellRecord& cavity = shells[s];
            if (cavity.volume > 0.0 || cavity.enclosing >= 0 || cavity.mesh->GetNumberOfPoints() == 0) continue;
            if (std::fabs(cavity.volume) > shells[r].volume) continue;
            if (!prepared && !(prepared = checker.Preprocess(*shells[r].mesh))) break;
            const MStlPoint* p = *cavity.mesh->BeginPoint();
            if (checker.QueryPoint(p->GetX(), p->GetY(), p->GetZ()) == MPointInsideModelChecker::eInside)
                cavity.enclosing = int(r);
        }
    }
    for (ShellRecord& s : shells)
        if (s.enclosing >= 0) shells[size_t(s.enclosing)].mesh->AddStl(*s.mesh, false);
    std::erase_if(shells, [](const ShellRecord& s) { return s.enclosing >= 0; });
}

}  // namespace

MUserOperatorStlCutWithFrame::MUserOperatorStlCutWithFrame() = default;
MUserOperatorStlCutWithFrame::~MUserOperatorStlCutWithFrame() = default;

MUserOperatorStlCutWithFrame::EReturnCode MUserOperatorStlCutWithFrame::Operate(QelSDK::Common::ProgressPtr progress) {
    try {
        return _Operate(std::move(progress));
    } catch (const std::bad_alloc&) {
        m_above.reset();
        m_below.reset();
        m_withoutCut.reset();
        m_unclassified.clear();
        return eOutOfMemory;
    }
}

MUserOperatorStlCutWithFrame::EReturnCode MUserOperatorStlCutWithFrame::_Operate(QelSDK::Common::ProgressPtr progress) {
    if (!m_input) return eNoInputMesh;
    QelSDK::Common::IncrementalProgressReporter reporter(progress, kProgressName, 7, true);
    auto stepDone = [&reporter] {
        ++reporter;
        return !reporter.IsCancelled();
    };

    MStlBase copy;
    copy.Copy(*m_input);
    const MeshReport input = CheckMesh(copy);
    if (input.boundaryEdges != 0) return eMeshNotClosed;
    if (!stepDone()) return eCancelled;

    const FrameGeometry frame(m_frame);
    MStlCutBorder cut;
    bool partial = false;
    {
        MDataMaskBits<MStlTriangle> mask(copy, 1);
        partial = FrameSection(copy, frame).Mark(mask);
        MNewSlicer slicer;
        slicer.SetSliceStl(&copy);
        slicer.SetSliceStlBorder(&cut);
        slicer.SetPlaneSliceMode(frame.GetPlane(), true);
        slicer.SetTrianglesToDivide(&mask);
        if (frame.IsValid()) slicer.Operate();
    }
    partial |= KeepFillableContours(cut, frame.GetPlane().GetNormal());
    if (!stepDone()) return eCancelled;

    MStlSurface* interfaces[2] = {copy.AddSurface(), copy.AddSurface()};
    for (MStlSurface* s : interfaces) s->SetName(L"Interface surface");
    if (cut.GetFirstContour()) {
        MStlBorderFiller filler;
        filler.SetStl(&copy);
        filler.SetInputBorder(&cut);
        if (filler.Operate() && filler.GetNumTriangles() > 0) {
            for (uint64_t i = 0; i < filler.GetNumTriangles(); ++i) {
                MStlPoint* p[3] = {filler.GetResult(i, 0), filler.GetResult(i, 1), filler.GetResult(i, 2)};
                copy.AddTriangle(p[0], p[1], p[2], interfaces[0]);
                copy.AddTriangle(p[0], p[2], p[1], interfaces[1]);
            }
        } else {
            // Without an interface the cut edges stay joined: the mesh is
            // divided along the plane but not opened.
            cut.Clear();
            partial = true;
        }
    }
    if (!stepDone()) return eCancelled;

    const MStlSurface* interfaceSurfaces[2] = {interfaces[0], interfaces[1]};
    std::vector<ShellRecord> shells = ShellClassifier(copy, frame.GetPlane(), cut, interfaceSurfaces).Split();
    if (!stepDone() || !stepDone()) return eCancelled;

    NestCavities(shells);
    if (!stepDone()) return eCancelled;

    m_above = std::make_unique<MStlBase>();
    m_below = std::make_unique<MStlBase>();
    m_withoutCut = std::make_unique<MStlBase>();
    m_unclassified.clear();
    m_above->SetName(L"Above");
    m_below->SetName(L"Below");
    m_withoutCut->SetName(L"Without cut");
    for (const ShellRecord& s : shells) {
        MStlBase* target = s.above && s.below ? m_unclassified.emplace_back(std::make_unique<MStlBase>()).get()
                           : s.above          ? m_above.get()
                           : s.below          ? m_below.get()
                                              : m_withoutCut.get();
        target->AddStl(*s.mesh, false);
    }
    if (!stepDone()) return eCancelled;
    if (IsClosedAndOriented(input) && !_PartsClosed()) {
        m_above.reset();
        m_below.reset();
        m_withoutCut.reset();
        m_unclassified.clear();
        return eCutNotClosed;
    }
    return partial ? eCutPartial : eCutOk;
}

// The shells reaching the cut from both sides promise nothing; the parts
// above, below and without a cut are closed.
bool MUserOperatorStlCutWithFrame::_PartsClosed() const {
    for (const MStlBase* part : {m_above.get(), m_below.get(), m_withoutCut.get()})
        if (!IsClosedAndOriented(CheckMesh(*part))) return false;
    return true;
}

// Mesh booleans on CGAL's exact corefinement.  Our meshes are converted to
// surface meshes over exact points here and nowhere else; results come back
// through one rounding step that checks what the grid does to them.
#include "host/MBoolean.h"

#include <CGAL/Box_intersection_d/Box_with_info_d.h>
#include <CGAL/Exact_predicates_exact_constructions_kernel.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Polygon_mesh_processing/clip.h>
#include <CGAL/Polygon_mesh_processing/connected_components.h>
#include <CGAL/Polygon_mesh_processing/corefinement.h>
#include <CGAL/Polygon_mesh_processing/self_intersections.h>
#include <CGAL/Side_of_triangle_mesh.h>
#include <CGAL/Surface_mesh.h>
#include <CGAL/box_intersection_d.h>
#include <absl/container/flat_hash_map.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>

#include "MStlBaseOperatorTrimStlToStl.h"
#include "host/MCgalMesh.h"
#include "host/MStlChecker.h"

namespace QelSDK::Triangles::Boolean {
namespace {

using K = CGAL::Exact_predicates_exact_constructions_kernel;
using Point = K::Point_3;
using Mesh = CGAL::Surface_mesh<Point>;
using IK = CGAL::Exact_predicates_inexact_constructions_kernel;
namespace PMP = CGAL::Polygon_mesh_processing;
using QelSDK::Common::IncrementalProgressReporter;
using QelSDK::Common::ProgressPtr;

using Grid = std::array<int32_t, 3>;
using Face = std::array<uint32_t, 3>;

bool HasDegenerateTriangle(const MStlBase& m) {
    for (auto it = m.BeginTriangle(); it != m.EndTriangle(); ++it)
        if (it->IsZeroArea()) return true;
    return false;
}

// Converts a mesh that must bound a volume.
EReturnCode LoadClosed(const MStlBase& m, Mesh& out, const AU::BooleanParameters& prm) {
    if (m.GetNumberOfTriangles() == 0) return eEmptyMesh;
    if (HasDegenerateTriangle(m)) return eInvalidInput;
    uint64_t rejected = 0;
    out = QelSDK::Cgal::ToSurfaceMesh<Point>(m, &rejected);
    if (!prm.skipClosedCheck && (rejected != 0 || !CGAL::is_closed(out) || m.Volume() < 0)) return eNotClosed;
    if (prm.checkWholeInput && PMP::does_self_intersect(out)) return eSelfIntersecting;
    return eSuccess;
}

// Runs one corefinement step; CGAL reports trouble by exceptions or false.
template <class F>
EReturnCode Guarded(F&& step) {
    try {
        return step() ? eSuccess : eCorefinementFailed;
    } catch (const PMP::Corefinement::Self_intersection_exception&) {
        return eSelfIntersecting;
    } catch (const std::exception&) {
        return eCorefinementFailed;
    }
}

auto Np() { return CGAL::parameters::throw_on_self_intersection(true); }

// --- rounding back to the grid ---------------------------------------------

struct GridHash {
    size_t operator()(const Grid& g) const {
        uint64_t h = uint64_t(uint32_t(g[0])) * 0x9E3779B97F4A7C15ull;
        h ^= uint64_t(uint32_t(g[1])) * 0xC2B2AE3D27D4EB4Full + (h << 6) + (h >> 2);
        h ^= uint64_t(uint32_t(g[2])) * 0x165667B19E3779F9ull + (h << 6) + (h >> 2);
        return size_t(h);
    }
};

// The grid points of one or more result meshes, shared between them, and
// each mesh's faces over those points.
struct Rounded {
    std::vector<Grid> points;
    // Some vertex was moved onto this grid point.
    std::vector<uint8_t> moved;
    absl::flat_hash_map<Grid, uint32_t, GridHash> index;
    std::vector<std::vector<Face>> parts;
    bool outOfRange = false;

    uint32_t Add(const Grid& g, bool wasMoved) {
        auto [it, fresh] = index.try_emplace(g, uint32_t(points.size()));
        if (fresh) {
            points.push_back(g);
            moved.push_back(0);
        }
        if (wasMoved) moved[it->second] = 1;
        return it->second;
    }

    // Rounds a point to the nearest grid point; integer coordinates stay.
    // The interval approximation settles the points that were not
    // constructed; only new points are evaluated exactly.
    static bool RoundPoint(const Point& p, Grid& out, bool& wasMoved) {
        const auto& approx = CGAL::approx(p);
        double v[3];
        bool exactInteger = true;
        for (int k = 0; k < 3; ++k) {
            const auto& c = approx[k];
            v[k] = c.inf();
            exactInteger &= c.inf() == c.sup() && std::floor(c.inf()) == c.inf();
        }
        if (!exactInteger) {
            const auto& e = CGAL::exact(p);
            using ExactFT = std::decay_t<decltype(e[0])>;
            for (int k = 0; k < 3; ++k) {
                v[k] = std::nearbyint(CGAL::to_double(e[k]));
                wasMoved = wasMoved || ExactFT(v[k]) != e[k];
            }
        }
        for (int k = 0; k < 3; ++k) {
            if (!(v[k] >= -2147483648.0 && v[k] <= 2147483647.0)) return false;
            out[size_t(k)] = int32_t(v[k]);
        }
        return true;
    }

    void AddMesh(const Mesh& m) {
        std::vector<uint32_t> vertexPoint(m.number_of_vertices() + m.number_of_removed_vertices(), 0);
        for (auto v : m.vertices()) {
            const Point& p = m.point(v);
            Grid g{};
            bool wasMoved = false;
            if (!RoundPoint(p, g, wasMoved)) {
                outOfRange = true;
                return;
            }
            vertexPoint[v.idx()] = Add(g, wasMoved);
        }
        std::vector<Face>& faces = parts.emplace_back();
        faces.reserve(m.number_of_faces());
        for (auto f : m.faces()) {
            Face t{};
            int i = 0;
            for (auto v : CGAL::vertices_around_face(m.halfedge(f), m)) {
                if (i < 3) t[size_t(i)] = vertexPoint[v.idx()];
                ++i;
            }
            if (i != 3) continue;
            // A sliver whose corners rounded together disappears.
            if (t[0] == t[1] || t[1] == t[2] || t[2] == t[0]) continue;
            faces.push_back(t);
        }
    }
};

IK::Point_3 ToIK(const Grid& g) { return IK::Point_3(g[0], g[1], g[2]); }

bool Collinear(const Rounded& r, const Face& f) {
    return CGAL::collinear(ToIK(r.points[f[0]]), ToIK(r.points[f[1]]), ToIK(r.points[f[2]]));
}

// Whether two faces of a rounded result meet anywhere but in the corners
// and edge they share.  Integer coordinates are exact doubles, so the
// predicates are exact.
bool FacesCross(const Rounded& r, const Face& a, const Face& b) {
    int sharedA[3], sharedB[3], shared = 0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (a[size_t(i)] == b[size_t(j)]) {
                sharedA[shared] = i;
                sharedB[shared] = j;
                ++shared;
            }
    auto P = [&](uint32_t i) { return ToIK(r.points[i]); };
    if (shared == 3) return true;
    if (shared == 2) {
        const uint32_t s0 = a[size_t(sharedA[0])], s1 = a[size_t(sharedA[1])];
        const uint32_t ta = a[size_t(3 - sharedA[0] - sharedA[1])];
        const uint32_t tb = b[size_t(3 - sharedB[0] - sharedB[1])];
        if (CGAL::orientation(P(s0), P(s1), P(ta), P(tb)) != CGAL::COPLANAR) return false;
        // Folded onto each other: both third corners on the same side.
        return CGAL::coplanar_orientation(P(s0), P(s1), P(ta), P(tb)) == CGAL::POSITIVE;
    }
    const IK::Triangle_3 ta(P(a[0]), P(a[1]), P(a[2])), tb(P(b[0]), P(b[1]), P(b[2]));
    if (shared == 1) {
        const int ia = sharedA[0], ib = sharedB[0];
        const IK::Segment_3 ea(P(a[size_t((ia + 1) % 3)]), P(a[size_t((ia + 2) % 3)]));
        const IK::Segment_3 eb(P(b[size_t((ib + 1) % 3)]), P(b[size_t((ib + 2) % 3)]));
        return CGAL::do_intersect(ea, tb) || CGAL::do_intersect(eb, ta);
    }
    return CGAL::do_intersect(ta, tb);
}

struct StopSearch {};

// A coarse grid over a set of boxes: the cells they cover are marked, so
// that boxes far from all of them are passed over without a pairwise test.
class CellMarks {
public:
    template <class Boxes>
    CellMarks(const Boxes& boxes, const CGAL::Bbox_3& span) : m_span(span) {
        double extent = 1.0;
        for (int k = 0; k < 3; ++k) extent = std::max(extent, span.max(k) - span.min(k));
        m_cell = extent / kCells;
        m_marks.assign(size_t(kCells) * kCells * kCells, 0);
        for (const auto& b : boxes) {
            int lo[3], hi[3];
            if (!Range(b.bbox(), lo, hi)) continue;
            for (int x = lo[0]; x <= hi[0]; ++x)
                for (int y = lo[1]; y <= hi[1]; ++y)
                    for (int z = lo[2]; z <= hi[2]; ++z) m_marks[Index(x, y, z)] = 1;
        }
    }
    bool Touches(const CGAL::Bbox_3& b) const {
        int lo[3], hi[3];
        if (!Range(b, lo, hi)) return false;
        for (int x = lo[0]; x <= hi[0]; ++x)
            for (int y = lo[1]; y <= hi[1]; ++y)
                for (int z = lo[2]; z <= hi[2]; ++z)
                    if (m_marks[Index(x, y, z)]) return true;
        return false;
    }

private:
    static constexpr int kCells = 64;
    size_t Index(int x, int y, int z) const { return (size_t(x) * kCells + size_t(y)) * kCells + size_t(z); }
    // The cells a box covers, clamped to the grid; false when it misses it.
    bool Range(const CGAL::Bbox_3& b, int lo[3], int hi[3]) const {
        if (!CGAL::do_overlap(b, m_span)) return false;
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::clamp(int((b.min(k) - m_span.min(k)) / m_cell), 0, kCells - 1);
            hi[k] = std::clamp(int((b.max(k) - m_span.min(k)) / m_cell), 0, kCells - 1);
        }
        return true;
    }

    CGAL::Bbox_3 m_span;
    double m_cell = 1.0;
    std::vector<uint8_t> m_marks;
};

// The faces of a rounded part that make it unsound: faces at a moved point
// whose edges are not used once each way, and faces at a moved point that
// cross another face.  Faces away from moved points keep the exact result's
// positions, which is sound.  With `firstOnly` the search stops at the
// first one found.
std::vector<uint32_t> UnsoundFaces(const Rounded& r, const std::vector<Face>& faces, bool firstOnly) {
    std::vector<uint32_t> bad;
    auto touched = [&](const Face& f) { return r.moved[f[0]] || r.moved[f[1]] || r.moved[f[2]]; };
    auto key = [](uint32_t u, uint32_t v) { return uint64_t(u) << 32 | v; };
    absl::flat_hash_map<uint64_t, uint32_t> directed;
    std::vector<uint32_t> local;
    for (uint32_t i = 0; i < faces.size(); ++i) {
        const Face& f = faces[i];
        if (!touched(f)) continue;
        local.push_back(i);
        for (int k = 0; k < 3; ++k) {
            const uint32_t u = f[size_t(k)], v = f[size_t((k + 1) % 3)];
            if (r.moved[u] || r.moved[v]) ++directed[key(u, v)];
        }
    }
    if (local.empty()) return bad;
    auto count = [&](uint64_t k) {
        auto it = directed.find(k);
        return it == directed.end() ? 0u : it->second;
    };
    for (uint32_t i : local) {
        const Face& f = faces[i];
        for (int k = 0; k < 3; ++k) {
            const uint32_t u = f[size_t(k)], v = f[size_t((k + 1) % 3)];
            if ((r.moved[u] || r.moved[v]) && (count(key(u, v)) != 1 || count(key(v, u)) != 1)) {
                bad.push_back(i);
                if (firstOnly) return bad;
                break;
            }
        }
    }
    using Box = CGAL::Box_intersection_d::Box_with_info_d<double, 3, uint32_t>;
    auto boxOf = [&](uint32_t i) {
        const Face& f = faces[i];
        CGAL::Bbox_3 b;
        for (uint32_t v : f) {
            const Grid& g = r.points[v];
            b += CGAL::Bbox_3(g[0], g[1], g[2], g[0], g[1], g[2]);
        }
        return Box(b, i);
    };
    std::vector<Box> near, all;
    near.reserve(local.size());
    CGAL::Bbox_3 span;
    for (uint32_t i : local) {
        if (Collinear(r, faces[i])) continue;
        near.push_back(boxOf(i));
        span += near.back().bbox();
    }
    const CellMarks marks(near, span);
    for (uint32_t i = 0; i < faces.size(); ++i) {
        Box b = boxOf(i);
        if (marks.Touches(b.bbox()) && !Collinear(r, faces[i])) all.push_back(b);
    }
    try {
        CGAL::box_intersection_d(near.begin(), near.end(), all.begin(), all.end(), [&](const Box& a, const Box& b) {
            if (a.info() == b.info() || !FacesCross(r, faces[a.info()], faces[b.info()])) return;
            bad.push_back(a.info());
            bad.push_back(b.info());
            if (firstOnly) throw StopSearch{};
        });
    } catch (const StopSearch&) {
    }
    std::sort(bad.begin(), bad.end());
    bad.erase(std::unique(bad.begin(), bad.end()), bad.end());
    return bad;
}

bool PartSound(const Rounded& r, const std::vector<Face>& faces) { return UnsoundFaces(r, faces, true).empty(); }

// Rounding a result to the grid can fold a sliver over its neighbour.  The
// repair collapses, in every unsound face, its shortest edge at a moved
// point (when it is short) onto the edge's other end (an unmoved point where there is one),
// in every part alike so that parts sharing a surface keep sharing it.
// Faces that lose a corner vanish, and so do pairs of faces left on the
// same three points with opposite orientations.  Repeated a few rounds.
class RoundingRepair {
public:
    explicit RoundingRepair(Rounded& r) : m_r(r), m_parent(r.points.size()) {
        for (uint32_t i = 0; i < m_parent.size(); ++i) m_parent[i] = i;
    }

    bool Run() {
        for (int round = 0; round < kRounds; ++round) {
            bool changed = false, sound = true;
            for (auto& part : m_r.parts) {
                const std::vector<uint32_t> bad = UnsoundFaces(m_r, part, false);
                sound &= bad.empty();
                if (bad.empty()) continue;
                std::vector<uint8_t> fixed(part.size(), 0);
                changed |= FlipNeedles(part, bad, fixed);
                for (uint32_t i : bad)
                    if (!fixed[i]) changed |= CollapseShortestEdge(part[i]);
            }
            if (sound) return true;
            const bool wider = m_maxSquaredLength < kLastSquaredLength;
            if (!changed && !wider) return false;
            if (changed) for (auto& part : m_r.parts) Remap(part);
            if (!changed || round >= 1) m_maxSquaredLength = std::min(4.0 * m_maxSquaredLength, kLastSquaredLength);
        }
        for (const auto& part : m_r.parts)
            if (!PartSound(m_r, part)) return false;
        return true;
    }

private:
    static constexpr int kRounds = 8;
    // Only edges the rounding itself can have made short are collapsed: two
    // grid diagonals at first, a few more when that does not settle it.  A
    // fold between points farther apart is not the grid's doing (an input
    // crossing itself, say) and stays refused.
    static constexpr double kFirstSquaredLength = 12.0, kLastSquaredLength = 200.0;
    double m_maxSquaredLength = kFirstSquaredLength;
    static constexpr double kNeedleHeight = 2.0;

    IK::Point_3 P(uint32_t i) const { return ToIK(m_r.points[i]); }

    // A needle is a face whose corner lies within a grid step or two of the
    // opposite (longest) edge; rounding can push that corner across.  Where
    // the face beyond that edge lies in the same plane, flipping the edge
    // removes the needle without moving any point.
    // Returns whether it flipped any edge.
    bool FlipNeedles(std::vector<Face>& faces, const std::vector<uint32_t>& bad, std::vector<uint8_t>& fixed) {
        bool flipped = false;
        auto key = [](uint32_t u, uint32_t v) { return uint64_t(u) << 32 | v; };
        // The edges of the faces around the bad ones: all a flip can meet.
        std::vector<uint8_t> near(m_r.points.size(), 0);
        for (uint32_t i : bad)
            for (uint32_t v : faces[i]) near[v] = 1;
        absl::flat_hash_map<uint64_t, uint32_t> faceOf;
        for (uint32_t i = 0; i < faces.size(); ++i) {
            const Face& f = faces[i];
            if (!near[f[0]] && !near[f[1]] && !near[f[2]]) continue;
            for (int k = 0; k < 3; ++k) faceOf[key(f[size_t(k)], f[size_t((k + 1) % 3)])] = i;
        }
        for (uint32_t i : bad) {
            if (fixed[i]) continue;
            const Face f = faces[i];
            int longest = 0;
            for (int k = 1; k < 3; ++k)
                if (SquaredLength(f[size_t(k)], f[size_t((k + 1) % 3)]) >
                    SquaredLength(f[size_t(longest)], f[size_t((longest + 1) % 3)]))
                    longest = k;
            const uint32_t a = f[size_t(longest)], b = f[size_t((longest + 1) % 3)], c = f[size_t((longest + 2) % 3)];
            if (Height(a, b, c) > kNeedleHeight) continue;
            auto across = faceOf.find(key(b, a));
            if (across == faceOf.end() || fixed[across->second]) continue;
            const uint32_t g = across->second;
            const Face& h = faces[g];
            const uint32_t d = h[0] != a && h[0] != b ? h[0] : h[1] != a && h[1] != b ? h[1] : h[2];
            if (d == c || faceOf.contains(key(c, d)) || faceOf.contains(key(d, c))) continue;
            if (CGAL::orientation(P(a), P(b), P(c), P(d)) != CGAL::COPLANAR) continue;
            faces[i] = {a, d, c};
            faces[g] = {d, b, c};
            fixed[i] = fixed[g] = 1;
            faceOf[key(d, c)] = i;
            faceOf[key(c, d)] = g;
            flipped = true;
        }
        return flipped;
    }
    // Distance of c from the line through a and b.
    double Height(uint32_t a, uint32_t b, uint32_t c) const {
        const Grid &pa = m_r.points[a], &pb = m_r.points[b], &pc = m_r.points[c];
        double u[3], v[3];
        for (int k = 0; k < 3; ++k) {
            u[k] = double(pb[size_t(k)]) - pa[size_t(k)];
            v[k] = double(pc[size_t(k)]) - pa[size_t(k)];
        }
        const double x = u[1] * v[2] - u[2] * v[1], y = u[2] * v[0] - u[0] * v[2], z = u[0] * v[1] - u[1] * v[0];
        const double base = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
        return base > 0.0 ? std::sqrt(x * x + y * y + z * z) / base : 0.0;
    }
    uint32_t Find(uint32_t a) {
        while (m_parent[a] != a) a = m_parent[a] = m_parent[m_parent[a]];
        return a;
    }
    double SquaredLength(uint32_t a, uint32_t b) const {
        double s = 0.0;
        for (int k = 0; k < 3; ++k) {
            const double d = double(m_r.points[a][size_t(k)]) - double(m_r.points[b][size_t(k)]);
            s += d * d;
        }
        return s;
    }
    bool CollapseShortestEdge(const Face& f) {
        int best = -1;
        double shortest = 0.0;
        for (int k = 0; k < 3; ++k) {
            const uint32_t u = Find(f[size_t(k)]), v = Find(f[size_t((k + 1) % 3)]);
            if (u == v || (!m_r.moved[u] && !m_r.moved[v])) continue;
            const double length = SquaredLength(u, v);
            if (length > m_maxSquaredLength) continue;
            if (best < 0 || length < shortest) best = k, shortest = length;
        }
        if (best < 0) return false;
        uint32_t u = Find(f[size_t(best)]), v = Find(f[size_t((best + 1) % 3)]);
        if (!m_r.moved[u] && m_r.moved[v]) std::swap(u, v);  // keep the unmoved point
        m_parent[u] = v;
        m_r.moved[v] = 1;  // its neighbourhood changed: check it again
        return true;
    }
    // Only faces at a point that received a collapse can have vanished or
    // met their reverse: the others are passed over without hashing.
    void Remap(std::vector<Face>& faces) {
        std::vector<uint8_t> target(m_parent.size(), 0);
        for (uint32_t i = 0; i < m_parent.size(); ++i)
            if (m_parent[i] != i) target[Find(i)] = 1;
        absl::flat_hash_map<Face, uint32_t, FaceHash> seen;
        std::vector<uint8_t> keep(faces.size(), 1);
        for (uint32_t i = 0; i < faces.size(); ++i) {
            Face& f = faces[i];
            for (uint32_t& v : f) v = Find(v);
            if (!target[f[0]] && !target[f[1]] && !target[f[2]]) continue;
            if (f[0] == f[1] || f[1] == f[2] || f[2] == f[0]) {
                keep[i] = 0;
                continue;
            }
            // A face whose reverse is already there cancels it.
            const Face reverse{f[0], f[2], f[1]};
            if (auto it = seen.find(Canonical(reverse)); it != seen.end() && keep[it->second]) {
                keep[i] = keep[it->second] = 0;
                seen.erase(it);
                continue;
            }
            seen.try_emplace(Canonical(f), i);
        }
        size_t n = 0;
        for (uint32_t i = 0; i < faces.size(); ++i)
            if (keep[i]) faces[n++] = faces[i];
        faces.resize(n);
    }
    // The rotation of a face that starts at its smallest corner.
    static Face Canonical(const Face& f) {
        const int s = f[0] < f[1] ? (f[0] < f[2] ? 0 : 2) : (f[1] < f[2] ? 1 : 2);
        return {f[size_t(s)], f[size_t((s + 1) % 3)], f[size_t((s + 2) % 3)]};
    }
    struct FaceHash {
        size_t operator()(const Face& f) const {
            return size_t((uint64_t(f[0]) * 0x9E3779B97F4A7C15ull) ^ (uint64_t(f[1]) * 0xC2B2AE3D27D4EB4Full) ^
                          (uint64_t(f[2]) * 0x165667B19E3779F9ull));
        }
    };

    Rounded& m_r;
    std::vector<uint32_t> m_parent;
};

// Rounds the meshes onto one grid and checks each part, repairing what the
// rounding folded where it can.
EReturnCode RoundParts(const std::vector<const Mesh*>& meshes, Rounded& out, bool check) {
    for (const Mesh* m : meshes) {
        out.AddMesh(*m);
        if (out.outOfRange) return eRoundingBrokeResult;
    }
    if (!check) return eSuccess;
    for (const auto& part : out.parts)
        if (!PartSound(out, part)) return RoundingRepair(out).Run() ? eSuccess : eRoundingBrokeResult;
    return eSuccess;
}

// Replaces the mesh's content by one rounded part, in one new surface.
void WritePart(const Rounded& r, const std::vector<Face>& faces, MStlBase& target) {
    std::wstring name = target.GetName();
    target.ClearStl(true);
    target.SetName(name);
    target.Reserve(r.points.size(), faces.size());
    std::vector<MStlPoint*> points(r.points.size(), nullptr);
    MStlSurface* surface = target.AddSurface(nullptr);
    for (const Face& f : faces) {
        MStlPoint* p[3];
        for (int k = 0; k < 3; ++k) {
            MStlPoint*& q = points[f[size_t(k)]];
            if (!q) {
                const Grid& g = r.points[f[size_t(k)]];
                q = target.AddPoint(g[0], g[1], g[2], true);
            }
            p[k] = q;
        }
        target.AddTriangle(p, surface);
    }
    target.Update();
}

EReturnCode WriteMesh(const Mesh& m, MStlBase& target, const AU::BooleanParameters& prm) {
    Rounded r;
    if (EReturnCode rc = RoundParts({&m}, r, prm.checkRounding); rc != eSuccess) return rc;
    WritePart(r, r.parts[0], target);
    return eSuccess;
}

// --- the cutter --------------------------------------------------------------

IK::Point_3 ToIK(const MStlPoint* p) { return IK::Point_3(p->GetX(), p->GetY(), p->GetZ()); }

// An open cutter whose points share one plane becomes the prism it sweeps
// towards the back of its triangles, deep enough to pass `mesh`.  Its side
// walls run along the cutter's border.
EReturnCode BuildFlatCutterPrism(const MStlBase& cutter, const MStlBase& mesh, Mesh& out) {
    const MeshReport report = CheckMesh(cutter);
    if (report.nonManifoldEdges != 0 || !report.oriented || report.degenerateTriangles != 0) return eNotClosed;
    const MStlTriangle* first = *cutter.BeginTriangle();
    const IK::Point_3 a = ToIK(first->GetPoint(0)), b = ToIK(first->GetPoint(1)), c = ToIK(first->GetPoint(2));
    for (auto it = cutter.BeginPoint(); it != cutter.EndPoint(); ++it)
        if (CGAL::orientation(a, b, c, ToIK(*it)) != CGAL::COPLANAR) return eNotClosed;

    const Point ea(a.x(), a.y(), a.z()), eb(b.x(), b.y(), b.z()), ec(c.x(), c.y(), c.z());
    const K::Vector_3 normal = CGAL::cross_product(eb - ea, ec - ea);
    // Depth: twice the extent of both meshes, in whole multiples of the
    // normal so that the far points stay exact.
    double lo[3], hi[3];
    for (int i = 0; i < 3; ++i) {
        lo[i] = std::numeric_limits<double>::max();
        hi[i] = -lo[i];
    }
    for (const MStlBase* m : {&cutter, &mesh})
        for (auto it = m->BeginPoint(); it != m->EndPoint(); ++it)
            for (int i = 0; i < 3; ++i) {
                lo[i] = std::min(lo[i], double((*it)->Get(i)));
                hi[i] = std::max(hi[i], double((*it)->Get(i)));
            }
    const double extent = std::sqrt((hi[0] - lo[0]) * (hi[0] - lo[0]) + (hi[1] - lo[1]) * (hi[1] - lo[1]) +
                                    (hi[2] - lo[2]) * (hi[2] - lo[2]));
    const double length = std::sqrt(CGAL::to_double(normal.squared_length()));
    const double steps = std::ceil(2.0 * extent / length) + 1.0;
    const K::Vector_3 depth = normal * K::FT(-steps);

    out.clear();
    std::vector<Mesh::Vertex_index> top(cutter.GetNumberOfPointSlots()), bottom(cutter.GetNumberOfPointSlots());
    for (auto it = cutter.BeginPoint(); it != cutter.EndPoint(); ++it) {
        const Point p((*it)->GetX(), (*it)->GetY(), (*it)->GetZ());
        top[(*it)->GetIndex()] = out.add_vertex(p);
        bottom[(*it)->GetIndex()] = out.add_vertex(p + depth);
    }
    absl::flat_hash_map<uint64_t, uint8_t> directed;
    auto key = [](const MStlPoint* p, const MStlPoint* q) { return uint64_t(p->GetIndex()) << 32 | q->GetIndex(); };
    for (auto it = cutter.BeginTriangle(); it != cutter.EndTriangle(); ++it)
        for (int k = 0; k < 3; ++k) directed[key(it->GetPoint(k), it->GetPoint((k + 1) % 3))] = 1;
    for (auto it = cutter.BeginTriangle(); it != cutter.EndTriangle(); ++it) {
        const uint32_t i0 = it->GetPoint(0)->GetIndex(), i1 = it->GetPoint(1)->GetIndex(),
                       i2 = it->GetPoint(2)->GetIndex();
        if (out.add_face(top[i0], top[i1], top[i2]) == Mesh::null_face()) return eNotClosed;
        if (out.add_face(bottom[i0], bottom[i2], bottom[i1]) == Mesh::null_face()) return eNotClosed;
        for (int k = 0; k < 3; ++k) {
            const MStlPoint* p = it->GetPoint(k);
            const MStlPoint* q = it->GetPoint((k + 1) % 3);
            if (directed.contains(key(q, p))) continue;
            const uint32_t ip = p->GetIndex(), iq = q->GetIndex();
            if (out.add_face(top[iq], top[ip], bottom[ip]) == Mesh::null_face() ||
                out.add_face(top[iq], bottom[ip], bottom[iq]) == Mesh::null_face())
                return eNotClosed;
        }
    }
    if (!CGAL::is_closed(out)) return eNotClosed;
    return eSuccess;
}

}  // namespace

EReturnCode MrtOperatorCut::Operate(ProgressPtr progress) {
    MStlBase* mesh = m_params.mesh;
    const MStlBase* cutter = m_params.cutter;
    if (!mesh || !cutter || mesh == cutter) return eInvalidInput;
    if (mesh->GetNumberOfTriangles() == 0 || cutter->GetNumberOfTriangles() == 0) return eEmptyMesh;
    MStlFeature* inside = m_params.inside ? m_params.inside : mesh->GetMainFeature();
    MStlFeature* outside = m_params.outside ? m_params.outside : mesh->GetMainFeature();
    if (inside->GetStl() != mesh || outside->GetStl() != mesh) return eInvalidInput;

    IncrementalProgressReporter reporter(progress, "QelStlBoolean.MrtOperatorCut.Operate", 4);
    const AU::BooleanParameters prm;
    Mesh a, b;
    if (EReturnCode rc = LoadClosed(*mesh, a, prm); rc != eSuccess) return rc;
    if (HasDegenerateTriangle(*cutter)) return eInvalidInput;
    {
        uint64_t rejected = 0;
        b = QelSDK::Cgal::ToSurfaceMesh<Point>(*cutter, &rejected);
        if (rejected != 0) return eNotClosed;
        if (!CGAL::is_closed(b)) {
            if (EReturnCode rc = BuildFlatCutterPrism(*cutter, *mesh, b); rc != eSuccess) return rc;
        } else if (cutter->Volume() < 0) {
            return eNotClosed;
        }
    }
    ++reporter;
    if (reporter.IsCancelled()) return eCancelled;

    Mesh inter, diff;
    std::array<boost::optional<Mesh*>, 4> outputs;
    outputs[PMP::Corefinement::INTERSECTION] = &inter;
    outputs[PMP::Corefinement::TM1_MINUS_TM2] = &diff;
    if (EReturnCode rc = Guarded([&] {
            const auto done = PMP::corefine_and_compute_boolean_operations(a, b, outputs, Np(), Np());
            return done[PMP::Corefinement::INTERSECTION] && done[PMP::Corefinement::TM1_MINUS_TM2];
        });
        rc != eSuccess) {
        // CGAL's own consistency checks can stop it on an input that crosses
        // itself away from the other mesh; name that cause when it is the one.
        if (rc == eCorefinementFailed && (PMP::does_self_intersect(a) || PMP::does_self_intersect(b)))
            return eSelfIntersecting;
        return rc;
    }
    ++reporter;
    if (reporter.IsCancelled()) return eCancelled;

    Rounded r;
    if (EReturnCode rc = RoundParts({&inter, &diff}, r, true); rc != eSuccess) {
        // The corefinement checks only the faces near the other mesh for
        // self-intersections; an input crossing itself elsewhere can give a
        // broken result.  Name that cause when it is the one.
        if (PMP::does_self_intersect(a) || PMP::does_self_intersect(b)) return eSelfIntersecting;
        return rc;
    }
    ++reporter;
    if (reporter.IsCancelled()) return eCancelled;

    // Write-back.  Snapshot of what existed, so that untouched originals are
    // recognised and reused.
    MrtGroupManager ownGroups;
    MrtGroupManager& groups = m_groups ? *m_groups : ownGroups;
    groups.Clear();
    groups.Reserve(mesh->GetNumberOfTriangleSlots() + r.parts[0].size() + r.parts[1].size());
    std::vector<uint8_t> original(mesh->GetNumberOfTriangleSlots(), 0);  // 1 original, 2 reused
    for (auto it = mesh->BeginTriangle(); it != mesh->EndTriangle(); ++it) original[it->GetIndex()] = 1;
    std::vector<MStlPoint*> points(r.points.size());
    for (size_t i = 0; i < r.points.size(); ++i) {
        const Grid& g = r.points[i];
        points[i] = mesh->AddPoint(g[0], g[1], g[2]);
    }
    const uint32_t surfaceCount = mesh->GetNumberOfSurfaces();
    MStlFeature* features[2] = {inside, outside};
    std::vector<MStlSurface*> surfaceFor[2] = {std::vector<MStlSurface*>(surfaceCount, nullptr),
                                               std::vector<MStlSurface*>(surfaceCount, nullptr)};
    MStlSurface* added[2] = {nullptr, nullptr};
    MStlSurface* unassigned[2] = {nullptr, nullptr};
    auto newSurface = [&](int part, const std::wstring& name) {
        MStlSurface* s = mesh->AddSurface(nullptr);
        s->SetFeature(features[part]);
        s->SetName(name);
        return s;
    };
    auto findOriginal = [&](MStlPoint* p0, MStlPoint* p1, MStlPoint* p2) -> MStlTriangleElement* {
        for (uint16_t i = 0; i < p0->GetNumberOfNeighbourTriangles(); ++i) {
            MStlTriangleElement* t = p0->GetNeighbourTriangle(i);
            const uint32_t slot = t->GetIndex();
            if (slot >= original.size() || original[slot] != 1) continue;
            const int k = t->IndexOfPoint(p0);
            if (t->GetPoint((k + 1) % 3) == p1 && t->GetPoint((k + 2) % 3) == p2) return t;
        }
        return nullptr;
    };
    for (int part = 0; part < 2; ++part) {
        for (const Face& f : r.parts[size_t(part)]) {
            MStlPoint* p0 = points[f[0]];
            MStlPoint* p1 = points[f[1]];
            MStlPoint* p2 = points[f[2]];
            MStlTriangleElement* t = nullptr;
            if (!r.moved[f[0]] && !r.moved[f[1]] && !r.moved[f[2]]) t = findOriginal(p0, p1, p2);
            if (t) {
                original[t->GetIndex()] = 2;
                groups.Set(t, MrtGroupManager::eKept);
                MStlSurface* old = t->GetSurface();
                if (old && old->GetFeature() == features[part]) continue;
                MStlSurface*& target = old ? surfaceFor[part][old->GetIndex()] : unassigned[part];
                if (!target) target = newSurface(part, old ? old->GetName() : std::wstring());
                target->MoveTriangle(t);
                continue;
            }
            if (!added[part]) added[part] = newSurface(part, part == 0 ? L"cut inside" : L"cut outside");
            if (MStlTriangleElement* e = added[part]->AddTriangle(p0, p1, p2)) groups.Set(e, MrtGroupManager::eAdded);
        }
    }
    std::vector<MStlTriangle*> replaced;
    for (auto it = mesh->BeginTriangle(); it != mesh->EndTriangle(); ++it) {
        const uint32_t slot = it->GetIndex();
        if (slot < original.size() && original[slot] == 1 && groups.Get(*it) != MrtGroupManager::eAdded) {
            groups.Set(*it, MrtGroupManager::eDiscard);
            replaced.push_back(*it);
        }
    }
    // Without a group manager nobody could remove the replaced triangles.
    if (!m_groups)
        for (MStlTriangle* t : replaced) mesh->RemoveTriangle(t);
    mesh->Update();
    ++reporter;
    return eSuccess;
}

// --- subtraction from a non-manifold model ------------------------------------

bool MStlOperatorBooleanSubtractFromNonManifold::IsManifold(const MStlBase& mesh) {
    if (mesh.GetNumberOfTriangles() == 0) return false;
    const MeshReport report = CheckMesh(mesh);
    return report.closed && report.oriented;
}

int MStlOperatorBooleanSubtractFromNonManifold::Operate() {
    if (!m_model || !m_subtracted || m_model == m_subtracted) return eInvalidInput;
    if (m_model->GetNumberOfTriangles() == 0 || m_subtracted->GetNumberOfTriangles() == 0) return eEmptyMesh;
    const MeshReport report = CheckMesh(*m_subtracted);
    if (!report.closed || !report.oriented || report.volume <= 0) return eNotClosed;
    MStlBase& model = *m_model;
    model.UpdateExtremes();
    MStlBase tool;
    tool.AddStl(*m_subtracted, false);
    tool.UpdateExtremes();
    const bool overlap = model.GetXMin() <= tool.GetXMax() && tool.GetXMin() <= model.GetXMax() &&
                         model.GetYMin() <= tool.GetYMax() && tool.GetYMin() <= model.GetYMax() &&
                         model.GetZMin() <= tool.GetZMax() && tool.GetZMin() <= model.GetZMax();
    if (!overlap) {
        // Nothing of the model is inside the subtracted model.
        if (m_outside) model.RemoveTrianglesIf([](const MStlTriangle&) { return true; });
        model.RemoveFreePoints();
        model.Update();
        return eSuccess;
    }
    // The trim keeps the part inside its other mesh; the part outside is the
    // part inside the inverted copy.
    if (!m_outside) tool.Invert();
    MStlBaseOperatorTrimStlToStl trim;
    trim.SetStl(0, &model, true, false);
    trim.SetStl(1, &tool, false, false);
    if (!trim.Operate()) return eCorefinementFailed;
    model.RemoveFreePoints();
    model.Update();
    return eSuccess;
}

}  // namespace QelSDK::Triangles::Boolean

// --- AU functions -----------------------------------------------------------------

namespace AU {
namespace {
using namespace QelSDK::Triangles::Boolean;
using QelSDK::Common::IncrementalProgressReporter;
using QelSDK::Common::ProgressPtr;

EReturnCode LoadAll(const std::vector<const MStlBase*>& list, std::vector<Mesh>& out, const BooleanParameters& prm) {
    for (const MStlBase* m : list)
        if (!m) return eInvalidInput;
    out.resize(list.size());
    for (size_t i = 0; i < list.size(); ++i)
        if (EReturnCode rc = LoadClosed(*list[i], out[i], prm); rc != eSuccess) return rc;
    return eSuccess;
}

enum class Op { eUnion, eIntersection, eDifference };

EReturnCode Combine(Mesh& acc, Mesh& next, Op op) {
    Mesh out;
    const EReturnCode rc = Guarded([&] {
        switch (op) {
            case Op::eUnion: return PMP::corefine_and_compute_union(acc, next, out, Np(), Np());
            case Op::eIntersection: return PMP::corefine_and_compute_intersection(acc, next, out, Np(), Np());
            default: return PMP::corefine_and_compute_difference(acc, next, out, Np(), Np());
        }
    });
    if (rc == eSuccess) acc = std::move(out);
    else if (rc == eCorefinementFailed && (PMP::does_self_intersect(acc) || PMP::does_self_intersect(next)))
        return eSelfIntersecting;
    return rc;
}

// Folds the meshes with one operation, polling cancellation between steps.
EReturnCode Fold(std::vector<Mesh>& meshes, Op op, IncrementalProgressReporter& reporter) {
    for (size_t i = 1; i < meshes.size(); ++i) {
        if (reporter.IsCancelled()) return eCancelled;
        if (EReturnCode rc = Combine(meshes[0], meshes[i], op); rc != eSuccess) return rc;
        ++reporter;
    }
    return eSuccess;
}

}  // namespace

EReturnCode BooleanUnite(const std::vector<const MStlBase*>& meshes, MStlBase& result, const BooleanParameters& prm,
                         ProgressPtr progress) {
    if (meshes.empty()) return eInvalidInput;
    IncrementalProgressReporter reporter(progress, "QelStlBoolean.AU.BooleanUnite", meshes.size() + 1);
    std::vector<Mesh> converted;
    if (EReturnCode rc = LoadAll(meshes, converted, prm); rc != eSuccess) return rc;
    ++reporter;
    if (EReturnCode rc = Fold(converted, Op::eUnion, reporter); rc != eSuccess) return rc;
    if (reporter.IsCancelled()) return eCancelled;
    return WriteMesh(converted[0], result, prm);
}

EReturnCode BooleanIntersect(const std::vector<const MStlBase*>& meshes, MStlBase& result,
                             const BooleanParameters& prm, ProgressPtr progress) {
    if (meshes.empty()) return eInvalidInput;
    IncrementalProgressReporter reporter(progress, "QelStlBoolean.AU.BooleanIntersect", meshes.size() + 1);
    std::vector<Mesh> converted;
    if (EReturnCode rc = LoadAll(meshes, converted, prm); rc != eSuccess) return rc;
    ++reporter;
    if (EReturnCode rc = Fold(converted, Op::eIntersection, reporter); rc != eSuccess) return rc;
    if (reporter.IsCancelled()) return eCancelled;
    return WriteMesh(converted[0], result, prm);
}

EReturnCode BooleanSubtract(const std::vector<const MStlBase*>& minuends,
                            const std::vector<const MStlBase*>& subtrahends, MStlBase& result,
                            const BooleanParameters& prm, ProgressPtr progress) {
    if (minuends.empty()) return eInvalidInput;
    IncrementalProgressReporter reporter(progress, "QelStlBoolean.AU.BooleanSubtract",
                                         minuends.size() + subtrahends.size() + 1);
    std::vector<Mesh> plus, minus;
    if (EReturnCode rc = LoadAll(minuends, plus, prm); rc != eSuccess) return rc;
    if (EReturnCode rc = LoadAll(subtrahends, minus, prm); rc != eSuccess) return rc;
    ++reporter;
    if (EReturnCode rc = Fold(plus, Op::eUnion, reporter); rc != eSuccess) return rc;
    for (Mesh& m : minus) {
        if (reporter.IsCancelled()) return eCancelled;
        if (EReturnCode rc = Combine(plus[0], m, Op::eDifference); rc != eSuccess) return rc;
        ++reporter;
    }
    if (reporter.IsCancelled()) return eCancelled;
    return WriteMesh(plus[0], result, prm);
}

EReturnCode BooleanUnify(MStlBase& mesh, int /*mode*/, const BooleanParameters& prm, ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "QelStlBoolean.AU.BooleanUnify", 3);
    Mesh whole;
    if (EReturnCode rc = LoadClosed(mesh, whole, prm); rc != eSuccess) return rc;
    if (!PMP::does_self_intersect(whole)) return eSuccess;
    ++reporter;
    if (reporter.IsCancelled()) return eCancelled;
    // Overlapping shells: the union of the shells, each as its own solid.
    const MStlShellManager shells(mesh);
    EReturnCode rc = eSelfIntersecting;
    if (shells.GetNumberShells() > 1) {
        std::vector<std::unique_ptr<MStlBase>> parts;
        std::vector<const MStlBase*> list;
        for (uint32_t i = 0; i < shells.GetNumberShells(); ++i) {
            parts.push_back(std::make_unique<MStlBase>());
            CopyShell(*parts.back(), shells.GetShell(i));
            list.push_back(parts.back().get());
        }
        std::vector<Mesh> converted;
        rc = LoadAll(list, converted, prm);
        if (rc == eSuccess) rc = Fold(converted, Op::eUnion, reporter);
        if (rc == eSuccess) whole = std::move(converted[0]);
    }
    if (rc == eCancelled) return rc;
    if (rc != eSuccess) {
        // One shell crossing itself: refine it and keep the outer envelope.
        try {
            rc = PMP::experimental::autorefine_and_remove_self_intersections(whole) ? eSuccess : eSelfIntersecting;
        } catch (const std::exception&) {
            rc = eCorefinementFailed;
        }
        if (rc != eSuccess) return rc;
    }
    ++reporter;
    if (reporter.IsCancelled()) return eCancelled;
    return WriteMesh(whole, mesh, prm);
}

EReturnCode BooleanTrimNoGraphs(MStlBase& a, const MStlBase& b, bool keepInside, bool closeWithOther, bool reserved1,
                                bool reserved2, const BooleanParameters& prm, ProgressPtr progress) {
    if (reserved1 || reserved2 || &a == &b) return eInvalidInput;
    IncrementalProgressReporter reporter(progress, "QelStlBoolean.AU.BooleanTrimNoGraphs", 3);
    Mesh other;
    if (EReturnCode rc = LoadClosed(b, other, prm); rc != eSuccess) return rc;
    if (a.GetNumberOfTriangles() == 0) return eEmptyMesh;
    Mesh mine;
    if (closeWithOther) {
        if (EReturnCode rc = LoadClosed(a, mine, prm); rc != eSuccess) return rc;
        ++reporter;
        if (reporter.IsCancelled()) return eCancelled;
        if (EReturnCode rc = Combine(mine, other, keepInside ? Op::eIntersection : Op::eDifference); rc != eSuccess)
            return rc;
    } else {
        if (HasDegenerateTriangle(a)) return eInvalidInput;
        uint64_t rejected = 0;
        mine = QelSDK::Cgal::ToSurfaceMesh<Point>(a, &rejected);
        if (rejected != 0) return eNotClosed;
        ++reporter;
        if (reporter.IsCancelled()) return eCancelled;
        const Mesh tool = other;
        if (EReturnCode rc = Guarded([&] {
                PMP::split(mine, other, Np(), Np());
                return true;
            });
            rc != eSuccess)
            return rc;
        // Every piece lies wholly on one side; pieces on b's surface count as
        // inside.
        auto component = mine.add_property_map<Mesh::Face_index, std::size_t>("f:component", 0).first;
        const std::size_t count = PMP::connected_components(mine, component);
        std::vector<int8_t> keep(count, -1);
        CGAL::Side_of_triangle_mesh<Mesh, K> side(tool);
        for (auto f : mine.faces()) {
            int8_t& k = keep[component[f]];
            if (k != -1 && k != 2) continue;
            auto h = mine.halfedge(f);
            const Point c = CGAL::centroid(mine.point(mine.source(h)), mine.point(mine.target(h)),
                                           mine.point(mine.target(mine.next(h))));
            const CGAL::Bounded_side s = side(c);
            if (s == CGAL::ON_BOUNDARY) {
                k = 2;
                continue;
            }
            k = int8_t((s == CGAL::ON_BOUNDED_SIDE) == keepInside ? 1 : 0);
        }
        for (int8_t& k : keep)
            if (k == 2) k = keepInside ? 1 : 0;
        std::vector<Mesh::Face_index> drop;
        for (auto f : mine.faces())
            if (keep[component[f]] == 0) drop.push_back(f);
        for (auto f : drop) CGAL::Euler::remove_face(mine.halfedge(f), mine);
        mine.collect_garbage();
    }
    ++reporter;
    if (reporter.IsCancelled()) return eCancelled;
    BooleanParameters writing = prm;
    // An open trim result has border edges by design; only the closed one
    // can be checked for them.
    if (!closeWithOther) writing.checkRounding = false;
    return WriteMesh(mine, a, writing);
}

EReturnCode BooleanSplitAlongSurface(MStlBase& a, const MStlBase& cutter, const BooleanParameters& prm,
                                     ProgressPtr progress) {
    if (&a == &cutter) return eInvalidInput;
    if (a.GetNumberOfTriangles() == 0 || cutter.GetNumberOfTriangles() == 0) return eEmptyMesh;
    IncrementalProgressReporter reporter(progress, "QelStlBoolean.AU.BooleanSplitAlongSurface", 3);
    if (HasDegenerateTriangle(a)) return eInvalidInput;
    // A triangle without area cuts nothing: the cutter goes without them.
    MStlBase clean;
    clean.AddStl(cutter, false);
    clean.RemoveTrianglesIf([](const MStlTriangle& t) { return t.IsZeroArea(); });
    if (clean.GetNumberOfTriangles() == 0) return eEmptyMesh;
    uint64_t rejectedA = 0, rejectedCutter = 0;
    Mesh mine = QelSDK::Cgal::ToSurfaceMesh<Point>(a, &rejectedA);
    Mesh tool = QelSDK::Cgal::ToSurfaceMesh<Point>(clean, &rejectedCutter);
    if (rejectedA != 0 || rejectedCutter != 0) return eInvalidInput;
    if (prm.checkWholeInput && (PMP::does_self_intersect(mine) || PMP::does_self_intersect(tool)))
        return eSelfIntersecting;
    ++reporter;
    if (reporter.IsCancelled()) return eCancelled;
    if (EReturnCode rc = Guarded([&] {
            PMP::split(mine, tool, Np(), Np());
            return true;
        });
        rc != eSuccess)
        return rc;
    ++reporter;
    if (reporter.IsCancelled()) return eCancelled;
    // Every vertex of the split mesh becomes a point of its own, so that the
    // two sides of a cut keep apart.
    MStlBase out;
    out.Reserve(mine.number_of_vertices(), mine.number_of_faces());
    std::vector<MStlPoint*> points(mine.number_of_vertices() + mine.number_of_removed_vertices(), nullptr);
    for (auto v : mine.vertices()) {
        Grid g{};
        bool moved = false;
        if (!Rounded::RoundPoint(mine.point(v), g, moved)) return eRoundingBrokeResult;
        points[v.idx()] = out.AddPoint(g[0], g[1], g[2], true);
    }
    MStlSurface* surface = out.AddSurface(nullptr);
    for (auto f : mine.faces()) {
        MStlPoint* p[3] = {nullptr, nullptr, nullptr};
        int i = 0;
        for (auto v : CGAL::vertices_around_face(mine.halfedge(f), mine))
            if (i < 3) p[i++] = points[v.idx()];
        out.AddTriangle(p, surface);
    }
    out.SetName(a.GetName());
    a.ClearStl(false);
    out.MoveTo(a);
    a.Update();
    ++reporter;
    return eSuccess;
}

void CopyShell(MStlBase& target, const MStlShell& shell) {
    absl::flat_hash_map<const MStlSurface*, MStlSurface*> surfaces;
    for (const MStlTriangleElement* t : shell) {
        if (!t) continue;
        MStlSurface*& s = surfaces[t->GetSurface()];
        if (!s) {
            s = target.AddSurface(nullptr);
            if (t->GetSurface()) s->SetName(t->GetSurface()->GetName());
        }
        MStlPoint* p[3];
        for (int k = 0; k < 3; ++k) p[k] = target.AddPoint(t->GetPoint(k));
        target.AddTriangle(p, s);
    }
}

void RemoveDoubleTrianglesAndUpdateStl(MStlBase& mesh, ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "QelStlBoolean.AU.RemoveDoubleTrianglesAndUpdateStl", 2);
    struct Key {
        uint32_t p[3];
        bool operator==(const Key& o) const { return p[0] == o.p[0] && p[1] == o.p[1] && p[2] == o.p[2]; }
    };
    struct KeyHash {
        size_t operator()(const Key& k) const {
            return size_t((uint64_t(k.p[0]) * 0x9E3779B97F4A7C15ull) ^ (uint64_t(k.p[1]) * 0xC2B2AE3D27D4EB4Full) ^
                          (uint64_t(k.p[2]) * 0x165667B19E3779F9ull));
        }
    };
    // Per set of three points: the first triangle of each orientation seen.
    struct Seen {
        MStlTriangle* first[2] = {nullptr, nullptr};
    };
    absl::flat_hash_map<Key, Seen, KeyHash> seen;
    seen.reserve(mesh.GetNumberOfTriangles());
    std::vector<MStlTriangle*> remove;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        uint32_t i[3] = {it->GetPoint(0)->GetIndex(), it->GetPoint(1)->GetIndex(), it->GetPoint(2)->GetIndex()};
        // Rotate the smallest index first; the order of the other two gives
        // the orientation.
        const int m = i[0] < i[1] ? (i[0] < i[2] ? 0 : 2) : (i[1] < i[2] ? 1 : 2);
        const uint32_t a = i[m], b = i[(m + 1) % 3], c = i[(m + 2) % 3];
        const int orientation = b < c ? 0 : 1;
        Key key{{a, std::min(b, c), std::max(b, c)}};
        Seen& s = seen[key];
        if (s.first[orientation]) remove.push_back(*it);
        else s.first[orientation] = *it;
    }
    ++reporter;
    for (auto& [key, s] : seen)
        if (s.first[0] && s.first[1]) {
            remove.push_back(s.first[0]);
            remove.push_back(s.first[1]);
        }
    for (MStlTriangle* t : remove) mesh.RemoveTriangle(t);
    mesh.RemoveFreePoints();
    mesh.Update();
    ++reporter;
}

}  // namespace AU

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
#include <CGAL/Polygon_mesh_processing/orientation.h>
#include <CGAL/Polygon_mesh_processing/self_intersections.h>
#include <CGAL/Side_of_triangle_mesh.h>
#include <CGAL/Surface_mesh.h>
#include <CGAL/box_intersection_d.h>
#include <absl/container/flat_hash_map.h>
#include <tbb/blocked_range.h>
#include <tbb/combinable.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>

#include "MStlBaseOperatorTrimStlToStl.h"
#include "host/MCgalMesh.h"
#include "host/MStlChecker.h"
#include "host/MUnionFind.h"

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

// Converts a mesh that must bound a volume, over exact points or (for
// predicates only) over doubles, which hold grid points exactly.
template <class P>
EReturnCode LoadClosed(const MStlBase& m, CGAL::Surface_mesh<P>& out, const AU::BooleanParameters& prm) {
    if (m.GetNumberOfTriangles() == 0) return eEmptyMesh;
    if (HasDegenerateTriangle(m)) return eInvalidInput;
    uint64_t rejected = 0;
    out = QelSDK::Cgal::ToSurfaceMesh<P>(m, &rejected);
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
    explicit RoundingRepair(Rounded& r) : m_r(r), m_parent(r.points.size()), m_new(r.moved) {
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
            if (!wider && round >= kFlattenFrom)
                for (auto& part : m_r.parts) {
                    const std::vector<uint32_t> bad = UnsoundFaces(m_r, part, false);
                    if (!bad.empty()) changed |= FlattenNeedles(part, bad);
                }
            if (!changed && !wider) return false;
            if (changed) for (auto& part : m_r.parts) Remap(part);
            if (!changed || round >= 1) m_maxSquaredLength = std::min(4.0 * m_maxSquaredLength, kLastSquaredLength);
        }
        for (const auto& part : m_r.parts)
            if (!PartSound(m_r, part)) return false;
        return true;
    }

private:
    static constexpr int kRounds = 12;
    // Rounds after which flattening needles joins the flips and collapses:
    // by then the collapses take the longest edges they may.
    static constexpr int kFlattenFrom = 4;
    // Only edges the rounding itself can have made short are collapsed: two
    // grid diagonals at first, a few more when that does not settle it.  A
    // fold between points farther apart is not the grid's doing (an input
    // crossing itself, say) and stays refused.
    static constexpr double kFirstSquaredLength = 12.0, kLastSquaredLength = 200.0;
    double m_maxSquaredLength = kFirstSquaredLength;
    static constexpr double kNeedleHeight = 2.0;
    static constexpr double kFlatHeight = 1.0;

    IK::Point_3 P(uint32_t i) const { return ToIK(m_r.points[i]); }

    // A needle is a face whose corner lies within a grid step or two of the
    // opposite (longest) edge; rounding can push that corner across.
    // Flipping that edge removes the needle without moving any point.  The
    // corner's distance from the edge bounds how far the two new faces lie
    // from the two old ones, so the flip changes the shape no more than the
    // rounding did; the next round checks the new faces like any other.
    // Returns whether it flipped any edge.
    bool FlipNeedles(std::vector<Face>& faces, const std::vector<uint32_t>& bad, std::vector<uint8_t>& fixed) {
        bool flipped = false;
        auto key = [](uint32_t u, uint32_t v) { return uint64_t(u) << 32 | v; };
        // The needle is often not a bad face itself but a neighbour of two
        // that now cross, so the faces at the bad faces' corners are tried;
        // the edges of the faces around those are all a flip can meet.
        std::vector<uint8_t> near = CornersOf(faces, bad);
        auto touches = [&](const Face& f, uint8_t ring) {
            return near[f[0]] == ring || near[f[1]] == ring || near[f[2]] == ring;
        };
        std::vector<uint32_t> tried;
        for (uint32_t i = 0; i < faces.size(); ++i)
            if (touches(faces[i], 1)) tried.push_back(i);
        for (uint32_t i : tried)
            for (uint32_t v : faces[i])
                if (!near[v]) near[v] = 2;
        absl::flat_hash_map<uint64_t, uint32_t> faceOf;
        for (uint32_t i = 0; i < faces.size(); ++i) {
            const Face& f = faces[i];
            if (!touches(f, 1) && !touches(f, 2)) continue;
            for (int k = 0; k < 3; ++k) faceOf[key(f[size_t(k)], f[size_t((k + 1) % 3)])] = i;
        }
        for (uint32_t i : tried) {
            if (fixed[i]) continue;
            const Face f = faces[i];
            const auto [a, b, c] = LongestEdgeFirst(f);
            if (!m_r.moved[a] && !m_r.moved[b] && !m_r.moved[c]) continue;  // the input's own face
            if (Height(a, b, c) > kNeedleHeight) continue;
            auto across = faceOf.find(key(b, a));
            if (across == faceOf.end() || fixed[across->second]) continue;
            const uint32_t g = across->second;
            const Face& h = faces[g];
            const uint32_t d = h[0] != a && h[0] != b ? h[0] : h[1] != a && h[1] != b ? h[1] : h[2];
            if (d == c || faceOf.contains(key(c, d)) || faceOf.contains(key(d, c))) continue;
            if (CGAL::collinear(P(a), P(d), P(c)) || CGAL::collinear(P(d), P(b), P(c))) continue;
            // A needle with a short edge is the collapse's to mend, unless
            // the two faces still share one plane after the rounding.
            if (HasShortMovedEdge(f) && CGAL::orientation(P(a), P(b), P(c), P(d)) != CGAL::COPLANAR) continue;
            faces[i] = {a, d, c};
            faces[g] = {d, b, c};
            fixed[i] = fixed[g] = 1;
            faceOf[key(d, c)] = i;
            faceOf[key(c, d)] = g;
            flipped = true;
        }
        return flipped;
    }
    // The last resort, when neither flips nor short collapses settle it: a
    // needle whose corners are all points the cut made, its apex within a grid step
    // of the opposite edge, lies along the line where the surfaces meet.
    // Its apex is moved along that line onto the nearer end of the edge, so
    // the faces at the apex keep their planes.
    bool FlattenNeedles(const std::vector<Face>& faces, const std::vector<uint32_t>& bad) {
        const std::vector<uint8_t> near = CornersOf(faces, bad);
        bool flattened = false;
        for (const Face& f : faces) {
            if (!near[f[0]] && !near[f[1]] && !near[f[2]]) continue;
            const auto corners = LongestEdgeFirst(f);
            const uint32_t a = Find(corners[0]), b = Find(corners[1]), c = Find(corners[2]);
            if (a == b || b == c || c == a || !m_new[a] || !m_new[b] || !m_new[c]) continue;
            if (Height(a, b, c) > kFlatHeight) continue;
            const uint32_t to = SquaredLength(c, a) <= SquaredLength(c, b) ? a : b;
            m_parent[c] = to;
            flattened = true;
        }
        return flattened;
    }
    // The face's corners turned so that a-b is its longest edge and c the
    // corner opposite it.
    Face LongestEdgeFirst(const Face& f) const {
        int longest = 0;
        for (int k = 1; k < 3; ++k)
            if (SquaredLength(f[size_t(k)], f[size_t((k + 1) % 3)]) >
                SquaredLength(f[size_t(longest)], f[size_t((longest + 1) % 3)]))
                longest = k;
        return {f[size_t(longest)], f[size_t((longest + 1) % 3)], f[size_t((longest + 2) % 3)]};
    }
    // 1 at every corner of the faces `bad`, 0 elsewhere.
    std::vector<uint8_t> CornersOf(const std::vector<Face>& faces, const std::vector<uint32_t>& bad) const {
        std::vector<uint8_t> corner(m_r.points.size(), 0);
        for (uint32_t i : bad)
            for (uint32_t v : faces[i]) corner[v] = 1;
        return corner;
    }
    // Whether the face has an edge at a moved point short enough for the
    // collapse to take, which needs no flip.
    bool HasShortMovedEdge(const Face& f) const {
        for (int k = 0; k < 3; ++k) {
            const uint32_t u = f[size_t(k)], v = f[size_t((k + 1) % 3)];
            if ((m_r.moved[u] || m_r.moved[v]) && SquaredLength(u, v) <= kFirstSquaredLength) return true;
        }
        return false;
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
    const std::vector<uint8_t> m_new;  // the points the cut made: all on the lines where the surfaces meet
};

// Rounds the meshes onto one grid and checks each part, repairing what the
// rounding folded where it can.
EReturnCode CheckRounded(Rounded& r, bool check) {
    if (r.outOfRange) return eRoundingBrokeResult;
    if (!check) return eSuccess;
    for (const auto& part : r.parts)
        if (!PartSound(r, part)) return RoundingRepair(r).Run() ? eSuccess : eRoundingBrokeResult;
    return eSuccess;
}

EReturnCode RoundParts(const std::vector<const Mesh*>& meshes, Rounded& out, bool check) {
    for (const Mesh* m : meshes) {
        out.AddMesh(*m);
        if (out.outOfRange) return eRoundingBrokeResult;
    }
    return CheckRounded(out, check);
}

// The faces in an order fixed by their coordinates alone, each starting at
// its smallest corner.  The corefinement's own order follows where its
// internal records were allocated and changes from run to run.
std::vector<Face> CanonicalOrder(const Rounded& r, const std::vector<Face>& faces) {
    std::vector<Face> sorted(faces);
    for (Face& f : sorted) {
        const size_t s = r.points[f[0]] < r.points[f[1]] ? (r.points[f[0]] < r.points[f[2]] ? 0 : 2)
                                                          : (r.points[f[1]] < r.points[f[2]] ? 1 : 2);
        f = {f[s], f[(s + 1) % 3], f[(s + 2) % 3]};
    }
    std::sort(sorted.begin(), sorted.end(), [&](const Face& a, const Face& b) {
        for (size_t k = 0; k < 3; ++k)
            if (a[k] != b[k]) return r.points[a[k]] < r.points[b[k]];
        return false;
    });
    return sorted;
}

// Replaces the mesh's content by one rounded part, in one new surface.
void WritePart(const Rounded& r, const std::vector<Face>& unordered, MStlBase& target) {
    const std::vector<Face> faces = CanonicalOrder(r, unordered);
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

// --- cutting by patches ----------------------------------------------------
//
// A cut changes the meshes only where their surfaces meet.  Only the faces
// of each input whose boxes meet a box of the other input's faces (the
// patches) are converted to exact points and corefined; every other face
// keeps its integer points.  The faces of each input then fall into pieces
// bounded by the cut curves, and one point-in-solid test per piece says
// which part it goes to.

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

// A closed input as indexed triangles: faces by triangle slot (a free slot
// holds kNone corners), points by point slot.
struct Soup {
    std::vector<std::array<double, 3>> xyz;  // the points; exact when `exact` is empty
    std::vector<Point> exact;                // the points, when they are not all on the grid
    std::vector<Face> faces;
    std::vector<std::array<uint32_t, 3>> across;  // the face beyond edge k (corner k to k + 1)
    std::vector<uint32_t> fanStart, fan;          // the faces around each point

    bool Live(uint32_t f) const { return faces[f][0] != kNone; }
    Point ExactPoint(uint32_t v) const { return exact.empty() ? Point(xyz[v][0], xyz[v][1], xyz[v][2]) : exact[v]; }
    CGAL::Bbox_3 PointBox(uint32_t v) const {
        if (!exact.empty()) return exact[v].bbox();
        const auto& p = xyz[v];
        return CGAL::Bbox_3(p[0], p[1], p[2], p[0], p[1], p[2]);
    }
    CGAL::Bbox_3 FaceBox(uint32_t f) const {
        return PointBox(faces[f][0]) + PointBox(faces[f][1]) + PointBox(faces[f][2]);
    }
    // The corner of face f at point v (0 to 2).
    int CornerOf(uint32_t f, uint32_t v) const { return faces[f][0] == v ? 0 : faces[f][1] == v ? 1 : 2; }
    // The face after f turning around its corner v.
    uint32_t NextAround(uint32_t f, uint32_t v) const { return across[f][size_t((CornerOf(f, v) + 2) % 3)]; }
    std::pair<const uint32_t*, const uint32_t*> Fan(uint32_t v) const {
        return {fan.data() + fanStart[v], fan.data() + fanStart[size_t(v) + 1]};
    }

    // Builds the fans and the faces across each edge; false unless every
    // edge is run exactly once each way (closed, manifold, oriented).
    bool Link() {
        const size_t n = xyz.size();
        fanStart.assign(n + 1, 0);
        for (const Face& f : faces)
            if (f[0] != kNone)
                for (uint32_t v : f) ++fanStart[size_t(v) + 1];
        for (size_t i = 0; i < n; ++i) fanStart[i + 1] += fanStart[i];
        fan.resize(fanStart[n]);
        std::vector<uint32_t> fill(fanStart.begin(), fanStart.end() - 1);
        for (uint32_t f = 0; f < faces.size(); ++f)
            if (Live(f))
                for (uint32_t v : faces[f]) fan[fill[v]++] = f;
        across.assign(faces.size(), {kNone, kNone, kNone});
        std::atomic<bool> ok = true;
        tbb::parallel_for(tbb::blocked_range<uint32_t>(0, uint32_t(faces.size()), 4096), [&](const auto& range) {
            for (uint32_t f = range.begin(); f != range.end(); ++f) {
                if (!Live(f)) continue;
                for (int k = 0; k < 3; ++k) {
                    const uint32_t u = faces[f][size_t(k)], v = faces[f][size_t((k + 1) % 3)];
                    int reverse = 0;
                    auto [g, end] = Fan(u);
                    for (; g != end; ++g) {
                        if (*g == f) continue;
                        const int j = CornerOf(*g, u);
                        if (faces[*g][size_t((j + 1) % 3)] == v) reverse = 2;  // the same edge run twice the same way
                        if (faces[*g][size_t((j + 2) % 3)] == v) ++reverse, across[f][size_t(k)] = *g;
                    }
                    if (reverse != 1) ok = false;
                }
            }
        });
        return ok;
    }
};

Soup SoupOf(const MStlBase& m) {
    Soup s;
    s.xyz.assign(m.GetNumberOfPointSlots(), {0.0, 0.0, 0.0});
    for (auto it = m.BeginPoint(); it != m.EndPoint(); ++it)
        s.xyz[(*it)->GetIndex()] = {double((*it)->GetX()), double((*it)->GetY()), double((*it)->GetZ())};
    s.faces.resize(m.GetNumberOfTriangleSlots());
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, m.GetNumberOfTriangleSlots(), 4096), [&](const auto& range) {
        for (uint32_t slot = range.begin(); slot != range.end(); ++slot) {
            const MStlTriangle* t = m.GetTriangleBySlot(slot);
            s.faces[slot] = t ? Face{t->GetPoint(0)->GetIndex(), t->GetPoint(1)->GetIndex(), t->GetPoint(2)->GetIndex()}
                              : Face{kNone, kNone, kNone};
        }
    });
    return s;
}

Soup SoupOf(const Mesh& m) {
    Soup s;
    for (auto v : m.vertices()) {
        s.exact.push_back(m.point(v));
        s.xyz.push_back({CGAL::to_double(m.point(v).x()), CGAL::to_double(m.point(v).y()),
                         CGAL::to_double(m.point(v).z())});
    }
    for (auto f : m.faces()) {
        Face t{};
        int i = 0;
        for (auto v : CGAL::vertices_around_face(m.halfedge(f), m)) t[size_t(i++)] = uint32_t(v.idx());
        s.faces.push_back(t);
    }
    return s;
}

using FaceBox = CGAL::Box_intersection_d::Box_with_info_d<double, 3, uint32_t>;

std::vector<FaceBox> FaceBoxes(const Soup& s, const CGAL::Bbox_3& within) {
    std::vector<FaceBox> out;
    for (uint32_t f = 0; f < s.faces.size(); ++f) {
        if (!s.Live(f)) continue;
        const CGAL::Bbox_3 b = s.FaceBox(f);
        if (CGAL::do_overlap(b, within)) out.emplace_back(b, f);
    }
    return out;
}

CGAL::Bbox_3 Span(const Soup& s) {
    CGAL::Bbox_3 b;
    for (uint32_t f = 0; f < s.faces.size(); ++f)
        if (s.Live(f)) b += s.FaceBox(f);
    return b;
}

// Marks the faces of each soup whose boxes meet a box of the other's faces:
// every point where the surfaces meet lies in marked faces of both.
void MarkNearFaces(const Soup& a, const Soup& b, std::vector<uint8_t>& nearA, std::vector<uint8_t>& nearB) {
    nearA.assign(a.faces.size(), 0);
    nearB.assign(b.faces.size(), 0);
    std::vector<FaceBox> boxesB = FaceBoxes(b, Span(a));
    if (boxesB.empty()) return;
    CGAL::Bbox_3 spanB;
    for (const FaceBox& x : boxesB) spanB += x.bbox();
    std::vector<FaceBox> boxesA = FaceBoxes(a, spanB);
    // A coarse grid passes over most faces far from the other surface
    // before the pairwise search.
    const CellMarks marksB(boxesB, spanB);
    std::erase_if(boxesA, [&](const FaceBox& x) { return !marksB.Touches(x.bbox()); });
    if (boxesA.empty()) return;
    CGAL::Bbox_3 spanA;
    for (const FaceBox& x : boxesA) spanA += x.bbox();
    const CellMarks marksA(boxesA, spanA);
    std::erase_if(boxesB, [&](const FaceBox& x) { return !marksA.Touches(x.bbox()); });
    CGAL::box_intersection_d(boxesA.begin(), boxesA.end(), boxesB.begin(), boxesB.end(),
                             [&](const FaceBox& x, const FaceBox& y) {
                                 nearA[x.info()] = 1;
                                 nearB[y.info()] = 1;
                             });
}

// Widens the marked faces until no point has its marked faces in more than
// one fan (a pinched point the corefinement cannot take): such a point gets
// all its faces.  False when a point of the patch is pinched in the whole
// mesh (two cones meeting at a point).
bool WidenPatch(const Soup& s, std::vector<uint8_t>& in) {
    std::vector<uint32_t> work;
    for (uint32_t f = 0; f < in.size(); ++f)
        if (in[f]) work.insert(work.end(), s.faces[f].begin(), s.faces[f].end());
    std::vector<uint8_t> checked(s.xyz.size(), 0);
    while (!work.empty()) {
        const uint32_t v = work.back();
        work.pop_back();
        auto [begin, end] = s.Fan(v);
        const size_t degree = size_t(end - begin);
        if (!checked[v]) {
            checked[v] = 1;
            size_t steps = 1;
            for (uint32_t g = s.NextAround(*begin, v); g != *begin && steps <= degree; g = s.NextAround(g, v)) ++steps;
            if (steps != degree) return false;
        }
        size_t marked = 0, fans = 0;
        for (auto g = begin; g != end; ++g)
            if (in[*g]) {
                ++marked;
                fans += !in[s.NextAround(*g, v)];
            }
        if (marked == degree || fans <= 1) continue;
        for (auto g = begin; g != end; ++g)
            if (!in[*g]) {
                in[*g] = 1;
                work.insert(work.end(), s.faces[*g].begin(), s.faces[*g].end());
            }
    }
    return true;
}

// Pairs of near faces, one of each soup, on the same three grid points:
// the surfaces coincide there, which needs no corefinement.
using FacePairs = std::vector<std::pair<uint32_t, uint32_t>>;

FacePairs CoincidentFaces(const Soup& a, const Soup& b, const std::vector<uint8_t>& nearA,
                          const std::vector<uint8_t>& nearB) {
    FacePairs pairs;
    if (!a.exact.empty() || !b.exact.empty()) return pairs;
    using Key = std::array<double, 9>;
    auto key = [](const Soup& s, uint32_t f) {
        std::array<std::array<double, 3>, 3> corners{s.xyz[s.faces[f][0]], s.xyz[s.faces[f][1]], s.xyz[s.faces[f][2]]};
        std::sort(corners.begin(), corners.end());
        Key k;
        for (size_t i = 0; i < 9; ++i) k[i] = corners[i / 3][i % 3];
        return k;
    };
    absl::flat_hash_map<Key, uint32_t> faceOfB;
    for (uint32_t g = 0; g < nearB.size(); ++g)
        if (nearB[g]) faceOfB.try_emplace(key(b, g), g);
    for (uint32_t f = 0; f < nearA.size(); ++f)
        if (nearA[f])
            if (auto it = faceOfB.find(key(a, f)); it != faceOfB.end()) pairs.emplace_back(f, it->second);
    return pairs;
}

// Whether two coincident faces run their corners the same way round.
bool SameTurn(const Soup& a, uint32_t f, const Soup& b, uint32_t g) {
    const auto& first = a.xyz[a.faces[f][0]];
    const int k = b.xyz[b.faces[g][0]] == first ? 0 : b.xyz[b.faces[g][1]] == first ? 1 : 2;
    return b.xyz[b.faces[g][size_t((k + 1) % 3)]] == a.xyz[a.faces[f][1]];
}

// Widens both patches (WidenPatch), keeping each coincident pair together:
// both its faces are corefined, or neither.
bool WidenPatches(const Soup& a, const Soup& b, const FacePairs& pairs, std::vector<uint8_t>& inA,
                  std::vector<uint8_t>& inB) {
    for (;;) {
        if (!WidenPatch(a, inA) || !WidenPatch(b, inB)) return false;
        bool changed = false;
        for (auto [f, g] : pairs)
            if (inA[f] != inB[g]) {
                inA[f] = inB[g] = 1;
                changed = true;
            }
        if (!changed) return true;
    }
}

// The marked faces of a soup as a surface mesh over exact points.  Its
// first `originals` vertices are soup points (`pointOf`); the
// corefinement appends the new ones.
struct Patch {
    Mesh mesh;
    std::vector<uint32_t> pointOf;
    uint32_t originals = 0;
    Mesh::Property_map<Mesh::Edge_index, bool> cut;

    bool Build(const Soup& s, const std::vector<uint8_t>& in) {
        std::vector<uint32_t> vertexOf(s.xyz.size(), kNone);
        for (uint32_t f = 0; f < in.size(); ++f) {
            if (!in[f]) continue;
            std::array<Mesh::Vertex_index, 3> corner;
            for (int k = 0; k < 3; ++k) {
                const uint32_t v = s.faces[f][size_t(k)];
                if (vertexOf[v] == kNone) {
                    vertexOf[v] = uint32_t(pointOf.size());
                    pointOf.push_back(v);
                    mesh.add_vertex(s.ExactPoint(v));
                }
                corner[size_t(k)] = Mesh::Vertex_index(vertexOf[v]);
            }
            if (mesh.add_face(corner[0], corner[1], corner[2]) == Mesh::null_face()) return false;
        }
        originals = uint32_t(pointOf.size());
        cut = mesh.add_property_map<Mesh::Edge_index, bool>("e:cut", false).first;
        return true;
    }
    bool IsOriginal(Mesh::Vertex_index v) const { return v.idx() < originals; }
    std::array<Mesh::Vertex_index, 3> Corners(Mesh::Face_index f) const {
        auto h = mesh.halfedge(f);
        return {mesh.target(mesh.prev(h)), mesh.target(h), mesh.target(mesh.next(h))};
    }
};

// Crossing of the ray from q along +x with face f: 1 when it crosses, 0
// when not, 2 when q lies on the face.  The ray's start is moved by
// (ε, ε²) in y and z (a symbolic perturbation), so that it passes no edge
// or corner and every crossing is counted exactly once.
template <class Kernel>
int RayCrossing(const typename Kernel::Point_3& a, const typename Kernel::Point_3& b, const typename Kernel::Point_3& c,
                const typename Kernel::Point_3& q) {
    const CGAL::Orientation height = CGAL::orientation(a, b, c, q);
    if (height == CGAL::COPLANAR) return typename Kernel::Triangle_3(a, b, c).has_on(q) ? 2 : 0;
    using P2 = typename Kernel::Point_2;
    const P2 pa(a.y(), a.z()), pb(b.y(), b.z()), pc(c.y(), c.z()), pq(q.y(), q.z());
    const CGAL::Orientation turn = CGAL::orientation(pa, pb, pc);
    if (turn == CGAL::COLLINEAR) return 0;
    auto side = [&](const P2& u, const P2& v) {
        const CGAL::Orientation o = CGAL::orientation(u, v, pq);
        if (o != CGAL::COLLINEAR) return o;
        // On the edge's line: the perturbation decides, first by ε, then ε².
        const CGAL::Comparison_result z = CGAL::compare(u.y(), v.y());
        if (z != CGAL::EQUAL) return z == CGAL::LARGER ? CGAL::POSITIVE : CGAL::NEGATIVE;
        return CGAL::compare(v.x(), u.x()) == CGAL::LARGER ? CGAL::POSITIVE : CGAL::NEGATIVE;
    };
    if (side(pa, pb) != turn || side(pb, pc) != turn || side(pc, pa) != turn) return 0;
    // The face's plane lies ahead of q along +x.
    return height == -turn ? 1 : 0;
}

// The same over the soup's face f.  A query on the grid against a soup on
// the grid is decided over doubles, whose predicates are exact there and
// need no exact numbers.
int RayCrossing(const Soup& s, uint32_t f, const Point& q, const std::optional<IK::Point_3>& onGrid) {
    const Face& t = s.faces[f];
    if (onGrid && s.exact.empty()) {
        auto P = [&](uint32_t v) { return IK::Point_3(s.xyz[v][0], s.xyz[v][1], s.xyz[v][2]); };
        return RayCrossing<IK>(P(t[0]), P(t[1]), P(t[2]), *onGrid);
    }
    return RayCrossing<K>(s.ExactPoint(t[0]), s.ExactPoint(t[1]), s.ExactPoint(t[2]), q);
}

// The point as doubles when its coordinates are doubles exactly.
std::optional<IK::Point_3> AsDoubles(const Point& p) {
    const auto& approx = CGAL::approx(p);
    for (int k = 0; k < 3; ++k)
        if (approx[k].inf() != approx[k].sup()) return std::nullopt;
    return IK::Point_3(approx[0].inf(), approx[1].inf(), approx[2].inf());
}

// Which side of the closed soup each query point lies on, by the parity of
// its ray crossings; all queries in one parallel pass over the faces.
std::vector<CGAL::Bounded_side> SidesOf(const Soup& s, const std::vector<Point>& queries) {
    const size_t n = queries.size();
    std::vector<CGAL::Bounded_side> sides(n, CGAL::ON_UNBOUNDED_SIDE);
    if (n == 0) return sides;
    // The queries on a grid over y and z, each in the cell of its box's
    // low corner.
    std::vector<CGAL::Bbox_3> box(n);
    std::vector<std::optional<IK::Point_3>> onGrid(n);
    CGAL::Bbox_3 span;
    double width = 0.0;
    for (size_t i = 0; i < n; ++i) {
        onGrid[i] = AsDoubles(queries[i]);
        box[i] = queries[i].bbox();
        span += box[i];
        width = std::max({width, box[i].ymax() - box[i].ymin(), box[i].zmax() - box[i].zmin()});
    }
    const int cells = std::clamp(int(std::sqrt(double(n) / 2.0)), 1, 1024);
    const double cy = std::max(span.ymax() - span.ymin(), 1.0) / cells, cz = std::max(span.zmax() - span.zmin(), 1.0) / cells;
    auto cellY = [&](double y) { return std::clamp(int((y - span.ymin()) / cy), 0, cells - 1); };
    auto cellZ = [&](double z) { return std::clamp(int((z - span.zmin()) / cz), 0, cells - 1); };
    std::vector<std::vector<uint32_t>> bucket(size_t(cells) * size_t(cells));
    for (size_t i = 0; i < n; ++i)
        bucket[size_t(cellY(box[i].ymin())) * size_t(cells) + size_t(cellZ(box[i].zmin()))].push_back(uint32_t(i));

    struct Hits {
        std::vector<uint8_t> parity, onSurface;
    };
    tbb::combinable<Hits> hits([n] { return Hits{std::vector<uint8_t>(n, 0), std::vector<uint8_t>(n, 0)}; });
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, uint32_t(s.faces.size()), 4096), [&](const auto& range) {
        Hits& h = hits.local();
        for (uint32_t f = range.begin(); f != range.end(); ++f) {
            if (!s.Live(f)) continue;
            const CGAL::Bbox_3 b = s.FaceBox(f);
            if (b.ymax() < span.ymin() || b.ymin() > span.ymax() || b.zmax() < span.zmin() || b.zmin() > span.zmax() ||
                b.xmax() < span.xmin())
                continue;
            const int y1 = cellY(b.ymax()), z1 = cellZ(b.zmax());
            for (int y = cellY(b.ymin() - width); y <= y1; ++y)
                for (int z = cellZ(b.zmin() - width); z <= z1; ++z)
                    for (uint32_t i : bucket[size_t(y) * size_t(cells) + size_t(z)]) {
                        const CGAL::Bbox_3& q = box[i];
                        if (q.xmin() > b.xmax() || q.ymin() > b.ymax() || q.ymax() < b.ymin() || q.zmin() > b.zmax() ||
                            q.zmax() < b.zmin())
                            continue;
                        const int crossing = RayCrossing(s, f, queries[i], onGrid[i]);
                        if (crossing == 2) h.onSurface[i] = 1;
                        else h.parity[i] ^= uint8_t(crossing);
                    }
        }
    });
    std::vector<uint8_t> parity(n, 0), onSurface(n, 0);
    hits.combine_each([&](const Hits& h) {
        for (size_t i = 0; i < n; ++i) {
            parity[i] ^= h.parity[i];
            onSurface[i] |= h.onSurface[i];
        }
    });
    for (size_t i = 0; i < n; ++i)
        sides[i] = onSurface[i] ? CGAL::ON_BOUNDARY : parity[i] ? CGAL::ON_BOUNDED_SIDE : CGAL::ON_UNBOUNDED_SIDE;
    return sides;
}

// Where a piece of one input goes: inside or outside the other input, or
// lying on the other's surface facing the same way or the opposite way.
enum class Place : uint8_t { eUnknown, eInside, eOutside, eOnSame, eOnOpposite };

enum class Op { eUnion, eIntersection, eDifference };

// Whether a boolean keeps a piece of its first input.  Of two coinciding
// faces that face the same way the first input's is the one kept; two that
// face each other bound both solids on the outside (a difference keeps the
// first's) or inside (the others keep neither).
bool KeepsFirst(Op op, Place p) {
    switch (op) {
        case Op::eIntersection: return p == Place::eInside || p == Place::eOnSame;
        case Op::eDifference: return p == Place::eOutside || p == Place::eOnOpposite;
        default: return p == Place::eOutside || p == Place::eOnSame;
    }
}

// Whether a boolean keeps a piece of its second input (turned round for a
// difference); its faces lying on the first input never are.
bool KeepsSecond(Op op, Place p) { return op == Op::eUnion ? p == Place::eOutside : p == Place::eInside; }

// The faces of one input after the corefinement of its patch: the soup's
// faces outside the patch (ids 0 .. soup faces - 1) and the patch's faces
// (ids from soup faces on), sorted into pieces that the cut curves bound.
// A face that coincides with a face of the other input (`coincident`, by
// soup face: its place, eUnknown for the others) is a piece of its own,
// placed already.
struct Pieces {
    const Soup& soup;
    const std::vector<uint8_t>& inPatch;
    const std::vector<Place>& coincident;
    const Patch& patch;
    std::vector<uint32_t> pieceOf;  // by face id; kNone for free slots
    std::vector<Place> place;       // by piece

    Pieces(const Soup& s, const std::vector<uint8_t>& in, const std::vector<Place>& c, const Patch& p)
        : soup(s), inPatch(in), coincident(c), patch(p) {}
    uint32_t PatchId(Mesh::Face_index f) const { return uint32_t(soup.faces.size()) + uint32_t(f.idx()); }
    // A face outside the patch that joins the faces next to it.
    bool Joins(uint32_t f) const { return !inPatch[f] && coincident[f] == Place::eUnknown; }

    void Sort() {
        const uint32_t own = uint32_t(soup.faces.size());
        MUnionFind sets(own + uint32_t(patch.mesh.number_of_faces()));
        for (uint32_t f = 0; f < own; ++f) {
            if (!soup.Live(f) || !Joins(f)) continue;
            for (uint32_t g : soup.across[f])
                if (g < f && Joins(g)) sets.Join(f, g);
        }
        const Mesh& m = patch.mesh;
        for (auto h : m.halfedges()) {
            const auto o = m.opposite(h);
            if (m.is_border(h)) {
                // An edge of the patch's rim joins the face beyond it, which
                // is outside the patch; rims are never cut.  A coincident
                // face beyond is a piece of its own.
                const uint32_t u = patch.pointOf[m.source(o).idx()], v = patch.pointOf[m.target(o).idx()];
                auto [g, end] = soup.Fan(v);
                for (; g != end; ++g)
                    if (!inPatch[*g] && soup.faces[*g][size_t((soup.CornerOf(*g, v) + 1) % 3)] == u) break;
                if (g != end && Joins(*g)) sets.Join(PatchId(m.face(o)), *g);
            } else if (!m.is_border(o) && h < o && !get(patch.cut, m.edge(h))) {
                sets.Join(PatchId(m.face(h)), PatchId(m.face(o)));
            }
        }
        pieceOf.assign(size_t(own) + m.number_of_faces(), kNone);
        std::vector<uint32_t> dense(pieceOf.size(), kNone);
        uint32_t count = 0;
        for (uint32_t id = 0; id < pieceOf.size(); ++id) {
            if (id < own && (!soup.Live(id) || inPatch[id])) continue;
            uint32_t& d = dense[sets.Find(id)];
            if (d == kNone) d = count++;
            pieceOf[id] = d;
        }
        place.assign(count, Place::eUnknown);
        for (uint32_t f = 0; f < own; ++f)
            if (soup.Live(f) && !inPatch[f]) place[pieceOf[f]] = coincident[f];
    }

    // Up to `most` corner points of each unplaced piece that are points of
    // the soup (not made by the cut): each point once in `points`, and a
    // (point, piece) pair for each piece it tests.
    void OriginalCorners(size_t most, std::vector<Point>& points,
                         std::vector<std::pair<uint32_t, uint32_t>>& tests) const {
        constexpr size_t kMost = 3;
        most = std::min(most, kMost);
        std::vector<uint8_t> taken(place.size(), 0);
        std::vector<std::array<uint32_t, kMost>> tried(place.size());
        absl::flat_hash_map<uint32_t, uint32_t> queryOf;
        auto offer = [&](uint32_t piece, uint32_t v) {
            auto& mine = tried[piece];
            if (taken[piece] >= most || std::find(mine.begin(), mine.begin() + taken[piece], v) != mine.begin() + taken[piece])
                return;
            mine[taken[piece]++] = v;
            auto [it, fresh] = queryOf.try_emplace(v, uint32_t(points.size()));
            if (fresh) points.push_back(soup.ExactPoint(v));
            tests.emplace_back(it->second, piece);
        };
        for (uint32_t id = 0; id < pieceOf.size(); ++id) {
            const uint32_t piece = pieceOf[id];
            if (piece == kNone || place[piece] != Place::eUnknown || taken[piece] >= most) continue;
            if (id < soup.faces.size()) {
                for (uint32_t v : soup.faces[id]) offer(piece, v);
            } else {
                for (auto v : patch.Corners(Mesh::Face_index(id - uint32_t(soup.faces.size()))))
                    if (patch.IsOriginal(v)) offer(piece, patch.pointOf[v.idx()]);
            }
        }
    }

    // The corners of a face by id, as exact points.
    std::array<Point, 3> Corners(uint32_t id) const {
        if (id < soup.faces.size()) {
            const Face& f = soup.faces[id];
            return {soup.ExactPoint(f[0]), soup.ExactPoint(f[1]), soup.ExactPoint(f[2])};
        }
        const auto c = patch.Corners(Mesh::Face_index(id - uint32_t(soup.faces.size())));
        return {patch.mesh.point(c[0]), patch.mesh.point(c[1]), patch.mesh.point(c[2])};
    }

    // Up to `most` faces of each unplaced piece.
    std::vector<std::vector<uint32_t>> FacesOfUnplaced(size_t most) const {
        std::vector<std::vector<uint32_t>> faces(place.size());
        for (uint32_t id = 0; id < pieceOf.size(); ++id) {
            const uint32_t piece = pieceOf[id];
            if (piece != kNone && place[piece] == Place::eUnknown && faces[piece].size() < most)
                faces[piece].push_back(id);
        }
        return faces;
    }
};

// A piece whose every test point lies on the other surface lies in it: its
// faces are coplanar with faces of the other corefined patch.  Looks up,
// for the given face of each such piece, the other patch's face under its
// centre and sets the piece's place by whether the two face the same way.
void PlaceOnSurface(Pieces& pieces, const std::vector<std::pair<uint32_t, uint32_t>>& pieceFaces, const Patch& other) {
    struct Probe {
        std::array<Point, 3> face;
        Point centre;
        uint32_t piece;
    };
    std::vector<Probe> probes;
    std::vector<FaceBox> probeBoxes, patchBoxes;
    for (auto [piece, id] : pieceFaces) {
        const auto c = pieces.Corners(id);
        probes.push_back({c, CGAL::centroid(c[0], c[1], c[2]), piece});
        probeBoxes.emplace_back(probes.back().centre.bbox(), uint32_t(probes.size() - 1));
    }
    const Mesh& m = other.mesh;
    for (auto g : m.faces()) {
        const auto v = other.Corners(g);
        patchBoxes.emplace_back(m.point(v[0]).bbox() + m.point(v[1]).bbox() + m.point(v[2]).bbox(), uint32_t(g.idx()));
    }
    CGAL::box_intersection_d(probeBoxes.begin(), probeBoxes.end(), patchBoxes.begin(), patchBoxes.end(),
                             [&](const FaceBox& x, const FaceBox& y) {
                                 const Probe& p = probes[x.info()];
                                 Place& place = pieces.place[p.piece];
                                 if (place != Place::eUnknown) return;
                                 const auto v = other.Corners(Mesh::Face_index(y.info()));
                                 const Point &a = m.point(v[0]), &b = m.point(v[1]), &d = m.point(v[2]);
                                 for (const Point& corner : p.face)
                                     if (CGAL::orientation(a, b, d, corner) != CGAL::COPLANAR) return;
                                 if (!K::Triangle_3(a, b, d).has_on(p.centre)) return;
                                 const K::Vector_3 mine = CGAL::normal(p.face[0], p.face[1], p.face[2]);
                                 const K::Vector_3 theirs = CGAL::normal(a, b, d);
                                 place = CGAL::is_positive(mine * theirs) ? Place::eOnSame : Place::eOnOpposite;
                             });
}

// Places every piece against the other input's solid.  A piece with a face
// lying in the other surface lies there (the cut curves bound it); its
// corners would say nothing, so that face is looked at first.  A corner of
// the input's own off the other surface settles any other piece; failing
// that, a face centre off it.  False when a piece cannot be placed.
bool PlacePieces(Pieces& pieces, const Soup& otherSoup, const Patch& otherPatch) {
    // Test points, and which piece each test (point, piece) speaks for.
    std::vector<Point> points;
    std::vector<std::pair<uint32_t, uint32_t>> tests;
    auto settle = [&] {
        const std::vector<CGAL::Bounded_side> sides = SidesOf(otherSoup, points);
        for (auto [point, piece] : tests) {
            Place& p = pieces.place[piece];
            if (p == Place::eUnknown && sides[point] != CGAL::ON_BOUNDARY)
                p = sides[point] == CGAL::ON_BOUNDED_SIDE ? Place::eInside : Place::eOutside;
        }
        points.clear();
        tests.clear();
    };
    auto allPlaced = [&] {
        return std::find(pieces.place.begin(), pieces.place.end(), Place::eUnknown) == pieces.place.end();
    };
    constexpr size_t kFacesTried = 8;
    const std::vector<std::vector<uint32_t>> faces = pieces.FacesOfUnplaced(kFacesTried);
    std::vector<std::pair<uint32_t, uint32_t>> firstFaces;
    for (uint32_t piece = 0; piece < faces.size(); ++piece)
        if (!faces[piece].empty()) firstFaces.emplace_back(piece, faces[piece][0]);
    PlaceOnSurface(pieces, firstFaces, otherPatch);
    pieces.OriginalCorners(3, points, tests);
    settle();
    if (allPlaced()) return true;
    for (uint32_t piece = 0; piece < faces.size(); ++piece) {
        if (pieces.place[piece] != Place::eUnknown) continue;
        for (uint32_t id : faces[piece]) {
            const auto c = pieces.Corners(id);
            tests.emplace_back(uint32_t(points.size()), piece);
            points.push_back(CGAL::centroid(c[0], c[1], c[2]));
        }
    }
    settle();
    return allPlaced();
}

// One part per operation (a ∩ b, a − b or a ∪ b) as faces over one set of
// grid points: the points of `a` keep their slots, those of `b` follow,
// and the points the cut made come last.
class CutAssembly {
public:
    CutAssembly(const Soup& a, const Soup& b, const MStlBase& meshA, const MStlBase* meshB, const std::vector<Op>& ops)
        : m_meshA(meshA), m_meshB(meshB), m_ops(ops) {
        const size_t na = a.xyz.size(), nb = b.xyz.size();
        m_r.points.resize(na + nb);
        m_r.moved.assign(na + nb, 0);
        m_unusable.assign(na + nb, 0);
        for (size_t i = 0; i < na; ++i) m_r.points[i] = GridOf(a.xyz[i]);
        for (size_t i = 0; i < nb; ++i) {
            if (b.exact.empty()) {
                m_r.points[na + i] = GridOf(b.xyz[i]);
            } else {
                bool moved = false;
                if (!Rounded::RoundPoint(b.exact[i], m_r.points[na + i], moved)) m_unusable[na + i] = 1;
                m_r.moved[na + i] = moved;
            }
        }
        m_mapB.resize(nb);
        for (uint32_t i = 0; i < nb; ++i) m_mapB[i] = uint32_t(na) + i;
        m_r.parts.resize(ops.size());
    }

    // Points the patches share (where the surfaces touch) become one point.
    void SharePatchPoints(const Patch& pa, const Patch& pb) {
        for (uint32_t v : pa.pointOf) m_r.index.try_emplace(m_r.points[v], v);
        for (uint32_t v : pb.pointOf) {
            const uint32_t own = m_mapB[v];
            if (m_unusable[own] || m_r.moved[own]) continue;  // off the grid: meets no point of `a`
            m_mapB[v] = m_r.index.try_emplace(m_r.points[own], own).first->second;
        }
    }

    // Output points of a corefined patch's vertices; new points are rounded
    // to the grid and merged with any point already there.
    std::vector<uint32_t> MapPatch(const Patch& p, bool isA) {
        std::vector<uint32_t> map(p.mesh.number_of_vertices() + p.mesh.number_of_removed_vertices(), kNone);
        for (auto v : p.mesh.vertices()) {
            if (p.IsOriginal(v)) {
                map[v.idx()] = isA ? p.pointOf[v.idx()] : m_mapB[p.pointOf[v.idx()]];
                continue;
            }
            Grid g{};
            bool moved = false;
            if (!Rounded::RoundPoint(p.mesh.point(v), g, moved)) {
                m_r.outOfRange = true;
                continue;
            }
            map[v.idx()] = PointAt(g, moved);
        }
        return map;
    }

    void AddFace(int part, Face f) {
        for (uint32_t v : f)
            if (v == kNone || m_unusable[v]) m_r.outOfRange = true;
        if (m_r.outOfRange || f[0] == f[1] || f[1] == f[2] || f[2] == f[0]) return;
        m_r.parts[size_t(part)].push_back(f);
    }

    // Adds the faces of one input's pieces to the parts they belong to.
    void AddPieces(const Pieces& pieces, bool isA, const std::vector<uint32_t>& patchMap) {
        const Soup& s = pieces.soup;
        for (uint32_t id = 0; id < pieces.pieceOf.size(); ++id) {
            const uint32_t piece = pieces.pieceOf[id];
            if (piece == kNone) continue;
            Face f{};
            if (id < s.faces.size()) {
                for (int k = 0; k < 3; ++k) f[size_t(k)] = isA ? s.faces[id][size_t(k)] : m_mapB[s.faces[id][size_t(k)]];
            } else {
                const auto c = pieces.patch.Corners(Mesh::Face_index(id - uint32_t(s.faces.size())));
                for (int k = 0; k < 3; ++k) f[size_t(k)] = patchMap[c[size_t(k)].idx()];
            }
            const Place p = pieces.place[piece];
            for (size_t part = 0; part < m_ops.size(); ++part) {
                const Op op = m_ops[part];
                if (isA ? KeepsFirst(op, p) : KeepsSecond(op, p))
                    AddFace(int(part), isA || op != Op::eDifference ? f : Face{f[0], f[2], f[1]});
            }
        }
    }

    Rounded& Result() { return m_r; }

private:
    static Grid GridOf(const std::array<double, 3>& p) { return {int32_t(p[0]), int32_t(p[1]), int32_t(p[2])}; }

    uint32_t PointAt(const Grid& g, bool moved) {
        auto found = m_r.index.find(g);
        uint32_t i = kNone;
        if (found != m_r.index.end()) {
            i = found->second;
        } else if (const MStlPoint* p = m_meshA.GetPoint(g[0], g[1], g[2])) {
            i = p->GetIndex();
        } else if (const MStlPoint* q = m_meshB ? m_meshB->GetPoint(g[0], g[1], g[2]) : nullptr) {
            i = m_mapB[q->GetIndex()];
        } else {
            i = uint32_t(m_r.points.size());
            m_r.points.push_back(g);
            m_r.moved.push_back(0);
            m_unusable.push_back(0);
        }
        m_r.index.try_emplace(g, i);
        if (moved) m_r.moved[i] = 1;
        return i;
    }

    const MStlBase& m_meshA;
    const MStlBase* m_meshB;
    std::vector<Op> m_ops;
    Rounded m_r;
    std::vector<uint8_t> m_unusable;  // points of `b` beyond the grid's range
    std::vector<uint32_t> m_mapB;
};

bool SelfIntersects(const MStlBase& m) {
    return PMP::does_self_intersect(QelSDK::Cgal::ToSurfaceMesh<IK::Point_3>(m));
}

// Cuts two closed soups along each other and assembles one part per
// operation into `out`.  Only the patches (the faces near the other
// soup) are corefined; the rest of each soup keeps its grid points and
// goes wholesale with the piece it belongs to.  `selfIntersecting` names
// the cause when the cut or its rounding fails, since the corefinement
// checks only the faces near the other input.  Two steps of `reporter`.
EReturnCode CutByPatches(const Soup& a, const Soup& b, const MStlBase& meshA, const MStlBase* meshB,
                         const std::vector<Op>& ops, bool checkRounding,
                         const std::function<bool()>& selfIntersecting, IncrementalProgressReporter& reporter,
                         Rounded& out) {
    std::vector<uint8_t> nearA, nearB;
    MarkNearFaces(a, b, nearA, nearB);
    // Coinciding faces are left out of the patches: each is placed on the
    // other surface as it is, where corefining large coplanar regions
    // would cost most of the time.
    const FacePairs pairs = CoincidentFaces(a, b, nearA, nearB);
    for (auto [f, g] : pairs) nearA[f] = nearB[g] = 0;
    Patch pa, pb;
    if (!WidenPatches(a, b, pairs, nearA, nearB) || !pa.Build(a, nearA) || !pb.Build(b, nearB)) return eNotClosed;
    std::vector<Place> onB(a.faces.size(), Place::eUnknown), onA(b.faces.size(), Place::eUnknown);
    for (auto [f, g] : pairs)
        if (!nearA[f]) onB[f] = onA[g] = SameTurn(a, f, b, g) ? Place::eOnSame : Place::eOnOpposite;
    if (pa.mesh.number_of_faces() != 0) {
        if (EReturnCode rc = Guarded([&] {
                PMP::corefine(pa.mesh, pb.mesh, Np().edge_is_constrained_map(pa.cut),
                              Np().edge_is_constrained_map(pb.cut));
                return true;
            });
            rc != eSuccess) {
            // CGAL's own consistency checks can stop it on an input that
            // crosses itself; name that cause when it is the one.
            if (rc == eCorefinementFailed && selfIntersecting()) return eSelfIntersecting;
            return rc;
        }
    }
    Pieces piecesA(a, nearA, onB, pa), piecesB(b, nearB, onA, pb);
    // Each input's pieces are sorted and placed on their own.
    bool placedA = false, placedB = false;
    tbb::parallel_invoke([&] { piecesA.Sort(), placedA = PlacePieces(piecesA, b, pb); },
                         [&] { piecesB.Sort(), placedB = PlacePieces(piecesB, a, pa); });
    if (!placedA || !placedB) return selfIntersecting() ? eSelfIntersecting : eCorefinementFailed;
    ++reporter;
    if (reporter.IsCancelled()) return eCancelled;

    CutAssembly assembly(a, b, meshA, meshB, ops);
    assembly.SharePatchPoints(pa, pb);
    const std::vector<uint32_t> mapA = assembly.MapPatch(pa, true), mapB = assembly.MapPatch(pb, false);
    assembly.AddPieces(piecesA, true, mapA);
    assembly.AddPieces(piecesB, false, mapB);
    Rounded& r = assembly.Result();
    if (EReturnCode rc = CheckRounded(r, checkRounding); rc != eSuccess) {
        // An input crossing itself away from the patches can give a broken
        // result.  Name that cause when it is the one.
        if (selfIntersecting()) return eSelfIntersecting;
        return rc;
    }
    out = std::move(r);
    ++reporter;
    return reporter.IsCancelled() ? eCancelled : eSuccess;
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
    if (HasDegenerateTriangle(*mesh)) return eInvalidInput;
    Soup a = SoupOf(*mesh);
    if (!a.Link() || mesh->Volume() < 0) return eNotClosed;
    if (HasDegenerateTriangle(*cutter)) return eInvalidInput;
    Soup b = SoupOf(*cutter);
    Mesh prism;
    const bool flat = !b.Link();
    if (flat) {
        if (EReturnCode rc = BuildFlatCutterPrism(*cutter, *mesh, prism); rc != eSuccess) return rc;
        b = SoupOf(prism);
        if (!b.Link()) return eNotClosed;
    } else if (cutter->Volume() < 0) {
        return eNotClosed;
    }
    ++reporter;
    if (reporter.IsCancelled()) return eCancelled;

    auto selfIntersecting = [&] {
        return SelfIntersects(*mesh) || (flat ? PMP::does_self_intersect(prism) : SelfIntersects(*cutter));
    };
    Rounded r;
    if (EReturnCode rc = CutByPatches(a, b, *mesh, flat ? nullptr : cutter, {Op::eIntersection, Op::eDifference},
                                      true, selfIntersecting, reporter, r);
        rc != eSuccess)
        return rc;

    // Write-back.  Snapshot of what existed, so that untouched originals are
    // recognised and reused.
    MrtGroupManager ownGroups;
    MrtGroupManager& groups = m_groups ? *m_groups : ownGroups;
    groups.Clear();
    groups.Reserve(mesh->GetNumberOfTriangleSlots() + r.parts[0].size() + r.parts[1].size());
    std::vector<uint8_t> original(mesh->GetNumberOfTriangleSlots(), 0);  // 1 original, 2 reused
    for (auto it = mesh->BeginTriangle(); it != mesh->EndTriangle(); ++it) original[it->GetIndex()] = 1;
    // The mesh's own points keep their slots; the others are added.
    std::vector<MStlPoint*> points(r.points.size(), nullptr);
    const size_t ownPoints = a.xyz.size();
    for (const auto& part : r.parts)
        for (const Face& f : part)
            for (uint32_t v : f) {
                if (points[v]) continue;
                const Grid& g = r.points[v];
                points[v] = v < ownPoints ? mesh->GetPointBySlot(v) : mesh->AddPoint(g[0], g[1], g[2]);
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
        for (uint32_t i = 0; i < p0->GetNumberOfNeighbourTriangles(); ++i) {
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

// The corefinement keeps some of its bookkeeping in maps keyed by the
// meshes' addresses, and the order of those addresses decides how it divides
// coplanar faces.  The operands are moved into one array, so that the first
// always lies below the second and the result does not depend on where the
// caller's meshes happen to live.
EReturnCode Combine(Mesh& acc, Mesh& next, Op op) {
    std::array<Mesh, 2> operands{std::move(acc), std::move(next)};
    Mesh& first = operands[0];
    Mesh& second = operands[1];
    Mesh out;
    const EReturnCode rc = Guarded([&] {
        switch (op) {
            case Op::eUnion: return PMP::corefine_and_compute_union(first, second, out, Np(), Np());
            case Op::eIntersection: return PMP::corefine_and_compute_intersection(first, second, out, Np(), Np());
            default: return PMP::corefine_and_compute_difference(first, second, out, Np(), Np());
        }
    });
    if (rc == eSuccess) {
        acc = std::move(out);
        next = std::move(second);
        return rc;
    }
    acc = std::move(first);
    next = std::move(second);
    if (rc == eCorefinementFailed && (PMP::does_self_intersect(acc) || PMP::does_self_intersect(next)))
        return eSelfIntersecting;
    return rc;
}

// The boolean of two closed meshes cut by patches (CutByPatches), one
// part per operation.  What it does not take (an input that is open, has
// degenerate faces or is the other input; a check of the whole inputs)
// and what fails in it is left to the corefinement of the whole meshes,
// which also gives the failure its code: any code but eSuccess and
// eCancelled means "fall back".
EReturnCode LocalParts(const MStlBase& a, const MStlBase& b, const std::vector<Op>& ops, const BooleanParameters& prm,
                       IncrementalProgressReporter& reporter, Rounded& out) {
    if (&a == &b || prm.checkWholeInput || a.GetNumberOfTriangles() == 0 || b.GetNumberOfTriangles() == 0 ||
        HasDegenerateTriangle(a) || HasDegenerateTriangle(b))
        return eInvalidInput;
    Soup sa, sb;
    bool closedA = false, closedB = false;
    tbb::parallel_invoke([&] { sa = SoupOf(a), closedA = sa.Link() && a.Volume() >= 0; },
                         [&] { sb = SoupOf(b), closedB = sb.Link() && b.Volume() >= 0; });
    if (!closedA || !closedB) return eNotClosed;
    return CutByPatches(sa, sb, a, &b, ops, prm.checkRounding, [] { return false; }, reporter, out);
}

bool Settled(EReturnCode rc) { return rc == eSuccess || rc == eCancelled; }

// One operation on two closed meshes by patches into `result`; see
// LocalParts for the codes.
EReturnCode CombineLocally(const MStlBase& a, const MStlBase& b, Op op, MStlBase& result,
                           const BooleanParameters& prm, IncrementalProgressReporter& reporter) {
    Rounded r;
    const EReturnCode rc = LocalParts(a, b, {op}, prm, reporter, r);
    if (rc == eSuccess) WritePart(r, r.parts[0], result);
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
    if (meshes.size() == 2 && meshes[0] && meshes[1])
        if (EReturnCode rc = CombineLocally(*meshes[0], *meshes[1], Op::eUnion, result, prm, reporter); Settled(rc))
            return rc;
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
    if (meshes.size() == 2 && meshes[0] && meshes[1])
        if (EReturnCode rc = CombineLocally(*meshes[0], *meshes[1], Op::eIntersection, result, prm, reporter);
            Settled(rc))
            return rc;
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
    if (minuends.size() == 1 && subtrahends.size() == 1 && minuends[0] && subtrahends[0])
        if (EReturnCode rc = CombineLocally(*minuends[0], *subtrahends[0], Op::eDifference, result, prm, reporter);
            Settled(rc))
            return rc;
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
    // The test over doubles is exact on grid points and much cheaper than
    // building the exact mesh, which only a mesh to repair needs.
    CGAL::Surface_mesh<IK::Point_3> quick;
    if (EReturnCode rc = LoadClosed(mesh, quick, prm); rc != eSuccess) return rc;
    if (!PMP::does_self_intersect(quick)) return eSuccess;
    Mesh whole;
    if (EReturnCode rc = LoadClosed(mesh, whole, prm); rc != eSuccess) return rc;
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
    if (closeWithOther)
        if (EReturnCode rc = CombineLocally(a, b, keepInside ? Op::eIntersection : Op::eDifference, a, prm, reporter);
            Settled(rc))
            return rc;
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

EReturnCode BooleanTrimBothSides(const MStlBase& a, const MStlBase& b, MStlBase& inside, MStlBase& outside,
                                 const BooleanParameters& prm, ProgressPtr progress) {
    if (&inside == &outside || &inside == &b || &outside == &b) return eInvalidInput;
    IncrementalProgressReporter reporter(progress, "QelStlBoolean.AU.BooleanTrimBothSides", 3);
    Rounded r;
    EReturnCode rc = LocalParts(a, b, {Op::eIntersection, Op::eDifference}, prm, reporter, r);
    if (rc == eCancelled) return rc;
    if (rc != eSuccess) {
        Mesh in, out, other;
        if (rc = LoadClosed(b, other, prm); rc != eSuccess) return rc;
        if (rc = LoadClosed(a, in, prm); rc != eSuccess) return rc;
        out = in;
        Mesh otherAgain = other;
        if (rc = Combine(in, other, Op::eIntersection); rc != eSuccess) return rc;
        if (reporter.IsCancelled()) return eCancelled;
        if (rc = Combine(out, otherAgain, Op::eDifference); rc != eSuccess) return rc;
        if (rc = RoundParts({&in, &out}, r, prm.checkRounding); rc != eSuccess) return rc;
    }
    ++reporter;
    if (reporter.IsCancelled()) return eCancelled;
    WritePart(r, r.parts[0], inside);
    WritePart(r, r.parts[1], outside);
    return eSuccess;
}

namespace {
// Converts a mesh without its degenerate triangles, which have no area and
// cut nothing; false when a triangle cannot join the halfedge structure (an
// edge used twice the same way).
bool LoadWithoutDegenerate(const MStlBase& m, Mesh& out) {
    uint64_t rejected = 0;
    if (!HasDegenerateTriangle(m)) {
        out = QelSDK::Cgal::ToSurfaceMesh<Point>(m, &rejected);
    } else {
        MStlBase clean;
        clean.AddStl(m, false);
        clean.RemoveTrianglesIf([](const MStlTriangle& t) { return t.IsZeroArea(); });
        clean.RemoveFreePoints();  // corefinement cannot take isolated vertices
        out = QelSDK::Cgal::ToSurfaceMesh<Point>(clean, &rejected);
    }
    return rejected == 0;
}

using EdgeMarks = boost::property_map<Mesh, CGAL::dynamic_edge_property_t<bool>>::type;

// Corefines a copy of `a` with each tool in turn, the curves where they
// meet it becoming marked edges (a marked edge that is divided stays
// marked), and writes the pieces between the marked edges into `out`,
// every piece with points of its own so that the sides of a cut keep apart.
EReturnCode SplitInto(const MStlBase& a, std::vector<Mesh>& tools, MStlBase& out,
                      IncrementalProgressReporter& reporter) {
    Mesh mine;
    if (!LoadWithoutDegenerate(a, mine)) return eInvalidInput;
    if (mine.number_of_faces() == 0) return eEmptyMesh;
    EdgeMarks marks = get(CGAL::dynamic_edge_property_t<bool>(), mine);
    for (Mesh& tool : tools) {
        if (reporter.IsCancelled()) return eCancelled;
        if (EReturnCode rc = Guarded([&] {
                PMP::corefine(mine, tool, Np().edge_is_constrained_map(marks), Np());
                return true;
            });
            rc != eSuccess)
            return rc;
    }
    auto piece = mine.add_property_map<Mesh::Face_index, std::size_t>("f:piece", 0).first;
    PMP::connected_components(mine, piece, CGAL::parameters::edge_is_constrained_map(marks));
    std::vector<Grid> grid(mine.number_of_vertices() + mine.number_of_removed_vertices());
    for (auto v : mine.vertices()) {
        bool moved = false;
        if (!Rounded::RoundPoint(mine.point(v), grid[v.idx()], moved)) return eRoundingBrokeResult;
    }
    out.Reserve(mine.number_of_vertices(), mine.number_of_faces());
    absl::flat_hash_map<uint64_t, MStlPoint*> pointOf;
    pointOf.reserve(mine.number_of_vertices());
    MStlSurface* surface = out.AddSurface(nullptr);
    for (auto f : mine.faces()) {
        MStlPoint* p[3] = {nullptr, nullptr, nullptr};
        int i = 0;
        for (auto v : CGAL::vertices_around_face(mine.halfedge(f), mine)) {
            if (i == 3) break;
            MStlPoint*& q = pointOf[uint64_t(v.idx()) << 32 | uint64_t(piece[f])];
            if (!q) q = out.AddPoint(grid[v.idx()][0], grid[v.idx()][1], grid[v.idx()][2], true);
            p[i++] = q;
        }
        out.AddTriangle(p, surface);
    }
    return eSuccess;
}
// Groups of the cutter's connected surfaces beyond which surfaces that
// cross each other are refused: every group is one more corefinement of the
// whole mesh, on points that earlier ones have made ever more exact.
constexpr size_t kMaxCutterGroups = 8;

// The cutter's connected surfaces gathered into groups in which no two
// cross, so that each group is corefined in one go, however many surfaces
// it holds (the surfaces of several zones that cross, or a soup of single
// triangles).  Crossings within one surface are left to the corefinement.
// eSelfIntersecting when more than kMaxCutterGroups groups would be needed.
EReturnCode GroupCutterSurfaces(Mesh& whole, std::vector<Mesh>& groups) {
    auto component = whole.add_property_map<Mesh::Face_index, std::size_t>("f:component", 0).first;
    const std::size_t count = PMP::connected_components(whole, component);
    std::vector<std::pair<Mesh::Face_index, Mesh::Face_index>> crossings;
    if (count > 1) PMP::self_intersections(whole, std::back_inserter(crossings));
    std::vector<std::vector<std::size_t>> crossed(count);
    for (const auto& [f, g] : crossings)
        if (component[f] != component[g]) {
            crossed[component[f]].push_back(component[g]);
            crossed[component[g]].push_back(component[f]);
        }
    // Each surface takes the first group that none of the surfaces it
    // crosses is in.
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> group(count, kNone);
    std::size_t used = 0;
    for (std::size_t c = 0; c < count; ++c) {
        std::vector<bool> taken(used + 1, false);
        for (std::size_t other : crossed[c])
            if (group[other] != kNone) taken[group[other]] = true;
        group[c] = std::size_t(std::find(taken.begin(), taken.end(), false) - taken.begin());
        used = std::max(used, group[c] + 1);
        if (used > kMaxCutterGroups) return eSelfIntersecting;
    }
    groups.assign(used, Mesh());
    std::vector<Mesh::Vertex_index> copy(whole.number_of_vertices() + whole.number_of_removed_vertices());
    for (auto f : whole.faces()) {
        Mesh& target = groups[group[component[f]]];
        std::vector<Mesh::Vertex_index> corners;
        for (auto v : CGAL::vertices_around_face(whole.halfedge(f), whole)) {
            if (copy[v.idx()] == Mesh::null_vertex()) copy[v.idx()] = target.add_vertex(whole.point(v));
            corners.push_back(copy[v.idx()]);
        }
        target.add_face(corners);
    }
    whole.remove_property_map(component);
    return eSuccess;
}

}  // namespace

EReturnCode BooleanSplitAlongSurface(MStlBase& a, const MStlBase& cutter, const BooleanParameters& prm,
                                     ProgressPtr progress) {
    if (&a == &cutter) return eInvalidInput;
    IncrementalProgressReporter reporter(progress, "QelStlBoolean.AU.BooleanSplitAlongSurface", 3);
    Mesh whole;
    if (!LoadWithoutDegenerate(cutter, whole)) return eInvalidInput;
    if (a.GetNumberOfTriangles() == 0 || whole.number_of_faces() == 0) return eEmptyMesh;
    if (prm.checkWholeInput &&
        (PMP::does_self_intersect(QelSDK::Cgal::ToSurfaceMesh<IK::Point_3>(a)) || PMP::does_self_intersect(whole)))
        return eSelfIntersecting;
    // The cutter's surfaces may cross each other (several zones), which one
    // corefinement cannot take: the model meets each group of surfaces that
    // do not cross in turn.
    std::vector<Mesh> tools;
    if (const EReturnCode grouped = GroupCutterSurfaces(whole, tools); grouped != eSuccess) return grouped;
    ++reporter;
    MStlBase out;
    const EReturnCode rc = SplitInto(a, tools, out, reporter);
    if (rc != eSuccess) return rc;
    ++reporter;
    if (reporter.IsCancelled()) return eCancelled;
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
    // Sheets are collected in mesh order, not in the map's order, which
    // varies from run to run: the freed slots, and so the triangles added
    // later, must not depend on it.
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        const uint32_t i[3] = {it->GetPoint(0)->GetIndex(), it->GetPoint(1)->GetIndex(), it->GetPoint(2)->GetIndex()};
        const int m = i[0] < i[1] ? (i[0] < i[2] ? 0 : 2) : (i[1] < i[2] ? 1 : 2);
        const uint32_t b = i[(m + 1) % 3], c = i[(m + 2) % 3];
        const Seen& s = seen.find(Key{{i[m], std::min(b, c), std::max(b, c)}})->second;
        if (s.first[0] && s.first[1] && (s.first[0] == *it || s.first[1] == *it)) remove.push_back(*it);
    }
    for (MStlTriangle* t : remove) mesh.RemoveTriangle(t);
    mesh.RemoveFreePoints();
    mesh.Update();
    ++reporter;
}

}  // namespace AU

namespace AU {

struct ExactSolid::Impl {
    Mesh mesh;
};

ExactSolid::ExactSolid() : m_impl(std::make_unique<Impl>()) {}
ExactSolid::~ExactSolid() = default;
ExactSolid::ExactSolid(const ExactSolid& other) : m_impl(std::make_unique<Impl>(*other.m_impl)) {}
ExactSolid::ExactSolid(ExactSolid&& other) noexcept = default;
ExactSolid& ExactSolid::operator=(const ExactSolid& other) {
    if (this != &other) *m_impl = *other.m_impl;
    return *this;
}
ExactSolid& ExactSolid::operator=(ExactSolid&& other) noexcept = default;

EReturnCode ExactSolid::Load(const MStlBase& mesh, const BooleanParameters& prm) {
    return LoadClosed(mesh, m_impl->mesh, prm);
}

namespace {
// `mine` combined with a copy of `other`, which the corefinement refines.
EReturnCode CombineWithCopy(Mesh& mine, const Mesh& other, Op op) {
    Mesh next = other;
    return Combine(mine, next, op);
}
}  // namespace

EReturnCode ExactSolid::Unite(const ExactSolid& other) {
    return CombineWithCopy(m_impl->mesh, other.m_impl->mesh, Op::eUnion);
}
EReturnCode ExactSolid::Intersect(const ExactSolid& other) {
    return CombineWithCopy(m_impl->mesh, other.m_impl->mesh, Op::eIntersection);
}
EReturnCode ExactSolid::Subtract(const ExactSolid& other) {
    return CombineWithCopy(m_impl->mesh, other.m_impl->mesh, Op::eDifference);
}

bool ExactSolid::Empty() const { return m_impl->mesh.number_of_faces() == 0; }

std::pair<double, double> ExactSolid::ZRange() const {
    const Mesh& m = m_impl->mesh;
    if (m.number_of_vertices() == 0) return {0.0, 0.0};
    double lowest = std::numeric_limits<double>::infinity(), highest = -lowest;
    for (auto v : m.vertices()) {
        const auto z = CGAL::approx(m.point(v)).z();
        lowest = std::min(lowest, std::floor(z.inf()));
        highest = std::max(highest, std::ceil(z.sup()));
    }
    return {lowest, highest};
}

namespace {

// The corners' levels of the faces the selection takes, by face index
// (none: not taken).  The face's shadow on the x-y plane must turn the way
// its normal points (exactly), so that no prism has a wall or cap without
// area, and every corner's level must lie on the sweep's side of the face.
std::vector<std::optional<std::array<int32_t, 3>>> SweptFaces(const Mesh& m, const ExactSolid::SweepSelection& selected,
                                                              const ExactSolid::SweepLevel& level, bool outward) {
    std::vector<std::optional<std::array<int32_t, 3>>> taken(m.number_of_faces() + m.number_of_removed_faces());
    for (auto f : m.faces()) {
        // Corners in the order of the face's halfedges' sources.
        const auto h = m.halfedge(f);
        const std::array<Point, 3> p{m.point(m.source(h)), m.point(m.target(h)), m.point(m.target(m.next(h)))};
        const CGAL::Orientation turn = CGAL::orientation(K::Point_2(p[0].x(), p[0].y()),
                                                         K::Point_2(p[1].x(), p[1].y()), K::Point_2(p[2].x(), p[2].y()));
        if (turn == CGAL::COLLINEAR) continue;
        std::array<IK::Point_3, 3> q;
        double lowest = std::numeric_limits<double>::infinity(), highest = -lowest;
        for (size_t k = 0; k < 3; ++k) {
            q[k] = IK::Point_3(CGAL::to_double(p[k].x()), CGAL::to_double(p[k].y()), CGAL::to_double(p[k].z()));
            lowest = std::min(lowest, q[k].z());
            highest = std::max(highest, q[k].z());
        }
        const IK::Vector_3 n = CGAL::cross_product(q[1] - q[0], q[2] - q[0]);
        const double length = std::sqrt(n.squared_length());
        if (!(length > 0.0)) continue;
        const double nz = n.z() / length;
        const bool up = turn == CGAL::LEFT_TURN;
        if (up != (nz > 0.0) || !selected(nz, lowest, highest)) continue;
        // Outward from a face that looks up, the levels lie above it.
        const bool above = up == outward;
        std::array<int32_t, 3> levels{};
        bool fits = true;
        for (size_t k = 0; k < 3 && fits; ++k) {
            const std::optional<int32_t> l = level(q[k].x(), q[k].y(), q[k].z());
            fits = l && (above ? K::FT(*l) > p[k].z() : K::FT(*l) < p[k].z());
            if (fits) levels[k] = *l;
        }
        if (fits) taken[f.idx()] = levels;
    }
    return taken;
}

// How many separate fans of `in` faces meet at v: runs of consecutive
// faces around it.
template <class In>
int Fans(const Mesh& m, Mesh::Vertex_index v, const In& in) {
    std::vector<uint8_t> around;
    for (auto h : CGAL::halfedges_around_target(m.halfedge(v), m)) {
        const auto f = m.face(h);
        around.push_back(f != Mesh::null_face() && in(f) ? 1 : 0);
    }
    int fans = 0;
    for (size_t k = 0; k < around.size(); ++k) fans += around[k] && !around[(k + 1) % around.size()];
    return fans == 0 && !around.empty() && around[0] ? 1 : fans;
}

// The edge-connected regions of the taken faces, each a list of faces.  A
// face joins a region only when the region stays one fan around each of
// the face's corners: a region that touched itself at a corner would give
// a prism pinched there.  A face kept out that way starts or joins another
// region.
template <class Taken>
std::vector<std::vector<Mesh::Face_index>> SweptRegions(const Mesh& m, const Taken& taken) {
    std::vector<uint32_t> region(taken.size(), kNone);
    std::vector<std::vector<Mesh::Face_index>> regions;
    for (auto f : m.faces()) {
        if (!taken[f.idx()] || region[f.idx()] != kNone) continue;
        const uint32_t r = uint32_t(regions.size());
        std::vector<Mesh::Face_index>& faces = regions.emplace_back(1, f);
        region[f.idx()] = r;
        auto in = [&](Mesh::Face_index g) { return region[g.idx()] == r; };
        for (size_t k = 0; k < faces.size(); ++k)
            for (auto h : CGAL::halfedges_around_face(m.halfedge(faces[k]), m)) {
                const auto g = m.face(m.opposite(h));
                if (g == Mesh::null_face() || !taken[g.idx()] || region[g.idx()] != kNone) continue;
                region[g.idx()] = r;
                bool single = true;
                for (auto v : CGAL::vertices_around_face(m.halfedge(g), m)) single = single && Fans(m, v, in) <= 1;
                if (single) faces.push_back(g);
                else region[g.idx()] = kNone;
            }
    }
    return regions;
}

// One region's prism between its faces and their copy at the levels, faces
// outward when the prism lies inside the faces; false when the halfedge
// structure cannot take a face of it (a surface pinched somewhere).
template <class Taken>
bool RegionPrism(const Mesh& m, const std::vector<Mesh::Face_index>& faces, const Taken& taken, Mesh& out) {
    absl::flat_hash_map<uint32_t, std::pair<Mesh::Vertex_index, Mesh::Vertex_index>> corners;
    std::vector<uint8_t> inRegion(m.number_of_faces() + m.number_of_removed_faces(), 0);
    for (auto f : faces) inRegion[f.idx()] = 1;
    auto corner = [&](Mesh::Vertex_index v, int32_t level) {
        auto [it, fresh] = corners.try_emplace(uint32_t(v.idx()));
        if (fresh) {
            const Point& p = m.point(v);
            it->second = {out.add_vertex(p), out.add_vertex(Point(p.x(), p.y(), level))};
        }
        return it->second;
    };
    auto add = [&](Mesh::Vertex_index a, Mesh::Vertex_index b, Mesh::Vertex_index c) {
        return out.add_face(a, b, c) != Mesh::null_face();
    };
    for (auto f : faces) {
        const auto h0 = m.halfedge(f);
        const std::array<Mesh::Halfedge_index, 3> h{h0, m.next(h0), m.next(m.next(h0))};
        const std::array<int32_t, 3>& levels = *taken[f.idx()];
        std::array<std::pair<Mesh::Vertex_index, Mesh::Vertex_index>, 3> c;
        for (size_t i = 0; i < 3; ++i) c[i] = corner(m.source(h[i]), levels[i]);
        if (!add(c[0].first, c[1].first, c[2].first) || !add(c[0].second, c[2].second, c[1].second)) return false;
        for (size_t i = 0; i < 3; ++i) {
            const auto across = m.face(m.opposite(h[i]));
            if (across != Mesh::null_face() && inRegion[across.idx()]) continue;
            const auto& from = c[i];
            const auto& to = c[(i + 1) % 3];
            if (!add(to.first, from.first, from.second) || !add(to.first, from.second, to.second)) return false;
        }
    }
    return CGAL::is_closed(out);
}

// The prisms in groups whose boxes do not meet, each group one mesh: prisms
// that touch (along a corner's vertical line, say) never share a group.
std::vector<Mesh> DisjointGroups(std::vector<Mesh>& prisms) {
    std::vector<Mesh> groups;
    std::vector<std::vector<CGAL::Bbox_3>> boxes;
    for (Mesh& prism : prisms) {
        const CGAL::Bbox_3 box = PMP::bbox(prism);
        size_t g = 0;
        while (g < groups.size() &&
               std::any_of(boxes[g].begin(), boxes[g].end(), [&](const CGAL::Bbox_3& b) { return CGAL::do_overlap(b, box); }))
            ++g;
        if (g == groups.size()) {
            groups.emplace_back();
            boxes.emplace_back();
        }
        groups[g] += prism;
        boxes[g].push_back(box);
    }
    return groups;
}

}  // namespace

EReturnCode ExactSolid::Swept(const SweepSelection& selected, const SweepLevel& level, bool outward, ExactSolid& out,
                              ProgressPtr progress) const {
    const Mesh& m = m_impl->mesh;
    const auto taken = SweptFaces(m, selected, level, outward);
    std::vector<Mesh> prisms;
    for (const auto& faces : SweptRegions(m, taken))
        if (!RegionPrism(m, faces, taken, prisms.emplace_back())) return eNotClosed;
    if (outward)
        for (Mesh& prism : prisms) PMP::reverse_face_orientations(prism);
    std::vector<Mesh> groups = DisjointGroups(prisms);
    prisms.clear();
    // Each group joins the solid in turn.  Prisms of regions that touch at a
    // corner meet there along a line, which only the solid around them
    // fills: joined to each other first they would pinch.
    IncrementalProgressReporter reporter(progress, "QelStlBoolean.AU.Swept", groups.size() + 1);
    Mesh& solid = out.m_impl->mesh;
    for (Mesh& group : groups) {
        if (reporter.IsCancelled()) return eCancelled;
        if (solid.number_of_faces() == 0) solid = std::move(group);
        else if (EReturnCode rc = Combine(solid, group, Op::eUnion); rc != eSuccess) return rc;
        ++reporter;
    }
    return eSuccess;
}

void ExactSolid::Lift(const std::function<bool(double x, double y, double z)>& lifted, int32_t dz) {
    Mesh& m = m_impl->mesh;
    for (auto v : m.vertices()) {
        const Point& p = m.point(v);
        if (lifted(CGAL::to_double(p.x()), CGAL::to_double(p.y()), CGAL::to_double(p.z())))
            m.point(v) = Point(p.x(), p.y(), p.z() + dz);
    }
}

void ExactSolid::KeepShells(const std::function<bool(const std::vector<std::array<double, 3>>& points)>& keep) {
    Mesh& m = m_impl->mesh;
    auto component = m.add_property_map<Mesh::Face_index, std::size_t>("f:shell", 0).first;
    const std::size_t count = PMP::connected_components(m, component);
    if (count < 2) {
        m.remove_property_map(component);
        return;
    }
    std::vector<std::vector<std::array<double, 3>>> points(count);
    std::vector<std::size_t> shellOf(m.number_of_vertices() + m.number_of_removed_vertices(), 0);
    for (auto f : m.faces())
        for (auto v : CGAL::vertices_around_face(m.halfedge(f), m)) shellOf[v.idx()] = component[f];
    for (auto v : m.vertices()) {
        const Point& p = m.point(v);
        points[shellOf[v.idx()]].push_back({CGAL::to_double(p.x()), CGAL::to_double(p.y()), CGAL::to_double(p.z())});
    }
    std::vector<uint8_t> kept(count, 0);
    for (std::size_t c = 0; c < count; ++c) kept[c] = keep(points[c]) ? 1 : 0;
    std::vector<Mesh::Face_index> drop;
    for (auto f : m.faces())
        if (!kept[component[f]]) drop.push_back(f);
    m.remove_property_map(component);
    for (auto f : drop) CGAL::Euler::remove_face(m.halfedge(f), m);
    m.collect_garbage();
}

EReturnCode ExactSolid::Write(MStlBase& target, const BooleanParameters& prm) const {
    return WriteMesh(m_impl->mesh, target, prm);
}

}  // namespace AU

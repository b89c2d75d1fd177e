// Bounding-box hierarchies over triangles, for ray and nearest-point queries.
//
// MTriangleTree<C> is the hierarchy itself, over triangles whose corners
// have coordinates of type C: int32_t for the triangles of a mesh
// (MStlTriangleTree below) and double for those of a triangle surface
// (QelSDK::Geometry::triangle_tree).  It is built in parallel: the
// triangles' boxes by a pipeline of two filters (a serial one handing out
// runs of triangles with their input positions and box slots, a parallel
// one computing the boxes), then the sub-trees as tasks of a task group fed
// from a queue of pending nodes, each task taking its nodes from storage of
// its own thread.  Every split depends on the triangles alone (median of the
// box centres along the widest axis, ties broken by input position), so the
// tree, and every query answer, is the same for any number of threads.  The
// finished tree is read-only and may be queried from several threads at once.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <type_traits>
#include <vector>

#include "host/MLargeArray.h"
#include "host/MMath.h"
#include "host/MStlBase.h"

template <class C>
class MTriangleTree {
public:
    // corners[corner][axis]
    using Corners = std::array<std::array<C, 3>, 3>;
    // Writes the corners of the triangle at input position i; called from
    // several threads at once.
    using CornerSource = std::function<void(uint32_t i, Corners& corners)>;

    // Over `count` triangles.  More than 4294967295 triangles throws
    // std::runtime_error("Too many objects").  Integer boxes are the corners'
    // box grown by one unit; double boxes are the corners' box exactly, and
    // a triangle with a corner that is not finite gets an empty box, so that
    // no query ever meets it.
    MTriangleTree(uint64_t count, const CornerSource& source);
    ~MTriangleTree();
    MTriangleTree(const MTriangleTree&) = delete;
    MTriangleTree& operator=(const MTriangleTree&) = delete;
    MTriangleTree(MTriangleTree&&) noexcept;
    MTriangleTree& operator=(MTriangleTree&&) noexcept;

    uint64_t GetNumberOfTriangles() const { return m_count; }
    uint64_t GetNumberOfNodes() const { return m_nodeCount; }
    // Tree positions run 0 .. count-1 in leaf order; each has an input
    // position and its corners.
    uint32_t GetInputPosition(uint32_t k) const { return m_input[k]; }
    const Corners& GetCorners(uint32_t k) const { return m_corners[k]; }
    MMVector3d GetCorner(uint32_t k, int corner) const {
        const auto& c = m_corners[k][corner];
        return {double(c[0]), double(c[1]), double(c[2])};
    }

    // Distance along the ray (origin o, unit direction d) to the triangle at
    // tree position k; false on a miss or beyond `limit`.  Triangles are hit
    // from both sides; a ray running in a triangle's plane misses it.
    bool IntersectRay(uint32_t k, const MMVector3d& o, const MMVector3d& d, double limit, double& t) const;
    // Visits the triangles the ray meets, nearest box first; `visit(k, t)`
    // sees every hit within `limit` and may lower `limit` to prune farther
    // boxes.
    template <class Visit>
    void TraverseRay(const MMVector3d& o, const MMVector3d& d, double& limit, Visit&& visit) const;

    // Visits, nearer boxes first, the tree positions of the triangles whose
    // corners' boxes lie within `limit` of p.  `visit(k, limit)` returns the new limit
    // (no more than the old one), so that farther boxes are passed over once
    // a near triangle is known.  A negative or NaN limit visits nothing.
    template <class Visit>
    void VisitNear(const MMVector3d& p, double limit, Visit&& visit) const;

private:
    struct Node {
        C lo[3], hi[3];
        // A leaf holds `count` > 0 triangles from tree position `first`; an
        // inner node has two children.
        uint32_t first = 0, count = 0;
        const Node* child[2] = {nullptr, nullptr};
    };
    struct Storage;

    static bool EnterBox(const Node& n, const MMVector3d& o, const MMVector3d& inv, const MMVector3d& d,
                         double limit, double& enter);
    static double BoxDistance2(const Node& n, const MMVector3d& p);
    // Squared distance from p to the box of the corners at tree position k;
    // NaN for corners that are not finite.
    double TriangleBoxDistance2(uint32_t k, const MMVector3d& p) const;

    uint64_t m_count = 0;
    MLargeArray<uint32_t> m_input;   // input position, in tree order
    MLargeArray<Corners> m_corners;  // in tree order
    std::unique_ptr<Storage> m_storage;
    const Node* m_root = nullptr;
    uint64_t m_nodeCount = 0;
};

// The tree over triangles of a mesh, in internal units.
class MStlTriangleTree {
public:
    struct Hit {
        const MStlTriangleElement* triangle = nullptr;
        // Along the normalised direction.
        double distance = 0.0;
        MMVector3d point;
    };
    struct Nearest {
        const MStlTriangleElement* triangle = nullptr;
        double distance = 0.0;
        MMVector3d point;
    };

    // Over the given triangles (live triangles of one mesh).  More than
    // 4294967295 triangles throws std::runtime_error("Too many objects").
    explicit MStlTriangleTree(const std::vector<const MStlTriangleElement*>& triangles);
    // Over every triangle of the mesh, in slot order.
    explicit MStlTriangleTree(const MStlBase& mesh);
    ~MStlTriangleTree();
    MStlTriangleTree(const MStlTriangleTree&) = delete;
    MStlTriangleTree& operator=(const MStlTriangleTree&) = delete;

    uint64_t GetNumberOfTriangles() const { return m_tree.GetNumberOfTriangles(); }
    uint64_t GetNumberOfNodes() const { return m_tree.GetNumberOfNodes(); }
    // The triangle at tree position k (0 .. triangles-1).
    const MStlTriangleElement* GetTriangle(uint32_t k) const { return m_triangles[k]; }

    // The nearest triangle that the ray from `origin` along `direction`
    // (normalised here; a zero direction hits nothing) meets within
    // `maxLength`.  Triangles are hit from both sides; a ray running in a
    // triangle's plane misses it.  Of equally near hits the one met last in
    // the tree's fixed order wins.
    bool CastRay(const MMVector3d& origin, const MMVector3d& direction, double maxLength, Hit& hit) const;
    // Every triangle the ray meets within `maxLength`, nearest first.
    std::vector<Hit> CastRayAll(const MMVector3d& origin, const MMVector3d& direction, double maxLength) const;

    // The nearest point of the triangles to `point` within `maxDistance`
    // (inclusive); false when no triangle comes that near.  Of equally near
    // triangles the first one met in the tree's fixed order wins.
    bool FindNearest(const MMVector3d& point, double maxDistance, Nearest& nearest) const;
    // Visits, nearer boxes first, the triangles whose boxes lie within
    // `maxDistance` of `point`: `accept(triangle, distance, closest)` gets
    // each with its distance and nearest point, and returns true to make it
    // the nearest so far, which limits the search to boxes no farther than
    // that distance.  Returns the last triangle accepted (null for none).
    const MStlTriangleElement* FindNearestIf(
        const MMVector3d& point, double maxDistance,
        const std::function<bool(const MStlTriangleElement*, double, const MMVector3d&)>& accept) const;

private:
    struct LiveTriangles;
    explicit MStlTriangleTree(const LiveTriangles& live);
    MStlTriangleTree(const MStlTriangleElement* const* triangles, uint64_t count);

    MTriangleTree<int32_t> m_tree;
    MLargeArray<const MStlTriangleElement*> m_triangles;  // in tree order
};

// --- traversal -------------------------------------------------------------

template <class C>
bool MTriangleTree<C>::EnterBox(const Node& n, const MMVector3d& o, const MMVector3d& inv, const MMVector3d& d,
                                double limit, double& enter) {
    double t0 = 0.0, t1 = limit;
    for (int a = 0; a < 3; ++a) {
        const double lo = double(n.lo[a]), hi = double(n.hi[a]);
        if (d[a] == 0.0) {
            if (o[a] < lo || o[a] > hi) return false;
            continue;
        }
        double tNear = (lo - o[a]) * inv[a], tFar = (hi - o[a]) * inv[a];
        if (tNear > tFar) std::swap(tNear, tFar);
        t0 = std::max(t0, tNear);
        t1 = std::min(t1, tFar);
        if (t0 > t1) return false;
    }
    enter = t0;
    return true;
}

template <class C>
double MTriangleTree<C>::BoxDistance2(const Node& n, const MMVector3d& p) {
    double sum = 0.0;
    for (int a = 0; a < 3; ++a) {
        const double below = double(n.lo[a]) - p[a], above = p[a] - double(n.hi[a]);
        const double gap = below > 0.0 ? below : above > 0.0 ? above : 0.0;
        sum += gap * gap;
    }
    // An empty box (lo above hi) is never near.
    for (int a = 0; a < 3; ++a)
        if (!(n.lo[a] <= n.hi[a])) return std::numeric_limits<double>::infinity();
    return sum;
}

template <class C>
double MTriangleTree<C>::TriangleBoxDistance2(uint32_t k, const MMVector3d& p) const {
    const Corners& c = m_corners[k];
    double sum = 0.0;
    for (int a = 0; a < 3; ++a) {
        if constexpr (std::is_floating_point_v<C>) {
            if (!std::isfinite(c[0][a]) || !std::isfinite(c[1][a]) || !std::isfinite(c[2][a]))
                return std::numeric_limits<double>::quiet_NaN();
        }
        const double lo = double(std::min({c[0][a], c[1][a], c[2][a]}));
        const double hi = double(std::max({c[0][a], c[1][a], c[2][a]}));
        const double gap = lo > p[a] ? lo - p[a] : p[a] > hi ? p[a] - hi : 0.0;
        sum += gap * gap;
    }
    return sum;
}

template <class C>
template <class Visit>
void MTriangleTree<C>::TraverseRay(const MMVector3d& o, const MMVector3d& d, double& limit, Visit&& visit) const {
    if (!m_root) return;
    const MMVector3d inv(1.0 / d[0], 1.0 / d[1], 1.0 / d[2]);
    struct Entry {
        const Node* node;
        double enter;
    };
    // Median splits keep the depth below 33 for 2^32 triangles; each level
    // leaves at most one entry on the stack.
    std::array<Entry, 80> stack;
    size_t top = 0;
    double enter = 0.0;
    if (!EnterBox(*m_root, o, inv, d, limit, enter)) return;
    stack[top++] = {m_root, enter};
    while (top) {
        const Entry e = stack[--top];
        if (e.enter > limit) continue;
        const Node& node = *e.node;
        if (node.count) {
            for (uint32_t k = node.first; k < node.first + node.count; ++k) {
                double t;
                if (IntersectRay(k, o, d, limit, t)) visit(k, t);
            }
            continue;
        }
        Entry next[2];
        int count = 0;
        double t;
        for (const Node* child : node.child)
            if (EnterBox(*child, o, inv, d, limit, t)) next[count++] = {child, t};
        if (count == 2 && next[1].enter < next[0].enter) std::swap(next[0], next[1]);
        // The nearer child goes on top.
        while (count) stack[top++] = next[--count];
    }
}

template <class C>
template <class Visit>
void MTriangleTree<C>::VisitNear(const MMVector3d& p, double limit, Visit&& visit) const {
    if (!m_root || !(limit >= 0.0)) return;
    struct Entry {
        const Node* node;
        double distance2;
    };
    std::array<Entry, 80> stack;
    size_t top = 0;
    const double rootDistance2 = BoxDistance2(*m_root, p);
    if (!(rootDistance2 <= limit * limit)) return;
    stack[top++] = {m_root, rootDistance2};
    while (top) {
        const Entry e = stack[--top];
        if (e.distance2 > limit * limit) continue;
        const Node& node = *e.node;
        if (node.count) {
            for (uint32_t k = node.first; k < node.first + node.count; ++k)
                if (TriangleBoxDistance2(k, p) <= limit * limit) limit = visit(k, limit);
            continue;
        }
        Entry next[2];
        int count = 0;
        for (const Node* child : node.child) {
            const double d2 = BoxDistance2(*child, p);
            if (d2 <= limit * limit) next[count++] = {child, d2};
        }
        if (count == 2 && next[1].distance2 < next[0].distance2) std::swap(next[0], next[1]);
        while (count) stack[top++] = next[--count];
    }
}

extern template class MTriangleTree<int32_t>;
extern template class MTriangleTree<double>;

#include "host/MStlTriangleTree.h"

#include <tbb/blocked_range.h>
#include <tbb/concurrent_queue.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace {
// Triangles per leaf.
constexpr uint32_t kLeafSize = 4;
// Below this many triangles a sub-tree is built by one task alone.
constexpr uint32_t kTaskGrain = 8192;
// A ray this close to a triangle's plane misses it.
constexpr double kParallel = 1.4901161193847656e-8;  // 2^-26

struct Box {
    int32_t lo[3], hi[3];
};

int32_t Saturate(int64_t v) { return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

// The triangle's integer box grown by one unit on every side.
Box BoxOf(const MStlTriangle& t) {
    Box b;
    for (int a = 0; a < 3; ++a) {
        const int32_t p = t.GetPoint(0)->Get(a), q = t.GetPoint(1)->Get(a), r = t.GetPoint(2)->Get(a);
        b.lo[a] = Saturate(int64_t(std::min({p, q, r})) - 1);
        b.hi[a] = Saturate(int64_t(std::max({p, q, r})) + 1);
    }
    return b;
}

// Twice the box centre, exact in 64 bits.
int64_t Centre2(const Box& b, int axis) { return int64_t(b.lo[axis]) + b.hi[axis]; }

// Entry distance of the ray into the box, or false when it misses the box
// within `limit`.
bool EnterBox(const int32_t lo[3], const int32_t hi[3], const MMVector3d& o, const MMVector3d& inv,
              const MMVector3d& d, double limit, double& enter) {
    double t0 = 0.0, t1 = limit;
    for (int a = 0; a < 3; ++a) {
        if (d[a] == 0.0) {
            if (o[a] < lo[a] || o[a] > hi[a]) return false;
            continue;
        }
        double n = (lo[a] - o[a]) * inv[a], f = (hi[a] - o[a]) * inv[a];
        if (n > f) std::swap(n, f);
        t0 = std::max(t0, n);
        t1 = std::min(t1, f);
        if (t0 > t1) return false;
    }
    enter = t0;
    return true;
}
}  // namespace

struct MStlTriangleTree::Node {
    int32_t lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    // A leaf holds `count` > 0 triangles from tree position `first`; an
    // inner node has two children.
    uint32_t first = 0, count = 0;
    const Node* child[2] = {nullptr, nullptr};
};

// Nodes come from a deque of the thread that made them: no locking, and
// addresses stay put while the deques grow.
struct MStlTriangleTree::Storage {
    tbb::enumerable_thread_specific<std::deque<Node>> nodes;
    Node* New() { return &nodes.local().emplace_back(); }
};

MStlTriangleTree::MStlTriangleTree(const std::vector<const MStlTriangleElement*>& triangles)
    : m_storage(std::make_unique<Storage>()) {
    _Build(triangles);
}

MStlTriangleTree::MStlTriangleTree(const MStlBase& mesh) : m_storage(std::make_unique<Storage>()) {
    // By slot rather than along the list: the slots lie in memory in order
    // and are read in parallel; free slots give null and are dropped.
    std::vector<const MStlTriangleElement*> all(mesh.GetNumberOfTriangleSlots());
    tbb::parallel_for(
        tbb::blocked_range<uint32_t>(0, uint32_t(all.size()), 4096),
        [&](const tbb::blocked_range<uint32_t>& r) {
            for (uint32_t slot = r.begin(); slot != r.end(); ++slot) all[slot] = mesh.GetTriangleBySlot(slot);
        },
        tbb::static_partitioner());
    std::erase(all, nullptr);
    _Build(all);
}

MStlTriangleTree::~MStlTriangleTree() = default;

void MStlTriangleTree::_Build(const std::vector<const MStlTriangleElement*>& triangles) {
    if (triangles.size() > uint64_t(UINT32_MAX)) throw std::runtime_error("Too many objects");
    const uint32_t n = uint32_t(triangles.size());
    if (n == 0) return;

    // The triangles' boxes with their input positions, moved about by the
    // splits: every split reads and reorders a contiguous stretch.
    struct Item {
        Box box;
        uint32_t index;
    };
    // Left uninitialised: the parallel loop writes, and so first touches, every item.
    const std::unique_ptr<Item[]> items(new Item[n]);
    tbb::parallel_for(
        tbb::blocked_range<uint32_t>(0, n, 4096),
        [&](const tbb::blocked_range<uint32_t>& r) {
            for (uint32_t i = r.begin(); i != r.end(); ++i) items[i] = {BoxOf(*triangles[i]), i};
        },
        tbb::static_partitioner());

    // One pending node: the items [begin, end) go below `node`.
    struct Pending {
        uint32_t begin = 0, end = 0;
        Node* node = nullptr;
    };
    // Fills `node` from its triangles; returns false for a leaf, otherwise
    // splits them at the median and gives the two halves.
    auto split = [&](const Pending& p, Pending& left, Pending& right) {
        Node& node = *p.node;
        int64_t cLo[3], cHi[3];
        for (int a = 0; a < 3; ++a) {
            node.lo[a] = INT32_MAX, node.hi[a] = INT32_MIN;
            cLo[a] = INT64_MAX, cHi[a] = INT64_MIN;
        }
        for (uint32_t k = p.begin; k < p.end; ++k) {
            const Box& b = items[k].box;
            for (int a = 0; a < 3; ++a) {
                node.lo[a] = std::min(node.lo[a], b.lo[a]);
                node.hi[a] = std::max(node.hi[a], b.hi[a]);
                cLo[a] = std::min(cLo[a], Centre2(b, a));
                cHi[a] = std::max(cHi[a], Centre2(b, a));
            }
        }
        if (p.end - p.begin <= kLeafSize) {
            node.first = p.begin;
            node.count = p.end - p.begin;
            return false;
        }
        int axis = 0;
        for (int a = 1; a < 3; ++a)
            if (cHi[a] - cLo[a] > cHi[axis] - cLo[axis]) axis = a;
        const uint32_t mid = p.begin + (p.end - p.begin) / 2;
        std::nth_element(items.get() + p.begin, items.get() + mid, items.get() + p.end,
                         [axis](const Item& x, const Item& y) {
                             const int64_t cx = Centre2(x.box, axis), cy = Centre2(y.box, axis);
                             return cx != cy ? cx < cy : x.index < y.index;
                         });
        Node* l = m_storage->New();
        Node* r = m_storage->New();
        node.child[0] = l;
        node.child[1] = r;
        left = {p.begin, mid, l};
        right = {mid, p.end, r};
        return true;
    };
    auto buildSequential = [&](const Pending& root) {
        std::vector<Pending> stack{root};
        while (!stack.empty()) {
            const Pending p = stack.back();
            stack.pop_back();
            Pending l, r;
            if (split(p, l, r)) stack.push_back(r), stack.push_back(l);
        }
    };

    tbb::concurrent_queue<Pending> pending;
    tbb::task_group group;
    std::function<void()> runOne = [&] {
        Pending p;
        if (!pending.try_pop(p)) return;
        if (p.end - p.begin <= kTaskGrain) return buildSequential(p);
        Pending l, r;
        if (!split(p, l, r)) return;
        pending.push(l);
        pending.push(r);
        group.run(runOne);
        group.run(runOne);
    };
    Node* root = m_storage->New();
    m_root = root;
    pending.push({0, n, root});
    group.run(runOne);
    group.wait();

    m_triangles.resize(n);
    m_corners.reset(new Corners[n]);
    tbb::parallel_for(
        tbb::blocked_range<uint32_t>(0, n, 4096),
        [&](const tbb::blocked_range<uint32_t>& r) {
            for (uint32_t k = r.begin(); k != r.end(); ++k) {
                const MStlTriangleElement* t = triangles[items[k].index];
                m_triangles[k] = t;
                for (int c = 0; c < 3; ++c)
                    for (int a = 0; a < 3; ++a) m_corners[k].c[c][a] = t->GetPoint(c)->Get(a);
            }
        },
        tbb::auto_partitioner());  // scattered reads: let the load balance itself
    for (const std::deque<Node>& local : m_storage->nodes) m_nodeCount += local.size();
}

bool MStlTriangleTree::_Intersect(uint32_t k, const MMVector3d& o, const MMVector3d& d, double limit,
                                  double& t) const {
    const int32_t (*c)[3] = m_corners[k].c;
    const MMVector3d a(c[0][0], c[0][1], c[0][2]);
    const MMVector3d e1 = MMVector3d(c[1][0], c[1][1], c[1][2]) - a;
    const MMVector3d e2 = MMVector3d(c[2][0], c[2][1], c[2][2]) - a;
    const MMVector3d p = d.Cross(e2);
    double det = e1.Dot(p);  // -(N . d) for the normal N = e1 x e2
    if (std::fabs(det) <= kParallel) return false;
    const MMVector3d s = o - a;
    const MMVector3d q = s.Cross(e1);
    double u = s.Dot(p), v = d.Dot(q);
    if (det < 0.0) u = -u, v = -v;
    const double absDet = std::fabs(det);
    if (u < 0.0 || v < 0.0 || u + v > absDet) return false;
    t = e2.Dot(q) / det;
    return t >= 0.0 && t <= limit;
}

// Visits the leaves' triangles nearest box first; `visit(k, t)` sees every
// hit within `limit` and may lower `limit` to prune farther boxes.
template <class Visit>
void MStlTriangleTree::_Traverse(const MMVector3d& o, const MMVector3d& d, double& limit, Visit&& visit) const {
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
    if (!EnterBox(m_root->lo, m_root->hi, o, inv, d, limit, enter)) return;
    stack[top++] = {m_root, enter};
    while (top) {
        const Entry e = stack[--top];
        if (e.enter > limit) continue;
        const Node& node = *e.node;
        if (node.count) {
            for (uint32_t k = node.first; k < node.first + node.count; ++k) {
                double t;
                if (_Intersect(k, o, d, limit, t)) visit(k, t);
            }
            continue;
        }
        Entry next[2];
        int count = 0;
        double t;
        for (const Node* child : node.child)
            if (EnterBox(child->lo, child->hi, o, inv, d, limit, t)) next[count++] = {child, t};
        if (count == 2 && next[1].enter < next[0].enter) std::swap(next[0], next[1]);
        // The nearer child goes on top.
        while (count) stack[top++] = next[--count];
    }
}

bool MStlTriangleTree::CastRay(const MMVector3d& origin, const MMVector3d& direction, double maxLength,
                               Hit& hit) const {
    MMVector3d d = direction;
    if (!d.Normalize()) return false;
    double limit = maxLength;
    int64_t best = -1;
    _Traverse(origin, d, limit, [&](uint32_t k, double t) {
        limit = t;
        best = k;
    });
    if (best < 0) return false;
    hit.triangle = m_triangles[size_t(best)];
    hit.distance = limit;
    hit.point = origin + d * limit;
    return true;
}

std::vector<MStlTriangleTree::Hit> MStlTriangleTree::CastRayAll(const MMVector3d& origin, const MMVector3d& direction,
                                                                double maxLength) const {
    std::vector<Hit> hits;
    MMVector3d d = direction;
    if (!d.Normalize()) return hits;
    double limit = maxLength;
    _Traverse(origin, d, limit, [&](uint32_t k, double t) { hits.push_back({m_triangles[k], t, origin + d * t}); });
    std::stable_sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.distance < b.distance; });
    return hits;
}

#include "host/MStlTriangleTree.h"

#include <tbb/blocked_range.h>
#include <tbb/concurrent_queue.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_pipeline.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <deque>
#include <stdexcept>
#include <type_traits>

namespace {
// Triangles per leaf.
constexpr uint32_t kLeafSize = 4;
// Below this many triangles a sub-tree is built by one task alone.
constexpr uint32_t kTaskGrain = 8192;
// Triangles per item of the box pipeline.
constexpr uint32_t kBoxRun = 4096;
// A ray this close to a triangle's plane misses it.
constexpr double kParallel = 1.4901161193847656e-8;  // 2^-26

template <class C>
struct Box {
    C lo[3], hi[3];
};

int32_t Saturate(int64_t v) { return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

// The integer corners' box grown by one unit on every side, so that ray and
// distance tests in doubles never miss a triangle on the box's face.
Box<int32_t> BoxOf(const MTriangleTree<int32_t>::Corners& c) {
    Box<int32_t> b;
    for (int a = 0; a < 3; ++a) {
        b.lo[a] = Saturate(int64_t(std::min({c[0][a], c[1][a], c[2][a]})) - 1);
        b.hi[a] = Saturate(int64_t(std::max({c[0][a], c[1][a], c[2][a]})) + 1);
    }
    return b;
}

// The double corners' box, exact; empty (low above high) when a corner is
// not finite.
Box<double> BoxOf(const MTriangleTree<double>::Corners& c) {
    Box<double> b;
    bool finite = true;
    for (int a = 0; a < 3; ++a) {
        b.lo[a] = std::min({c[0][a], c[1][a], c[2][a]});
        b.hi[a] = std::max({c[0][a], c[1][a], c[2][a]});
        finite = finite && std::isfinite(c[0][a]) && std::isfinite(c[1][a]) && std::isfinite(c[2][a]);
    }
    if (!finite)
        for (int a = 0; a < 3; ++a) b.lo[a] = INFINITY, b.hi[a] = -INFINITY;
    return b;
}

// Twice the box centre along an axis: exact in 64 bits for integer boxes;
// for double boxes an empty box counts as centred at 0, so that the order
// stays strict.
int64_t CentreKey(const Box<int32_t>& b, int axis) { return int64_t(b.lo[axis]) + b.hi[axis]; }
double CentreKey(const Box<double>& b, int axis) {
    const double k = b.lo[axis] + b.hi[axis];
    return k == k ? k : 0.0;
}
}  // namespace

// Nodes come from a deque of the thread that made them: no locking, and
// addresses stay put while the deques grow.
template <class C>
struct MTriangleTree<C>::Storage {
    tbb::enumerable_thread_specific<std::deque<Node>> nodes;
    Node* New() { return &nodes.local().emplace_back(); }
};

template <class C>
MTriangleTree<C>::~MTriangleTree() = default;
template <class C>
MTriangleTree<C>::MTriangleTree(MTriangleTree&&) noexcept = default;
template <class C>
MTriangleTree<C>& MTriangleTree<C>::operator=(MTriangleTree&&) noexcept = default;

template <class C>
MTriangleTree<C>::MTriangleTree(uint64_t count, const CornerSource& source) : m_storage(std::make_unique<Storage>()) {
    if (count > uint64_t(UINT32_MAX)) throw std::runtime_error("Too many objects");
    const uint32_t n = uint32_t(count);
    m_count = n;
    if (n == 0) return;

    // The triangles' boxes with their input positions, moved about by the
    // splits: every split reads and reorders a contiguous stretch.
    using Key = decltype(CentreKey(Box<C>{}, 0));
    struct Item {
        Box<C> box;
        uint32_t index;
    };
    // Left uninitialised: the box filter writes, and so first touches, every item.
    const MLargeArray<Item> items = NewLargeArray<Item>(n);

    // The boxes: a serial filter hands out runs of triangles, each with its
    // first triangle's position in the source, input index and box slot; a
    // parallel filter reads the runs' corners and computes their boxes.  The
    // sources are dense, so the three numbers of a run coincide.
    struct Run {
        uint32_t position, index, slot, count;
    };
    uint32_t next = 0;
    tbb::parallel_pipeline(
        size_t(4 * tbb::this_task_arena::max_concurrency()),
        tbb::make_filter<void, Run>(tbb::filter_mode::serial_in_order,
                                    [&](tbb::flow_control& control) -> Run {
                                        if (next == n) {
                                            control.stop();
                                            return Run{0, 0, 0, 0};
                                        }
                                        const Run run{next, next, next, std::min(kBoxRun, n - next)};
                                        next += run.count;
                                        return run;
                                    }) &
            tbb::make_filter<Run, void>(tbb::filter_mode::parallel, [&](const Run& run) {
                Corners corners;
                for (uint32_t k = 0; k != run.count; ++k) {
                    source(run.position + k, corners);
                    items[run.slot + k] = {BoxOf(corners), run.index + k};
                }
            }));

    // One pending node: the items [begin, end) go below `node`.
    struct Pending {
        uint32_t begin = 0, end = 0;
        Node* node = nullptr;
    };
    // Fills `node` from its triangles; returns false for a leaf, otherwise
    // splits them at the median and gives the two halves.
    auto split = [&](const Pending& p, Pending& left, Pending& right) {
        Node& node = *p.node;
        Key cLo[3], cHi[3];
        for (int a = 0; a < 3; ++a) {
            node.lo[a] = std::numeric_limits<C>::max(), node.hi[a] = std::numeric_limits<C>::lowest();
            cLo[a] = std::numeric_limits<Key>::max(), cHi[a] = std::numeric_limits<Key>::lowest();
        }
        for (uint32_t k = p.begin; k < p.end; ++k) {
            const Box<C>& b = items[k].box;
            for (int a = 0; a < 3; ++a) {
                node.lo[a] = std::min(node.lo[a], b.lo[a]);
                node.hi[a] = std::max(node.hi[a], b.hi[a]);
                cLo[a] = std::min(cLo[a], CentreKey(b, a));
                cHi[a] = std::max(cHi[a], CentreKey(b, a));
            }
        }
        if constexpr (std::is_floating_point_v<C>) {
            // Only empty boxes below: keep the node empty too.
            if (!(node.lo[0] <= node.hi[0]))
                for (int a = 0; a < 3; ++a) node.lo[a] = INFINITY, node.hi[a] = -INFINITY;
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
                             const Key cx = CentreKey(x.box, axis), cy = CentreKey(y.box, axis);
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

    m_input = NewLargeArray<uint32_t>(n);
    m_corners = NewLargeArray<Corners>(n);
    tbb::parallel_for(
        tbb::blocked_range<uint32_t>(0, n, 4096),
        [&](const tbb::blocked_range<uint32_t>& r) {
            for (uint32_t k = r.begin(); k != r.end(); ++k) {
                m_input[k] = items[k].index;
                source(items[k].index, m_corners[k]);
            }
        },
        tbb::auto_partitioner());  // scattered reads: let the load balance itself
    for (const std::deque<Node>& local : m_storage->nodes) m_nodeCount += local.size();
}

template <class C>
bool MTriangleTree<C>::IntersectRay(uint32_t k, const MMVector3d& o, const MMVector3d& d, double limit,
                                    double& t) const {
    const MMVector3d a = GetCorner(k, 0);
    const MMVector3d e1 = GetCorner(k, 1) - a;
    const MMVector3d e2 = GetCorner(k, 2) - a;
    const MMVector3d p = d.Cross(e2);
    double det = e1.Dot(p);  // -(N . d) for the normal N = e1 x e2
    if (!(std::fabs(det) > kParallel)) return false;
    const MMVector3d s = o - a;
    const MMVector3d q = s.Cross(e1);
    double u = s.Dot(p), v = d.Dot(q);
    if (det < 0.0) u = -u, v = -v;
    const double absDet = std::fabs(det);
    if (u < 0.0 || v < 0.0 || u + v > absDet) return false;
    t = e2.Dot(q) / det;
    return t >= 0.0 && t <= limit;
}

template class MTriangleTree<int32_t>;
template class MTriangleTree<double>;

// --- the mesh's tree ---------------------------------------------------------------

namespace {
constexpr uint32_t kSlotBlock = 4096;

MTriangleTree<int32_t>::CornerSource MeshCorners(const MStlTriangleElement* const* triangles) {
    return [triangles](uint32_t i, MTriangleTree<int32_t>::Corners& corners) {
        const MStlTriangleElement& t = *triangles[i];
        for (int c = 0; c < 3; ++c)
            for (int a = 0; a < 3; ++a) corners[c][a] = t.GetPoint(c)->Get(a);
    };
}
}  // namespace

// Every live triangle of the mesh in slot order.  By slot rather than along
// the list: the slots lie in memory in order and are read in parallel, once
// to count each block's live triangles and once to write them where the
// counts say; the list is first touched by the loop that fills it.
struct MStlTriangleTree::LiveTriangles {
    MLargeArray<const MStlTriangleElement*> list;
    uint32_t count = 0;

    explicit LiveTriangles(const MStlBase& mesh) {
        const uint32_t slots = mesh.GetNumberOfTriangleSlots();
        const uint32_t blocks = (slots + kSlotBlock - 1) / kSlotBlock;
        std::vector<uint32_t> start(size_t(blocks) + 1, 0);
        auto forEachBlock = [&](auto&& body) {
            tbb::parallel_for(
                tbb::blocked_range<uint32_t>(0, blocks, 1),
                [&](const tbb::blocked_range<uint32_t>& r) {
                    for (uint32_t b = r.begin(); b != r.end(); ++b)
                        body(b, b * kSlotBlock, std::min(slots, (b + 1) * kSlotBlock));
                },
                tbb::static_partitioner());
        };
        forEachBlock([&](uint32_t b, uint32_t first, uint32_t end) {
            for (uint32_t slot = first; slot != end; ++slot) start[b + 1] += mesh.GetTriangleBySlot(slot) != nullptr;
        });
        for (uint32_t b = 0; b < blocks; ++b) start[b + 1] += start[b];
        count = start[blocks];
        list = NewLargeArray<const MStlTriangleElement*>(count);
        forEachBlock([&](uint32_t b, uint32_t first, uint32_t end) {
            uint32_t k = start[b];
            for (uint32_t slot = first; slot != end; ++slot)
                if (const MStlTriangleElement* t = mesh.GetTriangleBySlot(slot)) list[k++] = t;
        });
    }
};

MStlTriangleTree::MStlTriangleTree(const MStlTriangleElement* const* triangles, uint64_t count)
    : m_tree(count, MeshCorners(triangles)) {
    // The triangles in tree order.
    const uint32_t n = uint32_t(m_tree.GetNumberOfTriangles());
    m_triangles = NewLargeArray<const MStlTriangleElement*>(n);
    tbb::parallel_for(
        tbb::blocked_range<uint32_t>(0, n, 4096),
        [&](const tbb::blocked_range<uint32_t>& r) {
            for (uint32_t k = r.begin(); k != r.end(); ++k) m_triangles[k] = triangles[m_tree.GetInputPosition(k)];
        },
        tbb::static_partitioner());
}

MStlTriangleTree::MStlTriangleTree(const std::vector<const MStlTriangleElement*>& triangles)
    : MStlTriangleTree(triangles.data(), triangles.size()) {}

MStlTriangleTree::MStlTriangleTree(const MStlBase& mesh) : MStlTriangleTree(LiveTriangles(mesh)) {}

MStlTriangleTree::MStlTriangleTree(const LiveTriangles& live) : MStlTriangleTree(live.list.get(), live.count) {}

MStlTriangleTree::~MStlTriangleTree() = default;

bool MStlTriangleTree::CastRay(const MMVector3d& origin, const MMVector3d& direction, double maxLength,
                               Hit& hit) const {
    MMVector3d d = direction;
    if (!d.Normalize()) return false;
    double limit = maxLength;
    int64_t best = -1;
    m_tree.TraverseRay(origin, d, limit, [&](uint32_t k, double t) {
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
    m_tree.TraverseRay(origin, d, limit,
                       [&](uint32_t k, double t) { hits.push_back({m_triangles[k], t, origin + d * t}); });
    std::stable_sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.distance < b.distance; });
    return hits;
}

const MStlTriangleElement* MStlTriangleTree::FindNearestIf(
    const MMVector3d& point, double maxDistance,
    const std::function<bool(const MStlTriangleElement*, double, const MMVector3d&)>& accept) const {
    const MStlTriangleElement* found = nullptr;
    m_tree.VisitNear(point, maxDistance, [&](uint32_t k, double limit) {
        MMVector3d closest;
        const double d = QelSDK::Math::point_to_triangle_distance(point, m_tree.GetCorner(k, 0),
                                                                  m_tree.GetCorner(k, 1), m_tree.GetCorner(k, 2),
                                                                  &closest);
        if (!(d <= limit) || !accept(m_triangles[k], d, closest)) return limit;
        found = m_triangles[k];
        return d;
    });
    return found;
}

bool MStlTriangleTree::FindNearest(const MMVector3d& point, double maxDistance, Nearest& nearest) const {
    bool found = false;
    const MStlTriangleElement* t =
        FindNearestIf(point, maxDistance, [&](const MStlTriangleElement* candidate, double d, const MMVector3d& q) {
            if (found && !(d < nearest.distance)) return false;
            nearest = {candidate, d, q};
            return found = true;
        });
    return t != nullptr;
}

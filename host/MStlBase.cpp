#include "host/MStlBase.h"

#include "host/MInternalUnits.h"

#include <absl/container/flat_hash_set.h>
#include <absl/hash/hash.h>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_scan.h>
#include <tbb/spin_rw_mutex.h>

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>

#include "host/MStlTriangleTree.h"

namespace {
constexpr uint32_t kBlockBits = 12;
constexpr uint32_t kBlockSize = 1u << kBlockBits;
constexpr uint32_t kBlockMask = kBlockSize - 1;

struct CoordinateKey {
    int32_t x, y, z;
};

struct PointHash {
    using is_transparent = void;
    size_t operator()(const CoordinateKey& k) const { return absl::HashOf(k.x, k.y, k.z); }
    size_t operator()(const MStlPoint* p) const { return absl::HashOf(p->GetX(), p->GetY(), p->GetZ()); }
};

struct PointEq {
    using is_transparent = void;
    static CoordinateKey Key(const MStlPoint* p) { return {p->GetX(), p->GetY(), p->GetZ()}; }
    static CoordinateKey Key(const CoordinateKey& k) { return k; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
        const CoordinateKey ka = Key(a), kb = Key(b);
        return ka.x == kb.x && ka.y == kb.y && ka.z == kb.z;
    }
};

// Records in fixed blocks: stable addresses, index -> record in two steps,
// record -> index by a search over the block addresses (no need to read the
// record itself, which keeps copies cache friendly).
template <class T>
class ChunkArena {
public:
    ChunkArena() = default;
    ChunkArena(const ChunkArena&) = delete;
    ChunkArena& operator=(const ChunkArena&) = delete;
    ~ChunkArena() { Clear(); }

    T& operator[](uint32_t i) { return m_blocks[i >> kBlockBits][i & kBlockMask]; }
    const T& operator[](uint32_t i) const { return m_blocks[i >> kBlockBits][i & kBlockMask]; }
    // Makes slots [0, i] addressable.  Large growth constructs the new
    // blocks in parallel, which also spreads the first touch of the pages.
    void EnsureSlot(uint32_t i) {
        const size_t first = m_blocks.size();
        while ((i >> kBlockBits) >= m_blocks.size()) m_blocks.push_back(NewBlock());
        if (m_blocks.size() == first) return;
        tbb::parallel_for(first, m_blocks.size(), [&](size_t b) { std::uninitialized_value_construct_n(m_blocks[b], kBlockSize); });
        for (size_t b = first; b < m_blocks.size(); ++b) m_sorted.emplace_back(m_blocks[b], uint32_t(b));
        std::sort(m_sorted.begin(), m_sorted.end());
    }
    uint32_t IndexOf(const T* p) const {
        auto it = std::upper_bound(m_sorted.begin(), m_sorted.end(), std::pair<const T*, uint32_t>(p, UINT32_MAX));
        --it;
        return (it->second << kBlockBits) | uint32_t(p - it->first);
    }
    void Clear() {
        for (T* b : m_blocks) std::destroy_n(b, kBlockSize);
        for (void* slab : m_slabs) std::free(slab);
        m_blocks.clear();
        m_sorted.clear();
        m_slabs.clear();
        m_slabLeft = 0;
    }
    size_t Blocks() const { return m_blocks.size(); }

private:
    static constexpr size_t kBlockBytes = sizeof(T) * kBlockSize;
    static constexpr size_t kHugePage = size_t(2) << 20;
    static constexpr size_t kSmallMeshBlocks = 4;

    // The first blocks of a mesh are plain allocations; a mesh that grows
    // beyond them takes its blocks from 2 MiB-aligned slabs on transparent
    // huge pages, which cuts the page faults of filling a large mesh by
    // orders of magnitude.
    T* NewBlock() {
        if (m_blocks.size() < kSmallMeshBlocks) return static_cast<T*>(NewSlab(kBlockBytes, alignof(T) < 64 ? 64 : alignof(T)));
        if (m_slabLeft < kBlockBytes) {
            const size_t bytes = (std::max(kBlockBytes * 8, kHugePage) + kHugePage - 1) / kHugePage * kHugePage;
            m_slabCursor = static_cast<char*>(NewSlab(bytes, kHugePage));
#ifdef MADV_HUGEPAGE
            madvise(m_slabCursor, bytes, MADV_HUGEPAGE);
#endif
            m_slabLeft = bytes;
        }
        T* block = reinterpret_cast<T*>(m_slabCursor);
        m_slabCursor += kBlockBytes;
        m_slabLeft -= kBlockBytes;
        return block;
    }
    void* NewSlab(size_t bytes, size_t alignment) {
        void* slab = std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
        if (!slab) throw std::bad_alloc();
        m_slabs.push_back(slab);
        return slab;
    }

    std::vector<T*> m_blocks;
    std::vector<std::pair<const T*, uint32_t>> m_sorted;
    std::vector<void*> m_slabs;
    char* m_slabCursor = nullptr;
    size_t m_slabLeft = 0;
};

inline bool SameCoordinates(const MStlPoint* a, const MStlPoint* b) { return *a == *b; }
// Numbers the selected slots [0, count) in order: slot[i] is the new slot of
// i, or UINT32_MAX where `selected(i)` is false.  Returns how many there are.
template <class Selected>
uint32_t NumberSelected(std::vector<uint32_t>& slot, uint32_t count, Selected&& selected) {
    slot.assign(count, UINT32_MAX);
    return tbb::parallel_scan(
        tbb::blocked_range<uint32_t>(0, count, 1u << 14), uint32_t(0),
        [&](const tbb::blocked_range<uint32_t>& range, uint32_t next, bool final) {
            for (uint32_t i = range.begin(); i != range.end(); ++i)
                if (selected(i)) {
                    if (final) slot[i] = next;
                    ++next;
                }
            return next;
        },
        std::plus<uint32_t>());
}

// Tallies the sides along the edges of one point's fan that lead to points
// after it (by address), so that visiting every point tallies each edge of
// a mesh once.  An edge is sound when it has exactly one side each way.
class EdgeTally {
public:
    void Start(const MStlPoint* p) {
        m_p = p;
        m_edges.clear();
    }
    void Add(const MStlTriangleElement* t) {
        const int ip = t->IndexOfPoint(m_p);
        Count(t->GetPoint((ip + 1) % 3), true);
        Count(t->GetPoint((ip + 2) % 3), false);
    }
    uint64_t Unpaired() const {
        uint64_t sides = 0;
        for (const Edge& e : m_edges)
            if (e.out != 1 || e.in != 1) sides += uint64_t(e.out + e.in);
        return sides;
    }

private:
    struct Edge {
        const MStlPoint* other;
        int out, in;
    };
    void Count(const MStlPoint* other, bool out) {
        if (other < m_p) return;
        auto it = std::find_if(m_edges.begin(), m_edges.end(), [&](const Edge& e) { return e.other == other; });
        if (it == m_edges.end()) it = m_edges.insert(m_edges.end(), {other, 0, 0});
        ++(out ? it->out : it->in);
    }
    const MStlPoint* m_p = nullptr;
    std::vector<Edge> m_edges;
};

}  // namespace

struct MStlBase::Impl {
    ChunkArena<MStlPoint> points;
    ChunkArena<MStlTriangleElement> triangles;
    std::vector<uint32_t> freePoints;
    std::vector<uint32_t> freeTriangles;
    absl::flat_hash_set<MStlPoint*, PointHash, PointEq> index;
    // Built on the first lookup, so that meshes filled with new points only
    // (copies, cut outputs) never pay for it.  Lookups on a mesh that is not
    // being changed may come from several threads: the first builds the
    // index under the lock, the others wait for it.
    std::atomic<bool> indexValid = false;
    std::mutex indexMutex;
    size_t reserveHint = 0;
    // The cached triangle tree; readers share it under the lock.
    std::shared_ptr<const MStlTriangleTree> tree;
    tbb::spin_rw_mutex treeMutex;
    void DropTree() {
        if (tree) tree.reset();
    }

    void EnsureIndex(const MStlBase& mesh) {
        if (indexValid.load(std::memory_order_acquire)) return;
        const std::lock_guard lock(indexMutex);
        if (indexValid.load(std::memory_order_relaxed)) return;
        index.clear();
        index.reserve(std::max<size_t>(mesh.m_livePoints, reserveHint));
        for (uint32_t i = 0; i < mesh.m_pointSlots; ++i) {
            MStlPoint& p = points[i];
            if (p.IsAlive()) index.insert(&p);
        }
        indexValid.store(true, std::memory_order_release);
    }
};

// ---------------------------------------------------------------------------
// Triangle

MMVector3d MStlTriangle::GetAreaVector() const {
    const MMVector3d a = m_p[0]->GetVector(), b = m_p[1]->GetVector(), c = m_p[2]->GetVector();
    return (b - a).Cross(c - a);
}

// Exact zero-area test from the integer corners.
bool MStlTriangle::IsZeroArea(const MStlPoint* a, const MStlPoint* b, const MStlPoint* c) {
    const int64_t ux = int64_t(b->GetX()) - a->GetX(), uy = int64_t(b->GetY()) - a->GetY(),
                  uz = int64_t(b->GetZ()) - a->GetZ();
    const int64_t vx = int64_t(c->GetX()) - a->GetX(), vy = int64_t(c->GetY()) - a->GetY(),
                  vz = int64_t(c->GetZ()) - a->GetZ();
    return __int128(uy) * vz == __int128(uz) * vy && __int128(uz) * vx == __int128(ux) * vz &&
           __int128(ux) * vy == __int128(uy) * vx;
}

bool MStlTriangle::IsZeroArea() const { return IsZeroArea(m_p[0], m_p[1], m_p[2]); }

bool MStlTriangle::CalculateNormal(MMVector3d& n) const {
    if (IsZeroArea()) return false;
    n = GetAreaVector();
    return n.Normalize();
}

MMVector3d MStlTriangle::GetNormal() const {
    MMVector3d n;
    return CalculateNormal(n) ? n : MMVector3d();
}

MStlTriangleElement* MStlTriangle::FindAdjacentTriangle(int edge, bool oppositeOnly) const {
    const MStlPoint* p = m_p[edge];
    const MStlPoint* q = m_p[(edge + 1) % 3];
    for (MStlTriangleElement* t : p->m_fan) {
        if (t == this) continue;
        const int iq = t->IndexOfPoint(q);
        if (iq < 0) continue;
        if (!oppositeOnly || t->m_p[(iq + 1) % 3] == p) return t;
    }
    return nullptr;
}

void MStlTriangle::CopyStateFrom(const MStlTriangle& source, bool status, bool facing, bool mark, bool surface,
                                 bool selection, bool /*textures*/) {
    if (status) m_status = source.m_status;
    if (facing) SetFacing(source.GetFacing());
    if (mark) source.IsMarked() ? Mark() : Unmark();
    if (selection) Select(source.IsSelected());
    if (surface && source.m_stl == m_stl && source.m_surface != m_surface) m_stl->MoveTriangleToSurface(this, source.m_surface);
}

// ---------------------------------------------------------------------------
// Surfaces, features, masks

std::vector<MStlSurface*> MStlFeature::GetSurfaces() const {
    std::vector<MStlSurface*> out;
    for (uint32_t i = 0; i < m_stl->GetNumberOfSurfaces(); ++i)
        if (m_stl->GetSurface(i)->GetFeature() == this) out.push_back(m_stl->GetSurface(i));
    return out;
}

uint64_t MStlFeature::GetNumberOfTriangles() const {
    uint64_t n = 0;
    for (MStlSurface* s : GetSurfaces()) n += s->GetNumberOfTriangles();
    return n;
}

MStlTriangleElement* MStlSurface::AddTriangle(MStlPoint* p0, MStlPoint* p1, MStlPoint* p2) {
    return m_stl->AddTriangle(p0, p1, p2, this);
}

void MStlSurface::MoveTriangle(MStlTriangle* t) {
    if (t->GetStl() == m_stl) m_stl->MoveTriangleToSurface(t, this);
}

const MStlSurfaceBorder& MStlSurface::GetBorder() {
    if (m_border) return *m_border;
    m_border = std::make_unique<MStlSurfaceBorder>();
    // Directed border edges: no triangle of this surface runs them backwards.
    std::vector<std::pair<MStlPoint*, MStlPoint*>> edges;
    for (auto it = m_stl->BeginTriangle(); it != m_stl->EndTriangle(); ++it) {
        MStlTriangleElement* t = *it;
        if (t->GetSurface() != this) continue;
        for (int i = 0; i < 3; ++i) {
            MStlPoint* p = t->GetPoint(i);
            MStlPoint* q = t->GetPoint((i + 1) % 3);
            bool matched = false;
            for (MStlTriangleElement* n : q->m_fan) {
                if (n->GetSurface() != this) continue;
                const int iq = n->IndexOfPoint(q);
                if (n->GetPoint((iq + 1) % 3) == p) { matched = true; break; }
            }
            if (!matched) edges.emplace_back(p, q);
        }
    }
    std::sort(edges.begin(), edges.end());
    std::vector<bool> used(edges.size(), false);
    auto findFrom = [&](MStlPoint* p) -> size_t {
        auto it = std::lower_bound(edges.begin(), edges.end(), std::make_pair(p, static_cast<MStlPoint*>(nullptr)));
        for (; it != edges.end() && it->first == p; ++it)
            if (!used[size_t(it - edges.begin())]) return size_t(it - edges.begin());
        return edges.size();
    };
    for (size_t start = 0; start < edges.size(); ++start) {
        if (used[start]) continue;
        MStlSurfaceBorderContour contour;
        size_t e = start;
        while (true) {
            used[e] = true;
            contour.points.push_back(edges[e].first);
            MStlPoint* next = edges[e].second;
            if (next == edges[start].first) {
                contour.closed = true;
                break;
            }
            e = findFrom(next);
            if (e == edges.size()) {
                contour.points.push_back(next);
                break;
            }
        }
        m_border->contours.push_back(std::move(contour));
    }
    return *m_border;
}

void MStlMasks::Unregister(MDataMaskBase* m) {
    for (auto* list : {&m_triangleMasks, &m_pointMasks}) {
        auto it = std::find(list->begin(), list->end(), m);
        if (it != list->end()) list->erase(it);
    }
}

// ---------------------------------------------------------------------------
// Iterators

MStlIteratorStlPoint::MStlIteratorStlPoint(const MStlBase* mesh, uint32_t slot) : m_mesh(mesh), m_slot(slot) {
    SkipDead();
}

MStlPoint* MStlIteratorStlPoint::operator*() const { return &m_mesh->m_impl->points[m_slot]; }

MStlIteratorStlPoint& MStlIteratorStlPoint::operator++() {
    ++m_slot;
    SkipDead();
    return *this;
}

void MStlIteratorStlPoint::SkipDead() {
    while (m_slot < m_mesh->m_pointSlots && !m_mesh->m_impl->points[m_slot].IsAlive()) ++m_slot;
}

// ---------------------------------------------------------------------------
// Mesh: records

MStlBase::MStlBase() : m_impl(std::make_unique<Impl>()) { QelSDK::Common::MInternalUnits::Freeze(); }
MStlBase::~MStlBase() = default;

MStlPoint* MStlBase::NewPointSlot() {
    uint32_t slot;
    if (!m_impl->freePoints.empty()) {
        slot = m_impl->freePoints.back();
        m_impl->freePoints.pop_back();
    } else {
        slot = m_pointSlots++;
        m_impl->points.EnsureSlot(slot);
    }
    MStlPoint* p = &m_impl->points[slot];
    p->m_index = slot;
    p->m_alive = true;
    p->m_fan.clear();
    ++m_livePoints;
    return p;
}

MStlTriangleElement* MStlBase::NewTriangleSlot() {
    uint32_t slot;
    if (!m_impl->freeTriangles.empty()) {
        slot = m_impl->freeTriangles.back();
        m_impl->freeTriangles.pop_back();
    } else {
        slot = m_triangleSlots++;
        m_impl->triangles.EnsureSlot(slot);
    }
    MStlTriangleElement* e = &m_impl->triangles[slot];
    e->m_index = slot;
    e->m_stl = this;
    e->m_status = 0;
    e->m_flags = MStlTriangle::kAlive;
    e->m_surface = nullptr;
    ++m_liveTriangles;
    return e;
}

void MStlBase::LinkTriangle(MStlTriangleElement* e) {
    m_impl->DropTree();
    e->m_prev = m_tail;
    e->m_next = nullptr;
    if (m_tail) m_tail->m_next = e; else m_head = e;
    m_tail = e;
}

void MStlBase::UnlinkTriangle(MStlTriangleElement* e) {
    m_impl->DropTree();
    if (e->m_prev) e->m_prev->m_next = e->m_next; else m_head = e->m_next;
    if (e->m_next) e->m_next->m_prev = e->m_prev; else m_tail = e->m_prev;
    e->m_prev = e->m_next = nullptr;
}

void MStlBase::IndexPoint(MStlPoint* p) {
    if (m_impl->indexValid) m_impl->index.insert(p);
}

void MStlBase::UnindexPoint(MStlPoint* p) {
    if (!m_impl->indexValid) return;
    auto it = m_impl->index.find(CoordinateKey{p->GetX(), p->GetY(), p->GetZ()});
    if (it != m_impl->index.end() && *it == p) m_impl->index.erase(it);
}

void MStlBase::InvalidatePointIndex() {
    m_impl->DropTree();
    m_impl->indexValid = false;
    m_impl->index.clear();
}

void MStlBase::CountInSurface(MStlSurface* s, int delta) {
    if (s) s->m_triangles = uint64_t(int64_t(s->m_triangles) + delta);
}

// A point keeps its slot in its index; a caller asking has the point's
// record at hand, so this beats the search over the blocks.
uint32_t MStlBase::GetPointSlot(const MStlPoint* p) const { return p->m_index; }

MStlPoint* MStlBase::AddPoint(int32_t x, int32_t y, int32_t z, bool alwaysNew) {
    if (!alwaysNew) {
        m_impl->EnsureIndex(*this);
        auto it = m_impl->index.find(CoordinateKey{x, y, z});
        if (it != m_impl->index.end()) return *it;
    }
    MStlPoint* p = NewPointSlot();
    p->Set(x, y, z);
    IndexPoint(p);
    const int32_t c[3] = {x, y, z};
    for (int i = 0; i < 3; ++i) {
        if (m_livePoints == 1) {
            m_min[i] = m_max[i] = c[i];
        } else {
            m_min[i] = std::min(m_min[i], c[i]);
            m_max[i] = std::max(m_max[i], c[i]);
        }
    }
    return p;
}

namespace {
bool ToCoordinate(double v, int32_t& out) {
    if (!std::isfinite(v)) return false;
    const double t = std::trunc(v);
    if (t < -2147483648.0 || t > 2147483647.0) return false;
    out = int32_t(t);
    return true;
}
}  // namespace

MStlPoint* MStlBase::AddPoint(const MMVector3d& v, bool alwaysNew) {
    int32_t c[3];
    for (int i = 0; i < 3; ++i)
        if (!ToCoordinate(v[i], c[i])) return nullptr;
    return AddPoint(c[0], c[1], c[2], alwaysNew);
}

MStlPoint* MStlBase::AddPoint(const MMVector3l& v, bool alwaysNew) {
    for (int i = 0; i < 3; ++i)
        if (v[i] < INT32_MIN || v[i] > INT32_MAX) return nullptr;
    return AddPoint(int32_t(v[0]), int32_t(v[1]), int32_t(v[2]), alwaysNew);
}

MStlPoint* MStlBase::GetPoint(int32_t x, int32_t y, int32_t z) const {
    m_impl->EnsureIndex(*this);
    auto it = m_impl->index.find(CoordinateKey{x, y, z});
    return it == m_impl->index.end() ? nullptr : *it;
}

void MStlBase::MovePoint(MStlPoint* p, int32_t x, int32_t y, int32_t z) {
    m_impl->DropTree();
    UnindexPoint(p);
    p->Set(x, y, z);
    IndexPoint(p);
    const int32_t c[3] = {x, y, z};
    for (int i = 0; i < 3; ++i) {
        m_min[i] = std::min(m_min[i], c[i]);
        m_max[i] = std::max(m_max[i], c[i]);
    }
}

void MStlBase::RemovePoint(MStlPoint* p) {
    if (!p || !p->m_alive) return;
    while (!p->m_fan.empty()) RemoveTriangle(p->m_fan[0]);
    UnindexPoint(p);
    p->m_alive = false;
    p->m_fan.clear();
    m_impl->freePoints.push_back(p->m_index);
    m_masks.OnPointSlotFreed(p->m_index);
    --m_livePoints;
}

uint64_t MStlBase::RemoveFreePoints() {
    uint64_t removed = 0;
    for (uint32_t i = 0; i < m_pointSlots; ++i) {
        MStlPoint& p = m_impl->points[i];
        if (p.m_alive && p.m_fan.empty()) {
            RemovePoint(&p);
            ++removed;
        }
    }
    return removed;
}

void MStlBase::ReplacePointByPoint(MStlPoint* a, MStlPoint* b) {
    if (!a || !b || a == b) return;
    const MSmallVector<MStlTriangleElement*> fan = a->m_fan;
    for (MStlTriangleElement* t : fan) {
        if (t->IndexOfPoint(b) >= 0) {
            RemoveTriangle(t);
            continue;
        }
        t->m_p[t->IndexOfPoint(a)] = b;
        b->m_fan.push_back(t);
    }
    a->m_fan.clear();
    RemovePoint(a);
}

MStlTriangleElement* MStlBase::AddTriangle(MStlPoint* p0, MStlPoint* p1, MStlPoint* p2, MStlSurface* surface) {
    if (!p0 || !p1 || !p2) return nullptr;
    if (SameCoordinates(p0, p1) || SameCoordinates(p1, p2) || SameCoordinates(p2, p0)) return nullptr;
    for (const MStlPoint* p : {p0, p1, p2})
        if (p->m_fan.size() >= kMaxTrianglesPerPoint) return nullptr;
    MStlTriangleElement* e = NewTriangleSlot();
    e->m_p[0] = p0;
    e->m_p[1] = p1;
    e->m_p[2] = p2;
    e->m_surface = surface;
    CountInSurface(surface, 1);
    p0->m_fan.push_back(e);
    p1->m_fan.push_back(e);
    p2->m_fan.push_back(e);
    LinkTriangle(e);
    return e;
}

void MStlBase::RemoveTriangle(MStlTriangle* t) {
    if (!t || !(t->m_flags & MStlTriangle::kAlive)) return;
    MStlTriangleElement* e = t->GetElement();
    for (int i = 0; i < 3; ++i) e->m_p[i]->m_fan.erase_value(e);
    UnlinkTriangle(e);
    CountInSurface(e->m_surface, -1);
    if (m_textures)
        for (uint32_t i = 0; i < m_textures->GetNumberOfTextures(); ++i) m_textures->GetTexture(i)->RemoveTriangle(e);
    e->m_flags = 0;
    e->m_surface = nullptr;
    m_impl->freeTriangles.push_back(e->m_index);
    m_masks.OnTriangleSlotFreed(e->m_index);
    --m_liveTriangles;
}

int MStlBase::InsertPointBetweenPoints(MStlPoint* inserted, MStlPoint* a, MStlPoint* b) {
    if (!inserted || !a || !b || inserted == a || inserted == b) return 0;
    std::vector<MStlTriangleElement*> onEdge;
    for (MStlTriangleElement* t : a->m_fan)
        if (t->IndexOfPoint(b) >= 0) onEdge.push_back(t);
    int split = 0;
    std::vector<MStlTriangleElement*> collapsed;
    for (MStlTriangleElement* t : onEdge) {
        // Orient the edge as the triangle runs it: from corner i to corner i+1.
        const int ia = t->IndexOfPoint(a), ib = t->IndexOfPoint(b);
        const int from = (ia + 1) % 3 == ib ? ia : ib;
        const int to = (from + 1) % 3, third = (from + 2) % 3;
        MStlPoint* pTo = t->m_p[to];
        MStlPoint* pThird = t->m_p[third];
        // The point is this triangle's own third corner: with the edge
        // passing through it the triangle has no area left, and its other
        // two sides are now those of the pieces across the edge.
        if (pThird == inserted) {
            collapsed.push_back(t);
            continue;
        }
        if (SameCoordinates(inserted, pThird)) continue;
        // This triangle becomes (from, inserted, third); the new one is
        // (inserted, to, third).
        pTo->m_fan.erase_value(t);
        t->m_p[to] = inserted;
        inserted->m_fan.push_back(t);
        MStlTriangleElement* n = AddTriangle(inserted, pTo, pThird, t->m_surface);
        if (n) {
            n->m_status = t->m_status;
            n->m_flags = t->m_flags;
        }
        ++split;
    }
    // Only where the edge was split on the other side: otherwise the
    // triangle still closes the surface there.
    if (split > 0)
        for (MStlTriangleElement* t : collapsed) RemoveTriangle(t);
    return split;
}

void MStlBase::InitStatusOfTriangles(uint8_t status) {
    for (MStlTriangleElement* e = m_head; e; e = e->m_next) e->m_status = status;
}

MStlTriangleElement* MStlBase::GetTriangleBySlot(uint32_t slot) const {
    if (slot >= m_triangleSlots) return nullptr;
    MStlTriangleElement* e = &m_impl->triangles[slot];
    return (e->m_flags & MStlTriangle::kAlive) ? e : nullptr;
}

MStlPoint* MStlBase::GetPointBySlot(uint32_t slot) const {
    if (slot >= m_pointSlots) return nullptr;
    MStlPoint* p = &m_impl->points[slot];
    return p->m_alive ? p : nullptr;
}

// ---------------------------------------------------------------------------
// Mesh: surfaces and features

MStlSurface* MStlBase::AddSurface(const MStlSurface* templ) {
    auto s = std::make_unique<MStlSurface>();
    s->m_stl = this;
    s->m_index = uint32_t(m_surfaces.size());
    if (templ) s->m_name = templ->GetName();
    s->m_feature = templ && templ->GetStl() == this && templ->GetFeature() ? templ->GetFeature() : GetMainFeature();
    m_surfaces.push_back(std::move(s));
    return m_surfaces.back().get();
}

// Removes the surfaces flagged by index (they hold no triangles) and the
// other surfaces' references to them, and renumbers the rest.
uint32_t MStlBase::_RemoveSurfaces(const std::vector<uint8_t>& drop) {
    auto dropped = [&](const MStlSurface* s) { return s && drop[s->m_index]; };
    for (auto& s : m_surfaces)
        for (auto*& r : s->m_related)
            if (dropped(r)) r = nullptr;
    const size_t removed = std::erase_if(m_surfaces, [&](const std::unique_ptr<MStlSurface>& s) { return dropped(s.get()); });
    for (size_t i = 0; i < m_surfaces.size(); ++i) m_surfaces[i]->m_index = uint32_t(i);
    return uint32_t(removed);
}

bool MStlBase::RemoveSurface(MStlSurface* surface) {
    if (!surface || surface->GetStl() != this || surface->GetNumberOfTriangles() != 0) return false;
    std::vector<uint8_t> drop(m_surfaces.size(), 0);
    drop[surface->m_index] = 1;
    return _RemoveSurfaces(drop) == 1;
}

uint32_t MStlBase::RemoveEmptySurfaces() {
    std::vector<uint8_t> drop(m_surfaces.size());
    for (const auto& s : m_surfaces) drop[s->m_index] = s->GetNumberOfTriangles() == 0;
    return _RemoveSurfaces(drop);
}

uint32_t MStlBase::_RemoveFeatures(const std::vector<uint8_t>& drop) {
    std::vector<uint8_t> dropSurface(m_surfaces.size());
    for (const auto& s : m_surfaces) dropSurface[s->m_index] = s->m_feature && drop[s->m_feature->m_index];
    _RemoveSurfaces(dropSurface);
    uint32_t removed = 0;
    std::vector<std::unique_ptr<MStlFeature>> kept;
    for (size_t i = 0; i < m_features.size(); ++i) {
        if (drop[i]) {
            ++removed;
            continue;
        }
        m_features[i]->m_index = uint32_t(kept.size());
        kept.push_back(std::move(m_features[i]));
    }
    m_features = std::move(kept);
    return removed;
}

MStlFeature* MStlBase::GetMainFeature() {
    if (m_features.empty()) AddFeature(L"main");
    return m_features.front().get();
}

MStlFeature* MStlBase::AddFeature(const std::wstring& name) {
    auto f = std::make_unique<MStlFeature>();
    f->m_stl = this;
    f->m_name = name;
    f->m_index = uint32_t(m_features.size());
    m_features.push_back(std::move(f));
    return m_features.back().get();
}

void MStlBase::MoveTriangleToSurface(MStlTriangle* t, MStlSurface* s) {
    if (!t || t->m_stl != this || (s && s->GetStl() != this)) return;
    CountInSurface(t->m_surface, -1);
    t->m_surface = s;
    CountInSurface(s, 1);
}

// ---------------------------------------------------------------------------
// Mesh: whole-mesh operations

void MStlBase::ClearStl(bool keepName) {
    m_impl = std::make_unique<Impl>();
    if (!keepName) m_name.clear();
    m_head = m_tail = nullptr;
    m_liveTriangles = m_livePoints = 0;
    m_triangleSlots = m_pointSlots = 0;
    m_surfaces.clear();
    m_features.clear();
    m_textures.reset();
    m_edges.clear();
    for (int i = 0; i < 3; ++i) m_min[i] = m_max[i] = 0;
    m_masks.OnCleared();
}

void MStlBase::Reserve(uint64_t points, uint64_t triangles) {
    m_impl->points.EnsureSlot(uint32_t(std::min<uint64_t>(points, UINT32_MAX - 1)));
    m_impl->triangles.EnsureSlot(uint32_t(std::min<uint64_t>(triangles, UINT32_MAX - 1)));
    m_impl->reserveHint = size_t(points);
    if (m_impl->indexValid) m_impl->index.reserve(points);
}

void MStlBase::Copy(const MStlBase& source, QelSDK::Common::ProgressPtr /*progress*/) {
    if (&source == this) return;
    ClearStl(false);
    m_name = source.m_name;
    Impl& dst = *m_impl;
    const Impl& src = *source.m_impl;
    dst.indexValid = false;

    for (const auto& f : source.m_features) AddFeature(f->GetName());
    for (const auto& s : source.m_surfaces) {
        auto c = std::make_unique<MStlSurface>();
        c->m_stl = this;
        c->m_index = s->m_index;
        c->m_name = s->m_name;
        c->m_triangles = s->m_triangles;
        c->m_feature = s->m_feature ? m_features[s->m_feature->GetIndex()].get() : nullptr;
        m_surfaces.push_back(std::move(c));
    }
    for (size_t i = 0; i < m_surfaces.size(); ++i)
        for (int k = 0; k < MStlSurface::kRelatedSlots; ++k) {
            const MStlSurface* r = source.m_surfaces[i]->m_related[k];
            m_surfaces[i]->m_related[k] = r && r->GetStl() == &source ? m_surfaces[r->m_index].get() : nullptr;
        }

    m_pointSlots = source.m_pointSlots;
    m_triangleSlots = source.m_triangleSlots;
    if (m_pointSlots) dst.points.EnsureSlot(m_pointSlots - 1);
    if (m_triangleSlots) dst.triangles.EnsureSlot(m_triangleSlots - 1);
    auto triangleAt = [&](const MStlTriangleElement* t) { return &dst.triangles[src.triangles.IndexOf(t)]; };
    auto pointAt = [&](const MStlPoint* p) { return &dst.points[src.points.IndexOf(p)]; };

    // Slots are copied independently, so both loops run in parallel.
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, m_pointSlots, 1u << 14), [&](const auto& range) {
        for (uint32_t i = range.begin(); i != range.end(); ++i) {
            const MStlPoint& sp = src.points[i];
            MStlPoint& dp = dst.points[i];
            dp.m_index = i;
            dp.m_alive = sp.m_alive;
            for (int k = 0; k < 3; ++k) dp.m_c[k] = sp.m_c[k];
            dp.m_fan.clear();
            if (!sp.m_alive) continue;
            dp.m_fan.reserve(sp.m_fan.size());
            for (const MStlTriangleElement* t : sp.m_fan) dp.m_fan.push_back(triangleAt(t));
        }
    });
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, m_triangleSlots, 1u << 14), [&](const auto& range) {
        for (uint32_t i = range.begin(); i != range.end(); ++i) {
            const MStlTriangleElement& st = src.triangles[i];
            MStlTriangleElement& dt = dst.triangles[i];
            dt.m_index = i;
            dt.m_stl = this;
            dt.m_flags = st.m_flags;
            dt.m_status = st.m_status;
            dt.m_prev = dt.m_next = nullptr;
            if (!(st.m_flags & MStlTriangle::kAlive)) continue;
            for (int k = 0; k < 3; ++k) dt.m_p[k] = pointAt(st.m_p[k]);
            dt.m_surface = st.m_surface ? m_surfaces[st.m_surface->m_index].get() : nullptr;
            dt.m_prev = st.m_prev ? triangleAt(st.m_prev) : nullptr;
            dt.m_next = st.m_next ? triangleAt(st.m_next) : nullptr;
        }
    });
    m_head = source.m_head ? triangleAt(source.m_head) : nullptr;
    m_tail = source.m_tail ? triangleAt(source.m_tail) : nullptr;
    dst.freePoints = src.freePoints;
    dst.freeTriangles = src.freeTriangles;
    m_livePoints = source.m_livePoints;
    m_liveTriangles = source.m_liveTriangles;
    for (int k = 0; k < 3; ++k) {
        m_min[k] = source.m_min[k];
        m_max[k] = source.m_max[k];
    }
    for (const MStlEdge& e : source.m_edges) m_edges.push_back({pointAt(e.p0), pointAt(e.p1)});
    if (source.m_textures) {
        MStlTextureFactory* f = GetTextureFactory();
        for (uint32_t i = 0; i < source.m_textures->GetNumberOfTextures(); ++i) {
            const MStlTexture* st = source.m_textures->GetTexture(i);
            MStlTexture* dt = f->AddTexture();
            dt->CopyImageProperties(*st);
            for (const MStlTriangleElement* e = source.m_head; e; e = e->m_next) {
                MStlTexture::Coordinates c;
                if (st->GetCoordinates(e, c)) dt->AddTriangle(triangleAt(e), c);
            }
        }
    }
}

std::unique_ptr<MStlBase> MStlBase::Clone() const {
    auto c = std::make_unique<MStlBase>();
    c->Copy(*this);
    return c;
}

void MStlBase::AddStl(const MStlBase& source, bool keepSurfaces, QelSDK::Common::ProgressPtr progress) {
    if (&source == this) return;
    if (m_liveTriangles == 0 && m_livePoints == 0 && m_surfaces.empty() && m_edges.empty() && !m_textures) {
        const std::wstring name = m_name;
        Copy(source, progress);
        m_name = name;
        if (!keepSurfaces) {
            for (MStlTriangleElement* e = m_head; e; e = e->m_next) e->m_surface = nullptr;
            m_surfaces.clear();
        }
        return;
    }
    std::vector<MStlPoint*> map(source.m_pointSlots, nullptr);
    Reserve(m_pointSlots + source.m_livePoints, m_triangleSlots + source.m_liveTriangles);
    std::vector<MStlSurface*> surfaces(source.m_surfaces.size(), nullptr);
    auto mapPoint = [&](const MStlPoint* p) {
        MStlPoint*& m = map[p->m_index];
        if (!m) m = AddPoint(p, false);
        return m;
    };
    for (const MStlTriangleElement* e = source.m_head; e; e = e->m_next) {
        MStlSurface* s = nullptr;
        if (keepSurfaces && e->m_surface) {
            MStlSurface*& m = surfaces[e->m_surface->m_index];
            if (!m) m = AddSurface(e->m_surface);
            s = m;
        }
        MStlTriangleElement* t = AddTriangle(mapPoint(e->m_p[0]), mapPoint(e->m_p[1]), mapPoint(e->m_p[2]), s);
        if (t) t->CopyStateFrom(*e, true, true, true, false, true, false);
    }
    for (const MStlEdge& e : source.m_edges) AddEdge(mapPoint(e.p0), mapPoint(e.p1));
}

uint64_t MStlBase::CountUnpairedSides() const {
    std::atomic<uint64_t> unpaired{0};
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, m_pointSlots, 1u << 13), [&](const auto& range) {
        EdgeTally tally;
        uint64_t local = 0;
        for (uint32_t i = range.begin(); i != range.end(); ++i) {
            const MStlPoint& p = m_impl->points[i];
            if (!p.m_alive) continue;
            tally.Start(&p);
            for (const MStlTriangleElement* t : p.m_fan) tally.Add(t);
            local += tally.Unpaired();
        }
        unpaired += local;
    });
    return unpaired;
}

bool MStlBase::AppendSelected(const MStlBase& source, const std::vector<uint8_t>& take,
                              const std::vector<MStlSurface*>& surfaces, uint64_t* unpairedSides) {
    if (m_pointSlots != 0 || m_triangleSlots != 0 || &source == this) return false;
    if (unpairedSides) *unpairedSides = 0;
    const Impl& src = *source.m_impl;
    Impl& dst = *m_impl;
    dst.DropTree();
    const uint32_t sourceTriangles = std::min<uint32_t>(source.m_triangleSlots, uint32_t(take.size()));
    // New slots, in source slot order.
    std::vector<uint32_t> triangleSlot, pointSlot;
    const uint32_t triangles = NumberSelected(triangleSlot, sourceTriangles, [&](uint32_t i) {
        return take[i] && (src.triangles[i].m_flags & MStlTriangle::kAlive);
    });
    auto newSlot = [&](const MStlTriangleElement* t) {
        return t->m_index < sourceTriangles ? triangleSlot[t->m_index] : UINT32_MAX;
    };
    // A point is kept when a taken triangle uses it; marked from the
    // triangles, which lie in order, rather than from the points' fans.
    std::vector<uint8_t> used(source.m_pointSlots, 0);
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, sourceTriangles, 1u << 14), [&](const auto& range) {
        for (uint32_t i = range.begin(); i != range.end(); ++i) {
            if (triangleSlot[i] == UINT32_MAX) continue;
            for (const MStlPoint* p : src.triangles[i].m_p)
                std::atomic_ref<uint8_t>(used[p->m_index]).store(1, std::memory_order_relaxed);
        }
    });
    const uint32_t points = NumberSelected(pointSlot, source.m_pointSlots, [&](uint32_t i) { return used[i] != 0; });
    if (triangles == 0) return true;
    m_pointSlots = points;
    m_triangleSlots = triangles;
    dst.points.EnsureSlot(points - 1);
    dst.triangles.EnsureSlot(triangles - 1);
    dst.indexValid = false;
    // The sides are tallied while the fans are at hand, in the source's terms.
    std::atomic<uint64_t> unpaired{0};
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, source.m_pointSlots, 1u << 14), [&](const auto& range) {
        EdgeTally tally;
        uint64_t local = 0;
        for (uint32_t i = range.begin(); i != range.end(); ++i) {
            if (pointSlot[i] == UINT32_MAX) continue;
            const MStlPoint& sp = src.points[i];
            MStlPoint& dp = dst.points[pointSlot[i]];
            dp.m_index = pointSlot[i];
            dp.m_alive = true;
            for (int k = 0; k < 3; ++k) dp.m_c[k] = sp.m_c[k];
            dp.m_fan.clear();
            tally.Start(&sp);
            for (const MStlTriangleElement* t : sp.m_fan)
                if (const uint32_t slot = newSlot(t); slot != UINT32_MAX) {
                    dp.m_fan.push_back(&dst.triangles[slot]);
                    if (unpairedSides) tally.Add(t);
                }
            if (unpairedSides) local += tally.Unpaired();
        }
        unpaired += local;
    });
    if (unpairedSides) *unpairedSides = unpaired;
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, sourceTriangles, 1u << 14), [&](const auto& range) {
        for (uint32_t i = range.begin(); i != range.end(); ++i) {
            const uint32_t slot = triangleSlot[i];
            if (slot == UINT32_MAX) continue;
            const MStlTriangleElement& st = src.triangles[i];
            MStlTriangleElement& dt = dst.triangles[slot];
            dt.m_index = slot;
            dt.m_stl = this;
            dt.m_status = st.m_status;
            dt.m_flags = uint8_t(st.m_flags & ~MStlTriangle::kMark);
            for (int k = 0; k < 3; ++k) dt.m_p[k] = &dst.points[pointSlot[st.m_p[k]->m_index]];
            const uint32_t s = st.m_surface ? st.m_surface->m_index : UINT32_MAX;
            dt.m_surface = s < surfaces.size() && surfaces[s] && surfaces[s]->m_stl == this ? surfaces[s] : nullptr;
            dt.m_prev = slot > 0 ? &dst.triangles[slot - 1] : nullptr;
            dt.m_next = slot + 1 < triangles ? &dst.triangles[slot + 1] : nullptr;
        }
    });
    m_head = &dst.triangles[0];
    m_tail = &dst.triangles[triangles - 1];
    m_livePoints = points;
    m_liveTriangles = triangles;
    for (uint32_t i = 0; i < triangles; ++i) CountInSurface(dst.triangles[i].m_surface, 1);
    UpdateExtremes();
    return true;
}

void MStlBase::MoveTo(MStlBase& target) {
    if (&target == this) return;
    target.AddStl(*this, true);
    ClearStl(true);
}

double MStlBase::Volume() const {
    __int128 sum = 0;
    for (const MStlTriangleElement* e = m_head; e; e = e->m_next) {
        const MStlPoint *a = e->m_p[0], *b = e->m_p[1], *c = e->m_p[2];
        const __int128 ax = a->GetX(), ay = a->GetY(), az = a->GetZ();
        const int64_t bx = b->GetX(), by = b->GetY(), bz = b->GetZ();
        const int64_t cx = c->GetX(), cy = c->GetY(), cz = c->GetZ();
        sum += ax * (by * cz - bz * cy) + ay * (bz * cx - bx * cz) + az * (bx * cy - by * cx);
    }
    return double((long double)sum / 6.0L);
}

double MStlBase::Area() const {
    double a = 0.0;
    for (const MStlTriangleElement* e = m_head; e; e = e->m_next) a += e->Area();
    return a;
}

void MStlBase::UpdateExtremes() {
    bool first = true;
    for (uint32_t i = 0; i < m_pointSlots; ++i) {
        const MStlPoint& p = m_impl->points[i];
        if (!p.m_alive) continue;
        for (int k = 0; k < 3; ++k) {
            if (first) {
                m_min[k] = m_max[k] = p.m_c[k];
            } else {
                m_min[k] = std::min(m_min[k], p.m_c[k]);
                m_max[k] = std::max(m_max[k], p.m_c[k]);
            }
        }
        first = false;
    }
    if (first)
        for (int k = 0; k < 3; ++k) m_min[k] = m_max[k] = 0;
}

void MStlBase::UpdateNormals() {
    for (MStlTriangleElement* e = m_head; e; e = e->m_next) {
        const MStlPoint *a = e->m_p[0], *b = e->m_p[1], *c = e->m_p[2];
        const __int128 nz = __int128(int64_t(b->GetX()) - a->GetX()) * (int64_t(c->GetY()) - a->GetY()) -
                            __int128(int64_t(b->GetY()) - a->GetY()) * (int64_t(c->GetX()) - a->GetX());
        e->SetFacing(nz > 0 ? MStlTriangle::eFacingUp : nz < 0 ? MStlTriangle::eFacingDown : MStlTriangle::eVertical);
    }
}

void MStlBase::UpdateSurfaceBorders(bool immediately) {
    for (auto& s : m_surfaces) {
        s->m_border.reset();
        if (immediately) s->GetBorder();
    }
}

bool MStlBase::Transform(const MMTransformMatrix& m) {
    MMTransform t(m);
    std::vector<MMVector3l> moved;
    moved.reserve(m_livePoints);
    for (uint32_t i = 0; i < m_pointSlots; ++i) {
        const MStlPoint& p = m_impl->points[i];
        if (!p.m_alive) continue;
        MMVector3l v;
        p.Get(v);
        if (!t.Transform(v)) return false;
        moved.push_back(v);
    }
    size_t k = 0;
    for (uint32_t i = 0; i < m_pointSlots; ++i) {
        MStlPoint& p = m_impl->points[i];
        if (p.m_alive) p.Set(int32_t(moved[k][0]), int32_t(moved[k][1]), int32_t(moved[k][2])), ++k;
    }
    InvalidatePointIndex();
    UpdateExtremes();
    return true;
}

bool MStlBase::InverseTransform(const MMTransformMatrix& m) {
    MMTransformMatrix inv;
    return m.Inverse(inv) && Transform(inv);
}

bool MStlBase::Translate(int64_t dx, int64_t dy, int64_t dz) {
    const int64_t d[3] = {dx, dy, dz};
    if (m_livePoints)
        for (int k = 0; k < 3; ++k)
            if (m_min[k] + d[k] < -2147483647LL || m_max[k] + d[k] > 2147483646LL) return false;
    for (uint32_t i = 0; i < m_pointSlots; ++i) {
        MStlPoint& p = m_impl->points[i];
        if (p.m_alive) p.Set(int32_t(p.m_c[0] + dx), int32_t(p.m_c[1] + dy), int32_t(p.m_c[2] + dz));
    }
    InvalidatePointIndex();
    UpdateExtremes();
    return true;
}

void MStlBase::Invert() {
    for (MStlTriangleElement* e = m_head; e; e = e->m_next) e->Invert();
}

int MStlBase::NumberOfTrianglesThrough(const MStlPoint* p, const MStlPoint* q, MStlTriangleElement*& other,
                                       MStlPoint*& third, bool oppositeOnly) const {
    other = nullptr;
    third = nullptr;
    int count = 0;
    bool otherIsOpposite = false;
    for (MStlTriangleElement* t : p->m_fan) {
        const int iq = t->IndexOfPoint(q);
        if (iq < 0) continue;
        ++count;
        const bool opposite = t->m_p[(iq + 1) % 3] == p;
        if (oppositeOnly && !opposite) continue;
        if (!other || (opposite && !otherIsOpposite)) {
            other = t;
            otherIsOpposite = opposite;
            third = t->m_p[3 - t->IndexOfPoint(p) - iq];
        }
    }
    return count;
}

bool MStlBase::EdgeHasExactlyTwoNeighbours(const MStlPoint* p, const MStlPoint* q) const {
    int count = 0;
    for (MStlTriangleElement* t : p->m_fan)
        if (t->IndexOfPoint(q) >= 0) ++count;
    return count == 2;
}

MStlTextureFactory* MStlBase::GetTextureFactory() {
    if (!m_textures) m_textures = std::make_unique<MStlTextureFactory>();
    return m_textures.get();
}

uint64_t MStlBase::MemoryFootprint() const {
    uint64_t bytes = uint64_t(m_impl->points.Blocks()) * kBlockSize * sizeof(MStlPoint) +
                     uint64_t(m_impl->triangles.Blocks()) * kBlockSize * sizeof(MStlTriangleElement);
    bytes += m_impl->index.capacity() * (sizeof(MStlPoint*) + 1);
    bytes += (m_impl->freePoints.capacity() + m_impl->freeTriangles.capacity()) * sizeof(uint32_t);
    for (uint32_t i = 0; i < m_pointSlots; ++i) {
        const MStlPoint& p = m_impl->points[i];
        if (p.m_fan.size() > 6) bytes += p.m_fan.size() * sizeof(void*);
    }
    return bytes;
}

// ---------------------------------------------------------------------------
// Helpers

MStlBaseOperatorHelperDirectPointChange::MStlBaseOperatorHelperDirectPointChange(MStlBase& mesh, bool update)
    : m_mesh(mesh), m_update(update) {}

MStlBaseOperatorHelperDirectPointChange::~MStlBaseOperatorHelperDirectPointChange() {
    m_mesh.InvalidatePointIndex();
    if (m_update) m_mesh.UpdateExtremes();
}

void MNeighbourFinder::Operate() {
    m_forward = m_backward = 0;
    m_forwardList.clear();
    m_backwardList.clear();
    if (!m_p || !m_q) return;
    for (uint32_t i = 0; i < m_p->GetNumberOfNeighbourTriangles(); ++i) {
        MStlTriangleElement* t = m_p->GetNeighbourTriangle(i);
        const int ip = t->IndexOfPoint(m_p);
        const int iq = t->IndexOfPoint(m_q);
        if (iq < 0) continue;
        if ((ip + 1) % 3 == iq) {
            ++m_forward;
            m_forwardList.push_back(t);
        } else {
            ++m_backward;
            m_backwardList.push_back(t);
        }
    }
}

MStlShellManager::MStlShellManager(const MStlBase& mesh) {
    const uint32_t slots = mesh.GetNumberOfTriangleSlots();
    std::vector<uint32_t> parent(slots);
    std::iota(parent.begin(), parent.end(), 0u);
    auto find = [&](uint32_t x) {
        while (parent[x] != x) x = parent[x] = parent[parent[x]];
        return x;
    };
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        MStlTriangleElement* t = *it;
        for (int i = 0; i < 3; ++i) {
            const MStlPoint* p = t->GetPoint(i);
            const MStlPoint* q = t->GetPoint((i + 1) % 3);
            for (uint32_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k) {
                MStlTriangleElement* n = p->GetNeighbourTriangle(k);
                if (n == t || n->IndexOfPoint(q) < 0) continue;
                const uint32_t a = find(t->GetIndex()), b = find(n->GetIndex());
                if (a != b) parent[std::max(a, b)] = std::min(a, b);
            }
        }
    }
    m_shellOfSlot.assign(slots, UINT32_MAX);
    std::vector<uint32_t> shellOfRoot(slots, UINT32_MAX);
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        const uint32_t root = find(it->GetIndex());
        if (shellOfRoot[root] == UINT32_MAX) {
            shellOfRoot[root] = uint32_t(m_shells.size());
            m_shells.emplace_back();
        }
        m_shellOfSlot[it->GetIndex()] = shellOfRoot[root];
        m_shells[shellOfRoot[root]].push_back(*it);
    }
}

MStlTriangleElement* MStlFeatureContainer::AddTriangle(MStlPoint* p0, MStlPoint* p1, MStlPoint* p2, MStlSurface* s) {
    MStlBase* mesh = m_feature.GetStl();
    if (!s || s->GetFeature() != &m_feature) {
        const std::vector<MStlSurface*> surfaces = m_feature.GetSurfaces();
        if (surfaces.empty()) {
            s = mesh->AddSurface(nullptr);
            s->SetFeature(&m_feature);
        } else {
            s = surfaces.front();
        }
    }
    return mesh->AddTriangle(p0, p1, p2, s);
}

// ---------------------------------------------------------------------------
// Mesh: cached queries

std::shared_ptr<const MStlTriangleTree> MStlBase::GetTriangleTree() const {
    {
        tbb::spin_rw_mutex::scoped_lock read(m_impl->treeMutex, false);
        if (m_impl->tree) return m_impl->tree;
    }
    // Built outside the lock, so that no reader spins through a build; two
    // threads that both find no tree may each build one, and the first one
    // stored is kept.
    auto built = std::make_shared<const MStlTriangleTree>(*this);
    tbb::spin_rw_mutex::scoped_lock write(m_impl->treeMutex, true);
    if (!m_impl->tree) m_impl->tree = std::move(built);
    return m_impl->tree;
}

void MStlBase::DropTriangleTree() const {
    tbb::spin_rw_mutex::scoped_lock write(m_impl->treeMutex, true);
    m_impl->tree.reset();
}

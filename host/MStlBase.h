// The triangle mesh model: points with 32-bit integer coordinates, triangles
// with a cyclic corner order, surfaces and features grouping triangles, and
// masks holding one value per triangle or point.
//
// Points and triangles live in chunked arenas, so their addresses stay stable
// for the life of the mesh; each record carries a dense index that masks use
// directly.  Triangles form an intrusive doubly linked list (O(1) removal) and
// every point keeps the fan of triangles that use it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <unordered_map>
#include <memory>
#include <string>
#include <vector>

#include "host/MMath.h"
#include "host/MProgress.h"

class MStlBase;
class MStlPoint;
class MStlTriangle;
class MStlSurface;
class MStlFeature;
class MStlTextureFactory;
class MStlTriangleTree;
template <class T>
class DLIST_ELEMENT;
using MStlTriangleElement = DLIST_ELEMENT<MStlTriangle>;

// A vector with room for six entries before it touches the heap: the typical
// fan of a point in a closed mesh.  Sizes are 32-bit, so a fan can never
// outgrow its counter; the mesh itself keeps fans within kMaxTrianglesPerPoint.
template <class T, uint32_t Inline = 6>
class MSmallVector {
public:
    MSmallVector() = default;
    ~MSmallVector() { if (m_capacity > Inline) delete[] m_heap; }
    MSmallVector(const MSmallVector& o) { *this = o; }
    MSmallVector& operator=(const MSmallVector& o) {
        if (this == &o) return *this;
        clear();
        reserve(o.m_size);
        std::copy(o.begin(), o.end(), data());
        m_size = o.m_size;
        return *this;
    }
    T* data() { return m_capacity > Inline ? m_heap : m_inline; }
    const T* data() const { return m_capacity > Inline ? m_heap : m_inline; }
    uint32_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    T& operator[](uint32_t i) { return data()[i]; }
    const T& operator[](uint32_t i) const { return data()[i]; }
    T* begin() { return data(); }
    T* end() { return data() + m_size; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + m_size; }
    void push_back(const T& v) {
        if (m_size == m_capacity) reserve(m_capacity * 2u);
        data()[m_size++] = v;
    }
    // Removes one occurrence by moving the last entry into its place.
    bool erase_value(const T& v) {
        T* d = data();
        for (uint32_t i = 0; i < m_size; ++i)
            if (d[i] == v) {
                d[i] = d[--m_size];
                return true;
            }
        return false;
    }
    void clear() {
        if (m_capacity > Inline) delete[] m_heap;
        m_capacity = Inline;
        m_size = 0;
    }
    void reserve(uint32_t n) {
        if (n <= m_capacity) return;
        T* fresh = new T[n];
        std::copy(begin(), end(), fresh);
        if (m_capacity > Inline) delete[] m_heap;
        m_heap = fresh;
        m_capacity = n;
    }

private:
    uint32_t m_size = 0;
    uint32_t m_capacity = Inline;
    union {
        T m_inline[Inline];
        T* m_heap;
    };
};

class MStlPoint {
public:
    int32_t GetX() const { return m_c[0]; }
    int32_t GetY() const { return m_c[1]; }
    int32_t GetZ() const { return m_c[2]; }
    int32_t operator[](int i) const { return m_c[i]; }
    int32_t Get(int i) const { return m_c[i]; }
    void Get(MMVector3d& v) const { v = {double(m_c[0]), double(m_c[1]), double(m_c[2])}; }
    void Get(MMVector3l& v) const { v = {long(m_c[0]), long(m_c[1]), long(m_c[2])}; }
    MMVector3d GetVector() const { return {double(m_c[0]), double(m_c[1]), double(m_c[2])}; }
    // Plain coordinate writes.  A point of a mesh must be moved through
    // MStlBase::MovePoint or inside an MStlBaseOperatorHelperDirectPointChange
    // scope, so that the mesh's coordinate index follows.
    void Set(int32_t x, int32_t y, int32_t z) { m_c[0] = x; m_c[1] = y; m_c[2] = z; }
    void SetCoordinatesFast(int32_t x, int32_t y, int32_t z) { Set(x, y, z); }

    uint32_t GetNumberOfNeighbourTriangles() const { return m_fan.size(); }
    MStlTriangleElement* GetNeighbourTriangle(int i) const { return m_fan[uint32_t(i)]; }
    uint32_t GetIndex() const { return m_index; }
    bool IsAlive() const { return m_alive; }

    bool operator==(const MStlPoint& o) const {
        return m_c[0] == o.m_c[0] && m_c[1] == o.m_c[1] && m_c[2] == o.m_c[2];
    }
    bool operator!=(const MStlPoint& o) const { return !(*this == o); }

private:
    friend class MStlBase;
    friend class MStlTriangle;
    friend class MStlSurface;
    int32_t m_c[3] = {0, 0, 0};
    uint32_t m_index = 0;
    bool m_alive = false;
    MSmallVector<MStlTriangleElement*> m_fan;
};

class MStlTriangle {
public:
    enum EFacing : uint8_t { eVertical = 0, eFacingDown = 1, eFacingUp = 2 };

    MStlPoint* GetPoint(int i) const { return m_p[i]; }
    MStlPoint* GetVertex(int i) const { return m_p[i]; }
    MStlPoint* const* GetPoints() const { return m_p; }
    // 0, 1 or 2 for a corner of this triangle, -1 otherwise.
    int IndexOfPoint(const MStlPoint* p) const { return m_p[0] == p ? 0 : m_p[1] == p ? 1 : m_p[2] == p ? 2 : -1; }

    uint8_t GetStatus() const { return m_status; }
    void SetStatus(uint8_t s) { m_status = s; }
    uint8_t GetFacing() const { return m_flags & kFacingMask; }
    void SetFacing(uint8_t f) { m_flags = uint8_t((m_flags & ~kFacingMask) | (f & kFacingMask)); }
    void Mark() { m_flags |= kMark; }
    void Unmark() { m_flags &= uint8_t(~kMark); }
    bool IsMarked() const { return m_flags & kMark; }
    void Select(bool on) { on ? m_flags |= kSelected : m_flags &= uint8_t(~kSelected); }
    bool IsSelected() const { return m_flags & kSelected; }
    // False once the triangle was removed from its mesh (its slot is free).
    bool IsAlive() const { return m_flags & kAlive; }

    // Exact, from the integer corners: the corners are collinear.
    bool IsZeroArea() const;
    static bool IsZeroArea(const MStlPoint* a, const MStlPoint* b, const MStlPoint* c);
    // Unit normal from the integer corners; false for a zero-area triangle.
    bool CalculateNormal(MMVector3d& n) const;
    MMVector3d GetNormal() const;
    MMVector3f GetNormalFloat() const { return MMVector3f(GetNormal()); }
    // Twice the area as an unnormalised cross product of the edges.
    MMVector3d GetAreaVector() const;
    double Area() const { return 0.5 * GetAreaVector().Length(); }

    MStlSurface* GetSurface() const { return m_surface; }
    MStlBase* GetStl() const { return m_stl; }
    uint32_t GetIndex() const { return m_index; }
    MStlTriangleElement* GetElement();
    const MStlTriangleElement* GetElement() const;

    // The triangle across edge (corner edge, corner edge+1).  With
    // `oppositeOnly` it must run the edge the other way (a consistently
    // oriented neighbour); otherwise any other triangle on the edge counts.
    MStlTriangleElement* FindAdjacentTriangle(int edge, bool oppositeOnly = true) const;
    // Reverses the corner order (flips the normal).
    void Invert() { std::swap(m_p[1], m_p[2]); }

    // Copies the chosen parts of another triangle's state.
    void CopyStateFrom(const MStlTriangle& source, bool status, bool facing, bool mark, bool surface,
                       bool selection, bool textures);

private:
    friend class MStlBase;
    static constexpr uint8_t kFacingMask = 0x0F;
    static constexpr uint8_t kMark = 0x10;
    static constexpr uint8_t kSelected = 0x20;
    static constexpr uint8_t kAlive = 0x80;

    MStlPoint* m_p[3] = {nullptr, nullptr, nullptr};
    MStlSurface* m_surface = nullptr;
    MStlBase* m_stl = nullptr;
    uint32_t m_index = 0;
    uint8_t m_status = 0;
    uint8_t m_flags = 0;
};

// The list element holding a triangle.  It is the triangle itself plus the
// links of the mesh's triangle list, so an element converts to its triangle
// freely.
template <>
class DLIST_ELEMENT<MStlTriangle> : public MStlTriangle {
public:
    MStlTriangle* GetData() { return this; }
    const MStlTriangle* GetData() const { return this; }
    DLIST_ELEMENT* GetNext() const { return m_next; }
    DLIST_ELEMENT* GetPrev() const { return m_prev; }

private:
    friend class MStlBase;
    DLIST_ELEMENT* m_next = nullptr;
    DLIST_ELEMENT* m_prev = nullptr;
};

inline MStlTriangleElement* MStlTriangle::GetElement() { return static_cast<MStlTriangleElement*>(this); }
inline const MStlTriangleElement* MStlTriangle::GetElement() const {
    return static_cast<const MStlTriangleElement*>(this);
}

// Contours of a surface's open border, as chains of mesh points.
struct MStlSurfaceBorderContour {
    std::vector<MStlPoint*> points;
    bool closed = false;
    void InsertPointAtEnd(MStlPoint* p) { points.push_back(p); }
};
struct MStlSurfaceBorder {
    std::vector<MStlSurfaceBorderContour> contours;
};

// Curves kept with a feature: chains of mesh points, here along the open
// border of one of the feature's surfaces.
struct MStlCurveSet {
    MStlSurface* surface = nullptr;
    std::vector<MStlSurfaceBorderContour> contours;
};

class MStlFeature {
public:
    MStlBase* GetStl() const { return m_stl; }
    const std::wstring& GetName() const { return m_name; }
    void SetName(const std::wstring& n) { m_name = n; }
    uint32_t GetIndex() const { return m_index; }
    // Surfaces of this feature, in creation order.
    std::vector<MStlSurface*> GetSurfaces() const;
    uint64_t GetNumberOfTriangles() const;

    // Curve sets owned by the feature.
    MStlCurveSet* AddCurveSet() { return m_curveSets.emplace_back(std::make_unique<MStlCurveSet>()).get(); }
    // False when the set is not one of this feature's.
    bool RemoveCurveSet(const MStlCurveSet* set) {
        return std::erase_if(m_curveSets, [set](const std::unique_ptr<MStlCurveSet>& c) { return c.get() == set; }) != 0;
    }
    const std::vector<std::unique_ptr<MStlCurveSet>>& GetCurveSets() const { return m_curveSets; }

private:
    friend class MStlBase;
    MStlBase* m_stl = nullptr;
    std::wstring m_name;
    uint32_t m_index = 0;
    std::vector<std::unique_ptr<MStlCurveSet>> m_curveSets;
};

class MStlSurface {
public:
    static constexpr int kRelatedSlots = 4;

    MStlBase* GetStl() const { return m_stl; }
    MStlFeature* GetFeature() const { return m_feature; }
    void SetFeature(MStlFeature* f) { m_feature = f; }
    const std::wstring& GetName() const { return m_name; }
    void SetName(const std::wstring& n) { m_name = n; }
    uint32_t GetIndex() const { return m_index; }
    uint64_t GetNumberOfTriangles() const { return m_triangles; }

    // Adds a triangle of this surface's mesh; null when refused.
    MStlTriangleElement* AddTriangle(MStlPoint* p0, MStlPoint* p1, MStlPoint* p2);
    // Moves a triangle of the same mesh into this surface.
    void MoveTriangle(MStlTriangle* t);

    void SetRelatedSurface(MStlSurface* s, int slot) { if (slot >= 0 && slot < kRelatedSlots) m_related[slot] = s; }
    MStlSurface* GetRelatedSurface(int slot) const { return slot >= 0 && slot < kRelatedSlots ? m_related[slot] : nullptr; }

    // Open border of the surface: edges whose opposite triangle is missing or
    // belongs to another surface, chained into contours.  Computed on demand.
    const MStlSurfaceBorder& GetBorder();

private:
    friend class MStlBase;
    friend class MStlTriangle;
    MStlBase* m_stl = nullptr;
    MStlFeature* m_feature = nullptr;
    std::wstring m_name;
    uint32_t m_index = 0;
    uint64_t m_triangles = 0;
    MStlSurface* m_related[kRelatedSlots] = {nullptr, nullptr, nullptr, nullptr};
    std::unique_ptr<MStlSurfaceBorder> m_border;
};

// Masks.  The mesh keeps a registry so that a recycled record slot never
// inherits a stale value.
class MDataMaskBase {
public:
    virtual ~MDataMaskBase() = default;
    virtual void ResetSlot(uint32_t index) = 0;
    virtual void ResetAll() = 0;
};

class MStlMasks {
public:
    void Register(MDataMaskBase* m, bool triangles) { (triangles ? m_triangleMasks : m_pointMasks).push_back(m); }
    void Unregister(MDataMaskBase* m);
    void OnTriangleSlotFreed(uint32_t index) { for (auto* m : m_triangleMasks) m->ResetSlot(index); }
    void OnPointSlotFreed(uint32_t index) { for (auto* m : m_pointMasks) m->ResetSlot(index); }
    void OnCleared() {
        for (auto* m : m_triangleMasks) m->ResetAll();
        for (auto* m : m_pointMasks) m->ResetAll();
    }

private:
    std::vector<MDataMaskBase*> m_triangleMasks;
    std::vector<MDataMaskBase*> m_pointMasks;
};

template <class T>
class MDataMaskBits;

// Up to 8 bits per triangle.
template <>
class MDataMaskBits<MStlTriangle> final : public MDataMaskBase {
public:
    explicit MDataMaskBits(MStlBase& mesh, int bits = 1);
    ~MDataMaskBits() override;
    MDataMaskBits(const MDataMaskBits&) = delete;
    MDataMaskBits& operator=(const MDataMaskBits&) = delete;

    bool Get(const MStlTriangle* t, int bit = 0) const {
        const uint32_t i = t->GetIndex();
        return i < m_bits.size() && (m_bits[i] >> bit & 1u);
    }
    void Set(const MStlTriangle* t, int bit = 0, bool value = true) {
        const uint32_t i = t->GetIndex();
        if (i >= m_bits.size()) {
            if (!value) return;
            m_bits.resize(std::max<size_t>(i + 1, m_bits.size() * 2), 0);
        }
        m_bits[i] = value ? uint8_t(m_bits[i] | 1u << bit) : uint8_t(m_bits[i] & ~(1u << bit));
    }
    void Clear() { std::fill(m_bits.begin(), m_bits.end(), 0); }
    int GetNumberOfBits() const { return m_numBits; }
    MStlBase& GetStl() const { return *m_mesh; }
    void ResetSlot(uint32_t index) override { if (index < m_bits.size()) m_bits[index] = 0; }
    void ResetAll() override { Clear(); }

private:
    MStlBase* m_mesh;
    int m_numBits;
    std::vector<uint8_t> m_bits;
};

// One value per triangle (T = MStlTriangle) or per point (T = MStlPoint).
template <class T, class V>
class MDataMask final : public MDataMaskBase {
    static_assert(std::is_same_v<T, MStlTriangle> || std::is_same_v<T, MStlPoint>);

public:
    explicit MDataMask(MStlBase& mesh, V initial = V());
    ~MDataMask() override;
    MDataMask(const MDataMask&) = delete;
    MDataMask& operator=(const MDataMask&) = delete;

    V Get(const T* r) const {
        const uint32_t i = r->GetIndex();
        return i < m_values.size() ? m_values[i] : m_initial;
    }
    void Set(const T* r, const V& v) {
        const uint32_t i = r->GetIndex();
        if (i >= m_values.size()) m_values.resize(std::max<size_t>(i + 1, m_values.size() * 2), m_initial);
        m_values[i] = v;
    }
    void ResetSlot(uint32_t index) override { if (index < m_values.size()) m_values[index] = m_initial; }
    void ResetAll() override { m_values.clear(); }

private:
    MStlBase* m_mesh;
    V m_initial;
    std::vector<V> m_values;
};

// Forward iteration over a mesh's triangle elements.
class MStlIteratorStlTriangle {
public:
    MStlIteratorStlTriangle() = default;
    explicit MStlIteratorStlTriangle(MStlTriangleElement* e) : m_e(e) {}
    MStlTriangleElement* operator*() const { return m_e; }
    MStlTriangleElement* operator->() const { return m_e; }
    MStlTriangleElement* GetElement() const { return m_e; }
    MStlIteratorStlTriangle& operator++() { m_e = m_e->GetNext(); return *this; }
    MStlIteratorStlTriangle operator++(int) { auto c = *this; ++*this; return c; }
    bool operator==(const MStlIteratorStlTriangle& o) const { return m_e == o.m_e; }
    bool operator!=(const MStlIteratorStlTriangle& o) const { return m_e != o.m_e; }

private:
    MStlTriangleElement* m_e = nullptr;
};

// Forward iteration over a mesh's live points.
class MStlIteratorStlPoint {
public:
    MStlIteratorStlPoint() = default;
    MStlIteratorStlPoint(const MStlBase* mesh, uint32_t slot);
    MStlPoint* operator*() const;
    MStlPoint* operator->() const { return **this; }
    MStlIteratorStlPoint& operator++();
    bool operator==(const MStlIteratorStlPoint& o) const { return m_slot == o.m_slot; }
    bool operator!=(const MStlIteratorStlPoint& o) const { return m_slot != o.m_slot; }

private:
    void SkipDead();
    const MStlBase* m_mesh = nullptr;
    uint32_t m_slot = 0;
};

// A graph edge: a polyline segment stored with the mesh.
struct MStlEdge {
    MStlPoint* p0 = nullptr;
    MStlPoint* p1 = nullptr;
};

class MStlBase {
public:
    MStlBase();
    ~MStlBase();
    MStlBase(const MStlBase&) = delete;
    MStlBase& operator=(const MStlBase&) = delete;

    const std::wstring& GetName() const { return m_name; }
    void SetName(const std::wstring& n) { m_name = n; }

    // --- points ----------------------------------------------------------
    // The mesh's point at these coordinates; the existing one if there is
    // one.  With `alwaysNew` the lookup is skipped and a new point is made
    // even where one exists (used for points whose topology matters more than
    // their position, such as plane crossings).
    MStlPoint* AddPoint(int32_t x, int32_t y, int32_t z, bool alwaysNew = false);
    MStlPoint* AddPoint(const MStlPoint* p, bool alwaysNew = false) {
        return AddPoint(p->GetX(), p->GetY(), p->GetZ(), alwaysNew);
    }
    // Coordinates are truncated toward zero; null when a coordinate is not
    // finite or lies outside the 32-bit range.
    MStlPoint* AddPoint(const MMVector3d& v, bool alwaysNew = false);
    MStlPoint* AddPoint(const MMVector3l& v, bool alwaysNew = false);
    // Lookup without adding; null when absent.
    MStlPoint* GetPoint(int32_t x, int32_t y, int32_t z) const;
    void MovePoint(MStlPoint* p, int32_t x, int32_t y, int32_t z);
    // Removes the point together with every triangle that uses it.
    void RemovePoint(MStlPoint* p);
    // Removes every point that no triangle uses; returns how many.
    uint64_t RemoveFreePoints();
    // Every use of `a` becomes `b`; triangles that then have two equal corners
    // are removed, and `a` is removed.
    void ReplacePointByPoint(MStlPoint* a, MStlPoint* b);
    uint64_t GetNumberOfPoints() const { return m_livePoints; }

    // --- triangles --------------------------------------------------------
    // A point is shared by at most this many triangles.  A larger fan is no
    // surface a cut can close and would make fan walks quadratic.
    static constexpr uint32_t kMaxTrianglesPerPoint = 65535;
    // Adds (p0, p1, p2) in that order; null when a corner is null, two
    // corners coincide or a corner already has kMaxTrianglesPerPoint
    // triangles.
    MStlTriangleElement* AddTriangle(MStlPoint* p0, MStlPoint* p1, MStlPoint* p2, MStlSurface* surface = nullptr);
    MStlTriangleElement* AddTriangle(MStlPoint* const p[3], MStlSurface* surface = nullptr) {
        return AddTriangle(p[0], p[1], p[2], surface);
    }
    void RemoveTriangle(MStlTriangle* t);
    void RemoveTriangle(const MStlIteratorStlTriangle& it) { RemoveTriangle(*it); }
    // Removes every triangle for which `remove(triangle)` answers true.
    template <class Predicate>
    void RemoveTrianglesIf(Predicate&& remove);
    // Splits every triangle on edge a-b at `inserted`.  Both halves keep the
    // old triangle's status, facing, mark, selection and surface.  A triangle
    // on the edge whose third corner is `inserted` itself has no area left
    // and is removed (when some other triangle was split).  Returns the
    // number of triangles split.
    int InsertPointBetweenPoints(MStlPoint* inserted, MStlPoint* a, MStlPoint* b);
    uint64_t GetNumberOfTriangles() const { return m_liveTriangles; }
    void InitStatusOfTriangles(uint8_t status = 0);

    MStlIteratorStlTriangle BeginTriangle() const { return MStlIteratorStlTriangle(m_head); }
    MStlIteratorStlTriangle EndTriangle() const { return MStlIteratorStlTriangle(nullptr); }
    MStlIteratorStlPoint BeginPoint() const { return MStlIteratorStlPoint(this, 0); }
    MStlIteratorStlPoint EndPoint() const { return MStlIteratorStlPoint(this, m_pointSlots); }
    MStlTriangleElement* GetFirstTriangle() const { return m_head; }
    // Slot access by dense index (for masks and bulk work); null for a free slot.
    MStlTriangleElement* GetTriangleBySlot(uint32_t slot) const;
    MStlPoint* GetPointBySlot(uint32_t slot) const;
    uint32_t GetNumberOfTriangleSlots() const { return m_triangleSlots; }
    uint32_t GetNumberOfPointSlots() const { return m_pointSlots; }
    // The slot of a point of this mesh (its GetIndex()), found from its
    // address alone: cheaper than reading a point that is not in cache.
    uint32_t GetPointSlot(const MStlPoint* p) const;

    // --- surfaces and features -------------------------------------------
    // A new surface in the main feature; with a template its name and feature
    // are taken over (when the template belongs to this mesh).
    MStlSurface* AddSurface(const MStlSurface* templ = nullptr);
    const std::vector<std::unique_ptr<MStlSurface>>* GetSurfaceList() const { return &m_surfaces; }
    uint32_t GetNumberOfSurfaces() const { return uint32_t(m_surfaces.size()); }
    MStlSurface* GetSurface(uint32_t i) const { return i < m_surfaces.size() ? m_surfaces[i].get() : nullptr; }
    MStlFeature* GetMainFeature();
    MStlFeature* AddFeature(const std::wstring& name = L"");
    uint32_t GetNumberOfFeatures() const { return uint32_t(m_features.size()); }
    MStlFeature* GetFeature(uint32_t i) const { return i < m_features.size() ? m_features[i].get() : nullptr; }
    void MoveTriangleToSurface(MStlTriangle* t, MStlSurface* s);
    // Removes the surfaces that hold no triangles (references to them from
    // other surfaces are cleared); returns how many.
    uint32_t RemoveEmptySurfaces();
    // Removes one surface of this mesh if it holds no triangles; false (and
    // nothing done) otherwise.  Other surfaces keep their addresses.
    bool RemoveSurface(MStlSurface* surface);
    // Removes every feature without triangles for which `remove(feature)`
    // answers true, with its (empty) surfaces; the main feature stays.
    template <class Predicate>
    uint32_t RemoveFeaturesIf(Predicate&& remove);

    MStlMasks& GetMasks() { return m_masks; }

    // --- whole-mesh operations -------------------------------------------
    // Removes everything (points, triangles, surfaces, features, edges).
    void ClearStl(bool keepName = true);
    // Makes this mesh an exact copy of `source` (same record order and
    // indices), replacing its content.
    void Copy(const MStlBase& source, QelSDK::Common::ProgressPtr progress = nullptr);
    std::unique_ptr<MStlBase> Clone() const;
    // Appends `source`, merging points at equal coordinates with this mesh's.
    void AddStl(const MStlBase& source, bool keepSurfaces = true, QelSDK::Common::ProgressPtr progress = nullptr);
    // Moves all content into `target` (appended) and leaves this mesh empty.
    // Appends the triangles whose slot is flagged in `take` (indexed by the
    // source's triangle slots), with their points, into this mesh, which
    // must be empty; `surfaces` maps each source surface index to the
    // surface of this mesh that its triangles go into (or null).  Status,
    // facing and selection are copied, the mark is not.  Builds in
    // parallel; triangles keep the order of their source slots.  False (and
    // nothing done) when this mesh is not empty.  With `unpairedSides`, also
    // counts the appended triangles' sides that CountUnpairedSides would.
    bool AppendSelected(const MStlBase& source, const std::vector<uint8_t>& take,
                        const std::vector<MStlSurface*>& surfaces, uint64_t* unpairedSides = nullptr);
    // Triangle sides that do not bound a closed, consistently oriented
    // surface: the sides along every edge that has not exactly one side each
    // way.  Zero for a closed, manifold, consistently oriented mesh.
    uint64_t CountUnpairedSides() const;
    void MoveTo(MStlBase& target);
    void Reserve(uint64_t points, uint64_t triangles);

    // Signed volume in cubic internal units, exact up to the final division.
    double Volume() const;
    double Area() const;

    void Update() { UpdateExtremes(); UpdateNormals(); UpdateSurfaceBorders(false); }
    void UpdateExtremes();
    // Normals are computed from the corners on request; this resets the
    // facing field from them (up, down or vertical).
    void UpdateNormals();
    void UpdateSurfaceBorders(bool immediately);
    int32_t GetXMin() const { return m_min[0]; }
    int32_t GetYMin() const { return m_min[1]; }
    int32_t GetZMin() const { return m_min[2]; }
    int32_t GetXMax() const { return m_max[0]; }
    int32_t GetYMax() const { return m_max[1]; }
    int32_t GetZMax() const { return m_max[2]; }

    // Applies the transform to every point (rounded to the grid).  Returns
    // false, leaving the mesh unchanged, when a point would leave the 32-bit
    // range or the matrix is singular.
    bool Transform(const MMTransformMatrix& m);
    bool InverseTransform(const MMTransformMatrix& m);
    bool Translate(int64_t dx, int64_t dy, int64_t dz);
    // Reverses every triangle.
    void Invert();

    // --- topology ---------------------------------------------------------
    // The number of triangles through edge p-q; `other` and `third` receive
    // one of them (preferring one that runs q->p) and its third corner.
    int NumberOfTrianglesThrough(const MStlPoint* p, const MStlPoint* q, MStlTriangleElement*& other,
                                 MStlPoint*& third, bool oppositeOnly = false) const;
    bool EdgeHasExactlyTwoNeighbours(const MStlPoint* p, const MStlPoint* q) const;

    // --- extras -----------------------------------------------------------
    MStlTextureFactory* GetTextureFactory();
    const MStlTextureFactory* GetTextureFactory() const { return m_textures.get(); }
    bool HasTextureFactory() const { return m_textures != nullptr; }
    std::vector<MStlEdge>& GetEdges() { return m_edges; }
    const std::vector<MStlEdge>& GetEdges() const { return m_edges; }
    void AddEdge(MStlPoint* a, MStlPoint* b) { m_edges.push_back({a, b}); }
    // Bytes held by the mesh's own records and indices.
    uint64_t MemoryFootprint() const;

    // --- cached queries ---------------------------------------------------
    // The triangle tree over every triangle, built on first use and kept
    // until a triangle is added or removed or a point moves.  Safe to call
    // from several threads at once while the mesh is not being changed.
    std::shared_ptr<const MStlTriangleTree> GetTriangleTree() const;
    void DropTriangleTree() const;

private:
    friend class MStlIteratorStlPoint;
    friend class MStlSurface;
    friend class MStlBaseOperatorHelperDirectPointChange;
    struct Impl;

    MStlPoint* NewPointSlot();
    MStlTriangleElement* NewTriangleSlot();
    void LinkTriangle(MStlTriangleElement* e);
    void UnlinkTriangle(MStlTriangleElement* e);
    void IndexPoint(MStlPoint* p);
    void UnindexPoint(MStlPoint* p);
    void InvalidatePointIndex();
    void CountInSurface(MStlSurface* s, int delta);
    uint32_t _RemoveFeatures(const std::vector<uint8_t>& drop);
    uint32_t _RemoveSurfaces(const std::vector<uint8_t>& drop);

    std::unique_ptr<Impl> m_impl;
    std::wstring m_name;
    MStlTriangleElement* m_head = nullptr;
    MStlTriangleElement* m_tail = nullptr;
    uint64_t m_liveTriangles = 0;
    uint64_t m_livePoints = 0;
    uint32_t m_triangleSlots = 0;
    uint32_t m_pointSlots = 0;
    std::vector<std::unique_ptr<MStlSurface>> m_surfaces;
    std::vector<std::unique_ptr<MStlFeature>> m_features;
    MStlMasks m_masks;
    std::unique_ptr<MStlTextureFactory> m_textures;
    std::vector<MStlEdge> m_edges;
    int32_t m_min[3] = {0, 0, 0};
    int32_t m_max[3] = {0, 0, 0};
};

// While alive, points of the mesh may be moved with SetCoordinatesFast; the
// coordinate index is rebuilt when the scope ends.
class MStlBaseOperatorHelperDirectPointChange {
public:
    MStlBaseOperatorHelperDirectPointChange(MStlBase& mesh, bool updateAfterwards);
    ~MStlBaseOperatorHelperDirectPointChange();

private:
    MStlBase& m_mesh;
    bool m_update;
};

// Forward and backward neighbour counts of an edge: forward triangles run
// p -> q, backward ones q -> p.
class MNeighbourFinder {
public:
    void Set(const MStlPoint* p, const MStlPoint* q) { m_p = p; m_q = q; }
    void Operate();
    int GetNumberOfForwardNeighbours() const { return m_forward; }
    int GetNumberOfBackwardNeighbours() const { return m_backward; }
    MStlTriangleElement* GetForwardNeighbour(int i) const { return m_forwardList[size_t(i)]; }
    MStlTriangleElement* GetBackwardNeighbour(int i) const { return m_backwardList[size_t(i)]; }

private:
    const MStlPoint* m_p = nullptr;
    const MStlPoint* m_q = nullptr;
    int m_forward = 0, m_backward = 0;
    std::vector<MStlTriangleElement*> m_forwardList, m_backwardList;
};

// Connected shells: triangles joined through shared edges.
class MStlShellManager {
public:
    explicit MStlShellManager(const MStlBase& mesh);
    uint32_t GetNumberShells() const { return uint32_t(m_shells.size()); }
    const std::vector<MStlTriangleElement*>& GetShell(uint32_t i) const { return m_shells[i]; }
    // Shell number of a triangle of the mesh.
    uint32_t GetShellOf(const MStlTriangle* t) const { return m_shellOfSlot[t->GetIndex()]; }

private:
    std::vector<std::vector<MStlTriangleElement*>> m_shells;
    std::vector<uint32_t> m_shellOfSlot;
};

// Texture coordinates of triangles, grouped by texture image.
class MStlTexture {
public:
    struct Coordinates { float uv[3][2] = {{0, 0}, {0, 0}, {0, 0}}; };
    const std::wstring& GetImageName() const { return m_image; }
    void SetImageName(const std::wstring& s) { m_image = s; }
    void CopyImageProperties(const MStlTexture& o) { m_image = o.m_image; m_width = o.m_width; m_height = o.m_height; }
    bool HasTriangle(const MStlTriangle* t) const { return m_entries.count(t) != 0; }
    bool GetCoordinates(const MStlTriangle* t, Coordinates& out, bool = true) const {
        auto it = m_entries.find(t);
        if (it == m_entries.end()) return false;
        out = it->second;
        return true;
    }
    void AddTriangle(const MStlTriangle* t, const Coordinates& c, bool = true) { m_entries[t] = c; }
    void RemoveTriangle(const MStlTriangle* t) { m_entries.erase(t); }
    uint64_t GetNumberOfTriangles() const { return m_entries.size(); }

private:
    std::wstring m_image;
    int m_width = 0, m_height = 0;
    std::unordered_map<const MStlTriangle*, Coordinates> m_entries;
};

class MStlTextureFactory {
public:
    MStlTexture* AddTexture() { m_textures.push_back(std::make_unique<MStlTexture>()); return m_textures.back().get(); }
    uint32_t GetNumberOfTextures() const { return uint32_t(m_textures.size()); }
    MStlTexture* GetTexture(uint32_t i) const { return m_textures[i].get(); }

private:
    std::vector<std::unique_ptr<MStlTexture>> m_textures;
};

// Maps records of one mesh to their copies in another during a copy.
class MStlBaseTreeCopy {
public:
    void SetDestination(const MStlTexture* source, MStlTexture* target) { m_textures.emplace_back(source, target); }
    MStlTexture* GetDestination(const MStlTexture* source, bool = true) const {
        for (auto& [s, t] : m_textures) if (s == source) return t;
        return nullptr;
    }

private:
    std::vector<std::pair<const MStlTexture*, MStlTexture*>> m_textures;
};

// Clones records of a source mesh into a target mesh.
class MStlCloner {
public:
    MStlCloner(const MStlBase& source, MStlBase& target) : m_source(source), m_target(target) {}
    MStlPoint* ClonePoint(const MStlPoint* p) { return m_target.AddPoint(p, false); }
    void CloneEdge(const MStlEdge& e) { m_target.AddEdge(ClonePoint(e.p0), ClonePoint(e.p1)); }
    const MStlBase& GetSource() const { return m_source; }
    MStlBase& GetTarget() { return m_target; }

protected:
    const MStlBase& m_source;
    MStlBase& m_target;
};

class MStlSharedCloner : public MStlCloner {
public:
    using MStlCloner::MStlCloner;
    MStlBaseTreeCopy& GetTreeCopy() { return m_tree; }

private:
    MStlBaseTreeCopy m_tree;
};

// Maps the points of a source mesh to points of a target mesh during a
// copy, looking each source point up once (by slot).  A target that starts
// empty takes new points directly, because the source's points already have
// distinct coordinates.
class MStlPointSlotMap {
public:
    MStlPointSlotMap(const MStlBase& source, MStlBase& target)
        : m_source(source), m_target(target), m_fresh(target.GetNumberOfPoints() == 0),
          m_map(source.GetNumberOfPointSlots(), nullptr) {}
    MStlPoint* operator()(const MStlPoint* p) {
        const uint32_t slot = m_source.GetPointSlot(p);
        if (slot >= m_map.size()) return m_target.AddPoint(p, false);
        MStlPoint*& mapped = m_map[slot];
        if (!mapped) mapped = m_target.AddPoint(p, m_fresh);
        return mapped;
    }
    MStlBase& Target() { return m_target; }

private:
    const MStlBase& m_source;
    MStlBase& m_target;
    bool m_fresh;
    std::vector<MStlPoint*> m_map;
};

// While alive, CopyStateFrom between triangles of the two meshes may carry
// attributes that live in the meshes (surfaces are never shared between
// meshes, so a surface copy across meshes is ignored).
class MStlBaseCopyTriangleAttributes {
public:
    MStlBaseCopyTriangleAttributes(const MStlBase& source, MStlBase& target, bool active)
        : m_source(source), m_target(target), m_active(active) {}
    bool IsActive() const { return m_active; }

private:
    const MStlBase& m_source;
    MStlBase& m_target;
    bool m_active;
};

// Triangle containers: one call to add a triangle into the part of a mesh
// each stands for.
class MStlTriangleContainerBase {
public:
    virtual ~MStlTriangleContainerBase() = default;
    virtual MStlTriangleElement* AddTriangle(MStlPoint* p0, MStlPoint* p1, MStlPoint* p2, MStlSurface* surface) = 0;
    virtual MStlBase* GetStl() const = 0;
};

class MStlBaseContainer final : public MStlTriangleContainerBase {
public:
    explicit MStlBaseContainer(MStlBase& mesh) : m_mesh(mesh) {}
    MStlTriangleElement* AddTriangle(MStlPoint* p0, MStlPoint* p1, MStlPoint* p2, MStlSurface* s) override {
        return m_mesh.AddTriangle(p0, p1, p2, s);
    }
    MStlBase* GetStl() const override { return &m_mesh; }

private:
    MStlBase& m_mesh;
};

// Adds into the given surface, or into the feature's first surface.
class MStlFeatureContainer final : public MStlTriangleContainerBase {
public:
    explicit MStlFeatureContainer(MStlFeature& feature) : m_feature(feature) {}
    MStlTriangleElement* AddTriangle(MStlPoint* p0, MStlPoint* p1, MStlPoint* p2, MStlSurface* s) override;
    MStlBase* GetStl() const override { return m_feature.GetStl(); }

private:
    MStlFeature& m_feature;
};

// Adds into its surface whatever surface the caller names.
class MStlSurfaceContainer final : public MStlTriangleContainerBase {
public:
    explicit MStlSurfaceContainer(MStlSurface& surface) : m_surface(surface) {}
    MStlTriangleElement* AddTriangle(MStlPoint* p0, MStlPoint* p1, MStlPoint* p2, MStlSurface*) override {
        return m_surface.AddTriangle(p0, p1, p2);
    }
    MStlBase* GetStl() const override { return m_surface.GetStl(); }
    MStlSurface& GetSurface() const { return m_surface; }

private:
    MStlSurface& m_surface;
};

// Adds to the mesh and records the new triangle in a caller's list.
class MStlTriangleListContainer final : public MStlTriangleContainerBase {
public:
    MStlTriangleListContainer(MStlBase& mesh, std::vector<MStlTriangleElement*>& list) : m_mesh(mesh), m_list(list) {}
    MStlTriangleElement* AddTriangle(MStlPoint* p0, MStlPoint* p1, MStlPoint* p2, MStlSurface* s) override {
        MStlTriangleElement* e = m_mesh.AddTriangle(p0, p1, p2, s);
        if (e) m_list.push_back(e);
        return e;
    }
    MStlBase* GetStl() const override { return &m_mesh; }
    std::vector<MStlTriangleElement*>& GetList() { return m_list; }

private:
    MStlBase& m_mesh;
    std::vector<MStlTriangleElement*>& m_list;
};

// Adds to the mesh with the host mark set on the new triangle.
class MStlMarkedTrianglesContainer final : public MStlTriangleContainerBase {
public:
    explicit MStlMarkedTrianglesContainer(MStlBase& mesh) : m_mesh(mesh) {}
    MStlTriangleElement* AddTriangle(MStlPoint* p0, MStlPoint* p1, MStlPoint* p2, MStlSurface* s) override {
        MStlTriangleElement* e = m_mesh.AddTriangle(p0, p1, p2, s);
        if (e) e->Mark();
        return e;
    }
    MStlBase* GetStl() const override { return &m_mesh; }

private:
    MStlBase& m_mesh;
};

inline MDataMaskBits<MStlTriangle>::MDataMaskBits(MStlBase& mesh, int bits) : m_mesh(&mesh), m_numBits(bits) {
    m_bits.resize(mesh.GetNumberOfTriangleSlots(), 0);
    mesh.GetMasks().Register(this, true);
}
inline MDataMaskBits<MStlTriangle>::~MDataMaskBits() { m_mesh->GetMasks().Unregister(this); }

template <class T, class V>
MDataMask<T, V>::MDataMask(MStlBase& mesh, V initial) : m_mesh(&mesh), m_initial(initial) {
    mesh.GetMasks().Register(this, std::is_same_v<T, MStlTriangle>);
}
template <class T, class V>
MDataMask<T, V>::~MDataMask() { m_mesh->GetMasks().Unregister(this); }

template <class Predicate>
uint32_t MStlBase::RemoveFeaturesIf(Predicate&& remove) {
    std::vector<uint8_t> drop(m_features.size(), 0);
    for (size_t i = 1; i < m_features.size(); ++i)
        drop[i] = m_features[i]->GetNumberOfTriangles() == 0 && remove(static_cast<const MStlFeature&>(*m_features[i]));
    return _RemoveFeatures(drop);
}

template <class Predicate>
void MStlBase::RemoveTrianglesIf(Predicate&& remove) {
    for (MStlTriangleElement* t = m_head; t;) {
        MStlTriangleElement* next = t->GetNext();
        if (remove(static_cast<const MStlTriangle&>(*t))) RemoveTriangle(t);
        t = next;
    }
}

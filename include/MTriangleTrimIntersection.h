// Records and containers of the triangle trimming engine.
//
// MTriangleTrimIntersection   one segment in one triangle's coordinate system
// MTriangleTrimIntersectionList   the segments that cross one triangle
// MTriangleTrimInfo           a triangle's coordinate system with its lists
// MTriangleTrimElement        a triangle taking part in a trim (with its
//                             transform and, while active, its trim info)
// MAdvancedTempList<T, C, N>  a doubly linked list of items with an integer
//                             box each, sorted insertion on box x
// MTempTrimTriangleList       that list for trim elements, recycling its
//                             elements through a pool filled 1000 at a time
//
// Copies duplicate what they own (elements, lists, infos), so nothing is
// ever released twice.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "MTriangleTrimCS.h"
#include "containers/S_LIST.h"
#include "host/MMath.h"
#include "host/MStlBase.h"

class MTriangleTrimIntersection {
public:
    MTriangleTrimIntersection() = default;

    void SetCS(MTriangleTrimCS* cs) {
        start.SetCS(cs);
        end.SetCS(cs);
    }
    // Same ends in the same order (homogeneous equality); the line is not
    // compared.
    bool operator==(const MTriangleTrimIntersection& other) const;
    // Whether a record lying along one triangle edge runs against that edge
    // (or has no length); with `reverse`, whether it runs along it.
    bool IS_AXIS_BACKWARDS(bool reverse) const;
    // Clips a copy of the record (in out) to the triangle of cs; defined
    // with the intersection calculator.
    void TRIM(MTriangleTrimIntersection& out, MTriangleTrimCS* cs);

    MTriangleTrimPosition start;
    MTriangleTrimPosition end;
    // Carries the segment; its direction runs from start to end.
    MTriangleTrimLine line;

private:
    // TRIM for one axis (defined with TRIM).
    void TRIM_TO_AXIS(int axis, MTriangleTrimIntersection& out, MTriangleTrimCS* cs);
};

class MTriangleTrimIntersectionList : private S_LIST<MTriangleTrimIntersection> {
public:
    using Element = SLIST_ELEMENT<MTriangleTrimIntersection>;

    MTriangleTrimIntersectionList() = default;
    MTriangleTrimIntersectionList(MStlTriangleElement* triangle, unsigned char type)
        : m_triangle(triangle), m_type(type) {}
    ~MTriangleTrimIntersectionList() override = default;
    MTriangleTrimIntersectionList(const MTriangleTrimIntersectionList&) = default;
    MTriangleTrimIntersectionList& operator=(const MTriangleTrimIntersectionList&) = default;

    // Pushes a copy at the front and creates the mesh points of both ends.
    Element* AddIntersection(const MTriangleTrimIntersection& record);
    // The same; with `reverse` the stored copy is turned around (ends
    // swapped, line negated).  A record whose ends equal, in order, those of
    // one already present is dropped again and null returned; the mesh
    // points made for it stay in the mesh.
    Element* AddIntersection(const MTriangleTrimIntersection& record, bool reverse);
    // Links an element at the back; the list takes it over.
    void AddIntersectionElement(Element* e) { LIJST_ELEMENT_ACHTERAAN_INVOEGEN(e); }
    // The triangle's edges as records, axis 0, 1, 2, each pushed at the front.
    void AddThreeAxisIntersections(MTriangleTrimCS& cs);

    Element* GetFirstIntersection() const { return GetFirst(); }
    uint64_t GetNumIntersections() const { return GetCount(); }
    // Unlinks the head; the caller owns it (free with DeleteIntersection).
    Element* RemoveFirstIntersection() { return LIJST_ELEMENT_VOORAAN_UITHALEN(); }
    // Removes and frees the element after `e`, or the head for a null `e`.
    void RemoveIntersectionAfter(Element* e) {
        VERWIJDER_ELEMENT(e ? LIJST_ELEMENT_VERWIJDEREN_ACHTER(e) : LIJST_ELEMENT_VOORAAN_UITHALEN());
    }
    void DeleteIntersection(Element* e) { VERWIJDER_ELEMENT(e); }
    void ClearList() { WISSEN(); }

    MStlTriangleElement* GetTriangleElement() const { return m_triangle; }
    unsigned char GetType() const { return m_type; }
    // Points every record's ends at `cs` (used when an info is copied).
    void SetCS(MTriangleTrimCS* cs);

    using S_LIST<MTriangleTrimIntersection>::begin;
    using S_LIST<MTriangleTrimIntersection>::end;

private:
    MStlTriangleElement* m_triangle = nullptr;
    unsigned char m_type = 0;
};

class MTriangleTrimInfo {
public:
    // Two lists (types 0 and 1) for the triangle; with a triangle the
    // coordinate system is set from its points through the transform.
    explicit MTriangleTrimInfo(MStlTriangleElement* triangle = nullptr, const MMTransformMatrix* transform = nullptr);
    ~MTriangleTrimInfo();
    MTriangleTrimInfo(const MTriangleTrimInfo& other);
    MTriangleTrimInfo& operator=(const MTriangleTrimInfo& other);

    // Appends a list for list 0's triangle; the array grows by two slots when
    // full.  Null when the list count would leave its 16-bit range.
    MTriangleTrimIntersectionList* AddList(unsigned char type);
    // At least n lists (n rounded up to even); the existing lists are kept,
    // new ones have type 0.
    void AllocateLists(unsigned short n);

    // Null for an index out of range.
    MTriangleTrimIntersectionList* GetList(unsigned long i) const {
        return i < m_lists.size() ? m_lists[i].get() : nullptr;
    }
    const std::vector<std::unique_ptr<MTriangleTrimIntersectionList>>& GetLists() const { return m_lists; }
    unsigned short GetNumLists() const { return static_cast<unsigned short>(m_lists.size()); }
    // Slots of the list array: the count or the next even number above it.
    unsigned short GetListCapacity() const { return m_capacity; }
    MTriangleTrimCS& GetCS() { return m_cs; }
    const MTriangleTrimCS& GetCS() const { return m_cs; }
    MStlTriangleElement* GetTriangle() { return m_cs.GetTriangleElement(); }

private:
    static constexpr unsigned kMostLists = 65534;
    void _Reserve(unsigned capacity);
    void _DeleteLists();

    std::vector<std::unique_ptr<MTriangleTrimIntersectionList>> m_lists;
    unsigned short m_capacity = 0;
    MTriangleTrimCS m_cs;
};

class MTriangleTrimElement {
public:
    MTriangleTrimElement() = default;
    ~MTriangleTrimElement() { DisactivateTrimInfo(); }
    // A copy duplicates an active trim info.
    MTriangleTrimElement(const MTriangleTrimElement& other);
    MTriangleTrimElement& operator=(const MTriangleTrimElement& other);
    MTriangleTrimElement(MTriangleTrimElement&& other) noexcept;
    MTriangleTrimElement& operator=(MTriangleTrimElement&& other) noexcept;

    void SetTriangle(MStlTriangleElement* triangle, const MMTransformMatrix* transform) {
        m_triangle = triangle;
        m_transform = transform;
    }
    MStlTriangleElement* GetTriangle() const { return m_triangle; }
    const MMTransformMatrix* GetTrans() const { return m_transform; }
    MTriangleTrimInfo* GetTrimInfo() const { return m_info; }
    // A new trim info for the triangle and transform (an info already
    // present is replaced); allocation failure throws, so the result is
    // never null.
    MTriangleTrimInfo* ActivateTrimInfo();
    void DisactivateTrimInfo();

private:
    MStlTriangleElement* m_triangle = nullptr;
    const MMTransformMatrix* m_transform = nullptr;
    MTriangleTrimInfo* m_info = nullptr;
};

template <class T, class C, int N>
class MAdvancedTempList;

template <class T, class C, int N>
class MAdvancedTempListElement {
public:
    static constexpr C kEmptyMinimum = C(2147483647);
    static constexpr C kEmptyMaximum = C(-2147483647 - 1);

    MAdvancedTempListElement() { ResetBox(); }

    T& GetItem() { return m_item; }
    const T& GetItem() const { return m_item; }
    C* GetMinimum() { return m_min; }
    C* GetMaximum() { return m_max; }
    const C* GetMinimum() const { return m_min; }
    const C* GetMaximum() const { return m_max; }
    void ResetBox() {
        for (int i = 0; i < N; ++i) {
            m_min[i] = kEmptyMinimum;
            m_max[i] = kEmptyMaximum;
        }
    }
    void IncludeInBox(const C* point) {
        for (int i = 0; i < N; ++i) {
            if (point[i] < m_min[i]) m_min[i] = point[i];
            if (point[i] > m_max[i]) m_max[i] = point[i];
        }
    }
    bool IsBoxEmpty() const { return m_min[0] > m_max[0]; }
    MAdvancedTempListElement* GetPrev() const { return m_prev; }
    MAdvancedTempListElement* GetNext() const { return m_next; }

private:
    friend class MAdvancedTempList<T, C, N>;
    T m_item{};
    C m_min[N];
    C m_max[N];
    MAdvancedTempListElement* m_prev = nullptr;
    MAdvancedTempListElement* m_next = nullptr;
};

// Elements are linked by the list and owned by it while linked; an unlinked
// element belongs to the caller, who links it again or hands it to
// DeleteElement.  Sorted insertion is stable: an element goes after every
// element with an equal key.  A derived class that overrides NewElement or
// DeleteElement must empty the list in its own destructor.
template <class T, class C, int N>
class MAdvancedTempList {
public:
    using Element = MAdvancedTempListElement<T, C, N>;
    using CalculateFunction = void (*)(Element&);

    MAdvancedTempList() = default;
    virtual ~MAdvancedTempList() { _DeleteAll(); }
    MAdvancedTempList(const MAdvancedTempList& other) : m_calculate(other.m_calculate) { _AppendCopiesOf(other); }
    MAdvancedTempList& operator=(const MAdvancedTempList& other) {
        if (this != &other) {
            _DeleteAll();
            m_calculate = other.m_calculate;
            _AppendCopiesOf(other);
        }
        return *this;
    }

    virtual Element* NewElement() { return new Element(); }
    // A new unlinked element holding a copy of the item, its box filled by
    // the calculate function.
    Element* NewElement(const T& item) {
        Element* e = NewElement();
        e->m_item = item;
        if (m_calculate) m_calculate(*e);
        return e;
    }
    // Frees an unlinked element (an element still linked in this list is
    // unlinked first).
    virtual void DeleteElement(Element* e) {
        if (!e) return;
        _UnlinkIfLinked(e);
        delete e;
    }

    void Add(Element* e) { AddElementAfter(e, m_tail); }
    // After `after`; a null `after` links at the front.
    void AddElementAfter(Element* e, Element* after) {
        if (!e) return;
        Element* next = after ? after->m_next : m_head;
        e->m_prev = after;
        e->m_next = next;
        (after ? after->m_next : m_head) = e;
        (next ? next->m_prev : m_tail) = e;
        ++m_count;
    }
    // Before `before`; a null `before` links at the back.
    void AddElementBefore(Element* e, Element* before) { AddElementAfter(e, before ? before->m_prev : m_tail); }
    void RemoveElement(Element* e) {
        if (!e || m_count == 0) return;
        if (m_cursor == e) m_cursor = e->m_prev ? e->m_prev : e->m_next;
        (e->m_prev ? e->m_prev->m_next : m_head) = e->m_next;
        (e->m_next ? e->m_next->m_prev : m_tail) = e->m_prev;
        e->m_prev = e->m_next = nullptr;
        --m_count;
    }
    Element* RemoveFirstElement() {
        Element* e = m_head;
        RemoveElement(e);
        return e;
    }
    Element* GetFirstElement() const { return m_head; }
    Element* GetLastElement() const { return m_tail; }
    uint32_t GetNumElements() const { return m_count; }

    // Ascending by box minimum x.
    Element* AddSortedAtMinimum(Element* e) { return _AddSorted(e, &MinimumX, false); }
    // Ascending by box maximum x.
    Element* AddSortedAtMaximum(Element* e) { return _AddSorted(e, &MaximumX, false); }
    // Descending by box maximum x.
    Element* AddSortedAtMinusMaximum(Element* e) { return _AddSorted(e, &MaximumX, true); }
    Element* AddSortedAtMinimum(const T& item) { return AddSortedAtMinimum(NewElement(item)); }
    Element* AddSortedAtMaximum(const T& item) { return AddSortedAtMaximum(NewElement(item)); }
    Element* AddSortedAtMinusMaximum(const T& item) { return AddSortedAtMinusMaximum(NewElement(item)); }

    void SetCalculateFunction(CalculateFunction f) { m_calculate = f; }
    CalculateFunction GetCalculateFunction() const { return m_calculate; }

protected:
    // Appends copies of other's items and boxes, made with NewElement().
    void _AppendCopiesOf(const MAdvancedTempList& other) {
        for (const Element* o = other.m_head; o; o = o->m_next) {
            Element* e = NewElement();
            e->m_item = o->m_item;
            for (int i = 0; i < N; ++i) {
                e->m_min[i] = o->m_min[i];
                e->m_max[i] = o->m_max[i];
            }
            Add(e);
        }
    }
    void _UnlinkIfLinked(Element* e) {
        if (e->m_prev || e->m_next || m_head == e) RemoveElement(e);
    }
    // Unlinks every element from the front and hands it to DeleteElement.
    void _DeleteAll() {
        while (Element* e = RemoveFirstElement()) DeleteElement(e);
        m_cursor = nullptr;
    }

private:
    static C MinimumX(const Element& e) { return e.m_min[0]; }
    static C MaximumX(const Element& e) { return e.m_max[0]; }

    // Starts at the last insertion point and walks to the place after every
    // element whose key does not sort after e's.
    Element* _AddSorted(Element* e, C (*key)(const Element&), bool descending) {
        if (!e) return nullptr;
        const C k = key(*e);
        auto after = [&](const Element& x) { return descending ? key(x) < k : key(x) > k; };
        Element* at = m_cursor ? m_cursor : m_head;
        if (!at) {
            Add(e);
        } else if (after(*at)) {
            while (at && after(*at)) at = at->m_prev;
            AddElementAfter(e, at);
        } else {
            while (at->m_next && !after(*at->m_next)) at = at->m_next;
            AddElementAfter(e, at);
        }
        m_cursor = e;
        return e;
    }

    uint32_t m_count = 0;
    Element* m_head = nullptr;
    Element* m_tail = nullptr;
    Element* m_cursor = nullptr;
    CalculateFunction m_calculate = nullptr;
};

using MTrimTriangleListElement = MAdvancedTempListElement<MTriangleTrimElement, long, 3>;

class MTempTrimTriangleList : public MAdvancedTempList<MTriangleTrimElement, long, 3> {
public:
    static constexpr int kPoolBlock = 1000;

    MTempTrimTriangleList();
    ~MTempTrimTriangleList() override;
    // A copy has its own pool and copies of the elements.
    MTempTrimTriangleList(const MTempTrimTriangleList& other);
    MTempTrimTriangleList& operator=(const MTempTrimTriangleList& other);

    using MAdvancedTempList::NewElement;
    // An element from the pool, reset (null item, empty box).
    Element* NewElement() override;
    Element* NewElement(MStlTriangleElement* triangle, const MMTransformMatrix* transform);
    // Deactivates the trim info and returns the element to the pool.
    void DeleteElement(Element* e) override;

    uint32_t GetNumPoolElements() const { return m_pool.GetNumElements(); }
    // Elements allocated so far (always a multiple of 1000).
    uint64_t GetNumAllocatedElements() const { return uint64_t(m_blocks.size()) * kPoolBlock; }

    // The triangle's integer bounding box, through the element's transform
    // when it has one.  A point that the transform sends outside the 32-bit
    // range (or to a non-finite value) leaves the box empty.
    static void CalculateTriangleBox(Element& e);

private:
    void _FillPool();

    MAdvancedTempList<MTriangleTrimElement, long, 3> m_pool;
    std::vector<std::unique_ptr<Element[]>> m_blocks;
};

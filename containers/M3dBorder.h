// Borders: lists of contours whose points form circular doubly linked rings.
// Points come from a pool shared by all contours of one border; contours are
// owned by their border.
#pragma once

#include <cstdint>
#include <memory>

#include "containers/MCyclicMemoryPool.h"

template <class C, class D>
class M3dBorderPoint {
public:
    using Coordinate = C;
    using Data = D;

    M3dBorderPoint() = default;
    M3dBorderPoint(C x, C y, C z, const D& data) : m_x(x), m_y(y), m_z(z), m_data(data) {}

    C GetX() const { return m_x; }
    C GetY() const { return m_y; }
    C GetZ() const { return m_z; }
    C Get(int i) const { return i == 0 ? m_x : i == 1 ? m_y : m_z; }
    void SetX(C v) { m_x = v; }
    void SetY(C v) { m_y = v; }
    void SetZ(C v) { m_z = v; }
    void Set(C x, C y, C z) { m_x = x; m_y = y; m_z = z; }
    const D& GetData() const { return m_data; }
    D& GetData() { return m_data; }
    void SetData(const D& d) { m_data = d; }
    M3dBorderPoint* GetNext() const { return m_next; }
    M3dBorderPoint* GetPrev() const { return m_prev; }

private:
    template <class, class, class>
    friend class M3dBorderContour;
    C m_x{}, m_y{}, m_z{};
    D m_data{};
    M3dBorderPoint* m_next = nullptr;
    M3dBorderPoint* m_prev = nullptr;
};

template <class C, class D, class Point = M3dBorderPoint<C, D>>
class M3dBorderContour {
public:
    using PointType = Point;
    using Pool = MCyclicMemoryPool<Point>;

    explicit M3dBorderContour(Pool* pool) : m_pool(pool) {}
    virtual ~M3dBorderContour() { Clear(); }
    M3dBorderContour(const M3dBorderContour&) = delete;
    M3dBorderContour& operator=(const M3dBorderContour&) = delete;

    Point* GetFirstPoint() const { return m_first; }
    Point* GetLastPoint() const { return m_first ? static_cast<Point*>(m_first->m_prev) : nullptr; }
    uint32_t GetNumberOfPoints() const { return m_count; }
    bool IsEmpty() const { return m_count == 0; }
    bool IsClosed() const { return m_closed; }
    void SetClosed(bool closed) { m_closed = closed; }
    bool IsClockwise() const { return m_clockwise; }
    void SetClockwise(bool cw) { m_clockwise = cw; }
    M3dBorderContour* GetNextContour() const { return m_nextContour; }
    M3dBorderContour* GetPrevContour() const { return m_prevContour; }
    Pool* GetPool() const { return m_pool; }

    // Appends a point at the end of the ring (just before the first point).
    Point* AddPoint(C x, C y, C z, const D& data = D()) { return InsertPointBefore(m_first, x, y, z, data); }
    Point* AddPoint(C x, C y, const D& data = D()) { return AddPoint(x, y, C{}, data); }
    // Inserts after `where` (at the end when `where` is null).
    Point* InsertPointAfter(Point* where, C x, C y, C z, const D& data = D()) {
        if (!where) return AddPoint(x, y, z, data);
        Point* p = m_pool->New(x, y, z, data);
        Link(p, static_cast<Point*>(where->m_next));
        return p;
    }
    // Inserts before `where`; before the first point means at the end.
    Point* InsertPointBefore(Point* where, C x, C y, C z, const D& data = D()) {
        Point* p = m_pool->New(x, y, z, data);
        if (!m_first) {
            p->m_next = p->m_prev = p;
            m_first = p;
            m_count = 1;
            return p;
        }
        Link(p, where ? where : m_first);
        return p;
    }
    // Unlinks and frees the point; returns its successor (null when the ring
    // became empty).
    Point* RemovePoint(Point* p) {
        Point* next = static_cast<Point*>(p->m_next);
        if (m_count == 1) {
            next = nullptr;
            m_first = nullptr;
        } else {
            p->m_prev->m_next = p->m_next;
            p->m_next->m_prev = p->m_prev;
            if (m_first == p) m_first = next;
        }
        --m_count;
        m_pool->Delete(p);
        return next;
    }
    void SetFirstPoint(Point* p) { m_first = p; }
    void Clear() {
        while (m_first) RemovePoint(m_first);
    }
    // Reverses the ring's direction, keeping the first point.
    void Reverse() {
        if (!m_first) return;
        Point* p = m_first;
        do {
            auto* next = p->m_next;
            p->m_next = p->m_prev;
            p->m_prev = next;
            p = static_cast<Point*>(next);
        } while (p != m_first);
    }
    void CopyPointsFrom(const M3dBorderContour& other) {
        Clear();
        m_closed = other.m_closed;
        m_clockwise = other.m_clockwise;
        Point* p = other.m_first;
        for (uint32_t i = 0; i < other.m_count; ++i, p = static_cast<Point*>(p->m_next))
            AddPoint(p->GetX(), p->GetY(), p->GetZ(), p->GetData());
    }

private:
    template <class, class, class>
    friend class M3dBorder;
    void Link(Point* p, Point* before) {
        p->m_next = before;
        p->m_prev = before->m_prev;
        before->m_prev->m_next = p;
        before->m_prev = p;
        ++m_count;
    }

    Point* m_first = nullptr;
    uint32_t m_count = 0;
    bool m_closed = false;
    bool m_clockwise = false;
    M3dBorderContour* m_nextContour = nullptr;
    M3dBorderContour* m_prevContour = nullptr;
    Pool* m_pool;
};

template <class C, class D, class Contour = M3dBorderContour<C, D, M3dBorderPoint<C, D>>>
class M3dBorder {
public:
    using ContourType = Contour;
    using PointType = typename Contour::PointType;
    using Pool = MCyclicMemoryPool<PointType>;

    M3dBorder() : m_pool(std::make_shared<Pool>()) {}
    virtual ~M3dBorder() { Clear(); }
    M3dBorder(const M3dBorder& other) : M3dBorder() { CopyFrom(other); }
    M3dBorder& operator=(const M3dBorder& other) {
        if (this != &other) CopyFrom(other);
        return *this;
    }

    Contour* GetFirstContour() const { return static_cast<Contour*>(m_first); }
    Contour* GetLastContour() const { return static_cast<Contour*>(m_last); }
    int32_t GetNumberOfContours() const { return m_count; }
    const std::shared_ptr<Pool>& GetPool() const { return m_pool; }
    static Contour* Next(const Contour* c) { return static_cast<Contour*>(c->GetNextContour()); }

    // Appends a new empty contour made by the virtual factory.
    Contour* AddContour() {
        Contour* c = NewContour();
        c->m_prevContour = m_last;
        c->m_nextContour = nullptr;
        if (m_last) m_last->m_nextContour = c; else m_first = c;
        m_last = c;
        ++m_count;
        return c;
    }
    // Unlinks the contour from the border without destroying it.
    void UnlinkContour(Contour* c) {
        if (c->m_prevContour) c->m_prevContour->m_nextContour = c->m_nextContour; else m_first = c->m_nextContour;
        if (c->m_nextContour) c->m_nextContour->m_prevContour = c->m_prevContour; else m_last = c->m_prevContour;
        c->m_nextContour = c->m_prevContour = nullptr;
        --m_count;
    }
    // Unlinks and destroys; returns the following contour.
    Contour* RemoveContour(Contour* c) {
        Contour* next = Next(c);
        UnlinkContour(c);
        delete c;
        return next;
    }
    void Clear() {
        while (m_first) RemoveContour(static_cast<Contour*>(m_first));
    }
    uint64_t GetNumberOfPoints() const {
        uint64_t n = 0;
        for (Contour* c = GetFirstContour(); c; c = Next(c)) n += c->GetNumberOfPoints();
        return n;
    }
    void CopyFrom(const M3dBorder& other) {
        Clear();
        for (Contour* c = other.GetFirstContour(); c; c = Next(c)) AddContour()->CopyPointsFrom(*c);
    }

protected:
    virtual Contour* NewContour() { return new Contour(m_pool.get()); }

private:
    using ContourBase = M3dBorderContour<C, D, PointType>;
    std::shared_ptr<Pool> m_pool;
    ContourBase* m_first = nullptr;
    ContourBase* m_last = nullptr;
    int32_t m_count = 0;
};

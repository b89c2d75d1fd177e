// Singly linked list of values with an optional sorted index.
//
// Items are copied into list elements.  A list whose sort function has been
// set with SORTEER_INITIALISATIE keeps a sparse index over its elements (the
// shadow list): entry i points at the first element of a run and counts the
// elements up to the next entry's element; the first entry always points at
// the head, the last at the tail.  Sorted search and insertion use a binary
// search over the entries followed by a short walk inside one run.
//
// The sorted operations are find-or-insert: a list keeps at most one element
// per key of its sort function.  They return null when the list has no usable
// index (no sort function, index discarded by WIJZIG_SORTEER_FUNCTIE, or a
// maximum run of 0).
//
// The list owns its linked elements; an element taken out by one of the
// unlinking operations belongs to the caller, who frees it with
// VERWIJDER_ELEMENT or links it again.
//
// A derived class that overrides _NewElement/_DeleteElement must call
// WISSEN() in its own destructor and build copies with _CopyFrom in its own
// copy constructor, since virtual calls do not reach it from the base's
// constructor and destructor.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

template <class T>
class S_LIST;

template <class T>
class SLIST_ELEMENT {
public:
    SLIST_ELEMENT() = default;
    explicit SLIST_ELEMENT(const T& item) : m_item(item) {}

    SLIST_ELEMENT* GetNext() const { return m_next; }
    T* GetData() { return &m_item; }
    const T* GetData() const { return &m_item; }
    T& GetItem() { return m_item; }
    const T& GetItem() const { return m_item; }

private:
    friend class S_LIST<T>;
    SLIST_ELEMENT* m_next = nullptr;
    T m_item{};
};

template <class T>
class S_LIST {
public:
    using Element = SLIST_ELEMENT<T>;
    using CompareFunction = int (*)(const T*, const T*);

    S_LIST() = default;
    virtual ~S_LIST() { _DeleteElements(); }
    // Copies duplicate the elements (and rebuild the index), so that no
    // element is ever owned by two lists.
    S_LIST(const S_LIST& other) { _CopyFrom(other); }
    S_LIST& operator=(const S_LIST& other) {
        if (this != &other) _CopyFrom(other);
        return *this;
    }
    S_LIST(S_LIST&& other) noexcept { _TakeFrom(other); }
    S_LIST& operator=(S_LIST&& other) noexcept {
        if (this != &other) {
            WISSEN();
            _TakeFrom(other);
        }
        return *this;
    }

    uint64_t GetCount() const { return m_count; }
    bool IsEmpty() const { return m_count == 0; }
    Element* GetFirst() const { return m_head; }
    Element* GetLast() const { return m_tail; }
    CompareFunction GetCompareFunction() const { return m_compare; }
    bool HasSortIndex() const { return m_shadow != nullptr; }

    // --- insertion of copies ---------------------------------------------
    Element* VOORAAN_INVOEGEN(const T* item) { return LIJST_ELEMENT_VOORAAN_INVOEGEN(_NewCopy(item)); }
    Element* ACHTERAAN_INVOEGEN(const T* item) { return LIJST_ELEMENT_ACHTERAAN_INVOEGEN(_NewCopy(item)); }
    Element* ACHTERAAN_INVOEGEN() { return LIJST_ELEMENT_ACHTERAAN_INVOEGEN(_NewElement()); }
    // A copy linked after `after`.  A null `after` inserts at the front and
    // the tail as `after` appends, so no call leaves the tail pointer stale.
    Element* INVOEGEN(const T* item, Element* after) {
        if (!after) return VOORAAN_INVOEGEN(item);
        if (after == m_tail) return ACHTERAAN_INVOEGEN(item);
        Element* e = _NewCopy(item);
        const int32_t run = m_shadow ? _FindRun(after) : -1;
        e->m_next = after->m_next;
        after->m_next = e;
        ++m_count;
        if (run >= 0) _GrowRun(run);
        return e;
    }

    // --- linking and unlinking existing elements ---------------------------
    Element* LIJST_ELEMENT_VOORAAN_INVOEGEN(Element* e) {
        if (!e) return nullptr;
        e->m_next = m_head;
        m_head = e;
        if (!m_tail) m_tail = e;
        ++m_count;
        _ShadowLinkedFront();
        return e;
    }
    Element* LIJST_ELEMENT_ACHTERAAN_INVOEGEN(Element* e) {
        if (!e) return nullptr;
        e->m_next = nullptr;
        if (m_tail) m_tail->m_next = e;
        else m_head = e;
        m_tail = e;
        ++m_count;
        _ShadowLinkedBack();
        return e;
    }
    Element* LIJST_ELEMENT_VOORAAN_UITHALEN() { return m_head ? _Unlink(nullptr, m_head) : nullptr; }
    // Unlinks the element after `after`; null when there is none (also for
    // a null `after`).
    Element* LIJST_ELEMENT_VERWIJDEREN_ACHTER(Element* after) {
        if (!after || !m_head || !after->m_next) return nullptr;
        return _Unlink(after, after->m_next);
    }
    // Frees an element the caller took out of the list.
    void VERWIJDER_ELEMENT(Element* e) {
        if (e) _DeleteElement(e);
    }

    void WISSEN() {
        _DeleteElements();
        // The grown index is freed; a sorted list gets a fresh one of its
        // initial size so that it stays usable after being emptied.
        if (m_shadow) _NewShadow(m_shadowInitialCapacity, m_shadow->maxRun);
    }

    // --- sorting -----------------------------------------------------------
    void SORTEER_INITIALISATIE(CompareFunction compare, long capacity, long maximumRun) {
        if (m_compare) return;
        m_compare = compare;
        const long clampedCapacity = std::clamp<long>(capacity, 2, kLargestInitialCapacity);
        m_shadowInitialCapacity = int32_t(clampedCapacity);
        _NewShadow(m_shadowInitialCapacity, int32_t(std::clamp<long>(maximumRun, 0, INT32_MAX)));
        _RebuildShadow();
    }
    void WIJZIG_SORTEER_FUNCTIE(CompareFunction compare) {
        if (compare == m_compare) return;
        m_compare = compare;
        m_shadow.reset();
    }

    Element* GESORTEERD_ELEMENT(const T* item) {
        if (!item || !_SortedUsable()) return nullptr;
        const Place place = _SortedFind(item);
        if (place.kind == Place::Equal) return place.element;
        return _LinkAtPlace(_NewCopy(item), place);
    }
    T* GESORTEERD_INVOEGEN(const T* item) {
        Element* e = GESORTEERD_ELEMENT(item);
        return e ? &e->m_item : nullptr;
    }
    Element* GESORTEERD_ELEMENT_ZOEKEN(const T* item) const {
        if (!item || !_SortedUsable()) return nullptr;
        const Place place = _SortedFind(item);
        return place.kind == Place::Equal ? place.element : nullptr;
    }
    T* GESORTEERD_ZOEKEN(const T* item) const {
        Element* e = GESORTEERD_ELEMENT_ZOEKEN(item);
        return e ? &e->m_item : nullptr;
    }
    // Links `e` at its sorted place and returns it.  When an equal item is
    // present, `e` stays the caller's and the element already in the list is
    // returned instead; null when the list cannot sort.
    Element* LIJST_ELEMENT_GESORTEERD_INVOEGEN(Element* e) {
        if (!e || !_SortedUsable()) return nullptr;
        const Place place = _SortedFind(&e->m_item);
        if (place.kind == Place::Equal) return place.element;
        return _LinkAtPlace(e, place);
    }

    // Splits an overfull run, or drops an empty one.
    void SCHADUW_LIJST_CONTROLE(long index) {
        if (!m_shadow || index < m_shadow->first || index > m_shadow->last) return;
        Shadow& s = *m_shadow;
        const int32_t i = int32_t(index);
        if (s.entries[i].count > s.maxRun && s.maxRun > 0) _SplitRun(i);
        else if (s.entries[i].count == 0 && i < s.last && s.last - s.first + 1 > 2) _DropEntry(i);
    }

    // Index inspection, for checks of its consistency.
    int32_t GetShadowFirst() const { return m_shadow ? m_shadow->first : 0; }
    int32_t GetShadowLast() const { return m_shadow ? m_shadow->last : 0; }
    int32_t GetShadowCapacity() const { return m_shadow ? int32_t(m_shadow->entries.size()) : 0; }
    int32_t GetShadowMaximumRun() const { return m_shadow ? m_shadow->maxRun : 0; }
    const Element* GetShadowElement(int32_t i) const { return _HasEntry(i) ? m_shadow->entries[size_t(i)].element : nullptr; }
    int32_t GetShadowCount(int32_t i) const { return _HasEntry(i) ? m_shadow->entries[size_t(i)].count : 0; }

    // Range-for over the items.
    class Iterator {
    public:
        explicit Iterator(Element* e) : m_e(e) {}
        T& operator*() const { return m_e->GetItem(); }
        T* operator->() const { return m_e->GetData(); }
        Iterator& operator++() { m_e = m_e->GetNext(); return *this; }
        bool operator==(const Iterator& o) const { return m_e == o.m_e; }
        bool operator!=(const Iterator& o) const { return m_e != o.m_e; }

    private:
        Element* m_e;
    };
    Iterator begin() const { return Iterator(m_head); }
    Iterator end() const { return Iterator(nullptr); }

protected:
    virtual Element* _NewElement() { return new Element(); }
    virtual void _DeleteElement(Element* e) { delete e; }

    // Replaces the content by copies of other's items, with its sorting.
    void _CopyFrom(const S_LIST& other) {
        WISSEN();
        m_shadow.reset();
        m_compare = nullptr;
        for (const Element* e = other.m_head; e; e = e->m_next) ACHTERAAN_INVOEGEN(&e->m_item);
        if (other.m_compare) {
            m_compare = other.m_compare;
            m_shadowInitialCapacity = other.m_shadowInitialCapacity;
            if (other.m_shadow) {
                _NewShadow(m_shadowInitialCapacity, other.m_shadow->maxRun);
                _RebuildShadow();
            }
        }
    }

private:
    static constexpr long kLargestInitialCapacity = 65536;

    struct ShadowEntry {
        Element* element = nullptr;
        int32_t count = 0;
    };
    struct Shadow {
        int32_t first = 0;
        int32_t last = 1;
        int32_t maxRun = 0;
        std::vector<ShadowEntry> entries;
    };
    struct Place {
        enum Kind { Equal, Empty, Front, Back, After } kind;
        Element* element;
        int32_t run;
    };

    void _DeleteElements() {
        Element* e = m_head;
        while (e) {
            Element* next = e->m_next;
            _DeleteElement(e);
            e = next;
        }
        m_head = m_tail = nullptr;
        m_count = 0;
    }
    Element* _NewCopy(const T* item) {
        Element* e = _NewElement();
        if (item) e->m_item = *item;
        return e;
    }
    void _TakeFrom(S_LIST& other) {
        m_count = other.m_count;
        m_head = other.m_head;
        m_tail = other.m_tail;
        m_compare = other.m_compare;
        m_shadow = std::move(other.m_shadow);
        m_cursor = other.m_cursor;
        m_shadowInitialCapacity = other.m_shadowInitialCapacity;
        other.m_count = 0;
        other.m_head = other.m_tail = nullptr;
        other.m_compare = nullptr;
    }

    bool _HasEntry(int32_t i) const { return m_shadow && i >= 0 && size_t(i) < m_shadow->entries.size(); }
    bool _SortedUsable() const { return m_compare && m_shadow && m_shadow->maxRun > 0; }

    Place _SortedFind(const T* item) const {
        if (!m_head) return {Place::Empty, nullptr, -1};
        int c = m_compare(item, &m_head->m_item);
        if (c == 0) return {Place::Equal, m_head, -1};
        if (c < 0) return {Place::Front, nullptr, -1};
        c = m_compare(item, &m_tail->m_item);
        if (c == 0) return {Place::Equal, m_tail, -1};
        if (c > 0) return {Place::Back, nullptr, -1};
        const Shadow& s = *m_shadow;
        int32_t lo = s.first, hi = s.last;
        while (hi - lo > 1) {
            const int32_t mid = lo + (hi - lo) / 2;
            Element* at = s.entries[size_t(mid)].element;
            c = m_compare(item, &at->m_item);
            if (c == 0) return {Place::Equal, at, -1};
            if (c < 0) hi = mid;
            else lo = mid;
        }
        Element* cur = s.entries[size_t(lo)].element;
        while (cur->m_next && (c = m_compare(item, &cur->m_next->m_item)) > 0) cur = cur->m_next;
        if (cur->m_next && c == 0) return {Place::Equal, cur->m_next, -1};
        return {Place::After, cur, lo};
    }

    Element* _LinkAtPlace(Element* e, const Place& place) {
        switch (place.kind) {
        case Place::Empty:
        case Place::Front: return LIJST_ELEMENT_VOORAAN_INVOEGEN(e);
        case Place::Back: return LIJST_ELEMENT_ACHTERAAN_INVOEGEN(e);
        default: break;
        }
        e->m_next = place.element->m_next;
        place.element->m_next = e;
        ++m_count;
        _GrowRun(place.run);
        return e;
    }

    // --- index upkeep ------------------------------------------------------
    void _NewShadow(int32_t capacity, int32_t maxRun) {
        m_shadow = std::make_unique<Shadow>();
        m_shadow->maxRun = maxRun;
        m_shadow->entries.assign(size_t(std::max<int32_t>(capacity, 2)), ShadowEntry{});
        m_cursor = 0;
    }
    void _ResetShadowEntries() {
        Shadow& s = *m_shadow;
        std::fill(s.entries.begin(), s.entries.end(), ShadowEntry{});
        s.first = 0;
        s.last = 1;
        m_cursor = 0;
    }
    // Lays the index over the current elements as if they had been appended
    // one by one.
    void _RebuildShadow() {
        if (!m_shadow) return;
        _ResetShadowEntries();
        Element* e = m_head;
        m_head = m_tail = nullptr;
        m_count = 0;
        while (e) {
            Element* next = e->m_next;
            LIJST_ELEMENT_ACHTERAAN_INVOEGEN(e);
            e = next;
        }
    }
    void _ShadowSingle() {
        _ResetShadowEntries();
        Shadow& s = *m_shadow;
        s.entries[size_t(s.first)].element = m_head;
        s.entries[size_t(s.last)].element = m_head;
        s.entries[size_t(s.last)].count = 1;
    }
    void _ShadowLinkedFront() {
        if (!m_shadow) return;
        if (m_count == 1) return _ShadowSingle();
        Shadow& s = *m_shadow;
        s.entries[size_t(s.first)].element = m_head;
        _GrowRun(s.first);
    }
    void _ShadowLinkedBack() {
        if (!m_shadow) return;
        if (m_count == 1) return _ShadowSingle();
        Shadow& s = *m_shadow;
        s.entries[size_t(s.last)].element = m_tail;
        _GrowRun(s.last - 1);
    }
    void _GrowRun(int32_t run) {
        if (!m_shadow || run < 0) return;
        ++m_shadow->entries[size_t(run)].count;
        SCHADUW_LIJST_CONTROLE(run);
    }
    void _ShrinkRun(int32_t run) {
        --m_shadow->entries[size_t(run)].count;
        SCHADUW_LIJST_CONTROLE(run);
    }

    void _SplitRun(int32_t i) {
        Shadow& s = *m_shadow;
        if (s.last == int32_t(s.entries.size()) - 1 && !_GrowShadow()) return;
        const int32_t half = std::max<int32_t>(s.maxRun / 2, 1);
        const int32_t total = s.entries[size_t(i)].count;
        Element* start = s.entries[size_t(i)].element;
        for (int32_t k = 0; k < half && start; ++k) start = start->m_next;
        if (!start) return;
        for (int32_t k = s.last; k > i; --k) s.entries[size_t(k + 1)] = s.entries[size_t(k)];
        ++s.last;
        s.entries[size_t(i)].count = half;
        s.entries[size_t(i + 1)] = ShadowEntry{start, total - half};
        if (m_cursor > i) ++m_cursor;
    }
    bool _GrowShadow() {
        Shadow& s = *m_shadow;
        const int64_t capacity = int64_t(s.entries.size());
        const int64_t grown = capacity < 1000 ? capacity * 2 : capacity + 1000;
        if (grown > INT32_MAX) return false;
        s.entries.resize(size_t(grown), ShadowEntry{});
        return true;
    }
    void _DropEntry(int32_t i) {
        Shadow& s = *m_shadow;
        for (int32_t k = i; k < s.last; ++k) s.entries[size_t(k)] = s.entries[size_t(k + 1)];
        s.entries[size_t(s.last)] = ShadowEntry{};
        --s.last;
        if (m_cursor > i) --m_cursor;
        if (m_cursor > s.last) m_cursor = s.last;
    }

    // Unlinks `e` (whose predecessor is `before`, null for the head).
    Element* _Unlink(Element* before, Element* e) {
        const int32_t run = m_shadow && m_count > 1 && e != m_head && e != m_tail ? _FindRun(e) : -1;
        Element* successor = e->m_next;
        if (before) before->m_next = successor;
        else m_head = successor;
        if (m_tail == e) m_tail = before;
        --m_count;
        e->m_next = nullptr;
        if (m_shadow) _ShadowUnlinked(e, successor, run);
        return e;
    }
    void _ShadowUnlinked(Element* removed, Element* successor, int32_t run) {
        Shadow& s = *m_shadow;
        if (m_count == 0) return _ResetShadowEntries();
        if (s.entries[size_t(s.first)].element == removed) {
            s.entries[size_t(s.first)].element = m_head;
            return _ShrinkRun(s.first);
        }
        if (s.entries[size_t(s.last)].element == removed) {
            s.entries[size_t(s.last)].element = m_tail;
            return _ShrinkRun(s.last - 1);
        }
        if (run < 0) return;
        // A run that started at the removed element now starts at its
        // successor; when it held nothing else, it is empty and is dropped.
        if (s.entries[size_t(run)].element == removed) s.entries[size_t(run)].element = successor;
        _ShrinkRun(run);
    }

    bool _RunHolds(int32_t run, const Element* e) const {
        const Shadow& s = *m_shadow;
        const Element* x = s.entries[size_t(run)].element;
        for (int32_t k = 0; k < s.entries[size_t(run)].count && x; ++k, x = x->m_next)
            if (x == e) return true;
        return false;
    }
    // The index of the run that holds `e`, or -1 when `e` is not linked.
    int32_t _FindRun(const Element* e) {
        const Shadow& s = *m_shadow;
        for (int32_t c : {m_cursor, m_cursor + 1})
            if (c >= s.first && c < s.last && _RunHolds(c, e)) return m_cursor = c;
        if (m_compare) {
            int32_t lo = s.first, hi = s.last;
            while (hi - lo > 1) {
                const int32_t mid = lo + (hi - lo) / 2;
                const int c = m_compare(&e->m_item, &s.entries[size_t(mid)].element->m_item);
                if (c == 0) { lo = mid; break; }
                if (c < 0) hi = mid;
                else lo = mid;
            }
            if (_RunHolds(lo, e)) return m_cursor = lo;
        }
        int32_t run = s.first;
        for (const Element* x = m_head; x; x = x->m_next) {
            while (run < s.last && x == s.entries[size_t(run + 1)].element) ++run;
            if (x == e) return m_cursor = std::min(run, s.last - 1);
        }
        return -1;
    }

    uint64_t m_count = 0;
    Element* m_head = nullptr;
    Element* m_tail = nullptr;
    CompareFunction m_compare = nullptr;
    std::unique_ptr<Shadow> m_shadow;
    int32_t m_cursor = 0;
    int32_t m_shadowInitialCapacity = 2;
};

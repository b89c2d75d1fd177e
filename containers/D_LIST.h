// Doubly linked list of values: count, first and last element, each element
// with next and previous links and the item held by value.
//
// The list owns its linked elements.  An element taken out with
// LIJST_ELEMENT_UITHALEN belongs to the caller, who links it again or frees
// it with VERWIJDER_ELEMENT.  Walking while removing: read GetNext() before
// removing the current element.
//
// A derived class that overrides _NewElement/_DeleteElement must call
// WISSEN() in its own destructor, since the base's destructor cannot reach
// the override.
#pragma once

#include <cstdint>

template <class T>
class D_LIST;

// The mesh model declares this template and specialises it for its
// triangles; this is the general element of D_LIST.
template <class T>
class DLIST_ELEMENT {
public:
    DLIST_ELEMENT() = default;
    explicit DLIST_ELEMENT(const T& item) : m_item(item) {}

    DLIST_ELEMENT* GetNext() const { return m_next; }
    DLIST_ELEMENT* GetPrev() const { return m_prev; }
    T* GetData() { return &m_item; }
    const T* GetData() const { return &m_item; }
    T& GetItem() { return m_item; }
    const T& GetItem() const { return m_item; }

private:
    friend class D_LIST<T>;
    DLIST_ELEMENT* m_next = nullptr;
    DLIST_ELEMENT* m_prev = nullptr;
    T m_item{};
};

template <class T>
class D_LIST {
public:
    using Element = DLIST_ELEMENT<T>;
    using CompareFunction = int (*)(const T*, const T*);

    D_LIST() = default;
    virtual ~D_LIST() { _DeleteElements(); }
    // Copies duplicate the elements: no element is owned by two lists.
    D_LIST(const D_LIST& other) { _AppendCopiesOf(other); }
    D_LIST& operator=(const D_LIST& other) {
        if (this != &other) {
            WISSEN();
            _AppendCopiesOf(other);
        }
        return *this;
    }
    D_LIST(D_LIST&& other) noexcept { _TakeFrom(other); }
    D_LIST& operator=(D_LIST&& other) noexcept {
        if (this != &other) {
            WISSEN();
            _TakeFrom(other);
        }
        return *this;
    }

    uint64_t GetCount() const { return m_count; }
    bool IsEmpty() const { return m_count == 0; }
    Element* GetFirst() const { return m_first; }
    Element* GetLast() const { return m_last; }

    // --- insertion of copies ---------------------------------------------
    Element* VOORAAN_INVOEGEN(const T* item) { return LIJST_ELEMENT_NA_INVOEGEN(_NewCopy(item), nullptr); }
    Element* ACHTERAAN_INVOEGEN(const T* item) { return LIJST_ELEMENT_NA_INVOEGEN(_NewCopy(item), m_last); }
    Element* ACHTERAAN_INVOEGEN() { return LIJST_ELEMENT_NA_INVOEGEN(_NewElement(), m_last); }
    // After `after`; a null `after` inserts at the front.
    Element* INVOEGEN_NA(const T* item, Element* after) { return LIJST_ELEMENT_NA_INVOEGEN(_NewCopy(item), after); }
    // Before `before`; a null `before` appends.
    Element* INVOEGEN_VOOR(const T* item, Element* before) {
        return LIJST_ELEMENT_VOOR_INVOEGEN(_NewCopy(item), before);
    }
    // Stable sorted insertion: the copy goes after every element that does
    // not sort after it, so equal items keep the order of their insertion.
    Element* GESORTEERD_INVOEGEN(const T* item, CompareFunction compare) {
        if (!compare) return ACHTERAAN_INVOEGEN(item);
        Element* after = m_last;
        while (after && compare(item, &after->m_item) < 0) after = after->m_prev;
        return INVOEGEN_NA(item, after);
    }

    // --- linking and unlinking existing elements ---------------------------
    Element* LIJST_ELEMENT_VOORAAN_INVOEGEN(Element* e) { return LIJST_ELEMENT_NA_INVOEGEN(e, nullptr); }
    Element* LIJST_ELEMENT_ACHTERAAN_INVOEGEN(Element* e) { return LIJST_ELEMENT_NA_INVOEGEN(e, m_last); }
    Element* LIJST_ELEMENT_NA_INVOEGEN(Element* e, Element* after) {
        if (!e) return nullptr;
        Element* next = after ? after->m_next : m_first;
        e->m_prev = after;
        e->m_next = next;
        (after ? after->m_next : m_first) = e;
        (next ? next->m_prev : m_last) = e;
        ++m_count;
        return e;
    }
    Element* LIJST_ELEMENT_VOOR_INVOEGEN(Element* e, Element* before) {
        return LIJST_ELEMENT_NA_INVOEGEN(e, before ? before->m_prev : m_last);
    }
    // Unlinks an element of this list; it keeps no links.
    Element* LIJST_ELEMENT_UITHALEN(Element* e) {
        if (!e || m_count == 0) return nullptr;
        (e->m_prev ? e->m_prev->m_next : m_first) = e->m_next;
        (e->m_next ? e->m_next->m_prev : m_last) = e->m_prev;
        e->m_next = e->m_prev = nullptr;
        --m_count;
        return e;
    }
    Element* LIJST_ELEMENT_VOORAAN_UITHALEN() { return LIJST_ELEMENT_UITHALEN(m_first); }
    // Unlinks and frees an element of this list.
    void VERWIJDEREN(Element* e) { VERWIJDER_ELEMENT(LIJST_ELEMENT_UITHALEN(e)); }
    // Frees an element that is not linked.
    void VERWIJDER_ELEMENT(Element* e) {
        if (e) _DeleteElement(e);
    }
    void WISSEN() { _DeleteElements(); }

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
    Iterator begin() const { return Iterator(m_first); }
    Iterator end() const { return Iterator(nullptr); }

protected:
    virtual Element* _NewElement() { return new Element(); }
    virtual void _DeleteElement(Element* e) { delete e; }

    void _AppendCopiesOf(const D_LIST& other) {
        for (const Element* e = other.m_first; e; e = e->m_next) ACHTERAAN_INVOEGEN(&e->m_item);
    }

private:
    Element* _NewCopy(const T* item) {
        Element* e = _NewElement();
        if (item) e->m_item = *item;
        return e;
    }
    void _DeleteElements() {
        Element* e = m_first;
        while (e) {
            Element* next = e->m_next;
            _DeleteElement(e);
            e = next;
        }
        m_first = m_last = nullptr;
        m_count = 0;
    }
    void _TakeFrom(D_LIST& other) {
        m_count = other.m_count;
        m_first = other.m_first;
        m_last = other.m_last;
        other.m_count = 0;
        other.m_first = other.m_last = nullptr;
    }

    uint64_t m_count = 0;
    Element* m_first = nullptr;
    Element* m_last = nullptr;
};

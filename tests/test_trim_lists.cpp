// Lists of the trimming engine: the singly linked list with its sorted
// index, the doubly linked list, and (further below) the trim records,
// infos, elements and the recycling element list.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "MTriangleTrimIntersection.h"
#include "containers/D_LIST.h"
#include "containers/S_LIST.h"

namespace {

struct Keyed {
    int key = 0;
    int tag = 0;
};

int CompareInt(const int* a, const int* b) { return *a < *b ? -1 : *a > *b ? 1 : 0; }
int CompareKeyed(const Keyed* a, const Keyed* b) { return a->key < b->key ? -1 : a->key > b->key ? 1 : 0; }

template <class T>
std::vector<T> Items(const S_LIST<T>& list) {
    std::vector<T> out;
    for (const T& v : list) out.push_back(v);
    return out;
}
template <class T>
std::vector<T> Items(const D_LIST<T>& list) {
    std::vector<T> out;
    for (const T& v : list) out.push_back(v);
    return out;
}

// Checks the sorted index against the list it covers: first entry at the
// head, last at the tail, entries in list order, every run count exact and
// no run longer than the maximum, the items strictly ascending.
::testing::AssertionResult IndexConsistent(const S_LIST<int>& list) {
    if (!list.HasSortIndex()) return ::testing::AssertionFailure() << "no index";
    const int32_t first = list.GetShadowFirst(), last = list.GetShadowLast();
    if (first != 0 || last < 1 || last >= list.GetShadowCapacity())
        return ::testing::AssertionFailure() << "bad bounds " << first << ".." << last;
    if (list.IsEmpty()) {
        for (int32_t i = first; i <= last; ++i)
            if (list.GetShadowElement(i)) return ::testing::AssertionFailure() << "entry on an empty list";
        return ::testing::AssertionSuccess();
    }
    if (list.GetShadowElement(first) != list.GetFirst()) return ::testing::AssertionFailure() << "first not head";
    if (list.GetShadowElement(last) != list.GetLast()) return ::testing::AssertionFailure() << "last not tail";
    if (list.GetShadowCount(last) != 1) return ::testing::AssertionFailure() << "tail run " << list.GetShadowCount(last);
    uint64_t seen = 0;
    int32_t run = first;
    int32_t inRun = 0;
    const SLIST_ELEMENT<int>* prev = nullptr;
    for (const SLIST_ELEMENT<int>* e = list.GetFirst(); e; e = e->GetNext(), ++seen) {
        if (prev && !(*prev->GetData() < *e->GetData()))
            return ::testing::AssertionFailure() << "not ascending at " << *e->GetData();
        while (run < last && e == list.GetShadowElement(run + 1)) {
            if (inRun != list.GetShadowCount(run))
                return ::testing::AssertionFailure() << "run " << run << " counts " << list.GetShadowCount(run)
                                                     << " holds " << inRun;
            ++run;
            inRun = 0;
        }
        if (run < last && inRun == 0 && e != list.GetShadowElement(run) && run != first)
            return ::testing::AssertionFailure() << "run start mismatch";
        ++inRun;
        if (run < last && list.GetShadowCount(run) > list.GetShadowMaximumRun())
            return ::testing::AssertionFailure() << "run " << run << " too long";
        prev = e;
    }
    if (run != last) return ::testing::AssertionFailure() << "entries beyond the tail";
    if (seen != list.GetCount()) return ::testing::AssertionFailure() << "count " << list.GetCount() << " walked " << seen;
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(TrimListSList, InsertionAtEndsAndAfter) {
    S_LIST<int> list;
    const int one = 1, two = 2, three = 3, four = 4;
    EXPECT_EQ(list.LIJST_ELEMENT_VOORAAN_UITHALEN(), nullptr);
    SLIST_ELEMENT<int>* e2 = list.ACHTERAAN_INVOEGEN(&two);
    list.VOORAAN_INVOEGEN(&one);
    list.ACHTERAAN_INVOEGEN(&four);
    list.INVOEGEN(&three, e2);
    EXPECT_EQ(Items(list), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(list.GetCount(), 4u);
    EXPECT_EQ(*list.GetLast()->GetData(), 4);
    EXPECT_EQ(list.GetLast()->GetNext(), nullptr);

    // A default item at the back; the tail as `after` appends and a null
    // `after` inserts at the front, so the tail never goes stale.
    SLIST_ELEMENT<int>* zero = list.ACHTERAAN_INVOEGEN();
    EXPECT_EQ(*zero->GetData(), 0);
    const int five = 5, six = 6;
    list.INVOEGEN(&five, list.GetLast());
    list.INVOEGEN(&six, nullptr);
    EXPECT_EQ(Items(list), (std::vector<int>{6, 1, 2, 3, 4, 0, 5}));
    EXPECT_EQ(*list.GetLast()->GetData(), 5);

    S_LIST<int> empty;
    empty.INVOEGEN(&one, nullptr);
    EXPECT_EQ(empty.GetFirst(), empty.GetLast());
    EXPECT_EQ(empty.GetCount(), 1u);
}

TEST(TrimListSList, UnlinkingHandsElementsToTheCaller) {
    S_LIST<int> list;
    for (int i = 1; i <= 5; ++i) list.ACHTERAAN_INVOEGEN(&i);
    SLIST_ELEMENT<int>* head = list.LIJST_ELEMENT_VOORAAN_UITHALEN();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(*head->GetData(), 1);
    EXPECT_EQ(head->GetNext(), nullptr);
    // Removing the tail through its predecessor moves the tail.
    SLIST_ELEMENT<int>* four = list.GetFirst()->GetNext()->GetNext();
    SLIST_ELEMENT<int>* tail = list.LIJST_ELEMENT_VERWIJDEREN_ACHTER(four);
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(*tail->GetData(), 5);
    EXPECT_EQ(list.GetLast(), four);
    EXPECT_EQ(list.LIJST_ELEMENT_VERWIJDEREN_ACHTER(four), nullptr);
    EXPECT_EQ(list.LIJST_ELEMENT_VERWIJDEREN_ACHTER(nullptr), nullptr);
    EXPECT_EQ(Items(list), (std::vector<int>{2, 3, 4}));

    // Linking them back: at the back the next pointer is cleared.
    list.LIJST_ELEMENT_VOORAAN_INVOEGEN(tail);
    list.LIJST_ELEMENT_ACHTERAAN_INVOEGEN(head);
    EXPECT_EQ(Items(list), (std::vector<int>{5, 2, 3, 4, 1}));
    EXPECT_EQ(list.GetLast(), head);
    EXPECT_EQ(head->GetNext(), nullptr);

    // Remove every even item while walking.
    SLIST_ELEMENT<int>* before = nullptr;
    for (SLIST_ELEMENT<int>* e = list.GetFirst(); e;) {
        SLIST_ELEMENT<int>* next = e->GetNext();
        if (*e->GetData() % 2 == 0) {
            SLIST_ELEMENT<int>* gone = before ? list.LIJST_ELEMENT_VERWIJDEREN_ACHTER(before)
                                              : list.LIJST_ELEMENT_VOORAAN_UITHALEN();
            EXPECT_EQ(gone, e);
            list.VERWIJDER_ELEMENT(gone);
        } else {
            before = e;
        }
        e = next;
    }
    EXPECT_EQ(Items(list), (std::vector<int>{5, 3, 1}));
    EXPECT_EQ(list.GetLast(), head);

    list.WISSEN();
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_EQ(list.GetFirst(), nullptr);
    EXPECT_EQ(list.GetLast(), nullptr);
    EXPECT_EQ(list.LIJST_ELEMENT_VOORAAN_UITHALEN(), nullptr);
}

TEST(TrimListSList, SortedInsertionFindsOrInserts) {
    S_LIST<Keyed> list;
    const Keyed probe{7, 0};
    EXPECT_EQ(list.GESORTEERD_INVOEGEN(&probe), nullptr) << "no sort function yet";
    list.SORTEER_INITIALISATIE(CompareKeyed, 200, 20);
    // A second initialisation keeps the first function.
    list.SORTEER_INITIALISATIE(nullptr, 2, 0);
    EXPECT_EQ(list.GetCompareFunction(), &CompareKeyed);

    // Equal keys: the first stored item is kept and returned, the new one is
    // not inserted.
    const Keyed items[] = {{5, 1}, {3, 2}, {9, 3}, {5, 4}, {3, 5}, {7, 6}, {1, 7}, {9, 8}};
    for (const Keyed& k : items) {
        Keyed* stored = list.GESORTEERD_INVOEGEN(&k);
        ASSERT_NE(stored, nullptr);
        EXPECT_EQ(stored->key, k.key);
    }
    std::vector<std::pair<int, int>> got;
    for (const Keyed& k : list) got.emplace_back(k.key, k.tag);
    EXPECT_EQ(got, (std::vector<std::pair<int, int>>{{1, 7}, {3, 2}, {5, 1}, {7, 6}, {9, 3}}));

    const Keyed missing{4, 0}, present{7, 99};
    EXPECT_EQ(list.GESORTEERD_ZOEKEN(&missing), nullptr);
    EXPECT_EQ(list.GESORTEERD_ELEMENT_ZOEKEN(&missing), nullptr);
    ASSERT_NE(list.GESORTEERD_ZOEKEN(&present), nullptr);
    EXPECT_EQ(list.GESORTEERD_ZOEKEN(&present)->tag, 6);
    EXPECT_EQ(list.GetCount(), 5u);

    // Linking an element with an equal key leaves it with the caller.
    auto* spare = new SLIST_ELEMENT<Keyed>(Keyed{5, 50});
    SLIST_ELEMENT<Keyed>* kept = list.LIJST_ELEMENT_GESORTEERD_INVOEGEN(spare);
    ASSERT_NE(kept, nullptr);
    EXPECT_NE(kept, spare);
    EXPECT_EQ(kept->GetData()->tag, 1);
    EXPECT_EQ(list.GetCount(), 5u);
    spare->GetItem().key = 6;
    EXPECT_EQ(list.LIJST_ELEMENT_GESORTEERD_INVOEGEN(spare), spare);
    EXPECT_EQ(list.GetCount(), 6u);
    EXPECT_EQ(list.GetFirst()->GetNext()->GetNext()->GetNext(), spare);

    // A new sort function discards the index; the sorted calls refuse.
    list.WIJZIG_SORTEER_FUNCTIE(CompareKeyed);
    EXPECT_TRUE(list.HasSortIndex());
    list.WIJZIG_SORTEER_FUNCTIE(nullptr);
    EXPECT_FALSE(list.HasSortIndex());
    EXPECT_EQ(list.GESORTEERD_ZOEKEN(&present), nullptr);
    EXPECT_EQ(list.GESORTEERD_INVOEGEN(&missing), nullptr);
    EXPECT_EQ(list.GetCount(), 6u);

    S_LIST<int> noRuns;
    noRuns.SORTEER_INITIALISATIE(CompareInt, 10, 0);
    const int one = 1;
    EXPECT_EQ(noRuns.GESORTEERD_INVOEGEN(&one), nullptr);
    EXPECT_EQ(noRuns.GetCount(), 0u);
}

TEST(TrimListSList, IndexStaysConsistentThroughInsertAndRemove) {
    S_LIST<int> list;
    list.SORTEER_INITIALISATIE(CompareInt, 2, 4);
    EXPECT_EQ(list.GetShadowCapacity(), 2);
    EXPECT_EQ(list.GetShadowLast(), 1);
    EXPECT_TRUE(IndexConsistent(list));

    std::mt19937 random(12345);
    std::set<int> expected;
    for (int round = 0; round < 3000; ++round) {
        const int v = int(random() % 700);
        ASSERT_EQ(*list.GESORTEERD_INVOEGEN(&v), v);
        expected.insert(v);
        if (round % 97 == 0) {
            ASSERT_TRUE(IndexConsistent(list)) << "after inserting round " << round;
        }
    }
    ASSERT_TRUE(IndexConsistent(list));
    EXPECT_EQ(list.GetCount(), expected.size());
    EXPECT_EQ(Items(list), std::vector<int>(expected.begin(), expected.end()));
    EXPECT_GT(list.GetShadowLast(), 100);

    // Remove a third of the items while walking, then the head repeatedly,
    // checking lookups and the index on the way.
    SLIST_ELEMENT<int>* before = list.GetFirst();
    int step = 0;
    while (before && before->GetNext()) {
        if (++step % 3 == 0) {
            SLIST_ELEMENT<int>* gone = list.LIJST_ELEMENT_VERWIJDEREN_ACHTER(before);
            expected.erase(*gone->GetData());
            list.VERWIJDER_ELEMENT(gone);
        } else {
            before = before->GetNext();
        }
        if (step % 50 == 0) {
            ASSERT_TRUE(IndexConsistent(list)) << "step " << step;
        }
    }
    ASSERT_TRUE(IndexConsistent(list));
    EXPECT_EQ(Items(list), std::vector<int>(expected.begin(), expected.end()));
    for (int v = 0; v < 700; ++v) EXPECT_EQ(list.GESORTEERD_ZOEKEN(&v) != nullptr, expected.count(v) == 1) << v;

    while (list.GetCount() > 3) {
        list.VERWIJDER_ELEMENT(list.LIJST_ELEMENT_VOORAAN_UITHALEN());
        expected.erase(expected.begin());
        ASSERT_TRUE(IndexConsistent(list));
    }
    // Reinsertion after heavy removal lands in order.
    for (int v : {0, 699, 350, 1}) {
        list.GESORTEERD_INVOEGEN(&v);
        expected.insert(v);
    }
    ASSERT_TRUE(IndexConsistent(list));
    EXPECT_EQ(Items(list), std::vector<int>(expected.begin(), expected.end()));
    while (!list.IsEmpty()) list.VERWIJDER_ELEMENT(list.LIJST_ELEMENT_VOORAAN_UITHALEN());
    ASSERT_TRUE(IndexConsistent(list));

    // WISSEN leaves a sorted list usable with a fresh index.
    for (int v : {5, 1, 3}) list.GESORTEERD_INVOEGEN(&v);
    list.WISSEN();
    EXPECT_EQ(list.GetShadowCapacity(), 2);
    for (int v : {5, 1, 3}) list.GESORTEERD_INVOEGEN(&v);
    EXPECT_EQ(Items(list), (std::vector<int>{1, 3, 5}));
    EXPECT_TRUE(IndexConsistent(list));
}

TEST(TrimListSList, IndexGrowsByDoublingThenByThousand) {
    // A full index doubles below 1000 entries and grows by 1000 above.
    S_LIST<int> list;
    list.SORTEER_INITIALISATIE(CompareInt, 2, 2);
    std::vector<int32_t> capacities{list.GetShadowCapacity()};
    for (int v = 0; v < 4200; ++v) {
        list.GESORTEERD_INVOEGEN(&v);
        if (list.GetShadowCapacity() != capacities.back()) capacities.push_back(list.GetShadowCapacity());
    }
    ASSERT_GE(capacities.size(), 12u);
    EXPECT_EQ(std::vector<int32_t>(capacities.begin(), capacities.begin() + 12),
              (std::vector<int32_t>{2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2024, 3024}));
    EXPECT_TRUE(IndexConsistent(list));

    // Insertion at the front splits the first run every second item.
    auto capacityAfterFrontInsertions = [](long start, int items) {
        S_LIST<int> l;
        l.SORTEER_INITIALISATIE(CompareInt, start, 2);
        for (int v = items; v > 0; --v) l.GESORTEERD_INVOEGEN(&v);
        EXPECT_TRUE(IndexConsistent(l));
        return l.GetShadowCapacity();
    };
    EXPECT_EQ(capacityAfterFrontInsertions(600, 1300), 1200);
    EXPECT_EQ(capacityAfterFrontInsertions(999, 2100), 1998);
    EXPECT_EQ(capacityAfterFrontInsertions(1000, 2100), 2000);
    EXPECT_EQ(capacityAfterFrontInsertions(1200, 2500), 2200);

    // Bad sizes: a negative capacity gives the smallest index, a huge one is
    // capped instead of exhausting memory.
    S_LIST<int> tiny, huge;
    tiny.SORTEER_INITIALISATIE(CompareInt, -5, 20);
    huge.SORTEER_INITIALISATIE(CompareInt, 1L << 40, 20);
    EXPECT_EQ(tiny.GetShadowCapacity(), 2);
    EXPECT_LE(huge.GetShadowCapacity(), 65536);
}

TEST(TrimListSList, CopiesOwnTheirElements) {
    S_LIST<int> sorted;
    sorted.SORTEER_INITIALISATIE(CompareInt, 8, 3);
    for (int v : {4, 8, 1, 6, 2, 9, 7}) sorted.GESORTEERD_INVOEGEN(&v);
    S_LIST<int> copy(sorted);
    EXPECT_EQ(Items(copy), Items(sorted));
    EXPECT_NE(copy.GetFirst(), sorted.GetFirst());
    EXPECT_TRUE(IndexConsistent(copy));
    const int five = 5;
    copy.GESORTEERD_INVOEGEN(&five);
    EXPECT_EQ(copy.GetCount(), 8u);
    EXPECT_EQ(sorted.GetCount(), 7u);

    S_LIST<int> assigned;
    const int x = 42;
    assigned.ACHTERAAN_INVOEGEN(&x);
    assigned = copy;
    EXPECT_EQ(Items(assigned), (std::vector<int>{1, 2, 4, 5, 6, 7, 8, 9}));
    EXPECT_TRUE(IndexConsistent(assigned));

    S_LIST<int> moved(std::move(assigned));
    EXPECT_EQ(moved.GetCount(), 8u);
    EXPECT_EQ(assigned.GetCount(), 0u);
    EXPECT_TRUE(IndexConsistent(moved));
}

TEST(TrimListDList, LinksBothWaysAndRemovesWhileWalking) {
    D_LIST<int> list;
    const int one = 1, two = 2, three = 3, four = 4, five = 5;
    DLIST_ELEMENT<int>* e3 = list.ACHTERAAN_INVOEGEN(&three);
    list.VOORAAN_INVOEGEN(&one);
    list.INVOEGEN_VOOR(&two, e3);
    list.INVOEGEN_NA(&four, e3);
    list.INVOEGEN_VOOR(&five, nullptr);
    EXPECT_EQ(Items(list), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(list.GetCount(), 5u);
    std::vector<int> backwards;
    for (DLIST_ELEMENT<int>* e = list.GetLast(); e; e = e->GetPrev()) backwards.push_back(*e->GetData());
    EXPECT_EQ(backwards, (std::vector<int>{5, 4, 3, 2, 1}));

    for (DLIST_ELEMENT<int>* e = list.GetFirst(); e;) {
        DLIST_ELEMENT<int>* next = e->GetNext();
        if (*e->GetData() % 2 == 1) list.VERWIJDEREN(e);
        e = next;
    }
    EXPECT_EQ(Items(list), (std::vector<int>{2, 4}));
    EXPECT_EQ(*list.GetFirst()->GetData(), 2);
    EXPECT_EQ(*list.GetLast()->GetData(), 4);
    EXPECT_EQ(list.GetFirst()->GetPrev(), nullptr);
    EXPECT_EQ(list.GetLast()->GetNext(), nullptr);

    DLIST_ELEMENT<int>* taken = list.LIJST_ELEMENT_VOORAAN_UITHALEN();
    EXPECT_EQ(taken->GetNext(), nullptr);
    EXPECT_EQ(list.GetCount(), 1u);
    list.LIJST_ELEMENT_ACHTERAAN_INVOEGEN(taken);
    EXPECT_EQ(Items(list), (std::vector<int>{4, 2}));
    list.VERWIJDEREN(list.GetFirst());
    list.VERWIJDEREN(list.GetFirst());
    EXPECT_EQ(list.GetFirst(), nullptr);
    EXPECT_EQ(list.GetLast(), nullptr);
    EXPECT_EQ(list.LIJST_ELEMENT_VOORAAN_UITHALEN(), nullptr);
    EXPECT_EQ(list.LIJST_ELEMENT_UITHALEN(nullptr), nullptr);
}

TEST(TrimListDList, StableSortedInsertionAndCopies) {
    // Equal keys keep their insertion order (tags 1, 4 for key 5).
    D_LIST<Keyed> list;
    for (Keyed k : {Keyed{5, 1}, Keyed{3, 2}, Keyed{9, 3}, Keyed{5, 4}, Keyed{1, 5}, Keyed{3, 6}})
        list.GESORTEERD_INVOEGEN(&k, CompareKeyed);
    std::vector<std::pair<int, int>> got;
    for (const Keyed& k : list) got.emplace_back(k.key, k.tag);
    EXPECT_EQ(got, (std::vector<std::pair<int, int>>{{1, 5}, {3, 2}, {3, 6}, {5, 1}, {5, 4}, {9, 3}}));

    D_LIST<Keyed> copy(list);
    EXPECT_EQ(copy.GetCount(), 6u);
    EXPECT_NE(copy.GetFirst(), list.GetFirst());
    copy.WISSEN();
    EXPECT_EQ(list.GetCount(), 6u);
    copy = list;
    EXPECT_EQ(copy.GetLast()->GetData()->tag, 3);
    D_LIST<Keyed> moved(std::move(copy));
    EXPECT_EQ(moved.GetCount(), 6u);
    EXPECT_EQ(copy.GetCount(), 0u);
}

// ---------------------------------------------------------------------------
// Trim records, lists, infos and elements

namespace {

// One triangle P0 (0,0,0), P1 (0,10,0), P2 (10,0,0): U = P2 − P0 runs
// along x and V = P1 − P0 along y.
struct OneTriangle {
    MStlBase mesh;
    MStlPoint* p[3];
    MStlTriangleElement* triangle;
    OneTriangle() {
        p[0] = mesh.AddPoint(0, 0, 0);
        p[1] = mesh.AddPoint(0, 10, 0);
        p[2] = mesh.AddPoint(10, 0, 0);
        triangle = mesh.AddTriangle(p[0], p[1], p[2]);
    }
};

MTriangleTrimPosition OnAxis(MTriangleTrimCS* cs, int axis, double offset, double length) {
    MTriangleTrimPosition pos;
    pos.SetCS(cs);
    pos.CalculateAsOffsetOnAxis(static_cast<unsigned char>(axis), offset, length);
    return pos;
}

MTriangleTrimIntersection Record(const MTriangleTrimPosition& start, const MTriangleTrimPosition& end, double A,
                                 double B, double C) {
    MTriangleTrimIntersection r;
    r.start = start;
    r.end = end;
    r.line.Set(A, B, C);
    return r;
}

std::vector<int> Tags(const MAdvancedTempList<int, long, 3>& list) {
    std::vector<int> out;
    for (auto* e = list.GetFirstElement(); e; e = e->GetNext()) out.push_back(e->GetItem());
    return out;
}

// Box of an int item: x from item / 10, so items 31 and 37 share key 3.
void IntBox(MAdvancedTempListElement<int, long, 3>& e) {
    const long lo[3] = {e.GetItem() / 10, 0, 0};
    const long hi[3] = {e.GetItem() / 10 + e.GetItem() % 10, 0, 0};
    e.IncludeInBox(lo);
    e.IncludeInBox(hi);
}

}  // namespace

TEST(TrimListIntersection, ThreeAxisRecordsAndEdgeDirection) {
    OneTriangle t;
    MTriangleTrimInfo info(t.triangle, nullptr);
    MTriangleTrimIntersectionList& list = *info.GetList(0);
    list.AddThreeAxisIntersections(info.GetCS());
    ASSERT_EQ(list.GetNumIntersections(), 3u);
    EXPECT_EQ(t.mesh.GetNumberOfPoints(), 3u) << "edge ends are the existing vertices";

    // Pushed at the front: axis 2 (P2 -> P0), axis 1 (P1 -> P2), axis 0 (P0 -> P1).
    const MStlPoint* expectedEnds[3][2] = {{t.p[2], t.p[0]}, {t.p[1], t.p[2]}, {t.p[0], t.p[1]}};
    const double expectedLines[3][3] = {{0, 1, 0}, {-1, -1, -1}, {1, 0, 0}};
    int k = 0;
    for (auto* e = list.GetFirstIntersection(); e; e = e->GetNext(), ++k) {
        const MTriangleTrimIntersection& r = e->GetItem();
        EXPECT_EQ(r.start.GetPoint(), expectedEnds[k][0]) << k;
        EXPECT_EQ(r.end.GetPoint(), expectedEnds[k][1]) << k;
        EXPECT_EQ(r.line.GetA(), expectedLines[k][0]);
        EXPECT_EQ(r.line.GetB(), expectedLines[k][1]);
        EXPECT_EQ(r.line.GetC(), expectedLines[k][2]);
        // Each runs along its edge.
        EXPECT_FALSE(r.IS_AXIS_BACKWARDS(false)) << k;
        EXPECT_TRUE(r.IS_AXIS_BACKWARDS(true)) << k;
        MTriangleTrimIntersection turned = r;
        std::swap(turned.start, turned.end);
        EXPECT_TRUE(turned.IS_AXIS_BACKWARDS(false)) << k;
        EXPECT_FALSE(turned.IS_AXIS_BACKWARDS(true)) << k;
    }
    EXPECT_EQ(k, 3);

    MTriangleTrimCS* cs = &info.GetCS();
    // A record of no length on an edge counts as backwards both ways.
    const MTriangleTrimPosition mid = OnAxis(cs, 1, 1, 2);
    EXPECT_TRUE(Record(mid, OnAxis(cs, 1, 2, 4), 0, 0, 0).IS_AXIS_BACKWARDS(false));
    EXPECT_TRUE(Record(mid, OnAxis(cs, 1, 2, 4), 0, 0, 0).IS_AXIS_BACKWARDS(true));
    // Along axis 2 with unequal w: from 1/4 to 2/3 of the way is forward.
    EXPECT_FALSE(Record(OnAxis(cs, 2, 1, 4), OnAxis(cs, 2, 2, 3), 0, 0, 0).IS_AXIS_BACKWARDS(false));
    EXPECT_TRUE(Record(OnAxis(cs, 2, 2, 3), OnAxis(cs, 2, 1, 4), 0, 0, 0).IS_AXIS_BACKWARDS(false));
    // Ends on two different edges: on no one edge, false both ways.
    const MTriangleTrimIntersection across = Record(OnAxis(cs, 0, 1, 4), OnAxis(cs, 2, 1, 4), 0, 0, 0);
    EXPECT_FALSE(across.IS_AXIS_BACKWARDS(false));
    EXPECT_FALSE(across.IS_AXIS_BACKWARDS(true));
}

TEST(TrimListIntersection, DuplicatesAndRemoval) {
    OneTriangle t;
    MTriangleTrimInfo info(t.triangle, nullptr);
    MTriangleTrimCS* cs = &info.GetCS();
    MTriangleTrimIntersectionList& list = *info.GetList(1);
    EXPECT_EQ(list.GetType(), 1);
    EXPECT_EQ(list.GetTriangleElement(), t.triangle);

    // (0, 5, 0) on axis 0 to (5, 5, 0) on axis 1: two new mesh points.
    const MTriangleTrimIntersection r = Record(OnAxis(cs, 0, 1, 2), OnAxis(cs, 1, 1, 2), 1, 2, 3);
    auto* first = list.AddIntersection(r);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(t.mesh.GetNumberOfPoints(), 5u);
    ASSERT_NE(first->GetItem().start.GetPoint(), nullptr);
    EXPECT_EQ(first->GetItem().start.GetPoint()->GetY(), 5);
    EXPECT_EQ(first->GetItem().end.GetPoint()->GetX(), 5);

    // The reverse of r: stored turned round, which is r's own form again,
    // so it is a duplicate and is dropped.
    const MTriangleTrimIntersection reversed = Record(r.end, r.start, -1, -2, -3);
    EXPECT_EQ(list.AddIntersection(reversed, true), nullptr);
    EXPECT_EQ(list.GetNumIntersections(), 1u);
    EXPECT_EQ(list.GetFirstIntersection(), first);
    // Not reversed, the same record runs the other way: it is added.
    auto* second = list.AddIntersection(reversed, false);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(list.GetNumIntersections(), 2u);
    EXPECT_EQ(list.AddIntersection(reversed, false), nullptr);
    EXPECT_EQ(list.GetNumIntersections(), 2u);
    // Reversing flips the ends and negates the line.
    const MTriangleTrimIntersection other = Record(OnAxis(cs, 2, 1, 3), OnAxis(cs, 0, 1, 3), 4, -5, 6);
    auto* third = list.AddIntersection(other, true);
    ASSERT_NE(third, nullptr);
    EXPECT_TRUE(third->GetItem().start == other.end);
    EXPECT_TRUE(third->GetItem().end == other.start);
    EXPECT_EQ(third->GetItem().line.GetA(), -4);
    EXPECT_EQ(third->GetItem().line.GetB(), 5);
    EXPECT_EQ(third->GetItem().line.GetC(), -6);
    EXPECT_EQ(t.mesh.GetNumberOfPoints(), 7u) << "mesh points of a dropped record stay";

    // Order now: third, second, first.  Remove after the head, then the
    // head through a null predecessor.
    list.RemoveIntersectionAfter(third);
    EXPECT_EQ(list.GetNumIntersections(), 2u);
    EXPECT_EQ(third->GetNext(), first);
    list.RemoveIntersectionAfter(nullptr);
    EXPECT_EQ(list.GetFirstIntersection(), first);
    list.RemoveIntersectionAfter(first);  // nothing after the tail
    EXPECT_EQ(list.GetNumIntersections(), 1u);
    auto* taken = list.RemoveFirstIntersection();
    EXPECT_EQ(taken, first);
    EXPECT_EQ(list.GetNumIntersections(), 0u);
    list.AddIntersectionElement(taken);
    EXPECT_EQ(list.GetFirstIntersection(), taken);
    list.ClearList();
    EXPECT_EQ(list.GetFirstIntersection(), nullptr);
    EXPECT_EQ(list.RemoveFirstIntersection(), nullptr);
}

TEST(TrimListInfo, ListsGrowInPairs) {
    OneTriangle t;
    MTriangleTrimInfo info(t.triangle, nullptr);
    EXPECT_EQ(info.GetNumLists(), 2);
    EXPECT_EQ(info.GetListCapacity(), 2);
    EXPECT_EQ(info.GetTriangle(), t.triangle);
    EXPECT_EQ(info.GetList(0)->GetType(), 0);
    EXPECT_EQ(info.GetList(1)->GetType(), 1);
    EXPECT_EQ(info.GetList(2), nullptr);

    MTriangleTrimIntersectionList* added = info.AddList(7);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->GetType(), 7);
    EXPECT_EQ(added->GetTriangleElement(), t.triangle);
    EXPECT_EQ(info.GetNumLists(), 3);
    EXPECT_EQ(info.GetListCapacity(), 4);
    info.AddList(8);
    EXPECT_EQ(info.GetNumLists(), 4);
    EXPECT_EQ(info.GetListCapacity(), 4);
    info.AddList(9);
    EXPECT_EQ(info.GetListCapacity(), 6);

    // AllocateLists rounds up to even, keeps what is there, adds type 0.
    MTriangleTrimInfo fresh(t.triangle, nullptr);
    fresh.GetList(1)->AddThreeAxisIntersections(fresh.GetCS());
    MTriangleTrimIntersectionList* kept = fresh.GetList(1);
    fresh.AllocateLists(3);
    EXPECT_EQ(fresh.GetNumLists(), 4);
    EXPECT_EQ(fresh.GetList(1), kept);
    EXPECT_EQ(kept->GetNumIntersections(), 3u);
    EXPECT_EQ(fresh.GetList(2)->GetType(), 0);
    EXPECT_EQ(fresh.GetList(3)->GetType(), 0);
    EXPECT_EQ(fresh.GetList(3)->GetTriangleElement(), t.triangle);
    fresh.AllocateLists(2);
    EXPECT_EQ(fresh.GetNumLists(), 4);
    fresh.AllocateLists(65535);
    EXPECT_EQ(fresh.GetNumLists(), 65534);
    EXPECT_EQ(fresh.AddList(1), nullptr) << "the count stays in 16 bits";

    // No triangle: lists without a triangle, system untouched.
    MTriangleTrimInfo empty(nullptr, nullptr);
    EXPECT_EQ(empty.GetTriangle(), nullptr);
    EXPECT_EQ(empty.GetNumLists(), 2);
    EXPECT_EQ(empty.GetList(0)->GetTriangleElement(), nullptr);

    // A copy owns its own lists and records.
    MTriangleTrimInfo copy(fresh);
    ASSERT_EQ(copy.GetNumLists(), fresh.GetNumLists());
    EXPECT_NE(copy.GetList(1), fresh.GetList(1));
    EXPECT_EQ(copy.GetList(1)->GetNumIntersections(), 3u);
    copy.GetList(1)->ClearList();
    EXPECT_EQ(kept->GetNumIntersections(), 3u);
    copy = info;
    EXPECT_EQ(copy.GetNumLists(), 5);
    EXPECT_EQ(copy.GetList(4)->GetType(), 9);
}

TEST(TrimListElement, ActivationOwnsTheInfo) {
    OneTriangle t;
    MTriangleTrimElement element;
    EXPECT_EQ(element.GetTriangle(), nullptr);
    EXPECT_EQ(element.GetTrans(), nullptr);
    EXPECT_EQ(element.GetTrimInfo(), nullptr);
    MMTransformMatrix shift;
    element.SetTriangle(t.triangle, &shift);
    EXPECT_EQ(element.GetTrans(), &shift);
    MTriangleTrimInfo* info = element.ActivateTrimInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(element.GetTrimInfo(), info);
    EXPECT_EQ(info->GetTriangle(), t.triangle);
    info->GetList(0)->AddThreeAxisIntersections(info->GetCS());

    MTriangleTrimElement copy(element);
    ASSERT_NE(copy.GetTrimInfo(), nullptr);
    EXPECT_NE(copy.GetTrimInfo(), info);
    EXPECT_EQ(copy.GetTrimInfo()->GetList(0)->GetNumIntersections(), 3u);
    MTriangleTrimElement moved(std::move(copy));
    EXPECT_EQ(copy.GetTrimInfo(), nullptr);
    EXPECT_NE(moved.GetTrimInfo(), nullptr);
    moved = element;
    EXPECT_NE(moved.GetTrimInfo(), element.GetTrimInfo());

    element.ActivateTrimInfo();  // replaces the old info without leaking it
    EXPECT_EQ(element.GetTrimInfo()->GetList(0)->GetNumIntersections(), 0u);
    element.DisactivateTrimInfo();
    EXPECT_EQ(element.GetTrimInfo(), nullptr);
    element.DisactivateTrimInfo();
}

TEST(TrimListAdvancedList, LinksAndStableSortedInsertion) {
    MAdvancedTempList<int, long, 3> list;
    list.SetCalculateFunction(&IntBox);
    auto* e = list.NewElement(42);
    EXPECT_EQ(e->GetMinimum()[0], 4);
    EXPECT_EQ(e->GetMaximum()[0], 6);
    EXPECT_EQ(list.GetNumElements(), 0u) << "NewElement does not link";
    list.DeleteElement(e);

    MAdvancedTempListElement<int, long, 3> blank;
    EXPECT_EQ(blank.GetMinimum()[2], 2147483647);
    EXPECT_EQ(blank.GetMaximum()[1], -2147483648L);
    EXPECT_TRUE(blank.IsBoxEmpty());

    // By minimum x; items 31, 37 and 30 share key 3 and keep their order.
    for (int v : {50, 31, 10, 37, 70, 30, 11})
        list.AddSortedAtMinimum(v);
    EXPECT_EQ(Tags(list), (std::vector<int>{10, 11, 31, 37, 30, 50, 70}));
    EXPECT_EQ(list.AddSortedAtMinimum(nullptr), nullptr);
    EXPECT_EQ(list.GetNumElements(), 7u);

    // Removing the element at the cursor keeps later insertions right.
    auto* cursorElement = list.GetFirstElement()->GetNext();  // 11, the last insertion
    list.RemoveElement(cursorElement);
    list.DeleteElement(cursorElement);
    list.AddSortedAtMinimum(39);
    list.AddSortedAtMinimum(5);
    EXPECT_EQ(Tags(list), (std::vector<int>{5, 10, 31, 37, 30, 39, 50, 70}));
    auto* head = list.RemoveFirstElement();
    EXPECT_EQ(head->GetItem(), 5);
    EXPECT_EQ(head->GetNext(), nullptr);
    list.DeleteElement(head);

    // By maximum x (item / 10 + item % 10: 12 for 39, 10 for 37, 5 for 50,
    // 4 for 40, 8 for 44), and descending.
    MAdvancedTempList<int, long, 3> byMax, byMinusMax;
    byMax.SetCalculateFunction(&IntBox);
    byMinusMax.SetCalculateFunction(&IntBox);
    for (int v : {39, 37, 50, 40, 44}) {
        byMax.AddSortedAtMaximum(v);
        byMinusMax.AddSortedAtMinusMaximum(v);
    }
    EXPECT_EQ(Tags(byMax), (std::vector<int>{40, 50, 44, 37, 39}));
    EXPECT_EQ(Tags(byMinusMax), (std::vector<int>{39, 37, 44, 50, 40}));

    // Linking around given elements.
    MAdvancedTempList<int, long, 3> plain;
    auto* a = plain.NewElement(1);
    auto* b = plain.NewElement(2);
    auto* c = plain.NewElement(3);
    auto* d = plain.NewElement(4);
    plain.Add(b);
    plain.AddElementAfter(a, nullptr);
    plain.AddElementBefore(d, nullptr);
    plain.AddElementBefore(c, d);
    EXPECT_EQ(Tags(plain), (std::vector<int>{1, 2, 3, 4}));
    plain.RemoveElement(b);
    EXPECT_EQ(a->GetNext(), c);
    EXPECT_EQ(c->GetPrev(), a);
    plain.AddElementAfter(b, d);
    EXPECT_EQ(Tags(plain), (std::vector<int>{1, 3, 4, 2}));
    plain.DeleteElement(c);  // still linked: unlinked first
    EXPECT_EQ(Tags(plain), (std::vector<int>{1, 4, 2}));

    MAdvancedTempList<int, long, 3> copy(byMax);
    EXPECT_EQ(Tags(copy), Tags(byMax));
    EXPECT_NE(copy.GetFirstElement(), byMax.GetFirstElement());
    copy = plain;
    EXPECT_EQ(Tags(copy), (std::vector<int>{1, 4, 2}));
}

TEST(TrimListTempTriangles, BoxesOfTriangles) {
    OneTriangle t;
    MStlPoint* q = t.mesh.AddPoint(-7, 3, 5);
    MStlTriangleElement* second = t.mesh.AddTriangle(t.p[0], q, t.p[1]);
    MTempTrimTriangleList list;
    auto* e = list.NewElement(second, nullptr);
    EXPECT_EQ(e->GetItem().GetTriangle(), second);
    EXPECT_EQ(e->GetMinimum()[0], -7);
    EXPECT_EQ(e->GetMinimum()[1], 0);
    EXPECT_EQ(e->GetMinimum()[2], 0);
    EXPECT_EQ(e->GetMaximum()[0], 0);
    EXPECT_EQ(e->GetMaximum()[1], 10);
    EXPECT_EQ(e->GetMaximum()[2], 5);

    // Through a transform, truncated toward zero: x + 0.5, y − 2.5, 3z.
    MMTransformMatrix m;
    m(0, 3) = 0.5;
    m(1, 3) = -2.5;
    m(2, 2) = 3.0;
    list.DeleteElement(e);
    e = list.NewElement(second, &m);
    EXPECT_EQ(e->GetMinimum()[0], -6);  // -6.5
    EXPECT_EQ(e->GetMaximum()[0], 0);   // 0.5
    EXPECT_EQ(e->GetMinimum()[1], -2);  // -2.5
    EXPECT_EQ(e->GetMaximum()[1], 7);   // 7.5
    EXPECT_EQ(e->GetMaximum()[2], 15);

    // A point sent beyond the 32-bit range leaves the box empty.
    MMTransformMatrix huge;
    huge(0, 0) = 1e9;
    list.DeleteElement(e);
    e = list.NewElement(second, &huge);
    EXPECT_TRUE(e->IsBoxEmpty());
    list.Add(e);

    // Sorted on the boxes.
    list.AddSortedAtMinimum(list.NewElement(t.triangle, nullptr));
    list.AddSortedAtMinimum(list.NewElement(second, nullptr));
    ASSERT_EQ(list.GetNumElements(), 3u);
    EXPECT_EQ(list.GetFirstElement()->GetItem().GetTriangle(), second);
    EXPECT_EQ(list.GetFirstElement()->GetMinimum()[0], -7);
}

TEST(TrimListTempTriangles, PoolRecyclesInBlocksOfThousand) {
    OneTriangle t;
    MTempTrimTriangleList list;
    EXPECT_EQ(list.GetNumAllocatedElements(), 0u);
    std::vector<MTrimTriangleListElement*> held;
    for (int i = 0; i < 2500; ++i) {
        auto* e = list.NewElement(t.triangle, nullptr);
        ASSERT_EQ(e->GetPrev(), nullptr);
        ASSERT_EQ(e->GetNext(), nullptr);
        if (i % 2 == 0) e->GetItem().ActivateTrimInfo()->GetList(0)->AddThreeAxisIntersections(
            e->GetItem().GetTrimInfo()->GetCS());
        list.Add(e);
        held.push_back(e);
    }
    EXPECT_EQ(list.GetNumAllocatedElements(), 3000u);
    EXPECT_EQ(list.GetNumPoolElements(), 500u);
    EXPECT_EQ(list.GetNumElements(), 2500u);

    // Returned elements come back in the order of their return, reset.
    list.RemoveElement(held[7]);
    list.DeleteElement(held[7]);
    list.RemoveElement(held[3]);
    list.DeleteElement(held[3]);
    for (int i = 0; i < 500; ++i) list.Add(list.NewElement(t.triangle, nullptr));
    auto* reused = list.NewElement();
    EXPECT_EQ(reused, held[7]);
    EXPECT_EQ(reused->GetItem().GetTrimInfo(), nullptr);
    EXPECT_EQ(reused->GetItem().GetTriangle(), nullptr);
    EXPECT_TRUE(reused->IsBoxEmpty());
    EXPECT_EQ(list.NewElement(t.triangle, nullptr), held[3]);
    EXPECT_EQ(list.GetNumAllocatedElements(), 3000u);
    list.DeleteElement(reused);

    // Many rounds of taking and returning allocate nothing more.
    for (int round = 0; round < 20; ++round) {
        while (auto* e = list.RemoveFirstElement()) list.DeleteElement(e);
        for (int i = 0; i < 2999; ++i) {
            auto* e = list.NewElement(t.triangle, nullptr);
            if (i % 3 == 0) e->GetItem().ActivateTrimInfo();
            list.AddSortedAtMaximum(e);
        }
    }
    EXPECT_EQ(list.GetNumAllocatedElements(), 3000u);
    list.Add(list.NewElement(t.triangle, nullptr));
    list.Add(list.NewElement(t.triangle, nullptr));
    EXPECT_EQ(list.GetNumAllocatedElements(), 4000u);

    // A copy has its own pool; destroying both, with active infos and an
    // element still held outside any list, leaks nothing.
    {
        MTempTrimTriangleList copy(list);
        EXPECT_EQ(copy.GetNumElements(), list.GetNumElements());
        EXPECT_NE(copy.GetFirstElement(), list.GetFirstElement());
        EXPECT_EQ(copy.GetNumAllocatedElements(), 4000u);
        copy.NewElement(t.triangle, nullptr)->GetItem().ActivateTrimInfo();
    }
    list.NewElement(t.triangle, nullptr)->GetItem().ActivateTrimInfo();
}

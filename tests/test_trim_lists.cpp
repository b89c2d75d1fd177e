// Lists of the trimming engine: the singly linked list with its sorted
// index, the doubly linked list, and (further below) the trim records,
// infos, elements and the recycling element list.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

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

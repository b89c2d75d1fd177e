#include "host/MZeroTrianglesFilter.h"

#include <vector>

#include "host/MStlBase.h"

namespace {

// (b − a) · (c − a), exactly.
__int128 Dot(const MStlPoint& a, const MStlPoint& b, const MStlPoint& c) {
    __int128 sum = 0;
    for (int k = 0; k < 3; ++k) sum += __int128(int64_t(b.Get(k)) - a.Get(k)) * (int64_t(c.Get(k)) - a.Get(k));
    return sum;
}

// Of three collinear corners, the one between the other two.
int MiddleCorner(const MStlTriangle& t) {
    for (int k = 0; k < 3; ++k) {
        const MStlPoint &m = *t.GetPoint(k), &p = *t.GetPoint((k + 1) % 3), &q = *t.GetPoint((k + 2) % 3);
        if (Dot(m, p, q) <= 0) return k;  // p and q on either side of m
    }
    return 0;
}

}  // namespace

uint64_t ZeroTrianglesFilter::RemoveZeroTriangles(MStlBase& mesh) {
    std::vector<MStlTriangle*> pending;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        if (it->IsZeroArea()) pending.push_back(*it);
    // A split can only pass a sliver on to a triangle that was one already,
    // so the work is bounded; the cap guards against piles of slivers.
    uint64_t removed = 0, budget = 4 * pending.size() + 64;
    while (!pending.empty()) {
        MStlTriangle* t = pending.back();
        pending.pop_back();
        if (!t->IsAlive() || !t->IsZeroArea()) continue;
        const int k = MiddleCorner(*t);
        MStlPoint* middle = t->GetPoint(k);
        MStlPoint* p = t->GetPoint((k + 1) % 3);
        MStlPoint* q = t->GetPoint((k + 2) % 3);
        mesh.RemoveTriangle(t);
        ++removed;
        if (budget == 0) continue;
        --budget;
        mesh.InsertPointBetweenPoints(middle, p, q);
        for (uint32_t i = 0; i < middle->GetNumberOfNeighbourTriangles(); ++i) {
            MStlTriangleElement* n = middle->GetNeighbourTriangle(i);
            if (n->IsZeroArea()) pending.push_back(n);
        }
    }
    return removed;
}

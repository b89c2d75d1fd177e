#include "host/MStlBaseOperatorFixer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/MUnionFind.h"

using QelSDK::Common::IncrementalProgressReporter;
using QelSDK::Common::ProgressPtr;

namespace {

struct ShellMeasure {
    double area = 0.0;
    double volume = 0.0;  // six times the signed volume, from the corners
    bool closed = true;
};

ShellMeasure Measure(const std::vector<MStlTriangleElement*>& shell) {
    ShellMeasure m;
    for (const MStlTriangleElement* t : shell) {
        m.area += t->Area();
        const MMVector3d a = t->GetPoint(0)->GetVector(), b = t->GetPoint(1)->GetVector(),
                         c = t->GetPoint(2)->GetVector();
        m.volume += a.Dot(b.Cross(c));
        for (int e = 0; e < 3 && m.closed; ++e) m.closed = t->FindAdjacentTriangle(e) != nullptr;
    }
    return m;
}

}  // namespace

uint32_t MStlBaseOperatorFixer::DoNoiseShellRemoval(ProgressPtr progress) {
    if (!m_mesh) return 0;
    IncrementalProgressReporter reporter(progress, "MStlBaseOperatorFixer.DoNoiseShellRemoval", 2);
    const MStlShellManager shells(*m_mesh);
    const uint32_t n = shells.GetNumberShells();
    if (n < 2) return 0;
    std::vector<ShellMeasure> measures(n);
    uint32_t main = 0;
    double largestVolume = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
        measures[i] = Measure(shells.GetShell(i));
        if (measures[i].area > measures[main].area) main = i;
        if (measures[i].closed) largestVolume = std::max(largestVolume, std::fabs(measures[i].volume));
    }
    ++reporter;
    if (reporter.IsCancelled()) return 0;
    const double largestArea = measures[main].area;
    uint32_t removed = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (i == main) continue;
        const ShellMeasure& m = measures[i];
        const bool noise = shells.GetShell(i).size() < 4 ||
                           (m.closed && std::fabs(m.volume) <= kNoiseVolume * largestVolume) ||
                           m.area <= kNoiseArea * largestArea;
        if (!noise) continue;
        for (MStlTriangleElement* t : shells.GetShell(i)) m_mesh->RemoveTriangle(t);
        ++removed;
    }
    if (removed) {
        m_mesh->RemoveFreePoints();
        m_mesh->Update();
    }
    ++reporter;
    return removed;
}

namespace {

using i128 = __int128;

struct Vec3 {
    int64_t x, y, z;
};

Vec3 Difference(const MStlPoint* a, const MStlPoint* b) {
    return {int64_t(a->GetX()) - b->GetX(), int64_t(a->GetY()) - b->GetY(), int64_t(a->GetZ()) - b->GetZ()};
}

// The triangles on the edge p–q, ordered round it, and which of them run it
// from p to q.
struct EdgeFan {
    MStlPoint* p = nullptr;
    MStlPoint* q = nullptr;
    std::vector<MStlTriangleElement*> triangles;
};

MStlPoint* ThirdCorner(const MStlTriangleElement* t, const MStlPoint* p, const MStlPoint* q) {
    for (int i = 0; i < 3; ++i)
        if (t->GetPoint(i) != p && t->GetPoint(i) != q) return t->GetPoint(i);
    return nullptr;
}

bool RunsFrom(const MStlTriangleElement* t, const MStlPoint* p, const MStlPoint* q) {
    return t->GetPoint((t->IndexOfPoint(p) + 1) % 3) == q;
}

// Orders the fan round the edge; false when three triangles lie in one
// half-plane, where no order is right.  A triangle running p -> q has the
// normal d × w (d = q − p, w from p to its third corner), which is its
// position round the edge turned a quarter forward: sorting by the normals'
// angles sorts by position.
bool OrderRoundEdge(EdgeFan& fan) {
    const Vec3 d = Difference(fan.q, fan.p);
    struct Item {
        MStlTriangleElement* t;
        Vec3 w;
        long double c[3];
        long double angle;
    };
    std::vector<Item> items;
    for (MStlTriangleElement* t : fan.triangles) {
        const Vec3 w = Difference(ThirdCorner(t, fan.p, fan.q), fan.p);
        const i128 c[3] = {i128(d.y) * w.z - i128(d.z) * w.y, i128(d.z) * w.x - i128(d.x) * w.z,
                           i128(d.x) * w.y - i128(d.y) * w.x};
        // A triangle without area has no position round the edge.
        if (c[0] == 0 && c[1] == 0 && c[2] == 0) return false;
        Item item{t, w, {(long double)c[0], (long double)c[1], (long double)c[2]}, 0};
        items.push_back(item);
    }
    const long double* e1 = items[0].c;
    const long double dl[3] = {(long double)d.x, (long double)d.y, (long double)d.z};
    const long double e2[3] = {dl[1] * e1[2] - dl[2] * e1[1], dl[2] * e1[0] - dl[0] * e1[2],
                               dl[0] * e1[1] - dl[1] * e1[0]};
    for (Item& item : items) {
        const long double a = item.c[0] * e1[0] + item.c[1] * e1[1] + item.c[2] * e1[2];
        const long double b = item.c[0] * e2[0] + item.c[1] * e2[1] + item.c[2] * e2[2];
        item.angle = std::atan2(b, a);
        if (b == 0 && a < 0) item.angle = std::acos(-1.0L);  // one end of the range for both signs of zero
    }
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.angle < b.angle; });
    auto oneHalfPlane = [&](const Item& a, const Item& b) {
        const Vec3 &u = a.w, &v = b.w;
        const i128 triple = i128(d.x) * (i128(u.y) * v.z - i128(u.z) * v.y) +
                            i128(d.y) * (i128(u.z) * v.x - i128(u.x) * v.z) +
                            i128(d.z) * (i128(u.x) * v.y - i128(u.y) * v.x);
        return triple == 0 && a.c[0] * b.c[0] + a.c[1] * b.c[1] + a.c[2] * b.c[2] > 0;
    };
    // Two triangles in one half-plane bound a sheet without thickness (a
    // cut's fill lying on a face of the mesh within the grid's rounding).
    // They run the edge opposite ways, and the one that keeps the fan
    // alternating comes first.  Three in one half-plane have no order.
    const size_t n = items.size();
    for (size_t i = 0; i < n; ++i) {
        if (!oneHalfPlane(items[i], items[(i + 1) % n])) continue;
        const bool runs = RunsFrom(items[i].t, fan.p, fan.q);
        if (i + 1 == n || oneHalfPlane(items[i + 1], items[(i + 2) % n]) || runs == RunsFrom(items[i + 1].t, fan.p, fan.q))
            return false;
        if (RunsFrom(items[(i + n - 1) % n].t, fan.p, fan.q) == runs) std::swap(items[i], items[i + 1]);
        ++i;
    }
    for (size_t i = 0; i < n; ++i) fan.triangles[i] = items[i].t;
    return true;
}

uint64_t EdgeKey(const MStlPoint* a, const MStlPoint* b) {
    const uint64_t x = a->GetIndex(), y = b->GetIndex();
    return x < y ? x << 32 | y : y << 32 | x;
}

// The edges where solids touch, each with its fan in order round it.
std::vector<EdgeFan> FindTouchingEdges(MStlBase& mesh) {
    std::vector<EdgeFan> found;
    std::unordered_set<uint64_t> seen;
    for (MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext())
        for (int k = 0; k < 3; ++k) {
            MStlPoint *p = t->GetPoint(k), *q = t->GetPoint((k + 1) % 3);
            EdgeFan fan{p, q, {}};
            int forward = 0;
            for (uint32_t n = 0; n < p->GetNumberOfNeighbourTriangles(); ++n) {
                MStlTriangleElement* o = p->GetNeighbourTriangle(n);
                if (o->IndexOfPoint(q) < 0) continue;
                fan.triangles.push_back(o);
                forward += RunsFrom(o, p, q);
            }
            const size_t count = fan.triangles.size();
            if (count < 4 || 2 * size_t(forward) != count || !seen.insert(EdgeKey(p, q)).second) continue;
            if (!OrderRoundEdge(fan)) continue;
            bool alternates = true;
            for (size_t i = 0; i < count && alternates; ++i)
                alternates = RunsFrom(fan.triangles[i], p, q) != RunsFrom(fan.triangles[(i + 1) % count], p, q);
            if (alternates) found.push_back(std::move(fan));
        }
    return found;
}

}  // namespace

uint64_t MStlBaseOperatorFixer::SeparateTouchingSolids() {
    if (!m_mesh) return 0;
    MStlBase& mesh = *m_mesh;
    const std::vector<EdgeFan> touching = FindTouchingEdges(mesh);
    if (touching.empty()) return 0;
    // Across a touching edge a triangle running q -> p is joined to the next
    // one round the edge, which runs p -> q: the solid lies between them.
    std::unordered_map<uint64_t, const EdgeFan*> touchingAt;
    for (const EdgeFan& fan : touching) touchingAt[EdgeKey(fan.p, fan.q)] = &fan;
    auto partner = [](const EdgeFan& fan, size_t i) {
        const size_t n = fan.triangles.size();
        return RunsFrom(fan.triangles[i], fan.p, fan.q) ? (i + n - 1) % n : (i + 1) % n;
    };
    std::vector<MStlPoint*> ends;
    for (const EdgeFan& fan : touching) ends.insert(ends.end(), {fan.p, fan.q});
    std::sort(ends.begin(), ends.end());
    ends.erase(std::unique(ends.begin(), ends.end()), ends.end());

    // Round each end point, the triangles joined through its edges form one
    // solid's umbrella each; every umbrella past the first gets a copy.
    std::unordered_map<MStlTriangleElement*, std::array<MStlPoint*, 3>> corners;
    uint64_t added = 0;
    for (MStlPoint* v : ends) {
        std::vector<MStlTriangleElement*> fan;
        for (uint32_t n = 0; n < v->GetNumberOfNeighbourTriangles(); ++n) fan.push_back(v->GetNeighbourTriangle(n));
        auto indexOf = [&](const MStlTriangleElement* t) { return uint32_t(std::find(fan.begin(), fan.end(), t) - fan.begin()); };
        MUnionFind umbrellas(uint32_t(fan.size()));
        for (uint32_t i = 0; i < fan.size(); ++i)
            for (int k = 0; k < 3; ++k) {
                MStlPoint* w = fan[i]->GetPoint(k);
                if (w == v) continue;
                auto at = touchingAt.find(EdgeKey(v, w));
                if (at != touchingAt.end()) {
                    const EdgeFan& e = *at->second;
                    const size_t mine = size_t(std::find(e.triangles.begin(), e.triangles.end(), fan[i]) - e.triangles.begin());
                    umbrellas.Join(i, indexOf(e.triangles[partner(e, mine)]));
                    continue;
                }
                for (uint32_t j = 0; j < fan.size(); ++j)
                    if (j != i && fan[j]->IndexOfPoint(w) >= 0) umbrellas.Join(i, j);
            }
        std::unordered_map<uint32_t, MStlPoint*> copyOf;
        for (uint32_t i = 0; i < fan.size(); ++i) {
            const uint32_t root = umbrellas.Find(i);
            if (root == umbrellas.Find(0)) continue;
            MStlPoint*& copy = copyOf[root];
            if (!copy) {
                copy = mesh.AddPoint(v, true);
                ++added;
            }
            auto [entry, fresh] = corners.try_emplace(fan[i]);
            if (fresh) entry->second = {fan[i]->GetPoint(0), fan[i]->GetPoint(1), fan[i]->GetPoint(2)};
            entry->second[size_t(fan[i]->IndexOfPoint(v))] = copy;
        }
    }
    for (auto& [t, c] : corners) {
        MStlTriangleElement* replacement = mesh.AddTriangle(c[0], c[1], c[2], t->GetSurface());
        if (replacement) replacement->CopyStateFrom(*t, true, true, true, false, true, true);
        mesh.RemoveTriangle(t);
    }
    return added;
}

#include "cutter/MCutBorder.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <tuple>
#include <unordered_map>

namespace {

using Triangle = std::array<MStlPoint*, 3>;

int SideOf(double c, double value) { return c < value ? -1 : c > value ? 1 : 0; }

struct RingNode {
    double c[2];
    MStlPoint* data;
    int next;
    int prev;
    // The position in the cut list of the contour the node came from.
    int ring;
};

// Where a ring passes the line: the node on the line, the ring's position
// in the cut list (for ties) and the node's coordinate along the line.
struct Crossing {
    int node;
    int ring;
    double along;
};

bool AlongLine(const Crossing& a, const Crossing& b) {
    return std::tie(a.along, a.ring) < std::tie(b.along, b.ring);
}

// The rings of the contours being cut, as index-linked nodes that can be
// relinked freely; the pieces are read back as the graph's cycles.
class RingGraph {
public:
    // `exactCoordinate`: the mesh coordinate that the line's axis stands
    // for, or -1; new points take the line's value there exactly.
    RingGraph(MStlBase* mesh, int axis, double value, int exactCoordinate)
        : m_mesh(mesh), m_axis(axis), m_value(value), m_exactCoordinate(exactCoordinate) {}

    int AddRing(const MStlCutContour& contour, int ring) {
        const int start = int(m_nodes.size());
        const MStlCutBorderPoint* p = contour.GetFirstPoint();
        for (uint32_t i = 0; i < contour.GetNumberOfPoints(); ++i, p = p->GetNext()) {
            const int k = int(m_nodes.size());
            m_nodes.push_back({{p->GetX(), p->GetY()}, p->GetData(), k + 1, k - 1, ring});
        }
        Link(int(m_nodes.size()) - 1, start);
        return start;
    }

    // Puts a crossing node on every edge whose ends lie strictly on
    // opposite sides of the line.
    void InsertCrossingNodes(int start) {
        int i = start;
        do {
            const int j = m_nodes[i].next;
            if (Side(i) * Side(j) < 0) {
                const int k = NewCrossingNode(i, j);
                Link(i, k);
                Link(k, j);
            }
            i = j;
        } while (i != start);
    }

    // With crossing nodes in place, the ring passes the line at runs of
    // nodes on it between nodes on opposite sides.  An upward passage
    // (toward the growing coordinate) is taken at the run's first node, a
    // downward one at its last, so that the rest of the run stays on the
    // upper side.
    void CollectCrossings(int start, int ring, std::vector<Crossing>& up, std::vector<Crossing>& down) const {
        int first = start;
        while (Side(first) == 0) {
            first = m_nodes[first].next;
            if (first == start) return;
        }
        int lastSide = Side(first);
        int i = m_nodes[first].next;
        for (;;) {
            if (Side(i) == 0) {
                const int runFirst = i;
                int runLast = i;
                while (Side(m_nodes[runLast].next) == 0) runLast = m_nodes[runLast].next;
                i = m_nodes[runLast].next;
                if (lastSide < 0 && Side(i) > 0) up.push_back(CrossingAt(runFirst, ring));
                if (lastSide > 0 && Side(i) < 0) down.push_back(CrossingAt(runLast, ring));
            }
            lastSide = Side(i);
            if (i == first) return;
            i = m_nodes[i].next;
        }
    }

    // Lower side: ... -> up -> down -> ...; upper side: ... -> down' -> up'
    // -> ..., with down' and up' copies of the two crossing nodes.
    void Relink(int up, int down) {
        const int afterUp = m_nodes[up].next;
        const int beforeDown = m_nodes[down].prev;
        const int down2 = Copy(down);
        const int up2 = Copy(up);
        Link(beforeDown, down2);
        Link(down2, up2);
        Link(up2, afterUp);
        Link(up, down);
    }

    // Every cycle of the graph becomes a closed contour of the border;
    // returned with the cut-list position of the ring it started from.
    std::vector<std::pair<MStlCutContour*, int>> AddCyclesTo(MStlCutBorder& border) const {
        std::vector<std::pair<MStlCutContour*, int>> contours;
        std::vector<bool> visited(m_nodes.size(), false);
        for (size_t start = 0; start < m_nodes.size(); ++start) {
            if (visited[start]) continue;
            MStlCutContour* contour = border.AddContour();
            contour->SetClosed(true);
            for (int i = int(start); !visited[size_t(i)]; i = m_nodes[size_t(i)].next) {
                visited[size_t(i)] = true;
                contour->AddPoint(m_nodes[size_t(i)].c[0], m_nodes[size_t(i)].c[1], m_nodes[size_t(i)].data);
            }
            contour->SetClockwise(MCutBorder::SignedArea(*contour) >= 0);
            contours.push_back({contour, m_nodes[start].ring});
        }
        return contours;
    }

private:
    int Side(int i) const { return SideOf(m_nodes[size_t(i)].c[m_axis], m_value); }
    void Link(int a, int b) {
        m_nodes[size_t(a)].next = b;
        m_nodes[size_t(b)].prev = a;
    }
    int Copy(int i) {
        m_nodes.push_back(m_nodes[size_t(i)]);
        return int(m_nodes.size()) - 1;
    }
    Crossing CrossingAt(int i, int ring) const { return {i, ring, m_nodes[size_t(i)].c[1 - m_axis]}; }

    // Interpolated from the edge's end with the lower coordinate across the
    // line, so that the two sides of a seam, which run the same edge in
    // opposite directions, get bit-identical points.
    int NewCrossingNode(int i, int j) {
        if (m_nodes[size_t(i)].c[m_axis] > m_nodes[size_t(j)].c[m_axis]) std::swap(i, j);
        const RingNode& a = m_nodes[size_t(i)];
        const RingNode& b = m_nodes[size_t(j)];
        const double t = (m_value - a.c[m_axis]) / (b.c[m_axis] - a.c[m_axis]);
        RingNode n{};
        n.c[m_axis] = m_value;
        n.c[1 - m_axis] = a.c[1 - m_axis] + t * (b.c[1 - m_axis] - a.c[1 - m_axis]);
        n.data = MeshPointBetween(a.data, b.data, t);
        n.ring = a.ring;
        m_nodes.push_back(n);
        return int(m_nodes.size()) - 1;
    }

    // The mesh point at fraction t from a to b, truncated toward zero, put
    // into the mesh on the edge a-b (if that is a mesh edge).
    MStlPoint* MeshPointBetween(MStlPoint* a, MStlPoint* b, double t) const {
        if (!m_mesh || !a || !b) return nullptr;
        int32_t c[3];
        for (int k = 0; k < 3; ++k) {
            const double from = a->Get(k), to = b->Get(k);
            c[k] = int32_t(std::trunc(std::clamp(from + t * (to - from), std::min(from, to), std::max(from, to))));
        }
        // On a grid line the interpolation can fall a hair short of it and
        // truncate to the step before: the point would then miss the line
        // that other pieces meet it on.
        if (m_exactCoordinate >= 0 && m_value == std::trunc(m_value)) c[m_exactCoordinate] = int32_t(m_value);
        MStlPoint* p = m_mesh->AddPoint(c[0], c[1], c[2], false);
        m_mesh->InsertPointBetweenPoints(p, a, b);
        return p;
    }

    MStlBase* m_mesh;
    int m_axis;
    double m_value;
    int m_exactCoordinate;
    std::vector<RingNode> m_nodes;
};

struct Vec2 {
    double u, v;
};

double Cross(Vec2 a, Vec2 b, Vec2 c) { return (b.u - a.u) * (c.v - a.v) - (b.v - a.v) * (c.u - a.u); }

bool SamePosition(Vec2 a, Vec2 b) { return a.u == b.u && a.v == b.v; }

bool WithinBox(Vec2 a, Vec2 b, Vec2 p) {
    return std::min(a.u, b.u) <= p.u && p.u <= std::max(a.u, b.u) && std::min(a.v, b.v) <= p.v &&
           p.v <= std::max(a.v, b.v);
}

int Sign(double x) { return (x > 0) - (x < 0); }

// Closed segments a-b and c-d share a point.
bool SegmentsMeet(Vec2 a, Vec2 b, Vec2 c, Vec2 d) {
    const int o1 = Sign(Cross(a, b, c)), o2 = Sign(Cross(a, b, d));
    const int o3 = Sign(Cross(c, d, a)), o4 = Sign(Cross(c, d, b));
    if (o1 * o2 < 0 && o3 * o4 < 0) return true;
    return (o1 == 0 && WithinBox(a, b, c)) || (o2 == 0 && WithinBox(a, b, d)) ||
           (o3 == 0 && WithinBox(c, d, a)) || (o4 == 0 && WithinBox(c, d, b));
}

// Pseudo-angle in [0, 4] of the corner a -> b -> c: 1 + cos for a
// clockwise turn, 3 - cos for a counter-clockwise one, 2 straight on and 0
// for a reversal or a leg of length 0.  The cross product's sign alone
// decides on which side of 2 the value lies.
double CornerMeasure(Vec2 a, Vec2 b, Vec2 c) {
    const double u1 = b.u - a.u, v1 = b.v - a.v, u2 = c.u - b.u, v2 = c.v - b.v;
    const double len = std::hypot(u1, v1) * std::hypot(u2, v2);
    if (len == 0) return 0;
    const double cross = u1 * v2 - v1 * u2, dot = u1 * u2 + v1 * v2;
    if (cross == 0) return dot > 0 ? 2 : 0;
    const double cos = std::clamp(dot / len, -1.0, 1.0);
    if (cross < 0) return std::clamp(1 + cos, std::numeric_limits<double>::min(), std::nextafter(2.0, 0.0));
    return std::max(3 - cos, std::nextafter(2.0, 3.0));
}

// One closed ring of a contour: positions and the mesh points they stand for.
struct Ring {
    std::vector<Vec2> pos;
    std::vector<MStlPoint*> data;
};

Ring RingOf(const MStlCutContour& contour) {
    Ring ring;
    const MStlCutBorderPoint* p = contour.GetFirstPoint();
    for (uint32_t i = 0; i < contour.GetNumberOfPoints(); ++i, p = p->GetNext()) {
        ring.pos.push_back({p->GetX(), p->GetY()});
        ring.data.push_back(p->GetData());
    }
    return ring;
}

// The sum of the trapezoids (v0 + v1)(u1 - u0) / 2 under the ring's edges,
// positive for clockwise rings in (u, v).
double RingArea(const Ring& ring) {
    double sum = 0;
    for (size_t i = 0; i < ring.pos.size(); ++i) {
        const Vec2 a = ring.pos[i], b = ring.pos[(i + 1) % ring.pos.size()];
        if (b.u != a.u) sum += (a.v + b.v) * (b.u - a.u) / 2;
    }
    return sum;
}

// A closed ring of mesh points that passes a point twice, split there into
// simple rings, in the ring's order: the positions in the ring of each
// simple ring's points.  Rings of fewer than three points bound nothing and
// are left out.
std::vector<std::vector<size_t>> SimpleRingsOf(const std::vector<MStlPoint*>& ring) {
    std::vector<std::vector<size_t>> out;
    std::vector<size_t> stack;
    std::unordered_map<const MStlPoint*, size_t> at;
    auto emit = [&](size_t from) {
        std::vector<size_t> simple(stack.begin() + long(from), stack.end());
        for (size_t i : simple) at.erase(ring[i]);
        stack.resize(from);
        if (simple.size() >= 3) out.push_back(std::move(simple));
    };
    for (size_t i = 0; i < ring.size(); ++i) {
        auto seen = at.find(ring[i]);
        if (seen != at.end()) emit(seen->second);
        at[ring[i]] = stack.size();
        stack.push_back(i);
    }
    emit(0);
    return out;
}

// Ear clipping of one ring.  Refused ears count as failures; the failure
// limits relax the tests one by one, so every ring of n points ends in
// n - 2 clipped ears.
class EarClipper {
public:
    explicit EarClipper(Ring ring) : m_pos(std::move(ring.pos)), m_data(std::move(ring.data)) {
        for (size_t i = 0; i < m_pos.size(); ++i) {
            m_next.push_back(int(i) + 1);
            m_prev.push_back(int(i) - 1);
        }
        m_count = m_pos.size();
        if (m_count == 0) return;
        m_next.back() = 0;
        m_prev.front() = int(m_count) - 1;
    }

    void Run(std::vector<Triangle>& out) {
        while (m_count > 2) {
            const int p = m_first, t = m_next[size_t(p)], q = m_next[size_t(t)];
            if (m_count == 3 || !Refuses(p, t, q)) {
                Clip(p, t, q, out);
            } else {
                ++m_failures;
                m_first = t;
            }
        }
    }

private:
    Vec2 Pos(int i) const { return m_pos[size_t(i)]; }
    double Measure(int a, int b, int c) const { return CornerMeasure(Pos(a), Pos(b), Pos(c)); }

    bool Refuses(int p, int t, int q) const {
        const double tip = Measure(p, t, q);
        if (tip == 0) return false;
        const size_t n = m_count;
        if (m_failures < 4 * n && tip > 2) return true;
        if (m_failures < 3 * n && WorsensNeighbours(p, t, q)) return true;
        if (m_failures < 2 * n && SideCrossesRing(p, q)) return true;
        return m_failures < n && tip == 2;
    }

    // The clip must leave p and q with smaller, non-zero measures.
    bool WorsensNeighbours(int p, int t, int q) const {
        const int pp = m_prev[size_t(p)], qq = m_next[size_t(q)];
        const double pAfter = Measure(pp, p, q), qAfter = Measure(p, q, qq);
        if (pAfter == 0 || qAfter == 0) return true;
        return !(pAfter < Measure(pp, p, t) && qAfter < Measure(t, q, qq));
    }

    bool SideCrossesRing(int p, int q) const {
        const Vec2 a = Pos(p), b = Pos(q);
        const Vec2 lo{std::min(a.u, b.u), std::min(a.v, b.v)}, hi{std::max(a.u, b.u), std::max(a.v, b.v)};
        int i = m_first;
        do {
            const int j = m_next[size_t(i)];
            const Vec2 c = Pos(i), d = Pos(j);
            i = j;
            if (std::max(c.u, d.u) < lo.u || std::min(c.u, d.u) > hi.u || std::max(c.v, d.v) < lo.v ||
                std::min(c.v, d.v) > hi.v)
                continue;
            if (SamePosition(c, a) || SamePosition(c, b) || SamePosition(d, a) || SamePosition(d, b)) continue;
            if (SegmentsMeet(a, b, c, d)) return true;
        } while (i != m_first);
        return false;
    }

    void Clip(int p, int t, int q, std::vector<Triangle>& out) {
        Emit(p, t, q, out);
        m_next[size_t(p)] = q;
        m_prev[size_t(q)] = p;
        --m_count;
        m_failures = 0;
    }

    void Emit(int p, int t, int q, std::vector<Triangle>& out) const {
        MStlPoint* a = m_data[size_t(p)];
        MStlPoint* b = m_data[size_t(t)];
        MStlPoint* c = m_data[size_t(q)];
        if ((a && (a == b || a == c)) || (b && b == c)) return;
        out.push_back({a, b, c});
    }

    std::vector<Vec2> m_pos;
    std::vector<MStlPoint*> m_data;
    std::vector<int> m_next, m_prev;
    size_t m_count = 0;
    size_t m_failures = 0;
    int m_first = 0;
};

struct Box {
    double lo[2] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
    double hi[2] = {-std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
    // Some point lies strictly on each side of the line.
    bool Straddles(int axis, double value) const { return lo[axis] < value && value < hi[axis]; }
};

Box BoxOf(const MStlCutContour& contour) {
    Box box;
    const MStlCutBorderPoint* p = contour.GetFirstPoint();
    for (uint32_t i = 0; i < contour.GetNumberOfPoints(); ++i, p = p->GetNext())
        for (int k = 0; k < 2; ++k) {
            box.lo[k] = std::min(box.lo[k], p->Get(k));
            box.hi[k] = std::max(box.hi[k], p->Get(k));
        }
    return box;
}

bool HasFinitePointsOnly(const MStlCutContour& contour) {
    const MStlCutBorderPoint* p = contour.GetFirstPoint();
    for (uint32_t i = 0; i < contour.GetNumberOfPoints(); ++i, p = p->GetNext())
        if (!std::isfinite(p->GetX()) || !std::isfinite(p->GetY())) return false;
    return true;
}

// The box that line cuts see: rings with a non-finite point are never cut,
// so theirs is empty.
Box CuttableBoxOf(const MStlCutContour& contour) {
    return HasFinitePointsOnly(contour) ? BoxOf(contour) : Box{};
}

}  // namespace

double MCutBorder::SignedArea(const MStlCutContour& contour) { return RingArea(RingOf(contour)); }

void MCutBorder::PrepareBorder() {
    std::vector<double> splits;
    for (MStlCutContour* c = GetFirstContour(); c;) {
        if (c->GetNumberOfPoints() < 3 || !HasFinitePointsOnly(*c)) {
            c = RemoveContour(c);
            continue;
        }
        c->SetClockwise(SignedArea(*c) >= 0);
        if (!c->IsClockwise()) {
            const Box box = BoxOf(*c);
            splits.push_back((box.lo[0] + box.hi[0]) / 2);
        }
        c = Next(c);
    }
    std::sort(splits.begin(), splits.end());
    splits.erase(std::unique(splits.begin(), splits.end()), splits.end());
    for (double u : splits) CutByLine(0, u);
}

// The line through the middle of the box's longer side; false for a box of
// one point.
bool MiddleOfLongerSide(const Box& box, int& axis, double& value) {
    const double du = box.hi[0] - box.lo[0], dv = box.hi[1] - box.lo[1];
    if (!(du > 0 || dv > 0)) return false;
    axis = du > dv ? 0 : 1;
    value = (box.lo[axis] + box.hi[axis]) / 2;
    return true;
}

// Each line cuts the whole border, not only the contour it was chosen for:
// a later line then adds the same points to both sides of every seam, and
// the pieces' fills stay watertight along it.  Contour boxes are kept so
// that only the contours a line crosses are read.
//
// A cut at the middle of a contour's box at least halves the box across
// the line, so a piece that did not get fewer points is still worth
// another try; after a few such tries in a row it is given up.
void MCutBorder::SplitLargeContours(long maxPoints) {
    // Pieces of fewer than three points do not exist, so a smaller limit
    // could never be met.
    const uint64_t limit = uint64_t(std::max(maxPoints, 3L));
    constexpr int kMaxFruitlessCuts = 8;
    struct Tracked {
        Box box;
        uint64_t id;
        int fruitlessCuts;
    };
    std::unordered_map<const MStlCutContour*, Tracked> tracked;
    std::deque<std::pair<const MStlCutContour*, uint64_t>> queue;
    uint64_t nextId = 0;
    auto track = [&](const MStlCutContour* c, int fruitlessCuts) {
        tracked[c] = {CuttableBoxOf(*c), nextId, fruitlessCuts};
        if (fruitlessCuts < kMaxFruitlessCuts && c->GetNumberOfPoints() > limit) queue.push_back({c, nextId});
        ++nextId;
    };
    for (const MStlCutContour* c = GetFirstContour(); c; c = Next(c)) track(c, 0);

    // The bound only guards against pathological input.
    const uint64_t maxRounds = 64 + 16 * (GetNumberOfPoints() / limit);
    for (uint64_t round = 0; round < maxRounds && !queue.empty();) {
        const auto [chosen, id] = queue.front();
        queue.pop_front();
        const auto found = tracked.find(chosen);
        if (found == tracked.end() || found->second.id != id) continue;  // already cut up
        ++round;
        int axis = 0;
        double value = 0;
        if (!MiddleOfLongerSide(found->second.box, axis, value)) continue;
        const int chosenFruitless = found->second.fruitlessCuts;
        std::vector<MStlCutContour*> crossed;
        for (MStlCutContour* c = GetFirstContour(); c; c = Next(c))
            if (tracked.at(c).box.Straddles(axis, value)) crossed.push_back(c);
        const size_t chosenIndex = size_t(std::find(crossed.begin(), crossed.end(), chosen) - crossed.begin());
        for (const MStlCutContour* c : crossed) tracked.erase(c);
        // Contours other than the chosen one were only crossed on the way.
        for (const Piece& piece : _CutContours(crossed, axis, value)) {
            const bool fruitless =
                piece.parentIndex == chosenIndex && piece.contour->GetNumberOfPoints() >= piece.parentPoints;
            track(piece.contour, fruitless ? chosenFruitless + 1 : 0);
        }
    }
}

bool MCutBorder::CutByLine(int axis, double value) {
    std::vector<MStlCutContour*> all;
    for (MStlCutContour* c = GetFirstContour(); c; c = Next(c)) all.push_back(c);
    bool paired = true;
    _CutContours(all, axis == 0 ? 0 : 1, value, &paired);
    return paired;
}

std::vector<MCutBorder::Piece> MCutBorder::_CutContours(const std::vector<MStlCutContour*>& contours, int axis,
                                                        double value, bool* paired) {
    RingGraph graph(m_mesh, axis, value, m_meshCoordinateOf[axis]);
    std::vector<MStlCutContour*> crossed;
    std::vector<Piece> parents;
    std::vector<Crossing> up, down;
    for (size_t i = 0; i < contours.size(); ++i) {
        MStlCutContour* c = contours[i];
        if (c->GetNumberOfPoints() < 2 || !CuttableBoxOf(*c).Straddles(axis, value)) continue;
        const int ring = int(crossed.size());
        const int start = graph.AddRing(*c, ring);
        graph.InsertCrossingNodes(start);
        graph.CollectCrossings(start, ring, up, down);
        crossed.push_back(c);
        parents.push_back({nullptr, c->GetNumberOfPoints(), i});
    }
    if (crossed.empty()) return {};
    // A closed ring passes the line up and down alternately, so the lists
    // can only differ for inconsistent input; the rings then keep their
    // shape (with the new points on them).
    const bool pairable = up.size() == down.size();
    if (paired) *paired = pairable;
    if (pairable) {
        std::sort(up.begin(), up.end(), AlongLine);
        std::sort(down.begin(), down.end(), AlongLine);
        for (size_t k = 0; k < up.size(); ++k) graph.Relink(up[k].node, down[k].node);
    }
    for (MStlCutContour* c : crossed) RemoveContour(c);
    std::vector<Piece> pieces;
    for (const auto& [contour, ring] : graph.AddCyclesTo(*this)) {
        pieces.push_back(parents[size_t(ring)]);
        pieces.back().contour = contour;
    }
    return pieces;
}

void MCutBorder::Triangulate(std::vector<std::array<MStlPoint*, 3>>& out) const {
    for (const MStlCutContour* c = GetFirstContour(); c; c = Next(c)) {
        Ring ring = RingOf(*c);
        // A cut through a hole that touches its outline leaves a piece that
        // passes the touching point twice, as two lobes: clipped as one ring,
        // an ear could reach from one lobe across the point into the other.
        // Lobes that turn the same way are clipped apart; a lobe turning the
        // other way is a hole, and the ring stays whole.
        std::vector<Ring> lobes;
        for (const std::vector<size_t>& simple : SimpleRingsOf(ring.data)) {
            Ring& lobe = lobes.emplace_back();
            for (size_t i : simple) lobe.pos.push_back(ring.pos[i]), lobe.data.push_back(ring.data[i]);
        }
        const double area = RingArea(ring);
        bool apart = lobes.size() > 1;
        for (const Ring& lobe : lobes) apart = apart && RingArea(lobe) * area > 0;
        if (!apart) {
            EarClipper(std::move(ring)).Run(out);
            continue;
        }
        for (Ring& lobe : lobes) EarClipper(std::move(lobe)).Run(out);
    }
}

void MCutBorder::ReverseContours() {
    for (MStlCutContour* c = GetFirstContour(); c; c = Next(c)) {
        MStlCutBorderPoint* last = c->GetLastPoint();
        c->Reverse();
        if (!c->IsClosed() && last) c->SetFirstPoint(last);
        c->SetClockwise(SignedArea(*c) >= 0);
    }
}

void SplitIntoSimpleRings(const std::vector<MStlPoint*>& ring, std::vector<std::vector<MStlPoint*>>& out) {
    for (const std::vector<size_t>& simple : SimpleRingsOf(ring)) {
        std::vector<MStlPoint*>& points = out.emplace_back();
        for (size_t i : simple) points.push_back(ring[i]);
    }
}

// Candidate pairs for the trim operators: triangle boxes, a grid that finds
// the boxes meeting a box without looking at the whole mesh, and an exact
// test that tells which pairs the intersection calculator would turn away
// before it touches their trim infos.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "host/MStlBase.h"

struct MTrimBox {
    int32_t min[3] = {INT32_MAX, INT32_MAX, INT32_MAX};
    int32_t max[3] = {INT32_MIN, INT32_MIN, INT32_MIN};

    static MTrimBox Of(const MStlTriangle& t) {
        MTrimBox b;
        for (int i = 0; i < 3; ++i)
            for (int k = 0; k < 3; ++k) {
                b.min[k] = std::min(b.min[k], t.GetPoint(i)->Get(k));
                b.max[k] = std::max(b.max[k], t.GetPoint(i)->Get(k));
            }
        return b;
    }
    // Closed boxes: touching counts.
    bool Meets(const MTrimBox& o) const {
        for (int k = 0; k < 3; ++k)
            if (min[k] > o.max[k] || o.min[k] > max[k]) return false;
        return true;
    }
    int64_t Extent() const {
        return std::max({int64_t(max[0]) - min[0], int64_t(max[1]) - min[1], int64_t(max[2]) - min[2]});
    }
};

// Boxes bucketed by size.  Level L has cubic cells of edge s·2^L, s the
// extent that nine boxes in ten do not exceed; a box is stored once, in the
// cell of its minimum corner on the lowest level whose cells are at least as
// large as it.  Two boxes of one level then meet only if their cells are
// neighbours, and a box meeting a query box has its minimum corner at most
// one cell below the query's: a few cells per box are looked at whatever the
// mesh size, and the memory is one entry per box.
class MTrimBoxGrid {
public:
    explicit MTrimBoxGrid(const std::vector<MTrimBox>& boxes);

    // f(j) for every stored box j that meets `box`, each once.
    template <class F>
    void ForEachMeeting(const MTrimBox& box, F&& f) const {
        for (uint32_t level = 0; level < m_levels.size(); ++level)
            _Visit(box, level, [&](uint32_t j) {
                if ((*m_boxes)[j].Meets(box)) f(j);
            });
    }
    // f(i, j), i < j, for every pair of stored boxes that meet, each once.
    // `stop(done)` is asked now and then with the share of the work done
    // (0 to 1); once it answers true, no further pair is reported.
    template <class F, class Stop>
    void ForEachPair(F&& f, Stop&& stop) const;

private:
    struct Cell {
        uint64_t key;
        uint32_t begin, end;  // its entries in m_order
    };
    struct Level {
        double cell = 1.0;
        uint32_t begin = 0, end = 0;  // its entries in m_order
        std::vector<Cell> cells;      // ascending by key
        absl::flat_hash_map<uint64_t, uint32_t> index;  // key -> position in cells
    };
    static constexpr int kCellBits = 21;
    static constexpr int64_t kLastCell = (int64_t(1) << kCellBits) - 1;

    int64_t _Cell(double v, int k, const Level& level) const {
        const double c = std::floor((v - double(m_origin[k])) / level.cell);
        return std::clamp<int64_t>(int64_t(std::clamp(c, -1.0, 4.0e6)), 0, kLastCell);
    }
    static uint64_t _Key(int64_t x, int64_t y, int64_t z) {
        return uint64_t(x) << (2 * kCellBits) | uint64_t(y) << kCellBits | uint64_t(z);
    }
    static int64_t _Coordinate(uint64_t key, int k) { return int64_t(key >> (kCellBits * (2 - k)) & uint64_t(kLastCell)); }
    const Cell* _Find(const Level& level, uint64_t key) const {
        auto it = level.index.find(key);
        return it == level.index.end() ? nullptr : &level.cells[it->second];
    }
    // g(j) for the stored boxes of `level` whose minimum corner lies where a
    // box meeting `box` can have it.
    template <class G>
    void _Visit(const MTrimBox& box, uint32_t levelIndex, G&& g) const {
        const Level& level = m_levels[levelIndex];
        if (level.begin == level.end) return;
        int64_t lo[3], hi[3];
        uint64_t cells = 1;
        for (int k = 0; k < 3; ++k) {
            lo[k] = _Cell(double(box.min[k]) - level.cell, k, level);
            hi[k] = _Cell(double(box.max[k]), k, level);
            cells *= uint64_t(hi[k] - lo[k] + 1);
        }
        // A large box over a level of small cells: fewer entries than cells.
        if (cells > level.cells.size()) {
            for (uint32_t n = level.begin; n < level.end; ++n) g(m_order[n]);
            return;
        }
        for (int64_t x = lo[0]; x <= hi[0]; ++x)
            for (int64_t y = lo[1]; y <= hi[1]; ++y)
                for (int64_t z = lo[2]; z <= hi[2]; ++z)
                    if (const Cell* c = _Find(level, _Key(x, y, z)))
                        for (uint32_t n = c->begin; n < c->end; ++n) g(m_order[n]);
    }

    const std::vector<MTrimBox>* m_boxes;
    int32_t m_origin[3] = {0, 0, 0};
    std::vector<Level> m_levels;
    std::vector<uint8_t> m_levelOf;
    std::vector<uint32_t> m_order;
};

template <class F, class Stop>
void MTrimBoxGrid::ForEachPair(F&& f, Stop&& stop) const {
    const std::vector<MTrimBox>& boxes = *m_boxes;
    auto report = [&](uint32_t i, uint32_t j) {
        if (boxes[i].Meets(boxes[j])) i < j ? f(i, j) : f(j, i);
    };
    uint64_t visited = 0;
    const double total = double(std::max<size_t>(boxes.size(), 1));
    // Within a level: each cell with itself and with the 13 neighbours that
    // follow it, so that every pair of neighbouring cells is met once.
    for (const Level& level : m_levels)
        for (const Cell& c : level.cells) {
            if ((++visited & 1023u) == 0 && stop(double(c.begin) / total)) return;
            for (uint32_t a = c.begin; a < c.end; ++a)
                for (uint32_t b = a + 1; b < c.end; ++b) report(m_order[a], m_order[b]);
            int64_t at[3];
            for (int k = 0; k < 3; ++k) at[k] = _Coordinate(c.key, k);
            for (int d = 14; d < 27; ++d) {
                int64_t n[3] = {at[0] + d / 9 - 1, at[1] + d / 3 % 3 - 1, at[2] + d % 3 - 1};
                if (std::min({n[0], n[1], n[2]}) < 0 || std::max({n[0], n[1], n[2]}) > kLastCell) continue;
                const Cell* other = _Find(level, _Key(n[0], n[1], n[2]));
                if (!other) continue;
                for (uint32_t a = c.begin; a < c.end; ++a)
                    for (uint32_t b = other->begin; b < other->end; ++b) report(m_order[a], m_order[b]);
            }
        }
    // Across levels: each box with the lower levels' boxes near it.
    for (uint32_t level = 1; level < m_levels.size(); ++level)
        for (uint32_t n = m_levels[level].begin; n < m_levels[level].end; ++n) {
            if ((++visited & 1023u) == 0 && stop(double(n) / total)) return;
            const uint32_t i = m_order[n];
            for (uint32_t lower = 0; lower < level; ++lower) _Visit(boxes[i], lower, [&](uint32_t j) { report(i, j); });
        }
}

// Sign of (b − a) × (c − a) · (d − a), exactly: d above (positive), on or
// below the plane through a, b, c seen with a, b, c counterclockwise.
int MTrimOrient(const MStlPoint& a, const MStlPoint& b, const MStlPoint& c, const MStlPoint& d);
inline int MTrimSide(const MStlTriangle& t, const MStlPoint& d) {
    return MTrimOrient(*t.GetPoint(0), *t.GetPoint(1), *t.GetPoint(2), d);
}

// Whether the intersection calculator could find anything for the pair:
// false where CALCULATE returns false before it writes into the triangles'
// trim infos (more than one shared corner, a zero-area triangle, a triangle
// wholly on one side of the other's plane, triangles that do not meet or
// meet only in a shared corner), and for triangles of one plane whose
// insides do not overlap (they may touch), which give no outline.  Exact: a
// floating filter settles almost every sign, 128-bit integers the rest.
bool MTrimPairMayCross(const MStlTriangle& a, const MStlTriangle& b);

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

// Boxes bucketed by size.  Level L has cubic cells of edge s·2^L, s about
// the mean box extent; a box is stored once, in the cell of its minimum
// corner on the lowest level whose cells are at least as large as it.  A box
// meeting a query box then has its minimum corner at most one cell below the
// query's, so a query looks at a few cells per level whatever the mesh size,
// and the memory is one entry per box.
class MTrimBoxGrid {
public:
    explicit MTrimBoxGrid(const std::vector<MTrimBox>& boxes);

    // f(j) for every stored box j that meets `box`, each once.
    template <class F>
    void ForEachMeeting(const MTrimBox& box, F&& f) const {
        for (int level = 0; level < int(m_levels.size()); ++level) _Visit(box, level, ~uint32_t(0), f);
    }
    // f(i, j), i < j, for every pair of stored boxes that meet, each once;
    // the pairs come grouped by i ascending.  `stop(i)` is asked before
    // every 4096th group; once it answers true, no further pair is reported.
    template <class F, class Stop>
    void ForEachPair(F&& f, Stop&& stop) const {
        for (uint32_t i = 0; i < m_boxes->size(); ++i) {
            if ((i & 4095u) == 0 && stop(i)) return;
            for (int level = m_levelOf[i]; level < int(m_levels.size()); ++level)
                _Visit((*m_boxes)[i], level, i, [&](uint32_t j) { f(i, j); });
        }
    }

private:
    struct Level {
        double cell = 1.0;
        uint32_t begin = 0, end = 0;  // its entries in m_order
        absl::flat_hash_map<uint64_t, std::pair<uint32_t, uint32_t>> cells;
    };
    static constexpr int kCellBits = 21;

    int64_t _Cell(double v, int k, const Level& level) const {
        const double c = std::floor((v - double(m_origin[k])) / level.cell);
        return std::clamp<int64_t>(int64_t(std::clamp(c, -1.0, 4.0e6)), 0, (int64_t(1) << kCellBits) - 1);
    }
    static uint64_t _Key(int64_t x, int64_t y, int64_t z) {
        return uint64_t(x) << (2 * kCellBits) | uint64_t(y) << kCellBits | uint64_t(z);
    }
    // Boxes of one level meeting `box`; with `self` a stored box of a lower
    // level than `level`, or of the same level (then only j > self).
    template <class F>
    void _Visit(const MTrimBox& box, int levelIndex, uint32_t self, F&& f) const {
        const Level& level = m_levels[size_t(levelIndex)];
        if (level.begin == level.end) return;
        int64_t lo[3], hi[3];
        uint64_t cells = 1;
        for (int k = 0; k < 3; ++k) {
            lo[k] = _Cell(double(box.min[k]) - level.cell, k, level);
            hi[k] = _Cell(double(box.max[k]), k, level);
            cells *= uint64_t(hi[k] - lo[k] + 1);
        }
        const bool sameLevel = self != ~uint32_t(0) && m_levelOf[self] == levelIndex;
        auto test = [&](uint32_t j) {
            if (sameLevel && j <= self) return;
            if ((*m_boxes)[j].Meets(box)) f(j);
        };
        // A large box over a level of small cells: fewer entries than cells.
        if (cells > uint64_t(level.end - level.begin)) {
            for (uint32_t n = level.begin; n < level.end; ++n) test(m_order[n]);
            return;
        }
        for (int64_t x = lo[0]; x <= hi[0]; ++x)
            for (int64_t y = lo[1]; y <= hi[1]; ++y)
                for (int64_t z = lo[2]; z <= hi[2]; ++z) {
                    auto it = level.cells.find(_Key(x, y, z));
                    if (it == level.cells.end()) continue;
                    for (uint32_t n = it->second.first; n < it->second.second; ++n) test(m_order[n]);
                }
    }

    const std::vector<MTrimBox>* m_boxes;
    int32_t m_origin[3] = {0, 0, 0};
    std::vector<Level> m_levels;
    std::vector<uint8_t> m_levelOf;
    std::vector<uint32_t> m_order;
};

// Whether the intersection calculator could find anything for the pair:
// false where CALCULATE returns false before it looks at the triangles' trim
// infos (more than one shared corner, a zero-area triangle, a triangle wholly
// on one side of the other's plane), and for triangles of one plane whose
// insides do not overlap (they may touch), which give no outline.  Exact: a
// floating filter settles almost every side, 128-bit integers the rest.
bool MTrimPairMayCross(const MStlTriangle& a, const MStlTriangle& b);

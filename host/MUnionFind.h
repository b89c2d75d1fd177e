// Disjoint sets over dense indices, with path halving; the smaller index of
// two joined sets becomes their representative.
#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

class MUnionFind {
public:
    explicit MUnionFind(uint32_t size) : m_parent(size) { std::iota(m_parent.begin(), m_parent.end(), 0u); }
    uint32_t Find(uint32_t x) {
        while (m_parent[x] != x) x = m_parent[x] = m_parent[m_parent[x]];
        return x;
    }
    void Join(uint32_t x, uint32_t y) {
        x = Find(x);
        y = Find(y);
        if (x != y) m_parent[std::max(x, y)] = std::min(x, y);
    }

private:
    std::vector<uint32_t> m_parent;
};

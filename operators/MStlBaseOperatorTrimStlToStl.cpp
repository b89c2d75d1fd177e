#include "MStlBaseOperatorTrimStlToStl.h"

#include <absl/container/flat_hash_map.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "MTriangleTrimIntersection.h"
#include "MTriangleTrimIntersectionCalculator.h"
#include "MTriangleTrimRetriangulator.h"

MStlBaseOperatorTrimStlToStl::MStlBaseOperatorTrimStlToStl() = default;
MStlBaseOperatorTrimStlToStl::~MStlBaseOperatorTrimStlToStl() = default;

MStlBaseOperatorTrimStlToStl::MStlBaseOperatorTrimStlToStl(const MStlBaseOperatorTrimStlToStl& other) {
    *this = other;
}

MStlBaseOperatorTrimStlToStl& MStlBaseOperatorTrimStlToStl::operator=(const MStlBaseOperatorTrimStlToStl& other) {
    if (this == &other) return *this;
    for (int i = 0; i < 2; ++i) {
        m_meshes[i] = other.m_meshes[i];
        m_boxes[i] = other.m_boxes[i];
        m_trim[i] = other.m_trim[i];
        m_border[i] = other.m_border[i];
        m_borders[i] = other.m_borders[i] ? std::make_unique<MStlSurfaceBorder>(*other.m_borders[i]) : nullptr;
    }
    m_area = other.m_area;
    return *this;
}

void MStlBaseOperatorTrimStlToStl::SetStl(int index, MStlBase* mesh, bool trim, bool border) {
    if (index != 0 && index != 1) return;
    m_meshes[index] = mesh;
    m_trim[index] = trim;
    m_border[index] = border;
}

const MStlSurfaceBorder* MStlBaseOperatorTrimStlToStl::GetIntersectionBorder(int index) const {
    return index == 0 || index == 1 ? m_borders[index].get() : nullptr;
}

bool MStlBaseOperatorTrimStlToStl::Operate() {
    if (!m_meshes[0] || !m_meshes[1] || m_meshes[0] == m_meshes[1]) return false;
    _TrimIntersectingTriangles();
    _ClassifyUnclassifiedTriangles();
    _RemoveOutsideTriangles();
    return true;
}

void MStlBaseOperatorTrimStlToStl::_DetermineIntersectionArea() {
    for (int m = 0; m < 2; ++m) {
        m_boxes[m] = Box();
        for (auto it = m_meshes[m]->BeginTriangle(); it != m_meshes[m]->EndTriangle(); ++it) it->SetStatus(eUnclassified);
        for (auto it = m_meshes[m]->BeginPoint(); it != m_meshes[m]->EndPoint(); ++it)
            for (int k = 0; k < 3; ++k) {
                m_boxes[m].min[k] = std::min(m_boxes[m].min[k], it->Get(k));
                m_boxes[m].max[k] = std::max(m_boxes[m].max[k], it->Get(k));
            }
    }
    m_area = Box();
    for (int k = 0; k < 3; ++k) {
        const int32_t lo = std::max(m_boxes[0].min[k], m_boxes[1].min[k]);
        const int32_t hi = std::min(m_boxes[0].max[k], m_boxes[1].max[k]);
        if (lo <= hi) {
            m_area.min[k] = lo;
            m_area.max[k] = hi;
        }
    }
}


namespace {

struct Candidate {
    int32_t min[3], max[3];
    MStlTriangleElement* triangle;
};

bool BoxesMeet(const Candidate& a, const Candidate& b) {
    for (int k = 0; k < 3; ++k)
        if (a.min[k] > b.max[k] || b.min[k] > a.max[k]) return false;
    return true;
}

// Mesh 1's candidates bucketed in a uniform grid of cubes about twice the
// size of its average triangle box, so that each triangle of mesh 0 meets
// only the triangles near it: the work grows with the number of nearby
// pairs, not with the product of the mesh sizes.
class CandidateGrid {
public:
    CandidateGrid(const std::vector<Candidate>& cells, const int32_t* origin) : m_origin{origin[0], origin[1], origin[2]} {
        double extent = 0.0;
        for (const Candidate& c : cells)
            for (int k = 0; k < 3; ++k) extent += double(c.max[k]) - double(c.min[k]);
        m_size = std::max(1.0, 2.0 * extent / (3.0 * double(std::max<size_t>(cells.size(), 1))));
        for (uint32_t i = 0; i < cells.size(); ++i) ForCells(cells[i], [&](uint64_t key) { m_cells[key].push_back(i); });
    }
    template <class F>
    void ForCells(const Candidate& c, F&& f) const {
        int64_t lo[3], hi[3];
        for (int k = 0; k < 3; ++k) {
            lo[k] = Cell(c.min[k], k);
            hi[k] = Cell(c.max[k], k);
        }
        for (int64_t x = lo[0]; x <= hi[0]; ++x)
            for (int64_t y = lo[1]; y <= hi[1]; ++y)
                for (int64_t z = lo[2]; z <= hi[2]; ++z) f(uint64_t(x) << 42 | uint64_t(y) << 21 | uint64_t(z));
    }
    const std::vector<uint32_t>* At(uint64_t key) const {
        auto it = m_cells.find(key);
        return it == m_cells.end() ? nullptr : &it->second;
    }

private:
    int64_t Cell(int32_t v, int k) const {
        return std::clamp<int64_t>(int64_t((double(v) - double(m_origin[k])) / m_size), 0, (int64_t(1) << 21) - 1);
    }
    int32_t m_origin[3];
    double m_size = 1.0;
    absl::flat_hash_map<uint64_t, std::vector<uint32_t>> m_cells;
};

}  // namespace

void MStlBaseOperatorTrimStlToStl::_TrimIntersectingTriangles() {
    MTriangleTrimRetriangulator retriangulator;
    retriangulator.SetTriangulationStatus(eBelow, eAbove, eCoplanarSame, eCoplanarOpposite, eRetriangulated);
    retriangulator.SetTrimBorder(true);
    if (!m_trim[0] && !m_trim[1]) retriangulator.SetSearchMode(true, true);
    MTriangleTrimIntersectionCalculator calculator;
    _DetermineIntersectionArea();

    // Candidates: the triangles whose boxes reach into the common area.
    std::vector<Candidate> candidates[2];
    const bool area = m_area.min[0] <= m_area.max[0] && m_area.min[1] <= m_area.max[1] && m_area.min[2] <= m_area.max[2];
    for (int m = 0; m < 2 && area; ++m)
        for (auto it = m_meshes[m]->BeginTriangle(); it != m_meshes[m]->EndTriangle(); ++it) {
            Candidate c{{INT32_MAX, INT32_MAX, INT32_MAX}, {INT32_MIN, INT32_MIN, INT32_MIN}, *it};
            for (int i = 0; i < 3; ++i)
                for (int k = 0; k < 3; ++k) {
                    c.min[k] = std::min(c.min[k], it->GetPoint(i)->Get(k));
                    c.max[k] = std::max(c.max[k], it->GetPoint(i)->Get(k));
                }
            bool misses = false;
            for (int k = 0; k < 3; ++k) misses = misses || c.min[k] > m_area.max[k] || c.max[k] < m_area.min[k];
            if (!misses) candidates[m].push_back(c);
        }
    // Each triangle's trim element, activated when it first meets a triangle
    // of the other mesh.
    std::vector<MTriangleTrimElement> elements[2];
    for (int m = 0; m < 2; ++m) elements[m].resize(candidates[m].size());
    auto infoOf = [&](int m, uint32_t i) {
        MTriangleTrimElement& e = elements[m][i];
        if (!e.GetTrimInfo()) {
            e.SetTriangle(candidates[m][i].triangle, nullptr);
            e.ActivateTrimInfo();
        }
        return e.GetTrimInfo();
    };
    const CandidateGrid grid(candidates[1], m_area.min);
    std::vector<uint32_t> seen(candidates[1].size(), UINT32_MAX);
    for (uint32_t i = 0; i < candidates[0].size(); ++i) {
        grid.ForCells(candidates[0][i], [&](uint64_t key) {
            const std::vector<uint32_t>* cell = grid.At(key);
            if (!cell) return;
            for (uint32_t j : *cell) {
                if (seen[j] == i) continue;
                seen[j] = i;
                if (!BoxesMeet(candidates[0][i], candidates[1][j])) continue;
                calculator.CALCULATE(*infoOf(0, i), *infoOf(1, j));
            }
        });
    }
    // Retriangulate (or collect the cut polylines of) every triangle met.
    for (int m = 0; m < 2; ++m)
        for (MTriangleTrimElement& e : elements[m]) {
            MTriangleTrimInfo* info = e.GetTrimInfo();
            if (!info) continue;
            if (m_trim[m]) {
                if (retriangulator.CreateNewTriangles(*info, uint8_t(m))) m_meshes[m]->RemoveTriangle(e.GetTriangle());
            } else if (m_border[m]) {
                retriangulator.UpdateTrimBorders(*info, uint8_t(m));
            }
            e.DisactivateTrimInfo();
        }

    for (int m = 0; m < 2; ++m) {
        if (!m_border[m]) continue;
        m_borders[m] = std::make_unique<MStlSurfaceBorder>();
        const MStlCutBorder* polylines = retriangulator.GetTrimBorder(uint8_t(m), 0);
        if (!polylines) continue;
        for (auto* c = polylines->GetFirstContour(); c; c = MStlCutBorder::Next(c)) {
            MStlSurfaceBorderContour contour;
            auto* p = c->GetFirstPoint();
            for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext())
                if (contour.points.empty() || contour.points.back() != p->GetData()) contour.InsertPointAtEnd(p->GetData());
            contour.closed = c->IsClosed();
            m_borders[m]->contours.push_back(std::move(contour));
        }
    }
}

MStlTriangleElement* MStlBaseOperatorTrimStlToStl::_FindNeighbour(MStlPoint* p, MStlPoint* q) {
    for (uint16_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k) {
        MStlTriangleElement* t = p->GetNeighbourTriangle(k);
        if (t->GetPoint((t->IndexOfPoint(p) + 1) % 3) == q) return t;
    }
    return nullptr;
}

void MStlBaseOperatorTrimStlToStl::_ClassifyUnclassifiedTriangles() {
    std::deque<MStlTriangleElement*> queue;
    for (int m = 0; m < 2; ++m) {
        if (!m_trim[m]) continue;
        for (auto it = m_meshes[m]->BeginTriangle(); it != m_meshes[m]->EndTriangle(); ++it) {
            const uint8_t label = it->GetStatus();
            if (label == eUnclassified) continue;
            for (int k = 0; k < 3; ++k) {
                MStlTriangleElement* n = _FindNeighbour(it->GetPoint((k + 1) % 3), it->GetPoint(k));
                if (!n || n->GetStatus() != eUnclassified) continue;
                n->SetStatus(label);
                queue.assign(1, n);
                while (!queue.empty()) {
                    MStlTriangleElement* t = queue.front();
                    queue.pop_front();
                    for (int j = 0; j < 3; ++j) {
                        MStlTriangleElement* u = _FindNeighbour(t->GetPoint((j + 1) % 3), t->GetPoint(j));
                        if (!u || u->GetStatus() != eUnclassified) continue;
                        u->SetStatus(label);
                        queue.push_back(u);
                    }
                }
            }
        }
    }
}

void MStlBaseOperatorTrimStlToStl::_RemoveOutsideTriangles() {
    for (int m = 0; m < 2; ++m) {
        if (!m_trim[m]) continue;
        m_meshes[m]->RemoveTrianglesIf([](const MStlTriangle& t) { return t.GetStatus() != eBelow; });
    }
}

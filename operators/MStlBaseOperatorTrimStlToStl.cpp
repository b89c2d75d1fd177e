#include "MStlBaseOperatorTrimStlToStl.h"

#include <algorithm>
#include <deque>
#include <vector>

#include "MTriangleTrimIntersection.h"
#include "MTriangleTrimIntersectionCalculator.h"
#include "MTriangleTrimRetriangulator.h"
#include "host/MStlChecker.h"
#include "trim/MTrimCandidates.h"

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

namespace {
// Every edge used once each way (open edges allowed).
bool Manifold(const MStlBase& mesh) {
    const MeshReport r = CheckMesh(mesh);
    return r.nonManifoldEdges == 0 && r.inconsistentEdges == 0;
}
}  // namespace

bool MStlBaseOperatorTrimStlToStl::Operate() {
    if (!m_meshes[0] || !m_meshes[1] || m_meshes[0] == m_meshes[1]) return false;
    bool manifold[2];
    for (int i = 0; i < 2; ++i) manifold[i] = m_trim[i] && Manifold(*m_meshes[i]);
    _TrimIntersectingTriangles();
    _ClassifyUnclassifiedTriangles();
    _RemoveOutsideTriangles();
    // Trimming keeps each edge's use: one that went wrong is reported.
    for (int i = 0; i < 2; ++i)
        if (manifold[i] && !Manifold(*m_meshes[i])) return false;
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
    MTrimBox box;
    MStlTriangleElement* triangle;
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
            const Candidate c{MTrimBox::Of(**it), *it};
            bool misses = false;
            for (int k = 0; k < 3; ++k) misses = misses || c.box.min[k] > m_area.max[k] || c.box.max[k] < m_area.min[k];
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
    // Mesh 1's boxes in a grid, so that each triangle of mesh 0 meets only
    // the triangles near it: the work grows with the number of nearby pairs,
    // not with the product of the mesh sizes.
    std::vector<MTrimBox> boxes(candidates[1].size());
    for (size_t j = 0; j < boxes.size(); ++j) boxes[j] = candidates[1][j].box;
    const MTrimBoxGrid grid(boxes);
    std::vector<uint32_t> near;
    for (uint32_t i = 0; i < candidates[0].size(); ++i) {
        near.clear();
        grid.ForEachMeeting(candidates[0][i].box, [&](uint32_t j) { near.push_back(j); });
        std::sort(near.begin(), near.end());
        for (uint32_t j : near) calculator.CALCULATE(*infoOf(0, i), *infoOf(1, j));
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
    for (uint32_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k) {
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

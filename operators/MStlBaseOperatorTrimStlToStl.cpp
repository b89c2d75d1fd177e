#include "MStlBaseOperatorTrimStlToStl.h"

#include <deque>

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
using Element = MTrimTriangleListElement;

bool MissesArea(const Element& e, const int32_t* lo, const int32_t* hi) {
    for (int k = 0; k < 3; ++k)
        if (e.GetMinimum()[k] > hi[k] || e.GetMaximum()[k] < lo[k]) return true;
    return false;
}

bool OverlapsInYZ(const Element& a, const Element& b) {
    for (int k = 1; k < 3; ++k)
        if (a.GetMinimum()[k] > b.GetMaximum()[k] || b.GetMinimum()[k] > a.GetMaximum()[k]) return false;
    return true;
}
}  // namespace

void MStlBaseOperatorTrimStlToStl::_TrimIntersectingTriangles() {
    MTriangleTrimRetriangulator retriangulator;
    retriangulator.SetTriangulationStatus(eBelow, eAbove, eCoplanarSame, eCoplanarOpposite, eRetriangulated);
    retriangulator.SetTrimBorder(true);
    if (!m_trim[0] && !m_trim[1]) retriangulator.SetSearchMode(true, true);
    MTriangleTrimIntersectionCalculator calculator;
    MTempTrimTriangleList candidates, active;
    _DetermineIntersectionArea();

    const int32_t lo[3] = {m_area.min[0], m_area.min[1], m_area.min[2]};
    const int32_t hi[3] = {m_area.max[0], m_area.max[1], m_area.max[2]};
    if (lo[0] <= hi[0] && lo[1] <= hi[1] && lo[2] <= hi[2]) {
        for (int m = 0; m < 2; ++m)
            for (auto it = m_meshes[m]->BeginTriangle(); it != m_meshes[m]->EndTriangle(); ++it) {
                Element* e = candidates.NewElement(*it, nullptr);
                MTempTrimTriangleList::CalculateTriangleBox(*e);
                if (e->IsBoxEmpty() || MissesArea(*e, lo, hi)) candidates.DeleteElement(e);
                else candidates.AddSortedAtMinimum(e);
            }
    }
    auto meshOf = [this](const Element& e) { return e.GetItem().GetTriangle()->GetStl() == m_meshes[0] ? 0 : 1; };
    auto retire = [&](Element* a) {
        active.RemoveElement(a);
        const int side = meshOf(*a);
        MTriangleTrimInfo* info = a->GetItem().GetTrimInfo();
        if (m_trim[side]) {
            MStlTriangleElement* t = a->GetItem().GetTriangle();
            if (retriangulator.CreateNewTriangles(*info, uint8_t(side))) m_meshes[side]->RemoveTriangle(t);
        } else if (m_border[side]) {
            retriangulator.UpdateTrimBorders(*info, uint8_t(side));
        }
        active.DeleteElement(a);
    };
    while (Element* e = candidates.RemoveFirstElement()) {
        e->GetItem().ActivateTrimInfo();
        while (Element* a = active.GetFirstElement()) {
            if (a->GetMaximum()[0] >= e->GetMinimum()[0]) break;
            retire(a);
        }
        const int em = meshOf(*e);
        for (Element* a = active.GetFirstElement(); a; a = a->GetNext()) {
            if (meshOf(*a) == em || !OverlapsInYZ(*a, *e)) continue;
            MTriangleTrimInfo* first = (em == 0 ? e : a)->GetItem().GetTrimInfo();
            MTriangleTrimInfo* second = (em == 0 ? a : e)->GetItem().GetTrimInfo();
            calculator.CALCULATE(*first, *second);
        }
        active.AddSortedAtMaximum(e);
    }
    while (Element* a = active.GetFirstElement()) retire(a);

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
        for (auto it = m_meshes[m]->BeginTriangle(); it != m_meshes[m]->EndTriangle();) {
            MStlTriangleElement* t = *it;
            ++it;
            if (t->GetStatus() != eBelow) m_meshes[m]->RemoveTriangle(t);
        }
    }
}

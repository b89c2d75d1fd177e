#include "host/MStlBaseOperatorReduceEx.h"

#include <vector>

#include "host/MStlEdgeCollapse.h"

void MStlBaseOperatorReduceExBase::_Reduce(MStlBase& mesh, MStlSurface* surface) {
    MStlEdgeCollapse collapse(mesh, {m_params.MaximumDeviation, m_params.MaximumNormalChange}, surface);
    for (int32_t pass = 0; pass < m_params.Passes; ++pass) {
        // The surface's points in mesh order, each once.
        std::vector<MStlPoint*> points;
        std::vector<uint8_t> seen(mesh.GetNumberOfPointSlots(), 0);
        for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
            if (surface && it->GetSurface() != surface) continue;
            for (int c = 0; c < 3; ++c) {
                MStlPoint* p = it->GetPoint(c);
                if (!seen[p->GetIndex()]) seen[p->GetIndex()] = 1, points.push_back(p);
            }
        }
        uint64_t removed = 0;
        for (MStlPoint* v : points) removed += collapse.CollapseOntoAnyNeighbour(v);
        m_removed += removed;
        if (removed == 0) break;
    }
}

#include "MStlBaseOperatorTrimTriangles.h"

#include <algorithm>
#include <numeric>
#include <vector>

#include "MTriangleTrimIntersection.h"
#include "MTriangleTrimIntersectionCalculator.h"
#include "MTriangleTrimRetriangulator.h"
#include "host/MStlChecker.h"
#include "trim/MTrimCandidates.h"

namespace QelSDK {
namespace {

using Common::IncrementalProgressReporter;
using Common::ProgressPtr;

const char* const kProgressName = "QelStlCutting.MStlBaseOperatorTrimTriangles.Operate";

// The triangles in the order a sweep along x takes them: ascending by box
// minimum x, in mesh order where that ties.
struct Sweep {
    std::vector<MStlTriangleElement*> triangles;
    std::vector<MTrimBox> boxes;
    std::vector<uint8_t> selected;
};

Sweep SweepOrder(const MStlBase& mesh, const MDataMaskBits<MStlTriangle>& selection) {
    std::vector<MStlTriangleElement*> inMeshOrder;
    inMeshOrder.reserve(mesh.GetNumberOfTriangles());
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) inMeshOrder.push_back(*it);
    std::vector<MTrimBox> boxes(inMeshOrder.size());
    // Sort keys: minimum x above, mesh position below.
    std::vector<uint64_t> order(inMeshOrder.size());
    for (size_t i = 0; i < inMeshOrder.size(); ++i) {
        boxes[i] = MTrimBox::Of(*inMeshOrder[i]);
        order[i] = uint64_t(int64_t(boxes[i].min[0]) - INT32_MIN) << 32 | i;
    }
    std::sort(order.begin(), order.end());
    Sweep sweep;
    sweep.triangles.resize(order.size());
    sweep.boxes.resize(order.size());
    sweep.selected.resize(order.size());
    for (size_t n = 0; n < order.size(); ++n) {
        const uint32_t i = uint32_t(order[n]);
        sweep.triangles[n] = inMeshOrder[i];
        sweep.boxes[n] = boxes[i];
        sweep.selected[n] = selection.Get(inMeshOrder[i]);
    }
    return sweep;
}

// One call of the calculator: `later` entered the sweep after `earlier`;
// `laterFirst` says which of them is the calculator's first argument.
struct Call {
    uint32_t later, earlier;
    bool laterFirst;
};

// The calls in the order the sweep makes them: by the candidate that enters,
// then over the active elements ascending by box maximum x (in the order
// they entered where that ties).
void SortAsTheSweep(std::vector<Call>& calls, const Sweep& sweep) {
    std::sort(calls.begin(), calls.end(), [&](const Call& a, const Call& b) {
        if (a.later != b.later) return a.later < b.later;
        const int32_t ax = sweep.boxes[a.earlier].max[0], bx = sweep.boxes[b.earlier].max[0];
        return ax != bx ? ax < bx : a.earlier < b.earlier;
    });
}

// The trim elements of the triangles met by a call, made on first use.
class Elements {
public:
    explicit Elements(const Sweep& sweep) : m_sweep(sweep), m_slot(sweep.triangles.size(), kNone) {}
    MTriangleTrimInfo& Info(uint32_t candidate) {
        uint32_t& slot = m_slot[candidate];
        if (slot == kNone) {
            slot = uint32_t(m_elements.size());
            m_elements.emplace_back();
            m_candidates.push_back(candidate);
            m_elements.back().SetTriangle(m_sweep.triangles[candidate], nullptr);
            m_elements.back().ActivateTrimInfo();
        }
        return *m_elements[slot].GetTrimInfo();
    }
    std::vector<MTriangleTrimElement>& All() { return m_elements; }
    uint32_t CandidateOf(size_t element) const { return m_candidates[element]; }

private:
    static constexpr uint32_t kNone = ~uint32_t(0);
    const Sweep& m_sweep;
    std::vector<uint32_t> m_slot;
    std::vector<MTriangleTrimElement> m_elements;
    std::vector<uint32_t> m_candidates;
};

// The same corners in the same cyclic order.
bool SameCorners(const MStlTriangle& a, const MStlTriangle& b) {
    const int k = b.IndexOfPoint(a.GetPoint(0));
    return k >= 0 && b.GetPoint((k + 1) % 3) == a.GetPoint(1) && b.GetPoint((k + 2) % 3) == a.GetPoint(2);
}

}  // namespace

bool MStlBaseOperatorTrimTriangles::_Admits(bool firstSelected, bool secondSelected) const {
    if (m_mode == eSelectedWithUnselected) return firstSelected != secondSelected;
    return firstSelected || secondSelected;
}

MStlBaseOperatorTrimTriangles::ERCode MStlBaseOperatorTrimTriangles::Operate(ProgressPtr progress) {
    m_trimmed = m_added = 0;
    if (!m_mesh || !m_selection) return eNoStl;
    if (m_mesh->GetNumberOfTriangles() == 0) return eDone;
    const Sweep sweep = SweepOrder(*m_mesh, *m_selection);
    if (std::find(sweep.selected.begin(), sweep.selected.end(), 1) == sweep.selected.end()) return eNoSelection;
    // Cutting triangles where they cross opens no edge: a closed, oriented
    // mesh that comes out otherwise is reported.
    const MeshReport before = CheckMesh(*m_mesh);
    const bool closed = before.boundaryEdges == 0 && before.oriented;

    IncrementalProgressReporter reporter(progress, kProgressName, 1000);
    // Candidate pairs: the boxes that meet, as the sweep would find them in
    // its active slab, but looked up in a grid around each box.
    std::vector<Call> calls;
    {
        IncrementalProgressReporter step(reporter.CreateNestedDelegate(0.5), kProgressName, sweep.boxes.size());
        const MTrimBoxGrid grid(sweep.boxes);
        uint64_t done = 0;
        grid.ForEachPair(
            [&](uint32_t i, uint32_t j) {
                const bool si = sweep.selected[i], sj = sweep.selected[j];
                if (!_Admits(si, sj) || !MTrimPairMayCross(*sweep.triangles[i], *sweep.triangles[j])) return;
                const uint32_t later = std::max(i, j), earlier = std::min(i, j);
                const bool laterSelected = sweep.selected[later], earlierSelected = sweep.selected[earlier];
                // Mode 1: the selected one first.  Otherwise the unselected
                // one first, or the later one when both are selected.
                const bool laterFirst = m_mode == eSelectedWithUnselected ? laterSelected
                                                                           : !laterSelected || earlierSelected;
                calls.push_back({later, earlier, laterFirst});
            },
            [&](double share) {
                const uint64_t now = uint64_t(share * double(sweep.boxes.size()));
                if (now > done) step += now - done, done = now;
                return step.IsCancelled();
            });
        if (step.IsCancelled()) return eCancelled;
    }
    SortAsTheSweep(calls, sweep);

    Elements elements(sweep);
    {
        IncrementalProgressReporter step(reporter.CreateNestedDelegate(0.2), kProgressName, calls.size());
        MTriangleTrimIntersectionCalculator calculator;
        for (size_t n = 0; n < calls.size(); ++n) {
            if ((n & 1023u) == 0 && step.IsCancelled()) return eCancelled;
            const Call& c = calls[n];
            MTriangleTrimInfo& later = elements.Info(c.later);
            MTriangleTrimInfo& earlier = elements.Info(c.earlier);
            if (c.laterFirst) calculator.CALCULATE(later, earlier);
            else calculator.CALCULATE(earlier, later);
            ++step;
        }
    }

    // Every crossed triangle is replaced by the pieces between its cuts, in
    // the order the sweep retires them (ascending box maximum x).
    std::vector<uint32_t> retired(elements.All().size());
    std::iota(retired.begin(), retired.end(), 0u);
    std::stable_sort(retired.begin(), retired.end(), [&](uint32_t a, uint32_t b) {
        return sweep.boxes[elements.CandidateOf(a)].max[0] < sweep.boxes[elements.CandidateOf(b)].max[0];
    });
    IncrementalProgressReporter step(reporter.CreateNestedDelegate(0.3), kProgressName, retired.size());
    MTriangleTrimRetriangulator retriangulator;
    retriangulator.SetTriangulationStatus(0, 0, 0, 0, 0);
    retriangulator.SetSearchMode(true, true);
    retriangulator.SaveExtraInfo();
    for (uint32_t e : retired) {
        if (step.IsCancelled()) return eCancelled;
        MTriangleTrimElement& element = elements.All()[e];
        const uint8_t side = sweep.selected[elements.CandidateOf(e)] ? 1 : 0;
        MStlTriangleElement* triangle = element.GetTriangle();
        const uint8_t status = triangle->GetStatus();
        if (retriangulator.CreateNewTriangles(*element.GetTrimInfo(), side)) {
            const std::vector<MStlTriangle*>& pieces = retriangulator.GetNewTriangles();
            if (pieces.size() == 1 && SameCorners(*pieces.front(), *triangle)) {
                // A cut that ends inside the triangle divides nothing: the
                // triangle stays as it was.
                m_mesh->RemoveTriangle(pieces.front());
                triangle->SetStatus(status);
            } else {
                m_mesh->RemoveTriangle(triangle);
                ++m_trimmed;
                m_added += pieces.size();
            }
        }
        element.DisactivateTrimInfo();
        ++step;
    }
    if (closed) {
        const MeshReport after = CheckMesh(*m_mesh);
        if (after.boundaryEdges != 0 || !after.oriented) return eOpened;
    }
    return eDone;
}

}  // namespace QelSDK

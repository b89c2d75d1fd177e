// Inserts a curve, given as slice positions on a mesh surface, into the
// mesh: afterwards the curve runs along mesh edges and its mesh points are
// appended to a border contour.  New triangles go into the container chosen
// by the template parameter (the whole mesh, a feature, a surface, a list of
// triangles, or marked triangles).
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <optional>

#include "host/MNbhdSlicer.h"
#include "host/MProgress.h"
#include "host/MStlBase.h"

namespace MSliceRetriangulation {
// The work of every instantiation, on the container's common interface.
// Null container or fewer than two usable positions: null, nothing changed.
// Cancelled before the mesh is changed: null, and the mesh keeps its
// triangles (and loses the points it got).
MStlPoint* Retriangulate(MStlTriangleContainerBase* container, uint32_t snapDistance,
                         MStlSurfaceBorderContour* contour, std::list<MNbhdSlicerBase::MSliceInfo>& slices,
                         const QelSDK::Common::ProgressPtr& progress);
}  // namespace MSliceRetriangulation

template <class Container>
class MSliceRetriangulator {
public:
    using MSliceInfo = MNbhdSlicerBase::MSliceInfo;

    void Init(const Container& container, unsigned long snapDistance) {
        m_container.emplace(container);
        m_snapDistance = uint32_t(snapDistance);
    }

    // Returns the mesh point of the last slice position (null with fewer
    // than two).  Merged and repeated positions leave the list, and the
    // others receive their mesh points.
    MStlPoint* Operate(MStlSurfaceBorderContour* contour, std::list<MSliceInfo>& slices,
                       std::shared_ptr<QelSDK::Common::IProgressDelegate> progress = nullptr) {
        return MSliceRetriangulation::Retriangulate(m_container ? &*m_container : nullptr, m_snapDistance, contour,
                                                   slices, progress);
    }

    static bool SanityCheck4SliceList(MStlSurfaceBorderContour*, std::list<MSliceInfo>&) { return true; }

    // The triangle holding both positions, or null; a and b stay unchanged.
    static MStlTriangle* SetCommonTriangle(const MSliceInfo& a, const MSliceInfo& b) {
        MSliceInfo ca = a, cb = b;
        bool ambiguous = false;
        return MNbhdSlicerUtilities::SliceInfoSetCommonTriangle(ca, cb, ambiguous);
    }

private:
    std::optional<Container> m_container;
    uint32_t m_snapDistance = 0;
};

extern template class MSliceRetriangulator<MStlBaseContainer>;
extern template class MSliceRetriangulator<MStlFeatureContainer>;
extern template class MSliceRetriangulator<MStlMarkedTrianglesContainer>;
extern template class MSliceRetriangulator<MStlSurfaceContainer>;
extern template class MSliceRetriangulator<MStlTriangleListContainer>;

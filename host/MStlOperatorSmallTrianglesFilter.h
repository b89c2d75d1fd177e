// Removes small and sliver triangles from a mesh: triangles with a tiny
// edge by collapsing it, slivers (a corner within a tiny height of the
// opposite, longest edge) by flipping that edge, or, where the flip is
// refused, by collapsing the corner onto the nearer end of it.  Long thin
// triangles of ordinary size (the walls of a prism, say) are no slivers.
// Every change goes through MStlEdgeCollapse, so a closed, manifold and
// consistently oriented mesh stays so, nothing folds, and the surface moves
// by no more than a set fraction of the mesh's size; triangles that cannot
// be removed that way stay.
#pragma once

#include <cstdint>

#include "host/MProgress.h"
#include "host/MStlBase.h"
#include "host/MStlItem.h"

class MStlOperatorSmallTrianglesFilter {
public:
    struct Parameters {
        // Integer units: edges shorter than this are collapsed.
        double MinimumEdgeLength = 10.0;
        // Integer units: a triangle whose height over its longest edge is
        // below this is a sliver.
        double MinimumHeight = 0.1;
        // No change moves the surface by more than the diagonal of the
        // mesh's box divided by this.
        double RelativePrecision = 100000.0;
        // Sweeps over the mesh; 0 sweeps until one changes nothing (at most
        // 16 sweeps).
        int32_t Passes = 0;
        // Points on the border between two surfaces stay (points on open
        // edges always stay).
        bool KeepSurfaceBorders = true;
    };

    enum EResult : int32_t { eSuccess = 0, eNoMesh = 1, eCancelled = 2 };

    void SetAllParameters(double minimumEdgeLength, double minimumHeight, double relativePrecision, int32_t passes,
                          bool keepSurfaceBorders) {
        m_params = {minimumEdgeLength, minimumHeight, relativePrecision, passes, keepSurfaceBorders};
    }
    void SetParameters(const Parameters& params) { m_params = params; }
    // A mesh, or one surface of it (then only that surface's triangles
    // change); a feature stands for its whole mesh.
    void SetStlItem(const MStlItem& item) { m_item = item; }
    // Progress step "MStlOperatorSmallTrianglesFilter.Operate", one unit per
    // sweep; cancellation is polled every few thousand triangles and leaves
    // a sound mesh with the changes made so far.
    EResult Operate(QelSDK::Common::ProgressPtr progress = nullptr);
    // Triangles removed by the last Operate.
    uint64_t GetNumberOfRemovedTriangles() const { return m_removed; }

private:
    // One sweep; the number of changes made.
    uint64_t _Sweep(MStlBase& mesh, double deviation, QelSDK::Common::BaseProgressReporter& reporter);

    Parameters m_params;
    MStlItem m_item;
    uint64_t m_removed = 0;
};

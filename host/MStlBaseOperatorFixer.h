// Repairs of a mesh; here the removal of noise shells: the small, stray
// pieces that cuts and booleans leave beside the real parts.
//
// A shell (triangles joined through edges) is noise when
//  - it has fewer than four triangles (it cannot enclose anything), or
//  - it is closed and encloses no volume to speak of: its volume is at most
//    kNoiseVolume of the largest shell's (a sheet of two opposite faces, a
//    flat sliver), or
//  - its area is at most kNoiseArea of the largest shell's.
// The shell of largest area is never noise, so a mesh keeps its main part
// whatever its size.
#pragma once

#include <cstdint>

#include "host/MProgress.h"
#include "host/MStlBase.h"

class MStlBaseOperatorFixer {
public:
    static constexpr double kNoiseVolume = 1e-9;
    static constexpr double kNoiseArea = 1e-6;

    void SetStl(MStlBase* mesh) { m_mesh = mesh; }
    // Removes the noise shells and the points only they used; returns the
    // number of shells removed.  Progress step
    // "MStlBaseOperatorFixer.DoNoiseShellRemoval"; when cancelled before the
    // removal, nothing is removed.
    uint32_t DoNoiseShellRemoval(QelSDK::Common::ProgressPtr progress = nullptr);
    // Solids that touch along an edge leave four or more triangles on it,
    // half running it each way.  Ordered round the edge, each triangle closes
    // the solid between it and the neighbour that runs the edge the other
    // way on its back; the points of such edges get one copy per solid that
    // meets there, so that each solid is a closed surface of its own that
    // merely touches the others.  Edges whose triangles do not alternate, or
    // where two lie in one half-plane, stay as they are.  Returns the number
    // of points added.
    uint64_t SeparateTouchingSolids();

private:
    MStlBase* m_mesh = nullptr;
};

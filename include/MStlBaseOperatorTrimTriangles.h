// Trims the selected triangles of a mesh against the mesh's other
// triangles, or against each other: every crossing pair that the mode admits
// is intersected exactly, and each crossed triangle is replaced by pieces
// that follow all the cuts through it, on either side.  Nothing is removed
// or classified beyond that: afterwards the triangles of the pair meet along
// shared points and edges instead of crossing.
#pragma once

#include <cstdint>

#include "host/MProgress.h"
#include "host/MStlBase.h"

namespace QelSDK {

class MStlBaseOperatorTrimTriangles {
public:
    enum EMode : int32_t {
        // Every pair with at least one selected triangle (any value but 1).
        eSelectedWithAll = 0,
        // Only a selected triangle with an unselected one.
        eSelectedWithUnselected = 1,
    };
    enum ERCode : int32_t {
        eDone = 0,          // also when the mesh has no triangles
        eNoSelection = 1,   // no triangle is selected; nothing was changed
        eNoStl = 2,         // no mesh was set
        eCancelled = 3,     // stopped through the progress delegate; the mesh is partly trimmed
        // A mesh without open or inconsistent edges came out with some: the
        // crossings could not all be cut exactly.  The mesh is left trimmed.
        eOpened = 4,
    };

    MStlBaseOperatorTrimTriangles() = default;

    // Stores both references; a triangle is selected when its bit 0 is set.
    void SetStl(MStlBase& mesh, const MDataMaskBits<MStlTriangle>& selection) {
        m_mesh = &mesh;
        m_selection = &selection;
    }
    void SetMode(const EMode& mode) { m_mode = mode; }
    ERCode Operate(Common::ProgressPtr progress = nullptr);

    // Of the last Operate: the triangles replaced by pieces, and the pieces.
    uint64_t GetNumberOfTrimmedTriangles() const { return m_trimmed; }
    uint64_t GetNumberOfNewTriangles() const { return m_added; }

private:
    bool _Admits(bool firstSelected, bool secondSelected) const;

    MStlBase* m_mesh = nullptr;
    const MDataMaskBits<MStlTriangle>* m_selection = nullptr;
    EMode m_mode = eSelectedWithAll;
    uint64_t m_trimmed = 0;
    uint64_t m_added = 0;
};

}  // namespace QelSDK

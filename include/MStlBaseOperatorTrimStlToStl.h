// Trims two meshes against each other exactly: every pair of crossing
// triangles (one of each mesh) is intersected, the crossed triangles are
// replaced by the pieces on either side of the cut, the side labels are
// spread over the untouched triangles, and a trimmed mesh keeps only the
// part below the other mesh's surface (the side its triangles' list 0 take:
// inside the other mesh when that mesh is closed and outward oriented).
// The cut polylines of each mesh can be collected as its intersection
// border.
#pragma once

#include <cstdint>
#include <memory>

#include "host/MStlBase.h"

class MStlBaseOperatorTrimStlToStl {
public:
    // Side labels left in the triangles' status.
    enum ELabel : uint8_t {
        eUnclassified = 0,
        eBelow = 1,            // kept by a trimmed mesh
        eAbove = 2,
        eCoplanarSame = 3,     // where the meshes share a plane, same facing
        eCoplanarOpposite = 4, // shared plane, opposite facing
        eRetriangulated = 5,
    };

    MStlBaseOperatorTrimStlToStl();
    ~MStlBaseOperatorTrimStlToStl();
    MStlBaseOperatorTrimStlToStl(const MStlBaseOperatorTrimStlToStl& other);
    // Copies the meshes, boxes and flags, and deep-copies the borders, so
    // that each operator owns its own.
    MStlBaseOperatorTrimStlToStl& operator=(const MStlBaseOperatorTrimStlToStl& other);

    // index 0 or 1 (others are ignored).  trim: retriangulate the mesh and
    // keep only its part below the other; border: collect its cut polylines.
    void SetStl(int index, MStlBase* mesh, bool trim, bool border);
    // False (nothing changed) when a mesh is missing.  A trimmed mesh that
    // does not meet the other loses every triangle.  False as well (the
    // meshes left trimmed) when a trimmed mesh whose edges were each used
    // once each way comes out otherwise: the trim went wrong there.
    bool Operate();
    // The cut polylines of mesh 0 or 1, owned by the operator; null before
    // Operate, without the border flag, or for another index.
    const MStlSurfaceBorder* GetIntersectionBorder(int index) const;

protected:
    struct Box {
        int32_t min[3] = {2147483647, 2147483647, 2147483647};
        int32_t max[3] = {-2147483647 - 1, -2147483647 - 1, -2147483647 - 1};
    };
    void _DetermineIntersectionArea();
    void _TrimIntersectingTriangles();
    void _ClassifyUnclassifiedTriangles();
    void _RemoveOutsideTriangles();
    static MStlTriangleElement* _FindNeighbour(MStlPoint* p, MStlPoint* q);

private:
    MStlBase* m_meshes[2] = {nullptr, nullptr};
    Box m_boxes[2];
    Box m_area;
    bool m_trim[2] = {false, false};
    bool m_border[2] = {false, false};
    std::unique_ptr<MStlSurfaceBorder> m_borders[2];
};

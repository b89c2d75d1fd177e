// Slice positions: places on a mesh surface where a curve drawn on the mesh
// passes, at a mesh point, on a triangle edge or inside a triangle, and the
// helpers that compare them and find the triangle two of them share.
#pragma once

#include <cstdint>
#include <list>
#include <vector>

#include "host/MMath.h"

class MStlBase;
class MStlPoint;
class MStlTriangle;

class MNbhdSlicerBase {
public:
    struct MSliceInfo {
        enum EKind : int32_t { eOnEdge = 0, eAtPoint = 1, eInside = 2 };

        // The mesh point at this position, once there is one.
        MStlPoint* point = nullptr;
        // The triangle holding the position.
        MStlTriangle* triangle = nullptr;
        // The edge (corner index, index + 1) for an edge position, the corner
        // for a position at a vertex of `triangle`.
        uint8_t index = 0;
        int32_t kind = eInside;
        MMVector3d position;

        // At mesh point `p`.  The triangle is kept when it has `p` as a corner
        // and `keepTriangle` is set; otherwise it becomes one of p's triangles.
        void Fill(MStlPoint* p, bool keepTriangle);
        // On edge `edge` of `t`, at `pos`; no mesh point yet.
        void Fill(MStlTriangle* t, const MMVector3d& pos, unsigned char edge);
        // Inside `t`, at `pos`; no mesh point yet.
        void FillInside(MStlTriangle* t, const MMVector3d& pos);
    };
};

namespace MNbhdSlicerUtilities {
using MSliceInfo = MNbhdSlicerBase::MSliceInfo;

// Same place: the same mesh point, or without points the same kind, triangle,
// index and position.
bool SliceInfoEqual(const MSliceInfo& a, const MSliceInfo& b);
// The live triangles that can hold the position: the fan of its vertex, the
// triangles on its edge, or its own triangle.
std::vector<MStlTriangle*> CandidateTriangles(const MSliceInfo& s);
// The triangle holding both positions, or null.  `ambiguous` is set when more
// than one triangle holds both (two positions on one edge, or two vertices of
// an edge).
MStlTriangle* SliceInfoSetCommonTriangle(MSliceInfo& a, MSliceInfo& b, bool& ambiguous);

// The section of the mesh surface by the plane n.x = d, traced from the
// first triangle the plane crosses through its edge neighbours until the
// section closes or leaves the mesh: one edge position per crossed edge and,
// per crossed triangle, `inside` evenly spaced interior positions between its
// two crossings.  Empty when the plane meets no triangle.
std::list<MSliceInfo> TracePlaneSection(const MStlBase& mesh, const MMVector3d& n, double d, int inside = 0);
}  // namespace MNbhdSlicerUtilities

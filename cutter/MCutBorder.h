// The outline of a cut opening in wall coordinates (u, v), with the mesh
// point each border point stands for, and its triangulation.
//
// Usage: add closed contours (outer contours clockwise in (u, v), holes
// counter-clockwise), then PrepareBorder, SplitLargeContours and Triangulate.
// Line cuts add mesh points on the crossed edges and split the mesh triangles
// on them, so the fill keeps sharing its points with the mesh.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "host/MStlBorderFiller.h"

class MCutBorder : public MStlCutBorder {
public:
    explicit MCutBorder(MStlBase* mesh) : m_mesh(mesh) {}
    ~MCutBorder() override = default;

    MStlBase* GetMesh() const { return m_mesh; }

    // The mesh coordinates (0 x, 1 y, 2 z) that u and v are, where they are
    // one (-1 where not, as u along a wall): a cut by such a line puts its
    // new points exactly on it.
    void SetMeshCoordinates(int ofU, int ofV) { m_meshCoordinateOf[0] = ofU, m_meshCoordinateOf[1] = ofV; }

    // Sets every contour's clockwise flag from its signed area, removes
    // contours of fewer than three points and opens every hole by cutting
    // the whole border along the vertical line through the middle of the
    // hole's u range.
    void PrepareBorder();

    // Cuts contours of more than maxPoints points in two at the middle of
    // their longer box side until none is left that can still be made
    // smaller.
    void SplitLargeContours(long maxPoints);

    // Ear clipping of every contour: one triangle (p, t, q) per clipped ear,
    // oriented like its contour.  Triangles whose corners repeat a mesh point
    // (from repeated border points) are left out.
    void Triangulate(std::vector<std::array<MStlPoint*, 3>>& out) const;

    // Runs every contour the other way round; an open contour then starts at
    // its old last point.
    void ReverseContours();

    // Cuts every contour by the line u = value (axis 0) or v = value
    // (axis 1) into closed pieces on either side of it.  False when the
    // crossings could not be paired and the contours were kept.
    bool CutByLine(int axis, double value);

    // The area sum that decides the clockwise flag: the sum of the
    // trapezoids (v0 + v1)(u1 - u0) / 2 under the ring's edges, positive for
    // clockwise rings in (u, v).
    static double SignedArea(const MStlCutContour& contour);

private:
    struct Piece {
        MStlCutContour* contour;
        // Size of the contour the piece was cut from, and that contour's
        // position in the list given to the cut.
        uint32_t parentPoints;
        size_t parentIndex;
    };
    // Cuts the given contours only; the pieces replace them at the end of
    // the border and are returned.  Empty when no contour was crossed.
    std::vector<Piece> _CutContours(const std::vector<MStlCutContour*>& contours, int axis,
                                              double value, bool* paired = nullptr);

    MStlBase* m_mesh;
    int m_meshCoordinateOf[2] = {-1, -1};
};

// Splits a closed ring of mesh points that passes a point twice (where an
// outline touches itself) into simple rings there, in the ring's own order;
// rings of fewer than three points bound nothing and are left out.
void SplitIntoSimpleRings(const std::vector<MStlPoint*>& ring, std::vector<std::vector<MStlPoint*>>& out);

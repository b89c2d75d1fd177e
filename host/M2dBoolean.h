// Two-dimensional operations on borders of integer points, done with
// Clipper: orientation, self-intersection removal, booleans and offsets.
#pragma once

#include <array>
#include <vector>

#include "containers/M3dBorder.h"

namespace AU {

using M2dIntegerBorder = M3dBorder<long, void*, M3dBorderContour<long, void*, M3dBorderPoint<long, void*>>>;

// Orients every contour of at least three points by its nesting among the
// other contours: a contour inside an even number of others runs
// counter-clockwise (clockwise flag false), one inside an odd number runs
// clockwise (flag true).  A contour lies inside another when none of its
// vertices is outside the other and at least one is strictly inside, so
// contours that only overlap count as side by side.  Contours of
// fewer than three points or without area are left as they are.  When
// `depths` is given it receives each contour's nesting depth, in border
// order (-1 for a contour that was left as it is).
void OrientBorder2D(M2dIntegerBorder& border, std::vector<int>* depths);

// Rebuilds the border as the region its contours enclose under the non-zero
// winding rule, as closed, simple contours without self-intersections:
// outer contours counter-clockwise (clockwise flag false), holes clockwise
// (flag true), each contour before the contours nested in it.  Open
// contours are taken as closed.  Contours without area disappear and repeated points are merged; collinear
// points are kept.  A point keeps its user value when an input point had the
// same coordinates; points made at crossings get a null value.  Returns the
// number of contours in the rebuilt border, or -1 (border unchanged) when a
// coordinate is beyond what the clipper accepts (about ±4.6e18).
int BooleanRemoveSelfIntersections(M2dIntegerBorder& border);

}  // namespace AU

// Boolean operations between the regions of borders (non-zero winding), and
// the intersection test of their contours.
class M2dBoolean {
public:
    using Border = AU::M2dIntegerBorder;
    enum EOperation { eUnion, eIntersection, eDifference, eXor };

    // The first border added is the subject, later ones the clip.
    void ADD_BORDER(const Border& border);
    void Clear();
    // The result as simple contours (outer ones counter-clockwise, holes
    // clockwise) appended to `out`; false when the clipper refuses the input.
    bool Execute(EOperation operation, Border& out) const;
    // Whether any two edges of the added contours (of one contour or of two)
    // cross or touch anywhere but at the shared end of consecutive edges of
    // one contour.  The crossing points go into `points` when it is given.
    bool HasIntersections(std::vector<std::pair<long, long>>* points) const;
    // Area enclosed by the border's contours (non-zero winding), in square
    // integer units.
    static double Area(const Border& border);

private:
    std::vector<std::vector<std::pair<long, long>>> m_subject, m_clip;
};

// Offsets the region of a border: a positive offset moves every contour into
// the region (it shrinks), a negative one out of it (it grows), with round
// corners, so that every point of the result lies at least that distance
// from the input's contours and at most the arc tolerance more (three
// times it when points within the tolerance of the line through their
// neighbours were left out first, as they are from long outlines).  The result is simple contours
// (outer counter-clockwise, holes clockwise).
class M2dOffsetter {
public:
    using Border = AU::M2dIntegerBorder;

    void SetInputBorder(const Border* border) { m_input = border; }
    void SetOutputBorder(Border* border) { m_output = border; }
    // Largest distance between a round corner's arc and its chords, in
    // integer units (at least 0.25, and at least a ten-thousandth of the
    // offset, so that the arcs of a large offset stay a few hundred points
    // per turn).
    void SetArcTolerance(double tolerance) { m_arcTolerance = tolerance; }
    // Keeps only the part of the result within the window (borders
    // included): all that matters when the result is used inside it, and
    // what keeps the coordinates of a large offset in range.
    void SetClipWindow(long minX, long minY, long maxX, long maxY) {
        m_window = {minX, minY, maxX, maxY};
        m_clip = true;
    }
    // Replaces the output border's contours by the offset region; false
    // (output emptied) when there is no input or the clipper refuses it.
    bool CreateOffset(long offset);

private:
    const Border* m_input = nullptr;
    Border* m_output = nullptr;
    double m_arcTolerance = 1.0;
    bool m_clip = false;
    std::array<long, 4> m_window{};
};

// Two-dimensional orientation and self-intersection removal for borders of
// integer points, done with Clipper.
#pragma once

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

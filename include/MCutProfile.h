// The cutter's profile: closed two-dimensional polygons of integer points in
// the X-Y plane, and the corner rounder used to round them.
#pragma once

#include <vector>

#include "containers/M3dBorder.h"

using MCutProfilePoint = M3dBorderPoint<long, void*>;
using MCutProfileContour = M3dBorderContour<long, void*, MCutProfilePoint>;
using MCutProfileBorder = M3dBorder<long, void*, MCutProfileContour>;

// Computes a circular arc that replaces the corner C of the polyline P-C-N.
//
// Round() always leaves at least one output point.  The output is C alone
// when the radius or the tolerance is not positive, when P or N coincides
// with C, when the three points are collinear (straight on or a full
// reversal), when the arc would need no step at the given tolerance, or when
// any input is not finite.  The arc never uses more than the shorter leg, so
// a radius larger than the legs allow is reduced: after Round() GetRadius()
// returns the radius actually used.
class MRounder2D {
public:
    struct Point3 {
        double x = 0.0, y = 0.0, z = 0.0;
    };

    MRounder2D() = default;
    ~MRounder2D() = default;
    MRounder2D(const MRounder2D&) = default;
    MRounder2D& operator=(const MRounder2D&) = default;

    void SetCorner(double px, double py, double pz, double cx, double cy, double cz, double nx, double ny, double nz,
                   double radius, double tolerance);
    void Round();

    unsigned long NumPoints() const { return static_cast<unsigned long>(m_output.size()); }
    // Coordinates of output point i; 0 for an index out of range.
    double OutputX(unsigned long i) const { return i < m_output.size() ? m_output[i].x : 0.0; }
    double OutputY(unsigned long i) const { return i < m_output.size() ? m_output[i].y : 0.0; }
    double OutputZ(unsigned long i) const { return i < m_output.size() ? m_output[i].z : 0.0; }
    double GetRadius() const { return m_radius; }
    double GetTolerance() const { return m_tolerance; }

private:
    Point3 m_corner;
    Point3 m_previous;
    Point3 m_next;
    double m_radius = 0.0;
    double m_tolerance = 0.0;
    std::vector<Point3> m_output;
};

// The border of integer profile points.  Each point's user value holds its
// own-surface flag (null = false): when set, the cut surface along the edge
// that begins at the point goes into a surface of its own.
//
// Copying makes a deep copy: new contours and points with the same
// coordinates, flags and contour flags.
class MCutProfile : public MCutProfileBorder {
public:
    using Contour = MCutProfileContour;
    using Point = MCutProfilePoint;

    MCutProfile() = default;
    ~MCutProfile() override;
    MCutProfile(const MCutProfile& other) = default;
    MCutProfile& operator=(const MCutProfile& other) = default;

    static bool IsOwnSurface(const Point& p) { return p.GetData() != nullptr; }
    static void SetOwnSurface(Point& p, bool ownSurface);
    // Appends a point with z = 0 at the end of the contour's ring.
    static Point* AddProfilePoint(Contour& contour, long x, long y, bool ownSurface);

    // Orients every contour and removes self-intersections.
    //  - A contour with the clockwise flag is first made to run clockwise,
    //    one without it counter-clockwise.
    //  - Then every contour is oriented by its nesting (outer contours
    //    counter-clockwise, holes clockwise) and the region they enclose
    //    (non-zero winding) is rebuilt as closed simple contours: outer
    //    contours counter-clockwise with the clockwise flag false, holes
    //    clockwise with the flag true.
    //  - Open contours are taken as closed (their last point joins the first).
    //  - Contours that enclose no area (empty, one or two points, all points
    //    coincident or collinear) disappear; repeated points are merged.
    //  - A point keeps its own-surface flag when an input point with the same
    //    coordinates had it; points made at crossings get false.
    // An empty profile stays empty.
    void GiveRightSense();

    // Splits every edge longer than maxLength by repeated halving from its
    // start (midpoints truncated toward zero), and removes points that
    // coincide with their successor.  Every new point lies on the edge it
    // splits: where the truncated midpoint does not, the grid point on the
    // edge nearest the middle is taken, and an edge that passes no grid point
    // between its ends is kept as it is.  A limit below 2 is taken as 2, since
    // smaller limits cannot be reached on the integer grid.
    // A contour whose points all coincide comes down to one point, an edge of
    // length 0 to itself, and becomes empty.
    void LimitEdgeLength(long maxLength) const;

    // Replaces every corner of every contour by the arc MRounder2D computes
    // with the given radius and a tolerance of 0.01 model units, in ring
    // order; coordinates are truncated toward zero and own-surface flags
    // become false.  Each rounded contour keeps the closed flag of its
    // original; the clockwise flag is cleared.  A radius of 0 or less leaves
    // every point where it is (each corner gives its own point).  Empty
    // contours stay empty.  Returns true.
    bool MakeRound(long radius);

    // The orientation sum: over the ring's edges with x1 != x0, the sum of
    // (y0 + y1) * (x1 - x0) / 2, i.e. minus the enclosed signed area.
    // Negative for a counter-clockwise contour, 0 for an empty or flat one.
    static double OrientationSum(const Contour& contour);
};

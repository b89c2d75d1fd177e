// Coordinate system, lines and positions of the triangle trimming engine.
//
// MTriangleTrimCS        the coordinate system fixed to one triangle
// MTriangleTrimLine      a line A·a + B·b − C·w = 0 of that triangle's plane
// MTriangleTrimPosition  a point (a, b, w) of that plane, with the integer
//                        mesh point it stands for
//
// A position is origin + (a/w)·U + (b/w)·V with U = P2 − P0, V = P1 − P0;
// in (a/w, b/w) the triangle is the unit right triangle P0 = (0, 0),
// P1 = (0, 1), P2 = (1, 0).  Every calculation leaves w > 0.
//
// Exactness.  Mesh coordinates are 32-bit integers, so every difference
// (U, V, r = point − origin, segment directions) is below 2^32 in magnitude
// and is held exactly in a double.
//  - 2-D determinants of two differences (the projections, the edge
//    crossings, Cramer solves) stay below 2^53, and so are exact in plain
//    doubles, only while the differences stay below 2^26.
//  - 3×3 determinants (CalculateIntersectionWithLine, PASSES_SYSTEM) are
//    exact in plain doubles only while the differences stay below 2^17.
//  A mesh may hold differences up to 2^32, so all these determinants are
//  evaluated exactly in 128-bit integers (below 2^102 in magnitude).  The
//  exact (a, b, w) are then rounded to doubles in a way that keeps the signs
//  of a, b, w and of w − a − b, so the stored position lies on the same side
//  of every axis line (and on it) as the exact point.  Where the exact values
//  are below 2^53 the stored values are the exact values.  (One gap: a point
//  on the line a + b = w but outside another axis line may be stored just
//  off that line; its code is 4 either way.)  Long inputs (PASSES_SYSTEM,
//  the segment and 2-D crossings, CalculatePositionOfPoint2d) beyond ±2^33
//  are refused: false, or code 4.
//  - The sign tests (POSITION_TO_LINE, POSITION_TO_AXIS, POSITION_TO_SYSTEM,
//    Angle024's turn sign) and operator== are exact on the stored doubles for
//    any finite values: a floating filter decides almost every call, and
//    error-free products (fma) and sums decide the rest.
//  - The integer point x, y, z is a constructed value (truncated toward zero)
//    and may differ by one step from the exact truncation when a, b, w are
//    above 2^53.  It is clamped to the 32-bit range.
//
// Transforms.  A transformed vertex coordinate is truncated toward zero and
// clamped to the 32-bit range; a NaN coordinate becomes 0.
//
// Degenerate input.  For a zero-area triangle (U × V = 0) the projections
// have no solution: CalculatePositionOfPoint leaves a, b, w as they were and
// gives code 4 (outside); CalculatePositionOfPoint2d returns false;
// CalculateIntersectionWithLine and PASSES_SYSTEM find w = 0 and give code 4
// (the second returns false); nothing divides by zero.  Whenever w = 0 the
// integer point x, y, z is left unchanged and the code is 4.
#pragma once

#include <cstdint>

#include "host/MMath.h"
#include "host/MStlBase.h"

class MTriangleTrimLine {
public:
    MTriangleTrimLine() = default;
    // The full line of an axis (A, B and C); an axis above 2 gives (0, 0, 0).
    explicit MTriangleTrimLine(unsigned char axis);
    // The full axis line; an axis above 2 leaves the line unchanged.
    MTriangleTrimLine& operator=(unsigned char axis);

    // Sets A and B to those of the axis and keeps C.
    void SetAxisLine(unsigned char axis);
    void Set(double A, double B, double C) { m_a = A; m_b = B; m_c = C; }
    double GetA() const { return m_a; }
    double GetB() const { return m_b; }
    double GetC() const { return m_c; }
    // Direction (−B, A); the positive side lies to its right.
    double GetDX() const { return -m_b; }
    double GetDY() const { return m_a; }

    // Pseudo-angle in [0, 4]: 1 + cos for a counterclockwise turn from this
    // direction to the other's, 3 − cos otherwise; 0 if either is zero.
    double Angle024(const MTriangleTrimLine& other) const;

private:
    double m_a = 0.0;
    double m_b = 0.0;
    double m_c = 0.0;
};

class MTriangleTrimCS {
public:
    // One line per edge: axis i runs from point i to point (i + 1) mod 3 and
    // its positive side is the inside of the triangle.
    static const MTriangleTrimLine axis_line[3];

    MTriangleTrimCS() = default;

    void SetTriangle(MStlPoint* p0, MStlPoint* p1, MStlPoint* p2, const MMTransformMatrix* transform);
    void SetTriangle(DLIST_ELEMENT<MStlTriangle>* element, const MMTransformMatrix* transform);
    void SetTriangle(MStlTriangle* triangle, const MMTransformMatrix* transform);

    DLIST_ELEMENT<MStlTriangle>* GetTriangleElement() const { return m_element; }
    const MMPlaneEq<double>& GetPlane() const { return m_plane; }
    const MMVector3d& GetOrigin() const { return m_origin; }
    const MMVector3d& GetU() const { return m_u; }
    const MMVector3d& GetV() const { return m_v; }
    const MMVector3l& GetVertex(int i) const { return m_vertices[i]; }
    // U × V = 0: the projections of this system have no solution.
    bool IsDegenerate() const;

private:
    void _Build(const MMVector3l& p0, const MMVector3l& p1, const MMVector3l& p2);

    MMPlaneEq<double> m_plane{0.0, 0.0, 0.0, 0.0};
    MMVector3d m_origin;
    MMVector3d m_u;  // P2 − P0, coefficient a
    MMVector3d m_v;  // P1 − P0, coefficient b
    MMVector3l m_vertices[3];
    DLIST_ELEMENT<MStlTriangle>* m_element = nullptr;
};

class MTriangleTrimPosition {
public:
    // Position codes, and results of a test against one line.
    static constexpr unsigned char kOnLine = 3;
    static constexpr unsigned char kOutside = 4;   // negative side of a line
    static constexpr unsigned char kInside = 5;    // positive side of a line

    MTriangleTrimPosition() = default;

    void SetCS(MTriangleTrimCS* cs) { m_cs = cs; }
    MTriangleTrimCS* GetCS() const { return m_cs; }
    MStlPoint* GetPoint() const { return m_point; }
    void SetPoint(MStlPoint* p) { m_point = p; }
    int32_t GetX() const { return m_x; }
    int32_t GetY() const { return m_y; }
    int32_t GetZ() const { return m_z; }
    double GetA() const { return m_a; }
    double GetB() const { return m_b; }
    double GetW() const { return m_w; }
    unsigned char GetPositionCode() const { return m_code; }

    bool IS_ON_AXIS() const { return m_code < 4; }
    bool IsOutside() const { return m_code == 4; }
    // Homogeneous equality, exact: a·w' = a'·w and b·w' = b'·w.
    bool operator==(const MTriangleTrimPosition& other) const;
    void CopyXYZ(const MTriangleTrimPosition& other) { m_x = other.m_x; m_y = other.m_y; m_z = other.m_z; }
    // Sets the integer point that the position stands for, where the caller
    // rounds it itself (so that triangles sharing a side agree on it).
    void SetXYZ(int32_t x, int32_t y, int32_t z) { m_x = x; m_y = y; m_z = z; }

    // x, y, z := the world point of (a, b, w), truncated toward zero.
    void CALCULATE_XYZ(MTriangleTrimCS& cs);
    // Adds the mesh point (x, y, z); a null mesh means the mesh of the
    // system's triangle element.  Does nothing when there is no mesh.
    void AddPoint(MStlBase* mesh);

    // A·a + B·b − C·w, neither divided by w nor normalised.
    double DISTANCE_TO_LINE(const MTriangleTrimLine& line) const;
    // 5, 4 or 3 as that value is positive, negative or zero (exact sign).
    unsigned char POSITION_TO_LINE(const MTriangleTrimLine& line) const;
    unsigned char POSITION_TO_AXIS(unsigned char axis) const;

    void CalculateAsOffsetOnAxis(unsigned char axis, double offset, double length);
    void CalculateOnAxis(char axis, double d1, double d2);
    // CalculateAsOffsetOnAxis from exact integers (0 <= offset <= length,
    // length > 0), stored like every exact calculation; the code is the axis.
    void CalculateAsExactOffsetOnAxis(unsigned char axis, __int128 offset, __int128 length);
    void SetEndPointOfAxis(unsigned char axis, MStlTriangle& triangle);
    void CalculatePositionOfPoint(const MStlPoint* point);
    bool CalculatePositionOfPoint2d(long x, long y);
    void CalculateIntersectionWithLine(const MStlPoint* p, const MStlPoint* q);
    bool CalculateIntersectionOfAxisWithLine(char axis, MMVector3l& p, MMVector3l& q);
    void CalculateIntersectionOfAxisWithLine2d(char axis, long px, long py, long dx, long dy);
    bool PASSES_SYSTEM(long* const point, long* const direction, double& numerator, double& denominator);

private:
    double X(MTriangleTrimCS& cs) const;
    double Y(MTriangleTrimCS& cs) const;
    double Z(MTriangleTrimCS& cs) const;
    unsigned char POSITION_TO_SYSTEM() const;
    // Stores exact homogeneous coordinates (w normalised positive) with
    // sign-preserving rounding, then recomputes x, y, z and the code.
    void _StoreExact(__int128 a, __int128 b, __int128 w);
    // Recomputes x, y, z (unless w = 0) and the code.
    void _Finish();

    int32_t m_x = 0;
    int32_t m_y = 0;
    int32_t m_z = 0;
    double m_a = 0.0;
    double m_b = 0.0;
    double m_w = 0.0;
    unsigned char m_code = 4;
    MTriangleTrimCS* m_cs = nullptr;
    MStlPoint* m_point = nullptr;
};

// Intersection of one triangle with another, for the trimming engine.
//
// CALCULATE(first, second) writes the common segment of the two infos'
// triangles into both infos, each in its own triangle's coordinate system:
//  - list 0 takes the segment oriented so that the part of the triangle
//    below the other triangle's plane (negative signed distance) lies to the
//    right of it in (a/w, b/w), list 1 so that the part above does;
//  - coplanar triangles get a new list of type 2 (same facing) or 3
//    (opposite facing) holding the outline of their common region.
//
// Exactness.  Vertices are classed against the other plane by the exact
// sign of n · (Q − P0), n = (P1 − P0) × (P2 − P0), in 128-bit integers.  A
// crossing of a triangle's own edge is placed on that edge from the same
// exact values, so that the ends of the common segment are compared exactly
// wherever the values fit a double (below 2^53).  The integer point of a
// crossing is the exact crossing truncated toward zero, computed from the
// crossing edge's end points alone, so every triangle that meets that
// crossing (both triangles of a pair, and the neighbours on a shared edge)
// gets the same point.  The infos are meant to be built without a transform.
#pragma once

#include "MTriangleTrimIntersection.h"

class MTriangleTrimIntersectionCalculator {
public:
    // Vertex classes against the other triangle's plane.
    static constexpr unsigned char kAbove = 4;
    static constexpr unsigned char kBelow = 5;
    static constexpr unsigned char kOnPlane = 6;  // also a vertex both triangles share
    static constexpr unsigned char kUnclassified = 7;

    // The triangle beyond an edge that lies in the other triangle's plane.
    class MNeighbourInfo {
    public:
        MNeighbourInfo() = default;

        // Stores the neighbour, its vertex off the shared edge and the system
        // that vertex is measured against; without a usable neighbour the
        // info is cleared.
        void Set(DLIST_ELEMENT<MStlTriangle>* neighbour, MStlPoint* point, MTriangleTrimCS* plane);
        // Set for the triangle across the edge p–q (running q to p), or Clear.
        void Calculate(MStlPoint* p, MStlPoint* q, MTriangleTrimCS* plane);
        // Classes a point against the stored plane, then through the fold.
        void CalculatePosition(MStlPoint* point, double& distance, unsigned char& cls) const;
        // Re-classes a point against the fold made of the stored plane's
        // triangle and the neighbour (only when the neighbour bends off it).
        void RecalculatePosition(MStlPoint* point, double& distance, unsigned char& cls) const;
        void Clear();

        DLIST_ELEMENT<MStlTriangle>* GetNeighbour() const { return m_neighbour; }
        MStlPoint* GetPoint() const { return m_point; }
        double GetDistance() const { return m_distance; }
        unsigned char GetClass() const { return m_class; }
        double GetSecondDistance() const { return m_secondDistance; }
        unsigned char GetSecondClass() const { return m_secondClass; }
        double& SecondDistance() { return m_secondDistance; }
        unsigned char& SecondClass() { return m_secondClass; }

    private:
        DLIST_ELEMENT<MStlTriangle>* m_neighbour = nullptr;
        MStlPoint* m_point = nullptr;
        MTriangleTrimCS* m_plane = nullptr;
        MTriangleTrimCS m_system;
        double m_distance = 0.0;
        double m_secondDistance = 0.0;
        unsigned char m_class = kOnPlane;
        unsigned char m_secondClass = kOnPlane;
    };

    MTriangleTrimIntersectionCalculator() = default;

    // True when a segment was stored (crossing triangles), or the result of
    // the coplanar overlap.  False, with nothing added, for triangles that
    // share an edge, a degenerate triangle, a triangle wholly on one side of
    // the other's plane, and pieces that only touch.
    bool CALCULATE(MTriangleTrimInfo& first, MTriangleTrimInfo& second);

    // Results of the last CALCULATE, for inspection.
    unsigned char GetVertexClass(int triangle, int vertex) const { return m_class[triangle][vertex]; }
    bool IsRecalculated(int triangle) const { return m_recalculated[triangle] != 0; }
    const MNeighbourInfo& GetNeighbourInfo(int triangle) const { return m_neighbours[triangle]; }

private:
    bool CALCULATE_OVERLAP();
    void CALCULATE_POSITION_TO_SYSTEM(int t, MStlPoint& point, double& distance, unsigned char& cls) const;
    void RECALCULATE_POSITIONS(int t);
    void _Count(int i);
    void _Crossings(int i);
    bool _Overlap(int i);

    MStlTriangle* m_triangles[2] = {nullptr, nullptr};
    MTriangleTrimIntersection m_records[2];
    MTriangleTrimInfo* m_infos[2] = {nullptr, nullptr};
    unsigned char m_above[2] = {0, 0};
    unsigned char m_below[2] = {0, 0};
    unsigned char m_on[2] = {0, 0};
    unsigned char m_class[2][3] = {{kUnclassified, kUnclassified, kUnclassified},
                                   {kUnclassified, kUnclassified, kUnclassified}};
    double m_distance[2][3] = {{0, 0, 0}, {0, 0, 0}};
    unsigned char m_recalculated[2] = {0, 0};
    MTriangleTrimCS* m_planes[2] = {nullptr, nullptr};
    // Per triangle the rising [0] and falling [1] crossing of its own edges.
    MTriangleTrimPosition m_candidates[2][2];
    MNeighbourInfo m_neighbours[2];
};

// Local changes of a triangle mesh that keep a closed, manifold and
// consistently oriented mesh so: removing a point by collapsing it onto one
// of its neighbours, and flipping the edge between two triangles.
//
// A change is made only when it folds nothing: the mesh keeps the topology
// of a manifold (link condition, no edge gains a third triangle), no new
// triangle is degenerate or turns its normal by more than a limit, and the
// surface moves by no more than a limit (the removed point, or the far
// corner of a flipped pair, stays that close to every new triangle's plane).
// A point is removed only when its fan is one closed ring, so open borders
// stay where they are; with `oneSurface` the ring must also lie in one
// surface (the given one when there is one), which keeps the borders
// between surfaces.
#pragma once

#include <vector>

#include "host/MStlBase.h"

class MStlEdgeCollapse {
public:
    struct Limits {
        // Integer units.
        double MaximumDeviation = 10.0;
        // Radians.
        double MaximumNormalChange = 0.5;
    };

    MStlEdgeCollapse(MStlBase& mesh, const Limits& limits, const MStlSurface* surface = nullptr,
                     bool oneSurface = true);

    // How far moving `v` onto its neighbour `w` would move the surface (the
    // largest distance of `v` from a new triangle's plane); infinity when it
    // would break one of the rules above.
    double Deviation(MStlPoint* v, MStlPoint* w);
    // Removes `v` by moving it onto its neighbour `w`; false (and nothing
    // changed) when that would break one of the rules above.
    bool Collapse(MStlPoint* v, MStlPoint* w);
    // Tries the neighbours of `v` in the order of its ring; true once one
    // of them took it.
    bool CollapseOntoAnyNeighbour(MStlPoint* v);
    // Replaces `t` and the triangle across its edge (corner `edge`, corner
    // `edge`+1) by the two triangles on the other diagonal.
    bool Flip(MStlTriangle* t, int edge);

private:
    struct Corners {
        MStlPoint* a;  // the corner after the point
        MStlPoint* b;  // the one after that
    };
    // v's fan as a ring of (a, b) pairs, each triangle (v, a, b); false when
    // it is no single closed ring (inside one surface when that is asked).
    bool _Ring(const MStlPoint* v, std::vector<Corners>& ring) const;
    bool _Allowed(const MStlTriangle* t) const;
    // The new triangle (p, q, r) against the one it replaces (o, q, r): the
    // distance of o from its plane, or infinity when it is degenerate, turns
    // by more than the limit (against `fan`, the summed area vector of the
    // fan, where the old one is degenerate) or o lies beyond the deviation.
    double _Replaces(const MStlPoint* o, const MStlPoint* p, const MStlPoint* q, const MStlPoint* r,
                   const MMVector3d& fan) const;

    MStlBase& m_mesh;
    Limits m_limits;
    const MStlSurface* m_surface;
    bool m_oneSurface;
    double m_cosLimit;
    std::vector<Corners> m_ring;
    std::vector<MStlTriangleElement*> m_old;
};

// Whether p and q are joined by an edge.
bool AreNeighbours(const MStlPoint* p, const MStlPoint* q);

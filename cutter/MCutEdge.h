// One edge of the cut profile as the cut phases see it: the vertical wall
// over the segment from `start` to `start + delta`, with the cut segments
// that the division left on it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "containers/D_LIST.h"

class MStlPoint;
class MStlSurface;
class MStlTriangle;

// One piece of the mesh's intersection with a wall, made by dividing one
// triangle (or an edge of the mesh lying in the wall).  It runs from `start`
// to `end` the way the boundary of the inside part runs, so that chained
// segments go clockwise round each opening seen from outside the profile.
struct MCutEdgeIntersection {
    MStlPoint* start = nullptr;
    MStlPoint* end = nullptr;
};

struct MCutEdge {
    int64_t start[2] = {0, 0};  // x, y of the profile point where the edge begins
    int64_t delta[2] = {0, 0};  // dx, dy to the next profile point
    int64_t nextDelta[2] = {0, 0};  // delta of the wall that starts where this one ends
    // The surface that the cut surface along this edge goes into; null: the
    // mesh's default.
    MStlSurface* surface = nullptr;
    D_LIST<MCutEdgeIntersection> intersections;

    int64_t MinX() const { return delta[0] < 0 ? start[0] + delta[0] : start[0]; }
    int64_t MaxX() const { return delta[0] > 0 ? start[0] + delta[0] : start[0]; }
    int64_t MinY() const { return delta[1] < 0 ? start[1] + delta[1] : start[1]; }
    int64_t MaxY() const { return delta[1] > 0 ? start[1] + delta[1] : start[1]; }
};

// A mesh edge a -> b that lies in the wall of `edge`.
struct MCutWallEdge {
    MStlPoint* a = nullptr;
    MStlPoint* b = nullptr;
    MCutEdge* edge = nullptr;
};

// A triangle across side a-b of a divided triangle whose third corner is
// where a wall's crossing of a-b rounds to: on the grid it has no area once
// a-b passes through that corner.
struct MCutNeedle {
    DLIST_ELEMENT<MStlTriangle>* triangle = nullptr;
    MStlPoint* a = nullptr;
    MStlPoint* b = nullptr;
};

using MCutEdgeList = D_LIST<MCutEdge>;

// A wall's cut segments chained into the outline of an opening in the wall.
struct MCutChain {
    std::vector<MStlPoint*> points;
    bool closed = false;
};

// Mesh points on the vertical line through each profile corner, by corner.
using MCutCornerLinePoints = std::map<std::pair<int64_t, int64_t>, std::vector<MStlPoint*>>;

// Notes p on the line through corner (x, y), once.
inline void AddCornerLinePoint(MCutCornerLinePoints& lines, int64_t x, int64_t y, MStlPoint* p) {
    std::vector<MStlPoint*>& line = lines[{x, y}];
    if (std::find(line.begin(), line.end(), p) == line.end()) line.push_back(p);
}

// One edge of the cut profile as the cut phases see it.
#pragma once

#include "containers/D_LIST.h"

class MStlSurface;

struct MCutEdge {
    long start[2] = {0, 0};  // x, y of the profile point where the edge begins
    long delta[2] = {0, 0};  // dx, dy to the next profile point
    // The surface that the cut surface along this edge goes into; null: the
    // mesh's default.
    MStlSurface* surface = nullptr;
};

using MCutEdgeList = D_LIST<MCutEdge>;

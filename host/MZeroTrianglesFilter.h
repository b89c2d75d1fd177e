// Removal of zero-area triangles that keeps a mesh's edges matched.
#pragma once

#include <cstdint>

class MStlBase;

class ZeroTrianglesFilter {
public:
    // Removes every triangle whose corners lie on one line.  The neighbour
    // across the long side of such a sliver is split at its middle corner,
    // so that the sliver's two short sides find their triangle again and a
    // closed mesh stays closed.  Returns the number of slivers removed.
    static uint64_t RemoveZeroTriangles(MStlBase& mesh);
};

// Point-inside-model test on a closed triangle mesh: an AABB tree over a
// copy of the mesh answers inside, outside or on the surface with exact
// predicates.  The tree lives behind a pimpl so this header stays light.
#pragma once

#include <cstdint>
#include <memory>

class MStlBase;

class MPointInsideModelChecker {
public:
    enum EQueryResult { eInside = 0, eOutside = 1, eOnBoundary = 2, eNotPreprocessed = 3 };

    MPointInsideModelChecker();
    ~MPointInsideModelChecker();
    MPointInsideModelChecker(const MPointInsideModelChecker&) = delete;
    MPointInsideModelChecker& operator=(const MPointInsideModelChecker&) = delete;

    // Builds the tree on a copy of `stl`.  False (and no tree) when the mesh
    // is empty, not closed or has triangles the halfedge structure refuses.
    bool Preprocess(const MStlBase& stl);
    bool IsPreprocessed() const;

    EQueryResult QueryPoint(double x, double y, double z) const;
    EQueryResult QueryPoint(int32_t x, int32_t y, int32_t z) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Coarsens a surface by removing points whose neighbourhood stays nearly
// flat without them: each removal collapses a point onto one of its
// neighbours.  Only points whose whole fan lies in the surface and forms a
// closed ring are removed, so the surface's border, and every other surface
// of the mesh, is left as it is; the mesh stays manifold and keeps its
// orientation.
#pragma once

#include <cstdint>

#include "host/MStlBase.h"

class MStlBaseOperatorReduceExBase {
public:
    struct MParams {
        // Largest distance, in integer units, between a removed point and
        // each triangle that replaces its fan.
        double MaximumDeviation = 10.0;
        // Sweeps over the surface's points; a sweep that removes nothing ends early.
        int32_t Passes = 3;
        // Largest angle, in radians, by which a triangle's normal may turn
        // when one of its corners moves.
        double MaximumNormalChange = 1.0;
    };
    explicit MStlBaseOperatorReduceExBase(const MParams& params) : m_params(params) {}
    uint64_t GetNumberOfRemovedPoints() const { return m_removed; }

protected:
    // Reduces the triangles of `surface` (every triangle of the mesh when null).
    void _Reduce(MStlBase& mesh, MStlSurface* surface);

    MParams m_params;
    uint64_t m_removed = 0;
};

template <class Container>
class MStlBaseOperatorReduceEx;

// Reduces the triangles of one surface.
template <>
class MStlBaseOperatorReduceEx<MStlSurfaceContainer> : public MStlBaseOperatorReduceExBase {
public:
    MStlBaseOperatorReduceEx(MStlSurfaceContainer& container, const MParams& params)
        : MStlBaseOperatorReduceExBase(params), m_container(container) {}
    bool Operate() {
        _Reduce(*m_container.GetStl(), &m_container.GetSurface());
        return true;
    }

private:
    MStlSurfaceContainer& m_container;
};

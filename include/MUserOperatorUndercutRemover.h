// Turns a mesh into the solid that is left when every undercut, seen from a
// viewing direction, is blocked out.
//
// The mesh is rasterised on a regular grid laid across the direction; every
// grid point keeps the nearest depth, seen by a viewer looking along the
// direction, of the surface within the four grid cells around it, so that
// the sheet between the grid points never cuts into the model.  With a draft angle the height field is widened so
// that its walls lean by at least that angle.  The result goes into the
// caller's surfaces: a top sheet following the height field and side walls
// into the output surface, a flat bottom sheet one cell behind the model
// into the bottom surface.  Together they form a closed, outward-oriented
// solid that contains the input.
//
// The angulated mode looks along a leaned direction that varies with height
// and with the distance from a centre: it casts rays into a triangle tree of
// the mesh and writes a reduced top sheet, closed by a bottom surface.
#pragma once

#include <cstdint>

#include "host/MMath.h"
#include "host/MProgress.h"

class MStlBase;
class MStlSurface;

namespace UndercutRemoverUtils {
struct Grid;
}

template <class T, int N>
struct MTriangle {
    MMVector<T, N> p[3];
};

class MUserOperatorUndercutRemover {
public:
    struct MAngulatedParams {
        bool Enabled = false;
        // Sideways offset of the leaned view between TopZ and BottomZ, in
        // integer units.
        double OffsetX = 0.0, OffsetY = 0.0;
        // Extra sideways offset in integer units per model unit of distance
        // from the centre.
        double SpreadX = 0.0, SpreadY = 0.0;
        double CenterX = 0.0, CenterY = 0.0;
        // At TopZ the offset is zero, at BottomZ it is full.
        int32_t TopZ = 0, BottomZ = 0;
        // One-cell growth passes of the height field; each also widens the
        // grid margin by a cell.
        uint64_t ExtensionSteps = 0;
    };
    struct MParams {
        MAngulatedParams Angulated;
        // Degrees.  Widening applies for 0 < DraftAngle < 90; any other value
        // (0, negative, 90 and above, NaN) switches it off.
        double DraftAngle = 5.0;
        // Grid spacing in integer mesh units; must be positive.
        int32_t CellSize = 1000;
        // Bytes the run may take at its peak (grid, working arrays and the
        // solid it adds to the output mesh), estimated before anything is
        // allocated: about 700 bytes per grid point.
        uint64_t MemoryBudget = uint64_t(4) << 30;
    };
    enum EReturnCode : int32_t {
        eSuccess = 0,
        // No input or output surface (or no bottom surface in the angulated
        // mode), an input without triangles, a zero or non-finite direction
        // in the straight mode, or CellSize <= 0.  Nothing is written.
        eInvalidInput = 1,
        // The progress delegate asked to stop; nothing is written.
        eCancelled = 2,
        // The grid would exceed kMaxGridPoints, or would need more memory
        // than MParams::MemoryBudget, or memory ran out while the solid was
        // built; nothing is written.
        eGridTooLarge = 3,
        // The solid would reach beyond the 32-bit coordinate range (a mesh
        // at the range's edge, seen toward that edge, leaves no room for
        // the bottom sheet behind it); nothing is written.
        eOutOfRange = 4,
    };
    // Grid points above which Operate refuses the grid, whatever the budget.
    static constexpr double kMaxGridPoints = double(1u << 24);
    // The peak memory, in bytes, of a run on a grid of that many points:
    // the height grid and the working arrays, and the solid's points (two
    // per grid point) and triangles (about four per grid point).
    static double EstimatedBytes(double gridPoints, bool widening);

    MUserOperatorUndercutRemover() = default;
    MUserOperatorUndercutRemover(const MUserOperatorUndercutRemover&) = default;
    MUserOperatorUndercutRemover(MUserOperatorUndercutRemover&&) = default;
    MUserOperatorUndercutRemover& operator=(const MUserOperatorUndercutRemover&) = default;
    MUserOperatorUndercutRemover& operator=(MUserOperatorUndercutRemover&&) = default;

    void SetInputModel(const MStlBase* model) { m_input = model; }
    // Receives the top sheet and the side walls (required).
    void SetOutputSurface(MStlSurface* surface) { m_output = surface; }
    // Receives the bottom sheet; may be null in the straight mode (the
    // bottom is then left out), required in the angulated mode.
    void SetOutputBottomSurface(MStlSurface* surface) { m_bottom = surface; }
    // Stored unchanged; the straight mode normalises it in place.
    void SetDirection(const MMVector<double, 3>& direction) { m_direction = direction; }
    void SetParams(const MParams& params) { m_params = params; }
    const MMVector<double, 3>& GetDirection() const { return m_direction; }
    const MParams& GetParams() const { return m_params; }

    // Runs the whole operation and appends its result to the output
    // surfaces.  On any code but eSuccess the outputs are left as they were.
    EReturnCode Operate(QelSDK::Common::ProgressPtr progress = nullptr);

private:
    using Grid = UndercutRemoverUtils::Grid;
    EReturnCode _InitializeGrid(Grid& grid);
    bool _AddTriangles(Grid& grid);
    void _VoxelizeProcessTriangle(Grid& grid, const MTriangle<double, 3>& triangle);
    static void _VoxelizeUpdateVoxel(Grid& grid, uint64_t i, uint64_t j, double h);
    static void _VoxelizeUpdateVoxelWithMaxValue(Grid& grid, uint64_t i, uint64_t j, double h);
    bool _ApplyWidening(Grid& grid);
    bool _AddShiftedTriangles(Grid& grid);
    bool _ExtendHeights(Grid& grid, uint64_t count, bool useMinimum);
    bool _PlaceBottom(Grid& grid) const;
    bool _GenerateOutputModel(Grid& grid);
    bool _GenerateReducedOutputModel(Grid& grid, double tolerance);

    const MStlBase* m_input = nullptr;
    MStlSurface* m_output = nullptr;
    MStlSurface* m_bottom = nullptr;
    MParams m_params;
    MMVector<double, 3> m_direction;
};

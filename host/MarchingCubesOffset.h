// The offset surface of a closed mesh at a signed distance (positive
// outward), through a sampled distance field: the mesh becomes a narrow-band
// signed distance grid, the grid is meshed at the offset's level, and the
// result comes back on the integer grid as a closed, manifold, consistently
// oriented mesh.
//
// The grid is refused, before anything is allocated, when it would need
// more voxels along an axis, or more memory, than the parameters allow.
#pragma once

#include <cstdint>

#include "host/MProgress.h"
#include "host/MStlBase.h"

class MarchingCubesOffset {
public:
    struct Parameters {
        const MStlBase* Source = nullptr;
        MStlBase* Target = nullptr;
        // Integer units, positive outward.
        double Offset = 0.0;
        // Edge of a voxel in integer units (never below MinimumVoxelSize).
        double VoxelSize = 1.0;
        // Most voxels along any axis of the grid.
        int32_t MaximumVoxelsPerAxis = 2048;
        // Integer units.
        double MinimumVoxelSize = 1.0;
        // 0: every voxel gets its own faces; up to 1: flat regions are
        // meshed with fewer, larger faces.
        double Adaptivity = 0.001;
        // Voxels of the distance band beyond the offset on either side.
        int32_t BandVoxels = 5;
        // Most memory the grid may take, in kilobytes.
        int64_t MaximumKilobytes = 1000000;
        // Edges shorter than this fraction of a voxel are collapsed once the
        // points are on the integer grid.
        double CollapseRatio = 0.2;
        // Sweeps of that clean-up (0: until one changes nothing).
        int32_t CleanupPasses = 2;
        // The result's faces look towards the source surface: outward for a
        // negative offset, inward for a positive one (invert it to get the
        // grown solid).  Off: always outward.
        bool FaceSource = false;
        // Shells of the result that enclose no volume to speak of (specks the
        // meshing leaves at narrow places) are removed.
        bool RemoveNoiseShells = true;
    };

    enum EResult : int32_t {
        eFailure = 0,       // the result would not be a closed, oriented mesh
        eSuccess = 1,
        eInvalidInput = 2,  // no source or target, source empty or open, parameters not finite
        eGridTooLarge = 3,
        eEmptyResult = 4,   // the offset leaves nothing (an inward offset past the middle)
        eCancelled = 5,
    };

    void SetParameters(const Parameters& parameters) { m_params = parameters; }
    // Progress step "MarchingCubesOffset.Operate"; cancellation is polled
    // inside the grid work too.  The target is written only on success.
    EResult Operate(QelSDK::Common::ProgressPtr progress = nullptr);

    // The grid's voxel size and size in voxels of the last Operate.
    double GetVoxelSize() const { return m_voxel; }
    int64_t GetVoxelsPerAxis() const { return m_voxels; }

private:
    Parameters m_params;
    double m_voxel = 0.0;
    int64_t m_voxels = 0;
};

// Boolean undercut of an upper part over (or under) a lower part.
//
// The part of the upper mesh inside the lower mesh's outer shells is swept
// vertically into a notch volume, cut to the lower mesh; the notch is joined
// to the upper mesh, and a hole tool made from it is subtracted from the
// lower mesh.  Everything runs on working copies over exact coordinates,
// rounded to the grid once per result; the upper and lower meshes receive
// their results only when every step succeeded.
#pragma once

#include <cstdint>
#include <memory>

#include "host/MProgress.h"
#include "host/MStlBase.h"

namespace AU {
class ExactSolid;
}

class MStlBaseOperatorBooleanUndercut {
public:
    struct Params {
        // Integer mesh units.  0: the hole tool is the notch with its points
        // near the lower surface lifted by 3 units.  Otherwise the tool is
        // the notch offset by this much by a volume offset: grown (a
        // clearance) when positive; shrunk when negative, with its upward
        // faces extended to 3 units above the notch so that it still
        // reaches through the lower surface.
        double Offset = 0.0;
        // 0: the notch hangs down from the upward-facing faces; otherwise it
        // rises from the downward-facing faces.
        int32_t Direction = 0;
    };

    enum EReturnCode : int32_t {
        eSuccess = 0,
        eFailure = 1,
        eEmptyIntermediate = 2,
        eCancelled = 3,
    };

    MStlBaseOperatorBooleanUndercut() = default;
    MStlBaseOperatorBooleanUndercut(const MStlBaseOperatorBooleanUndercut&) = default;
    MStlBaseOperatorBooleanUndercut(MStlBaseOperatorBooleanUndercut&&) = default;
    MStlBaseOperatorBooleanUndercut& operator=(const MStlBaseOperatorBooleanUndercut&) = default;
    MStlBaseOperatorBooleanUndercut& operator=(MStlBaseOperatorBooleanUndercut&&) = default;

    void SetUpperStl(MStlBase* upper) { m_upper = upper; }
    void SetLowerStl(MStlBase* lower) { m_lower = lower; }
    void SetParams(const Params& params) { m_params = params; }

    EReturnCode Operate(QelSDK::Common::ProgressPtr progress = nullptr);
    // The volume offset's result for the last hole tool made by offset
    // (MarchingCubesOffset::EResult: 1 success, 3 grid too large, ...); 0
    // when none was made.
    int32_t GetOffsetResult() const { return m_offsetResult; }

private:
    EReturnCode _Operate(QelSDK::Common::IncrementalProgressReporter& reporter);
    // The shells of non-negative volume of a mesh with several shells; null
    // when the mesh has one shell and is used as it is.
    std::unique_ptr<MStlBase> BuildOuterShellStl(MStlBase* mesh);
    bool _CreateNotch(const AU::ExactSolid& inside, const AU::ExactSolid& lower, bool upward, AU::ExactSolid& part,
                      AU::ExactSolid& notch, QelSDK::Common::ProgressPtr progress);
    bool _JoinUpper(const AU::ExactSolid& outside, const AU::ExactSolid& part, MStlBase& result,
                    QelSDK::Common::ProgressPtr progress);
    bool CreateHole(const AU::ExactSolid& lower, const MStlBase& lowerMesh, const AU::ExactSolid& notch,
                    MStlBase& holed, QelSDK::Common::ProgressPtr progress);
    void _LiftedTool(const MStlBase& lower, const AU::ExactSolid& notch, AU::ExactSolid& tool);
    bool _OffsetTool(const AU::ExactSolid& notch, AU::ExactSolid& tool,
                     QelSDK::Common::IncrementalProgressReporter& reporter);
    bool _ExtendStubs(AU::ExactSolid& tool, const MStlBase& toolMesh, const MStlBase& notch,
                      QelSDK::Common::ProgressPtr progress);

    Params m_params;
    int32_t m_offsetResult = 0;
    MStlBase* m_upper = nullptr;
    MStlBase* m_lower = nullptr;
};

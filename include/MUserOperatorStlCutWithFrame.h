// Cuts a closed mesh with a bounded plane: a rectangle (the frame) spanned
// by two edge vectors from an origin, in the plane through the origin whose
// normal is the frame's third axis.  Only section contours lying wholly
// inside the rectangle are cut; each opening is closed by a pair of
// coincident, oppositely oriented interface surfaces.  The shells of the
// result are sorted by the side from which they reach the cut: "Above",
// "Below", "Without cut", or unclassified when they reach it from both.
// A cavity goes with the smallest shell that encloses it.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "host/MMath.h"
#include "host/MProgress.h"
#include "host/MStlBase.h"

class MUserOperatorStlCutWithFrame {
public:
    enum EReturnCode : int32_t {
        eCutOk = 0,
        // A section contour reached into the frame but was left uncut: it
        // crossed the frame's edge, was open, or could not be filled.
        eCutPartial = 1,
        eNoInputMesh = 2,
        eMeshNotClosed = 3,
        eHybridMesh = 4,
        eCancelled = 5,
        // Memory ran out; no result is delivered.
        eOutOfMemory = 6,
        // A closed, oriented mesh gave a part that is not (where the mesh
        // crosses itself on the plane, say); no result is delivered.
        eCutNotClosed = 7,
    };

    MUserOperatorStlCutWithFrame();
    ~MUserOperatorStlCutWithFrame();
    MUserOperatorStlCutWithFrame(const MUserOperatorStlCutWithFrame&) = delete;
    MUserOperatorStlCutWithFrame& operator=(const MUserOperatorStlCutWithFrame&) = delete;

    // The mesh is read, never changed; it must outlive Operate.
    void SetStl(const MStlBase& mesh) { m_input = &mesh; }
    // Frame in the mesh's internal units: U and V span the rectangle, W is
    // the plane's normal ("above" is the side W points to).
    void SetFrame(const MFrame<double>& frame) { m_frame = frame; }

    EReturnCode Operate(QelSDK::Common::ProgressPtr progress = nullptr);

    // Each getter moves its result out; a second call returns nothing.
    std::unique_ptr<MStlBase> GetOutputModelAbove() { return std::move(m_above); }
    std::unique_ptr<MStlBase> GetOutputModelBelow() { return std::move(m_below); }
    std::unique_ptr<MStlBase> GetOutputModelShellsWithoutCut() { return std::move(m_withoutCut); }
    std::vector<std::unique_ptr<MStlBase>> GetOutputModelsUnclassifiedShells() { return std::exchange(m_unclassified, {}); }

private:
    EReturnCode _Operate(QelSDK::Common::ProgressPtr progress);
    bool _PartsClosed() const;

    MFrame<double> m_frame;
    const MStlBase* m_input = nullptr;
    std::unique_ptr<MStlBase> m_above, m_below, m_withoutCut;
    std::vector<std::unique_ptr<MStlBase>> m_unclassified;
};

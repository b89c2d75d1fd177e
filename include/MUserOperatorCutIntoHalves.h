// Splits a source mesh into the part inside a cutting element and the part
// outside it: a cutting mesh (placed by a transform) or a plane in model
// units (below the plane counts as inside).
#pragma once

#include <cstdint>
#include <memory>

#include "host/MMath.h"
#include "host/MStlBase.h"

class MUserOperatorCutIntoHalves {
public:
    enum EResultCode : int32_t {
        eResultOk = 0,
        eNoCuttingElement = 1,
        eNoSourceModel = 2,
        eNoCuttingModel = 3,
        eCutFailed = 4,
        eTooFewPolylinePoints = 5,
        eSelfIntersectingPolyline = 6,
    };

    MUserOperatorCutIntoHalves();
    ~MUserOperatorCutIntoHalves();
    MUserOperatorCutIntoHalves(const MUserOperatorCutIntoHalves&) = delete;
    MUserOperatorCutIntoHalves& operator=(const MUserOperatorCutIntoHalves&) = delete;

    void SetSourceModel(const MStlBase& source);
    void SetOutputModelInside(MStlBase& inside);
    void SetOutputModelOutside(MStlBase& outside);
    // Each call selects its cutting element; the others stay stored.
    void SetCuttingModel(const MStlBase& cutter, const MMTransformMatrix& transform);
    void SetCuttingPlane(const MMPlane& plane);
    void SetLeaveUnidentifiedFeatures(bool leave);

    EResultCode Operate();

    // The outputs in use after Operate: the caller's, or the operator's own
    // (valid while the operator lives).
    MStlBase* GetOutputModelInside() const;
    MStlBase* GetOutputModelOutside() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

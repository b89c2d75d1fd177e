// Splits a source mesh into the part inside a cutting element and the part
// outside it: a cutting mesh (placed by a transform), a plane in model
// units (below the plane counts as inside), or a closed polyline drawn on
// the screen and extruded along the view direction.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

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
    // Polyline points in internal units of the drawing plane; the transform
    // places that plane (its z axis is the view direction) in model space.
    void SetCuttingPolyline(const std::vector<MMVector<long, 2>>& points, const MMTransformMatrix& transform);
    // Where the source stands while the polyline cuts it; both halves come
    // back in the source's own frame.
    void SetScreenTransform(const MMTransformMatrix& transform);
    void SetLeaveUnidentifiedFeatures(bool leave);

    EResultCode Operate();

    // The outputs in use after Operate: the caller's, or the operator's own
    // (valid while the operator lives).
    MStlBase* GetOutputModelInside() const;
    MStlBase* GetOutputModelOutside() const;

private:
    EResultCode _Operate();
    EResultCode _Split();
    EResultCode _CutByPolyline();

    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

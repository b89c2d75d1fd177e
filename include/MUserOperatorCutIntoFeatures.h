// Sorts everything of a source mesh into two of its own features: the part
// inside a cutting element and the part outside.  The element is a cutting
// mesh, a plane in the mesh's internal units (below the plane counts as
// inside), or a closed polyline drawn in a plane and extruded along that
// plane's normal.  No triangle leaves the source.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/MMath.h"
#include "host/MStlBase.h"

class MUserOperatorCutIntoFeatures {
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

    MUserOperatorCutIntoFeatures();
    ~MUserOperatorCutIntoFeatures();
    MUserOperatorCutIntoFeatures(const MUserOperatorCutIntoFeatures&) = delete;
    MUserOperatorCutIntoFeatures& operator=(const MUserOperatorCutIntoFeatures&) = delete;

    void SetSourceModel(MStlBase& source);
    // Features of the source; when none is set, Operate adds "Insides" and
    // "Outsides" and keeps using them on later runs.
    void SetOutputFeatureInside(MStlFeature& inside);
    void SetOutputFeatureOutside(MStlFeature& outside);
    // Each call selects its cutting element; the others stay stored.
    void SetCuttingModel(const MStlBase& cutter);
    void SetCuttingPlane(const MMPlane& plane);
    void SetCuttingPolyline(const std::vector<MMVector<long, 2>>& points, const MMTransformMatrix& transform);
    void SetLeaveUnidentifiedFeatures(bool leave);

    EResultCode Operate();

    MStlFeature* GetOutputFeatureInside() const;
    MStlFeature* GetOutputFeatureOutside() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

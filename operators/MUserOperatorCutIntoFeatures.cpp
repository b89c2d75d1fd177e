#include "MUserOperatorCutIntoFeatures.h"

#include "MCutFunctions.h"

struct MUserOperatorCutIntoFeatures::Impl {
    enum Mode : int32_t { eNone = 0, eModel = 1, ePlane = 2, ePolyline = 3 };
    int32_t mode = eNone;
    MStlBase* source = nullptr;
    MStlFeature* inside = nullptr;
    MStlFeature* outside = nullptr;
    const MStlBase* cutter = nullptr;
    MMPlane plane;
    std::vector<MMVector<long, 2>> polyline;
    MMTransformMatrix polylineTransform;
    bool leaveUnidentified = false;
};

MUserOperatorCutIntoFeatures::MUserOperatorCutIntoFeatures() : m_impl(std::make_unique<Impl>()) {}
MUserOperatorCutIntoFeatures::~MUserOperatorCutIntoFeatures() = default;

void MUserOperatorCutIntoFeatures::SetSourceModel(MStlBase& source) { m_impl->source = &source; }
void MUserOperatorCutIntoFeatures::SetOutputFeatureInside(MStlFeature& inside) { m_impl->inside = &inside; }
void MUserOperatorCutIntoFeatures::SetOutputFeatureOutside(MStlFeature& outside) { m_impl->outside = &outside; }
void MUserOperatorCutIntoFeatures::SetCuttingModel(const MStlBase& cutter) {
    m_impl->mode = Impl::eModel;
    m_impl->cutter = &cutter;
}
void MUserOperatorCutIntoFeatures::SetCuttingPlane(const MMPlane& plane) {
    m_impl->mode = Impl::ePlane;
    m_impl->plane = plane;
}
void MUserOperatorCutIntoFeatures::SetCuttingPolyline(const std::vector<MMVector<long, 2>>& points,
                                                      const MMTransformMatrix& transform) {
    m_impl->mode = Impl::ePolyline;
    m_impl->polyline = points;
    m_impl->polylineTransform = transform;
}
void MUserOperatorCutIntoFeatures::SetLeaveUnidentifiedFeatures(bool leave) { m_impl->leaveUnidentified = leave; }
MStlFeature* MUserOperatorCutIntoFeatures::GetOutputFeatureInside() const { return m_impl->inside; }
MStlFeature* MUserOperatorCutIntoFeatures::GetOutputFeatureOutside() const { return m_impl->outside; }

MUserOperatorCutIntoFeatures::EResultCode MUserOperatorCutIntoFeatures::Operate() {
    Impl& d = *m_impl;
    if (!d.source) return eNoSourceModel;
    if (!d.inside) d.inside = d.source->AddFeature(L"Insides");
    if (!d.outside) d.outside = d.source->AddFeature(L"Outsides");
    // The cut functions work on a cutter of their own: the caller's stays
    // as given.
    MStlBase cutter;
    MMVector3d normal;
    switch (d.mode) {
    case Impl::eModel:
        if (!d.cutter) return eNoCuttingModel;
        cutter.Copy(*d.cutter);
        break;
    case Impl::ePlane:
        AU::CreateCuttingStl(cutter, *d.source, d.plane);
        normal = d.plane.GetNormal();
        break;
    case Impl::ePolyline:
        if (d.polyline.size() < 3) return eTooFewPolylinePoints;
        if (AU::PolylineIntersectsItself(d.polyline)) return eSelfIntersectingPolyline;
        AU::CreateCuttingStl(cutter, *d.source, d.polyline, d.polylineTransform);
        break;
    default:
        return eNoCuttingElement;
    }
    const int32_t code = AU::CutInSourceNoTransform(d.inside, d.outside, *d.source, cutter, normal[0], normal[1],
                                                    normal[2], d.leaveUnidentified);
    return code == 0 ? eResultOk : eCutFailed;
}

#include "MUserOperatorCutIntoHalves.h"

#include "MCutFunctions.h"

struct MUserOperatorCutIntoHalves::Impl {
    enum Mode : int32_t { eNone = 0, eModel = 1, ePlane = 2 };
    int32_t mode = eNone;
    const MStlBase* source = nullptr;
    MStlBase* inside = nullptr;
    MStlBase* outside = nullptr;
    MStlBase internalInside;
    MStlBase internalOutside;
    const MStlBase* cutter = nullptr;
    MMTransformMatrix cutterTransform;
    MMPlane plane;
    bool leaveUnidentified = false;
};

MUserOperatorCutIntoHalves::MUserOperatorCutIntoHalves() : m_impl(std::make_unique<Impl>()) {}
MUserOperatorCutIntoHalves::~MUserOperatorCutIntoHalves() = default;

void MUserOperatorCutIntoHalves::SetSourceModel(const MStlBase& source) { m_impl->source = &source; }
void MUserOperatorCutIntoHalves::SetOutputModelInside(MStlBase& inside) { m_impl->inside = &inside; }
void MUserOperatorCutIntoHalves::SetOutputModelOutside(MStlBase& outside) { m_impl->outside = &outside; }
void MUserOperatorCutIntoHalves::SetCuttingModel(const MStlBase& cutter, const MMTransformMatrix& transform) {
    m_impl->mode = Impl::eModel;
    m_impl->cutter = &cutter;
    m_impl->cutterTransform = transform;
}
void MUserOperatorCutIntoHalves::SetCuttingPlane(const MMPlane& plane) {
    m_impl->mode = Impl::ePlane;
    m_impl->plane = plane;
}
void MUserOperatorCutIntoHalves::SetLeaveUnidentifiedFeatures(bool leave) { m_impl->leaveUnidentified = leave; }
MStlBase* MUserOperatorCutIntoHalves::GetOutputModelInside() const { return m_impl->inside; }
MStlBase* MUserOperatorCutIntoHalves::GetOutputModelOutside() const { return m_impl->outside; }

MUserOperatorCutIntoHalves::EResultCode MUserOperatorCutIntoHalves::Operate() {
    Impl& d = *m_impl;
    if (!d.source) return eNoSourceModel;
    if (!d.inside) d.inside = &d.internalInside;
    if (!d.outside) d.outside = &d.internalOutside;
    int32_t code = 0;
    switch (d.mode) {
    case Impl::eModel: {
        if (!d.cutter) return eNoCuttingModel;
        if (d.inside == d.outside || d.outside == d.source || d.outside == d.cutter || d.inside == d.cutter)
            return eCutFailed;
        if (d.inside != d.source) d.inside->Copy(*d.source);
        // The cutter is placed on a private copy: the caller's stays as given.
        MStlBase cutter;
        cutter.Copy(*d.cutter);
        double transform[16];
        d.cutterTransform.ConvertToDouble16(transform);
        code = AU::CutAndLeaveInModel(*d.inside, cutter, transform, *d.outside, 0, 0, 0, d.leaveUnidentified, false);
        break;
    }
    case Impl::ePlane:
        code = AU::CutWithPlane(*d.inside, *d.outside, const_cast<MStlBase&>(*d.source), d.plane, nullptr);
        break;
    default:
        return eNoCuttingElement;
    }
    return code == 0 ? eResultOk : eCutFailed;
}

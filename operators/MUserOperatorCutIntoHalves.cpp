#include "MUserOperatorCutIntoHalves.h"

#include <new>

#include "MCutFunctions.h"
#include "host/MStlBaseOperatorFixer.h"
#include "host/MStlChecker.h"

struct MUserOperatorCutIntoHalves::Impl {
    enum Mode : int32_t { eNone = 0, eModel = 1, ePlane = 2, ePolyline = 3 };
    int32_t mode = eNone;
    const MStlBase* source = nullptr;
    MStlBase* inside = nullptr;
    MStlBase* outside = nullptr;
    MStlBase internalInside;
    MStlBase internalOutside;
    const MStlBase* cutter = nullptr;
    MMTransformMatrix cutterTransform;
    MMPlane plane;
    std::vector<MMVector<long, 2>> polyline;
    MMTransformMatrix polylineTransform;
    MMTransformMatrix screenTransform;
    bool leaveUnidentified = false;
    bool insideSubstituted = false;
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
void MUserOperatorCutIntoHalves::SetCuttingPolyline(const std::vector<MMVector<long, 2>>& points,
                                                    const MMTransformMatrix& transform) {
    m_impl->mode = Impl::ePolyline;
    m_impl->polyline = points;
    m_impl->polylineTransform = transform;
}
void MUserOperatorCutIntoHalves::SetScreenTransform(const MMTransformMatrix& transform) { m_impl->screenTransform = transform; }
void MUserOperatorCutIntoHalves::SetLeaveUnidentifiedFeatures(bool leave) { m_impl->leaveUnidentified = leave; }
MStlBase* MUserOperatorCutIntoHalves::GetOutputModelInside() const { return m_impl->inside; }
MStlBase* MUserOperatorCutIntoHalves::GetOutputModelOutside() const { return m_impl->outside; }

// Memory running out is a failed cut.
MUserOperatorCutIntoHalves::EResultCode MUserOperatorCutIntoHalves::Operate() {
    try {
        return _Operate();
    } catch (const std::bad_alloc&) {
        return eCutFailed;
    }
}

// Halves of a closed mesh are closed: a cut that leaves one open (where the
// mesh crosses itself on the cut, say) is reported as failed.
MUserOperatorCutIntoHalves::EResultCode MUserOperatorCutIntoHalves::_Operate() {
    Impl& d = *m_impl;
    if (!d.source) return eNoSourceModel;
    const bool closed = IsClosedAndOriented(CheckMesh(*d.source));
    const EResultCode code = _Split();
    if (code != eResultOk || !closed) return code;
    for (MStlBase* half : {d.inside, d.outside}) {
        if (half->GetNumberOfTriangles() == 0 || IsClosedAndOriented(CheckMesh(*half))) continue;
        // A cutter touching the mesh's surface along an edge (tangent to a
        // face, say) leaves a half that touches itself there: closed once
        // each side of the touch has its own copy of the edge.
        MStlBaseOperatorFixer fixer;
        fixer.SetStl(half);
        if (fixer.SeparateTouchingSolids() == 0 || !IsClosedAndOriented(CheckMesh(*half))) return eCutFailed;
    }
    return eResultOk;
}

MUserOperatorCutIntoHalves::EResultCode MUserOperatorCutIntoHalves::_Split() {
    Impl& d = *m_impl;
    d.insideSubstituted = !d.inside;
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
    case Impl::ePolyline:
        return _CutByPolyline();
    default:
        return eNoCuttingElement;
    }
    return code == 0 ? eResultOk : eCutFailed;
}

// The polyline's wall cuts a copy of the source placed under the screen
// transform; both halves are then moved back into the source's frame, so
// that they always share it (also when the source is cut in place).
MUserOperatorCutIntoHalves::EResultCode MUserOperatorCutIntoHalves::_CutByPolyline() {
    Impl& d = *m_impl;
    if (d.polyline.size() < 3) return eTooFewPolylinePoints;
    if (AU::PolylineIntersectsItself(d.polyline)) return eSelfIntersectingPolyline;
    if (d.inside == d.outside) return eCutFailed;
    MStlBase* kept = d.insideSubstituted ? d.outside : d.inside;
    MStlBase* other = d.insideSubstituted ? d.inside : d.outside;
    if (kept != d.source) kept->Copy(*d.source);
    const bool placed = !d.screenTransform.IsIdentity();
    if (placed && !kept->Transform(d.screenTransform)) return eCutFailed;
    MStlBase wall;
    AU::CreateCuttingStl(wall, *kept, d.polyline, d.polylineTransform);
    int32_t code = 0;
    if (QelSDK::Triangles::Boolean::MStlOperatorBooleanSubtractFromNonManifold::IsManifold(*kept)) {
        code = AU::CutAndLeaveInModel(*kept, wall, nullptr, *other, 0, 0, 0, d.leaveUnidentified, d.insideSubstituted);
    } else {
        other->Copy(*kept);
        QelSDK::Triangles::Boolean::MStlOperatorBooleanSubtractFromNonManifold first, second;
        first.SetNonManifoldModel(other);
        first.SetSubtractedModel(&wall);
        first.SetSubtractOutside(d.insideSubstituted);
        code = first.Operate();
        if (code == 0) {
            second.SetNonManifoldModel(kept);
            second.SetSubtractedModel(&wall);
            second.SetSubtractOutside(!d.insideSubstituted);
            code = second.Operate();
        }
    }
    if (placed) {
        kept->InverseTransform(d.screenTransform);
        other->InverseTransform(d.screenTransform);
    }
    return code == 0 ? eResultOk : eCutFailed;
}

// Cuts a mesh along a closed polyline in its X-Y plane (through the whole
// height, or from a given Z upward) into the part inside the polyline and
// the part outside it, optionally cutting a gap between the parts
// (clearances) and leaving alone the triangles outside a set of planes
// (section filter).
#pragma once

#include <memory>
#include <vector>

#include "host/MMath.h"
#include "host/MProgress.h"
#include "host/MStlBase.h"

class MCutter;
struct MeshReport;

// A set of planes that restricts a cut to the triangles touching the
// positive side of every plane.  As a predicate it answers whether the cut
// must leave a triangle alone.
class MCutTriangleFilterSections {
public:
    MCutTriangleFilterSections() = default;

    // The plane through `point` with that normal.
    void AddFilterPlane(const MMVector<double, 3>& point, const MMVector<double, 3>& normal);
    // The plane through normal × offset with that normal.
    void AddFilterPlane(double offset, const MMVector<double, 3>& normal);
    const std::vector<MMPlaneEq<double>>& GetPlanes() const { return m_planes; }

    // True when some plane has all three corners at a distance <= 0.
    bool operator()(MStlTriangle* triangle) const;
    // False when a segment of the closed polyline crosses (or touches), in
    // X-Y, an edge of a triangle that the planes divide.
    bool CanCutFilteredPart(const MStlBase* mesh, const std::vector<MMVector<double, 2>>& polyline) const;

private:
    std::vector<MMPlaneEq<double>> m_planes;
};

class MStlBaseOperatorPolylineCut {
public:
    struct MParams {
        // Below 1: through the whole height; otherwise from Z = depth upward.
        int32_t depth = 0;
        // Widths of the gap cut away from the inside and from the outside
        // part, in integer units; 0 = none, negative values are refused.
        int32_t insideClearance = 0;
        int32_t outsideClearance = 0;
        bool useFilterPlanes = false;
    };

    enum ERCode {
        eCutDone = 0,
        // Fewer than 3 polyline points, no model, a point that is not finite
        // or lies beyond the 32-bit range, or a negative clearance.
        eBadInput = 1,
        eCancelled = 2,
        // The cut did not leave two non-empty parts; the non-empty ones are
        // still delivered.
        eNotDivided = 3,
        eFilteredPartNotCuttable = 4,
        // The parts were delivered, but an opening could not be closed (an
        // open input mesh, for instance).
        eOpeningsNotClosed = 5,
        // Memory ran out; no part is delivered (the model may be left
        // partly divided).
        eOutOfMemory = 6,
    };

    static constexpr const char* kProgressName = "MStlBaseOperatorPolylineCut.Operate";

    MStlBaseOperatorPolylineCut();
    ~MStlBaseOperatorPolylineCut();

    // The engine divides the model's triangles in place.
    void SetModelToCut(const MStlBase* model) { m_model = model; }
    // X-Y points in integer units; the polyline is taken as closed.
    void SetCutPolyline(const std::vector<MMVector<double, 2>>& polyline) {
        if (&polyline != &m_polyline) m_polyline = polyline;
    }
    void SetParameters(const MParams& params) { m_params = params; }
    void AddFilterPlane(const MMVector<double, 3>& point, const MMVector<double, 3>& normal) {
        m_filter.AddFilterPlane(point, normal);
    }

    ERCode Operate(QelSDK::Common::ProgressPtr progress = nullptr);
    // Moves the result meshes out (inside part first); the list is empty
    // afterwards.
    std::vector<std::unique_ptr<MStlBase>> GetOutputStls();

private:
    ERCode _Operate(QelSDK::Common::ProgressPtr progress);
    ERCode _CutWithClearance(MCutter& first, QelSDK::Common::ProgressPtr progress);
    bool _FilterClearanceCut(const MStlBase* part, MCutter& cutter) const;
    static bool IsSound(const MeshReport& report);
    void _SetUpCutter(MCutter& cutter) const;

    const MStlBase* m_model = nullptr;
    std::vector<MMVector<double, 2>> m_polyline;
    MParams m_params;
    MCutTriangleFilterSections m_filter;
    std::vector<std::unique_ptr<MStlBase>> m_outputs;
    bool m_openings = false;
    bool m_modelSound = false;
};

// Cuts a mesh with a plane into the part below and the part above, each
// optionally closed with a filled cut surface.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "host/MNewSlicer.h"
#include "host/MStlBase.h"

class MStlBaseOperatorPlaneCut {
public:
    enum eErrorCode : int32_t {
        eNoError = 0,
        eOpenCutContour = 1,  // filling asked for, but a cut contour is open
        eNoCut = 2,           // the plane misses the mesh or only touches it
        eCrossingNotClosed = 4,  // the contours cross (the mesh passes through itself) and a part came out open
    };

    MStlBaseOperatorPlaneCut();
    ~MStlBaseOperatorPlaneCut();
    MStlBaseOperatorPlaneCut(const MStlBaseOperatorPlaneCut&) = delete;
    MStlBaseOperatorPlaneCut& operator=(const MStlBaseOperatorPlaneCut&) = delete;

    void SetStl(MStlBase* mesh) { m_mesh = mesh; }
    void SetPlane(const MMPlaneEq<double>& plane) { m_plane = plane; }
    void SetOutputStl(MStlBase* below, MStlBase* above) { m_below = below; m_above = above; }
    void SetCutInputStl(bool inPlace) { m_cutInput = inPlace; }
    void SetFillSection(bool fill) { m_fill = fill; }
    void SetMaxDistanceOnCutBorder(double d) { m_maxDistance = d; }
    void SetTrianglesToSliceFrom(MDataMaskBits<MStlTriangle>* mask) { m_mask = mask; }

    // True when the cut succeeded or the plane missed the mesh; false for an
    // open contour while filling, a cancelled cut, no mesh or an unusable
    // plane.
    bool Operate(QelSDK::Common::ProgressPtr progress = nullptr);

    MStlSurface* GetCutSurfaceBelow() const { return m_cutSurfaceBelow; }
    MStlSurface* GetCutSurfaceAbove() const { return m_cutSurfaceAbove; }
    MStlSurface* GetCutSurface() const { return m_cutSurface; }
    eErrorCode GetErrorCode() const { return m_error; }
    // Whether the last cut's contours crossed themselves or one another, as
    // where the mesh passes through itself.  Each contour is then filled on
    // its own (a contour crossing itself is first divided into loops at a
    // new point on both crossing edges), the fills overlap where the mesh
    // did, and the parts are checked: eCrossingNotClosed when one is open.
    bool ContoursCrossed() const { return m_crossed; }
    // The cut contours of the last Operate, as chains of points of the mesh
    // that was cut (valid in in-place mode; in copy mode the points are gone).
    const MStlCutBorder& GetCutBorder() const { return m_cutBorder; }

private:
    bool Run(QelSDK::Common::IncrementalProgressReporter& progress);
    void TidyCutBorder();
    void RemoveFolds(MStlCutContour* contour);
    void SplitSelfCrossings();
    void CutOffSpikes(MStlCutContour* contour, int drop);
    bool SplitAtCrossing(MStlCutContour* contour, const MFillView& view);
    void Untwist(MStlCutContour* contour, std::vector<MStlPoint*>& ring, uint32_t first, uint32_t second);
    bool MoveIsAcceptable(const MStlPoint* a, const MStlPoint* b) const;
    void CopyToOutput(MStlBase* output, uint8_t bit, int side);
    void FillOpenings();
    MStlSurface* AddFill(const MStlBorderFiller& filler, int side, bool reversed);
    void AttachInPlaneTriangles();
    bool AttachToAnOutput(MStlTriangleElement* t, MNeighbourFinder& finder);

    MStlBase* m_mesh = nullptr;
    MStlBase* m_below = nullptr;
    MStlBase* m_above = nullptr;
    MMPlaneEq<double> m_plane;
    MStlSurface* m_cutSurfaceBelow = nullptr;
    MStlSurface* m_cutSurfaceAbove = nullptr;
    MStlSurface* m_cutSurface = nullptr;
    MStlCutBorder m_cutBorder;
    MStlCutBorder m_splitBorders[2];
    bool m_cutInput = false;
    bool m_fill = true;
    double m_maxDistance = 0.0;
    MDataMaskBits<MStlTriangle>* m_mask = nullptr;
    eErrorCode m_error = eNoError;
    bool m_crossed = false;
    // Fill of the twists taken out of the contours, facing as the fill of
    // the contours does.
    std::vector<std::array<MStlPoint*, 3>> m_twistFill;
    // Source point -> output point, for the below [0] and above [1] output.
    std::unique_ptr<MStlPointSlotMap> m_pointMaps[2];
};

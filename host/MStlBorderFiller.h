// Triangulates closed planar contours of mesh points: nested contours are
// holes and islands.  The triangles use only the contours' own points.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "containers/M3dBorder.h"
#include "host/MStlBase.h"

using MStlCutBorder = M3dBorder<double, MStlPoint*>;
using MStlCutContour = MStlCutBorder::ContourType;
using MStlCutBorderPoint = MStlCutBorder::PointType;

// A plane as the border filler sees it: points projected onto an
// orthonormal basis of it.  Code that prepares contours for the filler
// (dividing those that cross themselves) tests crossings in the same view,
// so that both agree on what crosses.
class MFillView {
public:
    explicit MFillView(const MMVector3d& normal);
    std::array<double, 2> operator()(const MMVector3d& p) const { return {p.Dot(m_u), p.Dot(m_v)}; }
    // +1, 0 or -1 as c lies left of, on or right of a -> b; exact for the
    // projected coordinates.
    static int Orientation(const std::array<double, 2>& a, const std::array<double, 2>& b,
                           const std::array<double, 2>& c);
    const MMVector3d& Normal() const { return m_normal; }

private:
    MMVector3d m_normal, m_u, m_v;
};

// Common base of the kit's hole fillers.
class MStlBaseOperatorHolefiller {
public:
    struct MParams {
        // Contours with fewer points are ignored.
        uint32_t minimumPoints = 3;
    };
    virtual ~MStlBaseOperatorHolefiller() = default;
    void SetStl(MStlBase* mesh) { m_mesh = mesh; }
    void SetOutputSurface(MStlSurface* s) { m_surface = s; }
    void SetParameters(const MParams& p) { m_params = p; }
    void SetAddTriangles(bool add) { m_addTriangles = add; }
    virtual bool Operate() = 0;

protected:
    MStlBase* m_mesh = nullptr;
    MStlSurface* m_surface = nullptr;
    MParams m_params;
    bool m_addTriangles = false;
};

// The triangles of a fill run along each contour edge in the contour's own
// direction: a contour edge a -> b appears as a -> b in exactly one fill
// triangle.  Contours are projected onto their least-squares plane and
// triangulated together by a constrained Delaunay triangulation with exact
// predicates; a region is inside when it lies within an odd number of
// contours.
class MStlBorderFiller final : public MStlBaseOperatorHolefiller {
public:
    MStlBorderFiller();
    ~MStlBorderFiller() override;

    void SetInputBorder(const MStlCutBorder* border) { m_border = border; m_contour = nullptr; }
    void SetInputContour(const MStlCutContour* contour, bool /*closed*/ = true) { m_contour = contour; m_border = nullptr; }
    // Triangulates in the view of this plane instead of the contours' fitted
    // one: a caller that divided crossing contours in that view.
    void SetView(const MFillView& view) {
        m_normal = view.Normal();
        m_hasNormal = true;
    }
    // Computes the triangulation; with add-triangles it also adds the
    // triangles to the output surface (or the mesh when no surface is set).
    // False when there was nothing to fill or the contours could not be
    // triangulated.
    bool Operate() override;
    // Forgets the input so that the filler can be reused.
    void EmptyHoleBorder() { m_border = nullptr; m_contour = nullptr; m_result.clear(); }
    uint64_t GetNumTriangles() const { return m_result.size(); }
    // Whether the last fill had contours crossing one another (a mesh that
    // passes through itself): their fills then overlap there.
    bool ContoursCrossed() const { return m_crossing; }
    MStlPoint* GetResult(uint64_t i, int k) const { return m_result[i][size_t(k)]; }

private:
    bool FillInGroups(const std::vector<const MStlCutContour*>& contours, uint32_t minimum);

    const MStlCutBorder* m_border = nullptr;
    const MStlCutContour* m_contour = nullptr;
    std::vector<std::array<MStlPoint*, 3>> m_result;
    MMVector3d m_normal;
    bool m_hasNormal = false;
    bool m_crossing = false;
};

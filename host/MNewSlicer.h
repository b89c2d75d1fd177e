// Slices a mesh with a plane: divides every triangle that crosses it, marks
// each triangle below (1), above (2) or in the plane (4), and chains the cut
// into contours of mesh points.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "containers/M3dBorder.h"
#include "host/MStlBase.h"
#include "host/MStlBorderFiller.h"

class MStlSlicerBase {
public:
    // A point of the slicer's own contours: where the cut meets the mesh and
    // the triangle (below the plane) along whose edge it runs.
    struct MSlicePointData {
        MStlPoint* point = nullptr;
        MStlTriangleElement* triangle = nullptr;
    };
    using SliceBorder = M3dBorder<double, MSlicePointData>;

    enum EStatus : uint8_t { eBelow = 1, eAbove = 2, eInPlane = 4 };

    virtual ~MStlSlicerBase() = default;
    const SliceBorder& GetSliceBorder() const { return m_slice; }

protected:
    SliceBorder m_slice;
};

class MNewSlicer final : public MStlSlicerBase {
public:
    void SetSliceStl(MStlBase* mesh) { m_mesh = mesh; }
    // `divide` true: triangles crossing the plane are divided along it;
    // false: a trial slice that only classifies and reports contours (points
    // are then made in a scratch mesh, the sliced mesh is left unchanged).
    void SetPlaneSliceMode(const MMPlaneEq<double>& plane, bool divide) { m_plane = plane; m_divide = divide; }
    void SetSliceStlBorder(MStlCutBorder* border) { m_border = border; }
    // Only shells holding a triangle with its bit set are sliced.
    void SetTrianglesToSliceFrom(const MDataMaskBits<MStlTriangle>* mask, bool /*unused*/ = false) {
        m_mask = mask;
        m_maskByTriangle = false;
    }
    // Only the triangles with their bit set are classified and divided; the
    // others keep status 0.  The caller marks every triangle that touches or
    // crosses the plane along the contours it wants cut, so that no crossed
    // edge is shared with an unmarked triangle.
    void SetTrianglesToDivide(const MDataMaskBits<MStlTriangle>* mask) {
        m_mask = mask;
        m_maskByTriangle = true;
    }
    // For shells that are not sliced: 0 leaves their triangles with status 0
    // (they reach no side); 1 gives each of their triangles the side that
    // holds most of the shell.
    void SetModeUnslicedShells(int mode) { m_unslicedMode = mode; }
    void SetProgress(QelSDK::Common::ProgressPtr p) { m_progress = std::move(p); }

    // False when the plane is not usable or no mesh is set.
    bool Operate();
    uint64_t GetNumberOfDividedTriangles() const { return m_divided; }

    // Copies every contour into the border of the side it closes: [0] for
    // the part below, [1] for the part above.  A closed contour bounds both.
    static void SplitBorderInBelowAndAbove(const MStlCutBorder& border, MStlCutBorder split[2]);

private:
    MStlBase* m_mesh = nullptr;
    MMPlaneEq<double> m_plane;
    bool m_divide = true;
    MStlCutBorder* m_border = nullptr;
    const MDataMaskBits<MStlTriangle>* m_mask = nullptr;
    bool m_maskByTriangle = false;
    int m_unslicedMode = 0;
    uint64_t m_divided = 0;
    QelSDK::Common::ProgressPtr m_progress;
    // A trial slice divides a copy, whose points the contours refer to.
    std::unique_ptr<MStlBase> m_scratch;
};

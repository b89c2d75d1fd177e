// Curve operations on surfaces: where the open borders of two sets of
// surfaces lie on each other, and extending a surface across pieces of its
// open border.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "host/MStlBase.h"

namespace AU {

// The runs of consecutive edges p–q of a contour for which keep(p, q)
// holds, each as an open contour.  A closed contour is walked from an edge
// that is left out, so that a run passing its first point stays whole; a
// closed contour whose every edge is kept comes back whole.
template <class Keep>
std::vector<MStlSurfaceBorderContour> SplitIntoRuns(const MStlSurfaceBorderContour& contour, Keep&& keep) {
    const size_t n = contour.points.size();
    if (n < 2) return {};
    const size_t edges = contour.closed ? n : n - 1;
    std::vector<uint8_t> kept(edges);
    bool all = true;
    for (size_t i = 0; i < edges; ++i) {
        kept[i] = keep(contour.points[i], contour.points[(i + 1) % n]);
        all = all && kept[i];
    }
    if (all && contour.closed) return {contour};
    size_t start = 0;
    if (contour.closed)
        while (kept[start]) ++start;
    std::vector<MStlSurfaceBorderContour> runs;
    MStlSurfaceBorderContour run;
    for (size_t k = 0; k < edges; ++k) {
        const size_t i = (start + k) % edges;
        if (kept[i]) {
            if (run.points.empty()) run.points.push_back(contour.points[i]);
            run.points.push_back(contour.points[(i + 1) % n]);
        } else if (!run.points.empty()) {
            runs.push_back(std::move(run));
            run = {};
        }
    }
    if (!run.points.empty()) runs.push_back(std::move(run));
    return runs;
}

// The common border of two inputs, each given as surfaces and features
// (standing for all their surfaces): for every surface of either input, the
// stretches of its open border whose edges lie on a surface of the other
// input (end points and middle exactly on its triangles).  Each surface with
// such stretches gets one curve set, added to the surface's feature and to
// `curveSets`; a border contour lying wholly on the other input stays
// closed.  Surfaces outside any feature are passed over.
void GetCommonBorder(std::vector<MStlCurveSet*>& curveSets, const std::array<std::vector<MStlSurface*>, 2>& surfaces,
                     const std::array<std::vector<MStlFeature*>, 2>& features);

}  // namespace AU

// Extends a surface across pieces of its open border: a strip of the given
// width is laid outward from each piece, in the plane of the border
// triangles (at a corner of the piece, between the planes of its two
// edges), as a new surface of the same feature and orientation.
class MStlCurveOperatorSurfaceExtend {
public:
    void SetSurface(MStlSurface* surface) { m_surface = surface; }
    // Contours of points along the surface's open border, in either
    // direction; a closed contour is extended all round.
    void SetBorder(const MStlSurfaceBorder& border) { m_border = border; }
    // In mesh units.
    void SetExtensionLength(uint32_t length) { m_length = length; }
    // False, adding nothing, without a surface or length, for a contour edge
    // that no triangle of the surface has, or when the strip would leave the
    // 32-bit grid.
    bool Operate();
    // The surface holding the strip (null before a successful Operate).
    MStlSurface* GetExtension() const { return m_extension; }

private:
    MStlSurface* m_surface = nullptr;
    MStlSurfaceBorder m_border;
    uint32_t m_length = 0;
    MStlSurface* m_extension = nullptr;
};

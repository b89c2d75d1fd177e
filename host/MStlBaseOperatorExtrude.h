// Extrudes a closed contour of points into a closed prism: the contour moved
// `forward` along the direction and `backward` against it, joined by side
// walls and closed by two flat caps.
#pragma once

#include <vector>

#include "host/MMath.h"
#include "host/MStlBase.h"

class MStlBaseOperatorExtrude {
public:
    void SetStl(MStlBase& result) { m_result = &result; }
    void AddContour(const std::vector<MMVector3d>& contour) { m_contours.push_back(contour); }
    void SetExtrudeDirection(const MMVector3d& direction) { m_direction = direction; }
    // Lengths in model units along and against the direction.
    void SetLengths(double forward, double backward) { m_forward = forward; m_backward = backward; }
    // False when there is no result mesh, the direction is zero, a contour
    // has fewer than 3 points, a point leaves the grid or a cap cannot be
    // triangulated; the result then holds no new triangles.
    bool Operate();

private:
    bool _ExtrudeContour(const std::vector<MMVector3d>& contour, const MMVector3d& unit);

    MStlBase* m_result = nullptr;
    std::vector<std::vector<MMVector3d>> m_contours;
    MMVector3d m_direction{0.0, 0.0, 1.0};
    double m_forward = 0.0;
    double m_backward = 0.0;
};

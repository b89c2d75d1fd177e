// Free cutting functions: a closed mesh split by a plane or by a cutting
// mesh into two meshes, and the flat cutting quad that stands for a plane.
#pragma once

#include <vector>

#include "host/MBoolean.h"
#include "host/MMath.h"
#include "host/MProgress.h"
#include "host/MStlBase.h"

namespace AU {

// A two-triangle quad in `plane` (internal units) reaching 100 units past
// the source's extent along each diagonal, facing along the plane's normal.
// Builds nothing for a zero normal or a source without points.
void CreateCuttingStl(MStlBase& result, const MStlBase& source, const MMPlane& plane);

// A closed prism through `polygon` (internal units), extruded along
// `direction` both ways far enough to pass the source's bounding box
// enlarged by half its size on every side.  The source is not changed.
// Builds nothing for fewer than 3 vertices, a zero direction or a source
// without points.
void CreateCuttingStl(MStlBase& result, const MStlBase& source, const std::vector<MMVector3d>& polygon,
                      const MMVector3d& direction);

// The prism of a closed polyline drawn in the plane that `transform`
// places in model space (points in internal units of that plane), extruded
// along the plane's z axis (the view direction) past the source; oriented
// outward.  Empty when the transform cannot place the points.
void CreateCuttingStl(MStlBase& result, const MStlBase& source, const std::vector<MMVector<long, 2>>& polyline,
                      const MMTransformMatrix& transform);

// Whether a closed polyline crosses or touches itself.
bool PolylineIntersectsItself(const std::vector<MMVector<long, 2>>& polyline);

// Cuts `model` by `cutter` (optionally placed by a 4x4 row-major transform
// given as 16 doubles, or null): `model` keeps its part inside the cutter,
// `other` (cleared first) receives the part outside; `swapSides` exchanges
// the two.  Both parts are closed by the cutter's surface.  8 when the model
// or the cutter has no triangles, or when `other` is the model or the
// cutter; otherwise the boolean cut's code (the meshes unchanged on failure).
EReturnCode CutAndLeaveInModel(MStlBase& model, MStlBase& cutter, const double* transform, MStlBase& other,
                               double dx, double dy, double dz, bool leaveUnidentifiedFeatures, bool swapSides);

// Splits `source` by a plane in model units: the part below the plane goes
// to `below`, the part above to `above`.  A section made of closed contours
// is cut and closed on both sides; a section with an open contour (an open
// source) is divided without closing.  7 when the source has no triangles,
// or when an output is the source; otherwise the code of the cut.
EReturnCode CutWithPlane(MStlBase& below, MStlBase& above, MStlBase& source, MMPlane plane,
                         QelSDK::Common::ProgressPtr progress = nullptr);

// Sorts `source` into two features of its own: the part inside `cutter`
// into `inside`, the part outside into `outside` (null: the main feature);
// both parts are closed by the cutter's surface.  Surfaces left empty, and
// empty features other than these two, are removed.  The boolean cut's code.
EReturnCode CutInSourceNoTransform(MStlFeature* inside, MStlFeature* outside, MStlBase& source, MStlBase& cutter,
                                   double dx, double dy, double dz, bool leaveUnidentifiedFeatures);

// As CutInSourceNoTransform, with the cutter placed by an optional
// transform (16 doubles, row-major) and two new features "Insides" and
// "Outsides" stored in `inside` and `outside`.  8, adding nothing, when
// either mesh has no triangles.
EReturnCode CutInSource(MStlFeature*& inside, MStlFeature*& outside, MStlBase& source, MStlBase& cutter,
                        const double* transform, double dx, double dy, double dz, bool leaveUnidentifiedFeatures);

// Sorts `source` into features "Insides" (below a plane in model units) and
// "Outsides" (above).  7 when the source has no triangles or the plane has
// no normal; otherwise the cut's code.
EReturnCode CutWithPlane(MStlFeature*& inside, MStlFeature*& outside, MStlBase& source, MMPlane plane);

}  // namespace AU

// Shell functions on plain triangle surfaces: subtracting one surface from
// another, deciding on which side of a zone surface every shell lies,
// labelling shells by several zones, cutting a surface by zones and splitting
// it per zone, and thickening an open surface into a closed shell.
//
// A shell is a set of triangles joined through shared edges, where vertex
// identity is the index (see label_components with connectivity_edge):
// coincident but different vertices do not join.  Surfaces are in model
// units.  A surface whose triangles name missing vertices or whose vertices
// are not finite is bad input; every function then gives its result for
// an empty input (class 1, no zone, one empty output, empty surfaces).
// All functions run on the calling thread and share no state.
#pragma once

#include <utility>
#include <vector>

#include "host/MTriangleSurface.h"

namespace QelSDK::Geometry {

// The zone label of no zone.
constexpr unsigned short no_zone = 65535;

// a minus b, on the grid of the mesh model, merging coincident vertices of
// each input first:
//  - b a closed, outward oriented solid and a one too: the solid difference,
//    closed along b's surface;
//  - b a closed solid and a open (or not a solid): a without its part inside
//    b, left open;
//  - b open (a sheet, or several surfaces): a cut along b, nothing removed;
//    the pieces on either side of a cut get vertices of their own, so that
//    they are separate shells that touch;
//  - b empty: a.
// On failure the result is empty.  `result_code`, when given, receives 0 on
// success or the boolean module's code (AU::EReturnCode) of the failure.
triangle_surface boolean_subtract(const triangle_surface& a, const triangle_surface& b, int* result_code = nullptr);

// Per triangle of `surface`, the class of its shell: 0 when the shell lies
// behind `zone` (the side its normals point away from), 1 otherwise.  The
// side is that of the shell's centroid (the mean of its triangles' corners)
// seen from its nearest point on the zone, against the zone's normal there;
// where that point is shared by several zone triangles (an edge or a
// corner) their normals are summed.  A shell whose centroid lies on the zone
// is in front.  1 everywhere for an empty surface or zone.
std::vector<unsigned short> classify_shells_by_zone(const triangle_surface& surface, const triangle_surface& zone);
// The same against the triangles of `zones` labelled 0; labels missing past
// the end of `zone_labels` count as no_zone.
std::vector<unsigned short> classify_shells_by_zone(const triangle_surface& surface, const triangle_surface& zones,
                                                    const std::vector<unsigned short>& zone_labels);

// Per triangle of `surface`, the label of the zone that claims its shell, or
// no_zone.  Each label below no_zone of `zone_labels` (one per triangle of
// `zones`; missing ones count as no_zone, extra ones are ignored) is a zone
// of the triangles carrying it; a zone claims the shells in front of it
// (class 1 above).  Where several zones claim a shell the largest label wins.
// `zone_count`, when given, receives the number of zones.
std::vector<unsigned short> classify_shells_by_zones(const triangle_surface& surface, const triangle_surface& zones,
                                                     const std::vector<unsigned short>& zone_labels,
                                                     unsigned long long* zone_count);

// `surface` minus `zones` (boolean_subtract), its shells labelled by
// classify_shells_by_zones, and split: one surface per zone in ascending
// label order, then one of the shells no zone claims.  Each output has its
// coincident vertices merged.  When the subtraction fails every output is
// empty and `result_code` (when given) receives its code; bad input gives
// one empty output and eInvalidInput.
std::vector<triangle_surface> multi_cut_and_split_shells(const triangle_surface& surface,
                                                         const triangle_surface& zones,
                                                         const std::vector<unsigned short>& zone_labels,
                                                         int* result_code = nullptr);

// A closed shell around an open surface: the surface moved by half the
// thickness along its vertex normals (the normalised sum of the unit normals
// of the triangles at a vertex), a reversed copy moved the other way, and
// walls along the border edges (edges used by one triangle only) joining
// them.  A vertex whose normals cancel is not moved; degenerate triangles
// add no normal.  With thickness 0 nothing moves and no walls are built.
// `part_labels`, when given, receives per result triangle 0 (outer copy),
// 1 (inner copy) or 2 (wall).
triangle_surface simple_extrude(const triangle_surface& surface, double thickness,
                                std::vector<unsigned short>* part_labels);

// The shells of class 1 (first) and of class 0 (second) of
// classify_shells_by_zone.  Each side holds the vertices its triangles use,
// and the vertices no triangle uses go to the second; vertices keep their
// order.  A vertex used on both sides is in both.
std::pair<triangle_surface, triangle_surface> split_shells_by_zone(const triangle_surface& surface,
                                                                   const triangle_surface& zone);
std::pair<triangle_surface, triangle_surface> split_shells_by_zone(const triangle_surface& surface,
                                                                   const triangle_surface& zones,
                                                                   const std::vector<unsigned short>& zone_labels);

}  // namespace QelSDK::Geometry

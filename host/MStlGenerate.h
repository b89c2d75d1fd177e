// Closed test and demonstration shapes in internal units.
//
// Every shape is added to the mesh (existing content stays; points at equal
// coordinates are shared), has shared vertices, and every triangle runs
// counter-clockwise seen from outside.  Points are rounded to the integer
// grid; below the minimal sizes given per shape rounding may collapse or tilt
// the smallest triangles.
#pragma once

#include <cstdint>

#include "host/MMath.h"

class MStlBase;

// A latitude/longitude sphere with a point at each pole, about
// `approxTriangles` triangles (at least 6).  The shortest edges lie next to
// the poles and are about 40 * radius / approxTriangles steps long; keep them
// at least 4 steps, i.e. radius >= approxTriangles / 10 (a 2-million-triangle
// sphere needs a radius of 200000 steps).
void GenerateSphere(MStlBase& m, double radius, uint64_t approxTriangles, MMVector3d centre = {});

// A torus around the z axis through the origin: tube radius r at distance R
// from the axis (R > r > 0), about `approxTriangles` triangles (at least 18),
// with nearly square cells.  The shortest edges, on the inner equator, are
// about 9 * sqrt(R * r / approxTriangles) * (R - r) / R steps long; keep them
// at least 4 steps.
void GenerateTorus(MStlBase& m, double R, double r, uint64_t approxTriangles);

// The axis-parallel box [lo, hi], every face an n x n grid of squares split
// into two triangles each: 12 * n * n triangles and 6 * n * n + 2 points.
// Needs hi - lo >= n on every axis (n < 1 counts as 1); otherwise nothing is
// added.
void GenerateBox(MStlBase& m, MMVector3l lo, MMVector3l hi, int n = 1);

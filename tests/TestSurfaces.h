// Open and closed surfaces for the item trim tests, each in a surface of
// its own.
#pragma once

#include "host/MStlBase.h"
#include "host/MStlGenerate.h"

// A flat square sheet at height z over [lo, hi]², in squares of `step` each
// split along the same diagonal, facing up.
inline MStlSurface* AddSheet(MStlBase& mesh, int32_t lo, int32_t hi, int32_t step, int32_t z) {
    MStlSurface* s = mesh.AddSurface();
    for (int32_t x = lo; x < hi; x += step)
        for (int32_t y = lo; y < hi; y += step) {
            MStlPoint* a = mesh.AddPoint(x, y, z);
            MStlPoint* c = mesh.AddPoint(x + step, y + step, z);
            s->AddTriangle(a, mesh.AddPoint(x + step, y, z), c);
            s->AddTriangle(a, c, mesh.AddPoint(x, y + step, z));
        }
    return s;
}

// The box of GenerateBox; without its bottom face (the triangles lying in
// z = lo) an open cup standing on z = lo.  Points are shared with the mesh's.
inline MStlSurface* AddBox(MStlBase& mesh, MMVector3l lo, MMVector3l hi, int n, bool bottom = true) {
    MStlBase box;
    GenerateBox(box, lo, hi, n);
    MStlSurface* s = mesh.AddSurface();
    for (auto it = box.BeginTriangle(); it != box.EndTriangle(); ++it) {
        const MStlTriangle& t = **it;
        if (!bottom && t.GetPoint(0)->GetZ() == lo[2] && t.GetPoint(1)->GetZ() == lo[2] && t.GetPoint(2)->GetZ() == lo[2])
            continue;
        s->AddTriangle(mesh.AddPoint(t.GetPoint(0)), mesh.AddPoint(t.GetPoint(1)), mesh.AddPoint(t.GetPoint(2)));
    }
    return s;
}

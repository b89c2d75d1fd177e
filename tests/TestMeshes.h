// Meshes the tests share.
#pragma once

#include <random>

#include "host/MStlBase.h"
#include "host/MStlGenerate.h"

// A sphere with every point moved by up to `amount` grid steps in each
// coordinate: a stand-in for a scanned surface.
inline void GenerateRoughSphere(MStlBase& mesh, double radius, uint64_t triangles, int amount, std::mt19937& random) {
    GenerateSphere(mesh, radius, triangles);
    std::uniform_int_distribution<int> jitter(-amount, amount);
    MStlBaseOperatorHelperDirectPointChange change(mesh, true);
    for (auto it = mesh.BeginPoint(); it != mesh.EndPoint(); ++it)
        it->SetCoordinatesFast(it->GetX() + jitter(random), it->GetY() + jitter(random), it->GetZ() + jitter(random));
}

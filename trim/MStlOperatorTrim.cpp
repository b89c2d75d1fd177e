#include "MStlOperatorTrim.h"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <array>
#include <deque>

#include "host/MBoolean.h"
#include "host/MCurveOperations.h"
#include "host/MZeroTrianglesFilter.h"

namespace {

using namespace QelSDK::Triangles::Boolean;
using QelSDK::Common::IncrementalProgressReporter;

const char* const kProgressName = "QelStlCutting.MStlOperatorTrim.Operate";

// What an input's items stand for.
struct Input {
    std::vector<MStlSurface*> surfaces;  // given as surfaces
    std::vector<MStlFeature*> features;  // given as features
    std::vector<MStlSurface*> all;       // every surface, once
};

Input Collect(const std::vector<MStlItem>& items) {
    Input in;
    absl::flat_hash_set<MStlSurface*> seen;
    for (const MStlItem& item : items) {
        if (item.GetType() == MStlItem::eSurface) in.surfaces.push_back(item.GetSurface());
        else if (item.GetType() == MStlItem::eFeature) in.features.push_back(item.GetFeature());
        else continue;
        for (MStlSurface* s : item.GetSurfaces())
            if (seen.insert(s).second) in.all.push_back(s);
    }
    return in;
}

std::vector<MStlBase*> MeshesOf(const std::array<Input, 2>& inputs) {
    std::vector<MStlBase*> meshes;
    for (const Input& in : inputs)
        for (const MStlSurface* s : in.all)
            if (std::find(meshes.begin(), meshes.end(), s->GetStl()) == meshes.end()) meshes.push_back(s->GetStl());
    return meshes;
}

// Extends each input's surfaces where their open border lies on the other
// input, along the stretches of that border whose edges do not have exactly
// two triangles (elsewhere the surface already goes on across the border).
// The strips' surfaces, per input.
std::array<std::vector<MStlSurface*>, 2> ExtendAlongCommonBorder(const std::array<Input, 2>& inputs, uint32_t length) {
    absl::flat_hash_map<const MStlSurface*, int> inputOf;
    for (int i = 0; i < 2; ++i)
        for (const MStlSurface* s : inputs[size_t(i)].all) inputOf[s] = i;
    std::vector<MStlCurveSet*> curveSets;
    AU::GetCommonBorder(curveSets, {inputs[0].surfaces, inputs[1].surfaces}, {inputs[0].features, inputs[1].features});
    std::array<std::vector<MStlSurface*>, 2> extensions;
    for (MStlCurveSet* set : curveSets) {
        MStlSurface* surface = set->surface;
        const MStlBase& mesh = *surface->GetStl();
        MStlSurfaceBorder pieces;
        for (const MStlSurfaceBorderContour& contour : set->contours)
            for (MStlSurfaceBorderContour& piece : AU::SplitIntoRuns(contour, [&](const MStlPoint* p, const MStlPoint* q) {
                     return !mesh.EdgeHasExactlyTwoNeighbours(p, q);
                 }))
                pieces.contours.push_back(std::move(piece));
        if (!pieces.contours.empty()) {
            MStlCurveOperatorSurfaceExtend extend;
            extend.SetSurface(surface);
            extend.SetBorder(pieces);
            extend.SetExtensionLength(length);
            if (extend.Operate()) extensions[size_t(inputOf.at(surface))].push_back(extend.GetExtension());
        }
        surface->GetFeature()->RemoveCurveSet(set);
    }
    return extensions;
}

using PointsByMesh = absl::flat_hash_map<MStlBase*, absl::flat_hash_set<MStlPoint*>>;

// Removes those of the points that no triangle uses any more.
void RemoveUnused(const PointsByMesh& points) {
    for (const auto& [mesh, set] : points)
        for (MStlPoint* p : set)
            if (p->IsAlive() && p->GetNumberOfNeighbourTriangles() == 0) mesh->RemovePoint(p);
}

// Takes the strips out again, with the points only they used.
void RemoveExtensions(const std::array<std::vector<MStlSurface*>, 2>& extensions) {
    absl::flat_hash_set<const MStlSurface*> strips;
    std::vector<MStlBase*> meshes;
    for (const auto& list : extensions)
        for (MStlSurface* s : list) {
            strips.insert(s);
            if (std::find(meshes.begin(), meshes.end(), s->GetStl()) == meshes.end()) meshes.push_back(s->GetStl());
        }
    PointsByMesh points;
    for (MStlBase* mesh : meshes)
        mesh->RemoveTrianglesIf([&](const MStlTriangle& t) {
            if (!strips.contains(t.GetSurface())) return false;
            for (int k = 0; k < 3; ++k) points[mesh].insert(t.GetPoint(k));
            return true;
        });
    RemoveUnused(points);
    for (const auto& list : extensions)
        for (MStlSurface* s : list) s->GetStl()->RemoveSurface(s);
}

// The triangles of each of the surfaces, in mesh order.
absl::flat_hash_map<const MStlSurface*, std::vector<MStlTriangleElement*>> TrianglesOf(
    const std::vector<MStlSurface*>& surfaces) {
    absl::flat_hash_map<const MStlSurface*, std::vector<MStlTriangleElement*>> of;
    std::vector<const MStlBase*> meshes;
    for (const MStlSurface* s : surfaces) {
        of[s];
        if (std::find(meshes.begin(), meshes.end(), s->GetStl()) == meshes.end()) meshes.push_back(s->GetStl());
    }
    for (const MStlBase* mesh : meshes)
        for (auto it = mesh->BeginTriangle(); it != mesh->EndTriangle(); ++it)
            if (auto found = of.find(it->GetSurface()); found != of.end()) found->second.push_back(*it);
    return of;
}

using Region = std::vector<MStlTriangleElement*>;

// The connected regions of the triangles of class `cls` (in their status)
// among a surface's triangles, joined across edges whose neighbour lies in
// the same surface.  None is an empty answer; a surface without triangles
// has no regions to speak of and fails.
bool RegionsOfClass(const std::vector<MStlTriangleElement*>& triangles, uint8_t cls, std::vector<Region>& regions) {
    if (triangles.empty()) return false;
    absl::flat_hash_set<const MStlTriangle*> visited;
    std::deque<MStlTriangleElement*> queue;
    for (MStlTriangleElement* start : triangles) {
        if (start->GetStatus() != cls || !visited.insert(start).second) continue;
        Region& region = regions.emplace_back();
        queue.assign(1, start);
        while (!queue.empty()) {
            MStlTriangleElement* t = queue.front();
            queue.pop_front();
            region.push_back(t);
            for (int k = 0; k < 3; ++k) {
                const MStlPoint* q = t->GetPoint((k + 1) % 3);
                const MStlPoint* p = t->GetPoint(k);
                for (uint32_t n = 0; n < p->GetNumberOfNeighbourTriangles(); ++n) {
                    MStlTriangleElement* u = p->GetNeighbourTriangle(n);
                    if (u == t || u->IndexOfPoint(q) < 0 || u->GetSurface() != t->GetSurface() || u->GetStatus() != cls)
                        continue;
                    if (visited.insert(u).second) queue.push_back(u);
                }
            }
        }
    }
    return true;
}

}  // namespace

bool MStlOperatorTrim::Operate(QelSDK::Common::ProgressPtr progress) {
    m_removed = 0;
    if (m_first.empty() || m_second.empty() || m_params.sideToRemove > 1) return false;
    const std::array<Input, 2> inputs = {Collect(m_first), Collect(m_second)};
    if (inputs[0].all.empty() || inputs[1].all.empty()) return false;
    const absl::flat_hash_set<const MStlSurface*> firstSurfaces(inputs[0].all.begin(), inputs[0].all.end());
    for (const MStlSurface* s : inputs[1].all)
        if (firstSurfaces.contains(s)) return false;

    IncrementalProgressReporter reporter(progress, kProgressName, 1000);
    const std::vector<MStlBase*> meshes = MeshesOf(inputs);
    for (MStlBase* mesh : meshes) ZeroTrianglesFilter::RemoveZeroTriangles(*mesh);
    const auto extensions = ExtendAlongCommonBorder(inputs, m_params.extensionLength);

    MrtGroupManager groups;
    for (int i = 0; i < 2; ++i) {
        for (MStlSurface* s : inputs[size_t(i)].surfaces) groups.AddSurface(s, i + 1, true, false);
        for (MStlFeature* f : inputs[size_t(i)].features) groups.AddFeature(f, i + 1, true, false);
        for (MStlSurface* s : extensions[size_t(i)]) groups.AddSurface(s, i + 1, true, false);
    }
    MrtOperatorBoolean boolean;
    boolean.SetGroupManager(&groups);
    if (boolean.Operate(reporter.CreateNestedDelegate(0.9)) != eSuccess) {
        RemoveExtensions(extensions);
        return false;
    }

    // Classes in the status: 2 inside, 1 outside, 0 neither.
    for (MStlBase* mesh : meshes)
        for (auto it = mesh->BeginTriangle(); it != mesh->EndTriangle(); ++it)
            it->SetStatus(uint8_t(2 * groups.IsImmediateClassificationInside(*it) +
                                  groups.IsImmediateClassificationOutside(*it)));

    // The regions of each class in each surface of the first input; the
    // chosen side's regions go.
    const auto trianglesOf = TrianglesOf(inputs[0].all);
    const uint8_t removed = uint8_t(m_params.sideToRemove + 1);
    std::vector<Region> doomed;
    for (const MStlSurface* s : inputs[0].all) {
        for (uint8_t cls : {uint8_t(1), uint8_t(2)}) {
            std::vector<Region> regions;
            if (!RegionsOfClass(trianglesOf.at(s), cls, regions)) {
                RemoveExtensions(extensions);
                return false;
            }
            if (cls == removed)
                for (Region& r : regions) doomed.push_back(std::move(r));
        }
    }
    // The removed triangles' points go with them where nothing else uses them.
    PointsByMesh points;
    for (const Region& region : doomed)
        for (MStlTriangleElement* t : region) {
            for (int k = 0; k < 3; ++k) points[t->GetStl()].insert(t->GetPoint(k));
            t->GetStl()->RemoveTriangle(t);
            ++m_removed;
        }
    RemoveExtensions(extensions);
    RemoveUnused(points);
    return true;
}

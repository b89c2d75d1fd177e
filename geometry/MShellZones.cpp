// Classification of shells against zone surfaces, splitting by class or by
// zone, and the subtraction the zone cut runs on.
#include <algorithm>
#include <array>
#include <limits>
#include <map>

#include "MGeometryFunctions.h"
#include "host/MBoolean.h"
#include "host/MStlBase.h"
#include "host/MStlChecker.h"

namespace QelSDK::Geometry {
namespace {

// Nearest zone points closer than this count as the same point, and
// distances closer than this as equal.
constexpr double kTie = 1e-9;

bool IsValid(const triangle_surface& s) { return has_valid_indices(s) && has_finite_vertices(s); }

unsigned short LabelAt(const std::vector<unsigned short>& labels, uint64_t t) {
    return t < labels.size() ? labels[t] : no_zone;
}

// Appends the triangle with corners of its own.
void AppendUnshared(triangle_surface& to, const triangle_surface& from, const triangle& t) {
    const uint64_t n = to.vertices.size();
    for (uint64_t v : t) to.vertices.push_back(from.vertices[v]);
    to.triangles.push_back({n, n + 1, n + 2});
}

MMVector3d ToVector(const vertex& v) { return {v[0], v[1], v[2]}; }

// The shells of a surface: a shell number per triangle, and each shell's
// centroid, the mean of its triangles' corners.
struct Shells {
    std::vector<uint64_t> of;
    std::vector<vertex> centroid;
};

Shells FindShells(const triangle_surface& s) {
    Shells shells;
    shells.of = label_components(s, connectivity_edge);
    uint64_t count = 0;
    for (uint64_t c : shells.of) count = std::max(count, c + 1);
    std::vector<MMVector3d> sum(count);
    std::vector<uint64_t> corners(count, 0);
    for (size_t t = 0; t < s.triangles.size(); ++t) {
        for (uint64_t v : s.triangles[t]) sum[shells.of[t]] += ToVector(s.vertices[v]);
        corners[shells.of[t]] += 3;
    }
    shells.centroid.resize(count);
    for (uint64_t c = 0; c < count; ++c)
        if (corners[c]) {
            const MMVector3d m = sum[c] / double(corners[c]);
            shells.centroid[c] = {m[0], m[1], m[2]};
        }
    return shells;
}

// 0 when `p` lies behind the zone seen from its nearest zone point, else 1.
// At a nearest point shared by several zone triangles their (unnormalised)
// normals are summed.
unsigned short SideOfZone(const triangle_tree& tree, const triangle_surface& zone, const vertex& p) {
    double best = std::numeric_limits<double>::max();
    vertex nearest;
    MMVector3d normal;
    uint64_t count = 0;
    find_nearest_if(tree, p, [&](uint64_t t) {
        const triangle& tri = zone.triangles[t];
        const vertex &a = zone.vertices[tri[0]], &b = zone.vertices[tri[1]], &c = zone.vertices[tri[2]];
        vertex q;
        const double d = Math::point_to_triangle_distance(p, a, b, c, q);
        const MMVector3d n = (ToVector(b) - ToVector(a)).Cross(ToVector(c) - ToVector(a));
        if (d < best - kTie) {
            best = d, nearest = q, normal = n, count = 1;
            return true;
        }
        if (d > best + kTie) return false;
        for (int axis = 0; axis < 3; ++axis)
            if (std::fabs(q[axis] - nearest[axis]) > kTie) return false;
        nearest = q, normal += n, ++count;
        return false;
    });
    if (count == 0) return 1;
    const MMVector3d n = normal / double(count);
    return n.Dot(ToVector(p) - ToVector(nearest)) < 0.0 ? 0 : 1;
}

// The class of every shell against the zone; 1 for all when the zone has
// no triangles.
std::vector<unsigned short> ShellClasses(const Shells& shells, const triangle_surface& zone) {
    std::vector<unsigned short> classes(shells.centroid.size(), 1);
    if (zone.triangles.empty()) return classes;
    const triangle_tree tree = build_triangle_tree(zone);
    for (size_t c = 0; c < classes.size(); ++c) classes[c] = SideOfZone(tree, zone, shells.centroid[c]);
    return classes;
}

std::vector<unsigned short> Classify(const triangle_surface& surface, const triangle_surface& zone) {
    std::vector<unsigned short> result(surface.triangles.size(), 1);
    if (surface.triangles.empty() || zone.triangles.empty() || !IsValid(surface) || !IsValid(zone)) return result;
    const Shells shells = FindShells(surface);
    const std::vector<unsigned short> classes = ShellClasses(shells, zone);
    for (size_t t = 0; t < result.size(); ++t) result[t] = classes[shells.of[t]];
    return result;
}

// The zone of every label below no_zone, of the first triangle-count labels.
std::map<unsigned short, triangle_surface> ZonesByLabel(const triangle_surface& zones,
                                                        const std::vector<unsigned short>& labels) {
    std::map<unsigned short, triangle_surface> byLabel;
    if (!IsValid(zones)) return byLabel;
    for (uint64_t t = 0; t < zones.triangles.size(); ++t)
        if (const unsigned short label = LabelAt(labels, t); label != no_zone)
            AppendUnshared(byLabel[label], zones, zones.triangles[t]);
    return byLabel;
}

// Splits by class: class 1 triangles first, class 0 second.  A vertex goes
// to each side that uses it; an unused one goes to the second.
std::pair<triangle_surface, triangle_surface> SplitByClass(const triangle_surface& s,
                                                           const std::vector<unsigned short>& classes) {
    constexpr uint8_t kFront = 1, kBack = 2;
    std::vector<uint8_t> sides(s.vertices.size(), 0);
    for (size_t t = 0; t < s.triangles.size(); ++t)
        for (uint64_t v : s.triangles[t]) sides[v] |= classes[t] != 0 ? kFront : kBack;
    std::pair<triangle_surface, triangle_surface> result;
    const size_t frontTriangles = size_t(std::count_if(classes.begin(), classes.end(), [](unsigned short c) { return c != 0; }));
    const size_t frontVertices = size_t(std::count_if(sides.begin(), sides.end(), [](uint8_t u) { return u & kFront; }));
    const size_t backVertices = size_t(std::count_if(sides.begin(), sides.end(), [](uint8_t u) { return u != kFront; }));
    result.first.vertices.reserve(frontVertices);
    result.second.vertices.reserve(backVertices);
    result.first.triangles.reserve(frontTriangles);
    result.second.triangles.reserve(s.triangles.size() - frontTriangles);
    // A vertex's new index on each side.
    std::vector<std::array<uint64_t, 2>> index(s.vertices.size());
    for (size_t v = 0; v < s.vertices.size(); ++v) {
        if (sides[v] & kFront) {
            index[v][0] = result.first.vertices.size();
            result.first.vertices.push_back(s.vertices[v]);
        }
        if (sides[v] != kFront) {  // used behind, or not at all
            index[v][1] = result.second.vertices.size();
            result.second.vertices.push_back(s.vertices[v]);
        }
    }
    for (size_t t = 0; t < s.triangles.size(); ++t) {
        const triangle& tri = s.triangles[t];
        const int side = classes[t] != 0 ? 0 : 1;
        (side == 0 ? result.first : result.second)
            .triangles.push_back({index[tri[0]][side], index[tri[1]][side], index[tri[2]][side]});
    }
    return result;
}

}  // namespace

triangle_surface boolean_subtract(const triangle_surface& a, const triangle_surface& b, int* result_code) {
    using namespace QelSDK::Triangles::Boolean;
    int code = eSuccess;
    triangle_surface result;
    const std::unique_ptr<MStlBase> minuend = IsValid(a) ? convert(a, true) : nullptr;
    const std::unique_ptr<MStlBase> subtrahend = IsValid(b) ? convert(b, true) : nullptr;
    const AU::BooleanParameters parameters{false, false, true};
    if (!minuend || !subtrahend) {
        code = eInvalidInput;
    } else if (subtrahend->GetNumberOfTriangles() == 0 || minuend->GetNumberOfTriangles() == 0) {
        result = convert(*minuend);
    } else if (const MeshReport zone = CheckMesh(*subtrahend);
               zone.closed && zone.oriented && zone.volume > 0.0 && zone.degenerateTriangles == 0) {
        const MeshReport model = CheckMesh(*minuend);
        if (model.closed && model.oriented && model.volume > 0.0 && model.degenerateTriangles == 0) {
            MStlBase difference;
            code = AU::BooleanSubtract({minuend.get()}, {subtrahend.get()}, difference, parameters, nullptr);
            if (code == eSuccess) result = convert(difference);
        } else {
            MStlOperatorBooleanSubtractFromNonManifold subtract;
            subtract.SetNonManifoldModel(minuend.get());
            subtract.SetSubtractedModel(subtrahend.get());
            code = subtract.Operate();
            if (code == eSuccess) result = convert(*minuend);
        }
    } else {
        code = AU::BooleanSplitAlongSurface(*minuend, *subtrahend, parameters, nullptr);
        if (code == eSuccess) result = convert(*minuend);
    }
    if (result_code) *result_code = code;
    return result;
}

std::vector<unsigned short> classify_shells_by_zone(const triangle_surface& surface, const triangle_surface& zone) {
    return Classify(surface, zone);
}

std::vector<unsigned short> classify_shells_by_zone(const triangle_surface& surface, const triangle_surface& zones,
                                                    const std::vector<unsigned short>& zone_labels) {
    triangle_surface zone;
    if (IsValid(zones))
        for (uint64_t t = 0; t < zones.triangles.size(); ++t)
            if (LabelAt(zone_labels, t) == 0) AppendUnshared(zone, zones, zones.triangles[t]);
    return Classify(surface, zone);
}

std::vector<unsigned short> classify_shells_by_zones(const triangle_surface& surface, const triangle_surface& zones,
                                                     const std::vector<unsigned short>& zone_labels,
                                                     unsigned long long* zone_count) {
    std::vector<unsigned short> result(surface.triangles.size(), no_zone);
    const std::map<unsigned short, triangle_surface> byLabel = ZonesByLabel(zones, zone_labels);
    if (zone_count) *zone_count = byLabel.size();
    if (surface.triangles.empty() || byLabel.empty() || !IsValid(surface)) return result;
    const Shells shells = FindShells(surface);
    // Ascending labels: a larger label claiming a shell overwrites a smaller one.
    for (const auto& [label, zone] : byLabel) {
        const std::vector<unsigned short> classes = ShellClasses(shells, zone);
        for (size_t t = 0; t < result.size(); ++t)
            if (classes[shells.of[t]] != 0) result[t] = label;
    }
    return result;
}

std::vector<triangle_surface> multi_cut_and_split_shells(const triangle_surface& surface,
                                                         const triangle_surface& zones,
                                                         const std::vector<unsigned short>& zone_labels,
                                                         int* result_code) {
    if (!IsValid(surface) || !IsValid(zones)) {
        if (result_code) *result_code = QelSDK::Triangles::Boolean::eInvalidInput;
        return std::vector<triangle_surface>(1);
    }
    int code = 0;
    const triangle_surface cut = boolean_subtract(surface, zones, &code);
    if (result_code) *result_code = code;
    unsigned long long count = 0;
    const std::vector<unsigned short> labels = classify_shells_by_zones(cut, zones, zone_labels, &count);
    // Output i holds the i-th smallest zone label, the last one the shells of no zone.
    std::map<unsigned short, size_t> output{{no_zone, 0}};
    for (uint64_t t = 0; t < zones.triangles.size(); ++t) output.emplace(LabelAt(zone_labels, t), 0);
    size_t next = 0;
    for (auto& [label, index] : output) index = next++;
    std::vector<triangle_surface> outputs(count + 1);
    for (size_t t = 0; t < cut.triangles.size(); ++t)
        AppendUnshared(outputs[output.at(labels[t])], cut, cut.triangles[t]);
    for (triangle_surface& o : outputs) unique_vertices(o);
    return outputs;
}

std::pair<triangle_surface, triangle_surface> split_shells_by_zone(const triangle_surface& surface,
                                                                   const triangle_surface& zone) {
    if (!IsValid(surface)) return {};
    return SplitByClass(surface, classify_shells_by_zone(surface, zone));
}

std::pair<triangle_surface, triangle_surface> split_shells_by_zone(const triangle_surface& surface,
                                                                   const triangle_surface& zones,
                                                                   const std::vector<unsigned short>& zone_labels) {
    if (!IsValid(surface)) return {};
    return SplitByClass(surface, classify_shells_by_zone(surface, zones, zone_labels));
}

}  // namespace QelSDK::Geometry

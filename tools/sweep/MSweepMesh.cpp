#include "tools/sweep/MSweepMesh.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <sstream>
#include <unordered_map>

#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlIO.h"

namespace meshcut_sweep {
namespace {

using QelSDK::Common::MInternalUnits;

struct Box {
    int64_t lo[3] = {INT64_MAX, INT64_MAX, INT64_MAX};
    int64_t hi[3] = {INT64_MIN, INT64_MIN, INT64_MIN};
    int64_t Largest() const { return std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2], int64_t(0)}); }
};

Box BoxOfTriangles(const MStlBase& mesh) {
    Box box;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        for (int c = 0; c < 3; ++c)
            for (int a = 0; a < 3; ++a) {
                box.lo[a] = std::min<int64_t>(box.lo[a], it->GetPoint(c)->Get(a));
                box.hi[a] = std::max<int64_t>(box.hi[a], it->GetPoint(c)->Get(a));
            }
    return box;
}

// "near (1.5, -2, 40)" for a checker's fault position, in model units of the
// sweep's grid.
std::string Near(const MeshReport& report, double stepsPerUnit) {
    std::ostringstream out;
    out << "near (";
    for (int a = 0; a < 3; ++a)
        out << (a ? ", " : "") << std::round(report.faultAt[a] * MInternalUnits::Get() / stepsPerUnit * 1000.0) / 1000.0;
    out << ")";
    return out.str();
}

std::string Skip(const std::string& why) {
    AnswerWriter w;
    w.Byte(0);
    w.Text(why);
    return w.Bytes();
}

// The mesh moved so that its box centre lies at the origin, scaled by
// `scale` and snapped to the grid: corners that meet on the grid are merged,
// triangles that collapse are left out and counted.
uint64_t Snap(const MStlBase& read, double scale, MStlBase& snapped) {
    const Box box = BoxOfTriangles(read);
    int64_t centre[3];
    for (int a = 0; a < 3; ++a) centre[a] = (box.lo[a] + box.hi[a]) >> 1;
    uint64_t collapsed = 0;
    for (auto it = read.BeginTriangle(); it != read.EndTriangle(); ++it) {
        MStlPoint* corners[3];
        for (int c = 0; c < 3; ++c) {
            int32_t q[3];
            for (int a = 0; a < 3; ++a)
                q[a] = int32_t(std::llround(double(it->GetPoint(c)->Get(a) - centre[a]) * scale));
            corners[c] = snapped.AddPoint(q[0], q[1], q[2]);
        }
        if (corners[0] == corners[1] || corners[1] == corners[2] || corners[2] == corners[0] ||
            !snapped.AddTriangle(corners[0], corners[1], corners[2]))
            ++collapsed;
    }
    return collapsed;
}

std::string MeshAnswer(const MStlBase& mesh, double volume, double area, const std::string& note) {
    AnswerWriter w;
    w.Byte(1);
    w.Text(note);
    w.Double(volume);
    w.Double(area);
    std::unordered_map<const MStlPoint*, uint32_t> index;
    std::vector<std::array<int32_t, 3>> points;
    std::vector<std::array<uint32_t, 3>> triangles;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        std::array<uint32_t, 3> t{};
        for (int c = 0; c < 3; ++c) {
            const MStlPoint* p = it->GetPoint(c);
            auto [where, added] = index.emplace(p, uint32_t(points.size()));
            if (added) points.push_back({p->GetX(), p->GetY(), p->GetZ()});
            t[c] = where->second;
        }
        triangles.push_back(t);
    }
    w.U64(points.size());
    w.Raw(points.data(), points.size() * sizeof points[0]);
    w.U64(triangles.size());
    w.Raw(triangles.data(), triangles.size() * sizeof triangles[0]);
    return w.Bytes();
}

std::string Load(const std::string& path, double extent, double stepsPerUnit) {
    const double target = kSweepExtent * stepsPerUnit;  // steps
    // Reading at the grid that makes the file's extent the sweep's rounds
    // every coordinate once.  A process whose grid is fixed already (a test)
    // reads at that grid and scales the steps, rounding twice.
    const bool direct = MInternalUnits::Set(target / extent);
    MStlBase read;
    std::string error;
    ReadStats stats;
    if (!ReadMesh(path, read, error, &stats)) return Skip("does not read at the sweep's scale: " + error);
    const double scale = direct ? 1.0 : target / (extent * MInternalUnits::Get());
    MStlBase mesh;
    const uint64_t collapsed = Snap(read, scale, mesh) + stats.skippedDegenerate;
    if (mesh.GetNumberOfTriangles() == 0) return Skip("no triangle with area");
    const MeshReport report = CheckMesh(mesh);
    const std::string lost =
        collapsed ? " (" + std::to_string(collapsed) + " triangles collapsed on the grid)" : std::string();
    if (!report.closed)
        return Skip("not closed: " + std::to_string(report.boundaryEdges) + " boundary and " +
                    std::to_string(report.nonManifoldEdges) + " non-manifold edges, first " +
                    Near(report, stepsPerUnit) + lost);
    if (!report.oriented)
        return Skip("not consistently oriented: " + std::to_string(report.inconsistentEdges) +
                    " inconsistent edges, first " + Near(report, stepsPerUnit) + lost);
    const double cube = stepsPerUnit * stepsPerUnit * stepsPerUnit;
    double volume = mesh.Volume() / cube;
    if (volume == 0.0) return Skip("encloses no volume");
    std::string note;
    if (volume < 0.0) {
        mesh.Invert();
        volume = -volume;
        note = "faces inward (negative volume): swept turned outward";
    }
    return MeshAnswer(mesh, volume, mesh.Area() / (stepsPerUnit * stepsPerUnit), note);
}

}  // namespace

bool AnswerReader::Text(std::string& v) {
    uint64_t size = 0;
    if (!U64(size) || size > Left()) return false;
    v.assign(m_bytes, m_pos, size_t(size));
    m_pos += size_t(size);
    return true;
}

bool AnswerReader::Raw(void* data, size_t size) {
    if (size > Left()) return false;
    std::memcpy(data, m_bytes.data() + m_pos, size);
    m_pos += size;
    return true;
}

std::string ProbeAnswer(const std::string& path) {
    AnswerWriter w;
    std::string error;
    double extent = 0.0;
    try {
        MStlBase mesh;
        ReadStats stats;
        if (ReadMesh(path, mesh, error, &stats)) {
            const int64_t steps = BoxOfTriangles(mesh).Largest();
            extent = double(steps) * MInternalUnits::GetInverse();
            // A mesh only a few steps across at this grid: the file's own
            // extent is the better measure.
            if (steps < 1000)
                for (int a = 0; a < 3; ++a) extent = std::max(extent, stats.modelMax[a] - stats.modelMin[a]);
        }
    } catch (const std::exception& e) {
        error = std::string("the reader threw: ") + e.what();
    }
    w.Byte(error.empty());
    w.Double(extent);
    w.Text(error);
    return w.Bytes();
}

std::string LoadAnswer(const std::string& path, double extent, double stepsPerUnit) {
    try {
        return Load(path, extent, stepsPerUnit);
    } catch (const std::exception& e) {
        return Skip(std::string("the reader threw: ") + e.what());
    }
}

void BuildMesh(const SweepMesh& data, MStlBase& mesh) {
    mesh.SetName(std::wstring(data.name.begin(), data.name.end()));
    mesh.Reserve(data.points.size(), data.triangles.size());
    std::vector<MStlPoint*> points;
    points.reserve(data.points.size());
    for (const auto& p : data.points) points.push_back(mesh.AddPoint(p[0], p[1], p[2], true));
    for (const auto& t : data.triangles) mesh.AddTriangle(points[t[0]], points[t[1]], points[t[2]]);
}

bool ParseProbe(const std::string& answer, double& extent, std::string& error) {
    AnswerReader r(answer);
    uint8_t ok = 0;
    if (!r.Byte(ok) || !r.Double(extent) || !r.Text(error)) {
        error = "the probe's answer is cut short";
        return false;
    }
    if (ok && !(extent > 0.0 && std::isfinite(extent))) {
        error = extent == 0.0 ? "no extent (no triangle, or all points coincide)" : "extent not finite";
        return false;
    }
    if (ok) return true;
    error = "does not read: " + error;
    return false;
}

bool ParseLoad(const std::string& answer, SweepMesh& mesh, std::string& why, std::string& note) {
    AnswerReader r(answer);
    uint8_t ok = 0;
    if (!r.Byte(ok)) return why = "the loader gave no answer", false;
    if (!ok) return r.Text(why), false;
    uint64_t points = 0, triangles = 0;
    if (!r.Text(note) || !r.Double(mesh.volume) || !r.Double(mesh.area) || !r.U64(points) ||
        points > r.Left() / sizeof mesh.points[0])
        return why = "the loader's answer is cut short", false;
    mesh.points.resize(size_t(points));
    r.Raw(mesh.points.data(), mesh.points.size() * sizeof mesh.points[0]);
    if (!r.U64(triangles) || triangles != r.Left() / sizeof mesh.triangles[0])
        return why = "the loader's answer is cut short", false;
    mesh.triangles.resize(size_t(triangles));
    r.Raw(mesh.triangles.data(), mesh.triangles.size() * sizeof mesh.triangles[0]);
    return true;
}

void Summarize(SweepMesh& m) {
    m.lo = m.points.front();
    m.hi = m.points.front();
    for (const auto& p : m.points)
        for (int a = 0; a < 3; ++a) m.lo[a] = std::min(m.lo[a], p[a]), m.hi[a] = std::max(m.hi[a], p[a]);
    m.extent = std::max({double(m.hi[0] - m.lo[0]), double(m.hi[1] - m.lo[1]), double(m.hi[2] - m.lo[2])});

    std::vector<std::pair<uint32_t, uint32_t>> edges;
    std::vector<double> lengths;
    m.upFacing.clear();
    m.downFacing.clear();
    for (uint32_t i = 0; i < m.triangles.size(); ++i) {
        const auto& t = m.triangles[i];
        double d[3][3];
        for (int c = 0; c < 3; ++c)
            for (int a = 0; a < 3; ++a) d[c][a] = double(m.points[t[(c + 1) % 3]][a]) - double(m.points[t[c]][a]);
        const double n[3] = {d[0][1] * d[1][2] - d[0][2] * d[1][1], d[0][2] * d[1][0] - d[0][0] * d[1][2],
                             d[0][0] * d[1][1] - d[0][1] * d[1][0]};
        const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        if (n[2] > 0.5 * length) m.upFacing.push_back(i);
        if (n[2] < -0.5 * length) m.downFacing.push_back(i);
        for (int c = 0; c < 3; ++c) {
            const uint32_t a = t[c], b = t[(c + 1) % 3];
            if (a < b) {  // each edge of a closed, oriented mesh once
                edges.emplace_back(a, b);
                lengths.push_back(std::sqrt(d[c][0] * d[c][0] + d[c][1] * d[c][1] + d[c][2] * d[c][2]));
            }
        }
    }
    std::nth_element(lengths.begin(), lengths.begin() + long(lengths.size() / 2), lengths.end());
    m.typicalEdge = lengths.empty() ? 1.0 : lengths[lengths.size() / 2];

    m.first.assign(m.points.size() + 1, 0);
    for (const auto& [a, b] : edges) ++m.first[a + 1], ++m.first[b + 1];
    for (size_t i = 1; i < m.first.size(); ++i) m.first[i] += m.first[i - 1];
    m.neighbours.assign(m.first.back(), 0);
    std::vector<uint32_t> fill(m.first.begin(), m.first.end() - 1);
    for (const auto& [a, b] : edges) m.neighbours[fill[a]++] = b, m.neighbours[fill[b]++] = a;
}

}  // namespace meshcut_sweep

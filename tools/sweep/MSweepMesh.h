// The meshes of a sweep as plain arrays: read and scaled in a child, kept by
// the parent (which never builds a mesh model of its own, so that its grid
// stays free and no thread pool is running when it forks), and rebuilt into
// a mesh model in every case's child.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class MStlBase;

namespace meshcut_sweep {

struct SweepMesh {
    std::string name;  // file name in the folder
    // Grid steps, in the order of first use by the triangles.
    std::vector<std::array<int32_t, 3>> points;
    std::vector<std::array<uint32_t, 3>> triangles;
    double volume = 0.0;  // model units
    double area = 0.0;

    // Derived in the parent by Summarize.
    std::array<int32_t, 3> lo{}, hi{};
    double extent = 0.0;       // largest side of the box, steps
    double typicalEdge = 0.0;  // median edge length, steps
    std::vector<uint32_t> upFacing, downFacing;  // triangles whose normal leans up (down) by more than 60 degrees
    // Neighbours of each point along edges: neighbours[first[i] .. first[i+1]).
    std::vector<uint32_t> first, neighbours;
};

// The largest extent the sweep scales every mesh to, in model units.
constexpr double kSweepExtent = 80.0;

// --- in a child ------------------------------------------------------------
// Reads the file at the process's grid; the answer holds the largest side of
// the box of the triangles' corners in model units, or the reader's error.
std::string ProbeAnswer(const std::string& path);
// Reads the file scaled to a largest extent of kSweepExtent units about its
// box centre, snapped to a grid of `stepsPerUnit`, and checks it; the answer
// holds the mesh, or why it is not swept.  `extent` comes from the probe.
std::string LoadAnswer(const std::string& path, double extent, double stepsPerUnit);
// The mesh model of the arrays, points and triangles in array order.
void BuildMesh(const SweepMesh& data, MStlBase& mesh);

// --- in the parent -----------------------------------------------------------
bool ParseProbe(const std::string& answer, double& extent, std::string& error);
// False with `why` when the mesh is not swept; `note` tells of a repair.
bool ParseLoad(const std::string& answer, SweepMesh& mesh, std::string& why, std::string& note);
void Summarize(SweepMesh& mesh);

// A simple byte encoding for the answers of the children.
class AnswerWriter {
public:
    void Byte(uint8_t v) { m_bytes.push_back(char(v)); }
    void U64(uint64_t v) { Raw(&v, sizeof v); }
    void Double(double v) { Raw(&v, sizeof v); }
    void Text(const std::string& v) { U64(v.size()), m_bytes += v; }
    void Raw(const void* data, size_t size) { m_bytes.append(static_cast<const char*>(data), size); }
    const std::string& Bytes() const { return m_bytes; }

private:
    std::string m_bytes;
};

class AnswerReader {
public:
    explicit AnswerReader(const std::string& bytes) : m_bytes(bytes) {}
    bool Byte(uint8_t& v) { return Raw(&v, 1); }
    bool U64(uint64_t& v) { return Raw(&v, sizeof v); }
    bool Double(double& v) { return Raw(&v, sizeof v); }
    bool Text(std::string& v);
    bool Raw(void* data, size_t size);
    bool AtEnd() const { return m_pos == m_bytes.size(); }
    size_t Left() const { return m_bytes.size() - m_pos; }

private:
    const std::string& m_bytes;
    size_t m_pos = 0;
};

}  // namespace meshcut_sweep

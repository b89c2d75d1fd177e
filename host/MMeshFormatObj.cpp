// Wavefront OBJ: "v" and "f" lines; everything else is skipped.

#include "host/MMeshFormat.h"
#include "host/MStlBase.h"

namespace meshio {

namespace {

constexpr uint64_t kProgressEveryLines = 4096;

// One index of a face corner ("7", "7/2", "7//3", "-1/2/3"), resolved
// against the vertices defined so far.
bool ResolveObjIndex(std::string_view corner, size_t vertexCount, uint32_t& index, std::string& why) {
    const std::string_view number = corner.substr(0, corner.find('/'));
    int64_t value = 0;
    if (!ParseInteger(number, value)) {
        why = "malformed face index '" + Shown(corner) + "'";
        return false;
    }
    const int64_t count = int64_t(vertexCount);
    const int64_t resolved = value < 0 ? count + value : value - 1;
    if (value == 0 || resolved < 0 || resolved >= count) {
        why = "face index " + std::to_string(value) + " out of range (" + std::to_string(vertexCount) +
              " vertices defined so far)";
        return false;
    }
    index = uint32_t(resolved);
    return true;
}

bool ReadObjVertex(Tokenizer& fields, MeshBuilder& builder, std::vector<FileVertex>& vertices, std::string& why) {
    if (vertices.size() >= UINT32_MAX) {
        why = "more vertices than a mesh can hold";
        return false;
    }
    FileVertex v{};
    std::string_view token;
    for (int a = 0; a < 3; ++a) {
        if (!fields.Next(token)) {
            why = "vertex with fewer than 3 coordinates";
            return false;
        }
        if (!ParseDouble(token, v.xyz[a])) {
            why = "malformed number '" + Shown(token) + "'";
            return false;
        }
    }
    v.point = builder.Point(v.xyz, why);
    if (!v.point) return false;
    vertices.push_back(v);
    return true;
}

bool ReadObjFace(Tokenizer& fields, MeshBuilder& builder, const std::vector<FileVertex>& vertices,
                 std::vector<uint32_t>& corners, std::string& why) {
    corners.clear();
    std::string_view token;
    while (fields.Next(token)) {
        if (corners.size() == MeshReadLimits::kMaxFaceCorners) {
            why = "face with more than " + std::to_string(MeshReadLimits::kMaxFaceCorners) + " corners";
            return false;
        }
        uint32_t index = 0;
        if (!ResolveObjIndex(token, vertices.size(), index, why)) return false;
        corners.push_back(index);
    }
    if (corners.size() < 3) {
        why = "face with fewer than 3 corners";
        return false;
    }
    return AddPolygon(builder, vertices, corners.data(), corners.size(), why);
}

}  // namespace

bool ReadObj(std::string_view bytes, MeshBuilder& builder, std::string& error) {
    std::vector<FileVertex> vertices;
    std::vector<uint32_t> corners;
    LineReader lines(bytes, true);
    std::string_view line;
    std::string why;
    while (lines.Next(line)) {
        if (lines.Line() % kProgressEveryLines == 1 && !builder.Progress(lines.Offset())) {
            error = "cancelled";
            return false;
        }
        Tokenizer fields(line);
        std::string_view keyword;
        if (!fields.Next(keyword)) continue;
        bool ok = true;
        if (keyword == "v")
            ok = ReadObjVertex(fields, builder, vertices, why);
        else if (keyword == "f")
            ok = ReadObjFace(fields, builder, vertices, corners, why);
        if (!ok) {
            error = At(builder.Label(), "line", lines.Line()) + why;
            return false;
        }
    }
    return true;
}

bool WriteObj(OutputSink& out, const MStlBase& mesh, std::string&) {
    const IndexedPoints indexed(mesh);
    out.Write("# " + std::to_string(indexed.points.size()) + " vertices, " +
              std::to_string(mesh.GetNumberOfTriangles()) + " triangles\n");
    std::string line;
    for (const MStlPoint* p : indexed.points) {
        AppendPointLine(line, "v", p);
        out.Write(line);
        if (!out.Records()) return false;
    }
    for (const MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext()) {
        AppendFaceLine(line, "f", indexed, t, 1);
        out.Write(line);
        if (!out.Records()) return false;
    }
    return true;
}

}  // namespace meshio

// OFF (Object File Format), ASCII: an optional header keyword
// [ST][C][N][4][n]OFF, the counts "vertices faces [edges]", one vertex per
// line (coordinates first, then whatever normals, colours or texture
// coordinates the keyword announces), one face per line ("n i1 .. in",
// then an optional colour).  '#' starts a comment.
#include <algorithm>

#include "host/MMeshFormat.h"
#include "host/MStlBase.h"

namespace meshio {

namespace {

constexpr uint64_t kProgressEvery = 4096;
// The shortest vertex line ("0 0 0\n"), the shortest face line ("3\n",
// refused later with its line) and the shortest triangle ("3 0 1 2\n").
constexpr uint64_t kMinVertexBytes = 6;
constexpr uint64_t kMinFaceBytes = 2;
constexpr uint64_t kMinTriangleBytes = 8;

struct OffKeyword {
    bool fourDimensional = false;
    bool anyDimension = false;
};

// "OFF" with its optional prefixes ST, C, N, 4, n in this order.
bool ParseOffKeyword(std::string_view token, OffKeyword& keyword) {
    for (std::string_view prefix : {"ST", "C", "N"})
        if (token.substr(0, prefix.size()) == prefix) token.remove_prefix(prefix.size());
    if (token.substr(0, 1) == "4") {
        keyword.fourDimensional = true;
        token.remove_prefix(1);
    }
    if (token.substr(0, 1) == "n") {
        keyword.anyDimension = true;
        token.remove_prefix(1);
    }
    return token == "OFF";
}

// The next line with a token; false at the end of the text.
bool NextContentLine(LineReader& lines, Tokenizer& fields) {
    std::string_view line;
    while (lines.Next(line)) {
        fields = Tokenizer(line);
        Tokenizer probe(line);
        std::string_view token;
        if (probe.Next(token)) return true;
    }
    return false;
}

bool NextCount(Tokenizer& fields, const char* what, uint64_t& value, std::string& why) {
    std::string_view token;
    int64_t parsed = 0;
    if (!fields.Next(token)) {
        why = std::string("missing ") + what;
        return false;
    }
    if (!ParseInteger(token, parsed) || parsed < 0) {
        why = std::string("malformed ") + what + " '" + Shown(token) + "'";
        return false;
    }
    value = uint64_t(parsed);
    return true;
}

class OffReader {
public:
    OffReader(std::string_view bytes, MeshBuilder& builder, std::string& error)
        : m_bytes(bytes), m_lines(bytes, true), m_builder(builder), m_error(error) {}

    bool Read() {
        uint64_t vertexCount = 0, faceCount = 0;
        if (!ReadHeader(vertexCount, faceCount) || !CheckCounts(vertexCount, faceCount)) return false;
        m_vertices.reserve(vertexCount);
        m_builder.Reserve(vertexCount, std::min(faceCount, (m_bytes.size() - m_lines.Offset()) / kMinTriangleBytes));
        for (uint64_t i = 0; i < vertexCount; ++i)
            if (!ReadVertex(i, vertexCount)) return false;
        for (uint64_t i = 0; i < faceCount; ++i)
            if (!ReadFace(i, faceCount)) return false;
        return true;
    }

private:
    bool ReadHeader(uint64_t& vertexCount, uint64_t& faceCount) {
        if (!NextContentLine(m_lines, m_fields)) return Fail("the file holds no OFF header");
        Tokenizer first = m_fields;
        std::string_view token;
        first.Next(token);
        OffKeyword keyword;
        if (ParseOffKeyword(token, keyword)) {
            m_fields = first;
            if (!CheckKeyword(keyword)) return false;
            Tokenizer rest = m_fields;
            if (!rest.Next(token) && !NextContentLine(m_lines, m_fields))
                return Fail("the file ends before the counts");
        } else {
            int64_t number = 0;
            if (!ParseInteger(token, number))
                return Fail("expected the OFF header, found '" + Shown(token) + "'");
        }
        uint64_t edges = 0;
        std::string why;
        if (!NextCount(m_fields, "vertex count", vertexCount, why) ||
            !NextCount(m_fields, "face count", faceCount, why))
            return Fail(why);
        Tokenizer rest = m_fields;
        if (rest.Next(token) && !NextCount(m_fields, "edge count", edges, why)) return Fail(why);
        return true;
    }

    bool CheckKeyword(const OffKeyword& keyword) {
        Tokenizer peek = m_fields;
        std::string_view token;
        const bool more = peek.Next(token);
        if (more && EqualsWord(token, "binary")) return Fail("binary OFF is not supported");
        if (keyword.fourDimensional) return Fail("four-dimensional OFF is not supported");
        if (!keyword.anyDimension) return true;
        if (!more && !NextContentLine(m_lines, m_fields)) return Fail("the file ends before the dimension");
        uint64_t dimension = 0;
        std::string why;
        if (!NextCount(m_fields, "dimension", dimension, why)) return Fail(why);
        if (dimension != 3) return Fail("OFF of dimension " + std::to_string(dimension) + " is not supported");
        return true;
    }

    // Counts beyond what the remaining bytes can hold are refused before
    // anything is allocated.
    bool CheckCounts(uint64_t vertexCount, uint64_t faceCount) {
        const uint64_t remaining = m_bytes.size() - m_lines.Offset();
        const unsigned __int128 needed =
            (unsigned __int128)vertexCount * kMinVertexBytes + (unsigned __int128)faceCount * kMinFaceBytes;
        if (needed > (unsigned __int128)remaining + 1)
            return Fail("the header announces " + std::to_string(vertexCount) + " vertices and " +
                        std::to_string(faceCount) + " faces but only " + std::to_string(remaining) +
                        " bytes follow");
        if (vertexCount > UINT32_MAX) return Fail("more vertices than a mesh can hold");
        return true;
    }

    bool ReadVertex(uint64_t i, uint64_t count) {
        if (i % kProgressEvery == 0 && !Progress()) return false;
        if (!NextContentLine(m_lines, m_fields))
            return Fail("the file ends after " + std::to_string(i) + " of " + std::to_string(count) + " vertices");
        FileVertex v{};
        std::string_view token;
        for (int a = 0; a < 3; ++a) {
            if (!m_fields.Next(token)) return Fail("vertex with fewer than 3 coordinates");
            if (!ParseDouble(token, v.xyz[a])) return Fail("malformed number '" + Shown(token) + "'");
        }
        std::string why;
        v.point = m_builder.Point(v.xyz, why);
        if (!v.point) return Fail(why);
        m_vertices.push_back(v);
        return true;
    }

    bool ReadFace(uint64_t i, uint64_t count) {
        if (i % kProgressEvery == 0 && !Progress()) return false;
        if (!NextContentLine(m_lines, m_fields))
            return Fail("the file ends after " + std::to_string(i) + " of " + std::to_string(count) + " faces");
        uint64_t corners = 0;
        std::string why;
        if (!NextCount(m_fields, "corner count", corners, why)) return Fail(why);
        if (corners < 3) return Fail("face with " + std::to_string(corners) + " corners");
        if (corners > MeshReadLimits::kMaxFaceCorners)
            return Fail("face with " + std::to_string(corners) + " corners, more than " +
                        std::to_string(MeshReadLimits::kMaxFaceCorners));
        m_corners.clear();
        std::string_view token;
        for (uint64_t k = 0; k < corners; ++k) {
            int64_t index = 0;
            if (!m_fields.Next(token))
                return Fail("face lists " + std::to_string(k) + " of its " + std::to_string(corners) + " corners");
            if (!ParseInteger(token, index))
                return Fail("malformed face index '" + Shown(token) + "'");
            if (index < 0 || uint64_t(index) >= m_vertices.size())
                return Fail("face index " + std::to_string(index) + " out of range (" +
                            std::to_string(m_vertices.size()) + " vertices)");
            m_corners.push_back(uint32_t(index));
        }
        return AddPolygon(m_builder, m_vertices, m_corners.data(), m_corners.size(), why) || Fail(why);
    }

    bool Progress() {
        if (m_builder.Progress(m_lines.Offset())) return true;
        m_error = "cancelled";
        return false;
    }

    bool Fail(const std::string& why) {
        m_error = At(m_builder.Label(), "line", m_lines.Line()) + why;
        return false;
    }

    std::string_view m_bytes;
    LineReader m_lines;
    Tokenizer m_fields{std::string_view()};
    MeshBuilder& m_builder;
    std::string& m_error;
    std::vector<FileVertex> m_vertices;
    std::vector<uint32_t> m_corners;
};

}  // namespace

bool HasOffSignature(std::string_view bytes) {
    LineReader lines(bytes.substr(0, 4096), true);
    std::string_view line;
    for (int n = 0; n < 64 && lines.Next(line); ++n) {
        Tokenizer fields(line);
        std::string_view token;
        if (!fields.Next(token)) continue;
        OffKeyword keyword;
        return ParseOffKeyword(token, keyword);
    }
    return false;
}

bool ReadOff(std::string_view bytes, MeshBuilder& builder, std::string& error) {
    return OffReader(bytes, builder, error).Read();
}

bool WriteOff(OutputSink& out, const MStlBase& mesh, std::string&) {
    const IndexedPoints indexed(mesh);
    out.Write("OFF\n" + std::to_string(indexed.points.size()) + " " + std::to_string(mesh.GetNumberOfTriangles()) +
              " 0\n");
    std::string line;
    for (const MStlPoint* p : indexed.points) {
        AppendPointLine(line, "", p);
        out.Write(line);
        if (!out.Records()) return false;
    }
    for (const MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext()) {
        AppendFaceLine(line, "3", indexed, t, 0);
        out.Write(line);
        if (!out.Records()) return false;
    }
    return true;
}

}  // namespace meshio

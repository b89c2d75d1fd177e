// Binary and ASCII STL.
#include <bit>
#include <charconv>
#include <cstring>

#include "host/MMeshFormat.h"
#include "host/MStlBase.h"

static_assert(std::endian::native == std::endian::little, "binary STL is read and written by memcpy");

namespace meshio {

namespace {

constexpr size_t kStlHeaderBytes = 80;
constexpr size_t kStlPreambleBytes = 84;
constexpr size_t kStlRecordBytes = 50;
constexpr uint32_t kProgressEvery = 4096;

uint32_t AnnouncedTriangles(std::string_view bytes) {
    uint32_t n = 0;
    std::memcpy(&n, bytes.data() + kStlHeaderBytes, sizeof n);
    return n;
}

}  // namespace

bool IsBinaryStlOfExactSize(std::string_view bytes) {
    return bytes.size() >= kStlPreambleBytes &&
           bytes.size() == kStlPreambleBytes + uint64_t(AnnouncedTriangles(bytes)) * kStlRecordBytes;
}

bool StartsWithSolid(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size() && i < 256 && IsSpace(bytes[i])) ++i;
    const std::string_view word = bytes.substr(i, 5);
    return EqualsWord(word, "solid") && (bytes.size() == i + 5 || IsSpace(bytes[i + 5]));
}

// --- binary STL -------------------------------------------------------------

bool ReadBinaryStl(std::string_view bytes, MeshBuilder& builder, std::string& error) {
    if (bytes.size() < kStlPreambleBytes) {
        error = builder.Label() + " is too short for a binary STL: " + std::to_string(bytes.size()) +
                " bytes, less than the 84 of its header and triangle count";
        return false;
    }
    const uint32_t count = AnnouncedTriangles(bytes);
    const uint64_t needed = kStlPreambleBytes + uint64_t(count) * kStlRecordBytes;
    if (bytes.size() != needed) {
        const uint64_t records = (bytes.size() - kStlPreambleBytes) / kStlRecordBytes;
        error = builder.Label() + ": its binary STL header announces " + std::to_string(count) + " triangles (" +
                std::to_string(needed) + " bytes) but the file has " + std::to_string(bytes.size()) +
                " bytes (" + std::to_string(records) + " whole triangle records)";
        return false;
    }
    builder.Reserve(count / 2 + 2, count);
    const char* record = bytes.data() + kStlPreambleBytes;
    std::string why;
    for (uint32_t t = 0; t < count; ++t, record += kStlRecordBytes) {
        if (t % kProgressEvery == 0 && !builder.Progress(uint64_t(record - bytes.data()))) {
            error = "cancelled";
            return false;
        }
        float values[9];
        std::memcpy(values, record + 3 * sizeof(float), sizeof values);  // skips the stored normal
        double file[3][3];
        MStlPoint* corners[3];
        for (int k = 0; k < 3; ++k) {
            for (int a = 0; a < 3; ++a) file[k][a] = values[3 * k + a];
            corners[k] = builder.Point(file[k], why);
            if (!corners[k]) {
                error = At(builder.Label(), "triangle record", t + 1) + why;
                return false;
            }
        }
        const double* const fileCorners[3] = {file[0], file[1], file[2]};
        if (!builder.Triangle(corners, fileCorners, why)) {
            error = At(builder.Label(), "triangle record", t + 1) + why;
            return false;
        }
    }
    return true;
}

bool WriteBinaryStl(OutputSink& out, const MStlBase& mesh, std::string& error) {
    if (mesh.GetNumberOfTriangles() > UINT32_MAX) {
        error = "binary STL holds at most 4294967295 triangles";
        return false;
    }
    char header[kStlHeaderBytes] = {};
    const char title[] = "binary STL, coordinates in model units";
    std::memcpy(header, title, sizeof title - 1);
    out.Write(header, sizeof header);
    const uint32_t count = uint32_t(mesh.GetNumberOfTriangles());
    out.Write(&count, sizeof count);
    for (const MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext()) {
        char record[kStlRecordBytes] = {};
        float values[12];
        const MMVector3f normal = t->GetNormalFloat();
        for (int a = 0; a < 3; ++a) values[a] = normal[a];
        for (int k = 0; k < 3; ++k)
            for (int a = 0; a < 3; ++a) values[3 + 3 * k + a] = ModelFloat(t->GetPoint(k)->Get(a));
        std::memcpy(record, values, sizeof values);
        out.Write(record, sizeof record);
        if (!out.Records()) return false;
    }
    return true;
}

// --- ASCII STL ----------------------------------------------------------------

namespace {

// Reads the grammar of ASCII STL, keywords in any case:
//   solid [name]  { facet normal n n n  outer loop  (vertex x y z){3}  endloop  endfacet }  endsolid [name]
// repeated for every solid in the file.
class AsciiStlParser {
public:
    AsciiStlParser(std::string_view bytes, MeshBuilder& builder, std::string& error)
        : m_tokens(bytes), m_builder(builder), m_error(error) {}

    bool Parse() {
        std::string_view token;
        bool anySolid = false;
        while (m_tokens.Next(token)) {
            if (!EqualsWord(token, "solid")) return Fail("expected 'solid', found '" + Shown(token) + "'");
            anySolid = true;
            m_tokens.SkipLine();  // the solid's name
            if (!ParseSolid()) return false;
        }
        if (!anySolid) return Fail("no 'solid' in the file");
        return true;
    }

private:
    bool ParseSolid() {
        std::string_view token;
        for (uint64_t facets = 0;; ++facets) {
            if (!m_tokens.Next(token)) return Fail("the file ends inside a solid, without 'endsolid'");
            if (EqualsWord(token, "endsolid")) {
                m_tokens.SkipLine();
                return true;
            }
            if (!EqualsWord(token, "facet"))
                return Fail("expected 'facet' or 'endsolid', found '" + Shown(token) + "'");
            if (facets % kProgressEvery == 0 && !m_builder.Progress(m_tokens.Offset())) {
                m_error = "cancelled";
                return false;
            }
            if (!ParseFacet()) return false;
        }
    }

    bool ParseFacet() {
        std::string_view token;
        if (!Expect("normal")) return false;
        for (int a = 0; a < 3; ++a)
            if (!m_tokens.Next(token)) return Fail("the file ends inside a facet normal");
        if (!Expect("outer") || !Expect("loop")) return false;
        double file[3][3];
        MStlPoint* corners[3];
        std::string why;
        for (int k = 0; k < 3; ++k) {
            if (!Expect("vertex")) return false;
            for (int a = 0; a < 3; ++a) {
                if (!m_tokens.Next(token)) return Fail("the file ends inside a vertex");
                if (!ParseDouble(token, file[k][a])) return Fail("malformed number '" + Shown(token) + "'");
            }
            corners[k] = m_builder.Point(file[k], why);
            if (!corners[k]) return Fail(why);
        }
        if (!m_tokens.Next(token)) return Fail("the file ends inside a facet");
        if (EqualsWord(token, "vertex")) return Fail("facet with more than 3 vertices");
        if (!EqualsWord(token, "endloop")) return Fail("expected 'endloop', found '" + Shown(token) + "'");
        if (!Expect("endfacet")) return false;
        const double* const fileCorners[3] = {file[0], file[1], file[2]};
        return m_builder.Triangle(corners, fileCorners, why) || Fail(why);
    }

    bool Expect(std::string_view word) {
        std::string_view token;
        if (!m_tokens.Next(token)) return Fail("the file ends where '" + std::string(word) + "' was expected");
        if (!EqualsWord(token, word))
            return Fail("expected '" + std::string(word) + "', found '" + Shown(token) + "'");
        return true;
    }

    bool Fail(const std::string& why) {
        m_error = At(m_builder.Label(), "line", m_tokens.Line()) + why;
        return false;
    }

    Tokenizer m_tokens;
    MeshBuilder& m_builder;
    std::string& m_error;
};

// The mesh name as a single ASCII word for the "solid" line.
std::string SolidName(const MStlBase& mesh) {
    std::string name;
    for (wchar_t c : mesh.GetName()) name += (c > L' ' && c < 0x7F) ? char(c) : '_';
    return name.empty() ? "mesh" : name;
}

void AppendFloat(std::string& out, float v) {
    char digits[32];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
}

}  // namespace

bool ReadAsciiStl(std::string_view bytes, MeshBuilder& builder, std::string& error) {
    return AsciiStlParser(bytes, builder, error).Parse();
}

bool WriteAsciiStl(OutputSink& out, const MStlBase& mesh, std::string&) {
    const std::string name = SolidName(mesh);
    out.Write("solid " + name + "\n");
    std::string facet;
    for (const MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext()) {
        facet.assign("  facet normal");
        const MMVector3f normal = t->GetNormalFloat();
        for (int a = 0; a < 3; ++a) {
            facet += ' ';
            AppendFloat(facet, normal[a]);
        }
        facet += "\n    outer loop\n";
        for (int k = 0; k < 3; ++k) {
            facet += "      vertex";
            for (int a = 0; a < 3; ++a) {
                facet += ' ';
                AppendModelValue(facet, t->GetPoint(k)->Get(a));
            }
            facet += '\n';
        }
        facet += "    endloop\n  endfacet\n";
        out.Write(facet);
        if (!out.Records()) return false;
    }
    out.Write("endsolid " + name + "\n");
    return true;
}

}  // namespace meshio

#include "host/MStlIO.h"

#include <unistd.h>

#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>

#include "host/MInternalUnits.h"
#include "host/MStlBase.h"

static_assert(std::endian::native == std::endian::little, "binary STL is read and written by memcpy");

namespace {

constexpr size_t kStlHeaderBytes = 80;
constexpr size_t kStlPreambleBytes = 84;
constexpr size_t kStlRecordBytes = 50;

std::string LowerExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

bool ReadWholeFile(const std::string& path, std::string& buffer, std::string& error) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        error = "cannot open '" + path + "': no such file";
        return false;
    }
    if (!std::filesystem::is_regular_file(path, ec)) {
        error = "cannot open '" + path + "': not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        error = "cannot open '" + path + "'";
        return false;
    }
    const std::streamoff size = in.tellg();
    if (size <= 0) {
        error = "'" + path + "' is empty";
        return false;
    }
    buffer.resize(size_t(size));
    in.seekg(0);
    if (!in.read(buffer.data(), size)) {
        error = "cannot read '" + path + "'";
        return false;
    }
    return true;
}

// Scales a model-unit coordinate to the nearest internal step.  Returns ""
// on success, otherwise why the value was refused.
const char* ToInternal(double model, int32_t& out) {
    if (std::isnan(model)) return "not a number";
    const double scaled = model * QelSDK::Common::MInternalUnits::Get();
    // llround maps x.5 away from zero, so the bounds exclude the halves.
    if (!(scaled > -2147483648.5 && scaled < 2147483647.5)) return "coordinate out of range";
    out = int32_t(std::llround(scaled));
    return "";
}

// Adds the triangles of a file to the mesh and counts them.
class MeshFiller {
public:
    MeshFiller(MStlBase& mesh, ReadStats& stats) : m_mesh(mesh), m_stats(stats) {}

    MStlPoint* Point(const int32_t c[3]) { return m_mesh.AddPoint(c[0], c[1], c[2]); }
    void Triangle(MStlPoint* a, MStlPoint* b, MStlPoint* c) {
        ++m_stats.trianglesRead;
        if (!m_mesh.AddTriangle(a, b, c)) ++m_stats.skippedDegenerate;
    }

private:
    MStlBase& m_mesh;
    ReadStats& m_stats;
};

// --- binary STL -------------------------------------------------------------

uint32_t AnnouncedTriangles(const std::string& buffer) {
    uint32_t n = 0;
    std::memcpy(&n, buffer.data() + kStlHeaderBytes, sizeof n);
    return n;
}

bool IsBinaryStlOfExactSize(const std::string& buffer) {
    return buffer.size() >= kStlPreambleBytes &&
           buffer.size() == kStlPreambleBytes + uint64_t(AnnouncedTriangles(buffer)) * kStlRecordBytes;
}

bool ReadBinaryStl(const std::string& path, const std::string& buffer, MStlBase& mesh, ReadStats& stats,
                   std::string& error) {
    if (buffer.size() < kStlPreambleBytes) {
        error = "'" + path + "' is too short for a binary STL (" + std::to_string(buffer.size()) + " bytes)";
        return false;
    }
    const uint32_t count = AnnouncedTriangles(buffer);
    const uint64_t needed = kStlPreambleBytes + uint64_t(count) * kStlRecordBytes;
    if (buffer.size() < needed) {
        error = "'" + path + "' is truncated: its binary STL header announces " + std::to_string(count) +
                " triangles (" + std::to_string(needed) + " bytes) but the file has " +
                std::to_string(buffer.size()) + " bytes";
        return false;
    }
    mesh.Reserve(count / 2 + 2, count);
    MeshFiller filler(mesh, stats);
    const char* record = buffer.data() + kStlPreambleBytes;
    for (uint32_t t = 0; t < count; ++t, record += kStlRecordBytes) {
        float values[9];
        std::memcpy(values, record + 3 * sizeof(float), sizeof values);  // skips the stored normal
        MStlPoint* corners[3];
        for (int k = 0; k < 3; ++k) {
            int32_t c[3];
            for (int a = 0; a < 3; ++a) {
                const char* why = ToInternal(values[3 * k + a], c[a]);
                if (*why) {
                    error = "'" + path + "' triangle record " + std::to_string(t + 1) + ": " + why;
                    return false;
                }
            }
            corners[k] = filler.Point(c);
        }
        filler.Triangle(corners[0], corners[1], corners[2]);
    }
    return true;
}

// --- text scanning ----------------------------------------------------------

// Splits text into whitespace-separated tokens and keeps the line number.
class Tokenizer {
public:
    explicit Tokenizer(std::string_view text) : m_text(text) {}

    bool Next(std::string_view& token) {
        SkipSpace();
        if (m_pos >= m_text.size()) return false;
        const size_t start = m_pos;
        while (m_pos < m_text.size() && !IsSpace(m_text[m_pos])) ++m_pos;
        token = m_text.substr(start, m_pos - start);
        return true;
    }
    uint64_t Line() const { return m_line; }

private:
    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }
    void SkipSpace() {
        while (m_pos < m_text.size() && IsSpace(m_text[m_pos])) {
            if (m_text[m_pos] == '\n') ++m_line;
            ++m_pos;
        }
    }
    std::string_view m_text;
    size_t m_pos = 0;
    uint64_t m_line = 1;
};

bool ParseDouble(std::string_view token, double& value) {
    if (!token.empty() && token.front() == '+') token.remove_prefix(1);
    const char* end = token.data() + token.size();
    const auto result = std::from_chars(token.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

// Parses a model-unit coordinate token; on failure fills `why`.
bool ParseCoordinate(std::string_view token, int32_t& out, std::string& why) {
    double value = 0.0;
    if (!ParseDouble(token, value)) {
        why = "malformed number '" + std::string(token) + "'";
        return false;
    }
    const char* reason = ToInternal(value, out);
    if (*reason) {
        why = std::string(reason) + " ('" + std::string(token) + "')";
        return false;
    }
    return true;
}

std::string AtLine(const std::string& path, uint64_t line) {
    return "'" + path + "' line " + std::to_string(line) + ": ";
}

// --- ASCII STL ------------------------------------------------------------

bool LooksLikeText(const std::string& buffer) {
    for (unsigned char c : buffer)
        if (c == 0 || (c < 0x20 && !std::isspace(c))) return false;
    return true;
}

bool ReadAsciiStl(const std::string& path, const std::string& buffer, MStlBase& mesh, ReadStats& stats,
                  std::string& error) {
    if (!LooksLikeText(buffer)) {
        error = "'" + path + "' starts with 'solid' but holds binary data and its size does not match a binary STL";
        return false;
    }
    MeshFiller filler(mesh, stats);
    Tokenizer tokens(buffer);
    std::string_view token;
    MStlPoint* corners[3];
    int cornerCount = 0;
    while (tokens.Next(token)) {
        if (token == "facet") {
            cornerCount = 0;
        } else if (token == "vertex") {
            int32_t c[3];
            for (int a = 0; a < 3; ++a) {
                std::string why = "missing coordinate";
                if (!tokens.Next(token) || !ParseCoordinate(token, c[a], why)) {
                    error = AtLine(path, tokens.Line()) + why;
                    return false;
                }
            }
            if (cornerCount == 3) {
                error = AtLine(path, tokens.Line()) + "facet with more than 3 vertices";
                return false;
            }
            corners[cornerCount++] = filler.Point(c);
        } else if (token == "endfacet") {
            if (cornerCount != 3) {
                error = AtLine(path, tokens.Line()) + "facet with " + std::to_string(cornerCount) + " vertices";
                return false;
            }
            filler.Triangle(corners[0], corners[1], corners[2]);
            cornerCount = 0;
        }
    }
    return true;
}

// --- OBJ ------------------------------------------------------------------

// One index of an OBJ face corner ("7", "7/2", "7//3", "-1/2/3"), resolved
// against the vertices defined so far.
bool ResolveObjIndex(std::string_view corner, size_t vertexCount, size_t& index, std::string& why) {
    const std::string_view number = corner.substr(0, corner.find('/'));
    long long value = 0;
    const char* end = number.data() + number.size();
    const auto result = std::from_chars(number.data(), end, value);
    if (number.empty() || result.ec != std::errc() || result.ptr != end) {
        why = "malformed face index '" + std::string(corner) + "'";
        return false;
    }
    const long long resolved = value < 0 ? (long long)vertexCount + value : value - 1;
    if (value == 0 || resolved < 0 || resolved >= (long long)vertexCount) {
        why = "face index " + std::to_string(value) + " out of range (" + std::to_string(vertexCount) +
              " vertices defined so far)";
        return false;
    }
    index = size_t(resolved);
    return true;
}

bool ReadObjVertex(Tokenizer& fields, MeshFiller& filler, std::vector<MStlPoint*>& vertices, std::string& why) {
    int32_t c[3];
    std::string_view token;
    for (int a = 0; a < 3; ++a) {
        why = "vertex with fewer than 3 coordinates";
        if (!fields.Next(token) || !ParseCoordinate(token, c[a], why)) return false;
    }
    vertices.push_back(filler.Point(c));
    return true;
}

// A polygon face, split into a fan around its first corner.
bool ReadObjFace(Tokenizer& fields, MeshFiller& filler, const std::vector<MStlPoint*>& vertices, std::string& why) {
    std::vector<MStlPoint*> corners;
    std::string_view token;
    while (fields.Next(token)) {
        size_t index = 0;
        if (!ResolveObjIndex(token, vertices.size(), index, why)) return false;
        corners.push_back(vertices[index]);
    }
    if (corners.size() < 3) {
        why = "face with fewer than 3 corners";
        return false;
    }
    for (size_t i = 1; i + 1 < corners.size(); ++i) filler.Triangle(corners[0], corners[i], corners[i + 1]);
    return true;
}

bool ReadObj(const std::string& path, const std::string& buffer, MStlBase& mesh, ReadStats& stats,
             std::string& error) {
    MeshFiller filler(mesh, stats);
    std::vector<MStlPoint*> vertices;
    std::string_view text(buffer);
    uint64_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        line = line.substr(0, line.find('#'));

        Tokenizer fields(line);
        std::string_view keyword;
        if (!fields.Next(keyword)) continue;
        std::string why;
        if (keyword == "v" && !ReadObjVertex(fields, filler, vertices, why)) {
            error = AtLine(path, lineNumber) + why;
            return false;
        }
        if (keyword == "f" && !ReadObjFace(fields, filler, vertices, why)) {
            error = AtLine(path, lineNumber) + why;
            return false;
        }
    }
    return true;
}

// --- writing --------------------------------------------------------------

// Buffered output to a C stream that remembers the first failure.
class OutputFile {
public:
    explicit OutputFile(const std::string& path) : m_file(std::fopen(path.c_str(), "wb")) {}
    ~OutputFile() { if (m_file) std::fclose(m_file); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool IsOpen() const { return m_file != nullptr; }
    void Write(const void* data, size_t bytes) {
        m_buffer.append(static_cast<const char*>(data), bytes);
        if (m_buffer.size() >= kFlushBytes) Flush();
    }
    void Write(std::string_view text) { Write(text.data(), text.size()); }
    // Flushes and closes; true when every byte reached the file.
    bool Close() {
        Flush();
        const bool ok = m_ok && std::fclose(m_file) == 0;
        m_file = nullptr;
        return ok;
    }

private:
    static constexpr size_t kFlushBytes = 1 << 20;
    void Flush() {
        if (m_ok && !m_buffer.empty() && std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_file) != m_buffer.size())
            m_ok = false;
        m_buffer.clear();
    }
    std::FILE* m_file;
    std::string m_buffer;
    bool m_ok = true;
};

// The shortest decimal that reads back to the same grid step: the quotient
// steps / factor is printed so that parsing gives the same double, and that
// double times the factor rounds back to `steps`.
void AppendModelValue(std::string& out, int32_t steps) {
    char digits[32];
    const double model = double(steps) / QelSDK::Common::MInternalUnits::Get();
    out.append(digits, std::to_chars(digits, digits + sizeof digits, model).ptr);
}

void AppendPoint(std::string& out, const MStlPoint* p) {
    for (int a = 0; a < 3; ++a) {
        out += ' ';
        AppendModelValue(out, p->Get(a));
    }
}

float ToModelFloat(int32_t steps) { return float(steps * QelSDK::Common::MInternalUnits::GetInverse()); }

void WriteBinaryStl(OutputFile& out, const MStlBase& mesh) {
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
            for (int a = 0; a < 3; ++a) values[3 + 3 * k + a] = ToModelFloat(t->GetPoint(k)->Get(a));
        std::memcpy(record, values, sizeof values);
        out.Write(record, sizeof record);
    }
}

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

void WriteAsciiStl(OutputFile& out, const MStlBase& mesh) {
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
            AppendPoint(facet, t->GetPoint(k));
            facet += '\n';
        }
        facet += "    endloop\n  endfacet\n";
        out.Write(facet);
    }
    out.Write("endsolid " + name + "\n");
}

// Vertices are the points used by triangles, numbered in order of first use.
void WriteObj(OutputFile& out, const MStlBase& mesh) {
    std::vector<uint32_t> objIndex(mesh.GetNumberOfPointSlots(), 0);
    std::vector<const MStlPoint*> used;
    for (const MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext())
        for (int k = 0; k < 3; ++k) {
            const MStlPoint* p = t->GetPoint(k);
            if (objIndex[p->GetIndex()] == 0) {
                used.push_back(p);
                objIndex[p->GetIndex()] = uint32_t(used.size());
            }
        }
    out.Write("# " + std::to_string(used.size()) + " vertices, " + std::to_string(mesh.GetNumberOfTriangles()) +
              " triangles\n");
    std::string line;
    for (const MStlPoint* p : used) {
        line.clear();
        line += 'v';
        AppendPoint(line, p);
        line += '\n';
        out.Write(line);
    }
    for (const MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext()) {
        line.clear();
        line += 'f';
        for (int k = 0; k < 3; ++k) line += ' ' + std::to_string(objIndex[t->GetPoint(k)->GetIndex()]);
        line += '\n';
        out.Write(line);
    }
}

}  // namespace

bool ReadMesh(const std::string& path, MStlBase& mesh, std::string& error, ReadStats* stats) {
    mesh.ClearStl(true);
    ReadStats local;
    ReadStats& counts = stats ? *stats : local;
    counts = ReadStats();
    std::string buffer;
    if (!ReadWholeFile(path, buffer, error)) return false;

    bool ok;
    if (LowerExtension(path) == ".obj")
        ok = ReadObj(path, buffer, mesh, counts, error);
    else if (!IsBinaryStlOfExactSize(buffer) && buffer.compare(0, 5, "solid") == 0)
        ok = ReadAsciiStl(path, buffer, mesh, counts, error);
    else
        ok = ReadBinaryStl(path, buffer, mesh, counts, error);
    if (!ok) {
        mesh.ClearStl(false);
        counts = ReadStats();
        return false;
    }
    mesh.SetName(std::filesystem::path(path).stem().wstring());
    return true;
}

bool WriteMesh(const std::string& path, const MStlBase& mesh, MeshFormat format, std::string& error) {
    if (format == MeshFormat::BinaryStl && mesh.GetNumberOfTriangles() > UINT32_MAX) {
        error = "cannot write '" + path + "': binary STL holds at most 4294967295 triangles";
        return false;
    }
    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    bool ok;
    {
        OutputFile out(temporary);
        if (!out.IsOpen()) {
            error = "cannot create '" + temporary + "': " + std::strerror(errno);
            return false;
        }
        switch (format) {
            case MeshFormat::BinaryStl: WriteBinaryStl(out, mesh); break;
            case MeshFormat::AsciiStl: WriteAsciiStl(out, mesh); break;
            case MeshFormat::Obj: WriteObj(out, mesh); break;
        }
        ok = out.Close();
        if (!ok) error = "cannot write '" + temporary + "': " + std::strerror(errno);
    }
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot replace '" + path + "': " + std::strerror(errno);
        ok = false;
    }
    if (!ok) std::remove(temporary.c_str());
    return ok;
}

MeshFormat FormatFromPath(const std::string& path, bool asciiStl) {
    if (LowerExtension(path) == ".obj") return MeshFormat::Obj;
    return asciiStl ? MeshFormat::AsciiStl : MeshFormat::BinaryStl;
}

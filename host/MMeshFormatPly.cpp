// PLY, ASCII and binary (either byte order).  The "vertex" element gives the
// points (properties x, y, z of any numeric type); the "face" element gives
// the polygons (a "vertex_indices" or "vertex_index" list of any integer
// type).  Every other element and property is skipped, lists included.
#include <algorithm>
#include <cstring>

#include "host/MMeshFormat.h"
#include "host/MStlBase.h"

namespace meshio {

namespace {

constexpr uint64_t kProgressEvery = 4096;

enum class PlyType : uint8_t { Int8, UInt8, Int16, UInt16, Int32, UInt32, Float32, Float64 };

size_t SizeOf(PlyType t) {
    switch (t) {
        case PlyType::Int8:
        case PlyType::UInt8: return 1;
        case PlyType::Int16:
        case PlyType::UInt16: return 2;
        case PlyType::Int32:
        case PlyType::UInt32:
        case PlyType::Float32: return 4;
        case PlyType::Float64: return 8;
    }
    return 8;
}

bool IsInteger(PlyType t) { return t != PlyType::Float32 && t != PlyType::Float64; }

bool ParsePlyType(std::string_view name, PlyType& type) {
    static const struct {
        const char* name;
        PlyType type;
    } kNames[] = {{"char", PlyType::Int8},      {"int8", PlyType::Int8},       {"uchar", PlyType::UInt8},
                  {"uint8", PlyType::UInt8},    {"short", PlyType::Int16},     {"int16", PlyType::Int16},
                  {"ushort", PlyType::UInt16},  {"uint16", PlyType::UInt16},   {"int", PlyType::Int32},
                  {"int32", PlyType::Int32},    {"uint", PlyType::UInt32},     {"uint32", PlyType::UInt32},
                  {"float", PlyType::Float32},  {"float32", PlyType::Float32}, {"double", PlyType::Float64},
                  {"float64", PlyType::Float64}};
    for (const auto& n : kNames)
        if (name == n.name) {
            type = n.type;
            return true;
        }
    return false;
}

bool InRange(PlyType t, int64_t v) {
    switch (t) {
        case PlyType::Int8: return v >= INT8_MIN && v <= INT8_MAX;
        case PlyType::UInt8: return v >= 0 && v <= UINT8_MAX;
        case PlyType::Int16: return v >= INT16_MIN && v <= INT16_MAX;
        case PlyType::UInt16: return v >= 0 && v <= UINT16_MAX;
        case PlyType::Int32: return v >= INT32_MIN && v <= INT32_MAX;
        case PlyType::UInt32: return v >= 0 && v <= UINT32_MAX;
        default: return true;
    }
}

struct PlyProperty {
    std::string name;
    bool list = false;
    PlyType countType = PlyType::UInt8;
    PlyType type = PlyType::Float32;
};

struct PlyElement {
    std::string name;
    uint64_t count = 0;
    uint64_t line = 0;
    std::vector<PlyProperty> properties;
};

enum class PlyEncoding { Ascii, LittleEndian, BigEndian };

struct PlyHeader {
    PlyEncoding encoding = PlyEncoding::Ascii;
    std::vector<PlyElement> elements;
    size_t dataOffset = 0;
    uint64_t dataLine = 0;
};

// --- values ---------------------------------------------------------------

// Values of binary records.
class BinaryInput {
public:
    BinaryInput(std::string_view data, bool bigEndian) : m_data(data), m_swap(bigEndian) {}

    bool Number(PlyType t, double& value) {
        switch (t) {
            case PlyType::Float32: {
                float f;
                if (!Load(f)) return false;
                value = f;
                return true;
            }
            case PlyType::Float64: return Load(value);
            default: {
                int64_t i;
                if (!Integer(t, i)) return false;
                value = double(i);
                return true;
            }
        }
    }

    bool Integer(PlyType t, int64_t& value) {
        switch (t) {
            case PlyType::Int8: return LoadAs<int8_t>(value);
            case PlyType::UInt8: return LoadAs<uint8_t>(value);
            case PlyType::Int16: return LoadAs<int16_t>(value);
            case PlyType::UInt16: return LoadAs<uint16_t>(value);
            case PlyType::Int32: return LoadAs<int32_t>(value);
            case PlyType::UInt32: return LoadAs<uint32_t>(value);
            default: return false;
        }
    }

    // Skips `n` values; false when fewer remain.
    bool Skip(PlyType t, uint64_t n) {
        const uint64_t size = SizeOf(t);
        if (n > (m_data.size() - m_pos) / size) return false;
        m_pos += n * size;
        return true;
    }

    size_t Offset() const { return m_pos; }
    std::string Where(const PlyElement& e, uint64_t record) const {
        return e.name + " record " + std::to_string(record + 1);
    }

private:
    template <class T>
    bool Load(T& value) {
        if (m_data.size() - m_pos < sizeof(T)) return false;
        unsigned char raw[sizeof(T)];
        std::memcpy(raw, m_data.data() + m_pos, sizeof raw);
        if (m_swap) std::reverse(raw, raw + sizeof raw);
        std::memcpy(&value, raw, sizeof raw);
        m_pos += sizeof(T);
        return true;
    }
    template <class T>
    bool LoadAs(int64_t& value) {
        T v;
        if (!Load(v)) return false;
        value = int64_t(v);
        return true;
    }

    std::string_view m_data;
    size_t m_pos = 0;
    bool m_swap;
};

// Values of ASCII records: whitespace-separated tokens.
class AsciiInput {
public:
    AsciiInput(std::string_view data, uint64_t firstLine) : m_tokens(data, firstLine) {}

    bool Number(PlyType, double& value) {
        std::string_view token;
        return m_tokens.Next(token) && ParseDouble(token, value);
    }
    bool Integer(PlyType t, int64_t& value) {
        std::string_view token;
        return m_tokens.Next(token) && ParseInteger(token, value) && InRange(t, value);
    }
    // Each token takes at least one byte, so the loop ends with the text.
    bool Skip(PlyType, uint64_t n) {
        std::string_view token;
        for (uint64_t i = 0; i < n; ++i)
            if (!m_tokens.Next(token)) return false;
        return true;
    }

    size_t Offset() const { return m_tokens.Offset(); }
    std::string Where(const PlyElement&, uint64_t) const { return "line " + std::to_string(m_tokens.Line()); }

private:
    Tokenizer m_tokens;
};

// --- header ---------------------------------------------------------------

class PlyHeaderParser {
public:
    PlyHeaderParser(std::string_view bytes, const std::string& label, std::string& error)
        : m_lines(bytes, false), m_label(label), m_error(error) {}

    bool Parse(PlyHeader& header) {
        std::string_view line;
        m_lines.Next(line);  // "ply"
        bool format = false;
        while (m_lines.Next(line)) {
            Tokenizer fields(line);
            std::string_view keyword;
            if (!fields.Next(keyword)) continue;
            if (keyword == "comment" || keyword == "obj_info") continue;
            if (keyword == "end_header") {
                if (!format) return Fail("the header has no 'format' line");
                header.dataOffset = m_lines.Offset();
                header.dataLine = m_lines.Line() + 1;
                return true;
            }
            bool ok;
            if (keyword == "format") {
                ok = ParseFormat(fields, header);
                format = true;
            } else if (keyword == "element") {
                ok = ParseElement(fields, header);
            } else if (keyword == "property") {
                ok = ParseProperty(fields, header);
            } else {
                ok = Fail("unknown header keyword '" + Shown(keyword) + "'");
            }
            if (!ok) return false;
        }
        return Fail("the header has no 'end_header'");
    }

private:
    bool ParseFormat(Tokenizer& fields, PlyHeader& header) {
        std::string_view encoding;
        if (!fields.Next(encoding)) return Fail("'format' without an encoding");
        if (encoding == "ascii")
            header.encoding = PlyEncoding::Ascii;
        else if (encoding == "binary_little_endian")
            header.encoding = PlyEncoding::LittleEndian;
        else if (encoding == "binary_big_endian")
            header.encoding = PlyEncoding::BigEndian;
        else
            return Fail("unknown encoding '" + Shown(encoding) + "'");
        return true;
    }

    bool ParseElement(Tokenizer& fields, PlyHeader& header) {
        std::string_view name, count;
        int64_t n = 0;
        if (!fields.Next(name) || !fields.Next(count)) return Fail("'element' needs a name and a count");
        if (!ParseInteger(count, n) || n < 0)
            return Fail("malformed element count '" + Shown(count) + "'");
        header.elements.push_back({std::string(name.substr(0, 64)), uint64_t(n), m_lines.Line(), {}});
        return true;
    }

    bool ParseProperty(Tokenizer& fields, PlyHeader& header) {
        if (header.elements.empty()) return Fail("'property' before any 'element'");
        PlyProperty p;
        std::string_view token, name;
        if (!fields.Next(token)) return Fail("'property' without a type");
        if (token == "list") {
            p.list = true;
            std::string_view countType;
            if (!fields.Next(countType) || !fields.Next(token)) return Fail("'property list' needs two types");
            if (!ParsePlyType(countType, p.countType) || !IsInteger(p.countType))
                return Fail("list count type '" + Shown(countType) + "' is not an integer type");
        }
        if (!ParsePlyType(token, p.type)) return Fail("unknown property type '" + Shown(token) + "'");
        if (!fields.Next(name)) return Fail("'property' without a name");
        p.name = std::string(name.substr(0, 64));
        header.elements.back().properties.push_back(std::move(p));
        return true;
    }

    bool Fail(const std::string& why) {
        m_error = At(m_label, "line", m_lines.Line()) + why;
        return false;
    }

    LineReader m_lines;
    const std::string& m_label;
    std::string& m_error;
};

int FindProperty(const PlyElement& e, std::string_view name) {
    for (size_t i = 0; i < e.properties.size(); ++i)
        if (e.properties[i].name == name) return int(i);
    return -1;
}

// The least number of bytes an element's records take: binary sizes of the
// scalars and list counts, or two bytes per ASCII token (digit and space).
unsigned __int128 LeastBytes(const PlyElement& e, bool ascii) {
    uint64_t perRecord = 0;
    for (const PlyProperty& p : e.properties) perRecord += ascii ? 2 : SizeOf(p.list ? p.countType : p.type);
    return (unsigned __int128)perRecord * e.count;
}

// --- data -----------------------------------------------------------------

class PlyReader {
public:
    PlyReader(const PlyHeader& header, std::string_view bytes, MeshBuilder& builder, std::string& error)
        : m_header(header), m_bytes(bytes), m_builder(builder), m_error(error) {}

    bool Read() {
        if (!CheckLayout()) return false;
        const std::string_view data = m_bytes.substr(m_header.dataOffset);
        if (m_header.encoding == PlyEncoding::Ascii) {
            AsciiInput input(data, m_header.dataLine);
            return ReadElements(input);
        }
        BinaryInput input(data, m_header.encoding == PlyEncoding::BigEndian);
        return ReadElements(input);
    }

private:
    // Checks the vertex and face elements and the counts against the bytes
    // that follow, before anything is allocated.
    bool CheckLayout() {
        const bool ascii = m_header.encoding == PlyEncoding::Ascii;
        const uint64_t remaining = m_bytes.size() - m_header.dataOffset;
        unsigned __int128 least = 0;
        bool vertexSeen = false;
        for (size_t i = 0; i < m_header.elements.size(); ++i) {
            const PlyElement& e = m_header.elements[i];
            least += LeastBytes(e, ascii);
            if (e.name == "vertex") {
                if (vertexSeen) return Fail(e.line, "a second 'vertex' element");
                vertexSeen = true;
                m_vertexElement = int(i);
                for (int a = 0; a < 3; ++a) {
                    const char name[2] = {char('x' + a), 0};
                    m_xyz[a] = FindProperty(e, name);
                    if (m_xyz[a] < 0 || e.properties[size_t(m_xyz[a])].list)
                        return Fail(e.line, std::string("the 'vertex' element has no scalar property '") + name + "'");
                }
                if (e.count > UINT32_MAX) return Fail(e.line, "more vertices than a mesh can hold");
            } else if (e.name == "face") {
                if (m_faceElement >= 0) return Fail(e.line, "a second 'face' element");
                m_faceElement = int(i);
                m_indices = FindProperty(e, "vertex_indices");
                if (m_indices < 0) m_indices = FindProperty(e, "vertex_index");
                if (e.count == 0) continue;
                if (m_indices < 0 || !e.properties[size_t(m_indices)].list)
                    return Fail(e.line, "the 'face' element has no 'vertex_indices' list");
                if (!IsInteger(e.properties[size_t(m_indices)].type))
                    return Fail(e.line, "the face's vertex indices are not of an integer type");
                if (!vertexSeen) return Fail(e.line, "the 'face' element comes before the 'vertex' element");
            }
        }
        // An ASCII file may end without white space after its last token.
        if (least > (unsigned __int128)remaining + (ascii ? 1 : 0)) {
            m_error = m_builder.Label() + ": the PLY header announces records of at least " + ToString(least) +
                      " bytes but only " + std::to_string(remaining) + " bytes follow it";
            return false;
        }
        return true;
    }

    template <class Input>
    bool ReadElements(Input& input) {
        for (size_t i = 0; i < m_header.elements.size(); ++i) {
            const PlyElement& e = m_header.elements[i];
            if (e.properties.empty() || e.count == 0) continue;
            if (int(i) == m_vertexElement) {
                if (!ReadVertices(input, e)) return false;
            } else if (int(i) == m_faceElement) {
                if (!ReadFaces(input, e)) return false;
            } else {
                for (uint64_t r = 0; r < e.count; ++r)
                    if (!Progress(input, r) || !SkipRecord(input, e, r)) return false;
            }
        }
        return true;
    }

    template <class Input>
    bool ReadVertices(Input& input, const PlyElement& e) {
        m_vertices.reserve(e.count);
        m_builder.Reserve(e.count, 0);
        for (uint64_t r = 0; r < e.count; ++r) {
            if (!Progress(input, r)) return false;
            FileVertex v{};
            for (size_t k = 0; k < e.properties.size(); ++k) {
                const PlyProperty& p = e.properties[k];
                const int axis = int(k) == m_xyz[0] ? 0 : int(k) == m_xyz[1] ? 1 : int(k) == m_xyz[2] ? 2 : -1;
                if (axis >= 0) {
                    if (!input.Number(p.type, v.xyz[axis])) return Truncated(input, e, r, "a coordinate");
                } else if (!SkipProperty(input, e, r, p)) {
                    return false;
                }
            }
            std::string why;
            v.point = m_builder.Point(v.xyz, why);
            if (!v.point) return Fail(input, e, r, why);
            m_vertices.push_back(v);
        }
        return true;
    }

    template <class Input>
    bool ReadFaces(Input& input, const PlyElement& e) {
        for (uint64_t r = 0; r < e.count; ++r) {
            if (!Progress(input, r)) return false;
            for (size_t k = 0; k < e.properties.size(); ++k) {
                const PlyProperty& p = e.properties[k];
                if (int(k) != m_indices) {
                    if (!SkipProperty(input, e, r, p)) return false;
                } else if (!ReadPolygon(input, e, r, p)) {
                    return false;
                }
            }
        }
        return true;
    }

    template <class Input>
    bool ReadPolygon(Input& input, const PlyElement& e, uint64_t r, const PlyProperty& p) {
        int64_t count = 0;
        if (!input.Integer(p.countType, count)) return Truncated(input, e, r, "the corner count");
        if (count < 3) return Fail(input, e, r, "face with " + std::to_string(count) + " corners");
        if (count > int64_t(MeshReadLimits::kMaxFaceCorners))
            return Fail(input, e, r, "face with " + std::to_string(count) + " corners, more than " +
                                         std::to_string(MeshReadLimits::kMaxFaceCorners));
        m_corners.clear();
        for (int64_t k = 0; k < count; ++k) {
            int64_t index = 0;
            if (!input.Integer(p.type, index)) return Truncated(input, e, r, "a vertex index");
            if (index < 0 || uint64_t(index) >= m_vertices.size())
                return Fail(input, e, r, "face index " + std::to_string(index) + " out of range (" +
                                             std::to_string(m_vertices.size()) + " vertices)");
            m_corners.push_back(uint32_t(index));
        }
        std::string why;
        return AddPolygon(m_builder, m_vertices, m_corners.data(), m_corners.size(), why) || Fail(input, e, r, why);
    }

    template <class Input>
    bool SkipRecord(Input& input, const PlyElement& e, uint64_t r) {
        for (const PlyProperty& p : e.properties)
            if (!SkipProperty(input, e, r, p)) return false;
        return true;
    }

    template <class Input>
    bool SkipProperty(Input& input, const PlyElement& e, uint64_t r, const PlyProperty& p) {
        if (!p.list) return input.Skip(p.type, 1) || Truncated(input, e, r, "property '" + p.name + "'");
        int64_t count = 0;
        if (!input.Integer(p.countType, count)) return Truncated(input, e, r, "the length of list '" + p.name + "'");
        if (count < 0) return Fail(input, e, r, "list '" + p.name + "' of negative length");
        return input.Skip(p.type, uint64_t(count)) || Truncated(input, e, r, "list '" + p.name + "'");
    }

    template <class Input>
    bool Progress(Input& input, uint64_t record) {
        if (record % kProgressEvery != 0 || m_builder.Progress(m_header.dataOffset + input.Offset())) return true;
        m_error = "cancelled";
        return false;
    }

    template <class Input>
    bool Truncated(const Input& input, const PlyElement& e, uint64_t r, const std::string& what) {
        return Fail(input, e, r,
                    "malformed or missing " + what + " in '" + e.name + "' record " + std::to_string(r + 1) + " of " +
                        std::to_string(e.count));
    }

    template <class Input>
    bool Fail(const Input& input, const PlyElement& e, uint64_t r, const std::string& why) {
        m_error = m_builder.Label() + " " + input.Where(e, r) + ": " + why;
        return false;
    }

    bool Fail(uint64_t line, const std::string& why) {
        m_error = At(m_builder.Label(), "line", line) + why;
        return false;
    }

    static std::string ToString(unsigned __int128 v) {
        std::string digits;
        do {
            digits.insert(digits.begin(), char('0' + int(v % 10)));
            v /= 10;
        } while (v);
        return digits;
    }

    const PlyHeader& m_header;
    std::string_view m_bytes;
    MeshBuilder& m_builder;
    std::string& m_error;
    int m_vertexElement = -1;
    int m_faceElement = -1;
    int m_xyz[3] = {-1, -1, -1};
    int m_indices = -1;
    std::vector<FileVertex> m_vertices;
    std::vector<uint32_t> m_corners;
};

}  // namespace

bool HasPlySignature(std::string_view bytes) {
    return bytes.substr(0, 4) == "ply\n" || bytes.substr(0, 4) == "ply\r";
}

bool ReadPly(std::string_view bytes, MeshBuilder& builder, MeshFormat& format, std::string& error) {
    if (!HasPlySignature(bytes)) {
        error = builder.Label() + " does not start with the PLY signature 'ply'";
        return false;
    }
    PlyHeader header;
    if (!PlyHeaderParser(bytes, builder.Label(), error).Parse(header)) return false;
    format = header.encoding == PlyEncoding::Ascii ? MeshFormat::AsciiPly : MeshFormat::BinaryPly;
    return PlyReader(header, bytes, builder, error).Read();
}

bool WritePly(OutputSink& out, const MStlBase& mesh, bool binary, std::string&) {
    const IndexedPoints indexed(mesh);
    const bool wideIndices = indexed.points.size() > uint64_t(INT32_MAX);
    out.Write(std::string("ply\nformat ") + (binary ? "binary_little_endian" : "ascii") +
              " 1.0\ncomment coordinates in model units\nelement vertex " + std::to_string(indexed.points.size()) +
              "\nproperty double x\nproperty double y\nproperty double z\nelement face " +
              std::to_string(mesh.GetNumberOfTriangles()) + "\nproperty list uchar " +
              (wideIndices ? "uint" : "int") + " vertex_indices\nend_header\n");
    std::string line;
    for (const MStlPoint* p : indexed.points) {
        if (binary) {
            const double xyz[3] = {ModelValue(p->Get(0)), ModelValue(p->Get(1)), ModelValue(p->Get(2))};
            out.Write(xyz, sizeof xyz);
        } else {
            AppendPointLine(line, "", p);
            out.Write(line);
        }
        if (!out.Records()) return false;
    }
    for (const MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext()) {
        if (binary) {
            char record[13];
            record[0] = 3;
            for (int k = 0; k < 3; ++k) {
                const uint32_t index = indexed.IndexOf(t->GetPoint(k));
                std::memcpy(record + 1 + 4 * k, &index, sizeof index);
            }
            out.Write(record, sizeof record);
        } else {
            AppendFaceLine(line, "3", indexed, t, 0);
            out.Write(line);
        }
        if (!out.Records()) return false;
    }
    return true;
}

}  // namespace meshio

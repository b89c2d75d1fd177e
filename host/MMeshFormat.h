// Pieces shared by the mesh file readers and writers of MStlIO: the mesh
// builder that converts and counts, text scanning, number parsing, the
// buffered output sink, and the entry points of each format family
// (MMeshFormatStl.cpp, MMeshFormatObj.cpp, MMeshFormatOff.cpp,
// MMeshFormatPly.cpp, MMeshFormat3mf.cpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/MInternalUnits.h"
#include "host/MProgress.h"
#include "host/MStlBase.h"
#include "host/MStlIO.h"

namespace meshio {

// --- coordinates --------------------------------------------------------

// The nearest step of a model-unit coordinate.  Returns "" on success,
// otherwise why the value was refused (not a number, out of range).
inline const char* ToSteps(double model, int32_t& steps) {
    if (std::isnan(model)) return "not a number";
    const double scaled = model * QelSDK::Common::MInternalUnits::Get();
    // Halves round away from zero, so the bounds exclude them.
    if (!(scaled > -2147483648.5 && scaled < 2147483647.5)) return "coordinate out of range";
    // As llround, without its call: the fraction left by truncation is exact.
    int64_t whole = int64_t(scaled);
    const double fraction = scaled - double(whole);
    whole += fraction >= 0.5 ? 1 : fraction <= -0.5 ? -1 : 0;
    steps = int32_t(whole);
    return "";
}

// The model-unit value of a step, as the text writers print it.
inline double ModelValue(int32_t steps) { return double(steps) / QelSDK::Common::MInternalUnits::Get(); }
// The float nearest a step's model value that still reads back inside the
// grid's range (stepping toward zero where the nearest one would not).
float ModelFloat(int32_t steps);
// Appends the shortest decimal that reads back to the same step.
void AppendModelValue(std::string& out, int32_t steps);
// "(x, y, z)" in model units.
std::string DescribePoint(const MStlPoint* p);
std::string DescribeSteps(const int32_t steps[3]);
// Why a format does not hold a mesh: how many of its points move, and the
// first of them.
std::string MovedPoints(const char* reason, uint64_t moved, uint64_t points, const int32_t from[3],
                        const int32_t to[3]);

// --- reading ------------------------------------------------------------

// Fills the mesh of a file: converts coordinates, merges points, adds
// triangles, keeps ReadStats, reports progress by byte offset.
class MeshBuilder {
public:
    MeshBuilder(MStlBase& mesh, ReadStats& stats, std::string label, uint64_t totalBytes,
                const QelSDK::Common::ProgressPtr& progress);
    ~MeshBuilder();
    MeshBuilder(const MeshBuilder&) = delete;
    MeshBuilder& operator=(const MeshBuilder&) = delete;

    // The file as messages name it: "'path'" or "standard input".
    const std::string& Label() const { return m_label; }
    MStlBase& Mesh() { return m_mesh; }
    ReadStats& Stats() { return m_stats; }

    void Reserve(uint64_t points, uint64_t triangles);
    // The point at file coordinates (model units); null with `why` set when
    // a coordinate is refused.
    MStlPoint* Point(const double xyz[3], std::string& why) {
        int32_t c[3];
        for (int a = 0; a < 3; ++a) {
            const char* reason = ToSteps(xyz[a], c[a]);
            if (*reason) [[unlikely]] {
                why = reason;
                return nullptr;
            }
            m_min[a] = std::min(m_min[a], xyz[a]);
            m_max[a] = std::max(m_max[a], xyz[a]);
        }
        return m_mesh.AddPoint(c[0], c[1], c[2]);
    }
    // Adds a triangle of points from Point(); `file` holds the corners' file
    // coordinates, consulted when the corners coincide on the grid.  False
    // (with `why`) only when a corner already has the most triangles a point
    // may have.
    bool Triangle(MStlPoint* const corners[3], const double* const file[3], std::string& why) {
        ++m_stats.trianglesRead;
        if (corners[0] != corners[1] && corners[1] != corners[2] && corners[2] != corners[0] &&
            m_mesh.AddTriangle(corners[0], corners[1], corners[2])) [[likely]]
            return true;
        return NotAdded(corners, file, why);
    }
    // Reports reading up to byte `offset`; false once cancelled.
    bool Progress(uint64_t offset);

private:
    // A triangle that AddTriangle refused: counted when degenerate, an
    // error when a corner's fan is full.
    bool NotAdded(MStlPoint* const corners[3], const double* const file[3], std::string& why);

    MStlBase& m_mesh;
    ReadStats& m_stats;
    std::string m_label;
    // Extent of the points so far, written to the stats at the end.
    double m_min[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL};
    double m_max[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    std::unique_ptr<QelSDK::Common::IncrementalProgressReporter> m_progress;
    uint64_t m_reported = 0;
};

// Vertices of an indexed format: the mesh point and the file coordinates.
struct FileVertex {
    MStlPoint* point;
    double xyz[3];
};

// Adds the polygon `corners` (indices into `vertices`, already checked) as
// a fan around its first corner.
bool AddPolygon(MeshBuilder& builder, const std::vector<FileVertex>& vertices, const uint32_t* corners,
                size_t count, std::string& why);

// "'name' line 12: ", "'name' triangle record 3: ".
std::string At(const std::string& label, const char* unit, uint64_t number);

// Parses a whole token as a double (a leading '+' allowed).
bool ParseDouble(std::string_view token, double& value);
// Parses a whole token as a signed integer.
bool ParseInteger(std::string_view token, int64_t& value);
// A token as messages show it: at most 40 characters, unprintable ones as '?'.
std::string Shown(std::string_view token);
// Appends a decimal index.
void AppendIndex(std::string& out, uint64_t index);
// Case-insensitive comparison with a lower-case word.
bool EqualsWord(std::string_view token, std::string_view lowerWord);
// True when no byte is a control character other than white space.
bool LooksLikeText(std::string_view bytes);

inline bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

// Whitespace-separated tokens of a text, with the line number of the last
// token returned.
class Tokenizer {
public:
    explicit Tokenizer(std::string_view text, uint64_t firstLine = 1) : m_text(text), m_line(firstLine) {}
    bool Next(std::string_view& token) {
        SkipSpace();
        if (m_pos >= m_text.size()) return false;
        const size_t start = m_pos;
        while (m_pos < m_text.size() && !IsSpace(m_text[m_pos])) ++m_pos;
        token = m_text.substr(start, m_pos - start);
        return true;
    }
    // Skips the rest of the current line.
    void SkipLine() {
        while (m_pos < m_text.size() && m_text[m_pos] != '\n') ++m_pos;
    }
    uint64_t Line() const { return m_line; }
    size_t Offset() const { return m_pos; }

private:
    void SkipSpace() {
        while (m_pos < m_text.size() && IsSpace(m_text[m_pos])) {
            if (m_text[m_pos] == '\n') ++m_line;
            ++m_pos;
        }
    }
    std::string_view m_text;
    size_t m_pos = 0;
    uint64_t m_line;
};

// Lines of a text with their numbers; a trailing '\r' is dropped and a
// '#' starts a comment when `comments` is set.
class LineReader {
public:
    LineReader(std::string_view text, bool comments) : m_text(text), m_comments(comments) {}
    bool Next(std::string_view& line);
    uint64_t Line() const { return m_line; }
    size_t Offset() const { return m_pos; }

private:
    std::string_view m_text;
    bool m_comments;
    size_t m_pos = 0;
    uint64_t m_line = 0;
};

// Format readers.  Each fills the builder or returns false with a message.
bool ReadBinaryStl(std::string_view bytes, MeshBuilder& builder, std::string& error);
bool ReadAsciiStl(std::string_view bytes, MeshBuilder& builder, std::string& error);
bool ReadObj(std::string_view bytes, MeshBuilder& builder, std::string& error);
bool ReadOff(std::string_view bytes, MeshBuilder& builder, std::string& error);
// Sets `format` to BinaryPly or AsciiPly.
bool ReadPly(std::string_view bytes, MeshBuilder& builder, MeshFormat& format, std::string& error);
bool Read3mf(std::string_view bytes, MeshBuilder& builder, std::string& error);

// Content signatures.
bool IsBinaryStlOfExactSize(std::string_view bytes);
bool StartsWithSolid(std::string_view bytes);
bool HasOffSignature(std::string_view bytes);
bool HasPlySignature(std::string_view bytes);
bool Has3mfSignature(std::string_view bytes);

// --- writing ------------------------------------------------------------

// Buffered sequential output to a C stream that remembers the first failure
// and reports progress per record.
class OutputSink {
public:
    OutputSink(std::FILE* file, uint64_t records, const QelSDK::Common::ProgressPtr& progress);
    ~OutputSink();
    OutputSink(const OutputSink&) = delete;
    OutputSink& operator=(const OutputSink&) = delete;

    void Write(const void* data, size_t bytes) {
        m_buffer.append(static_cast<const char*>(data), bytes);
        if (m_buffer.size() >= kFlushBytes) Flush();
    }
    void Write(std::string_view text) { Write(text.data(), text.size()); }
    // Counts `n` of the records announced to the constructor as written;
    // false once cancelled.
    bool Records(uint64_t n = 1);
    // Asks the delegate now; false once cancelled.
    bool Poll();
    bool Cancelled() const { return m_cancelled; }
    // Flushes; true when every byte reached the stream.
    bool Finish();

private:
    static constexpr size_t kFlushBytes = 1 << 20;
    void Flush();
    std::FILE* m_file;
    std::string m_buffer;
    bool m_ok = true;
    bool m_cancelled = false;
    std::unique_ptr<QelSDK::Common::IncrementalProgressReporter> m_progress;
    uint64_t m_batch;
    uint64_t m_pending = 0;
};

// The points used by the mesh's triangles, numbered from 0 in the order of
// their first use.
struct IndexedPoints {
    explicit IndexedPoints(const MStlBase& mesh);
    uint32_t IndexOf(const MStlPoint* p) const;
    std::vector<const MStlPoint*> points;
    std::vector<uint32_t> indexOfSlot;  // index + 1, 0 for unused slots
};

// One line of a text format: `prefix` then the point's three coordinates.
void AppendPointLine(std::string& line, std::string_view prefix, const MStlPoint* p);
// One line of a text format: `prefix` then the triangle's three point
// indices plus `firstIndex` (1 in OBJ).
void AppendFaceLine(std::string& line, std::string_view prefix, const IndexedPoints& indexed,
                    const MStlTriangleElement* t, uint64_t firstIndex);

// Writers; false when cancelled (the sink says so) or when the format cannot
// hold the mesh (`error` says why).
bool WriteBinaryStl(OutputSink& out, const MStlBase& mesh, std::string& error);
bool WriteAsciiStl(OutputSink& out, const MStlBase& mesh, std::string& error);
bool WriteObj(OutputSink& out, const MStlBase& mesh, std::string& error);
bool WriteOff(OutputSink& out, const MStlBase& mesh, std::string& error);
bool WritePly(OutputSink& out, const MStlBase& mesh, bool binary, std::string& error);
bool Write3mf(OutputSink& out, const MStlBase& mesh, std::string& error);

// 3MF's own round trip of the mesh's coordinates (lib3mf prints a limited
// number of decimals); see FormatHoldsMesh.
bool ThreeMfHoldsMesh(const MStlBase& mesh, std::string& why);

}  // namespace meshio

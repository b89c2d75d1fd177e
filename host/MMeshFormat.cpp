#include "host/MMeshFormat.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "host/MStlBase.h"

namespace meshio {

using QelSDK::Common::IncrementalProgressReporter;
using QelSDK::Common::ProgressPtr;

float ModelFloat(int32_t steps) {
    float value = float(ModelValue(steps));
    int32_t back = 0;
    while (*ToSteps(value, back)) value = std::nextafter(value, 0.0f);
    return value;
}

void AppendModelValue(std::string& out, int32_t steps) {
    char digits[32];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, ModelValue(steps)).ptr);
}

std::string DescribeSteps(const int32_t steps[3]) {
    std::string text = "(";
    for (int a = 0; a < 3; ++a) {
        if (a) text += ", ";
        AppendModelValue(text, steps[a]);
    }
    return text + ")";
}

std::string DescribePoint(const MStlPoint* p) {
    const int32_t steps[3] = {p->Get(0), p->Get(1), p->Get(2)};
    return DescribeSteps(steps);
}

std::string MovedPoints(const char* reason, uint64_t moved, uint64_t points, const int32_t from[3],
                        const int32_t to[3]) {
    return std::string(reason) + ": " + std::to_string(moved) + " of " + std::to_string(points) +
           " points would move, the first from " + DescribeSteps(from) + " to " + DescribeSteps(to);
}

// --- MeshBuilder ----------------------------------------------------------

MeshBuilder::MeshBuilder(MStlBase& mesh, ReadStats& stats, std::string label, uint64_t totalBytes,
                         const ProgressPtr& progress)
    : m_mesh(mesh), m_stats(stats), m_label(std::move(label)) {
    if (progress) m_progress = std::make_unique<IncrementalProgressReporter>(progress, "reading", totalBytes);
}

MeshBuilder::~MeshBuilder() {
    if (m_min[0] > m_max[0]) return;  // no point
    std::copy(m_min, m_min + 3, m_stats.modelMin);
    std::copy(m_max, m_max + 3, m_stats.modelMax);
}

void MeshBuilder::Reserve(uint64_t points, uint64_t triangles) { m_mesh.Reserve(points, triangles); }

namespace {
bool SameFilePoint(const double* a, const double* b) { return a[0] == b[0] && a[1] == b[1] && a[2] == b[2]; }
}  // namespace

bool MeshBuilder::NotAdded(MStlPoint* const corners[3], const double* const file[3], std::string& why) {
    if (corners[0] == corners[1] || corners[1] == corners[2] || corners[2] == corners[0]) {
        ++m_stats.skippedDegenerate;
        if (!SameFilePoint(file[0], file[1]) && !SameFilePoint(file[1], file[2]) && !SameFilePoint(file[2], file[0]))
            ++m_stats.collapsedByRounding;
        return true;
    }
    for (int k = 0; k < 3; ++k)
        if (corners[k]->GetNumberOfNeighbourTriangles() >= MStlBase::kMaxTrianglesPerPoint) {
            why = "point " + DescribePoint(corners[k]) + " is a corner of more than " +
                  std::to_string(MStlBase::kMaxTrianglesPerPoint) + " triangles";
            return false;
        }
    why = "the mesh refused a triangle";
    return false;
}

bool MeshBuilder::Progress(uint64_t offset) {
    if (!m_progress) return true;
    if (offset > m_reported) {
        *m_progress += offset - m_reported;
        m_reported = offset;
    }
    return !m_progress->IsCancelled();
}

bool AddPolygon(MeshBuilder& builder, const std::vector<FileVertex>& vertices, const uint32_t* corners,
                size_t count, std::string& why) {
    const FileVertex& first = vertices[corners[0]];
    for (size_t i = 1; i + 1 < count; ++i) {
        const FileVertex& b = vertices[corners[i]];
        const FileVertex& c = vertices[corners[i + 1]];
        MStlPoint* const points[3] = {first.point, b.point, c.point};
        const double* const file[3] = {first.xyz, b.xyz, c.xyz};
        if (!builder.Triangle(points, file, why)) return false;
    }
    return true;
}

// --- text -----------------------------------------------------------------

std::string At(const std::string& label, const char* unit, uint64_t number) {
    return label + " " + unit + " " + std::to_string(number) + ": ";
}

bool ParseDouble(std::string_view token, double& value) {
    if (token.size() > 1 && token.front() == '+' && token[1] != '-') token.remove_prefix(1);
    const char* end = token.data() + token.size();
    const auto result = std::from_chars(token.data(), end, value);
    if (result.ptr != end) return false;
    // Beyond double: strtod gives the infinity or the zero it stands for.
    if (result.ec == std::errc::result_out_of_range) value = std::strtod(std::string(token).c_str(), nullptr);
    return result.ec == std::errc() || result.ec == std::errc::result_out_of_range;
}

bool ParseInteger(std::string_view token, int64_t& value) {
    if (token.size() > 1 && token.front() == '+' && token[1] != '-') token.remove_prefix(1);
    const char* end = token.data() + token.size();
    const auto result = std::from_chars(token.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

std::string Shown(std::string_view token) {
    std::string shown;
    for (char c : token.substr(0, 40)) shown += (c >= 0x20 && c < 0x7F) ? c : '?';
    if (token.size() > 40) shown += "...";
    return shown;
}

void AppendIndex(std::string& out, uint64_t index) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, index).ptr);
}

bool EqualsWord(std::string_view token, std::string_view lowerWord) {
    if (token.size() != lowerWord.size()) return false;
    for (size_t i = 0; i < token.size(); ++i) {
        const char c = token[i];
        if ((c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c) != lowerWord[i]) return false;
    }
    return true;
}

bool LooksLikeText(std::string_view bytes) {
    for (unsigned char c : bytes)
        if (c < 0x20 && !IsSpace(char(c))) return false;
    return true;
}

bool LineReader::Next(std::string_view& line) {
    if (m_pos >= m_text.size()) return false;
    ++m_line;
    const size_t eol = m_text.find('\n', m_pos);
    const size_t end = eol == std::string_view::npos ? m_text.size() : eol;
    line = m_text.substr(m_pos, end - m_pos);
    m_pos = eol == std::string_view::npos ? m_text.size() : eol + 1;
    if (m_comments) line = line.substr(0, line.find('#'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
}

// --- writing --------------------------------------------------------------

OutputSink::OutputSink(std::FILE* file, uint64_t records, const ProgressPtr& progress)
    : m_file(file), m_batch(std::max<uint64_t>(1, std::min<uint64_t>(1024, records / 1000))) {
    if (progress) m_progress = std::make_unique<IncrementalProgressReporter>(progress, "writing", records);
}

OutputSink::~OutputSink() = default;

bool OutputSink::Records(uint64_t n) {
    if (!m_progress) return true;
    m_pending += n;
    if (m_pending < m_batch) return !m_cancelled;
    *m_progress += m_pending;
    m_pending = 0;
    return Poll();
}

bool OutputSink::Poll() {
    if (m_progress && m_progress->IsCancelled()) m_cancelled = true;
    return !m_cancelled;
}

void OutputSink::Flush() {
    if (m_ok && !m_buffer.empty() && std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_file) != m_buffer.size())
        m_ok = false;
    m_buffer.clear();
}

bool OutputSink::Finish() {
    Flush();
    if (m_ok && std::fflush(m_file) != 0) m_ok = false;
    return m_ok;
}

IndexedPoints::IndexedPoints(const MStlBase& mesh) : indexOfSlot(mesh.GetNumberOfPointSlots(), 0) {
    points.reserve(mesh.GetNumberOfPoints());
    for (const MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext())
        for (int k = 0; k < 3; ++k) {
            const MStlPoint* p = t->GetPoint(k);
            uint32_t& index = indexOfSlot[p->GetIndex()];
            if (index == 0) {
                points.push_back(p);
                index = uint32_t(points.size());
            }
        }
}

uint32_t IndexedPoints::IndexOf(const MStlPoint* p) const { return indexOfSlot[p->GetIndex()] - 1; }

void AppendPointLine(std::string& line, std::string_view prefix, const MStlPoint* p) {
    line.assign(prefix);
    for (int a = 0; a < 3; ++a) {
        if (a || !prefix.empty()) line += ' ';
        AppendModelValue(line, p->Get(a));
    }
    line += '\n';
}

void AppendFaceLine(std::string& line, std::string_view prefix, const IndexedPoints& indexed,
                    const MStlTriangleElement* t, uint64_t firstIndex) {
    line.assign(prefix);
    for (int k = 0; k < 3; ++k) {
        line += ' ';
        AppendIndex(line, uint64_t(indexed.IndexOf(t->GetPoint(k))) + firstIndex);
    }
    line += '\n';
}

}  // namespace meshio

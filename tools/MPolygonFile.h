// Reading cut profiles from text files for the command-line tool.
//
// Format: one point per line, "x y" in model units separated by white space;
// a blank line ends a contour; '#' starts a comment up to the end of the line,
// and a line holding only a comment is skipped (it does not end a contour).
// "inf", "+inf" and "-inf" stand for plus and minus infinity: the profile
// then reaches just beyond the mesh on that side.  A contour needs at least
// three distinct points; it is closed implicitly, and a repeated first point
// at its end is dropped, as are repeated consecutive points.
//
// Limits, so that no file can make the reader or the cut run away: a file
// holds at most kMaxPolygonPoints (100,000) points in all, a line at most
// kMaxPolygonLineLength (4096) characters, and the file at most
// kMaxPolygonFileBytes (64 MiB); only regular files are read (a FIFO, a
// device or a directory is refused).  A cut along an outline of 100,000
// points takes about two seconds on a mesh of 100,000 triangles; an outline
// whose edges run back and forth across the mesh costs more, in proportion
// to the triangles its walls cross.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <compare>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "MCutter.h"
#include "tools/MCommandLine.h"

namespace meshcut_cli {

struct ProfilePoint {
    long x = 0, y = 0;
    bool operator==(const ProfilePoint&) const = default;
    auto operator<=>(const ProfilePoint&) const = default;
};
using ProfileContour = std::vector<ProfilePoint>;

constexpr size_t kMaxPolygonPoints = 100000;
constexpr size_t kMaxPolygonLineLength = 4096;
constexpr uint64_t kMaxPolygonFileBytes = uint64_t(64) << 20;

namespace polygon_file_detail {

// One coordinate in model units -> internal units, or an infinity marker.
inline bool ParseCoordinate(const std::string& token, long& value, std::string& error) {
    if (token == "inf" || token == "+inf") return value = MCutter::kPlusInfinity, true;
    if (token == "-inf") return value = MCutter::kMinusInfinity, true;
    char* end = nullptr;
    const double model = std::strtod(token.c_str(), &end);
    if (end == token.c_str() || *end != '\0') {
        error = "'" + token + "' is not a number";
        return false;
    }
    if (!std::isfinite(model)) {
        error = "'" + token + "' is not a finite number (write inf or -inf for infinity)";
        return false;
    }
    if (!ToInternal(model, value, error)) return false;
    // The extreme grid values mean infinity to the cutter; a finite value
    // must not turn into one by rounding.
    if (value == MCutter::kPlusInfinity || value == MCutter::kMinusInfinity) {
        error = "value " + token + " is outside the coordinate range (write inf or -inf for infinity)";
        return false;
    }
    return true;
}

inline std::string StripComment(const std::string& line) { return line.substr(0, line.find('#')); }

inline bool IsBlank(const std::string& text) {
    return text.find_first_not_of(" \t\r\f\v") == std::string::npos;
}

inline bool ParsePoint(const std::string& text, ProfilePoint& point, std::string& error) {
    std::istringstream in(text);
    std::string x, y, extra;
    if (!(in >> x >> y) || in >> extra) {
        error = "expected one \"x y\" pair";
        return false;
    }
    return ParseCoordinate(x, point.x, error) && ParseCoordinate(y, point.y, error);
}

inline void DropRepeatedPoints(ProfileContour& contour) {
    contour.erase(std::unique(contour.begin(), contour.end()), contour.end());
    while (contour.size() > 1 && contour.back() == contour.front()) contour.pop_back();
}

inline size_t CountDistinct(ProfileContour points) {
    std::sort(points.begin(), points.end());
    return size_t(std::unique(points.begin(), points.end()) - points.begin());
}

// One line without its end; false at the end of the input.  A line longer
// than the limit is not stored: `tooLong` is set and reading stops there.
inline bool ReadBoundedLine(std::istream& in, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    std::streambuf* buffer = in.rdbuf();
    if (!buffer) return false;
    for (;;) {
        const int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof()) return !line.empty();
        if (c == '\n') return true;
        if (line.size() == kMaxPolygonLineLength) return tooLong = true;
        line.push_back(char(c));
    }
}

// The whole of a regular file, at most `limit` bytes.  Opened without
// blocking, so that a FIFO without a writer cannot stall the open.
inline bool ReadRegularFile(const std::string& path, uint64_t limit, std::string& bytes, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return error = path + ": cannot open the file (" + std::strerror(errno) + ")", false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0;
    if (!ok) error = path + ": cannot read the file (" + std::strerror(errno) + ")";
    else if (!S_ISREG(info.st_mode))
        ok = false, error = path + ": not a regular file (a FIFO, device or directory is not read as a polygon file)";
    const auto tooLarge = [&] {
        error = path + ": the file is larger than " + std::to_string(limit >> 20) + " MiB; polygon files are read up to that size";
        return false;
    };
    if (ok && uint64_t(info.st_size) > limit) ok = tooLarge();
    bytes.clear();
    char chunk[1 << 16];
    while (ok) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false, error = path + ": cannot read the file (" + std::strerror(errno) + ")";
        if (n <= 0) break;
        if (bytes.size() + size_t(n) > limit) ok = tooLarge();
        else bytes.append(chunk, size_t(n));
    }
    ::close(fd);
    return ok;
}

}  // namespace polygon_file_detail

// Reads the contours of `in`; `name` prefixes every message ("NAME:LINE: ...").
// A line longer than kMaxPolygonLineLength or more than kMaxPolygonPoints
// points in all are refused.
inline bool ReadPolygons(std::istream& in, const std::string& name, std::vector<ProfileContour>& contours,
                         std::string& error) {
    using namespace polygon_file_detail;
    contours.clear();
    ProfileContour current;
    int currentLine = 0, lineNumber = 0;
    auto where = [&](int line) { return name + ":" + std::to_string(line) + ": "; };
    auto closeContour = [&] {
        if (current.empty()) return true;
        DropRepeatedPoints(current);
        const size_t distinct = CountDistinct(current);
        if (distinct < 3) {
            error = where(currentLine) + "the contour starting here has " + std::to_string(distinct) +
                    " distinct points; at least 3 are needed";
            return false;
        }
        contours.push_back(std::move(current));
        current.clear();
        return true;
    };

    std::string line;
    bool tooLong = false;
    size_t points = 0;
    while (ReadBoundedLine(in, line, tooLong)) {
        ++lineNumber;
        if (tooLong) {
            error = where(lineNumber) + "the line is longer than " + std::to_string(kMaxPolygonLineLength) + " characters";
            return false;
        }
        const std::string text = StripComment(line);
        if (IsBlank(text)) {
            const bool commentOnly = text.size() != line.size();
            if (!commentOnly && !closeContour()) return false;
            continue;
        }
        ProfilePoint point;
        if (!ParsePoint(text, point, error)) {
            error = where(lineNumber) + error;
            return false;
        }
        if (++points > kMaxPolygonPoints) {
            error = where(lineNumber) + "more than " + std::to_string(kMaxPolygonPoints) +
                    " points; a polygon file holds at most " + std::to_string(kMaxPolygonPoints) + " points";
            return false;
        }
        if (current.empty()) currentLine = lineNumber;
        current.push_back(point);
    }
    if (!closeContour()) return false;
    if (contours.empty()) {
        error = name + ": the file holds no contour";
        return false;
    }
    return true;
}

// Reads a regular file of at most kMaxPolygonFileBytes.
inline bool ReadPolygonFile(const std::string& path, std::vector<ProfileContour>& contours, std::string& error) {
    std::string bytes;
    if (!polygon_file_detail::ReadRegularFile(path, kMaxPolygonFileBytes, bytes, error)) return false;
    std::istringstream in(std::move(bytes));
    return ReadPolygons(in, path, contours, error);
}

}  // namespace meshcut_cli

// Reading cut profiles from text files for the command-line tool.
//
// Format: one point per line, "x y" in model units separated by white space;
// a blank line ends a contour; '#' starts a comment up to the end of the line,
// and a line holding only a comment is skipped (it does not end a contour).
// "inf", "+inf" and "-inf" stand for plus and minus infinity: the profile
// then reaches just beyond the mesh on that side.  A contour needs at least
// three distinct points; it is closed implicitly, and a repeated first point
// at its end is dropped, as are repeated consecutive points.
#pragma once

#include <algorithm>
#include <cmath>
#include <compare>
#include <cstdlib>
#include <fstream>
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

}  // namespace polygon_file_detail

// Reads the contours of `in`; `name` prefixes every message ("NAME:LINE: ...").
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
    while (std::getline(in, line)) {
        ++lineNumber;
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

inline bool ReadPolygonFile(const std::string& path, std::vector<ProfileContour>& contours, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot open the file";
        return false;
    }
    return ReadPolygons(in, path, contours, error);
}

}  // namespace meshcut_cli

#include "host/M2dBoolean.h"

#include <map>
#include <utility>

#include <polyclipping/clipper.hpp>

namespace AU {
namespace {

using Contour = M2dIntegerBorder::ContourType;
using Point = M2dIntegerBorder::PointType;
using PointKey = std::pair<long, long>;

ClipperLib::Path ToPath(const Contour& contour) {
    ClipperLib::Path path;
    path.reserve(contour.GetNumberOfPoints());
    const Point* p = contour.GetFirstPoint();
    for (uint32_t i = 0; i < contour.GetNumberOfPoints(); ++i, p = p->GetNext())
        path.emplace_back(p->GetX(), p->GetY());
    return path;
}

bool HasArea(const ClipperLib::Path& path) { return path.size() >= 3 && ClipperLib::Area(path) != 0.0; }

// True when no vertex of `inner` is outside `outer` and at least one is
// strictly inside; contours that merely overlap are not nested.
bool LiesInside(const ClipperLib::Path& inner, const ClipperLib::Path& outer) {
    bool strictlyInside = false;
    for (const ClipperLib::IntPoint& pt : inner) {
        int where = ClipperLib::PointInPolygon(pt, outer);
        if (where == 0) return false;
        if (where == 1) strictlyInside = true;
    }
    return strictlyInside;
}

std::map<PointKey, void*> CollectUserValues(const M2dIntegerBorder& border) {
    std::map<PointKey, void*> values;
    for (Contour* c = border.GetFirstContour(); c; c = M2dIntegerBorder::Next(c)) {
        const Point* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext()) {
            void*& value = values[{p->GetX(), p->GetY()}];
            if (!value) value = p->GetData();
        }
    }
    return values;
}

void AppendContour(M2dIntegerBorder& border, ClipperLib::Path path, bool hole,
                   const std::map<PointKey, void*>& userValues) {
    // Outer contours run counter-clockwise (positive area), holes clockwise.
    if (ClipperLib::Orientation(path) == hole) ClipperLib::ReversePath(path);
    Contour* contour = border.AddContour();
    contour->SetClosed(true);
    contour->SetClockwise(hole);
    for (const ClipperLib::IntPoint& pt : path) {
        long x = static_cast<long>(pt.X), y = static_cast<long>(pt.Y);
        auto found = userValues.find({x, y});
        contour->AddPoint(x, y, 0L, found == userValues.end() ? nullptr : found->second);
    }
}

void AppendTree(M2dIntegerBorder& border, const ClipperLib::PolyNode& node,
                const std::map<PointKey, void*>& userValues) {
    for (const ClipperLib::PolyNode* child : node.Childs) {
        if (child->Contour.size() >= 3) AppendContour(border, child->Contour, child->IsHole(), userValues);
        AppendTree(border, *child, userValues);
    }
}

}  // namespace

void OrientBorder2D(M2dIntegerBorder& border, std::vector<int>* depths) {
    std::vector<Contour*> contours;
    std::vector<ClipperLib::Path> paths;
    for (Contour* c = border.GetFirstContour(); c; c = M2dIntegerBorder::Next(c)) {
        contours.push_back(c);
        paths.push_back(ToPath(*c));
    }
    if (depths) depths->assign(contours.size(), -1);
    for (size_t i = 0; i < contours.size(); ++i) {
        if (!HasArea(paths[i])) continue;
        int depth = 0;
        for (size_t j = 0; j < contours.size(); ++j)
            if (j != i && HasArea(paths[j]) && LiesInside(paths[i], paths[j])) ++depth;
        bool counterClockwise = depth % 2 == 0;
        if (ClipperLib::Orientation(paths[i]) != counterClockwise) contours[i]->Reverse();
        contours[i]->SetClockwise(!counterClockwise);
        if (depths) (*depths)[i] = depth;
    }
}

namespace {
// A path along one line encloses nothing (and the clipper refuses it).
bool AllCollinear(const ClipperLib::Path& path) {
    const ClipperLib::IntPoint& a = path[0];
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i].X == a.X && path[i].Y == a.Y) continue;
        const __int128 dx = path[i].X - a.X, dy = path[i].Y - a.Y;
        for (const ClipperLib::IntPoint& q : path)
            if (dx * (q.Y - a.Y) - dy * (q.X - a.X) != 0) return false;
        return true;
    }
    return true;
}
}  // namespace

int BooleanRemoveSelfIntersections(M2dIntegerBorder& border) {
    ClipperLib::Paths paths;
    for (Contour* c = border.GetFirstContour(); c; c = M2dIntegerBorder::Next(c)) {
        // A figure-eight has a zero area sum but encloses area: only the
        // clipper can tell.
        ClipperLib::Path path = ToPath(*c);
        if (path.size() >= 3 && !AllCollinear(path)) paths.push_back(std::move(path));
    }
    std::map<PointKey, void*> userValues = CollectUserValues(border);
    ClipperLib::PolyTree tree;
    if (!paths.empty()) {
        ClipperLib::Clipper clipper;
        clipper.StrictlySimple(true);
        clipper.PreserveCollinear(true);
        try {
            clipper.AddPaths(paths, ClipperLib::ptSubject, true);
            if (!clipper.Execute(ClipperLib::ctUnion, tree, ClipperLib::pftNonZero, ClipperLib::pftNonZero)) return -1;
        } catch (const ClipperLib::clipperException&) {
            return -1;  // coordinates beyond Clipper's range
        }
    }
    border.Clear();
    AppendTree(border, tree, userValues);
    return border.GetNumberOfContours();
}

}  // namespace AU

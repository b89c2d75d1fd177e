#include "MCutProfile.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "host/M2dBoolean.h"
#include "host/MInternalUnits.h"

namespace {

void* OwnSurfaceValue(bool ownSurface) {
    // Any non-null value marks the flag; the address of a static keeps it a
    // valid pointer.
    static char marker;
    return ownSurface ? &marker : nullptr;
}

struct Segment {
    int64_t x0, y0, x1, y1;
};

// Grid points on a profile line at most this far apart are close enough to
// put a computed point on the line: the nearest moves it less than the
// rounding tolerance.
double SnapSpacing() { return std::max(2.0, 0.01 * QelSDK::Common::MInternalUnits::Get()); }

// The grid point on segment s nearest (x, y), if the grid points on s lie
// at most `spacing` apart; otherwise false.
bool NearestGridPointOn(const Segment& s, double x, double y, double spacing, long& gx, long& gy) {
    const int64_t ex = s.x1 - s.x0, ey = s.y1 - s.y0;
    const int64_t steps = std::gcd(ex, ey);
    if (steps == 0) return false;
    const double length = std::hypot(double(ex), double(ey));
    if (length / double(steps) > spacing) return false;
    const double along = ((x - double(s.x0)) * double(ex) + (y - double(s.y0)) * double(ey)) / length;
    const int64_t i = std::clamp<int64_t>(std::llround(along / length * double(steps)), 0, steps);
    gx = long(s.x0 + ex / steps * i);
    gy = long(s.y0 + ey / steps * i);
    return true;
}

// Reverses the ring; an open contour also starts at its old last point.
void ReverseContour(MCutProfile::Contour& contour) {
    MCutProfile::Point* oldLast = contour.GetLastPoint();
    contour.Reverse();
    if (!contour.IsClosed() && oldLast) contour.SetFirstPoint(oldLast);
}

// Where a long edge is split: its truncated midpoint when that lies on the
// edge, else the grid point on the edge nearest the middle; false when the
// edge passes no grid point between its ends, which then stays whole.  A wall
// bent off the user's line by a fraction of a step would cross faces lying in
// that line's wall at a grazing angle and cut them into slivers.
bool SplitPoint(const MCutProfile::Point& p, const MCutProfile::Point& q, long& mx, long& my) {
    const int64_t ex = int64_t(q.GetX()) - p.GetX(), ey = int64_t(q.GetY()) - p.GetY();
    mx = static_cast<long>(std::trunc(static_cast<double>(p.GetX()) + static_cast<double>(ex) / 2.0));
    my = static_cast<long>(std::trunc(static_cast<double>(p.GetY()) + static_cast<double>(ey) / 2.0));
    const bool onEdge = __int128(mx - p.GetX()) * ey == __int128(my - p.GetY()) * ex;
    if (!onEdge) {
        const int64_t steps = std::gcd(ex, ey);
        if (steps < 2) return false;
        mx = long(p.GetX() + ex / steps * (steps / 2));
        my = long(p.GetY() + ey / steps * (steps / 2));
    }
    bool atP = mx == p.GetX() && my == p.GetY();
    bool atQ = mx == q.GetX() && my == q.GetY();
    return !atP && !atQ;
}

void LimitContourEdges(MCutProfile::Contour& contour, double maxLength) {
    MCutProfile::Point* p = contour.GetFirstPoint();
    uint32_t unchangedInRow = 0;
    while (contour.GetNumberOfPoints() >= 2 && unchangedInRow < contour.GetNumberOfPoints()) {
        MCutProfile::Point* q = p->GetNext();
        double dx = static_cast<double>(q->GetX()) - static_cast<double>(p->GetX());
        double dy = static_cast<double>(q->GetY()) - static_cast<double>(p->GetY());
        double length = std::sqrt(dx * dx + dy * dy);
        long mx = 0, my = 0;
        if (length == 0.0) {
            contour.RemovePoint(q);
            unchangedInRow = 0;
        } else if (length > maxLength && SplitPoint(*p, *q, mx, my)) {
            contour.InsertPointAfter(p, mx, my, 0L, nullptr);
            unchangedInRow = 0;
        } else {
            ++unchangedInRow;
            p = q;
        }
    }
    // A single point is an edge of length 0 to itself: it goes too.
    if (contour.GetNumberOfPoints() == 1) contour.RemovePoint(contour.GetFirstPoint());
}

void AppendRoundedCorners(const MCutProfile::Contour& from, MCutProfile::Contour& to, long radius) {
    const double tolerance = 0.01 * QelSDK::Common::MInternalUnits::Get();
    MRounder2D rounder;
    const MCutProfile::Point* c = from.GetFirstPoint();
    for (uint32_t i = 0; i < from.GetNumberOfPoints(); ++i, c = c->GetNext()) {
        const MCutProfile::Point* p = c->GetPrev();
        const MCutProfile::Point* n = c->GetNext();
        rounder.SetCorner(static_cast<double>(p->GetX()), static_cast<double>(p->GetY()), 0.0,
                          static_cast<double>(c->GetX()), static_cast<double>(c->GetY()), 0.0,
                          static_cast<double>(n->GetX()), static_cast<double>(n->GetY()), 0.0,
                          static_cast<double>(radius), tolerance);
        rounder.Round();
        const unsigned long count = rounder.NumPoints();
        for (unsigned long k = 0; k < count; ++k) {
            long x = static_cast<long>(std::trunc(rounder.OutputX(k)));
            long y = static_cast<long>(std::trunc(rounder.OutputY(k)));
            // An arc's ends go onto their legs, so that the straight wall
            // beyond stays in the user's line.
            const MCutProfile::Point* leg = k == 0 ? p : n;
            if (count > 1 && (k == 0 || k + 1 == count))
                NearestGridPointOn({c->GetX(), c->GetY(), leg->GetX(), leg->GetY()}, rounder.OutputX(k),
                                   rounder.OutputY(k), SnapSpacing(), x, y);
            MCutProfile::AddProfilePoint(to, x, y, false);
        }
    }
}

// The profile's edges, sorted by their smaller X.
std::vector<Segment> EdgesOf(const MCutProfile& profile) {
    std::vector<Segment> edges;
    for (auto* c = profile.GetFirstContour(); c; c = MCutProfile::Next(c)) {
        const MCutProfile::Point* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext())
            if (p->GetX() != p->GetNext()->GetX() || p->GetY() != p->GetNext()->GetY())
                edges.push_back({p->GetX(), p->GetY(), p->GetNext()->GetX(), p->GetNext()->GetY()});
    }
    std::sort(edges.begin(), edges.end(), [](const Segment& a, const Segment& b) {
        return std::min(a.x0, a.x1) < std::min(b.x0, b.x1);
    });
    return edges;
}

// Where contours crossed each other, the union has a new corner rounded to
// the grid, off both edges that crossed there by a fraction of a step.  It
// goes onto the nearest grid point of one of those edges where the grid
// points on it lie close enough: a wall bent off the user's line would cross
// faces lying in that line's wall at a grazing angle.
void PutCrossingsOnTheirEdges(MCutProfile& profile, const std::vector<Segment>& edges) {
    std::vector<std::pair<long, long>> corners;
    for (const Segment& e : edges) corners.emplace_back(e.x0, e.y0);
    std::sort(corners.begin(), corners.end());
    int64_t widest = 0;
    for (const Segment& e : edges) widest = std::max<int64_t>(widest, std::llabs(e.x1 - e.x0));
    const double spacing = SnapSpacing();
    for (auto* c = profile.GetFirstContour(); c; c = MCutProfile::Next(c)) {
        MCutProfile::Point* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext()) {
            const long x = p->GetX(), y = p->GetY();
            if (std::binary_search(corners.begin(), corners.end(), std::pair{x, y})) continue;
            auto first = std::lower_bound(edges.begin(), edges.end(), int64_t(x) - 1 - widest,
                                          [](const Segment& e, int64_t v) { return std::min(e.x0, e.x1) < v; });
            double best = spacing;
            long bx = x, by = y;
            for (auto e = first; e != edges.end() && std::min(e->x0, e->x1) <= int64_t(x) + 1; ++e) {
                if (std::max(e->x0, e->x1) < x - 1 || std::min(e->y0, e->y1) > y + 1 || std::max(e->y0, e->y1) < y - 1)
                    continue;
                const __int128 ex = e->x1 - e->x0, ey = e->y1 - e->y0;
                const __int128 cross = (x - e->x0) * ey - (y - e->y0) * ex;
                if (cross * cross > ex * ex + ey * ey) continue;  // more than a step from the edge's line
                long gx = 0, gy = 0;
                if (!NearestGridPointOn(*e, double(x), double(y), spacing, gx, gy)) continue;
                const double moved = std::hypot(double(gx - x), double(gy - y));
                if (moved < best) best = moved, bx = gx, by = gy;
            }
            auto at = [&](const MCutProfile::Point* q) { return q->GetX() == bx && q->GetY() == by; };
            if ((bx == x && by == y) || at(p->GetPrev()) || at(p->GetNext())) continue;
            p->SetX(bx);
            p->SetY(by);
        }
    }
}

}  // namespace

MCutProfile::~MCutProfile() = default;

void MCutProfile::SetOwnSurface(Point& p, bool ownSurface) { p.SetData(OwnSurfaceValue(ownSurface)); }

MCutProfile::Point* MCutProfile::AddProfilePoint(Contour& contour, long x, long y, bool ownSurface) {
    return contour.AddPoint(x, y, 0L, OwnSurfaceValue(ownSurface));
}

double MCutProfile::OrientationSum(const Contour& contour) {
    double sum = 0.0;
    const Point* p = contour.GetFirstPoint();
    for (uint32_t i = 0; i < contour.GetNumberOfPoints(); ++i, p = p->GetNext()) {
        const Point* q = p->GetNext();
        if (q->GetX() == p->GetX()) continue;
        double x0 = static_cast<double>(p->GetX()), x1 = static_cast<double>(q->GetX());
        double y0 = static_cast<double>(p->GetY()), y1 = static_cast<double>(q->GetY());
        sum += (y0 + y1) * (x1 - x0) / 2.0;
    }
    return sum;
}

void MCutProfile::GiveRightSense() {
    for (Contour* c = GetFirstContour(); c; c = Next(c)) {
        if (c->IsEmpty()) continue;
        double sum = OrientationSum(*c);
        bool rightSense = c->IsClockwise() ? sum >= 0.0 : sum < 0.0;
        if (!rightSense) ReverseContour(*c);
    }
    AU::OrientBorder2D(*this, nullptr);
    const std::vector<Segment> edges = EdgesOf(*this);
    AU::BooleanRemoveSelfIntersections(*this);
    PutCrossingsOnTheirEdges(*this, edges);
}

void MCutProfile::LimitEdgeLength(long maxLength) const {
    // Below 2 the truncated midpoints of short edges fall on their ends.
    const double limit = static_cast<double>(maxLength < 2 ? 2 : maxLength);
    for (Contour* c = GetFirstContour(); c; c = Next(c)) LimitContourEdges(*c, limit);
}

bool MCutProfile::MakeRound(long radius) {
    std::vector<Contour*> oldContours;
    for (Contour* c = GetFirstContour(); c; c = Next(c)) oldContours.push_back(c);
    for (Contour* old : oldContours) {
        Contour* rounded = AddContour();
        rounded->SetClosed(old->IsClosed());
        AppendRoundedCorners(*old, *rounded, radius);
    }
    for (Contour* old : oldContours) RemoveContour(old);
    return true;
}

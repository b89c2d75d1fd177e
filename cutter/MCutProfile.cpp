#include "MCutProfile.h"

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

// Reverses the ring; an open contour also starts at its old last point.
void ReverseContour(MCutProfile::Contour& contour) {
    MCutProfile::Point* oldLast = contour.GetLastPoint();
    contour.Reverse();
    if (!contour.IsClosed() && oldLast) contour.SetFirstPoint(oldLast);
}

// The truncated midpoint of p-q, or false when it coincides with an end.
// Where a long edge is split: its truncated midpoint, or, where that point
// is off the edge and the edge passes grid points, the grid point on it
// nearest the middle.  A wall that bends off the edge by a fraction of a step
// would cut faces lying in the edge's wall into slivers.
bool SplitPoint(const MCutProfile::Point& p, const MCutProfile::Point& q, long& mx, long& my) {
    double dx = static_cast<double>(q.GetX()) - static_cast<double>(p.GetX());
    double dy = static_cast<double>(q.GetY()) - static_cast<double>(p.GetY());
    mx = static_cast<long>(std::trunc(static_cast<double>(p.GetX()) + dx / 2.0));
    my = static_cast<long>(std::trunc(static_cast<double>(p.GetY()) + dy / 2.0));
    const int64_t ex = int64_t(q.GetX()) - p.GetX(), ey = int64_t(q.GetY()) - p.GetY();
    const bool onEdge = __int128(mx - p.GetX()) * ey == __int128(my - p.GetY()) * ex;
    const int64_t steps = std::gcd(ex, ey);
    if (!onEdge && steps >= 2) {
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
        for (unsigned long k = 0; k < rounder.NumPoints(); ++k)
            MCutProfile::AddProfilePoint(to, static_cast<long>(std::trunc(rounder.OutputX(k))),
                                         static_cast<long>(std::trunc(rounder.OutputY(k))), false);
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
    AU::BooleanRemoveSelfIntersections(*this);
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

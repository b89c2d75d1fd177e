// The cutter's profile: corner rounding, edge length limit, orientation and
// self-intersection removal, and copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <utility>
#include <vector>

#include "MCutProfile.h"
#include "host/M2dBoolean.h"

namespace {

using XY = std::pair<long, long>;
using Contour = MCutProfile::Contour;
using Point = MCutProfile::Point;

Contour* AddContour(MCutProfile& profile, const std::vector<XY>& points, bool closed = true) {
    Contour* c = profile.AddContour();
    c->SetClosed(closed);
    for (const XY& p : points) MCutProfile::AddProfilePoint(*c, p.first, p.second, false);
    return c;
}

std::vector<XY> Points(const Contour& c) {
    std::vector<XY> out;
    const Point* p = c.GetFirstPoint();
    for (uint32_t i = 0; i < c.GetNumberOfPoints(); ++i, p = p->GetNext()) out.emplace_back(p->GetX(), p->GetY());
    return out;
}

std::vector<Contour*> Contours(const MCutProfile& profile) {
    std::vector<Contour*> out;
    for (Contour* c = profile.GetFirstContour(); c; c = MCutProfile::Next(c)) out.push_back(c);
    return out;
}

// The same ring read from any start point.
bool SameRing(std::vector<XY> ring, const std::vector<XY>& expected) {
    if (ring.size() != expected.size()) return false;
    for (size_t shift = 0; shift < ring.size(); ++shift) {
        if (ring == expected) return true;
        std::rotate(ring.begin(), ring.begin() + 1, ring.end());
    }
    return ring.empty();
}

double MaxEdgeLength(const Contour& c) {
    double longest = 0.0;
    const Point* p = c.GetFirstPoint();
    for (uint32_t i = 0; i < c.GetNumberOfPoints(); ++i, p = p->GetNext()) {
        double dx = double(p->GetNext()->GetX() - p->GetX()), dy = double(p->GetNext()->GetY() - p->GetY());
        longest = std::max(longest, std::hypot(dx, dy));
    }
    return longest;
}

double Distance(const MRounder2D& r, unsigned long i, double x, double y, double z) {
    return std::sqrt((r.OutputX(i) - x) * (r.OutputX(i) - x) + (r.OutputY(i) - y) * (r.OutputY(i) - y) +
                     (r.OutputZ(i) - z) * (r.OutputZ(i) - z));
}

void ExpectCornerOnly(MRounder2D& rounder, double cx, double cy, double cz) {
    rounder.Round();
    ASSERT_EQ(rounder.NumPoints(), 1u);
    EXPECT_EQ(rounder.OutputX(0), cx);
    EXPECT_EQ(rounder.OutputY(0), cy);
    EXPECT_EQ(rounder.OutputZ(0), cz);
}

TEST(CutProfileRounder, RightAngleCorner) {
    const double tolerance = 0.01;
    const unsigned long steps =
        static_cast<unsigned long>(std::trunc((std::numbers::pi / 2) / (2 * std::acos(1 - tolerance / 2)) + 0.5));
    ASSERT_EQ(steps, 8u);

    // Left turn: legs of 10, radius 2; the centre is (8, 2), 2√2 from C.
    MRounder2D left;
    left.SetCorner(0, 0, 0, 10, 0, 0, 10, 10, 0, 2, tolerance);
    left.Round();
    ASSERT_EQ(left.NumPoints(), steps + 1);
    EXPECT_DOUBLE_EQ(left.GetRadius(), 2.0);
    EXPECT_NEAR(left.OutputX(0), 8.0, 1e-9);
    EXPECT_NEAR(left.OutputY(0), 0.0, 1e-9);
    EXPECT_NEAR(left.OutputX(steps), 10.0, 1e-9);
    EXPECT_NEAR(left.OutputY(steps), 2.0, 1e-9);
    for (unsigned long i = 0; i <= steps; ++i) {
        EXPECT_NEAR(Distance(left, i, 8, 2, 0), 2.0, 1e-9) << i;
        EXPECT_EQ(left.OutputZ(i), 0.0);
    }
    // The middle point lies on the bisector, r from the centre towards C.
    EXPECT_NEAR(Distance(left, steps / 2, 10, 0, 0), 2 * std::sqrt(2.0) - 2, 1e-9);
    // Points advance along the arc from the incoming to the outgoing leg.
    for (unsigned long i = 1; i <= steps; ++i) EXPECT_GT(left.OutputX(i), left.OutputX(i - 1));

    // Right turn: the centre is on the other side, (8, -2).
    MRounder2D right;
    right.SetCorner(0, 0, 0, 10, 0, 0, 10, -10, 0, 2, tolerance);
    right.Round();
    ASSERT_EQ(right.NumPoints(), steps + 1);
    EXPECT_NEAR(right.OutputX(0), 8.0, 1e-9);
    EXPECT_NEAR(right.OutputY(steps), -2.0, 1e-9);
    for (unsigned long i = 0; i <= steps; ++i) EXPECT_NEAR(Distance(right, i, 8, -2, 0), 2.0, 1e-9) << i;

    // The same corner in a vertical plane.
    MRounder2D vertical;
    vertical.SetCorner(0, 5, 0, 0, 5, 10, 0, 15, 10, 2, tolerance);
    vertical.Round();
    ASSERT_EQ(vertical.NumPoints(), steps + 1);
    EXPECT_NEAR(Distance(vertical, 0, 0, 5, 8), 0.0, 1e-9);
    EXPECT_NEAR(Distance(vertical, steps, 0, 7, 10), 0.0, 1e-9);
    for (unsigned long i = 0; i <= steps; ++i) EXPECT_NEAR(Distance(vertical, i, 0, 7, 8), 2.0, 1e-9);
}

TEST(CutProfileRounder, RadiusLargerThanLegsEndsAtMiddleOfShorterLeg) {
    MRounder2D rounder;
    rounder.SetCorner(0, 0, 0, 10, 0, 0, 10, 4, 0, 100, 0.01);
    rounder.Round();
    EXPECT_DOUBLE_EQ(rounder.GetRadius(), 2.0);  // min(10, 4) / (2 tan 45°)
    ASSERT_GT(rounder.NumPoints(), 1u);
    unsigned long last = rounder.NumPoints() - 1;
    EXPECT_NEAR(rounder.OutputX(0), 8.0, 1e-9);
    EXPECT_NEAR(rounder.OutputX(last), 10.0, 1e-9);
    EXPECT_NEAR(rounder.OutputY(last), 2.0, 1e-9);

    // A 45° turn (135° inner angle) with short legs of 3 and 5.
    const double s = std::sqrt(0.5);
    rounder.SetCorner(-3, 0, 0, 0, 0, 0, 5 * s, 5 * s, 0, 1000, 0.001);
    rounder.Round();
    const double halfTan = std::tan(std::numbers::pi / 8);
    EXPECT_NEAR(rounder.GetRadius(), 3 / (2 * halfTan), 1e-9);
    EXPECT_NEAR(rounder.OutputX(0), -1.5, 1e-9);
    EXPECT_NEAR(rounder.OutputY(0), 0.0, 1e-9);
    last = rounder.NumPoints() - 1;
    EXPECT_NEAR(rounder.OutputX(last), 1.5 * s, 1e-9);
    EXPECT_NEAR(rounder.OutputY(last), 1.5 * s, 1e-9);
}

TEST(CutProfileRounder, DegenerateCornersGiveTheCornerAlone) {
    MRounder2D rounder;
    EXPECT_EQ(rounder.NumPoints(), 0u);
    EXPECT_EQ(rounder.OutputX(0), 0.0);  // out of range reads 0
    ExpectCornerOnly(rounder, 0, 0, 0);  // all fields zero

    rounder.SetCorner(0, 0, 0, 5, 0, 0, 10, 0, 0, 2, 0.01);  // collinear, straight on
    ExpectCornerOnly(rounder, 5, 0, 0);
    rounder.SetCorner(10, 0, 0, 5, 0, 0, 10, 0, 0, 2, 0.01);  // full reversal
    ExpectCornerOnly(rounder, 5, 0, 0);
    rounder.SetCorner(5, 0, 0, 5, 0, 0, 5, 5, 0, 2, 0.01);  // P = C
    ExpectCornerOnly(rounder, 5, 0, 0);
    rounder.SetCorner(0, 0, 0, 5, 0, 0, 5, 0, 0, 2, 0.01);  // N = C
    ExpectCornerOnly(rounder, 5, 0, 0);
    rounder.SetCorner(0, 0, 0, 10, 0, 0, 10, 10, 0, 0, 0.01);  // zero radius
    ExpectCornerOnly(rounder, 10, 0, 0);
    rounder.SetCorner(0, 0, 0, 10, 0, 0, 10, 10, 0, -2, 0.01);  // negative radius
    ExpectCornerOnly(rounder, 10, 0, 0);
    rounder.SetCorner(0, 0, 0, 10, 0, 0, 10, 10, 0, 2, 0);  // zero tolerance
    ExpectCornerOnly(rounder, 10, 0, 0);
    rounder.SetCorner(0, 0, 0, 10, 0, 0, 10, 10, 0, 2, 5);  // tolerance beyond the arc: no step
    ExpectCornerOnly(rounder, 10, 0, 0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    rounder.SetCorner(nan, 0, 0, 10, 0, 0, 10, 10, 0, 2, 0.01);
    ExpectCornerOnly(rounder, 10, 0, 0);
    rounder.SetCorner(0, 0, 0, 10, 0, 0, 10, 10, 0, nan, 0.01);
    ExpectCornerOnly(rounder, 10, 0, 0);

    // A tolerance too small to show against the radius: bounded steps, all
    // on the arc.
    rounder.SetCorner(0, 0, 0, 10, 0, 0, 10, 10, 0, 2, 1e-300);
    rounder.Round();
    EXPECT_EQ(rounder.NumPoints(), 100001u);
    EXPECT_NEAR(Distance(rounder, 50000, 8, 2, 0), 2.0, 1e-9);
}

TEST(CutProfileLimitEdgeLength, HalvesLongEdges) {
    MCutProfile profile;
    Contour* segment = AddContour(profile, {{0, 0}, {12, 0}});
    Contour* square = AddContour(profile, {{0, 0}, {10, 0}, {10, 10}, {0, 10}});
    Contour* odd = AddContour(profile, {{0, 0}, {7, 0}});
    Contour* shortEdges = AddContour(profile, {{0, 0}, {5, 0}, {5, 5}});
    profile.LimitEdgeLength(5);
    // 12 becomes 6 + 6, then each 6 becomes 3 + 3; the closing edge too.
    EXPECT_EQ(Points(*segment), (std::vector<XY>{{0, 0}, {3, 0}, {6, 0}, {9, 0}, {12, 0}, {9, 0}, {6, 0}, {3, 0}}));
    EXPECT_EQ(Points(*square),
              (std::vector<XY>{{0, 0}, {5, 0}, {10, 0}, {10, 5}, {10, 10}, {5, 10}, {0, 10}, {0, 5}}));
    // Midpoints truncate: 0→7 splits at 3, and 7→0 at 3 as well.
    EXPECT_EQ(Points(*odd), (std::vector<XY>{{0, 0}, {3, 0}, {7, 0}, {3, 0}}));
    EXPECT_EQ(Points(*shortEdges), (std::vector<XY>{{0, 0}, {5, 0}, {5, 5}, {2, 2}}));
    for (Contour* c : Contours(profile)) EXPECT_LE(MaxEdgeLength(*c), 5.0);
    // A slanted edge through grid points splits on them; one through none
    // stays whole rather than bend off its line.
    MCutProfile slanted;
    Contour* onGrid = AddContour(slanted, {{0, 0}, {9, 3}});
    Contour* offGrid = AddContour(slanted, {{0, 0}, {9, 4}});
    slanted.LimitEdgeLength(6);
    EXPECT_EQ(Points(*onGrid), (std::vector<XY>{{0, 0}, {3, 1}, {6, 2}, {9, 3}, {6, 2}, {3, 1}}));
    EXPECT_EQ(Points(*offGrid), (std::vector<XY>{{0, 0}, {9, 4}}));
    const Point* inserted = segment->GetFirstPoint()->GetNext();
    EXPECT_FALSE(MCutProfile::IsOwnSurface(*inserted));

    // Edges between the infinity values split without overflow.
    MCutProfile wide;
    Contour* c = AddContour(wide, {{-2147483648L, 0}, {2147483647L, 0}});
    wide.LimitEdgeLength(2147483648L);
    EXPECT_EQ(Points(*c), (std::vector<XY>{{-2147483648L, 0}, {0, 0}, {2147483647L, 0}, {0, 0}}));
}

TEST(CutProfileLimitEdgeLength, BadInput) {
    // Limits below 2 are taken as 2 and the walk ends.
    MCutProfile tiny;
    Contour* diagonal = AddContour(tiny, {{0, 0}, {1, 1}});
    Contour* five = AddContour(tiny, {{0, 0}, {5, 0}});
    tiny.LimitEdgeLength(0);
    EXPECT_EQ(Points(*diagonal), (std::vector<XY>{{0, 0}, {1, 1}}));
    EXPECT_EQ(Points(*five), (std::vector<XY>{{0, 0}, {2, 0}, {3, 0}, {5, 0}, {3, 0}, {2, 0}}));
    tiny.LimitEdgeLength(-5);
    EXPECT_EQ(five->GetNumberOfPoints(), 6u);

    // Coincident points go; a contour of one point or of one repeated point
    // becomes empty; an empty contour stays empty.
    MCutProfile degenerate;
    Contour* repeated = AddContour(degenerate, {{0, 0}, {0, 0}, {4, 0}, {4, 0}, {4, 4}, {0, 0}});
    Contour* single = AddContour(degenerate, {{7, 7}});
    Contour* same = AddContour(degenerate, {{3, 3}, {3, 3}, {3, 3}});
    Contour* empty = AddContour(degenerate, {});
    degenerate.LimitEdgeLength(100);
    EXPECT_TRUE(SameRing(Points(*repeated), {{0, 0}, {4, 0}, {4, 4}}));
    EXPECT_TRUE(single->IsEmpty());
    EXPECT_TRUE(same->IsEmpty());
    EXPECT_TRUE(empty->IsEmpty());
    EXPECT_EQ(degenerate.GetNumberOfContours(), 4);
    EXPECT_EQ(degenerate.GetPool()->GetNumberOfLiveRecords(), 3u);  // removed points went back

    MCutProfile none;
    none.LimitEdgeLength(5);
    EXPECT_EQ(none.GetNumberOfContours(), 0);
}

TEST(CutProfileMakeRound, SquareCornersInRingOrder) {
    // Radius 1000 with a tolerance of 10 steps: n = trunc((π/2) / (2 acos 0.99) + 0.5) = 6.
    MCutProfile profile;
    Contour* square = AddContour(profile, {{0, 0}, {10000, 0}, {10000, 10000}, {0, 10000}});
    MCutProfile::SetOwnSurface(*square->GetFirstPoint(), true);
    Contour* open = AddContour(profile, {{0, 0}, {5000, 0}, {5000, 5000}}, false);
    EXPECT_TRUE(profile.MakeRound(1000));

    std::vector<Contour*> contours = Contours(profile);
    ASSERT_EQ(contours.size(), 2u);
    EXPECT_NE(contours[0], square);
    EXPECT_NE(contours[1], open);
    EXPECT_TRUE(contours[0]->IsClosed());
    EXPECT_FALSE(contours[1]->IsClosed());
    std::vector<XY> ring = Points(*contours[0]);
    ASSERT_EQ(ring.size(), 28u);
    const XY centres[4] = {{1000, 1000}, {9000, 1000}, {9000, 9000}, {1000, 9000}};
    const XY firsts[4] = {{0, 1000}, {9000, 0}, {10000, 9000}, {1000, 10000}};
    const XY lasts[4] = {{1000, 0}, {10000, 1000}, {9000, 10000}, {0, 9000}};
    for (int corner = 0; corner < 4; ++corner) {
        const XY& first = ring[corner * 7];
        const XY& last = ring[corner * 7 + 6];
        EXPECT_NEAR(first.first, firsts[corner].first, 1) << corner;
        EXPECT_NEAR(first.second, firsts[corner].second, 1) << corner;
        EXPECT_NEAR(last.first, lasts[corner].first, 1) << corner;
        EXPECT_NEAR(last.second, lasts[corner].second, 1) << corner;
        for (int k = 0; k < 7; ++k) {
            const XY& p = ring[corner * 7 + k];
            double d = std::hypot(double(p.first - centres[corner].first), double(p.second - centres[corner].second));
            EXPECT_NEAR(d, 1000.0, 1.5) << corner << " " << k;
        }
    }
    const Point* p = contours[0]->GetFirstPoint();
    for (uint32_t i = 0; i < contours[0]->GetNumberOfPoints(); ++i, p = p->GetNext())
        EXPECT_FALSE(MCutProfile::IsOwnSurface(*p));
    // Every corner of the open contour is rounded as well, the end points
    // against their ring neighbours.
    // Corners of 135°, 90° and 135°: 8, 6 and 8 steps.
    EXPECT_EQ(contours[1]->GetNumberOfPoints(), 25u);
    EXPECT_EQ(profile.GetPool()->GetNumberOfLiveRecords(), 53u);  // old points went back
}

TEST(CutProfileMakeRound, DegenerateContoursAndRadii) {
    MCutProfile profile;
    AddContour(profile, {{0, 0}, {100, 0}, {100, 100}, {0, 100}});
    AddContour(profile, {});
    AddContour(profile, {{5, 5}});
    AddContour(profile, {{0, 0}, {10, 0}});
    AddContour(profile, {{0, 0}, {0, 0}, {10, 0}, {10, 10}});
    MCutProfile zero(profile);
    EXPECT_TRUE(zero.MakeRound(0));
    std::vector<Contour*> unchanged = Contours(zero);
    ASSERT_EQ(unchanged.size(), 5u);
    EXPECT_EQ(Points(*unchanged[0]), (std::vector<XY>{{0, 0}, {100, 0}, {100, 100}, {0, 100}}));
    MCutProfile negative(profile);
    negative.MakeRound(-10);
    EXPECT_EQ(Points(*Contours(negative)[0]), Points(*unchanged[0]));

    // Radius far larger than the 100-step square: r = 50, one step per
    // corner from one edge middle to the next.
    EXPECT_TRUE(profile.MakeRound(1000000));
    std::vector<Contour*> rounded = Contours(profile);
    ASSERT_EQ(rounded.size(), 5u);
    std::vector<XY> ring = Points(*rounded[0]);
    ASSERT_EQ(ring.size(), 8u);
    const XY expected[8] = {{0, 50}, {50, 0}, {50, 0}, {100, 50}, {100, 50}, {50, 100}, {50, 100}, {0, 50}};
    for (int i = 0; i < 8; ++i) {
        EXPECT_NEAR(ring[i].first, expected[i].first, 1) << i;
        EXPECT_NEAR(ring[i].second, expected[i].second, 1) << i;
    }
    EXPECT_TRUE(rounded[1]->IsEmpty());
    EXPECT_EQ(Points(*rounded[2]), (std::vector<XY>{{5, 5}}));
    EXPECT_EQ(Points(*rounded[3]), (std::vector<XY>{{0, 0}, {10, 0}}));
    // Corners at the repeated point give the point itself; the two small
    // corners get no step at a tolerance of 10.
    EXPECT_EQ(rounded[4]->GetNumberOfPoints(), 4u);

    MCutProfile none;
    EXPECT_TRUE(none.MakeRound(10));
    EXPECT_EQ(none.GetNumberOfContours(), 0);
}

TEST(CutProfileSense, OrientsClockwiseAndCounterClockwise) {
    const std::vector<XY> ccw = {{0, 0}, {10, 0}, {10, 10}, {0, 10}};
    const std::vector<XY> cw = {{0, 0}, {0, 10}, {10, 10}, {10, 0}};
    MCutProfile profile;
    Contour* a = AddContour(profile, ccw);
    EXPECT_LT(MCutProfile::OrientationSum(*a), 0.0);
    Contour* b = AddContour(profile, cw);
    EXPECT_DOUBLE_EQ(MCutProfile::OrientationSum(*b), 100.0);
    EXPECT_EQ(MCutProfile::OrientationSum(*profile.AddContour()), 0.0);

    MCutProfile one;
    AddContour(one, cw);
    one.GiveRightSense();
    ASSERT_EQ(one.GetNumberOfContours(), 1);
    Contour* c = one.GetFirstContour();
    EXPECT_TRUE(SameRing(Points(*c), ccw));
    EXPECT_DOUBLE_EQ(MCutProfile::OrientationSum(*c), -100.0);
    EXPECT_FALSE(c->IsClockwise());
    EXPECT_TRUE(c->IsClosed());

    // An outer contour comes back counter-clockwise even when flagged
    // clockwise; a contour inside it becomes a clockwise hole.
    MCutProfile nested;
    AddContour(nested, {{0, 0}, {0, 100}, {100, 100}, {100, 0}})->SetClockwise(true);
    AddContour(nested, {{25, 25}, {75, 25}, {75, 75}, {25, 75}});
    nested.GiveRightSense();
    std::vector<Contour*> contours = Contours(nested);
    ASSERT_EQ(contours.size(), 2u);
    EXPECT_FALSE(contours[0]->IsClockwise());
    EXPECT_DOUBLE_EQ(MCutProfile::OrientationSum(*contours[0]), -10000.0);
    EXPECT_TRUE(contours[1]->IsClockwise());
    EXPECT_DOUBLE_EQ(MCutProfile::OrientationSum(*contours[1]), 2500.0);
    EXPECT_TRUE(SameRing(Points(*contours[1]), {{25, 25}, {25, 75}, {75, 75}, {75, 25}}));

    // A second pass changes nothing.
    std::vector<XY> outer = Points(*contours[0]), hole = Points(*contours[1]);
    nested.GiveRightSense();
    contours = Contours(nested);
    ASSERT_EQ(contours.size(), 2u);
    EXPECT_TRUE(SameRing(Points(*contours[0]), outer));
    EXPECT_TRUE(SameRing(Points(*contours[1]), hole));
}

TEST(CutProfileSense, OpenOverlappingAndSelfIntersectingContours) {
    MCutProfile open;
    AddContour(open, {{0, 0}, {0, 10}, {10, 0}}, false);
    open.GiveRightSense();
    ASSERT_EQ(open.GetNumberOfContours(), 1);
    EXPECT_TRUE(open.GetFirstContour()->IsClosed());
    EXPECT_TRUE(SameRing(Points(*open.GetFirstContour()), {{0, 0}, {10, 0}, {0, 10}}));

    // A bow-tie becomes its two triangles, meeting at the crossing (5, 5).
    MCutProfile bowTie;
    Contour* tie = AddContour(bowTie, {{0, 0}, {10, 10}, {10, 0}, {0, 10}});
    MCutProfile::SetOwnSurface(*tie->GetFirstPoint(), true);
    bowTie.GiveRightSense();
    std::vector<Contour*> lobes = Contours(bowTie);
    ASSERT_EQ(lobes.size(), 2u);
    double area = 0.0;
    int flagged = 0;
    for (Contour* lobe : lobes) {
        ASSERT_EQ(lobe->GetNumberOfPoints(), 3u);
        EXPECT_FALSE(lobe->IsClockwise());
        EXPECT_DOUBLE_EQ(MCutProfile::OrientationSum(*lobe), -25.0);
        area -= MCutProfile::OrientationSum(*lobe);
        const Point* p = lobe->GetFirstPoint();
        bool hasCrossing = false;
        for (int i = 0; i < 3; ++i, p = p->GetNext()) {
            if (p->GetX() == 5 && p->GetY() == 5) {
                hasCrossing = true;
                EXPECT_FALSE(MCutProfile::IsOwnSurface(*p));
            }
            if (MCutProfile::IsOwnSurface(*p)) {
                ++flagged;
                EXPECT_EQ(XY(p->GetX(), p->GetY()), XY(0, 0));
            }
        }
        EXPECT_TRUE(hasCrossing);
    }
    EXPECT_DOUBLE_EQ(area, 50.0);
    EXPECT_EQ(flagged, 1);

    // Overlapping contours are side by side, not nested: their union.
    MCutProfile overlap;
    AddContour(overlap, {{0, 0}, {10, 0}, {10, 10}, {0, 10}});
    AddContour(overlap, {{5, 5}, {15, 5}, {15, 15}, {5, 15}});
    overlap.GiveRightSense();
    ASSERT_EQ(overlap.GetNumberOfContours(), 1);
    EXPECT_TRUE(SameRing(Points(*overlap.GetFirstContour()),
                         {{0, 0}, {10, 0}, {10, 5}, {15, 5}, {15, 15}, {5, 15}, {5, 10}, {0, 10}}));
}

TEST(CutProfileSense, BadInput) {
    MCutProfile empty;
    empty.GiveRightSense();
    EXPECT_EQ(empty.GetNumberOfContours(), 0);

    // Contours without area disappear; repeated points merge; collinear
    // points (made by the edge length limit) stay.
    MCutProfile profile;
    AddContour(profile, {});
    AddContour(profile, {{1, 1}});
    AddContour(profile, {{1, 1}, {5, 5}});
    AddContour(profile, {{2, 2}, {2, 2}, {2, 2}});
    AddContour(profile, {{0, 0}, {5, 0}, {10, 0}});
    AddContour(profile, {{0, 0}, {0, 0}, {50, 0}, {100, 0}, {100, 100}, {100, 100}, {0, 100}});
    profile.GiveRightSense();
    ASSERT_EQ(profile.GetNumberOfContours(), 1);
    EXPECT_TRUE(SameRing(Points(*profile.GetFirstContour()), {{0, 0}, {50, 0}, {100, 0}, {100, 100}, {0, 100}}));

    // Coordinates out of the clipper's range leave the border unchanged.
    AU::M2dIntegerBorder huge;
    auto* c = huge.AddContour();
    const long big = std::numeric_limits<long>::max();
    c->AddPoint(0L, 0L, 0L, nullptr);
    c->AddPoint(big, 0L, 0L, nullptr);
    c->AddPoint(big, big, 0L, nullptr);
    EXPECT_EQ(AU::BooleanRemoveSelfIntersections(huge), -1);
    EXPECT_EQ(huge.GetNumberOfContours(), 1);
    EXPECT_EQ(huge.GetFirstContour()->GetNumberOfPoints(), 3u);
}

TEST(CutProfileBoolean, NestingDepths) {
    MCutProfile profile;
    AddContour(profile, {{0, 0}, {100, 0}, {100, 100}, {0, 100}});
    AddContour(profile, {{10, 10}, {90, 10}, {90, 90}, {10, 90}});
    AddContour(profile, {{20, 20}, {80, 20}, {80, 80}, {20, 80}});
    AddContour(profile, {{1, 1}, {2, 2}});
    AddContour(profile, {{200, 0}, {200, 10}, {210, 10}});
    std::vector<int> depths;
    AU::OrientBorder2D(profile, &depths);
    EXPECT_EQ(depths, (std::vector<int>{0, 1, 2, -1, 0}));
    std::vector<Contour*> contours = Contours(profile);
    EXPECT_LT(MCutProfile::OrientationSum(*contours[0]), 0.0);
    EXPECT_GT(MCutProfile::OrientationSum(*contours[1]), 0.0);
    EXPECT_TRUE(contours[1]->IsClockwise());
    EXPECT_LT(MCutProfile::OrientationSum(*contours[2]), 0.0);
    EXPECT_LT(MCutProfile::OrientationSum(*contours[4]), 0.0);

    // The island inside the hole stays its own outer contour; the two-point
    // contour goes.
    EXPECT_EQ(AU::BooleanRemoveSelfIntersections(profile), 4);
    std::vector<double> outerSums;
    std::vector<double> holeSums;
    for (Contour* c : Contours(profile)) {
        EXPECT_TRUE(c->IsClosed());
        (c->IsClockwise() ? holeSums : outerSums).push_back(MCutProfile::OrientationSum(*c));
    }
    std::sort(outerSums.begin(), outerSums.end());
    EXPECT_EQ(outerSums, (std::vector<double>{-10000, -3600, -50}));
    EXPECT_EQ(holeSums, (std::vector<double>{6400}));
}

TEST(CutProfileCopy, DeepCopy) {
    MCutProfile profile;
    Contour* a = AddContour(profile, {{0, 0}, {10, 0}, {10, 10}});
    MCutProfile::SetOwnSurface(*a->GetFirstPoint()->GetNext(), true);
    a->SetClockwise(true);
    AddContour(profile, {{1, 2}}, false);

    MCutProfile copy(profile);
    ASSERT_EQ(copy.GetNumberOfContours(), 2);
    EXPECT_NE(copy.GetPool(), profile.GetPool());
    Contour* ca = copy.GetFirstContour();
    EXPECT_NE(ca, a);
    EXPECT_EQ(Points(*ca), Points(*a));
    EXPECT_TRUE(ca->IsClockwise());
    EXPECT_TRUE(ca->IsClosed());
    EXPECT_FALSE(MCutProfile::IsOwnSurface(*ca->GetFirstPoint()));
    EXPECT_TRUE(MCutProfile::IsOwnSurface(*ca->GetFirstPoint()->GetNext()));
    EXPECT_FALSE(MCutProfile::Next(ca)->IsClosed());

    // Changing the original leaves the copy alone.
    a->GetFirstPoint()->SetX(99);
    profile.RemoveContour(profile.GetLastContour());
    EXPECT_EQ(ca->GetFirstPoint()->GetX(), 0);
    EXPECT_EQ(copy.GetNumberOfContours(), 2);

    MCutProfile assigned;
    AddContour(assigned, {{5, 5}, {6, 6}});
    assigned = copy;
    ASSERT_EQ(assigned.GetNumberOfContours(), 2);
    EXPECT_EQ(Points(*assigned.GetFirstContour()), Points(*ca));
    MCutProfile& alias = assigned;
    assigned = alias;
    EXPECT_EQ(assigned.GetNumberOfContours(), 2);
    copy.Clear();
    EXPECT_EQ(Points(*assigned.GetFirstContour()), (std::vector<XY>{{0, 0}, {10, 0}, {10, 10}}));
}

}  // namespace

TEST(CutProfileSense, RingsTouchingThemselvesAreSplitAtTheTouchingPoint) {
    // Two squares meeting at the corner (10, 10), drawn as one ring that
    // passes that corner twice: two contours, neither passing a point twice.
    MCutProfile pinched;
    AddContour(pinched, {{0, 0}, {10, 0}, {10, 10}, {20, 10}, {20, 20}, {10, 20}, {10, 10}, {0, 10}});
    pinched.GiveRightSense();
    ASSERT_EQ(pinched.GetNumberOfContours(), 2);
    for (Contour* c : Contours(pinched)) {
        std::vector<XY> points = Points(*c);
        std::sort(points.begin(), points.end());
        EXPECT_EQ(std::adjacent_find(points.begin(), points.end()), points.end());
        EXPECT_FALSE(c->IsClockwise());
        EXPECT_DOUBLE_EQ(MCutProfile::OrientationSum(*c), -100.0);
    }
    // A square notch reaching in from the border to touch itself: an outer
    // contour and a hole meeting at one point.
    MCutProfile notch;
    AddContour(notch, {{0, 0}, {30, 0}, {30, 30}, {15, 30}, {15, 20}, {20, 20}, {20, 10}, {10, 10}, {10, 20},
                       {15, 20}, {15, 30}, {0, 30}});
    notch.GiveRightSense();
    double area = 0.0;
    int holes = 0;
    for (Contour* c : Contours(notch)) {
        area -= MCutProfile::OrientationSum(*c);
        holes += c->IsClockwise();
    }
    EXPECT_DOUBLE_EQ(area, 900.0 - 100.0);
    EXPECT_EQ(holes, 1);
}

TEST(CutProfileSense, LongRingsOfCollinearPoints) {
    // A comb of 500 teeth whose edges the edge length limit has split into
    // 129,000 collinear points: one simple contour with every point kept.
    MCutProfile comb;
    std::vector<XY> ring;
    for (long t = 0; t < 500; ++t)
        for (XY corner : {XY(t * 40, 0), XY(t * 40, 10000), XY(t * 40 + 20, 10000), XY(t * 40 + 20, 0)}) ring.push_back(corner);
    for (XY corner : {XY(20000, 0), XY(20000, -100), XY(0, -100)}) ring.push_back(corner);
    AddContour(comb, ring);
    comb.LimitEdgeLength(100);
    const uint32_t points = comb.GetFirstContour()->GetNumberOfPoints();
    ASSERT_GT(points, 120000u);
    comb.GiveRightSense();
    ASSERT_EQ(comb.GetNumberOfContours(), 1);
    EXPECT_EQ(comb.GetFirstContour()->GetNumberOfPoints(), points);
    EXPECT_DOUBLE_EQ(MCutProfile::OrientationSum(*comb.GetFirstContour()), -(500.0 * 20 * 10000 + 20000.0 * 100));
}

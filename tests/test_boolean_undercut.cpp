#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "MStlBaseOperatorBooleanUndercut.h"
#include "TestMeshes.h"
#include "host/MBoolean.h"

namespace {

using Undercut = MStlBaseOperatorBooleanUndercut;

using Corners = std::array<int32_t, 9>;
std::vector<Corners> Dump(const MStlBase& mesh) {
    std::vector<Corners> out;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        Corners c;
        for (int i = 0; i < 3; ++i)
            for (int a = 0; a < 3; ++a) c[size_t(3 * i + a)] = it->GetPoint(i)->Get(a);
        out.push_back(c);
    }
    return out;
}

double IntersectionVolume(const MStlBase& a, const MStlBase& b) {
    MStlBase r;
    EXPECT_EQ(AU::BooleanIntersect({&a, &b}, r, {}, nullptr), AU::EReturnCode(0));
    return r.Volume();
}

double DifferenceVolume(const MStlBase& a, const MStlBase& b) {
    MStlBase r;
    EXPECT_EQ(AU::BooleanSubtract({&a}, {&b}, r, {}, nullptr), AU::EReturnCode(0));
    return r.Volume();
}

// The volume of a - b where the two share most of their surface: what is
// left are slivers along the rounded points, which the grid may fold, so
// the rounding is not checked.
double SliverVolume(const MStlBase& a, const MStlBase& b) {
    MStlBase r;
    AU::BooleanParameters unchecked;
    unchecked.checkRounding = false;
    EXPECT_EQ(AU::BooleanSubtract({&a}, {&b}, r, unchecked, nullptr), AU::EReturnCode(0));
    return r.Volume();
}

double UnionVolume(const MStlBase& a, const MStlBase& b) {
    MStlBase r;
    EXPECT_EQ(AU::BooleanUnite({&a, &b}, r, {}, nullptr), AU::EReturnCode(0));
    return r.Volume();
}

// How far rounding the new points of `part` to the grid can move its
// surface, as a volume: every face, by its corners that are points of
// neither input, up to half a grid diagonal each.
double RoundingBound(const MStlBase& part, const MStlBase& a, const MStlBase& b) {
    double bound = 0.0;
    for (auto it = part.BeginTriangle(); it != part.EndTriangle(); ++it) {
        int moved = 0;
        for (int i = 0; i < 3; ++i) {
            const MStlPoint* p = it->GetPoint(i);
            moved += !a.GetPoint(p->GetX(), p->GetY(), p->GetZ()) && !b.GetPoint(p->GetX(), p->GetY(), p->GetZ());
        }
        bound += moved * it->Area() * std::sqrt(3.0) / 6.0;
    }
    return bound;
}
void Box(MStlBase& m, MMVector3l lo, MMVector3l hi) {
    GenerateBox(m, lo, hi, 2);
    m.Update();
}

// Counts the cancellation polls of a whole run and notes whether the
// reported fraction ever went back, or a call came from another thread
// than the one that made the delegate (the caller's).
class CountPolls final : public QelSDK::Common::IProgressDelegate {
public:
    void OnProgress(const std::string& step, double fraction) override {
        Note();
        calls.push_back(step + " " + std::to_string(fraction));
        steps.insert(step);
        wentBack = wentBack || fraction < reached;
        reached = std::max(reached, fraction);
    }
    bool IsCancelled() const override {
        Note();
        calls.push_back("poll");
        ++polls;
        return false;
    }
    void Note() const { foreignThread = foreignThread || std::this_thread::get_id() != caller; }
    const std::thread::id caller = std::this_thread::get_id();
    mutable std::atomic<bool> foreignThread = false;
    mutable int polls = 0;
    mutable std::vector<std::string> calls;  // in order: "poll", or step and fraction
    std::set<std::string> steps;
    double reached = 0.0;
    bool wentBack = false;
};

Undercut::EReturnCode RunUndercut(MStlBase& upper, MStlBase& lower, Undercut::Params params = {},
                          QelSDK::Common::ProgressPtr progress = nullptr) {
    Undercut op;
    op.SetUpperStl(&upper);
    op.SetLowerStl(&lower);
    op.SetParams(params);
    return op.Operate(progress);
}

constexpr double kFoot = 400.0 * 400.0;  // footprint of the upper boxes

}  // namespace

TEST(BooleanUndercut, UnsetMeshesFailAndTouchNothing) {
    MStlBase lower;
    Box(lower, {0, 0, 0}, {1000, 1000, 500});
    const auto before = Dump(lower);
    Undercut op;
    EXPECT_EQ(op.Operate(nullptr), Undercut::eFailure);
    op.SetLowerStl(&lower);
    EXPECT_EQ(op.Operate(nullptr), Undercut::eFailure);
    EXPECT_EQ(Dump(lower), before);
    Undercut other;
    other.SetUpperStl(&lower);
    EXPECT_EQ(other.Operate(nullptr), Undercut::eFailure);
    EXPECT_EQ(Dump(lower), before);
}

TEST(BooleanUndercut, DisjointPartsGiveEmptyIntermediate) {
    MStlBase lower, upper;
    Box(lower, {0, 0, 0}, {1000, 1000, 500});
    Box(upper, {300, 300, 600}, {700, 700, 900});
    const auto upperBefore = Dump(upper), lowerBefore = Dump(lower);
    EXPECT_EQ(RunUndercut(upper, lower), Undercut::eEmptyIntermediate);
    EXPECT_EQ(Dump(upper), upperBefore);
    EXPECT_EQ(Dump(lower), lowerBefore);
}

TEST(BooleanUndercut, OpenUpperFails) {
    MStlBase lower, upper;
    Box(lower, {0, 0, 0}, {1000, 1000, 500});
    Box(upper, {300, 300, 400}, {700, 700, 900});
    upper.RemoveTriangle(upper.GetFirstTriangle());
    const auto upperBefore = Dump(upper);
    EXPECT_EQ(RunUndercut(upper, lower), Undercut::eFailure);
    EXPECT_EQ(Dump(upper), upperBefore);
}

// The offset hole tools on the box standing 100 deep in a slab, whose
// notch is [300, 700]^2 x [300, 500].  Grown by 20 the pocket leaves a
// clearance: the parts do not overlap and the lower part lost more than the
// notch.  Shrunk by 20 the tool, [320, 680]^2 x [320, 480], is extended to
// 3 above the notch's top, so the pocket opens to the top (one shell) and
// the parts overlap by the notch less the pocket.  An offset whose grid
// would be too large fails and leaves the upper part unchanged.
TEST(BooleanUndercut, OffsetTools) {
    auto progress = std::make_shared<CountPolls>();
    for (const double offset : {20.0, -20.0}) {
        SCOPED_TRACE(offset);
        MStlBase lower, upper, upperInput;
        Box(lower, {0, 0, 0}, {1000, 1000, 500});
        Box(upper, {300, 300, 400}, {700, 700, 900});
        upperInput.AddStl(upper, false);
        Undercut::Params params;
        params.Offset = offset;
        ASSERT_EQ(RunUndercut(upper, lower, params, progress), Undercut::eSuccess);
        EXPECT_TRUE(Sound(upper));
        EXPECT_TRUE(Sound(lower));
        EXPECT_DOUBLE_EQ(upper.Volume(), kFoot * 600.0);
        EXPECT_EQ(CheckMesh(lower).shells, 1u);
        const double notch = kFoot * 200.0, slab = 1000.0 * 1000.0 * 500.0;
        if (offset > 0) {
            EXPECT_LE(IntersectionVolume(upper, lower), 1e-6 * notch);
            const double removed = slab - lower.Volume();
            EXPECT_GT(removed, notch + 0.9 * (440.0 * 440.0 * 220.0 - notch - 4 * 440.0 * 220.0 * 0.5 * 20.0));
            EXPECT_LT(removed, 440.0 * 440.0 * 220.0);
        } else {
            const double pocket = 360.0 * 360.0 * 180.0;
            EXPECT_NEAR(slab - lower.Volume(), pocket, 0.02 * pocket);
            EXPECT_NEAR(IntersectionVolume(upper, lower), notch - pocket, 0.05 * (notch - pocket));
        }
    }
    EXPECT_TRUE(progress->steps.count("Boolean Undercut . Hole Creation . Stub Extension"));

    MStlBase lower, upper;
    Box(lower, {0, 0, 0}, {10000, 10000, 5000});
    Box(upper, {3000, 3000, 4000}, {7000, 7000, 9000});
    const auto upperBefore = Dump(upper);
    const auto lowerBefore = Dump(lower);
    Undercut::Params params;
    params.Offset = 0.5;  // one-unit voxels across a 4000-unit notch: more than 2048 a side
    Undercut op;
    op.SetUpperStl(&upper);
    op.SetLowerStl(&lower);
    op.SetParams(params);
    EXPECT_EQ(op.Operate(nullptr), Undercut::eFailure);
    EXPECT_EQ(op.GetOffsetResult(), 3);
    // The upper result was made beside the failed hole; neither mesh changes.
    EXPECT_EQ(Dump(upper), upperBefore);
    EXPECT_EQ(Dump(lower), lowerBefore);
}

// A box standing 100 deep in a slab: the notch hangs from the slab's top
// face inside the box down to 100 below the overlap, the upper part is
// extended by it, and the lower part gets the matching pocket: the two
// results touch without overlapping.
TEST(BooleanUndercut, DownwardNotchOnBoxes) {
    MStlBase lower, upper, upperInput, lowerInput;
    Box(lower, {0, 0, 0}, {1000, 1000, 500});
    Box(upper, {300, 300, 400}, {700, 700, 900});
    upperInput.AddStl(upper, false);
    lowerInput.AddStl(lower, false);
    auto progress = std::make_shared<CountPolls>();
    ASSERT_EQ(RunUndercut(upper, lower, {}, progress), Undercut::eSuccess);
    EXPECT_TRUE(progress->steps.count("Boolean Undercut . Hole Creation"));
    EXPECT_TRUE(progress->steps.count("Boolean Undercut . Notch Creation"));

    EXPECT_TRUE(Sound(upper));
    EXPECT_TRUE(Sound(lower));
    EXPECT_DOUBLE_EQ(upper.Volume(), kFoot * 600.0);  // [300, 900] in z
    EXPECT_DOUBLE_EQ(lower.Volume(), 1000.0 * 1000.0 * 500.0 - kFoot * 200.0);
    EXPECT_DOUBLE_EQ(DifferenceVolume(upperInput, upper), 0.0);  // contains the input
    EXPECT_DOUBLE_EQ(DifferenceVolume(upper, upperInput), kFoot * 100.0);
    EXPECT_DOUBLE_EQ(IntersectionVolume(upper, lower), 0.0);  // no overlap
    // No gap either: together they fill the slab and the box.
    EXPECT_DOUBLE_EQ(UnionVolume(upper, lower), UnionVolume(upperInput, lowerInput));
}

// Two slabs one above the other, a box reaching down through the upper one
// into the lower one: the faces the notch is swept from lie at two heights
// over the same ground, so the two prisms share the ground's outline at the
// level below.  Each has points of its own, and their union is one column.
TEST(BooleanUndercut, NotchFromFacesAtTwoHeightsOverOneGround) {
    MStlBase lower, upper, upperInput, second;
    Box(lower, {0, 0, 0}, {1000, 1000, 500});
    Box(second, {0, 0, 700}, {1000, 1000, 900});
    lower.AddStl(second, false);
    lower.Update();
    Box(upper, {300, 300, 400}, {700, 700, 1200});
    upperInput.AddStl(upper, false);
    ASSERT_EQ(RunUndercut(upper, lower), Undercut::eSuccess);
    EXPECT_TRUE(Sound(upper));
    EXPECT_TRUE(Sound(lower));
    EXPECT_DOUBLE_EQ(upper.Volume(), kFoot * 900.0);  // [300, 1200] in z
    EXPECT_DOUBLE_EQ(DifferenceVolume(upperInput, upper), 0.0);
}

// A box reaching 300 up into a slab from below: the notch rises from the
// slab's bottom face to 100 below the overlap's top and lies inside the
// upper part, which comes back unchanged in volume.  The tool's points on
// the slab's bottom are lifted by 3, so the hole is a closed cavity over a
// 3-unit floor.
TEST(BooleanUndercut, UpwardNotchOnBoxes) {
    MStlBase lower, upper, upperInput;
    Box(lower, {0, 0, 0}, {1000, 1000, 500});
    Box(upper, {300, 300, -400}, {700, 700, 300});
    upperInput.AddStl(upper, false);
    Undercut::Params params;
    params.Direction = 1;
    ASSERT_EQ(RunUndercut(upper, lower, params), Undercut::eSuccess);

    EXPECT_TRUE(Sound(upper));
    EXPECT_TRUE(Sound(lower));
    EXPECT_EQ(CheckMesh(lower).shells, 2u);
    EXPECT_DOUBLE_EQ(upper.Volume(), kFoot * 700.0);
    EXPECT_DOUBLE_EQ(DifferenceVolume(upperInput, upper), 0.0);
    EXPECT_DOUBLE_EQ(lower.Volume(), 1000.0 * 1000.0 * 500.0 - kFoot * 197.0);
    // Overlap: the 3-unit floor and the 100 above the cavity.
    EXPECT_DOUBLE_EQ(IntersectionVolume(upper, lower), kFoot * 103.0);
}

// A sphere sunk into a slab: the results are closed, the upper one holds
// the sphere, they do not overlap, and they are the same with one and two
// threads.
TEST(BooleanUndercut, SphereOnSlabSameWithOneAndTwoThreads) {
    std::vector<Corners> upperDump[2], lowerDump[2];
    std::vector<std::string> calls[2];
    for (int threads = 1; threads <= 2; ++threads) {
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, size_t(threads));
        MStlBase lower, upper, upperInput;
        Box(lower, {0, 0, 0}, {1000, 1000, 500});
        GenerateSphere(upper, 300.0, 1000, {500, 500, 550});
        upper.Update();
        upperInput.AddStl(upper, false);
        auto count = std::make_shared<CountPolls>();
        ASSERT_EQ(RunUndercut(upper, lower, {}, count), Undercut::eSuccess);
        EXPECT_FALSE(count->foreignThread) << "a progress call from another thread";
        EXPECT_FALSE(count->wentBack) << "progress went back";
        calls[threads - 1] = count->calls;
        upperDump[threads - 1] = Dump(upper);
        lowerDump[threads - 1] = Dump(lower);
        if (threads == 2) break;  // the same meshes, compared below
        EXPECT_TRUE(Sound(upper));
        EXPECT_TRUE(Sound(lower));
        EXPECT_LE(std::abs(DifferenceVolume(upperInput, upper)), 1e-4 * upperInput.Volume());
        EXPECT_GT(upper.Volume(), upperInput.Volume());
        EXPECT_LE(std::abs(IntersectionVolume(upper, lower)), 1e-4 * upperInput.Volume());
        EXPECT_LT(lower.Volume(), 1000.0 * 1000.0 * 500.0);
    }
    EXPECT_EQ(upperDump[0], upperDump[1]);
    EXPECT_EQ(lowerDump[0], lowerDump[1]);
    EXPECT_EQ(calls[0], calls[1]) << "the delegate heard other calls";
}

// A lower part with an inner cavity: the cavity is no outer shell and is
// not used for the notch, and it stays in the lower result.
TEST(BooleanUndercut, LowerCavityIsKept) {
    MStlBase lower, upper;
    Box(lower, {0, 0, 0}, {1000, 1000, 500});
    MStlBase cavity;
    Box(cavity, {50, 50, 50}, {150, 150, 150});
    cavity.Invert();
    lower.AddStl(cavity, false);
    lower.Update();
    Box(upper, {300, 300, 400}, {700, 700, 900});
    ASSERT_EQ(RunUndercut(upper, lower), Undercut::eSuccess);
    EXPECT_TRUE(Sound(upper));
    EXPECT_TRUE(Sound(lower));
    EXPECT_EQ(CheckMesh(lower).shells, 2u);
    EXPECT_DOUBLE_EQ(upper.Volume(), kFoot * 600.0);
    EXPECT_DOUBLE_EQ(lower.Volume(), 1000.0 * 1000.0 * 500.0 - kFoot * 200.0 - 100.0 * 100.0 * 100.0);
}

// Stopping at any poll returns the cancellation code; the upper mesh is
// untouched and the lower one is still a closed solid.
TEST(BooleanUndercut, CancellationAtEveryPhase) {
    MStlBase lower0, upper0;
    Box(lower0, {0, 0, 0}, {1000, 1000, 500});
    Box(upper0, {300, 300, 400}, {700, 700, 900});
    const auto upperBefore = Dump(upper0);
    // The delegate hears the same calls on every run, all on the calling
    // thread, however the work is shared out.
    int polls = 0;
    std::vector<std::string> calls;
    for (int run = 0; run < 3; ++run) {
        MStlBase upper, lower;
        upper.AddStl(upper0, false);
        lower.AddStl(lower0, false);
        auto count = std::make_shared<CountPolls>();
        ASSERT_EQ(RunUndercut(upper, lower, {}, count), Undercut::eSuccess);
        if (run > 0) {
            EXPECT_EQ(count->calls, calls);
        }
        polls = count->polls;
        calls = count->calls;
        EXPECT_FALSE(count->wentBack) << "progress went back";
        EXPECT_FALSE(count->foreignThread) << "a call from another thread";
    }
    ASSERT_GT(polls, 0);
    std::set<std::string> seen;
    std::vector<int> stops;
    for (int allowed = 0; allowed < polls; allowed += std::max(1, polls / 40)) stops.push_back(allowed);
    stops.push_back(polls - 1);
    for (const int allowed : stops) {
        MStlBase upper, lower;
        upper.AddStl(upper0, false);
        lower.AddStl(lower0, false);
        upper.Update();
        lower.Update();
        auto cancel = std::make_shared<CancelAfter>(allowed);
        ASSERT_EQ(RunUndercut(upper, lower, {}, cancel), Undercut::eCancelled) << "allowed " << allowed;
        EXPECT_EQ(Dump(upper), upperBefore) << "allowed " << allowed;
        EXPECT_TRUE(Sound(lower)) << "allowed " << allowed;
        seen.insert(cancel->steps.begin(), cancel->steps.end());
    }
    EXPECT_TRUE(seen.count("Boolean Undercut . Notch Creation"));
    EXPECT_TRUE(seen.count("Boolean Undercut . Hole Creation"));
}

// A coarse sphere sunk into (or poking up into) a finely divided slab: the
// trimmed faces on the slab's surface are divided again where the notch is
// cut to the slab, and the pieces of the upper result still join.  Both
// directions, each with a size that used to be refused, and the same
// results with one and two threads.
TEST(BooleanUndercut, CoarseSphereInFinelyDividedSlab) {
    struct Case {
        int32_t direction;
        double radius;
        uint64_t triangles;
    };
    for (const Case c : {Case{0, 1e4, 1000}, Case{1, 1e5, 2000}}) {
        SCOPED_TRACE(c.direction);
        std::vector<Corners> upperDump[2], lowerDump[2];
        for (int threads = 1; threads <= 2; ++threads) {
            tbb::global_control limit(tbb::global_control::max_allowed_parallelism, size_t(threads));
            const int64_t r = int64_t(c.radius);
            MStlBase lower, upper, upperInput, lowerInput;
            const double z = c.direction == 0 ? 0.1 * c.radius : -0.1 * c.radius;
            GenerateBox(lower, {-2 * r, -2 * r, c.direction == 0 ? -r : 0}, {2 * r, 2 * r, c.direction == 0 ? 0 : r}, 9);
            GenerateSphere(upper, 0.6 * c.radius, c.triangles, {0.0123 * c.radius, -0.0071 * c.radius, z});
            lower.Update();
            upper.Update();
            upperInput.AddStl(upper, false);
            lowerInput.AddStl(lower, false);
            Undercut::Params params;
            params.Direction = c.direction;
            ASSERT_EQ(RunUndercut(upper, lower, params), Undercut::eSuccess);
            upperDump[threads - 1] = Dump(upper);
            lowerDump[threads - 1] = Dump(lower);
            if (threads == 2) break;
            EXPECT_TRUE(Sound(upper));
            EXPECT_TRUE(Sound(lower));
            EXPECT_EQ(CheckMesh(upper).shells, 1u);
            // The upper result holds the sphere (up to the rounded points
            // along the slab's surface) and lies in the sphere and slab.
            EXPECT_LE(SliverVolume(upperInput, upper), 1e-5 * upperInput.Volume());
            EXPECT_GT(upper.Volume(), 1.05 * upperInput.Volume());
            EXPECT_LE(SliverVolume(lower, lowerInput), 1e-5 * upperInput.Volume());
            if (c.direction == 0) {
                EXPECT_EQ(CheckMesh(lower).shells, 1u);
                // Each result is rounded on its own, so they may overlap by
                // what the rounding of their new points moves.
                EXPECT_LE(IntersectionVolume(upper, lower), RoundingBound(upper, upperInput, lowerInput));
                EXPECT_NEAR(UnionVolume(upper, lower), UnionVolume(upperInput, lowerInput),
                            1e-6 * lowerInput.Volume());
            } else {
                // The hole is a closed cavity; the parts overlap on its
                // 3-unit floor and above it.
                EXPECT_EQ(CheckMesh(lower).shells, 2u);
                EXPECT_GT(IntersectionVolume(upper, lower), 0.0);
            }
        }
        EXPECT_EQ(upperDump[0], upperDump[1]);
        EXPECT_EQ(lowerDump[0], lowerDump[1]);
    }
}

// A box tilted by small angles about x and y, its corners rounded to the
// grid: no face of it lies in a plane of the grid.
void TiltedSlab(MStlBase& m, double ax, double ay, int divisions) {
    GenerateBox(m, {-20000, -20000, -20000}, {20000, 20000, 0}, divisions);
    m.Update();
    std::vector<MStlPoint*> points;
    for (auto it = m.BeginPoint(); it != m.EndPoint(); ++it) points.push_back(*it);
    for (MStlPoint* p : points) {
        const double x = p->GetX(), y = p->GetY(), z = p->GetZ();
        const double y1 = y * std::cos(ax) - z * std::sin(ax), z1 = y * std::sin(ax) + z * std::cos(ax);
        p->SetCoordinatesFast(int32_t(std::lround(x * std::cos(ay) + z1 * std::sin(ay))), int32_t(std::lround(y1)),
                              int32_t(std::lround(-x * std::sin(ay) + z1 * std::cos(ay))));
    }
    m.Update();
}

// A sphere dipping into a tilted slab, both ways, by the point-lifting and
// the growing hole tools.  The notch is built on the faces of the sphere's
// part inside the slab and meets the part outside on the slab's tilted top,
// where rounding between the steps used to leave near misses that the
// join refused; now every step runs over exact points and only the results
// are rounded.  Each result is closed and the upper part holds the sphere;
// hanging down, the notch grows it and the parts overlap by no more than
// the rounding moved.
TEST(BooleanUndercut, SphereDippingIntoTiltedSlab) {
    struct Case {
        double ax, ay;
        int divisions;
        double radius, dip;
        uint64_t triangles;
        double offset;
        int32_t direction;
    };
    for (const Case c : {Case{0.028, 0.103, 4, 8931, 3678, 1353, 0, 0}, Case{0.149, 0.130, 1, 9993, 2179, 1389, 500, 0},
                         Case{-0.129, 0.102, 1, 6985, 2225, 256, 0, 1}, Case{0.120, -0.098, 4, 7263, 2896, 624, 363, 1}}) {
        SCOPED_TRACE(c.offset);
        MStlBase lower, upper, upperInput, lowerInput;
        TiltedSlab(lower, c.ax, c.ay, c.divisions);
        GenerateSphere(upper, c.radius, c.triangles, {123.0, -71.0, c.radius - c.dip});
        upper.Update();
        upperInput.AddStl(upper, false);
        lowerInput.AddStl(lower, false);
        Undercut::Params params;
        params.Offset = c.offset;
        params.Direction = c.direction;
        ASSERT_EQ(RunUndercut(upper, lower, params), Undercut::eSuccess);
        EXPECT_TRUE(Sound(upper));
        EXPECT_TRUE(Sound(lower));
        EXPECT_LE(SliverVolume(upperInput, upper), 1e-5 * upperInput.Volume());
        EXPECT_LT(lower.Volume(), lowerInput.Volume());
        const double rounding = RoundingBound(upper, upperInput, lowerInput);
        if (c.direction == 0) {
            EXPECT_GT(upper.Volume(), upperInput.Volume());
            EXPECT_LE(IntersectionVolume(upper, lower), rounding);
        } else {
            // Rising from the sphere's underside, the notch lies in it.
            EXPECT_NEAR(upper.Volume(), upperInput.Volume(), rounding);
        }
    }
}

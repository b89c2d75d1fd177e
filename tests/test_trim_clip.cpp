#include <gtest/gtest.h>

#include "MTriangleTrimIntersection.h"
#include "host/MStlBase.h"

namespace {

struct Clip {
    MStlBase mesh;
    MTriangleTrimCS cs;
    Clip() { cs.SetTriangle(mesh.AddPoint(0, 0, 0), mesh.AddPoint(1000, 0, 0), mesh.AddPoint(0, 1000, 0), nullptr); }

    MTriangleTrimIntersection Segment(int x0, int y0, int x1, int y1) {
        MTriangleTrimIntersection r;
        r.SetCS(&cs);
        r.start.CalculatePositionOfPoint(mesh.AddPoint(x0, y0, 0));
        r.end.CalculatePositionOfPoint(mesh.AddPoint(x1, y1, 0));
        return r;
    }
};

void ExpectAt(const MTriangleTrimPosition& p, int x, int y) {
    EXPECT_EQ(p.GetX(), x);
    EXPECT_EQ(p.GetY(), y);
    EXPECT_EQ(p.GetZ(), 0);
    EXPECT_FALSE(p.IsOutside());
}

}  // namespace

TEST(TrimClip, ClipsSegmentsToTheTriangle) {
    Clip c;
    MTriangleTrimIntersection out;

    // Inside: unchanged.
    MTriangleTrimIntersection inside = c.Segment(100, 100, 300, 200);
    inside.TRIM(out, &c.cs);
    ExpectAt(out.start, 100, 100);
    ExpectAt(out.end, 300, 200);

    // Crossing the edge x = 0: the outer end moves onto it.
    MTriangleTrimIntersection one = c.Segment(-500, 200, 500, 200);
    one.TRIM(out, &c.cs);
    ExpectAt(out.start, 0, 200);
    ExpectAt(out.end, 500, 200);
    EXPECT_EQ(out.start.GetPoint(), nullptr) << "a crossing has no mesh point yet";

    // The other way round, the end is the one replaced.
    MTriangleTrimIntersection back = c.Segment(500, 200, -500, 200);
    back.TRIM(out, &c.cs);
    ExpectAt(out.start, 500, 200);
    ExpectAt(out.end, 0, 200);

    // Through two edges: both ends move, onto x = 0 and onto x + y = 1000.
    MTriangleTrimIntersection two = c.Segment(-200, 500, 800, 500);
    two.TRIM(out, &c.cs);
    ExpectAt(out.start, 0, 500);
    ExpectAt(out.end, 500, 500);

    // Ending exactly on an edge: nothing to clip.
    MTriangleTrimIntersection touching = c.Segment(0, 300, 400, 300);
    touching.TRIM(out, &c.cs);
    ExpectAt(out.start, 0, 300);
    ExpectAt(out.end, 400, 300);
}

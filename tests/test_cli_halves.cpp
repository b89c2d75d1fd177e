// The halves and frame subcommands of the command-line tool.
#include "CliTest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "host/MStlIO.h"

namespace {

class CliHalves : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(Run("generate sphere " + P("sphere.stl") + " --triangles 5000 --size 50"), 0) << Output();
        MStlBase box;
        GenerateBox(box, {0, -60000, -60000}, {60000, 60000, 60000}, 2);
        SaveMesh("box.stl", box);
        m_volume = ReportOf("sphere.stl").volume;
    }
    // Both files closed, their volumes adding up to the sphere's.
    void ExpectHalves(const std::string& in, const std::string& out, double insideShare) {
        const MeshReport a = ReportOf(in), b = ReportOf(out);
        EXPECT_TRUE(a.closed && a.oriented);
        EXPECT_TRUE(b.closed && b.oriented);
        EXPECT_NEAR(a.volume + b.volume, m_volume, 1e-3 * m_volume);
        EXPECT_NEAR(a.volume, insideShare * m_volume, 0.02 * m_volume);
    }
    double m_volume = 0.0;
};

}  // namespace

TEST_F(CliHalves, ByPlaneCutterAndPolyline) {
    const std::string in = " --inside " + P("in.stl") + " --outside " + P("out.stl");
    ASSERT_EQ(Run("halves " + P("sphere.stl") + " --plane 0,0,1,0" + in), 0) << Output();
    ExpectHalves("in.stl", "out.stl", 0.5);
    // The plane x = 25 (x - 25 = 0): the negative side holds the larger part.
    ASSERT_EQ(Run("halves " + P("sphere.stl") + " --plane 1,0,0,-25" + in), 0) << Output();
    ExpectHalves("in.stl", "out.stl", 1.0 - 5.0 / 32.0);
    ASSERT_EQ(Run("halves " + P("sphere.stl") + " --cutter " + P("box.stl") + in), 0) << Output();
    ExpectHalves("in.stl", "out.stl", 0.5);
    // A 20 x 20 square seen along x cuts a square column out of the sphere.
    Write("square.txt", "-10 -10\n10 -10\n10 10\n-10 10\n");
    ASSERT_EQ(Run("halves " + P("sphere.stl") + " --polyline " + P("square.txt") + " --direction 1,0,0" + in), 0)
        << Output();
    const MeshReport column = ReportOf("in.stl");
    EXPECT_TRUE(column.closed && column.oriented);
    // About 20 x 20 times the chord through the square's middle ring.
    EXPECT_NEAR(column.volume, 400.0 * 2.0 * std::sqrt(50.0 * 50.0 - 200.0), 0.05 * 400.0 * 100.0);
    EXPECT_NEAR(column.volume + ReportOf("out.stl").volume, m_volume, 1e-3 * m_volume);
}

TEST_F(CliHalves, RefusesBadArguments) {
    const std::string in = " --inside " + P("in.stl") + " --outside " + P("out.stl");
    EXPECT_NE(Run("halves " + P("sphere.stl") + in), 0);
    EXPECT_NE(Run("halves " + P("sphere.stl") + " --plane 0,0,1,0 --cutter " + P("box.stl") + in), 0);
    EXPECT_NE(Run("halves " + P("sphere.stl") + " --plane 0,0,0,1" + in), 0);
    EXPECT_NE(Run("halves " + P("sphere.stl") + " --plane 0,0,1" + in), 0);
    EXPECT_NE(Run("halves " + P("sphere.stl") + " --plane 0,0,1,0 --inside " + P("a.stl") + " --outside " + P("a.stl")), 0);
    Write("eight.txt", "0 0\n10 10\n10 0\n0 10\n");
    EXPECT_NE(Run("halves " + P("sphere.stl") + " --polyline " + P("eight.txt") + in), 0);
    EXPECT_NE(Output().find("crosses itself"), std::string::npos) << Output();
    Write("square.txt", "-10 -10\n10 -10\n10 10\n-10 10\n");
    EXPECT_NE(Run("halves " + P("sphere.stl") + " --polyline " + P("square.txt") + " --direction 0,0,0" + in), 0);
    Write("broken.stl", "solid x\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\n");
    EXPECT_NE(Run("halves " + P("broken.stl") + " --plane 0,0,1,0" + in), 0);
    EXPECT_FALSE(Exists("in.stl"));
    EXPECT_FALSE(Exists("out.stl"));
}

TEST_F(CliHalves, FrameSortsShells) {
    const std::string outs = " --above " + P("above.stl") + " --below " + P("below.stl") + " --uncut " + P("uncut.stl");
    ASSERT_EQ(Run("frame " + P("sphere.stl") + " --origin -60,-60,10 --u 120,0,0 --v 0,120,0" + outs), 0) << Output();
    EXPECT_FALSE(Exists("uncut.stl"));
    const MeshReport above = ReportOf("above.stl"), below = ReportOf("below.stl");
    EXPECT_TRUE(above.closed && above.oriented);
    EXPECT_TRUE(below.closed && below.oriented);
    EXPECT_NEAR(above.volume + below.volume, m_volume, 1e-3 * m_volume);
    EXPECT_LT(above.volume, below.volume);
    // A frame over half the section leaves the sphere whole.
    std::filesystem::remove(P("above.stl"));
    std::filesystem::remove(P("below.stl"));
    ASSERT_EQ(Run("frame " + P("sphere.stl") + " --origin 0,-60,10 --u 120,0,0 --v 0,120,0" + outs), 0) << Output();
    EXPECT_NE(Output().find("left uncut"), std::string::npos) << Output();
    EXPECT_NEAR(ReportOf("uncut.stl").volume, m_volume, 1e-9 * m_volume);
    EXPECT_FALSE(Exists("above.stl"));
    EXPECT_NE(Run("frame " + P("sphere.stl") + " --origin 0,0,0 --u 1,0,0 --v 2,0,0" + outs), 0);
    EXPECT_NE(Run("frame " + P("sphere.stl") + " --origin 0,0,0 --u 1,0,0 --v 0,1,0"), 0);
    EXPECT_NE(Run("frame " + P("sphere.stl") + " --origin 0,0,1e9 --u 1,0,0 --v 0,1,0" + outs), 0);
}

#include "CliTest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {
class Cli : public CliTest {};
}  // namespace

TEST_F(Cli, GenerateCutAndCheck) {
    ASSERT_EQ(Run("generate sphere " + P("s.stl") + " --triangles 5000"), 0) << Output();
    ASSERT_EQ(Run("plane " + P("s.stl") + " --z 7 --below " + P("b.stl") + " --above " + P("a.obj")), 0) << Output();
    EXPECT_NE(Output().find("below:"), std::string::npos);
    EXPECT_EQ(Run("check " + P("b.stl")), 0) << Output();
    EXPECT_NE(Output().find("closed: yes"), std::string::npos);
    EXPECT_EQ(Run("check " + P("a.obj")), 0) << Output();
    EXPECT_EQ(Run("plane " + P("s.stl") + " --plane 1,1,0,-3 --above " + P("c.stl") + " --ascii"), 0) << Output();
    EXPECT_EQ(Run("check " + P("c.stl")), 0) << Output();

    ASSERT_EQ(Run("zrange " + P("s.stl") + " --lower -10 --upper 10 -o " + P("r.stl")), 0) << Output();
    EXPECT_EQ(Run("check " + P("r.stl")), 2) << "the slab is open";
    EXPECT_EQ(Run("generate torus " + P("t.obj") + " --triangles 2000"), 0) << Output();
    EXPECT_EQ(Run("check " + P("t.obj")), 0) << Output();
}

TEST_F(Cli, BadInputFailsAndWritesNothing) {
    ASSERT_EQ(Run("generate box " + P("box.stl")), 0) << Output();
    const std::string out = P("never.stl");
    EXPECT_EQ(Run("plane " + P("missing.stl") + " --z 0 --below " + out), 1);
    EXPECT_EQ(Run("plane " + P("box.stl") + " --plane 0,0,0,1 --below " + out), 1);
    EXPECT_NE(Output().find("normal"), std::string::npos) << Output();
    EXPECT_EQ(Run("plane " + P("box.stl") + " --plane 0,0,nan,1 --below " + out), 1);
    EXPECT_EQ(Run("plane " + P("box.stl") + " --z 1 --plane 0,0,1,0 --below " + out), 1);
    EXPECT_EQ(Run("plane " + P("box.stl") + " --z 1e300 --below " + out), 1);
    EXPECT_EQ(Run("plane " + P("box.stl") + " --z 1"), 1) << "no output named";
    EXPECT_EQ(Run("zrange " + P("box.stl") + " --lower 5 --upper 1 -o " + out), 1);
    EXPECT_EQ(Run("plane --bogus"), 1);
    EXPECT_EQ(Run("generate sphere " + P("x.stl") + " --triangles 5"), 1);

    {
        std::ofstream(P("empty.stl"));
        std::ofstream bad(P("bad.obj"));
        bad << "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 9\n";
        std::ofstream nan(P("nan.stl"));
        nan << "solid x\nfacet normal 0 0 1\nouter loop\nvertex 0 0 nan\nvertex 1 0 0\nvertex 0 1 0\n"
               "endloop\nendfacet\nendsolid x\n";
        std::ofstream far(P("far.obj"));
        far << "v 0 0 0\nv 1e9 0 0\nv 0 1 0\nf 1 2 3\n";
    }
    for (const char* f : {"empty.stl", "bad.obj", "nan.stl", "far.obj"}) {
        EXPECT_EQ(Run("plane " + P(f) + " --z 0 --below " + out), 1) << f;
        EXPECT_FALSE(Output().empty()) << f << ": a message is expected";
    }
    // An open mesh cannot be closed by a fill.
    std::ofstream open(P("open.obj"));
    open << "v 0 0 0\nv 10 0 0\nv 0 10 0\nv 0 0 10\nf 1 3 2\nf 1 2 4\nf 1 4 3\n";
    open.close();
    EXPECT_EQ(Run("plane " + P("open.obj") + " --z 5 --below " + out), 1);
    EXPECT_NE(Output().find("open"), std::string::npos) << Output();
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(Run("plane " + P("open.obj") + " --z 5 --no-fill --below " + out), 0) << Output();
    EXPECT_TRUE(fs::exists(out));

    ExpectNoTemporaryFiles();
}

// A plane through two boxes that pass through each other: the contours
// cross, each is closed on its own, the tool says so and writes both parts.
TEST_F(Cli, PlaneThroughShellsPassingThroughEachOther) {
    WriteTwoBoxes("two.off");
    ASSERT_EQ(Run("plane " + P("two.off") + " --plane=0,0,1,-7.5 --below " + P("below.obj") + " --above " + P("above.obj")), 0)
        << Output();
    EXPECT_NE(Output().find("the cut contours cross"), std::string::npos) << Output();
    for (const char* part : {"below.obj", "above.obj"}) {
        const MeshReport r = ReportOf(part);
        EXPECT_TRUE(r.closed && r.oriented) << part;
    }
    EXPECT_NEAR(ReportOf("below.obj").volume + ReportOf("above.obj").volume, 2000.0, 1e-6);
}

// A cutting mesh through the place where the input passes through itself:
// refused, with a point of a crossing in the message, and nothing written.
TEST_F(Cli, HalvesByCutterNameWhereTheInputCrossesItself) {
    WriteTwoBoxes("two.off");
    Write("cutter.off", "OFF\n8 12 0\n2 2 2\n13 2 2\n13 13 2\n2 13 2\n2 2 13\n13 2 13\n13 13 13\n2 13 13\n"
                        "3 0 2 1\n3 0 3 2\n3 4 5 6\n3 4 6 7\n3 0 1 5\n3 0 5 4\n3 1 2 6\n3 1 6 5\n3 2 3 7\n"
                        "3 2 7 6\n3 3 0 4\n3 3 4 7\n");
    EXPECT_NE(Run("halves " + P("two.off") + " --cutter " + P("cutter.off") + " --inside " + P("in.obj") +
                  " --outside " + P("out.obj")),
              0);
    EXPECT_NE(Output().find("the input mesh intersects itself"), std::string::npos) << Output();
    EXPECT_NE(Output().find("one near ("), std::string::npos) << Output();
    EXPECT_FALSE(std::filesystem::exists(P("in.obj")));
    EXPECT_FALSE(std::filesystem::exists(P("out.obj")));
}

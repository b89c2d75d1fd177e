#include "CliTest.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>

#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MStlIO.h"

namespace fs = std::filesystem;

namespace {

class CliProfile : public CliTest {
protected:
    // Volume of a mesh file in cubic model units.
    double Volume(const std::string& name) const {
        MStlBase mesh;
        std::string error;
        EXPECT_TRUE(ReadMesh(P(name), mesh, error)) << error;
        const double u = QelSDK::Common::MInternalUnits::Get();
        return mesh.Volume() / (u * u * u);
    }
    // Runs a cut into in.stl and out.stl and checks that both are closed and
    // that their volumes add up to the input's.  Returns the inside volume.
    double CutAndCheck(const std::string& input, const std::string& args, double relativeError) {
        fs::remove(P("in.stl"));
        fs::remove(P("out.stl"));
        if (Run("profile " + P(input) + " " + args + " --inside " + P("in.stl") + " --outside " + P("out.stl")) != 0) {
            ADD_FAILURE() << args << "\n" << Output();
            return std::nan("");
        }
        EXPECT_NE(Output().find("inside:"), std::string::npos) << Output();
        EXPECT_EQ(Run("check " + P("in.stl")), 0) << args << "\n" << Output();
        EXPECT_EQ(Run("check " + P("out.stl")), 0) << args << "\n" << Output();
        const double whole = Volume(input), inside = Volume("in.stl"), outside = Volume("out.stl");
        EXPECT_NEAR(inside + outside, whole, relativeError * whole) << args;
        return inside;
    }
};

const char* const kSquare = "# a square of side 40\n-20 -20\n20 -20\n20 20  # corner\n-20 20\n";

}  // namespace

TEST_F(CliProfile, BadArgumentsFailAndWriteNothing) {
    ASSERT_EQ(Run("generate box " + P("box.stl") + " --triangles 1000"), 0) << Output();
    const std::string box = P("box.stl"), square = Write("square.txt", kSquare);
    const std::string outputs = " --inside " + P("in.stl") + " --outside " + P("out.stl");
    const std::string badArguments[] = {
        "--polygon " + square + " --mode plane-z --value 1",  // both a polygon and a plane
        "",                                                   // neither
        "--polygon " + square + " --value 1",                 // a value without a plane mode
        "--mode plane-z",                                     // a plane mode without a value
        "--mode plane-x --value 1 --depth 2",                 // a depth with a plane mode
        "--polygon " + square + " --round -1",
        "--polygon " + square + " --depth 1e12",
        "--mode plane-w --value 1",
        "--mode plane-y --value 1e300",
        "--polygon " + P("missing.txt"),
    };
    for (const std::string& args : badArguments) {
        EXPECT_EQ(Run("profile " + box + " " + args + outputs), 1) << args;
        EXPECT_FALSE(Output().empty()) << args << ": a message is expected";
    }
    EXPECT_EQ(Run("profile " + box + " --polygon " + square), 1) << "no output named";
    EXPECT_NE(Output().find("--inside"), std::string::npos) << Output();
    EXPECT_EQ(Run("profile " + P("missing.stl") + " --polygon " + square + outputs), 1);

    struct BadFile {
        const char* text;
        const char* where;  // expected at the start of the message, after the file name
    };
    const BadFile badFiles[] = {
        {"0 0\n1 0 2\n0 1\n", ":2: "},                // three numbers
        {"0 0\n1\n0 1\n", ":2: "},                    // one number
        {"0 0\n1 0\n0 one\n", ":3: "},                // not a number
        {"0 0\n1,5 0\n0 1\n", ":2: "},                // comma
        {"0 0\nnan 0\n0 1\n", ":2: "},                // not finite
        {"0 0\n1e400 0\n0 1\n", ":2: "},              // overflows a double
        {"0 0\n3000000 0\n0 1\n", ":2: "},            // beyond the coordinate grid
        {"0 0\n1 0\n1 1\n0 1\n\n\n5 5\n6 6\n", ":7: "},  // second contour of two points
        {"# c\n0 0\n1 1\n0 0.0001\n1 1\n", ":2: "},   // four points, two distinct on the grid
        {"0 0\n1 0\n0 0\n", ":1: "},                  // the closing repeat does not count
        {"", ": "},                                   // no contour
        {"# only a comment\n\n   \n", ": "},
    };
    for (const BadFile& bad : badFiles) {
        const std::string file = Write("bad.txt", bad.text);
        EXPECT_EQ(Run("profile " + box + " --polygon " + file + outputs), 1) << bad.text;
        EXPECT_EQ(Output().rfind("meshcut: " + file + bad.where, 0), 0u) << bad.text << "\n" << Output();
    }
    EXPECT_FALSE(fs::exists(P("in.stl")));
    EXPECT_FALSE(fs::exists(P("out.stl")));
    ExpectNoTemporaryFiles();
}

TEST_F(CliProfile, PlaneModesSplitTheVolume) {
    // The box [-50, 50]^3: every plane cut is exact.
    ASSERT_EQ(Run("generate box " + P("box.stl") + " --triangles 5000"), 0) << Output();
    EXPECT_NEAR(CutAndCheck("box.stl", "--mode plane-z --value 10", 1e-6), 100.0 * 100.0 * 60.0, 1e-3);
    EXPECT_NEAR(CutAndCheck("box.stl", "--mode plane-x --value -30", 1e-6), 100.0 * 100.0 * 20.0, 1e-3);
    EXPECT_NEAR(CutAndCheck("box.stl", "--mode plane-y --value 0 --ascii", 1e-6), 100.0 * 100.0 * 50.0, 1e-3);

    ASSERT_EQ(Run("generate sphere " + P("s.stl") + " --triangles 5000"), 0) << Output();
    const double below = CutAndCheck("s.stl", "--mode plane-z --value 7", 1e-6);
    EXPECT_GT(below, 0.5 * Volume("s.stl"));

    // Only the requested part is written.
    ASSERT_EQ(Run("profile " + P("s.stl") + " --mode plane-z --value 7 --outside " + P("only.obj")), 0) << Output();
    EXPECT_TRUE(fs::exists(P("only.obj")));
    EXPECT_EQ(Output().find("inside:"), std::string::npos) << Output();
    EXPECT_NEAR(Volume("only.obj"), Volume("s.stl") - below, 1e-6 * below);
}

TEST_F(CliProfile, PolygonCutsSplitTheVolume) {
    ASSERT_EQ(Run("generate box " + P("box.stl") + " --triangles 5000"), 0) << Output();
    Write("square.txt", kSquare);
    const double box = 100.0 * 100.0 * 100.0, column = 40.0 * 40.0 * 100.0;
    EXPECT_NEAR(CutAndCheck("box.stl", "--polygon " + P("square.txt"), 1e-4), column, 1e-4 * box);
    // From Z = 10 upward: the column above 10 only.
    EXPECT_NEAR(CutAndCheck("box.stl", "--polygon " + P("square.txt") + " --depth 10", 1e-4), 40.0 * 40.0 * 40.0,
                1e-4 * box);
    // Rounded corners remove some of the column, at most the corner squares.
    const double rounded = CutAndCheck("box.stl", "--polygon " + P("square.txt") + " --round 5", 1e-4);
    EXPECT_LT(rounded, column - 1.0);
    EXPECT_GT(rounded, column - 4.0 * 25.0 * 100.0);

    // Two contours, one of them given twice its first point, and comments in between.
    Write("two.txt", std::string(kSquare) + "\n\n# a triangle\n30 -10\n45 -10\n30 10\n30 -10\n");
    EXPECT_NEAR(CutAndCheck("box.stl", "--polygon " + P("two.txt"), 1e-4), column + 150.0 * 100.0, 1e-4 * box);

    // Infinite coordinates: the half plane x <= 10, the same as the plane cut.
    Write("half.txt", "-inf -inf\n10 -inf\n10 inf\n-inf +inf\n");
    EXPECT_NEAR(CutAndCheck("box.stl", "--polygon " + P("half.txt"), 1e-4), 100.0 * 100.0 * 60.0, 1e-4 * box);

    ASSERT_EQ(Run("generate sphere " + P("s.stl") + " --triangles 5000"), 0) << Output();
    const double core = CutAndCheck("s.stl", "--polygon " + P("square.txt"), 1e-4);
    EXPECT_GT(core, 0.0);
    EXPECT_LT(core, column);
}

TEST_F(CliProfile, PolygonFilesAreBounded) {
    ASSERT_EQ(Run("generate box " + P("box.stl") + " --triangles 1000"), 0) << Output();
    const std::string box = P("box.stl");
    const std::string outputs = " --inside " + P("in.stl") + " --outside " + P("out.stl");
    // Only regular files are read: a FIFO without a writer, a device and a
    // directory are refused at once.
    const std::string fifo = P("fifo.txt");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& file : {fifo, std::string("/dev/zero"), m_dir.string()}) {
        EXPECT_EQ(Run("profile " + box + " --polygon " + file + outputs), 1) << file;
        EXPECT_NE(Output().find("not a regular file"), std::string::npos) << Output();
    }
    // At most 100,000 points in a file, and lines of at most 4096 characters.
    std::string many;
    for (int i = 0; i <= 100000; ++i) many += std::to_string(i % 7) + " " + std::to_string(i % 11) + "\n";
    EXPECT_EQ(Run("profile " + box + " --polygon " + Write("many.txt", many) + outputs), 1);
    EXPECT_NE(Output().find(":100001: more than 100000 points"), std::string::npos) << Output();
    EXPECT_EQ(Run("profile " + box + " --polygon " + Write("long.txt", "0 0\n1 0" + std::string(5000, ' ') + "\n0 1\n") + outputs), 1);
    EXPECT_NE(Output().find(":2: the line is longer than 4096 characters"), std::string::npos) << Output();
    EXPECT_FALSE(fs::exists(P("in.stl")));
    EXPECT_FALSE(fs::exists(P("out.stl")));
}

// Two boxes that overlap, as one mesh: closed, but crossing itself.  A cut
// through the crossing cannot be closed; the tool says where the parts are
// open and that the mesh intersects itself there, and writes nothing.  A cut
// around the crossing goes through.
TEST_F(CliProfile, CutsThroughASelfIntersectionAreRefusedWithTheReason) {
    WriteTwoBoxes("two.off");
    Write("through.txt", "2 2\n8 2\n8 8\n2 8\n");
    Write("around.txt", "3 3\n12 3\n12 12\n3 12\n");
    for (const char* command : {"profile", "polyline"}) {
        const std::string shape = std::string(command) == "profile" ? " --polygon " : " --polyline ";
        fs::remove(P("in.stl"));
        EXPECT_NE(Run(std::string(command) + " " + P("two.off") + shape + P("through.txt") + " --inside " + P("in.stl")), 0);
        EXPECT_NE(Output().find("the inside part has"), std::string::npos) << Output();
        EXPECT_NE(Output().find("the input mesh intersects itself"), std::string::npos) << Output();
        EXPECT_FALSE(fs::exists(P("in.stl")));
        EXPECT_EQ(Run(std::string(command) + " " + P("two.off") + shape + P("around.txt") + " --inside " + P("in.stl")), 0)
            << Output();
    }
}

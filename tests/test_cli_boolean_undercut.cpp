#include "CliTest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "host/MStlIO.h"

namespace {

class CliBooleanUndercut : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (IsSkipped()) return;
        // A 4 x 4 x 5 box standing 1 deep in a 10 x 10 x 5 slab.
        Save("lower.stl", {0, 0, 0}, {10000, 10000, 5000});
        Save("upper.stl", {3000, 3000, 4000}, {7000, 7000, 9000});
        Save("far.stl", {3000, 3000, 6000}, {7000, 7000, 9000});
    }
    void Save(const std::string& name, MMVector3l lo, MMVector3l hi) {
        MStlBase mesh;
        GenerateBox(mesh, lo, hi, 2);
        SaveMesh(name, mesh);
    }
};

}  // namespace

TEST_F(CliBooleanUndercut, ExtendsTheUpperPartAndCutsTheLowerPart) {
    ASSERT_EQ(Run("boolean-undercut " + P("upper.stl") + " " + P("lower.stl") + " --out-upper " + P("u.stl") +
                  " --out-lower " + P("l.obj")),
              0)
        << Output();
    EXPECT_NE(Output().find("upper: "), std::string::npos) << Output();
    const MeshReport u = ReportOf("u.stl"), l = ReportOf("l.obj");
    EXPECT_TRUE(u.closed && u.oriented);
    EXPECT_TRUE(l.closed && l.oriented);
    // The notch reaches 0.1 below the 1-deep overlap.
    EXPECT_NEAR(u.volume, 4.0 * 4.0 * 5.1, 1e-6);
    EXPECT_NEAR(l.volume, 10.0 * 10.0 * 5.0 - 4.0 * 4.0 * 1.1, 1e-6);
}

TEST_F(CliBooleanUndercut, PartsThatDoNotMeetWriteNothing) {
    EXPECT_EQ(Run("boolean-undercut " + P("far.stl") + " " + P("lower.stl") + " --out-upper " + P("u.stl") +
                  " --out-lower " + P("l.stl")),
              1);
    EXPECT_FALSE(std::filesystem::exists(P("u.stl")));
    EXPECT_FALSE(std::filesystem::exists(P("l.stl")));
}

// A clearance of 0.05 around the notch: the pocket is wider than the
// upper part's notch, the parts do not overlap.  A shrunk tool still opens
// the pocket to the top (one shell).  A bad or hopeless offset writes
// nothing.
TEST_F(CliBooleanUndercut, OffsetTools) {
    ASSERT_EQ(Run("boolean-undercut " + P("upper.stl") + " " + P("lower.stl") + " --offset 0.05 --out-upper " +
                  P("u.stl") + " --out-lower " + P("l.stl")),
              0)
        << Output();
    MeshReport u = ReportOf("u.stl"), l = ReportOf("l.stl");
    EXPECT_TRUE(u.closed && u.oriented);
    EXPECT_TRUE(l.closed && l.oriented);
    EXPECT_NEAR(u.volume, 4.0 * 4.0 * 5.1, 1e-6);
    // The pocket: the notch grown by 0.05, less its rounded edges.
    EXPECT_LT(l.volume, 10.0 * 10.0 * 5.0 - 4.0 * 4.0 * 1.1 - 4.0 * 4.0 * 0.04);
    EXPECT_GT(l.volume, 10.0 * 10.0 * 5.0 - 4.1 * 4.1 * 1.15);

    ASSERT_EQ(Run("boolean-undercut " + P("upper.stl") + " " + P("lower.stl") + " --offset -0.05 --out-upper " +
                  P("u2.stl") + " --out-lower " + P("l2.stl")),
              0)
        << Output();
    l = ReportOf("l2.stl");
    EXPECT_TRUE(l.closed && l.oriented);
    EXPECT_EQ(l.shells, 1u);
    EXPECT_NEAR(l.volume, 10.0 * 10.0 * 5.0 - 3.9 * 3.9 * 1.05, 0.02 * 3.9 * 3.9 * 1.05);

    EXPECT_EQ(Run("boolean-undercut " + P("upper.stl") + " " + P("lower.stl") + " --offset nan --out-upper " +
                  P("u3.stl") + " --out-lower " + P("l3.stl")),
              1);
    EXPECT_NE(Output().find("--offset"), std::string::npos) << Output();
    // Voxels of 0.0002 across a 4-unit notch: far beyond 2048 a side.
    EXPECT_EQ(Run("boolean-undercut " + P("upper.stl") + " " + P("lower.stl") + " --offset 0.001 --out-upper " +
                  P("u3.stl") + " --out-lower " + P("l3.stl")),
              1);
    EXPECT_NE(Output().find("too large"), std::string::npos) << Output();
    EXPECT_FALSE(std::filesystem::exists(P("u3.stl")));
    EXPECT_FALSE(std::filesystem::exists(P("l3.stl")));
}

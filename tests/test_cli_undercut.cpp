#include "CliTest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "host/MStlIO.h"

namespace fs = std::filesystem;

namespace {

class CliUndercut : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (IsSkipped()) return;
        // A 30 x 20 x 10 cap on a 10 x 10 x 20 stalk.
        MStlBase mushroom, stalk;
        GenerateBox(mushroom, {-15000, -10000, 20000}, {15000, 10000, 30000}, 2);
        GenerateBox(stalk, {-5000, -5000, 0}, {5000, 5000, 20000}, 2);
        mushroom.AddStl(stalk);
        SaveMesh("mushroom.stl", mushroom);
    }
};

}  // namespace

TEST_F(CliUndercut, FillsTheOverhangFromAbove) {
    ASSERT_EQ(Run("undercut " + P("mushroom.stl") + " --direction 0,0,-1 --cell 1 --out " + P("solid.stl")), 0)
        << Output();
    EXPECT_NE(Output().find("solid: "), std::string::npos) << Output();
    const MeshReport r = ReportOf("solid.stl");
    EXPECT_TRUE(r.closed && r.oriented);
    // The cap's footprint from its top down to one grid step below the stalk.
    EXPECT_NEAR(r.volume, 30.0 * 20.0 * 31.0, 1e-6);
    EXPECT_EQ(Run("check " + P("solid.stl")), 0) << Output();
}

TEST_F(CliUndercut, DraftWidensTheSolid) {
    ASSERT_EQ(Run("undercut " + P("mushroom.stl") + " --direction 0,0,-2 --cell 0.5 --draft 20 --out " +
                  P("solid.obj")),
              0)
        << Output();
    const MeshReport r = ReportOf("solid.obj");
    EXPECT_TRUE(r.closed && r.oriented);
    EXPECT_GT(r.volume, 30.0 * 20.0 * 31.0);
}

TEST_F(CliUndercut, BadInputFailsAndWritesNothing) {
    const std::string in = P("mushroom.stl"), out = " --out " + P("out.stl");
    const std::string empty = Write("empty.stl", "solid empty\nendsolid empty\n");
    const std::string bad[] = {
        P("missing.stl") + " --direction 0,0,-1 --cell 1" + out,
        empty + " --direction 0,0,-1 --cell 1" + out,
        in + " --direction 0,0,0 --cell 1" + out,
        in + " --direction 0,0 --cell 1" + out,
        in + " --direction 0,0,-1,1 --cell 1" + out,
        in + " --direction 0,nan,-1 --cell 1" + out,
        in + " --direction 0,0,-1 --cell 0" + out,
        in + " --direction 0,0,-1 --cell -1" + out,
        in + " --direction 0,0,-1 --cell nan" + out,
        in + " --direction 0,0,-1 --cell 0.0001" + out,
        in + " --direction 0,0,-1 --cell 0.001" + out,  // too many grid points
        in + " --direction 0,0,-1 --cell 1 --draft 90" + out,
        in + " --direction 0,0,-1 --cell 1 --draft -5" + out,
        in + " --direction 0,0,-1 --cell 1 --draft nan" + out,
        in + " --direction 0,0,-1 --cell 1",  // no --out
        in + " --cell 1" + out,              // no direction
        in + " --direction 0,0,-1 --cell 1 --out " + P("missing/out.stl"),
    };
    for (const std::string& args : bad) {
        EXPECT_EQ(Run("undercut " + args), 1) << args << "\n" << Output();
        EXPECT_FALSE(Output().empty()) << args << ": a message is expected";
        EXPECT_FALSE(Exists("out.stl")) << args;
    }
    ExpectNoTemporaryFiles();
}

TEST_F(CliUndercut, HelpDescribesTheSolid) {
    EXPECT_EQ(Run("undercut --help"), 0);
    EXPECT_NE(Output().find("--direction"), std::string::npos) << Output();
    EXPECT_NE(Output().find("--draft"), std::string::npos) << Output();
}

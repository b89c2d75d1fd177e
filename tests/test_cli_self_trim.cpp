// meshcut self-trim: two overlapping boxes in one file come out cut along
// their crossing, a mesh without crossings comes out as it went in, and bad
// input writes nothing.
#include "CliTest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestGeometry.h"
#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "host/MStlIO.h"

namespace {

class CliSelfTrim : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (IsSkipped()) return;
        MStlBase boxes, one;
        GenerateBox(boxes, {0, 0, 0}, {12000, 12000, 12000}, 3);
        GenerateBox(boxes, {5300, 2900, 6700}, {17300, 14900, 18700}, 3);
        GenerateBox(one, {0, 0, 0}, {12000, 12000, 12000}, 3);
        SaveMesh("boxes.stl", boxes);
        SaveMesh("box.stl", one);
    }
    void Read(const std::string& name, MStlBase& mesh) const {
        std::string error;
        EXPECT_TRUE(ReadMesh(P(name), mesh, error)) << error;
    }
};

TEST_F(CliSelfTrim, CutsOverlappingBoxesAlongTheirCrossing) {
    ASSERT_EQ(Run("self-trim " + P("boxes.stl") + " --out " + P("out.stl")), 0) << Output();
    EXPECT_NE(Output().find("cut "), std::string::npos) << Output();
    EXPECT_EQ(Output().find("cut 0 triangles"), std::string::npos) << Output();
    MStlBase input, output;
    Read("boxes.stl", input);
    Read("out.stl", output);
    EXPECT_GT(exact::CrossingPairs(input), 0u);
    EXPECT_EQ(exact::CrossingPairs(output), 0u);
    const MeshReport before = CheckMesh(input), after = CheckMesh(output);
    EXPECT_GT(after.triangles, before.triangles);
    EXPECT_EQ(after.boundaryEdges, 0u);
    EXPECT_NEAR(after.area, before.area, 1e-9 * before.area);
    EXPECT_NEAR(after.volume, before.volume, 1e-9 * before.volume);

    // Without crossings nothing changes.
    ASSERT_EQ(Run("self-trim " + P("box.stl") + " --out " + P("same.stl") + " --ascii"), 0) << Output();
    EXPECT_NE(Output().find("cut 0 triangles into 0 pieces"), std::string::npos) << Output();
    MStlBase same, box;
    Read("same.stl", same);
    Read("box.stl", box);
    EXPECT_EQ(same.GetNumberOfTriangles(), box.GetNumberOfTriangles());
}

TEST_F(CliSelfTrim, BadInputFailsAndWritesNothing) {
    const std::string empty = Write("empty.stl", "solid empty\nendsolid empty\n");
    const std::string garbage = Write("garbage.stl", "solid x\nfacet normal 0 0 1\nouter loop\nvertex 1 2\n");
    const std::string nan = Write("nan.stl", "solid x\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex nan 0 0\n"
                                             "vertex 0 1 0\nendloop\nendfacet\nendsolid x\n");
    const std::string out = " --out " + P("out.stl");
    const std::string bad[] = {
        P("missing.stl") + out,
        empty + out,
        garbage + out,
        nan + out,
        P("boxes.stl"),                                          // no --out
        P("boxes.stl") + " --out " + P("missing/out.stl"),      // cannot be written
        P("boxes.stl") + out + " --keep inside",                // no such option
    };
    for (const std::string& args : bad) {
        EXPECT_EQ(Run("self-trim " + args), 1) << args << "\n" << Output();
        EXPECT_FALSE(Output().empty()) << args;
        EXPECT_FALSE(Exists("out.stl")) << args;
    }
    ExpectNoTemporaryFiles();
    EXPECT_EQ(Run("self-trim --help"), 0);
    EXPECT_NE(Output().find("meet along shared points and edges"), std::string::npos) << Output();
}

}  // namespace

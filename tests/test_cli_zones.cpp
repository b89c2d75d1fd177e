// The zones and extrude subcommands of the command-line tool.
#include "CliTest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "host/MStlGenerate.h"

namespace {

class CliZones : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (IsSkipped()) return;
        // Two spheres crossing the planes z = 0 and z = 20, a box between
        // them and one below both.
        MStlBase parts;
        GenerateSphere(parts, 5000.0, 400, {0.0, 0.0, 500.0});
        GenerateSphere(parts, 5000.0, 400, {30000.0, 0.0, 20500.0});
        GenerateBox(parts, {60000, 0, 8000}, {62000, 2000, 10000});
        GenerateBox(parts, {60000, 0, -10000}, {62000, 2000, -8000});
        SaveMesh("parts.stl", parts);
        SaveMesh("low.stl", Sheet(0));
        SaveMesh("high.stl", Sheet(20000));
        MStlBase disc;
        MStlPoint* centre = disc.AddPoint(0, 0, 0);
        for (int k = 0; k < 24; ++k) {
            const double a = 2.0 * M_PI * k / 24, b = 2.0 * M_PI * (k + 1) / 24;
            disc.AddTriangle(centre, disc.AddPoint(MMVector3d(std::round(10000 * std::cos(a)), std::round(10000 * std::sin(a)), 0)),
                             disc.AddPoint(MMVector3d(std::round(10000 * std::cos(b)), std::round(10000 * std::sin(b)), 0)));
        }
        m_discArea = disc.Area() * 1e-6;
        SaveMesh("disc.stl", disc);
    }
    static MStlBase& Sheet(int z) {
        static MStlBase sheet;
        sheet.ClearStl();
        MStlPoint* p[4] = {sheet.AddPoint(-100000, -100000, z), sheet.AddPoint(100000, -100000, z),
                           sheet.AddPoint(100000, 100000, z), sheet.AddPoint(-100000, 100000, z)};
        sheet.AddTriangle(p[0], p[1], p[2]);
        sheet.AddTriangle(p[0], p[2], p[3]);
        return sheet;
    }
    double m_discArea = 0.0;
};

}  // namespace

TEST_F(CliZones, SplitsShellsIntoOneFilePerZone) {
    ASSERT_EQ(Run("zones " + P("parts.stl") + " --zone " + P("low.stl") + " --zone " + P("high.stl") + " --out-prefix " +
                  P("part_")),
              0)
        << Output();
    const MeshReport low = ReportOf("part_1.stl"), high = ReportOf("part_2.stl"), rest = ReportOf("part_rest.stl");
    const MeshReport input = ReportOf("parts.stl");
    EXPECT_NEAR(low.area + high.area + rest.area, input.area, 1e-6 * input.area);
    // Zone 1: the first sphere's upper cap, the second's lower part and the
    // box between; zone 2: the second sphere's top; the rest: the first
    // sphere's lower cap and the box below.
    EXPECT_EQ(low.shells, 3u);
    EXPECT_EQ(high.shells, 1u);
    EXPECT_EQ(rest.shells, 2u);
    EXPECT_EQ(low.nonManifoldEdges + high.nonManifoldEdges + rest.nonManifoldEdges, 0u);
    EXPECT_NE(Output().find("zone 2: "), std::string::npos) << Output();

    // A zone that claims nothing is not written; the rest still is.
    ASSERT_EQ(Run("zones " + P("parts.stl") + " --zone " + P("high.stl") + " --out-prefix " + P("only_")), 0) << Output();
    EXPECT_TRUE(Exists("only_1.stl"));
    EXPECT_TRUE(Exists("only_rest.stl"));
}

TEST_F(CliZones, BadZoneInputWritesNothing) {
    Write("junk.stl", "solid nothing\nendsolid nothing\n");
    EXPECT_EQ(Run("zones " + P("parts.stl") + " --zone " + P("junk.stl") + " --out-prefix " + P("x_")), 1);
    EXPECT_EQ(Run("zones " + P("parts.stl") + " --zone " + P("missing.stl") + " --out-prefix " + P("x_")), 1);
    EXPECT_EQ(Run("zones " + P("missing.stl") + " --zone " + P("low.stl") + " --out-prefix " + P("x_")), 1);
    EXPECT_EQ(Run("zones " + P("parts.stl") + " --out-prefix " + P("x_")), 1) << "no zone";
    EXPECT_EQ(Run("zones " + P("parts.stl") + " --zone " + P("low.stl") + " --out-prefix " + P("nodir/x_")), 1);
    // A closed zone holding the whole mesh leaves nothing.
    MStlBase big;
    GenerateBox(big, {-200000, -200000, -200000}, {200000, 200000, 200000});
    SaveMesh("big.stl", big);
    EXPECT_EQ(Run("zones " + P("parts.stl") + " --zone " + P("big.stl") + " --out-prefix " + P("x_")), 1);
    EXPECT_NE(Output().find("nothing written"), std::string::npos) << Output();
    for (const auto& entry : std::filesystem::directory_iterator(m_dir))
        EXPECT_EQ(entry.path().filename().string().rfind("x_", 0), std::string::npos) << entry.path();
}

TEST_F(CliZones, ExtrudesADiscIntoAClosedShell) {
    ASSERT_EQ(Run("extrude " + P("disc.stl") + " --thickness 1.5 --out " + P("shell.stl")), 0) << Output();
    const MeshReport r = ReportOf("shell.stl");
    EXPECT_TRUE(r.closed && r.oriented);
    EXPECT_EQ(r.triangles, 4u * 24u);
    EXPECT_NEAR(r.volume, m_discArea * 1.5, 1e-9);

    for (const char* bad : {"0", "-1", "nan", "0.001"})
        EXPECT_EQ(Run("extrude " + P("disc.stl") + " --thickness " + bad + " --out " + P("bad.stl")), 1) << bad;
    EXPECT_EQ(Run("extrude " + P("missing.stl") + " --thickness 1 --out " + P("bad.stl")), 1);
    EXPECT_EQ(Run("extrude " + P("disc.stl") + " --thickness 5000000 --out " + P("bad.stl")), 1) << "off the grid";
    MStlBase needle;
    needle.AddTriangle(needle.AddPoint(0, 0, 0), needle.AddPoint(1000, 0, 0), needle.AddPoint(2000, 0, 0));
    SaveMesh("needle.stl", needle);
    EXPECT_EQ(Run("extrude " + P("needle.stl") + " --thickness 1 --out " + P("bad.stl")), 1) << "no area";
    EXPECT_FALSE(Exists("bad.stl"));
}

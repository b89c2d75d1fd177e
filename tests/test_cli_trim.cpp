#include "CliTest.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "host/MStlIO.h"

namespace fs = std::filesystem;

namespace {

constexpr double kRadius = 50.0;
constexpr double kPlaneX = 10.123;  // the box's face that crosses the sphere

class CliTrim : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(Run("generate sphere " + P("sphere.stl") + " --triangles 20000 --size 50"), 0) << Output();
        // A box reaching past the sphere everywhere but on the side x < 10.123.
        const double u = QelSDK::Common::MInternalUnits::Get();
        MStlBase box;
        GenerateBox(box, {long(kPlaneX * u), -60500, -61700}, {90000, 70300, 65900}, 3);
        SaveMesh("box.stl", box);
    }
    // Area of a mesh file in square model units.
    double Area(const std::string& name) const { return ReportOf(name).area; }
};

struct Polyline {
    bool closed = false;
    std::vector<std::array<double, 3>> points;
};

// Reads a border file; false on a line that fits the format nowhere.
bool ReadBorderFile(const std::string& path, std::vector<Polyline>& polylines) {
    std::ifstream in(path);
    std::string line;
    bool expectHeader = true;
    while (std::getline(in, line)) {
        if (line.empty()) {
            expectHeader = true;
            continue;
        }
        if (expectHeader) {
            if (line != "closed" && line != "open") return false;
            polylines.push_back({line == "closed", {}});
            expectHeader = false;
            continue;
        }
        std::istringstream fields(line);
        std::array<double, 3> p{};
        std::string rest;
        if (!(fields >> p[0] >> p[1] >> p[2]) || (fields >> rest)) return false;
        polylines.back().points.push_back(p);
    }
    return !polylines.empty();
}

}  // namespace

TEST_F(CliTrim, BadInputFailsAndWritesNothing) {
    const std::string sphere = P("sphere.stl"), box = P("box.stl"), out = " --out " + P("out.stl");
    const std::string empty = Write("empty.stl", "solid empty\nendsolid empty\n");
    const std::string bad[] = {
        P("missing.stl") + " " + box + out,
        sphere + " " + P("missing.stl") + out,
        empty + " " + box + out,
        sphere + " " + empty + out,
        sphere + " " + box + out + " --border " + P("out.stl"),
        sphere + " " + box + out + " --border " + P("./out.stl"),
        sphere + " " + box + out + " --keep both",
        sphere + " " + box + out + " --border " + P("missing/border.txt"),  // cannot be written
        sphere + " " + box,  // no --out
        sphere + out,        // no B
    };
    for (const std::string& args : bad) {
        EXPECT_EQ(Run("trim " + args), 1) << args << "\n" << Output();
        EXPECT_FALSE(Output().empty()) << args << ": a message is expected";
        EXPECT_FALSE(Exists("out.stl")) << args;
    }
    ExpectNoTemporaryFiles();
    // A box that misses the sphere keeps nothing of it.
    MStlBase far;
    GenerateBox(far, {200000, 200000, 200000}, {300000, 300000, 300000});
    SaveMesh("far.stl", far);
    EXPECT_EQ(Run("trim " + sphere + " " + P("far.stl") + out + " --border " + P("b.txt")), 1) << Output();
    EXPECT_FALSE(Exists("out.stl"));
    EXPECT_FALSE(Exists("b.txt"));
    ExpectNoTemporaryFiles();
}

TEST_F(CliTrim, HelpDescribesTheBorderFile) {
    EXPECT_EQ(Run("trim --help"), 0);
    EXPECT_NE(Output().find("--keep"), std::string::npos) << Output();
    EXPECT_NE(Output().find("\"closed\" or \"open\""), std::string::npos) << Output();
}

TEST_F(CliTrim, KeepsTheCapInsideOrOutsideTheBox) {
    const std::string args = "trim " + P("sphere.stl") + " " + P("box.stl");
    ASSERT_EQ(Run(args + " --out " + P("inside.stl")), 0) << Output();
    ASSERT_EQ(Run(args + " --keep outside --out " + P("outside.stl")), 0) << Output();
    const double whole = Area("sphere.stl"), inside = Area("inside.stl"), outside = Area("outside.stl");
    EXPECT_LT(inside, whole);
    EXPECT_LT(outside, whole);
    // The sphere cap beyond x = 10.123 has the area 2 pi R h of its height h.
    const double cap = 2.0 * std::numbers::pi * kRadius * (kRadius - kPlaneX);
    EXPECT_NEAR(inside / whole, cap / (4.0 * std::numbers::pi * kRadius * kRadius), 1e-2);
    EXPECT_NEAR(inside + outside, whole, 1e-6 * whole) << "the two parts share the cut";
    EXPECT_EQ(Run("check " + P("inside.stl")), 2) << "the kept part is an open surface\n" << Output();
}

TEST_F(CliTrim, WritesTheCutPolylines) {
    ASSERT_EQ(Run("trim " + P("sphere.stl") + " " + P("box.stl") + " --out " + P("cap.stl") + " --border " +
                  P("border.txt")),
              0)
        << Output();
    EXPECT_NE(Output().find("border: 1 polylines, 1 closed"), std::string::npos) << Output();
    EXPECT_TRUE(Exists("cap.stl"));
    ExpectNoTemporaryFiles();
    std::vector<Polyline> polylines;
    ASSERT_TRUE(ReadBorderFile(P("border.txt"), polylines));
    ASSERT_EQ(polylines.size(), 1u);
    EXPECT_TRUE(polylines[0].closed);
    EXPECT_GT(polylines[0].points.size(), 50u);
    // Every point lies on the circle where the plane x = 10.123 meets the sphere.
    const double circle = std::sqrt(kRadius * kRadius - kPlaneX * kPlaneX);
    for (const auto& p : polylines[0].points) {
        EXPECT_NEAR(p[0], kPlaneX, 2e-3);
        EXPECT_NEAR(std::hypot(p[1], p[2]), circle, 0.05);
    }
}

#include "CliTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>

#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MStlIO.h"

namespace fs = std::filesystem;

namespace {

const char* const kSquare = "# a square of side 40\n-20 -20\n20 -20\n20 20  # corner\n-20 20\n";
constexpr double kHalfSide = 20.0;

class CliPolyline : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(Run("generate sphere " + P("s.stl") + " --triangles 5000"), 0) << Output();
        Write("square.txt", kSquare);
        m_sphere = Volume("s.stl");
    }
    bool Load(const std::string& name, MStlBase& mesh) const {
        std::string error;
        const bool ok = ReadMesh(P(name), mesh, error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    // Volume of a mesh file in cubic model units.
    double Volume(const std::string& name) const {
        MStlBase mesh;
        if (!Load(name, mesh)) return std::nan("");
        const double u = QelSDK::Common::MInternalUnits::Get();
        return mesh.Volume() / (u * u * u);
    }
    // Cuts the sphere by the square into in.stl and out.stl and checks that
    // both are closed.
    void Cut(const std::string& args) {
        fs::remove(P("in.stl"));
        fs::remove(P("out.stl"));
        ASSERT_EQ(Run("polyline " + P("s.stl") + " --polyline " + P("square.txt") + " " + args + " --inside " +
                      P("in.stl") + " --outside " + P("out.stl")),
                  0)
            << args << "\n" << Output();
        EXPECT_NE(Output().find("inside:"), std::string::npos) << Output();
        EXPECT_NE(Output().find("outside:"), std::string::npos) << Output();
        EXPECT_EQ(Run("check " + P("in.stl")), 0) << args << "\n" << Output();
        EXPECT_EQ(Run("check " + P("out.stl")), 0) << args << "\n" << Output();
    }
    // Calls f(x, y, z) in model units for every point of a mesh file.
    template <class F>
    void ForEachPoint(const std::string& name, F f) const {
        MStlBase mesh;
        if (!Load(name, mesh)) return;
        const double u = QelSDK::Common::MInternalUnits::Get();
        for (auto it = mesh.BeginPoint(); it != mesh.EndPoint(); ++it)
            f(it->GetX() / u, it->GetY() / u, it->GetZ() / u);
    }
    // Distance in X-Y from the square to a point outside it; 0 within it.
    static double DistanceFromSquare(double x, double y) {
        return std::hypot(std::max(std::abs(x) - kHalfSide, 0.0), std::max(std::abs(y) - kHalfSide, 0.0));
    }

    double m_sphere = 0.0;
};

}  // namespace

TEST_F(CliPolyline, BadInputFailsAndWritesNothing) {
    const std::string sphere = P("s.stl"), square = P("square.txt");
    const std::string outputs = " --inside " + P("in.stl") + " --outside " + P("out.stl");
    const std::string two = Write("two.txt", std::string(kSquare) + "\n30 0\n40 0\n35 8\n");
    const std::string line = Write("line.txt", "0 0\n10 0\n");
    const std::string infinite = Write("inf.txt", "-inf -inf\n10 -inf\n10 inf\n");
    const std::string badArguments[] = {
        "--polyline " + P("missing.txt"),
        "--polyline " + line,
        "--polyline " + two,
        "--polyline " + infinite,
        "--polyline " + square + " --clearance-inside -1",
        "--polyline " + square + " --clearance-outside -0.5",
        "--polyline " + square + " --clearance-inside 1e12",
        "--polyline " + square + " --depth 1e12",
        "",                                          // no polyline
    };
    for (const std::string& args : badArguments) {
        EXPECT_EQ(Run("polyline " + sphere + " " + args + outputs), 1) << args;
        EXPECT_FALSE(Output().empty()) << args << ": a message is expected";
    }
    // The file errors name the file.
    for (const std::string& file : {P("missing.txt"), line, two, infinite}) {
        EXPECT_EQ(Run("polyline " + sphere + " --polyline " + file + outputs), 1);
        EXPECT_EQ(Output().rfind("meshcut: " + file + ":", 0), 0u) << Output();
    }
    EXPECT_EQ(Run("polyline " + sphere + " --polyline " + square), 1) << "no output named";
    EXPECT_NE(Output().find("--inside"), std::string::npos) << Output();
    EXPECT_EQ(Run("polyline " + sphere + " --polyline " + square + " --inside " + P("x.stl") + " --outside " +
                  P("x.stl")),
              1);
    EXPECT_EQ(Run("polyline " + P("missing.stl") + " --polyline " + square + outputs), 1);

    for (const auto& e : fs::directory_iterator(m_dir)) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name == "s.stl" || name.ends_with(".txt")) << name << " should not have been written";
    }
}

TEST_F(CliPolyline, SquareCutSplitsTheVolume) {
    Cut("");
    const double inside = Volume("in.stl"), outside = Volume("out.stl");
    EXPECT_NEAR(inside + outside, m_sphere, 1e-5 * m_sphere);
    // The sphere of radius 50 holds the column's middle but not its corners.
    EXPECT_GT(inside, 40.0 * 40.0 * 60.0);
    EXPECT_LT(inside, 40.0 * 40.0 * 100.0);
    ForEachPoint("in.stl", [](double x, double y, double) {
        EXPECT_LE(std::max(std::abs(x), std::abs(y)), kHalfSide + 1e-3);
    });

    // Only the requested part is written.
    ASSERT_EQ(Run("polyline " + P("s.stl") + " --polyline " + P("square.txt") + " --outside " + P("only.obj")), 0)
        << Output();
    EXPECT_EQ(Output().find("inside:"), std::string::npos) << Output();
    EXPECT_NEAR(Volume("only.obj"), outside, 1e-6 * m_sphere);
}

TEST_F(CliPolyline, ClearancesCutAGapBetweenTheParts) {
    Cut("");
    const double inside = Volume("in.stl"), outside = Volume("out.stl");

    // Each clearance takes material from its own part only.
    Cut("--clearance-inside 2");
    EXPECT_LT(Volume("in.stl"), inside - 1.0);
    EXPECT_NEAR(Volume("out.stl"), outside, 1e-5 * m_sphere);
    Cut("--clearance-outside 2");
    EXPECT_NEAR(Volume("in.stl"), inside, 1e-5 * m_sphere);
    EXPECT_LT(Volume("out.stl"), outside - 1.0);

    Cut("--clearance-inside 1 --clearance-outside 1.5");
    const double removed = m_sphere - Volume("in.stl") - Volume("out.stl");
    // A band of width 2.5 around the square, at most the sphere's height.
    EXPECT_GT(removed, 1.0);
    EXPECT_LT(removed, 4.0 * 2 * kHalfSide * 2.5 * 100.0);
    // The inside part keeps within the square moved inward by 1, the outside
    // part keeps 1.5 away from it.
    ForEachPoint("in.stl", [](double x, double y, double) {
        EXPECT_LE(std::max(std::abs(x), std::abs(y)), kHalfSide - 1.0 + 1e-3) << x << " " << y;
    });
    ForEachPoint("out.stl", [](double x, double y, double) {
        EXPECT_GE(DistanceFromSquare(x, y), 1.5 - 0.02) << x << " " << y;
    });
}

TEST_F(CliPolyline, DepthCutsFromTheDepthUpward) {
    Cut("--depth 10");
    EXPECT_NEAR(Volume("in.stl") + Volume("out.stl"), m_sphere, 1e-5 * m_sphere);
    double lowest = 1e30;
    ForEachPoint("in.stl", [&](double, double, double z) { lowest = std::min(lowest, z); });
    EXPECT_GE(lowest, 10.0 - 1e-3);
    EXPECT_LE(lowest, 10.0 + 1e-3) << "the inside part is closed at the depth";
}

TEST_F(CliPolyline, PolylineMissingTheMeshWritesTheSideThatExists) {
    Write("far.txt", "100 100\n120 100\n120 120\n100 120\n");
    const std::string args = "polyline " + P("s.stl") + " --polyline " + P("far.txt");
    ASSERT_EQ(Run(args + " --inside " + P("in.stl") + " --outside " + P("out.stl")), 0) << Output();
    EXPECT_NE(Output().find("inside part is empty"), std::string::npos) << Output();
    EXPECT_FALSE(fs::exists(P("in.stl")));
    EXPECT_NEAR(Volume("out.stl"), m_sphere, 1e-9 * m_sphere);

    // Asked for the empty side only: nothing to write is a failure.
    EXPECT_EQ(Run(args + " --inside " + P("in.stl")), 1) << Output();
    EXPECT_FALSE(fs::exists(P("in.stl")));
}

// The corpus sweep's own logic on a folder of generated meshes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "host/MStlBase.h"
#include "host/MStlGenerate.h"
#include "host/MStlIO.h"
#include "tools/sweep/MSweep.h"
#include "tools/sweep/MSweepChildren.h"

namespace {

namespace fs = std::filesystem;
using namespace meshcut_sweep;

// A temporary folder holding a sphere, a box and a box with a hole.
class SweepFolder : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = fs::temp_directory_path() / ("meshcut-sweep-test-" + std::to_string(getpid()));
        fs::remove_all(m_folder);
        fs::create_directories(m_folder);
        MStlBase sphere, box, open;
        GenerateSphere(sphere, 20000.0, 1500, MMVector3d(1000, -2000, 500));
        GenerateBox(box, {-12000, -5000, -8000}, {12000, 5000, 9000}, 2);
        GenerateBox(open, {0, 0, 0}, {10000, 10000, 10000}, 1);
        open.RemoveTriangle(open.GetFirstTriangle());
        Write("sphere.stl", sphere, MeshFormat::BinaryStl);
        Write("box.obj", box, MeshFormat::Obj);
        Write("open.off", open, MeshFormat::Off);
    }
    void TearDown() override { fs::remove_all(m_folder); }

    void Write(const std::string& name, const MStlBase& mesh, MeshFormat format) {
        std::string error;
        ASSERT_TRUE(WriteMesh((m_folder / name).string(), mesh, format, error)) << error;
    }

    Options Small() const {
        Options o;
        o.folder = m_folder.string();
        o.cuts = 2;
        o.seed = 7;
        o.jobs = 1;
        o.timeoutSeconds = 60.0;
        o.memoryLimitBytes = 0;  // sanitizers reserve more address space than any limit would allow
        o.operations = {"plane", "profile"};
        return o;
    }

    static std::string Describe(const Report& report) {
        std::ostringstream out;
        PrintReport(report, out);
        return out.str();
    }

    fs::path m_folder;
};

TEST_F(SweepFolder, ClosedMeshesComeOutSoundAndAnOpenOneIsSkipped) {
    Report report;
    std::string error;
    ASSERT_TRUE(meshcut_sweep::Run(Small(), report, error)) << error;
    EXPECT_EQ(report.meshes, (std::vector<std::string>{"box.obj", "sphere.stl"}));
    ASSERT_EQ(report.skipped.size(), 1u);
    EXPECT_EQ(report.skipped[0].mesh, "open.off");
    EXPECT_TRUE(report.skipped[0].why.starts_with("not closed: 3 boundary")) << report.skipped[0].why;
    ASSERT_EQ(report.cases.size(), 8u);  // 2 meshes x 2 operations x 2 cases
    for (const CaseResult& c : report.cases) EXPECT_EQ(c.verdict, Verdict::kSound) << Describe(report);
    EXPECT_TRUE(AllSoundOrRefused(report));
}

TEST_F(SweepFolder, ParametersDependOnTheSeedAloneNotOnTheJobs) {
    Options one = Small(), two = Small();
    two.jobs = 2;
    Report a, b, c;
    std::string error;
    ASSERT_TRUE(meshcut_sweep::Run(one, a, error)) << error;
    ASSERT_TRUE(meshcut_sweep::Run(two, b, error)) << error;
    ASSERT_EQ(a.cases.size(), b.cases.size());
    for (size_t i = 0; i < a.cases.size(); ++i) {
        EXPECT_EQ(a.cases[i].mesh, b.cases[i].mesh);
        EXPECT_EQ(a.cases[i].operation, b.cases[i].operation);
        EXPECT_EQ(a.cases[i].number, b.cases[i].number);
        EXPECT_EQ(a.cases[i].parameters, b.cases[i].parameters);
        EXPECT_EQ(a.cases[i].verdict, b.cases[i].verdict);
    }
    // One case alone has the parameters it has among the others.
    Options only = Small();
    only.onlyMesh = "sphere.stl";
    only.operations = {"profile"};
    only.onlyCase = 1;
    ASSERT_TRUE(meshcut_sweep::Run(only, c, error)) << error;
    ASSERT_EQ(c.cases.size(), 1u);
    const auto same = std::find_if(a.cases.begin(), a.cases.end(), [](const CaseResult& r) {
        return r.mesh == "sphere.stl" && r.operation == "profile" && r.number == 1;
    });
    ASSERT_NE(same, a.cases.end());
    EXPECT_EQ(c.cases[0].parameters, same->parameters);
    // Another seed, other parameters.
    Options other = Small();
    other.seed = 8;
    ASSERT_TRUE(meshcut_sweep::Run(other, c, error)) << error;
    EXPECT_NE(c.cases[0].parameters, a.cases[0].parameters);
}

TEST_F(SweepFolder, BadOptionsAreRefused) {
    Report report;
    std::string error;
    Options o = Small();
    o.operations = {"plane", "slice"};
    EXPECT_FALSE(meshcut_sweep::Run(o, report, error));
    EXPECT_NE(error.find("unknown operation 'slice'"), std::string::npos) << error;
    o = Small();
    o.onlyMesh = "missing.stl";
    EXPECT_FALSE(meshcut_sweep::Run(o, report, error));
    o = Small();
    o.folder = (m_folder / "sphere.stl").string();
    EXPECT_FALSE(meshcut_sweep::Run(o, report, error));
}

// A child that dies by a signal is told apart from one that answers and one
// that never ends.
TEST(SweepChildren, AnswersSignalsAndTimeOuts) {
    std::vector<ChildOutcome> outcomes(3);
    ChildLimits limits;
    limits.jobs = 3;
    limits.timeoutSeconds = 0.5;
    RunInChildren(
        3, limits,
        [](size_t i, int fd) {
            if (i == 0) WriteAll(fd, "done");
            if (i == 1) std::abort();
            if (i == 2)
                for (;;) pause();
        },
        [&](size_t i, ChildOutcome&& outcome) { outcomes[i] = std::move(outcome); });
    EXPECT_EQ(outcomes[0].answer, "done");
    EXPECT_TRUE(outcomes[0].exited);
    EXPECT_EQ(outcomes[1].signal, SIGABRT);
    EXPECT_EQ(DescribeEnd(outcomes[1]).rfind("signal 6", 0), 0u) << DescribeEnd(outcomes[1]);
    EXPECT_TRUE(outcomes[2].timedOut);
    EXPECT_TRUE(outcomes[2].answer.empty());
}

}  // namespace

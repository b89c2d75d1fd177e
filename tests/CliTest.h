// A fixture that runs the command-line tool (path in MESHCUT_CLI) in a
// temporary directory of its own.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlIO.h"

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* cli = std::getenv("MESHCUT_CLI");
        if (!cli) GTEST_SKIP() << "MESHCUT_CLI not set";
        m_cli = cli;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = std::filesystem::temp_directory_path() /
                ("meshcut_" + std::string(info->test_suite_name()) + "_" + std::to_string(::getpid()) + "_" + info->name());
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override {
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir);
    }
    // The exit code of `meshcut args`; its output goes to Output().
    int Run(const std::string& args) {
        const std::string command = m_cli + " " + args + " > " + (m_dir / "out.txt").string() + " 2>&1";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Output() const {
        std::ifstream in(m_dir / "out.txt");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string P(const std::string& name) const { return (m_dir / name).string(); }
    bool Exists(const std::string& name) const { return std::filesystem::exists(P(name)); }
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(P(name)) << text;
        return P(name);
    }
    // Writes a mesh to the file `name` in the format its extension names.
    void SaveMesh(const std::string& name, const MStlBase& mesh) const {
        std::string error;
        ASSERT_TRUE(WriteMesh(P(name), mesh, FormatFromPath(P(name), false), error)) << error;
    }
    // The checker's report of the mesh in the file `name`.
    MeshReport ReportOf(const std::string& name) const {
        MStlBase mesh;
        std::string error;
        EXPECT_TRUE(ReadMesh(P(name), mesh, error)) << error;
        return CheckMesh(mesh);
    }

    // A failed or finished run leaves no temporary file behind.
    void ExpectNoTemporaryFiles() const {
        for (const auto& e : std::filesystem::directory_iterator(m_dir)) {
            const std::string name = e.path().filename().string();
            EXPECT_EQ(name.find(".meshcut-"), std::string::npos) << name;
            EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
        }
    }

    std::string m_cli;
    std::filesystem::path m_dir;
};

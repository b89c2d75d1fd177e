// A fixture that runs the command-line tool (path in MESHCUT_CLI) in a
// temporary directory of its own.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

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
    // Two boxes 10 units wide passing through each other, the second moved by
    // 5 on every axis, as one OFF mesh: closed and oriented, but crossing
    // itself where they overlap.
    std::string WriteTwoBoxes(const std::string& name) const {
        std::string off = "OFF\n16 24 0\n";
        for (int b : {0, 5})
            for (int z : {0, 10})
                for (auto [x, y] : {std::pair{0, 0}, {10, 0}, {10, 10}, {0, 10}})
                    off += std::to_string(b + x) + " " + std::to_string(b + y) + " " + std::to_string(b + z) + "\n";
        for (int b : {0, 8})
            for (auto f : {std::array{0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4}, {1, 2, 6},
                           {1, 6, 5}, {2, 3, 7}, {2, 7, 6}, {3, 0, 4}, {3, 4, 7}})
                off += "3 " + std::to_string(b + f[0]) + " " + std::to_string(b + f[1]) + " " + std::to_string(b + f[2]) + "\n";
        return Write(name, off);
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

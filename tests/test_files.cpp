// Mesh files as a whole: every format's round trip, format detection,
// output names, float formats near the grid's limits, standard input,
// non-regular paths, progress and cancellation.  Parsing of each format and
// hostile content: test_formats.cpp.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "host/MStlIO.h"

namespace fs = std::filesystem;

namespace {

constexpr MeshFormat kAllFormats[] = {MeshFormat::BinaryStl, MeshFormat::AsciiStl,  MeshFormat::Obj,
                                      MeshFormat::Off,       MeshFormat::BinaryPly, MeshFormat::AsciiPly,
                                      MeshFormat::ThreeMf};

const char* ExtensionOf(MeshFormat f) {
    switch (f) {
        case MeshFormat::BinaryStl:
        case MeshFormat::AsciiStl: return ".stl";
        case MeshFormat::Obj: return ".obj";
        case MeshFormat::Off: return ".off";
        case MeshFormat::BinaryPly:
        case MeshFormat::AsciiPly: return ".ply";
        case MeshFormat::ThreeMf: return ".3mf";
    }
    return "";
}

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = fs::temp_directory_path() / ("meshcut_files_" + std::to_string(::getpid()) + "_" + info->name());
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    std::string P(const std::string& name) const { return (m_dir / name).string(); }
    std::string Slurp(const std::string& name) const {
        std::ifstream in(P(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void Save(const std::string& name, const std::string& bytes) const {
        std::ofstream(P(name), std::ios::binary) << bytes;
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(m_dir)) names.push_back(e.path().filename().string());
        return names;
    }
    fs::path m_dir;
};

// Triangles as their corners' coordinates, in mesh order and corner order.
std::vector<std::array<int32_t, 9>> Corners(const MStlBase& mesh) {
    std::vector<std::array<int32_t, 9>> all;
    for (const MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext()) {
        std::array<int32_t, 9> c;
        for (int k = 0; k < 3; ++k)
            for (int a = 0; a < 3; ++a) c[size_t(3 * k + a)] = t->GetPoint(k)->Get(a);
        all.push_back(c);
    }
    return all;
}

// A closed sphere off the origin, so that coordinates carry decimals.
void MakeSphere(MStlBase& mesh) {
    GenerateSphere(mesh, 25000.0, 2000);
    ASSERT_TRUE(mesh.Translate(123457, -98765, 4321));
}

// Everything a writer puts into a pipe, read on another thread: the writer
// must not seek.
std::string WriteThroughPipe(const MStlBase& mesh, MeshFormat format, std::string& error, bool& ok) {
    int fds[2];
    if (::pipe(fds) != 0) return "";
    std::string bytes;
    std::thread reader([&] {
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) bytes.append(buffer, size_t(n));
        ::close(fds[0]);
    });
    std::FILE* out = ::fdopen(fds[1], "wb");
    ok = WriteMeshToStream(out, "-", mesh, format, error);
    std::fclose(out);
    reader.join();
    return bytes;
}

class CancelAfter : public QelSDK::Common::IProgressDelegate {
public:
    explicit CancelAfter(int polls) : m_polls(polls) {}
    void OnProgress(const std::string& step, double fraction) override {
        if (steps.insert(step).second) last = 0.0;
        EXPECT_GE(fraction, last) << step;
        last = fraction;
    }
    bool IsCancelled() const override { return m_polls-- <= 0; }
    std::set<std::string> steps;
    double last = 0.0;

private:
    mutable int m_polls;
};

}  // namespace

TEST_F(Files, EveryFormatRoundTripsAClosedMeshExactly) {
    MStlBase sphere;
    MakeSphere(sphere);
    const auto corners = Corners(sphere);
    const double units = QelSDK::Common::MInternalUnits::Get();
    int32_t lowestX = INT32_MAX, highestZ = INT32_MIN;
    for (const auto& c : corners)
        for (int k = 0; k < 3; ++k) {
            lowestX = std::min(lowestX, c[size_t(3 * k)]);
            highestZ = std::max(highestZ, c[size_t(3 * k + 2)]);
        }
    for (MeshFormat format : kAllFormats) {
        SCOPED_TRACE(MeshFormatName(format));
        std::string why;
        EXPECT_TRUE(FormatHoldsMesh(format, sphere, why)) << why;

        const std::string path = P(std::string("sphere") + ExtensionOf(format));
        std::string error;
        ASSERT_TRUE(WriteMesh(path, sphere, format, error)) << error;
        bool ok = false;
        const std::string piped = WriteThroughPipe(sphere, format, error, ok);
        ASSERT_TRUE(ok) << error;

        for (bool fromPipe : {false, true}) {
            MStlBase back;
            ReadStats stats;
            if (fromPipe)
                ASSERT_TRUE(ReadMeshFromBytes(piped, "-", back, error, &stats)) << error;
            else
                ASSERT_TRUE(ReadMesh(path, back, error, &stats)) << error;
            EXPECT_EQ(stats.format, format);
            EXPECT_EQ(Corners(back), corners) << "same triangles, same order, same orientation";
            EXPECT_EQ(back.GetNumberOfPoints(), sphere.GetNumberOfPoints());
            EXPECT_EQ(stats.trianglesRead, corners.size());
            EXPECT_EQ(stats.skippedDegenerate, 0u);
            EXPECT_NEAR(stats.modelMin[0], lowestX / units, 0.5 / units);
            EXPECT_NEAR(stats.modelMax[2], highestZ / units, 0.5 / units);
            const MeshReport r = CheckMesh(back);
            EXPECT_TRUE(r.closed && r.oriented);
        }
    }
    EXPECT_EQ(Entries().size(), 7u - 2u) << "one file per extension, no temporary left";
}

TEST_F(Files, FormatComesFromTheContentBeforeTheName) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {1000, 2000, 3000}, 2);
    std::string error;
    for (MeshFormat format : kAllFormats) {
        SCOPED_TRACE(MeshFormatName(format));
        ASSERT_TRUE(WriteMesh(P("box.bin"), box, format, error)) << error;
        // Under a misleading name, and under no name at all.
        for (const char* name : {"box.stl", "box.obj", "box.txt"}) {
            if (format == MeshFormat::Obj && std::string(name) != "box.obj" && std::string(name) != "box.txt")
                continue;  // OBJ has no signature: its name or its "v" lines tell
            fs::copy_file(P("box.bin"), P(name), fs::copy_options::overwrite_existing);
            MStlBase back;
            ReadStats stats;
            ASSERT_TRUE(ReadMesh(P(name), back, error, &stats)) << name << ": " << error;
            EXPECT_EQ(stats.format, format) << name;
            EXPECT_EQ(Corners(back), Corners(box)) << name;
        }
    }
    // A binary STL whose header starts with "solid", as many writers make them.
    ASSERT_TRUE(WriteMesh(P("solid.stl"), box, MeshFormat::BinaryStl, error));
    std::string bytes = Slurp("solid.stl");
    bytes.replace(0, 6, "solid ");
    MStlBase back;
    ReadStats stats;
    ASSERT_TRUE(ReadMeshFromBytes(bytes, "solid.stl", back, error, &stats)) << error;
    EXPECT_EQ(stats.format, MeshFormat::BinaryStl);
    EXPECT_EQ(back.GetNumberOfTriangles(), box.GetNumberOfTriangles());

    EXPECT_FALSE(ReadMeshFromBytes(std::string("\x01\x02 neither", 10), "data.bin", back, error));
    EXPECT_NE(error.find("'data.bin'"), std::string::npos) << error;
    EXPECT_NE(error.find("unknown mesh format"), std::string::npos) << error;
}

TEST_F(Files, OutputNamesGiveTheFormat) {
    struct Case {
        const char* path;
        bool ascii;
        MeshFormat format;
    };
    const Case cases[] = {{"a.stl", false, MeshFormat::BinaryStl}, {"a.STL", true, MeshFormat::AsciiStl},
                          {"a.Obj", false, MeshFormat::Obj},       {"dir.x/a.off", false, MeshFormat::Off},
                          {"a.ply", false, MeshFormat::BinaryPly}, {"a.PLY", true, MeshFormat::AsciiPly},
                          {"a.3MF", false, MeshFormat::ThreeMf},   {"-", false, MeshFormat::BinaryStl},
                          {"-", true, MeshFormat::AsciiStl}};
    for (const Case& c : cases) {
        MeshFormat format = MeshFormat::Obj;
        std::string error;
        EXPECT_TRUE(OutputFormatFromPath(c.path, c.ascii, format, error)) << c.path;
        EXPECT_EQ(format, c.format) << c.path;
        EXPECT_EQ(FormatFromPath(c.path, c.ascii), c.format) << c.path;
    }
    for (const char* path : {"a.stla", "a", "a.gltf", "stl"}) {
        MeshFormat format;
        std::string error;
        EXPECT_FALSE(OutputFormatFromPath(path, false, format, error)) << path;
        EXPECT_NE(error.find(".stl, .obj, .off, .ply and .3mf"), std::string::npos) << error;
    }
}

// Binary STL and 3MF hold floats.  A cut near the range limit must still
// read back, and FormatHoldsMesh must say which points move.
TEST_F(Files, FloatFormatsSayWhenTheyCannotHoldTheMesh) {
    ASSERT_EQ(QelSDK::Common::MInternalUnits::Get(), 1000.0) << "the cases below are chosen for this grid";
    MStlBase far;
    MStlPoint* a = far.AddPoint(2147483647, 0, 0);
    MStlPoint* b = far.AddPoint(2147483000, 1000, 0);
    MStlPoint* c = far.AddPoint(2147483000, 0, 1000);
    MStlPoint* d = far.AddPoint(-2147483648, -2147483648, -2147483648);
    ASSERT_TRUE(far.AddTriangle(a, b, c) && far.AddTriangle(d, c, b));
    for (MeshFormat format : kAllFormats) {
        SCOPED_TRACE(MeshFormatName(format));
        std::string why, error;
        const bool holds = FormatHoldsMesh(format, far, why);
        const bool floats = format == MeshFormat::BinaryStl || format == MeshFormat::ThreeMf;
        EXPECT_EQ(holds, !floats) << why;
        if (floats) {
            EXPECT_NE(why.find("(2147483.647, 0, 0)"), std::string::npos) << why;
        }
        const std::string path = P(std::string("far") + ExtensionOf(format));
        ASSERT_TRUE(WriteMesh(path, far, format, error)) << error;
        MStlBase back;
        ASSERT_TRUE(ReadMesh(path, back, error)) << "a written file always reads back: " << error;
        EXPECT_EQ(back.GetNumberOfTriangles(), 2u);
        if (!floats) {
            EXPECT_EQ(Corners(back), Corners(far));
        }
    }
    // Neighbouring steps a thousand units out: a float cannot tell them apart.
    MStlBase fine;
    GenerateBox(fine, {1000000000, 0, 0}, {1000000001, 1, 1});
    std::string why;
    EXPECT_FALSE(FormatHoldsMesh(MeshFormat::BinaryStl, fine, why));
    EXPECT_NE(why.find(": 4 of 8 points would move"), std::string::npos) << why;
    EXPECT_TRUE(FormatHoldsMesh(MeshFormat::BinaryPly, fine, why));
}

TEST_F(Files, OnlyRegularFilesAndStandardInputAreRead) {
    MStlBase mesh;
    std::string error;
    EXPECT_FALSE(ReadMesh(P("missing.stl"), mesh, error));
    EXPECT_NE(error.find("missing.stl': no such file"), std::string::npos) << error;
    EXPECT_FALSE(ReadMesh(m_dir.string(), mesh, error));
    EXPECT_NE(error.find("directory"), std::string::npos) << error;
    EXPECT_FALSE(ReadMesh("/dev/zero", mesh, error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    ASSERT_EQ(::mkfifo(P("fifo.stl").c_str(), 0600), 0);
    EXPECT_FALSE(ReadMesh(P("fifo.stl"), mesh, error)) << "refused at once, without waiting for a writer";
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    // A name that is not UTF-8 still reads, and names the mesh.
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {1000, 1000, 1000});
    ASSERT_TRUE(WriteMesh(P("box\xff.off"), box, MeshFormat::Off, error)) << error;
    ASSERT_TRUE(ReadMesh(P("box\xff.off"), mesh, error)) << error;
    EXPECT_EQ(mesh.GetName().size(), 4u);
    Save("empty.stl", "");
    EXPECT_FALSE(ReadMesh(P("empty.stl"), mesh, error));
    EXPECT_NE(error.find("empty.stl' is empty"), std::string::npos) << error;

    // Standard input, detected by content.
    ASSERT_TRUE(WriteMesh(P("box.off"), box, MeshFormat::Off, error));
    const int saved = ::dup(STDIN_FILENO);
    const int file = ::open(P("box.off").c_str(), O_RDONLY);
    ASSERT_GE(file, 0);
    ::dup2(file, STDIN_FILENO);
    ReadStats stats;
    const bool read = ReadMesh("-", mesh, error, &stats);
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
    ::close(file);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(stats.format, MeshFormat::Off);
    EXPECT_EQ(Corners(mesh), Corners(box));
    EXPECT_TRUE(mesh.GetName() == L"stdin");
}

TEST_F(Files, ProgressIsReportedAndCancellingLeavesNothing) {
    MStlBase sphere;
    MakeSphere(sphere);
    for (MeshFormat format : kAllFormats) {
        SCOPED_TRACE(MeshFormatName(format));
        const std::string path = P(std::string("s") + ExtensionOf(format));
        std::string error;
        auto watch = std::make_shared<CancelAfter>(1 << 30);
        ASSERT_TRUE(WriteMesh(path, sphere, format, error, watch)) << error;
        MStlBase back;
        ASSERT_TRUE(ReadMesh(path, back, error, nullptr, watch)) << error;
        EXPECT_EQ(watch->steps, (std::set<std::string>{"writing", "reading"}));
        fs::remove(path);

        auto cancel = std::make_shared<CancelAfter>(0);
        EXPECT_FALSE(WriteMesh(path, sphere, format, error, cancel));
        EXPECT_EQ(error, "cancelled");
        EXPECT_TRUE(Entries().empty()) << "no file and no temporary";
        ASSERT_TRUE(WriteMesh(path, sphere, format, error));
        EXPECT_FALSE(ReadMesh(path, back, error, nullptr, cancel));
        EXPECT_EQ(error, "cancelled");
        EXPECT_EQ(back.GetNumberOfTriangles(), 0u);
        fs::remove(path);
    }
    // A target that cannot be written leaves nothing behind.
    std::string error;
    EXPECT_FALSE(WriteMesh(P("no_such_dir/x.stl"), sphere, MeshFormat::BinaryStl, error));
    EXPECT_TRUE(Entries().empty());
}

TEST(Checker, CountsEdgesShellsAndVolume) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {2000, 3000, 4000}, 1);
    MeshReport r = CheckMesh(box);
    EXPECT_EQ(r.triangles, 12u);
    EXPECT_EQ(r.points, 8u);
    EXPECT_TRUE(r.closed && r.oriented);
    EXPECT_EQ(r.shells, 1u);
    EXPECT_DOUBLE_EQ(r.volume, 24.0);
    EXPECT_DOUBLE_EQ(r.area, 2 * (6.0 + 8.0 + 12.0));

    MStlBase fine;
    GenerateBox(fine, {0, 0, 0}, {3000, 3000, 3000}, 3);
    EXPECT_EQ(fine.GetNumberOfTriangles(), 108u);
    GenerateBox(fine, {10000, 0, 0}, {11000, 1000, 1000}, 1);
    r = CheckMesh(fine);
    EXPECT_EQ(r.shells, 2u);
    EXPECT_TRUE(r.closed);

    // One triangle removed: three boundary edges; one flipped: three
    // inconsistent edges.
    MStlBase open;
    GenerateBox(open, {0, 0, 0}, {1000, 1000, 1000}, 1);
    open.RemoveTriangle(open.GetFirstTriangle());
    r = CheckMesh(open);
    EXPECT_EQ(r.boundaryEdges, 3u);
    EXPECT_FALSE(r.closed);
    MStlBase flipped;
    GenerateBox(flipped, {0, 0, 0}, {1000, 1000, 1000}, 1);
    flipped.GetFirstTriangle()->Invert();
    r = CheckMesh(flipped);
    EXPECT_EQ(r.inconsistentEdges, 3u);
    EXPECT_FALSE(r.oriented);
    EXPECT_TRUE(r.closed);

    MStlBase sphere, torus;
    GenerateSphere(sphere, 100000.0, 50000);
    GenerateTorus(torus, 100000.0, 30000.0, 50000);
    for (const MStlBase* m : {&sphere, &torus}) {
        r = CheckMesh(*m);
        EXPECT_TRUE(r.closed && r.oriented);
        EXPECT_EQ(r.shells, 1u);
        EXPECT_EQ(r.degenerateTriangles, 0u);
    }
    EXPECT_NEAR(CheckMesh(sphere).volume, 4.0 / 3.0 * M_PI * 1e6, 0.002 * 4.0 / 3.0 * M_PI * 1e6);
    EXPECT_NEAR(CheckMesh(torus).volume, 2 * M_PI * M_PI * 100.0 * 900.0, 0.002 * 2 * M_PI * M_PI * 100.0 * 900.0);
    EXPECT_NEAR(double(sphere.GetNumberOfTriangles()), 50000.0, 2500.0);
}

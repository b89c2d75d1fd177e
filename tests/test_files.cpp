#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "host/MStlIO.h"

namespace fs = std::filesystem;

namespace {

fs::path Scratch(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("meshcut_files_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir / name;
}

void WriteText(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

}  // namespace

TEST(Files, RoundTripsKeepTheMesh) {
    MStlBase sphere;
    GenerateSphere(sphere, 25000.0, 4000);
    const double volume = sphere.Volume();
    for (const char* name : {"s.stl", "s_ascii.stl", "s.obj", "S.OBJ"}) {
        const fs::path p = Scratch(name);
        const bool ascii = std::string(name).find("ascii") != std::string::npos;
        std::string error;
        ASSERT_TRUE(WriteMesh(p.string(), sphere, FormatFromPath(p.string(), ascii), error)) << error;
        MStlBase back;
        ReadStats stats;
        ASSERT_TRUE(ReadMesh(p.string(), back, error, &stats)) << name << ": " << error;
        EXPECT_EQ(back.GetNumberOfTriangles(), sphere.GetNumberOfTriangles()) << name;
        EXPECT_EQ(back.GetNumberOfPoints(), sphere.GetNumberOfPoints()) << name << ": points merged again";
        EXPECT_EQ(back.Volume(), volume) << name << ": coordinates survive exactly at this size";
        EXPECT_EQ(stats.skippedDegenerate, 0u);
        const MeshReport r = CheckMesh(back);
        EXPECT_TRUE(r.closed && r.oriented) << name;
    }
    // An ASCII STL is recognised by its content whatever its name says.
    const fs::path ascii = Scratch("s_ascii.stl");
    const fs::path renamed = Scratch("renamed.bin");
    fs::copy_file(ascii, renamed, fs::copy_options::overwrite_existing);
    MStlBase again;
    std::string error;
    ASSERT_TRUE(ReadMesh(renamed.string(), again, error)) << error;
    EXPECT_EQ(again.GetNumberOfTriangles(), sphere.GetNumberOfTriangles());
    fs::remove_all(Scratch("").parent_path());
}

TEST(Files, BadFilesAreRefusedWithAMessage) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {1000, 1000, 1000}, 1);
    std::string error;
    const fs::path good = Scratch("box.stl");
    ASSERT_TRUE(WriteMesh(good.string(), box, MeshFormat::BinaryStl, error));
    std::ifstream in(good, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});

    struct Case {
        const char* name;
        std::string content;
    };
    const Case cases[] = {
        {"empty.stl", ""},
        {"truncated.stl", bytes.substr(0, bytes.size() - 7)},
        {"header_only.stl", bytes.substr(0, 84)},
        {"nan.stl", "solid a\nfacet normal 0 0 1\nouter loop\nvertex 0 0 nan\nvertex 1 0 0\nvertex 0 1 0\n"
                    "endloop\nendfacet\nendsolid a\n"},
        {"far.stl", "solid a\nfacet normal 0 0 1\nouter loop\nvertex 0 0 1e12\nvertex 1 0 0\nvertex 0 1 0\n"
                    "endloop\nendfacet\nendsolid a\n"},
        {"garbage.stl", "solid a\nfacet normal 0 0 1\nouter loop\nvertex 0 zero 0\n"},
        {"index.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 4\n"},
        {"zero.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 0 1 2\n"},
        {"word.obj", "v 0 0 x\n"},
    };
    for (const Case& c : cases) {
        const fs::path p = Scratch(c.name);
        WriteText(p, c.content);
        MStlBase mesh;
        error.clear();
        EXPECT_FALSE(ReadMesh(p.string(), mesh, error)) << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
        EXPECT_EQ(mesh.GetNumberOfTriangles(), 0u) << c.name << ": the mesh stays empty";
    }
    MStlBase mesh;
    EXPECT_FALSE(ReadMesh(Scratch("missing.stl").string(), mesh, error));
    EXPECT_NE(error.find("missing.stl"), std::string::npos) << error;

    // Polygons are fanned, negative indices count back, degenerate faces are
    // left out and counted.
    const fs::path poly = Scratch("poly.obj");
    WriteText(poly, "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1/1 2/2/2 3//3 4\nf -4 -3 -3\n");
    ReadStats stats;
    ASSERT_TRUE(ReadMesh(poly.string(), mesh, error, &stats)) << error;
    EXPECT_EQ(mesh.GetNumberOfTriangles(), 2u);
    EXPECT_EQ(stats.skippedDegenerate, 1u);

    // A target that cannot be written leaves nothing behind.
    EXPECT_FALSE(WriteMesh((Scratch("no_such_dir") / "x.stl").string(), box, MeshFormat::BinaryStl, error));
    EXPECT_FALSE(fs::exists(Scratch("no_such_dir")));
    for (const auto& e : fs::directory_iterator(Scratch("").parent_path()))
        EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();
    fs::remove_all(Scratch("").parent_path());
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

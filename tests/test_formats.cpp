// Parsing of each mesh format: variants, files of independent writers (CGAL
// for OFF and PLY, lib3mf for 3MF), and hostile content generated here:
// truncations, huge counts, bad indices, NaN and out-of-range coordinates,
// fans and faces beyond the limits.
#include <gtest/gtest.h>

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/IO/OFF.h>
#include <CGAL/IO/PLY.h>
#include <Model/COM/NMR_DLLInterfaces.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>

#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "host/MStlIO.h"

// lib3mf 1.8.1 leaks a libzip allocation (80 bytes) for every package that
// does not open; that leak is the library's, not the readers'.
extern "C" const char* __lsan_default_suppressions() { return "leak:libzip.so\n"; }

namespace {

std::string Written(const MStlBase& mesh, MeshFormat format) {
    char* data = nullptr;
    size_t size = 0;
    std::FILE* out = ::open_memstream(&data, &size);
    std::string error;
    EXPECT_TRUE(WriteMeshToStream(out, "memory", mesh, format, error)) << error;
    std::fclose(out);
    std::string bytes(data, size);
    std::free(data);
    return bytes;
}

// A file that must be refused: false, a message naming the file (and
// `expected`, if given), and an empty mesh.
::testing::AssertionResult Refused(const std::string& bytes, const std::string& name,
                                   const std::string& expected = "") {
    MStlBase mesh;
    std::string error;
    if (ReadMeshFromBytes(bytes, name, mesh, error))
        return ::testing::AssertionFailure() << name << " was read: " << mesh.GetNumberOfTriangles() << " triangles";
    if (error.find("'" + name + "'") == std::string::npos)
        return ::testing::AssertionFailure() << "the message does not name " << name << ": " << error;
    if (error.find(expected) == std::string::npos)
        return ::testing::AssertionFailure() << "expected '" << expected << "' in: " << error;
    if (mesh.GetNumberOfTriangles() != 0 || mesh.GetNumberOfPoints() != 0)
        return ::testing::AssertionFailure() << "a refused file left a mesh behind";
    return ::testing::AssertionSuccess();
}

MStlBase& Read(const std::string& bytes, const std::string& name, MStlBase& mesh, ReadStats* stats = nullptr) {
    std::string error;
    EXPECT_TRUE(ReadMeshFromBytes(bytes, name, mesh, error, stats)) << name << ": " << error;
    return mesh;
}

std::string Repeat(const std::string& text, size_t times) {
    std::string all;
    all.reserve(text.size() * times);
    for (size_t i = 0; i < times; ++i) all += text;
    return all;
}

// A cube of edge 2.25 at (0.125, -1.5, 2), as six outward quads.
const double kCube[8][3] = {{0.125, -1.5, 2},   {2.375, -1.5, 2},   {2.375, 0.75, 2},   {0.125, 0.75, 2},
                            {0.125, -1.5, 4.25}, {2.375, -1.5, 4.25}, {2.375, 0.75, 4.25}, {0.125, 0.75, 4.25}};
const int kQuads[6][4] = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4}, {2, 3, 7, 6}, {0, 4, 7, 3}, {1, 2, 6, 5}};
constexpr double kCubeVolume = 2.25 * 2.25 * 2.25;

// The cube read back: twelve triangles, closed, outward, the right volume.
::testing::AssertionResult IsTheCube(const MStlBase& mesh, int copies = 1) {
    const MeshReport r = CheckMesh(mesh);
    if (mesh.GetNumberOfTriangles() != 12u * unsigned(copies) || !r.closed || !r.oriented ||
        std::abs(r.volume - copies * kCubeVolume) > 1e-9)
        return ::testing::AssertionFailure() << FormatReport(r);
    return ::testing::AssertionSuccess();
}

// Typed values in either byte order, for binary PLY.
class BinaryText {
public:
    explicit BinaryText(bool bigEndian) : m_big(bigEndian) {}
    template <class T>
    BinaryText& Put(T value) {
        char raw[sizeof(T)];
        std::memcpy(raw, &value, sizeof raw);
        if (m_big) std::reverse(raw, raw + sizeof raw);
        bytes.append(raw, sizeof raw);
        return *this;
    }
    std::string bytes;

private:
    bool m_big;
};

}  // namespace

TEST(Formats, AsciiStlKeywordsInAnyCase) {
    const std::string upper =
        "SOLID CUBE\r\n"
        "  FACET NORMAL 0 0 1\r\n    OUTER LOOP\r\n      VERTEX 0 0 0\r\n      VERTEX 1 0 0\r\n      VERTEX 0 1 0\r\n"
        "    ENDLOOP\r\n  ENDFACET\r\n"
        "  Facet Normal 0 0 1\r\n    Outer Loop\r\n      Vertex 1 0 0\r\n      Vertex 1 1 0\r\n      Vertex 0 1 0\r\n"
        "    EndLoop\r\n  EndFacet\r\n"
        "ENDSOLID CUBE\r\n"
        "solid second facet\nfacet normal 0 0 0 outer loop vertex 0 0 1 vertex 1 0 1 vertex 0 1 1 endloop endfacet\n"
        "endsolid\n";
    MStlBase mesh;
    ReadStats stats;
    Read(upper, "upper.stl", mesh, &stats);
    EXPECT_EQ(stats.format, MeshFormat::AsciiStl);
    EXPECT_EQ(mesh.GetNumberOfTriangles(), 3u) << "two solids, the second named like a keyword";
}

TEST(Formats, BinaryStlCountMustMatchTheSize) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {1000, 1000, 1000});
    const std::string bytes = Written(box, MeshFormat::BinaryStl);
    ASSERT_EQ(bytes.size(), 84u + 12u * 50u);
    for (uint32_t announced : {7u, 17u, 0u}) {
        std::string wrong = bytes;
        std::memcpy(wrong.data() + 80, &announced, 4);
        EXPECT_TRUE(Refused(wrong, "count.stl",
                            "announces " + std::to_string(announced) + " triangles (" +
                                std::to_string(84 + 50 * announced) + " bytes) but the file has 684 bytes"));
    }
    EXPECT_TRUE(Refused(bytes + "x", "tail.stl", "the file has 685 bytes (12 whole triangle records)"));
    EXPECT_TRUE(Refused(bytes.substr(0, 60), "short.stl", "too short for a binary STL: 60 bytes"));
}

TEST(Formats, OffVariantsAreRead) {
    // COFF with colours after the coordinates and after the face indices,
    // comments everywhere, blank lines, CRLF.
    std::string coff = "# made by hand\n\nCOFF\r\n# counts next\n8 6 0\r\n";
    for (const auto& v : kCube)
        coff += std::to_string(v[0]) + " " + std::to_string(v[1]) + " " + std::to_string(v[2]) + " 255 0 0 255\r\n";
    for (const auto& q : kQuads)
        coff += "4  " + std::to_string(q[0]) + " " + std::to_string(q[1]) + " " + std::to_string(q[2]) + " " +
                std::to_string(q[3]) + "  0.5 0.5 0.5 1 # colour\n\n";
    MStlBase mesh;
    ReadStats stats;
    EXPECT_TRUE(IsTheCube(Read(coff, "cube.off", mesh, &stats)));
    EXPECT_EQ(stats.format, MeshFormat::Off);
    EXPECT_EQ(stats.trianglesRead, 12u);
    EXPECT_DOUBLE_EQ(stats.modelMin[1], -1.5);
    EXPECT_DOUBLE_EQ(stats.modelMax[2], 4.25);

    // NOFF with normals, counts on the keyword line; nOFF with its
    // dimension; no keyword at all (the name tells).
    std::string body;
    for (const auto& v : kCube)
        body += std::to_string(v[0]) + " " + std::to_string(v[1]) + " " + std::to_string(v[2]) + " 0 0 1\n";
    for (const auto& q : kQuads)
        body += "4 " + std::to_string(q[0]) + " " + std::to_string(q[1]) + " " + std::to_string(q[2]) + " " +
                std::to_string(q[3]) + "\n";
    EXPECT_TRUE(IsTheCube(Read("NOFF 8 6 12\n" + body, "n.off", mesh)));
    EXPECT_TRUE(IsTheCube(Read("nOFF\n3\n8 6 12\n" + body, "dim.off", mesh)));
    EXPECT_TRUE(IsTheCube(Read("8 6 0\n" + body, "bare.off", mesh)));

    // A pentagon is split into a fan of three.
    EXPECT_EQ(Read("OFF\n5 1 0\n0 0 0\n2 0 0\n3 1 0\n1 2 0\n-1 1 0\n5 0 1 2 3 4\n", "p.off", mesh)
                  .GetNumberOfTriangles(),
              3u);

    EXPECT_TRUE(Refused("OFF BINARY\n8 6 0\n", "b.off", "binary OFF is not supported"));
    EXPECT_TRUE(Refused("4OFF\n1 0 0\n0 0 0 1\n", "4.off", "four-dimensional"));
    EXPECT_TRUE(Refused("nOFF\n2\n3 1 0\n0 0\n1 0\n0 1\n3 0 1 2\n", "2.off", "dimension 2"));
}

TEST(Formats, PlyVariantsAreRead) {
    // ASCII: extra vertex properties, "vertex_index" of uchar/ushort, a
    // colour after the list, other elements with lists, comments, CRLF.
    std::string ascii =
        "ply\r\nformat ascii 1.0\r\ncomment hand made\r\nobj_info nothing\r\n"
        "element vertex 8\r\nproperty float nx\r\nproperty double x\r\nproperty double y\r\nproperty double z\r\n"
        "property list uchar float texture\r\nproperty uchar red\r\n"
        "element material 2\r\nproperty list int double weights\r\nproperty int id\r\n"
        "element face 6\r\nproperty list uchar ushort vertex_index\r\nproperty uchar red\r\n"
        "element edge 1\r\nproperty int vertex1\r\nproperty int vertex2\r\n"
        "end_header\r\n";
    for (const auto& v : kCube)
        ascii += "0.5 " + std::to_string(v[0]) + " " + std::to_string(v[1]) + " " + std::to_string(v[2]) +
                 " 2 0.25 0.75 255\n";
    ascii += "3 1 2 3 7\n0 8\n";
    for (const auto& q : kQuads)
        ascii += "4 " + std::to_string(q[0]) + " " + std::to_string(q[1]) + " " + std::to_string(q[2]) + " " +
                 std::to_string(q[3]) + " 128\n";
    ascii += "0 1\n";
    MStlBase mesh;
    ReadStats stats;
    EXPECT_TRUE(IsTheCube(Read(ascii, "cube.ply", mesh, &stats)));
    EXPECT_EQ(stats.format, MeshFormat::AsciiPly);

    // Binary in both byte orders: int16 and float coordinates, an extra
    // element with a list of doubles, "vertex_indices" of int8 count and
    // uint32 items.
    for (bool big : {false, true}) {
        std::string header = std::string("ply\nformat ") + (big ? "binary_big_endian" : "binary_little_endian") +
                             " 1.0\nelement vertex 8\nproperty float x\nproperty float y\nproperty float z\n"
                             "property short id\nelement extra 2\nproperty list uint double values\n"
                             "element face 6\nproperty uchar flags\nproperty list char uint vertex_indices\n"
                             "end_header\n";
        BinaryText data(big);
        for (const auto& v : kCube) data.Put(float(v[0])).Put(float(v[1])).Put(float(v[2])).Put(int16_t(-7));
        data.Put(uint32_t(2)).Put(1.5).Put(2.5).Put(uint32_t(0));
        for (const auto& q : kQuads) {
            data.Put(uint8_t(1)).Put(int8_t(4));
            for (int k : q) data.Put(uint32_t(k));
        }
        EXPECT_TRUE(IsTheCube(Read(header + data.bytes, "cube.ply", mesh, &stats))) << big;
        EXPECT_EQ(stats.format, MeshFormat::BinaryPly);
    }
    // A point cloud: no face element.
    EXPECT_EQ(Read("ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
                   "end_header\n1 2 3\n",
                   "cloud.ply", mesh)
                  .GetNumberOfTriangles(),
              0u);
}

// Files written by other libraries: CGAL for OFF and PLY, lib3mf for 3MF.
TEST(Formats, FilesOfIndependentWritersAreRead) {
    using Point = CGAL::Exact_predicates_inexact_constructions_kernel::Point_3;
    std::vector<Point> points;
    for (const auto& v : kCube) points.emplace_back(v[0], v[1], v[2]);
    std::vector<std::vector<std::size_t>> polygons;
    for (const auto& q : kQuads) polygons.push_back({size_t(q[0]), size_t(q[1]), size_t(q[2]), size_t(q[3])});
    MStlBase mesh;

    std::ostringstream off;
    ASSERT_TRUE(CGAL::IO::write_OFF(off, points, polygons, CGAL::parameters::stream_precision(17)));
    EXPECT_TRUE(IsTheCube(Read(off.str(), "cgal.off", mesh)));
    for (bool binary : {false, true}) {
        std::ostringstream ply;
        CGAL::IO::set_mode(ply, binary ? CGAL::IO::BINARY : CGAL::IO::ASCII);
        ASSERT_TRUE(CGAL::IO::write_PLY(ply, points, polygons, CGAL::parameters::stream_precision(17)));
        ReadStats stats;
        EXPECT_TRUE(IsTheCube(Read(ply.str(), "cgal.ply", mesh, &stats)));
        EXPECT_EQ(stats.format, binary ? MeshFormat::BinaryPly : MeshFormat::AsciiPly);
    }

    // lib3mf: the cube as a mesh object, placed twice by a components object
    // (once moved, once mirrored), the components object placed by a build
    // item with its own move.
    NMR::PLib3MFModel* model = nullptr;
    ASSERT_EQ(NMR::lib3mf_createmodel(&model), LIB3MF_OK);
    NMR::PLib3MFModelMeshObject* cube = nullptr;
    ASSERT_EQ(NMR::lib3mf_model_addmeshobject(model, &cube), LIB3MF_OK);
    std::vector<NMR::MODELMESHVERTEX> vertices(8);
    for (int i = 0; i < 8; ++i)
        for (int a = 0; a < 3; ++a) vertices[size_t(i)].m_fPosition[a] = float(kCube[i][a]);
    std::vector<NMR::MODELMESHTRIANGLE> triangles;
    for (const auto& q : kQuads) {
        triangles.push_back({{DWORD(q[0]), DWORD(q[1]), DWORD(q[2])}});
        triangles.push_back({{DWORD(q[0]), DWORD(q[2]), DWORD(q[3])}});
    }
    ASSERT_EQ(NMR::lib3mf_meshobject_setgeometry(cube, vertices.data(), 8, triangles.data(), 12), LIB3MF_OK);
    NMR::PLib3MFModelComponentsObject* pair = nullptr;
    ASSERT_EQ(NMR::lib3mf_model_addcomponentsobject(model, &pair), LIB3MF_OK);
    NMR::MODELTRANSFORM moved{}, mirrored{}, lifted{};
    for (int i = 0; i < 3; ++i) moved.m_fFields[i][i] = mirrored.m_fFields[i][i] = lifted.m_fFields[i][i] = 1.0f;
    moved.m_fFields[0][3] = 10.0f;
    mirrored.m_fFields[0][0] = -1.0f;
    mirrored.m_fFields[0][3] = -10.0f;
    lifted.m_fFields[2][3] = 5.0f;
    NMR::PLib3MFModelComponent* component = nullptr;
    ASSERT_EQ(NMR::lib3mf_componentsobject_addcomponent(pair, cube, &moved, &component), LIB3MF_OK);
    NMR::lib3mf_release(component);
    ASSERT_EQ(NMR::lib3mf_componentsobject_addcomponent(pair, cube, &mirrored, &component), LIB3MF_OK);
    NMR::lib3mf_release(component);
    NMR::PLib3MFModelBuildItem* item = nullptr;
    ASSERT_EQ(NMR::lib3mf_model_addbuilditem(model, pair, &lifted, &item), LIB3MF_OK);
    NMR::lib3mf_release(item);
    NMR::PLib3MFModelWriter* writer = nullptr;
    ASSERT_EQ(NMR::lib3mf_model_querywriter(model, "3mf", &writer), LIB3MF_OK);
    ULONG64 size = 0;
    ASSERT_EQ(NMR::lib3mf_writer_getstreamsize(writer, &size), LIB3MF_OK);
    std::string bytes(size, '\0');
    ASSERT_EQ(NMR::lib3mf_writer_writetobuffer(writer, reinterpret_cast<BYTE*>(bytes.data()), size), LIB3MF_OK);
    for (NMR::PLib3MFBase* object : {writer, pair, cube, model}) NMR::lib3mf_release(object);

    ReadStats stats;
    EXPECT_TRUE(IsTheCube(Read(bytes, "lib3mf.3mf", mesh, &stats), 2)) << "the mirrored copy is turned outward";
    EXPECT_EQ(stats.format, MeshFormat::ThreeMf);
    EXPECT_DOUBLE_EQ(stats.modelMin[0], -12.375);
    EXPECT_DOUBLE_EQ(stats.modelMax[0], 12.375);
    EXPECT_DOUBLE_EQ(stats.modelMin[2], 7.0);
}

TEST(Formats, ReadStatsTellDegenerateFromCollapsed) {
    // Face 1 repeats a vertex; face 2's first two corners differ by less
    // than half a grid step.
    const std::string obj = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0.0001 0 0\nf 1 2 3\nf 1 1 2\nf 1 4 3\n";
    MStlBase mesh;
    ReadStats stats;
    Read(obj, "d.obj", mesh, &stats);
    EXPECT_EQ(mesh.GetNumberOfTriangles(), 1u);
    EXPECT_EQ(stats.trianglesRead, 3u);
    EXPECT_EQ(stats.skippedDegenerate, 2u);
    EXPECT_EQ(stats.collapsedByRounding, 1u);
    EXPECT_DOUBLE_EQ(stats.modelMax[0], 1.0);
}

// A point may be a corner of at most 65535 triangles: a fan of 65536 is
// refused, naming the point, and leaves nothing behind.
TEST(Formats, AFanBeyondTheLimitIsRefused) {
    const uint32_t fan = MStlBase::kMaxTrianglesPerPoint + 1;
    std::string obj = "v 0 0 0\n";
    for (uint32_t i = 0; i <= fan; ++i) obj += "v " + std::to_string(i) + " 1 0\n";
    for (uint32_t i = 0; i < fan; ++i) obj += "f 1 " + std::to_string(i + 2) + " " + std::to_string(i + 3) + "\n";
    EXPECT_TRUE(Refused(obj, "fan.obj", "point (0, 0, 0) is a corner of more than 65535 triangles"));

    std::string stl(80, ' ');
    stl.append(reinterpret_cast<const char*>(&fan), 4);
    for (uint32_t i = 0; i < fan; ++i) {
        const float record[12] = {0, 0, 1, 0, 0, 0, float(i), 1, 0, float(i + 1), 1, 0};
        stl.append(reinterpret_cast<const char*>(record), sizeof record);
        stl.append(2, '\0');
    }
    EXPECT_TRUE(Refused(stl, "fan.stl", "triangle record 65536: point (0, 0, 0) is a corner of more than 65535"));
}

TEST(Formats, AFaceOfAMillionCornersIsRefused) {
    const std::string triangle = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    EXPECT_TRUE(Refused(triangle + "f" + Repeat(" 1 2 3", 333334) + "\n", "huge.obj", "face with more than 65536"));
    EXPECT_TRUE(Refused("OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n1000002" + Repeat(" 0 1 2", 333334) + "\n", "huge.off",
                        "face with 1000002 corners, more than 65536"));
    EXPECT_TRUE(Refused("ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                        "property float z\nelement face 1\nproperty list uint int vertex_indices\nend_header\n"
                        "0 0 0\n1 0 0\n0 1 0\n1000002" +
                            Repeat(" 0 1 2", 333334) + "\n",
                        "huge.ply", "face with 1000002 corners"));
}

// Every reader, on truncations of a good file at every few bytes: refused
// with a message, never a crash.  Text formats may read a file cut in its
// last line (a cut number is still a number); OBJ has no end to check.
TEST(Formats, TruncatedFilesAreRefused) {
    MStlBase box;
    GenerateBox(box, {-1500, 0, 250}, {2000, 3125, 4000}, 2);
    const struct {
        MeshFormat format;
        const char* name;
    } cases[] = {{MeshFormat::BinaryStl, "t.stl"}, {MeshFormat::AsciiStl, "t.stl"},  {MeshFormat::Obj, "t.obj"},
                 {MeshFormat::Off, "t.off"},       {MeshFormat::BinaryPly, "t.ply"}, {MeshFormat::AsciiPly, "t.ply"},
                 {MeshFormat::ThreeMf, "t.3mf"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(MeshFormatName(c.format));
        const std::string bytes = Written(box, c.format);
        const size_t lastLine = bytes.rfind('\n', bytes.size() - 2);
        const size_t step = std::max<size_t>(1, bytes.size() / 200);
        for (size_t cut = 0; cut < bytes.size(); cut += step) {
            const std::string part = bytes.substr(0, cut);
            const bool mayRead = c.format == MeshFormat::Obj ||
                                 (c.format != MeshFormat::BinaryStl && c.format != MeshFormat::BinaryPly &&
                                  c.format != MeshFormat::ThreeMf && cut > lastLine);
            MStlBase mesh;
            std::string error;
            if (ReadMeshFromBytes(part, c.name, mesh, error)) {
                EXPECT_TRUE(mayRead) << "cut at " << cut << " of " << bytes.size() << " was read";
                EXPECT_LE(mesh.GetNumberOfTriangles(), box.GetNumberOfTriangles());
            } else {
                EXPECT_FALSE(error.empty());
                EXPECT_EQ(mesh.GetNumberOfTriangles(), 0u);
            }
        }
    }
}

TEST(Formats, HostileFilesAreRefusedWithAMessage) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {1000, 1000, 1000});
    const std::string stl = Written(box, MeshFormat::BinaryStl);
    auto patchedStl = [&](float value) {
        std::string s = stl;
        std::memcpy(s.data() + 84 + 12 + 4, &value, 4);  // record 1, first corner's y
        return s;
    };
    const std::string plyHead =
        "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
        "element face 1\nproperty list uchar int vertex_indices\nend_header\n";
    const std::string plyVertices = "0 0 0\n1 0 0\n0 1 0\n";
    const std::string offHead = "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n";
    const std::string binaryHead = "ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty double x\n"
                                   "property double y\nproperty double z\nelement face 1\n"
                                   "property list uchar int vertex_indices\nend_header\n";
    auto binaryPly = [&](double y, int index) {
        BinaryText data(false);
        data.Put(0.0).Put(y).Put(0.0).Put(1.0).Put(0.0).Put(0.0).Put(0.0).Put(1.0).Put(0.0);
        data.Put(uint8_t(3)).Put(int32_t(0)).Put(int32_t(1)).Put(int32_t(index));
        return binaryHead + data.bytes;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        std::string bytes;
        const char* name;
        const char* expected;
    } cases[] = {
        // binary STL
        {stl.substr(0, 80) + std::string("\xff\xff\xff\xff", 4), "max.stl", "announces 4294967295 triangles"},
        {patchedStl(std::numeric_limits<float>::quiet_NaN()), "nan.stl", "triangle record 1: not a number"},
        {patchedStl(std::numeric_limits<float>::infinity()), "inf.stl", "triangle record 1: coordinate out of range"},
        {patchedStl(1e30f), "far.stl", "triangle record 1: coordinate out of range"},
        // ASCII STL
        {"solid a\nfacet normal 0 0 1\nouter loop\nvertex 0 0 1e300\nvertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\n"
         "endsolid a\n",
         "far.stl", "line 4: coordinate out of range"},
        {"solid a\nfacet normal 0 0 1\nouter loop\nvertex 0 0 nan\n", "nan.stl", "line 4: not a number"},
        {"solid a\nfacet normal 0 0 1\nouter loop\nvertex 0 zero 0\n", "word.stl", "line 4: malformed number 'zero'"},
        {"solid a\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nvertex 1 1 0\n",
         "four.stl", "facet with more than 3 vertices"},
        {"solid a\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\n",
         "open.stl", "without 'endsolid'"},
        // OBJ
        {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 4\n", "index.obj", "line 4: face index 4 out of range"},
        {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 0 1 2\n", "zero.obj", "face index 0 out of range"},
        {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf -5 1 2\n", "back.obj", "face index -5 out of range"},
        {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 x 2\n", "x.obj", "malformed face index 'x'"},
        {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2\n", "two.obj", "fewer than 3 corners"},
        {"v 0 0 nan\n", "nan.obj", "line 1: not a number"},
        {"v 0 -1e300 0\n", "far.obj", "coordinate out of range"},
        {"v 0 0\n", "short.obj", "fewer than 3 coordinates"},
        {std::string("v 0 0 0\n\x01\x02\x03", 11), "binary.obj", "not a text file"},
        // OFF
        {"OFF\n1000000000 1000000000 0\n0 0 0\n", "counts.off", "announces 1000000000 vertices and 1000000000 faces"},
        {"OFF\n99999999999999999999 1 0\n", "overflow.off", "malformed vertex count"},
        {"OFF\n-3 1 0\n", "negative.off", "malformed vertex count '-3'"},
        {offHead + "3 -1 0 1\n", "minus.off", "line 6: face index -1 out of range"},
        {offHead + "3 0 1 3\n", "three.off", "face index 3 out of range (3 vertices)"},
        {offHead + "2 0 1\n", "two.off", "face with 2 corners"},
        {offHead + "4294967296 0 1 2\n", "corners.off", "face with 4294967296 corners"},
        {offHead + "3 0 1\n", "cut.off", "face lists 2 of its 3 corners"},
        {"OFF\n3 1 0\n0 0 0\n1 nan 0\n0 1 0\n3 0 1 2\n", "nan.off", "line 4: not a number"},
        {"OFF\n3 1 0\n0 0 0\n1 1e300 0\n0 1 0\n3 0 1 2\n", "far.off", "line 4: coordinate out of range"},
        {"OFF\n3 2 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n", "faces.off", "ends after 1 of 2 faces"},
        // PLY
        {"ply\nformat ascii 1.0\nelement vertex 4000000000\nproperty float x\nproperty float y\nproperty float z\n"
         "end_header\n0 0 0\n",
         "count.ply", "announces records of at least"},
        {"ply\nformat binary_little_endian 1.0\nelement vertex 18446744073709551615\nproperty float x\nend_header\n",
         "overflow.ply", "malformed element count"},
        {"ply\nformat ascii 1.0\nelement vertex -1\nend_header\n", "minus.ply", "malformed element count '-1'"},
        {plyHead + plyVertices + "3 0 1 -1\n", "minus.ply", "face index -1 out of range"},
        {plyHead + plyVertices + "3 0 1 7\n", "seven.ply", "face index 7 out of range (3 vertices)"},
        {plyHead + plyVertices + "300 0 1 2\n", "uchar.ply", "the corner count"},
        {plyHead + "0 0 0\n1 nan 0\n0 1 0\n3 0 1 2\n", "nan.ply", "line 11: not a number"},
        {plyHead + "0 0 0\n1 -1e300 0\n0 1 0\n3 0 1 2\n", "far.ply", "coordinate out of range"},
        {plyHead + plyVertices + "2 0 1\n", "two.ply", "face with 2 corners"},
        {plyHead + plyVertices, "nofaces.ply", "announces records of at least 20 bytes but only 18"},
        {binaryPly(nan, 2), "nan.ply", "vertex record 1: not a number"},
        {binaryPly(1e300, 2), "far.ply", "vertex record 1: coordinate out of range"},
        {binaryPly(0.0, -1), "minus.ply", "face record 1: face index -1 out of range"},
        {binaryPly(0.0, 3), "three.ply", "face index 3 out of range"},
        {binaryPly(0.0, 2).substr(0, binaryPly(0.0, 2).size() - 1), "cut.ply", "malformed or missing a vertex index"},
        {"ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty double x\nproperty double y\n"
         "property double z\nelement face 1\nproperty list uint int vertex_indices\nend_header\n" +
             std::string(72, '\0') + std::string("\xff\xff\xff\xff", 4),
         "list.ply", "face with 4294967295 corners"},
        {"ply\nformat ascii 1.0\nelement other 1\nproperty list uint double values\nend_header\n4000000000 1 2\n",
         "skip.ply", "malformed or missing list 'values'"},
        {"ply\nformat ascii 1.0\nelement vertex 1\nproperty list uchar float vertex_indices\nend_header\n", "xyz.ply",
         "no scalar property 'x'"},
        {"ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
         "element face 1\nproperty list uchar float vertex_indices\nend_header\n" +
             plyVertices + "3 0 1 2\n",
         "float.ply", "not of an integer type"},
        {"ply\nformat ascii 1.0\nelement face 1\nproperty list float int vertex_indices\nend_header\n", "count.ply",
         "not an integer type"},
        {"ply\nformat ascii 1.0\nelement vertex 1\nproperty int128 x\nend_header\n", "type.ply",
         "unknown property type"},
        {"ply\nformat ascii 1.0\nelement face 1\nproperty list uchar int vertex_indices\nelement vertex 3\n"
         "property float x\nproperty float y\nproperty float z\nend_header\n3 0 1 2\n" +
             plyVertices,
         "order.ply", "comes before the 'vertex' element"},
        {"ply\nformat ascii 1.0\nelement vertex 1\n", "header.ply", "no 'end_header'"},
        {"ply\nelement vertex 0\nend_header\n", "format.ply", "no 'format' line"},
        {"ply\nformat xml 1.0\nend_header\n", "xml.ply", "unknown encoding 'xml'"},
        {"ply\nformat ascii 1.0\nbogus line\nend_header\n", "bogus.ply", "unknown header keyword 'bogus'"},
        // 3MF
        {std::string("PK\x03\x04", 4) + std::string(200, 'x'), "junk.3mf", "not a readable 3MF file"},
        {std::string("PK\x03\x04", 4), "four.3mf", "not a readable 3MF file"},
    };
    for (const auto& c : cases) EXPECT_TRUE(Refused(c.bytes, c.name, c.expected)) << c.name;
}

// 3MF builds that nest or multiply components beyond the limits are refused
// before any triangle is made.  (lib3mf itself walks every instance when it
// checks a build, so the cases stay small enough for that walk.)
TEST(Formats, Hostile3mfBuildsAreRefused) {
    // The cube, or a strip of `strip` triangles, placed through `levels` of
    // components objects of `width` components each.
    auto build = [](int levels, int width, float scale, int strip) {
        std::vector<NMR::MODELMESHVERTEX> vertices;
        std::vector<NMR::MODELMESHTRIANGLE> triangles;
        if (strip == 0) {
            for (const auto& v : kCube) vertices.push_back({{float(v[0]), float(v[1]), float(v[2])}});
            for (const auto& q : kQuads) {
                triangles.push_back({{DWORD(q[0]), DWORD(q[1]), DWORD(q[2])}});
                triangles.push_back({{DWORD(q[0]), DWORD(q[2]), DWORD(q[3])}});
            }
        }
        for (int i = 0; strip && i <= strip / 2; ++i) {
            vertices.push_back({{float(i), 0.0f, 0.0f}});
            vertices.push_back({{float(i), 1.0f, 0.0f}});
            if (i == 0) continue;
            const DWORD a = DWORD(2 * i - 2), b = a + 1, c = a + 2, d = a + 3;
            triangles.push_back({{a, c, b}});
            triangles.push_back({{b, c, d}});
        }
        NMR::PLib3MFModel* model = nullptr;
        NMR::lib3mf_createmodel(&model);
        NMR::PLib3MFModelMeshObject* mesh = nullptr;
        NMR::lib3mf_model_addmeshobject(model, &mesh);
        NMR::lib3mf_meshobject_setgeometry(mesh, vertices.data(), DWORD(vertices.size()), triangles.data(),
                                           DWORD(triangles.size()));
        NMR::PLib3MFBase* top = mesh;
        std::vector<NMR::PLib3MFBase*> owned = {mesh};
        for (int level = 0; level < levels; ++level) {
            NMR::PLib3MFModelComponentsObject* group = nullptr;
            NMR::lib3mf_model_addcomponentsobject(model, &group);
            for (int i = 0; i < width; ++i) {
                NMR::PLib3MFModelComponent* component = nullptr;
                NMR::lib3mf_componentsobject_addcomponent(group, top, nullptr, &component);
                NMR::lib3mf_release(component);
            }
            owned.push_back(top = group);
        }
        NMR::MODELTRANSFORM t{};
        for (int i = 0; i < 3; ++i) t.m_fFields[i][i] = scale;
        NMR::PLib3MFModelBuildItem* item = nullptr;
        NMR::lib3mf_model_addbuilditem(model, top, &t, &item);
        NMR::lib3mf_release(item);
        NMR::PLib3MFModelWriter* writer = nullptr;
        NMR::lib3mf_model_querywriter(model, "3mf", &writer);
        ULONG64 size = 0;
        NMR::lib3mf_writer_getstreamsize(writer, &size);
        std::string bytes(size, '\0');
        NMR::lib3mf_writer_writetobuffer(writer, reinterpret_cast<BYTE*>(bytes.data()), size);
        NMR::lib3mf_release(writer);
        for (NMR::PLib3MFBase* object : owned) NMR::lib3mf_release(object);
        NMR::lib3mf_release(model);
        return bytes;
    };
    MStlBase mesh;
    EXPECT_TRUE(IsTheCube(Read(build(3, 1, 1.0f, 0), "nested.3mf", mesh)));
    EXPECT_TRUE(Refused(build(40, 1, 1.0f, 0), "deep.3mf", "components nested deeper than 32"));
    EXPECT_TRUE(Refused(build(2, 1100, 1.0f, 0), "wide.3mf", "places 1211101 objects, more than 1000000"));
    EXPECT_TRUE(Refused(build(2, 800, 1.0f, 200), "big.3mf", "expands to 128000000 triangles, more than 100000000"));
    EXPECT_TRUE(Refused(build(0, 0, 1e7f, 0), "scaled.3mf", "object 1 vertex 0: coordinate out of range"));
}

// Writes the seed files of the fuzz targets: DIR/stl, DIR/obj, DIR/off,
// DIR/ply and DIR/3mf, each with small files of the format's variants.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/MStlBase.h"
#include "host/MStlGenerate.h"
#include "host/MStlIO.h"

namespace fs = std::filesystem;

namespace {

bool WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return bool(out);
}

bool WriteFormats(const fs::path& dir, const std::string& stem, const MStlBase& mesh) {
    const struct {
        const char* folder;
        const char* suffix;
        MeshFormat format;
    } outputs[] = {{"stl", "_binary.stl", MeshFormat::BinaryStl}, {"stl", "_ascii.stl", MeshFormat::AsciiStl},
                   {"obj", ".obj", MeshFormat::Obj},               {"off", ".off", MeshFormat::Off},
                   {"ply", "_binary.ply", MeshFormat::BinaryPly},  {"ply", "_ascii.ply", MeshFormat::AsciiPly},
                   {"3mf", ".3mf", MeshFormat::ThreeMf}};
    for (const auto& o : outputs) {
        std::string error;
        if (!WriteMesh((dir / o.folder / (stem + o.suffix)).string(), mesh, o.format, error)) {
            std::fprintf(stderr, "fuzz_seeds: %s\n", error.c_str());
            return false;
        }
    }
    return true;
}

const char* const kHandMade[][2] = {
    {"stl/upper.stl",
     "SOLID A\nFACET NORMAL 0 0 1\nOUTER LOOP\nVERTEX 0 0 0\nVERTEX 1 0 0\nVERTEX 0 1 0\nENDLOOP\nENDFACET\n"
     "ENDSOLID A\nsolid b\nfacet normal 0 0 0\nouter loop\nvertex 0 0 1\nvertex 1 0 1\nvertex 0 1 1\nendloop\n"
     "endfacet\nendsolid b\n"},
    {"obj/polygons.obj",
     "# polygons\no thing\nv 0 0 0\nv 1 0 0\nv 1 1 0 1.0\nv 0 1 0\nvt 0 0\nvn 0 0 1\ng side\n"
     "f 1/1/1 2/1/1 3//1 4\nf -4 -2 -1\nl 1 2\n"},
    {"off/coff.off",
     "# comment\nCOFF\n4 2 0\n0 0 0 255 0 0 255\n1 0 0 0 255 0 255\n1 1 0 0 0 255 255\n0 1 0 9 9 9 255\n"
     "3 0 1 2 1 0 0\n3 0 2 3 # colourless\n"},
    {"off/noff.off", "NOFF 3 1 3\n0 0 0 0 0 1\n1 0 0 0 0 1\n0 1 0 0 0 1\n3 0 1 2\n"},
    {"off/ndim.off", "nOFF\n3\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n"},
    {"ply/extras.ply",
     "ply\nformat ascii 1.0\ncomment extras\nelement vertex 3\nproperty float nx\nproperty double x\n"
     "property double y\nproperty double z\nproperty list uchar float uv\nelement material 1\n"
     "property list int double w\nelement face 1\nproperty list uchar ushort vertex_index\nproperty uchar red\n"
     "end_header\n0 0 0 0 2 1 1\n0 1 0 0 0\n0 0 1 0 1 5\n2 0.5 0.5\n3 0 1 2 9\n"},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    const fs::path dir = argv[1];
    for (const char* folder : {"stl", "obj", "off", "ply", "3mf"}) fs::create_directories(dir / folder);
    MStlBase box, sphere;
    GenerateBox(box, {-1500, 0, 250}, {2000, 3125, 4000}, 1);
    GenerateSphere(sphere, 2500.0, 60);
    if (!WriteFormats(dir, "box", box) || !WriteFormats(dir, "sphere", sphere)) return 1;
    for (const auto& [name, text] : kHandMade)
        if (!WriteText(dir / name, text)) return 1;
    return 0;
}

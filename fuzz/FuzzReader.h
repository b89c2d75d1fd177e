// The body of every reader's fuzz target: read the bytes under a name of
// the format's extension and check what a read promises.  Any broken
// promise aborts, which libFuzzer reports with the input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/MStlBase.h"
#include "host/MStlIO.h"

// lib3mf 1.8.1 leaks a libzip allocation (80 bytes) for every package that
// does not open; that leak is the library's, not the readers'.
extern "C" const char* __lsan_default_suppressions() { return "leak:libzip.so\n"; }

namespace fuzz {

inline void Require(bool condition, const char* what, const std::string& detail = "") {
    if (condition) return;
    std::fprintf(stderr, "broken promise: %s %s\n", what, detail.c_str());
    std::abort();
}

// The mesh written in an exact format and read back: the same triangles.
inline void CheckRoundTrip(const MStlBase& mesh, MeshFormat read) {
    const bool exact = read != MeshFormat::BinaryStl && read != MeshFormat::ThreeMf;
    const MeshFormat format = exact ? read : MeshFormat::Obj;
    char* data = nullptr;
    size_t size = 0;
    std::FILE* out = ::open_memstream(&data, &size);
    std::string error;
    const bool written = WriteMeshToStream(out, "memory", mesh, format, error);
    std::fclose(out);
    const std::string bytes(data, size);
    std::free(data);
    Require(written, "a read mesh can be written", error);
    MStlBase back;
    ReadStats stats;
    Require(ReadMeshFromBytes(bytes, "again", back, error, &stats), "a written mesh reads back", error);
    Require(back.GetNumberOfTriangles() == mesh.GetNumberOfTriangles(), "the same triangles read back");
    Require(stats.skippedDegenerate == 0, "no degenerate triangle written");
}

inline int Read(const uint8_t* data, size_t size, const char* name) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    MStlBase mesh;
    std::string error;
    ReadStats stats;
    if (!ReadMeshFromBytes(bytes, name, mesh, error, &stats)) {
        Require(!error.empty(), "a refusal says why");
        Require(mesh.GetNumberOfTriangles() == 0 && mesh.GetNumberOfPoints() == 0, "a refusal leaves no mesh");
        return 0;
    }
    Require(stats.trianglesRead == mesh.GetNumberOfTriangles() + stats.skippedDegenerate, "triangles counted");
    Require(stats.collapsedByRounding <= stats.skippedDegenerate, "collapsed ones are among the skipped");
    if (mesh.GetNumberOfTriangles() > 0) CheckRoundTrip(mesh, stats.format);
    return 0;
}

}  // namespace fuzz

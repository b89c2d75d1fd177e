// Reading and writing triangle meshes as binary STL, ASCII STL and OBJ.
//
// Files hold model units; the mesh holds integer internal units
// (MInternalUnits::Get() steps per model unit).  Reading rounds every
// coordinate to the nearest step and merges points at equal coordinates.
#pragma once

#include <cstdint>
#include <string>

class MStlBase;

enum class MeshFormat { BinaryStl, AsciiStl, Obj };

struct ReadStats {
    // Triangles found in the file (polygons counted after fan triangulation).
    uint64_t trianglesRead = 0;
    // Of those, triangles left out because corners coincide after rounding.
    uint64_t skippedDegenerate = 0;
};

// Replaces the content of `mesh` with the file's triangles and names the mesh
// after the file's base name.  `.obj` files are read as OBJ; anything else as
// STL, binary or ASCII decided by the content.  On failure returns false with
// a message in `error` and leaves the mesh empty.
bool ReadMesh(const std::string& path, MStlBase& mesh, std::string& error, ReadStats* stats = nullptr);

// Writes through a temporary file in the target's folder that replaces the
// target only when everything was written; on failure nothing is left behind.
// Binary STL stores single-precision floats, so coordinates beyond about 8000
// model units may not survive a round trip exactly; ASCII STL and OBJ are
// exact.
bool WriteMesh(const std::string& path, const MStlBase& mesh, MeshFormat format, std::string& error);

// Obj for a `.obj` path (any case), otherwise binary STL, or ASCII STL when
// `asciiStl` is set.
MeshFormat FormatFromPath(const std::string& path, bool asciiStl);

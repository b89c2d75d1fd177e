// Reading and writing triangle meshes: binary and ASCII STL, OBJ, OFF,
// binary and ASCII PLY, and 3MF.
//
// Files hold model units; the mesh holds integer steps
// (MInternalUnits::Get() steps per model unit).  Reading rounds every
// coordinate to the nearest step and merges points at equal coordinates;
// polygons are split into fans around their first corner.  Text writers
// write the shortest decimal that reads back to the same step; binary STL and
// 3MF hold 32-bit floats (see FormatHoldsMesh).
//
// Every reader is bounded: counts in headers are checked against the bytes
// that follow before anything is allocated, and a file is refused with its
// name and the line or record at fault, never read short.  A point may be a
// corner of at most MStlBase::kMaxTrianglesPerPoint triangles; a file that
// needs more is refused, naming the point.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "host/MProgress.h"

class MStlBase;

enum class MeshFormat { BinaryStl, AsciiStl, Obj, Off, BinaryPly, AsciiPly, ThreeMf };

// "binary STL", "ASCII STL", "OBJ", "OFF", "binary PLY", "ASCII PLY", "3MF".
const char* MeshFormatName(MeshFormat format);

// Limits of the readers.
struct MeshReadLimits {
    // Standard input is read whole into memory, up to this many bytes.
    static constexpr uint64_t kMaxStandardInputBytes = uint64_t(1) << 31;
    // A polygon of OBJ, OFF or PLY may have at most this many corners.
    static constexpr uint32_t kMaxFaceCorners = 65536;
    // A 3MF build may nest components this deep, place at most this many
    // objects and expand, with every instance counted, to at most this many
    // triangles.
    static constexpr uint32_t kMax3mfComponentDepth = 32;
    static constexpr uint64_t kMax3mfInstances = 1'000'000;
    static constexpr uint64_t kMax3mfBuildTriangles = 100'000'000;
};

struct ReadStats {
    // Triangles found in the file (polygons counted after the fan split).
    uint64_t trianglesRead = 0;
    // Of those, triangles left out because two corners coincide on the grid.
    uint64_t skippedDegenerate = 0;
    // The format the content was read as.
    MeshFormat format = MeshFormat::BinaryStl;
    // Extent of the file's vertex coordinates in model units (for 3MF after
    // the build's transforms), before rounding; zero when the file has no
    // vertex.
    double modelMin[3] = {0.0, 0.0, 0.0};
    double modelMax[3] = {0.0, 0.0, 0.0};
    // Of the skipped triangles, those whose corners differ in the file and
    // coincide only after rounding to the grid.
    uint64_t collapsedByRounding = 0;
};

// Replaces the content of `mesh` with the triangles of the file at `path`
// ("-" reads standard input, up to MeshReadLimits::kMaxStandardInputBytes)
// and names the mesh after the file's base name.  The format is taken from
// the content where it has a signature (3MF zip, "ply", "OFF", a binary STL
// of exactly the announced size, "solid" and text), otherwise from the
// extension, otherwise OBJ for text with vertex lines.  Only regular files
// are read.  Progress: one step "reading", advanced by bytes; a cancelled
// read fails with the error "cancelled".  On failure returns false with a
// message in `error` and leaves the mesh empty.
bool ReadMesh(const std::string& path, MStlBase& mesh, std::string& error, ReadStats* stats = nullptr,
              const QelSDK::Common::ProgressPtr& progress = {});

// As ReadMesh, from bytes in memory.  `name` names the file in messages and
// the mesh; its extension is the format hint when the content has no
// signature.
bool ReadMeshFromBytes(std::string_view bytes, const std::string& name, MStlBase& mesh, std::string& error,
                       ReadStats* stats = nullptr, const QelSDK::Common::ProgressPtr& progress = {});

// The output format for a path: .stl (ASCII STL with `ascii`), .obj, .off,
// .ply (ASCII PLY with `ascii`), .3mf, in any case; "-" gives binary STL
// (ASCII with `ascii`).  Any other name is refused with a message listing
// the known extensions.
bool OutputFormatFromPath(const std::string& path, bool ascii, MeshFormat& format, std::string& error);

// Writes the mesh to an open stream, sequentially (a pipe will do).  Points
// are written in the order of their first use by the triangles, which keep
// their order and corner order.  Progress: one step "writing", advanced by
// records; when cancelled, returns false with the error "cancelled" and what
// reached the stream is incomplete.
bool WriteMeshToStream(std::FILE* file, const std::string& nameForMessages, const MStlBase& mesh,
                       MeshFormat format, std::string& error, const QelSDK::Common::ProgressPtr& progress = {});

// Writes through a temporary file in the target's folder that replaces the
// target only when everything was written; on failure or cancellation
// nothing is left behind.
bool WriteMesh(const std::string& path, const MStlBase& mesh, MeshFormat format, std::string& error,
               const QelSDK::Common::ProgressPtr& progress = {});

// True when writing the mesh in `format` and reading it back gives every
// point at the same step.  Binary STL and 3MF store 32-bit floats (and 3MF
// six decimals at most), so large or fine coordinates may move; `why` then
// says how many points move and gives the first.  Writers never produce a
// coordinate that reads back outside the grid's range.
bool FormatHoldsMesh(MeshFormat format, const MStlBase& mesh, std::string& why);

// Kept for existing callers: the format OutputFormatFromPath gives, with
// binary STL (or ASCII STL with `asciiStl`) for unknown extensions.
MeshFormat FormatFromPath(const std::string& path, bool asciiStl);

// TEMPORARY: stands in for the file API that is being extended; removed on merge.
#pragma once
#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include "host/MProgress.h"
#include "host/MStlIO.h"

inline bool OutputFormatFromPath(const std::string& path, bool ascii, MeshFormat& format, std::string& error) {
    std::string ext = path.size() >= 4 ? path.substr(path.size() - 4) : "";
    for (char& c : ext) c = char(std::tolower(c));
    if (path == "-" || ext == ".stl") return format = ascii ? MeshFormat::AsciiStl : MeshFormat::BinaryStl, true;
    if (ext == ".obj") return format = MeshFormat::Obj, true;
    error = "'" + path + "': unknown output format; use .stl or .obj";
    return false;
}
inline bool WriteMeshToStream(std::FILE* file, const std::string&, const MStlBase& mesh, MeshFormat format,
                              std::string& error, const QelSDK::Common::ProgressPtr&) {
    const std::string tmp = "/tmp/meshcut-bridge-" + std::to_string(getpid()) + (format == MeshFormat::Obj ? ".obj" : ".stl");
    if (!WriteMesh(tmp, mesh, format, error)) return false;
    std::ifstream in(tmp, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::remove(tmp.c_str());
    return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}
inline bool ReadMesh(const std::string& path, MStlBase& mesh, std::string& error, ReadStats* stats,
                     const QelSDK::Common::ProgressPtr&) {
    return ReadMesh(path, mesh, error, stats);
}
inline bool FormatHoldsMesh(MeshFormat, const MStlBase&, std::string&) { return true; }

#include "host/MStlIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <vector>

#include "host/MMeshFormat.h"
#include "host/MStlBase.h"

using namespace meshio;
using QelSDK::Common::ProgressPtr;

namespace {

// Signatures and text checks look at this much of the start of a file.
constexpr size_t kSniffBytes = 1 << 16;

std::string LowerExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

std::string LabelOf(const std::string& name) { return name == "-" ? "standard input" : "'" + name + "'"; }

// Closes a file descriptor on scope exit.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

bool ReadRegularFile(const std::string& path, std::string& bytes, std::string& error) {
    // Non-blocking, so that opening a FIFO without a writer does not hang.
    const Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) {
        error = "cannot open '" + path + "': " + (errno == ENOENT ? "no such file" : std::strerror(errno));
        return false;
    }
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) {
        error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        error = "cannot read '" + path + "': it is a directory";
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "cannot read '" + path + "': not a regular file (a FIFO, device or socket)";
        return false;
    }
    bytes.resize(size_t(info.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(file.fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "cannot read '" + path + "': " + (n < 0 ? std::strerror(errno) : "it shrank while being read");
            return false;
        }
        done += size_t(n);
    }
    return true;
}

bool ReadStandardInput(std::string& bytes, const ProgressPtr& progress, std::string& error) {
    constexpr size_t kChunk = 1 << 20;
    for (;;) {
        if (progress && progress->IsCancelled()) {
            error = "cancelled";
            return false;
        }
        const size_t done = bytes.size();
        bytes.resize(done + kChunk);
        const ssize_t n = ::read(STDIN_FILENO, bytes.data() + done, kChunk);
        if (n < 0 && errno == EINTR) {
            bytes.resize(done);
            continue;
        }
        if (n < 0) {
            error = std::string("cannot read standard input: ") + std::strerror(errno);
            return false;
        }
        bytes.resize(done + size_t(n));
        if (n == 0) return true;
        if (bytes.size() > MeshReadLimits::kMaxStandardInputBytes) {
            error = "standard input holds more than " + std::to_string(MeshReadLimits::kMaxStandardInputBytes) +
                    " bytes, the most that is read from it";
            return false;
        }
    }
}

// An OBJ vertex line in a text.
bool HasObjVertexLine(std::string_view bytes) {
    LineReader lines(bytes, true);
    std::string_view line;
    while (lines.Next(line)) {
        Tokenizer fields(line);
        std::string_view keyword;
        if (fields.Next(keyword) && keyword == "v") return true;
    }
    return false;
}

// The format a (lower-case) extension names; `ascii` picks the ASCII variant
// of STL and PLY.
bool FormatOfExtension(const std::string& ext, bool ascii, MeshFormat& format) {
    if (ext == ".stl")
        format = ascii ? MeshFormat::AsciiStl : MeshFormat::BinaryStl;
    else if (ext == ".obj")
        format = MeshFormat::Obj;
    else if (ext == ".off")
        format = MeshFormat::Off;
    else if (ext == ".ply")
        format = ascii ? MeshFormat::AsciiPly : MeshFormat::BinaryPly;
    else if (ext == ".3mf")
        format = MeshFormat::ThreeMf;
    else
        return false;
    return true;
}

bool DetectFormat(std::string_view bytes, const std::string& name, MeshFormat& format, std::string& error) {
    const std::string_view start = bytes.substr(0, kSniffBytes);
    if (Has3mfSignature(bytes)) {
        format = MeshFormat::ThreeMf;
    } else if (HasPlySignature(bytes)) {
        format = MeshFormat::BinaryPly;  // the reader tells binary from ASCII
    } else if (IsBinaryStlOfExactSize(bytes)) {
        format = MeshFormat::BinaryStl;
    } else if (HasOffSignature(bytes)) {
        format = MeshFormat::Off;
    } else if (StartsWithSolid(bytes)) {
        // A binary STL may start with "solid" too; its size then tells.
        format = LooksLikeText(start) ? MeshFormat::AsciiStl : MeshFormat::BinaryStl;
    } else if (!FormatOfExtension(LowerExtension(name), false, format)) {
        if (!LooksLikeText(start) || !HasObjVertexLine(bytes)) {
            error = LabelOf(name) + ": unknown mesh format (not STL, OBJ, OFF, PLY or 3MF)";
            return false;
        }
        format = MeshFormat::Obj;
    }
    if (format == MeshFormat::Obj && !LooksLikeText(start)) {
        error = LabelOf(name) + " is not a text file, so not OBJ";
        return false;
    }
    return true;
}

bool ReadDetected(std::string_view bytes, MeshBuilder& builder, MeshFormat& format, std::string& error) {
    switch (format) {
        case MeshFormat::BinaryStl: return ReadBinaryStl(bytes, builder, error);
        case MeshFormat::AsciiStl: return ReadAsciiStl(bytes, builder, error);
        case MeshFormat::Obj: return ReadObj(bytes, builder, error);
        case MeshFormat::Off: return ReadOff(bytes, builder, error);
        case MeshFormat::BinaryPly:
        case MeshFormat::AsciiPly: return ReadPly(bytes, builder, format, error);
        case MeshFormat::ThreeMf: return Read3mf(bytes, builder, error);
    }
    return false;
}

// The file's base name; a name that is not valid UTF-8 keeps its bytes.
std::wstring MeshNameOf(const std::string& name) {
    if (name == "-") return L"stdin";
    const std::filesystem::path stem = std::filesystem::path(name).stem();
    try {
        return stem.wstring();
    } catch (const std::exception&) {
        const std::string bytes = stem.string();
        return std::wstring(bytes.begin(), bytes.end());
    }
}

bool WriteFormat(OutputSink& out, const MStlBase& mesh, MeshFormat format, std::string& error) {
    switch (format) {
        case MeshFormat::BinaryStl: return WriteBinaryStl(out, mesh, error);
        case MeshFormat::AsciiStl: return WriteAsciiStl(out, mesh, error);
        case MeshFormat::Obj: return WriteObj(out, mesh, error);
        case MeshFormat::Off: return WriteOff(out, mesh, error);
        case MeshFormat::BinaryPly: return WritePly(out, mesh, true, error);
        case MeshFormat::AsciiPly: return WritePly(out, mesh, false, error);
        case MeshFormat::ThreeMf: return Write3mf(out, mesh, error);
    }
    return false;
}

// Records a writer reports progress by: triangles for STL, points and
// triangles for the indexed formats, percent for lib3mf.
uint64_t RecordsToWrite(const MStlBase& mesh, MeshFormat format) {
    switch (format) {
        case MeshFormat::BinaryStl:
        case MeshFormat::AsciiStl: return mesh.GetNumberOfTriangles();
        case MeshFormat::ThreeMf: return 100;
        default: return mesh.GetNumberOfPoints() + mesh.GetNumberOfTriangles();
    }
}

// Whether every point used by a triangle reads back to its own step after
// `through` (steps to steps, false when unreadable).
template <class RoundTrip>
bool EveryPointSurvives(const MStlBase& mesh, const char* reason, RoundTrip through, std::string& why) {
    std::vector<bool> seen(mesh.GetNumberOfPointSlots(), false);
    uint64_t points = 0, moved = 0;
    int32_t from[3] = {0, 0, 0}, to[3] = {0, 0, 0};
    for (const MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext())
        for (int k = 0; k < 3; ++k) {
            const MStlPoint* p = t->GetPoint(k);
            if (seen[p->GetIndex()]) continue;
            seen[p->GetIndex()] = true;
            ++points;
            int32_t back[3];
            bool same = true;
            for (int a = 0; a < 3; ++a) {
                back[a] = through(p->Get(a));
                same = same && back[a] == p->Get(a);
            }
            if (same || moved++) continue;
            for (int a = 0; a < 3; ++a) {
                from[a] = p->Get(a);
                to[a] = back[a];
            }
        }
    if (moved == 0) return true;
    why = MovedPoints(reason, moved, points, from, to);
    return false;
}

int32_t ThroughFloat(int32_t steps) {
    int32_t back = 0;
    ToSteps(ModelFloat(steps), back);
    return back;
}

int32_t ThroughDouble(int32_t steps) {
    int32_t back = 0;
    if (*ToSteps(ModelValue(steps), back)) return steps == INT32_MAX ? INT32_MIN : INT32_MAX;
    return back;
}

std::atomic<uint64_t> g_temporaryNumber{0};

}  // namespace

const char* MeshFormatName(MeshFormat format) {
    switch (format) {
        case MeshFormat::BinaryStl: return "binary STL";
        case MeshFormat::AsciiStl: return "ASCII STL";
        case MeshFormat::Obj: return "OBJ";
        case MeshFormat::Off: return "OFF";
        case MeshFormat::BinaryPly: return "binary PLY";
        case MeshFormat::AsciiPly: return "ASCII PLY";
        case MeshFormat::ThreeMf: return "3MF";
    }
    return "unknown";
}

bool ReadMeshFromBytes(std::string_view bytes, const std::string& name, MStlBase& mesh, std::string& error,
                       ReadStats* stats, const ProgressPtr& progress) {
    mesh.ClearStl(true);
    ReadStats local;
    ReadStats& counts = stats ? *stats : local;
    counts = ReadStats();
    bool ok = false;
    try {
        MeshFormat format = MeshFormat::BinaryStl;
        // Text may start with a UTF-8 byte order mark.
        if (!IsBinaryStlOfExactSize(bytes) && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
        if (bytes.empty()) {
            error = LabelOf(name) + " is empty";
        } else if (DetectFormat(bytes, name, format, error)) {
            MeshBuilder builder(mesh, counts, LabelOf(name), bytes.size(), progress);
            ok = ReadDetected(bytes, builder, format, error);
            counts.format = format;
        }
    } catch (const std::bad_alloc&) {
        error = "not enough memory to read " + LabelOf(name);
    } catch (const std::length_error&) {
        error = "not enough memory to read " + LabelOf(name);
    }
    if (!ok) {
        mesh.ClearStl(false);
        counts = ReadStats();
        return false;
    }
    mesh.SetName(MeshNameOf(name));
    return true;
}

bool ReadMesh(const std::string& path, MStlBase& mesh, std::string& error, ReadStats* stats,
              const ProgressPtr& progress) {
    std::string bytes;
    bool read;
    try {
        read = path == "-" ? ReadStandardInput(bytes, progress, error) : ReadRegularFile(path, bytes, error);
    } catch (const std::bad_alloc&) {
        error = "not enough memory to read " + LabelOf(path);
        read = false;
    }
    if (!read) {
        mesh.ClearStl(false);
        if (stats) *stats = ReadStats();
        return false;
    }
    return ReadMeshFromBytes(bytes, path, mesh, error, stats, progress);
}

bool OutputFormatFromPath(const std::string& path, bool ascii, MeshFormat& format, std::string& error) {
    const std::string ext = path == "-" ? ".stl" : LowerExtension(path);
    if (FormatOfExtension(ext, ascii, format)) return true;
    error = "'" + path + "': unknown mesh file extension" + (ext.empty() ? "" : " '" + ext + "'") +
            "; known are .stl, .obj, .off, .ply and .3mf";
    return false;
}

MeshFormat FormatFromPath(const std::string& path, bool asciiStl) {
    MeshFormat format;
    std::string ignored;
    if (OutputFormatFromPath(path, asciiStl, format, ignored)) return format;
    return asciiStl ? MeshFormat::AsciiStl : MeshFormat::BinaryStl;
}

bool WriteMeshToStream(std::FILE* file, const std::string& nameForMessages, const MStlBase& mesh, MeshFormat format,
                       std::string& error, const ProgressPtr& progress) {
    std::string why;
    bool ok = false, finished = false;
    try {
        OutputSink out(file, RecordsToWrite(mesh, format), progress);
        ok = WriteFormat(out, mesh, format, why);
        if (!ok && out.Cancelled()) {
            error = "cancelled";
            return false;
        }
        finished = ok && out.Finish();
    } catch (const std::bad_alloc&) {
        why = "not enough memory";
    }
    if (!ok) {
        error = "cannot write " + LabelOf(nameForMessages) + ": " + why;
        return false;
    }
    if (!finished) {
        error = "cannot write " + LabelOf(nameForMessages) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool WriteMesh(const std::string& path, const MStlBase& mesh, MeshFormat format, std::string& error,
               const ProgressPtr& progress) {
    const std::string temporary =
        path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(g_temporaryNumber++);
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) {
        error = "cannot create '" + temporary + "': " + std::strerror(errno);
        return false;
    }
    bool ok = WriteMeshToStream(file, path, mesh, format, error, progress);
    if (std::fclose(file) != 0 && ok) {
        error = "cannot write '" + path + "': " + std::strerror(errno);
        ok = false;
    }
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot replace '" + path + "': " + std::strerror(errno);
        ok = false;
    }
    if (!ok) std::remove(temporary.c_str());
    return ok;
}

bool FormatHoldsMesh(MeshFormat format, const MStlBase& mesh, std::string& why) {
    switch (format) {
        case MeshFormat::BinaryStl:
            if (mesh.GetNumberOfTriangles() > UINT32_MAX) {
                why = "binary STL holds at most 4294967295 triangles";
                return false;
            }
            return EveryPointSurvives(mesh, "binary STL stores 32-bit floats", ThroughFloat, why);
        case MeshFormat::ThreeMf: return ThreeMfHoldsMesh(mesh, why);
        default: return EveryPointSurvives(mesh, MeshFormatName(format), ThroughDouble, why);
    }
}

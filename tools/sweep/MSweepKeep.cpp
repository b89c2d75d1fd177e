// The inputs of a case that is not sound, written so that a person can
// repeat it with the command-line tool.
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "MCutter.h"
#include "host/MStlBase.h"
#include "host/MStlIO.h"
#include "tools/sweep/MSweepCases.h"
#include "tools/sweep/MSweepText.h"

namespace meshcut_sweep {
namespace {

namespace fs = std::filesystem;

// Letters, digits, '.', '-' and '_' as they are; anything else as '_'.
std::string SafeName(const std::string& name) {
    std::string safe = name;
    for (char& c : safe)
        if (!std::isalnum((unsigned char)c) && c != '.' && c != '-' && c != '_') c = '_';
    return safe;
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string Coordinate(long v, double g) {
    if (v == MCutter::kPlusInfinity) return "inf";
    if (v == MCutter::kMinusInfinity) return "-inf";
    return UnitsText(double(v), g);
}

std::string PolygonText(const SweepCase& s, double g) {
    std::string text;
    for (size_t i = 0; i < s.contours.size(); ++i) {
        if (i) text += "\n";
        for (const ProfilePoint2& p : s.contours[i]) text += Coordinate(p.x, g) + " " + Coordinate(p.y, g) + "\n";
    }
    return text;
}

bool WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return bool(out);
}

bool WriteObj(const fs::path& path, const MStlBase& mesh) {
    std::string error;
    return WriteMesh(path.string(), mesh, MeshFormat::Obj, error);
}

struct KeepPaths {
    fs::path mesh, polygon, body, outputs;
    std::string Out(const std::string& role) const { return Quote(outputs.string() + "-" + role + ".obj"); }
};

std::string PlaneOption(const SweepCase& s) {
    return "--plane=" + Number(s.plane[0]) + "," + Number(s.plane[1]) + "," + Number(s.plane[2]) + "," + Number(s.plane[3]);
}

std::string Command(const SweepCase& s, const KeepPaths& p, double g) {
    const std::string mesh = Quote(p.mesh.string()), body = Quote(p.body.string());
    std::ostringstream c;
    c << "meshcut ";
    if (g != 1000.0) c << "--grid=" << Number(1.0 / g) << " ";
    switch (s.op) {
    case Operation::kPlane:
        c << "plane " << mesh << " " << PlaneOption(s) << " --below " << p.Out("below") << " --above " << p.Out("above");
        break;
    case Operation::kProfile:
    case Operation::kPolyline:
        c << (s.op == Operation::kProfile ? "profile " : "polyline ") << mesh
          << (s.op == Operation::kProfile ? " --polygon " : " --polyline ") << Quote(p.polygon.string());
        if (s.depthCut) c << " --depth=" << UnitsText(double(s.depth), g);
        if (s.round) c << " --round=" << UnitsText(double(s.round), g);
        if (s.clearanceInside) c << " --clearance-inside=" << UnitsText(double(s.clearanceInside), g);
        if (s.clearanceOutside) c << " --clearance-outside=" << UnitsText(double(s.clearanceOutside), g);
        c << " --inside " << p.Out("inside") << " --outside " << p.Out("outside");
        break;
    case Operation::kHalvesPlane:
    case Operation::kHalvesCutter:
        c << "halves " << mesh << " " << (s.op == Operation::kHalvesPlane ? PlaneOption(s) : "--cutter " + body)
          << " --inside " << p.Out("inside") << " --outside " << p.Out("outside");
        break;
    case Operation::kFrame:
        c << "frame " << mesh << " --origin=" << CommaTriple(s.frame[0]) << " --u=" << CommaTriple(s.frame[1])
          << " --v=" << CommaTriple(s.frame[2]) << " --above " << p.Out("above") << " --below " << p.Out("below")
          << " --uncut " << p.Out("uncut") << " --unclassified " << p.Out("unclassified");
        break;
    case Operation::kUndercut:
        c << "undercut " << mesh << " --direction=" << CommaTriple(s.direction) << " --cell=" << UnitsText(double(s.cell), g);
        if (s.draft > 0) c << " --draft=" << Number(s.draft);
        c << " --out " << p.Out("solid");
        break;
    case Operation::kTrim:
        c << "trim " << mesh << " " << body << " --keep " << (s.keepOutside ? "outside" : "inside") << " --out "
          << p.Out("kept");
        break;
    case Operation::kSelfTrim: c << "self-trim " << mesh << " --out " << p.Out("trimmed"); break;
    case Operation::kBooleanUndercut:
        c << "boolean-undercut " << (s.meshIsUpper ? mesh + " " + body : body + " " + mesh) << " --out-upper "
          << p.Out("upper") << " --out-lower " << p.Out("lower") << (s.upward ? " --upward" : "")
          << " --offset=" << Number(s.offset);
        break;
    }
    return c.str();
}

bool UsesBody(Operation op) {
    return op == Operation::kHalvesCutter || op == Operation::kTrim || op == Operation::kBooleanUndercut;
}

}  // namespace

std::string KeepAnswer(const SweepMesh& mesh, const SweepCase& sweepCase, double stepsPerUnit, const std::string& folder,
                       const std::string& verdictLine) {
    std::error_code error;
    const fs::path root = fs::absolute(folder, error);
    fs::create_directories(root / "out", error);
    if (error) return {};
    const std::string stem = SafeName(mesh.name) + "-" + OperationName(sweepCase.op) + "-" + std::to_string(sweepCase.number);
    KeepPaths paths;
    paths.mesh = root / (SafeName(mesh.name) + ".obj");
    paths.polygon = root / (stem + ".polygon.txt");
    paths.body = root / (stem + "-body.obj");
    paths.outputs = root / "out" / stem;
    if (!fs::exists(paths.mesh)) {
        MStlBase model;
        BuildMesh(mesh, model);
        if (!WriteObj(paths.mesh, model)) return {};
    }
    if (!sweepCase.contours.empty() && !WriteText(paths.polygon, PolygonText(sweepCase, stepsPerUnit))) return {};
    if (UsesBody(sweepCase.op)) {
        MStlBase body;
        BuildBody(sweepCase.body, body);
        if (!WriteObj(paths.body, body)) return {};
    }
    const fs::path command = root / (stem + ".txt");
    if (!WriteText(command, "# " + verdictLine + "\n" + Command(sweepCase, paths, stepsPerUnit) + "\n")) return {};
    return command.string();
}

}  // namespace meshcut_sweep

// meshcut zones and meshcut extrude: the shell functions on plain triangle
// surfaces.
#include <sys/stat.h>

#include <memory>

#include "MGeometryFunctions.h"
#include "host/MStlBase.h"
#include "tools/MCommands.h"

namespace meshcut_cli {
namespace {

using namespace QelSDK::Geometry;

struct ZonesArgs {
    std::string input, prefix;
    std::vector<std::string> zones;
    bool ascii = false;
};

bool IsFolder(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Output k (from 0) holds zone k + 1; the last one the shells of no zone.
std::string ZonePath(const std::string& prefix, size_t k, size_t zones) {
    return prefix + (k == zones ? std::string("rest") : std::to_string(k + 1)) + ".stl";
}
std::string ZoneRole(size_t k, size_t zones) { return k == zones ? "rest" : "zone " + std::to_string(k + 1); }

// Every zone file is one zone, labelled by its place on the command line from 1.
bool LoadZones(Job& job, const ZonesArgs& a, triangle_surface& zones, std::vector<unsigned short>& labels) {
    for (size_t k = 0; k < a.zones.size(); ++k) {
        MStlBase zoneMesh;
        if (!job.Load("zone " + std::to_string(k + 1), a.zones[k], zoneMesh)) return false;
        const triangle_surface zone = convert(zoneMesh);
        const uint64_t offset = zones.vertices.size();
        zones.vertices.insert(zones.vertices.end(), zone.vertices.begin(), zone.vertices.end());
        for (const triangle& t : zone.triangles) zones.triangles.push_back({t[0] + offset, t[1] + offset, t[2] + offset});
        labels.insert(labels.end(), zone.triangles.size(), static_cast<unsigned short>(k + 1));
    }
    return true;
}

int RunZones(Job& job, const ZonesArgs& a) {
    if (a.prefix.empty()) return job.Fail("--out-prefix is empty");
    if (IsFolder(a.prefix))
        return job.Fail("--out-prefix '" + a.prefix + "' is a folder; give a file name prefix such as '" + a.prefix +
                        "/part_'");
    if (a.zones.size() >= no_zone) return job.Fail("too many --zone files");
    std::vector<std::pair<std::string, std::string>> outputs;
    for (size_t k = 0; k <= a.zones.size(); ++k)
        outputs.emplace_back(ZoneRole(k, a.zones.size()), ZonePath(a.prefix, k, a.zones.size()));
    if (!job.PlanOutputs(outputs, a.ascii)) return job.Status();
    MStlBase mesh;
    triangle_surface zones;
    std::vector<unsigned short> labels;
    if (!job.Load("input", a.input, mesh) || !LoadZones(job, a, zones, labels)) return job.Status();

    job.Start("zones");
    int code = 0;
    const std::vector<triangle_surface> parts = multi_cut_and_split_shells(convert(mesh), zones, labels, &code);
    job.Stop();
    job.SetResultCode(code);
    if (code != 0)
        return job.Fail("cutting the mesh along the zones failed (code " + std::to_string(code) + "); " +
                        (code == 3 ? "the mesh or the zones cross themselves, or the zone surfaces cross each "
                                     "other in too many places"
                                   : "zones and mesh must be free of self-intersections and degenerate triangles"));
    if (parts.size() != a.zones.size() + 1) return job.Fail("the zones could not be told apart");
    std::vector<std::unique_ptr<MStlBase>> meshes;
    for (size_t k = 0; k < parts.size(); ++k) {
        meshes.push_back(parts[k].triangles.empty() ? nullptr : convert(parts[k], true));
        if (!parts[k].triangles.empty() && !meshes.back()) return job.Fail("a part does not fit the grid");
        job.SetOutput(ZoneRole(k, a.zones.size()), meshes.back().get(), Promise::kNothing);
    }
    return job.Finish();
}

const char* const kZonesHelp =
    "Every --zone file is a zone surface, numbered 1, 2, ... in the order given. The mesh is\n"
    "first cut by the zones: along an open zone (a sheet) its shells are cut apart, and a closed\n"
    "zone removes what lies inside it. Then every shell goes to the zone it lies in front of\n"
    "(the side the zone's triangles face, seen from the shell's centroid at its nearest zone\n"
    "point); where several zones claim a shell the later one wins. Writes PREFIX1.stl,\n"
    "PREFIX2.stl, ... for the zones and PREFIXrest.stl for the shells no zone claims; an empty\n"
    "part is reported and not written.";

struct ExtrudeArgs {
    std::string input, output, thickness;
    bool ascii = false;
};

int RunExtrude(Job& job, const ExtrudeArgs& a) {
    std::string error;
    double thickness = 0.0;
    long steps = 0;
    if (!ParseNumber(a.thickness, "--thickness", thickness, error) || !ToInternal(thickness, steps, error))
        return job.Fail(error);
    // Below two grid steps both copies would round onto the surface itself.
    if (steps < 2) return job.Fail("--thickness must be at least two grid steps (2 x " + GridStepText() + ")");
    if (!job.PlanOutputs({{"shell", a.output}}, a.ascii)) return job.Status();
    MStlBase mesh;
    if (!job.Load("input", a.input, mesh)) return job.Status();
    job.Start("extrude");
    const triangle_surface shell = simple_extrude(convert(mesh), thickness, nullptr);
    const auto result = convert(shell, true);
    job.Stop();
    if (!result) return job.Fail("the thickened surface does not fit the grid");
    const MeshReport& input = job.InputReport("input");
    // An open, oriented, manifold surface gives a closed shell.
    job.SetOutput("shell", result.get(), input.oriented && input.nonManifoldEdges == 0 ? Promise::kClosed : Promise::kNothing);
    return job.Finish();
}

const char* const kExtrudeHelp =
    "Moves the surface by half the thickness along its vertex normals (the side its triangles\n"
    "face), adds a reversed copy moved the other way, and joins the two along the open border\n"
    "with walls. An open, consistently oriented surface gives a closed shell; a closed one gives\n"
    "two nested shells.";

}  // namespace

void AddZonesCommands(CLI::App& app, CommandList& commands) {
    static ZonesArgs zones;
    auto* cmd = app.add_subcommand("zones", "cut a mesh by zone surfaces and split its shells into one file per zone");
    AddInput(cmd, "input", zones.input, "mesh file");
    cmd->add_option("--zone", zones.zones, "zone surface (repeat for more zones)")->type_name("FILE")->required();
    cmd->add_option("--out-prefix", zones.prefix, "write PREFIX<zone>.stl and PREFIXrest.stl")
        ->type_name("PREFIX")
        ->required();
    AddAscii(cmd, zones.ascii);
    cmd->footer(kZonesHelp);
    commands.push_back({cmd, [](Job& job) { return RunZones(job, zones); }});

    static ExtrudeArgs extrude;
    cmd = app.add_subcommand("extrude", "thicken a surface into a closed shell");
    AddInput(cmd, "input", extrude.input, "mesh file");
    AddNumber(cmd, "--thickness", extrude.thickness, "shell thickness in units", "T")->required();
    AddOutput(cmd, "--out", extrude.output, "write the shell here")->required();
    AddAscii(cmd, extrude.ascii);
    cmd->footer(kExtrudeHelp);
    commands.push_back({cmd, [](Job& job) { return RunExtrude(job, extrude); }});
}

}  // namespace meshcut_cli

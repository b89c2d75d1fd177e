// meshcut zones: splits a mesh's shells by zone surfaces, one file per zone.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "MGeometryFunctions.h"
#include "host/MStlBase.h"
#include "tools/MCommandLine.h"
#include "tools/MCommands.h"

namespace meshcut_cli {
namespace {

using namespace QelSDK::Geometry;

struct ZonesArgs {
    std::string input, prefix;
    std::vector<std::string> zones;
    bool ascii = false;
};

int RunZones(const ZonesArgs& a) {
    std::string error;
    if (a.prefix.empty()) return Fail("--out-prefix is empty");
    if (a.zones.size() >= no_zone) return Fail("too many --zone files");
    MStlBase mesh;
    if (!Load(a.input, mesh, error)) return Fail(error);
    const triangle_surface surface = convert(mesh);
    // Every zone file is one zone, labelled by its place on the command line from 1.
    triangle_surface zones;
    std::vector<unsigned short> labels;
    for (size_t k = 0; k < a.zones.size(); ++k) {
        MStlBase zoneMesh;
        if (!Load(a.zones[k], zoneMesh, error)) return Fail(error);
        const triangle_surface zone = convert(zoneMesh);
        const uint64_t offset = zones.vertices.size();
        zones.vertices.insert(zones.vertices.end(), zone.vertices.begin(), zone.vertices.end());
        for (const triangle& t : zone.triangles) zones.triangles.push_back({t[0] + offset, t[1] + offset, t[2] + offset});
        labels.insert(labels.end(), zone.triangles.size(), static_cast<unsigned short>(k + 1));
    }
    const auto start = std::chrono::steady_clock::now();
    int code = 0;
    const std::vector<triangle_surface> parts = multi_cut_and_split_shells(surface, zones, labels, &code);
    const double seconds = Seconds(start);
    if (code != 0)
        return Fail("cutting the mesh along the zones failed (code " + std::to_string(code) +
                    "); zones and mesh must be free of self-intersections and degenerate triangles");
    if (parts.size() != a.zones.size() + 1) return Fail("the zones could not be told apart");

    // Output k (from 0) holds zone k + 1, the last one the shells of no zone.
    std::vector<std::unique_ptr<MStlBase>> meshes;
    std::vector<Output> outputs;
    std::vector<std::string> names;
    for (size_t k = 0; k < parts.size(); ++k) {
        const bool rest = k + 1 == parts.size();
        const std::string path = a.prefix + (rest ? std::string("rest") : std::to_string(k + 1)) + ".stl";
        const std::string what = rest ? std::string("no zone") : "zone " + std::to_string(k + 1);
        if (parts[k].triangles.empty()) {
            std::cerr << "meshcut: warning: "
                      << (rest ? std::string("a zone claims every shell") : what + " claims no shell") << "; " << path
                      << " not written\n";
            continue;
        }
        meshes.push_back(convert(parts[k], true));
        if (!meshes.back()) return Fail("a part does not fit the grid");
        outputs.push_back({path, meshes.back().get()});
        names.push_back(what);
    }
    if (outputs.empty()) return Fail("nothing is left once the zones are cut away; nothing written");
    if (!WriteAll(outputs, a.ascii, error)) return Fail(error);
    std::cout << "input: " << Describe(mesh) << "\n";
    for (size_t k = 0; k < outputs.size(); ++k)
        std::cout << names[k] << ": " << Describe(*outputs[k].mesh) << " -> " << outputs[k].path << "\n";
    std::printf("cut and split by %zu zone file%s in %.3f s\n", a.zones.size(), a.zones.size() == 1 ? "" : "s",
                seconds);
    return 0;
}

const char* const kZonesHelp =
    "Every --zone file is a zone surface, numbered 1, 2, ... in the order given. The mesh is\n"
    "first cut by the zones: along an open zone (a sheet) its shells are cut apart, and a closed\n"
    "zone removes what lies inside it. Then every shell goes to the zone it lies in front of\n"
    "(the side the zone's triangles face, seen from the shell's centroid at its nearest zone\n"
    "point); where several zones claim a shell the later one wins. Writes PREFIX1.stl,\n"
    "PREFIX2.stl, ... for the zones and PREFIXrest.stl for the shells no zone claims; an empty\n"
    "part is reported and not written.";

}  // namespace

void AddZonesCommand(CLI::App& app, int& result) {
    static ZonesArgs args;
    auto* cmd = app.add_subcommand("zones", "cut a mesh by zone surfaces and split its shells into one file per zone");
    cmd->add_option("input", args.input, "mesh file (.stl or .obj)")->required();
    cmd->add_option("--zone", args.zones, "zone surface (repeat for more zones)")->type_name("FILE")->required();
    cmd->add_option("--out-prefix", args.prefix, "write PREFIX<zone>.stl and PREFIXrest.stl")
        ->type_name("PREFIX")
        ->required();
    cmd->add_flag("--ascii", args.ascii, "write STL files as ASCII");
    cmd->footer(kZonesHelp);
    cmd->callback([&result] { result = RunZones(args); });
}

}  // namespace meshcut_cli

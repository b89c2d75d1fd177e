// meshcut extrude: thickens an open surface into a closed shell.
#include <cmath>
#include <iostream>
#include <string>

#include "MGeometryFunctions.h"
#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "tools/MCommandLine.h"
#include "tools/MCommands.h"

namespace meshcut_cli {
namespace {

struct ExtrudeArgs {
    std::string input, output;
    double thickness = 0.0;
    bool ascii = false;
};

int RunExtrude(const ExtrudeArgs& a) {
    // Below two grid steps both copies would round onto the surface itself.
    if (!(a.thickness >= 0.002) || !std::isfinite(a.thickness))
        return Fail("--thickness must be a length of at least 0.002 units");
    std::string error;
    MStlBase mesh;
    if (!Load(a.input, mesh, error)) return Fail(error);
    // Degenerate triangles have no normal to move along: a surface made only
    // of them would come back as a "closed" shell of zero volume.
    bool hasArea = false;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle() && !hasArea; ++it) hasArea = !it->IsZeroArea();
    if (!hasArea) return Fail("the surface has no area (every triangle is degenerate); nothing written");
    const auto start = std::chrono::steady_clock::now();
    const QelSDK::Geometry::triangle_surface shell =
        QelSDK::Geometry::simple_extrude(QelSDK::Geometry::convert(mesh), a.thickness, nullptr);
    const auto result = QelSDK::Geometry::convert(shell, true);
    const double seconds = Seconds(start);
    if (!result) return Fail("the thickened surface does not fit the grid (about +-2147483 units)");
    if (!WriteAll({{a.output, result.get()}}, a.ascii, error)) return Fail(error);
    std::cout << "input: " << Describe(mesh) << "\n";
    std::cout << "shell: " << Describe(*result) << " -> " << a.output << "\n";
    const MeshReport report = CheckMesh(*result);
    if (!report.closed || !report.oriented)
        std::cerr << "meshcut: warning: the shell is not closed and oriented; is the input an orientable surface "
                     "without non-manifold edges?\n";
    std::printf("extruded in %.3f s\n", seconds);
    return 0;
}

const char* const kExtrudeHelp =
    "Moves the surface by half the thickness along its vertex normals (the side its triangles\n"
    "face), adds a reversed copy moved the other way, and joins the two along the open border\n"
    "with walls. An open, consistently oriented surface gives a closed shell; a closed one gives\n"
    "two nested shells.";

}  // namespace

void AddExtrudeCommand(CLI::App& app, int& result) {
    static ExtrudeArgs args;
    auto* cmd = app.add_subcommand("extrude", "thicken a surface into a closed shell");
    cmd->add_option("input", args.input, "mesh file (.stl or .obj)")->required();
    cmd->add_option("--thickness", args.thickness, "shell thickness in units")->type_name("T")->required();
    cmd->add_option("--out", args.output, "write the shell here")->type_name("FILE")->required();
    cmd->add_flag("--ascii", args.ascii, "write STL files as ASCII");
    cmd->footer(kExtrudeHelp);
    cmd->callback([&result] { result = RunExtrude(args); });
}

}  // namespace meshcut_cli

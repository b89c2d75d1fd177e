// meshcut self-trim: cuts a mesh's triangles along the lines where they
// cross each other, so that crossing surfaces meet along shared edges.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>

#include "MStlBaseOperatorTrimTriangles.h"
#include "host/MStlBase.h"
#include "tools/MCommandLine.h"
#include "tools/MCommands.h"

namespace meshcut_cli {
namespace {

struct SelfTrimArgs {
    std::string input, output;
    bool ascii = false;
};

int RunSelfTrim(const SelfTrimArgs& a) {
    MStlBase mesh;
    std::string error;
    if (!Load(a.input, mesh, error)) return Fail(error);
    const std::string inputSummary = Describe(mesh);

    MDataMaskBits<MStlTriangle> selection(mesh);
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) selection.Set(*it);
    QelSDK::MStlBaseOperatorTrimTriangles trim;
    trim.SetStl(mesh, selection);
    trim.SetMode(QelSDK::MStlBaseOperatorTrimTriangles::eSelectedWithAll);
    auto progress = std::make_shared<TerminalProgress>();
    const auto start = std::chrono::steady_clock::now();
    const auto code = trim.Operate(progress);
    const double seconds = Seconds(start);
    progress->Finish();
    if (code == QelSDK::MStlBaseOperatorTrimTriangles::eCancelled || progress->IsCancelled())
        return std::cerr << "meshcut: interrupted, nothing written\n", kInterrupted;
    if (code != QelSDK::MStlBaseOperatorTrimTriangles::eDone)
        return Fail("the trim failed (code " + std::to_string(int(code)) + ")");
    if (!WriteAll({{a.output, &mesh}}, a.ascii, error)) return Fail(error);
    std::cout << "input: " << inputSummary << "\n";
    std::cout << "cut " << trim.GetNumberOfTrimmedTriangles() << " triangles into " << trim.GetNumberOfNewTriangles()
              << " pieces\n";
    std::cout << "output: " << Describe(mesh) << " -> " << a.output << "\n";
    std::printf("trimmed in %.3f s\n", seconds);
    return 0;
}

const char* const kSelfTrimHelp =
    "Finds every pair of triangles of the mesh that cross each other (exact integer tests)\n"
    "and replaces each crossed triangle by pieces that follow all the cut lines through it,\n"
    "on both sides. Nothing is removed: where two surfaces of the mesh passed through each\n"
    "other they now meet along shared points and edges. New points lie on the grid within\n"
    "two steps (0.002 units) of both surfaces. A mesh without crossings is written unchanged.";

}  // namespace

void AddSelfTrimCommand(CLI::App& app, int& result) {
    static SelfTrimArgs args;
    auto* cmd = app.add_subcommand("self-trim", "cut a mesh's triangles along the lines where they cross each other");
    cmd->add_option("input", args.input, "mesh file (.stl or .obj)")->required();
    cmd->add_option("--out", args.output, "write the trimmed mesh here")->type_name("FILE")->required();
    cmd->add_flag("--ascii", args.ascii, "write STL files as ASCII");
    cmd->footer(kSelfTrimHelp);
    cmd->callback([&result] { result = RunSelfTrim(args); });
}

}  // namespace meshcut_cli

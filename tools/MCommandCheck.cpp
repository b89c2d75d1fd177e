// meshcut check and meshcut generate.
#include <algorithm>
#include <cmath>
#include <iostream>

#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "tools/MCommands.h"

namespace meshcut_cli {
namespace {

int RunCheck(Job& job, const std::string& input) {
    MStlBase mesh;
    if (!job.Load("input", input, mesh)) return job.Status();
    const MeshReport& report = job.InputReport("input");
    const bool sound = report.closed && report.oriented;
    if (!job.Quiet() && !job.Json())
        std::cout << FormatReport(report) << (sound ? "" : "faults: " + DescribeFaults(report) + "\n");
    return job.FinishWithoutOutput(sound ? kSuccess : kNotClosed);
}

struct GenerateArgs {
    std::string shape, output, triangles = "20000", size = "50";
    bool ascii = false;
};

int RunGenerate(Job& job, const GenerateArgs& a) {
    std::string error;
    uint64_t triangles = 0;
    double size = 0.0;
    long diameter = 0;
    if (!ParseCount(a.triangles, "--triangles", 12, 50'000'000, triangles, error)) return job.Fail(error);
    if (!ParseNumber(a.size, "--size", size, error)) return job.Fail(error);
    if (!(size > 0.0) || !ToInternal(size * 2.0, diameter, error) || diameter < 2000)
        return job.Fail("--size must be at least 1000 grid steps and fit the coordinate range twice over");
    if (!job.PlanOutputs({{a.shape, a.output}}, a.ascii)) return job.Status();
    const double r = double(diameter) / 2.0;
    MStlBase mesh;
    if (a.shape == "sphere") {
        GenerateSphere(mesh, r, triangles);
    } else if (a.shape == "torus") {
        GenerateTorus(mesh, r, r / 3.0, triangles);
    } else {
        const int n = std::max(1, int(std::sqrt(double(triangles) / 12.0)));
        const long h = long(r);
        GenerateBox(mesh, {-h, -h, -h}, {h, h, h}, n);
    }
    job.SetOutput(a.shape, &mesh, Promise::kClosed);
    return job.Finish();
}

}  // namespace

void AddCheckCommands(CLI::App& app, CommandList& commands) {
    static std::string input;
    auto* cmd = app.add_subcommand("check", "report triangles, open and non-manifold edges, orientation, shells, "
                                            "volume; exit status 2 when not closed and oriented");
    AddInput(cmd, "input", input, "mesh file");
    commands.push_back({cmd, [](Job& job) { return RunCheck(job, input); }});

    static GenerateArgs gen;
    cmd = app.add_subcommand("generate", "write a closed sample mesh");
    cmd->add_option("shape", gen.shape, "sphere, torus or box")->required()->check(CLI::IsMember({"sphere", "torus", "box"}));
    AddOutput(cmd, "output", gen.output, "output mesh file")->required();
    cmd->add_option("--triangles", gen.triangles, "approximate number of triangles (default 20000)")->type_name("N");
    AddNumber(cmd, "--size", gen.size, "radius or half width in units (default 50)", "R");
    AddAscii(cmd, gen.ascii);
    commands.push_back({cmd, [](Job& job) { return RunGenerate(job, gen); }});
}

}  // namespace meshcut_cli

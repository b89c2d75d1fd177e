// meshcut trim and meshcut self-trim: the exact triangle trimming engine.
#include <sstream>

#include "MStlBaseOperatorTrimStlToStl.h"
#include "MStlBaseOperatorTrimTriangles.h"
#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MStlIO.h"
#include "tools/MCommands.h"

namespace meshcut_cli {
namespace {

struct TrimArgs {
    std::string input, tool, output, keep = "inside", border;
    bool ascii = false;
};

// The cut polylines as text: "closed" or "open", then one "x y z" line per
// point; a blank line between polylines.
std::string BorderText(const MStlSurfaceBorder& border, size_t& count, size_t& closed) {
    std::ostringstream out;
    out.precision(12);
    const double unit = QelSDK::Common::MInternalUnits::GetInverse();
    count = closed = 0;
    for (const MStlSurfaceBorderContour& contour : border.contours) {
        std::vector<MStlPoint*> points = contour.points;
        if (contour.closed && points.size() > 1 && points.front() == points.back()) points.pop_back();
        if (points.empty()) continue;
        out << (count++ ? "\n" : "") << (contour.closed ? "closed" : "open") << "\n";
        closed += contour.closed;
        for (const MStlPoint* p : points) out << p->GetX() * unit << " " << p->GetY() * unit << " " << p->GetZ() * unit << "\n";
    }
    return out.str();
}

int RunTrim(Job& job, const TrimArgs& a) {
    if (!job.PlanOutputs({{"kept", a.output}}, a.ascii) || !job.PlanTextOutput("border", a.border)) return job.Status();
    MStlBase mesh, tool;
    if (!job.Load("input", a.input, mesh) || !job.Load("tool", a.tool, tool, true)) return job.Status();
    // The trim keeps the side below the tool's surface; with the tool turned
    // inside out that is the side outside it.
    if (a.keep == "outside") tool.Invert();

    MStlBaseOperatorTrimStlToStl trim;
    trim.SetStl(0, &mesh, true, !a.border.empty());
    trim.SetStl(1, &tool, false, false);
    job.Start("trim");
    const bool ok = trim.Operate();
    job.Stop();
    if (!ok) {
        // The failed trim has changed the mesh: the input is read again to
        // tell whether it crosses itself (not possible from standard input).
        MStlBase input;
        std::string error;
        const bool again = a.input != kStandardStream && ReadMesh(a.input, input, error);
        return job.Fail("the trim failed: the trimmed surface came out with edges used by more than two triangles "
                        "or run the same way twice" + (again ? Crossings("input mesh", input) : std::string()) +
                        Crossings("tool", tool) + "; nothing was written");
    }
    if (mesh.GetNumberOfTriangles() == 0)
        return job.Fail("nothing of " + a.input + " lies " + a.keep + " " + a.tool + "; nothing written");
    if (!a.border.empty()) {
        const MStlSurfaceBorder* border = trim.GetIntersectionBorder(0);
        size_t count = 0, closed = 0;
        job.SetTextOutput("border", border ? BorderText(*border, count, closed) : std::string());
        job.Note("border: " + std::to_string(count) + " polylines, " + std::to_string(closed) + " closed -> " + a.border);
    }
    job.SetOutput("kept", &mesh, Promise::kNothing);
    return job.Finish();
}

const char* const kTrimHelp =
    "Trims the surface of A against the closed, outward-oriented mesh B and keeps the part of\n"
    "A's surface inside B (--keep inside, the default) or outside B (--keep outside). The kept\n"
    "part is written as it is: an open surface, not closed at the cut.\n"
    "Border file (--border): the cut polylines on A as text, in model units. Each polyline\n"
    "starts with a line \"closed\" or \"open\", followed by one \"x y z\" line per point; a blank\n"
    "line separates polylines. A closed polyline's last point joins its first. Example:\n"
    "  closed\n  10 0 0\n  0 10 0\n  -10 0 0\n  0 -10 0\n";

struct SelfTrimArgs {
    std::string input, output;
    bool ascii = false;
};

int RunSelfTrim(Job& job, const SelfTrimArgs& a) {
    if (!job.PlanOutputs({{"output", a.output}}, a.ascii)) return job.Status();
    MStlBase mesh;
    if (!job.Load("input", a.input, mesh)) return job.Status();
    MDataMaskBits<MStlTriangle> selection(mesh);
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) selection.Set(*it);
    QelSDK::MStlBaseOperatorTrimTriangles trim;
    trim.SetStl(mesh, selection);
    trim.SetMode(QelSDK::MStlBaseOperatorTrimTriangles::eSelectedWithAll);
    job.Start("trim");
    const auto code = trim.Operate(job.Progress());
    job.Stop();
    job.SetResultCode(code);
    if (code == QelSDK::MStlBaseOperatorTrimTriangles::eCancelled || job.Cancelled()) return job.Interrupted();
    if (code == QelSDK::MStlBaseOperatorTrimTriangles::eOpened)
        return job.Fail("the crossings could not all be cut exactly: the trimmed mesh came out with open or "
                        "inconsistent edges (code 4); nothing was written");
    if (code != QelSDK::MStlBaseOperatorTrimTriangles::eDone)
        return job.Fail("the trim failed (code " + std::to_string(int(code)) + ")");
    job.Note("cut " + std::to_string(trim.GetNumberOfTrimmedTriangles()) + " triangles into " +
             std::to_string(trim.GetNumberOfNewTriangles()) + " pieces");
    // Cutting triangles where they cross opens no edge: crossing surfaces
    // then meet along shared, non-manifold edges.
    const MeshReport& input = job.InputReport("input");
    job.SetOutput("output", &mesh, input.boundaryEdges == 0 && input.oriented ? Promise::kNoOpenEdge : Promise::kNothing);
    return job.Finish();
}

const char* const kSelfTrimHelp =
    "Finds every pair of triangles of the mesh that cross each other (exact integer tests)\n"
    "and replaces each crossed triangle by pieces that follow all the cut lines through it,\n"
    "on both sides. Nothing is removed: where two surfaces of the mesh passed through each\n"
    "other they now meet along shared points and edges. New points lie on the grid within\n"
    "two steps of both surfaces. A mesh without crossings is written unchanged.";

}  // namespace

void AddTrimCommands(CLI::App& app, CommandList& commands) {
    static TrimArgs trim;
    auto* cmd = app.add_subcommand("trim", "trim the surface of mesh A against mesh B, keeping the part inside or "
                                           "outside B, and optionally write the cut polylines");
    AddInput(cmd, "a", trim.input, "mesh to trim");
    AddInput(cmd, "b", trim.tool, "closed mesh to trim against");
    AddOutput(cmd, "--out", trim.output, "write the kept part of A here")->required();
    cmd->add_option("--keep", trim.keep, "inside (default) or outside: the part of A to keep")
        ->check(CLI::IsMember({"inside", "outside"}));
    cmd->add_option("--border", trim.border, "write the cut polylines here (format below)")->type_name("FILE");
    AddAscii(cmd, trim.ascii);
    cmd->footer(kTrimHelp);
    commands.push_back({cmd, [](Job& job) { return RunTrim(job, trim); }});

    static SelfTrimArgs self;
    cmd = app.add_subcommand("self-trim", "cut a mesh's triangles along the lines where they cross each other");
    AddInput(cmd, "input", self.input, "mesh file");
    AddOutput(cmd, "--out", self.output, "write the trimmed mesh here")->required();
    AddAscii(cmd, self.ascii);
    cmd->footer(kSelfTrimHelp);
    commands.push_back({cmd, [](Job& job) { return RunSelfTrim(job, self); }});
}

}  // namespace meshcut_cli

// meshcut halves and meshcut frame: a closed mesh split by a plane, a mesh or
// a polyline, or cut within a rectangle.
#include "MUserOperatorCutIntoHalves.h"
#include "MUserOperatorStlCutWithFrame.h"
#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "tools/MCommands.h"

#include <array>

namespace meshcut_cli {
namespace {

struct HalvesArgs {
    std::string input, plane, cutter, polyline, direction = "0,0,1", inside, outside;
    bool ascii = false;
};

// The rotation taking +z to `direction` along the shortest arc: a polyline
// drawn in x-y is then seen along the direction, and along +z it stays as
// drawn.
MMTransformMatrix ViewAlong(const MMVector3d& direction) {
    const MMVector3d d = direction / direction.Length();
    MMTransformMatrix m;
    if (d[2] < -1.0 + 1e-12) {
        m(1, 1) = -1.0;  // half a turn about x
        m(2, 2) = -1.0;
        return m;
    }
    // Rodrigues' formula for the axis z × d, written without the angle.
    const double c = d[2], k = 1.0 / (1.0 + c);
    const double ax = -d[1], ay = d[0];
    m(0, 0) = c + ax * ax * k, m(0, 1) = ax * ay * k, m(0, 2) = ay;
    m(1, 0) = ax * ay * k, m(1, 1) = c + ay * ay * k, m(1, 2) = -ax;
    m(2, 0) = -ay, m(2, 1) = ax, m(2, 2) = c;
    return m;
}

// Sets the cutting element; a cutting mesh is loaded through the job.
bool SetCuttingElement(Job& job, const HalvesArgs& a, MUserOperatorCutIntoHalves& op, MStlBase& cutter,
                       std::string& error) {
    if (!a.plane.empty()) {
        MMPlaneEq<double> eq;
        if (!ParsePlane(a.plane, eq, error)) return false;
        // The operator takes the plane in model units, as origin and normal.
        const MMVector3d n = eq.GetNormal();
        const double units = QelSDK::Common::MInternalUnits::Get();
        op.SetCuttingPlane(MMPlane(n * (-eq.D() / n.Dot(n) / units), n));
        return true;
    }
    if (!a.cutter.empty()) {
        if (!job.Load("cutter", a.cutter, cutter, true)) return false;
        op.SetCuttingModel(cutter, MMTransformMatrix());
        return true;
    }
    MMVector3d direction;
    if (!ParseVector(a.direction, "--direction", direction, error)) return false;
    if (!(direction.Length() > 0.0)) return error = "--direction must not be zero", false;
    std::vector<MMVector<double, 2>> points;
    if (!ReadPolyline(a.polyline, points, error)) return false;
    std::vector<MMVector<long, 2>> polyline;  // the file's points come in grid steps already
    for (const auto& p : points) polyline.push_back({long(p[0]), long(p[1])});
    op.SetCuttingPolyline(polyline, ViewAlong(direction));
    return true;
}

int RunHalves(Job& job, const HalvesArgs& a) {
    if (a.inside.empty() && a.outside.empty()) return job.Fail("nothing to write: give --inside and/or --outside");
    if (int(!a.plane.empty()) + int(!a.cutter.empty()) + int(!a.polyline.empty()) != 1)
        return job.Fail("give exactly one of --plane, --cutter or --polyline");
    if (!job.PlanOutputs({{"inside", a.inside}, {"outside", a.outside}}, a.ascii)) return job.Status();
    std::string error;
    MUserOperatorCutIntoHalves op;
    MStlBase cutter, mesh;
    if (!SetCuttingElement(job, a, op, cutter, error)) return error.empty() ? job.Status() : job.Fail(error);
    if (!job.Load("input", a.input, mesh, true)) return job.Status();
    op.SetSourceModel(mesh);
    job.Start("cut");
    const auto code = op.Operate();
    job.Stop();
    job.SetResultCode(code);
    switch (code) {
    case MUserOperatorCutIntoHalves::eResultOk: break;
    case MUserOperatorCutIntoHalves::eTooFewPolylinePoints: return job.Fail(a.polyline + ": the polyline needs three points");
    case MUserOperatorCutIntoHalves::eSelfIntersectingPolyline: return job.Fail(a.polyline + ": the polyline crosses itself");
    default: {
        std::string where;
        if (!a.cutter.empty()) where = Crossings("input mesh", mesh) + Crossings("cutter", cutter);
        return job.Fail("the cut failed (code " + std::to_string(int(code)) +
                        "); the mesh and the cutter must be closed and free of self-intersections" + where +
                        "; nothing written");
    }
    }
    job.SetOutput("inside", op.GetOutputModelInside(), Promise::kClosed);
    job.SetOutput("outside", op.GetOutputModelOutside(), Promise::kClosed);
    return job.Finish();
}

const char* const kHalvesHelp =
    "Exactly one cutting element:\n"
    "  --plane a,b,c,d    the plane a*x + b*y + c*z + d = 0; inside is the side where the value\n"
    "                     is negative\n"
    "  --cutter MESH      a closed mesh; inside is the part of the input within it\n"
    "  --polyline FILE    a closed polyline (format of the polyline command) drawn in the x-y\n"
    "                     plane and seen along --direction (default 0,0,1): the plane is turned\n"
    "                     so that +z points along the direction; inside is what the extruded\n"
    "                     polyline encloses\n"
    "Both parts are closed at the cut. The input and a cutting mesh must be closed.";

struct FrameArgs {
    std::string input, origin, u, v, above, below, uncut, unclassified;
    bool ascii = false;
};

bool ParseFrame(const FrameArgs& a, MFrame<double>& frame, std::string& error) {
    MMVector3d origin, u, v;
    if (!ParseVector(a.origin, "--origin", origin, error) || !ParseVector(a.u, "--u", u, error) ||
        !ParseVector(a.v, "--v", v, error))
        return false;
    if (!(u.Cross(v).Length() > 0.0)) return error = "--u and --v must span a rectangle (non-zero and not parallel)", false;
    for (const MMVector3d& corner : {origin, origin + u, origin + v, origin + u + v})
        for (int i = 0; i < 3; ++i) {
            long internal = 0;
            if (!ToInternal(corner[i], internal, error)) return error = "frame corner: " + error, false;
        }
    const double units = QelSDK::Common::MInternalUnits::Get();
    frame = MFrame<double>(origin * units, u * units, v * units);
    return true;
}

int RunFrame(Job& job, const FrameArgs& a) {
    std::string error;
    if (a.above.empty() && a.below.empty() && a.uncut.empty() && a.unclassified.empty())
        return job.Fail("nothing to write: give --above, --below, --uncut and/or --unclassified");
    MFrame<double> frame;
    if (!ParseFrame(a, frame, error)) return job.Fail(error);
    if (!job.PlanOutputs({{"above", a.above}, {"below", a.below}, {"uncut", a.uncut}, {"unclassified", a.unclassified}},
                         a.ascii))
        return job.Status();
    MStlBase mesh;
    if (!job.Load("input", a.input, mesh)) return job.Status();
    MUserOperatorStlCutWithFrame op;
    op.SetStl(mesh);
    op.SetFrame(frame);
    job.Start("cut");
    const auto code = op.Operate(job.Progress());
    job.Stop();
    job.SetResultCode(code);
    if (code == MUserOperatorStlCutWithFrame::eCancelled || job.Cancelled()) return job.Interrupted();
    if (code == MUserOperatorStlCutWithFrame::eMeshNotClosed) return job.Fail("the mesh is not closed; nothing written");
    if (code == MUserOperatorStlCutWithFrame::eOutOfMemory)
        return job.Fail("out of memory during the cut (code 6); nothing written");
    if (code == MUserOperatorStlCutWithFrame::eCutNotClosed)
        return job.Fail("the cut left a part open or non-manifold (code 7; the mesh may cross itself on the plane); "
                        "nothing written");
    if (code != MUserOperatorStlCutWithFrame::eCutOk && code != MUserOperatorStlCutWithFrame::eCutPartial)
        return job.Fail("the cut failed (code " + std::to_string(int(code)) + ")");
    if (code == MUserOperatorStlCutWithFrame::eCutPartial)
        job.Warn("a section contour reaches out of the frame (or could not be closed) and was left uncut");
    const auto above = op.GetOutputModelAbove(), below = op.GetOutputModelBelow(),
               uncut = op.GetOutputModelShellsWithoutCut();
    MStlBase unclassified;
    for (const auto& shell : op.GetOutputModelsUnclassifiedShells()) unclassified.AddStl(*shell, false);
    const bool closed = code == MUserOperatorStlCutWithFrame::eCutOk;
    job.SetOutput("above", above.get(), closed ? Promise::kClosed : Promise::kNothing);
    job.SetOutput("below", below.get(), closed ? Promise::kClosed : Promise::kNothing);
    job.SetOutput("uncut", uncut.get(), Promise::kClosed);
    job.SetOutput("unclassified", &unclassified, Promise::kNothing);
    if (unclassified.GetNumberOfTriangles() != 0 && a.unclassified.empty())
        job.Warn(std::to_string(unclassified.GetNumberOfTriangles()) +
                 " triangles of shells reach the cut from both sides and were not written (give --unclassified FILE)");
    return job.Finish();
}

}  // namespace

void AddHalvesCommands(CLI::App& app, CommandList& commands) {
    static HalvesArgs halves;
    auto* cmd = app.add_subcommand("halves", "split a closed mesh by a plane, a cutting mesh or a polyline into "
                                             "the part inside and the part outside, both closed");
    AddInput(cmd, "input", halves.input, "closed mesh file");
    cmd->add_option("--plane", halves.plane, "cut with the plane a*x + b*y + c*z + d = 0")->type_name("A,B,C,D");
    cmd->add_option("--cutter", halves.cutter, "cut with this closed mesh")->type_name("MESH");
    cmd->add_option("--polyline", halves.polyline, "cut with this closed polyline")->type_name("FILE");
    cmd->add_option("--direction", halves.direction, "view direction of the polyline (default 0,0,1)")
        ->type_name("X,Y,Z");
    AddOutput(cmd, "--inside", halves.inside, "write the inside part here");
    AddOutput(cmd, "--outside", halves.outside, "write the outside part here");
    AddAscii(cmd, halves.ascii);
    cmd->footer(kHalvesHelp);
    commands.push_back({cmd, [](Job& job) { return RunHalves(job, halves); }});

    static FrameArgs frame;
    cmd = app.add_subcommand("frame", "cut a closed mesh with a rectangle: only section contours wholly "
                                      "inside it are cut and closed; shells are sorted by side");
    AddInput(cmd, "input", frame.input, "closed mesh file");
    cmd->add_option("--origin", frame.origin, "a corner of the rectangle")->type_name("X,Y,Z")->required();
    cmd->add_option("--u", frame.u, "first edge of the rectangle")->type_name("X,Y,Z")->required();
    cmd->add_option("--v", frame.v, "second edge; above is the side u x v points to")->type_name("X,Y,Z")->required();
    AddOutput(cmd, "--above", frame.above, "write the shells above the cut here");
    AddOutput(cmd, "--below", frame.below, "write the shells below the cut here");
    AddOutput(cmd, "--uncut", frame.uncut, "write the shells the cut does not reach here");
    AddOutput(cmd, "--unclassified", frame.unclassified, "write the shells cut from both sides here");
    AddAscii(cmd, frame.ascii);
    commands.push_back({cmd, [](Job& job) { return RunFrame(job, frame); }});
}

}  // namespace meshcut_cli

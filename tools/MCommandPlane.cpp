// meshcut plane and meshcut zrange: cuts by planes of the slicer.
#include "MStlBaseOperatorCreateZRange.h"
#include "MStlBaseOperatorPlaneCut.h"
#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "tools/MCommands.h"

namespace meshcut_cli {
namespace {

struct PlaneArgs {
    std::string input, below, above, plane, z;
    bool noFill = false, ascii = false;
    CLI::Option* zOption = nullptr;
};

bool ReadPlane(const PlaneArgs& a, MMPlaneEq<double>& plane, std::string& error) {
    if ((a.zOption->count() > 0) == !a.plane.empty())
        return error = "give the plane with exactly one of --z or --plane", false;
    if (!a.plane.empty()) return ParsePlane(a.plane, plane, error);
    double z = 0.0;
    long steps = 0;
    if (!ParseNumber(a.z, "--z", z, error) || !ParseInternal(a.z, "--z", steps, error)) return false;
    plane.Set(0.0, 0.0, 1.0, -z * QelSDK::Common::MInternalUnits::Get());
    return true;
}

int RunPlane(Job& job, const PlaneArgs& a) {
    std::string error;
    MMPlaneEq<double> plane;
    if (!ReadPlane(a, plane, error)) return job.Fail(error);
    if (a.below.empty() && a.above.empty()) return job.Fail("nothing to write: give --below and/or --above");
    if (!job.PlanOutputs({{"below", a.below}, {"above", a.above}}, a.ascii)) return job.Status();
    MStlBase mesh;
    if (!job.Load("input", a.input, mesh)) return job.Status();

    MStlBase below, above;
    MStlBaseOperatorPlaneCut cut;
    cut.SetStl(&mesh);
    cut.SetPlane(plane);
    cut.SetOutputStl(a.below.empty() ? nullptr : &below, a.above.empty() ? nullptr : &above);
    cut.SetFillSection(!a.noFill);
    job.Start("cut");
    const bool ok = cut.Operate(job.Progress());
    job.Stop();
    job.SetResultCode(cut.GetErrorCode());
    if (job.Cancelled()) return job.Interrupted();
    if (!ok && cut.GetErrorCode() == MStlBaseOperatorPlaneCut::eOpenCutContour)
        return job.Fail("the cut contour is open (the mesh is not closed where the plane meets it); "
                        "nothing written; use --no-fill to cut without closing");
    if (!ok && cut.GetErrorCode() == MStlBaseOperatorPlaneCut::eCrossingNotClosed)
        return job.Fail("the cut contours cross where the mesh passes through itself, and the parts could not be "
                        "closed there; nothing written; repair the mesh first, or use --no-fill to cut without closing");
    if (!ok) return job.Fail("the cut failed");
    if (cut.GetErrorCode() == MStlBaseOperatorPlaneCut::eNoCut)
        job.Note("the plane does not cut the mesh; each side gets the triangles lying on it");
    if (cut.ContoursCrossed())
        job.Warn("the cut contours cross where the mesh passes through itself; each is closed on its own, and "
                 "the parts overlap there as the input did");
    const MeshReport& input = job.InputReport("input");
    const bool closed = !a.noFill && input.closed && input.oriented;
    job.SetOutput("below", &below, closed ? Promise::kClosed : Promise::kNothing);
    job.SetOutput("above", &above, closed ? Promise::kClosed : Promise::kNothing);
    return job.Finish();
}

struct RangeArgs {
    std::string input, output, lower, upper;
    bool ascii = false;
};

int RunRange(Job& job, const RangeArgs& a) {
    std::string error;
    long lower = 0, upper = 0;
    if (!ParseInternal(a.lower, "--lower", lower, error) || !ParseInternal(a.upper, "--upper", upper, error))
        return job.Fail(error);
    if (lower > upper) return job.Fail("--lower is above --upper");
    if (!job.PlanOutputs({{"range", a.output}}, a.ascii)) return job.Status();
    MStlBase mesh, slab;
    if (!job.Load("input", a.input, mesh)) return job.Status();
    MStlBaseOperatorCreateZRange range;
    range.SetInput(&mesh);
    range.SetOutput(&slab);
    range.SetRange(lower, upper);
    job.Start("cut");
    const bool ok = range.Operate(job.Progress());
    job.Stop();
    if (job.Cancelled()) return job.Interrupted();
    if (!ok) return job.Fail("the range could not be made");
    if (slab.GetNumberOfTriangles() == 0) return job.Fail("no part of the mesh lies between the heights; nothing written");
    job.SetOutput("range", &slab, Promise::kNothing);
    return job.Finish();
}

}  // namespace

void AddPlaneCommands(CLI::App& app, CommandList& commands) {
    static PlaneArgs plane;
    auto* cmd = app.add_subcommand("plane", "cut a mesh with a plane into the part below and the part above");
    AddInput(cmd, "input", plane.input, "mesh file");
    plane.zOption = AddNumber(cmd, "--z", plane.z, "cut at height z (the plane z = VALUE)", "VALUE");
    cmd->add_option("--plane", plane.plane, "cut with the plane a*x + b*y + c*z + d = 0")->type_name("A,B,C,D");
    AddOutput(cmd, "--below", plane.below, "write the part on the negative side here");
    AddOutput(cmd, "--above", plane.above, "write the part on the positive side here");
    cmd->add_flag("--no-fill", plane.noFill, "leave the cut open instead of closing it with a surface");
    AddAscii(cmd, plane.ascii);
    commands.push_back({cmd, [](Job& job) { return RunPlane(job, plane); }});

    static RangeArgs range;
    cmd = app.add_subcommand("zrange", "keep the part of a mesh surface between two heights (left open)");
    AddInput(cmd, "input", range.input, "mesh file");
    AddNumber(cmd, "--lower", range.lower, "lower height", "Z")->required();
    AddNumber(cmd, "--upper", range.upper, "upper height", "Z")->required();
    AddOutput(cmd, "-o,--output", range.output, "output mesh file")->required();
    AddAscii(cmd, range.ascii);
    commands.push_back({cmd, [](Job& job) { return RunRange(job, range); }});
}

}  // namespace meshcut_cli

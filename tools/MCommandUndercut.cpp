// meshcut undercut and meshcut boolean-undercut.
#include <cmath>

#include "MStlBaseOperatorBooleanUndercut.h"
#include "MUserOperatorUndercutRemover.h"
#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MarchingCubesOffset.h"
#include "tools/MCommands.h"

namespace meshcut_cli {
namespace {

struct UndercutArgs {
    std::string input, output, direction, cell, draft = "0";
    bool ascii = false;
};

bool PrepareUndercut(const UndercutArgs& a, MMVector3d& direction, MUserOperatorUndercutRemover::MParams& params,
                     std::string& error) {
    if (!ParseVector(a.direction, "--direction", direction, error)) return false;
    if (direction[0] == 0.0 && direction[1] == 0.0 && direction[2] == 0.0) return error = "--direction is zero", false;
    long cell = 0;
    if (!ParseInternal(a.cell, "--cell", cell, error)) return false;
    if (cell < 1) return error = "--cell must be at least one grid step (" + GridStepText() + ")", false;
    double draft = 0.0;
    if (!ParseNumber(a.draft, "--draft", draft, error)) return false;
    if (!(draft >= 0.0 && draft < 90.0)) return error = "--draft must lie in [0, 90) degrees", false;
    params.CellSize = int32_t(cell);
    params.DraftAngle = draft;
    return true;
}

int RunUndercut(Job& job, const UndercutArgs& a) {
    std::string error;
    MMVector3d direction;
    MUserOperatorUndercutRemover::MParams params;
    if (!PrepareUndercut(a, direction, params, error)) return job.Fail(error);
    if (!job.PlanOutputs({{"solid", a.output}}, a.ascii)) return job.Status();
    MStlBase mesh;
    if (!job.Load("input", a.input, mesh)) return job.Status();

    MStlBase solid;
    MUserOperatorUndercutRemover remover;
    remover.SetInputModel(&mesh);
    remover.SetOutputSurface(solid.AddSurface());
    remover.SetOutputBottomSurface(solid.AddSurface());
    remover.SetDirection(direction);
    remover.SetParams(params);
    job.Start("undercut");
    const auto code = remover.Operate(job.Progress());
    job.Stop();
    job.SetResultCode(code);
    if (code == MUserOperatorUndercutRemover::eCancelled || job.Cancelled()) return job.Interrupted();
    if (code == MUserOperatorUndercutRemover::eGridTooLarge)
        return job.Fail("the cell is too small for the mesh: the height grid may have at most " +
                        std::to_string(uint64_t(MUserOperatorUndercutRemover::kMaxGridPoints)) + " points and use " +
                        std::to_string(params.MemoryBudget >> 30) + " GiB (about " +
                        std::to_string(uint64_t(MUserOperatorUndercutRemover::EstimatedBytes(1.0, false))) +
                        " bytes a point); use a larger --cell");
    if (code == MUserOperatorUndercutRemover::eOutOfRange)
        return job.Fail("the solid would reach beyond the coordinate range (its flat bottom lies behind the mesh); "
                        "move the mesh toward the origin");
    if (code != MUserOperatorUndercutRemover::eSuccess)
        return job.Fail("the undercut removal failed (code " + std::to_string(int(code)) + ")");
    if (solid.GetNumberOfTriangles() == 0) return job.Fail("no triangle of the mesh faces the direction; nothing written");
    job.SetOutput("solid", &solid, Promise::kClosed);
    return job.Finish();
}

const char* const kUndercutHelp =
    "Looks at the mesh along --direction and writes the solid left when every undercut is\n"
    "blocked out: the first surface seen on a grid of cells of width --cell across the\n"
    "direction, swept along the direction to a flat bottom one step behind the mesh. With\n"
    "--draft the walls lean outward by at least that angle from the direction. The solid is\n"
    "closed and holds the mesh. Example, seen from above: --direction 0,0,-1 --cell 0.1";

struct BooleanUndercutArgs {
    std::string upper, lower, outUpper, outLower, offset = "0";
    bool upward = false, ascii = false;
};

int RunBooleanUndercut(Job& job, const BooleanUndercutArgs& a) {
    std::string error;
    double offset = 0.0;
    if (!ParseNumber(a.offset, "--offset", offset, error)) return job.Fail(error);
    long steps = 0;
    if (!ToInternal(offset, steps, error)) return job.Fail("--offset: " + error);
    if (!job.PlanOutputs({{"upper", a.outUpper}, {"lower", a.outLower}}, a.ascii)) return job.Status();
    MStlBase upper, lower;
    if (!job.Load("upper input", a.upper, upper, true) || !job.Load("lower input", a.lower, lower, true))
        return job.Status();
    MStlBaseOperatorBooleanUndercut::Params params;
    params.Direction = a.upward ? 1 : 0;
    params.Offset = offset * QelSDK::Common::MInternalUnits::Get();
    MStlBaseOperatorBooleanUndercut op;
    op.SetUpperStl(&upper);
    op.SetLowerStl(&lower);
    op.SetParams(params);
    job.Start("boolean undercut");
    const auto code = op.Operate(job.Progress());
    job.Stop();
    job.SetResultCode(code);
    using Op = MStlBaseOperatorBooleanUndercut;
    if (code == Op::eCancelled || job.Cancelled()) return job.Interrupted();
    if (code == Op::eEmptyIntermediate)
        return job.Fail("the upper part does not reach into the lower part (or lies wholly inside it); nothing written");
    if (code != Op::eSuccess && op.GetOffsetResult() == MarchingCubesOffset::eGridTooLarge)
        return job.Fail("--offset: the volume grid for this offset would be too large for the part (voxels of a fifth "
                        "of the offset); use a larger offset or 0; nothing written");
    if (code != Op::eSuccess && op.GetOffsetResult() == MarchingCubesOffset::eEmptyResult)
        return job.Fail("--offset: shrinking the notch by the offset leaves nothing; nothing written");
    if (code != Op::eSuccess) return job.Fail("the boolean undercut failed (code " + std::to_string(int(code)) + ")");
    job.SetOutput("upper", &upper, Promise::kClosed);
    job.SetOutput("lower", &lower, Promise::kClosed);
    return job.Finish();
}

const char* const kBooleanUndercutHelp =
    "Joins to the closed UPPER part the region of the closed LOWER part under its faces that\n"
    "dip into LOWER (the notch, reaching 100 grid steps below that overlap), and cuts the\n"
    "notch out of LOWER, its top lifted 3 grid steps so the hole opens cleanly. With --upward\n"
    "the notch rises from the downward-facing faces instead. A non-zero --offset cuts the\n"
    "notch grown by that distance (a clearance) or, when negative, shrunk by it (a press fit;\n"
    "its top still reaches 3 grid steps above the notch). The offset is sampled on voxels of\n"
    "a fifth of it, at most 2048 along the part.";

}  // namespace

void AddUndercutCommands(CLI::App& app, CommandList& commands) {
    static UndercutArgs undercut;
    auto* cmd = app.add_subcommand("undercut", "fill the undercuts of a mesh seen along a direction, giving a closed "
                                               "height-field solid");
    AddInput(cmd, "input", undercut.input, "mesh file");
    cmd->add_option("--direction", undercut.direction, "viewing direction x,y,z")->type_name("X,Y,Z")->required();
    AddNumber(cmd, "--cell", undercut.cell, "width of the height grid's cells in units", "WIDTH")->required();
    AddNumber(cmd, "--draft", undercut.draft,
              "draft angle of the walls in degrees (default 0: walls along the direction)", "DEG");
    AddOutput(cmd, "--out", undercut.output, "write the solid here")->required();
    AddAscii(cmd, undercut.ascii);
    cmd->footer(kUndercutHelp);
    commands.push_back({cmd, [](Job& job) { return RunUndercut(job, undercut); }});

    static BooleanUndercutArgs boolean;
    cmd = app.add_subcommand("boolean-undercut", "extend an upper part by the notch it cuts into a lower part and "
                                                 "cut that notch out of the lower part");
    AddInput(cmd, "upper", boolean.upper, "closed upper mesh");
    AddInput(cmd, "lower", boolean.lower, "closed lower mesh");
    AddOutput(cmd, "--out-upper", boolean.outUpper, "write the extended upper part here")->required();
    AddOutput(cmd, "--out-lower", boolean.outLower, "write the cut lower part here")->required();
    cmd->add_flag("--upward", boolean.upward, "build the notch upward from the downward-facing faces");
    AddNumber(cmd, "--offset", boolean.offset, "hole tool offset in units (default 0: the notch with lifted points)",
              "DIST");
    AddAscii(cmd, boolean.ascii);
    cmd->footer(kBooleanUndercutHelp);
    commands.push_back({cmd, [](Job& job) { return RunBooleanUndercut(job, boolean); }});
}

}  // namespace meshcut_cli

// meshcut profile and meshcut polyline: cuts along closed polygons extruded
// along Z, by the profile cutter engine.
#include <memory>

#include "MCutter.h"
#include "MStlBaseOperatorPolylineCut.h"
#include "host/MStlBase.h"
#include "tools/MCommands.h"
#include "tools/MPolygonFile.h"

namespace meshcut_cli {
namespace {

// Both subcommands take the depth the same way: a height, from which the cut
// reaches upward.
bool ReadDepth(const std::string& text, bool given, long& depth, std::string& error) {
    return !given || ParseInternal(text, "--depth", depth, error);
}

struct ProfileArgs {
    std::string input, polygon, inside, outside, mode = "profile", depth, round, value;
    bool ascii = false;
    CLI::Option *depthOption = nullptr, *roundOption = nullptr, *valueOption = nullptr;
};

// Cut mode of MCutter for a plane mode name ("plane-x" -> 0 ...); -1 for "profile".
int PlaneAxis(const std::string& mode) {
    if (mode == "plane-x") return 0;
    if (mode == "plane-y") return 1;
    if (mode == "plane-z") return 2;
    return -1;
}

// What the cutter is given, in grid steps.
struct CutSettings {
    unsigned char mode = 3;
    long value = 0, roundRadius = 0;
    std::vector<ProfileContour> contours;
};

bool PrepareProfile(const ProfileArgs& a, CutSettings& cut, std::string& error) {
    const bool plane = PlaneAxis(a.mode) >= 0;
    const bool depth = a.depthOption->count() > 0, round = a.roundOption->count() > 0,
               value = a.valueOption->count() > 0;
    if (a.inside.empty() && a.outside.empty()) error = "nothing to write: give --inside and/or --outside";
    else if (plane && !a.polygon.empty()) error = "give either --polygon or a plane --mode, not both";
    else if (!plane && a.polygon.empty()) error = "give the profile with --polygon FILE, or a plane --mode with --value";
    else if (!plane && value) error = "--value needs --mode plane-x, plane-y or plane-z";
    else if (plane && !value) error = "--mode " + a.mode + " needs --value";
    else if (plane && depth) error = "--depth applies to a profile cut, not to a plane mode";
    else if (plane && round) error = "--round applies to a profile cut, not to a plane mode";
    if (!error.empty()) return false;
    if (plane) {
        cut.mode = (unsigned char)PlaneAxis(a.mode);
        return ParseInternal(a.value, "--value", cut.value, error);
    }
    cut.mode = depth ? 5 : 3;
    if (!ReadDepth(a.depth, depth, cut.value, error)) return false;
    if (round && !ParseInternal(a.round, "--round", cut.roundRadius, error)) return false;
    if (cut.roundRadius < 0) return error = "--round must not be negative", false;
    return ReadPolygonFile(a.polygon, cut.contours, error);
}

void SetUpCutter(const CutSettings& cut, MCutter& cutter) {
    for (const ProfileContour& contour : cut.contours) {
        cutter.AddNewCutContour();
        for (const ProfilePoint& p : contour) cutter.AddNewCutPoint(p.x, p.y, false);
    }
    cutter.SET_CUT_MODE(cut.mode, cut.value);
    cutter.SET_ROUND_PROFILE(cut.roundRadius);  // after SET_CUT_MODE, which clears it
}

int RunProfile(Job& job, const ProfileArgs& a) {
    std::string error;
    CutSettings settings;
    if (!PrepareProfile(a, settings, error)) return job.Fail(error);
    if (!job.PlanOutputs({{"inside", a.inside}, {"outside", a.outside}}, a.ascii)) return job.Status();
    MStlBase mesh;
    if (!job.Load("input", a.input, mesh)) return job.Status();
    MCutter cutter;
    SetUpCutter(settings, cutter);
    cutter.SetCutStl(mesh, true);  // the input is not needed after the cut

    job.Start("cut");
    const char code = cutter.MAKE_CUT(job.Progress());
    job.Stop();
    job.SetResultCode((unsigned char)code);
    if (code == MCutter::kCancelled || job.Cancelled()) return job.Interrupted();
    if (code == MCutter::kOpeningsNotClosed) {
        const std::unique_ptr<MStlBase> inside(cutter.GetInsideResult(true)), outside(cutter.GetOutsideResult(true));
        return job.FailOpenCut("the cut could not be closed everywhere (code 5)",
                               {{"inside", inside.get()}, {"outside", outside.get()}}, a.input);
    }
    if (code == MCutter::kOutOfMemory) return job.Fail("out of memory during the cut (code 7); nothing written");
    if (code != MCutter::kDone) return job.Fail("the cut failed (code " + std::to_string(int((unsigned char)code)) + ")");
    const std::unique_ptr<MStlBase> inside(cutter.GetInsideResult(true)), outside(cutter.GetOutsideResult(true));
    const bool closed = IsClosedAndOriented(job.InputReport("input"));
    job.SetOutput("inside", inside.get(), closed ? Promise::kClosed : Promise::kNothing);
    job.SetOutput("outside", outside.get(), closed ? Promise::kClosed : Promise::kNothing);
    return job.Finish();
}

const char* const kPolygonFormatHelp =
    "Polygon file: one point per line, \"x y\" in model units separated by spaces or tabs;\n"
    "a blank line ends a contour, so a file may hold several contours; '#' starts a comment\n"
    "up to the end of the line. Each contour is closed implicitly and needs at least three\n"
    "distinct points; a file holds at most 100000 points in all (64 MiB, lines of at most 4096\n"
    "characters), and only a regular file is read. The values inf and -inf stand for plus and\n"
    "minus infinity: the profile then reaches beyond the mesh on that side. Example, a square\n"
    "and a triangle:\n"
    "  -10 -10\n   10 -10\n   10  10\n  -10  10\n\n  30 0\n  40 0\n  35 8\n"
    "The inside part is what lies within the contours (with --depth D: within them and\n"
    "above Z = D); the outside part is the rest. Both parts are closed at the cut.\n"
    "With --mode plane-x|plane-y|plane-z the inside part is where that coordinate is at\n"
    "most --value. A requested part that comes out empty is reported and not written.";

struct PolylineArgs {
    std::string input, polyline, inside, outside, depth, insideClearance = "0", outsideClearance = "0";
    bool ascii = false;
    CLI::Option* depthOption = nullptr;
};

// A clearance in model units -> grid steps; refused when negative.
bool ToClearance(const std::string& text, const char* option, int32_t& internal, std::string& error) {
    long steps = 0;
    if (!ParseInternal(text, option, steps, error)) return false;
    if (steps < 0) return error = std::string(option) + " must not be negative", false;
    internal = int32_t(steps);
    return true;
}

int CutPolyline(Job& job, MStlBase& mesh, const MStlBaseOperatorPolylineCut::MParams& params,
                const std::vector<MMVector<double, 2>>& polyline, long lift, const std::string& inputPath) {
    MStlBaseOperatorPolylineCut cut;
    cut.SetModelToCut(&mesh);  // divided in place; the input is not needed afterwards
    cut.SetCutPolyline(polyline);
    cut.SetParameters(params);
    job.Start("cut");
    const auto code = cut.Operate(job.Progress());
    job.Stop();
    job.SetResultCode(code);
    if (code == MStlBaseOperatorPolylineCut::eCancelled || job.Cancelled()) return job.Interrupted();
    if (code == MStlBaseOperatorPolylineCut::eOutOfMemory)
        return job.Fail("out of memory during the cut (code 6); nothing written");
    const bool open = code == MStlBaseOperatorPolylineCut::eOpeningsNotClosed;
    if (!open && code != MStlBaseOperatorPolylineCut::eCutDone && code != MStlBaseOperatorPolylineCut::eNotDivided)
        return job.Fail("the cut failed (code " + std::to_string(int(code)) + ")");

    std::unique_ptr<MStlBase> inside, outside;
    std::vector<std::unique_ptr<MStlBase>> between;  // the clearances' strips
    for (std::unique_ptr<MStlBase>& part : cut.GetOutputStls()) {
        if (lift) part->Translate(0, 0, -lift);
        if (part->GetName().starts_with(L"inside_of_")) inside = std::move(part);
        else if (part->GetName().starts_with(L"outside_of_")) outside = std::move(part);
        else between.push_back(std::move(part));
    }
    if (open) {
        std::vector<std::pair<std::string, const MStlBase*>> parts = {{"inside", inside.get()}, {"outside", outside.get()}};
        for (const auto& part : between) parts.emplace_back("clearance", part.get());
        return job.FailOpenCut("the cut could not be closed everywhere (code 5)", parts, inputPath);
    }
    if (code == MStlBaseOperatorPolylineCut::eNotDivided) job.Note("the polyline does not divide the mesh");
    const bool closed = IsClosedAndOriented(job.InputReport("input"));
    job.SetOutput("inside", inside.get(), closed ? Promise::kClosed : Promise::kNothing);
    job.SetOutput("outside", outside.get(), closed ? Promise::kClosed : Promise::kNothing);
    return job.Finish();
}

int RunPolyline(Job& job, const PolylineArgs& a) {
    std::string error;
    MStlBaseOperatorPolylineCut::MParams params;
    long depth = 0;
    std::vector<MMVector<double, 2>> polyline;
    if (a.inside.empty() && a.outside.empty()) return job.Fail("nothing to write: give --inside and/or --outside");
    if (!ReadDepth(a.depth, a.depthOption->count() > 0, depth, error) ||
        !ToClearance(a.insideClearance, "--clearance-inside", params.insideClearance, error) ||
        !ToClearance(a.outsideClearance, "--clearance-outside", params.outsideClearance, error) ||
        !ReadPolyline(a.polyline, polyline, error))
        return job.Fail(error);
    if (!job.PlanOutputs({{"inside", a.inside}, {"outside", a.outside}}, a.ascii)) return job.Status();
    MStlBase mesh;
    if (!job.Load("input", a.input, mesh)) return job.Status();
    // The operator reads a depth below one grid step as "the whole height";
    // a lower depth is reached by lifting the mesh for the cut, which moves
    // nothing but the heights.
    long lift = 0;
    if (a.depthOption->count() > 0) {
        lift = depth < 1 ? 1 - depth : 0;
        if (lift && !mesh.Translate(0, 0, lift))
            return job.Fail("--depth lies too far below the mesh's top for the coordinate range");
        params.depth = int32_t(depth + lift);
    }
    return CutPolyline(job, mesh, params, polyline, lift, a.input);
}

const char* const kPolylineHelp =
    "Polyline file: the format of the profile command's polygon file (see meshcut profile --help)\n"
    "holding exactly one contour of at least three distinct points, closed implicitly; inf and\n"
    "-inf are not accepted. Example, a square:\n"
    "  -10 -10\n   10 -10\n   10  10\n  -10  10\n"
    "The inside part is what lies within the polyline (with --depth D: within it and above\n"
    "Z = D); the outside part is the rest. Both parts are closed at the cut.\n"
    "Clearances cut a gap between the parts: the inside part is cut again along the polyline\n"
    "moved inward by the inside clearance, the outside part along the polyline moved outward by\n"
    "the outside clearance, so the parts are at least inside + outside clearance apart in X-Y.\n"
    "When the polyline does not divide the mesh, the part that exists is written, a requested\n"
    "empty part is reported and not written, and the exit status is 0 if any file was written.";

}  // namespace

bool ReadPolyline(const std::string& path, std::vector<MMVector<double, 2>>& polyline, std::string& error) {
    std::vector<ProfileContour> contours;
    if (!ReadPolygonFile(path, contours, error)) return false;
    if (contours.size() != 1)
        return error = path + ": the file holds " + std::to_string(contours.size()) +
                       " contours; a polyline is one contour", false;
    for (const ProfilePoint& p : contours.front()) {
        for (long c : {p.x, p.y})
            if (c == MCutter::kPlusInfinity || c == MCutter::kMinusInfinity)
                return error = path + ": a polyline takes finite coordinates only (inf and -inf are for profile cuts)",
                       false;
        polyline.emplace_back(double(p.x), double(p.y));
    }
    return true;
}

void AddProfileCommands(CLI::App& app, CommandList& commands) {
    static ProfileArgs profile;
    auto* cmd = app.add_subcommand("profile", "cut a mesh along closed polygons extruded along Z into the part "
                                              "inside and the part outside, closing the cut");
    AddInput(cmd, "input", profile.input, "mesh file");
    AddInput(cmd, "--polygon", profile.polygon, "text file of the cut polygons (format below)")->required(false);
    profile.depthOption = AddNumber(cmd, "--depth", profile.depth,
                                    "cut only from height D upward (inside: within the polygons, above D)", "D");
    profile.roundOption = AddNumber(cmd, "--round", profile.round, "round the polygons' corners with radius R", "R");
    cmd->add_option("--mode", profile.mode, "profile (default), or plane-x, plane-y, plane-z with --value")
        ->check(CLI::IsMember({"profile", "plane-x", "plane-y", "plane-z"}));
    profile.valueOption = AddNumber(cmd, "--value", profile.value, "plane position for a plane --mode", "V");
    AddOutput(cmd, "--inside", profile.inside, "write the part inside the profile here");
    AddOutput(cmd, "--outside", profile.outside, "write the part outside the profile here");
    AddAscii(cmd, profile.ascii);
    cmd->footer(kPolygonFormatHelp);
    commands.push_back({cmd, [](Job& job) { return RunProfile(job, profile); }});

    static PolylineArgs poly;
    cmd = app.add_subcommand("polyline", "cut a mesh along one closed polyline extruded along Z into the part "
                                         "inside and the part outside, optionally with a gap between them");
    AddInput(cmd, "input", poly.input, "mesh file");
    AddInput(cmd, "--polyline", poly.polyline, "text file of the polyline (format below)");
    poly.depthOption = AddNumber(cmd, "--depth", poly.depth,
                                 "cut only from height D upward (inside: within the polyline, above D)", "D");
    AddNumber(cmd, "--clearance-inside", poly.insideClearance, "cut a band of width C off the inside part", "C");
    AddNumber(cmd, "--clearance-outside", poly.outsideClearance, "cut a band of width C off the outside part", "C");
    AddOutput(cmd, "--inside", poly.inside, "write the part inside the polyline here");
    AddOutput(cmd, "--outside", poly.outside, "write the part outside the polyline here");
    AddAscii(cmd, poly.ascii);
    cmd->footer(kPolylineHelp);
    commands.push_back({cmd, [](Job& job) { return RunPolyline(job, poly); }});
}

}  // namespace meshcut_cli

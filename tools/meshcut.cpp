// meshcut: cuts triangle meshes from the command line.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <vector>

#include "MCutter.h"
#include "MStlBaseOperatorBooleanUndercut.h"
#include "MStlBaseOperatorCreateZRange.h"
#include "MStlBaseOperatorPlaneCut.h"
#include "MStlBaseOperatorPolylineCut.h"
#include "MStlBaseOperatorTrimStlToStl.h"
#include "MUserOperatorUndercutRemover.h"
#include "MUserOperatorCutIntoHalves.h"
#include "MUserOperatorStlCutWithFrame.h"
#include "host/MInternalUnits.h"
#include "host/MarchingCubesOffset.h"
#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "tools/MCommandLine.h"
#include "tools/MCommands.h"
#include "tools/MPolygonFile.h"

namespace {

using namespace meshcut_cli;

struct PlaneArgs {
    std::string input, below, above, plane;
    double z = 0.0;
    bool noFill = false, ascii = false;
};

int RunPlane(const PlaneArgs& a, bool zGiven) {
    if (zGiven == !a.plane.empty()) return Fail("give the plane with exactly one of --z or --plane");
    if (a.below.empty() && a.above.empty()) return Fail("nothing to write: give --below and/or --above");
    MMPlaneEq<double> plane;
    std::string error;
    if (zGiven) {
        long z = 0;
        if (!ToInternal(a.z, z, error)) return Fail("--z: " + error);
        plane.Set(0.0, 0.0, 1.0, -a.z * QelSDK::Common::MInternalUnits::Get());
    } else if (!ParsePlane(a.plane, plane, error)) {
        return Fail(error);
    }
    MStlBase mesh;
    if (!Load(a.input, mesh, error)) return Fail(error);

    auto progress = std::make_shared<TerminalProgress>();
    MStlBase below, above;
    const auto start = std::chrono::steady_clock::now();
    MStlBaseOperatorPlaneCut cut;
    cut.SetStl(&mesh);
    cut.SetPlane(plane);
    cut.SetOutputStl(a.below.empty() ? nullptr : &below, a.above.empty() ? nullptr : &above);
    cut.SetFillSection(!a.noFill);
    const bool ok = cut.Operate(progress);
    const double seconds = Seconds(start);
    progress->Finish();
    if (progress->IsCancelled()) return std::cerr << "meshcut: interrupted, nothing written\n", kInterrupted;
    if (!ok) {
        if (cut.GetErrorCode() == MStlBaseOperatorPlaneCut::eOpenCutContour)
            return Fail("the cut contour is open (the mesh is not closed where the plane meets it); "
                        "nothing written; use --no-fill to cut without closing");
        return Fail("the cut failed");
    }
    if (cut.GetErrorCode() == MStlBaseOperatorPlaneCut::eNoCut)
        std::cout << "the plane does not cut the mesh; each side gets the triangles lying on it\n";
    if (!WriteAll({{a.below, &below}, {a.above, &above}}, a.ascii, error)) return Fail(error);
    std::cout << "input: " << Describe(mesh) << "\n";
    if (!a.below.empty()) std::cout << "below: " << Describe(below) << " -> " << a.below << "\n";
    if (!a.above.empty()) std::cout << "above: " << Describe(above) << " -> " << a.above << "\n";
    std::printf("cut in %.3f s\n", seconds);
    return 0;
}

struct ProfileArgs {
    std::string input, polygon, inside, outside, mode = "profile";
    double depth = 0.0, round = 0.0, value = 0.0;
    bool depthGiven = false, roundGiven = false, valueGiven = false, ascii = false;
};

// Cut mode of MCutter for a plane mode name ("plane-x" -> 0 ...); -1 for "profile".
int PlaneAxis(const std::string& mode) {
    if (mode == "plane-x") return 0;
    if (mode == "plane-y") return 1;
    if (mode == "plane-z") return 2;
    return -1;
}

// Refuses contradictory or missing arguments before anything is read.
bool CheckProfileArgs(const ProfileArgs& a, std::string& error) {
    const bool plane = PlaneAxis(a.mode) >= 0;
    if (a.inside.empty() && a.outside.empty()) error = "nothing to write: give --inside and/or --outside";
    else if (a.inside == a.outside) error = "--inside and --outside name the same file";
    else if (plane && !a.polygon.empty()) error = "give either --polygon or a plane --mode, not both";
    else if (!plane && a.polygon.empty()) error = "give the profile with --polygon FILE, or a plane --mode with --value";
    else if (!plane && a.valueGiven) error = "--value needs --mode plane-x, plane-y or plane-z";
    else if (plane && !a.valueGiven) error = "--mode " + a.mode + " needs --value";
    else if (plane && a.depthGiven) error = "--depth applies to a profile cut, not to a plane mode";
    else if (plane && a.roundGiven) error = "--round applies to a profile cut, not to a plane mode";
    else if (a.roundGiven && !(a.round >= 0.0)) error = "--round must not be negative";
    return error.empty();
}

// What the cutter is given, converted to internal units.
struct CutSettings {
    unsigned char mode = 3;
    long value = 0, roundRadius = 0;
    std::vector<ProfileContour> contours;
};

bool PrepareCut(const ProfileArgs& a, CutSettings& cut, std::string& error) {
    const int axis = PlaneAxis(a.mode);
    if (axis >= 0) {
        cut.mode = (unsigned char)axis;
        return ToInternal(a.value, cut.value, error) || (error = "--value: " + error, false);
    }
    cut.mode = a.depthGiven ? 5 : 3;
    if (a.depthGiven && !ToInternal(a.depth, cut.value, error)) return error = "--depth: " + error, false;
    if (a.roundGiven && !ToInternal(a.round, cut.roundRadius, error)) return error = "--round: " + error, false;
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

bool IsEmpty(const MStlBase* mesh) { return !mesh || mesh->GetNumberOfTriangles() == 0; }

// Queues `part` for writing when `path` asks for it; an empty part is
// reported as `what` and left unwritten.
void RequestOutput(std::vector<Output>& outputs, const std::string& path, const MStlBase* part, const std::string& what) {
    if (path.empty()) return;
    if (IsEmpty(part)) std::cerr << "meshcut: warning: " << what << "; " << path << " not written\n";
    else outputs.push_back({path, part});
}

int RunProfile(const ProfileArgs& a) {
    std::string error;
    CutSettings settings;
    if (!CheckProfileArgs(a, error) || !PrepareCut(a, settings, error)) return Fail(error);
    MStlBase mesh;
    if (!Load(a.input, mesh, error)) return Fail(error);
    const std::string inputSummary = Describe(mesh);
    MCutter cutter;
    SetUpCutter(settings, cutter);
    cutter.SetCutStl(mesh, true);  // the input is not needed after the cut

    auto progress = std::make_shared<TerminalProgress>();
    const auto start = std::chrono::steady_clock::now();
    const char code = cutter.MAKE_CUT(progress);
    const double seconds = Seconds(start);
    progress->Finish();
    if (code == MCutter::kCancelled || progress->IsCancelled())
        return std::cerr << "meshcut: interrupted, nothing written\n", kInterrupted;
    if (code != MCutter::kDone) return Fail("the cut failed (code " + std::to_string(int((unsigned char)code)) + ")");

    const std::unique_ptr<MStlBase> inside(cutter.GetInsideResult(true)), outside(cutter.GetOutsideResult(true));
    if (!a.inside.empty() && IsEmpty(inside.get())) return Fail("the inside part is empty; nothing written");
    if (!a.outside.empty() && IsEmpty(outside.get())) return Fail("the outside part is empty; nothing written");
    if (!WriteAll({{a.inside, inside.get()}, {a.outside, outside.get()}}, a.ascii, error)) return Fail(error);
    std::cout << "input: " << inputSummary << "\n";
    if (!a.inside.empty()) std::cout << "inside: " << Describe(*inside) << " -> " << a.inside << "\n";
    if (!a.outside.empty()) std::cout << "outside: " << Describe(*outside) << " -> " << a.outside << "\n";
    std::printf("cut in %.3f s\n", seconds);
    return 0;
}

const char* const kPolygonFormatHelp =
    "Polygon file: one point per line, \"x y\" in model units separated by spaces or tabs;\n"
    "a blank line ends a contour, so a file may hold several contours; '#' starts a comment\n"
    "up to the end of the line. Each contour is closed implicitly and needs at least three\n"
    "distinct points. The values inf and -inf stand for plus and minus infinity: the profile\n"
    "then reaches beyond the mesh on that side. Example, a square and a triangle:\n"
    "  -10 -10\n   10 -10\n   10  10\n  -10  10\n\n  30 0\n  40 0\n  35 8\n"
    "The inside part is what lies within the contours (with --depth D: within them and\n"
    "above Z = D); the outside part is the rest. Both parts are closed at the cut.\n"
    "With --mode plane-x|plane-y|plane-z the inside part is where that coordinate is at\n"
    "most --value.";

struct PolylineArgs {
    std::string input, polyline, inside, outside;
    double depth = 0.0, insideClearance = 0.0, outsideClearance = 0.0;
    bool depthGiven = false, ascii = false;
};

// A clearance in model units -> internal units; refused when negative.
bool ToClearance(const char* option, double value, int32_t& internal, std::string& error) {
    long steps = 0;
    if (!(value >= 0.0)) error = std::string(option) + " must not be negative";
    else if (!ToInternal(value, steps, error)) error = std::string(option) + ": " + error;
    internal = int32_t(steps);
    return error.empty();
}

// Reads the one closed contour of a polyline file, in internal units.
bool ReadPolyline(const std::string& path, std::vector<MMVector<double, 2>>& polyline, std::string& error) {
    std::vector<ProfileContour> contours;
    if (!ReadPolygonFile(path, contours, error)) return false;
    if (contours.size() != 1) {
        error = path + ": the file holds " + std::to_string(contours.size()) + " contours; a polyline is one contour";
        return false;
    }
    for (const ProfilePoint& p : contours.front()) {
        if (p.x == MCutter::kPlusInfinity || p.x == MCutter::kMinusInfinity || p.y == MCutter::kPlusInfinity ||
            p.y == MCutter::kMinusInfinity) {
            error = path + ": a polyline takes finite coordinates only (inf and -inf are for profile cuts)";
            return false;
        }
        polyline.emplace_back(double(p.x), double(p.y));
    }
    return true;
}

// Everything the operator is given, checked and converted before the mesh
// is read.
bool PreparePolylineCut(const PolylineArgs& a, MStlBaseOperatorPolylineCut::MParams& params,
                        std::vector<MMVector<double, 2>>& polyline, std::string& error) {
    if (a.inside.empty() && a.outside.empty()) return error = "nothing to write: give --inside and/or --outside", false;
    if (a.inside == a.outside) return error = "--inside and --outside name the same file", false;
    if (a.depthGiven) {
        // The operator reads a depth below one grid step as "the whole height".
        long depth = 0;
        if (!(a.depth > 0.0)) return error = "--depth must be above 0; leave it out to cut through the whole height", false;
        if (!ToInternal(a.depth, depth, error)) return error = "--depth: " + error, false;
        if (depth < 1) return error = "--depth must be at least one grid step (0.001 units)", false;
        params.depth = int32_t(depth);
    }
    if (!ToClearance("--clearance-inside", a.insideClearance, params.insideClearance, error) ||
        !ToClearance("--clearance-outside", a.outsideClearance, params.outsideClearance, error))
        return false;
    return ReadPolyline(a.polyline, polyline, error);
}

bool NameStartsWith(const MStlBase& mesh, const std::wstring& prefix) { return mesh.GetName().starts_with(prefix); }

int RunPolyline(const PolylineArgs& a) {
    std::string error;
    MStlBaseOperatorPolylineCut::MParams params;
    std::vector<MMVector<double, 2>> polyline;
    if (!PreparePolylineCut(a, params, polyline, error)) return Fail(error);
    MStlBase mesh;
    if (!Load(a.input, mesh, error)) return Fail(error);
    const std::string inputSummary = Describe(mesh);

    MStlBaseOperatorPolylineCut cut;
    cut.SetModelToCut(&mesh);  // divided in place; the input is not needed afterwards
    cut.SetCutPolyline(polyline);
    cut.SetParameters(params);
    auto progress = std::make_shared<TerminalProgress>();
    const auto start = std::chrono::steady_clock::now();
    const auto code = cut.Operate(progress);
    const double seconds = Seconds(start);
    progress->Finish();
    if (code == MStlBaseOperatorPolylineCut::eCancelled || progress->IsCancelled())
        return std::cerr << "meshcut: interrupted, nothing written\n", kInterrupted;
    if (code == MStlBaseOperatorPolylineCut::eOpeningsNotClosed)
        return Fail("the cut could not be closed (the mesh is not closed where the polyline meets it); nothing written");
    if (code != MStlBaseOperatorPolylineCut::eCutDone && code != MStlBaseOperatorPolylineCut::eNotDivided)
        return Fail("the cut failed (code " + std::to_string(int(code)) + ")");

    std::unique_ptr<MStlBase> inside, outside;
    for (std::unique_ptr<MStlBase>& part : cut.GetOutputStls()) {
        if (NameStartsWith(*part, L"inside_of_")) inside = std::move(part);
        else if (NameStartsWith(*part, L"outside_of_")) outside = std::move(part);
    }
    // A polyline that misses the mesh (or holds all of it) leaves one side
    // empty: the other side is still written.
    std::vector<Output> outputs;
    RequestOutput(outputs, a.inside, inside.get(), "the inside part is empty");
    RequestOutput(outputs, a.outside, outside.get(), "the outside part is empty");
    if (outputs.empty()) return Fail("the polyline does not divide the mesh; nothing written");
    if (!WriteAll(outputs, a.ascii, error)) return Fail(error);
    std::cout << "input: " << inputSummary << "\n";
    for (const Output& o : outputs)
        std::cout << (o.mesh == inside.get() ? "inside: " : "outside: ") << Describe(*o.mesh) << " -> " << o.path << "\n";
    std::printf("cut in %.3f s\n", seconds);
    return 0;
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

struct TrimArgs {
    std::string input, tool, output, keep = "inside", border;
    bool ascii = false;
};

// Writes the cut polylines to `temporary`, to be renamed once every output
// is written; on failure nothing is left.
bool WriteBorderFile(const std::string& temporary, const MStlSurfaceBorder& border, std::string& error) {
    std::ofstream out(temporary);
    const double unit = QelSDK::Common::MInternalUnits::Get();
    out.precision(12);
    bool first = true;
    for (const MStlSurfaceBorderContour& contour : border.contours) {
        std::vector<MStlPoint*> points = contour.points;
        if (contour.closed && points.size() > 1 && points.front() == points.back()) points.pop_back();
        if (points.empty()) continue;
        if (!first) out << "\n";
        first = false;
        out << (contour.closed ? "closed" : "open") << "\n";
        for (const MStlPoint* p : points)
            out << p->GetX() / unit << " " << p->GetY() / unit << " " << p->GetZ() / unit << "\n";
    }
    out.close();
    if (!out) {
        std::remove(temporary.c_str());
        return error = temporary + ": cannot write the border file", false;
    }
    return true;
}

bool SameFile(const std::string& a, const std::string& b) {
    auto resolved = [](const std::string& path) {
        std::error_code code;
        const std::filesystem::path p = std::filesystem::weakly_canonical(path, code);
        return code ? std::filesystem::path(path) : p;
    };
    return resolved(a) == resolved(b);
}

int RunTrim(const TrimArgs& a) {
    if (!a.border.empty() && SameFile(a.output, a.border)) return Fail("--out and --border name the same file");
    std::string error;
    MStlBase mesh, tool;
    if (!Load(a.input, mesh, error) || !Load(a.tool, tool, error)) return Fail(error);
    const std::string inputSummary = Describe(mesh);
    // The trim keeps the side below the tool's surface; with the tool turned
    // inside out that is the side outside it.
    if (a.keep == "outside") tool.Invert();

    MStlBaseOperatorTrimStlToStl trim;
    trim.SetStl(0, &mesh, true, !a.border.empty());
    trim.SetStl(1, &tool, false, false);
    const auto start = std::chrono::steady_clock::now();
    const bool ok = trim.Operate();
    const double seconds = Seconds(start);
    if (!ok) return Fail("the trim failed");
    if (mesh.GetNumberOfTriangles() == 0)
        return Fail("nothing of " + a.input + " lies " + a.keep + " " + a.tool + "; nothing written");

    const MStlSurfaceBorder* border = trim.GetIntersectionBorder(0);
    const MStlSurfaceBorder none;
    const std::string temporary = a.border + ".tmp";
    if (!a.border.empty() && !WriteBorderFile(temporary, border ? *border : none, error)) return Fail(error);
    if (!WriteAll({{a.output, &mesh}}, a.ascii, error)) {
        if (!a.border.empty()) std::remove(temporary.c_str());
        return Fail(error);
    }
    std::error_code renamed;
    if (!a.border.empty()) std::filesystem::rename(temporary, a.border, renamed);
    if (renamed) {
        std::remove(temporary.c_str());
        std::remove(a.output.c_str());
        return Fail(a.border + ": " + renamed.message());
    }
    std::cout << "input: " << inputSummary << "\n";
    std::cout << "kept (" << a.keep << "): " << Describe(mesh) << " -> " << a.output << "\n";
    if (!a.border.empty()) {
        size_t closed = 0, count = 0;
        for (const MStlSurfaceBorderContour& c : border ? border->contours : none.contours)
            if (!c.points.empty()) ++count, closed += c.closed;
        std::cout << "border: " << count << " polylines, " << closed << " closed -> " << a.border << "\n";
    }
    std::printf("trimmed in %.3f s\n", seconds);
    return 0;
}

const char* const kTrimHelp =
    "Trims the surface of A against the closed, outward-oriented mesh B and keeps the part of\n"
    "A's surface inside B (--keep inside, the default) or outside B (--keep outside). The kept\n"
    "part is written as it is: an open surface, not closed at the cut.\n"
    "Border file (--border): the cut polylines on A as text, in model units. Each polyline\n"
    "starts with a line \"closed\" or \"open\", followed by one \"x y z\" line per point; a blank\n"
    "line separates polylines. A closed polyline's last point joins its first. Example:\n"
    "  closed\n  10 0 0\n  0 10 0\n  -10 0 0\n  0 -10 0\n";

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

bool PrepareHalves(const HalvesArgs& a, MUserOperatorCutIntoHalves& op, MStlBase& cutter, std::string& error) {
    if (a.inside.empty() && a.outside.empty()) return error = "nothing to write: give --inside and/or --outside", false;
    if (a.inside == a.outside) return error = "--inside and --outside name the same file", false;
    if (int(!a.plane.empty()) + int(!a.cutter.empty()) + int(!a.polyline.empty()) != 1)
        return error = "give exactly one of --plane, --cutter or --polyline", false;
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
        if (!Load(a.cutter, cutter, error)) return false;
        op.SetCuttingModel(cutter, MMTransformMatrix());
        return true;
    }
    MMVector3d direction;
    if (!ParseVector(a.direction, "--direction", direction, error)) return false;
    if (!(direction.Length() > 0.0)) return error = "--direction must not be zero", false;
    std::vector<MMVector<double, 2>> points;
    if (!ReadPolyline(a.polyline, points, error)) return false;
    // The file's points come in internal units already.
    std::vector<MMVector<long, 2>> polyline;
    for (const auto& p : points) polyline.push_back({long(p[0]), long(p[1])});
    op.SetCuttingPolyline(polyline, ViewAlong(direction));
    return true;
}

int RunHalves(const HalvesArgs& a) {
    std::string error;
    MUserOperatorCutIntoHalves op;
    MStlBase cutter, mesh;
    if (!PrepareHalves(a, op, cutter, error)) return Fail(error);
    if (!Load(a.input, mesh, error)) return Fail(error);
    op.SetSourceModel(mesh);
    const auto start = std::chrono::steady_clock::now();
    const auto code = op.Operate();
    const double seconds = Seconds(start);
    switch (code) {
    case MUserOperatorCutIntoHalves::eResultOk: break;
    case MUserOperatorCutIntoHalves::eTooFewPolylinePoints: return Fail(a.polyline + ": the polyline needs three points");
    case MUserOperatorCutIntoHalves::eSelfIntersectingPolyline: return Fail(a.polyline + ": the polyline crosses itself");
    default:
        return Fail("the cut failed (code " + std::to_string(int(code)) +
                    "); the mesh and the cutter must be closed and free of self-intersections");
    }
    const MStlBase* inside = op.GetOutputModelInside();
    const MStlBase* outside = op.GetOutputModelOutside();
    std::vector<Output> outputs;
    RequestOutput(outputs, a.inside, inside, "the inside part is empty");
    RequestOutput(outputs, a.outside, outside, "the outside part is empty");
    if (outputs.empty()) return Fail("the cut does not divide the mesh; nothing written");
    if (!WriteAll(outputs, a.ascii, error)) return Fail(error);
    std::cout << "input: " << Describe(mesh) << "\n";
    for (const Output& o : outputs)
        std::cout << (o.mesh == inside ? "inside: " : "outside: ") << Describe(*o.mesh) << " -> " << o.path << "\n";
    std::printf("cut in %.3f s\n", seconds);
    return 0;
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
    const MMVector3d normal = u.Cross(v);
    if (!(normal.Length() > 0.0)) return error = "--u and --v must span a rectangle (non-zero and not parallel)", false;
    const double units = QelSDK::Common::MInternalUnits::Get();
    for (const MMVector3d& corner : {origin, origin + u, origin + v, origin + u + v})
        for (int i = 0; i < 3; ++i) {
            long internal = 0;
            if (!ToInternal(corner[i], internal, error)) return error = "frame corner: " + error, false;
        }
    frame = MFrame<double>(origin * units, u * units, v * units);
    return true;
}

int RunFrame(const FrameArgs& a) {
    std::string error;
    if (a.above.empty() && a.below.empty() && a.uncut.empty() && a.unclassified.empty())
        return Fail("nothing to write: give --above, --below, --uncut and/or --unclassified");
    MFrame<double> frame;
    if (!ParseFrame(a, frame, error)) return Fail(error);
    MStlBase mesh;
    if (!Load(a.input, mesh, error)) return Fail(error);
    MUserOperatorStlCutWithFrame op;
    op.SetStl(mesh);
    op.SetFrame(frame);
    auto progress = std::make_shared<TerminalProgress>();
    const auto start = std::chrono::steady_clock::now();
    const auto code = op.Operate(progress);
    const double seconds = Seconds(start);
    progress->Finish();
    if (code == MUserOperatorStlCutWithFrame::eCancelled) return std::cerr << "meshcut: interrupted, nothing written\n", kInterrupted;
    if (code == MUserOperatorStlCutWithFrame::eMeshNotClosed) return Fail("the mesh is not closed; nothing written");
    if (code != MUserOperatorStlCutWithFrame::eCutOk && code != MUserOperatorStlCutWithFrame::eCutPartial)
        return Fail("the cut failed (code " + std::to_string(int(code)) + ")");
    if (code == MUserOperatorStlCutWithFrame::eCutPartial)
        std::cerr << "meshcut: warning: a section contour reaches out of the frame (or could not be closed) and was "
                     "left uncut\n";
    const auto above = op.GetOutputModelAbove(), below = op.GetOutputModelBelow(),
               uncut = op.GetOutputModelShellsWithoutCut();
    MStlBase unclassified;
    for (const auto& shell : op.GetOutputModelsUnclassifiedShells()) unclassified.AddStl(*shell, false);
    std::vector<Output> outputs;
    RequestOutput(outputs, a.above, above.get(), "no shell is above the cut");
    RequestOutput(outputs, a.below, below.get(), "no shell is below the cut");
    RequestOutput(outputs, a.uncut, uncut.get(), "no shell is without cut");
    RequestOutput(outputs, a.unclassified, &unclassified, "no shell is cut from both sides");
    if (outputs.empty()) return Fail("every requested part is empty; nothing written");
    if (!WriteAll(outputs, a.ascii, error)) return Fail(error);
    std::cout << "input: " << Describe(mesh) << "\n";
    for (const Output& o : outputs) std::cout << Describe(*o.mesh) << " -> " << o.path << "\n";
    if (unclassified.GetNumberOfTriangles() != 0 && a.unclassified.empty())
        std::cerr << "meshcut: warning: " << Describe(unclassified)
                  << " reach the cut from both sides and were not written (give --unclassified FILE)\n";
    std::printf("cut in %.3f s\n", seconds);
    return 0;
}

struct RangeArgs {
    std::string input, output;
    double lower = 0.0, upper = 0.0;
    bool ascii = false;
};

int RunRange(const RangeArgs& a) {
    std::string error;
    long lower = 0, upper = 0;
    if (!ToInternal(a.lower, lower, error)) return Fail("--lower: " + error);
    if (!ToInternal(a.upper, upper, error)) return Fail("--upper: " + error);
    if (lower > upper) return Fail("--lower is above --upper");
    MStlBase mesh, slab;
    if (!Load(a.input, mesh, error)) return Fail(error);
    auto progress = std::make_shared<TerminalProgress>();
    MStlBaseOperatorCreateZRange range;
    range.SetInput(&mesh);
    range.SetOutput(&slab);
    range.SetRange(lower, upper);
    const bool ok = range.Operate(progress);
    progress->Finish();
    if (progress->IsCancelled()) return std::cerr << "meshcut: interrupted, nothing written\n", kInterrupted;
    if (!ok) return Fail("the range could not be made");
    if (slab.GetNumberOfTriangles() == 0) return Fail("no part of the mesh lies between the heights; nothing written");
    if (!WriteAll({{a.output, &slab}}, a.ascii, error)) return Fail(error);
    std::cout << "range: " << Describe(slab) << " -> " << a.output << "\n";
    return 0;
}

int RunCheck(const std::string& input) {
    MStlBase mesh;
    std::string error;
    if (!Load(input, mesh, error)) return Fail(error);
    const MeshReport r = CheckMesh(mesh);
    std::cout << FormatReport(r);
    return r.closed && r.oriented ? 0 : kNotClosed;
}

struct GenerateArgs {
    std::string shape, output;
    uint64_t triangles = 20000;
    double size = 50.0;
    bool ascii = false;
};

int RunGenerate(const GenerateArgs& a) {
    if (a.triangles < 12 || a.triangles > 50'000'000) return Fail("--triangles must lie between 12 and 50000000");
    long size = 0;
    std::string error;
    if (!(a.size > 0.0) || !ToInternal(a.size * 2.0, size, error) || size < 2000)
        return Fail("--size must lie between 1 and about 1000000 units");
    const double r = a.size * QelSDK::Common::MInternalUnits::Get();
    MStlBase mesh;
    if (a.shape == "sphere") {
        GenerateSphere(mesh, r, a.triangles);
    } else if (a.shape == "torus") {
        GenerateTorus(mesh, r, r / 3.0, a.triangles);
    } else {
        const int n = std::max(1, int(std::sqrt(double(a.triangles) / 12.0)));
        const long h = long(r);
        GenerateBox(mesh, {-h, -h, -h}, {h, h, h}, n);
    }
    if (!WriteAll({{a.output, &mesh}}, a.ascii, error)) return Fail(error);
    std::cout << a.shape << ": " << Describe(mesh) << " -> " << a.output << "\n";
    return 0;
}

struct UndercutArgs {
    std::string input, output, direction;
    double grid = 0.0, draft = 0.0;
    bool ascii = false;
};

// "x,y,z": three finite numbers, not all zero.
bool ParseDirection(const std::string& text, MMVector3d& direction, std::string& error) {
    if (!ParseVector(text, "--direction", direction, error)) return false;
    if (direction[0] == 0.0 && direction[1] == 0.0 && direction[2] == 0.0) return error = "--direction is zero", false;
    return true;
}

int RunUndercut(const UndercutArgs& a) {
    std::string error;
    MMVector3d direction;
    if (!ParseDirection(a.direction, direction, error)) return Fail(error);
    long cell = 0;
    if (!(a.grid > 0.0)) return Fail("--grid must be a step above 0");
    if (!ToInternal(a.grid, cell, error)) return Fail("--grid: " + error);
    if (cell < 1) return Fail("--grid must be at least one grid step (0.001 units)");
    if (!(a.draft >= 0.0 && a.draft < 90.0)) return Fail("--draft must lie in [0, 90) degrees");
    MStlBase mesh;
    if (!Load(a.input, mesh, error)) return Fail(error);

    MUserOperatorUndercutRemover::MParams params;
    params.CellSize = int32_t(cell);
    params.DraftAngle = a.draft;
    MStlBase solid;
    MUserOperatorUndercutRemover remover;
    remover.SetInputModel(&mesh);
    remover.SetOutputSurface(solid.AddSurface());
    remover.SetOutputBottomSurface(solid.AddSurface());
    remover.SetDirection(direction);
    remover.SetParams(params);
    auto progress = std::make_shared<TerminalProgress>();
    const auto start = std::chrono::steady_clock::now();
    const auto code = remover.Operate(progress);
    const double seconds = Seconds(start);
    progress->Finish();
    if (code == MUserOperatorUndercutRemover::eCancelled || progress->IsCancelled())
        return std::cerr << "meshcut: interrupted, nothing written\n", kInterrupted;
    if (code == MUserOperatorUndercutRemover::eGridTooLarge)
        return Fail("the grid is too fine for the mesh (over " +
                    std::to_string(uint64_t(MUserOperatorUndercutRemover::kMaxGridPoints)) + " points); use a larger --grid");
    if (code != MUserOperatorUndercutRemover::eSuccess) return Fail("the undercut removal failed (code " + std::to_string(int(code)) + ")");
    if (solid.GetNumberOfTriangles() == 0) return Fail("no triangle of the mesh faces the direction; nothing written");
    if (!WriteAll({{a.output, &solid}}, a.ascii, error)) return Fail(error);
    std::cout << "input: " << Describe(mesh) << "\n";
    std::cout << "solid: " << Describe(solid) << " -> " << a.output << "\n";
    std::printf("undercuts removed in %.3f s\n", seconds);
    return 0;
}

const char* const kUndercutHelp =
    "Looks at the mesh along --direction and writes the solid left when every undercut is\n"
    "blocked out: the first surface seen on a grid of step --grid across the direction, swept\n"
    "along the direction to a flat bottom one step behind the mesh. With --draft the walls lean\n"
    "outward by at least that angle from the direction. The solid is closed and holds the mesh.\n"
    "Example, seen from above: --direction 0,0,-1 --grid 0.1";

void AddUndercutCommand(CLI::App& app, int& result) {
    static UndercutArgs args;
    auto* cmd = app.add_subcommand("undercut", "fill the undercuts of a mesh seen along a direction, giving a closed "
                                               "height-field solid");
    cmd->add_option("input", args.input, "mesh file (.stl or .obj)")->required();
    cmd->add_option("--direction", args.direction, "viewing direction x,y,z")->type_name("X,Y,Z")->required();
    cmd->add_option("--grid", args.grid, "grid step in units")->type_name("STEP")->required();
    cmd->add_option("--draft", args.draft, "draft angle of the walls in degrees (default 0: walls along the direction)")
        ->type_name("DEG");
    cmd->add_option("--out", args.output, "write the solid here")->type_name("FILE")->required();
    cmd->add_flag("--ascii", args.ascii, "write STL files as ASCII");
    cmd->footer(kUndercutHelp);
    cmd->callback([&result] { result = RunUndercut(args); });
}

struct BooleanUndercutArgs {
    std::string upper, lower, outUpper, outLower;
    double offset = 0.0;
    bool upward = false, ascii = false;
};

int RunBooleanUndercut(const BooleanUndercutArgs& a) {
    std::string error;
    MStlBase upper, lower;
    if (!Load(a.upper, upper, error) || !Load(a.lower, lower, error)) return Fail(error);
    if (!std::isfinite(a.offset) || std::fabs(a.offset) > 1e6)
        return Fail("--offset: expected a finite distance in model units");
    MStlBaseOperatorBooleanUndercut::Params params;
    params.Direction = a.upward ? 1 : 0;
    params.Offset = a.offset * QelSDK::Common::MInternalUnits::Get();
    MStlBaseOperatorBooleanUndercut op;
    op.SetUpperStl(&upper);
    op.SetLowerStl(&lower);
    op.SetParams(params);
    auto progress = std::make_shared<TerminalProgress>();
    const auto start = std::chrono::steady_clock::now();
    const auto code = op.Operate(progress);
    const double seconds = Seconds(start);
    progress->Finish();
    if (code == MStlBaseOperatorBooleanUndercut::eCancelled || progress->IsCancelled())
        return std::cerr << "meshcut: interrupted, nothing written\n", kInterrupted;
    if (code == MStlBaseOperatorBooleanUndercut::eEmptyIntermediate)
        return Fail("the upper part does not reach into the lower part (or lies wholly inside it); nothing written");
    if (code != MStlBaseOperatorBooleanUndercut::eSuccess && op.GetOffsetResult() == MarchingCubesOffset::eGridTooLarge)
        return Fail("--offset: the volume grid for this offset would be too large for the part (voxels of a fifth "
                    "of the offset); use a larger offset or 0; nothing written");
    if (code != MStlBaseOperatorBooleanUndercut::eSuccess && op.GetOffsetResult() == MarchingCubesOffset::eEmptyResult)
        return Fail("--offset: shrinking the notch by the offset leaves nothing; nothing written");
    if (code != MStlBaseOperatorBooleanUndercut::eSuccess)
        return Fail("the boolean undercut failed (code " + std::to_string(int(code)) + "); are both meshes closed?");
    if (!WriteAll({{a.outUpper, &upper}, {a.outLower, &lower}}, a.ascii, error)) return Fail(error);
    std::cout << "upper: " << Describe(upper) << " -> " << a.outUpper << "\n";
    std::cout << "lower: " << Describe(lower) << " -> " << a.outLower << "\n";
    std::printf("boolean undercut done in %.3f s\n", seconds);
    return 0;
}

const char* const kBooleanUndercutHelp =
    "Joins to the closed UPPER part the region of the closed LOWER part under its faces that\n"
    "dip into LOWER (the notch, reaching 100 grid steps below that overlap), and cuts the\n"
    "notch out of LOWER, its top lifted 3 grid steps so the hole opens cleanly. With --upward\n"
    "the notch rises from the downward-facing faces instead. A non-zero --offset cuts the\n"
    "notch grown by that distance (a clearance) or, when negative, shrunk by it (a press fit;\n"
    "its top still reaches 3 grid steps above the notch). The offset is sampled on voxels of\n"
    "a fifth of it, at most 2048 along the part.";

void AddBooleanUndercutCommand(CLI::App& app, int& result) {
    static BooleanUndercutArgs args;
    auto* cmd = app.add_subcommand("boolean-undercut", "extend an upper part by the notch it cuts into a lower part and "
                                                       "cut that notch out of the lower part");
    cmd->add_option("upper", args.upper, "closed upper mesh (.stl or .obj)")->required();
    cmd->add_option("lower", args.lower, "closed lower mesh (.stl or .obj)")->required();
    cmd->add_option("--out-upper", args.outUpper, "write the extended upper part here")->type_name("FILE")->required();
    cmd->add_option("--out-lower", args.outLower, "write the cut lower part here")->type_name("FILE")->required();
    cmd->add_flag("--upward", args.upward, "build the notch upward from the downward-facing faces");
    cmd->add_option("--offset", args.offset, "hole tool offset in units (default 0: the notch with lifted points)")
        ->type_name("DIST");
    cmd->add_flag("--ascii", args.ascii, "write STL files as ASCII");
    cmd->footer(kBooleanUndercutHelp);
    cmd->callback([&result] { result = RunBooleanUndercut(args); });
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"meshcut: cuts triangle meshes (binary/ASCII STL, OBJ) and closes the cuts.\n"
                 "Coordinates are model units; the mesh grid is 1/1000 unit, up to about +-2147483 units."};
    app.require_subcommand(1);
    int result = 0;

    PlaneArgs plane;
    auto* cmdPlane = app.add_subcommand("plane", "cut a mesh with a plane into the part below and the part above");
    cmdPlane->add_option("input", plane.input, "mesh file (.stl or .obj)")->required();
    auto* zOption = cmdPlane->add_option("--z", plane.z, "cut at height z (the plane z = VALUE)");
    cmdPlane->add_option("--plane", plane.plane, "cut with the plane a*x + b*y + c*z + d = 0, given as a,b,c,d");
    cmdPlane->add_option("--below", plane.below, "write the part on the negative side here");
    cmdPlane->add_option("--above", plane.above, "write the part on the positive side here");
    cmdPlane->add_flag("--no-fill", plane.noFill, "leave the cut open instead of closing it with a surface");
    cmdPlane->add_flag("--ascii", plane.ascii, "write STL files as ASCII");
    cmdPlane->callback([&] { result = RunPlane(plane, zOption->count() > 0); });

    ProfileArgs profile;
    auto* cmdProfile = app.add_subcommand("profile", "cut a mesh along closed polygons extruded along Z into the part "
                                                     "inside and the part outside, closing the cut");
    cmdProfile->add_option("input", profile.input, "mesh file (.stl or .obj)")->required();
    cmdProfile->add_option("--polygon", profile.polygon, "text file of the cut polygons (format below)")
        ->type_name("FILE");
    auto* depthOption = cmdProfile->add_option("--depth", profile.depth,
                                               "cut only from height D upward (inside: within the polygons, above D)")
                               ->type_name("D");
    auto* roundOption = cmdProfile->add_option("--round", profile.round, "round the polygons' corners with radius R")
                               ->type_name("R");
    cmdProfile->add_option("--mode", profile.mode, "profile (default), or plane-x, plane-y, plane-z with --value")
        ->check(CLI::IsMember({"profile", "plane-x", "plane-y", "plane-z"}));
    auto* valueOption = cmdProfile->add_option("--value", profile.value, "plane position for a plane --mode")
                               ->type_name("V");
    cmdProfile->add_option("--inside", profile.inside, "write the part inside the profile here");
    cmdProfile->add_option("--outside", profile.outside, "write the part outside the profile here");
    cmdProfile->add_flag("--ascii", profile.ascii, "write STL files as ASCII");
    cmdProfile->footer(kPolygonFormatHelp);
    cmdProfile->callback([&] {
        profile.depthGiven = depthOption->count() > 0;
        profile.roundGiven = roundOption->count() > 0;
        profile.valueGiven = valueOption->count() > 0;
        result = RunProfile(profile);
    });

    PolylineArgs poly;
    auto* cmdPoly = app.add_subcommand("polyline", "cut a mesh along one closed polyline extruded along Z into the part "
                                                   "inside and the part outside, optionally with a gap between them");
    cmdPoly->add_option("input", poly.input, "mesh file (.stl or .obj)")->required();
    cmdPoly->add_option("--polyline", poly.polyline, "text file of the polyline (format below)")
        ->type_name("FILE")
        ->required();
    auto* polyDepthOption =
        cmdPoly->add_option("--depth", poly.depth, "cut only from height D > 0 upward (inside: within it, above D)")
            ->type_name("D");
    cmdPoly->add_option("--clearance-inside", poly.insideClearance, "cut a band of width C off the inside part")
        ->type_name("C");
    cmdPoly->add_option("--clearance-outside", poly.outsideClearance, "cut a band of width C off the outside part")
        ->type_name("C");
    cmdPoly->add_option("--inside", poly.inside, "write the part inside the polyline here");
    cmdPoly->add_option("--outside", poly.outside, "write the part outside the polyline here");
    cmdPoly->add_flag("--ascii", poly.ascii, "write STL files as ASCII");
    cmdPoly->footer(kPolylineHelp);
    cmdPoly->callback([&] {
        poly.depthGiven = polyDepthOption->count() > 0;
        result = RunPolyline(poly);
    });

    TrimArgs trimArgs;
    auto* cmdTrim = app.add_subcommand("trim", "trim the surface of mesh A against mesh B, keeping the part inside or "
                                               "outside B, and optionally write the cut polylines");
    cmdTrim->add_option("a", trimArgs.input, "mesh to trim (.stl or .obj)")->required();
    cmdTrim->add_option("b", trimArgs.tool, "closed mesh to trim against")->required();
    cmdTrim->add_option("--out", trimArgs.output, "write the kept part of A here")->type_name("FILE")->required();
    cmdTrim->add_option("--keep", trimArgs.keep, "inside (default) or outside: the part of A to keep")
        ->check(CLI::IsMember({"inside", "outside"}));
    cmdTrim->add_option("--border", trimArgs.border, "write the cut polylines here (format below)")->type_name("FILE");
    cmdTrim->add_flag("--ascii", trimArgs.ascii, "write STL files as ASCII");
    cmdTrim->footer(kTrimHelp);
    cmdTrim->callback([&] { result = RunTrim(trimArgs); });

    HalvesArgs halves;
    auto* cmdHalves = app.add_subcommand("halves", "split a closed mesh by a plane, a cutting mesh or a polyline into "
                                                   "the part inside and the part outside, both closed");
    cmdHalves->add_option("input", halves.input, "mesh file (.stl or .obj)")->required();
    cmdHalves->add_option("--plane", halves.plane, "cut with the plane a*x + b*y + c*z + d = 0")->type_name("A,B,C,D");
    cmdHalves->add_option("--cutter", halves.cutter, "cut with this closed mesh")->type_name("MESH");
    cmdHalves->add_option("--polyline", halves.polyline, "cut with this closed polyline")->type_name("FILE");
    cmdHalves->add_option("--direction", halves.direction, "view direction of the polyline (default 0,0,1)")
        ->type_name("X,Y,Z");
    cmdHalves->add_option("--inside", halves.inside, "write the inside part here")->type_name("FILE");
    cmdHalves->add_option("--outside", halves.outside, "write the outside part here")->type_name("FILE");
    cmdHalves->add_flag("--ascii", halves.ascii, "write STL files as ASCII");
    cmdHalves->footer(kHalvesHelp);
    cmdHalves->callback([&] { result = RunHalves(halves); });

    FrameArgs frameArgs;
    auto* cmdFrame = app.add_subcommand("frame", "cut a closed mesh with a rectangle: only section contours wholly "
                                                 "inside it are cut and closed; shells are sorted by side");
    cmdFrame->add_option("input", frameArgs.input, "mesh file (.stl or .obj)")->required();
    cmdFrame->add_option("--origin", frameArgs.origin, "a corner of the rectangle")->type_name("X,Y,Z")->required();
    cmdFrame->add_option("--u", frameArgs.u, "first edge of the rectangle")->type_name("X,Y,Z")->required();
    cmdFrame->add_option("--v", frameArgs.v, "second edge; above is the side u x v points to")
        ->type_name("X,Y,Z")
        ->required();
    cmdFrame->add_option("--above", frameArgs.above, "write the shells above the cut here")->type_name("FILE");
    cmdFrame->add_option("--below", frameArgs.below, "write the shells below the cut here")->type_name("FILE");
    cmdFrame->add_option("--uncut", frameArgs.uncut, "write the shells the cut does not reach here")->type_name("FILE");
    cmdFrame->add_option("--unclassified", frameArgs.unclassified, "write the shells cut from both sides here")
        ->type_name("FILE");
    cmdFrame->add_flag("--ascii", frameArgs.ascii, "write STL files as ASCII");
    cmdFrame->callback([&] { result = RunFrame(frameArgs); });

    RangeArgs range;
    auto* cmdRange = app.add_subcommand("zrange", "keep the part of a mesh surface between two heights (left open)");
    cmdRange->add_option("input", range.input, "mesh file")->required();
    cmdRange->add_option("--lower", range.lower, "lower height")->required();
    cmdRange->add_option("--upper", range.upper, "upper height")->required();
    cmdRange->add_option("-o,--output", range.output, "output mesh file")->required();
    cmdRange->add_flag("--ascii", range.ascii, "write STL as ASCII");
    cmdRange->callback([&] { result = RunRange(range); });

    std::string checkInput;
    auto* cmdCheck = app.add_subcommand("check", "report triangles, open and non-manifold edges, orientation, shells, "
                                                 "volume; exit status 2 when not closed and oriented");
    cmdCheck->add_option("input", checkInput, "mesh file")->required();
    cmdCheck->callback([&] { result = RunCheck(checkInput); });

    GenerateArgs gen;
    auto* cmdGen = app.add_subcommand("generate", "write a closed sample mesh");
    cmdGen->add_option("shape", gen.shape, "sphere, torus or box")->required()->check(CLI::IsMember({"sphere", "torus", "box"}));
    cmdGen->add_option("output", gen.output, "output mesh file")->required();
    cmdGen->add_option("--triangles", gen.triangles, "approximate number of triangles (default 20000)");
    cmdGen->add_option("--size", gen.size, "radius or half width in units (default 50)");
    cmdGen->add_flag("--ascii", gen.ascii, "write STL as ASCII");
    cmdGen->callback([&] { result = RunGenerate(gen); });

    AddUndercutCommand(app, result);
    AddZonesCommand(app, result);
    AddExtrudeCommand(app, result);
    AddSelfTrimCommand(app, result);
    AddBooleanUndercutCommand(app, result);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kFailure;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    return result;
}

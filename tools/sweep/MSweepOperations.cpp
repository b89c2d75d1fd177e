// Running one case in its child and judging its results.  Each operation is
// driven the way the command-line tool drives it, so that the tool's command
// line for a case repeats it.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <sstream>

#include "MCutter.h"
#include "MStlBaseOperatorBooleanUndercut.h"
#include "MStlBaseOperatorPlaneCut.h"
#include "MStlBaseOperatorPolylineCut.h"
#include "MStlBaseOperatorTrimStlToStl.h"
#include "MStlBaseOperatorTrimTriangles.h"
#include "MUserOperatorCutIntoHalves.h"
#include "MUserOperatorStlCutWithFrame.h"
#include "MUserOperatorUndercutRemover.h"
#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "host/MarchingCubesOffset.h"
#include "tools/sweep/MSweepCases.h"
#include "tools/sweep/MSweepText.h"

namespace meshcut_sweep {
namespace {

// Openings within this many typical edge lengths of a place where the input
// intersects itself are put down to it.
constexpr double kNearCrossing = 8.0;

struct Judgement {
    Verdict verdict = Verdict::kSound;
    std::string reason;
    uint64_t crossed = 0;  // self-trim: triangles that crossed others
};

Judgement Refused(const std::string& code) { return {Verdict::kRefused, code}; }
Judgement Unsound(const std::string& why) { return {Verdict::kUnsound, why}; }

// --- result code names ---------------------------------------------------

std::string CutterCode(unsigned char code) {
    switch (code) {
    case (unsigned char)MCutter::kDone: return "kDone";
    case (unsigned char)MCutter::kCancelled: return "kCancelled";
    case (unsigned char)MCutter::kNoCut: return "kNoCut";
    case (unsigned char)MCutter::kOpeningsNotClosed: return "kOpeningsNotClosed";
    case (unsigned char)MCutter::kNoMesh: return "kNoMesh";
    case (unsigned char)MCutter::kOutOfMemory: return "kOutOfMemory";
    case 1: return "code 1 (self-intersecting profile)";
    default: return "code " + std::to_string(int(code));
    }
}

std::string PolylineCode(MStlBaseOperatorPolylineCut::ERCode code) {
    using Op = MStlBaseOperatorPolylineCut;
    switch (code) {
    case Op::eCutDone: return "eCutDone";
    case Op::eBadInput: return "eBadInput";
    case Op::eCancelled: return "eCancelled";
    case Op::eNotDivided: return "eNotDivided";
    case Op::eFilteredPartNotCuttable: return "eFilteredPartNotCuttable";
    case Op::eOpeningsNotClosed: return "eOpeningsNotClosed";
    case Op::eOutOfMemory: return "eOutOfMemory";
    }
    return "code " + std::to_string(int(code));
}

std::string PlaneCutCode(MStlBaseOperatorPlaneCut::eErrorCode code) {
    switch (code) {
    case MStlBaseOperatorPlaneCut::eNoError: return "failed (eNoError)";
    case MStlBaseOperatorPlaneCut::eOpenCutContour: return "eOpenCutContour";
    case MStlBaseOperatorPlaneCut::eNoCut: return "eNoCut";
    case MStlBaseOperatorPlaneCut::eCrossingNotClosed: return "eCrossingNotClosed";
    }
    return "code " + std::to_string(int(code));
}

std::string HalvesCode(MUserOperatorCutIntoHalves::EResultCode code) {
    using Op = MUserOperatorCutIntoHalves;
    switch (code) {
    case Op::eResultOk: return "eResultOk";
    case Op::eNoCuttingElement: return "eNoCuttingElement";
    case Op::eNoSourceModel: return "eNoSourceModel";
    case Op::eNoCuttingModel: return "eNoCuttingModel";
    case Op::eCutFailed: return "eCutFailed";
    case Op::eTooFewPolylinePoints: return "eTooFewPolylinePoints";
    case Op::eSelfIntersectingPolyline: return "eSelfIntersectingPolyline";
    }
    return "code " + std::to_string(int(code));
}

std::string FrameCode(MUserOperatorStlCutWithFrame::EReturnCode code) {
    using Op = MUserOperatorStlCutWithFrame;
    switch (code) {
    case Op::eCutOk: return "eCutOk";
    case Op::eCutPartial: return "eCutPartial";
    case Op::eNoInputMesh: return "eNoInputMesh";
    case Op::eMeshNotClosed: return "eMeshNotClosed";
    case Op::eHybridMesh: return "eHybridMesh";
    case Op::eCancelled: return "eCancelled";
    case Op::eOutOfMemory: return "eOutOfMemory";
    case Op::eCutNotClosed: return "eCutNotClosed";
    }
    return "code " + std::to_string(int(code));
}

std::string UndercutCode(MUserOperatorUndercutRemover::EReturnCode code) {
    using Op = MUserOperatorUndercutRemover;
    switch (code) {
    case Op::eSuccess: return "eSuccess";
    case Op::eInvalidInput: return "eInvalidInput";
    case Op::eCancelled: return "eCancelled";
    case Op::eGridTooLarge: return "eGridTooLarge";
    case Op::eOutOfRange: return "eOutOfRange";
    }
    return "code " + std::to_string(int(code));
}

std::string TrimTrianglesCode(QelSDK::MStlBaseOperatorTrimTriangles::ERCode code) {
    using Op = QelSDK::MStlBaseOperatorTrimTriangles;
    switch (code) {
    case Op::eDone: return "eDone";
    case Op::eNoSelection: return "eNoSelection";
    case Op::eNoStl: return "eNoStl";
    case Op::eCancelled: return "eCancelled";
    case Op::eOpened: return "eOpened";
    }
    return "code " + std::to_string(int(code));
}

std::string OffsetResult(int32_t result) {
    switch (result) {
    case MarchingCubesOffset::eFailure: return "eFailure";
    case MarchingCubesOffset::eSuccess: return "eSuccess";
    case MarchingCubesOffset::eInvalidInput: return "eInvalidInput";
    case MarchingCubesOffset::eGridTooLarge: return "eGridTooLarge";
    case MarchingCubesOffset::eEmptyResult: return "eEmptyResult";
    case MarchingCubesOffset::eCancelled: return "eCancelled";
    }
    return "code " + std::to_string(result);
}

std::string BooleanUndercutCode(MStlBaseOperatorBooleanUndercut::EReturnCode code, int32_t offsetResult) {
    using Op = MStlBaseOperatorBooleanUndercut;
    std::string name;
    switch (code) {
    case Op::eSuccess: name = "eSuccess"; break;
    case Op::eFailure: name = "eFailure"; break;
    case Op::eEmptyIntermediate: name = "eEmptyIntermediate"; break;
    case Op::eCancelled: name = "eCancelled"; break;
    default: name = "code " + std::to_string(int(code));
    }
    // The offset's result tells why a tool by offset failed; a stopped
    // offset only follows a failure of the upper part, made beside it.
    if (offsetResult != 0 && offsetResult != MarchingCubesOffset::eSuccess && offsetResult != MarchingCubesOffset::eCancelled)
        name += " (offset " + OffsetResult(offsetResult) + ")";
    return name;
}

// --- checks ----------------------------------------------------------------

struct Part {
    std::string role;
    MeshReport report;
};

Part Checked(const std::string& role, const MStlBase* mesh) {
    if (mesh) return {role, CheckMesh(*mesh)};
    MeshReport empty;
    empty.closed = empty.oriented = true;
    return {role, empty};
}

std::string Faults(const Part& p) {
    const MeshReport& r = p.report;
    std::ostringstream out;
    out << p.role << ": ";
    const char* sep = "";
    if (r.boundaryEdges) out << r.boundaryEdges << " boundary", sep = ", ";
    if (r.nonManifoldEdges) out << sep << r.nonManifoldEdges << " non-manifold", sep = ", ";
    if (r.inconsistentEdges) out << sep << r.inconsistentEdges << " inconsistent";
    out << " edges, first near " << Triple(r.faultAt);
    return out.str();
}

enum class Balance { kEqual, kAtMost, kNone };

// The volumes of the parts against the input's.  New points of a cut are
// rounded to the grid, which moves the volume by at most a few steps times
// the cut's area; the cut surface appears once on each side, so half of the
// area the parts have more than the input is the cut's.
Judgement Judge(const std::vector<Part>& parts, const SweepMesh& input, Balance balance, double stepsPerUnit) {
    double volume = 0.0, area = 0.0;
    for (const Part& p : parts) {
        if (!p.report.closed || !p.report.oriented) return Unsound(Faults(p));
        volume += p.report.volume;
        area += p.report.area;
    }
    const double cut = std::max(0.0, 0.5 * (area - input.area));
    const double tolerance = std::max(1e-4 * input.volume, 3.0 / stepsPerUnit * cut);
    for (const Part& p : parts)
        if (p.report.volume < -tolerance)
            return Unsound(p.role + " is turned inside out (volume " + Number(p.report.volume) + ")");
    const double excess = volume - input.volume;
    if (balance == Balance::kNone || (balance == Balance::kAtMost ? excess <= tolerance : std::abs(excess) <= tolerance))
        return {};
    std::ostringstream out;
    out << "volumes: parts " << volume << " against the input's " << input.volume << " (off by " << excess
        << ", tolerance " << tolerance << ")";
    return Unsound(out.str());
}

// A cut of a mesh that intersects itself cannot be closed where it passes a
// crossing: a refusal is put down to the input when `distance` (model
// units, from the input's crossings) finds a crossing close to where the cut
// failed, and stays as the operation gave it otherwise.
Judgement RefusedNearCrossing(const std::string& code, const SweepMesh& data, double stepsPerUnit,
                              const std::function<double(const MSelfIntersections&)>& distance) {
    MStlBase input;
    BuildMesh(data, input);
    if (distance(MSelfIntersections(input)) <= kNearCrossing * data.typicalEdge / stepsPerUnit)
        return Refused(code + ", the mesh intersects itself there");
    return Refused(code);
}

// An opening of the parts near a crossing.
Judgement RefusedOpen(const std::string& code, const SweepMesh& data, const std::vector<const MStlBase*>& parts,
                      double stepsPerUnit) {
    return RefusedNearCrossing(code, data, stepsPerUnit,
                               [&](const MSelfIntersections& c) { return c.FarthestOpening(parts); });
}

// A cutting mesh passing near a crossing.
Judgement RefusedNearCutter(const std::string& code, const SweepMesh& data, const MStlBase& cutter,
                            double stepsPerUnit) {
    return RefusedNearCrossing(code, data, stepsPerUnit, [&](const MSelfIntersections& c) {
        double nearest = std::numeric_limits<double>::infinity();
        if (c.Pairs() == 0) return nearest;
        for (auto it = cutter.BeginPoint(); it != cutter.EndPoint(); ++it)
            nearest = std::min(nearest, c.DistanceTo({it->GetX() / stepsPerUnit, it->GetY() / stepsPerUnit,
                                                      it->GetZ() / stepsPerUnit}));
        return nearest;
    });
}

// --- the operations -----------------------------------------------------------

Judgement Plane(const SweepMesh& data, MStlBase& mesh, const SweepCase& s, double g) {
    MStlBase below, above;
    MStlBaseOperatorPlaneCut cut;
    cut.SetStl(&mesh);
    cut.SetPlane(MMPlaneEq<double>(s.plane[0], s.plane[1], s.plane[2], s.plane[3] * g));
    cut.SetOutputStl(&below, &above);
    cut.SetFillSection(true);
    if (!cut.Operate()) return Refused(PlaneCutCode(cut.GetErrorCode()));
    return Judge({Checked("below", &below), Checked("above", &above)}, data, Balance::kEqual, g);
}

Judgement Profile(const SweepMesh& data, MStlBase& mesh, const SweepCase& s, double g) {
    MCutter cutter;
    for (const Contour& contour : s.contours) {
        cutter.AddNewCutContour();
        for (const ProfilePoint2& p : contour) cutter.AddNewCutPoint(p.x, p.y, false);
    }
    cutter.SET_CUT_MODE(s.depthCut ? 5 : 3, s.depthCut ? s.depth : 0);
    cutter.SET_ROUND_PROFILE(s.round);  // after SET_CUT_MODE, which clears it
    cutter.SetCutStl(mesh, true);
    const unsigned char code = (unsigned char)cutter.MAKE_CUT();
    const std::unique_ptr<MStlBase> inside(cutter.GetInsideResult(true)), outside(cutter.GetOutsideResult(true));
    if (code == (unsigned char)MCutter::kOpeningsNotClosed)
        return RefusedOpen(CutterCode(code), data, {inside.get(), outside.get()}, g);
    if (code != (unsigned char)MCutter::kDone) return Refused(CutterCode(code));
    return Judge({Checked("inside", inside.get()), Checked("outside", outside.get())}, data, Balance::kEqual, g);
}

Judgement Polyline(const SweepMesh& data, MStlBase& mesh, const SweepCase& s, double g) {
    MStlBaseOperatorPolylineCut::MParams params;
    params.insideClearance = int32_t(s.clearanceInside);
    params.outsideClearance = int32_t(s.clearanceOutside);
    // The operator reads a depth below one step as the whole height; the
    // tool lifts the mesh for a lower depth, and so does the sweep.
    long lift = 0;
    if (s.depthCut) {
        lift = s.depth < 1 ? 1 - s.depth : 0;
        if (lift) mesh.Translate(0, 0, lift);
        params.depth = int32_t(s.depth + lift);
    }
    std::vector<MMVector<double, 2>> polyline;
    for (const ProfilePoint2& p : s.contours.front()) polyline.emplace_back(double(p.x), double(p.y));
    MStlBaseOperatorPolylineCut cut;
    cut.SetModelToCut(&mesh);
    cut.SetCutPolyline(polyline);
    cut.SetParameters(params);
    const auto code = cut.Operate();
    if (code == MStlBaseOperatorPolylineCut::eOpeningsNotClosed) {
        const std::vector<std::unique_ptr<MStlBase>> parts = cut.GetOutputStls();
        std::vector<const MStlBase*> open;
        for (const std::unique_ptr<MStlBase>& part : parts) {
            if (lift) part->Translate(0, 0, -lift);
            open.push_back(part.get());
        }
        return RefusedOpen(PolylineCode(code), data, open, g);
    }
    if (code != MStlBaseOperatorPolylineCut::eCutDone && code != MStlBaseOperatorPolylineCut::eNotDivided)
        return Refused(PolylineCode(code));
    std::vector<Part> parts;
    for (const std::unique_ptr<MStlBase>& part : cut.GetOutputStls()) {
        const std::wstring& name = part->GetName();
        parts.push_back(Checked(name.starts_with(L"inside_of_") ? "inside" : name.starts_with(L"outside_of_") ? "outside" : "part",
                                part.get()));
    }
    const bool gap = s.clearanceInside > 0 || s.clearanceOutside > 0;
    return Judge(parts, data, gap ? Balance::kAtMost : Balance::kEqual, g);
}

Judgement Halves(const SweepMesh& data, MStlBase& mesh, const SweepCase& s, double g) {
    MUserOperatorCutIntoHalves op;
    MStlBase cutter;
    if (s.op == Operation::kHalvesCutter) {
        BuildBody(s.body, cutter);
        op.SetCuttingModel(cutter, MMTransformMatrix());
    } else {
        // As the tool: the plane in model units, as origin and normal.
        const MMPlaneEq<double> eq(s.plane[0], s.plane[1], s.plane[2], s.plane[3] * g);
        const MMVector3d n = eq.GetNormal();
        op.SetCuttingPlane(MMPlane(n * (-eq.D() / n.Dot(n) / g), n));
    }
    op.SetSourceModel(mesh);
    const auto code = op.Operate();
    if (code != MUserOperatorCutIntoHalves::eResultOk)
        return s.op == Operation::kHalvesCutter ? RefusedNearCutter(HalvesCode(code), data, cutter, g)
                                                : Refused(HalvesCode(code));
    return Judge({Checked("inside", op.GetOutputModelInside()), Checked("outside", op.GetOutputModelOutside())}, data,
                 Balance::kEqual, g);
}

Judgement Frame(const SweepMesh& data, MStlBase& mesh, const SweepCase& s, double g) {
    const MMVector3d origin(s.frame[0][0], s.frame[0][1], s.frame[0][2]), u(s.frame[1][0], s.frame[1][1], s.frame[1][2]),
        v(s.frame[2][0], s.frame[2][1], s.frame[2][2]);
    MUserOperatorStlCutWithFrame op;
    op.SetStl(mesh);
    op.SetFrame(MFrame<double>(origin * g, u * g, v * g));
    const auto code = op.Operate();
    if (code != MUserOperatorStlCutWithFrame::eCutOk && code != MUserOperatorStlCutWithFrame::eCutPartial)
        return Refused(FrameCode(code));
    const auto above = op.GetOutputModelAbove(), below = op.GetOutputModelBelow(),
               uncut = op.GetOutputModelShellsWithoutCut();
    Judgement j = Judge({Checked("above", above.get()), Checked("below", below.get()), Checked("uncut", uncut.get())},
                        data, Balance::kNone, g);
    if (j.verdict != Verdict::kSound) j.reason = FrameCode(code) + ", " + j.reason;
    return j;
}

Judgement Undercut(const SweepMesh& data, MStlBase& mesh, const SweepCase& s) {
    MStlBase solid;
    MUserOperatorUndercutRemover remover;
    MUserOperatorUndercutRemover::MParams params;
    params.CellSize = int32_t(s.cell);
    params.DraftAngle = s.draft;
    remover.SetInputModel(&mesh);
    remover.SetOutputSurface(solid.AddSurface());
    remover.SetOutputBottomSurface(solid.AddSurface());
    remover.SetDirection(MMVector3d(s.direction[0], s.direction[1], s.direction[2]));
    remover.SetParams(params);
    const auto code = remover.Operate();
    if (code != MUserOperatorUndercutRemover::eSuccess) return Refused(UndercutCode(code));
    if (solid.GetNumberOfTriangles() == 0) return Unsound("the solid is empty");
    const Part part = Checked("solid", &solid);
    if (!part.report.closed || !part.report.oriented) return Unsound(Faults(part));
    // It holds the mesh, so it is not smaller.
    const double tolerance = 1e-4 * data.volume;
    if (part.report.volume < data.volume - tolerance)
        return Unsound("solid volume " + Number(part.report.volume) + " is below the input's " + Number(data.volume));
    return {};
}

Judgement Trim(MStlBase& mesh, const SweepCase& s) {
    MStlBase tool;
    BuildBody(s.body, tool);
    // The trim keeps the side below the tool's surface; turned inside out
    // that is the outside.
    if (s.keepOutside) tool.Invert();
    MStlBaseOperatorTrimStlToStl trim;
    trim.SetStl(0, &mesh, true, false);
    trim.SetStl(1, &tool, false, false);
    if (!trim.Operate()) return Refused("failed");
    const Part kept = Checked("kept", &mesh);
    // An open surface by design: only its edges' use and orientation count.
    if (kept.report.nonManifoldEdges || kept.report.inconsistentEdges) return Unsound(Faults(kept));
    return {};
}

Judgement SelfTrim(MStlBase& mesh) {
    MDataMaskBits<MStlTriangle> selection(mesh);
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) selection.Set(*it);
    QelSDK::MStlBaseOperatorTrimTriangles trim;
    trim.SetStl(mesh, selection);
    trim.SetMode(QelSDK::MStlBaseOperatorTrimTriangles::eSelectedWithAll);
    const auto code = trim.Operate();
    if (code != QelSDK::MStlBaseOperatorTrimTriangles::eDone) return Refused(TrimTrianglesCode(code));
    const Part result = Checked("result", &mesh);
    // Surfaces that crossed now meet along shared edges, which may be
    // non-manifold; nothing may open or turn.
    Judgement j;
    if (result.report.boundaryEdges || result.report.inconsistentEdges) j = Unsound(Faults(result));
    j.crossed = trim.GetNumberOfTrimmedTriangles();
    return j;
}

Judgement BooleanUndercut(const SweepMesh& data, MStlBase& mesh, const SweepCase& s, double g) {
    MStlBase body;
    BuildBody(s.body, body);
    MStlBase& upper = s.meshIsUpper ? mesh : body;
    MStlBase& lower = s.meshIsUpper ? body : mesh;
    MStlBaseOperatorBooleanUndercut::Params params;
    params.Direction = s.upward ? 1 : 0;
    params.Offset = s.offset * g;
    MStlBaseOperatorBooleanUndercut op;
    op.SetUpperStl(&upper);
    op.SetLowerStl(&lower);
    op.SetParams(params);
    const auto code = op.Operate();
    if (code != MStlBaseOperatorBooleanUndercut::eSuccess) return Refused(BooleanUndercutCode(code, op.GetOffsetResult()));
    return Judge({Checked("upper", &upper), Checked("lower", &lower)}, data, Balance::kNone, g);
}

Judgement RunCase(const SweepMesh& data, const SweepCase& s, double g) {
    MStlBase mesh;
    BuildMesh(data, mesh);
    switch (s.op) {
    case Operation::kPlane: return Plane(data, mesh, s, g);
    case Operation::kProfile: return Profile(data, mesh, s, g);
    case Operation::kPolyline: return Polyline(data, mesh, s, g);
    case Operation::kHalvesPlane:
    case Operation::kHalvesCutter: return Halves(data, mesh, s, g);
    case Operation::kFrame: return Frame(data, mesh, s, g);
    case Operation::kUndercut: return Undercut(data, mesh, s);
    case Operation::kTrim: return Trim(mesh, s);
    case Operation::kSelfTrim: return SelfTrim(mesh);
    case Operation::kBooleanUndercut: return BooleanUndercut(data, mesh, s, g);
    }
    return Unsound("unknown operation");
}

}  // namespace

void BuildBody(const Body& b, MStlBase& mesh) {
    if (b.sphere)
        GenerateSphere(mesh, double(b.radius), b.triangles, MMVector3d(b.centre[0], b.centre[1], b.centre[2]));
    else
        GenerateBox(mesh, MMVector3l(b.lo[0], b.lo[1], b.lo[2]), MMVector3l(b.hi[0], b.hi[1], b.hi[2]), b.cells);
}

std::string RunCaseAnswer(const SweepMesh& mesh, const SweepCase& sweepCase, double stepsPerUnit) {
    Judgement j;
    // An exception that leaves an operator is a fault of the operator, as a
    // crash is.
    try {
        j = RunCase(mesh, sweepCase, stepsPerUnit);
    } catch (const std::bad_alloc&) {
        j = {Verdict::kCrash, "std::bad_alloc escaped the operation (out of memory)"};
    } catch (const std::exception& e) {
        j = {Verdict::kCrash, std::string("an exception escaped the operation: ") + e.what()};
    }
    AnswerWriter w;
    w.Byte(uint8_t(j.verdict));
    w.Text(j.reason);
    w.U64(j.crossed);
    return w.Bytes();
}

bool ParseCaseAnswer(const std::string& answer, CaseResult& result) {
    AnswerReader r(answer);
    uint8_t v = 0;
    if (!r.Byte(v) || v > uint8_t(Verdict::kTimeout) || !r.Text(result.reason) || !r.U64(result.crossedTriangles) ||
        !r.AtEnd())
        return false;
    result.verdict = Verdict(v);
    return true;
}

}  // namespace meshcut_sweep

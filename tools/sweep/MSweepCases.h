// The cases of a sweep: their parameters, drawn from (seed, mesh, operation,
// case number) alone; what they are in words; the command line of the
// command-line tool that repeats them; and running one in a child.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/sweep/MSweep.h"
#include "tools/sweep/MSweepMesh.h"

namespace meshcut_sweep {

enum class Operation {
    kPlane,
    kProfile,
    kPolyline,
    kHalvesPlane,
    kHalvesCutter,
    kFrame,
    kUndercut,
    kTrim,
    kSelfTrim,
    kBooleanUndercut,
};
const char* OperationName(Operation op);
bool OperationFromName(const std::string& name, Operation& op);
// Self-trim has no parameters: it runs once per mesh.
int CasesPerMesh(Operation op, int cuts);

// A point of a profile or polyline in grid steps; MCutter's infinity
// markers stand for plus and minus infinity.
struct ProfilePoint2 {
    long x = 0, y = 0;
    bool operator==(const ProfilePoint2&) const = default;
};
using Contour = std::vector<ProfilePoint2>;

// A closed cutting body, generated in the child (grid steps).
struct Body {
    bool sphere = true;
    int32_t centre[3] = {0, 0, 0};
    int32_t radius = 0;
    uint64_t triangles = 0;
    int32_t lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    int cells = 1;
};

struct SweepCase {
    Operation op = Operation::kPlane;
    int number = 0;
    std::string words;  // the parameters in words

    double plane[4] = {0, 0, 1, 0};  // a, b, c, d in model units (plane, halves-plane)
    std::vector<Contour> contours;   // profile, polyline
    bool depthCut = false;
    long depth = 0, round = 0;                        // steps
    long clearanceInside = 0, clearanceOutside = 0;   // steps
    Body body;                                        // halves-cutter, trim, boolean-undercut
    bool keepOutside = false;                         // trim
    bool meshIsUpper = false, upward = false;         // boolean-undercut
    double offset = 0.0;                              // boolean-undercut, model units
    double frame[3][3] = {};                          // origin, u, v in model units
    double direction[3] = {0, 0, -1};                 // undercut
    long cell = 1000;                                 // steps
    double draft = 0.0;                               // degrees
};

// The body's mesh (in a child).
void BuildBody(const Body& body, MStlBase& mesh);

SweepCase MakeCase(const SweepMesh& mesh, Operation op, int number, uint64_t seed, double stepsPerUnit);

// Runs the case on the mesh (in a child) and judges it; the answer for the
// parent.
std::string RunCaseAnswer(const SweepMesh& mesh, const SweepCase& sweepCase, double stepsPerUnit);
// False when the answer is cut short.
// Sets the verdict, the reason and the crossed triangles.
bool ParseCaseAnswer(const std::string& answer, CaseResult& result);

// Writes, in a child, what it takes to repeat the case with the tool into
// `folder`: the mesh (once per mesh, OBJ), the polygon file or cutting body,
// and a text file with the command line.  Answers the command file's path,
// or an empty text when something could not be written.
std::string KeepAnswer(const SweepMesh& mesh, const SweepCase& sweepCase, double stepsPerUnit, const std::string& folder,
                       const std::string& verdictLine);

}  // namespace meshcut_sweep

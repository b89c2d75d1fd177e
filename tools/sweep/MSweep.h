// The corpus sweep: every operation of the library, with seeded random
// parameters, on every closed mesh of a folder, each case in a child process
// of its own; every result is checked and the verdicts are tallied.
//
// Each mesh is scaled to a largest extent of 80 model units about its
// bounding-box centre and snapped to the grid before any case runs.  A
// case's parameters depend only on (seed, mesh file name, operation, case
// number), so a run with any number of jobs gives the same cases.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace meshcut_sweep {

// The operations in the order the table lists them.
const std::vector<std::string>& OperationNames();

struct Options {
    std::string folder;
    int cuts = 10;                     // cases per operation and mesh
    uint64_t seed = 1;
    double timeoutSeconds = 60.0;      // per case
    int jobs = 2;                      // children at once
    uint64_t memoryLimitBytes = uint64_t(4) << 30;  // per child (address space); 0: none
    double stepsPerUnit = 1000.0;      // the grid
    std::vector<std::string> operations;  // empty: all
    std::string onlyMesh;              // a file name of the folder; empty: all
    int onlyCase = -1;                 // a case number; -1: all
    std::string keepFolder;            // inputs of every case that is not sound go here
    std::ostream* progress = nullptr;  // one line per mesh; null: silent
};

enum class Verdict { kSound, kRefused, kUnsound, kCrash, kTimeout };
const char* VerdictName(Verdict verdict);

struct CaseResult {
    std::string mesh, operation;
    int number = 0;
    std::string parameters;  // in words
    Verdict verdict = Verdict::kSound;
    // Refused: the operator's result code name.  Unsound: what is wrong.
    // Crash: the signal or the exit.
    std::string reason;
    std::string keptCommand;  // with --keep: the command file written for the case
    uint64_t crossedTriangles = 0;  // self-trim: the mesh's triangles that cross others
};

// A file of the folder that is not swept, and why.
struct SkippedMesh {
    std::string mesh, why;
};

struct Report {
    std::vector<SkippedMesh> skipped;
    std::vector<std::string> notes;   // meshes swept after a repair (turned outward)
    std::vector<std::string> meshes;  // swept
    // Swept meshes whose triangles cross each other (found by self-trim).
    std::vector<std::string> selfCrossing;
    std::vector<CaseResult> cases;    // by mesh, operation, case number
    double seconds = 0.0;
    uint64_t seed = 0;
    std::string folder;
};

// Runs the sweep.  False with `error` for unusable options (a missing
// folder, an unknown operation, a grid this process cannot take); a mesh or
// a case that fails never makes it return false.
bool Run(const Options& options, Report& report, std::string& error);

// The table of operations by verdict, the refusal reasons by operation, the
// skipped meshes and one line per case that is not sound.
void PrintReport(const Report& report, std::ostream& out);
void PrintJson(const Report& report, std::ostream& out);

// True when no case was unsound, crashed or timed out.
bool AllSoundOrRefused(const Report& report);

}  // namespace meshcut_sweep

// One run of a subcommand: its inputs, its outputs, its timings and warnings,
// and the report it ends with, as text or as one JSON object (--json).
//
// A subcommand plans its outputs before it reads anything, loads its inputs
// through the job, runs its operation with the job's progress, hands the job
// its result meshes and returns Finish().  Every failure goes through Fail,
// which reports it and gives the exit status.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/MStlChecker.h"
#include "tools/MCommandLine.h"
#include "tools/MOutputFiles.h"

class MStlBase;

namespace meshcut_cli {

// What a result must be for the run to succeed.
enum class Promise {
    kNothing,
    kClosed,       // closed and consistently oriented
    kNoOpenEdge,   // no boundary edge, consistently oriented; surfaces may meet along shared edges
};

// Options that every subcommand takes.
struct GlobalOptions {
    bool json = false;
    bool quiet = false;
    std::string grid;  // model units per grid step; empty: the default
};

class Job {
public:
    Job(std::string command, const GlobalOptions& options);
    ~Job();

    // --- before the work ---------------------------------------------------
    // Checks and records the outputs (role, path); empty paths are skipped.
    // False (reported) when one cannot be written or two are the same file.
    bool PlanOutputs(const std::vector<std::pair<std::string, std::string>>& outputs, bool ascii);
    // A text output of the command's own (cut polylines, ...).
    bool PlanTextOutput(const std::string& role, const std::string& path);
    // True when at least one output is planned.
    bool HasOutputs() const { return !m_files.Planned().empty(); }

    // Reads a mesh file ("-": standard input) and records it for the report.
    // Refuses a file without a triangle of non-zero area; warns when the grid
    // is coarse for the model.  With `mustBeClosed` a mesh that is not closed
    // and consistently oriented is refused, with the place of a fault.
    bool Load(const std::string& role, const std::string& path, MStlBase& mesh, bool mustBeClosed = false);
    // The checker's report of an input loaded under `role`.
    const MeshReport& InputReport(const std::string& role) const;

    // --- the work ----------------------------------------------------------
    const std::shared_ptr<TerminalProgress>& Progress() const { return m_progress; }
    bool Cancelled() const { return StopRequested(); }
    // Times the work from Start() to Stop() as `phase` ("cut", "trim", ...).
    void Start(const std::string& phase);
    void Stop();
    void Warn(const std::string& message);
    void Note(const std::string& line);  // an extra line of the text report
    void SetResultCode(int code) { m_resultCode = code; }

    // --- the results -------------------------------------------------------
    // The mesh for the planned output `role`.  An empty mesh is not written:
    // a warning says so.  A result that breaks its promise fails the whole
    // run (nothing is written).
    void SetOutput(const std::string& role, const MStlBase* mesh, Promise promise);
    // The content of a planned text output, written with the meshes.
    void SetTextOutput(const std::string& role, std::string text);
    // Writes the outputs and reports; the exit status.  With no output to
    // write (all empty) the run fails.
    int Finish();
    // A run without outputs (check): reports and returns `status`.
    int FinishWithoutOutput(int status);

    // Reports the failure and returns the exit status.
    int Fail(const std::string& message, int status = kFailure);
    // Fails a cut whose parts (role, mesh; a mesh may be null) came out
    // open: says which part is open and where, and, reading the input file
    // again, whether the mesh intersects itself near the openings.
    int FailOpenCut(const std::string& message, const std::vector<std::pair<std::string, const MStlBase*>>& parts,
                    const std::string& inputPath);
    int Interrupted();
    // The status of a failure already reported by PlanOutputs or Load.
    int Status() const { return m_status; }
    bool Quiet() const { return m_options.quiet; }
    bool Json() const { return m_options.json; }

private:
    struct MeshEntry {
        std::string role, path;
        MeshReport report;
        bool written = false;
        Promise promise = Promise::kNothing;
        const MStlBase* mesh = nullptr;
    };
    int Report(int status);
    void PrintText(std::ostream& out) const;
    void PrintJson() const;
    MeshEntry* FindOutput(const std::string& role);

    std::string m_command;
    GlobalOptions m_options;
    std::shared_ptr<TerminalProgress> m_progress;
    OutputFiles m_files;
    std::vector<MeshEntry> m_inputs, m_outputs;
    std::vector<std::pair<std::string, std::string>> m_texts;  // role, content
    std::vector<std::pair<std::string, double>> m_timings;
    std::vector<std::string> m_warnings, m_notes;
    std::string m_phase, m_error;
    std::chrono::steady_clock::time_point m_phaseStart, m_start;
    int m_resultCode = 0;
    int m_status = kSuccess;
};

// "(1, 2.5, 3)": a point in model units, for messages.
std::string Point(const double at[3]);
// "12 triangles, closed, volume 8" for the text report.
std::string Describe(const MeshReport& report);
// "open: 3 boundary edges, first near (1, 2, 3)": what is wrong, and where.
std::string DescribeFaults(const MeshReport& report);
// "the cutter intersects itself (4 crossing triangle pairs)": how often the
// mesh crosses itself.
std::string DescribeCrossings(const std::string& role, const MSelfIntersections& crossings);
// "; the cutter intersects itself (4 crossing triangle pairs), one near
// (1, 2, 3)", or nothing when the mesh does not cross itself: why an
// operation on it failed, and where.
std::string Crossings(const std::string& role, const MStlBase& mesh);

}  // namespace meshcut_cli

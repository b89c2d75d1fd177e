#include "tools/sweep/MSweep.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>

#include "host/MInternalUnits.h"
#include "tools/sweep/MSweepCases.h"
#include "tools/sweep/MSweepChildren.h"
#include "tools/sweep/MSweepMesh.h"
#include "tools/sweep/MSweepText.h"

namespace meshcut_sweep {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool ReadOperations(const Options& o, std::vector<Operation>& ops, std::string& error) {
    for (const std::string& name : o.operations.empty() ? OperationNames() : o.operations) {
        Operation op;
        if (!OperationFromName(name, op)) {
            error = "unknown operation '" + name + "'; the operations are:";
            for (const std::string& known : OperationNames()) error += " " + known;
            return false;
        }
        if (std::find(ops.begin(), ops.end(), op) == ops.end()) ops.push_back(op);
    }
    return true;
}

// The grid of every mesh the sweep makes; the parent itself never makes one,
// so the loaders may still choose their own.
bool SetGrid(double stepsPerUnit, std::string& error) {
    using QelSDK::Common::MInternalUnits;
    if (MInternalUnits::IsFrozen() ? MInternalUnits::Get() == stepsPerUnit : MInternalUnits::Set(stepsPerUnit)) return true;
    std::ostringstream out;
    out << "cannot sweep on a grid of " << stepsPerUnit << " steps per unit";
    if (MInternalUnits::IsFrozen()) out << ": this process's grid is fixed at " << MInternalUnits::Get();
    error = out.str();
    return false;
}

bool CheckOptions(const Options& o, std::vector<Operation>& ops, std::string& error) {
    if (o.cuts < 1) return error = "--cuts must be at least 1", false;
    if (o.jobs < 1) return error = "--jobs must be at least 1", false;
    if (!(o.timeoutSeconds > 0.0)) return error = "--timeout must be positive", false;
    if (o.onlyCase < -1) return error = "--case must not be negative", false;
    std::error_code ec;
    if (!fs::is_directory(o.folder, ec)) return error = o.folder + ": not a folder", false;
    return ReadOperations(o, ops, error) && SetGrid(o.stepsPerUnit, error);
}

std::vector<std::string> ListFiles(const Options& o, std::string& error) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(o.folder, ec))
        if (entry.is_regular_file(ec)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    if (!o.onlyMesh.empty()) {
        if (std::find(names.begin(), names.end(), o.onlyMesh) == names.end())
            error = o.onlyMesh + ": no such file in " + o.folder;
        names = {o.onlyMesh};
    }
    return names;
}

std::string ChildFailure(const char* what, const ChildOutcome& o) {
    return std::string(what) + (o.timedOut ? " timed out" : " crashed: " + DescribeEnd(o));
}

// Reads every file twice, each time in a child: once for its extent, once
// at the grid that scales it to the sweep's extent.
std::vector<SweepMesh> LoadMeshes(const Options& o, const std::vector<std::string>& files, Report& report) {
    const ChildLimits limits{o.jobs, o.timeoutSeconds, o.memoryLimitBytes};
    auto path = [&](size_t i) { return (fs::path(o.folder) / files[i]).string(); };
    std::vector<double> extents(files.size(), 0.0);
    std::vector<std::string> why(files.size());
    RunInChildren(
        files.size(), limits, [&](size_t i, int fd) { WriteAll(fd, ProbeAnswer(path(i))); },
        [&](size_t i, ChildOutcome&& out) {
            if (!ParseProbe(out.answer, extents[i], why[i]) && out.answer.empty()) why[i] = ChildFailure("the reader", out);
        });
    std::vector<size_t> readable;
    for (size_t i = 0; i < files.size(); ++i)
        if (why[i].empty()) readable.push_back(i);
    std::vector<SweepMesh> loaded(files.size());
    std::vector<std::string> notes(files.size());
    RunInChildren(
        readable.size(), limits,
        [&](size_t k, int fd) { WriteAll(fd, LoadAnswer(path(readable[k]), extents[readable[k]], o.stepsPerUnit)); },
        [&](size_t k, ChildOutcome&& out) {
            const size_t i = readable[k];
            if (!ParseLoad(out.answer, loaded[i], why[i], notes[i]) && out.answer.empty())
                why[i] = ChildFailure("the loader", out);
        });
    std::vector<SweepMesh> meshes;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!why[i].empty()) {
            report.skipped.push_back({files[i], why[i]});
            continue;
        }
        if (!notes[i].empty()) report.notes.push_back(files[i] + ": " + notes[i]);
        loaded[i].name = files[i];
        Summarize(loaded[i]);
        report.meshes.push_back(files[i]);
        meshes.push_back(std::move(loaded[i]));
    }
    return meshes;
}

struct Task {
    size_t mesh = 0;
    SweepCase sweepCase;
};

bool CrossesItself(const Report& report, const std::string& mesh) {
    return std::any_of(report.selfCrossing.begin(), report.selfCrossing.end(),
                       [&](const std::string& entry) { return entry.starts_with(mesh + " ("); });
}

std::string CaseLine(const CaseResult& c, const Report& report) {
    return c.operation + " " + c.mesh + " seed " + std::to_string(report.seed) + " case " + std::to_string(c.number) +
           ": " + VerdictName(c.verdict) + (c.reason.empty() ? "" : " (" + c.reason + ")") + "; " + c.parameters +
           (CrossesItself(report, c.mesh) ? " [the mesh crosses itself]" : "");
}

void NoteSelfCrossing(Report& report) {
    for (const CaseResult& c : report.cases)
        if (c.crossedTriangles > 0)
            report.selfCrossing.push_back(c.mesh + " (" + std::to_string(c.crossedTriangles) + " triangles)");
}

struct MeshProgress {
    size_t left = 0;
    size_t counts[5] = {0, 0, 0, 0, 0};
};

void RunCases(const Options& o, const std::vector<SweepMesh>& meshes, const std::vector<Task>& tasks, Report& report) {
    const ChildLimits limits{o.jobs, o.timeoutSeconds, o.memoryLimitBytes};
    const Clock::time_point start = Clock::now();
    std::vector<MeshProgress> progress(meshes.size());
    for (const Task& t : tasks) ++progress[t.mesh].left;
    size_t done = 0, meshesDone = 0;
    report.cases.resize(tasks.size());
    RunInChildren(
        tasks.size(), limits,
        [&](size_t i, int fd) { WriteAll(fd, RunCaseAnswer(meshes[tasks[i].mesh], tasks[i].sweepCase, o.stepsPerUnit)); },
        [&](size_t i, ChildOutcome&& out) {
            const Task& t = tasks[i];
            CaseResult& c = report.cases[i];
            c.mesh = meshes[t.mesh].name;
            c.operation = OperationName(t.sweepCase.op);
            c.number = t.sweepCase.number;
            c.parameters = t.sweepCase.words;
            if (out.timedOut) c.verdict = Verdict::kTimeout, c.reason = "no answer within " + Number(o.timeoutSeconds) + " s";
            else if (out.signal != 0 || !ParseCaseAnswer(out.answer, c))
                c.verdict = Verdict::kCrash, c.reason = DescribeEnd(out);
            MeshProgress& p = progress[t.mesh];
            ++p.counts[int(c.verdict)];
            ++done;
            if (!o.progress) return;
            if (--p.left == 0) {
                std::ostream& err = *o.progress;
                err << "[" << ++meshesDone << "/" << meshes.size() << "] " << c.mesh << ": " << p.counts[0] << " sound, "
                    << p.counts[1] << " refused, " << p.counts[2] << " unsound, " << p.counts[3] << " crash, "
                    << p.counts[4] << " time-out; " << done << "/" << tasks.size() << " cases in " << std::fixed
                    << std::setprecision(0) << Since(start) << " s" << std::defaultfloat << std::endl;
            }
        });
}

void KeepFailures(const Options& o, const std::vector<SweepMesh>& meshes, const std::vector<Task>& tasks, Report& report) {
    std::vector<size_t> failing;
    for (size_t i = 0; i < report.cases.size(); ++i)
        if (report.cases[i].verdict != Verdict::kSound) failing.push_back(i);
    if (o.progress && !failing.empty())
        *o.progress << "writing the inputs of " << failing.size() << " cases to " << o.keepFolder << std::endl;
    const ChildLimits limits{o.jobs, o.timeoutSeconds, o.memoryLimitBytes};
    RunInChildren(
        failing.size(), limits,
        [&](size_t k, int fd) {
            const size_t i = failing[k];
            WriteAll(fd, KeepAnswer(meshes[tasks[i].mesh], tasks[i].sweepCase, o.stepsPerUnit, o.keepFolder,
                                    CaseLine(report.cases[i], report)));
        },
        [&](size_t k, ChildOutcome&& out) { report.cases[failing[k]].keptCommand = out.answer; });
}

}  // namespace

const char* VerdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::kSound: return "sound";
    case Verdict::kRefused: return "refused";
    case Verdict::kUnsound: return "unsound";
    case Verdict::kCrash: return "crash";
    case Verdict::kTimeout: return "time-out";
    }
    return "?";
}

bool Run(const Options& options, Report& report, std::string& error) {
    const Clock::time_point start = Clock::now();
    report = Report();
    report.seed = options.seed;
    report.folder = options.folder;
    std::vector<Operation> ops;
    if (!CheckOptions(options, ops, error)) return false;
    const std::vector<std::string> files = ListFiles(options, error);
    if (!error.empty()) return false;
    if (options.progress) *options.progress << "reading " << files.size() << " files of " << options.folder << std::endl;
    const std::vector<SweepMesh> meshes = LoadMeshes(options, files, report);

    std::vector<Task> tasks;
    for (size_t m = 0; m < meshes.size(); ++m)
        for (Operation op : ops)
            for (int k = 0; k < CasesPerMesh(op, options.cuts); ++k)
                if (options.onlyCase < 0 || k == options.onlyCase)
                    tasks.push_back({m, MakeCase(meshes[m], op, k, options.seed, options.stepsPerUnit)});
    if (options.progress)
        *options.progress << meshes.size() << " meshes to sweep, " << report.skipped.size() << " skipped; "
                          << tasks.size() << " cases, " << options.jobs << " at once" << std::endl;
    RunCases(options, meshes, tasks, report);
    NoteSelfCrossing(report);
    if (!options.keepFolder.empty()) KeepFailures(options, meshes, tasks, report);
    report.seconds = Since(start);
    return true;
}

bool AllSoundOrRefused(const Report& report) {
    return std::all_of(report.cases.begin(), report.cases.end(), [](const CaseResult& c) {
        return c.verdict == Verdict::kSound || c.verdict == Verdict::kRefused;
    });
}

namespace {

struct Tally {
    size_t cases = 0;
    size_t counts[5] = {0, 0, 0, 0, 0};
    std::map<std::string, size_t> refusals;
};

std::map<std::string, Tally> TallyByOperation(const Report& report) {
    std::map<std::string, Tally> tallies;
    for (const CaseResult& c : report.cases) {
        Tally& t = tallies[c.operation];
        ++t.cases;
        ++t.counts[int(c.verdict)];
        if (c.verdict == Verdict::kRefused) ++t.refusals[c.reason];
    }
    return tallies;
}

// Operations in table order, those that ran.
std::vector<std::string> OperationsRun(const std::map<std::string, Tally>& tallies) {
    std::vector<std::string> ops;
    for (const std::string& name : OperationNames())
        if (tallies.count(name)) ops.push_back(name);
    return ops;
}

std::vector<std::pair<std::string, size_t>> ByCount(const std::map<std::string, size_t>& counts) {
    std::vector<std::pair<std::string, size_t>> sorted(counts.begin(), counts.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return sorted;
}

// Crashes and time-outs first, then unsound results, then refusals.
int Severity(Verdict v) {
    switch (v) {
    case Verdict::kCrash: return 0;
    case Verdict::kTimeout: return 1;
    case Verdict::kUnsound: return 2;
    case Verdict::kRefused: return 3;
    case Verdict::kSound: break;
    }
    return 4;
}

std::vector<const CaseResult*> NotSound(const Report& report) {
    std::vector<const CaseResult*> cases;
    for (const CaseResult& c : report.cases)
        if (c.verdict != Verdict::kSound) cases.push_back(&c);
    std::stable_sort(cases.begin(), cases.end(),
                     [](const CaseResult* a, const CaseResult* b) { return Severity(a->verdict) < Severity(b->verdict); });
    return cases;
}

void PrintTable(const std::map<std::string, Tally>& tallies, std::ostream& out) {
    out << std::left << std::setw(18) << "operation" << std::right;
    for (const char* h : {"cases", "sound", "refused", "unsound", "crash", "time-out"}) out << std::setw(9) << h;
    out << "\n";
    Tally all;
    auto row = [&](const std::string& name, const Tally& t) {
        out << std::left << std::setw(18) << name << std::right << std::setw(9) << t.cases;
        for (size_t n : t.counts) out << std::setw(9) << n;
        out << "\n";
    };
    for (const std::string& op : OperationsRun(tallies)) {
        const Tally& t = tallies.at(op);
        row(op, t);
        all.cases += t.cases;
        for (int v = 0; v < 5; ++v) all.counts[v] += t.counts[v];
    }
    row("all", all);
    out << "(unsound: reported as success, but a result is open, non-manifold, inside out or off in volume)\n";
}

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') out += '\\', out += char(c);
        else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else out += char(c);
    }
    return out + "\"";
}

}  // namespace

void PrintReport(const Report& report, std::ostream& out) {
    const auto tallies = TallyByOperation(report);
    out << "Corpus sweep of " << report.folder << ", seed " << report.seed << ": "
        << report.meshes.size() + report.skipped.size() << " files, " << report.meshes.size() << " meshes swept, "
        << report.skipped.size() << " skipped; " << report.cases.size() << " cases in " << std::fixed
        << std::setprecision(1) << report.seconds << " s" << std::defaultfloat << "\n";
    if (!report.skipped.empty()) {
        out << "\nSkipped:\n";
        for (const SkippedMesh& s : report.skipped) out << "  " << s.mesh << ": " << s.why << "\n";
    }
    if (!report.notes.empty()) {
        out << "\nNotes:\n";
        for (const std::string& n : report.notes) out << "  " << n << "\n";
    }
    if (!report.selfCrossing.empty()) {
        out << "\nMeshes whose triangles cross each other (self-trim cut them):\n ";
        for (const std::string& m : report.selfCrossing) out << " " << m;
        out << "\n";
    }
    out << "\n";
    PrintTable(tallies, out);
    bool header = false;
    for (const std::string& op : OperationsRun(tallies)) {
        const Tally& t = tallies.at(op);
        if (t.refusals.empty()) continue;
        if (!header) out << "\nRefusals by operation:\n", header = true;
        out << "  " << op << ":";
        const char* sep = " ";
        for (const auto& [reason, count] : ByCount(t.refusals)) out << sep << reason << " " << count, sep = ", ";
        out << "\n";
    }
    const auto failing = NotSound(report);
    if (failing.empty()) return;
    out << "\nNot sound (" << failing.size() << "; repeat one with: meshcut-sweep " << report.folder
        << " --mesh NAME --ops OPERATION --case K --seed " << report.seed << "):\n";
    for (const CaseResult* c : failing) {
        out << "  " << CaseLine(*c, report) << "\n";
        if (!c->keptCommand.empty()) out << "    kept: " << c->keptCommand << "\n";
    }
}

void PrintJson(const Report& report, std::ostream& out) {
    const auto tallies = TallyByOperation(report);
    out << "{\"folder\": " << JsonText(report.folder) << ", \"seed\": " << report.seed
        << ", \"seconds\": " << Number(report.seconds) << ",\n \"meshes\": [";
    for (size_t i = 0; i < report.meshes.size(); ++i) out << (i ? ", " : "") << JsonText(report.meshes[i]);
    out << "],\n \"skipped\": [";
    for (size_t i = 0; i < report.skipped.size(); ++i)
        out << (i ? ",\n  " : "\n  ") << "{\"mesh\": " << JsonText(report.skipped[i].mesh)
            << ", \"why\": " << JsonText(report.skipped[i].why) << "}";
    out << "],\n \"notes\": [";
    for (size_t i = 0; i < report.notes.size(); ++i) out << (i ? ", " : "") << JsonText(report.notes[i]);
    out << "],\n \"self_crossing\": [";
    for (size_t i = 0; i < report.selfCrossing.size(); ++i) out << (i ? ", " : "") << JsonText(report.selfCrossing[i]);
    out << "],\n \"operations\": {";
    bool first = true;
    for (const std::string& op : OperationsRun(tallies)) {
        const Tally& t = tallies.at(op);
        out << (first ? "\n  " : ",\n  ") << JsonText(op) << ": {\"cases\": " << t.cases;
        for (int v = 0; v < 5; ++v) out << ", " << JsonText(VerdictName(Verdict(v))) << ": " << t.counts[v];
        out << ", \"refusals\": {";
        const char* sep = "";
        for (const auto& [reason, count] : ByCount(t.refusals)) out << sep << JsonText(reason) << ": " << count, sep = ", ";
        out << "}}";
        first = false;
    }
    out << "},\n \"not_sound\": [";
    first = true;
    for (const CaseResult* c : NotSound(report)) {
        out << (first ? "\n  " : ",\n  ") << "{\"operation\": " << JsonText(c->operation)
            << ", \"mesh\": " << JsonText(c->mesh) << ", \"case\": " << c->number
            << ", \"verdict\": " << JsonText(VerdictName(c->verdict)) << ", \"reason\": " << JsonText(c->reason)
            << ", \"parameters\": " << JsonText(c->parameters) << ", \"kept\": " << JsonText(c->keptCommand) << "}";
        first = false;
    }
    out << "]}\n";
}

}  // namespace meshcut_sweep

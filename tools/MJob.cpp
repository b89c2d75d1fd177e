#include "tools/MJob.h"

#include <algorithm>
#include <array>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MStlIO.h"

namespace meshcut_cli {

namespace {

// A model spanning fewer grid steps than this loses its shape on the grid.
constexpr double kFewestSteps = 100000.0;

std::string Number(double value) {
    if (!std::isfinite(value)) return "null";
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string JsonMesh(const std::string& role, const std::string& path, const MeshReport& r, const char* extra) {
    std::ostringstream out;
    out << "{\"role\":" << JsonString(role) << ",\"path\":" << JsonString(path) << extra
        << ",\"triangles\":" << r.triangles << ",\"points\":" << r.points << ",\"closed\":" << (r.closed ? "true" : "false")
        << ",\"oriented\":" << (r.oriented ? "true" : "false") << ",\"boundary_edges\":" << r.boundaryEdges
        << ",\"non_manifold_edges\":" << r.nonManifoldEdges << ",\"inconsistent_edges\":" << r.inconsistentEdges
        << ",\"shells\":" << r.shells << ",\"volume\":" << Number(r.volume) << ",\"area\":" << Number(r.area) << "}";
    return out.str();
}

// The diagonal of the mesh's bounding box, in grid steps.
double ExtentInSteps(MStlBase& mesh) {
    mesh.UpdateExtremes();
    const double dx = double(mesh.GetXMax()) - mesh.GetXMin(), dy = double(mesh.GetYMax()) - mesh.GetYMin(),
                 dz = double(mesh.GetZMax()) - mesh.GetZMin();
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// A power of ten that gives the model about a million grid steps.
std::string SuggestedGrid(double extentInUnits) {
    std::ostringstream out;
    out << std::pow(10.0, std::floor(std::log10(std::max(extentInUnits, 1e-12) / 1e6)));
    return out.str();
}

bool HasArea(const MeshReport& report) { return report.degenerateTriangles < report.triangles; }

bool Kept(Promise promise, const MeshReport& r) {
    switch (promise) {
    case Promise::kClosed: return IsClosedAndOriented(r);
    case Promise::kNoOpenEdge: return r.boundaryEdges == 0 && r.oriented;
    case Promise::kNothing: break;
    }
    return true;
}

}  // namespace

std::string Describe(const MeshReport& r) {
    std::ostringstream out;
    out << r.triangles << " triangles, " << (r.closed ? "closed" : "open")
        << (r.oriented ? "" : ", inconsistently oriented") << ", volume " << std::setprecision(10) << r.volume;
    return out.str();
}

std::string Point(const double at[3]) {
    std::ostringstream out;
    out << std::setprecision(10) << "(" << at[0] << ", " << at[1] << ", " << at[2] << ")";
    return out.str();
}

std::string DescribeCrossings(const std::string& role, const MSelfIntersections& crossings) {
    return "the " + role + " intersects itself (" + std::to_string(crossings.Pairs()) + " crossing triangle pairs)";
}

std::string Crossings(const std::string& role, const MStlBase& mesh) {
    const MSelfIntersections crossings(mesh);
    if (crossings.Pairs() == 0) return {};
    const std::array<double, 3> at = crossings.Example();
    return "; " + DescribeCrossings(role, crossings) + ", one near " + Point(at.data());
}

std::string DescribeFaults(const MeshReport& r) {
    std::ostringstream out;
    const char* separator = "";
    auto add = [&](uint64_t count, const char* what) {
        if (count == 0) return;
        out << separator << count << " " << what;
        separator = ", ";
    };
    add(r.boundaryEdges, "open (boundary) edges");
    add(r.nonManifoldEdges, "non-manifold edges");
    add(r.inconsistentEdges, "inconsistently oriented edges");
    out << "; the first near " << Point(r.faultAt);
    return out.str();
}

Job::Job(std::string command, const GlobalOptions& options)
    : m_command(std::move(command)),
      m_options(options),
      m_progress(std::make_shared<TerminalProgress>(options.quiet || options.json)),
      m_start(std::chrono::steady_clock::now()) {}

Job::~Job() = default;

bool Job::PlanOutputs(const std::vector<std::pair<std::string, std::string>>& outputs, bool ascii) {
    std::string error;
    for (const auto& [role, path] : outputs)
        if (!m_files.Plan(role, path, ascii, error)) return Fail(error), false;
    if (m_options.json && m_files.WritesStandardOutput())
        return Fail("--json writes its report to standard output, so no mesh can go there (-)"), false;
    return true;
}

bool Job::PlanTextOutput(const std::string& role, const std::string& path) {
    std::string error;
    if (!m_files.PlanText(role, path, error)) return Fail(error), false;
    if (m_options.json && m_files.WritesStandardOutput())
        return Fail("--json writes its report to standard output, so no file can go there (-)"), false;
    return true;
}

void Job::SetTextOutput(const std::string& role, std::string text) { m_texts.emplace_back(role, std::move(text)); }

bool Job::Load(const std::string& role, const std::string& path, MStlBase& mesh, bool mustBeClosed) {
    std::string error;
    ReadStats stats;
    Start("read");
    const bool read = ReadMesh(path, mesh, error, &stats, m_progress);
    Stop();
    if (Cancelled()) return Interrupted(), false;
    if (!read) return Fail(error), false;
    const std::string name = path == kStandardStream ? std::string("standard input") : "'" + path + "'";
    if (mesh.GetNumberOfTriangles() == 0) return Fail(name + " holds no usable triangle"), false;
    const MeshReport report = CheckMesh(mesh);
    if (!HasArea(report)) return Fail(name + ": every triangle has zero area; there is no surface to cut"), false;
    const double extent = ExtentInSteps(mesh), unit = QelSDK::Common::MInternalUnits::GetInverse();
    if (stats.collapsedByRounding)
        Warn(name + ": left out " + std::to_string(stats.collapsedByRounding) +
             " triangles whose corners fall on one grid point of step " + GridStepText() +
             "; a finer --grid keeps them");
    if (stats.skippedDegenerate > stats.collapsedByRounding)
        Warn(name + ": left out " + std::to_string(stats.skippedDegenerate - stats.collapsedByRounding) +
             " triangles with coinciding corners");
    if (extent < kFewestSteps)
        Warn(name + " spans only " + std::to_string(uint64_t(extent)) + " grid steps of " + GridStepText() +
             "; its shape may be lost on the grid: use a finer step, for example --grid " +
             SuggestedGrid(extent * unit));
    if (mustBeClosed && !IsClosedAndOriented(report))
        return Fail("the " + role + " " + name + " must be a closed, consistently oriented mesh; it has " +
                    DescribeFaults(report)),
               false;
    m_inputs.push_back({role, path, report});
    return true;
}

const MeshReport& Job::InputReport(const std::string& role) const {
    for (const MeshEntry& e : m_inputs)
        if (e.role == role) return e.report;
    static const MeshReport none;
    return none;
}

void Job::Start(const std::string& phase) {
    m_phase = phase;
    m_phaseStart = std::chrono::steady_clock::now();
}

void Job::Stop() {
    if (m_phase.empty()) return;
    const double seconds = Seconds(m_phaseStart);
    bool found = false;
    for (auto& [phase, total] : m_timings)
        if (phase == m_phase) total += seconds, found = true;
    if (!found) m_timings.emplace_back(m_phase, seconds);
    m_phase.clear();
    m_progress->Finish();
}

void Job::Warn(const std::string& message) {
    m_warnings.push_back(message);
    if (!m_options.quiet) {
        m_progress->Finish();
        std::cerr << "meshcut: warning: " << message << "\n";
    }
}

void Job::Note(const std::string& line) { m_notes.push_back(line); }

Job::MeshEntry* Job::FindOutput(const std::string& role) {
    for (MeshEntry& e : m_outputs)
        if (e.role == role) return &e;
    return nullptr;
}

void Job::SetOutput(const std::string& role, const MStlBase* mesh, Promise promise) {
    for (const PlannedOutput& planned : m_files.Planned()) {
        if (planned.role != role) continue;
        if (!mesh || mesh->GetNumberOfTriangles() == 0) {
            Warn("the " + role + " part is empty; " + planned.path + " not written");
            return;
        }
            m_outputs.push_back({role, planned.path, CheckMesh(*mesh), false, promise, mesh});
        return;
    }
}

int Job::Finish() {
    if (Cancelled()) return Interrupted();
    for (const MeshEntry& e : m_outputs)
        if (!Kept(e.promise, e.report))
            return Fail("the " + e.role + " part came out with " + DescribeFaults(e.report) + "; it should be " +
                            (e.promise == Promise::kClosed ? "closed" : "without open edges") +
                            " and consistently oriented, so nothing was written",
                        kNotClosed);
    if (m_outputs.empty()) return Fail("every requested part is empty; nothing written");

    std::vector<OutputFiles::Item> items;
    for (const PlannedOutput& planned : m_files.Planned()) {
        for (const MeshEntry& e : m_outputs) {
            if (planned.role != e.role) continue;
            std::string why;
            if (!FormatHoldsMesh(planned.format, *e.mesh, why))
                return Fail("cannot write " + e.path + " exactly: " + why +
                            "; write .obj, .off, .ply or ASCII STL (--ascii) instead");
            items.push_back({&planned, e.mesh, nullptr});
        }
        for (const auto& [role, text] : m_texts)
            if (planned.role == role) items.push_back({&planned, nullptr, &text});
    }
    std::string error;
    Start("write");
    const bool written = m_files.WriteAll(items, m_progress, error);
    Stop();
    if (Cancelled()) return Interrupted();
    if (!written) return Fail(error);
    for (MeshEntry& e : m_outputs) e.written = true;
    return Report(kSuccess);
}

int Job::FinishWithoutOutput(int status) {
    m_status = status;
    if (m_options.json) PrintJson();
    return status;
}

int Job::Fail(const std::string& message, int status) {
    m_progress->Finish();
    m_error = message;
    std::cerr << "meshcut: " << message << "\n";
    return Report(status);
}

int Job::FailOpenCut(const std::string& message, const std::vector<std::pair<std::string, const MStlBase*>>& parts,
                     const std::string& inputPath) {
    std::string text = message;
    for (const auto& [role, mesh] : parts) {
        if (!mesh) continue;
        const MeshReport report = CheckMesh(*mesh);
        if (!IsClosedAndOriented(report)) text += "; the " + role + " part has " + DescribeFaults(report);
    }
    MStlBase input;
    std::string error;
    if (inputPath != kStandardStream && ReadMesh(inputPath, input, error)) {
        const MSelfIntersections crossings(input);
        if (crossings.Pairs() != 0) {
            std::vector<const MStlBase*> meshes;
            for (const auto& part : parts) meshes.push_back(part.second);
            std::ostringstream out;
            out << "; " << DescribeCrossings("input mesh", crossings) << ", " << std::setprecision(4) << crossings.FarthestOpening(meshes)
                << " units from the farthest opening: a cut through a crossing cannot be closed, repair the mesh first";
            text += out.str();
        }
    }
    return Fail(text + "; nothing written");
}

int Job::Interrupted() {
    m_progress->Finish();
    m_error = "interrupted, nothing written";
    std::cerr << "meshcut: " << m_error << "\n";
    return Report(kInterrupted);
}

int Job::Report(int status) {
    m_status = status;
    if (m_options.json) {
        PrintJson();
    } else if (!m_options.quiet && status == kSuccess) {
        PrintText(m_files.WritesStandardOutput() ? std::cerr : std::cout);
    }
    return status;
}

void Job::PrintText(std::ostream& out) const {
    for (const MeshEntry& e : m_inputs)
        out << e.role << ": " << Describe(e.report) << (e.role == "input" ? "" : " (" + e.path + ")") << "\n";
    for (const MeshEntry& e : m_outputs) out << e.role << ": " << Describe(e.report) << " -> " << e.path << "\n";
    for (const std::string& line : m_notes) out << line << "\n";
    for (const auto& [phase, seconds] : m_timings)
        if (phase != "read" && phase != "write") {
            char line[64];
            std::snprintf(line, sizeof line, "%s in %.3f s\n", phase.c_str(), seconds);
            out << line;
        }
    out.flush();
}

void Job::PrintJson() const {
    std::ostringstream out;
    out << "{\"command\":" << JsonString(m_command) << ",\"ok\":" << (m_status == kSuccess ? "true" : "false")
        << ",\"exit_status\":" << m_status << ",\"result_code\":" << m_resultCode
        << ",\"grid_step\":" << Number(QelSDK::Common::MInternalUnits::GetInverse()) << ",\"inputs\":[";
    for (size_t i = 0; i < m_inputs.size(); ++i)
        out << (i ? "," : "") << JsonMesh(m_inputs[i].role, m_inputs[i].path, m_inputs[i].report, "");
    out << "],\"outputs\":[";
    for (size_t i = 0; i < m_outputs.size(); ++i)
        out << (i ? "," : "")
            << JsonMesh(m_outputs[i].role, m_outputs[i].path, m_outputs[i].report,
                        m_outputs[i].written ? ",\"written\":true" : ",\"written\":false");
    out << "],\"timings\":{";
    for (size_t i = 0; i < m_timings.size(); ++i)
        out << (i ? "," : "") << JsonString(m_timings[i].first) << ":" << Number(m_timings[i].second);
    out << (m_timings.empty() ? "" : ",") << "\"total\":" << Number(Seconds(m_start)) << "},\"notes\":[";
    for (size_t i = 0; i < m_notes.size(); ++i) out << (i ? "," : "") << JsonString(m_notes[i]);
    out << "],\"warnings\":[";
    for (size_t i = 0; i < m_warnings.size(); ++i) out << (i ? "," : "") << JsonString(m_warnings[i]);
    out << "],\"error\":" << (m_error.empty() ? std::string("null") : JsonString(m_error)) << "}\n";
    std::cout << out.str() << std::flush;
}

}  // namespace meshcut_cli

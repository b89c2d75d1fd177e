#include "tools/MCommandLine.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "host/MInternalUnits.h"
#include "tools/MOutputFiles.h"

namespace meshcut_cli {

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

// Removes our temporary files and ends the process by the signal's default
// action, so that the parent sees how it ended.
extern "C" void EndNow(int signal) {
    RemoveTemporaryFilesNow();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

extern "C" void OnInterrupt(int signal) {
    if (g_stopRequested) EndNow(signal);
    g_stopRequested = 1;
}

double Units() { return QelSDK::Common::MInternalUnits::Get(); }

}  // namespace

bool ParseNumber(const std::string& text, const std::string& option, double& value, std::string& error) {
    std::string_view digits(text);
    if (digits.starts_with('+')) digits.remove_prefix(1);
    const char* end = digits.data() + digits.size();
    const auto result = std::from_chars(digits.data(), end, value, std::chars_format::general);
    if (text.empty() || result.ec != std::errc() || result.ptr != end || !std::isfinite(value)) {
        error = option + ": '" + text + "' is not a finite decimal number";
        return false;
    }
    return true;
}

bool ParseCount(const std::string& text, const std::string& option, uint64_t minimum, uint64_t maximum,
                uint64_t& value, std::string& error) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end || value < minimum || value > maximum) {
        error = option + " must be a whole number from " + std::to_string(minimum) + " to " + std::to_string(maximum);
        return false;
    }
    return true;
}

bool ParseNumbers(const std::string& text, const std::string& option, int count, const std::string& form,
                  double* values, std::string& error) {
    std::istringstream in(text);
    std::string part;
    for (int i = 0; i < count; ++i) {
        if (!std::getline(in, part, ',')) return error = option + " needs " + form, false;
        if (!ParseNumber(part, option, values[i], error)) return false;
    }
    if (std::getline(in, part)) return error = option + " needs exactly " + form, false;
    return true;
}

bool ParseVector(const std::string& text, const std::string& option, MMVector3d& vector, std::string& error) {
    double v[3];
    if (!ParseNumbers(text, option, 3, "three numbers x,y,z", v, error)) return false;
    vector = {v[0], v[1], v[2]};
    return true;
}

bool ParsePlane(const std::string& text, MMPlaneEq<double>& plane, std::string& error) {
    double v[4];
    if (!ParseNumbers(text, "--plane", 4, "four numbers a,b,c,d (plane a*x + b*y + c*z + d = 0)", v, error))
        return false;
    if (v[0] == 0.0 && v[1] == 0.0 && v[2] == 0.0) return error = "--plane: the normal (a,b,c) is zero", false;
    // a*x + b*y + c*z + d = 0 in model units is a*X + b*Y + c*Z + d*u = 0 for
    // grid coordinates X = u*x.
    plane.Set(v[0], v[1], v[2], v[3] * Units());
    if (!plane.IsPlane()) return error = "--plane: the plane is out of range", false;
    return true;
}

bool ToInternal(double modelUnits, long& internal, std::string& error) {
    const double v = modelUnits * Units();
    if (!std::isfinite(v) || v < -2147483648.0 || v > 2147483647.0) {
        std::ostringstream range;
        range << 2147483647.0 / Units();
        error = "value " + std::to_string(modelUnits) + " is outside the coordinate range (about +-" + range.str() +
                " units with the grid step " + GridStepText() + ")";
        return false;
    }
    internal = long(std::llround(v));
    return true;
}

bool ParseInternal(const std::string& text, const std::string& option, long& internal, std::string& error) {
    double value = 0.0;
    if (!ParseNumber(text, option, value, error)) return false;
    if (!ToInternal(value, internal, error)) return error = option + ": " + error, false;
    return true;
}

std::string GridStepText() {
    std::ostringstream out;
    out << QelSDK::Common::MInternalUnits::GetInverse() << " units";
    return out.str();
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void InstallSignalHandlers() {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, EndNow);
    std::signal(SIGHUP, EndNow);
    std::signal(SIGPIPE, EndNow);
}

bool StopRequested() { return g_stopRequested != 0; }

std::string PlainStepLabel(const std::string& step) {
    struct Rule {
        const char* part;
        const char* label;
    };
    // The first rule whose text the step name contains gives the label.
    static const Rule rules[] = {
        {"reading", "reading"},
        {"writing", "writing"},
        {"Fill", "filling the cut"},
        {"Boolean Undercut", "building the undercut"},
        {"UndercutRemover", "removing undercuts"},
        {"Offset", "offsetting"},
        {"SmallTriangles", "cleaning up"},
        {"Fixer", "cleaning up"},
        {"Trim", "trimming"},
        {"Boolean", "cutting with the mesh"},
        {"MrtOperator", "cutting with the mesh"},
        {"Classify", "sorting triangles"},
        {"CLASSIFY", "sorting triangles"},
        {"DIVIDE", "dividing triangles"},
        {"EdgeList", "finding the cut"},
        {"EDGES_INTERSECT", "finding the cut"},
        {"Frame", "cutting with the frame"},
    };
    for (const Rule& rule : rules)
        if (step.find(rule.part) != std::string::npos) return rule.label;
    return "cutting";
}

TerminalProgress::TerminalProgress(bool quiet) : m_draw(!quiet && isatty(STDERR_FILENO) != 0) {}

TerminalProgress::~TerminalProgress() { Finish(); }

void TerminalProgress::OnProgress(const std::string& step, double fraction) {
    if (!m_draw) return;
    const int percent = int(std::clamp(fraction, 0.0, 1.0) * 100.0);
    const std::string label = PlainStepLabel(step);
    const auto now = std::chrono::steady_clock::now();
    if (label == m_lastLabel &&
        (percent == m_lastPercent || (now - m_lastDraw < std::chrono::milliseconds(50) && percent < 100)))
        return;
    m_lastPercent = percent;
    m_lastLabel = label;
    m_lastDraw = now;
    const int width = 30, filled = percent * width / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%% %-24.24s", std::string(size_t(filled), '#').c_str(),
                 std::string(size_t(width - filled), ' ').c_str(), percent, label.c_str());
    std::fflush(stderr);
}

bool TerminalProgress::IsCancelled() const { return StopRequested(); }

void TerminalProgress::Finish() {
    if (m_draw && m_lastPercent >= 0) std::fprintf(stderr, "\r%64s\r", "");
    m_lastPercent = -1;
    m_lastLabel.clear();
}

}  // namespace meshcut_cli

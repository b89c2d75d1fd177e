#include "tools/MCommandLine.h"

#include <unistd.h>

#include <csignal>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>

#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MStlChecker.h"

namespace meshcut_cli {

namespace {
volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

double Units() { return double(QelSDK::Common::MInternalUnits::Get()); }
}  // namespace

int Fail(const std::string& message) {
    std::cerr << "meshcut: " << message << "\n";
    return kFailure;
}

bool Load(const std::string& path, MStlBase& mesh, std::string& error) {
    ReadStats stats;
    if (!ReadMesh(path, mesh, error, &stats)) return false;
    if (mesh.GetNumberOfTriangles() == 0) {
        error = path + ": the file holds no usable triangle";
        return false;
    }
    if (stats.skippedDegenerate)
        std::cerr << "meshcut: " << path << ": left out " << stats.skippedDegenerate << " degenerate triangles\n";
    return true;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

TerminalProgress::TerminalProgress() : m_terminal(isatty(STDERR_FILENO) != 0) {
    g_interrupted = 0;
    std::signal(SIGINT, OnInterrupt);
}

TerminalProgress::~TerminalProgress() {
    Finish();
    std::signal(SIGINT, SIG_DFL);
}

void TerminalProgress::OnProgress(const std::string& step, double fraction) {
    if (!m_terminal) return;
    const int percent = int(std::clamp(fraction, 0.0, 1.0) * 100.0);
    const auto now = std::chrono::steady_clock::now();
    if (percent == m_lastPercent || (now - m_lastDraw < std::chrono::milliseconds(50) && percent < 100)) return;
    m_lastPercent = percent;
    m_lastDraw = now;
    const int width = 30, filled = percent * width / 100;
    const std::string name = step.substr(step.rfind('.') == std::string::npos ? 0 : step.rfind('.') + 1);
    std::fprintf(stderr, "\r[%s%s] %3d%% %-20.20s", std::string(size_t(filled), '#').c_str(),
                 std::string(size_t(width - filled), ' ').c_str(), percent, name.c_str());
    std::fflush(stderr);
}

bool TerminalProgress::IsCancelled() const { return g_interrupted != 0; }

void TerminalProgress::Finish() {
    if (m_terminal && m_lastPercent >= 0) std::fprintf(stderr, "\r%60s\r", "");
    m_lastPercent = -1;
}

bool ToInternal(double modelUnits, long& internal, std::string& error) {
    const double v = modelUnits * Units();
    if (!std::isfinite(v) || v < -2147483648.0 || v > 2147483647.0) {
        error = "value " + std::to_string(modelUnits) + " is outside the coordinate range (about +-2147483 units)";
        return false;
    }
    internal = long(std::llround(v));
    return true;
}

bool ParseNumbers(const std::string& text, const std::string& option, int count, const std::string& form,
                  double* values, std::string& error) {
    std::istringstream in(text);
    for (int i = 0; i < count; ++i) {
        std::string part;
        if (!std::getline(in, part, ',')) return error = option + " needs " + form, false;
        char* end = nullptr;
        values[i] = std::strtod(part.c_str(), &end);
        if (end == part.c_str() || *end != '\0' || !std::isfinite(values[i]))
            return error = option + ": '" + part + "' is not a finite number", false;
    }
    std::string rest;
    if (std::getline(in, rest)) return error = option + " needs exactly " + form, false;
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
    if (v[0] == 0.0 && v[1] == 0.0 && v[2] == 0.0) {
        error = "--plane: the normal (a,b,c) is zero";
        return false;
    }
    // a*x + b*y + c*z + d = 0 in model units is a*X + b*Y + c*Z + d*u = 0 for
    // internal coordinates X = u*x.
    plane.Set(v[0], v[1], v[2], v[3] * Units());
    if (!plane.IsPlane()) {
        error = "--plane: the plane is out of range";
        return false;
    }
    return true;
}

bool WriteAll(const std::vector<Output>& outputs, bool asciiStl, std::string& error) {
    std::vector<std::string> written;
    for (const Output& o : outputs) {
        if (o.path.empty()) continue;
        if (!WriteMesh(o.path, *o.mesh, FormatFromPath(o.path, asciiStl), error)) {
            for (const std::string& p : written) std::remove(p.c_str());
            return false;
        }
        written.push_back(o.path);
    }
    return true;
}

std::string Describe(const MStlBase& mesh) {
    const MeshReport r = CheckMesh(mesh);
    std::ostringstream out;
    out << r.triangles << " triangles, " << (r.closed ? "closed" : "open") << (r.oriented ? "" : ", inconsistently oriented")
        << ", volume " << std::setprecision(10) << r.volume;
    return out.str();
}

}  // namespace meshcut_cli

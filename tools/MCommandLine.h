// Pieces shared by the subcommands of the command-line tool: a progress bar,
// argument parsing in model units and all-or-nothing writing of results.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "host/MMath.h"
#include "host/MProgress.h"
#include "host/MStlIO.h"

class MStlBase;

namespace meshcut_cli {

// Exit statuses of the tool.
constexpr int kFailure = 1;
constexpr int kNotClosed = 2;
constexpr int kInterrupted = 130;

// Prints "meshcut: message" on stderr and returns kFailure.
int Fail(const std::string& message);
// Reads a mesh file; an empty result is an error.  Left-out degenerate
// triangles are reported on stderr.
bool Load(const std::string& path, MStlBase& mesh, std::string& error);
double Seconds(std::chrono::steady_clock::time_point since);

// Draws a bar on stderr when stderr is a terminal; Ctrl-C asks the running
// operation to stop.
class TerminalProgress final : public QelSDK::Common::IProgressDelegate {
public:
    TerminalProgress();
    ~TerminalProgress() override;
    void OnProgress(const std::string& step, double fraction) override;
    bool IsCancelled() const override;
    void Finish();

private:
    bool m_terminal = false;
    int m_lastPercent = -1;
    std::chrono::steady_clock::time_point m_lastDraw;
};

// `count` comma-separated finite numbers; a wrong count is reported as
// "`option` needs `form`" (or "needs exactly `form`" for too many).
bool ParseNumbers(const std::string& text, const std::string& option, int count, const std::string& form,
                  double* values, std::string& error);
// "x,y,z" -> vector (no unit conversion).
bool ParseVector(const std::string& text, const std::string& option, MMVector3d& vector, std::string& error);
// "a,b,c,d" in model units -> plane equation in internal units.
bool ParsePlane(const std::string& text, MMPlaneEq<double>& plane, std::string& error);
// A height in model units -> internal units, refused outside the 32-bit grid.
bool ToInternal(double modelUnits, long& internal, std::string& error);

struct Output {
    std::string path;
    const MStlBase* mesh;
};
// Writes every output or none: when one fails, those already written are
// removed again.
bool WriteAll(const std::vector<Output>& outputs, bool asciiStl, std::string& error);

std::string Describe(const MStlBase& mesh);

}  // namespace meshcut_cli

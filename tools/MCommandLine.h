// Argument parsing and the progress bar shared by the subcommands of the
// command-line tool.  Numbers on the command line are model units; they meet
// the grid through ToInternal, after --grid has set the grid step.
#pragma once

#include <chrono>
#include <string>

#include "host/MMath.h"
#include "host/MProgress.h"

namespace meshcut_cli {

// Exit statuses of the tool.
constexpr int kSuccess = 0;
constexpr int kFailure = 1;
// `check` of a mesh that is not closed and oriented, or a result that should
// be closed and is not.
constexpr int kNotClosed = 2;
constexpr int kInterrupted = 130;

// A decimal number, finite: "12", "-0.5", "1e-3".  Empty text, hexadecimal,
// "inf", "nan" and trailing characters are refused with a message naming
// `option`.
bool ParseNumber(const std::string& text, const std::string& option, double& value, std::string& error);
// A whole number in [minimum, maximum].
bool ParseCount(const std::string& text, const std::string& option, uint64_t minimum, uint64_t maximum,
                uint64_t& value, std::string& error);
// `count` comma-separated numbers; a wrong count is reported as
// "`option` needs `form`".
bool ParseNumbers(const std::string& text, const std::string& option, int count, const std::string& form,
                  double* values, std::string& error);
// "x,y,z" -> vector (no unit conversion).
bool ParseVector(const std::string& text, const std::string& option, MMVector3d& vector, std::string& error);
// "a,b,c,d" in model units -> plane equation in grid steps.
bool ParsePlane(const std::string& text, MMPlaneEq<double>& plane, std::string& error);
// A length or coordinate in model units -> grid steps, refused outside the
// 32-bit grid.
bool ToInternal(double modelUnits, long& internal, std::string& error);
// A model-unit number option parsed and converted in one go.
bool ParseInternal(const std::string& text, const std::string& option, long& internal, std::string& error);
// The grid step in model units, as shown in messages ("0.001 units").
std::string GridStepText();

double Seconds(std::chrono::steady_clock::time_point since);

// The process-wide stop request: set by Ctrl-C (SIGINT); SIGTERM, SIGHUP and
// a second Ctrl-C end the process at once after removing temporary files.
void InstallSignalHandlers();
bool StopRequested();

// Draws a bar with the current step in plain words on stderr when stderr is a
// terminal and `quiet` is off; Ctrl-C asks the running operation to stop.
class TerminalProgress final : public QelSDK::Common::IProgressDelegate {
public:
    explicit TerminalProgress(bool quiet);
    ~TerminalProgress() override;
    void OnProgress(const std::string& step, double fraction) override;
    bool IsCancelled() const override;
    // Clears the bar.
    void Finish();

private:
    bool m_draw = false;
    int m_lastPercent = -1;
    std::string m_lastLabel;
    std::chrono::steady_clock::time_point m_lastDraw;
};

// The words the bar shows for a library step name ("reading", "cutting",
// "filling the cut", "writing", ...).
std::string PlainStepLabel(const std::string& step);

}  // namespace meshcut_cli

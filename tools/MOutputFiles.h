// The files a run writes: checked before any work, written to temporary files
// beside their targets, and renamed onto the targets only once every one of
// them is complete, so that a failed or interrupted run leaves no output and
// no existing file changed.
#pragma once

#include <string>
#include <vector>

#include "host/MProgress.h"
#include "host/MStlIO.h"

class MStlBase;

namespace meshcut_cli {

// "-" names standard output.
constexpr const char* kStandardStream = "-";

struct PlannedOutput {
    std::string role;    // "below", "inside", ...
    std::string path;    // as given
    std::string target;  // the file really written (a symbolic link resolved)
    MeshFormat format = MeshFormat::BinaryStl;
    bool toStandardOutput = false;
    bool text = false;  // a text file of the command's own, not a mesh
};

class OutputFiles {
public:
    OutputFiles() = default;
    ~OutputFiles();
    OutputFiles(const OutputFiles&) = delete;
    OutputFiles& operator=(const OutputFiles&) = delete;

    // Adds an output; refuses an unknown extension, a path that exists and is
    // not a regular file (a folder, FIFO or device), a folder that does not
    // exist, a path planned already (also through another name of the same
    // file) and a second "-".  Empty paths are skipped.
    bool Plan(const std::string& role, const std::string& path, bool ascii, std::string& error);
    // The same for a text output of any extension.
    bool PlanText(const std::string& role, const std::string& path, std::string& error);
    const std::vector<PlannedOutput>& Planned() const { return m_planned; }
    bool WritesStandardOutput() const;

    // Writes every (planned output, mesh) pair with a mesh, then renames all
    // temporary files onto their targets; on any failure nothing is left.
    struct Item {
        const PlannedOutput* output;
        const MStlBase* mesh;
        const std::string* text;
    };
    bool WriteAll(const std::vector<Item>& items, const QelSDK::Common::ProgressPtr& progress, std::string& error);

private:
    bool Add(PlannedOutput planned, std::string& error);
    bool WriteItem(std::FILE* file, const Item& item, std::string& error,
                   const QelSDK::Common::ProgressPtr& progress) const;
    void RemoveTemporaries();
    std::vector<PlannedOutput> m_planned;
    std::vector<std::string> m_temporaries;
};

// Async-signal-safe: removes every temporary file of this process that is
// still registered.  Called from signal handlers before the process ends.
void RemoveTemporaryFilesNow();

}  // namespace meshcut_cli

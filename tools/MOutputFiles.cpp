#include "tools/MOutputFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace meshcut_cli {

namespace {

// Temporary files of this process, kept in fixed storage that a signal
// handler may read.
constexpr int kSlots = 64;
constexpr size_t kPathBytes = 4096;
char g_temporary[kSlots][kPathBytes];
volatile std::sig_atomic_t g_slotUsed[kSlots];

bool Register(const std::string& path) {
    if (path.size() >= kPathBytes) return false;
    for (int i = 0; i < kSlots; ++i)
        if (!g_slotUsed[i]) {
            std::memcpy(g_temporary[i], path.c_str(), path.size() + 1);
            g_slotUsed[i] = 1;
            return true;
        }
    return false;
}

void Unregister(const std::string& path) {
    for (int i = 0; i < kSlots; ++i)
        if (g_slotUsed[i] && path == g_temporary[i]) g_slotUsed[i] = 0;
}

// Blocks the signals that end the process while the outputs are renamed, so
// that they appear all together or not at all.
class SignalBlock {
public:
    SignalBlock() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&set, s);
        sigprocmask(SIG_BLOCK, &set, &m_previous);
    }
    ~SignalBlock() { sigprocmask(SIG_SETMASK, &m_previous, nullptr); }

private:
    sigset_t m_previous;
};

// The permissions a new file gets, or those of the file it replaces.
mode_t ModeFor(const std::string& target) {
    struct stat info;
    if (::stat(target.c_str(), &info) == 0) return info.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// Resolves `path` to the file that will be written, or says why it cannot be.
bool ResolveTarget(const std::string& path, std::string& target, std::string& error) {
    struct stat link;
    if (::lstat(path.c_str(), &link) != 0) {
        std::error_code ec;
        const fs::path folder = fs::path(path).parent_path().empty() ? fs::path(".") : fs::path(path).parent_path();
        if (!fs::is_directory(folder, ec))
            return error = "cannot write " + Quoted(path) + ": its folder " + Quoted(folder.string()) +
                           " does not exist", false;
        if (::access(folder.c_str(), W_OK | X_OK) != 0)
            return error = "cannot write " + Quoted(path) + ": no permission to create files in " +
                           Quoted(folder.string()), false;
        target = fs::weakly_canonical(fs::absolute(path), ec).string();
        if (ec) target = fs::absolute(path).string();
        return true;
    }
    std::error_code ec;
    const fs::path resolved = fs::canonical(path, ec);
    struct stat info;
    if (ec || ::stat(resolved.c_str(), &info) != 0)
        return error = "cannot write " + Quoted(path) + ": it is a symbolic link to nothing", false;
    if (!S_ISREG(info.st_mode))
        return error = "cannot write " + Quoted(path) + ": it exists and is not a regular file (a folder, FIFO or " +
                       "device); give a file path, or - for standard output", false;
    if (::access(resolved.c_str(), W_OK) != 0 || ::access(resolved.parent_path().c_str(), W_OK | X_OK) != 0)
        return error = "cannot write " + Quoted(path) + ": no permission to replace it", false;
    target = resolved.string();
    return true;
}

bool SameExistingFile(const std::string& a, const std::string& b) {
    struct stat x, y;
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

}  // namespace

void RemoveTemporaryFilesNow() {
    for (int i = 0; i < kSlots; ++i)
        if (g_slotUsed[i]) {
            ::unlink(g_temporary[i]);
            g_slotUsed[i] = 0;
        }
}

OutputFiles::~OutputFiles() { RemoveTemporaries(); }

bool OutputFiles::WritesStandardOutput() const {
    for (const PlannedOutput& o : m_planned)
        if (o.toStandardOutput) return true;
    return false;
}

bool OutputFiles::Plan(const std::string& role, const std::string& path, bool ascii, std::string& error) {
    if (path.empty()) return true;
    PlannedOutput planned;
    planned.role = role;
    planned.path = path;
    return OutputFormatFromPath(path, ascii, planned.format, error) && Add(planned, error);
}

bool OutputFiles::PlanText(const std::string& role, const std::string& path, std::string& error) {
    if (path.empty()) return true;
    PlannedOutput planned;
    planned.role = role;
    planned.path = path;
    planned.text = true;
    return Add(planned, error);
}

bool OutputFiles::Add(PlannedOutput planned, std::string& error) {
    if (planned.path == kStandardStream) {
        if (WritesStandardOutput()) return error = "only one output can go to standard output (-)", false;
        planned.toStandardOutput = true;
    } else if (!ResolveTarget(planned.path, planned.target, error)) {
        return false;
    }
    for (const PlannedOutput& other : m_planned)
        if (!planned.toStandardOutput && !other.toStandardOutput &&
            (other.target == planned.target || SameExistingFile(other.target, planned.target)))
            return error = "the " + other.role + " and " + planned.role + " outputs name the same file " +
                           Quoted(planned.path), false;
    m_planned.push_back(planned);
    return true;
}

bool OutputFiles::WriteItem(std::FILE* file, const Item& item, std::string& error,
                            const QelSDK::Common::ProgressPtr& progress) const {
    if (item.text) {
        if (std::fwrite(item.text->data(), 1, item.text->size(), file) == item.text->size()) return true;
        error = "cannot write " + Quoted(item.output->path) + ": " + std::strerror(errno);
        return false;
    }
    return WriteMeshToStream(file, item.output->path, *item.mesh, item.output->format, error, progress);
}

bool OutputFiles::WriteAll(const std::vector<Item>& items, const QelSDK::Common::ProgressPtr& progress,
                           std::string& error) {
    std::vector<std::pair<std::string, std::string>> renames;  // temporary, target
    const Item* toStandardOutput = nullptr;
    for (const Item& item : items) {
        if (!item.mesh && !item.text) continue;
        if (item.output->toStandardOutput) {
            toStandardOutput = &item;
            continue;
        }
        const std::string& target = item.output->target;
        const fs::path p(target);
        std::string name = p.parent_path().string();
        name.append("/.").append(p.filename().string()).append(".meshcut-XXXXXX");
        const int fd = ::mkstemp(name.data());
        if (fd < 0) {
            error = "cannot create a temporary file beside " + Quoted(item.output->path) + ": " + std::strerror(errno);
            RemoveTemporaries();
            return false;
        }
        m_temporaries.push_back(name);
        Register(name);
        ::fchmod(fd, ModeFor(target));
        std::FILE* file = ::fdopen(fd, "wb");
        bool ok = file && WriteItem(file, item, error, progress);
        if (file && std::fclose(file) != 0 && ok) {
            error = "cannot write " + Quoted(item.output->path) + ": " + std::strerror(errno);
            ok = false;
        }
        if (!file) ::close(fd);
        if (!ok) {
            RemoveTemporaries();
            return false;
        }
        renames.emplace_back(name, target);
    }
    // Standard output last: when it fails, the files are not yet in place.
    if (toStandardOutput) {
        const bool ok = WriteItem(stdout, *toStandardOutput, error, progress) && std::fflush(stdout) == 0;
        if (!ok) {
            if (error.empty()) error = "cannot write to standard output";
            RemoveTemporaries();
            return false;
        }
    }
    SignalBlock block;
    for (const auto& [temporary, target] : renames)
        if (std::rename(temporary.c_str(), target.c_str()) != 0) {
            error = "cannot replace " + Quoted(target) + ": " + std::strerror(errno);
            RemoveTemporaries();
            return false;
        }
    for (const std::string& t : m_temporaries) Unregister(t);
    m_temporaries.clear();
    return true;
}

void OutputFiles::RemoveTemporaries() {
    for (const std::string& t : m_temporaries) {
        std::remove(t.c_str());
        Unregister(t);
    }
    m_temporaries.clear();
}

}  // namespace meshcut_cli

#include "tools/sweep/MSweepChildren.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace meshcut_sweep {
namespace {

using Clock = std::chrono::steady_clock;

struct Running {
    size_t index = 0;
    pid_t pid = -1;
    int fd = -1;
    Clock::time_point deadline;
    ChildOutcome outcome;
    bool eof = false;
};

[[noreturn]] void BecomeChild(size_t index, int fd, const ChildLimits& limits,
                              const std::function<void(size_t, int)>& work) {
    // A sweep stopped by a signal must not leave its children running on.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // AddressSanitizer reserves terabytes of address space for its shadow: a
    // limit on it would stop every case before it starts.
#ifdef __SANITIZE_ADDRESS__
    (void)limits;
#else
    if (limits.memoryBytes != 0) {
        const rlimit limit{rlim_t(limits.memoryBytes), rlim_t(limits.memoryBytes)};
        setrlimit(RLIMIT_AS, &limit);
    }
#endif
    // The operations' own messages would tear the parent's report apart.
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) ::close(null);
    }
    work(index, fd);
    ::close(fd);
    _exit(0);
}

Running Start(size_t index, const ChildLimits& limits, const std::function<void(size_t, int)>& work) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        ::close(fds[0]);
        BecomeChild(index, fds[1], limits, work);
    }
    ::close(fds[1]);
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    Running r;
    r.index = index;
    r.pid = pid;
    r.fd = fds[0];
    r.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(std::max(0.0, limits.timeoutSeconds)));
    return r;
}

// Reads what is there; sets eof when the child closed its end.
void Drain(Running& r) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(r.fd, buffer, sizeof buffer);
        if (n > 0) {
            r.outcome.answer.append(buffer, size_t(n));
            continue;
        }
        if (n == 0) r.eof = true;
        else if (errno == EINTR) continue;
        else if (errno != EAGAIN && errno != EWOULDBLOCK) r.eof = true;
        return;
    }
}

void Reap(Running& r) {
    ::close(r.fd);
    int status = 0;
    while (waitpid(r.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (r.outcome.timedOut) return;
    if (WIFEXITED(status)) r.outcome.exited = true, r.outcome.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) r.outcome.signal = WTERMSIG(status);
}

}  // namespace

void RunInChildren(size_t count, const ChildLimits& limits, const std::function<void(size_t, int)>& work,
                   const std::function<void(size_t, ChildOutcome&&)>& done) {
    const size_t jobs = size_t(std::max(1, limits.jobs));
    std::vector<Running> running;
    size_t next = 0;
    while (next < count || !running.empty()) {
        while (next < count && running.size() < jobs) running.push_back(Start(next++, limits, work));

        const Clock::time_point now = Clock::now();
        Clock::time_point nearest = running.front().deadline;
        for (const Running& r : running) nearest = std::min(nearest, r.deadline);
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nearest - now).count();
        std::vector<pollfd> fds;
        for (const Running& r : running) fds.push_back({r.fd, POLLIN, 0});
        poll(fds.data(), fds.size(), int(std::clamp<long long>(wait + 1, 0, 1000)));

        for (size_t k = 0; k < running.size();) {
            Running& r = running[k];
            Drain(r);
            if (!r.eof && Clock::now() >= r.deadline) {
                kill(r.pid, SIGKILL);
                r.outcome.timedOut = true;
                r.eof = true;
            }
            if (!r.eof) {
                ++k;
                continue;
            }
            Reap(r);
            Running finished = std::move(r);
            running.erase(running.begin() + long(k));
            done(finished.index, std::move(finished.outcome));
        }
    }
}

void WriteAll(int fd, const std::string& bytes) {
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        written += size_t(n);
    }
}

std::string DescribeEnd(const ChildOutcome& outcome) {
    if (outcome.timedOut) return "time-out";
    if (outcome.signal != 0) return "signal " + std::to_string(outcome.signal) + " (" + strsignal(outcome.signal) + ")";
    return "exit status " + std::to_string(outcome.exitStatus) + " without an answer";
}

}  // namespace meshcut_sweep

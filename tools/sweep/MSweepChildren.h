// Running work in forked child processes, a few at once, each with a time
// limit and an address-space limit, each answering through a pipe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace meshcut_sweep {

struct ChildOutcome {
    std::string answer;     // all the child wrote to its pipe
    bool exited = false;    // ended by exit (status in exitStatus)
    int exitStatus = 0;
    int signal = 0;         // ended by this signal (not the time-out's kill)
    bool timedOut = false;  // killed at the time limit
};

struct ChildLimits {
    int jobs = 1;
    double timeoutSeconds = 60.0;
    uint64_t memoryBytes = 0;  // 0: no limit
};

// Runs `work(i, fd)` for i in [0, count) in children, at most `jobs` at once.
// The child writes its answer to `fd` and ends; `done(i, outcome)` is called
// in the parent as each child ends, in the order they end.  The parent must
// not have started threads of its own: the children are plain forks.
void RunInChildren(size_t count, const ChildLimits& limits, const std::function<void(size_t, int)>& work,
                   const std::function<void(size_t, ChildOutcome&&)>& done);

// Writes all of `bytes` to `fd` (in a child).
void WriteAll(int fd, const std::string& bytes);

// "signal 11 (Segmentation fault)", "exit status 1 without an answer".
std::string DescribeEnd(const ChildOutcome& outcome);

}  // namespace meshcut_sweep

// Runs a piece of a test in a child process of its own, so that its peak memory and time
// are its own and not the test process's.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vellicor::test {

// Sanitizer builds keep freed memory and shadow it: their peaks say nothing of ours.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kPeakMemoryMeasured = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kPeakMemoryMeasured = false;
#else
inline constexpr bool kPeakMemoryMeasured = true;
#endif
#else
inline constexpr bool kPeakMemoryMeasured = true;
#endif

struct ChildRun {
    int exitCode = -1;    // the body's result; 100 + the signal when it was killed
    double seconds = 0;   // wall time
    double cpuSeconds = 0;  // the child's user and system time
    double peakMB = 0;    // the child's peak resident memory
    double grewMB = 0;    // how far that peak rose above what this process held at the start
};

// This process's resident memory in bytes, now.
inline long ResidentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}
inline long ResidentMB() { return ResidentBytes() >> 20; }

inline ChildRun InChild(const std::function<int()>& body) {
    const long resident = ResidentBytes();
    std::fflush(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    ChildRun run;
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
    run.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.peakMB = double(usage.ru_maxrss) / 1024.0;
    run.grewMB = (double(usage.ru_maxrss) * 1024.0 - double(resident)) / 1048576.0;
    return run;
}

}  // namespace vellicor::test

// Cost of one traced function (its "Call" and "Return") with no trace library, with the
// library but no viewer, and with the viewer running; beside the same function untraced.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "extlibs/trace32/TraceMap.h"
#include "platform/Registry.h"
#include "trace/Trace.h"

extern char** environ;

namespace tr = vellicor::trace;

namespace {

volatile int g_sink = 0;

__attribute__((noinline)) void Plain(int i) { g_sink = g_sink + i; }

__attribute__((noinline)) void Traced(int i) {
    VTRACE("TBench::Traced");
    g_sink = g_sink + i;
}

template <typename F>
double NsPerCall(F f, int n) {
    for (int i = 0; i < n / 10; ++i) f(i);  // warm up
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) f(i);
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / n;
}

}  // namespace

int main() {
    char dir[] = "/tmp/vellicor-bench-XXXXXX";
    if (!::mkdtemp(dir)) return 1;
    ::setenv("VELLICOR_CONFIG_DIR", dir, 1);
    vellicor::ResetRegistryStore();
    std::string map = "/vellicor-bench-" + std::to_string(::getpid());

    double plain = NsPerCall(Plain, 50000000);

    tr::UnloadTraceLibrary();
    double none = NsPerCall(Traced, 50000000);

    {
        vellicor::TRegistry r(vellicor::HKEY::CLASSES_ROOT);
        r.OpenKey("CLSID\\{766679C8-435A-11D1-AC1F-444553540000}\\InprocServer32", true);
        r.WriteString("", std::string(VELLICOR_MODULE_DIR) + "/libtrace32.so");
    }
    tr::LoadTraceLibrary();
    if (!tr::TraceLibraryLoaded() || !tr::SetTraceMapName(map.c_str())) {
        std::fprintf(stderr, "bench_trace: libtrace32.so not found in %s\n", VELLICOR_MODULE_DIR);
        return 1;
    }
    double noMap = NsPerCall(Traced, 5000000);

    std::string viewer = std::string(VELLICOR_MODULE_DIR) + "/tracelog32";
    std::string a1 = "--minimised", a2 = "--map";
    char* argv[] = {viewer.data(), a1.data(), a2.data(), map.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, viewer.c_str(), nullptr, nullptr, argv, environ) != 0) return 1;
    for (int i = 0; i < 500 && !tr::OpenTraceMemMap(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    double viewing = tr::TracingEnabled() ? NsPerCall(Traced, 1000000) : -1;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    ::shm_unlink(map.c_str());
    std::filesystem::remove_all(dir);

    std::printf("one traced function (Call + Return), ns per call:\n");
    std::printf("  untraced function          %8.2f\n", plain);
    std::printf("  no trace library           %8.2f   x%.2f of untraced\n", none, none / plain);
    std::printf("  library, no viewer         %8.2f   x%.2f of untraced\n", noMap, noMap / plain);
    if (viewing >= 0)
        std::printf("  viewer running             %8.2f   x%.2f of untraced\n", viewing, viewing / plain);
    else
        std::printf("  viewer running             (viewer did not start)\n");
    std::printf("ratio traced/untraced, library loaded and no viewer: %.2fx\n", noMap / plain);
    bench::OwnRow("traced call (Call + Return), library loaded, no viewer", noMap, "untraced function", plain, "ns");
    return 0;
}

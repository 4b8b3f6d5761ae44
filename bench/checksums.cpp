// CRC-32 and MD5 throughput of the page checker against cksfv and md5sum run as processes
// on the same bytes written to files. Ours hash in-memory pages (as the loader hands them
// over); the peers read their file from the page cache. Peer times are also shown with the
// cost of starting the process (measured on an empty file) taken off.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "pages/Checksums.h"
#include "pages/MD5.h"
#include "platform/Streams.h"

extern char** environ;

using namespace vellicor;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// Best time of several runs, each at least long enough to measure.
template <typename F>
double BestOf(int runs, F f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        auto t0 = Clock::now();
        f();
        best = std::min(best, Seconds(t0, Clock::now()));
    }
    return best;
}

bool Run(const std::vector<std::string>& args, std::string* output = nullptr) {
    std::string outFile = output ? std::filesystem::temp_directory_path() / "vellicor-bench-out" : "/dev/null";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    if (output) {
        std::ifstream f(outFile);
        output->assign(std::istreambuf_iterator<char>(f), {});
        std::filesystem::remove(outFile);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool HaveTool(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

int main() {
    const bool haveMd5sum = HaveTool("md5sum"), haveCksfv = HaveTool("cksfv");
    std::string dir = (std::filesystem::temp_directory_path() / "vellicor-bench-XXXXXX").string();
    if (!mkdtemp(dir.data())) return 1;
    const std::string empty = dir + "/empty.bin";
    std::ofstream(empty).close();

    // Process start-up and exit, to be taken off the peers' times.
    const double md5Start = haveMd5sum ? BestOf(10, [&] { Run({"md5sum", empty}); }) : 0;
    const double sfvStart = haveCksfv ? BestOf(10, [&] { Run({"cksfv", empty}); }) : 0;
    std::printf("process start-up: md5sum %.2f ms, cksfv %.2f ms\n\n", md5Start * 1e3, sfvStart * 1e3);
    std::printf("%-7s %-6s %10s %12s %12s %14s %14s\n", "size", "hash", "ours MB/s", "peer MB/s", "peer-start",
                "ours/peer time", "ours/(peer-st)");

    uint64_t seed = 0x9E3779B97F4A7C15ull;
    bool allMatch = true;
    double lastRatio = -1;
    for (int mb : {1, 10, 100}) {
        const int64_t size = int64_t(mb) << 20;
        TMemoryStream page;
        page.SetSize(size);
        for (int64_t i = 0; i < size; i += 8) {
            seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
            std::copy_n(reinterpret_cast<const uint8_t*>(&seed), std::min<int64_t>(8, size - i), page.Memory() + i);
        }
        const std::string file = dir + "/page" + std::to_string(mb) + ".bin";
        page.SaveToFile(file);
        const int runs = mb == 100 ? 5 : 20;

        uint32_t crc = 0;
        TMD5Digest md5{};
        const double ourCrc = BestOf(runs, [&] { crc = StreamCRC32(page, size); });
        const double ourMd5 = BestOf(runs, [&] { md5 = StreamMD5(page, size); });

        auto row = [&](const char* hash, double ours, bool have, double peer, double start) {
            const double mbs = double(size) / (1 << 20);
            if (!have) {
                std::printf("%4d MB %-6s %10.0f %12s\n", mb, hash, mbs / ours, "(absent)");
                return;
            }
            const double net = std::max(peer - start, 1e-9);
            std::printf("%4d MB %-6s %10.0f %12.0f %12.0f %14.2f %14.2f\n", mb, hash, mbs / ours, mbs / peer,
                        mbs / net, ours / peer, ours / net);
            const bool crc = std::string(hash) == "CRC-32";
            bench::PeerRow(std::string(hash) + " of " + std::to_string(mb) + " MB", ours * 1e3,
                           std::string(crc ? "cksfv " + bench::PackageVersion("cksfv") : "md5sum (coreutils " + bench::PackageVersion("coreutils") + ")") +
                               ", start-up taken off",
                           net * 1e3);
        };

        double peerSfv = 0, peerMd5 = 0;
        if (haveCksfv) {
            Run({"cksfv", file});  // warm the page cache
            peerSfv = BestOf(runs, [&] { Run({"cksfv", file}); });
            std::string out;
            Run({"cksfv", file}, &out);
            char hex[9];
            std::snprintf(hex, sizeof hex, "%08X", crc);
            allMatch &= out.find(hex) != std::string::npos;
        }
        if (haveMd5sum) {
            Run({"md5sum", file});
            peerMd5 = BestOf(runs, [&] { Run({"md5sum", file}); });
            std::string out;
            Run({"md5sum", file}, &out);
            allMatch &= out.rfind(MD5ToHex(md5), 0) == 0;
        }
        row("CRC-32", ourCrc, haveCksfv, peerSfv, sfvStart);
        row("MD5", ourMd5, haveMd5sum, peerMd5, md5Start);
        if (mb == 100 && haveMd5sum) lastRatio = ourMd5 / std::max(peerMd5 - md5Start, 1e-9);
    }
    std::filesystem::remove_all(dir);
    std::printf("\nresults agree with the peers: %s\n", allMatch ? "yes" : "NO");
    if (lastRatio > 0) std::printf("ratio ours/md5sum time (start-up taken off), MD5 of 100 MB: %.2fx\n", lastRatio);
    else std::printf("ratio: n/a (md5sum missing)\n");
    return allMatch ? 0 : 1;
}

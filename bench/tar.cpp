// Lists and extracts every member of a 200-page cbt through the archive front end, in list
// order and in reverse, against GNU tar extracting the same file to standard output.
// Usage: bench_tar [pages] [kilobytes per page]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "archives/TarArchive.h"
#include "archives/UnArchive.h"

#include "BenchSupport.h"

using namespace vellicor;
using Clock = std::chrono::steady_clock;

namespace {

using bench::Best;

}  // namespace

int main(int argc, char** argv) {
    int pages = argc > 1 ? std::atoi(argv[1]) : 200;
    int kb = argc > 2 ? std::atoi(argv[2]) : 400;
    auto dir = std::filesystem::temp_directory_path() / ("vellicor-bench-tar-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::string path = (dir / "book.cbt").string();
    {
        std::mt19937 rng(1);
        TTarWriter w(path);
        std::string page;
        for (int i = 0; i < pages; ++i) {
            page.resize(static_cast<size_t>(kb) * 1024 + static_cast<size_t>(rng() % 4096));
            for (auto& c : page) c = static_cast<char>(rng());
            char name[64];
            std::snprintf(name, sizeof name, "book/page%03d.jpg", i + 1);
            w.AddString(page, name, 25569.0);
        }
    }
    double mb = static_cast<double>(std::filesystem::file_size(path)) / (1024.0 * 1024.0);
    std::printf("%d pages, %.1f MB\n", pages, mb);

    int64_t checksum = 0;
    auto run = [&](bool reverse) {
        TUnArchive a(nullptr);
        a.SetFileName(path);
        int n = a.FileNames().Count();
        for (int k = 0; k < n; ++k) {
            int i = reverse ? n - 1 - k : k;
            TMemoryStream* s = a.Extract(a.FileNames()[i]);
            if (!s) {
                std::fprintf(stderr, "extraction failed: %s\n", a.FileNames()[i].c_str());
                std::exit(1);
            }
            checksum += s->Size();
        }
    };
    const int runs = 5;
    double forward = Best(runs, [&] { run(false); });
    double backward = Best(runs, [&] { run(true); });
    // tar is a whole process: its start-up on a one-member archive is taken off.
    const std::string tiny = (dir / "one.tar").string();
    { TTarWriter w(tiny); w.AddString("x", "one.txt", 25569.0); }
    const std::string tinyCmd = "tar -xOf '" + tiny + "' > /dev/null";
    const double start = Best(runs, [&] { (void)!std::system(tinyCmd.c_str()); });
    std::string cmd = "tar -xOf '" + path + "' > /dev/null";
    double peer = Best(runs, [&] {
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "tar failed\n");
    });
    std::printf("%-34s %8.1f ms  %7.0f MB/s\n", "front end, list order", forward * 1e3, mb / forward);
    std::printf("%-34s %8.1f ms  %7.0f MB/s\n", "front end, reverse order", backward * 1e3, mb / backward);
    peer = std::max(peer - start, 1e-9);
    std::printf("%-34s %8.1f ms  %7.0f MB/s (start-up %.1f ms taken off)\n", "tar -xOf", peer * 1e3, mb / peer, start * 1e3);
    const std::string tar = "tar -xOf " + bench::PackageVersion("tar") + ", start-up taken off";
    bench::PeerRow("tar archive, every member in list order", forward * 1e3, tar, peer * 1e3);
    bench::PeerRow("tar archive, every member in reverse order", backward * 1e3, tar, peer * 1e3);
    std::filesystem::remove_all(dir);
    return checksum > 0 ? 0 : 1;
}

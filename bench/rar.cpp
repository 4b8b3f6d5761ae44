// Lists and extracts every member of rar archives through the rar reader, against bsdtar
// extracting the same file to standard output: the largest compressed archive of the shared
// test data, and a stored cbr of 200 pages written here.
// Usage: bench_rar [pages] [kilobytes per page]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "RarWriter.h"
#include "archives/Unrarif.h"

#include "BenchSupport.h"

using namespace vellicor;
using Clock = std::chrono::steady_clock;

namespace {

using bench::Best;

// Our side: list, then extract each listed member; returns the bytes delivered.
int64_t ListAndExtract(const std::string& path) {
    TUnRar rar(nullptr);
    rar.SetFileName(path);
    int64_t total = 0;
    for (const std::string& name : rar.FileNames())
        if (TMemoryStream* s = rar.Extract(name)) total += s->Size();
    return total;
}

// Returns ours / bsdtar.
double Compare(const char* what, const std::string& path, int runs) {
    int64_t bytes = 0;
    double ours = Best(runs, [&] { bytes = ListAndExtract(path); });
    std::string cmd = "bsdtar -xOf '" + path + "' > /dev/null 2>&1";
    double peer = Best(runs, [&] { (void)std::system(cmd.c_str()); });
    std::printf("%-40s %8.1f KB  ours %8.2f ms  bsdtar -xOf %8.2f ms  ratio %.2f\n", what, static_cast<double>(bytes) / 1024.0,
                ours * 1000, peer * 1000, ours / peer);
    return ours / peer;
}

}  // namespace

int main(int argc, char** argv) {
    int pages = argc > 1 ? std::atoi(argv[1]) : 200;
    int kb = argc > 2 ? std::atoi(argv[2]) : 400;
    TUnRar::UseLibrary(VELLICOR_MODULE_DIR "/libunrar.so");
    if (std::system("command -v bsdtar > /dev/null 2>&1") != 0) {
        std::printf("bsdtar missing\n");
        return 0;
    }
    auto dir = std::filesystem::temp_directory_path() / ("vellicor-bench-rar-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::vector<test::RarMember> members;
    std::mt19937 rng(1);
    for (int i = 0; i < pages; ++i) {
        std::string page(static_cast<size_t>(kb) * 1024 + rng() % 4096, '\0');
        for (auto& c : page) c = static_cast<char>(rng());
        char name[64];
        std::snprintf(name, sizeof name, "book/page%03d.jpg", i + 1);
        members.push_back({name, page});
    }
    std::string cbr = test::WriteStoredRar((dir / "book").string(), members, 0, true, (dir / "book.cbr").string())[0];

    std::string peer = VELLICOR_SOURCE_DIR "/../shared/testdata/peer/libarchive/rar_binary_data.rar";
    double compressed = std::filesystem::exists(peer) ? Compare("largest compressed fixture", peer, 5) : 0;
    double stored = Compare("stored RAR 4 cbr, 200 pages", cbr, 5);
    std::filesystem::remove_all(dir);
    std::printf("ratio ours/bsdtar: compressed %.2f, stored cbr %.2f\n", compressed, stored);
    return 0;
}

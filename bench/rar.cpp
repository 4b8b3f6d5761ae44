// Reads every member of rar archives through the rar reader (list, then each member into
// memory, as the page loader does), against libarchive's own read loop in this process
// (next header, the member's data into memory), runs interleaved: a stored cbr of 200 pages
// written here, and the largest compressed archive of the shared test data.
// Usage: bench_rar [pages] [kilobytes per page]
#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

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

namespace {

// Our side: list, then extract each listed member; returns the bytes delivered.
int64_t ListAndExtract(const std::string& path) {
    TUnRar rar(nullptr);
    rar.SetFileName(path);
    int64_t total = 0;
    for (const std::string& name : rar.FileNames())
        if (TMemoryStream* s = rar.Extract(name)) total += s->Size();
    return total;
}

// The peer: libarchive's read loop, each member's data read into one buffer.
int64_t LibarchiveReadAll(const std::string& path) {
    struct archive* a = archive_read_new();
    archive_read_support_format_rar(a);
    archive_read_support_format_rar5(a);
    int64_t total = -1;
    if (archive_read_open_filename(a, path.c_str(), 256 * 1024) == ARCHIVE_OK) {
        total = 0;
        std::vector<char> buffer;
        struct archive_entry* e = nullptr;
        while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
            if (archive_entry_filetype(e) != AE_IFREG) continue;
            buffer.resize(static_cast<size_t>(archive_entry_size(e)));
            la_ssize_t n = archive_read_data(a, buffer.data(), buffer.size());
            if (n < 0) break;
            total += n;
        }
    }
    archive_read_free(a);
    return total;
}

void Compare(const std::string& what, const std::string& path, int runs) {
    int64_t ours = 0, theirs = 0;
    auto [t1, t2] = bench::Interleaved(runs, [&] { ours = ListAndExtract(path); }, [&] { theirs = LibarchiveReadAll(path); });
    std::printf("%-44s %9.1f KB  ours %8.2f ms (best %.2f)  libarchive %8.2f ms (best %.2f)\n", what.c_str(),
                static_cast<double>(ours) / 1024.0, t1.median, t1.best, t2.median, t2.best);
    if (ours != theirs) std::printf("  bytes differ: ours %lld, libarchive %lld\n", static_cast<long long>(ours),
                                    static_cast<long long>(theirs));
    bench::PeerRow(what, t1.median, "libarchive " + bench::PackageVersion("libarchive13") + " read loop", t2.median);
}

}  // namespace

int main(int argc, char** argv) {
    int pages = argc > 1 ? std::atoi(argv[1]) : 200;
    int kb = argc > 2 ? std::atoi(argv[2]) : 400;
    TUnRar::UseLibrary(VELLICOR_MODULE_DIR "/libunrar.so");
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

    Compare("stored cbr of " + std::to_string(pages) + " pages, every member", cbr, 15);
    std::string peer = VELLICOR_SOURCE_DIR "/../shared/testdata/peer/libarchive/rar_binary_data.rar";
    if (std::filesystem::exists(peer)) Compare("compressed rar (rar_binary_data), every member", peer, 15);
    std::filesystem::remove_all(dir);
    return 0;
}

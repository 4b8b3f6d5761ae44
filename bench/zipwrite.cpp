// Zip writing beside Info-ZIP's zip: a folder of 200 scanned JPEG pages added at level 6 (zip
// -6 -r), and one entry deleted from the 200-entry archive (zip -d). Same input, output in
// the same folder, the two sides timed alternately; the archive sizes are printed too. The
// delete is timed as whole processes on both sides (our shell tool beside zip), with their
// syncs and, when libeatmydata is installed, once more with every sync made a no-op.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archives/zip/ZipComponent.h"
#include "platform/Text.h"

#include "BenchSupport.h"

using namespace vellicor;

namespace {

#ifndef VELLICOR_ZIPCOMP
#define VELLICOR_ZIPCOMP ""
#endif

// Runs a program in dir without a shell, its output to /dev/null; its exit code, or -1.
// preload, when given, is put in front of the program as LD_PRELOAD.
int Run(const std::string& dir, std::vector<std::string> args, const std::string& preload = "") {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0) env.push_back(*e);
    if (!preload.empty()) env.push_back("LD_PRELOAD=" + preload);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, 1);
        if (::chdir(dir.c_str()) == 0) ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool SaveFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    return f.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).good();
}

bool CopyFile(const std::string& from, const std::string& to) {
    std::error_code e;
    return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, e);
}

// A fresh copy of the archive on disk, and nothing left for the disk to write: neither side
// waits on the copy's write-back nor on what the other side left unsynced before it.
bool FreshCopy(const std::string& from, const std::string& to) {
    if (!CopyFile(from, to)) return false;
    int fd = ::open(to.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0 && ::syncfs(fd) == 0;
    ::close(fd);
    return ok;
}

std::string EatMyData() {
    for (const char* p : {"/usr/lib/x86_64-linux-gnu/libeatmydata.so", "/usr/lib/libeatmydata.so",
                          "/usr/lib64/libeatmydata.so", "/usr/lib/aarch64-linux-gnu/libeatmydata.so"})
        if (::access(p, R_OK) == 0) return p;
    return {};
}

}  // namespace

int main() {
    const std::string zipVersion = bench::PackageVersion("zip");
    if (zipVersion.empty()) {
        std::printf("zip is not installed: nothing to compare with\n");
        return 0;
    }
    const std::string dir = bench::TempPath("zipwrite");
    struct Cleanup {
        std::string dir;
        ~Cleanup() { Run("/", {"rm", "-rf", dir}); }
    } cleanup{dir};
    if (Run("/", {"mkdir", "-p", dir + "/book"}) != 0) return 1;
    int64_t folder = 0;
    for (int i = 0; i < 200; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/book/page%03d.jpg", i);
        std::string page = bench::MakePage(688 + 8 * (i % 5), 1020, static_cast<uint32_t>(i + 1));
        if (!SaveFile(dir + name, page)) return 1;
        folder += static_cast<int64_t>(page.size());
    }

    TZipComponent zip;
    zip.SetDLLDirectory(VELLICOR_MODULE_DIR);
    zip.Unattended = true;
    zip.HowToDelete = htdFinal;
    zip.Load_Zip_Dll();
    if (!zip.ZipDllLoaded()) {
        std::fprintf(stderr, "libzipdll.so not found\n");
        return 1;
    }
    const std::string ours = dir + "/ours.zip", peer = dir + "/peer.zip";
    bool failed = false;
    // Each side starts from no archive, as zip would otherwise update the one there.
    auto noArchives = [&] {
        std::remove(ours.c_str());
        std::remove(peer.c_str());
    };
    auto addOurs = [&] {
        zip.SetZipFileName(ours);
        zip.AddCompLevel = 6;
        zip.AddOptions = {AddRecurseDirs, AddDirNames};
        zip.SetRootDir(dir);
        zip.FSpecArgs().Add("book");
        zip.Add();
        failed |= zip.SuccessCnt() != 200;
    };
    auto addPeer = [&] {
        failed |= Run(dir, {"zip", "-q", "-6", "-r", peer, "book"}) != 0;
    };
    auto [addO, addP] = bench::Interleaved(7, addOurs, addPeer, noArchives);
    noArchives();  // both archives once more, for their sizes and the deletes
    addOurs();
    addPeer();
    if (failed) {
        std::fprintf(stderr, "adding failed\n");
        return 1;
    }
    const int64_t sOurs = FileSize(ours), sPeer = FileSize(peer);
    std::printf("200 JPEG pages, %.1f MB: ours %lld bytes, zip %lld bytes (%+.3f%%); best ours %.0f ms, zip %.0f ms\n",
                static_cast<double>(folder) / 1e6, static_cast<long long>(sOurs), static_cast<long long>(sPeer),
                100.0 * static_cast<double>(sOurs - sPeer) / static_cast<double>(sPeer), addO.best, addP.best);
    char measure[96];
    std::snprintf(measure, sizeof measure, "zip writing, 200 JPEG pages (%.0f MB) at level 6 (zip -6 -r)",
                  static_cast<double>(folder) / 1e6);
    bench::PeerRow(measure, addO.median, "zip " + zipVersion, addP.median);

    // Deleting one entry of 200: both sides as whole processes (start-up, loading, the write,
    // the sync where there is one, the exit), each from a fresh copy of our archive made and
    // synced untimed, the two taking turns.
    const std::string tool = VELLICOR_ZIPCOMP;
    if (tool.empty() || ::access(tool.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "zipcomp not built: the delete is not timed\n");
        zip.Unload_Zip_Dll();
        return 1;
    }
    const std::string copy = dir + "/delete.zip";
    const std::string eat = EatMyData();
    constexpr int kDeleteRounds = 9;
    struct Variant {
        std::string preload, label;
    };
    std::vector<Variant> variants{{"", "with its sync"}};
    if (!eat.empty()) variants.push_back({eat, "syncs made no-ops (libeatmydata in both)"});
    else std::printf("libeatmydata is not installed: the delete is timed with its syncs only\n");
    for (const auto& v : variants) {
        auto delOurs = [&] { failed |= Run(dir, {tool, "delete", copy, "book/page100.jpg"}, v.preload) != 0; };
        auto delPeer = [&] { failed |= Run(dir, {"zip", "-q", "-d", copy, "book/page100.jpg"}, v.preload) != 0; };
        auto [delO, delP] = bench::Interleaved(kDeleteRounds, delOurs, delPeer, [&] { failed |= !FreshCopy(ours, copy); });
        if (failed) {
            std::fprintf(stderr, "deleting failed\n");
            return 1;
        }
        const bench::Spread r = bench::RatioSpread(delO, delP);
        std::printf("deleting one entry of 200 (%.1f MB), whole processes, %s: ours median %.1f ms, zip %.1f ms; "
                    "%d interleaved rounds, ratio per round %.2f-%.2fx (median %.2fx)\n",
                    static_cast<double>(sOurs) / 1e6, v.label.c_str(), delO.median, delP.median, kDeleteRounds, r.min,
                    r.max, r.median);
        bench::PeerRow("zip deleting one entry of 200 (zip -d), whole processes, " + v.label, delO.median,
                       "zip " + zipVersion, delP.median);
    }
    zip.Unload_Zip_Dll();
    return 0;
}

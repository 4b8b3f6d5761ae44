// Zip reading speed beside Info-ZIP and Python in one run: every page of a 500-page comic
// archive (stored, then deflated) extracted to memory, and listing a 10,000-member archive.
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchSupport.h"
#include "archives/zip/ZipComponent.h"
#include "platform/Text.h"

using namespace vellicor;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }

int Shell(const std::string& cmd) {
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Best of three runs of f.
template <typename F>
double Best(F f) {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        auto t = Clock::now();
        if (!f()) return -1;
        best = std::min(best, Seconds(t));
    }
    return best;
}

void Report(const char* what, int pages, double mb, double ours, double peer, const char* peerName) {
    std::printf("%-34s ours %7.3f s  %8.0f pages/s %7.0f MB/s | %-14s %7.3f s  %8.0f pages/s %7.0f MB/s | ratio %.2fx\n", what,
                ours, pages / ours, mb / ours, peerName, peer, pages / peer, mb / peer, ours / peer);
    const std::string package = std::strncmp(peerName, "unzip", 5) == 0 ? "unzip" : "python3";
    bench::PeerRow(std::string("zip reading, ") + what, ours * 1e3, std::string(peerName) + " " + bench::PackageVersion(package),
                   peer * 1e3);
}

// Runs a script that prints its own best time in seconds; -1 when it fails.
double PythonSeconds(const std::string& cmd) {
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    double seconds = -1;
    if (std::fscanf(p, "%lf", &seconds) != 1) seconds = -1;
    pclose(p);
    return seconds;
}


}  // namespace

int main() {
    std::string dir = "/tmp/vellicor-bench-zip-" + std::to_string(::getpid());
    if (Shell("mkdir -p " + dir) != 0) return 1;
    // Pages of 150 kB: noise for the stored archive (like JPEG data), text-like for the
    // deflated one; and an archive of 10,000 small members.
    std::string py = "import zipfile, random\n"
                     "r = random.Random(1)\n"
                     "noise = bytes(r.getrandbits(8) for _ in range(150000))\n"
                     "words = b' '.join(r.choice([b'page', b'panel', b'comic', b'balloon', b'ink']) for _ in range(30000))[:150000]\n"
                     "for name, data, method in (('stored.cbz', noise, zipfile.ZIP_STORED), ('deflated.cbz', words, zipfile.ZIP_DEFLATED)):\n"
                     "    with zipfile.ZipFile('" + dir + "/' + name, 'w', method) as z:\n"
                     "        for i in range(500): z.writestr('page%03d.jpg' % i, data[i:] + data[:i])\n"
                     "with zipfile.ZipFile('" + dir + "/many.zip', 'w') as z:\n"
                     "    for i in range(10000): z.writestr('dir%02d/member%05d.txt' % (i % 50, i), b'x')\n";
    FILE* f = std::fopen((dir + "/make.py").c_str(), "w");
    if (!f) return 1;
    std::fputs(py.c_str(), f);
    std::fclose(f);
    if (Shell("python3 " + dir + "/make.py") != 0) {
        std::fprintf(stderr, "python3 is needed to write the archives\n");
        return 1;
    }
    std::string pyRead = dir + "/read.py";
    f = std::fopen(pyRead.c_str(), "w");
    // Timed inside Python, best of three, so that the interpreter's start-up is not counted.
    std::fputs("import zipfile, sys, time\nbest = 1e9\nfor _ in range(3):\n"
               "    t = time.perf_counter()\n    z = zipfile.ZipFile(sys.argv[1])\n"
               "    for i in z.infolist(): z.read(i)\n    best = min(best, time.perf_counter() - t)\nprint(best)\n", f);
    std::fclose(f);

    TZipComponent zip;
    zip.SetDLLDirectory(VELLICOR_MODULE_DIR);
    zip.Unattended = true;
    zip.Load_Unz_Dll();
    if (!zip.UnzDllLoaded()) {
        std::fprintf(stderr, "libunzdll.so not found\n");
        return 1;
    }
    // unzip and zipinfo are whole processes: their start-up on a one-member archive is taken off.
    if (Shell("cd " + dir + " && echo x > one.txt && zip -q one.zip one.txt") != 0) return 1;
    const double unzipStart = Best([&] { return Shell("unzip -p " + dir + "/one.zip > /dev/null") == 0; });
    const double zipinfoStart = Best([&] { return Shell("zipinfo -1 " + dir + "/one.zip > /dev/null") == 0; });
    std::printf("process start-up taken off: unzip %.2f ms, zipinfo %.2f ms\n", unzipStart * 1e3, zipinfoStart * 1e3);
    std::printf("Extracting every page to memory (500 pages of 150 kB), best of 3:\n");
    for (const char* name : {"stored.cbz", "deflated.cbz"}) {
        std::string archive = dir + "/" + name;
        double mb = 0;
        int pages = 0;
        double ours = Best([&] {
            zip.SetZipFileName(archive);
            pages = zip.GetCount();
            mb = 0;
            for (int i = 0; i < pages; ++i) {
                TZipStream* s = zip.ExtractFileToStream(zip.ZipContents()[static_cast<size_t>(i)]->FileName);
                if (!s) return false;
                mb += static_cast<double>(s->Size()) / 1e6;
            }
            return true;
        });
        double unzip = Best([&] { return Shell("unzip -p " + archive + " > /dev/null") == 0; });
        double python = PythonSeconds("python3 " + pyRead + " " + archive);
        unzip = std::max(unzip - unzipStart, 1e-9);
        if (ours < 0) {
            std::fprintf(stderr, "extraction failed\n");
            return 1;
        }
        std::string label = std::string(name) + " vs unzip -p";
        Report(label.c_str(), pages, mb, ours, unzip, "unzip -p");
        label = std::string(name) + " vs Python zipfile";
        Report(label.c_str(), pages, mb, ours, python, "python zipfile");
    }
    std::printf("Listing a 10,000-member archive, best of 3:\n");
    std::string many = dir + "/many.zip";
    double ours = Best([&] {
        zip.SetZipFileName(many);
        return zip.GetCount() == 10000;
    });
    double zipinfo = std::max(Best([&] { return Shell("zipinfo -1 " + many + " > /dev/null") == 0; }) - zipinfoStart, 1e-9);
    std::printf("%-34s ours %7.3f s (%8.0f members/s) | zipinfo -1 %7.3f s | ratio %.2fx\n", "list many.zip", ours, 10000 / ours,
                zipinfo, ours / zipinfo);
    bench::PeerRow("zip listing, 10,000 members", ours * 1e3, "zipinfo -1 " + bench::PackageVersion("unzip") + ", start-up taken off",
                   zipinfo * 1e3);
    Shell("rm -rf " + dir);
    return 0;
}

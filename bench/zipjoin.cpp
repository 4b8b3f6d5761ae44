// Joining a 200 MB split set (zip -s 20m) into one archive: ours beside zip -s 0 --out,
// best of three runs each, in one run.
#include <sys/wait.h>
#include <unistd.h>

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

int Shell(const std::string& cmd) {
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

template <typename F>
double Best(F f) {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        auto t = Clock::now();
        if (!f()) return -1;
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t).count());
    }
    return best;
}

// The joiner is reached the way extraction reaches it.
struct Joiner : TZipComponent {
    int Join(const std::string& set, std::string& out) { return ReadSpan(set, out); }
};

}  // namespace

int main() {
    std::string dir = "/tmp/vellicor-bench-zipjoin-" + std::to_string(::getpid());
    // 200 pages of 1 MB of noise (like JPEG data), stored, split in 20 MB parts.
    if (Shell("mkdir -p " + dir + "/pages && cd " + dir + "/pages && for i in $(seq -w 1 200); do head -c 1000000 /dev/urandom > page$i.jpg; done"
              " && zip -q -0 -s 20m ../book.zip page*.jpg") != 0) {
        std::fprintf(stderr, "could not make the split set (zip missing?)\n");
        return 1;
    }
    Shell("rm -rf " + dir + "/pages");
    Joiner j;
    j.Unattended = true;
    double ours = Best([&] {
        std::string out = dir + "/ours.zip";
        return j.Join(dir + "/book.zip", out) == 0;
    });
    double peer = Best([&] { return Shell("cd " + dir + " && rm -f peer.zip && zip -q -s 0 book.zip --out peer.zip") == 0; });
    bool same = Shell("cd " + dir + " && cmp -s ours.zip peer.zip") == 0;
    bool tested = Shell("unzip -tqq " + dir + "/ours.zip >/dev/null 2>&1") == 0;
    double mb = static_cast<double>(FileSize(dir + "/ours.zip")) / 1e6;
    Shell("rm -rf " + dir);
    if (ours < 0 || peer < 0) {
        std::fprintf(stderr, "a join failed\n");
        return 1;
    }
    std::printf("join %.0f MB split set: ours %.3f s (%.0f MB/s), zip -s 0 %.3f s (%.0f MB/s); unzip -t %s; byte-identical %s\n", mb,
                ours, mb / ours, peer, mb / peer, tested ? "passes" : "FAILS", same ? "yes" : "no");
    bench::PeerRow("joining a " + std::to_string(int(mb)) + " MB split zip set", ours * 1e3,
                   "zip -s 0 " + bench::PackageVersion("zip"), peer * 1e3);
    return 0;
}

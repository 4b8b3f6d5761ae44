// Joining a 200 MB split set (zip -s 20m) into one archive: ours beside zip -s 0 --out,
// timed alternately (medians of five rounds), the outputs removed untimed between runs.
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

int Shell(const std::string& cmd) {
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
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
    // Written out before timing: the fresh set's write-back falls on neither side.
    Shell("cd " + dir + " && sync book.z* book.zip");
    Joiner j;
    j.Unattended = true;
    // Each side starts with no output, removed untimed: the old one's unwritten pages are
    // dropped for both alike (and never moved to the desktop's trash).
    j.HowToDelete = htdFinal;
    bool failed = false;
    auto [o, p] = bench::Interleaved(
        5,
        [&] {
            std::string out = dir + "/ours.zip";
            failed |= j.Join(dir + "/book.zip", out) != 0;
        },
        [&] { failed |= Shell("cd " + dir + " && zip -q -s 0 book.zip --out peer.zip") != 0; },
        [&] { Shell("rm -f " + dir + "/ours.zip " + dir + "/peer.zip"); });
    // Both outputs once more, for the comparison.
    failed |= Shell("cd " + dir + " && rm -f ours.zip peer.zip && zip -q -s 0 book.zip --out peer.zip") != 0;
    {
        std::string out = dir + "/ours.zip";
        failed |= j.Join(dir + "/book.zip", out) != 0;
    }
    const bench::Spread spread = bench::RatioSpread(o, p);
    const double ours = o.median / 1e3, peer = p.median / 1e3;
    bool same = Shell("cd " + dir + " && cmp -s ours.zip peer.zip") == 0;
    bool tested = Shell("unzip -tqq " + dir + "/ours.zip >/dev/null 2>&1") == 0;
    double mb = static_cast<double>(FileSize(dir + "/ours.zip")) / 1e6;
    Shell("rm -rf " + dir);
    if (failed) {
        std::fprintf(stderr, "a join failed\n");
        return 1;
    }
    std::printf("join %.0f MB split set: ours %.3f s (%.0f MB/s), zip -s 0 %.3f s (%.0f MB/s), medians; ratio per round "
                "%.2f-%.2fx; unzip -t %s; byte-identical %s\n",
                mb, ours, mb / ours, peer, mb / peer, spread.min, spread.max, tested ? "passes" : "FAILS", same ? "yes" : "no");
    bench::PeerRow("joining a " + std::to_string(int(mb)) + " MB split zip set", ours * 1e3,
                   "zip -s 0 " + bench::PackageVersion("zip"), peer * 1e3);
    return 0;
}

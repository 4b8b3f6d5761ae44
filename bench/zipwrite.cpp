// Zip writing speed beside Info-ZIP in one run: adding a 200-page folder of JPEG and PNG
// pages at level 6 (against zip -6 -r, with both archive sizes), and deleting one entry
// from a 200-entry archive (against zip -d).
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

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

// Best of three runs of f, each after prepare.
template <typename P, typename F>
double Best(P prepare, F f) {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        prepare();
        auto t = Clock::now();
        if (!f()) return -1;
        best = std::min(best, Seconds(t));
    }
    return best;
}

}  // namespace

int main() {
    std::string dir = "/tmp/vellicor-bench-zipwrite-" + std::to_string(::getpid());
    if (Shell("mkdir -p " + dir + "/book") != 0) return 1;
    // 200 scanned-looking pages: photographs of noise and gradients as JPEG, line art as PNG.
    std::string py = "import random\nfrom PIL import Image, ImageDraw\n"
                     "r = random.Random(1)\n"
                     "for i in range(200):\n"
                     "    im = Image.new('RGB', (900, 1300), (250, 248, 240))\n"
                     "    d = ImageDraw.Draw(im)\n"
                     "    for k in range(400):\n"
                     "        x, y = r.randrange(900), r.randrange(1300)\n"
                     "        d.line((x, y, x + r.randrange(-200, 200), y + r.randrange(-200, 200)), fill=(r.randrange(90), r.randrange(90), r.randrange(90)), width=r.randrange(1, 4))\n"
                     "    if i % 2: im.save('" + dir + "/book/page%03d.png' % i)\n"
                     "    else:\n"
                     "        im = im.effect_spread(2)\n"
                     "        im.save('" + dir + "/book/page%03d.jpg' % i, quality=85)\n";
    FILE* f = std::fopen((dir + "/make.py").c_str(), "w");
    if (!f) return 1;
    std::fputs(py.c_str(), f);
    std::fclose(f);
    if (Shell("/usr/bin/python3 " + dir + "/make.py") != 0) {
        std::fprintf(stderr, "python3 with Pillow is needed to draw the pages\n");
        return 1;
    }
    int64_t folder = 0;
    for (int i = 0; i < 200; ++i) {
        int64_t s = FileSize(dir + "/book/page" + (i < 10 ? "00" : i < 100 ? "0" : "") + std::to_string(i) + (i % 2 ? ".png" : ".jpg"));
        folder += s > 0 ? s : 0;
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
    std::string ours = dir + "/ours.zip", peer = dir + "/peer.zip";
    double tOurs = Best([&] { std::remove(ours.c_str()); },
                        [&] {
                            zip.SetZipFileName(ours);
                            zip.AddCompLevel = 6;
                            zip.AddOptions = {AddRecurseDirs, AddDirNames};
                            zip.SetRootDir(dir);
                            zip.FSpecArgs().Add("book");
                            zip.Add();
                            return zip.SuccessCnt() == 200;
                        });
    double tPeer = Best([&] { std::remove(peer.c_str()); },
                        [&] { return Shell("cd " + dir + " && zip -q -6 -r " + peer + " book") == 0; });
    if (tOurs < 0 || tPeer < 0) {
        std::fprintf(stderr, "adding failed\n");
        return 1;
    }
    double mb = static_cast<double>(folder) / 1e6;
    int64_t sOurs = FileSize(ours), sPeer = FileSize(peer);
    std::printf("Adding a 200-page folder (%.1f MB of JPEG and PNG) at level 6, best of 3:\n", mb);
    std::printf("  ours %7.3f s %7.1f MB/s %10lld bytes | zip -6 -r %7.3f s %7.1f MB/s %10lld bytes | size %+.2f%%\n", tOurs,
                mb / tOurs, static_cast<long long>(sOurs), tPeer, mb / tPeer, static_cast<long long>(sPeer),
                100.0 * (static_cast<double>(sOurs) - static_cast<double>(sPeer)) / static_cast<double>(sPeer));

    // Deleting one entry from the 200-entry archive, each from a fresh copy.
    std::string a = dir + "/del-ours.zip", b = dir + "/del-peer.zip";
    double dOurs = Best([&] { Shell("cp " + ours + " " + a); },
                        [&] {
                            zip.SetZipFileName(a);
                            zip.FSpecArgs().Add("book/page100.jpg");
                            zip.Delete();
                            return zip.SuccessCnt() == 1;
                        });
    double dPeer = Best([&] { Shell("cp " + ours + " " + b); },
                        [&] { return Shell("zip -q -d " + b + " book/page100.jpg") == 0; });
    std::printf("Deleting one entry of 200, best of 3:\n  ours %7.3f s | zip -d %7.3f s\n", dOurs, dPeer);
    zip.Unload_Zip_Dll();
    Shell("rm -rf " + dir);
    std::printf("add ratio %.2fx (zip time / ours), delete ratio %.2fx\n", tPeer / tOurs, dPeer / dOurs);
    return 0;
}

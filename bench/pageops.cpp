// Page operations against Pillow (python3-pil) and ImageMagick on the same decoded pages,
// single-threaded, in one run. Pages are made here and written as PPM files so that every
// side starts from the same pixels; each time is the best of several runs.
//
//   bench_pageops [runs]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "pages/PageOps.h"
#include "platform/Parallel.h"
#include "platform/Bitmap.h"

using namespace vellicor;
namespace fs = std::filesystem;

namespace {

int g_runs = 5;

void Set(TBitmap& b, int x, int y, int r, int g, int bl) {
    uint8_t* p = b.ScanLine(y) + 3 * x;
    p[0] = uint8_t(std::clamp(bl, 0, 255));
    p[1] = uint8_t(std::clamp(g, 0, 255));
    p[2] = uint8_t(std::clamp(r, 0, 255));
}

// A yellowed comic page: paper, panel frames, shaded artwork, balloons with lettering.
TBitmap ComicPage(int w, int h) {
    TBitmap b;
    b.SetSize(w, h, TPixelFormat::pf24bit);
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> n(-8, 8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) Set(b, x, y, 236 + n(rng) / 2, 224 + n(rng), 180 + n(rng));
    const int m = w / 20, gap = w / 40, pw = (w - 2 * m - gap) / 2, ph = (h - 2 * m - 2 * gap) / 3;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 2; ++col) {
            const int x0 = m + col * (pw + gap), y0 = m + row * (ph + gap);
            for (int y = y0; y < y0 + ph; ++y)
                for (int x = x0; x < x0 + pw; ++x) {
                    const bool frame = x < x0 + 4 || y < y0 + 4 || x >= x0 + pw - 4 || y >= y0 + ph - 4;
                    if (frame) {
                        Set(b, x, y, 12, 10, 14);
                        continue;
                    }
                    const int v = (x - x0) * 255 / pw, u = (y - y0) * 200 / ph;
                    const int shade = ((x / 7 + y / 5) % 9 == 0) ? -60 : 0;
                    Set(b, x, y, v + 30 + shade + n(rng), u + 40 + shade + n(rng), 255 - v + shade + n(rng));
                }
            const int bx = x0 + pw / 4, by = y0 + ph / 6, bw = pw / 2, bh = ph / 3;
            for (int y = by; y < by + bh; ++y)
                for (int x = bx; x < bx + bw; ++x) {
                    const double dx = (x - bx - bw / 2.0) / (bw / 2.0), dy = (y - by - bh / 2.0) / (bh / 2.0);
                    const double r2 = dx * dx + dy * dy;
                    if (r2 < 0.85) {
                        const bool letter = std::abs(dy) < 0.3 && (x / 6) % 3 != 0 && (y / 3) % 4 != 0;
                        if (letter) Set(b, x, y, 20, 20, 20);
                        else Set(b, x, y, 238 + n(rng) / 2, 228 + n(rng), 196 + n(rng));
                    } else if (r2 < 1.0) {
                        Set(b, x, y, 8, 8, 8);
                    }
                }
        }
    return b;
}

// An A4 page scanned at 300 dpi: off-white paper and lines of dark print.
TBitmap ScanPage(int w, int h) {
    TBitmap b;
    b.SetSize(w, h, TPixelFormat::pf24bit);
    std::mt19937 rng(2);
    std::uniform_int_distribution<int> n(-5, 5);
    for (int y = 0; y < h; ++y) {
        const bool line = y > 200 && y < h - 200 && (y % 50) < 30;
        for (int x = 0; x < w; ++x) {
            const bool ink = line && x > 240 && x < w - 240 && ((x * 7 + y * 3) % 23 < 9);
            if (ink) Set(b, x, y, 30 + n(rng), 30 + n(rng), 35 + n(rng));
            else Set(b, x, y, 246 + n(rng), 243 + n(rng), 232 + n(rng));
        }
    }
    return b;
}

void WritePpm(const TBitmap& b, const fs::path& file) {
    std::ofstream out(file, std::ios::binary);
    out << "P6\n" << b.Width() << " " << b.Height() << "\n255\n";
    std::vector<char> row(size_t(b.Width()) * 3);
    for (int y = 0; y < b.Height(); ++y) {
        const uint8_t* p = b.ScanLine(y);
        for (int x = 0; x < b.Width(); ++x) {
            row[size_t(3 * x)] = char(p[3 * x + 2]);
            row[size_t(3 * x + 1)] = char(p[3 * x + 1]);
            row[size_t(3 * x + 2)] = char(p[3 * x]);
        }
        out.write(row.data(), std::streamsize(row.size()));
    }
}

double Now() { return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Best time in ms of op on a fresh copy of page (the copy is not timed).
double TimeOurs(const TBitmap& page, const std::function<void(TBitmap&)>& op) {
    double best = 1e300;
    for (int i = 0; i < g_runs + 1; ++i) {  // the first run warms the buffers up
        TBitmap copy = page;
        const double t0 = Now();
        op(copy);
        const double t = Now() - t0;
        if (i > 0) best = std::min(best, t);
    }
    return best;
}

std::string Run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    return out;
}

bool HavePillow() { return Run("/usr/bin/python3 -c 'import PIL; print(1)' 2>/dev/null").find('1') != std::string::npos; }
bool HaveMagick() { return Run("command -v convert 2>/dev/null").find("convert") != std::string::npos; }

// Pillow: the image is loaded first; only the operation is timed, best of runs.
double TimePillow(const fs::path& file, const std::string& op) {
    const std::string script =
        "import time\n"
        "from PIL import Image\n"
        "im = Image.open('" + file.string() + "'); im.load()\n"
        "best = 1e300\n"
        "for i in range(" + std::to_string(g_runs + 1) + "):\n"
        "    t = time.perf_counter(); r = " + op + "; t = time.perf_counter() - t\n"
        "    if i: best = min(best, t)\n"
        "print(best * 1000)\n";
    const fs::path py = file.parent_path() / "op.py";
    std::ofstream(py) << script;
    const std::string out = Run("OMP_NUM_THREADS=1 /usr/bin/python3 " + py.string() + " 2>/dev/null");
    return out.empty() ? -1 : std::atof(out.c_str());
}

// ImageMagick, one thread: the time of read + resize less the time of the read alone.
double TimeMagick(const fs::path& file, int w, int h) {
    auto best = [&](const std::string& args) {
        double b = 1e300;
        for (int i = 0; i < g_runs; ++i) {
            const double t0 = Now();
            Run("MAGICK_THREAD_LIMIT=1 convert -limit thread 1 " + file.string() + " " + args + " null: 2>/dev/null");
            b = std::min(b, Now() - t0);
        }
        return b;
    };
    const double read = best("");
    const double resize = best("-filter Lanczos -resize " + std::to_string(w) + "x" + std::to_string(h) + "!");
    return std::max(0.0, resize - read);
}

double g_firstRatio = -1;  // ours / peer time of the first comparison, for the last line

std::string g_case;  // the operation Ratio compares

void Ratio(const char* name, double ours, double peer) {
    if (peer > 0 && g_firstRatio < 0) g_firstRatio = ours / peer;
    if (peer > 0)
        bench::PeerRow(g_case + ", one thread", ours, std::string(name) + " " +
                       bench::PackageVersion(std::string(name) == "Pillow" ? "python3-pil" : "imagemagick"), peer);
    if (peer < 0) std::printf("  %-12s   n/a\n", name);
    else std::printf("  %-12s %8.2f ms   %5.2fx %s\n", name, peer, peer / ours, peer >= ours ? "(we are faster)" : "(we are slower)");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) g_runs = std::max(1, std::atoi(argv[1]));
    const fs::path dir = fs::temp_directory_path() / ("vellicor-bench-pageops-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const bool pillow = HavePillow(), magick = HaveMagick();
    SetParallelThreads(1);  // like for like: the peers use one thread
    std::printf("Page operations, best of %d runs, one thread. Ratios are peer time / our time.\n", g_runs);
    if (!pillow) std::printf("(Pillow not found: /usr/bin/python3 with python3-pil)\n");
    if (!magick) std::printf("(ImageMagick not found: convert)\n");

    const TBitmap comic = ComicPage(1600, 2400);
    const TBitmap scan = ScanPage(2480, 3508);
    WritePpm(comic, dir / "comic.ppm");
    WritePpm(scan, dir / "scan.ppm");

    struct Case {
        const char* name;
        const TBitmap* page;
        const char* file;
        int w, h;
    };
    // Fitted to 1920 x 1080 by height, and enlarged by 1.5.
    const Case cases[] = {
        {"Lanczos comic 1600x2400 -> 720x1080 (fit 1920x1080)", &comic, "comic.ppm", 720, 1080},
        {"Lanczos A4 scan 2480x3508 -> 763x1080 (fit 1920x1080)", &scan, "scan.ppm", 763, 1080},
        {"Lanczos comic 1600x2400 -> 2400x3600 (enlarged 1.5)", &comic, "comic.ppm", 2400, 3600},
    };
    for (const Case& c : cases) {
        const double ours = TimeOurs(*c.page, [&](TBitmap& b) { LanczosStretch(b, c.w, c.h); });
        std::printf("\n%s\n  %-12s %8.2f ms\n", c.name, "ours", ours);
        g_case = c.name;
        if (pillow)
            Ratio("Pillow", ours, TimePillow(dir / c.file, "im.resize((" + std::to_string(c.w) + ", " + std::to_string(c.h) +
                                                               "), Image.LANCZOS)"));
        if (magick) Ratio("ImageMagick", ours, TimeMagick(dir / c.file, c.w, c.h));
    }

    struct Turn {
        const char* name;
        bool (*op)(TBitmap&);
        const char* pillowOp;
    };
    const Turn turns[] = {
        {"Quarter turn left, comic 1600x2400", RotateBitmapLeft, "im.transpose(Image.ROTATE_90)"},
        {"Quarter turn right, comic 1600x2400", RotateBitmapRight, "im.transpose(Image.ROTATE_270)"},
        {"Half turn, comic 1600x2400", InvertBitmap, "im.transpose(Image.ROTATE_180)"},
    };
    for (const Turn& t : turns) {
        const double ours = TimeOurs(comic, [&](TBitmap& b) { t.op(b); });
        std::printf("\n%s\n  %-12s %8.2f ms\n", t.name, "ours", ours);
        g_case = t.name;
        if (pillow) Ratio("Pillow", ours, TimePillow(dir / "comic.ppm", t.pillowOp));
    }

    std::printf("\nPoint operations and fills, comic 1600x2400 (%.2f MPixel)\n", 1600 * 2400 / 1e6);
    const double mp = 1600.0 * 2400.0 / 1e6;
    auto report = [&](const char* name, const std::function<void(TBitmap&)>& op) {
        const double ms = TimeOurs(comic, op);
        std::printf("  %-44s %8.2f ms  %8.1f MPixel/s\n", name, ms, mp / (ms / 1000));
    };
    report("Balance (5 per 1000)", [](TBitmap& b) { int32_t f; Balance(b, 5, f); });
    report("GammaCorrect (2.20)", [](TBitmap& b) { int32_t g; GammaCorrect(b, 220, g); });
    report("ReduceYellowing (defaults)", [](TBitmap& b) { bool r; ReduceYellowing(b, 235, 220, 127, 10, 20, r); });
    report("BitmapIsWhite", [](TBitmap& b) { (void)BitmapIsWhite(b); });
    report("ReduceYellowingByFilling (edge)", [](TBitmap& b) { bool a; ReduceYellowingByFilling(b, false, 200, 150, 120, 255, 240, 230, a); });
    report("ReduceYellowingByFilling (edge + internal)", [](TBitmap& b) { bool a; ReduceYellowingByFilling(b, true, 200, 150, 120, 255, 240, 230, a); });
    report("DetermineBackground", [](TBitmap& b) { (void)DetermineBackground(b, 0); });

    SetParallelThreads(0);
    std::printf("\nWith every core (as the reader runs them)\n");
    report("Lanczos comic 1600x2400 -> 720x1080", [](TBitmap& b) { LanczosStretch(b, 720, 1080); });
    report("Balance (5 per 1000)", [](TBitmap& b) { int32_t f; Balance(b, 5, f); });
    report("ReduceYellowing (defaults)", [](TBitmap& b) { bool r; ReduceYellowing(b, 235, 220, 127, 10, 20, r); });

    std::error_code ec;
    fs::remove_all(dir, ec);
    if (g_firstRatio > 0) std::printf("ratio ours/Pillow, Lanczos comic fit, one thread: %.2fx\n", g_firstRatio);
    else std::printf("ratio: n/a (no peer)\n");
    return 0;
}

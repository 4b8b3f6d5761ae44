#pragma once
// Helpers shared by the page benchmarks: interleaved timing and a generated comic page.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>
#include <time.h>
#include <unistd.h>

namespace bench {

using Clock = std::chrono::steady_clock;

struct Timing {
    double median = 0;
    double best = 0;
    std::vector<double> rounds;  // each run's time, in the order run
};

// Two ways of doing the same work, timed alternately so that load from elsewhere on the
// machine falls on both alike; milliseconds, after one warm-up each. prepare, when given, runs
// untimed before every call of either side (a fresh input for work that consumes its own).
inline std::pair<Timing, Timing> Interleaved(int runs, const std::function<void()>& a, const std::function<void()>& b,
                                             const std::function<void()>& prepare = nullptr) {
    auto timed = [&](const std::function<void()>& f) {
        if (prepare) prepare();
        auto s = Clock::now();
        f();
        return std::chrono::duration<double, std::milli>(Clock::now() - s).count();
    };
    timed(a);
    timed(b);
    std::vector<double> ta, tb;
    for (int i = 0; i < runs; ++i) {
        ta.push_back(timed(a));
        tb.push_back(timed(b));
    }
    std::vector<double> ra = ta, rb = tb;
    std::sort(ta.begin(), ta.end());
    std::sort(tb.begin(), tb.end());
    return {{ta[ta.size() / 2], ta[0], std::move(ra)}, {tb[tb.size() / 2], tb[0], std::move(rb)}};
}

// The spread of a ratio a / b over the rounds of an interleaved run, each round's two runs
// taken together: a machine busy elsewhere for a moment moves one round, not the median.
struct Spread {
    double min = 0, median = 0, max = 0;
};
inline Spread RatioSpread(const Timing& a, const Timing& b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.rounds.size() && i < b.rounds.size(); ++i)
        if (b.rounds[i] > 0) r.push_back(a.rounds[i] / b.rounds[i]);
    if (r.empty()) return {};
    std::sort(r.begin(), r.end());
    return {r.front(), r[r.size() / 2], r.back()};
}

// Best time in seconds of runs of f.
template <typename F>
double Best(int runs, F&& f) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        auto s = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - s).count());
    }
    return best;
}

// Median time in milliseconds of runs of f, after one warm-up.
inline double MedianMs(int runs, const std::function<void()>& f) {
    f();
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        auto s = Clock::now();
        f();
        t.push_back(std::chrono::duration<double, std::milli>(Clock::now() - s).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// Median processor time of the calling thread in milliseconds, after one warm-up: for work
// on one thread, what other load on the machine changes least.
inline double MedianCpuMs(int runs, const std::function<void()>& f) {
    auto now = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
    };
    f();
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const double s = now();
        f();
        t.push_back(now() - s);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// A comic-like page: paper tone, panels with black borders, grey shading, "text" strokes.
inline uint8_t PageSample(int x, int y, int c, int w, int h) {
    int px = x * 3 / w, py = y * 4 / h;
    int lx = x - px * w / 3, ly = y - py * h / 4;
    int border = std::max(2, w / 400);
    if (lx < border || ly < border) return 20;
    if (((x * 7 + y * 3) / 5 + (x ^ y) / 9) % 41 == 0 && ly % 40 < 24) return 30;  // text strokes
    int shade = 235 - ((lx / 8 + ly / 8) % 32) * (py + 1);
    int tint[3] = {0, 6, 18};  // blue, green, red difference of yellowed paper (RGB order below)
    return static_cast<uint8_t>(std::clamp(shade - tint[2 - c], 0, 255));
}

// The page with its paper (and everything on it) tinted: each sample times tint / 255. With
// a grain seed, the grain of a scanner is added: deflate then finds little to take out of the
// JPEG data (a few percent), as with real scans.
inline std::string MakeTintedPage(int w, int h, int red, int green, int blue, uint32_t grainSeed = 0) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(w);
    c.image_height = static_cast<JDIMENSION>(h);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 88, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(static_cast<size_t>(w) * 3);
    const int tint[3] = {red, green, blue};
    uint32_t seed = grainSeed;
    while (c.next_scanline < c.image_height) {
        int y = static_cast<int>(c.next_scanline);
        for (int x = 0; x < w; ++x) {
            int grain = 0;
            if (grainSeed) {
                seed = seed * 1664525u + 1013904223u;
                grain = static_cast<int>(seed >> 28) - 8;
            }
            for (int k = 0; k < 3; ++k)
                row[static_cast<size_t>(x) * 3 + k] =
                    static_cast<uint8_t>(std::clamp(PageSample(x, y, k, w, h) * tint[k] / 255 + grain, 0, 255));
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    std::string bytes(reinterpret_cast<char*>(out), size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return bytes;
}

inline std::string MakePage(int w, int h, uint32_t grainSeed = 0) { return MakeTintedPage(w, h, 255, 255, 255, grainSeed); }

// libjpeg itself: memory source, the given scale, blue-green-red rows into one buffer.
inline void DecodeDirect(const std::string& jpeg, int denom, std::vector<uint8_t>& buffer) {
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_EXT_BGR;
    d.scale_num = 1;
    d.scale_denom = static_cast<unsigned>(denom);
    jpeg_start_decompress(&d);
    size_t stride = (static_cast<size_t>(d.output_width) * 3 + 3) & ~size_t(3);
    buffer.resize(stride * d.output_height);
    while (d.output_scanline < d.output_height) {
        JSAMPROW rows[16];
        unsigned n = std::min(16u, d.output_height - d.output_scanline);
        for (unsigned i = 0; i < n; ++i) rows[i] = buffer.data() + stride * (d.output_scanline + i);
        jpeg_read_scanlines(&d, rows, n);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
}

// One row of bench/run's table, on a line of its own starting "ROW\t": what was timed, our
// time, the peer (named, with its version) and its time, and ours / peer. A peer row compares
// us with another program or library; an own row compares two ways of our own code and is kept
// apart in the table.
inline void PrintRow(bool peer, const std::string& measure, double ours, const std::string& other, double theirs,
                     const char* unit = "ms") {
    std::printf("ROW\t%s\t%s\t%.2f %s\t%s\t%.2f %s\t%.2fx\n", peer ? "peer" : "own", measure.c_str(), ours, unit,
                other.c_str(), theirs, unit, theirs > 0 ? ours / theirs : 0.0);
    std::fflush(stdout);
}
inline void PeerRow(const std::string& measure, double ours, const std::string& peer, double theirs,
                    const char* unit = "ms") {
    PrintRow(true, measure, ours, peer, theirs, unit);
}
inline void OwnRow(const std::string& measure, double ours, const std::string& other, double theirs,
                   const char* unit = "ms") {
    PrintRow(false, measure, ours, other, theirs, unit);
}

// The installed version of a Debian package, for naming a peer ("" when not installed).
inline std::string PackageVersion(const std::string& package) {
    std::string cmd = "dpkg-query -W -f='${Version}' " + package + " 2>/dev/null";
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[128];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    return out;
}

inline std::string TempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/vellicor-bench-" + std::to_string(getpid()) + "-" + name;
}

}  // namespace bench

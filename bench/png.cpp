// PNG page decoding against libpng 1.6 (loaded at run time, same zlib): 1600x2400 pages,
// RGB, palette and interlaced RGB, read and turned into 24-bit pages by both.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "../tests/codecs/png/LibpngOracle.h"
#include "codecs/png/Pngimage.h"
#include "platform/Streams.h"

#include "BenchSupport.h"

using namespace vellicor;

namespace {

// Median milliseconds of each, timed alternately.
std::pair<double, double> Interleaved(int runs, const std::function<void()>& a, const std::function<void()>& b) {
    auto [ta, tb] = bench::Interleaved(runs, a, b);
    return {ta.median, tb.median};
}

// A comic-like page: paper with a gradient, panel borders, shading, strokes and noise.
void PageColour(int x, int y, int w, int h, uint8_t& r, uint8_t& g, uint8_t& b) {
    int px = x * 3 / w, py = y * 4 / h;
    int lx = x - px * w / 3, ly = y - py * h / 4;
    if (lx < 4 || ly < 4) {
        r = g = b = 16;
        return;
    }
    int shade = 230 - ((lx / 6 + ly / 9) % 40) * (py + 1) / 2 - (((x * 2654435761u) ^ (y * 40503u)) >> 29);
    if (((x * 7 + y * 3) / 5 + (x ^ y) / 9) % 37 == 0) shade = 30;
    r = uint8_t(std::clamp(shade + 10 * px, 0, 255));
    g = uint8_t(std::clamp(shade - 4 + 5 * py, 0, 255));
    b = uint8_t(std::clamp(shade - 18 + lx % 7, 0, 255));
}

std::string MakePng(int w, int h, bool palette, bool interlaced, TFilters filters) {
    TBitmap bmp;
    bmp.SetSize(w, h, palette ? TPixelFormat::pf8bit : TPixelFormat::pf24bit);
    if (palette)
        for (int i = 0; i < 256; ++i) bmp.Palette()[i] = TRGBQuad{uint8_t(i), uint8_t(255 - i / 2), uint8_t(i * 7), 0};
    for (int y = 0; y < h; ++y) {
        uint8_t* row = bmp.ScanLine(y);
        for (int x = 0; x < w; ++x) {
            uint8_t r, g, b;
            PageColour(x, y, w, h, r, g, b);
            if (palette) row[x] = uint8_t((r / 32) * 32 + (g / 32) * 4 + b / 64);
            else {
                row[3 * x] = b;
                row[3 * x + 1] = g;
                row[3 * x + 2] = r;
            }
        }
    }
    TPNGObject png;
    png.Assign(bmp);
    png.InterlaceMethod = interlaced ? imAdam7 : imNone;
    png.Filters = filters;
    png.CompressionLevel = 6;
    TMemoryStream out;
    png.SaveToStream(out);
    return std::string(reinterpret_cast<const char*>(out.Memory()), size_t(out.Size()));
}

}  // namespace

int main() {
    test::Libpng& lib = test::Libpng::Get();
    if (!lib.Available()) {
        std::printf("libpng16.so.16 not found: nothing to compare with\n");
        return 0;
    }
    const int w = 1600, h = 2400;
    const TFilters all = FilterSet(pfNone) | FilterSet(pfSub) | FilterSet(pfUp) | FilterSet(pfAverage) | FilterSet(pfPaeth);
    struct Case {
        const char* name;
        std::string file;
    };
    std::vector<Case> cases = {
        {"RGB, adaptive filters", MakePng(w, h, false, false, all)},
        {"RGB, Paeth", MakePng(w, h, false, false, FilterSet(pfPaeth))},
        {"palette", MakePng(w, h, true, false, all)},
        {"RGB interlaced", MakePng(w, h, false, true, all)},
    };
    double logSum = 0;
    std::printf("%-24s %10s %10s %8s %7s\n", "1600x2400 page", "ours ms", "libpng ms", "ratio", "KiB");
    for (const Case& c : cases) {
        TBitmap page;
        test::LibpngImage ref;
        auto ours = [&] {
            TByteViewStream s(c.file.data(), int64_t(c.file.size()));
            TPNGObject png;
            png.LoadFromStream(s);
            page.SetSize(png.GetWidth(), png.GetHeight(), TPixelFormat::pf24bit);
            png.Draw(page, 0, 0, png.GetWidth(), png.GetHeight());
        };
        // Each side makes a new page each time, as a page decoder must.
        auto theirs = [&] {
            ref = test::LibpngImage{};
            lib.Decode(c.file, ref, true);
        };
        auto [a, b] = Interleaved(15, ours, theirs);
        // Both must have decoded the same page.
        bool same = ref.bgr.size() == size_t(w) * h * 3;
        for (int y = 0; same && y < h; ++y) same = std::equal(page.ScanLine(y), page.ScanLine(y) + w * 3, ref.bgr.data() + size_t(y) * w * 3);
        std::printf("%-24s %10.2f %10.2f %8.3f %7zu%s\n", c.name, a, b, a / b, c.file.size() / 1024, same ? "" : "  PIXELS DIFFER");
        logSum += std::log(a / b);
    }
    std::printf("PNG decode time ratio ours/libpng (geometric mean): %.3f\n", std::exp(logSum / double(cases.size())));
    return 0;
}

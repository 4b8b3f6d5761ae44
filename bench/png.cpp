// PNG pages against libpng 1.6 (loaded at run time, same zlib): 1600x2400 photo-like pages
// with text, one file per colour type and an interlaced one, written the way common encoders
// write them. Both sides decode into a 24-bit page the same allocator hands out, runs
// alternate, and transparency is composed over white by both, as a page shows it. Every
// case runs twice: with fresh memory from the system for each decode on both sides (first-
// touch faults included, as a reader moving through pages of many sizes mostly gets), and
// with the memory of the previous decode reused on both sides (a book of pages of one size).
// The page path rows time the whole page load the reader does (decode onto the page,
// conversion to a 24-bit page).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <malloc.h>
#include <zlib.h>

#include "../tests/codecs/png/LibpngOracle.h"
#include "codecs/png/PngPage.h"
#include "codecs/png/Pngimage.h"
#include "pages/PageBMP.h"
#include "platform/Streams.h"

#include "BenchSupport.h"

using namespace vellicor;

namespace {

constexpr int kWidth = 1600, kHeight = 2400;

uint32_t Hash(uint32_t x, uint32_t y) {
    uint32_t h = x * 374761393u + y * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

// A photograph-like page with text: smooth shapes and gradients with sensor-like noise, and
// caption boxes of black glyphs on white paper. Red, green, blue, alpha.
void PagePixel(int x, int y, uint8_t out[4]) {
    const int band = y % 600, cx = x - 60, cy = band - 40;
    if (cy >= 0 && cy < 120 && cx >= 0 && x < kWidth / 2) {
        // Glyph cells of 12 by 20 pixels: a 4 by 4 grid of 2 by 3 pixel strokes each.
        const int gx = cx % 12 - 2, gy = cy % 20 - 3;
        const uint32_t glyph = Hash(uint32_t(cx / 12), uint32_t(cy / 20 + y / 600 * 7));
        const bool ink = gx >= 0 && gx < 8 && gy >= 0 && gy < 12 && ((glyph >> (gx / 2 + 4 * (gy / 3))) & 1);
        out[0] = out[1] = out[2] = ink ? 24 : 248;
        out[3] = 255;
        return;
    }
    const double fx = double(x) / kWidth, fy = double(y) / kHeight;
    const int noise = int(Hash(uint32_t(x), uint32_t(y)) % 9) - 4;
    const double r = 128 + 80 * std::sin(fx * 7 + fy * 3) + 40 * std::cos(fy * 11 - fx * 2);
    const double g = 120 + 70 * std::sin(fx * 5 - fy * 9 + 1) + 35 * std::cos(fx * 13 + fy * 2);
    const double b = 110 + 60 * std::cos(fx * 3 + fy * 6 + 2) + 50 * std::sin((fx - fy) * 9);
    out[0] = uint8_t(std::clamp(int(r) + noise, 0, 255));
    out[1] = uint8_t(std::clamp(int(g) + noise, 0, 255));
    out[2] = uint8_t(std::clamp(int(b) + noise, 0, 255));
    // Opaque but for a soft edge and one half-transparent panel.
    const int edge = std::min(std::min(x, kWidth - 1 - x), std::min(y, kHeight - 1 - y));
    out[3] = y >= 1000 && y < 1400 && x >= 800 ? 160 : uint8_t(std::min(255, edge * 4));
}

void PutBE32(std::string& s, uint32_t v) {
    for (int i = 3; i >= 0; --i) s += char(v >> (8 * i));
}

void Chunk(std::string& file, const char* name, const std::string& data) {
    PutBE32(file, uint32_t(data.size()));
    const std::string body = name + data;
    file += body;
    PutBE32(file, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()))));
}

uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return uint8_t(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Appends the row filtered with the filter of smallest sum of absolute differences, as
// common encoders choose.
void AppendFiltered(std::string& raw, const uint8_t* cur, const uint8_t* prev, size_t n, size_t bpp) {
    std::vector<uint8_t> best(n), trial(n);
    long bestSum = -1;
    uint8_t bestFilter = 0;
    for (uint8_t f = 0; f < 5; ++f) {
        long sum = 0;
        for (size_t i = 0; i < n; ++i) {
            const int a = i >= bpp ? cur[i - bpp] : 0, b = prev[i], c = i >= bpp ? prev[i - bpp] : 0;
            const int pred = f == 1 ? a : f == 2 ? b : f == 3 ? (a + b) / 2 : f == 4 ? Paeth(a, b, c) : 0;
            trial[i] = uint8_t(cur[i] - pred);
            sum += std::abs(int(int8_t(trial[i])));
        }
        if (bestSum < 0 || sum < bestSum) bestSum = sum, bestFilter = f, best.swap(trial);
    }
    raw += char(bestFilter);
    raw.append(reinterpret_cast<const char*>(best.data()), n);
}

// A PNG file of the page in the colour type, plain or Adam7, filters chosen per row, deflate
// level 6, image data in 64 KiB chunks.
std::string MakePng(uint8_t colorType, bool interlaced) {
    const int channels = colorType == COLOR_RGB ? 3 : colorType == COLOR_RGBALPHA ? 4 : colorType == COLOR_GRAYSCALEALPHA ? 2 : 1;
    const size_t rowBytes = size_t(kWidth) * channels, bpp = size_t(channels);
    std::string raw, plte;
    if (colorType == COLOR_PALETTE) {
        // A 6 x 7 x 6 colour cube, dithered: a photograph turned into a palette image.
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 7; ++g)
                for (int b = 0; b < 6; ++b) plte += {char(r * 51), char(g * 255 / 6), char(b * 51)};
    }
    std::vector<uint8_t> samples(rowBytes * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            uint8_t p[4];
            PagePixel(x, y, p);
            uint8_t* d = samples.data() + size_t(y) * rowBytes + size_t(x) * channels;
            const int grey = (p[0] * 77 + p[1] * 150 + p[2] * 29) >> 8;
            switch (colorType) {
                case COLOR_GRAYSCALE: d[0] = uint8_t(grey); break;
                case COLOR_GRAYSCALEALPHA: d[0] = uint8_t(grey), d[1] = p[3]; break;
                case COLOR_RGB: std::copy(p, p + 3, d); break;
                case COLOR_RGBALPHA: std::copy(p, p + 4, d); break;
                case COLOR_PALETTE: {
                    const int t = int(Hash(uint32_t(y), uint32_t(x)) % 16);  // dithered with noise
                    auto level = [&](int v, int steps) { return std::min(steps, (v * steps + t * 16) / 255); };
                    d[0] = uint8_t(level(p[0], 5) * 42 + level(p[1], 6) * 6 + level(p[2], 5));
                    break;
                }
                default: break;
            }
        }
    const std::vector<uint8_t> zero(rowBytes, 0);
    if (!interlaced) {
        for (int y = 0; y < kHeight; ++y)
            AppendFiltered(raw, samples.data() + size_t(y) * rowBytes,
                           y ? samples.data() + size_t(y - 1) * rowBytes : zero.data(), rowBytes, bpp);
    } else {
        static const int startRow[7] = {0, 0, 4, 0, 2, 0, 1}, startCol[7] = {0, 4, 0, 2, 0, 1, 0};
        static const int rowStep[7] = {8, 8, 8, 4, 4, 2, 2}, colStep[7] = {8, 8, 4, 4, 2, 2, 1};
        std::vector<uint8_t> cur(rowBytes), prev(rowBytes);
        for (int pass = 0; pass < 7; ++pass) {
            const size_t n = size_t((kWidth - startCol[pass] + colStep[pass] - 1) / colStep[pass]) * bpp;
            std::fill(prev.begin(), prev.end(), 0);
            for (int y = startRow[pass]; y < kHeight; y += rowStep[pass]) {
                for (int x = startCol[pass], k = 0; x < kWidth; x += colStep[pass], ++k)
                    std::copy_n(samples.data() + size_t(y) * rowBytes + size_t(x) * bpp, bpp, cur.data() + size_t(k) * bpp);
                AppendFiltered(raw, cur.data(), prev.data(), n, bpp);
                prev.swap(cur);
            }
        }
    }
    uLongf size = compressBound(uLong(raw.size()));
    std::string packed(size, '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()), 6);
    packed.resize(size);
    std::string file = "\x89PNG\r\n\x1a\n", ihdr;
    PutBE32(ihdr, kWidth);
    PutBE32(ihdr, kHeight);
    ihdr += {char(8), char(colorType), 0, 0, char(interlaced ? 1 : 0)};
    Chunk(file, "IHDR", ihdr);
    if (!plte.empty()) Chunk(file, "PLTE", plte);
    for (size_t at = 0; at < packed.size(); at += 65536) Chunk(file, "IDAT", packed.substr(at, 65536));
    Chunk(file, "IEND", "");
    return file;
}

// Largest difference of one channel between our page and libpng's.
int MaxDifference(const TBitmap& page, const TBitmap& ref) {
    if (page.Width() != ref.Width() || page.Height() != ref.Height() || page.Width() != kWidth ||
        page.Height() != kHeight)
        return 256;
    int worst = 0;
    for (int y = 0; y < kHeight; ++y) {
        const uint8_t* a = page.ScanLine(y);
        const uint8_t* b = ref.ScanLine(y);
        for (int i = 0; i < kWidth * 3; ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    }
    return worst;
}

// libpng into a 24-bit page of the reader's allocator, as ours decodes.
bool LibpngPage(test::Libpng& lib, const std::string& file, bool alpha, TBitmap& page) {
    return lib.DecodeInto(
        file,
        [&](int w, int h, size_t& stride) -> uint8_t* {
            if (!page.SetSizeForOverwrite(w, h, TPixelFormat::pf24bit)) return nullptr;
            stride = size_t(page.ScanLine(1) - page.ScanLine(0));
            return page.ScanLine(0);
        },
        true, alpha);
}

}  // namespace

int main() {
    // A page-sized allocation the pixel pool does not hand back is new memory from the
    // system (the allocator would otherwise keep a warm block for it).
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    test::Libpng& lib = test::Libpng::Get();
    if (!lib.Available()) {
        std::printf("libpng16.so.16 not found: nothing to compare with\n");
        return 0;
    }
    std::string version = bench::PackageVersion("libpng16-16t64");
    if (version.empty()) version = bench::PackageVersion("libpng16-16");
    const std::string peer = "libpng " + (version.empty() ? std::string("1.6") : version);
    struct Case {
        const char* name;
        uint8_t colorType;
        bool interlaced;
        bool pagePath;  // a row for the whole page load too
    };
    const Case cases[] = {
        {"grey", COLOR_GRAYSCALE, false, false},
        {"RGB", COLOR_RGB, false, true},
        {"palette", COLOR_PALETTE, false, true},
        {"grey+alpha", COLOR_GRAYSCALEALPHA, false, false},
        {"RGBA", COLOR_RGBALPHA, false, true},
        {"interlaced RGB", COLOR_RGB, true, false},
    };
    constexpr int kRuns = 15;
    for (const bool fresh : {true, false}) {
        const std::string regime = fresh ? ", fresh memory both sides" : ", reused memory both sides";
        for (const Case& c : cases) {
            const std::string file = MakePng(c.colorType, c.interlaced);
            const bool alpha = c.colorType == COLOR_RGBALPHA || c.colorType == COLOR_GRAYSCALEALPHA;
            // Each side keeps its last page, as a reader keeps the page it shows; the one
            // before goes back to the pool when the next is kept.
            TBitmap ourKept, theirKept;
            auto theirs = [&] {
                TBitmap page;
                LibpngPage(lib, file, alpha, page);
                theirKept = std::move(page);
            };
            auto ours = [&] {
                TBitmap page;
                TByteViewStream s(file.data(), int64_t(file.size()));
                DecodePngPage(s, page);
                ourKept = std::move(page);
            };
            // Fresh: the kept pages and everything pooled go back to the system, untimed.
            std::function<void()> prepare;
            if (fresh)
                prepare = [&] {
                    ourKept.Clear();
                    theirKept.Clear();
                    ReleasePixelPool();
                };
            auto [a, b] = bench::Interleaved(kRuns, ours, theirs, prepare);
            ours();
            theirs();
            const int diff = MaxDifference(ourKept, theirKept);
            if (fresh)
                std::printf("%s: %zu KiB, pages differ by at most %d per channel%s\n", c.name, file.size() / 1024,
                            diff, alpha ? " (the blend over white rounds differently)" : "");
            auto spread = [&](const char* what, const bench::Timing& x, const bench::Timing& y) {
                const bench::Spread r = bench::RatioSpread(x, y);
                std::printf("%s, %s%s: ours / libpng over %d rounds: min %.2f, median %.2f, max %.2f\n", what, c.name,
                            regime.c_str(), kRuns, r.min, r.median, r.max);
            };
            spread("decode", a, b);
            bench::PeerRow(std::string("PNG decode, ") + c.name + " page 1600x2400" + regime, a.median, peer,
                           b.median);
            if (!c.pagePath) continue;
            auto page = [&] {
                TPageBMP p("page.png");
                TByteViewStream s(file.data(), int64_t(file.size()));
                p.LoadFromStream(&s);
                if (p.LoadError) std::printf("page path failed\n");
            };
            auto [pa, pb] = bench::Interleaved(kRuns, page, theirs, prepare);
            spread("page path", pa, pb);
            bench::PeerRow(std::string("PNG page path (decode + page), ") + c.name + " 1600x2400" + regime, pa.median,
                           peer, pb.median);
        }
    }
    return 0;
}

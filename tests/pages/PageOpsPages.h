#pragma once
// Synthetic pages for the page operation tests and benchmarks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

#include "platform/Bitmap.h"

namespace vellicor::test {

inline void SetPixel(TBitmap& b, int x, int y, uint8_t r, uint8_t g, uint8_t bl) {
    uint8_t* p = b.ScanLine(y) + 3 * x;
    p[0] = bl;
    p[1] = g;
    p[2] = r;
}

inline TBitmap SolidPage(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    TBitmap bmp;
    bmp.SetSize(w, h, TPixelFormat::pf24bit);
    bmp.Fill(RGBColor(r, g, b));
    return bmp;
}

inline TBitmap NoisePage(int w, int h, uint32_t seed, int lo = 0, int hi = 255) {
    TBitmap bmp;
    bmp.SetSize(w, h, TPixelFormat::pf24bit);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(lo, hi);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * 3; ++x) bmp.ScanLine(y)[x] = uint8_t(d(rng));
    return bmp;
}

// A yellowed comic page: noisy old paper, black panel frames, drawn shading inside the
// panels, and speech balloons (paper patches ringed by ink), some ringed softly.
inline TBitmap ComicPage(int w, int h, uint32_t seed) {
    TBitmap bmp;
    bmp.SetSize(w, h, TPixelFormat::pf24bit);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> n(-6, 6);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            SetPixel(bmp, x, y, uint8_t(236 + n(rng) / 2), uint8_t(224 + n(rng)), uint8_t(180 + n(rng)));
    auto rect = [&](int x0, int y0, int x1, int y1, uint8_t r, uint8_t g, uint8_t b) {
        for (int y = std::max(0, y0); y < std::min(h, y1); ++y)
            for (int x = std::max(0, x0); x < std::min(w, x1); ++x) SetPixel(bmp, x, y, r, g, b);
    };
    const int m = std::max(2, w / 20), gap = std::max(2, w / 40);
    const int cols = 2, rows = 3;
    const int pw = (w - 2 * m - (cols - 1) * gap) / cols, ph = (h - 2 * m - (rows - 1) * gap) / rows;
    std::uniform_int_distribution<int> unit(0, 1000);
    for (int row = 0; row < rows; ++row)
        for (int col = 0; col < cols; ++col) {
            int x0 = m + col * (pw + gap), y0 = m + row * (ph + gap);
            rect(x0, y0, x0 + pw, y0 + ph, 10, 10, 12);  // frame
            // Artwork: gradients with highlights that fade through near-paper tones.
            for (int y = y0 + 2; y < y0 + ph - 2; ++y)
                for (int x = x0 + 2; x < x0 + pw - 2; ++x) {
                    int v = (x - x0) * 255 / std::max(1, pw) + n(rng);
                    int u = (y - y0) * 200 / std::max(1, ph);
                    SetPixel(bmp, x, y, uint8_t(std::clamp(v + 30, 0, 255)), uint8_t(std::clamp(u + 40, 0, 255)),
                             uint8_t(std::clamp(255 - v, 0, 255)));
                }
            // A balloon ringed with ink (or softly, one time in three).
            const bool soft = unit(rng) < 333;
            int bx = x0 + pw / 4, by = y0 + ph / 5, bw = std::max(4, pw / 2), bh = std::max(4, ph / 3);
            for (int y = by; y < by + bh && y < h; ++y)
                for (int x = bx; x < bx + bw && x < w; ++x) {
                    double dx = (x - bx - bw / 2.0) / (bw / 2.0), dy = (y - by - bh / 2.0) / (bh / 2.0);
                    double r2 = dx * dx + dy * dy;
                    if (r2 < 0.75) SetPixel(bmp, x, y, uint8_t(240 + n(rng) / 3), uint8_t(230 + n(rng)), uint8_t(200 + n(rng)));
                    else if (r2 < 1.0) {
                        if (soft) SetPixel(bmp, x, y, 190, 140, 110);
                        else SetPixel(bmp, x, y, 5, 5, 5);
                    }
                }
            // Text in the balloon.
            for (int t = 0; t < 6; ++t) rect(bx + bw / 4 + t * bw / 12, by + bh / 2 - 1, bx + bw / 4 + t * bw / 12 + 2, by + bh / 2 + 2, 0, 0, 0);
        }
    return bmp;
}

// Pixel bytes equal (row padding ignored); reports the first difference.
inline ::testing::AssertionResult SameBytes(const TBitmap& a, const TBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height())
        return ::testing::AssertionFailure() << "size " << a.Width() << "x" << a.Height() << " vs " << b.Width()
                                             << "x" << b.Height();
    if (a.PixelFormat() != b.PixelFormat()) return ::testing::AssertionFailure() << "pixel format differs";
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width() * 3; ++x)
            if (a.ScanLine(y)[x] != b.ScanLine(y)[x])
                return ::testing::AssertionFailure()
                       << "byte " << x % 3 << " of pixel (" << x / 3 << ", " << y << "): " << int(a.ScanLine(y)[x])
                       << " vs " << int(b.ScanLine(y)[x]);
    return ::testing::AssertionSuccess();
}

inline uint32_t PixelAt(const TBitmap& b, int x, int y) { return b.Pixel(x, y); }

}  // namespace vellicor::test

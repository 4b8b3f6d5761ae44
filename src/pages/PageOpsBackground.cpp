// Background colour from the page margins: small blocks near the corners or edges,
// averaged over the pixels that agree, and the colour most of the blocks agree on.
#include <algorithm>
#include <cstdlib>

#include "pages/PageOps.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

constexpr TColor kLightGrey = 0xC0C0C0;

bool FixedColour(int mode, TColor& colour) {
    switch (mode) {
        case 1: colour = 0x000000; return true;
        case 2: colour = 0xFFFFFF; return true;
        case 3: colour = kLightGrey; return true;
        case 4: colour = clBackground; return true;
        default: return false;
    }
}

bool SizeAtLeast(const TBitmap& bmp, int n) {
    return bmp.PixelFormat() == TPixelFormat::pf24bit && bmp.Width() >= n && bmp.Height() >= n;
}

bool Agree(int r1, int g1, int b1, int r2, int g2, int b2) {
    return std::abs(r1 - r2) < 32 && std::abs(g1 - g2) < 32 && std::abs(b1 - b2) < 32;
}

// The four samples at (xs[i], ys[i]) averaged block by block, then the agreeing colour.
TColor Sampled(const TBitmap& bmp, const int (&xs)[4], const int (&ys)[4]) {
    int reds[4], greens[4], blues[4];
    for (int i = 0; i < 4; ++i) AverageBlock(bmp, xs[i], ys[i], reds[i], greens[i], blues[i]);
    return CommonestAverage(reds, greens, blues);
}

}  // namespace

void AverageBlock(const TBitmap& bmp, int X, int Y, int& Red, int& Green, int& Blue) {
    VTRACE("TPageBMP::AverageBlock");
    const int w = bmp.Width(), h = bmp.Height();
    if (bmp.PixelFormat() != TPixelFormat::pf24bit || w < 5 || h < 5) {
        Red = Green = Blue = 0xC0;  // no block fits: light grey
        return;
    }
    X = std::min(std::max(X, 2), w - 3);
    Y = std::min(std::max(Y, 2), h - 3);
    const uint8_t* c = bmp.ScanLine(Y) + 3 * X;
    int sr = c[2], sg = c[1], sb = c[0], n = 1;
    for (int x = X - 2; x <= X + 2; ++x) {
        for (int y = Y - 2; y <= Y + 2; ++y) {
            if (x == X && y == Y) continue;
            const uint8_t* p = bmp.ScanLine(y) + 3 * x;
            if (Agree(p[2], p[1], p[0], sr / n, sg / n, sb / n)) {
                sr += p[2];
                sg += p[1];
                sb += p[0];
                ++n;
            }
        }
    }
    Red = sr / n;
    Green = sg / n;
    Blue = sb / n;
}

TColor CommonestAverage(const int Reds[4], const int Greens[4], const int Blues[4]) {
    VTRACE("TPageBMP::CommonestAverage");
    auto agree = [&](int a, int b) { return Agree(Reds[a], Greens[a], Blues[a], Reds[b], Greens[b], Blues[b]); };
    auto colour = [](int r, int g, int b) { return TColor(b) * 0x10000 + TColor(g) * 0x100 + TColor(r); };
    if (agree(0, 1) && agree(0, 2) && agree(0, 3))
        return colour((Reds[0] + Reds[1] + Reds[2] + Reds[3]) >> 2, (Greens[0] + Greens[1] + Greens[2] + Greens[3]) >> 2,
                      (Blues[0] + Blues[1] + Blues[2] + Blues[3]) >> 2);
    static constexpr int kTriples[4][3] = {{0, 1, 2}, {0, 1, 3}, {0, 2, 3}, {1, 2, 3}};
    for (const auto& t : kTriples)
        if (agree(t[0], t[1]) && agree(t[0], t[2]))
            return colour((Reds[t[0]] + Reds[t[1]] + Reds[t[2]]) / 3, (Greens[t[0]] + Greens[t[1]] + Greens[t[2]]) / 3,
                          (Blues[t[0]] + Blues[t[1]] + Blues[t[2]]) / 3);
    static constexpr int kPairs[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    for (const auto& p : kPairs)
        if (agree(p[0], p[1]))
            return colour((Reds[p[0]] + Reds[p[1]]) >> 1, (Greens[p[0]] + Greens[p[1]]) >> 1,
                          (Blues[p[0]] + Blues[p[1]]) >> 1);
    return colour(Reds[0], Greens[0], Blues[0]);
}

TColor DetermineBackground(const TBitmap& bmp, int Mode) {
    VTRACE("TPageBMP::DetermineBackground");
    TColor fixed;
    if (FixedColour(Mode, fixed)) return fixed;
    if (!SizeAtLeast(bmp, 10)) return kLightGrey;
    ProcessMessages();
    if (!SizeAtLeast(bmp, 10)) return kLightGrey;  // changed by a message handler
    const int w = bmp.Width(), h = bmp.Height();
    const int d = h / 128;
    return Sampled(bmp, {d, w - d, d, w - d}, {d, d, h - d, h - d});
}

TColor DetermineBackgroundLeft(const TBitmap& bmp, int Mode) {
    VTRACE("TPageBMP::DetermineBackgroundLeft");
    TColor fixed;
    if (FixedColour(Mode, fixed)) return fixed;
    if (!SizeAtLeast(bmp, 20)) return kLightGrey;
    ProcessMessages();
    if (!SizeAtLeast(bmp, 20)) return kLightGrey;
    const int h = bmp.Height();
    const int d = h / 128, t = h / 3;
    return Sampled(bmp, {d, d, d, d}, {d, t, 2 * t, h - d});
}

TColor DetermineBackgroundRight(const TBitmap& bmp, int Mode) {
    VTRACE("TPageBMP::DetermineBackgroundRight");
    TColor fixed;
    if (FixedColour(Mode, fixed)) return fixed;
    if (!SizeAtLeast(bmp, 10)) return kLightGrey;
    ProcessMessages();
    if (!SizeAtLeast(bmp, 10)) return kLightGrey;
    const int w = bmp.Width(), h = bmp.Height();
    const int d = h / 128, t = h / 3;
    return Sampled(bmp, {w - d, w - d, w - d, w - d}, {d, t, 2 * t, h - d});
}

}  // namespace vellicor

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

#include "EngineTestSupport.h"
#include "PageOpsReference.h"
#include "pages/PageOps.h"
#include "pages/PageOpsScratch.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

// A page whose brightness sums run evenly over [lo, hi].
TBitmap SumRamp(int w, int h, int lo, int hi) {
    TBitmap b = SolidPage(w, h, 0, 0, 0);
    for (int i = 0; i < w * h; ++i) {
        const int s = lo + (hi - lo) * i / std::max(1, w * h - 1), v = s / 3, rest = s - 3 * v;
        SetPixel(b, i % w, i / w, uint8_t(v + (rest > 0)), uint8_t(v + (rest > 1)), uint8_t(v));
    }
    return b;
}

// The check with the vector kernels, then with the plain loops.
template <typename F>
void BothKernels(F check) {
    for (bool vector : {true, false}) {
        pageops::UseVectorKernels(vector);
        SCOPED_TRACE(vector ? "vector kernels" : "plain loops");
        check();
    }
    pageops::UseVectorKernels(true);
}

void ExpectStretchLikeReference(const TBitmap& page, int dw, int dh) {
    TBitmap fast = page, slow = page;
    ASSERT_TRUE(LanczosStretch(fast, dw, dh));
    ASSERT_TRUE(ref::LanczosStretch(slow, dw, dh));
    EXPECT_TRUE(SameBytes(fast, slow)) << page.Width() << "x" << page.Height() << " -> " << dw << "x" << dh;
}

bool FillPage(TBitmap& page, bool internal, const TFillColours& c = {}) {
    bool filled = false;
    const bool ran = ReduceYellowingByFilling(page, internal, c.RedThreshold, c.GreenThreshold, c.BlueThreshold,
                                              c.RedFill, c.GreenFill, c.BlueFill, filled);
    EXPECT_EQ(ran, filled);
    return ran;
}

// A dark page with a patch of paper inside a one-pixel ring.
TBitmap Balloon(int patchW, int patchH, TColor ring) {
    TBitmap page = SolidPage(60, 60, 40, 40, 40);
    for (int y = 19; y <= 20 + patchH; ++y)
        for (int x = 19; x <= 20 + patchW; ++x) {
            const bool inside = x >= 20 && y >= 20 && x < 20 + patchW && y < 20 + patchH;
            if (inside) SetPixel(page, x, y, 230, 210, 170);
            else SetPixel(page, x, y, GetRValue(ring), GetGValue(ring), GetBValue(ring));
        }
    return page;
}

constexpr TColor kFill = RGBColor(255, 240, 230);

// Runs an operation while a message handler does something of its own at the n-th
// message point.
void WithHandlerAt(int n, std::function<void()> handler, const std::function<void()>& op) {
    static std::function<void()> g_handler;
    static int g_calls;
    FakeUi ui;
    g_calls = 0;
    g_handler = [n, handler] {
        if (++g_calls == n) handler();
    };
    ui.onProcessMessages = [] { g_handler(); };
    op();
    g_handler = nullptr;
}

}  // namespace

// ---- Colour balance, gamma, yellowing reduction ----

TEST(PageOpsColour, BalanceEdgeCases) {
    TBitmap pale = SumRamp(64, 64, 300, 600), before = pale;  // spans less than 384
    int32_t factor = 100;
    EXPECT_FALSE(Balance(pale, 5, factor));
    EXPECT_EQ(factor, 100);
    EXPECT_TRUE(SameBytes(pale, before));

    TBitmap full = SumRamp(100, 100, 0, 765);  // HR 127, M 127: identity
    before = full;
    factor = 0;
    EXPECT_TRUE(Balance(full, 0, factor));
    EXPECT_EQ(factor, 100);
    EXPECT_TRUE(SameBytes(full, before));
    // Huge discards stop at the sums 64 and 196 instead of crossing the middle.
    EXPECT_TRUE(Balance(full, 1000000, factor));
    EXPECT_EQ(factor, 12700 / ((196 - 64) / 6));
}

TEST(PageOpsColour, BalanceMatchesReference) {
    std::vector<std::pair<TBitmap, int32_t>> cases;
    for (int32_t d : {0, 5, 50, 1000, 100000, -5}) cases.emplace_back(NoisePage(97, 61, 7 + uint32_t(d)), d);
    cases.emplace_back(NoisePage(40, 300, 3, 20, 230), 5);
    cases.emplace_back(ComicPage(160, 240, 11), 5);
    cases.emplace_back(ComicPage(160, 240, 12), 200);
    cases.emplace_back(SumRamp(1, 500, 10, 760), 5);
    cases.emplace_back(SumRamp(500, 1, 10, 760), 5);
    cases.emplace_back(SumRamp(33, 33, 60, 700), 30);
    for (auto& [page, discards] : cases) {
        TBitmap fast = page, slow = page;
        int32_t f1 = 100, f2 = 100;
        EXPECT_EQ(Balance(fast, discards, f1), ref::Balance(slow, discards, f2));
        EXPECT_EQ(f1, f2);
        EXPECT_TRUE(SameBytes(fast, slow)) << "discards " << discards;
    }
}

TEST(PageOpsColour, GammaTableAndReference) {
    TBitmap ramp = SolidPage(256, 1, 0, 0, 0);
    for (int x = 0; x < 256; ++x) SetPixel(ramp, x, 0, uint8_t(x), uint8_t(x), uint8_t(x));
    TBitmap same = ramp, bright = ramp;
    int32_t applied = 0;
    EXPECT_TRUE(GammaCorrect(same, 100, applied));
    EXPECT_TRUE(SameBytes(same, ramp));
    EXPECT_TRUE(GammaCorrect(bright, 220, applied));
    EXPECT_EQ(applied, 220);
    EXPECT_EQ(bright.ScanLine(0)[3 * 128], 186);
    EXPECT_EQ(bright.ScanLine(0)[0], 0);
    // The shared table is rebuilt whenever the value changes.
    for (int32_t g : {220, 150, 220, 45, 1, 100000, 220}) {
        TBitmap a = ComicPage(50, 70, uint32_t(g)), b = a;
        int32_t ga = 0, gb = 0;
        EXPECT_TRUE(GammaCorrect(a, g, ga));
        EXPECT_TRUE(ref::GammaCorrect(b, g, gb));
        EXPECT_TRUE(SameBytes(a, b)) << "gamma " << g;
    }
    // A gamma of 0 or below (a hand-edited store) leaves the page and the field alone.
    for (int32_t g : {0, -220}) {
        TBitmap page = NoisePage(20, 20, 1), before = page;
        applied = 7;
        EXPECT_FALSE(GammaCorrect(page, g, applied));
        EXPECT_EQ(applied, 7);
        EXPECT_TRUE(SameBytes(page, before));
    }
}

TEST(PageOpsColour, YellowingRampsAndReference) {
    TBitmap page = SolidPage(10, 10, 240, 225, 130);
    SetPixel(page, 1, 1, 235, 225, 130);  // red not above its threshold
    SetPixel(page, 2, 2, 250, 250, 250);  // the boosts clip at 255
    bool reduced = false;
    EXPECT_TRUE(ReduceYellowing(page, 235, 220, 127, 10, 20, reduced));
    EXPECT_TRUE(reduced);
    EXPECT_EQ(page.Pixel(0, 0), RGBColor(240, 235, 139));
    EXPECT_EQ(page.Pixel(1, 1), RGBColor(235, 225, 130));
    EXPECT_EQ(page.Pixel(2, 2), RGBColor(250, 255, 255));
    // Out-of-range thresholds and boosts stay within 0..255, as the reference does.
    const int32_t settings[][5] = {{235, 220, 127, 10, 20}, {0, 0, 0, 255, 255}, {-50, -1, 300, 30, -40},
                                   {200, 100, 50, 1000, 7}, {255, 255, 255, 10, 20}};
    for (const auto& s : settings)
        for (uint32_t seed : {1u, 2u}) {
            TBitmap a = seed == 1 ? NoisePage(80, 60, seed, 100, 255) : ComicPage(120, 90, seed), b = a;
            bool ra = false, rb = false;
            EXPECT_EQ(ReduceYellowing(a, s[0], s[1], s[2], s[3], s[4], ra), ref::ReduceYellowing(b, s[0], s[1], s[2], s[3], s[4], rb));
            EXPECT_EQ(ra, rb);
            EXPECT_TRUE(SameBytes(a, b)) << s[0] << " " << s[1] << " " << s[2] << " " << s[3] << " " << s[4];
        }
}

TEST(PageOpsColour, WhitePageAtTheOneInFiftyThreshold) {
    // 1000 x 1000: more than 20 000 pure white pixels inside the 20-pixel margin is white.
    TBitmap page = SolidPage(1000, 1000, 240, 225, 130);
    for (int i = 0; i < 20000; ++i) SetPixel(page, 20 + i % 960, 20 + i / 960, 255, 255, 255);
    for (int x = 0; x < 1000; ++x) SetPixel(page, x, 5, 255, 255, 255);  // the margin does not count
    EXPECT_FALSE(BitmapIsWhite(page));
    EXPECT_FALSE(ref::BitmapIsWhite(page));
    SetPixel(page, 500, 900, 251, 251, 251);
    EXPECT_TRUE(BitmapIsWhite(page));
    EXPECT_TRUE(ref::BitmapIsWhite(page));
    TBitmap before = page;
    bool reduced = false;
    EXPECT_FALSE(ReduceYellowing(page, 235, 220, 127, 10, 20, reduced));  // white paper is left alone
    EXPECT_FALSE(reduced);
    EXPECT_TRUE(SameBytes(page, before));

    EXPECT_FALSE(BitmapIsWhite(SolidPage(40, 500, 255, 255, 255)));
    EXPECT_FALSE(BitmapIsWhite(SolidPage(41, 41, 255, 255, 255))) << "1 pixel inside the margins, 33 needed";
    EXPECT_TRUE(BitmapIsWhite(SolidPage(48, 48, 255, 255, 255))) << "64 inside the margins, 46 needed";
    for (uint32_t seed = 0; seed < 6; ++seed) {
        TBitmap p = NoisePage(41 + seed * 7, 45 + seed * 3, seed, 245, 255);
        EXPECT_EQ(BitmapIsWhite(p), ref::BitmapIsWhite(p)) << seed;
    }
    // Long rows of near misses (one channel at 250) with exactly the limit of white pixels
    // (4200 x 42 / 50 = 3528) scattered over rows 20 and 21; then one more.
    TBitmap wide = SolidPage(4200, 42, 255, 255, 255);
    std::vector<std::pair<int, int>> inside;
    for (int y = 0; y < 42; ++y)
        for (int x = 0; x < 4200; ++x) {
            uint8_t c[3] = {255, 251, 253};
            c[(x + y) % 3] = 250;
            SetPixel(wide, x, y, c[0], c[1], c[2]);
            if (y >= 20 && y <= 21 && x >= 20 && x <= 4179) inside.push_back({x, y});
        }
    std::shuffle(inside.begin(), inside.end(), std::mt19937(5));
    for (int i = 0; i < 3528; ++i) SetPixel(wide, inside[size_t(i)].first, inside[size_t(i)].second, 251, 251, 251);
    EXPECT_FALSE(BitmapIsWhite(wide));
    SetPixel(wide, inside[3528].first, inside[3528].second, 251, 252, 253);
    EXPECT_TRUE(BitmapIsWhite(wide));
}

TEST(PageOpsColour, OnlyTwentyFourBitPagesAreTouched) {
    TBitmap page;
    page.SetSize(50, 50, TPixelFormat::pf32bit);
    page.Fill(RGBColor(240, 225, 130));
    int32_t f = 100;
    bool b = false;
    EXPECT_FALSE(Balance(page, 5, f) || GammaCorrect(page, 220, f) || ReduceYellowing(page, 235, 220, 127, 10, 20, b) ||
                 BitmapIsWhite(page) || FillPage(page, true));
    EXPECT_EQ(page.Pixel(3, 3), RGBColor(240, 225, 130));
}

// ---- Yellowing reduction by filling ----

TEST(PageOpsFill, EdgeStage) {
    TBitmap white = SolidPage(200, 200, 255, 255, 255), before = white;
    EXPECT_FALSE(FillPage(white, true));
    EXPECT_TRUE(SameBytes(white, before));
    // Uniformly yellowed paper is repainted whole, also beyond 65535 pixels in a row.
    for (auto [w, h] : {std::pair{300, 200}, {70000, 3}}) {
        TBitmap page = SolidPage(w, h, 236, 224, 180);
        EXPECT_TRUE(FillPage(page, false));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) ASSERT_EQ(page.Pixel(x, y), kFill) << x << "," << y;
    }
    TBitmap dark = NoisePage(80, 80, 4, 0, 90);  // dark corners: a full-bleed picture
    before = dark;
    EXPECT_TRUE(FillPage(dark, false));
    EXPECT_TRUE(SameBytes(dark, before));
}

TEST(PageOpsFill, InternalStageFillsInkedBalloonsOfTenPixelsOrMore) {
    TBitmap inked = Balloon(10, 5, RGBColor(0, 0, 0));  // 50 pixels of paper
    EXPECT_TRUE(FillPage(inked, false));
    EXPECT_EQ(inked.Pixel(25, 22), RGBColor(230, 210, 170)) << "the edge stage does not reach it";
    EXPECT_TRUE(FillPage(inked, true));
    for (int y = 20; y < 25; ++y)
        for (int x = 20; x < 30; ++x) EXPECT_EQ(inked.Pixel(x, y), kFill);
    EXPECT_EQ(inked.Pixel(19, 19), RGBColor(0, 0, 0));
    // A ring 10 below each threshold is soft; nine pixels are too few: left alone.
    for (TBitmap page : {Balloon(10, 5, RGBColor(190, 140, 110)), Balloon(3, 3, RGBColor(0, 0, 0))}) {
        TBitmap before = page;
        EXPECT_TRUE(FillPage(page, true));
        EXPECT_TRUE(SameBytes(page, before));
    }
    TBitmap ten = Balloon(5, 2, RGBColor(0, 0, 0));
    EXPECT_TRUE(FillPage(ten, true));
    EXPECT_EQ(ten.Pixel(24, 21), kFill);
}

TEST(PageOpsFill, MatchesTheDepthFirstWalk) {
    const TFillColours defaults{};
    std::vector<std::pair<TBitmap, TFillColours>> cases;
    for (uint32_t seed = 1; seed <= 3; ++seed) cases.emplace_back(ComicPage(150 + 13 * seed, 210 + 7 * seed, seed), defaults);
    cases.emplace_back(NoisePage(90, 70, 5, 100, 255), defaults);
    cases.emplace_back(NoisePage(90, 70, 6, 100, 255), TFillColours{160, 140, 120, 255, 255, 255});
    // A fill colour that is not paper, one out of range, thresholds below 0.
    cases.emplace_back(ComicPage(100, 140, 8), TFillColours{200, 150, 120, 100, 90, 80});
    cases.emplace_back(ComicPage(100, 140, 9), TFillColours{200, 150, 120, 999, -4, 240});
    cases.emplace_back(ComicPage(100, 140, 10), TFillColours{-5, -5, -5, 0, 0, 0});
    // Pages smaller than the corner squares, one-pixel rows and columns.
    for (auto [w, h] : {std::pair{1, 1}, {1, 40}, {40, 1}, {5, 3}, {9, 9}, {10, 17}})
        cases.emplace_back(NoisePage(w, h, uint32_t(w * 100 + h), 110, 255), defaults);
    for (auto& [page, colours] : cases)
        for (bool internal : {false, true}) {
            TBitmap fast = page, slow = page;
            bool b = false;
            EXPECT_EQ(FillPage(fast, internal, colours), ref::ReduceYellowingByFilling(slow, internal, colours, b));
            EXPECT_TRUE(SameBytes(fast, slow)) << page.Width() << "x" << page.Height() << " internal " << internal;
        }
}

TEST(PageOpsFill, StagesOneByOne) {
    // A 4 x 3 patch with one hard side (4 border pixels) and three soft (10): not worth
    // filling; with two hard sides (8 hard, 6 soft) it is.
    auto build = [](bool twoHard) {
        TBitmap p = SolidPage(30, 30, 40, 40, 40);
        for (int y = 9; y <= 13; ++y)
            for (int x = 9; x <= 14; ++x) SetPixel(p, x, y, 190, 140, 110);
        for (int x = 10; x <= 13; ++x) {
            SetPixel(p, x, 9, 0, 0, 0);
            if (twoHard) SetPixel(p, x, 13, 0, 0, 0);
            for (int y = 10; y <= 12; ++y) SetPixel(p, x, y, 230, 210, 170);
        }
        return p;
    };
    TBitmap oneHard = build(false), twoHard = build(true);
    ASSERT_TRUE(AllocateFillMemory(oneHard));
    EXPECT_FALSE(CheckForWhiteArea(oneHard, 12, 11, {}));
    ASSERT_TRUE(AllocateFillMemory(twoHard));
    EXPECT_TRUE(CheckForWhiteArea(twoHard, 12, 11, {}));
    EXPECT_FALSE(CheckForWhiteArea(twoHard, 11, 10, {})) << "each patch is explored once";
    Fill(twoHard, 12, 11, {});
    EXPECT_EQ(twoHard.Pixel(10, 10), kFill);
    // A bitmap the memory was not sized for is refused.
    TBitmap other = build(true), before = other, bigger = SolidPage(31, 30, 1, 1, 1);
    ASSERT_TRUE(AllocateFillMemory(bigger));
    Fill(other, 12, 11, {});
    EXPECT_FALSE(CheckForWhiteArea(other, 12, 11, {}));
    EXPECT_TRUE(SameBytes(other, before));
}

// ---- Resampling and rotation ----

TEST(PageOpsLanczos, MatchesReferenceOverSizesAndPages) {
    BothKernels([] {
        TBitmap page = NoisePage(37, 23, 1), before = page;
        ASSERT_TRUE(LanczosStretch(page, 37, 23));
        EXPECT_TRUE(SameBytes(page, before)) << "the same size leaves the page unchanged";
        // Tiny sources and targets read mirrored taps clamped into the row.
        for (int sw : {1, 2, 3, 4, 7, 16, 33})
            for (int sh : {1, 5})
                for (int dw : {1, 2, 3, 5, 8, 15, 50})
                    ExpectStretchLikeReference(NoisePage(sw, sh, uint32_t(sw * 7 + sh)), dw, sh == 1 ? 3 : 2);
        for (int sh : {1, 2, 3, 4, 7, 16, 33})
            for (int dh : {1, 2, 4, 9, 40}) ExpectStretchLikeReference(NoisePage(3, sh, uint32_t(sh)), 4, dh);
        TBitmap comic = ComicPage(160, 240, 3), scan = NoisePage(248, 351, 5);
        for (auto [w, h] : {std::pair{72, 108}, {240, 360}, {161, 241}, {13, 300}}) ExpectStretchLikeReference(comic, w, h);
        ExpectStretchLikeReference(scan, 76, 108);
        ExpectStretchLikeReference(scan, 31, 1);
        // Stripes drive every output into both clamps.
        TBitmap stripes = SolidPage(64, 64, 0, 0, 0);
        for (int i = 0; i < 64 * 32; ++i) SetPixel(stripes, 2 * (i % 32), i / 32, 255, 255, 255);
        ExpectStretchLikeReference(stripes, 97, 97);
        ExpectStretchLikeReference(stripes, 40, 40);
    });
}

TEST(PageOpsLanczos, EdgeColumnsReadMirroredPixels) {
    // 3 columns to 5 (scale 2): output 1, centred at 0.5, reads columns -2..3 mirrored to
    // 2, 1, 0, 1, 2, 2; the bright column 1 is read at distances 0.5 and 1.5.
    TBitmap page = SolidPage(3, 1, 0, 0, 0);
    SetPixel(page, 1, 0, 200, 200, 200);
    ASSERT_TRUE(LanczosStretch(page, 5, 1));
    auto weight = [](double x) {
        auto sinc = [](double t) { return std::sin(M_PI * t) / (M_PI * t); };
        return int32_t(sinc(x) * sinc(x / 3) * 65536.0);
    };
    EXPECT_EQ(GetRValue(page.Pixel(1, 0)), (32767 + 200 * (weight(0.5) + weight(1.5))) >> 16);
    EXPECT_EQ(page.Pixel(0, 0), RGBColor(0, 0, 0));
    EXPECT_EQ(page.Pixel(2, 0), RGBColor(200, 200, 200));
    EXPECT_EQ(page.Pixel(4, 0), RGBColor(0, 0, 0));
}

TEST(PageOpsLanczos, DegenerateSizesAndFormats) {
    TBitmap dot = SolidPage(1, 1, 10, 20, 30);  // scale = the target size
    ASSERT_TRUE(LanczosStretch(dot, 6, 4));
    for (int i = 0; i < 24; ++i) EXPECT_EQ(dot.Pixel(i % 6, i / 6), RGBColor(10, 20, 30));
    TBitmap grey = SolidPage(300, 200, 128, 128, 128);
    ASSERT_TRUE(LanczosStretch(grey, 1, 1));
    EXPECT_NEAR(GetRValue(grey.Pixel(0, 0)), 128, 2);

    TBitmap page = NoisePage(10, 10, 2), before = page, empty;
    EXPECT_FALSE(LanczosStretch(page, 0, 10) || LanczosStretch(page, 10, 0) || LanczosStretch(page, -3, 5));
    EXPECT_TRUE(SameBytes(page, before));
    EXPECT_FALSE(LanczosStretch(empty, 10, 10));
    EXPECT_TRUE(empty.Empty());

    TBitmap wide;
    wide.SetSize(8, 8, TPixelFormat::pf32bit);
    wide.Fill(RGBColor(50, 60, 70));
    ASSERT_TRUE(LanczosStretch(wide, 4, 4));
    EXPECT_EQ(wide.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_NEAR(GetGValue(wide.Pixel(1, 1)), 60, 1);
}

TEST(PageOpsLanczos, StretchRecordsScalePercent) {
    TBitmap page = NoisePage(200, 100, 4);
    int32_t percent = 100;
    ASSERT_TRUE(Stretch(page, 150, 75, 200, percent));
    EXPECT_EQ(percent, 75);
    ASSERT_TRUE(Stretch(page, 301, 150, 200, percent));
    EXPECT_EQ(percent, 150);
    ASSERT_TRUE(Stretch(page, 100, 50, 0, percent));
    EXPECT_EQ(percent, 150) << "no decoded width: unchanged";
    EXPECT_FALSE(Stretch(page, 0, 50, 200, percent));
    EXPECT_EQ(percent, 150);
}

TEST(PageOpsLanczos, WorkAreaGrowsWithSlackAndNeverShrinks) {
    ASSERT_TRUE(GetBitmapWorkArea(1000));
    BitmapWorkArea()[999] = 0x5A;
    const size_t bigger = BitmapWorkAreaCapacity() + 100000;
    ASSERT_TRUE(GetBitmapWorkArea(bigger));
    EXPECT_EQ(BitmapWorkAreaCapacity(), bigger + 6144);
    EXPECT_EQ(BitmapWorkArea()[999], 0x5A);
    ASSERT_TRUE(GetBitmapWorkArea(10));
    EXPECT_EQ(BitmapWorkAreaCapacity(), bigger + 6144);
}

TEST(PageOpsTurns, MatchReferenceAndUndoEachOther) {
    BothKernels([] {
        for (auto [w, h] : {std::pair{1, 1}, {1, 9}, {9, 1}, {5, 5}, {6, 7}, {33, 70}, {70, 33}, {64, 64}, {101, 37},
                            {130, 9}, {8, 8}, {4, 200}}) {
            const TBitmap page = NoisePage(w, h, uint32_t(w * 1000 + h));
            TBitmap l = page, lr = page, r = page, rr = page, i = page, ir = page;
            ASSERT_TRUE(RotateBitmapLeft(l) && RotateBitmapRight(r) && InvertBitmap(i));
            ref::RotateBitmapLeft(lr), ref::RotateBitmapRight(rr), ref::InvertBitmap(ir);
            EXPECT_TRUE(SameBytes(l, lr)) << w << "x" << h;
            EXPECT_TRUE(SameBytes(r, rr)) << w << "x" << h;
            EXPECT_TRUE(SameBytes(i, ir)) << w << "x" << h;
            ASSERT_TRUE(RotateBitmapRight(l) && InvertBitmap(i));
            EXPECT_TRUE(SameBytes(l, page));
            EXPECT_TRUE(SameBytes(i, page));
        }
    });
    // 3 x 2, a b c / d e f: left gives c f / b e / a d, right gives d a / e b / f c.
    TBitmap page = SolidPage(3, 2, 0, 0, 0);
    for (int i = 0; i < 6; ++i) SetPixel(page, i % 3, i / 3, uint8_t(i + 1), 0, 0);
    TBitmap left = page, right = page;
    RotateBitmapLeft(left), RotateBitmapRight(right);
    ASSERT_EQ(left.Width(), 2);
    ASSERT_EQ(left.Height(), 3);
    EXPECT_EQ(GetRValue(left.Pixel(0, 0)) * 100 + GetRValue(left.Pixel(1, 0)) * 10 + GetRValue(left.Pixel(0, 2)), 361);
    EXPECT_EQ(GetRValue(right.Pixel(0, 0)) * 100 + GetRValue(right.Pixel(1, 0)) * 10 + GetRValue(right.Pixel(1, 2)), 413);
    // An odd height keeps the middle row in place, reversed.
    TBitmap odd = SolidPage(4, 3, 0, 0, 0);
    for (int x = 0; x < 4; ++x) SetPixel(odd, x, 1, uint8_t(10 + x), 0, 0);
    InvertBitmap(odd);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(GetRValue(odd.Pixel(x, 1)), 13 - x);
    TBitmap empty;
    EXPECT_TRUE(RotateBitmapLeft(empty) && InvertBitmap(empty));
}

// ---- Message points and re-entry ----

TEST(PageOpsReentry, MessagePointsPerRowAndEverySixteenRows) {
    FakeUi ui;
    TBitmap page = NoisePage(30, 25, 9);
    int32_t f = 0;
    GammaCorrect(page, 180, f);
    EXPECT_EQ(ui.processMessagesCalls, 1 + 25);
    ui.processMessagesCalls = 0;
    Balance(page, 5, f);
    EXPECT_EQ(ui.processMessagesCalls, 3 + 25);
    ui.processMessagesCalls = 0;
    ASSERT_TRUE(LanczosStretch(page, 10, 33));  // before, 25 source rows, 33 target rows
    EXPECT_EQ(ui.processMessagesCalls, 1 + 1 + 2);
}

TEST(PageOpsReentry, OperationsStartedFromAMessageHandlerUseTheirOwnBuffers) {
    TBitmap outer = ComicPage(120, 200, 31), outerRef = outer;
    TBitmap inner = ComicPage(90, 60, 32), innerRef = inner;
    bool refused = false;
    WithHandlerAt(2, [&] {
        refused = !GetBitmapWorkArea(1);  // held by the running stretch
        LanczosStretch(inner, 50, 70);
        RotateBitmapLeft(inner);
    }, [&] { ASSERT_TRUE(LanczosStretch(outer, 300, 500)); });
    EXPECT_TRUE(refused);
    ref::LanczosStretch(outerRef, 300, 500);
    ref::LanczosStretch(innerRef, 50, 70);
    ref::RotateBitmapLeft(innerRef);
    EXPECT_TRUE(SameBytes(outer, outerRef));
    EXPECT_TRUE(SameBytes(inner, innerRef));

    // A fill started at the message point after the first corner, while the memory is held.
    TBitmap outerFill = ComicPage(400, 600, 21), innerFill = ComicPage(90, 130, 22);
    outerRef = outerFill, innerRef = innerFill;
    WithHandlerAt(2, [&] { FillPage(innerFill, true); }, [&] { EXPECT_TRUE(FillPage(outerFill, true)); });
    bool f = false;
    ref::ReduceYellowingByFilling(outerRef, true, {}, f);
    ref::ReduceYellowingByFilling(innerRef, true, {}, f);
    EXPECT_TRUE(SameBytes(outerFill, outerRef));
    EXPECT_TRUE(SameBytes(innerFill, innerRef));
}

TEST(PageOpsReentry, APageChangedByAMessageHandlerStopsTheOperation) {
    // Nothing may change a page while an operation lets messages through; if a handler
    // does anyway, the operation stops instead of running over rows that are gone.
    const std::pair<const char*, std::function<void(TBitmap&)>> ops[] = {
        {"shrink", [](TBitmap& p) { EXPECT_FALSE(LanczosStretch(p, 60, 100)); }},
        {"enlarge", [](TBitmap& p) { EXPECT_FALSE(LanczosStretch(p, 240, 400)); }},
        {"balance", [](TBitmap& p) { int32_t f = 100; Balance(p, 5, f); }},
        {"gamma", [](TBitmap& p) { int32_t g = 0; GammaCorrect(p, 220, g); }},
        {"yellowing", [](TBitmap& p) { bool r = false; ReduceYellowing(p, 235, 220, 127, 10, 20, r); }},
        {"fill", [](TBitmap& p) { FillPage(p, true); }},
    };
    for (const auto& [what, op] : ops) {
        TBitmap page = ComicPage(120, 200, 5);
        WithHandlerAt(2, [&] { page.SetSize(7, 3, TPixelFormat::pf24bit); }, [&] { op(page); });
        EXPECT_EQ(page.Width(), 7) << what;
    }
    TBitmap page = ComicPage(120, 200, 5);
    WithHandlerAt(1, [&] { page.SetSize(7, 3, TPixelFormat::pf24bit); },
                  [&] { EXPECT_EQ(DetermineBackground(page, 0), 0xC0C0C0u); });
}

// ---- Background colour from the margins ----

namespace {
void Block(TBitmap& b, int cx, int cy, TColor c) {
    for (int y = std::max(0, cy - 2); y <= std::min(b.Height() - 1, cy + 2); ++y)
        for (int x = std::max(0, cx - 2); x <= std::min(b.Width() - 1, cx + 2); ++x)
            SetPixel(b, x, y, GetRValue(c), GetGValue(c), GetBValue(c));
}
}  // namespace

TEST(PageOpsBackground, FixedModesAndSmallPages) {
    TBitmap palette, none;
    palette.SetSize(100, 100, TPixelFormat::pf8bit);
    for (const TBitmap* b : {&palette, &none}) {
        EXPECT_EQ(DetermineBackground(*b, 1), 0x000000u);
        EXPECT_EQ(DetermineBackground(*b, 2), 0xFFFFFFu);
        EXPECT_EQ(DetermineBackgroundLeft(*b, 3), 0xC0C0C0u);
        EXPECT_EQ(DetermineBackgroundRight(*b, 4), clBackground);
        EXPECT_EQ(DetermineBackground(*b, 0), 0xC0C0C0u) << "not 24-bit, or empty";
        EXPECT_EQ(DetermineBackground(*b, 9), 0xC0C0C0u);
    }
    const TColor paper = RGBColor(250, 240, 200);
    EXPECT_EQ(DetermineBackground(SolidPage(100, 9, 250, 240, 200), 0), 0xC0C0C0u);
    TBitmap fifteen = SolidPage(100, 15, 250, 240, 200);
    EXPECT_EQ(DetermineBackgroundLeft(fifteen, 0), 0xC0C0C0u);
    EXPECT_EQ(DetermineBackgroundRight(fifteen, 0), paper);
    EXPECT_EQ(DetermineBackground(SolidPage(9, 100, 1, 2, 3), 0), 0xC0C0C0u);
    EXPECT_EQ(DetermineBackground(SolidPage(10, 10, 1, 2, 3), 0), RGBColor(1, 2, 3));
    // Under 128 rows the inset is 0: the blocks are centred two pixels in from the edges.
    TBitmap page = SolidPage(60, 100, 0, 0, 0);
    for (auto [x, y] : {std::pair{2, 2}, {57, 2}, {2, 97}, {57, 97}}) Block(page, x, y, paper);
    EXPECT_EQ(DetermineBackground(page, 0), paper);
}

TEST(PageOpsBackground, CornersAndEdgesVote) {
    for (int dark = 0; dark < 4; ++dark) {  // inset 400 / 128 = 3; the odd corner is left out
        TBitmap page = SolidPage(300, 400, 255, 255, 255);
        Block(page, dark % 2 ? 297 : 3, dark / 2 ? 397 : 3, RGBColor(0, 0, 0));
        EXPECT_EQ(DetermineBackground(page, 0), RGBColor(255, 255, 255)) << "black corner " << dark;
    }
    TBitmap page = SolidPage(300, 400, 128, 128, 128);  // four different corners: sample 0
    Block(page, 3, 3, RGBColor(200, 10, 10));
    Block(page, 297, 3, RGBColor(10, 200, 10));
    Block(page, 3, 397, RGBColor(10, 10, 200));
    Block(page, 297, 397, RGBColor(250, 250, 250));
    EXPECT_EQ(DetermineBackground(page, 0), RGBColor(200, 10, 10));

    TBitmap spread = SolidPage(200, 300, 90, 90, 90);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 10; ++x) SetPixel(spread, x, y, 240, 230, 210), SetPixel(spread, 199 - x, y, 20, 30, 40);
    EXPECT_EQ(DetermineBackgroundLeft(spread, 0), RGBColor(240, 230, 210));
    EXPECT_EQ(DetermineBackgroundRight(spread, 0), RGBColor(20, 30, 40));
}

TEST(PageOpsBackground, AgreeingAverages) {
    // A speck of dirt at the centre seeds the mean: only the speck-coloured pixels join.
    TBitmap page = SolidPage(20, 20, 250, 250, 250);
    SetPixel(page, 10, 10, 40, 40, 40);
    SetPixel(page, 11, 10, 60, 60, 60);
    int r, g, b;
    AverageBlock(page, 10, 10, r, g, b);
    EXPECT_EQ(r * 1000000 + g * 1000 + b, 50050050);
    SetPixel(page, 3, 3, 255, 255, 255);  // clean paper: the mean of all 25, truncated
    AverageBlock(page, 3, 3, r, g, b);
    EXPECT_EQ(r, (24 * 250 + 255) / 25);
    SetPixel(page, 0, 0, 0, 0, 0);  // (0, 0) is moved inside: the block at (2, 2)
    AverageBlock(page, 0, 0, r, g, b);
    EXPECT_EQ(r, 250);

    // Groups agree with their first member (within 32), not with each other.
    const int cases[][5] = {
        // red of samples 0..3, expected red
        {100, 75, 125, 0, 100},    // {0, 1, 2}; 1 and 2 differ by 50
        {100, 110, 120, 101, 107}, // all four: sum >> 2
        {0, 200, 210, 220, 210},   // {1, 2, 3}
        {0, 100, 200, 110, 105},   // {1, 3}
        {0, 32, 64, 96, 0},        // a difference of 32 does not agree: sample 0
    };
    for (const auto& c : cases) {
        int reds[4] = {c[0], c[1], c[2], c[3]}, zeros[4] = {0, 0, 0, 0}, sevens[4] = {7, 7, 7, 7};
        EXPECT_EQ(CommonestAverage(reds, zeros, sevens), RGBColor(uint8_t(c[4]), 0, 7)) << c[0] << " " << c[1];
    }
}

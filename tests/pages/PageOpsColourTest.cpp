#include <gtest/gtest.h>

#include "PageOpsPages.h"
#include "PageOpsReference.h"
#include "pages/PageOps.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

// A page whose brightness sums run over [lo, hi] (grey levels lo/3 .. hi/3, plus noise).
TBitmap GreyRamp(int w, int h, int lo, int hi) {
    TBitmap b;
    b.SetSize(w, h, TPixelFormat::pf24bit);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int s = lo + (hi - lo) * (y * w + x) / std::max(1, w * h - 1);
            uint8_t v = uint8_t(s / 3);
            int rest = s - 3 * v;
            SetPixel(b, x, y, uint8_t(v + (rest > 0)), uint8_t(v + (rest > 1)), v);
        }
    return b;
}

}  // namespace

TEST(PageOpsBalance, PalePageIsLeftAloneAndKeepsItsFactor) {
    TBitmap page = GreyRamp(64, 64, 300, 600);
    TBitmap before = page;
    int32_t factor = 100;
    EXPECT_FALSE(Balance(page, 5, factor));
    EXPECT_EQ(factor, 100);
    EXPECT_TRUE(SameBytes(page, before));
}

TEST(PageOpsBalance, FullRangeWithoutDiscardsIsIdentity) {
    TBitmap page = GreyRamp(100, 100, 0, 765);
    TBitmap before = page;
    int32_t factor = 0;
    EXPECT_TRUE(Balance(page, 0, factor));
    EXPECT_EQ(factor, 100);
    EXPECT_TRUE(SameBytes(page, before));
}

TEST(PageOpsBalance, ClipsWithinBudgetAndMatchesReference) {
    struct Case {
        TBitmap page;
        int32_t discards;
    };
    std::vector<Case> cases;
    for (int32_t d : {0, 5, 50, 1000, 100000, -5}) cases.push_back({NoisePage(97, 61, 7 + uint32_t(d)), d});
    cases.push_back({NoisePage(40, 300, 3, 20, 230), 5});
    cases.push_back({ComicPage(160, 240, 11), 5});
    cases.push_back({ComicPage(160, 240, 12), 200});
    cases.push_back({GreyRamp(1, 500, 10, 760), 5});
    cases.push_back({GreyRamp(500, 1, 10, 760), 5});
    cases.push_back({GreyRamp(33, 33, 60, 700), 30});
    for (auto& c : cases) {
        TBitmap fast = c.page, slow = c.page;
        int32_t f1 = 100, f2 = 100;
        EXPECT_EQ(Balance(fast, c.discards, f1), ref::Balance(slow, c.discards, f2));
        EXPECT_EQ(f1, f2);
        EXPECT_TRUE(SameBytes(fast, slow)) << "discards " << c.discards;
    }
}

TEST(PageOpsBalance, LargeDiscardsStopAtTheQuarterLimits) {
    // Every pixel clipped would cross the middle; the ends stop at sums 64 and 196.
    TBitmap page = GreyRamp(50, 50, 0, 765);
    int32_t factor = 0;
    EXPECT_TRUE(Balance(page, 1000000, factor));
    EXPECT_EQ(factor, 12700 / ((196 - 64) / 6));
}

TEST(PageOpsGamma, TableValuesAndEquivalence) {
    TBitmap ramp;
    ramp.SetSize(256, 1, TPixelFormat::pf24bit);
    for (int x = 0; x < 256; ++x) SetPixel(ramp, x, 0, uint8_t(x), uint8_t(x), uint8_t(x));

    TBitmap same = ramp;
    int32_t applied = 0;
    EXPECT_TRUE(GammaCorrect(same, 100, applied));
    EXPECT_EQ(applied, 100);
    EXPECT_TRUE(SameBytes(same, ramp));

    TBitmap bright = ramp;
    EXPECT_TRUE(GammaCorrect(bright, 220, applied));
    EXPECT_EQ(applied, 220);
    EXPECT_EQ(bright.ScanLine(0)[3 * 128], 186);
    EXPECT_EQ(bright.ScanLine(0)[0], 0);

    // The shared table is rebuilt when the value changes, in either direction.
    for (int32_t g : {220, 150, 220, 45, 1, 100000, 220}) {
        TBitmap a = ComicPage(50, 70, uint32_t(g)), b = a;
        int32_t ga = 0, gb = 0;
        EXPECT_TRUE(GammaCorrect(a, g, ga));
        EXPECT_TRUE(ref::GammaCorrect(b, g, gb));
        EXPECT_TRUE(SameBytes(a, b)) << "gamma " << g;
    }
}

TEST(PageOpsGamma, ZeroOrNegativeGammaLeavesThePage) {
    for (int32_t g : {0, -220}) {
        TBitmap page = NoisePage(20, 20, 1), before = page;
        int32_t applied = 7;
        EXPECT_FALSE(GammaCorrect(page, g, applied));
        EXPECT_EQ(applied, 7);
        EXPECT_TRUE(SameBytes(page, before));
    }
}

TEST(PageOpsYellowing, DefaultRampsLiftBlueAndGreen) {
    TBitmap page = SolidPage(10, 10, 240, 225, 130);
    SetPixel(page, 1, 1, 235, 225, 130);  // red not above its threshold
    SetPixel(page, 2, 2, 250, 250, 250);  // caps: 250 + 10 and 250 + 20 clip at 255
    bool reduced = false;
    EXPECT_TRUE(ReduceYellowing(page, 235, 220, 127, 10, 20, reduced));
    EXPECT_TRUE(reduced);
    EXPECT_EQ(page.Pixel(0, 0), RGBColor(240, 235, 139));
    EXPECT_EQ(page.Pixel(1, 1), RGBColor(235, 225, 130));
    EXPECT_EQ(page.Pixel(2, 2), RGBColor(250, 255, 255));
}

TEST(PageOpsYellowing, MatchesReferenceAndStaysInRangeForOddSettings) {
    struct S {
        int32_t rt, gt, bt, gb, bb;
    };
    for (S s : {S{235, 220, 127, 10, 20}, S{0, 0, 0, 255, 255}, S{-50, -1, 300, 30, -40}, S{200, 100, 50, 1000, 7},
                S{255, 255, 255, 10, 20}}) {
        for (uint32_t seed : {1u, 2u}) {
            TBitmap a = seed == 1 ? NoisePage(80, 60, seed, 100, 255) : ComicPage(120, 90, seed), b = a;
            bool ra = false, rb = false;
            EXPECT_EQ(ReduceYellowing(a, s.rt, s.gt, s.bt, s.gb, s.bb, ra),
                      ref::ReduceYellowing(b, s.rt, s.gt, s.bt, s.gb, s.bb, rb));
            EXPECT_EQ(ra, rb);
            EXPECT_TRUE(SameBytes(a, b)) << s.rt << " " << s.gt << " " << s.bt << " " << s.gb << " " << s.bb;
        }
    }
}

TEST(PageOpsYellowing, WhitePageAtTheOneInFiftyThreshold) {
    // 1000 x 1000: the limit is 20 000 pure white pixels inside the 20-pixel margin.
    TBitmap page = SolidPage(1000, 1000, 240, 225, 130);
    int placed = 0;
    for (int y = 20; y < 980 && placed < 20000; ++y)
        for (int x = 20; x < 980 && placed < 20000; ++x, ++placed) SetPixel(page, x, y, 255, 255, 255);
    EXPECT_FALSE(BitmapIsWhite(page));
    EXPECT_FALSE(ref::BitmapIsWhite(page));
    // White pixels in the margin do not count.
    for (int x = 0; x < 1000; ++x) SetPixel(page, x, 5, 255, 255, 255);
    EXPECT_FALSE(BitmapIsWhite(page));
    SetPixel(page, 500, 900, 251, 251, 251);
    EXPECT_TRUE(BitmapIsWhite(page));
    EXPECT_TRUE(ref::BitmapIsWhite(page));

    TBitmap before = page;
    bool reduced = false;
    EXPECT_FALSE(ReduceYellowing(page, 235, 220, 127, 10, 20, reduced));
    EXPECT_FALSE(reduced);
    EXPECT_TRUE(SameBytes(page, before));
}

TEST(PageOpsYellowing, SmallPagesAreNeverWhite) {
    EXPECT_FALSE(BitmapIsWhite(SolidPage(40, 500, 255, 255, 255)));
    EXPECT_FALSE(BitmapIsWhite(SolidPage(500, 40, 255, 255, 255)));
    EXPECT_FALSE(BitmapIsWhite(SolidPage(41, 41, 255, 255, 255))) << "one pixel inside the margins, 33 needed";
    EXPECT_TRUE(BitmapIsWhite(SolidPage(48, 48, 255, 255, 255))) << "64 inside the margins, 46 needed";
    for (uint32_t seed = 0; seed < 6; ++seed) {
        TBitmap p = NoisePage(41 + seed * 7, 45 + seed * 3, seed, 245, 255);
        EXPECT_EQ(BitmapIsWhite(p), ref::BitmapIsWhite(p)) << seed;
    }
    // Long rows (more than 4080 counted pixels) of near misses, one channel at 250, with
    // exactly the limit of white pixels (4200 x 42 / 50 = 3528) scattered over them; then
    // one more.
    TBitmap wide = SolidPage(4200, 42, 255, 255, 255);
    std::mt19937 rng(5);
    std::vector<std::pair<int, int>> inside;
    for (int y = 0; y < 42; ++y)
        for (int x = 0; x < 4200; ++x) {
            uint8_t c[3] = {255, 251, 253};
            c[(x + y) % 3] = 250;
            SetPixel(wide, x, y, c[0], c[1], c[2]);
            if (y >= 20 && y <= 21 && x >= 20 && x <= 4179) inside.push_back({x, y});
        }
    std::shuffle(inside.begin(), inside.end(), rng);
    for (int i = 0; i < 3528; ++i) SetPixel(wide, inside[size_t(i)].first, inside[size_t(i)].second, 251, 251, 251);
    EXPECT_FALSE(BitmapIsWhite(wide));
    SetPixel(wide, inside[3528].first, inside[3528].second, 251, 252, 253);
    EXPECT_TRUE(BitmapIsWhite(wide));
    EXPECT_TRUE(ref::BitmapIsWhite(wide));
}

TEST(PageOpsColour, OnlyTwentyFourBitPagesAreTouched) {
    TBitmap page;
    page.SetSize(50, 50, TPixelFormat::pf32bit);
    page.Fill(RGBColor(240, 225, 130));
    int32_t f = 100;
    bool b = false;
    EXPECT_FALSE(Balance(page, 5, f));
    EXPECT_FALSE(GammaCorrect(page, 220, f));
    EXPECT_FALSE(ReduceYellowing(page, 235, 220, 127, 10, 20, b));
    EXPECT_FALSE(BitmapIsWhite(page));
    EXPECT_EQ(page.Pixel(3, 3), RGBColor(240, 225, 130));
}

TEST(PageOpsColour, LetsMessagesThroughPerRow) {
    FakeUi ui;
    TBitmap page = NoisePage(30, 25, 9);
    int32_t f = 0;
    GammaCorrect(page, 180, f);
    EXPECT_EQ(ui.processMessagesCalls, 1 + 25);
    ui.processMessagesCalls = 0;
    Balance(page, 5, f);
    EXPECT_EQ(ui.processMessagesCalls, 3 + 25);
}

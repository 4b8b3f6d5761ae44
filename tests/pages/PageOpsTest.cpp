#include "pages/PageOps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "EngineTestSupport.h"
#include "PageOpsReference.h"
#include "pages/PageOpsScratch.h"
#include "platform/Parallel.h"
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

// The check with the widest vector kernels, with AVX2 at most, then with the plain loops.
void BothKernels(const std::function<void()>& check) {
    for (int level : {2, 1, 0}) {
        pageops::UseVectorKernels(level > 0);
        pageops::UseWidestKernels(level > 1);
        SCOPED_TRACE(level == 2 ? "widest kernels" : level == 1 ? "AVX2 kernels" : "plain loops");
        check();
    }
    pageops::UseVectorKernels(true);
    pageops::UseWidestKernels(true);
}

// Runs the operation on a copy with the fast code and on a copy with the reference.
template <typename Fast, typename Slow>
void ExpectLikeReference(const TBitmap& page, Fast fast, Slow slow, const std::string& what) {
    TBitmap a = page, b = page;
    EXPECT_EQ(fast(a), slow(b)) << what;
    EXPECT_TRUE(SameBytes(a, b)) << what;
}

void ExpectStretchLikeReference(const TBitmap& page, int dw, int dh) {
    ExpectLikeReference(page, [&](TBitmap& p) { return LanczosStretch(p, dw, dh); },
                        [&](TBitmap& p) { return ref::LanczosStretch(p, dw, dh); },
                        std::to_string(page.Width()) + "x" + std::to_string(page.Height()) + " -> " +
                            std::to_string(dw) + "x" + std::to_string(dh));
}

bool FillPage(TBitmap& page, bool internal, const TFillColours& c = {}) {
    bool filled = false;
    const bool ran = ReduceYellowingByFilling(page, internal, c.RedThreshold, c.GreenThreshold, c.BlueThreshold,
                                              c.RedFill, c.GreenFill, c.BlueFill, filled);
    EXPECT_EQ(ran, filled);
    return ran;
}

// A dark page with a patch of paper at (20, 20) inside a one-pixel ring.
TBitmap Balloon(int patchW, int patchH, TColor ring) {
    TBitmap page = SolidPage(60, 60, 40, 40, 40);
    for (int y = 19; y <= 20 + patchH; ++y)
        for (int x = 19; x <= 20 + patchW; ++x) {
            if (x >= 20 && y >= 20 && x < 20 + patchW && y < 20 + patchH) SetPixel(page, x, y, 230, 210, 170);
            else SetPixel(page, x, y, GetRValue(ring), GetGValue(ring), GetBValue(ring));
        }
    return page;
}

constexpr TColor kFill = RGBColor(255, 240, 230);

// Runs op while a message handler runs handler at the n-th message point.
void WithHandlerAt(int n, const std::function<void()>& handler, const std::function<void()>& op) {
    static std::function<void()> g_handler;
    FakeUi ui;
    g_handler = [&, calls = 0]() mutable {
        if (++calls == n) handler();
    };
    ui.onProcessMessages = [] { g_handler(); };
    op();
    g_handler = nullptr;
}

}  // namespace

// ---- Colour balance, gamma, yellowing reduction ----

TEST(PageOpsColour, Balance) {
    TBitmap pale = SumRamp(64, 64, 300, 600), full = SumRamp(100, 100, 0, 765), before = pale;
    int32_t factor = 100;
    EXPECT_FALSE(Balance(pale, 5, factor)) << "the sums span less than 384";
    EXPECT_EQ(factor, 100);
    EXPECT_TRUE(SameBytes(pale, before));
    before = full, factor = 0;
    EXPECT_TRUE(Balance(full, 0, factor));  // HR 127, M 127: identity
    EXPECT_EQ(factor, 100);
    EXPECT_TRUE(SameBytes(full, before));
    EXPECT_TRUE(Balance(full, 300000, factor)) << "huge discards (a 64-bit budget) stop at the sums 64 and 196";
    EXPECT_EQ(factor, 12700 / ((196 - 64) / 6));
    // The budget is 64-bit; discards of any size or sign match the reference.
    const std::pair<TBitmap, int32_t> cases[] = {{NoisePage(97, 61, 1), 0},     {NoisePage(97, 61, 2), 100000},
                                                 {NoisePage(97, 61, 3), -5},    {ComicPage(160, 240, 11), 5},
                                                 {SumRamp(1, 500, 10, 760), 5}, {SumRamp(500, 1, 10, 760), 5}};
    for (const auto& [page, d] : cases) {
        int32_t f1 = 100, f2 = 100;
        ExpectLikeReference(page, [&](TBitmap& p) { return Balance(p, d, f1); },
                            [&](TBitmap& p) { return ref::Balance(p, d, f2); }, "discards " + std::to_string(d));
        EXPECT_EQ(f1, f2);
    }
}

TEST(PageOpsColour, Gamma) {
    TBitmap ramp = SolidPage(256, 1, 0, 0, 0);
    for (int x = 0; x < 256; ++x) SetPixel(ramp, x, 0, uint8_t(x), uint8_t(x), uint8_t(x));
    TBitmap same = ramp, bright = ramp;
    int32_t applied = 0;
    EXPECT_TRUE(GammaCorrect(same, 100, applied) && SameBytes(same, ramp));
    EXPECT_TRUE(GammaCorrect(bright, 220, applied));
    EXPECT_EQ(applied, 220);
    EXPECT_EQ(bright.ScanLine(0)[3 * 128], 186);
    EXPECT_EQ(bright.ScanLine(0)[0], 0);
    for (int32_t g : {220, 150, 220, 45, 1, 100000, 220})  // the shared table follows each change
        ExpectLikeReference(ComicPage(50, 70, uint32_t(g)), [&](TBitmap& p) { return GammaCorrect(p, g, applied); },
                            [&](TBitmap& p) { return ref::GammaCorrect(p, g, applied); }, "gamma " + std::to_string(g));
    for (int32_t g : {0, -220}) {  // a hand-edited store: the page and the field are left alone
        TBitmap page = NoisePage(20, 20, 1), before = page;
        applied = 7;
        EXPECT_FALSE(GammaCorrect(page, g, applied));
        EXPECT_TRUE(applied == 7 && SameBytes(page, before));
    }
}

TEST(PageOpsColour, Yellowing) {
    TBitmap page = SolidPage(10, 10, 240, 225, 130);
    SetPixel(page, 1, 1, 235, 225, 130);  // red not above its threshold
    SetPixel(page, 2, 2, 250, 250, 250);  // the boosts clip at 255
    bool reduced = false;
    EXPECT_TRUE(ReduceYellowing(page, 235, 220, 127, 10, 20, reduced) && reduced);
    EXPECT_EQ(page.Pixel(0, 0), RGBColor(240, 235, 139));  // green ramp capped at 10, blue 9 at 130
    EXPECT_EQ(page.Pixel(1, 1), RGBColor(235, 225, 130));
    EXPECT_EQ(page.Pixel(2, 2), RGBColor(250, 255, 255));
    // Out-of-range thresholds and boosts stay within 0..255, as in the reference.
    const int32_t settings[][5] = {{235, 220, 127, 10, 20}, {0, 0, 0, 255, 255}, {-50, -1, 300, 1000, -40}};
    for (const auto& s : settings)
        for (const TBitmap& p : {NoisePage(80, 60, 1, 100, 255), ComicPage(120, 90, 2)})
            ExpectLikeReference(p, [&](TBitmap& b) { return ReduceYellowing(b, s[0], s[1], s[2], s[3], s[4], reduced); },
                                [&](TBitmap& b) { return ref::ReduceYellowing(b, s[0], s[1], s[2], s[3], s[4], reduced); },
                                "thresholds " + std::to_string(s[0]) + " " + std::to_string(s[2]));
}

TEST(PageOpsColour, WhitePageAtTheOneInFiftyThreshold) {
    // 1000 x 1000: more than 20 000 pure white pixels inside the 20-pixel margin.
    TBitmap page = SolidPage(1000, 1000, 240, 225, 130);
    for (int i = 0; i < 20000; ++i) SetPixel(page, 20 + i % 960, 20 + i / 960, 255, 255, 255);
    for (int x = 0; x < 1000; ++x) SetPixel(page, x, 5, 255, 255, 255);  // the margin does not count
    EXPECT_FALSE(BitmapIsWhite(page) || ref::BitmapIsWhite(page));
    SetPixel(page, 500, 900, 251, 251, 251);
    EXPECT_TRUE(BitmapIsWhite(page) && ref::BitmapIsWhite(page));
    TBitmap before = page;
    bool reduced = false;
    EXPECT_FALSE(ReduceYellowing(page, 235, 220, 127, 10, 20, reduced) || reduced) << "white paper is left alone";
    EXPECT_TRUE(SameBytes(page, before));
    EXPECT_FALSE(BitmapIsWhite(SolidPage(40, 500, 255, 255, 255)));
    EXPECT_FALSE(BitmapIsWhite(SolidPage(41, 41, 255, 255, 255))) << "1 pixel inside the margins, 33 needed";
    EXPECT_TRUE(BitmapIsWhite(SolidPage(48, 48, 255, 255, 255))) << "64 inside the margins, 46 needed";
    EXPECT_TRUE(BitmapIsWhite(SolidPage(4200, 42, 255, 255, 255))) << "rows longer than a counter of 255 x 16";
    for (auto [w, h] : {std::pair{48, 48}, {59, 51}, {4100, 43}}) {
        const TBitmap p = NoisePage(w, h, 1, 249, 255);
        EXPECT_EQ(BitmapIsWhite(p), ref::BitmapIsWhite(p)) << w << "x" << h;
    }
}

// ---- Yellowing reduction by filling ----

TEST(PageOpsFill, EdgeAndInternalStages) {
    TBitmap white = SolidPage(200, 200, 255, 255, 255), dark = NoisePage(80, 80, 4, 0, 90);  // dark: full bleed
    for (TBitmap* p : {&white, &dark}) {
        TBitmap before = *p;
        EXPECT_EQ(FillPage(*p, false), p == &dark);
        EXPECT_TRUE(SameBytes(*p, before));
    }
    for (auto [w, h] : {std::pair{300, 200}, {70000, 3}}) {  // yellowed paper; rows beyond 16-bit coordinates
        TBitmap page = SolidPage(w, h, 236, 224, 180);
        EXPECT_TRUE(FillPage(page, false));
        for (int i = 0; i < w * h; ++i) ASSERT_EQ(page.Pixel(i % w, i / w), kFill) << i;
    }
    TBitmap inked = Balloon(10, 5, RGBColor(0, 0, 0));  // 50 pixels of paper
    EXPECT_TRUE(FillPage(inked, false));
    EXPECT_EQ(inked.Pixel(25, 22), RGBColor(230, 210, 170)) << "the edge stage does not reach it";
    EXPECT_TRUE(FillPage(inked, true));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(inked.Pixel(20 + i % 10, 20 + i / 10), kFill);
    EXPECT_EQ(inked.Pixel(19, 19), RGBColor(0, 0, 0));
    // A ring 10 below each threshold is soft, and nine pixels are too few: left alone.
    for (TBitmap page : {Balloon(10, 5, RGBColor(190, 140, 110)), Balloon(3, 3, RGBColor(0, 0, 0))}) {
        TBitmap before = page;
        EXPECT_TRUE(FillPage(page, true) && SameBytes(page, before));
    }
    TBitmap ten = Balloon(5, 2, RGBColor(0, 0, 0));
    EXPECT_TRUE(FillPage(ten, true));
    EXPECT_EQ(ten.Pixel(24, 21), kFill);
}

TEST(PageOpsFill, MatchesTheDepthFirstWalk) {
    std::vector<std::pair<TBitmap, TFillColours>> cases;
    cases.emplace_back(ComicPage(163, 217, 1), TFillColours{});
    cases.emplace_back(NoisePage(90, 70, 5, 100, 255), TFillColours{});
    // A fill colour out of range, thresholds below 0.
    cases.emplace_back(ComicPage(100, 140, 9), TFillColours{200, 150, 120, 999, -4, 240});
    cases.emplace_back(ComicPage(100, 140, 10), TFillColours{-5, -5, -5, 0, 0, 0});
    TBitmap walled = SolidPage(30, 30, 230, 210, 170);  // the corner scan stops at a pixel of the fill colour
    for (int y = 0; y < 30; ++y) SetPixel(walled, 0, y, 100, 90, 80), SetPixel(walled, 15, y, 0, 0, 0);
    cases.emplace_back(walled, TFillColours{200, 150, 120, 100, 90, 80});
    for (auto [w, h] : {std::pair{1, 1}, {1, 40}, {40, 1}, {5, 3}})  // smaller than the corners
        cases.emplace_back(NoisePage(w, h, uint32_t(w * 100 + h), 110, 255), TFillColours{});
    for (const auto& [page, c] : cases)
        for (bool internal : {false, true}) {
            bool b = false;
            ExpectLikeReference(page, [&](TBitmap& p) { return FillPage(p, internal, c); },
                                [&](TBitmap& p) { return ref::ReduceYellowingByFilling(p, internal, c, b); },
                                std::to_string(page.Width()) + "x" + std::to_string(page.Height()) + (internal ? " internal" : ""));
        }
    // The stages driven one by one refuse a bitmap the fill memory was not sized for.
    TBitmap other = Balloon(10, 5, RGBColor(0, 0, 0)), before = other, bigger = SolidPage(61, 60, 1, 1, 1);
    ASSERT_TRUE(AllocateFillMemory(bigger));
    Fill(other, 25, 22, {});
    EXPECT_FALSE(CheckForWhiteArea(other, 25, 22, {}));
    EXPECT_TRUE(SameBytes(other, before));
    ASSERT_TRUE(AllocateFillMemory(other));
    EXPECT_TRUE(CheckForWhiteArea(other, 25, 22, {}));
    EXPECT_FALSE(CheckForWhiteArea(other, 21, 21, {})) << "each patch is explored once";
}

// ---- Resampling and rotation ----

TEST(PageOpsLanczos, MatchesReferenceOverSizesAndPages) {
    BothKernels([] {
        TBitmap page = NoisePage(37, 23, 1), before = page;
        ASSERT_TRUE(LanczosStretch(page, 37, 23));
        EXPECT_TRUE(SameBytes(page, before)) << "the same size leaves the page unchanged";
        for (int s : {1, 2, 3, 7}) {  // tiny sources read mirrored taps clamped into the row
            for (int dw : {1, 5, 50}) ExpectStretchLikeReference(NoisePage(s, 1 + s % 5, uint32_t(s)), dw, 3);
            for (int dh : {1, 40}) ExpectStretchLikeReference(NoisePage(3, s, uint32_t(s)), 4, dh);
        }
        // Weights are kept from one page to the next of the same sizes: pages in turns, one
        // size at a time changed.
        for (int round = 0; round < 2; ++round) {
            ExpectStretchLikeReference(ComicPage(160, 240, 3), 72, 108);
            ExpectStretchLikeReference(NoisePage(248, 351, 5), 161, 241);
            ExpectStretchLikeReference(NoisePage(160, 240, 6), 72, 109);
            ExpectStretchLikeReference(NoisePage(161, 240, 7), 72, 108);
            ExpectStretchLikeReference(NoisePage(160, 240, 8), 72, 108);
        }
        TBitmap stripes = SolidPage(64, 64, 0, 0, 0);  // every output in both clamps
        for (int i = 0; i < 64 * 32; ++i) SetPixel(stripes, 2 * (i % 32), i / 32, 255, 255, 255);
        ExpectStretchLikeReference(stripes, 97, 97);
    });
}

TEST(PageOpsLanczos, FlatColourStaysFlat) {
    // Each output's weights add up to one: no darkening or brightening of plain paper,
    // whether reduced or enlarged, in every kernel and at sizes shared out among threads.
    BothKernels([] {
        const std::pair<int, int> sizes[] = {{320, 480}, {37, 55}, {301, 450}, {1000, 1500}};
        for (uint8_t v : {1, 200, 255}) {
            for (auto [dw, dh] : sizes) {
                TBitmap page = SolidPage(400, 600, v, uint8_t(255 - v), v);
                ASSERT_TRUE(LanczosStretch(page, dw, dh));
                for (int i = 0; i < 64; ++i) {
                    const int x = (i * 97) % dw, y = (i * 61) % dh;
                    ASSERT_EQ(page.Pixel(x, y), RGBColor(v, uint8_t(255 - v), v)) << dw << "x" << dh << " at " << x << "," << y;
                }
            }
        }
    });
}

TEST(PageOpsLanczos, EdgeColumnsReadMirroredPixels) {
    // 3 columns to 5 (scale 2): output 1, centred at 0.5, reads columns -2..3 mirrored to
    // 2, 1, 0, 1, 2, 2; the bright column 1 is read at distances 0.5 and 1.5.
    TBitmap page = SolidPage(3, 1, 0, 0, 0);
    SetPixel(page, 1, 0, 200, 200, 200);
    ASSERT_TRUE(LanczosStretch(page, 5, 1));
    auto weight = [](double x) { return int32_t(std::sin(M_PI * x) / (M_PI * x) * std::sin(M_PI * x / 3) / (M_PI * x / 3) * 65536.0); };
    EXPECT_EQ(GetRValue(page.Pixel(1, 0)), (32767 + 200 * (weight(0.5) + weight(1.5))) >> 16);
    EXPECT_EQ(page.Pixel(0, 0) + page.Pixel(4, 0), 0u);
    EXPECT_EQ(page.Pixel(2, 0), RGBColor(200, 200, 200));
}

TEST(PageOpsLanczos, DegenerateSizesAndTheRecordedScale) {
    TBitmap dot = SolidPage(1, 1, 10, 20, 30), grey = SolidPage(300, 200, 128, 128, 128);
    ASSERT_TRUE(LanczosStretch(dot, 6, 4) && LanczosStretch(grey, 1, 1));  // scales of 6 and of 1 / 300
    for (int i = 0; i < 24; ++i) EXPECT_EQ(dot.Pixel(i % 6, i / 6), RGBColor(10, 20, 30));
    EXPECT_NEAR(GetRValue(grey.Pixel(0, 0)), 128, 2);
    TBitmap page = NoisePage(200, 100, 2), before = page, empty;
    EXPECT_FALSE(LanczosStretch(page, 0, 10) || LanczosStretch(page, 10, 0) || LanczosStretch(page, -3, 5) ||
                 LanczosStretch(empty, 10, 10));
    EXPECT_TRUE(SameBytes(page, before) && empty.Empty());

    int32_t percent = 100;
    EXPECT_TRUE(Stretch(page, 150, 75, 200, percent) && percent == 75);
    EXPECT_TRUE(Stretch(page, 301, 150, 200, percent) && percent == 150);
    EXPECT_TRUE(Stretch(page, 100, 50, 0, percent) && percent == 150) << "no decoded width: unchanged";
    EXPECT_FALSE(Stretch(page, 0, 50, 200, percent) || percent != 150);
}

TEST(PageOpsTurns, MatchReferenceAndUndoEachOther) {
    BothKernels([] {
        for (auto [w, h] : {std::pair{1, 1}, {1, 9}, {9, 1}, {6, 7}, {101, 37}, {8, 8}}) {
            const TBitmap page = NoisePage(w, h, uint32_t(w * 1000 + h));
            const std::string what = std::to_string(w) + "x" + std::to_string(h);
            ExpectLikeReference(page, RotateBitmapLeft, [](TBitmap& p) { return ref::RotateBitmapLeft(p), true; }, what);
            ExpectLikeReference(page, RotateBitmapRight, [](TBitmap& p) { return ref::RotateBitmapRight(p), true; }, what);
            ExpectLikeReference(page, InvertBitmap, [](TBitmap& p) { return ref::InvertBitmap(p), true; }, what);
            TBitmap l = page, i = page;
            ASSERT_TRUE(RotateBitmapLeft(l) && RotateBitmapRight(l) && InvertBitmap(i) && InvertBitmap(i));
            EXPECT_TRUE(SameBytes(l, page) && SameBytes(i, page)) << what;
        }
    });
    // 3 x 2, a b c / d e f: left gives c f / b e / a d, right gives d a / e b / f c.
    TBitmap page = SolidPage(3, 2, 0, 0, 0);
    for (int i = 0; i < 6; ++i) SetPixel(page, i % 3, i / 3, uint8_t(i + 1), 0, 0);
    std::string turned;
    for (bool (*turn)(TBitmap&) : {RotateBitmapLeft, RotateBitmapRight}) {
        TBitmap t = page;
        turn(t);
        for (int i = 0; i < 6; ++i) turned += char('a' - 1 + GetRValue(t.Pixel(i % 2, i / 2)));
    }
    EXPECT_EQ(turned, "cfbeaddaebfc");
    TBitmap empty;
    EXPECT_TRUE(RotateBitmapLeft(empty) && InvertBitmap(empty));
}

// ---- Message points and re-entry ----

TEST(PageOpsReentry, OperationsStartedFromAMessageHandlerUseTheirOwnBuffers) {
    TBitmap outer = ComicPage(120, 200, 31), inner = ComicPage(90, 60, 32), outerRef = outer, innerRef = inner;
    bool refused = false;
    WithHandlerAt(2, [&] { refused = !GetBitmapWorkArea(1), LanczosStretch(inner, 50, 70), RotateBitmapLeft(inner); },
                  [&] { ASSERT_TRUE(LanczosStretch(outer, 300, 500)); });
    EXPECT_TRUE(refused) << "the running stretch holds the work area";
    ref::LanczosStretch(outerRef, 300, 500);
    ref::LanczosStretch(innerRef, 50, 70);
    ref::RotateBitmapLeft(innerRef);
    EXPECT_TRUE(SameBytes(outer, outerRef) && SameBytes(inner, innerRef));
    // A fill started at the message point after the first corner, while the memory is held.
    outer = ComicPage(400, 600, 21), inner = ComicPage(90, 130, 22), outerRef = outer, innerRef = inner;
    WithHandlerAt(2, [&] { FillPage(inner, true); }, [&] { EXPECT_TRUE(FillPage(outer, true)); });
    bool f = false;
    ref::ReduceYellowingByFilling(outerRef, true, {}, f);
    ref::ReduceYellowingByFilling(innerRef, true, {}, f);
    EXPECT_TRUE(SameBytes(outer, outerRef) && SameBytes(inner, innerRef));
}

TEST(PageOpsReentry, APageChangedByAMessageHandlerStopsTheOperation) {
    // Nothing may change a page while an operation lets messages through; if a handler does
    // anyway, the operation stops instead of running over rows that are gone.
    int32_t i = 0;
    bool b = false;
    const std::pair<int, std::function<void(TBitmap&)>> ops[] = {
        {2, [](TBitmap& p) { EXPECT_FALSE(LanczosStretch(p, 60, 100)); }},
        {2, [](TBitmap& p) { EXPECT_FALSE(LanczosStretch(p, 240, 400)); }},
        {2, [&](TBitmap& p) { Balance(p, 5, i); }},
        {2, [&](TBitmap& p) { GammaCorrect(p, 220, i); }},
        {2, [&](TBitmap& p) { ReduceYellowing(p, 235, 220, 127, 10, 20, b); }},
        {2, [](TBitmap& p) { FillPage(p, true); }},
        {1, [](TBitmap& p) { EXPECT_EQ(DetermineBackground(p, 0), 0xC0C0C0u); }},
    };
    for (size_t k = 0; k < std::size(ops); ++k) {
        TBitmap page = ComicPage(120, 200, 5);
        WithHandlerAt(ops[k].first, [&] { page.SetSize(7, 3, TPixelFormat::pf24bit); }, [&] { ops[k].second(page); });
        EXPECT_EQ(page.Width(), 7) << "operation " << k;
    }
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
    TBitmap palette, none;  // the fixed colours whatever the pixels; from the page only when 24-bit
    palette.SetSize(100, 100, TPixelFormat::pf8bit);
    for (const TBitmap* b : {&palette, &none})
        EXPECT_EQ(std::vector<TColor>({DetermineBackground(*b, 1), DetermineBackground(*b, 2), DetermineBackgroundLeft(*b, 3),
                                       DetermineBackgroundRight(*b, 4), DetermineBackground(*b, 0), DetermineBackground(*b, 9)}),
                  std::vector<TColor>({0x000000, 0xFFFFFF, 0xC0C0C0, clBackground, 0xC0C0C0, 0xC0C0C0}));
    const TColor paper = RGBColor(250, 240, 200);
    const TBitmap fifteen = SolidPage(100, 15, 250, 240, 200);
    EXPECT_EQ(DetermineBackground(SolidPage(100, 9, 250, 240, 200), 0), 0xC0C0C0u);
    EXPECT_EQ(DetermineBackgroundLeft(fifteen, 0), 0xC0C0C0u);
    EXPECT_EQ(DetermineBackgroundRight(fifteen, 0), paper);
    EXPECT_EQ(DetermineBackground(SolidPage(9, 100, 1, 2, 3), 0), 0xC0C0C0u);
    EXPECT_EQ(DetermineBackground(SolidPage(10, 10, 1, 2, 3), 0), RGBColor(1, 2, 3));
    TBitmap page = SolidPage(60, 100, 0, 0, 0);  // under 128 rows: blocks centred 2 pixels in
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
    const TColor corners[] = {RGBColor(200, 10, 10), RGBColor(10, 200, 10), RGBColor(10, 10, 200), RGBColor(250, 250, 250)};
    for (int i = 0; i < 4; ++i) Block(page, i % 2 ? 297 : 3, i / 2 ? 397 : 3, corners[i]);
    EXPECT_EQ(DetermineBackground(page, 0), corners[0]);
    TBitmap spread = SolidPage(200, 300, 90, 90, 90);
    for (int i = 0; i < 3000; ++i) SetPixel(spread, i % 10, i / 10, 240, 230, 210), SetPixel(spread, 199 - i % 10, i / 10, 20, 30, 40);
    EXPECT_EQ(DetermineBackgroundLeft(spread, 0), RGBColor(240, 230, 210));
    EXPECT_EQ(DetermineBackgroundRight(spread, 0), RGBColor(20, 30, 40));
}

TEST(PageOpsBackground, SamplePoints) {
    // Inset 1280 / 128 = 10 from the edges, thirds at 426 and 852: a speck at each sample
    // point (different from its neighbours) is the colour of its block.
    TBitmap page = SolidPage(300, 1280, 255, 255, 255);
    for (int i = 0; i < 8; ++i) SetPixel(page, i % 2 ? 290 : 10, std::vector<int>{10, 426, 852, 1270}[size_t(i / 2)], 0, 0, 200);
    EXPECT_EQ(std::vector<TColor>({DetermineBackground(page, 0), DetermineBackgroundLeft(page, 0), DetermineBackgroundRight(page, 0)}),
              std::vector<TColor>(3, RGBColor(0, 0, 200)));
}

TEST(PageOpsBackground, AgreeingAverages) {
    TBitmap page = SolidPage(20, 20, 250, 250, 250);
    SetPixel(page, 10, 10, 40, 40, 40);  // a speck of dirt at the centre seeds the mean
    SetPixel(page, 11, 10, 60, 60, 60);
    SetPixel(page, 3, 3, 255, 255, 255);
    SetPixel(page, 0, 0, 0, 0, 0);
    int r, g, b;
    AverageBlock(page, 10, 10, r, g, b);
    EXPECT_EQ(std::vector<int>({r, g, b}), std::vector<int>({50, 50, 50})) << "only the speck-coloured pixels join";
    AverageBlock(page, 3, 3, r, g, b);
    EXPECT_EQ(r, (24 * 250 + 255) / 25) << "clean paper: the mean of all 25";
    AverageBlock(page, 0, 0, r, g, b);
    EXPECT_EQ(r, 250) << "(0, 0) is moved inside, to (2, 2)";
    // The block is walked column by column, so the mean that judges each pixel depends on the
    // order: (8, 9) joins first and moves the mean to 115, which (9, 8) then misses. Row by
    // row it would be the other way round (84).
    TBitmap order = SolidPage(20, 20, 255, 255, 255);
    SetPixel(order, 10, 10, 100, 100, 100);
    SetPixel(order, 8, 9, 131, 131, 131);
    SetPixel(order, 9, 8, 69, 69, 69);
    AverageBlock(order, 10, 10, r, g, b);
    EXPECT_EQ(std::vector<int>({r, g, b}), std::vector<int>({115, 115, 115}));
    // Groups agree with their first member (each channel within 32), not with each other.
    const int cases[][5] = {
        {100, 75, 125, 0, 100},     // {0, 1, 2}, though 1 and 2 differ by 50
        {100, 110, 120, 101, 107},  // all four: sum >> 2
        {0, 200, 210, 220, 210},    // {1, 2, 3}
        {0, 100, 200, 110, 105},    // {1, 3}
        {0, 20, 200, 100, 10},      // {0, 1}
        {0, 32, 64, 96, 0},         // 32 apart do not agree: sample 0
    };
    for (const auto& c : cases) {
        const int reds[4] = {c[0], c[1], c[2], c[3]}, zeros[4] = {}, sevens[4] = {7, 7, 7, 7};
        EXPECT_EQ(CommonestAverage(reds, zeros, sevens), RGBColor(uint8_t(c[4]), 0, 7)) << c[0] << " " << c[1];
    }
}

TEST(PageOpsStop, CountingAndTurningALargePageStopWhenTheProgramEnds) {
    FakeUi ui;
    SetParallelThreads(1);  // blocks of a known size: about 700 rows of 2000 pixels
    const TBitmap page = SolidPage(2000, 3000, 200, 100, 50);
    pageops::TPageHistograms whole, partial;
    pageops::TakeHistograms(page, true, whole);
    EXPECT_EQ(whole.Sums[350], uint32_t(2000 * 3000));
    EXPECT_GE(ui.processMessagesCalls, 3) << "messages get through between blocks of rows";
    ui.onProcessMessages = [] { RequestStop(); };
    pageops::TakeHistograms(page, true, partial);
    EXPECT_GT(partial.Sums[350], 0u);
    EXPECT_LT(partial.Sums[350], uint32_t(2000 * 1000)) << "the count ends at the first block";
    TBitmap turned = page;
    EXPECT_FALSE(RotateBitmapLeft(turned) || RotateBitmapRight(turned) || InvertBitmap(turned))
        << "no turn of a page nobody will see";
    EXPECT_EQ(turned.Width() * 10000 + turned.Height(), 2000 * 10000 + 3000);
    RequestStop(false);
    ui.onProcessMessages = nullptr;
    SetParallelThreads(0);
    EXPECT_TRUE(RotateBitmapLeft(turned));
    EXPECT_EQ(turned.Width() * 10000 + turned.Height(), 3000 * 10000 + 2000);
}

TEST(PageOpsLanczos, StopsWhenTheProgramEnds) {
    FakeUi ui;
    ui.onProcessMessages = [] { RequestStop(); };
    TBitmap page = SolidPage(1600, 2400, 200, 100, 50);
    EXPECT_FALSE(LanczosStretch(page, 800, 1200)) << "Esc while a page is fitted: the fit is abandoned";
    RequestStop(false);
    ui.onProcessMessages = nullptr;
    EXPECT_TRUE(LanczosStretch(page, 800, 1200));
    EXPECT_EQ(page.Width() * 10000 + page.Height(), 800 * 10000 + 1200);
}

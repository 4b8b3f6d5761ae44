#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "PageOpsPages.h"
#include "PageOpsReference.h"
#include "pages/PageOps.h"
#include "pages/PageOpsScratch.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

// Runs the check with the vector kernels and again with the plain loops.
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

}  // namespace

TEST(PageOpsLanczos, SameSizeLeavesThePageUnchanged) {
    BothKernels([] {
        TBitmap page = NoisePage(37, 23, 1), before = page;
        ASSERT_TRUE(LanczosStretch(page, 37, 23));
        EXPECT_TRUE(SameBytes(page, before));
    });
}

TEST(PageOpsLanczos, MatchesReferenceOverSizes) {
    BothKernels([] {
        const int sizes[] = {1, 2, 3, 4, 7, 16, 33};
        for (int sw : sizes)
            for (int sh : {1, 5}) {
                TBitmap page = NoisePage(sw, sh, uint32_t(sw * 7 + sh));
                for (int dw : {1, 2, 3, 5, 8, 15, 50}) ExpectStretchLikeReference(page, dw, sh == 1 ? 3 : 2);
            }
        for (int sh : sizes) {
            TBitmap page = NoisePage(3, sh, uint32_t(sh));
            for (int dh : {1, 2, 4, 9, 40}) ExpectStretchLikeReference(page, 4, dh);
        }
    });
}

TEST(PageOpsLanczos, MatchesReferenceOnPages) {
    BothKernels([] {
        TBitmap comic = ComicPage(160, 240, 3);
        ExpectStretchLikeReference(comic, 72, 108);    // fitted to a window
        ExpectStretchLikeReference(comic, 240, 360);   // enlarged by 1.5
        ExpectStretchLikeReference(comic, 161, 241);   // almost the same size
        ExpectStretchLikeReference(comic, 13, 300);    // opposite directions
        TBitmap scan = NoisePage(248, 351, 5);
        ExpectStretchLikeReference(scan, 76, 108);
        ExpectStretchLikeReference(scan, 31, 1);
        // Edges of the maximum: every output clamps at both 0 and 255.
        TBitmap stripes = SolidPage(64, 64, 0, 0, 0);
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; x += 2) SetPixel(stripes, x, y, 255, 255, 255);
        ExpectStretchLikeReference(stripes, 97, 97);
        ExpectStretchLikeReference(stripes, 40, 40);
    });
}

TEST(PageOpsLanczos, EdgeColumnsReadMirroredPixels) {
    // Enlarging 3 columns to 5 (scale 2): output 1 is centred at 0.5 and reads columns
    // -2..3, mirrored to 2, 1, 0, 1, 2, 2. Only column 1 is bright, so it is read twice:
    // at distance 0.5 and, mirrored from -1, at distance 1.5.
    TBitmap page = SolidPage(3, 1, 0, 0, 0);
    SetPixel(page, 1, 0, 200, 200, 200);
    TBitmap slow = page;
    ASSERT_TRUE(LanczosStretch(page, 5, 1));
    ref::LanczosStretch(slow, 5, 1);
    EXPECT_TRUE(SameBytes(page, slow));
    auto weight = [](double x) {
        auto sinc = [](double t) { return std::sin(M_PI * t) / (M_PI * t); };
        return int32_t(sinc(x) * sinc(x / 3) * 65536.0);
    };
    const int expected = (32767 + 200 * (weight(0.5) + weight(1.5))) >> 16;
    EXPECT_EQ(GetRValue(page.Pixel(1, 0)), expected);
    EXPECT_EQ(page.Pixel(0, 0), RGBColor(0, 0, 0));
    EXPECT_EQ(page.Pixel(2, 0), RGBColor(200, 200, 200));
    EXPECT_EQ(page.Pixel(4, 0), RGBColor(0, 0, 0));
}

TEST(PageOpsLanczos, OnePixelSourceAndTarget) {
    TBitmap dot = SolidPage(1, 1, 10, 20, 30);
    ASSERT_TRUE(LanczosStretch(dot, 6, 4));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) EXPECT_EQ(dot.Pixel(x, y), RGBColor(10, 20, 30));
    TBitmap grey = SolidPage(300, 200, 128, 128, 128);
    ASSERT_TRUE(LanczosStretch(grey, 1, 1));
    EXPECT_NEAR(GetRValue(grey.Pixel(0, 0)), 128, 2);
}

TEST(PageOpsLanczos, EmptySourceOrTargetChangesNothing) {
    TBitmap page = NoisePage(10, 10, 2), before = page;
    EXPECT_FALSE(LanczosStretch(page, 0, 10));
    EXPECT_FALSE(LanczosStretch(page, 10, 0));
    EXPECT_FALSE(LanczosStretch(page, -3, 5));
    EXPECT_TRUE(SameBytes(page, before));
    TBitmap empty;
    EXPECT_FALSE(LanczosStretch(empty, 10, 10));
    EXPECT_TRUE(empty.Empty());
}

TEST(PageOpsLanczos, OtherPixelFormatsBecomeTwentyFourBit) {
    TBitmap page;
    page.SetSize(8, 8, TPixelFormat::pf32bit);
    page.Fill(RGBColor(50, 60, 70));
    ASSERT_TRUE(LanczosStretch(page, 4, 4));
    EXPECT_EQ(page.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_NEAR(GetGValue(page.Pixel(1, 1)), 60, 1);
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

TEST(PageOpsLanczos, LetsMessagesThroughEverySixteenRows) {
    FakeUi ui;
    TBitmap page = NoisePage(20, 40, 8);
    ASSERT_TRUE(LanczosStretch(page, 10, 33));
    // Once before, twice in the 40 source rows, twice in the 33 target rows.
    EXPECT_EQ(ui.processMessagesCalls, 1 + 2 + 2);
}

namespace {
TBitmap* g_innerPage = nullptr;
int g_innerCalls = 0;
bool g_workAreaRefused = false;
void StretchFromHandler() {
    if (!g_innerPage || g_innerCalls++ != 1) return;
    g_workAreaRefused = !GetBitmapWorkArea(1);
    LanczosStretch(*g_innerPage, 50, 70);
    RotateBitmapLeft(*g_innerPage);
}
}  // namespace

TEST(PageOpsLanczos, OperationFromAMessageHandlerDoesNotDisturbTheRunningOne) {
    FakeUi ui;
    ui.onProcessMessages = StretchFromHandler;
    TBitmap outer = ComicPage(120, 200, 31), outerRef = outer;
    TBitmap inner = ComicPage(90, 60, 32), innerRef = inner;
    g_innerPage = &inner;
    g_innerCalls = 0;
    ASSERT_TRUE(LanczosStretch(outer, 300, 500));
    g_innerPage = nullptr;
    EXPECT_TRUE(g_workAreaRefused) << "the running operation holds the work area";
    ref::LanczosStretch(outerRef, 300, 500);
    ref::LanczosStretch(innerRef, 50, 70);
    ref::RotateBitmapLeft(innerRef);
    EXPECT_TRUE(SameBytes(outer, outerRef));
    EXPECT_TRUE(SameBytes(inner, innerRef));
}

TEST(PageOpsWorkArea, GrowsWithSlackKeepsContentsNeverShrinks) {
    ASSERT_TRUE(GetBitmapWorkArea(1000));
    const size_t before = BitmapWorkAreaCapacity();
    ASSERT_GE(before, 1000u);
    BitmapWorkArea()[999] = 0x5A;
    const size_t bigger = before + 100000;
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
        ASSERT_TRUE(RotateBitmapLeft(l));
        ref::RotateBitmapLeft(lr);
        EXPECT_TRUE(SameBytes(l, lr)) << w << "x" << h;
        ASSERT_TRUE(RotateBitmapRight(r));
        ref::RotateBitmapRight(rr);
        EXPECT_TRUE(SameBytes(r, rr)) << w << "x" << h;
        ASSERT_TRUE(InvertBitmap(i));
        ref::InvertBitmap(ir);
        EXPECT_TRUE(SameBytes(i, ir)) << w << "x" << h;

        ASSERT_TRUE(RotateBitmapRight(l));
        EXPECT_TRUE(SameBytes(l, page));
        ASSERT_TRUE(InvertBitmap(i));
        EXPECT_TRUE(SameBytes(i, page));
        RotateBitmapRight(r);
        RotateBitmapRight(r);
        RotateBitmapRight(r);
        EXPECT_TRUE(SameBytes(r, page));
    }
    });
}

TEST(PageOpsTurns, DirectionsAndTheMiddleRow) {
    // 3 x 2: a b c / d e f.
    TBitmap page = SolidPage(3, 2, 0, 0, 0);
    for (int i = 0; i < 6; ++i) SetPixel(page, i % 3, i / 3, uint8_t(i + 1), 0, 0);
    TBitmap left = page;
    RotateBitmapLeft(left);  // c f / b e / a d
    ASSERT_EQ(left.Width(), 2);
    ASSERT_EQ(left.Height(), 3);
    EXPECT_EQ(GetRValue(left.Pixel(0, 0)), 3);
    EXPECT_EQ(GetRValue(left.Pixel(1, 0)), 6);
    EXPECT_EQ(GetRValue(left.Pixel(0, 2)), 1);
    TBitmap right = page;
    RotateBitmapRight(right);  // d a / e b / f c
    EXPECT_EQ(GetRValue(right.Pixel(0, 0)), 4);
    EXPECT_EQ(GetRValue(right.Pixel(1, 0)), 1);
    EXPECT_EQ(GetRValue(right.Pixel(1, 2)), 3);

    // Odd height: the middle row stays, reversed.
    TBitmap odd = SolidPage(4, 3, 0, 0, 0);
    for (int x = 0; x < 4; ++x) SetPixel(odd, x, 1, uint8_t(10 + x), 0, 0);
    InvertBitmap(odd);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(GetRValue(odd.Pixel(x, 1)), 13 - x);

    TBitmap empty;
    EXPECT_TRUE(RotateBitmapLeft(empty));
    EXPECT_TRUE(InvertBitmap(empty));
}

namespace {
TBitmap* g_victim = nullptr;
int g_victimCalls = 0;
int g_victimAt = 2;
void ShrinkThePage() {
    if (g_victim && ++g_victimCalls == g_victimAt) g_victim->SetSize(7, 3, TPixelFormat::pf24bit);
}
}  // namespace

TEST(PageOpsReentry, PageChangedByAMessageHandlerStopsTheOperation) {
    // Nothing may change a page while an operation lets messages through; if a handler
    // does anyway, the operation stops instead of running over rows that are gone.
    FakeUi ui;
    ui.onProcessMessages = ShrinkThePage;
    auto run = [&](const char* what, auto op, int at = 2) {
        TBitmap page = ComicPage(120, 200, 5);
        g_victim = &page;
        g_victimCalls = 0;
        g_victimAt = at;
        op(page);
        g_victim = nullptr;
        EXPECT_EQ(page.Width(), 7) << what;
    };
    run("stretch", [](TBitmap& p) { EXPECT_FALSE(LanczosStretch(p, 60, 100)); });
    run("enlarge", [](TBitmap& p) { EXPECT_FALSE(LanczosStretch(p, 240, 400)); });
    run("balance", [](TBitmap& p) { int32_t f = 100; Balance(p, 5, f); });
    run("gamma", [](TBitmap& p) { int32_t g = 0; GammaCorrect(p, 220, g); });
    run("yellowing", [](TBitmap& p) { bool r = false; ReduceYellowing(p, 235, 220, 127, 10, 20, r); });
    run("fill", [](TBitmap& p) { bool a = false; ReduceYellowingByFilling(p, true, 200, 150, 120, 255, 240, 230, a); });
    run("background", [](TBitmap& p) { EXPECT_EQ(DetermineBackground(p, 0), 0xC0C0C0u); }, 1);
}

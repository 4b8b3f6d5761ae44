#include <gtest/gtest.h>

#include "PageOpsPages.h"
#include "PageOpsReference.h"
#include "pages/PageOps.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

const TFillColours kDefaults{};
constexpr TColor kFill = RGBColor(255, 240, 230);

bool FillPage(TBitmap& page, bool internal, const TFillColours& c = kDefaults) {
    bool filled = false;
    bool ran = ReduceYellowingByFilling(page, internal, c.RedThreshold, c.GreenThreshold, c.BlueThreshold, c.RedFill,
                                        c.GreenFill, c.BlueFill, filled);
    EXPECT_EQ(ran, filled);
    return ran;
}

// Dark page (not paper) with a patch of paper inside a one-pixel ring of `ring` colour.
TBitmap Balloon(int patchW, int patchH, TColor ring) {
    TBitmap page = SolidPage(60, 60, 40, 40, 40);
    const int x0 = 20, y0 = 20;
    for (int y = y0 - 1; y <= y0 + patchH; ++y)
        for (int x = x0 - 1; x <= x0 + patchW; ++x)
            SetPixel(page, x, y, GetRValue(ring), GetGValue(ring), GetBValue(ring));
    for (int y = y0; y < y0 + patchH; ++y)
        for (int x = x0; x < x0 + patchW; ++x) SetPixel(page, x, y, 230, 210, 170);
    return page;
}

}  // namespace

TEST(PageOpsFill, WhitePageIsNotChanged) {
    TBitmap page = SolidPage(200, 200, 255, 255, 255), before = page;
    EXPECT_FALSE(FillPage(page, true));
    EXPECT_TRUE(SameBytes(page, before));
}

TEST(PageOpsFill, UniformYellowPageIsRepaintedWhole) {
    TBitmap page = SolidPage(300, 200, 236, 224, 180);
    EXPECT_TRUE(FillPage(page, false));
    for (int y = 0; y < page.Height(); ++y)
        for (int x = 0; x < page.Width(); ++x) ASSERT_EQ(page.Pixel(x, y), kFill) << x << "," << y;
}

TEST(PageOpsFill, DarkCornersLeaveThePageToTheInternalStage) {
    TBitmap page = NoisePage(80, 80, 4, 0, 90), before = page;
    EXPECT_TRUE(FillPage(page, false));
    EXPECT_TRUE(SameBytes(page, before));
}

TEST(PageOpsFill, InkRingedBalloonIsFilledSoftRingedIsNot) {
    // 10 x 5 = 50 pixels of paper ringed by black ink.
    TBitmap inked = Balloon(10, 5, RGBColor(0, 0, 0));
    EXPECT_TRUE(FillPage(inked, false));
    EXPECT_EQ(inked.Pixel(25, 22), RGBColor(230, 210, 170)) << "the edge stage does not reach it";
    EXPECT_TRUE(FillPage(inked, true));
    for (int y = 20; y < 25; ++y)
        for (int x = 20; x < 30; ++x) EXPECT_EQ(inked.Pixel(x, y), kFill);
    EXPECT_EQ(inked.Pixel(19, 19), RGBColor(0, 0, 0));

    // The same ring 10 below each threshold is soft: left alone.
    TBitmap soft = Balloon(10, 5, RGBColor(190, 140, 110)), before = soft;
    EXPECT_TRUE(FillPage(soft, true));
    EXPECT_TRUE(SameBytes(soft, before));
}

TEST(PageOpsFill, PatchOfNinePixelsIsNeverFilled) {
    TBitmap nine = Balloon(3, 3, RGBColor(0, 0, 0)), before = nine;
    EXPECT_TRUE(FillPage(nine, true));
    EXPECT_TRUE(SameBytes(nine, before));
    // Ten pixels (found by the seed grid at (20, 20)) are.
    TBitmap ten = Balloon(5, 2, RGBColor(0, 0, 0));
    EXPECT_TRUE(FillPage(ten, true));
    EXPECT_EQ(ten.Pixel(24, 21), kFill);
}

TEST(PageOpsFill, MatchesTheDepthFirstWalk) {
    struct Case {
        TBitmap page;
        TFillColours c;
    };
    std::vector<Case> cases;
    for (uint32_t seed = 1; seed <= 3; ++seed) cases.push_back({ComicPage(150 + 13 * seed, 210 + 7 * seed, seed), kDefaults});
    cases.push_back({NoisePage(90, 70, 5, 100, 255), kDefaults});
    cases.push_back({NoisePage(90, 70, 6, 100, 255), TFillColours{160, 140, 120, 255, 255, 255}});
    // A fill colour that is not paper, and one out of range.
    cases.push_back({ComicPage(100, 140, 8), TFillColours{200, 150, 120, 100, 90, 80}});
    cases.push_back({ComicPage(100, 140, 9), TFillColours{200, 150, 120, 999, -4, 240}});
    cases.push_back({ComicPage(100, 140, 10), TFillColours{-5, -5, -5, 0, 0, 0}});
    // Pages smaller than the corner squares, one-pixel rows and columns.
    for (auto [w, h] : {std::pair{1, 1}, {1, 40}, {40, 1}, {5, 3}, {9, 9}, {10, 17}})
        cases.push_back({NoisePage(w, h, uint32_t(w * 100 + h), 110, 255), kDefaults});
    for (auto& c : cases)
        for (bool internal : {false, true}) {
            TBitmap fast = c.page, slow = c.page;
            bool b = false;
            EXPECT_EQ(FillPage(fast, internal, c.c), ref::ReduceYellowingByFilling(slow, internal, c.c, b));
            EXPECT_TRUE(SameBytes(fast, slow)) << c.page.Width() << "x" << c.page.Height() << " internal " << internal;
        }
}

TEST(PageOpsFill, WhiteAreaCheckCountsBordersOncePerPaperNeighbour) {
    // A 4 x 3 patch (12 pixels): its top side is hard ink (4 pixels), the other sides soft
    // (3 + 3 + 4 = 10): soft wins, not filled. With two hard sides (4 + 4 = 8 hard, 6 soft)
    // it is.
    auto build = [](bool twoHard) {
        TBitmap p = SolidPage(30, 30, 40, 40, 40);
        for (int y = 9; y <= 13; ++y)
            for (int x = 9; x <= 14; ++x) SetPixel(p, x, y, 190, 140, 110);  // soft ring
        for (int x = 10; x <= 13; ++x) {
            SetPixel(p, x, 9, 0, 0, 0);
            if (twoHard) SetPixel(p, x, 13, 0, 0, 0);
        }
        for (int y = 10; y <= 12; ++y)
            for (int x = 10; x <= 13; ++x) SetPixel(p, x, y, 230, 210, 170);
        return p;
    };
    TBitmap oneHard = build(false);
    ASSERT_TRUE(AllocateFillMemory(oneHard));
    EXPECT_FALSE(CheckForWhiteArea(oneHard, 12, 11, kDefaults));
    TBitmap twoHard = build(true);
    ASSERT_TRUE(AllocateFillMemory(twoHard));
    EXPECT_TRUE(CheckForWhiteArea(twoHard, 12, 11, kDefaults));
    // Explored once: a second check of the same patch finds nothing new.
    EXPECT_FALSE(CheckForWhiteArea(twoHard, 11, 10, kDefaults));
    Fill(twoHard, 12, 11, kDefaults);
    EXPECT_EQ(twoHard.Pixel(10, 10), kFill);
    // Stages refuse a bitmap the memory was not sized for.
    TBitmap other = build(true), before = other;
    TBitmap bigger = SolidPage(31, 30, 1, 1, 1);
    ASSERT_TRUE(AllocateFillMemory(bigger));
    Fill(other, 12, 11, kDefaults);
    EXPECT_FALSE(CheckForWhiteArea(other, 12, 11, kDefaults));
    EXPECT_TRUE(SameBytes(other, before));
}

namespace {
TBitmap* g_nestedPage = nullptr;
bool g_nestedRan = false;
int g_handlerCalls = 0;
void FillFromHandler() {
    // The first message point is the white-page test, before the fill memory is taken.
    if (!g_nestedPage || g_nestedRan || ++g_handlerCalls < 2) return;
    g_nestedRan = true;
    bool filled = false;
    ReduceYellowingByFilling(*g_nestedPage, true, 200, 150, 120, 255, 240, 230, filled);
}
}  // namespace

TEST(PageOpsFill, FillStartedFromAMessageHandlerUsesItsOwnMemory) {
    // The handler runs at the message point after the first corner, while the fill memory is held.
    FakeUi ui;
    ui.onProcessMessages = FillFromHandler;
    TBitmap outer = ComicPage(400, 600, 21), outerRef = outer;
    TBitmap inner = ComicPage(90, 130, 22), innerRef = inner;
    g_nestedPage = &inner;
    g_nestedRan = false;
    g_handlerCalls = 0;
    EXPECT_TRUE(FillPage(outer, true));
    g_nestedPage = nullptr;
    EXPECT_TRUE(g_nestedRan);
    bool f = false;
    ref::ReduceYellowingByFilling(outerRef, true, kDefaults, f);
    ref::ReduceYellowingByFilling(innerRef, true, kDefaults, f);
    EXPECT_TRUE(SameBytes(outer, outerRef));
    EXPECT_TRUE(SameBytes(inner, innerRef));
}

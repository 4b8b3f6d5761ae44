#include <gtest/gtest.h>

#include "PageOpsPages.h"
#include "pages/PageOps.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

void Block(TBitmap& b, int cx, int cy, TColor c) {
    for (int y = cy - 2; y <= cy + 2; ++y)
        for (int x = cx - 2; x <= cx + 2; ++x)
            if (x >= 0 && y >= 0 && x < b.Width() && y < b.Height()) SetPixel(b, x, y, GetRValue(c), GetGValue(c), GetBValue(c));
}

}  // namespace

TEST(PageOpsBackground, FixedModesIgnoreThePixels) {
    TBitmap palette;
    palette.SetSize(100, 100, TPixelFormat::pf8bit);
    TBitmap none;
    for (const TBitmap* b : {&palette, &none}) {
        EXPECT_EQ(DetermineBackground(*b, 1), 0x000000u);
        EXPECT_EQ(DetermineBackground(*b, 2), 0xFFFFFFu);
        EXPECT_EQ(DetermineBackgroundLeft(*b, 3), 0xC0C0C0u);
        EXPECT_EQ(DetermineBackgroundRight(*b, 4), clBackground);
        EXPECT_EQ(DetermineBackground(*b, 0), 0xC0C0C0u) << "not 24-bit or empty";
        EXPECT_EQ(DetermineBackground(*b, 9), 0xC0C0C0u);
    }
}

TEST(PageOpsBackground, SmallPagesGetLightGrey) {
    const TColor paper = RGBColor(250, 240, 200);
    TBitmap nine = SolidPage(100, 9, 250, 240, 200);
    EXPECT_EQ(DetermineBackground(nine, 0), 0xC0C0C0u);
    TBitmap fifteen = SolidPage(100, 15, 250, 240, 200);
    EXPECT_EQ(DetermineBackgroundLeft(fifteen, 0), 0xC0C0C0u);
    EXPECT_EQ(DetermineBackgroundRight(fifteen, 0), paper);
    EXPECT_EQ(DetermineBackground(SolidPage(9, 100, 1, 2, 3), 0), 0xC0C0C0u);
    EXPECT_EQ(DetermineBackground(SolidPage(10, 10, 1, 2, 3), 0), RGBColor(1, 2, 3));
}

TEST(PageOpsBackground, ShortPagesSampleTwoPixelsInFromTheEdge) {
    // Under 128 rows the inset is 0: blocks are centred on (2, 2), (w - 3, 2) and so on.
    TBitmap page = SolidPage(60, 100, 0, 0, 0);
    for (auto [x, y] : {std::pair{2, 2}, {57, 2}, {2, 97}, {57, 97}}) Block(page, x, y, RGBColor(200, 100, 50));
    EXPECT_EQ(DetermineBackground(page, 0), RGBColor(200, 100, 50));
}

TEST(PageOpsBackground, CornersVoteAndTheOddOneIsLeftOut) {
    const TColor white = RGBColor(255, 255, 255);
    // Inset 400 / 128 = 3.
    for (int dark = 0; dark < 4; ++dark) {
        TBitmap page = SolidPage(300, 400, 255, 255, 255);
        const int xs[4] = {3, 297, 3, 297}, ys[4] = {3, 3, 397, 397};
        Block(page, xs[dark], ys[dark], RGBColor(0, 0, 0));
        EXPECT_EQ(DetermineBackground(page, 0), white) << "black corner " << dark;
    }
    // Four different corners: sample 0 (top left) as it is.
    TBitmap page = SolidPage(300, 400, 128, 128, 128);
    Block(page, 3, 3, RGBColor(200, 10, 10));
    Block(page, 297, 3, RGBColor(10, 200, 10));
    Block(page, 3, 397, RGBColor(10, 10, 200));
    Block(page, 297, 397, RGBColor(250, 250, 250));
    EXPECT_EQ(DetermineBackground(page, 0), RGBColor(200, 10, 10));
}

TEST(PageOpsBackground, LeftAndRightEdgesOfASpread) {
    TBitmap page = SolidPage(200, 300, 90, 90, 90);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 10; ++x) SetPixel(page, x, y, 240, 230, 210);
    for (int y = 0; y < 300; ++y)
        for (int x = 190; x < 200; ++x) SetPixel(page, x, y, 20, 30, 40);
    EXPECT_EQ(DetermineBackgroundLeft(page, 0), RGBColor(240, 230, 210));
    EXPECT_EQ(DetermineBackgroundRight(page, 0), RGBColor(20, 30, 40));
}

TEST(PageOpsBackground, BlockAveragesOnlyPixelsNearTheRunningMean) {
    // A speck of dirt at the centre seeds the mean: only the speck-coloured pixels join.
    TBitmap page = SolidPage(20, 20, 250, 250, 250);
    SetPixel(page, 10, 10, 40, 40, 40);
    SetPixel(page, 11, 10, 60, 60, 60);
    int r, g, b;
    AverageBlock(page, 10, 10, r, g, b);
    EXPECT_EQ(r, 50);
    EXPECT_EQ(g, 50);
    EXPECT_EQ(b, 50);
    // On clean paper the mean of all 25 (truncated).
    SetPixel(page, 3, 3, 255, 255, 255);
    AverageBlock(page, 3, 3, r, g, b);
    EXPECT_EQ(r, (24 * 250 + 255) / 25);
    // The centre is moved inside: (0, 0) averages the block at (2, 2).
    SetPixel(page, 0, 0, 0, 0, 0);
    AverageBlock(page, 0, 0, r, g, b);
    EXPECT_EQ(r, 250);
    // No block fits.
    TBitmap tiny = SolidPage(4, 4, 1, 1, 1);
    AverageBlock(tiny, 1, 1, r, g, b);
    EXPECT_EQ(r, 0xC0);
}

TEST(PageOpsBackground, GroupsAgreeWithTheirFirstMember) {
    {
        // 0 agrees with 1 and 2 (within 32), 1 and 2 do not agree with each other.
        int r[4] = {100, 75, 125, 0}, g[4] = {100, 100, 100, 0}, b[4] = {100, 100, 100, 0};
        EXPECT_EQ(CommonestAverage(r, g, b), RGBColor(100, 100, 100));
    }
    {
        // All four agree with sample 0: sums shifted right by 2.
        int r[4] = {100, 110, 120, 101}, g[4] = {0, 0, 0, 3}, b[4] = {7, 7, 7, 7};
        EXPECT_EQ(CommonestAverage(r, g, b), RGBColor(107, 0, 7));
    }
    {
        // Sample 0 is alone; {1, 2, 3} agree.
        int r[4] = {0, 200, 210, 220}, g[4] = {0, 0, 0, 0}, b[4] = {0, 0, 0, 0};
        EXPECT_EQ(CommonestAverage(r, g, b), RGBColor(210, 0, 0));
    }
    {
        // Only {1, 3} agree.
        int r[4] = {0, 100, 200, 110}, g[4] = {0, 0, 0, 0}, b[4] = {0, 0, 0, 0};
        EXPECT_EQ(CommonestAverage(r, g, b), RGBColor(105, 0, 0));
    }
    {
        // A difference of exactly 32 does not agree.
        int r[4] = {0, 32, 64, 96}, g[4] = {0, 0, 0, 0}, b[4] = {0, 0, 0, 0};
        EXPECT_EQ(CommonestAverage(r, g, b), RGBColor(0, 0, 0));
    }
}

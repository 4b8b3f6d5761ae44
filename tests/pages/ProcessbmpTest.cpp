#include "pages/Processbmp.h"

#include <gtest/gtest.h>

#include <climits>

#include "EngineTestSupport.h"
#include "pages/BuffPage.h"
#include "pages/PageOpsScratch.h"
#include "pages/PageSettings.h"
#include "pages/Utilsunit.h"
#include "platform/UiServices.h"
#include "settings/Configuration.h"

namespace vellicor {
namespace {

using test::SameBytes;
using test::SetPixel;

// Every fit setting off; the cases switch on what they need.
TSettings NoFit() {
    TSettings s{};
    s.FitWidthIfOversize = false;
    s.SuppressFitWidthDoublePages = false;
    return s;
}

TEST(ProcessbmpFit, RulesOnTheExamples) {
    // Settings: f Fit, o FitIfOversize, t TwoPages, w FitWidth, W FitWidthIfOversize, s SuppressFitWidthDoublePages,
    // h FitHeight, H FitHeightIfOversize, L RotateLeft, R RotateRight; a target height unless INT_MIN.
    // A result of 0 x 0: no size (the page becomes the error page).
    struct Case {
        const char* flags;
        int w, h, type, rotation, clientW, clientH, expectW, expectH, expectR, target = INT_MIN;
    } cases[] = {
        {"f", 1000, 1500, 1, 0, 1024, 768, 512, 768, 0},     // SA 75, PA 150: by height
        {"f", 2000, 1000, 1, 0, 1024, 768, 1024, 512, 0},    // SA 75 > PA 50: by width
        {"f", 100, 150, 1, 0, 1024, 768, 512, 768, 0},       // enlarged
        {"f", 1000, 751, 1, 0, 1024, 768, 1022, 768, 0},     // SA 75 = PA 75: by height, not by width (1024 x 769)
        {"fs", 2000, 1000, 1, 0, 1024, 768, 1536, 768, 0},   // a spread by height
        {"o", 1000, 700, 1, 0, 1024, 768, 1000, 700, 0},
        {"o", 1100, 500, 1, 0, 1024, 768, 1024, 465, 0},
        {"t", 1000, 1500, 1, 0, 1024, 768, 512, 768, 0},     // SW 512, SA 150 = PA: by height
        {"t", 2000, 1500, 1, 0, 1024, 768, 1024, 768, 0},    // wide: SW stays 1024, SA 75 = PA
        {"w", 500, 1000, 1, 0, 1024, 768, 1024, 2048, 0},
        {"ws", 1800, 1200, 1, 0, 1024, 768, 1800, 1200, 0},  // a spread up to 2048 is kept
        {"ws", 3000, 1000, 1, 0, 1024, 768, 2048, 682, 0},   // fitted to two window widths
        {"W", 800, 3000, 1, 0, 1024, 768, 800, 3000, 0},
        {"W", 2048, 100, 1, 0, 1024, 768, 1024, 50, 0},
        {"h", 100, 384, 1, 0, 1024, 768, 200, 768, 0},
        {"H", 3000, 1536, 1, 0, 1024, 768, 1500, 768, 0},
        {"", 800, 1000, 1, 0, 1024, 768, 960, 1200, 0, 1200},
        {"", 5000, 7000, 1, 0, 1024, 768, 5000, 7000, 0},    // no rule
        {"w", 2000, 3000, 4, 0, 1000, 768, 2000, 3000, 0},   // doubled: no resampling, only the turn
        {"", 1000, 1500, 8, 0, 1024, 768, 512, 768, 0},      // the whole page whatever the settings
        {"Lw", 1000, 1500, 1, 0, 1024, 768, 768, 1152, 3},   // the window's height serves as its width
        {"R", 10, 10, 1, 3, 1024, 768, 10, 10, 0},
        {"R", 10, 10, 1, 2, 1024, 768, 10, 10, 3},
        {"f", 1500, 1000, 1, 1, 1024, 768, 768, 512, 1},     // sideways: fitted as shown, sized before the turn
        // Nothing to fit is never a division by zero; hostile settings give no size.
        {"f", 0, 100, 1, 0, 1024, 768, 0, 0, 0},
        {"f", 100, 150, 1, 0, 0, 0, 100, 150, 0},            // a minimised window
        {"w", 100, 150, 1, 0, -5, 768, 100, 150, 0},
        {"", 100, 150, 1, 0, 0, 0, 600, 900, 0, 900},
        {"", 100, 150, 1, 0, 1024, 768, 1, 1, 0, -40},              // a height the dialog never gives: its nearest end
        {"", 3000, 10, 1, 0, 1024, 768, 1228800, 4096, 0, INT_MAX},
        {"", 100, 150, 1, 0, 1024, 768, 1, 1, 0, 0},
        {"h", INT_MAX, 1, 4, 0, 1024, INT_MAX, 0, 0, 0},
    };
    const std::pair<char, bool TSettings::*> flags[] = {
        {'f', &TSettings::Fit}, {'o', &TSettings::FitIfOversize}, {'t', &TSettings::TwoPages}, {'w', &TSettings::FitWidth},
        {'W', &TSettings::FitWidthIfOversize}, {'s', &TSettings::SuppressFitWidthDoublePages}, {'h', &TSettings::FitHeight},
        {'H', &TSettings::FitHeightIfOversize}, {'L', &TSettings::RotateLeft}, {'R', &TSettings::RotateRight}};
    for (const auto& c : cases) {
        TSettings s = NoFit();
        for (auto [letter, flag] : flags) s.*flag = std::string(c.flags).find(letter) != std::string::npos;
        s.TargetHeight = c.target != INT_MIN, s.TargetHeightVal = c.target;
        TFitInput in;
        in.Width = c.w, in.Height = c.h, in.Rotation = TRotation(c.rotation), in.ImageType = TPageCacheType(c.type);
        in.ClientWidth = c.clientW, in.ClientHeight = c.clientH;
        TFitResult out;
        const std::vector<int> got = ComputeFit(in, s, out) ? std::vector<int>{out.Width, out.Height, out.FinalRotation} : std::vector<int>{};
        const std::vector<int> want = c.expectW ? std::vector<int>{c.expectW, c.expectH, c.expectR} : std::vector<int>{};
        EXPECT_EQ(got, want) << "'" << c.flags << "' " << c.w << "x" << c.h << " type " << c.type << " in " << c.clientW << "x" << c.clientH;
    }
}

class ProcessbmpPage : public ::testing::Test {
protected:
    void SetUp() override {
        settings_ = NoFit();
        settings_.Balance = settings_.FixYellowing = false;
        SetPageSettings(&settings_);
        SetMainClientSize(1024, 768);
    }
    void TearDown() override {
        SetPageSettings(nullptr);
        SetMainClientSize(1024, 768);
    }
    void Load(TProcessBMP& page, const std::string& bytes) {
        TMemoryStream s = test::StreamOf(bytes);
        page.LoadFromStream(&s);
    }
    TSettings settings_;
};

TEST_F(ProcessbmpPage, TheChainRunsInOrderWithItsSettings) {
    // Every step changes the page, so a step out of order or a setting given to the wrong
    // parameter shows in the bytes.
    TSettings& s = settings_;
    s.Balance = s.FixYellowing = s.FixEdgeYellowing = s.FixInternalYellowing = s.Fit = s.GammaCorrect = true;
    s.DiscardsPer1000 = 7, s.GammaCorrection = 180;
    s.YellowingRedThreshold = 180, s.YellowingGreenThreshold = 160, s.YellowingBlueThreshold = 120;
    s.YellowingGreenBoost = 12, s.YellowingBlueBoost = 25;
    s.EdgeYellowingRedThreshold = 190, s.EdgeYellowingGreenThreshold = 140, s.EdgeYellowingBlueThreshold = 110;
    s.EdgeYellowingRedBoost = 250, s.EdgeYellowingGreenBoost = 245, s.EdgeYellowingBlueBoost = 235;
    // Paper with a ringed balloon, white and black pixels (the 50 black ones within the discards),
    // a block that yellowing lifts but filling leaves, and a gradient.
    TBitmap source = test::SolidPage(120, 180, 200, 185, 140);
    for (int y = 0; y < 180; ++y)
        for (int x = 0; x < 120; ++x) {
            const bool ring = x >= 30 && x < 70 && y >= 40 && y < 90, inside = x > 31 && x < 68 && y > 41 && y < 88;
            if (ring && !inside) SetPixel(source, x, y, 20, 20, 20);
            else if (y >= 10 && y < 12 && x >= 10 && x < 110) SetPixel(source, x, y, 255, 255, 255);
            else if (y == 12 && x >= 10 && x < 60) SetPixel(source, x, y, 0, 0, 0);
            else if (y >= 100 && y < 116 && x >= 80 && x < 110) SetPixel(source, x, y, 192, 182, 145);
            else if (y > 120) SetPixel(source, x, y, uint8_t(x * 2), uint8_t(y), 90);
        }
    TPageBMP expected("c.bmp");
    TProcessBMP page("c.bmp", rtRight);
    expected.Assign(source), page.Assign(source);
    // Turned right it shows as 180 x 120, fitted by width to 1024 x 682: stretched to 682 x 1024, then turned.
    ASSERT_TRUE(expected.Balance(7) && expected.ReduceYellowing(180, 160, 120, 12, 25) &&
                expected.ReduceYellowingByFilling(true, 190, 140, 110, 250, 245, 235) && expected.Stretch(682, 1024) &&
                expected.RotateBitmapRight() && expected.GammaCorrect(180));
    page.ProcessBitmap();
    EXPECT_TRUE(page.Processed && page.YellowingReduced && page.AreaFilled && SameBytes(page, expected));
    EXPECT_EQ(std::vector<int>({page.BalanceFactor, page.ScalePercent, page.GammaApplied}),
              std::vector<int>({expected.BalanceFactor, expected.ScalePercent, 180}));
}

TEST_F(ProcessbmpPage, UnprocessedErrorAndEmptyPages) {
    settings_.Fit = settings_.GammaCorrect = true;
    TProcessBMP raw("a.bmp", rtRight), bad("bad.bmp", rtRight), empty("a.txt", rtNone);
    raw.ImageType = ctUnprocessed;  // as decoded
    Load(raw, test::SolidBmp(100, 150, 0x404040));
    EXPECT_TRUE(raw.Processed && raw.Width() == 100 && raw.Height() == 150 && raw.GammaApplied == 0);
    EXPECT_EQ(raw.Pixel(5, 5), 0x00404040u);
    // A failed load skips the colour steps but is fitted and turned: 400 x 600 turned right
    // shows as 600 x 400, fitted by width to 1024 x 682.
    Load(bad, "not a bitmap");
    EXPECT_TRUE(bad.LoadError && bad.Processed && bad.Width() == 1024 && bad.Height() == 682 && bad.GammaApplied == 0);
    Load(empty, "text");  // no pixels to fit: the error page
    EXPECT_TRUE(empty.Processed && empty.Width() == 400 && empty.Height() == 600);
}

TEST_F(ProcessbmpPage, APageDecodedAsTheProgramEndsIsDroppedNotProcessed) {
    settings_.Balance = settings_.GammaCorrect = true;
    TBitmap source = test::SolidPage(3000, 2000, 200, 150, 90);
    SetPixel(source, 5, 5, 0, 0, 0);
    TProcessBMP page("big.bmp", rtRight);
    page.Assign(source);
    RequestStop();
    page.ProcessBitmap();
    RequestStop(false);
    EXPECT_TRUE(page.Processed && page.LoadError);
    EXPECT_EQ(std::vector<int>({page.Width(), page.Height(), int(page.ByteSize()), page.BalanceFactor, page.GammaApplied}),
              std::vector<int>({0, 0, 0, 100, 0}))
        << "its pixels gone and no error page made: no step ran on the large page";
}

TEST_F(ProcessbmpPage, ResizeAndRotateAndTheWindowSizeAtProcessing) {
    TProcessBMP page("a.bmp", rtNone), a("a.bmp", rtNone), b("b.bmp", rtNone);
    ASSERT_TRUE(page.SetSize(100, 50, TPixelFormat::pf24bit));
    EXPECT_FALSE(page.ResizeAndRotate(50, 60, rtNone) || page.ResizeAndRotate(150, 40, rtRight)) << "opposite directions";
    EXPECT_EQ(std::pair(page.Width(), page.Height()), std::pair(100, 50));
    EXPECT_TRUE(page.ResizeAndRotate(100, 60, rtLeft));  // only the height differs: just turned
    EXPECT_EQ(std::pair(page.Width(), page.Height()), std::pair(50, 100));
    EXPECT_TRUE(page.ResizeAndRotate(100, 200, rtUpsideDown));
    EXPECT_EQ(std::pair(page.Width(), page.Height()), std::pair(100, 200));
    settings_.FitWidth = true;
    Load(a, test::SolidBmp(100, 100));
    SetMainClientSize(300, 200);
    Load(b, test::SolidBmp(100, 100));
    EXPECT_EQ(std::vector<int>({a.Width(), b.Width(), b.ScalePercent}), std::vector<int>({1024, 300, 300}));
}

TEST_F(ProcessbmpPage, ColourStepsRidingWithTheFitGiveTheBytesOfTheStepsOneByOne) {
    // A white page (the yellowing skipped), a pale one (balance declines), a tiny one (no
    // white test), and comic pages fitted down, up, not at all and turned; thresholds at
    // their ends. Each is run as the chain does and one step at a time.
    TBitmap white = test::ComicPage(200, 300, 4);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 200; ++x)
            if (y % 3) SetPixel(white, x, y, 255, 253, 252);
    struct Case {
        const char* name;
        TBitmap page;
        bool balance, yellowing, gamma;
        const char* fit;  // w: width, f: whole, "": none
        TRotation rotation;
        int client, discards, rt, gt, bt, gb, bb;
    };
    const Case cases[] = {
        {"defaults, fitted down", test::ComicPage(320, 480, 1), true, true, false, "w", rtNone, 256, 5, 235, 220, 127, 10, 20},
        {"fitted up, turned, gamma", test::ComicPage(120, 90, 2), true, true, true, "f", rtRight, 400, 9, 200, 150, 100, 30, 40},
        {"not fitted", test::ComicPage(150, 210, 3), true, true, false, "", rtUpsideDown, 400, 5, 235, 220, 127, 10, 20},
        {"white page", white, true, true, false, "w", rtNone, 150, 5, 235, 220, 127, 10, 20},
        {"pale page", test::NoisePage(90, 130, 7, 150, 200), true, true, false, "w", rtLeft, 60, 5, 160, 160, 160, 200, 300},
        {"balance only", test::ComicPage(200, 100, 5), true, false, false, "w", rtNone, 150, 0, 0, 0, 0, 0, 0},
        {"yellowing only", test::ComicPage(64, 96, 6), false, true, false, "f", rtNone, 500, 5, -7, 300, 127, -3, 20},
        {"every channel passes", test::ComicPage(64, 96, 8), true, true, false, "w", rtNone, 50, 999, -1, -1, -1, 255, 255},
        {"tiny", test::ComicPage(30, 36, 9), true, true, false, "w", rtNone, 20, 5, 200, 180, 100, 10, 20},
    };
    for (int level : {2, 1, 0})
    for (const Case& c : cases) {
        pageops::UseVectorKernels(level > 0);
        pageops::UseWidestKernels(level > 1);
        SCOPED_TRACE(level == 2 ? "widest kernels" : level == 1 ? "AVX2 kernels" : "plain loops");
        TSettings& s = settings_;
        s = NoFit();
        s.Balance = c.balance, s.FixYellowing = c.yellowing, s.GammaCorrect = c.gamma, s.GammaCorrection = 160;
        s.FitWidth = std::string(c.fit) == "w", s.Fit = std::string(c.fit) == "f";
        s.DiscardsPer1000 = c.discards;
        s.YellowingRedThreshold = c.rt, s.YellowingGreenThreshold = c.gt, s.YellowingBlueThreshold = c.bt;
        s.YellowingGreenBoost = c.gb, s.YellowingBlueBoost = c.bb;
        SetMainClientSize(c.client, c.client * 3 / 4);
        TProcessBMP chain("c.bmp", c.rotation), steps("c.bmp", c.rotation);
        chain.Assign(c.page), steps.Assign(c.page);
        chain.ProcessBitmap();
        if (c.balance) steps.Balance(c.discards);
        if (c.yellowing) steps.ReduceYellowing(c.rt, c.gt, c.bt, c.gb, c.bb);
        ASSERT_TRUE(steps.SetBitmapSize()) << c.name;
        if (c.gamma) steps.GammaCorrect(160);
        EXPECT_TRUE(SameBytes(chain, steps)) << c.name;
        EXPECT_EQ(std::vector<int>({chain.BalanceFactor, chain.YellowingReduced, chain.ScalePercent, chain.GammaApplied}),
                  std::vector<int>({steps.BalanceFactor, steps.YellowingReduced, steps.ScalePercent, steps.GammaApplied}))
            << c.name;

        // The map alone, and resampling through it, against the steps on the bare page.
        pageops::TColourMap map;
        ASSERT_TRUE(pageops::PlanColourMap(c.page, c.balance, c.discards, c.yellowing, c.rt, c.gt, c.bt, c.gb, c.bb, map));
        TBitmap mapped = c.page, stepped = c.page, resampled = c.page;
        int32_t factor = 100;
        bool reduced = false;
        if (c.balance) Balance(stepped, c.discards, factor);
        if (c.yellowing) ReduceYellowing(stepped, c.rt, c.gt, c.bt, c.gb, c.bb, reduced);
        EXPECT_TRUE(pageops::ApplyColourMap(mapped, map) && SameBytes(mapped, stepped)) << c.name;
        EXPECT_EQ(std::pair(map.YellowingReduced, map.Balanced ? map.BalanceFactor : 100), std::pair(reduced, factor)) << c.name;
        ASSERT_TRUE(pageops::LanczosStretchMapped(resampled, 77, 101, &map) && LanczosStretch(stepped, 77, 101));
        EXPECT_TRUE(SameBytes(resampled, stepped)) << c.name;
    }
    pageops::UseVectorKernels(true);
    pageops::UseWidestKernels(true);
}

// ---- The page cache ----

class PageCache : public ::testing::Test {
protected:
    void SetUp() override { TearDown(); }
    void TearDown() override {
        TBufferedPage::ClearList();
        TBufferedPage::SetPageLimit(5);
        TBufferedPage::SetUnprocessedLimit(2);
    }
    static TBufferedPagePtr Make(int page, int type = ctDisplay, int gen = 0) {
        return TBufferedPage::Create(page, rtNone, gen, TPageCacheType(type), "p" + std::to_string(page) + ".bmp");
    }
    static std::vector<int> Pages() {  // page numbers, newest first
        std::vector<int> r;
        for (auto& p : TBufferedPage::Pages()) r.push_back(p->PageNo * 100 + p->ImageType);
        return r;
    }
};

TEST_F(PageCache, LeastRecentlyUsedIsEvictedAtTheLimit) {
    TBufferedPage::SetPageLimit(3);
    auto a = Make(0), b = Make(1), c = Make(2);
    EXPECT_EQ(Pages(), (std::vector<int>{201, 101, 1}));
    EXPECT_EQ(std::vector<uint32_t>({a->Lru, b->Lru, c->Lru}), std::vector<uint32_t>({1, 2, 3}));
    for (auto* p : {&a, &b, &b, &b, &c, &c}) TBufferedPage::Used(**p);  // stamps 4, 7 and 9
    EXPECT_EQ(std::vector<uint32_t>({a->Lru, b->Lru, c->Lru}), std::vector<uint32_t>({4, 7, 9}));
    auto d = Make(3);
    EXPECT_EQ(Pages(), (std::vector<int>{301, 201, 101}));
    EXPECT_EQ(a->PageNo, 0) << "whoever still holds the evicted page can use it";
    b->Lru = c->Lru = 5;  // on equal stamps the page nearer the head, the newer link, goes
    ASSERT_TRUE(TBufferedPage::DeleteLeastRecentlyUsed(ctDisplay));
    EXPECT_EQ(Pages(), (std::vector<int>{301, 101}));
}

TEST_F(PageCache, LocksAndLimitsOfEachKind) {
    TBufferedPage::SetPageLimit(2);
    auto a = Make(0), b = Make(1);
    TBufferedPage::LockBitmap(*a), TBufferedPage::LockBitmap(*b);
    auto c = Make(2);  // locked pages hold the count beyond the limit
    TBufferedPage::LockBitmap(*c);
    EXPECT_EQ(TBufferedPage::Count(), 3);
    EXPECT_FALSE(TBufferedPage::DeleteLeastRecentlyUsed(ctDisplay) || TBufferedPage::DeleteLeastRecentlyUsed(ctZoomWhole));
    auto z = Make(0, ctZoomDouble), w = Make(0, ctZoomWhole);
    TBufferedPage::LockBitmap(*z), TBufferedPage::LockBitmap(*w);
    TBufferedPage::UnlockBitmaps(ctZoomDouble | ctZoomWhole);
    EXPECT_TRUE(a->Locked && c->Locked && !z->Locked && !w->Locked);
    TBufferedPage::UnlockBitmaps(ctDisplay);
    auto d = Make(3);  // evicts down to the limit again
    EXPECT_EQ(TBufferedPage::InList(ctDisplay), 2);
    TBufferedPage::SetPageLimit(0);  // 0 evicts everything unlocked, then stops
    TBufferedPage::LockBitmap(*d);
    auto e = Make(4), z2 = Make(1, ctZoomDouble), w2 = Make(2, ctZoomWhole);  // zoom pages share one limit of 2
    TBufferedPage::SetUnprocessedLimit(1);
    auto u1 = Make(0, ctUnprocessed), u2 = Make(1, ctUnprocessed), o1 = Make(0, 16), o2 = Make(1, 16), o3 = Make(2, 16);
    EXPECT_EQ(Pages(), (std::vector<int>{216, 116, 102, 208, 104, 401, 301})) << "any other code: 2 under its own mask";
}

TEST_F(PageCache, AvailableNeedsAnExactMatchAndRefreshesTheStamp) {
    auto a = Make(4, ctDisplay, 7), b = Make(4, ctZoomDouble, 7);
    EXPECT_FALSE(TBufferedPage::Available(4, ctDisplay, 6) || TBufferedPage::Available(4, ctDisplay | ctZoomDouble, 7) ||
                 TBufferedPage::Available(5, ctDisplay, 7)) << "another generation; no masks; another page";
    const uint32_t before = TBufferedPage::LruCounter();
    EXPECT_EQ(TBufferedPage::Available(4, ctDisplay, 7), a);
    EXPECT_EQ(a->Lru, before);
    EXPECT_EQ(TBufferedPage::Available(4, ctZoomDouble, 7), b);
    EXPECT_EQ(TBufferedPage::Available(4, ctDisplay, 7), Make(4, ctDisplay, 7)) << "the newest of two";
}

TEST_F(PageCache, ClearingLeavesPagesHeldElsewhereIntact) {
    auto shown = Make(3), other = Make(4);
    shown->SetSize(10, 20, TPixelFormat::pf24bit);
    TBufferedPage::UnLink(shown.get());
    TBufferedPage::UnLink(shown.get());  // not in the cache: nothing happens
    EXPECT_EQ(TBufferedPage::Count() * 10 + TBufferedPage::LruCounter(), 13u);
    TBufferedPage::UnLink(other.get());
    EXPECT_EQ(TBufferedPage::LruCounter(), 1u) << "stamps start again when the cache empties";
    TBufferedPage::Link(shown);
    std::weak_ptr<TBufferedPage> dropped = Make(5);
    TBufferedPage::ClearList();
    EXPECT_TRUE(TBufferedPage::Count() == 0 && dropped.expired());
    EXPECT_TRUE(shown->Width() == 10 && shown->PageNo == 3) << "still a valid page for the window";
}

}  // namespace
}  // namespace vellicor

#include "pages/Processbmp.h"

#include <gtest/gtest.h>

#include <climits>

#include "EngineTestSupport.h"
#include "pages/BuffPage.h"
#include "pages/PageSettings.h"
#include "pages/Utilsunit.h"
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

struct FitCase {
    const char* what;
    std::function<void(TSettings&)> set;
    int w, h;
    TPageCacheType type;
    TRotation rotation;
    int clientW, clientH;
    int expectW, expectH;  // 0: no size (the page becomes the error page)
    TRotation expectR = rtNone;
};

TEST(ProcessbmpFit, RulesOnTheExamples) {
    auto on = [](bool TSettings::*flag) { return [flag](TSettings& s) { s.*flag = true; }; };
    auto both = [](bool TSettings::*a, bool TSettings::*b) { return [a, b](TSettings& s) { s.*a = s.*b = true; }; };
    auto target = [](int v) { return [v](TSettings& s) { s.TargetHeight = true, s.TargetHeightVal = v; }; };
    const FitCase cases[] = {
        {"Fit: SA 75, PA 150, by height", on(&TSettings::Fit), 1000, 1500, ctDisplay, rtNone, 1024, 768, 512, 768},
        {"Fit: SA 75 > PA 50, by width", on(&TSettings::Fit), 2000, 1000, ctDisplay, rtNone, 1024, 768, 1024, 512},
        {"Fit enlarges", on(&TSettings::Fit), 100, 150, ctDisplay, rtNone, 1024, 768, 512, 768},
        {"Fit: a spread by height", both(&TSettings::Fit, &TSettings::SuppressFitWidthDoublePages), 2000, 1000,
         ctDisplay, rtNone, 1024, 768, 1536, 768},
        {"FitIfOversize: small", on(&TSettings::FitIfOversize), 1000, 700, ctDisplay, rtNone, 1024, 768, 1000, 700},
        {"FitIfOversize: tall", on(&TSettings::FitIfOversize), 1000, 1500, ctDisplay, rtNone, 1024, 768, 512, 768},
        {"FitIfOversize: wide", on(&TSettings::FitIfOversize), 1100, 500, ctDisplay, rtNone, 1024, 768, 1024, 465},
        {"TwoPages: SW 512, SA 150 = PA", on(&TSettings::TwoPages), 1000, 1500, ctDisplay, rtNone, 1024, 768, 512, 768},
        {"TwoPages: a wide page keeps SW", on(&TSettings::TwoPages), 2000, 1500, ctDisplay, rtNone, 1024, 768, 1024, 768},
        {"FitWidth", on(&TSettings::FitWidth), 500, 1000, ctDisplay, rtNone, 1024, 768, 1024, 2048},
        {"FitWidth: spread kept, 1800 <= 2048", both(&TSettings::FitWidth, &TSettings::SuppressFitWidthDoublePages),
         1800, 1200, ctDisplay, rtNone, 1024, 768, 1800, 1200},
        {"FitWidth: spread to two widths", both(&TSettings::FitWidth, &TSettings::SuppressFitWidthDoublePages), 3000,
         1000, ctDisplay, rtNone, 1024, 768, 2048, 682},
        {"FitWidthIfOversize: narrow", on(&TSettings::FitWidthIfOversize), 800, 3000, ctDisplay, rtNone, 1024, 768, 800, 3000},
        {"FitWidthIfOversize: wide", on(&TSettings::FitWidthIfOversize), 2048, 100, ctDisplay, rtNone, 1024, 768, 1024, 50},
        {"FitHeight", on(&TSettings::FitHeight), 100, 384, ctDisplay, rtNone, 1024, 768, 200, 768},
        {"FitHeightIfOversize: low", on(&TSettings::FitHeightIfOversize), 100, 384, ctDisplay, rtNone, 1024, 768, 100, 384},
        {"FitHeightIfOversize: tall", on(&TSettings::FitHeightIfOversize), 3000, 1536, ctDisplay, rtNone, 1024, 768, 1500, 768},
        {"TargetHeight 1200", target(1200), 800, 1000, ctDisplay, rtNone, 1024, 768, 960, 1200},
        {"no rule", [](TSettings&) {}, 5000, 7000, ctDisplay, rtNone, 1024, 768, 5000, 7000},
        {"zoom doubled: no resampling", on(&TSettings::FitWidth), 2000, 3000, ctZoomDouble, rtNone, 1000, 768, 2000, 3000},
        {"zoom doubled", [](TSettings&) {}, 100, 150, ctZoomDouble, rtNone, 1024, 768, 200, 300},
        {"whole-page zoom ignores the settings", [](TSettings&) {}, 1000, 1500, ctZoomWhole, rtNone, 1024, 768, 512, 768},
        {"RotateLeft: the window's height serves as its width", both(&TSettings::RotateLeft, &TSettings::FitWidth), 1000, 1500, ctDisplay, rtNone,
         1024, 768, 768, 1152, rtLeft},
        {"RotateLeft turns a right page back", on(&TSettings::RotateLeft), 10, 10, ctDisplay, rtRight, 1024, 768, 10, 10},
        {"RotateRight turns a left page back", on(&TSettings::RotateRight), 10, 10, ctDisplay, rtLeft, 1024, 768, 10, 10},
        {"RotateRight after upside down", on(&TSettings::RotateRight), 10, 10, ctDisplay, rtUpsideDown, 1024, 768, 10,
         10, rtLeft},
        {"a sideways page is fitted as shown", on(&TSettings::Fit), 1500, 1000, ctDisplay, rtRight, 1024, 768, 768, 512,
         rtRight},
        // Nothing to fit is never a division by zero.
        {"zero width", on(&TSettings::Fit), 0, 100, ctDisplay, rtNone, 1024, 768, 0, 0},
        {"zero height", on(&TSettings::Fit), 100, 0, ctDisplay, rtNone, 1024, 768, 0, 0},
        {"minimised window", on(&TSettings::Fit), 100, 150, ctDisplay, rtNone, 0, 0, 100, 150},
        {"two pages in a window 1 wide", on(&TSettings::TwoPages), 100, 150, ctDisplay, rtNone, 1, 768, 100, 150},
        {"negative client width", on(&TSettings::FitWidth), 100, 150, ctDisplay, rtNone, -5, 768, 100, 150},
        {"target height in a minimised window", target(900), 100, 150, ctDisplay, rtNone, 0, 0, 600, 900},
        // Hostile settings give no size instead of overflowing.
        {"target height 0", target(0), 100, 150, ctDisplay, rtNone, 1024, 768, 0, 0},
        {"target height negative", target(-40), 100, 150, ctDisplay, rtNone, 1024, 768, 0, 0},
        {"target height INT_MAX", target(INT_MAX), 3000, 10, ctDisplay, rtNone, 1024, 768, 0, 0},
        {"doubled beyond int", on(&TSettings::FitHeight), INT_MAX, 1, ctZoomDouble, rtNone, 1024, INT_MAX, 0, 0},
    };
    for (const auto& c : cases) {
        TSettings s = NoFit();
        c.set(s);
        TFitInput in;
        in.Width = c.w, in.Height = c.h, in.Rotation = c.rotation, in.ImageType = c.type;
        in.ClientWidth = c.clientW, in.ClientHeight = c.clientH;
        TFitResult out;
        const bool ok = ComputeFit(in, s, out);
        EXPECT_EQ(ok, c.expectW > 0) << c.what;
        if (!ok) continue;
        EXPECT_EQ(std::make_pair(out.Width, out.Height), std::make_pair(c.expectW, c.expectH)) << c.what;
        EXPECT_EQ(out.FinalRotation, c.expectR) << c.what;
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
    // Every step changes the page, so a step out of order or a setting passed to the wrong
    // parameter shows in the bytes.
    TSettings& s = settings_;
    s.Balance = true, s.DiscardsPer1000 = 7;
    s.FixYellowing = true, s.YellowingRedThreshold = 180, s.YellowingGreenThreshold = 160;
    s.YellowingBlueThreshold = 120, s.YellowingGreenBoost = 12, s.YellowingBlueBoost = 25;
    s.FixEdgeYellowing = s.FixInternalYellowing = true;
    s.EdgeYellowingRedThreshold = 190, s.EdgeYellowingGreenThreshold = 140, s.EdgeYellowingBlueThreshold = 110;
    s.EdgeYellowingRedBoost = 250, s.EdgeYellowingGreenBoost = 245, s.EdgeYellowingBlueBoost = 235;
    s.Fit = true, s.GammaCorrect = true, s.GammaCorrection = 180;
    // Paper with a ringed balloon, a few white and black pixels (50 clipped by the discards,
    // 200 not), a block that yellowing lifts but filling leaves, and a gradient.
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
    expected.Assign(source);
    ASSERT_TRUE(expected.Balance(7) && expected.ReduceYellowing(180, 160, 120, 12, 25) &&
                expected.ReduceYellowingByFilling(true, 190, 140, 110, 250, 245, 235));
    // Turned right: 180 x 120 as shown, fitted by width to 1024 x 682, stretched before turning.
    ASSERT_TRUE(expected.Stretch(682, 1024) && expected.RotateBitmapRight() && expected.GammaCorrect(180));
    TProcessBMP page("c.bmp", rtRight);
    page.Assign(source);
    page.ProcessBitmap();
    EXPECT_TRUE(page.Processed);
    EXPECT_TRUE(SameBytes(page, expected));
    EXPECT_EQ(page.BalanceFactor, expected.BalanceFactor);
    EXPECT_EQ(page.ScalePercent, expected.ScalePercent);
    EXPECT_TRUE(page.YellowingReduced && page.AreaFilled);
    EXPECT_EQ(page.GammaApplied, 180);
}

TEST_F(ProcessbmpPage, UnprocessedErrorAndEmptyPages) {
    settings_.Fit = settings_.GammaCorrect = true;
    TProcessBMP raw("a.bmp", rtRight);  // type 2: as decoded
    raw.ImageType = ctUnprocessed;
    Load(raw, test::SolidBmp(100, 150, 0x404040));
    EXPECT_TRUE(raw.Processed);
    EXPECT_EQ(raw.Width() * 1000 + raw.Height(), 100150);
    EXPECT_EQ(raw.GammaApplied, 0);
    EXPECT_EQ(raw.Pixel(5, 5), 0x00404040u);

    // A failed load skips the colour steps but is fitted and turned: 400 x 600 turned
    // right is 600 x 400, fitted by width to 1024 x 682.
    TProcessBMP bad("bad.bmp", rtRight);
    Load(bad, "not a bitmap");
    EXPECT_TRUE(bad.LoadError && bad.Processed);
    EXPECT_EQ(bad.Width() * 1000 + bad.Height(), 1024682);
    EXPECT_EQ(bad.GammaApplied, 0);

    TProcessBMP empty("a.txt", rtNone);  // no pixels to fit: the error page
    Load(empty, "text");
    EXPECT_EQ(empty.Width() * 1000 + empty.Height(), 400600);
    EXPECT_TRUE(empty.Processed);
}

TEST_F(ProcessbmpPage, ResizeAndRotateAndTheWindowSizeAtProcessing) {
    TProcessBMP page("a.bmp", rtNone);
    ASSERT_TRUE(page.SetSize(100, 50, TPixelFormat::pf24bit));
    EXPECT_FALSE(page.ResizeAndRotate(50, 60, rtNone));  // opposite directions: refused
    EXPECT_FALSE(page.ResizeAndRotate(150, 40, rtRight));
    EXPECT_EQ(page.Width() * 1000 + page.Height(), 100050);
    EXPECT_TRUE(page.ResizeAndRotate(100, 60, rtLeft));  // only the height differs: just turned
    EXPECT_EQ(page.Width() * 1000 + page.Height(), 50100);
    EXPECT_TRUE(page.ResizeAndRotate(100, 200, rtUpsideDown));
    EXPECT_EQ(page.Width() * 1000 + page.Height(), 100200);

    settings_.FitWidth = true;
    TProcessBMP a("a.bmp", rtNone), b("b.bmp", rtNone);
    Load(a, test::SolidBmp(100, 100));
    SetMainClientSize(300, 200);
    Load(b, test::SolidBmp(100, 100));
    EXPECT_EQ(a.Width(), 1024);
    EXPECT_EQ(b.Width(), 300);
    EXPECT_EQ(b.ScalePercent, 300);
}

// ---- The page cache ----

class PageCache : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        TBufferedPage::ClearList();
        TBufferedPage::SetPageLimit(5);
        TBufferedPage::SetUnprocessedLimit(2);
    }
    static TBufferedPagePtr Make(int page, TPageCacheType type = ctDisplay, int gen = 0) {
        return TBufferedPage::Create(page, rtNone, gen, type, "p" + std::to_string(page) + ".bmp");
    }
    static std::vector<int> PageNumbers() {
        std::vector<int> r;
        for (auto& p : TBufferedPage::Pages()) r.push_back(p->PageNo);
        return r;
    }
};

TEST_F(PageCache, LeastRecentlyUsedIsEvictedAtTheLimit) {
    TBufferedPage::SetPageLimit(3);
    auto a = Make(0), b = Make(1), c = Make(2);
    EXPECT_EQ(PageNumbers(), (std::vector<int>{2, 1, 0}));  // newest first, stamps 1, 2, 3
    EXPECT_EQ(a->Lru + b->Lru * 10 + c->Lru * 100, 321u);
    TBufferedPage::Used(*a);  // stamps 4, 7 and 9
    for (int i = 0; i < 3; ++i) TBufferedPage::Used(*b);
    for (int i = 0; i < 2; ++i) TBufferedPage::Used(*c);
    ASSERT_EQ(a->Lru * 100 + b->Lru * 10 + c->Lru, 479u);
    auto d = Make(3);
    EXPECT_EQ(PageNumbers(), (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(a->PageNo, 0) << "whoever still holds the evicted page can use it";
    // On equal stamps the page nearer the head (the newer link) goes.
    b->Lru = c->Lru = 5;
    ASSERT_TRUE(TBufferedPage::DeleteLeastRecentlyUsed(ctDisplay));
    EXPECT_EQ(PageNumbers(), (std::vector<int>{3, 1}));
}

TEST_F(PageCache, LocksHoldPagesBeyondTheLimit) {
    TBufferedPage::SetPageLimit(2);
    auto a = Make(0), b = Make(1);
    TBufferedPage::LockBitmap(*a);
    TBufferedPage::LockBitmap(*b);
    auto c = Make(2);
    EXPECT_EQ(TBufferedPage::Count(), 3);
    TBufferedPage::LockBitmap(*c);
    EXPECT_FALSE(TBufferedPage::DeleteLeastRecentlyUsed(ctDisplay)) << "all locked";
    EXPECT_FALSE(TBufferedPage::DeleteLeastRecentlyUsed(ctZoomWhole)) << "none of the kind";
    auto z = Make(0, ctZoomDouble), w = Make(0, ctZoomWhole);
    TBufferedPage::LockBitmap(*z), TBufferedPage::LockBitmap(*w);
    TBufferedPage::UnlockBitmaps(ctZoomDouble | ctZoomWhole);
    EXPECT_TRUE(a->Locked && c->Locked);
    EXPECT_FALSE(z->Locked || w->Locked);
    TBufferedPage::UnlockBitmaps(ctDisplay);
    auto d = Make(3);  // evicts down to the limit again
    EXPECT_EQ(TBufferedPage::InList(ctDisplay), 2);
    TBufferedPage::SetPageLimit(0);  // a limit of 0 evicts everything unlocked and stops
    TBufferedPage::LockBitmap(*d);
    auto e = Make(4);
    EXPECT_EQ(PageNumbers(), (std::vector<int>{4, 3, 0, 0}));
}

TEST_F(PageCache, EachKindHasItsLimit) {
    auto z1 = Make(0, ctZoomDouble), z2 = Make(1, ctZoomDouble), d = Make(5), w = Make(2, ctZoomWhole);
    EXPECT_FALSE(TBufferedPage::InCache(z1.get())) << "zoom pages share one limit of two";
    EXPECT_TRUE(TBufferedPage::InCache(z2.get()) && TBufferedPage::InCache(w.get()) && TBufferedPage::InCache(d.get()));
    TBufferedPage::SetUnprocessedLimit(1);
    auto u1 = Make(0, ctUnprocessed), u2 = Make(1, ctUnprocessed);
    EXPECT_EQ(TBufferedPage::InList(ctUnprocessed), 1);
    EXPECT_TRUE(TBufferedPage::InCache(u2.get()));
    auto o1 = Make(0, TPageCacheType(16)), o2 = Make(1, TPageCacheType(16)), o3 = Make(2, TPageCacheType(16));
    EXPECT_EQ(TBufferedPage::InList(16), 2) << "any other code: 2 under its own mask";
    EXPECT_FALSE(TBufferedPage::InCache(o1.get()));
}

TEST_F(PageCache, AvailableNeedsAnExactMatchAndRefreshesTheStamp) {
    auto a = Make(4, ctDisplay, 7), b = Make(4, ctZoomDouble, 7);
    EXPECT_EQ(TBufferedPage::Available(4, ctDisplay, 6), nullptr);  // another generation
    EXPECT_EQ(TBufferedPage::Available(4, ctDisplay | ctZoomDouble, 7), nullptr);  // no masks
    EXPECT_EQ(TBufferedPage::Available(5, ctDisplay, 7), nullptr);
    const uint32_t before = TBufferedPage::LruCounter();
    EXPECT_EQ(TBufferedPage::Available(4, ctDisplay, 7), a);
    EXPECT_EQ(a->Lru, before);
    EXPECT_EQ(TBufferedPage::Available(4, ctZoomDouble, 7), b);
    auto newer = Make(4, ctDisplay, 7);
    EXPECT_EQ(TBufferedPage::Available(4, ctDisplay, 7), newer);
}

TEST_F(PageCache, ClearingLeavesPagesHeldElsewhereIntact) {
    auto shown = Make(3), other = Make(4);
    shown->SetSize(10, 20, TPixelFormat::pf24bit);
    TBufferedPage::UnLink(shown.get());
    EXPECT_EQ(TBufferedPage::LruCounter(), 3u);
    TBufferedPage::UnLink(shown.get());  // not in the cache: nothing happens
    EXPECT_EQ(TBufferedPage::Count(), 1);
    TBufferedPage::UnLink(other.get());
    EXPECT_EQ(TBufferedPage::LruCounter(), 1u) << "stamps start again when the cache empties";
    TBufferedPage::Link(shown);
    std::weak_ptr<TBufferedPage> dropped = Make(5);
    TBufferedPage::ClearList();
    EXPECT_EQ(TBufferedPage::Count(), 0);
    EXPECT_TRUE(dropped.expired());
    EXPECT_EQ(shown->Width() * 100 + shown->PageNo, 1003) << "still a valid page for the window";
}

}  // namespace
}  // namespace vellicor

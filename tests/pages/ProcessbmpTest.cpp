#include "pages/Processbmp.h"

#include <gtest/gtest.h>

#include <climits>

#include "pages/EngineTestSupport.h"
#include "pages/PageSettings.h"
#include "pages/Utilsunit.h"
#include "settings/Configuration.h"

namespace vellicor {
namespace {

// Every fit setting off: the tests switch on what they need.
TSettings NoFit() {
    TSettings s{};
    s.FitWidthIfOversize = false;
    s.SuppressFitWidthDoublePages = false;
    return s;
}

struct Fit {
    int w, h;
    TRotation r;
    bool ok;
};

Fit Compute(const TSettings& s, int w, int h, TPageCacheType type = ctDisplay, TRotation rot = rtNone,
            int cw = 1024, int ch = 768) {
    TFitInput in;
    in.Width = w;
    in.Height = h;
    in.Rotation = rot;
    in.ImageType = type;
    in.ClientWidth = cw;
    in.ClientHeight = ch;
    TFitResult out;
    bool ok = ComputeFit(in, s, out);
    return {out.Width, out.Height, out.FinalRotation, ok};
}

#define EXPECT_FIT(f, W, H)      \
    do {                         \
        Fit f_ = (f);            \
        EXPECT_TRUE(f_.ok);      \
        EXPECT_EQ(f_.w, W);      \
        EXPECT_EQ(f_.h, H);      \
    } while (0)

TEST(ProcessbmpFitTest, WholePageFit) {
    TSettings s = NoFit();
    s.Fit = true;
    EXPECT_FIT(Compute(s, 1000, 1500), 512, 768);   // SA 75, PA 150: by height
    EXPECT_FIT(Compute(s, 2000, 1000), 1024, 512);  // SA 75 > PA 50: by width
    EXPECT_FIT(Compute(s, 100, 150), 512, 768);     // enlarged too
    s.SuppressFitWidthDoublePages = true;
    EXPECT_FIT(Compute(s, 2000, 1000), 1536, 768);  // a spread is fitted by height instead

    s = NoFit();
    s.FitIfOversize = true;
    EXPECT_FIT(Compute(s, 100, 150), 100, 150);
    EXPECT_FIT(Compute(s, 1000, 700), 1000, 700);
    EXPECT_FIT(Compute(s, 1000, 1500), 512, 768);
    EXPECT_FIT(Compute(s, 1100, 500), 1024, 465);
}

TEST(ProcessbmpFitTest, TwoPagesShareTheWindowUnlessThePageIsASpread) {
    TSettings s = NoFit();
    s.TwoPages = true;
    EXPECT_FIT(Compute(s, 1000, 1500), 512, 768);  // SW 512: SA 150 = PA 150, by height
    EXPECT_FIT(Compute(s, 2000, 1500), 1024, 768);  // wide: SW stays 1024, SA 75 = PA 75
}

TEST(ProcessbmpFitTest, WidthFit) {
    TSettings s = NoFit();
    s.FitWidth = true;
    EXPECT_FIT(Compute(s, 500, 1000), 1024, 2048);
    s.SuppressFitWidthDoublePages = true;
    EXPECT_FIT(Compute(s, 1800, 1200), 1800, 1200);  // 1800 <= 2048: kept
    EXPECT_FIT(Compute(s, 3000, 1000), 2048, 682);   // fitted to two window widths

    s = NoFit();
    s.FitWidthIfOversize = true;
    EXPECT_FIT(Compute(s, 800, 3000), 800, 3000);
    EXPECT_FIT(Compute(s, 2048, 100), 1024, 50);
}

TEST(ProcessbmpFitTest, HeightAndTargetHeightFit) {
    TSettings s = NoFit();
    s.FitHeight = true;
    EXPECT_FIT(Compute(s, 1000, 1500), 512, 768);
    EXPECT_FIT(Compute(s, 100, 384), 200, 768);
    s = NoFit();
    s.FitHeightIfOversize = true;
    EXPECT_FIT(Compute(s, 100, 384), 100, 384);
    EXPECT_FIT(Compute(s, 3000, 1536), 1500, 768);
    s = NoFit();
    s.TargetHeight = true;
    s.TargetHeightVal = 1200;
    EXPECT_FIT(Compute(s, 800, 1000), 960, 1200);
    // Without any rule the page keeps its size.
    EXPECT_FIT(Compute(NoFit(), 5000, 7000), 5000, 7000);
}

TEST(ProcessbmpFitTest, ZoomPages) {
    TSettings s = NoFit();
    s.FitWidth = true;
    EXPECT_FIT(Compute(s, 2000, 3000, ctZoomDouble, rtNone, 1000, 768), 2000, 3000);
    // The whole-page zoom ignores the fit settings and is not doubled.
    EXPECT_FIT(Compute(NoFit(), 1000, 1500, ctZoomWhole), 512, 768);
    EXPECT_FIT(Compute(NoFit(), 100, 150, ctZoomDouble), 200, 300);
}

TEST(ProcessbmpFitTest, RotationsTurnThePageAndTheWindow) {
    TSettings s = NoFit();
    s.RotateLeft = true;
    s.FitWidth = true;
    Fit f = Compute(s, 1000, 1500);
    EXPECT_EQ(f.r, rtLeft);
    EXPECT_FIT(f, 768, 1152);  // the window's height serves as its width
    EXPECT_EQ(Compute(s, 10, 10, ctDisplay, rtRight).r, rtNone);
    s.RotateLeft = false;
    s.RotateRight = true;
    EXPECT_EQ(Compute(s, 10, 10, ctDisplay, rtLeft).r, rtNone);
    EXPECT_EQ(Compute(s, 10, 10, ctDisplay, rtUpsideDown).r, rtLeft);
    EXPECT_EQ(Compute(NoFit(), 10, 10, ctDisplay, rtUpsideDown).r, rtUpsideDown);

    // A sideways page is fitted as it will be shown; the size is given before turning.
    s = NoFit();
    s.Fit = true;
    Fit g = Compute(s, 1500, 1000, ctDisplay, rtRight);
    EXPECT_EQ(g.r, rtRight);
    EXPECT_FIT(g, 768, 512);
}

TEST(ProcessbmpFitTest, NothingToFitIsNeverADivisionByZero) {
    TSettings s = NoFit();
    s.Fit = true;
    EXPECT_FALSE(Compute(s, 0, 100).ok);
    EXPECT_FALSE(Compute(s, 100, 0).ok);
    // A minimised window: the rules that need its size are passed over.
    EXPECT_FIT(Compute(s, 100, 150, ctDisplay, rtNone, 0, 0), 100, 150);
    s.TwoPages = true;
    EXPECT_FIT(Compute(s, 100, 150, ctDisplay, rtNone, 1, 768), 100, 150);
    s = NoFit();
    s.FitWidth = true;
    EXPECT_FIT(Compute(s, 100, 150, ctDisplay, rtNone, -5, 768), 100, 150);
    s = NoFit();
    s.TargetHeight = true;
    s.TargetHeightVal = 900;
    EXPECT_FIT(Compute(s, 100, 150, ctDisplay, rtNone, 0, 0), 600, 900);
}

TEST(ProcessbmpFitTest, HostileSettingsGiveNoSizeInsteadOfOverflowing) {
    TSettings s = NoFit();
    s.TargetHeight = true;
    s.TargetHeightVal = 0;
    EXPECT_FALSE(Compute(s, 100, 150).ok);
    s.TargetHeightVal = -40;
    EXPECT_FALSE(Compute(s, 100, 150).ok);
    s.TargetHeightVal = INT_MAX;
    EXPECT_FALSE(Compute(s, 3000, 10).ok);
    s = NoFit();
    s.FitHeight = true;
    EXPECT_FALSE(Compute(s, INT_MAX, 1, ctZoomDouble, rtNone, 1024, INT_MAX).ok);
}

class ProcessbmpPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings_ = NoFit();
        settings_.Balance = false;
        settings_.FixYellowing = false;
        SetPageSettings(&settings_);
        SetMainClientSize(1024, 768);
    }
    void TearDown() override { SetPageSettings(nullptr); }
    static std::unique_ptr<TMemoryStream> Stream(const std::string& bytes) {
        auto m = std::make_unique<TMemoryStream>();
        m->Write(bytes.data(), static_cast<int64_t>(bytes.size()));
        m->Seek(0, SeekOrigin::Begin);
        return m;
    }
    TSettings settings_;
};

TEST_F(ProcessbmpPageTest, LoadingProcessesThePage) {
    settings_.Fit = true;
    TProcessBMP page("a.bmp", rtNone);
    EXPECT_FALSE(page.Processed);
    auto s = Stream(test::MakeBmp(100, 150));
    page.LoadFromStream(s.get());
    EXPECT_TRUE(page.Processed);
    EXPECT_EQ(page.DecodedWidth, 100);
    EXPECT_EQ(page.Width(), 512);
    EXPECT_EQ(page.Height(), 768);
    EXPECT_EQ(page.ScalePercent, 512);
}

TEST_F(ProcessbmpPageTest, UnprocessedPagesAreLeftAsDecoded) {
    settings_.Fit = true;
    settings_.GammaCorrect = true;
    TProcessBMP page("a.bmp", rtRight);
    page.ImageType = ctUnprocessed;
    auto s = Stream(test::MakeBmp(100, 150, 0x00404040));
    page.LoadFromStream(s.get());
    EXPECT_TRUE(page.Processed);
    EXPECT_EQ(page.Width(), 100);
    EXPECT_EQ(page.Height(), 150);
    EXPECT_EQ(page.GammaApplied, 0);
    EXPECT_EQ(page.Pixel(5, 5), 0x00404040u);
}

TEST_F(ProcessbmpPageTest, AFailedLoadStillGetsFittedAndTurned) {
    settings_.Fit = true;
    TProcessBMP page("bad.bmp", rtRight);
    auto s = Stream("not a bitmap");
    page.LoadFromStream(s.get());
    EXPECT_TRUE(page.LoadError);
    EXPECT_TRUE(page.Processed);
    // The 400x600 error page, turned right (600x400) and fitted by width to 1024x682.
    EXPECT_EQ(page.Width(), 1024);
    EXPECT_EQ(page.Height(), 682);
}

TEST_F(ProcessbmpPageTest, APageWithoutPixelsBecomesTheErrorPage) {
    TProcessBMP page("a.bmp", rtNone);
    page.ProcessBitmap();
    EXPECT_EQ(page.Width(), 400);
    EXPECT_EQ(page.Height(), 600);
    EXPECT_TRUE(page.Processed);
}

TEST_F(ProcessbmpPageTest, ResizeAndRotateRefusesOppositeChanges) {
    TProcessBMP page("a.bmp", rtNone);
    ASSERT_TRUE(page.SetSize(100, 50, TPixelFormat::pf24bit));
    EXPECT_FALSE(page.ResizeAndRotate(50, 60, rtNone));
    EXPECT_FALSE(page.ResizeAndRotate(150, 40, rtRight));
    EXPECT_EQ(page.Width(), 100);
    EXPECT_EQ(page.Height(), 50);
    // Only the height differs: nothing is resampled, the turn is still made.
    EXPECT_TRUE(page.ResizeAndRotate(100, 60, rtLeft));
    EXPECT_EQ(page.Width(), 50);
    EXPECT_EQ(page.Height(), 100);
    EXPECT_TRUE(page.ResizeAndRotate(100, 200, rtUpsideDown));
    EXPECT_EQ(page.Width(), 100);
    EXPECT_EQ(page.Height(), 200);
}

TEST_F(ProcessbmpPageTest, TheWindowSizeIsReadWhenThePageIsProcessed) {
    settings_.FitWidth = true;
    TProcessBMP a("a.bmp", rtNone), b("b.bmp", rtNone);
    auto s = Stream(test::MakeBmp(100, 100));
    a.LoadFromStream(s.get());
    SetMainClientSize(300, 200);
    b.LoadFromStream(s.get());
    EXPECT_EQ(a.Width(), 1024);
    EXPECT_EQ(b.Width(), 300);
}

}  // namespace
}  // namespace vellicor

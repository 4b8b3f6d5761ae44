// The main window's logic on a fake view, with the real settings, queue and page engine on
// generated pages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "pages/ProcessFiles.h"
#include "platform/DynLib.h"
#include "platform/Registry.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"
#include "support/TestImages.h"
#include "viewer/Main.h"

using namespace vellicor;

namespace {

class FakeView : public IMainView {
public:
    int cw = 800, ch = 600;
    bool displayVisible = false;
    std::string caption, hint = "hint";
    bool smallCursor = false;
    std::string labelText;
    bool labelShown = false, labelBlack = false;
    int labelLeft = -1, labelTop = -1;  // where the label goes; -1: bottom-right corner
    std::string infoText;
    int infoHeight = 80, infoLeft = 0, infoTop = 0;
    bool infoVisible = false;
    std::map<TMainTimer, int> timers;  // running timers and their intervals
    int invalidations = 0;
    bool minimised = false, terminated = false, windowed = false, maximised = false;
    TViewRect bounds{10, 20, 300, 400}, work{0, 0, 1200, 900};

    int ClientWidth() const override { return cw; }
    int ClientHeight() const override { return ch; }
    void InvalidateDisplay() override { ++invalidations; }
    void SetDisplayVisible(bool v) override { displayVisible = v; }
    bool DisplayVisible() const override { return displayVisible; }
    void SetCaption(const std::string& c) override { caption = c; }
    void ClearHint() override { hint.clear(); }
    void SetSmallCursor(bool s) override { smallCursor = s; }
    void PlacePageLabel(const std::string& t, int& l, int& tp) override {
        labelText = t;
        l = labelLeft >= 0 ? labelLeft : cw - 40;
        tp = labelTop >= 0 ? labelTop : ch - 20;
    }
    void ShowPageLabel(bool black) override {
        labelShown = true;
        labelBlack = black;
    }
    void HidePageLabel() override { labelShown = false; }
    int InformationHeight(const std::string&) override { return infoHeight; }
    void ShowInformation(const std::string& t, int l, int tp, bool v) override {
        infoText = t;
        infoLeft = l;
        infoTop = tp;
        infoVisible = v;
    }
    void HideInformation() override { infoVisible = false; }
    void SetInformationVisible(bool v) override { infoVisible = v; }
    bool InformationVisible() const override { return infoVisible; }
    void StartTimer(TMainTimer t, int ms) override { timers[t] = ms; }
    void StopTimer(TMainTimer t) override { timers.erase(t); }
    bool TimerEnabled(TMainTimer t) const override { return timers.count(t) > 0; }
    int DoubleClickTime() const override { return 400; }
    void Minimise() override { minimised = true; }
    void Terminate() override { terminated = true; }
    bool IsWindowed() const override { return windowed; }
    bool IsMaximised() const override { return maximised; }
    TViewRect WindowBounds() const override { return bounds; }
    TViewRect WorkArea() const override { return work; }
    void SetFullScreen() override { windowed = false; }
    void SetWindowed(const TViewRect& b, bool m) override {
        windowed = true;
        bounds = b;
        maximised = m;
    }
};

uint32_t Rgb(int r, int g, int b) { return (static_cast<uint32_t>(r) << 16) | (g << 8) | b; }

class MainDisplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VELLICOR_CONFIG_DIR", store.Path().c_str(), 1);
        ResetRegistryStore();
        SetModuleSearchDir(VELLICOR_MODULE_DIR);  // the unzip library
        config = std::make_unique<TConfigureForm>();
        // Plain pages: pixels on screen are the file's pixels.
        config->SetColourBalanceOn(false);
        config->SetYellowReductionOn(false);
        config->SetFitWidthIfOversize(false);
        queue = std::make_unique<TProcessFilesForm>(*config);
        form = std::make_unique<TMainDisplayForm>(view, *config, *queue);
        form->FormCreate();
    }
    void TearDown() override {
        form.reset();
        queue.reset();
        config.reset();
        TBufferedPage::ClearList();
        ResetRegistryStore();
    }

    // Pages of the given sizes, each filled with its own colour and a dark frame pixel at (0, 0).
    std::vector<std::string> MakePages(const std::vector<std::pair<int, int>>& sizes) {
        std::vector<std::string> names;
        for (size_t i = 0; i < sizes.size(); ++i) {
            std::string name = pages.File("page" + std::to_string(10 + i) + ".bmp");
            int shade = 60 + static_cast<int>(i) * 20;
            test::WriteBmp24(name, sizes[i].first, sizes[i].second,
                             [shade](int x, int y) { return (x == 0 && y == 0) ? Rgb(1, 2, 3) : Rgb(shade, 200, 255 - shade); });
            names.push_back(name);
        }
        return names;
    }

    void Run(int cap = 2000) {
        int idle = 0;
        for (int i = 0; i < cap; ++i) {
            if (form->IdleHandler()) idle = 0;
            else if (++idle > 5) return;
        }
        FAIL() << "the queue did not settle";
    }

    void Open(const std::vector<std::pair<int, int>>& sizes) {
        form->ApplicationStartupComplete(MakePages(sizes));
        Run();
    }

    TColor At(int x, int y) const { return form->BackBuffer().Pixel(x, y); }

    test::FakeUi ui;
    test::TempDir store, pages;
    FakeView view;
    std::unique_ptr<TConfigureForm> config;
    std::unique_ptr<TProcessFilesForm> queue;
    std::unique_ptr<TMainDisplayForm> form;
};

}  // namespace

TEST_F(MainDisplayTest, StartupLoadsCommandLineAtPageZeroAndCentresASmallPage) {
    Open({{100, 150}, {100, 150}});
    ASSERT_FALSE(form->Busy);
    const TPageSlot& s0 = form->Image(0);
    ASSERT_TRUE(s0.Displayed);
    EXPECT_EQ(s0.Page, 0);
    EXPECT_EQ(s0.DestX, 350);
    EXPECT_EQ(s0.DestY, 225);
    for (const auto& b : s0.Bands) EXPECT_TRUE(b.Active);
    EXPECT_EQ(form->BackBuffer().Width(), 800);
    EXPECT_EQ(At(350, 225), RGBColor(1, 2, 3));     // the page's corner pixel
    EXPECT_EQ(At(351, 226), RGBColor(60, 200, 195));
    EXPECT_EQ(At(5, 5), RGBColor(60, 200, 195));    // bands take the margin colour
    EXPECT_TRUE(view.displayVisible);
    EXPECT_TRUE(view.hint.empty());
    EXPECT_EQ(view.labelText, "1/2");
    EXPECT_TRUE(view.timers.count(TMainTimer::PageLabel));
    EXPECT_EQ(view.caption.substr(view.caption.size() - 10), "page10.bmp");
    EXPECT_EQ(config->LastPage, 0);
}

TEST_F(MainDisplayTest, StartupRunsOnceAndEmptyCommandLineLoadsNothing) {
    form->ApplicationStartupComplete({});
    Run();
    EXPECT_EQ(form->PageCount(), 0);
    form->ApplicationStartupComplete(MakePages({{10, 10}}));
    Run();
    EXPECT_EQ(form->PageCount(), 0);
}

TEST_F(MainDisplayTest, TwoPagesMeetAtTheCentreInReadingOrder) {
    config->SetTwoPages(true);
    Open({{100, 600}, {120, 600}, {100, 600}});
    const TPageSlot& s0 = form->Image(0);
    const TPageSlot& s1 = form->Image(1);
    ASSERT_TRUE(s1.Displayed);
    EXPECT_EQ(s0.DestX, 300);
    EXPECT_EQ(s1.DestX, 400);
    EXPECT_EQ(view.labelText, "1,2/3");
    EXPECT_EQ(At(300, 0), RGBColor(1, 2, 3));
    EXPECT_EQ(At(400, 0), RGBColor(1, 2, 3));

    config->SetJapaneseMode(true);  // the change event redisplays
    Run();
    EXPECT_EQ(form->Image(0).DestX, 400);
    EXPECT_EQ(form->Image(1).DestX, 280);
}

TEST_F(MainDisplayTest, LastPageAndLandscapePagesAreShownAlone) {
    config->SetTwoPages(true);
    config->PageInTwos = true;
    Open({{100, 600}, {900, 300}, {100, 600}});
    EXPECT_FALSE(form->Image(1).Displayed);  // page 2 is landscape
    form->DisplayNextPage(false);  // one page on screen: one step
    Run();
    EXPECT_EQ(config->LastPage, 1);
    EXPECT_FALSE(form->Image(1).Displayed);
    form->DisplayNextPage(false);
    Run();
    EXPECT_EQ(config->LastPage, 2);
    EXPECT_FALSE(form->Image(1).Requested);  // the last page has no partner
    form->DisplayNextPage(false);  // clamped: nothing happens
    EXPECT_FALSE(form->Busy);
}

TEST_F(MainDisplayTest, PagingBackInTwosStopsAtTheFirstPage) {
    config->SetTwoPages(true);
    config->PageBackInTwos = true;
    Open({{100, 600}, {100, 600}, {100, 600}});
    form->DisplayPage(1, false);
    Run();
    form->DisplayPreviousPage(false);
    Run();
    EXPECT_EQ(config->LastPage, 0);
    EXPECT_TRUE(form->Image(0).Backward);
}

TEST_F(MainDisplayTest, LargePageStartsTopLeftOrAtItsFarEndWhenReachedBackwards) {
    Open({{1000, 900}, {1000, 900}});
    EXPECT_TRUE(form->CanScrollH);
    EXPECT_TRUE(form->CanScrollV);
    EXPECT_EQ(form->HScrollPos, 0);
    EXPECT_EQ(form->VScrollPos, 0);
    EXPECT_EQ(At(0, 0), RGBColor(1, 2, 3));
    form->DisplayNextPage(false);
    Run();
    form->DisplayPreviousPage(false);
    Run();
    EXPECT_EQ(form->HScrollPos, 200);
    EXPECT_EQ(form->VScrollPos, 300);
}

TEST_F(MainDisplayTest, OlderGenerationsAndUnmatchedPagesAreIgnoredAndNotLocked) {
    Open({{100, 150}, {100, 150}});
    auto stale = TBufferedPage::Create(0, TRotation(0), form->RequestGeneration - 1, ctDisplay, "x.bmp");
    bool lock = false;
    form->PageReady(stale, lock);
    EXPECT_FALSE(lock);
    auto other = TBufferedPage::Create(7, TRotation(0), form->RequestGeneration, ctDisplay, "y.bmp");
    form->PageReady(other, lock);
    EXPECT_FALSE(lock);
}

TEST_F(MainDisplayTest, ResizeRedisplaysOnceAfterItSettles) {
    Open({{100, 150}});
    int gen = form->RequestGeneration;
    form->FormResize();
    form->FormResize();
    EXPECT_EQ(view.timers[TMainTimer::Resize], 2000);
    int before = view.invalidations;
    form->PaintDoubleBuffer();  // nothing is painted while the resize settles
    EXPECT_EQ(view.invalidations, before);
    view.cw = 400;
    form->OnTimer(TMainTimer::Resize);
    Run();
    EXPECT_EQ(form->RequestGeneration, gen + 1);
    EXPECT_FALSE(view.timers.count(TMainTimer::Resize));
    EXPECT_EQ(form->BackBuffer().Width(), 400);
    EXPECT_EQ(form->Image(0).DestX, 150);

    view.cw = 0;  // minimised: ignored
    form->FormResize();
    EXPECT_FALSE(view.timers.count(TMainTimer::Resize));
}

TEST_F(MainDisplayTest, PageLabelColourFollowsThePixelsUnderIt) {
    Open({{800, 600}});
    EXPECT_TRUE(view.labelShown);
    EXPECT_TRUE(view.labelBlack);  // light page
    // Corner pixel (1, 2, 3) and nothing outside the buffer: (6 + 3 * light) / 27 still >= 50.
    view.labelLeft = 0;
    view.labelTop = 0;
    form->PageVisible(1, -1);
    EXPECT_TRUE(view.labelBlack);
    form->OnTimer(TMainTimer::PageLabel);
    EXPECT_FALSE(view.labelShown);
}

TEST_F(MainDisplayTest, DarkCornerGivesAWhiteLabel) {
    std::string name = pages.File("dark.bmp");
    test::WriteBmp24(name, 800, 600, [](int, int) { return Rgb(10, 10, 10); });
    form->ApplicationStartupComplete({name});
    Run();
    EXPECT_FALSE(view.labelBlack);
}

TEST_F(MainDisplayTest, InformationBlockIsPreparedAndPlaced) {
    config->SetImageInformation(true);
    view.infoHeight = 700;  // taller than the window: placed at top 8
    Open({{100, 150}});
    EXPECT_EQ(view.infoLeft, 8);
    EXPECT_EQ(view.infoTop, 8);
    EXPECT_TRUE(view.infoVisible);
    EXPECT_NE(view.infoText.find("page10.bmp (1 / 1)\nSize: 100 x 150\nColour Balance: 100%\nMagnification: 100%\n"
                                 "Reduced Yellowing: No"),
              std::string::npos);
    config->SetImageInformation(false);
    view.infoHeight = 50;
    form->PageVisible(1, -1);
    EXPECT_FALSE(view.infoVisible);
    EXPECT_EQ(view.infoTop, 600 - 50 - 8);
}

TEST_F(MainDisplayTest, FirstWindowedModeUsesTheWorkArea) {
    form->DoWindowMode();
    EXPECT_TRUE(view.windowed);
    EXPECT_EQ(view.bounds.Height, 900);
    EXPECT_EQ(view.bounds.Width, 600);
    EXPECT_EQ(view.bounds.Left, 0);
    EXPECT_TRUE(config->WindowMode);
    view.bounds = {5, 6, 700, 500};
    form->DoWindowMode();  // back to full screen: the bounds are stored
    EXPECT_FALSE(view.windowed);
    EXPECT_EQ(config->WindowWidth, 700);
    EXPECT_EQ(config->WindowTop, 6);
    config->SetWindowTop(5000);  // off screen: pulled back
    form->DoWindowMode();
    EXPECT_EQ(view.bounds.Top, 0);
    EXPECT_EQ(view.bounds.Width, 700);
}

TEST_F(MainDisplayTest, TerminateStoresLayoutThenMinimisesAndQuitsOnTheTimer) {
    form->DoTerminate();
    EXPECT_TRUE(view.minimised);
    ASSERT_TRUE(view.timers.count(TMainTimer::Shutdown));
    form->OnTimer(TMainTimer::Shutdown);
    EXPECT_TRUE(view.terminated);
    form->ThumbsShowing = true;
    view.minimised = false;
    form->DoTerminate();
    EXPECT_FALSE(view.minimised);
}

TEST_F(MainDisplayTest, ANewListReleasesAnOutstandingRequest) {
    config->PageBufferSize = 0;  // page 2 is not read ahead, so its request stays outstanding
    Open({{100, 150}, {100, 150}});
    form->DisplayNextPage(false);
    EXPECT_TRUE(form->Busy);
    form->HandleDropFiles({});  // refused while busy
    queue->LoadFiles([&] { TStringList l; l.Add(pages.File("page10.bmp")); return l; }(), 0);
    Run();
    EXPECT_FALSE(form->Busy);
    EXPECT_EQ(form->PageCount(), 1);
    EXPECT_TRUE(form->Image(0).Displayed);
}

TEST_F(MainDisplayTest, ADamagedArchiveMemberShowsTheErrorPageForThatPageOnly) {
    if (std::system("command -v zip >/dev/null 2>&1") != 0) GTEST_SKIP() << "zip missing";
    MakePages({{100, 150}, {100, 150}});
    std::string book = pages.File("book.cbz");
    std::string cmd = "cd '" + pages.Path() + "' && zip -q -0 book.cbz page10.bmp page11.bmp";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    // Spoil pixels of the second (stored) member: its checksum no longer matches.
    std::string bytes = test::ReadFileBytes(book);
    size_t second = bytes.find("BM", bytes.find("page11.bmp"));
    ASSERT_NE(second, std::string::npos);
    for (size_t i = second + 100; i < second + 140; ++i) bytes[i] = static_cast<char>(~bytes[i]);
    pages.Write("book.cbz", bytes);

    form->ApplicationStartupComplete({book});
    Run();
    ASSERT_EQ(form->PageCount(), 2);
    ASSERT_TRUE(form->Image(0).Displayed);
    EXPECT_EQ(form->Image(0).Bitmap->Width(), 100);  // page 1 is fine
    form->DisplayNextPage(false);
    Run();
    ASSERT_TRUE(form->Image(0).Displayed);
    EXPECT_EQ(form->Image(0).Page, 1);
    EXPECT_EQ(form->Image(0).Bitmap->Width(), 400);  // the error page
    EXPECT_EQ(form->Image(0).Bitmap->Height(), 600);
    EXPECT_FALSE(form->Busy);
}

TEST_F(MainDisplayTest, ErrorBoxEndsInContinue) {
    ui.answers.push_back(mrNo);
    EXPECT_FALSE(form->ApplicationError("Boom", "C:\\src\\Main.pas", "DoIt", 42));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, "Boom");
    EXPECT_EQ(ui.shown[0].text, "In file Main.pas in function DoIt at line 42. Continue?");
}

TEST(BackBufferCopy, ClipsToSourceAndDestination) {
    TBitmap src, dst;
    src.SetSize(4, 4, TPixelFormat::pf24bit);
    dst.SetSize(5, 5, TPixelFormat::pf24bit);
    src.Fill(RGBColor(9, 9, 9));
    CopyRect24(dst, -2, 3, src, 1, 1, 10, 10);
    EXPECT_EQ(dst.Pixel(0, 3), RGBColor(9, 9, 9));
    EXPECT_EQ(dst.Pixel(0, 4), RGBColor(9, 9, 9));
    EXPECT_EQ(dst.Pixel(1, 3), 0u);  // source ran out after one column
    FillRect24(dst, -5, -5, 100, 1, RGBColor(1, 1, 1));
    EXPECT_EQ(dst.Pixel(4, 0), RGBColor(1, 1, 1));
    EXPECT_EQ(dst.Pixel(4, 1), 0u);
    CopyRect24(dst, 0, 0, src, 4, 4, 3, 3);  // nothing left to copy
}

// ---- Scrolling, reading steps, wheel, dragging, keys ----

TEST_F(MainDisplayTest, ScrollingClampsAtBothEndsAndOnlyOnScrollableAxes) {
    Open({{1000, 600}});
    ASSERT_TRUE(form->CanScrollH);
    ASSERT_FALSE(form->CanScrollV);
    EXPECT_FALSE(form->HScroll(-50));  // already at the left edge
    EXPECT_FALSE(form->VScroll(50));   // the page fits the height
    EXPECT_FALSE(form->HScroll(0));
    EXPECT_TRUE(form->HScroll(150));
    EXPECT_EQ(form->HScrollPos, 150);
    EXPECT_TRUE(form->HScroll(500));  // stops at the maximum
    EXPECT_EQ(form->HScrollPos, 200);
    EXPECT_FALSE(form->HScroll(1));
    form->HScrollPos = 3;
    EXPECT_TRUE(form->HScroll(-5));
    EXPECT_EQ(form->HScrollPos, 0);
    int paints = view.invalidations;
    EXPECT_TRUE(form->DoHorizontalScroll(50));
    EXPECT_GT(view.invalidations, paints);
    EXPECT_EQ(form->Image(0).SourceX, 50);
    EXPECT_EQ(At(0, 0), RGBColor(60, 200, 195));  // the corner pixel scrolled away
    form->Busy = true;
    EXPECT_FALSE(form->HScroll(50));
    form->Busy = false;
    form->ScrollMaxRight();
    EXPECT_EQ(form->HScrollPos, 200);
    form->ScrollMaxLeft();
    EXPECT_EQ(form->HScrollPos, 0);
}

TEST_F(MainDisplayTest, ReadingStepsOverlapByAQuarterOrTakeTheWholeRest) {
    Open({{2000, 600}, {900, 600}, {800, 1500}});
    EXPECT_EQ(form->HStepInc(), 600);  // 2.5 windows wide: half the range
    EXPECT_EQ(form->HStepDec(), -1200);  // little behind: the whole range, clamped by the scroll
    form->CyclePage();
    EXPECT_EQ(form->HScrollPos, 600);
    EXPECT_EQ(form->HStepDec(), -600);
    form->CyclePage();
    EXPECT_EQ(form->HScrollPos, 1200);
    form->CyclePage();  // the end of the page: on to the next
    Run();
    EXPECT_EQ(config->LastPage, 1);
    EXPECT_EQ(form->HStepInc(), 100);  // slightly wider: one step
    form->CyclePage();
    EXPECT_EQ(form->HScrollPos, 100);
    form->CyclePage();
    Run();
    ASSERT_EQ(config->LastPage, 2);
    ASSERT_TRUE(form->CanScrollV);
    form->CyclePage();
    EXPECT_EQ(form->VScrollPos, 450);
    form->CyclePage();
    EXPECT_EQ(form->VScrollPos, 900);
    form->CyclePage();  // last strip of the last page: nothing
    EXPECT_FALSE(form->Busy);
    EXPECT_EQ(form->VScrollPos, 900);
    form->CyclePageBack();
    EXPECT_EQ(form->VScrollPos, 450);
    form->CyclePageBack();
    EXPECT_EQ(form->VScrollPos, 0);
    form->CyclePageBack();  // back to the previous page, at its far end
    Run();
    EXPECT_EQ(config->LastPage, 1);
    EXPECT_EQ(form->HScrollPos, 100);
}

TEST_F(MainDisplayTest, ReadingOrderIsAcrossThenDownAndRightToLeftInJapaneseMode) {
    config->SetJapaneseMode(true);
    Open({{2000, 1200}});
    EXPECT_EQ(form->HScrollPos, 1200);  // starts at the right edge
    form->CyclePage();
    EXPECT_EQ(form->HScrollPos, 600);
    form->CyclePage();
    EXPECT_EQ(form->HScrollPos, 0);
    form->CyclePage();  // next strip, again from the right edge
    EXPECT_EQ(form->HScrollPos, 1200);
    EXPECT_EQ(form->VScrollPos, 300);
    form->CyclePageBack();
    EXPECT_EQ(form->HScrollPos, 0);  // end of the previous strip
    EXPECT_EQ(form->VScrollPos, 0);

    config->SetJapaneseMode(false);
    Run();
    EXPECT_EQ(form->HScrollPos, 0);
    form->CyclePage();
    form->CyclePage();
    form->CyclePage();
    EXPECT_EQ(form->HScrollPos, 0);
    EXPECT_EQ(form->VScrollPos, 300);
}

TEST_F(MainDisplayTest, TurnedScrollFrameScrollsAlongThePageHeightSideways) {
    config->SetRotateLeft(true);  // turned frame with RotateScrollFunctions on by default
    Open({{1500, 800}});
    ASSERT_EQ(form->Image(0).Bitmap->Width(), 800);
    ASSERT_EQ(form->Image(0).Bitmap->Height(), 1500);
    EXPECT_TRUE(form->CanScrollH);   // window height against page height
    EXPECT_FALSE(form->CanScrollV);  // window width against page width
    form->CyclePage();
    EXPECT_EQ(form->HScrollPos, 450);
    EXPECT_EQ(form->Image(0).SourceY, 1500 - 450 - 600);
}

TEST_F(MainDisplayTest, WheelScrollsThenTurnsThePageAfterFourNotchesAtTheEnd) {
    Open({{800, 1500}, {100, 100}, {100, 100}});
    form->MouseWheel(-120, 0);
    EXPECT_EQ(form->VScrollPos, 120);
    form->ScrollBottom();
    for (int i = 0; i < 3; ++i) form->MouseWheel(-120, 0);
    EXPECT_EQ(config->LastPage, 0);
    EXPECT_EQ(form->WheelSum(), 360);
    form->MouseWheel(120, 0);  // a scroll in between starts the count again
    EXPECT_EQ(form->WheelSum(), 0);
    EXPECT_EQ(form->VScrollPos, 780);
    form->MouseWheel(-120, 0);
    EXPECT_EQ(form->VScrollPos, 900);
    for (int i = 0; i < 3; ++i) form->MouseWheel(-120, 0);
    EXPECT_EQ(config->LastPage, 0);
    form->MouseWheel(-120, 0);
    Run();
    EXPECT_EQ(config->LastPage, 1);
    EXPECT_EQ(form->WheelSum(), 0);
    form->MouseWheel(-120, 0);  // a page that fits: every notch turns
    Run();
    EXPECT_EQ(config->LastPage, 2);
    form->MouseWheel(120, 0);
    Run();
    EXPECT_EQ(config->LastPage, 1);
}

TEST_F(MainDisplayTest, HeldWheelDirectionButtonScrollsSidewaysFirst) {
    Open({{2000, 1500}, {100, 100}});
    form->MouseWheel(-120, mbMiddleBit);
    EXPECT_EQ(form->HScrollPos, 120);
    EXPECT_EQ(form->VScrollPos, 0);
    form->MouseWheel(-120, mbLeftBit);  // the left button drags: normal order
    EXPECT_EQ(form->VScrollPos, 120);
    config->RightClick1 = maMouseWheelDirection;
    form->MouseWheel(120, mbRightBit);
    EXPECT_EQ(form->HScrollPos, 0);

    config->MouseWheel = maCycleAroundPage;
    EXPECT_FALSE(form->MouseWheel(-120, 0));  // left to others
    EXPECT_EQ(form->HScrollPos, 600);
    form->MouseWheel(120, 0);
    EXPECT_EQ(form->HScrollPos, 0);
    config->MouseWheel = maNone;
    EXPECT_TRUE(form->MouseWheel(-120, 0));
    EXPECT_EQ(form->HScrollPos, 0);
}

TEST_F(MainDisplayTest, DraggingMovesThePageWithTheCursorAndFollowingFaster) {
    Open({{2000, 1500}});
    form->ImageDisplayMouseDown(mbLeftBit, 100, 100);
    EXPECT_EQ(form->DragStartX, 100);
    int paints = view.invalidations;
    form->ImageDisplayMouseMove(mbLeftBit, 80, 70);
    EXPECT_EQ(form->HScrollPos, 20);
    EXPECT_EQ(form->VScrollPos, 30);
    EXPECT_GT(view.invalidations, paints);
    form->ImageDisplayMouseMove(mbLeftBit, 500, 500);  // clamped at the edges
    EXPECT_EQ(form->HScrollPos, 0);
    EXPECT_EQ(form->VScrollPos, 0);
    form->ImageDisplayMouseUp(mbLeftBit, 500, 500);
    EXPECT_EQ(form->DragStartX, -1);
    EXPECT_EQ(form->DragStartY, -1);
    form->ImageDisplayMouseMove(0, 10, 10);  // no button: nothing
    EXPECT_EQ(form->HScrollPos, 0);
    form->ImageDisplayMouseDown(mbRightBit, 10, 10);  // not a drag button
    EXPECT_EQ(form->DragStartX, -1);

    view.displayVisible = false;
    form->DoPictureStartDrag(10, 10);
    EXPECT_FALSE(form->DoPictureDrag(0, 0));
    view.displayVisible = true;
    form->DoPictureStopDrag();

    config->CursorMove = maFollowMouse;
    form->ImageDisplayMouseMove(0, 100, 100);  // first position only stored
    form->ImageDisplayMouseMove(0, 90, 95);
    EXPECT_EQ(form->HScrollPos, 10 * (2 * (2000 / 800) + 2));
    EXPECT_EQ(form->VScrollPos, 5 * (2 * (1500 / 600) + 2));
}

TEST(KeyMap, ModifiersSelectTheCommand) {
    using K = TKeyCommand;
    EXPECT_EQ(KeyCommand(vkEscape, false, false, false, false), K::Terminate);
    EXPECT_EQ(KeyCommand('X', false, true, false, false), K::Terminate);  // Alt is not tested
    EXPECT_EQ(KeyCommand(vkEscape, false, false, true, false), K::None);
    EXPECT_EQ(KeyCommand(vkSpace, true, false, false, false), K::CyclePageBack);
    EXPECT_EQ(KeyCommand(vkNext, true, false, false, false), K::NextPageSkip);
    EXPECT_EQ(KeyCommand(vkPrior, false, false, true, false), K::None);
    EXPECT_EQ(KeyCommand(vkEnd, true, true, true, false), K::LastPage);
    EXPECT_EQ(KeyCommand(vkLeft, false, true, false, false), K::CyclePage);  // Alt+Left turns forward
    EXPECT_EQ(KeyCommand(vkRight, true, true, false, false), K::CyclePageBack);  // Alt before Shift
    EXPECT_EQ(KeyCommand(vkLeft, true, false, false, true), K::CyclePageBack);  // alternate arrows first
    EXPECT_EQ(KeyCommand(vkUp, false, false, false, true), K::None);
    EXPECT_EQ(KeyCommand(vkLeft, true, false, false, false), K::ScrollMaxLeft);
    EXPECT_EQ(KeyCommand(vkDown, true, false, false, false), K::ScrollBottom);
    EXPECT_EQ(KeyCommand(vkDown, false, false, true, false), K::None);
    EXPECT_EQ(KeyCommand('S', true, false, false, false), K::ScrollRight);  // even with Shift
    EXPECT_EQ(KeyCommand('S', false, false, true, false), K::TargetHeight);
    EXPECT_EQ(KeyCommand('E', true, false, false, false), K::None);
    EXPECT_EQ(KeyCommand('W', true, false, false, false), K::WindowMode);
    EXPECT_EQ(KeyCommand('W', false, false, true, false), K::FitWidth);
    EXPECT_EQ(KeyCommand('W', true, false, true, false), K::FitWidthIfOversize);
    EXPECT_EQ(KeyCommand('I', true, false, true, false), K::GlimpseImageInformation);
    EXPECT_EQ(KeyCommand('I', false, false, true, false), K::ImageInformation);
    EXPECT_EQ(KeyCommand('L', true, false, true, false), K::RotateScrollFunctions);
    EXPECT_EQ(KeyCommand('R', true, false, true, false), K::RotateScrollFunctions);
    EXPECT_EQ(KeyCommand('Z', false, false, false, false), K::Magnifier);
    EXPECT_EQ(KeyCommand('Z', true, false, true, false), K::EdgeTab);
    EXPECT_EQ(KeyCommand('B', true, false, true, false), K::None);
    EXPECT_EQ(KeyCommand(vkF5, false, true, true, false), K::Reload);
    EXPECT_EQ(KeyCommand(vkF5, true, false, false, false), K::None);
}

TEST_F(MainDisplayTest, KeysRunTheirCommands) {
    form->HandleKeyPress(vkEnd, false, false, false);  // empty list: nothing
    EXPECT_FALSE(form->Busy);
    Open({{800, 1500}, {100, 100}, {100, 100}});
    form->HandleKeyPress(vkDown, true, false, false);
    EXPECT_EQ(form->VScrollPos, 900);
    form->HandleKeyPress('O', false, false, false);
    EXPECT_EQ(form->VScrollPos, 850);
    form->HandleKeyPress(vkEnd, false, false, false);
    Run();
    EXPECT_EQ(config->LastPage, 2);
    form->HandleKeyPress(vkHome, false, false, false);
    Run();
    EXPECT_EQ(config->LastPage, 0);

    int gen = form->RequestGeneration;
    form->HandleKeyPress(vkF5, false, false, false);
    EXPECT_FALSE(view.displayVisible);  // hidden until the page is back
    Run();
    EXPECT_EQ(form->RequestGeneration, gen + 1);
    EXPECT_TRUE(view.displayVisible);

    form->HandleKeyPress('T', false, false, true);
    Run();
    EXPECT_TRUE(config->TwoPages);
    EXPECT_EQ(form->RequestGeneration, gen + 2);
    form->ThumbsShowing = true;  // the thumbnails have the keys
    form->HandleKeyPress('T', false, false, true);
    EXPECT_TRUE(config->TwoPages);
    form->ThumbsShowing = false;
    form->Busy = true;  // toggles wait for the page
    form->DoTwoPages();
    EXPECT_TRUE(config->TwoPages);
    form->Busy = false;
    form->HandleKeyPress(200, false, false, true);  // outside the key range
    form->HandleKeyPress('Z', false, false, false);
    EXPECT_FALSE(form->ViewMode & vmMagnifierFollows);  // on by default, now off
    form->HandleKeyPress('Z', true, false, true);
    EXPECT_TRUE(config->EdgeTabVisible());
    form->HandleKeyPress('M', false, false, false);
    EXPECT_TRUE(view.minimised);
}

TEST_F(MainDisplayTest, ImageInformationToggleAndGlimpse) {
    Open({{100, 150}});
    form->HandleKeyPress('I', false, false, false);  // glimpse: shown for ten seconds
    EXPECT_TRUE(view.infoVisible);
    EXPECT_EQ(view.timers[TMainTimer::PageLabel], 10000);
    form->HandleKeyPress('I', true, false, false);
    EXPECT_FALSE(view.infoVisible);
    form->HandleKeyPress('I', false, false, true);
    EXPECT_TRUE(config->ImageInformation);
    EXPECT_TRUE(view.infoVisible);
    EXPECT_EQ(view.timers[TMainTimer::PageLabel], 3000);
    form->DoImageInformation();
    EXPECT_FALSE(config->ImageInformation);
    EXPECT_FALSE(view.infoVisible);
}

TEST_F(MainDisplayTest, RotatingRedisplaysOnlyWhenSomethingChanged) {
    Open({{100, 150}, {100, 150}});
    int gen = form->RequestGeneration;
    form->DoRotateThisPage(rtRight);
    Run();
    EXPECT_EQ(form->RequestGeneration, gen + 1);
    EXPECT_EQ(form->Image(0).Bitmap->Width(), 150);
    form->DoRotateThisPage(rtRight);  // no change: no redisplay
    EXPECT_EQ(form->RequestGeneration, gen + 1);
    form->DoRotateWholeSet(rtLeft);
    Run();
    EXPECT_EQ(form->RequestGeneration, gen + 2);
    form->DisplayNextPage(false);  // pages not yet shown turn too
    Run();
    EXPECT_EQ(form->Image(0).Bitmap->Width(), 150);
    EXPECT_EQ(queue->GetRotation(1), rtLeft);
}

// ---- Commands that run dialogs ----

namespace {
class FakeDialogs : public IMainDialogs {
public:
    std::vector<std::string> log;
    int thumbAnswer = -1, goToAnswer = -1;  // -1: Cancel
    int thumbImages = -1, thumbPages = -1;
    std::vector<std::string> files;
    bool openOk = true;
    bool ShowThumbs(const TImageList* Thumbs, const TStringList&, int Pages, int& Selected) override {
        log.push_back("thumbs from " + std::to_string(Selected));
        thumbImages = Thumbs ? Thumbs->Count() : -1;
        thumbPages = Pages;
        if (thumbAnswer < 0) return false;
        Selected = thumbAnswer;
        return true;
    }
    bool ShowGoToPage(int Pages, int& Page) override {
        log.push_back("goto " + std::to_string(Page) + "/" + std::to_string(Pages));
        if (goToAnswer < 0) return false;
        Page = goToAnswer;
        return true;
    }
    bool ShowOpenDialog(const std::string& Directory, int& FilterIndex, TStringList& Files) override {
        log.push_back("open " + Directory + " " + std::to_string(FilterIndex));
        FilterIndex = 3;
        for (const auto& f : files) Files.Add(f);
        return openOk;
    }
    bool ShowOrganiser(std::string& Favourites, std::string& Recent) override {
        log.push_back("organise " + Favourites + "|" + Recent);
        Favourites = ",/b";
        Recent = "/r";
        return true;
    }
    void ShowAbout() override { log.push_back("about"); }
};
}  // namespace

TEST_F(MainDisplayTest, ThumbnailsAndGoToPageJumpToTheChosenPage) {
    FakeDialogs d;
    form->Dialogs = &d;
    config->GenerateThumbsInBackground = false;
    Open({{100, 150}, {100, 150}, {100, 150}});
    d.thumbAnswer = 2;
    form->DoThumbs();  // the strip is not made yet: wait for it
    EXPECT_TRUE(form->ThumbsShowing);
    EXPECT_TRUE(d.log.empty());
    EXPECT_TRUE(ui.waitCursor);
    Run();
    ASSERT_EQ(d.log, std::vector<std::string>{"thumbs from 0"});
    EXPECT_EQ(d.thumbImages, 3);
    EXPECT_FALSE(form->ThumbsShowing || ui.waitCursor);
    Run();
    EXPECT_EQ(form->Image(0).Page, 2);
    d.thumbAnswer = -1;
    form->DoThumbs();  // ready now: shown at once; Cancel changes nothing
    Run();
    EXPECT_EQ(form->Image(0).Page, 2);
    d.goToAnswer = 1;
    form->DoGoToPage();
    Run();
    EXPECT_EQ(d.log.back(), "goto 2/3");
    EXPECT_EQ(form->Image(0).Page, 1);
    form->AboutMenuItemClick();
    EXPECT_EQ(d.log.back(), "about");
}

TEST_F(MainDisplayTest, GoToPageNeedsTwoPages) {
    FakeDialogs d;
    form->Dialogs = &d;
    Open({{100, 150}});
    form->DoGoToPage();
    EXPECT_TRUE(d.log.empty());
}

TEST_F(MainDisplayTest, OpeningFilesWaitsForTheQueueAndFavouritesStartTheDialogThere) {
    FakeDialogs d;
    form->Dialogs = &d;
    form->ApplicationStartupComplete({});
    auto names = MakePages({{100, 150}, {100, 150}});
    config->SetLastDir("/last");
    config->SetFavouriteDirs(",," + pages.Path());
    form->DoLoadWithFavourite(0);  // empty entry
    form->DoLoadWithFavourite(5);  // beyond the list
    EXPECT_TRUE(queue->Queue().empty());
    d.files = {names[1]};
    form->GetFiles("");
    EXPECT_TRUE(d.log.empty()) << "not before the queue halts";
    Run();
    ASSERT_EQ(d.log, std::vector<std::string>{"open /last 2"});
    EXPECT_EQ(config->LastFilterIndex, 3);
    EXPECT_EQ(queue->GetFiles(), 1);
    EXPECT_FALSE(queue->Running());
    d.openOk = false;
    form->DoLoadWithFavourite(2);
    Run();
    EXPECT_EQ(d.log.back(), "open " + pages.Path() + " 3");
    EXPECT_FALSE(queue->Running()) << "a cancelled dialog reopens the queue";
    const std::string recent = config->RecentDirectories;
    form->ManageFavouritesMenuItemClick();
    EXPECT_EQ(d.log.back(), "organise ,," + pages.Path() + "|" + recent);
    EXPECT_EQ(config->FavouriteDirectories + " " + config->RecentDirectories, ",/b /r");
}

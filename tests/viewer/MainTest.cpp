// The main window's logic on a fake view, with the real settings, queue and page engine on
// generated pages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>

#include "pages/ProcessFiles.h"
#include "platform/DynLib.h"
#include "platform/Registry.h"
#include "settings/Configuration.h"
#include "archives/RarWriter.h"
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
    std::map<TMainTimer, int> due;     // when each running timer fires, on the manual clock
    std::map<TMainTimer, int> starts;  // how often each timer was started
    int now = 0;                       // the manual clock, in ms
    TViewPoint cursor{-1, -1};
    bool keysBlocked = false, colourShowing = false;
    TColourSample sample;
    int samples = 0;
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
    void StartTimer(TMainTimer t, int ms) override {
        ++starts[t];
        timers[t] = ms;
        due[t] = now + ms;
    }
    void StopTimer(TMainTimer t) override {
        timers.erase(t);
        due.erase(t);
    }
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
    TViewPoint CursorPosition() const override { return cursor; }
    bool KeysBlocked() const override { return keysBlocked; }
    bool ColourDataShowing() const override { return colourShowing; }
    void SetColourDataShowing(bool s) override { colourShowing = s; }
    void ColourDataValues(const TColourSample& s) override {
        sample = s;
        ++samples;
    }
};

// Records the commands whose windows are not part of this logic.
class RecordingForm : public TMainDisplayForm {
public:
    using TMainDisplayForm::TMainDisplayForm;
    std::vector<std::string> calls;
    void DoConfigure() override { calls.push_back("DoConfigure"); }
    void DoSlideShow() override { calls.push_back("DoSlideShow"); }
    void DoSlideShowSpeed(bool f) override { calls.push_back(f ? "DoSlideShowSpeed(faster)" : "DoSlideShowSpeed(slower)"); }
    void DoThumbs() override { calls.push_back("DoThumbs"); }
    void DoGoToPage() override { calls.push_back("DoGoToPage"); }
    void GetFiles(const std::string& p) override { calls.push_back("GetFiles(" + p + ")"); }
    void GetNextFiles() override { calls.push_back("GetNextFiles"); }
    void GetPreviousFiles() override { calls.push_back("GetPreviousFiles"); }
    void ResumeReading() override { calls.push_back("ResumeReading"); }
    void DoLoadWithFavourite(int i) override { calls.push_back("DoLoadWithFavourite(" + std::to_string(i) + ")"); }
    void PopUpClickMenu() override { calls.push_back("PopUpClickMenu"); }
    void ShowHelp(int c) override { calls.push_back("ShowHelp(" + std::to_string(c) + ")"); }
    std::string Last() const { return calls.empty() ? "" : calls.back(); }
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
        form = std::make_unique<RecordingForm>(view, *config, *queue);
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

    // Runs zip commands in the pages' folder; the archive they make is book.cbz there.
    std::string ZipPages(const std::string& commands) {
        const std::string cmd = "cd '" + pages.Path() + "' && " + commands;
        return std::system(cmd.c_str()) == 0 ? pages.File("book.cbz") : std::string();
    }
    static bool HaveZip() { return std::system("command -v zip >/dev/null 2>&1") == 0; }

    test::FakeUi ui;
    test::TempDir store, pages;
    FakeView view;
    std::unique_ptr<TConfigureForm> config;
    std::unique_ptr<TProcessFilesForm> queue;
    std::unique_ptr<RecordingForm> form;

    // Moves the manual clock on, firing the timers that fall due on the way.
    void Advance(int ms) {
        const int until = view.now + ms;
        for (;;) {
            auto next = std::min_element(view.due.begin(), view.due.end(),
                                         [](const auto& a, const auto& b) { return a.second < b.second; });
            if (next == view.due.end() || next->second > until) break;
            view.now = next->second;
            TMainTimer t = next->first;
            view.due.erase(next);
            form->OnTimer(t);
            // Timers repeat until stopped, as the window's do.
            if (view.timers.count(t) && !view.due.count(t)) view.due[t] = view.now + view.timers[t];
        }
        view.now = until;
    }
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
    RequestStop(false);
    form->DoTerminate();
    EXPECT_TRUE(StopRequested()) << "the page in the making is dropped at once, not when the timer fires";
    RequestStop(false);
    EXPECT_TRUE(view.minimised);
    ASSERT_TRUE(view.timers.count(TMainTimer::Shutdown));
    form->OnTimer(TMainTimer::Shutdown);
    EXPECT_TRUE(view.terminated);
    form->ThumbsShowing = true;
    view.minimised = false;
    RequestStop(false);
    form->DoTerminate();
    EXPECT_FALSE(view.minimised);
    EXPECT_FALSE(StopRequested()) << "Esc over the thumbnails closes them only";
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
    if (!HaveZip()) GTEST_SKIP() << "zip missing";
    MakePages({{100, 150}, {100, 150}});
    const std::string book = ZipPages("zip -q -0 book.cbz page10.bmp page11.bmp");
    ASSERT_NE(book, "");
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

// A cbr of two chapter folders with the same page names shows all four pages in folder
// order, each captioned with its folder, and makes a thumbnail of each.
TEST_F(MainDisplayTest, ChapterFoldersOfACbrGiveEveryPageItsCaptionAndThumbnail) {
    const std::vector<std::string> names = MakePages({{100, 150}, {110, 150}, {120, 150}, {130, 150}});
    std::vector<test::RarMember> members;
    for (const auto& [stored, page] : {std::pair{"ch2\\02.bmp", 3}, {"ch1\\01.bmp", 0}, {"ch2\\01.bmp", 2}, {"ch1\\02.bmp", 1}})
        members.push_back({stored, test::ReadFileBytes(names[static_cast<size_t>(page)])});
    const std::string book = pages.File("book.cbr");
    test::WriteStoredRar(pages.File("book"), members, 0, true, book);

    form->ApplicationStartupComplete({book});
    Run();
    ASSERT_EQ(form->PageCount(), 4);
    const std::string captions[] = {"ch1/01.bmp", "ch1/02.bmp", "ch2/01.bmp", "ch2/02.bmp"};
    for (int page = 0; page < 4; ++page) {
        SCOPED_TRACE(page);
        ASSERT_TRUE(form->Image(0).Displayed);
        EXPECT_EQ(form->Image(0).Page, page);
        EXPECT_EQ(form->Image(0).Bitmap->Width(), 100 + 10 * page);
        const std::string& want = captions[page];
        EXPECT_TRUE(view.caption.size() >= want.size() && view.caption.compare(view.caption.size() - want.size(), want.size(), want) == 0)
            << view.caption;
        form->DisplayNextPage(false);
        Run();
    }
    EXPECT_TRUE(queue->ThumbsComplete);
    ASSERT_NE(queue->ThumbList, nullptr);
    EXPECT_EQ(queue->ThumbList->Count(), 4);
    EXPECT_TRUE(ui.shown.empty());
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

TEST(KeyMap, EveryRowOfTheTableWithItsModifiers) {
    using K = TKeyCommand;
    enum : unsigned { S = 1, A = 2, C = 4, ALT = 8 };  // Shift, Alt, Ctrl, alternate arrow keys
    struct Row {
        int key;
        unsigned mods;
        K expected;
    };
    const Row rows[] = {
        {vkEscape, 0, K::Terminate}, {'X', A, K::Terminate}, {vkEscape, C, K::None}, {'X', S, K::None},
        {vkSpace, 0, K::CyclePage}, {vkSpace, S, K::CyclePageBack}, {vkSpace, C, K::None},
        {vkPrior, 0, K::PreviousPage}, {vkPrior, S, K::PreviousPageSkip}, {vkPrior, C, K::None},
        {vkNext, 0, K::NextPage}, {vkNext, S, K::NextPageSkip},
        {vkEnd, S | A | C, K::LastPage}, {vkHome, C, K::FirstPage},
        // Arrows: alternate functions first, then Alt (which turns the other way), then Shift.
        {vkLeft, S | ALT, K::CyclePageBack}, {vkLeft, A, K::CyclePage}, {vkLeft, S | A, K::CyclePage},
        {vkLeft, S, K::ScrollMaxLeft}, {vkLeft, 0, K::ScrollLeft}, {vkLeft, C, K::None},
        {vkUp, ALT, K::PopupMenu}, {vkUp, S, K::ScrollTop}, {vkUp, 0, K::ScrollUp}, {vkUp, A, K::ScrollUp},
        {vkRight, ALT, K::CyclePage}, {vkRight, S | A, K::CyclePageBack}, {vkRight, S, K::ScrollMaxRight},
        {vkRight, 0, K::ScrollRight},
        {vkDown, ALT, K::NextFiles}, {vkDown, S, K::ScrollBottom}, {vkDown, 0, K::ScrollDown}, {vkDown, C, K::None},
        {'A', S | C, K::Slideshow},
        {'B', C, K::Balance}, {'B', S, K::SetBookmark}, {'B', S | C, K::None}, {'B', 0, K::None},
        {'C', 0, K::Configure}, {'C', S | C, K::ColourDebugOn}, {'C', C, K::SmallCursor}, {'C', S, K::None},
        {'E', 0, K::ScrollLeft}, {'E', S, K::None},
        {'F', C, K::Fit}, {'F', S | C, K::FitIfOversize}, {'F', 0, K::None},
        {'G', C, K::GammaCorrection},
        {'H', C, K::FitHeight}, {'H', S | C, K::FitHeightIfOversize},
        {'I', C, K::ImageInformation}, {'I', 0, K::GlimpseImageInformation}, {'I', S | C, K::GlimpseImageInformation},
        {'J', C, K::JapaneseMode}, {'K', S, K::PreviousFiles}, {'K', 0, K::None},
        {'L', 0, K::OpenFiles}, {'L', S, K::NextFiles}, {'L', C, K::RotateLeft}, {'L', S | C, K::RotateScrollFunctions},
        {'M', 0, K::Minimise}, {'M', C, K::None}, {'N', 0, K::None},
        {'O', 0, K::ScrollUp}, {'O', C, K::None},
        {'P', 0, K::Thumbs}, {'P', S, K::GoToPage}, {'P', C, K::None},
        {'R', 0, K::ResumeReading}, {'R', S, K::ResumeReading}, {'R', C, K::RotateRight},
        {'R', S | C, K::RotateScrollFunctions},
        {'S', C, K::TargetHeight}, {'S', S, K::ScrollRight}, {'S', S | C, K::ScrollRight},
        {'T', C, K::TwoPages}, {'U', 0, K::ScrollDown},
        {'W', S, K::WindowMode}, {'W', C, K::FitWidth}, {'W', S | C, K::FitWidthIfOversize},
        {'Y', C, K::Yellowing},
        {'Z', 0, K::Magnifier}, {'Z', C, K::Zooming}, {'Z', S | C, K::EdgeTab}, {'Z', S, K::None},
        {vkApps, S, K::PopupMenu}, {vkAdd, 0, K::SlideshowFaster}, {vkSubtract, C, K::SlideshowSlower},
        {vkF1, C, K::Help}, {vkF1, S, K::Favourite}, {vkF2, 0, K::None}, {vkF2, S, K::Favourite},
        {vkF5, A | C, K::Reload}, {vkF5, S, K::Favourite}, {vkF10, 0, K::PopupMenu}, {vkF10, S, K::Favourite},
        {vkF12, S | A, K::Favourite}, {vkF12, S | C, K::None}, {vkF12, 0, K::None}, {vkF1, S | C, K::None},
    };
    for (const Row& r : rows)
        EXPECT_EQ(KeyCommand(r.key, r.mods & S, r.mods & A, r.mods & C, r.mods & ALT), r.expected)
            << "key " << r.key << " modifiers " << r.mods;
}

TEST_F(MainDisplayTest, KeysOfLaterWindowsReachTheirCommands) {
    struct Row {
        int key;
        bool shift, ctrl;
        const char* call;
    };
    const Row rows[] = {
        {'A', false, false, "DoSlideShow"},
        {vkAdd, false, false, "DoSlideShowSpeed(faster)"},
        {vkSubtract, true, false, "DoSlideShowSpeed(slower)"},
        {'C', false, false, "DoConfigure"},
        {'L', false, false, "GetFiles()"},
        {'L', true, false, "GetNextFiles"},
        {'K', true, false, "GetPreviousFiles"},
        {'P', false, false, "DoThumbs"},
        {'P', true, false, "DoGoToPage"},
        {'R', false, false, "ResumeReading"},
        {vkApps, false, false, "PopUpClickMenu"},
        {vkF10, false, true, "PopUpClickMenu"},
        {vkF1, false, false, "ShowHelp(4)"},  // no page on screen
        {vkF1, true, false, "DoLoadWithFavourite(0)"},
        {vkF5, true, false, "DoLoadWithFavourite(4)"},
        {vkF12, true, false, "DoLoadWithFavourite(11)"},
    };
    for (const Row& r : rows) {
        form->calls.clear();
        form->HandleKeyPress(r.key, r.shift, false, r.ctrl);
        EXPECT_EQ(form->Last(), r.call) << "key " << r.key;
    }
    config->AlternateArrowKeyFunctions = true;
    form->HandleKeyPress(vkUp, false, false, false);
    EXPECT_EQ(form->Last(), "PopUpClickMenu");
    form->HandleKeyPress(vkDown, false, false, false);
    EXPECT_EQ(form->Last(), "GetNextFiles");
    config->AlternateArrowKeyFunctions = false;

    Open({{100, 150}});
    form->HandleKeyPress(vkF1, false, false, false);
    EXPECT_EQ(form->Last(), "ShowHelp(8)");
    // Another window has the keys: nothing reaches the reader.
    form->calls.clear();
    view.keysBlocked = true;
    for (int key : {int('C'), int(vkF1), int(vkSpace), int('A')}) form->HandleKeyPress(key, false, false, false);
    EXPECT_TRUE(form->calls.empty());
    EXPECT_EQ(config->LastPage, 0);
}

TEST_F(MainDisplayTest, ShiftBStoresABookmarkOnlyOnceThePageSetIsLoaded) {
    auto stored = [&] {
        TStringList l;
        config->ListBookmarks(l);
        for (int i = 0; i < l.Count(); ++i)
            if (!l[i].empty()) return true;
        return false;
    };
    form->HandleKeyPress('B', true, false, false);
    EXPECT_FALSE(stored());
    Open({{100, 150}, {100, 150}});
    ASSERT_TRUE(queue->FilesLoaded);
    form->HandleKeyPress('B', true, false, true);  // Ctrl+Shift: not a row of the table
    EXPECT_FALSE(stored());
    form->HandleKeyPress('B', true, false, false);
    EXPECT_TRUE(stored());
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

// ---- Clicks ----

namespace {

struct Click {
    TMouseButtonBit button;
    int at;  // ms on the manual clock
};

}  // namespace

TEST_F(MainDisplayTest, ClickSequencesRunTheirActionAtOnceOrWhenTheTimerEnds) {
    struct Case {
        const char* name;
        std::function<void(TConfigureForm&)> settings;
        std::vector<Click> clicks;
        int ranBy;         // ms at which the action has run (checked just before and at it)
        const char* call;  // entry point it reaches, or "" for a page turn
        int page;          // page afterwards (from page 1 of 0..3)
    };
    const Case cases[] = {
        // Defaults: the right button's double and triple actions are none, so a single
        // right click opens the menu on release.
        {"right single", [](TConfigureForm&) {}, {{mbRightBit, 0}}, 0, "PopUpClickMenu", 1},
        // A left single click waits for the timer and then does nothing (it only drags).
        {"left single", [](TConfigureForm&) {}, {{mbLeftBit, 0}}, 400, "", 1},
        // Left double: next or previous, at once because the triple action is none.
        {"left double", [](TConfigureForm&) {}, {{mbLeftBit, 0}, {mbLeftBit, 150}}, 150, "", 2},
        {"triple at once",
         [](TConfigureForm& c) {
             c.LeftClick2 = maGoToPage;
             c.LeftClick3 = maThumbnails;
         },
         {{mbLeftBit, 0}, {mbLeftBit, 100}, {mbLeftBit, 200}}, 200, "DoThumbs", 1},
        // The timer runs from the first click: a second click does not restart it.
        {"double by the timer",
         [](TConfigureForm& c) {
             c.LeftClick2 = maNextPagePlus1;
             c.LeftClick3 = maThumbnails;
         },
         {{mbLeftBit, 0}, {mbLeftBit, 350}}, 400, "", 3},
        // Clicks of different buttons add up; the last button's table counts.
        {"mixed buttons",
         [](TConfigureForm& c) {
             c.MiddleClick1 = maNextPage;
             c.MiddleClick2 = maThumbnails;
             c.RightClick2 = maPreviousPage;
         },
         {{mbMiddleBit, 0}, {mbRightBit, 100}}, 100, "", 0},
        {"single by the timer",
         [](TConfigureForm& c) {
             c.MiddleClick1 = maCycleRoundPage;
             c.MiddleClick2 = maLoadFiles;
         },
         {{mbMiddleBit, 0}}, 400, "", 2},
        {"load files", [](TConfigureForm& c) { c.LeftClick2 = maLoadFiles; }, {{mbLeftBit, 0}, {mbLeftBit, 10}}, 10,
         "GetFiles()", 1},
        {"previous files", [](TConfigureForm& c) { c.RightClick1 = maLoadPreviousFiles; }, {{mbRightBit, 0}}, 0,
         "GetPreviousFiles", 1},
        {"out of range code", [](TConfigureForm& c) { c.RightClick1 = 77; }, {{mbRightBit, 0}}, 0, "", 1},
    };
    Open({{100, 150}, {100, 150}, {100, 150}, {100, 150}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        form->DisplayPage(1, false);
        Run();
        ASSERT_EQ(config->LastPage, 1);
        TSettings saved = *config;
        c.settings(*config);
        form->calls.clear();
        view.cursor = {600, 300};  // right half: "next or previous" turns forward
        int start = view.now;
        for (const Click& k : c.clicks) {
            Advance(start + k.at - view.now);
            form->ImageDisplayMouseDown(k.button, 600, 300);
            form->ImageDisplayMouseUp(k.button, 600, 300);
        }
        if (c.ranBy > c.clicks.back().at) {
            Advance(start + c.ranBy - 1 - view.now);
            EXPECT_NE(form->Clicks(), 0) << "ran too early";
            Advance(1);
        }
        Run();
        EXPECT_EQ(form->Clicks(), 0);
        EXPECT_FALSE(view.timers.count(TMainTimer::Click));
        EXPECT_EQ(form->Last(), c.call);
        EXPECT_EQ(config->LastPage, c.page);
        static_cast<TSettings&>(*config) = saved;
        config->LastPage = c.page;
    }
}

TEST_F(MainDisplayTest, NextOrPreviousFollowsTheHalfOfTheDisplayAndTheRotation) {
    struct Case {
        bool left, right;
        TViewPoint cursor;
        int page;  // from page 1
    };
    const Case cases[] = {
        {false, false, {400, 10}, 0},  // x <= half: back
        {false, false, {401, 10}, 2},
        {true, false, {790, 299}, 2},  // turned left: upper half forward
        {true, false, {10, 300}, 0},
        {false, true, {10, 301}, 2},   // turned right: lower half forward
        {false, true, {790, 300}, 0},
    };
    Open({{100, 150}, {100, 150}, {100, 150}});
    for (const Case& c : cases) {
        form->DisplayPage(1, false);
        Run();
        config->RotateLeft = c.left;
        config->RotateRight = c.right;
        view.cursor = c.cursor;
        form->NextOrPreviousPage();
        Run();
        EXPECT_EQ(config->LastPage, c.page) << c.cursor.X << "," << c.cursor.Y;
    }
}

// ---- Zoom ----

TEST_F(MainDisplayTest, MagnifyingGlassFollowsTheCursorOverAFittedPage) {
    config->SetZooming(true);
    Open({{100, 150}});  // centred at (350, 225); the zoom is 200 x 300
    const TPageSlot& s = form->Image(0);
    ASSERT_TRUE(s.ZoomAvailable);
    EXPECT_EQ(form->ViewMode & (vmZoomOn | vmZoomDouble | vmMagnifierFollows), vmZoomOn | vmZoomDouble | vmMagnifierFollows);
    EXPECT_EQ(s.ZoomScaleX, 2000);
    EXPECT_EQ(s.ZoomWidth, 100);  // a quarter of the zoom's width at double scale
    EXPECT_EQ(s.ZoomHeight, 50);  // a twelfth of its height

    auto move = [&](int x, int y) {
        view.cursor = {x, y};
        form->ImageDisplayMouseMove(0, x, y);
    };
    move(10, 10);  // beside the page: no glass
    EXPECT_FALSE(s.ZoomShown);
    move(400, 300);  // page point (50, 75) -> zoom point (100, 150)
    ASSERT_TRUE(s.ZoomShown);
    EXPECT_EQ(s.ZoomSourceX, 50);
    EXPECT_EQ(s.ZoomSourceY, 125);
    EXPECT_EQ(s.ZoomDestX, 350);
    EXPECT_EQ(s.ZoomDestY, 275);
    move(351, 226);  // near the page's corner: the source stays inside the zoom
    EXPECT_EQ(s.ZoomSourceX, 0);
    EXPECT_EQ(s.ZoomSourceY, 0);
    // Under the glass: the zoom image's corner, where the page's dark corner pixel shows.
    EXPECT_EQ(At(301, 201), s.ZoomedBitmap->Pixel(0, 0));
    EXPECT_NE(At(301, 201), At(5, 5));

    // A moving glass recomposes only where it was and where it is; the result is the whole
    // composition.
    move(420, 320);
    move(380, 280);
    TBitmap partial;
    partial.SetSize(800, 600, TPixelFormat::pf24bit);
    CopyRect24(partial, 0, 0, form->BackBuffer(), 0, 0, 800, 600);
    form->PaintDoubleBuffer();
    for (int y = 0; y < 600; y += 3)
        for (int x = 0; x < 800; x += 3) ASSERT_EQ(partial.Pixel(x, y), At(x, y)) << x << "," << y;

    // The cursor's side strips hide the glass, and so does the magnifier switch.
    int paints = view.invalidations;
    move(2, 300);
    EXPECT_TRUE(form->ViewMode & vmZoomSuspended);
    move(400, 300);
    EXPECT_FALSE(form->ViewMode & vmZoomSuspended);
    // Each strip is 5 pixels of the 800-pixel window: 0..4 and 795..799.
    const std::pair<int, bool> strips[] = {{0, true}, {4, true}, {5, false}, {794, false}, {795, true}, {799, true}};
    for (const auto& [x, hidden] : strips) {
        move(400, 300);
        move(x, 300);
        EXPECT_EQ((form->ViewMode & vmZoomSuspended) != 0, hidden) << x;
    }
    move(400, 300);
    EXPECT_TRUE(s.ZoomShown);
    form->HandleKeyPress('Z', false, false, false);
    EXPECT_FALSE(s.ZoomShown);
    EXPECT_EQ(At(350, 275), At(5, 5));  // recomposed without the glass
    paints = view.invalidations;
    form->HandleKeyPress('Z', true, false, false);  // not a Z row: nothing
    move(401, 301);                                 // nothing shown before or now: no paint
    EXPECT_EQ(view.invalidations, paints);
    form->HandleKeyPress('Z', false, false, false);
    EXPECT_TRUE(s.ZoomShown);
    EXPECT_GT(view.invalidations, paints);
}

TEST_F(MainDisplayTest, GlassStopsOnePixelShortOfTheFarEdges) {
    config->SetZooming(true);
    Open({{800, 600}});  // fits exactly: double-size zoom 1600 x 1200, glass 400 x 200
    const TPageSlot& s = form->Image(0);
    ASSERT_EQ(s.ZoomWidth, 400);
    ASSERT_EQ(s.ZoomHeight, 200);
    view.cursor = {790, 595};
    form->ImageDisplayMouseMove(0, 790, 595);
    ASSERT_TRUE(s.ZoomShown);
    EXPECT_EQ(s.ZoomDestX, 800 - 400 - 1);
    EXPECT_EQ(s.ZoomDestY, 600 - 200 - 1);
    EXPECT_EQ(s.ZoomSourceX, 1600 - 400 - 1);
    EXPECT_EQ(s.ZoomSourceY, 1200 - 200 - 1);
}

namespace {

struct GlassCase {
    const char* name;
    bool twoPages, rotate;
    TViewPoint cursor;
    int slot;  // the slot whose zoom shows; -1 none
    int width, height;
};

class GlassGeometry : public MainDisplayTest, public ::testing::WithParamInterface<GlassCase> {};

}  // namespace

TEST_P(GlassGeometry, PerLayoutAndRotation) {
    const GlassCase& c = GetParam();
    config->SetTwoPages(c.twoPages);
    config->SetRotateRight(c.rotate);
    config->SetZooming(true);
    Open({{300, 600}, {300, 600}, {300, 600}});
    for (int i = 0; i < (c.twoPages ? 2 : 1); ++i) {
        ASSERT_TRUE(form->Image(i).ZoomAvailable);
        EXPECT_EQ(form->Image(i).ZoomWidth, c.width);
        EXPECT_EQ(form->Image(i).ZoomHeight, c.height);
    }
    view.cursor = c.cursor;
    form->ImageDisplayMouseMove(0, c.cursor.X, c.cursor.Y);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(form->Image(i).ZoomShown, i == c.slot) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, GlassGeometry,
    ::testing::Values(
        // Pages of 300 x 600, zooms of 600 x 1200: a quarter across, a twelfth down, at double scale.
        GlassCase{"SpreadLeftPage", true, false, {350, 300}, 0, 300, 200},
        GlassCase{"SpreadRightPage", true, false, {450, 300}, 1, 300, 200},
        GlassCase{"SpreadOutsideThePages", true, false, {50, 300}, -1, 300, 200},
        // Turned: zoom 1200 x 600, the divisors swap (a twelfth across, a quarter down).
        GlassCase{"Turned", false, true, {400, 300}, 0, 200, 300}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainDisplayTest, ScrollingPageShowsTheWholePageWhileTheMagnifierIsOn) {
    config->SetZooming(true);
    Open({{1600, 1200}});
    const TPageSlot& s = form->Image(0);
    ASSERT_TRUE(form->ViewMode & vmZoomUnfitted);
    ASSERT_TRUE(s.ZoomAvailable);
    EXPECT_EQ(s.ZoomedBitmap->Width(), 800);  // fitted whole
    EXPECT_TRUE(s.ZoomShown);
    EXPECT_EQ(s.ZoomDestX, 0);
    EXPECT_EQ(s.ZoomWidth, 800);
    EXPECT_EQ(At(0, 0), s.ZoomedBitmap->Pixel(0, 0));  // the zoom's corner at the display's corner
    EXPECT_NE(At(0, 0), RGBColor(1, 2, 3));
    form->HandleKeyPress('Z', false, false, false);
    EXPECT_FALSE(s.ZoomShown);
    EXPECT_EQ(At(1, 1), RGBColor(60, 200, 195));  // back to the unscaled page
}

TEST_F(MainDisplayTest, HeldZoomButtonShowsTheGlassUntilReleased) {
    config->SetZooming(true);
    config->CursorMove = maNone;
    config->MiddleClick1 = maZooming;
    Open({{100, 150}});
    form->ViewMode &= ~vmMagnifierFollows;
    const TPageSlot& s = form->Image(0);
    view.cursor = {400, 300};
    form->ImageDisplayMouseMove(0, 400, 300);
    EXPECT_FALSE(s.ZoomShown);
    form->ImageDisplayMouseDown(mbMiddleBit, 400, 300);
    EXPECT_TRUE(s.ZoomShown);
    view.cursor = {420, 320};
    form->ImageDisplayMouseMove(mbMiddleBit, 420, 320);
    EXPECT_EQ(s.ZoomDestX, 370);
    form->ImageDisplayMouseUp(mbMiddleBit, 420, 320);
    EXPECT_FALSE(s.ZoomShown);
    EXPECT_FALSE(form->ViewMode & vmMagnifierFollows);
}

// ---- Colour readout ----

TEST_F(MainDisplayTest, ColourReadoutSamplesThePaintedPixelsAroundTheCursor) {
    Open({{800, 600}});
    form->ImageDisplayMouseMove(0, 1, 1);
    EXPECT_EQ(view.samples, 0);  // switched off
    form->HandleKeyPress('C', true, false, true);
    EXPECT_TRUE(view.colourShowing);
    EXPECT_FALSE(view.smallCursor);  // the arrow
    form->ImageDisplayMouseMove(0, 1, 1);
    ASSERT_EQ(view.samples, 1);
    EXPECT_EQ(view.sample.X, 1);
    EXPECT_EQ(view.sample.Red[0][0], 1);  // the page's corner pixel up and to the left
    EXPECT_EQ(view.sample.Blue[0][0], 3);
    EXPECT_EQ(view.sample.Green[1][1], 200);
    form->ImageDisplayMouseMove(0, 0, 0);  // at the corner the neighbours outside are black
    EXPECT_EQ(view.sample.Red[0][0], 0);
    EXPECT_EQ(view.sample.Red[1][1], 1);
    form->ImageDisplayMouseMove(0, 799, 599);
    EXPECT_EQ(view.sample.Green[2][2], 0);
    EXPECT_EQ(view.sample.Green[1][1], 200);
    form->ImageDisplayMouseMove(mbLeftBit, 5, 5);  // a dragging button: no readout
    EXPECT_EQ(view.samples, 3);
    form->HandleKeyPress('C', true, false, true);
    EXPECT_FALSE(view.colourShowing);
}

TEST_F(MainDisplayTest, ZeroSizedDisplayTakesMovesClicksAndZoomsSafely) {
    config->SetZooming(true);
    Open({{100, 150}, {100, 150}});
    form->HandleKeyPress('C', true, false, true);  // the readout reads the painted buffer
    view.cw = view.ch = 0;
    view.cursor = {0, 0};
    form->SetUpZooms();
    for (auto [x, y] : {std::pair{0, 0}, {-5, 7}, {400, 300}}) {
        form->ImageDisplayMouseMove(0, x, y);
        form->ImageDisplayMouseMove(mbLeftBit, x, y);
    }
    form->HandleKeyPress('Z', false, false, false);
    form->HandleKeyPress('Z', false, false, false);
    form->ImageDisplayMouseDown(mbLeftBit, 0, 0);
    form->ImageDisplayMouseUp(mbLeftBit, 0, 0);
    Advance(1000);
    EXPECT_EQ(form->Image(0).ZoomWidth, 0);
    EXPECT_EQ(form->Clicks(), 0);
}

TEST_F(MainDisplayTest, ForwardReadingFindsEveryNextPageReadyInTheCache) {
    // While the reader looks at a page the queue prepares the next ones: each turn shows its
    // page at once, without waiting for the queue. Default processing, pages larger than
    // the window, in one-page and then in two-page reading.
    config->SetColourBalanceOn(true);
    config->SetYellowReductionOn(true);
    config->SetFitWidthIfOversize(true);
    Open({{900, 1300}, {900, 1300}, {900, 1300}, {900, 1300}, {900, 1300}, {900, 1300}, {900, 1300}, {900, 1300}});
    for (bool two : {false, true}) {
        if (two) {
            config->SetTwoPages(true);
            config->PageInTwos = true;
            Run();  // the change redisplays
            form->DisplayPage(0, false);
            Run();
        }
        const int step = two ? 2 : 1;
        for (int page = step; page + step <= form->PageCount(); page += step) {
            form->DisplayNextPage(false);
            EXPECT_TRUE(form->Image(0).Displayed && form->Image(0).Page == page)
                << (two ? "two pages" : "one page") << ": page " << page << " was not ready ";
            EXPECT_FALSE(form->Busy);
            Run();  // the reader reads; the queue works ahead
        }
    }
}

// ---- Commands that run dialogs ----
// (called past the recording overrides: these tests run the real commands)

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
    form->TMainDisplayForm::DoThumbs();  // the strip is not made yet: wait for it
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
    form->TMainDisplayForm::DoThumbs();  // ready now: shown at once; Cancel changes nothing
    Run();
    EXPECT_EQ(form->Image(0).Page, 2);
    d.goToAnswer = 1;
    form->TMainDisplayForm::DoGoToPage();
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
    form->TMainDisplayForm::DoGoToPage();
    EXPECT_TRUE(d.log.empty());
}

TEST_F(MainDisplayTest, OpeningFilesWaitsForTheQueueAndFavouritesStartTheDialogThere) {
    FakeDialogs d;
    form->Dialogs = &d;
    form->ApplicationStartupComplete({});
    auto names = MakePages({{100, 150}, {100, 150}});
    config->SetLastDir("/last");
    config->SetFavouriteDirs(",," + pages.Path());
    form->TMainDisplayForm::DoLoadWithFavourite(0);  // empty entry
    form->TMainDisplayForm::DoLoadWithFavourite(5);  // beyond the list
    EXPECT_TRUE(queue->Queue().empty());
    d.files = {names[1]};
    form->TMainDisplayForm::GetFiles("");
    EXPECT_TRUE(d.log.empty()) << "not before the queue halts";
    Run();
    ASSERT_EQ(d.log, std::vector<std::string>{"open /last 2"});
    EXPECT_EQ(config->LastFilterIndex, 3);
    EXPECT_EQ(queue->GetFiles(), 1);
    EXPECT_FALSE(queue->Running());
    d.openOk = false;
    form->TMainDisplayForm::DoLoadWithFavourite(2);
    Run();
    EXPECT_EQ(d.log.back(), "open " + pages.Path() + " 3");
    EXPECT_FALSE(queue->Running()) << "a cancelled dialog reopens the queue";
    const std::string recent = config->RecentDirectories;
    form->ManageFavouritesMenuItemClick();
    EXPECT_EQ(d.log.back(), "organise ,," + pages.Path() + "|" + recent);
    EXPECT_EQ(config->FavouriteDirectories + " " + config->RecentDirectories, ",/b /r");
}

// ---- Layout details, start-up wiring and the page label's timing ----

namespace {

// A processed page of the given generation, waiting in the cache: its left and right
// 10-pixel strips hold their own grey, the rest is white, so its corners average both strips
// and its edges give each strip alone.
TBufferedPagePtr EdgePage(int page, int gen, int w, int h, int left, int right) {
    TBufferedPagePtr p = TBufferedPage::Create(page, TRotation(0), gen, ctDisplay, "edge" + std::to_string(page) + ".bmp");
    p->SetSize(w, h, TPixelFormat::pf24bit);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t g = static_cast<uint8_t>(x < 10 ? left : x >= w - 10 ? right : 255);
            std::fill_n(p->ScanLine(y) + 3 * x, 3, g);
        }
    p->Processed = true;
    return p;
}

TColor Grey(int g) { return RGBColor(static_cast<uint8_t>(g), static_cast<uint8_t>(g), static_cast<uint8_t>(g)); }

}  // namespace

TEST_F(MainDisplayTest, SpreadOuterBandsTakeTheNearestMarginOnlyWhenBothPagesFillTheHeight) {
    struct Case {
        bool japanese;
        int h0, h1;
        int outerLeft, outerRight;  // greys of the bands at the window's left and right edges
    };
    // Page 0's strips are 100 | 120 (corners 110), page 1's 160 | 180 (corners 170).
    const Case cases[] = {
        {false, 600, 600, 100, 180},  // page 0's left edge, page 1's right edge
        {true, 600, 600, 160, 120},   // page 1 on the left: its left edge; page 0's right edge
        {false, 500, 500, 110, 170},  // bands above and below: the corner colours
        {true, 500, 500, 170, 110},
        {false, 600, 500, 110, 170},  // one page short of the height is enough
        {true, 500, 600, 170, 110},
    };
    config->SetTwoPages(true);
    Open({{100, 600}, {100, 600}});
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.japanese) + " " + std::to_string(c.h0) + " " + std::to_string(c.h1));
        config->JapaneseMode = c.japanese;
        // Two-page processing fits a page to the full height, or to the half width where no
        // outer band is left; the pages short of the height are made here, for the next
        // generation, and the redisplay finds them in the cache.
        const int gen = form->RequestGeneration + 1;
        TBufferedPagePtr a = EdgePage(0, gen, 100, c.h0, 100, 120), b = EdgePage(1, gen, 100, c.h1, 160, 180);
        form->ResizeTimerTimer();
        Run();
        const TPageSlot& s0 = form->Image(0);
        const TPageSlot& s1 = form->Image(1);
        ASSERT_TRUE(s0.Bitmap == a && s1.Bitmap == b && s1.Displayed);
        const FillBand& left = c.japanese ? s1.Bands[TPageSlot::Left] : s0.Bands[TPageSlot::Left];
        const FillBand& right = c.japanese ? s0.Bands[TPageSlot::Right] : s1.Bands[TPageSlot::Right];
        ASSERT_TRUE(left.Active && right.Active);
        EXPECT_EQ(left.Colour, Grey(c.outerLeft));
        EXPECT_EQ(right.Colour, Grey(c.outerRight));
        EXPECT_EQ(At(5, 300), Grey(c.outerLeft));
        EXPECT_EQ(At(795, 300), Grey(c.outerRight));
    }
}

TEST_F(MainDisplayTest, SpreadBandsOfPageZeroEndAtTheCentreLine) {
    // Pages of 300 x 350 fitted to the half window: 400 x 466, bands of 67 above and below.
    struct Rect {
        bool active;
        int l, t, r, b;
        bool operator==(const Rect&) const = default;
    };
    auto rect = [](const FillBand& f) { return f.Active ? Rect{true, f.Left, f.Top, f.Right, f.Bottom} : Rect{false, 0, 0, 0, 0}; };
    const Rect off{false, 0, 0, 0, 0};
    struct Case {
        bool japanese;
        Rect s0[4], s1[4];  // top, bottom, left, right
    };
    const Case cases[] = {
        {false,  // page 0 on the left; its outer band is there but empty
         {{true, 0, 0, 400, 67}, {true, 0, 533, 400, 600}, {true, 0, 0, 0, 600}, off},
         {{true, 400, 0, 800, 67}, {true, 400, 533, 800, 600}, off, off}},
        {true,
         {{true, 400, 0, 800, 67}, {true, 400, 533, 800, 600}, off, {true, 800, 0, 800, 600}},
         {{true, 0, 0, 400, 67}, {true, 0, 533, 400, 600}, off, off}},
    };
    config->SetTwoPages(true);
    Open({{300, 350}, {300, 350}});
    for (const Case& c : cases) {
        config->SetJapaneseMode(c.japanese);
        Run();
        ASSERT_TRUE(form->Image(1).Displayed);
        ASSERT_EQ(form->Image(0).Bitmap->Height(), 466);
        for (int b = 0; b < 4; ++b) {
            EXPECT_TRUE(rect(form->Image(0).Bands[static_cast<size_t>(b)]) == c.s0[b]) << "page 0, band " << b << ", " << c.japanese;
            EXPECT_TRUE(rect(form->Image(1).Bands[static_cast<size_t>(b)]) == c.s1[b]) << "page 1, band " << b << ", " << c.japanese;
        }
    }
}

TEST_F(MainDisplayTest, LargePageStartsWhereTheReadingOrderBegins) {
    // 2000 x 1200 in 800 x 600: 1200 to scroll across, 600 down.
    struct Case {
        bool japanese, backward;
        int h, v;
    };
    const Case cases[] = {
        {false, false, 0, 0},     // top left
        {false, true, 1200, 600}, // reached backwards: bottom right
        {true, false, 1200, 0},   // right to left: top right
        {true, true, 0, 600},     // reached backwards: bottom left, where that order ends
    };
    Open({{2000, 1200}, {2000, 1200}, {2000, 1200}});
    for (const Case& c : cases) {
        config->JapaneseMode = c.japanese;
        form->DisplayPage(c.backward ? 2 : 1, true);
        Run();
        if (c.backward) {
            form->DisplayPreviousPage(false);
            Run();
        }
        ASSERT_EQ(form->Image(0).Page, 1);
        ASSERT_EQ(form->Image(0).Backward, c.backward);
        EXPECT_EQ(form->HScrollPos, c.h) << c.japanese << c.backward;
        EXPECT_EQ(form->VScrollPos, c.v) << c.japanese << c.backward;
    }
}

TEST_F(MainDisplayTest, TurnedScrollFrameTakesItsSourceFromTheTurnedPage) {
    // 2000 x 1500, turned a quarter to 1500 x 2000; scrolled 50 sideways and 100 down.
    struct Case {
        const char* name;
        bool left, right;
        int sourceX, sourceY;
    };
    const Case cases[] = {
        {"not turned", false, false, 50, 100},
        {"turned left", true, false, 100, 2000 - 50 - 600},  // down the screen is left to right on the page
        {"turned right", false, true, 1500 - 100 - 800, 50}, // down the screen is right to left on the page
    };
    std::string name = pages.File("gradient.bmp");  // every pixel tells where it lies
    test::WriteBmp24(name, 2000, 1500, [](int x, int y) { return Rgb(x % 256, y % 256, (x / 256) * 8 + y / 256); });
    form->ApplicationStartupComplete({name});
    Run();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        config->SetRotateLeft(c.left);
        config->SetRotateRight(c.right);
        Run();
        ASSERT_TRUE(form->CanScrollH && form->CanScrollV);
        ASSERT_TRUE(form->DoHorizontalScroll(50));
        ASSERT_TRUE(form->DoVerticalScroll(100));
        const TPageSlot& s = form->Image(0);
        EXPECT_EQ(s.SourceX, c.sourceX);
        EXPECT_EQ(s.SourceY, c.sourceY);
        EXPECT_EQ(At(0, 0), s.Bitmap->Pixel(c.sourceX, c.sourceY));
        EXPECT_EQ(At(799, 599), s.Bitmap->Pixel(c.sourceX + 799, c.sourceY + 599));
    }
}

TEST_F(MainDisplayTest, StartupWiresCacheLimitsCursorAndResizes) {
    config->PageBufferSize = 3;
    config->SmallCursor = true;
    TBufferedPage::SetPageLimit(99);
    TBufferedPage::SetUnprocessedLimit(99);
    form->FormResize();  // before start-up a resize does nothing
    EXPECT_FALSE(view.timers.count(TMainTimer::Resize));
    EXPECT_FALSE(view.smallCursor);
    form->ApplicationStartupComplete({});
    EXPECT_EQ(TBufferedPage::PageLimit(), 1 + 3);
    EXPECT_EQ(TBufferedPage::UnprocessedLimit(), 1);
    EXPECT_TRUE(view.smallCursor);
    form->FormResize();
    EXPECT_EQ(view.timers[TMainTimer::Resize], 2000);
    form->OnTimer(TMainTimer::Resize);
    // A settings change sets them again from the new values.
    config->PageBufferSize = 1;
    config->SetTwoPages(true);
    EXPECT_EQ(TBufferedPage::PageLimit(), 2 + 1);
    EXPECT_EQ(TBufferedPage::UnprocessedLimit(), 2);
    config->SetSmallCursor(false);
    EXPECT_FALSE(view.smallCursor);
    config->PageBufferSize = 5;
    config->SetTwoPages(false);
    EXPECT_EQ(TBufferedPage::PageLimit(), 1 + 5);
    EXPECT_EQ(TBufferedPage::UnprocessedLimit(), 1);
    TBufferedPage::SetPageLimit(5);
    TBufferedPage::SetUnprocessedLimit(2);
}

TEST_F(MainDisplayTest, PageLabelAndInformationHideThreeSecondsAfterTheLastDisplay) {
    config->SetImageInformation(true);
    Open({{100, 150}, {100, 150}});
    ASSERT_TRUE(view.labelShown && view.infoVisible);
    EXPECT_EQ(view.timers[TMainTimer::PageLabel], 3000);
    Advance(2999);
    EXPECT_TRUE(view.labelShown && view.infoVisible);
    Advance(1);
    EXPECT_FALSE(view.labelShown || view.infoVisible);
    EXPECT_FALSE(view.timers.count(TMainTimer::PageLabel));
    // Each display starts the three seconds again.
    form->DisplayNextPage(false);
    Run();
    Advance(2000);
    form->DisplayPreviousPage(false);
    Run();
    EXPECT_TRUE(view.labelShown);
    Advance(2999);
    EXPECT_TRUE(view.labelShown && view.infoVisible);
    Advance(1);
    EXPECT_FALSE(view.labelShown || view.infoVisible);
    Advance(10000);  // stopped: nothing more fires
    EXPECT_FALSE(view.labelShown);
}

TEST_F(MainDisplayTest, TwoPageInformationHasABlockPerPage) {
    config->SetImageInformation(true);
    config->SetTwoPages(true);
    Open({{100, 600}, {120, 600}, {100, 600}});
    ASSERT_TRUE(form->Image(1).Displayed);
    const TBufferedPagePtr& p0 = form->Image(0).Bitmap;
    const TBufferedPagePtr& p1 = form->Image(1).Bitmap;
    auto block = [](const std::string& name, int page, int w, const char* yellow) {
        return name + " (" + std::to_string(page) + " / 3)\nSize: " + std::to_string(w) +
               " x 600\nColour Balance: 100%\nMagnification: 100%\nReduced Yellowing: " + yellow;
    };
    EXPECT_EQ(view.infoText, block(p0->FileName, 1, 100, "No") + "\n\n" + block(p1->FileName, 2, 120, "No"));
    EXPECT_EQ(view.labelText, "1,2/3");
    // "Yes" when the yellowing was reduced, or when only an area was filled.
    const std::tuple<bool, bool, const char*> cases[] = {{true, false, "Yes"}, {false, true, "Yes"}, {false, false, "No"}};
    for (auto [reduced, filled, answer] : cases) {
        p1->YellowingReduced = reduced;
        p1->AreaFilled = filled;
        form->PageVisible(1, 2);
        EXPECT_EQ(view.infoText, block(p0->FileName, 1, 100, "No") + "\n\n" + block(p1->FileName, 2, 120, answer));
    }
}

TEST_F(MainDisplayTest, ExitWhileThumbnailsShowStoresTheLayoutAndStays) {
    form->DoWindowMode();
    view.bounds = {11, 22, 333, 444};
    form->ThumbsShowing = true;
    form->DoTerminate();
    EXPECT_EQ(std::vector<int>({config->WindowLeft, config->WindowTop, config->WindowWidth, config->WindowHeight}),
              std::vector<int>({11, 22, 333, 444}));
    EXPECT_FALSE(view.minimised);
    EXPECT_FALSE(view.timers.count(TMainTimer::Shutdown));
    TConfigureForm reread;  // on disk too
    EXPECT_EQ(reread.WindowWidth, 333);
}

// A page lost to its password keeps its error page while the page cache holds it: turning
// away and back shows it again without a question. F5 reloads past the cache and asks again.
TEST_F(MainDisplayTest, ACancelledPasswordIsAskedAgainOnReloadNotFromTheCache) {
    if (!HaveZip()) GTEST_SKIP() << "zip missing";
    MakePages({{100, 150}, {100, 150}});
    const std::string book = ZipPages("zip -q -0 book.cbz page10.bmp && zip -q -0 -P secret book.cbz page11.bmp");
    ASSERT_NE(book, "");

    form->ApplicationStartupComplete({book});
    Run();
    ASSERT_EQ(form->PageCount(), 2);
    form->DisplayNextPage(false);  // the question is cancelled
    Run();
    ASSERT_TRUE(form->Image(0).Displayed);
    EXPECT_EQ(form->Image(0).Bitmap->Width(), 400) << "the error page";
    const size_t asked = ui.passwordRequests.size();
    ASSERT_GE(asked, 1u);
    form->DisplayPreviousPage(false);
    Run();
    form->DisplayNextPage(false);
    Run();
    EXPECT_EQ(ui.passwordRequests.size(), asked) << "back and forth: the cached error page, no question";
    EXPECT_EQ(form->Image(0).Bitmap->Width(), 400);

    ui.passwords.push_back("secret");
    form->HandleKeyPress(vkF5, false, false, false);
    Run();
    EXPECT_EQ(ui.passwordRequests.size(), asked + 1) << "F5 asks again";
    ASSERT_TRUE(form->Image(0).Displayed);
    EXPECT_EQ(form->Image(0).Page, 1);
    EXPECT_EQ(form->Image(0).Bitmap->Width(), 100) << "the right answer shows the page";
}

// The thumbnails made in the background read every page again: a page whose question was
// just cancelled is not asked for again by them (only a visit of the page asks again).
TEST_F(MainDisplayTest, BackgroundThumbnailsDoNotAskAgainForACancelledPage) {
    if (!HaveZip()) GTEST_SKIP() << "zip missing";
    ASSERT_TRUE(config->GenerateThumbsInBackground);
    MakePages({{100, 150}});
    const std::string book = ZipPages("zip -q -0 -P secret book.cbz page10.bmp");
    ASSERT_NE(book, "");

    form->ApplicationStartupComplete({book});
    Run();
    ASSERT_TRUE(form->Image(0).Displayed);
    EXPECT_EQ(form->Image(0).Bitmap->Width(), 400) << "the error page";
    EXPECT_TRUE(queue->ThumbsComplete);
    EXPECT_EQ(ui.passwordRequests.size(), 1u) << "asked once, for the page shown";

    form->HandleKeyPress(vkF5, false, false, false);
    Run();
    EXPECT_EQ(ui.passwordRequests.size(), 2u) << "a visit still asks again";
}

// The other way round: the thumbnails made as the book opens meet the password first. The
// page cache reading ahead to that page later does not ask again; the question named the
// member and the archive, as it comes while another page is on the screen.
TEST_F(MainDisplayTest, ThePageCacheReadingAheadDoesNotAskAgainAfterTheThumbnails) {
    if (!HaveZip()) GTEST_SKIP() << "zip missing";
    ASSERT_TRUE(config->GenerateThumbsInBackground);
    ASSERT_EQ(config->PageBufferSize, 3);  // two pages after the one shown are read ahead
    MakePages({{100, 150}, {100, 150}, {100, 150}, {100, 150}, {100, 150}, {100, 150}});
    const std::string book = ZipPages("zip -q -0 book.cbz page10.bmp page11.bmp page12.bmp page13.bmp page15.bmp && "
                                      "zip -q -0 -P secret book.cbz page14.bmp");
    ASSERT_NE(book, "");

    form->ApplicationStartupComplete({book});
    Run();
    ASSERT_EQ(form->PageCount(), 6);
    EXPECT_TRUE(queue->ThumbsComplete);
    ASSERT_EQ(ui.passwordRequests.size(), 1u) << "the thumbnails asked for page14.bmp";
    EXPECT_EQ(ui.passwordRequests[0].caption, "Password");
    EXPECT_EQ(ui.passwordRequests[0].prompt, "Enter Password\npage14.bmp\nin book.cbz");

    form->DisplayNextPage(false);
    Run();
    form->DisplayNextPage(false);  // page 3 of 6: the cache reads pages 4 and 5 ahead
    Run();
    ASSERT_EQ(form->Image(0).Page, 2);
    EXPECT_EQ(ui.passwordRequests.size(), 1u) << "the read-ahead left the page alone";

    form->DisplayNextPage(false);
    Run();
    form->DisplayNextPage(false);
    Run();
    ASSERT_EQ(form->Image(0).Page, 4);
    EXPECT_EQ(form->Image(0).Bitmap->Width(), 400) << "the error page";
    ui.passwords.push_back("secret");
    form->HandleKeyPress(vkF5, false, false, false);
    Run();
    EXPECT_EQ(ui.passwordRequests.size(), 2u) << "F5 asks again";
    EXPECT_EQ(form->Image(0).Bitmap->Width(), 100);
    EXPECT_TRUE(ui.shown.empty());
}

// A book whose members all fail (their headers claim 250 MB each, their data is a few KB)
// meets the visit, the page cache's read-ahead and the thumbnails at once: the user gets one
// message for the archive, naming a few members and the count, not one box per member.
TEST_F(MainDisplayTest, MembersFailingAsTheBookOpensAreToldInOneMessage) {
    ASSERT_TRUE(config->GenerateThumbsInBackground);
    const std::vector<std::string> names = MakePages({{40, 30}});
    const std::string data = test::ReadFileBytes(names[0]);
    std::vector<test::RarMember> members;
    for (int i = 0; i < 8; ++i) {
        test::RarMember m{"p0" + std::to_string(i) + ".jpg", data};
        m.statedSize = 250u << 20;
        members.push_back(m);
    }
    const std::string book = pages.File("book.cbr");
    test::WriteStoredRar(pages.File("book"), members, 0, true, book);
    // The pace of the test decides nothing: the visit's failure waits for the others.
    queue->LoadFile().GatherWindowMs = 600000;

    form->ApplicationStartupComplete({book});
    Run();
    ASSERT_EQ(form->PageCount(), 8);
    ASSERT_TRUE(form->Image(0).Displayed);
    EXPECT_EQ(form->Image(0).Bitmap->Width(), 400) << "the page shows the error page";
    EXPECT_TRUE(queue->ThumbsComplete);
    ASSERT_EQ(ui.shown.size(), 1u) << (ui.shown.empty() ? "" : ui.shown[1 % ui.shown.size()].text);
    EXPECT_EQ(ui.shown[0].caption, book);
    const std::string& text = ui.shown[0].text;
    EXPECT_EQ(text.rfind("8 members cannot be shown: p00.jpg, ", 0), 0u) << text;
    EXPECT_NE(text.find(" and 5 more."), std::string::npos) << text;
    EXPECT_NE(text.find("The member p00.jpg is damaged and cannot be shown."), std::string::npos) << text;

    // Turning the pages asks for nothing more: each was met once in this opening.
    for (int i = 0; i < 3; ++i) {
        form->DisplayNextPage(false);
        Run();
    }
    EXPECT_EQ(ui.shown.size(), 1u);
}

namespace {

// The gathering's clock, moved on by the test.
std::chrono::steady_clock::time_point g_testNow{};
std::chrono::steady_clock::time_point TestNow() { return g_testNow; }
// What each pass through the messages does while a step runs.
std::function<void()> g_onPass;
void OnPass() {
    if (g_onPass) g_onPass();
}

// p00, p02 and p03 fail (their headers claim 250 MB), p01 and p04 are genuine pages; p01
// is large enough that its step lets messages through many times.
std::string FailingBook(test::TempDir& pages, const std::string& small, const std::string& large) {
    std::vector<test::RarMember> members;
    for (int i = 0; i < 5; ++i) {
        const bool genuine = i == 1 || i == 4;
        test::RarMember m{"p0" + std::to_string(i) + (genuine ? ".bmp" : ".jpg"), i == 1 ? large : small};
        if (!genuine) m.statedSize = 250u << 20;
        members.push_back(m);
    }
    const std::string book = pages.File("book.cbr");
    test::WriteStoredRar(pages.File("book"), members, 0, true, book);
    return book;
}

}  // namespace

// The visited page fails, then the page cache reads a large page ahead in one long step
// (each pass through the messages it lets through takes 50 ms of the test's clock). The
// visited page's message comes when it has waited its second, while that step still runs,
// and names it alone; the members met after it are told together once the queue settles.
TEST_F(MainDisplayTest, AVisitedPagesFailureIsToldOnTimeWhileALongStepRuns) {
    const std::vector<std::string> names = MakePages({{40, 30}, {1200, 1600}});
    const std::string book = FailingBook(pages, test::ReadFileBytes(names[0]), test::ReadFileBytes(names[1]));
    queue->LoadFile().Now = &TestNow;
    ASSERT_EQ(queue->LoadFile().GatherWindowMs, 750);

    form->ApplicationStartupComplete({book});
    for (int i = 0; i < 20 && !form->Image(0).Displayed; ++i) form->IdleHandler();
    ASSERT_TRUE(form->Image(0).Displayed);
    EXPECT_EQ(form->Image(0).Bitmap->Width(), 400) << "the error page";
    EXPECT_TRUE(ui.shown.empty()) << "held for the others";
    ASSERT_FALSE(queue->Queue().empty());
    ASSERT_EQ(queue->Queue().front().Type, rtLoadPage);
    ASSERT_EQ(queue->Queue().front().FileNumber, 1) << "the next step reads p01 ahead";

    int elapsed = 0, toldAt = -1;
    g_onPass = [&] {
        elapsed += 50;
        g_testNow += std::chrono::milliseconds(50);
        Advance(50);
        if (toldAt < 0 && !ui.shown.empty()) toldAt = elapsed;
    };
    ui.onProcessMessages = &OnPass;
    form->IdleHandler();
    ui.onProcessMessages = nullptr;
    g_onPass = nullptr;
    ASSERT_GE(elapsed, 1500) << "the step must outlast the wait for the case to mean anything";
    ASSERT_EQ(ui.shown.size(), 1u) << "told during the step";
    EXPECT_EQ(toldAt, 750);
    EXPECT_EQ(ui.shown[0].caption, book);
    EXPECT_EQ(ui.shown[0].text.rfind("The member p00.jpg is damaged and cannot be shown.", 0), 0u) << ui.shown[0].text;

    Run();
    ASSERT_EQ(ui.shown.size(), 2u) << "the members the read-ahead and the thumbnails met after the first box";
    EXPECT_EQ(ui.shown[1].caption, book);
    EXPECT_EQ(ui.shown[1].text.rfind("2 members cannot be shown: p02.jpg, p03.jpg.", 0), 0u) << ui.shown[1].text;
    EXPECT_FALSE(view.timers.count(TMainTimer::HeldFailures));
}

// Two books side by side, each a failing page: while the first book's box waits for OK the
// loop turns (idle steps, timers) without the held-failure timer firing again and again,
// and the second book's box comes once the first is closed.
TEST_F(MainDisplayTest, AReaderWaitingOnAFailureBoxSleeps) {
    config->SetTwoPages(true);
    const std::string small = test::ReadFileBytes(MakePages({{40, 30}})[0]);
    std::vector<std::string> books;
    for (const char* name : {"first", "second"}) {
        test::RarMember page{"p00.jpg", small};
        page.statedSize = 250u << 20;
        books.push_back(pages.File(std::string(name) + ".cbr"));
        test::WriteStoredRar(pages.File(name), {page}, 0, true, books.back());
    }
    queue->LoadFile().Now = &TestNow;
    form->ApplicationStartupComplete(books);
    for (int i = 0; i < 20 && !form->Image(1).Displayed; ++i) form->IdleHandler();
    ASSERT_TRUE(form->Image(0).Displayed && form->Image(1).Displayed);
    ASSERT_TRUE(ui.shown.empty()) << "held for the others";
    ASSERT_TRUE(view.timers.count(TMainTimer::HeldFailures));

    int startsWhileShown = -1, turns = 0;
    ui.whileBoxShows = [&] {
        if (ui.shown.size() != 1) return;
        const int before = view.starts[TMainTimer::HeldFailures];
        // Ten seconds of a loop that wakes every 5 ms for whatever else it has.
        for (turns = 0; turns < 2000; ++turns) {
            form->IdleHandler();
            g_testNow += std::chrono::milliseconds(5);
            Advance(5);
        }
        startsWhileShown = view.starts[TMainTimer::HeldFailures] - before;
    };
    g_testNow += std::chrono::milliseconds(750);
    Advance(750);
    ui.whileBoxShows = nullptr;
    ASSERT_EQ(turns, 2000) << "the first box came";
    EXPECT_EQ(startsWhileShown, 0) << "the timer was armed again and again while the box waited";
    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[0].caption, books[0]);
    EXPECT_EQ(ui.shown[1].caption, books[1]);
    EXPECT_EQ(ui.shown[1].text.rfind("The member p00.jpg is damaged and cannot be shown.", 0), 0u) << ui.shown[1].text;
    Run();
    EXPECT_EQ(ui.shown.size(), 2u);
    EXPECT_FALSE(view.timers.count(TMainTimer::HeldFailures));
}

// Esc while failures are held shows no box: what it would have said goes to the error
// output, once. Failures still held when the queue goes (the window closed another way)
// go there too.
TEST_F(MainDisplayTest, FailuresHeldAtTheEndGoToTheErrorOutput) {
    const std::vector<std::string> names = MakePages({{40, 30}});
    const std::string small = test::ReadFileBytes(names[0]);
    const std::string book = FailingBook(pages, small, small);
    queue->LoadFile().GatherWindowMs = 600000;

    form->ApplicationStartupComplete({book});
    for (int i = 0; i < 20 && !form->Image(0).Displayed; ++i) form->IdleHandler();
    ASSERT_TRUE(form->Image(0).Displayed);
    ASSERT_TRUE(ui.shown.empty());
    ASSERT_GE(queue->LoadFile().FailureDueInMs(), 0) << "the visited page's failure is held";

    testing::internal::CaptureStderr();
    form->DoTerminate();
    form->OnTimer(TMainTimer::Shutdown);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(view.terminated);
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_NE(err.find(book + ": The member p00.jpg is damaged and cannot be shown."), std::string::npos) << err;
    EXPECT_EQ(queue->LoadFile().FailureDueInMs(), -1);
    testing::internal::CaptureStderr();
    form.reset();
    queue.reset();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "said once";
    RequestStop(false);

    // Held when the queue goes, without Esc.
    queue = std::make_unique<TProcessFilesForm>(*config);
    form = std::make_unique<RecordingForm>(view, *config, *queue);
    form->FormCreate();
    queue->LoadFile().GatherWindowMs = 600000;
    form->ApplicationStartupComplete({book});
    for (int i = 0; i < 20 && !form->Image(0).Displayed; ++i) form->IdleHandler();
    ASSERT_TRUE(form->Image(0).Displayed);
    ASSERT_TRUE(ui.shown.empty());
    testing::internal::CaptureStderr();
    form.reset();
    queue.reset();
    const std::string left = testing::internal::GetCapturedStderr();
    EXPECT_NE(left.find(book + ": The member p00.jpg is damaged"), std::string::npos) << left;
    EXPECT_TRUE(ui.shown.empty());
}

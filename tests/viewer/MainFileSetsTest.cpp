// The main window's file-set commands, bookmarks, menu enabling, slideshow and page export,
// on a fake view with the real settings, queue and pages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "pages/PageList.h"
#include "pages/ProcessFiles.h"
#include "platform/DynLib.h"
#include "platform/Registry.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"
#include "support/TestImages.h"
#include "viewer/Help.h"
#include "viewer/Main.h"

using namespace vellicor;

namespace {

class SetsView : public IMainView {
public:
    bool displayVisible = false, windowed = false, maximised = false, infoVisible = false;
    std::map<TMainTimer, int> timers;
    std::vector<int> clipboard;  // widths of the bitmaps copied
    std::string saveAs;      // answer of the save dialog ("" cancels)
    std::string savePreset;  // what it was preset to
    int popups = 0;

    int ClientWidth() const override { return 400; }
    int ClientHeight() const override { return 300; }
    void InvalidateDisplay() override {}
    void SetDisplayVisible(bool v) override { displayVisible = v; }
    bool DisplayVisible() const override { return displayVisible; }
    void SetCaption(const std::string&) override {}
    void ClearHint() override {}
    void SetSmallCursor(bool) override {}
    void PlacePageLabel(const std::string&, int& l, int& t) override { l = t = 0; }
    void ShowPageLabel(bool) override {}
    void HidePageLabel() override {}
    int InformationHeight(const std::string&) override { return 10; }
    void ShowInformation(const std::string&, int, int, bool v) override { infoVisible = v; }
    void HideInformation() override { infoVisible = false; }
    void SetInformationVisible(bool v) override { infoVisible = v; }
    bool InformationVisible() const override { return infoVisible; }
    void StartTimer(TMainTimer t, int ms) override { timers[t] = ms; }
    void StopTimer(TMainTimer t) override { timers.erase(t); }
    bool TimerEnabled(TMainTimer t) const override { return timers.count(t) > 0; }
    int DoubleClickTime() const override { return 400; }
    void Minimise() override {}
    void Terminate() override {}
    bool IsWindowed() const override { return windowed; }
    bool IsMaximised() const override { return maximised; }
    TViewRect WindowBounds() const override { return {0, 0, 300, 300}; }
    TViewRect WorkArea() const override { return {0, 0, 1000, 800}; }
    void SetFullScreen() override { windowed = false; }
    void SetWindowed(const TViewRect&, bool m) override {
        windowed = true;
        maximised = m;
    }
    void CopyToClipboard(const TBitmap& b) override {
        clipboard.push_back(b.Width());
    }
    bool AskSaveFileName(std::string& name) override {
        savePreset = name;
        if (saveAs.empty()) return false;
        name = saveAs;
        return true;
    }
    void PopupMenuAtCursor() override { ++popups; }
};

class FileSetsTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VELLICOR_CONFIG_DIR", store.Path().c_str(), 1);
        ResetRegistryStore();
        SetModuleSearchDir(VELLICOR_MODULE_DIR);
        Start();
    }
    void Start() {
        config = std::make_unique<TConfigureForm>();
        config->SetFitWidthIfOversize(false);
        queue = std::make_unique<TProcessFilesForm>(*config);
        form = std::make_unique<TMainDisplayForm>(view, *config, *queue);
        form->FormCreate();
    }
    void Stop() {
        form.reset();
        queue.reset();
        config.reset();
        TBufferedPage::ClearList();
    }
    void TearDown() override {
        Stop();
        ResetRegistryStore();
    }
    // A folder of n pages under the tree.
    std::vector<std::string> Book(const std::string& dir, int n) {
        std::filesystem::create_directories(tree.File(dir));
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i) {
            std::string name = tree.File(dir + "/p" + std::to_string(i) + ".bmp");
            test::WriteBmp24(name, 40 + i, 60, [i](int, int) { return 0x102030u + static_cast<uint32_t>(i); });
            names.push_back(name);
        }
        return names;
    }
    void Run() {
        int idle = 0;
        for (int i = 0; i < 3000; ++i) {
            if (form->IdleHandler()) idle = 0;
            else if (++idle > 5) return;
        }
        FAIL() << "the queue did not settle";
    }
    void Open(const std::vector<std::string>& files, int page = 0) {
        if (!form->Started()) form->ApplicationStartupComplete({});
        TStringList l;
        for (const auto& f : files) l.Add(f);
        queue->LoadFiles(l, page);
        Run();
    }
    std::string ShownFile() const {
        const TPageSlot& s = form->Image(0);
        return s.Displayed && s.Bitmap ? queue->LoadFile().FileNames()->GetPageName(s.Page) : "";
    }

    test::FakeUi ui;
    test::TempDir store, tree;
    SetsView view;
    std::unique_ptr<TConfigureForm> config;
    std::unique_ptr<TProcessFilesForm> queue;
    std::unique_ptr<TMainDisplayForm> form;
};

TEST_F(FileSetsTest, NextAndPreviousSetOpenTheNeighbouringBooksAtTheirFirstPage) {
    Book("b1", 2);
    auto b2 = Book("b2", 3);
    auto b3 = Book("b3", 2);
    Open(b2, 2);
    ASSERT_EQ(ShownFile(), b2[2]);
    form->HandleKeyPress('L', true, false, false);  // Shift+L
    Run();
    EXPECT_EQ(ShownFile(), b3[0]);
    EXPECT_EQ(config->LastPage, 0);
    form->HandleKeyPress('K', true, false, false);  // Shift+K
    Run();
    EXPECT_EQ(ShownFile(), b2[0]);
    EXPECT_EQ(config->LastFiles.Items(), b2);  // the current set is stored as it loads
}

TEST_F(FileSetsTest, CommandsThatChangeTheSetWaitWhileAPageIsOnItsWay) {
    auto b1 = Book("b1", 3);
    Book("b2", 1);
    Open(b1);
    config->SetFavouriteDirs(tree.File("b2"));
    config->StdFileOpenDlg = true;
    const std::pair<const char*, std::function<void()>> commands[] = {
        {"next set", [this] { form->GetNextFiles(); }},
        {"previous set", [this] { form->GetPreviousFiles(); }},
        {"resume", [this] { form->ResumeReading(); }},
        {"open", [this] { form->GetFiles(""); }},
        {"favourite", [this] { form->DoLoadWithFavourite(0); }},
        {"drop", [this] { form->HandleDropFiles({tree.File("b2/p0.bmp")}); }},
        {"bookmark menu", [this] { form->BookmarkMenuItemClick(0); }},
        {"slideshow", [this] { form->DoSlideShow(); }},
        {"save to file", [this] { form->DoSaveToFile(); }},
        {"clipboard", [this] { form->DoSaveToClipboard(); }},
    };
    for (bool thumbs : {false, true}) {
        for (const auto& [name, run] : commands) {
            SCOPED_TRACE(std::string(name) + (thumbs ? " (thumbnails)" : " (busy)"));
            (thumbs ? form->ThumbsShowing : form->Busy) = true;
            run();
            (thumbs ? form->ThumbsShowing : form->Busy) = false;
            EXPECT_TRUE(queue->PendingFiles().Count() == 0 || queue->Queue().empty());
            EXPECT_FALSE(view.timers.count(TMainTimer::Slideshow));
            EXPECT_TRUE(view.clipboard.empty());
            EXPECT_TRUE(view.savePreset.empty());
        }
    }
    Run();
    EXPECT_EQ(ShownFile(), b1[0]);
}

TEST_F(FileSetsTest, MenuEnablingFollowsTheReading) {
    // Before anything is loaded.
    TMenuState m = form->ClickPopupMenuPopup();
    EXPECT_TRUE(m.Resume);
    EXPECT_FALSE(m.NextFiles || m.NextPage || m.PreviousPage || m.HavePages || m.SetBookmark || m.SlideshowChecked);

    Open(Book("b", 3));
    struct Row {
        int page;
        bool slideshow, windowed, maximised;
        bool next, previous, checkedWindow;
    };
    const Row rows[] = {
        {0, false, false, false, true, false, false},
        {1, true, true, false, true, true, true},
        {2, false, true, true, false, true, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.page);
        form->DisplayPage(r.page, false);
        Run();
        view.windowed = r.windowed;
        view.maximised = r.maximised;
        if (r.slideshow != form->SlideshowRunning()) form->DoSlideShow();
        m = form->ClickPopupMenuPopup();
        EXPECT_FALSE(m.Resume);
        EXPECT_TRUE(m.NextFiles && m.HavePages && m.SetBookmark);
        EXPECT_EQ(m.NextPage, r.next);
        EXPECT_EQ(m.PreviousPage, r.previous);
        EXPECT_EQ(m.WindowedChecked, r.checkedWindow);
        EXPECT_EQ(m.SlideshowChecked, r.slideshow);
    }
}

TEST_F(FileSetsTest, SubmenusListFavouritesRecentAndEveryBookmarkSlot) {
    config->SetFavouriteDirs(",,/comics/a");
    config->SetRecentDirs("/x,\"\",/y");
    TPathMenus menus = form->SetUpPathMenuPopup();
    ASSERT_EQ(menus.Favourites.size(), 1u);
    EXPECT_EQ(menus.Favourites[0].Directory, "/comics/a");
    ASSERT_EQ(menus.Recent.size(), 3u);
    EXPECT_EQ(menus.Recent[1].Caption, "");
    EXPECT_TRUE(menus.Bookmarks.empty());
    ASSERT_EQ(menus.SetBookmark.size(), 12u);
    for (const auto& item : menus.SetBookmark) EXPECT_EQ(item.Caption, "<--->");
    EXPECT_FALSE(form->ClickPopupMenuPopup().SetBookmark);  // greyed until a set is loaded
}

TEST_F(FileSetsTest, ABookmarkSurvivesARestartAndReopensItsPage) {
    auto b3 = Book("b3", 8);
    Open(b3);
    form->StoreBookmark();  // stored at page 1 before the move below
    form->DisplayPage(6, false);
    Run();
    form->HandleKeyPress('B', true, false, false);  // Shift+B: the newest bookmark, page 7
    TPathMenus menus = form->SetUpPathMenuPopup();
    ASSERT_EQ(menus.Bookmarks.size(), 2u);
    EXPECT_EQ(menus.Bookmarks[0].Caption, "p0.bmp - #7");
    EXPECT_EQ(menus.Bookmarks[1].Caption, "p0.bmp - #1");
    EXPECT_EQ(menus.SetBookmark[2].Caption, "<--->");

    Stop();
    Start();
    form->ApplicationStartupComplete({});
    Open({tree.File("b3/p5.bmp")});  // reading something else meanwhile
    form->BookmarkMenuItemClick(0);
    Run();
    EXPECT_EQ(ShownFile(), b3[6]);
    EXPECT_EQ(config->LastPage, 6);
}

TEST_F(FileSetsTest, SlideshowTurnsPagesAtItsSpeedWithinItsBounds) {
    Open(Book("b", 3));
    form->DoSlideShowSpeed(true);  // off: nothing changes
    EXPECT_EQ(form->SlideshowInterval(), 2000);
    form->HandleKeyPress('A', false, false, false);
    ASSERT_EQ(view.timers[TMainTimer::Slideshow], 2000);
    form->OnTimer(TMainTimer::Slideshow);
    Run();
    EXPECT_EQ(config->LastPage, 1);
    struct Step {
        bool faster;
        int times, interval;
    };
    const Step steps[] = {{true, 19, 100}, {true, 1, 100}, {false, 99, 10000}, {false, 1, 10000}, {true, 1, 9900}};
    for (const auto& s : steps) {
        for (int i = 0; i < s.times; ++i) form->HandleKeyPress(s.faster ? vkAdd : vkSubtract, false, false, false);
        EXPECT_EQ(form->SlideshowInterval(), s.interval);
        EXPECT_EQ(view.timers[TMainTimer::Slideshow], s.interval);
    }
    form->GetNextFiles();  // a new set stops the slideshow
    EXPECT_FALSE(form->SlideshowRunning());
}

TEST_F(FileSetsTest, SaveToFileWritesThePagesOwnBytesUnderASafeName) {
    auto b = Book("b", 2);
    Open(b);
    view.saveAs = tree.File("out/copy.bmp");
    std::filesystem::create_directories(tree.File("out"));
    form->DoSaveToFile();
    EXPECT_EQ(view.savePreset, "p0.bmp");
    Run();
    EXPECT_EQ(test::ReadFileBytes(tree.File("out/copy.bmp")), test::ReadFileBytes(b[0]));
    // Another extension: the page's own is used, and a file there is replaced only when
    // the user says so.
    test::WriteBmp24(tree.File("out/keep.bmp"), 3, 3, [](int, int) { return 0u; });
    const std::string kept = test::ReadFileBytes(tree.File("out/keep.bmp"));
    view.saveAs = tree.File("out/keep.png");
    ui.answers = {mrNo};
    form->DoSaveToFile();
    Run();
    EXPECT_EQ(test::ReadFileBytes(tree.File("out/keep.bmp")), kept);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, tree.File("out/keep.bmp"));
    ui.answers = {mrYes};
    form->DoSaveToFile();
    Run();
    EXPECT_EQ(test::ReadFileBytes(tree.File("out/keep.bmp")), test::ReadFileBytes(b[0]));
    form->DoSaveToClipboard();
    ASSERT_EQ(view.clipboard.size(), 1u);
    EXPECT_EQ(view.clipboard[0], form->Image(0).Bitmap->Width());

    const std::pair<const char*, const char*> names[] = {
        {"dir/sub/page.jpg", "page.jpg"}, {"..", "page"}, {"a/..", "page"}, {"x\\y.png", "y.png"}, {"", "page"},
        {"/abs/.", "page"},
    };
    for (const auto& [in, out] : names) EXPECT_EQ(SafeSaveName(in), out) << in;
}

TEST_F(FileSetsTest, ASettingsChangeDuringAPageRequestIsAppliedAfterIt) {
    Open(Book("b", 5));
    form->DisplayPage(3, false);  // beyond the pages read ahead
    ASSERT_TRUE(form->Busy);
    int gen = form->RequestGeneration;
    config->SetTwoPages(true);  // arrives while page 2 is on its way
    Run();
    EXPECT_GT(form->RequestGeneration, gen);
    EXPECT_TRUE(form->Image(1).Displayed);
    EXPECT_EQ(form->Image(1).Page, 4);
}

TEST_F(FileSetsTest, HelpAndPopupKeys) {
    std::vector<int> topics;
    SetHelpContextHandler([&topics](int c) { topics.push_back(c); });
    form->HandleKeyPress(vkF1, false, false, false);
    Open(Book("b", 1));
    form->HandleKeyPress(vkF1, false, false, false);
    SetHelpContextHandler(nullptr);
    EXPECT_EQ(topics, (std::vector<int>{TMainDisplayForm::kHelpNoPage, TMainDisplayForm::kHelpReading}));
    form->HandleKeyPress(vkF1 + 9, false, false, false);  // F10
    form->HandleKeyPress(vkApps, false, false, false);
    form->HandleKeyPress(vkUp, false, false, false);  // scrolls unless the arrows are switched
    EXPECT_EQ(view.popups, 2);
}

}  // namespace

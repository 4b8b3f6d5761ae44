#include "pages/ProcessFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "pages/EngineTestSupport.h"
#include "pages/PageList.h"
#include "pages/Utilsunit.h"
#include "platform/Registry.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

namespace vellicor {
namespace {

using test::FakeArchiveSource;
using test::MakeBmp;

// The queue with its window-side jobs recorded instead of shown.
class RecordingQueue : public TProcessFilesForm {
public:
    using TProcessFilesForm::TProcessFilesForm;
    std::vector<std::string> log;
    std::function<void()> onJob;

protected:
    void GetThumbs() override { Record("thumbs"); }
    void GetThumb(int n) override { Record("thumb " + std::to_string(n)); }
    void DisplayInfoFiles() override { log.push_back("info files"); }
    void DisplayInfoFile() override { Record("info " + std::to_string(CurrentInfoFile)); }

private:
    void Record(const std::string& s) {
        log.push_back(s);
        if (onJob) onJob();
    }
};

struct Delivery {
    int page;
    int gen;
    int type;
    int width;
    int height;
    TBufferedPagePtr bitmap;
};

RecordingQueue* g_queue = nullptr;
int g_nestedIdleTrue = 0;
int g_nestedIdleCalls = 0;
void NestedIdle() {
    if (!g_queue) return;
    ++g_nestedIdleCalls;
    if (g_queue->Idle()) ++g_nestedIdleTrue;
}

class ProcessFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("VELLICOR_CONFIG_DIR")) oldDir_ = old;
        ::setenv("VELLICOR_CONFIG_DIR", configDir_.Path().c_str(), 1);
        ResetRegistryStore();
        TBufferedPage::ClearList();
        TBufferedPage::SetPageLimit(5);
        SetMainClientSize(1024, 768);
        config_.emplace();
        config().PageBufferSize = 3;
        config().TwoPages = false;
        config().FileBufferSize = 0;
        config().GenerateThumbsInBackground = false;
        config().Balance = false;
        config().FixYellowing = false;
        queue_.emplace(*config_);
        auto src = std::make_unique<FakeArchiveSource>();
        archive_ = src.get();
        queue().LoadFile().SetArchiveSource(std::move(src));
        queue().OnPageReady = [this](TProcessFilesForm& sender, const TBufferedPagePtr& page, bool& lock) {
            EXPECT_EQ(&sender, &queue());
            delivered_.push_back({page->PageNo, page->GenNo, page->ImageType, page->Width(), page->Height(), page});
            lock = lockPages_;
            if (onPage_) onPage_();
        };
        queue().OnFilesReady = [this](TProcessFilesForm&) { ++filesReady_; };
    }
    void TearDown() override {
        g_queue = nullptr;
        ui_.onProcessMessages = nullptr;
        queue_.reset();
        config_.reset();
        TBufferedPage::ClearList();
        if (oldDir_) ::setenv("VELLICOR_CONFIG_DIR", oldDir_->c_str(), 1);
        else ::unsetenv("VELLICOR_CONFIG_DIR");
        ResetRegistryStore();
    }

    TConfigureForm& config() { return *config_; }
    RecordingQueue& queue() { return *queue_; }

    // Runs the dispatcher until it has nothing to do; a livelock fails the test.
    int Drive(int cap = 500) {
        int steps = 0;
        while (queue().Idle()) {
            if (++steps >= cap) {
                ADD_FAILURE() << "the queue did not settle within " << cap << " steps";
                break;
            }
        }
        return steps;
    }
    std::vector<std::string> WritePages(int n, int w = 40, int h = 60) {
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "p%03d.bmp", i);
            names.push_back(files_.Write(name, MakeBmp(w, h)));
        }
        return names;
    }
    void LoadList(const std::vector<std::string>& names, int page = 0) {
        TStringList l;
        for (auto& n : names) l.Add(n);
        queue().LoadFiles(l, page);
        Drive();
    }
    std::vector<std::pair<int, int>> Queued() const {  // (FileNumber, Type)
        std::vector<std::pair<int, int>> r;
        for (auto& e : queue_->Queue()) r.push_back({e.FileNumber, e.Type});
        return r;
    }
    std::vector<int> QueuedPages() const {
        std::vector<int> r;
        for (auto& e : queue_->Queue()) r.push_back(e.FileNumber);
        return r;
    }

    test::FakeUi ui_;
    test::TempDir configDir_;
    test::TempDir files_;
    std::optional<TConfigureForm> config_;
    std::optional<RecordingQueue> queue_;
    FakeArchiveSource* archive_ = nullptr;
    std::vector<Delivery> delivered_;
    bool lockPages_ = false;
    std::function<void()> onPage_;
    int filesReady_ = 0;

private:
    std::optional<std::string> oldDir_;
};

// ---- The queue ----

TEST_F(ProcessFilesTest, DuplicatesAreDroppedUnlessTheyComeAtABetterPriority) {
    queue().EnQ(1, 7, 2, rtLoadPage);
    queue().EnQ(5, 7, 2, rtLoadPage);
    queue().EnQ(5, 7, 2, rtLoadPage);
    queue().EnQ(5, 7, 3, rtLoadPage);
    EXPECT_EQ(QueuedPages(), (std::vector<int>{1, 5}));
    queue().EnQ(5, 7, 1, rtLoadPage);
    EXPECT_EQ(QueuedPages(), (std::vector<int>{5, 1}));
    EXPECT_EQ(queue().Queue()[0].Priority, 1);
    // Another generation or type is another request.
    queue().EnQ(5, 8, 2, rtLoadPage);
    queue().EnQ(5, 7, 2, rtZoomDouble);
    EXPECT_EQ(queue().Queue().size(), 4u);
}

TEST_F(ProcessFilesTest, SmallerPrioritiesFirstAndFirstInFirstOutAmongEquals) {
    int n = 0;
    for (int p : {2, 0, 2, 3, 0}) queue().EnQ(n++, 0, p, rtThumb);
    std::vector<int> order;
    int f, g, p;
    TRequestType t;
    while (queue().DeQ(f, g, t, p)) order.push_back(f);
    EXPECT_EQ(order, (std::vector<int>{1, 4, 0, 2, 3}));
    EXPECT_FALSE(queue().DeQ(f, g, t, p));
}

TEST_F(ProcessFilesTest, RemoveQTakesOneTypeWhereverItStands) {
    queue().EnQ(0, 0, 2, rtZoomDouble);
    queue().EnQ(1, 0, 2, rtLoadPage);
    queue().EnQ(2, 0, 2, rtZoomDouble);
    queue().EnQ(3, 0, 3, rtThumb);
    queue().EnQ(4, 0, 0, rtInfoFile);
    queue().RemoveQ(rtZoomDouble);
    EXPECT_EQ(Queued(), (std::vector<std::pair<int, int>>{{4, rtInfoFile}, {1, rtLoadPage}, {3, rtThumb}}));
}

TEST_F(ProcessFilesTest, ClearQKeepsAPendingHalt) {
    queue().EnQ(1, 0, 2, rtLoadPage);
    queue().HaltWork();
    queue().EnQ(2, 0, 3, rtThumb);
    queue().ClearQ();
    EXPECT_EQ(Queued(), (std::vector<std::pair<int, int>>{{0, rtHalt}}));
}

TEST_F(ProcessFilesTest, HaltRunsAfterEarlierUrgentWorkAndHoldsTheRestUntilRestart) {
    int halted = 0;
    queue().OnWorkHalted = [&](TProcessFilesForm&) { ++halted; };
    queue().EnQ(7, 0, 3, rtThumb);
    queue().EnQ(0, 0, 0, rtInfoFile);
    queue().HaltWork();
    queue().HaltWork();  // one halt request only
    queue().EnQ(1, 0, 0, rtStartThumbs);
    EXPECT_EQ(Queued(), (std::vector<std::pair<int, int>>{{0, rtInfoFile}, {0, rtHalt}, {1, rtStartThumbs}, {7, rtThumb}}));

    EXPECT_TRUE(queue().Idle());
    EXPECT_EQ(queue().log, (std::vector<std::string>{"info 0"}));
    EXPECT_TRUE(queue().Idle());
    EXPECT_EQ(halted, 1);
    EXPECT_TRUE(queue().Running());
    EXPECT_FALSE(queue().Idle());
    EXPECT_EQ(queue().log.size(), 1u);

    queue().RestartWork();
    EXPECT_FALSE(queue().Running());
    Drive();
    EXPECT_EQ(queue().log, (std::vector<std::string>{"info 0", "thumbs", "thumb 7"}));
    EXPECT_EQ(halted, 1);
}

TEST_F(ProcessFilesTest, AHaltWithoutHandlerLetsTheQueueGoOn) {
    queue().HaltWork();
    queue().EnQ(3, 0, 3, rtThumb);
    Drive();
    EXPECT_EQ(queue().log, (std::vector<std::string>{"thumb 3"}));
    EXPECT_FALSE(queue().Running());
}

TEST_F(ProcessFilesTest, RestartWorkReopensOnlyAfterAHalt) {
    LoadList(WritePages(3));
    bool runningInside = false;
    onPage_ = [&] {
        queue().RestartWork();
        runningInside = queue().Running();
    };
    queue().Get(0, -1, 1);
    Drive();
    EXPECT_TRUE(runningInside);
    EXPECT_FALSE(queue().Running());
}

TEST_F(ProcessFilesTest, AFailingJobDoesNotCloseTheQueue) {
    queue().onJob = [] { throw std::runtime_error("boom"); };
    queue().EnQ(0, 0, 0, rtInfoFile);
    queue().EnQ(1, 0, 3, rtThumb);
    EXPECT_TRUE(queue().Idle());
    EXPECT_FALSE(queue().Running());
    ASSERT_EQ(ui_.shown.size(), 1u);
    EXPECT_EQ(ui_.shown[0].caption, "boom");
    queue().onJob = nullptr;
    Drive();
    EXPECT_EQ(queue().log.back(), "thumb 1");

    // A failing halt handler likewise.
    queue().OnWorkHalted = [](TProcessFilesForm&) { throw std::runtime_error("halt"); };
    queue().HaltWork();
    EXPECT_TRUE(queue().Idle());
    EXPECT_FALSE(queue().Running());
}

TEST_F(ProcessFilesTest, AFailingPageHandlerDoesNotCloseTheQueue) {
    LoadList(WritePages(3));
    onPage_ = [] { throw std::runtime_error("handler"); };
    queue().Get(0, -1, 1);
    EXPECT_TRUE(queue().Idle());
    EXPECT_FALSE(queue().Running());
    onPage_ = nullptr;
    Drive();
    EXPECT_EQ(TBufferedPage::InList(ctDisplay), 3);  // the page and two read ahead
}

TEST_F(ProcessFilesTest, UnknownJobCodesAreDropped) {
    queue().EnQ(0, 0, 0, TRequestType(42));
    EXPECT_TRUE(queue().Idle());
    EXPECT_FALSE(queue().Running());
    EXPECT_FALSE(queue().Idle());
}

TEST_F(ProcessFilesTest, AReentrantIdleStartsNothing) {
    LoadList(WritePages(4));
    queue().log.clear();
    g_queue = &queue();
    ui_.onProcessMessages = NestedIdle;  // page processing lets messages through
    queue().Get(0, -1, 1);
    queue().EnQ(0, 0, 3, rtThumb);
    EXPECT_TRUE(queue().Idle());
    EXPECT_GT(g_nestedIdleCalls, 0);
    EXPECT_EQ(g_nestedIdleTrue, 0);
    EXPECT_EQ(delivered_.size(), 1u);
    EXPECT_TRUE(queue().log.empty());
    ui_.onProcessMessages = nullptr;
    Drive();
    EXPECT_EQ(queue().log.size(), 1u);
}

TEST_F(ProcessFilesTest, TheDispatcherWaitsWhileTheLoaderIsBusy) {
    std::string cbz = files_.Write("b.cbz", "x");
    archive_->AddArchive(cbz, {{"1.bmp", MakeBmp(4, 4)}, {"2.bmp", MakeBmp(4, 4)}});
    LoadList({cbz});
    config().PageBufferSize = 0;
    int nested = 0, nestedTrue = 0;
    archive_->onCall = [&] {
        ++nested;
        if (queue().Idle()) ++nestedTrue;
    };
    queue().EnQ(0, 0, 3, rtThumb);
    queue().Get(0, -1, 1);
    Drive();
    EXPECT_GT(nested, 0);
    EXPECT_EQ(nestedTrue, 0);
    EXPECT_EQ(delivered_.size(), 1u);
}

// ---- Loading a list ----

TEST_F(ProcessFilesTest, LoadingAListTellsTheWindowAndRemembersIt) {
    config().GenerateThumbsInBackground = true;
    config().FavouriteDirectories = "";
    config().RecentDirectories = "";
    auto names = WritePages(10);
    TStringList l;
    for (auto& n : names) l.Add(n);
    queue().LoadFiles(l, 25);
    EXPECT_EQ(config().LastPage, 25);
    EXPECT_EQ(Queued(), (std::vector<std::pair<int, int>>{{0, rtLoadFiles}}));
    EXPECT_EQ(queue().GetFiles(), 0);
    EXPECT_TRUE(queue().Idle());
    EXPECT_EQ(filesReady_, 1);
    EXPECT_TRUE(queue().FilesLoaded);
    EXPECT_EQ(queue().GetFiles(), 10);
    EXPECT_EQ(config().LastPage, 9);
    EXPECT_EQ(config().LastDir, files_.Path());
    EXPECT_EQ(config().LastFiles.Items(), names);
    EXPECT_EQ(config().RecentDirectories, files_.Path());
    EXPECT_TRUE(queue().HasRotations());
    EXPECT_EQ(queue().GetRotation(9), 0);
    EXPECT_TRUE(queue().ThumbsStarted);
    EXPECT_EQ(Queued(), (std::vector<std::pair<int, int>>{{0, rtStartThumbs}}));
    EXPECT_EQ(queue().log, (std::vector<std::string>{"info files"}));

    queue().LoadFiles(l, -3);
    Drive();
    EXPECT_EQ(config().LastPage, 0);
}

TEST_F(ProcessFilesTest, EmptyListsAreIgnoredAndAListWithoutPagesTellsNobody) {
    queue().LoadFiles(TStringList(), 0);
    EXPECT_TRUE(queue().Queue().empty());
    LoadList({files_.Write("notes.txt", "x")});
    EXPECT_EQ(filesReady_, 0);
    ASSERT_EQ(ui_.shown.size(), 1u);
    EXPECT_EQ(ui_.shown[0].caption, "There are no image files to display");
    EXPECT_FALSE(queue().Running());
}

TEST_F(ProcessFilesTest, ReloadLastFilesLoadsTheStoredSet) {
    auto names = WritePages(3);
    LoadList(names, 2);
    ASSERT_EQ(filesReady_, 1);
    TConfigureForm& c = config();
    EXPECT_EQ(c.LastFiles.Count(), 3);
    queue().ReloadLastFiles();
    Drive();
    EXPECT_EQ(filesReady_, 2);
    EXPECT_EQ(c.LastPage, 2);
    c.LastFiles.Clear();
    queue().ReloadLastFiles();
    EXPECT_TRUE(queue().Queue().empty());
}

TEST_F(ProcessFilesTest, ANewListClearsOldWorkButKeepsAPendingHalt) {
    auto names = WritePages(6);
    LoadList(names);
    lockPages_ = true;
    queue().Get(0, -1, 1);
    Drive();
    ASSERT_FALSE(delivered_.empty());
    TBufferedPagePtr shown = delivered_[0].bitmap;
    int cleared = 0, halted = 0;
    queue().OnFilesCleared = [&](TProcessFilesForm&) { ++cleared; };
    queue().OnWorkHalted = [&](TProcessFilesForm& q) {
        ++halted;
        q.RestartWork();
    };
    queue().Get(3, -1, 2);
    TStringList l;
    l.Add(names[0]);
    queue().LoadFiles(l, 0);
    queue().HaltWork();
    delivered_.clear();
    Drive();
    EXPECT_EQ(cleared, 1);
    EXPECT_EQ(halted, 1);
    EXPECT_EQ(queue().GetFiles(), 1);
    EXPECT_TRUE(delivered_.empty());  // page 3 of the old list was never made
    EXPECT_EQ(TBufferedPage::Count(), 0);
    // The page the window still shows is intact.
    EXPECT_EQ(shown->PageNo, 0);
    EXPECT_EQ(shown->Width(), 40);
}

TEST_F(ProcessFilesTest, NewRecentDirectoryKeepsTwelveAndSkipsFavourites) {
    config().FavouriteDirectories = "/fav";
    TStringList recent;
    for (int i = 0; i < 12; ++i) recent.Add("/d" + std::to_string(i));
    config().RecentDirectories = recent.CommaText();
    queue().NewRecentDirectory("/FAV");
    EXPECT_EQ(config().RecentDirectories, recent.CommaText());
    queue().NewRecentDirectory("/new");
    TStringList now;
    now.SetCommaText(config().RecentDirectories);
    ASSERT_EQ(now.Count(), 12);
    EXPECT_EQ(now[0], "/d1");
    EXPECT_EQ(now[11], "/new");
    queue().NewRecentDirectory("/D5/");  // the same directory moves to the end
    now.SetCommaText(config().RecentDirectories);
    EXPECT_EQ(now.Count(), 12);
    EXPECT_EQ(now.IndexOf("/d5"), -1);
    EXPECT_EQ(now[11], "/D5/");

    config().StripLastDirInHistoryList = true;
    config().RecentDirectories = "";
    queue().NewRecentDirectory("/comics/a");
    queue().NewRecentDirectory("/comics/b");
    EXPECT_EQ(config().RecentDirectories, "/comics/b");
}

// ---- Page requests ----

class PageRequestTest : public ProcessFilesTest {
protected:
    void SetUp() override {
        ProcessFilesTest::SetUp();
        LoadList(WritePages(10));
        ASSERT_EQ(queue().GetFiles(), 10);
    }
};

TEST_F(PageRequestTest, ReadAheadFollowsThePageBufferSize) {
    struct Case {
        int pbs;
        bool two;
        std::vector<int> pages;
    } cases[] = {{3, false, {3, 4, 5}}, {3, true, {3, 4, 5}}, {2, false, {3, 4}}, {2, true, {3, 4, 5}},
                 {0, false, {3}},       {5, false, {3, 4, 5, 6}}};
    for (auto& c : cases) {
        config().PageBufferSize = c.pbs;
        config().TwoPages = c.two;
        queue().ClearQ();
        queue().Get(-5, 3, 1);
        EXPECT_EQ(QueuedPages(), c.pages) << c.pbs << " " << c.two;
    }
}

TEST_F(PageRequestTest, RequestsBeyondTheEndAreSkipped) {
    config().PageBufferSize = 5;
    queue().Get(8, 9, 1);
    EXPECT_EQ(QueuedPages(), (std::vector<int>{8, 9, 7}));
    queue().ClearQ();
    config().PageBufferSize = 4;
    queue().Get(0, -1, 1);
    EXPECT_EQ(QueuedPages(), (std::vector<int>{0, 1, 2}));
    queue().ClearQ();
    queue().Get(12, -1, 1);
    EXPECT_EQ(QueuedPages().front(), 9);
    for (auto& e : queue().Queue()) {
        EXPECT_EQ(e.Priority, 2);
        EXPECT_EQ(e.Type, rtLoadPage);
    }
}

TEST_F(PageRequestTest, PagesAreDeliveredInOrderAndCachedPagesAtOnce) {
    lockPages_ = true;
    queue().Get(0, -1, 1);
    EXPECT_TRUE(delivered_.empty());
    int steps = Drive();
    EXPECT_EQ(steps, 3);  // the page and two read ahead
    // Pages read ahead are delivered too (the window takes what it asked for).
    ASSERT_EQ(delivered_.size(), 3u);
    EXPECT_EQ(delivered_[0].page, 0);
    EXPECT_EQ(delivered_[1].page, 1);
    EXPECT_EQ(delivered_[2].page, 2);
    EXPECT_EQ(delivered_[0].gen, 1);
    EXPECT_TRUE(delivered_[0].bitmap->Locked);
    EXPECT_TRUE(delivered_[0].bitmap->Processed);
    EXPECT_EQ(TBufferedPage::InList(ctDisplay), 3);

    // A cached, processed page of the same generation comes during Get itself.
    queue().Get(1, -1, 1);
    ASSERT_EQ(delivered_.size(), 4u);
    EXPECT_EQ(delivered_[3].page, 1);
    EXPECT_TRUE(delivered_[3].bitmap->Locked);
    EXPECT_FALSE(delivered_[0].bitmap->Locked);  // Get unlocked the pages shown before
    EXPECT_EQ(QueuedPages(), (std::vector<int>{3}));  // 2 is cached already
}

TEST_F(PageRequestTest, EachGenerationGetsItsOwnPage) {
    config().PageBufferSize = 0;
    queue().Get(2, -1, 4);
    queue().Get(2, -1, 5);
    Drive();
    std::vector<std::pair<int, int>> got;
    for (auto& d : delivered_) got.push_back({d.page, d.gen});
    EXPECT_EQ(got, (std::vector<std::pair<int, int>>{{2, 4}, {2, 5}}));
    EXPECT_NE(delivered_[0].bitmap, delivered_[1].bitmap);
}

TEST_F(PageRequestTest, TheQueueStaysClosedUntilThePageIsDelivered) {
    bool running = false, nested = true;
    onPage_ = [&] {
        running = queue().Running();
        nested = queue().Idle();
    };
    queue().Get(0, -1, 1);
    EXPECT_TRUE(queue().Idle());
    EXPECT_TRUE(running);
    EXPECT_FALSE(nested);
    EXPECT_FALSE(queue().Running());
}

TEST_F(PageRequestTest, ZoomRequestsReplaceEachOther) {
    queue().GetZooms(true, 1, 2, 3);
    queue().GetZooms(false, 4, -1, 3);
    EXPECT_EQ(Queued(), (std::vector<std::pair<int, int>>{{4, rtZoomWhole}}));
    Drive();
    ASSERT_EQ(delivered_.size(), 1u);
    EXPECT_EQ(delivered_[0].type, ctZoomWhole);
    // Whole-page zoom: fitted to the window whatever the fit settings (40x60 -> 512x768).
    EXPECT_EQ(delivered_[0].width, 512);
    EXPECT_EQ(delivered_[0].height, 768);
    queue().GetZooms(true, 4, -1, 3);
    Drive();
    ASSERT_EQ(delivered_.size(), 2u);
    EXPECT_EQ(delivered_[1].type, ctZoomDouble);
    EXPECT_EQ(delivered_[1].width, 80);
}

TEST_F(PageRequestTest, RotationsArePerPageAndReachNewPages) {
    EXPECT_FALSE(queue().SetRotation(rtNone, -1));
    EXPECT_TRUE(queue().SetRotation(rtRight, -1));
    EXPECT_FALSE(queue().SetRotation(rtRight, -1));
    EXPECT_FALSE(queue().SetRotation(rtUpsideDown, 10));
    EXPECT_FALSE(queue().SetRotation(rtUpsideDown, -2));
    EXPECT_EQ(queue().GetRotation(10), 0);
    EXPECT_TRUE(queue().SetRotation(rtUpsideDown, 9));
    EXPECT_EQ(queue().GetRotation(9), 2);
    EXPECT_TRUE(queue().SetRotation(rtNone, 3));

    queue().Get(0, -1, 1);
    Drive();
    ASSERT_FALSE(delivered_.empty());
    EXPECT_EQ(delivered_[0].bitmap->Rotation, 1);
    EXPECT_EQ(delivered_[0].width, 60);  // turned a quarter: 40x60 shown as 60x40
    EXPECT_EQ(delivered_[0].height, 40);
}

TEST_F(ProcessFilesTest, NoRotationsWithoutAList) {
    EXPECT_FALSE(queue().SetRotation(rtRight, -1));
    EXPECT_FALSE(queue().SetRotation(rtRight, 0));
    EXPECT_FALSE(queue().HasRotations());
}

TEST_F(ProcessFilesTest, PagesFromArchivesAndThoseThatCannotComeAreDelivered) {
    std::string cbz = files_.Write("b.cbz", "x");
    std::string cbt = files_.Write("c.cbt", "x");
    archive_->AddArchive(cbz, {{"1.bmp", MakeBmp(30, 50)}, {"2.bmp", "damaged", false}});
    archive_->AddArchive(cbt, {{"3.bmp", MakeBmp(30, 50)}});
    LoadList({cbz, cbt});
    ASSERT_EQ(queue().GetFiles(), 3);
    config().PageBufferSize = 0;
    archive_->archives.erase(cbz);  // gone from disk after listing
    queue().Get(0, 2, 1);
    Drive();
    ASSERT_EQ(delivered_.size(), 2u);
    EXPECT_EQ(delivered_[0].page, 0);
    EXPECT_TRUE(delivered_[0].bitmap->Processed);
    EXPECT_EQ(delivered_[0].width, 400);  // the error page
    EXPECT_EQ(delivered_[0].height, 600);
    EXPECT_EQ(delivered_[1].page, 2);
    EXPECT_EQ(delivered_[1].width, 30);
    EXPECT_FALSE(queue().Running());
}

TEST_F(ProcessFilesTest, CopyPageToFileRunsAsAJob) {
    auto names = WritePages(2);
    LoadList(names);
    queue().CopyPageToFile(1, files_.File("copy.jpg"));
    EXPECT_EQ(Queued(), (std::vector<std::pair<int, int>>{{1, rtCopyPage}}));
    Drive();
    EXPECT_EQ(test::ReadFileBytes(files_.File("copy.bmp")), MakeBmp(40, 60));
}

TEST_F(ProcessFilesTest, GenerateThumbsAsksOncePerList) {
    LoadList(WritePages(2));
    queue().GenerateThumbs();
    queue().GenerateThumbs();
    EXPECT_EQ(Queued(), (std::vector<std::pair<int, int>>{{0, rtStartThumbs}}));
    Drive();
    EXPECT_EQ(queue().log.back(), "thumbs");
}

TEST_F(ProcessFilesTest, AQueueDrivenToCompletionOnDecodedPages) {
    config().TwoPages = true;
    config().PageBufferSize = 4;
    TBufferedPage::SetPageLimit(2 + 4);
    auto names = WritePages(30, 200, 300);
    LoadList(names);
    lockPages_ = true;
    for (int page = 0; page < 30; page += 2) {
        delivered_.clear();
        queue().Get(page, page + 1, 1);
        Drive();
        // The two pages asked for come first, then those read ahead.
        ASSERT_GE(delivered_.size(), 2u) << page;
        EXPECT_EQ(delivered_[0].page, page);
        EXPECT_EQ(delivered_[1].page, page + 1);
        EXPECT_EQ(delivered_.size(), page == 28 ? 2u : 4u) << page;
        for (auto& d : delivered_) {
            EXPECT_EQ(d.gen, 1);
            // Two pages: each fitted to half the window (512x768 for a 200x300 page).
            EXPECT_EQ(d.width, 512);
            EXPECT_EQ(d.height, 768);
        }
        EXPECT_LE(TBufferedPage::InList(ctDisplay), TBufferedPage::PageLimit());
        EXPECT_TRUE(queue().Queue().empty());
    }
    EXPECT_FALSE(queue().Running());
}

}  // namespace
}  // namespace vellicor

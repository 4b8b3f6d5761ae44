#include "pages/ProcessFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "EngineTestSupport.h"
#include "pages/PageList.h"
#include "pages/Utilsunit.h"
#include "platform/Registry.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

namespace vellicor {
namespace {

using test::ListOf;

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
    int page, gen, type, width, height;
    TBufferedPagePtr bitmap;
};

std::function<void()> g_onMessages;  // a message handler run where pages let messages through

class ProcessFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("VELLICOR_CONFIG_DIR", configDir_.Path().c_str(), 1);
        ResetRegistryStore();
        TBufferedPage::ClearList();
        TBufferedPage::SetPageLimit(5);
        SetMainClientSize(1024, 768);
        config_.emplace();
        config().PageBufferSize = 3;
        config().TwoPages = config().GenerateThumbsInBackground = config().Balance = config().FixYellowing = false;
        config().FileBufferSize = 0;
        queue_.emplace(*config_);
        auto src = std::make_unique<test::FakeArchiveSource>();
        archive_ = src.get();
        queue().LoadFile().SetArchiveSource(std::move(src));
        queue().OnPageReady = [this](TProcessFilesForm& sender, const TBufferedPagePtr& page, bool& lock) {
            EXPECT_EQ(&sender, &queue());
            delivered_.push_back({page->PageNo, page->GenNo, page->ImageType, page->Width(), page->Height(), page});
            lock = lockPages_;
            if (onPage_) onPage_();
        };
        queue().OnFilesReady = [this](TProcessFilesForm&) { ++filesReady_; };
        ui_.onProcessMessages = [] {
            if (g_onMessages) g_onMessages();
        };
    }
    void TearDown() override {
        g_onMessages = nullptr;
        queue_.reset();
        config_.reset();
        TBufferedPage::ClearList();
        if (oldDir_.empty()) ::unsetenv("VELLICOR_CONFIG_DIR");
        else ::setenv("VELLICOR_CONFIG_DIR", oldDir_.c_str(), 1);
        ResetRegistryStore();
    }

    TConfigureForm& config() { return *config_; }
    RecordingQueue& queue() { return *queue_; }

    // Runs the dispatcher until it has nothing to do; a livelock fails the test.
    int Drive(int cap = 500) {
        int steps = 0;
        while (queue().Idle())
            if (++steps >= cap) {
                ADD_FAILURE() << "the queue did not settle within " << cap << " steps";
                break;
            }
        return steps;
    }
    std::vector<std::string> WritePages(int n, int w = 40, int h = 60) {
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i) names.push_back(files_.Write("p" + std::to_string(100 + i) + ".bmp", test::SolidBmp(w, h)));
        return names;
    }
    void LoadList(const std::vector<std::string>& names, int page = 0) {
        queue().LoadFiles(ListOf(names), page);
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
    std::vector<std::pair<int, int>> Delivered() const {  // (page, generation)
        std::vector<std::pair<int, int>> r;
        for (auto& d : delivered_) r.push_back({d.page, d.gen});
        return r;
    }

    std::string oldDir_ = std::getenv("VELLICOR_CONFIG_DIR") ? std::getenv("VELLICOR_CONFIG_DIR") : "";
    test::FakeUi ui_;
    test::TempDir configDir_, files_;
    std::optional<TConfigureForm> config_;
    std::optional<RecordingQueue> queue_;
    test::FakeArchiveSource* archive_ = nullptr;
    std::vector<Delivery> delivered_;
    bool lockPages_ = false;
    std::function<void()> onPage_;
    int filesReady_ = 0;
};

using Jobs = std::vector<std::pair<int, int>>;

// ---- The queue ----

TEST_F(ProcessFilesTest, EnQueueOrderAndDuplicates) {
    queue().EnQ(1, 7, 2, rtLoadPage);
    for (int p : {2, 2, 3}) queue().EnQ(5, 7, p, rtLoadPage);  // the same or a worse priority: dropped
    EXPECT_EQ(QueuedPages(), (std::vector<int>{1, 5}));
    queue().EnQ(5, 7, 1, rtLoadPage);  // a better one moves it ahead
    EXPECT_EQ(QueuedPages(), (std::vector<int>{5, 1}));
    queue().EnQ(5, 8, 2, rtLoadPage);  // another generation or type is another request
    queue().EnQ(5, 7, 2, rtZoomDouble);
    EXPECT_EQ(queue().Queue().size(), 4u);

    queue().ClearQ();
    int n = 0;
    for (int p : {2, 0, 2, 3, 0}) queue().EnQ(n++, 0, p, rtThumb);
    std::vector<int> order;
    int f, g, p;
    TRequestType t;
    while (queue().DeQ(f, g, t, p)) order.push_back(f);
    EXPECT_EQ(order, (std::vector<int>{1, 4, 0, 2, 3}));

    queue().EnQ(0, 0, 2, rtZoomDouble);
    queue().EnQ(1, 0, 2, rtLoadPage);
    queue().EnQ(2, 0, 2, rtZoomDouble);
    queue().EnQ(3, 0, 3, rtThumb);
    queue().EnQ(4, 0, 0, rtInfoFile);
    queue().RemoveQ(rtZoomDouble);
    EXPECT_EQ(Queued(), (Jobs{{4, rtInfoFile}, {1, rtLoadPage}, {3, rtThumb}}));
    queue().HaltWork();
    queue().ClearQ();  // keeps a pending halt: someone waits for it
    EXPECT_EQ(Queued(), (Jobs{{0, rtHalt}}));
}

TEST_F(ProcessFilesTest, HaltRunsAfterEarlierUrgentWorkAndHoldsTheRestUntilRestart) {
    int halted = 0;
    queue().OnWorkHalted = [&](TProcessFilesForm&) { ++halted; };
    queue().RestartWork();  // no halt: nothing to reopen
    queue().EnQ(7, 0, 3, rtThumb);
    queue().EnQ(0, 0, 0, rtInfoFile);
    queue().HaltWork();
    queue().HaltWork();  // one halt request only
    queue().EnQ(1, 0, 0, rtStartThumbs);
    EXPECT_EQ(Queued(), (Jobs{{0, rtInfoFile}, {0, rtHalt}, {1, rtStartThumbs}, {7, rtThumb}}));
    EXPECT_TRUE(queue().Idle() && queue().Idle());
    EXPECT_EQ(queue().log, (std::vector<std::string>{"info 0"}));
    EXPECT_EQ(halted, 1);
    EXPECT_TRUE(queue().Running());
    EXPECT_FALSE(queue().Idle());
    queue().RestartWork();
    Drive();
    EXPECT_EQ(queue().log, (std::vector<std::string>{"info 0", "thumbs", "thumb 7"}));
    EXPECT_EQ(halted, 1);

    queue().OnWorkHalted = nullptr;  // no handler: the queue goes on
    queue().HaltWork();
    queue().EnQ(3, 0, 3, rtThumb);
    Drive();
    EXPECT_EQ(queue().log.back(), "thumb 3");
    EXPECT_FALSE(queue().Running());
}

TEST_F(ProcessFilesTest, FailingJobsDoNotCloseTheQueue) {
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
    queue().OnWorkHalted = [](TProcessFilesForm&) { throw std::runtime_error("halt"); };
    queue().HaltWork();
    EXPECT_TRUE(queue().Idle());
    EXPECT_FALSE(queue().Running());
    queue().EnQ(0, 0, 0, TRequestType(42));  // no such job: dropped
    EXPECT_TRUE(queue().Idle());
    EXPECT_FALSE(queue().Running());

    LoadList(WritePages(3));
    onPage_ = [] { throw std::runtime_error("handler"); };
    queue().Get(0, -1, 1);
    EXPECT_TRUE(queue().Idle());
    EXPECT_FALSE(queue().Running());
    onPage_ = nullptr;
    Drive();
    EXPECT_EQ(TBufferedPage::InList(ctDisplay), 3);  // the page and two read ahead
}

TEST_F(ProcessFilesTest, NothingStartsWhileAJobWaitsOrTheLoaderIsBusy) {
    LoadList(WritePages(4));
    queue().log.clear();
    int nested = 0, started = 0;
    g_onMessages = [&] { ++nested, started += queue().Idle(); };  // page processing lets messages through
    bool running = false;
    onPage_ = [&] { running = queue().Running(), started += queue().Idle(); };
    queue().Get(0, -1, 1);
    queue().EnQ(0, 0, 3, rtThumb);
    EXPECT_TRUE(queue().Idle());
    EXPECT_GT(nested, 0);
    EXPECT_TRUE(running) << "the queue stays closed until the page is delivered";
    EXPECT_EQ(started, 0);
    EXPECT_EQ(delivered_.size(), 1u);
    EXPECT_TRUE(queue().log.empty());
    g_onMessages = nullptr;
    onPage_ = nullptr;
    Drive();
    EXPECT_EQ(queue().log.size(), 1u);

    const std::string cbz = files_.Write("b.cbz", "x");
    archive_->archives[cbz] = {{"1.bmp", test::SolidBmp(4, 4)}, {"2.bmp", test::SolidBmp(4, 4)}};
    LoadList({cbz});
    config().PageBufferSize = 0;
    nested = started = 0;
    archive_->onCall = [&] { ++nested, started += queue().Idle(); };
    queue().EnQ(0, 0, 3, rtThumb);
    queue().Get(0, -1, 1);
    Drive();
    EXPECT_GT(nested, 0);
    EXPECT_EQ(started, 0);
}

// ---- Loading a list ----

TEST_F(ProcessFilesTest, LoadingAListTellsTheWindowAndRemembersIt) {
    config().GenerateThumbsInBackground = true;
    config().FavouriteDirectories = config().RecentDirectories = "";
    queue().LoadFiles(TStringList(), 0);  // an empty list is ignored
    EXPECT_TRUE(queue().Queue().empty());
    const auto names = WritePages(10);
    queue().LoadFiles(ListOf(names), 25);
    EXPECT_EQ(config().LastPage, 25);
    EXPECT_EQ(Queued(), (Jobs{{0, rtLoadFiles}}));
    EXPECT_EQ(queue().GetFiles(), 0);
    EXPECT_TRUE(queue().Idle());
    EXPECT_EQ(filesReady_, 1);
    EXPECT_TRUE(queue().FilesLoaded);
    EXPECT_EQ(queue().GetFiles(), 10);
    EXPECT_EQ(config().LastPage, 9);
    EXPECT_EQ(config().LastDir, files_.Path());
    EXPECT_EQ(config().LastFiles.Items(), names);
    EXPECT_EQ(config().RecentDirectories, files_.Path());
    EXPECT_TRUE(queue().HasRotations() && queue().ThumbsStarted);
    EXPECT_EQ(Queued(), (Jobs{{0, rtStartThumbs}}));
    EXPECT_EQ(queue().log, (std::vector<std::string>{"info files"}));
    queue().GenerateThumbs();  // started already
    EXPECT_EQ(Queued(), (Jobs{{0, rtStartThumbs}}));

    queue().LoadFiles(ListOf(names), -3);
    Drive();
    EXPECT_EQ(config().LastPage, 0);
    config().LastPage = 2;
    queue().ReloadLastFiles();
    Drive();
    EXPECT_EQ(filesReady_, 3);
    EXPECT_EQ(config().LastPage, 2);
    config().LastFiles.Clear();
    queue().ReloadLastFiles();
    EXPECT_TRUE(queue().Queue().empty());

    LoadList({files_.Write("notes.txt", "x")});  // no pages: nobody is told
    EXPECT_EQ(filesReady_, 3);
    ASSERT_EQ(ui_.shown.size(), 1u);
    EXPECT_EQ(ui_.shown[0].caption, "There are no image files to display");
}

TEST_F(ProcessFilesTest, ANewListClearsOldWorkButKeepsAPendingHalt) {
    const auto names = WritePages(6);
    LoadList(names);
    lockPages_ = true;
    queue().Get(0, -1, 1);
    Drive();
    ASSERT_FALSE(delivered_.empty());
    const TBufferedPagePtr shown = delivered_[0].bitmap;
    int cleared = 0, halted = 0;
    queue().OnFilesCleared = [&](TProcessFilesForm&) { ++cleared; };
    queue().OnWorkHalted = [&](TProcessFilesForm& q) { ++halted, q.RestartWork(); };
    queue().Get(3, -1, 2);
    queue().LoadFiles(ListOf({names[0]}), 0);
    queue().HaltWork();
    delivered_.clear();
    Drive();
    EXPECT_EQ(cleared * 10 + halted, 11);
    EXPECT_EQ(queue().GetFiles(), 1);
    EXPECT_TRUE(delivered_.empty()) << "page 3 of the old list was never made";
    EXPECT_EQ(TBufferedPage::Count(), 0);
    EXPECT_EQ(shown->PageNo * 100 + shown->Width(), 40) << "the page the window shows is intact";
}

TEST_F(ProcessFilesTest, NewRecentDirectoryKeepsTwelveAndSkipsFavourites) {
    config().FavouriteDirectories = "/fav";
    TStringList recent;
    for (int i = 0; i < 12; ++i) recent.Add("/d" + std::to_string(i));
    config().RecentDirectories = recent.CommaText();
    queue().NewRecentDirectory("/FAV");
    EXPECT_EQ(config().RecentDirectories, recent.CommaText());
    queue().NewRecentDirectory("/new");
    queue().NewRecentDirectory("/D5/");  // the same directory moves to the end
    TStringList now;
    now.SetCommaText(config().RecentDirectories);
    ASSERT_EQ(now.Count(), 12);
    EXPECT_EQ(now[0], "/d1");
    EXPECT_EQ(now[10], "/new");
    EXPECT_EQ(now[11], "/D5/");
    EXPECT_EQ(now.IndexOf("/d5"), -1);
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

TEST_F(PageRequestTest, ReadAheadAndClamping) {
    struct Case {
        int pbs;
        bool two;
        int file1, file2;
        std::vector<int> pages;
    } cases[] = {
        {3, false, -5, 3, {3, 4, 5}}, {3, true, -5, 3, {3, 4, 5}}, {2, false, -5, 3, {3, 4}}, {2, true, -5, 3, {3, 4, 5}},
        {0, false, -5, 3, {3}},       {5, false, -5, 3, {3, 4, 5, 6}},
        {5, false, 8, 9, {8, 9, 7}},  // 10, 11 and 12 are beyond the end
        {4, false, 0, -1, {0, 1, 2}}, // -1 is skipped
        {4, false, 12, -1, {9, 8}},   // 12 becomes 9
    };
    for (auto& c : cases) {
        config().PageBufferSize = c.pbs;
        config().TwoPages = c.two;
        queue().ClearQ();
        queue().Get(c.file1, c.file2, 1);
        EXPECT_EQ(QueuedPages(), c.pages) << c.pbs << " " << c.two << " " << c.file1;
        for (auto& e : queue().Queue()) EXPECT_EQ(e.Priority * 10 + e.Type, 20 + rtLoadPage);
    }
}

TEST_F(PageRequestTest, PagesAreDeliveredInOrderAndCachedPagesAtOnce) {
    lockPages_ = true;
    queue().Get(0, -1, 1);
    EXPECT_TRUE(delivered_.empty());
    EXPECT_EQ(Drive(), 3);
    // Pages read ahead are delivered too; the window takes what it asked for.
    EXPECT_EQ(Delivered(), (Jobs{{0, 1}, {1, 1}, {2, 1}}));
    EXPECT_TRUE(delivered_[0].bitmap->Locked && delivered_[0].bitmap->Processed);
    queue().Get(1, -1, 1);  // cached and processed: delivered within Get
    ASSERT_EQ(delivered_.size(), 4u);
    EXPECT_EQ(delivered_[3].page, 1);
    EXPECT_TRUE(delivered_[3].bitmap->Locked);
    EXPECT_FALSE(delivered_[0].bitmap->Locked) << "Get unlocks the pages shown before";
    EXPECT_EQ(QueuedPages(), (std::vector<int>{3}));  // 2 is cached already

    delivered_.clear();
    config().PageBufferSize = 0;
    queue().Get(2, -1, 4);  // each generation gets its own page
    queue().Get(2, -1, 5);
    Drive();
    EXPECT_EQ(Delivered(), (Jobs{{3, 1}, {2, 4}, {2, 5}}));
    EXPECT_NE(delivered_[1].bitmap, delivered_[2].bitmap);
}

TEST_F(PageRequestTest, ZoomRequestsReplaceEachOther) {
    queue().GetZooms(true, 1, 2, 3);
    queue().GetZooms(false, 4, -1, 3);
    EXPECT_EQ(Queued(), (Jobs{{4, rtZoomWhole}}));
    Drive();
    ASSERT_EQ(delivered_.size(), 1u);
    EXPECT_EQ(delivered_[0].type, ctZoomWhole);
    EXPECT_EQ(delivered_[0].width * 1000 + delivered_[0].height, 512768) << "fitted whole: 40x60 to 512x768";
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
    EXPECT_FALSE(queue().SetRotation(rtUpsideDown, 10) || queue().SetRotation(rtUpsideDown, -2));
    EXPECT_EQ(queue().GetRotation(10), rtNone);
    EXPECT_TRUE(queue().SetRotation(rtUpsideDown, 9));
    EXPECT_EQ(queue().GetRotation(9), rtUpsideDown);
    queue().Get(0, -1, 1);
    Drive();
    ASSERT_FALSE(delivered_.empty());
    EXPECT_EQ(delivered_[0].bitmap->Rotation, rtRight);
    EXPECT_EQ(delivered_[0].width * 1000 + delivered_[0].height, 60040) << "40x60 shown as 60x40";
}

TEST_F(ProcessFilesTest, NoRotationsWithoutAList) {
    EXPECT_FALSE(queue().SetRotation(rtRight, -1) || queue().SetRotation(rtRight, 0) || queue().HasRotations());
}

TEST_F(ProcessFilesTest, PagesThatCannotComeAreDeliveredAsTheErrorPage) {
    const std::string cbz = files_.Write("b.cbz", "x"), cbt = files_.Write("c.cbt", "x");
    archive_->archives[cbz] = {{"1.bmp", test::SolidBmp(30, 50)}, {"2.bmp", "damaged"}};
    archive_->archives[cbt] = {{"3.bmp", test::SolidBmp(30, 50)}};
    LoadList({cbz, cbt});
    ASSERT_EQ(queue().GetFiles(), 3);
    config().PageBufferSize = 0;
    archive_->archives.erase(cbz);  // gone from disk after listing
    queue().Get(0, 2, 1);
    queue().Get(1, -1, 1);
    Drive();
    ASSERT_EQ(delivered_.size(), 3u);
    for (int i : {0, 2}) EXPECT_EQ(delivered_[size_t(i)].width * 1000 + delivered_[size_t(i)].height, 400600) << i;
    EXPECT_EQ(delivered_[1].page * 100 + delivered_[1].width, 230);
    EXPECT_FALSE(queue().Running());

    queue().CopyPageToFile(2, files_.File("copy.jpg"));  // the copy is a job too
    EXPECT_EQ(Queued(), (Jobs{{2, rtCopyPage}}));
    Drive();
    EXPECT_EQ(test::ReadFileBytes(files_.File("copy.bmp")), test::SolidBmp(30, 50));
}

TEST_F(ProcessFilesTest, AQueueDrivenToCompletionOnDecodedPages) {
    config().TwoPages = true;
    config().PageBufferSize = 4;
    TBufferedPage::SetPageLimit(2 + 4);
    LoadList(WritePages(30, 200, 300));
    lockPages_ = true;
    for (int page = 0; page < 30; page += 2) {
        delivered_.clear();
        queue().Get(page, page + 1, 1);
        Drive();
        // The two pages asked for come first, then those read ahead.
        ASSERT_EQ(delivered_.size(), page == 28 ? 2u : 4u) << page;
        EXPECT_EQ(delivered_[0].page * 100 + delivered_[1].page, page * 101 + 1);
        for (auto& d : delivered_) EXPECT_EQ(d.width * 1000 + d.height + d.gen * 1000000, 1512768) << "half the window";
        EXPECT_LE(TBufferedPage::InList(ctDisplay), TBufferedPage::PageLimit());
        EXPECT_TRUE(queue().Queue().empty());
    }
    EXPECT_FALSE(queue().Running());
}

}  // namespace
}  // namespace vellicor

#include "pages/ProcessFiles.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

#include "EngineTestSupport.h"
#include "pages/Utilsunit.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"
#include "support/ScopedConfigDir.h"
#include "support/TempDir.h"

namespace vellicor {
namespace {

using test::ListOf;
using Pairs = std::vector<std::pair<int, int>>;

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

std::function<void()> g_onMessages;  // a message handler, run where pages let messages through

class ProcessFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        TBufferedPage::ClearList();
        TBufferedPage::SetPageLimit(5);
        SetMainClientSize(1024, 768);
        config_.emplace();
        config().TwoPages = config().GenerateThumbsInBackground = config().Balance = config().FixYellowing = false;
        config().PageBufferSize = 3, config().FileBufferSize = 0;
        queue_.emplace(*config_);
        auto src = std::make_unique<test::FakeArchiveSource>();
        archive_ = src.get();
        queue().LoadFile().SetArchiveSource(std::move(src));
        queue().OnPageReady = [this](TProcessFilesForm& sender, const TBufferedPagePtr& page, bool& lock) {
            EXPECT_EQ(&sender, &queue());
            delivered_.push_back(page);
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
        TBufferedPage::ClearList();
    }

    TConfigureForm& config() { return *config_; }
    RecordingQueue& queue() { return *queue_; }
    // Runs the dispatcher until it has nothing to do; a livelock fails the test.
    int Drive(int cap = 500) {
        int steps = 0;
        while (queue().Idle() && ++steps < cap) {
        }
        EXPECT_LT(steps, cap) << "the queue did not settle";
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
    Pairs Queued() const {  // (FileNumber, Type)
        Pairs r;
        for (auto& e : queue_->Queue()) r.push_back({e.FileNumber, e.Type});
        return r;
    }
    Pairs Delivered(bool sizes = false) const {  // (page, generation) or (width, height)
        Pairs r;
        for (auto& p : delivered_) r.push_back(sizes ? std::pair{p->Width(), p->Height()} : std::pair{p->PageNo, p->GenNo});
        return r;
    }

    test::ScopedConfigDir configDir_;  // outlives the settings object
    test::FakeUi ui_;
    test::TempDir files_;
    std::optional<TConfigureForm> config_;
    std::optional<RecordingQueue> queue_;
    test::FakeArchiveSource* archive_ = nullptr;
    std::vector<TBufferedPagePtr> delivered_;
    bool lockPages_ = false;
    std::function<void()> onPage_;
    int filesReady_ = 0;
};

// ---- The queue ----

TEST_F(ProcessFilesTest, EnQueueOrderDuplicatesAndRemoval) {
    for (int n : {1, 5, 6}) queue().EnQ(n, 7, 2, rtLoadPage);
    for (int p : {2, 3}) queue().EnQ(5, 7, p, rtLoadPage);  // the same or a worse priority: dropped
    EXPECT_EQ(Queued(), (Pairs{{1, rtLoadPage}, {5, rtLoadPage}, {6, rtLoadPage}}));
    queue().ClearQ();
    for (int n : {1, 5}) queue().EnQ(n, 7, 2, rtLoadPage);
    queue().EnQ(5, 7, 1, rtLoadPage);  // a better one moves it ahead
    queue().EnQ(5, 8, 2, rtLoadPage);  // another generation or type is another request
    queue().EnQ(5, 7, 2, rtZoomDouble);
    EXPECT_EQ(Queued(), (Pairs{{5, rtLoadPage}, {1, rtLoadPage}, {5, rtLoadPage}, {5, rtZoomDouble}}));
    queue().ClearQ();
    for (int n = 0; int p : {2, 0, 2, 3, 0}) queue().EnQ(n++, 0, p, rtThumb);
    std::vector<int> order;
    int f, g, p;
    TRequestType t;
    while (queue().DeQ(f, g, t, p)) order.push_back(f);
    EXPECT_EQ(order, (std::vector<int>{1, 4, 0, 2, 3}));
    for (auto [n, p, type] : {std::tuple{0, 2, rtZoomDouble}, {1, 2, rtLoadPage}, {2, 2, rtZoomDouble}, {3, 3, rtThumb}, {4, 0, rtInfoFile}})
        queue().EnQ(n, 0, p, type);
    queue().RemoveQ(rtZoomDouble);
    EXPECT_EQ(Queued(), (Pairs{{4, rtInfoFile}, {1, rtLoadPage}, {3, rtThumb}}));
    queue().HaltWork();
    queue().ClearQ();  // keeps a pending halt: someone waits for it
    EXPECT_EQ(Queued(), (Pairs{{0, rtHalt}}));
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
    EXPECT_EQ(Queued(), (Pairs{{0, rtInfoFile}, {0, rtHalt}, {1, rtStartThumbs}, {7, rtThumb}}));
    EXPECT_TRUE(queue().Idle() && queue().Idle());
    EXPECT_TRUE(halted == 1 && queue().Running());
    EXPECT_FALSE(queue().Idle());
    queue().RestartWork();
    Drive();
    EXPECT_EQ(queue().log, (std::vector<std::string>{"info 0", "thumbs", "thumb 7"}));
    queue().OnWorkHalted = nullptr;  // without a handler the queue goes on
    queue().HaltWork();
    queue().EnQ(3, 0, 3, rtThumb);
    Drive();
    EXPECT_TRUE(halted == 1 && queue().log.back() == "thumb 3" && !queue().Running());
}

TEST_F(ProcessFilesTest, FailingJobsDoNotCloseTheQueue) {
    queue().onJob = [] { throw std::runtime_error("boom"); };
    queue().EnQ(0, 0, 0, rtInfoFile);
    queue().EnQ(1, 0, 3, rtThumb);
    EXPECT_TRUE(queue().Idle() && !queue().Running());
    ASSERT_EQ(ui_.shown.size(), 1u);
    EXPECT_EQ(ui_.shown[0].caption, "boom");
    queue().onJob = nullptr;
    Drive();
    EXPECT_EQ(queue().log.back(), "thumb 1");
    queue().OnWorkHalted = [](TProcessFilesForm&) { throw std::runtime_error("halt"); };
    queue().HaltWork();
    EXPECT_TRUE(queue().Idle() && !queue().Running());
    queue().EnQ(0, 0, 0, TRequestType(42));  // no such job: dropped
    EXPECT_TRUE(queue().Idle() && !queue().Running());
    LoadList(WritePages(3));
    onPage_ = [] { throw std::runtime_error("handler"); };
    queue().Get(0, -1, 1);
    EXPECT_TRUE(queue().Idle() && !queue().Running());
    onPage_ = nullptr;
    Drive();
    EXPECT_EQ(TBufferedPage::InList(ctDisplay), 3);  // the page and two read ahead
}

TEST_F(ProcessFilesTest, NothingStartsWhileAJobWaitsOrTheLoaderIsBusy) {
    LoadList(WritePages(4));
    int nested = 0, started = 0;
    bool running = false;
    g_onMessages = [&] { ++nested, started += queue().Idle(); };  // page processing lets messages through
    onPage_ = [&] { queue().RestartWork(), running = queue().Running(), started += queue().Idle(); };
    queue().Get(0, -1, 1);
    queue().EnQ(0, 0, 3, rtThumb);
    EXPECT_TRUE(queue().Idle());
    EXPECT_TRUE(nested > 0 && started == 0 && delivered_.size() == 1 && queue().log.size() == 1);
    EXPECT_TRUE(running) << "the queue stays closed until the page is delivered, RestartWork or not";
    g_onMessages = onPage_ = nullptr;
    Drive();
    EXPECT_EQ(queue().log.back(), "thumb 0");
    const std::string cbz = files_.Write("b.cbz", "x");
    archive_->archives[cbz] = {{"1.bmp", test::SolidBmp(4, 4)}, {"2.bmp", test::SolidBmp(4, 4)}};
    LoadList({cbz});
    nested = started = 0;
    archive_->onCall = [&] { ++nested, started += queue().Idle(); };  // archives let messages through too
    queue().EnQ(0, 0, 3, rtThumb);
    queue().Get(0, -1, 1);
    Drive();
    EXPECT_TRUE(nested > 0 && started == 0);
}

// ---- Loading a list ----

TEST_F(ProcessFilesTest, LoadingAListTellsTheWindowAndRemembersIt) {
    config().GenerateThumbsInBackground = true;
    config().FavouriteDirectories = config().RecentDirectories = "";
    queue().LoadFiles(TStringList(), 0);  // an empty list is ignored
    const auto names = WritePages(10);
    queue().LoadFiles(ListOf(names), 25);
    EXPECT_EQ(config().LastPage, 25);
    EXPECT_EQ(Queued(), (Pairs{{0, rtLoadFiles}}));
    EXPECT_EQ(queue().GetFiles(), 0);
    EXPECT_TRUE(queue().Idle());
    EXPECT_TRUE(filesReady_ == 1 && queue().FilesLoaded && queue().GetFiles() == 10);
    EXPECT_EQ(config().LastPage, 9);
    EXPECT_EQ(config().LastDir + " " + config().RecentDirectories, files_.Path() + " " + files_.Path());
    EXPECT_EQ(config().LastFiles.Items(), names);
    EXPECT_TRUE(queue().HasRotations() && queue().ThumbsStarted);
    queue().GenerateThumbs();  // started already
    EXPECT_EQ(Queued(), (Pairs{{0, rtStartThumbs}}));
    EXPECT_EQ(queue().log, (std::vector<std::string>{"info files"}));
    queue().LoadFiles(ListOf(names), -3);
    Drive();
    EXPECT_EQ(config().LastPage, 0);
    config().LastPage = 10;
    queue().ReloadLastFiles();
    Drive();
    EXPECT_TRUE(filesReady_ == 3 && config().LastPage == 9);
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
    const TBufferedPagePtr shown = delivered_.at(0);
    int cleared = 0, halted = 0;
    queue().OnFilesCleared = [&](TProcessFilesForm&) { ++cleared; };
    queue().OnWorkHalted = [&](TProcessFilesForm& q) { ++halted, q.RestartWork(); };
    queue().Get(3, -1, 2);
    queue().LoadFiles(ListOf({names[0]}), 0);
    queue().HaltWork();
    delivered_.clear();
    Drive();
    EXPECT_TRUE(cleared == 1 && halted == 1 && queue().GetFiles() == 1);
    EXPECT_TRUE(delivered_.empty()) << "page 3 of the old list was never made";
    EXPECT_EQ(TBufferedPage::Count(), 0);
    EXPECT_EQ(shown->PageNo * 100 + shown->Width(), 40) << "the page the window shows is intact";
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
        {2, false, -5, 3, {3, 4}}, {2, true, -5, 3, {3, 4, 5}}, {0, false, -5, 3, {3}}, {5, false, -5, 3, {3, 4, 5, 6}},
        {5, false, 8, 9, {8, 9, 7}},  // 10, 11 and 12 are beyond the end
        {3, false, 8, 9, {8, 9}},     // 7 only from 4 on
        {4, false, 0, -1, {0, 1, 2}}, // -1 is skipped
        {4, false, 12, -1, {9, 8}},   // 12 becomes 9
    };
    for (auto& c : cases) {
        config().PageBufferSize = c.pbs, config().TwoPages = c.two;
        queue().ClearQ();
        queue().Get(c.file1, c.file2, 1);
        Pairs expected;
        for (int page : c.pages) expected.push_back({page, rtLoadPage});
        EXPECT_EQ(Queued(), expected) << c.pbs << " " << c.two << " " << c.file1;
        for (auto& e : queue().Queue()) EXPECT_EQ(e.Priority, 2);
    }
}

TEST_F(PageRequestTest, DeliveryCacheHitsAndGenerations) {
    lockPages_ = true;
    queue().Get(0, -1, 1);
    EXPECT_TRUE(delivered_.empty());
    EXPECT_EQ(Drive(), 3);
    EXPECT_EQ(Delivered(), (Pairs{{0, 1}, {1, 1}, {2, 1}})) << "pages read ahead are delivered too";
    EXPECT_TRUE(delivered_[0]->Locked && delivered_[0]->Processed);
    queue().Get(1, -1, 1);  // cached and processed: delivered within Get
    EXPECT_EQ(Delivered().back(), std::pair(1, 1));
    EXPECT_TRUE(delivered_.back()->Locked);
    EXPECT_FALSE(delivered_[0]->Locked) << "Get unlocks the pages shown before";
    EXPECT_EQ(Queued(), (Pairs{{3, rtLoadPage}})) << "2 is cached already";
    delivered_.clear();
    config().PageBufferSize = 0;
    queue().Get(2, -1, 4);  // each generation gets its own page
    queue().Get(2, -1, 5);
    Drive();
    EXPECT_EQ(Delivered(), (Pairs{{3, 1}, {2, 4}, {2, 5}}));
    EXPECT_NE(delivered_[1], delivered_[2]);
}

TEST_F(PageRequestTest, AHitOnAPageStillInTheMakingWaitsForItsJob) {
    // The job of page 4 has put its page in the cache and not processed it yet.
    TBufferedPagePtr making = TBufferedPage::Create(4, rtNone, 7, ctDisplay, "p104.bmp");
    ASSERT_FALSE(making->Processed);
    queue().Get(4, -1, 7);
    EXPECT_TRUE(delivered_.empty()) << "not delivered half made";
    EXPECT_EQ(Queued(), (Pairs{{5, rtLoadPage}, {6, rtLoadPage}})) << "nor asked for again: its own job delivers it";
    making->Processed = true;
    queue().Get(4, -1, 7);
    ASSERT_EQ(delivered_.size(), 1u);
    EXPECT_EQ(delivered_[0], making);
}

TEST_F(PageRequestTest, ZoomsAndRotations) {
    queue().GetZooms(true, 1, 2, 3);
    queue().GetZooms(false, 4, -1, 3);  // replaces the first
    EXPECT_EQ(Queued(), (Pairs{{4, rtZoomWhole}}));
    Drive();
    queue().GetZooms(true, 4, -1, 3);
    Drive();
    EXPECT_EQ(Delivered(true), (Pairs{{512, 768}, {80, 120}})) << "fitted whole to the window; doubled";
    EXPECT_EQ(delivered_[0]->ImageType * 10 + delivered_[1]->ImageType, ctZoomWhole * 10 + ctZoomDouble);
    EXPECT_FALSE(delivered_[0]->Locked || delivered_[1]->Locked) << "the handler did not ask for a lock";

    EXPECT_FALSE(queue().SetRotation(rtNone, -1));
    EXPECT_TRUE(queue().SetRotation(rtRight, -1));
    EXPECT_FALSE(queue().SetRotation(rtRight, -1) || queue().SetRotation(rtUpsideDown, 10) ||
                 queue().SetRotation(rtUpsideDown, -2));
    EXPECT_TRUE(queue().SetRotation(rtUpsideDown, 9));
    EXPECT_EQ(queue().GetRotation(9) * 10 + queue().GetRotation(10), rtUpsideDown * 10);
    delivered_.clear();
    queue().Get(0, -1, 1);
    Drive();
    EXPECT_EQ(delivered_.at(0)->Rotation, rtRight);
    EXPECT_EQ(Delivered(true)[0], std::pair(60, 40)) << "40x60 turned a quarter";
}

TEST_F(ProcessFilesTest, PagesThatCannotComeAreDeliveredAsTheErrorPage) {
    EXPECT_FALSE(queue().SetRotation(rtRight, -1) || queue().SetRotation(rtRight, 0) || queue().HasRotations());
    const std::string cbz = files_.Write("b.cbz", "x"), cbt = files_.Write("c.cbt", "x");
    archive_->archives[cbz] = {{"1.bmp", test::SolidBmp(30, 50)}, {"2.bmp", "damaged"}};
    archive_->archives[cbt] = {{"3.bmp", test::SolidBmp(30, 50)}};
    LoadList({cbz, cbt});
    config().PageBufferSize = 0;
    archive_->archives.erase(cbz);  // gone from disk after listing
    queue().Get(0, 2, 1);
    queue().Get(1, -1, 1);
    Drive();
    EXPECT_EQ(Delivered(true), (Pairs{{400, 600}, {30, 50}, {400, 600}}));
    EXPECT_FALSE(queue().Running());
    queue().CopyPageToFile(2, files_.File("copy.jpg"));  // the copy is a job too
    EXPECT_EQ(Queued(), (Pairs{{2, rtCopyPage}}));
    Drive();
    EXPECT_EQ(test::ReadFileBytes(files_.File("copy.bmp")), test::SolidBmp(30, 50));
}

TEST_F(ProcessFilesTest, ForwardReadingTurnsToPagesReadAhead) {
    // A 200-page cbz read forward with the default read-ahead and the cache the window sets
    // for it (the page shown and three more). A turn is a hit when Get delivers the page at
    // once, from the cache. Between turns the queue runs as many jobs as the reader's pace
    // leaves time for: none (turns faster than a page is made), one, two, or all it has.
    TConfigureForm defaults;
    const std::string cbz = files_.Write("book.cbz", "x");
    auto& members = archive_->archives[cbz];
    for (int i = 0; i < 200; ++i) members.push_back({"p" + std::to_string(1000 + i) + ".bmp", test::SolidBmp(30, 50)});
    LoadList({cbz});
    ASSERT_EQ(queue().GetFiles(), 200);
    config().PageBufferSize = defaults.PageBufferSize;
    TBufferedPage::SetPageLimit(1 + defaults.PageBufferSize);
    struct Pace {
        int jobs;  // between turns; -1: until the queue is idle
        int hits;  // of the 199 turns
    } paces[] = {{-1, 199}, {2, 199}, {1, 199}, {0, 2}};  // with none, only the first read-ahead
    for (const Pace& pace : paces) {
        TBufferedPage::ClearList();
        queue().ClearQ();
        delivered_.clear();
        const int gen = 10 + pace.jobs;
        queue().Get(0, -1, gen);
        Drive();
        int hits = 0;
        for (int page = 1; page < 200; ++page) {
            const size_t before = delivered_.size();
            queue().Get(page, -1, gen);
            hits += delivered_.size() > before && delivered_.back()->PageNo == page;
            if (pace.jobs < 0) Drive();
            for (int j = 0; j < pace.jobs; ++j) queue().Idle();
        }
        EXPECT_EQ(hits, pace.hits) << pace.jobs << " jobs between turns";
    }
}

// Esc while a page is made: the page is dropped where it stands and shown nowhere (it has no
// pixels left, not even an error page), and the queue is free again.
TEST_F(ProcessFilesTest, APageStoppedAsTheProgramEndsIsNotDelivered) {
    LoadList(WritePages(2, 300, 400));
    g_onMessages = [] { RequestStop(); };
    queue().Get(0, -1, 1);
    Drive();
    RequestStop(false);
    g_onMessages = nullptr;
    EXPECT_TRUE(delivered_.empty()) << Delivered(true).size();
    EXPECT_FALSE(queue().Running());
}

}  // namespace
}  // namespace vellicor

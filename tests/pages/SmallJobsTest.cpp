// The queue's small jobs: thumbnails, info files, recent directories, page copies and the
// archive preview.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>

#include "EngineTestSupport.h"
#include "pages/PageSettings.h"
#include "pages/Utilsunit.h"
#include "platform/Text.h"
#include "pages/ProcessFiles.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"
#include "support/ScopedConfigDir.h"
#include "support/TempDir.h"

namespace vellicor {
namespace {

using test::ListOf;

class InfoQueue : public TProcessFilesForm {
public:
    using TProcessFilesForm::TProcessFilesForm;
    std::vector<std::string> log;

protected:
    void ShowInfo(const std::string& Caption, const std::string& Text) override { log.push_back(Caption + ":" + Text); }
    void HideInfo() override {
        if (!log.empty() && log.back() != "hide") log.push_back("hide");
    }
};

class SmallJobsTest : public ::testing::Test {
protected:
    void SetUp() override {
        TBufferedPage::ClearList();
        TBufferedPage::SetPageLimit(5);
        SetMainClientSize(1024, 768);
        config_.emplace();
        config().TwoPages = config().GenerateThumbsInBackground = config().Balance = config().FixYellowing = false;
        config().PageBufferSize = 0, config().FileBufferSize = 0;
        config().FavouriteDirectories = config().RecentDirectories = "";
        queue_.emplace(*config_);
        auto src = std::make_unique<test::FakeArchiveSource>();
        archive_ = src.get();
        queue().LoadFile().SetArchiveSource(std::move(src));
        queue().OnThumbsReady = [this](TProcessFilesForm&) { ++thumbsReady_; };
    }
    void TearDown() override {
        queue_.reset();
        TBufferedPage::ClearList();
    }
    TConfigureForm& config() { return *config_; }
    InfoQueue& queue() { return *queue_; }
    void Drive() {
        int steps = 0;
        while (queue().Idle() && ++steps < 2000) {
        }
        EXPECT_LT(steps, 2000) << "the queue did not settle";
    }
    void LoadList(const std::vector<std::string>& names) {
        queue().LoadFiles(ListOf(names), 0);
        Drive();
    }

    test::ScopedConfigDir configDir_;
    test::FakeUi ui_;
    test::TempDir files_;
    std::optional<TConfigureForm> config_;
    std::optional<InfoQueue> queue_;
    test::FakeArchiveSource* archive_ = nullptr;
    int thumbsReady_ = 0;
};

TEST(ThumbDrawing, RectangleRuleAndPixels) {
    struct Case {
        int boxW, boxH, pageW, pageH, right, bottom;
    } cases[] = {
        {156, 240, 2000, 1000, 480, 240},  // landscape page: proportions kept at full height
        {156, 240, 1000, 1500, 156, 240},  // portrait in portrait: stretched to the box
        {156, 240, 500, 500, 240, 240},    // a square page counts as landscape
        {240, 156, 2000, 1000, 240, 156},  // landscape in landscape: the whole box
        {240, 156, 1000, 2000, 78, 156},
        {156, 240, 10, 0, 156, 240},       // no height: nothing to scale by
    };
    for (const auto& c : cases) {
        int r = 0, b = 0;
        ThumbRect(c.boxW, c.boxH, c.pageW, c.pageH, r, b);
        EXPECT_EQ(std::make_pair(r, b), std::make_pair(c.right, c.bottom)) << c.pageW << "x" << c.pageH;
    }
    // A landscape page: the left half red, the right half blue; only red reaches the
    // visible 156 columns of a 480-wide drawing.
    TBitmap page = test::SolidPage(2000, 1000, 255, 0, 0);
    for (int y = 0; y < 1000; ++y)
        for (int x = 1000; x < 2000; ++x) test::SetPixel(page, x, y, 0, 0, 255);
    TBitmap t = DrawThumb(page, 156, 240);
    ASSERT_EQ(t.Width() * 1000 + t.Height(), 156 * 1000 + 240);
    EXPECT_EQ(t.Pixel(0, 0), RGBColor(255, 0, 0));
    EXPECT_EQ(t.Pixel(155, 239), RGBColor(255, 0, 0));
    // Averaging keeps a one-pixel line visible in a heavily reduced page.
    TBitmap lined = test::SolidPage(1560, 2400, 255, 255, 255);
    for (int x = 0; x < 1560; ++x) test::SetPixel(lined, x, 1205, 0, 0, 0);
    TBitmap lt = DrawThumb(lined, 156, 240);
    EXPECT_LT(GetRValue(lt.Pixel(70, 120)), 255);
    EXPECT_TRUE(DrawThumb(TBitmap(), 156, 240).Pixel(3, 3) == 0) << "an empty page gives a blank thumbnail";

    TImageList list(156, 240, 25, 10);
    EXPECT_EQ(list.Capacity(), 25);
    for (int i = 0; i < 26; ++i) ASSERT_EQ(list.Add(DrawThumb(page, 156, 240)), i);
    EXPECT_EQ(list.Capacity(), 35) << "grows by ten";
    EXPECT_EQ(list.Add(DrawThumb(page, 100, 100)), -1) << "wrong size refused";
}

TEST(ThumbList, ImagesBeyondTheMemoryBudgetComeBackFromTheFile) {
    const size_t one = 156 * 3 * 240;
    TImageList list(156, 240, 25, 10, 2 * one + 10);
    auto shade = [](int i) { return test::SolidPage(156, 240, uint8_t(10 * i), uint8_t(255 - i), uint8_t(i * 3)); };
    for (int i = 0; i < 30; ++i) {
        TBitmap t = shade(i);
        test::SetPixel(t, i, 200, 1, 2, 3);  // one pixel of each differs elsewhere
        ASSERT_EQ(list.Add(std::move(t)), i);
    }
    EXPECT_EQ(list.InMemory(), 2) << "the rest are not held in memory";
    EXPECT_EQ(list.Count(), 30);
    EXPECT_EQ(list.Capacity(), 35);
    for (int i : {0, 1, 2, 17, 29}) {
        const TBitmap t = list.Image(i);
        ASSERT_EQ(t.Width() * 1000 + t.Height(), 156 * 1000 + 240) << i;
        EXPECT_EQ(t.Pixel(155, 239), RGBColor(uint8_t(10 * i), uint8_t(255 - i), uint8_t(i * 3))) << i;
        EXPECT_EQ(t.Pixel(i, 200), RGBColor(1, 2, 3)) << i;
        EXPECT_EQ(t.Pixel(i + 1, 200), t.Pixel(155, 239)) << i;
    }
    EXPECT_TRUE(list.Image(30).Empty());
    EXPECT_TRUE(list.Image(-1).Empty());
    // Cleared, the list starts over in memory and in a new file.
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(list.Add(shade(i + 5)), i);
    EXPECT_EQ(list.Image(2).Pixel(0, 0), RGBColor(70, 248, 21));
}

TEST_F(SmallJobsTest, ThumbnailsRunBehindPagesAndKeepPageOrder) {
    std::vector<std::string> names;
    names.push_back(files_.Write("p0.bmp", test::SolidBmp(40, 60, 0xFF0000)));
    names.push_back(files_.Write("p1.bmp", "not a bitmap"));  // the error page, in its place
    names.push_back(files_.Write("p2.bmp", test::SolidBmp(60, 40, 0x0000FF)));
    LoadList(names);
    queue().Get(0, -1, 1);
    queue().GenerateThumbs();
    queue().GenerateThumbs();  // once per list
    ASSERT_EQ(queue().Queue().size(), 2u);
    EXPECT_EQ(queue().Queue()[0].Type, rtStartThumbs) << "priority 0 first";
    Drive();
    EXPECT_EQ(thumbsReady_, 1);
    EXPECT_TRUE(queue().ThumbsComplete);
    ASSERT_EQ(queue().ThumbList->Count(), 3);
    EXPECT_EQ(queue().ThumbNames.Items(), (std::vector<std::string>{"p0.bmp", "p1.bmp", "p2.bmp"}));
    EXPECT_EQ(queue().ThumbList->Image(0).Pixel(78, 120), RGBColor(255, 0, 0));
    EXPECT_EQ(queue().ThumbList->Image(2).Pixel(10, 120), RGBColor(0, 0, 255));
    EXPECT_NE(queue().ThumbList->Image(1).Pixel(78, 120), RGBColor(255, 0, 0)) << "page 1's own (error) image";
    // A new list throws the old thumbnails away.
    LoadList({names[0]});
    EXPECT_EQ(queue().ThumbList->Count(), 0);
    EXPECT_FALSE(queue().ThumbsComplete);
    config().GenerateThumbsInBackground = true;
    LoadList({names[0], names[2]});
    EXPECT_EQ(queue().ThumbList->Count(), 2);
    EXPECT_EQ(thumbsReady_, 2);
}

TEST_F(SmallJobsTest, JpegThumbnailsAreDecodedReduced) {
    const std::string jpg = files_.Write("big.jpg", test::MakeJpeg(1600, 2400));
    TPageBMP full("big.jpg"), small("big.jpg");
    small.JpegScaleLimit = 480;
    full.LoadFromFile(jpg);
    small.LoadFromFile(jpg);
    EXPECT_EQ(full.Width(), 1600);
    EXPECT_EQ(small.Width() * 10000 + small.Height(), 200 * 10000 + 300);
    LoadList({jpg});
    queue().GenerateThumbs();
    Drive();
    ASSERT_EQ(queue().ThumbList->Count(), 1);
}

TEST_F(SmallJobsTest, InfoFilesShowInTurnAndUnreadableOnesAreSkipped) {
    const std::string page = files_.Write("p.bmp", test::SolidBmp(4, 4));
    const std::string a = files_.Write("a.nfo", "first"), b = files_.Write("b.txt", "second");
    std::string c = files_.Write("c.nfo", "third");
    LoadList({page, a, b, c});
    EXPECT_EQ(queue().log, (std::vector<std::string>{"a.nfo:first"}));
    queue().InitiateDisplayInfoFile();  // a key or double click
    Drive();
    std::filesystem::remove(c);  // gone before its turn
    queue().InitiateDisplayInfoFile();
    Drive();
    EXPECT_EQ(queue().log, (std::vector<std::string>{"a.nfo:first", "hide", "b.txt:second", "hide"}));
    EXPECT_TRUE(queue().Queue().empty() && !queue().Running());
    // Unreadable first file: the next one is shown instead.
    std::filesystem::remove(a);
    c = files_.Write("c.nfo", "third");
    queue().log.clear();
    LoadList({page, a, b, c});
    EXPECT_EQ(queue().log, (std::vector<std::string>{"b.txt:second"}));
    config().DisplayInfoFiles = false;
    queue().log.clear();
    LoadList({page, c});
    EXPECT_TRUE(queue().log.empty());
}

TEST_F(SmallJobsTest, RecentDirectories) {
    std::string twelve;
    for (int i = 0; i < 12; ++i) twelve += (i ? "," : "") + std::string("/d") + std::to_string(i);
    config().RecentDirectories = twelve;
    queue().NewRecentDirectory("/new");
    TStringList l;
    l.SetCommaText(config().RecentDirectories);
    ASSERT_EQ(l.Count(), 12);
    EXPECT_EQ(l[0] + " " + l[11], "/d1 /new");
    queue().NewRecentDirectory("/D5/");  // the same directory moves to the end
    l.SetCommaText(config().RecentDirectories);
    EXPECT_EQ(l.Count(), 12);
    EXPECT_EQ(l[11], "/D5/");
    config().FavouriteDirectories = ",/fav";
    queue().NewRecentDirectory("/FAV");
    EXPECT_EQ(config().RecentDirectories.find("FAV"), std::string::npos);
    queue().NewRecentDirectory("/fav/");  // as the loader names it, with the separator
    EXPECT_EQ(config().RecentDirectories.find("fav"), std::string::npos);
    config().RecentDirectories = "";
    config().StripLastDirInHistoryList = true;
    queue().NewRecentDirectory("/comics/a");
    queue().NewRecentDirectory("/comics/b");
    queue().NewRecentDirectory("/other/a");
    EXPECT_EQ(config().RecentDirectories, "/comics/b,/other/a");
}

TEST_F(SmallJobsTest, PageCopiesGoEachToTheirOwnFile) {
    const std::string page = files_.Write("p.bmp", test::SolidBmp(4, 4, 0x123456));
    LoadList({page});
    std::filesystem::create_directory(files_.File("out"));
    const mode_t old = ::umask(022);
    queue().CopyPageToFile(0, files_.File("out/one"));
    queue().CopyPageToFile(0, files_.File("out/two.xyz"));
    EXPECT_EQ(queue().Queue().size(), 2u);
    Drive();
    ::umask(old);
    EXPECT_EQ(test::ReadFileBytes(files_.File("out/one.bmp")), test::SolidBmp(4, 4, 0x123456));
    EXPECT_EQ(test::ReadFileBytes(files_.File("out/two.bmp")), test::SolidBmp(4, 4, 0x123456));
    struct stat st {};
    ASSERT_EQ(::stat(files_.File("out/one.bmp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_TRUE(ui_.shown.empty());
    queue().CopyPageToFile(0, files_.File("missing/dir/x"));
    queue().CopyPageToFile(7, files_.File("out/none"));  // no such page
    Drive();
    ASSERT_EQ(ui_.shown.size(), 2u);
    EXPECT_EQ(ui_.shown[0].caption, "The page could not be copied");
    EXPECT_EQ(ui_.shown[0].text, files_.File("missing/dir/x"));
    EXPECT_FALSE(queue().Running());
}

TEST_F(SmallJobsTest, ArchivePreviewTakesTheNewestSelectionAndLeavesTheLoadedSet) {
    const std::string set = files_.Write("set.cbz", "x"), other = files_.Write("other.cbz", "x"),
                      late = files_.Write("late.cbz", "x");
    archive_->archives[set] = {{"1.bmp", test::SolidBmp(10, 10, 0x00FF00)}, {"2.bmp", test::SolidBmp(10, 10)}};
    archive_->archives[other] = {{"z.bmp", test::SolidBmp(20, 30, 0x0000FF)}, {"b.bmp", test::SolidBmp(20, 30, 0xFF0000)}};
    archive_->archives[late] = {{"a.bmp", test::SolidBmp(20, 30, 0xFFFFFF)}};
    LoadList({set});
    std::vector<std::pair<std::string, TColor>> got;
    queue().OnPreviewReady = [&](TProcessFilesForm& q, std::unique_ptr<TBitmap> b) {
        EXPECT_EQ(b->Width() * 1000 + b->Height(), 141 * 1000 + 153);
        got.push_back({ExtractFileName(q.PreviewArchive()), b->Pixel(5, 5)});
    };
    queue().GetPreviewFromArchive(files_.Write("pic.jpg", "x"), 141, 153);  // not an archive
    queue().GetPreviewFromArchive("", 141, 153);
    EXPECT_TRUE(got.empty());
    queue().GetPreviewFromArchive(other, 141, 153);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].second, RGBColor(255, 0, 0)) << "the alphabetically first image";
    // The loaded set's pages still come from its own archive.
    std::vector<std::string> served;
    queue().LoadFile().OnStreamReady = [&](void*, TStream* s, const std::string& n) {
        served.push_back(n + (s ? "+" : "-"));
    };
    queue().LoadFile().LoadPage(1);
    EXPECT_EQ(served, std::vector<std::string>{"2.bmp+"});
    EXPECT_EQ(queue().LoadFile().CurrentArchive(), set);
    // A newer selection made while an older preview is being extracted wins.
    got.clear();
    bool once = true;
    archive_->onCall = [&] {
        if (once && queue().LoadFile().Busy() && archive_->current == other) {
            once = false;
            queue().GetPreviewFromArchive(late, 141, 153);
        }
    };
    queue().GetPreviewFromArchive(other, 141, 153);
    EXPECT_TRUE(got.empty());
    Drive();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], std::make_pair(std::string("late.cbz"), RGBColor(255, 255, 255)));
}

}  // namespace
}  // namespace vellicor

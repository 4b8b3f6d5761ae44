#include "pages/LoadFiles.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "pages/Checksums.h"
#include "pages/EngineTestSupport.h"
#include "pages/PageList.h"
#include "pages/PageSettings.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

namespace vellicor {
namespace {

using test::FakeArchiveSource;
using test::MakeBmp;

struct Served {
    int calls = 0;
    bool hadStream = false;
    std::string name;
    std::string bytes;
};

TLoaderStreamEvent Recorder(Served& s) {
    return [&s](void*, TStream* stream, const std::string& name) {
        ++s.calls;
        s.hadStream = stream != nullptr;
        s.name = name;
        s.bytes.clear();
        if (stream) {
            s.bytes.resize(static_cast<size_t>(stream->Size()));
            stream->Seek(0, SeekOrigin::Begin);
            stream->Read(s.bytes.data(), stream->Size());
        }
    };
}

class LoadFilesTest : public ::testing::Test {
protected:
    LoadFilesTest() : loader(&owner) {
        SetPageSettings(&settings);
        auto src = std::make_unique<FakeArchiveSource>();
        archive = src.get();
        loader.SetArchiveSource(std::move(src));
        loader.OnFilesReady = [this](void* sender) {
            EXPECT_EQ(sender, &owner);
            ++filesReady;
        };
    }
    ~LoadFilesTest() override { SetPageSettings(nullptr); }

    void Load(std::initializer_list<std::string> names) {
        TStringList l;
        for (auto& n : names) l.Add(n);
        loader.LoadFiles(l, 0);
    }
    std::vector<std::string> Pages() const {
        std::vector<std::string> r;
        for (int i = 0; i < loader.FileNames()->GetPageCount(); ++i) r.push_back(loader.FileNames()->GetPageName(i));
        return r;
    }
    // Serves page n and returns what the callback saw.
    Served Serve(int n) {
        Served s;
        loader.OnStreamReady = Recorder(s);
        loader.LoadPage(n);
        return s;
    }

    int owner = 0;
    test::FakeUi ui;
    test::TempDir dir;
    TSettings settings{};
    TLoadFiles loader;
    FakeArchiveSource* archive = nullptr;
    int filesReady = 0;
};

TEST_F(LoadFilesTest, LooseFilesArchivesInfoAndChecksumFilesMakeOneSortedList) {
    std::string a = dir.Write("a.jpg", "jpegbytes");
    std::string notes = dir.Write("notes.txt", "hello");
    std::string sfv = dir.Write("set.sfv", "; nothing\r\n");
    std::string cbz = dir.Write("b.cbz", "not read: the fake lists it");
    archive->AddArchive(cbz, {{"02.jpg", "two"}, {"01.jpg", "one"}, {"readme.doc", "x"}});
    Load({a, notes, sfv, cbz});

    EXPECT_EQ(filesReady, 1);
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(loader.OpenedFiles().Items(), (std::vector<std::string>{a, notes, sfv, cbz}));
    EXPECT_EQ(loader.BaseDirectory(), dir.Path());
    EXPECT_EQ(Pages(), (std::vector<std::string>{a, "01.jpg", "02.jpg"}));
    EXPECT_EQ(loader.FileNames()->GetPageArchive(1), cbz);
    EXPECT_EQ(loader.FileNames()->GetInfoCount(), 1);
    EXPECT_EQ(loader.FileNames()->GetCheckSumCount(), 1);
    EXPECT_EQ(loader.State(), lsIdle);
    EXPECT_EQ(loader.CurrentArchive(), cbz);
}

TEST_F(LoadFilesTest, MissingNamesDirectoriesAndOtherFilesAreSkipped) {
    std::string page = dir.Write("p.bmp", MakeBmp(2, 2));
    std::string other = dir.Write("x.doc", "x");
    std::filesystem::create_directories(dir.File("sub.jpg"));
    Load({dir.File("missing.jpg"), dir.File("sub.jpg"), other, page});
    EXPECT_EQ(Pages(), (std::vector<std::string>{page}));
    EXPECT_EQ(loader.OpenedFiles().Items(), (std::vector<std::string>{page}));
    EXPECT_EQ(filesReady, 1);
}

TEST_F(LoadFilesTest, NothingToShowGivesTheMessageAndNoFilesReady) {
    std::string notes = dir.Write("notes.txt", "x");
    std::string cbz = dir.Write("empty.cbz", "");
    archive->AddArchive(cbz, {});
    Load({dir.Path(), notes, cbz});
    EXPECT_EQ(filesReady, 0);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, "There are no image files to display");
    TStringList opened;
    opened.Add(notes);
    opened.Add(cbz);
    EXPECT_EQ(ui.shown[0].text, opened.CommaText());
    EXPECT_EQ(ui.shown[0].buttons, mbOK);

    ui.shown.clear();
    Load({dir.Path()});
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "");
}

TEST_F(LoadFilesTest, UnreadableEmptyAndFailingArchivesAreSkippedAndLoadingGoesOn) {
    std::string bad = dir.Write("bad.zip", "x");     // unknown to the fake: cannot be read
    std::string empty = dir.Write("empty.cbt", "x");  // no members
    std::string good = dir.Write("good.cbr", "x");
    archive->AddArchive(empty, {});
    archive->AddArchive(good, {{"p.jpg", "x"}});
    std::string page = dir.Write("z.bmp", MakeBmp(1, 1));
    Load({bad, empty, good, page});
    EXPECT_EQ(filesReady, 1);
    EXPECT_EQ(Pages(), (std::vector<std::string>{"p.jpg", page}));
    EXPECT_EQ(archive->opens, 3);

    archive->throwOnOpen = true;
    Load({good, page});
    EXPECT_EQ(filesReady, 2);
    EXPECT_EQ(Pages(), (std::vector<std::string>{page}));
    EXPECT_FALSE(loader.Busy());
}

TEST_F(LoadFilesTest, WithoutAnArchiveSourceArchivesYieldNothing) {
    loader.SetArchiveSource(nullptr);
    std::string cbz = dir.Write("b.cbz", "x");
    Load({cbz});
    EXPECT_EQ(filesReady, 0);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, cbz);
}

TEST_F(LoadFilesTest, ALongListOfEmptyArchivesDoesNotNest) {
    std::vector<std::string> names;
    TStringList list;
    std::string one = dir.Write("e.cbz", "x");
    for (int i = 0; i < 20000; ++i) list.Add(one);
    std::string page = dir.Write("p.bmp", MakeBmp(1, 1));
    list.Add(page);
    loader.LoadFiles(list, 0);
    EXPECT_EQ(Pages(), (std::vector<std::string>{page}));
}

TEST_F(LoadFilesTest, RelativeNamesBecomeAbsoluteWithoutChangingDirectory) {
    std::string page = dir.Write("rel.bmp", MakeBmp(1, 1));
    char before[4096];
    ASSERT_NE(::getcwd(before, sizeof before), nullptr);
    std::string rel = std::filesystem::relative(page).string();
    Load({rel});
    ASSERT_EQ(Pages().size(), 1u);
    EXPECT_EQ(Pages()[0], std::filesystem::absolute(rel).lexically_normal().string());
    Served s = Serve(0);
    EXPECT_TRUE(s.hadStream);
    char after[4096];
    ASSERT_NE(::getcwd(after, sizeof after), nullptr);
    EXPECT_STREQ(before, after);
}

TEST_F(LoadFilesTest, PagesAreServedFromDiskAndFromArchives) {
    std::string page = dir.Write("a.bmp", "loose bytes");
    std::string cbz = dir.Write("b.cbz", "x");
    std::string cbt = dir.Write("c.cbt", "x");
    archive->AddArchive(cbz, {{"1.jpg", "first"}, {"2.jpg", "second", true}});
    archive->AddArchive(cbt, {{"3.png", "third"}});
    Load({page, cbz, cbt});
    ASSERT_EQ(Pages(), (std::vector<std::string>{page, "1.jpg", "2.jpg", "3.png"}));

    Served s = Serve(0);
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(s.bytes, "loose bytes");
    EXPECT_EQ(s.name, page);

    // Another archive than the open one: it is opened first, and the answer still comes.
    ASSERT_EQ(loader.CurrentArchive(), cbt);
    s = Served{};
    loader.OnStreamReady = Recorder(s);
    EXPECT_TRUE(loader.LoadPage(1));
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(s.bytes, "first");
    EXPECT_EQ(loader.CurrentArchive(), cbz);

    s = Serve(2);  // extraction fails: answered without a stream
    EXPECT_EQ(s.calls, 1);
    EXPECT_FALSE(s.hadStream);
    EXPECT_EQ(loader.State(), lsIdle);

    s = Serve(3);
    EXPECT_EQ(s.bytes, "third");
}

TEST_F(LoadFilesTest, APageWhoseArchiveHasGoneIsAnsweredWithoutAStream) {
    std::string cbz = dir.Write("b.cbz", "x");
    std::string cbt = dir.Write("c.cbt", "x");
    std::string page = dir.Write("a.bmp", "loose");
    archive->AddArchive(cbz, {{"1.jpg", "first"}});
    archive->AddArchive(cbt, {{"2.jpg", "second"}});
    Load({cbz, cbt, page});
    ASSERT_EQ(Pages(), (std::vector<std::string>{page, "1.jpg", "2.jpg"}));
    ASSERT_EQ(loader.CurrentArchive(), cbt);
    archive->archives.clear();  // the archives disappear from disk
    Served s = Serve(1);
    EXPECT_EQ(s.calls, 1);
    EXPECT_FALSE(s.hadStream);
    EXPECT_EQ(loader.CurrentArchive(), "");
    EXPECT_EQ(loader.State(), lsIdle);
    // A missing loose file likewise.
    std::filesystem::remove(page);
    s = Serve(0);
    EXPECT_EQ(s.calls, 1);
    EXPECT_FALSE(s.hadStream);
}

TEST_F(LoadFilesTest, EveryPageRequestIsAnsweredOnceAndOnlyItsOwnCallbackFires) {
    std::string page = dir.Write("a.bmp", "x");
    Load({page});
    Served s = Serve(5);  // outside the list: answered without a stream
    EXPECT_EQ(s.calls, 1);
    EXPECT_FALSE(s.hadStream);
    // The callback went with its request: a request without one fires nothing.
    s = Serve(0);
    EXPECT_EQ(s.calls, 1);
    loader.LoadPage(0);
    EXPECT_EQ(s.calls, 1);
}

TEST_F(LoadFilesTest, BusyCoversEveryCallIntoTheArchiveSide) {
    std::string cbz = dir.Write("b.cbz", "x");
    archive->AddArchive(cbz, {{"1.jpg", "x"}, {"list.sfv", "1.jpg 00000000\n"}});
    int calls = 0, busy = 0;
    archive->onCall = [&] {
        ++calls;
        if (loader.Busy()) ++busy;
    };
    Load({cbz});
    Serve(0);
    loader.GetPreview(cbz);
    EXPECT_GE(calls, 4);
    EXPECT_EQ(calls, busy);
    EXPECT_FALSE(loader.Busy());
}

TEST_F(LoadFilesTest, ChecksumFilesInArchivesAndOnDiskCheckPagesAsTheyAreRead) {
    std::string cbz = dir.Write("b.cbz", "x");
    // 0x12345678 is not the CRC of "page one".
    archive->AddArchive(cbz, {{"1.jpg", "page one"}, {"list.sfv", "1.jpg 12345678\r\n2.jpg 00000000\r\n"}});
    Load({cbz});
    ASSERT_EQ(filesReady, 1);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, "File missing from checksum list");
    EXPECT_NE(ui.shown[0].text.find("2.jpg"), std::string::npos);

    Served s = Serve(0);
    EXPECT_EQ(s.bytes, "page one");  // reported, still served
    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[1].caption, "SFV file checksum error");
    Serve(0);
    EXPECT_EQ(ui.shown.size(), 2u);  // once per file
}

TEST_F(LoadFilesTest, InfoFilesAreServedThroughOnInfoReady) {
    std::string notes = dir.Write("notes.nfo", "read me");
    std::string page = dir.Write("a.bmp", "x");
    Load({notes, page});
    Served s;
    loader.OnInfoReady = Recorder(s);
    loader.LoadInfo(0);
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(s.bytes, "read me");
    loader.LoadInfo(1);  // no such info file
    EXPECT_EQ(s.calls, 1);
}

TEST_F(LoadFilesTest, ReadAheadWindowFollowsTheCurrentPage) {
    settings.FileBufferSize = 8;
    TStringList names;
    for (int i = 0; i < 20; ++i) names.Add(dir.Write("p" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".bmp", std::to_string(i)));
    loader.LoadFiles(names, 0);
    int start = -1, end = -1;
    Serve(1);
    loader.PreloadWindow(start, end);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, 8);
    Serve(18);
    loader.PreloadWindow(start, end);
    EXPECT_EQ(start, 12);
    EXPECT_EQ(end, 20);
}

TEST_F(LoadFilesTest, ReadAheadKeepsTheWindowInMemoryAndDropsTheRest) {
    settings.FileBufferSize = 6;
    TStringList names;
    for (int i = 0; i < 12; ++i) names.Add(dir.Write("p" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".bmp", "page" + std::to_string(i)));
    loader.LoadFiles(names, 0);
    TPageList& list = *loader.FileNames();

    Served s = Serve(0);
    EXPECT_EQ(s.bytes, "page0");
    EXPECT_NE(list.GetPageData(0), nullptr);  // the copy served is kept
    EXPECT_TRUE(loader.PreloadDue());
    EXPECT_TRUE(loader.Idle());
    EXPECT_FALSE(loader.Idle());  // nothing due until a page comes from its source again
    for (int i = 0; i < 6; ++i) EXPECT_NE(list.GetPageData(i), nullptr) << i;
    EXPECT_EQ(list.GetPageData(6), nullptr);
    EXPECT_EQ(loader.StreamsLoaded(), 6);

    // Served from memory: the window does not move.
    std::filesystem::remove(names[3]);
    s = Serve(3);
    EXPECT_EQ(s.bytes, "page3");
    EXPECT_FALSE(loader.PreloadDue());

    s = Serve(9);  // from disk: the window moves to 6..11 and 0..5 are dropped
    EXPECT_TRUE(loader.Idle());
    for (int i = 0; i < 6; ++i) EXPECT_EQ(list.GetPageData(i), nullptr) << i;
    for (int i = 6; i < 12; ++i) EXPECT_NE(list.GetPageData(i), nullptr) << i;
    EXPECT_EQ(loader.StreamsLoaded(), 6);
}

TEST_F(LoadFilesTest, SmallFileBufferKeepsNothing) {
    settings.FileBufferSize = 5;
    std::string page = dir.Write("a.bmp", "x");
    Load({page});
    Serve(0);
    EXPECT_EQ(loader.FileNames()->GetPageData(0), nullptr);
    EXPECT_FALSE(loader.PreloadDue());
    EXPECT_FALSE(loader.Idle());
}

TEST_F(LoadFilesTest, AReadAheadFailureFiresNoCallback) {
    settings.FileBufferSize = 6;
    std::string cbz = dir.Write("b.cbz", "x");
    archive->AddArchive(cbz, {{"1.jpg", "one"}, {"2.jpg", "two", true}, {"3.jpg", "three"}});
    Load({cbz});
    Served s = Serve(0);
    ASSERT_EQ(s.calls, 1);
    // A callback left installed (as by a page that has since gone) is not a read-ahead's.
    Served other;
    loader.OnStreamReady = Recorder(other);
    EXPECT_TRUE(loader.Idle());
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(other.calls, 0);
    EXPECT_EQ(loader.State(), lsIdle);
    EXPECT_NE(loader.FileNames()->GetPageData(2), nullptr);
    EXPECT_EQ(loader.FileNames()->GetPageData(1), nullptr);
}

TEST_F(LoadFilesTest, CopyPageWritesTheBytesUnderTheExtensionOfTheirType) {
    std::string png = dir.Write("in/page.png", "png bytes");
    std::string cbz = dir.Write("b.cbz", "x");
    archive->AddArchive(cbz, {{"m.gif", "gif bytes"}, {"n.jpeg", "jpeg bytes"}});
    Load({png, cbz});
    ASSERT_EQ(Pages(), (std::vector<std::string>{"m.gif", "n.jpeg", png}));
    std::filesystem::create_directories(dir.File("out"));
    dir.Write("out/page.png", "old contents");

    EXPECT_FALSE(loader.CopyPage(2, dir.File("out/page.jpg")));
    EXPECT_EQ(test::ReadFileBytes(dir.File("out/page.png")), "png bytes");
    EXPECT_FALSE(std::filesystem::exists(dir.File("out/page.jpg")));
    loader.CopyPage(0, dir.File("out/page.jpg"));
    EXPECT_EQ(test::ReadFileBytes(dir.File("out/page.gif")), "gif bytes");
    loader.CopyPage(1, dir.File("out/noext"));
    EXPECT_EQ(test::ReadFileBytes(dir.File("out/noext.jpg")), "jpeg bytes");
    // Nothing else was left behind in the directory.
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.File("out"))) (void)e, ++files;
    EXPECT_EQ(files, 3);
    // A page that cannot be read writes nothing.
    std::filesystem::remove(png);
    loader.CopyPage(2, dir.File("out/gone.png"));
    EXPECT_FALSE(std::filesystem::exists(dir.File("out/gone.png")));
}

TEST_F(LoadFilesTest, PreviewServesTheAlphabeticallyFirstImage) {
    std::string cbz = dir.Write("b.cbz", "x");
    archive->AddArchive(cbz, {{"notes.txt", "t"}, {"b/Page2.jpg", "2"}, {"B/page1.JPG", "1"}, {"c.png", "3"}});
    Served s;
    loader.OnPreviewReady = Recorder(s);
    loader.GetPreview(cbz);
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(s.name, "B/page1.JPG");
    EXPECT_EQ(s.bytes, "1");
    EXPECT_EQ(loader.State(), lsIdle);
    // The callback went with the request; a name that is no archive is ignored.
    loader.GetPreview(cbz);
    EXPECT_EQ(s.calls, 1);
    loader.OnPreviewReady = Recorder(s);
    loader.GetPreview(dir.Write("a.jpg", "x"));
    EXPECT_EQ(s.calls, 1);
    std::string empty = dir.Write("e.cbz", "x");
    archive->AddArchive(empty, {{"t.txt", "x"}});
    loader.GetPreview(empty);
    EXPECT_EQ(s.calls, 1);
}

TEST_F(LoadFilesTest, TidyUpForgetsListStreamsAndArchive) {
    settings.FileBufferSize = 6;
    std::string cbz = dir.Write("b.cbz", "x");
    archive->AddArchive(cbz, {{"1.jpg", "one"}, {"list.md5", "00 1.jpg\n"}});
    Load({cbz});
    Serve(0);
    ASSERT_EQ(loader.StreamsLoaded(), 1);
    int closes = archive->closes;
    loader.TidyUp();
    EXPECT_EQ(loader.FileNames()->GetPageCount(), 0);
    EXPECT_EQ(loader.OpenedFiles().Count(), 0);
    EXPECT_EQ(loader.StreamsLoaded(), 0);
    EXPECT_EQ(loader.CurrentArchive(), "");
    EXPECT_EQ(loader.BaseDirectory(), "");
    EXPECT_GT(archive->closes, closes);
    EXPECT_EQ(loader.Checksums()->EntryCount(), 0);
}

}  // namespace
}  // namespace vellicor

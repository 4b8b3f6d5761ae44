#include "pages/LoadFiles.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "EngineTestSupport.h"
#include "pages/Checksums.h"
#include "pages/PageList.h"
#include "pages/PageSettings.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

namespace vellicor {
namespace {

using test::ListOf;

// What one callback saw: how often it fired, the name and the bytes (no stream: "-").
struct Served {
    int calls = 0;
    std::string name, bytes;
};

TLoaderStreamEvent Recorder(Served& s) {
    return [&s](void*, TStream* stream, const std::string& name) {
        ++s.calls;
        s.name = name;
        s.bytes = "-";
        if (!stream) return;
        s.bytes.assign(size_t(stream->Size()), '\0');
        stream->Seek(0, SeekOrigin::Begin);
        stream->Read(s.bytes.data(), stream->Size());
    };
}

class LoadFilesTest : public ::testing::Test {
protected:
    LoadFilesTest() : loader(&owner) {
        SetPageSettings(&settings);
        auto src = std::make_unique<test::FakeArchiveSource>();
        archive = src.get();
        loader.SetArchiveSource(std::move(src));
        loader.OnFilesReady = [this](void* sender) { filesReady += sender == &owner; };
    }
    ~LoadFilesTest() override { SetPageSettings(nullptr); }

    void Load(const std::vector<std::string>& names) { loader.LoadFiles(ListOf(names), 0); }
    std::vector<std::string> Pages() const {
        std::vector<std::string> r;
        for (int i = 0; i < loader.FileNames()->GetPageCount(); ++i) r.push_back(loader.FileNames()->GetPageName(i));
        return r;
    }
    Served Serve(int n) {
        Served s;
        loader.OnStreamReady = Recorder(s);
        loader.LoadPage(n);
        return s;
    }
    // Pages p00.bmp, p01.bmp, ... holding "page0", "page1", ...
    std::vector<std::string> WritePages(int n) {
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i) names.push_back(dir.Write((i < 10 ? "p0" : "p") + std::to_string(i) + ".bmp", "page" + std::to_string(i)));
        return names;
    }
    std::string Kept() const {  // which pages hold a copy in memory
        std::string r;
        for (int i = 0; i < loader.FileNames()->GetPageCount(); ++i) r += loader.FileNames()->GetPageData(i) ? 'x' : '.';
        return r;
    }

    int owner = 0;
    test::FakeUi ui;
    test::TempDir dir;
    TSettings settings{};
    TLoadFiles loader;
    test::FakeArchiveSource* archive = nullptr;
    int filesReady = 0;
};

TEST_F(LoadFilesTest, LooseFilesArchivesInfoAndChecksumFilesMakeOneSortedList) {
    const std::string a = dir.Write("a.jpg", "x"), notes = dir.Write("notes.txt", "x"), sfv = dir.Write("set.sfv", ";\r\n");
    const std::string cbz = dir.Write("b.cbz", "x"), doc = dir.Write("x.doc", "x");
    std::filesystem::create_directories(dir.File("sub.jpg"));
    archive->archives[cbz] = {{"02.jpg", "two"}, {"01.jpg", "one"}, {"readme.doc", "x"}};
    Load({a, dir.File("missing.jpg"), dir.File("sub.jpg"), doc, notes, sfv, cbz});
    EXPECT_EQ(filesReady, 1);
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(loader.OpenedFiles().Items(), (std::vector<std::string>{a, notes, sfv, cbz}));
    EXPECT_EQ(loader.BaseDirectory(), dir.Path());
    EXPECT_EQ(Pages(), (std::vector<std::string>{a, "01.jpg", "02.jpg"}));
    EXPECT_EQ(loader.FileNames()->GetPageArchive(1), cbz);
    EXPECT_EQ(loader.FileNames()->GetInfoCount() * 10 + loader.FileNames()->GetCheckSumCount(), 11);
    EXPECT_EQ(loader.State(), lsIdle);
}

TEST_F(LoadFilesTest, NothingToShowGivesTheMessageAndNoFilesReady) {
    const std::string notes = dir.Write("notes.txt", "x"), cbz = dir.Write("empty.cbz", "");
    archive->archives[cbz] = {};
    Load({dir.Path(), notes, cbz});
    EXPECT_EQ(filesReady, 0);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, "There are no image files to display");
    EXPECT_EQ(ui.shown[0].text, ListOf({notes, cbz}).CommaText());
    EXPECT_EQ(ui.shown[0].buttons, mbOK);
    Load({dir.Path()});  // a directory alone: nothing opened
    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[1].text, "");
    loader.SetArchiveSource(nullptr);  // archives cannot be read at all
    Load({cbz});
    EXPECT_EQ(filesReady, 0);
    EXPECT_EQ(ui.shown.size(), 3u);
}

TEST_F(LoadFilesTest, ArchivesThatYieldNothingAreSkippedWithoutNesting) {
    const std::string bad = dir.Write("bad.zip", "x"), empty = dir.Write("empty.cbt", "x"), good = dir.Write("good.cbr", "x");
    const std::string page = dir.Write("z.bmp", "x");
    archive->archives[empty] = {};
    archive->archives[good] = {{"p.jpg", "x"}};
    Load({bad, empty, good, page});  // bad.zip is unknown to the source: unreadable
    EXPECT_EQ(Pages(), (std::vector<std::string>{"p.jpg", page}));
    EXPECT_EQ(archive->opens, 3);
    archive->throwOnOpen = true;
    Load({good, page});
    EXPECT_EQ(Pages(), (std::vector<std::string>{page}));
    EXPECT_FALSE(loader.Busy());
    EXPECT_EQ(filesReady, 2);
    archive->throwOnOpen = false;
    std::vector<std::string> many(20000, empty);
    many.push_back(page);
    Load(many);
    EXPECT_EQ(Pages(), (std::vector<std::string>{page}));
}

TEST_F(LoadFilesTest, RelativeNamesBecomeAbsoluteWithoutChangingDirectory) {
    const std::string page = dir.Write("rel.bmp", "bytes");
    const std::string before = std::filesystem::current_path();
    const std::string rel = std::filesystem::relative(page).string();
    Load({rel});
    EXPECT_EQ(Pages(), std::vector<std::string>{std::filesystem::absolute(rel).lexically_normal().string()});
    EXPECT_EQ(Serve(0).bytes, "bytes");
    EXPECT_EQ(std::filesystem::current_path().string(), before);
}

TEST_F(LoadFilesTest, EveryPageRequestIsAnsweredOnceByItsOwnCallback) {
    const std::string page = dir.Write("a.bmp", "loose"), cbz = dir.Write("b.cbz", "x"), cbt = dir.Write("c.cbt", "x");
    archive->archives[cbz] = {{"1.jpg", "first"}, {"2.jpg", "second", true}};
    archive->archives[cbt] = {{"3.png", "third"}};
    Load({page, cbz, cbt});
    ASSERT_EQ(Pages(), (std::vector<std::string>{page, "1.jpg", "2.jpg", "3.png"}));
    Served s = Serve(0);
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(s.name + " " + s.bytes, page + " loose");
    // Another archive than the open one is opened first, and the answer still comes.
    ASSERT_EQ(loader.CurrentArchive(), cbt);
    s = Served{};
    loader.OnStreamReady = Recorder(s);
    EXPECT_TRUE(loader.LoadPage(1));
    EXPECT_EQ(s.bytes, "first");
    EXPECT_EQ(loader.CurrentArchive(), cbz);
    EXPECT_EQ(Serve(2).bytes, "-");  // extraction fails: answered without a stream
    EXPECT_EQ(Serve(3).bytes, "third");
    s = Serve(5);  // outside the list
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(s.bytes, "-");
    loader.LoadPage(0);  // the callback went with its request
    EXPECT_EQ(s.calls, 1);
    // Archives and files that disappear after listing: answered without a stream.
    archive->archives.clear();
    EXPECT_EQ(Serve(1).bytes, "-");
    EXPECT_EQ(loader.CurrentArchive(), "");
    std::filesystem::remove(page);
    EXPECT_EQ(Serve(0).bytes, "-");
    EXPECT_EQ(loader.State(), lsIdle);
}

TEST_F(LoadFilesTest, BusyCoversEveryCallIntoTheArchiveSide) {
    const std::string cbz = dir.Write("b.cbz", "x");
    archive->archives[cbz] = {{"1.jpg", "x"}, {"list.sfv", "1.jpg 00000000\n"}};
    int calls = 0, busy = 0;
    archive->onCall = [&] { ++calls, busy += loader.Busy(); };
    Load({cbz});
    Serve(0);
    loader.GetPreview(cbz);
    EXPECT_GE(calls, 4);
    EXPECT_EQ(calls, busy);
    EXPECT_FALSE(loader.Busy());
}

TEST_F(LoadFilesTest, ChecksumListsCheckPagesAsTheyAreRead) {
    const std::string cbz = dir.Write("b.cbz", "x");
    archive->archives[cbz] = {{"1.jpg", "page one"}, {"list.sfv", "1.jpg 12345678\r\n2.jpg 00000000\r\n"}};
    Load({cbz});
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, "File missing from checksum list");
    EXPECT_EQ(ui.shown[0].text, "2.jpg");
    EXPECT_EQ(Serve(0).bytes, "page one");  // reported, still served
    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[1].caption, "SFV file checksum error");
    Serve(0);
    EXPECT_EQ(ui.shown.size(), 2u);
    // Info files come through their own callback.
    const std::string notes = dir.Write("notes.nfo", "read me");
    Load({notes, dir.Write("a.bmp", "x")});
    Served s;
    loader.OnInfoReady = Recorder(s);
    loader.LoadInfo(0);
    loader.LoadInfo(1);  // no such info file
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(s.bytes, "read me");
}

TEST_F(LoadFilesTest, ReadAheadKeepsTheWindowInMemory) {
    settings.FileBufferSize = 8;
    Load(WritePages(20));
    int start = -1, end = -1;
    Serve(1);
    loader.PreloadWindow(start, end);
    EXPECT_EQ(std::make_pair(start, end), std::make_pair(0, 8));
    Serve(18);
    loader.PreloadWindow(start, end);
    EXPECT_EQ(std::make_pair(start, end), std::make_pair(12, 20));

    settings.FileBufferSize = 6;
    const auto names = WritePages(12);
    Load(names);
    EXPECT_EQ(Serve(0).bytes, "page0");
    EXPECT_EQ(Kept(), "x...........");  // the copy served is kept
    EXPECT_TRUE(loader.Idle());
    EXPECT_FALSE(loader.Idle()) << "nothing due until a page comes from its source again";
    EXPECT_EQ(Kept(), "xxxxxx......");
    std::filesystem::remove(names[3]);
    EXPECT_EQ(Serve(3).bytes, "page3");  // from memory: the window stays
    EXPECT_FALSE(loader.PreloadDue());
    Serve(9);  // from disk: the window moves to 6..11 and 0..5 are dropped
    EXPECT_TRUE(loader.Idle());
    EXPECT_EQ(Kept(), "......xxxxxx");
    EXPECT_EQ(loader.StreamsLoaded(), 6);

    settings.FileBufferSize = 5;  // 5 or less: nothing is kept
    Load(WritePages(3));
    Serve(0);
    EXPECT_EQ(Kept(), "...");
    EXPECT_FALSE(loader.Idle());
}

TEST_F(LoadFilesTest, AReadAheadFailureFiresNoCallback) {
    settings.FileBufferSize = 6;
    const std::string cbz = dir.Write("b.cbz", "x");
    archive->archives[cbz] = {{"1.jpg", "one"}, {"2.jpg", "two", true}, {"3.jpg", "three"}};
    Load({cbz});
    Served s = Serve(0), other;
    loader.OnStreamReady = Recorder(other);  // left installed, as by a page that has gone
    EXPECT_TRUE(loader.Idle());
    EXPECT_EQ(s.calls * 10 + other.calls, 10);
    EXPECT_EQ(Kept(), "x.x");
    EXPECT_EQ(loader.State(), lsIdle);
}

TEST_F(LoadFilesTest, CopyPageWritesTheBytesUnderTheExtensionOfTheirType) {
    const std::string png = dir.Write("in/page.png", "png bytes"), cbz = dir.Write("b.cbz", "x");
    archive->archives[cbz] = {{"m.gif", "gif bytes"}, {"n.jpeg", "jpeg bytes"}};
    Load({png, cbz});
    ASSERT_EQ(Pages(), (std::vector<std::string>{"m.gif", "n.jpeg", png}));
    dir.Write("out/page.png", "old contents");
    EXPECT_FALSE(loader.CopyPage(2, dir.File("out/page.jpg")));
    EXPECT_EQ(test::ReadFileBytes(dir.File("out/page.png")), "png bytes");
    loader.CopyPage(0, dir.File("out/page.jpg"));
    EXPECT_EQ(test::ReadFileBytes(dir.File("out/page.gif")), "gif bytes");
    loader.CopyPage(1, dir.File("out/noext"));
    EXPECT_EQ(test::ReadFileBytes(dir.File("out/noext.jpg")), "jpeg bytes");
    std::filesystem::remove(png);  // a page that cannot be read writes nothing
    loader.CopyPage(2, dir.File("out/gone.png"));
    std::vector<std::string> written;
    for (auto& e : std::filesystem::directory_iterator(dir.File("out"))) written.push_back(e.path().filename());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"noext.jpg", "page.gif", "page.png"})) << "and nothing left behind";
}

TEST_F(LoadFilesTest, PreviewServesTheAlphabeticallyFirstImage) {
    const std::string cbz = dir.Write("b.cbz", "x"), texts = dir.Write("e.cbz", "x");
    archive->archives[cbz] = {{"notes.txt", "t"}, {"b/Page2.jpg", "2"}, {"B/page1.JPG", "1"}, {"c.png", "3"}};
    archive->archives[texts] = {{"t.txt", "x"}};
    Served s;
    loader.OnPreviewReady = Recorder(s);
    loader.GetPreview(cbz);
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(s.name + " " + s.bytes, "B/page1.JPG 1");
    EXPECT_EQ(loader.State(), lsIdle);
    loader.GetPreview(cbz);  // the callback went with the request
    for (const std::string& name : {dir.Write("a.jpg", "x"), texts}) {  // no archive; no image in it
        loader.OnPreviewReady = Recorder(s);
        loader.GetPreview(name);
    }
    EXPECT_EQ(s.calls, 1);
}

TEST_F(LoadFilesTest, TidyUpForgetsListStreamsAndArchive) {
    settings.FileBufferSize = 6;
    const std::string cbz = dir.Write("b.cbz", "x");
    archive->archives[cbz] = {{"1.jpg", "one"}, {"list.md5", "00 1.jpg\n"}};
    Load({cbz});
    Serve(0);
    ASSERT_EQ(loader.StreamsLoaded(), 1);
    const int closes = archive->closes;
    loader.TidyUp();
    EXPECT_EQ(loader.FileNames()->GetPageCount() + loader.OpenedFiles().Count() + loader.StreamsLoaded(), 0);
    EXPECT_EQ(loader.CurrentArchive() + loader.BaseDirectory(), "");
    EXPECT_GT(archive->closes, closes);
    EXPECT_EQ(loader.Checksums()->EntryCount(), 0);
}

}  // namespace
}  // namespace vellicor

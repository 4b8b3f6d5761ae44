#include "pages/LoadFiles.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>

#include <unistd.h>

#include "EngineTestSupport.h"
#include "pages/Checksums.h"
#include "platform/Text.h"
#include "pages/PageList.h"
#include "pages/PageSettings.h"
#include "settings/Configuration.h"
#include "support/ChildRun.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

namespace vellicor {
namespace {

using test::ListOf;

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
    // A callback that logs "name=bytes" (no stream: "name=-") for each call.
    TLoaderStreamEvent Recorder() {
        return [this](void* sender, TStream* s, const std::string& name) {
            std::string bytes = s ? std::string(size_t(s->Size()), '\0') : "-";
            if (s) s->Seek(0, SeekOrigin::Begin), s->Read(bytes.data(), s->Size());
            served.push_back(name + "=" + bytes + (sender == &owner ? "" : " (wrong sender)"));
        };
    }
    std::string Serve(int n) {  // what one page request delivered
        served.clear();
        loader.OnStreamReady = Recorder();
        loader.LoadPage(n);
        return served.size() == 1 ? served[0].substr(served[0].find('=') + 1) : std::to_string(served.size()) + " calls";
    }
    std::vector<std::string> WritePages(int n) {  // p00.bmp, ... holding "page0", ...
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i) names.push_back(dir.Write((i < 10 ? "p0" : "p") + std::to_string(i) + ".bmp", "page" + std::to_string(i)));
        return names;
    }
    std::string Kept() const {  // which pages hold a copy in memory
        std::string r;
        for (int i = 0; i < loader.FileNames()->GetPageCount(); ++i) r += loader.FileNames()->GetPageData(i) ? 'x' : '.';
        return r;
    }

    int owner = 0, filesReady = 0;
    test::FakeUi ui;
    test::TempDir dir;
    TSettings settings{};
    TLoadFiles loader;
    test::FakeArchiveSource* archive = nullptr;
    std::vector<std::string> served;
};

int g_readPasses = 0;
bool g_busyInPass = true;
TLoadFiles* g_reading = nullptr;
void StopAtSecondReadPass() {
    g_busyInPass = g_busyInPass && g_reading && g_reading->Busy();
    if (++g_readPasses == 2) RequestStop();
}

// A large loose page is read in pieces with the loader busy and the window's messages let
// through; the program's end stops the read, and the page gets no stream.
TEST_F(LoadFilesTest, ALargeLooseFileIsReadInPiecesAndStopsWhenTheProgramEnds) {
    const std::string big(size_t(36) << 20, 'b');
    Load({dir.Write("big.bmp", big)});
    ASSERT_EQ(Pages().size(), 1u);
    g_reading = &loader;
    g_readPasses = 0;
    ui.onProcessMessages = StopAtSecondReadPass;
    EXPECT_EQ(Serve(0), "-");
    EXPECT_EQ(g_readPasses, 2) << "no read after the pass that stopped it";
    EXPECT_TRUE(g_busyInPass) << "no job starts while the file is read";
    RequestStop(false);
    g_readPasses = 0;
    ui.onProcessMessages = [] { ++g_readPasses; };
    EXPECT_EQ(Serve(0), big);
    EXPECT_EQ(g_readPasses, 4) << "between 8 MB pieces";
    ui.onProcessMessages = nullptr;
    g_reading = nullptr;
}


// The stream of a loose page grows a piece at a time: at the first pass only the first piece
// is in memory, not the whole file cleared beforehand. A file that turns out shorter than it
// was (cut while it is read) gives what was read, never bytes it did not hold.
TEST_F(LoadFilesTest, ALooseFileGrowsAPieceAtATimeAndACutFileGivesWhatWasRead) {
    const std::string big(size_t(64) << 20, 'b');
    const std::string name = dir.Write("big.bmp", big);
    Load({name});
    static long before = 0, grown = -1;
    before = test::ResidentMB(), grown = -1;
    ui.onProcessMessages = [] {
        grown = test::ResidentMB() - before;
        RequestStop();
    };
    EXPECT_EQ(Serve(0), "-");
    RequestStop(false);
    EXPECT_GE(grown, 0);
    EXPECT_LT(grown, 32) << "MB resident beyond the first piece at the first pass";
    static std::string cut;
    cut = name;
    ui.onProcessMessages = [] { ASSERT_EQ(::truncate(cut.c_str(), 10 << 20), 0); };
    const std::string got = Serve(0);
    EXPECT_TRUE(got == std::string(size_t(10) << 20, 'b')) << got.size() << " bytes: " << got.substr(0, 20);
    ui.onProcessMessages = nullptr;
}

// A loose file larger than the page budget (a JPEG head followed by 1.5 GB of zeros, sparse
// on disk) is refused by name before any of it is read, as a member stated that large is:
// its page is the error page, and it is said once, whether the page is asked for again, read
// ahead or copied, until the set is opened again.
TEST_F(LoadFilesTest, ALooseFileLargerThanThePageBudgetIsRefusedByNameUnread) {
    settings.FileBufferSize = 6;
    const std::string big = dir.Write("big.jpg", "\xFF\xD8\xFF\xE0");
    ASSERT_EQ(::truncate(big.c_str(), int64_t(1536) << 20), 0);
    Load({big, dir.Write("small.jpg", "page")});
    ASSERT_EQ(Pages().size(), 2u);
    if (test::kPeakMemoryMeasured) {
        const test::ChildRun run = test::InChild([this] { return Serve(0) == "-" && ui.shown.size() == 1 ? 0 : 1; });
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_LT(run.grewMB, 64) << "the file was read";
    }
    EXPECT_EQ(Serve(0), "-");
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, big);
    EXPECT_EQ(ui.shown[0].text, "big.jpg is not shown: it is 1536 MB, more than the 256 MB a page may take.");
    EXPECT_EQ(Serve(1), "page");
    loader.Idle();
    EXPECT_EQ(Serve(0), "-");
    EXPECT_FALSE(loader.CopyPage(0, dir.File("copy")));
    EXPECT_FALSE(loader.CopyWritten());
    EXPECT_EQ(ui.shown.size(), 1u) << "said once";
    Load({big});
    EXPECT_EQ(Serve(0), "-");
    EXPECT_EQ(ui.shown.size(), 2u) << "said again for a new opening";
}

TEST_F(LoadFilesTest, LooseFilesArchivesInfoAndChecksumFilesMakeOneSortedList) {
    const std::string a = dir.Write("a.jpg", "x"), notes = dir.Write("notes.txt", "x"), sfv = dir.Write("set.sfv", "a.jpg 00000000\r\n");
    const std::string cbz = dir.Write("b.cbz", "x"), doc = dir.Write("x.doc", "x");
    std::filesystem::create_directories(dir.File("sub.jpg"));
    archive->archives[cbz] = {{"02.jpg", "two"}, {"01.jpg", "one"}, {"readme.doc", "x"}};
    Load({a, dir.File("missing.jpg"), dir.File("sub.jpg"), doc, notes, sfv, cbz});  // missing, a directory, no kind
    EXPECT_TRUE(filesReady == 1 && ui.shown.empty() && loader.State() == lsIdle);
    EXPECT_EQ(loader.OpenedFiles().Items(), (std::vector<std::string>{a, notes, sfv, cbz}));
    EXPECT_EQ(loader.BaseDirectory(), dir.Path());
    EXPECT_EQ(Pages(), (std::vector<std::string>{a, "01.jpg", "02.jpg"}));
    EXPECT_EQ(loader.FileNames()->GetPageArchive(1), cbz);
    EXPECT_EQ(loader.FileNames()->GetInfoCount() * 10 + loader.FileNames()->GetCheckSumCount(), 11);
    EXPECT_EQ(Serve(0), "x");
    EXPECT_EQ(ui.shown.at(0).caption, "SFV file checksum error") << "the loose list was read";
    // Relative names become absolute; the working directory is never changed.
    const std::string before = std::filesystem::current_path(), rel = std::filesystem::relative(a).string();
    Load({rel});
    EXPECT_EQ(Pages(), std::vector<std::string>{std::filesystem::absolute(rel).lexically_normal().string()});
    EXPECT_EQ(Serve(0), "x");
    EXPECT_EQ(std::filesystem::current_path().string(), before);
}

// What the archiver of macOS puts beside each member ("__MACOSX/._p1.jpg", "._p1.jpg") is
// neither a page, an info file nor a checksum list, in an archive or loose, even named
// alone; names that merely hold "._" or "__MACOSX" stay.
TEST_F(LoadFilesTest, TheMacOSArchiversMetadataIsNoPage) {
    const std::string cbz = dir.Write("b.cbz", "x");
    archive->archives[cbz] = {{"__MACOSX/", ""},          {"__MACOSX/._p1.jpg", "m1"}, {"__MACOSX\\._p2.jpg", "m2"},
                              {"p1.jpg", "1"},           {"p2.jpg", "2"},             {"sub/._p3.jpg", "m3"},
                              {"notes.txt", "n"},        {"__MACOSX/._notes.txt", "mn"}, {"._list.sfv", "00 p1.jpg\n"},
                              {"p._4.jpg", "4"},         {"__MACOSX.jpg", "5"}};
    const std::string loose = dir.Write("a.jpg", "a"), looseMeta = dir.Write("._a.jpg", "m");
    Load({looseMeta, loose, cbz});
    EXPECT_EQ(Pages(), (std::vector<std::string>{loose, "__MACOSX.jpg", "p._4.jpg", "p1.jpg", "p2.jpg"}));
    EXPECT_EQ(loader.FileNames()->GetInfoCount(), 1);
    EXPECT_EQ(loader.FileNames()->GetCheckSumCount(), 0);
    EXPECT_EQ(loader.OpenedFiles().Items(), (std::vector<std::string>{loose, cbz}));
    EXPECT_TRUE(ui.shown.empty()) << "no checksum list was read";
    loader.OnPreviewReady = Recorder();
    loader.GetPreview(cbz);
    EXPECT_EQ(served, std::vector<std::string>{"__MACOSX.jpg=5"});
    Load({looseMeta});
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, "There are no image files to display");
}

TEST_F(LoadFilesTest, NothingToShowGivesTheMessageAndNoFilesReady) {
    const std::string notes = dir.Write("notes.txt", "x"), cbz = dir.Write("empty.cbz", "");
    archive->archives[cbz] = {};
    Load({dir.Path(), notes, cbz});
    Load({dir.Path()});  // a directory alone: nothing opened
    loader.SetArchiveSource(nullptr);  // archives cannot be read at all
    Load({cbz});
    EXPECT_EQ(filesReady, 0);
    ASSERT_EQ(ui.shown.size(), 3u);
    EXPECT_EQ(ui.shown[0].caption, "There are no image files to display");
    EXPECT_EQ(ui.shown[0].buttons, mbOK);
    // A folder named is skipped, and the box says so and how its pages are opened.
    const std::string folder = ExpandFileName(dir.Path()) + " (a folder).\nA folder's pages are opened in the open "
                                                            "dialog (L): entering the folder selects them.";
    EXPECT_EQ(ui.shown[0].text, ListOf({notes, cbz}).CommaText() + "\n\nSkipped: " + folder);
    EXPECT_EQ(ui.shown[1].text, "Skipped: " + folder);
    EXPECT_EQ(ui.shown[2].text, cbz);
}

// Names that are no file are named in the box, a few and a count, a long one cut.
TEST_F(LoadFilesTest, TheNamesSkippedAreNamedBounded) {
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i) names.push_back(dir.File("gone" + std::to_string(i) + ".jpg"));
    names[1] = dir.File(std::string(3000, 'n') + ".jpg");
    names.push_back(dir.Path());
    Load(names);
    ASSERT_EQ(ui.shown.size(), 1u);
    const std::string& text = ui.shown[0].text;
    EXPECT_EQ(text.rfind("Skipped: " + names[0] + " (not found), ", 0), 0u) << text;
    EXPECT_EQ(text.find(std::string(100, 'n')), std::string::npos) << "a long name is cut";
    EXPECT_NE(text.find("n\xE2\x80\xA6nn"), std::string::npos) << text;
    EXPECT_NE(text.find("nnn.jpg (not found), "), std::string::npos) << "its end";
    EXPECT_NE(text.find(names[4] + " (not found) and 4 more.\nA folder's pages"), std::string::npos) << text;
    EXPECT_LT(text.size(), 600u);
    // Files of no kind read here, and the macOS archiver's "._" files, are named too.
    const std::string tiff = dir.Write("scan.tif", "II*"), dot = dir.Write("._p1.jpg", "x");
    ui.shown.clear();
    Load({tiff, dot});
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "Skipped: " + tiff + " (not a page), " + dot + " (not a page).");
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
    EXPECT_TRUE(Pages() == std::vector<std::string>{page} && !loader.Busy() && filesReady == 2);
    archive->throwOnOpen = false;
    std::vector<std::string> many(20000, empty);
    many.push_back(page);
    Load(many);
    EXPECT_EQ(Pages(), (std::vector<std::string>{page}));
}

TEST_F(LoadFilesTest, EveryRequestIsAnsweredOnceByItsOwnCallback) {
    const std::string page = dir.Write("a.bmp", "loose"), cbz = dir.Write("b.cbz", "x"), cbt = dir.Write("c.cbt", "x");
    archive->archives[cbz] = {{"1.jpg", "first"}, {"2.jpg", "second", true}};
    archive->archives[cbt] = {{"3.png", "third"}, {"list.sfv", "3.png 12345678\r\n4.jpg 00000000\r\n"}};
    const std::string notes = dir.Write("notes.nfo", "read me");
    Load({page, cbz, cbt, notes});
    ASSERT_EQ(Pages(), (std::vector<std::string>{page, "1.jpg", "2.jpg", "3.png"}));
    EXPECT_EQ(ui.shown.at(0).caption + ": " + ui.shown.at(0).text, "File missing from checksum list: 4.jpg");
    EXPECT_EQ(Serve(0), "loose");
    ASSERT_EQ(loader.CurrentArchive(), cbt);
    served.clear();
    loader.OnStreamReady = Recorder();
    EXPECT_TRUE(loader.LoadPage(1)) << "another archive is opened first";
    EXPECT_EQ(served, std::vector<std::string>{"1.jpg=first"});
    EXPECT_EQ(loader.CurrentArchive(), cbz);
    EXPECT_EQ(Serve(2), "-") << "a failed extraction";
    EXPECT_EQ(Serve(3), "third") << "reported, still served";
    Serve(3);
    EXPECT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[1].caption, "SFV file checksum error");
    EXPECT_EQ(Serve(5), "-") << "outside the list";
    loader.LoadPage(0);  // the callback went with its request
    EXPECT_EQ(served.size(), 1u);
    loader.OnInfoReady = Recorder();
    loader.LoadInfo(0);
    loader.LoadInfo(1);  // no such info file
    EXPECT_EQ(served.back(), notes + "=read me");
    EXPECT_EQ(served.size(), 2u);
    archive->archives.clear();  // archives and files that disappear after listing
    std::filesystem::remove(page);
    EXPECT_EQ(Serve(1) + Serve(0), "--");
    EXPECT_TRUE(loader.CurrentArchive().empty() && loader.State() == lsIdle);
}

TEST_F(LoadFilesTest, BusyCoversEveryCallIntoTheArchiveSide) {
    const std::string cbz = dir.Write("b.cbz", "x");
    archive->archives[cbz] = {{"1.jpg", "x"}, {"list.sfv", "1.jpg 00000000\n"}};
    int calls = 0, busy = 0;
    archive->onCall = [&] { ++calls, busy += loader.Busy(); };
    Load({cbz});
    Serve(0);
    loader.GetPreview(cbz);
    EXPECT_TRUE(calls >= 4 && calls == busy && !loader.Busy());
}

TEST_F(LoadFilesTest, ReadAheadKeepsTheWindowInMemory) {
    settings.FileBufferSize = 6;
    const auto names = WritePages(12);
    Load(names);
    EXPECT_EQ(Serve(0), "page0");
    EXPECT_EQ(Kept(), "x...........") << "the copy served is kept";
    EXPECT_TRUE(loader.Idle());
    EXPECT_FALSE(loader.Idle()) << "nothing due until a page comes from its source again";
    EXPECT_EQ(Kept(), "xxxxxx......");
    std::filesystem::remove(names[3]);
    EXPECT_EQ(Serve(3), "page3") << "from memory: the window stays";
    EXPECT_FALSE(loader.PreloadDue());
    Serve(9);  // from disk: the window moves to 6..11 and 0..5 are dropped
    EXPECT_TRUE(loader.Idle());
    EXPECT_TRUE(Kept() == "......xxxxxx" && loader.StreamsLoaded() == 6);
    settings.FileBufferSize = 5;  // 5 or less: nothing is kept
    Load(WritePages(3));
    Serve(0);
    EXPECT_TRUE(Kept() == "..." && !loader.Idle());
    // A read-ahead failure fires nothing, not even a callback left installed by a page that has gone.
    settings.FileBufferSize = 6;
    const std::string cbz = dir.Write("b.cbz", "x");
    archive->archives[cbz] = {{"1.jpg", "one"}, {"2.jpg", "two", true}, {"3.jpg", "three"}};
    Load({cbz});
    Serve(0);
    loader.OnStreamReady = Recorder();
    EXPECT_TRUE(loader.Idle());
    EXPECT_TRUE(served.size() == 1 && Kept() == "x.x" && loader.State() == lsIdle);
    // A page the read-ahead could not read is not tried again, neither behind the reader's
    // back nor when it is asked for: a damaged member's message comes once.
    std::vector<test::FakeArchiveSource::Member> members;
    for (int i = 0; i < 12; ++i) members.push_back({"m" + std::to_string(10 + i) + ".jpg", "p" + std::to_string(i), i == 7});
    archive->archives[cbz] = members;
    Load({cbz});
    Serve(6);
    EXPECT_TRUE(loader.Idle());
    EXPECT_EQ(Kept(), "....xxx.xx..");
    int extracts = archive->extracts;
    Serve(10);  // from the archive: the window moves to 6..11
    EXPECT_TRUE(loader.Idle());
    EXPECT_EQ(archive->extracts, extracts + 2) << "page 10 and 11 read, page 7 not tried again";
    EXPECT_EQ(Serve(7), "-");
    EXPECT_EQ(archive->extracts, extracts + 2) << "asked for, the error page without a second read";
    EXPECT_EQ(Serve(7), "-");
    EXPECT_EQ(archive->extracts, extracts + 2);
    archive->archives[cbz][7].fails = false;
    Load({cbz});
    Serve(6);
    EXPECT_TRUE(loader.Idle());
    EXPECT_EQ(Kept(), "....xxxxxx..") << "a new opening tries every page again";
}

// A member lost to its password is read again when its page is asked for again (the answer
// may differ then), but not by the read-ahead; once read it is an ordinary page. Any other
// failure after it is still remembered.
TEST_F(LoadFilesTest, AMemberLostToItsPasswordIsTriedAgainOnlyWhenItsPageIsAskedFor) {
    settings.FileBufferSize = 6;
    loader.PreloadBudget = 1000;
    const std::string cbz = dir.Write("b.cbz", "x");
    archive->archives[cbz] = {{"1.jpg", "one"}, {"2.jpg", "two", true, -1, true}, {"3.jpg", "three", true},
                              {"4.jpg", "four", false, 1001}};
    Load({cbz});
    EXPECT_EQ(Serve(1), "-");
    int extracts = archive->extracts;
    EXPECT_EQ(Serve(1), "-");
    EXPECT_EQ(archive->extracts, extracts + 1) << "asked for again, read again";
    EXPECT_EQ(Serve(3), "-") << "refused by its size, right after a member lost to its password";
    EXPECT_EQ(Serve(3), "-");
    EXPECT_EQ(ui.shown.size(), 1u) << "said once: the refusal is remembered";
    EXPECT_EQ(Serve(0), "one");
    extracts = archive->extracts;
    EXPECT_TRUE(loader.Idle());
    EXPECT_EQ(archive->extracts, extracts + 1) << "the read-ahead tries page 2 only";
    EXPECT_EQ(Serve(2), "-");
    EXPECT_EQ(archive->extracts, extracts + 1) << "a damaged member is not read again";
    archive->archives[cbz][1].fails = false;  // the right answer
    EXPECT_EQ(Serve(1), "two");
    EXPECT_EQ(Kept(), "xx..");
}

// A member stated larger than the read-ahead budget is refused by name before any of it is
// read, by a page request, the read-ahead or a copy, and said once; at the budget it is read.
TEST_F(LoadFilesTest, AMemberLargerThanThePageBudgetIsRefusedUnread) {
    settings.FileBufferSize = 6;
    loader.PreloadBudget = 1000;
    const std::string cbz = dir.Write("b.cbz", "x");
    archive->archives[cbz] = {{"1.jpg", "one"}, {"2.jpg", "two", false, 1001}, {"3.jpg", "three", false, 1000}};
    Load({cbz});
    const int extracts = archive->extracts;
    EXPECT_EQ(Serve(1), "-");
    EXPECT_EQ(archive->extracts, extracts) << "never read";
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, cbz);
    EXPECT_EQ(ui.shown[0].text, "2.jpg is not shown: it unpacks to 1 MB, more than the 0 MB a page may take.");
    EXPECT_EQ(Serve(0), "one");
    EXPECT_TRUE(loader.Idle());
    EXPECT_EQ(Serve(1), "-");
    EXPECT_FALSE(loader.CopyPage(1, dir.File("copy")));
    EXPECT_FALSE(loader.CopyWritten());
    EXPECT_EQ(ui.shown.size(), 1u) << "said once";
    EXPECT_EQ(Serve(2), "three") << "at the budget a member is read";
    archive->archives[cbz][0].claimed = 1001;
    int previews = 0;
    loader.OnPreviewReady = [&](void*, TStream*, const std::string&) { ++previews; };
    const int before = archive->extracts;
    loader.GetPreview(cbz);
    EXPECT_EQ(previews, 0);
    EXPECT_EQ(archive->extracts, before) << "a preview neither reads it nor says so";
    EXPECT_EQ(ui.shown.size(), 1u);
    archive->archives[cbz][0].claimed = -1;
    loader.PreloadBudget = int64_t(256) << 20;
    archive->archives[cbz][1].claimed = int64_t(1) << 30;
    Load({cbz});
    ui.shown.clear();
    EXPECT_EQ(Serve(1), "-");
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "2.jpg is not shown: it unpacks to 1024 MB, more than the 256 MB a page may take.");
}

// Copies outside the window are dropped only while more copies than the window's size and
// fewer than the whole list are held.
TEST_F(LoadFilesTest, OldStreamsGoOnlyWhenMoreThanTheWindowAndFewerThanAllAreHeld) {
    settings.FileBufferSize = 6;
    Load(WritePages(12));
    Serve(0);
    Serve(9);  // from disk: two copies held, the window is 6..11
    EXPECT_TRUE(loader.Idle());
    EXPECT_EQ(Kept(), "x.....xxxxxx") << "two held, not more than six: page 0 stays";
    EXPECT_EQ(loader.StreamsLoaded(), 7);
    Serve(3);  // eight held: what lies outside 1..6 goes
    EXPECT_TRUE(loader.Idle());
    EXPECT_EQ(Kept(), ".xxxxxx.....");
    Load(WritePages(7));
    Serve(0);
    EXPECT_TRUE(loader.Idle());
    Serve(6);  // every page held: nothing goes, though page 0 lies outside 1..6
    EXPECT_EQ(loader.StreamsLoaded(), 7);
    EXPECT_FALSE(loader.Idle());
    EXPECT_EQ(Kept(), "xxxxxxx");
}

// Read-ahead holds at most its byte budget, and a hand-edited window size far beyond the
// page count neither overflows nor holds more than the pages.
TEST_F(LoadFilesTest, ReadAheadStaysWithinItsBudgetAndAnyWindowSize) {
    settings.FileBufferSize = 30;
    loader.PreloadBudget = 15;  // room for three pages of five bytes
    const auto names = WritePages(12);
    Load(names);
    EXPECT_EQ(Serve(0), "page0");
    EXPECT_TRUE(loader.Idle());
    EXPECT_EQ(Kept(), "xxx.........");
    EXPECT_EQ(loader.PreloadBytes(), 15);
    loader.PreloadBudget = 6;  // no page is larger, but three are held
    settings.FileBufferSize = 6;
    EXPECT_EQ(Serve(11), "page11") << "a page beyond what is left of the budget is served without a copy";
    EXPECT_TRUE(loader.Idle()) << "the budget spent, pages outside the window go";
    EXPECT_EQ(Kept(), "......x.....") << "and the window fills as far as the budget goes";
    EXPECT_EQ(loader.PreloadBytes(), 5);
    // The window starts two pages before the one read and ends at the last page at most.
    settings.FileBufferSize = 6;
    loader.PreloadBudget = int64_t(256) << 20;
    Load(names);
    for (auto [page, window] : {std::pair{0, "0..6"}, {3, "1..7"}, {7, "5..11"}, {8, "6..12"}, {11, "6..12"}}) {
        Serve(page);
        int start = -1, end = -1;
        loader.PreloadWindow(start, end);
        EXPECT_EQ(std::to_string(start) + ".." + std::to_string(end), window) << page;
    }
    for (int big : {INT_MAX, 1000}) {
        SCOPED_TRACE(big);
        settings.FileBufferSize = big;
        loader.PreloadBudget = int64_t(256) << 20;
        Load(names);
        Serve(5);
        EXPECT_TRUE(loader.Idle());
        EXPECT_EQ(Kept(), "xxxxxxxxxxxx");
        int start = -1, end = -1;
        loader.PreloadWindow(start, end);
        EXPECT_EQ(std::to_string(start) + ".." + std::to_string(end), "0..12");
    }
}

// Lists beside pages judge only their own folder or archive; a list too large to be real is
// refused with one message before it is unpacked; the missing-files box stays readable.
TEST_F(LoadFilesTest, ChecksumListsOfVolumesArchivesAndSizes) {
    auto sfvOf = [](const std::vector<std::pair<std::string, std::string>>& pages) {
        std::string text;
        for (auto& [name, bytes] : pages) {
            char crc[16];
            std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()))));
            text += name + " " + crc + "\r\n";
        }
        return text;
    };
    std::vector<std::string> names;
    for (const char* vol : {"vol1", "vol2"}) {
        std::vector<std::pair<std::string, std::string>> pages;
        for (const char* p : {"01.jpg", "02.jpg", "03.jpg"}) {
            pages.emplace_back(p, std::string(vol) + p);
            names.push_back(dir.Write(std::string(vol) + "/" + p, std::string(vol) + p));
        }
        names.push_back(dir.Write(std::string(vol) + "/check.sfv", sfvOf(pages)));
    }
    const std::string a = dir.Write("a.cbz", "x"), b = dir.Write("b.cbz", "x");
    archive->archives[a] = {{"p.jpg", "in a"}, {"book.sfv", sfvOf({{"p.jpg", "in a"}})}};
    archive->archives[b] = {{"p.jpg", "in b"}, {"book.sfv", sfvOf({{"p.jpg", "in b"}, {"gone.jpg", "?"}})},
                            {"huge.md5", "", false, int64_t(1) << 30}};
    names.push_back(a);
    names.push_back(b);
    Load(names);
    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[0].caption + ": " + ui.shown[0].text, "checksum file too large: huge.md5");
    EXPECT_EQ(ui.shown[1].caption + ": " + ui.shown[1].text, "File missing from checksum list: gone.jpg")
        << "a second list of the same name in another archive is read too";
    for (int i = 0; i < loader.FileNames()->GetPageCount(); ++i) Serve(i);
    EXPECT_EQ(ui.shown.size(), 2u) << "no page is judged by another folder's list";

    // A hundred thousand missing names: a few dozen named, the rest counted.
    std::string many;
    for (int i = 0; i < 100000; ++i) many += "m" + std::to_string(i) + ".jpg 00000000\n";
    ui.shown.clear();
    Load({dir.Write("many/list.sfv", many), dir.Write("many/here.jpg", "x")});
    ASSERT_EQ(ui.shown.size(), 1u);
    const std::string& text = ui.shown[0].text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 30);
    EXPECT_EQ(text.substr(0, 16), "m0.jpg,\nm1.jpg,\n");
    EXPECT_EQ(text.substr(text.rfind('\n') + 1), "and 99970 more");
}

TEST_F(LoadFilesTest, CopyPageWritesTheBytesUnderTheExtensionOfTheirType) {
    const std::string png = dir.Write("in/page.png", "png bytes"), cbz = dir.Write("b.cbz", "x");
    archive->archives[cbz] = {{"m.gif", "gif bytes"}, {"n.jpeg", "jpeg bytes"}};
    Load({png, cbz});
    ASSERT_EQ(Pages(), (std::vector<std::string>{"m.gif", "n.jpeg", png}));
    dir.Write("out/page.png", "old contents");
    EXPECT_FALSE(loader.CopyPage(2, dir.File("out/page.jpg")));
    loader.CopyPage(0, dir.File("out/page.jpg"));
    loader.CopyPage(1, dir.File("out/noext"));
    std::filesystem::remove(png);  // a page that cannot be read writes nothing
    loader.CopyPage(2, dir.File("out/gone.png"));
    std::vector<std::string> written;
    for (auto& e : std::filesystem::directory_iterator(dir.File("out")))
        written.push_back(e.path().filename().string() + "=" + test::ReadFileBytes(e.path()));
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"noext.jpg=jpeg bytes", "page.gif=gif bytes", "page.png=png bytes"}));
}

TEST_F(LoadFilesTest, PreviewServesTheAlphabeticallyFirstImage) {
    const std::string cbz = dir.Write("b.cbz", "x"), texts = dir.Write("e.cbz", "x");
    archive->archives[cbz] = {{"notes.txt", "t"}, {"b/Page2.jpg", "2"}, {"B/page1.JPG", "1"}, {"c.png", "3"}};
    archive->archives[texts] = {{"t.txt", "x"}};
    for (const std::string& name : {cbz, dir.Write("a.jpg", "x"), texts}) {  // an archive; none; one without images
        loader.OnPreviewReady = Recorder();
        loader.GetPreview(name);
    }
    loader.GetPreview(cbz);  // the callback went with the request
    EXPECT_EQ(served, std::vector<std::string>{"B/page1.JPG=1"});
    EXPECT_EQ(loader.State(), lsIdle);
    // TidyUp forgets the list, the streams, the archive and the checksum lists.
    settings.FileBufferSize = 6;
    archive->archives[cbz] = {{"1.jpg", "one"}, {"list.md5", "00 1.jpg\n"}};
    Load({cbz});
    Serve(0);
    ASSERT_EQ(loader.StreamsLoaded(), 1);
    const int closes = archive->closes;
    loader.TidyUp();
    EXPECT_EQ(loader.FileNames()->GetPageCount() + loader.OpenedFiles().Count() + loader.StreamsLoaded(), 0);
    EXPECT_EQ(loader.CurrentArchive() + loader.BaseDirectory(), "");
    EXPECT_TRUE(archive->closes > closes && loader.Checksums()->EntryCount() == 0);
}

}  // namespace
}  // namespace vellicor

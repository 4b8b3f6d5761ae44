#include "pages/PageList.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>

#include "pages/Utilsunit.h"

using namespace vellicor;

namespace {

// Counts the streams alive, so that tests see entries free theirs.
struct CountedStream : TMemoryStream {
    explicit CountedStream(int& alive) : alive_(alive) { ++alive_; }
    ~CountedStream() override { --alive_; }
    int& alive_;
};

std::vector<std::string> PageNames(const TPageList& l) {
    std::vector<std::string> out;
    for (int i = 0; i < l.GetPageCount(); ++i) out.push_back(l.GetPageName(i));
    return out;
}

}  // namespace

TEST(FileTypes, TheLowerCasedExtensionDecides) {
    // Kinds: j JPEG, p PNG, g GIF, b BMP, i info, s SFV, m MD5, r PAR, - none.
    const std::pair<const char*, char> cases[] = {
        {"a.jpg", 'j'},     {"a.JPG", 'j'},      {"C:\\scans\\Page.Jpeg", 'j'}, {"/home/r/x.jPeG", 'j'},
        {"dir\\sub/p.jpg", 'j'}, {".jpg", 'j'},  {"C:\\x\\A.PNG", 'p'},        {"b.Gif", 'g'},
        {"dir/c.BMP", 'b'}, {"READ.TXT", 'i'},   {"group.nfo", 'i'},           {"set.SFV", 's'},
        {"set.md5", 'm'},   {"set.Par", 'r'},    {"a.jpe", '-'},               {"a.jpg.bak", '-'},
        {"a", '-'},         {"", '-'},           {"jpg", '-'},                 {"a.jpgx", '-'},
        {"a. jpg", '-'},    {"a.jpg ", '-'},     {"6.tif", '-'},               {"file_id.diz", '-'},
        {"set.par2", '-'},  {"set.p01", '-'},    {"set.md5sum", '-'},
        // The last dot is followed by a separator or a drive colon: no extension at all.
        {"x.jpg\\readme", '-'}, {"x.jpg/readme", '-'}, {"C:\\pages.png\\cover", '-'}, {"D.gif:stream", '-'},
    };
    for (auto [name, kind] : cases) {
        EXPECT_EQ(IsJpegFile(name), kind == 'j') << name;
        EXPECT_EQ(IsPngFile(name), kind == 'p') << name;
        EXPECT_EQ(IsGifFile(name), kind == 'g') << name;
        EXPECT_EQ(IsBmpFile(name), kind == 'b') << name;
        EXPECT_EQ(IsImageFile(name), std::string_view("jpgb").find(kind) != std::string_view::npos) << name;
        EXPECT_EQ(IsInfoFile(name), kind == 'i') << name;
        EXPECT_EQ(IsSfvFile(name), kind == 's') << name;
        EXPECT_EQ(IsMd5File(name), kind == 'm') << name;
        EXPECT_EQ(IsParFile(name), kind == 'r') << name;
        EXPECT_EQ(IsChecksumFile(name), std::string_view("smr").find(kind) != std::string_view::npos) << name;
    }
}

TEST(FileTypes, MainClientSizeIsReadAtEachCall) {
    SetMainClientSize(800, 600);
    EXPECT_EQ(MainClientWidth() * 1000 + MainClientHeight(), 800600);
    int w = 1920, h = 1080;
    SetMainClientSizeProvider([&] { return TClientSize{w, h}; });
    EXPECT_EQ(MainClientWidth() * 10000 + MainClientHeight(), 19201080);
    w = 1280, h = 1024;  // a resized window shows at the next call
    EXPECT_EQ(MainClientWidth() * 10000 + MainClientHeight(), 12801024);
    SetMainClientSizeProvider(nullptr);  // back to the fixed size
    EXPECT_EQ(MainClientWidth(), 800);
    SetMainClientSize(1024, 768);
}

TEST(PageList, NamesGoToTheirListAndAllNamesOnce) {
    TPageList l;
    l.Add("/r/a.jpg", "");
    l.Add("set.sfv", "");
    l.Add("/r/letter.doc", "");  // of no kind: nothing changes
    l.Add("folder/", "/r/b.cbz");
    TStringList members;
    for (const char* m : {"info.nfo", "p1.png", "thumbs.db"}) members.Add(m);
    l.Add(members, "/r/one.cbz");
    l.Add(members, "/r/two.cbz");  // the same info file from two archives: two entries, one name
    EXPECT_EQ(l.GetPageCount(), 3);
    EXPECT_EQ(l.GetInfoCount(), 2);
    EXPECT_EQ(l.GetCheckSumCount(), 1);
    EXPECT_EQ(l.AllNames().Count(), 4);
    EXPECT_EQ(l.GetInfoArchive(1), "/r/two.cbz");
    EXPECT_EQ(l.GetName(l.CheckSumList(), 0), "set.sfv");
    EXPECT_EQ(l.GetPageArchive(0), "");
    EXPECT_EQ(l.GetPageData(0), nullptr);
}

TEST(PageList, ArchiveMembersSortAtTheirArchivesPlace) {
    for (const char* sep : {"\\", "/"}) {
        const std::string dir = std::string("C:") + sep + "x" + sep;
        TPageList l;
        l.Add(dir + "c.jpg", "");
        l.Add("02.jpg", dir + "a.cbz");
        l.Add(dir + "b.jpg", "");
        l.Add("01.jpg", dir + "a.cbz");
        l.Add("z.txt", "");
        l.Add("m.nfo", dir + "a.cbz");
        l.Sort();
        EXPECT_EQ(PageNames(l), (std::vector<std::string>{"01.jpg", "02.jpg", dir + "b.jpg", dir + "c.jpg"}));
        EXPECT_EQ(l.GetPageArchive(0), dir + "a.cbz");
        EXPECT_EQ(l.GetInfoName(0), "m.nfo") << "the other lists are sorted too";
    }
    // No numeric order; names equal but for case keep the order in which they came.
    TPageList l;
    for (const char* n : {"Page9.jpg", "Page10.jpg", "b.JPG", "B.jpg", "a.jpg"}) l.Add(n, "");
    l.Sort();
    EXPECT_EQ(PageNames(l), (std::vector<std::string>{"a.jpg", "b.JPG", "B.jpg", "Page10.jpg", "Page9.jpg"}));
}

TEST(PageList, ALooseNameEqualToAnArchivePathStillSortsConsistently) {
    // An archive may carry an image extension: its loose namesake goes first, then its
    // members by name, whatever the input order.
    std::vector<std::pair<std::string, std::string>> items = {
        {"/r/x.jpg", ""}, {"2.jpg", "/r/x.jpg"}, {"1.jpg", "/r/x.jpg"}, {"3.jpg", "/r/X.JPG"}, {"/r/w.jpg", ""}};
    std::mt19937 rng(3);
    for (int round = 0; round < 20; ++round) {
        std::shuffle(items.begin(), items.end(), rng);
        TPageList l;
        for (auto& [n, a] : items) l.Add(n, a);
        l.Sort();
        EXPECT_EQ(PageNames(l), (std::vector<std::string>{"/r/w.jpg", "/r/x.jpg", "1.jpg", "2.jpg", "3.jpg"}));
    }
}

TEST(PageList, EntriesOwnTheirStreamsAndBadIndicesAreHarmless) {
    int alive = 0;
    {
        TPageList l;
        l.Add("a.jpg", "");
        l.Add("b.jpg", "");
        l.Add("c.txt", "");
        for (int i : {-1, 2, 1000}) {
            EXPECT_EQ(l.GetPageName(i) + l.GetPageArchive(i), "");
            EXPECT_EQ(l.GetPageData(i), nullptr);
            l.SetPageData(i, std::make_unique<CountedStream>(alive));
        }
        TPageEntries foreign;
        l.SetData(foreign, 0, std::make_unique<CountedStream>(alive));
        EXPECT_EQ(alive, 0) << "refused and freed, not kept somewhere";
        l.SetPageData(0, std::make_unique<CountedStream>(alive));
        l.SetPageData(0, std::make_unique<CountedStream>(alive));  // the old one is freed
        EXPECT_EQ(alive, 1);
        l.SetPageData(0, nullptr);
        EXPECT_EQ(alive, 0);
        l.SetPageData(1, std::make_unique<CountedStream>(alive));
        l.SetData(l.InfoList(), 0, std::make_unique<CountedStream>(alive));
        l.Sort();  // entries move with their streams
        EXPECT_NE(l.GetPageData(1), nullptr);
        l.Clear();
        EXPECT_EQ(alive, 0);
        EXPECT_EQ(l.GetPageCount() + l.GetInfoCount() + l.GetCheckSumCount() + l.AllNames().Count(), 0);
        l.Add("d.jpg", "");
        l.SetPageData(0, std::make_unique<CountedStream>(alive));
    }
    EXPECT_EQ(alive, 0) << "the destructor frees what is left";
}

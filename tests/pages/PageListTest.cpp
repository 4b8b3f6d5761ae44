#include "pages/PageList.h"

#include <gtest/gtest.h>

#include <random>

#include "pages/Utilsunit.h"
#include "platform/Text.h"

using namespace vellicor;

namespace {

struct CountedStream : TMemoryStream {  // counts the streams alive
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
        {"a.JPG", 'j'}, {"C:\\scans\\Page.Jpeg", 'j'}, {"dir\\sub/p.jpg", 'j'}, {".jpg", 'j'}, {"C:\\x\\A.PNG", 'p'},
        {"b.Gif", 'g'}, {"dir/c.BMP", 'b'}, {"READ.TXT", 'i'}, {"group.nfo", 'i'}, {"set.SFV", 's'}, {"set.md5", 'm'},
        {"set.Par", 'r'}, {"a.jpe", '-'}, {"a.jpg.bak", '-'}, {"", '-'}, {"jpg", '-'}, {"a.jpg ", '-'}, {"file_id.diz", '-'},
        {"set.par2", '-'}, {"x.jpg\\readme", '-'}, {"x.jpg/readme", '-'}, {"D.gif:stream", '-'}};  // a dot in a directory
    for (auto [name, kind] : cases) {
        const std::string got = {IsJpegFile(name) ? 'j' : '-', IsPngFile(name) ? 'p' : '-', IsGifFile(name) ? 'g' : '-',
                                 IsBmpFile(name) ? 'b' : '-',  IsInfoFile(name) ? 'i' : '-', IsSfvFile(name) ? 's' : '-',
                                 IsMd5File(name) ? 'm' : '-',  IsParFile(name) ? 'r' : '-', IsImageFile(name) ? 'I' : '-',
                                 IsChecksumFile(name) ? 'C' : '-'};
        std::string want = "----------";
        if (const size_t at = std::string("jpgbismr").find(kind); at != std::string::npos) want[at] = kind;
        if (std::string("jpgb").find(kind) != std::string::npos) want[8] = 'I';
        if (std::string("smr").find(kind) != std::string::npos) want[9] = 'C';
        EXPECT_EQ(got, want) << name;
    }
    // The window's client size is read at each call.
    int w = 1920, h = 1080;
    SetMainClientSizeProvider([&] { return TClientSize{w, h}; });
    w = 1280, h = 1024;
    EXPECT_EQ(std::pair(MainClientWidth(), MainClientHeight()), std::pair(1280, 1024));
    SetMainClientSize(1024, 768);
    EXPECT_EQ(std::pair(MainClientWidth(), MainClientHeight()), std::pair(1024, 768));
}

TEST(PageList, NamesGoToTheirListAndSortAtTheirArchivesPlace) {
    for (const char* sep : {"\\", "/"}) {
        const std::string dir = std::string("C:") + sep + "x" + sep;
        TPageList l;
        for (const char* n : {"c.jpg", "b.jpg", "set.sfv", "letter.doc"}) l.Add(dir + n, "");  // .doc: no kind, ignored
        TStringList members;
        for (const char* m : {"02.jpg", "info.nfo", "01.jpg", "folder/"}) members.Add(m);
        l.Add(members, dir + "a.cbz");
        l.Add(members, dir + "z.cbz");  // the same info file from two archives: two entries, one name
        l.Sort();
        EXPECT_EQ(PageNames(l), (std::vector<std::string>{"01.jpg", "02.jpg", dir + "b.jpg", dir + "c.jpg", "01.jpg", "02.jpg"}));
        EXPECT_EQ(l.GetPageArchive(0) + l.GetPageArchive(2) + l.GetPageArchive(5), dir + "a.cbz" + dir + "z.cbz");
        EXPECT_EQ(l.GetInfoCount() * 100 + l.GetCheckSumCount() * 10 + l.AllNames().Count(), 200 + 10 + 6);
        EXPECT_EQ(l.GetInfoArchive(1), dir + "z.cbz");
        EXPECT_EQ(l.GetName(l.CheckSumList(), 0), dir + "set.sfv");
    }
    // No numeric order; names equal but for case keep the order in which they came.
    TPageList l;
    for (const char* n : {"Page9.jpg", "Page10.jpg", "b.JPG", "B.jpg", "a.jpg"}) l.Add(n, "");
    l.Sort();
    EXPECT_EQ(PageNames(l), (std::vector<std::string>{"a.jpg", "b.JPG", "B.jpg", "Page10.jpg", "Page9.jpg"}));
    // An archive may carry an image extension: its loose namesake goes first, then its members,
    // whatever the input order.
    std::vector<std::pair<std::string, std::string>> items = {
        {"/r/x.jpg", ""}, {"2.jpg", "/r/x.jpg"}, {"1.jpg", "/r/x.jpg"}, {"3.jpg", "/r/X.JPG"}, {"/r/w.jpg", ""}};
    std::mt19937 rng(3);
    for (int round = 0; round < 20; ++round) {
        std::shuffle(items.begin(), items.end(), rng);
        TPageList shuffled;
        for (auto& [n, a] : items) shuffled.Add(n, a);
        shuffled.Sort();
        EXPECT_EQ(PageNames(shuffled), (std::vector<std::string>{"/r/w.jpg", "/r/x.jpg", "1.jpg", "2.jpg", "3.jpg"}));
    }
}

TEST(PageList, EntriesOwnTheirStreamsAndBadIndicesAreHarmless) {
    int alive = 0;
    {
        TPageList l;
        for (const char* n : {"a.jpg", "b.jpg", "c.txt"}) l.Add(n, "");
        TPageEntries foreign;
        for (int i : {-1, 2, 1000}) {
            EXPECT_EQ(l.GetPageName(i) + l.GetPageArchive(i), "");
            EXPECT_EQ(l.GetPageData(i), nullptr);
            l.SetPageData(i, std::make_unique<CountedStream>(alive));
            l.SetData(foreign, 0, std::make_unique<CountedStream>(alive));
        }
        EXPECT_EQ(alive, 0) << "refused and freed, not kept somewhere";
        l.SetPageData(0, std::make_unique<CountedStream>(alive));
        l.SetPageData(0, std::make_unique<CountedStream>(alive));  // the old one is freed
        EXPECT_EQ(alive, 1);
        l.SetPageData(0, nullptr);
        l.SetPageData(1, std::make_unique<CountedStream>(alive));
        l.SetData(l.InfoList(), 0, std::make_unique<CountedStream>(alive));
        l.Sort();  // entries move with their streams
        EXPECT_TRUE(alive == 2 && l.GetPageData(1));
        l.Clear();
        EXPECT_EQ(alive + l.GetPageCount() + l.GetInfoCount() + l.GetCheckSumCount() + l.AllNames().Count(), 0);
        l.Add("d.jpg", "");
        l.SetPageData(0, std::make_unique<CountedStream>(alive));
    }
    EXPECT_EQ(alive, 0) << "the destructor frees what is left";
}

// Accented capitals fold like ASCII ones (UTF-8 names): "Étude" and "étude" are one key, and
// a broken sequence neither matches a letter nor reads past the name's end.
TEST(PageList, NonAsciiNamesSortWithoutCase) {
    TPageList l;
    for (const char* n : {"\xC3\xA9tude.jpg", "Zebra.jpg", "\xC3\x84rger.jpg", "apple.jpg", "\xC3\x89tude.jpg",
                          "\xC3\xA4rger.jpg", "\xD0\x9C\xD0\xB8\xD1\x80.jpg", "\xD0\xBC\xD0\xB8\xD1\x80.jpg", "\xC3.jpg"})
        l.Add(n, "");
    l.Sort();
    EXPECT_EQ(PageNames(l), (std::vector<std::string>{"apple.jpg", "Zebra.jpg", "\xC3\x84rger.jpg", "\xC3\xA4rger.jpg",
                                                      "\xC3\xA9tude.jpg", "\xC3\x89tude.jpg", "\xD0\x9C\xD0\xB8\xD1\x80.jpg",
                                                      "\xD0\xBC\xD0\xB8\xD1\x80.jpg", "\xC3.jpg"}))
        << "equal keys keep the order they were added in";
    const struct {
        const char *a, *b;
        int compare;
    } pairs[] = {
        {"\xC3\x89TUDE", "\xC3\xA9tude", 0}, {"\xC5\x92", "\xC5\x93", 0}, {"\xC5\xB8", "\xC3\xBF", 0},  // Œ œ, Ÿ ÿ
        {"\xCE\xA9", "\xCF\x89", 0}, {"\xD0\x81", "\xD1\x91", 0},                                       // Ω ω, Ё ё
        {"\xC3\x97", "\xC3\xB7", -1},  // × and ÷ are no letters
        {"e", "\xC3\xA9", -1}, {"\xC3", "\xC3\xA9", 1}, {"ab", "AB\xC3", -1},
    };
    for (const auto& p : pairs) {
        SCOPED_TRACE(std::string(p.a) + " " + p.b);
        EXPECT_EQ(AnsiCompareText(p.a, p.b), p.compare);
        EXPECT_EQ(-AnsiCompareText(p.b, p.a), p.compare);
        EXPECT_EQ(SameText(p.a, p.b), p.compare == 0);
        if (p.compare == 0) {
            EXPECT_EQ(LowerCase(p.a), LowerCase(p.b));
        }
    }
    EXPECT_EQ(LowerCase("\xC3\x89TUDE \xD0\x9C\xD0\x98\xD0\xA0 \xC3"), "\xC3\xA9tude \xD0\xBC\xD0\xB8\xD1\x80 \xC3");
}

#include <gtest/gtest.h>

#include <random>

#include "pages/PageList.h"

using namespace vellicor;

namespace {

// Counts how many streams are alive, so tests can see that entries free theirs.
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

TEST(PageList, AddSortsNamesIntoTheirList) {
    TPageList l;
    l.Add("/r/a.jpg", "");
    l.Add("notes.TXT", "/r/b.cbz");
    l.Add("set.sfv", "");
    l.Add("/r/letter.doc", "");
    l.Add("folder/", "/r/b.cbz");
    EXPECT_EQ(l.GetPageCount(), 1);
    EXPECT_EQ(l.GetInfoCount(), 1);
    EXPECT_EQ(l.GetCheckSumCount(), 1);
    EXPECT_EQ(l.AllNames().Count(), 3);
    EXPECT_EQ(l.GetInfoName(0), "notes.TXT");
    EXPECT_EQ(l.GetInfoArchive(0), "/r/b.cbz");
    EXPECT_EQ(l.GetName(l.CheckSumList(), 0), "set.sfv");
    EXPECT_EQ(l.GetPageArchive(0), "");
    EXPECT_EQ(l.GetPageData(0), nullptr);
}

TEST(PageList, SameInfoNameFromTwoArchivesIsOneName) {
    TPageList l;
    TStringList members;
    members.Add("info.nfo");
    members.Add("p1.png");
    members.Add("thumbs.db");
    l.Add(members, "/r/one.cbz");
    l.Add(members, "/r/two.cbz");
    EXPECT_EQ(l.GetInfoCount(), 2);
    EXPECT_EQ(l.GetPageCount(), 2);
    EXPECT_EQ(l.AllNames().Count(), 2);
    EXPECT_EQ(l.GetInfoArchive(1), "/r/two.cbz");
}

TEST(PageList, ArchiveMembersSortAtTheirArchivesPlace) {
    for (const char* sep : {"\\", "/"}) {
        const std::string dir = std::string("C:") + sep + "x" + sep;
        TPageList l;
        l.Add(dir + "c.jpg", "");
        l.Add("02.jpg", dir + "a.cbz");
        l.Add(dir + "b.jpg", "");
        l.Add("01.jpg", dir + "a.cbz");
        l.Sort();
        EXPECT_EQ(PageNames(l), (std::vector<std::string>{"01.jpg", "02.jpg", dir + "b.jpg", dir + "c.jpg"}));
        EXPECT_EQ(l.GetPageArchive(0), dir + "a.cbz");
        EXPECT_EQ(l.GetPageArchive(2), "");
    }
}

TEST(PageList, TextOrderWithoutNumbersAndCaseBlind) {
    TPageList l;
    l.Add("Page9.jpg", "");
    l.Add("Page10.jpg", "");
    l.Add("b.JPG", "");
    l.Add("B.jpg", "");
    l.Add("a.jpg", "");
    l.Sort();
    // Names equal but for case keep the order in which they were added.
    EXPECT_EQ(PageNames(l), (std::vector<std::string>{"a.jpg", "b.JPG", "B.jpg", "Page10.jpg", "Page9.jpg"}));
}

TEST(PageList, SortsInfoAndChecksumListsToo) {
    TPageList l;
    l.Add("z.txt", "");
    l.Add("m.nfo", "/r/a.cbz");
    l.Add("z.md5", "");
    l.Add("a.sfv", "");
    l.Sort();
    EXPECT_EQ(l.GetInfoName(0), "m.nfo");
    EXPECT_EQ(l.GetName(l.CheckSumList(), 0), "a.sfv");
}

TEST(PageList, LooseNameEqualToAnArchivePathStaysConsistent) {
    // An archive may carry an image extension; its loose namesake goes first, then its
    // members by name, and the outcome does not depend on the input order.
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

TEST(PageList, OutOfRangeIndicesAreHarmless) {
    TPageList l;
    l.Add("a.jpg", "");
    int alive = 0;
    for (int i : {-1, 1, 1000}) {
        EXPECT_EQ(l.GetPageName(i), "");
        EXPECT_EQ(l.GetPageArchive(i), "");
        EXPECT_EQ(l.GetPageData(i), nullptr);
        l.SetPageData(i, std::make_unique<CountedStream>(alive));
        EXPECT_EQ(alive, 0);  // refused and freed, not kept somewhere
    }
    TPageEntries foreign;
    l.SetData(foreign, 0, std::make_unique<CountedStream>(alive));
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(l.GetPageData(0), nullptr);
}

TEST(PageList, EntriesOwnTheirStreams) {
    int alive = 0;
    {
        TPageList l;
        l.Add("a.jpg", "");
        l.Add("b.jpg", "");
        l.Add("c.txt", "");
        l.SetPageData(0, std::make_unique<CountedStream>(alive));
        TStream* first = l.GetPageData(0);
        ASSERT_NE(first, nullptr);
        l.SetPageData(0, std::make_unique<CountedStream>(alive));  // the old one is freed
        EXPECT_EQ(alive, 1);
        EXPECT_NE(l.GetPageData(0), nullptr);
        l.SetPageData(0, nullptr);
        EXPECT_EQ(alive, 0);

        l.SetPageData(1, std::make_unique<CountedStream>(alive));
        l.SetData(l.InfoList(), 0, std::make_unique<CountedStream>(alive));
        EXPECT_EQ(alive, 2);
        l.Sort();  // entries move with their streams
        EXPECT_NE(l.GetPageData(1), nullptr);
        l.Clear();
        EXPECT_EQ(alive, 0);
        EXPECT_EQ(l.GetPageCount() + l.GetInfoCount() + l.GetCheckSumCount() + l.AllNames().Count(), 0);

        l.Add("d.jpg", "");
        l.SetPageData(0, std::make_unique<CountedStream>(alive));
    }
    EXPECT_EQ(alive, 0);  // the destructor frees what is left
}

// The current page set and the twelve bookmark slots.
#include "SettingsFixture.h"
#include "platform/Text.h"

namespace vellicor::test {
namespace {

TStringList Files(std::initializer_list<const char*> names) {
    TStringList l;
    for (const char* n : names) l.Add(n);
    return l;
}

TStringList Numbered(const std::string& prefix, int count) {
    TStringList l;
    for (int i = 0; i < count; ++i) l.Add(prefix + "/page" + IntToStr(i) + ".jpg");
    return l;
}

std::vector<std::string> Items(const TStringList& l) { return l.Items(); }

class BookmarksTest : public SettingsTest {
protected:
    // Fills the current set and stores it as a bookmark in a given slot.
    static void Bookmark(TConfigureForm& form, int slot, const std::string& first, int32_t page) {
        form.SetLastPages(Files({first.c_str(), "/other/file.jpg"}));
        form.SetLastPage(page);
        form.SetBookmark(slot);
    }
    static std::string First(TConfigureForm& form, int slot, int32_t* page = nullptr) {
        int32_t p = -1;
        TStringList files;
        if (!form.GetSubKeys(TConfigureForm::BookmarkName(slot), p, files)) return "";
        if (page) *page = p;
        return files[0];
    }
};

TEST_F(BookmarksTest, SlotNames) {
    EXPECT_EQ(TConfigureForm::BookmarkName(0), "RecentPages0000");
    EXPECT_EQ(TConfigureForm::BookmarkName(10), "RecentPages000A");
    EXPECT_EQ(TConfigureForm::BookmarkName(11), "RecentPages000B");
}

TEST_F(BookmarksTest, CurrentSetIsStoredAndReloaded) {
    const bool persists = StorePersists();
    const TStringList files = Numbered("/books/vol1", 20);
    {
        TConfigureForm form;
        form.SetLastPage(7);
        form.SetLastPages(files);
        EXPECT_EQ(Items(form.LastFiles), Items(files));
        EXPECT_EQ(StoredInt("RecentPages"), 7);
        EXPECT_EQ(StoredString("0000", "RecentPages"), "/books/vol1/page0.jpg");
        EXPECT_EQ(StoredString("000F", "RecentPages"), "/books/vol1/page15.jpg");
        EXPECT_EQ(StoredString("0013", "RecentPages"), "/books/vol1/page19.jpg");
        // A shorter list replaces the longer one completely.
        form.SetLastPages(Files({"/books/vol2.cbz"}));
        EXPECT_EQ(ValueNames("RecentPages"), std::vector<std::string>{"0000"});
        form.SetLastPages(files);
        // The page is written on destruction, the list is not.
        form.SetLastPage(19);
        form.LastFiles.Clear();
    }
    EXPECT_EQ(StoredInt("RecentPages"), 19);
    if (!persists) GTEST_SKIP() << "the store does not keep a file yet";
    ResetRegistryStore();
    TConfigureForm form;
    EXPECT_EQ(form.LastPage, 19);
    EXPECT_EQ(Items(form.LastFiles), Items(files));  // 000F before 0010
}

TEST_F(BookmarksTest, SetLastPagesWithItsOwnList) {
    TConfigureForm form;
    form.SetLastPages(Files({"/a.zip", "/b.zip"}));
    form.SetLastPages(form.LastFiles);
    EXPECT_EQ(Items(form.LastFiles), (std::vector<std::string>{"/a.zip", "/b.zip"}));
    EXPECT_EQ(ValueNames("RecentPages").size(), 2u);
}

TEST_F(BookmarksTest, ReadingTrimsSortsAndSkipsBadValues) {
    // Written by hand: out of order, beyond FFFF, blanks and control characters, a number.
    StoreString("10000", "/last", "RecentPages");
    StoreString("0002", " \t/third.cbr\r\n", "RecentPages");
    StoreString("FFFF", "/fourth", "RecentPages");
    StoreString("0000", "/first", "RecentPages");
    StoreInt("0001", 5, "RecentPages");
    StoreString("000a", "/lower-case name", "RecentPages");
    StoreInt("RecentPages", 3);

    TConfigureForm form;
    EXPECT_EQ(Items(form.LastFiles),
              (std::vector<std::string>{"/first", "/third.cbr", "/lower-case name", "/fourth", "/last"}));
    EXPECT_EQ(form.LastPage, 3);
    ASSERT_EQ(ui_.shown.size(), 1u);
    EXPECT_EQ(ui_.shown[0].caption, "Invalid data type for '0001'");
}

TEST_F(BookmarksTest, MissingOrBadPageReadsAsZero) {
    StoreString("0000", "/x.cbz", "RecentPages");
    {
        TConfigureForm form;
        EXPECT_EQ(form.LastPage, 0);
        EXPECT_EQ(form.LastFiles.Count(), 1);
    }
    StoreString("RecentPages", "five");
    TConfigureForm form;
    EXPECT_EQ(form.LastPage, 0);
    EXPECT_EQ(form.LastFiles.Count(), 1);
    EXPECT_EQ(ui_.shown.size(), 1u);
}

TEST_F(BookmarksTest, NewBookmarkFillsTheFirstFreeSlotByShifting) {
    TConfigureForm form;
    Bookmark(form, 0, "/s0", 0);
    Bookmark(form, 1, "/s1", 1);
    Bookmark(form, 2, "/s2", 2);
    Bookmark(form, 6, "/s6", 6);  // present beyond the gap: must not move
    form.SetLastPages(Files({"/new/book.cbz"}));
    form.SetLastPage(41);
    form.SetBookmark(-1);

    int32_t page = -1;
    EXPECT_EQ(First(form, 0, &page), "/new/book.cbz");
    EXPECT_EQ(page, 41);
    EXPECT_EQ(First(form, 1, &page), "/s0");
    EXPECT_EQ(page, 0);
    EXPECT_EQ(First(form, 2, &page), "/s1");
    EXPECT_EQ(page, 1);
    EXPECT_EQ(First(form, 3, &page), "/s2");
    EXPECT_EQ(page, 2);
    EXPECT_EQ(First(form, 4), "");
    EXPECT_EQ(First(form, 6, &page), "/s6");
    EXPECT_EQ(page, 6);
    EXPECT_EQ(StoredInt("RecentPages"), 41);
    // Every moved set keeps its whole list.
    int32_t p = 0;
    TStringList files;
    ASSERT_TRUE(form.GetSubKeys(TConfigureForm::BookmarkName(3), p, files));
    EXPECT_EQ(Items(files), (std::vector<std::string>{"/s2", "/other/file.jpg"}));
}

TEST_F(BookmarksTest, FullSlotsDropTheOldest) {
    TConfigureForm form;
    for (int i = 0; i < 12; ++i) Bookmark(form, i, "/slot" + IntToStr(i), 100 + i);
    form.SetLastPages(Numbered("/newest", 30));
    form.SetLastPage(5);
    form.SetBookmark(-1);
    int32_t page = 0;
    EXPECT_EQ(First(form, 0, &page), "/newest/page0.jpg");
    EXPECT_EQ(page, 5);
    for (int i = 1; i < 12; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(First(form, i, &page), "/slot" + IntToStr(i - 1));
        EXPECT_EQ(page, 100 + i - 1);
    }
    EXPECT_EQ(ValueNames(TConfigureForm::BookmarkName(0)).size(), 30u);
    EXPECT_EQ(ValueNames(TConfigureForm::BookmarkName(1)).size(), 2u);
    // No thirteenth slot appears.
    EXPECT_FALSE(form.AreSubKeysPresent("RecentPages000C"));
}

TEST_F(BookmarksTest, OverwritingASlotInPlace) {
    TConfigureForm form;
    for (int i = 0; i < 7; ++i) Bookmark(form, i, "/slot" + IntToStr(i), i);
    form.SetLastPages(Numbered("/replacement", 1));
    form.SetLastPage(9);
    form.SetBookmark(5);
    int32_t page = 0;
    EXPECT_EQ(First(form, 5, &page), "/replacement/page0.jpg");
    EXPECT_EQ(page, 9);
    EXPECT_EQ(ValueNames(TConfigureForm::BookmarkName(5)).size(), 1u);  // old second name gone
    for (int i : {0, 1, 2, 3, 4, 6}) EXPECT_EQ(First(form, i), "/slot" + IntToStr(i));
    // Slots outside 0 to 11 are refused.
    const auto before = ValueNames();
    form.SetBookmark(12);
    form.SetBookmark(-2);
    EXPECT_EQ(ValueNames(), before);
    EXPECT_FALSE(form.AreSubKeysPresent("RecentPages000C"));
}

TEST_F(BookmarksTest, EmptyListIsNoBookmark) {
    TConfigureForm form;
    form.SetLastPages(TStringList{});
    form.SetLastPage(3);
    form.SetBookmark(-1);
    EXPECT_FALSE(form.AreSubKeysPresent(TConfigureForm::BookmarkName(0)));
    TStringList items;
    form.ListBookmarks(items);
    EXPECT_EQ(items[0], "");
    // The empty slot is the first free one next time: nothing moves.
    Bookmark(form, -1, "/real.cbz", 0);
    EXPECT_EQ(First(form, 0), "/real.cbz");
    EXPECT_EQ(First(form, 1), "");
}

TEST_F(BookmarksTest, ListingShowsBareNameAndPage) {
    TConfigureForm form;
    Bookmark(form, 0, "/home/u/comics/Issue 12.zip", 4);
    Bookmark(form, 2, "/home/u/a\\b:c.cbz", 0);        // '\' and ':' belong to the name
    Bookmark(form, 3, "plain.cbr", 2147483647);          // no overflow in page + 1
    Bookmark(form, 4, "/dir/", 1);
    TStringList items;
    items.SetSorted(true);
    items.Add("stale");
    form.ListBookmarks(items);
    ASSERT_EQ(items.Count(), 12);
    EXPECT_FALSE(items.Sorted());
    EXPECT_EQ(items[0], "Issue 12.zip - #5");
    EXPECT_EQ(items[1], "");
    EXPECT_EQ(items[2], "a\\b:c.cbz - #1");
    EXPECT_EQ(items[3], "plain.cbr - #2147483648");
    EXPECT_EQ(items[4], " - #2");
    for (int i = 5; i < 12; ++i) EXPECT_EQ(items[i], "");
}

TEST_F(BookmarksTest, RetrieveMakesTheBookmarkCurrent) {
    TConfigureForm form;
    form.SetLastPages(Numbered("/b", 3));
    form.SetLastPage(2);
    form.SetBookmark(-1);
    form.SetLastPages(Files({"/now/reading.cbz"}));
    form.SetLastPage(8);

    // Out of range and empty slots change nothing.
    for (int slot : {-1, 12, 1, 11}) {
        form.RetrieveBookmark(slot);
        EXPECT_EQ(Items(form.LastFiles), std::vector<std::string>{"/now/reading.cbz"});
        EXPECT_EQ(form.LastPage, 8);
    }
    EXPECT_EQ(StoredString("0000", "RecentPages"), "/now/reading.cbz");

    form.RetrieveBookmark(0);
    EXPECT_EQ(Items(form.LastFiles), Items(Numbered("/b", 3)));
    EXPECT_EQ(form.LastPage, 2);
    EXPECT_EQ(StoredInt("RecentPages"), 2);
    EXPECT_EQ(ValueNames("RecentPages").size(), 3u);
    EXPECT_EQ(First(form, 0), "/b/page0.jpg");  // the bookmark stays
}

TEST_F(BookmarksTest, ManyNamesPerSet) {
    TConfigureForm form;
    const TStringList many = Numbered("/big", 300);
    form.SetLastPages(many);
    form.SetBookmark(-1);
    form.SetBookmark(-1);
    int32_t page = 0;
    TStringList back;
    ASSERT_TRUE(form.GetSubKeys(TConfigureForm::BookmarkName(1), page, back));
    EXPECT_EQ(Items(back), Items(many));
    EXPECT_EQ(StoredString("012B", TConfigureForm::BookmarkName(1)), "/big/page299.jpg");
}

TEST_F(BookmarksTest, DeleteKeepsThePageValue) {
    TConfigureForm form;
    Bookmark(form, 3, "/x", 6);
    const std::string name = TConfigureForm::BookmarkName(3);
    ASSERT_TRUE(form.AreSubKeysPresent(name));
    form.DeleteSubKeys(name);
    EXPECT_FALSE(form.AreSubKeysPresent(name));
    EXPECT_EQ(StoredInt(name), 6);
    int32_t page = -1;
    TStringList files = Files({"left over"});
    EXPECT_FALSE(form.GetSubKeys(name, page, files));
    EXPECT_EQ(page, 6);
    EXPECT_EQ(files.Count(), 0);
    form.DeleteSubKeys("NeverThere");  // harmless
}

TEST_F(BookmarksTest, SubKeyHoldingOnlyBadValuesIsFree) {
    StoreInt("0000", 1, "RecentPages0000");
    TConfigureForm form;
    EXPECT_FALSE(form.AreSubKeysPresent("RecentPages0000"));
    Bookmark(form, -1, "/fresh", 0);
    EXPECT_EQ(First(form, 0), "/fresh");
    EXPECT_EQ(First(form, 1), "");
    EXPECT_EQ(StoredString("0000", "RecentPages0000"), "/fresh");
}

}  // namespace
}  // namespace vellicor::test

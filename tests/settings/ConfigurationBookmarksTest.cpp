// The current page set and the twelve bookmark slots.
#include <map>

#include "SettingsFixture.h"
#include "platform/Text.h"

namespace vellicor::test {
namespace {

using Names = std::vector<std::string>;

TStringList Files(const Names& names) {
    TStringList l;
    for (const auto& n : names) l.Add(n);
    return l;
}

Names Numbered(const std::string& prefix, int count) {
    Names l;
    for (int i = 0; i < count; ++i) l.push_back(prefix + "/page" + IntToStr(i) + ".jpg");
    return l;
}

class BookmarksTest : public SettingsTest {
protected:
    // Makes files the current set at page and bookmarks it in slot.
    void Bookmark(int slot, const Names& files, int32_t page) {
        form_->SetLastPages(Files(files));
        form_->SetLastPage(page);
        form_->SetBookmark(slot);
    }
    // The files of a slot ({""} when the slot is free), and its page.
    Names Slot(int slot, int32_t* page = nullptr) {
        int32_t p = -1;
        TStringList files;
        if (!form_->GetSubKeys(TConfigureForm::BookmarkName(slot), p, files)) return {""};
        if (page) *page = p;
        return files.Items();
    }
    std::optional<TConfigureForm> form_{std::in_place};
};

TEST_F(BookmarksTest, CurrentSetIsStoredAndReloaded) {
    const Names files = Numbered("/books/vol1", 20);
    form_->SetLastPage(7);
    form_->SetLastPages(Files(files));
    EXPECT_EQ(StoredInt("RecentPages"), 7);
    EXPECT_EQ(ValueNames("RecentPages")[15], "000F");  // upper-case hexadecimal digits
    form_->SetLastPages(Files({"/books/vol2.cbz"}));  // a shorter list replaces the longer one
    EXPECT_EQ(ValueNames("RecentPages"), Names{"0000"});
    form_->SetLastPages(form_->LastFiles);  // its own list
    EXPECT_EQ(form_->LastFiles.Items(), Names{"/books/vol2.cbz"});
    form_->SetLastPages(Files(files));
    form_->SetLastPage(19);  // written on destruction; the list is not
    form_->LastFiles.Clear();
    form_.reset();
    EXPECT_EQ(StoredInt("RecentPages"), 19);
    ResetRegistryStore();
    form_.emplace();
    EXPECT_EQ(form_->LastPage, 19);
    EXPECT_EQ(form_->LastFiles.Items(), files);  // 000F before 0010
}

TEST_F(BookmarksTest, ReadingTrimsSortsAndSkipsBadValues) {
    form_.reset();
    // Written by hand: out of order, beyond FFFF, blanks and control characters, a number.
    for (const auto& [name, file] : std::map<std::string, std::string>{
             {"10000", "/last"}, {"0002", " \t/third.cbr\r\n"}, {"FFFF", "/fourth"}, {"0000", "/first"},
             {"000a", "/lower-case name"}})
        StoreString(name, file, "RecentPages");
    StoreInt("0001", 5, "RecentPages");
    StoreString("RecentPages", "five");  // a bad page reads as 0
    form_.emplace();
    EXPECT_EQ(form_->LastFiles.Items(), (Names{"/first", "/third.cbr", "/lower-case name", "/fourth", "/last"}));
    EXPECT_EQ(form_->LastPage, 0);
    ASSERT_EQ(ui_.shown.size(), 1u);
    EXPECT_NE(ui_.shown[0].text.find("Invalid data type for '0001'"), std::string::npos);
    StoreInt("0000", 1, "RecentPages0000");  // a sub-key holding only bad values is a free slot
    Bookmark(-1, {}, 3);                      // and an empty list is no bookmark
    EXPECT_FALSE(form_->AreSubKeysPresent("RecentPages0000"));
    Bookmark(-1, {"/fresh"}, 0);
    EXPECT_EQ(Slot(0), Names{"/fresh"});
    EXPECT_EQ(Slot(1), Names{""});
}

TEST_F(BookmarksTest, NewBookmarkShiftsIntoTheFirstFreeSlotAndOthersOverwrite) {
    EXPECT_EQ(TConfigureForm::BookmarkName(11), "RecentPages000B");
    for (int i : {0, 1, 2, 6}) Bookmark(i, {"/s" + IntToStr(i), "/other"}, i);  // 6 is beyond the gap
    Bookmark(-1, {"/new/book.cbz"}, 41);
    int32_t page = -1;
    EXPECT_EQ(Slot(0, &page), Names{"/new/book.cbz"});
    EXPECT_EQ(page, 41);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(Slot(i, &page), (Names{"/s" + IntToStr(i - 1), "/other"}));
        EXPECT_EQ(page, i - 1);
    }
    EXPECT_EQ(Slot(4), Names{""});
    EXPECT_EQ(Slot(6, &page)[0], "/s6");
    EXPECT_EQ(page, 6);
    EXPECT_EQ(StoredInt("RecentPages"), 41);
    Bookmark(2, {"/replacement"}, 9);  // in place: the old second name is gone, nothing moves
    EXPECT_EQ(Slot(2, &page), Names{"/replacement"});
    EXPECT_EQ(page, 9);
    EXPECT_EQ(Slot(3)[0], "/s2");
    const auto before = ValueNames();  // slots outside 0 to 11 are refused
    form_->SetBookmark(12);
    form_->SetBookmark(-2);
    EXPECT_EQ(ValueNames(), before);
}

TEST_F(BookmarksTest, FullSlotsDropTheOldestAndMoveManyNamesIntact) {
    const Names many = Numbered("/big", 300);
    for (int i = 0; i < 12; ++i) Bookmark(i, i == 0 ? many : Names{"/slot" + IntToStr(i)}, 100 + i);
    Bookmark(-1, {"/newest"}, 5);
    int32_t page = 0;
    EXPECT_EQ(Slot(0, &page), Names{"/newest"});
    EXPECT_EQ(page, 5);
    EXPECT_EQ(Slot(1), many);
    EXPECT_EQ(StoredString("012B", TConfigureForm::BookmarkName(1)), "/big/page299.jpg");
    for (int i = 2; i < 12; ++i) {
        EXPECT_EQ(Slot(i, &page), Names{"/slot" + IntToStr(i - 1)});
        EXPECT_EQ(page, 100 + i - 1);
    }
    EXPECT_FALSE(form_->AreSubKeysPresent("RecentPages000C"));  // no thirteenth slot
}

TEST_F(BookmarksTest, AnEmptySetIsNeverBookmarked) {
    for (int i = 0; i < 12; ++i) Bookmark(i, {"/slot" + IntToStr(i)}, i);
    Bookmark(-1, {}, 3);  // all slots full: the oldest must not be pushed out for nothing
    Bookmark(4, {}, 3);   // nor a slot wiped
    for (int i = 0; i < 12; ++i) EXPECT_EQ(Slot(i), Names{"/slot" + IntToStr(i)});
}

TEST_F(BookmarksTest, ListingShowsBareNameAndPage) {
    Bookmark(0, {"/home/u/comics/Issue 12.zip"}, 4);
    Bookmark(2, {"/home/u/a\\b:c.cbz"}, 0);  // '\' and ':' belong to the name
    Bookmark(3, {"plain.cbr"}, INT32_MAX);   // no overflow in page + 1
    Bookmark(4, {"/dir/"}, 1);
    Bookmark(5, {}, 1);
    TStringList items;
    items.SetSorted(true);
    items.Add("stale");
    form_->ListBookmarks(items);
    EXPECT_FALSE(items.Sorted());
    EXPECT_EQ(items.Items(), (Names{"Issue 12.zip - #5", "", "a\\b:c.cbz - #1", "plain.cbr - #2147483648", " - #2",
                                    "", "", "", "", "", "", ""}));
}

TEST_F(BookmarksTest, RetrieveMakesTheBookmarkCurrentAndDeleteKeepsItsPage) {
    const Names three = Numbered("/b", 3);
    Bookmark(-1, three, 2);
    form_->SetLastPages(Files({"/now/reading.cbz"}));
    form_->SetLastPage(8);
    for (int slot : {-1, 12, 1, 11}) {  // out of range and empty slots change nothing
        form_->RetrieveBookmark(slot);
        EXPECT_EQ(form_->LastFiles.Items(), Names{"/now/reading.cbz"});
        EXPECT_EQ(form_->LastPage, 8);
    }
    EXPECT_EQ(StoredString("0000", "RecentPages"), "/now/reading.cbz");
    form_->RetrieveBookmark(0);
    EXPECT_EQ(form_->LastFiles.Items(), three);
    EXPECT_EQ(form_->LastPage, 2);
    EXPECT_EQ(StoredInt("RecentPages"), 2);
    EXPECT_EQ(ValueNames("RecentPages").size(), 3u);
    EXPECT_EQ(Slot(0), three);  // the bookmark stays
    form_->DeleteSubKeys(TConfigureForm::BookmarkName(0));  // deleting it keeps its page value
    int32_t page = -1;
    TStringList files = Files({"left over"});
    EXPECT_FALSE(form_->GetSubKeys(TConfigureForm::BookmarkName(0), page, files));
    EXPECT_EQ(page, 2);
    EXPECT_EQ(files.Count(), 0);
}

}  // namespace
}  // namespace vellicor::test

#include "pages/BuffPage.h"

#include <gtest/gtest.h>

namespace vellicor {
namespace {

class BuffPageTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        TBufferedPage::ClearList();
        TBufferedPage::SetPageLimit(5);
        TBufferedPage::SetUnprocessedLimit(2);
    }
    static TBufferedPagePtr Make(int page, TPageCacheType type = ctDisplay, int gen = 0) {
        return TBufferedPage::Create(page, rtNone, gen, type, "p" + std::to_string(page) + ".bmp");
    }
    static std::vector<int> PageNumbers() {
        std::vector<int> r;
        for (auto& p : TBufferedPage::Pages()) r.push_back(p->PageNo);
        return r;
    }
};

TEST_F(BuffPageTest, NewPagesGoToTheHeadWithIncreasingStamps) {
    auto a = Make(0), b = Make(1), c = Make(2);
    EXPECT_EQ(PageNumbers(), (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(a->Lru, 1u);
    EXPECT_EQ(b->Lru, 2u);
    EXPECT_EQ(c->Lru, 3u);
    EXPECT_EQ(TBufferedPage::LruCounter(), 4u);
    EXPECT_EQ(TBufferedPage::Count(), 3);
    EXPECT_FALSE(a->Locked);
    EXPECT_EQ(a->GenNo, 0);
    EXPECT_EQ(a->ImageType, ctDisplay);
}

TEST_F(BuffPageTest, LeastRecentlyUsedDisplayPageIsEvictedAtTheLimit) {
    TBufferedPage::SetPageLimit(3);
    auto a = Make(0), b = Make(1), c = Make(2);
    // Stamps 4, 7 and 9.
    TBufferedPage::Used(*a);
    for (int i = 0; i < 3; ++i) TBufferedPage::Used(*b);
    for (int i = 0; i < 2; ++i) TBufferedPage::Used(*c);
    ASSERT_EQ(a->Lru, 4u);
    ASSERT_EQ(b->Lru, 7u);
    ASSERT_EQ(c->Lru, 9u);
    auto d = Make(3);
    EXPECT_EQ(TBufferedPage::Count(), 3);
    EXPECT_FALSE(TBufferedPage::InCache(a.get()));
    EXPECT_EQ(PageNumbers(), (std::vector<int>{3, 2, 1}));
    // Whoever still holds the evicted page can go on using it.
    EXPECT_EQ(a->PageNo, 0);
}

TEST_F(BuffPageTest, LockedPagesAreNeverEvictedAndHoldTheCountUp) {
    TBufferedPage::SetPageLimit(2);
    auto a = Make(0), b = Make(1);
    TBufferedPage::LockBitmap(*a);
    TBufferedPage::LockBitmap(*b);
    auto c = Make(2);
    EXPECT_EQ(TBufferedPage::Count(), 3);
    EXPECT_TRUE(TBufferedPage::InCache(a.get()));
    EXPECT_TRUE(TBufferedPage::InCache(b.get()));
    // Unlocking lets the next page evict down to the limit again.
    TBufferedPage::UnlockBitmaps(ctDisplay);
    auto d = Make(3);
    EXPECT_EQ(TBufferedPage::InList(ctDisplay), 2);
    EXPECT_EQ(PageNumbers(), (std::vector<int>{3, 2}));
}

TEST_F(BuffPageTest, ZoomPagesShareOneLimitOfTwo) {
    auto z1 = Make(0, ctZoomDouble), z2 = Make(1, ctZoomDouble);
    auto d = Make(5, ctDisplay);
    auto w = Make(2, ctZoomWhole);
    EXPECT_FALSE(TBufferedPage::InCache(z1.get()));
    EXPECT_TRUE(TBufferedPage::InCache(z2.get()));
    EXPECT_TRUE(TBufferedPage::InCache(w.get()));
    EXPECT_TRUE(TBufferedPage::InCache(d.get()));  // display pages are another kind
    EXPECT_EQ(TBufferedPage::InList(ctZoomDouble | ctZoomWhole), 2);
}

TEST_F(BuffPageTest, UnprocessedAndOtherKindsHaveTheirOwnLimits) {
    TBufferedPage::SetUnprocessedLimit(1);
    auto u1 = Make(0, ctUnprocessed), u2 = Make(1, ctUnprocessed);
    EXPECT_EQ(TBufferedPage::InList(ctUnprocessed), 1);
    EXPECT_TRUE(TBufferedPage::InCache(u2.get()));
    // Any other code: limit 2 under its own mask.
    auto o1 = Make(0, TPageCacheType(16)), o2 = Make(1, TPageCacheType(16)), o3 = Make(2, TPageCacheType(16));
    EXPECT_EQ(TBufferedPage::InList(16), 2);
    EXPECT_FALSE(TBufferedPage::InCache(o1.get()));
}

TEST_F(BuffPageTest, AvailableNeedsAnExactMatchAndRefreshesTheStamp) {
    auto a = Make(4, ctDisplay, 7);
    auto b = Make(4, ctZoomDouble, 7);
    EXPECT_EQ(TBufferedPage::Available(4, ctDisplay, 6), nullptr);  // older generation
    EXPECT_EQ(TBufferedPage::Available(4, ctDisplay | ctZoomDouble, 7), nullptr);  // no masks
    EXPECT_EQ(TBufferedPage::Available(5, ctDisplay, 7), nullptr);
    uint32_t before = TBufferedPage::LruCounter();
    EXPECT_EQ(TBufferedPage::Available(4, ctDisplay, 7), a);
    EXPECT_EQ(a->Lru, before);
    EXPECT_EQ(TBufferedPage::Available(4, ctZoomDouble, 7), b);
}

TEST_F(BuffPageTest, AvailableFindsTheNewestOfTwoEqualPages) {
    auto older = Make(1);
    auto newer = Make(1);
    EXPECT_EQ(TBufferedPage::Available(1, ctDisplay, 0), newer);
}

TEST_F(BuffPageTest, OnEqualStampsTheNewerLinkIsEvicted) {
    auto a = Make(0), b = Make(1), c = Make(2);
    a->Lru = 5;
    b->Lru = 5;
    c->Lru = 9;
    ASSERT_TRUE(TBufferedPage::DeleteLeastRecentlyUsed(ctDisplay));
    EXPECT_FALSE(TBufferedPage::InCache(b.get()));
    EXPECT_TRUE(TBufferedPage::InCache(a.get()));
}

TEST_F(BuffPageTest, DeleteLeastRecentlyUsedReportsWhenNothingMatches) {
    auto a = Make(0);
    TBufferedPage::LockBitmap(*a);
    EXPECT_FALSE(TBufferedPage::DeleteLeastRecentlyUsed(ctDisplay));
    EXPECT_FALSE(TBufferedPage::DeleteLeastRecentlyUsed(ctZoomWhole));
    EXPECT_EQ(TBufferedPage::Count(), 1);
}

TEST_F(BuffPageTest, UnlockBitmapsWorksByMask) {
    auto d = Make(0), z = Make(0, ctZoomDouble), w = Make(0, ctZoomWhole);
    for (auto* p : {d.get(), z.get(), w.get()}) TBufferedPage::LockBitmap(*p);
    TBufferedPage::UnlockBitmaps(ctZoomDouble | ctZoomWhole);
    EXPECT_TRUE(d->Locked);
    EXPECT_FALSE(z->Locked);
    EXPECT_FALSE(w->Locked);
    TBufferedPage::UnlockBitmaps(ctDisplay);
    EXPECT_FALSE(d->Locked);
}

TEST_F(BuffPageTest, StampsStartAgainWhenTheCacheEmpties) {
    auto a = Make(0), b = Make(1);
    TBufferedPage::UnLink(a.get());
    EXPECT_EQ(TBufferedPage::LruCounter(), 3u);
    TBufferedPage::UnLink(b.get());
    EXPECT_EQ(TBufferedPage::LruCounter(), 1u);
    auto c = Make(2);
    EXPECT_EQ(c->Lru, 1u);
    // Unlinking a page that is not in the cache changes nothing.
    TBufferedPage::UnLink(a.get());
    EXPECT_EQ(TBufferedPage::Count(), 1);
}

TEST_F(BuffPageTest, ClearListLeavesPagesHeldElsewhereIntact) {
    auto shown = Make(3);
    shown->SetSize(10, 20, TPixelFormat::pf24bit);
    std::weak_ptr<TBufferedPage> dropped = Make(4);
    TBufferedPage::ClearList();
    EXPECT_EQ(TBufferedPage::Count(), 0);
    EXPECT_EQ(TBufferedPage::LruCounter(), 1u);
    EXPECT_TRUE(dropped.expired());  // nobody else held it: freed
    ASSERT_FALSE(TBufferedPage::InCache(shown.get()));
    EXPECT_EQ(shown->Width(), 10);  // still a valid page for the window that shows it
    EXPECT_EQ(shown->PageNo, 3);
}

TEST_F(BuffPageTest, ANonPositiveLimitEvictsEverythingUnlockedAndStops) {
    TBufferedPage::SetPageLimit(0);
    auto a = Make(0);
    TBufferedPage::LockBitmap(*a);
    auto b = Make(1);
    auto c = Make(2);
    EXPECT_EQ(PageNumbers(), (std::vector<int>{2, 0}));
}

}  // namespace
}  // namespace vellicor

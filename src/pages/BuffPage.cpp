#include "pages/BuffPage.h"

#include <algorithm>
#include <limits>

#include "trace/Trace.h"

namespace vellicor {

namespace {

// Newest first. Plain statics: the cache is used from the main thread only.
struct CacheState {
    std::vector<TBufferedPagePtr> list;
    uint32_t lruCounter = 1;
    int pageLimit = 5;
    int unprocessedLimit = 2;
};

CacheState& Cache() {
    static CacheState state;
    return state;
}

bool Matches(const TBufferedPage& p, int mask) { return (p.ImageType & mask) != 0; }

}  // namespace

TBufferedPagePtr TBufferedPage::Create(int PageNo, TRotation Rotation, int Gen, TPageCacheType ImageType,
                                       const std::string& FileName) {
    VTRACE("TBufferedPage::Create");
    auto page = std::make_shared<TBufferedPage>(Token{}, PageNo, Rotation, Gen, ImageType, FileName);
    LimitPagesInList(ImageType);
    Link(page);
    return page;
}

TBufferedPage::TBufferedPage(Token, int PageNo_, TRotation Rotation, int Gen, TPageCacheType ImageType_,
                             const std::string& FileName)
    : TProcessBMP(FileName, Rotation), PageNo(PageNo_), GenNo(Gen) {
    VTRACE("TBufferedPage::TBufferedPage");
    ImageType = ImageType_;
    Lru = Cache().lruCounter++;
    VTRACE_INT("TBufferedPage::TBufferedPage PageNo", PageNo);
    VTRACE_STR("TBufferedPage::TBufferedPage FileName", FileName);
}

TBufferedPage::~TBufferedPage() { VTRACE("TBufferedPage::~TBufferedPage"); }

void TBufferedPage::Link(const TBufferedPagePtr& Page) {
    VTRACE("TBufferedPage::Link");
    if (!Page || InCache(Page.get())) return;
    auto& c = Cache();
    c.list.insert(c.list.begin(), Page);
}

void TBufferedPage::UnLink(const TBufferedPage* Page) {
    VTRACE("TBufferedPage::UnLink");
    auto& c = Cache();
    auto it = std::find_if(c.list.begin(), c.list.end(), [Page](const TBufferedPagePtr& p) { return p.get() == Page; });
    if (it == c.list.end()) return;
    // Keep the page alive until it has left the list: erasing may drop its last reference.
    TBufferedPagePtr keep = *it;
    c.list.erase(it);
    if (c.list.empty()) c.lruCounter = 1;
}

bool TBufferedPage::InCache(const TBufferedPage* Page) {
    VTRACE("TBufferedPage::InCache");
    auto& l = Cache().list;
    return std::any_of(l.begin(), l.end(), [Page](const TBufferedPagePtr& p) { return p.get() == Page; });
}

TBufferedPagePtr TBufferedPage::Available(int PageNo, int ImageType, int Gen) {
    VTRACE("TBufferedPage::Available");
    for (auto& p : Cache().list) {
        if (p->PageNo == PageNo && p->ImageType == ImageType && p->GenNo == Gen) {
            Used(*p);
            return p;
        }
    }
    return nullptr;
}

void TBufferedPage::Used(TBufferedPage& Page) {
    VTRACE("TBufferedPage::Used");
    Page.Lru = Cache().lruCounter++;
}

void TBufferedPage::LockBitmap(TBufferedPage& Page) {
    VTRACE("TBufferedPage::LockBitmap");
    Page.Locked = true;
}

void TBufferedPage::UnlockBitmaps(int Mask) {
    VTRACE("TBufferedPage::UnlockBitmaps");
    for (auto& p : Cache().list)
        if (Matches(*p, Mask)) p->Locked = false;
}

int TBufferedPage::InList(int Mask) {
    VTRACE("TBufferedPage::InList");
    auto& l = Cache().list;
    return static_cast<int>(std::count_if(l.begin(), l.end(), [Mask](const TBufferedPagePtr& p) { return Matches(*p, Mask); }));
}

bool TBufferedPage::DeleteLeastRecentlyUsed(int Mask) {
    VTRACE("TBufferedPage::DeleteLeastRecentlyUsed");
    const TBufferedPage* victim = nullptr;
    uint32_t best = std::numeric_limits<uint32_t>::max();
    // From the head: only a strictly smaller stamp replaces the choice, so on a tie the
    // page nearer the head (the newer link) is evicted.
    for (auto& p : Cache().list) {
        if (!Matches(*p, Mask) || p->Locked) continue;
        if (!victim || p->Lru < best) {
            victim = p.get();
            best = p->Lru;
        }
    }
    if (!victim) return false;
    VTRACE_INT("TBufferedPage::DeleteLeastRecentlyUsed PageNo", victim->PageNo);
    UnLink(victim);
    return true;
}

void TBufferedPage::LimitPagesInList(int ImageType) {
    VTRACE("TBufferedPage::LimitPagesInList");
    int limit = ZoomLimit, mask = ImageType;
    switch (ImageType) {
        case ctDisplay: limit = Cache().pageLimit; mask = ctDisplay; break;
        case ctUnprocessed: limit = Cache().unprocessedLimit; mask = ctUnprocessed; break;
        case ctZoomDouble:
        case ctZoomWhole: limit = ZoomLimit; mask = ctZoomDouble | ctZoomWhole; break;
        default: break;
    }
    while (InList(mask) >= limit && DeleteLeastRecentlyUsed(mask)) {
    }
}

void TBufferedPage::ClearList() {
    VTRACE("TBufferedPage::ClearList");
    auto& c = Cache();
    while (!c.list.empty()) UnLink(c.list.front().get());
    c.lruCounter = 1;
}

int TBufferedPage::Count() { return static_cast<int>(Cache().list.size()); }
uint32_t TBufferedPage::LruCounter() { return Cache().lruCounter; }
int TBufferedPage::PageLimit() { return Cache().pageLimit; }
void TBufferedPage::SetPageLimit(int Limit) { Cache().pageLimit = Limit; }
int TBufferedPage::UnprocessedLimit() { return Cache().unprocessedLimit; }
void TBufferedPage::SetUnprocessedLimit(int Limit) { Cache().unprocessedLimit = Limit; }
const std::vector<TBufferedPagePtr>& TBufferedPage::Pages() { return Cache().list; }

}  // namespace vellicor

#pragma once
// The process-wide cache of processed pages. A page joins the cache when it is created and
// the least recently used unlocked page of the same kind is evicted when a per-kind limit
// is reached. Pages are shared: the cache and whoever shows a page each hold a reference,
// so an evicted or cleared page stays valid for as long as the window still shows it.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pages/Processbmp.h"

namespace vellicor {

class TBufferedPage;
using TBufferedPagePtr = std::shared_ptr<TBufferedPage>;

class TBufferedPage : public TProcessBMP {
    struct Token {};

public:
    // Makes a page, evicts by the limits of its kind, then links it at the head of the cache.
    static TBufferedPagePtr Create(int PageNo, TRotation Rotation, int Gen, TPageCacheType ImageType,
                                   const std::string& FileName);
    TBufferedPage(Token, int PageNo, TRotation Rotation, int Gen, TPageCacheType ImageType,
                  const std::string& FileName);
    ~TBufferedPage() override;

    bool Locked = false;
    uint32_t Lru = 0;
    int PageNo = 0;
    int GenNo = 0;

    // Class-wide operations on the cache.
    static void Link(const TBufferedPagePtr& Page);
    static void UnLink(const TBufferedPage* Page);  // a page not in the cache is left alone
    static bool InCache(const TBufferedPage* Page);
    // The first page (newest first) with exactly this page number, type and generation;
    // its use stamp is refreshed.
    static TBufferedPagePtr Available(int PageNo, int ImageType, int Gen);
    static void Used(TBufferedPage& Page);
    static void LockBitmap(TBufferedPage& Page);
    static void UnlockBitmaps(int Mask);
    static int InList(int Mask);
    static bool DeleteLeastRecentlyUsed(int Mask);
    static void LimitPagesInList(int ImageType);
    static void ClearList();

    static int Count();
    static uint32_t LruCounter();
    static int PageLimit();
    static void SetPageLimit(int Limit);
    static int UnprocessedLimit();
    static void SetUnprocessedLimit(int Limit);
    static constexpr int ZoomLimit = 2;  // types 4 and 8 together
    // The cached pages, newest first.
    static const std::vector<TBufferedPagePtr>& Pages();
};

}  // namespace vellicor

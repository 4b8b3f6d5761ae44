#include "pages/ThumbList.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "trace/Trace.h"

namespace vellicor {

TImageList::TImageList(int Width, int Height, int Initial, int Grow) : Width_(Width), Height_(Height), Grow_(Grow) {
    Images_.reserve(static_cast<size_t>(Initial));
}

int TImageList::Add(TBitmap Image) {
    VTRACE("TImageList::Add");
    if (Image.Width() != Width_ || Image.Height() != Height_ || Image.PixelFormat() != TPixelFormat::pf24bit) return -1;
    try {
        if (Images_.size() == Images_.capacity()) Images_.reserve(Images_.capacity() + static_cast<size_t>(Grow_));
        Images_.push_back(std::move(Image));
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return Count() - 1;
}

void TImageList::Clear() { Images_.clear(); }

void ThumbRect(int BoxW, int BoxH, int PageW, int PageH, int& Right, int& Bottom) {
    Right = BoxW;
    Bottom = BoxH;
    const bool both = (BoxW < BoxH && PageW < PageH) || (BoxW > BoxH && PageW > PageH);
    if (both || PageH <= 0) return;
    Right = static_cast<int>(static_cast<int64_t>(PageW) * BoxH / PageH);
}

TBitmap DrawThumb(const TBitmap& Page, int BoxW, int BoxH) {
    VTRACE("DrawThumb");
    TBitmap out;
    if (!out.SetSize(BoxW, BoxH, TPixelFormat::pf24bit)) return out;
    if (Page.Empty() || Page.PixelFormat() != TPixelFormat::pf24bit) return out;
    int right = 0, bottom = 0;
    ThumbRect(BoxW, BoxH, Page.Width(), Page.Height(), right, bottom);
    if (right <= 0 || bottom <= 0) return out;
    // Each target pixel averages the source block it covers, so small thumbnails of large
    // pages keep fine lines instead of dropping them.
    const int visibleW = std::min(right, BoxW), visibleH = std::min(bottom, BoxH);
    const int64_t pw = Page.Width(), ph = Page.Height();
    for (int y = 0; y < visibleH; ++y) {
        int y0 = static_cast<int>(y * ph / bottom), y1 = static_cast<int>((y + 1) * ph / bottom);
        if (y1 <= y0) y1 = y0 + 1;
        uint8_t* dst = out.ScanLine(y);
        for (int x = 0; x < visibleW; ++x) {
            int x0 = static_cast<int>(x * pw / right), x1 = static_cast<int>((x + 1) * pw / right);
            if (x1 <= x0) x1 = x0 + 1;
            uint32_t b = 0, g = 0, r = 0, n = 0;
            for (int sy = y0; sy < y1; ++sy) {
                const uint8_t* src = Page.ScanLine(sy) + 3 * x0;
                for (int sx = x0; sx < x1; ++sx, src += 3) b += src[0], g += src[1], r += src[2], ++n;
            }
            dst[3 * x] = static_cast<uint8_t>(b / n);
            dst[3 * x + 1] = static_cast<uint8_t>(g / n);
            dst[3 * x + 2] = static_cast<uint8_t>(r / n);
        }
    }
    return out;
}

}  // namespace vellicor

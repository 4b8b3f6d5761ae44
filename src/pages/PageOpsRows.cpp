#include <algorithm>

#include "pages/PageOpsScratch.h"
#include "platform/Bitmap.h"
#include "platform/Parallel.h"
#include "platform/UiServices.h"

namespace vellicor::pageops {

bool ForRowBlocks(TBitmap& bmp, const std::function<void(int y0, int y1)>& fn) {
    const int w = bmp.Width(), h = bmp.Height();
    const TPixelFormat format = bmp.PixelFormat();
    if (format != TPixelFormat::pf24bit) return false;
    const int parts = ParallelParts(h, int64_t(w) * 3);
    const int block = ParallelBlockRows(h, parts, int64_t(w) * 3);
    for (int y0 = 0; y0 < h; y0 += block) {
        const int y1 = std::min(h, y0 + block);
        ParallelFor(y1 - y0, ParallelRanges(y1 - y0, parts), [&](int, int b, int e) { fn(y0 + b, y0 + e); });
        ProcessMessages();
        if (bmp.Width() != w || bmp.Height() != h || bmp.PixelFormat() != format || StopRequested()) return false;
    }
    return true;
}

}  // namespace vellicor::pageops

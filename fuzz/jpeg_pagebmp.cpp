// JPEG pages: any bytes give a decoded 24-bit page below the scale limit (or at 1/8) or
// the 400 by 600 error page; never a fault, a message on the console or an escape.
#include <cstdint>
#include <cstdlib>

#include "pages/PageBMP.h"

namespace {

// A frame header may state up to 65500 by 65500 pixels from a few bytes; the unit tests
// cover those. Here they would only make every run slow, so frames above 16 megapixels
// are left out (the scaled paths up to 1/4 stay in).
bool TooLargeToFuzz(const uint8_t* d, size_t size) {
    for (size_t i = 0; i + 8 < size; ++i) {
        if (d[i] != 0xFF) continue;
        uint8_t m = d[i + 1];
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
            int64_t h = d[i + 5] << 8 | d[i + 6], w = d[i + 7] << 8 | d[i + 8];
            if (w * h > (int64_t(1) << 24)) return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vellicor;
    if (TooLargeToFuzz(data, size)) return -1;
    // Half the inputs meet limits low enough for small frames to reach the sparse-data and
    // coefficient rules (256 pixels, 4 blocks) and the coefficient memory cap (4 MB).
    if (size & 1)
        SetJpegLimitsForFuzzing(256, 4L << 20);
    else
        SetJpegLimitsForFuzzing(0, 0);
    TByteViewStream stream(data, static_cast<int64_t>(size));
    TPageBMP page("fuzz.jpg");
    page.LoadFromStream(&stream);
    if (page.PixelFormat() != TPixelFormat::pf24bit || page.Empty()) std::abort();
    if (page.LoadError && (page.Width() != 400 || page.Height() != 600)) std::abort();
    if (page.DecodedWidth != page.Width() || page.DecodedHeight != page.Height()) std::abort();
    return 0;
}

// The BMP reader: any bytes give a 24-bit bitmap of the size the header states, or a
// refusal with a reason and an empty bitmap; never a fault.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "pages/BmpReader.h"

namespace {

// Run-length files may state sizes up to the page cap from a few bytes; the unit tests
// cover that cap. Here such files would only make every run slow.
bool TooLargeToFuzz(const uint8_t* d, size_t size) {
    if (size < 26) return false;
    auto le32 = [&](size_t at) { return static_cast<int64_t>(static_cast<int32_t>(d[at] | d[at + 1] << 8 | d[at + 2] << 16 | static_cast<uint32_t>(d[at + 3]) << 24)); };
    if (le32(14) < 40) return false;
    int64_t w = le32(18), h = le32(22);
    return std::llabs(w) * std::llabs(h) > (int64_t(1) << 22);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vellicor;
    if (TooLargeToFuzz(data, size)) return -1;
    TByteViewStream stream(data, static_cast<int64_t>(size));
    TBitmap bitmap;
    std::string error;
    if (ReadBmp(stream, bitmap, &error)) {
        if (bitmap.PixelFormat() != TPixelFormat::pf24bit || bitmap.Empty()) std::abort();
        // Touch the corners so that a short buffer shows.
        volatile uint8_t sink = bitmap.ScanLine(0)[0] ^ bitmap.ScanLine(bitmap.Height() - 1)[bitmap.Width() * 3 - 1];
        (void)sink;
    } else if (!bitmap.Empty() || error.empty()) {
        std::abort();
    }
    return 0;
}

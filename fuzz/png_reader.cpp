// The PNG reader: any bytes load or raise one of the unit's exceptions; a loaded image
// draws onto a 24-bit page and writes back out; the same bytes decode straight onto a page
// as the reader does; never a fault.
#include <cstdint>
#include <cstdlib>
#include <exception>

#include "codecs/png/PngPage.h"
#include "codecs/png/Pngimage.h"

namespace {

// Headers may state up to the page cap in a few bytes; the unit tests cover that cap.
// Here such files would only make every run slow.
bool TooLargeToFuzz(const uint8_t* d, size_t size) {
    if (size < 24) return false;
    auto be32 = [&](size_t at) { return uint64_t(d[at]) << 24 | uint64_t(d[at + 1]) << 16 | uint64_t(d[at + 2]) << 8 | d[at + 3]; };
    return be32(16) * be32(20) > (uint64_t(1) << 22);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vellicor;
    if (TooLargeToFuzz(data, size)) return -1;
    {
        TByteViewStream direct(data, static_cast<int64_t>(size));
        TBitmap page;
        try {
            DecodePngPage(direct, page);
            // A page that decoded is a 24-bit page.
            if (!page.Empty() && page.PixelFormat() != TPixelFormat::pf24bit) std::abort();
        } catch (const std::exception&) {
            if (!page.Empty()) std::abort();  // a failed decode leaves no page behind
        }
    }
    TByteViewStream stream(data, static_cast<int64_t>(size));
    TPNGObject png;
    try {
        png.LoadFromStream(stream);
    } catch (const std::exception&) {
        return 0;
    }
    TBitmap page;
    if (!page.SetSize(png.GetWidth(), png.GetHeight(), TPixelFormat::pf24bit)) return 0;
    page.Fill(RGBColor(255, 255, 255));
    png.Draw(page, 0, 0, png.GetWidth(), png.GetHeight());
    // Stretched onto a part of the page, and partly off it.
    png.Draw(page, -3, 1, png.GetWidth() / 2 + 5, png.GetHeight() + 7);
    TMemoryStream out;
    try {
        png.InterlaceMethod = data[size - 1] & 1 ? imAdam7 : imNone;
        png.Filters = static_cast<TFilters>(data[size / 2] & 0x1F);
        png.SaveToStream(out);
        out.Seek(0, SeekOrigin::Begin);
        TPNGObject back;
        back.LoadFromStream(out);
    } catch (const std::exception&) {
    }
    return 0;
}

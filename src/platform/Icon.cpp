#include "platform/Icon.h"

#include <algorithm>

namespace vellicor {

bool TIcon::SetImage(const TBitmap& color, const TBitmap& mask) {
    Clear();
    if (color.Empty() || color.Width() != mask.Width() || color.Height() != mask.Height()) return false;
    if (color.PixelFormat() != TPixelFormat::pf24bit && color.PixelFormat() != TPixelFormat::pf32bit) return false;
    TBitmap bits;
    if (!bits.SetSize(mask.Width(), mask.Height(), TPixelFormat::pf1bit)) return false;
    bits.Palette() = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    for (int y = 0; y < mask.Height(); ++y) {
        uint8_t* row = bits.ScanLine(y);
        for (int x = 0; x < mask.Width(); ++x)
            if ((mask.Pixel(x, y) & 0xFFFFFF) != 0) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
    }
    FColor = color;
    FMask = std::move(bits);
    return true;
}

void TIcon::Clear() {
    FColor.Clear();
    FMask.Clear();
}

void TIcon::Draw(TBitmap& canvas, int x0, int y0) const {
    if (Empty()) return;
    const int step = canvas.PixelFormat() == TPixelFormat::pf32bit ? 4 : 3;
    if (canvas.PixelFormat() != TPixelFormat::pf24bit && step != 4) return;
    const int sstep = FColor.PixelFormat() == TPixelFormat::pf32bit ? 4 : 3;
    for (int y = std::max(0, -y0); y < Height() && y0 + y < canvas.Height(); ++y) {
        const uint8_t* src = FColor.ScanLine(y);
        const uint8_t* m = FMask.ScanLine(y);
        uint8_t* dst = canvas.ScanLine(y0 + y);
        for (int x = std::max(0, -x0); x < Width() && x0 + x < canvas.Width(); ++x) {
            uint8_t* d = dst + int64_t(x0 + x) * step;
            const uint8_t* s = src + int64_t(x) * sstep;
            const bool transparent = (m[x >> 3] >> (7 - (x & 7))) & 1;
            for (int c = 0; c < 3; ++c) d[c] = transparent ? uint8_t(d[c] ^ s[c]) : s[c];
        }
    }
}

void TPicture::Assign(const TBitmap& bitmap) {
    Clear();
    FBitmap = std::make_unique<TBitmap>(bitmap);
}

void TPicture::Assign(const TIcon& icon) {
    Clear();
    FIcon = std::make_unique<TIcon>(icon);
}

void TPicture::Clear() {
    FBitmap.reset();
    FIcon.reset();
}

}  // namespace vellicor

// Drawing the decoded picture onto a bitmap, transparency, and conversion from and to a
// plain bitmap.
#include <cstring>
#include <vector>

#include "codecs/png/Pngimage.h"
#include "trace/Trace.h"

namespace vellicor {

using namespace pnglang;

TPNGTransparencyMode TPNGObject::GetTransparencyMode() const {
    if (!HeaderPresent()) return ptmNone;
    const TChunktRNS* trns = Chunks.ItemFromClass<TChunktRNS>();
    switch (GetHeader().IHDRData.ColorType) {
        case COLOR_GRAYSCALE:
        case COLOR_RGB: return trns ? ptmBit : ptmNone;
        case COLOR_PALETTE:
            if (!trns) return ptmNone;
            return trns->BitTransparency ? ptmBit : ptmPartial;
        case COLOR_GRAYSCALEALPHA:
        case COLOR_RGBALPHA: return ptmPartial;
        default: return ptmNone;
    }
}

TColor TPNGObject::GetTransparentColor() const {
    const TChunktRNS* trns = Chunks.ItemFromClass<TChunktRNS>();
    return trns && HeaderPresent() ? trns->GetTransparentColor() : 0;
}

void TPNGObject::SetTransparentColor(TColor color) {
    VTRACE("TPNGObject::SetTransparentColor");
    if (!HeaderPresent()) return;
    switch (GetHeader().IHDRData.ColorType) {
        case COLOR_GRAYSCALEALPHA:
        case COLOR_RGBALPHA: RaiseError<EPNGCannotChangeTransparent>(EPNGCannotChangeTransparentText);
        case COLOR_GRAYSCALE:
        case COLOR_RGB:
        case COLOR_PALETTE: {
            TChunktRNS* trns = Chunks.ItemFromClass<TChunktRNS>();
            if (!trns) trns = Chunks.Add<TChunktRNS>();
            trns->SetTransparentColor(color);
            break;
        }
        default: break;
    }
}

void TPNGObject::RemoveTransparency() {
    if (TChunktRNS* trns = Chunks.ItemFromClass<TChunktRNS>()) Chunks.RemoveChunk(trns);
}

void TPNGObject::CreateAlpha() {
    VTRACE("TPNGObject::CreateAlpha");
    if (!HeaderPresent()) return;
    TChunkIHDR& h = GetHeader();
    switch (h.IHDRData.ColorType) {
        case COLOR_GRAYSCALE:
        case COLOR_RGB:
            h.IHDRData.ColorType = h.IHDRData.ColorType == COLOR_GRAYSCALE ? COLOR_GRAYSCALEALPHA : COLOR_RGBALPHA;
            try {
                h.ImageAlpha.resize(size_t(h.IHDRData.Width) * h.IHDRData.Height);
                std::memset(h.ImageAlpha.data(), 255, h.ImageAlpha.size());
            } catch (const std::bad_alloc&) {
                RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
            }
            break;
        case COLOR_PALETTE: {
            TChunktRNS* trns = Chunks.ItemFromClass<TChunktRNS>();
            if (!trns) trns = Chunks.Add<TChunktRNS>();
            trns->PaletteValues.fill(255);
            const uint32_t n = 1u << (h.IHDRData.BitDepth > 8 ? 8 : h.IHDRData.BitDepth);
            trns->ResizeData(n);
            std::memset(trns->Data(), 255, n);
            trns->BitTransparency = false;
            break;
        }
        default: break;
    }
}

namespace {

// d = (s*a + 255 + (255-a)*d) / 256: a = 255 gives s, a = 0 leaves d.
inline uint8_t Blend(unsigned s, unsigned d, unsigned a) { return static_cast<uint8_t>((s * a + 255 + (255 - a) * d) >> 8); }

inline unsigned IndexAt(const uint8_t* row, size_t x, int bits) {
    switch (bits) {
        case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
        case 4: return (x & 1) ? (row[x >> 1] & 15) : (row[x >> 1] >> 4);
        default: return row[x];
    }
}

}  // namespace

void TPNGObject::Draw(TBitmap& canvas, int left, int top, int right, int bottom) {
    VTRACE("TPNGObject::Draw");
    if (!HeaderPresent()) return;
    const TChunkIHDR& h = GetHeader();
    const int bits = h.DIBBitsPerPixel;
    const int64_t w = h.IHDRData.Width, ht = h.IHDRData.Height;
    const int64_t dw = int64_t(right) - left, dh = int64_t(bottom) - top;
    const int cbpp = BitsPerPixel(canvas.PixelFormat());
    if (bits == 0 || h.ImageData.empty() || w <= 0 || ht <= 0 || dw <= 0 || dh <= 0 || canvas.Empty() ||
        (cbpp != 24 && cbpp != 32))
        return;
    const int cstep = cbpp / 8;
    // The part of the rectangle that lies on the canvas.
    const int64_t x0 = left < 0 ? 0 : left, y0 = top < 0 ? 0 : top;
    const int64_t x1 = right > canvas.Width() ? canvas.Width() : right;
    const int64_t y1 = bottom > canvas.Height() ? canvas.Height() : bottom;
    if (x0 >= x1 || y0 >= y1) return;
    const size_t count = static_cast<size_t>(x1 - x0);
    std::vector<uint32_t> columns(count);
    for (size_t k = 0; k < count; ++k)
        columns[k] = static_cast<uint32_t>((int64_t(x0) + int64_t(k) - left) * w / dw);

    const TPNGTransparencyMode mode = GetTransparencyMode();
    const uint8_t colorType = h.IHDRData.ColorType;
    const TChunktRNS* trns = Chunks.ItemFromClass<TChunktRNS>();
    // Palette images carry one alpha value per entry; grey and RGB images one sample that
    // is left out. Its pixels were marked as the file's samples were read; a key set since
    // (no mask) is compared in the picture's own terms (index, or gamma-converted colour).
    const bool paletteAlpha = colorType == COLOR_PALETTE && trns && mode != ptmNone;
    const bool pixelAlpha = mode == ptmPartial && !h.ImageAlpha.empty();
    const bool greyOrRgb = colorType == COLOR_GRAYSCALE || colorType == COLOR_RGB;
    const size_t maskRowBytes = (size_t(w) + 7) / 8;
    const bool masked = mode == ptmBit && trns && greyOrRgb && trns->KeyMask.size() == maskRowBytes * size_t(ht);
    bool keyed = false;
    unsigned keyIndex = 0;
    uint8_t keyBgr[3] = {0, 0, 0};
    if (mode == ptmBit && trns && greyOrRgb && !masked) {
        const uint8_t* d = trns->Data();
        const uint8_t depth = h.IHDRData.BitDepth;
        auto sample = [&](int i) { return static_cast<unsigned>((d[2 * i] << 8) | d[2 * i + 1]); };
        if (colorType == COLOR_GRAYSCALE && trns->DataSize() >= 2) {
            keyed = true;
            unsigned s = sample(0);
            keyIndex = depth == 16 ? s >> 8 : depth == 2 ? 5 * (s & 3) : s & ((1u << depth) - 1);
        } else if (colorType == COLOR_RGB && trns->DataSize() >= 6) {
            keyed = true;
            for (int c = 0; c < 3; ++c) {
                unsigned s = sample(c);
                keyBgr[2 - c] = GammaTable[depth == 16 ? s >> 8 : s & 255];
            }
        }
    }
    const bool plain = !keyed && !masked && !paletteAlpha && !pixelAlpha;
    const bool plainCopy = plain && bits == 24 && cstep == 3 && dw == w;
    const bool plainIndexed = plain && bits <= 8 && cstep == 3;
    uint32_t colours[256];
    for (int i = 0; i < 256; ++i)
        colours[i] = uint32_t(h.Palette[i].blue) | uint32_t(h.Palette[i].green) << 8 | uint32_t(h.Palette[i].red) << 16;

    for (int64_t y = y0; y < y1; ++y) {
        const size_t sy = static_cast<size_t>((y - top) * ht / dh);
        const uint8_t* src = h.Scanline(static_cast<uint32_t>(sy));
        const uint8_t* alpha = pixelAlpha ? h.ImageAlpha.data() + sy * size_t(w) : nullptr;
        const uint8_t* mask = masked ? trns->KeyMask.data() + sy * maskRowBytes : nullptr;
        uint8_t* dst = canvas.ScanLine(static_cast<int>(y)) + x0 * cstep;
        if (plainCopy) {
            std::memcpy(dst, src + size_t(columns[0]) * 3, count * 3);
            continue;
        }
        if (plainIndexed) {
            // Four bytes written per pixel, three kept: all but the last pixel.
            for (size_t k = 0; k + 1 < count; ++k, dst += 3) std::memcpy(dst, &colours[IndexAt(src, columns[k], bits)], 4);
            std::memcpy(dst, &colours[IndexAt(src, columns[count - 1], bits)], 3);
            continue;
        }
        for (size_t k = 0; k < count; ++k, dst += cstep) {
            const size_t sx = columns[k];
            if (mask && (mask[sx >> 3] & (0x80u >> (sx & 7)))) continue;
            uint8_t b, g, r;
            unsigned a = 255;
            if (bits == 24) {
                b = src[3 * sx];
                g = src[3 * sx + 1];
                r = src[3 * sx + 2];
                if (keyed && b == keyBgr[0] && g == keyBgr[1] && r == keyBgr[2]) continue;
            } else {
                const unsigned index = IndexAt(src, sx, bits);
                if (keyed && index == keyIndex) continue;
                const TRGBQuad& q = h.Palette[index];
                b = q.blue;
                g = q.green;
                r = q.red;
                if (paletteAlpha) a = trns->PaletteValues[index];
            }
            if (alpha) a = alpha[sx];
            if (a == 255) {
                dst[0] = b;
                dst[1] = g;
                dst[2] = r;
            } else {
                dst[0] = Blend(b, dst[0], a);
                dst[1] = Blend(g, dst[1], a);
                dst[2] = Blend(r, dst[2], a);
            }
        }
    }
}

void TPNGObject::AssignTo(TBitmap& dest) const {
    VTRACE("TPNGObject::AssignTo");
    if (!HeaderPresent()) return;
    const TChunkIHDR& h = GetHeader();
    TPixelFormat f;
    switch (h.DIBBitsPerPixel) {
        case 1: f = TPixelFormat::pf1bit; break;
        case 4: f = TPixelFormat::pf4bit; break;
        case 8: f = TPixelFormat::pf8bit; break;
        case 24: f = TPixelFormat::pf24bit; break;
        default: return;
    }
    const int w = static_cast<int>(h.IHDRData.Width), ht = static_cast<int>(h.IHDRData.Height);
    if (!dest.SetSize(w, ht, f)) RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
    const size_t n = std::min<size_t>(size_t(dest.Stride()), h.BytesPerRow);
    for (int y = 0; y < ht; ++y) std::memcpy(dest.ScanLine(y), h.Scanline(uint32_t(y)), n);
    for (size_t i = 0; i < dest.Palette().size() && i < 256; ++i) dest.Palette()[i] = h.Palette[i];
}

void TPNGObject::AssignHandle(const TBitmap& source, bool transparent, TColor transparentColor) {
    VTRACE("TPNGObject::AssignHandle");
    const int bits = BitsPerPixel(source.PixelFormat());
    const bool palette = bits < 16;
    if (source.Width() > 65535 || source.Height() > 65535) RaiseError<EPNGSizeExceeds>(EPNGSizeExceedsText);
    ClearChunks();
    InitializeGamma();
    auto header = std::make_unique<TChunkIHDR>(this);
    TChunkIHDR& h = *header;
    Chunks.Append(std::move(header));
    if (palette) Chunks.Append(std::make_unique<TChunkPLTE>(this));
    if (transparent) Chunks.Append(std::make_unique<TChunktRNS>(this));
    Chunks.Append(std::make_unique<TChunkIDAT>(this));
    Chunks.Append(std::make_unique<TChunkIEND>(this));
    h.IHDRData.Width = static_cast<uint32_t>(source.Width());
    h.IHDRData.Height = static_cast<uint32_t>(source.Height());
    h.IHDRData.ColorType = palette ? COLOR_PALETTE : COLOR_RGB;
    h.IHDRData.BitDepth = static_cast<uint8_t>(palette ? bits : 8);
    h.IHDRData.CompressionMethod = 0;
    h.IHDRData.FilterMethod = 0;
    h.IHDRData.InterlaceMethod = 0;
    h.PrepareImageData();
    if (palette) {
        Chunks.ItemFromClass<TChunkPLTE>()->Count = 1u << bits;
        for (size_t i = 0; i < source.Palette().size() && i < 256; ++i) h.Palette[i] = source.Palette()[i];
        const size_t n = std::min<size_t>(size_t(source.Stride()), h.BytesPerRow);
        for (int y = 0; y < source.Height(); ++y) std::memcpy(h.Scanline(uint32_t(y)), source.ScanLine(y), n);
    } else {
        const int step = bits / 8;
        for (int y = 0; y < source.Height(); ++y) {
            const uint8_t* s = source.ScanLine(y);
            uint8_t* d = h.Scanline(uint32_t(y));
            for (int x = 0; x < source.Width(); ++x, s += step, d += 3) {
                d[0] = s[0];
                d[1] = s[1];
                d[2] = s[2];
            }
        }
    }
    if (transparent) Chunks.ItemFromClass<TChunktRNS>()->SetTransparentColor(transparentColor);
}

}  // namespace vellicor

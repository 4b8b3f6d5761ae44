// Frames: pixel buffer, bounds, palette, mask and bitmap; the image's first-frame bitmap.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codecs/gif/GIFImage.h"
#include "codecs/gif/GIFPainter.h"
#include "trace/Trace.h"

namespace vellicor {

TGIFSubImage::TGIFSubImage(TGIFImage* image) : TGIFItem(image), FColorMap(this), FExtensions(this) {}

TGIFSubImage::~TGIFSubImage() {
    Clear();
}

void TGIFSubImage::Clear() {
    FExtensions.Clear();
    FColorMap.Clear();
    FreeImage();
    FImageDescriptor.Width = FImageDescriptor.Height = 0;
    FTransparent = false;
    FGCE = nullptr;
    FBitmap.reset();
    FMask.reset();
}

bool TGIFSubImage::GetEmpty() const { return !FData || FDataSize == 0 || Width() == 0 || Height() == 0; }

TGIFVersion TGIFSubImage::GetVersion() const {
    if (FColorMap.Optimized()) return gv89a;
    for (int i = 0; i < FExtensions.GetCount(); ++i)
        if (FExtensions.GetExtension(i)->GetVersion() == gv89a) return gv89a;
    return gv87a;
}

void TGIFSubImage::AllocateImage(bool zeroed) {
    FreeImage();
    const int64_t size = int64_t(Width()) * Height();
    if (size == 0) return;
    // The same pixel limit as a page: a few bytes of header must not claim gigabytes.
    if (size > kMaxBitmapPixels) Error(sBadDimension);
    FData.reset(static_cast<uint8_t*>(zeroed ? std::calloc(size_t(size), 1) : std::malloc(size_t(size))));
    if (!FData) Error(sOutOfMemDIB);
    FDataSize = size;
}

void TGIFSubImage::FreeImage() {
    FData.reset();
    FDataSize = 0;
    FDecodedPixels = 0;
}

void TGIFSubImage::NeedImage() {
    if (!FData) NewImage();
    if (FDataSize == 0) Error(sEmptyImage);
}

int TGIFSubImage::GetBounds(int index) const {
    switch (index) {
        case 1: return Left();
        case 2: return Top();
        case 3: return Width();
        case 4: return Height();
        default: return 0;
    }
}

void TGIFSubImage::SetBounds(int index, int value) {
    switch (index) {
        case 1: DoSetBounds(value, Top(), Width(), Height()); break;
        case 2: DoSetBounds(Left(), value, Width(), Height()); break;
        case 3: DoSetBounds(Left(), Top(), value, Height()); break;
        case 4: DoSetBounds(Left(), Top(), Width(), value); break;
        default: break;
    }
}

void TGIFSubImage::DoSetBounds(int left, int top, int width, int height) {
    auto clip = [](int v) { return uint16_t(std::clamp(v, 0, 0xFFFF)); };
    const bool resized = clip(width) != Width() || clip(height) != Height();
    FImageDescriptor.Left = clip(left);
    FImageDescriptor.Top = clip(top);
    FImageDescriptor.Width = clip(width);
    FImageDescriptor.Height = clip(height);
    if (resized) {
        FBitmap.reset();
        FMask.reset();
        FNeedMask = true;
        NewImage();
    }
    if (!FGIFImage) return;
    bool warned = false;
    if (Left() + Width() > FGIFImage->GetWidth()) {
        if (FGIFImage->GetWidth() > 0) {
            Warning(gsWarning, sBadWidth);
            warned = true;
        }
        FGIFImage->Header().SetWidth(uint16_t(std::min(Left() + Width(), 0xFFFF)));
    }
    if (Top() + Height() > FGIFImage->GetHeight()) {
        if (FGIFImage->GetHeight() > 0) {
            Warning(gsWarning, sBadHeight);
            warned = true;
        }
        FGIFImage->Header().SetHeight(uint16_t(std::min(Top() + Height(), 0xFFFF)));
    }
    if (warned) Warning(gsWarning, sScreenSizeExceeded);
}

TRect TGIFSubImage::GetBoundsRect() const { return {Left(), Top(), Left() + Width(), Top() + Height()}; }

void TGIFSubImage::SetBoundsRect(const TRect& rect) {
    DoSetBounds(rect.Left, rect.Top, rect.Right - rect.Left, rect.Bottom - rect.Top);
}

uint8_t* TGIFSubImage::GetScanline(int row) {
    if (row < 0 || row >= Height()) Error(sBadPixelCoordinates);
    NeedImage();
    return FData.get() + int64_t(row) * Width();
}

uint8_t TGIFSubImage::GetPixel(int x, int y) {
    if (x < 0 || x >= Width()) Error(sBadPixelCoordinates);
    return GetScanline(y)[x];
}

void TGIFSubImage::SetInterlaced(bool value) {
    FImageDescriptor.PackedFields = uint8_t(value ? FImageDescriptor.PackedFields | 0x40
                                                  : FImageDescriptor.PackedFields & ~0x40);
}

TGIFColorMap& TGIFSubImage::GetActiveColorMap() {
    if (FColorMap.Count() == 0 && FGIFImage && FGIFImage->GetColorMap().Count() > 0) return FGIFImage->GetColorMap();
    return FColorMap;
}

HPALETTE TGIFSubImage::GetPalette() {
    if (FBitmap && !FBitmap->Palette().empty()) return PaletteFromQuads(FBitmap->Palette());
    if (FPalette) return FPalette;
    if (FGIFImage && FGIFImage->GetDoDither()) FPalette = WebPalette();
    else if (FColorMap.Count() > 0) FPalette = FColorMap.ExportPalette();
    else return FGIFImage ? FGIFImage->GetPalette() : nullptr;
    return FPalette;
}

void TGIFSubImage::SetPalette(HPALETTE palette) {
    if (palette == FPalette) return;
    FPalette = std::move(palette);
    if (FBitmap && !SamePalette(PaletteFromQuads(FBitmap->Palette()), FPalette)) {
        FBitmap.reset();
        if (FGIFImage) {
            FGIFImage->SetPaletteModified(true);
            FGIFImage->Changed();
        }
    }
}

void TGIFSubImage::SetHasBitmap(bool value) {
    if (value) GetBitmap();
    else FreeBitmap();
}

void TGIFSubImage::FreeMask() {
    FMask.reset();
    FNeedMask = true;
}

bool TGIFSubImage::HasMask() {
    if (FNeedMask && FTransparent) {
        FBitmap.reset();
        GetBitmap();
    }
    return FMask != nullptr;
}

void TGIFSubImage::AssignTo(TBitmap& dest) {
    TBitmap* bitmap = GetBitmap();
    if (bitmap) dest = *bitmap;
    else dest.Clear();
}

TBitmap* TGIFSubImage::GetBitmap() {
    if (FBitmap) return FBitmap.get();
    if (GetEmpty()) return nullptr;
    VTRACE("TGIFSubImage::GetBitmap");
    TGIFImage* image = FGIFImage;
    if (image) image->Progress(psStarting, 0, false, sProgressRendering);
    bool failed = true;
    try {
        FBitmap = (image && image->GetDoDither()) ? DoGetDitherBitmap() : DoGetBitmap();
        failed = false;
    } catch (const EAbort&) {
        FBitmap.reset();
    } catch (...) {
        if (image) image->Progress(psEnding, 0, image->PaletteModified(), sProgressRendering);
        throw;
    }
    if (image) {
        image->Progress(psEnding, failed ? 0 : 100, image->PaletteModified(), sProgressRendering);
        if (image->PaletteModified()) image->Changed();
    }
    return FBitmap.get();
}

namespace {

// The mask's row length: whole 16-bit words.
int MaskRowBytes(int width) { return ((width + 15) / 8) & ~1; }

}  // namespace

void TGIFSubImage::MakeMask(const std::vector<uint8_t>& buffer, int rowBytes) {
    auto mask = std::make_unique<TBitmap>();
    if (!mask->SetSize(Width(), Height(), TPixelFormat::pf1bit)) Error(sOutOfMemDIB);
    mask->Palette()[0] = {0, 0, 0, 0};
    mask->Palette()[1] = {255, 255, 255, 0};
    const size_t n = std::min<size_t>(size_t(rowBytes), size_t(mask->Stride()));
    for (int y = 0; y < Height(); ++y) std::memcpy(mask->ScanLine(y), buffer.data() + size_t(y) * size_t(rowBytes), n);
    FMask = std::move(mask);
}

std::unique_ptr<TBitmap> TGIFSubImage::DoGetBitmap() {
    VTRACE("TGIFSubImage::DoGetBitmap");
    auto bitmap = std::make_unique<TBitmap>();
    if (GetEmpty()) {
        if (!bitmap->SetSize(Width(), Height(), TPixelFormat::pf8bit)) Error(sBadDimension);
        bitmap->Palette() = PaletteToQuads(GetPalette());
        return bitmap;
    }
    const int width = Width(), height = Height();
    TDIBWriter writer(*bitmap, TPixelFormat::pf8bit, width, height, GetPalette());
    const bool makeMask = FNeedMask && FTransparent && !FMask;
    FNeedMask = false;
    const int rowBytes = MaskRowBytes(width);
    std::vector<uint8_t> maskBuffer;
    if (makeMask) maskBuffer.assign(size_t(rowBytes) * size_t(height), 0);
    const uint8_t transparentIndex = FGCE ? FGCE->GetTransparentColorIndex() : 0;
    bool anyTransparent = false;
    const uint8_t* src = FData.get();
    for (int y = 0; y < height; ++y, src += width) {
        if ((y & 31) == 0 && FGIFImage) FGIFImage->Progress(psRunning, int(int64_t(y) * 100 / height), false, sProgressRendering);
        std::memcpy(writer.GetScanline(y), src, size_t(width));
        if (makeMask) {
            uint8_t* m = maskBuffer.data() + size_t(y) * size_t(rowBytes);
            for (int x = 0; x < width; ++x)
                if (src[x] == transparentIndex) {
                    m[x >> 3] |= uint8_t(0x80 >> (x & 7));
                    anyTransparent = true;
                }
        }
    }
    if (makeMask && anyTransparent) MakeMask(maskBuffer, rowBytes);
    writer.Finish();
    return bitmap;
}

std::unique_ptr<TBitmap> TGIFSubImage::DoGetDitherBitmap() {
    VTRACE("TGIFSubImage::DoGetDitherBitmap");
    if (GetEmpty()) return DoGetBitmap();
    auto bitmap = std::make_unique<TBitmap>();
    const int width = Width(), height = Height();
    const HPALETTE palette = GetPalette();
    TNetscapeColorLookup lookup(palette);
    TFloydSteinbergDitherer ditherer(width, lookup);
    TDIBWriter writer(*bitmap, TPixelFormat::pf8bit, width, height, palette);
    TGIFColorMap& colors = GetActiveColorMap();
    // Pixels beyond the table (damaged data) take entry 0, or black without a table.
    TGIFColor table[256] = {};
    for (int i = 0; i < 256; ++i) table[i] = colors.Count() > 0 ? colors.Entry(i < colors.Count() ? i : 0) : TGIFColor{};
    const bool makeMask = FNeedMask && FTransparent && !FMask;
    FNeedMask = false;
    const int rowBytes = MaskRowBytes(width);
    std::vector<uint8_t> maskBuffer;
    if (makeMask) maskBuffer.assign(size_t(rowBytes) * size_t(height), 0);
    const uint8_t transparentIndex = FGCE ? FGCE->GetTransparentColorIndex() : 0;
    uint8_t transparentWeb = 0;
    if (makeMask) {
        uint8_t r, g, b;
        const TGIFColor& c = table[transparentIndex];
        transparentWeb = lookup.Lookup(c.Red, c.Green, c.Blue, r, g, b);
    }
    bool anyTransparent = false;
    for (int y = 0; y < height; ++y) {
        if ((y & 31) == 0 && FGIFImage) FGIFImage->Progress(psRunning, int(int64_t(y) * 100 / height), false, sProgressRendering);
        uint8_t* dst = writer.GetScanline(y);
        const uint8_t* src = FData.get() + int64_t(y) * width;
        uint8_t* m = makeMask ? maskBuffer.data() + size_t(y) * size_t(rowBytes) : nullptr;
        if (makeMask) std::memset(dst, transparentWeb, size_t(width));
        for (int i = 0; i < width; ++i) {
            const int x = ditherer.Column();
            if (makeMask && src[x] == transparentIndex) {
                m[x >> 3] |= uint8_t(0x80 >> (x & 7));
                anyTransparent = true;
                ditherer.Skip();
                continue;
            }
            const TGIFColor& c = table[src[x]];
            uint8_t r, g, b;
            dst[x] = ditherer.Dither(c.Red, c.Green, c.Blue, r, g, b);
        }
        ditherer.NextLine();
    }
    if (makeMask && anyTransparent) MakeMask(maskBuffer, rowBytes);
    writer.Finish();
    return bitmap;
}

TRect TGIFSubImage::ScaleRect(const TRect& rect) const {
    const int sw = FGIFImage ? FGIFImage->GetWidth() : 0;
    const int sh = FGIFImage ? FGIFImage->GetHeight() : 0;
    // Rounded multiply-then-divide; a screen of size 0 maps 1:1 rather than dividing by 0.
    auto scale = [](int64_t v, int64_t num, int64_t den) -> int {
        if (den == 0) return int(v);
        const int64_t p = v * num;
        return int((p + (p >= 0 ? den / 2 : -den / 2)) / den);
    };
    return {rect.Left + scale(Left(), rect.Width(), sw), rect.Top + scale(Top(), rect.Height(), sh),
            rect.Left + scale(Left() + Width(), rect.Width(), sw), rect.Top + scale(Top() + Height(), rect.Height(), sh)};
}

namespace {

// Draws Source (any format) stretched over Dest on a 24- or 32-bit canvas by nearest
// neighbour, clipped to the canvas; where Mask is 1 the canvas stays as it is.
void StretchBlit(TBitmap& canvas, const TRect& dest, const TBitmap& source, const TBitmap* mask) {
    const int dw = dest.Width(), dh = dest.Height();
    if (dw <= 0 || dh <= 0 || source.Empty()) return;
    const int step = canvas.PixelFormat() == TPixelFormat::pf32bit ? 4 : 3;
    const int x0 = std::max(dest.Left, 0), x1 = std::min(dest.Right, canvas.Width());
    const int y0 = std::max(dest.Top, 0), y1 = std::min(dest.Bottom, canvas.Height());
    if (x0 >= x1 || y0 >= y1) return;
    const bool palette = source.PixelFormat() == TPixelFormat::pf8bit;
    const auto& pal = source.Palette();
    for (int y = y0; y < y1; ++y) {
        const int sy = int(int64_t(y - dest.Top) * source.Height() / dh);
        const uint8_t* srow = source.ScanLine(sy);
        const uint8_t* mrow = mask ? mask->ScanLine(sy) : nullptr;
        uint8_t* d = canvas.ScanLine(y) + int64_t(x0) * step;
        for (int x = x0; x < x1; ++x, d += step) {
            const int sx = int(int64_t(x - dest.Left) * source.Width() / dw);
            if (mrow && ((mrow[sx >> 3] >> (7 - (sx & 7))) & 1)) continue;
            if (palette) {
                const unsigned index = srow[sx];
                if (index < pal.size()) d[0] = pal[index].blue, d[1] = pal[index].green, d[2] = pal[index].red;
                else d[0] = d[1] = d[2] = 0;
            } else {
                const TColor c = source.Pixel(sx, sy);
                d[0] = GetBValue(c), d[1] = GetGValue(c), d[2] = GetRValue(c);
            }
        }
    }
}

}  // namespace

void TGIFSubImage::Draw(TBitmap& canvas, const TRect& rect, bool transparent, bool tile) {
    StretchDraw(canvas, tile ? rect : ScaleRect(rect), transparent, tile);
}

void TGIFSubImage::StretchDraw(TBitmap& canvas, const TRect& rect, bool transparent, bool tile) {
    VTRACE("TGIFSubImage::StretchDraw");
    TBitmap* bitmap = GetBitmap();
    if (!bitmap) return;
    if (canvas.PixelFormat() != TPixelFormat::pf24bit && canvas.PixelFormat() != TPixelFormat::pf32bit &&
        !canvas.SetPixelFormat(TPixelFormat::pf24bit))
        return;
    const TBitmap* mask = (transparent && FTransparent && HasMask()) ? FMask.get() : nullptr;
    bitmap = GetBitmap();  // HasMask may have rebuilt it
    if (!bitmap) return;
    if (!tile) {
        StretchBlit(canvas, rect, *bitmap, mask);
        return;
    }
    const int sw = std::max(FGIFImage ? FGIFImage->GetWidth() : 0, 1);
    const int sh = std::max(FGIFImage ? FGIFImage->GetHeight() : 0, 1);
    for (int64_t x = int64_t(rect.Left) + Left(); x < rect.Right; x += sw)
        for (int64_t y = int64_t(rect.Top) + Top(); y < rect.Bottom; y += sh)
            StretchBlit(canvas, {int(x), int(y), int(x) + Width(), int(y) + Height()}, *bitmap, mask);
}

// ---- the image's side ----

bool TGIFImage::GetDoDither() const {
    if (!(FDrawOptions & DrawOption(goDither))) return false;
    if (FDrawOptions & DrawOption(goAutoDither)) return DoAutoDither;
    return true;
}

HPALETTE TGIFImage::GetPalette() {
    if (FPaletteLookup) Error(sNoColorTable);
    FPaletteLookup = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{FPaletteLookup};
    if (FBitmap && !FBitmap->Palette().empty()) return PaletteFromQuads(FBitmap->Palette());
    if (FGlobalPalette) return FGlobalPalette;
    if (GetDoDither()) FGlobalPalette = WebPalette();
    else if (GetColorMap().Count() > 0) FGlobalPalette = GetColorMap().ExportPalette();
    else if (FImages.GetCount() > 0) return FImages.GetImage(0)->GetPalette();
    return FGlobalPalette;
}

void TGIFImage::SetPalette(HPALETTE palette) {
    if (palette == FGlobalPalette) return;
    FGlobalPalette = std::move(palette);
    if (FBitmap && !SamePalette(PaletteFromQuads(FBitmap->Palette()), FGlobalPalette)) {
        FBitmap.reset();
        FPaletteModified = true;
        Changed();
    }
}

void TGIFImage::NewBitmap() {
    if (FBitmap) return;
    auto bitmap = std::make_shared<TBitmap>();
    if (!bitmap->SetSize(GetWidth(), GetHeight(), TPixelFormat::pf24bit)) Error(sBadDimension);
    bitmap->Palette() = PaletteToQuads(GetPalette());
    FBitmap = std::move(bitmap);
}

void TGIFImage::FreeBitmap() {
    PaintStop();
    FBitmap.reset();
}

TBitmap* TGIFImage::GetBitmap() {
    if (GetEmpty()) return nullptr;
    if (FBitmap) return FBitmap.get();
    VTRACE("TGIFImage::GetBitmap");
    TGIFSubImage* frame = FImages.GetImage(0);
    auto bitmap = std::make_shared<TBitmap>();
    if (frame->Width() == GetWidth() && frame->Height() == GetHeight()) {
        if (std::shared_ptr<TBitmap> rendered = frame->SharedBitmap()) bitmap = std::move(rendered);
    } else {
        // The frame lands at its place on a screen-sized picture; the rest is not painted.
        if (int64_t(GetWidth()) * GetHeight() > kMaxBitmapPixels ||
            !bitmap->SetSize(GetWidth(), GetHeight(), TPixelFormat::pf24bit))
            Error(sBadDimension);
        frame->Draw(*bitmap, {0, 0, GetWidth(), GetHeight()}, false, false);
    }
    FBitmap = std::move(bitmap);
    return FBitmap.get();
}

void TGIFImage::AssignTo(TBitmap& dest) {
    VTRACE("TGIFImage::AssignTo");
    TBitmap* bitmap = GetBitmap();
    if (bitmap) dest = *bitmap;
    else dest.Clear();
}

void TGIFImage::Draw(TBitmap& canvas, const TRect& rect) {
    if (FDrawing || GetEmpty()) return;
    FDrawing = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{FDrawing};
    if (FImages.GetCount() == 1 || !(FDrawOptions & DrawOption(goAnimate))) {
        FImages.GetImage(0)->Draw(canvas, rect, FDrawOptions & DrawOption(goTransparent),
                                  FDrawOptions & DrawOption(goTile));
        return;
    }
    const bool direct = FDrawOptions & DrawOption(goDirectDraw);
    auto drawCached = [&] {
        std::lock_guard<std::recursive_mutex> guard(FCanvasLock);
        if (!FBitmap) return;
        if (FDrawOptions & DrawOption(goTile)) {
            for (int x = rect.Left; x < rect.Right; x += std::max(FBitmap->Width(), 1))
                for (int y = rect.Top; y < rect.Bottom; y += std::max(FBitmap->Height(), 1))
                    StretchBlit(canvas, {x, y, x + FBitmap->Width(), y + FBitmap->Height()}, *FBitmap, nullptr);
        } else {
            StretchBlit(canvas, rect, *FBitmap, nullptr);
        }
    };
    if (FBitmap && !direct) {
        drawCached();
        return;
    }
    std::shared_ptr<TGIFPainter> painter;
    {
        std::lock_guard<std::recursive_mutex> guard(FPaintersLock);
        if (FPainter && direct && FPainter->Canvas() == &canvas && FPainter->Rect() == rect && !FPainter->Terminated())
            return;
    }
    StopDraw();
    if (direct) {
        painter = InternalPaint(&FPainter, canvas, rect, FDrawOptions);
        if (painter) painter->Start();
        return;
    }
    {
        // The painter draws on a picture of the image's own: the cached first frame may be
        // shared with the frame, so a new one is made.
        std::lock_guard<std::recursive_mutex> guard(FCanvasLock);
        FBitmap.reset();
        NewBitmap();
        // What the canvas shows under the rectangle, at the picture's scale.
        TBitmap& picture = *FBitmap;
        const int step = canvas.PixelFormat() == TPixelFormat::pf32bit ? 4 : 3;
        if (canvas.PixelFormat() == TPixelFormat::pf24bit || step == 4)
            for (int y = 0; y < picture.Height(); ++y) {
                const int cy = rect.Top + int(int64_t(y) * rect.Height() / std::max(picture.Height(), 1));
                if (cy < 0 || cy >= canvas.Height()) continue;
                uint8_t* d = picture.ScanLine(y);
                for (int x = 0; x < picture.Width(); ++x, d += 3) {
                    const int cx = rect.Left + int(int64_t(x) * rect.Width() / std::max(picture.Width(), 1));
                    if (cx < 0 || cx >= canvas.Width()) continue;
                    const uint8_t* s = canvas.ScanLine(cy) + int64_t(cx) * step;
                    d[0] = s[0], d[1] = s[1], d[2] = s[2];
                }
            }
    }
    painter = InternalPaint(&FPainter, *FBitmap, {0, 0, GetWidth(), GetHeight()}, FDrawOptions);
    if (painter) {
        painter->Start();
        painter->WaitFirstPaint();
    }
    drawCached();
}

}  // namespace vellicor

// Frames and images made from other frames, bitmaps, icons and pictures; the image inside
// other streams and on the clipboard.
#include <algorithm>
#include <cstring>
#include <new>

#include "codecs/gif/GIFImage.h"
#include "platform/Icon.h"
#include "trace/Trace.h"

namespace vellicor {

// ---- frames ----

void TGIFSubImage::Assign(const TGIFSubImage* source) {
    if (source == this) return;
    Clear();
    if (!source || source->GetEmpty()) return;
    VTRACE("TGIFSubImage::Assign");
    FImageDescriptor = source->FImageDescriptor;
    AllocateImage(false);
    std::memcpy(FData.get(), source->FData.get(), size_t(FDataSize));
    FColorMap.Assign(source->FColorMap);
    // Through a stream, so that the copies are this frame's own.
    TMemoryStream buffer;
    const_cast<TGIFExtensionList&>(source->FExtensions).SaveToStream(buffer);
    buffer.SetPosition(0);
    FExtensions.LoadFromStream(buffer, this);
    FTransparent = source->FTransparent && FGCE;
    if (source->FBitmap) FBitmap = std::make_shared<TBitmap>(*source->FBitmap);
}

void TGIFSubImage::SetBitmap(const TBitmap& bitmap) {
    FreeBitmap();
    Assign(&bitmap);
}

void TGIFSubImage::Assign(const TBitmap* source) {
    if (!source) {
        Clear();
        return;
    }
    // The source may be this frame's own cached bitmap, which Clear frees.
    const TBitmap copy = *source;
    Clear();
    if (copy.Empty()) return;
    VTRACE("TGIFSubImage::AssignBitmap");
    DoSetBounds(Left(), Top(), copy.Width(), copy.Height());
    const TPixelFormat format = copy.PixelFormat();
    const bool reduce = format == TPixelFormat::pfDevice || BitsPerPixel(format) > 8;
    if (reduce) {
        const TColorReduction reduction = FGIFImage ? FGIFImage->ColorReduction : GIFImageDefaultColorReduction;
        const TDitherMode dither = FGIFImage ? FGIFImage->DitherMode : GIFImageDefaultDitherMode;
        const int bits = FGIFImage ? FGIFImage->GetReductionBits() : GIFImageDefaultColorReductionBits;
        FBitmap = std::shared_ptr<TBitmap>(ReduceColors(copy, reduction, dither, bits, nullptr));
    } else {
        FBitmap = std::make_shared<TBitmap>(copy);
    }
    NeedImage();
    if (FGIFImage) FGIFImage->Progress(psStarting, 0, false, sProgressConverting);
    try {
        TPixelFormat readAs = FBitmap->PixelFormat();
        if (readAs != TPixelFormat::pf1bit && readAs != TPixelFormat::pf4bit && readAs != TPixelFormat::pf8bit)
            readAs = TPixelFormat::pf24bit;
        TDIBReader reader(*FBitmap, readAs);
        const int width = Width(), height = Height();
        if (readAs != TPixelFormat::pf24bit) FColorMap.ImportDIBColors(*FBitmap);
        // The last 8 distinct colours met, most recent at Last.
        TGIFColor recent[8];
        uint8_t recentIndex[8] = {};
        int filled = 0, last = -1;
        for (int y = 0; y < height; ++y) {
            if ((y & 31) == 0 && FGIFImage)
                FGIFImage->Progress(psRunning, int(int64_t(y) * 100 / height), false, sProgressConverting);
            const uint8_t* src = reader.GetScanline(y);
            uint8_t* dst = FData.get() + int64_t(y) * width;
            switch (readAs) {
            case TPixelFormat::pf8bit: std::memcpy(dst, src, size_t(width)); break;
            case TPixelFormat::pf4bit:
                for (int x = 0; x < width; ++x) dst[x] = (x & 1) ? src[x >> 1] & 15 : src[x >> 1] >> 4;
                break;
            case TPixelFormat::pf1bit:
                for (int x = 0; x < width; ++x) dst[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
                break;
            default:
                for (int x = 0; x < width; ++x, src += 3) {
                    const TGIFColor c{src[2], src[1], src[0]};
                    int hit = -1;
                    for (int k = 0, slot = last; k < filled; ++k, slot = (slot + 7) % 8)
                        if (recent[slot] == c) {
                            hit = slot;
                            break;
                        }
                    if (hit < 0) {
                        last = (last + 1) % 8;
                        recent[last] = c;
                        recentIndex[last] = uint8_t(FColorMap.AddUnique(c));  // more than 256: overflow
                        filled = std::min(filled + 1, 8);
                        hit = last;
                    }
                    dst[x] = recentIndex[hit];
                }
                break;
            }
        }
    } catch (...) {
        if (FGIFImage) FGIFImage->Progress(psEnding, 0, false, sProgressConverting);
        throw;
    }
    if (FGIFImage) FGIFImage->Progress(psEnding, 100, false, sProgressConverting);
}

void TGIFSubImage::ImportTransparencyMask(const TBitmap& mask) {
    FColorMap.Optimize();
    if (FColorMap.Count() == 0 || FColorMap.Count() >= 256) return;
    const int index = FColorMap.Add({0, 0, 0});
    bool any = false;
    const int w = std::min(Width(), mask.Width()), h = std::min(Height(), mask.Height());
    for (int y = 0; y < h; ++y) {
        uint8_t* row = FData.get() + int64_t(y) * Width();
        for (int x = 0; x < w; ++x)
            if ((mask.Pixel(x, y) & 0xFFFFFF) != 0) {
                row[x] = uint8_t(index);
                any = true;
            }
    }
    if (!any) {
        FColorMap.Delete(index);
        return;
    }
    auto gce = std::make_unique<TGIFGraphicControlExtension>(this);
    TGIFGraphicControlExtension* g = gce.get();
    FExtensions.Add(std::move(gce));
    g->SetTransparentColorIndex(uint8_t(index));
    g->SetTransparent(true);
    FBitmap.reset();
    FreeMask();
}

void TGIFSubImage::Assign(const TIcon* source) {
    if (!source) {
        Clear();
        return;
    }
    Clear();
    if (source->Empty()) return;
    TBitmap bitmap;
    if (!bitmap.SetSize(source->Width(), source->Height(), TPixelFormat::pf24bit)) Error(sBadDimension);
    source->Draw(bitmap, 0, 0);
    Assign(&bitmap);
    ImportTransparencyMask(source->Mask());
}

void TGIFSubImage::Assign(const TPicture* source) {
    if (!source || source->Empty()) Clear();
    else if (source->Bitmap()) Assign(source->Bitmap());
    else Assign(source->Icon());
}

// ---- images ----

int TGIFImage::Add(const TBitmap& bitmap) {
    auto frame = std::make_unique<TGIFSubImage>(this);
    frame->Assign(&bitmap);
    return Add(std::move(frame));
}

int TGIFImage::Add(const TIcon& icon) {
    auto frame = std::make_unique<TGIFSubImage>(this);
    frame->Assign(&icon);
    return Add(std::move(frame));
}

void TGIFImage::Assign(const TGIFImage* source) {
    if (source == this) return;
    Clear();
    if (!source) return;
    VTRACE("TGIFImage::Assign");
    // The copy reports to the source's handlers; this image keeps its own afterwards.
    const TProgressEvent ownProgress = OnProgress;
    const TGIFWarning ownWarning = OnWarning;
    OnProgress = source->OnProgress;
    OnWarning = source->OnWarning;
    struct Restore {
        TGIFImage& image;
        const TProgressEvent& progress;
        const TGIFWarning& warning;
        ~Restore() {
            image.OnProgress = progress;
            image.OnWarning = warning;
        }
    } restore{*this, ownProgress, ownWarning};
    Progress(psStarting, 0, false, sProgressCopying);
    try {
        FHeader.Assign(source->FHeader);
        ThreadPriority = source->ThreadPriority;
        DrawBackgroundColor = source->DrawBackgroundColor;
        FDrawOptions = source->FDrawOptions;
        ColorReduction = source->ColorReduction;
        FReductionBits = source->FReductionBits;
        DitherMode = source->DitherMode;
        Compression = source->Compression;
        const int count = source->FImages.GetCount();
        for (int i = 0; i < count; ++i) {
            auto frame = std::make_unique<TGIFSubImage>(this);
            frame->Assign(source->FImages.GetImage(i));
            Add(std::move(frame));
            Progress(psRunning, (i + 1) * 100 / count, false, sProgressCopying);
        }
    } catch (...) {
        Progress(psEnding, 0, true, sProgressCopying);
        throw;
    }
    Progress(psEnding, 100, true, sProgressCopying);
}

void TGIFImage::Assign(const TBitmap* source) {
    Clear();
    if (source) Add(*source);
}

void TGIFImage::Assign(const TIcon* source) {
    Clear();
    if (source) Add(*source);
}

void TGIFImage::Assign(const TPicture* source) {
    Clear();
    if (!source || source->Empty()) return;
    auto frame = std::make_unique<TGIFSubImage>(this);
    frame->Assign(source);
    Add(std::move(frame));
}

void TGIFImage::WriteData(TStream& stream) {
    if (GIFImageOptimizeOnStream)
        Optimize(OptimizeOption(ooCrop) | OptimizeOption(ooMerge) | OptimizeOption(ooCleanup) |
                     OptimizeOption(ooColorMap) | OptimizeOption(ooReduceColors),
                 rmNone, dmNearest, 8);
    SaveToStream(stream);
}

// ---- clipboard ----

void TGIFImage::SaveToClipboardFormat(TClipboardFormat& format, TClipboardHandle& data, HPALETTE& palette) {
    VTRACE("TGIFImage::SaveToClipboardFormat");
    if (GetEmpty()) return;
    TBitmap* bitmap = GetBitmap();
    if (bitmap) {
        auto block = std::make_shared<TClipboardData>();
        block->Bitmap = std::make_shared<TBitmap>(*bitmap);
        format = CF_BITMAP;
        data = std::move(block);
        palette = PaletteFromQuads(bitmap->Palette());
    }
    std::shared_ptr<TClipboardData> gif;
    try {
        TMemoryStream stream;
        SaveToStream(stream);
        gif = std::make_shared<TClipboardData>();
        gif->Bytes.assign(stream.Memory(), stream.Memory() + stream.Size());
    } catch (const std::bad_alloc&) {
        return;  // no memory for the copy: nothing is placed
    }
    if (!Clipboard().SetData(CF_GIF, std::move(gif))) Error(sFailedPaste);
}

void TGIFImage::LoadFromClipboardFormat(TClipboardFormat format, TClipboardHandle data, const HPALETTE& palette) {
    VTRACE("TGIFImage::LoadFromClipboardFormat");
    if (!data) data = Clipboard().GetData(format);
    if (data && format == CF_GIF) {
        TByteViewStream stream(data->Bytes.data(), int64_t(data->Bytes.size()));
        LoadFromStream(stream);
    } else if (data && format == CF_BITMAP && data->Bitmap) {
        TBitmap bitmap = *data->Bitmap;
        if (palette && BitsPerPixel(bitmap.PixelFormat()) <= 8) bitmap.Palette() = PaletteToQuads(palette);
        Assign(&bitmap);
    } else {
        Error(sUnsupportedClipboardFormat);
    }
}

}  // namespace vellicor

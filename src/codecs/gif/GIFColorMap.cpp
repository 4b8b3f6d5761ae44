// Colour tables: the global one of the header and the local ones of frames.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "codecs/gif/GIFImage.h"
#include "trace/Trace.h"

namespace vellicor {

void TGIFColorMap::Clear() {
    FColors.clear();
    FColors.shrink_to_fit();
    FCount = FCapacity = 0;
    FOptimized = false;
}

void TGIFColorMap::LoadFromStream(TStream& stream, int count) {
    Clear();
    count = std::clamp(count, 0, 256);
    SetCapacity(count);
    ReadCheck(stream, FColors.data(), int64_t(count) * 3);
    FCount = count;
}

void TGIFColorMap::SaveToStream(TStream& stream) const {
    if (FCount == 0) return;
    const int total = 1 << GetBitsPerPixel();
    std::vector<TGIFColor> out(static_cast<size_t>(total));
    std::copy(FColors.begin(), FColors.begin() + FCount, out.begin());
    if (!stream.WriteBuffer(out.data(), int64_t(total) * 3)) Error(sInvalidStream);
}

void TGIFColorMap::SetCapacity(int size) {
    if (size < FCapacity) return;
    int capacity = size <= 16 ? 16 : (size + 31) / 32 * 32;
    capacity = std::min(capacity, 256);
    FColors.resize(size_t(capacity));
    FCapacity = capacity;
}

int TGIFColorMap::Add(const TGIFColor& color) {
    if (FCount >= 256) Error(sTooManyColors);
    if (FCount >= FCapacity) SetCapacity(FCount + 1);
    FColors[size_t(FCount)] = color;
    FOptimized = false;
    ++FCount;
    Changed();
    return FCount - 1;
}

int TGIFColorMap::AddUnique(const TGIFColor& color) {
    int index = IndexOf(color);
    return index >= 0 ? index : Add(color);
}

int TGIFColorMap::IndexOf(const TGIFColor& color) const {
    if (FOptimized) {
        for (int i = 0; i < FCount; ++i)
            if (FColors[size_t(i)] == color) return i;
    } else {
        for (int i = FCount - 1; i >= 0; --i)
            if (FColors[size_t(i)] == color) return i;
    }
    return -1;
}

void TGIFColorMap::Delete(int index) {
    if (index < 0 || index >= FCount) Error(sBadColorIndex);
    std::copy(FColors.begin() + index + 1, FColors.begin() + FCount, FColors.begin() + index);
    --FCount;
    FOptimized = false;
    Changed();
}

TColor TGIFColorMap::GetColor(int index) {
    if (index < 0 || index >= FCount) {
        Warning(gsWarning, sBadColorIndex);
        if (FCount == 0) Error(sEmptyColorMap);
        index = 0;
    }
    return GIFColorToColor(FColors[size_t(index)]);
}

void TGIFColorMap::SetColor(int index, TColor color) {
    if (index < 0 || index >= FCount) Error(sBadColorIndex);
    FColors[size_t(index)] = ColorToGIFColor(color);
    Changed();
}

void TGIFColorMap::ImportPalette(const HPALETTE& palette) {
    Clear();
    const int n = std::min(PaletteEntryCount(palette), 256);
    if (n == 0) return;
    SetCapacity(n);
    for (int i = 0; i < n; ++i) {
        const TPaletteEntry& e = (*palette)[size_t(i)];
        FColors[size_t(i)] = {e.peRed, e.peGreen, e.peBlue};
    }
    FCount = n;
    Changed();
}

void TGIFColorMap::ImportColorMap(const TGIFColor* map, int count) {
    Clear();
    count = std::clamp(count, 0, 256);
    if (count == 0) return;
    SetCapacity(count);
    std::copy(map, map + count, FColors.begin());
    FCount = count;
    Changed();
}

void TGIFColorMap::ImportColorTable(const TRGBQuad* table, int count) {
    Clear();
    count = std::clamp(count, 0, 256);
    if (count == 0) return;
    SetCapacity(count);
    for (int i = 0; i < count; ++i) FColors[size_t(i)] = {table[i].red, table[i].green, table[i].blue};
    FCount = count;
    Changed();
}

void TGIFColorMap::ImportDIBColors(const TBitmap& bitmap) {
    const auto& pal = bitmap.Palette();
    Clear();
    ImportColorTable(pal.data(), std::min<int>(static_cast<int>(pal.size()), 256));
    if (pal.empty()) Changed();
}

HPALETTE TGIFColorMap::ExportPalette() const {
    if (FCount == 0) return nullptr;
    std::vector<TPaletteEntry> entries;
    entries.reserve(size_t(FCount));
    for (int i = 0; i < FCount; ++i) {
        const TGIFColor& c = FColors[size_t(i)];
        entries.push_back({c.Red, c.Green, c.Blue, PC_NOCOLLAPSE});
    }
    return CreatePalette(std::move(entries));
}

void TGIFColorMap::Assign(const TGIFColorMap& source) {
    if (&source == this) return;
    Clear();
    FColors = source.FColors;
    FCapacity = source.FCapacity;
    FCount = source.FCount;
    FOptimized = source.FOptimized;
    Changed();
}

bool TGIFColorMap::DoOptimize() {
    VTRACE("TGIFColorMap::DoOptimize");
    if (FCount < 2) return false;
    FOptimized = true;
    TUsageCount histogram[256];
    for (int i = 0; i < 256; ++i) histogram[i] = {0, i};
    BuildHistogram(histogram);
    std::sort(histogram, histogram + FCount, [](const TUsageCount& a, const TUsageCount& b) { return a.Count > b.Count; });
    bool unchanged = true;
    for (int i = 0; i < FCount && unchanged; ++i) unchanged = histogram[i].Index == i;
    if (unchanged) return true;
    uint8_t map[256];
    for (int i = 0; i < 256; ++i) map[i] = uint8_t(i);
    for (int n = 0; n < FCount; ++n) map[histogram[n].Index] = uint8_t(n);
    MapImages(map);
    std::vector<TGIFColor> old = FColors;
    for (int n = 0; n < FCount; ++n) FColors[size_t(n)] = old[size_t(histogram[n].Index)];
    for (int n = 0; n < FCount; ++n)
        if (histogram[n].Count == 0) {
            FCount = n;
            break;
        }
    Changed();
    return true;
}

// ---- global map ----

void TGIFGlobalColorMap::Warning(TGIFSeverity severity, const std::string& message) {
    if (FHeader->Image()) FHeader->Image()->Warning(this, severity, message);
}

void TGIFGlobalColorMap::BuildHistogram(TUsageCount* histogram) {
    TGIFImage* image = FHeader->Image();
    if (!image) return;
    for (int f = 0; f < image->Images().GetCount(); ++f) {
        TGIFSubImage* frame = image->Images().GetImage(f);
        if (&frame->GetActiveColorMap() != this || !frame->Data()) continue;
        const uint8_t* p = frame->Data();
        for (int64_t i = 0; i < frame->DataSize(); ++i) ++histogram[p[i]].Count;
    }
}

namespace {
void MapFrame(TGIFSubImage& frame, const uint8_t* map) {
    uint8_t* p = frame.Data();
    for (int64_t i = 0; p && i < frame.DataSize(); ++i) p[i] = map[p[i]];
    if (frame.Transparent() && frame.GraphicControlExtension()) {
        TGIFGraphicControlExtension* gce = frame.GraphicControlExtension();
        gce->SetTransparentColorIndex(map[gce->GetTransparentColorIndex()]);
    }
}
}  // namespace

void TGIFGlobalColorMap::MapImages(const uint8_t* map) {
    TGIFImage* image = FHeader->Image();
    if (!image) return;
    for (int f = 0; f < image->Images().GetCount(); ++f) {
        TGIFSubImage* frame = image->Images().GetImage(f);
        if (&frame->GetActiveColorMap() == this) MapFrame(*frame, map);
    }
}

bool TGIFGlobalColorMap::Optimize() {
    TGIFImage* image = FHeader->Image();
    if (!image || image->GetEmpty()) return false;
    return DoOptimize();
}

void TGIFGlobalColorMap::Changed() {
    if (FHeader->Image()) FHeader->Image()->SetPalette(nullptr);
}

// ---- local map ----

void TGIFLocalColorMap::Warning(TGIFSeverity severity, const std::string& message) {
    if (FSubImage->Image()) FSubImage->Image()->Warning(this, severity, message);
}

void TGIFLocalColorMap::BuildHistogram(TUsageCount* histogram) {
    const uint8_t* p = FSubImage->Data();
    for (int64_t i = 0; p && i < FSubImage->DataSize(); ++i) ++histogram[p[i]].Count;
}

void TGIFLocalColorMap::MapImages(const uint8_t* map) { MapFrame(*FSubImage, map); }

bool TGIFLocalColorMap::Optimize() { return DoOptimize(); }

void TGIFLocalColorMap::Changed() { FSubImage->SetPalette(nullptr); }

// ---- header ----

TGIFHeader::TGIFHeader(TGIFImage* image) : TGIFItem(image), FColorMap(this) {}

void TGIFHeader::Clear() {
    FColorMap.Clear();
    FWidth = FHeight = 0;
    FPackedFields = FBackgroundColorIndex = FAspectRatio = 0;
}

void TGIFHeader::Prepare() {
    uint8_t packed = 0;
    if (FColorMap.Count() > 0) {
        packed |= 0x80;
        if (FColorMap.Optimized()) packed |= 0x08;
    }
    // The size field describes the table that is written, not the widest frame.
    const int bits = (FColorMap.Count() > 0 || !FGIFImage) ? GetBitsPerPixel() : FGIFImage->GetBitsPerPixel();
    const int resolution = FGIFImage ? FGIFImage->GetColorResolution() : GetColorResolution();
    packed |= uint8_t((resolution * 16) & 0x70);
    packed |= uint8_t((bits - 1) & 7);
    FPackedFields = packed;
}

TGIFVersion TGIFHeader::GetVersion() const {
    return (FColorMap.Optimized() || FAspectRatio != 0) ? gv89a : gv87a;
}

TColor TGIFHeader::GetBackgroundColor() { return FColorMap.GetColor(FBackgroundColorIndex); }

void TGIFHeader::SetBackgroundColor(TColor color) {
    SetBackgroundColorIndex(uint8_t(FColorMap.AddUnique(ColorToGIFColor(color))));
}

void TGIFHeader::SetBackgroundColorIndex(uint8_t index) {
    if (index >= FColorMap.Count() && FColorMap.Count() > 0) {
        Warning(gsWarning, sBadColorIndex);
        index = 0;
    }
    FBackgroundColorIndex = index;
}

void TGIFHeader::Assign(const TGIFHeader& source) {
    if (&source == this) return;
    FColorMap.Assign(source.FColorMap);
    FWidth = source.FWidth;
    FHeight = source.FHeight;
    FPackedFields = source.FPackedFields;
    FBackgroundColorIndex = source.FBackgroundColorIndex;
    FAspectRatio = source.FAspectRatio;
}

void TGIFHeader::Assign(const TGIFColorMap& source) {
    Clear();
    FColorMap.Assign(source);
}

void TGIFHeader::SaveToStream(TStream& stream) {
    const TGIFVersion version = FGIFImage ? FGIFImage->GetVersion() : GetVersion();
    if (version == gvUnknown) Error(sBadVersion);
    std::string signature = std::string("GIF") + GIFVersions[version];
    if (!stream.WriteBuffer(signature.data(), 6)) Error(sInvalidStream);
    Prepare();
    const uint8_t lsd[7] = {uint8_t(FWidth), uint8_t(FWidth >> 8), uint8_t(FHeight), uint8_t(FHeight >> 8),
                            FPackedFields, FBackgroundColorIndex, FAspectRatio};
    if (!stream.WriteBuffer(lsd, 7)) Error(sInvalidStream);
    if (FPackedFields & 0x80) FColorMap.SaveToStream(stream);
}

void TGIFHeader::LoadFromStream(TStream& stream) {
    VTRACE("TGIFHeader::LoadFromStream");
    const int64_t start = stream.Position();
    char signature[6];
    ReadCheck(stream, signature, 6);
    auto isGif = [&] {
        return std::toupper(uint8_t(signature[0])) == 'G' && std::toupper(uint8_t(signature[1])) == 'I' &&
               std::toupper(uint8_t(signature[2])) == 'F';
    };
    if (!isGif()) {
        // A GIF preceded by a 4-byte length.
        stream.SetPosition(start + 4);
        ReadCheck(stream, signature, 6);
        if (!isGif()) Error(sBadSignature);
    }
    uint8_t lsd[7];
    ReadCheck(stream, lsd, 7);
    FWidth = uint16_t(lsd[0] | lsd[1] << 8);
    FHeight = uint16_t(lsd[2] | lsd[3] << 8);
    FPackedFields = lsd[4];
    FBackgroundColorIndex = lsd[5];
    FAspectRatio = lsd[6];
    if (FPackedFields & 0x80) FColorMap.LoadFromStream(stream, 2 << (FPackedFields & 7));
    else FColorMap.Clear();
}

}  // namespace vellicor

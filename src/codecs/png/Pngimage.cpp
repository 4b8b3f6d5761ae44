#include "codecs/png/Pngimage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

#include <zlib.h>

#include "trace/Trace.h"

namespace vellicor {

using namespace pnglang;

namespace {

constexpr uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

uint32_t GetBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
void PutBE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

bool NameIs(const TChunkName& name, const char* text) { return std::memcmp(name.data(), text, 4) == 0; }

int64_t Remaining(TStream& s) {
    int64_t pos = s.Position();
    int64_t size = s.Size();
    return pos < 0 || size < pos ? 0 : size - pos;
}

struct TRegisteredChunk {
    std::string name;
    TChunkFactory factory;
};

std::mutex g_registryLock;

std::vector<TRegisteredChunk>& Registry() {
    static std::vector<TRegisteredChunk> registry = [] {
        std::vector<TRegisteredChunk> r;
        auto add = [&r](const char* name, TChunkFactory f) { r.push_back({name, std::move(f)}); };
        add(TChunkIEND::GetName(), [](TPNGObject* o) -> TChunk* { return new TChunkIEND(o); });
        add(TChunkIHDR::GetName(), [](TPNGObject* o) -> TChunk* { return new TChunkIHDR(o); });
        add(TChunkIDAT::GetName(), [](TPNGObject* o) -> TChunk* { return new TChunkIDAT(o); });
        add(TChunkPLTE::GetName(), [](TPNGObject* o) -> TChunk* { return new TChunkPLTE(o); });
        add(TChunkgAMA::GetName(), [](TPNGObject* o) -> TChunk* { return new TChunkgAMA(o); });
        add(TChunktRNS::GetName(), [](TPNGObject* o) -> TChunk* { return new TChunktRNS(o); });
        add(TChunktIME::GetName(), [](TPNGObject* o) -> TChunk* { return new TChunktIME(o); });
        add(TChunktEXt::GetName(), [](TPNGObject* o) -> TChunk* { return new TChunktEXt(o); });
        return r;
    }();
    return registry;
}

// The registered class for a name, or a base chunk.
std::unique_ptr<TChunk> CreateChunkByName(TPNGObject* owner, const TChunkName& name) {
    std::lock_guard<std::mutex> lock(g_registryLock);
    for (const auto& r : Registry())
        if (r.name.size() == 4 && NameIs(name, r.name.c_str())) return std::unique_ptr<TChunk>(r.factory(owner));
    return std::make_unique<TChunk>(owner);
}

}  // namespace

void RegisterChunk(const char* name, TChunkFactory factory) {
    std::lock_guard<std::mutex> lock(g_registryLock);
    Registry().push_back({name, std::move(factory)});
}

uint32_t PngCrc(uint32_t crc, const void* data, size_t size) {
    const auto* p = static_cast<const Bytef*>(data);
    while (size > 0) {  // zlib takes the length as a 32-bit count
        uInt n = size > 0x40000000u ? 0x40000000u : static_cast<uInt>(size);
        crc = static_cast<uint32_t>(crc32(crc, p, n));
        p += n;
        size -= n;
    }
    return crc;
}

uint64_t PngRowBytes(uint8_t colorType, uint8_t bitDepth, uint64_t n) {
    switch (colorType) {
        case COLOR_GRAYSCALE:
        case COLOR_PALETTE: return (n * bitDepth + 7) / 8;
        case COLOR_RGB: return (3 * n * bitDepth + 7) / 8;
        case COLOR_GRAYSCALEALPHA: return (2 * n * bitDepth + 7) / 8;
        case COLOR_RGBALPHA: return (4 * n * bitDepth + 7) / 8;
        default: return 0;
    }
}

// ---------------------------------------------------------------------------------------
// TChunk

TChunk::TChunk(TPNGObject* owner, const char* name) : owner_(owner), data_(1, 0) {
    if (std::strlen(name) == 4) std::memcpy(ChunkName.data(), name, 4);
}

TChunk* TChunk::NewOfSameClass(TPNGObject* owner) const { return new TChunk(owner); }

void TChunk::CheckSameClass(const TChunk& source) const {
    if (typeid(source) != typeid(*this)) TPNGObject::RaiseError<EPngError>(EPNGCannotAssignChunkText);
}

void TChunk::Assign(const TChunk& source) {
    CheckSameClass(source);
    ChunkName = source.ChunkName;
    ResizeData(source.DataSize());
    if (source.DataSize() > 0) std::memcpy(Data(), source.Data(), source.DataSize());
}

void TChunk::ResizeData(uint32_t size) {
    try {
        data_.resize(size_t(size) + 1);
    } catch (const std::bad_alloc&) {
        TPNGObject::RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
    }
    dataSize_ = size;
}

bool TChunk::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    ChunkName = name;
    // The length comes from the file: nothing is allocated for more than the stream holds.
    if (int64_t(size) > Remaining(stream)) TPNGObject::RaiseError<EPngUnexpectedEnd>(EPNGUnexpectedEndText);
    ResizeData(size);
    if (size > 0 && stream.Read(Data(), size) != int64_t(size))
        TPNGObject::RaiseError<EPngUnexpectedEnd>(EPNGUnexpectedEndText);
    uint8_t crcBytes[4];
    if (stream.Read(crcBytes, 4) != 4) TPNGObject::RaiseError<EPngUnexpectedEnd>(EPNGUnexpectedEndText);
    uint32_t crc = PngCrc(PngCrc(0, name.data(), 4), Data(), size);
    if (crc != GetBE32(crcBytes)) TPNGObject::RaiseError<EPngInvalidCRC>(EPngInvalidCRCText);
    return true;
}

void TChunk::WriteChunk(TStream& stream, const TChunkName& name, const uint8_t* data, uint32_t size) {
    uint8_t head[8];
    PutBE32(head, size);
    std::memcpy(head + 4, name.data(), 4);
    uint8_t crc[4];
    PutBE32(crc, PngCrc(PngCrc(0, name.data(), 4), data, size));
    if (!stream.WriteBuffer(head, 8) || (size > 0 && !stream.WriteBuffer(data, size)) || !stream.WriteBuffer(crc, 4))
        throw std::runtime_error("Stream write error");
}

bool TChunk::SaveToStream(TStream& stream) {
    WriteChunk(stream, ChunkName, Data(), DataSize());
    return true;
}

int TChunk::GetIndex() const { return owner_ ? owner_->Chunks.IndexOf(this) : -1; }

TChunkIHDR& TChunk::GetHeader() const {
    if (!owner_) TPNGObject::RaiseError<EPNGHeaderNotPresent>(EPNGHeaderNotPresentText);
    return owner_->GetHeader();
}

// ---------------------------------------------------------------------------------------
// TChunkIHDR

TChunkIHDR::TChunkIHDR(TPNGObject* owner) : TChunk(owner, GetName()) {}

namespace {
bool ValidColorAndDepth(uint8_t colorType, uint8_t depth) {
    switch (colorType) {
        case COLOR_GRAYSCALE: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
        case COLOR_PALETTE: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
        case COLOR_RGB:
        case COLOR_GRAYSCALEALPHA:
        case COLOR_RGBALPHA: return depth == 8 || depth == 16;
        default: return false;
    }
}
}  // namespace

bool TChunkIHDR::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    VTRACE("TChunkIHDR::LoadFromStream");
    if (!TChunk::LoadFromStream(stream, name, size)) return false;
    if (DataSize() < 13) TPNGObject::RaiseError<EPngInvalidIHDR>(EPNGInvalidIHDRText);
    const uint8_t* d = Data();
    IHDRData.Width = GetBE32(d);
    IHDRData.Height = GetBE32(d + 4);
    IHDRData.BitDepth = d[8];
    IHDRData.ColorType = d[9];
    IHDRData.CompressionMethod = d[10];
    IHDRData.FilterMethod = d[11];
    IHDRData.InterlaceMethod = d[12];
    if (IHDRData.Width > 65535 || IHDRData.Height > 65535)
        TPNGObject::RaiseError<EPNGSizeExceeds>(EPNGSizeExceedsText);
    if (IHDRData.CompressionMethod != 0) TPNGObject::RaiseError<EPNGUnknownCompression>(EPNGUnknownCompressionText);
    if (IHDRData.InterlaceMethod > 1) TPNGObject::RaiseError<EPNGUnknownInterlace>(EPNGUnknownInterlaceText);
    // An empty picture, or a colour type and depth no row conversion exists for, cannot
    // be decoded: refused here rather than drawn as nothing.
    if (IHDRData.Width == 0 || IHDRData.Height == 0 || !ValidColorAndDepth(IHDRData.ColorType, IHDRData.BitDepth))
        TPNGObject::RaiseError<EPngInvalidIHDR>(EPNGInvalidIHDRText);
    Owner()->InterlaceMethod = static_cast<TInterlaceMethod>(IHDRData.InterlaceMethod);
    // Plain rows are written whole by the image data, which clears what it does not reach;
    // a page decode writes onto the page and needs no picture here.
    PrepareImageData(IHDRData.InterlaceMethod != 0, Owner()->PageTarget() == nullptr);
    return true;
}

bool TChunkIHDR::SaveToStream(TStream& stream) {
    if (IHDRData.BitDepth == 2) IHDRData.BitDepth = 4;  // the picture holds 4-bit pixels
    uint8_t d[13];
    PutBE32(d, IHDRData.Width);
    PutBE32(d + 4, IHDRData.Height);
    d[8] = IHDRData.BitDepth;
    d[9] = IHDRData.ColorType;
    d[10] = IHDRData.CompressionMethod;
    d[11] = IHDRData.FilterMethod;
    d[12] = Owner() ? static_cast<uint8_t>(Owner()->InterlaceMethod) : IHDRData.InterlaceMethod;
    WriteChunk(stream, ChunkName, d, 13);
    return true;
}

void TChunkIHDR::FreeImageData() {
    ImageData.clear();
    ImageData.shrink_to_fit();
    ImageAlpha.clear();
    ImageAlpha.shrink_to_fit();
}

void TChunkIHDR::PrepareImageData(bool zero, bool allocate) {
    VTRACE("TChunkIHDR::PrepareImageData");
    Palette.fill(TRGBQuad{});
    FreeImageData();
    HasPalette = false;
    DIBBitsPerPixel = 0;
    BytesPerRow = 0;
    switch (IHDRData.ColorType) {
        case COLOR_RGB:
        case COLOR_RGBALPHA: DIBBitsPerPixel = 24; break;
        case COLOR_GRAYSCALE:
        case COLOR_PALETTE:
        case COLOR_GRAYSCALEALPHA:
            switch (IHDRData.BitDepth) {
                case 1:
                case 4:
                case 8: DIBBitsPerPixel = IHDRData.BitDepth; break;
                case 2: DIBBitsPerPixel = 4; break;
                case 16: DIBBitsPerPixel = 8; break;
                default: break;
            }
            HasPalette = DIBBitsPerPixel != 0;
            break;
        default: break;
    }
    if (DIBBitsPerPixel == 0) return;
    const uint64_t w = IHDRData.Width, h = IHDRData.Height;
    // The page bitmap's limit holds here already, before anything is allocated.
    if (w * h > uint64_t(kMaxBitmapPixels)) TPNGObject::RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
    BytesPerRow = static_cast<uint32_t>(((DIBBitsPerPixel * w + 31) & ~uint64_t(31)) / 8);
    if (!allocate) return;
    try {
        const bool alpha = IHDRData.ColorType == COLOR_GRAYSCALEALPHA || IHDRData.ColorType == COLOR_RGBALPHA;
        ImageData.resize(size_t(BytesPerRow) * h);
        if (alpha) ImageAlpha.resize(size_t(w * h));
        if (zero) {
            std::memset(ImageData.data(), 0, ImageData.size());
            if (alpha) std::memset(ImageAlpha.data(), 0, ImageAlpha.size());
        }
    } catch (const std::bad_alloc&) {
        FreeImageData();
        TPNGObject::RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
    }
}

void TChunkIHDR::Assign(const TChunk& source) {
    CheckSameClass(source);
    const auto& s = static_cast<const TChunkIHDR&>(source);
    IHDRData = s.IHDRData;
    PrepareImageData();
    if (ImageData.size() == s.ImageData.size()) ImageData = s.ImageData;
    if (ImageAlpha.size() == s.ImageAlpha.size()) ImageAlpha = s.ImageAlpha;
    Palette = s.Palette;
}

// ---------------------------------------------------------------------------------------
// TChunkPLTE

bool TChunkPLTE::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    VTRACE("TChunkPLTE::LoadFromStream");
    if (!TChunk::LoadFromStream(stream, name, size)) return false;
    if (size % 3 != 0 || size / 3 > 256) TPNGObject::RaiseError<EPNGInvalidPalette>(EPNGInvalidPaletteText);
    Count = size / 3;
    TChunkIHDR& header = GetHeader();
    const auto& gamma = Owner()->GammaTable;
    const uint8_t* d = Data();
    for (uint32_t i = 0; i < Count; ++i, d += 3) {
        header.Palette[i].red = gamma[d[0]];
        header.Palette[i].green = gamma[d[1]];
        header.Palette[i].blue = gamma[d[2]];
        header.Palette[i].reserved = 0;
    }
    return true;
}

bool TChunkPLTE::SaveToStream(TStream& stream) {
    TChunkIHDR& header = GetHeader();
    const auto& inverse = Owner()->InverseGamma;
    uint32_t n = Count > 256 ? 256 : Count;
    std::vector<uint8_t> d(size_t(n) * 3 + 1);
    for (uint32_t i = 0; i < n; ++i) {
        d[i * 3] = inverse[header.Palette[i].red];
        d[i * 3 + 1] = inverse[header.Palette[i].green];
        d[i * 3 + 2] = inverse[header.Palette[i].blue];
    }
    WriteChunk(stream, ChunkName, d.data(), n * 3);
    return true;
}

TColor TChunkPLTE::GetPaletteItem(uint32_t index) const {
    if (index >= Count || index >= 256) TPNGObject::RaiseError<EPngError>(EPNGUnknownPalEntryText);
    const TRGBQuad& q = GetHeader().Palette[index];
    return RGBColor(q.red, q.green, q.blue);
}

void TChunkPLTE::Assign(const TChunk& source) {
    CheckSameClass(source);
    Count = static_cast<const TChunkPLTE&>(source).Count;
}

// ---------------------------------------------------------------------------------------
// TChunkgAMA

TChunkgAMA::TChunkgAMA(TPNGObject* owner) : TChunk(owner, GetName()) {
    SetValue(1);
}

uint32_t TChunkgAMA::GetValue() {
    if (DataSize() != 4) {
        ResizeData(4);
        return 1;
    }
    return GetBE32(Data());
}

void TChunkgAMA::SetValue(uint32_t value) {
    ResizeData(4);
    PutBE32(Data(), value);
}

bool TChunkgAMA::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    VTRACE("TChunkgAMA::LoadFromStream");
    if (!TChunk::LoadFromStream(stream, name, size)) return false;
    // A value of another length says nothing about gamma: the tables stay as they are
    // (read as the value 1 it would turn the whole page black).
    if (DataSize() != 4) return true;
    const uint32_t g = GetValue();
    if (g == 0) return true;
    TPNGObject* o = Owner();
    const double e = 1.0 / ((g / 100000.0) * 2.2);
    for (int i = 0; i < 256; ++i) {
        const double x = i / 255.0;
        const double y = e == 0 ? 1.0 : (x == 0 ? 0.0 : std::pow(x, e));
        double v = std::nearbyint(y * 255.0);
        if (!(v >= 0)) v = 0;  // NaN
        if (v > 255) v = 255;
        o->GammaTable[i] = static_cast<uint8_t>(v);
        o->InverseGamma[static_cast<uint8_t>(v)] = static_cast<uint8_t>(i);
    }
    return true;
}

void TChunkgAMA::Assign(const TChunk& source) {
    CheckSameClass(source);
    SetValue(const_cast<TChunkgAMA&>(static_cast<const TChunkgAMA&>(source)).GetValue());
}

// ---------------------------------------------------------------------------------------
// TChunktRNS

bool TChunktRNS::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    VTRACE("TChunktRNS::LoadFromStream");
    KeyMask = {};
    if (!TChunk::LoadFromStream(stream, name, size)) return false;
    const uint8_t colorType = GetHeader().IHDRData.ColorType;
    // Grey and RGB samples are 2 and 6 bytes: a shorter chunk has no colour to read.
    if (size > 256 || (colorType == COLOR_GRAYSCALE && size < 2) || (colorType == COLOR_RGB && size < 6))
        TPNGObject::RaiseError<EPNGInvalidPalette>(EPNGInvalidPaletteText);
    PaletteValues.fill(255);
    if (size > 0) std::memcpy(PaletteValues.data(), Data(), size);
    if (colorType == COLOR_GRAYSCALE || colorType == COLOR_RGB) {
        BitTransparency = true;
    } else if (colorType == COLOR_PALETTE) {
        // Bit transparency is one fully transparent entry; any partly transparent entry
        // makes the image partly transparent, so that it is blended.
        uint32_t below = 0, zero = 0;
        for (uint32_t i = 0; i < size; ++i) {
            if (PaletteValues[i] < 255) ++below;
            if (PaletteValues[i] == 0) ++zero;
        }
        BitTransparency = below == 1 && zero == 1;
    } else {
        BitTransparency = false;
    }
    return true;
}

bool TChunktRNS::SaveToStream(TStream& stream) {
    if (DataSize() <= 256) WriteChunk(stream, ChunkName, Data(), DataSize());
    return true;
}

TColor TChunktRNS::GetTransparentColor() const {
    const TChunkIHDR& header = GetHeader();
    const uint8_t depth = header.IHDRData.BitDepth;
    const uint8_t* d = Data();
    // The byte of a 2-byte sample that the picture keeps: the low byte up to depth 8.
    auto sample = [&](int i) -> uint8_t {
        if (depth == 16) return d[i * 2];
        uint8_t v = d[i * 2 + 1];
        if (depth < 8) v = static_cast<uint8_t>((v & ((1 << depth) - 1)) * 255 / ((1 << depth) - 1));
        return v;
    };
    switch (header.IHDRData.ColorType) {
        case COLOR_GRAYSCALE:
            if (DataSize() < 2) return 0;
            return RGBColor(sample(0), sample(0), sample(0));
        case COLOR_RGB:
            if (DataSize() < 6) return 0;
            return RGBColor(sample(0), sample(1), sample(2));
        case COLOR_PALETTE:
            for (uint32_t i = 0; i < DataSize() && i < 256; ++i)
                if (PaletteValues[i] == 0) {
                    const TRGBQuad& q = header.Palette[i];
                    return RGBColor(q.red, q.green, q.blue);
                }
            return 0;
        default: return 0;
    }
}

void TChunktRNS::SetTransparentColor(TColor color) {
    TChunkIHDR& header = GetHeader();
    const uint8_t depth = header.IHDRData.BitDepth;
    PaletteValues.fill(0);
    BitTransparency = true;
    KeyMask = {};
    auto put = [&](int i, uint8_t v) {
        uint16_t s = v;
        if (depth == 16) s = static_cast<uint16_t>(v << 8);
        else if (depth < 8) s = static_cast<uint16_t>((v * ((1 << depth) - 1) + 127) / 255);
        Data()[i * 2] = uint8_t(s >> 8);
        Data()[i * 2 + 1] = uint8_t(s);
    };
    switch (header.IHDRData.ColorType) {
        case COLOR_GRAYSCALE:
            ResizeData(2);
            put(0, GetRValue(color));
            break;
        case COLOR_RGB:
            ResizeData(6);
            put(0, GetRValue(color));
            put(1, GetGValue(color));
            put(2, GetBValue(color));
            break;
        case COLOR_PALETTE: {
            const TChunkPLTE* plte = Owner()->Chunks.ItemFromClass<TChunkPLTE>();
            uint32_t count = plte ? plte->Count : 256;
            ResizeData(0);
            for (uint32_t i = 0; i < count && i < 256; ++i) {
                const TRGBQuad& q = header.Palette[i];
                if (RGBColor(q.red, q.green, q.blue) == color) {
                    ResizeData(i + 1);
                    for (uint32_t k = 0; k < i; ++k) PaletteValues[k] = 255;
                    PaletteValues[i] = 0;
                    std::memcpy(Data(), PaletteValues.data(), i + 1);
                    break;
                }
            }
            break;
        }
        default: break;
    }
}

void TChunktRNS::Assign(const TChunk& source) {
    TChunk::Assign(source);
    const auto& s = static_cast<const TChunktRNS&>(source);
    PaletteValues = s.PaletteValues;
    BitTransparency = s.BitTransparency;
    KeyMask = s.KeyMask;
}

// ---------------------------------------------------------------------------------------
// TChunktIME, TChunktEXt

bool TChunktIME::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    if (!TChunk::LoadFromStream(stream, name, size)) return false;
    if (size == 7) {
        const uint8_t* d = Data();
        Year = static_cast<uint16_t>((d[0] << 8) | d[1]);
        Month = d[2];
        Day = d[3];
        Hour = d[4];
        Minute = d[5];
        Second = d[6];
    }
    return true;
}

bool TChunktIME::SaveToStream(TStream& stream) {
    const uint8_t d[7] = {uint8_t(Year >> 8), uint8_t(Year), Month, Day, Hour, Minute, Second};
    WriteChunk(stream, ChunkName, d, 7);
    return true;
}

bool TChunktEXt::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    if (!TChunk::LoadFromStream(stream, name, size)) return false;
    if (size >= 3) {
        const char* d = reinterpret_cast<const char*>(Data());
        const void* zero = std::memchr(d, 0, size);
        // Without the separator there is no keyword: the chunk keeps its raw data only.
        if (zero) {
            size_t k = static_cast<const char*>(zero) - d;
            Keyword.assign(d, k);
            Text.assign(d + k + 1, size - k - 1);
        }
    }
    return true;
}

bool TChunktEXt::SaveToStream(TStream& stream) {
    std::string d = Keyword;
    d.push_back('\0');
    d += Text;
    WriteChunk(stream, ChunkName, reinterpret_cast<const uint8_t*>(d.data()), static_cast<uint32_t>(d.size()));
    return true;
}

void TChunktEXt::Assign(const TChunk& source) {
    CheckSameClass(source);
    const auto& s = static_cast<const TChunktEXt&>(source);
    Keyword = s.Keyword;
    Text = s.Text;
}

// ---------------------------------------------------------------------------------------
// TPNGList

int TPNGList::IndexOf(const TChunk* chunk) const {
    for (size_t i = 0; i < items_.size(); ++i)
        if (items_[i].get() == chunk) return static_cast<int>(i);
    return -1;
}

void TPNGList::RemoveChunk(TChunk* chunk) {
    for (size_t i = items_.size(); i-- > 0;)
        if (items_[i].get() == chunk) {
            items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
}

void TPNGList::Insert(std::unique_ptr<TChunk> chunk, uint32_t position) {
    if (position >= items_.size()) items_.push_back(std::move(chunk));
    else items_.insert(items_.begin() + position, std::move(chunk));
}

void TPNGList::AddChunk(std::unique_ptr<TChunk> chunk) {
    VTRACE("TPNGList::Add");
    TChunk* c = chunk.get();
    if (dynamic_cast<TChunkIHDR*>(c) || dynamic_cast<TChunkIDAT*>(c) || dynamic_cast<TChunkPLTE*>(c) ||
        dynamic_cast<TChunkIEND*>(c) || (dynamic_cast<TChunkgAMA*>(c) && ItemFromClass<TChunkgAMA>()) ||
        (dynamic_cast<TChunktRNS*>(c) && ItemFromClass<TChunktRNS>()))
        TPNGObject::RaiseError<EPngError>(EPNGCannotAddChunkText);
    TChunkIEND* iend = ItemFromClass<TChunkIEND>();
    TChunkIHDR* ihdr = ItemFromClass<TChunkIHDR>();
    if (!iend || !ihdr) TPNGObject::RaiseError<EPngError>(EPNGCannotAddInvalidImageText);
    uint32_t at;
    if (dynamic_cast<TChunkgAMA*>(c)) {
        at = static_cast<uint32_t>(IndexOf(ihdr) + 1);
    } else if (dynamic_cast<TChunktRNS*>(c)) {
        if (TChunkPLTE* plte = ItemFromClass<TChunkPLTE>()) at = static_cast<uint32_t>(IndexOf(plte) + 1);
        else if (TChunkIDAT* idat = ItemFromClass<TChunkIDAT>()) at = static_cast<uint32_t>(IndexOf(idat));
        else at = static_cast<uint32_t>(IndexOf(ihdr) + 1);
    } else {
        at = static_cast<uint32_t>(IndexOf(iend));
    }
    Insert(std::move(chunk), at);
}

// ---------------------------------------------------------------------------------------
// TPNGObject

TPNGObject::TPNGObject() : Chunks(this) { InitializeGamma(); }

TPNGObject::~TPNGObject() { ClearChunks(); }

void TPNGObject::InitializeGamma() {
    for (int i = 0; i < 256; ++i) GammaTable[i] = InverseGamma[i] = static_cast<uint8_t>(i);
}

bool TPNGObject::HeaderPresent() const {
    return Chunks.Count() > 0 && dynamic_cast<TChunkIHDR*>(Chunks.GetItem(0)) != nullptr;
}

TChunkIHDR& TPNGObject::GetHeader() const {
    if (!HeaderPresent()) RaiseError<EPNGHeaderNotPresent>(EPNGHeaderNotPresentText);
    return *static_cast<TChunkIHDR*>(Chunks.GetItem(0));
}

int TPNGObject::GetWidth() const { return HeaderPresent() ? static_cast<int>(GetHeader().IHDRData.Width) : 0; }
int TPNGObject::GetHeight() const { return HeaderPresent() ? static_cast<int>(GetHeader().IHDRData.Height) : 0; }
void TPNGObject::SetWidth(int) { RaiseError<EPngError>(EPNGCannotChangeSizeText); }
void TPNGObject::SetHeight(int) { RaiseError<EPngError>(EPNGCannotChangeSizeText); }

void TPNGObject::GetPixelInfo(uint32_t& lineSize, uint32_t& offset) const {
    lineSize = offset = 0;
    if (!HeaderPresent()) return;
    const TIHDRData& h = GetHeader().IHDRData;
    lineSize = static_cast<uint32_t>(PngRowBytes(h.ColorType, h.BitDepth, h.Width));
    switch (h.ColorType) {
        case COLOR_GRAYSCALE: offset = h.BitDepth == 16 ? 2 : 1; break;
        case COLOR_RGB: offset = h.BitDepth * 3 / 8; break;
        case COLOR_PALETTE: offset = 1; break;
        case COLOR_GRAYSCALEALPHA: offset = h.BitDepth * 2 / 8; break;
        case COLOR_RGBALPHA: offset = h.BitDepth * 4 / 8; break;
        default: offset = 0; break;
    }
}

uint8_t* TPNGObject::GetScanline(uint32_t index) {
    TChunkIHDR& h = GetHeader();
    if (index >= h.IHDRData.Height || h.ImageData.empty()) return nullptr;
    return h.Scanline(index);
}

uint8_t* TPNGObject::GetAlphaScanline(uint32_t index) {
    TChunkIHDR& h = GetHeader();
    if (h.ImageAlpha.empty() || index >= h.IHDRData.Height) return nullptr;
    return h.ImageAlpha.data() + size_t(index) * h.IHDRData.Width;
}

TChunktEXt* TPNGObject::AddtEXt(const std::string& keyword, const std::string& text) {
    TChunktEXt* c = Chunks.Add<TChunktEXt>();
    c->Keyword = keyword;
    c->Text = text;
    return c;
}

void TPNGObject::LoadFromStream(TStream& stream) {
    VTRACE("TPNGObject::LoadFromStream");
    ClearChunks();
    // Gamma belongs to the image: a second image read into this object starts afresh.
    InitializeGamma();
    try {
        ReadChunks(stream);
    } catch (...) {
        // A picture left half-built is not left uninitialised.
        if (HeaderPresent()) {
            TChunkIHDR& h = GetHeader();
            std::fill(h.ImageData.begin(), h.ImageData.end(), 0);
            std::fill(h.ImageAlpha.begin(), h.ImageAlpha.end(), 0);
        }
        throw;
    }
}

void TPNGObject::LoadPageFromStream(TStream& stream, TBitmap& page) {
    VTRACE("TPNGObject::LoadPageFromStream");
    page_ = &page;
    try {
        LoadFromStream(stream);
    } catch (...) {
        page_ = nullptr;
        throw;
    }
    page_ = nullptr;
}

void TPNGObject::ReadChunks(TStream& stream) {
    uint8_t sig[8];
    if (stream.Read(sig, 8) != 8 || std::memcmp(sig, kSignature, 8) != 0)
        RaiseError<EPNGInvalidFileHeader>(EPNGInvalidFileHeaderText);
    bool hasIDAT = false;
    for (;;) {
        uint8_t head[8];
        if (stream.Read(head, 4) != 4) RaiseError<EPngUnexpectedEnd>(EPNGUnexpectedEndText);
        const uint32_t length = GetBE32(head);
        if (stream.Read(head + 4, 4) != 4) RaiseError<EPngUnexpectedEnd>(EPNGUnexpectedEndText);
        TChunkName name;
        std::memcpy(name.data(), head + 4, 4);
        if (Chunks.Count() == 0 && !NameIs(name, "IHDR")) RaiseError<EPNGIHDRNotFirst>(EPNGIHDRNotFirstText);
        // A palette or transparency after the image data comes too late for the rows
        // already decoded onto a page: it is passed over, so a picture drawn later shows
        // the same as the page.
        const bool late = hasIDAT && (NameIs(name, "IDAT") || NameIs(name, "PLTE") || NameIs(name, "tRNS"));
        if (NameIs(name, "cHRM") || late) {
            if (int64_t(length) + 4 > Remaining(stream)) RaiseError<EPngUnexpectedEnd>(EPNGUnexpectedEndText);
            stream.Seek(int64_t(length) + 4, SeekOrigin::Current);
            continue;
        }
        std::unique_ptr<TChunk> owned = CreateChunkByName(this, name);
        TChunk* chunk = owned.get();
        chunk->ChunkName = name;
        Chunks.Append(std::move(owned));
        const bool isIDAT = NameIs(name, "IDAT");
        if (isIDAT) hasIDAT = true;
        if (typeid(*chunk) == typeid(TChunk) && !(static_cast<uint8_t>(name[0]) & 0x20))
            RaiseError<EPNGUnknownCriticalChunk>(EPNGUnknownCriticalChunkText);
        if (!chunk->LoadFromStream(stream, name, length)) break;
        if (NameIs(name, "IEND")) break;
    }
    if (!hasIDAT) RaiseError<EPNGNoImageData>(EPNGNoImageDataText);
}

void TPNGObject::SaveToStream(TStream& stream) {
    VTRACE("TPNGObject::SaveToStream");
    if (!stream.WriteBuffer(kSignature, 8)) throw std::runtime_error("Stream write error");
    for (uint32_t i = 0; i < Chunks.Count(); ++i) Chunks.GetItem(i)->SaveToStream(stream);
}

void TPNGObject::AssignPNG(const TPNGObject& source) {
    VTRACE("TPNGObject::AssignPNG");
    if (&source == this) return;
    InterlaceMethod = source.InterlaceMethod;
    MaxIdatSize = source.MaxIdatSize;
    CompressionLevel = source.CompressionLevel;
    Filters = source.Filters;
    // The picture was decoded with the source's gamma; written out it needs the same inverse.
    GammaTable = source.GammaTable;
    InverseGamma = source.InverseGamma;
    ClearChunks();
    for (uint32_t i = 0; i < source.Chunks.Count(); ++i) {
        const TChunk* s = source.Chunks.GetItem(i);
        std::unique_ptr<TChunk> c(s->NewOfSameClass(this));
        Chunks.Append(std::move(c));
        Chunks.GetItem(i)->Assign(*s);
    }
}

}  // namespace vellicor

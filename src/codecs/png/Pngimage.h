#pragma once
// Portable Network Graphics pages: the image object with its ordered list of chunks, the
// chunk classes, reading on zlib's inflate, drawing onto 24-bit pages and the writer.
// Every failure is an exception of one of the classes below (texts in Pnglang.h).
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "codecs/png/Pnglang.h"
#include "platform/Bitmap.h"
#include "platform/Streams.h"

namespace vellicor {

// One class per failure; each carries its message as what().
#define VELLICOR_PNG_EXCEPTION(Name) \
    class Name : public std::runtime_error { \
    public: \
        using std::runtime_error::runtime_error; \
    };
VELLICOR_PNG_EXCEPTION(EPNGOutMemory)
VELLICOR_PNG_EXCEPTION(EPngError)
VELLICOR_PNG_EXCEPTION(EPngUnexpectedEnd)
VELLICOR_PNG_EXCEPTION(EPngInvalidCRC)
VELLICOR_PNG_EXCEPTION(EPngInvalidIHDR)
VELLICOR_PNG_EXCEPTION(EPNGMissingMultipleIDAT)
VELLICOR_PNG_EXCEPTION(EPNGZLIBError)
VELLICOR_PNG_EXCEPTION(EPNGInvalidPalette)
VELLICOR_PNG_EXCEPTION(EPNGInvalidFileHeader)
VELLICOR_PNG_EXCEPTION(EPNGIHDRNotFirst)
VELLICOR_PNG_EXCEPTION(EPNGNotExists)
VELLICOR_PNG_EXCEPTION(EPNGSizeExceeds)
VELLICOR_PNG_EXCEPTION(EPNGMissingPalette)
VELLICOR_PNG_EXCEPTION(EPNGUnknownCriticalChunk)
VELLICOR_PNG_EXCEPTION(EPNGUnknownCompression)
VELLICOR_PNG_EXCEPTION(EPNGUnknownInterlace)
VELLICOR_PNG_EXCEPTION(EPNGNoImageData)
VELLICOR_PNG_EXCEPTION(EPNGCouldNotLoadResource)
VELLICOR_PNG_EXCEPTION(EPNGCannotChangeTransparent)
VELLICOR_PNG_EXCEPTION(EPNGHeaderNotPresent)
#undef VELLICOR_PNG_EXCEPTION

// The graphic format as the open dialog lists it.
inline constexpr const char* kPngFormatExtension = "PNG";
inline constexpr const char* kPngFormatDescription = "Portable Network Graphics";

enum TFilter : uint8_t { pfNone, pfSub, pfUp, pfAverage, pfPaeth };
// A set of TFilter: bit f is set when filter f is in the set.
using TFilters = uint8_t;
constexpr TFilters FilterSet(TFilter f) { return static_cast<TFilters>(1u << f); }
using TCompressionLevel = int;  // 0..9
enum TInterlaceMethod : uint8_t { imNone, imAdam7 };
enum TPNGTransparencyMode { ptmNone, ptmBit, ptmPartial };

// Colour types of the header.
enum : uint8_t { COLOR_GRAYSCALE = 0, COLOR_RGB = 2, COLOR_PALETTE = 3, COLOR_GRAYSCALEALPHA = 4, COLOR_RGBALPHA = 6 };

using TChunkName = std::array<char, 4>;

// Picture buffers are not cleared on allocation when the decoder writes every byte anyway.
using TPixelBuffer = std::vector<uint8_t, DefaultInitAllocator<uint8_t>>;

class TPNGObject;
class TChunkIHDR;

class TChunk {
public:
    explicit TChunk(TPNGObject* Owner) : TChunk(Owner, "") {}
    // Name: the class's chunk name, taken as ChunkName when it has four characters.
    TChunk(TPNGObject* Owner, const char* Name);
    virtual ~TChunk() = default;
    TChunk(const TChunk&) = delete;
    TChunk& operator=(const TChunk&) = delete;

    // The chunk name of the class: "" for the base class.
    static const char* GetName() { return ""; }
    virtual const char* ClassName() const { return GetName(); }
    virtual TChunk* NewOfSameClass(TPNGObject* Owner) const;

    // Copies name, size and data; a source of another class raises EPngError.
    virtual void Assign(const TChunk& Source);
    // Reads Size data bytes and the CRC. True when read and the CRC matched.
    virtual bool LoadFromStream(TStream& Stream, const TChunkName& Name, uint32_t Size);
    // Writes length, name, data and CRC.
    virtual bool SaveToStream(TStream& Stream);

    void ResizeData(uint32_t Size);
    uint8_t* Data() { return data_.data(); }
    const uint8_t* Data() const { return data_.data(); }
    uint32_t DataSize() const { return dataSize_; }
    int GetIndex() const;
    TChunkIHDR& GetHeader() const;
    const TChunkName& GetChunkName() const { return ChunkName; }
    TPNGObject* Owner() const { return owner_; }

    TChunkName ChunkName{};

protected:
    // Writes length, name, data (Size bytes at Data) and CRC; a short write throws.
    static void WriteChunk(TStream& Stream, const TChunkName& Name, const uint8_t* Data, uint32_t Size);
    void CheckSameClass(const TChunk& Source) const;

private:
    TPNGObject* owner_;
    std::vector<uint8_t> data_;  // always one byte longer than dataSize_
    uint32_t dataSize_ = 0;
};

// Declares the class-level name and the factory of a chunk class.
#define VELLICOR_PNG_CHUNK_CLASS(Cls, Name) \
    static const char* GetName() { return Name; } \
    const char* ClassName() const override { return GetName(); } \
    TChunk* NewOfSameClass(TPNGObject* O) const override { return new Cls(O); }

class TChunkIEND : public TChunk {
public:
    explicit TChunkIEND(TPNGObject* Owner) : TChunk(Owner, GetName()) {}
    VELLICOR_PNG_CHUNK_CLASS(TChunkIEND, "IEND")
};

struct TIHDRData {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint8_t BitDepth = 0;
    uint8_t ColorType = 0;
    uint8_t CompressionMethod = 0;
    uint8_t FilterMethod = 0;
    uint8_t InterlaceMethod = 0;
};

// The header; it also owns the decoded picture: a DIB of 1, 4, 8 or 24 bits per pixel
// (rows top-down here, each padded to 4 bytes, 24-bit pixels blue, green, red), its
// 256-entry colour table, and for colour types 4 and 6 a separate alpha buffer.
class TChunkIHDR : public TChunk {
public:
    explicit TChunkIHDR(TPNGObject* Owner);
    VELLICOR_PNG_CHUNK_CLASS(TChunkIHDR, "IHDR")
    void Assign(const TChunk& Source) override;
    bool LoadFromStream(TStream& Stream, const TChunkName& Name, uint32_t Size) override;
    bool SaveToStream(TStream& Stream) override;

    // Builds the DIB description and buffers from IHDRData, zeroed unless Zero is false
    // (the caller then writes every byte); without Allocate the description only. A picture
    // beyond the page bitmap's pixel limit, or memory running out, raises EPNGOutMemory.
    void PrepareImageData(bool Zero = true, bool Allocate = true);
    void FreeImageData();

    bool HasPalette = false;
    int DIBBitsPerPixel = 0;           // 0: no DIB (unknown colour type)
    std::array<TRGBQuad, 256> Palette{};
    uint32_t BytesPerRow = 0;
    TPixelBuffer ImageData;            // BytesPerRow x Height
    TPixelBuffer ImageAlpha;           // Width x Height, top row first; empty unless types 4, 6
    TIHDRData IHDRData;

    uint8_t* Scanline(uint32_t Row) { return ImageData.data() + size_t(Row) * BytesPerRow; }
    const uint8_t* Scanline(uint32_t Row) const { return ImageData.data() + size_t(Row) * BytesPerRow; }
};

class TChunkPLTE : public TChunk {
public:
    explicit TChunkPLTE(TPNGObject* Owner) : TChunk(Owner, GetName()) {}
    VELLICOR_PNG_CHUNK_CLASS(TChunkPLTE, "PLTE")
    void Assign(const TChunk& Source) override;
    bool LoadFromStream(TStream& Stream, const TChunkName& Name, uint32_t Size) override;
    bool SaveToStream(TStream& Stream) override;
    // The colour of a palette entry; an index at or beyond Count raises EPngError.
    TColor GetPaletteItem(uint32_t Index) const;
    uint32_t Count = 0;
};

class TChunkgAMA : public TChunk {
public:
    explicit TChunkgAMA(TPNGObject* Owner);
    VELLICOR_PNG_CHUNK_CLASS(TChunkgAMA, "gAMA")
    void Assign(const TChunk& Source) override;
    bool LoadFromStream(TStream& Stream, const TChunkName& Name, uint32_t Size) override;
    uint32_t GetValue();
    void SetValue(uint32_t Value);
};

class TChunktRNS : public TChunk {
public:
    explicit TChunktRNS(TPNGObject* Owner) : TChunk(Owner, GetName()) {}
    VELLICOR_PNG_CHUNK_CLASS(TChunktRNS, "tRNS")
    void Assign(const TChunk& Source) override;
    bool LoadFromStream(TStream& Stream, const TChunkName& Name, uint32_t Size) override;
    bool SaveToStream(TStream& Stream) override;
    TColor GetTransparentColor() const;
    void SetTransparentColor(TColor Color);
    bool BitTransparency = false;
    std::array<uint8_t, 256> PaletteValues{};
    // Grey and RGB images decoded by LoadFromStream: one bit per pixel, rows of (Width + 7)
    // div 8 bytes, first pixel in bit 7, set where the file's samples equal the key. The
    // picture keeps 8 gamma-converted bits per sample, too few to compare the key with.
    // Empty otherwise; dropped when the key changes.
    std::vector<uint8_t> KeyMask;
};

class TChunktIME : public TChunk {
public:
    explicit TChunktIME(TPNGObject* Owner) : TChunk(Owner, GetName()) {}
    VELLICOR_PNG_CHUNK_CLASS(TChunktIME, "tIME")
    bool LoadFromStream(TStream& Stream, const TChunkName& Name, uint32_t Size) override;
    bool SaveToStream(TStream& Stream) override;
    uint16_t Year = 0;
    uint8_t Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
};

class TChunktEXt : public TChunk {
public:
    explicit TChunktEXt(TPNGObject* Owner) : TChunk(Owner, GetName()) {}
    VELLICOR_PNG_CHUNK_CLASS(TChunktEXt, "tEXt")
    void Assign(const TChunk& Source) override;
    bool LoadFromStream(TStream& Stream, const TChunkName& Name, uint32_t Size) override;
    bool SaveToStream(TStream& Stream) override;
    std::string Keyword;
    std::string Text;
};

// Image data: reading decodes every consecutive IDAT chunk into the header's picture;
// writing encodes the header's picture into as many IDAT chunks as it takes.
class TChunkIDAT : public TChunk {
public:
    explicit TChunkIDAT(TPNGObject* Owner) : TChunk(Owner, GetName()) {}
    VELLICOR_PNG_CHUNK_CLASS(TChunkIDAT, "IDAT")
    bool LoadFromStream(TStream& Stream, const TChunkName& Name, uint32_t Size) override;
    bool SaveToStream(TStream& Stream) override;
};

#undef VELLICOR_PNG_CHUNK_CLASS

// The chunk-class registry: chunks are created by name from it; an unregistered name
// gives a base TChunk.
using TChunkFactory = std::function<TChunk*(TPNGObject* Owner)>;
void RegisterChunk(const char* Name, TChunkFactory Factory);
template <class C>
void RegisterChunk() {
    RegisterChunk(C::GetName(), [](TPNGObject* o) -> TChunk* { return new C(o); });
}

// The image's chunks in file order; owned.
class TPNGList {
public:
    explicit TPNGList(TPNGObject* Owner) : owner_(Owner) {}
    uint32_t Count() const { return static_cast<uint32_t>(items_.size()); }
    TChunk* GetItem(uint32_t Index) const { return Index < items_.size() ? items_[Index].get() : nullptr; }
    // The first chunk of class C or derived from it, else null.
    template <class C>
    C* ItemFromClass() const {
        for (const auto& c : items_)
            if (auto* p = dynamic_cast<C*>(c.get())) return p;
        return nullptr;
    }
    // Adds a chunk of class C by the rules for extending an image (EPngError when refused).
    template <class C>
    C* Add() {
        auto chunk = std::make_unique<C>(owner_);
        C* p = chunk.get();
        AddChunk(std::move(chunk));
        return p;
    }
    void RemoveChunk(TChunk* Chunk);
    int IndexOf(const TChunk* Chunk) const;

    // Used by the reader and by whole-image assignment.
    void Append(std::unique_ptr<TChunk> Chunk) { items_.push_back(std::move(Chunk)); }
    void Insert(std::unique_ptr<TChunk> Chunk, uint32_t Position);
    void Clear() { items_.clear(); }

private:
    void AddChunk(std::unique_ptr<TChunk> Chunk);
    TPNGObject* owner_;
    std::vector<std::unique_ptr<TChunk>> items_;
};

class TPNGObject {
public:
    TPNGObject();
    ~TPNGObject();
    TPNGObject(const TPNGObject&) = delete;
    TPNGObject& operator=(const TPNGObject&) = delete;

    std::array<uint8_t, 256> GammaTable{};
    std::array<uint8_t, 256> InverseGamma{};
    TFilters Filters = FilterSet(pfSub);
    TCompressionLevel CompressionLevel = 7;
    uint32_t MaxIdatSize = 65535;
    TInterlaceMethod InterlaceMethod = imNone;
    TPNGList Chunks;

    // Replaces every chunk by those read from the stream (from its current position).
    void LoadFromStream(TStream& Stream);
    // As LoadFromStream, but the picture is decoded straight onto Page, once: a 24-bit
    // bitmap of the image's size with transparency drawn over white, as a page shows it.
    // The header keeps no picture of its own (Draw then draws nothing). Rows the data never
    // reached show as the picture's zero samples would; when those would be most of a page
    // of more than 64 MiB, EPngUnexpectedEnd is raised instead.
    void LoadPageFromStream(TStream& Stream, TBitmap& Page);
    // The bitmap LoadPageFromStream is decoding onto, else null.
    TBitmap* PageTarget() const { return page_; }
    // Writes the signature and every chunk in list order.
    void SaveToStream(TStream& Stream);

    // Draws the picture stretched onto the rectangle (left, top, right, bottom) of a 24-
    // or 32-bit bitmap; transparent parts leave what the bitmap held.
    void Draw(TBitmap& Canvas, int Left, int Top, int Right, int Bottom);

    bool GetEmpty() const { return Chunks.Count() == 0; }
    int GetWidth() const;
    int GetHeight() const;
    // Size never changes this way: both raise EPngError.
    void SetWidth(int Value);
    void SetHeight(int Value);
    bool GetTransparent() const { return GetTransparencyMode() != ptmNone; }
    TPNGTransparencyMode GetTransparencyMode() const;

    bool HeaderPresent() const;
    TChunkIHDR& GetHeader() const;
    void ClearChunks() { Chunks.Clear(); }
    void InitializeGamma();
    // LineSize: bytes of one encoded row of the image width; Offset: bytes per pixel.
    void GetPixelInfo(uint32_t& LineSize, uint32_t& Offset) const;
    uint8_t* GetScanline(uint32_t Index);
    uint8_t* GetAlphaScanline(uint32_t Index);

    TColor GetTransparentColor() const;
    void SetTransparentColor(TColor Color);
    void RemoveTransparency();
    void CreateAlpha();
    TChunktEXt* AddtEXt(const std::string& Keyword, const std::string& Text);

    void SetMaxIdatSize(uint32_t Value) { MaxIdatSize = Value; }
    // Whole-image copies and conversion from and to a plain bitmap.
    void Assign(const TPNGObject& Source) { AssignPNG(Source); }
    void Assign(const TBitmap& Source) { AssignHandle(Source, false, 0); }
    void AssignPNG(const TPNGObject& Source);
    void AssignHandle(const TBitmap& Source, bool Transparent, TColor TransparentColor);
    void AssignTo(TPNGObject& Dest) const { Dest.AssignPNG(*this); }
    void AssignTo(TBitmap& Dest) const;

private:
    void ReadChunks(TStream& Stream);
    TBitmap* page_ = nullptr;

public:
    template <class E>
    [[noreturn]] static void RaiseError(const std::string& Text) {
        throw E(Text);
    }
};

// Row bytes of n pixels of the given colour type and depth (0 for unknown types).
uint64_t PngRowBytes(uint8_t ColorType, uint8_t BitDepth, uint64_t Pixels);
// The PNG/zlib CRC-32 of a buffer, continuing from crc (start with 0).
uint32_t PngCrc(uint32_t crc, const void* Data, size_t Size);

}  // namespace vellicor

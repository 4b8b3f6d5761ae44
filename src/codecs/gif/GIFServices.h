#pragma once
// Small services of the GIF unit: the web palette, byte and sub-block stream operations,
// bit-size arithmetic, row readers and writers of bitmaps, and the colour lookups and
// dither engines used to draw on displays of 8 bits or less.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codecs/gif/GIFException.h"
#include "platform/Bitmap.h"
#include "platform/Display.h"
#include "platform/Streams.h"
#include "platform/StringList.h"

namespace vellicor {

// 216 entries: entry 36*r + 6*g + b holds (r*51, g*51, b*51) for r, g, b in 0..5.
HPALETTE WebPalette();

// Stream operations. ReadByte reports false at the end of the stream; ReadCheck raises
// "Premature end of data" unless every byte arrives.
void WriteByte(TStream& Stream, uint8_t Value);
bool ReadByte(TStream& Stream, uint8_t& Value);
void ReadCheck(TStream& Stream, void* Buffer, int64_t Size);
// Strings as data sub-blocks (pieces of at most 255 bytes), then a 0 byte.
void WriteStrings(TStream& Stream, const TStringList& Text);
// Data sub-blocks until a 0 length or the end of the stream, one string per block.
void ReadStrings(TStream& Stream, TStringList& Text);

// Bytes of a row of Width pixels of BitsPerPixel, padded to Alignment bits.
int64_t BytesPerScanline(int64_t Width, int BitsPerPixel, int Alignment);
// 0 for 0 colours, 1 for 1 or 2, else the least b with 2^b >= Colors.
int Colors2bpp(int Colors);

// Rows of a bitmap at a fixed pixel format.
class TDIB {
public:
    TDIB(TBitmap& Bitmap, TPixelFormat PixelFormat) : FBitmap(Bitmap), FPixelFormat(PixelFormat) {}
    virtual ~TDIB() = default;
    TDIB(const TDIB&) = delete;
    TDIB& operator=(const TDIB&) = delete;
    virtual uint8_t* GetScanline(int Row) = 0;

protected:
    TBitmap& FBitmap;
    TPixelFormat FPixelFormat;
};

// Converts the bitmap to the format on creation and hands out its rows.
class TDIBReader : public TDIB {
public:
    TDIBReader(TBitmap& Bitmap, TPixelFormat PixelFormat);
    uint8_t* GetScanline(int Row) override;
};

// Builds a new picture (8 or 24 bits) row by row and gives it to the bitmap on Finish or
// destruction. Row 0 is the top row.
class TDIBWriter : public TDIB {
public:
    TDIBWriter(TBitmap& Bitmap, TPixelFormat PixelFormat, int Width, int Height, HPALETTE Palette);
    ~TDIBWriter() override;
    uint8_t* GetScanline(int Row) override;
    void Finish();

private:
    void CreateDIB();
    HPALETTE FPalette;
    int FWidth, FHeight;
    std::unique_ptr<TBitmap> FDIB;
};

// Maps a colour to an entry of a palette of at most 256 colours; R, G, B receive the entry.
class TColorLookup {
public:
    explicit TColorLookup(HPALETTE Palette) : FPalette(std::move(Palette)) {}
    virtual ~TColorLookup() = default;
    virtual uint8_t Lookup(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G, uint8_t& B) = 0;
    int Colors() const { return FColors; }

protected:
    HPALETTE FPalette;
    int FColors = 0;
};

// The web palette by arithmetic: each channel to the nearest multiple of 51.
class TNetscapeColorLookup : public TColorLookup {
public:
    explicit TNetscapeColorLookup(HPALETTE Palette);
    uint8_t Lookup(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G, uint8_t& B) override;
};

// Plain lookup with serpentine scanning; error-diffusion engines derive from it.
class TDitherEngine {
public:
    TDitherEngine(int Width, TColorLookup& Lookup) : FWidth(Width), FLookup(Lookup) {}
    virtual ~TDitherEngine() = default;
    virtual uint8_t Dither(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G, uint8_t& B);
    virtual void NextLine();
    // Passes over a pixel that is not to be dithered.
    void Skip() { FColumn += FDirection; }
    int Direction() const { return FDirection; }
    int Column() const { return FColumn; }
    int Width() const { return FWidth; }

protected:
    int FDirection = 1;
    int FColumn = 0;
    int FWidth;
    TColorLookup& FLookup;
};

// Floyd-Steinberg error diffusion (7/16 ahead, 3, 5, 1/16 on the next row).
class TFloydSteinbergDitherer : public TDitherEngine {
public:
    TFloydSteinbergDitherer(int Width, TColorLookup& Lookup);
    uint8_t Dither(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G, uint8_t& B) override;
    void NextLine() override;

private:
    // Per channel: the error carried to the next pixel, and the next row's errors indexed
    // by column + 1 (one slot of padding at either end).
    int FCarry[3] = {0, 0, 0};
    std::vector<int32_t> FCurrent[3], FNext[3];
};

// Nearest entry by the sum of channel differences, cached per 15-bit colour class.
class TFastColorLookup : public TColorLookup {
public:
    explicit TFastColorLookup(HPALETTE Palette);
    uint8_t Lookup(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G, uint8_t& B) override;

private:
    std::vector<uint16_t> FCache;  // 32768 slots, 65535 when empty
    std::vector<TPaletteEntry> FEntries;
};

class TGrayScaleLookup : public TColorLookup {
public:
    explicit TGrayScaleLookup(HPALETTE Palette) : TColorLookup(std::move(Palette)) { FColors = 256; }
    uint8_t Lookup(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G, uint8_t& B) override;
};

class TMonochromeLookup : public TColorLookup {
public:
    explicit TMonochromeLookup(HPALETTE Palette) : TColorLookup(std::move(Palette)) { FColors = 2; }
    uint8_t Lookup(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G, uint8_t& B) override;
};

// Error diffusion over a kernel reaching Reach columns either side and Rows rows down;
// the error rows rotate, the newest one zeroed.
class TKernelDitherer : public TDitherEngine {
public:
    struct Weight {
        int Row, Offset, Value;
    };
    TKernelDitherer(int Width, TColorLookup& Lookup, int Divisor, int Reach, std::vector<Weight> Weights);
    uint8_t Dither(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G, uint8_t& B) override;
    void NextLine() override;

protected:
    int FDivisor, FReach, FRows;
    std::vector<Weight> FWeights;
    std::vector<std::vector<int32_t>> FErrors[3];  // [channel][row], indexed by column + reach
};

class T5by3Ditherer : public TKernelDitherer {
public:
    using TKernelDitherer::TKernelDitherer;
};
class TStuckiDitherer : public T5by3Ditherer {
public:
    TStuckiDitherer(int Width, TColorLookup& Lookup);
};
class TSierraDitherer : public T5by3Ditherer {
public:
    TSierraDitherer(int Width, TColorLookup& Lookup);
};
class TJaJuNiDitherer : public T5by3Ditherer {
public:
    TJaJuNiDitherer(int Width, TColorLookup& Lookup);
};
class TSteveArcheDitherer : public TKernelDitherer {
public:
    TSteveArcheDitherer(int Width, TColorLookup& Lookup);
};
class TBurkesDitherer : public TKernelDitherer {
public:
    TBurkesDitherer(int Width, TColorLookup& Lookup);
};

// Octree colour quantiser.
struct TOctreeNode {
    bool IsLeaf = false;
    int64_t PixelCount = 0, RedSum = 0, GreenSum = 0, BlueSum = 0;
    TOctreeNode* Next = nullptr;
    std::unique_ptr<TOctreeNode> Child[8];
};

class TColorQuantizer {
public:
    TColorQuantizer(int MaxColors, int ColorBits);
    void AddColor(uint8_t Red, uint8_t Green, uint8_t Blue);
    // Every pixel of a 24-bit bitmap (blue, green, red per pixel).
    void ProcessImage(const TBitmap& Bitmap24);
    // Writes the leaf colours (LeafCount of them); returns how many.
    int GetColorTable(std::vector<TRGBQuad>& Table) const;
    int LeafCount() const { return FLeafCount; }

private:
    bool ReduceTree();  // false when nothing could be merged
    int FMaxColors, FColorBits, FLeafCount = 0;
    std::unique_ptr<TOctreeNode> FTree;
    TOctreeNode* FReducible[9] = {};
};

// The system's 20 static colours and the screen's 256-colour halftone palette.
HPALETTE SystemPalette20();
HPALETTE HalftonePalette();

enum TColorReduction : int;
enum TDitherMode : int;
// One palette for a list of bitmaps; Windows keeps the 20 system colours around 236 others.
HPALETTE CreateOptimizedPaletteFromManyBitmaps(const std::vector<const TBitmap*>* Bitmaps, int Colors,
                                               int ColorBits, bool Windows);
// A new 8-bit palette bitmap of the source by the palette rule and dither mode.
std::unique_ptr<TBitmap> ReduceColors(const TBitmap& Bitmap, TColorReduction ColorReduction, TDitherMode DitherMode,
                                      int ReductionBits, const HPALETTE& Palette);

}  // namespace vellicor

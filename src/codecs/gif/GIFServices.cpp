#include "codecs/gif/GIFServices.h"

#include <algorithm>
#include <cstring>

#include "trace/Trace.h"

namespace vellicor {

HPALETTE WebPalette() {
    VTRACE("GIFImage::WebPalette");
    std::vector<TPaletteEntry> entries;
    entries.reserve(216);
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                entries.push_back({uint8_t(r * 51), uint8_t(g * 51), uint8_t(b * 51), 0});
    return CreatePalette(std::move(entries));
}

void WriteByte(TStream& stream, uint8_t value) {
    if (!stream.WriteBuffer(&value, 1)) Error(sInvalidStream);
}

bool ReadByte(TStream& stream, uint8_t& value) { return stream.Read(&value, 1) == 1; }

void ReadCheck(TStream& stream, void* buffer, int64_t size) {
    if (size > 0 && stream.Read(buffer, size) != size) Error(sOutOfData);
}

void WriteStrings(TStream& stream, const TStringList& text) {
    for (const std::string& line : text) {
        size_t at = 0;
        while (at < line.size()) {
            size_t n = std::min<size_t>(255, line.size() - at);
            WriteByte(stream, uint8_t(n));
            if (!stream.WriteBuffer(line.data() + at, int64_t(n))) Error(sInvalidStream);
            at += n;
        }
    }
    WriteByte(stream, 0);
}

void ReadStrings(TStream& stream, TStringList& text) {
    text.Clear();
    uint8_t size = 0;
    while (ReadByte(stream, size) && size != 0) {
        std::string line(size, '\0');
        ReadCheck(stream, line.data(), size);
        text.Insert(text.Count(), std::move(line));  // Add would drop duplicates
    }
}

int64_t BytesPerScanline(int64_t width, int bitsPerPixel, int alignment) {
    int64_t bits = width * bitsPerPixel + alignment - 1;
    bits -= bits % alignment;
    return bits / 8;
}

int Colors2bpp(int colors) {
    if (colors <= 0) return 0;
    int bits = 1;
    while ((1 << bits) < colors) ++bits;
    return bits;
}

TDIBReader::TDIBReader(TBitmap& bitmap, TPixelFormat pixelFormat) : TDIB(bitmap, pixelFormat) {
    if (!FBitmap.SetPixelFormat(pixelFormat)) Error(sInvalidPixelFormat);
}

uint8_t* TDIBReader::GetScanline(int row) {
    if (row < 0 || row >= FBitmap.Height()) Error(sScanLineRange);
    return FBitmap.ScanLine(row);
}

TDIBWriter::TDIBWriter(TBitmap& bitmap, TPixelFormat pixelFormat, int width, int height, HPALETTE palette)
    : TDIB(bitmap, pixelFormat), FPalette(std::move(palette)), FWidth(width), FHeight(height) {
    if (pixelFormat != TPixelFormat::pf8bit && pixelFormat != TPixelFormat::pf24bit) Error(sInvalidPixelFormat);
    if (width <= 0 || height <= 0) Error(sBadDimension);
}

TDIBWriter::~TDIBWriter() {
    // The picture goes to the bitmap even when rendering stopped early.
    if (FDIB) FBitmap = std::move(*FDIB);
}

void TDIBWriter::Finish() {
    if (FDIB) FBitmap = std::move(*FDIB);
    FDIB.reset();
}

void TDIBWriter::CreateDIB() {
    auto dib = std::make_unique<TBitmap>();
    if (!dib->SetSize(FWidth, FHeight, FPixelFormat)) Error(sOutOfMemDIB);
    if (FPixelFormat == TPixelFormat::pf8bit) {
        // 256 slots; the palette's entries first, the rest black.
        std::vector<TRGBQuad> quads = PaletteToQuads(FPalette);
        quads.resize(256);
        dib->Palette() = std::move(quads);
    }
    FDIB = std::move(dib);
}

uint8_t* TDIBWriter::GetScanline(int row) {
    if (!FDIB) CreateDIB();
    if (row < 0 || row >= FHeight) Error(sScanLineRange);
    return FDIB->ScanLine(row);
}

TNetscapeColorLookup::TNetscapeColorLookup(HPALETTE palette) : TColorLookup(std::move(palette)) { FColors = 216; }

uint8_t TNetscapeColorLookup::Lookup(uint8_t red, uint8_t green, uint8_t blue, uint8_t& r, uint8_t& g, uint8_t& b) {
    const int qr = (red + 3) / 51, qg = (green + 3) / 51, qb = (blue + 3) / 51;
    r = uint8_t(qr * 51);
    g = uint8_t(qg * 51);
    b = uint8_t(qb * 51);
    return uint8_t(36 * qr + 6 * qg + qb);
}

uint8_t TDitherEngine::Dither(uint8_t red, uint8_t green, uint8_t blue, uint8_t& r, uint8_t& g, uint8_t& b) {
    uint8_t index = FLookup.Lookup(red, green, blue, r, g, b);
    FColumn += FDirection;
    return index;
}

void TDitherEngine::NextLine() {
    FDirection = -FDirection;
    FColumn = FDirection == -1 ? FWidth - 1 : 0;
}

TFloydSteinbergDitherer::TFloydSteinbergDitherer(int width, TColorLookup& lookup) : TDitherEngine(width, lookup) {
    for (int c = 0; c < 3; ++c) {
        FCurrent[c].assign(size_t(std::max(width, 0)) + 2, 0);
        FNext[c].assign(size_t(std::max(width, 0)) + 2, 0);
    }
}

uint8_t TFloydSteinbergDitherer::Dither(uint8_t red, uint8_t green, uint8_t blue, uint8_t& r, uint8_t& g, uint8_t& b) {
    const int slot = FColumn + 1;
    if (slot < 1 || slot > FWidth) return TDitherEngine::Dither(red, green, blue, r, g, b);  // off the row
    const int in[3] = {red, green, blue};
    int adjusted[3];
    for (int c = 0; c < 3; ++c) {
        const int error = FCarry[c] + FCurrent[c][size_t(slot)];
        adjusted[c] = std::clamp(in[c] + (error + 8) / 16, 0, 255);
    }
    const uint8_t index =
        FLookup.Lookup(uint8_t(adjusted[0]), uint8_t(adjusted[1]), uint8_t(adjusted[2]), r, g, b);
    const int chosen[3] = {r, g, b};
    for (int c = 0; c < 3; ++c) {
        const int e = adjusted[c] - chosen[c];
        FCarry[c] = 7 * e;
        if (e == 0) continue;
        std::vector<int32_t>& next = FNext[c];
        next[size_t(slot - FDirection)] += 3 * e;
        next[size_t(slot)] += 5 * e;
        next[size_t(slot + FDirection)] += e;
    }
    FColumn += FDirection;
    return index;
}

void TFloydSteinbergDitherer::NextLine() {
    for (int c = 0; c < 3; ++c) {
        std::swap(FCurrent[c], FNext[c]);
        std::fill(FNext[c].begin(), FNext[c].end(), 0);
        FCarry[c] = 0;
    }
    TDitherEngine::NextLine();
}

}  // namespace vellicor

#pragma once
// Logical palettes and the screen's colour depth, in place of Win32 palette handles and the
// screen device context's capabilities. Rectangles as the class library's canvas uses them.
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Bitmap.h"

namespace vellicor {

struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool operator==(const TRect&) const = default;
};

struct TPaletteEntry {
    uint8_t peRed = 0, peGreen = 0, peBlue = 0, peFlags = 0;
    bool operator==(const TPaletteEntry&) const = default;
};
constexpr uint8_t PC_NOCOLLAPSE = 0x04;

// A palette handle: shared and immutable; null means no palette.
using HPALETTE = std::shared_ptr<const std::vector<TPaletteEntry>>;

// Null for no entries (as palette creation fails without any).
HPALETTE CreatePalette(std::vector<TPaletteEntry> Entries);
int PaletteEntryCount(const HPALETTE& Palette);
bool SamePalette(const HPALETTE& A, const HPALETTE& B);  // same entries, or both none
// The entries as a bitmap's colour table, and back (flags 0).
std::vector<TRGBQuad> PaletteToQuads(const HPALETTE& Palette);
HPALETTE PaletteFromQuads(const std::vector<TRGBQuad>& Quads);

// Bits per pixel times planes of the screen: 24 until the window sets what the screen has.
int ScreenColorDepth();
void SetScreenColorDepth(int Bits);

}  // namespace vellicor

#pragma once
// Conversion of unfiltered PNG rows into the header's picture layout.
#include <array>
#include <cstddef>
#include <cstdint>

#include "codecs/png/Pngimage.h"
#include "platform/Bitmap.h"

namespace vellicor::pngpixels {

// The colour key of a grey or RGB image in the file's samples (grey, or red, green, blue),
// cut to the image's depth; false when the image has none.
bool ColourKey(const TChunkIHDR& Header, const TChunktRNS* Trns, uint16_t Key[3]);
// Sets the mask bit of each of n pixels of an unfiltered grey or RGB row where its samples
// equal Key, and clears it elsewhere; pixel k is column start + k * step of maskRow.
void MarkKey(const TIHDRData& Header, const uint16_t Key[3], const uint8_t* src, size_t n, uint8_t* maskRow,
             size_t start, size_t step);

class TRowConverter {
public:
    TRowConverter(const TChunkIHDR& Header, const std::array<uint8_t, 256>& Gamma);
    // Converts n pixels of a PNG row into picture pixels at dst (packed from bit 7 down at
    // depths below 8) and, for colour types with alpha, n alpha bytes at alpha.
    void Convert(const uint8_t* src, size_t n, uint8_t* dst, uint8_t* alpha) const;
    // Spreads n converted pixels over columns start, start + step, ... of a picture row.
    void Spread(const uint8_t* packed, const uint8_t* alphaIn, size_t n, size_t start, size_t step, uint8_t* row,
                uint8_t* alphaRow) const;

private:
    uint8_t colorType_, depth_;
    int dibBits_;
    const uint8_t* gamma_;
    bool identity_;
};

// Converts unfiltered PNG rows straight into page pixels (blue, green, red), transparency
// drawn over white as the page shows it. A colour key is compared with the file's own
// samples, before 16-bit samples lose their low byte and before gamma.
class TPageRowConverter {
public:
    // Header: its palette (the PLTE colours, or the grey ramp) is read here, once.
    TPageRowConverter(const TChunkIHDR& Header, const std::array<uint8_t, 256>& Gamma, const TChunktRNS* Trns);
    // Converts n pixels of a PNG row into 3n bytes at dst; dst has one spare byte after them.
    void Convert(const uint8_t* src, size_t n, uint8_t* dst) const;
    // The page pixel of an all-zero sample: what rows the data never reached show.
    const uint8_t* Fill() const { return fill_; }

private:
    enum TKind { kIndexed, kGrey16, kRgb, kGreyAlpha, kRgba };
    template <bool Identity>
    void ConvertRgb(const uint8_t* src, size_t n, uint8_t* dst) const;
    template <bool Identity>
    void ConvertRgba(const uint8_t* src, size_t n, uint8_t* dst) const;
    void ConvertIndexed(const uint8_t* src, size_t n, uint8_t* dst) const;

    TKind kind_ = kIndexed;
    uint8_t depth_;
    const uint8_t* gamma_;
    bool identity_ = true;
    bool keyed_ = false;
    uint16_t key_[3] = {0, 0, 0};  // grey, or red, green, blue: the file's samples
    // By sample value (grey) or index (palette): blue, green, red, 0, composed over white.
    uint32_t colours_[256];
    uint8_t fill_[4] = {0, 0, 0, 0};
};

}  // namespace vellicor::pngpixels

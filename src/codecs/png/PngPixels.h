#pragma once
// Conversion of unfiltered PNG rows into the header's picture layout.
#include <array>
#include <cstddef>
#include <cstdint>

#include "codecs/png/Pngimage.h"

namespace vellicor::pngpixels {

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

}  // namespace vellicor::pngpixels

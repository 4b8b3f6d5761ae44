#pragma once
// PNG row filters, undone in place. The row and the previous row each have at least 16
// zero bytes before them and 16 spare bytes after them, so that the first pixel's left
// neighbours read as 0 and whole-pixel loads never leave the buffer.
#include <cstddef>
#include <cstdint>

namespace vellicor::pngfilters {

constexpr size_t kRowPadding = 16;

// Undoes filter type `filter` (1 Sub, 2 Up, 3 Average, 4 Paeth; anything else leaves the
// row as it is) on n bytes of pixels of bpp bytes each.
void Unfilter(uint8_t filter, uint8_t* row, const uint8_t* prev, size_t n, unsigned bpp);

// The Paeth predictor of left a, up b and upper-left c, ties broken a, then b.
inline uint8_t PaethPredictor(int a, int b, int c) {
    // Written to compile without branches: the choice depends on the data.
    int p = b - c, q = a - c;
    int pa = p < 0 ? -p : p, pb = q < 0 ? -q : q, pc = p + q < 0 ? -(p + q) : p + q;
    int bc = pb <= pc ? b : c;
    int m = pb <= pc ? pb : pc;
    return static_cast<uint8_t>(pa <= m ? a : bc);
}

}  // namespace vellicor::pngfilters

#pragma once
// Small page images written by tests: BMP files of every layout.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vellicor::test {

struct BmpSpec {
    int headerSize = 40;       // 12, 40, 52, 56, 108, 124 (or anything, for refusals)
    int width = 0;
    int height = 0;            // negative: top-down
    int bpp = 24;
    uint32_t compression = 0;  // 0 RGB, 1 RLE8, 2 RLE4, 3 bit fields
    uint32_t masks[4] = {0, 0, 0, 0};
    std::vector<uint32_t> palette = {};  // 0x00RRGGBB entries
    uint32_t colorsUsed = 0;
};
// One pixel value per (x, y): an index, a 16/32-bit word, or 0xRRGGBB for 24 bits.
std::string MakeBmp(const BmpSpec& spec, const std::function<uint32_t(int x, int y)>& pixel);
// Headers around hand-made pixel data (run-length data, say).
std::string MakeBmpRaw(const BmpSpec& spec, const std::string& data);
void PutLe32(std::string& s, size_t at, uint32_t v);

// A 24-bit bottom-up BMP of width x height; colour(x, y) gives 0x00RRGGBB for each pixel.
std::string MakeBmp24(int width, int height, const std::function<uint32_t(int x, int y)>& colour);
// Writes it to path.
void WriteBmp24(const std::string& path, int width, int height, const std::function<uint32_t(int x, int y)>& colour);

}  // namespace vellicor::test

#pragma once
// Test helpers for the page bitmap: JPEG files through libjpeg's compressor, BMP files of
// every layout, and djpeg as an independent decoder.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bitmap.h"

namespace vellicor::test {

// --- JPEG ---------------------------------------------------------------------------
struct JpegOptions {
    int components = 3;  // 1 grey, 3 colour, 4 CMYK (written with an Adobe marker)
    bool progressive = false;
    int quality = 90;
    bool ycck = false;   // with components 4: store as YCCK
};
// Sample value of channel c at (x, y); the default is a smooth pattern with some edges.
using SampleFn = std::function<uint8_t(int x, int y, int c)>;
uint8_t PatternSample(int x, int y, int c);
std::string MakeJpeg(int width, int height, const JpegOptions& options = {}, const SampleFn& sample = PatternSample);

// An image as a plain array of rows, 3 bytes per pixel in red, green, blue order.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
    const uint8_t* At(int x, int y) const { return pixels.data() + (static_cast<size_t>(y) * width + x) * 3; }
};
// Reads a binary PPM or PGM (grey is spread to three channels).
std::optional<RgbImage> ReadPnm(const std::string& path);
// Decodes a file with djpeg at scale 1/denom; nothing when djpeg is missing or fails.
bool HaveDjpeg();
std::optional<RgbImage> Djpeg(const std::string& jpegPath, int denom);
// Largest channel difference between the bitmap (24-bit) and the image; -1 if sizes differ.
int MaxDifference(const TBitmap& bitmap, const RgbImage& image);

// --- BMP ----------------------------------------------------------------------------
struct BmpSpec {
    int headerSize = 40;        // 12, 40, 52, 56, 108, 124 (or anything, for refusals)
    int width = 0;
    int height = 0;             // negative: top-down
    int bpp = 24;
    uint32_t compression = 0;   // 0 RGB, 3 bit fields
    uint32_t masks[4] = {0, 0, 0, 0};
    std::vector<uint32_t> palette;  // 0x00RRGGBB entries
    uint32_t colorsUsed = 0;        // written to the header as is
    bool writeSizeImage = true;
};
// Packs one pixel value per (x, y) (an index, or a 16/32-bit word, or 0xRRGGBB for 24
// bits) into a complete file.
std::string MakeBmp(const BmpSpec& spec, const std::function<uint32_t(int x, int y)>& pixel);
// A file around hand-made pixel data (e.g. run-length data): offBits points at it.
std::string MakeBmpRaw(const BmpSpec& spec, const std::string& data);
void PutLe16(std::string& s, size_t at, uint16_t v);
void PutLe32(std::string& s, size_t at, uint32_t v);

}  // namespace vellicor::test

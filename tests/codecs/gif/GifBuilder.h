#pragma once
// GIF streams written by the tests: exact codes where a case needs them, and a plain
// encoder that keeps the code width fixed for whole images.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vellicor::test {

// Codes packed least significant bit first, each with its own width.
std::string PackCodes(const std::vector<std::pair<int, int>>& codesAndWidths);
// Data cut into sub-blocks of at most 255 bytes, then the terminator (unless false).
std::string SubBlocks(const std::string& data, bool terminate = true);
// Every pixel as its own code: clear, pixels (a clear before the width would grow), end.
std::string LzwLiteral(const std::vector<uint8_t>& pixels, int codeSize);

struct GifFrame {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    std::vector<uint32_t> localColors;  // 0xRRGGBB; empty: none
    std::string extensions;             // raw bytes before the descriptor
    std::string data;                   // code size byte and sub-blocks; empty: from pixels
    std::vector<uint8_t> pixels;        // rows top to bottom (stream order when interlaced)
    int codeSize = 0;                   // 0: from the colour count
};

struct GifSpec {
    int width = 0, height = 0;
    std::vector<uint32_t> globalColors;  // empty: none
    std::vector<GifFrame> frames;
    std::string trailer = ";";
    std::string signature = "GIF89a";
};

std::string MakeGif(const GifSpec& spec);
// "!" 0xF9 4 flags delay index 0.
std::string Gce(bool transparent, int index, int delay = 0, int disposal = 0);
std::vector<uint32_t> GreyRamp(int count);  // count greys from black to white

}  // namespace vellicor::test

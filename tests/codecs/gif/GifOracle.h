#pragma once
// giflib as the reference reader for what our encoder writes.
#include <cstdint>
#include <string>
#include <vector>

namespace vellicor::test {

struct OracleFrame {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    int colors = 0;               // entries of the local table
    std::vector<uint8_t> pixels;  // rows top to bottom
};

struct OracleGif {
    bool ok = false;  // false: giflib refused the stream (or is not installed)
    int width = 0, height = 0, globalColors = 0;
    std::vector<OracleFrame> frames;
};

bool HaveGiflib();
OracleGif GiflibRead(const std::string& bytes);

}  // namespace vellicor::test

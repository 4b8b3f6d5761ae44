#include "support/TestImages.h"

#include <fstream>

namespace vellicor::test {

namespace {
void Put16(std::string& s, uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& s, uint32_t v) {
    Put16(s, v & 0xFFFF);
    Put16(s, v >> 16);
}
}  // namespace

std::string MakeBmp24(int width, int height, const std::function<uint32_t(int, int)>& colour) {
    const uint32_t stride = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
    const uint32_t imageSize = stride * static_cast<uint32_t>(height);
    std::string s;
    s += "BM";
    Put32(s, 54 + imageSize);
    Put32(s, 0);
    Put32(s, 54);
    Put32(s, 40);
    Put32(s, static_cast<uint32_t>(width));
    Put32(s, static_cast<uint32_t>(height));
    Put16(s, 1);
    Put16(s, 24);
    Put32(s, 0);
    Put32(s, imageSize);
    Put32(s, 2835);
    Put32(s, 2835);
    Put32(s, 0);
    Put32(s, 0);
    for (int y = height - 1; y >= 0; --y) {
        std::string row;
        for (int x = 0; x < width; ++x) {
            uint32_t c = colour(x, y);
            row += static_cast<char>(c & 0xFF);
            row += static_cast<char>((c >> 8) & 0xFF);
            row += static_cast<char>((c >> 16) & 0xFF);
        }
        row.resize(stride, '\0');
        s += row;
    }
    return s;
}

void WriteBmp24(const std::string& path, int width, int height, const std::function<uint32_t(int, int)>& colour) {
    std::ofstream f(path, std::ios::binary);
    std::string s = MakeBmp24(width, height, colour);
    f.write(s.data(), static_cast<std::streamsize>(s.size()));
}

}  // namespace vellicor::test

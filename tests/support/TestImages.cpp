#include "support/TestImages.h"

#include <cstdlib>
#include <fstream>

namespace vellicor::test {

namespace {
void PutLe16(std::string& s, size_t at, uint32_t v) {
    if (s.size() < at + 2) s.resize(at + 2);
    s[at] = static_cast<char>(v), s[at + 1] = static_cast<char>(v >> 8);
}
}  // namespace

void PutLe32(std::string& s, size_t at, uint32_t v) {
    if (s.size() < at + 4) s.resize(at + 4);
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

std::string MakeBmpRaw(const BmpSpec& spec, const std::string& data) {
    std::string s = "BM";
    s.resize(14 + spec.headerSize, '\0');
    PutLe32(s, 14, uint32_t(spec.headerSize));
    if (spec.headerSize == 12) {
        PutLe16(s, 18, uint32_t(spec.width)), PutLe16(s, 20, uint32_t(spec.height)), PutLe16(s, 22, 1);
        PutLe16(s, 24, uint32_t(spec.bpp));
    } else if (spec.headerSize >= 40) {
        PutLe32(s, 18, uint32_t(spec.width)), PutLe32(s, 22, uint32_t(spec.height)), PutLe16(s, 26, 1);
        PutLe16(s, 28, uint32_t(spec.bpp)), PutLe32(s, 30, spec.compression), PutLe32(s, 34, uint32_t(data.size()));
        PutLe32(s, 46, spec.colorsUsed);
        for (int i = 0; i < 4 && spec.headerSize >= 52 + 4 * (i / 3); ++i) PutLe32(s, 54 + 4 * i, spec.masks[i]);
        if (spec.headerSize >= 108) PutLe32(s, 70, 0x73524742);  // 'sRGB'
    }
    if (spec.headerSize == 40 && spec.compression == 3)
        for (int i = 0; i < 3; ++i) PutLe32(s, s.size(), spec.masks[i]);
    for (uint32_t c : spec.palette) {
        s += {char(c), char(c >> 8), char(c >> 16)};
        if (spec.headerSize != 12) s += '\0';
    }
    PutLe32(s, 10, uint32_t(s.size()));
    PutLe32(s, 2, uint32_t(s.size() + data.size()));
    return s + data;
}

std::string MakeBmp(const BmpSpec& spec, const std::function<uint32_t(int x, int y)>& pixel) {
    const int h = std::abs(spec.height);
    const size_t stride = (size_t(spec.width) * spec.bpp + 31) / 32 * 4;
    std::string data(stride * h, '\0');
    for (int row = 0; row < h; ++row) {
        const int y = spec.height < 0 ? row : h - 1 - row;
        auto* d = reinterpret_cast<uint8_t*>(&data[stride * row]);
        for (int x = 0; x < spec.width; ++x) {
            const uint32_t v = pixel(x, y);
            if (spec.bpp == 1) d[x / 8] |= uint8_t((v & 1) << (7 - x % 8));
            else if (spec.bpp == 4) d[x / 2] |= uint8_t((v & 15) << (x % 2 ? 0 : 4));
            else
                for (int i = 0; i < spec.bpp / 8; ++i) d[x * spec.bpp / 8 + i] = uint8_t(v >> (8 * i));
        }
    }
    return MakeBmpRaw(spec, data);
}

std::string MakeBmp24(int width, int height, const std::function<uint32_t(int, int)>& colour) {
    return MakeBmp({40, width, height}, colour);
}

void WriteBmp24(const std::string& path, int width, int height, const std::function<uint32_t(int, int)>& colour) {
    std::ofstream f(path, std::ios::binary);
    std::string s = MakeBmp24(width, height, colour);
    f.write(s.data(), static_cast<std::streamsize>(s.size()));
}

}  // namespace vellicor::test

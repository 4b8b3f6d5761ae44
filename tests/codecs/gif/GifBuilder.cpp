#include "GifBuilder.h"

#include <algorithm>

namespace vellicor::test {

std::string PackCodes(const std::vector<std::pair<int, int>>& codes) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (auto [code, width] : codes) {
        acc |= uint32_t(code) << bits;
        bits += width;
        while (bits >= 8) {
            out += char(acc & 0xFF);
            acc >>= 8;
            bits -= 8;
        }
    }
    if (bits > 0) out += char(acc & 0xFF);
    return out;
}

std::string SubBlocks(const std::string& data, bool terminate) {
    std::string out;
    for (size_t at = 0; at < data.size(); at += 255) {
        const size_t n = std::min<size_t>(255, data.size() - at);
        out += char(n);
        out += data.substr(at, n);
    }
    if (terminate) out += '\0';
    return out;
}

std::string LzwLiteral(const std::vector<uint8_t>& pixels, int codeSize) {
    const int clear = 1 << codeSize;
    std::vector<std::pair<int, int>> codes;
    int width = codeSize + 1, next = clear + 2, limit = 2 * clear;
    bool first = true;
    auto reset = [&] {
        codes.push_back({clear, width});
        width = codeSize + 1, next = clear + 2, limit = 2 * clear, first = true;
    };
    reset();
    for (uint8_t p : pixels) {
        if (!first && next + 1 >= limit) reset();
        codes.push_back({p, width});
        if (!first && next < 4096 && ++next >= limit && limit < 4096) limit *= 2, ++width;
        first = false;
    }
    codes.push_back({clear + 1, width});
    return char(codeSize) + SubBlocks(PackCodes(codes));
}

namespace {

void Put16(std::string& s, int v) {
    s += char(v & 0xFF);
    s += char((v >> 8) & 0xFF);
}

int SizeCode(size_t colors) {
    int n = 0;
    while ((2u << n) < colors) ++n;
    return n;
}

void PutTable(std::string& s, const std::vector<uint32_t>& colors) {
    const size_t total = size_t(2) << SizeCode(colors.size());
    for (size_t i = 0; i < total; ++i) {
        const uint32_t c = i < colors.size() ? colors[i] : 0;
        s += char(c >> 16), s += char(c >> 8), s += char(c);
    }
}

}  // namespace

std::string MakeGif(const GifSpec& spec) {
    std::string s = spec.signature;
    Put16(s, spec.width);
    Put16(s, spec.height);
    s += char(spec.globalColors.empty() ? 0 : 0x80 | 0x70 | SizeCode(spec.globalColors.size()));
    s += '\0', s += '\0';
    if (!spec.globalColors.empty()) PutTable(s, spec.globalColors);
    for (const GifFrame& f : spec.frames) {
        s += f.extensions;
        s += ',';
        Put16(s, f.left), Put16(s, f.top), Put16(s, f.width), Put16(s, f.height);
        int packed = f.interlaced ? 0x40 : 0;
        if (!f.localColors.empty()) packed |= 0x80 | SizeCode(f.localColors.size());
        s += char(packed);
        if (!f.localColors.empty()) PutTable(s, f.localColors);
        if (!f.data.empty()) {
            s += f.data;
        } else {
            const size_t colors = f.localColors.empty() ? spec.globalColors.size() : f.localColors.size();
            s += LzwLiteral(f.pixels, f.codeSize ? f.codeSize : std::max(2, SizeCode(colors) + 1));
        }
    }
    return s + spec.trailer;
}

std::string Gce(bool transparent, int index, int delay, int disposal) {
    std::string s = "!\xF9\x04";
    s += char((transparent ? 1 : 0) | (disposal << 2));
    Put16(s, delay);
    s += char(index);
    s += '\0';
    return s;
}

std::vector<uint32_t> GreyRamp(int count) {
    std::vector<uint32_t> colors;
    for (int i = 0; i < count; ++i) {
        const uint32_t g = count > 1 ? uint32_t(i * 255 / (count - 1)) : 0;
        colors.push_back(g << 16 | g << 8 | g);
    }
    return colors;
}

}  // namespace vellicor::test

#include "PageBMPTestUtil.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <sys/wait.h>

#include <jpeglib.h>

#include "support/TempDir.h"

namespace vellicor::test {

uint8_t PatternSample(int x, int y, int c) {
    int v = (x * (3 + c) + y * (5 - c)) & 0xFF;
    if (((x / 16) + (y / 16)) % 5 == 0) v = 255 - v;  // some sharp edges
    return static_cast<uint8_t>(v);
}

std::string MakeJpeg(int width, int height, const JpegOptions& o, const SampleFn& sample) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&c, &out, &outSize);
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = o.components;
    c.in_color_space = o.components == 1 ? JCS_GRAYSCALE : o.components == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&c);
    if (o.components == 4 && o.ycck) jpeg_set_colorspace(&c, JCS_YCCK);
    jpeg_set_quality(&c, o.quality, TRUE);
    if (o.progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(static_cast<size_t>(width) * o.components);
    while (c.next_scanline < c.image_height) {
        int y = static_cast<int>(c.next_scanline);
        for (int x = 0; x < width; ++x)
            for (int k = 0; k < o.components; ++k) row[static_cast<size_t>(x) * o.components + k] = sample(x, y, k);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    std::string bytes(reinterpret_cast<char*>(out), outSize);
    jpeg_destroy_compress(&c);
    std::free(out);
    return bytes;
}

std::optional<RgbImage> ReadPnm(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::nullopt;
    std::string magic;
    int w = 0, h = 0, max = 0;
    f >> magic >> w >> h >> max;
    f.get();
    if ((magic != "P6" && magic != "P5") || w <= 0 || h <= 0 || max != 255) return std::nullopt;
    int channels = magic == "P6" ? 3 : 1;
    std::vector<uint8_t> raw(static_cast<size_t>(w) * h * channels);
    if (!f.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()))) return std::nullopt;
    RgbImage img{w, h, {}};
    if (channels == 3) {
        img.pixels = std::move(raw);
    } else {
        img.pixels.resize(raw.size() * 3);
        for (size_t i = 0; i < raw.size(); ++i) img.pixels[3 * i] = img.pixels[3 * i + 1] = img.pixels[3 * i + 2] = raw[i];
    }
    return img;
}

bool HaveDjpeg() { return std::system("djpeg -version >/dev/null 2>&1") == 0; }

std::optional<RgbImage> Djpeg(const std::string& jpegPath, int denom) {
    std::string out = jpegPath + ".djpeg.pnm";
    std::ostringstream cmd;
    cmd << "djpeg -scale 1/" << denom << " -pnm -outfile '" << out << "' '" << jpegPath << "' 2>/dev/null";
    // Exit status 2: decoded with warnings (a truncated file).
    int status = std::system(cmd.str().c_str());
    if (status == -1 || !WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 2)) return std::nullopt;
    auto img = ReadPnm(out);
    std::remove(out.c_str());
    return img;
}

int MaxDifference(const TBitmap& b, const RgbImage& img) {
    if (b.Width() != img.width || b.Height() != img.height || b.PixelFormat() != TPixelFormat::pf24bit) return -1;
    int worst = 0;
    for (int y = 0; y < img.height; ++y) {
        const uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < img.width; ++x) {
            const uint8_t* p = img.At(x, y);
            for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(int(row[x * 3 + 2 - c]) - int(p[c])));
        }
    }
    return worst;
}

void PutLe16(std::string& s, size_t at, uint16_t v) {
    if (s.size() < at + 2) s.resize(at + 2);
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

void PutLe32(std::string& s, size_t at, uint32_t v) {
    if (s.size() < at + 4) s.resize(at + 4);
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

namespace {

// File and info header, masks (after a 40-byte header) and palette; offBits set to the end.
std::string Headers(const BmpSpec& spec, size_t dataSize) {
    std::string s;
    s += "BM";
    s.resize(14 + spec.headerSize, '\0');
    PutLe32(s, 14, static_cast<uint32_t>(spec.headerSize));
    if (spec.headerSize == 12) {
        PutLe16(s, 18, static_cast<uint16_t>(spec.width));
        PutLe16(s, 20, static_cast<uint16_t>(spec.height));
        PutLe16(s, 22, 1);
        PutLe16(s, 24, static_cast<uint16_t>(spec.bpp));
    } else if (spec.headerSize >= 40) {
        PutLe32(s, 18, static_cast<uint32_t>(spec.width));
        PutLe32(s, 22, static_cast<uint32_t>(spec.height));
        PutLe16(s, 26, 1);
        PutLe16(s, 28, static_cast<uint16_t>(spec.bpp));
        PutLe32(s, 30, spec.compression);
        PutLe32(s, 34, spec.writeSizeImage ? static_cast<uint32_t>(dataSize) : 0);
        PutLe32(s, 38, 2835);
        PutLe32(s, 42, 2835);
        PutLe32(s, 46, spec.colorsUsed);
        if (spec.headerSize >= 52)
            for (int i = 0; i < 3; ++i) PutLe32(s, 54 + 4 * i, spec.masks[i]);
        if (spec.headerSize >= 56) PutLe32(s, 66, spec.masks[3]);
        if (spec.headerSize >= 108) PutLe32(s, 70, 0x73524742);  // 'sRGB'
    }
    if (spec.headerSize == 40 && spec.compression == 3)
        for (int i = 0; i < 3; ++i) PutLe32(s, s.size(), spec.masks[i]);
    for (uint32_t c : spec.palette) {
        s += static_cast<char>(c & 0xFF);
        s += static_cast<char>((c >> 8) & 0xFF);
        s += static_cast<char>((c >> 16) & 0xFF);
        if (spec.headerSize != 12) s += '\0';
    }
    PutLe32(s, 10, static_cast<uint32_t>(s.size()));
    PutLe32(s, 2, static_cast<uint32_t>(s.size() + dataSize));
    return s;
}

}  // namespace

std::string MakeBmpRaw(const BmpSpec& spec, const std::string& data) { return Headers(spec, data.size()) + data; }

std::string MakeBmp(const BmpSpec& spec, const std::function<uint32_t(int x, int y)>& pixel) {
    int h = spec.height < 0 ? -spec.height : spec.height;
    size_t stride = ((static_cast<size_t>(spec.width) * spec.bpp + 31) / 32) * 4;
    std::string data(stride * h, '\0');
    for (int row = 0; row < h; ++row) {
        int y = spec.height < 0 ? row : h - 1 - row;  // image row stored at this file row
        auto* d = reinterpret_cast<uint8_t*>(&data[stride * row]);
        for (int x = 0; x < spec.width; ++x) {
            uint32_t v = pixel(x, y);
            switch (spec.bpp) {
                case 1: d[x / 8] |= static_cast<uint8_t>((v & 1) << (7 - x % 8)); break;
                case 4: d[x / 2] |= static_cast<uint8_t>((v & 15) << (x % 2 ? 0 : 4)); break;
                case 8: d[x] = static_cast<uint8_t>(v); break;
                case 16: d[2 * x] = v & 0xFF; d[2 * x + 1] = (v >> 8) & 0xFF; break;
                case 24: d[3 * x] = v & 0xFF; d[3 * x + 1] = (v >> 8) & 0xFF; d[3 * x + 2] = (v >> 16) & 0xFF; break;
                default: for (int i = 0; i < 4; ++i) d[4 * x + i] = (v >> (8 * i)) & 0xFF; break;
            }
        }
    }
    return MakeBmpRaw(spec, data);
}

}  // namespace vellicor::test

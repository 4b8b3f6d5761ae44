#pragma once
// PNG files made by the tests, chunk by chunk, and ways to take them apart again.
#include <cstdint>
#include <string>
#include <vector>

#include <zlib.h>

#include "codecs/png/Pngimage.h"

namespace vellicor::test::png {

inline std::string Be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
inline uint32_t GetBe32(const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 | uint32_t(uint8_t(s[at + 2])) << 8 |
           uint8_t(s[at + 3]);
}

inline const std::string kSignature = "\x89PNG\r\n\x1a\n";

// One chunk with its CRC (spoilt on request).
inline std::string Chunk(const std::string& name, const std::string& data, bool badCrc = false) {
    uint32_t crc = PngCrc(PngCrc(0, name.data(), 4), data.data(), data.size());
    return Be32(uint32_t(data.size())) + name + data + Be32(badCrc ? crc ^ 1 : crc);
}

inline std::string Ihdr(uint32_t w, uint32_t h, int depth, int colorType, int interlace = 0, int compression = 0) {
    return Chunk("IHDR", Be32(w) + Be32(h) + char(depth) + char(colorType) + char(compression) + '\0' + char(interlace));
}

inline std::string Zlib(const std::string& raw, int level = 6) {
    uLongf n = compressBound(uLong(raw.size()));
    std::string out(n, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()),
              level);
    out.resize(n);
    return out;
}

inline std::string Iend() { return Chunk("IEND", ""); }

// A whole file: signature, header, the chunks given, image data of the raw (filtered) rows, end.
inline std::string File(uint32_t w, uint32_t h, int depth, int colorType, const std::string& rawRows,
                        const std::vector<std::string>& before = {}, int interlace = 0) {
    std::string f = kSignature + Ihdr(w, h, depth, colorType, interlace);
    for (const auto& c : before) f += c;
    return f + Chunk("IDAT", Zlib(rawRows)) + Iend();
}

struct ChunkView {
    std::string name, data;
};

// The chunks of a file, in order (no checks beyond the bounds).
inline std::vector<ChunkView> Chunks(const std::string& file) {
    std::vector<ChunkView> out;
    for (size_t at = 8; at + 12 <= file.size();) {
        uint32_t n = GetBe32(file, at);
        if (at + 12 + n > file.size()) break;
        out.push_back({file.substr(at + 4, 4), file.substr(at + 8, n)});
        at += 12 + n;
    }
    return out;
}

// The image data of a file, inflated: filter byte and row for every row written.
inline std::string ImageData(const std::string& file) {
    std::string z;
    for (const auto& c : Chunks(file))
        if (c.name == "IDAT") z += c.data;
    std::string out(1 << 24, '\0');
    uLongf n = uLongf(out.size());
    if (uncompress(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(z.data()), uLong(z.size())) !=
        Z_OK)
        return "";
    out.resize(n);
    return out;
}

inline std::string Save(TPNGObject& png) {
    TMemoryStream s;
    png.SaveToStream(s);
    return std::string(reinterpret_cast<const char*>(s.Memory()), size_t(s.Size()));
}

// Loads the file into png; the exception's text, or "" on success.
inline std::string Load(TPNGObject& png, const std::string& file) {
    TByteViewStream s(file.data(), int64_t(file.size()));
    try {
        png.LoadFromStream(s);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

}  // namespace vellicor::test::png

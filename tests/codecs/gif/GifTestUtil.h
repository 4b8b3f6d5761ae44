#pragma once
// Loading GIF bytes with every warning recorded, and reading pixels back.
#include <string>
#include <vector>

#include "GifBuilder.h"
#include "codecs/gif/GIFImage.h"
#include "platform/Bitmap.h"
#include "platform/Streams.h"

namespace vellicor::test {

// A 24-bit page of many colours: red across, green down, noisy blue.
inline TBitmap Gradient(int w, int h, uint32_t seed) {
    TBitmap b;
    b.SetSize(w, h, TPixelFormat::pf24bit);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245 + 12345;
            uint8_t* p = b.ScanLine(y) + 3 * x;
            p[2] = uint8_t(x * 255 / w), p[1] = uint8_t(y * 255 / h), p[0] = uint8_t((seed >> 16) & 0xFF);
        }
    return b;
}

struct LoadedGif {
    TGIFImage image;
    std::vector<std::string> warnings;
    std::string error;  // empty when loading succeeded
    int64_t position = 0;  // stream position afterwards
};

inline void LoadGif(LoadedGif& g, const std::string& bytes) {
    g.image.OnWarning = [&g](const void*, TGIFSeverity, const std::string& m) { g.warnings.push_back(m); };
    TByteViewStream s(bytes.data(), int64_t(bytes.size()));
    try {
        g.image.LoadFromStream(s);
    } catch (const GIFException& e) {
        g.error = e.what();
    }
    g.position = s.Position();
}

inline bool Has(const std::vector<std::string>& list, const std::string& item) {
    for (const auto& s : list)
        if (s == item) return true;
    return false;
}

// Frame 0's pixels in row order.
inline std::vector<uint8_t> Pixels(TGIFSubImage& f) {
    return std::vector<uint8_t>(f.Data(), f.Data() + f.DataSize());
}

}  // namespace vellicor::test

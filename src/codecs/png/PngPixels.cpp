#include "codecs/png/PngPixels.h"

#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <tmmintrin.h>
#endif

namespace vellicor::pngpixels {

namespace {

// Each 2-bit sample becomes a 4-bit index: grey v as 5v (the same grey on a 16-step
// scale), a palette index unchanged. One source byte gives two picture bytes.
struct TTwoBitTables {
    uint8_t grey[256][2];
    uint8_t palette[256][2];
    TTwoBitTables() {
        for (int b = 0; b < 256; ++b) {
            int v[4] = {(b >> 6) & 3, (b >> 4) & 3, (b >> 2) & 3, b & 3};
            grey[b][0] = static_cast<uint8_t>((5 * v[0]) << 4 | (5 * v[1]));
            grey[b][1] = static_cast<uint8_t>((5 * v[2]) << 4 | (5 * v[3]));
            palette[b][0] = static_cast<uint8_t>(v[0] << 4 | v[1]);
            palette[b][1] = static_cast<uint8_t>(v[2] << 4 | v[3]);
        }
    }
};
const TTwoBitTables kTwoBit;

// RGB samples (step bytes apart within a pixel of `stride` bytes) to blue, green, red.
template <bool Identity>
inline void RgbToBgr(const uint8_t* s, size_t n, uint8_t* d, size_t stride, size_t step, const uint8_t* g) {
    for (size_t i = 0; i < n; ++i, s += stride, d += 3) {
        if (Identity) {
            d[0] = s[2 * step];
            d[1] = s[step];
            d[2] = s[0];
        } else {
            d[0] = g[s[2 * step]];
            d[1] = g[s[step]];
            d[2] = g[s[0]];
        }
    }
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VELLICOR_PNG_SSSE3 1
// Five pixels per step with one byte shuffle. Each store writes one byte past the five
// pixels, which the next step (or the scalar tail) writes again.
__attribute__((target("ssse3"))) size_t RgbToBgrSsse3(const uint8_t* s, size_t n, uint8_t* d) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    size_t i = 0;
    for (; i + 6 <= n; i += 5)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 3 * i),
                         _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 3 * i)), order));
    return i;
}
const bool kHaveSsse3 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3") != 0;
}();
#endif

}  // namespace

TRowConverter::TRowConverter(const TChunkIHDR& header, const std::array<uint8_t, 256>& gamma)
    : colorType_(header.IHDRData.ColorType),
      depth_(header.IHDRData.BitDepth),
      dibBits_(header.DIBBitsPerPixel),
      gamma_(gamma.data()),
      identity_(true) {
    for (int i = 0; i < 256; ++i)
        if (gamma[i] != i) identity_ = false;
}

void TRowConverter::Convert(const uint8_t* s, size_t n, uint8_t* d, uint8_t* alpha) const {
    switch (colorType_) {
        case COLOR_GRAYSCALE:
        case COLOR_PALETTE:
            if (depth_ == 16) {
                for (size_t i = 0; i < n; ++i) d[i] = s[2 * i];
            } else if (depth_ == 2) {
                const auto& table = colorType_ == COLOR_GRAYSCALE ? kTwoBit.grey : kTwoBit.palette;
                for (size_t i = 0, bytes = (n + 3) / 4; i < bytes; ++i, d += 2) {
                    d[0] = table[s[i]][0];
                    d[1] = table[s[i]][1];
                }
            } else {
                std::memcpy(d, s, (n * depth_ + 7) / 8);
            }
            break;
        case COLOR_RGB:
#if defined(VELLICOR_PNG_SSSE3)
            if (identity_ && depth_ == 8 && kHaveSsse3) {
                const size_t done = RgbToBgrSsse3(s, n, d);
                RgbToBgr<true>(s + 3 * done, n - done, d + 3 * done, 3, 1, gamma_);
                break;
            }
#endif
            if (identity_) RgbToBgr<true>(s, n, d, depth_ == 16 ? 6 : 3, depth_ == 16 ? 2 : 1, gamma_);
            else RgbToBgr<false>(s, n, d, depth_ == 16 ? 6 : 3, depth_ == 16 ? 2 : 1, gamma_);
            break;
        case COLOR_GRAYSCALEALPHA: {
            const size_t stride = depth_ == 16 ? 4 : 2;
            for (size_t i = 0; i < n; ++i, s += stride) {
                d[i] = s[0];
                alpha[i] = s[stride / 2];
            }
            break;
        }
        case COLOR_RGBALPHA: {
            const size_t stride = depth_ == 16 ? 8 : 4, step = depth_ == 16 ? 2 : 1;
            if (identity_) RgbToBgr<true>(s, n, d, stride, step, gamma_);
            else RgbToBgr<false>(s, n, d, stride, step, gamma_);
            for (size_t i = 0; i < n; ++i) alpha[i] = s[i * stride + 3 * step];
            break;
        }
        default: break;
    }
}

void TRowConverter::Spread(const uint8_t* p, const uint8_t* alphaIn, size_t n, size_t start, size_t step,
                           uint8_t* row, uint8_t* alphaRow) const {
    switch (dibBits_) {
        case 24:
            for (size_t k = 0, x = start; k < n; ++k, x += step) {
                row[3 * x] = p[3 * k];
                row[3 * x + 1] = p[3 * k + 1];
                row[3 * x + 2] = p[3 * k + 2];
            }
            break;
        case 8:
            for (size_t k = 0, x = start; k < n; ++k, x += step) row[x] = p[k];
            break;
        case 4:
            for (size_t k = 0, x = start; k < n; ++k, x += step) {
                uint8_t v = (k & 1) ? (p[k >> 1] & 15) : (p[k >> 1] >> 4);
                row[x >> 1] |= (x & 1) ? v : static_cast<uint8_t>(v << 4);
            }
            break;
        case 1:
            for (size_t k = 0, x = start; k < n; ++k, x += step) {
                uint8_t v = (p[k >> 3] >> (7 - (k & 7))) & 1;
                row[x >> 3] |= static_cast<uint8_t>(v << (7 - (x & 7)));
            }
            break;
        default: break;
    }
    if (alphaRow)
        for (size_t k = 0, x = start; k < n; ++k, x += step) alphaRow[x] = alphaIn[k];
}

}  // namespace vellicor::pngpixels

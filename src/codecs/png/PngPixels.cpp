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

bool ColourKey(const TChunkIHDR& header, const TChunktRNS* trns, uint16_t key[3]) {
    const uint8_t colorType = header.IHDRData.ColorType, depth = header.IHDRData.BitDepth;
    // tRNS of grey and RGB images: the key's samples, 2 bytes each.
    const unsigned samples = colorType == COLOR_GRAYSCALE ? 1 : colorType == COLOR_RGB ? 3 : 0;
    if (!trns || samples == 0 || trns->DataSize() < 2 * samples) return false;
    for (unsigned c = 0; c < samples; ++c) {
        const uint8_t* d = trns->Data() + 2 * c;
        key[c] = static_cast<uint16_t>(d[0] << 8 | d[1]);
        // Samples below 16 bits hold only their low bits of the key.
        if (depth < 16) key[c] = static_cast<uint16_t>(key[c] & ((1u << depth) - 1));
    }
    return true;
}

void MarkKey(const TIHDRData& header, const uint16_t key[3], const uint8_t* s, size_t n, uint8_t* mask, size_t start,
             size_t step) {
    const unsigned samples = header.ColorType == COLOR_RGB ? 3 : 1, depth = header.BitDepth;
    auto sample = [&](size_t k) -> unsigned {
        if (depth == 16) return unsigned(s[2 * k]) << 8 | s[2 * k + 1];
        if (depth == 8) return s[k];
        const size_t bit = k * depth;
        return (s[bit >> 3] >> (8 - depth - (bit & 7))) & ((1u << depth) - 1);
    };
    for (size_t i = 0, x = start; i < n; ++i, x += step) {
        bool match = true;
        for (unsigned c = 0; c < samples && match; ++c) match = sample(i * samples + c) == key[c];
        const uint8_t bit = static_cast<uint8_t>(0x80u >> (x & 7));
        if (match) mask[x >> 3] |= bit;
        else mask[x >> 3] &= static_cast<uint8_t>(~bit);
    }
}

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

namespace {

// s drawn with alpha a over white, as the page blends: (s*a + 255 + (255-a)*255) / 256.
inline uint8_t OverWhite(unsigned s, unsigned a) { return static_cast<uint8_t>((s * a + 255 + (255 - a) * 255) >> 8); }

inline uint32_t Bgr(uint8_t b, uint8_t g, uint8_t r) { return uint32_t(b) | uint32_t(g) << 8 | uint32_t(r) << 16; }
constexpr uint32_t kWhite = 0xFFFFFF;

inline void Put3(uint8_t* d, uint32_t c) {
    d[0] = uint8_t(c);
    d[1] = uint8_t(c >> 8);
    d[2] = uint8_t(c >> 16);
}

inline uint16_t Sample16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

TPageRowConverter::TPageRowConverter(const TChunkIHDR& header, const std::array<uint8_t, 256>& gamma,
                                     const TChunktRNS* trns)
    : depth_(header.IHDRData.BitDepth), gamma_(gamma.data()) {
    for (int i = 0; i < 256; ++i)
        if (gamma[i] != i) identity_ = false;
    const uint8_t colorType = header.IHDRData.ColorType;
    // tRNS: for grey and RGB a key, for palettes one alpha per entry.
    keyed_ = ColourKey(header, trns, key_);
    for (int i = 0; i < 256; ++i) {
        const TRGBQuad& q = header.Palette[i];
        colours_[i] = Bgr(q.blue, q.green, q.red);
    }
    switch (colorType) {
        case COLOR_GRAYSCALE:
            kind_ = depth_ == 16 && keyed_ ? kGrey16 : kIndexed;
            if (depth_ == 2)  // the grey ramp has 16 entries: value v is entry 5v
                for (int v = 3; v >= 0; --v) colours_[v] = colours_[5 * v];
            if (keyed_ && depth_ <= 8) colours_[key_[0]] = kWhite;
            break;
        case COLOR_PALETTE:
            kind_ = kIndexed;
            if (trns)
                for (int i = 0; i < 256; ++i) {
                    const TRGBQuad& q = header.Palette[i];
                    const unsigned a = trns->PaletteValues[size_t(i)];
                    colours_[i] = Bgr(OverWhite(q.blue, a), OverWhite(q.green, a), OverWhite(q.red, a));
                }
            break;
        case COLOR_RGB: kind_ = kRgb; break;
        case COLOR_GRAYSCALEALPHA: kind_ = kGreyAlpha; break;
        case COLOR_RGBALPHA: kind_ = kRgba; break;
        default: break;
    }
    const uint8_t zeros[16] = {};
    uint8_t fill[4] = {};
    Convert(zeros, 1, fill);
    std::memcpy(fill_, fill, 3);
}

void TPageRowConverter::ConvertIndexed(const uint8_t* s, size_t n, uint8_t* d) const {
    if (n == 0) return;
    if (depth_ == 8 || depth_ == 16) {
        const size_t step = depth_ / 8;
        // Four bytes stored per pixel, three kept: every pixel but the last.
        for (size_t i = 0; i + 1 < n; ++i, d += 3) std::memcpy(d, &colours_[s[i * step]], 4);
        Put3(d, colours_[s[(n - 1) * step]]);
        return;
    }
    const unsigned bits = depth_, mask = (1u << bits) - 1;
    for (size_t i = 0; i < n; ++i, d += 3) {
        const size_t bit = i * bits;
        Put3(d, colours_[(s[bit >> 3] >> (8 - bits - (bit & 7))) & mask]);
    }
}

template <bool Identity>
void TPageRowConverter::ConvertRgb(const uint8_t* s, size_t n, uint8_t* d) const {
    const size_t step = depth_ == 16 ? 2 : 1, stride = 3 * step;
    const uint8_t* g = gamma_;
    for (size_t i = 0; i < n; ++i, s += stride, d += 3) {
        if (keyed_ &&
            (depth_ == 16 ? Sample16(s) == key_[0] && Sample16(s + 2) == key_[1] && Sample16(s + 4) == key_[2]
                          : s[0] == key_[0] && s[1] == key_[1] && s[2] == key_[2])) {
            d[0] = d[1] = d[2] = 255;
            continue;
        }
        d[0] = Identity ? s[2 * step] : g[s[2 * step]];
        d[1] = Identity ? s[step] : g[s[step]];
        d[2] = Identity ? s[0] : g[s[0]];
    }
}

template <bool Identity>
void TPageRowConverter::ConvertRgba(const uint8_t* s, size_t n, uint8_t* d) const {
    const size_t step = depth_ == 16 ? 2 : 1, stride = 4 * step;
    const uint8_t* g = gamma_;
    for (size_t i = 0; i < n; ++i, s += stride, d += 3) {
        const unsigned a = s[3 * step];
        const unsigned b = Identity ? s[2 * step] : g[s[2 * step]];
        const unsigned gr = Identity ? s[step] : g[s[step]];
        const unsigned r = Identity ? s[0] : g[s[0]];
        if (a == 255) {
            d[0] = uint8_t(b);
            d[1] = uint8_t(gr);
            d[2] = uint8_t(r);
        } else {
            d[0] = OverWhite(b, a);
            d[1] = OverWhite(gr, a);
            d[2] = OverWhite(r, a);
        }
    }
}

void TPageRowConverter::Convert(const uint8_t* s, size_t n, uint8_t* d) const {
    switch (kind_) {
        case kIndexed: ConvertIndexed(s, n, d); break;
        case kGrey16:
            for (size_t i = 0; i < n; ++i, s += 2, d += 3)
                Put3(d, Sample16(s) == key_[0] ? kWhite : colours_[s[0]]);
            break;
        case kRgb:
#if defined(VELLICOR_PNG_SSSE3)
            if (identity_ && !keyed_ && depth_ == 8 && kHaveSsse3) {
                const size_t done = RgbToBgrSsse3(s, n, d);
                RgbToBgr<true>(s + 3 * done, n - done, d + 3 * done, 3, 1, gamma_);
                break;
            }
#endif
            if (identity_) ConvertRgb<true>(s, n, d);
            else ConvertRgb<false>(s, n, d);
            break;
        case kGreyAlpha: {
            const size_t step = depth_ == 16 ? 2 : 1;
            for (size_t i = 0; i < n; ++i, s += 2 * step, d += 3) {
                const uint32_t c = colours_[s[0]];
                const unsigned a = s[step];
                const uint8_t grey = uint8_t(c);  // the ramp's blue, green and red are equal
                d[0] = d[1] = d[2] = a == 255 ? grey : OverWhite(grey, a);
            }
            break;
        }
        case kRgba:
            if (identity_) ConvertRgba<true>(s, n, d);
            else ConvertRgba<false>(s, n, d);
            break;
    }
}

}  // namespace vellicor::pngpixels

#include "codecs/png/PngFilters.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vellicor::pngfilters {

namespace {

void UnfilterSub(uint8_t* row, size_t n, unsigned bpp) {
    for (size_t i = bpp; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - bpp]);
}

void UnfilterUp(uint8_t* row, const uint8_t* prev, size_t n) {
    for (size_t i = 0; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + prev[i]);
}

void UnfilterAverage(uint8_t* row, const uint8_t* prev, size_t n, unsigned bpp) {
    for (size_t i = 0; i < bpp && i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + (prev[i] >> 1));
    for (size_t i = bpp; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + ((row[i - bpp] + prev[i]) >> 1));
}

void UnfilterPaeth(uint8_t* row, const uint8_t* prev, size_t n, unsigned bpp) {
    // The first pixel has no left neighbours: the predictor is the byte above.
    for (size_t i = 0; i < bpp && i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + prev[i]);
    for (size_t i = bpp; i < n; ++i)
        row[i] = static_cast<uint8_t>(row[i] + PaethPredictor(row[i - bpp], prev[i], prev[i - bpp]));
}

#if defined(__SSE2__)
// Pixels of 3 and 4 bytes go one pixel per step in 16-bit lanes. Each step loads and
// stores 4 bytes; with 3-byte pixels the fourth lane's prediction is forced to 0, so the
// byte it stores back is the next pixel's byte unchanged.

inline __m128i Load4(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}
inline void Store4(uint8_t* p, __m128i v) {
    int32_t x = _mm_cvtsi128_si32(v);
    std::memcpy(p, &x, 4);
}

inline __m128i PixelMask8(unsigned bpp) { return _mm_cvtsi32_si128(bpp == 3 ? 0x00FFFFFF : -1); }

void UnfilterSub34(uint8_t* row, size_t n, unsigned bpp) {
    const __m128i mask = PixelMask8(bpp);
    __m128i a = _mm_setzero_si128();
    for (size_t i = 0; i < n; i += bpp) {
        __m128i x = _mm_add_epi8(Load4(row + i), _mm_and_si128(a, mask));
        Store4(row + i, x);
        a = x;
    }
}

void UnfilterAverage34(uint8_t* row, const uint8_t* prev, size_t n, unsigned bpp) {
    const __m128i mask = PixelMask8(bpp);
    const __m128i one = _mm_set1_epi8(1);
    __m128i a = _mm_setzero_si128();
    for (size_t i = 0; i < n; i += bpp) {
        __m128i b = Load4(prev + i);
        // (a + b) / 2 rounded down: the rounded-up byte average less the carried-in half
        __m128i avg = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
        __m128i x = _mm_add_epi8(Load4(row + i), _mm_and_si128(avg, mask));
        Store4(row + i, x);
        a = x;
    }
}

inline __m128i Abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }
inline __m128i Select(__m128i mask, __m128i ifSet, __m128i ifClear) {
    return _mm_or_si128(_mm_and_si128(mask, ifSet), _mm_andnot_si128(mask, ifClear));
}

void UnfilterPaeth34(uint8_t* row, const uint8_t* prev, size_t n, unsigned bpp) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i mask = PixelMask8(bpp);
    __m128i a = zero, c = zero;  // left and upper-left pixels, 16-bit lanes
    for (size_t i = 0; i < n; i += bpp) {
        __m128i b = _mm_unpacklo_epi8(Load4(prev + i), zero);
        __m128i pa = _mm_sub_epi16(b, c);  // p - a
        __m128i pb = _mm_sub_epi16(a, c);  // p - b
        __m128i pc = Abs16(_mm_add_epi16(pa, pb));
        pa = Abs16(pa);
        pb = Abs16(pb);
        // b unless pc is smaller; then a unless that choice is smaller than pa
        __m128i bc = Select(_mm_cmpgt_epi16(pb, pc), c, b);
        __m128i pred = Select(_mm_cmpgt_epi16(pa, _mm_min_epi16(pb, pc)), bc, a);
        __m128i x = _mm_add_epi8(Load4(row + i), _mm_and_si128(_mm_packus_epi16(pred, pred), mask));
        Store4(row + i, x);
        a = _mm_unpacklo_epi8(x, zero);
        c = b;
    }
}
#endif

}  // namespace

void Unfilter(uint8_t filter, uint8_t* row, const uint8_t* prev, size_t n, unsigned bpp) {
#if defined(__SSE2__)
    const bool simd = bpp == 3 || bpp == 4;
#else
    const bool simd = false;
#endif
    switch (filter) {
        case 1:
#if defined(__SSE2__)
            if (simd) return UnfilterSub34(row, n, bpp);
#endif
            return UnfilterSub(row, n, bpp);
        case 2: return UnfilterUp(row, prev, n);
        case 3:
#if defined(__SSE2__)
            if (simd) return UnfilterAverage34(row, prev, n, bpp);
#endif
            return UnfilterAverage(row, prev, n, bpp);
        case 4:
#if defined(__SSE2__)
            if (simd) return UnfilterPaeth34(row, prev, n, bpp);
#endif
            return UnfilterPaeth(row, prev, n, bpp);
        default: (void)simd; return;
    }
}

}  // namespace vellicor::pngfilters

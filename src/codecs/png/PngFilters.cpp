#include "codecs/png/PngFilters.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <smmintrin.h>
#endif

namespace vellicor::pngfilters {

namespace {

// Left neighbours are carried in registers: reading them back from the row just written
// would wait on each store.
void UnfilterSub(uint8_t* row, size_t n, unsigned bpp) {
    if (bpp == 1) {
        uint8_t a = 0;
        for (size_t i = 0; i < n; ++i) row[i] = a = static_cast<uint8_t>(row[i] + a);
        return;
    }
    for (size_t i = bpp; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - bpp]);
}

void UnfilterUp(uint8_t* row, const uint8_t* prev, size_t n) {
    for (size_t i = 0; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + prev[i]);
}

void UnfilterAverage(uint8_t* row, const uint8_t* prev, size_t n, unsigned bpp) {
    if (bpp == 1) {
        unsigned a = 0;
        for (size_t i = 0; i < n; ++i) row[i] = static_cast<uint8_t>(a = (row[i] + ((a + prev[i]) >> 1)) & 255);
        return;
    }
    for (size_t i = 0; i < bpp && i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + (prev[i] >> 1));
    for (size_t i = bpp; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + ((row[i - bpp] + prev[i]) >> 1));
}

void UnfilterPaeth(uint8_t* row, const uint8_t* prev, size_t n, unsigned bpp) {
    if (bpp == 1) {
        int a = 0, c = 0;
        for (size_t i = 0; i < n; ++i) {
            const int b = prev[i];
            a = static_cast<uint8_t>(row[i] + PaethPredictor(a, b, c));
            row[i] = static_cast<uint8_t>(a);
            c = b;
        }
        return;
    }
    // The first pixel has no left neighbours: the predictor is the byte above.
    for (size_t i = 0; i < bpp && i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + prev[i]);
    for (size_t i = bpp; i < n; ++i)
        row[i] = static_cast<uint8_t>(row[i] + PaethPredictor(row[i - bpp], prev[i], prev[i - bpp]));
}

#if defined(__SSE2__)
// Pixels of 3 and 4 bytes go one pixel per step. Each step loads and stores 4 bytes; with
// 3-byte pixels the fourth byte stored is wrong, but the next pixel's bytes were loaded
// before that store and its own store puts them right (the last one lands in the spare
// room after the row). The next pixel is always loaded before this one is stored, as a
// load overlapping a store just made would wait for it.

inline __m128i Load4(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}
inline void Store4(uint8_t* p, __m128i v) {
    int32_t x = _mm_cvtsi128_si32(v);
    std::memcpy(p, &x, 4);
}

void UnfilterSub34(uint8_t* row, size_t n, unsigned bpp) {
    __m128i a = _mm_setzero_si128();
    __m128i raw = Load4(row);
    for (size_t i = 0; i < n; i += bpp) {
        __m128i x = _mm_add_epi8(raw, a);
        raw = Load4(row + i + bpp);
        Store4(row + i, x);
        a = x;
    }
}

void UnfilterAverage34(uint8_t* row, const uint8_t* prev, size_t n, unsigned bpp) {
    const __m128i one = _mm_set1_epi8(1);
    __m128i a = _mm_setzero_si128();
    __m128i raw = Load4(row);
    for (size_t i = 0; i < n; i += bpp) {
        __m128i b = Load4(prev + i);
        // (a + b) / 2 rounded down: the rounded-up byte average less the carried-in half
        __m128i avg = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
        __m128i x = _mm_add_epi8(raw, avg);
        raw = Load4(row + i + bpp);
        Store4(row + i, x);
        a = x;
    }
}

inline __m128i Abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }
inline __m128i Select(__m128i mask, __m128i ifSet, __m128i ifClear) {
    return _mm_or_si128(_mm_and_si128(mask, ifSet), _mm_andnot_si128(mask, ifClear));
}

// The predictor in 16-bit lanes: b unless pc is smaller than pb (then c); a unless that
// choice is smaller than pa. Abs and select are template arguments so that the same loop
// is built once for plain SSE2 and once with SSE4.1's one-instruction forms.
template <__m128i (*AbsOp)(__m128i), __m128i (*SelectOp)(__m128i, __m128i, __m128i)>
inline __attribute__((always_inline)) void PaethLoop(uint8_t* row, const uint8_t* prev, size_t n, unsigned bpp) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_set1_epi16(0xFF);
    __m128i a = zero, c = zero;  // left and upper-left pixels
    __m128i raw = _mm_unpacklo_epi8(Load4(row), zero);
    for (size_t i = 0; i < n; i += bpp) {
        __m128i b = _mm_unpacklo_epi8(Load4(prev + i), zero);
        __m128i pa = _mm_sub_epi16(b, c);  // p - a
        __m128i pb = _mm_sub_epi16(a, c);  // p - b
        __m128i pc = AbsOp(_mm_add_epi16(pa, pb));
        pa = AbsOp(pa);
        pb = AbsOp(pb);
        __m128i bc = SelectOp(_mm_cmpgt_epi16(pb, pc), c, b);
        __m128i pred = SelectOp(_mm_cmpgt_epi16(pa, _mm_min_epi16(pb, pc)), bc, a);
        __m128i x = _mm_and_si128(_mm_add_epi16(raw, pred), low);
        raw = _mm_unpacklo_epi8(Load4(row + i + bpp), zero);
        Store4(row + i, _mm_packus_epi16(x, x));
        a = x;
        c = b;
    }
}

void UnfilterPaeth34(uint8_t* row, const uint8_t* prev, size_t n, unsigned bpp) {
    PaethLoop<Abs16, Select>(row, prev, n, bpp);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VELLICOR_PAETH_SSE41 1
__attribute__((target("sse4.1"))) inline __m128i Abs16Sse41(__m128i v) { return _mm_abs_epi16(v); }
__attribute__((target("sse4.1"))) inline __m128i SelectSse41(__m128i mask, __m128i ifSet, __m128i ifClear) {
    return _mm_blendv_epi8(ifClear, ifSet, mask);
}
__attribute__((target("sse4.1"))) void UnfilterPaeth34Sse41(uint8_t* row, const uint8_t* prev, size_t n,
                                                            unsigned bpp) {
    PaethLoop<Abs16Sse41, SelectSse41>(row, prev, n, bpp);
}
const bool kHaveSse41 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.1") != 0;
}();
#endif
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
            if (simd) {
#if defined(VELLICOR_PAETH_SSE41)
                if (kHaveSse41) return UnfilterPaeth34Sse41(row, prev, n, bpp);
#endif
                return UnfilterPaeth34(row, prev, n, bpp);
            }
#endif
            return UnfilterPaeth(row, prev, n, bpp);
        default: (void)simd; return;
    }
}

}  // namespace vellicor::pngfilters

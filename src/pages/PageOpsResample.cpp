// Lanczos resampling (three lobes, 16.16 fixed point, two separable passes) and the
// quarter and half turns.
//
// Sums are exact integer sums, so the order of the taps does not change a result: the
// vector kernels below give the same bytes as the plain loops.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <utility>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pages/PageOps.h"
#include "pages/PageOpsScratch.h"
#include "platform/Parallel.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VELLICOR_PAGEOPS_X86 1
#endif

namespace vellicor {

namespace {

using pageops::Scratch;
using pageops::ScratchPool;

constexpr size_t kWorkAreaSlack = 6144;

ScratchPool<uint8_t> g_workArea;
ScratchPool<int32_t> g_columnContributors;
ScratchPool<int32_t> g_rowContributors;
ScratchPool<int16_t> g_packedWeights;

bool Is24Bit(const TBitmap& bmp) { return bmp.PixelFormat() == TPixelFormat::pf24bit; }

// ---- Contributors ----
//
// For each output the taps read the raw source indices first .. first + taps - 1 (one
// stride of weights per output, zero beyond its own taps). Raw indices outside the source
// read it mirrored: -j for j < 0, 2 * size - j - 1 for j >= size, then clamped into it
// (a tiny source would otherwise be read outside). lo .. hi is the raw range read.
struct Axis {
    int outputs = 0;
    int taps = 0;
    int lo = 0;
    int hi = 0;
    bool wide = false;           // some weight is outside the int16 range
    int32_t* first = nullptr;    // [outputs]
    int32_t* weights = nullptr;  // [outputs * taps]
};

int Mirror(int j, int size) {
    if (j < 0) j = -j;
    else if (j >= size) j = 2 * size - j - 1;
    return std::clamp(j, 0, size - 1);
}

double Sinc(double t) {
    if (t == 0.0) return 1.0;
    t *= M_PI;
    return std::sin(t) / t;
}

// The kernel L(x) = sinc(x) * sinc(x / 3) in 16.16, truncated, all in double.
int32_t Lanczos3(double x) { return int32_t(Sinc(x) * Sinc(x / 3.0) * 65536.0); }

// The scale factor as a single-precision float: (dst - 1) / (src - 1), dst when the source
// is one pixel, 1 / src when the target is.
float ScaleFactor(int src, int dst) {
    if (src == 1) return float(dst);
    if (dst == 1) return 1.0f / float(src);
    return float(dst - 1) / float(src - 1);
}

// Calls out(j, weight) for every tap of output i, nonzero or not, in increasing j.
// Centre and distances in double from the single-precision scale; when reducing, the
// weight is the truncated kernel value divided by 1 / scale, also in double.
template <typename Out>
void ForEachTap(int i, float scale, Out out) {
    const double xs = scale;
    const double c = double(i) / xs;
    if (scale >= 1.0f) {
        for (int j = int(std::floor(c - 3.0)); j <= int(std::ceil(c + 3.0)); ++j) {
            const double x = std::fabs(c - j);
            out(j, x >= 3.0 ? 0 : Lanczos3(x));
        }
    } else {
        const double support = double(3.0f / scale);
        const double inverse = 1.0 / xs;
        for (int j = int(std::floor(c - support)); j <= int(std::ceil(c + support)); ++j) {
            const double x = std::fabs(c - j) * xs;
            out(j, x >= 3.0 ? 0 : int32_t(double(Lanczos3(x)) / inverse));
        }
    }
}

// The nonzero taps of output i in increasing j, rescaled so that they add up to 1.0
// (65536): the truncated kernel alone sums to a little less, and a flat colour would come
// out darker. Each weight is rounded; what rounding leaves over goes to the largest one.
void OutputTaps(int i, float scale, std::vector<std::pair<int, int32_t>>& taps) {
    taps.clear();
    ForEachTap(i, scale, [&](int j, int32_t w) {
        if (w != 0) taps.emplace_back(j, w);
    });
    int64_t sum = 0;
    for (const auto& t : taps) sum += t.second;
    if (sum <= 0) return;
    int64_t total = 0;
    size_t largest = 0;
    for (size_t k = 0; k < taps.size(); ++k) {
        taps[k].second = int32_t(std::llround(double(taps[k].second) * 65536.0 / double(sum)));
        total += taps[k].second;
        if (std::abs(taps[k].second) > std::abs(taps[largest].second)) largest = k;
    }
    taps[largest].second += int32_t(65536 - total);
}

// The axis last built in a shared buffer: pages of a book mostly share their sizes, and
// the weights cost a sine each.
struct AxisKey {
    int src = -1, dst = -1, tapMultiple = -1;
    bool operator==(const AxisKey&) const = default;
};
struct AxisCache {
    AxisKey key;
    Axis axis;
};
AxisCache g_columnCache, g_rowCache;

// Builds the contributors of one axis; taps is rounded up to a multiple of tapMultiple.
// reused tells whether the shared buffer already held them.
bool BuildAxis(Scratch<int32_t>& buf, AxisCache& cache, int src, int dst, int tapMultiple, Axis& a, bool& reused) {
    const AxisKey key{src, dst, tapMultiple};
    reused = buf.Shared() && cache.key == key;
    if (reused) {
        a = cache.axis;
        return true;
    }
    if (buf.Shared()) cache.key = AxisKey{};
    const float scale = ScaleFactor(src, dst);
    std::vector<std::pair<int, int32_t>> list;
    // First pass: the nonzero extent of every output.
    int taps = 1;
    for (int i = 0; i < dst; ++i) {
        OutputTaps(i, scale, list);
        if (!list.empty()) taps = std::max(taps, list.back().first - list.front().first + 1);
    }
    taps = (taps + tapMultiple - 1) / tapMultiple * tapMultiple;
    const size_t need = size_t(dst) * (1 + size_t(taps));
    if (!buf.Reserve(need, size_t(6) * (1 + size_t(taps)))) return false;
    a.outputs = dst;
    a.taps = taps;
    a.first = buf.Data();
    a.weights = buf.Data() + dst;
    a.wide = false;
    std::fill(a.weights, a.weights + size_t(dst) * taps, 0);
    a.lo = 0;
    a.hi = 0;
    for (int i = 0; i < dst; ++i) {
        OutputTaps(i, scale, list);
        const int f = list.empty() ? 0 : list.front().first;  // 0 when every weight is 0
        int32_t* w = a.weights + size_t(i) * taps;
        for (const auto& [j, wt] : list) {
            w[j - f] = wt;
            if (wt < -32768 || wt > 32767) a.wide = true;
        }
        a.first[i] = f;
        a.lo = std::min(a.lo, f);
        a.hi = std::max(a.hi, f + taps - 1);
    }
    if (buf.Shared()) cache = AxisCache{key, a};
    return true;
}

// ---- Kernels ----

inline uint8_t Clamp16(int32_t acc) { return uint8_t(std::clamp(acc, 0, 0xFF0000) >> 16); }

// Weights of the horizontal pass as the vector kernel wants them (empty for the plain loop).
struct PackedWeights {
    int16_t* low = nullptr;   // the weights, or their low bytes when wide
    int16_t* high = nullptr;  // the high parts (weight >> 8) when wide
};

// One row through the horizontal contributors; padded[0] is raw index a.lo.
void HorizontalRowPlain(const uint8_t* padded, uint8_t* out, const Axis& a, const PackedWeights&) {
    for (int i = 0; i < a.outputs; ++i) {
        const uint8_t* p = padded + 3 * size_t(a.first[i] - a.lo);
        const int32_t* w = a.weights + size_t(i) * a.taps;
        int32_t b = 32767, g = 32767, r = 32767;
        for (int k = 0; k < a.taps; ++k, p += 3) {
            b += p[0] * w[k];
            g += p[1] * w[k];
            r += p[2] * w[k];
        }
        out[3 * i] = Clamp16(b);
        out[3 * i + 1] = Clamp16(g);
        out[3 * i + 2] = Clamp16(r);
    }
}

// One output row from the rows of the intermediate image: out[x] for from <= x < n.
void VerticalRowPlain(const uint8_t* const* rows, const int32_t* w, int taps, uint8_t* out, size_t from,
                      size_t n) {
    for (size_t x = from; x < n; ++x) {
        int32_t acc = 32767;
        for (int k = 0; k < taps; ++k) acc += rows[k][x] * w[k];
        out[x] = Clamp16(acc);
    }
}

#ifdef VELLICOR_PAGEOPS_X86
// Horizontal weights in groups of four taps: 16 int16 per group, the pair (k, k + 1) four
// times over in the low half and the pair (k + 2, k + 3) in the high half, matching the
// pixel pairs the kernel's shuffle makes. Weights beyond int16 are split into
// high * 256 + low with low in 0..255, both exact in int16.
void PackHorizontalWeights(const Axis& a, PackedWeights& pw) {
    const size_t groups = size_t(a.taps) / 4;
    for (int i = 0; i < a.outputs; ++i) {
        const int32_t* w = a.weights + size_t(i) * a.taps;
        for (size_t g = 0; g < groups; ++g) {
            int16_t* lo = pw.low + (size_t(i) * groups + g) * 16;
            int16_t* hi = a.wide ? pw.high + (size_t(i) * groups + g) * 16 : nullptr;
            for (int e = 0; e < 16; ++e) {
                const int32_t wt = w[4 * g + (e >= 8 ? 2 : 0) + (e & 1)];
                if (a.wide) {
                    lo[e] = int16_t(wt & 255);
                    hi[e] = int16_t(wt >> 8);
                } else {
                    lo[e] = int16_t(wt);
                }
            }
        }
    }
}

template <bool Wide>
__attribute__((target("avx2"))) void HorizontalRowAvx2(const uint8_t* padded, uint8_t* out, const Axis& a,
                                                      const PackedWeights& pw) {
    // Sixteen bytes from the group's first pixel go to both halves; each half picks its
    // two pixels as (blue, blue', green, green', red, red', 0, 0) in int16 for pmaddwd.
    const __m256i pick = _mm256_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1,  //
                                          6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1);
    const __m128i bias = _mm_set1_epi32(32767);
    const __m128i zero = _mm_setzero_si128();
    const __m128i top = _mm_set1_epi32(0xFF0000);
    const size_t groups = size_t(a.taps) / 4;
    const __m256i* wl = reinterpret_cast<const __m256i*>(pw.low);
    const __m256i* wh = reinterpret_cast<const __m256i*>(pw.high);
    for (int i = 0; i < a.outputs; ++i) {
        const uint8_t* p = padded + 3 * size_t(a.first[i] - a.lo);
        __m256i accLo = _mm256_setzero_si256(), accHi = _mm256_setzero_si256();
        for (size_t g = 0; g < groups; ++g, p += 12) {
            const __m256i px = _mm256_shuffle_epi8(
                _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))), pick);
            accLo = _mm256_add_epi32(accLo, _mm256_madd_epi16(px, _mm256_loadu_si256(wl++)));
            if constexpr (Wide) accHi = _mm256_add_epi32(accHi, _mm256_madd_epi16(px, _mm256_loadu_si256(wh++)));
        }
        __m128i acc = _mm_add_epi32(_mm256_castsi256_si128(accLo), _mm256_extracti128_si256(accLo, 1));
        if constexpr (Wide) {
            const __m128i high = _mm_add_epi32(_mm256_castsi256_si128(accHi), _mm256_extracti128_si256(accHi, 1));
            acc = _mm_add_epi32(acc, _mm_slli_epi32(high, 8));
        }
        acc = _mm_add_epi32(acc, bias);
        acc = _mm_srli_epi32(_mm_min_epi32(_mm_max_epi32(acc, zero), top), 16);
        acc = _mm_packus_epi16(_mm_packus_epi32(acc, acc), zero);
        // Four bytes written; the fourth is overwritten by the next output (room is left
        // after the last one).
        const uint32_t v = uint32_t(_mm_cvtsi128_si32(acc));
        std::memcpy(out + 3 * size_t(i), &v, 4);
    }
}

// Two taps at a time: the bytes of rows k and k + 1 interleaved and widened to int16
// pairs, each pair multiplied by the pair of weights in one pmaddwd. Weights beyond int16
// are split into high * 256 + low as in the horizontal kernel, both exact.
__attribute__((target("avx2"))) void VerticalRowAvx2(const uint8_t* const* rows, const int32_t* w, int taps,
                                                    uint8_t* out, size_t n) {
    const __m256i bias = _mm256_set1_epi32(32767);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i top = _mm256_set1_epi32(0xFF0000);
    // Pairs of weights as int16 (low, high parts); an odd last tap pairs with weight 0.
    int32_t lowPairs[64], highPairs[64];
    const int pairs = (taps + 1) / 2;
    if (pairs > 64) {
        VerticalRowPlain(rows, w, taps, out, 0, n);
        return;
    }
    bool wide = false;
    for (int k = 0; k < taps; ++k) wide |= w[k] < -32768 || w[k] > 32767;
    for (int q = 0; q < pairs; ++q) {
        const int32_t a = w[2 * q], b = 2 * q + 1 < taps ? w[2 * q + 1] : 0;
        const int32_t al = wide ? (a & 255) : a, bl = wide ? (b & 255) : b;
        const int32_t ah = wide ? (a >> 8) : 0, bh = wide ? (b >> 8) : 0;
        lowPairs[q] = int32_t(uint32_t(uint16_t(al)) | uint32_t(uint16_t(bl)) << 16);
        highPairs[q] = int32_t(uint32_t(uint16_t(ah)) | uint32_t(uint16_t(bh)) << 16);
    }
    size_t x = 0;
    for (; x + 32 <= n; x += 32) {
        __m256i l0 = zero, l1 = zero, l2 = zero, l3 = zero;
        __m256i h0 = zero, h1 = zero, h2 = zero, h3 = zero;
        for (int q = 0; q < pairs; ++q) {
            const uint8_t* ra = rows[2 * q] + x;
            const uint8_t* rb = (2 * q + 1 < taps ? rows[2 * q + 1] : rows[2 * q]) + x;
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ra));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rb));
            const __m256i lo = _mm256_unpacklo_epi8(a, b), hi = _mm256_unpackhi_epi8(a, b);
            const __m256i p0 = _mm256_unpacklo_epi8(lo, zero), p1 = _mm256_unpackhi_epi8(lo, zero);
            const __m256i p2 = _mm256_unpacklo_epi8(hi, zero), p3 = _mm256_unpackhi_epi8(hi, zero);
            const __m256i wl = _mm256_set1_epi32(lowPairs[q]);
            l0 = _mm256_add_epi32(l0, _mm256_madd_epi16(p0, wl));
            l1 = _mm256_add_epi32(l1, _mm256_madd_epi16(p1, wl));
            l2 = _mm256_add_epi32(l2, _mm256_madd_epi16(p2, wl));
            l3 = _mm256_add_epi32(l3, _mm256_madd_epi16(p3, wl));
            if (wide) {
                const __m256i wh = _mm256_set1_epi32(highPairs[q]);
                h0 = _mm256_add_epi32(h0, _mm256_madd_epi16(p0, wh));
                h1 = _mm256_add_epi32(h1, _mm256_madd_epi16(p1, wh));
                h2 = _mm256_add_epi32(h2, _mm256_madd_epi16(p2, wh));
                h3 = _mm256_add_epi32(h3, _mm256_madd_epi16(p3, wh));
            }
        }
#define VELLICOR_FINISH(l, h)                                                                  \
    _mm256_srli_epi32(                                                                          \
        _mm256_min_epi32(_mm256_max_epi32(                                                      \
                             _mm256_add_epi32(_mm256_add_epi32(l, _mm256_slli_epi32(h, 8)), bias), zero), \
                         top),                                                                  \
        16)
        // In each 128-bit half the four sums hold outputs 0-3, 4-7, 8-11 and 12-15 of that
        // half: packing them in that order gives the bytes in place.
        const __m256i p01 = _mm256_packus_epi32(VELLICOR_FINISH(l0, h0), VELLICOR_FINISH(l1, h1));
        const __m256i p23 = _mm256_packus_epi32(VELLICOR_FINISH(l2, h2), VELLICOR_FINISH(l3, h3));
#undef VELLICOR_FINISH
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_packus_epi16(p01, p23));
    }
    VerticalRowPlain(rows, w, taps, out, x, n);
}

// The horizontal kernel eight taps at a time: the two groups of four of the AVX2 kernel in
// the two halves of one register, with their weights as packed (two groups in a row). An
// odd last group is read with the upper half of its weights zero. Loads are masked to the
// bytes the AVX2 kernel reads.
// GCC 12's AVX-512 headers fill unused operands with undefined values, which its own
// uninitialised-value warnings then report wherever they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// The sums of output i: four 128-bit lanes of (blue, green, red, 0) still to be added up.
template <bool Wide>
__attribute__((target("avx512f,avx512bw"))) inline __m512i OutputSums512(const uint8_t* padded, const Axis& a,
                                                                         const PackedWeights& pw, int i,
                                                                         size_t groups, __m512i spread, __m512i pick) {
    const __m512i zero = _mm512_setzero_si512();
    const uint8_t* p = padded + 3 * size_t(a.first[i] - a.lo);
    const int16_t* wl = pw.low + size_t(i) * groups * 16;
    const int16_t* wh = Wide ? pw.high + size_t(i) * groups * 16 : nullptr;
    __m512i accLo = zero, accHi = zero;
    for (size_t g = 0; g < groups; g += 2, p += 24, wl += 32) {
        const bool pair = g + 1 < groups;
        const __m512i bytes = _mm512_maskz_loadu_epi8(pair ? 0xFFFFFFFull : 0xFFFFull, p);
        const __m512i px = _mm512_shuffle_epi8(_mm512_permutexvar_epi32(spread, bytes), pick);
        const __mmask32 half = pair ? 0xFFFFFFFFu : 0xFFFFu;
        accLo = _mm512_add_epi32(accLo, _mm512_madd_epi16(px, _mm512_maskz_loadu_epi16(half, wl)));
        if constexpr (Wide) {
            accHi = _mm512_add_epi32(accHi, _mm512_madd_epi16(px, _mm512_maskz_loadu_epi16(half, wh)));
            wh += 32;
        }
    }
    if constexpr (Wide) return _mm512_add_epi32(accLo, _mm512_slli_epi32(accHi, 8));
    return accLo;
}

template <bool Wide>
__attribute__((target("avx512f,avx512bw"))) void HorizontalRowAvx512(const uint8_t* padded, uint8_t* out,
                                                                    const Axis& a, const PackedWeights& pw) {
    alignas(64) static const int8_t kPick[64] = {
        0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1, 6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1,
        0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1, 6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1};
    const __m512i pick = _mm512_load_si512(kPick);
    // Lanes 0 and 1: the group's first sixteen bytes; lanes 2 and 3: the sixteen from its fifth pixel.
    const __m512i spread = _mm512_setr_epi32(0, 1, 2, 3, 0, 1, 2, 3, 3, 4, 5, 6, 3, 4, 5, 6);
    const __m512i bias = _mm512_set1_epi32(32767);
    const __m512i zero = _mm512_setzero_si512();
    const __m512i top = _mm512_set1_epi32(0xFF0000);
    const size_t groups = size_t(a.taps) / 4;
#define VELLICOR_FINISH512(acc) \
    _mm512_srli_epi32(_mm512_min_epi32(_mm512_max_epi32(_mm512_add_epi32(acc, bias), zero), top), 16)
#define sums(i) OutputSums512<Wide>(padded, a, pw, i, groups, spread, pick)
    // Four outputs at a time: their lanes added up crosswise into one register of four
    // pixels, whose twelve bytes are stored in one go (four more are overwritten by the
    // next outputs; the row leaves room after its last).
    const __m128i drop = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    int i = 0;
    for (; i + 4 <= a.outputs; i += 4) {
        const __m512i s0 = sums(i), s1 = sums(i + 1), s2 = sums(i + 2), s3 = sums(i + 3);
        const __m512i h01 = _mm512_add_epi32(_mm512_shuffle_i64x2(s0, s1, 0x44), _mm512_shuffle_i64x2(s0, s1, 0xEE));
        const __m512i h23 = _mm512_add_epi32(_mm512_shuffle_i64x2(s2, s3, 0x44), _mm512_shuffle_i64x2(s2, s3, 0xEE));
        const __m512i all = _mm512_add_epi32(_mm512_shuffle_i64x2(h01, h23, 0x88), _mm512_shuffle_i64x2(h01, h23, 0xDD));
        const __m128i bytes = _mm_shuffle_epi8(_mm512_cvtepi32_epi8(VELLICOR_FINISH512(all)), drop);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * size_t(i)), bytes);
    }
    for (; i < a.outputs; ++i) {
        __m512i acc = sums(i);
        acc = _mm512_add_epi32(acc, _mm512_shuffle_i64x2(acc, acc, 0x4E));
        acc = _mm512_add_epi32(acc, _mm512_shuffle_i64x2(acc, acc, 0xB1));
        const __m128i bytes = _mm512_cvtepi32_epi8(VELLICOR_FINISH512(acc));
        const uint32_t v = uint32_t(_mm_cvtsi128_si32(bytes));
        std::memcpy(out + 3 * size_t(i), &v, 4);
    }
#undef sums
#undef VELLICOR_FINISH512
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

bool g_vectorKernels = true;
bool g_widestKernels = true;

bool UseAvx512() {
#ifdef VELLICOR_PAGEOPS_X86
    static const bool avx512 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0;
    }();
    return g_vectorKernels && g_widestKernels && avx512;
#else
    return false;
#endif
}

bool UseAvx2() {
#ifdef VELLICOR_PAGEOPS_X86
    static const bool avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return g_vectorKernels && avx2;
#else
    return false;
#endif
}

void VerticalRow(const uint8_t* const* rows, const int32_t* w, int taps, uint8_t* out, size_t n) {
#ifdef VELLICOR_PAGEOPS_X86
    if (UseAvx2()) {
        VerticalRowAvx2(rows, w, taps, out, n);
        return;
    }
#endif
    VerticalRowPlain(rows, w, taps, out, 0, n);
}

// ---- Turns ----

inline uint64_t Load24(const uint8_t* p) { return uint64_t(p[0]) | uint64_t(p[1]) << 8 | uint64_t(p[2]) << 16; }
inline uint64_t Load32(const uint8_t* p) {
    if constexpr (std::endian::native != std::endian::little) return Load24(p);
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v & 0xFFFFFF;
}
inline void Store64(uint8_t* d, uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(d, &v, 8);
    } else {
        for (int b = 0; b < 8; ++b) d[b] = uint8_t(v >> (8 * b));
    }
}

bool UseSsse3() {
#ifdef VELLICOR_PAGEOPS_X86
    static const bool ssse3 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") != 0;
    }();
    return g_vectorKernels && ssse3;
#else
    return false;
#endif
}

#ifdef VELLICOR_PAGEOPS_X86
// One strip of four source rows from y0, columns x0 .. x1 - 1 in blocks of four: each
// 16-byte store carries one column's four pixels (12 bytes) and four bytes of garbage that
// land where a later strip writes (after them for a left turn, before them for a right
// turn). The caller keeps loads and stores inside the rows.
__attribute__((target("ssse3"))) void TransposeStrip4(const TBitmap& bmp, int y0, int x0, int x1, uint8_t* work,
                                                      bool right) {
    const int w = bmp.Width(), h = bmp.Height();
    const size_t stride = size_t(h) * 3;
    const uint8_t* r0 = bmp.ScanLine(y0);
    const uint8_t* r1 = bmp.ScanLine(y0 + 1);
    const uint8_t* r2 = bmp.ScanLine(y0 + 2);
    const uint8_t* r3 = bmp.ScanLine(y0 + 3);
    const __m128i expand = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i pack = right ? _mm_setr_epi8(-1, -1, -1, -1, 12, 13, 14, 8, 9, 10, 4, 5, 6, 0, 1, 2)
                               : _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    // Target of column x: row x (right) or w - 1 - x (left), at column h - 4 - y0 less the
    // four garbage bytes (right) or y0 (left).
    uint8_t* d = right ? work + size_t(x0) * stride + 3 * size_t(h - 4 - y0) - 4
                       : work + size_t(w - 1 - x0) * stride + 3 * size_t(y0);
    const ptrdiff_t step = right ? ptrdiff_t(stride) : -ptrdiff_t(stride);
    for (int x = x0; x < x1; x += 4) {
        const size_t o = 3 * size_t(x);
        const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + o)), expand);
        const __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + o)), expand);
        const __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r2 + o)), expand);
        const __m128i e = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r3 + o)), expand);
        const __m128i t0 = _mm_unpacklo_epi32(a, b), t1 = _mm_unpacklo_epi32(c, e);
        const __m128i t2 = _mm_unpackhi_epi32(a, b), t3 = _mm_unpackhi_epi32(c, e);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_shuffle_epi8(_mm_unpacklo_epi64(t0, t1), pack));
        d += step;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_shuffle_epi8(_mm_unpackhi_epi64(t0, t1), pack));
        d += step;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_shuffle_epi8(_mm_unpacklo_epi64(t2, t3), pack));
        d += step;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_shuffle_epi8(_mm_unpackhi_epi64(t2, t3), pack));
        d += step;
    }
}

// dst[i] = src[n - 1 - i] for four-pixel chunks 1 .. while loads and stores stay inside
// the rows; returns the first pixel not done. Chunk 0 is left to the caller.
__attribute__((target("ssse3"))) int ReverseChunks(uint8_t* dst, const uint8_t* src, int n) {
    const __m128i flip = _mm_setr_epi8(9, 10, 11, 6, 7, 8, 3, 4, 5, 0, 1, 2, -1, -1, -1, -1);
    int i = 4;
    for (; 3 * size_t(i) + 16 <= 3 * size_t(n) && i + 4 <= n; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * size_t(n - 4 - i)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * size_t(i)), _mm_shuffle_epi8(v, flip));
    }
    return i;
}
#endif

// Copies the pixel columns of the bitmap into packed rows of the work area. Left turn:
// source column x becomes row W - 1 - x, read from the top. Right turn: it becomes row x,
// read from the bottom. Eight source rows at a time give 24 contiguous bytes per target
// row; blocks of columns keep the rows being written few enough for the caches.
void TransposeToWork(const TBitmap& bmp, uint8_t* work, bool right) {
    const int w = bmp.Width(), h = bmp.Height();
    const size_t dstStride = size_t(h) * 3;
    constexpr int kBlock = 64;
    auto target = [&](int x, int y) {
        return work + size_t(right ? x : w - 1 - x) * dstStride + 3 * size_t(right ? h - 1 - y : y);
    };
    const bool vector = UseSsse3();
    for (int x0 = 0; x0 < w; x0 += kBlock) {
        const int x1 = std::min(w, x0 + kBlock);
        int y0 = 0;
#ifdef VELLICOR_PAGEOPS_X86
        // Blocks of four columns from x0 whose 16-byte loads stay in the row (x + 6 <= w);
        // strips whose stores with their garbage stay in the target row (y + 6 <= h).
        const int blocks = w - 6 - x0 < 0 ? 0 : std::min((x1 - x0) / 4, (w - 6 - x0) / 4 + 1);
        const int xv = vector ? x0 + 4 * blocks : x0;
        for (; vector && y0 + 6 <= h; y0 += 4) {
            TransposeStrip4(bmp, y0, x0, xv, work, right);
            for (int y = y0; y < y0 + 4; ++y)
                for (int x = xv; x < x1; ++x) std::memcpy(target(x, y), bmp.ScanLine(y) + 3 * size_t(x), 3);
        }
#endif
        for (; y0 + 8 <= h; y0 += 8) {
            const uint8_t* rows[8];
            // The 24 bytes are in target order: rows downward for a left turn, upward for a right.
            for (int k = 0; k < 8; ++k) rows[k] = bmp.ScanLine(right ? y0 + 7 - k : y0 + k);
            for (int x = x0; x < x1; ++x) {
                const size_t o = 3 * size_t(x);
                uint64_t p0, p1, p2, p3, p4, p5, p6, p7;
                if (x + 1 < w) {
                    // Four bytes read, three kept: the fourth is the next pixel's.
                    p0 = Load32(rows[0] + o), p1 = Load32(rows[1] + o), p2 = Load32(rows[2] + o);
                    p3 = Load32(rows[3] + o), p4 = Load32(rows[4] + o), p5 = Load32(rows[5] + o);
                    p6 = Load32(rows[6] + o), p7 = Load32(rows[7] + o);
                } else {
                    p0 = Load24(rows[0] + o), p1 = Load24(rows[1] + o), p2 = Load24(rows[2] + o);
                    p3 = Load24(rows[3] + o), p4 = Load24(rows[4] + o), p5 = Load24(rows[5] + o);
                    p6 = Load24(rows[6] + o), p7 = Load24(rows[7] + o);
                }
                const uint64_t q0 = p0 | p1 << 24 | p2 << 48;
                const uint64_t q1 = p2 >> 16 | p3 << 8 | p4 << 32 | p5 << 56;
                const uint64_t q2 = p5 >> 8 | p6 << 16 | p7 << 40;
                uint8_t* d = target(x, right ? y0 + 7 : y0);
                Store64(d, q0);
                Store64(d + 8, q1);
                Store64(d + 16, q2);
            }
        }
        for (int y = y0; y < h; ++y) {
            const uint8_t* s = bmp.ScanLine(y) + 3 * size_t(x0);
            for (int x = x0; x < x1; ++x, s += 3) std::memcpy(target(x, y), s, 3);
        }
    }
}

bool QuarterTurn(TBitmap& bmp, bool right) {
    if (StopRequested()) return false;  // the program is ending: no turn of a page nobody will see
    if (!Is24Bit(bmp) && !bmp.SetPixelFormat(TPixelFormat::pf24bit)) return false;
    const int w = bmp.Width(), h = bmp.Height();
    if (w <= 0 || h <= 0) return bmp.SetSize(h, w);
    Scratch<uint8_t> work(g_workArea);
    const size_t rowBytes = size_t(h) * 3;
    if (!work.Reserve(rowBytes * size_t(w), kWorkAreaSlack)) return false;
    TransposeToWork(bmp, work.Data(), right);
    if (!bmp.SetSizeForOverwrite(h, w, TPixelFormat::pf24bit)) return false;
    for (int r = 0; r < w; ++r) std::memcpy(bmp.ScanLine(r), work.Data() + size_t(r) * rowBytes, rowBytes);
    return true;
}

void ReversePixelRange(uint8_t* dst, const uint8_t* src, int n, int from, int to) {
    for (int x = from; x < to; ++x) std::memcpy(dst + 3 * size_t(x), src + 3 * size_t(n - 1 - x), 3);
}

// dst[x] = src[n - 1 - x]; the rows do not overlap.
void ReversePixels(uint8_t* dst, const uint8_t* src, int n) {
#ifdef VELLICOR_PAGEOPS_X86
    if (UseSsse3() && n >= 8) {
        const int done = ReverseChunks(dst, src, n);
        ReversePixelRange(dst, src, n, 0, 4);
        ReversePixelRange(dst, src, n, done, n);
        return;
    }
#endif
    ReversePixelRange(dst, src, n, 0, n);
}

}  // namespace

void pageops::UseVectorKernels(bool on) { g_vectorKernels = on; }
bool pageops::VectorKernelsOn() { return g_vectorKernels; }
void pageops::UseWidestKernels(bool on) { g_widestKernels = on; }
bool pageops::WidestKernelsOn() { return g_widestKernels; }

bool GetBitmapWorkArea(size_t Size) {
    VTRACE("TPageBMP::GetBitmapWorkArea");
    if (g_workArea.busy) return false;
    Scratch<uint8_t> work(g_workArea);
    return work.Reserve(Size, kWorkAreaSlack);
}

uint8_t* BitmapWorkArea() { return g_workArea.buffer.data(); }
size_t BitmapWorkAreaCapacity() { return g_workArea.buffer.size(); }

bool LanczosStretch(TBitmap& bmp, int NewWidth, int NewHeight) {
    VTRACE("TPageBMP::LanczosStretch");
    return pageops::LanczosStretchMapped(bmp, NewWidth, NewHeight, nullptr);
}

bool pageops::LanczosStretchMapped(TBitmap& bmp, int NewWidth, int NewHeight, const TColourMap* map) {
    const int sw = bmp.Width(), sh = bmp.Height();
    if (sw < 1 || sh < 1 || NewWidth < 1 || NewHeight < 1) return false;
    if (int64_t(NewWidth) * NewHeight > kMaxBitmapPixels || int64_t(sh) * NewWidth > kMaxBitmapPixels) return false;
    const int dw = NewWidth, dh = NewHeight;
    const bool avx2 = UseAvx2();

    // Everything is had before the bitmap is touched: contributors of both passes, the
    // vector kernel's weights, and a work area for the intermediate image (source height,
    // target width) followed by one source row padded with its mirrored ends. Both get
    // room for the kernels' reads and writes past their last pixel.
    Scratch<int32_t> columns(g_columnContributors), rows(g_rowContributors);
    Scratch<int16_t> packed(g_packedWeights);
    Axis ax, ay;
    bool columnsReused = false, rowsReused = false;
    if (!BuildAxis(columns, g_columnCache, sw, dw, 4, ax, columnsReused) ||
        !BuildAxis(rows, g_rowCache, sh, dh, 1, ay, rowsReused))
        return false;
    PackedWeights pw;
#ifdef VELLICOR_PAGEOPS_X86
    if (avx2) {
        // Packed from the column weights; kept with them while they are.
        static AxisKey packedFor;
        const AxisKey columnKey{sw, dw, 4};
        const bool keep = columnsReused && packed.Shared() && packedFor == columnKey;
        const size_t n = size_t(dw) * size_t(ax.taps) * 4;
        if (!packed.Reserve(ax.wide ? 2 * n : n)) {
            if (packed.Shared()) packedFor = AxisKey{};
            return false;
        }
        pw.low = packed.Data();
        pw.high = ax.wide ? packed.Data() + n : nullptr;
        if (!keep) {
            if (packed.Shared()) packedFor = AxisKey{};
            PackHorizontalWeights(ax, pw);
            if (packed.Shared() && columns.Shared()) packedFor = columnKey;
        }
    }
#endif
    Scratch<uint8_t> work(g_workArea);
    // The horizontal kernel stores a byte past each row's end: the rows of the
    // intermediate image are spaced apart so that threads writing neighbours never meet.
    const size_t interRow = size_t(dw) * 3;
    const size_t interStride = (interRow + 4 + 63) / 64 * 64;
    const size_t interBytes = interStride * size_t(sh);
    // One padded row for each range of a block, each rounded to 64 bytes so that threads
    // share no line.
    const int hParts = ParallelParts(sh, int64_t(sw) * 3 * ax.taps);
    const int vParts = ParallelParts(dh, int64_t(dw) * 3 * ay.taps);
    const int hBlock = ParallelBlockRows(sh, hParts, int64_t(sw) * 3 * ax.taps);
    const int vBlock = ParallelBlockRows(dh, vParts, int64_t(dw) * 3 * ay.taps);
    const int hRanges = ParallelRanges(hBlock, hParts);
    const size_t paddedBytes = (3 * size_t(ax.hi - ax.lo + 1) + 16 + 63) / 64 * 64;
    // With a colour map each thread also keeps the source row as the map makes it.
    if (map && map->Identity()) map = nullptr;
    const size_t mappedBytes = map ? (3 * size_t(sw) + 63) / 64 * 64 : 0;
    if (!work.Reserve(interBytes + 16 + (paddedBytes + mappedBytes) * size_t(hRanges), kWorkAreaSlack)) return false;
    uint8_t* inter = work.Data();
    uint8_t* paddedRows = inter + interBytes + 16;
    uint8_t* mappedRows = paddedRows + paddedBytes * size_t(hRanges);

    ProcessMessages();
    if (bmp.Width() != sw || bmp.Height() != sh) return false;
    if (!Is24Bit(bmp) && !bmp.SetPixelFormat(TPixelFormat::pf24bit)) return false;

    // Horizontal pass, row by row through a copy of the row mirrored at both ends. Rows go
    // to the threads in blocks; messages get through between blocks.
    void (*horizontal)(const uint8_t*, uint8_t*, const Axis&, const PackedWeights&) = HorizontalRowPlain;
#ifdef VELLICOR_PAGEOPS_X86
    if (avx2) horizontal = ax.wide ? HorizontalRowAvx2<true> : HorizontalRowAvx2<false>;
    if (avx2 && UseAvx512()) horizontal = ax.wide ? HorizontalRowAvx512<true> : HorizontalRowAvx512<false>;
#endif
    const int inLo = std::max(ax.lo, 0), inHi = std::min(ax.hi, sw - 1);
    for (int b0 = 0; b0 < sh; b0 += hBlock) {
        const int b1 = std::min(sh, b0 + hBlock);
        ParallelFor(b1 - b0, ParallelRanges(b1 - b0, hParts), [&](int part, int from, int to) {
            uint8_t* padded = paddedRows + paddedBytes * size_t(part);
            uint8_t* mapped = mappedRows + mappedBytes * size_t(part);
            for (int y = b0 + from; y < b0 + to; ++y) {
                const uint8_t* src = bmp.ScanLine(y);
                if (map) {
                    map->Apply(src, mapped, sw);
                    src = mapped;
                }
                for (int j = ax.lo; j < inLo; ++j)
                    std::memcpy(padded + 3 * size_t(j - ax.lo), src + 3 * size_t(Mirror(j, sw)), 3);
                std::memcpy(padded + 3 * size_t(inLo - ax.lo), src + 3 * size_t(inLo), 3 * size_t(inHi - inLo + 1));
                for (int j = inHi + 1; j <= ax.hi; ++j)
                    std::memcpy(padded + 3 * size_t(j - ax.lo), src + 3 * size_t(Mirror(j, sw)), 3);
                horizontal(padded, inter + size_t(y) * interStride, ax, pw);
            }
        });
        ProcessMessages();
        // A handler must not change the page meanwhile; if one did, stop here.
        if (bmp.Width() != sw || bmp.Height() != sh || !Is24Bit(bmp) || StopRequested()) return false;
    }

    if (!bmp.SetSizeForOverwrite(dw, dh, TPixelFormat::pf24bit)) return false;

    // Vertical pass: each output row accumulates whole rows of the intermediate image.
    for (int b0 = 0; b0 < dh; b0 += vBlock) {
        const int b1 = std::min(dh, b0 + vBlock);
        ParallelFor(b1 - b0, ParallelRanges(b1 - b0, vParts), [&](int, int from, int to) {
            std::vector<const uint8_t*> taps(size_t(ay.taps));
            for (int r = b0 + from; r < b0 + to; ++r) {
                for (int k = 0; k < ay.taps; ++k) taps[size_t(k)] = inter + size_t(Mirror(ay.first[r] + k, sh)) * interStride;
                VerticalRow(taps.data(), ay.weights + size_t(r) * ay.taps, ay.taps, bmp.ScanLine(r), interRow);
            }
        });
        ProcessMessages();
        if (bmp.Width() != dw || bmp.Height() != dh || !Is24Bit(bmp) || StopRequested()) return false;
    }
    return true;
}

bool Stretch(TBitmap& bmp, int NewWidth, int NewHeight, int32_t DecodedWidth, int32_t& ScalePercent) {
    VTRACE("TPageBMP::Stretch");
    return pageops::StretchMapped(bmp, NewWidth, NewHeight, DecodedWidth, ScalePercent, nullptr);
}

bool pageops::StretchMapped(TBitmap& bmp, int NewWidth, int NewHeight, int32_t DecodedWidth, int32_t& ScalePercent,
                            const TColourMap* map) {
    if (!LanczosStretchMapped(bmp, NewWidth, NewHeight, map)) return false;
    if (DecodedWidth != 0) {
        const int64_t percent = int64_t(bmp.Width()) * 100 / DecodedWidth;
        ScalePercent = int32_t(std::clamp<int64_t>(percent, INT32_MIN, INT32_MAX));
    }
    return true;
}

bool RotateBitmapLeft(TBitmap& bmp) {
    VTRACE("TPageBMP::RotateBitmapLeft");
    return QuarterTurn(bmp, false);
}

bool RotateBitmapRight(TBitmap& bmp) {
    VTRACE("TPageBMP::RotateBitmapRight");
    return QuarterTurn(bmp, true);
}

bool InvertBitmap(TBitmap& bmp) {
    VTRACE("TPageBMP::InvertBitmap");
    if (StopRequested()) return false;
    if (!Is24Bit(bmp) && !bmp.SetPixelFormat(TPixelFormat::pf24bit)) return false;
    const int w = bmp.Width(), h = bmp.Height();
    if (w <= 0 || h <= 0) return true;
    std::vector<uint8_t> tmp(size_t(w) * 3);
    for (int y = 0; y < h / 2; ++y) {
        uint8_t* a = bmp.ScanLine(y);
        uint8_t* b = bmp.ScanLine(h - 1 - y);
        std::memcpy(tmp.data(), a, tmp.size());
        ReversePixels(a, b, w);
        ReversePixels(b, tmp.data(), w);
    }
    if (h & 1) {
        uint8_t* m = bmp.ScanLine(h / 2);
        std::memcpy(tmp.data(), m, tmp.size());
        ReversePixels(m, tmp.data(), w);
    }
    return true;
}

}  // namespace vellicor

// Lanczos resampling (three lobes, 16.16 fixed point, two separable passes) and the
// quarter and half turns.
//
// Sums are exact integer sums, so the order of the taps does not change a result: the
// vector kernels below give the same bytes as the plain loops.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pages/PageOps.h"
#include "pages/PageOpsScratch.h"
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
ScratchPool<int32_t> g_contributors;

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
    int32_t* first = nullptr;    // [outputs]
    int32_t* weights = nullptr;  // [outputs * taps * 4], each weight four times over
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

bool BuildAxis(Scratch<int32_t>& buf, int src, int dst, Axis& a) {
    const float scale = ScaleFactor(src, dst);
    // First pass: the nonzero extent of every output.
    int taps = 0, lo = 0, hi = 0;
    bool any = false;
    for (int i = 0; i < dst; ++i) {
        int f = 0, l = -1;
        ForEachTap(i, scale, [&](int j, int32_t w) {
            if (w == 0) return;
            if (l < f) f = j;
            l = j;
        });
        if (l < f) f = l = 0;  // no nonzero weight: read index 0 with zero weights
        taps = std::max(taps, l - f + 1);
        if (!any || f < lo) lo = f;
        any = true;
        hi = std::max(hi, l);
    }
    taps = std::max(taps, 1);
    const size_t need = size_t(dst) + size_t(dst) * size_t(taps) * 4;
    if (!buf.Reserve(need, size_t(6) * (1 + size_t(taps) * 4))) return false;
    a.outputs = dst;
    a.taps = taps;
    a.first = buf.Data();
    a.weights = buf.Data() + dst;
    std::fill(a.weights, a.weights + size_t(dst) * taps * 4, 0);
    int maxEnd = hi;
    for (int i = 0; i < dst; ++i) {
        int f = 0;
        bool seen = false;
        int32_t* w = a.weights + size_t(i) * taps * 4;
        // Collect again; the nonzero extent fits in taps by the first pass.
        ForEachTap(i, scale, [&](int j, int32_t wt) {
            if (wt == 0) return;
            if (!seen) {
                f = j;
                seen = true;
            }
            int k = j - f;
            w[4 * k] = w[4 * k + 1] = w[4 * k + 2] = w[4 * k + 3] = wt;
        });
        a.first[i] = f;
        maxEnd = std::max(maxEnd, f + taps - 1);
    }
    a.lo = std::min(lo, 0);
    a.hi = maxEnd;
    return true;
}

// ---- Kernels ----

inline uint8_t Clamp16(int32_t acc) { return uint8_t(std::clamp(acc, 0, 0xFF0000) >> 16); }

// One row through the horizontal contributors; padded[0] is raw index a.lo.
void HorizontalRowPlain(const uint8_t* padded, uint8_t* out, const Axis& a) {
    for (int i = 0; i < a.outputs; ++i) {
        const uint8_t* p = padded + 3 * size_t(a.first[i] - a.lo);
        const int32_t* w = a.weights + size_t(i) * a.taps * 4;
        int32_t b = 32767, g = 32767, r = 32767;
        for (int k = 0; k < a.taps; ++k, p += 3) {
            b += p[0] * w[4 * k];
            g += p[1] * w[4 * k];
            r += p[2] * w[4 * k];
        }
        out[3 * i] = Clamp16(b);
        out[3 * i + 1] = Clamp16(g);
        out[3 * i + 2] = Clamp16(r);
    }
}

// One output row from the rows of the intermediate image: out[x] for x < n bytes.
void VerticalRowPlain(const uint8_t* const* rows, const int32_t* w, int taps, uint8_t* out, size_t from,
                      size_t n) {
    for (size_t x = from; x < n; ++x) {
        int32_t acc = 32767;
        for (int k = 0; k < taps; ++k) acc += rows[k][x] * w[k];
        out[x] = Clamp16(acc);
    }
}

#ifdef VELLICOR_PAGEOPS_X86
__attribute__((target("sse4.1"))) void HorizontalRowSse41(const uint8_t* padded, uint8_t* out,
                                                          const Axis& a) {
    // Each pixel is read as four bytes (the fourth belongs to the next pixel and is
    // multiplied but never stored), and written as four bytes that the next output
    // overwrites; the buffers have room for the extra byte.
    const __m128i bias = _mm_set1_epi32(32767);
    const __m128i zero = _mm_setzero_si128();
    const __m128i top = _mm_set1_epi32(0xFF0000);
    const int taps = a.taps;
    for (int i = 0; i < a.outputs; ++i) {
        const uint8_t* p = padded + 3 * size_t(a.first[i] - a.lo);
        const __m128i* w = reinterpret_cast<const __m128i*>(a.weights + size_t(i) * taps * 4);
        __m128i acc0 = bias, acc1 = zero;
        int k = 0;
        for (; k + 2 <= taps; k += 2, p += 6) {
            uint32_t v0, v1;
            std::memcpy(&v0, p, 4);
            std::memcpy(&v1, p + 3, 4);
            acc0 = _mm_add_epi32(acc0, _mm_mullo_epi32(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(int(v0))),
                                                       _mm_loadu_si128(w + k)));
            acc1 = _mm_add_epi32(acc1, _mm_mullo_epi32(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(int(v1))),
                                                       _mm_loadu_si128(w + k + 1)));
        }
        if (k < taps) {
            uint32_t v0;
            std::memcpy(&v0, p, 4);
            acc0 = _mm_add_epi32(acc0, _mm_mullo_epi32(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(int(v0))),
                                                       _mm_loadu_si128(w + k)));
        }
        __m128i acc = _mm_add_epi32(acc0, acc1);
        acc = _mm_srli_epi32(_mm_min_epi32(_mm_max_epi32(acc, zero), top), 16);
        acc = _mm_packus_epi16(_mm_packus_epi32(acc, acc), zero);
        const uint32_t v = uint32_t(_mm_cvtsi128_si32(acc));
        std::memcpy(out + 3 * size_t(i), &v, 4);
    }
}

__attribute__((target("avx2"))) void VerticalRowAvx2(const uint8_t* const* rows, const int32_t* w, int taps,
                                                    uint8_t* out, size_t n) {
    const __m256i bias = _mm256_set1_epi32(32767);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i top = _mm256_set1_epi32(0xFF0000);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    size_t x = 0;
    for (; x + 32 <= n; x += 32) {
        __m256i a0 = bias, a1 = bias, a2 = bias, a3 = bias;
        for (int k = 0; k < taps; ++k) {
            const uint8_t* s = rows[k] + x;
            const __m256i wk = _mm256_set1_epi32(w[k]);
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
            const __m128i lo = _mm256_castsi256_si128(v);
            const __m128i hi = _mm256_extracti128_si256(v, 1);
            a0 = _mm256_add_epi32(a0, _mm256_mullo_epi32(_mm256_cvtepu8_epi32(lo), wk));
            a1 = _mm256_add_epi32(a1, _mm256_mullo_epi32(_mm256_cvtepu8_epi32(_mm_srli_si128(lo, 8)), wk));
            a2 = _mm256_add_epi32(a2, _mm256_mullo_epi32(_mm256_cvtepu8_epi32(hi), wk));
            a3 = _mm256_add_epi32(a3, _mm256_mullo_epi32(_mm256_cvtepu8_epi32(_mm_srli_si128(hi, 8)), wk));
        }
        a0 = _mm256_srli_epi32(_mm256_min_epi32(_mm256_max_epi32(a0, zero), top), 16);
        a1 = _mm256_srli_epi32(_mm256_min_epi32(_mm256_max_epi32(a1, zero), top), 16);
        a2 = _mm256_srli_epi32(_mm256_min_epi32(_mm256_max_epi32(a2, zero), top), 16);
        a3 = _mm256_srli_epi32(_mm256_min_epi32(_mm256_max_epi32(a3, zero), top), 16);
        const __m256i p01 = _mm256_packus_epi32(a0, a1);
        const __m256i p23 = _mm256_packus_epi32(a2, a3);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(p01, p23), order);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), bytes);
    }
    VerticalRowPlain(rows, w, taps, out, x, n);
}
#endif

struct Kernels {
    void (*horizontal)(const uint8_t*, uint8_t*, const Axis&) = HorizontalRowPlain;
    bool avx2 = false;
};

Kernels PickKernels() {
    Kernels k;
#ifdef VELLICOR_PAGEOPS_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse4.1")) k.horizontal = HorizontalRowSse41;
    k.avx2 = __builtin_cpu_supports("avx2");
#endif
    return k;
}

bool g_vectorKernels = true;

const Kernels& Cpu() {
    static const Kernels vector = PickKernels();
    static const Kernels plain{};
    return g_vectorKernels ? vector : plain;
}

void VerticalRow(const uint8_t* const* rows, const int32_t* w, int taps, uint8_t* out, size_t n) {
#ifdef VELLICOR_PAGEOPS_X86
    if (Cpu().avx2) {
        VerticalRowAvx2(rows, w, taps, out, n);
        return;
    }
#endif
    VerticalRowPlain(rows, w, taps, out, 0, n);
}

// ---- Turns ----

// Writes source column x (rows from top, or from bottom when reversed) as packed row
// `dstRow` of the work area, tile by tile so both sides stay in cache.
void TransposeToWork(const TBitmap& bmp, uint8_t* work, bool right) {
    const int w = bmp.Width(), h = bmp.Height();
    const size_t dstStride = size_t(h) * 3;
    constexpr int kTile = 32;
    for (int y0 = 0; y0 < h; y0 += kTile) {
        const int y1 = std::min(h, y0 + kTile);
        for (int x0 = 0; x0 < w; x0 += kTile) {
            const int x1 = std::min(w, x0 + kTile);
            for (int y = y0; y < y1; ++y) {
                const uint8_t* s = bmp.ScanLine(y) + 3 * size_t(x0);
                // Left turn: new row W - 1 - x, column y. Right turn: new row x, column H - 1 - y.
                const size_t col = right ? size_t(h - 1 - y) : size_t(y);
                if (right) {
                    uint8_t* d = work + size_t(x0) * dstStride + 3 * col;
                    for (int x = x0; x < x1; ++x, s += 3, d += dstStride) {
                        d[0] = s[0];
                        d[1] = s[1];
                        d[2] = s[2];
                    }
                } else {
                    uint8_t* d = work + size_t(w - 1 - x0) * dstStride + 3 * col;
                    for (int x = x0; x < x1; ++x, s += 3, d -= dstStride) {
                        d[0] = s[0];
                        d[1] = s[1];
                        d[2] = s[2];
                    }
                }
            }
        }
    }
}

bool QuarterTurn(TBitmap& bmp, bool right) {
    if (!Is24Bit(bmp) && !bmp.SetPixelFormat(TPixelFormat::pf24bit)) return false;
    const int w = bmp.Width(), h = bmp.Height();
    if (w <= 0 || h <= 0) return bmp.SetSize(h, w);
    Scratch<uint8_t> work(g_workArea);
    const size_t rowBytes = size_t(h) * 3;
    if (!work.Reserve(rowBytes * size_t(w), kWorkAreaSlack)) return false;
    TransposeToWork(bmp, work.Data(), right);
    if (!bmp.SetSize(h, w)) return false;
    for (int r = 0; r < w; ++r) std::memcpy(bmp.ScanLine(r), work.Data() + size_t(r) * rowBytes, rowBytes);
    return true;
}

void ReversePixels(uint8_t* dst, const uint8_t* src, int n) {
    const uint8_t* s = src + 3 * size_t(n);
    for (int x = 0; x < n; ++x, dst += 3) {
        s -= 3;
        dst[0] = s[0];
        dst[1] = s[1];
        dst[2] = s[2];
    }
}

}  // namespace

void pageops::UseVectorKernels(bool on) { g_vectorKernels = on; }

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
    const int sw = bmp.Width(), sh = bmp.Height();
    if (sw < 1 || sh < 1 || NewWidth < 1 || NewHeight < 1) return false;
    if (int64_t(NewWidth) * NewHeight > kMaxBitmapPixels || int64_t(sh) * NewWidth > kMaxBitmapPixels) return false;
    const int dw = NewWidth, dh = NewHeight;

    // The intermediate image (source height, target width), one padded source row, and
    // four bytes of room for the kernels' overlapping reads and writes.
    Scratch<uint8_t> work(g_workArea);
    const size_t interRow = size_t(dw) * 3;
    const size_t interBytes = interRow * size_t(sh);
    Scratch<int32_t> contrib(g_contributors);
    Axis ax;
    if (!BuildAxis(contrib, sw, dw, ax)) return false;
    const size_t paddedBytes = 3 * size_t(ax.hi - ax.lo + 1) + 4;
    if (!work.Reserve(interBytes + paddedBytes + 4, kWorkAreaSlack)) return false;
    uint8_t* inter = work.Data();
    uint8_t* padded = inter + interBytes + 4;

    ProcessMessages();
    if (!Is24Bit(bmp) && !bmp.SetPixelFormat(TPixelFormat::pf24bit)) return false;

    // Horizontal pass, row by row through a copy of the row mirrored at both ends.
    const auto horizontal = Cpu().horizontal;
    for (int y = 0; y < sh; ++y) {
        const uint8_t* src = bmp.ScanLine(y);
        const int inLo = std::max(ax.lo, 0), inHi = std::min(ax.hi, sw - 1);
        for (int j = ax.lo; j < inLo; ++j) std::memcpy(padded + 3 * size_t(j - ax.lo), src + 3 * size_t(Mirror(j, sw)), 3);
        std::memcpy(padded + 3 * size_t(inLo - ax.lo), src + 3 * size_t(inLo), 3 * size_t(inHi - inLo + 1));
        for (int j = inHi + 1; j <= ax.hi; ++j) std::memcpy(padded + 3 * size_t(j - ax.lo), src + 3 * size_t(Mirror(j, sw)), 3);
        horizontal(padded, inter + size_t(y) * interRow, ax);
        if ((y & 15) == 15) ProcessMessages();
    }

    if (!bmp.SetSize(dw, dh, TPixelFormat::pf24bit)) return false;

    // Vertical pass: each output row accumulates whole rows of the intermediate image.
    Axis ay;
    if (!BuildAxis(contrib, sh, dh, ay)) return false;
    std::vector<const uint8_t*> rows(size_t(ay.taps));
    std::vector<int32_t> weights(size_t(ay.taps));
    for (int r = 0; r < dh; ++r) {
        for (int k = 0; k < ay.taps; ++k) {
            rows[size_t(k)] = inter + size_t(Mirror(ay.first[r] + k, sh)) * interRow;
            weights[size_t(k)] = ay.weights[(size_t(r) * ay.taps + k) * 4];
        }
        VerticalRow(rows.data(), weights.data(), ay.taps, bmp.ScanLine(r), interRow);
        if ((r & 15) == 15) ProcessMessages();
    }
    return true;
}

bool Stretch(TBitmap& bmp, int NewWidth, int NewHeight, int32_t DecodedWidth, int32_t& ScalePercent) {
    VTRACE("TPageBMP::Stretch");
    if (!LanczosStretch(bmp, NewWidth, NewHeight)) return false;
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

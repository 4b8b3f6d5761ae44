// Colour balance, gamma and yellowing reduction: point operations through 256-entry tables.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

#include "pages/PageOps.h"
#include "pages/PageOpsScratch.h"
#include "platform/Parallel.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace vellicor {

namespace {

// Built for the gamma value it was last asked for; -1 = not built yet.
std::array<int32_t, 256> g_gammaTable{};
int32_t g_gammaTableValue = -1;

bool Is24Bit(const TBitmap& bmp) { return bmp.PixelFormat() == TPixelFormat::pf24bit; }

// Runs every byte of every row through one table.
void MapRows(TBitmap& bmp, const uint8_t (&table)[256]) {
    const int64_t n = int64_t(bmp.Width()) * 3;
    pageops::ForRowBlocks(bmp, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            uint8_t* p = bmp.ScanLine(y);
            for (int64_t i = 0; i < n; ++i) p[i] = table[p[i]];
        }
    });
}

// Pixels of a row with all three channels above 250.
int64_t CountWhite(const uint8_t* p, int n) {
    int64_t count = 0;
    int x = 0;
#ifdef __SSE2__
    // Sixteen pixels (48 bytes) at a time: a byte mask of the channels above 250, ANDed with
    // itself moved by one and two bytes, keeps a 1 at each white pixel's first byte.
    const __m128i c251 = _mm_set1_epi8(char(251));
    const __m128i zero = _mm_setzero_si128();
    const __m128i startA = _mm_setr_epi8(1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1);
    const __m128i startB = _mm_setr_epi8(0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0);
    const __m128i startC = _mm_setr_epi8(0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0);
    auto above = [&](const uint8_t* q) {
        return _mm_cmpeq_epi8(_mm_subs_epu8(c251, _mm_loadu_si128(reinterpret_cast<const __m128i*>(q))), zero);
    };
    __m128i total = zero;
    while (x + 16 <= n) {
        __m128i acc = zero;
        for (int i = 0; i < 255 && x + 16 <= n; ++i, x += 16, p += 48) {
            const __m128i a = above(p), b = above(p + 16), c = above(p + 32);
            const __m128i a1 = _mm_or_si128(_mm_srli_si128(a, 1), _mm_slli_si128(b, 15));
            const __m128i a2 = _mm_or_si128(_mm_srli_si128(a, 2), _mm_slli_si128(b, 14));
            const __m128i b1 = _mm_or_si128(_mm_srli_si128(b, 1), _mm_slli_si128(c, 15));
            const __m128i b2 = _mm_or_si128(_mm_srli_si128(b, 2), _mm_slli_si128(c, 14));
            const __m128i wa = _mm_and_si128(_mm_and_si128(a, a1), _mm_and_si128(a2, startA));
            const __m128i wb = _mm_and_si128(_mm_and_si128(b, b1), _mm_and_si128(b2, startB));
            const __m128i wc = _mm_and_si128(_mm_and_si128(c, _mm_srli_si128(c, 1)), _mm_and_si128(_mm_srli_si128(c, 2), startC));
            acc = _mm_add_epi8(acc, _mm_or_si128(wa, _mm_or_si128(wb, wc)));
        }
        total = _mm_add_epi64(total, _mm_sad_epu8(acc, zero));
    }
    count = _mm_cvtsi128_si64(total) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(total, total));
#endif
    for (; x < n; ++x, p += 3) count += (std::min({p[0], p[1], p[2]}) > 250);
    return count;
}

}  // namespace

bool Balance(TBitmap& bmp, int32_t Discards, int32_t& BalanceFactor) {
    VTRACE("TPageBMP::Balance");
    if (!Is24Bit(bmp)) return false;
    ProcessMessages();
    pageops::TPageHistograms hist;
    pageops::TakeHistograms(bmp, false, hist);
    ProcessMessages();
    uint8_t table[256];
    int32_t factor = 0;
    if (!pageops::BalanceTable(hist, Discards, table, factor)) return false;
    ProcessMessages();
    MapRows(bmp, table);
    BalanceFactor = factor;
    VTRACE_INT("TPageBMP::Balance BalanceFactor", BalanceFactor);
    return true;
}

bool GammaCorrect(TBitmap& bmp, int32_t Gamma, int32_t& GammaApplied) {
    VTRACE("TPageBMP::GammaCorrect");
    if (!Is24Bit(bmp)) return false;
    ProcessMessages();
    if (Gamma <= 0) return false;  // no curve has a gamma of 0 or below
    if (g_gammaTableValue != Gamma) {
        // T[i] = trunc((i / 256) ^ (1 / (Gamma * 0.01)) * 256), all in double.
        const double exponent = 1.0 / (Gamma * 0.01);
        g_gammaTable[0] = 0;
        for (int i = 1; i < 256; ++i) {
            double v = std::pow(i / 256.0, exponent) * 256.0;
            g_gammaTable[i] = std::clamp(int32_t(v), 0, 255);
        }
        g_gammaTableValue = Gamma;
    }
    // A copy: a handler run between rows may rebuild the shared table for another value.
    uint8_t table[256];
    for (int i = 0; i < 256; ++i) table[i] = uint8_t(g_gammaTable[i]);
    MapRows(bmp, table);
    GammaApplied = Gamma;
    return true;
}

bool ReduceYellowing(TBitmap& bmp, int32_t RedThreshold, int32_t GreenThreshold, int32_t BlueThreshold,
                     int32_t GreenBoost, int32_t BlueBoost, bool& YellowingReduced) {
    VTRACE("TPageBMP::ReduceYellowing");
    if (!Is24Bit(bmp)) return false;
    if (BitmapIsWhite(bmp)) return false;
    ProcessMessages();

    uint8_t blue[512], green[512];
    int rt = 0, gt = 0, bt = 0;
    pageops::YellowingTables(RedThreshold, GreenThreshold, BlueThreshold, GreenBoost, BlueBoost, blue, green, rt, gt,
                             bt);
    ProcessMessages();
    const int w = bmp.Width();
    pageops::ForRowBlocks(bmp, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            uint8_t* p = bmp.ScanLine(y);
            for (int x = 0; x < w; ++x, p += 3) {
                const unsigned half = unsigned((p[2] > rt) & (p[1] > gt) & (p[0] > bt)) << 8;
                p[0] = blue[half | p[0]];
                p[1] = green[half | p[1]];
            }
        }
    });
    YellowingReduced = true;
    return true;
}

bool BitmapIsWhite(const TBitmap& bmp) {
    VTRACE("TPageBMP::BitmapIsWhite");
    if (!Is24Bit(bmp)) return false;
    if (bmp.Width() <= 40 || bmp.Height() <= 40) return false;
    ProcessMessages();
    const int w = bmp.Width(), h = bmp.Height();
    if (!Is24Bit(bmp) || w <= 40 || h <= 40) return false;
    const int64_t limit = int64_t(w) * h / 50;
    // Counts only grow, so the total of all ranges decides; a range stops early once the
    // pages's count is already past the limit.
    std::atomic<int64_t> count{0};
    const int rows = h - 40;
    ParallelFor(rows, ParallelParts(rows, int64_t(w) * 3), [&](int, int b, int e) {
        int64_t mine = 0;
        for (int y = 20 + b; y < 20 + e; ++y) {
            mine += CountWhite(bmp.ScanLine(y) + 3 * 20, w - 40);
            if (((y - b) & 63) == 63) {
                if (count.fetch_add(mine) + mine > limit) return;
                mine = 0;
            }
        }
        count.fetch_add(mine);
    });
    return count.load() > limit;
}

// ---- The colour steps as one map ----

void pageops::TakeHistograms(const TBitmap& bmp, bool mins, TPageHistograms& out) {
    const int w = bmp.Width(), h = bmp.Height();
    out.Pixels = int64_t(w) * h;
    out.WhiteLimit = out.Pixels / 50;
    out.Sums.assign(766, 0);
    // The white test looks inside a 20-pixel margin, and only on pages of more than 40.
    const bool inside = mins && w > 40 && h > 40;
    out.Mins.assign(inside ? 256 : 0, 0);
    if (w <= 0 || h <= 0) return;
    // Four interleaved histograms keep consecutive increments of one counter apart; each
    // range of rows has its own set, added up afterwards (exact, in any order).
    struct Counts {
        std::array<uint32_t, 4 * 768> sums;
        std::array<uint32_t, 2 * 256> mins;
    };
    // Rows go to the threads in blocks; messages get through between blocks, and the
    // program's end (or a handler that touched the page) leaves the counts partial.
    const int threads = ParallelParts(h, int64_t(w) * 3);
    const int block = ParallelBlockRows(h, threads, int64_t(w) * 3);
    std::vector<Counts> counts(static_cast<size_t>(ParallelRanges(block, threads)));
    auto sums = [](Counts& c, const uint8_t* p, int n) {
        int x = 0;
        for (; x + 4 <= n; x += 4, p += 12) {
            ++c.sums[0 * 768 + p[0] + p[1] + p[2]];
            ++c.sums[1 * 768 + p[3] + p[4] + p[5]];
            ++c.sums[2 * 768 + p[6] + p[7] + p[8]];
            ++c.sums[3 * 768 + p[9] + p[10] + p[11]];
        }
        for (; x < n; ++x, p += 3) ++c.sums[p[0] + p[1] + p[2]];
    };
    auto both = [](Counts& c, const uint8_t* p, int n) {
        int x = 0;
        for (; x + 2 <= n; x += 2, p += 6) {
            ++c.sums[0 * 768 + p[0] + p[1] + p[2]];
            ++c.sums[1 * 768 + p[3] + p[4] + p[5]];
            ++c.mins[0 * 256 + std::min({p[0], p[1], p[2]})];
            ++c.mins[1 * 256 + std::min({p[3], p[4], p[5]})];
        }
        for (; x < n; ++x, p += 3) {
            ++c.sums[p[0] + p[1] + p[2]];
            ++c.mins[std::min({p[0], p[1], p[2]})];
        }
    };
    for (int b0 = 0; b0 < h; b0 += block) {
        const int b1 = std::min(h, b0 + block);
        const int parts = ParallelRanges(b1 - b0, threads);
        ParallelFor(b1 - b0, parts, [&](int part, int from, int to) {
            Counts& c = counts[size_t(part)];
            c.sums.fill(0);
            c.mins.fill(0);
            for (int y = b0 + from; y < b0 + to; ++y) {
                const uint8_t* p = bmp.ScanLine(y);
                if (!inside || y < 20 || y >= h - 20) {
                    sums(c, p, w);
                    continue;
                }
                sums(c, p, 20);
                both(c, p + 3 * 20, w - 40);
                sums(c, p + 3 * size_t(w - 20), 20);
            }
        });
        for (int part = 0; part < parts; ++part) {
            const Counts& c = counts[size_t(part)];
            for (int s = 0; s <= 765; ++s)
                out.Sums[size_t(s)] += c.sums[size_t(s)] + c.sums[768 + size_t(s)] + c.sums[2 * 768 + size_t(s)] +
                                       c.sums[3 * 768 + size_t(s)];
            if (inside)
                for (int v = 0; v < 256; ++v) out.Mins[size_t(v)] += c.mins[size_t(v)] + c.mins[256 + size_t(v)];
        }
        if (b1 == h) break;
        ProcessMessages();
        if (StopRequested() || bmp.Width() != w || bmp.Height() != h) return;
    }
}

bool pageops::BalanceTable(const TPageHistograms& hist, int32_t Discards, uint8_t (&table)[256], int32_t& factor) {
    std::array<uint32_t, 766> count{};
    int lo = 765, hi = 0;
    for (int s = 0; s <= 765; ++s) {
        count[size_t(s)] = hist.Sums[size_t(s)];
        if (count[size_t(s)]) {
            lo = std::min(lo, s);
            hi = std::max(hi, s);
        }
    }
    int halfRange = (hi - lo) / 6;
    if (halfRange < 64) return false;  // the sums span less than 384: leave the page alone

    // Clip at most Discards per thousand of the pixels, from both ends in turn, but only
    // while the dark end is below 64 and the light end above 196 (limits on sums of three
    // channels). In each round the light end is judged with what the dark end left of the
    // budget, so the budget is never overdrawn. 64-bit: height x width x discards.
    int64_t budget = hist.Pixels * Discards / 1000;
    while (budget > 0) {
        bool moved = false;
        if (lo < 64 && budget >= count[size_t(lo)]) {
            budget -= count[size_t(lo)];
            ++lo;
            moved = true;
        }
        if (hi > 196 && budget >= count[size_t(hi)]) {
            budget -= count[size_t(hi)];
            --hi;
            moved = true;
        }
        if (!moved) break;
    }

    const int range = hi - lo;
    halfRange = range / 6;
    if (halfRange <= 0) return false;
    const int mid = (range / 2 + lo) / 3;
    for (int v = 0; v < 256; ++v) table[v] = uint8_t(std::clamp((v - mid) * 127 / halfRange + 127, 0, 255));
    factor = 12700 / halfRange;
    return true;
}

void pageops::YellowingTables(int32_t RedThreshold, int32_t GreenThreshold, int32_t BlueThreshold, int32_t GreenBoost,
                              int32_t BlueBoost, uint8_t (&blue)[512], uint8_t (&green)[512], int& rt, int& gt,
                              int& bt) {
    // The boost ramps up by 3 per level above the threshold until it reaches the cap. A
    // boost below 0 (a hand-edited store) is none.
    auto ramp = [](uint8_t (&t)[256], int32_t threshold, int32_t cap) {
        cap = std::clamp(cap, 0, 255);
        int32_t b = 0;
        for (int v = 0; v < 256; ++v) {
            if (v > threshold) b = std::min(b + 3, cap);
            t[v] = v > 255 - b ? 255 : uint8_t(std::clamp(v + b, 0, 255));
        }
    };
    uint8_t tb[256], tg[256];
    ramp(tb, BlueThreshold, BlueBoost);
    ramp(tg, GreenThreshold, GreenBoost);

    // Channel values above the thresholds, as byte limits (a threshold below 0 lets all
    // values pass, one of 255 or more none).
    rt = std::clamp(RedThreshold, -1, 255);
    gt = std::clamp(GreenThreshold, -1, 255);
    bt = std::clamp(BlueThreshold, -1, 255);

    // Without branches: the upper half of each table is the ramp, the lower half leaves
    // the value as it is; the three threshold tests pick the half.
    for (int v = 0; v < 256; ++v) {
        blue[v] = green[v] = uint8_t(v);
        blue[256 + v] = tb[v];
        green[256 + v] = tg[v];
    }
}

namespace {
#if defined(__x86_64__) || defined(__i386__)
#define VELLICOR_COLOURMAP_X86 1
bool HaveVbmi() {
    static const bool vbmi = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vbmi");
    }();
    return vbmi;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// A 256-entry table as four registers: two two-register byte permutes and a blend on the
// top bit of the index.
struct Table512 {
    __m512i q0, q1, q2, q3;
};
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) inline Table512 LoadTable(const uint8_t* t) {
    return {_mm512_loadu_si512(t), _mm512_loadu_si512(t + 64), _mm512_loadu_si512(t + 128),
            _mm512_loadu_si512(t + 192)};
}
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) inline __m512i Look(const Table512& t, __m512i x) {
    const __m512i lo = _mm512_permutex2var_epi8(t.q0, x, t.q1);
    const __m512i hi = _mm512_permutex2var_epi8(t.q2, x, t.q3);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), lo, hi);
}

// Sixty-four pixels (three registers) at a time; returns the pixels done. The pixel test is
// made on the masks of the channels at their minimums: a pixel's three bits are ANDed by
// shifting the 192-bit mask by one and two.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) int ApplyVbmi(const pageops::TColourMap& m,
                                                                    const uint8_t* src, uint8_t* dst, int pixels) {
    const Table512 base = LoadTable(m.Red), blue = LoadTable(m.Blue + 256), green = LoadTable(m.Green + 256);
    alignas(64) uint8_t mins[3][64];
    const int channelMin[3] = {m.BlueMin, m.GreenMin, m.RedMin};
    bool never = false;
    for (int c = 0; c < 3; ++c) never |= channelMin[c] > 255;
    for (int j = 0; j < 3; ++j)
        for (int b = 0; b < 64; ++b) mins[j][b] = uint8_t(std::min(channelMin[(64 * j + b) % 3], 255));
    const __m512i min0 = _mm512_load_si512(mins[0]), min1 = _mm512_load_si512(mins[1]),
                  min2 = _mm512_load_si512(mins[2]);
    uint64_t starts[3] = {0, 0, 0};
    for (int bit = 0; bit < 192; bit += 3) starts[bit / 64] |= uint64_t(1) << (bit % 64);
    int x = 0;
    for (; x + 64 <= pixels; x += 64, src += 192, dst += 192) {
        const __m512i v0 = _mm512_loadu_si512(src), v1 = _mm512_loadu_si512(src + 64),
                      v2 = _mm512_loadu_si512(src + 128);
        __m512i o0 = Look(base, v0), o1 = Look(base, v1), o2 = Look(base, v2);
        if (!never) {
            const uint64_t k0 = _mm512_cmpge_epu8_mask(v0, min0), k1 = _mm512_cmpge_epu8_mask(v1, min1),
                           k2 = _mm512_cmpge_epu8_mask(v2, min2);
            const uint64_t c0 = k0 & (k0 >> 1 | k1 << 63) & (k0 >> 2 | k1 << 62) & starts[0];
            const uint64_t c1 = k1 & (k1 >> 1 | k2 << 63) & (k1 >> 2 | k2 << 62) & starts[1];
            const uint64_t c2 = k2 & (k2 >> 1) & (k2 >> 2) & starts[2];
            if (c0 | c1 | c2) {
                // Blue at the pixel's first byte, green at the next (maybe in the next register).
                const uint64_t g0 = c0 << 1, g1 = c1 << 1 | c0 >> 63, g2 = c2 << 1 | c1 >> 63;
                o0 = _mm512_mask_blend_epi8(c0, o0, Look(blue, v0));
                o1 = _mm512_mask_blend_epi8(c1, o1, Look(blue, v1));
                o2 = _mm512_mask_blend_epi8(c2, o2, Look(blue, v2));
                o0 = _mm512_mask_blend_epi8(g0, o0, Look(green, v0));
                o1 = _mm512_mask_blend_epi8(g1, o1, Look(green, v1));
                o2 = _mm512_mask_blend_epi8(g2, o2, Look(green, v2));
            }
        }
        _mm512_storeu_si512(dst, o0);
        _mm512_storeu_si512(dst + 64, o1);
        _mm512_storeu_si512(dst + 128, o2);
    }
    return x;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif
}  // namespace

void pageops::TColourMap::Apply(const uint8_t* src, uint8_t* dst, int pixels) const {
#ifdef VELLICOR_COLOURMAP_X86
    if (Uniform && VectorKernelsOn() && WidestKernelsOn() && HaveVbmi()) {
        const int done = ApplyVbmi(*this, src, dst, pixels);
        src += 3 * size_t(done);
        dst += 3 * size_t(done);
        pixels -= done;
    }
#endif
    const unsigned bm = unsigned(BlueMin), gm = unsigned(GreenMin), rm = unsigned(RedMin);
    for (int x = 0; x < pixels; ++x, src += 3, dst += 3) {
        const unsigned b = src[0], g = src[1], r = src[2];
        const unsigned half = unsigned((r >= rm) & (g >= gm) & (b >= bm)) << 8;
        dst[0] = Blue[half | b];
        dst[1] = Green[half | g];
        dst[2] = Red[r];
    }
}

bool pageops::PlanColourMap(const TBitmap& bmp, bool balance, int32_t Discards, bool yellowing, int32_t RedThreshold,
                            int32_t GreenThreshold, int32_t BlueThreshold, int32_t GreenBoost, int32_t BlueBoost,
                            TColourMap& map) {
    VTRACE("PlanColourMap");
    if (!Is24Bit(bmp)) return false;
    map = TColourMap{};
    ProcessMessages();
    TPageHistograms hist;
    TakeHistograms(bmp, yellowing, hist);
    ProcessMessages();
    uint8_t t[256];
    for (int v = 0; v < 256; ++v) t[v] = uint8_t(v);
    if (balance) map.Balanced = BalanceTable(hist, Discards, t, map.BalanceFactor);
    // The yellowing tests and the white test look at balanced values; a rising table lets
    // them look at the values before it instead.
    for (int v = 1; v < 256; ++v)
        if (t[v] < t[v - 1]) return false;
    for (int v = 0; v < 256; ++v) map.Red[v] = t[v];
    for (int v = 0; v < 256; ++v) map.Blue[v] = map.Green[v] = map.Blue[256 + v] = map.Green[256 + v] = t[v];
    map.Uniform = true;
    if (!yellowing) return true;
    // The white test: pixels inside the margins whose balanced channels are all above 250.
    if (!hist.Mins.empty()) {
        int64_t white = 0;
        for (int v = 0; v < 256; ++v)
            if (t[v] > 250) white += hist.Mins[size_t(v)];
        if (white > hist.WhiteLimit) return true;  // white paper is left alone
    }
    uint8_t blue[512], green[512];
    int rt = 0, gt = 0, bt = 0;
    YellowingTables(RedThreshold, GreenThreshold, BlueThreshold, GreenBoost, BlueBoost, blue, green, rt, gt, bt);
    auto least = [&](int threshold) {
        int v = 0;
        while (v < 256 && int(t[v]) <= threshold) ++v;
        return v;
    };
    map.RedMin = least(rt);
    map.GreenMin = least(gt);
    map.BlueMin = least(bt);
    for (int v = 0; v < 256; ++v) {
        map.Blue[256 + v] = blue[256 + t[v]];
        map.Green[256 + v] = green[256 + t[v]];
    }
    map.YellowingReduced = true;
    map.Uniform = std::equal(map.Red, map.Red + 256, map.Blue) && std::equal(map.Red, map.Red + 256, map.Green);
    return true;
}

bool pageops::ApplyColourMap(TBitmap& bmp, const TColourMap& map) {
    VTRACE("ApplyColourMap");
    if (!Is24Bit(bmp)) return false;
    if (map.Identity()) return true;
    const int w = bmp.Width();
    return pageops::ForRowBlocks(bmp, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) map.Apply(bmp.ScanLine(y), bmp.ScanLine(y), w);
    });
}

}  // namespace vellicor

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

    // Four interleaved histograms keep consecutive increments of one counter apart; each
    // range of rows has its own set, added up afterwards (exact, in any order).
    const int w = bmp.Width(), h = bmp.Height();
    const int parts = ParallelParts(h, int64_t(w) * 3);
    std::vector<std::array<uint32_t, 4 * 768>> hists(static_cast<size_t>(parts));
    ParallelFor(h, parts, [&](int part, int y0, int y1) {
        auto& hist = hists[size_t(part)];
        hist.fill(0);
        for (int y = y0; y < y1; ++y) {
            const uint8_t* p = bmp.ScanLine(y);
            int x = 0;
            for (; x + 4 <= w; x += 4, p += 12) {
                ++hist[0 * 768 + p[0] + p[1] + p[2]];
                ++hist[1 * 768 + p[3] + p[4] + p[5]];
                ++hist[2 * 768 + p[6] + p[7] + p[8]];
                ++hist[3 * 768 + p[9] + p[10] + p[11]];
            }
            for (; x < w; ++x, p += 3) ++hist[p[0] + p[1] + p[2]];
        }
    });
    std::array<uint32_t, 766> count{};
    int lo = 765, hi = 0;
    for (int s = 0; s <= 765; ++s) {
        for (const auto& hist : hists) count[s] += hist[s] + hist[768 + s] + hist[2 * 768 + s] + hist[3 * 768 + s];
        if (count[s]) {
            lo = std::min(lo, s);
            hi = std::max(hi, s);
        }
    }

    int halfRange = (hi - lo) / 6;
    ProcessMessages();
    if (halfRange < 64) return false;  // the sums span less than 384: leave the page alone

    // Clip at most Discards per thousand of the pixels, from both ends in turn, but only
    // while the dark end is below 64 and the light end above 196 (limits on sums of three
    // channels). In each round the light end is judged with what the dark end left of the
    // budget, so the budget is never overdrawn. 64-bit: height x width x discards.
    int64_t budget = int64_t(bmp.Height()) * bmp.Width() * Discards / 1000;
    while (budget > 0) {
        bool moved = false;
        if (lo < 64 && budget >= count[lo]) {
            budget -= count[lo];
            ++lo;
            moved = true;
        }
        if (hi > 196 && budget >= count[hi]) {
            budget -= count[hi];
            --hi;
            moved = true;
        }
        if (!moved) break;
    }

    const int range = hi - lo;
    halfRange = range / 6;
    if (halfRange <= 0) return false;
    const int mid = (range / 2 + lo) / 3;

    ProcessMessages();
    uint8_t table[256];
    for (int v = 0; v < 256; ++v) table[v] = uint8_t(std::clamp((v - mid) * 127 / halfRange + 127, 0, 255));
    MapRows(bmp, table);
    BalanceFactor = 12700 / halfRange;
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
    const int rt = std::clamp(RedThreshold, -1, 255);
    const int gt = std::clamp(GreenThreshold, -1, 255);
    const int bt = std::clamp(BlueThreshold, -1, 255);

    // Without branches: the upper half of each table is the ramp, the lower half leaves
    // the value as it is; the three threshold tests pick the half.
    uint8_t blue[512], green[512];
    for (int v = 0; v < 256; ++v) {
        blue[v] = green[v] = uint8_t(v);
        blue[256 + v] = tb[v];
        green[256 + v] = tg[v];
    }
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

}  // namespace vellicor

#include "PageOpsReference.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vellicor::ref {

namespace {

uint8_t* Px(TBitmap& b, int x, int y) { return b.ScanLine(y) + 3 * x; }
const uint8_t* Px(const TBitmap& b, int x, int y) { return b.ScanLine(y) + 3 * x; }
bool Is24(const TBitmap& b) { return b.PixelFormat() == TPixelFormat::pf24bit; }

// Blue, red and green of every pixel through one table.
void MapPixels(TBitmap& bmp, const int32_t (&t)[256]) {
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) {
            uint8_t* p = Px(bmp, x, y);
            p[0] = uint8_t(t[p[0]]), p[2] = uint8_t(t[p[2]]), p[1] = uint8_t(t[p[1]]);
        }
}

}  // namespace

// ---- Colour ----

bool Balance(TBitmap& bmp, int32_t discards, int32_t& balanceFactor) {
    if (!Is24(bmp)) return false;
    std::vector<int64_t> count(768, 0);
    int mn = 765, mx = 0;
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) {
            const uint8_t* p = Px(bmp, x, y);
            const int s = p[0] + p[1] + p[2];
            count[s]++;
            mn = std::min(mn, s), mx = std::max(mx, s);
        }
    int hr = (mx - mn) / 6;
    if (hr < 64) return false;
    int64_t c = int64_t(bmp.Height()) * bmp.Width() * discards / 1000;
    while (c > 0) {
        const bool low = mn < 64 && c >= count[mn], high = mx > 196 && c >= count[mx];
        if (!low && !high) break;
        if (low) c -= count[mn++];
        // "then the high end if it can": judged with what the low end left of the budget
        if (mx > 196 && c >= count[mx]) c -= count[mx--];
    }
    const int r = mx - mn, m = (r / 2 + mn) / 3;
    hr = r / 6;
    int32_t t[256];
    for (int v = 0; v < 256; ++v) t[v] = std::clamp((v - m) * 127 / hr + 127, 0, 255);
    MapPixels(bmp, t);
    balanceFactor = 12700 / hr;
    return true;
}

bool GammaCorrect(TBitmap& bmp, int32_t gamma, int32_t& gammaApplied) {
    if (!Is24(bmp) || gamma <= 0) return false;
    int32_t t[256] = {0};
    for (int i = 1; i < 256; ++i)
        t[i] = std::clamp(int32_t(std::trunc(std::pow(double(i) / 256.0, 1.0 / (gamma * 0.01)) * 256.0)), 0, 255);
    MapPixels(bmp, t);
    gammaApplied = gamma;
    return true;
}

bool BitmapIsWhite(const TBitmap& bmp) {
    if (!Is24(bmp) || !(bmp.Width() > 40 && bmp.Height() > 40)) return false;
    int64_t count = 0;
    for (int y = 20; y <= bmp.Height() - 21; ++y) {
        for (int x = 20; x <= bmp.Width() - 21; ++x) {
            const uint8_t* p = Px(bmp, x, y);
            if (p[2] > 250 && p[1] > 250 && p[0] > 250) count++;
        }
        if (count > int64_t(bmp.Width()) * bmp.Height() / 50) return true;
    }
    return false;
}

bool ReduceYellowing(TBitmap& bmp, int32_t redT, int32_t greenT, int32_t blueT, int32_t greenBoost,
                     int32_t blueBoost, bool& reduced) {
    if (!Is24(bmp) || ref::BitmapIsWhite(bmp)) return false;
    int tb[256], tg[256];
    auto ramp = [](int (&t)[256], int32_t threshold, int32_t boost) {
        boost = std::clamp(boost, 0, 255);
        int b = 0;
        for (int v = 0; v < 256; ++v) {
            if (v > threshold) b = b + 3;
            if (b > boost) b = boost;
            t[v] = v > 255 - b ? 255 : v + b;
        }
    };
    ramp(tb, blueT, blueBoost);
    ramp(tg, greenT, greenBoost);
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) {
            uint8_t* p = Px(bmp, x, y);
            if (p[2] > redT && p[1] > greenT && p[0] > blueT) p[0] = uint8_t(tb[p[0]]), p[1] = uint8_t(tg[p[1]]);
        }
    reduced = true;
    return true;
}

// ---- Filling ----

namespace {

struct Entry {
    int32_t x, y;
    uint8_t from;  // 0 seed, 1 from the left, 2 from the right, 3 from above, 4 from below
    uint8_t next;  // next neighbour to try, 0..4
};

struct Walk {
    TBitmap& bmp;
    const TFillColours& c;
    int w, h;
    std::vector<bool> filled, area;  // one bit per pixel
    std::vector<Entry> stack;

    Walk(TBitmap& b, const TFillColours& col)
        : bmp(b), c(col), w(b.Width()), h(b.Height()), filled(size_t(w) * h), area(size_t(w) * h) {}
    size_t Index(int x, int y) const { return size_t(y) * w + x; }
    bool Paper(int x, int y) const {
        const uint8_t* p = Px(bmp, x, y);
        return p[2] > c.RedThreshold && p[1] > c.GreenThreshold && p[0] > c.BlueThreshold;
    }
    uint8_t FillB() const { return uint8_t(std::clamp(c.BlueFill, 0, 255)); }
    uint8_t FillG() const { return uint8_t(std::clamp(c.GreenFill, 0, 255)); }
    uint8_t FillR() const { return uint8_t(std::clamp(c.RedFill, 0, 255)); }

    // Pushes the top entry's next neighbour that may be tried: below, above, left, right.
    bool PushNext() {
        Entry& e = stack.back();
        while (e.next < 4) {
            const int n = e.next++, x = e.x, y = e.y;
            if (n == 0 && y < h - 1 && e.from != 4) return stack.push_back({x, y + 1, 3, 0}), true;
            if (n == 1 && y > 0 && e.from != 3) return stack.push_back({x, y - 1, 4, 0}), true;
            if (n == 2 && x > 0 && e.from != 1) return stack.push_back({x - 1, y, 2, 0}), true;
            if (n == 3 && x < w - 1 && e.from != 2) return stack.push_back({x + 1, y, 1, 0}), true;
        }
        return false;
    }

    void Fill(int x0, int y0) {
        stack.assign(1, {x0, y0, 0, 0});
        while (!stack.empty()) {
            Entry& e = stack.back();
            if (e.next == 0) {
                if (filled[Index(e.x, e.y)] || !Paper(e.x, e.y)) {
                    stack.pop_back();
                    continue;
                }
                uint8_t* p = Px(bmp, e.x, e.y);
                p[0] = FillB(), p[1] = FillG(), p[2] = FillR();
            }
            filled[Index(e.x, e.y)] = true;
            if (!PushNext()) stack.pop_back();
        }
    }

    bool CheckForWhiteArea(int x0, int y0) {
        int64_t count = 0, hard = 0, soft = 0;
        stack.assign(1, {x0, y0, 0, 0});
        while (!stack.empty()) {
            Entry& e = stack.back();
            if (e.next == 0) {
                const size_t i = Index(e.x, e.y);
                if (filled[i] || area[i]) {
                    stack.pop_back();
                    continue;
                }
                if (!Paper(e.x, e.y)) {
                    const uint8_t* p = Px(bmp, e.x, e.y);
                    if (p[2] > c.RedThreshold - 20 && p[1] > c.GreenThreshold - 20 && p[0] > c.BlueThreshold - 20) soft++;
                    else hard++;
                    stack.pop_back();
                    continue;
                }
                count++;
                area[i] = true;
            }
            if (!PushNext()) stack.pop_back();
        }
        return count >= 10 && hard > soft;
    }

    bool Seeds(int x, int y) const {
        const uint8_t* p = Px(bmp, x, y);
        return Paper(x, y) || (p[0] == FillB() && p[1] == FillG() && p[2] == FillR());
    }

    // Top left, bottom left, top right, bottom right: in each row of the 9 x 9 corner, the
    // first pixel from the page edge inward that seeds.
    void Edge() {
        for (int corner = 0; corner < 4; ++corner)
            for (int i = 0; i <= 8 && i < h; ++i) {
                const int y = corner % 2 ? h - 1 - i : i;
                for (int j = 0; j <= 8 && j < w; ++j) {
                    const int x = corner >= 2 ? w - 1 - j : j;
                    if (Seeds(x, y)) {
                        Fill(x, y);
                        break;
                    }
                }
            }
    }

    void Internal() {
        for (int y = 0; y < h; y += 4)
            for (int x = 0; x < w; x += 4)
                if (CheckForWhiteArea(x, y)) Fill(x, y);
    }
};

}  // namespace

bool ReduceYellowingByFilling(TBitmap& bmp, bool fixInternal, const TFillColours& c, bool& areaFilled) {
    if (!Is24(bmp) || ref::BitmapIsWhite(bmp)) return false;
    Walk walk(bmp, c);
    walk.Edge();
    if (fixInternal) walk.Internal();
    areaFilled = true;
    return true;
}

// ---- Resampling ----

namespace {

double Sinc(double t) { return t == 0 ? 1 : std::sin(M_PI * t) / (M_PI * t); }

struct Pair {
    int index;
    int32_t weight;
};

// Count-and-pairs contributors of one axis, as the algorithm lists them.
std::vector<std::vector<Pair>> Contributors(int src, int dst) {
    const float scale = src == 1 ? float(dst) / 1.0f : dst == 1 ? 1.0f / float(src) : float(dst - 1) / float(src - 1);
    const float support = 3.0f / scale;
    std::vector<std::vector<Pair>> out(static_cast<size_t>(dst));
    for (int i = 0; i < dst; ++i) {
        const double c = double(i) / double(scale), reach = scale >= 1.0f ? 3 : double(support);
        for (int j = int(std::floor(c - reach)); j <= int(std::ceil(c + reach)); ++j) {
            int32_t weight;
            if (scale >= 1.0f) {
                const double x = std::fabs(c - j);
                weight = x >= 3 ? 0 : int32_t(Sinc(x) * Sinc(x / 3) * 65536.0);
            } else {
                const double x = std::fabs(c - j) * double(scale);
                const int32_t w = x >= 3 ? 0 : int32_t(Sinc(x) * Sinc(x / 3) * 65536.0);
                weight = int32_t(double(w) / (1.0 / double(scale)));
            }
            if (weight == 0) continue;
            const int n = j < 0 ? -j : j >= src ? 2 * src - j - 1 : j;
            out[size_t(i)].push_back({std::clamp(n, 0, src - 1), weight});
        }
        // Rescaled to add up to 65536, rounding left over on the (first) largest weight.
        auto& pairs = out[size_t(i)];
        int64_t sum = 0;
        for (const Pair& p : pairs) sum += p.weight;
        if (sum <= 0) continue;
        int64_t total = 0;
        for (Pair& p : pairs) total += p.weight = int32_t(std::llround(p.weight * 65536.0 / double(sum)));
        auto largest = std::max_element(pairs.begin(), pairs.end(),
                                        [](const Pair& a, const Pair& b) { return std::abs(a.weight) < std::abs(b.weight); });
        largest->weight += int32_t(65536 - total);
    }
    return out;
}

uint8_t Out(int32_t acc) { return uint8_t(std::clamp(acc, 0, 0xFF0000) >> 16); }

// Accumulates the channels of the pixels at(pair index) with the pairs' weights.
template <typename At>
void Accumulate(const std::vector<Pair>& pairs, At at, uint8_t* d) {
    int32_t b = 32767, g = 32767, r = 32767;
    for (const Pair& p : pairs) {
        const uint8_t* s = at(p.index);
        b += s[0] * p.weight, g += s[1] * p.weight, r += s[2] * p.weight;
    }
    d[0] = Out(b), d[1] = Out(g), d[2] = Out(r);
}

}  // namespace

bool LanczosStretch(TBitmap& bmp, int newWidth, int newHeight) {
    const int sw = bmp.Width(), sh = bmp.Height(), dw = newWidth, dh = newHeight;
    if (sw < 1 || sh < 1 || dw < 1 || dh < 1 || !bmp.SetPixelFormat(TPixelFormat::pf24bit)) return false;
    std::vector<uint8_t> work(size_t(sh) * dw * 3);
    const auto cx = Contributors(sw, dw), cy = Contributors(sh, dh);
    for (int y = 0; y < sh; ++y)
        for (int i = 0; i < dw; ++i)
            Accumulate(cx[size_t(i)], [&](int n) { return Px(bmp, n, y); }, &work[(size_t(y) * dw + i) * 3]);
    bmp.SetSize(dw, dh, TPixelFormat::pf24bit);
    for (int r = 0; r < dh; ++r)
        for (int x = 0; x < dw; ++x)
            Accumulate(cy[size_t(r)], [&](int n) { return &work[(size_t(n) * dw + x) * 3]; }, Px(bmp, x, r));
    return true;
}

namespace {

// Through a work area of W x H pixels: position (x * H + y) receives the pixel from(x, y);
// the new row r (of H pixels) is work row row(r).
template <typename From, typename Row>
void QuarterTurn(TBitmap& bmp, From from, Row row) {
    const int w = bmp.Width(), h = bmp.Height();
    std::vector<uint8_t> work(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) std::copy_n(from(x, y), 3, &work[(size_t(x) * h + y) * 3]);
    bmp.SetSize(h, w, TPixelFormat::pf24bit);
    for (int r = 0; r < w; ++r)
        for (int c = 0; c < h; ++c) std::copy_n(&work[(size_t(row(r, w)) * h + c) * 3], 3, Px(bmp, c, r));
}

}  // namespace

void RotateBitmapLeft(TBitmap& bmp) {
    QuarterTurn(bmp, [&](int x, int y) { return Px(bmp, x, y); }, [](int r, int w) { return w - 1 - r; });
}

void RotateBitmapRight(TBitmap& bmp) {
    const int h = bmp.Height();
    QuarterTurn(bmp, [&, h](int x, int y) { return Px(bmp, x, h - 1 - y); }, [](int r, int) { return r; });
}

void InvertBitmap(TBitmap& bmp) {
    const int w = bmp.Width(), h = bmp.Height();
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w; ++x) std::swap_ranges(Px(bmp, x, y), Px(bmp, x, y) + 3, Px(bmp, w - 1 - x, h - 1 - y));
    if (h % 2 == 1)
        for (int x = 0; x < w / 2; ++x) std::swap_ranges(Px(bmp, x, h / 2), Px(bmp, x, h / 2) + 3, Px(bmp, w - 1 - x, h / 2));
}

}  // namespace vellicor::ref

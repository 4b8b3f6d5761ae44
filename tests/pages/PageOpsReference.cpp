#include "PageOpsReference.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vellicor::ref {

namespace {

uint8_t* Px(TBitmap& b, int x, int y) { return b.ScanLine(y) + 3 * x; }
const uint8_t* Px(const TBitmap& b, int x, int y) { return b.ScanLine(y) + 3 * x; }

}  // namespace

// ---- Colour ----

bool Balance(TBitmap& bmp, int32_t discards, int32_t& balanceFactor) {
    if (bmp.PixelFormat() != TPixelFormat::pf24bit) return false;
    std::vector<int64_t> count(768, 0);
    int mn = 765, mx = 0;
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) {
            const uint8_t* p = Px(bmp, x, y);
            int s = p[0] + p[1] + p[2];
            count[s]++;
            if (s < mn) mn = s;
            if (s > mx) mx = s;
        }
    int hr = (mx - mn) / 6;
    if (hr < 64) return false;
    int64_t c = int64_t(bmp.Height()) * bmp.Width() * discards / 1000;
    while (c > 0) {
        bool low = mn < 64 && c >= count[mn];
        bool high = mx > 196 && c >= count[mx];
        if (!low && !high) break;
        if (low) {
            c -= count[mn];
            mn++;
        }
        // "then the high end if it can": judged with what the low end left of the budget
        if (mx > 196 && c >= count[mx]) {
            c -= count[mx];
            mx--;
        }
    }
    int r = mx - mn;
    hr = r / 6;
    int m = (r / 2 + mn) / 3;
    uint8_t t[256];
    for (int v = 0; v < 256; ++v) {
        int e = (v - m) * 127 / hr + 127;
        t[v] = uint8_t(e < 0 ? 0 : e > 255 ? 255 : e);
    }
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) {
            uint8_t* p = Px(bmp, x, y);
            p[0] = t[p[0]];
            p[2] = t[p[2]];
            p[1] = t[p[1]];
        }
    balanceFactor = 12700 / hr;
    return true;
}

bool GammaCorrect(TBitmap& bmp, int32_t gamma, int32_t& gammaApplied) {
    if (bmp.PixelFormat() != TPixelFormat::pf24bit || gamma <= 0) return false;
    int32_t t[256];
    t[0] = 0;
    for (int i = 1; i < 256; ++i) {
        double v = std::pow(double(i) / 256.0, 1.0 / (gamma * 0.01)) * 256.0;
        int32_t e = int32_t(std::trunc(v));
        t[i] = e < 0 ? 0 : e > 255 ? 255 : e;
    }
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) {
            uint8_t* p = Px(bmp, x, y);
            p[0] = uint8_t(t[p[0]]);
            p[2] = uint8_t(t[p[2]]);
            p[1] = uint8_t(t[p[1]]);
        }
    gammaApplied = gamma;
    return true;
}

bool BitmapIsWhite(const TBitmap& bmp) {
    if (bmp.PixelFormat() != TPixelFormat::pf24bit) return false;
    if (!(bmp.Width() > 40 && bmp.Height() > 40)) return false;
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
    if (bmp.PixelFormat() != TPixelFormat::pf24bit) return false;
    if (ref::BitmapIsWhite(bmp)) return false;
    int tb[256], tg[256];
    blueBoost = std::clamp(blueBoost, 0, 255);
    greenBoost = std::clamp(greenBoost, 0, 255);
    int b = 0;
    for (int v = 0; v < 256; ++v) {
        if (v > blueT) b = b + 3;
        if (b > blueBoost) b = blueBoost;
        tb[v] = v > 255 - b ? 255 : v + b;
    }
    b = 0;
    for (int v = 0; v < 256; ++v) {
        if (v > greenT) b = b + 3;
        if (b > greenBoost) b = greenBoost;
        tg[v] = v > 255 - b ? 255 : v + b;
    }
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) {
            uint8_t* p = Px(bmp, x, y);
            if (p[2] > redT && p[1] > greenT && p[0] > blueT) {
                p[0] = uint8_t(tb[p[0]]);
                p[1] = uint8_t(tg[p[1]]);
            }
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
    std::vector<uint8_t> filled, area;  // one bit per pixel
    std::vector<Entry> stack;

    Walk(TBitmap& b, const TFillColours& col)
        : bmp(b), c(col), w(b.Width()), h(b.Height()),
          filled(size_t(w) * h / 8 + 1), area(size_t(w) * h / 8 + 1) {}

    static bool Bit(const std::vector<uint8_t>& m, size_t i) { return (m[i >> 3] >> (i & 7)) & 1; }
    static void Set(std::vector<uint8_t>& m, size_t i) { m[i >> 3] |= uint8_t(1 << (i & 7)); }
    size_t Index(int x, int y) const { return size_t(y) * w + x; }
    bool Paper(int x, int y) const {
        const uint8_t* p = Px(bmp, x, y);
        return p[2] > c.RedThreshold && p[1] > c.GreenThreshold && p[0] > c.BlueThreshold;
    }
    uint8_t FillB() const { return uint8_t(std::clamp(c.BlueFill, 0, 255)); }
    uint8_t FillG() const { return uint8_t(std::clamp(c.GreenFill, 0, 255)); }
    uint8_t FillR() const { return uint8_t(std::clamp(c.RedFill, 0, 255)); }

    // Pushes the top entry's next neighbour that may be tried; false when none is left.
    bool PushNext() {
        Entry& e = stack.back();
        while (e.next < 4) {
            int n = e.next++;
            int x = e.x, y = e.y;
            if (n == 0 && y < h - 1 && e.from != 4) {
                stack.push_back({x, y + 1, 3, 0});
                return true;
            }
            if (n == 1 && y > 0 && e.from != 3) {
                stack.push_back({x, y - 1, 4, 0});
                return true;
            }
            if (n == 2 && x > 0 && e.from != 1) {
                stack.push_back({x - 1, y, 2, 0});
                return true;
            }
            if (n == 3 && x < w - 1 && e.from != 2) {
                stack.push_back({x + 1, y, 1, 0});
                return true;
            }
        }
        return false;
    }

    void Fill(int x0, int y0) {
        stack.clear();
        stack.push_back({x0, y0, 0, 0});
        while (!stack.empty()) {
            Entry& e = stack.back();
            if (e.next == 0) {
                if (!Bit(filled, Index(e.x, e.y)) && Paper(e.x, e.y)) {
                    uint8_t* p = Px(bmp, e.x, e.y);
                    p[0] = FillB();
                    p[1] = FillG();
                    p[2] = FillR();
                } else {
                    stack.pop_back();
                    continue;
                }
            }
            Set(filled, Index(e.x, e.y));
            if (!PushNext()) stack.pop_back();
        }
    }

    bool CheckForWhiteArea(int x0, int y0) {
        int64_t count = 0, hard = 0, soft = 0;
        stack.clear();
        stack.push_back({x0, y0, 0, 0});
        while (!stack.empty()) {
            Entry& e = stack.back();
            if (e.next == 0) {
                size_t i = Index(e.x, e.y);
                if (Bit(filled, i) || Bit(area, i)) {
                    stack.pop_back();
                    continue;
                }
                if (Paper(e.x, e.y)) {
                    count++;
                    Set(area, i);
                } else {
                    const uint8_t* p = Px(bmp, e.x, e.y);
                    if (p[2] > c.RedThreshold - 20 && p[1] > c.GreenThreshold - 20 && p[0] > c.BlueThreshold - 20)
                        soft++;
                    else
                        hard++;
                    stack.pop_back();
                    continue;
                }
            }
            if (!PushNext()) stack.pop_back();
        }
        if (count < 10) return false;
        return hard > soft;
    }

    bool Seeds(int x, int y) const {
        const uint8_t* p = Px(bmp, x, y);
        return Paper(x, y) || (p[0] == FillB() && p[1] == FillG() && p[2] == FillR());
    }

    void Edge() {
        for (int y = 0; y <= 8 && y < h; ++y)
            for (int x = 0; x <= 8 && x < w; ++x)
                if (Seeds(x, y)) {
                    Fill(x, y);
                    break;
                }
        for (int y = h - 1; y >= h - 9 && y >= 0; --y)
            for (int x = 0; x <= 8 && x < w; ++x)
                if (Seeds(x, y)) {
                    Fill(x, y);
                    break;
                }
        for (int y = 0; y <= 8 && y < h; ++y)
            for (int x = w - 1; x >= w - 9 && x >= 0; --x)
                if (Seeds(x, y)) {
                    Fill(x, y);
                    break;
                }
        for (int y = h - 1; y >= h - 9 && y >= 0; --y)
            for (int x = w - 1; x >= w - 9 && x >= 0; --x)
                if (Seeds(x, y)) {
                    Fill(x, y);
                    break;
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
    if (bmp.PixelFormat() != TPixelFormat::pf24bit) return false;
    if (ref::BitmapIsWhite(bmp)) return false;
    Walk walk(bmp, c);
    walk.Edge();
    if (fixInternal) walk.Internal();
    areaFilled = true;
    return true;
}

// ---- Resampling ----

namespace {

double Sinc(double t) {
    if (t == 0) return 1;
    return std::sin(M_PI * t) / (M_PI * t);
}

struct Pair {
    int index;
    int32_t weight;
};

// Count-and-pairs contributors of one axis, as the algorithm lists them.
std::vector<std::vector<Pair>> Contributors(int src, int dst) {
    float scale;
    if (src == 1) scale = float(dst) / 1.0f;
    else if (dst == 1) scale = 1.0f / float(src);
    else scale = float(dst - 1) / float(src - 1);
    float support = 3.0f / scale;
    std::vector<std::vector<Pair>> out(static_cast<size_t>(dst));
    for (int i = 0; i < dst; ++i) {
        double c = double(i) / double(scale);
        int from, to;
        if (scale >= 1.0f) {
            from = int(std::floor(c - 3));
            to = int(std::ceil(c + 3));
        } else {
            from = int(std::floor(c - double(support)));
            to = int(std::ceil(c + double(support)));
        }
        for (int j = from; j <= to; ++j) {
            int32_t weight;
            if (scale >= 1.0f) {
                double x = std::fabs(c - j);
                weight = x >= 3 ? 0 : int32_t(Sinc(x) * Sinc(x / 3) * 65536.0);
            } else {
                double x = std::fabs(c - j) * double(scale);
                if (x >= 3) {
                    weight = 0;
                } else {
                    int32_t w = int32_t(Sinc(x) * Sinc(x / 3) * 65536.0);
                    weight = int32_t(double(w) / (1.0 / double(scale)));
                }
            }
            if (weight == 0) continue;
            int n = j < 0 ? -j : j >= src ? 2 * src - j - 1 : j;
            n = std::clamp(n, 0, src - 1);
            out[size_t(i)].push_back({n, weight});
        }
    }
    return out;
}

uint8_t Out(int32_t acc) { return uint8_t((acc < 0 ? 0 : acc > 0xFF0000 ? 0xFF0000 : acc) >> 16); }

}  // namespace

bool LanczosStretch(TBitmap& bmp, int newWidth, int newHeight) {
    int sw = bmp.Width(), sh = bmp.Height();
    if (sw < 1 || sh < 1 || newWidth < 1 || newHeight < 1) return false;
    if (!bmp.SetPixelFormat(TPixelFormat::pf24bit)) return false;
    int dw = newWidth, dh = newHeight;
    std::vector<uint8_t> work(size_t(sh) * dw * 3);
    auto cx = Contributors(sw, dw);
    for (int y = 0; y < sh; ++y)
        for (int i = 0; i < dw; ++i) {
            int32_t r = 32767, g = 32767, b = 32767;
            for (const Pair& p : cx[size_t(i)]) {
                const uint8_t* s = Px(bmp, p.index, y);
                b += s[0] * p.weight;
                g += s[1] * p.weight;
                r += s[2] * p.weight;
            }
            uint8_t* d = &work[(size_t(y) * dw + i) * 3];
            d[0] = Out(b);
            d[1] = Out(g);
            d[2] = Out(r);
        }
    bmp.SetSize(dw, dh, TPixelFormat::pf24bit);
    auto cy = Contributors(sh, dh);
    for (int r = 0; r < dh; ++r)
        for (int x = 0; x < dw; ++x) {
            int32_t rr = 32767, g = 32767, b = 32767;
            for (const Pair& p : cy[size_t(r)]) {
                const uint8_t* s = &work[(size_t(p.index) * dw + x) * 3];
                b += s[0] * p.weight;
                g += s[1] * p.weight;
                rr += s[2] * p.weight;
            }
            uint8_t* d = Px(bmp, x, r);
            d[0] = Out(b);
            d[1] = Out(g);
            d[2] = Out(rr);
        }
    return true;
}

void RotateBitmapLeft(TBitmap& bmp) {
    int w = bmp.Width(), h = bmp.Height();
    std::vector<uint8_t> work(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k) work[(size_t(x) * h + y) * 3 + k] = Px(bmp, x, y)[k];
    bmp.SetSize(h, w, TPixelFormat::pf24bit);
    for (int r = 0; r < w; ++r)
        for (int c = 0; c < h; ++c)
            for (int k = 0; k < 3; ++k) Px(bmp, c, r)[k] = work[(size_t(w - 1 - r) * h + c) * 3 + k];
}

void RotateBitmapRight(TBitmap& bmp) {
    int w = bmp.Width(), h = bmp.Height();
    std::vector<uint8_t> work(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k) work[(size_t(x) * h + y) * 3 + k] = Px(bmp, x, h - 1 - y)[k];
    bmp.SetSize(h, w, TPixelFormat::pf24bit);
    for (int r = 0; r < w; ++r)
        for (int c = 0; c < h; ++c)
            for (int k = 0; k < 3; ++k) Px(bmp, c, r)[k] = work[(size_t(r) * h + c) * 3 + k];
}

void InvertBitmap(TBitmap& bmp) {
    int w = bmp.Width(), h = bmp.Height();
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k) std::swap(Px(bmp, x, y)[k], Px(bmp, w - 1 - x, h - 1 - y)[k]);
    if (h % 2 == 1)
        for (int x = 0; x < w / 2; ++x)
            for (int k = 0; k < 3; ++k) std::swap(Px(bmp, x, h / 2)[k], Px(bmp, w - 1 - x, h / 2)[k]);
}

}  // namespace vellicor::ref

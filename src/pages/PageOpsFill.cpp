// Yellowing reduction by filling: repaints paper connected to the corners, and enclosed
// patches of paper bordered by ink, with a fixed paper colour.
//
// The fills walk spans of a row at a time. What a fill paints and what a white-area check
// counts depend only on the pixels and on the masks when it starts, not on the order in
// which pixels are visited: a fill paints the 4-connected component of unvisited paper
// around its seed, and a check counts each (area pixel, non-paper neighbour) pair once.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "pages/PageOps.h"
#include "pages/PageOpsScratch.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

constexpr uint8_t kFilled = 1;    // visited by a fill (and painted)
constexpr uint8_t kExplored = 2;  // explored by a white-area check

struct Seed {
    int32_t x, y;
};

// One byte of marks per pixel and the seed stack of the span walk.
struct FillMemory {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> marks;
    std::vector<Seed> seeds;
};

FillMemory g_fillMemory;
bool g_fillMemoryBusy = false;
uint32_t g_fillSteps = 0;  // pixels walked, for letting messages through every 65536

// Holds the shared fill memory for one call, or a private one when it is in use.
class FillLease {
public:
    FillLease() : shared_(!g_fillMemoryBusy) {
        if (shared_) g_fillMemoryBusy = true;
    }
    ~FillLease() {
        if (shared_) g_fillMemoryBusy = false;
    }
    FillLease(const FillLease&) = delete;
    FillLease& operator=(const FillLease&) = delete;
    FillMemory& Memory() { return shared_ ? g_fillMemory : private_; }

private:
    bool shared_;
    FillMemory private_;
};

void CountSteps(int64_t n) {
    uint32_t before = g_fillSteps;
    g_fillSteps += uint32_t(n);
    if ((before >> 16) != (g_fillSteps >> 16)) ProcessMessages();
}

// Per-channel class tables: bit 0 the value is above the paper threshold, bit 1 above the
// threshold less 20 (a "soft" border). A pixel's class is the AND of its three entries.
struct PaperTest {
    uint8_t blue[256], green[256], red[256];
    uint8_t fill[3];  // blue, green, red

    explicit PaperTest(const TFillColours& c) {
        for (int v = 0; v < 256; ++v) {
            blue[v] = uint8_t((v > c.BlueThreshold ? 1 : 0) | (v > c.BlueThreshold - 20 ? 2 : 0));
            green[v] = uint8_t((v > c.GreenThreshold ? 1 : 0) | (v > c.GreenThreshold - 20 ? 2 : 0));
            red[v] = uint8_t((v > c.RedThreshold ? 1 : 0) | (v > c.RedThreshold - 20 ? 2 : 0));
        }
        fill[0] = uint8_t(std::clamp(c.BlueFill, 0, 255));
        fill[1] = uint8_t(std::clamp(c.GreenFill, 0, 255));
        fill[2] = uint8_t(std::clamp(c.RedFill, 0, 255));
    }
    uint8_t Class(const uint8_t* p) const { return blue[p[0]] & green[p[1]] & red[p[2]]; }
    bool Paper(const uint8_t* p) const { return Class(p) & 1; }
    bool IsFillColour(const uint8_t* p) const { return p[0] == fill[0] && p[1] == fill[1] && p[2] == fill[2]; }
};

// A message handler must not change the page during a fill; if one does anyway, the walk
// stops rather than use masks of another size.
bool Unchanged(const TBitmap& bmp, const FillMemory& m) {
    return bmp.Width() == m.width && bmp.Height() == m.height && bmp.PixelFormat() == TPixelFormat::pf24bit;
}

bool Fits(const FillMemory& m, const TBitmap& bmp) {
    return bmp.PixelFormat() == TPixelFormat::pf24bit && m.width == bmp.Width() && m.height == bmp.Height() &&
           m.marks.size() >= size_t(m.width) * size_t(m.height);
}

bool Allocate(FillMemory& m, const TBitmap& bmp) {
    const size_t n = size_t(std::max(bmp.Width(), 0)) * size_t(std::max(bmp.Height(), 0));
    try {
        if (m.marks.size() < n) m.marks.resize(n);
        m.seeds.reserve(64);
    } catch (const std::bad_alloc&) {
        m.marks.clear();
        m.marks.shrink_to_fit();
        m.width = m.height = 0;
        return false;
    }
    std::memset(m.marks.data(), 0, n);
    m.width = bmp.Width();
    m.height = bmp.Height();
    return true;
}

// Pushes the first pixel of every run of pixels in [xl, xr] of row y for which take(x) holds.
template <typename Take>
void PushRuns(FillMemory& m, int xl, int xr, int y, Take take) {
    bool inRun = false;
    for (int x = xl; x <= xr; ++x) {
        bool t = take(x);
        if (t && !inRun) m.seeds.push_back({x, y});
        inRun = t;
    }
}

void DoFill(TBitmap& bmp, FillMemory& m, int x0, int y0, const PaperTest& t) {
    VTRACE("TPageBMP::Fill");
    const int w = m.width, h = m.height;
    if (x0 < 0 || y0 < 0 || x0 >= w || y0 >= h) return;
    auto open = [&](const uint8_t* row, const uint8_t* marks, int x) {
        return !(marks[x] & kFilled) && t.Paper(row + 3 * x);
    };
    m.seeds.clear();
    m.seeds.push_back({x0, y0});
    while (!m.seeds.empty() && Unchanged(bmp, m)) {
        const Seed s = m.seeds.back();
        m.seeds.pop_back();
        uint8_t* row = bmp.ScanLine(s.y);
        uint8_t* marks = m.marks.data() + size_t(s.y) * size_t(w);
        if (!open(row, marks, s.x)) continue;
        int xl = s.x, xr = s.x;
        while (xl > 0 && open(row, marks, xl - 1)) --xl;
        while (xr < w - 1 && open(row, marks, xr + 1)) ++xr;
        for (int x = xl; x <= xr; ++x) {
            uint8_t* p = row + 3 * x;
            p[0] = t.fill[0];
            p[1] = t.fill[1];
            p[2] = t.fill[2];
            marks[x] |= kFilled;
        }
        for (int ny : {s.y - 1, s.y + 1}) {
            if (ny < 0 || ny >= h) continue;
            const uint8_t* nrow = bmp.ScanLine(ny);
            const uint8_t* nmarks = m.marks.data() + size_t(ny) * size_t(w);
            PushRuns(m, xl, xr, ny, [&](int x) { return open(nrow, nmarks, x); });
        }
        CountSteps(xr - xl + 1);
    }
}

bool DoCheckForWhiteArea(const TBitmap& bmp, FillMemory& m, int x0, int y0, const PaperTest& t) {
    VTRACE("TPageBMP::CheckForWhiteArea");
    const int w = m.width, h = m.height;
    if (x0 < 0 || y0 < 0 || x0 >= w || y0 >= h) return false;
    int64_t area = 0, hard = 0, soft = 0;
    // A neighbour that no walk has visited and that is not paper borders the area.
    auto border = [&](const uint8_t* row, const uint8_t* marks, int x) {
        if (marks[x] & (kFilled | kExplored)) return;
        uint8_t c = t.Class(row + 3 * x);
        if (c & 1) return;
        if (c & 2) ++soft;
        else ++hard;
    };
    auto open = [&](const uint8_t* row, const uint8_t* marks, int x) {
        return !(marks[x] & (kFilled | kExplored)) && t.Paper(row + 3 * x);
    };
    m.seeds.clear();
    m.seeds.push_back({x0, y0});
    while (!m.seeds.empty()) {
        if (!Unchanged(bmp, m)) return false;
        const Seed s = m.seeds.back();
        m.seeds.pop_back();
        const uint8_t* row = bmp.ScanLine(s.y);
        uint8_t* marks = m.marks.data() + size_t(s.y) * size_t(w);
        if (!open(row, marks, s.x)) continue;
        int xl = s.x, xr = s.x;
        while (xl > 0 && open(row, marks, xl - 1)) --xl;
        while (xr < w - 1 && open(row, marks, xr + 1)) ++xr;
        for (int x = xl; x <= xr; ++x) marks[x] |= kExplored;
        area += xr - xl + 1;
        if (xl > 0) border(row, marks, xl - 1);
        if (xr < w - 1) border(row, marks, xr + 1);
        for (int ny : {s.y - 1, s.y + 1}) {
            if (ny < 0 || ny >= h) continue;
            const uint8_t* nrow = bmp.ScanLine(ny);
            const uint8_t* nmarks = m.marks.data() + size_t(ny) * size_t(w);
            PushRuns(m, xl, xr, ny, [&](int x) {
                if (open(nrow, nmarks, x)) return true;
                border(nrow, nmarks, x);
                return false;
            });
        }
        CountSteps(xr - xl + 1);
    }
    return area >= 10 && hard > soft;
}

void DoEdge(TBitmap& bmp, FillMemory& m, const PaperTest& t) {
    VTRACE("TPageBMP::ReduceEdgeYellow");
    const int w = m.width, h = m.height;
    if (w <= 0 || h <= 0) return;
    // Corners: rows and columns counted from the page edge inward, at most 9 of each.
    const int n = 9;
    const int rows = std::min(n, h), cols = std::min(n, w);
    for (int corner = 0; corner < 4; ++corner) {
        const bool bottom = corner == 1 || corner == 3;
        const bool right = corner >= 2;
        for (int i = 0; i < rows && Unchanged(bmp, m); ++i) {
            const int y = bottom ? h - 1 - i : i;
            const uint8_t* row = bmp.ScanLine(y);
            for (int j = 0; j < cols; ++j) {
                const int x = right ? w - 1 - j : j;
                if (t.Paper(row + 3 * x) || t.IsFillColour(row + 3 * x)) {
                    DoFill(bmp, m, x, y, t);
                    break;
                }
            }
        }
        ProcessMessages();
    }
}

void DoInternal(TBitmap& bmp, FillMemory& m, const PaperTest& t) {
    VTRACE("TPageBMP::ReduceInternalYellow");
    for (int y = 0; y < m.height && Unchanged(bmp, m); y += 4)
        for (int x = 0; x < m.width; x += 4)
            if (DoCheckForWhiteArea(bmp, m, x, y, t)) DoFill(bmp, m, x, y, t);
}

}  // namespace

bool ReduceYellowingByFilling(TBitmap& bmp, bool FixInternal, int32_t RedThreshold, int32_t GreenThreshold,
                              int32_t BlueThreshold, int32_t RedFill, int32_t GreenFill, int32_t BlueFill,
                              bool& AreaFilled) {
    VTRACE("TPageBMP::ReduceYellowingByFilling");
    if (bmp.PixelFormat() != TPixelFormat::pf24bit) return false;
    if (BitmapIsWhite(bmp)) return false;
    FillLease lease;
    FillMemory& m = lease.Memory();
    if (!Allocate(m, bmp)) return false;
    const PaperTest t(TFillColours{RedThreshold, GreenThreshold, BlueThreshold, RedFill, GreenFill, BlueFill});
    try {
        DoEdge(bmp, m, t);
        if (FixInternal) DoInternal(bmp, m, t);
    } catch (const std::bad_alloc&) {
        // The seed stack could not grow: what was painted stays, the rest is left.
    }
    AreaFilled = true;
    return true;
}

bool AllocateFillMemory(const TBitmap& bmp) {
    VTRACE("TPageBMP::AllocateFillMemory");
    if (g_fillMemoryBusy) return false;
    return Allocate(g_fillMemory, bmp);
}

void Fill(TBitmap& bmp, int X, int Y, const TFillColours& c) {
    if (g_fillMemoryBusy || !Fits(g_fillMemory, bmp)) return;
    FillLease lease;
    DoFill(bmp, lease.Memory(), X, Y, PaperTest(c));
}

bool CheckForWhiteArea(const TBitmap& bmp, int X, int Y, const TFillColours& c) {
    if (g_fillMemoryBusy || !Fits(g_fillMemory, bmp)) return false;
    FillLease lease;
    return DoCheckForWhiteArea(bmp, lease.Memory(), X, Y, PaperTest(c));
}

void ReduceEdgeYellow(TBitmap& bmp, const TFillColours& c) {
    if (g_fillMemoryBusy || !Fits(g_fillMemory, bmp)) return;
    FillLease lease;
    DoEdge(bmp, lease.Memory(), PaperTest(c));
}

void ReduceInternalYellow(TBitmap& bmp, const TFillColours& c) {
    if (g_fillMemoryBusy || !Fits(g_fillMemory, bmp)) return;
    FillLease lease;
    DoInternal(bmp, lease.Memory(), PaperTest(c));
}

}  // namespace vellicor

#pragma once
// Process-wide scratch buffers of the page operations. They are kept from page to page
// (grown, never shrunk). Long operations let window messages through, and a handler may
// start another operation: the holder of a buffer owns it until it is done, and a nested
// user gets a private buffer instead of moving the shared one under the first.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <stdexcept>
#include <vector>

namespace vellicor {
class TBitmap;
}

namespace vellicor::pageops {

template <typename T>
struct ScratchPool {
    std::vector<T> buffer;
    bool busy = false;
};

template <typename T>
class Scratch {
public:
    explicit Scratch(ScratchPool<T>& pool) : pool_(pool), shared_(!pool.busy) {
        if (shared_) pool_.busy = true;
    }
    ~Scratch() {
        if (shared_) pool_.busy = false;
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // Makes the buffer hold at least n elements (plus slack on growth); false when memory
    // cannot be had (the shared buffer is then released entirely).
    bool Reserve(size_t n, size_t slack = 0) {
        std::vector<T>& v = Vec();
        if (v.size() >= n) return true;
        try {
            v.resize(n + slack);
        } catch (const std::bad_alloc&) {
            v.clear();
            v.shrink_to_fit();
            return false;
        } catch (const std::length_error&) {
            v.clear();
            v.shrink_to_fit();
            return false;
        }
        return true;
    }
    T* Data() { return Vec().data(); }
    std::vector<T>& Vec() { return shared_ ? pool_.buffer : private_; }
    bool Shared() const { return shared_; }

private:
    ScratchPool<T>& pool_;
    bool shared_;
    std::vector<T> private_;
};

// Runs fn(y0, y1) over the rows of a 24-bit page in blocks, each block shared out among
// the worker threads, and lets messages through after each block. A handler must not
// change the page; if one does (size or format), the rest is left alone: false.
bool ForRowBlocks(TBitmap& bmp, const std::function<void(int y0, int y1)>& fn);

// ---- The colour steps of the page chain as one per-pixel map (PageOpsColour.cpp) ----

// Histograms of one pass over a 24-bit page: of R + G + B over every pixel (balance) and,
// when asked, of min(R, G, B) over the pixels inside a 20-pixel margin (the white test).
struct TPageHistograms {
    std::vector<uint32_t> Sums;  // [766]
    std::vector<uint32_t> Mins;  // [256], empty when not asked for or the page is too small
    int64_t Pixels = 0;
    int64_t WhiteLimit = 0;  // more pixels than this above 250 make the page white
};
void TakeHistograms(const TBitmap& bmp, bool mins, TPageHistograms& out);
// The balance table the histogram calls for; false (the page left alone) as Balance decides.
bool BalanceTable(const TPageHistograms& hist, int32_t Discards, uint8_t (&table)[256], int32_t& factor);
// Tables of the yellowing reduction: the upper half of blue and green is the ramp, the
// lower half leaves the value; thresholds as byte limits (-1: every value passes).
void YellowingTables(int32_t RedThreshold, int32_t GreenThreshold, int32_t BlueThreshold, int32_t GreenBoost,
                     int32_t BlueBoost, uint8_t (&blue)[512], uint8_t (&green)[512], int& rt, int& gt, int& bt);

// Balance, then yellowing reduction, composed: each channel through its table, blue and
// green through the upper half of theirs when every channel is at least its minimum.
struct TColourMap {
    uint8_t Blue[512], Green[512], Red[256];
    int BlueMin = 256, GreenMin = 256, RedMin = 256;  // 256: never yellowed paper
    bool Balanced = false;
    bool Uniform = false;  // Blue, Green (lower halves) and Red are one table
    int32_t BalanceFactor = 100;
    bool YellowingReduced = false;
    bool Identity() const { return !Balanced && !YellowingReduced; }
    // src and dst may be the same; pixels of three bytes.
    void Apply(const uint8_t* src, uint8_t* dst, int pixels) const;
};
// Plans Balance (when balance) and then ReduceYellowing (when yellowing) on a 24-bit page
// from one look at it, recording what each would have done; false when the page is not
// 24-bit or the steps do not compose (the caller runs them one by one then).
bool PlanColourMap(const TBitmap& bmp, bool balance, int32_t Discards, bool yellowing, int32_t RedThreshold,
                   int32_t GreenThreshold, int32_t BlueThreshold, int32_t GreenBoost, int32_t BlueBoost, TColourMap& map);
// Runs every pixel of a 24-bit page through the map (messages let through between blocks).
bool ApplyColourMap(TBitmap& bmp, const TColourMap& map);
// LanczosStretch of the page as the map makes it (each source pixel mapped before it is
// resampled; null: none). The same bytes as ApplyColourMap followed by LanczosStretch.
bool LanczosStretchMapped(TBitmap& bmp, int NewWidth, int NewHeight, const TColourMap* map);
// Stretch, through LanczosStretchMapped.
bool StretchMapped(TBitmap& bmp, int NewWidth, int NewHeight, int32_t DecodedWidth, int32_t& ScalePercent,
                   const TColourMap* map);

// Tests run the plain loops as well as the vector kernels the processor offers.
void UseVectorKernels(bool on);
bool VectorKernelsOn();
// Off: the AVX-512 kernels stand aside for the AVX2 ones, as on a processor without them.
void UseWidestKernels(bool on);
bool WidestKernelsOn();

}  // namespace vellicor::pageops

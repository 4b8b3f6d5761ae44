#include "platform/Bitmap.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELLICOR_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VELLICOR_ASAN 1
#endif
#ifdef VELLICOR_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace vellicor {

namespace {

// Buffers below this go straight to the heap, which reuses small blocks by itself.
constexpr size_t kPoolMin = size_t(1) << 20;
// What the pool may hold in all: a decoded page or two and a few fitted ones. A freed buffer
// larger than this goes back to the system.
constexpr size_t kPoolBudget = size_t(40) << 20;

struct PixelPool {
    std::mutex lock;
    std::vector<std::pair<void*, size_t>> free;  // oldest first
    size_t bytes = 0;
};

PixelPool& Pool() {
    static PixelPool* pool = new PixelPool;  // never destroyed: bitmaps may outlive statics
    return *pool;
}

// A kept buffer is out of bounds to the address sanitizer until it is handed out again, so
// that a page used after it was freed is still caught.
void Keep(void* p, size_t bytes) {
#ifdef VELLICOR_ASAN
    ASAN_POISON_MEMORY_REGION(p, bytes);
#else
    (void)p, (void)bytes;
#endif
}

void* Release(void* p, size_t bytes) {
#ifdef VELLICOR_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, bytes);
#else
    (void)bytes;
#endif
    return p;
}

void* FreshPixels(size_t bytes) {
    void* p = std::malloc(bytes ? bytes : 1);
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

void* AllocatePixels(size_t bytes) {
    if (bytes >= kPoolMin && bytes <= kPoolBudget) {
        PixelPool& pool = Pool();
        std::lock_guard<std::mutex> hold(pool.lock);
        // The newest buffer of the size: the likeliest still in the processor's caches.
        for (auto it = pool.free.rbegin(); it != pool.free.rend(); ++it) {
            if (it->second != bytes) continue;
            void* p = it->first;
            pool.bytes -= bytes;
            pool.free.erase(std::next(it).base());
            return Release(p, bytes);
        }
    }
    return FreshPixels(bytes);
}

void FreePixels(void* p, size_t bytes) noexcept {
    if (!p) return;
    if (bytes >= kPoolMin && bytes <= kPoolBudget) {
        PixelPool& pool = Pool();
        std::lock_guard<std::mutex> hold(pool.lock);
        try {
            pool.free.reserve(pool.free.size() + 1);
        } catch (...) {
            std::free(p);
            return;
        }
        while (pool.bytes + bytes > kPoolBudget) {
            std::free(Release(pool.free.front().first, pool.free.front().second));
            pool.bytes -= pool.free.front().second;
            pool.free.erase(pool.free.begin());
        }
        Keep(p, bytes);
        pool.free.emplace_back(p, bytes);
        pool.bytes += bytes;
        return;
    }
    std::free(p);
}

size_t PixelPoolBytes() {
    PixelPool& pool = Pool();
    std::lock_guard<std::mutex> hold(pool.lock);
    return pool.bytes;
}

void ReleasePixelPool() {
    PixelPool& pool = Pool();
    std::lock_guard<std::mutex> hold(pool.lock);
    for (auto& [p, n] : pool.free) std::free(Release(p, n));
    pool.free.clear();
    pool.bytes = 0;
}

TPixelStore::TPixelStore(const TPixelStore& other) {
    if (other.size_ == 0) return;
    Reallocate(other.size_);
    std::memcpy(data_, other.data_, size_);
}

TPixelStore& TPixelStore::operator=(const TPixelStore& other) {
    if (this == &other) return *this;
    if (size_ != other.size_) {
        TPixelStore copy(other);
        return *this = std::move(copy);
    }
    if (size_ > 0) std::memcpy(data_, other.data_, size_);
    return *this;
}

void TPixelStore::Reallocate(size_t bytes) {
    // The old buffer goes back first, so the pool may hand it out again at once.
    Release();
    if (bytes == 0) return;
    data_ = static_cast<uint8_t*>(AllocatePixels(bytes));
    size_ = bytes;
}

void TPixelStore::Release() noexcept {
    FreePixels(data_, size_);
    data_ = nullptr;
    size_ = 0;
}

int BitsPerPixel(TPixelFormat f) {
    switch (f) {
        case TPixelFormat::pf1bit: return 1;
        case TPixelFormat::pf4bit: return 4;
        case TPixelFormat::pf8bit: return 8;
        case TPixelFormat::pf32bit: return 32;
        default: return 24;
    }
}

int64_t RowBytes(int width, TPixelFormat f) {
    int64_t bits = static_cast<int64_t>(width) * BitsPerPixel(f);
    return ((bits + 31) / 32) * 4;
}

bool TBitmap::SetSize(int width, int height, TPixelFormat format) { return Resize(width, height, format, true); }

bool TBitmap::SetSizeForOverwrite(int width, int height, TPixelFormat format) {
    if (!Resize(width, height, format, false)) return false;
    const int64_t used = (static_cast<int64_t>(width) * BitsPerPixel(format_) + 7) / 8;
    if (used < stride_)
        for (int y = 0; y < height_; ++y) std::memset(ScanLine(y) + used, 0, static_cast<size_t>(stride_ - used));
    return true;
}

bool TBitmap::Resize(int width, int height, TPixelFormat format, bool zero) {
    if (format == TPixelFormat::pfDevice) format = TPixelFormat::pf24bit;
    if (width < 0 || height < 0 || static_cast<int64_t>(width) * height > kMaxBitmapPixels) {
        Clear();
        return false;
    }
    int64_t stride = RowBytes(width, format);
    const size_t bytes = static_cast<size_t>(stride * height);
    try {
        // A buffer of another size is given back first (to the pool or the system), not
        // kept as spare capacity: a page fitted down from a large scan would hold the scan.
        if (data_.size() != bytes) data_.Reallocate(bytes);
        if (zero && bytes > 0) std::memset(data_.data(), 0, bytes);
    } catch (const std::bad_alloc&) {
        Clear();
        return false;
    }
    width_ = width;
    height_ = height;
    format_ = format;
    stride_ = stride;
    int bpp = BitsPerPixel(format);
    if (bpp <= 8) palette_.resize(size_t(1) << bpp);
    else palette_.clear();
    return true;
}

void TBitmap::Clear() {
    width_ = height_ = 0;
    stride_ = 0;
    data_.Release();
    palette_.clear();
}

TColor TBitmap::Pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
    const uint8_t* row = ScanLine(y);
    int index;
    switch (format_) {
        case TPixelFormat::pf1bit: index = (row[x >> 3] >> (7 - (x & 7))) & 1; break;
        case TPixelFormat::pf4bit: index = (x & 1) ? (row[x >> 1] & 15) : (row[x >> 1] >> 4); break;
        case TPixelFormat::pf8bit: index = row[x]; break;
        case TPixelFormat::pf32bit: return RGBColor(row[x * 4 + 2], row[x * 4 + 1], row[x * 4]);
        default: return RGBColor(row[x * 3 + 2], row[x * 3 + 1], row[x * 3]);
    }
    if (static_cast<size_t>(index) >= palette_.size()) return 0;
    const TRGBQuad& q = palette_[static_cast<size_t>(index)];
    return RGBColor(q.red, q.green, q.blue);
}

void TBitmap::Fill(TColor c) {
    int bpp = BitsPerPixel(format_);
    if (bpp < 24) return;
    int step = bpp / 8;
    for (int y = 0; y < height_; ++y) {
        uint8_t* p = ScanLine(y);
        for (int x = 0; x < width_; ++x, p += step) {
            p[0] = GetBValue(c);
            p[1] = GetGValue(c);
            p[2] = GetRValue(c);
            if (step == 4) p[3] = 0;
        }
    }
}

namespace {

// One row of any format as blue, green, red (and a zero fourth byte when step is 4).
void ConvertRow(const TBitmap& src, int y, uint8_t* d, int step) {
    const uint8_t* row = src.ScanLine(y);
    const int w = src.Width();
    const auto& pal = src.Palette();
    auto putIndex = [&](uint8_t* p, unsigned index) {
        if (index < pal.size()) {
            p[0] = pal[index].blue;
            p[1] = pal[index].green;
            p[2] = pal[index].red;
        } else {
            p[0] = p[1] = p[2] = 0;
        }
        if (step == 4) p[3] = 0;
    };
    switch (src.PixelFormat()) {
        case TPixelFormat::pf1bit:
            for (int x = 0; x < w; ++x, d += step) putIndex(d, (row[x >> 3] >> (7 - (x & 7))) & 1);
            break;
        case TPixelFormat::pf4bit:
            for (int x = 0; x < w; ++x, d += step) putIndex(d, (x & 1) ? (row[x >> 1] & 15) : (row[x >> 1] >> 4));
            break;
        case TPixelFormat::pf8bit:
            for (int x = 0; x < w; ++x, d += step) putIndex(d, row[x]);
            break;
        case TPixelFormat::pf32bit:
            for (int x = 0; x < w; ++x, d += step, row += 4) {
                d[0] = row[0];
                d[1] = row[1];
                d[2] = row[2];
                if (step == 4) d[3] = 0;
            }
            break;
        default:
            for (int x = 0; x < w; ++x, d += step, row += 3) {
                d[0] = row[0];
                d[1] = row[1];
                d[2] = row[2];
                if (step == 4) d[3] = 0;
            }
            break;
    }
}

}  // namespace

bool TBitmap::AssignConverted(const TBitmap& source, const std::function<bool()>& goOn) {
    if (&source == this) return SetPixelFormat(TPixelFormat::pf24bit);
    TBitmap out;
    // Every pixel of every row is written below: no clearing first.
    if (!out.SetSizeForOverwrite(source.Width(), source.Height(), TPixelFormat::pf24bit)) return false;
    // About a million pixels between asks.
    const int rows = std::max(1, (1 << 20) / std::max(1, source.Width()));
    for (int y0 = 0; y0 < source.Height(); y0 += rows) {
        const int y1 = std::min(source.Height(), y0 + rows);
        for (int y = y0; y < y1; ++y) ConvertRow(source, y, out.ScanLine(y), 3);
        if (goOn && !goOn()) return false;
    }
    *this = std::move(out);
    return true;
}

bool TBitmap::SetPixelFormat(TPixelFormat format) {
    if (format == format_) return true;
    if (Empty()) {
        format_ = format;
        return true;
    }
    if (format == TPixelFormat::pf24bit || format == TPixelFormat::pf32bit) {
        TBitmap out;
        if (!out.SetSizeForOverwrite(width_, height_, format)) return false;  // every pixel is written
        int step = format == TPixelFormat::pf24bit ? 3 : 4;
        for (int y = 0; y < height_; ++y) ConvertRow(*this, y, out.ScanLine(y), step);
        *this = std::move(out);
        return true;
    }
    return SetSize(width_, height_, format);
}

}  // namespace vellicor

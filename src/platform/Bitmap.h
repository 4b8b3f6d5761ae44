#pragma once
// A device-independent bitmap in place of the class library's bitmap. Rows are stored
// top-down, each padded to a multiple of 4 bytes. 24-bit pixels are blue, green, red;
// 32-bit pixels are blue, green, red, alpha. Palette formats keep a colour table.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "platform/DefaultInitAllocator.h"

namespace vellicor {

// Page-sized pixel buffers come from here and go back here: a freed one is kept for the
// next page of its size (the pages of a book mostly share one), so a decoder writes into
// memory already mapped instead of taking a page fault every 4 KB. Throws std::bad_alloc.
void* AllocatePixels(size_t bytes);
void FreePixels(void* p, size_t bytes) noexcept;
// Bytes held for reuse; ReleasePixelPool gives them all back (tests, memory pressure).
size_t PixelPoolBytes();
void ReleasePixelPool();

// A page's pixels, in memory from AllocatePixels. Unlike a vector with a custom allocator,
// it is made and given back in one step, not an element at a time (which unoptimised
// builds do for every byte of a page, also while the program is ending).
class TPixelStore {
public:
    TPixelStore() = default;
    ~TPixelStore() { FreePixels(data_, size_); }
    TPixelStore(const TPixelStore& other);
    TPixelStore& operator=(const TPixelStore& other);
    TPixelStore(TPixelStore&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    TPixelStore& operator=(TPixelStore&& other) noexcept {
        if (this != &other) {
            FreePixels(data_, size_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    // Makes it bytes long; the contents are left as they come. Throws std::bad_alloc (and
    // then holds nothing).
    void Reallocate(size_t bytes);
    void Release() noexcept;

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

enum class TPixelFormat { pfDevice, pf1bit, pf4bit, pf8bit, pf24bit, pf32bit };

struct TRGBQuad {
    uint8_t blue = 0, green = 0, red = 0, reserved = 0;
};

// A colour as the platform stores it: 0x00BBGGRR.
using TColor = uint32_t;
constexpr TColor RGBColor(uint8_t r, uint8_t g, uint8_t b) { return r | (g << 8) | (static_cast<uint32_t>(b) << 16); }
constexpr uint8_t GetRValue(TColor c) { return c & 0xFF; }
constexpr uint8_t GetGValue(TColor c) { return (c >> 8) & 0xFF; }
constexpr uint8_t GetBValue(TColor c) { return (c >> 16) & 0xFF; }

// Pages larger than this are refused before any allocation (a small hostile file must not
// exhaust memory); far above any real page.
constexpr int64_t kMaxBitmapPixels = int64_t(1) << 28;

int BitsPerPixel(TPixelFormat f);
int64_t RowBytes(int width, TPixelFormat f);  // padded to 4 bytes

class TBitmap {
public:
    TBitmap() = default;
    virtual ~TBitmap() = default;
    TBitmap(const TBitmap&) = default;
    TBitmap& operator=(const TBitmap&) = default;
    TBitmap(TBitmap&&) noexcept = default;
    TBitmap& operator=(TBitmap&&) noexcept = default;

    int Width() const { return width_; }
    int Height() const { return height_; }
    TPixelFormat PixelFormat() const { return format_; }
    int64_t Stride() const { return stride_; }
    bool Empty() const { return width_ <= 0 || height_ <= 0; }

    // Sets format and size; pixels are zeroed. False (and an empty bitmap) when the size is
    // negative, beyond kMaxBitmapPixels, or memory runs out.
    bool SetSize(int width, int height, TPixelFormat format);
    // As SetSize, but the pixels are left as they come (row padding is zeroed): for a
    // caller that writes every pixel of every row next.
    bool SetSizeForOverwrite(int width, int height, TPixelFormat format);
    bool SetSize(int width, int height) { return SetSize(width, height, format_ == TPixelFormat::pfDevice ? TPixelFormat::pf24bit : format_); }
    // Converts to another format (to 24 or 32 bits from any format; palette formats only by size).
    bool SetPixelFormat(TPixelFormat format);
    void Clear();

    uint8_t* ScanLine(int row) { return data_.data() + stride_ * row; }
    const uint8_t* ScanLine(int row) const { return data_.data() + stride_ * row; }
    uint8_t* Bits() { return data_.data(); }
    const uint8_t* Bits() const { return data_.data(); }
    int64_t ByteSize() const { return static_cast<int64_t>(data_.size()); }

    std::vector<TRGBQuad>& Palette() { return palette_; }
    const std::vector<TRGBQuad>& Palette() const { return palette_; }

    // The colour of pixel (x, y) as 0x00BBGGRR; palette formats look the index up.
    TColor Pixel(int x, int y) const;
    // Fills the whole bitmap (24 and 32 bits) with one colour.
    void Fill(TColor c);

    // Takes over another bitmap's pixels (24-bit result), e.g. from a decoder. Between groups
    // of rows goOn, if given, may end it: false from it leaves this bitmap as it was.
    bool AssignConverted(const TBitmap& source, const std::function<bool()>& goOn = nullptr);

    // The TPageBMP-style Assign copies everything; derived classes extend it.
    void AssignBitmap(const TBitmap& source) { *this = source; }

private:
    int width_ = 0;
    int height_ = 0;
    TPixelFormat format_ = TPixelFormat::pfDevice;
    int64_t stride_ = 0;
    bool Resize(int width, int height, TPixelFormat format, bool zero);

    TPixelStore data_;
    std::vector<TRGBQuad> palette_;
};

}  // namespace vellicor

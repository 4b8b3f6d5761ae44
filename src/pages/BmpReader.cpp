#include "pages/BmpReader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

enum : uint32_t { kBiRgb = 0, kBiRle8 = 1, kBiRle4 = 2, kBiBitfields = 3 };
// Above this many pixels a run-length page must write at least a sixteenth of them.
constexpr int64_t kSparseRlePixels = int64_t(1) << 25;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct BmpInfo {
    uint32_t headerSize = 0;
    int width = 0;
    int height = 0;
    bool topDown = false;
    int bpp = 0;
    uint32_t compression = kBiRgb;
    uint32_t sizeImage = 0;
    uint32_t colorsUsed = 0;
    uint32_t masks[3] = {0, 0, 0};  // red, green, blue
    int paletteEntrySize = 4;
};

// One colour channel of a bit-field pixel, scaled to 0..255.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    uint64_t max = 0;  // largest value of the field; 0 = no field

    bool Set(uint32_t m) {
        mask = m;
        if (m == 0) return true;
        shift = std::countr_zero(m);
        uint64_t field = static_cast<uint64_t>(m) >> shift;
        if ((field & (field + 1)) != 0) return false;  // not contiguous
        max = field;
        return true;
    }
    uint8_t operator()(uint32_t v) const {
        if (max == 0) return 0;
        uint64_t f = (v & mask) >> shift;
        return static_cast<uint8_t>((f * 255 + max / 2) / max);
    }
};

class Reader {
public:
    Reader(TStream& s, TBitmap& out, std::string* error) : s_(s), out_(out), error_(error) {}

    bool Run() {
        base_ = s_.Position();
        int64_t size = s_.Size();
        if (base_ < 0 || size < base_) return Fail("unreadable stream");
        total_ = size - base_;
        uint8_t fh[14];
        if (!ReadAt(0, fh, sizeof fh)) return Fail("file header missing");
        if (fh[0] != 'B' || fh[1] != 'M') return Fail("not a bitmap file");
        uint32_t offBits = Le32(fh + 10);
        if (!ReadInfo()) return false;

        int64_t paletteStart = 14 + static_cast<int64_t>(info_.headerSize);
        if (info_.headerSize == 40 && info_.compression == kBiBitfields) paletteStart += 12;
        if (paletteStart > total_) return Fail("header truncated");

        // Palette entries the header asks for; for more than 8 bits only an optimisation
        // table that is skipped.
        int64_t fileEntries = info_.colorsUsed;
        if (info_.bpp <= 8) {
            int64_t full = int64_t(1) << info_.bpp;
            if (info_.headerSize == 12 || fileEntries == 0) fileEntries = full;
        }
        int64_t dataOffset;
        if (offBits != 0) {
            dataOffset = offBits;
            if (dataOffset < paletteStart || dataOffset > total_) return Fail("pixel data offset out of range");
        } else {
            if (fileEntries > (total_ - paletteStart) / info_.paletteEntrySize) return Fail("palette truncated");
            dataOffset = paletteStart + fileEntries * info_.paletteEntrySize;
        }
        if (info_.bpp <= 8 && !ReadPalette(paletteStart, dataOffset, fileEntries)) return false;

        int64_t available = total_ - dataOffset;
        bool rle = info_.compression == kBiRle4 || info_.compression == kBiRle8;
        std::vector<uint8_t> rleData;
        if (rle) {
            int64_t length = info_.sizeImage ? info_.sizeImage : available;
            if (length > available) return Fail("pixel data truncated");
            if (!Allocate(rleData, length) || !ReadAt(dataOffset, rleData.data(), length))
                return Fail("pixel data unreadable");
            // A few bytes that skip or end early cannot honestly fill a huge page: refuse it
            // rather than spend a gigabyte on palette entry 0.
            const int64_t pixels = static_cast<int64_t>(info_.width) * info_.height;
            if (pixels > kSparseRlePixels && RlePixels(rleData) < pixels / 16)
                return Fail("run-length data covers too little of a large page");
        } else {
            int64_t rowBits = static_cast<int64_t>(info_.width) * info_.bpp;
            srcStride_ = ((rowBits + 31) / 32) * 4;
            // The last row's padding may be missing.
            int64_t needed = srcStride_ * (info_.height - 1) + (rowBits + 7) / 8;
            if (needed > available) return Fail("pixel data truncated");
        }

        // Every row is written below (rows the run-length data skips get palette entry 0):
        // the page is not cleared first.
        if (!out_.SetSizeForOverwrite(info_.width, info_.height, TPixelFormat::pf24bit)) return Fail("bitmap too large");
        bool ok = rle ? DecodeRle(rleData) : DecodeRows(dataOffset);
        if (!ok) out_.Clear();
        return ok;
    }

private:
    bool Fail(const char* why) {
        VTRACE_STR("ReadBmp Error", why);
        if (error_) *error_ = why;
        out_.Clear();
        return false;
    }

    bool ReadAt(int64_t offset, void* buffer, int64_t count) {
        if (offset < 0 || count < 0 || offset > total_ || count > total_ - offset) return false;
        if (s_.Seek(base_ + offset, SeekOrigin::Begin) != base_ + offset) return false;
        return s_.ReadBuffer(buffer, count);
    }

    static bool Allocate(std::vector<uint8_t>& v, int64_t size) {
        try {
            v.resize(static_cast<size_t>(size));
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    bool ReadInfo() {
        uint8_t h[124] = {};
        if (!ReadAt(14, h, 4)) return Fail("bitmap header missing");
        uint32_t hs = Le32(h);
        if (hs != 12 && hs != 40 && hs != 52 && hs != 56 && hs != 108 && hs != 124)
            return Fail("unsupported bitmap header");
        if (!ReadAt(14, h, hs)) return Fail("bitmap header truncated");
        info_.headerSize = hs;
        if (hs == 12) {
            // OS/2 core header: unsigned 16-bit sizes, always bottom-up, 3-byte palette entries.
            info_.width = Le16(h + 4);
            info_.height = Le16(h + 6);
            info_.bpp = Le16(h + 10);
            info_.paletteEntrySize = 3;
            if (info_.bpp != 1 && info_.bpp != 4 && info_.bpp != 8 && info_.bpp != 24)
                return Fail("unsupported bit count");
        } else {
            auto w = static_cast<int32_t>(Le32(h + 4));
            auto ht = static_cast<int32_t>(Le32(h + 8));
            if (ht == std::numeric_limits<int32_t>::min()) return Fail("bad height");
            info_.width = w;
            info_.topDown = ht < 0;
            info_.height = ht < 0 ? -ht : ht;
            info_.bpp = Le16(h + 14);
            info_.compression = Le32(h + 16);
            info_.sizeImage = Le32(h + 20);
            info_.colorsUsed = Le32(h + 32);
            if (info_.compression == kBiBitfields) {
                if (hs >= 52) {
                    for (int i = 0; i < 3; ++i) info_.masks[i] = Le32(h + 40 + 4 * i);
                } else {
                    uint8_t m[12];
                    if (!ReadAt(14 + 40, m, sizeof m)) return Fail("bit fields truncated");
                    for (int i = 0; i < 3; ++i) info_.masks[i] = Le32(m + 4 * i);
                }
            }
            switch (info_.bpp) {
                case 1: case 4: case 8: case 16: case 24: case 32: break;
                default: return Fail("unsupported bit count");
            }
            switch (info_.compression) {
                case kBiRgb: break;
                case kBiRle8: if (info_.bpp != 8) return Fail("RLE8 needs 8 bits"); break;
                case kBiRle4: if (info_.bpp != 4) return Fail("RLE4 needs 4 bits"); break;
                case kBiBitfields: if (info_.bpp != 16 && info_.bpp != 32) return Fail("bit fields need 16 or 32 bits"); break;
                default: return Fail("unsupported compression");
            }
            if (info_.topDown && info_.compression != kBiRgb && info_.compression != kBiBitfields)
                return Fail("compressed bitmaps cannot be top-down");
        }
        if (info_.width <= 0 || info_.height <= 0) return Fail("empty or negative size");
        if (static_cast<int64_t>(info_.width) * info_.height > kMaxBitmapPixels) return Fail("bitmap too large");
        return true;
    }

    bool ReadPalette(int64_t start, int64_t end, int64_t wanted) {
        int64_t entries = std::min<int64_t>({wanted, int64_t(1) << info_.bpp, (end - start) / info_.paletteEntrySize});
        uint8_t raw[256 * 4];
        if (entries > 0 && !ReadAt(start, raw, entries * info_.paletteEntrySize)) return Fail("palette unreadable");
        for (int64_t i = 0; i < entries; ++i) {
            const uint8_t* p = raw + i * info_.paletteEntrySize;
            palette_[static_cast<size_t>(i)] = {p[0], p[1], p[2]};  // blue, green, red
        }
        return true;
    }

    bool SetupMasks() {
        uint32_t m[3];
        if (info_.compression == kBiBitfields) {
            std::copy(std::begin(info_.masks), std::end(info_.masks), m);
        } else if (info_.bpp == 16) {
            m[0] = 0x7C00; m[1] = 0x03E0; m[2] = 0x001F;
        } else {
            m[0] = 0xFF0000; m[1] = 0x00FF00; m[2] = 0x0000FF;
        }
        if (info_.bpp == 16 && ((m[0] | m[1] | m[2]) > 0xFFFF)) return Fail("bit fields wider than the pixel");
        if ((m[0] & m[1]) || (m[0] & m[2]) || (m[1] & m[2])) return Fail("bit fields overlap");
        for (int i = 0; i < 3; ++i)
            if (!channels_[i].Set(m[i])) return Fail("bit fields not contiguous");
        plain32_ = info_.bpp == 32 && m[0] == 0xFF0000 && m[1] == 0xFF00 && m[2] == 0xFF;
        return true;
    }

    // Between blocks of a large page the window's messages get through; a handler must not
    // touch the page, and the program's end stops the decode.
    bool LetMessagesThrough() {
        ProcessMessages();
        if (out_.Width() != info_.width || out_.Height() != info_.height || StopRequested()) return Fail("decoding stopped");
        return true;
    }

    uint8_t* DestRow(int64_t fileRow) {
        return out_.ScanLine(static_cast<int>(info_.topDown ? fileRow : info_.height - 1 - fileRow));
    }

    void PutIndex(uint8_t* d, unsigned index) const {
        const auto& c = palette_[index];
        d[0] = c[0];
        d[1] = c[1];
        d[2] = c[2];
    }

    void ConvertRow(const uint8_t* src, uint8_t* d) {
        const int w = info_.width;
        switch (info_.bpp) {
            case 1:
                for (int x = 0; x < w; ++x, d += 3) PutIndex(d, (src[x >> 3] >> (7 - (x & 7))) & 1);
                break;
            case 4:
                for (int x = 0; x < w; ++x, d += 3) PutIndex(d, (x & 1) ? (src[x >> 1] & 15) : (src[x >> 1] >> 4));
                break;
            case 8:
                for (int x = 0; x < w; ++x, d += 3) PutIndex(d, src[x]);
                break;
            case 16:
                for (int x = 0; x < w; ++x, d += 3) std::memcpy(d, lut16_[Le16(src + 2 * x)].data(), 3);
                break;
            case 24:
                std::memcpy(d, src, static_cast<size_t>(w) * 3);
                break;
            default:
                if (plain32_) {
                    for (int x = 0; x < w; ++x, d += 3, src += 4) {
                        d[0] = src[0];
                        d[1] = src[1];
                        d[2] = src[2];
                    }
                } else {
                    for (int x = 0; x < w; ++x, d += 3, src += 4) {
                        uint32_t v = Le32(src);
                        d[0] = channels_[2](v);
                        d[1] = channels_[1](v);
                        d[2] = channels_[0](v);
                    }
                }
                break;
        }
    }

    bool DecodeRows(int64_t dataOffset) {
        if (info_.bpp == 16 || info_.bpp == 32) {
            if (!SetupMasks()) return false;
            if (info_.bpp == 16) {
                try {
                    lut16_.resize(65536);
                } catch (const std::bad_alloc&) {
                    return Fail("out of memory");
                }
                for (uint32_t v = 0; v < 65536; ++v) lut16_[v] = {channels_[2](v), channels_[1](v), channels_[0](v)};
            }
        }
        // Rows are read in blocks of about a megabyte.
        const int64_t rowsPerBlock = std::max<int64_t>(1, (int64_t(1) << 20) / srcStride_);
        std::vector<uint8_t> block;
        if (!Allocate(block, std::min<int64_t>(rowsPerBlock, info_.height) * srcStride_)) return Fail("out of memory");
        const int64_t rowBytes = (static_cast<int64_t>(info_.width) * info_.bpp + 7) / 8;
        for (int64_t row = 0; row < info_.height; row += rowsPerBlock) {
            int64_t rows = std::min<int64_t>(rowsPerBlock, info_.height - row);
            int64_t offset = dataOffset + row * srcStride_;
            int64_t count = std::min<int64_t>(rows * srcStride_, total_ - offset);
            if (count < (rows - 1) * srcStride_ + rowBytes || !ReadAt(offset, block.data(), count))
                return Fail("pixel data unreadable");
            for (int64_t i = 0; i < rows; ++i) ConvertRow(block.data() + i * srcStride_, DestRow(row + i));
            if (!LetMessagesThrough()) return false;
        }
        return true;
    }

    // How many pixels the run-length data writes inside the page, as the decode below walks
    // it: clipped to the rows' width, and nothing once the rows run past the top; skipped
    // and ended parts are not counted.
    int64_t RlePixels(const std::vector<uint8_t>& data) const {
        const bool four = info_.compression == kBiRle4;
        const int64_t w = info_.width;
        const int64_t h = info_.height;
        const size_t n = data.size();
        int64_t x = 0, y = 0, written = 0;
        auto run = [&](int64_t count) {
            written += std::max<int64_t>(0, std::min(count, w - x));
            x += count;
        };
        size_t i = 0;
        while (i + 1 < n && y < h) {
            unsigned count = data[i], value = data[i + 1];
            i += 2;
            if (count > 0) {
                run(count);
            } else if (value == 0) {
                x = 0;
                ++y;
            } else if (value == 1) {
                break;
            } else if (value == 2) {
                if (i + 1 >= n) break;
                x += data[i];
                y += data[i + 1];
                i += 2;
            } else {
                size_t bytes = four ? (value + 1) / 2 : value;
                run(static_cast<int64_t>(std::min<size_t>(value, four ? (n - i) * 2 : n - i)));
                i += bytes + (bytes & 1);
            }
        }
        return written;
    }

    // Run-length data, rows from the bottom. Pixels the data skips keep palette entry 0;
    // runs past the row's end are clipped; the data may end without an end-of-bitmap.
    bool DecodeRle(const std::vector<uint8_t>& data) {
        const bool four = info_.compression == kBiRle4;
        const int w = info_.width;
        const int h = info_.height;
        // Pixels start as palette entry 0 (black when it is), padding as zeros.
        const auto& first = palette_[0];
        const bool grey = first[0] == first[1] && first[1] == first[2];
        const int64_t rowsPerBlock = std::max<int64_t>(1, (int64_t(1) << 20) / out_.Stride());
        for (int y = 0; y < h; ++y) {
            uint8_t* d = out_.ScanLine(y);
            if (grey) {
                std::memset(d, first[0], static_cast<size_t>(w) * 3);
            } else {
                for (int x = 0; x < w; ++x, d += 3) PutIndex(d, 0);
            }
            if ((y + 1) % rowsPerBlock == 0 && !LetMessagesThrough()) return false;
        }
        const size_t n = data.size();
        int64_t x = 0;
        int64_t y = 0;
        auto put = [&](unsigned index) {
            if (x < w) PutIndex(DestRow(y) + x * 3, index);
            ++x;
        };
        size_t i = 0;
        while (i + 1 < n && y < h) {
            unsigned count = data[i];
            unsigned value = data[i + 1];
            i += 2;
            if (count > 0) {
                for (unsigned k = 0; k < count; ++k) put(four ? ((k & 1) ? (value & 15) : (value >> 4)) : value);
                continue;
            }
            if (value == 0) {  // end of line
                x = 0;
                ++y;
                if (y % rowsPerBlock == 0 && !LetMessagesThrough()) return false;
            } else if (value == 1) {  // end of bitmap
                break;
            } else if (value == 2) {  // delta
                if (i + 1 >= n) break;
                x += data[i];
                y += data[i + 1];
                i += 2;
            } else {  // absolute run, padded to a 16-bit boundary
                size_t bytes = four ? (value + 1) / 2 : value;
                size_t have = std::min(bytes, n - i);
                for (unsigned k = 0; k < value; ++k) {
                    size_t at = four ? k / 2 : k;
                    if (at >= have) break;
                    put(four ? ((k & 1) ? (data[i + at] & 15) : (data[i + at] >> 4)) : data[i + at]);
                }
                i += bytes + (bytes & 1);
            }
        }
        return true;
    }

    TStream& s_;
    TBitmap& out_;
    std::string* error_;
    int64_t base_ = 0;
    int64_t total_ = 0;
    int64_t srcStride_ = 0;
    BmpInfo info_;
    std::array<std::array<uint8_t, 3>, 256> palette_{};
    Channel channels_[3];
    bool plain32_ = false;
    std::vector<std::array<uint8_t, 3>> lut16_;
};

}  // namespace

bool ReadBmp(TStream& stream, TBitmap& bitmap, std::string* error) {
    VTRACE("ReadBmp");
    bitmap.Clear();
    Reader reader(stream, bitmap, error);
    return reader.Run();
}

}  // namespace vellicor

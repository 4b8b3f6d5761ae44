// Writing the image data: the header's picture turned back into filtered rows, deflated
// and cut into IDAT chunks of at most MaxIdatSize bytes.
#include <cstring>
#include <memory>
#include <new>

#include <zlib.h>

#include "codecs/png/PngFilters.h"
#include "codecs/png/Pngimage.h"
#include "trace/Trace.h"

namespace vellicor {

using namespace pnglang;

namespace {

const uint8_t kStartRow[7] = {0, 0, 4, 0, 2, 0, 1};
const uint8_t kStartCol[7] = {0, 4, 0, 2, 0, 1, 0};
const uint8_t kRowStep[7] = {8, 8, 8, 4, 4, 2, 2};
const uint8_t kColStep[7] = {8, 8, 4, 4, 2, 2, 1};

bool EncodableColorAndDepth(uint8_t colorType, uint8_t depth) {
    switch (colorType) {
        case COLOR_GRAYSCALE:
        case COLOR_PALETTE: return depth == 1 || depth == 4 || depth == 8 || depth == 16;
        case COLOR_RGB:
        case COLOR_GRAYSCALEALPHA:
        case COLOR_RGBALPHA: return depth == 8 || depth == 16;
        default: return false;
    }
}

// Turns picture pixels of one image row back into PNG samples.
class TRowEncoder {
public:
    TRowEncoder(const TChunkIHDR& h, const std::array<uint8_t, 256>& inverse)
        : h_(h), ig_(inverse.data()), type_(h.IHDRData.ColorType), depth_(h.IHDRData.BitDepth) {}

    // Columns start, start + step, ... below the width, into out.
    void Encode(uint32_t row, uint32_t start, uint32_t step, uint8_t* out, size_t outBytes) const {
        const uint8_t* dib = h_.Scanline(row);
        const uint8_t* alpha = h_.ImageAlpha.empty() ? nullptr : h_.ImageAlpha.data() + size_t(row) * h_.IHDRData.Width;
        const uint32_t width = h_.IHDRData.Width;
        const bool wide = depth_ == 16;
        switch (type_) {
            case COLOR_GRAYSCALE:
            case COLOR_PALETTE:
                if (wide) {
                    for (uint32_t c = start; c < width; c += step) {
                        *out++ = dib[c];
                        *out++ = 0;
                    }
                } else if (step == 1) {
                    std::memcpy(out, dib, outBytes);
                } else {
                    Pack(dib, start, step, out, outBytes);
                }
                break;
            case COLOR_GRAYSCALEALPHA:
                for (uint32_t c = start; c < width; c += step) {
                    *out++ = dib[c];
                    if (wide) *out++ = 0;
                    *out++ = alpha ? alpha[c] : 255;
                    if (wide) *out++ = 0;
                }
                break;
            case COLOR_RGB:
            case COLOR_RGBALPHA:
                for (uint32_t c = start; c < width; c += step) {
                    const uint8_t* p = dib + size_t(c) * 3;
                    for (int k = 2; k >= 0; --k) {
                        *out++ = ig_[p[k]];
                        if (wide) *out++ = 0;
                    }
                    if (type_ == COLOR_RGBALPHA) {
                        *out++ = alpha ? alpha[c] : 255;
                        if (wide) *out++ = 0;
                    }
                }
                break;
            default: break;
        }
    }

private:
    // Samples of depth 1, 4 or 8 packed from each byte's most significant bits down.
    void Pack(const uint8_t* dib, uint32_t start, uint32_t step, uint8_t* out, size_t outBytes) const {
        const unsigned d = depth_;
        const uint32_t width = h_.IHDRData.Width;
        std::memset(out, 0, outBytes);
        uint32_t c = start;
        for (size_t i = 0; i < outBytes && c < width; ++i)
            for (int bit = 8 - int(d); bit >= 0 && c < width; bit -= int(d), c += step) {
                const size_t at = size_t(c) * d;
                const unsigned sample = (dib[at / 8] >> ((8 - d) - at % 8)) & ((1u << d) - 1);
                out[i] |= static_cast<uint8_t>(sample << bit);
            }
    }

    const TChunkIHDR& h_;
    const uint8_t* ig_;
    uint8_t type_, depth_;
};

struct TDeflater {
    z_stream z{};
    bool initialised = false;
    ~TDeflater() {
        if (initialised) deflateEnd(&z);
    }
};

// The filter score: bytes equal to one of the two bytes before them.
uint32_t Score(const uint8_t* b, size_t n) {
    uint32_t s = 0;
    for (size_t i = 2; i < n; ++i) s += (b[i] == b[i - 1] || b[i] == b[i - 2]) ? 1 : 0;
    return s;
}

void FilterRow(TFilter f, const uint8_t* row, const uint8_t* prev, uint8_t* out, size_t n, unsigned bpp) {
    for (size_t i = 0; i < n; ++i) {
        const int a = i >= bpp ? row[i - bpp] : 0, b = prev[i], c = i >= bpp ? prev[i - bpp] : 0;
        int p = 0;
        switch (f) {
            case pfSub: p = a; break;
            case pfUp: p = b; break;
            case pfAverage: p = (a + b) >> 1; break;
            case pfPaeth: p = pngfilters::PaethPredictor(a, b, c); break;
            default: break;
        }
        out[i] = static_cast<uint8_t>(row[i] - p);
    }
}

class TIdatWriter {
public:
    TIdatWriter(TStream& stream, TPNGObject& owner, const TChunkName& name) : stream_(stream), name_(name) {
        size_ = owner.MaxIdatSize == 0 ? 1 : (owner.MaxIdatSize > 0x7FFFFFFFu ? 0x7FFFFFFFu : owner.MaxIdatSize);
        out_.reset(new (std::nothrow) uint8_t[size_]);
        if (!out_) TPNGObject::RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
        int level = owner.CompressionLevel < 0 ? 0 : (owner.CompressionLevel > 9 ? 9 : owner.CompressionLevel);
        if (deflateInit(&d_.z, level) != Z_OK) TPNGObject::RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
        d_.initialised = true;
        Reset();
    }

    void Put(const uint8_t* data, size_t n) {
        d_.z.next_in = const_cast<uint8_t*>(data);
        d_.z.avail_in = static_cast<uInt>(n);
        while (d_.z.avail_in > 0) {
            if (deflate(&d_.z, Z_NO_FLUSH) == Z_STREAM_ERROR) throw std::runtime_error("deflate failed");
            if (d_.z.avail_out == 0) Flush();
        }
    }

    void Finish() {
        for (;;) {
            int rc = deflate(&d_.z, Z_FINISH);
            if (rc == Z_STREAM_ERROR) throw std::runtime_error("deflate failed");
            if (d_.z.avail_out == 0) Flush();
            if (rc == Z_STREAM_END) break;
        }
        if (d_.z.avail_out < size_) Flush();
    }

private:
    void Reset() {
        d_.z.next_out = out_.get();
        d_.z.avail_out = size_;
    }
    void Flush() {
        const uint32_t n = size_ - d_.z.avail_out;
        uint8_t head[8] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
        std::memcpy(head + 4, name_.data(), 4);
        uint32_t crc = PngCrc(PngCrc(0, name_.data(), 4), out_.get(), n);
        uint8_t tail[4] = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
        if (!stream_.WriteBuffer(head, 8) || !stream_.WriteBuffer(out_.get(), n) || !stream_.WriteBuffer(tail, 4))
            throw std::runtime_error("Stream write error");
        Reset();
    }

    TStream& stream_;
    TChunkName name_;
    uint32_t size_ = 0;
    std::unique_ptr<uint8_t[]> out_;
    TDeflater d_;
};

}  // namespace

bool TChunkIDAT::SaveToStream(TStream& stream) {
    VTRACE("TChunkIDAT::SaveToStream");
    TPNGObject& owner = *Owner();
    if (!owner.HeaderPresent()) throw std::runtime_error("Invalid class typecast");
    const TChunkIHDR& h = owner.GetHeader();
    const TIHDRData& hd = h.IHDRData;
    if (h.DIBBitsPerPixel == 0 || !EncodableColorAndDepth(hd.ColorType, hd.BitDepth) ||
        h.ImageData.size() < size_t(h.BytesPerRow) * hd.Height)
        TPNGObject::RaiseError<EPngInvalidIHDR>(EPNGInvalidIHDRText);
    uint32_t rowBytes = 0, offset = 0;
    owner.GetPixelInfo(rowBytes, offset);
    if (offset == 0) offset = 1;

    // Current row, filter-0 row (the previous row while filtering), one per chosen filter.
    const size_t each = size_t(rowBytes) + 1;
    std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[each * 7]);
    if (!storage) TPNGObject::RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
    std::memset(storage.get(), 0, each * 7);
    uint8_t* current = storage.get();
    uint8_t* zero = current + each;
    uint8_t* filtered[5] = {zero, nullptr, nullptr, nullptr, nullptr};
    TFilters filters = owner.Filters & 0x1F;
    for (int f = pfSub; f <= pfPaeth; ++f)
        if (filters & FilterSet(TFilter(f))) filtered[f] = current + each * size_t(f + 1);

    TIdatWriter writer(stream, owner, ChunkName);
    TRowEncoder encoder(h, owner.InverseGamma);
    auto writeRow = [&](size_t n) {
        for (int f = pfSub; f <= pfPaeth; ++f)
            if (filtered[f]) FilterRow(TFilter(f), current, zero, filtered[f], n, offset);
        std::memcpy(zero, current, n);
        int chosen = pfNone;
        if (filters == FilterSet(pfSub) || filters == FilterSet(pfUp) || filters == FilterSet(pfAverage) ||
            filters == FilterSet(pfPaeth)) {
            for (int f = pfSub; f <= pfPaeth; ++f)
                if (filters == FilterSet(TFilter(f))) chosen = f;
        } else if (filters != 0 && filters != FilterSet(pfNone)) {
            uint32_t best = 0;
            for (int f = pfNone; f <= pfPaeth; ++f) {
                if (!(filters & FilterSet(TFilter(f)))) continue;
                uint32_t s = Score(filtered[f], n);
                if (s > best) {
                    best = s;
                    chosen = f;
                }
            }
        }
        const uint8_t filterByte = static_cast<uint8_t>(chosen);
        writer.Put(&filterByte, 1);
        writer.Put(filtered[chosen], n);
    };

    if (owner.InterlaceMethod == imNone) {
        for (uint32_t r = 0; r < hd.Height; ++r) {
            encoder.Encode(r, 0, 1, current, rowBytes);
            writeRow(rowBytes);
        }
    } else {
        for (int pass = 0; pass < 7; ++pass) {
            if (kStartCol[pass] >= hd.Width) continue;
            const uint32_t pixels = (hd.Width - kStartCol[pass] + kColStep[pass] - 1) / kColStep[pass];
            const size_t n = PngRowBytes(hd.ColorType, hd.BitDepth, pixels);
            std::memset(zero, 0, n);
            if (n == 0) continue;
            for (uint32_t r = kStartRow[pass]; r < hd.Height; r += kRowStep[pass]) {
                encoder.Encode(r, kStartCol[pass], kColStep[pass], current, n);
                writeRow(n);
            }
        }
    }
    writer.Finish();
    return true;
}

}  // namespace vellicor

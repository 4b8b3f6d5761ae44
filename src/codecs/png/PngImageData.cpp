// Reading the image data: one deflate stream over every consecutive IDAT chunk, inflated
// a row at a time straight into the row buffer, unfiltered and converted into the header's
// picture at once.
#include <cstring>
#include <new>

#include <zlib.h>

#include "codecs/png/PngFilters.h"
#include "codecs/png/PngPixels.h"
#include "codecs/png/Pngimage.h"
#include "trace/Trace.h"

namespace vellicor {

using namespace pnglang;

namespace {

constexpr uint32_t kReadBufferSize = 65535;

uint32_t GetBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

const char* ZlibErrorDescription(int code) {
    switch (code) {
        case Z_ERRNO: return "file error (-1)";
        case Z_STREAM_ERROR: return "stream error (-2)";
        case Z_DATA_ERROR: return "data error (-3)";
        case Z_MEM_ERROR: return "insufficient memory (-4)";
        case Z_BUF_ERROR: return "buffer error (-5)";
        case Z_VERSION_ERROR: return "incompatible version (-6)";
        case Z_NEED_DICT: return "need dictionary (2)";
        default: return "unknown error";
    }
}

[[noreturn]] void RaiseZlib(int code) {
    TPNGObject::RaiseError<EPNGZLIBError>(std::string(EPNGZLIBErrorText) + ZlibErrorDescription(code));
}

// The inflate side of a run of IDAT chunks. Every chunk's CRC is checked when its data is
// used up; running out of stream ends the reading quietly (CutShort).
class TIdatReader {
public:
    TIdatReader(TStream& stream, const TChunkName& name, uint32_t size) : stream_(stream) {
        buffer_.reset(new (std::nothrow) uint8_t[kReadBufferSize]);
        if (!buffer_) TPNGObject::RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
        int rc = inflateInit(&z_);
        if (rc != Z_OK) RaiseZlib(rc);
        initialised_ = true;
        crc_ = PngCrc(0, name.data(), 4);
        pos_ = stream.Position();
        endPos_ = pos_ + size;
    }
    ~TIdatReader() {
        if (initialised_) inflateEnd(&z_);
    }
    TIdatReader(const TIdatReader&) = delete;
    TIdatReader& operator=(const TIdatReader&) = delete;

    bool CutShort() const { return cutShort_; }

    // Inflates up to n bytes into out; fewer when the data or the stream ends.
    size_t Read(uint8_t* out, size_t n) {
        z_.next_out = out;
        z_.avail_out = static_cast<uInt>(n);
        while (z_.avail_out > 0 && !ended_ && !cutShort_) {
            if (z_.avail_in == 0 && !Refill()) break;
            int rc = inflate(&z_, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) ended_ = true;  // inflate would go on reporting it without progress
            else if (rc != Z_OK) RaiseZlib(rc);
        }
        return n - z_.avail_out;
    }

    // Reads the rest of the run (data the rows did not need, such as the checksum alone in
    // a last chunk) and checks every CRC. False when the stream ends first.
    bool Finish() {
        if (cutShort_) return false;
        for (;;) {
            while (pos_ < endPos_) {
                int64_t got = stream_.Read(buffer_.get(), std::min<int64_t>(kReadBufferSize, endPos_ - pos_));
                if (got <= 0) return false;
                crc_ = PngCrc(crc_, buffer_.get(), size_t(got));
                pos_ += got;
            }
            if (!CheckCrc()) return false;
            // The next chunk belongs to the run when it is image data too; otherwise it is
            // left for the chunk loop.
            uint8_t head[8];
            const int64_t got = stream_.Read(head, 8);
            if (got != 8 || std::memcmp(head + 4, "IDAT", 4) != 0) {
                if (got > 0) stream_.Seek(-got, SeekOrigin::Current);
                return true;
            }
            pos_ += 8;
            crc_ = PngCrc(0, head + 4, 4);
            endPos_ = pos_ + GetBE32(head);
        }
    }

private:
    // Compares the CRC that follows the chunk's data; false when it cannot be read.
    bool CheckCrc() {
        uint8_t b[4];
        if (stream_.Read(b, 4) != 4) {
            cutShort_ = true;
            return false;
        }
        pos_ += 4;
        if (GetBE32(b) != crc_) TPNGObject::RaiseError<EPngInvalidCRC>(EPngInvalidCRCText);
        return true;
    }

    bool Refill() {
        // Chunks used up move on to the next one, which must be image data too; empty
        // ones are passed over.
        while (pos_ >= endPos_) {
            if (!CheckCrc()) return false;
            uint8_t head[8];
            if (stream_.Read(head, 8) != 8) {
                cutShort_ = true;
                return false;
            }
            pos_ += 8;
            if (std::memcmp(head + 4, "IDAT", 4) != 0)
                TPNGObject::RaiseError<EPNGMissingMultipleIDAT>(EPNGMissingMultipleIDATText);
            crc_ = PngCrc(0, head + 4, 4);
            endPos_ = pos_ + GetBE32(head);
        }
        int64_t got = stream_.Read(buffer_.get(), std::min<int64_t>(kReadBufferSize, endPos_ - pos_));
        if (got <= 0) {
            cutShort_ = true;
            return false;
        }
        crc_ = PngCrc(crc_, buffer_.get(), size_t(got));
        pos_ += got;
        z_.next_in = buffer_.get();
        z_.avail_in = static_cast<uInt>(got);
        return true;
    }

    TStream& stream_;
    z_stream z_{};
    bool initialised_ = false;
    std::unique_ptr<uint8_t[]> buffer_;
    uint32_t crc_ = 0;
    int64_t pos_ = 0;
    int64_t endPos_ = 0;
    bool ended_ = false;
    bool cutShort_ = false;
};

// Two row buffers with zero padding before and spare room after each row.
class TRowBuffers {
public:
    explicit TRowBuffers(size_t rowBytes) {
        const size_t each = rowBytes + 2 * pngfilters::kRowPadding;
        storage_.reset(new (std::nothrow) uint8_t[2 * each]);
        if (!storage_) TPNGObject::RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
        std::memset(storage_.get(), 0, 2 * each);
        rows_[0] = storage_.get() + pngfilters::kRowPadding;
        rows_[1] = rows_[0] + each;
    }
    uint8_t* Current() { return rows_[used_]; }
    uint8_t* Previous() { return rows_[used_ ^ 1]; }
    void Flip() { used_ ^= 1; }
    void ZeroPrevious(size_t n) { std::memset(Previous(), 0, n); }

private:
    std::unique_ptr<uint8_t[]> storage_;
    uint8_t* rows_[2] = {nullptr, nullptr};
    unsigned used_ = 0;
};

// Reads and unfilters one row of n bytes into the current buffer; false when the data ended.
bool ReadRow(TIdatReader& reader, TRowBuffers& rows, size_t n, unsigned bpp) {
    uint8_t* row = rows.Current();
    // The filter byte lands just before the row and is cleared again, so that the row's
    // left neighbours stay 0.
    if (reader.Read(row - 1, n + 1) != n + 1) return false;
    const uint8_t filter = row[-1];
    row[-1] = 0;
    pngfilters::Unfilter(filter, row, rows.Previous(), n, bpp);
    return true;
}

const uint8_t kStartRow[7] = {0, 0, 4, 0, 2, 0, 1};
const uint8_t kStartCol[7] = {0, 4, 0, 2, 0, 1, 0};
const uint8_t kRowStep[7] = {8, 8, 8, 4, 4, 2, 2};
const uint8_t kColStep[7] = {8, 8, 4, 4, 2, 2, 1};

}  // namespace

bool TChunkIDAT::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    VTRACE("TChunkIDAT::LoadFromStream");
    ChunkName = name;
    TPNGObject* owner = Owner();
    TChunkIHDR& header = GetHeader();
    const TIHDRData& h = header.IHDRData;
    if (header.DIBBitsPerPixel == 0 || header.ImageData.empty())
        TPNGObject::RaiseError<EPngInvalidIHDR>(EPNGInvalidIHDRText);
    if (header.HasPalette && (h.ColorType == COLOR_GRAYSCALE || h.ColorType == COLOR_GRAYSCALEALPHA)) {
        const int entries = 1 << header.DIBBitsPerPixel;
        for (int i = 0; i < entries; ++i) {
            uint8_t g = owner->GammaTable[(i * 255 + (entries - 1) / 2) / (entries - 1)];
            header.Palette[i] = TRGBQuad{g, g, g, 0};
        }
    }
    const uint32_t width = h.Width, height = h.Height;
    uint32_t rowBytes = 0, offset = 0;
    owner->GetPixelInfo(rowBytes, offset);
    if (offset == 0) offset = 1;

    pngpixels::TRowConverter convert(header, owner->GammaTable);
    // Plain pictures were not cleared: each row's padding, and every row not decoded (the
    // data ended, or an error), is cleared here.
    const size_t used = (size_t(width) * header.DIBBitsPerPixel + 7) / 8;
    struct TClearRest {
        TChunkIHDR& header;
        uint32_t done = 0;
        bool active;
        ~TClearRest() {
            if (!active) return;
            const size_t from = size_t(done) * header.BytesPerRow;
            if (from < header.ImageData.size())
                std::memset(header.ImageData.data() + from, 0, header.ImageData.size() - from);
            const size_t alphaFrom = size_t(done) * header.IHDRData.Width;
            if (alphaFrom < header.ImageAlpha.size())
                std::memset(header.ImageAlpha.data() + alphaFrom, 0, header.ImageAlpha.size() - alphaFrom);
        }
    } rest{header, 0, h.InterlaceMethod == 0};
    TIdatReader reader(stream, name, size);
    TRowBuffers rows(rowBytes);

    if (h.InterlaceMethod == 0) {
        for (uint32_t y = 0; y < height; ++y) {
            if (!ReadRow(reader, rows, rowBytes, offset)) break;
            uint8_t* line = header.Scanline(y);
            convert.Convert(rows.Current(), width, line,
                            header.ImageAlpha.empty() ? nullptr : header.ImageAlpha.data() + size_t(y) * width);
            std::memset(line + used, 0, header.BytesPerRow - used);
            rest.done = y + 1;
            rows.Flip();
        }
    } else {
        // One pass row in the picture's own pixel layout before it is spread out.
        std::unique_ptr<uint8_t[]> packed(new (std::nothrow) uint8_t[header.BytesPerRow + 8]);
        std::unique_ptr<uint8_t[]> alpha(new (std::nothrow) uint8_t[width + 8]);
        if (!packed || !alpha) TPNGObject::RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
        bool more = true;
        for (int pass = 0; pass < 7 && more; ++pass) {
            if (kStartCol[pass] >= width) continue;
            const uint32_t pixels = (width - kStartCol[pass] + kColStep[pass] - 1) / kColStep[pass];
            const size_t passBytes = PngRowBytes(h.ColorType, h.BitDepth, pixels);
            rows.ZeroPrevious(passBytes);
            for (uint32_t y = kStartRow[pass]; y < height; y += kRowStep[pass]) {
                if (!ReadRow(reader, rows, passBytes, offset)) {
                    more = false;
                    break;
                }
                convert.Convert(rows.Current(), pixels, packed.get(), alpha.get());
                convert.Spread(packed.get(), alpha.get(), pixels, kStartCol[pass], kColStep[pass], header.Scanline(y),
                               header.ImageAlpha.empty() ? nullptr : header.ImageAlpha.data() + size_t(y) * width);
                rows.Flip();
            }
        }
    }
    ResizeData(0);
    return reader.Finish();
}

}  // namespace vellicor

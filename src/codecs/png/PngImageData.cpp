// Reading the image data: one deflate stream over every consecutive IDAT chunk, inflated
// a row at a time straight into the row buffer, unfiltered and converted into the header's
// picture at once.
#include <cstring>
#include <new>

#include <zlib.h>

#include "codecs/png/PngFilters.h"
#include "codecs/png/PngPixels.h"
#include "codecs/png/Pngimage.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

using namespace pnglang;

namespace {

constexpr uint32_t kReadBufferSize = 65535;
// Rows between two polls of the sink (sink.Poll), which may let the window's messages through.
constexpr uint32_t kRowsBetweenPolls = 16;

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

// Reads every row of the image data, plain or Adam7, handing each unfiltered row to the
// sink: sink.Row(y, row) for plain images, sink.PassRow(y, row, pixels, start column, column
// step) for each row of an interlaced pass, and sink.Poll() every few rows. Stops quietly
// where the data ends.
template <class Sink>
void ReadRows(TIdatReader& reader, const TIHDRData& h, uint32_t rowBytes, unsigned bpp, Sink& sink) {
    TRowBuffers rows(rowBytes);
    uint32_t sincePoll = 0;
    auto poll = [&] {
        if (++sincePoll < kRowsBetweenPolls) return;
        sincePoll = 0;
        sink.Poll();
    };
    if (h.InterlaceMethod == 0) {
        for (uint32_t y = 0; y < h.Height; ++y) {
            poll();
            if (!ReadRow(reader, rows, rowBytes, bpp)) return;
            sink.Row(y, rows.Current());
            rows.Flip();
        }
        return;
    }
    for (int pass = 0; pass < 7; ++pass) {
        if (kStartCol[pass] >= h.Width) continue;
        const uint32_t pixels = (h.Width - kStartCol[pass] + kColStep[pass] - 1) / kColStep[pass];
        const size_t passBytes = PngRowBytes(h.ColorType, h.BitDepth, pixels);
        rows.ZeroPrevious(passBytes);
        for (uint32_t y = kStartRow[pass]; y < h.Height; y += kRowStep[pass]) {
            poll();
            if (!ReadRow(reader, rows, passBytes, bpp)) return;
            sink.PassRow(y, rows.Current(), pixels, kStartCol[pass], kColStep[pass]);
            rows.Flip();
        }
    }
}

// Rows into the header's picture. Plain pictures were not cleared: each row's padding, and
// every row not decoded (the data ended, or an error), is cleared here. A grey or RGB key
// is compared with the file's samples into the tRNS chunk's mask.
class TPictureSink {
public:
    TPictureSink(TChunkIHDR& header, const std::array<uint8_t, 256>& gamma, TChunktRNS* trns)
        : header_(header), convert_(header, gamma), width_(header.IHDRData.Width),
          used_((size_t(width_) * header.DIBBitsPerPixel + 7) / 8), plain_(header.IHDRData.InterlaceMethod == 0) {
        if (trns && pngpixels::ColourKey(header, trns, key_)) {
            maskRowBytes_ = (size_t(width_) + 7) / 8;
            // Pixels no row reaches keep zero samples: they match a key of zeros.
            const bool zeroIsKey = key_[0] == 0 && key_[1] == 0 && key_[2] == 0;
            try {
                trns->KeyMask.assign(maskRowBytes_ * header.IHDRData.Height, zeroIsKey ? 0xFF : 0);
            } catch (const std::bad_alloc&) {
                TPNGObject::RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
            }
            mask_ = trns->KeyMask.data();
        }
        if (!plain_) {
            // One pass row in the picture's own pixel layout before it is spread out.
            packed_.reset(new (std::nothrow) uint8_t[header.BytesPerRow + 8]);
            alpha_.reset(new (std::nothrow) uint8_t[width_ + 8]);
            if (!packed_ || !alpha_) TPNGObject::RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
        }
    }
    ~TPictureSink() {
        if (!plain_) return;
        const size_t from = size_t(done_) * header_.BytesPerRow;
        if (from < header_.ImageData.size())
            std::memset(header_.ImageData.data() + from, 0, header_.ImageData.size() - from);
        const size_t alphaFrom = size_t(done_) * width_;
        if (alphaFrom < header_.ImageAlpha.size())
            std::memset(header_.ImageAlpha.data() + alphaFrom, 0, header_.ImageAlpha.size() - alphaFrom);
    }
    TPictureSink(const TPictureSink&) = delete;
    TPictureSink& operator=(const TPictureSink&) = delete;

    void Row(uint32_t y, const uint8_t* row) {
        uint8_t* line = header_.Scanline(y);
        convert_.Convert(row, width_, line, AlphaRow(y));
        std::memset(line + used_, 0, header_.BytesPerRow - used_);
        if (mask_) pngpixels::MarkKey(header_.IHDRData, key_, row, width_, mask_ + y * maskRowBytes_, 0, 1);
        done_ = y + 1;
    }
    void PassRow(uint32_t y, const uint8_t* row, uint32_t pixels, uint32_t start, uint32_t step) {
        convert_.Convert(row, pixels, packed_.get(), alpha_.get());
        convert_.Spread(packed_.get(), alpha_.get(), pixels, start, step, header_.Scanline(y), AlphaRow(y));
        if (mask_) pngpixels::MarkKey(header_.IHDRData, key_, row, pixels, mask_ + y * maskRowBytes_, start, step);
    }
    void Poll() {}  // a picture, not a page: nothing waits on it

private:
    uint8_t* AlphaRow(uint32_t y) {
        return header_.ImageAlpha.empty() ? nullptr : header_.ImageAlpha.data() + size_t(y) * width_;
    }
    TChunkIHDR& header_;
    pngpixels::TRowConverter convert_;
    uint32_t width_;
    size_t used_;
    bool plain_;
    uint32_t done_ = 0;
    std::unique_ptr<uint8_t[]> packed_, alpha_;
    uint16_t key_[3] = {0, 0, 0};
    uint8_t* mask_ = nullptr;
    size_t maskRowBytes_ = 0;
};

// Rows straight onto a 24-bit page of the image's size, sized without clearing when the
// first row arrives: each row is written once, when its data arrives; rows the data never
// reached get the fill.
class TPageSink {
public:
    TPageSink(TBitmap& page, const TChunkIHDR& header, const std::array<uint8_t, 256>& gamma, const TChunktRNS* trns)
        : page_(page), convert_(header, gamma, trns), width_(header.IHDRData.Width),
          height_(header.IHDRData.Height) {
        if (header.IHDRData.InterlaceMethod != 0) {
            pass_.reset(new (std::nothrow) uint8_t[size_t(width_) * 3 + 8]);
            started_.reset(new (std::nothrow) bool[height_]());
            if (!pass_ || !started_) TPNGObject::RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
        }
    }
    TPageSink(const TPageSink&) = delete;
    TPageSink& operator=(const TPageSink&) = delete;

    void Row(uint32_t y, const uint8_t* row) {
        convert_.Convert(row, width_, Line(y));
        ++reached_;
    }
    void PassRow(uint32_t y, const uint8_t* row, uint32_t pixels, uint32_t start, uint32_t step) {
        uint8_t* line = Line(y);
        // A row is filled when a pass first reaches it: later passes leave gaps until then.
        if (!started_[y]) {
            FillRow(line);
            started_[y] = true;
            ++reached_;
        }
        convert_.Convert(row, pixels, pass_.get());
        const uint8_t* p = pass_.get();
        for (uint8_t* d = line + size_t(start) * 3; pixels > 0; --pixels, p += 3, d += 3 * size_t(step)) {
            d[0] = p[0];
            d[1] = p[1];
            d[2] = p[2];
        }
    }
    // Lets the window's messages through; the program's end, or a handler that touched the
    // page, stops the decode.
    void Poll() {
        ProcessMessages();
        if (StopRequested() || (sized_ && (page_.Width() != int(width_) || page_.Height() != int(height_))))
            TPNGObject::RaiseError<EPngError>("decoding stopped");
    }
    // Fills the rows the data never reached. A page over 64 MiB that got fewer than half its
    // rows cannot be the picture it claims (a few bytes of data for a gigabyte page) and is
    // refused rather than filled.
    void Finish() {
        const uint64_t pageBytes = uint64_t(height_) * RowBytes(int(width_), TPixelFormat::pf24bit);
        if (2 * uint64_t(reached_) < height_ && pageBytes > kLargePageBytes)
            TPNGObject::RaiseError<EPngUnexpectedEnd>(EPNGUnexpectedEndText);
        for (uint32_t y = 0; y < height_; ++y)
            if (started_ ? !started_[y] : y >= reached_) FillRow(Line(y));
    }

private:
    static constexpr uint64_t kLargePageBytes = uint64_t(64) << 20;
    uint8_t* Line(uint32_t y) {
        if (!sized_) {
            if (!page_.SetSizeForOverwrite(int(width_), int(height_), TPixelFormat::pf24bit))
                TPNGObject::RaiseError<EPNGOutMemory>(EPNGOutMemoryText);
            sized_ = true;
        }
        return page_.ScanLine(int(y));
    }
    void FillRow(uint8_t* line) {
        const uint8_t* f = convert_.Fill();
        if (f[0] == f[1] && f[1] == f[2]) {
            std::memset(line, f[0], size_t(width_) * 3);
            return;
        }
        for (uint32_t x = 0; x < width_; ++x, line += 3) std::memcpy(line, f, 3);
    }
    TBitmap& page_;
    pngpixels::TPageRowConverter convert_;
    uint32_t width_, height_;
    uint32_t reached_ = 0;
    bool sized_ = false;
    std::unique_ptr<uint8_t[]> pass_;
    std::unique_ptr<bool[]> started_;
};

}  // namespace

bool TChunkIDAT::LoadFromStream(TStream& stream, const TChunkName& name, uint32_t size) {
    VTRACE("TChunkIDAT::LoadFromStream");
    ChunkName = name;
    TPNGObject* owner = Owner();
    TChunkIHDR& header = GetHeader();
    const TIHDRData& h = header.IHDRData;
    TBitmap* page = owner->PageTarget();
    if (header.DIBBitsPerPixel == 0 || (!page && header.ImageData.empty()))
        TPNGObject::RaiseError<EPngInvalidIHDR>(EPNGInvalidIHDRText);
    if (header.HasPalette && (h.ColorType == COLOR_GRAYSCALE || h.ColorType == COLOR_GRAYSCALEALPHA)) {
        const int entries = 1 << header.DIBBitsPerPixel;
        for (int i = 0; i < entries; ++i) {
            uint8_t g = owner->GammaTable[(i * 255 + (entries - 1) / 2) / (entries - 1)];
            header.Palette[i] = TRGBQuad{g, g, g, 0};
        }
    }
    uint32_t rowBytes = 0, offset = 0;
    owner->GetPixelInfo(rowBytes, offset);
    if (offset == 0) offset = 1;

    TIdatReader reader(stream, name, size);
    if (page) {
        TPageSink sink(*page, header, owner->GammaTable, owner->Chunks.ItemFromClass<TChunktRNS>());
        ReadRows(reader, h, rowBytes, offset, sink);
        sink.Finish();
    } else {
        TPictureSink sink(header, owner->GammaTable, owner->Chunks.ItemFromClass<TChunktRNS>());
        ReadRows(reader, h, rowBytes, offset, sink);
    }
    ResizeData(0);
    return reader.Finish();
}

}  // namespace vellicor

// A frame's descriptor and pixel data: variable-width LZW over data sub-blocks, with the
// four-pass row order of interlaced frames.
#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "codecs/gif/GIFImage.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

// All pixels of an image together may not pass the page's limit either: a small file of
// many large empty frames must not claim all memory.
constexpr int64_t kMaxImagePixels = kMaxBitmapPixels;
// Blocks this large come zeroed from the system without being touched; smaller ones are
// cheaper to fill only where the data did not reach.
constexpr int64_t kZeroedFromSystem = int64_t(32) << 20;

constexpr int kTableSize = 4096;
// Pixels decoded between two chances for the window's messages (a few milliseconds).
constexpr int64_t kPixelsBetweenPolls = int64_t(1) << 20;

// The program's end stops a large frame between pieces; the frame is dropped with the image.
void LetMessagesThrough() {
    ProcessMessages();
    if (StopRequested()) Error("decoding stopped");
}

class LZWDecoder {
public:
    LZWDecoder(TStream& stream, TGIFSubImage& frame, int initialCodeSize)
        : stream_(stream), frame_(frame), initial_(initialCodeSize) {
        clear_ = 1 << initial_;
        end_ = clear_ + 1;
        codeSize_ = initial_ + 1;
        limit_ = 2 * clear_;
        next_ = clear_ + 2;
        for (int i = 0; i < clear_; ++i) suffix_[i] = uint16_t(i);
    }

    // Fills up to count pixels; returns how many before the data ended.
    int64_t Fill(uint8_t* dst, int64_t count) {
        int64_t done = 0;
        while (done < count) {
            if (sp_ == 0 && Produce() < 0) break;
            const int64_t k = std::min<int64_t>(sp_, count - done);
            const uint8_t* top = stack_ + sp_;
            uint8_t* d = dst + done;
            for (int64_t i = 0; i < k; ++i) d[i] = *--top;
            done += k;
            sp_ -= int(k);
        }
        return done;
    }

    // One more value, read and dropped: normally the end code, which skips what is left.
    void DiscardOne() {
        if (sp_ > 0) --sp_;
        else if (Produce() >= 0) --sp_;
    }

    // Skips whatever sub-blocks remain, to the block terminator.
    void SkipToTerminator() {
        if (endSeen_) return;
        uint8_t count = 0;
        while (ReadByte(stream_, count) && count != 0)
            if (stream_.Seek(count, SeekOrigin::Current) < 0) break;
        endSeen_ = true;
    }

private:
    // Reads one code of the current width; -1 when the data has run out.
    int ReadCode() {
        const int n = codeSize_;
        if (bitCount_ < n && blockLen_ - blockPos_ >= 8 && !firstCall_) {
            // Whole bytes of the sub-block, eight at a time.
            uint64_t v;
            std::memcpy(&v, block_ + blockPos_, 8);
            if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
            const int take = (64 - bitCount_) >> 3;
            const int bits = bitCount_ + take * 8;
            bits_ |= v << bitCount_;
            if (bits < 64) bits_ &= (uint64_t(1) << bits) - 1;
            blockPos_ += take;
            bitCount_ = bits;
        }
        if (bitCount_ < n || firstCall_) return ReadCodeSlow();
        const int code = int(bits_ & ((1u << n) - 1));
        bits_ >>= n;
        bitCount_ -= n;
        return code;
    }

    // The first call, and codes that need the next bytes or sub-blocks.
    [[gnu::noinline]] int ReadCodeSlow() {
        if (firstCall_) {
            firstCall_ = false;
            return clear_;
        }
        const int n = codeSize_;
        while (bitCount_ < n) {
            if (blockPos_ < blockLen_) {
                do {
                    bits_ |= uint64_t(block_[blockPos_++]) << bitCount_;
                    bitCount_ += 8;
                } while (bitCount_ <= 56 && blockPos_ < blockLen_);
                continue;
            }
            if (dataDone_) {
                if (bitCount_ == 0) frame_.Warning(gsWarning, sDecodeTooFewBits);
                return -1;
            }
            uint8_t count = 0;
            if (!ReadByte(stream_, count)) return -1;
            if (count == 0) {
                endSeen_ = dataDone_ = true;
                continue;
            }
            const int64_t got = stream_.Read(block_, count);
            if (got < count) frame_.Warning(gsWarning, sOutOfData);
            blockLen_ = int(std::max<int64_t>(got, 0));
            blockPos_ = 0;
        }
        const int code = int(bits_ & ((1u << n) - 1));
        bits_ >>= n;
        bitCount_ -= n;
        return code;
    }

    // Only the entries added since the last reset are cleared (those above are still 0), so
    // a stream of clear codes costs in proportion to its length.
    void ResetTable() {
        for (int i = clear_; i < next_; ++i) prefix_[i] = 0, suffix_[i] = 0;
        codeSize_ = initial_ + 1;
        limit_ = 2 * clear_;
        next_ = clear_ + 2;
        sp_ = 0;
    }

    // Decodes one code onto the stack (last pixel first); a negative result ends the data.
    int Produce() {
        int code = ReadCode();
        if (code < 0) return code;
        if (code == clear_) {
            ResetTable();
            do {
                code = ReadCode();
            } while (code == clear_);
            firstCode_ = oldCode_ = code;
            if (code < 0) return code;
            // A first code at or above the clear code (the end code too) is taken as a pixel.
            stack_[sp_++] = uint8_t(code);
            return 0;
        }
        if (code == end_) {
            SkipToTerminator();
            return -2;
        }
        const int incoming = code;
        if (code >= next_) {
            stack_[sp_++] = uint8_t(firstCode_);
            code = oldCode_;
        }
        // Every chain is shorter than the table; a longer one goes round in a circle.
        int chain = 0;
        while (code >= clear_) {
            stack_[sp_++] = uint8_t(suffix_[code]);
            const int prefix = prefix_[code];
            if (prefix == code || ++chain >= kTableSize) Error(sDecodeCircular);
            code = prefix;
        }
        firstCode_ = suffix_[code];
        stack_[sp_++] = uint8_t(firstCode_);
        if (next_ < kTableSize) {
            prefix_[next_] = uint16_t(oldCode_);
            suffix_[next_] = uint16_t(firstCode_);
            ++next_;
            if (next_ >= limit_ && limit_ < kTableSize) {
                limit_ *= 2;
                ++codeSize_;
            }
        }
        oldCode_ = incoming;
        return 0;
    }

    TStream& stream_;
    TGIFSubImage& frame_;
    int initial_;
    int clear_, end_, codeSize_, limit_, next_;
    int firstCode_ = 0, oldCode_ = 0;
    bool firstCall_ = true, endSeen_ = false, dataDone_ = false;
    uint64_t bits_ = 0;
    int bitCount_ = 0;
    uint8_t block_[256] = {};
    int blockPos_ = 0, blockLen_ = 0;
    int sp_ = 0;
    uint16_t prefix_[kTableSize] = {};
    uint16_t suffix_[kTableSize] = {};
    uint8_t stack_[2 * kTableSize + 8];
};

}  // namespace

void TGIFSubImage::Decompress(TStream& stream) {
    VTRACE("TGIFSubImage::Decompress");
    // Pixels the data does not reach keep the fill value; they are filled once decoding
    // stops, so a whole frame is not written twice.
    const uint8_t fill = (FTransparent && FGCE) ? FGCE->GetTransparentColorIndex() : 0;
    const bool zeroed = fill == 0 && int64_t(Width()) * Height() >= kZeroedFromSystem;
    AllocateImage(zeroed);
    FDecodedPixels = 0;
    uint8_t initial = 0;
    if (!ReadByte(stream, initial) || initial >= 12) {
        if (FData && !zeroed) std::memset(FData.get(), fill, size_t(FDataSize));
        // Codes are at most 12 bits wide: the clear code must lie inside the table.
        if (initial >= 12) Error(sInvalidData);
        return;
    }
    auto decoder = std::make_unique<LZWDecoder>(stream, *this, initial);
    const int width = Width(), height = Height();
    if (FData) {
        if (!GetInterlaced()) {
            int64_t done = 0;
            while (done < FDataSize) {
                const int64_t piece = std::min(kPixelsBetweenPolls, FDataSize - done);
                const int64_t got = decoder->Fill(FData.get() + done, piece);
                done += got;
                if (got < piece) break;
                if (done < FDataSize) LetMessagesThrough();
            }
            FDecodedPixels = done;
            if (!zeroed) std::memset(FData.get() + done, fill, size_t(FDataSize - done));
        } else {
            static constexpr int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
            std::vector<bool> rowDone(size_t(height), false);
            int pass = 0, row = 0;
            int64_t sincePoll = 0;
            for (int filled = 0; filled < height; ++filled) {
                if (sincePoll >= kPixelsBetweenPolls) {
                    LetMessagesThrough();
                    sincePoll = 0;
                }
                uint8_t* line = FData.get() + int64_t(row) * width;
                const int64_t done = decoder->Fill(line, width);
                FDecodedPixels += done;
                sincePoll += done;
                if (done < width) {
                    if (!zeroed) std::memset(line + done, fill, size_t(width - done));
                    rowDone[size_t(row)] = true;
                    break;
                }
                rowDone[size_t(row)] = true;
                row += kStep[pass];
                while (row >= height && pass < 3) row = kStart[++pass];
            }
            for (int y = 0; y < height && !zeroed; ++y)
                if (!rowDone[size_t(y)]) std::memset(FData.get() + int64_t(y) * width, fill, size_t(width));
        }
    }
    decoder->DiscardOne();
    // Data beyond the frame's pixels is skipped, so the next block is read from its start.
    decoder->SkipToTerminator();
}

void TGIFSubImage::LoadFromStream(TStream& stream) {
    VTRACE("TGIFSubImage::LoadFromStream");
    Clear();
    FExtensions.LoadFromStream(stream, this);
    uint8_t b = 0;
    if (!ReadByte(stream, b)) return;
    stream.Seek(-1, SeekOrigin::Current);
    if (b == ';' || b == 0) return;
    uint8_t d[10];
    ReadCheck(stream, d, 10);
    FImageDescriptor.Separator = d[0];
    FImageDescriptor.Left = uint16_t(d[1] | d[2] << 8);
    FImageDescriptor.Top = uint16_t(d[3] | d[4] << 8);
    FImageDescriptor.Width = uint16_t(d[5] | d[6] << 8);
    FImageDescriptor.Height = uint16_t(d[7] | d[8] << 8);
    FImageDescriptor.PackedFields = d[9];
    if (FImageDescriptor.Width == 0 || FImageDescriptor.Height == 0) {
        FImageDescriptor.Width = uint16_t(FGIFImage ? FGIFImage->GetWidth() : 0);
        FImageDescriptor.Height = uint16_t(FGIFImage ? FGIFImage->GetHeight() : 0);
        Warning(gsWarning, sScreenSizeExceeded);
    }
    if (FImageDescriptor.PackedFields & 0x80) FColorMap.LoadFromStream(stream, 2 << (FImageDescriptor.PackedFields & 7));
    int64_t pixels = int64_t(Width()) * Height();
    if (pixels > kMaxBitmapPixels) Error(sBadDimension);
    if (FGIFImage) pixels += FGIFImage->LoadedPixels();
    if (pixels > kMaxImagePixels) Error(sBadDimension);
    Decompress(stream);
    if (GIFImageRenderOnLoad) GetBitmap();
}

}  // namespace vellicor

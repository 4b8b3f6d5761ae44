#include "codecs/gif/GIFEncoder.h"

#include <algorithm>

#include <cstring>

#include "codecs/gif/GIFServices.h"

namespace vellicor {

// ---- writer ----

TGIFWriter::~TGIFWriter() {
    try {
        Flush();
    } catch (...) {
        // A destructor may not throw; Encode flushes explicitly so errors surface there.
    }
}

void TGIFWriter::FlushBlock() {
    FBuffer[0] = uint8_t(FCount - 1);
    if (!FStream.WriteBuffer(FBuffer, FCount)) Error(sInvalidStream);
    FCount = 1;
}

void TGIFWriter::Flush() {
    if (FCount > 1) FlushBlock();
}

int64_t TGIFWriter::Write(const void* buffer, int64_t count) {
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    for (int64_t left = count; left > 0;) {
        const int n = int(std::min<int64_t>(left, 256 - FCount));
        std::memcpy(FBuffer + FCount, p, size_t(n));
        FCount += n;
        p += n;
        left -= n;
        if (FCount == 256) FlushBlock();
    }
    return count;
}

// ---- base encoder ----

template <class Fn>
void TGIFEncoder::ForEachRow(Fn&& fn) const {
    if (!Interlace) {
        for (int row = 0; row < Height; ++row) fn(FData + int64_t(row) * Width);
        return;
    }
    static constexpr int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int row = kStart[pass]; row < Height; row += kStep[pass]) fn(FData + int64_t(row) * Width);
}

void TGIFEncoder::Encode(TStream& stream, int bitsPerPixel, int colors, const uint8_t* data, bool interlace,
                         int height, int width) {
    if (bitsPerPixel < 2) bitsPerPixel = 2;
    if (bitsPerPixel > 8) Error(sInvalidBitSize);
    BitsPerPixel = bitsPerPixel;
    Colors = colors;
    FData = data;
    Interlace = interlace;
    Width = width;
    Height = height;
    WriteByte(stream, uint8_t(bitsPerPixel));
    InitialBitSize = BitSize = bitsPerPixel + 1;
    MaxCode = (1 << BitSize) - 1;
    ClearCode = 1 << bitsPerPixel;
    EOICode = ClearCode + 1;
    BaseCode = EOICode + 1;
    FBitBuffer = 0;
    FBitCount = 0;
    FClearPending = false;
    FWriter = std::make_unique<TGIFWriter>(stream);
    DoCompress();
    Output(EOICode);
    if (FBitCount > 0) FWriter->PutByte(uint8_t(FBitBuffer));
    FBitCount = 0;
    FWriter->Flush();
    FWriter.reset();
    WriteByte(stream, 0);
}

void TGIFEncoder::Output(int value) {
    FBitBuffer &= (1u << FBitCount) - 1;
    FBitBuffer |= uint32_t(value) << FBitCount;
    FBitCount += BitSize;
    while (FBitCount >= 8) {
        FWriter->PutByte(uint8_t(FBitBuffer));
        FBitBuffer >>= 8;
        FBitCount -= 8;
    }
}

void TGIFEncoder::Clear() {
    FClearPending = true;
    Output(ClearCode);
}

// ---- LZW ----

void TLZWEncoder::Output(int value) {
    TGIFEncoder::Output(value);
    if (FreeCode > MaxCode || FClearPending) {
        if (FClearPending) {
            BitSize = InitialBitSize;
            MaxCode = (1 << BitSize) - 1;
            FClearPending = false;
        } else {
            ++BitSize;
            MaxCode = BitSize >= 12 ? 4096 : (1 << BitSize) - 1;
        }
    }
}

void TLZWEncoder::Clear() {
    TGIFEncoder::Clear();
    std::memset(FHash.data(), 0xFF, FHash.size() * sizeof(uint32_t));
    FreeCode = ClearCode + 2;
}

void TLZWEncoder::DoCompress() {
    FHash.assign(kHashSize, 0xFFFFFFFFu);
    FreeCode = ClearCode + 2;
    Clear();
    if (int64_t(Width) * Height == 0) {
        FHash.clear();
        return;
    }
    // The loop keeps the whole state in locals (the members are written back at the end), and
    // packs the codes itself: the calls through Output cost more than the hashing.
    uint32_t* const table = FHash.data();
    TGIFWriter& writer = *FWriter;
    const int colors = Colors, clearCode = ClearCode, initialBits = InitialBitSize;
    int bitSize = BitSize, maxCode = MaxCode, freeCode = FreeCode, prefix = -1;
    uint64_t bits = FBitBuffer & ((uint32_t(1) << FBitCount) - 1);
    int bitCount = FBitCount;
    auto put = [&](int code) {
        bits |= uint64_t(code) << bitCount;
        bitCount += bitSize;
        while (bitCount >= 8) {
            writer.PutByte(uint8_t(bits));
            bits >>= 8;
            bitCount -= 8;
        }
    };
    // Rows in the order the frame stores them; a plain loop keeps the state in registers.
    std::vector<const uint8_t*> rows;
    rows.reserve(size_t(Height));
    ForEachRow([&](const uint8_t* row) { rows.push_back(row); });
    const int width = Width;
    for (const uint8_t* row : rows) {
        int x = 0;
        if (prefix < 0) {
            prefix = row[0];
            if (prefix >= colors) BadColor();
            x = 1;
        }
        for (; x < width; ++x) {
            const uint32_t p = row[x];
            if (int(p) >= colors) BadColor();
            const uint32_t wanted = (uint32_t(prefix) << 8 | p) << 12;
            // Linear probing in a table at most a quarter full; the key sits above the code.
            uint32_t h = (wanted * 0x9E3779B1u) >> (32 - kHashBits);
            uint32_t entry;
            while ((entry = table[h]) != 0xFFFFFFFFu && (entry & ~0xFFFu) != wanted) h = (h + 1) & (kHashSize - 1);
            if (entry != 0xFFFFFFFFu) {
                prefix = int(entry & 0xFFF);
                continue;
            }
            put(prefix);
            // The code width grows after the first code written once the table has passed it.
            if (freeCode > maxCode) {
                ++bitSize;
                maxCode = bitSize >= 12 ? 4096 : (1 << bitSize) - 1;
            }
            prefix = int(p);
            if (freeCode >= 4095) {
                put(clearCode);
                bitSize = initialBits;
                maxCode = (1 << bitSize) - 1;
                std::memset(table, 0xFF, kHashSize * sizeof(uint32_t));
                freeCode = clearCode + 2;
            } else {
                table[h] = wanted | uint32_t(freeCode);
                ++freeCode;
            }
        }
    }
    FBitBuffer = uint32_t(bits);
    FBitCount = bitCount;
    BitSize = bitSize;
    MaxCode = maxCode;
    FreeCode = freeCode;
    Output(prefix);
    FHash.clear();
}

// ---- run-length ----

int64_t TRLEEncoder::Cost(int64_t n, int64_t m) {
    int64_t cost = 0;
    if (m <= 0) return n;
    const int64_t whole = m * (m + 1) / 2;
    cost += (n / whole) * m;
    n %= whole;
    if (n > 0) {
        // Least k with k(k+1) >= 2n, from Newton's integer square root of 2n.
        const int64_t target = 2 * n;
        int64_t k = target, y = (k + 1) / 2;
        while (y < k) {
            k = y;
            y = (k + target / k) / 2;
        }
        while (k * (k + 1) < target) ++k;
        while (k > 1 && (k - 1) * k >= target) --k;
        cost += k;
    }
    return cost;
}

void TRLEEncoder::Clear() {
    NextBump = BumpStart;
    OutLimit = ClearLimit;
    OutCount = 0;
    TableSize = 0;
    TGIFEncoder::Clear();
    BitSize = InitialBitSize;
}

void TRLEEncoder::Emit(int code) {
    FClearPending = false;
    Output(code);
    ++OutCount;
    if (OutCount >= NextBump) {
        ++BitSize;
        NextBump += 1 << (BitSize - 1);
    }
    if (OutCount >= OutLimit) Clear();
}

void TRLEEncoder::FlushWithTable(int n, int v) {
    OutLimit = TableCodes;
    TablePixel = v;
    int s = 1;
    while (n > 0) {
        if (s == 1) {
            Emit(v);
            TableSize = 1;
            --n;
        } else if (n < s) {
            ++TableSize;
            Emit(n == 1 ? v : BaseCode + n - 2);
            break;
        } else {
            TableSize = s;
            Emit(BaseCode + s - 2);
            n -= s;
        }
        s = OutCount != 0 ? s + 1 : 1;
    }
    OutLimit = ClearLimit;
    if (OutCount >= OutLimit) Clear();
}

void TRLEEncoder::FlushFromTable(int n, int v) {
    const int t = TableSize;
    int q = n / t, r = n % t;
    int64_t e = r > 0 ? 1 : 0;
    if (OutCount + q + e > TableCodes) {
        q = TableCodes - OutCount;
        r = n - q * t;
        e = Cost(r, TableCodes) + 1;
    }
    if (Cost(n, TableCodes) + 1 < q + e) {
        Clear();
        FlushWithTable(n, v);
        return;
    }
    OutLimit = TableCodes;
    for (int i = 0; i < q; ++i) Emit(BaseCode + t - 2);
    if (r > 0) {
        if (FClearPending) FlushWithTable(r, v);
        else Emit(r == 1 ? v : BaseCode + r - 2);
    }
    OutLimit = ClearLimit;
    if (OutCount >= OutLimit) Clear();
}

void TRLEEncoder::FlushRun(int n, int v) {
    if (n == 1) {
        Emit(v);
    } else if (FClearPending) {
        FlushWithTable(n, v);
    } else if (TableSize >= 2 && TablePixel == v) {
        FlushFromTable(n, v);
    } else if (Cost(n, TableCodes) + 1 < n) {
        Clear();
        FlushWithTable(n, v);
    } else {
        for (int i = 0; i < n; ++i) Emit(v);
    }
}

void TRLEEncoder::DoCompress() {
    TableCodes = 4095 - BaseCode;
    BumpStart = ClearCode - 1;
    ClearLimit = BitsPerPixel >= 4 ? ClearCode - 2 : 9;
    RunPixel = -1;
    RunLength = 0;
    Clear();
    ForEachRow([&](const uint8_t* row) {
        for (int x = 0; x < Width; ++x) {
            const int p = row[x];
            if (p >= Colors) BadColor();
            if (RunLength > 0 && p != RunPixel) {
                FlushRun(RunLength, RunPixel);
                RunLength = 0;
            }
            if (p == RunPixel && RunLength > 0) {
                ++RunLength;
            } else {
                RunPixel = p;
                RunLength = 1;
            }
        }
    });
    if (RunLength > 0) FlushRun(RunLength, RunPixel);
}

}  // namespace vellicor

// ---- frames and images ----
#include "codecs/gif/GIFImage.h"

namespace vellicor {

void TGIFSubImage::Prepare() {
    uint8_t packed;
    if (FColorMap.Count() > 0) {
        packed = 0x80;
        if (FColorMap.Optimized()) packed |= 0x20;
        packed |= uint8_t((FColorMap.GetBitsPerPixel() - 1) & 7);
        // The pixels are written in the order this bit says; dropping it would lose the interlace.
        packed |= FImageDescriptor.PackedFields & 0x40;
    } else {
        packed = FImageDescriptor.PackedFields & 0x58;
    }
    FImageDescriptor.PackedFields = packed;
}

void TGIFSubImage::Compress(TStream& stream) {
    int colors, bits;
    if (FColorMap.Count() > 0) {
        colors = FColorMap.Count();
        bits = FColorMap.GetBitsPerPixel();
    } else {
        bits = FGIFImage ? FGIFImage->GetBitsPerPixel() : 8;
        colors = 1 << bits;
    }
    std::unique_ptr<TGIFEncoder> encoder;
    if (FGIFImage && FGIFImage->Compression == gcRLE) encoder = std::make_unique<TRLEEncoder>();
    else encoder = std::make_unique<TLZWEncoder>();
    encoder->Encode(stream, bits, colors, FData.get(), GetInterlaced(), Height(), Width());
}

void TGIFSubImage::SaveToStream(TStream& stream) {
    FExtensions.SaveToStream(stream);
    if (GetEmpty()) return;
    Prepare();
    const TImageDescriptor& d = FImageDescriptor;
    const uint8_t bytes[10] = {uint8_t(','),          uint8_t(d.Left),         uint8_t(d.Left >> 8),
                               uint8_t(d.Top),        uint8_t(d.Top >> 8),     uint8_t(d.Width),
                               uint8_t(d.Width >> 8), uint8_t(d.Height),       uint8_t(d.Height >> 8),
                               d.PackedFields};
    if (!stream.WriteBuffer(bytes, 10)) Error(sInvalidStream);
    FColorMap.SaveToStream(stream);
    Compress(stream);
}

void TGIFImage::SaveToStream(TStream& stream) {
    Progress(psStarting, 0, false, sProgressSaving);
    struct HeldBits {
        int& bits;
        ~HeldBits() { bits = 0; }
    } held{FSavingBitsPerPixel};
    FSavingBitsPerPixel = GetBitsPerPixel();
    try {
        FHeader.SaveToStream(stream);
        const int count = FImages.GetCount();
        for (int i = 0; i < count; ++i) {
            FImages.GetImage(i)->SaveToStream(stream);
            Progress(psRunning, (i + 1) * 100 / count, false, sProgressSaving);
        }
        TGIFTrailer trailer(this);
        trailer.SaveToStream(stream);
    } catch (...) {
        Progress(psEnding, 0, true, sProgressSaving);
        throw;
    }
    Progress(psEnding, 100, true, sProgressSaving);
}

void TGIFImage::SaveToFile(const std::string& fileName) {
    TFileStream file;
    if (!file.Open(fileName, FileMode::Create)) Error(sInvalidStream);
    SaveToStream(file);
}

}  // namespace vellicor

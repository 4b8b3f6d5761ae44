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
    bool first = true;
    uint32_t* table = FHash.data();
    ForEachRow([&](const uint8_t* row) {
        for (int x = 0; x < Width; ++x) {
            const int p = row[x];
            if (p >= Colors) BadColor();
            if (first) {
                Prefix = p;
                first = false;
                continue;
            }
            const uint32_t key = uint32_t(Prefix) << 8 | uint32_t(p);
            int h = int(((key >> 4) ^ key) % kHashSize);
            // The probe step stays fixed for the key, so a prime table size visits every slot.
            const int d = h == 0 ? 1 : kHashSize - h;
            const uint32_t wanted = key << 12;
            for (;;) {
                const uint32_t entry = table[h];
                if (entry == 0xFFFFFFFFu) break;
                if ((entry & ~0xFFFu) == wanted) break;
                h -= d;
                if (h < 0) h += kHashSize;
            }
            if (table[h] != 0xFFFFFFFFu) {
                Prefix = int(table[h] & 0xFFF);
                continue;
            }
            Output(Prefix);
            Prefix = p;
            if (FreeCode >= 4095) {
                Clear();
            } else {
                table[h] = wanted | uint32_t(FreeCode);
                ++FreeCode;
            }
        }
    });
    Output(Prefix);
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

#pragma once
// The writing side of a frame's pixel data: LZW codes (or run-length codes any LZW decoder
// reads), packed least significant bit first into data sub-blocks of at most 255 bytes.
#include <cstdint>
#include <memory>
#include <vector>

#include "codecs/gif/GIFException.h"
#include "platform/Streams.h"

namespace vellicor {

// Write-only: collects bytes and writes them as sub-blocks (a length byte, then the data).
class TGIFWriter : public TStream {
public:
    explicit TGIFWriter(TStream& Stream) : FStream(Stream) {}
    ~TGIFWriter() override;
    int64_t Read(void*, int64_t) override { Error(sInvalidStream); }
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t, SeekOrigin) override { Error(sInvalidStream); }
    int64_t Size() const override { Error(sInvalidStream); }
    bool SetSize(int64_t) override { Error(sInvalidStream); }
    void PutByte(uint8_t Value) {
        FBuffer[FCount++] = Value;
        if (FCount == 256) FlushBlock();
    }
    void Flush();

private:
    void FlushBlock();
    TStream& FStream;
    uint8_t FBuffer[256] = {};  // byte 0 is the block's length
    int FCount = 1;
};

class TGIFEncoder {
public:
    virtual ~TGIFEncoder() = default;
    void Encode(TStream& Stream, int BitsPerPixel, int Colors, const uint8_t* Data, bool Interlace, int Height,
                int Width);

protected:
    virtual void Output(int Value);
    virtual void Clear();
    virtual void DoCompress() = 0;
    // Calls Fn(row pointer) for each row in the order the frame stores them.
    template <class Fn>
    void ForEachRow(Fn&& fn) const;
    void BadColor() const { Error(sInvalidColor); }

    std::unique_ptr<TGIFWriter> FWriter;
    int BitsPerPixel = 0, Colors = 0;
    const uint8_t* FData = nullptr;
    bool Interlace = false;
    int Width = 0, Height = 0;
    uint32_t FBitBuffer = 0;
    int FBitCount = 0;
    int BitSize = 0, InitialBitSize = 0, MaxCode = 0, ClearCode = 0, EOICode = 0, BaseCode = 0;
    bool FClearPending = false;
};

class TLZWEncoder : public TGIFEncoder {
protected:
    void Output(int Value) override;
    void Clear() override;
    void DoCompress() override;

private:
    static constexpr int kHashBits = 14;
    static constexpr uint32_t kHashSize = 1u << kHashBits;
    std::vector<uint32_t> FHash;
    int Prefix = 0, FreeCode = 0;
};

class TRLEEncoder : public TGIFEncoder {
public:
    // The cost in codes of n pixels from a table whose runs reach m.
    static int64_t Cost(int64_t n, int64_t m);

protected:
    void Clear() override;
    void DoCompress() override;

private:
    void Emit(int Code);
    void FlushRun(int n, int v);
    void FlushWithTable(int n, int v);
    void FlushFromTable(int n, int v);
    int RunPixel = -1, RunLength = 0;
    int OutCount = 0, NextBump = 0, OutLimit = 0;
    int TableCodes = 0, BumpStart = 0, ClearLimit = 0, TableSize = 0, TablePixel = 0;
};

}  // namespace vellicor

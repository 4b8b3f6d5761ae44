#pragma once
// Byte streams in place of the class library's streams: Read returns the count read.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>


namespace vellicor {

enum class SeekOrigin { Begin, Current, End };

// The most one page's bytes may take in memory (an archive member or a loose file): larger
// ones are refused by name, and no stated size reserves more than this.
constexpr int64_t kPageBudget = int64_t(256) << 20;

class TStream {
public:
    virtual ~TStream() = default;
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;  // new position, -1 on failure
    virtual int64_t Size() const = 0;
    virtual bool SetSize(int64_t size) = 0;

    int64_t Position() { return Seek(0, SeekOrigin::Current); }
    void SetPosition(int64_t pos) { Seek(pos, SeekOrigin::Begin); }
    // Reads exactly count bytes or reports false (position then undefined).
    bool ReadBuffer(void* buffer, int64_t count) { return Read(buffer, count) == count; }
    bool WriteBuffer(const void* buffer, int64_t count) { return Write(buffer, count) == count; }
    // Copies count bytes from source at its position (count 0: all of source from 0). Returns bytes copied.
    int64_t CopyFrom(TStream& source, int64_t count);
};

// The bytes of a memory stream: grown without clearing and in whole copies (or none, where
// realloc can move the mapping), also in unoptimised builds, where an allocator-driven
// vector made and copied a page one byte at a time. Throws std::bad_alloc as a vector does.
class TByteBuffer {
public:
    TByteBuffer() = default;
    ~TByteBuffer() { std::free(data_); }
    TByteBuffer(const TByteBuffer& other) { append(other.data_, other.size_); }
    TByteBuffer& operator=(const TByteBuffer& other) {
        if (this != &other) {
            TByteBuffer copy(other);
            swap(copy);
        }
        return *this;
    }
    TByteBuffer(TByteBuffer&& other) noexcept { swap(other); }
    TByteBuffer& operator=(TByteBuffer&& other) noexcept {
        TByteBuffer gone(std::move(other));
        swap(gone);
        return *this;
    }
    void swap(TByteBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }
    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    void clear() { size_ = 0; }
    void reserve(size_t n);
    void resize(size_t n);                 // new bytes are left as they come
    void resize(size_t n, uint8_t value);  // new bytes take value
    void append(const uint8_t* bytes, size_t n);

private:
    void grow(size_t atLeast);
    uint8_t* data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
    // Bytes added are left as they come, not cleared: the caller fills them, and a page of
    // hundreds of megabytes is not written twice (nor touched before its data is there).
    bool SetSize(int64_t size) override;
    // Room for size bytes in all, made without touching it, so that growing to it a piece at
    // a time copies nothing; never more than kPageBudget, whatever size a header states.
    void Reserve(int64_t size) noexcept;

    // Gives the memory back too: a stream may have held a page of hundreds of megabytes.
    void Clear() {
        TBytes().swap(data_);
        pos_ = 0;
    }
    // Empties it for the next member or file and keeps its room up to kKeptRoom: the pages
    // of a book then land in memory already mapped, where a fresh 30 MB costs thousands of
    // page faults every time. A larger room goes back, as with Clear.
    void Reuse() {
        if (data_.capacity() > static_cast<size_t>(kKeptRoom)) return Clear();
        data_.clear();
        pos_ = 0;
    }
    static constexpr int64_t kKeptRoom = int64_t(64) << 20;
    bool LoadFromFile(const std::string& fileName);
    bool SaveToFile(const std::string& fileName) const;
    bool LoadFromStream(TStream& source);  // whole source from 0; position 0 afterwards
    const uint8_t* Memory() const { return data_.data(); }
    uint8_t* Memory() { return data_.data(); }
    using TBytes = TByteBuffer;
    TBytes& Bytes() { return data_; }

private:
    TBytes data_;
    int64_t pos_ = 0;
};

// A read-only view of bytes owned elsewhere (decoders read from it without copying).
class TByteViewStream : public TStream {
public:
    TByteViewStream(const void* data, int64_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() const override { return size_; }
    bool SetSize(int64_t) override { return false; }

private:
    const uint8_t* data_;
    int64_t size_;
    int64_t pos_ = 0;
};

enum class FileMode { OpenRead, OpenReadWrite, Create };

class TFileStream : public TStream {
public:
    TFileStream() = default;
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    bool Open(const std::string& fileName, FileMode mode);  // false and errno set on failure
    bool IsOpen() const { return fd_ >= 0; }
    void Close();
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() const override;
    bool SetSize(int64_t size) override;
    bool Flush();  // fsync
    const std::string& FileName() const { return name_; }

private:
    int fd_ = -1;
    std::string name_;
};

}  // namespace vellicor

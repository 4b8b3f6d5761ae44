#include "platform/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>

namespace vellicor {

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(count, 0), 1 << 20)));
    int64_t done = 0;
    while (done < count) {
        int64_t n = source.Read(buf.data(), std::min<int64_t>(count - done, static_cast<int64_t>(buf.size())));
        if (n <= 0) break;
        if (Write(buf.data(), n) != n) break;
        done += n;
    }
    return done;
}

void TByteBuffer::grow(size_t atLeast) {
    if (atLeast <= capacity_) return;
    // Doubling keeps appends linear; realloc of a large block moves its mapping, not its bytes.
    size_t want = std::max(atLeast, capacity_ < (SIZE_MAX / 2) ? capacity_ * 2 : atLeast);
    void* p = std::realloc(data_, want);
    if (!p && want > atLeast) p = std::realloc(data_, want = atLeast);
    if (!p) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(p);
    capacity_ = want;
}

void TByteBuffer::reserve(size_t n) {
    if (n <= capacity_) return;
    void* p = std::realloc(data_, n);
    if (!p) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(p);
    capacity_ = n;
}

void TByteBuffer::resize(size_t n) {
    grow(n);
    size_ = n;
}

void TByteBuffer::resize(size_t n, uint8_t value) {
    grow(n);
    if (n > size_) std::memset(data_ + size_, value, n - size_);
    size_ = n;
}

void TByteBuffer::append(const uint8_t* bytes, size_t n) {
    if (n == 0) return;
    if (n > SIZE_MAX - size_) throw std::bad_alloc();
    grow(size_ + n);
    std::memcpy(data_ + size_, bytes, n);
    size_ += n;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    if (count <= 0 || pos_ >= Size()) return 0;
    int64_t n = std::min(count, Size() - pos_);
    std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0 || pos_ > INT64_MAX - count) return 0;
    int64_t end = pos_ + count;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    try {
        // Appending copies once; resizing first would also fill the new room with zeros.
        if (pos_ >= Size()) {
            if (pos_ > Size()) data_.resize(static_cast<size_t>(pos_), 0);  // a gap reads as zeros
            data_.append(bytes, static_cast<size_t>(count));
            pos_ = end;
            return count;
        }
        if (end > Size()) data_.resize(static_cast<size_t>(end));
    } catch (const std::exception&) {  // no memory
        return 0;
    }
    std::memcpy(data_.data() + pos_, bytes, static_cast<size_t>(count));
    pos_ = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, SeekOrigin origin) {
    int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? pos_ : Size();
    int64_t p = base + offset;
    if (p < 0) return -1;
    pos_ = p;
    return pos_;
}

bool TMemoryStream::SetSize(int64_t size) {
    if (size < 0) return false;
    try {
        data_.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (pos_ > size) pos_ = size;
    return true;
}

void TMemoryStream::Reserve(int64_t size) noexcept {
    const auto want = static_cast<size_t>(std::clamp<int64_t>(size, 0, kPageBudget));
    if (want <= data_.capacity()) return;
    try {
        data_.reserve(want);
    } catch (const std::exception&) {
        // it grows as the data come
    }
}

bool TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream f;
    if (!f.Open(fileName, FileMode::OpenRead)) return false;
    return LoadFromStream(f);
}

bool TMemoryStream::LoadFromStream(TStream& source) {
    source.SetPosition(0);
    int64_t size = source.Size();
    if (size < 0 || !SetSize(size)) return false;
    const int64_t got = source.Read(data_.data(), size);
    if (got != size) data_.resize(static_cast<size_t>(std::max<int64_t>(got, 0)));  // nothing unread is left in it
    pos_ = 0;
    return got == size;
}

bool TMemoryStream::SaveToFile(const std::string& fileName) const {
    TFileStream f;
    if (!f.Open(fileName, FileMode::Create)) return false;
    return f.Write(data_.data(), Size()) == Size();
}

int64_t TByteViewStream::Read(void* buffer, int64_t count) {
    if (count <= 0 || pos_ >= size_) return 0;
    int64_t n = std::min(count, size_ - pos_);
    std::memcpy(buffer, data_ + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
}

int64_t TByteViewStream::Seek(int64_t offset, SeekOrigin origin) {
    int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? pos_ : size_;
    int64_t p = base + offset;
    if (p < 0) return -1;
    pos_ = p;
    return pos_;
}

TFileStream::~TFileStream() { Close(); }

bool TFileStream::Open(const std::string& fileName, FileMode mode) {
    Close();
    int flags = mode == FileMode::OpenRead ? O_RDONLY
              : mode == FileMode::OpenReadWrite ? O_RDWR
                                                : (O_RDWR | O_CREAT | O_TRUNC);
    fd_ = ::open(fileName.c_str(), flags | O_CLOEXEC, 0644);
    if (fd_ < 0) return false;
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
        Close();
        errno = EISDIR;
        return false;
    }
    name_ = fileName;
    return true;
}

void TFileStream::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
    if (fd_ < 0 || count <= 0) return 0;
    int64_t done = 0;
    auto* p = static_cast<uint8_t*>(buffer);
    while (done < count) {
        ssize_t n = ::read(fd_, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
    if (fd_ < 0 || count <= 0) return 0;
    int64_t done = 0;
    auto* p = static_cast<const uint8_t*>(buffer);
    while (done < count) {
        ssize_t n = ::write(fd_, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

int64_t TFileStream::Seek(int64_t offset, SeekOrigin origin) {
    if (fd_ < 0) return -1;
    int whence = origin == SeekOrigin::Begin ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
    off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t TFileStream::Size() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
    return static_cast<int64_t>(st.st_size);
}

bool TFileStream::SetSize(int64_t size) { return fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(size)) == 0; }

bool TFileStream::Flush() { return fd_ >= 0 && ::fsync(fd_) == 0; }

}  // namespace vellicor

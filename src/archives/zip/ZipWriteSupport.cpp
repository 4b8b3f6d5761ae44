#include "archives/zip/ZipWriteSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <random>

#include "platform/Text.h"
#include "trace/Trace.h"

namespace vellicor::zip {

ArchiveFile::~ArchiveFile() {
    if (fd >= 0) ::close(fd);
}

bool ArchiveFile::ReadAt(int64_t pos, void* buf, size_t n) const {
    if (pos < 0 || n > static_cast<uint64_t>(fileSize) || pos > fileSize - static_cast<int64_t>(n)) return false;
    if (mem_) {
        if (n) std::memcpy(buf, mem_ + pos, n);
        return true;
    }
    auto* d = static_cast<uint8_t*>(buf);
    while (n > 0) {
        ssize_t r = ::pread(fd, d, n, static_cast<off_t>(pos));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        d += r;
        pos += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void ArchiveFile::Open(const std::string& path) {
    VTRACE("ArchiveFile::Open");
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) throw ZipFileError(kErrNoInput, "Input file does not exist");
    fileSize = st.st_size;
    Read();
}

void ArchiveFile::OpenBuffer(const uint8_t* data, size_t size) {
    VTRACE("ArchiveFile::OpenBuffer");
    mem_ = data;
    fileSize = static_cast<int64_t>(size);
    Read();
}

void ArchiveFile::Read() {
    VTRACE("ArchiveFile::Read");
    size_t tailSize = static_cast<size_t>(std::min<int64_t>(fileSize, kEndRecordSize + kMaxCommentLength));
    if (tailSize < size_t(kEndRecordSize)) throw ZipFileError(kErrNotZip, "This archive is not a valid Zip archive");
    std::vector<uint8_t> tail(tailSize);
    int64_t tailPos = fileSize - static_cast<int64_t>(tailSize);
    if (!ReadAt(tailPos, tail.data(), tailSize)) throw ZipFileError(kErrEndRead, "Error while reading the End Of Central Directory");
    int64_t at = FindEndRecord(tail.data(), tailSize);
    if (at < 0 || !end.Parse(tail.data() + at, tailSize - static_cast<size_t>(at)))
        throw ZipFileError(kErrNotZip, "This archive is not a valid Zip archive");
    if (end.NeedsZip64() || HasZip64Locator(tail.data(), static_cast<size_t>(at))) throw ZipFileError(kErrZip64, "zip64");
    if (end.thisDisk != 0 || end.centralDisk != 0 || end.entriesThisDisk != end.totalEntries)
        throw ZipFileError(kErrSpanned, "Rename is not implemented for a spanned zip file");
    endPos = tailPos + at;
    comment.assign(reinterpret_cast<const char*>(tail.data() + at + kEndRecordSize), end.commentLength);
    centralPos = endPos - static_cast<int64_t>(end.centralSize);
    if (centralPos < 0) throw ZipFileError(kErrNotZip, "This archive is not a valid Zip archive");
    shift = centralPos - static_cast<int64_t>(end.centralOffset);
    // The directory is read in one piece: its size is bounded by the file.
    std::vector<uint8_t> dir(end.centralSize);
    if (!ReadAt(centralPos, dir.data(), dir.size())) throw ZipFileError(kErrCentralRead, "Error while reading a central header");
    size_t p = 0;
    entries.reserve(std::min<size_t>(end.totalEntries, dir.size() / kCentralHeaderSize + 1));
    std::vector<uint8_t> local;
    prefixSize = centralPos;
    for (int i = 0; i < end.totalEntries; ++i) {
        ArchiveEntry e;
        if (dir.size() - p < size_t(kCentralHeaderSize)) throw ZipFileError(kErrCentralRead, "Error while reading a central header");
        if (!e.ch.Parse(dir.data() + p, dir.size() - p)) throw ZipFileError(kErrCentralSig, "A central header signature is wrong");
        if (e.ch.NeedsZip64()) throw ZipFileError(kErrZip64, "zip64");
        p += kCentralHeaderSize;
        size_t need = size_t(e.ch.nameLength) + e.ch.extraLength + e.ch.commentLength;
        if (dir.size() - p < need) throw ZipFileError(kErrCentralName, "Error while reading a central file name");
        e.rawName.assign(reinterpret_cast<const char*>(dir.data() + p), e.ch.nameLength);
        p += e.ch.nameLength;
        e.centralExtra.assign(dir.begin() + static_cast<ptrdiff_t>(p), dir.begin() + static_cast<ptrdiff_t>(p + e.ch.extraLength));
        p += e.ch.extraLength;
        e.comment.assign(reinterpret_cast<const char*>(dir.data() + p), e.ch.commentLength);
        p += e.ch.commentLength;

        // The local record named by this entry's offset, checked against the entry.
        e.localPos = static_cast<int64_t>(e.ch.localHeaderOffset) + shift;
        if (e.localPos < 0 || e.localPos + kLocalHeaderSize > centralPos)
            throw ZipFileError(kErrLocalRead, "Error while reading a local header");
        // Header, name and (mostly) extra field in one read: one call per entry, not three.
        size_t guess = static_cast<size_t>(std::min<int64_t>(
            kLocalHeaderSize + int64_t(e.ch.nameLength) + e.ch.extraLength + 64, centralPos - e.localPos));
        local.resize(guess);
        if (!ReadAt(e.localPos, local.data(), local.size())) throw ZipFileError(kErrLocalRead, "Error while reading a local header");
        if (!e.lh.Parse(local.data(), kLocalHeaderSize)) throw ZipFileError(kErrLocalSig, "A local header signature is wrong");
        auto readTo = [&](size_t upto, int code, const char* what) {
            const size_t had = local.size();
            if (upto <= had) return;
            local.resize(upto);
            if (!ReadAt(e.localPos + static_cast<int64_t>(had), local.data() + had, upto - had)) throw ZipFileError(code, what);
        };
        readTo(size_t(kLocalHeaderSize) + e.lh.nameLength, kErrLocalName, "Error while reading a local file name");
        const uint8_t* localName = local.data() + kLocalHeaderSize;
        if (e.lh.nameLength != e.rawName.size() || std::memcmp(e.rawName.data(), localName, e.rawName.size()) != 0)
            throw ZipFileError(kErrLocalMissing, "A local header not found in internal structure");
        readTo(size_t(kLocalHeaderSize) + e.lh.nameLength + e.lh.extraLength, kErrLocalExtra,
             "Error while reading a local extra field");
        localName = local.data() + kLocalHeaderSize;
        e.localExtra.assign(localName + e.lh.nameLength, localName + e.lh.nameLength + e.lh.extraLength);
        int64_t dataEnd = e.localPos + e.lh.TotalSize() + int64_t(e.ch.compressedSize);
        if (dataEnd > centralPos) throw ZipFileError(kErrData, "Error while reading zipped data");
        if (e.lh.flags & kFlagDescriptor) {
            uint8_t d[16];
            size_t n = static_cast<size_t>(std::min<int64_t>(16, centralPos - dataEnd));
            DataDescriptor dd;
            if (!ReadAt(dataEnd, d, n) || !ParseDataDescriptor(d, n, e.ch.crc32, dd))
                throw ZipFileError(kErrDescriptor, "Error while reading/writing a data descriptor area");
            e.descriptorLength = dd.length;
        }
        prefixSize = std::min(prefixSize, e.localPos);
        entries.push_back(std::move(e));
    }
    if (prefixSize < 0) prefixSize = 0;
}

namespace {
std::atomic<bool> gAllowUnnamed{true};
}  // namespace

std::string ResolveLinks(const std::string& path) {
    std::string p = path;
    // As many links as the system follows itself; a longer chain is left to fail on open.
    for (int i = 0; i < 40; ++i) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        std::string link(PATH_MAX, '\0');
        ssize_t n = ::readlink(p.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<size_t>(n) >= link.size()) return p;
        link.resize(static_cast<size_t>(n));
        std::string dir = ExtractFileDir(p);
        p = link[0] == '/' || dir.empty() ? link : dir + "/" + link;
    }
    return p;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void SafeOutput::AllowUnnamed(bool on) { gAllowUnnamed = on; }

void SafeOutput::Create(const std::string& target) {
    VTRACE("SafeOutput::Create");
    Abort();
    target_ = ResolveLinks(target);
    std::string dir = ExtractFileDir(target_);
    if (dir.empty()) dir = ".";
    // An unnamed file is named later through /proc; without it, take a named one from the start.
    if (gAllowUnnamed && ::access("/proc/self/fd", X_OK) == 0)
        fd_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        // Refused by the file system (or not asked for): a hidden name from the start.
        std::string pattern = dir + "/." + ExtractFileName(target_) + ".XXXXXX";
        fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd_ < 0) throw ZipFileError(kErrTemp, "Temporary file could not be created");
        temp_ = pattern;
    }
    pos_ = 0;
    flushed_ = 0;
    mtime_ = -1;
    kernelCopy_ = true;
    // A new file gets the usual permissions; a replaced one keeps its own.
    struct stat st {};
    mode_t mode = 0666;
    if (::stat(target_.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode &= ~mask;
    }
    if (::fchmod(fd_, mode) != 0) {
        // Only the permissions are affected.
    }
}

// An unnamed file gets a hidden name beside the target only to be renamed over it: a
// link cannot replace a file.
void SafeOutput::NameTemporary() {
    if (!temp_.empty()) return;
    std::string dir = ExtractFileDir(target_);
    std::string base = (dir.empty() ? std::string(".") : dir) + "/." + ExtractFileName(target_) + ".";
    std::string self = "/proc/self/fd/" + std::to_string(fd_);
    static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = base;
        for (int i = 0; i < 6; ++i) name += kDigits[random() % (sizeof kDigits - 1)];
        int rc = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
        if (rc != 0 && errno == ENOENT) rc = ::linkat(fd_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
        if (rc == 0) {
            temp_ = name;
            return;
        }
        if (errno != EEXIST) break;
    }
    throw ZipFileError(kErrWrite, "Write error in output file");
}

namespace {

// Gathered writes go out in pieces of this size: a central directory is hundreds of small
// records.
constexpr size_t kPending = 64 * 1024;

}  // namespace

void SafeOutput::WriteAt(int64_t pos, const void* data, size_t n) {
    Flush();
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        ssize_t w = ::pwrite(fd_, p, n, static_cast<off_t>(pos));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) throw ZipFileError(kErrWrite, "Write error in output file");
        p += w;
        pos += w;
        n -= static_cast<size_t>(w);
    }
}

// Start writing back what is done, so that the sync at the end has little left to wait for.
void SafeOutput::Written(int64_t end) {
    constexpr int64_t kWriteBack = 8 << 20;
    if (end - flushed_ >= kWriteBack) {
        ::sync_file_range(fd_, flushed_, end - flushed_, SYNC_FILE_RANGE_WRITE);
        flushed_ = end;
    }
}

void SafeOutput::Flush() {
    if (pending_.empty() || fd_ < 0) return;
    // Cleared first: a failed write must not be tried again from a destructor's path.
    std::vector<uint8_t> bytes;
    bytes.swap(pending_);
    const int64_t at = pos_ - static_cast<int64_t>(bytes.size());
    WriteAt(at, bytes.data(), bytes.size());
    Written(pos_);
    bytes.clear();
    pending_.swap(bytes);
}

void SafeOutput::Write(const void* data, size_t n) {
    if (fd_ < 0) throw ZipFileError(kErrWrite, "Write error in output file");
    if (pending_.size() + n > kPending) Flush();
    if (n >= kPending) {
        WriteAt(pos_, data, n);
        pos_ += static_cast<int64_t>(n);
        Written(pos_);
        return;
    }
    if (pending_.capacity() < kPending) pending_.reserve(kPending);
    const auto* p = static_cast<const uint8_t*>(data);
    pending_.insert(pending_.end(), p, p + n);
    pos_ += static_cast<int64_t>(n);
}

void SafeOutput::CopyFrom(int in, int64_t pos, int64_t n, int readError, CopyProgress progress, void* context) {
    if (fd_ < 0) throw ZipFileError(kErrWrite, "Write error in output file");
    Flush();
    // In the kernel first: the bytes are not copied through this process. A file system that
    // cannot do it (or any failure) leaves the rest to plain reads and writes, which tell the
    // read errors from the write errors.
    constexpr int64_t kPiece = 8 << 20;
    while (n > 0 && kernelCopy_) {
        loff_t from = static_cast<loff_t>(pos), to = static_cast<loff_t>(pos_);
        ssize_t r = ::copy_file_range(in, &from, fd_, &to, static_cast<size_t>(std::min(n, kPiece)), 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            kernelCopy_ = r == 0;  // 0: the input ended early, which the plain read reports
            break;
        }
        pos += r;
        pos_ += r;
        n -= r;
        Written(pos_);
        if (progress) progress(context, static_cast<uint32_t>(r));
    }
    constexpr size_t kBuffer = 256 * 1024;
    if (n > 0 && copyBuffer_.size() < kBuffer) copyBuffer_.resize(kBuffer);
    while (n > 0) {
        size_t want = static_cast<size_t>(std::min<int64_t>(n, kBuffer));
        ssize_t r = ::pread(in, copyBuffer_.data(), want, static_cast<off_t>(pos));
        if (r < 0 && errno == EINTR) continue;
        // A short read is the end of the input before the bytes it promised.
        if (r <= 0) throw ZipFileError(readError, "short read");
        WriteAt(pos_, copyBuffer_.data(), static_cast<size_t>(r));
        pos_ += r;
        Written(pos_);
        pos += r;
        n -= r;
        if (progress) progress(context, static_cast<uint32_t>(r));
    }
}

void SafeOutput::Truncate(int64_t size) {
    Flush();
    flushed_ = std::min(flushed_, size);
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) throw ZipFileError(kErrWrite, "Write error in output file");
    pos_ = size;
}

void SafeOutput::SetFileTime(int64_t unixTime) { mtime_ = unixTime; }

void SafeOutput::SetMode(unsigned mode) {
    mode_t mask = ::umask(0);
    ::umask(mask);
    if (fd_ >= 0 && ::fchmod(fd_, static_cast<mode_t>(mode) & ~mask) != 0) {
        // Only the permissions are affected.
    }
}

void SafeOutput::Commit() {
    VTRACE("SafeOutput::Commit");
    if (fd_ < 0) throw ZipFileError(kErrWrite, "Write error in output file");
    Flush();
    if (mtime_ >= 0) {
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1].tv_sec = static_cast<time_t>(mtime_);
        times[1].tv_nsec = 0;
        ::futimens(fd_, times);
    }
    if (::fdatasync(fd_) != 0) throw ZipFileError(kErrWrite, "Write error in output file");
    NameTemporary();
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        ::unlink(temp_.c_str());
        temp_.clear();
        throw ZipFileError(kErrWrite, "Write error in output file");
    }
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        ::unlink(temp_.c_str());
        temp_.clear();
        throw ZipFileError(kErrWrite, "Write error in output file");
    }
    temp_.clear();
    std::string dir = ExtractFileDir(target_);
    int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

void SafeOutput::Abort() {
    pending_.clear();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

void StoreLocal(const LocalHeader& lh, uint8_t* o) {
    Put32(o, kLocalSig);
    Put16(o + 4, lh.versionNeeded);
    Put16(o + 6, lh.flags);
    Put16(o + 8, lh.method);
    Put16(o + 10, lh.modTime);
    Put16(o + 12, lh.modDate);
    Put32(o + 14, lh.crc32);
    Put32(o + 18, lh.compressedSize);
    Put32(o + 22, lh.uncompressedSize);
    Put16(o + 26, lh.nameLength);
    Put16(o + 28, lh.extraLength);
}

void StoreCentral(std::string& to, const CentralHeader& ch, const std::string& name, const std::vector<uint8_t>& extra,
                  const std::string& comment) {
    uint8_t h[kCentralHeaderSize];
    Put32(h, kCentralSig);
    CentralHeader c = ch;
    c.nameLength = static_cast<uint16_t>(name.size());
    c.extraLength = static_cast<uint16_t>(extra.size());
    c.commentLength = static_cast<uint16_t>(comment.size());
    c.Store42(h + 4);
    to.append(reinterpret_cast<const char*>(h), sizeof h).append(name).append(extra.begin(), extra.end()).append(comment);
}

void WriteCentral(SafeOutput& out, const CentralHeader& ch, const std::string& name, const std::vector<uint8_t>& extra,
                  const std::string& comment) {
    // One write for the record: a directory has many of them.
    std::string record;
    StoreCentral(record, ch, name, extra, comment);
    out.Write(record.data(), record.size());
}

void StoreEnd(std::string& to, uint16_t entries, int64_t centralSize, int64_t centralOffset, const std::string& comment) {
    if (centralSize > 0xFFFFFFFFLL || centralOffset >= 0xFFFFFFFFLL) throw ZipFileError(kErrZip64, "zip64");
    EndOfCentral e;
    e.entriesThisDisk = e.totalEntries = entries;
    e.centralSize = static_cast<uint32_t>(centralSize);
    e.centralOffset = static_cast<uint32_t>(centralOffset);
    std::string c = comment.substr(0, kMaxCommentLength);
    e.commentLength = static_cast<uint16_t>(c.size());
    uint8_t rec[kEndRecordSize];
    e.Store(rec);
    to.append(reinterpret_cast<const char*>(rec), sizeof rec).append(c);
}

void WriteEnd(SafeOutput& out, uint16_t entries, int64_t centralSize, int64_t centralOffset, const std::string& comment) {
    std::string end;
    StoreEnd(end, entries, centralSize, centralOffset, comment);
    out.Write(end.data(), end.size());
}

}  // namespace vellicor::zip

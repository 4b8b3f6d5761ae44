#pragma once
// What every writer of zip archives shares (the zip library, renaming, copying entries,
// self-extractors): an archive read whole with each central entry paired to its own local
// record, and an output file that replaces its target only when it is complete.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "archives/zip/ZipRecords.h"

namespace vellicor::zip {

// A failure while reading or writing an archive; code is the component's message number.
class ZipFileError : public std::runtime_error {
public:
    ZipFileError(int code, const std::string& what) : std::runtime_error(what), code(code) {}
    int code;
};

// Message numbers of the failures below.
enum ZipFileErrorCode : int {
    kErrSpanned = 10141, kErrNoInput = 11001, kErrSeek = 11008, kErrCreate = 11009, kErrWrite = 11010,
    kErrEndRead = 11011, kErrLocalRead = 11012, kErrCentralRead = 11013, kErrLocalSig = 11014,
    kErrCentralSig = 11015, kErrLocalName = 11016, kErrCentralName = 11017, kErrLocalExtra = 11018,
    kErrCentralExtra = 11019, kErrDescriptor = 11020, kErrData = 11021, kErrComment = 11022,
    kErrLocalMissing = 11026, kErrTemp = 11027, kErrNotZip = 11036, kErrZip64 = 11048
};

struct ArchiveEntry {
    CentralHeader ch;
    std::string rawName;                // central name bytes
    std::vector<uint8_t> centralExtra;
    std::string comment;                // raw bytes
    LocalHeader lh;
    std::vector<uint8_t> localExtra;
    int64_t localPos = 0;               // file position of the local header
    int64_t descriptorLength = 0;       // 0, 12 or 16
    // Local header, name, extra field, data and descriptor.
    int64_t LocalSpan() const { return lh.TotalSize() + int64_t(ch.compressedSize) + descriptorLength; }
};

class ArchiveFile {
public:
    ArchiveFile() = default;
    ~ArchiveFile();
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    // Reads the directory of the archive at path and pairs every entry with its local
    // record (by offset, and checked by name). Throws ZipFileError.
    void Open(const std::string& path);
    // Reads an archive from a buffer instead (the buffer must outlive the object).
    void OpenBuffer(const uint8_t* data, size_t size);
    // n bytes at pos; false when they are not all there.
    bool ReadAt(int64_t pos, void* buf, size_t n) const;

    std::vector<ArchiveEntry> entries;
    EndOfCentral end;
    std::string comment;        // archive comment, raw
    int64_t fileSize = 0;
    int64_t prefixSize = 0;     // bytes before the first record (a self-extractor stub)
    int64_t shift = 0;          // file position minus stored offset
    int64_t centralPos = 0;     // where the central directory really starts
    int64_t endPos = 0;
    int fd = -1;

private:
    void Read();
    const uint8_t* mem_ = nullptr;
};

// Progress of a copy: called with the bytes just copied.
using CopyProgress = void (*)(void* context, uint32_t bytes);

// The file a path names once its symbolic links are followed; the path itself when it is
// no link (or names nothing yet).
std::string ResolveLinks(const std::string& path);
// Both names reach the same file (device and inode), whatever the names.
bool SameFile(const std::string& a, const std::string& b);

// An output file written beside its target and renamed over it when complete, so that a
// failure at any point leaves the target as it was. Where the file system allows, the file
// has no name until it is complete: a write killed part way leaves nothing behind (only a
// kill between naming the finished file and the rename leaves it, complete, under its hidden
// name). A target that is a symbolic link keeps its link: the file it names is replaced.
// Small writes are gathered in memory; copies from another file stay in the kernel.
class SafeOutput {
public:
    SafeOutput() = default;
    ~SafeOutput() { Abort(); }
    SafeOutput(const SafeOutput&) = delete;
    SafeOutput& operator=(const SafeOutput&) = delete;

    // Creates the temporary file in the target's directory. Throws kErrTemp.
    void Create(const std::string& target);
    void Write(const void* data, size_t n);            // throws kErrWrite
    void WriteAt(int64_t pos, const void* data, size_t n);
    // Copies n bytes at pos of fd; a short read throws readError.
    void CopyFrom(int fd, int64_t pos, int64_t n, int readError, CopyProgress progress = nullptr, void* context = nullptr);
    void Truncate(int64_t size);
    int64_t Position() const { return pos_; }
    void SetFileTime(int64_t unixTime);                 // kept through the rename
    void SetMode(unsigned mode);                        // permissions, less the umask
    // Syncs, renames over the target and syncs the directory. Throws kErrWrite.
    void Commit();
    void Abort();
    // The file with everything written so far in it.
    int Handle() {
        Flush();
        return fd_;
    }
    // Off: every temporary gets a name from the start, as where the file system refuses
    // unnamed files.
    static void AllowUnnamed(bool on);

private:
    void NameTemporary();
    void Flush();
    void Written(int64_t end);
    std::string target_, temp_;
    int fd_ = -1;
    int64_t pos_ = 0;
    int64_t flushed_ = 0;
    int64_t mtime_ = -1;
    std::vector<uint8_t> pending_;  // bytes that go at pos_ - pending_.size()
    std::vector<uint8_t> copyBuffer_;
    bool kernelCopy_ = true;
};

// Writes one central header (46 bytes with its signature), its name, extra and comment.
void WriteCentral(SafeOutput& out, const CentralHeader& ch, const std::string& name, const std::vector<uint8_t>& extra,
                  const std::string& comment);
// Writes the end record and the comment.
void WriteEnd(SafeOutput& out, uint16_t entries, int64_t centralSize, int64_t centralOffset, const std::string& comment);
// The same two records appended to bytes in memory, for a writer that keeps what it wrote.
void StoreCentral(std::string& to, const CentralHeader& ch, const std::string& name, const std::vector<uint8_t>& extra,
                  const std::string& comment);
void StoreEnd(std::string& to, uint16_t entries, int64_t centralSize, int64_t centralOffset, const std::string& comment);
// The local header as stored (30 bytes).
void StoreLocal(const LocalHeader& lh, uint8_t* out);

}  // namespace vellicor::zip

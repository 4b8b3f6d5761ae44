// The unzip library: extracts members of a zip archive to disk or into the caller's
// buffer, driven by one parameter record and reporting through its callback.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "archives/zip/ZipDllApi.h"
#include "archives/zip/ZipRecords.h"
#include "trace/Trace.h"

#define UNZ_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace vellicor::zip;

constexpr size_t kChunk = 256 * 1024;
constexpr int kMaxPasswordQuestions = 16;
// The central directory is read whole; a larger one than this is not believed.
constexpr uint64_t kMaxCentralSize = uint64_t(256) << 20;

struct Member {
    std::string name;  // decoded, separators as stored
    CentralHeader ch;
    int64_t localPos = 0;  // absolute position of the local header
    int dirIndex = 0;
};

// Where the bytes of a member go.
class Sink {
public:
    virtual ~Sink() = default;
    // Room the sink offers for writing in place (buffer output), or null.
    virtual uint8_t* Direct(size_t& room) {
        room = 0;
        return nullptr;
    }
    virtual void Advance(size_t n) { (void)n; }
    virtual bool Write(const uint8_t* p, size_t n) = 0;
};

// The caller's buffer. It may start smaller than the member: it is grown through grow (at
// most to target bytes) as data arrives, so that memory follows the data actually unpacked
// and not the size a directory claims.
class BufferSink : public Sink {
public:
    using Grow = std::function<uint8_t*(size_t newSize)>;
    BufferSink(uint8_t* buf, size_t size, size_t target = 0, Grow grow = nullptr)
        : buf_(buf), size_(size), target_(std::max(target, size)), grow_(std::move(grow)) {}
    uint8_t* Direct(size_t& room) override {
        if (used_ == size_) GrowFor(1);
        room = size_ - used_;
        return buf_ + used_;
    }
    void Advance(size_t n) override { used_ += n; }
    bool Write(const uint8_t* p, size_t n) override {
        if (n > size_ - used_ && !GrowFor(n)) return false;  // never past the caller's buffer
        if (n) std::memcpy(buf_ + used_, p, n);
        used_ += n;
        return true;
    }
    size_t Used() const { return used_; }
    uint8_t* Buffer() const { return buf_; }
    size_t Size() const { return size_; }
    bool GrowFailed() const { return growFailed_; }

private:
    bool GrowFor(size_t n) {
        if (!grow_ || n > target_ - used_) return false;
        size_t want = std::min(target_, std::max({size_ * 2, used_ + n, size_t(1) << 20}));
        uint8_t* p = grow_(want);
        if (!p) {
            growFailed_ = true;
            return false;
        }
        buf_ = p;
        size_ = want;
        return true;
    }
    uint8_t* buf_;
    size_t size_;
    size_t target_;
    Grow grow_;
    size_t used_ = 0;
    bool growFailed_ = false;
};

// Names of the methods a reader may meet, for the message that refuses them.
std::string MethodName(uint16_t method) {
    switch (method) {
        case 1: return "1 (shrunk)";
        case 6: return "6 (imploded)";
        case 9: return "9 (deflate64)";
        case 12: return "12 (bzip2)";
        case 14: return "14 (LZMA)";
        case 93: return "93 (Zstandard)";
        case 95: return "95 (xz)";
        case 98: return "98 (PPMd)";
        default: return std::to_string(method);
    }
}

struct Bzip2Stream {
    bz_stream b{};
    bool live = false;
    bool Init() {
        live = BZ2_bzDecompressInit(&b, 0, 0) == BZ_OK;
        return live;
    }
    ~Bzip2Stream() {
        if (live) BZ2_bzDecompressEnd(&b);
    }
};

class DiscardSink : public Sink {
public:
    bool Write(const uint8_t*, size_t) override { return true; }
};

class FileSink : public Sink {
public:
    explicit FileSink(int fd) : fd_(fd) {}
    bool Write(const uint8_t* p, size_t n) override {
        while (n > 0) {
            ssize_t w = ::write(fd_, p, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }

private:
    int fd_;
};

struct InflateStream {
    z_stream z{};
    bool live = false;
    bool Init() {
        live = inflateInit2(&z, -MAX_WBITS) == Z_OK;
        return live;
    }
    ~InflateStream() {
        if (live) inflateEnd(&z);
    }
};

class Extractor {
public:
    explicit Extractor(UnZipParams* p) : p_(p) {}
    ~Extractor() {
        if (fd_ >= 0) ::close(fd_);
    }
    uint32_t Run();

private:
    enum class Result { Ok, Failed, Skipped, Cancelled };

    bool Callback(int action, int32_t err, uint32_t size, const std::string& text);
    void Message(int err, const std::string& text) { Callback(zacMessage, err, 0, text); }
    bool Skipped(const std::string& name, int skipType, int err) {
        return Callback(zacSkipped, err, static_cast<uint32_t>(skipType + 1), name);
    }
    bool ReadAt(int64_t pos, void* buf, size_t n);
    bool OpenArchive();
    bool ReadCentral(std::vector<Member>& members);
    bool Selected(const Member& m) const;
    Result ExtractMember(const Member& m, Sink& sink, bool& crcError);
    Result Unpack(const Member& m, Sink& sink, bool& crcError, uint32_t& foundCrc);
    Result ObtainPassword(const Member& m, const uint8_t header[12], ZipCrypto& crypto);
    bool AnswerOpens(const Member& m, const std::string& answer);
    uint32_t RunBufferToBuffer();
    uint32_t RunToBuffer(const std::vector<Member>* members);
    uint32_t RunToDisk(const std::vector<Member>& members);
    Result ToDisk(const Member& m);
    std::string TargetPath(const std::string& name, bool& isDir) const;

    UnZipParams* p_;
    int fd_ = -1;
    int64_t fileSize_ = 0;
    bool cancelled_ = false;
    bool noMoreQuestions_ = false;
    bool trial_ = false;  // a trial unpack of an answer: nobody is told anything
    std::string password_;
    std::vector<uint8_t> chunk_;
};

bool Extractor::Callback(int action, int32_t err, uint32_t size, const std::string& text) {
    VTRACE("Extractor::Callback");
    if (cancelled_) return true;
    if (trial_ || !p_->fZCallback) return false;
    ZCallBackStruct cb;
    std::memset(&cb, 0, sizeof cb);
    cb.Handle = p_->fHandle;
    cb.Caller = p_->fCaller;
    cb.Version = ZIPDLL_VERSION;
    cb.ActionCode = action;
    cb.ErrorCode = err;
    cb.FileSize = size;
    std::strncpy(cb.FileNameOrMsg, text.c_str(), ZCB_TEXT_MAX);
    if (p_->fZCallback(&cb) != 0) cancelled_ = true;
    return cancelled_;
}

bool Extractor::ReadAt(int64_t pos, void* buf, size_t n) {
    VTRACE("Extractor::ReadAt");
    if (pos < 0 || n > static_cast<uint64_t>(fileSize_) || pos > fileSize_ - static_cast<int64_t>(n)) return false;
    auto* d = static_cast<uint8_t*>(buf);
    while (n > 0) {
        ssize_t r = ::pread(fd_, d, n, static_cast<off_t>(pos));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        d += r;
        pos += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool Extractor::OpenArchive() {
    VTRACE("Extractor::OpenArchive");
    if (!p_->fZipFN || !*p_->fZipFN) {
        Message(UZ_PARAM, "No archive name given");
        return false;
    }
    fd_ = ::open(p_->fZipFN, O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        Message(UZ_NOZIP, std::string("Archive could not be opened: ") + p_->fZipFN);
        return false;
    }
    fileSize_ = st.st_size;
    return true;
}

bool Extractor::ReadCentral(std::vector<Member>& members) {
    VTRACE("Extractor::ReadCentral");
    size_t tailSize = static_cast<size_t>(std::min<int64_t>(fileSize_, kEndRecordSize + kMaxCommentLength));
    std::vector<uint8_t> tail(tailSize);
    int64_t tailPos = fileSize_ - static_cast<int64_t>(tailSize);
    if (tailSize < size_t(kEndRecordSize) || !ReadAt(tailPos, tail.data(), tailSize)) {
        Message(UZ_NOZIP, "This archive is not a valid zip archive");
        return false;
    }
    int64_t at = FindEndRecord(tail.data(), tailSize);
    EndOfCentral end;
    if (at < 0 || !end.Parse(tail.data() + at, tailSize - static_cast<size_t>(at))) {
        Message(UZ_NOZIP, "This archive is not a valid zip archive");
        return false;
    }
    if (end.NeedsZip64() || HasZip64Locator(tail.data(), static_cast<size_t>(at))) {
        Message(UZ_UNSUPPORTED, "Zip64 archives are not supported");
        return false;
    }
    if (end.thisDisk != 0 || end.centralDisk != 0) {
        Message(UZ_UNSUPPORTED, "Multi-disk archives must be joined before extraction");
        return false;
    }
    int64_t endPos = tailPos + at;
    int64_t centralStart = endPos - static_cast<int64_t>(end.centralSize);
    if (centralStart < 0 || end.centralSize > kMaxCentralSize) {
        Message(UZ_FORMAT, "The central directory lies outside the archive");
        return false;
    }
    int64_t shift = centralStart - static_cast<int64_t>(end.centralOffset);
    std::vector<uint8_t> dir;
    try {
        dir.resize(end.centralSize);
    } catch (const std::bad_alloc&) {
        Message(UZ_MEMORY, "Not enough memory for the central directory");
        return false;
    }
    if (!ReadAt(centralStart, dir.data(), dir.size())) {
        Message(UZ_FORMAT, "Error while reading the central directory");
        return false;
    }
    size_t pos = 0;
    members.reserve(std::min<size_t>(end.totalEntries, dir.size() / kCentralHeaderSize));
    for (int i = 0; i < end.totalEntries; ++i) {
        Member m;
        if (dir.size() - pos < size_t(kCentralHeaderSize) || !m.ch.Parse(dir.data() + pos, dir.size() - pos)) {
            Message(UZ_FORMAT, "A central header signature is wrong");
            return false;
        }
        size_t var = size_t(m.ch.nameLength) + m.ch.extraLength + m.ch.commentLength;
        if (dir.size() - pos - kCentralHeaderSize < var) {
            Message(UZ_FORMAT, "Error while reading a central header");
            return false;
        }
        std::string_view raw(reinterpret_cast<const char*>(dir.data() + pos + kCentralHeaderSize), m.ch.nameLength);
        m.name = DecodeStoredName(raw, p_->fWantedCodePage, m.ch.versionMadeBy, m.ch.flags);
        m.localPos = static_cast<int64_t>(m.ch.localHeaderOffset) + shift;
        m.dirIndex = i;
        pos += kCentralHeaderSize + var;
        if (m.ch.NeedsZip64()) {
            Message(UZ_UNSUPPORTED, "Zip64 members are not supported: " + m.name);
            return false;
        }
        members.push_back(std::move(m));
    }
    return true;
}

bool Extractor::Selected(const Member& m) const {
    VTRACE("Extractor::Selected");
    if (p_->fArgc <= 0 || !p_->fUFDS) return true;
    for (int i = 0; i < p_->fArgc; ++i) {
        const char* spec = p_->fUFDS[i].fFileSpec;
        if (spec && WildcardMatch(spec, m.name)) return true;
    }
    return false;
}

Extractor::Result Extractor::ObtainPassword(const Member& m, const uint8_t header[12], ZipCrypto& crypto) {
    VTRACE("Extractor::ObtainPassword");
    uint16_t modTime = m.ch.modTime;
    if (!password_.empty()) {
        crypto.Init(password_);
        if (crypto.CheckHeader(header, m.ch.flags, m.ch.crc32, modTime)) return Result::Ok;
    }
    uint32_t remaining = p_->fVersion >= ZIPDLL_STREAM_VERSION ? p_->fPwdReqCount : 1;
    int asked = 0;
    std::string passedCheckOnly;
    while (remaining > 0 && asked < kMaxPasswordQuestions && !noMoreQuestions_ && p_->fZCallback) {
        ZCallBackStruct cb;
        std::memset(&cb, 0, sizeof cb);
        cb.Caller = p_->fCaller;
        cb.Version = ZIPDLL_VERSION;
        cb.ActionCode = zacPassword;
        cb.FileSize = remaining;
        std::strncpy(cb.FileNameOrMsg, m.name.c_str(), ZCB_TEXT_MAX);
        ++asked;
        if (p_->fZCallback(&cb) != 0) {
            cancelled_ = true;
            return Result::Cancelled;
        }
        if (cb.ActionCode == 0) noMoreQuestions_ = true;  // cancel all
        if (cb.ErrorCode != 1) break;
        cb.FileNameOrMsg[ZCB_PASSWORD_MAX] = '\0';
        std::string answer = cb.FileNameOrMsg;
        crypto.Init(answer);
        if (crypto.CheckHeader(header, m.ch.flags, m.ch.crc32, modTime)) {
            // The same answer twice is taken as meant: damaged data are then reported as such.
            if (answer == passedCheckOnly || AnswerOpens(m, answer)) {
                password_ = answer;
                return Result::Ok;
            }
            passedCheckOnly = answer;
        }
        remaining = std::min<uint32_t>(cb.FileSize, 15);
        if (remaining > 0) --remaining;
    }
    return Result::Skipped;
}

// The header's check byte lets a wrong answer through once in 256: the data decide.
bool Extractor::AnswerOpens(const Member& m, const std::string& answer) {
    VTRACE("Extractor::AnswerOpens");
    std::string saved = std::move(password_);
    password_ = answer;
    trial_ = true;
    DiscardSink discard;
    bool crcError = false;
    uint32_t found = 0;
    Result r = Unpack(m, discard, crcError, found);
    trial_ = false;
    password_ = std::move(saved);
    return r == Result::Ok && !crcError;
}

Extractor::Result Extractor::Unpack(const Member& m, Sink& sink, bool& crcError, uint32_t& foundCrc) {
    VTRACE("Extractor::Unpack");
    crcError = false;
    uint8_t lh[kLocalHeaderSize];
    LocalHeader local;
    if (!ReadAt(m.localPos, lh, sizeof lh) || !local.Parse(lh, sizeof lh)) {
        Message(UZ_FORMAT, "A local header signature is wrong: " + m.name);
        Skipped(m.name, uzsZipFileFormatWrong, UZ_FORMAT);
        return Result::Failed;
    }
    int64_t dataPos = m.localPos + local.TotalSize();
    int64_t remaining = m.ch.compressedSize;
    if (dataPos > fileSize_ || remaining > fileSize_ - dataPos) {
        Message(UZ_FORMAT, "Member data runs past the end of the archive: " + m.name);
        Skipped(m.name, uzsZipFileFormatWrong, UZ_FORMAT);
        return Result::Failed;
    }
    if (m.ch.method == kMethodAes) {
        Message(UZ_UNSUPPORTED, "AES encryption is not supported: " + m.name);
        Skipped(m.name, uzsNoEncryption, UZ_UNSUPPORTED);
        return Result::Skipped;
    }
    if (m.ch.method != kMethodStored && m.ch.method != kMethodDeflated && m.ch.method != kMethodBzip2) {
        Message(UZ_UNSUPPORTED, "Compression method " + MethodName(m.ch.method) + " is not supported: " + m.name);
        Skipped(m.name, uzsCompressionUnknown, UZ_UNSUPPORTED);
        return Result::Skipped;
    }
    bool encrypted = (m.ch.flags & kFlagEncrypted) != 0;
    ZipCrypto crypto;
    if (encrypted) {
        if (m.ch.flags & kFlagStrongEncryption) {
            Message(UZ_UNSUPPORTED, "This kind of encryption is not supported: " + m.name);
            Skipped(m.name, uzsNoEncryption, UZ_UNSUPPORTED);
            return Result::Skipped;
        }
        uint8_t header[12];
        if (remaining < 12 || !ReadAt(dataPos, header, 12)) {
            Message(UZ_FORMAT, "Encryption header missing: " + m.name);
            Skipped(m.name, uzsZipFileFormatWrong, UZ_FORMAT);
            return Result::Failed;
        }
        Result r = ObtainPassword(m, header, crypto);
        if (r == Result::Cancelled) return r;
        if (r != Result::Ok) {
            Skipped(m.name, uzsBadPassword, UZ_PASSWORD);
            return Result::Skipped;
        }
        dataPos += 12;
        remaining -= 12;
    }
    if (Callback(zacItem, 0, m.ch.uncompressedSize, m.name)) return Result::Cancelled;

    uint32_t crc = 0;
    uint64_t produced = 0;
    bool tooLong = false;
    if (chunk_.empty()) chunk_.resize(kChunk);
    if (m.ch.method == kMethodBzip2) {
        Bzip2Stream bs;
        if (!bs.Init()) {
            Message(UZ_MEMORY, "Not enough memory to unpack " + m.name);
            return Result::Failed;
        }
        std::vector<uint8_t> in(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(remaining, 1), kChunk)));
        int br = BZ_OK;
        while (br != BZ_STREAM_END) {
            if (bs.b.avail_in == 0 && remaining > 0) {
                size_t n = static_cast<size_t>(std::min<int64_t>(remaining, static_cast<int64_t>(in.size())));
                if (!ReadAt(dataPos, in.data(), n)) break;
                if (encrypted) crypto.Decrypt(in.data(), n);
                dataPos += static_cast<int64_t>(n);
                remaining -= static_cast<int64_t>(n);
                bs.b.next_in = reinterpret_cast<char*>(in.data());
                bs.b.avail_in = static_cast<unsigned>(n);
            }
            bs.b.next_out = reinterpret_cast<char*>(chunk_.data());
            bs.b.avail_out = static_cast<unsigned>(chunk_.size());
            bool hadInput = bs.b.avail_in > 0;
            br = BZ2_bzDecompress(&bs.b);
            size_t got = chunk_.size() - bs.b.avail_out;
            if (br != BZ_OK && br != BZ_STREAM_END) break;
            if (got && !sink.Write(chunk_.data(), got)) {
                if (cancelled_) return Result::Cancelled;  // the caller said stop when asked for room
                if (BufferSink* b = dynamic_cast<BufferSink*>(&sink); b && b->GrowFailed()) {
                    Message(UZ_MEMORY, "Not enough memory for " + m.name);
                    return Result::Failed;
                }
                if (!dynamic_cast<BufferSink*>(&sink)) {
                    Message(UZ_WRITE, "Write error: " + m.name);
                    return Result::Failed;
                }
                tooLong = true;
                break;
            }
            crc = Crc32(crc, chunk_.data(), got);
            produced += got;
            if (got && Callback(zacProgress, 0, static_cast<uint32_t>(got), "")) return Result::Cancelled;
            if (got == 0 && !hadInput && remaining <= 0) break;  // the data ended before the stream
        }
        if (br != BZ_STREAM_END && !tooLong) {
            Message(UZ_CORRUPT, "Damaged compressed data: " + m.name);
            Skipped(m.name, uzsGeneralExtractError, UZ_CORRUPT);
            return Result::Failed;
        }
    } else if (m.ch.method == kMethodStored) {
        while (remaining > 0) {
            size_t room = 0;
            uint8_t* direct = sink.Direct(room);
            size_t n = static_cast<size_t>(std::min<int64_t>(remaining, kChunk));
            uint8_t* dst = chunk_.data();
            if (direct) {
                if (room == 0) {
                    if (cancelled_) return Result::Cancelled;  // the caller said stop when asked for room
                    if (auto* b = dynamic_cast<BufferSink*>(&sink); b && b->GrowFailed()) {
                        Message(UZ_MEMORY, "Not enough memory for " + m.name);
                        return Result::Failed;
                    }
                    tooLong = true;
                    break;
                }
                n = std::min(n, room);
                dst = direct;
            }
            if (!ReadAt(dataPos, dst, n)) break;
            if (encrypted) crypto.Decrypt(dst, n);
            crc = Crc32(crc, dst, n);
            if (direct) sink.Advance(n);
            else if (!sink.Write(dst, n)) {
                Message(UZ_WRITE, "Write error: " + m.name);
                return Result::Failed;
            }
            dataPos += static_cast<int64_t>(n);
            remaining -= static_cast<int64_t>(n);
            produced += n;
            if (Callback(zacProgress, 0, static_cast<uint32_t>(n), "")) return Result::Cancelled;
        }
    } else {
        InflateStream zs;
        if (!zs.Init()) {
            Message(UZ_MEMORY, "Not enough memory to inflate " + m.name);
            return Result::Failed;
        }
        std::vector<uint8_t> out;
        int zr = Z_OK;
        std::vector<uint8_t> in(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(remaining, 1), kChunk)));
        while (zr != Z_STREAM_END) {
            if (zs.z.avail_in == 0) {
                if (remaining <= 0) break;  // the data ended before the deflate stream
                size_t n = static_cast<size_t>(std::min<int64_t>(remaining, static_cast<int64_t>(in.size())));
                if (!ReadAt(dataPos, in.data(), n)) break;
                if (encrypted) crypto.Decrypt(in.data(), n);
                dataPos += static_cast<int64_t>(n);
                remaining -= static_cast<int64_t>(n);
                zs.z.next_in = in.data();
                zs.z.avail_in = static_cast<uInt>(n);
            }
            size_t room = 0;
            uint8_t* direct = sink.Direct(room);
            uint8_t* dst;
            if (direct) {
                if (room == 0) {
                    if (cancelled_) return Result::Cancelled;  // the caller said stop when asked for room
                    if (auto* b = dynamic_cast<BufferSink*>(&sink); b && b->GrowFailed()) {
                        Message(UZ_MEMORY, "Not enough memory for " + m.name);
                        return Result::Failed;
                    }
                    // The buffer is full: anything more is data the directory did not announce.
                    uint8_t probe;
                    zs.z.next_out = &probe;
                    zs.z.avail_out = 1;
                    zr = inflate(&zs.z, Z_NO_FLUSH);
                    if (zs.z.avail_out == 0) {
                        tooLong = true;
                        break;
                    }
                    if (zr == Z_STREAM_END) break;
                    if (zr == Z_OK || (zr == Z_BUF_ERROR && zs.z.avail_in == 0 && remaining > 0)) continue;
                    break;
                }
                dst = direct;
                // A member that inflates far (a page of one colour) would fill the whole
                // buffer in one call: bounded, the caller hears of progress every 8 MB.
                room = std::min<size_t>(room, size_t(8) << 20);
            } else {
                if (out.empty()) out.resize(kChunk);
                dst = out.data();
                room = out.size();
            }
            zs.z.next_out = dst;
            zs.z.avail_out = static_cast<uInt>(room);
            zr = inflate(&zs.z, Z_NO_FLUSH);
            size_t got = room - zs.z.avail_out;
            if (zr != Z_OK && zr != Z_STREAM_END && !(zr == Z_BUF_ERROR && got > 0)) break;
            crc = Crc32(crc, dst, got);
            produced += got;
            if (direct) sink.Advance(got);
            else if (got && !sink.Write(dst, got)) {
                Message(UZ_WRITE, "Write error: " + m.name);
                return Result::Failed;
            }
            if (got && Callback(zacProgress, 0, static_cast<uint32_t>(got), "")) return Result::Cancelled;
            if (zr == Z_BUF_ERROR && got == 0) break;
        }
        if (zr != Z_STREAM_END && !tooLong) {
            Message(UZ_CORRUPT, "Damaged compressed data: " + m.name);
            Skipped(m.name, uzsGeneralExtractError, UZ_CORRUPT);
            return Result::Failed;
        }
    }
    if (tooLong || produced != m.ch.uncompressedSize) {
        Message(UZ_CORRUPT, "The size of " + m.name + " differs from the size in the directory");
        Skipped(m.name, uzsGeneralExtractError, UZ_CORRUPT);
        return Result::Failed;
    }
    if (m.ch.flags & kFlagDescriptor) {
        // The descriptor must agree with the directory when it is there at all.
        uint8_t dd[16];
        int64_t ddPos = m.localPos + local.TotalSize() + m.ch.compressedSize;
        size_t avail = static_cast<size_t>(std::min<int64_t>(16, std::max<int64_t>(0, fileSize_ - ddPos)));
        DataDescriptor desc;
        if (avail >= 12 && ReadAt(ddPos, dd, avail) && ParseDataDescriptor(dd, avail, m.ch.crc32, desc) &&
            (desc.crc32 != m.ch.crc32 || desc.compressedSize != m.ch.compressedSize))
            Message(UZ_WARN, "The data descriptor differs from the central directory: " + m.name);
    }
    foundCrc = crc;
    if (crc != m.ch.crc32) crcError = true;
    return Result::Ok;
}

Extractor::Result Extractor::ExtractMember(const Member& m, Sink& sink, bool& crcError) {
    VTRACE("Extractor::ExtractMember");
    uint32_t found = 0;
    Result r = Unpack(m, sink, crcError, found);
    if (r != Result::Ok || !crcError) return r;
    // CRC error: the callback decides whether the data are kept (2: nobody answered).
    ZCallBackStruct cb;
    std::memset(&cb, 0, sizeof cb);
    cb.Caller = p_->fCaller;
    cb.Version = ZIPDLL_VERSION;
    cb.ActionCode = zacCRCError;
    cb.ErrorCode = static_cast<int32_t>(found);  // found in the error word, expected in the size word
    cb.FileSize = m.ch.crc32;
    std::strncpy(cb.FileNameOrMsg, m.name.c_str(), ZCB_TEXT_MAX);
    if (p_->fZCallback && p_->fZCallback(&cb) != 0) {
        cancelled_ = true;
        return Result::Cancelled;
    }
    if (cb.ErrorCode == 1) return Result::Ok;  // keep the data all the same
    Skipped(m.name, uzsGeneralExtractError, UZ_CRC);
    return Result::Failed;
}

uint32_t Extractor::RunBufferToBuffer() {
    VTRACE("Extractor::RunBufferToBuffer");
    const auto* in = static_cast<const uint8_t*>(p_->fInStream);
    uint32_t inSize = p_->fInStreamSize;
    auto* out = static_cast<uint8_t*>(p_->fOutStream);
    uint32_t outSize = p_->fOutStreamSize;
    if (!in || inSize < ZIPDLL_STREAM_HEADER || (!out && outSize > 0)) {
        Message(UZ_PARAM, "The input buffer holds no compressed data");
        return 0;
    }
    uint16_t method = Get16(in);
    uint32_t expectedCrc = Get32(in + 2);
    in += ZIPDLL_STREAM_HEADER;
    inSize -= ZIPDLL_STREAM_HEADER;
    uint64_t produced = 0;
    if (method == kMethodStored) {
        if (inSize != outSize) {
            Message(UZ_CORRUPT, "The stored data do not have the size asked for");
            return 0;
        }
        if (outSize) std::memcpy(out, in, outSize);
        produced = outSize;
    } else if (method == kMethodDeflated) {
        InflateStream zs;
        if (!zs.Init()) {
            Message(UZ_MEMORY, "Not enough memory to inflate");
            return 0;
        }
        uint8_t probe;
        zs.z.next_in = const_cast<Bytef*>(in);
        zs.z.avail_in = inSize;
        zs.z.next_out = outSize ? out : &probe;
        zs.z.avail_out = outSize;
        int zr = inflate(&zs.z, Z_FINISH);
        produced = outSize - zs.z.avail_out;
        if (zr != Z_STREAM_END) {
            Message(UZ_CORRUPT, "Damaged or longer compressed data than asked for");
            return 0;
        }
    } else {
        Message(UZ_UNSUPPORTED, "Compression method " + std::to_string(method) + " is not supported");
        return 0;
    }
    if (produced != outSize) {
        Message(UZ_CORRUPT, "The data do not have the size asked for");
        return 0;
    }
    if (Crc32(0, out, outSize) != expectedCrc) {
        Message(UZ_CRC, "CRC error in the buffer");
        return 0;
    }
    return 1;
}

uint32_t Extractor::RunToBuffer(const std::vector<Member>* members) {
    VTRACE("Extractor::RunToBuffer");
    Member m;
    if (members) {
        const Member* found = nullptr;
        const char* spec = p_->fArgc > 0 && p_->fUFDS ? p_->fUFDS[0].fFileSpec : nullptr;
        for (const auto& e : *members)
            if (!spec || WildcardMatch(spec, e.name)) {
                found = &e;
                break;
            }
        if (!found) {
            Message(UZ_NOTFOUND, std::string("No member matches ") + (spec ? spec : ""));
            return 0;
        }
        m = *found;
    } else {
        const UnzFileData& d = p_->fUFDS[0];
        m.name = d.fFileSpec ? d.fFileSpec : "";
        m.ch.crc32 = d.fCRC32;
        m.ch.compressedSize = d.fCompressedSize;
        m.ch.uncompressedSize = d.fUncompressedSize;
        m.ch.method = d.fMethod;
        m.ch.flags = d.fFlags;
        m.ch.modTime = d.fModTime;
        m.ch.modDate = d.fModDate;
        m.ch.versionMadeBy = d.fVersionMadeBy;
        m.localPos = d.fLocalHeaderPos;
    }
    // A size the member's data cannot unpack to is a damaged or hostile directory.
    // (bzip2 has no useful bound: runs of one byte shrink almost without limit.)
    uint64_t most = m.ch.method == kMethodStored ? m.ch.compressedSize
                    : m.ch.method == kMethodBzip2 ? UINT32_MAX
                                                  : uint64_t(m.ch.compressedSize) * 1032 + 64;
    if (m.ch.uncompressedSize > most || m.ch.compressedSize > static_cast<uint64_t>(fileSize_)) {
        Message(UZ_FORMAT, "The sizes in the directory do not fit the member: " + m.name);
        return 0;
    }
    // Asks the caller for an output buffer of the given size (its contents kept).
    auto askBuffer = [this](size_t size) -> uint8_t* {
        ZCallBackStruct cb;
        std::memset(&cb, 0, sizeof cb);
        cb.Caller = p_->fCaller;
        cb.Version = ZIPDLL_VERSION;
        cb.ActionCode = zacStream;
        cb.FileSize = static_cast<uint32_t>(size);
        if (!p_->fZCallback) return nullptr;
        if (p_->fZCallback(&cb) != 0) {
            cancelled_ = true;
            return nullptr;
        }
        if ((!cb.Buffer && size > 0) || cb.FileSize != size) return nullptr;
        p_->fOutStream = cb.Buffer;
        p_->fOutStreamSize = cb.FileSize;
        return static_cast<uint8_t*>(cb.Buffer);
    };
    // A buffer larger than the member is cut to it; a smaller one grows as the data come.
    if (m.ch.uncompressedSize < p_->fOutStreamSize && !askBuffer(m.ch.uncompressedSize) && m.ch.uncompressedSize > 0) {
        if (!cancelled_) Message(UZ_MEMORY, "No output buffer of the member's size: " + m.name);
        return 0;
    }
    if (!p_->fOutStream && p_->fOutStreamSize > 0) return 0;
    BufferSink sink(static_cast<uint8_t*>(p_->fOutStream), p_->fOutStreamSize, m.ch.uncompressedSize, askBuffer);
    bool crcError = false;
    Result r = ExtractMember(m, sink, crcError);
    Callback(zacEndOfBatch, 0, 0, "");
    return r == Result::Ok && sink.Used() == m.ch.uncompressedSize && sink.Size() == sink.Used() &&
                   p_->fOutStreamSize == sink.Size()
               ? 1
               : 0;
}

std::string Extractor::TargetPath(const std::string& name, bool& isDir) const {
    VTRACE("Extractor::TargetPath");
    std::string n = name;
    std::replace(n.begin(), n.end(), '\\', '/');
    isDir = !n.empty() && n.back() == '/';
    if (n.size() >= 2 && n[1] == ':') n.erase(0, 2);  // a drive letter
    // Components: "." and ".." and empty ones are dropped so nothing lands outside the base.
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= n.size()) {
        size_t j = n.find('/', i);
        if (j == std::string::npos) j = n.size();
        std::string part = n.substr(i, j - i);
        if (!part.empty() && part != "." && part != "..") parts.push_back(part);
        i = j + 1;
    }
    if (parts.empty()) return {};
    std::string base = p_->fExtractDir && *p_->fExtractDir ? p_->fExtractDir : ".";
    if (base.back() != '/') base += '/';
    if (!p_->fDirectories) return isDir ? std::string() : base + parts.back();
    std::string path = base;
    for (size_t k = 0; k < parts.size(); ++k) path += (k ? "/" : "") + parts[k];
    return path;
}

static bool MakeDirs(const std::string& dir) {
    VTRACE("MakeDirs");
    std::string cur;
    size_t i = 0;
    while (i < dir.size()) {
        size_t j = dir.find('/', i);
        if (j == std::string::npos) j = dir.size();
        cur = dir.substr(0, j);
        if (!cur.empty()) {
            struct stat st {};
            if (::stat(cur.c_str(), &st) != 0) {
                if (::mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST) return false;
            } else if (!S_ISDIR(st.st_mode)) {
                return false;
            }
        }
        i = j + 1;
    }
    return true;
}

Extractor::Result Extractor::ToDisk(const Member& m) {
    VTRACE("Extractor::ToDisk");
    bool isDir = false;
    std::string path = TargetPath(m.name, isDir);
    if (path.empty()) return Result::Skipped;
    if (p_->fTest) {
        if (isDir) return Result::Skipped;
        DiscardSink sink;
        bool crcError = false;
        return ExtractMember(m, sink, crcError);
    }
    if (isDir) {
        if (!MakeDirs(path)) Message(UZ_WRITE, "Directory could not be created: " + path);
        return Result::Skipped;
    }
    time_t memberTime = DosDateTimeToUnix(m.ch.modDate, m.ch.modTime);
    struct stat st {};
    bool exists = ::lstat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        Message(UZ_WRITE, "Not a file: " + path);
        Skipped(m.name, uzsFileExists, UZ_WRITE);
        return Result::Skipped;
    }
    bool older = exists && st.st_mtime < memberTime;
    if (p_->fFreshen && !exists) {
        Skipped(m.name, uzsOnFreshen, 0);
        return Result::Skipped;
    }
    if (exists) {
        if (p_->fUpdate || p_->fFreshen) {
            if (!older) {
                Skipped(m.name, uzsOnFreshen, 0);
                return Result::Skipped;
            }
        } else if (!p_->fOverwrite) {
            ZCallBackStruct cb;
            std::memset(&cb, 0, sizeof cb);
            cb.Caller = p_->fCaller;
            cb.Version = ZIPDLL_VERSION;
            cb.ActionCode = zacOverwrite;
            cb.ErrorCode = (m.dirIndex & 0xFFFF) | (older ? 0x10000 : 0);
            cb.FileSize = 0;  // not overwritten unless someone says so
            std::strncpy(cb.FileNameOrMsg, m.name.c_str(), ZCB_TEXT_MAX);
            if (p_->fZCallback && p_->fZCallback(&cb) != 0) {
                cancelled_ = true;
                return Result::Cancelled;
            }
            if (cb.FileSize == 0) {
                Skipped(m.name, uzsNoOverwrite, 0);
                return Result::Skipped;
            }
        }
    }
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash))) {
        Message(UZ_WRITE, "Directory could not be created for " + path);
        Skipped(m.name, uzsGeneralExtractError, UZ_WRITE);
        return Result::Failed;
    }
    // Written beside the target and renamed over it only when complete: a failed
    // extraction never destroys the file that was there.
    std::string temp = path + ".vzXXXXXX";
    int out = ::mkstemp(temp.data());
    if (out < 0) {
        Message(UZ_WRITE, "Output file could not be created: " + path);
        Skipped(m.name, uzsGeneralExtractError, UZ_WRITE);
        return Result::Failed;
    }
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(out, 0666 & ~mask);
    FileSink sink(out);
    bool crcError = false;
    Result r = ExtractMember(m, sink, crcError);
    bool closed = ::close(out) == 0;
    if (r == Result::Ok && closed) {
        struct timespec times[2];
        times[0].tv_sec = times[1].tv_sec = memberTime;
        times[0].tv_nsec = times[1].tv_nsec = 0;
        ::utimensat(AT_FDCWD, temp.c_str(), times, 0);
        if (::rename(temp.c_str(), path.c_str()) == 0) return Result::Ok;
        Message(UZ_WRITE, "Output file could not be written: " + path);
        r = Result::Failed;
    }
    ::unlink(temp.c_str());
    return r == Result::Ok ? Result::Failed : r;
}

uint32_t Extractor::RunToDisk(const std::vector<Member>& members) {
    VTRACE("Extractor::RunToDisk");
    std::vector<const Member*> chosen;
    uint64_t total = 0;
    for (const auto& m : members)
        if (Selected(m)) {
            chosen.push_back(&m);
            total += m.ch.uncompressedSize;
        }
    if (Callback(zacCount, 0, static_cast<uint32_t>(chosen.size()), "")) return 0;
    if (Callback(zacSize, 0, static_cast<uint32_t>(std::min<uint64_t>(total, 0xFFFFFFFFu)), "")) return 0;
    uint32_t count = 0;
    for (const Member* m : chosen) {
        Result r = ToDisk(*m);
        if (r == Result::Ok) ++count;
        if (r == Result::Cancelled || cancelled_) break;
    }
    Callback(zacEndOfBatch, 0, 0, "");
    return count;
}

uint32_t Extractor::Run() {
    VTRACE("Extractor::Run");
    if (p_->fUseInStream) return p_->fUseOutStream ? RunBufferToBuffer() : 0;
    if (p_->fPassword) password_.assign(p_->fPassword, strnlen(p_->fPassword, ZCB_PASSWORD_MAX));
    if (!OpenArchive()) return 0;
    if (p_->fUseOutStream) {
        if (p_->fArgc >= 1 && p_->fUFDS && p_->fUFDS[0].fHasPosition) return RunToBuffer(nullptr);
        std::vector<Member> members;
        if (!ReadCentral(members)) return 0;
        return RunToBuffer(&members);
    }
    std::vector<Member> members;
    if (!ReadCentral(members)) return 0;
    return RunToDisk(members);
}

}  // namespace

UNZ_EXPORT uint32_t UnzDllExec(UnZipParams* params) {
    VTRACE("UnzDllExec");
    if (!params || params->fSeven != ZIPDLL_CHECK_WORD) return 0;
    try {
        Extractor e(params);
        return e.Run();
    } catch (...) {  // nothing may cross the library boundary
        return 0;
    }
}

UNZ_EXPORT uint32_t GetUnzDllVersion() {
    VTRACE("GetUnzDllVersion");
    return ZIPDLL_VERSION;
}

UNZ_EXPORT uint32_t GetUnzDllPrivVersion() {
    VTRACE("GetUnzDllPrivVersion");
    return ZIPDLL_VERSION;
}

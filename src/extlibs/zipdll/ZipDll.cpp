// The zip library: adds files or a buffer to an archive, deletes entries, or packs a
// buffer into a buffer, driven by one parameter record and reporting through its callback.
// An archive is always rewritten into a new file beside it that replaces it only when
// complete and synced.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipDllAddApi.h"
#include "archives/zip/ZipRecords.h"
#include "archives/zip/ZipWriteSupport.h"
#include "platform/Text.h"
#include "trace/Trace.h"

#define ZIP_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace vellicor::zip;

constexpr size_t kChunk = 256 * 1024;
// A file up to this size is read once into memory: its CRC, deflating and, when deflating
// does not shrink it, storing it all use that one copy.
constexpr int64_t kWholeFile = 16 << 20;
constexpr uint16_t kMadeByUnix = (3 << 8) | 30;
constexpr uint16_t kMadeByDos = (0 << 8) | 20;

struct FileSpec {
    std::string text, password, rootDir;
    bool encrypt = false, recurse = false;
};

// A file (or the caller's buffer) to be added.
struct Candidate {
    std::string path;  // empty for the buffer
    std::string name;  // stored name, "/" separators, directories end in "/"
    bool isDir = false;
    int64_t size = 0;
    uint32_t mode = 0;
    uint16_t dosDate = 0, dosTime = 0;
    const FileSpec* fileSpec = nullptr;
};

// Where the bytes of a new entry come from. A file too large to be held whole is read again
// to store what did not shrink, and read twice when encrypting (the CRC goes first).
class Source {
public:
    virtual ~Source() = default;
    virtual bool Rewind() = 0;
    virtual ssize_t Read(uint8_t* buf, size_t n) = 0;  // -1 on error
    // All the bytes when they are in memory (and cannot change), else nullptr.
    virtual const uint8_t* Whole(size_t& n) const {
        n = 0;
        return nullptr;
    }
};

class FileSource : public Source {
public:
    explicit FileSource(int fd) : fd_(fd) {}
    ~FileSource() override { ::close(fd_); }
    bool Rewind() override { return ::lseek(fd_, 0, SEEK_SET) == 0; }
    ssize_t Read(uint8_t* buf, size_t n) override {
        ssize_t r;
        do {
            r = ::read(fd_, buf, n);
        } while (r < 0 && errno == EINTR);
        return r;
    }

private:
    int fd_;
};

class MemorySource : public Source {
public:
    MemorySource(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool Rewind() override {
        pos_ = 0;
        return true;
    }
    ssize_t Read(uint8_t* buf, size_t n) override {
        size_t k = std::min(n, n_ - pos_);
        if (k) std::memcpy(buf, p_ + pos_, k);
        pos_ += k;
        return static_cast<ssize_t>(k);
    }
    const uint8_t* Whole(size_t& n) const override {
        n = n_;
        return p_;
    }

private:
    const uint8_t* p_;
    size_t n_, pos_ = 0;
};

struct Cancelled {};

std::string Slashes(std::string s) {
    for (char& c : s)
        if (c == '\\') c = '/';
    return s;
}

bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// Removes ".", empty and leading ".." components: a stored name never climbs out.
std::string CleanName(const std::string& name) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= name.size()) {
        size_t j = name.find('/', i);
        if (j == std::string::npos) j = name.size();
        std::string part = name.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string r;
    for (const auto& p : parts) r += (r.empty() ? "" : "/") + p;
    return r;
}

// An 8.3 upper-case form of every component.
std::string DosName(const std::string& name) {
    std::string r, part;
    auto flush = [&](bool last) {
        std::string base = part, ext;
        size_t dot = part.rfind('.');
        if (dot != std::string::npos && dot > 0) {
            base = part.substr(0, dot);
            ext = part.substr(dot + 1);
        }
        std::string b, e;
        for (char c : base)
            if (c != '.' && c != ' ' && b.size() < 8) b += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (char c : ext)
            if (c != ' ' && e.size() < 3) e += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (b.empty()) b = "_";
        r += b + (e.empty() ? "" : "." + e) + (last ? "" : "/");
        part.clear();
    };
    for (char c : name) {
        if (c == '/') flush(false);
        else part += c;
    }
    if (!part.empty()) flush(true);
    return r;
}

bool StoredSuffix(const std::string& list, const std::string& name) {
    std::string ext = vellicor::LowerCase(vellicor::ExtractFileExt(name));
    if (ext.empty() || list.empty()) return false;
    size_t i = 0;
    while (i <= list.size()) {
        size_t j = list.find(':', i);
        if (j == std::string::npos) j = list.size();
        if (vellicor::LowerCase(list.substr(i, j - i)) == ext) return true;
        i = j + 1;
    }
    return false;
}

uint32_t DosStamp(uint16_t date, uint16_t time) { return (uint32_t(date) << 16) | time; }

class Zipper {
public:
    explicit Zipper(ZipParams* p) : p_(p) {}
    ~Zipper() {
        if (deflating_) deflateEnd(&z_);
    }
    Zipper(const Zipper&) = delete;
    Zipper& operator=(const Zipper&) = delete;
    uint32_t Run();

private:
    bool Callback(int action, int32_t err, uint32_t size, const std::string& text, ZCallBackStruct* reply = nullptr,
                  void* buffer = nullptr);
    void Message(int err, const std::string& text) { Callback(zacMessage, err, 0, text); }
    void Step(int action, int32_t err, uint32_t size, const std::string& text) {
        if (Callback(action, err, size, text)) throw Cancelled{};
    }
    std::vector<FileSpec> ReadFileSpecs() const;
    void Gather(const FileSpec& s);
    void Walk(const std::string& dir, const std::string& base, const FileSpec& s, const std::string& pattern, bool hiddenOk);
    void AddCandidate(const std::string& path, const std::string& base, const FileSpec& s, const struct stat& st);
    std::string StoredName(const std::string& full, const std::string& base) const;
    bool Excluded(const std::string& name) const;
    std::string Password(const FileSpec* s);
    void WriteEntry(SafeOutput& out, const Candidate& c, Source* src, CentralHeader& ch, std::string& rawName,
                    std::string& comment);
    uint32_t WriteData(SafeOutput& out, Source* src, bool deflate, int level, ZipCrypto* crypto, uint32_t crc,
                       uint32_t& crcOut, int64_t& plainSize);
    z_stream& Deflater(int level);
    uint8_t* Buffer(std::unique_ptr<uint8_t[]>& b);
    bool ReadWhole(Source& file, int64_t size, size_t& n);
    uint32_t RunAdd();
    uint32_t RunDelete();
    uint32_t RunBufferToBuffer();
    void Remove(const std::vector<Candidate>& added);

    ZipParams* p_;
    std::string cwd_;
    std::vector<Candidate> candidates_;
    std::set<std::string> seen_;
    std::string recordPassword_;
    bool askedPassword_ = false;
    // Reused for every entry: a fresh deflate state for each one costs more than
    // deflating a small page (allocation, first touch, and the unmapping at its end).
    std::unique_ptr<uint8_t[]> in_, out_, whole_;
    size_t wholeRoom_ = 0;
    z_stream z_{};
    int zLevel_ = 0;
    bool deflating_ = false, zUsed_ = false;
};

// The deflate state for the next entry, reset rather than made anew.
z_stream& Zipper::Deflater(int level) {
    if (deflating_ && zLevel_ != level) {
        deflateEnd(&z_);
        deflating_ = false;
    }
    if (!deflating_) {
        z_ = z_stream{};
        // Memory level 9: larger match tables cut fewer, longer blocks, so archives come out no
        // larger than zip -6 makes them, and faster.
        if (deflateInit2(&z_, level, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK)
            throw ZipFileError(kErrData, "Not enough memory to deflate");
        deflating_ = true;
        zLevel_ = level;
    } else if (zUsed_ && deflateReset(&z_) != Z_OK) {
        throw ZipFileError(kErrData, "deflate failed");
    }
    zUsed_ = true;
    return z_;
}

uint8_t* Zipper::Buffer(std::unique_ptr<uint8_t[]>& b) {
    if (!b) b.reset(new uint8_t[kChunk]);
    return b.get();
}

// Reads the whole file (expected to be size bytes) into whole_; false when it grew past
// that, to be streamed instead.
bool Zipper::ReadWhole(Source& file, int64_t size, size_t& n) {
    size_t room = static_cast<size_t>(size) + 1;  // one more byte tells that it grew
    if (wholeRoom_ < room) {
        whole_.reset();
        whole_.reset(new uint8_t[room]);
        wholeRoom_ = room;
    }
    n = 0;
    while (n < room) {
        ssize_t r = file.Read(whole_.get() + n, room - n);
        if (r < 0) throw ZipFileError(kErrData, "Read error");
        if (r == 0) break;
        n += static_cast<size_t>(r);
    }
    return n < room;
}

bool Zipper::Callback(int action, int32_t err, uint32_t size, const std::string& text, ZCallBackStruct* reply,
                      void* buffer) {
    if (!p_->fZCallback) return false;
    ZCallBackStruct cb;
    std::memset(&cb, 0, sizeof cb);
    cb.Handle = p_->fHandle;
    cb.Caller = p_->fCaller;
    cb.Version = ZIPDLL_VERSION;
    cb.IsOperationZip = 1;
    cb.ActionCode = action;
    cb.ErrorCode = err;
    cb.FileSize = size;
    cb.Buffer = buffer;
    std::strncpy(cb.FileNameOrMsg, text.c_str(), ZCB_TEXT_MAX);
    bool cancel = p_->fZCallback(&cb) != 0;
    cb.FileNameOrMsg[ZCB_TEXT_MAX] = '\0';
    cb.FileComment[ZCB_COMMENT_MAX] = '\0';
    if (reply) *reply = cb;
    return cancel;
}

std::vector<FileSpec> Zipper::ReadFileSpecs() const {
    std::vector<FileSpec> fileSpecs;
    for (int i = 0; i < p_->fArgc && p_->fFDS; ++i) {
        const ZipFileData& d = p_->fFDS[i];
        if (!d.fFileSpec) continue;
        FileSpec s;
        s.text = d.fFileSpec;
        s.password = d.fFilePassword ? d.fFilePassword : "";
        s.rootDir = d.fRootDir ? Slashes(d.fRootDir) : "";
        s.encrypt = d.fEncrypt != 0;
        s.recurse = d.fRecurse != 0;
        fileSpecs.push_back(std::move(s));
    }
    return fileSpecs;
}

std::string Zipper::StoredName(const std::string& full, const std::string& base) const {
    std::string name = full;
    if (!base.empty() && full.size() > base.size() && full.compare(0, base.size(), base) == 0 &&
        (base.back() == '/' || full[base.size()] == '/'))
        name = full.substr(base.size());
    name = CleanName(name);
    if (p_->fJunkDir) name = vellicor::ExtractFileName(name);
    if (p_->fForceDOS) name = DosName(name);
    return name;
}

bool Zipper::Excluded(const std::string& name) const {
    for (int i = 0; i < p_->fTotExFileSpecs && p_->fExFiles; ++i) {
        const char* ex = p_->fExFiles[i];
        if (!ex || !*ex) continue;
        std::string pattern = Slashes(ex);
        if (WildcardMatch(pattern, name) || WildcardMatch(pattern, vellicor::ExtractFileName(name))) return true;
    }
    return false;
}

void Zipper::AddCandidate(const std::string& path, const std::string& base, const FileSpec& s, const struct stat& st) {
    Candidate c;
    c.path = path;
    c.isDir = S_ISDIR(st.st_mode);
    c.name = StoredName(path, base);
    if (c.name.empty()) return;
    if (c.isDir) {
        if (p_->fNoDirEntries || p_->fJunkDir) return;
        c.name += '/';
    }
    if (Excluded(c.name) || seen_.count(c.name)) return;
    c.size = c.isDir ? 0 : st.st_size;
    c.mode = st.st_mode;
    UnixToDosDateTime(st.st_mtime, c.dosDate, c.dosTime);
    c.fileSpec = &s;
    seen_.insert(c.name);
    candidates_.push_back(std::move(c));
}

void Zipper::Walk(const std::string& dir, const std::string& base, const FileSpec& s, const std::string& pattern,
                  bool hiddenOk) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        Message(UZ_NOTFOUND, "Directory could not be read: " + dir);
        return;
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
        if (!hiddenOk && n[0] == '.') continue;
        std::string full = dir + (dir.back() == '/' ? "" : "/") + n;
        struct stat st {};
        if (::lstat(full.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode) && ::stat(full.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (!s.recurse) continue;
            if (pattern.empty() || pattern == "*" || pattern == "*.*") AddCandidate(full, base, s, st);
            if (S_ISLNK(st.st_mode)) continue;
            Walk(full, base, s, pattern, hiddenOk);
        } else if (S_ISREG(st.st_mode)) {
            if (pattern.empty() || WildcardMatch(pattern, n) || (pattern == "*.*")) AddCandidate(full, base, s, st);
        }
    }
}

void Zipper::Gather(const FileSpec& s) {
    std::string text = Slashes(s.text);
    std::string base = s.rootDir.empty() ? cwd_ : s.rootDir;
    if (!base.empty() && base[0] != '/') base = cwd_ + "/" + base;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::string full = !text.empty() && text[0] == '/' ? text : base + "/" + text;
    bool hiddenOk = p_->fSystem != 0;
    if (HasWildcard(vellicor::ExtractFileName(full))) {
        std::string dir = vellicor::ExtractFileDir(full);
        Walk(dir.empty() ? "/" : dir, base, s, vellicor::ExtractFileName(full), hiddenOk);
        return;
    }
    while (full.size() > 1 && full.back() == '/') full.pop_back();
    struct stat st {};
    if (::stat(full.c_str(), &st) != 0) {
        Message(UZ_NOTFOUND, "File not found: " + s.text);
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        AddCandidate(full, base, s, st);
        if (s.recurse) Walk(full, base, s, "", hiddenOk);
    } else if (S_ISREG(st.st_mode)) {
        AddCandidate(full, base, s, st);
    }
}

std::string Zipper::Password(const FileSpec* s) {
    if (s && !s->password.empty()) return s->password;
    if (!recordPassword_.empty() || askedPassword_) return recordPassword_;
    askedPassword_ = true;
    ZCallBackStruct reply;
    if (Callback(zacPassword, 1, 1, "", &reply)) throw Cancelled{};
    if (reply.ErrorCode == 1) recordPassword_.assign(reply.FileNameOrMsg, strnlen(reply.FileNameOrMsg, ZCB_PASSWORD_MAX));
    return recordPassword_;
}

// Writes the data of one entry at the output's position; returns the compressed size
// (encryption header included).
uint32_t Zipper::WriteData(SafeOutput& out, Source* src, bool deflate, int level, ZipCrypto* crypto, uint32_t crc,
                           uint32_t& crcOut, int64_t& plainSize) {
    uint8_t* in = Buffer(in_);
    uint8_t* buf = Buffer(out_);
    int64_t written = 0;
    // Encryption works on a copy in scratch: p may be the caller's bytes.
    auto emit = [&](const uint8_t* p, size_t n, uint8_t* scratch) {
        if (crypto) {
            if (p != scratch) std::memcpy(scratch, p, n);
            crypto->Encrypt(scratch, n);
            p = scratch;
        }
        out.Write(p, n);
        written += static_cast<int64_t>(n);
    };
    if (crypto) {
        uint8_t head[12];
        std::random_device rd;
        for (int i = 0; i < 11; ++i) head[i] = static_cast<uint8_t>(rd());
        head[11] = static_cast<uint8_t>(crc >> 24);
        emit(head, sizeof head, head);
    }
    // Bytes in memory are taken where they are, and their CRC (the caller's) holds.
    size_t wholeSize = 0, pos = 0;
    const uint8_t* whole = src->Whole(wholeSize);
    if (!whole && !src->Rewind()) throw ZipFileError(kErrData, "The file could not be read again");
    z_stream* z = deflate ? &Deflater(level) : nullptr;
    uint32_t c = 0;
    plainSize = 0;
    for (;;) {
        const uint8_t* piece = in;
        ssize_t r;
        if (whole) {
            r = static_cast<ssize_t>(std::min(kChunk, wholeSize - pos));
            piece = whole + pos;
            pos += static_cast<size_t>(r);
        } else {
            r = src->Read(in, kChunk);
            if (r < 0) throw ZipFileError(kErrData, "Read error");
            c = Crc32(c, in, static_cast<size_t>(r));
        }
        plainSize += r;
        if (!z) {
            if (r > 0) emit(piece, static_cast<size_t>(r), in);
        } else {
            z->next_in = const_cast<Bytef*>(piece);
            z->avail_in = static_cast<uInt>(r);
            int flush = r == 0 ? Z_FINISH : Z_NO_FLUSH;
            int zr;
            do {
                z->next_out = buf;
                z->avail_out = static_cast<uInt>(kChunk);
                zr = ::deflate(z, flush);
                if (zr == Z_STREAM_ERROR) throw ZipFileError(kErrData, "deflate failed");
                size_t have = kChunk - z->avail_out;
                if (have) emit(buf, have, buf);
            } while (z->avail_out == 0 || (flush == Z_FINISH && zr != Z_STREAM_END));
        }
        if (r > 0) Step(zacProgress, 0, static_cast<uint32_t>(r), "");
        if (r == 0) break;
        if (plainSize > 0xFFFFFFFELL) throw ZipFileError(kErrZip64, "The file is too large for a zip archive");
    }
    if (written > 0xFFFFFFFELL) throw ZipFileError(kErrZip64, "The file is too large for a zip archive");
    crcOut = whole ? crc : c;
    return static_cast<uint32_t>(written);
}

void Zipper::WriteEntry(SafeOutput& out, const Candidate& c, Source* src, CentralHeader& ch, std::string& rawName,
                        std::string& comment) {
    std::string name = c.name;
    // The caller may rename the entry.
    ZCallBackStruct reply;
    if (Callback(zacNewName, 0, 0, name, &reply)) throw Cancelled{};
    if (reply.ErrorCode == 1 && reply.FileNameOrMsg[0]) {
        name = CleanName(Slashes(reply.FileNameOrMsg));
        if (c.isDir && !name.empty()) name += '/';
    }
    if (Callback(zacComment, 0, 0, name, &reply)) throw Cancelled{};
    comment.clear();
    if (reply.ErrorCode == 1) comment.assign(reply.FileComment, std::min<size_t>(reply.FileSize, strnlen(reply.FileComment, ZCB_COMMENT_MAX)));

    bool utf8 = false;
    if (p_->fWantedCodePage == 2) name = Utf8ToCp437(name);
    else utf8 = std::any_of(name.begin(), name.end(), [](char ch) { return static_cast<unsigned char>(ch) >= 0x80; });
    if (name.size() > 0xFFFF) throw ZipFileError(kErrWrite, "Name too long");
    rawName = name;

    int64_t localPos = out.Position();
    if (localPos >= 0xFFFFFFFFLL) throw ZipFileError(kErrZip64, "The archive is too large");
    Step(zacItem, 0, static_cast<uint32_t>(std::min<int64_t>(c.size, 0xFFFFFFFF)), c.path.empty() ? name : c.path);

    const FileSpec* s = c.fileSpec;
    bool encrypt = !c.isDir && (s ? s->encrypt : p_->fEncrypt != 0);
    std::string password;
    if (encrypt) {
        password = Password(s);
        if (password.empty()) throw ZipFileError(UZ_PASSWORD, "No password given for " + name);
    }
    bool store = c.isDir || p_->fLevel <= 0 || c.size == 0 || StoredSuffix(p_->fSuffix ? p_->fSuffix : "", name);
    int level = std::clamp(p_->fLevel, 1, 9);

    LocalHeader lh;
    lh.flags = static_cast<uint16_t>((encrypt ? kFlagEncrypted : 0) | (utf8 ? kFlagUtf8 : 0));
    lh.modDate = c.dosDate;
    lh.modTime = c.dosTime;
    lh.nameLength = static_cast<uint16_t>(name.size());
    uint8_t h[kLocalHeaderSize];
    StoreLocal(lh, h);
    std::string record(reinterpret_cast<const char*>(h), sizeof h);  // one write for the header and name
    record += name;
    out.Write(record.data(), record.size());
    int64_t dataPos = out.Position();

    uint32_t crc = 0, csize = 0;
    int64_t plain = 0;
    uint16_t method = kMethodStored;
    if (!c.isDir) {
        size_t wholeSize = 0;
        if (const uint8_t* whole = src->Whole(wholeSize)) {
            crc = Crc32(0, whole, wholeSize);
        } else if (encrypt) {  // the check byte of the encryption header is the CRC's top byte
            uint8_t* b = Buffer(in_);
            if (!src->Rewind()) throw ZipFileError(kErrData, "Read error");
            for (ssize_t r; (r = src->Read(b, kChunk)) != 0;) {
                if (r < 0) throw ZipFileError(kErrData, "Read error");
                crc = Crc32(crc, b, static_cast<size_t>(r));
            }
        }
        ZipCrypto crypto;
        if (encrypt) crypto.Init(password);
        uint32_t first = 0;
        csize = WriteData(out, src, !store, level, encrypt ? &crypto : nullptr, crc, first, plain);
        method = store ? kMethodStored : kMethodDeflated;
        if (encrypt && first != crc) throw ZipFileError(kErrData, "The file changed while it was added: " + c.path);
        crc = first;
        // Data that do not shrink are stored, as they are.
        if (!store && int64_t(csize) >= plain + (encrypt ? 12 : 0)) {
            out.Truncate(dataPos);
            if (encrypt) crypto.Init(password);
            csize = WriteData(out, src, false, 0, encrypt ? &crypto : nullptr, crc, first, plain);
            if (first != crc) throw ZipFileError(kErrData, "The file changed while it was added: " + c.path);
            method = kMethodStored;
        }
    }
    lh.versionNeeded = (method == kMethodDeflated || encrypt) ? 20 : (c.isDir ? 20 : 10);
    lh.method = method;
    lh.crc32 = crc;
    lh.compressedSize = csize;
    lh.uncompressedSize = static_cast<uint32_t>(plain);
    StoreLocal(lh, h);
    out.WriteAt(localPos, h, sizeof h);

    ch = CentralHeader{};
    bool dos = p_->fForceDOS != 0 || c.path.empty();
    ch.versionMadeBy = dos ? kMadeByDos : kMadeByUnix;
    ch.versionNeeded = lh.versionNeeded;
    ch.flags = lh.flags;
    ch.method = method;
    ch.modTime = lh.modTime;
    ch.modDate = lh.modDate;
    ch.crc32 = crc;
    ch.compressedSize = csize;
    ch.uncompressedSize = lh.uncompressedSize;
    uint32_t dosAttr = (c.isDir ? 0x10 : 0) | ((c.mode & S_IWUSR) || c.path.empty() ? 0 : 0x01);
    if (c.path.empty()) dosAttr = p_->fStrFileAttr & 0xFF;
    ch.externalAttr = dos ? dosAttr : ((c.mode & 0xFFFF) << 16) | dosAttr;
    ch.localHeaderOffset = static_cast<uint32_t>(localPos);
}

void Zipper::Remove(const std::vector<Candidate>& added) {
    // Files first, then the directories that are empty now, deepest first.
    std::vector<std::string> dirs;
    for (const auto& c : added) {
        if (c.path.empty()) continue;
        if (c.isDir) {
            dirs.push_back(c.path);
            continue;
        }
        int r = p_->fHowToMove ? vellicor::TZipComponent::EraseFile(c.path, vellicor::htdAllowUndo) : ::unlink(c.path.c_str());
        if (r != 0) Message(UZ_WARN, "File could not be removed: " + c.path);
    }
    std::sort(dirs.rbegin(), dirs.rend());
    for (const auto& d : dirs) ::rmdir(d.c_str());
}

uint32_t Zipper::RunAdd() {
    std::vector<FileSpec> fileSpecs = ReadFileSpecs();
    std::unique_ptr<Source> buffer;
    bool fromBuffer = p_->fUseInStream != 0;
    if (fromBuffer) {
        if (fileSpecs.empty() || (!p_->fInStream && p_->fInStreamSize)) {
            Message(UZ_PARAM, "No name given for the buffer");
            return 0;
        }
        Candidate c;
        c.name = CleanName(Slashes(fileSpecs[0].text));
        if (p_->fForceDOS) c.name = DosName(c.name);
        c.size = p_->fInStreamSize;
        c.dosTime = static_cast<uint16_t>(p_->fStrFileDate & 0xFFFF);
        c.dosDate = static_cast<uint16_t>(p_->fStrFileDate >> 16);
        c.mode = 0100644;
        c.fileSpec = &fileSpecs[0];
        if (c.name.empty()) {
            Message(UZ_PARAM, "No name given for the buffer");
            return 0;
        }
        candidates_.push_back(c);
        buffer = std::make_unique<MemorySource>(static_cast<const uint8_t*>(p_->fInStream), p_->fInStreamSize);
    } else {
        for (const auto& s : fileSpecs) Gather(s);
    }
    if (!p_->fPassword || !*p_->fPassword) recordPassword_.clear();
    else recordPassword_.assign(p_->fPassword, strnlen(p_->fPassword, ZCB_PASSWORD_MAX));

    std::string zipName = p_->fZipFN;
    ArchiveFile old;
    bool exists = vellicor::FileExists(zipName);
    if (exists) old.Open(zipName);
    std::map<std::string, size_t> byName;
    for (size_t i = 0; i < old.entries.size(); ++i) byName.emplace(old.entries[i].rawName, i);

    // Which candidates go in: freshen only replaces older entries, update also adds new.
    std::vector<Candidate> chosen;
    std::map<size_t, size_t> replaces;  // old entry -> chosen index
    for (auto& c : candidates_) {
        auto it = byName.find(c.name);
        bool present = it != byName.end();
        if (p_->fFreshen || p_->fUpdate) {
            if (!present && p_->fFreshen) continue;
            if (present) {
                const CentralHeader& o = old.entries[it->second].ch;
                if (DosStamp(c.dosDate, c.dosTime) <= DosStamp(o.modDate, o.modTime)) continue;
            }
        }
        if (present) replaces[it->second] = chosen.size();
        chosen.push_back(c);
    }
    if (chosen.empty()) {
        Message(UZ_WARN, "Nothing to do");
        return 0;
    }
    int64_t total = 0;
    for (const auto& c : chosen) total += c.size;
    Step(zacCount, 0, static_cast<uint32_t>(chosen.size()), "");
    Step(zacSize, 0, static_cast<uint32_t>(std::min<int64_t>(total, 0xFFFFFFFF)), "");

    SafeOutput out;
    out.Create(zipName);
    if (old.prefixSize > 0) out.CopyFrom(old.fd, 0, old.prefixSize, kErrData);
    struct Written {
        CentralHeader ch;
        std::string name, comment;
        std::vector<uint8_t> extra;
    };
    std::vector<Written> central;
    std::vector<bool> done(chosen.size(), false);
    uint32_t newest = 0;
    auto add = [&](size_t k) {
        const Candidate& c = chosen[k];
        std::unique_ptr<Source> file, inMemory;
        Source* src = buffer.get();
        if (!c.path.empty() && !c.isDir) {
            int fd = ::open(c.path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) throw ZipFileError(kErrNoInput, "File could not be opened: " + c.path);
            file = std::make_unique<FileSource>(fd);
            src = file.get();
            size_t n = 0;
            if (c.size > 0 && c.size <= kWholeFile && ReadWhole(*file, c.size, n)) {
                inMemory = std::make_unique<MemorySource>(whole_.get(), n);
                src = inMemory.get();
            }
        }
        Written w;
        WriteEntry(out, c, src, w.ch, w.name, w.comment);
        newest = std::max(newest, DosStamp(w.ch.modDate, w.ch.modTime));
        central.push_back(std::move(w));
        done[k] = true;
    };
    for (size_t i = 0; i < old.entries.size(); ++i) {
        auto r = replaces.find(i);
        if (r != replaces.end()) {
            add(r->second);
            continue;
        }
        const ArchiveEntry& e = old.entries[i];
        int64_t pos = out.Position();
        if (pos >= 0xFFFFFFFFLL) throw ZipFileError(kErrZip64, "The archive is too large");
        out.CopyFrom(old.fd, e.localPos, e.LocalSpan(), kErrData);
        Written w{e.ch, e.rawName, e.comment, e.centralExtra};
        w.ch.localHeaderOffset = static_cast<uint32_t>(pos);
        newest = std::max(newest, DosStamp(w.ch.modDate, w.ch.modTime));
        central.push_back(std::move(w));
    }
    for (size_t k = 0; k < chosen.size(); ++k)
        if (!done[k]) add(k);
    if (central.size() > 0xFFFF) throw ZipFileError(kErrZip64, "Too many entries for a zip archive");
    int64_t centralOffset = out.Position();
    for (const auto& w : central) WriteCentral(out, w.ch, w.name, w.extra, w.comment);
    std::string comment = p_->fArchComment && *p_->fArchComment ? std::string(p_->fArchComment) : old.comment;
    WriteEnd(out, static_cast<uint16_t>(central.size()), out.Position() - centralOffset, centralOffset, comment);
    if (p_->fForce && newest) out.SetFileTime(DosDateTimeToUnix(static_cast<uint16_t>(newest >> 16), static_cast<uint16_t>(newest)));
    out.Commit();
    if (p_->fMove) Remove(chosen);
    return static_cast<uint32_t>(chosen.size());
}

uint32_t Zipper::RunDelete() {
    std::vector<FileSpec> fileSpecs = ReadFileSpecs();
    std::string zipName = p_->fZipFN;
    ArchiveFile old;
    old.Open(zipName);
    std::vector<bool> drop(old.entries.size(), false);
    uint32_t count = 0;
    for (size_t i = 0; i < old.entries.size(); ++i) {
        std::string name = old.entries[i].rawName;
        std::string decoded = DecodeStoredName(name, p_->fWantedCodePage, old.entries[i].ch.versionMadeBy, old.entries[i].ch.flags);
        for (const auto& s : fileSpecs) {
            std::string pattern = Slashes(s.text);
            if (WildcardMatch(pattern, name) || WildcardMatch(pattern, decoded)) {
                drop[i] = true;
                ++count;
                break;
            }
        }
    }
    if (count == 0) {
        Message(UZ_WARN, "Nothing to delete");
        return 0;
    }
    Step(zacCount, 0, count, "");
    SafeOutput out;
    out.Create(zipName);
    if (old.prefixSize > 0) out.CopyFrom(old.fd, 0, old.prefixSize, kErrData);
    struct Kept {
        const ArchiveEntry* e;
        uint32_t offset;
    };
    std::vector<Kept> kept;
    // Neighbouring kept entries are copied as one run of bytes.
    int64_t runFrom = 0, runTo = 0;
    auto copyRun = [&] {
        if (runTo > runFrom) out.CopyFrom(old.fd, runFrom, runTo - runFrom, kErrData);
        runFrom = runTo = 0;
    };
    int64_t at = out.Position();
    for (size_t i = 0; i < old.entries.size(); ++i) {
        const ArchiveEntry& e = old.entries[i];
        if (drop[i]) {
            Step(zacItem, 0, e.ch.uncompressedSize, e.rawName);
            continue;
        }
        if (at >= 0xFFFFFFFFLL) throw ZipFileError(kErrZip64, "The archive is too large");
        kept.push_back({&e, static_cast<uint32_t>(at)});
        if (runTo == runFrom || e.localPos != runTo) {
            copyRun();
            runFrom = e.localPos;
        }
        runTo = e.localPos + e.LocalSpan();
        at += e.LocalSpan();
    }
    copyRun();
    if (at != out.Position()) throw ZipFileError(kErrData, "Error while reading zipped data");
    int64_t centralOffset = out.Position();
    std::string directory;
    for (const auto& k : kept) {
        CentralHeader ch = k.e->ch;
        ch.localHeaderOffset = k.offset;
        StoreCentral(directory, ch, k.e->rawName, k.e->centralExtra, k.e->comment);
    }
    StoreEnd(directory, static_cast<uint16_t>(kept.size()), static_cast<int64_t>(directory.size()), centralOffset, old.comment);
    out.Write(directory.data(), directory.size());
    out.Commit();
    // The caller's listing comes from the bytes just written instead of a second read of
    // the file; the archive is in place already, so the answer changes nothing.
    if (directory.size() <= 0xFFFFFFFFu)
        Callback(zacWritten, 0, static_cast<uint32_t>(directory.size()), "", nullptr, directory.data());
    return count;
}

// A buffer into a buffer: the 6-byte head (method, CRC) and the data.
uint32_t Zipper::RunBufferToBuffer() {
    const auto* in = static_cast<const uint8_t*>(p_->fInStream);
    uint32_t inSize = p_->fInStreamSize;
    auto* out = static_cast<uint8_t*>(p_->fOutStream);
    uint32_t room = p_->fOutStreamSize;
    if ((!in && inSize) || !out || room < ZIPDLL_STREAM_HEADER) {
        Message(UZ_PARAM, "No room for the compressed data");
        return 0;
    }
    uint32_t crc = Crc32(0, in, inSize);
    uint16_t method = kMethodDeflated;
    size_t used = 0;
    if (p_->fLevel > 0 && inSize > 0) {
        z_stream z{};
        if (deflateInit2(&z, std::clamp(p_->fLevel, 1, 9), Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            Message(UZ_MEMORY, "Not enough memory to deflate");
            return 0;
        }
        z.next_in = const_cast<Bytef*>(in);
        z.avail_in = inSize;
        z.next_out = out + ZIPDLL_STREAM_HEADER;
        z.avail_out = room - ZIPDLL_STREAM_HEADER;
        int zr = ::deflate(&z, Z_FINISH);
        used = room - ZIPDLL_STREAM_HEADER - z.avail_out;
        deflateEnd(&z);
        if (zr != Z_STREAM_END || used >= inSize) method = kMethodStored;
    } else {
        method = kMethodStored;
    }
    if (method == kMethodStored) {
        if (inSize > room - ZIPDLL_STREAM_HEADER) {
            Message(UZ_PARAM, "No room for the compressed data");
            return 0;
        }
        if (inSize) std::memmove(out + ZIPDLL_STREAM_HEADER, in, inSize);
        used = inSize;
    }
    Put16(out, method);
    Put32(out + 2, crc);
    p_->fOutStreamSize = static_cast<uint32_t>(used + ZIPDLL_STREAM_HEADER);
    return 1;
}

uint32_t Zipper::Run() {
    char buf[PATH_MAX];
    cwd_ = ::getcwd(buf, sizeof buf) ? buf : "/";
    uint32_t result = 0;
    try {
        if (p_->fUseOutStream) result = p_->fUseInStream ? RunBufferToBuffer() : 0;
        else if (!p_->fZipFN || !*p_->fZipFN) Message(UZ_PARAM, "No archive name given");
        else if (p_->fDeleteEntries) result = RunDelete();
        else result = RunAdd();
    } catch (const Cancelled&) {
        Message(UZ_CANCEL, "Cancelled");
        result = 0;
    } catch (const ZipFileError& e) {
        Message(e.code == UZ_PASSWORD ? UZ_PASSWORD : UZ_WRITE, e.what());
        result = 0;
    } catch (const std::bad_alloc&) {
        Message(UZ_MEMORY, "Not enough memory");
        result = 0;
    }
    Callback(zacEndOfBatch, 0, 0, "");
    return result;
}

}  // namespace

ZIP_EXPORT uint32_t ZipDllExec(ZipParams* params) {
    VTRACE("ZipDllExec");
    if (!params || params->fSeven != ZIPDLL_CHECK_WORD) return 0;
    try {
        Zipper z(params);
        return z.Run();
    } catch (...) {  // nothing may cross the library boundary
        return 0;
    }
}

ZIP_EXPORT uint32_t GetZipDllVersion() {
    VTRACE("GetZipDllVersion");
    return ZIPDLL_VERSION;
}

ZIP_EXPORT uint32_t GetZipDllPrivVersion() {
    VTRACE("GetZipDllPrivVersion");
    return ZIPDLL_VERSION;
}

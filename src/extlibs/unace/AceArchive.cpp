// ACE headers, volume sets, member names and the cipher.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "AceDecoder.h"
#include "AcePiTables.h"

namespace unace {

namespace {

struct CrcTable {
    uint32_t t[256];
    CrcTable() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[i] = c;
        }
    }
};
const CrcTable kCrc;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

class FileSource : public ByteSource {
public:
    FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
    ~FileSource() override { ::close(fd_); }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    uint64_t Size() const override { return size_; }
    bool ReadAt(uint64_t pos, void* buf, size_t n) override {
        if (pos > size_ || n > size_ - pos) return false;
        auto* p = static_cast<uint8_t*>(buf);
        while (n > 0) {
            ssize_t got = ::pread(fd_, p, n, static_cast<off_t>(pos));
            if (got <= 0) return false;
            p += got;
            pos += static_cast<uint64_t>(got);
            n -= static_cast<size_t>(got);
        }
        return true;
    }

private:
    int fd_;
    uint64_t size_;
};

constexpr uint8_t kMagic[7] = {'*', '*', 'A', 'C', 'E', '*', '*'};
// An SFX stub or other prefix before the main header is searched this far.
constexpr uint64_t kSearchLimit = uint64_t(1) << 20;

[[noreturn]] void Broken(const std::string& what) { throw AceError(Fault::Broken, what); }

bool ParseMain(const uint8_t* body, size_t size, MainHeader& m) {
    if (size < 26 || body[0] != 0 || std::memcmp(body + 3, kMagic, 7) != 0) return false;
    m.flags = Le16(body + 1);
    m.versionExtract = body[10];
    m.versionCreator = body[11];
    m.host = body[12];
    m.volume = body[13];
    m.time = Le32(body + 14);
    // The authenticity string's length is there whether or not its flag is set.
    size_t pos = 26;
    if (size > 26) {
        pos = 27 + body[26];
        if (pos > size) return false;
    }
    if (m.flags & 2) {
        if (pos + 2 > size || pos + 2 + Le16(body + pos) > size) return false;
    }
    return true;
}

}  // namespace

uint32_t Crc32(const void* data, size_t size, uint32_t crc) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) crc = kCrc.t[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

bool MemorySource::ReadAt(uint64_t pos, void* buf, size_t n) {
    if (pos > size_ || n > size_ - pos) return false;
    if (n) std::memcpy(buf, data_ + pos, n);
    return true;
}

std::unique_ptr<ByteSource> OpenFileSource(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<FileSource>(fd, static_cast<uint64_t>(st.st_size));
}

std::string VolumeName(const std::string& first, int index, bool upper) {
    if (index <= 0) return first;
    std::string base = first;
    size_t slash = base.find_last_of('/');
    size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) base.resize(dot);
    char ext[16];
    if (index <= 100)
        std::snprintf(ext, sizeof ext, ".%c%02d", upper ? 'C' : 'c', index - 1);
    else
        std::snprintf(ext, sizeof ext, ".%03d", index - 1);
    return base + ext;
}

void Archive::Open(const VolumeProvider& volumes) {
    members_.clear();
    volumes_.clear();
    pendingContinuation_ = false;
    cut_ = false;
    missing_ = -1;
    std::unique_ptr<ByteSource> first = volumes(0, true);
    if (!first) throw AceError(Fault::Read, "the archive cannot be opened");
    volumes_.push_back(std::move(first));
    ReadVolume(0);
    while (main_.MultiVolume() && !cut_) {
        int next = VolumeCount();
        if (next >= kMaxVolumes) Broken("too many volumes");
        bool required = pendingContinuation_;
        std::unique_ptr<ByteSource> v = volumes(next, required);
        if (!v) {
            if (required) {
                // The set goes on in a part that is not there: the members that lie wholly
                // in the volumes read are kept, the one continuing into it is not.
                missing_ = next;
                members_.pop_back();
                pendingContinuation_ = false;
            }
            break;
        }
        volumes_.push_back(std::move(v));
        try {
            ReadVolume(next);
        } catch (const AceError&) {
            // A stray file after the last volume is not part of the set.
            if (required) throw;
            volumes_.pop_back();
            break;
        }
    }
    if (pendingContinuation_) Broken("a member continues past the last volume");
}

void Archive::ReadVolume(int index) {
    ByteSource& src = Volume(index);
    const uint64_t size = src.Size();

    // Find the main header: the magic at +7, type 0 and a matching CRC.
    uint64_t start = 0;
    bool found = false, cutInMain = false;
    {
        size_t n = static_cast<size_t>(std::min(size, kSearchLimit));
        std::vector<uint8_t> buf(n);
        if (!src.ReadAt(0, buf.data(), n)) throw AceError(Fault::Read, "the archive cannot be read");
        for (size_t hit = 7; hit + 7 <= n && !found; ++hit) {
            if (std::memcmp(buf.data() + hit, kMagic, 7) != 0) continue;
            size_t at = hit - 7;
            uint16_t headSize = Le16(buf.data() + at + 2);
            if (headSize < 26 || buf[at + 4] != 0) continue;
            if (at + 4 + headSize > n) {
                cutInMain = cutInMain || n == size;  // the file ends inside it
                continue;
            }
            if ((Crc32(buf.data() + at + 4, headSize) & 0xFFFF) != Le16(buf.data() + at)) continue;
            MainHeader m;
            if (!ParseMain(buf.data() + at + 4, headSize, m)) continue;
            if (index == 0) {
                main_ = m;
            } else if (m.volume != static_cast<uint8_t>(main_.volume + 1) || !m.MultiVolume()) {
                throw AceError(Fault::Volume, "volume " + std::to_string(index + 1) + " does not belong to the set");
            } else {
                main_.volume = m.volume;
            }
            start = at + 4 + headSize;
            found = true;
        }
    }
    // The first volume cut inside its main header (or its magic) is an archive that ends
    // early before any member, not one of another kind.
    if (!found && index == 0 && size < kSearchLimit) {
        uint8_t head[14] = {};
        const size_t n = static_cast<size_t>(size);
        const bool partialMagic = n > 7 && n < sizeof head && src.ReadAt(0, head, n) && head[4] == 0 &&
                                  std::memcmp(head + 7, kMagic, n - 7) == 0;
        if (cutInMain || partialMagic) {
            cut_ = true;
            return;
        }
    }
    if (!found) {
        if (index == 0) throw AceError(Fault::NotAce, "no ACE main header");
        throw AceError(Fault::Volume, "volume " + std::to_string(index + 1) + " is not an ACE volume");
    }

    bool firstFile = true;
    std::vector<uint8_t> body;
    // The file ends here: what came before is kept, and a member left unfinished is marked.
    auto cutHere = [&] {
        cut_ = true;
        if (pendingContinuation_ && !members_.empty()) members_.back().cutShort = true;
        pendingContinuation_ = false;
    };
    for (uint64_t pos = start; pos < size;) {
        uint8_t pre[4];
        if (size - pos < 4) return cutHere();
        if (!src.ReadAt(pos, pre, 4)) throw AceError(Fault::Read, "the archive cannot be read");
        uint16_t headSize = Le16(pre + 2);
        if (headSize < 3) Broken("a header is too short");
        if (size - pos - 4 < headSize) return cutHere();
        body.resize(headSize);
        if (!src.ReadAt(pos + 4, body.data(), headSize)) throw AceError(Fault::Read, "the archive cannot be read");
        if ((Crc32(body.data(), headSize) & 0xFFFF) != Le16(pre)) Broken("a header's CRC is wrong");
        const uint8_t type = body[0];
        const uint16_t flags = Le16(body.data() + 1);
        const bool wide = (flags & 4) != 0 || type == 3;
        uint64_t addSize = 0;
        if (flags & 1) {
            if (headSize < (wide ? 11u : 7u)) Broken("a header is too short");
            addSize = wide ? Le64(body.data() + 3) : Le32(body.data() + 3);
        }
        const uint64_t dataPos = pos + 4 + headSize;
        // Data that pass the end of the file: it was cut there (or the size is no archive's);
        // nothing is read by that size.
        const bool dataCut = addSize > size - dataPos;
        if (dataCut && type != 1 && type != 3) return cutHere();
        const uint64_t next = dataPos + addSize;

        if (type == 1 || type == 3) {
            const size_t o = wide ? 8 : 0;  // the wide header's fields sit 8 bytes further on
            if (!(flags & 1)) Broken("a file header has no data size");
            if (headSize < 31 + o) Broken("a file header is too short");
            Member m;
            m.flags = flags;
            m.packSize = addSize;
            m.origSize = wide ? Le64(body.data() + 11) : Le32(body.data() + 7);
            m.time = Le32(body.data() + 11 + o);
            m.attributes = Le32(body.data() + 15 + o);
            m.crc = Le32(body.data() + 19 + o);
            m.method = body[23 + o];
            m.quality = body[24 + o];
            m.params = Le16(body.data() + 25 + o);
            size_t nameLen = Le16(body.data() + 29 + o);
            size_t at = 31 + o;
            if (nameLen > headSize - at) Broken("a file name passes the header's end");
            m.name.assign(reinterpret_cast<const char*>(body.data() + at), nameLen);
            if (size_t nul = m.name.find('\0'); nul != std::string::npos) m.name.resize(nul);
            at += nameLen;
            if (flags & 2) {
                if (at + 2 > headSize || Le16(body.data() + at) > headSize - at - 2) Broken("a comment passes the header's end");
                at += 2 + Le16(body.data() + at);
            }
            if (flags & 0x400) {
                if (at + 2 > headSize || Le16(body.data() + at) > headSize - at - 2)
                    Broken("security data passes the header's end");
            }
            if (dataCut) {
                if (!(flags & 0x1000)) {
                    m.segments.clear();
                    m.cutShort = true;
                    pendingContinuation_ = false;
                    members_.push_back(std::move(m));
                }
                return cutHere();
            }
            Segment seg{index, dataPos, addSize};
            const bool contPrev = flags & 0x1000, contNext = flags & 0x2000;
            if (contPrev) {
                if (!pendingContinuation_ || !firstFile || members_.empty() || members_.back().name != m.name ||
                    members_.back().origSize != m.origSize)
                    Broken("a continued member does not match its start");
                Member& prev = members_.back();
                prev.segments.push_back(seg);
                prev.packSize += addSize;
                prev.crc = m.crc;  // earlier segments hold the CRC of a prefix only
                prev.flags = static_cast<uint16_t>((prev.flags & ~0x2000) | (flags & 0x2000));
            } else {
                if (pendingContinuation_) Broken("a continued member is missing");
                m.segments.push_back(seg);
                members_.push_back(std::move(m));
            }
            pendingContinuation_ = contNext;
            firstFile = false;
        } else if (type == 0) {
            Broken("a second main header");
        }
        // Recovery records and unknown types are skipped by their data size.
        pos = next;
    }
    if (pendingContinuation_ && !main_.MultiVolume()) Broken("a member continues past the end");
}

bool SafeRelativeName(const std::string& stored, std::string& out) {
    out.clear();
    if (stored.empty()) return false;
    if (stored[0] == '\\' || stored[0] == '/') return false;
    if (stored.size() >= 2 && stored[1] == ':') return false;
    size_t i = 0;
    while (i <= stored.size()) {
        size_t j = i;
        while (j < stored.size() && stored[j] != '\\' && stored[j] != '/') ++j;
        std::string part = stored.substr(i, j - i);
        for (unsigned char c : part)
            if (c < 0x20 || c == 0x7F) return false;
        if (part == "..") return false;
        if (!part.empty() && part != ".") {
            if (!out.empty()) out += '/';
            out += part;
        }
        i = j + 1;
    }
    return !out.empty();
}

// ---- cipher ----

void Cipher::Key(const std::string& password, uint32_t key[5]) {
    const size_t len = std::min<size_t>(password.size(), 50);
    uint8_t block[60] = {};
    std::memcpy(block, password.data(), len);
    block[len] = 0x80;
    uint32_t w[80];
    for (int i = 0; i < 15; ++i) w[i] = Le32(block + 4 * i);
    w[15] = static_cast<uint32_t>(8 * len);
    for (int i = 16; i < 80; ++i) w[i] = w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16];
    const uint32_t h[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    auto rol = [](uint32_t x, int n) { return (x << n) | (x >> (32 - n)); };
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) f = (b & c) | (~b & d), k = 0x5A827999u;
        else if (i < 40) f = b ^ c ^ d, k = 0x6ED9EBA1u;
        else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDCu;
        else f = b ^ c ^ d, k = 0xCA62C1D6u;
        uint32_t t = rol(a, 5) + f + e + w[i] + k;
        e = d;
        d = c;
        c = rol(b, 30);
        b = a;
        a = t;
    }
    key[0] = h[0] + a;
    key[1] = h[1] + b;
    key[2] = h[2] + c;
    key[3] = h[3] + d;
    key[4] = h[4] + e;
}

Cipher::Cipher(const std::string& password) {
    std::memcpy(p_, kPiP, sizeof p_);
    std::memcpy(s_, kPiS, sizeof s_);
    // The archiver's tables differ from the published ones in three words.
    s_[0][48] = 0x2DA9C55Du;
    s_[0][51] = 0x9B87901Eu;
    s_[0][139] = 0x412C7279u;
    uint32_t key[5];
    Key(password, key);
    for (int i = 0; i < 18; ++i) p_[i] ^= key[i % 5];
    uint32_t l = 0, r = 0;
    for (int i = 0; i < 18; i += 2) {
        Encrypt(l, r);
        p_[i] = l;
        p_[i + 1] = r;
    }
    for (auto& box : s_)
        for (int i = 0; i < 256; i += 2) {
            Encrypt(l, r);
            box[i] = l;
            box[i + 1] = r;
        }
}

uint32_t Cipher::F(uint32_t x) const {
    return ((s_[0][x >> 24] + s_[1][(x >> 16) & 255]) ^ s_[2][(x >> 8) & 255]) + s_[3][x & 255];
}

void Cipher::Encrypt(uint32_t& l, uint32_t& r) const {
    for (int i = 0; i < 16; ++i) {
        l ^= p_[i];
        r ^= F(l);
        std::swap(l, r);
    }
    std::swap(l, r);
    r ^= p_[16];
    l ^= p_[17];
}

void Cipher::Decrypt(uint32_t& l, uint32_t& r) const {
    for (int i = 17; i >= 2; --i) {
        l ^= p_[i];
        r ^= F(l);
        std::swap(l, r);
    }
    std::swap(l, r);
    r ^= p_[1];
    l ^= p_[0];
}

void Cipher::DecryptCbc(uint8_t* data, size_t size, uint32_t iv[2]) const {
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint32_t cl = Le32(data + i), cr = Le32(data + i + 4);
        uint32_t l = cl, r = cr;
        Decrypt(l, r);
        l ^= iv[0];
        r ^= iv[1];
        iv[0] = cl;
        iv[1] = cr;
        for (int k = 0; k < 4; ++k) {
            data[i + k] = static_cast<uint8_t>(l >> (8 * k));
            data[i + 4 + k] = static_cast<uint8_t>(r >> (8 * k));
        }
    }
}

}  // namespace unace

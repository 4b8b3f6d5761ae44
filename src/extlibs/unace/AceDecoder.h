#pragma once
// Reading ACE archives: headers of every volume, member data stored or compressed (1.0 LZ77
// and the 2.0 modes), solid chains, multi-volume members and encrypted members. Everything
// read from a file is bounded before it is used; damage raises AceError.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace unace {

// The archiver's CRC-32: reflected, polynomial 0xEDB88320, start 0xFFFFFFFF, no final XOR.
uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0xFFFFFFFFu);

enum class Fault {
    Broken,     // headers damaged or truncated
    Read,       // the file could not be read
    NotAce,     // no main header found
    Volume,     // a volume of the set is missing or does not belong
    Data,       // member data damaged
    Crc,        // data decoded but its CRC differs
    Method,     // compression method unknown
    Password,   // encrypted member: wrong password or damaged
    NoPassword, // encrypted member and no password given
    Cancelled,  // the receiver of the data stopped the run
    Memory,
};

class AceError : public std::runtime_error {
public:
    AceError(Fault f, const std::string& what) : std::runtime_error(what), fault(f) {}
    Fault fault;
};

// Random access to the bytes of one volume.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    // Reads exactly n bytes at pos; false when they are not all there.
    virtual bool ReadAt(uint64_t pos, void* buf, size_t n) = 0;
};

std::unique_ptr<ByteSource> OpenFileSource(const std::string& path);  // null when not readable

class MemorySource : public ByteSource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool ReadAt(uint64_t pos, void* buf, size_t n) override;

private:
    const uint8_t* data_;
    size_t size_;
};

// Volume `index` of a set (0 is the archive itself). `required` is set when a member continues
// into that volume; otherwise a missing volume simply ends the set. Null when it is not there.
using VolumeProvider = std::function<std::unique_ptr<ByteSource>(int index, bool required)>;

// The file name of volume `index` of the set whose first volume is `first`: x.ace, x.c00 to
// x.c99, then x.100 and on; `upper` gives x.C00.
std::string VolumeName(const std::string& first, int index, bool upper);

constexpr int kMaxVolumes = 1000;
constexpr unsigned kMaxDictBits = 22;

struct MainHeader {
    uint16_t flags = 0;
    uint8_t versionExtract = 0, versionCreator = 0, host = 0, volume = 0;
    uint32_t time = 0;
    bool Solid() const { return flags & 0x8000; }
    bool MultiVolume() const { return flags & 0x0800; }
};

struct Segment {
    int volume = 0;
    uint64_t offset = 0;  // of the packed data in that volume
    uint64_t size = 0;
};

struct Member {
    std::string name;  // as stored: cut at a NUL, '\' between folders
    uint64_t origSize = 0, packSize = 0;  // packSize: all segments together
    uint32_t crc = 0, attributes = 0, time = 0;
    uint8_t method = 0, quality = 0;
    uint16_t params = 0, flags = 0;
    std::vector<Segment> segments;
    bool cutShort = false;  // the archive ends inside its data: it cannot be decoded
    bool Encrypted() const { return flags & 0x4000; }
    bool Solid() const { return flags & 0x8000; }
    bool Directory() const { return attributes & 0x10; }
    unsigned DictBits() const { return 10 + (params & 15); }
};

class Archive {
public:
    // Reads the main header and every file header of every volume. Throws AceError. A set
    // that ends inside a header or inside a member's data (cut short, as an interrupted
    // download is) keeps the members before the cut, and that member marked cutShort.
    void Open(const VolumeProvider& volumes);
    bool Cut() const { return cut_; }
    // The volume a member continues into that could not be had (its index); -1 for none.
    // The members before that member are kept.
    int MissingVolume() const { return missing_; }
    const MainHeader& Main() const { return main_; }
    const std::vector<Member>& Members() const { return members_; }
    ByteSource& Volume(int index) { return *volumes_.at(static_cast<size_t>(index)); }
    int VolumeCount() const { return static_cast<int>(volumes_.size()); }

private:
    void ReadVolume(int index);
    MainHeader main_;
    std::vector<Member> members_;
    std::vector<std::unique_ptr<ByteSource>> volumes_;
    bool pendingContinuation_ = false;
    bool cut_ = false;
    int missing_ = -1;
};

// Receives decoded data; false stops the run (AceError Cancelled).
class Sink {
public:
    virtual ~Sink() = default;
    virtual bool Write(const uint8_t* data, size_t size) = 0;
};

// The archiver's Blowfish: three substitution words differ from the published tables, the
// key comes from a SHA-1 compression without its rotate, blocks are little-endian.
class Cipher {
public:
    explicit Cipher(const std::string& password);  // at most 50 bytes are used
    static void Key(const std::string& password, uint32_t key[5]);
    void Encrypt(uint32_t& l, uint32_t& r) const;
    void Decrypt(uint32_t& l, uint32_t& r) const;
    // CBC with the chain carried in iv; size is a multiple of 8.
    void DecryptCbc(uint8_t* data, size_t size, uint32_t iv[2]) const;

private:
    uint32_t F(uint32_t x) const;
    uint32_t p_[18];
    uint32_t s_[4][256];
};

// Decodes members one after another. The window of a solid chain stays with the decoder, so
// a solid member decodes only right after its predecessor (NeedsPredecessor tells).
class Decoder {
public:
    Decoder();
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // True when member `index` needs member index-1 decoded first by this decoder.
    bool NeedsPredecessor(const Archive& archive, size_t index) const;
    // Decodes member `index`, checking its CRC. The password is needed for encrypted members.
    void Decode(Archive& archive, size_t index, const std::string& password, Sink& out);
    // Forgets the window (a new archive, or a failed member).
    void Reset();
    // The member of this archive that was decoded last, with its window kept; -1 for none.
    long LastIndex(const Archive& archive) const { return lastArchive_ == &archive ? lastIndex_ : -1; }

private:
    struct State;
    std::unique_ptr<State> s_;
    const Archive* lastArchive_ = nullptr;
    long lastIndex_ = -1;
};

// A name from a header as a relative path with '/' between folders; false when it is not
// safe to create below a target folder (absolute, a drive, "..", control characters).
bool SafeRelativeName(const std::string& stored, std::string& out);

}  // namespace unace

#pragma once
// The zip file format as both the zip component and the unzip library read it: the fixed
// records (local and central headers, end record, data descriptors), DOS dates, CP437
// names, name patterns and the traditional PKWARE decryption. Everything reads from byte
// buffers whose length is passed along; nothing here trusts a length from a file.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace vellicor::zip {

constexpr uint32_t kLocalSig = 0x04034b50;
constexpr uint32_t kCentralSig = 0x02014b50;
constexpr uint32_t kEndSig = 0x06054b50;
constexpr uint32_t kDescriptorSig = 0x08074b50;  // also the mark of a spanned set's first part
constexpr uint32_t kZip64EndSig = 0x06064b50;
constexpr uint32_t kZip64LocatorSig = 0x07064b50;
constexpr int kLocalHeaderSize = 30;
constexpr int kCentralHeaderSize = 46;
constexpr int kEndRecordSize = 22;
constexpr int kZip64LocatorSize = 20;
constexpr int kMaxCommentLength = 65535;

constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagDescriptor = 0x0008;
constexpr uint16_t kFlagStrongEncryption = 0x0040;
constexpr uint16_t kFlagUtf8 = 0x0800;

constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kMethodBzip2 = 12;
constexpr uint16_t kMethodAes = 99;

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct LocalHeader {
    uint16_t versionNeeded = 0, flags = 0, method = 0, modTime = 0, modDate = 0;
    uint32_t crc32 = 0, compressedSize = 0, uncompressedSize = 0;
    uint16_t nameLength = 0, extraLength = 0;
    // From kLocalHeaderSize bytes starting at the signature; false on a wrong signature.
    bool Parse(const uint8_t* p, size_t n);
    int64_t TotalSize() const { return kLocalHeaderSize + int64_t(nameLength) + extraLength; }
};

struct CentralHeader {
    uint16_t versionMadeBy = 0, versionNeeded = 0, flags = 0, method = 0, modTime = 0, modDate = 0;
    uint32_t crc32 = 0, compressedSize = 0, uncompressedSize = 0;
    uint16_t nameLength = 0, extraLength = 0, commentLength = 0, diskStart = 0, internalAttr = 0;
    uint32_t externalAttr = 0, localHeaderOffset = 0;
    // From kCentralHeaderSize bytes starting at the signature; false on a wrong signature.
    bool Parse(const uint8_t* p, size_t n);
    // The 42 bytes after the signature, as stored.
    void Store42(uint8_t* out) const;
    // A field holds the zip64 marker: the real value lives in an extra field we do not read.
    bool NeedsZip64() const {
        return compressedSize == 0xFFFFFFFFu || uncompressedSize == 0xFFFFFFFFu || localHeaderOffset == 0xFFFFFFFFu ||
               diskStart == 0xFFFF;
    }
};

struct EndOfCentral {
    uint16_t thisDisk = 0, centralDisk = 0, entriesThisDisk = 0, totalEntries = 0;
    uint32_t centralSize = 0, centralOffset = 0;
    uint16_t commentLength = 0;
    bool Parse(const uint8_t* p, size_t n);
    void Store(uint8_t* out) const;  // kEndRecordSize bytes
    bool NeedsZip64() const {
        return thisDisk == 0xFFFF || centralDisk == 0xFFFF || entriesThisDisk == 0xFFFF || totalEntries == 0xFFFF ||
               centralSize == 0xFFFFFFFFu || centralOffset == 0xFFFFFFFFu;
    }
};

struct DataDescriptor {
    uint32_t crc32 = 0, compressedSize = 0, uncompressedSize = 0;
    int length = 0;  // 16 with its signature, 12 without
};
// Reads a data descriptor at p (n bytes available). Both forms exist; the one that agrees
// with the expected CRC wins, else the signed form when the signature is there.
bool ParseDataDescriptor(const uint8_t* p, size_t n, uint32_t expectedCrc, DataDescriptor& out);

// Searches buf (the last n bytes of a file) backwards from n - 23 for an end record whose
// comment fits inside the buffer. Returns its offset in buf, or -1. A record whose comment
// length runs past the end is no record (the scan goes on).
int64_t FindEndRecord(const uint8_t* buf, size_t n, size_t startFrom);
inline int64_t FindEndRecord(const uint8_t* buf, size_t n) {
    return n < size_t(kEndRecordSize) ? -1 : FindEndRecord(buf, n, n - kEndRecordSize);
}
// True when the kZip64LocatorSize bytes before the end record at offset i of buf hold a
// zip64 locator.
bool HasZip64Locator(const uint8_t* buf, size_t i);

// DOS date and time (local time) to and from a Unix time.
time_t DosDateTimeToUnix(uint16_t date, uint16_t time);
void UnixToDosDateTime(time_t t, uint16_t& date, uint16_t& time);

// CP437 and UTF-8. Characters without a CP437 form become '_'.
std::string Cp437ToUtf8(std::string_view oem);
std::string Utf8ToCp437(std::string_view utf8);
bool IsValidUtf8(std::string_view s);

// Code-page choices of the component (cpAUTO, cpNone, cpOEM).
enum ZipCodePage : int { zcpAuto = 0, zcpNone = 1, zcpOem = 2 };
// Whether a stored name (or comment) of this entry is taken as CP437: always with cpOEM,
// never with cpNone or when the entry says UTF-8; with cpAUTO when the entry was made on
// a DOS-family host (0, 6, 11) with version byte 50, or when the bytes are no UTF-8 (the
// only other code page the zip format knows is CP437).
bool TakesOemNames(int codePage, uint16_t versionMadeBy, uint16_t flags, std::string_view raw);
// The stored name as text (UTF-8); the separators are left as stored.
std::string DecodeStoredName(std::string_view raw, int codePage, uint16_t versionMadeBy, uint16_t flags);

// '*' and '?' wildcards; letters compare without case; '/' and '\' are the same.
bool WildcardMatch(std::string_view pattern, std::string_view name);

// Traditional PKWARE encryption.
class ZipCrypto {
public:
    void Init(std::string_view password);
    uint8_t DecryptByte(uint8_t c) {
        uint32_t t = (keys_[2] & 0xFFFF) | 2;
        uint8_t plain = c ^ static_cast<uint8_t>((t * (t ^ 1)) >> 8);
        Update(plain);
        return plain;
    }
    void Decrypt(uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) p[i] = DecryptByte(p[i]);
    }
    uint8_t EncryptByte(uint8_t plain) {
        uint32_t t = (keys_[2] & 0xFFFF) | 2;
        uint8_t c = plain ^ static_cast<uint8_t>((t * (t ^ 1)) >> 8);
        Update(plain);
        return c;
    }
    void Encrypt(uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) p[i] = EncryptByte(p[i]);
    }
    // Decrypts the 12-byte header and compares its last byte with the check byte: the high
    // byte of the CRC, or of the DOS time when the sizes follow in a data descriptor.
    bool CheckHeader(const uint8_t header[12], uint16_t flags, uint32_t crc32, uint16_t modTime);

private:
    void Update(uint8_t c);
    uint32_t keys_[3] = {0, 0, 0};
};

uint32_t Crc32(uint32_t crc, const void* data, size_t n);

}  // namespace vellicor::zip

#include "archives/zip/ZipRecords.h"

#include <zlib.h>

#include <cstring>

#include "platform/Text.h"
#include "trace/Trace.h"

namespace vellicor::zip {

bool LocalHeader::Parse(const uint8_t* p, size_t n) {
    VTRACE("LocalHeader::Parse");
    if (n < size_t(kLocalHeaderSize) || Get32(p) != kLocalSig) return false;
    versionNeeded = Get16(p + 4);
    flags = Get16(p + 6);
    method = Get16(p + 8);
    modTime = Get16(p + 10);
    modDate = Get16(p + 12);
    crc32 = Get32(p + 14);
    compressedSize = Get32(p + 18);
    uncompressedSize = Get32(p + 22);
    nameLength = Get16(p + 26);
    extraLength = Get16(p + 28);
    return true;
}

bool CentralHeader::Parse(const uint8_t* p, size_t n) {
    VTRACE("CentralHeader::Parse");
    if (n < size_t(kCentralHeaderSize) || Get32(p) != kCentralSig) return false;
    versionMadeBy = Get16(p + 4);
    versionNeeded = Get16(p + 6);
    flags = Get16(p + 8);
    method = Get16(p + 10);
    modTime = Get16(p + 12);
    modDate = Get16(p + 14);
    crc32 = Get32(p + 16);
    compressedSize = Get32(p + 20);
    uncompressedSize = Get32(p + 24);
    nameLength = Get16(p + 28);
    extraLength = Get16(p + 30);
    commentLength = Get16(p + 32);
    diskStart = Get16(p + 34);
    internalAttr = Get16(p + 36);
    externalAttr = Get32(p + 38);
    localHeaderOffset = Get32(p + 42);
    return true;
}

void CentralHeader::Store42(uint8_t* o) const {
    VTRACE("CentralHeader::Store42");
    Put16(o + 0, versionMadeBy);
    Put16(o + 2, versionNeeded);
    Put16(o + 4, flags);
    Put16(o + 6, method);
    Put16(o + 8, modTime);
    Put16(o + 10, modDate);
    Put32(o + 12, crc32);
    Put32(o + 16, compressedSize);
    Put32(o + 20, uncompressedSize);
    Put16(o + 24, nameLength);
    Put16(o + 26, extraLength);
    Put16(o + 28, commentLength);
    Put16(o + 30, diskStart);
    Put16(o + 32, internalAttr);
    Put32(o + 34, externalAttr);
    Put32(o + 38, localHeaderOffset);
}

bool EndOfCentral::Parse(const uint8_t* p, size_t n) {
    VTRACE("EndOfCentral::Parse");
    if (n < size_t(kEndRecordSize) || Get32(p) != kEndSig) return false;
    thisDisk = Get16(p + 4);
    centralDisk = Get16(p + 6);
    entriesThisDisk = Get16(p + 8);
    totalEntries = Get16(p + 10);
    centralSize = Get32(p + 12);
    centralOffset = Get32(p + 16);
    commentLength = Get16(p + 20);
    return true;
}

void EndOfCentral::Store(uint8_t* o) const {
    VTRACE("EndOfCentral::Store");
    Put32(o, kEndSig);
    Put16(o + 4, thisDisk);
    Put16(o + 6, centralDisk);
    Put16(o + 8, entriesThisDisk);
    Put16(o + 10, totalEntries);
    Put32(o + 12, centralSize);
    Put32(o + 16, centralOffset);
    Put16(o + 20, commentLength);
}

bool ParseDataDescriptor(const uint8_t* p, size_t n, uint32_t expectedCrc, DataDescriptor& out) {
    VTRACE("ParseDataDescriptor");
    bool signedForm = n >= 16 && Get32(p) == kDescriptorSig;
    bool plainForm = n >= 12;
    if (signedForm && Get32(p + 4) == expectedCrc) {
        out = {Get32(p + 4), Get32(p + 8), Get32(p + 12), 16};
        return true;
    }
    if (plainForm && Get32(p) == expectedCrc) {
        out = {Get32(p), Get32(p + 4), Get32(p + 8), 12};
        return true;
    }
    if (signedForm) {
        out = {Get32(p + 4), Get32(p + 8), Get32(p + 12), 16};
        return true;
    }
    if (plainForm) {
        out = {Get32(p), Get32(p + 4), Get32(p + 8), 12};
        return true;
    }
    return false;
}

int64_t FindEndRecord(const uint8_t* buf, size_t n, size_t startFrom) {
    VTRACE("FindEndRecord");
    if (n < size_t(kEndRecordSize)) return -1;
    size_t i = startFrom > n - kEndRecordSize ? n - kEndRecordSize : startFrom;
    for (;;) {
        if (buf[i] == 0x50 && buf[i + 1] == 0x4B && buf[i + 2] == 5 && buf[i + 3] == 6) {
            size_t comment = Get16(buf + i + 20);
            if (i + kEndRecordSize + comment <= n) return static_cast<int64_t>(i);
        }
        if (i == 0) return -1;
        --i;
    }
}

bool HasZip64Locator(const uint8_t* buf, size_t i) {
    VTRACE("HasZip64Locator");
    return i >= size_t(kZip64LocatorSize) && Get32(buf + i - kZip64LocatorSize) == kZip64LocatorSig;
}

time_t DosDateTimeToUnix(uint16_t date, uint16_t time) {
    VTRACE("DosDateTimeToUnix");
    struct tm t {};
    t.tm_year = ((date >> 9) & 0x7F) + 80;
    t.tm_mon = ((date >> 5) & 0x0F) - 1;
    t.tm_mday = date & 0x1F;
    t.tm_hour = (time >> 11) & 0x1F;
    t.tm_min = (time >> 5) & 0x3F;
    t.tm_sec = (time & 0x1F) * 2;
    t.tm_isdst = -1;
    if (t.tm_mon < 0) t.tm_mon = 0;
    if (t.tm_mday < 1) t.tm_mday = 1;
    return mktime(&t);
}

void UnixToDosDateTime(time_t value, uint16_t& date, uint16_t& time) {
    VTRACE("UnixToDosDateTime");
    struct tm t {};
    localtime_r(&value, &t);
    if (t.tm_year < 80) {  // the DOS epoch is 1980
        date = (1 << 5) | 1;
        time = 0;
        return;
    }
    date = static_cast<uint16_t>(((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
    time = static_cast<uint16_t>((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
}

namespace {

const uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// Decodes one UTF-8 sequence at s[i]; returns its length (0 when malformed).
size_t DecodeUtf8(std::string_view s, size_t i, uint32_t& cp) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    return n;
}

inline unsigned char Fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }
inline unsigned char Norm(char c) { return c == '\\' ? '/' : Fold(static_cast<unsigned char>(c)); }

}  // namespace

std::string Cp437ToUtf8(std::string_view oem) {
    VTRACE("Cp437ToUtf8");
    std::string out;
    out.reserve(oem.size() + oem.size() / 2);
    for (unsigned char c : oem) {
        if (c < 0x80) out += static_cast<char>(c);
        else AppendUtf8(out, kCp437High[c - 0x80]);
    }
    return out;
}

std::string Utf8ToCp437(std::string_view utf8) {
    VTRACE("Utf8ToCp437");
    std::string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        uint32_t cp = 0;
        size_t n = DecodeUtf8(utf8, i, cp);
        if (n == 0) {  // a byte that is no UTF-8 is kept: it may already be OEM
            out += utf8[i++];
            continue;
        }
        i += n;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
            continue;
        }
        char mapped = '_';
        for (int k = 0; k < 128; ++k)
            if (kCp437High[k] == cp) {
                mapped = static_cast<char>(0x80 + k);
                break;
            }
        out += mapped;
    }
    return out;
}

bool IsValidUtf8(std::string_view s) {
    VTRACE("IsValidUtf8");
    size_t i = 0;
    while (i < s.size()) {
        uint32_t cp;
        size_t n = DecodeUtf8(s, i, cp);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

bool TakesOemNames(int codePage, uint16_t versionMadeBy, uint16_t flags, std::string_view raw) {
    VTRACE("TakesOemNames");
    if (codePage == zcpNone || (flags & kFlagUtf8)) return false;
    if (codePage == zcpOem) return true;
    int host = versionMadeBy >> 8;
    if ((host == 0 || host == 6 || host == 11) && (versionMadeBy & 0xFF) == 50) return true;
    return !IsValidUtf8(raw);
}

std::string DecodeStoredName(std::string_view raw, int codePage, uint16_t versionMadeBy, uint16_t flags) {
    VTRACE("DecodeStoredName");
    if (TakesOemNames(codePage, versionMadeBy, flags, raw)) return Cp437ToUtf8(raw);
    return std::string(raw);
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
    VTRACE("WildcardMatch");
    size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || Norm(pattern[p]) == Norm(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

void ZipCrypto::Init(std::string_view password) {
    VTRACE("ZipCrypto::Init");
    keys_[0] = 305419896u;
    keys_[1] = 591751049u;
    keys_[2] = 878082192u;
    for (char c : password) Update(static_cast<uint8_t>(c));
}

void ZipCrypto::Update(uint8_t c) {
    static const z_crc_t* table = get_crc_table();
    keys_[0] = table[(keys_[0] ^ c) & 0xFF] ^ (keys_[0] >> 8);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
    keys_[2] = table[(keys_[2] ^ (keys_[1] >> 24)) & 0xFF] ^ (keys_[2] >> 8);
}

bool ZipCrypto::CheckHeader(const uint8_t header[12], uint16_t flags, uint32_t crc32, uint16_t modTime) {
    VTRACE("ZipCrypto::CheckHeader");
    uint8_t h[12];
    std::memcpy(h, header, 12);
    Decrypt(h, 12);
    uint8_t check = (flags & kFlagDescriptor) ? static_cast<uint8_t>(modTime >> 8) : static_cast<uint8_t>(crc32 >> 24);
    return h[11] == check;
}

uint32_t Crc32(uint32_t crc, const void* data, size_t n) {
    const auto* p = static_cast<const Bytef*>(data);
    while (n > 0) {  // zlib takes 32-bit lengths
        uInt chunk = n > 0x40000000u ? 0x40000000u : static_cast<uInt>(n);
        crc = static_cast<uint32_t>(crc32(crc, p, chunk));
        p += chunk;
        n -= chunk;
    }
    return crc;
}

}  // namespace vellicor::zip

#include "pages/Checksums.h"

#include <zlib.h>

#include <algorithm>
#include <unordered_set>

#include "pages/Utilsunit.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

constexpr int64_t kBlockSize = 16384;
constexpr size_t kMaxLine = 511;      // a list line is considered up to this many characters
constexpr int64_t kParHeaderSize = 96;
constexpr uint64_t kParEntryFixed = 56;  // entry fields before the name
constexpr uint32_t kParVersionLimit = 0x00020000;

const char* const kSfvFormatError = "incorrect sfv file format";
const char* const kMd5FormatError = "incorrect md5 file format";
const char* const kParFormatError = "incorrect PAR file format";
const char* const kParVersionError = "PAR file version mismatch";
const char* const kSfvMismatch = "SFV file checksum error";
const char* const kMd5Mismatch = "MD5 file checksum error";
const char* const kParMismatch = "PAR file checksum error";
const char* const kListTooLarge = "checksum file too large";
// No real list comes near this; a larger one is refused unread.
constexpr int64_t kMaxListSize = int64_t(16) << 20;
// The missing-files box names this many and counts the rest.
constexpr size_t kMaxMissingNamed = 30;

// Feeds the first size bytes of the stream to sink in blocks, from position 0, and
// leaves the stream at 0. Memory streams are read in place.
template <typename Sink>
void ForEachBlock(TStream& stream, int64_t size, Sink sink) {
    VTRACE("Checksums::ForEachBlock");
    if (auto* mem = dynamic_cast<TMemoryStream*>(&stream)) {
        int64_t total = std::min(std::max<int64_t>(size, 0), mem->Size());
        const uint8_t* p = mem->Memory();
        for (int64_t done = 0; done < total;) {
            int64_t n = std::min(kBlockSize, total - done);
            sink(p + done, static_cast<size_t>(n));
            done += n;
        }
    } else {
        std::vector<uint8_t> buffer(kBlockSize);
        stream.Seek(0, SeekOrigin::Begin);
        for (int64_t left = size; left > 0;) {
            int64_t n = stream.Read(buffer.data(), std::min(kBlockSize, left));
            if (n <= 0) break;
            sink(buffer.data(), static_cast<size_t>(n));
            left -= n;
        }
    }
    stream.Seek(0, SeekOrigin::Begin);
}

uint32_t Get32(const uint8_t* p) {
    VTRACE("Checksums::Get32");
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint64_t Get64(const uint8_t* p) {
    VTRACE("Checksums::Get64");
    return static_cast<uint64_t>(Get32(p)) | static_cast<uint64_t>(Get32(p + 4)) << 32;
}

int HexValue(char c) {
    VTRACE("Checksums::HexValue");
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Calls fn with each line of the stream from position 0 (cut at CR, LF or CRLF), decoded to
// UTF-8. Lines are read one at a time and only their head is kept: whatever lies past the
// 511 characters considered is never held in memory. fn returns false to stop.
template <typename Fn>
void ForEachLine(TStream& stream, Fn fn) {
    VTRACE("Checksums::ForEachLine");
    constexpr size_t kKeep = kMaxLine * 4;  // raw bytes enough for 511 characters in any encoding
    std::vector<char> chunk(65536);
    std::string line;
    bool overlong = false, afterCR = false, first = true, stop = false;
    auto endLine = [&] {
        if (first && line.size() >= 3 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        first = false;
        stop = !fn(DecodeTextFile(line));
        line.clear();
        overlong = false;
    };
    stream.Seek(0, SeekOrigin::Begin);
    bool any = false;
    for (int64_t n; !stop && (n = stream.Read(chunk.data(), static_cast<int64_t>(chunk.size()))) > 0;) {
        for (int64_t i = 0; i < n && !stop; ++i) {
            char c = chunk[static_cast<size_t>(i)];
            any = true;
            if (c == '\n' && afterCR) {
                afterCR = false;
                continue;
            }
            afterCR = c == '\r';
            if (c == '\r' || c == '\n') {
                endLine();
            } else if (!overlong) {
                line += c;
                overlong = line.size() >= kKeep;
            }
        }
    }
    if (!stop && any && (!line.empty() || overlong)) endLine();
    stream.Seek(0, SeekOrigin::Begin);
}

std::string ListLine(const std::string& raw) {
    VTRACE("Checksums::ListLine");
    return Trim(std::string_view(raw).substr(0, kMaxLine));
}

std::string TrimRight(std::string_view s) {
    VTRACE("Checksums::TrimRight");
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
    return std::string(s);
}

// md5sum writes a name holding a backslash or a line break with a leading '\' on the line
// and the name escaped.
std::string UnescapeMd5Name(std::string_view s) {
    VTRACE("Checksums::UnescapeMd5Name");
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char n = s[i + 1];
            if (n == '\\' || n == 'n' || n == 'r') {
                out += n == '\\' ? '\\' : n == 'n' ? '\n' : '\r';
                ++i;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    VTRACE("Checksums::AppendUtf8");
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16LE to UTF-8; a lone surrogate becomes U+FFFD; a NUL ends the name.
std::string Utf16LeToUtf8(const uint8_t* p, size_t units) {
    VTRACE("Checksums::Utf16LeToUtf8");
    std::string out;
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = static_cast<uint32_t>(p[2 * i]) | static_cast<uint32_t>(p[2 * i + 1]) << 8;
        if (u == 0) break;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            uint32_t v = static_cast<uint32_t>(p[2 * i + 2]) | static_cast<uint32_t>(p[2 * i + 3]) << 8;
            if (v >= 0xDC00 && v <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        AppendUtf8(out, u);
    }
    return out;
}

// Offers OK and Cancel once per checksum file; true when reading is to stop.
bool FormatErrorStops(bool& shown, const char* caption, const std::string& fileName) {
    VTRACE("Checksums::FormatErrorStops");
    if (shown) return false;
    shown = true;
    return ShowMessageBox(caption, fileName, mbOKCancel, TMsgKind::Warning) == mrCancel;
}

}  // namespace

uint32_t StreamCRC32(TStream& stream, int64_t size) {
    VTRACE("Checksums::StreamCRC32");
    uLong crc = crc32(0L, Z_NULL, 0);
    ForEachBlock(stream, size, [&](const uint8_t* p, size_t n) { crc = crc32(crc, p, static_cast<uInt>(n)); });
    return static_cast<uint32_t>(crc);
}

TMD5Digest StreamMD5(TStream& stream, int64_t size) {
    VTRACE("Checksums::StreamMD5");
    TMD5 md5;
    ForEachBlock(stream, size, [&](const uint8_t* p, size_t n) { md5.Update(p, n); });
    return md5.Final();
}

TCheckChecksums::TCheckChecksums() {
    VTRACE("TCheckChecksums::TCheckChecksums");
    filesRead_.SetSorted(true);
    filesRead_.SetDuplicates(TDuplicates::dupIgnore);
}

TCheckChecksums::~TCheckChecksums() { VTRACE("TCheckChecksums::~TCheckChecksums"); }

void TCheckChecksums::Clear() {
    VTRACE("TCheckChecksums::Clear");
    entries_.clear();
    index_.clear();
    filesRead_.Clear();
}

std::string TCheckChecksums::NormalizeName(std::string_view fileName) {
    VTRACE("TCheckChecksums::NormalizeName");
    size_t start = fileName.find_last_of("/\\:");
    if (start != std::string_view::npos) fileName.remove_prefix(start + 1);
    static const std::string_view replaced = "/?<>\\:;*|[]=,*& +'-()#";
    std::string key;
    key.reserve(fileName.size());
    for (char c : LowerCase(fileName)) {
        if (replaced.find(c) != std::string_view::npos) c = '_';
        if (c == '_' && !key.empty() && key.back() == '_') continue;
        key += c;
    }
    return key;
}

// The folders of a path, lower case, "/" between them, without "." and empty parts.
static std::string FolderOf(std::string_view path) {
    size_t end = path.find_last_of("/\\");
    if (end == std::string_view::npos) return {};
    std::string folder;
    for (size_t i = 0; i <= end;) {
        size_t j = path.find_first_of("/\\", i);
        std::string_view part = path.substr(i, j - i);
        if (!part.empty() && part != ".") folder += (folder.empty() ? "" : "/") + LowerCase(part);
        i = j + 1;
    }
    return folder;
}

std::string TCheckChecksums::ScopeOf(const std::string& archive, std::string_view fileName) {
    return LowerCase(archive) + "|" + FolderOf(fileName);
}

std::string TCheckChecksums::KeyOf(const std::string& scope, std::string_view fileName) {
    std::string folder = FolderOf(fileName);
    std::string key = scope;
    if (!folder.empty()) key += (key.back() == '|' ? "" : "/") + folder;
    return key + "|" + NormalizeName(fileName);
}

TChecksumEntry* TCheckChecksums::Find(const std::string& archive, std::string_view fileName) {
    VTRACE("TCheckChecksums::Find");
    auto it = index_.find(KeyOf(LowerCase(archive) + "|", fileName));
    return it == index_.end() ? nullptr : &entries_[it->second];
}

const TChecksumEntry* TCheckChecksums::FindEntry(std::string_view fileName, const std::string& archive) const {
    VTRACE("TCheckChecksums::FindEntry");
    return const_cast<TCheckChecksums*>(this)->Find(archive, fileName);
}

TChecksumEntry* TCheckChecksums::EntryFor(const std::string& scope, const std::string& name) {
    VTRACE("TCheckChecksums::EntryFor");
    std::string key = KeyOf(scope, name);
    auto it = index_.find(key);
    if (it != index_.end()) return &entries_[it->second];
    index_.emplace(key, entries_.size());
    TChecksumEntry entry;
    entry.Key = std::move(key);
    entry.Name = name;
    entries_.push_back(std::move(entry));
    return &entries_.back();
}

bool TCheckChecksums::AddChecksumFile(const std::string& fileName, TStream& stream, const std::string& archive) {
    VTRACE("TCheckChecksums::AddChecksumFile");
    VTRACE_STR("TCheckChecksums::AddChecksumFile fileName", fileName);
    const std::string readKey = archive.empty() ? fileName : archive + "|" + fileName;
    if (filesRead_.IndexOf(readKey) >= 0) return false;
    if (!IsChecksumFile(fileName)) return false;
    if (stream.Size() > kMaxListSize) {
        RefuseTooLarge(fileName);
        return false;
    }
    // A list judges the pages of its own folder (and archive), named relative to it.
    const std::string scope = ScopeOf(archive, fileName);
    bool ok = false;
    if (IsSfvFile(fileName)) ok = ReadSFV(fileName, scope, stream);
    else if (IsMd5File(fileName)) ok = ReadMD5(fileName, scope, stream);
    else if (IsParFile(fileName)) ok = ReadPAR(fileName, scope, stream);
    if (ok) filesRead_.Add(readKey);
    return ok;
}

bool TCheckChecksums::TooLarge(int64_t size) { return size > kMaxListSize; }

void TCheckChecksums::RefuseTooLarge(const std::string& fileName) {
    VTRACE("TCheckChecksums::RefuseTooLarge");
    ShowMessageBox(kListTooLarge, fileName, mbOK, TMsgKind::Warning);
}

bool TCheckChecksums::ReadSFV(const std::string& fileName, const std::string& scope, TStream& stream) {
    VTRACE("TCheckChecksums::ReadSFV");
    bool errorShown = false, stopped = false;
    ForEachLine(stream, [&](const std::string& raw) {
        std::string line = ListLine(raw);
        if (line.empty() || line[0] == ';') return true;
        size_t space = line.rfind(' ');
        bool bad = space == std::string::npos;
        uint32_t crc = 0;
        if (!bad) {
            std::string_view digits = std::string_view(line).substr(space + 1, 8);
            for (char c : digits) {
                int v = HexValue(c);
                if (v < 0) {
                    bad = true;
                    break;
                }
                crc = crc << 4 | static_cast<uint32_t>(v);
            }
        }
        if (bad) {
            stopped = FormatErrorStops(errorShown, kSfvFormatError, fileName);
            return !stopped;
        }
        std::string name = TrimRight(std::string_view(line).substr(0, space));
        if (!IsImageFile(name)) return true;
        TChecksumEntry* entry = EntryFor(scope, name);
        if (!entry->HasSFV) {
            entry->HasSFV = true;
            entry->SFVVal = crc;
        }
        return true;
    });
    return !stopped;
}

bool TCheckChecksums::ReadMD5(const std::string& fileName, const std::string& scope, TStream& stream) {
    VTRACE("TCheckChecksums::ReadMD5");
    bool errorShown = false, stopped = false;
    ForEachLine(stream, [&](const std::string& raw) {
        std::string line = ListLine(raw);
        if (line.empty()) return true;
        std::string_view rest(line);
        const bool escaped = rest[0] == '\\';
        if (escaped) rest.remove_prefix(1);
        size_t space = rest.find(' ');
        // The digest is at most 32 digits, and a space or '*' (binary mode) follows its space.
        bool bad = space == std::string_view::npos || space > 32 || space + 1 >= rest.size() ||
                   (rest[space + 1] != ' ' && rest[space + 1] != '*');
        if (bad) {
            stopped = FormatErrorStops(errorShown, kMd5FormatError, fileName);
            return !stopped;
        }
        std::string name = escaped ? UnescapeMd5Name(rest.substr(space + 2)) : std::string(rest.substr(space + 2));
        if (!IsImageFile(name)) return true;
        std::string field(32 - space, '0');
        field.append(rest.substr(0, space));
        TMD5Digest digest;
        for (size_t i = 0; i < digest.size(); ++i) {
            int hi = HexValue(field[2 * i]), lo = HexValue(field[2 * i + 1]);
            digest[i] = static_cast<uint8_t>(std::max(hi, 0) << 4 | std::max(lo, 0));
        }
        TChecksumEntry* entry = EntryFor(scope, name);
        if (!entry->HasMD5) {
            entry->HasMD5 = true;
            entry->MD5Val = digest;
        }
        return true;
    });
    return !stopped;
}

bool TCheckChecksums::ReadPAR(const std::string& fileName, const std::string& scope, TStream& stream) {
    VTRACE("TCheckChecksums::ReadPAR");
    static const uint8_t magic[8] = {'P', 'A', 'R', 0, 0, 0, 0, 0};
    uint8_t header[kParHeaderSize];
    stream.Seek(0, SeekOrigin::Begin);
    if (stream.Read(header, kParHeaderSize) != kParHeaderSize || !std::equal(magic, magic + 8, header)) {
        ShowMessageBox(kParFormatError, fileName, mbOK, TMsgKind::Warning);
        return false;
    }
    if (Get32(header + 8) >= kParVersionLimit) {
        ShowMessageBox(kParVersionError, fileName, mbOK, TMsgKind::Warning);
        return false;
    }
    // Sizes come from the file: the table must lie wholly inside it.
    const uint64_t fileSize = static_cast<uint64_t>(std::max<int64_t>(stream.Size(), 0));
    const uint64_t tableOffset = Get64(header + 64), tableSize = Get64(header + 72);
    if (tableOffset > fileSize || tableSize > fileSize - tableOffset) {
        ShowMessageBox(kParFormatError, fileName, mbOK, TMsgKind::Warning);
        return false;
    }
    std::vector<uint8_t> table(static_cast<size_t>(tableSize));
    if (stream.Seek(static_cast<int64_t>(tableOffset), SeekOrigin::Begin) != static_cast<int64_t>(tableOffset) ||
        stream.Read(table.data(), static_cast<int64_t>(tableSize)) != static_cast<int64_t>(tableSize))
        return false;
    for (uint64_t pos = 0; pos < tableSize;) {
        const uint64_t left = tableSize - pos;
        const uint8_t* e = table.data() + pos;
        const uint64_t entrySize = left >= 8 ? Get64(e) : 0;
        if (entrySize < kParEntryFixed || entrySize > left) {
            ShowMessageBox(kParFormatError, fileName, mbOK, TMsgKind::Warning);
            return false;
        }
        std::string name = Utf16LeToUtf8(e + kParEntryFixed, static_cast<size_t>((entrySize - kParEntryFixed) / 2));
        if (IsImageFile(name)) {
            TChecksumEntry* entry = EntryFor(scope, name);
            if (!entry->HasPAR) {
                entry->HasPAR = true;
                std::copy(e + 24, e + 40, entry->PARVal.begin());
                std::copy(e + 40, e + 56, entry->PAR16kVal.begin());
            }
        }
        pos += entrySize;
    }
    return true;
}

void TCheckChecksums::Report(TChecksumEntry& entry, const std::string& fileName, const char* caption,
                             TStringList* list) {
    VTRACE("TCheckChecksums::Report");
    entry.Warned = true;
    if (list) list->Add(fileName);
    else ShowMessageBox(caption, fileName, mbOK, TMsgKind::Warning);
}

void TCheckChecksums::CheckFileChecksum(const std::string& fileName, TStream& stream, int64_t size,
                                        TStringList* list, const std::string& archive) {
    VTRACE("TCheckChecksums::CheckFileChecksum");
    if (!IsImageFile(fileName)) return;
    TChecksumEntry* entry = Find(archive, fileName);
    if (!entry || entry->Warned) return;
    if (entry->HasSFV) {
        if (StreamCRC32(stream, size) != entry->SFVVal) Report(*entry, fileName, kSfvMismatch, list);
    } else if (entry->HasMD5) {
        if (StreamMD5(stream, size) != entry->MD5Val) Report(*entry, fileName, kMd5Mismatch, list);
    } else if (entry->HasPAR) {
        if (StreamMD5(stream, size) != entry->PARVal) Report(*entry, fileName, kParMismatch, list);
    }
    stream.Seek(0, SeekOrigin::Begin);
}

void TCheckChecksums::CheckAllFilesPesent(const TStringList& names, TStringList* list) {
    VTRACE("TCheckChecksums::CheckAllFilesPesent");
    std::vector<std::pair<std::string, std::string>> present;
    for (const auto& name : names) present.emplace_back(name, std::string());
    CheckAllFilesPesent(present, list);
}

void TCheckChecksums::CheckAllFilesPesent(const std::vector<std::pair<std::string, std::string>>& names, TStringList* list) {
    VTRACE("TCheckChecksums::CheckAllFilesPesent");
    if (filesRead_.Count() == 0) return;
    std::unordered_set<std::string> present;
    for (const auto& [name, archive] : names) present.insert(KeyOf(LowerCase(archive) + "|", name));
    std::vector<std::string> missing;
    for (auto& entry : entries_) {
        if (entry.Warned || present.count(entry.Key)) continue;
        entry.Warned = true;
        if (list) list->Add(entry.Name);
        else missing.push_back(entry.Name);
    }
    if (list || missing.empty()) return;
    // A box of one line per name: the first few dozen are named, the rest counted.
    std::string text;
    size_t named = std::min(missing.size(), kMaxMissingNamed);
    for (size_t i = 0; i < named; ++i) {
        text += missing[i];
        if (i + 1 < missing.size()) text += ",\n";
    }
    if (named < missing.size()) text += "and " + std::to_string(missing.size() - named) + " more";
    ShowMessageBox(missing.size() == 1 ? "File missing from checksum list" : "Files missing from checksum list",
                   text, mbOK, TMsgKind::Warning);
}

}  // namespace vellicor

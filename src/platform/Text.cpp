#include "platform/Text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>

namespace vellicor {

static inline unsigned char Fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

namespace {

// The lower-case letter of a capital in the Latin, Greek and Cyrillic blocks; any other code
// point stays. Each pair has the same UTF-8 length.
uint32_t FoldCodePoint(uint32_t c) {
    if (c < 0x80) return Fold(static_cast<unsigned char>(c));
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
    if (c == 0x178) return 0xFF;
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return c | 1;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c + 1 : c;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    return c;
}

// The next code point of UTF-8 text at i, moving i past it; a byte that starts no valid
// sequence stands for itself (above every code point, so such names sort apart).
uint32_t NextCodePoint(std::string_view s, size_t& i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len > 1 && i + static_cast<size_t>(len) <= s.size()) {
        uint32_t cp = c & (0x7F >> len);
        bool ok = true;
        for (int k = 1; k < len && ok; ++k) {
            unsigned char t = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
            ok = (t & 0xC0) == 0x80;
            cp = cp << 6 | (t & 0x3F);
        }
        static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && cp >= least[len] && cp <= 0x10FFFF) {
            i += static_cast<size_t>(len);
            return cp;
        }
    }
    ++i;
    return len == 1 ? c : 0x110000 + c;
}

}  // namespace

int AnsiCompareText(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        uint32_t x = FoldCodePoint(NextCodePoint(a, i)), y = FoldCodePoint(NextCodePoint(b, j));
        if (x != y) return x < y ? -1 : 1;
    }
    bool aDone = i >= a.size(), bDone = j >= b.size();
    return aDone == bDone ? 0 : (aDone ? -1 : 1);
}

int AnsiCompareStr(std::string_view a, std::string_view b) {
    int r = a.compare(b);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

bool SameText(std::string_view a, std::string_view b) { return a.size() == b.size() && AnsiCompareText(a, b) == 0; }

std::string LowerCase(std::string_view s) {
    std::string r(s);
    for (size_t i = 0; i < r.size();) {
        size_t start = i;
        uint32_t cp = NextCodePoint(r, i);
        uint32_t low = FoldCodePoint(cp);
        if (low == cp) continue;
        if (low < 0x80) {
            r[start] = static_cast<char>(low);
        } else {  // two bytes before and after
            r[start] = static_cast<char>(0xC0 | (low >> 6));
            r[start + 1] = static_cast<char>(0x80 | (low & 0x3F));
        }
    }
    return r;
}

std::string UpperCase(std::string_view s) {
    std::string r(s);
    for (auto& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return r;
}

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return std::string(s.substr(b, e - b));
}

static size_t LastDelimiter(std::string_view p) {
    for (size_t i = p.size(); i > 0; --i)
        if (IsPathDelimiter(p[i - 1])) return i - 1;
    return std::string_view::npos;
}

std::string ExtractFileName(std::string_view path) {
    size_t i = LastDelimiter(path);
    return std::string(i == std::string_view::npos ? path : path.substr(i + 1));
}

std::string ExtractFilePath(std::string_view path) {
    size_t i = LastDelimiter(path);
    return i == std::string_view::npos ? std::string() : std::string(path.substr(0, i + 1));
}

std::string ExtractFileDir(std::string_view path) {
    size_t i = LastDelimiter(path);
    if (i == std::string_view::npos) return {};
    if (i == 0) return std::string(path.substr(0, 1));  // the root keeps its slash
    return std::string(path.substr(0, i));
}

std::string ExtractFileExt(std::string_view path) {
    size_t start = LastDelimiter(path);
    start = start == std::string_view::npos ? 0 : start + 1;
    size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || dot < start) return {};
    return std::string(path.substr(dot));
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
    std::string cur = ExtractFileExt(path);
    return std::string(path.substr(0, path.size() - cur.size())) + std::string(ext);
}

std::string IncludeTrailingPathDelimiter(std::string_view path) {
    std::string r(path);
    if (r.empty() || !IsPathDelimiter(r.back())) r += '/';
    return r;
}

std::string ExcludeTrailingPathDelimiter(std::string_view path) {
    std::string r(path);
    while (r.size() > 1 && IsPathDelimiter(r.back())) r.pop_back();
    return r;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

std::string ExpandFileName(const std::string& path) {
    if (path.empty()) return path;
    std::error_code ec;
    auto abs = std::filesystem::absolute(path, ec);
    if (ec) return path;
    return abs.lexically_normal().string();
}

std::string IntToStr(int64_t v) { return std::to_string(v); }

std::string IntToHex(uint64_t v, int digits) {
    static const char* hex = "0123456789ABCDEF";
    std::string r;
    do {
        r.insert(r.begin(), hex[v & 15]);
        v >>= 4;
    } while (v != 0);
    while (static_cast<int>(r.size()) < digits) r.insert(r.begin(), '0');
    return r;
}

int StrToIntDef(std::string_view s, int def) {
    std::string t = Trim(s);
    if (t.empty()) return def;
    const char* b = t.data();
    const char* e = b + t.size();
    if (*b == '+') ++b;
    int64_t v = 0;
    auto [p, ec] = std::from_chars(b, e, v);
    if (ec != std::errc() || p != e || v < INT32_MIN || v > INT32_MAX) return def;
    return static_cast<int>(v);
}

static bool ValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n;
        if (c < 0x80) n = 0;
        else if (c >= 0xC2 && c <= 0xDF) n = 1;
        else if ((c & 0xF0) == 0xE0) n = 2;
        else if (c >= 0xF0 && c <= 0xF4) n = 3;
        else return false;
        if (i + n >= s.size() && n > 0) return false;
        for (size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string ShortenedName(std::string_view Name, size_t Most) {
    if (Most < 3) return std::string(Name);
    // Characters begin at every byte that is not a UTF-8 continuation byte.
    const auto starts = [&](size_t i) { return (static_cast<unsigned char>(Name[i]) & 0xC0) != 0x80; };
    const size_t tail = (Most - 1) / 2, head = Most - 1 - tail;
    size_t count = 0, headEnd = Name.size();
    for (size_t i = 0; i < Name.size() && count <= Most; ++i) {
        if (!starts(i)) continue;
        if (count == head) headEnd = i;
        ++count;
    }
    if (count <= Most) return std::string(Name);
    size_t tailStart = Name.size();
    for (size_t n = 0; n < tail && tailStart > headEnd;)
        if (starts(--tailStart)) ++n;
    return std::string(Name.substr(0, headEnd)) + "\xE2\x80\xA6" + std::string(Name.substr(tailStart));
}

std::string DecodeTextFile(std::string_view bytes) {
    if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
        static_cast<unsigned char>(bytes[1]) == 0xBB && static_cast<unsigned char>(bytes[2]) == 0xBF)
        bytes.remove_prefix(3);
    if (ValidUtf8(bytes)) return std::string(bytes);
    // Windows-1252; the five undefined bytes map to themselves as C1 controls.
    static const uint16_t high[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                      0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (unsigned char c : bytes) {
        if (c < 0x80) out += static_cast<char>(c);
        else if (c < 0xA0) AppendUtf8(out, high[c - 0x80]);
        else AppendUtf8(out, c);
    }
    return out;
}

}  // namespace vellicor

#include "RarVolume.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace rarvol {

namespace {

constexpr int64_t kSfxSearch = 1 << 20;
// A RAR 5 header larger than this is damage (the format allows 2 MB).
constexpr uint64_t kMaxHeader5 = 2u << 20;

const unsigned char kSig4[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
const unsigned char kSig5[8] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};

bool ReadAt(int fd, int64_t pos, int64_t fileSize, void* buf, size_t n) {
    if (pos < 0 || static_cast<uint64_t>(pos) + n > static_cast<uint64_t>(fileSize)) return false;
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::pread(fd, static_cast<char*>(buf) + done, n - done, pos + static_cast<int64_t>(done));
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

uint16_t Get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// A bounded reader of RAR 5's variable-length integers.
struct Cursor {
    const unsigned char* p;
    size_t n, i = 0;
    bool ok = true;
    uint64_t VInt() {
        uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (i >= n) break;
            unsigned char b = p[i++];
            v |= static_cast<uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return v;
        }
        ok = false;
        return 0;
    }
    uint32_t U32() {
        if (i > n || n - i < 4) {
            ok = false;
            return 0;
        }
        uint32_t v = Get32(p + i);
        i += 4;
        return v;
    }
};

void AddPart(std::vector<Entry>& entries, Entry part, bool splitBefore, bool splitAfter, int volume) {
    part.complete = !splitAfter;
    if (splitBefore || splitAfter) part.dataPos = -1;
    part.volume = volume;
    if (splitAfter) {
        // Until the last part, the CRC covers only this part's packed data.
        part.hasCrc = false;
        part.crc = 0;
    }
    if (splitBefore && !entries.empty() && !entries.back().complete) {
        Entry& e = entries.back();
        e.stored = e.stored && part.stored;
        e.encrypted = e.encrypted || part.encrypted;
        e.complete = part.complete;
        e.hasCrc = part.hasCrc;
        e.crc = part.crc;
        e.dataPos = -1;
        return;
    }
    if (splitBefore) {
        // The start is in a volume not read: kept, so that the entries stay in step with the
        // headers, but there is nothing to check against.
        part.startsEarlier = true;
        part.hasCrc = false;
    }
    entries.push_back(std::move(part));
}

// The volume ends inside the header at `pos` or inside the data it announces, those of
// `file` when it is a file's.
void RecordCut(VolumeInfo& info, int64_t pos, const Entry* file) {
    info.cutAt = pos;
    if (!file) return;
    info.cutName = file->name;
    info.cutSize = file->unpSize;
    info.cutDir = file->dir;
}

void Scan4(int fd, int64_t size, int64_t pos, VolumeInfo& info, std::vector<Part>& parts) {
    std::vector<unsigned char> h;
    bool mainLast = false;  // the main header is the last one read
    while (pos + 7 <= size) {
        unsigned char b[11];
        if (!ReadAt(fd, pos, size, b, 7)) return;
        unsigned type = b[2], flags = Get16(b + 3), hsize = Get16(b + 5);
        if (hsize < 7) return;
        if (hsize > size - pos) {
            info.cutAt = pos;  // the file ends inside this header
            return;
        }
        uint64_t add = 0;
        bool file = type == 0x74 || type == 0x7A;
        mainLast = type == 0x73;
        if (type == 0x73) {  // main header
            info.isVolume = flags & 0x0001;
            info.newNaming = flags & 0x0010;
            info.solid = flags & 0x0008;
            if (flags & 0x0080) {
                info.encryptedHeaders = true;
                return;
            }
        } else if (type == 0x7B) {  // end of archive
            info.sawEnd = true;
            info.endSaysMore = flags & 0x0001;
            return;
        }
        if (file || (flags & 0x8000)) {
            if (hsize < 11 || !ReadAt(fd, pos, size, b, 11)) return;
            add = Get32(b + 7);
        }
        Part part;
        bool isPart = false;
        if (file) {
            h.resize(hsize);
            if (hsize < 32 || !ReadAt(fd, pos, size, h.data(), hsize)) return;
            bool large = flags & 0x0100;
            size_t nameAt = large ? 40 : 32, nameSize = Get16(&h[26]);
            if (nameAt > hsize || nameSize > hsize - nameAt) return;
            if (large) add |= static_cast<uint64_t>(Get32(&h[32])) << 32;
            if (type == 0x74) {
                Entry& e = part.entry;
                e.unpSize = Get32(&h[11]) | (large ? static_cast<uint64_t>(Get32(&h[36])) << 32 : 0);
                e.crc = Get32(&h[16]);
                e.hasCrc = true;
                e.stored = h[25] == 0x30;
                e.dir = (flags & 0xE0) == 0xE0;
                e.encrypted = flags & 0x0004;
                e.dataPos = pos + hsize;
                e.packSize = add;
                const char* name = reinterpret_cast<const char*>(&h[nameAt]);
                e.name.assign(name, strnlen(name, nameSize));
                std::replace(e.name.begin(), e.name.end(), '\\', '/');
                part.splitBefore = (flags & 0x01) != 0;
                part.splitAfter = (flags & 0x02) != 0;
                isPart = true;
            }
        }
        int64_t next = pos + static_cast<int64_t>(hsize);
        if (add > static_cast<uint64_t>(size - next)) {
            // The data run past the end of the file: cut there, or a size no archive has.
            // Either way nothing from here on is handed to libarchive, which would allocate
            // by it.
            RecordCut(info, pos, isPart ? &part.entry : nullptr);
            return;
        }
        if (isPart) {
            parts.push_back(std::move(part));
            info.lastSplitAfter = parts.back().splitAfter;
        }
        next += static_cast<int64_t>(add);
        if (next <= pos) return;
        pos = next;
    }
    // Too little left for a header, or nothing after the main header: an archive of no
    // files has no reason to be (old archives may end without the end header, though).
    if (!info.sawEnd && (pos < size || mainLast)) info.cutAt = pos;
}

void Scan5(int fd, int64_t size, int64_t pos, VolumeInfo& info, std::vector<Part>& parts) {
    std::vector<unsigned char> h;
    while (pos + 7 <= size) {
        unsigned char b[8];
        size_t have = static_cast<size_t>(std::min<int64_t>(8, size - pos));
        if (!ReadAt(fd, pos, size, b, have)) return;
        Cursor c{b + 4, have - 4};
        uint64_t hsize = c.VInt();
        if (!c.ok && have < 8) {
            info.cutAt = pos;  // the file ends inside the header's size
            return;
        }
        if (!c.ok || hsize == 0 || hsize > kMaxHeader5) {
            info.overrun = c.ok;  // a header size no archive has: damage, not an end
            return;
        }
        int64_t body = pos + 4 + static_cast<int64_t>(c.i);
        if (static_cast<uint64_t>(size - body) < hsize) {
            info.cutAt = pos;  // the file ends inside this header
            return;
        }
        h.resize(static_cast<size_t>(hsize));
        if (!ReadAt(fd, body, size, h.data(), h.size())) return;
        Cursor r{h.data(), h.size()};
        uint64_t type = r.VInt(), flags = r.VInt();
        uint64_t extra = (flags & 0x0001) ? r.VInt() : 0;
        uint64_t data = (flags & 0x0002) ? r.VInt() : 0;
        Part part;
        bool isPart = false;
        if (!r.ok) {
            info.overrun = true;  // fields past the header's own size
            return;
        }
        if (type == 1) {  // main
            uint64_t af = r.VInt();
            info.isVolume = af & 0x0001;
            info.solid = af & 0x0004;
            info.newNaming = true;
        } else if (type == 4) {  // the headers that follow are encrypted
            info.encryptedHeaders = true;
            return;
        } else if (type == 5) {
            info.sawEnd = true;
            info.endSaysMore = r.VInt() & 0x0001;
            return;
        } else if (type == 2) {  // file
            uint64_t ff = r.VInt();
            Entry e;
            e.unpSize = r.VInt();
            r.VInt();  // attributes
            if (ff & 0x0002) r.U32();
            if (ff & 0x0004) {
                e.crc = r.U32();
                e.hasCrc = true;
            }
            uint64_t ci = r.VInt();
            r.VInt();  // host OS
            uint64_t nameLen = r.VInt();
            if (!r.ok || nameLen > h.size() - r.i) {
                // A name past its header is damage: libarchive would allocate by it.
                info.overrun = true;
                return;
            }
            e.name.assign(reinterpret_cast<const char*>(h.data() + r.i), static_cast<size_t>(nameLen));
            e.stored = ((ci >> 7) & 7) == 0;
            // The extra area closes the header; a record of type 1 means encrypted data.
            if (extra > 0 && extra <= h.size()) {
                Cursor x{h.data() + h.size() - extra, static_cast<size_t>(extra)};
                while (x.ok && x.i < x.n) {
                    uint64_t recSize = x.VInt();
                    size_t at = x.i;
                    if (!x.ok || recSize == 0 || recSize > x.n - at) break;
                    if (x.VInt() == 1) e.encrypted = true;
                    x.i = at + static_cast<size_t>(recSize);
                }
            }
            e.dir = ff & 0x0001;
            if (ff & 0x0008) e.hasCrc = false;  // unknown size
            e.dataPos = body + static_cast<int64_t>(hsize);
            e.packSize = data;
            part = {std::move(e), (flags & 0x0008) != 0, (flags & 0x0010) != 0};
            isPart = true;
        }
        int64_t end = body + static_cast<int64_t>(hsize);
        if (data > static_cast<uint64_t>(size - end)) {
            // Cut inside the data, or a size no archive has: nothing from here on is handed
            // to libarchive, which would allocate by it.
            RecordCut(info, pos, isPart ? &part.entry : nullptr);
            return;
        }
        if (isPart) {
            parts.push_back(std::move(part));
            info.lastSplitAfter = parts.back().splitAfter;
        }
        int64_t next = end + static_cast<int64_t>(data);
        if (next <= pos) return;
        pos = next;
    }
    // Every RAR 5 volume closes with its end header: without it the file was cut short,
    // here or between two headers.
    if (!info.sawEnd) info.cutAt = pos;
}

}  // namespace

VolumeScan ScanVolumeParts(int fd, int64_t size, bool searchSfx) {
    VolumeScan scan;
    int64_t limit = searchSfx ? std::min(size, kSfxSearch) : std::min<int64_t>(size, 8);
    std::vector<unsigned char> buf(static_cast<size_t>(std::max<int64_t>(limit, 0)));
    if (buf.size() < 7 || !ReadAt(fd, 0, size, buf.data(), buf.size())) return scan;
    for (size_t at = 0; at + 7 <= buf.size(); ++at) {
        if (buf[at] != 0x52) continue;
        if (at + 8 <= buf.size() && std::memcmp(&buf[at], kSig5, 8) == 0) {
            scan.info.format = 5;
            Scan5(fd, size, static_cast<int64_t>(at) + 8, scan.info, scan.parts);
            return scan;
        }
        if (std::memcmp(&buf[at], kSig4, 7) == 0) {
            scan.info.format = 4;
            Scan4(fd, size, static_cast<int64_t>(at) + 7, scan.info, scan.parts);
            return scan;
        }
    }
    return scan;
}

void AddParts(std::vector<Entry>& entries, const std::vector<Part>& parts, int volume) {
    for (const Part& p : parts) AddPart(entries, p.entry, p.splitBefore, p.splitAfter, volume);
}

std::string NextVolumeName(const std::string& path, bool newNaming) {
    size_t start = path.rfind('/');
    start = start == std::string::npos ? 0 : start + 1;
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < start) dot = path.size();
    std::string name = path;
    if (newNaming) {
        size_t end = dot, i = dot;
        while (i > start && std::isdigit(static_cast<unsigned char>(name[i - 1]))) --i;
        if (i < end) {
            size_t k = end;
            while (k > i) {
                --k;
                if (name[k] != '9') {
                    ++name[k];
                    return name;
                }
                name[k] = '0';
            }
            name.insert(i, 1, '1');
            return name;
        }
    }
    // Old naming: .rar, then .r00 to .r99, .s00 and on.
    std::string ext = name.substr(dot);
    if (ext.size() == 4 && std::isalpha(static_cast<unsigned char>(ext[1])) && std::isdigit(static_cast<unsigned char>(ext[2])) &&
        std::isdigit(static_cast<unsigned char>(ext[3]))) {
        int n = (ext[2] - '0') * 10 + (ext[3] - '0') + 1;
        char letter = ext[1];
        if (n == 100) {
            n = 0;
            ++letter;
        }
        name.resize(dot);
        return name + '.' + letter + static_cast<char>('0' + n / 10) + static_cast<char>('0' + n % 10);
    }
    name.resize(dot);
    return name + (ext.size() > 1 && std::isupper(static_cast<unsigned char>(ext[1])) ? ".R00" : ".r00");
}

}  // namespace rarvol

#include "archives/zip/PeIcon.h"

#include <cstring>

#include "archives/zip/ZipRecords.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

using zip::Get16;
using zip::Get32;

struct Resources {
    const uint8_t* file;
    size_t size;
    uint64_t sectionRaw, sectionSize, sectionRva;
    bool Has(uint64_t at, uint64_t n) const { return at <= size && n <= size - at; }
    // A directory offset inside the resource section, as a file offset; 0 when outside.
    uint64_t InSection(uint64_t offset, uint64_t n) const {
        if (offset > sectionSize || n > sectionSize - offset) return 0;
        uint64_t at = sectionRaw + offset;
        return Has(at, n) ? at : 0;
    }
};

// The entry of a resource directory with the given id; its offset field, or 0.
uint32_t SearchResDirEntry(const Resources& r, uint64_t dir, uint32_t id) {
    uint64_t at = r.InSection(dir, 16);
    if (!at) return 0;
    uint32_t named = Get16(r.file + at + 12), ids = Get16(r.file + at + 14);
    for (uint32_t i = 0; i < named + ids; ++i) {
        uint64_t e = r.InSection(dir + 16 + uint64_t(i) * 8, 8);
        if (!e) return 0;
        uint32_t name = Get32(r.file + e), data = Get32(r.file + e + 4);
        if (name & 0x80000000u) continue;  // named entries are not looked at
        if (name == id) return data;
    }
    return 0;
}

// The first data entry below dir (one level of languages) whose size is imageSize.
int64_t BrowseResDir(const Resources& r, uint64_t dir, uint32_t imageSize) {
    uint64_t at = r.InSection(dir, 16);
    if (!at) return 0;
    uint32_t count = uint32_t(Get16(r.file + at + 12)) + Get16(r.file + at + 14);
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t e = r.InSection(dir + 16 + uint64_t(i) * 8, 8);
        if (!e) return 0;
        uint32_t data = Get32(r.file + e + 4);
        if (data & 0x80000000u) continue;
        uint64_t d = r.InSection(data, 16);
        if (!d) continue;
        uint32_t rva = Get32(r.file + d), size = Get32(r.file + d + 4);
        if (size != imageSize || rva < r.sectionRva) continue;
        uint64_t off = r.sectionRaw + (rva - r.sectionRva);
        if (rva - r.sectionRva <= r.sectionSize && size <= r.sectionSize - (rva - r.sectionRva) && r.Has(off, size))
            return static_cast<int64_t>(off);
    }
    return 0;
}

// Icons (type 3), then the name 1, then the image.
int64_t LookForDirs(const Resources& r, uint32_t imageSize) {
    uint32_t icons = SearchResDirEntry(r, 0, 3);
    if (!(icons & 0x80000000u)) return 0;
    uint32_t first = SearchResDirEntry(r, icons & 0x7FFFFFFFu, 1);
    if (!(first & 0x80000000u)) return 0;
    return BrowseResDir(r, first & 0x7FFFFFFFu, imageSize);
}

}  // namespace

int64_t FindPeIcon(const uint8_t* file, size_t size, uint32_t imageSize) {
    VTRACE("FindPeIcon");
    if (size < 64 || file[0] != 'M' || file[1] != 'Z') return 0;
    uint64_t pe = Get32(file + 60);
    if (pe > size || size - pe < 24 || Get32(file + pe) != 0x00004550) return 0;
    uint32_t sections = Get16(file + pe + 6);
    uint32_t optSize = Get16(file + pe + 20);
    uint64_t opt = pe + 24;
    if (optSize < 2 || opt + optSize > size) return 0;
    uint16_t magic = Get16(file + opt);
    uint64_t dirAt = magic == 0x20B ? 112 : 96;  // data directories of PE32+ and PE32
    if (optSize < dirAt + 3 * 8) return 0;
    uint32_t resRva = Get32(file + opt + dirAt + 2 * 8);
    if (resRva == 0) return 0;
    uint64_t table = opt + optSize;
    for (uint32_t i = 0; i < sections; ++i) {
        uint64_t s = table + uint64_t(i) * 40;
        if (s > size || size - s < 40) return 0;
        if (std::memcmp(file + s, ".rsrc", 6) != 0) continue;
        uint32_t vsize = Get32(file + s + 8), va = Get32(file + s + 12), rawSize = Get32(file + s + 16), raw = Get32(file + s + 20);
        uint32_t span = vsize > rawSize || vsize == 0 ? rawSize : vsize;
        if (resRva < va || resRva - va >= span) return 0;
        Resources r{file, size, uint64_t(raw) + (resRva - va), span - (resRva - va), resRva};
        r.sectionRva = resRva;
        return LookForDirs(r, imageSize);
    }
    return 0;
}

}  // namespace vellicor

#pragma once
// What the library needs to know from a volume's own headers and libarchive does not tell:
// whether the volume belongs to a set and another follows, how the set's files are named,
// whether the headers are encrypted, and each member's method and CRC (libarchive does
// not check the CRC of stored members).
#include <cstdint>
#include <string>
#include <vector>

namespace rarvol {

struct Entry {
    std::string name;        // as stored, '\' turned into '/'; the legacy 8-bit form for RAR 4
    uint64_t unpSize = 0;
    uint32_t crc = 0;        // of the whole file once complete
    bool hasCrc = false;
    bool stored = true;      // every part stored
    bool dir = false;
    bool encrypted = false;
    bool complete = false;   // the part that ends the file has been seen
    bool startsEarlier = false;  // its first part lies in a volume before the ones opened
    // Where the packed data lies when the whole file is in one volume (-1 otherwise): the
    // index of the volume in the set as opened, and the offset and size in that file.
    int volume = -1;
    int64_t dataPos = -1;
    uint64_t packSize = 0;
};

struct VolumeInfo {
    int format = 0;          // 0 no rar signature found, 4 or 5
    bool isVolume = false;   // part of a volume set
    bool newNaming = false;  // name.partN.rar rather than name.rar, name.r00, ...
    bool encryptedHeaders = false;
    bool solid = false;      // members may need the ones before them
    bool sawEnd = false;     // the end-of-archive header was reached
    bool endSaysMore = false;  // ... and says another volume follows
    bool lastSplitAfter = false;  // the last file header continues in the next volume
    bool overrun = false;    // a header no archive has (damage, not a cut)
    // The volume ends inside the header at this offset or inside the data it announces, or
    // there without the end header a RAR 5 volume always has, or right after the main header
    // (-1: it does not): an interrupted download. Everything before it is whole.
    int64_t cutAt = -1;
    std::string cutName;     // the file whose data are cut short; empty when a header is cut
    uint64_t cutSize = 0;    // its unpacked size
    bool cutDir = false;
    bool MoreVolumes() const { return isVolume && (endSaysMore || (!sawEnd && lastSplitAfter)); }
};

// One file header of a volume, before it is joined with the parts of other volumes.
struct Part {
    Entry entry;
    bool splitBefore = false, splitAfter = false;
};
struct VolumeScan {
    VolumeInfo info;
    std::vector<Part> parts;
};

// Walks the headers of one volume of `size` bytes read through `fd` (positioned reads
// only). With `searchSfx` the signature may follow a self-extractor stub within the first
// megabyte. Damage ends the walk; it never reads past the file.
VolumeScan ScanVolumeParts(int fd, int64_t size, bool searchSfx);
// Appends the files of volume `volume` (counted from 0) to `entries`; a part continued
// from the previous volume completes the last entry.
void AddParts(std::vector<Entry>& entries, const std::vector<Part>& parts, int volume);

// The name of the volume after `path`: name.part9.rar -> name.part10.rar with new naming,
// name.rar -> name.r00, name.r99 -> name.s00 with old naming.
std::string NextVolumeName(const std::string& path, bool newNaming);

}  // namespace rarvol

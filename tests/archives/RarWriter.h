#pragma once
// A writer of stored RAR 4 archives for the tests and the benchmark (no tool on the system
// writes rar): members stored as they are, optionally spread over a volume set named
// base.part1.rar, base.part2.rar, ... or base.rar, base.r00, base.r01, ...
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace vellicor::test {

struct RarMember {
    std::string name;  // '/' between folders
    std::string data;
    bool dir = false;
    unsigned flags = 0;     // more file header flags: 0x04 encrypted, 0x10 solid (sets the archive's too)
    unsigned method = 0x30;  // stored; the data is written as given whatever the method
    uint32_t statedSize = 0;  // the unpacked size its header states (0: the data's)
};

namespace rarw {
inline void Put16(std::string& s, unsigned v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
inline void Put32(std::string& s, uint32_t v) {
    Put16(s, v & 0xFFFF);
    Put16(s, v >> 16);
}
inline uint32_t Crc(const std::string& s, size_t from = 0) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(s.data() + from), static_cast<uInt>(s.size() - from)));
}
// A header: its CRC (low half of the CRC-32 of the bytes after it), then type, flags, size.
inline std::string Block(unsigned type, unsigned flags, const std::string& rest) {
    std::string h;
    h += static_cast<char>(type);
    Put16(h, flags);
    Put16(h, static_cast<unsigned>(rest.size() + 7));
    h += rest;
    std::string out;
    Put16(out, Crc(h) & 0xFFFF);
    return out + h;
}
}  // namespace rarw

inline std::string RarVolumeName(const std::string& base, int index, bool newNaming) {
    if (newNaming) return base + ".part" + std::to_string(index + 1) + ".rar";
    if (index == 0) return base + ".rar";
    char ext[16];
    std::snprintf(ext, sizeof ext, ".r%02d", index - 1);
    return base + ext;
}

// Writes the archive; volumeData > 0 spreads the data so that each volume carries at most
// that many data bytes. Returns the files written, first volume first.
inline std::vector<std::string> WriteStoredRar(const std::string& base, const std::vector<RarMember>& members,
                                               size_t volumeData = 0, bool newNaming = true,
                                               const std::string& singleName = "") {
    using namespace rarw;
    bool multi = volumeData > 0;
    std::vector<std::string> volumes(1);
    size_t room = volumeData;
    auto mainHeader = [&](bool first) {
        unsigned flags = multi ? (0x0001 | (newNaming ? 0x0010 : 0) | (first ? 0x0100 : 0)) : 0;
        if (std::any_of(members.begin(), members.end(), [](const RarMember& m) { return m.flags & 0x10; })) flags |= 0x0008;
        std::string rest;
        Put16(rest, 0);
        Put32(rest, 0);
        return std::string("Rar!\x1a\x07\x00", 7) + Block(0x73, flags, rest);
    };
    volumes[0] = mainHeader(true);
    for (const RarMember& m : members) {
        uint32_t whole = Crc(m.data);
        size_t done = 0;
        do {
            if (multi && room == 0 && !m.dir) {
                volumes.back() += Block(0x7B, 0x4000 | 0x0001, "");
                volumes.push_back(mainHeader(false));
                room = volumeData;
            }
            size_t n = multi ? std::min(room, m.data.size() - done) : m.data.size();
            bool before = done > 0, after = done + n < m.data.size();
            std::string part = m.data.substr(done, n);
            std::string rest;
            Put32(rest, static_cast<uint32_t>(n));
            Put32(rest, m.statedSize ? m.statedSize : static_cast<uint32_t>(m.data.size()));
            rest += static_cast<char>(3);  // Unix
            Put32(rest, after ? Crc(part) : whole);
            Put32(rest, 0x5A216000);  // 2025-01-01 12:00
            rest += static_cast<char>(20);
            rest += static_cast<char>(m.method);
            Put16(rest, static_cast<unsigned>(m.name.size()));
            Put32(rest, m.dir ? 040755 : 0100644);
            rest += m.name;
            unsigned flags = 0x8000 | (before ? 0x01 : 0) | (after ? 0x02 : 0) | (m.dir ? 0xE0 : 0) | m.flags;
            volumes.back() += Block(0x74, flags, rest) + part;
            done += n;
            if (multi) room -= std::min(room, n);
        } while (done < m.data.size());
    }
    volumes.back() += Block(0x7B, 0x4000, "");
    std::vector<std::string> paths;
    for (size_t i = 0; i < volumes.size(); ++i) {
        std::string path = !singleName.empty() && volumes.size() == 1 ? singleName
                                                                      : RarVolumeName(base, static_cast<int>(i), newNaming);
        std::ofstream(path, std::ios::binary) << volumes[i];
        paths.push_back(path);
    }
    return paths;
}

}  // namespace vellicor::test

#pragma once
// Helpers shared by the tar tests: hand-made header blocks, the fixture manifests and the
// member contents the fixture generator (tests/data/tar/make.py) uses.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "archives/TarArchive.h"
#include "platform/Streams.h"

namespace vellicor::test {

inline std::string TestDataDir() { return VELLICOR_SOURCE_DIR "/tests/data/tar/"; }
inline std::string PeerDataDir() { return VELLICOR_SOURCE_DIR "/../shared/testdata/peer/libarchive/"; }

// A member's bytes: its name and a bar, repeated and cut to size.
inline std::string MemberContent(const std::string& name, int64_t size) {
    std::string unit = name + "|", s;
    while (static_cast<int64_t>(s.size()) < size) s += unit;
    return s.substr(0, static_cast<size_t>(size));
}

struct ManifestEntry {
    std::string name;
    char type = '0';
    int64_t size = 0;
    std::string link;
};

inline std::vector<ManifestEntry> ReadManifest(const std::string& path) {
    std::vector<ManifestEntry> out;
    std::ifstream f(path, std::ios::binary);
    std::string line;
    while (std::getline(f, line)) {
        std::vector<std::string> parts;
        std::stringstream ss(line);
        std::string part;
        while (std::getline(ss, part, '\t')) parts.push_back(part);
        if (parts.size() < 3) continue;
        out.push_back({parts[0], parts[1].empty() ? '0' : parts[1][0], std::stoll(parts[2]), parts.size() > 3 ? parts[3] : ""});
    }
    return out;
}

// One 512-byte header block with octal fields written the usual way and a valid checksum.
struct RawHeader {
    std::string block = std::string(512, '\0');

    RawHeader(const std::string& name, char flag, int64_t size, const char* magic = "ustar\0" "00") {
        Set(0, name.substr(0, 100));
        Set(100, "0000644");
        Set(108, "0001750");
        Set(116, "0001750");
        Octal(124, size, 11);
        Set(136, "14515773000");
        block[156] = flag;
        std::memcpy(&block[257], magic, 8);
        FixChecksum();
    }
    RawHeader& Set(int offset, const std::string& bytes) {
        std::memcpy(&block[static_cast<size_t>(offset)], bytes.data(), bytes.size());
        return *this;
    }
    RawHeader& Octal(int offset, int64_t value, int digits) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%0*llo", digits, static_cast<long long>(value));
        return Set(offset, std::string(buf, static_cast<size_t>(digits)));
    }
    RawHeader& FixChecksum() {
        std::memset(&block[148], ' ', 8);
        unsigned sum = 0;
        for (unsigned char c : block) sum += c;
        char buf[8];
        std::snprintf(buf, sizeof buf, "%06o", sum);
        std::memcpy(&block[148], buf, 7);
        return *this;
    }
};

inline std::string Padded(const std::string& data) {
    return data + std::string((512 - data.size() % 512) % 512, '\0');
}
inline std::string ZeroBlocks(int n = 2) { return std::string(512 * static_cast<size_t>(n), '\0'); }

// A pax record "<len> key=value\n" with its length worked out.
inline std::string PaxRecord(const std::string& key, const std::string& value) {
    std::string body = " " + key + "=" + value + "\n";
    size_t len = body.size() + 1;
    while (std::to_string(len).size() + body.size() != len) ++len;
    return std::to_string(len) + body;
}

inline std::vector<TTarDirRec> ListAll(TTarArchive& tar) {
    std::vector<TTarDirRec> out;
    TTarDirRec rec;
    tar.Reset();
    while (tar.FindNext(rec)) out.push_back(rec);
    return out;
}

inline std::vector<std::string> Names(const std::vector<TTarDirRec>& recs) {
    std::vector<std::string> out;
    for (auto& r : recs) out.push_back(r.Name);
    return out;
}

}  // namespace vellicor::test

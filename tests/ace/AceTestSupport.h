#pragma once
// Helpers of the ace tests: the fixtures written by the archiver, their md5 lists, and a
// writer of stored ACE archives (headers and raw data) for hand-made and hostile cases.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "AceDecoder.h"
#include "pages/MD5.h"

namespace vellicor::test {

inline std::string PeerDir() { return std::string(VELLICOR_SOURCE_DIR) + "/../shared/testdata/peer"; }
inline std::string UnaceDir() { return PeerDir() + "/unace"; }

inline bool FileThere(const std::string& path) { return std::ifstream(path).good(); }

// name -> md5 from an md5sum list.
inline std::map<std::string, std::string> ReadMd5List(const std::string& path) {
    std::map<std::string, std::string> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 35) continue;
        out[line.substr(34)] = line.substr(0, 32);
    }
    return out;
}

inline std::string Md5Hex(const std::vector<uint8_t>& data) {
    return MD5ToHex(TMD5::Digest(data.data(), data.size()));
}

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                static_cast<std::streamsize>(data.size()));
}

// Builds stored archives byte by byte.
class AceWriter {
public:
    struct File {
        std::string name;
        std::vector<uint8_t> data;
        uint32_t attributes = 0x20;
        uint16_t extraFlags = 0;
        int64_t packSizeOverride = -1;  // a header that lies about its data
        bool omitData = false;
    };
    explicit AceWriter(uint16_t mainFlags = 0x1000) : mainFlags_(mainFlags) {}
    void Add(File f) { files_.push_back(std::move(f)); }
    void Add(const std::string& name, const std::string& text) {
        File f;
        f.name = name;
        f.data.assign(text.begin(), text.end());
        Add(std::move(f));
    }
    void AddDirectory(const std::string& name) {
        File f;
        f.name = name;
        f.attributes = 0x10;
        Add(std::move(f));
    }
    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> out;
        std::vector<uint8_t> main = {0};
        Put16(main, mainFlags_);
        for (char c : std::string("**ACE**")) main.push_back(static_cast<uint8_t>(c));
        main.insert(main.end(), {20, 20, 2, 0});
        Put32(main, 0x41046F21);
        main.insert(main.end(), 8, 0);
        main.push_back(0);  // no authenticity string
        Header(out, main);
        for (const File& f : files_) {
            std::vector<uint8_t> h = {1};
            Put16(h, static_cast<uint16_t>(0x0001 | f.extraFlags));
            uint64_t pack = f.packSizeOverride >= 0 ? static_cast<uint64_t>(f.packSizeOverride) : f.data.size();
            Put32(h, static_cast<uint32_t>(pack));
            Put32(h, static_cast<uint32_t>(f.data.size()));
            Put32(h, 0x41046F21);
            Put32(h, f.attributes);
            Put32(h, f.attributes & 0x10 ? 0xFFFFFFFFu : unace::Crc32(f.data.data(), f.data.size()));
            h.insert(h.end(), {0, 3});
            Put16(h, 10);
            Put16(h, 0x4554);
            Put16(h, static_cast<uint16_t>(f.name.size()));
            h.insert(h.end(), f.name.begin(), f.name.end());
            Header(out, h);
            if (!f.omitData) out.insert(out.end(), f.data.begin(), f.data.end());
        }
        return out;
    }

    static void Put16(std::vector<uint8_t>& v, uint16_t x) {
        v.push_back(static_cast<uint8_t>(x));
        v.push_back(static_cast<uint8_t>(x >> 8));
    }
    static void Put32(std::vector<uint8_t>& v, uint32_t x) {
        for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
    }
    static void Header(std::vector<uint8_t>& out, const std::vector<uint8_t>& body) {
        Put16(out, static_cast<uint16_t>(unace::Crc32(body.data(), body.size()) & 0xFFFF));
        Put16(out, static_cast<uint16_t>(body.size()));
        out.insert(out.end(), body.begin(), body.end());
    }

private:
    uint16_t mainFlags_;
    std::vector<File> files_;
};

}  // namespace vellicor::test

// Reads an ACE archive given as bytes: lists it, then decodes every member in order as the
// ace library's test run does, capturing the data (with a password for encrypted members).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "AceDecoder.h"

namespace {

struct Capture : unace::Sink {
    std::vector<uint8_t> data;
    bool Write(const uint8_t* p, size_t n) override {
        // A member may claim gigabytes; the capture stops early instead of growing without end.
        if (data.size() + n > (size_t(64) << 20)) return false;
        data.insert(data.end(), p, p + n);
        return true;
    }
};

// One decoder for every input: its window is large, and Reset forgets all of it.
unace::Decoder& TheDecoder() {
    static unace::Decoder decoder;
    return decoder;
}

void Put(std::vector<uint8_t>& v, uint32_t x, int bytes) {
    for (int i = 0; i < bytes; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

void Header(std::vector<uint8_t>& out, const std::vector<uint8_t>& body) {
    Put(out, unace::Crc32(body.data(), body.size()) & 0xFFFF, 2);
    Put(out, static_cast<uint32_t>(body.size()), 2);
    out.insert(out.end(), body.begin(), body.end());
}

// The input also serves as the packed stream of one ACE 2.0 member, so that random bits
// reach the delta, exe, sound and picture modes, which whole archives rarely get to.
void DecodeAsStream(const uint8_t* data, size_t size) {
    if (size < 3) return;
    std::vector<uint8_t> a;
    std::vector<uint8_t> main = {0, 0, 0, '*', '*', 'A', 'C', 'E', '*', '*', 20, 20, 2, 0};
    main.resize(27, 0);
    Header(a, main);
    std::vector<uint8_t> file = {1, 1, 0};
    Put(file, static_cast<uint32_t>(size - 2), 4);
    Put(file, (static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8)) + 1, 4);
    Put(file, 0, 4);
    Put(file, 0x20, 4);
    Put(file, 0, 4);
    file.insert(file.end(), {2, 3, 10, 0, 0, 0, 1, 0, 'm'});
    Header(a, file);
    a.insert(a.end(), data + 2, data + size);
    unace::Archive archive;
    try {
        archive.Open([&](int index, bool) -> std::unique_ptr<unace::ByteSource> {
            return index ? nullptr : std::make_unique<unace::MemorySource>(a.data(), a.size());
        });
        Capture capture;
        TheDecoder().Reset();
        TheDecoder().Decode(archive, 0, "", capture);
    } catch (const unace::AceError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DecodeAsStream(data, size);
    unace::Archive archive;
    try {
        archive.Open([&](int index, bool) -> std::unique_ptr<unace::ByteSource> {
            if (index != 0) return nullptr;
            return std::make_unique<unace::MemorySource>(data, size);
        });
    } catch (const unace::AceError&) {
        return 0;
    }
    unace::Decoder& decoder = TheDecoder();
    decoder.Reset();
    for (size_t i = 0; i < archive.Members().size(); ++i) {
        std::string safe;
        (void)unace::SafeRelativeName(archive.Members()[i].name, safe);
        Capture capture;
        try {
            decoder.Decode(archive, i, "1234", capture);
        } catch (const unace::AceError&) {
            decoder.Reset();
        }
    }
    return 0;
}

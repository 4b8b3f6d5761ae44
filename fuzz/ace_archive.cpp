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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unace::Archive archive;
    try {
        archive.Open([&](int index, bool) -> std::unique_ptr<unace::ByteSource> {
            if (index != 0) return nullptr;
            return std::make_unique<unace::MemorySource>(data, size);
        });
    } catch (const unace::AceError&) {
        return 0;
    }
    unace::Decoder decoder;
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

// Lists every member of a tar archive given as bytes and reads each one, first in order and
// then again from its recorded header position.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "archives/TarArchive.h"
#include "platform/Streams.h"

using namespace vellicor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TByteViewStream stream(data, static_cast<int64_t>(size));
    TTarArchive tar(stream);
    std::vector<int64_t> positions;
    TTarDirRec rec;
    try {
        while (tar.FindNext(rec)) {
            positions.push_back(rec.FilePos);
            TMemoryStream out;
            tar.ReadFile(out);
            if (out.Size() > static_cast<int64_t>(size)) __builtin_trap();
        }
    } catch (const ETarArchive&) {
    }
    for (auto it = positions.rbegin(); it != positions.rend(); ++it) {
        try {
            tar.Reset();
            tar.SetFilePos(*it);
            if (tar.FindNext(rec)) (void)tar.ReadFile();
        } catch (const ETarArchive&) {
        }
    }
    return 0;
}

// Lists a rar archive given as bytes and extracts every member through the rar reader and
// the rar library.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archives/Unrarif.h"
#include "platform/DynLib.h"
#include "QuietUi.h"
#include "platform/UiServices.h"

namespace {

struct Setup {
    fuzz::QuietUi ui;
    std::string dir, file;
    Setup() {
        vellicor::SetUiServices(&ui);
        // The library is built beside the fuzz programs' folder.
        vellicor::TUnRar::UseLibrary(vellicor::ExecutableDir() + "/../libunrar.so");
        char tmpl[] = "/tmp/vellicor-fuzz-rar-XXXXXX";
        if (::mkdtemp(tmpl)) dir = tmpl;
        // No digits before the extension, so no other file is ever taken for the next volume.
        file = dir + "/book.rar";
    }
    ~Setup() {
        ::unlink(file.c_str());
        ::rmdir(dir.c_str());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup s;
    if (s.dir.empty()) return 0;
    FILE* f = std::fopen(s.file.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    vellicor::TUnRar rar(nullptr);
    rar.SetFileName(s.file);
    std::vector<std::string> names(rar.FileNames().begin(), rar.FileNames().end());
    for (const std::string& name : names)
        if (vellicor::TMemoryStream* stream = rar.Extract(name)) (void)stream->Size();
    return 0;
}

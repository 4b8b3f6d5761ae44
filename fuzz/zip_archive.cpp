// Lists an archive given as bytes and extracts every member through the unzip library.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "archives/zip/ZipComponent.h"
#include "platform/DynLib.h"
#include "QuietUi.h"
#include "platform/UiServices.h"

namespace {

struct Setup {
    fuzz::QuietUi ui;
    vellicor::TZipComponent zip;
    std::string file;
    Setup() {
        vellicor::SetUiServices(&ui);
        // The library is built beside the fuzz programs' folder.
        zip.SetDLLDirectory(vellicor::ExecutableDir() + "/..");
        zip.Unattended = true;
        zip.Password = "password";
        zip.Load_Unz_Dll();
        file = "/tmp/vellicor-fuzz-zip-" + std::to_string(::getpid()) + ".zip";
    }
    ~Setup() { ::unlink(file.c_str()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup s;
    FILE* f = std::fopen(s.file.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    s.zip.SetZipFileName(s.file);
    int n = s.zip.GetCount();
    for (int i = 0; i < n; ++i) {
        std::string name = s.zip.ZipContents()[static_cast<size_t>(i)]->FileName;
        if (vellicor::TZipStream* stream = s.zip.ExtractFileToStream(name)) (void)stream->Size();
    }
    return 0;
}

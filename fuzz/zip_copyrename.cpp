// Renames entries of an archive given as bytes, copies them into a fresh archive, and lists
// both results: the writers must refuse what they cannot read and never write past a record.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archives/zip/ZipComponent.h"
#include "QuietUi.h"
#include "platform/UiServices.h"

namespace {

struct Setup {
    fuzz::QuietUi ui{vellicor::mrNo};
    vellicor::TZipComponent source, dest;
    std::string dir, in, out;
    Setup() {
        vellicor::SetUiServices(&ui);
        source.Unattended = dest.Unattended = true;
        source.HowToDelete = dest.HowToDelete = vellicor::htdFinal;
        dir = "/tmp/vellicor-fuzz-copy-" + std::to_string(::getpid());
        ::mkdir(dir.c_str(), 0700);
        in = dir + "/in.zip";
        out = dir + "/out.zip";
    }
    ~Setup() {
        ::unlink(in.c_str());
        ::unlink(out.c_str());
        ::rmdir(dir.c_str());
    }
};

bool WriteFile(const std::string& name, const void* data, size_t size) {
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup s;
    static const uint8_t kEmpty[22] = {0x50, 0x4b, 5, 6};
    if (!WriteFile(s.in, data, size) || !WriteFile(s.out, kEmpty, sizeof kEmpty)) return 0;
    s.source.SetZipFileName(s.in);
    std::vector<vellicor::RenameItem> items{{"a", "renamed/", 0}, {"page", "p", 0x5A215000}};
    if (s.source.GetCount() > 0) s.source.Rename(items, 0);
    s.dest.SetZipFileName(s.out);
    for (int i = 0; i < s.source.GetCount() && i < 8; ++i)
        s.source.FSpecArgs().Add(s.source.ZipContents()[static_cast<size_t>(i)]->FileName);
    s.source.CopyZippedFiles(&s.dest, false, vellicor::OvrConfirm);
    s.dest.List();
    size_t total = 0;
    for (const auto& e : s.dest.ZipContents()) total += e->FileName.size();
    return total == size_t(-1);
}

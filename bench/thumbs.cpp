// Thumbnails of a 200-page cbz of 1600x2400 JPEG pages through the work queue (archive
// read, scaled decode, box filter into the list) beside the same work done bare: libjpeg's
// scaled decode of each page from memory and the same box filter, one thread each.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "BenchSupport.h"
#include "pages/PageBMP.h"
#include "pages/ProcessFiles.h"
#include "pages/ThumbList.h"
#include "platform/DynLib.h"
#include "platform/Parallel.h"
#include "platform/Registry.h"
#include "platform/Streams.h"
#include "settings/Configuration.h"

using namespace vellicor;
using namespace bench;
namespace fs = std::filesystem;

int main() {
    if (std::system("command -v zip >/dev/null 2>&1") != 0) {
        std::puts("zip missing: skipped");
        return 0;
    }
    std::string dir = (fs::temp_directory_path() / "vellicor-thumbs-XXXXXX").string();
    if (!::mkdtemp(dir.data())) return 1;
    setenv("VELLICOR_CONFIG_DIR", dir.c_str(), 1);
    ResetRegistryStore();
    SetModuleSearchDir(VELLICOR_MODULE_DIR);  // the unzip library
    SetParallelThreads(1);
    const int pages = 200;
    fs::create_directories(dir + "/pages");
    const std::string jpeg = MakePage(1600, 2400);
    for (int i = 0; i < pages; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/pages/p%03d.jpg", i);
        TFileStream f;
        if (f.Open(dir + name, FileMode::Create)) f.Write(jpeg.data(), static_cast<int64_t>(jpeg.size()));
    }
    if (std::system(("cd " + dir + "/pages && zip -q -0 ../set.cbz *.jpg").c_str()) != 0) return 1;

    // The scale the queue decodes thumbnails at: both sides below twice the box's longer side.
    const int limit = 2 * std::max(kThumbWidth, kThumbHeight);
    int denom = 1;
    while (denom < 8 && ((1600 + denom - 1) / denom >= limit || (2400 + denom - 1) / denom >= limit)) denom *= 2;
    int made = 0;
    std::vector<uint8_t> buffer;
    TConfigureForm config;
    config.GenerateThumbsInBackground = false;
    config.FileBufferSize = 0;
    std::optional<TProcessFilesForm> queue;
    // Opening and listing the set is not thumbnail work: done before each timed run, untimed.
    auto fresh = [&] {
        queue.reset();
        queue.emplace(config);
        TStringList files;
        files.Add(dir + "/set.cbz");
        queue->LoadFiles(files, 0);
        while (queue->Idle()) {
        }
    };
    auto [ours, bare] = Interleaved(
        3,
        [&] {
            queue->GenerateThumbs();
            while (!queue->ThumbsComplete && queue->Idle()) {
            }
            made = queue->ThumbList ? queue->ThumbList->Count() : 0;
        },
        [&] {
            TImageList list(kThumbWidth, kThumbHeight, 25, 10);
            std::string bytes;
            for (int i = 0; i < pages; ++i) {
                // Each page read from its file, as the queue reads each member from the stored cbz.
                char name[64];
                std::snprintf(name, sizeof name, "/pages/p%03d.jpg", i);
                std::ifstream in(dir + name, std::ios::binary);
                bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
                std::vector<uint8_t>().swap(buffer);  // a fresh page each time, as the queue has
                DecodeDirect(bytes, denom, buffer);
                const int w = (1600 + denom - 1) / denom, h = (2400 + denom - 1) / denom;
                TBitmap page;
                page.SetSizeForOverwrite(w, h, TPixelFormat::pf24bit);
                for (int y = 0; y < h; ++y)
                    std::memcpy(page.ScanLine(y), buffer.data() + size_t(y) * size_t(page.Stride()), size_t(w) * 3);
                list.Add(DrawThumb(page, kThumbWidth, kThumbHeight));
            }
        },
        fresh);
    queue.reset();
    fs::remove_all(dir);
    std::printf("thumbnails: %d of %d pages made by the queue\n", made, pages);
    PeerRow("200 thumbnails of 1600x2400 JPEG pages from a cbz, one thread", ours.median,
            "libjpeg " + PackageVersion("libjpeg62-turbo") + " scaled decode (1/" + std::to_string(denom) +
                ") + the same box filter, each page read from its file",
            bare.median);
    return 0;
}

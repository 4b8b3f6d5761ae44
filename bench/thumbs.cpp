// Thumbnails of a 200-page cbz of 1600x2400 JPEG pages through the work queue beside
// ImageMagick's mogrify -thumbnail over the same pages, one thread each.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "pages/PageSettings.h"
#include "pages/ProcessFiles.h"
#include "platform/DynLib.h"
#include "platform/Registry.h"
#include "settings/Configuration.h"

using namespace vellicor;
namespace fs = std::filesystem;

namespace {
int Run(const std::string& cmd) { return std::system(cmd.c_str()); }
double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }
}  // namespace

int main() {
    if (Run("command -v convert >/dev/null 2>&1 && command -v mogrify >/dev/null 2>&1 && command -v zip >/dev/null 2>&1") != 0) {
        std::puts("convert, mogrify or zip missing: skipped");
        return 0;
    }
    std::string dir = (fs::temp_directory_path() / "vellicor-thumbs-XXXXXX").string();
    if (!::mkdtemp(dir.data())) return 1;
    setenv("VELLICOR_CONFIG_DIR", dir.c_str(), 1);
    ResetRegistryStore();
    SetModuleSearchDir(VELLICOR_MODULE_DIR);  // the unzip library
    const int pages = 200;
    fs::create_directories(dir + "/pages");
    fs::create_directories(dir + "/peer");
    Run("convert -size 1600x2400 plasma:fractal -seed 7 -quality 90 " + dir + "/pages/p000.jpg");
    for (int i = 1; i < pages; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/pages/p%03d.jpg", i);
        fs::copy_file(dir + "/pages/p000.jpg", dir + name);
    }
    Run("cd " + dir + "/pages && zip -q -0 ../set.cbz *.jpg");

    double ours = 0;
    {
        TConfigureForm config;
        config.GenerateThumbsInBackground = false;
        config.FileBufferSize = 0;
        TProcessFilesForm queue(config);
        TStringList files;
        files.Add(dir + "/set.cbz");
        queue.LoadFiles(files, 0);
        while (queue.Idle()) {
        }
        auto start = std::chrono::steady_clock::now();
        queue.GenerateThumbs();
        while (!queue.ThumbsComplete && queue.Idle()) {
        }
        ours = Seconds(std::chrono::steady_clock::now() - start);
        std::printf("ours: %d thumbnails of %d pages in %.3f s\n", queue.ThumbList ? queue.ThumbList->Count() : 0,
                    queue.GetFiles(), ours);
    }
    auto start = std::chrono::steady_clock::now();
    Run("cd " + dir + "/pages && MAGICK_THREAD_LIMIT=1 mogrify -limit thread 1 -path ../peer -format bmp -thumbnail '156x240!' *.jpg");
    const double peer = Seconds(std::chrono::steady_clock::now() - start);
    std::printf("mogrify -thumbnail: %d pages in %.3f s\n", pages, peer);
    fs::remove_all(dir);
    std::printf("ratio ours/peer: %.3f\n", peer > 0 ? ours / peer : 0.0);
    return 0;
}

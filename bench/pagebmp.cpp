// Page decoding: JPEG pages through TPageBMP beside libjpeg called directly (same scale,
// same output), tjbench and djpeg on the same files; BMP 24-bit loading in MB/s.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <unistd.h>

#include "BenchSupport.h"
#include "pages/BmpReader.h"
#include "pages/PageBMP.h"
#include "platform/Streams.h"

using namespace vellicor;

namespace {

using namespace bench;

std::string Run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// tjbench's decompression frame rate at the scale, in milliseconds per image; -1 if missing.
double TjbenchMs(const std::string& path, int denom) {
    std::string out = Run("tjbench '" + path + "' -bgr -scale 1/" + std::to_string(denom) +
                          " -warmup 1 -benchtime 2 2>/dev/null");
    size_t at = out.find("Decompress");
    if (at == std::string::npos) return -1;
    at = out.find("Frame rate:", at);
    if (at == std::string::npos) return -1;
    double fps = std::atof(out.c_str() + at + 11);
    return fps > 0 ? 1000.0 / fps : -1;
}

// djpeg as a program, BMP output thrown away; includes process start and writing.
double DjpegMs(const std::string& path, int denom) {
    if (std::system("djpeg -version >/dev/null 2>&1") != 0) return -1;
    std::string cmd = "djpeg -scale 1/" + std::to_string(denom) + " -bmp -outfile /dev/null '" + path + "'";
    return MedianMs(5, [&] { (void)!std::system(cmd.c_str()); });
}


}  // namespace

int main() {
    struct PageCase { const char* name; int w, h; } pages[] = {
        {"comic page 1600x2400", 1600, 2400},
        {"A4 300 dpi 2480x3508", 2480, 3508},
        {"A4 600 dpi 4960x7016", 4960, 7016},
    };
    std::printf("JPEG pages, ms per page: TPageBMP and libjpeg called directly (medians, timed alternately),\n"
                "their ratio of medians and of best times; tjbench (library only) and djpeg (a process\n"
                "writing BMP to /dev/null) on the same file at the same scale\n");
    std::printf("%-22s %6s %9s %9s %7s %7s %9s %7s %9s\n", "page", "scale", "TPageBMP", "libjpeg", "median", "best", "tjbench",
                "ours/tj", "djpeg");
    double firstRatio = -1;
    for (const auto& pc : pages) {
        std::string jpeg = MakePage(pc.w, pc.h);
        std::string path = TempPath("page.jpg");
        {
            TFileStream f;
            if (f.Open(path, FileMode::Create)) f.Write(jpeg.data(), static_cast<int64_t>(jpeg.size()));
        }
        TByteViewStream stream(jpeg.data(), static_cast<int64_t>(jpeg.size()));
        int denom = 1;
        {
            TPageBMP probe("p.jpg");
            probe.LoadFromStream(&stream);
            if (probe.LoadError) {
                std::printf("%s: decode failed\n", pc.name);
                continue;
            }
            denom = (pc.w + probe.Width() - 1) / probe.Width();
        }
        int runs = pc.w > 3000 ? 25 : 61;
        std::vector<uint8_t> buffer;
        auto [ours, direct] = Interleaved(
            runs,
            [&] {
                TPageBMP page("p.jpg");
                page.LoadFromStream(&stream);
            },
            [&] {
                std::vector<uint8_t>().swap(buffer);  // a fresh buffer each time, as a page has
                DecodeDirect(jpeg, denom, buffer);
            });
        double tj = TjbenchMs(path, denom);
        double dj = DjpegMs(path, denom);
        std::printf("%-22s %4s1/%d %9.2f %9.2f %7.3f %7.3f %9.2f %7.3f %9.2f\n", pc.name, "", denom, ours.median,
                    direct.median, ours.median / direct.median, ours.best / direct.best, tj, tj > 0 ? ours.median / tj : 0.0, dj);
        if (firstRatio < 0) firstRatio = ours.median / direct.median;
        const std::string what = std::string("JPEG page decode, ") + pc.name + ", 1/" + std::to_string(denom);
        PeerRow(what, ours.median, "libjpeg " + PackageVersion("libjpeg62-turbo") + " called directly, fresh buffer",
                direct.median);
        if (tj > 0) PeerRow(what, ours.median, "tjbench " + PackageVersion("libturbojpeg0") + " (reused buffer)", tj);
        std::remove(path.c_str());
    }

    // BMP: 24-bit A4 at 300 dpi, from memory and from a file.
    {
        const int w = 2480, h = 3508;
        TBitmap src;
        src.SetSize(w, h, TPixelFormat::pf24bit);
        for (int y = 0; y < h; ++y)
            for (int64_t i = 0; i < src.Stride(); ++i) src.ScanLine(y)[i] = static_cast<uint8_t>(i * 7 + y);
        std::string file(54, '\0');
        auto put32 = [&](size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) file[at + i] = static_cast<char>(v >> (8 * i)); };
        file[0] = 'B';
        file[1] = 'M';
        put32(10, 54);
        put32(14, 40);
        put32(18, w);
        put32(22, h);
        file[26] = 1;
        file[28] = 24;
        for (int y = h - 1; y >= 0; --y) file.append(reinterpret_cast<const char*>(src.ScanLine(y)), static_cast<size_t>(src.Stride()));
        put32(2, static_cast<uint32_t>(file.size()));
        double mb = static_cast<double>(file.size()) / 1e6;
        TByteViewStream stream(file.data(), static_cast<int64_t>(file.size()));
        double memMs = MedianMs(11, [&] {
            stream.SetPosition(0);
            TBitmap b;
            ReadBmp(stream, b);
        });
        std::string path = TempPath("page.bmp");
        {
            TFileStream f;
            if (f.Open(path, FileMode::Create)) f.Write(file.data(), static_cast<int64_t>(file.size()));
        }
        double fileMs = MedianMs(11, [&] {
            TPageBMP page(path);
            page.LoadFromFile(path);
        });
        std::vector<uint8_t> copy(file.size());
        double copyMs = MedianMs(11, [&] {
            std::vector<uint8_t> fresh(file.size());
            std::memcpy(fresh.data(), file.data(), file.size());
            copy.swap(fresh);
        });
        std::remove(path.c_str());
        std::printf("\nBMP 24-bit %dx%d (%.1f MB)\n", w, h, mb);
        std::printf("  ReadBmp from memory        %8.2f ms  %8.0f MB/s\n", memMs, mb / memMs * 1000);
        std::printf("  TPageBMP::LoadFromFile     %8.2f ms  %8.0f MB/s\n", fileMs, mb / fileMs * 1000);
        std::printf("  memcpy into a fresh buffer %8.2f ms  %8.0f MB/s\n", copyMs, mb / copyMs * 1000);
        OwnRow("BMP 24-bit 2480x3508 page from a file", fileMs, "memcpy of its bytes into a fresh buffer", copyMs);
    }
    std::printf("ratio ours/libjpeg time, comic page 1600x2400: %.2fx\n", firstRatio);
    return 0;
}

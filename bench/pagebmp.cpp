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

#include "pages/BmpReader.h"
#include "pages/PageBMP.h"
#include "platform/Streams.h"

using namespace vellicor;

namespace {

using Clock = std::chrono::steady_clock;

struct Timing {
    double median = 0;
    double best = 0;
};

// Two ways of doing the same work, timed alternately so that load from elsewhere on the
// machine falls on both alike; milliseconds, after one warm-up each.
std::pair<Timing, Timing> Interleaved(int runs, const std::function<void()>& a, const std::function<void()>& b) {
    a();
    b();
    std::vector<double> ta, tb;
    for (int i = 0; i < runs; ++i) {
        auto s = Clock::now();
        a();
        auto m = Clock::now();
        b();
        auto e = Clock::now();
        ta.push_back(std::chrono::duration<double, std::milli>(m - s).count());
        tb.push_back(std::chrono::duration<double, std::milli>(e - m).count());
    }
    std::sort(ta.begin(), ta.end());
    std::sort(tb.begin(), tb.end());
    return {{ta[ta.size() / 2], ta[0]}, {tb[tb.size() / 2], tb[0]}};
}

// Median time in milliseconds of runs of f, after one warm-up.
double MedianMs(int runs, const std::function<void()>& f) {
    f();
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        auto s = Clock::now();
        f();
        t.push_back(std::chrono::duration<double, std::milli>(Clock::now() - s).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// A comic-like page: paper tone, panels with black borders, grey shading, "text" strokes.
uint8_t PageSample(int x, int y, int c, int w, int h) {
    int px = x * 3 / w, py = y * 4 / h;
    int lx = x - px * w / 3, ly = y - py * h / 4;
    int border = std::max(2, w / 400);
    if (lx < border || ly < border) return 20;
    if (((x * 7 + y * 3) / 5 + (x ^ y) / 9) % 41 == 0 && ly % 40 < 24) return 30;  // text strokes
    int shade = 235 - ((lx / 8 + ly / 8) % 32) * (py + 1);
    int tint[3] = {0, 6, 18};  // blue, green, red difference of yellowed paper (RGB order below)
    return static_cast<uint8_t>(std::clamp(shade - tint[2 - c], 0, 255));
}

std::string MakePage(int w, int h) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(w);
    c.image_height = static_cast<JDIMENSION>(h);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 88, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(static_cast<size_t>(w) * 3);
    while (c.next_scanline < c.image_height) {
        int y = static_cast<int>(c.next_scanline);
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k) row[static_cast<size_t>(x) * 3 + k] = PageSample(x, y, k, w, h);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    std::string bytes(reinterpret_cast<char*>(out), size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return bytes;
}

// libjpeg itself: memory source, the given scale, blue-green-red rows into one buffer.
void DecodeDirect(const std::string& jpeg, int denom, std::vector<uint8_t>& buffer) {
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_EXT_BGR;
    d.scale_num = 1;
    d.scale_denom = static_cast<unsigned>(denom);
    jpeg_start_decompress(&d);
    size_t stride = (static_cast<size_t>(d.output_width) * 3 + 3) & ~size_t(3);
    buffer.resize(stride * d.output_height);
    while (d.output_scanline < d.output_height) {
        JSAMPROW rows[16];
        unsigned n = std::min(16u, d.output_height - d.output_scanline);
        for (unsigned i = 0; i < n; ++i) rows[i] = buffer.data() + stride * (d.output_scanline + i);
        jpeg_read_scanlines(&d, rows, n);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
}

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

std::string TempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/vellicor-bench-" + std::to_string(getpid()) + "-" + name;
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
    std::printf("%-22s %6s %9s %9s %7s %7s %9s %9s\n", "page", "scale", "TPageBMP", "libjpeg", "median", "best", "tjbench",
                "djpeg");
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
        std::printf("%-22s %4s1/%d %9.2f %9.2f %7.3f %7.3f %9.2f %9.2f\n", pc.name, "", denom, ours.median, direct.median,
                    ours.median / direct.median, ours.best / direct.best, tj, dj);
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
    }
    return 0;
}

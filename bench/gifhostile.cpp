// Hostile GIFs through the page path, each in a process of its own: the time until the page
// (or the error page) is there and the process's peak memory. The files are made here:
//   - 1,000,000 comment extensions and no trailer (5 MB),
//   - 100,000 frames of 1x1 (1.5 MB),
//   - a 16384x16384 screen with one 1x1 frame (35 bytes),
//   - a 16384x16384 frame whose data ends at once (32 bytes),
//   - a 1200x1200 frame that clears the code table before every pixel (1 MB),
// and, for scale, a genuine 4000x6000 page written by our encoder.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/gif/GIFImage.h"
#include "pages/PageBMP.h"
#include "platform/Streams.h"

#include "BenchSupport.h"

using namespace vellicor;

namespace {

std::string Header(int width, int height) {
    std::string s = "GIF89a";
    s += char(width & 0xFF), s += char(width >> 8), s += char(height & 0xFF), s += char(height >> 8);
    s += '\x80', s += '\0', s += '\0';        // a 2-entry global table
    s += std::string("\0\0\0\xFF\xFF\xFF", 6);  // black, white
    return s;
}

// One frame of 1x1 whose single pixel is colour 0: clear, 0, end in 3-bit codes.
std::string TinyFrame(int width = 1, int height = 1, bool data = true) {
    std::string s(",\0\0\0\0", 5);
    s += char(width & 0xFF), s += char(width >> 8), s += char(height & 0xFF), s += char(height >> 8), s += '\0';
    s += '\x02';
    s += data ? std::string("\x02\x44\x01\x00", 4) : std::string(1, '\0');
    return s;
}

std::string Comments() {
    std::string s = Header(1, 1);
    s.reserve(s.size() + 5000000);
    for (int i = 0; i < 1000000; ++i) s += std::string("!\xFE\x01X\x00", 5);
    return s;
}

std::string ManyFrames() {
    std::string s = Header(1, 1);
    const std::string frame = TinyFrame();
    for (int i = 0; i < 100000; ++i) s += frame;
    return s + ";";
}

// A 1200x1200 frame whose every pixel follows a clear code (3-bit codes: clear, 0).
std::string ClearEveryPixel() {
    std::string s = Header(1200, 1200) + std::string(",\0\0\0\0\xB0\x04\xB0\x04\0\x02", 11);
    std::string data;
    uint32_t bits = 0;
    int count = 0;
    for (int i = 0; i < 1200 * 1200; ++i) {
        bits |= 4u << count;  // clear, then pixel 0
        count += 6;
        while (count >= 8) {
            data += char(bits & 0xFF);
            bits >>= 8;
            count -= 8;
        }
    }
    for (size_t at = 0; at < data.size(); at += 255) {
        const size_t n = std::min<size_t>(255, data.size() - at);
        s += char(n);
        s += data.substr(at, n);
    }
    return s + std::string("\0;", 2);
}

std::string Genuine(int w, int h) {
    TGIFImage image;
    for (int i = 0; i < 256; ++i) image.GetColorMap().Add({uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)});
    image.Header().SetWidth(uint16_t(w));
    image.Header().SetHeight(uint16_t(h));
    auto frame = std::make_unique<TGIFSubImage>(&image);
    frame->DoSetBounds(0, 0, w, h);
    uint32_t seed = 7;
    for (int y = 0; y < h; ++y) {
        uint8_t* row = frame->GetScanline(y);
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245 + 12345;
            row[x] = ((x / 9 + y / 13) % 6 == 0) ? uint8_t(seed >> 24) : uint8_t(200 + (x + y) / 97 % 40);
        }
    }
    image.Add(std::move(frame));
    TMemoryStream out;
    image.SaveToStream(out);
    return std::string(reinterpret_cast<const char*>(out.Memory()), size_t(out.Size()));
}

// The child: one page, as the reader loads it from a file.
int LoadPage(const char* path) {
    TPageBMP page(path);
    TFileStream file;
    if (!file.Open(path, FileMode::OpenRead)) return 2;
    page.LoadFromStream(&file);
    std::printf("%s %dx%d", page.LoadError ? "error page" : "page", page.Width(), page.Height());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--load") == 0) return LoadPage(argv[2]);
    struct File {
        const char* name;
        std::string bytes;
    } files[] = {
        {"1,000,000 comments, no trailer", Comments()},
        {"100,000 frames of 1x1", ManyFrames()},
        {"16384x16384 screen, 1x1 frame", Header(16384, 16384) + TinyFrame() + ";"},
        {"16384x16384 frame, no data", Header(16384, 16384) + TinyFrame(16384, 16384, false) + ";"},
        {"1200x1200, a clear every pixel", ClearEveryPixel()},
        {"genuine 4000x6000 page", Genuine(4000, 6000)},
    };
    std::printf("GIF files through the page path, each in a process of its own\n");
    std::printf("%-32s %10s %9s %10s  %s\n", "file", "size", "ms", "peak MB", "result");
    for (File& f : files) {
        const std::string path = bench::TempPath("hostile.gif");
        if (FILE* out = std::fopen(path.c_str(), "wb")) {
            std::fwrite(f.bytes.data(), 1, f.bytes.size(), out);
            std::fclose(out);
        }
        const size_t size = f.bytes.size();
        f.bytes = std::string();
        int pipeFds[2];
        if (pipe(pipeFds) != 0) return 1;
        const auto start = bench::Clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(pipeFds[1], 1);
            close(pipeFds[0]);
            execl("/proc/self/exe", argv[0], "--load", path.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeFds[1]);
        std::string result;
        char buf[256];
        for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) result.append(buf, size_t(n));
        close(pipeFds[0]);
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        const double ms = std::chrono::duration<double, std::milli>(bench::Clock::now() - start).count();
        std::remove(path.c_str());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) result = "failed (status " + std::to_string(status) + ")";
        std::printf("%-32s %10zu %9.0f %10.1f  %s\n", f.name, size, ms, double(usage.ru_maxrss) / 1024.0,
                    result.c_str());
        std::fflush(stdout);
    }
    return 0;
}

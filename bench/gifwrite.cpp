// GIF writing: our LZW encoder against giflib's EGifPutLine on an A4 256-colour page (time
// and file size), and octree reduction of a 1600x2400 24-bit page against ImageMagick's
// "-colors 256 -dither FloydSteinberg" with one thread. The last line gives the ratios.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codecs/gif/GIFImage.h"
#include "platform/Bitmap.h"
#include "platform/Streams.h"

#ifdef VELLICOR_HAVE_GIFLIB
#include <gif_lib.h>
#endif

using namespace vellicor;

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A scanned-looking page: paper with noise, strokes of ink.
std::vector<uint8_t> PagePixels(int w, int h) {
    std::vector<uint8_t> p(size_t(w) * size_t(h));
    uint32_t seed = 1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245 + 12345;
            const bool ink = ((x / 7 + y / 11) % 5 == 0) && ((y % 40) < 28);
            const int base = ink ? 20 : 230 - (x + y) / 64 % 40;
            p[size_t(y) * size_t(w) + size_t(x)] = uint8_t(std::clamp(base + int((seed >> 16) % 9) - 4, 0, 255));
        }
    return p;
}

#ifdef VELLICOR_HAVE_GIFLIB
int WriteBytes(GifFileType* gif, const GifByteType* data, int size) {
    static_cast<std::string*>(gif->UserData)->append(reinterpret_cast<const char*>(data), size_t(size));
    return size;
}
size_t GiflibEncode(const std::vector<uint8_t>& pixels, int w, int h) {
    std::string bytes;
    int error = 0;
    GifFileType* gif = EGifOpen(&bytes, WriteBytes, &error);
    GifColorType colors[256];
    for (int i = 0; i < 256; ++i) colors[i] = {GifByteType(i), GifByteType(i), GifByteType(i)};
    ColorMapObject* map = GifMakeMapObject(256, colors);
    EGifPutScreenDesc(gif, w, h, 8, 0, map);
    EGifPutImageDesc(gif, 0, 0, w, h, false, nullptr);
    for (int y = 0; y < h; ++y) EGifPutLine(gif, const_cast<GifPixelType*>(pixels.data() + size_t(y) * size_t(w)), w);
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
    return bytes.size();
}
#endif

}  // namespace

int main() {
    const int w = 2480, h = 3508;  // A4 at 300 dpi
    const std::vector<uint8_t> pixels = PagePixels(w, h);
    TGIFImage image;
    for (int i = 0; i < 256; ++i) image.GetColorMap().Add({uint8_t(i), uint8_t(i), uint8_t(i)});
    image.Header().SetWidth(w);
    image.Header().SetHeight(h);
    auto frame = std::make_unique<TGIFSubImage>(&image);
    frame->DoSetBounds(0, 0, w, h);
    frame->NewImage();
    std::copy(pixels.begin(), pixels.end(), frame->Data());
    image.Add(std::move(frame));
    std::vector<double> ours, theirs;
    size_t ourSize = 0, theirSize = 0;
    for (int run = 0; run < 5; ++run) {
        auto a = Clock::now();
        TMemoryStream s;
        image.SaveToStream(s);
        auto b = Clock::now();
        ourSize = size_t(s.Size());
        ours.push_back(Ms(a, b));
#ifdef VELLICOR_HAVE_GIFLIB
        a = Clock::now();
        theirSize = GiflibEncode(pixels, w, h);
        b = Clock::now();
        theirs.push_back(Ms(a, b));
#endif
    }
    const double encodeRatio = theirs.empty() ? 0 : Median(ours) / Median(theirs);
    std::printf("encode A4: ours %.1f ms %zu bytes, giflib %.1f ms %zu bytes\n", Median(ours), ourSize,
                theirs.empty() ? 0.0 : Median(theirs), theirSize);

    // Octree reduction with Floyd-Steinberg of a 24-bit page.
    const int qw = 1600, qh = 2400;
    TBitmap page;
    page.SetSize(qw, qh, TPixelFormat::pf24bit);
    uint32_t seed = 5;
    std::string ppm = "P6\n" + std::to_string(qw) + " " + std::to_string(qh) + "\n255\n";
    for (int y = 0; y < qh; ++y)
        for (int x = 0; x < qw; ++x) {
            seed = seed * 1103515245 + 12345;
            uint8_t* p = page.ScanLine(y) + 3 * x;
            p[2] = uint8_t(x * 255 / qw), p[1] = uint8_t(y * 255 / qh), p[0] = uint8_t(((x ^ y) & 0xFF) / 2 + (seed >> 28));
            ppm += char(p[2]), ppm += char(p[1]), ppm += char(p[0]);
        }
    auto a = Clock::now();
    auto reduced = ReduceColors(page, rmQuantize, dmFloydSteinberg, 8, nullptr);
    auto b = Clock::now();
    const double ourReduce = Ms(a, b);
    double theirReduce = 0;
    const std::string source = "/tmp/vellicor-bench-gifwrite.ppm";
    if (FILE* f = std::fopen(source.c_str(), "wb")) {
        std::fwrite(ppm.data(), 1, ppm.size(), f);
        std::fclose(f);
        a = Clock::now();
        const int rc = std::system(("MAGICK_THREAD_LIMIT=1 convert " + source +
                                    " -dither FloydSteinberg -colors 256 /tmp/vellicor-bench-gifwrite.gif 2>/dev/null")
                                       .c_str());
        b = Clock::now();
        if (rc == 0) theirReduce = Ms(a, b);
        std::remove(source.c_str());
        std::remove("/tmp/vellicor-bench-gifwrite.gif");
    }
    std::printf("octree 1600x2400: ours %.1f ms, ImageMagick %.1f ms (whole run, file in and out)\n", ourReduce,
                theirReduce);
    std::printf("ratio encode %.2f size %.3f octree %.2f\n", encodeRatio,
                theirSize ? double(ourSize) / double(theirSize) : 0.0, theirReduce > 0 ? ourReduce / theirReduce : 0.0);
    return 0;
}

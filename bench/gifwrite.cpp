// GIF writing. Encoding: our LZW encoder against giflib's EGifPutLine on the same 256-colour
// pages (a comic page reduced to 256 colours, and a noisy A4 scan), timed alternately, with
// both file sizes and the spread of the ratio over the rounds. Reduction: our octree with Floyd-Steinberg on a 1600x2400 24-bit page
// against ImageMagick's "-colors 256 -dither FloydSteinberg" on one thread; its reduction
// alone is the median of a run with it less the median of the same run without it (reading
// the page, writing nothing), both timed alternately.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "codecs/gif/GIFImage.h"
#include "platform/Bitmap.h"
#include "platform/Streams.h"

#ifdef VELLICOR_HAVE_GIFLIB
#include <gif_lib.h>
#endif

using namespace vellicor;

namespace {

struct Page {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;       // one index a pixel
    std::vector<TGIFColor> colors;     // 256
};

// A scanned-looking page of greys: paper with noise, strokes of ink.
Page NoisyScan(int w, int h) {
    Page p{w, h, std::vector<uint8_t>(size_t(w) * size_t(h)), {}};
    uint32_t seed = 1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245 + 12345;
            const bool ink = ((x / 7 + y / 11) % 5 == 0) && ((y % 40) < 28);
            const int base = ink ? 20 : 230 - (x + y) / 64 % 40;
            p.pixels[size_t(y) * size_t(w) + size_t(x)] = uint8_t(std::clamp(base + int((seed >> 16) % 9) - 4, 0, 255));
        }
    for (int i = 0; i < 256; ++i) p.colors.push_back({uint8_t(i), uint8_t(i), uint8_t(i)});
    return p;
}

// The benchmarks' comic page (panels, shading, text strokes on yellowed paper) reduced to
// 256 colours by our octree, without dithering, as a GIF of a scanned comic is.
Page ComicPage(int w, int h) {
    TBitmap rgb;
    rgb.SetSize(w, h, TPixelFormat::pf24bit);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = rgb.ScanLine(y);
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) row[3 * x + (2 - c)] = bench::PageSample(x, y, c, w, h);
    }
    auto reduced = ReduceColors(rgb, rmQuantize, dmNearest, 8, nullptr);
    Page p{w, h, std::vector<uint8_t>(size_t(w) * size_t(h)), {}};
    for (int y = 0; y < h; ++y) std::copy_n(reduced->ScanLine(y), w, p.pixels.begin() + int64_t(y) * w);
    for (int i = 0; i < 256; ++i) {
        const TRGBQuad q = size_t(i) < reduced->Palette().size() ? reduced->Palette()[size_t(i)] : TRGBQuad{};
        p.colors.push_back({q.red, q.green, q.blue});
    }
    return p;
}

// Ours: the page as the one frame of an image with a 256-colour global table.
std::unique_ptr<TGIFImage> AsImage(const Page& page) {
    auto image = std::make_unique<TGIFImage>();
    for (const TGIFColor& c : page.colors) image->GetColorMap().Add(c);
    image->Header().SetWidth(uint16_t(page.width));
    image->Header().SetHeight(uint16_t(page.height));
    auto frame = std::make_unique<TGIFSubImage>(image.get());
    frame->DoSetBounds(0, 0, page.width, page.height);
    std::copy(page.pixels.begin(), page.pixels.end(), frame->Data());
    image->Add(std::move(frame));
    return image;
}

#ifdef VELLICOR_HAVE_GIFLIB
int WriteBytes(GifFileType* gif, const GifByteType* data, int size) {
    static_cast<std::string*>(gif->UserData)->append(reinterpret_cast<const char*>(data), size_t(size));
    return size;
}
size_t GiflibEncode(const Page& page, std::string& bytes) {
    int error = 0;
    GifFileType* gif = EGifOpen(&bytes, WriteBytes, &error);
    GifColorType colors[256];
    for (int i = 0; i < 256; ++i) colors[i] = {page.colors[size_t(i)].Red, page.colors[size_t(i)].Green, page.colors[size_t(i)].Blue};
    ColorMapObject* map = GifMakeMapObject(256, colors);
    EGifPutScreenDesc(gif, page.width, page.height, 8, 0, map);
    EGifPutImageDesc(gif, 0, 0, page.width, page.height, false, nullptr);
    for (int y = 0; y < page.height; ++y)
        EGifPutLine(gif, const_cast<GifPixelType*>(page.pixels.data() + size_t(y) * size_t(page.width)), page.width);
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
    return bytes.size();
}
#endif

// Rounds of the two encoders taking turns: enough that a busy moment elsewhere on the
// machine does not move the median ratio.
constexpr int kRounds = 61;

void EncodeRow(const char* name, const Page& page) {
    std::unique_ptr<TGIFImage> image = AsImage(page);
    // Each side writes into memory of its own kept from run to run (emptied, not freed): the
    // rows time the encoders, not how the allocator and the page faults of a growing buffer
    // fall between two programs taking turns.
    TMemoryStream out;
    size_t ours = 0;
    auto encode = [&] {
        out.Clear();
        image->SaveToStream(out);
        ours = size_t(out.Size());
    };
#ifdef VELLICOR_HAVE_GIFLIB
    size_t theirs = 0;
    std::string theirOut;
    auto [a, b] = bench::Interleaved(kRounds, encode, [&] {
        theirOut.clear();
        theirs = GiflibEncode(page, theirOut);
    });
    const bench::Spread r = bench::RatioSpread(a, b);
    std::printf("GIF encode, %s: ours %.1f ms %zu bytes, giflib %.1f ms %zu bytes; ours / giflib over %d rounds: "
                "min %.2f, median %.2f, max %.2f\n",
                name, a.median, ours, b.median, theirs, kRounds, r.min, r.median, r.max);
    bench::PeerRow(std::string("GIF encode, ") + name + (ours == theirs ? " (same size)" : " (sizes differ)"),
                   a.median, "giflib " + bench::PackageVersion("libgif7"), b.median);
#else
    std::printf("GIF encode, %s: ours %.1f ms %zu bytes (giflib not installed)\n", name,
                bench::MedianMs(kRounds, encode), ours);
#endif
}

// ImageMagick on one thread, writing nothing; true when it ran.
bool Magick(const std::string& source, bool reduce) {
    const std::string cmd = "MAGICK_THREAD_LIMIT=1 convert " + source +
                            (reduce ? " -dither FloydSteinberg -colors 256" : "") + " null: 2>/dev/null";
    return std::system(cmd.c_str()) == 0;
}

void OctreeRow() {
    const int w = 1600, h = 2400;
    TBitmap page;
    page.SetSize(w, h, TPixelFormat::pf24bit);
    uint32_t seed = 5;
    std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245 + 12345;
            uint8_t* p = page.ScanLine(y) + 3 * x;
            p[2] = uint8_t(x * 255 / w), p[1] = uint8_t(y * 255 / h), p[0] = uint8_t(((x ^ y) & 0xFF) / 2 + (seed >> 28));
            ppm += char(p[2]), ppm += char(p[1]), ppm += char(p[0]);
        }
    const double ours = bench::MedianMs(5, [&] { ReduceColors(page, rmQuantize, dmFloydSteinberg, 8, nullptr); });
    const std::string source = bench::TempPath("octree.ppm");
    FILE* f = std::fopen(source.c_str(), "wb");
    if (!f) return;
    std::fwrite(ppm.data(), 1, ppm.size(), f);
    std::fclose(f);
    if (!Magick(source, true)) {
        std::printf("octree 1600x2400: ours %.1f ms (ImageMagick not installed)\n", ours);
        std::remove(source.c_str());
        return;
    }
    auto [with, without] = bench::Interleaved(5, [&] { Magick(source, true); }, [&] { Magick(source, false); });
    std::remove(source.c_str());
    const double theirs = with.median - without.median;
    std::printf("octree 1600x2400: ours %.1f ms; ImageMagick %.1f ms with the reduction, %.1f ms without\n", ours,
                with.median, without.median);
    bench::PeerRow("octree + Floyd-Steinberg to 256 colours, 1600x2400", ours,
                   "ImageMagick " + bench::PackageVersion("imagemagick-6.q16") + " -colors 256, reduction alone",
                   theirs);
}

}  // namespace

int main() {
    EncodeRow("256-colour comic page 1600x2400", ComicPage(1600, 2400));
    EncodeRow("A4 noisy grey scan 2480x3508", NoisyScan(2480, 3508));
    OctreeRow();
    return 0;
}

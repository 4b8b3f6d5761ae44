// GIF pages: our decoder (load, first frame, 24-bit page) beside giflib's DGifSlurp with
// the frame expanded through its colour map to 24 bits; same bytes from memory, timed
// alternately. The last line is the ratio of medians over both pages.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codecs/gif/GIFPage.h"
#include "platform/Bitmap.h"
#include "platform/Streams.h"

#ifdef VELLICOR_HAVE_GIFLIB
#include <gif_lib.h>
#endif

#include "BenchSupport.h"

using namespace vellicor;

#ifndef VELLICOR_HAVE_GIFLIB
int main() {
    std::printf("giflib is not installed: nothing to compare\n");
    return 0;
}
#else

namespace {

// Median milliseconds of each, timed alternately.
std::pair<double, double> Interleaved(int runs, const std::function<void()>& a, const std::function<void()>& b) {
    auto [ta, tb] = bench::Interleaved(runs, a, b);
    return {ta.median, tb.median};
}

int WriteBytes(GifFileType* gif, const GifByteType* data, int size) {
    auto* out = static_cast<std::string*>(gif->UserData);
    out->append(reinterpret_cast<const char*>(data), size_t(size));
    return size;
}

// A page written by giflib: 256 colours (or greys) with text-like strokes on a paper tone.
std::string MakePage(int width, int height, bool grey) {
    std::string bytes;
    int error = 0;
    GifFileType* gif = EGifOpen(&bytes, WriteBytes, &error);
    GifColorType colors[256];
    for (int i = 0; i < 256; ++i) {
        if (grey) colors[i] = {GifByteType(i), GifByteType(i), GifByteType(i)};
        else colors[i] = {GifByteType((i * 37) & 0xFF), GifByteType((i * 91) & 0xFF), GifByteType(i)};
    }
    ColorMapObject* map = GifMakeMapObject(256, colors);
    EGifPutScreenDesc(gif, width, height, 8, 0, map);
    EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr);
    std::vector<GifPixelType> row(size_t(width), 0);
    uint32_t seed = 1;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            seed = seed * 1103515245 + 12345;
            const bool ink = ((x / 7 + y / 11) % 5 == 0) && ((y % 40) < 28);
            const int base = ink ? 20 : 230 - (x + y) / 64 % 40;
            row[size_t(x)] = GifPixelType(std::clamp(base + int((seed >> 16) % 9) - 4, 0, 255));
        }
        EGifPutLine(gif, row.data(), width);
    }
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
    return bytes;
}

struct Reader {
    const std::string* bytes;
    size_t at = 0;
};

int ReadBytes(GifFileType* gif, GifByteType* buffer, int size) {
    auto* r = static_cast<Reader*>(gif->UserData);
    const size_t n = std::min(size_t(size), r->bytes->size() - r->at);
    std::memcpy(buffer, r->bytes->data() + r->at, n);
    r->at += n;
    return int(n);
}

// giflib: slurp, then frame 0 through its colour map into 24-bit rows.
bool Giflib(const std::string& bytes, std::unique_ptr<uint8_t[]>& rgb) {
    Reader reader{&bytes};
    int error = 0;
    GifFileType* gif = DGifOpen(&reader, ReadBytes, &error);
    if (!gif) return false;
    bool ok = DGifSlurp(gif) == GIF_OK && gif->ImageCount > 0;
    if (ok) {
        const SavedImage& f = gif->SavedImages[0];
        const ColorMapObject* map = f.ImageDesc.ColorMap ? f.ImageDesc.ColorMap : gif->SColorMap;
        const size_t w = size_t(f.ImageDesc.Width), h = size_t(f.ImageDesc.Height);
        const size_t stride = (w * 3 + 3) & ~size_t(3);
        rgb.reset(new uint8_t[stride * h]);  // a new page each time, as ours gets
        for (size_t y = 0; y < h; ++y) {
            const GifByteType* src = f.RasterBits + y * w;
            uint8_t* d = rgb.get() + y * stride;
            for (size_t x = 0; x < w; ++x, d += 3) {
                const GifColorType& c = map->Colors[src[x]];
                d[0] = c.Blue, d[1] = c.Green, d[2] = c.Red;
            }
        }
    }
    DGifCloseFile(gif, &error);
    return ok;
}

// Ours, as a page gets it: the decoder's picture converted to 24 bits.
bool Ours(const std::string& bytes, TBitmap& page) {
    TByteViewStream stream(bytes.data(), int64_t(bytes.size()));
    TBitmap decoded;
    DecodeGifPage(stream, decoded);
    return page.AssignConverted(decoded);
}

}  // namespace

int main() {
    struct Page {
        const char* name;
        int width, height;
        bool grey;
    } pages[] = {{"A4 256 colours", 2480, 3508, false}, {"grey 1600x2400", 1600, 2400, true}};
    std::printf("GIF pages, ms per page (medians of 15, timed alternately): ours (load, first frame,\n"
                "24-bit page) and giflib (DGifSlurp and palette expansion), from memory\n");
    std::printf("%-18s %9s %9s %9s %7s\n", "page", "size KB", "ours", "giflib", "ratio");
    double oursTotal = 0, theirsTotal = 0;
    for (const Page& p : pages) {
        const std::string bytes = MakePage(p.width, p.height, p.grey);
        TBitmap ours;
        std::unique_ptr<uint8_t[]> theirs;
        if (!Ours(bytes, ours) || !Giflib(bytes, theirs)) {
            std::printf("%s: decode failed\n", p.name);
            return 1;
        }
        for (int y = 0; y < p.height; ++y)
            if (std::memcmp(ours.ScanLine(y), theirs.get() + size_t(ours.Stride()) * size_t(y), size_t(p.width) * 3) != 0) {
                std::printf("%s: pictures differ at row %d\n", p.name, y);
                return 1;
            }
        auto [a, b] = Interleaved(15, [&] { Ours(bytes, ours); }, [&] { Giflib(bytes, theirs); });
        std::printf("%-18s %9zu %9.1f %9.1f %7.2f\n", p.name, bytes.size() / 1024, a, b, a / b);
        bench::PeerRow(std::string("GIF decode to a 24-bit page, ") + p.name, a, "giflib " + bench::PackageVersion("libgif7"), b);
        oursTotal += a;
        theirsTotal += b;
    }
    std::printf("ratio ours/giflib (sum of medians): %.2f\n", oursTotal / theirsTotal);
    return 0;
}
#endif

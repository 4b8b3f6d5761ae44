#include "GifOracle.h"

#include <algorithm>

#ifdef VELLICOR_HAVE_GIFLIB
#include <gif_lib.h>
#endif

namespace vellicor::test {

#ifdef VELLICOR_HAVE_GIFLIB
namespace {
struct Source {
    const std::string* bytes;
    size_t at = 0;
};
int ReadSource(GifFileType* gif, GifByteType* buffer, int size) {
    auto* s = static_cast<Source*>(gif->UserData);
    const size_t n = std::min(size_t(size), s->bytes->size() - s->at);
    std::copy_n(s->bytes->data() + s->at, n, buffer);
    s->at += n;
    return int(n);
}
}  // namespace

bool HaveGiflib() { return true; }

OracleGif GiflibRead(const std::string& bytes) {
    OracleGif out;
    Source source{&bytes};
    int error = 0;
    GifFileType* gif = DGifOpen(&source, ReadSource, &error);
    if (!gif) return out;
    if (DGifSlurp(gif) == GIF_OK) {
        out.ok = true;
        out.width = gif->SWidth;
        out.height = gif->SHeight;
        out.globalColors = gif->SColorMap ? gif->SColorMap->ColorCount : 0;
        for (int i = 0; i < gif->ImageCount; ++i) {
            const SavedImage& s = gif->SavedImages[i];
            OracleFrame f;
            f.left = s.ImageDesc.Left, f.top = s.ImageDesc.Top;
            f.width = s.ImageDesc.Width, f.height = s.ImageDesc.Height;
            f.interlaced = s.ImageDesc.Interlace;
            f.colors = s.ImageDesc.ColorMap ? s.ImageDesc.ColorMap->ColorCount : 0;
            const size_t n = size_t(f.width) * size_t(f.height);
            f.pixels.assign(s.RasterBits, s.RasterBits + n);
            // DGifSlurp has already put interlaced rows in place.
            out.frames.push_back(std::move(f));
        }
    }
    DGifCloseFile(gif, &error);
    return out;
}
#else
bool HaveGiflib() { return false; }
OracleGif GiflibRead(const std::string&) { return {}; }
#endif

}  // namespace vellicor::test

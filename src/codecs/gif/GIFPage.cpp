#include "codecs/gif/GIFPage.h"

#include <algorithm>
#include <cstring>

#include "codecs/gif/GIFImage.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

// A screen above this many pixels is refused when its first frame's data fills less than a
// sixteenth of it: a few bytes must not cost a page of gigabytes that is nearly all fill.
constexpr int64_t kFillOnlyPixels = int64_t(1) << 25;

// The index that shows as black in an 8-bit picture (the colour of the screen the frame
// does not cover): one beyond its colours, else a black entry; -1 when there is none.
int BlackIndex(const TBitmap& picture) {
    const auto& palette = picture.Palette();
    if (palette.size() < 256) return int(palette.size());
    for (size_t i = 0; i < palette.size(); ++i)
        if (palette[i].red == 0 && palette[i].green == 0 && palette[i].blue == 0) return int(i);
    return -1;
}

// The frame at its place on an 8-bit screen of its own colours, the rest black: a quarter of
// the 24-bit screen it stands for. False when its colours leave no index for black.
bool FrameOnScreen(TGIFImage& gif, TGIFSubImage& frame, TBitmap& dest) {
    const TBitmap* rendered = frame.GetBitmap();
    if (!rendered || rendered->PixelFormat() != TPixelFormat::pf8bit) return false;
    const int black = BlackIndex(*rendered);
    if (black < 0) return false;
    const int width = gif.GetWidth(), height = gif.GetHeight();
    TBitmap screen;
    if (!screen.SetSizeForOverwrite(width, height, TPixelFormat::pf8bit)) Error(sBadDimension);
    screen.Palette() = rendered->Palette();
    const TRect at = frame.ScaleRect({0, 0, width, height});
    const int x0 = std::max(at.Left, 0), x1 = std::min(at.Right, width);
    const int y0 = std::max(at.Top, 0), y1 = std::min(at.Bottom, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = screen.ScanLine(y);
        if (y < y0 || y >= y1 || x0 >= x1) {
            std::memset(row, black, size_t(width));
            continue;
        }
        std::memset(row, black, size_t(x0));
        std::memcpy(row + x0, rendered->ScanLine(y - at.Top) + (x0 - at.Left), size_t(x1 - x0));
        std::memset(row + x1, black, size_t(width - x1));
    }
    dest = std::move(screen);
    return true;
}

}  // namespace

void DecodeGifPage(TStream& stream, TBitmap& dest) {
    VTRACE("GIFImage::DecodeGifPage");
    TGIFImage gif;
    // A page shows the first frame only: the frames after it are not read.
    gif.LoadFirstFrameOnly = true;
    // The decoder reads in small pieces: from memory, not from a file.
    if (dynamic_cast<TMemoryStream*>(&stream) || dynamic_cast<TByteViewStream*>(&stream)) {
        gif.LoadFromStream(stream);
    } else {
        TMemoryStream copy;
        if (copy.CopyFrom(stream, stream.Size() - stream.Position()) < 0) Error(sOutOfData);
        copy.SetPosition(0);
        gif.LoadFromStream(copy);
    }
    // A file of nothing but extensions, or of an empty first frame, shows no page.
    if (gif.GetEmpty() || gif.Images().GetImage(0)->GetEmpty()) Error(sEmptyImage);
    TGIFSubImage& frame = *gif.Images().GetImage(0);
    // A logical screen of no size leaves nothing to show.
    const int64_t screen = int64_t(gif.GetWidth()) * gif.GetHeight();
    if (screen == 0) Error(sBadDimension);
    if (screen > kFillOnlyPixels && frame.DecodedPixels() * 16 < screen) Error(sBadDimension);
    if ((frame.Width() != gif.GetWidth() || frame.Height() != gif.GetHeight()) && FrameOnScreen(gif, frame, dest))
        return;
    // The image goes away with this call: its picture is taken over rather than copied.
    TBitmap* picture = gif.GetBitmap();
    if (!picture || picture->Empty()) Error(sEmptyImage);
    dest = std::move(*picture);
}

}  // namespace vellicor

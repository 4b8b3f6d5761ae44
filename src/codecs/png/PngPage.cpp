#include "codecs/png/PngPage.h"

#include "codecs/png/Pngimage.h"
#include "trace/Trace.h"

namespace vellicor {

void DecodePngPage(TStream& stream, TBitmap& dest) {
    VTRACE("DecodePngPage");
    TPNGObject png;
    png.LoadFromStream(stream);
    const int w = png.GetWidth(), h = png.GetHeight();
    if (!dest.SetSize(w, h, TPixelFormat::pf24bit))
        TPNGObject::RaiseError<EPNGOutMemory>(pnglang::EPNGOutMemoryText);
    // A new bitmap is white, as the class library made it: transparency shows white.
    if (png.GetTransparent()) dest.Fill(RGBColor(255, 255, 255));
    png.Draw(dest, 0, 0, w, h);
}

}  // namespace vellicor

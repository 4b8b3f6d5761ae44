#include "codecs/png/PngPage.h"

#include "codecs/png/Pngimage.h"
#include "trace/Trace.h"

namespace vellicor {

void DecodePngPage(TStream& stream, TBitmap& dest) {
    VTRACE("DecodePngPage");
    TPNGObject png;
    try {
        png.LoadPageFromStream(stream, dest);
    } catch (...) {
        dest.Clear();  // a page half decoded holds rows never written
        throw;
    }
}

}  // namespace vellicor

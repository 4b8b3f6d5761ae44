#include "codecs/gif/GIFPage.h"

#include "codecs/gif/GIFImage.h"
#include "trace/Trace.h"

namespace vellicor {

void DecodeGifPage(TStream& stream, TBitmap& dest) {
    VTRACE("GIFImage::DecodeGifPage");
    TGIFImage gif;
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
    // The image goes away with this call: its picture is taken over rather than copied.
    TBitmap* picture = gif.GetBitmap();
    if (!picture) Error(sEmptyImage);
    // A logical screen of no size leaves nothing to show.
    if (picture->Empty()) Error(sBadDimension);
    dest = std::move(*picture);
}

}  // namespace vellicor

#pragma once
// The page bitmap's PNG decoder.
#include "platform/Bitmap.h"
#include "platform/Streams.h"

namespace vellicor {

// Reads a PNG page from the stream's position and draws it onto Dest, a 24-bit bitmap of
// its size that starts white, so that transparent parts show white. Throws the PNG unit's
// exceptions on failure.
void DecodePngPage(TStream& Stream, TBitmap& Dest);

}  // namespace vellicor

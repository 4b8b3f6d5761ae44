#pragma once
// The page bitmap's PNG decoder.
#include "platform/Bitmap.h"
#include "platform/Streams.h"

namespace vellicor {

// Reads a PNG page from the stream's position and decodes it straight onto Dest, made a
// 24-bit bitmap of its size; transparent parts show white. Throws the PNG unit's exceptions
// on failure, leaving Dest empty.
void DecodePngPage(TStream& Stream, TBitmap& Dest);

}  // namespace vellicor

#pragma once
// GIF pages: the first frame at the logical screen's size.
#include "platform/Bitmap.h"
#include "platform/Streams.h"

namespace vellicor {

// Reads a GIF from the stream's position into Dest (8 bits with the frame's colours, or 24
// bits when the frame does not cover the screen). Raises GIFException on bad data.
void DecodeGifPage(TStream& Stream, TBitmap& Dest);

}  // namespace vellicor

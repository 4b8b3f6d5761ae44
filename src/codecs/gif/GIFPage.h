#pragma once
// GIF pages: the first frame at the logical screen's size.
#include "platform/Bitmap.h"
#include "platform/Streams.h"

namespace vellicor {

// Reads the first frame of a GIF from the stream's position into Dest at the logical
// screen's size: 8 bits with the frame's colours, black where the frame does not reach (24
// bits when those colours leave no index for black). Raises GIFException on bad data, and
// on a large screen that the data fills less than a sixteenth of.
void DecodeGifPage(TStream& Stream, TBitmap& Dest);

}  // namespace vellicor

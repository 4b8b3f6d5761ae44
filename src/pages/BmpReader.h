#pragma once
// Reader for Windows and OS/2 bitmap files: core (12-byte), 40, 52, 56, 108 and 124-byte
// headers; 1, 4 and 8 bits with a palette (short palettes tolerated), 16 bits (5-5-5 or bit
// fields), 24 and 32 bits (plain or bit fields); RLE4 and RLE8; bottom-up and top-down rows.
// Everything else, and every size or offset the stream cannot back, is refused.
#include <string>

#include "platform/Bitmap.h"
#include "platform/Streams.h"

namespace vellicor {

// Reads the file that starts at the stream's position into a 24-bit bitmap (alpha is
// dropped). On failure the bitmap is left empty and Error, when given, says why.
bool ReadBmp(TStream& Stream, TBitmap& Bitmap, std::string* Error = nullptr);

}  // namespace vellicor

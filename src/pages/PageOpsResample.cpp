#include "pages/PageOps.h"
#include "trace/Trace.h"

namespace vellicor {

bool GetBitmapWorkArea(size_t) {
    VTRACE("TPageBMP::GetBitmapWorkArea");
    return false;
}
uint8_t* BitmapWorkArea() { return nullptr; }
size_t BitmapWorkAreaCapacity() { return 0; }

bool LanczosStretch(TBitmap&, int, int) {
    VTRACE("TPageBMP::LanczosStretch");
    return false;
}

bool Stretch(TBitmap&, int, int, int32_t, int32_t&) {
    VTRACE("TPageBMP::Stretch");
    return false;
}

bool RotateBitmapLeft(TBitmap&) {
    VTRACE("TPageBMP::RotateBitmapLeft");
    return false;
}
bool RotateBitmapRight(TBitmap&) {
    VTRACE("TPageBMP::RotateBitmapRight");
    return false;
}
bool InvertBitmap(TBitmap&) {
    VTRACE("TPageBMP::InvertBitmap");
    return false;
}

}  // namespace vellicor

#include "pages/PageOps.h"
#include "trace/Trace.h"

namespace vellicor {

bool Balance(TBitmap&, int32_t, int32_t&) {
    VTRACE("TPageBMP::Balance");
    return false;
}

bool GammaCorrect(TBitmap&, int32_t, int32_t&) {
    VTRACE("TPageBMP::GammaCorrect");
    return false;
}

bool ReduceYellowing(TBitmap&, int32_t, int32_t, int32_t, int32_t, int32_t, bool&) {
    VTRACE("TPageBMP::ReduceYellowing");
    return false;
}

bool BitmapIsWhite(const TBitmap&) {
    VTRACE("TPageBMP::BitmapIsWhite");
    return false;
}

}  // namespace vellicor

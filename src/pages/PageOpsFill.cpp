#include "pages/PageOps.h"
#include "trace/Trace.h"

namespace vellicor {

bool ReduceYellowingByFilling(TBitmap&, bool, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, bool&) {
    VTRACE("TPageBMP::ReduceYellowingByFilling");
    return false;
}

bool AllocateFillMemory(const TBitmap&) {
    VTRACE("TPageBMP::AllocateFillMemory");
    return false;
}

void Fill(TBitmap&, int, int, const TFillColours&) { VTRACE("TPageBMP::Fill"); }

bool CheckForWhiteArea(const TBitmap&, int, int, const TFillColours&) {
    VTRACE("TPageBMP::CheckForWhiteArea");
    return false;
}

void ReduceEdgeYellow(TBitmap&, const TFillColours&) { VTRACE("TPageBMP::ReduceEdgeYellow"); }
void ReduceInternalYellow(TBitmap&, const TFillColours&) { VTRACE("TPageBMP::ReduceInternalYellow"); }

}  // namespace vellicor

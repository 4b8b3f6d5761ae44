#include "pages/PageOps.h"
#include "trace/Trace.h"

namespace vellicor {

TColor DetermineBackground(const TBitmap&, int) {
    VTRACE("TPageBMP::DetermineBackground");
    return 0xC0C0C0;
}
TColor DetermineBackgroundLeft(const TBitmap&, int) {
    VTRACE("TPageBMP::DetermineBackgroundLeft");
    return 0xC0C0C0;
}
TColor DetermineBackgroundRight(const TBitmap&, int) {
    VTRACE("TPageBMP::DetermineBackgroundRight");
    return 0xC0C0C0;
}
void AverageBlock(const TBitmap&, int, int, int& Red, int& Green, int& Blue) {
    VTRACE("TPageBMP::AverageBlock");
    Red = Green = Blue = 0;
}
TColor CommonestAverage(const int[4], const int[4], const int[4]) {
    VTRACE("TPageBMP::CommonestAverage");
    return 0;
}

}  // namespace vellicor

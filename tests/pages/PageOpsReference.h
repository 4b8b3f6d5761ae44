#pragma once
// Plain, step-by-step versions of the page operations, written for clarity and not speed.
// The fast code must give the same bytes.
#include <cstdint>

#include "pages/PageOps.h"
#include "platform/Bitmap.h"

namespace vellicor::ref {

bool Balance(TBitmap& bmp, int32_t discards, int32_t& balanceFactor);
bool GammaCorrect(TBitmap& bmp, int32_t gamma, int32_t& gammaApplied);
bool ReduceYellowing(TBitmap& bmp, int32_t redT, int32_t greenT, int32_t blueT, int32_t greenBoost,
                     int32_t blueBoost, bool& reduced);
bool BitmapIsWhite(const TBitmap& bmp);

// The depth-first walk with a stack of direction-tagged entries and one-bit masks.
bool ReduceYellowingByFilling(TBitmap& bmp, bool fixInternal, const TFillColours& c, bool& areaFilled);

bool LanczosStretch(TBitmap& bmp, int newWidth, int newHeight);
void RotateBitmapLeft(TBitmap& bmp);
void RotateBitmapRight(TBitmap& bmp);
void InvertBitmap(TBitmap& bmp);

}  // namespace vellicor::ref

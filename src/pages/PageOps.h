#pragma once
// Image operations on 24-bit page bitmaps: colour balance, gamma, yellowing reduction,
// yellowing reduction by filling, Lanczos resampling, quarter and half turns, and the
// background colour taken from the margins.
//
// Every setting an operation reads is passed in; where the page records what was done
// (balance factor, gamma applied, yellowing reduced, area filled, scale percent) the field
// is passed by reference and written only as the page itself would write it.
//
// All of them run on the calling thread and let pending window messages through
// (ProcessMessages) between passes, per row or every 16 rows. Their scratch buffers are
// process-wide and reused from page to page; an operation started from a message handler
// while another one holds them works on buffers of its own instead.
#include <cstddef>
#include <cstdint>

#include "platform/Bitmap.h"

namespace vellicor {

// ---- Colour balance, gamma and yellowing reduction (PageOpsColour.cpp) ----

// Contrast stretch from the histogram of R + G + B, clipping up to Discards pixels per
// thousand at the dark and light ends. Leaves a page whose sums span less than 384 alone.
// Returns true when the page was stretched; BalanceFactor (percent) is written only then.
bool Balance(TBitmap& bmp, int32_t Discards, int32_t& BalanceFactor);

// Gamma curve, Gamma in hundredths (220 = 2.2). A gamma of 0 or below is no curve at all:
// the page is left alone. Returns true when applied; GammaApplied is written only then.
bool GammaCorrect(TBitmap& bmp, int32_t Gamma, int32_t& GammaApplied);

// Lifts blue and green of yellowed paper (pixels above all three thresholds); red is never
// changed. Nothing happens on a page BitmapIsWhite finds white. Returns true when it ran;
// YellowingReduced is set then.
bool ReduceYellowing(TBitmap& bmp, int32_t RedThreshold, int32_t GreenThreshold, int32_t BlueThreshold,
                     int32_t GreenBoost, int32_t BlueBoost, bool& YellowingReduced);

// True when more than 1/50 of the page (margins counted) is pure white (all channels above
// 250) inside a 20-pixel margin. False for pages of 40 pixels or less either way.
bool BitmapIsWhite(const TBitmap& bmp);

// ---- Yellowing reduction by filling (PageOpsFill.cpp) ----

// Paper test and fill colour of the fill stages. A pixel is paper when each channel is
// strictly above its threshold. Fill values are clamped to 0..255.
struct TFillColours {
    int32_t RedThreshold = 200;
    int32_t GreenThreshold = 150;
    int32_t BlueThreshold = 120;
    int32_t RedFill = 255;
    int32_t GreenFill = 240;
    int32_t BlueFill = 230;
};

// Repaints the paper connected to the corners with the fill colour and, with FixInternal,
// enclosed patches of paper bordered mostly by ink. Nothing happens on a white page.
// Returns true when it ran; AreaFilled is set then.
bool ReduceYellowingByFilling(TBitmap& bmp, bool FixInternal, int32_t RedThreshold, int32_t GreenThreshold,
                              int32_t BlueThreshold, int32_t RedFill, int32_t GreenFill, int32_t BlueFill,
                              bool& AreaFilled);

// The stages, for callers that drive them one by one. AllocateFillMemory sizes the
// process-wide fill memory for this bitmap and clears both masks; the others do nothing
// (false) unless it was called for a bitmap of the same size and the bitmap is 24-bit.
bool AllocateFillMemory(const TBitmap& bmp);
// Flood-fills the 4-connected paper region at (X, Y) that the fill has not visited yet.
void Fill(TBitmap& bmp, int X, int Y, const TFillColours& c);
// Explores the paper region at (X, Y) without changing it: true when it has at least 10
// pixels and more "hard" (ink) border than "soft" (near-paper) border.
bool CheckForWhiteArea(const TBitmap& bmp, int X, int Y, const TFillColours& c);
void ReduceEdgeYellow(TBitmap& bmp, const TFillColours& c);
void ReduceInternalYellow(TBitmap& bmp, const TFillColours& c);

// ---- Resampling and rotation (PageOpsResample.cpp) ----

// Makes the process-wide work area at least Size bytes (grown with slack, contents kept,
// never shrunk). False when memory cannot be had or the area is in use by a running
// operation.
bool GetBitmapWorkArea(size_t Size);
uint8_t* BitmapWorkArea();
size_t BitmapWorkAreaCapacity();

// Separable three-lobe Lanczos resampling in 16.16 fixed point. False, with the bitmap
// unchanged, when the bitmap or the target is empty or memory cannot be had.
bool LanczosStretch(TBitmap& bmp, int NewWidth, int NewHeight);
// LanczosStretch; on success ScalePercent = width * 100 / DecodedWidth unless DecodedWidth is 0.
bool Stretch(TBitmap& bmp, int NewWidth, int NewHeight, int32_t DecodedWidth, int32_t& ScalePercent);

// Quarter turns (anticlockwise, clockwise) and the half turn. The bitmap becomes 24-bit.
// False, with the bitmap unchanged, when memory cannot be had.
bool RotateBitmapLeft(TBitmap& bmp);
bool RotateBitmapRight(TBitmap& bmp);
bool InvertBitmap(TBitmap& bmp);

// ---- Background colour from the margins (PageOpsBackground.cpp) ----

// The desktop's system colour (top bit set: a system colour index, not an RGB value).
constexpr TColor clBackground = 0x80000001;

// Mode: 0 from the page, 1 black, 2 white, 3 light grey, 4 the desktop colour, other: from
// the page. From the page: the agreeing colour of four 5x5 blocks near the corners (single
// page), down the left edge (left page of a spread) or down the right edge (right page).
TColor DetermineBackground(const TBitmap& bmp, int Mode);
TColor DetermineBackgroundLeft(const TBitmap& bmp, int Mode);
TColor DetermineBackgroundRight(const TBitmap& bmp, int Mode);

// Mean of the 5x5 block at (X, Y) (moved inside the bitmap), counting only pixels within
// 32 of the running mean on every channel. The bitmap must be 24-bit and at least 5x5.
void AverageBlock(const TBitmap& bmp, int X, int Y, int& Red, int& Green, int& Blue);
// The mean of the largest group of the four samples that agree with the group's first
// member (every channel within 32); sample 0 when none do. Returns 0x00BBGGRR.
TColor CommonestAverage(const int Reds[4], const int Greens[4], const int Blues[4]);

}  // namespace vellicor

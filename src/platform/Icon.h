#pragma once
// A small icon: a colour image and a mask (1 bit per pixel, 1 where the icon is transparent),
// drawn as the platform draws icons: where the mask is 0 the colour replaces the canvas,
// where it is 1 the colour is combined into the canvas by exclusive or (black leaves it).
#include "platform/Bitmap.h"

namespace vellicor {

class TIcon {
public:
    // Colour: 24 or 32 bits; Mask: any format, a pixel that is not black counts as 1.
    // False (and an empty icon) when the sizes differ or the colour format is not 24/32 bits.
    bool SetImage(const TBitmap& Color, const TBitmap& Mask);
    void Clear();
    bool Empty() const { return FColor.Empty(); }
    int Width() const { return FColor.Width(); }
    int Height() const { return FColor.Height(); }
    const TBitmap& Color() const { return FColor; }
    const TBitmap& Mask() const { return FMask; }
    // Draws at (X, Y) on a 24- or 32-bit canvas, clipped.
    void Draw(TBitmap& Canvas, int X, int Y) const;

private:
    TBitmap FColor;
    TBitmap FMask;  // 1 bit per pixel
};

// A picture holds one graphic of the kinds the platform knows.
class TPicture {
public:
    void Assign(const TBitmap& Bitmap);
    void Assign(const TIcon& Icon);
    void Clear();
    const TBitmap* Bitmap() const { return FBitmap.get(); }
    const TIcon* Icon() const { return FIcon.get(); }
    bool Empty() const { return !FBitmap && !FIcon; }

private:
    std::unique_ptr<TBitmap> FBitmap;
    std::unique_ptr<TIcon> FIcon;
};

}  // namespace vellicor

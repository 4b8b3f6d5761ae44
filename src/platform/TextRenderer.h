#pragma once
// Text drawing onto a bitmap in place of the class library's canvas. The GUI installs a
// renderer over its own painter; the default is a small built-in bitmap font so that
// headless use and tests work.
#include <string>

#include "platform/Bitmap.h"

namespace vellicor {

class ITextRenderer {
public:
    virtual ~ITextRenderer() = default;
    // Width in pixels of Text in a font of the given height.
    virtual int TextWidth(const std::string& Text, int FontHeight) = 0;
    // Draws Text (transparent background) with its top-left corner at (X, Y), clipped to
    // the bitmap; 24 and 32-bit bitmaps only.
    virtual void TextOut(TBitmap& Dest, int X, int Y, const std::string& Text, int FontHeight, TColor Color) = 0;
};

ITextRenderer& TextRenderer();
// Installs a renderer (nullptr restores the built-in one). The caller keeps ownership.
void SetTextRenderer(ITextRenderer* Renderer);

}  // namespace vellicor

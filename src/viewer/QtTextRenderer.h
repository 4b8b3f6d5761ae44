#pragma once
// Text on page bitmaps (the error page) drawn with the toolkit's fonts.
#include "platform/TextRenderer.h"

namespace vellicor {

class QtTextRenderer : public ITextRenderer {
public:
    QtTextRenderer();
    ~QtTextRenderer() override;
    int TextWidth(const std::string& Text, int FontHeight) override;
    void TextOut(TBitmap& Dest, int X, int Y, const std::string& Text, int FontHeight, TColor Color) override;
};

}  // namespace vellicor

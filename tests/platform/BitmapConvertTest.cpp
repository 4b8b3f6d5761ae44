#include <gtest/gtest.h>

#include "platform/Bitmap.h"

using namespace vellicor;

// Every format converts to 24 and 32 bits pixel for pixel, as Pixel() reads it.
TEST(BitmapConvert, EveryFormatTo24And32Bits) {
    for (TPixelFormat f : {TPixelFormat::pf1bit, TPixelFormat::pf4bit, TPixelFormat::pf8bit, TPixelFormat::pf32bit}) {
        TBitmap src;
        ASSERT_TRUE(src.SetSize(11, 3, f));
        for (size_t i = 0; i < src.Palette().size(); ++i)
            src.Palette()[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(2 * i), static_cast<uint8_t>(255 - i), 0};
        if (f == TPixelFormat::pf8bit) src.Palette().resize(100);  // indexes past a short palette: black
        for (int64_t i = 0; i < src.ByteSize(); ++i) src.Bits()[i] = static_cast<uint8_t>(i * 37 + 11);
        for (TPixelFormat to : {TPixelFormat::pf24bit, TPixelFormat::pf32bit}) {
            TBitmap out = src;
            ASSERT_TRUE(out.SetPixelFormat(to));
            ASSERT_EQ(out.PixelFormat(), to);
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 11; ++x) ASSERT_EQ(out.Pixel(x, y), src.Pixel(x, y)) << int(f) << " " << x << "," << y;
        }
        TBitmap assigned;
        ASSERT_TRUE(assigned.AssignConverted(src));
        EXPECT_EQ(assigned.PixelFormat(), TPixelFormat::pf24bit);
        EXPECT_EQ(assigned.Pixel(10, 2), src.Pixel(10, 2));
    }
}

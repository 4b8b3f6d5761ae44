// The in-memory clipboard, format registration, and icons drawn through their mask.
#include <gtest/gtest.h>

#include "platform/Clipboard.h"
#include "platform/Icon.h"

using namespace vellicor;

TEST(Clipboard, FormatsAndData) {
    const TClipboardFormat a = RegisterClipboardFormat("Test Format A");
    EXPECT_GE(a, 0xC000u);
    EXPECT_EQ(RegisterClipboardFormat("Test Format A"), a);
    EXPECT_NE(RegisterClipboardFormat("Test Format B"), a);
    EXPECT_EQ(ClipboardFormatName(a), "Test Format A");
    EXPECT_EQ(ClipboardFormatName(CF_BITMAP), "");
    TMemoryClipboard clip;
    EXPECT_FALSE(clip.SetData(a, nullptr));
    auto block = std::make_shared<TClipboardData>();
    block->Bytes = {1, 2, 3};
    EXPECT_TRUE(clip.SetData(a, block));
    EXPECT_TRUE(clip.HasFormat(a));
    EXPECT_FALSE(clip.HasFormat(CF_BITMAP));
    EXPECT_EQ(clip.GetData(a)->Bytes.size(), 3u);
    clip.Clear();
    EXPECT_EQ(clip.GetData(a), nullptr);
    // The process clipboard is the one in memory until another is installed.
    TMemoryClipboard other;
    SetClipboard(&other);
    EXPECT_EQ(&Clipboard(), &other);
    SetClipboard(nullptr);
    EXPECT_NE(&Clipboard(), &other);
}

TEST(Icon, DrawsThroughItsMaskAndClips) {
    TBitmap color, mask, wrong;
    color.SetSize(2, 1, TPixelFormat::pf24bit);
    mask.SetSize(2, 1, TPixelFormat::pf24bit);
    color.ScanLine(0)[2] = 200;                                      // (0, 0) red 200
    color.ScanLine(0)[3] = 0x0F;                                     // (1, 0) blue 0x0F
    mask.ScanLine(0)[3] = mask.ScanLine(0)[4] = mask.ScanLine(0)[5] = 255;  // (1, 0) masked
    TIcon icon;
    wrong.SetSize(3, 1, TPixelFormat::pf24bit);
    EXPECT_FALSE(icon.SetImage(color, wrong));
    EXPECT_TRUE(icon.Empty());
    ASSERT_TRUE(icon.SetImage(color, mask));
    TBitmap canvas;
    canvas.SetSize(3, 1, TPixelFormat::pf32bit);
    canvas.Fill(RGBColor(0x10, 0x20, 0xF0));
    icon.Draw(canvas, 1, 0);
    EXPECT_EQ(canvas.Pixel(0, 0), RGBColor(0x10, 0x20, 0xF0));
    EXPECT_EQ(canvas.Pixel(1, 0), RGBColor(200, 0, 0));
    EXPECT_EQ(canvas.Pixel(2, 0), RGBColor(0x10, 0x20, 0xFF));  // exclusive or under the mask
    icon.Draw(canvas, -5, 7);                                    // wholly outside: nothing
    icon.Draw(canvas, 2, 0);                                     // half outside
    EXPECT_EQ(canvas.Pixel(2, 0), RGBColor(200, 0, 0));
}

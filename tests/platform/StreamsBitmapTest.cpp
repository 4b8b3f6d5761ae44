#include <gtest/gtest.h>

#include "platform/Bitmap.h"
#include "platform/Streams.h"
#include "support/TempDir.h"

using namespace vellicor;

TEST(Streams, MemoryStreamReadsOnlyWhatIsThere) {
    TMemoryStream m;
    EXPECT_EQ(m.Write("hello", 5), 5);
    m.SetPosition(3);
    char buf[8] = {};
    EXPECT_EQ(m.Read(buf, 8), 2);
    EXPECT_EQ(std::string(buf, 2), "lo");
    EXPECT_EQ(m.Read(buf, 8), 0);
    EXPECT_EQ(m.Seek(-1, SeekOrigin::Begin), -1);
    m.SetPosition(10);  // past the end: reads nothing, a write extends with zeros
    EXPECT_EQ(m.Read(buf, 1), 0);
    EXPECT_EQ(m.Write("!", 1), 1);
    EXPECT_EQ(m.Size(), 11);
    EXPECT_EQ(m.Memory()[7], 0);
}

TEST(Streams, FileStreamRoundTripAndRefusesDirectories) {
    test::TempDir dir;
    TFileStream f;
    ASSERT_TRUE(f.Open(dir.File("a.bin"), FileMode::Create));
    EXPECT_EQ(f.Write("abcdef", 6), 6);
    f.Close();
    TMemoryStream m;
    ASSERT_TRUE(m.LoadFromFile(dir.File("a.bin")));
    EXPECT_EQ(m.Size(), 6);
    EXPECT_FALSE(f.Open(dir.Path(), FileMode::OpenRead));
    EXPECT_FALSE(m.LoadFromFile(dir.File("missing")));
}

TEST(Bitmap, RowsArePaddedAndFormatsConvert) {
    TBitmap b;
    ASSERT_TRUE(b.SetSize(3, 2, TPixelFormat::pf24bit));
    EXPECT_EQ(b.Stride(), 12);
    ASSERT_TRUE(b.SetSize(5, 2, TPixelFormat::pf1bit));
    EXPECT_EQ(b.Stride(), 4);
    b.Palette()[1] = {10, 20, 30, 0};
    b.ScanLine(1)[0] = 0x40;  // pixel 1 of row 1
    EXPECT_EQ(b.Pixel(1, 1), RGBColor(30, 20, 10));
    ASSERT_TRUE(b.SetPixelFormat(TPixelFormat::pf24bit));
    EXPECT_EQ(b.Pixel(1, 1), RGBColor(30, 20, 10));
    EXPECT_EQ(b.Pixel(0, 1), 0u);
}

TEST(Bitmap, RefusesHugeOrNegativeSizes) {
    TBitmap b;
    EXPECT_FALSE(b.SetSize(-1, 5, TPixelFormat::pf24bit));
    EXPECT_FALSE(b.SetSize(1 << 16, 1 << 16, TPixelFormat::pf24bit));
    EXPECT_TRUE(b.Empty());
    EXPECT_TRUE(b.SetSize(0, 0));
}

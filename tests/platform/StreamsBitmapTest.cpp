#include <gtest/gtest.h>
#include <vector>

#include "platform/Bitmap.h"
#include "platform/Streams.h"
#include "support/ChildRun.h"
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
    // A position no write can reach from there refuses the write instead of wrapping round.
    m.SetPosition(INT64_MAX - 2);
    EXPECT_EQ(m.Write("abcd", 4), 0);
    EXPECT_EQ(m.Size(), 11);
    // Emptied, a stream gives its memory back: it may have held a page of hundreds of MB.
    m.Clear();
    EXPECT_EQ(m.Size(), 0);
    EXPECT_EQ(m.Bytes().capacity(), 0u);
}

// A page's stream grows as its data come: room reserved or added is neither cleared nor
// touched (a stated size costs address space, not memory), the reserve never exceeds the
// page budget whatever is asked, and growing within it moves nothing.
TEST(Streams, GrowingAMemoryStreamTouchesNothingAndReservesAtMostTheBudget) {
    TMemoryStream m;
    m.Reserve(int64_t(1) << 40);
    EXPECT_EQ(m.Bytes().capacity(), size_t(kPageBudget));
    const uint8_t* at = m.Memory();
    ASSERT_TRUE(m.SetSize(kPageBudget / 2));
    EXPECT_EQ(m.Memory(), at) << "grown within its reserve without a copy";
    m.Clear();
    m.Reserve(-5);
    EXPECT_EQ(m.Bytes().capacity(), 0u);
    // Emptied for the next page, a stream keeps a page's room (mapped again, 30 MB cost
    // thousands of page faults each time), but not a room beyond kKeptRoom.
    ASSERT_TRUE(m.SetSize(TMemoryStream::kKeptRoom));
    const uint8_t* room = m.Memory();
    m.Reuse();
    EXPECT_EQ(m.Size(), 0);
    ASSERT_TRUE(m.SetSize(1000));
    EXPECT_EQ(m.Memory(), room);
    m.Reserve(TMemoryStream::kKeptRoom + 1);
    m.Reuse();
    EXPECT_EQ(m.Bytes().capacity(), 0u);
    if (!test::kPeakMemoryMeasured) GTEST_SKIP() << "the sanitizer's allocator touches what it hands out";
    const test::ChildRun run = test::InChild([] {
        TMemoryStream s;
        s.Reserve(kPageBudget);
        return s.SetSize(kPageBudget) && s.Size() == kPageBudget ? 0 : 1;
    });
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_LT(run.grewMB, 64) << "256 MB of room were cleared";
}

// Bytes appended a piece at a time across many regrowths arrive whole and in order, and a
// copied buffer is its own while a moved one leaves its source empty.
TEST(Streams, MemoryStreamBytesSurviveGrowthCopiesAndMoves) {
    TMemoryStream m;
    std::vector<uint8_t> piece(100003);
    for (int i = 0; i < 40; ++i) {
        for (size_t k = 0; k < piece.size(); ++k) piece[k] = uint8_t(i * 7 + k);
        ASSERT_EQ(m.Write(piece.data(), int64_t(piece.size())), int64_t(piece.size()));
    }
    ASSERT_EQ(m.Size(), int64_t(40 * piece.size()));
    for (int i = 0; i < 40; i += 13)
        for (size_t k = 0; k < piece.size(); k += 997)
            ASSERT_EQ(m.Memory()[size_t(i) * piece.size() + k], uint8_t(i * 7 + k));
    TMemoryStream::TBytes copy = m.Bytes();
    copy.data()[0] ^= 0xFF;
    EXPECT_NE(copy.data()[0], m.Memory()[0]);
    EXPECT_EQ(copy.size(), size_t(m.Size()));
    TMemoryStream::TBytes moved = std::move(copy);
    EXPECT_EQ(copy.size(), 0u);
    EXPECT_EQ(moved.size(), size_t(m.Size()));
    moved.resize(moved.size() + 5, 0xAB);
    EXPECT_EQ(moved.data()[moved.size() - 1], 0xAB);
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

TEST(Bitmap, RowsArePaddedAndReadThroughThePalette) {
    TBitmap b;
    ASSERT_TRUE(b.SetSize(3, 2, TPixelFormat::pf24bit));
    EXPECT_EQ(b.Stride(), 12);
    ASSERT_TRUE(b.SetSize(5, 2, TPixelFormat::pf1bit));
    EXPECT_EQ(b.Stride(), 4);
    b.Palette()[1] = {10, 20, 30, 0};
    b.ScanLine(1)[0] = 0x40;  // pixel 1 of row 1
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

TEST(Bitmap, PageSizedBuffersAreReusedWithinABudget) {
    ReleasePixelPool();
    const uint8_t* first = nullptr;
    {
        TBitmap page;
        ASSERT_TRUE(page.SetSizeForOverwrite(1600, 2400, TPixelFormat::pf24bit));
        first = page.Bits();
        page.Bits()[0] = 7;
    }
    EXPECT_EQ(PixelPoolBytes(), size_t(1600) * 2400 * 3) << "a freed page is kept";
    {
        TBitmap other;  // another size does not take it
        ASSERT_TRUE(other.SetSize(1000, 1000, TPixelFormat::pf24bit));
        EXPECT_NE(other.Bits(), first);
    }
    TBitmap again;
    ASSERT_TRUE(again.SetSize(1600, 2400, TPixelFormat::pf24bit));
    EXPECT_EQ(again.Bits(), first) << "the next page of the size writes into it";
    EXPECT_EQ(again.Bits()[0], 0) << "SetSize still clears what it takes";
    EXPECT_EQ(again.Pixel(1599, 2399), 0u);
    TBitmap copy = again;  // copies are pixel buffers too
    EXPECT_NE(copy.Bits(), again.Bits());
    EXPECT_EQ(copy.Pixel(5, 5), again.Pixel(5, 5));

    // Many freed pages: the pool stays within its budget, and a huge page is never held.
    std::vector<TBitmap> pages(10);
    for (auto& p : pages) ASSERT_TRUE(p.SetSizeForOverwrite(2480, 3508, TPixelFormat::pf24bit));
    pages.clear();
    EXPECT_LE(PixelPoolBytes(), size_t(40) << 20);
    EXPECT_GE(PixelPoolBytes(), size_t(2480) * 3508 * 3) << "the newest freed page stays";
    const size_t before = PixelPoolBytes();
    {
        TBitmap huge;
        ASSERT_TRUE(huge.SetSizeForOverwrite(8000, 8000, TPixelFormat::pf24bit));
    }
    EXPECT_EQ(PixelPoolBytes(), before);
    ReleasePixelPool();
    EXPECT_EQ(PixelPoolBytes(), 0u);

    // A page fitted down gives its decoded buffer back instead of keeping it as spare room.
    TBitmap fitted;
    ASSERT_TRUE(fitted.SetSize(1600, 2400, TPixelFormat::pf24bit));
    ASSERT_TRUE(fitted.SetSizeForOverwrite(800, 1200, TPixelFormat::pf24bit));
    EXPECT_EQ(PixelPoolBytes(), size_t(1600) * 2400 * 3);
    ReleasePixelPool();
}

// Small hostile GIFs through the page: a million blocks, a hundred thousand frames, a huge
// screen with hardly any data. Each is loaded in a child process whose peak memory is
// checked loosely; bench_gifhostile prints their times. Also the page's screen as the
// frame leaves it, against the image's own picture.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "GifTestUtil.h"
#include "codecs/gif/GIFPage.h"
#include "pages/PageBMP.h"
#include "support/ChildRun.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

// A 2-entry table on a screen of the given size.
std::string Header(int width, int height) {
    std::string s = "GIF89a";
    s += char(width & 0xFF), s += char(width >> 8), s += char(height & 0xFF), s += char(height >> 8);
    return s + std::string("\x80\0\0\0\0\0\xFF\xFF\xFF", 9);
}

// One frame whose first pixel is colour 1 (clear, 1, end), or with no data at all.
std::string SmallFrame(int width, int height, bool data = true) {
    std::string s(",\0\0\0\0", 5);
    s += char(width & 0xFF), s += char(width >> 8), s += char(height & 0xFF), s += char(height >> 8), s += '\0';
    return s + (data ? std::string("\x02\x02\x4C\x01\x00", 5) : std::string("\x02\x00", 2));
}

std::string Repeat(const std::string& block, int count) {
    std::string s;
    s.reserve(block.size() * size_t(count));
    for (int i = 0; i < count; ++i) s += block;
    return s;
}

// 0: the page, 1: the error page, 2: something else.
int PageResult(const std::string& path, int width, int height) {
    TPageBMP page(path);
    page.LoadFromFile(path);
    if (page.LoadError) return page.Width() == 400 && page.Height() == 600 ? 1 : 2;
    return page.Width() == width && page.Height() == height ? 0 : 2;
}

// Freed memory waits in the address sanitizer's quarantine: its peaks say less.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kSlack = 300;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr double kSlack = 300;
#else
constexpr double kSlack = 0;
#endif
#else
constexpr double kSlack = 0;
#endif

TColor Colour(uint32_t rgb) { return RGBColor(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)); }

}  // namespace

TEST(GIFHostile, ManyBlocksLoadInProportionAndThePageReadsTheFirstFrameOnly) {
    TempDir dir;
    // A million comments and no trailer: one frame of extensions only, so the error page.
    const std::string comments = dir.Write("comments.gif", Header(1, 1) + Repeat(std::string("!\xFE\x01X\x00", 5), 1000000));
    ChildRun run = InChild([&] { return PageResult(comments, 0, 0); });
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_LT(run.grewMB, 60 + kSlack) << "a million comments are read past, not kept";
    run = InChild([&] {
        LoadedGif g;
        LoadGif(g, Header(1, 1) + Repeat(std::string("!\xFE\x01X\x00", 5), 1000000));
        return g.error.empty() && g.image.Images().GetCount() == 1 &&
                       g.image.Images().GetImage(0)->Extensions().GetCount() == 1000000
                   ? 0
                   : 2;
    });
    EXPECT_EQ(run.exitCode, 0);

    // A hundred thousand frames of one pixel: the page is the first; the image holds them all.
    const std::string frames = Header(1, 1) + Repeat(SmallFrame(1, 1), 100000) + ";";
    const std::string path = dir.Write("frames.gif", frames);
    run = InChild([&] { return PageResult(path, 1, 1); });
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_LT(run.grewMB, 200) << "a hundred thousand frames";
    run = InChild([&] {
        LoadedGif g;
        LoadGif(g, frames);
        return g.error.empty() && g.image.Images().GetCount() == 100000 ? 0 : 2;
    });
    EXPECT_EQ(run.exitCode, 0);

    // For a page, only the frame's own graphic control is kept; its transparent index still
    // fills what the data does not reach.
    {
        TGIFImage image;
        image.LoadFirstFrameOnly = true;
        GifSpec spec{3, 1, GreyRamp(4), {}};
        GifFrame f;
        f.width = 3, f.height = 1, f.pixels = {1};
        f.extensions = std::string("!\xFE\x01X\x00", 5) + Gce(true, 2) + std::string("!\xFE\x01Y\x00", 5) + Gce(true, 3);
        spec.frames = {f, f};
        const std::string bytes = MakeGif(spec);
        TByteViewStream in(bytes.data(), int64_t(bytes.size()));
        image.LoadFromStream(in);
        ASSERT_EQ(image.Images().GetCount(), 1);
        TGIFSubImage* frame = image.Images().GetImage(0);
        ASSERT_EQ(frame->Extensions().GetCount(), 1);
        EXPECT_EQ(frame->GraphicControlExtension(), frame->Extensions().GetExtension(0));
        EXPECT_EQ(frame->GraphicControlExtension()->GetTransparentColorIndex(), 2);
        EXPECT_EQ(Pixels(*frame), (std::vector<uint8_t>{1, 2, 2}));
    }

    // Frames after the first are not read for a page: a broken second frame leaves it be.
    GifSpec spec{2, 1, GreyRamp(4), {}};
    GifFrame good;
    good.width = 2, good.height = 1, good.pixels = {3, 1};
    GifFrame broken = good;
    broken.data = std::string("\x0C\x01\x00\x00", 4);
    spec.frames = {good, broken};
    const std::string bytes = MakeGif(spec);
    LoadedGif whole;
    LoadGif(whole, bytes);
    EXPECT_EQ(whole.error, "Invalid GIF data");
    TByteViewStream s(bytes.data(), int64_t(bytes.size()));
    TBitmap page;
    ASSERT_NO_THROW(DecodeGifPage(s, page));
    EXPECT_EQ(page.Pixel(0, 0), RGBColor(255, 255, 255));
}

TEST(GIFHostile, AHugeScreenOfLittleDataIsRefusedWithoutItsMemory) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"16384x16384 screen, 1x1 frame", Header(16384, 16384) + SmallFrame(1, 1) + ";"},
        {"16384x16384 frame, no data", Header(16384, 16384) + SmallFrame(16384, 16384, false) + ";"},
        {"65535x4096 screen, 1x1 frame", Header(65535, 4096) + SmallFrame(1, 1) + ";"},
    };
    for (const Case& c : cases) {
        const std::string path = dir.Write("huge.gif", c.bytes);
        const ChildRun run = InChild([&] { return PageResult(path, 0, 0); });
        EXPECT_EQ(run.exitCode, 1) << c.name;
        EXPECT_LT(run.grewMB, 200) << c.name;
    }

    // The limit: above 2^25 pixels, a screen that the first frame's data fills to a
    // sixteenth shows (black around the frame); one pixel less is refused.
    GifSpec spec{6000, 6000, GreyRamp(4), {}};
    GifFrame frame;
    frame.left = 100, frame.top = 200, frame.width = 1500, frame.height = 1500;
    frame.pixels.assign(size_t(1500 * 1500), 2);
    spec.frames = {frame};
    std::string bytes = MakeGif(spec);
    TByteViewStream s(bytes.data(), int64_t(bytes.size()));
    TBitmap page;
    ASSERT_NO_THROW(DecodeGifPage(s, page));
    ASSERT_EQ(page.Width() * int64_t(10000) + page.Height(), 60006000);
    EXPECT_EQ(page.Pixel(99, 200), 0u);
    EXPECT_EQ(page.Pixel(100, 200), Colour(GreyRamp(4)[2]));
    EXPECT_EQ(page.Pixel(1599, 1699), Colour(GreyRamp(4)[2]));
    EXPECT_EQ(page.Pixel(1600, 1699), 0u);
    spec.frames[0].pixels.pop_back();
    bytes = MakeGif(spec);
    TByteViewStream short_(bytes.data(), int64_t(bytes.size()));
    EXPECT_THROW(DecodeGifPage(short_, page), GIFException);
}

TEST(GIFPage, AFrameSmallerThanTheScreenShowsAsTheImageDrawsIt) {
    // The page's 8-bit screen converts to the same pixels as the image's own 24-bit picture:
    // the frame at its place, every other pixel black.
    const std::vector<uint32_t> full = GreyRamp(256);
    std::vector<uint32_t> noBlack;
    for (int i = 0; i < 256; ++i) noBlack.push_back(uint32_t(i * 0x010101 ^ 0x203040));
    struct Case {
        const char* name;
        std::vector<uint32_t> colors;
        int left, top, width, height;
        TPixelFormat format;
    } cases[] = {
        {"8 colours, inside", GreyRamp(8), 1, 2, 3, 2, TPixelFormat::pf8bit},
        {"past the right and bottom", GreyRamp(8), 4, 3, 3, 3, TPixelFormat::pf8bit},
        {"beyond the screen", GreyRamp(8), 9, 1, 2, 2, TPixelFormat::pf8bit},
        {"256 colours with black", full, 2, 0, 3, 4, TPixelFormat::pf8bit},
        {"256 colours, none black", noBlack, 2, 0, 3, 4, TPixelFormat::pf24bit},
    };
    for (const Case& c : cases) {
        GifSpec spec{6, 5, c.colors, {}};
        GifFrame f;
        f.left = c.left, f.top = c.top, f.width = c.width, f.height = c.height;
        // Every index, those beyond a short table too (they show black).
        for (int i = 0; i < c.width * c.height; ++i) f.pixels.push_back(uint8_t(i * 37 + 250));
        f.codeSize = 8;
        spec.frames.push_back(f);
        const std::string bytes = MakeGif(spec);
        LoadedGif g;
        LoadGif(g, bytes);
        ASSERT_TRUE(g.error.empty()) << c.name;
        TBitmap want;
        g.image.AssignTo(want);
        TByteViewStream s(bytes.data(), int64_t(bytes.size()));
        TBitmap page;
        DecodeGifPage(s, page);
        EXPECT_EQ(page.PixelFormat(), c.format) << c.name;
        ASSERT_EQ(page.Width() * 10 + page.Height(), 65) << c.name;
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 6; ++x) ASSERT_EQ(page.Pixel(x, y), want.Pixel(x, y)) << c.name << " at " << x << "," << y;
    }
}

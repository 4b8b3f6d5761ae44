#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <fstream>

#include "PageBMPTestUtil.h"
#include "pages/BmpReader.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

TMemoryStream StreamOf(const std::string& bytes) {
    TMemoryStream m;
    m.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    m.SetPosition(0);
    return m;
}

bool Read(const std::string& bytes, TBitmap& out, std::string* error = nullptr) {
    TMemoryStream s = StreamOf(bytes);
    return ReadBmp(s, out, error);
}

// 0x00RRGGBB palette entry to the bitmap's colour value.
TColor ColourOf(uint32_t rgb) { return RGBColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

std::vector<uint32_t> Palette(int n) {
    std::vector<uint32_t> p;
    for (int i = 0; i < n; ++i) p.push_back(static_cast<uint32_t>((i * 0x3B + 7) << 16 | (255 - i) << 8 | (i * 5) % 256));
    return p;
}

uint32_t IndexAt(int x, int y, int bpp) { return static_cast<uint32_t>(x * 7 + y * 3 + x * y) % (1u << bpp); }

void ExpectRefused(const std::string& bytes, const std::string& what) {
    TBitmap b;
    b.SetSize(2, 2, TPixelFormat::pf24bit);
    std::string error;
    EXPECT_FALSE(Read(bytes, b, &error)) << what;
    EXPECT_TRUE(b.Empty()) << what;
    EXPECT_FALSE(error.empty()) << what;
}

std::string Rle(BmpSpec spec, const std::vector<uint8_t>& data) {
    spec.compression = spec.bpp == 8 ? 1 : 2;
    return MakeBmpRaw(spec, std::string(data.begin(), data.end()));
}

}  // namespace

TEST(BmpReader, PaletteFormatsAtEveryRowPadding) {
    for (int bpp : {1, 4, 8})
        for (int header : {12, 40, 108, 124})
            for (int width : {1, 2, 3, 5, 8, 9, 17, 33})
                for (bool topDown : {false, true}) {
                    if (header == 12 && topDown) continue;  // the core header has no top-down form
                    BmpSpec spec;
                    spec.headerSize = header;
                    spec.bpp = bpp;
                    spec.width = width;
                    spec.height = topDown ? -4 : 4;
                    spec.palette = Palette(1 << bpp);
                    std::string file = MakeBmp(spec, [&](int x, int y) { return IndexAt(x, y, bpp); });
                    TBitmap b;
                    ASSERT_TRUE(Read(file, b)) << bpp << " " << header << " " << width;
                    ASSERT_EQ(b.Width(), width);
                    ASSERT_EQ(b.Height(), 4);
                    ASSERT_EQ(b.PixelFormat(), TPixelFormat::pf24bit);
                    for (int y = 0; y < 4; ++y)
                        for (int x = 0; x < width; ++x)
                            ASSERT_EQ(b.Pixel(x, y), ColourOf(spec.palette[IndexAt(x, y, bpp)]))
                                << bpp << " " << header << " " << width << " " << topDown << " at " << x << "," << y;
                }
}

TEST(BmpReader, TrueColourFormats) {
    auto rgb = [](int x, int y) { return static_cast<uint32_t>((x * 40) << 16 | (y * 50) << 8 | (x + y) * 20); };
    for (int header : {12, 40, 56, 124})
        for (bool topDown : {false, true}) {
            if (header == 12 && topDown) continue;
            BmpSpec spec;
            spec.headerSize = header;
            spec.width = 5;
            spec.height = topDown ? -3 : 3;
            TBitmap b;
            ASSERT_TRUE(Read(MakeBmp(spec, rgb), b)) << header;
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 5; ++x) ASSERT_EQ(b.Pixel(x, y), ColourOf(rgb(x, y))) << header;
            if (header == 12) continue;
            spec.bpp = 32;  // blue, green, red, unused
            ASSERT_TRUE(Read(MakeBmp(spec, [&](int x, int y) { return rgb(x, y) | 0xAB000000u; }), b)) << header;
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 5; ++x) ASSERT_EQ(b.Pixel(x, y), ColourOf(rgb(x, y))) << header;
        }
}

TEST(BmpReader, SixteenBitsAndBitFieldsScaleEachChannel) {
    struct Case { int header; int bpp; uint32_t compression; uint32_t r, g, b; };
    const Case cases[] = {
        {40, 16, 0, 0x7C00, 0x03E0, 0x001F},          // plain 16 bits: 5-5-5
        {40, 16, 3, 0xF800, 0x07E0, 0x001F},          // 5-6-5 after the header
        {52, 16, 3, 0x0F00, 0x00F0, 0x000F},          // 4-4-4 in the header
        {108, 16, 3, 0x001F, 0x07E0, 0xF800},         // blue on top
        {40, 32, 3, 0x00FF0000, 0x0000FF00, 0x000000FF},
        {56, 32, 3, 0x000000FF, 0x0000FF00, 0x00FF0000},  // red in the low byte
        {124, 32, 3, 0x3FF00000, 0x000FFC00, 0x000003FF},  // 10 bits a channel
        {40, 32, 3, 0x00FF0000, 0x0000FF00, 0},            // no blue field: blue 0
    };
    for (const auto& c : cases) {
        BmpSpec spec;
        spec.headerSize = c.header;
        spec.bpp = c.bpp;
        spec.compression = c.compression;
        spec.masks[0] = c.r;
        spec.masks[1] = c.g;
        spec.masks[2] = c.b;
        spec.width = 7;
        spec.height = 6;
        auto value = [&](int x, int y) { return static_cast<uint32_t>((x * 0x9E3779B1u) ^ (y * 0x85EBCA77u)) & ((c.bpp == 16) ? 0xFFFF : 0xFFFFFFFF); };
        TBitmap b;
        ASSERT_TRUE(Read(MakeBmp(spec, value), b)) << c.header << " " << std::hex << c.r;
        auto channel = [](uint32_t v, uint32_t mask) -> int {
            if (!mask) return 0;
            int shift = 0;
            while (!((mask >> shift) & 1)) ++shift;
            uint64_t max = mask >> shift;
            return static_cast<int>((((v & mask) >> shift) * 255 + max / 2) / max);
        };
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 7; ++x) {
                uint32_t v = value(x, y);
                TColor got = b.Pixel(x, y);
                ASSERT_EQ(GetRValue(got), channel(v, c.r)) << c.header << " " << x << "," << y;
                ASSERT_EQ(GetGValue(got), channel(v, c.g));
                ASSERT_EQ(GetBValue(got), channel(v, c.b));
            }
    }
    // 5-bit values spread to the full range: 31 is 255, 16 is 132.
    BmpSpec spec;
    spec.bpp = 16;
    spec.width = 2;
    spec.height = 1;
    TBitmap b;
    ASSERT_TRUE(Read(MakeBmp(spec, [](int x, int) { return x ? 0x7FFFu : (16u << 10 | 1u << 5); }), b));
    EXPECT_EQ(b.Pixel(1, 0), RGBColor(255, 255, 255));
    EXPECT_EQ(b.Pixel(0, 0), RGBColor(132, 8, 0));
}

TEST(BmpReader, ShortAndOddPalettesAreTolerated) {
    BmpSpec spec;
    spec.bpp = 8;
    spec.width = 4;
    spec.height = 1;
    spec.palette = {0x112233, 0x445566};
    spec.colorsUsed = 2;
    auto idx = [](int x, int) { return static_cast<uint32_t>(x == 3 ? 200 : x); };
    TBitmap b;
    ASSERT_TRUE(Read(MakeBmp(spec, idx), b));
    EXPECT_EQ(b.Pixel(0, 0), ColourOf(0x112233));
    EXPECT_EQ(b.Pixel(1, 0), ColourOf(0x445566));
    EXPECT_EQ(b.Pixel(2, 0), 0u);  // beyond the palette: black
    EXPECT_EQ(b.Pixel(3, 0), 0u);

    // The header asks for 256 entries (0), but the pixel data starts after two.
    spec.colorsUsed = 0;
    ASSERT_TRUE(Read(MakeBmp(spec, idx), b));
    EXPECT_EQ(b.Pixel(1, 0), ColourOf(0x445566));
    EXPECT_EQ(b.Pixel(2, 0), 0u);

    // A count above what the bit depth can index reads only what can be indexed.
    BmpSpec one;
    one.bpp = 1;
    one.width = 2;
    one.height = 1;
    one.palette = {0xFF0000, 0x00FF00, 0x0000FF};
    one.colorsUsed = 3;
    ASSERT_TRUE(Read(MakeBmp(one, [](int x, int) { return static_cast<uint32_t>(x); }), b));
    EXPECT_EQ(b.Pixel(1, 0), ColourOf(0x00FF00));

    // A core-header file with a shortened palette.
    BmpSpec core;
    core.headerSize = 12;
    core.bpp = 4;
    core.width = 3;
    core.height = 2;
    core.palette = {0x010203, 0x040506, 0x070809};
    ASSERT_TRUE(Read(MakeBmp(core, [](int x, int) { return static_cast<uint32_t>(x); }), b));
    EXPECT_EQ(b.Pixel(2, 1), ColourOf(0x070809));

    // A palette before 24-bit data is skipped; offBits 0 means "right after the palette".
    BmpSpec rgb;
    rgb.width = 1;
    rgb.height = 1;
    rgb.palette = {1, 2, 3};
    rgb.colorsUsed = 3;
    std::string file = MakeBmp(rgb, [](int, int) { return 0xABCDEFu; });
    ASSERT_TRUE(Read(file, b));
    EXPECT_EQ(b.Pixel(0, 0), ColourOf(0xABCDEF));
    PutLe32(file, 10, 0);
    ASSERT_TRUE(Read(file, b));
    EXPECT_EQ(b.Pixel(0, 0), ColourOf(0xABCDEF));
    PutLe32(file, 46, 0x7FFFFFFF);  // a palette count the file cannot hold
    ExpectRefused(file, "palette count beyond the file");
}

TEST(BmpReader, Rle8EveryEscape) {
    BmpSpec spec;
    spec.bpp = 8;
    spec.width = 6;
    spec.height = 4;
    spec.palette = Palette(256);
    auto c = [&](unsigned i) { return ColourOf(spec.palette[i]); };
    // Rows from the bottom. Row 0: run of 3 x 5, absolute 3 (padded), end of line.
    // Row 1: absolute 4, delta (1, 1). Row 2 from x 5: run of 9 x 7 (clipped). End of line.
    // Row 3: run 2 x 9, then the data ends without an end-of-bitmap.
    std::vector<uint8_t> data = {3, 5, 0, 3, 10, 11, 12, 0, 0, 0,
                                 0, 4, 20, 21, 22, 23, 0, 2, 1, 1,
                                 9, 7, 0, 0,
                                 2, 9};
    TBitmap b;
    ASSERT_TRUE(Read(Rle(spec, data), b));
    auto at = [&](int x, int rowFromBottom) { return b.Pixel(x, 3 - rowFromBottom); };
    for (int x = 0; x < 3; ++x) EXPECT_EQ(at(x, 0), c(5));
    EXPECT_EQ(at(3, 0), c(10));
    EXPECT_EQ(at(5, 0), c(12));
    EXPECT_EQ(at(3, 1), c(23));
    EXPECT_EQ(at(4, 1), c(0));  // skipped by the delta: palette entry 0
    EXPECT_EQ(at(4, 2), c(0));
    EXPECT_EQ(at(5, 2), c(7));
    EXPECT_EQ(at(0, 3), c(9));
    EXPECT_EQ(at(1, 3), c(9));
    EXPECT_EQ(at(2, 3), c(0));

    // End of bitmap stops decoding; a delta below the last row stops too.
    std::vector<uint8_t> eob = {6, 1, 0, 1, 6, 2};
    ASSERT_TRUE(Read(Rle(spec, eob), b));
    EXPECT_EQ(at(5, 0), c(1));
    EXPECT_EQ(at(0, 1), c(0));
    std::vector<uint8_t> away = {0, 2, 0, 200, 6, 2};
    ASSERT_TRUE(Read(Rle(spec, away), b));
    EXPECT_EQ(at(0, 0), c(0));
    // An absolute run that the data cuts short takes what is there.
    std::vector<uint8_t> cut = {0, 5, 30, 31};
    ASSERT_TRUE(Read(Rle(spec, cut), b));
    EXPECT_EQ(at(1, 0), c(31));
    EXPECT_EQ(at(2, 0), c(0));
}

TEST(BmpReader, Rle4AlternatesNibbles) {
    BmpSpec spec;
    spec.bpp = 4;
    spec.width = 7;
    spec.height = 2;
    spec.palette = Palette(16);
    auto c = [&](unsigned i) { return ColourOf(spec.palette[i]); };
    // Bottom row: run of 5 alternating 1 and 2, absolute 3 nibbles 3 4 5 (2 bytes, no pad).
    // Top row: absolute 5 nibbles (3 bytes + 1 pad), then run of 1.
    std::vector<uint8_t> data = {5, 0x12, 0, 3, 0x34, 0x50, 0, 0,
                                 0, 5, 0x67, 0x89, 0xA0, 0, 1, 0xF0, 0, 1};
    TBitmap b;
    ASSERT_TRUE(Read(Rle(spec, data), b));
    const unsigned bottom[7] = {1, 2, 1, 2, 1, 3, 4};
    const unsigned top[7] = {6, 7, 8, 9, 10, 15, 0};
    for (int x = 0; x < 7; ++x) {
        EXPECT_EQ(b.Pixel(x, 1), c(bottom[x])) << x;
        EXPECT_EQ(b.Pixel(x, 0), c(top[x])) << x;
    }
}

TEST(BmpReader, HeadersAndEncodingsOutsideTheListAreRefused) {
    BmpSpec spec;
    spec.width = 4;
    spec.height = 4;
    auto px = [](int, int) { return 0x123456u; };
    std::string good = MakeBmp(spec, px);
    TBitmap b;
    ASSERT_TRUE(Read(good, b));

    std::string notBm = good;
    notBm[1] = 'A';
    ExpectRefused(notBm, "signature");
    ExpectRefused(good.substr(0, 10), "file header cut");
    ExpectRefused(good.substr(0, 40), "info header cut");
    for (uint32_t size : {0u, 16u, 64u, 200u, 0xFFFFFFFFu}) {
        std::string f = good;
        PutLe32(f, 14, size);
        ExpectRefused(f, "header size " + std::to_string(size));
    }
    for (uint16_t bpp : {0, 2, 3, 7, 48, 64}) {
        std::string f = good;
        PutLe16(f, 28, bpp);
        ExpectRefused(f, "bit count " + std::to_string(bpp));
    }
    for (uint32_t comp : {4u, 5u, 6u, 11u, 99u}) {
        std::string f = good;
        PutLe32(f, 30, comp);
        ExpectRefused(f, "compression " + std::to_string(comp));
    }
    struct Combo { int bpp; uint32_t comp; } combos[] = {{4, 1}, {8, 2}, {24, 1}, {24, 3}, {8, 3}};
    for (const auto& k : combos) {
        BmpSpec s = spec;
        s.bpp = k.bpp;
        s.compression = k.comp;
        s.palette = Palette(k.bpp <= 8 ? 1 << k.bpp : 0);
        ExpectRefused(MakeBmpRaw(s, std::string(64, '\0')), "combination " + std::to_string(k.bpp) + "/" + std::to_string(k.comp));
    }
    BmpSpec topDownRle = spec;
    topDownRle.bpp = 8;
    topDownRle.height = -4;
    ExpectRefused(Rle(topDownRle, {0, 1}), "top-down RLE");
    BmpSpec coreBits = spec;
    coreBits.headerSize = 12;
    coreBits.bpp = 16;
    ExpectRefused(MakeBmp(coreBits, px), "16 bits in a core header");
}

TEST(BmpReader, HostileSizesAndOffsetsAreRefusedBeforeAllocating) {
    BmpSpec spec;
    spec.width = 4;
    spec.height = 4;
    std::string good = MakeBmp(spec, [](int, int) { return 0u; });
    auto patched = [&](size_t at, uint32_t v) {
        std::string f = good;
        PutLe32(f, at, v);
        return f;
    };
    ExpectRefused(patched(18, 0), "width 0");
    ExpectRefused(patched(18, static_cast<uint32_t>(-4)), "negative width");
    ExpectRefused(patched(22, 0), "height 0");
    ExpectRefused(patched(22, 0x80000000u), "height INT_MIN");
    ExpectRefused(patched(10, static_cast<uint32_t>(good.size() + 1)), "offset past the end");
    ExpectRefused(patched(10, 20), "offset inside the header");
    ExpectRefused(good.substr(0, good.size() - 4), "last row cut");
    // The last row's padding may be missing (4 pixels of 24 bits: 12 bytes, no padding at
    // all; use 5 pixels: 15 bytes + 1 pad).
    BmpSpec five = spec;
    five.width = 5;
    std::string padded = MakeBmp(five, [](int, int) { return 0x0A0B0Cu; });
    TBitmap b;
    ASSERT_TRUE(Read(padded.substr(0, padded.size() - 1), b));
    EXPECT_EQ(b.Pixel(4, 0), ColourOf(0x0A0B0C));
    ExpectRefused(padded.substr(0, padded.size() - 2), "last row short of pixels");

    // Sizes beyond the pixel cap, and large sizes without the data for them, are refused
    // at once (no gigabytes zeroed first).
    auto start = std::chrono::steady_clock::now();
    std::string wide = patched(18, 100000);
    PutLe32(wide, 22, 3000);
    ExpectRefused(wide, "3 * 10^8 pixels: beyond the cap");
    std::string big = patched(18, 65536);
    PutLe32(big, 22, 65536);
    ExpectRefused(big, "65536 x 65536");
    std::string tall = patched(18, 16000);
    PutLe32(tall, 22, 16000);
    ExpectRefused(tall, "16000 x 16000 from 100 bytes");
    BmpSpec rle;
    rle.bpp = 8;
    rle.width = 16000;
    rle.height = 16000;
    rle.palette = Palette(2);
    std::string rleBig = Rle(rle, {0, 1});
    PutLe32(rleBig, 34, 1u << 30);  // claims a gigabyte of data
    ExpectRefused(rleBig, "RLE size beyond the file");
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);

    // Bit fields that overlap, have holes, or lie outside a 16-bit pixel.
    BmpSpec bf;
    bf.bpp = 16;
    bf.compression = 3;
    bf.width = 2;
    bf.height = 2;
    auto masks = [&](uint32_t r, uint32_t g, uint32_t bl) {
        BmpSpec s = bf;
        s.masks[0] = r;
        s.masks[1] = g;
        s.masks[2] = bl;
        return MakeBmp(s, [](int, int) { return 0u; });
    };
    ExpectRefused(masks(0xF800, 0x0FE0, 0x001F), "overlap");
    ExpectRefused(masks(0xF000, 0x05E0, 0x001F), "hole");
    ExpectRefused(masks(0x1F0000, 0x07E0, 0x001F), "beyond 16 bits");
}

TEST(BmpReader, ReadsFromTheStreamsPosition) {
    BmpSpec spec;
    spec.width = 2;
    spec.height = 2;
    std::string file = MakeBmp(spec, [](int x, int y) { return static_cast<uint32_t>(x * 100 + y); });
    TMemoryStream s = StreamOf("junk!" + file);
    s.SetPosition(5);
    TBitmap b;
    ASSERT_TRUE(ReadBmp(s, b));
    EXPECT_EQ(b.Pixel(1, 1), ColourOf(101));
}

TEST(BmpReader, FilesWrittenByImageMagick) {
    // 13x7 pictures of a few colours, written by ImageMagick from reference.ppm in each
    // layout it offers: core header, 40-byte header, V5 header, RLE8, 16-bit, 32-bit with alpha.
    std::string dir = VELLICOR_SOURCE_DIR "/tests/data/pages/bmp/";
    auto ref = ReadPnm(dir + "reference.ppm");
    ASSERT_TRUE(ref.has_value());
    std::ifstream list(dir + "FILES");
    std::string name, tolerance;
    int files = 0;
    while (list >> name >> tolerance) {
        ++files;
        TFileStream f;
        ASSERT_TRUE(f.Open(dir + name, FileMode::OpenRead)) << name;
        TBitmap b;
        std::string error;
        ASSERT_TRUE(ReadBmp(f, b, &error)) << name << ": " << error;
        int diff = MaxDifference(b, *ref);
        EXPECT_GE(diff, 0) << name;
        EXPECT_LE(diff, std::stoi(tolerance)) << name;
    }
    EXPECT_GE(files, 6);
}

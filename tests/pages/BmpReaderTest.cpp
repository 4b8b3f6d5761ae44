#include "pages/BmpReader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <tuple>

#include "EngineTestSupport.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

bool Read(const std::string& bytes, TBitmap& out, std::string* error = nullptr) {
    TMemoryStream s = StreamOf(bytes);
    return ReadBmp(s, out, error);
}

TColor ColourOf(uint32_t rgb) { return RGBColor(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)); }

std::vector<uint32_t> Palette(int n) {
    std::vector<uint32_t> p;
    for (int i = 0; i < n; ++i) p.push_back(uint32_t((i * 0x3B + 7) << 16 | (255 - i) << 8 | (i * 5) % 256));
    return p;
}

void ExpectRefused(const std::string& bytes, const std::string& what) {
    TBitmap b = SolidPage(2, 2, 0, 0, 0);
    std::string error;
    EXPECT_FALSE(Read(bytes, b, &error)) << what;
    EXPECT_TRUE(b.Empty()) << what;
    EXPECT_FALSE(error.empty()) << what;
}

std::string Rle(BmpSpec spec, const std::vector<uint8_t>& data) {
    spec.compression = spec.bpp == 8 ? 1 : 2;
    return MakeBmpRaw(spec, std::string(data.begin(), data.end()));
}

// Every pixel as the function gives it (0xRRGGBB).
void ExpectPixels(const TBitmap& b, int w, int h, const std::function<uint32_t(int, int)>& rgb, const std::string& what) {
    ASSERT_EQ(b.Width(), w) << what;
    ASSERT_EQ(b.Height(), h) << what;
    ASSERT_EQ(b.PixelFormat(), TPixelFormat::pf24bit) << what;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) ASSERT_EQ(b.Pixel(x, y), ColourOf(rgb(x, y))) << what << " at " << x << "," << y;
}

}  // namespace

TEST(BmpReader, PaletteAndTrueColourLayouts) {
    for (int bpp : {1, 4, 8, 24, 32})
        for (int header : {12, 40, 56, 108, 124})
            for (int width : {1, 2, 3, 5, 8, 9, 17, 33})
                for (bool topDown : {false, true}) {
                    if (header == 12 && (topDown || bpp == 32)) continue;  // the core header has neither
                    BmpSpec spec{header, width, topDown ? -4 : 4, bpp};
                    if (bpp <= 8) spec.palette = Palette(1 << bpp);
                    auto index = [&](int x, int y) { return uint32_t(x * 7 + y * 3 + x * y) % (1u << std::min(bpp, 24)); };
                    auto rgb = [&](int x, int y) { return bpp <= 8 ? spec.palette[index(x, y)] : uint32_t(x * 40) << 16 | uint32_t(y * 50) << 8 | uint32_t(x + y) * 20; };
                    TBitmap b;
                    // 32-bit pixels are blue, green, red and an unused byte.
                    ASSERT_TRUE(Read(MakeBmp(spec, [&](int x, int y) { return bpp <= 8 ? index(x, y) : rgb(x, y) | 0xAB000000u; }), b));
                    ExpectPixels(b, width, 4, rgb, std::to_string(bpp) + " bits, header " + std::to_string(header));
                }
    // The reader starts at the stream's position.
    TMemoryStream s = StreamOf("junk!" + SolidBmp(2, 2, 0x123456));
    s.SetPosition(5);
    TBitmap b;
    ASSERT_TRUE(ReadBmp(s, b));
    EXPECT_EQ(b.Pixel(1, 1), ColourOf(0x123456));
}

TEST(BmpReader, SixteenBitsAndBitFieldsScaleEachChannel) {
    struct Case { int header, bpp; uint32_t compression, r, g, b; };
    const Case cases[] = {
        {40, 16, 0, 0x7C00, 0x03E0, 0x001F},               // plain 16 bits: 5-5-5
        {40, 16, 3, 0xF800, 0x07E0, 0x001F},               // 5-6-5 after the header
        {52, 16, 3, 0x0F00, 0x00F0, 0x000F},               // 4-4-4 in the header
        {108, 16, 3, 0x001F, 0x07E0, 0xF800},              // blue on top
        {40, 32, 3, 0x00FF0000, 0x0000FF00, 0x000000FF},
        {56, 32, 3, 0x000000FF, 0x0000FF00, 0x00FF0000},   // red in the low byte
        {124, 32, 3, 0x3FF00000, 0x000FFC00, 0x000003FF},  // 10 bits a channel
        {40, 32, 3, 0x00FF0000, 0x0000FF00, 0},            // no blue field: blue 0
    };
    auto channel = [](uint32_t v, uint32_t mask) -> uint32_t {
        if (!mask) return 0;
        const int shift = __builtin_ctz(mask);
        const uint64_t max = mask >> shift;
        return uint32_t((((v & mask) >> shift) * 255 + max / 2) / max);
    };
    for (const auto& c : cases) {
        BmpSpec spec{c.header, 7, 6, c.bpp, c.compression, {c.r, c.g, c.b, 0}};
        auto value = [&](int x, int y) { return uint32_t((x * 0x9E3779B1u) ^ (y * 0x85EBCA77u)) & (c.bpp == 16 ? 0xFFFF : ~0u); };
        TBitmap b;
        ASSERT_TRUE(Read(MakeBmp(spec, value), b)) << c.header << " " << std::hex << c.r;
        ExpectPixels(b, 7, 6, [&](int x, int y) {
            return channel(value(x, y), c.r) << 16 | channel(value(x, y), c.g) << 8 | channel(value(x, y), c.b);
        }, "masks " + std::to_string(c.r));
    }
    // 5-bit values spread to the full range: 31 is 255, 16 is 132.
    TBitmap b;
    ASSERT_TRUE(Read(MakeBmp({40, 2, 1, 16}, [](int x, int) { return x ? 0x7FFFu : (16u << 10 | 1u << 5); }), b));
    EXPECT_EQ(b.Pixel(1, 0), RGBColor(255, 255, 255));
    EXPECT_EQ(b.Pixel(0, 0), RGBColor(132, 8, 0));
}

TEST(BmpReader, ShortAndOddPalettes) {
    BmpSpec spec{40, 4, 1, 8};
    spec.palette = {0x112233, 0x445566};
    auto idx = [](int x, int) { return uint32_t(x == 3 ? 200 : x); };
    for (uint32_t used : {2u, 0u}) {  // 0 asks for 256 entries, but the data starts after two
        spec.colorsUsed = used;
        TBitmap b;
        ASSERT_TRUE(Read(MakeBmp(spec, idx), b));
        EXPECT_EQ(b.Pixel(1, 0), ColourOf(0x445566));
        EXPECT_EQ(b.Pixel(2, 0), 0u);  // beyond the palette: black
        EXPECT_EQ(b.Pixel(3, 0), 0u);
    }
    // More entries than the bit depth can index, and a core header's short palette.
    BmpSpec one{40, 2, 1, 1};
    one.palette = {0xFF0000, 0x00FF00, 0x0000FF};
    one.colorsUsed = 3;
    BmpSpec core{12, 3, 2, 4};
    core.palette = {0x010203, 0x040506, 0x070809};
    TBitmap b;
    ASSERT_TRUE(Read(MakeBmp(one, [](int x, int) { return uint32_t(x); }), b));
    EXPECT_EQ(b.Pixel(1, 0), ColourOf(0x00FF00));
    ASSERT_TRUE(Read(MakeBmp(core, [](int x, int) { return uint32_t(x); }), b));
    EXPECT_EQ(b.Pixel(2, 1), ColourOf(0x070809));
    // A palette before 24-bit data is skipped; offBits 0 means "right after the palette".
    BmpSpec rgb{40, 1, 1};
    rgb.palette = {1, 2, 3};
    rgb.colorsUsed = 3;
    std::string file = MakeBmp(rgb, [](int, int) { return 0xABCDEFu; });
    PutLe32(file, 10, 0);
    ASSERT_TRUE(Read(file, b));
    EXPECT_EQ(b.Pixel(0, 0), ColourOf(0xABCDEF));
    PutLe32(file, 46, 0x7FFFFFFF);
    ExpectRefused(file, "a palette count the file cannot hold");
}

TEST(BmpReader, RunLengthEscapes) {
    BmpSpec spec{40, 6, 4, 8};
    spec.palette = Palette(256);
    auto c = [&](unsigned i) { return ColourOf(spec.palette[i]); };
    // Rows from the bottom. 0: run of 3 x 5, absolute 3 (padded), end of line. 1: absolute 4,
    // delta (1, 1). 2 from x 5: run of 9 x 7 (clipped), end of line. 3: run 2 x 9, and the
    // data ends without an end of bitmap.
    TBitmap b;
    ASSERT_TRUE(Read(Rle(spec, {3, 5, 0, 3, 10, 11, 12, 0, 0, 0, 0, 4, 20, 21, 22, 23, 0, 2, 1, 1, 9, 7, 0, 0, 2, 9}), b));
    auto at = [&](int x, int row) { return b.Pixel(x, 3 - row); };
    const std::vector<std::tuple<int, int, unsigned>> expected = {
        {0, 0, 5}, {2, 0, 5}, {3, 0, 10}, {5, 0, 12}, {3, 1, 23}, {4, 1, 0},  // skipped: entry 0
        {4, 2, 0}, {5, 2, 7}, {0, 3, 9},  {1, 3, 9},  {2, 3, 0}};
    for (auto [x, row, i] : expected) EXPECT_EQ(at(x, row), c(i)) << x << "," << row;
    // End of bitmap stops; a delta below the last row stops; a cut absolute run takes what is there.
    ASSERT_TRUE(Read(Rle(spec, {6, 1, 0, 1, 6, 2}), b));
    EXPECT_EQ(at(5, 0), c(1));
    EXPECT_EQ(at(0, 1), c(0));
    ASSERT_TRUE(Read(Rle(spec, {0, 2, 0, 200, 6, 2}), b));
    EXPECT_EQ(at(0, 0), c(0));
    ASSERT_TRUE(Read(Rle(spec, {0, 5, 30, 31}), b));
    EXPECT_EQ(at(1, 0), c(31));
    EXPECT_EQ(at(2, 0), c(0));

    // RLE4: a run alternates its two nibbles; absolute runs pad to 16 bits.
    BmpSpec four{40, 7, 2, 4};
    four.palette = Palette(16);
    ASSERT_TRUE(Read(Rle(four, {5, 0x12, 0, 3, 0x34, 0x50, 0, 0, 0, 5, 0x67, 0x89, 0xA0, 0, 1, 0xF0, 0, 1}), b));
    const unsigned bottom[7] = {1, 2, 1, 2, 1, 3, 4}, top[7] = {6, 7, 8, 9, 10, 15, 0};
    for (int x = 0; x < 7; ++x) {
        EXPECT_EQ(b.Pixel(x, 1), ColourOf(four.palette[bottom[x]])) << x;
        EXPECT_EQ(b.Pixel(x, 0), ColourOf(four.palette[top[x]])) << x;
    }
}

TEST(BmpReader, LayoutsOutsideTheListAreRefused) {
    const std::string good = SolidBmp(4, 4, 0x123456);
    auto patched = [&](size_t at, uint32_t v, int bytes = 4) {
        std::string f = good;
        for (int i = 0; i < bytes; ++i) f[at + i] = char(v >> (8 * i));
        return f;
    };
    ExpectRefused(patched(0, 'B' | 'A' << 8, 2), "signature");
    ExpectRefused(good.substr(0, 10), "file header cut");
    ExpectRefused(good.substr(0, 40), "info header cut");
    for (uint32_t size : {0u, 16u, 64u, 200u, 0xFFFFFFFFu}) ExpectRefused(patched(14, size), "header size " + std::to_string(size));
    for (uint32_t bpp : {0, 2, 3, 7, 48, 64}) ExpectRefused(patched(28, bpp, 2), "bit count " + std::to_string(bpp));
    for (uint32_t comp : {4u, 5u, 6u, 11u, 99u}) ExpectRefused(patched(30, comp), "compression " + std::to_string(comp));
    for (auto [bpp, comp] : {std::pair{4, 1u}, {8, 2u}, {24, 1u}, {24, 3u}, {8, 3u}}) {
        BmpSpec s{40, 4, 4, bpp, comp};
        s.palette = Palette(bpp <= 8 ? 1 << bpp : 0);
        ExpectRefused(MakeBmpRaw(s, std::string(64, '\0')), "bits/compression " + std::to_string(bpp) + "/" + std::to_string(comp));
    }
    ExpectRefused(Rle({40, 4, -4, 8}, {0, 1}), "top-down RLE");
    ExpectRefused(MakeBmp({12, 4, 4, 16}, [](int, int) { return 0u; }), "16 bits in a core header");
    // Bit fields that overlap, have holes, or lie outside a 16-bit pixel.
    for (auto [r, g, b] : {std::tuple{0xF800u, 0x0FE0u, 0x001Fu}, {0xF000u, 0x05E0u, 0x001Fu}, {0x1F0000u, 0x07E0u, 0x001Fu}})
        ExpectRefused(MakeBmp({40, 2, 2, 16, 3, {r, g, b, 0}}, [](int, int) { return 0u; }), "masks " + std::to_string(g));
}

TEST(BmpReader, HostileSizesAndOffsetsAreRefusedBeforeAllocating) {
    const std::string good = SolidBmp(4, 4, 0);
    auto patched = [&](std::initializer_list<std::pair<size_t, uint32_t>> fields) {
        std::string f = good;
        for (auto [at, v] : fields) PutLe32(f, at, v);
        return f;
    };
    ExpectRefused(patched({{18, 0}}), "width 0");
    ExpectRefused(patched({{18, uint32_t(-4)}}), "negative width");
    ExpectRefused(patched({{22, 0}}), "height 0");
    ExpectRefused(patched({{22, 0x80000000u}}), "height INT_MIN");
    ExpectRefused(patched({{10, uint32_t(good.size() + 1)}}), "offset past the end");
    ExpectRefused(patched({{10, 20}}), "offset inside the header");
    ExpectRefused(good.substr(0, good.size() - 4), "last row cut");
    // The last row's padding may be missing, not its pixels (5 pixels: 15 bytes and 1 pad).
    const std::string five = SolidBmp(5, 4, 0x0A0B0C);
    TBitmap b;
    ASSERT_TRUE(Read(five.substr(0, five.size() - 1), b));
    EXPECT_EQ(b.Pixel(4, 0), ColourOf(0x0A0B0C));
    ExpectRefused(five.substr(0, five.size() - 2), "last row short of pixels");
    // Sizes beyond the pixel cap, or without the data for them, are refused at once.
    const auto start = std::chrono::steady_clock::now();
    ExpectRefused(patched({{18, 100000}, {22, 3000}}), "3 * 10^8 pixels: beyond the cap");
    ExpectRefused(patched({{18, 65536}, {22, 65536}}), "65536 x 65536");
    ExpectRefused(patched({{18, 16000}, {22, 16000}}), "16000 x 16000 from 100 bytes");
    BmpSpec rle{40, 16000, 16000, 8};
    rle.palette = Palette(2);
    std::string rleBig = Rle(rle, {0, 1});
    PutLe32(rleBig, 34, 1u << 30);  // claims a gigabyte of data
    ExpectRefused(rleBig, "RLE size beyond the file");
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
}

TEST(BmpReader, FilesWrittenByImageMagick) {
    // 13x7 pictures written by ImageMagick from reference.ppm in each layout it offers.
    const std::string dir = VELLICOR_SOURCE_DIR "/tests/data/pages/bmp/";
    auto ref = ReadPnm(dir + "reference.ppm");
    ASSERT_TRUE(ref.has_value());
    std::ifstream list(dir + "FILES");
    std::string name;
    int tolerance = 0, files = 0;
    while (list >> name >> tolerance) {
        ++files;
        TFileStream f;
        ASSERT_TRUE(f.Open(dir + name, FileMode::OpenRead)) << name;
        TBitmap b;
        std::string error;
        ASSERT_TRUE(ReadBmp(f, b, &error)) << name << ": " << error;
        const int diff = MaxDifference(b, *ref);
        EXPECT_GE(diff, 0) << name;
        EXPECT_LE(diff, tolerance) << name;
    }
    EXPECT_GE(files, 9);
}

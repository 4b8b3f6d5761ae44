#include "pages/BmpReader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "EngineTestSupport.h"
#include "support/FakeUi.h"

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
    EXPECT_TRUE(b.Empty() && !error.empty()) << what;
}

std::string Rle(BmpSpec spec, const std::vector<uint8_t>& data) {
    spec.compression = spec.bpp == 8 ? 1 : 2;
    return MakeBmpRaw(spec, std::string(data.begin(), data.end()));
}

// Reads the file and compares every pixel with rgb(x, y) (0xRRGGBB).
void ExpectPixels(const std::string& file, int w, int h, const std::function<uint32_t(int, int)>& rgb, const std::string& what) {
    TBitmap b;
    ASSERT_TRUE(Read(file, b)) << what;
    ASSERT_TRUE(b.Width() == w && b.Height() == h && b.PixelFormat() == TPixelFormat::pf24bit) << what;
    for (int i = 0; i < w * h; ++i) ASSERT_EQ(b.Pixel(i % w, i / w), ColourOf(rgb(i % w, i / w))) << what << " at " << i;
}

}  // namespace

TEST(BmpReader, PaletteAndTrueColourLayouts) {
    for (int bpp : {1, 4, 8, 24, 32})
        for (int header : {12, 40, 124})  // the core header; the palette after the header, whatever its size
            for (int width : {1, 3, 9, 17})
                for (int height : {4, -4}) {  // negative: top-down, which the core header cannot say
                    if (header == 12 && (height < 0 || bpp == 32)) continue;
                    BmpSpec spec{header, width, height, bpp};
                    if (bpp <= 8) spec.palette = Palette(1 << bpp);
                    auto index = [&](int x, int y) { return uint32_t(x * 7 + y * 3 + x * y) % (1u << std::min(bpp, 8)); };
                    auto rgb = [&](int x, int y) { return bpp <= 8 ? spec.palette[index(x, y)] : uint32_t(x * 40 << 16 | y * 50 << 8 | (x + y) * 20) & 0xFFFFFF; };
                    // 32-bit pixels are blue, green, red and an unused byte.
                    ExpectPixels(MakeBmp(spec, [&](int x, int y) { return bpp <= 8 ? index(x, y) : rgb(x, y) | 0xAB000000u; }), width, 4,
                                 rgb, std::to_string(bpp) + " bits, header " + std::to_string(header));
                }
    TMemoryStream s = StreamOf("junk!" + SolidBmp(2, 2, 0x123456));  // read from the stream's position
    s.SetPosition(5);
    TBitmap b;
    EXPECT_TRUE(ReadBmp(s, b) && b.Pixel(1, 1) == ColourOf(0x123456));
}

TEST(BmpReader, SixteenBitsAndBitFieldsScaleEachChannel) {
    const uint32_t cases[][6] = {  // header, bits, compression, red, green, blue masks
        {40, 16, 0, 0x7C00, 0x03E0, 0x001F},              {40, 16, 3, 0xF800, 0x07E0, 0x001F},
        {52, 16, 3, 0x0F00, 0x00F0, 0x000F},              {124, 32, 3, 0x3FF00000, 0x000FFC00, 0x000003FF},
        {40, 32, 3, 0x00FF0000, 0x0000FF00, 0}};  // no blue: 0
    for (const auto& c : cases) {
        auto value = [&](int x, int y) { return uint32_t((x * 0x9E3779B1u) ^ (y * 0x85EBCA77u)) & (c[1] == 16 ? 0xFFFF : ~0u); };
        auto channel = [](uint32_t v, uint32_t mask) -> uint32_t {
            if (!mask) return 0;
            const uint64_t max = mask >> __builtin_ctz(mask);
            return uint32_t((((v & mask) >> __builtin_ctz(mask)) * 255 + max / 2) / max);
        };
        ExpectPixels(MakeBmp({int(c[0]), 7, 6, int(c[1]), c[2], {c[3], c[4], c[5], 0}}, value), 7, 6, [&](int x, int y) {
            return channel(value(x, y), c[3]) << 16 | channel(value(x, y), c[4]) << 8 | channel(value(x, y), c[5]);
        }, "masks " + std::to_string(c[3]));
    }
}

TEST(BmpReader, ShortAndOddPalettes) {
    BmpSpec spec{40, 4, 1, 8};
    spec.palette = {0x112233, 0x445566};
    for (uint32_t used : {2u, 0u}) {  // 0 asks for 256 entries, but the data starts after two
        spec.colorsUsed = used;
        ExpectPixels(MakeBmp(spec, [](int x, int) { return uint32_t(x == 3 ? 200 : x); }), 4, 1,
                     [](int x, int) { return x == 0 ? 0x112233u : x == 1 ? 0x445566u : 0u; }, "beyond the palette: black");
    }
    BmpSpec one{40, 2, 1, 1}, core{12, 3, 2, 4};  // more entries than 1 bit indexes; a short core palette
    one.palette = {0xFF0000, 0x00FF00, 0x0000FF}, one.colorsUsed = 3;
    core.palette = {0x010203, 0x040506, 0x070809};
    ExpectPixels(MakeBmp(one, [](int x, int) { return uint32_t(x); }), 2, 1, [&](int x, int) { return one.palette[size_t(x)]; }, "1 bit");
    ExpectPixels(MakeBmp(core, [](int x, int) { return uint32_t(x); }), 3, 2, [&](int x, int) { return core.palette[size_t(x)]; }, "core");
    BmpSpec rgb{40, 1, 1};  // a palette before 24-bit data is skipped; offBits 0: right after it
    rgb.palette = {1, 2, 3}, rgb.colorsUsed = 3;
    std::string file = MakeBmp(rgb, [](int, int) { return 0xABCDEFu; });
    PutLe32(file, 10, 0);
    ExpectPixels(file, 1, 1, [](int, int) { return 0xABCDEFu; }, "offBits 0");
    PutLe32(file, 46, 0x7FFFFFFF);
    ExpectRefused(file, "a palette count the file cannot hold");
}

TEST(BmpReader, RunLengthEscapes) {
    BmpSpec spec{40, 6, 4, 8};
    spec.palette = Palette(256);
    // Rows from the bottom. 0: run of 3 x 5, absolute 3 (padded), end of line. 1: absolute 4,
    // delta (1, 1). 2 from x 5: run of 9 x 7 (clipped), end of line. 3: run 2 x 9; no end of bitmap.
    // Skipped pixels are palette entry 0.
    const uint8_t expected[4][6] = {{5, 5, 5, 10, 11, 12}, {20, 21, 22, 23, 0, 0}, {0, 0, 0, 0, 0, 7}, {9, 9, 0, 0, 0, 0}};
    ExpectPixels(Rle(spec, {3, 5, 0, 3, 10, 11, 12, 0, 0, 0, 0, 4, 20, 21, 22, 23, 0, 2, 1, 1, 9, 7, 0, 0, 2, 9}), 6, 4,
                 [&](int x, int y) { return spec.palette[expected[3 - y][x]]; }, "RLE8");
    // End of bitmap stops; so does a delta below the last row; a cut absolute run takes what is there.
    const std::pair<std::vector<uint8_t>, std::vector<uint8_t>> cases[] = {
        {{6, 1, 0, 1, 6, 2}, {1, 1, 1, 1, 1, 1}}, {{0, 2, 0, 200, 6, 2}, {0, 0, 0, 0, 0, 0}}, {{0, 5, 30, 31}, {30, 31, 0, 0, 0, 0}}};
    for (const auto& [data, bottom] : cases)
        ExpectPixels(Rle(spec, data), 6, 4, [&](int x, int y) { return spec.palette[y == 3 ? bottom[size_t(x)] : 0]; }, "stops");
    // RLE4: a run alternates its two nibbles; absolute runs pad to 16 bits.
    BmpSpec four{40, 7, 2, 4};
    four.palette = Palette(16);
    const uint8_t nibbles[2][7] = {{6, 7, 8, 9, 10, 15, 0}, {1, 2, 1, 2, 1, 3, 4}};
    ExpectPixels(Rle(four, {5, 0x12, 0, 3, 0x34, 0x50, 0, 0, 0, 5, 0x67, 0x89, 0xA0, 0, 1, 0xF0, 0, 1}), 7, 2,
                 [&](int x, int y) { return four.palette[nibbles[y][x]]; }, "RLE4");
}

TEST(BmpReader, LayoutsOutsideTheListAndHostileSizesAreRefused) {
    const std::string good = SolidBmp(4, 4, 0x123456), five = SolidBmp(5, 4, 0x0A0B0C);
    auto patched = [&](std::initializer_list<std::pair<size_t, uint32_t>> fields, int bytes = 4) {
        std::string f = good;
        for (auto [at, v] : fields)
            for (int i = 0; i < bytes; ++i) f[at + i] = char(v >> (8 * i));
        return f;
    };
    ExpectRefused(patched({{0, 'B' | 'A' << 8}}, 2), "signature");
    ExpectRefused(good.substr(0, 10), "file header cut");
    ExpectRefused(good.substr(0, 40), "info header cut");
    for (uint32_t v : {0u, 16u, 64u, 200u, 0xFFFFFFFFu}) ExpectRefused(patched({{14, v}}), "header size " + std::to_string(v));
    for (uint32_t v : {0, 2, 3, 7, 48, 64}) ExpectRefused(patched({{28, v}}, 2), "bit count " + std::to_string(v));
    for (uint32_t v : {4u, 5u, 6u, 11u, 99u}) ExpectRefused(patched({{30, v}}), "compression " + std::to_string(v));
    for (auto [bpp, comp] : {std::pair{4, 1u}, {8, 2u}, {24, 1u}, {24, 3u}, {8, 3u}})
        ExpectRefused(MakeBmpRaw({40, 4, 4, bpp, comp, {}, Palette(bpp <= 8 ? 1 << bpp : 0)}, std::string(64, '\0')),
                      "bits/compression " + std::to_string(bpp) + "/" + std::to_string(comp));
    ExpectRefused(Rle({40, 4, -4, 8}, {0, 1}), "top-down RLE");
    ExpectRefused(MakeBmp({12, 4, 4, 16}, [](int, int) { return 0u; }), "16 bits in a core header");
    for (auto [r, g] : {std::pair{0xF800u, 0x0FE0u}, {0xF000u, 0x05E0u}, {0x1F0000u, 0x07E0u}})  // overlap, hole, beyond 16 bits
        ExpectRefused(MakeBmp({40, 2, 2, 16, 3, {r, g, 0x001F, 0}}, [](int, int) { return 0u; }), "masks " + std::to_string(g));
    const auto start = std::chrono::steady_clock::now();
    const std::pair<const char*, std::string> hostile[] = {
        {"width 0", patched({{18, 0}})},          {"negative width", patched({{18, uint32_t(-4)}})},
        {"height 0", patched({{22, 0}})},         {"height INT_MIN", patched({{22, 0x80000000u}})},
        {"offset past the end", patched({{10, uint32_t(good.size() + 1)}})}, {"offset inside the header", patched({{10, 20}})},
        {"last row cut", good.substr(0, good.size() - 4)}, {"last row short of pixels", five.substr(0, five.size() - 2)},
        {"beyond the pixel cap", patched({{18, 100000}, {22, 3000}})}, {"65536 x 65536", patched({{18, 65536}, {22, 65536}})},
        {"16000 x 16000 from 100 bytes", patched({{18, 16000}, {22, 16000}})}};
    for (const auto& [what, bytes] : hostile) ExpectRefused(bytes, what);
    ExpectRefused(Rle({40, 20000, 20000, 8, 0, {}, Palette(2)}, {0, 1}), "run-length data beyond the pixel cap");
    std::string rle = Rle({40, 16000, 16000, 8, 0, {}, Palette(2)}, {0, 1});
    PutLe32(rle, 34, 1u << 30);  // claims a gigabyte of data
    ExpectRefused(rle, "RLE size beyond the file");
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0) << "nothing allocated first";
    // Only the last row's padding may be missing (5 pixels: 15 bytes and 1 pad).
    ExpectPixels(five.substr(0, five.size() - 1), 5, 4, [](int, int) { return 0x0A0B0Cu; }, "padding cut");
}

TEST(BmpReader, FilesWrittenByImageMagick) {
    // 13x7 pictures written by ImageMagick from reference.ppm in each layout it offers.
    const std::string dir = VELLICOR_SOURCE_DIR "/tests/data/pages/bmp/";
    auto ref = ReadPnm(dir + "reference.ppm");
    ASSERT_TRUE(ref.has_value());
    std::ifstream list(dir + "FILES");
    std::string name;
    int tolerance = 0, files = 0;
    for (; list >> name >> tolerance; ++files) {
        TFileStream f;
        TBitmap b;
        std::string error;
        ASSERT_TRUE(f.Open(dir + name, FileMode::OpenRead) && ReadBmp(f, b, &error)) << name << ": " << error;
        EXPECT_GE(MaxDifference(b, *ref), 0) << name;
        EXPECT_LE(MaxDifference(b, *ref), tolerance) << name;
    }
    EXPECT_EQ(files, 9);
}

namespace {

// The process's peak resident memory so far, in bytes (0 where it cannot be read).
int64_t PeakMemory() {
    std::ifstream status("/proc/self/status");
    std::string key;
    int64_t kb = 0;
    while (status >> key)
        if (key == "VmHWM:" && status >> kb) return kb * 1024;
    return 0;
}

}  // namespace

TEST(BmpReader, RunLengthPagesLargeAndSparseAreRefusedLargeAndFullCostOneCopy) {
    std::vector<uint32_t> palette = Palette(4);
    palette[0] = 0x404040;
    FakeUi ui;
    TBitmap b;
    std::string error;
    // A 1 KB file for 16384 x 16384 pixels: a few runs at the bottom, a jump, the end. It
    // cannot honestly fill the page, so it costs nothing.
    const std::string sparse = Rle({40, 16384, 16384, 8, 0, {}, palette}, {200, 1, 100, 2, 0, 2, 5, 3, 10, 3, 0, 1});
    ASSERT_LT(sparse.size(), 1024u);
    EXPECT_FALSE(Read(sparse, b, &error));
    EXPECT_EQ(error, "run-length data covers too little of a large page");
    EXPECT_TRUE(b.Empty());

    // Just over the sparse limit, every row written by runs: shown, with its one copy. Rows
    // alternate two entries; the last row's end is left to entry 0 by an end of line.
    const int w = 6000, h = 5600;
    ASSERT_GT(int64_t(w) * h, int64_t(1) << 25);
    std::vector<uint8_t> data;
    for (int y = 0; y < h; ++y) {
        int left = y == 0 ? w - 10 : w;
        for (; left > 0; left -= 250) data.insert(data.end(), {uint8_t(std::min(left, 250)), uint8_t(1 + y % 2)});
        data.insert(data.end(), {0, 0});
    }
    data.insert(data.end(), {0, 1});
    const std::string file = Rle({40, w, h, 8, 0, {}, palette}, data);
    ASSERT_TRUE(Read(file, b, &error)) << error;
    ASSERT_EQ(b.Width(), w);
    ASSERT_EQ(b.Height(), h);
    EXPECT_EQ(b.Pixel(0, h - 1), ColourOf(palette[1])) << "the first row of the data is the bottom one";
    EXPECT_EQ(b.Pixel(w - 11, h - 1), ColourOf(palette[1]));
    EXPECT_EQ(b.Pixel(w - 10, h - 1), ColourOf(palette[0])) << "left by the end of line: entry 0";
    EXPECT_EQ(b.Pixel(w - 1, h - 2), ColourOf(palette[2]));
    EXPECT_EQ(b.Pixel(w / 2, 0), ColourOf(palette[1 + (h - 1) % 2]));
    EXPECT_GT(ui.processMessagesCalls, 10) << "the window answers while the page is made";
    const int64_t pixels = int64_t(w) * h, peak = PeakMemory();
    std::printf("RLE8 page of %lld pixels from %zu bytes: peak memory %.0f MB\n", static_cast<long long>(pixels),
                file.size(), double(peak) / 1e6);
    if (peak > 0) {
        EXPECT_LT(peak, 4 * pixels + (int64_t(150) << 20)) << "one copy of the page, not two or three";
    }
    b.Clear();

    // The program's end stops the decode at its next pass.
    ui.onProcessMessages = [] { RequestStop(); };
    EXPECT_FALSE(Read(file, b, &error));
    EXPECT_TRUE(b.Empty());
    EXPECT_EQ(error, "decoding stopped");
    RequestStop(false);
    ui.onProcessMessages = nullptr;
}

// Only pixels inside the page count towards the sixteenth a large run-length page must
// write: runs past the top row write nothing. 8192 x 4200 needs 263 full rows.
TEST(BmpReader, RunLengthRunsAboveTheTopRowDoNotCount) {
    const int w = 8192, h = 4200;
    const int64_t pixels = int64_t(w) * h;
    ASSERT_GT(pixels, int64_t(1) << 25);
    ASSERT_LT(262 * int64_t(w), pixels / 16);
    ASSERT_GE(263 * int64_t(w), pixels / 16);
    std::vector<uint32_t> palette = Palette(4);
    // Full rows of entry 1, each ended by an end of line; jumps of 255 rows up.
    auto rows = [&](std::vector<uint8_t>& data, int n) {
        for (int y = 0; y < n; ++y) {
            for (int left = w; left > 0; left -= 255) data.insert(data.end(), {uint8_t(std::min(left, 255)), 1});
            data.insert(data.end(), {0, 0});
        }
    };
    auto up = [](std::vector<uint8_t>& data, int jumps) {
        for (int i = 0; i < jumps; ++i) data.insert(data.end(), {0, 2, 0, 255});
    };
    struct Case {
        const char* what;
        int inside;
        bool loads;
    } cases[] = {{"nothing inside", 0, false}, {"one row short inside", 262, false}, {"enough inside", 263, true}};
    for (const Case& c : cases) {
        std::vector<uint8_t> data;
        rows(data, c.inside);
        up(data, 17);  // past the top from any start
        rows(data, 300);
        data.insert(data.end(), {0, 1});
        const std::string file = Rle({40, w, h, 8, 0, {}, palette}, data);
        TBitmap b;
        std::string error;
        EXPECT_EQ(Read(file, b, &error), c.loads) << c.what << ": " << file.size() << " bytes";
        if (!c.loads) {
            EXPECT_EQ(error, "run-length data covers too little of a large page") << c.what;
            EXPECT_TRUE(b.Empty());
            continue;
        }
        ASSERT_EQ(b.Height(), h);
        EXPECT_EQ(b.Pixel(w - 1, h - c.inside), ColourOf(palette[1]));
        EXPECT_EQ(b.Pixel(0, h - c.inside - 1), ColourOf(palette[0]));
        EXPECT_EQ(b.Pixel(w / 2, 0), ColourOf(palette[0])) << "the runs above the top are dropped";
    }
}

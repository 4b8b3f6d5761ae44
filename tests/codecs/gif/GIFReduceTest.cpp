// Colour reduction: lookups, dithers and the octree; reduced bitmaps written as GIFs must read
// back the same in giflib and Pillow.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "GifOracle.h"
#include "GifTestUtil.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

// The 8-bit bitmap as the only frame of a GIF with its palette as the local table.
std::string WriteAsGif(const TBitmap& bmp) {
    TGIFImage image;
    image.Header().SetWidth(uint16_t(bmp.Width()));
    image.Header().SetHeight(uint16_t(bmp.Height()));
    auto frame = std::make_unique<TGIFSubImage>(&image);
    frame->DoSetBounds(0, 0, bmp.Width(), bmp.Height());
    frame->NewImage();
    int used = 0;
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) {
            frame->Data()[y * bmp.Width() + x] = bmp.ScanLine(y)[x];
            used = std::max(used, int(bmp.ScanLine(y)[x]) + 1);
        }
    for (int i = 0; i < used; ++i) {
        const TRGBQuad& q = bmp.Palette()[size_t(i)];
        frame->ColorMap().Add({q.red, q.green, q.blue});
    }
    image.Add(std::move(frame));
    TMemoryStream s;
    image.SaveToStream(s);
    return std::string(reinterpret_cast<const char*>(s.Memory()), size_t(s.Size()));
}

// Error diffusion written out from the kernel tables, one channel: greys go to black or
// white as the monochrome lookup chooses (77 + 150 + 29 = 256 times the grey below 32513).
// Each kernel is its divisor and, for the current row and the rows below it, the weights by
// column offset in the scan direction.
std::vector<std::vector<int>> DitherModel(TDitherMode mode, const std::vector<std::vector<int>>& grey) {
    using Row = std::vector<std::pair<int, int>>;
    struct Kernel {
        int divisor;
        std::vector<Row> rows;
    };
    static const std::map<TDitherMode, Kernel> kKernels = {
        {dmFloydSteinberg, {16, {{{+1, 7}}, {{-1, 3}, {0, 5}, {+1, 1}}}}},
        {dmStucki,
         {42, {{{+1, 8}, {+2, 4}}, {{-2, 2}, {-1, 4}, {0, 8}, {+1, 4}, {+2, 2}}, {{-2, 1}, {-1, 2}, {0, 4}, {+1, 2}, {+2, 1}}}}},
        {dmSierra, {32, {{{+1, 5}, {+2, 3}}, {{-2, 2}, {-1, 4}, {0, 5}, {+1, 4}, {+2, 2}}, {{-1, 2}, {0, 3}, {+1, 2}}}}},
        {dmJaJuNI,
         {48, {{{+1, 7}, {+2, 5}}, {{-2, 3}, {-1, 5}, {0, 7}, {+1, 5}, {+2, 3}}, {{-2, 1}, {-1, 3}, {0, 5}, {+1, 3}, {+2, 1}}}}},
        {dmSteveArche,
         {200,
          {{{+2, 32}}, {{-3, 12}, {-1, 26}, {+1, 30}, {+3, 16}}, {{-2, 12}, {0, 26}, {+2, 12}}, {{-3, 5}, {-1, 12}, {+1, 12}, {+3, 5}}}}},
        {dmBurkes, {32, {{{+1, 8}, {+2, 4}}, {{-2, 2}, {-1, 4}, {0, 8}, {+1, 4}, {+2, 2}}}}},
    };
    const Kernel& kernel = kKernels.at(mode);
    const int divisor = kernel.divisor;
    const int h = int(grey.size()), w = int(grey[0].size()), pad = 3;
    std::vector<std::vector<int>> errors(4, std::vector<int>(size_t(w + 2 * pad), 0));
    std::vector<std::vector<int>> out(static_cast<size_t>(h), std::vector<int>());
    int direction = 1;
    for (int y = 0; y < h; ++y) {
        out[size_t(y)].assign(size_t(w), 0);
        for (int i = 0; i < w; ++i) {
            const int x = direction > 0 ? i : w - 1 - i;
            const int adjusted = std::clamp(grey[size_t(y)][size_t(x)] + (errors[0][size_t(x + pad)] + divisor / 2) / divisor, 0, 255);
            const int index = adjusted * 256 < 32513 ? 0 : 1;
            out[size_t(y)][size_t(x)] = index;
            const int e = adjusted - (index ? 255 : 0);
            for (size_t row = 0; row < kernel.rows.size(); ++row)
                for (const auto& [offset, weight] : kernel.rows[row])
                    errors[row][size_t(x + pad + direction * offset)] += weight * e;
        }
        errors.erase(errors.begin());
        errors.emplace_back(size_t(w + 2 * pad), 0);
        direction = -direction;
    }
    return out;
}

}  // namespace

TEST(GIFReduce, LookupsByArithmetic) {
    TNetscapeColorLookup web(nullptr);
    TMonochromeLookup mono(nullptr);
    TGrayScaleLookup grey(nullptr);
    struct Case {
        TColorLookup* lookup;
        uint8_t in[3];
        int index;
        uint8_t out[3];
    };
    const Case cases[] = {
        {&web, {255, 255, 255}, 215, {255, 255, 255}}, {&web, {47, 48, 0}, 6, {0, 51, 0}},
        {&mono, {127, 127, 127}, 0, {0, 0, 0}},       {&mono, {128, 128, 128}, 1, {255, 255, 255}},
        {&grey, {255, 255, 255}, 255, {255, 255, 255}}, {&grey, {100, 0, 0}, 30, {30, 30, 30}},
    };
    for (const Case& c : cases) {
        uint8_t r, g, b;
        EXPECT_EQ(c.lookup->Lookup(c.in[0], c.in[1], c.in[2], r, g, b), c.index);
        EXPECT_EQ(r, c.out[0]);
        EXPECT_EQ(g, c.out[1]);
        EXPECT_EQ(b, c.out[2]);
    }
}

TEST(GIFReduce, FastLookupFindsNearestAndFirstWins) {
    TFastColorLookup fast(CreatePalette({{0, 0, 0, 0}, {250, 0, 0, 0}, {250, 0, 0, 0}, {0, 0, 200, 0}}));
    uint8_t r, g, b;
    EXPECT_EQ(fast.Lookup(240, 10, 10, r, g, b), 1);
    EXPECT_EQ(r, 250);
    EXPECT_EQ(fast.Lookup(0, 0, 190, r, g, b), 3);
    EXPECT_EQ(fast.Lookup(1, 1, 1, r, g, b), 0);
    TFastColorLookup none(nullptr);
    EXPECT_EQ(none.Lookup(9, 9, 9, r, g, b), 0);
}

TEST(GIFReduce, FloydSteinbergAlternatesAndScansBack) {
    TMonochromeLookup mono(nullptr);
    TFloydSteinbergDitherer fs(8, mono);
    uint8_t r, g, b;
    std::vector<int> row;
    for (int x = 0; x < 8; ++x) row.push_back(fs.Dither(128, 128, 128, r, g, b));
    for (int x = 1; x < 8; ++x) EXPECT_NE(row[size_t(x)], row[size_t(x - 1)]) << x;
    fs.NextLine();
    EXPECT_EQ(fs.Direction(), -1);
    EXPECT_EQ(fs.Column(), 7);
}

// Uneven greys, dithered by each kernel, against the model above. The picture is large and
// varied enough that any one weight one higher or lower changes some pixel (checked for every
// weight of every kernel when the picture was chosen).
TEST(GIFReduce, DithersFollowTheirWeights) {
    const int w = 40, h = 16;
    std::vector<std::vector<int>> grey(h, std::vector<int>(w));
    TBitmap page;
    page.SetSize(w, h, TPixelFormat::pf24bit);
    uint32_t seed = 1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245 + 12345;
            const int v = int(40 + (seed >> 16) % 180);
            grey[size_t(y)][size_t(x)] = v;
            uint8_t* p = page.ScanLine(y) + 3 * x;
            p[0] = p[1] = p[2] = uint8_t(v);
        }
    for (TDitherMode mode : {dmFloydSteinberg, dmStucki, dmSierra, dmJaJuNI, dmSteveArche, dmBurkes}) {
        const auto want = DitherModel(mode, grey);
        auto out = ReduceColors(page, rmMonochrome, mode, 8, nullptr);
        ASSERT_EQ(out->PixelFormat(), TPixelFormat::pf8bit);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) ASSERT_EQ(out->ScanLine(y)[x], want[size_t(y)][size_t(x)]) << mode << " at " << x << "," << y;
    }
}

// Each error-diffusion dither keeps the average level of a flat grey on black and white.
TEST(GIFReduce, DithersKeepTheAverage) {
    for (TDitherMode mode : {dmFloydSteinberg, dmStucki, dmSierra, dmJaJuNI, dmSteveArche, dmBurkes}) {
        TBitmap flat;
        flat.SetSize(64, 64, TPixelFormat::pf24bit);
        flat.Fill(RGBColor(64, 64, 64));
        auto out = ReduceColors(flat, rmMonochrome, mode, 8, nullptr);
        int white = 0;
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x) white += out->ScanLine(y)[x];
        EXPECT_NEAR(white / 4096.0, 64 / 255.0, 0.03) << mode;
    }
}

TEST(GIFReduce, QuantizerKeepsAtMostMaxColors) {
    TColorQuantizer two(2, 8);
    two.AddColor(255, 0, 0);
    two.AddColor(250, 0, 0);
    two.AddColor(0, 0, 255);
    EXPECT_EQ(two.LeafCount(), 2);
    // One colour allowed: everything merges into the root, which must not be reduced again.
    TColorQuantizer one(1, 8);
    for (int i = 0; i < 50; ++i) one.AddColor(uint8_t(i * 5), uint8_t(255 - i), uint8_t(i));
    EXPECT_EQ(one.LeafCount(), 1);
    std::vector<TRGBQuad> table;
    EXPECT_EQ(one.GetColorTable(table), 1);
    EXPECT_EQ(table[0].red, (0 + 245) / 2);
    // Exact colours survive when there are few enough.
    TColorQuantizer many(256, 8);
    many.AddColor(10, 20, 30);
    many.AddColor(10, 20, 30);
    many.AddColor(200, 100, 0);
    many.GetColorTable(table);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].red, 10);
    EXPECT_EQ(table[0].blue, 30);
    EXPECT_THROW(CreateOptimizedPaletteFromManyBitmaps(nullptr, 16, 8, false), GIFException);
    TBitmap g = Gradient(20, 20, 99);
    std::vector<const TBitmap*> list{&g, &g};
    const int n = PaletteEntryCount(CreateOptimizedPaletteFromManyBitmaps(&list, 16, 8, false));
    EXPECT_LE(n, 16);
    EXPECT_GE(n, 8);
    EXPECT_EQ(PaletteEntryCount(CreateOptimizedPaletteFromManyBitmaps(&list, 16, 8, true)), 256);
}

// Every palette rule with every dither, written by our encoder and read by giflib and Pillow.
TEST(GIFReduce, EveryRuleAndDitherReadsBackInPeers) {
    const TBitmap source = Gradient(67, 41, 99);
    const std::string python = std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    const bool pillow = std::system((python + " -c 'import PIL' >/dev/null 2>&1").c_str()) == 0;
    TempDir dir;
    std::string script = "from PIL import Image\nimport sys\nbad = 0\n";
    int files = 0;
    const HPALETTE given = CreatePalette({{0, 0, 0, 0}, {255, 0, 0, 0}, {0, 255, 0, 0}, {255, 255, 255, 0}});
    for (TColorReduction rule : {rmWindows20, rmWindows256, rmWindowsGray, rmMonochrome, rmGrayScale, rmNetscape,
                                 rmQuantize, rmQuantizeWindows, rmPalette})
        for (TDitherMode mode : {dmNearest, dmFloydSteinberg, dmStucki, dmSierra, dmJaJuNI, dmSteveArche, dmBurkes}) {
            auto out = ReduceColors(source, rule, mode, 5, given);
            ASSERT_EQ(out->PixelFormat(), TPixelFormat::pf8bit);
            const std::string bytes = WriteAsGif(*out);
            if (HaveGiflib()) {
                const OracleGif g = GiflibRead(bytes);
                ASSERT_TRUE(g.ok) << rule << " " << mode;
                ASSERT_EQ(g.frames.size(), 1u);
                for (int y = 0; y < out->Height(); ++y)
                    for (int x = 0; x < out->Width(); ++x)
                        ASSERT_EQ(g.frames[0].pixels[size_t(y * out->Width() + x)], out->ScanLine(y)[x]);
            }
            // Pillow compares colours: the expected RGB bytes go beside the GIF.
            std::string rgb;
            for (int y = 0; y < out->Height(); ++y)
                for (int x = 0; x < out->Width(); ++x) {
                    const TRGBQuad& q = out->Palette()[out->ScanLine(y)[x]];
                    rgb += char(q.red), rgb += char(q.green), rgb += char(q.blue);
                }
            const std::string name = "f" + std::to_string(files++);
            dir.Write(name + ".gif", bytes);
            dir.Write(name + ".rgb", rgb);
            script += "if Image.open('" + dir.File(name + ".gif") + "').convert('RGB').tobytes() != open('" +
                      dir.File(name + ".rgb") + "', 'rb').read(): bad += 1; print('" + name + "')\n";
        }
    if (!pillow) GTEST_SKIP() << "Pillow is not installed";
    script += "sys.exit(1 if bad else 0)\n";
    dir.Write("check.py", script);
    EXPECT_EQ(std::system((python + " " + dir.File("check.py")).c_str()), 0);
}

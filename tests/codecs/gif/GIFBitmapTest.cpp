// The first frame as a bitmap: direct and dithered, masks, frames smaller than the screen,
// and GIF pages through the page bitmap.
#include <gtest/gtest.h>

#include "GifTestUtil.h"
#include "pages/PageBMP.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

const std::vector<uint32_t> kColors{0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x808080, 0x123456, 0xFEDCBA};

GifFrame Frame(int left, int top, int width, int height, uint8_t base, const std::string& extensions = "") {
    GifFrame f;
    f.left = left, f.top = top, f.width = width, f.height = height;
    f.extensions = extensions;
    for (int i = 0; i < width * height; ++i) f.pixels.push_back(uint8_t((base + i) % 8));
    return f;
}

TColor Colour(uint32_t rgb) { return RGBColor(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)); }

// Dithering follows the screen's depth, read when the first image is made; the tests
// choose it afterwards.
struct AutoDither {
    explicit AutoDither(bool on) : saved((InitializeGIFUnit(), DoAutoDither)) { DoAutoDither = on; }
    ~AutoDither() { DoAutoDither = saved; }
    bool saved;
};

}  // namespace

TEST(GIFBitmap, FirstFrameAtTheScreenSize) {
    AutoDither direct(false);
    struct Case {
        const char* name;
        GifSpec spec;
        TPixelFormat format;
    } cases[] = {
        {"covers the screen", {3, 2, kColors, {Frame(0, 0, 3, 2, 1, Gce(true, 2))}}, TPixelFormat::pf8bit},
        {"smaller, offset", {5, 4, kColors, {Frame(1, 2, 3, 2, 1)}}, TPixelFormat::pf24bit},
        {"animated", {3, 2, kColors, {Frame(0, 0, 3, 2, 1), Frame(0, 0, 3, 2, 5), Frame(1, 1, 1, 1, 0)}},
         TPixelFormat::pf8bit},
        {"past the screen", {3, 3, kColors, {Frame(2, 1, 3, 2, 1)}}, TPixelFormat::pf24bit},
    };
    for (Case& c : cases) {
        LoadedGif g;
        LoadGif(g, MakeGif(c.spec));
        ASSERT_TRUE(g.error.empty()) << c.name << ": " << g.error;
        TBitmap out;
        g.image.AssignTo(out);
        ASSERT_EQ(out.Width() * 10 + out.Height(), c.spec.width * 10 + c.spec.height) << c.name;
        EXPECT_EQ(out.PixelFormat(), c.format) << c.name;
        const GifFrame& f = c.spec.frames[0];
        for (int y = 0; y < out.Height(); ++y)
            for (int x = 0; x < out.Width(); ++x) {
                const int fx = x - f.left, fy = y - f.top;
                const bool inside = fx >= 0 && fy >= 0 && fx < f.width && fy < f.height;
                // Transparent pixels show their table colour; the rest of the screen stays black.
                const TColor want = inside ? Colour(kColors[f.pixels[size_t(fy * f.width + fx)]]) : 0;
                ASSERT_EQ(out.Pixel(x, y), want) << c.name << " at " << x << "," << y;
            }
    }
}

TEST(GIFBitmap, MaskMarksTransparentPixels) {
    AutoDither direct(false);
    for (auto [width, transparentIndex, masked] : std::vector<std::tuple<int, int, bool>>{{17, 3, true}, {16, 3, true}, {17, 9, false}}) {
        GifSpec spec{width, 2, kColors, {Frame(0, 0, width, 2, 0, Gce(true, transparentIndex))}};
        LoadedGif g;
        LoadGif(g, MakeGif(spec));
        TGIFSubImage* f = g.image.Images().GetImage(0);
        EXPECT_EQ(f->HasMask(), masked) << width << " " << transparentIndex;
        if (!masked) continue;
        const TBitmap* mask = f->Mask();
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < width; ++x)
                EXPECT_EQ(mask->Pixel(x, y) != 0, f->GetPixel(x, y) == transparentIndex) << x << "," << y;
        // Drawn with transparency the canvas shows through; without, the table colour shows.
        TBitmap canvas;
        ASSERT_TRUE(canvas.SetSize(width, 2, TPixelFormat::pf24bit));
        canvas.Fill(RGBColor(1, 2, 3));
        f->Draw(canvas, {0, 0, width, 2}, true, false);
        EXPECT_EQ(canvas.Pixel(3, 0), RGBColor(1, 2, 3));
        EXPECT_EQ(canvas.Pixel(4, 0), Colour(kColors[4]));
        f->Draw(canvas, {0, 0, width, 2}, false, false);
        EXPECT_EQ(canvas.Pixel(3, 0), Colour(kColors[3]));
    }
}

TEST(GIFBitmap, DitheredToTheWebPaletteOnPaletteScreens) {
    AutoDither dither(true);
    GifSpec spec{8, 4, kColors, {Frame(0, 0, 8, 4, 0, Gce(true, 6))}};
    LoadedGif g;
    LoadGif(g, MakeGif(spec));
    ASSERT_TRUE(g.image.GetDoDither());
    TBitmap out;
    g.image.AssignTo(out);
    ASSERT_EQ(out.PixelFormat(), TPixelFormat::pf8bit);
    HPALETTE web = WebPalette();
    ASSERT_GE(out.Palette().size(), 216u);
    for (int i = 0; i < 216; ++i) ASSERT_EQ(out.Palette()[size_t(i)].red, (*web)[size_t(i)].peRed);
    TGIFSubImage* f = g.image.Images().GetImage(0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) {
            const int index = out.ScanLine(y)[x];
            ASSERT_LT(index, 216);
            const uint32_t want = kColors[f->GetPixel(x, y)];
            const TColor got = out.Pixel(x, y);
            if (f->GetPixel(x, y) == 6) {
                // The transparent colour 0x123456 by plain lookup: levels 0, 1, 1.
                EXPECT_EQ(index, 0 * 36 + 1 * 6 + 1);
            } else if ((want & 0xFF) % 51 == 0 && ((want >> 8) & 0xFF) % 51 == 0 && (want >> 16) % 51 == 0) {
                EXPECT_EQ(got, Colour(want)) << x << "," << y;  // web colours stay exact
            }
        }
    // Without goDither the frame is drawn directly.
    g.image.SetDrawOptions(TGIFDrawOptions(g.image.GetDrawOptions() & ~DrawOption(goDither)));
    g.image.AssignTo(out);
    EXPECT_EQ(out.Pixel(1, 0), Colour(kColors[1]));
    EXPECT_EQ(out.Pixel(7, 0), Colour(kColors[7]));
}

TEST(GIFBitmap, PalettesComeFromTheRightTable) {
    AutoDither direct(false);
    GifSpec spec{2, 1, kColors, {Frame(0, 0, 2, 1, 0)}};
    spec.frames[0].localColors = {0x0A0B0C, 0x0D0E0F};
    LoadedGif g;
    LoadGif(g, MakeGif(spec));
    TGIFSubImage* f = g.image.Images().GetImage(0);
    EXPECT_EQ(&f->GetActiveColorMap(), &f->ColorMap());
    EXPECT_EQ(PaletteEntryCount(f->GetPalette()), 2);
    EXPECT_EQ(PaletteEntryCount(g.image.GetPalette()), 8);
    TBitmap out;
    g.image.AssignTo(out);
    EXPECT_EQ(out.Pixel(1, 0), RGBColor(0x0D, 0x0E, 0x0F));
    g.image.Pack();  // the cached bitmaps and palettes go; a single frame's table becomes global only without one
    EXPECT_FALSE(f->GetHasBitmap());
    EXPECT_EQ(f->ColorMap().Count(), 2);
}

TEST(GIFPage, PagesShowTheFirstFrameOrTheErrorPage) {
    TempDir dir;
    GifSpec spec{4, 3, kColors, {Frame(0, 0, 4, 3, 2), Frame(0, 0, 4, 3, 6)}};
    const std::string good = dir.Write("good.gif", MakeGif(spec));
    std::string broken = MakeGif(spec);
    broken[0] = 'X';
    const std::string bad = dir.Write("bad.gif", broken);
    TPageBMP page(good);
    page.LoadFromFile(good);
    ASSERT_FALSE(page.LoadError);
    EXPECT_EQ(page.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(page.DecodedWidth * 10 + page.DecodedHeight, 43);
    EXPECT_EQ(page.Pixel(3, 2), Colour(kColors[(2 + 11) % 8]));
    TPageBMP wrong(bad);
    wrong.LoadFromFile(bad);
    EXPECT_TRUE(wrong.LoadError);
    EXPECT_EQ(wrong.Width() * 1000 + wrong.Height(), 400600);
}

// Frames made from frames, bitmaps, icons and pictures; images copied, written inside other
// streams and exchanged through the clipboard.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

using namespace std::string_literals;

#include "GifOracle.h"
#include "GifTestUtil.h"
#include "platform/Icon.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

std::string Bytes(TMemoryStream& s) { return std::string(reinterpret_cast<const char*>(s.Memory()), size_t(s.Size())); }

std::string Save(TGIFImage& image) {
    TMemoryStream s;
    image.SaveToStream(s);
    return Bytes(s);
}

// The colour a frame shows at (x, y) (transparent as 0xFF000000).
TColor Shown(TGIFSubImage& f, int x, int y) {
    const uint8_t p = f.Data()[int64_t(y) * f.Width() + x];
    if (f.Transparent() && p == f.GraphicControlExtension()->GetTransparentColorIndex()) return 0xFF000000;
    return GIFColorToColor(f.GetActiveColorMap().Entry(p));
}

class RecordingClipboard : public TMemoryClipboard {
public:
    bool SetData(TClipboardFormat format, TClipboardHandle data) override {
        if (refuse) return false;
        return TMemoryClipboard::SetData(format, std::move(data));
    }
    bool refuse = false;
};

struct ClipboardScope {
    RecordingClipboard clipboard;
    ClipboardScope() { SetClipboard(&clipboard); }
    ~ClipboardScope() { SetClipboard(nullptr); }
};

}  // namespace

TEST(GIFAssign, PaletteBitmapsAreReadAsTheyAre) {
    TGIFImage image;
    // 8 bits, 16-entry palette.
    TBitmap b8;
    b8.SetSize(5, 3, TPixelFormat::pf8bit);
    b8.Palette().resize(16);
    for (int i = 0; i < 16; ++i) b8.Palette()[size_t(i)] = {uint8_t(i), uint8_t(2 * i), uint8_t(3 * i), 0};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) b8.ScanLine(y)[x] = uint8_t((x + 5 * y) % 16);
    TGIFSubImage f8(&image);
    f8.Assign(&b8);
    EXPECT_EQ(f8.ColorMap().Count(), 16);
    EXPECT_EQ(f8.ColorMap().Entry(7), (TGIFColor{21, 14, 7}));
    for (int i = 0; i < 15; ++i) EXPECT_EQ(f8.Data()[i], i % 16);

    // 1 bit, 10 wide: two bytes a row, the six low bits of the second ignored.
    TBitmap b1;
    b1.SetSize(10, 2, TPixelFormat::pf1bit);
    b1.Palette() = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    b1.ScanLine(0)[0] = 0xA5, b1.ScanLine(0)[1] = 0x7F;
    b1.ScanLine(1)[0] = 0x0F, b1.ScanLine(1)[1] = 0x80;
    TGIFSubImage f1(&image);
    f1.Assign(&b1);
    EXPECT_EQ(f1.ColorMap().Count(), 2);
    EXPECT_EQ(Pixels(f1), (std::vector<uint8_t>{1, 0, 1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 1, 1, 1, 1, 1, 0}));

    // 4 bits: high nibble first.
    TBitmap b4;
    b4.SetSize(3, 1, TPixelFormat::pf4bit);
    b4.ScanLine(0)[0] = 0x3C, b4.ScanLine(0)[1] = 0x9F;
    TGIFSubImage f4(&image);
    f4.Assign(&b4);
    EXPECT_EQ(Pixels(f4), (std::vector<uint8_t>{3, 12, 9}));
    EXPECT_EQ(f4.ColorMap().Count(), 16);
    // The frame made the image wide enough.
    EXPECT_GE(image.GetWidth(), 10);
}

TEST(GIFAssign, TrueColourBitmapsCollectTheirColoursOrOverflow) {
    TGIFImage image;
    image.ColorReduction = rmNone;
    TBitmap b;
    b.SetSize(40, 3, TPixelFormat::pf24bit);
    for (int x = 0; x < 40; ++x) {
        uint8_t* p = b.ScanLine(x % 3) + 3 * x;
        p[0] = uint8_t(x * 3), p[1] = uint8_t(x % 9), p[2] = 200;  // blue, green, red
    }
    TGIFSubImage f(&image);
    f.Assign(&b);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 40; ++x) EXPECT_EQ(Shown(f, x, y), b.Pixel(x, y));
    EXPECT_LE(f.ColorMap().Count(), 41);
    // More than 256 colours without reduction.
    const TBitmap many = Gradient(64, 64, 7);
    TGIFSubImage g(&image);
    try {
        g.Assign(&many);
        FAIL();
    } catch (const GIFException& e) {
        EXPECT_STREQ(e.what(), sTooManyColors);
    }
    // The same with the web palette: reduced first.
    image.ColorReduction = rmNetscape;
    g.Assign(&many);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            const TColor c = Shown(g, x, y);
            EXPECT_TRUE(GetRValue(c) % 51 == 0 && GetGValue(c) % 51 == 0 && GetBValue(c) % 51 == 0);
        }
}

TEST(GIFAssign, FrameFromFrameGetsItsOwnExtensions) {
    LoadedGif src;
    GifSpec spec;
    spec.width = 3, spec.height = 2;
    spec.globalColors = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
    GifFrame fr;
    fr.left = 0, fr.width = 3, fr.height = 2;
    fr.pixels = {0, 1, 2, 3, 2, 1};
    fr.localColors = {0x102030, 0x405060, 0x708090, 0xA0B0C0};
    fr.extensions = "!\xFE\x05hello\0"s + Gce(true, 2, 7, 1);
    spec.frames = {fr};
    LoadGif(src, MakeGif(spec));
    ASSERT_EQ(src.error, "");
    TGIFSubImage* a = src.image.Images().GetImage(0);
    a->GetBitmap();
    TGIFImage other;
    TGIFSubImage b(&other);
    b.Assign(a);
    EXPECT_EQ(Pixels(b), Pixels(*a));
    EXPECT_EQ(b.ColorMap().Count(), 4);
    ASSERT_EQ(b.Extensions().GetCount(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_NE(b.Extensions().GetExtension(i), a->Extensions().GetExtension(i));
        EXPECT_EQ(b.Extensions().GetExtension(i)->SubImage(), &b);
    }
    ASSERT_NE(b.GraphicControlExtension(), nullptr);
    EXPECT_NE(b.GraphicControlExtension(), a->GraphicControlExtension());
    EXPECT_TRUE(b.Transparent());
    EXPECT_EQ(b.GraphicControlExtension()->GetDelay(), 7);
    EXPECT_EQ(static_cast<TGIFCommentExtension*>(b.Extensions().GetExtension(0))->Text[0], "hello");
    EXPECT_TRUE(b.GetHasBitmap());
    // Freeing the source leaves the copy whole.
    src.image.Clear();
    EXPECT_EQ(b.GraphicControlExtension()->GetTransparentColorIndex(), 2);
    b.Assign(static_cast<const TGIFSubImage*>(nullptr));
    EXPECT_TRUE(b.GetEmpty());
}

TEST(GIFAssign, IconsAndPicturesKeepTheirTransparency) {
    TBitmap color, mask;
    color.SetSize(4, 2, TPixelFormat::pf24bit);
    mask.SetSize(4, 2, TPixelFormat::pf24bit);
    for (int x = 0; x < 4; ++x) {
        color.ScanLine(0)[3 * x + 2] = 255;  // red row
        color.ScanLine(1)[3 * x + 1] = 255;  // green row
    }
    mask.ScanLine(0)[3] = mask.ScanLine(0)[4] = mask.ScanLine(0)[5] = 255;  // (1, 0) transparent
    std::memset(mask.ScanLine(1) + 9, 255, 3);                              // (3, 1) transparent
    color.ScanLine(0)[3 + 2] = 0;  // black under the mask, as icons keep it
    color.ScanLine(1)[9 + 1] = 0;
    TIcon icon;
    ASSERT_TRUE(icon.SetImage(color, mask));
    TPicture picture;
    picture.Assign(icon);
    for (int kind = 0; kind < 2; ++kind) {
        TGIFImage image;
        image.ColorReduction = rmNone;
        if (kind == 0) image.Assign(&icon);
        else image.Assign(&picture);
        ASSERT_EQ(image.Images().GetCount(), 1);
        TGIFSubImage& f = *image.Images().GetImage(0);
        ASSERT_TRUE(f.Transparent());
        const int t = f.GraphicControlExtension()->GetTransparentColorIndex();
        EXPECT_EQ(f.ColorMap().Entry(t), (TGIFColor{0, 0, 0}));
        EXPECT_EQ(t, f.ColorMap().Count() - 1);
        const std::string expected = "RTRRGGGT";
        for (int i = 0; i < 8; ++i) {
            const TColor c = Shown(f, i % 4, i / 4);
            const char got = c == 0xFF000000 ? 'T' : c == RGBColor(255, 0, 0) ? 'R' : c == RGBColor(0, 255, 0) ? 'G' : '?';
            EXPECT_EQ(got, expected[size_t(i)]) << i;
        }
        // Written and read back by giflib.
        if (HaveGiflib()) {
            EXPECT_TRUE(GiflibRead(Save(image)).ok);
        }
    }
    // A picture of a bitmap.
    TPicture bitmapPicture;
    bitmapPicture.Assign(color);
    TGIFImage image;
    image.ColorReduction = rmNone;
    image.Assign(&bitmapPicture);
    EXPECT_EQ(image.GetWidth(), 4);
    EXPECT_FALSE(image.Images().GetImage(0)->Transparent());
}

// Frames made from a 24-bit bitmap by every palette rule and dither, written by us and read
// back by giflib (indices) and Pillow (colours).
TEST(GIFAssign, EveryRuleAndDitherThroughAssignReadsBackInPeers) {
    const TBitmap source = Gradient(37, 23, 7);
    const std::string python = std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    const bool pillow = std::system((python + " -c 'import PIL' >/dev/null 2>&1").c_str()) == 0;
    TempDir dir;
    std::string script = "from PIL import Image\nimport sys\nbad = 0\n";
    int files = 0;
    for (TColorReduction rule : {rmWindows20, rmWindows256, rmWindowsGray, rmMonochrome, rmGrayScale, rmNetscape,
                                 rmQuantize, rmQuantizeWindows})
        for (TDitherMode mode : {dmNearest, dmFloydSteinberg, dmStucki, dmSierra, dmJaJuNI, dmSteveArche, dmBurkes}) {
            TGIFImage image;
            image.ColorReduction = rule;
            image.DitherMode = mode;
            image.SetReductionBits(5);
            image.Assign(&source);
            TGIFSubImage& f = *image.Images().GetImage(0);
            const std::string bytes = Save(image);
            if (HaveGiflib()) {
                const OracleGif g = GiflibRead(bytes);
                ASSERT_TRUE(g.ok) << rule << " " << mode;
                ASSERT_EQ(g.frames[0].pixels, Pixels(f));
            }
            std::string rgb;
            for (int y = 0; y < f.Height(); ++y)
                for (int x = 0; x < f.Width(); ++x) {
                    const TColor c = Shown(f, x, y);
                    rgb += char(GetRValue(c)), rgb += char(GetGValue(c)), rgb += char(GetBValue(c));
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

TEST(GIFAssign, ImageCopyKeepsItsOwnHandlers) {
    LoadedGif src;
    GifSpec spec;
    spec.width = 2, spec.height = 1;
    spec.globalColors = {0x000000, 0xFFFFFF};
    GifFrame a, b;
    a.width = b.width = 2, a.height = b.height = 1;
    a.pixels = {0, 1}, b.pixels = {1, 1};
    b.extensions = Gce(false, 0, 20);
    spec.frames = {a, b};
    LoadGif(src, MakeGif(spec));
    std::vector<std::string> sourceProgress;
    src.image.OnProgress = [&](TGIFImage*, TProgressStage, int, bool, const std::string& m) { sourceProgress.push_back(m); };
    src.image.Compression = gcRLE;
    TGIFImage copy;
    int ownWarnings = 0;
    copy.OnWarning = [&](const void*, TGIFSeverity, const std::string&) { ++ownWarnings; };
    copy.Assign(&src.image);
    ASSERT_EQ(copy.Images().GetCount(), 2);
    EXPECT_EQ(copy.Compression, gcRLE);
    EXPECT_EQ(Pixels(*copy.Images().GetImage(1)), (std::vector<uint8_t>{1, 1}));
    EXPECT_EQ(Save(copy), Save(src.image));
    EXPECT_FALSE(sourceProgress.empty());
    EXPECT_EQ(sourceProgress.front(), sProgressCopying);
    ASSERT_TRUE(copy.OnWarning);
    EXPECT_FALSE(copy.OnProgress);
    copy.Assign(static_cast<const TGIFImage*>(nullptr));
    EXPECT_TRUE(copy.GetEmpty());
}

TEST(GIFAssign, WriteDataOptimisesOnlyWhenAsked) {
    GifSpec spec;
    spec.width = 2, spec.height = 1;
    spec.globalColors = {0x000000, 0xFFFFFF};
    GifFrame a;
    a.width = 2, a.height = 1, a.pixels = {0, 1};
    a.extensions = "!\xFE\x04note\0"s;
    spec.frames = {a};
    for (bool optimise : {false, true}) {
        LoadedGif g;
        LoadGif(g, MakeGif(spec));
        const std::string plain = Save(g.image);
        const bool was = GIFImageOptimizeOnStream;
        GIFImageOptimizeOnStream = optimise;
        TMemoryStream s;
        g.image.WriteData(s);
        GIFImageOptimizeOnStream = was;
        const std::string written = Bytes(s);
        if (!optimise) {
            EXPECT_EQ(written, plain);
        } else {
            EXPECT_EQ(written.find("note"), std::string::npos);
            LoadedGif back;
            LoadGif(back, written);
            EXPECT_EQ(Pixels(*back.image.Images().GetImage(0)), (std::vector<uint8_t>{0, 1}));
        }
    }
}

TEST(GIFAssign, ClipboardExchange) {
    ClipboardScope scope;
    LoadedGif g;
    GifSpec spec;
    spec.width = 3, spec.height = 1;
    spec.globalColors = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
    GifFrame a;
    a.width = 3, a.height = 1, a.pixels = {1, 2, 3};
    spec.frames = {a};
    LoadGif(g, MakeGif(spec));

    TClipboardFormat format = 0;
    TClipboardHandle data;
    HPALETTE palette;
    g.image.SaveToClipboardFormat(format, data, palette);
    EXPECT_EQ(format, CF_BITMAP);
    ASSERT_TRUE(data && data->Bitmap);
    EXPECT_EQ(data->Bitmap->Pixel(2, 0), RGBColor(0, 0, 255));
    ASSERT_GE(PaletteEntryCount(palette), 4);
    EXPECT_EQ((*palette)[1].peRed, 255);
    ASSERT_TRUE(scope.clipboard.HasFormat(CF_GIF));
    EXPECT_EQ(ClipboardFormatName(CF_GIF), "GIF Image");

    // Back from the clipboard as a GIF, and as a bitmap.
    TGIFImage back;
    back.LoadFromClipboardFormat(CF_GIF, nullptr, nullptr);
    EXPECT_EQ(Save(back), Save(g.image));
    TGIFImage fromBitmap;
    fromBitmap.ColorReduction = rmNone;
    fromBitmap.LoadFromClipboardFormat(CF_BITMAP, data, palette);
    ASSERT_EQ(fromBitmap.Images().GetCount(), 1);
    EXPECT_EQ(Shown(*fromBitmap.Images().GetImage(0), 0, 0), RGBColor(255, 0, 0));

    // Damaged clipboard data is an error, not a crash.
    auto junk = std::make_shared<TClipboardData>();
    junk->Bytes = {'G', 'I', 'F', '8', '9', 'a', 1};
    EXPECT_THROW(back.LoadFromClipboardFormat(CF_GIF, junk, nullptr), GIFException);
    try {
        back.LoadFromClipboardFormat(12345, junk, nullptr);
        FAIL();
    } catch (const GIFException& e) {
        EXPECT_STREQ(e.what(), sUnsupportedClipboardFormat);
    }
    // A clipboard that refuses the data.
    scope.clipboard.Clear();
    scope.clipboard.refuse = true;
    try {
        g.image.SaveToClipboardFormat(format, data, palette);
        FAIL();
    } catch (const GIFException& e) {
        EXPECT_STREQ(e.what(), sFailedPaste);
    }
    // An image without frames places nothing.
    scope.clipboard.refuse = false;
    TGIFImage empty;
    TClipboardHandle none;
    empty.SaveToClipboardFormat(format, none, palette);
    EXPECT_FALSE(none);
    EXPECT_FALSE(scope.clipboard.HasFormat(CF_GIF));
}

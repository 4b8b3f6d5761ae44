#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "PageBMPTestUtil.h"
#include "pages/PageBMP.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

constexpr TColor kGrey = 0x808080;
constexpr TColor kRed = RGBColor(255, 0, 0);

// Records the font heights asked for; text width is a fixed number of pixels per character
// and font height unit.
class RecordingRenderer : public ITextRenderer {
public:
    explicit RecordingRenderer(double perCharPerHeight) : factor_(perCharPerHeight) { SetTextRenderer(this); }
    ~RecordingRenderer() override { SetTextRenderer(nullptr); }
    int TextWidth(const std::string& text, int h) override {
        widthsAsked.push_back(h);
        return static_cast<int>(text.size() * h * factor_);
    }
    void TextOut(TBitmap&, int x, int y, const std::string& text, int h, TColor color) override {
        drawn = text;
        drawnHeight = h;
        drawnX = x;
        drawnY = y;
        drawnColor = color;
    }
    std::vector<int> widthsAsked;
    std::string drawn;
    int drawnHeight = 0, drawnX = -1, drawnY = -1;
    TColor drawnColor = 0;

private:
    double factor_;
};

struct FakeLoader {
    std::function<void(void*, TStream*, const std::string&)> OnStreamReady;
    std::function<void(void*, TStream*, const std::string&)> OnPreviewReady;
    std::vector<int> pagesAsked;
    std::vector<std::string> previewsAsked;
    void LoadPage(int n) { pagesAsked.push_back(n); }
    void GetPreview(const std::string& archive) { previewsAsked.push_back(archive); }
};

bool IsErrorPage(const TPageBMP& p) {
    return p.Width() == 400 && p.Height() == 600 && p.PixelFormat() == TPixelFormat::pf24bit &&
           p.Pixel(0, 0) == kGrey && p.Pixel(399, 599) == kGrey && p.Pixel(200, 300) == kGrey;
}

std::string SmallBmp() {
    BmpSpec spec;
    spec.width = 3;
    spec.height = 2;
    return MakeBmp(spec, [](int x, int y) { return static_cast<uint32_t>(0x102030 * (x + 1) + y); });
}

TMemoryStream StreamOf(const std::string& bytes) {
    TMemoryStream m;
    m.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    m.SetPosition(bytes.size());  // LoadFromStream must rewind itself
    return m;
}

struct DecoderGuard {
    TImageType type;
    DecoderGuard(TImageType t, TPageDecoder d) : type(t) { SetPageDecoder(t, std::move(d)); }
    ~DecoderGuard() { SetPageDecoder(type, nullptr); }
};

}  // namespace

TEST(PageBMP, ImageTypeFollowsTheExtension) {
    struct Case { const char* name; TImageType type; } cases[] = {
        {"a.jpg", itJPEG}, {"/x/y/B.JPEG", itJPEG}, {"c.Jpg", itJPEG}, {".jpg", itJPEG},
        {"d.png", itPNG}, {"e.GIF", itGIF}, {"dir\\f.Bmp", itBMP},
        {"g.jpe", itOther}, {"h.jpg.bak", itOther}, {"x.jpg/readme", itOther}, {"x.jpg\\readme", itOther},
        {"noext", itOther}, {"", itOther},
    };
    for (const auto& c : cases) {
        TPageBMP page(c.name);
        EXPECT_EQ(page.ImgType, c.type) << c.name;
        EXPECT_EQ(page.FileName, c.name);
    }
    TPageBMP page("a.gif");
    page.SetImgType("b.bmp");
    EXPECT_EQ(page.ImgType, itBMP);
    EXPECT_EQ(page.FileName, "b.bmp");
}

TEST(PageBMP, StartsEmptyWithNeutralProcessingFields) {
    TPageBMP page("a.jpg");
    EXPECT_TRUE(page.Empty());
    EXPECT_EQ(page.BalanceFactor, 100);
    EXPECT_EQ(page.ScalePercent, 100);
    EXPECT_EQ(page.GammaApplied, 0);
    EXPECT_EQ(page.DecodedWidth, 0);
    EXPECT_EQ(page.DecodedHeight, 0);
    EXPECT_EQ(page.Rotation, rtNone);
    EXPECT_FALSE(page.LoadError || page.YellowingReduced || page.AreaFilled);
    EXPECT_FALSE(page.OnLoadFromListDone || page.OnPreviewDone || page.OnThumbDone);
}

TEST(PageBMP, ErrorPageIsGreyWithRedTextAtTheTopLeft) {
    TPageBMP page("x.bmp");
    page.MakeErrorBMP("Error Loading : x.bmp");
    ASSERT_TRUE(IsErrorPage(page));
    // The built-in font draws red only in the text's band, starting at (10, 10).
    int red = 0, outside = 0;
    for (int y = 0; y < 600; ++y)
        for (int x = 0; x < 400; ++x) {
            TColor c = page.Pixel(x, y);
            if (c == kRed) {
                ++red;
                if (x < 10 || y < 10 || y >= 30) ++outside;
            } else {
                ASSERT_EQ(c, kGrey) << x << "," << y;
            }
        }
    EXPECT_GT(red, 100);
    EXPECT_EQ(outside, 0);
}

TEST(PageBMP, ErrorFontShrinksOnlyWhenTheTextIsTooWide) {
    {
        RecordingRenderer r(1.0);  // width = 20 per character at height 20
        TPageBMP page("a");
        page.MakeErrorBMP(std::string(19, 'x'));  // 380 + 20 = 400: fits
        EXPECT_EQ(r.drawnHeight, 20);
        EXPECT_EQ(r.drawnX, 10);
        EXPECT_EQ(r.drawnY, 10);
        EXPECT_EQ(r.drawnColor, kRed);
        page.MakeErrorBMP(std::string(20, 'x'));  // 400 + 20 > 400 at 20, 380 at 19
        EXPECT_EQ(r.drawnHeight, 19);
        EXPECT_EQ(r.drawn, std::string(20, 'x'));
    }
    {
        RecordingRenderer r(1.0);
        TPageBMP page("a");
        page.MakeErrorBMP(std::string(100, 'x'));  // too wide even at 10: ends at 9
        EXPECT_EQ(r.drawnHeight, 9);
        EXPECT_EQ(r.widthsAsked.back(), 10);
    }
    TPageBMP page("a");  // the built-in renderer again
    page.MakeErrorBMP(std::string(300, 'x'));
    EXPECT_TRUE(IsErrorPage(page));
}

TEST(PageBMP, NullStreamSetsLoadErrorAndTheErrorPageSticks) {
    FakeUi ui;
    RecordingRenderer r(0.1);
    TPageBMP page("dir/p.bmp");
    page.LoadFromStream(nullptr);
    EXPECT_TRUE(page.LoadError);
    EXPECT_TRUE(IsErrorPage(page));
    EXPECT_EQ(r.drawn, "Error Loading : dir/p.bmp");
    EXPECT_EQ(page.DecodedWidth, 400);
    EXPECT_EQ(page.DecodedHeight, 600);
    EXPECT_EQ(ui.processMessagesCalls, 1);
    // A good stream afterwards decodes nothing.
    TMemoryStream good = StreamOf(SmallBmp());
    page.LoadFromStream(&good);
    EXPECT_TRUE(IsErrorPage(page));
    EXPECT_EQ(ui.processMessagesCalls, 1);
}

TEST(PageBMP, DecodesBmpAndRecordsTheSize) {
    FakeUi ui;
    TPageBMP page("p.BMP");
    TMemoryStream s = StreamOf(SmallBmp());
    page.LoadFromStream(&s);
    ASSERT_FALSE(page.LoadError);
    EXPECT_EQ(page.Width(), 3);
    EXPECT_EQ(page.Height(), 2);
    EXPECT_EQ(page.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(page.DecodedWidth, 3);
    EXPECT_EQ(page.DecodedHeight, 2);
    EXPECT_EQ(page.Pixel(2, 1), RGBColor(0x30, 0x60, 0x91));  // 0x306091 stored as R,G,B
    EXPECT_EQ(ui.processMessagesCalls, 1);
}

TEST(PageBMP, UndecodableStreamsGiveTheErrorPage) {
    TMemoryStream junk = StreamOf("this is no image at all");
    for (const char* name : {"a.jpg", "a.bmp", "a.png", "a.gif"}) {
        TPageBMP page(name);
        page.LoadFromStream(&junk);
        EXPECT_TRUE(page.LoadError) << name;
        EXPECT_TRUE(IsErrorPage(page)) << name;
    }
    TMemoryStream empty;
    TPageBMP page("a.jpg");
    page.LoadFromStream(&empty);
    EXPECT_TRUE(page.LoadError);
}

TEST(PageBMP, OtherTypesGiveAnEmpty24BitPage) {
    TMemoryStream s = StreamOf(SmallBmp());
    TPageBMP page("readme.txt");
    page.LoadFromStream(&s);
    EXPECT_FALSE(page.LoadError);
    EXPECT_TRUE(page.Empty());
    EXPECT_EQ(page.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(page.DecodedWidth, 0);
}

TEST(PageBMP, PngAndGifGoThroughTheirDecoders) {
    TMemoryStream s = StreamOf("GIF89a...");
    {
        TPageBMP page("a.gif");  // no decoder installed
        page.LoadFromStream(&s);
        EXPECT_TRUE(IsErrorPage(page));
    }
    int64_t seenPosition = -1;
    DecoderGuard gif(itGIF, [&](TStream& stream, TBitmap& out) {
        seenPosition = stream.Position();
        ASSERT_TRUE(out.SetSize(5, 4, TPixelFormat::pf8bit));
        out.Palette()[7] = {1, 2, 3, 0};
        out.ScanLine(3)[4] = 7;
    });
    TPageBMP page("a.gif");
    page.LoadFromStream(&s);
    ASSERT_FALSE(page.LoadError);
    EXPECT_EQ(seenPosition, 0);
    EXPECT_EQ(page.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(page.DecodedWidth, 5);
    EXPECT_EQ(page.DecodedHeight, 4);
    EXPECT_EQ(page.Pixel(4, 3), RGBColor(3, 2, 1));

    DecoderGuard png(itPNG, [](TStream&, TBitmap&) { throw std::runtime_error("bad CRC"); });
    TPageBMP bad("a.png");
    bad.LoadFromStream(&s);
    EXPECT_TRUE(bad.LoadError);
    EXPECT_TRUE(IsErrorPage(bad));

    DecoderGuard nothing(itPNG, [](TStream&, TBitmap&) {});
    TPageBMP empty("a.png");
    empty.LoadFromStream(&s);
    EXPECT_TRUE(empty.LoadError);
}

TEST(PageBMP, LoadFromFileReadsTheFileOrShowsTheErrorPage) {
    TempDir dir;
    std::string path = dir.Write("p.bmp", SmallBmp());
    TPageBMP page(path);
    page.LoadFromFile(path);
    EXPECT_EQ(page.Width(), 3);
    EXPECT_FALSE(page.LoadError);

    TPageBMP missing(dir.File("gone.bmp"));
    missing.LoadFromFile(dir.File("gone.bmp"));
    EXPECT_TRUE(IsErrorPage(missing));
    EXPECT_FALSE(missing.LoadError);  // only a decoding failure sets it
    TPageBMP directory(dir.Path() + "/x.bmp");
    directory.LoadFromFile(dir.Path());
    EXPECT_TRUE(IsErrorPage(directory));
}

TEST(PageBMP, LoadFromListAndThumbInstallTheirContinuation) {
    FakeLoader loader;
    TPageBMP page("a.bmp");
    std::vector<TPageBMP*> listDone, thumbDone;
    page.OnLoadFromListDone = [&](TPageBMP* s) { listDone.push_back(s); };
    page.OnThumbDone = [&](TPageBMP* s) { thumbDone.push_back(s); };
    page.LoadFromList(loader, 7);
    ASSERT_EQ(loader.pagesAsked, std::vector<int>{7});
    ASSERT_TRUE(loader.OnStreamReady);
    TMemoryStream s = StreamOf(SmallBmp());
    loader.OnStreamReady(&loader, &s, "a.bmp");
    EXPECT_EQ(page.Width(), 3);
    ASSERT_EQ(listDone.size(), 1u);
    EXPECT_EQ(listDone[0], &page);
    EXPECT_TRUE(thumbDone.empty());
    EXPECT_EQ(s.Size(), static_cast<int64_t>(SmallBmp().size()));  // the loader keeps its stream

    // Without a stream: the error page, but LoadError stays clear.
    TPageBMP thumb("b.bmp");
    thumb.OnThumbDone = page.OnThumbDone;
    thumb.LoadThumb(loader, 2);
    loader.OnStreamReady(&loader, nullptr, "b.bmp");
    EXPECT_TRUE(IsErrorPage(thumb));
    EXPECT_FALSE(thumb.LoadError);
    ASSERT_EQ(thumbDone.size(), 1u);
    EXPECT_EQ(thumbDone[0], &thumb);

    // No handler set: nothing fires, nothing breaks.
    TPageBMP quiet("c.bmp");
    quiet.ContinueLoadFromList(nullptr, nullptr, "c.bmp");
    EXPECT_TRUE(IsErrorPage(quiet));
}

TEST(PageBMP, PreviewTakesItsTypeAndNameFromTheMember) {
    FakeLoader loader;
    TPageBMP page("archive.cbz");
    int done = 0;
    page.OnPreviewDone = [&](TPageBMP* s) { done += s == &page; };
    page.LoadPreview(loader, "/books/archive.cbz");
    ASSERT_EQ(loader.previewsAsked, std::vector<std::string>{"/books/archive.cbz"});
    TMemoryStream s = StreamOf(SmallBmp());
    loader.OnPreviewReady(&loader, &s, "cover.bmp");
    EXPECT_EQ(page.ImgType, itBMP);
    EXPECT_EQ(page.FileName, "cover.bmp");
    EXPECT_EQ(page.Width(), 3);
    EXPECT_EQ(done, 1);
}

TEST(PageBMP, AssignTakesPixelsAndDecodedSize) {
    TBitmap source;
    ASSERT_TRUE(source.SetSize(9, 4, TPixelFormat::pf24bit));
    source.Fill(RGBColor(1, 2, 3));
    TPageBMP page("a.jpg");
    page.Assign(source);
    EXPECT_EQ(page.DecodedWidth, 9);
    EXPECT_EQ(page.DecodedHeight, 4);
    EXPECT_EQ(page.Pixel(8, 3), RGBColor(1, 2, 3));
    EXPECT_EQ(page.FileName, "a.jpg");
}

TEST(PageBMP, ImageOperationsRecordWhatTheyDid) {
    TBitmap source;
    ASSERT_TRUE(source.SetSize(100, 60, TPixelFormat::pf24bit));
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 100; ++x) {
            uint8_t* p = source.ScanLine(y) + 3 * x;
            p[0] = p[1] = p[2] = static_cast<uint8_t>(20 + 2 * x);  // sums span 594: stretchable
        }
    TPageBMP page("p.jpg");
    page.Assign(source);
    ASSERT_TRUE(page.Balance(5));
    EXPECT_GT(page.BalanceFactor, 100);
    ASSERT_TRUE(page.Stretch(50, 30));
    EXPECT_EQ(page.Width(), 50);
    EXPECT_EQ(page.ScalePercent, 50);  // of the decoded width 100
    ASSERT_TRUE(page.GammaCorrect(150));
    EXPECT_EQ(page.GammaApplied, 150);
    ASSERT_TRUE(page.RotateBitmapRight());
    EXPECT_EQ(page.Width(), 30);
    EXPECT_EQ(page.Height(), 50);
    EXPECT_FALSE(page.BitmapIsWhite());
    EXPECT_EQ(page.DetermineBackground(1), 0u);  // black
    EXPECT_EQ(page.DetermineBackground(2), 0xFFFFFFu);
    EXPECT_FALSE(page.YellowingReduced);
    EXPECT_FALSE(page.AreaFilled);
}

#include "pages/PageBMP.h"

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <chrono>
#include <stdexcept>

#include "EngineTestSupport.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

constexpr TColor kGrey = 0x808080, kRed = RGBColor(255, 0, 0);

// Text width is a fixed number of pixels per character and font height unit.
class RecordingRenderer : public ITextRenderer {
public:
    explicit RecordingRenderer(double perCharPerHeight) : factor_(perCharPerHeight) { SetTextRenderer(this); }
    ~RecordingRenderer() override { SetTextRenderer(nullptr); }
    int TextWidth(const std::string& text, int h) override {
        lastAsked = h;
        return int(double(text.size()) * h * factor_);
    }
    void TextOut(TBitmap&, int x, int y, const std::string& text, int h, TColor color) override {
        drawn = text, height = h, at = {x, y}, colour = color;
    }
    std::string drawn;
    int height = 0, lastAsked = 0;
    std::pair<int, int> at;
    TColor colour = 0;

private:
    double factor_;
};

// The loader as the page sees it.
struct FakeLoader {
    std::function<void(void*, TStream*, const std::string&)> OnStreamReady, OnPreviewReady;
    std::vector<int> pagesAsked;
    std::vector<std::string> previewsAsked;
    void LoadPage(int n) { pagesAsked.push_back(n); }
    void GetPreview(const std::string& archive) { previewsAsked.push_back(archive); }
};

bool IsErrorPage(const TPageBMP& p) {
    return p.Width() == 400 && p.Height() == 600 && p.PixelFormat() == TPixelFormat::pf24bit && p.Pixel(0, 0) == kGrey &&
           p.Pixel(399, 599) == kGrey && p.Pixel(200, 300) == kGrey;
}

const std::string kSmallBmp = MakeBmp({40, 3, 2}, [](int x, int y) { return uint32_t(0x102030 * (x + 1) + y); });

void Load(TPageBMP& page, const std::string& bytes) {
    TMemoryStream s = StreamOf(bytes);
    s.SetPosition(int64_t(bytes.size()));  // the page rewinds the stream itself
    page.LoadFromStream(&s);
}

struct DecoderGuard {
    TImageType type;
    DecoderGuard(TImageType t, TPageDecoder d) : type(t) { SetPageDecoder(t, std::move(d)); }
    ~DecoderGuard() { SetPageDecoder(type, nullptr); }
};

// Offset of the first marker 0xFF code.
size_t FindMarker(const std::string& jpeg, uint8_t code) {
    for (size_t i = 2; i + 1 < jpeg.size(); ++i)
        if (uint8_t(jpeg[i]) == 0xFF && uint8_t(jpeg[i + 1]) == code) return i;
    return std::string::npos;
}

// Sets the frame size in the SOF header (baseline 0xC0 or progressive 0xC2).
std::string WithFrameSize(std::string jpeg, uint8_t sof, int width, int height) {
    const size_t at = FindMarker(jpeg, sof);
    jpeg[at + 5] = char(height >> 8), jpeg[at + 6] = char(height), jpeg[at + 7] = char(width >> 8), jpeg[at + 8] = char(width);
    return jpeg;
}

// Our decode of the file against djpeg's at the scale we chose.
void ExpectSameAsDjpeg(const std::string& bytes, int denom) {
    if (!HaveDjpeg()) GTEST_SKIP() << "djpeg is not installed";
    TempDir dir;
    const std::string path = dir.Write("page.jpg", bytes);
    TPageBMP page(path);
    page.LoadFromFile(path);
    ASSERT_FALSE(page.LoadError);
    auto oracle = Djpeg(path, denom);
    ASSERT_TRUE(oracle.has_value());
    EXPECT_EQ(page.DecodedWidth, oracle->width);
    EXPECT_EQ(page.DecodedHeight, oracle->height);
    EXPECT_EQ(MaxDifference(page, *oracle), 0);
}

JpegOptions Options(int components, bool progressive = false, int quality = 90) {
    JpegOptions o;
    o.components = components, o.progressive = progressive, o.quality = quality;
    return o;
}

}  // namespace

TEST(PageBMP, NewPageAndImageTypes) {
    TPageBMP fresh("a.jpg");
    EXPECT_TRUE(fresh.Empty());
    EXPECT_EQ(fresh.BalanceFactor, 100);
    EXPECT_EQ(fresh.ScalePercent, 100);
    EXPECT_EQ(fresh.GammaApplied + fresh.DecodedWidth + fresh.DecodedHeight + fresh.Rotation, 0);
    EXPECT_FALSE(fresh.LoadError || fresh.YellowingReduced || fresh.AreaFilled);
    const std::pair<const char*, TImageType> cases[] = {
        {"/x/y/B.JPEG", itJPEG}, {".jpg", itJPEG}, {"d.png", itPNG}, {"e.GIF", itGIF}, {"dir\\f.Bmp", itBMP},
        {"g.jpe", itOther},      {"h.jpg.bak", itOther}, {"x.jpg/readme", itOther}, {"", itOther}};
    for (auto [name, type] : cases) {
        fresh.SetImgType(name);
        EXPECT_EQ(fresh.ImgType, type) << name;
        EXPECT_EQ(fresh.FileName, name);
    }
}

TEST(PageBMP, ErrorPageIsGreyWithRedTextAndAShrinkingFont) {
    TPageBMP page("x.bmp");
    page.MakeErrorBMP("Error Loading : x.bmp");
    ASSERT_TRUE(IsErrorPage(page));
    // The built-in font draws red only in the text's band, from (10, 10).
    int red = 0;
    for (int y = 0; y < 600; ++y)
        for (int x = 0; x < 400; ++x) {
            const TColor c = page.Pixel(x, y);
            ASSERT_TRUE(c == kGrey || (c == kRed && x >= 10 && y >= 10 && y < 30)) << x << "," << y;
            red += c == kRed;
        }
    EXPECT_GT(red, 100);

    RecordingRenderer r(1.0);  // 20 pixels per character at height 20
    page.MakeErrorBMP(std::string(19, 'x'));  // 380 + 20 = 400: fits
    EXPECT_EQ(r.height, 20);
    EXPECT_EQ(r.at, std::make_pair(10, 10));
    EXPECT_EQ(r.colour, kRed);
    page.MakeErrorBMP(std::string(20, 'x'));  // 420 at 20, 400 at 19
    EXPECT_EQ(r.height, 19);
    page.MakeErrorBMP(std::string(100, 'x'));  // too wide even at 10: ends at 9
    EXPECT_EQ(r.height, 9);
    EXPECT_EQ(r.lastAsked, 10);
}

TEST(PageBMP, LoadErrorSticksAndOnlyDecodingSetsIt) {
    FakeUi ui;
    RecordingRenderer r(0.1);
    TPageBMP page("dir/p.bmp");
    page.LoadFromStream(nullptr);
    EXPECT_TRUE(page.LoadError);
    EXPECT_TRUE(IsErrorPage(page));
    EXPECT_EQ(r.drawn, "Error Loading : dir/p.bmp");
    EXPECT_EQ(page.DecodedWidth * 1000 + page.DecodedHeight, 400600);
    EXPECT_EQ(ui.processMessagesCalls, 1);
    Load(page, kSmallBmp);  // decodes nothing
    EXPECT_TRUE(IsErrorPage(page));
    EXPECT_EQ(ui.processMessagesCalls, 1);

    TempDir dir;
    const std::string path = dir.Write("p.bmp", kSmallBmp);
    TPageBMP file(path), missing(dir.File("gone.bmp")), directory(dir.File("x.bmp"));
    file.LoadFromFile(path);
    EXPECT_EQ(file.Width(), 3);
    missing.LoadFromFile(dir.File("gone.bmp"));
    directory.LoadFromFile(dir.Path());
    for (const TPageBMP* p : {&missing, &directory}) {
        EXPECT_TRUE(IsErrorPage(*p));
        EXPECT_FALSE(p->LoadError);
    }
}

TEST(PageBMP, DecodesByTypeAndRecordsTheSize) {
    TPageBMP bmp("p.BMP");
    Load(bmp, kSmallBmp);
    ASSERT_FALSE(bmp.LoadError);
    EXPECT_EQ(bmp.DecodedWidth * 10 + bmp.DecodedHeight, 32);
    EXPECT_EQ(bmp.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(bmp.Pixel(2, 1), RGBColor(0x30, 0x60, 0x91));
    for (const char* name : {"a.jpg", "a.bmp", "a.png", "a.gif"}) {  // no decoder for PNG or GIF yet
        TPageBMP page(name);
        Load(page, "this is no image at all");
        EXPECT_TRUE(page.LoadError && IsErrorPage(page)) << name;
    }
    TPageBMP other("readme.txt");  // no error page, an empty 24-bit page
    Load(other, kSmallBmp);
    EXPECT_FALSE(other.LoadError);
    EXPECT_TRUE(other.Empty());
    EXPECT_EQ(other.PixelFormat(), TPixelFormat::pf24bit);

    // Installed decoders get the stream at 0; their picture becomes 24 bits.
    int64_t seenPosition = -1;
    DecoderGuard gif(itGIF, [&](TStream& stream, TBitmap& out) {
        seenPosition = stream.Position();
        ASSERT_TRUE(out.SetSize(5, 4, TPixelFormat::pf8bit));
        out.Palette()[7] = {1, 2, 3, 0};
        out.ScanLine(3)[4] = 7;
    });
    TPageBMP page("a.gif");
    Load(page, "GIF89a...");
    ASSERT_FALSE(page.LoadError);
    EXPECT_EQ(seenPosition, 0);
    EXPECT_EQ(page.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(page.DecodedWidth * 10 + page.DecodedHeight, 54);
    EXPECT_EQ(page.Pixel(4, 3), RGBColor(3, 2, 1));
    for (TPageDecoder d : {TPageDecoder([](TStream&, TBitmap&) { throw std::runtime_error("bad CRC"); }),
                           TPageDecoder([](TStream&, TBitmap&) {})}) {  // throws, or gives nothing
        DecoderGuard png(itPNG, d);
        TPageBMP bad("a.png");
        Load(bad, "\x89PNG");
        EXPECT_TRUE(bad.LoadError && IsErrorPage(bad));
    }
}

TEST(PageBMP, LoaderCallbacksFireTheirOwnEvent) {
    FakeLoader loader;
    TPageBMP page("a.bmp"), thumb("b.bmp"), preview("archive.cbz");
    std::vector<std::string> done;
    page.OnLoadFromListDone = [&](TPageBMP* s) { done.push_back("list " + s->FileName); };
    thumb.OnThumbDone = [&](TPageBMP* s) { done.push_back("thumb " + s->FileName); };
    preview.OnPreviewDone = [&](TPageBMP* s) { done.push_back("preview " + s->FileName); };
    TMemoryStream s = StreamOf(kSmallBmp);
    page.LoadFromList(loader, 7);
    loader.OnStreamReady(&loader, &s, "a.bmp");
    EXPECT_EQ(page.Width(), 3);
    EXPECT_EQ(s.Size(), int64_t(kSmallBmp.size()));  // the loader keeps its stream
    thumb.LoadThumb(loader, 2);
    loader.OnStreamReady(&loader, nullptr, "b.bmp");  // no stream: the error page, no LoadError
    EXPECT_TRUE(IsErrorPage(thumb));
    EXPECT_FALSE(thumb.LoadError);
    preview.LoadPreview(loader, "/books/archive.cbz");
    loader.OnPreviewReady(&loader, &s, "cover.bmp");  // the member decides type and name
    EXPECT_EQ(preview.ImgType, itBMP);
    EXPECT_EQ(preview.Width(), 3);
    EXPECT_EQ(loader.pagesAsked, (std::vector<int>{7, 2}));
    EXPECT_EQ(loader.previewsAsked, std::vector<std::string>{"/books/archive.cbz"});
    EXPECT_EQ(done, (std::vector<std::string>{"list a.bmp", "thumb b.bmp", "preview cover.bmp"}));
    TPageBMP quiet("c.bmp");  // no handler: nothing fires
    quiet.ContinueLoadFromList(nullptr, nullptr, "c.bmp");
    EXPECT_TRUE(IsErrorPage(quiet));
}

TEST(PageBMP, ImageOperationsRecordWhatTheyDid) {
    TBitmap source = SolidPage(100, 60, 0, 0, 0);
    for (int x = 0; x < 100; ++x)
        for (int y = 0; y < 60; ++y) SetPixel(source, x, y, uint8_t(20 + 2 * x), uint8_t(20 + 2 * x), uint8_t(20 + 2 * x));
    TPageBMP page("p.jpg");
    page.Assign(source);
    EXPECT_EQ(page.DecodedWidth * 1000 + page.DecodedHeight, 100060);
    ASSERT_TRUE(page.Balance(5));
    EXPECT_GT(page.BalanceFactor, 100);
    ASSERT_TRUE(page.Stretch(50, 30));
    EXPECT_EQ(page.ScalePercent, 50);  // of the decoded width
    ASSERT_TRUE(page.GammaCorrect(150));
    EXPECT_EQ(page.GammaApplied, 150);
    ASSERT_TRUE(page.ReduceYellowing(0, 0, 0, 10, 20));
    EXPECT_TRUE(page.YellowingReduced);
    ASSERT_TRUE(page.ReduceYellowingByFilling(false, 0, 0, 0, 255, 255, 255));
    EXPECT_TRUE(page.AreaFilled);
    ASSERT_TRUE(page.RotateBitmapRight());
    EXPECT_EQ(page.Width() * 100 + page.Height(), 3050);
    EXPECT_EQ(page.DetermineBackground(0), 0xFFFFFFu);  // filled white
}

// ---- JPEG ----

TEST(Jpeg, ScaleIsTheLargestKeepingBothSidesBelow3000) {
    const int cases[][4] = {
        {2999, 2999, 2999, 2999},  // full size
        {3000, 10, 1500, 5},       // 3000 is not below 3000
        {6000, 4000, 1500, 1000},  // 1/2 would be 3000 by 2000
        {5999, 7, 1500, 2},        // 1/2 rounds up to 3000
        {30000, 100, 3750, 13},    // 1/8 whatever the size
        {10, 5997, 5, 2999},       // 1/2 rounds up to 2999
        {10, 5999, 3, 1500},
    };
    for (const auto& c : cases) {
        TPageBMP page("p.jpg");
        Load(page, MakeJpeg(c[0], c[1], Options(1, false, 50)));
        ASSERT_FALSE(page.LoadError) << c[0] << "x" << c[1];
        EXPECT_EQ(page.Width() * 10000 + page.Height(), c[2] * 10000 + c[3]) << c[0] << "x" << c[1];
        EXPECT_EQ(page.DecodedWidth * 10000 + page.DecodedHeight, c[2] * 10000 + c[3]);
        EXPECT_EQ(page.PixelFormat(), TPixelFormat::pf24bit);
    }
}

TEST(Jpeg, PixelsMatchDjpeg) {
    ExpectSameAsDjpeg(MakeJpeg(333, 217), 1);
    ExpectSameAsDjpeg(MakeJpeg(101, 77, Options(1)), 1);
    ExpectSameAsDjpeg(MakeJpeg(640, 480, Options(3, true, 75)), 1);
    ExpectSameAsDjpeg(MakeJpeg(1, 1, Options(3, false, 100)), 1);
    ExpectSameAsDjpeg(MakeJpeg(3001, 211), 2);
    ExpectSameAsDjpeg(MakeJpeg(6007, 1203, Options(3, true)), 4);
    ExpectSameAsDjpeg(MakeJpeg(24500, 61, Options(1)), 8);
}

TEST(Jpeg, CmykAndYcckBecomeRgb) {
    // Flat blocks keep the codec close to the stored values; CMYK is stored inverted.
    const uint8_t ink[4][4] = {{255, 255, 255, 255}, {0, 255, 255, 255}, {255, 128, 64, 200}, {30, 60, 90, 255}};
    for (bool ycck : {false, true}) {
        JpegOptions o = Options(4, false, 100);
        o.ycck = ycck;
        TPageBMP page("c.jpg");
        Load(page, MakeJpeg(64, 64, o, [&](int x, int y, int c) { return ink[(x / 32) + 2 * (y / 32)][c]; }));
        ASSERT_FALSE(page.LoadError) << ycck;
        for (int i = 0; i < 4; ++i) {
            const TColor got = page.Pixel((i % 2) * 32 + 16, (i / 2) * 32 + 16);
            const int k = ink[i][3];
            EXPECT_NEAR(GetRValue(got), ink[i][0] * k / 255, 4) << i << " ycck " << ycck;
            EXPECT_NEAR(GetGValue(got), ink[i][1] * k / 255, 4) << i << " ycck " << ycck;
            EXPECT_NEAR(GetBValue(got), ink[i][2] * k / 255, 4) << i << " ycck " << ycck;
        }
    }
    // A CMYK file written by ImageMagick, against ImageMagick's own decode.
    const std::string dir = VELLICOR_SOURCE_DIR "/tests/data/pages/jpeg/";
    auto expected = ReadPnm(dir + "im-cmyk.ppm");
    ASSERT_TRUE(expected.has_value());
    TPageBMP page(dir + "im-cmyk.jpg");
    page.LoadFromFile(page.FileName);
    ASSERT_FALSE(page.LoadError);
    EXPECT_EQ(MaxDifference(page, *expected), 0);
}

TEST(Jpeg, TruncatedFilesDecodeWhatIsThereSilently) {
    for (bool progressive : {false, true}) {
        const std::string full = MakeJpeg(200, 160, Options(3, progressive)), cut = full.substr(0, full.size() / 2);
        testing::internal::CaptureStderr();
        TPageBMP page("t.jpg"), whole("w.jpg");
        Load(page, cut);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        ASSERT_FALSE(page.LoadError) << progressive;
        EXPECT_EQ(page.Width() * 1000 + page.Height(), 200160);
        Load(whole, full);
        for (int x = 0; x < 200 && !progressive; ++x) ASSERT_EQ(page.Pixel(x, 3), whole.Pixel(x, 3)) << x;
        ExpectSameAsDjpeg(cut, 1);
    }
}

TEST(Jpeg, CorruptAndHostileFilesGiveTheErrorPage) {
    const std::string good = MakeJpeg(48, 32);
    const size_t sof = FindMarker(good, 0xC0);
    std::string precision = good, components = good;
    precision[sof + 4] = 12;  // 12-bit samples
    components[sof + 9] = 2;  // two components: no colour space for them
    const std::pair<const char*, std::string> bad[] = {
        {"SOI only", std::string("\xFF\xD8", 2)}, {"SOI EOI", std::string("\xFF\xD8\xFF\xD9", 4)},
        {"no SOI", good.substr(2)},               {"zero width", WithFrameSize(good, 0xC0, 0, 32)},
        {"zero height", WithFrameSize(good, 0xC0, 48, 0)}, {"header cut", good.substr(0, sof + 6)},
        {"12-bit", precision},                     {"2 components", components}};
    for (const auto& [what, bytes] : bad) {
        TPageBMP page("bad.jpg");
        Load(page, bytes);
        EXPECT_TRUE(page.LoadError && IsErrorPage(page)) << what;
    }
    // Every single-byte change in the headers decodes or fails cleanly.
    for (size_t i = 2; i < FindMarker(good, 0xDA) + 14 && i < good.size(); ++i) {
        std::string damaged = good;
        damaged[i] = char(damaged[i] ^ 0x5A);
        TPageBMP page("d.jpg");
        Load(page, damaged);
        EXPECT_TRUE(page.LoadError ? IsErrorPage(page) : !page.Empty()) << i;
    }
    // A huge progressive frame is refused by the memory limit; a huge baseline frame from a
    // tiny file is decoded at 1/8 with the missing data filled, in bounded time.
    const auto start = std::chrono::steady_clock::now();
    TPageBMP progressive("huge.jpg"), baseline("huge.jpg");
    Load(progressive, WithFrameSize(MakeJpeg(64, 64, Options(3, true)), 0xC2, 65000, 65000));
    EXPECT_TRUE(progressive.LoadError && IsErrorPage(progressive));
    Load(baseline, WithFrameSize(MakeJpeg(64, 64), 0xC0, 65000, 65000));
    EXPECT_EQ(baseline.Width() * 10000 + baseline.Height(), 8125 * 10001);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 20.0);
}

TEST(Jpeg, TooManyScansAreRefused) {
    // A DC scan, then AC scans of 63 / per coefficients for each component.
    auto make = [](int per) {
        jpeg_compress_struct c{};
        jpeg_error_mgr err{};
        c.err = jpeg_std_error(&err);
        jpeg_create_compress(&c);
        unsigned char* out = nullptr;
        unsigned long size = 0;
        jpeg_mem_dest(&c, &out, &size);
        c.image_width = c.image_height = 32;
        c.input_components = 3;
        c.in_color_space = JCS_RGB;
        jpeg_set_defaults(&c);
        std::vector<jpeg_scan_info> scans{{3, {0, 1, 2, 0}, 0, 0, 0, 0}};
        for (int comp = 0; comp < 3; ++comp)
            for (int k = 1; k <= 63; k += per) scans.push_back({1, {comp, 0, 0, 0}, k, std::min(63, k + per - 1), 0, 0});
        c.scan_info = scans.data();
        c.num_scans = int(scans.size());
        jpeg_start_compress(&c, TRUE);
        std::vector<uint8_t> row(32 * 3, 128);
        for (JSAMPROW r = row.data(); c.next_scanline < c.image_height;) jpeg_write_scanlines(&c, &r, 1);
        jpeg_finish_compress(&c);
        std::string bytes(reinterpret_cast<char*>(out), size);
        jpeg_destroy_compress(&c);
        std::free(out);
        return bytes;
    };
    TPageBMP many("many.jpg"), some("some.jpg");
    Load(many, make(1));  // 190 scans
    EXPECT_TRUE(many.LoadError);
    Load(some, make(3));  // 64 scans: still fine
    EXPECT_FALSE(some.LoadError);
    EXPECT_EQ(some.Width(), 32);
}

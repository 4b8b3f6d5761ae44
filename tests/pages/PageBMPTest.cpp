#include "pages/PageBMP.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <vector>

#include <jpeglib.h>
#include <malloc.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "EngineTestSupport.h"
#include "pages/JpegDecode.h"
#include "support/ChildRun.h"
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
    int TextWidth(const std::string& text, int h) override { return lastAsked = h, int(double(text.size()) * h * factor_); }
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

struct FakeLoader {  // the loader as the page sees it
    std::function<void(void*, TStream*, const std::string&)> OnStreamReady, OnPreviewReady;
    std::vector<std::string> asked;
    void LoadPage(int n) { asked.push_back(std::to_string(n)); }
    void GetPreview(const std::string& archive) { asked.push_back(archive); }
};

bool IsErrorPage(const TPageBMP& p) {
    return p.Width() == 400 && p.Height() == 600 && p.PixelFormat() == TPixelFormat::pf24bit && p.Pixel(0, 0) == kGrey &&
           p.Pixel(399, 599) == kGrey && p.Pixel(200, 300) == kGrey;
}

int Size(const TBitmap& b) { return b.Width() * 100000 + b.Height(); }  // width and height at a glance
int Decoded(const TPageBMP& p) { return p.DecodedWidth * 100000 + p.DecodedHeight; }

const std::string kSmallBmp = MakeBmp({40, 3, 2}, [](int x, int y) { return uint32_t(0x102030 * (x + 1) + y); });

void Load(TPageBMP& page, const std::string& bytes) {
    TMemoryStream s = StreamOf(bytes);
    s.SetPosition(int64_t(bytes.size()));  // the page rewinds the stream itself
    page.LoadFromStream(&s);
}

struct DecoderGuard {
    TImageType type;
    ~DecoderGuard() { SetPageDecoder(type, nullptr); }
};

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

// Where the scan's coded data begins, after the SOS header.
size_t ScanData(const std::string& jpeg) {
    const size_t sos = FindMarker(jpeg, 0xDA);
    return sos + 2 + (size_t(uint8_t(jpeg[sos + 2])) << 8 | uint8_t(jpeg[sos + 3]));
}

const std::string kEoi("\xFF\xD9", 2);

// The first count bytes of the scan's coded data, then the end-of-image marker.
std::string ScanCutAt(const std::string& jpeg, size_t count) { return jpeg.substr(0, ScanData(jpeg) + count) + kEoi; }

// A progressive file whose first scan has just its first few bytes of data, followed by
// more scans of no data at all.
std::string WithEmptyScans(const std::string& jpeg, int extra) {
    const size_t sos = FindMarker(jpeg, 0xDA), data = ScanData(jpeg);
    std::string bytes = jpeg.substr(0, data + 8);
    for (int i = 0; i < extra; ++i) bytes += jpeg.substr(sos, data - sos);
    return bytes + kEoi;
}

// Comment segments of 64 KB each, just after the start-of-image marker.
std::string WithComments(const std::string& jpeg, int count) {
    std::string comments;
    for (int i = 0; i < count; ++i) comments += std::string("\xFF\xFE\xFF\xFF", 4) + std::string(65533, 'c');
    return jpeg.substr(0, 2) + comments + jpeg.substr(2);
}

// Our decode of the file against djpeg's at the scale we chose.
void ExpectSameAsDjpeg(const std::string& bytes, int denom) {
    if (!HaveDjpeg()) GTEST_SKIP() << "djpeg is not installed";
    TempDir dir;
    const std::string path = dir.Write("page.jpg", bytes);
    TPageBMP page(path);
    page.LoadFromFile(path);
    auto oracle = Djpeg(path, denom);
    ASSERT_TRUE(oracle.has_value() && !page.LoadError);
    EXPECT_EQ(Decoded(page), oracle->width * 100000 + oracle->height);
    EXPECT_EQ(MaxDifference(page, *oracle), 0);
}

}  // namespace

TEST(PageBMP, ErrorPageIsGreyWithRedTextAndAShrinkingFont) {
    TPageBMP page("x.bmp");
    page.MakeErrorBMP("Error Loading : x.bmp");
    ASSERT_TRUE(IsErrorPage(page));
    int red = 0;  // the built-in font draws red in the text's band, from (10, 10)
    for (int x = 10; x < 200; ++x) red += page.Pixel(x, 20) == kRed;
    EXPECT_GT(red, 10);
    EXPECT_TRUE(page.Pixel(9, 20) == kGrey && page.Pixel(100, 9) == kGrey && page.Pixel(100, 30) == kGrey);
    RecordingRenderer r(1.0);  // 20 pixels per character at height 20
    page.MakeErrorBMP(std::string(19, 'x'));  // 380 + 20 = 400: fits
    EXPECT_TRUE(r.height == 20 && r.at == std::make_pair(10, 10) && r.colour == kRed);
    page.MakeErrorBMP(std::string(20, 'x'));  // 420 at 20, 400 at 19
    EXPECT_EQ(r.height, 19);
    page.MakeErrorBMP(std::string(100, 'x'));  // too wide even at 10: ends at 9
    EXPECT_EQ(r.height * 100 + r.lastAsked, 910);
}

TEST(PageBMP, LoadErrorSticksAndOnlyDecodingSetsIt) {
    FakeUi ui;
    RecordingRenderer r(0.1);
    TPageBMP page("a.txt");
    EXPECT_TRUE(page.Empty() && page.BalanceFactor == 100 && page.ScalePercent == 100 && page.ImgType == itOther);
    page.SetImgType("dir/p.bmp");
    page.LoadFromStream(nullptr);
    EXPECT_TRUE(page.LoadError && IsErrorPage(page));
    EXPECT_EQ(r.drawn, "Error Loading : dir/p.bmp");
    EXPECT_EQ(Decoded(page), Size(page));
    Load(page, kSmallBmp);  // decodes nothing
    EXPECT_TRUE(IsErrorPage(page));
    EXPECT_EQ(ui.processMessagesCalls, 1);
    TempDir dir;
    const std::string path = dir.Write("p.bmp", kSmallBmp);
    TPageBMP file(path), missing(dir.File("gone.bmp")), directory(dir.File("x.bmp"));
    file.LoadFromFile(path);
    EXPECT_EQ(Size(file), 300002);
    missing.LoadFromFile(dir.File("gone.bmp"));
    directory.LoadFromFile(dir.Path());
    for (const TPageBMP* p : {&missing, &directory}) EXPECT_TRUE(IsErrorPage(*p) && !p->LoadError);
}

TEST(PageBMP, DecodesByTypeAndRecordsTheSize) {
    TPageBMP bmp("p.BMP"), other("readme.txt");
    Load(bmp, kSmallBmp);
    EXPECT_TRUE(!bmp.LoadError && bmp.PixelFormat() == TPixelFormat::pf24bit);
    EXPECT_EQ(Decoded(bmp), 300002);
    EXPECT_EQ(bmp.Pixel(2, 1), RGBColor(0x30, 0x60, 0x91));
    Load(other, kSmallBmp);  // no error page: an empty 24-bit page
    EXPECT_TRUE(!other.LoadError && other.Empty() && other.PixelFormat() == TPixelFormat::pf24bit);
    for (const char* name : {"a.jpg", "a.bmp", "a.png", "a.gif"}) {  // no PNG decoder; no GIF signature
        TPageBMP page(name);
        Load(page, "this is no image at all");
        EXPECT_TRUE(page.LoadError && IsErrorPage(page)) << name;
    }
    // Installed decoders get the stream at 0; their picture becomes 24 bits.
    int64_t seenPosition = -1;
    DecoderGuard installed{itPNG};
    SetPageDecoder(itPNG, [&](TStream& stream, TBitmap& out) {
        seenPosition = stream.Position();
        ASSERT_TRUE(out.SetSize(5, 4, TPixelFormat::pf8bit));
        out.Palette()[7] = {1, 2, 3, 0};
        out.ScanLine(3)[4] = 7;
    });
    TPageBMP page("a.png");
    Load(page, "\x89PNG...");
    EXPECT_TRUE(!page.LoadError && seenPosition == 0 && page.PixelFormat() == TPixelFormat::pf24bit);
    EXPECT_EQ(Decoded(page), 500004);
    EXPECT_EQ(page.Pixel(4, 3), RGBColor(3, 2, 1));
    for (TPageDecoder d : {TPageDecoder([](TStream&, TBitmap&) { throw std::runtime_error("bad CRC"); }),
                           TPageDecoder([](TStream&, TBitmap&) {})}) {  // throws, or gives nothing
        DecoderGuard png{itPNG};
        SetPageDecoder(itPNG, d);
        TPageBMP bad("a.png");
        Load(bad, "\x89PNG");
        EXPECT_TRUE(bad.LoadError && IsErrorPage(bad));
    }
}

TEST(PageBMP, LoaderCallbacksFireTheirOwnEvent) {
    FakeLoader loader;
    TPageBMP page("a.bmp"), thumb("b.bmp"), preview("archive.cbz"), quiet("c.bmp");
    std::vector<std::string> done;
    page.OnLoadFromListDone = [&](TPageBMP* s) { done.push_back("list " + s->FileName); };
    thumb.OnThumbDone = [&](TPageBMP* s) { done.push_back("thumb " + s->FileName); };
    preview.OnPreviewDone = [&](TPageBMP* s) { done.push_back("preview " + s->FileName); };
    TMemoryStream s = StreamOf(kSmallBmp);
    page.LoadFromList(loader, 7);
    loader.OnStreamReady(&loader, &s, "a.bmp");
    EXPECT_EQ(page.Width(), 3);
    EXPECT_EQ(s.Size(), int64_t(kSmallBmp.size())) << "the loader keeps its stream";
    thumb.LoadThumb(loader, 2);
    loader.OnStreamReady(&loader, nullptr, "b.bmp");  // no stream: the error page, no LoadError
    EXPECT_TRUE(IsErrorPage(thumb) && !thumb.LoadError);
    preview.LoadPreview(loader, "/books/archive.cbz");
    loader.OnPreviewReady(&loader, &s, "cover.bmp");  // the member decides type and name
    EXPECT_TRUE(preview.ImgType == itBMP && preview.Width() == 3);
    EXPECT_EQ(loader.asked, (std::vector<std::string>{"7", "2", "/books/archive.cbz"}));
    EXPECT_EQ(done, (std::vector<std::string>{"list a.bmp", "thumb b.bmp", "preview cover.bmp"}));
    quiet.ContinueLoadFromList(nullptr, nullptr, "c.bmp");  // no handler: nothing fires
    EXPECT_TRUE(IsErrorPage(quiet));
}

TEST(PageBMP, ImageOperationsRecordWhatTheyDid) {
    TBitmap source = SolidPage(100, 60, 0, 0, 0);
    for (int i = 0; i < 6000; ++i) SetPixel(source, i % 100, i / 100, uint8_t(20 + 2 * (i % 100)), uint8_t(20 + 2 * (i % 100)), uint8_t(20 + 2 * (i % 100)));
    TPageBMP page("p.jpg");
    page.Assign(source);
    EXPECT_EQ(Decoded(page), 10000060);
    ASSERT_TRUE(page.Balance(5) && page.Stretch(50, 30) && page.GammaCorrect(150));
    EXPECT_GT(page.BalanceFactor, 100);
    EXPECT_EQ(page.ScalePercent, 50) << "of the decoded width";
    EXPECT_EQ(page.GammaApplied, 150);
    ASSERT_TRUE(page.ReduceYellowing(0, 0, 0, 10, 20) && page.ReduceYellowingByFilling(false, 0, 0, 0, 255, 255, 255));
    EXPECT_TRUE(page.YellowingReduced && page.AreaFilled);
    ASSERT_TRUE(page.RotateBitmapRight());
    EXPECT_EQ(Size(page), 3000050);
    EXPECT_EQ(page.DetermineBackground(0), 0xFFFFFFu) << "filled white";
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
        {10, 5999, 3, 1500}};
    for (const auto& c : cases) {
        TPageBMP page("p.jpg");
        Load(page, MakeJpeg(c[0], c[1], {.components = 1, .quality = 50}));
        EXPECT_TRUE(!page.LoadError && page.PixelFormat() == TPixelFormat::pf24bit) << c[0] << "x" << c[1];
        EXPECT_EQ(Size(page), c[2] * 100000 + c[3]) << c[0] << "x" << c[1];
        EXPECT_EQ(Decoded(page), Size(page));
    }
}

TEST(Jpeg, PixelsMatchDjpeg) {
    ExpectSameAsDjpeg(MakeJpeg(333, 217), 1);
    ExpectSameAsDjpeg(MakeJpeg(3001, 211), 2);
    ExpectSameAsDjpeg(MakeJpeg(6007, 1203, {.progressive = true}), 4);
    ExpectSameAsDjpeg(MakeJpeg(24500, 61, {.components = 1}), 8);
}

TEST(Jpeg, CmykAndYcckBecomeRgb) {
    // Flat blocks keep the codec close to the stored values; CMYK is stored inverted.
    const uint8_t ink[4][4] = {{255, 255, 255, 255}, {0, 255, 255, 255}, {255, 128, 64, 200}, {30, 60, 90, 255}};
    for (bool ycck : {false, true}) {
        TPageBMP page("c.jpg");
        Load(page, MakeJpeg(64, 64, {.components = 4, .quality = 100, .ycck = ycck}, [&](int x, int y, int c) { return ink[(x / 32) + 2 * (y / 32)][c]; }));
        ASSERT_FALSE(page.LoadError) << ycck;
        for (int i = 0; i < 12; ++i) {
            const TColor got = page.Pixel((i % 2) * 32 + 16, (i / 2 % 2) * 32 + 16);
            EXPECT_NEAR(uint8_t(got >> (8 * (i / 4))), ink[i % 4][i / 4] * ink[i % 4][3] / 255, 4) << i << " " << ycck;
        }
    }
    // A CMYK file written by ImageMagick, against ImageMagick's own decode.
    const std::string dir = VELLICOR_SOURCE_DIR "/tests/data/pages/jpeg/";
    auto expected = ReadPnm(dir + "im-cmyk.ppm");
    TPageBMP page(dir + "im-cmyk.jpg");
    page.LoadFromFile(page.FileName);
    ASSERT_TRUE(expected.has_value() && !page.LoadError);
    EXPECT_EQ(MaxDifference(page, *expected), 0);
}

TEST(Jpeg, TruncatedFilesDecodeWhatIsThereSilently) {
    for (bool progressive : {false, true}) {
        const std::string full = MakeJpeg(200, 160, {.progressive = progressive}), cut = full.substr(0, full.size() / 2);
        testing::internal::CaptureStderr();
        TPageBMP page("t.jpg"), whole("w.jpg");
        Load(page, cut);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_TRUE(!page.LoadError && Size(page) == 20000160) << progressive;
        Load(whole, full);
        for (int x = 0; x < 200 && !progressive; ++x) ASSERT_EQ(page.Pixel(x, 3), whole.Pixel(x, 3)) << "rows that came whole";
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
        {"SOI only", std::string("\xFF\xD8", 2)},          {"SOI EOI", std::string("\xFF\xD8\xFF\xD9", 4)},
        {"no SOI", good.substr(2)},                        {"zero width", WithFrameSize(good, 0xC0, 0, 32)},
        {"zero height", WithFrameSize(good, 0xC0, 48, 0)}, {"header cut", good.substr(0, sof + 6)},
        {"12-bit", precision},                             {"2 components", components},
        {"190 scans", MakeJpeg(32, 32, {.acScanWidth = 1})}};
    for (const auto& [what, bytes] : bad) {
        TPageBMP page("bad.jpg");
        Load(page, bytes);
        EXPECT_TRUE(page.LoadError && IsErrorPage(page)) << what;
    }
    TPageBMP some("some.jpg");  // 64 scans are still fine
    Load(some, MakeJpeg(32, 32, {.acScanWidth = 3}));
    EXPECT_TRUE(!some.LoadError && some.Width() == 32);
    for (size_t i = 2; i < FindMarker(good, 0xDA) + 14; ++i) {  // a byte changed anywhere in the headers
        std::string damaged = good;
        damaged[i] = char(damaged[i] ^ 0x5A);
        TPageBMP page("d.jpg");
        Load(page, damaged);
        EXPECT_TRUE(page.LoadError ? IsErrorPage(page) : !page.Empty()) << i;
    }
    // Huge frames from tiny files are refused: their data cannot fill the page.
    const auto start = std::chrono::steady_clock::now();
    TPageBMP progressive("huge.jpg"), baseline("huge.jpg");
    Load(progressive, WithFrameSize(MakeJpeg(64, 64, {.progressive = true}), 0xC2, 65000, 65000));
    EXPECT_TRUE(progressive.LoadError && IsErrorPage(progressive));
    Load(baseline, WithFrameSize(MakeJpeg(64, 64), 0xC0, 65000, 65000));
    EXPECT_TRUE(baseline.LoadError && IsErrorPage(baseline));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 120.0) << "bounded, not hung (generous: the sanitizer build under a loaded machine is slow)";
}

namespace {

int g_messagePasses = 0;
int g_stopAtPass = 0;

constexpr bool kMeasured = test::kPeakMemoryMeasured;

void StopAtPass() {
    if (++g_messagePasses == g_stopAtPass) RequestStop();
}

// Decodes bytes with the C decoder straight, with limits of the test's own.
struct RawDecode {
    int result = 0;
    std::string error;
    int width = 0, height = 0;
};
RawDecode DecodeRaw(const std::string& bytes, int64_t sparsePixels, int scaleLimit = 100000, int maxBlockWalks = 0, int64_t freeBlockWalks = 0) {
    struct Source {
        const std::string* bytes;
        size_t at;
        static size_t Read(void* user, unsigned char* buffer, size_t size) {
            auto* s = static_cast<Source*>(user);
            const size_t n = std::min(size, s->bytes->size() - s->at);
            std::memcpy(buffer, s->bytes->data() + s->at, n);
            s->at += n;
            return n;
        }
    } source{&bytes, 0};
    const vjpeg_limits limits{1L << 30, 100, scaleLimit, sparsePixels, maxBlockWalks, freeBlockWalks};
    vjpeg_decoder* d = vjpeg_create(Source::Read, nullptr, &source, &limits);
    RawDecode r;
    int denom = 0;
    r.result = vjpeg_read_header(d, &r.width, &r.height, &denom);
    if (r.result == 0) {
        std::vector<unsigned char> rows(size_t(r.width) * 3 * size_t(r.height));
        r.result = vjpeg_decode(d, rows.data(), ptrdiff_t(r.width) * 3);
    }
    r.error = vjpeg_error(d);
    vjpeg_destroy(d);
    return r;
}

}  // namespace

// Esc while a large page is decoded: the decode stops at its next group of rows and the
// page is dropped, its pixels given back; no error page is made for it.
TEST(Jpeg, DecodeStopsAtTheNextGroupOfRowsOnceTheProgramEnds) {
    FakeUi ui;
    ui.onProcessMessages = StopAtPass;
    for (bool progressive : {false, true}) {
        const std::string bytes = MakeJpeg(1200, 1600, {.components = 1, .progressive = progressive});
        g_messagePasses = 0;
        g_stopAtPass = 5;
        TPageBMP page("big.jpg");
        Load(page, bytes);
        EXPECT_TRUE(page.LoadError && page.Empty() && page.ByteSize() == 0) << progressive;
        EXPECT_EQ(g_messagePasses, 5) << progressive << ": nothing ran after the pass that stopped it";
        RequestStop(false);
        g_stopAtPass = 0;
        g_messagePasses = 0;
        TPageBMP whole("big.jpg");
        Load(whole, bytes);
        EXPECT_EQ(Size(whole), 120001600) << progressive;
        EXPECT_GE(g_messagePasses, 1600 / 16) << progressive << ": messages get through between groups of rows";
    }
}

// A large page whose data ends within its first sixteenth is refused, whether the size of
// its first scan's data gives it away at once or the data runs out while that scan is
// decoded; a small page, or one whose data reaches further, shows what is there.
TEST(Jpeg, LargePagesTheirDataCannotFillAreRefused) {
    const std::string tooSmall = "JPEG data too small for a sixteenth of the page", endsEarly = "JPEG data ends before a sixteenth of the page";
    for (bool progressive : {false, true}) {
        const std::string full = MakeJpeg(512, 512, {.components = 1, .progressive = progressive});
        const std::string firstRows = full.substr(0, ScanData(full) + 40);
        RawDecode r = DecodeRaw(firstRows, 1000);
        EXPECT_EQ(r.result, -1) << progressive;
        EXPECT_EQ(r.error, endsEarly) << progressive;
        EXPECT_EQ(DecodeRaw(firstRows, 0).result, 0) << progressive << ": no limit, the rows it has";
        EXPECT_EQ(DecodeRaw(firstRows, 512 * 512).result, 0) << progressive << ": a page below the limit";
        EXPECT_EQ(DecodeRaw(full.substr(0, full.size() * 3 / 4), 1000).result, 0) << progressive;
        EXPECT_EQ(DecodeRaw(full, 1000).result, 0) << progressive;
        // 4096 blocks need 512 bytes at least; a sixteenth of them 32. Only the scan's own
        // bytes count, not what follows its end or comes before it.
        for (const std::string& cut : {ScanCutAt(full, 31), ScanCutAt(full, 31) + std::string(1 << 20, '\0'), WithComments(ScanCutAt(full, 31), 10)}) {
            r = DecodeRaw(cut, 1000);
            EXPECT_EQ(r.result, -1) << progressive << " " << cut.size();
            EXPECT_EQ(r.error, tooSmall) << progressive << " " << cut.size();
        }
        // Enough bytes for a sixteenth, but a marker ends them before it: the data ran out.
        for (const std::string& cut : {ScanCutAt(full, 40), ScanCutAt(full, 40) + std::string(1 << 20, '\0')}) {
            r = DecodeRaw(cut, 1000);
            EXPECT_EQ(r.result, -1) << progressive << " " << cut.size();
            EXPECT_EQ(r.error, endsEarly) << progressive << " " << cut.size();
        }
        EXPECT_EQ(DecodeRaw(ScanCutAt(full, 40), 0).result, 0) << progressive << ": no limit, the rows it has";
    }
}

// Genuine large pages show with either coding, restart intervals or not. Arithmetic coding
// can code a block in far less than a bit, and its decoder meets a marker before the last
// blocks by design: for it only the data running out within the first sixteenth decides.
TEST(Jpeg, LargePagesShowWhenTheirDataReachesFarWithEitherCoding) {
    const std::string tooSmall = "JPEG data too small for a sixteenth of the page", endsEarly = "JPEG data ends before a sixteenth of the page";
    for (bool arithmetic : {false, true})
        for (int components : {1, 3})
            for (bool progressive : {false, true})
                for (int restart : {0, 1, 7}) {
                    const std::string what = std::to_string(arithmetic) + " " + std::to_string(components) + " " + std::to_string(progressive) + " " + std::to_string(restart);
                    const std::string full = MakeJpeg(512, 512, {.components = components, .progressive = progressive, .arithmetic = arithmetic, .restartInterval = restart});
                    EXPECT_EQ(DecodeRaw(full, 1000).result, 0) << what;
                    if (!progressive) {
                        EXPECT_EQ(DecodeRaw(full.substr(0, full.size() / 2), 1000).result, 0) << what;
                    }
                    // Arithmetic-coded data may end wherever the rest of a page is blank.
                    const RawDecode r = DecodeRaw(ScanCutAt(full, 20), 1000);
                    EXPECT_EQ(r.result, arithmetic ? 0 : -1) << what;
                    EXPECT_EQ(r.error, arithmetic ? "" : tooSmall) << what;
                    EXPECT_EQ(DecodeRaw(ScanCutAt(full, 20), 0).result, 0) << what << ": no limit, the rows it has";
                }
    // Restart intervals of no data, each standing for many blocks of zeros: never so in
    // Huffman coding, but an arithmetic coder writes nothing for a blank mid-grey interval.
    for (bool arithmetic : {false, true}) {
        std::string empty = MakeJpeg(512, 512, {.components = 1, .arithmetic = arithmetic, .restartInterval = 1});
        const size_t dri = FindMarker(empty, 0xDD);
        empty[dri + 4] = char(0x04), empty[dri + 5] = char(0x00);  // 1024 blocks each
        empty = empty.substr(0, ScanData(empty));
        for (int i = 0; i < 4; ++i) empty += char(0xFF), empty += char(0xD0 + i);
        const RawDecode r = DecodeRaw(empty + kEoi, 1000);
        EXPECT_EQ(r.result, arithmetic ? 0 : -1) << arithmetic;
        EXPECT_EQ(r.error, arithmetic ? "" : endsEarly) << arithmetic;
    }
}

// A file of several scans has libjpeg keep every block's coefficients at full size, so at
// 1/8 scale a page under the pixel limit can still hold a gigabyte: such files are judged
// by their coefficient blocks (64 pixels each). Here 512 x 512 decodes at 1/8 to 4096
// pixels, under the limit of 8192, while its 4096 blocks stand for 262144 pixels.
TEST(Jpeg, FilesOfSeveralScansAreJudgedByTheirCoefficients) {
    const std::string tooSmall = "JPEG data too small for a sixteenth of the page", endsEarly = "JPEG data ends before a sixteenth of the page";
    for (bool progressive : {false, true}) {
        const std::string full = MakeJpeg(512, 512, {.components = 1, .progressive = progressive});
        EXPECT_EQ(DecodeRaw(full, 8192, 100).result, 0) << progressive;
        EXPECT_EQ(DecodeRaw(full.substr(0, full.size() * 3 / 4), 8192, 100).result, 0) << progressive;
        std::vector<std::pair<std::string, std::string>> cuts = {{ScanCutAt(full, 31), tooSmall}, {ScanCutAt(full, 40), endsEarly}};
        if (progressive) cuts.emplace_back(WithEmptyScans(full, 20), tooSmall);
        for (const auto& [cut, error] : cuts) {
            const RawDecode r = DecodeRaw(cut, 8192, 100);
            EXPECT_EQ(r.result, progressive ? -1 : 0) << progressive << " " << cut.size() << ": one scan keeps no coefficients";
            if (progressive) {
                EXPECT_EQ(r.error, error) << cut.size();
            }
            EXPECT_EQ(DecodeRaw(cut, 0, 100).result, 0) << progressive << " " << cut.size() << ": no limit, the rows it has";
        }
    }
    // Every component's DC scan comes first; end-of-band runs of an AC scan could stand for
    // every block in a few bytes.
    const std::string full = MakeJpeg(512, 512, {.components = 1, .progressive = true});
    const size_t sos = FindMarker(full, 0xDA), next = FindMarker(full.substr(ScanData(full)), 0xC4) + ScanData(full);
    const std::string acFirst = full.substr(0, sos) + full.substr(next);
    RawDecode r = DecodeRaw(acFirst, 8192, 100);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.error, "JPEG progressive image does not begin with its DC scan");
    EXPECT_EQ(DecodeRaw(acFirst, 0, 100).result, 0);
    // Coefficients past libjpeg's 1 GB are refused before anything is allocated: 20000 x
    // 20000 in colour takes 1.2 GB of them (grey, 0.8 GB, meets the data rule instead).
    const std::string colour = WithFrameSize(MakeJpeg(16, 16, {.progressive = true}), 0xC2, 20000, 20000);
    r = DecodeRaw(colour, 0, 3000);
    EXPECT_EQ(r.error, "JPEG image too large: its coefficients need more than 1024 MB");
    r = DecodeRaw(WithFrameSize(MakeJpeg(16, 16, {.components = 1, .progressive = true}), 0xC2, 20000, 20000), int64_t(1) << 25, 3000);
    EXPECT_EQ(r.error, tooSmall);
    r = DecodeRaw(WithFrameSize(MakeJpeg(16, 16), 0xC0, 20000, 20000), 0, 3000);
    EXPECT_EQ(r.result, 0) << "one scan: no coefficients kept";
}

// A genuine progressive page just past the coefficient limit (562500 blocks, a limit of
// 524288) shows at its scale.
TEST(Jpeg, GenuineProgressivePagePastTheCoefficientLimitShows) {
    const std::string photo = MakeJpeg(6000, 6000, {.components = 1, .progressive = true, .quality = 75}, [](int x, int y, int) {
        return uint8_t((x / 24 + y / 40) * 3 + (uint32_t(x * 2654435761u ^ y * 40503u) >> 27));
    });
    TPageBMP page("photo.jpg");
    Load(page, photo);
    EXPECT_FALSE(page.LoadError);
    EXPECT_EQ(Size(page), 150001500);
}

// A few hundred bytes claiming 65500 x 65500 cost what a small page costs, in memory and
// time, measured in a child process of its own.
TEST(Jpeg, TinyFileClaimingAHugePageCostsLittle) {
    const std::string whole = WithFrameSize(MakeJpeg(16, 16, {.quality = 50}), 0xC0, 65500, 65500);
    const std::string cut = whole.substr(0, FindMarker(whole, 0xDA) + 20);
    // Data followed by 640 KB of zeros or preceded by ten comment segments; restart
    // intervals with no data. (Arithmetic-coded ones show: see the test after this one.)
    const std::string zeros = whole + std::string(640 << 10, '\0'), comments = WithComments(whole, 10);
    std::string restarts = WithFrameSize(MakeJpeg(16, 16, {.quality = 50, .restartInterval = 1}), 0xC0, 65500, 65500);
    const size_t dri = FindMarker(restarts, 0xDD);
    restarts[dri + 4] = char(0xFF), restarts[dri + 5] = char(0xFF);
    restarts = restarts.substr(0, ScanData(restarts));
    for (int i = 0; i < 256; ++i) restarts += char(0xFF), restarts += char(0xD0 + i % 8);
    restarts += kEoi;
    // Progressive, under the pixel limit at 1/8 but keeping close to 1 GB of coefficients:
    // grey 22500 x 22500, 4:2:0 colour 18000 x 18000, and grey with 99 more scans of no data.
    const std::string progressiveGrey = WithFrameSize(MakeJpeg(16, 16, {.components = 1, .progressive = true, .quality = 50}), 0xC2, 22500, 22500);
    const std::string progressiveColour = WithFrameSize(MakeJpeg(16, 16, {.progressive = true, .quality = 50}), 0xC2, 18000, 18000);
    const std::string emptyScans = WithEmptyScans(progressiveGrey, 99);
    for (const std::string* bytes : std::initializer_list<const std::string*>{&whole, &cut, &zeros, &comments, &restarts, &progressiveGrey, &progressiveColour, &emptyScans}) {
        const test::ChildRun run = test::InChild([&] {
            TPageBMP page("huge.jpg");
            Load(page, *bytes);
            return page.LoadError && IsErrorPage(page) ? 0 : 1;
        });
        const double seconds = run.seconds, peakMB = run.peakMB;
        std::printf("%zu-byte JPEG claiming a huge page: %.2f s, peak %.1f MB\n", bytes->size(), seconds, peakMB);
        EXPECT_EQ(run.exitCode, 0) << bytes->size() << ": the error page";
        if (kMeasured) {
            EXPECT_LT(peakMB, 120) << bytes->size() << ": not the 200 MB page at 1/8";
        }
    }
}

namespace {

// Where each scan's header begins and where its coded data ends (at the marker after it).
std::vector<std::pair<size_t, size_t>> ScanSpans(const std::string& jpeg) {
    std::vector<std::pair<size_t, size_t>> spans;
    for (size_t at = FindMarker(jpeg, 0xDA); at != std::string::npos;) {
        const size_t data = at + 2 + (size_t(uint8_t(jpeg[at + 2])) << 8 | uint8_t(jpeg[at + 3]));
        size_t end = data;
        while (end + 1 < jpeg.size() && !(uint8_t(jpeg[end]) == 0xFF && uint8_t(jpeg[end + 1]) != 0 && (uint8_t(jpeg[end + 1]) & 0xF8) != 0xD0)) ++end;
        spans.emplace_back(at, end);
        at = jpeg.find(std::string("\xFF\xDA", 2), end);
    }
    return spans;
}

// The file without its scan number n (from 0), or cut after count bytes of that scan's data.
std::string WithoutScan(const std::string& jpeg, size_t n) {
    const auto s = ScanSpans(jpeg).at(n);
    return jpeg.substr(0, s.first) + jpeg.substr(s.second);
}
std::string NthScanCutAt(const std::string& jpeg, size_t n, size_t count) {
    const auto s = ScanSpans(jpeg).at(n);
    const size_t data = s.first + 2 + (size_t(uint8_t(jpeg[s.first + 2])) << 8 | uint8_t(jpeg[s.first + 3]));
    return jpeg.substr(0, data + count) + kEoi;
}

// A line of text at the top of a white page, nothing below it.
uint8_t TopLine(int x, int y, int) { return uint8_t(y >= 8 && y < 24 && (x / 3) % 4 == 0 ? 0 : 255); }

const std::string kTooSmall = "JPEG data too small for a sixteenth of the page", kEndsEarly = "JPEG data ends before a sixteenth of the page";
const std::string kTooManyScans = "JPEG image has too many scans for its size";

// cjpeg's terms: a DC scan, then successive approximation of the whole AC band from bit
// `top` down to bit 0, each refinement walking every block for nothing but end-of-band runs.
std::string RefinementChain(int top) {
    std::string script = "0: 0 0 0 0; 0: 1 63 0 " + std::to_string(top) + ";";
    for (int ah = top; ah > 0; --ah) script += " 0: 1 63 " + std::to_string(ah) + " " + std::to_string(ah - 1) + ";";
    return script;
}

}  // namespace

// Arithmetic coding spends next to nothing on blank blocks and its coder stops at a marker
// once the data is spent, so a large page blank below a line of text meets the end of its
// data within its first rows: that is no sign of a hostile file, and it shows in any
// layout; the Huffman-coded page shows as before.
TEST(Jpeg, LargeArithmeticPageBlankBelowItsTopShows) {
    for (bool arithmetic : {false, true})
        for (int components : {1, 3})
            for (bool progressive : {false, true})
                for (int restart : {0, 1}) {
                    const std::string what = std::to_string(arithmetic) + " " + std::to_string(components) + " " + std::to_string(progressive) + " " + std::to_string(restart);
                    const std::string bytes = MakeJpeg(1024, 1024, {.components = components, .progressive = progressive, .arithmetic = arithmetic, .restartInterval = restart}, TopLine);
                    const RawDecode r = DecodeRaw(bytes, 1000, 100);  // a large page, also by its coefficients at 1/8
                    EXPECT_EQ(r.result, 0) << what << ": " << r.error;
                }
}

// A progressive file may code one small component's DC first: with 4x4 luma sampling the
// chroma components hold 1/18 of the blocks. Each scan that first codes its components is
// judged by their own blocks, and all of those scans together by every block kept.
TEST(Jpeg, ScansOfFewComponentsAreJudgedByTheirOwnBlocks) {
    const std::string chromaFirst = "1: 0 0 0 0; 2: 0 0 0 0; 0: 0 0 0 0; 0: 1 63 0 0; 1: 1 63 0 0; 2: 1 63 0 0;";
    const std::string genuine = MakeJpeg(1024, 1024, {.progressive = true, .lumaSampling = 4, .scans = chromaFirst});
    ASSERT_EQ(ScanSpans(genuine).size(), 6u);
    for (int scale : {100, 100000}) {  // judged by its coefficients, and as a page at 1/1
        EXPECT_EQ(DecodeRaw(genuine, 1000, scale).result, 0) << scale << ": " << DecodeRaw(genuine, 1000, scale).error;
        EXPECT_EQ(DecodeRaw(WithoutScan(genuine, 5), 1000, scale).result, 0) << scale << ": an AC scan left out";
        // Luma's DC scan holds 8 bytes for 16384 blocks: judged by luma's blocks alone.
        RawDecode r = DecodeRaw(NthScanCutAt(genuine, 2, 8), 1000, scale);
        EXPECT_EQ(r.error, kTooSmall) << scale;
        // Luma never gets its DC: its AC's end-of-band runs would stand for every block.
        r = DecodeRaw(WithoutScan(genuine, 2), 1000, scale);
        EXPECT_EQ(r.error, "JPEG progressive image codes a component's AC before its DC") << scale;
        EXPECT_EQ(DecodeRaw(WithoutScan(genuine, 2), 0, scale).result, 0) << scale << ": no limit";
        // One chroma component of a white page alone, at a bit a block, fills 1/18 of them.
        const std::string white = MakeJpeg(1024, 1024, {.progressive = true, .lumaSampling = 4, .scans = chromaFirst}, [](int, int, int) { return uint8_t(255); });
        EXPECT_EQ(DecodeRaw(white, 1000, scale).result, 0) << scale << ": " << DecodeRaw(white, 1000, scale).error;
        const std::string chromaOnly = white.substr(0, ScanSpans(white)[1].first) + kEoi;
        r = DecodeRaw(chromaOnly, 1000, scale);
        EXPECT_EQ(r.error, kTooSmall) << scale;
        EXPECT_EQ(DecodeRaw(chromaOnly, 0, scale).result, 0) << scale << ": no limit";
    }
    // One sequential scan a component, chroma first: each scan by its component's blocks.
    const std::string sequential = MakeJpeg(1024, 1024, {.lumaSampling = 4, .scans = "1: 0 63 0 0; 2: 0 63 0 0; 0: 0 63 0 0;"});
    ASSERT_EQ(ScanSpans(sequential).size(), 3u);
    EXPECT_EQ(DecodeRaw(sequential, 1000, 100).result, 0) << DecodeRaw(sequential, 1000, 100).error;
    EXPECT_EQ(DecodeRaw(NthScanCutAt(sequential, 2, 8), 1000, 100).error, kTooSmall);
    EXPECT_EQ(DecodeRaw(NthScanCutAt(sequential, 2, 200), 1000, 100).error, kEndsEarly);
    // The same cut in an arithmetic-coded file is taken as a blank rest.
    const std::string arithmetic = MakeJpeg(1024, 1024, {.arithmetic = true, .lumaSampling = 4, .scans = "1: 0 63 0 0; 2: 0 63 0 0; 0: 0 63 0 0;"});
    EXPECT_EQ(DecodeRaw(NthScanCutAt(arithmetic, 2, 8), 1000, 100).result, 0);
}

// Every scan walks all of its components' blocks, so the scans of a file may walk its kept
// blocks 32 times (a refinement of the whole AC band counting nine) beyond what a small
// page may walk freely; libjpeg's own progressions, and 64 narrow scans, stay within.
TEST(Jpeg, ScansMayWalkTheBlocksBoundedTimes) {
    const int walks = 32;
    for (int components : {1, 3}) {
        const std::string standard = MakeJpeg(512, 512, {.components = components, .progressive = true});
        EXPECT_EQ(DecodeRaw(standard, 0, 100000, walks, 0).result, 0) << components;
        EXPECT_EQ(DecodeRaw(standard, 1000, 100000, walks, 0).result, 0) << components << ": with the data rule too";
    }
    EXPECT_EQ(DecodeRaw(MakeJpeg(512, 512, {.acScanWidth = 3}), 0, 100000, walks, 0).result, 0) << "64 scans, each of a third of the blocks";
    EXPECT_EQ(DecodeRaw(MakeJpeg(512, 512, {.components = 1, .scans = RefinementChain(2)}), 0, 100000, walks, 0).result, 0) << "two refinements";
    // Eleven refinements of the whole band, or 63 scans of one coefficient each, over all
    // the blocks of a grey page: Huffman and arithmetic coding alike.
    std::string narrow = "0: 0 0 0 0;";
    for (int k = 1; k <= 63; ++k) narrow += " 0: " + std::to_string(k) + " " + std::to_string(k) + " 0 0;";
    for (bool arithmetic : {false, true})
        for (const std::string& script : {RefinementChain(10), narrow}) {
            const std::string bytes = MakeJpeg(512, 512, {.components = 1, .arithmetic = arithmetic, .scans = script});
            const RawDecode r = DecodeRaw(bytes, 0, 100000, walks, 0);
            EXPECT_EQ(r.result, -1) << arithmetic << " " << script.size();
            EXPECT_EQ(r.error, kTooManyScans) << arithmetic << " " << script.size();
            EXPECT_EQ(DecodeRaw(bytes, 0, 100000, 0, 0).result, 0) << arithmetic << ": no limit";
            EXPECT_EQ(DecodeRaw(bytes, 0, 100000, walks, int64_t(1) << 20).result, 0) << arithmetic << ": a small page walks freely";
            // Scans past the 16 MB read ahead to count them are counted as they begin.
            const size_t firstEnd = ScanSpans(bytes)[0].second;
            const std::string comments = WithComments(std::string("\xFF\xD8", 2), 260).substr(2);
            const RawDecode late = DecodeRaw(bytes.substr(0, firstEnd) + comments + bytes.substr(firstEnd), 0, 100000, walks, 0);
            EXPECT_EQ(late.error, kTooManyScans) << arithmetic << " " << script.size();
        }
    // One sequential scan walks its blocks once and keeps none: no limit applies.
    EXPECT_EQ(DecodeRaw(MakeJpeg(512, 512), 0, 100000, 1, 0).result, 0);
}

// A few hundred bytes of arithmetic-coded data claiming a large page: a sequential one whose
// missing data decode blank shows, at what that page costs (its pixels at the scale). A
// progressive one is no genuine page (that codes a bit a block in its DC refinement), and
// what its missing data decode to is not blank: it is refused. Many refinement scans over
// it are refused before anything is allocated. Measured in a child process.
TEST(Jpeg, TinyArithmeticFileClaimingALargePageCostsWhatThePageCosts) {
    const auto white = [](int, int, int) { return uint8_t(255); };
    const std::string sequential = WithFrameSize(MakeJpeg(16, 16, {.quality = 50, .arithmetic = true}, white), 0xC9, 16000, 16000);
    const std::string progressive = WithFrameSize(MakeJpeg(64, 64, {.components = 1, .progressive = true, .arithmetic = true}, white), 0xCA, 8192, 8192);
    const std::string manyScans = WithFrameSize(MakeJpeg(64, 64, {.components = 1, .arithmetic = true, .scans = RefinementChain(10)}, white), 0xCA, 8192, 8192);
    struct Case {
        const std::string* bytes;
        bool shows;
        double mostMB;  // the page at its scale, and the coefficients kept
    } cases[] = {{&sequential, true, 2000.0 * 2000 * 3 / 1048576 + 60}, {&progressive, false, 8192.0 * 8192 / 64 * 128 / 1048576 + 60},
                 {&manyScans, false, 60}};  // refused before its coefficients are made
    for (const Case& c : cases) {
        const test::ChildRun run = test::InChild([&] {
            TPageBMP page("tiny.jpg");
            Load(page, *c.bytes);
            return page.LoadError == !c.shows && (c.shows ? !IsErrorPage(page) : IsErrorPage(page)) ? 0 : 1;
        });
        std::printf("%zu-byte arithmetic JPEG claiming a large page: %s, %.2f s of CPU, peak %.1f MB\n", c.bytes->size(),
                    run.exitCode != 0 ? "not as expected" : c.shows ? "shown" : "refused", run.cpuSeconds, run.peakMB);
        EXPECT_EQ(run.exitCode, 0) << c.bytes->size();
        if (kMeasured) {
            EXPECT_LT(run.grewMB, c.mostMB) << c.bytes->size();
        }
    }
}

namespace {

// Each block's coefficients in natural order: component, block column and row.
using BlockFn = std::function<void(int comp, int bx, int by, JCOEF* block)>;

// An arithmetic-coded file of the coefficients given, written by libjpeg's coder at full
// size (so a blank one is what an encoder writes for a blank page): sequential, libjpeg's
// progression, or a script of scans. lumaSampling 2 makes 4:2:0 colour, otherwise 4:4:4.
std::string MakeArithmeticJpeg(int width, int height, const JpegOptions& o, const BlockFn& fill) {
    MemoryJpegWriter w(width, height, o.components, o.components == 1 ? JCS_GRAYSCALE : JCS_YCbCr);
    jpeg_compress_struct& c = w.c;
    c.arith_code = TRUE;
    c.restart_interval = unsigned(o.restartInterval);
    for (int k = 0; k < c.num_components; ++k) c.comp_info[k].h_samp_factor = c.comp_info[k].v_samp_factor = k == 0 ? std::max(1, o.lumaSampling) : 1;
    if (!o.scans.empty()) {
        w.UseScans(o.scans);
    } else if (o.progressive) {
        jpeg_simple_progression(&c);
    }
    const int most = std::max(1, o.lumaSampling);
    std::vector<jvirt_barray_ptr> arrays;
    std::vector<std::pair<int, int>> blocks;
    for (int k = 0; k < c.num_components; ++k) {
        const int f = k == 0 ? most : 1;
        const int w = ((width * f + most - 1) / most + 7) / 8, h = ((height * f + most - 1) / most + 7) / 8;
        blocks.emplace_back((w + f - 1) / f * f, (h + f - 1) / f * f);
        arrays.push_back(c.mem->request_virt_barray(reinterpret_cast<j_common_ptr>(&c), JPOOL_IMAGE, TRUE, JDIMENSION(blocks[k].first), JDIMENSION(blocks[k].second), JDIMENSION(f)));
    }
    jpeg_write_coefficients(&c, arrays.data());
    for (int k = 0; k < c.num_components; ++k)
        for (int by = 0; by < blocks[k].second; ++by) {
            JBLOCKARRAY row = c.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&c), arrays[k], JDIMENSION(by), 1, TRUE);
            for (int bx = 0; bx < blocks[k].first; ++bx) fill(k, bx, by, row[0][bx]);
        }
    return w.Finish();
}

// A white page; and blocks busy to their end, whose DC swings from block to block.
void BlankBlock(int, int, int, JCOEF* b) {
    std::fill(b, b + DCTSIZE2, JCOEF(0));
    b[0] = 120;
}
void BusyBlock(int, int bx, int by, JCOEF* b) {
    b[0] = JCOEF((bx + by) % 2 ? 60 : -60);
    for (int i = 1; i < DCTSIZE2; ++i) b[i] = 1;
}
// Busy DC, blank AC. (BusyBlock's AC a first scan at Al 1 leaves zero, and its refinement sets.)
void BusyDcBlock(int c, int bx, int by, JCOEF* b) {
    BusyBlock(c, bx, by, b);
    std::fill(b + 1, b + DCTSIZE2, JCOEF(0));
}

// A file of 64 x 64 busy blocks whose frame claims width x height: its data runs out after
// those, and the adaptive states then make every decision "not the end" and "nonzero".
std::string BusyFileClaiming(int width, int height, const JpegOptions& o, const BlockFn& fill = BusyBlock) {
    std::string bytes = MakeArithmeticJpeg(64, 64, o, fill);
    return WithFrameSize(bytes, FindMarker(bytes, 0xC9) != std::string::npos ? 0xC9 : 0xCA, width, height);
}

std::string FirstScans(const std::string& comps, int bands) {  // a DC scan, then bands AC first scans per component
    std::string script;
    for (char comp : comps) script += std::string(1, comp) + ": 0 0 0 0;";
    for (char comp : comps)
        for (int i = 0; i < bands; ++i) script += " " + std::string(1, comp) + ": " + std::to_string(1 + 2 * i) + " " + std::to_string(i == bands - 1 ? 63 : 2 + 2 * i) + " 0 0;";
    return script;
}

const std::string kStillBusy = "JPEG data ends where the page is still busy";

}  // namespace

// Arithmetic-coded data that run out while the adaptive states make every decision busy:
// a few hundred bytes would decode into a huge page of busy blocks. Such a file costs at
// most twice what a genuine blank page of its size, sampling and progression costs (and
// a tenth of a second), each decode measured in a child process: refused once what the
// missing data decoded passes a small allowance, or, when its last scan runs to the end
// of the image, shown with the rest left blank as a cut file's is.
TEST(Jpeg, ArithmeticDataEndingWhereThePageIsBusyCostsAtMostABlankPage) {
    const JpegOptions grey{.components = 1}, greyProgressive{.components = 1, .progressive = true};
    struct Case {
        const char* what;
        std::string hostile, blank;
    } cases[] = {
        {"sequential grey", BusyFileClaiming(16384, 16384, grey), MakeArithmeticJpeg(16384, 16384, grey, BlankBlock)},
        {"sequential 4:2:0, an interval a row", BusyFileClaiming(8192, 8192, {.components = 3, .restartInterval = 8, .lumaSampling = 2}),
         MakeArithmeticJpeg(8192, 8192, {.components = 3, .restartInterval = 512, .lumaSampling = 2}, BlankBlock)},
        {"grey, a DC scan and 30 AC first scans", BusyFileClaiming(8192, 8192, {.components = 1, .scans = FirstScans("0", 30)}),
         MakeArithmeticJpeg(8192, 8192, greyProgressive, BlankBlock)},
        {"4:4:4, 90 AC first scans", BusyFileClaiming(4096, 4096, {.components = 3, .scans = FirstScans("012", 30)}),
         MakeArithmeticJpeg(4096, 4096, {.components = 3, .progressive = true}, BlankBlock)},
        {"4:2:0, busy DC only", BusyFileClaiming(4096, 4096, {.components = 3, .progressive = true, .lumaSampling = 2}, BusyDcBlock),
         MakeArithmeticJpeg(4096, 4096, {.components = 3, .progressive = true, .lumaSampling = 2}, BlankBlock)},
        {"grey, AC refined from nothing", BusyFileClaiming(4096, 4096, {.components = 1, .scans = "0: 0 0 0 0; 0: 1 63 0 1; 0: 1 63 1 0;"}),
         MakeArithmeticJpeg(4096, 4096, greyProgressive, BlankBlock)},
        {"4:4:4, one sequential scan a component", BusyFileClaiming(4096, 4096, {.components = 3, .scans = "0: 0 63 0 0; 1: 0 63 0 0; 2: 0 63 0 0;"}),
         MakeArithmeticJpeg(4096, 4096, {.components = 3, .scans = "0: 0 63 0 0; 1: 0 63 0 0; 2: 0 63 0 0;"}, BlankBlock)},
    };
    const auto cost = [](const std::string& bytes) {
        return test::InChild([&] {
            TPageBMP page("page.jpg");
            Load(page, bytes);
            return page.LoadError ? 1 : 0;
        });
    };
    for (const Case& c : cases) {
        const test::ChildRun hostile = cost(c.hostile), blank = cost(c.blank);
        std::printf("%-40s %5zu bytes: %s, %.2f s of CPU, peak %.0f MB; a blank page of its size (%zu bytes): %.2f s, %.0f MB\n", c.what, c.hostile.size(),
                    hostile.exitCode == 0 ? "shown" : hostile.exitCode == 1 ? "refused" : "crashed", hostile.cpuSeconds, hostile.peakMB, c.blank.size(), blank.cpuSeconds, blank.peakMB);
        EXPECT_LE(hostile.exitCode, 1) << c.what;
        EXPECT_EQ(blank.exitCode, 0) << c.what << ": the blank page shows";
        EXPECT_LT(hostile.cpuSeconds, 2 * blank.cpuSeconds + 0.1) << c.what;
    }
}

// What decides is what the missing data decode to, not where they end: genuine pages show
// with restart intervals as short as an MCU (each ends in bytes the encoder dropped), cut
// short (the rest is left blank once it decodes busy), or blank below a line of text. A
// coefficient's first bits coded twice are refused (a mark stands where nothing was yet).
TEST(Jpeg, ArithmeticPagesAreJudgedByWhatTheirMissingDataDecodeTo) {
    const auto grain = [](int x, int y, int c) {
        return uint8_t((x / 24 + y / 40) * 3 + c * 40 + (uint32_t(x * 2654435761u ^ y * 40503u) >> 27));
    };
    for (int components : {1, 3})
        for (int sampling : {1, 2})
            for (bool progressive : {false, true})
                for (int restart : {0, 1}) {
                    if (components == 1 && sampling == 2) continue;
                    const std::string what = std::to_string(components) + " " + std::to_string(sampling) + " " + std::to_string(progressive) + " " + std::to_string(restart);
                    const JpegOptions o{.components = components, .progressive = progressive, .arithmetic = true, .restartInterval = restart, .lumaSampling = sampling};
                    for (const auto& sample : {SampleFn(grain), SampleFn(TopLine)}) {
                        const std::string page = MakeJpeg(1024, 1024, o, sample);
                        RawDecode r = DecodeRaw(page, 1000, 100);
                        EXPECT_EQ(r.result, 0) << what << ": " << r.error;
                        r = DecodeRaw(page.substr(0, page.size() / 2), 1000, 100);  // cut, no end marker
                        EXPECT_EQ(r.result, 0) << what << " cut: " << r.error;
                    }
                }
    // Ramps whose DC steps every block cost next to no data where they are coded: counted
    // against the data, they would be refused.
    const auto ramp = [](int x, int, int) { return uint8_t((x / 8 * 8) % 256); };
    const auto steps = [](int x, int y, int) { return uint8_t((x / 8 + y / 8) % 200 + 20); };
    for (const auto& sample : {SampleFn(ramp), SampleFn(steps)})
        for (bool progressive : {false, true}) {
            const std::string page = MakeJpeg(8000, 6000, {.components = 1, .progressive = progressive, .quality = 75, .arithmetic = true}, sample);
            const RawDecode r = DecodeRaw(page, 1000, 1000);
            EXPECT_EQ(r.result, 0) << "ramp " << progressive << ": " << r.error;
        }
    // Sixty-four real intervals of an MCU each, then 4000 empty ones: each interval starts
    // its adaptive states afresh, so they decode blank and cost what blank blocks cost.
    std::string flood = BusyFileClaiming(4096, 4096, {.components = 1, .restartInterval = 1});
    const size_t eoi = flood.rfind(kEoi);
    for (int i = 0; i < 4000; ++i) flood.insert(eoi, std::string{char(0xFF), char(0xD0 + (64 + i) % 8)});
    EXPECT_EQ(DecodeRaw(flood, int64_t(1) << 25, 3000).result, 0);
    // A sequential scan whose header claims a band past 63 still decodes through 63 alone.
    for (uint8_t se : {uint8_t(63), uint8_t(200), uint8_t(255)}) {
        std::string bytes = BusyFileClaiming(1024, 1024, {.components = 1});
        bytes[ScanData(bytes) - 2] = char(se);
        EXPECT_EQ(DecodeRaw(bytes, 1000, 100).result, 0) << int(se);
    }
    // The band of 1..63 coded first twice.
    for (bool arithmetic : {false, true}) {
        const std::string once = MakeJpeg(512, 512, {.components = 1, .arithmetic = arithmetic, .scans = "0: 0 0 0 0; 0: 1 63 0 0;"}, TopLine);
        const auto ac = ScanSpans(once).at(1);
        const std::string twice = once.substr(0, ac.second) + once.substr(ac.first, ac.second - ac.first) + once.substr(ac.second);
        const RawDecode r = DecodeRaw(twice, 1000, 100);
        EXPECT_EQ(r.error, arithmetic ? "JPEG progressive image codes a coefficient's first bits twice" : "") << arithmetic;
        EXPECT_EQ(DecodeRaw(twice, 0, 100).result, 0) << arithmetic << ": no limit";
    }
}

// The read-ahead that counts a file's scans looks 16 MB ahead: its buffer holds that and one
// more piece, not twice as much.
TEST(Jpeg, ReadAheadHoldsWhatItsLookNeeds) {
    if (!kMeasured) GTEST_SKIP() << "the sanitizer's allocator keeps books of its own";
    const std::string bytes = MakeJpeg(512, 512, {.components = 1, .progressive = true});
    const size_t firstEnd = ScanSpans(bytes)[0].second;
    const std::string file = bytes.substr(0, firstEnd) + WithComments(std::string("\xFF\xD8", 2), 300).substr(2) + bytes.substr(firstEnd);
    const auto inUse = [] { return mallinfo2().uordblks + mallinfo2().hblkhd; };
    struct Source {  // notes the most memory in use while the decoder reads
        const std::string* bytes;
        size_t at, base, most;
        static size_t Read(void* user, unsigned char* buffer, size_t size) {
            auto* s = static_cast<Source*>(user);
            s->most = std::max(s->most, mallinfo2().uordblks + mallinfo2().hblkhd - s->base);
            const size_t n = std::min(size, s->bytes->size() - s->at);
            std::memcpy(buffer, s->bytes->data() + s->at, n);
            s->at += n;
            return n;
        }
    } source{&file, 0, inUse(), 0};
    const vjpeg_limits limits{1L << 30, 100, 100000, 0, 32, 0};
    vjpeg_decoder* d = vjpeg_create(Source::Read, nullptr, &source, &limits);
    int width = 0, height = 0, denom = 0;
    EXPECT_EQ(vjpeg_read_header(d, &width, &height, &denom), 0);
    vjpeg_destroy(d);
    EXPECT_GT(source.most, size_t(16) << 20) << "it looked 16 MB ahead";
    EXPECT_LT(source.most, (size_t(16) << 20) + (size_t(1) << 20));
}

namespace {
std::vector<std::string> g_jpegTrace;
void RecordJpegTrace(const char* record, const char* label) { g_jpegTrace.push_back(std::string(record) + " " + label); }
}  // namespace

// The decoder's whole steps trace their entry and exit, on its way out of an error too.
TEST(Jpeg, DecoderStepsTraceTheirEntryAndExit) {
    struct Source {
        std::string bytes;
        size_t at = 0;
        static size_t Read(void* user, unsigned char* buffer, size_t size) {
            auto* s = static_cast<Source*>(user);
            const size_t n = std::min(size, s->bytes.size() - s->at);
            std::memcpy(buffer, s->bytes.data() + s->at, n);
            s->at += n;
            return n;
        }
    };
    const std::string page = MakeJpeg(256, 256, {.components = 1, .progressive = true, .arithmetic = true});
    const std::string busy = BusyFileClaiming(4096, 4096, {.components = 1, .scans = FirstScans("0", 30)});
    for (const std::string* bytes : {&page, &busy}) {
        g_jpegTrace.clear();
        Source source{*bytes};
        const vjpeg_limits limits{1L << 30, 100, 100000, 1000, 32, 0};
        vjpeg_decoder* d = vjpeg_create(Source::Read, nullptr, &source, &limits);
        vjpeg_set_trace(d, RecordJpegTrace);
        int width = 0, height = 0, denom = 0;
        ASSERT_EQ(vjpeg_read_header(d, &width, &height, &denom), 0);
        std::vector<unsigned char> rows(size_t(width) * 3 * size_t(height));
        EXPECT_EQ(vjpeg_decode(d, rows.data(), ptrdiff_t(width) * 3), bytes == &page ? 0 : -1);
        vjpeg_destroy(d);
        std::vector<std::string> open;
        for (const std::string& r : g_jpegTrace) {
            if (r.rfind("Call ", 0) == 0) {
                open.push_back(r.substr(5));
            } else {
                ASSERT_FALSE(open.empty()) << r;
                EXPECT_EQ("Return " + open.back(), r);
                open.pop_back();
            }
        }
        EXPECT_TRUE(open.empty());
        for (const char* step : {"Call JpegDecode::vjpeg_read_header", "Call JpegDecode::prescan_walks", "Call JpegDecode::vjpeg_decode", "Call JpegDecode::watch_fill", "Call JpegDecode::begin_scan"})
            EXPECT_NE(std::find(g_jpegTrace.begin(), g_jpegTrace.end(), step), g_jpegTrace.end()) << step;
    }
}

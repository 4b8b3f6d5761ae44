#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include <jpeglib.h>

#include "PageBMPTestUtil.h"
#include "pages/PageBMP.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

TMemoryStream StreamOf(const std::string& bytes) {
    TMemoryStream m;
    m.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    return m;
}

void Load(TPageBMP& page, const std::string& bytes) {
    TMemoryStream s = StreamOf(bytes);
    page.LoadFromStream(&s);
}

bool IsErrorPage(const TPageBMP& p) {
    return p.Width() == 400 && p.Height() == 600 && p.Pixel(399, 599) == 0x808080;
}

// Offset of the first marker 0xFF code in the file (the frame header's marker).
size_t FindMarker(const std::string& jpeg, uint8_t code) {
    for (size_t i = 2; i + 1 < jpeg.size(); ++i)
        if (static_cast<uint8_t>(jpeg[i]) == 0xFF && static_cast<uint8_t>(jpeg[i + 1]) == code) return i;
    return std::string::npos;
}

// Sets the frame size in the SOF header (baseline 0xC0 or progressive 0xC2).
std::string WithFrameSize(std::string jpeg, uint8_t sof, int width, int height) {
    size_t at = FindMarker(jpeg, sof);
    EXPECT_NE(at, std::string::npos);
    if (at == std::string::npos) return jpeg;
    jpeg[at + 5] = static_cast<char>(height >> 8);
    jpeg[at + 6] = static_cast<char>(height & 0xFF);
    jpeg[at + 7] = static_cast<char>(width >> 8);
    jpeg[at + 8] = static_cast<char>(width & 0xFF);
    return jpeg;
}

// Compares our decode of the bytes with djpeg's at the scale we chose.
void ExpectSameAsDjpeg(const std::string& bytes, int denom, int tolerance = 0) {
    if (!HaveDjpeg()) GTEST_SKIP() << "djpeg is not installed";
    TempDir dir;
    std::string path = dir.Write("page.jpg", bytes);
    TPageBMP page(path);
    page.LoadFromFile(path);
    ASSERT_FALSE(page.LoadError);
    auto oracle = Djpeg(path, denom);
    ASSERT_TRUE(oracle.has_value());
    EXPECT_EQ(page.DecodedWidth, oracle->width);
    EXPECT_EQ(page.DecodedHeight, oracle->height);
    EXPECT_LE(MaxDifference(page, *oracle), tolerance);
    EXPECT_GE(MaxDifference(page, *oracle), 0);
}

}  // namespace

TEST(Jpeg, ScaleIsTheLargestKeepingBothSidesBelow3000) {
    struct Case { int w, h, ew, eh; } cases[] = {
        {2999, 2999, 2999, 2999},  // full size
        {3000, 10, 1500, 5},       // 3000 is not below 3000
        {6000, 4000, 1500, 1000},  // 1/2 would be 3000 by 2000
        {5999, 7, 1500, 2},        // 1/2 rounds up to 3000
        {30000, 100, 3750, 13},    // 1/8 whatever the size
        {10, 5997, 5, 2999},       // 1/2 rounds up to 2999
        {10, 5999, 3, 1500},
    };
    JpegOptions grey;
    grey.components = 1;
    grey.quality = 50;
    for (const auto& c : cases) {
        TPageBMP page("p.jpg");
        Load(page, MakeJpeg(c.w, c.h, grey));
        ASSERT_FALSE(page.LoadError) << c.w << "x" << c.h;
        EXPECT_EQ(page.Width(), c.ew) << c.w << "x" << c.h;
        EXPECT_EQ(page.Height(), c.eh) << c.w << "x" << c.h;
        EXPECT_EQ(page.DecodedWidth, c.ew);
        EXPECT_EQ(page.DecodedHeight, c.eh);
        EXPECT_EQ(page.PixelFormat(), TPixelFormat::pf24bit);
    }
}

TEST(Jpeg, PixelsMatchDjpegForColourGreyAndProgressive) {
    ExpectSameAsDjpeg(MakeJpeg(333, 217), 1);
    JpegOptions grey;
    grey.components = 1;
    ExpectSameAsDjpeg(MakeJpeg(101, 77, grey), 1);
    JpegOptions progressive;
    progressive.progressive = true;
    progressive.quality = 75;
    ExpectSameAsDjpeg(MakeJpeg(640, 480, progressive), 1);
    JpegOptions q100;
    q100.quality = 100;
    ExpectSameAsDjpeg(MakeJpeg(1, 1, q100), 1);
}

TEST(Jpeg, ScaledPixelsMatchDjpeg) {
    ExpectSameAsDjpeg(MakeJpeg(3001, 211), 2);
    JpegOptions progressive;
    progressive.progressive = true;
    ExpectSameAsDjpeg(MakeJpeg(6007, 1203, progressive), 4);
    JpegOptions grey;
    grey.components = 1;
    ExpectSameAsDjpeg(MakeJpeg(24500, 61, grey), 8);
}

TEST(Jpeg, CmykAndYcckBecomeRgb) {
    // Flat blocks of four colours keep the lossy codec close to the stored values. Adobe's
    // convention (libjpeg writes its marker for CMYK): values are stored inverted.
    const uint8_t ink[4][4] = {{255, 255, 255, 255}, {0, 255, 255, 255}, {255, 128, 64, 200}, {30, 60, 90, 255}};
    auto sample = [&](int x, int y, int c) { return ink[(x / 32) + 2 * (y / 32)][c]; };
    for (bool ycck : {false, true}) {
        JpegOptions o;
        o.components = 4;
        o.ycck = ycck;
        o.quality = 100;
        TPageBMP page("c.jpg");
        Load(page, MakeJpeg(64, 64, o, sample));
        ASSERT_FALSE(page.LoadError) << ycck;
        for (int i = 0; i < 4; ++i) {
            TColor got = page.Pixel((i % 2) * 32 + 16, (i / 2) * 32 + 16);
            int k = ink[i][3];
            int expect[3] = {ink[i][0] * k / 255, ink[i][1] * k / 255, ink[i][2] * k / 255};
            EXPECT_NEAR(GetRValue(got), expect[0], 4) << i << " ycck " << ycck;
            EXPECT_NEAR(GetGValue(got), expect[1], 4) << i << " ycck " << ycck;
            EXPECT_NEAR(GetBValue(got), expect[2], 4) << i << " ycck " << ycck;
        }
    }
}

TEST(Jpeg, TruncatedFilesDecodeWhatIsThereSilently) {
    for (bool progressive : {false, true}) {
        JpegOptions o;
        o.progressive = progressive;
        std::string full = MakeJpeg(200, 160, o);
        std::string cut = full.substr(0, full.size() / 2);
        testing::internal::CaptureStderr();
        TPageBMP page("t.jpg");
        Load(page, cut);
        std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(printed, "");
        ASSERT_FALSE(page.LoadError) << progressive;
        EXPECT_EQ(page.Width(), 200);
        EXPECT_EQ(page.Height(), 160);
        if (!progressive) {
            // The top rows arrived whole and match the complete file's.
            TPageBMP whole("w.jpg");
            Load(whole, full);
            for (int x = 0; x < 200; ++x) ASSERT_EQ(page.Pixel(x, 3), whole.Pixel(x, 3)) << x;
        }
        ExpectSameAsDjpeg(cut, 1);
    }
}

TEST(Jpeg, CorruptFilesGiveTheErrorPage) {
    std::string good = MakeJpeg(48, 32);
    std::vector<std::pair<const char*, std::string>> bad = {
        {"SOI only", std::string("\xFF\xD8", 2)},
        {"SOI EOI", std::string("\xFF\xD8\xFF\xD9", 4)},
        {"no SOI", good.substr(2)},
        {"zero width", WithFrameSize(good, 0xC0, 0, 32)},
        {"zero height", WithFrameSize(good, 0xC0, 48, 0)},
        {"header cut", good.substr(0, FindMarker(good, 0xC0) + 6)},
    };
    std::string precision = good;
    precision[FindMarker(good, 0xC0) + 4] = 12;  // 12-bit samples
    bad.emplace_back("12-bit", precision);
    std::string components = good;
    components[FindMarker(good, 0xC0) + 9] = 2;  // two components: no colour space for them
    bad.emplace_back("2 components", components);
    for (const auto& [what, bytes] : bad) {
        TPageBMP page("bad.jpg");
        Load(page, bytes);
        EXPECT_TRUE(page.LoadError) << what;
        EXPECT_TRUE(IsErrorPage(page)) << what;
    }
    // Every single-byte change in the headers decodes or fails cleanly.
    size_t sos = FindMarker(good, 0xDA);
    for (size_t i = 2; i < sos + 14 && i < good.size(); ++i) {
        std::string damaged = good;
        damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
        TPageBMP page("d.jpg");
        Load(page, damaged);
        EXPECT_TRUE(page.LoadError ? IsErrorPage(page) : !page.Empty()) << i;
    }
}

TEST(Jpeg, HugeProgressiveFrameIsRefusedByTheMemoryLimit) {
    JpegOptions o;
    o.progressive = true;
    std::string bytes = WithFrameSize(MakeJpeg(64, 64, o), 0xC2, 65000, 65000);
    auto start = std::chrono::steady_clock::now();
    TPageBMP page("huge.jpg");
    Load(page, bytes);
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(page.LoadError);
    EXPECT_TRUE(IsErrorPage(page));
    EXPECT_LT(seconds, 5.0);
}

TEST(Jpeg, HugeBaselineFrameFromATinyFileStaysBounded) {
    // libjpeg decodes what the frame claims (at 1/8), filling the missing data: bounded work.
    std::string bytes = WithFrameSize(MakeJpeg(64, 64), 0xC0, 65000, 65000);
    auto start = std::chrono::steady_clock::now();
    TPageBMP page("huge.jpg");
    Load(page, bytes);
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(page.Width(), 8125);
    EXPECT_EQ(page.Height(), 8125);
    EXPECT_LT(seconds, 20.0);
}

TEST(Jpeg, TooManyScansAreRefused) {
    // One DC scan and one scan per AC coefficient and component: 190 scans, a valid file.
    auto make = [](int acScansPerComponent) {
        jpeg_compress_struct c{};
        jpeg_error_mgr err{};
        c.err = jpeg_std_error(&err);
        jpeg_create_compress(&c);
        unsigned char* out = nullptr;
        unsigned long size = 0;
        jpeg_mem_dest(&c, &out, &size);
        c.image_width = 32;
        c.image_height = 32;
        c.input_components = 3;
        c.in_color_space = JCS_RGB;
        jpeg_set_defaults(&c);
        std::vector<jpeg_scan_info> scans;
        scans.push_back({3, {0, 1, 2, 0}, 0, 0, 0, 0});
        for (int comp = 0; comp < 3; ++comp) {
            int per = 63 / acScansPerComponent;
            for (int k = 1; k <= 63; k += per) scans.push_back({1, {comp, 0, 0, 0}, k, std::min(63, k + per - 1), 0, 0});
        }
        c.scan_info = scans.data();
        c.num_scans = static_cast<int>(scans.size());
        jpeg_start_compress(&c, TRUE);
        std::vector<uint8_t> row(32 * 3, 128);
        while (c.next_scanline < c.image_height) {
            JSAMPROW r = row.data();
            jpeg_write_scanlines(&c, &r, 1);
        }
        jpeg_finish_compress(&c);
        std::string bytes(reinterpret_cast<char*>(out), size);
        jpeg_destroy_compress(&c);
        std::free(out);
        return bytes;
    };
    TPageBMP many("many.jpg");
    Load(many, make(63));
    EXPECT_TRUE(many.LoadError);
    TPageBMP some("some.jpg");
    Load(some, make(21));  // 64 scans: still fine
    EXPECT_FALSE(some.LoadError);
    EXPECT_EQ(some.Width(), 32);
}

TEST(Jpeg, CmykFromImageMagickMatchesItsOwnDecode) {
    std::string dir = VELLICOR_SOURCE_DIR "/tests/data/pages/jpeg/";
    auto expected = ReadPnm(dir + "im-cmyk.ppm");
    ASSERT_TRUE(expected.has_value());
    TPageBMP page(dir + "im-cmyk.jpg");
    page.LoadFromFile(page.FileName);
    ASSERT_FALSE(page.LoadError);
    EXPECT_EQ(MaxDifference(page, *expected), 0);
}

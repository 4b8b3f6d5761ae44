// LZW decoding, interlacing and hostile image data.
#include <gtest/gtest.h>

#include "GifTestUtil.h"
#include "codecs/gif/GIFPage.h"
#include "pages/PageBMP.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;
using namespace std::string_literals;

namespace {

using Codes = std::vector<std::pair<int, int>>;

// One frame of width x height over a 16-grey table, its data given as codes of ics.
std::string FrameWithCodes(int width, int height, int ics, const Codes& codes, const std::string& extensions = "",
                           bool terminate = true) {
    GifSpec spec{width, height, GreyRamp(16), {}};
    GifFrame f;
    f.width = width, f.height = height;
    f.extensions = extensions;
    f.data = char(ics) + SubBlocks(PackCodes(codes), terminate);
    spec.frames.push_back(f);
    return MakeGif(spec);
}

std::vector<uint8_t> Frame0(const std::string& bytes, std::string* error = nullptr,
                            std::vector<std::string>* warnings = nullptr) {
    LoadedGif g;
    LoadGif(g, bytes);
    if (error) *error = g.error;
    if (warnings) *warnings = g.warnings;
    if (g.image.GetEmpty()) return {};
    return Pixels(*g.image.Images().GetImage(0));
}

}  // namespace

TEST(GIFDecode, HandMadeCodeStreams) {
    Codes fullTable{{4, 3}, {0, 3}};
    // Code 0 over and over fills the table; the width stops at 12 bits.
    int next = 6, width = 3, limit = 8;
    for (int i = 0; i < 4100; ++i) {
        fullTable.push_back({0, width});
        if (next < 4096 && ++next >= limit && limit < 4096) limit *= 2, ++width;
    }
    fullTable.push_back({4, 12});  // clear: back to 3 bits
    fullTable.push_back({1, 3});
    fullTable.push_back({2, 3});
    fullTable.push_back({5, 3});
    std::vector<uint8_t> fullPixels(4101, 0);
    fullPixels.push_back(1);
    fullPixels.push_back(2);
    struct Case {
        const char* name;
        int width;
        Codes codes;
        std::vector<uint8_t> pixels;
        std::string error;
    } cases[] = {
        {"one pixel", 1, {{4, 3}, {0, 3}, {5, 3}}, {0}, ""},
        {"code not yet in the table", 3, {{4, 3}, {1, 3}, {6, 3}, {5, 3}}, {1, 1, 1}, ""},
        {"string from the table", 5, {{4, 3}, {2, 3}, {3, 3}, {6, 3}, {5, 4}}, {2, 3, 2, 3, 0}, ""},
        {"clear then end as the first code", 2, {{4, 3}, {5, 3}, {1, 3}, {5, 3}}, {5, 1}, ""},
        {"table full, then a clear", 4103, fullTable, fullPixels, ""},
        {"entry that is its own prefix", 20, {{4, 3}, {0, 3}, {7, 3}, {0, 3}, {7, 4}, {5, 4}}, {}, "Circular decoder table entry"},
        // Far codes make slot 11 point at 12 and slot 12 at 11 (code size 3).
        {"two entries in a circle", 20, {{8, 4}, {0, 4}, {12, 4}, {11, 4}, {0, 4}, {11, 4}, {9, 4}}, {}, "Circular decoder table entry"},
    };
    for (const Case& c : cases) {
        std::string error;
        const int ics = std::string(c.name) == "two entries in a circle" ? 3 : 2;
        std::vector<uint8_t> got = Frame0(FrameWithCodes(c.width, 1, ics, c.codes), &error);
        EXPECT_EQ(error, c.error) << c.name;
        if (c.error.empty()) {
            EXPECT_EQ(got, c.pixels) << c.name;
        }
    }
}

// An invalid stream may use a code from before a clear as the first code after it, and then
// the code that follows it: the string decoded from it must be what a fresh table gives, so
// each entry the clear leaves behind (first to last) is tried. The pixels 1 to 7 before the
// clear make entries 10 to 15.
TEST(GIFDecode, ClearForgetsEveryEntryOfTheTable) {
    Codes before{{8, 4}};
    for (int pixel = 1; pixel <= 7; ++pixel) before.push_back({pixel, 4});
    before.push_back({8, 5});  // entry 15 made the codes 5 bits wide
    for (int stale = 10; stale <= 15; ++stale) {
        SCOPED_TRACE(stale);
        // The stale code, taken as a pixel; then the code about to be made, which repeats
        // the stale string with its first pixel.
        const Codes after{{stale, 4}, {10, 4}, {9, 4}};
        Codes reset = before;
        reset.insert(reset.end(), after.begin(), after.end());
        Codes fresh{{8, 4}};
        fresh.insert(fresh.end(), after.begin(), after.end());
        std::string error;
        const std::vector<uint8_t> alone = Frame0(FrameWithCodes(4, 1, 3, fresh), &error);
        ASSERT_EQ(error, "");
        EXPECT_EQ(alone, (std::vector<uint8_t>{uint8_t(stale), 0, 0, uint8_t(stale)}));
        const std::vector<uint8_t> got = Frame0(FrameWithCodes(11, 1, 3, reset), &error);
        ASSERT_EQ(error, "");
        std::vector<uint8_t> want{1, 2, 3, 4, 5, 6, 7};
        want.insert(want.end(), alone.begin(), alone.end());
        EXPECT_EQ(got, want);
    }
}

TEST(GIFDecode, ShortDataKeepsTheFillValueAndLoadingGoesOn) {
    // Four of eight pixels, then the sub-blocks end; a second frame follows.
    const Codes half{{4, 3}, {1, 3}, {2, 3}, {3, 3}, {1, 4}};
    for (bool transparent : {false, true}) {
        GifSpec spec{4, 2, GreyRamp(16), {}};
        GifFrame f;
        f.width = 4, f.height = 2;
        f.extensions = transparent ? Gce(true, 9) : "";
        f.data = char(2) + SubBlocks(PackCodes(half));
        spec.frames.push_back(f);
        GifFrame second;
        second.width = 4, second.height = 2;
        second.pixels = std::vector<uint8_t>(8, 7);
        spec.frames.push_back(second);
        LoadedGif g;
        LoadGif(g, MakeGif(spec));
        ASSERT_TRUE(g.error.empty()) << g.error;
        ASSERT_EQ(g.image.Images().GetCount(), 2);
        const uint8_t fill = transparent ? 9 : 0;
        EXPECT_EQ(Pixels(*g.image.Images().GetImage(0)), (std::vector<uint8_t>{1, 2, 3, 1, fill, fill, fill, fill}));
        EXPECT_EQ(Pixels(*g.image.Images().GetImage(1)), std::vector<uint8_t>(8, 7));
        EXPECT_TRUE(Has(g.warnings, "Decoder bit buffer under-run"));
    }
    // A sub-block longer than the rest of the file: what is there is used.
    std::string cut = FrameWithCodes(4, 1, 2, {{4, 3}, {1, 3}, {2, 3}, {3, 3}, {1, 4}, {5, 4}}, "", false);
    cut[cut.size() - 5] = char(200);  // the block's length byte (3 bytes of codes, then ";")
    std::vector<std::string> warnings;
    std::string error;
    EXPECT_EQ(Frame0(cut, &error, &warnings), (std::vector<uint8_t>{1, 2, 3, 1}));
    EXPECT_TRUE(error.empty() && Has(warnings, "Premature end of data")) << error;
}

TEST(GIFDecode, SurplusDataIsSkippedToTheTerminator) {
    GifSpec spec{2, 1, GreyRamp(4), {}};
    GifFrame f;
    f.width = 2, f.height = 1;
    f.data = LzwLiteral({1, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3}, 2);
    spec.frames.push_back(f);
    f.data.clear();
    f.pixels = {3, 0};
    spec.frames.push_back(f);
    LoadedGif g;
    LoadGif(g, MakeGif(spec));
    ASSERT_TRUE(g.error.empty()) << g.error;
    ASSERT_EQ(g.image.Images().GetCount(), 2);
    EXPECT_EQ(Pixels(*g.image.Images().GetImage(0)), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(Pixels(*g.image.Images().GetImage(1)), (std::vector<uint8_t>{3, 0}));
    EXPECT_TRUE(g.warnings.empty());
}

TEST(GIFDecode, InterlacedRowOrder) {
    for (auto [height, order] : std::vector<std::pair<int, std::vector<uint8_t>>>{
             {8, {0, 4, 2, 6, 1, 3, 5, 7}}, {3, {0, 2, 1}}, {1, {0}}, {5, {0, 4, 2, 1, 3}}}) {
        GifSpec spec{2, height, GreyRamp(16), {}};
        GifFrame f;
        f.width = 2, f.height = height, f.interlaced = true;
        for (int k = 0; k < height; ++k) f.pixels.push_back(uint8_t(k)), f.pixels.push_back(uint8_t(k));
        spec.frames.push_back(f);
        LoadedGif g;
        LoadGif(g, MakeGif(spec));
        ASSERT_TRUE(g.error.empty()) << g.error;
        TGIFSubImage* frame = g.image.Images().GetImage(0);
        std::vector<uint8_t> streamRowOfImageRow(size_t(height), 0);
        for (int y = 0; y < height; ++y) streamRowOfImageRow[size_t(y)] = frame->GetPixel(1, y);
        std::vector<uint8_t> imageRowOfStreamRow(size_t(height), 0);
        for (int y = 0; y < height; ++y) imageRowOfStreamRow[streamRowOfImageRow[size_t(y)]] = uint8_t(y);
        EXPECT_EQ(imageRowOfStreamRow, order) << height;
    }
}

TEST(GIFDecode, HostileSizesAndCodeSizes) {
    auto withCodeSize = [](int ics) {
        GifSpec spec{4, 1, GreyRamp(4), {}};
        GifFrame f;
        f.width = 4, f.height = 1;
        f.data = char(ics) + SubBlocks(std::string(6, '\x55'));
        spec.frames.push_back(f);
        return MakeGif(spec);
    };
    std::string error;
    Frame0(withCodeSize(0), &error);
    EXPECT_EQ(error, "");
    Frame0(withCodeSize(12), &error);
    EXPECT_EQ(error, "Invalid GIF data");
    Frame0(withCodeSize(255), &error);
    EXPECT_EQ(error, "Invalid GIF data");

    // A huge frame is refused before its buffer is made; a huge screen when it is composed.
    GifSpec huge{65535, 65535, GreyRamp(2), {}};
    GifFrame f;
    f.width = 65535, f.height = 65535;
    f.data = LzwLiteral({1}, 2);
    huge.frames.push_back(f);
    Frame0(MakeGif(huge), &error);
    EXPECT_EQ(error, "Invalid image dimensions");
    huge.frames[0].width = huge.frames[0].height = 2;
    huge.frames[0].data = LzwLiteral({1, 0, 0, 1}, 2);
    TBitmap out;
    const std::string screen = MakeGif(huge);
    TByteViewStream s(screen.data(), int64_t(screen.size()));
    EXPECT_THROW(DecodeGifPage(s, out), GIFException);

    // Frames that each fit but together would not.
    GifSpec many{16384, 16384, GreyRamp(2), {}};
    GifFrame big;
    big.width = 16384, big.height = 8192;
    big.data = LzwLiteral({1}, 2);
    for (int i = 0; i < 3; ++i) many.frames.push_back(big);
    LoadedGif g;
    LoadGif(g, MakeGif(many));
    EXPECT_EQ(g.error, "Invalid image dimensions");
    ASSERT_EQ(g.image.Images().GetCount(), 2);
    EXPECT_EQ(g.image.Images().GetImage(1)->GetPixel(16383, 8191), 0) << "the rest of a short frame is 0";
    EXPECT_EQ(g.image.Images().GetImage(1)->GetPixel(0, 0), 1);
}

TEST(GIFDecode, TruncatedAtEveryByteNeverFails) {
    GifSpec spec{5, 4, GreyRamp(8), {}};
    GifFrame f;
    f.width = 5, f.height = 4;
    f.extensions = "!\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00!\xFE\x03" "abc\x00"s + Gce(true, 2) +
                   "!\x01\x0C" + std::string(12, '\x01') + "\x02hi\x00"s;
    for (int i = 0; i < 20; ++i) f.pixels.push_back(uint8_t(i % 8));
    spec.frames.push_back(f);
    f.extensions.clear();
    f.interlaced = true;
    f.localColors = GreyRamp(4);
    f.left = 1;
    f.pixels.assign(20, 3);
    spec.frames.push_back(f);
    const std::string whole = MakeGif(spec);
    LoadedGif full;
    LoadGif(full, whole);
    ASSERT_TRUE(full.error.empty()) << full.error;
    ASSERT_EQ(full.image.Images().GetCount(), 2);
    for (size_t n = 0; n < whole.size(); ++n) {
        LoadedGif g;
        LoadGif(g, whole.substr(0, n));
        TBitmap page;
        try {
            g.image.AssignTo(page);
        } catch (const GIFException&) {
        }
        if (g.error.empty() && !page.Empty()) {
            EXPECT_EQ(page.Width() * 10 + page.Height(), 54) << n;
        }
    }
    // Only extensions, or a screen of no size: no picture, no fault.
    for (const std::string& bytes :
         {"GIF89a\x02\x00\x02\x00\x00\x00\x00!\xFE\x01x\x00!\xFE\x01y\x00;"s, "GIF89a" + std::string(7, '\0') + std::string(100000, '\0'),
          MakeGif(GifSpec{0, 0, GreyRamp(2), {GifFrame{0, 0, 0, 0, false, {}, "", "", {}, 0}}})}) {
        TBitmap page;
        TByteViewStream s(bytes.data(), int64_t(bytes.size()));
        try {
            DecodeGifPage(s, page);
        } catch (const GIFException&) {
        }
        EXPECT_TRUE(page.Empty());
    }
}

namespace {

int g_gifPasses = 0;
int g_gifStopAt = 1;
void StopAtFirstPass() {
    if (++g_gifPasses == g_gifStopAt) RequestStop();
}

// A 2000 x 1200 frame of four greys.
std::string LargeGif(bool interlaced) {
    const int w = 2000, h = 1200;
    GifSpec spec{w, h, GreyRamp(4), {}};
    GifFrame f;
    f.width = w, f.height = h, f.interlaced = interlaced;
    f.pixels.resize(size_t(w) * h);
    for (size_t i = 0; i < f.pixels.size(); ++i) f.pixels[i] = uint8_t(i / 4096 % 4);
    spec.frames = {f};
    return MakeGif(spec);
}

}  // namespace

// Esc while a large frame is decoded: the window's messages get through between pieces of
// the frame, and the program's end stops the decode there, leaving no page.
TEST(GIFDecode, LargeFrameStopsBetweenPiecesOnceTheProgramEnds) {
    FakeUi ui;
    const int w = 2000, h = 1200;
    for (bool interlaced : {false, true}) {
        const std::string bytes = LargeGif(interlaced);
        g_gifPasses = 0;
        ui.onProcessMessages = StopAtFirstPass;
        TBitmap page;
        TByteViewStream s(bytes.data(), int64_t(bytes.size()));
        EXPECT_THROW(DecodeGifPage(s, page), GIFException) << interlaced;
        EXPECT_TRUE(page.Empty()) << interlaced;
        EXPECT_EQ(g_gifPasses, 1) << interlaced;
        RequestStop(false);
        ui.onProcessMessages = nullptr;
        ui.processMessagesCalls = 0;
        TByteViewStream again(bytes.data(), int64_t(bytes.size()));
        ASSERT_NO_THROW(DecodeGifPage(again, page)) << interlaced;
        EXPECT_EQ(page.Width() * 10000 + page.Height(), w * 10000 + h) << interlaced;
        EXPECT_EQ(ui.processMessagesCalls, 2) << interlaced << ": after each million pixels";
    }
}

// The decoded frame becomes the 24-bit page a million pixels at a time, messages let
// through between: Esc there drops the page, with no step after the pass that saw it.
TEST(GIFDecode, TheFrameBecomesThePageInPiecesAndStopsOnceTheProgramEnds) {
    FakeUi ui;
    const std::string bytes = LargeGif(false);
    TByteViewStream s(bytes.data(), int64_t(bytes.size()));
    TPageBMP whole("big.gif");
    whole.LoadFromStream(&s);
    ASSERT_FALSE(whole.LoadError);
    EXPECT_EQ(whole.Width() * 10000 + whole.Height(), 2000 * 10000 + 1200);
    // Two passes while decoding, one before the page is made, then one after each 524 rows.
    EXPECT_EQ(ui.processMessagesCalls, 6);
    for (int stopAt : {4, 5}) {
        g_gifPasses = 0;
        g_gifStopAt = stopAt;
        ui.onProcessMessages = StopAtFirstPass;
        TByteViewStream again(bytes.data(), int64_t(bytes.size()));
        TPageBMP page("big.gif");
        page.LoadFromStream(&again);
        RequestStop(false);
        ui.onProcessMessages = nullptr;
        EXPECT_TRUE(page.LoadError && page.Empty()) << stopAt;
        EXPECT_EQ(g_gifPasses, stopAt) << "nothing let messages through after the stop";
    }
    g_gifStopAt = 1;
}

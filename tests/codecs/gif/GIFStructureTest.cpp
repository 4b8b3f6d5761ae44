// The stream structure, colour tables and extensions of GIF images.
#include <gtest/gtest.h>

#include "GifTestUtil.h"

using namespace vellicor;
using namespace vellicor::test;
using namespace std::string_literals;

namespace {

GifSpec TwoByTwo() {
    GifSpec spec{2, 2, {0x000000, 0xFF0000, 0x00FF00, 0x0000FF}, {}};
    GifFrame f;
    f.width = f.height = 2;
    f.pixels = {0, 1, 2, 3};
    spec.frames.push_back(f);
    return spec;
}

}  // namespace

TEST(GIFStream, SignatureVariants) {
    const std::string good = MakeGif(TwoByTwo());
    struct Case {
        const char* name;
        std::string bytes;
        bool loads;
    } cases[] = {
        {"plain", good, true},
        {"lower case", "gif" + good.substr(3), true},
        {"any version", "GIFxyz" + good.substr(6), true},
        {"four bytes first", "\x01\x02\x03\x04" + good, true},
        {"five bytes first", "\x01\x02\x03\x04\x05" + good, false},
        {"not a gif", "PNG89a" + good.substr(6), false},
        {"too short", "GIF8", false},
    };
    for (const Case& c : cases) {
        LoadedGif g;
        LoadGif(g, c.bytes);
        EXPECT_EQ(g.error.empty(), c.loads) << c.name << ": " << g.error;
        if (c.loads) {
            EXPECT_EQ(g.image.GetWidth() * 10 + g.image.Images().GetCount(), 21) << c.name;
        } else {
            EXPECT_EQ(g.position, 0) << c.name << ": the stream goes back to where loading began";
        }
    }
    LoadedGif bad;
    LoadGif(bad, "PNG89a" + good.substr(6));
    EXPECT_EQ(bad.error, "Invalid GIF signature");
}

TEST(GIFStream, BlockLoopAndTrailer) {
    GifSpec spec = TwoByTwo();
    const size_t second = MakeGif(spec).size() - 1;  // where the second frame starts
    spec.frames.push_back(spec.frames[0]);
    std::string twoFrames = MakeGif(spec);
    struct Case {
        const char* name;
        std::string bytes;
        int frames;
        std::vector<std::string> warnings;
    } cases[] = {
        {"zeros between blocks", twoFrames.substr(0, second) + std::string(5, '\0') + twoFrames.substr(second), 2, {}},
        {"no trailer", twoFrames.substr(0, twoFrames.size() - 1), 2, {}},
        {"unknown block", twoFrames.substr(0, second) + "X" + twoFrames.substr(second), 1,
         {"Unknown GIF block type", "Invalid Image trailer"}},
        {"extensions after the last frame", twoFrames.substr(0, twoFrames.size() - 1) + "!\xFE\x02hi\x00;"s, 3, {}},
    };
    for (const Case& c : cases) {
        LoadedGif g;
        LoadGif(g, c.bytes);
        EXPECT_TRUE(g.error.empty()) << c.name << ": " << g.error;
        EXPECT_EQ(g.image.Images().GetCount(), c.frames) << c.name;
        EXPECT_EQ(g.warnings, c.warnings) << c.name;
        EXPECT_FALSE(g.image.GetEmpty());
        EXPECT_EQ(Pixels(*g.image.Images().GetImage(0)), (std::vector<uint8_t>{0, 1, 2, 3})) << c.name;
    }
    LoadedGif trailing;
    LoadGif(trailing, cases[3].bytes);
    TGIFSubImage* last = trailing.image.Images().GetImage(2);
    EXPECT_TRUE(last->GetEmpty() && last->Extensions().GetCount() == 1);
}

TEST(GIFStream, FrameOfWidthZeroTakesTheScreenSize) {
    GifSpec spec = TwoByTwo();
    spec.width = 3;
    spec.frames[0].width = 0;
    spec.frames[0].pixels = {1, 1, 1, 2, 2, 2, 3};
    LoadedGif g;
    LoadGif(g, MakeGif(spec));
    ASSERT_TRUE(g.error.empty()) << g.error;
    TGIFSubImage* f = g.image.Images().GetImage(0);
    EXPECT_EQ(f->Width() * 10 + f->Height(), 32);
    EXPECT_EQ(g.warnings, std::vector<std::string>{"Image exceeds Logical Screen size"});
    EXPECT_EQ(f->GetPixel(2, 1), 2);
    EXPECT_THROW(f->GetPixel(3, 0), GIFException);  // x equal to the width
    EXPECT_THROW(f->GetScanline(2), GIFException);
}

TEST(GIFImage, SettersCheckTheirRanges) {
    TGIFImage image;
    EXPECT_EQ(image.GetDrawOptions(), 0x060F);
    for (int bits : {2, 9}) EXPECT_THROW(image.SetReductionBits(bits), GIFException) << bits;
    for (int bits : {3, 8}) EXPECT_NO_THROW(image.SetReductionBits(bits)) << bits;
    image.SetAnimationSpeed(-5);
    EXPECT_EQ(image.GetAnimationSpeed(), 0);
    image.SetAnimationSpeed(5000);
    EXPECT_EQ(image.GetAnimationSpeed(), 1000);
    LoadedGif g;
    LoadGif(g, MakeGif(TwoByTwo()));
    EXPECT_THROW(g.image.SetWidth(1), GIFException);
    g.image.SetWidth(5);
    EXPECT_EQ(g.image.GetWidth(), 5);
    EXPECT_EQ(g.image.GetVersion(), gv87a);
}

TEST(GIFColorMap, StorageLookupAndOrder) {
    TGIFImage image;
    std::vector<std::string> warnings;
    image.OnWarning = [&](const void*, TGIFSeverity, const std::string& m) { warnings.push_back(m); };
    TGIFGlobalColorMap& map = image.GetColorMap();
    for (auto [count, written] : std::vector<std::pair<int, int>>{{3, 12}, {129, 768}, {0, 0}}) {
        map.Clear();
        for (int i = 0; i < count; ++i) map.Add({uint8_t(i), 1, 2});
        TMemoryStream s;
        map.SaveToStream(s);
        EXPECT_EQ(s.Size(), written) << count;
        if (count == 3) {
            EXPECT_EQ(s.Memory()[9] + s.Memory()[10] + s.Memory()[11], 0);
        }
    }
    map.Clear();
    map.SetCapacity(17);
    EXPECT_EQ(map.Capacity(), 32);
    map.SetCapacity(250);
    EXPECT_EQ(map.Capacity(), 256);
    map.Clear();
    EXPECT_THROW(map.GetColor(0), GIFException);
    for (int i = 0; i < 256; ++i) map.Add({uint8_t(i), uint8_t(i), 0});
    EXPECT_THROW(map.Add({1, 2, 3}), GIFException);
    EXPECT_EQ(map.Count(), 256);
    map.Clear();
    for (TGIFColor c : {TGIFColor{9, 9, 9}, TGIFColor{1, 2, 3}, TGIFColor{5, 5, 5}, TGIFColor{1, 2, 3}, TGIFColor{7, 7, 7}})
        map.Add(c);
    EXPECT_EQ(map.GetColor(-1), RGBColor(9, 9, 9));
    EXPECT_EQ(warnings, (std::vector<std::string>{"Invalid color index", "Invalid color index"}));
    EXPECT_EQ(map.IndexOf({1, 2, 3}), 3);
    map.SetOptimized(true);
    EXPECT_EQ(map.IndexOf({1, 2, 3}), 1);
    EXPECT_THROW(map.Delete(5), GIFException);
    map.Delete(0);
    EXPECT_EQ(map.GetColor(0), RGBColor(1, 2, 3));
    HPALETTE pal = map.ExportPalette();
    ASSERT_EQ(PaletteEntryCount(pal), 4);
    EXPECT_EQ((*pal)[1].peFlags, PC_NOCOLLAPSE);
}

TEST(GIFColorMap, OptimizeSortsByUseAndRemapsPixels) {
    GifSpec spec{6, 1, {0x111111, 0x222222, 0x333333, 0x444444}, {}};
    GifFrame f;
    f.width = 6, f.height = 1;
    f.extensions = Gce(true, 2);
    f.pixels = {2, 2, 2, 1, 1, 3};
    spec.frames.push_back(f);
    LoadedGif g;
    LoadGif(g, MakeGif(spec));
    TGIFGlobalColorMap& map = g.image.GetColorMap();
    ASSERT_TRUE(map.Optimize());
    TGIFSubImage* frame = g.image.Images().GetImage(0);
    EXPECT_EQ(Pixels(*frame), (std::vector<uint8_t>{0, 0, 0, 1, 1, 2}));
    EXPECT_EQ(map.Count(), 3);  // unused colours go
    EXPECT_EQ(map.GetColor(0), RGBColor(0x33, 0x33, 0x33));
    EXPECT_EQ(frame->GraphicControlExtension()->GetTransparentColorIndex(), 0);
    // Already in order of use: nothing changes, unused entries stay.
    spec.frames[0].pixels = {0, 0, 0, 1, 1, 2};
    LoadedGif sorted;
    LoadGif(sorted, MakeGif(spec));
    ASSERT_TRUE(sorted.image.GetColorMap().Optimize());
    EXPECT_EQ(sorted.image.GetColorMap().Count(), 4);
    EXPECT_EQ(Pixels(*sorted.image.Images().GetImage(0)), (std::vector<uint8_t>{0, 0, 0, 1, 1, 2}));
}

TEST(GIFExtensions, ReadAsTheirKind) {
    auto frameWith = [](const std::string& ext) {
        GifSpec spec = TwoByTwo();
        spec.frames[0].extensions = ext;
        return MakeGif(spec);
    };
    struct Case {
        const char* name;
        std::string extensions;
        std::string error;
        std::vector<std::string> warnings;
    } cases[] = {
        {"comment", "!\xFE\x02" "ab\x02" "cd\x00"s, "", {}},
        {"loop", std::string("!\xFF\x0BNETSCAPE2.0\x03\x01\x05\x00\x00", 19), "", {}},
        {"loop too short", std::string("!\xFF\x0BNETSCAPE2.0\x01\x01\x00", 17), "Invalid GIF data", {}},
        {"unknown application", std::string("!\xFF\x0BXMP DataXMP\x03" "abc\x01z\x00", 21), "", {}},
        {"application size 10", std::string("!\xFF\x0A" "ABCDEFGHIJ\x00", 14), "", {}},
        {"application size 9", std::string("!\xFF\x09" "ABCDEFGHI\x00", 13), "Unsupported Application Extension block size", {}},
        {"application size 12", std::string("!\xFF\x0C" "ABCDEFGHIJKL\x00", 16), "", {}},
        {"unregistered label", "!\x02\x00"s, "Unknown extension type", {}},
        {"graphic control of 5 bytes", std::string("!\xF9\x05\x01\x07\x00\x03\x09\x00", 9), "", {}},
        {"graphic control cut short", std::string("!\xF9\x04\x01", 4), "", {"Premature end of data"}},
    };
    for (const Case& c : cases) {
        LoadedGif g;
        std::string bytes = frameWith(c.extensions);
        if (std::string(c.name) == "graphic control cut short") bytes = bytes.substr(0, 13 + 12) + c.extensions;
        LoadGif(g, bytes);
        EXPECT_EQ(g.error, c.error) << c.name;
        EXPECT_EQ(g.warnings, c.warnings) << c.name;
        if (!c.error.empty() || g.image.GetEmpty()) continue;
        TGIFSubImage* f = g.image.Images().GetImage(0);
        ASSERT_EQ(f->Extensions().GetCount(), 1) << c.name;
        if (f->GetEmpty()) continue;
        TGIFExtension* e = f->Extensions().GetExtension(0);
        const std::string kind = e->GetClass().Name;
        if (c.name == std::string("comment")) {
            auto* comment = dynamic_cast<TGIFCommentExtension*>(e);
            ASSERT_TRUE(comment);
            EXPECT_EQ(comment->Text.Items(), (std::vector<std::string>{"ab", "cd"}));
        } else if (c.name == std::string("loop")) {
            auto* loop = dynamic_cast<TGIFAppExtNSLoop*>(e);
            ASSERT_TRUE(loop);
            EXPECT_EQ(loop->Loops, 5);
        } else if (c.name == std::string("unknown application")) {
            ASSERT_EQ(kind, "TGIFUnknownAppExtension");
            TMemoryStream out;
            e->SaveToStream(out);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.Memory()), size_t(out.Size())), c.extensions);
        } else if (c.name == std::string("application size 10")) {
            EXPECT_EQ(kind, "TGIFUnknownAppExtension");
        } else if (c.name == std::string("graphic control of 5 bytes")) {
            EXPECT_TRUE(f->Transparent() && f->GraphicControlExtension()->GetTransparentColorIndex() == 3);
            EXPECT_EQ(f->GraphicControlExtension()->GetDelay(), 7);
        }
        EXPECT_EQ(Pixels(*f), (std::vector<uint8_t>{0, 1, 2, 3})) << c.name << ": the stream stayed in step";
    }
}

TEST(GIFExtensions, FirstGraphicControlRulesTheFrame) {
    GifSpec spec = TwoByTwo();
    spec.frames[0].extensions = Gce(false, 1) + Gce(true, 2);
    LoadedGif g;
    LoadGif(g, MakeGif(spec));
    TGIFSubImage* f = g.image.Images().GetImage(0);
    ASSERT_EQ(f->Extensions().GetCount(), 2);
    EXPECT_EQ(f->GraphicControlExtension(), f->Extensions().GetExtension(0));
    EXPECT_TRUE(f->Transparent()) << "the second one's flag still sets the frame's";
    EXPECT_TRUE(g.image.GetIsTransparent() == false);
    EXPECT_EQ(g.image.GetVersion(), gv89a);
    f->Extensions().Delete(0);
    EXPECT_EQ(f->GraphicControlExtension(), nullptr);
    // A stray byte after an extension: a warning, then it starts the descriptor.
    std::string bytes = MakeGif(TwoByTwo());
    const size_t comma = 13 + 12;
    bytes = bytes.substr(0, comma) + "!\xFE\x01x\x00"s + bytes.substr(comma);
    bytes[comma + 5] = 'Q';
    LoadedGif stray;
    LoadGif(stray, bytes);
    EXPECT_TRUE(stray.error.empty()) << stray.error;
    EXPECT_EQ(stray.warnings, std::vector<std::string>{"Invalid extension introducer"});
    EXPECT_EQ(Pixels(*stray.image.Images().GetImage(0)), (std::vector<uint8_t>{0, 1, 2, 3}));
}

TEST(GIFServices, PaletteSubBlocksAndSizes) {
    HPALETTE web = WebPalette();
    ASSERT_EQ(PaletteEntryCount(web), 216);
    EXPECT_EQ((*web)[0], (TPaletteEntry{0, 0, 0, 0}));
    EXPECT_EQ((*web)[36], (TPaletteEntry{51, 0, 0, 0}));
    EXPECT_EQ((*web)[215], (TPaletteEntry{255, 255, 255, 0}));
    TStringList text;
    text.Add(std::string(600, 'x'));
    TMemoryStream s;
    WriteStrings(s, text);
    std::vector<int> lengths;
    for (int64_t at = 0; at < s.Size(); at += s.Memory()[at] + 1) lengths.push_back(s.Memory()[at]);
    EXPECT_EQ(lengths, (std::vector<int>{255, 255, 90, 0}));
    s.SetPosition(0);
    TStringList back;
    ReadStrings(s, back);
    EXPECT_EQ(back.Count(), 3);
    for (auto [colors, bits] : std::vector<std::pair<int, int>>{{0, 0}, {1, 1}, {2, 1}, {3, 2}, {256, 8}, {257, 9}})
        EXPECT_EQ(Colors2bpp(colors), bits) << colors;
    EXPECT_EQ(BytesPerScanline(17, 1, 32), 4);
    EXPECT_EQ(BytesPerScanline(3, 24, 32), 12);
}

TEST(GIFServices, DIBWriterAndReader) {
    TBitmap b;
    {
        TDIBWriter w(b, TPixelFormat::pf8bit, 3, 10, WebPalette());
        w.GetScanline(0)[2] = 215;
        EXPECT_THROW(w.GetScanline(10), GIFException);
    }
    ASSERT_EQ(b.Height(), 10);
    EXPECT_EQ(b.Pixel(2, 0), RGBColor(255, 255, 255)) << "row 0 is the top row";
    EXPECT_EQ(b.Palette().size(), 256u);
    EXPECT_THROW(TDIBWriter(b, TPixelFormat::pf4bit, 3, 3, nullptr), GIFException);
    EXPECT_THROW(TDIBWriter(b, TPixelFormat::pf24bit, 0, 3, nullptr), GIFException);
    TDIBReader r(b, TPixelFormat::pf24bit);
    EXPECT_EQ(r.GetScanline(0)[6], 255);
}

TEST(GIFDither, NetscapeLookupAndFloydSteinberg) {
    TNetscapeColorLookup lookup(WebPalette());
    uint8_t r, g, b;
    EXPECT_EQ(lookup.Lookup(255, 255, 255, r, g, b), 215);
    EXPECT_EQ(RGBColor(r, g, b), RGBColor(255, 255, 255));
    EXPECT_EQ(lookup.Lookup(47, 48, 0, r, g, b), 6);
    EXPECT_EQ(RGBColor(r, g, b), RGBColor(0, 51, 0));
    // A uniform grey between two levels comes out as a mix of both whose mean is the grey,
    // the rows scanned in alternate directions.
    const int width = 64, rows = 16;
    TFloydSteinbergDitherer fs(width, lookup);
    int sum = 0, low = 0;
    for (int row = 0; row < rows; ++row) {
        EXPECT_EQ(fs.Direction(), row % 2 == 0 ? 1 : -1);
        EXPECT_EQ(fs.Column(), row % 2 == 0 ? 0 : width - 1);
        for (int i = 0; i < width; ++i) {
            fs.Dither(128, 128, 128, r, g, b);
            sum += r;
            low += r == 102;
            ASSERT_TRUE(r == 102 || r == 153) << int(r);
        }
        fs.NextLine();
    }
    EXPECT_NEAR(double(sum) / (width * rows), 128.0, 2.0);
    EXPECT_GT(low, width * rows / 4);
    EXPECT_LT(low, width * rows * 3 / 4);
}

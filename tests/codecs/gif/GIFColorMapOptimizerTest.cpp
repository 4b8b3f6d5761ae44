// The colour-map optimiser: what every pixel shows must survive, with one global table.
#include <gtest/gtest.h>

#include <cstdlib>

#include "GifTestUtil.h"
#include "codecs/gif/GIFColorMapOptimizer.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

// A frame with a local table of Colors and the given pixels (one row).
TGIFSubImage* AddFrame(TGIFImage& image, const std::vector<TGIFColor>& colors, const std::vector<uint8_t>& pixels,
                       int transparent = -1) {
    auto frame = std::make_unique<TGIFSubImage>(&image);
    TGIFSubImage* f = frame.get();
    for (const TGIFColor& c : colors) f->ColorMap().Add(c);
    f->DoSetBounds(0, 0, int(pixels.size()), 1);
    std::copy(pixels.begin(), pixels.end(), f->Data());
    image.Add(std::move(frame));
    if (transparent >= 0) {
        auto gce = std::make_unique<TGIFGraphicControlExtension>(f);
        f->Extensions().Add(std::move(gce));
        f->GraphicControlExtension()->SetTransparentColorIndex(uint8_t(transparent));
        f->GraphicControlExtension()->SetTransparent(true);
    }
    return f;
}

// What each pixel of each frame shows (-1 transparent).
std::vector<std::vector<int64_t>> Shown(TGIFImage& image) {
    std::vector<std::vector<int64_t>> out;
    for (int i = 0; i < image.Images().GetCount(); ++i) {
        TGIFSubImage* f = image.Images().GetImage(i);
        TGIFColorMap& map = f->GetActiveColorMap();
        const int t = f->Transparent() ? f->GraphicControlExtension()->GetTransparentColorIndex() : -1;
        std::vector<int64_t> row;
        for (int64_t k = 0; k < f->DataSize(); ++k) {
            const int p = f->Data()[k];
            if (p == t) row.push_back(-1);
            else if (p >= map.Count()) row.push_back(-2);
            else row.push_back(int64_t(GIFColorToColor(map.Entry(p))));
        }
        out.push_back(row);
    }
    return out;
}

int Distance(TColor a, TColor b) {
    return std::abs(GetRValue(a) - GetRValue(b)) + std::abs(GetGValue(a) - GetGValue(b)) +
           std::abs(GetBValue(a) - GetBValue(b));
}

}  // namespace

TEST(GIFColorMapOptimizer, ThreeHundredColoursEndWithTheMostUsed256) {
    TGIFImage image;
    std::vector<TGIFColor> reds, greens;
    std::vector<uint8_t> a, b;
    for (int i = 0; i < 150; ++i) {
        reds.push_back({uint8_t(i), 0, 0});
        greens.push_back({0, uint8_t(i + 1), 0});
        for (int n = 0; n < (i < 44 ? 1 : 3); ++n) a.push_back(uint8_t(i));
        for (int n = 0; n < 3; ++n) b.push_back(uint8_t(i));
    }
    AddFrame(image, reds, a);
    AddFrame(image, greens, b);
    const auto before = Shown(image);
    image.OptimizeColorMap();
    EXPECT_EQ(image.GetColorMap().Count(), 256);
    EXPECT_TRUE(image.GetColorMap().Optimized());
    for (int i = 0; i < 2; ++i) EXPECT_EQ(image.Images().GetImage(i)->ColorMap().Count(), 0);
    const auto after = Shown(image);
    std::vector<TColor> kept;
    for (int i = 0; i < 256; ++i) kept.push_back(GIFColorToColor(image.GetColorMap().Entry(i)));
    for (size_t f = 0; f < before.size(); ++f)
        for (size_t k = 0; k < before[f].size(); ++k) {
            const TColor was = TColor(before[f][k]);
            const bool leastUsed = f == 0 && GetRValue(was) < 44 && GetGValue(was) == 0;
            if (!leastUsed) {
                EXPECT_EQ(after[f][k], before[f][k]);
                continue;
            }
            // One of the 44 least used: the nearest kept colour.
            int best = 766;
            for (TColor c : kept) best = std::min(best, Distance(c, was));
            EXPECT_EQ(Distance(TColor(after[f][k]), was), best);
        }
}

TEST(GIFColorMapOptimizer, SharedColoursAndTransparency) {
    struct Case {
        const char* name;
        int transparentA, transparentB;
        int colors;       // entries of the new global table
        bool aTransparent;  // frame A still transparent afterwards
    };
    const Case cases[] = {
        {"opaque", -1, -1, 4, false},
        // A transparent pixel takes an entry of its own: black at the end.
        {"transparent", 2, -1, 3, true},
        // Flagged transparent without a transparent pixel: the flag goes.
        {"unused transparency", 3, -1, 4, false},
    };
    for (const Case& c : cases) {
        TGIFImage image;
        // Both tables hold white, shown four times in all; red twice, the rest once.
        AddFrame(image, {{255, 0, 0}, {255, 255, 255}, {1, 2, 3}, {9, 9, 9}}, {0, 0, 1, 2}, c.transparentA);
        AddFrame(image, {{255, 255, 255}, {0, 0, 255}}, {0, 0, 1, 0}, c.transparentB);
        const auto before = Shown(image);
        image.OptimizeColorMap();
        EXPECT_EQ(image.GetColorMap().Count(), c.colors + (c.aTransparent ? 1 : 0)) << c.name;
        EXPECT_EQ(Shown(image), before) << c.name;
        TGIFSubImage* a = image.Images().GetImage(0);
        EXPECT_EQ(a->Transparent(), c.aTransparent) << c.name;
        if (c.aTransparent) {
            const int t = a->GraphicControlExtension()->GetTransparentColorIndex();
            EXPECT_EQ(t, image.GetColorMap().Count() - 1);
            EXPECT_EQ(image.GetColorMap().Entry(t), (TGIFColor{0, 0, 0}));
        }
        // White is in the table once; the most used colour comes first.
        int whites = 0;
        for (int i = 0; i < image.GetColorMap().Count(); ++i)
            whites += image.GetColorMap().Entry(i) == TGIFColor{255, 255, 255};
        EXPECT_EQ(whites, 1) << c.name;
        EXPECT_EQ(image.GetColorMap().Entry(0), (TGIFColor{255, 255, 255})) << c.name;
    }
}

TEST(GIFColorMapOptimizer, TransparencyLeavesAtMost255Colours) {
    TGIFImage image;
    std::vector<TGIFColor> a, b;
    std::vector<uint8_t> pa, pb;
    for (int i = 0; i < 200; ++i) {
        a.push_back({uint8_t(i), 7, 7});
        b.push_back({7, uint8_t(i), 9});
        pa.push_back(uint8_t(i));
        pb.push_back(uint8_t(i));
    }
    AddFrame(image, a, pa, 5);
    AddFrame(image, b, pb);
    image.OptimizeColorMap();
    EXPECT_EQ(image.GetColorMap().Count(), 256);
    TGIFSubImage* f = image.Images().GetImage(0);
    EXPECT_EQ(f->GraphicControlExtension()->GetTransparentColorIndex(), 255);
    EXPECT_EQ(f->Data()[5], 255);
    for (int i = 0; i < 200; ++i) EXPECT_NE(image.Images().GetImage(1)->Data()[i], 255);
}

TEST(GIFColorMapOptimizer, PixelBeyondTheTableTakesEntryZeroSoundly) {
    TGIFImage image;
    std::vector<std::string> warnings;
    image.OnWarning = [&](const void*, TGIFSeverity, const std::string& m) { warnings.push_back(m); };
    // Entry 0 is used by no pixel but the damaged ones.
    TGIFSubImage* f = AddFrame(image, {{10, 20, 30}, {200, 0, 0}}, {1, 7, 1, 9});
    image.OptimizeColorMap();
    EXPECT_EQ(warnings, std::vector<std::string>{sInvalidColor});
    ASSERT_EQ(image.GetColorMap().Count(), 2);
    EXPECT_EQ(Shown(image)[0], (std::vector<int64_t>{RGBColor(200, 0, 0), RGBColor(10, 20, 30), RGBColor(200, 0, 0),
                                                     RGBColor(10, 20, 30)}));
    // Written and read back: the pixels stay in the table.
    TMemoryStream s;
    image.SaveToStream(s);
    LoadedGif g;
    LoadGif(g, std::string(reinterpret_cast<const char*>(s.Memory()), size_t(s.Size())));
    EXPECT_EQ(g.error, "");
    EXPECT_EQ(Shown(g.image)[0], Shown(image)[0]);
    (void)f;
}

TEST(GIFColorMapOptimizer, OptimizeWithColorMapOptionUsesTheTablesOwnSort) {
    // ooColorMap sorts each table by use; OptimizeColorMap is the separate, global one.
    TGIFImage image;
    AddFrame(image, {{1, 1, 1}, {2, 2, 2}}, {1, 1, 0});
    image.Optimize(OptimizeOption(ooColorMap), rmNone, dmNearest, 8);
    EXPECT_EQ(image.Images().GetImage(0)->ColorMap().Count(), 2);
    EXPECT_EQ(image.Images().GetImage(0)->ColorMap().Entry(0), (TGIFColor{2, 2, 2}));
}

TEST(GIFColorMapOptimizer, ATieForTheNearestKeptColourGoesToTheMoreUsed) {
    // 257 colours: the least used, (20,10,10), lies 10 from both (30,10,10) and (10,10,10);
    // the more used of the two, (10,10,10), comes first in the new table and takes it, though
    // it stands second in the frame's own table.
    const TGIFColor a{10, 10, 10}, b{30, 10, 10}, lone{20, 10, 10};
    std::vector<TGIFColor> colors{b, a};
    std::vector<uint8_t> pixels(4, 0);
    pixels.insert(pixels.end(), 5, 1);
    for (int i = 2; i < 256; ++i) {
        colors.push_back({uint8_t(i), 200, 200});
        pixels.insert(pixels.end(), 2, uint8_t(i));
    }
    TGIFImage image;
    AddFrame(image, colors, pixels);
    TGIFSubImage* last = AddFrame(image, {lone}, {0});
    image.Header().SetWidth(uint16_t(pixels.size()));
    image.Header().SetHeight(1);
    image.OptimizeColorMap();
    ASSERT_EQ(image.GetColorMap().Count(), 256);
    EXPECT_EQ(image.GetColorMap().Entry(0), a);
    EXPECT_EQ(image.GetColorMap().Entry(1), b);
    EXPECT_EQ(last->Data()[0], 0);
}

// Cropping, merging and optimising frames: the picture an animation shows must not change.
#include <gtest/gtest.h>

#include <functional>

#include "GifTestUtil.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

TGIFSubImage* AddFrame(TGIFImage& image, int left, int top, int w, int h, uint8_t fill, int transparent = -1,
                       TDisposalMethod disposal = dmNone, uint16_t delay = 0) {
    auto frame = std::make_unique<TGIFSubImage>(&image);
    frame->DoSetBounds(left, top, w, h);
    frame->NewImage();
    std::fill(frame->Data(), frame->Data() + frame->DataSize(), fill);
    TGIFSubImage* f = frame.get();
    if (transparent >= 0 || disposal != dmNone || delay) {
        auto gce = std::make_unique<TGIFGraphicControlExtension>(f);
        gce->SetDisposal(disposal);
        gce->SetDelay(delay);
        f->Extensions().Add(std::move(gce));
    }
    image.Add(std::move(frame));
    if (transparent >= 0) {
        f->GraphicControlExtension()->SetTransparentColorIndex(uint8_t(transparent));
        f->GraphicControlExtension()->SetTransparent(true);
    }
    return f;
}

void Greys(TGIFImage& image, int n) {
    for (int i = 0; i < n; ++i) image.GetColorMap().Add({uint8_t(i * 10 + 5), uint8_t(i * 10 + 5), uint8_t(i * 10 + 5)});
    image.Header().SetWidth(20);
    image.Header().SetHeight(20);
}

}  // namespace

TEST(GIFOptimize, CropKeepsTheVisibleRectangle) {
    TGIFImage image;
    Greys(image, 4);
    TGIFSubImage* f = AddFrame(image, 2, 1, 10, 10, 3, 3);
    f->Data()[4 * 10 + 3] = 1;
    f->Crop();
    EXPECT_EQ(f->Left(), 5);
    EXPECT_EQ(f->Top(), 5);
    EXPECT_EQ(f->Width(), 1);
    EXPECT_EQ(f->Height(), 1);
    EXPECT_EQ(f->Data()[0], 1);
    // All transparent: empty; opaque or background-disposed frames keep their size.
    TGIFSubImage* clear = AddFrame(image, 0, 0, 5, 5, 2, 2);
    clear->Crop();
    EXPECT_TRUE(clear->GetEmpty());
    TGIFSubImage* background = AddFrame(image, 0, 0, 5, 5, 2, 2, dmBackground);
    background->Data()[12] = 0;
    background->Crop();
    EXPECT_EQ(background->Width(), 5);
    TGIFSubImage* opaque = AddFrame(image, 0, 0, 5, 5, 2);
    opaque->Crop();
    EXPECT_EQ(opaque->Width(), 5);
}

TEST(GIFOptimize, MergeMakesRepeatsTransparent) {
    struct Case {
        const char* name;
        int colors;
        TDisposalMethod previousDisposal;
        bool expectMerged;
    };
    const Case cases[] = {
        {"identical frames", 4, dmNone, true},
        {"previous cleared to background", 4, dmBackground, false},
        {"previous restored", 4, dmPrevious, false},
        {"table full", 256, dmNone, false},
    };
    for (const Case& c : cases) {
        TGIFImage image;
        Greys(image, c.colors);
        TGIFSubImage* a = AddFrame(image, 0, 0, 8, 8, 1, -1, c.previousDisposal);
        TGIFSubImage* b = AddFrame(image, 2, 2, 8, 8, 1);
        b->Data()[63] = 2;  // outside a's area and different anyway
        b->Merge(a);
        if (!c.expectMerged) {
            EXPECT_FALSE(b->Transparent()) << c.name;
            EXPECT_EQ(b->Data()[0], 1) << c.name;
            continue;
        }
        ASSERT_TRUE(b->Transparent()) << c.name;
        const int t = b->GraphicControlExtension()->GetTransparentColorIndex();
        EXPECT_EQ(t, c.colors) << c.name;  // black added to the global table
        EXPECT_EQ(b->Data()[0], t) << c.name;
        EXPECT_EQ(b->Data()[7 * 8 + 7], 2) << c.name;
    }
}

// Another frame's transparent index is not reused when this frame shows that index.
TEST(GIFOptimize, MergeDoesNotReuseAnIndexThisFrameShows) {
    TGIFImage image;
    Greys(image, 4);
    AddFrame(image, 0, 0, 4, 4, 3, 3);
    TGIFSubImage* a = AddFrame(image, 0, 0, 4, 4, 1);
    TGIFSubImage* b = AddFrame(image, 0, 0, 4, 4, 1);
    b->Data()[15] = 3;  // a visible pixel in colour 3
    b->Merge(a);
    ASSERT_TRUE(b->Transparent());
    EXPECT_NE(b->GraphicControlExtension()->GetTransparentColorIndex(), 3);
    EXPECT_EQ(b->Data()[15], 3);
}

TEST(GIFOptimize, OptimizeCleansUpAndCrops) {
    {
        TGIFImage image;
        Greys(image, 4);
        TGIFSubImage* f = AddFrame(image, 0, 0, 4, 4, 1, -1, dmNone, 10);
        f->Extensions().Add(std::make_unique<TGIFCommentExtension>(f));
        f->Extensions().Add(std::make_unique<TGIFAppExtNSLoop>(f));
        image.Optimize(OptimizeOption(ooCleanup), rmNone, dmNearest, 8);
        ASSERT_EQ(image.Images().GetCount(), 1);
        EXPECT_EQ(image.Images().GetImage(0)->Extensions().GetCount(), 0);
    }
    {
        TGIFImage image;
        Greys(image, 4);
        AddFrame(image, 0, 0, 4, 4, 1, 0, dmNone, 10);
        AddFrame(image, 0, 0, 4, 4, 2, 2, dmNone, 7);
        image.Optimize(OptimizeOption(ooCrop), rmNone, dmNearest, 8);
        ASSERT_EQ(image.Images().GetCount(), 1);
        EXPECT_EQ(image.Images().GetImage(0)->GraphicControlExtension()->GetDelay(), 17);
        EXPECT_THROW(image.Optimize(OptimizeOption(ooReduceColors), rmPalette, dmNearest, 8), GIFException);
    }
}

TEST(GIFOptimize, DeletedFramesLeaveTheirDelayToTheFrameBefore) {
    // Fourteen opaque frames of 210 cs where runs repeat: the repeats become transparent,
    // crop to nothing and go, and the animation keeps its 2940 cs.
    const uint8_t fills[14] = {1, 1, 2, 2, 2, 3, 1, 1, 1, 1, 2, 3, 3, 3};
    TGIFImage image;
    Greys(image, 4);
    for (uint8_t fill : fills) AddFrame(image, 0, 0, 4, 4, fill, -1, dmNone, 210);
    image.Optimize(OptimizeOption(ooMerge) | OptimizeOption(ooCrop), rmNone, dmNearest, 8);
    ASSERT_EQ(image.Images().GetCount(), 6);
    const int kept[6] = {420, 630, 210, 840, 210, 630};
    for (int i = 0; i < 6; ++i) {
        TGIFSubImage* f = image.Images().GetImage(i);
        ASSERT_NE(f->GraphicControlExtension(), nullptr) << i;
        EXPECT_EQ(f->GraphicControlExtension()->GetDelay(), kept[i]) << i;
    }

    // A frame before without a graphic control extension gets one for the delay.
    TGIFImage plain;
    Greys(plain, 4);
    AddFrame(plain, 0, 0, 4, 4, 1);
    AddFrame(plain, 0, 0, 4, 4, 1, -1, dmNone, 210);
    plain.Optimize(OptimizeOption(ooMerge) | OptimizeOption(ooCrop), rmNone, dmNearest, 8);
    ASSERT_EQ(plain.Images().GetCount(), 1);
    ASSERT_NE(plain.Images().GetImage(0)->GraphicControlExtension(), nullptr);
    EXPECT_EQ(plain.Images().GetImage(0)->GraphicControlExtension()->GetDelay(), 210);
    EXPECT_FALSE(plain.Images().GetImage(0)->GraphicControlExtension()->GetTransparent());
}

namespace {

// A small animation of varied frames: some transparent (in indices other frames show or
// not), some with a local table, various disposals; frames often repeat the one before.
void VariedFrames(TGIFImage& image, uint32_t seed) {
    auto next = [&seed](int n) {
        seed = seed * 1103515245u + 12345u;
        return int((seed >> 16) % uint32_t(n));
    };
    Greys(image, 6);
    image.GetColorMap().Add({5, 5, 5});  // the colour of index 0 again
    const TDisposalMethod disposals[] = {dmNone, dmNone, dmNoDisposal, dmBackground, dmPrevious};
    for (int i = 0; i < 14; ++i) {
        const bool local = next(6) == 0;
        const int colors = local ? 4 : 7;
        const int transparent = next(3) == 0 ? next(colors) : -1;
        TGIFSubImage* f = AddFrame(image, next(4), next(4), 1 + next(5), 1 + next(5), uint8_t(next(3)), -1,
                                   disposals[next(5)], uint16_t(next(2) * 10));
        if (local)
            for (int c = 0; c < colors; ++c) f->ColorMap().Add({uint8_t(c * 10 + 5), uint8_t(c * 10 + 5), uint8_t(c * 10 + 5)});
        for (int k = next(4); k > 0; --k) f->Data()[next(int(f->DataSize()))] = uint8_t(next(colors));
        if (transparent >= 0) {
            if (!f->GraphicControlExtension()) f->Extensions().Add(std::make_unique<TGIFGraphicControlExtension>(f));
            f->GraphicControlExtension()->SetTransparentColorIndex(uint8_t(transparent));
            f->GraphicControlExtension()->SetTransparent(true);
        }
    }
}

}  // namespace

// Optimize keeps what it knows of the frames' transparent indices as it merges; the result
// must be that of merging frame by frame, each frame without an index of its own taking the
// index of the first other frame (transparent, no local table) whose index it does not show.
TEST(GIFOptimize, MergingPicksTheSameSharedIndexAsLookingThroughTheFrames) {
    int chosen = 0, shared = 0;
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        TGIFImage optimized, byHand;
        VariedFrames(optimized, seed);
        VariedFrames(byHand, seed);
        optimized.Optimize(OptimizeOption(ooMerge), rmNone, dmNearest, 8);
        TGIFImageList& frames = byHand.Images();
        for (int i = frames.GetCount() - 1; i >= 1; --i) {
            int j = i - 1;
            while (j > 0 && frames.GetImage(j)->GraphicControlExtension() &&
                   frames.GetImage(j)->GraphicControlExtension()->GetDisposal() == dmPrevious)
                --j;
            TGIFSubImage* f = frames.GetImage(i);
            const bool wasTransparent = f->Transparent();
            int expected = f->ColorMap().Count() > 0 ? f->ColorMap().Count() : byHand.GetColorMap().Count();
            bool fromOther = false;
            if (f->ColorMap().Count() == 0) {
                bool shows[256] = {};
                for (int64_t k = 0; k < f->DataSize(); ++k) shows[f->Data()[k]] = true;
                for (int k = 0; k < frames.GetCount(); ++k) {
                    TGIFSubImage* o = frames.GetImage(k);
                    if (o == f || !o->Transparent() || !o->GraphicControlExtension() || o->ColorMap().Count() != 0) continue;
                    const int index = o->GraphicControlExtension()->GetTransparentColorIndex();
                    if (!shows[index]) {
                        expected = index;
                        fromOther = true;
                        break;
                    }
                }
            }
            f->Merge(frames.GetImage(j));
            if (!wasTransparent && f->Transparent()) {
                ++chosen;
                shared += fromOther;
                EXPECT_EQ(f->GraphicControlExtension()->GetTransparentColorIndex(), expected) << seed << ' ' << i;
            }
        }
        ASSERT_EQ(optimized.Images().GetCount(), frames.GetCount());
        EXPECT_EQ(optimized.GetColorMap().Count(), byHand.GetColorMap().Count()) << seed;
        for (int i = 0; i < frames.GetCount(); ++i) {
            TGIFSubImage* a = optimized.Images().GetImage(i);
            TGIFSubImage* b = frames.GetImage(i);
            EXPECT_EQ(Pixels(*a), Pixels(*b)) << seed << ' ' << i;
            ASSERT_EQ(a->Transparent(), b->Transparent()) << seed << ' ' << i;
            EXPECT_EQ(a->ColorMap().Count(), b->ColorMap().Count()) << seed << ' ' << i;
            if (a->Transparent()) {
                EXPECT_EQ(a->GraphicControlExtension()->GetTransparentColorIndex(),
                          b->GraphicControlExtension()->GetTransparentColorIndex())
                    << seed << ' ' << i;
            }
        }
    }
    // The cases choose indices, and share other frames' indices, often.
    EXPECT_GT(chosen, 300);
    EXPECT_GT(shared, 200);
}

namespace {

// A 4x4 grey-ramp animation of count 2x2 frames, each as frame(i) makes it, loaded.
void LoadTinyFrames(LoadedGif& g, int count, const std::function<void(int, GifFrame&)>& frame) {
    GifSpec spec;
    spec.width = spec.height = 4;
    spec.globalColors = GreyRamp(4);
    for (int i = 0; i < count; ++i) {
        GifFrame f;
        f.width = f.height = 2;
        frame(i, f);
        spec.frames.push_back(f);
    }
    LoadGif(g, MakeGif(spec));
}

}  // namespace

// Ten thousand tiny frames, each repeating the one before: every frame but the first takes a
// shared transparent index, and choosing it must not look through all other frames each time.
TEST(GIFOptimize, ManyFramesMergeInWorkLinearInTheirCount) {
    constexpr int kFrames = 10000;
    struct Case {
        const char* name;
        bool halfTransparent;  // every other frame transparent in an index the others show
    } cases[] = {{"opaque frames", false}, {"transparent in a shown index", true}};
    for (const Case& c : cases) {
        LoadedGif g;
        LoadTinyFrames(g, kFrames, [&](int i, GifFrame& f) {
            f.pixels = {1, 1, 1, uint8_t(c.halfTransparent ? 0 : 1)};
            f.extensions = Gce(c.halfTransparent && i % 2 == 0, 0, 1);
        });
        ASSERT_EQ(g.error, "") << c.name;
        ASSERT_EQ(g.image.Images().GetCount(), kFrames) << c.name;
        g.image.Optimize(OptimizeOption(ooMerge) | OptimizeOption(ooCrop) | OptimizeOption(ooCleanup), rmNone,
                         dmNearest, 8);
        EXPECT_LE(g.image.SharedIndexLookups(), 2 * kFrames) << c.name;
        EXPECT_EQ(g.image.Images().GetCount(), c.halfTransparent ? kFrames / 2 + 1 : 1) << c.name;
    }
}

namespace {

std::string Saved(TGIFImage& image, TGIFCompression compression) {
    image.Compression = compression;
    TMemoryStream s;
    image.SaveToStream(s);
    std::string bytes(size_t(s.Size()), '\0');
    s.SetPosition(0);
    s.Read(bytes.data(), s.Size());
    return bytes;
}

uint64_t Fnv(uint64_t h, const std::string& bytes) {
    for (unsigned char c : bytes) h = (h ^ c) * 0x100000001B3ull;
    return h;
}

}  // namespace

// Every pass, then saving both ways: the bytes are pinned to those written when emptied frames
// were deleted one at a time and each frame's merge partner was looked for afresh.
TEST(GIFOptimize, OptimisedAnimationsSaveTheSameBytes) {
    uint64_t h = 0xCBF29CE484222325ull;
    int deleted = 0;
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        TGIFImage image;
        VariedFrames(image, seed);
        const int before = image.Images().GetCount();
        image.Optimize(OptimizeOption(ooCrop) | OptimizeOption(ooMerge) | OptimizeOption(ooCleanup) |
                           OptimizeOption(ooColorMap),
                       rmNone, dmNearest, 8);
        deleted += before - image.Images().GetCount();
        if (image.GetEmpty()) continue;
        h = Fnv(h, Saved(image, gcLZW));
        h = Fnv(h, Saved(image, gcRLE));
    }
    EXPECT_GT(deleted, 50);
    EXPECT_EQ(h, 0x422da55b8c87f796ull);
}

// Ten thousand tiny frames optimised and saved: deleting the frames cropping empties, finding
// the frame each merges with and the image's bits per pixel must not grow with the square
// of the frame count.
TEST(GIFOptimize, ManyFramesOptimiseAndSaveInWorkLinearInTheirCount) {
    constexpr int kFrames = 10000;
    struct Case {
        const char* name;
        int disposal;
        int deleted;
    } cases[] = {{"every other frame repeats the one before", 1, kFrames / 2},
                 {"every frame restores what was before it", 3, 0}};
    for (const Case& c : cases) {
        LoadedGif g;
        LoadTinyFrames(g, kFrames, [&](int i, GifFrame& f) {
            f.left = c.disposal == 3 ? i % 2 : 0;
            f.pixels = {uint8_t(i / 2 % 4), 1, 2, uint8_t(i / 8 % 4)};
            f.extensions = Gce(false, 0, 1, c.disposal);
        });
        ASSERT_EQ(g.error, "") << c.name;
        g.image.Optimize(OptimizeOption(ooCrop) | OptimizeOption(ooMerge) | OptimizeOption(ooCleanup) |
                             OptimizeOption(ooColorMap),
                         rmNone, dmNearest, 8);
        EXPECT_EQ(g.image.Images().GetCount(), kFrames - c.deleted) << c.name;
        const std::string lzw = Saved(g.image, gcLZW), rle = Saved(g.image, gcRLE);
        EXPECT_GT(lzw.size(), size_t(kFrames - c.deleted) * 10) << c.name;
        EXPECT_LE(g.image.Images().Moved(), kFrames) << c.name;
        EXPECT_LE(g.image.FramesWalked(), 4 * kFrames) << c.name;
    }
}

// Disposals 4-7 are reserved: read as no disposal (never an enumerator the type lacks), optimised
// as a frame left in place, and written back with the byte as it came.
TEST(GIFOptimize, ReservedDisposalsActAsNoneAndSurviveSaving) {
    auto load = [](LoadedGif& g, int disposal) {
        GifSpec spec;
        spec.width = spec.height = 4;
        spec.globalColors = GreyRamp(4);
        GifFrame first;
        first.width = first.height = 4;
        first.pixels.assign(16, 1);
        first.extensions = Gce(false, 0, 5, disposal);
        GifFrame second = first;
        second.extensions = Gce(false, 0, 5);
        second.pixels[10] = 2;
        spec.frames = {first, second};
        LoadGif(g, MakeGif(spec));
    };
    auto packed = [](TGIFImage& image) {
        return int(image.Images().GetImage(0)->GraphicControlExtension()->Record().PackedFields);
    };
    LoadedGif reference;
    load(reference, 0);
    ASSERT_EQ(reference.error, "");
    reference.image.Optimize(OptimizeOption(ooMerge) | OptimizeOption(ooCrop) | OptimizeOption(ooCleanup), rmNone,
                             dmNearest, 8);
    ASSERT_EQ(reference.image.Images().GetCount(), 2);
    TGIFSubImage* merged = reference.image.Images().GetImage(1);
    for (int disposal = 4; disposal <= 7; ++disposal) {
        LoadedGif g;
        load(g, disposal);
        ASSERT_EQ(g.error, "") << disposal;
        const int d = int(g.image.Images().GetImage(0)->GraphicControlExtension()->GetDisposal());
        EXPECT_EQ(d, int(dmNone)) << disposal;

        LoadedGif again;
        LoadGif(again, Saved(g.image, gcLZW));
        ASSERT_EQ(again.error, "") << disposal;
        EXPECT_EQ(packed(again.image), disposal << 2) << disposal;

        g.image.Optimize(OptimizeOption(ooMerge) | OptimizeOption(ooCrop) | OptimizeOption(ooCleanup), rmNone,
                         dmNearest, 8);
        ASSERT_EQ(g.image.Images().GetCount(), 2) << disposal;
        TGIFSubImage* f = g.image.Images().GetImage(1);
        EXPECT_EQ(f->GetBoundsRect(), merged->GetBoundsRect()) << disposal;
        EXPECT_EQ(Pixels(*f), Pixels(*merged)) << disposal;
        LoadedGif optimised;
        LoadGif(optimised, Saved(g.image, gcLZW));
        ASSERT_EQ(optimised.error, "") << disposal;
        EXPECT_EQ(packed(optimised.image), disposal << 2) << disposal;
    }
}

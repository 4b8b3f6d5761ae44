// Writing GIFs: what our encoder writes must read back, in giflib and in our reader, with
// the same pixels; the stream's structure follows what the frames hold.
#include <gtest/gtest.h>

#include <filesystem>

#include "GifOracle.h"
#include "GifTestUtil.h"
#include "codecs/gif/GIFEncoder.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;
namespace fs = std::filesystem;

namespace {

const fs::path kPeerDir = fs::path(VELLICOR_SOURCE_DIR) / "../shared/testdata/peer/image-gif";

std::string Save(TGIFImage& image) {
    TMemoryStream s;
    image.SaveToStream(s);
    return std::string(reinterpret_cast<const char*>(s.Memory()), size_t(s.Size()));
}

// Every non-empty frame of ours against giflib's reading of what we wrote.
void ExpectGiflibReads(TGIFImage& image, const std::string& written, const std::string& what) {
    if (!HaveGiflib()) return;
    const OracleGif theirs = GiflibRead(written);
    ASSERT_TRUE(theirs.ok) << what;
    size_t at = 0;
    for (int i = 0; i < image.Images().GetCount(); ++i) {
        TGIFSubImage* f = image.Images().GetImage(i);
        if (f->GetEmpty()) continue;
        ASSERT_LT(at, theirs.frames.size()) << what;
        const OracleFrame& t = theirs.frames[at++];
        EXPECT_EQ(t.width, f->Width()) << what << " frame " << i;
        EXPECT_EQ(t.height, f->Height()) << what << " frame " << i;
        EXPECT_TRUE(t.pixels == Pixels(*f)) << what << " frame " << i;
    }
    EXPECT_EQ(at, theirs.frames.size()) << what;
}

// A frame of the given size and pixels in a fresh image with a grey global table.
std::unique_ptr<TGIFSubImage> MakeFrame(TGIFImage& image, int w, int h, const std::vector<uint8_t>& pixels) {
    auto frame = std::make_unique<TGIFSubImage>(&image);
    frame->DoSetBounds(0, 0, w, h);
    frame->NewImage();
    std::copy(pixels.begin(), pixels.end(), frame->Data());
    return frame;
}

void SetGreys(TGIFImage& image, int count) {
    for (uint32_t c : GreyRamp(count))
        image.GetColorMap().Add({uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
}

std::vector<uint8_t> Noise(size_t n, int colors, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (auto& p : v) {
        seed = seed * 1103515245 + 12345;
        p = uint8_t((seed >> 16) % uint32_t(colors));
    }
    return v;
}

}  // namespace

TEST(GIFEncode, PeerFilesRoundTripThroughGiflibInBothCompressions) {
    if (!HaveGiflib()) GTEST_SKIP() << "giflib is not installed";
    if (!fs::is_directory(kPeerDir)) GTEST_SKIP() << "no peer GIF files";
    int done = 0;
    for (const auto& entry : fs::directory_iterator(kPeerDir)) {
        if (entry.path().extension() != ".gif") continue;
        for (TGIFCompression compression : {gcLZW, gcRLE}) {
            LoadedGif g;
            LoadGif(g, ReadFileBytes(entry.path().string()));
            if (!g.error.empty() || g.image.GetEmpty()) continue;
            g.image.Compression = compression;
            const std::string name = entry.path().filename().string() + (compression == gcRLE ? " rle" : " lzw");
            std::string written;
            try {
                written = Save(g.image);
            } catch (const GIFException& e) {
                // A damaged source may hold indices its table lacks; that is reported, not written.
                EXPECT_STREQ(e.what(), sInvalidColor) << name;
                continue;
            }
            ExpectGiflibReads(g.image, written, name);
            LoadedGif back;
            LoadGif(back, written);
            ASSERT_EQ(back.error, "") << name;
            ASSERT_EQ(back.image.Images().GetCount(), g.image.Images().GetCount()) << name;
            for (int i = 0; i < g.image.Images().GetCount(); ++i) {
                TGIFSubImage* a = g.image.Images().GetImage(i);
                TGIFSubImage* b = back.image.Images().GetImage(i);
                if (a->GetEmpty()) continue;
                EXPECT_TRUE(Pixels(*a) == Pixels(*b)) << name << " frame " << i;
                EXPECT_EQ(a->GetInterlaced(), b->GetInterlaced()) << name;
                EXPECT_EQ(a->Extensions().GetCount(), b->Extensions().GetCount()) << name;
            }
            ++done;
        }
    }
    EXPECT_GE(done, 10);
}

// Sizes and contents that walk the encoder through its code-width changes and clears.
TEST(GIFEncode, SyntheticFramesRoundTrip) {
    struct Case {
        const char* name;
        int w, h, colors;
        bool interlaced;
        std::vector<uint8_t> pixels;
    };
    std::vector<Case> cases = {
        {"one pixel", 1, 1, 2, false, {1}},
        {"single colour", 64, 64, 4, false, std::vector<uint8_t>(64 * 64, 3)},
        {"noise 2 colours", 203, 101, 2, false, Noise(203 * 101, 2, 1)},
        {"noise 16 colours", 300, 200, 16, true, Noise(300 * 200, 16, 2)},
        {"noise 256 colours, table fills", 640, 480, 256, false, Noise(640 * 480, 256, 3)},
        {"interlaced odd height", 17, 13, 8, true, Noise(17 * 13, 8, 4)},
    };
    // Long runs with changes: the run-length encoder's table paths.
    {
        std::vector<uint8_t> runs;
        uint32_t seed = 7;
        while (runs.size() < 500 * 300) {
            seed = seed * 1103515245 + 12345;
            const size_t n = 1 + (seed >> 16) % 3000;
            runs.insert(runs.end(), n, uint8_t((seed >> 8) % 5));
        }
        runs.resize(500 * 300);
        cases.push_back({"runs of 5 colours", 500, 300, 8, false, runs});
        cases.push_back({"one long run", 1000, 1000, 256, false, std::vector<uint8_t>(1000 * 1000, 200)});
    }
    for (const Case& c : cases)
        for (TGIFCompression compression : {gcLZW, gcRLE}) {
            const std::string name = std::string(c.name) + (compression == gcRLE ? " rle" : " lzw");
            TGIFImage image;
            image.Compression = compression;
            SetGreys(image, c.colors);
            image.Header().SetWidth(uint16_t(c.w));
            image.Header().SetHeight(uint16_t(c.h));
            auto frame = MakeFrame(image, c.w, c.h, c.pixels);
            frame->SetInterlaced(c.interlaced);
            image.Add(std::move(frame));
            const std::string written = Save(image);
            ExpectGiflibReads(image, written, name);
            LoadedGif back;
            LoadGif(back, written);
            ASSERT_EQ(back.error, "") << name;
            EXPECT_TRUE(back.warnings.empty()) << name << ": " << (back.warnings.empty() ? "" : back.warnings[0]);
            EXPECT_TRUE(Pixels(*back.image.Images().GetImage(0)) == c.pixels) << name;
        }
}

// The exact bytes for small frames: code size, widths, clear first, end last, sub-blocks.
TEST(GIFEncode, ExactCodeStreams) {
    struct Case {
        int bits, colors;
        std::vector<uint8_t> pixels;
        std::string expected;
    };
    const Case cases[] = {
        // 1-bit frame: minimum code size 2, codes 3 bits: clear 4, 1, end 5.
        {1, 2, {1}, std::string("\x02\x02") + PackCodes({{4, 3}, {1, 3}, {5, 3}}).substr(0, 2) + std::string("\0", 1)},
        // A single colour repeated: clear, 0, 6 (00), end.
        {2, 4, {0, 0, 0}, std::string("\x02\x02") + PackCodes({{4, 3}, {0, 3}, {6, 3}, {5, 3}}) + std::string("\0", 1)},
    };
    for (const Case& c : cases) {
        TMemoryStream s;
        TLZWEncoder encoder;
        encoder.Encode(s, c.bits, c.colors, c.pixels.data(), false, 1, int(c.pixels.size()));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.Memory()), size_t(s.Size())), c.expected);
    }
}

TEST(GIFEncode, WriterCutsSubBlocksAt255) {
    for (int n : {0, 1, 254, 255, 256, 510, 511}) {
        TMemoryStream s;
        {
            TGIFWriter w(s);
            std::vector<uint8_t> data(size_t(n), 0xAB);
            w.Write(data.data(), n);
            w.Flush();
        }
        int64_t expected = n + (n + 254) / 255;
        EXPECT_EQ(s.Size(), expected) << n;
        if (n >= 255) {
            EXPECT_EQ(s.Memory()[0], 255) << n;
        }
    }
    TMemoryStream s;
    TGIFWriter w(s);
    EXPECT_THROW(w.Seek(0, SeekOrigin::Begin), GIFException);
    uint8_t b;
    EXPECT_THROW(w.Read(&b, 1), GIFException);
}

TEST(GIFEncode, RunCostMatchesItsDefinition) {
    // m(m+1)/2 pixels per m codes, then the least k with k(k+1) >= 2r.
    const std::pair<std::pair<int64_t, int64_t>, int64_t> cases[] = {
        {{1, 10}, 1}, {{2, 10}, 2}, {{3, 10}, 2}, {{4, 10}, 3}, {{6, 10}, 3}, {{7, 10}, 4},
        {{55, 10}, 10}, {{56, 10}, 11}, {{110, 10}, 20}, {{0, 10}, 0}, {{1000000, 3839}, 1414}, {{8000000, 3839}, 3839 + 1122}};
    for (const auto& [in, cost] : cases) EXPECT_EQ(TRLEEncoder::Cost(in.first, in.second), cost) << in.first;
}

TEST(GIFEncode, HeaderAndDescriptorFields) {
    TGIFImage image;
    SetGreys(image, 16);
    image.Header().SetWidth(8);
    image.Header().SetHeight(4);
    // A frame with a 5-colour local table: written as 8 triples, size bits 2.
    auto frame = MakeFrame(image, 8, 4, Noise(32, 5, 9));
    for (uint32_t c : GreyRamp(5)) frame->ColorMap().Add({uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
    image.Add(std::move(frame));
    // A wider frame using the global table must not change the global table's size field.
    auto wide = MakeFrame(image, 8, 4, Noise(32, 16, 10));
    image.Add(std::move(wide));
    std::string bytes = Save(image);
    EXPECT_EQ(bytes.substr(0, 6), "GIF87a");
    EXPECT_EQ(uint8_t(bytes[10]) & 7, 3);  // 16 entries
    const size_t descriptor = 13 + 16 * 3;
    ASSERT_EQ(bytes[descriptor], ',');
    EXPECT_EQ(uint8_t(bytes[descriptor + 9]), 0x82);
    EXPECT_EQ(bytes[descriptor + 10 + 8 * 3], 3);  // code size after 8 triples
    ExpectGiflibReads(image, bytes, "local table");

    // An extension makes it 89a; an image without frames cannot be saved.
    image.Images().GetImage(0)->Extensions().Add(std::make_unique<TGIFCommentExtension>(image.Images().GetImage(0)));
    EXPECT_EQ(Save(image).substr(0, 6), "GIF89a");
    TGIFImage empty;
    TMemoryStream s;
    try {
        empty.SaveToStream(s);
        ADD_FAILURE() << "saved an image without frames";
    } catch (const GIFException& e) {
        EXPECT_STREQ(e.what(), sBadVersion);
    }
}

TEST(GIFEncode, PixelOutsideTheTableIsAnError) {
    for (TGIFCompression compression : {gcLZW, gcRLE}) {
        TGIFImage image;
        image.Compression = compression;
        SetGreys(image, 4);
        image.Header().SetWidth(2);
        image.Header().SetHeight(1);
        auto frame = MakeFrame(image, 2, 1, {0, 0});
        frame->ColorMap().Add({1, 2, 3});
        frame->ColorMap().Add({4, 5, 6});
        frame->ColorMap().Add({7, 8, 9});
        frame->Data()[1] = 3;
        image.Add(std::move(frame));
        std::vector<std::pair<TProgressStage, int>> progress;
        image.OnProgress = [&](TGIFImage*, TProgressStage st, int pc, bool, const std::string&) {
            progress.push_back({st, pc});
        };
        TMemoryStream s;
        try {
            image.SaveToStream(s);
            ADD_FAILURE();
        } catch (const GIFException& e) {
            EXPECT_STREQ(e.what(), sInvalidColor);
        }
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back().first, psEnding);
        EXPECT_EQ(progress.back().second, 0);
    }
}

// A damaged graphic control block (wrong size, missing terminator) is written in standard form.
TEST(GIFEncode, DamagedControlBlockIsWrittenReadable) {
    GifSpec spec;
    spec.width = spec.height = 2;
    spec.globalColors = GreyRamp(4);
    GifFrame f;
    f.width = f.height = 2;
    f.pixels = {0, 1, 2, 3};
    f.extensions = std::string("!\xF9\x04\x01\x05\x00\x02\x01X\x00", 10);  // a stray sub-block before the end
    spec.frames.push_back(f);
    LoadedGif g;
    LoadGif(g, MakeGif(spec));
    ASSERT_EQ(g.error, "");
    const std::string written = Save(g.image);
    EXPECT_NE(written.find(std::string("!\xF9\x04\x01\x05\x00\x02\x00,", 9)), std::string::npos);
    LoadedGif back;
    LoadGif(back, written);
    ASSERT_EQ(back.error, "");
    EXPECT_TRUE(back.warnings.empty());
    ExpectGiflibReads(g.image, written, "damaged control block");
}

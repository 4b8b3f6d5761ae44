// Writing: round trips through our reader and libpng, filters, IDAT sizes, row encoders,
// and the chunk list operations that extend or change an image.
#include <gtest/gtest.h>

#include <random>

#include "LibpngOracle.h"
#include "PngTestFiles.h"
#include "codecs/png/PngFilters.h"
#include "codecs/png/Pngimage.h"

using namespace vellicor;
using namespace vellicor::test;
using namespace vellicor::test::png;

namespace {

TBitmap Picture(int w, int h, TPixelFormat f) {
    TBitmap b;
    b.SetSize(w, h, f);
    for (size_t i = 0; i < b.Palette().size(); ++i)
        b.Palette()[i] = TRGBQuad{uint8_t(i * 37), uint8_t(255 - i * 11), uint8_t(i * 5 + 3), 0};
    std::mt19937 rng(7);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int64_t i = 0; i < b.Stride(); ++i) row[i] = uint8_t((y * 3 + i / 5) % 200 + rng() % 8);
        // Padding bits and bytes beyond the width stay zero, as a reader leaves them.
        const int64_t used = (int64_t(w) * BitsPerPixel(f) + 7) / 8;
        for (int64_t i = used; i < b.Stride(); ++i) row[i] = 0;
        const int spare = int(used * 8 - int64_t(w) * BitsPerPixel(f));
        if (spare) row[used - 1] = uint8_t(row[used - 1] & (0xFF << spare));
    }
    return b;
}

bool SamePicture(TPNGObject& a, TPNGObject& b) {
    const TChunkIHDR &ha = a.GetHeader(), &hb = b.GetHeader();
    if (ha.IHDRData.Width != hb.IHDRData.Width || ha.IHDRData.Height != hb.IHDRData.Height ||
        ha.DIBBitsPerPixel != hb.DIBBitsPerPixel)
        return false;
    for (int i = 0; i < (ha.DIBBitsPerPixel <= 8 ? 1 << ha.DIBBitsPerPixel : 0); ++i)
        if (std::memcmp(&ha.Palette[i], &hb.Palette[i], 3) != 0) return false;
    return ha.ImageData == hb.ImageData && ha.ImageAlpha == hb.ImageAlpha;
}

std::string Written(const TBitmap& picture, TFilters filters, TInterlaceMethod interlace) {
    TPNGObject png;
    png.Assign(picture);
    png.Filters = filters;
    png.InterlaceMethod = interlace;
    return Save(png);
}

}  // namespace

TEST(PngWriter, RoundTripEveryFilterAndInterlace) {
    const TFilters all = 0x1F;
    const TFilters choices[] = {0, FilterSet(pfNone), FilterSet(pfSub), FilterSet(pfUp), FilterSet(pfAverage),
                                FilterSet(pfPaeth), all};
    const TPixelFormat formats[] = {TPixelFormat::pf1bit, TPixelFormat::pf4bit, TPixelFormat::pf8bit,
                                    TPixelFormat::pf24bit, TPixelFormat::pf32bit};
    const bool oracle = Libpng::Get().Available();
    for (TPixelFormat f : formats)
        for (TFilters filters : choices)
            for (TInterlaceMethod interlace : {imNone, imAdam7})
                for (auto [w, h] : {std::pair{1, 1}, std::pair{10, 7}, std::pair{33, 17}}) {
                    const std::string what = "bpp " + std::to_string(BitsPerPixel(f)) + " filters " +
                                             std::to_string(filters) + " interlace " + std::to_string(interlace) +
                                             " size " + std::to_string(w) + "x" + std::to_string(h);
                    TPNGObject source;
                    source.Assign(Picture(w, h, f));
                    const std::string file = Written(Picture(w, h, f), filters, interlace);
                    TPNGObject back;
                    ASSERT_EQ(Load(back, file), "") << what;
                    EXPECT_EQ(back.InterlaceMethod, interlace) << what;
                    EXPECT_TRUE(SamePicture(source, back)) << what;
                    if (!oracle) continue;
                    LibpngImage ref;
                    ASSERT_TRUE(Libpng::Get().Decode(file, ref)) << what;
                    TBitmap page;
                    page.SetSize(w, h, TPixelFormat::pf24bit);
                    back.Draw(page, 0, 0, w, h);
                    for (int i = 0; i < w * h; ++i) {
                        const uint8_t* r = ref.bgra.data() + size_t(i) * 4;
                        ASSERT_EQ(page.Pixel(i % w, i / w), RGBColor(r[2], r[1], r[0])) << what << " pixel " << i;
                    }
                }
}

TEST(PngWriter, FilterChoiceAndChunkSizes) {
    // The default filter set writes every row with Sub.
    const TBitmap pic = Picture(20, 9, TPixelFormat::pf24bit);
    std::string rows = ImageData(Written(pic, FilterSet(pfSub), imNone));
    ASSERT_EQ(rows.size(), size_t(9 * 61));
    for (int y = 0; y < 9; ++y) EXPECT_EQ(rows[size_t(y) * 61], 1) << y;
    // Chosen from several: flat rows are runs already, and filter 0 scores highest.
    TBitmap flat;
    flat.SetSize(20, 4, TPixelFormat::pf24bit);
    flat.Fill(RGBColor(9, 9, 9));
    rows = ImageData(Written(flat, 0x1F, imNone));
    for (int y = 0; y < 4; ++y) EXPECT_EQ(rows[size_t(y) * 61], 0) << y;

    // Compressed data a little over 65535 bytes: one full chunk and one short one.
    TBitmap noise;
    noise.SetSize(160, 140, TPixelFormat::pf24bit);
    std::mt19937 rng(1);
    for (int y = 0; y < 140; ++y)
        for (int i = 0; i < 480; ++i) noise.ScanLine(y)[i] = uint8_t(rng());
    TPNGObject png;
    png.Assign(noise);
    png.CompressionLevel = 0;
    std::vector<size_t> sizes;
    for (const auto& c : Chunks(Save(png)))
        if (c.name == "IDAT") sizes.push_back(c.data.size());
    ASSERT_EQ(sizes.size(), 2u);
    EXPECT_EQ(sizes[0], 65535u);
    EXPECT_LT(sizes[1], 65535u);
    png.SetMaxIdatSize(1000);
    sizes.clear();
    const std::string small = Save(png);
    for (const auto& c : Chunks(small))
        if (c.name == "IDAT") sizes.push_back(c.data.size());
    ASSERT_GT(sizes.size(), 60u);
    for (size_t i = 0; i + 1 < sizes.size(); ++i) ASSERT_EQ(sizes[i], 1000u);
    TPNGObject back;
    ASSERT_EQ(Load(back, small), "");
    EXPECT_TRUE(back.GetHeader().ImageData == png.GetHeader().ImageData);
}

TEST(PngWriter, RowEncoders) {
    // 16-bit RGB: the DIB's high bytes, then 0, red first.
    TPNGObject wide;
    ASSERT_EQ(Load(wide, File(1, 1, 16, 2, std::string("\0\x12\x34\x56\x78\x9a\xbc", 7))), "");
    EXPECT_EQ(ImageData(Save(wide)), std::string("\x01\x12\0\x56\0\x9a\0", 7));  // Sub of one pixel
    wide.Filters = FilterSet(pfNone);
    EXPECT_EQ(ImageData(Save(wide)), std::string("\0\x12\0\x56\0\x9a\0", 7));
    // Adam7 of 1x1: one row of pass 1 only.
    TPNGObject one;
    one.Assign(Picture(1, 1, TPixelFormat::pf24bit));
    one.InterlaceMethod = imAdam7;
    EXPECT_EQ(ImageData(Save(one)).size(), 4u);
    // Adam7, 1 bit, 10 wide: pass 1 rows hold columns 0 and 8 in bits 7 and 6; pass 2 one pixel.
    TBitmap bits;
    bits.SetSize(10, 1, TPixelFormat::pf1bit);
    bits.ScanLine(0)[0] = 0x80 | 0x08;  // columns 0 and 4
    bits.ScanLine(0)[1] = 0x80;         // column 8
    TPNGObject packed;
    packed.Assign(bits);
    packed.InterlaceMethod = imAdam7;
    packed.Filters = FilterSet(pfNone);
    const std::string rows = ImageData(Save(packed));
    // pass 1: [0, 0xC0]; pass 2: [0, 0x80]; pass 4: columns 2, 6 -> [0, 0]; pass 6: 1,3,5,7,9 -> [0, 0]
    EXPECT_EQ(rows, std::string("\0\xc0\0\x80\0\0\0\0", 8));
    // Adam7 4-bit 3x3: pass 5 rows (columns 0 and 2) one byte of two samples; pass 6 one sample.
    TBitmap nib;
    nib.SetSize(3, 3, TPixelFormat::pf4bit);
    for (int y = 0; y < 3; ++y) {
        nib.ScanLine(y)[0] = uint8_t((y + 1) << 4 | (y + 5));
        nib.ScanLine(y)[1] = uint8_t((y + 9) << 4);
    }
    TPNGObject four;
    four.Assign(nib);
    four.InterlaceMethod = imAdam7;
    four.Filters = FilterSet(pfNone);
    // pass 1 (0,0); pass 4 (0,2); pass 5 row 2 cols 0,2; pass 6 rows 0,2 col 1; pass 7 row 1 cols 0..2
    EXPECT_EQ(ImageData(Save(four)),
              std::string("\0\x10\0\x90\0\x3b\0\x50\0\x70\0\x26\xa0", 13));
    // A 2-bit grey image is written as 4 bits: values 0..3 as 0, 5, 10, 15.
    TPNGObject two;
    ASSERT_EQ(Load(two, File(4, 1, 2, 0, std::string("\0\x1b", 2))), "");
    two.Filters = FilterSet(pfNone);
    const std::string file = Save(two);
    EXPECT_EQ(uint8_t(Chunks(file)[0].data[8]), 4);
    EXPECT_EQ(ImageData(file), std::string("\0\x05\xaf", 3));
}

TEST(PngWriter, GammaGoesBackThroughTheInverse) {
    std::string raw;
    for (int x = 0; x < 16; ++x) raw += {char(x * 16), char(x * 8), char(x * 4), char(x * 15)};
    const std::string file = File(16, 3, 8, 6, '\0' + raw + '\0' + raw + '\0' + raw, {Chunk("gAMA", Be32(100000))});
    for (TInterlaceMethod interlace : {imNone, imAdam7}) {
        TPNGObject png;
        ASSERT_EQ(Load(png, file), "");
        png.InterlaceMethod = interlace;
        png.Filters = FilterSet(pfNone);
        const std::string out = Save(png);
        if (interlace == imNone) {
            const std::string rows = ImageData(out);
            for (int x = 0; x < 16; ++x) {
                EXPECT_EQ(uint8_t(rows[1 + x * 4]), png.InverseGamma[png.GammaTable[uint8_t(x * 16)]]) << x;
                EXPECT_EQ(uint8_t(rows[1 + x * 4 + 3]), uint8_t(x * 15)) << "alpha unchanged";
            }
        }
        // Read back (the gAMA chunk goes along), both methods give the same picture.
        TPNGObject back;
        ASSERT_EQ(Load(back, out), "");
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 16; ++x) {
                EXPECT_EQ(back.GetScanline(y)[x * 3 + 2], png.GammaTable[png.InverseGamma[png.GetScanline(y)[x * 3 + 2]]]);
                EXPECT_EQ(back.GetAlphaScanline(y)[x], x * 15);
            }
    }
}

TEST(PngWriter, ChunkListRules) {
    TPNGObject png;
    png.Assign(Picture(4, 4, TPixelFormat::pf8bit));
    auto names = [&] {
        std::string s;
        for (uint32_t i = 0; i < png.Chunks.Count(); ++i) s += std::string(png.Chunks.GetItem(i)->GetChunkName().data(), 4) + " ";
        return s;
    };
    EXPECT_EQ(names(), "IHDR PLTE IDAT IEND ");
    EXPECT_THROW(png.Chunks.Add<TChunkIHDR>(), EPngError);
    EXPECT_THROW(png.Chunks.Add<TChunkPLTE>(), EPngError);
    png.AddtEXt("Title", "Page 1");
    png.Chunks.Add<TChunkgAMA>();
    EXPECT_THROW(png.Chunks.Add<TChunkgAMA>(), EPngError);
    png.SetTransparentColor(png.Chunks.ItemFromClass<TChunkPLTE>()->GetPaletteItem(2));
    EXPECT_EQ(names(), "IHDR gAMA PLTE tRNS IDAT tEXt IEND ");
    EXPECT_EQ(png.GetTransparencyMode(), ptmBit);
    EXPECT_EQ(png.Chunks.ItemFromClass<TChunktRNS>()->DataSize(), 3u);
    png.RemoveTransparency();
    EXPECT_EQ(png.GetTransparencyMode(), ptmNone);
    png.CreateAlpha();
    EXPECT_EQ(png.GetTransparencyMode(), ptmPartial);
    EXPECT_EQ(png.Chunks.ItemFromClass<TChunktRNS>()->DataSize(), 256u);
    // Written and read back: text, gamma and chunk order survive.
    TPNGObject back;
    ASSERT_EQ(Load(back, Save(png)), "");
    ASSERT_TRUE(back.Chunks.ItemFromClass<TChunktEXt>());
    EXPECT_EQ(back.Chunks.ItemFromClass<TChunktEXt>()->Text, "Page 1");
    EXPECT_EQ(back.Chunks.ItemFromClass<TChunkgAMA>()->GetValue(), 1u);

    TPNGObject invalid;
    EXPECT_THROW(invalid.Chunks.Add<TChunktEXt>(), EPngError);
    TPNGObject rgba;
    ASSERT_EQ(Load(rgba, File(1, 1, 8, 6, std::string(5, '\0'))), "");
    EXPECT_THROW(rgba.SetTransparentColor(0), EPNGCannotChangeTransparent);
    // Chunks of different classes cannot be assigned to each other.
    EXPECT_THROW(rgba.Chunks.GetItem(0)->Assign(*rgba.Chunks.GetItem(1)), EPngError);
    // A whole copy holds the same picture and writes the same file.
    TPNGObject copy;
    copy.Assign(png);
    EXPECT_TRUE(SamePicture(copy, png));
    EXPECT_EQ(Save(copy), Save(png));
    // Image data without a header first is refused.
    TPNGObject headless;
    headless.Chunks.Append(std::make_unique<TChunkIDAT>(&headless));
    TMemoryStream out;
    EXPECT_THROW(headless.SaveToStream(out), std::runtime_error);
}

TEST(PngWriter, TimeAndTextChunks) {
    const std::string file = File(1, 1, 8, 0, std::string(2, '\0'),
                                  {Chunk("tIME", std::string("\x07\xe9\x0c\x09\x0a\x0b\x0c", 7)),
                                   Chunk("tEXt", std::string("Author\0Someone", 14)), Chunk("tEXt", "no separator")});
    TPNGObject png;
    ASSERT_EQ(Load(png, file), "");
    auto* t = png.Chunks.ItemFromClass<TChunktIME>();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->Year * 10000 + t->Month * 100 + t->Day, 20251209);
    EXPECT_EQ(t->Hour * 10000 + t->Minute * 100 + t->Second, 101112);
    auto* text = png.Chunks.ItemFromClass<TChunktEXt>();
    EXPECT_EQ(text->Keyword + "=" + text->Text, "Author=Someone");
    // The one without a separator is kept raw; written back it is an empty keyword.
    EXPECT_EQ(static_cast<TChunktEXt*>(png.Chunks.GetItem(3))->Keyword, "");
    const auto chunks = Chunks(Save(png));
    EXPECT_EQ(chunks[1].data, std::string("\x07\xe9\x0c\x09\x0a\x0b\x0c", 7));
    EXPECT_EQ(chunks[2].data, std::string("Author\0Someone", 14));
}

// The filter each row gets when several are allowed: the one whose bytes most often repeat
// one of the two before them, the earlier filter on a tie, filter 0 when none scores.
TEST(PngWriter, FilterChosenForCraftedRows) {
    const int w = 12;
    TBitmap pic;
    pic.SetSize(w, 7, TPixelFormat::pf8bit);  // palette indices: one byte a pixel
    const uint8_t noise[w] = {77, 133, 51, 167, 86, 13, 210, 208, 38, 52, 64, 163};
    auto row = [&](int y) { return pic.ScanLine(y); };
    for (int x = 0; x < w; ++x) {
        row(0)[x] = noise[x];                   // nothing repeats under any filter: 0
        row(1)[x] = uint8_t(noise[x] + 10);     // the row above plus 10: Up
        row(2)[x] = uint8_t(242 + 4 * x);       // the left neighbour plus 4: Sub
        row(5)[x] = 50;                         // flat: None, and Sub ties with it
        // Steps of 19 and 7 in turn: under Sub each byte repeats the one two before it.
        row(6)[x] = uint8_t(x ? row(6)[x - 1] + (x % 2 ? 7 : 19) : 19);
    }
    for (int x = 0; x < w; ++x) {
        // The mean of left and up plus 5: Average; then the Paeth prediction plus 3: Paeth.
        // Each of rows 1 to 4 wins outright (row 4 scores 1, 2, 7, 2, 10).
        const int left3 = x ? row(3)[x - 1] : 0, left4 = x ? row(4)[x - 1] : 0;
        row(3)[x] = uint8_t(((left3 + row(2)[x]) >> 1) + 5);
        row(4)[x] = uint8_t(pngfilters::PaethPredictor(left4, row(3)[x], x ? row(3)[x - 1] : 0) + 3);
    }
    const std::string rows = ImageData(Written(pic, 0x1F, imNone));
    ASSERT_EQ(rows.size(), size_t(7 * (w + 1)));
    const int chosen[7] = {0, 2, 1, 3, 4, 0, 1};
    for (int y = 0; y < 7; ++y) EXPECT_EQ(rows[size_t(y) * (w + 1)], chosen[y]) << "row " << y;
    // The first row of a ramp: Sub and Paeth both score 10 (nothing above), Average 5.
    TBitmap ramp;
    ramp.SetSize(w, 1, TPixelFormat::pf8bit);
    for (int x = 0; x < w; ++x) ramp.ScanLine(0)[x] = uint8_t(x);
    EXPECT_EQ(ImageData(Written(ramp, FilterSet(pfSub) | FilterSet(pfPaeth), imNone))[0], 1);
    EXPECT_EQ(ImageData(Written(ramp, FilterSet(pfAverage) | FilterSet(pfPaeth), imNone))[0], 4);
    EXPECT_EQ(ImageData(Written(ramp, FilterSet(pfNone) | FilterSet(pfAverage), imNone))[0], 3);
}

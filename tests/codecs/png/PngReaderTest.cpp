// Reading: the chunk loop, the header and ancillary chunks, image data, and hostile files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "LibpngOracle.h"
#include "PngTestFiles.h"
#include "codecs/png/PngPage.h"
#include "codecs/png/Pngimage.h"
#include "pages/PageBMP.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test::png;

namespace {

// Which exception class a load raised: "" for none.
std::string Raised(const std::string& file) {
    TPNGObject png;
    TByteViewStream s(file.data(), int64_t(file.size()));
    try {
        png.LoadFromStream(s);
    } catch (const EPNGInvalidFileHeader&) {
        return "InvalidFileHeader";
    } catch (const EPNGIHDRNotFirst&) {
        return "IHDRNotFirst";
    } catch (const EPngUnexpectedEnd&) {
        return "UnexpectedEnd";
    } catch (const EPNGUnknownCriticalChunk&) {
        return "UnknownCriticalChunk";
    } catch (const EPNGNoImageData&) {
        return "NoImageData";
    } catch (const EPngInvalidCRC&) {
        return "InvalidCRC";
    } catch (const EPngInvalidIHDR&) {
        return "InvalidIHDR";
    } catch (const EPNGSizeExceeds&) {
        return "SizeExceeds";
    } catch (const EPNGUnknownCompression&) {
        return "UnknownCompression";
    } catch (const EPNGUnknownInterlace&) {
        return "UnknownInterlace";
    } catch (const EPNGInvalidPalette&) {
        return "InvalidPalette";
    } catch (const EPNGMissingMultipleIDAT&) {
        return "MissingMultipleIDAT";
    } catch (const EPNGZLIBError&) {
        return "ZLIBError";
    } catch (const EPNGOutMemory&) {
        return "OutMemory";
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
    return "";
}

// Rows of a w x h 8-bit RGB picture, filter byte 0, with pixel (x, y) = (x, y, x + y).
std::string RgbRows(int w, int h) {
    std::string raw;
    for (int y = 0; y < h; ++y) {
        raw += '\0';
        for (int x = 0; x < w; ++x) raw += {char(x * 10), char(y * 10), char(x + y)};
    }
    return raw;
}

const std::string kSmall = File(3, 2, 8, 2, RgbRows(3, 2));

TColor PixelOf(TPNGObject& png, int x, int y) {
    TBitmap page;
    page.SetSize(png.GetWidth(), png.GetHeight(), TPixelFormat::pf24bit);
    page.Fill(RGBColor(255, 255, 255));
    png.Draw(page, 0, 0, png.GetWidth(), png.GetHeight());
    return page.Pixel(x, y);
}

}  // namespace

TEST(PngReader, ChunkLoopRefusals) {
    const std::string head = kSignature + Ihdr(3, 2, 8, 2);
    const std::string data = Chunk("IDAT", Zlib(RgbRows(3, 2)));
    struct Case {
        const char* what;
        std::string file;
        const char* raised;
    } cases[] = {
        {"short stream", "\x89PNG", "InvalidFileHeader"},
        {"other signature", "\x89PNG\r\n\x1a\r" + kSmall.substr(8), "InvalidFileHeader"},
        {"gAMA first", kSignature + Chunk("gAMA", Be32(45455)) + kSmall.substr(8), "IHDRNotFirst"},
        {"lower-case header", kSignature + Chunk("iHDR", kSmall.substr(16, 13)), "IHDRNotFirst"},
        {"no IEND", head + data, "UnexpectedEnd"},
        {"cut inside a length", head + data.substr(0, 2), "UnexpectedEnd"},
        {"no IDAT", head + Iend(), "NoImageData"},
        {"unknown critical", head + Chunk("ABCD", "x") + data + Iend(), "UnknownCriticalChunk"},
        {"unknown ancillary, bad CRC", head + Chunk("abCD", "x", true) + data + Iend(), "InvalidCRC"},
        {"header CRC", kSignature + Ihdr(3, 2, 8, 2).substr(0, 20) + "\x01" + kSmall.substr(29), "InvalidCRC"},
        {"ancillary length past the end", head + Be32(0x7FFFFFF0) + "tEXt" + "abc", "UnexpectedEnd"},
        {"cHRM length past the end", head + Be32(0xFFFFFFF0) + "cHRM" + "abc", "UnexpectedEnd"},
        {"IDAT CRC", head + Chunk("IDAT", Zlib(RgbRows(3, 2)), true) + Iend(), "InvalidCRC"},
        {"deflate data spoilt", head + Chunk("IDAT", "\x78\x9c\xff\xff\xff\xff\xff") + Iend(), "ZLIBError"},
        {"zero-sized", "", "InvalidFileHeader"},
    };
    for (const auto& c : cases) EXPECT_EQ(Raised(c.file), c.raised) << c.what;

    // Tolerated: cHRM skipped unread (even with a bad CRC), unknown ancillary chunks kept
    // raw, anything after IEND ignored.
    TPNGObject png;
    const std::string tolerated = head + Chunk("cHRM", "junk", true) + Chunk("abCD", "raw") + data + Iend() +
                                  Chunk("IDAT", "garbage", true) + "trailing";
    ASSERT_EQ(Load(png, tolerated), "");
    ASSERT_EQ(png.Chunks.Count(), 4u);  // IHDR, abCD, IDAT, IEND
    TChunk* raw = png.Chunks.GetItem(1);
    EXPECT_TRUE(typeid(*raw) == typeid(TChunk));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(raw->Data()), raw->DataSize()), "raw");
    EXPECT_EQ(std::string(raw->GetChunkName().data(), 4), "abCD");
}

TEST(PngReader, ExceptionTextsReachThePage) {
    TPNGObject png;
    EXPECT_EQ(Load(png, "not a png at all"),
              "The file being readed is not a valid \"Portable Network Graphics\" image because it contains an invalid "
              "header. This file may be corruped, try obtaining it again.");
    EXPECT_EQ(Load(png, kSignature + Ihdr(3, 2, 8, 2) + Chunk("IDAT", "\x78\x9c\xff\xff\xff")),
              "Could not decompress the image because it contains invalid compressed data.\r\n Description: data error "
              "(-3)");
    // The page shows the error page; the text goes to the trace.
    TPageBMP page("broken.png");
    TMemoryStream s;
    s.Write("\x89PNG\r\n\x1a\n", 8);
    page.LoadFromStream(&s);
    EXPECT_TRUE(page.LoadError);
    EXPECT_EQ(page.Width(), 400);
    TPageBMP good("fine.png");
    TByteViewStream ok(kSmall.data(), int64_t(kSmall.size()));
    good.LoadFromStream(&ok);
    EXPECT_FALSE(good.LoadError);
    EXPECT_EQ(good.DecodedWidth * 1000 + good.DecodedHeight, 3002);
    EXPECT_EQ(good.Pixel(2, 1), RGBColor(20, 10, 3));
}

TEST(PngReader, HeaderChecks) {
    auto with = [](uint32_t w, uint32_t h, int depth, int type, int interlace = 0, int compression = 0) {
        return kSignature + Ihdr(w, h, depth, type, interlace, compression) + Chunk("IDAT", Zlib(std::string(4, '\0'))) +
               Iend();
    };
    struct Case {
        const char* what;
        std::string file;
        const char* raised;
    } cases[] = {
        {"65536 wide", with(65536, 1, 8, 0), "SizeExceeds"},
        {"65536 high", with(1, 65536, 8, 0), "SizeExceeds"},
        {"2^31 wide", with(0x80000000u, 1, 8, 0), "SizeExceeds"},
        {"2^32-1 high", with(1, 0xFFFFFFFFu, 8, 0), "SizeExceeds"},
        // Within 65535 but above the page limit: refused before anything is allocated.
        {"65535 x 65535", with(65535, 65535, 8, 2), "OutMemory"},
        {"zero wide", with(0, 5, 8, 0), "InvalidIHDR"},
        {"zero high", with(5, 0, 8, 0), "InvalidIHDR"},
        {"colour type 1", with(1, 1, 8, 1), "InvalidIHDR"},
        {"colour type 5", with(1, 1, 8, 5), "InvalidIHDR"},
        {"colour type 9", with(1, 1, 8, 9), "InvalidIHDR"},
        {"RGB at depth 4", with(1, 1, 4, 2), "InvalidIHDR"},
        {"palette at depth 16", with(1, 1, 16, 3), "InvalidIHDR"},
        {"grey at depth 3", with(1, 1, 3, 0), "InvalidIHDR"},
        {"depth 0", with(1, 1, 0, 0), "InvalidIHDR"},
        {"compression 1", with(1, 1, 8, 0, 0, 1), "UnknownCompression"},
        {"interlace 2", with(1, 1, 8, 0, 2), "UnknownInterlace"},
        {"12-byte header", kSignature + Chunk("IHDR", Ihdr(1, 1, 8, 0).substr(8, 12)) + Iend(), "InvalidIHDR"},
    };
    for (const auto& c : cases) EXPECT_EQ(Raised(c.file), c.raised) << c.what;
    // A 14-byte header is read by its first 13 bytes.
    TPNGObject png;
    const std::string longer = kSignature + Chunk("IHDR", Ihdr(3, 2, 8, 2).substr(8, 13) + "x") +
                               Chunk("IDAT", Zlib(RgbRows(3, 2))) + Iend();
    ASSERT_EQ(Load(png, longer), "");
    EXPECT_EQ(png.GetWidth() * 10 + png.GetHeight(), 32);
    // The largest size the header allows is within the check (and reaches the page limit).
    EXPECT_EQ(Raised(with(65535, 4097, 8, 0)), "OutMemory");
    EXPECT_EQ(Raised(with(65535, 4, 8, 0)), "");  // short data: the rest stays zero
}

TEST(PngReader, EmptyObjectAndSize) {
    TPNGObject png;
    EXPECT_TRUE(png.GetEmpty());
    EXPECT_EQ(png.GetWidth() + png.GetHeight(), 0);
    EXPECT_THROW(png.SetWidth(5), EPngError);
    EXPECT_THROW(png.GetHeader(), EPNGHeaderNotPresent);
    TBitmap page;
    page.SetSize(2, 2, TPixelFormat::pf24bit);
    page.Fill(RGBColor(1, 2, 3));
    png.Draw(page, 0, 0, 2, 2);  // no header: nothing drawn
    EXPECT_EQ(page.Pixel(1, 1), RGBColor(1, 2, 3));
    ASSERT_EQ(Load(png, kSmall), "");
    EXPECT_THROW(png.SetHeight(1), EPngError);
    EXPECT_EQ(png.GetWidth(), 3);
}

TEST(PngReader, PaletteGammaAndTransparencyChunks) {
    auto palette = [](int entries) {
        std::string p;
        for (int i = 0; i < entries; ++i) p += {char(i), char(255 - i), char(i / 2)};
        return p;
    };
    const std::string rows = std::string("\0\0\1", 3) + std::string("\0\2\3", 3);  // 2x2 indices 0 1 / 2 3
    struct Case {
        const char* what;
        std::vector<std::string> chunks;
        const char* raised;
    } cases[] = {
        {"256 entries", {Chunk("PLTE", palette(256))}, ""},
        {"257 entries", {Chunk("PLTE", palette(257))}, "InvalidPalette"},
        {"10 bytes", {Chunk("PLTE", palette(3) + "x")}, "InvalidPalette"},
        {"tRNS of 257", {Chunk("PLTE", palette(4)), Chunk("tRNS", std::string(257, 'x'))}, "InvalidPalette"},
    };
    for (const auto& c : cases) EXPECT_EQ(Raised(File(2, 2, 8, 3, rows, c.chunks)), c.raised) << c.what;
    EXPECT_EQ(Raised(File(3, 2, 8, 2, RgbRows(3, 2), {Chunk("tRNS", "\0\1\0\2")})), "InvalidPalette") << "short RGB";
    EXPECT_EQ(Raised(File(1, 1, 8, 0, std::string(2, '\0'), {Chunk("tRNS", "\0")})), "InvalidPalette") << "short grey";

    // Gamma: 45455 is close to no change, 100000 is x^(1/2.2); a palette before gAMA is
    // converted with the table in force then (none); a gAMA of another length is ignored.
    struct GammaCase {
        std::string chunk;
        bool paletteFirst;
        int at128, paletteRed1;
    } gammas[] = {
        {Chunk("gAMA", Be32(45455)), false, 128, 1},
        {Chunk("gAMA", Be32(100000)), false, int(std::nearbyint(255 * std::pow(128 / 255.0, 1 / 2.2))),
         int(std::nearbyint(255 * std::pow(1 / 255.0, 1 / 2.2)))},
        {Chunk("gAMA", Be32(100000)), true, int(std::nearbyint(255 * std::pow(128 / 255.0, 1 / 2.2))), 1},
        {Chunk("gAMA", Be32(100000) + "x"), false, 128, 1},
        {Chunk("gAMA", Be32(0)), false, 128, 1},
    };
    for (const auto& g : gammas) {
        TPNGObject png;
        std::vector<std::string> chunks = {g.chunk, Chunk("PLTE", palette(4))};
        if (g.paletteFirst) std::swap(chunks[0], chunks[1]);
        ASSERT_EQ(Load(png, File(2, 2, 8, 3, rows, chunks)), "");
        EXPECT_EQ(png.GammaTable[128], g.at128);
        EXPECT_EQ(png.InverseGamma[png.GammaTable[200]], 200);
        EXPECT_EQ(GetRValue(png.Chunks.ItemFromClass<TChunkPLTE>()->GetPaletteItem(1)), g.paletteRed1);
    }
    TPNGObject png;
    ASSERT_EQ(Load(png, File(2, 2, 8, 3, rows, {Chunk("PLTE", palette(4))})), "");
    EXPECT_THROW(png.Chunks.ItemFromClass<TChunkPLTE>()->GetPaletteItem(4), EPngError);
    // A second image read into the same object starts from no gamma again.
    ASSERT_EQ(Load(png, File(2, 2, 8, 3, rows, {Chunk("gAMA", Be32(100000)), Chunk("PLTE", palette(4))})), "");
    ASSERT_EQ(Load(png, File(2, 2, 8, 3, rows, {Chunk("PLTE", palette(4))})), "");
    EXPECT_EQ(png.GammaTable[128], 128);
}

TEST(PngReader, TransparencyModes) {
    std::string pal;
    for (int i = 0; i < 4; ++i) pal += {char(i * 60), char(i * 30), char(i * 10)};
    const std::string rows = std::string("\0\0\1", 3) + std::string("\0\2\3", 3);
    struct Case {
        std::string trns;
        TPNGTransparencyMode mode;
        TColor colour;  // GetTransparentColor
    } cases[] = {
        {std::string("\xff\0\xff\xff", 4), ptmBit, RGBColor(60, 30, 10)},
        {std::string("\0\0\xff", 3), ptmPartial, RGBColor(0, 0, 0)},           // two below 255
        {std::string("\xff\x80", 2), ptmPartial, 0},                            // one partly transparent: blended
        {std::string("\xff\xff", 2), ptmPartial, 0},
    };
    for (const auto& c : cases) {
        TPNGObject png;
        ASSERT_EQ(Load(png, File(2, 2, 8, 3, rows, {Chunk("PLTE", pal), Chunk("tRNS", c.trns)})), "");
        EXPECT_EQ(png.GetTransparencyMode(), c.mode) << c.trns.size();
        EXPECT_EQ(png.GetTransparentColor(), c.colour) << c.trns.size();
    }
    // Drawn on white: entry 1 left out, or blended at 128/255.
    TPNGObject keyed, half;
    ASSERT_EQ(Load(keyed, File(2, 2, 8, 3, rows, {Chunk("PLTE", pal), Chunk("tRNS", std::string("\xff\0", 2))})), "");
    EXPECT_EQ(PixelOf(keyed, 1, 0), RGBColor(255, 255, 255));
    EXPECT_EQ(PixelOf(keyed, 0, 1), RGBColor(120, 60, 20));
    ASSERT_EQ(Load(half, File(2, 2, 8, 3, rows, {Chunk("PLTE", pal), Chunk("tRNS", "\xff\x80")})), "");
    const unsigned mix = (60 * 128 + 255 + 127 * 255) >> 8;
    EXPECT_EQ(GetRValue(PixelOf(half, 1, 0)), mix);

    // Grey and RGB samples: depth 8 takes the low byte, 16 the high byte.
    TPNGObject grey, grey16, rgb;
    ASSERT_EQ(Load(grey, File(2, 1, 8, 0, std::string("\0\x07\x09", 3), {Chunk("tRNS", std::string("\0\x07", 2))})), "");
    EXPECT_EQ(grey.GetTransparencyMode(), ptmBit);
    EXPECT_EQ(grey.GetTransparentColor(), RGBColor(7, 7, 7));
    EXPECT_EQ(PixelOf(grey, 0, 0), RGBColor(255, 255, 255));
    EXPECT_EQ(PixelOf(grey, 1, 0), RGBColor(9, 9, 9));
    ASSERT_EQ(Load(grey16, File(1, 1, 16, 0, std::string("\0\x12\x34", 3), {Chunk("tRNS", "\x12\x34")})), "");
    EXPECT_EQ(grey16.GetTransparentColor(), RGBColor(0x12, 0x12, 0x12));
    ASSERT_EQ(Load(rgb, File(3, 2, 8, 2, RgbRows(3, 2), {Chunk("tRNS", std::string("\0\x0a\0\x0a\0\x02", 6))})), "");
    EXPECT_EQ(rgb.GetTransparentColor(), RGBColor(10, 10, 2));
    EXPECT_EQ(PixelOf(rgb, 1, 1), RGBColor(255, 255, 255));
    EXPECT_EQ(PixelOf(rgb, 1, 0), RGBColor(10, 0, 1));

    // Alpha channels blend: 0 leaves white, 255 gives the colour exactly.
    std::string rgba = std::string("\0", 1) + std::string("\x10\x20\x30\0\x10\x20\x30\xff\x10\x20\x30\x80", 12);
    TPNGObject alpha;
    ASSERT_EQ(Load(alpha, File(3, 1, 8, 6, rgba)), "");
    EXPECT_EQ(alpha.GetTransparencyMode(), ptmPartial);
    EXPECT_EQ(PixelOf(alpha, 0, 0), RGBColor(255, 255, 255));
    EXPECT_EQ(PixelOf(alpha, 1, 0), RGBColor(0x10, 0x20, 0x30));
    EXPECT_EQ(GetRValue(PixelOf(alpha, 2, 0)), (0x10 * 128 + 255 + 127 * 255) >> 8);
}

TEST(PngReader, SamplesOfEveryDepth) {
    // 2-bit grey 0b00011011 gives the 4-bit indices 0, 5, 10, 15 (greys 0, 85, 170, 255).
    TPNGObject two;
    ASSERT_EQ(Load(two, File(4, 1, 2, 0, std::string("\0\x1b", 2))), "");
    EXPECT_EQ(two.GetHeader().DIBBitsPerPixel, 4);
    EXPECT_EQ(two.GetScanline(0)[0], 0x05);
    EXPECT_EQ(two.GetScanline(0)[1], 0xAF);
    EXPECT_EQ(PixelOf(two, 2, 0), RGBColor(170, 170, 170));
    // 16-bit RGB keeps the high bytes, stored blue, green, red.
    TPNGObject wide;
    ASSERT_EQ(Load(wide, File(1, 1, 16, 2, std::string("\0\x12\x34\x56\x78\x9a\xbc", 7))), "");
    const uint8_t* p = wide.GetScanline(0);
    EXPECT_EQ(p[0] * 65536 + p[1] * 256 + p[2], 0x9A5612);
    // 16-bit grey becomes an 8-bit index; grey with alpha keeps both high bytes.
    TPNGObject grey16, greyAlpha;
    ASSERT_EQ(Load(grey16, File(1, 1, 16, 0, std::string("\0\xab\xcd", 3))), "");
    EXPECT_EQ(grey16.GetHeader().DIBBitsPerPixel, 8);
    EXPECT_EQ(grey16.GetScanline(0)[0], 0xAB);
    ASSERT_EQ(Load(greyAlpha, File(1, 1, 16, 4, std::string("\0\x40\x01\xff\x02", 5))), "");
    EXPECT_EQ(greyAlpha.GetScanline(0)[0], 0x40);
    EXPECT_EQ(greyAlpha.GetAlphaScanline(0)[0], 0xFF);
    // A filter byte above 4 leaves its row as it stands.
    TPNGObject odd;
    ASSERT_EQ(Load(odd, File(2, 1, 8, 0, std::string("\x07\x11\x22", 3))), "");
    EXPECT_EQ(odd.GetScanline(0)[1], 0x22);
}

TEST(PngReader, ImageDataAcrossChunks) {
    const std::string head = kSignature + Ihdr(3, 2, 8, 2);
    const std::string z = Zlib(RgbRows(3, 2));
    TPNGObject whole;
    ASSERT_EQ(Load(whole, kSmall), "");
    auto same = [&](const std::string& file, const std::string& what) {
        TPNGObject png;
        ASSERT_EQ(Load(png, file), "") << what;
        EXPECT_TRUE(png.GetHeader().ImageData == whole.GetHeader().ImageData) << what;
    };
    std::string ones, withEmpty;
    for (size_t i = 0; i < z.size(); ++i) {
        ones += Chunk("IDAT", z.substr(i, 1));
        withEmpty += Chunk("IDAT", z.substr(i, 1)) + Chunk("IDAT", "");
    }
    same(head + ones + Iend(), "one-byte chunks");
    same(head + Chunk("IDAT", "") + withEmpty + Iend(), "empty chunks between");
    // The checksum's last bytes alone in a chunk after the rows are complete.
    same(head + Chunk("IDAT", z.substr(0, z.size() - 2)) + Chunk("IDAT", z.substr(z.size() - 2)) + Iend(), "trailer");
    // Any chunk of the run with a bad CRC fails, the last one included.
    for (size_t bad : {size_t(0), z.size() / 2, z.size() - 1}) {
        std::string f = head;
        for (size_t i = 0; i < z.size(); ++i) f += Chunk("IDAT", z.substr(i, 1), i == bad);
        EXPECT_EQ(Raised(f + Iend()), "InvalidCRC") << bad;
    }
    EXPECT_EQ(Raised(head + Chunk("IDAT", z.substr(0, 5)) + Chunk("tEXt", "a\0b") + Chunk("IDAT", z.substr(5)) + Iend()),
              "MissingMultipleIDAT");
}

TEST(PngReader, CutShortAndHostileFilesNeverCrash) {
    // A file cut anywhere is refused or shows the rows it had; never a crash or a hang.
    const int w = 40, h = 30;
    std::string interlaced = kSignature + Ihdr(w, h, 8, 6, 1) + Chunk("tEXt", std::string("Title\0cut", 9));
    std::string raw;
    for (int i = 0; i < 15 * 8 * 41 * 4; ++i) raw += char(i * 7 % 251);
    interlaced += Chunk("IDAT", Zlib(raw, 1)) + Iend();
    for (const std::string& file : {kSmall, interlaced, File(w, h, 2, 0, std::string(h * 11, '\x5a'))}) {
        for (size_t n = 0; n < file.size(); ++n) {
            TPNGObject png;
            const std::string cut = file.substr(0, n);
            TByteViewStream s(cut.data(), int64_t(cut.size()));
            try {
                png.LoadFromStream(s);
            } catch (const std::exception&) {
                continue;
            }
            TBitmap page;
            page.SetSize(png.GetWidth(), png.GetHeight(), TPixelFormat::pf24bit);
            png.Draw(page, 0, 0, png.GetWidth(), png.GetHeight());
        }
    }
    // Cut at each chunk boundary before the end: the next length cannot be read.
    for (size_t at = 8; at < kSmall.size(); at += 12 + GetBe32(kSmall, at))
        EXPECT_EQ(Raised(kSmall.substr(0, at)), "UnexpectedEnd") << at;
    // The deflate stream itself cut short (its chunk complete): the rows so far, then zero.
    const std::string z = Zlib(RgbRows(3, 2));
    TPNGObject partial;
    ASSERT_EQ(Load(partial, kSignature + Ihdr(3, 2, 8, 2) + Chunk("IDAT", z.substr(0, 14))), "");
    EXPECT_EQ(partial.GetScanline(1)[6], 0);
    // Truncated inside the image data: what was decoded is shown.
    const std::string big = File(200, 200, 8, 2, RgbRows(200, 200));
    TPNGObject half;
    ASSERT_EQ(Load(half, big.substr(0, big.size() / 2)), "");
    EXPECT_NE(half.GetScanline(0)[3 * 10 + 2], 0);
    EXPECT_EQ(half.GetScanline(199)[3 * 150 + 1], 0);
    // A stream that ends the deflate data early leaves the later rows zero.
    TPNGObject shortData;
    ASSERT_EQ(Load(shortData, File(3, 4, 8, 2, RgbRows(3, 2))), "");
    EXPECT_EQ(shortData.GetScanline(3)[4], 0);
}

TEST(PngReader, InterlacedNarrowAndTinyImages) {
    // Width 1: passes 2, 4 and 6 have no pixels and read nothing.
    std::string raw;
    const int h = 9;
    // pass 1: rows 0, 8; pass 3: row 4; pass 5: rows 2, 6; pass 7: rows 1, 3, 5, 7
    for (int y : {0, 8, 4, 2, 6, 1, 3, 5, 7}) raw += {'\0', char(y * 20)};
    TPNGObject png;
    ASSERT_EQ(Load(png, File(1, h, 8, 0, raw, {}, 1)), "");
    for (int y = 0; y < h; ++y) EXPECT_EQ(png.GetScanline(uint32_t(y))[0], y * 20) << y;
}

namespace {

// The page the picture gives when drawn onto a white page of its size.
TBitmap DrawnPage(const std::string& file) {
    TPNGObject png;
    TBitmap page;
    if (!Load(png, file).empty()) return page;
    page.SetSize(png.GetWidth(), png.GetHeight(), TPixelFormat::pf24bit);
    page.Fill(RGBColor(255, 255, 255));
    png.Draw(page, 0, 0, png.GetWidth(), png.GetHeight());
    return page;
}

TBitmap DecodedPage(const std::string& file) {
    TBitmap page;
    TByteViewStream s(file.data(), int64_t(file.size()));
    try {
        DecodePngPage(s, page);
    } catch (const std::exception&) {
        EXPECT_TRUE(page.Empty());
    }
    return page;
}

bool SamePixels(const TBitmap& a, const TBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat()) return false;
    for (int y = 0; y < a.Height(); ++y)
        if (std::memcmp(a.ScanLine(y), b.ScanLine(y), size_t(a.Stride())) != 0) return false;
    return true;
}

std::string Bytes(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (auto& c : s) c = char((seed = seed * 1103515245u + 12345u) >> 16);
    return s;
}

}  // namespace

// A page decoded straight onto the page shows what the picture drawn onto white shows, for
// every colour type and depth, with palette transparency, colour keys, gamma, interlace and
// data that ends early.
TEST(PngReader, PageDecodeMatchesTheDrawnPicture) {
    struct Type {
        int colorType;
        std::vector<int> depths;
    } types[] = {{0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
    const uint32_t w = 37, h = 23;
    int checked = 0;
    for (const Type& t : types)
        for (int depth : t.depths)
            for (int interlace : {0, 1})
                for (int variant = 0; variant < 4; ++variant) {
                    // Random filter bytes and samples: bytes above 4 leave a row unfiltered.
                    const size_t rowBytes = size_t(PngRowBytes(uint8_t(t.colorType), uint8_t(depth), w)) + 1;
                    const bool cut = variant == 3;
                    std::string raw = Bytes(rowBytes * h * (interlace ? 2 : 1), uint32_t(checked + 1));
                    if (cut) raw.resize(rowBytes * h / 3);
                    std::vector<std::string> chunks;
                    if (variant == 1) chunks.push_back(Chunk("gAMA", Be32(100000)));
                    if (t.colorType == 3) {
                        chunks.push_back(Chunk("PLTE", Bytes(3 * (size_t(1) << depth), 99)));
                        // Entry 0 half transparent (what rows never reached show), one clear.
                        if (variant >= 2) chunks.push_back(Chunk("tRNS", std::string("\x80\xff\0\xc0", 4)));
                    }
                    // Keys: with gamma; of random samples; of zeros, which rows never reached hold.
                    if (variant >= 1 && (t.colorType == 0 || t.colorType == 2))
                        chunks.push_back(Chunk("tRNS", variant == 3 ? std::string(6, '\0') : Bytes(6, uint32_t(checked))));
                    const std::string file = File(w, h, depth, t.colorType, raw, chunks, interlace);
                    const TBitmap drawn = DrawnPage(file), page = DecodedPage(file);
                    ASSERT_FALSE(page.Empty());
                    EXPECT_TRUE(SamePixels(page, drawn))
                        << "type " << t.colorType << " depth " << depth << " interlace " << interlace << " variant "
                        << variant;
                    ++checked;
                }
    EXPECT_EQ(checked, 120);
}

// A colour key is compared with the file's samples: 16-bit samples before they lose their
// low byte, and before gamma, so that a sample near the key stays opaque (as libpng shows),
// on the page and in the picture drawn.
TEST(PngReader, ColourKeyComparesTheFileSamples) {
    const TColor white = RGBColor(255, 255, 255);
    // One row of pixels (`size` bytes each) as plain data, or as Adam7 passes 1, 4 and 6.
    auto row = [](const std::string& pixels, size_t size, int interlace) {
        if (!interlace) return std::string(1, '\0') + pixels;
        std::string out;
        for (size_t x : {0, 2, 1})
            if ((x + 1) * size <= pixels.size()) out += std::string(1, '\0') + pixels.substr(x * size, size);
        return out;
    };
    auto corrected = [](int v) { return int(std::nearbyint(255 * std::pow(v / 255.0, 1 / 2.2))); };
    int k = 128;
    while (corrected(k) != corrected(k + 1)) ++k;
    ASSERT_LT(corrected(k), 255);
    const std::string key = std::string("\x10\x00\x20\x00\x30\x00", 6);
    for (int interlace : {0, 1}) {
        SCOPED_TRACE(interlace);
        // 16-bit grey, key 0x1200: 0x1234 and 0x12ff are opaque, 0x1200 alone is left out.
        const std::string grey = File(3, 1, 16, 0, row(std::string("\x12\x34\x12\x00\x12\xff", 6), 2, interlace),
                                      {Chunk("tRNS", std::string("\x12\x00", 2))}, interlace);
        TBitmap page = DecodedPage(grey);
        ASSERT_EQ(page.Width(), 3);
        EXPECT_EQ(page.Pixel(0, 0), RGBColor(0x12, 0x12, 0x12));
        EXPECT_EQ(page.Pixel(1, 0), white);
        EXPECT_EQ(page.Pixel(2, 0), RGBColor(0x12, 0x12, 0x12));
        // 16-bit RGB: one low byte apart from the key is another colour.
        const std::string rgb =
            File(2, 1, 16, 2, row(key + std::string("\x10\x01\x20\x00\x30\x00", 6), 6, interlace), {Chunk("tRNS", key)},
                 interlace);
        page = DecodedPage(rgb);
        EXPECT_EQ(page.Pixel(0, 0), white);
        EXPECT_EQ(page.Pixel(1, 0), RGBColor(0x10, 0x20, 0x30));
        // 8-bit RGB with gamma: two samples the correction makes equal are still two colours.
        const std::string sample = {char(k), char(k), char(k)}, next = {char(k + 1), char(k + 1), char(k + 1)};
        const std::string gamma =
            File(2, 1, 8, 2, row(sample + next, 3, interlace),
                 {Chunk("gAMA", Be32(100000)), Chunk("tRNS", std::string(1, '\0') + char(k) + '\0' + char(k) + '\0' + char(k))},
                 interlace);
        page = DecodedPage(gamma);
        EXPECT_EQ(page.Pixel(0, 0), white);
        const uint8_t c = uint8_t(corrected(k + 1));
        EXPECT_EQ(page.Pixel(1, 0), RGBColor(c, c, c));
        for (const std::string* file : {&grey, &rgb, &gamma}) {
            // The picture drawn, and a copy of it drawn, show the same as the page.
            page = DecodedPage(*file);
            EXPECT_TRUE(SamePixels(DrawnPage(*file), page));
            TPNGObject png, copy;
            ASSERT_EQ(Load(png, *file), "");
            copy.Assign(png);
            TBitmap drawn;
            drawn.SetSize(png.GetWidth(), 1, TPixelFormat::pf24bit);
            drawn.Fill(white);
            copy.Draw(drawn, 0, 0, png.GetWidth(), 1);
            EXPECT_TRUE(SamePixels(drawn, page));
            // libpng agrees on which pixels the key leaves out.
            if (!test::Libpng::Get().Available()) continue;
            test::LibpngImage ref;
            ASSERT_TRUE(test::Libpng::Get().Decode(*file, ref));
            for (int x = 0; x < ref.width; ++x) EXPECT_EQ(ref.bgra[size_t(x) * 4 + 3] == 0, page.Pixel(x, 0) == white) << x;
        }
        // A key set later is one of the picture's colours: every 0x12xx grey matches it.
        TPNGObject keyed;
        ASSERT_EQ(Load(keyed, grey), "");
        keyed.SetTransparentColor(RGBColor(0x12, 0x12, 0x12));
        for (int x = 0; x < 3; ++x) EXPECT_EQ(PixelOf(keyed, x, 0), white) << x;
    }
}

namespace {

int g_pngPasses = 0;
void StopAtThirdPass() {
    if (++g_pngPasses == 3) RequestStop();
}

}  // namespace

// Esc while a large page is decoded: the window's messages get through every few rows, and
// the program's end stops the decode there, leaving no page.
TEST(PngReader, PageDecodeStopsAtTheNextGroupOfRowsOnceTheProgramEnds) {
    test::FakeUi ui;
    const uint32_t w = 300, h = 1024;
    std::string rows;
    for (uint32_t y = 0; y < h; ++y) rows += '\0' + std::string(w, char(y));
    for (int interlace : {0, 1}) {
        std::string raw = rows;
        if (interlace) {  // the seven passes' rows, each filter 0 and a grey
            static constexpr uint32_t row0[7] = {0, 0, 4, 0, 2, 0, 1}, col0[7] = {0, 4, 0, 2, 0, 1, 0};
            static constexpr uint32_t rowStep[7] = {8, 8, 8, 4, 4, 2, 2}, colStep[7] = {8, 8, 4, 4, 2, 2, 1};
            raw.clear();
            for (int p = 0; p < 7; ++p)
                for (uint32_t y = row0[p]; y < h; y += rowStep[p])
                    raw += '\0' + std::string((w - col0[p] + colStep[p] - 1) / colStep[p], char(y));
        }
        const std::string file = File(w, h, 8, 0, raw, {}, interlace);
        g_pngPasses = 0;
        ui.onProcessMessages = StopAtThirdPass;
        TBitmap page;
        TByteViewStream s(file.data(), int64_t(file.size()));
        EXPECT_THROW(DecodePngPage(s, page), EPngError) << interlace;
        EXPECT_TRUE(page.Empty()) << interlace;
        EXPECT_EQ(g_pngPasses, 3) << interlace;
        RequestStop(false);
        ui.onProcessMessages = nullptr;
        ui.processMessagesCalls = 0;
        TByteViewStream again(file.data(), int64_t(file.size()));
        ASSERT_NO_THROW(DecodePngPage(again, page)) << interlace;
        EXPECT_EQ(page.Width() * int64_t(10000) + page.Height(), int64_t(w) * 10000 + h) << interlace;
        EXPECT_GE(ui.processMessagesCalls, int(h / 16)) << interlace;
    }
}

// A palette or transparency chunk after the image data is ignored: the page and the
// picture drawn show the chunks that came before the data.
TEST(PngReader, PaletteAndTransparencyAfterTheImageDataAreIgnored) {
    const TColor white = RGBColor(255, 255, 255);
    auto file = [](uint32_t w, int depth, int colorType, const std::string& raw, const std::vector<std::string>& before,
                   const std::vector<std::string>& after) {
        std::string f = kSignature + Ihdr(w, 1, depth, colorType);
        for (const auto& c : before) f += c;
        f += Chunk("IDAT", Zlib(raw));
        for (const auto& c : after) f += c;
        return f + Iend();
    };
    const std::string red = "\xc8\x10\x20", blue = "\x10\x20\xc8";
    struct Case {
        const char* what;
        std::string file;
        std::vector<TColor> pixels;
    } cases[] = {
        {"second palette", file(2, 8, 3, std::string("\0\0\1", 3), {Chunk("PLTE", red + blue)}, {Chunk("PLTE", blue + red)}),
         {RGBColor(0xc8, 0x10, 0x20), RGBColor(0x10, 0x20, 0xc8)}},
        {"palette alpha", file(2, 8, 3, std::string("\0\0\1", 3), {Chunk("PLTE", red + blue)}, {Chunk("tRNS", std::string("\0\0", 2))}),
         {RGBColor(0xc8, 0x10, 0x20), RGBColor(0x10, 0x20, 0xc8)}},
        {"RGB key", file(2, 8, 2, std::string("\0", 1) + red + blue, {}, {Chunk("tRNS", std::string("\0\xc8\0\x10\0\x20", 6))}),
         {RGBColor(0xc8, 0x10, 0x20), RGBColor(0x10, 0x20, 0xc8)}},
        {"grey key", file(2, 8, 0, std::string("\0\x40\x80", 3), {}, {Chunk("tRNS", std::string("\0\x40", 2))}),
         {RGBColor(0x40, 0x40, 0x40), RGBColor(0x80, 0x80, 0x80)}},
        // The key before the data still holds; a second one after it does not replace it.
        {"key before and after", file(2, 8, 2, std::string("\0", 1) + red + blue, {Chunk("tRNS", std::string("\0\x10\0\x20\0\xc8", 6))},
                                      {Chunk("tRNS", std::string("\0\xc8\0\x10\0\x20", 6))}),
         {RGBColor(0xc8, 0x10, 0x20), white}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const TBitmap page = DecodedPage(c.file), drawn = DrawnPage(c.file);
        ASSERT_EQ(page.Width(), 2);
        ASSERT_EQ(drawn.Width(), 2);
        for (int x = 0; x < 2; ++x) {
            EXPECT_EQ(page.Pixel(x, 0), c.pixels[size_t(x)]) << "page " << x;
            EXPECT_EQ(drawn.Pixel(x, 0), c.pixels[size_t(x)]) << "drawn " << x;
        }
    }
}

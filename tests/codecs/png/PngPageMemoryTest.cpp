// Memory a PNG page costs, measured in a child process: tiny files that claim pages of a
// gigabyte, and a genuine large page. Time and peak memory are printed; only memory is
// checked, and loosely.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include "PngTestFiles.h"
#include "support/ChildRun.h"
#include "pages/PageBMP.h"
#include "platform/Streams.h"

using namespace vellicor;
using namespace vellicor::test::png;
using vellicor::test::ChildRun;
using vellicor::test::InChild;

namespace {

// Loads the bytes as a page: 0 for a page of the given size, 1 for the error page, 2 otherwise.
int LoadPage(const std::string& file, int width, int height) {
    TPageBMP page("page.png");
    TByteViewStream s(file.data(), int64_t(file.size()));
    page.LoadFromStream(&s);
    if (page.LoadError) return 1;
    return page.Width() == width && page.Height() == height ? 0 : 2;
}

constexpr bool kMeasured = test::kPeakMemoryMeasured;

// Rows of rowBytes (after the filter byte) made by make, deflated a row at a time so that no
// image-sized buffer exists.
std::string Deflated(int rows, size_t rowBytes, const std::function<void(int, std::string&)>& make) {
    std::string data, row(rowBytes + 1, '\0'), out(1 << 20, '\0');
    z_stream z{};
    if (deflateInit(&z, 1) != Z_OK) return data;
    for (int y = 0; y < rows; ++y) {
        make(y, row);
        z.next_in = reinterpret_cast<Bytef*>(row.data());
        z.avail_in = uInt(row.size());
        const int flush = y + 1 == rows ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = reinterpret_cast<Bytef*>(out.data());
            z.avail_out = uInt(out.size());
            deflate(&z, flush);
            data.append(out.data(), out.size() - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return data;
}

// A deflate stream that ends at once: no rows at all.
std::string EmptyStream() { return Zlib(""); }

}  // namespace

TEST(PngPageMemory, TinyFilesClaimingHugePagesShowTheErrorPage) {
    struct Case {
        const char* what;
        std::string file;
    } cases[] = {
        {"16384x16384 RGBA 16-bit, empty data",
         kSignature + Ihdr(16384, 16384, 16, 6) + Chunk("IDAT", EmptyStream()) + Iend()},
        {"65535x4096 RGB, empty data", kSignature + Ihdr(65535, 4096, 8, 2) + Chunk("IDAT", EmptyStream()) + Iend()},
        {"16384x16384 RGBA 16-bit, IDAT of no bytes", kSignature + Ihdr(16384, 16384, 16, 6) + Chunk("IDAT", "") + Iend()},
        {"16384x4096 grey interlaced, one row of data",
         kSignature + Ihdr(16384, 4096, 8, 0, 1) + Chunk("IDAT", Zlib(std::string(2049, '\0'))) + Iend()},
        {"65535x1024 palette, cut inside the data",
         kSignature + Ihdr(65535, 1024, 8, 3) + Chunk("PLTE", std::string(6, '\x40')) +
             Chunk("IDAT", Zlib(std::string(200000, '\1'))).substr(0, 100)},
    };
    for (const Case& c : cases) {
        const ChildRun run = InChild([&] { return LoadPage(c.file, 0, 0); });
        std::printf("%-46s %5zu bytes: %6.2f s, peak %7.1f MB\n", c.what, c.file.size(), run.seconds, run.peakMB);
        EXPECT_EQ(run.exitCode, 1) << c.what << ": the error page";
        if (kMeasured) {
            EXPECT_LT(run.peakMB, 400) << c.what;
        }
    }
}

// Data that ends early leaves the rest of the page to the fill, unless the page is over 64 MiB
// and fewer than half its rows arrived: an 8192x6000 RGB page (144 MiB) is refused with less
// than half its rows and shown with more.
TEST(PngPageMemory, PagesWithTooFewRowsAreRefused) {
    const int w = 8192, h = 6000;
    for (int rows : {2900, 3100}) {
        const std::string data = Deflated(rows, size_t(w) * 3, [](int y, std::string& row) { row[1] = char(y); });
        const std::string file = kSignature + Ihdr(w, h, 8, 2) + Chunk("IDAT", data) + Iend();
        const ChildRun run = InChild([&] { return LoadPage(file, w, h); });
        std::printf("%dx%d RGB with %d rows: %.2f s, peak %.1f MB\n", w, h, rows, run.seconds, run.peakMB);
        EXPECT_EQ(run.exitCode, rows < h / 2 ? 1 : 0) << rows;
    }
}

// Both sides of each line: the page's size (64 MiB, not the size of what is missing) and half
// its rows. Rows of 8192 RGB pixels are 24 KiB.
TEST(PngPageMemory, RefusedOnlyOverSixtyFourMiBWithFewerThanHalfTheRows) {
    const int w = 8192;
    const int over = 2731, under = 2730, seventy = 2987, sixty = 2560;
    ASSERT_GT(int64_t(over) * w * 3, int64_t(64) << 20);
    ASSERT_LE(int64_t(under) * w * 3, int64_t(64) << 20);
    struct Case {
        int height, rows;
        bool refused;
    } cases[] = {
        {seventy, seventy * 45 / 100, true},  // 38 MiB missing: still refused
        {seventy, seventy / 2, true},         // one row short of half
        {seventy, seventy / 2 + 1, false},
        {seventy, seventy * 55 / 100, false},
        {sixty, sixty / 10, false},           // 54 MiB missing of a page under the line
        {under, under / 10, false},
        {over, over / 10, true},
    };
    for (const Case& c : cases) {
        const std::string data = Deflated(c.rows, size_t(w) * 3, [](int y, std::string& row) { row[1] = char(y); });
        const std::string file = kSignature + Ihdr(w, uint32_t(c.height), 8, 2) + Chunk("IDAT", data) + Iend();
        const ChildRun run = InChild([&] { return LoadPage(file, w, c.height); });
        EXPECT_EQ(run.exitCode, c.refused ? 1 : 0) << w << "x" << c.height << " with " << c.rows << " rows";
    }
}

// A real page of N pixels costs its one page (3N bytes) and little besides.
TEST(PngPageMemory, GenuineLargePageStaysWithinItsBudget) {
    const int w = 6000, h = 6000;
    // RGBA rows, Sub-filtered: a pattern, opaque at the left edge only.
    const std::string data = Deflated(h, size_t(w) * 4, [&](int y, std::string& row) {
        row[0] = 1;
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) row[1 + size_t(x) * 4 + c] = char(c == 3 ? (x == 0 ? 255 : 0) : ((x ^ y) & 3));
    });
    const std::string file = kSignature + Ihdr(w, h, 8, 6) + Chunk("IDAT", data) + Iend();
    const ChildRun run = InChild([&] { return LoadPage(file, w, h); });
    const double pixelsM = double(w) * h / (1 << 20);
    std::printf("%dx%d RGBA, %zu KiB: %.2f s, peak %.1f MB (4N + 150 MB = %.0f MB)\n", w, h, file.size() / 1024,
                run.seconds, run.peakMB, 4 * pixelsM + 150);
    EXPECT_EQ(run.exitCode, 0);
    if (kMeasured) {
        EXPECT_LT(run.peakMB, 4 * pixelsM + 150);
    }
}

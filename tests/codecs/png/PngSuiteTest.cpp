// Every PngSuite file against libpng, after the same conversion to a 24-bit page.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "LibpngOracle.h"
#include "codecs/png/PngPage.h"
#include "codecs/png/Pngimage.h"

using namespace vellicor;
using namespace vellicor::test;
namespace fs = std::filesystem;

namespace {

const fs::path kSuite = fs::path(VELLICOR_SOURCE_DIR) / ".." / "shared" / "testdata" / "peer" / "pngsuite";

std::string ReadFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<fs::path> SuiteFiles() {
    std::vector<fs::path> files;
    if (fs::is_directory(kSuite))
        for (const auto& e : fs::directory_iterator(kSuite))
            if (e.path().extension() == ".png") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

struct Difference {
    int maxDiff = 0;
    int64_t pixels = 0;
};

// libpng's samples composed onto white with the page's blend.
Difference Compare(const TBitmap& page, const LibpngImage& ref) {
    Difference d;
    for (int y = 0; y < ref.height; ++y)
        for (int x = 0; x < ref.width; ++x) {
            const uint8_t* r = ref.bgra.data() + (size_t(y) * ref.width + x) * 4;
            const uint8_t* p = page.ScanLine(y) + x * 3;
            const unsigned a = r[3];
            int worst = 0;
            for (int c = 0; c < 3; ++c) {
                int want = int((r[c] * a + 255 + (255 - a) * 255) >> 8);
                worst = std::max(worst, std::abs(want - int(p[c])));
            }
            if (worst) ++d.pixels;
            d.maxDiff = std::max(d.maxDiff, worst);
        }
    return d;
}

}  // namespace

// Where the page deliberately differs from libpng: 16-bit samples keep only their high byte
// before gamma correction (libpng corrects all 16 bits, which matters most near black), and
// a gAMA within 5% of the display's is still applied (libpng leaves such images alone).
// Largest difference per colour channel allowed.
const std::map<std::string, int> kDeliberate = {
    {"basi0g16.png", 19}, {"basn0g16.png", 19}, {"oi1n0g16.png", 19}, {"oi2n0g16.png", 19},
    {"oi4n0g16.png", 19}, {"oi9n0g16.png", 19}, {"tbwn0g16.png", 2},  {"basi2c16.png", 1},
    {"basi4a16.png", 1},  {"basi6a16.png", 1},  {"basn2c16.png", 1},  {"basn4a16.png", 1},
    {"basn6a16.png", 1},  {"bgai4a16.png", 1},  {"bgan6a16.png", 1},  {"bggn4a16.png", 1},
    {"bgyn6a16.png", 1},  {"cs3n2c16.png", 1},  {"g04n0g16.png", 1},  {"g04n2c08.png", 1},
    {"g04n3p04.png", 1},  {"g07n0g16.png", 1},  {"g10n0g16.png", 1},  {"g25n0g16.png", 1},
    {"oi1n2c16.png", 1},  {"oi2n2c16.png", 1},  {"oi4n2c16.png", 1},  {"oi9n2c16.png", 1},
    {"pp0n2c16.png", 1},  {"ps1n2c16.png", 1},  {"ps2n2c16.png", 1},  {"tbbn2c16.png", 1},
    {"tbgn2c16.png", 1},
};

TEST(PngSuite, EveryFileAsLibpngShowsIt) {
    auto files = SuiteFiles();
    if (files.empty()) GTEST_SKIP() << "no PngSuite at " << kSuite;
    if (!Libpng::Get().Available()) GTEST_SKIP() << "libpng not found";
    int compared = 0;
    for (const auto& f : files) {
        const std::string name = f.filename().string();
        const std::string bytes = ReadFile(f);
        LibpngImage ref;
        const bool theirs = Libpng::Get().Decode(bytes, ref);
        TBitmap page;
        std::string error;
        try {
            TByteViewStream s(bytes.data(), int64_t(bytes.size()));
            DecodePngPage(s, page);
        } catch (const std::exception& e) {
            error = e.what();
        }
        // The suite's corrupt files (names beginning with x) are refused by both.
        if (name[0] == 'x') {
            EXPECT_FALSE(theirs) << name;
            EXPECT_FALSE(error.empty()) << name << " was decoded";
            continue;
        }
        ASSERT_TRUE(theirs) << name;
        ASSERT_TRUE(error.empty()) << name << ": " << error;
        ASSERT_EQ(page.Width(), ref.width) << name;
        ASSERT_EQ(page.Height(), ref.height) << name;
        ASSERT_EQ(page.PixelFormat(), TPixelFormat::pf24bit) << name;
        const Difference d = Compare(page, ref);
        auto allowed = kDeliberate.find(name);
        EXPECT_LE(d.maxDiff, allowed == kDeliberate.end() ? 0 : allowed->second)
            << name << ": " << d.pixels << " pixels differ";
        // The picture loaded whole and drawn onto white shows the same page.
        TPNGObject png;
        TByteViewStream whole(bytes.data(), int64_t(bytes.size()));
        png.LoadFromStream(whole);
        TBitmap drawn;
        ASSERT_TRUE(drawn.SetSize(png.GetWidth(), png.GetHeight(), TPixelFormat::pf24bit));
        drawn.Fill(RGBColor(255, 255, 255));
        png.Draw(drawn, 0, 0, png.GetWidth(), png.GetHeight());
        EXPECT_EQ(0, std::memcmp(drawn.Bits(), page.Bits(), size_t(page.ByteSize()))) << name << " drawn";
        ++compared;
    }
    EXPECT_GT(compared, 100);
}

// Interlaced and plain files of the same picture give the same page.
TEST(PngSuite, InterlacedMatchesPlain) {
    auto files = SuiteFiles();
    if (files.empty()) GTEST_SKIP() << "no PngSuite at " << kSuite;
    int pairs = 0;
    for (const auto& f : files) {
        std::string name = f.filename().string();
        if (name.rfind("basi", 0) != 0) continue;
        fs::path plain = f.parent_path() / ("basn" + name.substr(4));
        if (!fs::exists(plain)) continue;
        TBitmap a, b;
        std::string ia = ReadFile(f), pb = ReadFile(plain);
        TByteViewStream sa(ia.data(), int64_t(ia.size())), sb(pb.data(), int64_t(pb.size()));
        DecodePngPage(sa, a);
        DecodePngPage(sb, b);
        ASSERT_EQ(a.ByteSize(), b.ByteSize()) << name;
        EXPECT_EQ(0, std::memcmp(a.Bits(), b.Bits(), size_t(a.ByteSize()))) << name;
        ++pairs;
    }
    EXPECT_GE(pairs, 10);
}

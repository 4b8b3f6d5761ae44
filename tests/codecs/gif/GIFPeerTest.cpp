// Our first frame against giflib's, for GIFs written by other programs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "GifTestUtil.h"
#include "codecs/gif/GIFPage.h"
#include "support/TempDir.h"

#ifdef VELLICOR_HAVE_GIFLIB
#include <gif_lib.h>
#endif

using namespace vellicor;
using namespace vellicor::test;
namespace fs = std::filesystem;

namespace {

const fs::path kPeerDir = fs::path(VELLICOR_SOURCE_DIR) / "../shared/testdata/peer/image-gif";

#ifdef VELLICOR_HAVE_GIFLIB
struct Reader {
    const std::string* bytes;
    size_t at = 0;
};

int ReadBytes(GifFileType* gif, GifByteType* buffer, int size) {
    auto* r = static_cast<Reader*>(gif->UserData);
    const size_t n = std::min(size_t(size), r->bytes->size() - r->at);
    std::copy_n(r->bytes->data() + r->at, n, buffer);
    r->at += n;
    return int(n);
}

// giflib's frame 0 placed on a black screen; false when giflib refuses the file.
bool GiflibFirstFrame(const std::string& bytes, TBitmap& out) {
    Reader reader{&bytes};
    int error = 0;
    GifFileType* gif = DGifOpen(&reader, ReadBytes, &error);
    if (!gif) return false;
    const bool ok = DGifSlurp(gif) == GIF_OK && gif->ImageCount > 0;
    if (ok) {
        const SavedImage& frame = gif->SavedImages[0];
        const GifImageDesc& d = frame.ImageDesc;
        const ColorMapObject* map = d.ColorMap ? d.ColorMap : gif->SColorMap;
        out.SetSize(gif->SWidth, gif->SHeight, TPixelFormat::pf24bit);
        for (int y = 0; y < d.Height; ++y)
            for (int x = 0; x < d.Width; ++x) {
                const int sx = d.Left + x, sy = d.Top + y;
                if (sx >= out.Width() || sy >= out.Height()) continue;
                const int index = frame.RasterBits[size_t(y) * size_t(d.Width) + size_t(x)];
                GifColorType c{0, 0, 0};
                if (map && index < map->ColorCount) c = map->Colors[index];
                uint8_t* p = out.ScanLine(sy) + sx * 3;
                p[0] = c.Blue, p[1] = c.Green, p[2] = c.Red;
            }
    }
    DGifCloseFile(gif, &error);
    return ok;
}
#endif

// Compares and reports how many pixels differ (-1: sizes differ, -2: giflib refused it).
int CompareWithGiflib(const std::string& bytes, std::string* ourError) {
#ifdef VELLICOR_HAVE_GIFLIB
    TBitmap theirs, ours;
    if (!GiflibFirstFrame(bytes, theirs)) return -2;
    TByteViewStream s(bytes.data(), int64_t(bytes.size()));
    try {
        DecodeGifPage(s, ours);
    } catch (const GIFException& e) {
        *ourError = e.what();
        return -1;
    }
    if (ours.Width() != theirs.Width() || ours.Height() != theirs.Height()) return -1;
    int differ = 0;
    for (int y = 0; y < ours.Height(); ++y)
        for (int x = 0; x < ours.Width(); ++x) differ += ours.Pixel(x, y) != theirs.Pixel(x, y);
    return differ;
#else
    (void)bytes, (void)ourError;
    return -2;
#endif
}

bool HaveTool(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

TEST(GIFPeer, PeerFilesMatchGiflib) {
#ifndef VELLICOR_HAVE_GIFLIB
    GTEST_SKIP() << "giflib is not installed";
#endif
    if (!fs::is_directory(kPeerDir)) GTEST_SKIP() << "no peer GIF files";
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(kPeerDir)) {
        if (entry.path().extension() != ".gif") continue;
        const std::string bytes = ReadFileBytes(entry.path().string());
        std::string error;
        const int differ = CompareWithGiflib(bytes, &error);
        if (differ == -2) continue;  // giflib cannot read it either
        EXPECT_EQ(differ, 0) << entry.path().filename() << " " << error;
        ++compared;
    }
    EXPECT_GE(compared, 10);
}

TEST(GIFPeer, ToolWrittenFilesAtEveryDepthMatchGiflib) {
#ifndef VELLICOR_HAVE_GIFLIB
    GTEST_SKIP() << "giflib is not installed";
#endif
    // Debian's python3 carries PIL; another python3 may come first on the PATH.
    const std::string python = fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    const bool magick = HaveTool("convert -version"), gifsicle = HaveTool("gifsicle --version"),
               pillow = HaveTool(python + " -c 'import PIL'");
    if (!magick) GTEST_SKIP() << "ImageMagick is not installed";
    TempDir dir;
    // A colourful source with gradients and noise, of an odd size.
    const int w = 97, h = 61;
    std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    uint32_t seed = 12345;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245 + 12345;
            ppm += char(x * 255 / w), ppm += char(y * 255 / h), ppm += char((seed >> 16) & 0xFF);
        }
    const std::string source = dir.Write("source.ppm", ppm);
    // One run of each tool writes every depth.
    std::vector<std::string> names;
    std::string magickRun = "convert " + source;
    std::string gifsicleRun = "true";
    std::string pillowRun = python + " -c \"from PIL import Image\nim = Image.open('" + source + "')\n";
    for (int bits = 1; bits <= 8; ++bits) {
        const std::string n = std::to_string(1 << bits), b = std::to_string(bits);
        names.push_back("magick" + b);  // ImageMagick is slow here: plain only, gifsicle interlaces
        magickRun += " \\( +clone -colors " + n + " -write " + dir.File(names.back() + ".gif") + " +delete \\)";
        if (gifsicle) {
            names.push_back("gifsicle" + b);
            gifsicleRun += " && gifsicle --colors " + n + " --interlace -o " + dir.File(names.back() + ".gif") + " " +
                           dir.File("magick8.gif");
        }
        if (pillow) {
            names.push_back("pillow" + b);
            pillowRun += "im.quantize(colors=" + n + ").save('" + dir.File(names.back() + ".gif") + "')\n";
        }
    }
    ASSERT_EQ(std::system((magickRun + " null: 2>/dev/null").c_str()), 0) << magickRun;
    ASSERT_EQ(std::system((gifsicleRun + " 2>/dev/null").c_str()), 0) << gifsicleRun;
    if (pillow) {
        ASSERT_EQ(std::system((pillowRun + "\"").c_str()), 0) << pillowRun;
    }
    for (const std::string& name : names) {
        std::string error;
        EXPECT_EQ(CompareWithGiflib(ReadFileBytes(dir.File(name + ".gif")), &error), 0) << name << " " << error;
    }
    EXPECT_GE(names.size(), 8u);
}

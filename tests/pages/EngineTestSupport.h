#pragma once
// Helpers of the page engine tests: streams, JPEG files, djpeg as an independent decoder,
// synthetic pages, and archives held in memory (BMP files: support/TestImages.h).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "pages/ArchiveSource.h"
#include "platform/Bitmap.h"
#include "platform/Streams.h"
#include "platform/StringList.h"
#include "support/TestImages.h"

namespace vellicor::test {

inline TMemoryStream StreamOf(const std::string& bytes) {
    TMemoryStream m;
    m.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    m.Seek(0, SeekOrigin::Begin);
    return m;
}

inline TStringList ListOf(const std::vector<std::string>& items) {
    TStringList l;
    for (const auto& s : items) l.Add(s);
    return l;
}

inline std::string SolidBmp(int w, int h, uint32_t rgb = 0x808080) {  // 24 bits, one colour 0xRRGGBB
    return MakeBmp24(w, h, [rgb](int, int) { return rgb; });
}

// ---- JPEG files and djpeg ----
struct JpegOptions {
    int components = 3;  // 1 grey, 3 colour, 4 CMYK (Adobe marker, inverted values)
    bool progressive = false;
    int quality = 90;
    bool ycck = false;
    int acScanWidth = 0;  // above 0: a DC scan, then AC scans of this many coefficients per component
    bool arithmetic = false;
    int restartInterval = 0;  // MCUs per restart interval
    int lumaSampling = 0;     // above 0: the first component's horizontal and vertical factor, the others 1
    // A scan script of its own, in cjpeg's terms ("0 1 2: 0 0 0 1; 0: 1 5 0 2; ...").
    std::string scans{};
};
// The scans of such a script (components, Ss, Se, Ah, Al each).
struct JpegScan {
    std::vector<int> components;
    int ss = 0, se = 0, ah = 0, al = 0;
};
std::vector<JpegScan> ParseScans(const std::string& script);

// libjpeg's compressor writing into memory, the image's size and colours set and the
// defaults taken; Finish ends the file and gives its bytes.
class MemoryJpegWriter {
public:
    MemoryJpegWriter(int width, int height, int components, J_COLOR_SPACE space);
    ~MemoryJpegWriter();
    MemoryJpegWriter(const MemoryJpegWriter&) = delete;
    MemoryJpegWriter& operator=(const MemoryJpegWriter&) = delete;
    void UseScans(const std::string& script);  // a ParseScans script
    std::string Finish();
    jpeg_compress_struct c{};

private:
    jpeg_error_mgr err_{};
    unsigned char* out_ = nullptr;
    unsigned long size_ = 0;
    std::vector<jpeg_scan_info> scans_;
};
using SampleFn = std::function<uint8_t(int x, int y, int c)>;
uint8_t PatternSample(int x, int y, int c);  // a smooth pattern with some sharp edges
std::string MakeJpeg(int width, int height, const JpegOptions& options = {}, const SampleFn& sample = PatternSample);

// Rows of 3 bytes per pixel in red, green, blue order.
struct RgbImage {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;
};
std::optional<RgbImage> ReadPnm(const std::string& path);  // binary PPM or PGM
bool HaveDjpeg();
std::optional<RgbImage> Djpeg(const std::string& jpegPath, int denom);  // at scale 1/denom
// Largest channel difference; -1 when the sizes differ or the bitmap is not 24-bit.
int MaxDifference(const TBitmap& bitmap, const RgbImage& image);

// ---- Synthetic pages ----
inline void SetPixel(TBitmap& b, int x, int y, uint8_t r, uint8_t g, uint8_t bl) {
    uint8_t* p = b.ScanLine(y) + 3 * x;
    p[0] = bl, p[1] = g, p[2] = r;
}
TBitmap SolidPage(int w, int h, uint8_t r, uint8_t g, uint8_t b);
TBitmap NoisePage(int w, int h, uint32_t seed, int lo = 0, int hi = 255);
// Yellowed paper, inked panel frames, shaded artwork and balloons ringed by ink (one in
// three softly).
TBitmap ComicPage(int w, int h, uint32_t seed);
// Same size, format and pixel bytes; names the first difference.
::testing::AssertionResult SameBytes(const TBitmap& a, const TBitmap& b);

// ---- Archives held in memory: name -> members in archive order ----
class FakeArchiveSource : public IArchiveSource {
public:
    struct Member {
        std::string name, bytes;
        bool fails = false;  // Extract gives null
        int64_t claimed = -1;  // the size the archive states, when it differs from the bytes
        bool locked = false;   // with fails: lost to its password, so another try may pass
    };
    bool Open(const std::string& archiveName, TStringList& memberNames) override;
    TStream* Extract(const std::string& memberName) override;
    void Close() override { ++closes, current.clear(), stream.reset(); }
    int64_t MemberSize(const std::string& memberName) override;
    bool FailureMayPass() const override { return lostToPassword; }

    std::map<std::string, std::vector<Member>> archives;
    std::string current;
    std::unique_ptr<TMemoryStream> stream;
    int opens = 0, closes = 0, extracts = 0;
    bool lostToPassword = false;  // the last Extract failed on a locked member
    bool throwOnOpen = false;
    std::function<void()> onCall;  // runs inside every Open and Extract, as a message pump would
};

}  // namespace vellicor::test

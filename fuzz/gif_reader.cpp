// The GIF reader: any bytes load, and the first frame becomes a 24-bit page, or the
// reader refuses them with its own exception; never a fault.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "GifSeeds.h"
#include "codecs/gif/GIFException.h"
#include "codecs/gif/GIFPage.h"
#include "platform/Bitmap.h"
#include "platform/Streams.h"

namespace fs = std::filesystem;

// The other programs' small GIFs next to the project seed the corpus folder (the first
// folder given) when they are there; they are never copied into the project. Seeds of many
// blocks are made beside them.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    const char* corpus = fuzz::CorpusFolder(*argc, *argv);
    fuzz::WriteGifBlockSeeds(corpus, 100000, 100000);
    const fs::path peers = fs::path(VELLICOR_SOURCE_DIR) / "../shared/testdata/peer/image-gif";
    std::error_code ec;
    if (!corpus || !fs::is_directory(peers, ec) || !fs::is_directory(corpus, ec)) return 0;
    for (const auto& entry : fs::directory_iterator(peers, ec))
        if (entry.path().extension() == ".gif" && entry.file_size(ec) <= 65536)
            fs::copy_file(entry.path(), fs::path(corpus) / ("peer-" + entry.path().filename().string()),
                          fs::copy_options::skip_existing, ec);
    return 0;
}

namespace {

// Screens and frames beyond a few megapixels only make runs slow; the unit tests cover the
// limits. The blocks are walked roughly as the reader walks them to find every frame's size.
bool TooLargeToFuzz(const uint8_t* d, size_t size) {
    constexpr int64_t kLimit = int64_t(1) << 22;
    auto le16 = [&](size_t at) { return at + 1 < size ? int64_t(d[at] | d[at + 1] << 8) : 0; };
    if (size < 13) return false;
    const int64_t screenW = le16(6), screenH = le16(8);
    if (screenW * screenH > kLimit) return true;
    size_t at = 13 + ((d[10] & 0x80) ? 3 * (size_t(2) << (d[10] & 7)) : 0);
    auto skipSubBlocks = [&] {
        while (at < size && d[at] != 0) at += size_t(d[at]) + 1;
        ++at;
    };
    while (at < size) {
        while (at < size && d[at] == 0) ++at;
        if (at >= size || (d[at] != '!' && d[at] != ',')) return false;
        while (at < size && d[at] == '!') {  // extensions: a label, then sub-blocks
            at += 2;
            skipSubBlocks();
        }
        if (at >= size || d[at] == ';' || d[at] == 0) continue;
        int64_t w = le16(at + 5), h = le16(at + 7);
        if (w == 0 || h == 0) w = screenW, h = screenH;
        if (w * h > kLimit) return true;
        const uint8_t packed = at + 9 < size ? d[at + 9] : 0;
        at += 10 + ((packed & 0x80) ? 3 * (size_t(2) << (packed & 7)) : 0) + 1;
        skipSubBlocks();
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vellicor;
    if (TooLargeToFuzz(data, size)) return -1;
    TByteViewStream stream(data, static_cast<int64_t>(size));
    TBitmap picture;
    try {
        DecodeGifPage(stream, picture);
    } catch (const GIFException&) {
        if (!picture.Empty()) std::abort();
        return 0;
    }
    TBitmap page;
    if (picture.Empty() || !page.AssignConverted(picture) || page.PixelFormat() != TPixelFormat::pf24bit) std::abort();
    // Touch the corners so that a short buffer shows.
    volatile uint8_t sink = page.ScanLine(0)[0] ^ page.ScanLine(page.Height() - 1)[page.Width() * 3 - 1];
    (void)sink;
    return 0;
}

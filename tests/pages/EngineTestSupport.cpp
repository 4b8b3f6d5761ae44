#include "EngineTestSupport.h"

#include <jpeglib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <random>
#include <stdexcept>

namespace vellicor::test {

uint8_t PatternSample(int x, int y, int c) {
    int v = (x * (3 + c) + y * (5 - c)) & 0xFF;
    return uint8_t(((x / 16) + (y / 16)) % 5 == 0 ? 255 - v : v);
}

MemoryJpegWriter::MemoryJpegWriter(int width, int height, int components, J_COLOR_SPACE space) {
    c.err = jpeg_std_error(&err_);
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &out_, &size_);
    c.image_width = JDIMENSION(width);
    c.image_height = JDIMENSION(height);
    c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
}

MemoryJpegWriter::~MemoryJpegWriter() {
    jpeg_destroy_compress(&c);
    std::free(out_);
}

void MemoryJpegWriter::UseScans(const std::string& script) {
    scans_.clear();
    for (const JpegScan& s : ParseScans(script)) {
        jpeg_scan_info info{int(s.components.size()), {0, 0, 0, 0}, s.ss, s.se, s.ah, s.al};
        for (size_t k = 0; k < s.components.size() && k < 4; ++k) info.component_index[k] = s.components[k];
        scans_.push_back(info);
    }
    c.scan_info = scans_.data(), c.num_scans = int(scans_.size());
}

std::string MemoryJpegWriter::Finish() {
    jpeg_finish_compress(&c);
    return std::string(reinterpret_cast<char*>(out_), size_);
}

std::string MakeJpeg(int width, int height, const JpegOptions& o, const SampleFn& sample) {
    MemoryJpegWriter w(width, height, o.components, o.components == 1 ? JCS_GRAYSCALE : o.components == 4 ? JCS_CMYK : JCS_RGB);
    jpeg_compress_struct& c = w.c;
    if (o.components == 4 && o.ycck) jpeg_set_colorspace(&c, JCS_YCCK);
    jpeg_set_quality(&c, o.quality, TRUE);
    if (o.progressive) jpeg_simple_progression(&c);
    c.arith_code = o.arithmetic;
    c.restart_interval = unsigned(o.restartInterval);
    std::vector<jpeg_scan_info> scans{{3, {0, 1, 2, 0}, 0, 0, 0, 0}};
    for (int comp = 0; comp < 3 && o.acScanWidth > 0; ++comp)
        for (int k = 1; k <= 63; k += o.acScanWidth) scans.push_back({1, {comp, 0, 0, 0}, k, std::min(63, k + o.acScanWidth - 1), 0, 0});
    if (o.acScanWidth > 0) c.scan_info = scans.data(), c.num_scans = int(scans.size());
    if (o.lumaSampling > 0) {
        c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = o.lumaSampling;
        for (int k = 1; k < c.num_components; ++k) c.comp_info[k].h_samp_factor = c.comp_info[k].v_samp_factor = 1;
    }
    if (!o.scans.empty()) w.UseScans(o.scans);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(size_t(width) * o.components);
    while (c.next_scanline < c.image_height) {
        for (int x = 0; x < width; ++x)
            for (int k = 0; k < o.components; ++k) row[size_t(x) * o.components + k] = sample(x, int(c.next_scanline), k);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    return w.Finish();
}

std::vector<JpegScan> ParseScans(const std::string& script) {
    std::vector<JpegScan> scans;
    std::istringstream in(script);
    std::string entry;
    while (std::getline(in, entry, ';')) {
        const size_t colon = entry.find(':');
        if (colon == std::string::npos) continue;
        JpegScan s;
        std::istringstream comps(entry.substr(0, colon)), params(entry.substr(colon + 1));
        for (int k; comps >> k;) s.components.push_back(k);
        params >> s.ss >> s.se >> s.ah >> s.al;
        scans.push_back(s);
    }
    return scans;
}

std::optional<RgbImage> ReadPnm(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::string magic;
    int w = 0, h = 0, max = 0;
    if (!(f >> magic >> w >> h >> max) || (magic != "P6" && magic != "P5") || w <= 0 || h <= 0 || max != 255)
        return std::nullopt;
    f.get();
    std::vector<uint8_t> raw(size_t(w) * h * (magic == "P6" ? 3 : 1));
    if (!f.read(reinterpret_cast<char*>(raw.data()), std::streamsize(raw.size()))) return std::nullopt;
    RgbImage img{w, h, {}};
    for (uint8_t v : raw) img.pixels.insert(img.pixels.end(), magic == "P6" ? 1 : 3, v);  // grey to three channels
    return img;
}

bool HaveDjpeg() { return std::system("djpeg -version >/dev/null 2>&1") == 0; }

std::optional<RgbImage> Djpeg(const std::string& jpegPath, int denom) {
    const std::string out = jpegPath + ".djpeg.pnm";
    // Exit status 2: decoded with warnings (a truncated file).
    const int status = std::system(
        ("djpeg -scale 1/" + std::to_string(denom) + " -pnm -outfile '" + out + "' '" + jpegPath + "' 2>/dev/null").c_str());
    if (status == -1 || !WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 2)) return std::nullopt;
    auto img = ReadPnm(out);
    std::remove(out.c_str());
    return img;
}

int MaxDifference(const TBitmap& b, const RgbImage& img) {
    if (b.Width() != img.width || b.Height() != img.height || b.PixelFormat() != TPixelFormat::pf24bit) return -1;
    int worst = 0;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x)
            for (int c = 0; c < 3; ++c)
                worst = std::max(worst, std::abs(b.ScanLine(y)[x * 3 + 2 - c] - img.pixels[(size_t(y) * img.width + x) * 3 + c]));
    return worst;
}

TBitmap SolidPage(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    TBitmap bmp;
    bmp.SetSize(w, h, TPixelFormat::pf24bit);
    bmp.Fill(RGBColor(r, g, b));
    return bmp;
}

TBitmap NoisePage(int w, int h, uint32_t seed, int lo, int hi) {
    TBitmap bmp = SolidPage(w, h, 0, 0, 0);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(lo, hi);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * 3; ++x) bmp.ScanLine(y)[x] = uint8_t(d(rng));
    return bmp;
}

TBitmap ComicPage(int w, int h, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> n(-6, 6);
    auto c = [](int v) { return uint8_t(std::clamp(v, 0, 255)); };
    TBitmap bmp = SolidPage(w, h, 0, 0, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) SetPixel(bmp, x, y, c(236 + n(rng) / 2), c(224 + n(rng)), c(180 + n(rng)));
    const int m = std::max(2, w / 20), gap = std::max(2, w / 40), pw = (w - 2 * m - gap) / 2, ph = (h - 2 * m - 2 * gap) / 3;
    for (int panel = 0; panel < 6; ++panel) {
        const int x0 = m + panel % 2 * (pw + gap), y0 = m + panel / 2 * (ph + gap), bx = x0 + pw / 4, by = y0 + ph / 5;
        const int bw = std::max(4, pw / 2), bh = std::max(4, ph / 3), ink = rng() % 3 ? 5 : 140;  // one in three soft
        for (int y = y0; y < std::min(h, y0 + ph); ++y)
            for (int x = x0; x < std::min(w, x0 + pw); ++x) {
                const int v = (x - x0) * 255 / std::max(1, pw) + n(rng), u = (y - y0) * 200 / std::max(1, ph);
                const double dx = (x - bx - bw / 2.0) / (bw / 2.0), dy = (y - by - bh / 2.0) / (bh / 2.0), r2 = dx * dx + dy * dy;
                if (x < x0 + 2 || y < y0 + 2 || x >= x0 + pw - 2 || y >= y0 + ph - 2) SetPixel(bmp, x, y, 10, 10, 12);
                else if (r2 < 0.75 && std::abs(y - by - bh / 2) <= 1 && (x - bx) % 6 < 2) SetPixel(bmp, x, y, 0, 0, 0);
                else if (r2 < 0.75) SetPixel(bmp, x, y, c(240 + n(rng) / 3), c(230 + n(rng)), c(200 + n(rng)));
                else if (r2 < 1.0) SetPixel(bmp, x, y, uint8_t(ink + 50), uint8_t(ink), uint8_t(ink * 11 / 14));
                else SetPixel(bmp, x, y, c(v + 30), c(u + 40), c(255 - v));  // artwork fading through near-paper tones
            }
    }
    return bmp;
}

::testing::AssertionResult SameBytes(const TBitmap& a, const TBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat())
        return ::testing::AssertionFailure() << "size " << a.Width() << "x" << a.Height() << " vs " << b.Width() << "x"
                                             << b.Height() << " or pixel format differs";
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width() * 3; ++x)
            if (a.ScanLine(y)[x] != b.ScanLine(y)[x])
                return ::testing::AssertionFailure() << "byte " << x % 3 << " of pixel (" << x / 3 << ", " << y
                                                     << "): " << int(a.ScanLine(y)[x]) << " vs " << int(b.ScanLine(y)[x]);
    return ::testing::AssertionSuccess();
}

bool FakeArchiveSource::Open(const std::string& archiveName, TStringList& memberNames) {
    ++opens;
    if (onCall) onCall();
    current.clear();
    memberNames.Clear();
    if (throwOnOpen) throw std::runtime_error("archive reader failed");
    auto it = archives.find(archiveName);
    if (it == archives.end()) return false;
    for (auto& m : it->second) memberNames.Add(m.name);
    current = archiveName;
    return memberNames.Count() > 0;
}

int64_t FakeArchiveSource::MemberSize(const std::string& memberName) {
    auto it = archives.find(current);
    if (it == archives.end()) return -1;
    for (auto& m : it->second)
        if (m.name == memberName) return m.claimed >= 0 ? m.claimed : static_cast<int64_t>(m.bytes.size());
    return -1;
}

TStream* FakeArchiveSource::Extract(const std::string& memberName) {
    ++extracts;
    lostToPassword = false;
    if (onCall) onCall();
    auto it = archives.find(current);
    if (it == archives.end()) return nullptr;
    for (auto& m : it->second) {
        if (m.name != memberName) continue;
        lostToPassword = m.fails && m.locked;
        if (m.fails) return nullptr;
        stream = std::make_unique<TMemoryStream>(StreamOf(m.bytes));
        return stream.get();
    }
    return nullptr;
}

}  // namespace vellicor::test

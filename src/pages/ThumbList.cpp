#include "pages/ThumbList.h"

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "trace/Trace.h"

namespace vellicor {

namespace {

// An unnamed file in the temporary folder (on disk where it can be, not in memory).
int OpenSpillFile() {
    std::vector<std::string> dirs;
    if (const char* t = std::getenv("TMPDIR"); t && *t) dirs.emplace_back(t);
    dirs.emplace_back("/var/tmp");
    dirs.emplace_back("/tmp");
    for (const std::string& dir : dirs) {
#ifdef O_TMPFILE
        int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) return fd;
#endif
        std::string pattern = dir + "/.vellicor-thumbs-XXXXXX";
        fd = ::mkstemp(pattern.data());
        if (fd >= 0) {
            ::unlink(pattern.c_str());
            return fd;
        }
    }
    return -1;
}

}  // namespace

TImageList::TImageList(int Width, int Height, int Initial, int Grow, size_t MemoryBudget)
    : Width_(Width), Height_(Height), Grow_(Grow), Capacity_(Initial) {
    const size_t bytes = static_cast<size_t>(std::max<int64_t>(RowBytes(Width, TPixelFormat::pf24bit) * Height, 1));
    MemoryImages_ = MemoryBudget / bytes;
    Images_.reserve(std::min(MemoryImages_, static_cast<size_t>(std::max(Initial, 0))));
}

TImageList::~TImageList() {
    if (File_ >= 0) ::close(File_);
}

bool TImageList::Spill(const TBitmap& Image) {
    if (File_ < 0) File_ = OpenSpillFile();
    if (File_ < 0) return false;
    const int64_t bytes = Image.ByteSize();
    const off_t at = static_cast<off_t>(static_cast<int64_t>(Count_ - InMemory()) * bytes);
    const uint8_t* p = Image.Bits();
    for (int64_t done = 0; done < bytes;) {
        const ssize_t n = ::pwrite(File_, p + done, static_cast<size_t>(bytes - done), at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

int TImageList::Add(TBitmap Image) {
    VTRACE("TImageList::Add");
    if (Image.Width() != Width_ || Image.Height() != Height_ || Image.PixelFormat() != TPixelFormat::pf24bit) return -1;
    try {
        if (Images_.size() < MemoryImages_ && Count_ == InMemory()) {
            if (Images_.size() == Images_.capacity())
                Images_.reserve(std::min(MemoryImages_, Images_.capacity() + static_cast<size_t>(Grow_)));
            Images_.push_back(std::move(Image));
        } else if (!Spill(Image)) {
            return -1;
        }
    } catch (const std::bad_alloc&) {
        return -1;
    }
    if (Count_ == Capacity_) Capacity_ += Grow_;
    return Count_++;
}

TBitmap TImageList::Image(int Index) const {
    if (Index < 0 || Index >= Count_) return TBitmap();
    if (Index < InMemory()) return Images_[static_cast<size_t>(Index)];
    TBitmap out;
    if (!out.SetSizeForOverwrite(Width_, Height_, TPixelFormat::pf24bit)) return TBitmap();
    const int64_t bytes = out.ByteSize();
    const off_t at = static_cast<off_t>(static_cast<int64_t>(Index - InMemory()) * bytes);
    for (int64_t done = 0; done < bytes;) {
        const ssize_t n = ::pread(File_, out.Bits() + done, static_cast<size_t>(bytes - done), at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return TBitmap();
        done += n;
    }
    return out;
}

void TImageList::Clear() {
    Images_.clear();
    Count_ = 0;
    if (File_ >= 0) {
        ::close(File_);
        File_ = -1;
    }
}

void ThumbRect(int BoxW, int BoxH, int PageW, int PageH, int& Right, int& Bottom) {
    Right = BoxW;
    Bottom = BoxH;
    const bool both = (BoxW < BoxH && PageW < PageH) || (BoxW > BoxH && PageW > PageH);
    if (both || PageH <= 0) return;
    Right = static_cast<int>(static_cast<int64_t>(PageW) * BoxH / PageH);
}

TBitmap DrawThumb(const TBitmap& Page, int BoxW, int BoxH) {
    VTRACE("DrawThumb");
    TBitmap out;
    if (!out.SetSize(BoxW, BoxH, TPixelFormat::pf24bit)) return out;
    if (Page.Empty() || Page.PixelFormat() != TPixelFormat::pf24bit) return out;
    int right = 0, bottom = 0;
    ThumbRect(BoxW, BoxH, Page.Width(), Page.Height(), right, bottom);
    if (right <= 0 || bottom <= 0) return out;
    // Each target pixel averages the source block it covers, so small thumbnails of large
    // pages keep fine lines instead of dropping them.
    const int visibleW = std::min(right, BoxW), visibleH = std::min(bottom, BoxH);
    const int64_t pw = Page.Width(), ph = Page.Height();
    for (int y = 0; y < visibleH; ++y) {
        int y0 = static_cast<int>(y * ph / bottom), y1 = static_cast<int>((y + 1) * ph / bottom);
        if (y1 <= y0) y1 = y0 + 1;
        uint8_t* dst = out.ScanLine(y);
        for (int x = 0; x < visibleW; ++x) {
            int x0 = static_cast<int>(x * pw / right), x1 = static_cast<int>((x + 1) * pw / right);
            if (x1 <= x0) x1 = x0 + 1;
            uint32_t b = 0, g = 0, r = 0, n = 0;
            for (int sy = y0; sy < y1; ++sy) {
                const uint8_t* src = Page.ScanLine(sy) + 3 * x0;
                for (int sx = x0; sx < x1; ++sx, src += 3) b += src[0], g += src[1], r += src[2], ++n;
            }
            dst[3 * x] = static_cast<uint8_t>(b / n);
            dst[3 * x + 1] = static_cast<uint8_t>(g / n);
            dst[3 * x + 2] = static_cast<uint8_t>(r / n);
        }
    }
    return out;
}

}  // namespace vellicor

#include "pages/PageBMP.h"

#include <exception>
#include <memory>

#include "codecs/png/PngPage.h"
#include "codecs/gif/GIFPage.h"
#include "pages/BmpReader.h"
#include "pages/JpegDecode.h"
#include "pages/Utilsunit.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

// libjpeg may allocate this much for one image (progressive images keep every coefficient),
// and a progressive image may have this many scans; real pages stay far below both.
constexpr long kJpegMaxMemory = 1L << 30;
constexpr int kJpegMaxScans = 100;
// Every scan walks all of its components' blocks, so a file of several scans may make its
// scans walk its kept blocks this many times (a refinement of the whole AC band counting
// about nine): libjpeg's own progression walks them 23 times with the output, encoders
// that refine once more 32. Small pages may walk this many blocks whatever their scans.
constexpr int kJpegMaxBlockWalks = 32;
constexpr int64_t kJpegFreeBlockWalks = int64_t(1) << 24;
// Above this many pixels (or coefficient blocks of 64 pixels each, for a file of several
// scans) a page whose data fills less than a sixteenth of it is refused.
constexpr int64_t kJpegSparsePixels = int64_t(1) << 25;
// The fuzz target lowers these so that small frames reach the rules.
int64_t g_jpegSparsePixels = kJpegSparsePixels;
long g_jpegMaxMemory = kJpegMaxMemory;
int64_t g_jpegFreeBlockWalks = kJpegFreeBlockWalks;

constexpr int kErrorPageWidth = 400;
constexpr int kErrorPageHeight = 600;
constexpr TColor kErrorPageColor = 0x808080;
const char* const kErrorLoading = "Error Loading : ";

TPageDecoder g_pngDecoder = DecodePngPage;

// A failure inside a decoder, turned into the error page by LoadFromStream.
class DecodeError : public std::exception {
public:
    explicit DecodeError(std::string what) : what_(std::move(what)) {}
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string what_;
};

// Callbacks for the C decoder: they must return normally, whatever happens.
size_t ReadFromStream(void* user, unsigned char* buffer, size_t size) noexcept {
    try {
        int64_t n = static_cast<TStream*>(user)->Read(buffer, static_cast<int64_t>(size));
        return n > 0 ? static_cast<size_t>(n) : 0;
    } catch (...) {
        return 0;
    }
}

void TraceJpegMessage(void*, const char* message) noexcept {
    VTRACE_STR("TPageBMP::LoadFromStream JpegWarning", message);
}

void TraceJpegStep(const char* record, const char* label) noexcept {
    try {
        if (VTRACE_ON()) trace::TracepChar(record, label);
    } catch (...) {
    }
}

struct JpegDecoderDeleter {
    void operator()(vjpeg_decoder* d) const { vjpeg_destroy(d); }
};

// Between groups of rows the window's messages get through; the program's end, or a handler
// that touched the page being written, stops the decode.
struct JpegPoll {
    TBitmap& bitmap;
    const uint8_t* bits;
    int width, height;
    static int Stop(void* user) noexcept {
        auto* p = static_cast<JpegPoll*>(user);
        try {
            ProcessMessages();
        } catch (...) {
            return 1;
        }
        return StopRequested() || p->bitmap.Bits() != p->bits || p->bitmap.Width() != p->width ||
               p->bitmap.Height() != p->height;
    }
};

// Decodes straight into the bitmap's rows, at the scale that keeps both sides below the limit.
void DecodeJpeg(TStream& stream, TBitmap& bitmap, int scaleLimit) {
    VTRACE("TPageBMP::DecodeJpeg");
    vjpeg_limits limits{g_jpegMaxMemory, kJpegMaxScans, scaleLimit, g_jpegSparsePixels, kJpegMaxBlockWalks, g_jpegFreeBlockWalks};
    std::unique_ptr<vjpeg_decoder, JpegDecoderDeleter> d(vjpeg_create(ReadFromStream, TraceJpegMessage, &stream, &limits));
    if (!d) throw DecodeError("JPEG decoder unavailable");
    vjpeg_set_trace(d.get(), TraceJpegStep);
    int width = 0, height = 0, denom = 1;
    if (vjpeg_read_header(d.get(), &width, &height, &denom) != 0) throw DecodeError(vjpeg_error(d.get()));
    VTRACE_INT("TPageBMP::DecodeJpeg ScaleDenom", denom);
    if (!bitmap.SetSizeForOverwrite(width, height, TPixelFormat::pf24bit)) throw DecodeError("JPEG image too large");
    JpegPoll poll{bitmap, bitmap.Bits(), width, height};
    vjpeg_set_poll(d.get(), JpegPoll::Stop, &poll);
    if (vjpeg_decode(d.get(), bitmap.Bits(), static_cast<ptrdiff_t>(bitmap.Stride())) != 0)
        throw DecodeError(vjpeg_error(d.get()));
}

void DecodeBmp(TStream& stream, TBitmap& bitmap) {
    std::string error;
    if (!ReadBmp(stream, bitmap, &error)) throw DecodeError(error);
}

}  // namespace

void SetPageDecoder(TImageType type, TPageDecoder decoder) {
    VTRACE("SetPageDecoder");
    if (type == itPNG) g_pngDecoder = std::move(decoder);
}

void SetJpegLimitsForFuzzing(int64_t sparsePixels, long maxMemory) {
    g_jpegSparsePixels = sparsePixels > 0 ? sparsePixels : kJpegSparsePixels;
    g_jpegMaxMemory = maxMemory > 0 ? maxMemory : kJpegMaxMemory;
    g_jpegFreeBlockWalks = sparsePixels > 0 ? sparsePixels : kJpegFreeBlockWalks;
}

TPageBMP::TPageBMP(const std::string& fileName) {
    VTRACE("TPageBMP::TPageBMP");
    SetImgType(fileName);
}

void TPageBMP::SetImgType(const std::string& fileName) {
    VTRACE("TPageBMP::SetImgType");
    FileName = fileName;
    if (IsJpegFile(fileName)) ImgType = itJPEG;
    else if (IsPngFile(fileName)) ImgType = itPNG;
    else if (IsGifFile(fileName)) ImgType = itGIF;
    else if (IsBmpFile(fileName)) ImgType = itBMP;
    else ImgType = itOther;
}

void TPageBMP::Assign(const TBitmap& source) {
    VTRACE("TPageBMP::Assign");
    AssignBitmap(source);
    DecodedWidth = Width();
    DecodedHeight = Height();
}

void TPageBMP::LoadFromStream(TStream* stream) {
    VTRACE("TPageBMP::LoadFromStream");
    if (!LoadError) {
        try {
            TBitmap decoded;  // GIF pictures before they are transferred
            if (!stream) {
                LoadError = true;
            } else {
                if (stream->Seek(0, SeekOrigin::Begin) != 0) throw DecodeError("stream cannot seek");
                switch (ImgType) {
                    case itJPEG: DecodeJpeg(*stream, *this, JpegScaleLimit); break;
                    case itBMP: DecodeBmp(*stream, *this); break;
                    case itGIF: DecodeGifPage(*stream, decoded); break;
                    case itPNG: {
                        // The PNG decoder plugs in here (SetPageDecoder); it decodes onto
                        // the page itself, so the page is not copied afterwards.
                        if (!g_pngDecoder) throw DecodeError("no decoder for this image type");
                        g_pngDecoder(*stream, *this);
                        if (Empty()) throw DecodeError("decoder gave no picture");
                        break;
                    }
                    default: break;  // other types decode nothing
                }
            }
            ProcessMessages();
            if (!LoadError && ImgType == itGIF) {
                if (decoded.Empty()) throw DecodeError("decoder gave no picture");
                // A large frame's conversion lets messages through, and stops once the program ends.
                const auto goOn = [] {
                    ProcessMessages();
                    return !StopRequested();
                };
                if (!AssignConverted(decoded, goOn)) throw DecodeError(StopRequested() ? "decoding stopped" : "picture too large");
                DecodedWidth = Width();
                DecodedHeight = Height();
            }
            if (!SetPixelFormat(TPixelFormat::pf24bit)) throw DecodeError("picture too large");
        } catch (const std::exception& e) {
            trace::TraceException(e);
            LoadError = true;
        } catch (...) {
            LoadError = true;
        }
    }
    if (LoadError) ShowLoadError();
    DecodedWidth = Width();
    DecodedHeight = Height();
}

void TPageBMP::LoadFromFile(const std::string& fileName) {
    VTRACE("TPageBMP::LoadFromFile");
    TFileStream file;
    if (!file.Open(fileName, FileMode::OpenRead)) {
        ShowLoadError();
        return;
    }
    TPageBMP::LoadFromStream(&file);
}

void TPageBMP::ShowLoadError() {
    VTRACE("TPageBMP::ShowLoadError");
    SetSize(0, 0);
    if (StopRequested()) return;  // the program is ending: the page just goes
    MakeErrorBMP(kErrorLoading + FileName);
}

void TPageBMP::ContinueLoad(TStream* stream) {
    VTRACE("TPageBMP::ContinueLoad");
    if (stream) TPageBMP::LoadFromStream(stream);
    else ShowLoadError();
}

void TPageBMP::ContinueLoadFromList(const void*, TStream* stream, const std::string&) {
    VTRACE("TPageBMP::ContinueLoadFromList");
    ContinueLoad(stream);
    if (OnLoadFromListDone) OnLoadFromListDone(this);
}

void TPageBMP::ContinueLoadThumb(const void*, TStream* stream, const std::string&) {
    VTRACE("TPageBMP::ContinueLoadThumb");
    ContinueLoad(stream);
    if (OnThumbDone) OnThumbDone(this);
}

void TPageBMP::ContinueLoadPreview(const void*, TStream* stream, const std::string& name) {
    VTRACE("TPageBMP::ContinueLoadPreview");
    SetImgType(name);
    ContinueLoad(stream);
    if (OnPreviewDone) OnPreviewDone(this);
}

void TPageBMP::MakeErrorBMP(const std::string& text) {
    VTRACE("TPageBMP::MakeErrorBMP");
    if (!SetSize(kErrorPageWidth, kErrorPageHeight, TPixelFormat::pf24bit)) return;
    Fill(kErrorPageColor);
    ITextRenderer& renderer = TextRenderer();
    // The font shrinks until the text fits with 10 pixels either side, but not below 9.
    int fontHeight = 20;
    while (fontHeight >= 10 && renderer.TextWidth(text, fontHeight) + 20 > Width()) --fontHeight;
    renderer.TextOut(*this, 10, 10, text, fontHeight, RGBColor(255, 0, 0));
}

}  // namespace vellicor

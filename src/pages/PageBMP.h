#pragma once
// The page image: a 24-bit bitmap that knows the file it came from, decodes that file's
// bytes by image type and turns every load failure into a visible grey error page.
#include <cstdint>
#include <functional>
#include <string>

#include "pages/PageOps.h"
#include "platform/Bitmap.h"
#include "platform/Streams.h"
#include "platform/TextRenderer.h"

namespace vellicor {

// Image type codes, chosen from the file name's extension.
enum TImageType : int32_t { itOther = 0, itJPEG = 1, itPNG = 2, itGIF = 3, itBMP = 4 };

// Page rotation codes.
enum TRotation : int32_t { rtNone = 0, rtRight = 1, rtUpsideDown = 2, rtLeft = 3 };

class TPageBMP;
using TPageEvent = std::function<void(TPageBMP* Sender)>;

// A decoder for the image types the page does not decode itself (PNG). It reads the
// stream from its current position and leaves the picture in Dest, the page itself, in any
// pixel format; a PNG decoder draws its transparency onto Dest as the page should show it.
// Failures are reported by throwing (any exception becomes the error page).
using TPageDecoder = std::function<void(TStream& Stream, TBitmap& Dest)>;
// Installs the decoder for itPNG (an empty one removes it; other types are ignored).
// Without a decoder such pages show the error page.
void SetPageDecoder(TImageType Type, TPageDecoder Decoder);

// Largest side a JPEG page is decoded below: the scale is the largest of 1/1, 1/2, 1/4, 1/8
// at which neither side reaches it (1/8 otherwise).
constexpr int kJpegScaleLimit = 3000;

// For the fuzz target only: the pixels above which sparse JPEG pages are refused (also the
// blocks any file's scans may walk) and the memory libjpeg may take, so that small frames
// reach those rules (0: the defaults).
void SetJpegLimitsForFuzzing(int64_t SparsePixels, long MaxMemory);

class TPageBMP : public TBitmap {
public:
    explicit TPageBMP(const std::string& FileName);
    ~TPageBMP() override = default;
    TPageBMP(const TPageBMP&) = default;
    TPageBMP& operator=(const TPageBMP&) = default;

    TPageEvent OnLoadFromListDone;  // fired by ContinueLoadFromList after decoding
    TPageEvent OnPreviewDone;       // fired by ContinueLoadPreview
    TPageEvent OnThumbDone;         // fired by ContinueLoadThumb
    std::string FileName;           // set by SetImgType
    TImageType ImgType = itOther;
    TRotation Rotation = rtNone;
    bool LoadError = false;         // once set, LoadFromStream decodes nothing
    int32_t BalanceFactor = 100;    // contrast stretch in percent, 100 = none
    int32_t GammaApplied = 0;       // gamma setting applied, 0 = none
    bool YellowingReduced = false;
    bool AreaFilled = false;
    int32_t DecodedWidth = 0;       // size of the decoded image before fitting
    int32_t DecodedHeight = 0;
    int32_t ScalePercent = 100;     // current width in percent of DecodedWidth
    int32_t JpegScaleLimit = kJpegScaleLimit;  // lower for thumbnails and previews

    // Stores the name and sets ImgType from its extension.
    void SetImgType(const std::string& FileName);
    // Copies the source's pixels; the decoded size becomes the resulting size.
    virtual void Assign(const TBitmap& Source);
    // Decodes the stream (null: load error) by ImgType; never throws. Any failure leaves
    // the error page and sets LoadError.
    virtual void LoadFromStream(TStream* Stream);
    // Decodes a file; a file that cannot be opened gives the error page (LoadError unset).
    virtual void LoadFromFile(const std::string& FileName);

    // Asynchronous loads through the file loader. The loader must offer
    //   OnStreamReady / OnPreviewReady: assignable from a callable (Sender, TStream*, Name),
    //   LoadPage(int FileNumber) and GetPreview(const std::string& ArchiveName).
    // The loader keeps the stream; the page must outlive the request.
    template <class Loader>
    void LoadFromList(Loader& loader, int FileNumber) {
        loader.OnStreamReady = [this](auto Sender, auto Stream, const std::string& Name) {
            ContinueLoadFromList(Sender, Stream, Name);
        };
        loader.LoadPage(FileNumber);
    }
    template <class Loader>
    void LoadThumb(Loader& loader, int FileNumber) {
        loader.OnStreamReady = [this](auto Sender, auto Stream, const std::string& Name) {
            ContinueLoadThumb(Sender, Stream, Name);
        };
        loader.LoadPage(FileNumber);
    }
    template <class Loader>
    void LoadPreview(Loader& loader, const std::string& ArchiveName) {
        loader.OnPreviewReady = [this](auto Sender, auto Stream, const std::string& Name) {
            ContinueLoadPreview(Sender, Stream, Name);
        };
        loader.GetPreview(ArchiveName);
    }

    // The loader's callbacks: Stream is null when the loader could not produce one.
    void ContinueLoadFromList(const void* Sender, TStream* Stream, const std::string& Name);
    void ContinueLoadThumb(const void* Sender, TStream* Stream, const std::string& Name);
    void ContinueLoadPreview(const void* Sender, TStream* Stream, const std::string& Name);

    // Draws the 400 by 600 grey error page with Text in red at (10, 10).
    void MakeErrorBMP(const std::string& Text);

    // The image operations on this page (PageOps.h, which traces them), recording what
    // they did in the page's fields.
    bool Balance(int32_t Discards) { return vellicor::Balance(*this, Discards, BalanceFactor); }
    bool GammaCorrect(int32_t Gamma) { return vellicor::GammaCorrect(*this, Gamma, GammaApplied); }
    bool ReduceYellowing(int32_t RedThreshold, int32_t GreenThreshold, int32_t BlueThreshold, int32_t GreenBoost,
                         int32_t BlueBoost) {
        return vellicor::ReduceYellowing(*this, RedThreshold, GreenThreshold, BlueThreshold, GreenBoost, BlueBoost,
                                         YellowingReduced);
    }
    bool BitmapIsWhite() const { return vellicor::BitmapIsWhite(*this); }
    bool ReduceYellowingByFilling(bool FixInternal, int32_t RedThreshold, int32_t GreenThreshold,
                                  int32_t BlueThreshold, int32_t RedFill, int32_t GreenFill, int32_t BlueFill) {
        return vellicor::ReduceYellowingByFilling(*this, FixInternal, RedThreshold, GreenThreshold, BlueThreshold,
                                                  RedFill, GreenFill, BlueFill, AreaFilled);
    }
    bool LanczosStretch(int NewWidth, int NewHeight) { return vellicor::LanczosStretch(*this, NewWidth, NewHeight); }
    bool Stretch(int NewWidth, int NewHeight) {
        return vellicor::Stretch(*this, NewWidth, NewHeight, DecodedWidth, ScalePercent);
    }
    bool RotateBitmapLeft() { return vellicor::RotateBitmapLeft(*this); }
    bool RotateBitmapRight() { return vellicor::RotateBitmapRight(*this); }
    bool InvertBitmap() { return vellicor::InvertBitmap(*this); }
    TColor DetermineBackground(int Mode) const { return vellicor::DetermineBackground(*this, Mode); }
    TColor DetermineBackgroundLeft(int Mode) const { return vellicor::DetermineBackgroundLeft(*this, Mode); }
    TColor DetermineBackgroundRight(int Mode) const { return vellicor::DetermineBackgroundRight(*this, Mode); }

private:
    void ContinueLoad(TStream* Stream);
    void ShowLoadError();
};

}  // namespace vellicor

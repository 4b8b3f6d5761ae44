#include "pages/Processbmp.h"

#include <algorithm>

#include <climits>
#include <cstdint>
#include <utility>

#include "pages/PageOps.h"
#include "pages/PageOpsScratch.h"
#include "pages/PageSettings.h"
#include "pages/Utilsunit.h"
#include "platform/UiServices.h"
#include "settings/Configuration.h"
#include "trace/Trace.h"

namespace vellicor {

TProcessBMP::TProcessBMP(const std::string& FileName, TRotation Rotation_) : TPageBMP(FileName) {
    VTRACE("TProcessBMP::TProcessBMP");
    Rotation = Rotation_;
    Processed = false;
}

TProcessBMP::~TProcessBMP() { VTRACE("TProcessBMP::~TProcessBMP"); }

void TProcessBMP::LoadFromFile(const std::string& FileName) {
    VTRACE("TProcessBMP::LoadFromFile");
    TPageBMP::LoadFromFile(FileName);
    ProcessBitmap();
}

void TProcessBMP::LoadFromStream(TStream* Stream) {
    VTRACE("TProcessBMP::LoadFromStream");
    TPageBMP::LoadFromStream(Stream);
    ProcessBitmap();
}

void TProcessBMP::LoadFromList(TLoadFiles& Loader, int FileNumber) {
    VTRACE("TProcessBMP::LoadFromList");
    OnLoadFromListDone = [this](TPageBMP* Sender) { ContinueLoadFromList(Sender); };
    TPageBMP::LoadFromList(Loader, FileNumber);
}

void TProcessBMP::ContinueLoadFromList(TPageBMP* Sender) {
    VTRACE("TProcessBMP::ContinueLoadFromList");
    (void)Sender;
    ProcessBitmap();
    if (OnProcessed) OnProcessed(this);
}

bool TProcessBMP::Usable() const {
    VTRACE("TProcessBMP::Usable");
    return !LoadError && ImageType != ctUnprocessed;
}

void TProcessBMP::ProcessBitmap() {
    VTRACE("TProcessBMP::ProcessBitmap");
    const TSettings& s = PageSettings();
    // The program is ending: the page is not worth a pass, and its memory goes at once
    // (nobody would see an error page either).
    if (StopRequested() && !LoadError) {
        LoadError = true;
        SetSize(0, 0);
    }
    // Balance and yellowing reduction are planned from one look at the page and applied as
    // one map while the page is fitted, instead of in passes of their own. Filling needs
    // the page as they leave it, so with it on they run one by one.
    pageops::TColourMap map;
    const bool planned = Usable() && !s.FixEdgeYellowing && (s.Balance || s.FixYellowing) &&
                         pageops::PlanColourMap(*this, s.Balance, s.DiscardsPer1000, s.FixYellowing,
                                                s.YellowingRedThreshold, s.YellowingGreenThreshold,
                                                s.YellowingBlueThreshold, s.YellowingGreenBoost, s.YellowingBlueBoost,
                                                map);
    if (planned) {
        if (map.Balanced) BalanceFactor = map.BalanceFactor;
        if (map.YellowingReduced) YellowingReduced = true;
    } else {
        if (Usable() && s.Balance) Balance(s.DiscardsPer1000);
        if (Usable()) {
            if (s.FixYellowing)
                ReduceYellowing(s.YellowingRedThreshold, s.YellowingGreenThreshold, s.YellowingBlueThreshold,
                                s.YellowingGreenBoost, s.YellowingBlueBoost);
            if (s.FixEdgeYellowing)
                ReduceYellowingByFilling(s.FixInternalYellowing, s.EdgeYellowingRedThreshold,
                                         s.EdgeYellowingGreenThreshold, s.EdgeYellowingBlueThreshold,
                                         s.EdgeYellowingRedBoost, s.EdgeYellowingGreenBoost,
                                         s.EdgeYellowingBlueBoost);
        }
    }
    if (ImageType != ctUnprocessed && !SetBitmapSize(planned ? &map : nullptr)) {
        if (StopRequested()) SetSize(0, 0);
        else MakeErrorBMP("Error Loading : " + FileName);
    }
    if (Usable() && s.GammaCorrect) GammaCorrect(s.GammaCorrection);
    ProcessMessages();
    Processed = true;
}

bool ComputeFit(const TFitInput& In, const TSettings& s, TFitResult& Out) {
    VTRACE("TProcessBMP::ComputeFit");
    const bool sideways = In.Rotation == 1 || In.Rotation == 3;
    int64_t W = sideways ? In.Height : In.Width;
    int64_t H = sideways ? In.Width : In.Height;

    int R = In.Rotation;
    if (s.RotateLeft) R = (In.Rotation + 3) % 4;
    else if (s.RotateRight) R = (In.Rotation + 1) % 4;
    Out.FinalRotation = static_cast<TRotation>(R);

    // A page without pixels cannot be fitted: the caller shows the error page instead.
    if (W <= 0 || H <= 0) return false;

    int64_t SW = In.ClientWidth, SH = In.ClientHeight;
    if (s.RotateLeft || s.RotateRight) std::swap(SW, SH);
    const bool wide = H < W;
    if (s.TwoPages && !wide) SW = SW / 2;
    // A minimised window has no size to fit to: the rules that need one are passed over.
    const bool haveScreen = SW > 0 && SH > 0;

    const int64_t PA = H * 100 / W;
    const int64_t SA = haveScreen ? SH * 100 / SW : 0;
    int64_t TW = W, TH = H;

    auto byHeight = [&] {
        TH = SH;
        TW = W * SH / H;
    };
    auto byWidth = [&] {
        TW = SW;
        TH = H * SW / W;
    };

    const bool wholeFit =
        In.ImageType == ctZoomWhole || s.Fit || s.TwoPages || (s.FitIfOversize && (W > SW || H > SH));
    const bool widthFit = s.FitWidth || (s.FitWidthIfOversize && W > SW);
    const bool heightFit = s.FitHeight || (s.FitHeightIfOversize && H > SH);

    if (haveScreen && wholeFit) {
        if (SA > PA) {
            if (wide && s.SuppressFitWidthDoublePages) byHeight();
            else byWidth();
        } else {
            byHeight();
        }
    } else if (haveScreen && widthFit) {
        if (wide && s.SuppressFitWidthDoublePages) {
            // A spread is fitted to two window widths, never enlarged.
            if (W > 2 * SW) {
                TW = 2 * SW;
                TH = H * 2 * SW / W;
            }
        } else {
            byWidth();
        }
    } else if (haveScreen && heightFit) {
        byHeight();
    } else if (s.TargetHeight) {
        // A hand-edited height outside the dialog's range is taken at its nearest end.
        const int64_t target = std::clamp<int64_t>(s.TargetHeightVal, 1, 4096);
        TH = target;
        TW = std::max<int64_t>(1, W * target / H);
    }

    if (TW > INT_MAX || TH > INT_MAX) return false;
    if (In.ImageType == ctZoomDouble) {
        TW *= 2;
        TH *= 2;
    }
    if (sideways) std::swap(TW, TH);
    if (TW < 1 || TH < 1 || TW > INT_MAX || TH > INT_MAX) return false;
    Out.Width = static_cast<int>(TW);
    Out.Height = static_cast<int>(TH);
    return true;
}

bool TProcessBMP::SetBitmapSize() { return SetBitmapSize(nullptr); }

bool TProcessBMP::SetBitmapSize(const pageops::TColourMap* Map) {
    VTRACE("TProcessBMP::SetBitmapSize");
    TFitInput in;
    in.Width = Width();
    in.Height = Height();
    in.Rotation = Rotation;
    in.ImageType = ImageType;
    in.ClientWidth = MainClientWidth();
    in.ClientHeight = MainClientHeight();
    TFitResult out;
    if (!ComputeFit(in, PageSettings(), out)) return false;
    VTRACE_INT("TProcessBMP::SetBitmapSize TW", out.Width);
    VTRACE_INT("TProcessBMP::SetBitmapSize TH", out.Height);
    return ResizeAndRotate(out.Width, out.Height, out.FinalRotation, Map);
}

bool TProcessBMP::ResizeAndRotate(int NewWidth, int NewHeight, TRotation R) {
    return ResizeAndRotate(NewWidth, NewHeight, R, nullptr);
}

bool TProcessBMP::ResizeAndRotate(int NewWidth, int NewHeight, TRotation R, const pageops::TColourMap* Map) {
    VTRACE("TProcessBMP::ResizeAndRotate");
    const int w = Width(), h = Height();
    if ((NewWidth < w && NewHeight > h) || (NewWidth > w && NewHeight < h)) return false;
    bool result = true;
    if (NewWidth != w) result = pageops::StretchMapped(*this, NewWidth, NewHeight, DecodedWidth, ScalePercent, Map);
    else if (Map) pageops::ApplyColourMap(*this, *Map);
    if (!result) return false;
    switch (R) {
        case 1: return RotateBitmapRight();
        case 2: return InvertBitmap();
        case 3: return RotateBitmapLeft();
        default: return true;
    }
}

}  // namespace vellicor

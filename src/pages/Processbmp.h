#pragma once
// A page bitmap that prepares itself for display: after decoding it runs the processing
// chain (balance, yellowing reduction, fitting, rotation, gamma) by the settings and by
// what the page is for.
#include <functional>
#include <string>

#include "pages/LoadFiles.h"
#include "pages/PageBMP.h"

namespace vellicor {
namespace pageops {
struct TColourMap;
}

// What a page is made for; bit values, so that the cache selects by mask.
enum TPageCacheType : int {
    ctDisplay = 1,      // page for display: full chain, fitted by the fit settings
    ctUnprocessed = 2,  // no colour processing, no fitting, no rotation, no gamma
    ctZoomDouble = 4,   // full chain, fitted, then both dimensions doubled
    ctZoomWhole = 8,    // full chain, always fitted whole to the window
};

class TProcessBMP;
using TProcessedEvent = std::function<void(TProcessBMP* Sender)>;

class TProcessBMP : public TPageBMP {
public:
    TProcessBMP(const std::string& FileName, TRotation Rotation);
    ~TProcessBMP() override;

    void LoadFromFile(const std::string& FileName) override;
    void LoadFromStream(TStream* Stream) override;
    // Asynchronous load of page FileNumber through the loader; OnProcessed fires once done.
    void LoadFromList(TLoadFiles& Loader, int FileNumber);
    void ContinueLoadFromList(TPageBMP* Sender);

    void ProcessBitmap();
    // Fits and turns the page by the settings and the window; false when the size cannot be applied.
    bool SetBitmapSize();
    // False (nothing changed) when the new size would change the aspect in opposite directions.
    bool ResizeAndRotate(int NewWidth, int NewHeight, TRotation R);

    TProcessedEvent OnProcessed;
    TPageCacheType ImageType = ctDisplay;
    bool Processed = false;

private:
    bool Usable() const;
    // With a colour map, the colour steps ride along with the fit: the map is applied to
    // each source pixel as the page is resampled (or in one pass when it is not).
    bool SetBitmapSize(const pageops::TColourMap* Map);
    bool ResizeAndRotate(int NewWidth, int NewHeight, TRotation R, const pageops::TColourMap* Map);
};

// The display size of a page before rotation, as SetBitmapSize computes it. Exposed for
// the window and for tests; false when the page or the window gives nothing to fit.
struct TFitInput {
    int Width = 0, Height = 0;  // the bitmap
    TRotation Rotation = rtNone;  // the page's own rotation
    TPageCacheType ImageType = ctDisplay;
    int ClientWidth = 0, ClientHeight = 0;
};
struct TFitResult {
    int Width = 0, Height = 0;  // bitmap size before the final rotation
    TRotation FinalRotation = rtNone;
};
struct TSettings;
bool ComputeFit(const TFitInput& In, const TSettings& Settings, TFitResult& Out);

}  // namespace vellicor

#pragma once
// Rebuilds an image's colour tables as one global table of the colours its frames use, most
// used first: equal colours merged, the least used mapped onto their nearest kept colour when
// more than fit, transparency given an entry of its own, every frame's pixels remapped.
#include <cstdint>
#include <memory>
#include <vector>

#include "codecs/gif/GIFImage.h"

namespace vellicor {

struct TColorRec {
    int64_t Count = 0;  // uses; -1 once pruned
    int Index = 0;      // the entry's old index
    int NewIndex = 256;  // 256 until assigned
    TGIFColor Color;
    TColorRec* Merged = nullptr;  // the record of the same colour that took this one's count
};

class THistogram {
public:
    THistogram(TGIFColorMap& Map);
    // Counts a frame's pixels against this map; false when the frame uses no entry.
    void ProcessSubImage(TGIFSubImage& Frame, bool& TransparencyUsed);
    void Prune();
    void MapImages(bool TransparencyUsed, int NewTransparent);

    TGIFColorMap& Map;
    int ColorCount;
    std::vector<TColorRec> Records;   // one per map entry
    std::vector<TColorRec*> List;     // the kept records
    std::vector<TGIFSubImage*> Frames;
};

class TColorMapOptimizer {
public:
    explicit TColorMapOptimizer(TGIFImage& Image) : FImage(Image) {}
    void Optimize();

private:
    void Analyze();
    void MapColors();
    void ReplaceColorMaps();
    void MapImages();

    TGIFImage& FImage;
    std::vector<std::unique_ptr<THistogram>> FHistograms;
    std::vector<TColorRec*> FColorList;
    std::vector<TGIFColor> FNewMap;
    bool FTransparencyUsed = false;
    int FNewTransparent = 0;
};

}  // namespace vellicor

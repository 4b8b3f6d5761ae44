// The colour-map optimiser: one global table of the colours in use.
#include "codecs/gif/GIFColorMapOptimizer.h"

#include <algorithm>
#include <cstdlib>

#include "trace/Trace.h"

namespace vellicor {

namespace {

constexpr int64_t kMaxCount = 0x7FFFFFFF;

bool ByCountDescending(const TColorRec* a, const TColorRec* b) { return a->Count > b->Count; }

bool ByColor(const TColorRec* a, const TColorRec* b) {
    if (a->Color.Red != b->Color.Red) return a->Color.Red < b->Color.Red;
    if (a->Color.Green != b->Color.Green) return a->Color.Green < b->Color.Green;
    return a->Color.Blue < b->Color.Blue;
}

}  // namespace

THistogram::THistogram(TGIFColorMap& map) : Map(map), ColorCount(map.Count()) {
    Records.resize(size_t(ColorCount));
    for (int i = 0; i < ColorCount; ++i) {
        Records[size_t(i)].Index = i;
        Records[size_t(i)].Color = map.Entry(i);
    }
}

void THistogram::ProcessSubImage(TGIFSubImage& frame, bool& transparencyUsed) {
    Frames.push_back(&frame);
    TGIFGraphicControlExtension* gce = frame.GraphicControlExtension();
    const int transparent = (frame.Transparent() && gce) ? gce->GetTransparentColorIndex() : -1;
    bool anyTransparent = false, warned = false;
    uint8_t* p = frame.Data();
    for (int64_t i = 0; i < frame.DataSize(); ++i) {
        if (p[i] == transparent) {
            anyTransparent = true;
            continue;
        }
        if (p[i] >= ColorCount) {
            p[i] = 0;
            if (!warned) frame.Warning(gsWarning, sInvalidColor);
            warned = true;
        }
        // Counted where it now points, so that entry is kept for it.
        TColorRec& rec = Records[p[i]];
        if (rec.Count < kMaxCount) ++rec.Count;
    }
    if (anyTransparent) transparencyUsed = true;
    else if (transparent >= 0) {
        gce->SetTransparentColorIndex(0);
        gce->SetTransparent(false);
    }
}

void THistogram::Prune() {
    List.clear();
    for (TColorRec& rec : Records) List.push_back(&rec);
    std::stable_sort(List.begin(), List.end(), ByCountDescending);
    // Every unused entry goes: an entry kept with no pixel would only take a slot.
    size_t kept = 0;
    while (kept < List.size() && List[kept]->Count > 0) ++kept;
    for (size_t i = kept; i < List.size(); ++i) List[i]->Count = -1;
    List.resize(kept);
}

void THistogram::MapImages(bool transparencyUsed, int newTransparent) {
    uint8_t table[256];
    for (int i = 0; i < 256; ++i) table[i] = 0;
    for (const TColorRec& rec : Records)
        if (rec.NewIndex < 256) table[rec.Index] = uint8_t(rec.NewIndex);
    for (TGIFSubImage* frame : Frames) {
        TGIFGraphicControlExtension* gce = frame->GraphicControlExtension();
        const bool transparent = transparencyUsed && frame->Transparent() && gce;
        const int old = transparent ? gce->GetTransparentColorIndex() : -1;
        uint8_t* p = frame->Data();
        for (int64_t i = 0; i < frame->DataSize(); ++i) p[i] = p[i] == old ? uint8_t(newTransparent) : table[p[i]];
        if (transparent) gce->SetTransparentColorIndex(uint8_t(newTransparent));
    }
}

void TColorMapOptimizer::Analyze() {
    TGIFImageList& frames = FImage.Images();
    if (FImage.GetColorMap().Count() > 0) {
        auto histogram = std::make_unique<THistogram>(FImage.GetColorMap());
        for (int i = 0; i < frames.GetCount(); ++i) {
            TGIFSubImage* frame = frames.GetImage(i);
            if (!frame->GetEmpty() && frame->ColorMap().Count() == 0)
                histogram->ProcessSubImage(*frame, FTransparencyUsed);
        }
        if (!histogram->Frames.empty()) FHistograms.push_back(std::move(histogram));
    }
    for (int i = 0; i < frames.GetCount(); ++i) {
        TGIFSubImage* frame = frames.GetImage(i);
        if (frame->GetEmpty() || frame->ColorMap().Count() == 0) continue;
        auto histogram = std::make_unique<THistogram>(frame->ColorMap());
        histogram->ProcessSubImage(*frame, FTransparencyUsed);
        FHistograms.push_back(std::move(histogram));
    }
}

void TColorMapOptimizer::MapColors() {
    size_t total = 0;
    for (auto& h : FHistograms) {
        h->Prune();
        total += h->List.size();
    }
    FColorList.clear();
    FColorList.reserve(total);
    for (auto& h : FHistograms) FColorList.insert(FColorList.end(), h->List.begin(), h->List.end());

    // Equal colours: the first of a run takes the counts of the others.
    std::stable_sort(FColorList.begin(), FColorList.end(), ByColor);
    for (size_t i = 0; i < FColorList.size();) {
        size_t j = i + 1;
        TColorRec* first = FColorList[i];
        while (j < FColorList.size() && FColorList[j]->Color == first->Color) {
            first->Count = std::min(kMaxCount, first->Count + FColorList[j]->Count);
            FColorList[j]->Count = 0;
            FColorList[j]->Merged = first;
            ++j;
        }
        i = j;
    }

    std::stable_sort(FColorList.begin(), FColorList.end(), ByCountDescending);
    const size_t limit = FTransparencyUsed ? 255 : 256;
    size_t count = 0;
    while (count < FColorList.size() && count < limit && FColorList[count]->Count > 0) ++count;
    FNewMap.clear();
    for (size_t i = 0; i < count; ++i) {
        FColorList[i]->NewIndex = int(i);
        FNewMap.push_back(FColorList[i]->Color);
    }
    for (size_t i = count; i < FColorList.size(); ++i) {
        TColorRec* rec = FColorList[i];
        if (rec->Count <= 0) continue;
        // 766 is beyond the largest distance (3 x 255), so every colour finds a kept one.
        int best = 766, bestIndex = 0;
        for (size_t k = 0; k < count; ++k) {
            const TGIFColor& c = FColorList[k]->Color;
            const int d = std::abs(c.Red - rec->Color.Red) + std::abs(c.Green - rec->Color.Green) +
                          std::abs(c.Blue - rec->Color.Blue);
            if (d < best) {
                best = d;
                bestIndex = int(k);
            }
        }
        rec->NewIndex = bestIndex;
    }
    for (TColorRec* rec : FColorList)
        if (rec->Count == 0 && rec->Merged) rec->NewIndex = rec->Merged->NewIndex;
    if (FTransparencyUsed) {
        FNewTransparent = int(count);
        FNewMap.push_back({0, 0, 0});
    }
}

void TColorMapOptimizer::ReplaceColorMaps() {
    TGIFImageList& frames = FImage.Images();
    for (int i = 0; i < frames.GetCount(); ++i) frames.GetImage(i)->ColorMap().Clear();
    FImage.GetColorMap().ImportColorMap(FNewMap.data(), int(FNewMap.size()));
    FImage.GetColorMap().SetOptimized(true);
}

void TColorMapOptimizer::MapImages() {
    for (auto& h : FHistograms) h->MapImages(FTransparencyUsed, FNewTransparent);
    TGIFImageList& frames = FImage.Images();
    for (int i = 0; i < frames.GetCount(); ++i) {
        TGIFSubImage* frame = frames.GetImage(i);
        frame->FreeBitmap();
        frame->FreeMask();
        frame->SetPalette(nullptr);
    }
}

void TColorMapOptimizer::Optimize() {
    VTRACE("TColorMapOptimizer::Optimize");
    FImage.PaintStop();
    std::lock_guard<std::recursive_mutex> guard(FImage.PaintersLock());
    Analyze();
    if (FHistograms.empty()) return;
    MapColors();
    ReplaceColorMaps();
    MapImages();
}

void TGIFImage::OptimizeColorMap() {
    TColorMapOptimizer optimizer(*this);
    optimizer.Optimize();
}

}  // namespace vellicor

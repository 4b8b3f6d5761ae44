// Making images smaller before they are written: cropping, merging with the previous frame,
// sorted colour tables and dropping what carries nothing for display.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codecs/gif/GIFImage.h"

namespace vellicor {

namespace {

TDisposalMethod DisposalOf(const TGIFSubImage* frame) {
    return frame->GraphicControlExtension() ? frame->GraphicControlExtension()->GetDisposal() : dmNone;
}

TRect Intersect(const TRect& a, const TRect& b) {
    TRect r{std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right), std::min(a.Bottom, b.Bottom)};
    if (r.Left >= r.Right || r.Top >= r.Bottom) return {};
    return r;
}

// A frame whose transparent index a frame without one may take over.
bool SharesIndex(TGIFSubImage* frame) {
    return frame->Transparent() && frame->GraphicControlExtension() && frame->ColorMap().Count() == 0;
}

}  // namespace

void TGIFSubImage::Crop() {
    if (GetEmpty() || !FTransparent || !FGCE) return;
    // The background disposal clears the frame's whole rectangle: a smaller one would leave
    // the old picture showing around it.
    if (FGCE->GetDisposal() == dmBackground) return;
    const uint8_t t = FGCE->GetTransparentColorIndex();
    const int w = Width(), h = Height();
    const uint8_t* data = FData.get();
    auto columnClear = [&](int x) {
        for (int y = 0; y < h; ++y)
            if (data[int64_t(y) * w + x] != t) return false;
        return true;
    };
    int left = 0;
    while (left < w && columnClear(left)) ++left;
    if (left == w) {
        Clear();
        return;
    }
    int right = w - 1;
    while (right > left && columnClear(right)) --right;
    auto rowClear = [&](int y) {
        const uint8_t* row = data + int64_t(y) * w;
        for (int x = left; x <= right; ++x)
            if (row[x] != t) return false;
        return true;
    };
    int top = 0;
    while (top < h && rowClear(top)) ++top;
    int bottom = h - 1;
    while (bottom > top && rowClear(bottom)) --bottom;
    const int nw = right - left + 1, nh = bottom - top + 1;
    if (nw == w && nh == h) return;
    std::unique_ptr<uint8_t[], FreeData> buffer(static_cast<uint8_t*>(std::malloc(size_t(nw) * size_t(nh))));
    if (!buffer) Error(sOutOfMemDIB);
    for (int y = 0; y < nh; ++y) std::memcpy(buffer.get() + int64_t(y) * nw, data + int64_t(top + y) * w + left, size_t(nw));
    FData = std::move(buffer);
    FDataSize = int64_t(nw) * nh;
    FImageDescriptor.Left = uint16_t(FImageDescriptor.Left + left);
    FImageDescriptor.Top = uint16_t(FImageDescriptor.Top + top);
    FImageDescriptor.Width = uint16_t(nw);
    FImageDescriptor.Height = uint16_t(nh);
    FBitmap.reset();
    FMask.reset();
}

TGIFSubImage::TSharedIndices TGIFSubImage::SharedIndices(TGIFImage* image) {
    TSharedIndices first;
    first.fill(-1);
    if (!image) return first;
    const int count = image->Images().GetCount();
    image->FSharedIndexLookups += count;
    for (int i = 0; i < count; ++i) {
        TGIFSubImage* f = image->Images().GetImage(i);
        if (!SharesIndex(f)) continue;
        int& slot = first[f->GraphicControlExtension()->GetTransparentColorIndex()];
        if (slot < 0) slot = i;
    }
    return first;
}

void TGIFSubImage::Merge(TGIFSubImage* previous) { DoMerge(previous, nullptr); }

void TGIFSubImage::DoMerge(TGIFSubImage* previous, const TSharedIndices* shared) {
    if (GetEmpty() || !previous || previous->GetEmpty()) return;
    const TDisposalMethod disposal = DisposalOf(previous);
    if (disposal == dmBackground || disposal == dmPrevious) return;
    const TRect area = Intersect(GetBoundsRect(), previous->GetBoundsRect());
    if (area.Width() <= 0) return;
    TGIFColorMap& map = GetActiveColorMap();
    TGIFColorMap& prevMap = previous->GetActiveColorMap();
    int transparent = (FTransparent && FGCE) ? FGCE->GetTransparentColorIndex() : -1;
    if (transparent < 0 && (map.Count() < 1 || map.Count() > 255)) return;
    const int prevTransparent =
        (previous->Transparent() && previous->GraphicControlExtension())
            ? previous->GraphicControlExtension()->GetTransparentColorIndex()
            : -1;
    const bool sameMap = &map == &prevMap;
    bool chose = false;
    for (int y = area.Top; y < area.Bottom; ++y) {
        uint8_t* row = FData.get() + int64_t(y - Top()) * Width();
        const uint8_t* prow = previous->FData.get() + int64_t(y - previous->Top()) * previous->Width();
        for (int x = area.Left; x < area.Right; ++x) {
            uint8_t& p = row[x - Left()];
            const int q = prow[x - previous->Left()];
            if (p == transparent || q == prevTransparent) continue;
            bool same = sameMap && p == q;
            if (!same && p < map.Count() && q < prevMap.Count()) same = map.Entry(p) == prevMap.Entry(q);
            if (!same) continue;
            if (transparent < 0) {
                if (FColorMap.Count() == 0) {
                    // Another frame's index is only shared when this frame shows no pixel in it;
                    // of those, the index of the first such frame in the image. This frame is
                    // not transparent, so it is none of them.
                    bool used[256] = {};
                    for (int64_t i = 0; i < FDataSize; ++i) used[FData[size_t(i)]] = true;
                    const TSharedIndices first = shared ? *shared : SharedIndices(FGIFImage);
                    int at = -1;
                    for (int index = 0; index < 256; ++index)
                        if (!used[index] && first[size_t(index)] >= 0 && (at < 0 || first[size_t(index)] < at)) {
                            at = first[size_t(index)];
                            transparent = index;
                        }
                }
                if (transparent < 0) transparent = map.Add({0, 0, 0});
                chose = true;
            }
            p = uint8_t(transparent);
        }
    }
    if (chose) {
        TGIFGraphicControlExtension* gce = FGCE;
        if (!gce) {
            auto created = std::make_unique<TGIFGraphicControlExtension>(this);
            gce = created.get();
            FExtensions.Add(std::move(created));
        }
        gce->SetTransparentColorIndex(uint8_t(transparent));
        gce->SetTransparent(true);
    }
    FBitmap.reset();
    FMask.reset();
}

void TGIFImage::Optimize(uint8_t options, TColorReduction colorReduction, TDitherMode, int) {
    if (GetEmpty()) return;
    PaintStop();
    std::lock_guard<std::recursive_mutex> guard(FPaintersLock);
    const int count = FImages.GetCount();
    const int total = 6 * count;
    int steps = 0;
    auto step = [&](int n) {
        steps += n;
        Progress(psRunning, std::min(100, steps * 100 / total), false, sProgressOptimizing);
    };
    Progress(psStarting, 0, false, sProgressOptimizing);
    try {
        auto has = [&](TGIFOptimizeOption o) { return (options & OptimizeOption(o)) != 0; };
        if (has(ooColorMap)) {
            if (GetColorMap().Count() > 0) GetColorMap().Optimize();
            for (int i = 0; i < FImages.GetCount(); ++i) {
                if (FImages.GetImage(i)->ColorMap().Count() > 0) FImages.GetImage(i)->ColorMap().Optimize();
                step(1);
            }
        } else {
            step(count);
        }
        if (has(ooCleanup)) {
            for (int i = 0; i < FImages.GetCount(); ++i) {
                TGIFSubImage* f = FImages.GetImage(i);
                if (!f->Transparent() || !f->GraphicControlExtension() || f->GetEmpty()) continue;
                const uint8_t t = f->GraphicControlExtension()->GetTransparentColorIndex();
                if (!std::memchr(f->Data(), t, size_t(f->DataSize()))) f->GraphicControlExtension()->SetTransparent(false);
            }
            // A disposal has no effect when the next frame is opaque and covers this one.
            for (int i = 0; i + 1 < FImages.GetCount(); ++i) {
                TGIFSubImage* f = FImages.GetImage(i);
                TGIFSubImage* next = FImages.GetImage(i + 1);
                const TDisposalMethod d = DisposalOf(f);
                if ((d == dmBackground || d == dmPrevious) && !next->Transparent() && !next->GetEmpty() &&
                    Intersect(f->GetBoundsRect(), next->GetBoundsRect()) == f->GetBoundsRect())
                    f->GraphicControlExtension()->SetDisposal(dmNone);
            }
        }
        step(count);
        if (has(ooMerge)) {
            // Kept up to date as frames take a transparent index: looking through every other
            // frame for each one would grow with the square of the frame count.
            TGIFSubImage::TSharedIndices shared = TGIFSubImage::SharedIndices(this);
            // The frame each one merges with: the nearest earlier one not restoring what was
            // before it, or the first. Merging changes no disposal, so one pass finds them all.
            std::vector<int> under(size_t(FImages.GetCount()), 0);
            FFramesWalked += FImages.GetCount();
            for (int i = 1, last = 0; i < FImages.GetCount(); ++i) {
                under[size_t(i)] = last;
                if (DisposalOf(FImages.GetImage(i)) != dmPrevious) last = i;
            }
            for (int i = FImages.GetCount() - 1; i >= 1; --i) {
                TGIFSubImage* f = FImages.GetImage(i);
                f->DoMerge(FImages.GetImage(under[size_t(i)]), &shared);
                if (SharesIndex(f)) {
                    int& slot = shared[f->GraphicControlExtension()->GetTransparentColorIndex()];
                    if (slot < 0 || i < slot) slot = i;
                }
                step(1);
            }
        } else {
            step(count);
        }
        // Frames to delete are gathered and deleted together: one at a time, the frames after
        // each would move down again and again.
        std::vector<bool> doomed;
        struct DeleteDoomed {
            TGIFImageList& list;
            std::vector<bool>& marked;
            ~DeleteDoomed() {
                if (std::find(marked.begin(), marked.end(), true) != marked.end()) list.DeleteMarked(marked);
                marked.clear();
            }
        };
        if (has(ooCrop)) {
            doomed.assign(size_t(FImages.GetCount()), false);
            DeleteDoomed done{FImages, doomed};
            for (int i = FImages.GetCount() - 1; i >= 0; --i) {
                TGIFSubImage* f = FImages.GetImage(i);
                if (f->GetEmpty() || !f->Transparent()) continue;
                const uint16_t delay = f->GraphicControlExtension() ? f->GraphicControlExtension()->GetDelay() : 0;
                f->Crop();
                if (f->GetEmpty()) {
                    // The frame before shows on for the deleted frame's time, whatever its
                    // transparency: the animation keeps its length.
                    if (i > 0 && delay > 0) {
                        TGIFSubImage* prev = FImages.GetImage(i - 1);
                        TGIFGraphicControlExtension* gce = prev->GraphicControlExtension();
                        if (!gce) {
                            auto created = std::make_unique<TGIFGraphicControlExtension>(prev);
                            gce = created.get();
                            prev->Extensions().Add(std::move(created));
                        }
                        gce->SetDelay(uint16_t(std::min(65535, gce->GetDelay() + delay)));
                    }
                    doomed[size_t(i)] = true;
                }
            }
        }
        step(count);
        if (has(ooCleanup)) {
            const bool single = FImages.GetCount() == 1;
            doomed.assign(size_t(FImages.GetCount()), false);
            DeleteDoomed done{FImages, doomed};
            for (int i = FImages.GetCount() - 1; i >= 0; --i) {
                TGIFSubImage* f = FImages.GetImage(i);
                TGIFExtensionList& ext = f->Extensions();
                for (int k = ext.GetCount() - 1; k >= 0; --k) {
                    const TGIFExtensionClass* cls = &ext.GetExtension(k)->GetClass();
                    if (cls == &TGIFTextExtension::Class || cls == &TGIFCommentExtension::Class ||
                        cls == &TGIFUnknownAppExtension::Class ||
                        (cls == &TGIFAppExtNSLoop::Class && (i != 0 || single)))
                        ext.Delete(k);
                }
                if (TGIFGraphicControlExtension* gce = f->GraphicControlExtension()) {
                    const TDisposalMethod d = gce->GetDisposal();
                    if ((gce->GetDelay() == 0 || single) && !gce->GetTransparent() && !gce->GetUserInput() &&
                        (d == dmNone || d == dmNoDisposal || single))
                        ext.Delete(ext.IndexOf(gce));
                }
                if (f->GetEmpty() && ext.GetCount() == 0) doomed[size_t(i)] = true;
            }
        }
        step(count);
        if (has(ooReduceColors) && colorReduction == rmPalette) Error(sInvalidReduction);
        step(count);
    } catch (...) {
        Progress(psEnding, 0, true, sProgressOptimizing);
        throw;
    }
    Progress(psEnding, 100, true, sProgressOptimizing);
}

}  // namespace vellicor
